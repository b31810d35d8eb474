#pragma once
// The area-based regression tools ("Linear Regression" with its Enter and
// Stepwise methods, "Support Vector Regression", "Artificial Neural
// Network"): one declaration of their fields and checks, shared by the
// three dialogs and by `verdanta-cli regress`, and one run.
//
// The run: the field plots of the sample file (centre X, Y and the measured
// target) are paired with the metrics of the LAS points inside each plot,
// the plots are split at random (seeded) into a training and a test set,
// the chosen model is trained and measured on the test set (RMSE, R), an
// HTML report is written, and the model is applied to a grid over all LAS
// files, whose cells get their metrics from the same code as the plots.

#include "ToolDeclaration.h"

#include "PointRecords.h"

#include <QVector>

#include <vector>

namespace RegressionTools {

const Tool &linear();
const Tool &svr();
const Tool &ann();

// ---- the 43 candidate variables ------------------------------------------------

constexpr int kVariableCount = 43;
// "Elev P01" .. "Elev P99", "Elev D10" .. "Elev D100", "Int P01" .. "Int P99",
// "Effective LAI", "GAP Fraction", "Canopy Cover", in flag order.
const QStringList &variableNames();

struct VariableGroup {
    QString label;   // the dialog's check box, e.g. "Elevation Percentile"
    QString option;  // the name on the command line, e.g. "elev-percentile"
    int first = 0, count = 0;
};
const QVector<VariableGroup> &variableGroups();

// 1 for the variables of a new dialog (elevation percentiles, LAI, gap
// fraction, canopy cover), 0 for the others.
std::vector<int> defaultFlags();
// Flags from a list of groups and single variables ("elev-percentile,Elev D50"
// or "elev-d50"; case and blanks versus dashes do not matter). False with
// `unknown` naming an entry that is neither.
bool parseVariables(const QString &text, std::vector<int> &flags, QString &unknown);
// The shortest such list for a set of flags: whole groups by their names,
// the other variables one by one.
QString variablesText(const std::vector<int> &flags);

// ---- sample file and plot metrics ------------------------------------------------

struct SamplePlot {
    double x = 0, y = 0, target = 0;
};

enum class PlotType { Square, Circle };

// The kept plots of a sample file with their metrics: X n x m row by row,
// y the targets, in file order.
struct PlotTable {
    std::vector<double> X, y;
    std::vector<SamplePlot> plots;
    int lines = 0, dropped = 0;  // data lines read, plots left out for fewer than 10 points
};

// Reads the sample file of a request (fields by header name, plot type and
// size) and the metrics of every plot from the LAS files of `extents`
// (read only where a file's extent overlaps the plot). A value that is not
// a number counts as 0; lines with too few fields are passed over; plots of
// fewer than 10 points are left out. False with the outcome's warning set,
// or with none on cancel.
bool readSamples(const ToolRequest &request, const std::vector<VerdantaIO::LASExtent> &extents,
                 const std::vector<int> &flags, PlotTable &table, ToolOutcome &outcome, CProcessBase *progress);

// The header fields of a sample file (split at ","); empty when it cannot
// be read.
QStringList sampleHeader(const QString &path, bool *opened = nullptr);

// The metrics of the chosen variables for a block of columns x rows cells
// of xsize by ysize over the rectangle, row by row from the north-west
// cell: `values` receives cells x m numbers (m the flags set to 1, columns
// in flag order). The point vector is emptied and its storage released.
// False when the memory cannot be had.
bool CalculatePara(std::vector<VerdantaIO::PointCloud> &points, double MinX, double MaxX, double MinY, double MaxY,
                   double Xsize, double Ysize, int columns, int rows, const std::vector<int> &flags,
                   std::vector<double> &values);

// The prediction grid over the LAS files' joint extent: cells of `cell`,
// columns trunc(trunc(maxX - minX) / cell + 1), rows likewise from maxY down.
struct MapGrid {
    double minX = 0, maxX = 0, minY = 0, maxY = 0, cell = 1;
    int columns = 0, rows = 0;
};
bool mapGrid(double minX, double maxX, double minY, double maxY, double cell, MapGrid &grid);

}  // namespace RegressionTools
