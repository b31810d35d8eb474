#include "RegressionReport.h"

#include "RegressionTools.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTextStream>

#include <algorithm>
#include <cmath>

namespace RegressionTools {

namespace {

QString num(double v) { return QString::number(std::isfinite(v) ? v : 0.0, 'g', 6); }
QString esc(const QString &s) { return s.toHtmlEscaped(); }

// The names of the chosen variables, in column order.
QStringList chosenNames(const std::vector<int> &flags)
{
    QStringList names;
    for (int i = 0; i < kVariableCount && i < static_cast<int>(flags.size()); ++i)
        if (flags[i] == 1)
            names << variableNames()[i];
    return names;
}

QString row(const QString &name, const QString &value, int span = 1)
{
    return QString("<tr><th align='left'>%1</th><td colspan='%3'>%2</td></tr>\n").arg(name, value).arg(span);
}

// "Model Parameters" rows of each method.
QString modelRows(const ReportData &d)
{
    const QMap<QString, QString> &v = d.request.values;
    const QString method = v.value("method").toLower();
    QString html;
    if (method == "svr") {
        html += row("SVM type", esc(v.value("svm-type")));
        html += row("Kernel type", esc(v.value("kernel")));
        html += row("Degree", num(v.value("degree").toDouble()));
        html += row("Gamma", num(v.value("gamma").toDouble()));
        html += row("Cost C, epsilon, nu", "1, 0.1, 0.5");
        html += row("Support vectors", QString::number(d.supportVectors));
    } else if (method == "ann") {
        html += row("Momentum", num(v.value("momentum").toDouble()));
        html += row("Learning Rate", num(v.value("learning-rate").toDouble()));
        html += row("Hidden units", QString::number(d.hiddenUnits));
        html += row("Epochs trained", QString::number(d.epochs));
    } else {
        html += row("Method", method == "stepwise" ? "Stepwise (enter at p &lt; 0.05, remove at p &gt; 0.10)"
                                                   : d.fallback ? "Enter (minimum-norm least squares: the variables "
                                                                  "are linearly dependent)"
                                                                : "Enter (ordinary least squares)");
    }
    return html;
}

}  // namespace

QString scatterSvg(const std::vector<double> &observed, const std::vector<double> &predicted)
{
    const int size = 360, pad = 48;
    const size_t n = std::min(observed.size(), predicted.size());
    double lo = 0, hi = 1;
    bool first = true;
    for (size_t i = 0; i < n; ++i)
        for (double v : {observed[i], predicted[i]}) {
            if (!std::isfinite(v))
                continue;
            lo = first ? v : std::min(lo, v);
            hi = first ? v : std::max(hi, v);
            first = false;
        }
    if (!(hi > lo)) {
        lo -= 1;
        hi += 1;
    }
    const double margin = 0.05 * (hi - lo);
    lo -= margin;
    hi += margin;
    const double plot = size - 2 * pad;
    auto sx = [&](double v) { return pad + (v - lo) / (hi - lo) * plot; };
    auto sy = [&](double v) { return size - pad - (v - lo) / (hi - lo) * plot; };
    QString svg = QString("<svg xmlns='http://www.w3.org/2000/svg' width='%1' height='%1' viewBox='0 0 %1 %1' "
                          "font-family='sans-serif' font-size='11'>\n")
                      .arg(size);
    svg += QString("<rect x='%1' y='%1' width='%2' height='%2' fill='white' stroke='black'/>\n").arg(pad).arg(plot);
    // Ticks at five even steps.
    for (int k = 0; k <= 4; ++k) {
        const double v = lo + k * (hi - lo) / 4;
        svg += QString("<text x='%1' y='%2' text-anchor='middle'>%3</text>\n")
                   .arg(sx(v), 0, 'f', 1)
                   .arg(size - pad + 16)
                   .arg(QString::number(v, 'g', 4));
        svg += QString("<text x='%1' y='%2' text-anchor='end'>%3</text>\n")
                   .arg(pad - 4)
                   .arg(sy(v) + 4, 0, 'f', 1)
                   .arg(QString::number(v, 'g', 4));
    }
    svg += QString("<line class='one-to-one' x1='%1' y1='%2' x2='%3' y2='%4' stroke='grey' stroke-dasharray='4 3'/>\n")
               .arg(sx(lo), 0, 'f', 1)
               .arg(sy(lo), 0, 'f', 1)
               .arg(sx(hi), 0, 'f', 1)
               .arg(sy(hi), 0, 'f', 1);
    for (size_t i = 0; i < n; ++i)
        if (std::isfinite(observed[i]) && std::isfinite(predicted[i]))
            svg += QString("<circle cx='%1' cy='%2' r='3.5' fill='steelblue' fill-opacity='0.8'/>\n")
                       .arg(sx(observed[i]), 0, 'f', 1)
                       .arg(sy(predicted[i]), 0, 'f', 1);
    svg += QString("<text x='%1' y='%2' text-anchor='middle'>Observed</text>\n").arg(size / 2).arg(size - 8);
    svg += QString("<text x='12' y='%1' text-anchor='middle' transform='rotate(-90 12 %1)'>Predicted</text>\n")
               .arg(size / 2);
    svg += "</svg>\n";
    return svg;
}

QString reportHtml(const ReportData &d)
{
    const QMap<QString, QString> &v = d.request.values;
    const QStringList names = chosenNames(d.flags);
    const int holdout = v.value("holdout").toInt();
    QString html = "<!DOCTYPE html>\n<html><head><meta charset='utf-8'><title>" + esc(d.title) +
                   " Summary</title>\n<style>table{border-collapse:collapse;margin-bottom:1em}"
                   "th,td{border:1px solid #888;padding:2px 6px}</style></head><body>\n";
    html += "<h4>" + esc(d.title) + " Summary</h4>\n<table class='accuracy'>\n";
    html += "<tr><th rowspan='1' align='left'>Model Parameters</th><td><table>\n" + modelRows(d) + "</table></td></tr>\n";
    html += row("Hold-out for Testing", QString("%1%").arg(holdout));
    html += row("R", num(d.r));
    html += row("R Square", num(d.r * d.r));
    html += row("RSME", num(d.rmse));
    html += row("Training / test plots", QString("%1 / %2").arg(d.nTrain).arg(d.nTest));
    html += row("Random seed", esc(v.value("seed")));
    html += "</table>\n";

    if (d.hasCoefficients) {
        // Coefficients 15 to a row: names a1, a2, ... above their values.
        html += "<h4>Linear Regression Coffs</h4>\n<table class='coefficients'>\n";
        html += "<tr><th>a0 (intercept)</th><td>" + num(d.intercept) + "</td></tr>\n";
        for (size_t start = 0; start < d.coefficients.size(); start += 15) {
            QString heads, values;
            for (size_t j = start; j < std::min(d.coefficients.size(), start + 15); ++j) {
                heads += QString("<th title='%1'>a%2</th>").arg(esc(names.value(int(j)))).arg(j + 1);
                values += "<td>" + num(d.coefficients[j]) + "</td>";
            }
            html += "<tr>" + heads + "</tr>\n<tr>" + values + "</tr>\n";
        }
        html += "</table>\n<p>Prediction = a0 + a1 &middot; " + esc(names.value(0)) +
                (names.size() > 1 ? " + a2 &middot; " + esc(names.value(1)) + " + &hellip;" : QString()) + "</p>\n";
    }
    if (v.value("method").toLower() == "stepwise") {
        QStringList kept;
        for (int k : d.kept)
            kept << esc(names.value(k));
        html += "<p><b>Kept variables:</b> " + (kept.isEmpty() ? QString("none") : kept.join(", ")) + "</p>\n";
    }

    html += "<h4>Observed against predicted (test plots)</h4>\n" + scatterSvg(d.observed, d.predicted);

    html += "<h4>Dependent and Independent Variable</h4>\n<table class='variables'>\n";
    html += row("Dependent Variable", esc(v.value("target")), 15);
    for (const VariableGroup &g : variableGroups()) {
        if (g.count == 1) {
            html += row(esc(g.label), QString::number(d.flags.at(g.first)), 15);
            continue;
        }
        QString heads, values;
        for (int i = g.first; i < g.first + g.count; ++i) {
            heads += "<td>" + esc(variableNames()[i]) + "</td>";
            values += "<td>" + QString::number(d.flags.at(i)) + "</td>";
        }
        html += QString("<tr><th rowspan='2' align='left'>%1</th>%2</tr>\n<tr>%3</tr>\n").arg(esc(g.label), heads, values);
    }
    html += "</table>\n<p>Note:(1 represents involved in the calculation, 0 represents not involved in the "
            "calculation)</p>\n";

    html += "<h4>Inputs</h4>\n<table class='inputs'>\n";
    html += row("Sample data", esc(v.value("samples")));
    html += row("X, Y fields", esc(v.value("x-field") + ", " + v.value("y-field")));
    html += row("Plot", esc(v.value("plot")) + (v.value("plot").compare("Circle", Qt::CaseInsensitive) == 0
                                                     ? ", radius "
                                                     : ", side ") +
                            esc(v.value("size")) + " m");
    html += row("Plots left out (fewer than 10 points)", QString::number(d.dropped));
    html += row("LAS files", esc(d.request.inputs.join("\n")).replace("\n", "<br>"));
    html += row("Prediction map", esc(d.request.output));
    html += "</table>\n</body></html>\n";
    return html;
}

bool writeReport(const QString &path, const ReportData &data, QString *error)
{
    if (path.isEmpty() || !QFileInfo(path).absoluteDir().exists()) {
        if (error)
            *error = path + ": the folder does not exist";
        return false;
    }
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate | QIODevice::Text)) {
        if (error)
            *error = path + ": " + file.errorString();
        return false;
    }
    QTextStream out(&file);
    out.setCodec("UTF-8");
    out << reportHtml(data);
    out.flush();
    return file.error() == QFile::NoError;
}

QStringList reportSummary(const ReportData &d)
{
    QStringList lines;
    lines << QString("%1: %2 training and %3 test plots (hold-out %4 %, seed %5)")
                 .arg(d.title)
                 .arg(d.nTrain)
                 .arg(d.nTest)
                 .arg(d.request.values.value("holdout"), d.request.values.value("seed"));
    lines << QString("RSME: %1  R: %2  R Square: %3").arg(num(d.rmse), num(d.r), num(d.r * d.r));
    const QStringList names = chosenNames(d.flags);
    if (d.hasCoefficients) {
        QStringList terms{"a0 = " + num(d.intercept)};
        for (size_t j = 0; j < d.coefficients.size(); ++j)
            if (d.request.values.value("method").toLower() != "stepwise" ||
                std::count(d.kept.begin(), d.kept.end(), int(j)))
                terms << QString("%1 (a%2) = %3").arg(names.value(int(j))).arg(j + 1).arg(num(d.coefficients[j]));
        lines << "Coefficients: " + terms.join(", ");
    }
    return lines;
}

}  // namespace RegressionTools
