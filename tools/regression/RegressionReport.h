#pragma once
// The accuracy report of a regression run: a self-contained HTML page (no
// scripts, no outside files) with the inputs, the model's settings and
// figures, the chosen variables and an observed-against-predicted scatter
// plot with the 1:1 line drawn as inline SVG; and the same figures as text
// lines for the Output dock.

#include "ToolDeclaration.h"

#include <vector>

namespace RegressionTools {

struct ReportData {
    QString title;        // "Linear Regression", "Stepwise Regression", ...
    ToolRequest request;  // inputs, fields and settings as the run used them
    std::vector<int> flags;
    int nTrain = 0, nTest = 0, dropped = 0;
    double rmse = 0, r = 0;
    std::vector<double> observed, predicted;  // the test set
    bool fallback = false;  // least squares by the minimum-norm fallback
    bool hasCoefficients = false;
    double intercept = 0;
    std::vector<double> coefficients;  // one per chosen variable
    std::vector<int> kept;             // stepwise: indices among the chosen variables
    int supportVectors = -1, hiddenUnits = 0, epochs = 0;
};

// The page's HTML.
QString reportHtml(const ReportData &data);
bool writeReport(const QString &path, const ReportData &data, QString *error);
// The figures as lines for the Output dock.
QStringList reportSummary(const ReportData &data);

// The inline SVG scatter plot of observed (x) against predicted (y) with
// the 1:1 line.
QString scatterSvg(const std::vector<double> &observed, const std::vector<double> &predicted);

}  // namespace RegressionTools
