#include "RegressionTools.h"

#include "CanopyMetrics.h"
#include "CellBlock.h"
#include "CloudGrid.h"
#include "CloudMetrics.h"
#include "LasIO.h"
#include "NormalisedHeights.h"
#include "RasterIO.h"
#include "RegressionModels.h"
#include "RegressionReport.h"

#include <gdal.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTextStream>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <memory>
#include <mutex>
#include <new>
#include <thread>

using VerdantaIO::PointCloud;

namespace RegressionTools {

// ---- variables -----------------------------------------------------------------------

const QStringList &variableNames()
{
    static const QStringList names = [] {
        QStringList l;
        const char *levels[] = {"01", "05", "10", "20", "25", "30", "40", "50",
                                "60", "70", "75", "80", "90", "95", "99"};
        for (const char *q : levels)
            l << QString("Elev P%1").arg(q);
        for (int d = 10; d <= 100; d += 10)
            l << QString("Elev D%1").arg(d);
        for (const char *q : levels)
            l << QString("Int P%1").arg(q);
        l << "Effective LAI" << "GAP Fraction" << "Canopy Cover";
        return l;
    }();
    return names;
}

const QVector<VariableGroup> &variableGroups()
{
    static const QVector<VariableGroup> groups = {
        {"Elevation Percentile", "elev-percentile", 0, 15}, {"Elevation Density", "elev-density", 15, 10},
        {"Intensity Percentile", "int-percentile", 25, 15}, {"Effective LAI", "lai", 40, 1},
        {"GAP Fraction", "gap", 41, 1},                     {"Canopy Cover", "cover", 42, 1},
    };
    return groups;
}

std::vector<int> defaultFlags()
{
    std::vector<int> flags(kVariableCount, 0);
    for (int i = 0; i < 15; ++i)
        flags[i] = 1;
    flags[40] = flags[41] = flags[42] = 1;
    return flags;
}

namespace {

QString key(const QString &name) { return name.trimmed().toLower().replace(' ', '-'); }

}  // namespace

bool parseVariables(const QString &text, std::vector<int> &flags, QString &unknown)
{
    flags.assign(kVariableCount, 0);
    for (const QString &part : text.split(',', Qt::SkipEmptyParts)) {
        const QString k = key(part);
        if (k.isEmpty())
            continue;
        bool found = false;
        for (const VariableGroup &g : variableGroups())
            if (k == g.option || k == key(g.label)) {
                std::fill(flags.begin() + g.first, flags.begin() + g.first + g.count, 1);
                found = true;
            }
        const int index = [&] {
            for (int i = 0; i < kVariableCount; ++i)
                if (k == key(variableNames()[i]))
                    return i;
            return -1;
        }();
        if (index >= 0) {
            flags[index] = 1;
            found = true;
        }
        if (!found) {
            unknown = part.trimmed();
            return false;
        }
    }
    return true;
}

QString variablesText(const std::vector<int> &flags)
{
    QStringList parts;
    for (const VariableGroup &g : variableGroups()) {
        const bool whole = std::all_of(flags.begin() + g.first, flags.begin() + g.first + g.count,
                                       [](int f) { return f == 1; });
        if (whole) {
            parts << g.option;
            continue;
        }
        for (int i = g.first; i < g.first + g.count; ++i)
            if (flags[i] == 1)
                parts << key(variableNames()[i]);
    }
    return parts.join(',');
}

// ---- samples and plot metrics ------------------------------------------------------

QStringList sampleHeader(const QString &path, bool *opened)
{
    QFile file(path);
    const bool ok = file.open(QIODevice::ReadOnly | QIODevice::Text);
    if (opened)
        *opened = ok;
    if (!ok)
        return {};
    QTextStream in(&file);
    return in.readLine().split(',');
}

bool CalculatePara(std::vector<PointCloud> &points, double MinX, double MaxX, double MinY, double MaxY, double Xsize,
                   double Ysize, int columns, int rows, const std::vector<int> &flags, std::vector<double> &values)
{
    Canopy_Metrics canopy;
    canopy.setBlockCells(columns, rows);
    canopy.canopy_for_regression(points, MinX, MaxX, MinY, MaxY, Xsize, Ysize);
    CCloudMetics cloud;
    cloud.setBlockCells(columns, rows);
    cloud.elevation_metrics_regression(points, MinX, MaxX, MinY, MaxY, Xsize, Ysize);
    cloud.intensity_mertrics_regression(points, MinX, MaxX, MinY, MaxY, Xsize, Ysize);
    std::vector<PointCloud>().swap(points);

    const int m = static_cast<int>(std::count(flags.begin(), flags.end(), 1));
    const size_t cells = static_cast<size_t>(columns) * rows;
    try {
        values.assign(cells * m, 0.0);
    } catch (const std::bad_alloc &) {
        return false;
    }
    for (size_t c = 0; c < cells; ++c) {
        const double *elev = cloud.elevationRecords.data() + c * CCloudMetics::kElevationRecord;
        const double *inten = cloud.intensityRecords.data() + c * CCloudMetics::kIntensityRecord;
        double *out = values.data() + c * m;
        int k = 0;
        for (int i = 0; i < kVariableCount; ++i) {
            if (flags[i] != 1)
                continue;
            if (i < 15)
                out[k++] = elev[CCloudMetics::kElevationPercentiles + i];
            else if (i < 25)
                out[k++] = elev[CCloudMetics::kElevationDensities + (i - 15)];
            else if (i < 40)
                out[k++] = inten[CCloudMetics::kIntensityPercentiles + (i - 25)];
            else if (i == 40)
                out[k++] = canopy.laiGrid[c];
            else if (i == 41)
                out[k++] = canopy.gapGrid[c];
            else
                out[k++] = canopy.coverGrid[c];
        }
    }
    return true;
}

bool mapGrid(double minX, double maxX, double minY, double maxY, double cell, MapGrid &grid)
{
    if (!(minX < maxX) || !(minY < maxY) || !(cell > 0) || !std::isfinite(maxX - minX) ||
        !std::isfinite(maxY - minY))
        return false;
    const double cols = std::trunc(std::trunc(maxX - minX) / cell + 1);
    const double rows = std::trunc(std::trunc(maxY - minY) / cell + 1);
    if (cols * rows > 2e9 || cols > 2e9 || rows > 2e9)
        return false;
    grid = MapGrid{minX, maxX, minY, maxY, cell, static_cast<int>(cols), static_cast<int>(rows)};
    return true;
}

namespace {

std::string local(const QString &path) { return QFile::encodeName(path).toStdString(); }

enum class Method { Enter, Stepwise, SVR, ANN };

Method methodOf(const ToolRequest &r)
{
    const QString m = r.values.value("method").trimmed().toLower();
    return m == "stepwise" ? Method::Stepwise : m == "svr" ? Method::SVR : m == "ann" ? Method::ANN : Method::Enter;
}

QString titleOf(Method m)
{
    switch (m) {
    case Method::Enter:
        return "Linear Regression";
    case Method::Stepwise:
        return "Stepwise Regression";
    case Method::SVR:
        return "Support Vector Regression";
    case Method::ANN:
        return "Artificial Neural Network Regression";
    }
    return QString();
}

bool isRadius(const ToolRequest &r) { return r.values.value("plot").trimmed().compare("Circle", Qt::CaseInsensitive) == 0; }

// The SVM type and kernel as the dialog's combos or the command line name them.
int svmTypeOf(const QString &text)
{
    const QString t = text.trimmed().toLower();
    return t == "epsilon" || t == "epsilon_svr" ? 3 : t == "nu" || t == "nu_svr" ? 4 : -1;
}

// The kernel's code in SVMParameters: 0 linear, 1 polynomial, 2 RBF, 3 sigmoid.
int kernelOf(const QString &text)
{
    const QString t = text.trimmed().toLower();
    if (t == "rbf" || t == "rbf function")
        return 2;
    if (t == "linear")
        return 0;
    if (t == "poly" || t == "polynomial")
        return 1;
    if (t == "sigmoid")
        return 3;
    return -1;
}

CheckResult check(const ToolSpec &spec, ToolRequest &r)
{
    auto fail = [](const QString &message, const QString &reset = QString(), const QString &detail = QString()) {
        CheckResult c;
        c.ok = false;
        c.message = message;
        c.resetOption = reset;
        c.detail = detail;
        return c;
    };
    auto value = [&r](const char *option) { return r.values.value(option).trimmed(); };
    const Method method = methodOf(r);
    if (r.inputs.isEmpty())
        return fail(spec.noInputMessage);
    if (value("samples").isEmpty())
        return fail("Sample data is empty! Please add!");
    if (value("target").isEmpty())
        return fail("Dependent Variable Field is empty! Please set!");
    if (!(value("size").toDouble() > 0))
        return fail(isRadius(r) ? "Radius Field is empty! Please set!" : "Length Field is empty! Please set!");
    if (value("x-field").isEmpty())
        return fail("X Field is empty! Please set!");
    if (value("y-field").isEmpty())
        return fail("Y Field is empty! Please set!");
    if (value("method").isEmpty())
        return fail("Regrssion Method is empty! Please set!");
    if (method == Method::ANN) {
        if (value("momentum").isEmpty())
            return fail("The Momentum is empty! Please set!");
        bool ok = false;
        const double mo = value("momentum").toDouble(&ok);
        if (!ok || mo < 0 || mo > 1) {
            r.values["momentum"] = "0.3";
            return fail("The Momentum is invalid!\n It must be set between 0 and 1.\n Restore to default value.",
                        "momentum", "--momentum " + value("momentum"));
        }
        if (value("learning-rate").isEmpty())
            return fail("The Learning rate is empty! Please set!");
        const double lr = value("learning-rate").toDouble(&ok);
        if (!ok || lr < 0 || lr > 1) {
            const QString was = value("learning-rate");
            r.values["learning-rate"] = "0.1";
            return fail("The Learning rate is invalid!\n It must be set between 0 and 1.\n Restore to default value.",
                        "learning-rate", "--learning-rate " + was);
        }
    }
    bool ok = false;
    const int holdout = value("holdout").toInt(&ok);
    if (!ok || holdout <= 0 || holdout >= 100) {
        const QString was = value("holdout");
        r.values["holdout"] = "10";
        return fail("Hold-out for Testing Value is invalid!\n It must be between 0 and 100.\n Restore to default value.",
                    "holdout", "--holdout " + was);
    }
    std::vector<int> flags;
    QString unknown;
    if (!parseVariables(value("variables"), flags, unknown))
        return fail("Unknown independent variable \"" + unknown + "\"! Use " +
                        [] {
                            QStringList o;
                            for (const VariableGroup &g : variableGroups())
                                o << g.option;
                            return o.join(", ");
                        }() + " or a variable such as elev-p50.",
                    QString(), "--variables " + value("variables"));
    if (std::count(flags.begin(), flags.end(), 1) == 0)
        return fail("Please select at least one parameter!");
    if (method == Method::SVR) {
        if (value("svm-type").isEmpty())
            return fail("SVMType is empty! Please set!");
        if (svmTypeOf(value("svm-type")) < 0)
            return fail("SVMType is invalid! Use epsilon or nu.", QString(), "--svm-type " + value("svm-type"));
        if (value("kernel").isEmpty())
            return fail("KernelType is empty! Please set!");
        if (kernelOf(value("kernel")) < 0)
            return fail("KernelType is invalid! Use rbf, linear, poly or sigmoid.", QString(),
                        "--kernel " + value("kernel"));
        if (value("degree").isEmpty()) {
            r.values["degree"] = "3";
            return fail("Degree is empty! Please set!", "degree");
        }
        const int degree = value("degree").toInt(&ok);
        if (ok && degree < 0) {
            const QString was = value("degree");
            r.values["degree"] = "3";
            return fail("Degree is invalid,Please set Degree in the range of integer minimum and maximum value!",
                        "degree", "--degree " + was);
        }
        if (value("gamma").isEmpty()) {
            r.values["gamma"] = "0.1";
            return fail("Gamma is empty,It must be set between 0 and 1.\n Restore to default value.", "gamma");
        }
        const double gamma = value("gamma").toDouble(&ok);
        if (!ok || gamma < 0 || gamma > 1) {
            const QString was = value("gamma");
            r.values["gamma"] = "0.1";
            return fail("Gamma is invalid,It must be set between 0 and 1.\n Restore to default value.", "gamma",
                        "--gamma " + was);
        }
    }
    const qlonglong seed = value("seed").toLongLong(&ok);
    if (!ok || seed < 0 || seed > 4294967295LL)
        return fail("The seed must be a whole number from 0 to 4294967295!", QString(), "--seed " + value("seed"));
    // The output checks shared by every tool.
    return ToolChecks::validate(spec, r);
}

QString reportPathFor(const ToolRequest &r, const QString &map)
{
    const QString given = r.values.value("report").trimmed();
    if (!given.isEmpty())
        return QDir::cleanPath(QFileInfo(given).absoluteFilePath());
    const QFileInfo info(map);
    return ToolChecks::joinPath(info.absolutePath(), info.completeBaseName() + ".html");
}

QStringList outputs(const ToolSpec &spec, const ToolRequest &r)
{
    const QString map = ToolChecks::resolveOutputs(spec, r).value(0);
    return {map, reportPathFor(r, map)};
}

QString defaultName(const ToolRequest &r)
{
    switch (methodOf(r)) {
    case Method::Enter:
        return "LinearRegression.tif";
    case Method::Stepwise:
        return "StepRegression.tif";
    case Method::SVR:
        return "Support Vector Regression.tif";
    case Method::ANN:
        return "AnnRegression.tif";
    }
    return QString();
}

QString defaultOutput(const ToolSpec &, const ToolRequest &r)
{
    const QString samples = r.values.value("samples").trimmed();
    if (samples.isEmpty())
        return r.output;  // nothing to derive it from yet
    return ToolChecks::joinPath(QFileInfo(samples).absolutePath(), defaultName(r));
}

// ---- the run -------------------------------------------------------------------------

// One plot's rectangle and the LAS files whose extent overlaps it (strictly).
bool overlaps(const VerdantaIO::LASExtent &e, double minX, double maxX, double minY, double maxY)
{
    return minX < e.maxX && minY < e.maxY && maxX > e.minX && maxY > e.minY;
}

}  // namespace

bool readSamples(const ToolRequest &r, const std::vector<VerdantaIO::LASExtent> &extents,
                 const std::vector<int> &flags, PlotTable &s, ToolOutcome &outcome, CProcessBase *progress)
{
    const QString path = r.values.value("samples").trimmed();
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly | QIODevice::Text)) {
        outcome.warn("Unable to open the Sample data!", path);
        return false;
    }
    QTextStream in(&file);
    QStringList lines;
    while (!in.atEnd())
        lines << in.readLine();
    if (lines.size() < 2) {
        if (progress)
            progress->SetMessage("Sample data is empty. Exiting...");
        outcome.warn("Sample data is empty. Exiting...", path);
        return false;
    }
    if (progress) {
        progress->SetMessage("Reading Sample data...");
        progress->SetStepCount(lines.size());
    }
    const QStringList header = lines.first().split(',');
    if (header.size() < 3) {
        outcome.warn("The Sample Fields less than 3!", path);
        return false;
    }
    int ix = -1, iy = -1, it = -1;
    for (auto [option, index] : {std::make_pair("x-field", &ix), std::make_pair("y-field", &iy),
                                 std::make_pair("target", &it)}) {
        const QString name = r.values.value(option).trimmed();
        *index = header.indexOf(name);
        if (*index < 0) {
            for (int i = 0; i < header.size(); ++i)
                if (header[i].trimmed() == name)
                    *index = i;
        }
        if (*index < 0) {
            outcome.warn("The field \"" + name + "\" is not in the header of the Sample data!", path);
            return false;
        }
    }
    const double size = r.values.value("size").toDouble();
    const bool circle = isRadius(r);
    const int need = std::max({ix, iy, it}) + 1;
    std::vector<PointCloud> points;
    std::vector<double> row;
    for (int l = 1; l < lines.size(); ++l) {
        const QStringList f = lines[l].split(',');
        if (f.size() < 3 || f.size() < need)
            continue;
        SamplePlot plot{f[ix].toDouble(), f[iy].toDouble(), f[it].toDouble()};
        const double half = circle ? size : 0.5 * size;
        const double minX = plot.x - half, maxX = plot.x + half, minY = plot.y - half, maxY = plot.y + half;
        points.clear();
        for (const VerdantaIO::LASExtent &e : extents) {
            if (!overlaps(e, minX, maxX, minY, maxY))
                continue;
            const bool ok = circle ? VerdantaIO::ReadData(e.path, plot.x, plot.y, size, points)
                                   : VerdantaIO::ReadData(e.path, minX, maxX, minY, maxY, points);
            if (!ok) {
                outcome.warn(QFile::decodeName(QByteArray::fromStdString(e.path)) + " Read Error!",
                             QString::fromLocal8Bit(VerdantaIO::LastError().c_str()));
                return false;
            }
        }
        ++s.lines;
        if (points.size() >= 10) {
            // One cell: the plot's square (a circle's bounding square), the
            // cell twice its size so that no point falls on its far edge.
            if (CalculatePara(points, minX, maxX, minY, maxY, 2 * size, 2 * size, 1, 1, flags, row)) {
                s.X.insert(s.X.end(), row.begin(), row.end());
                s.y.push_back(plot.target);
                s.plots.push_back(plot);
            }
        } else {
            ++s.dropped;
        }
        if (progress && !progress->StepIt()) {
            progress->SetMessage("Reading Sample data Cancel! Exiting...");
            return false;
        }
    }
    if (progress)
        progress->SetMessage("Reading Sample data Finished!");
    return true;
}

namespace {

// Applies the model over the grid and writes the prediction GeoTIFF.
enum class MapStatus { Done, NoExtent, CreateFailed, WriteFailed, Cancelled };

MapStatus writeMap(const QString &out, const std::vector<VerdantaIO::LASExtent> &extents,
                   const std::vector<std::string> &paths, double cell, const std::vector<int> &flags,
                   const CRegressionModel &model, CProcessBase *progress, MapGrid &grid, QString &error)
{
    double minX = 0, maxX = 0, minY = 0, maxY = 0;
    if (!VerdantaIO::MultiFileExtent(paths, minX, maxX, minY, maxY) || !mapGrid(minX, maxX, minY, maxY, cell, grid)) {
        error = "the LAS files have no extent to map";
        return MapStatus::NoExtent;
    }
    VerdantaIO::CRasterIO raster;
    raster.geoTransform = {{grid.minX, cell, 0.0, grid.maxY, 0.0, -cell}};
    VerdantaIO::CLASIO first;
    if (first.LoadFile(paths.front()))
        raster.spatialReference = first.header.spatialReference.GetWKT();
    if (!raster.Createfile(local(out), grid.columns, grid.rows, 1, GDT_Float64, "GTiff")) {
        error = QString::fromLocal8Bit(raster.lastError().c_str());
        return MapStatus::CreateFailed;
    }
    const int m = static_cast<int>(std::count(flags.begin(), flags.end(), 1));
    // Blocks of 10 x 10 cells, or single cells for cells above 30: one window
    // read per block and file, one metric call per block.
    const int span = cell <= 30.0 ? 10 : 1;
    struct Block {
        int c0, r0, nc, nr;
        double left, right, bottom, top;
        std::vector<double> values;
    };
    std::vector<Block> blocks;
    for (int r0 = 0; r0 < grid.rows; r0 += span)
        for (int c0 = 0; c0 < grid.columns; c0 += span) {
            Block b;
            b.c0 = c0;
            b.r0 = r0;
            b.nc = std::min(grid.columns - c0, span);
            b.nr = std::min(grid.rows - r0, span);
            b.top = grid.maxY - r0 * cell;
            b.bottom = std::max(grid.maxY - (r0 + span) * cell, grid.minY);
            b.left = grid.minX + c0 * cell;
            b.right = std::min(grid.minX + (c0 + span) * cell, grid.maxX);
            blocks.push_back(b);
        }
    if (progress) {
        progress->Reset();
        progress->SetMessage("Predicting.....");
        progress->SetStepCount(static_cast<int32_t>(std::min<size_t>(blocks.size(), 2147483647u)));
    }
    auto compute = [&](Block &b, std::vector<PointCloud> &points, std::vector<double> &metrics, size_t &expected) {
        // CalculatePara gives the points' memory back; the next block of
        // about the same size gets it again at once instead of by doubling.
        points.clear();
        points.reserve(expected);
        for (const VerdantaIO::LASExtent &e : extents)
            if (overlaps(e, b.left, b.right, b.bottom, b.top))
                VerdantaIO::ReadData(e.path, b.left, b.right, b.bottom, b.top, points);
        b.values.assign(static_cast<size_t>(b.nc) * b.nr, 0.0);
        expected = points.size() + points.size() / 8;
        if (points.size() < 10)
            return;
        // The points per cell, to leave cells of fewer than 10 points at 0
        // as a plot of so few points has no row.
        std::vector<int> counts(b.values.size(), 0);
        const CellBlock cells = CellBlock::over(b.left, b.right, b.bottom, b.top, cell, cell, b.nc, b.nr);
        for (const PointCloud &p : points) {
            const int c = cells.cellOf(p.x, p.y);
            if (c >= 0)
                ++counts[c];
        }
        if (!CalculatePara(points, b.left, b.right, b.bottom, b.top, cell, cell, b.nc, b.nr, flags, metrics))
            throw std::bad_alloc();
        for (size_t i = 0; i < b.values.size(); ++i) {
            if (counts[i] < 10)
                continue;
            const double v = model.PredictData(metrics.data() + i * m, m);
            b.values[i] = std::isfinite(v) ? v : 0.0;
        }
    };
    // Blocks are computed on worker threads a batch at a time and written in
    // order by this thread, which also reports progress.
    const int workers = std::max(1, CloudGrid::defaultThreads());
    const size_t batch = static_cast<size_t>(workers) * 4;
    for (size_t start = 0; start < blocks.size(); start += batch) {
        const size_t end = std::min(blocks.size(), start + batch);
        std::atomic<size_t> next(start);
        std::exception_ptr failure;
        std::mutex failureMutex;
        std::vector<std::thread> pool;
        for (int w = 0; w < workers; ++w)
            pool.emplace_back([&] {
                std::vector<PointCloud> points;
                std::vector<double> metrics;
                size_t expected = 0;
                for (size_t k = next++; k < end; k = next++) {
                    try {
                        compute(blocks[k], points, metrics, expected);
                    } catch (...) {
                        std::lock_guard<std::mutex> lock(failureMutex);
                        failure = std::current_exception();
                    }
                }
            });
        for (std::thread &t : pool)
            t.join();
        if (failure)
            std::rethrow_exception(failure);
        for (size_t k = start; k < end; ++k) {
            Block &b = blocks[k];
            if (!raster.WriteRasterBlock(1, b.c0, b.r0, b.nc, b.nr, b.values.data())) {
                error = QString::fromLocal8Bit(raster.lastError().c_str());
                return MapStatus::WriteFailed;
            }
            std::vector<double>().swap(b.values);
            if (progress && !progress->StepIt()) {
                progress->SetMessage("Predicting Cancel! Exiting...");
                return MapStatus::Cancelled;
            }
        }
    }
    raster.Close();
    if (progress)
        progress->SetPosition(1.0);
    return MapStatus::Done;
}

ToolOutcome run(const ToolRequest &r, const QStringList &outs, CProcessBase *progress)
{
    ToolOutcome outcome;
    const Method method = methodOf(r);
    const QString title = titleOf(method);
    std::vector<std::string> paths;
    for (const QString &in : r.inputs)
        paths.push_back(local(in));
    std::vector<VerdantaIO::LASExtent> extents;
    if (!VerdantaIO::CreateLASExtent(paths, extents)) {
        outcome.warn(method == Method::Enter || method == Method::Stepwise ? "Get All Las Files's Extent Error!"
                                                                           : "Get All Las Files' Extent Error!",
                     QString::fromLocal8Bit(VerdantaIO::LastError().c_str()));
        return outcome;
    }
    for (const VerdantaIO::LASExtent &e : extents)
        if (!confirmNormalised(r, QFile::decodeName(QByteArray::fromStdString(e.path)), e.maxZ))
            return outcome;

    std::vector<int> flags;
    QString unknown;
    parseVariables(r.values.value("variables"), flags, unknown);
    const int m = static_cast<int>(std::count(flags.begin(), flags.end(), 1));
    PlotTable s;
    if (!readSamples(r, extents, flags, s, outcome, progress))
        return outcome;
    const int n = static_cast<int>(s.y.size());
    if (s.dropped > 0)
        outcome.notes << QString("%1 of %2 plots had fewer than 10 points (outside the LAS files?) and were left out.")
                             .arg(s.dropped)
                             .arg(s.lines);

    // Split and train.
    const int holdout = r.values.value("holdout").toInt();
    const int nTest = holdout * n / 100, nTrain = n - nTest;
    if (nTest < 1) {
        outcome.warn("Test Data Number equal 0!", QString("%1 usable plots").arg(n));
        return outcome;
    }
    if (nTrain < 1) {
        outcome.warn("Training Data Number equal 0!");
        return outcome;
    }
    if (nTrain <= m) {
        outcome.warn("Training Data Number less than Independent Variable Number!",
                     QString("%1 training plots, %2 variables").arg(nTrain).arg(m));
        return outcome;
    }
    if (progress)
        progress->SetMessage("Training.....");
    const uint32_t seed = static_cast<uint32_t>(r.values.value("seed").toLongLong());
    std::vector<double> testX, testY, trainX, trainY;
    RandomSplitDataSet(s.X.data(), s.y.data(), n, m, nTest, seed, testX, testY, trainX, trainY);

    ReportData report;
    std::unique_ptr<CRegressionModel> model;
    bool fellBack = false;
    switch (method) {
    case Method::Enter: {
        auto linear = std::make_unique<CLinearRegressionModel>(1e-6);
        if (!linear->TrainingData(trainX.data(), trainY.data(), nTrain, m)) {
            linear = std::make_unique<LinearRegres_2>(1e-6);
            linear->TrainingData(trainX.data(), trainY.data(), nTrain, m);
            fellBack = true;
        }
        model = std::move(linear);
        break;
    }
    case Method::Stepwise: {
        auto step = std::make_unique<CSteppedRegressionModel>();
        step->TrainingData(trainX.data(), trainY.data(), nTrain, m);
        model = std::move(step);
        break;
    }
    case Method::SVR: {
        auto svm = std::make_unique<CSVMRegressionModel>();
        svm->parameters.svmType = svmTypeOf(r.values.value("svm-type"));
        svm->parameters.kernelType = kernelOf(r.values.value("kernel"));
        svm->parameters.degree = r.values.value("degree").toInt();
        svm->parameters.gamma = r.values.value("gamma").toDouble();
        svm->scaling.fit(trainX.data(), nTrain, m);
        svm->TrainingData(trainX.data(), trainY.data(), nTrain, m);
        model = std::move(svm);
        break;
    }
    case Method::ANN: {
        auto net = std::make_unique<CBPANNRegModel>();
        net->momentum = r.values.value("momentum").toDouble();
        net->learningRate = r.values.value("learning-rate").toDouble();
        net->seed = seed;
        net->scaling.fit(trainX.data(), nTrain, m);
        net->TrainingData(trainX.data(), trainY.data(), nTrain, m);
        model = std::move(net);
        break;
    }
    }
    if (progress)
        progress->SetPosition(1.0);
    model->CalcAccuracy(testX.data(), testY.data(), nTest, m);
    if (!std::isfinite(model->rmse) || !std::isfinite(model->r)) {
        outcome.warn("Regression Failed!", model->error.empty() ? QString("R is not a number (a constant target or "
                                                                            "prediction?)")
                                                                  : QString::fromStdString(model->error));
        return outcome;
    }

    // The report and the figures.
    report.title = title;
    report.request = r;
    report.flags = flags;
    report.nTrain = nTrain;
    report.nTest = nTest;
    report.dropped = s.dropped;
    report.rmse = model->rmse;
    report.r = model->r;
    report.observed = model->observed;
    report.predicted = model->predicted;
    report.fallback = fellBack;
    if (auto *linear = dynamic_cast<CLinearRegressionModel *>(model.get())) {
        report.hasCoefficients = true;
        report.intercept = linear->intercept;
        report.coefficients = linear->coefficients;
    }
    if (auto *step = dynamic_cast<CSteppedRegressionModel *>(model.get()))
        report.kept = step->kept;
    if (auto *svm = dynamic_cast<CSVMRegressionModel *>(model.get()))
        report.supportVectors = svm->supportVectors();
    if (auto *net = dynamic_cast<CBPANNRegModel *>(model.get())) {
        report.hiddenUnits = net->hiddenUnits;
        report.epochs = net->epochsRun;
    }
    const QString figures = QString("RSME: %1\n R: %2\n R^2: %3\n")
                                .arg(QString::number(model->rmse, 'g', 6), QString::number(model->r, 'g', 6),
                                     QString::number(model->r * model->r, 'g', 6));
    const QString ending = fellBack || method == Method::ANN ? "Do you want to continue predicting?"
                           : method == Method::Stepwise      ? "Do you want to continue to predict?"
                                                             : "Do you want to continue to predicting?";
    const bool goOn = !r.proceed || r.proceed(figures + " " + ending);
    const QString reportPath = outs.value(1);
    QString reportError;
    if (writeReport(reportPath, report, &reportError))
        outcome.notes << "Accuracy Report Path:" + reportPath;
    else
        outcome.warn("The accuracy report could not be written!", reportError);
    outcome.notes << reportSummary(report);
    outcome.output << "R2: " + QString::number(model->r * model->r, 'g', 6)
                   << "RMSE: " + QString::number(model->rmse, 'g', 6)
                   << "R: " + QString::number(model->r, 'g', 6);
    if (!goOn) {
        outcome.results << reportPath;
        return outcome;
    }

    MapGrid grid;
    QString mapError;
    const double cell = 2.0 * r.values.value("size").toDouble();
    switch (writeMap(outs.value(0), extents, paths, cell, flags, *model, progress, grid, mapError)) {
    case MapStatus::Done:
        outcome.results << outs.value(0);
        break;
    case MapStatus::WriteFailed:
        outcome.warn("Write TIF File Failed.!", mapError);
        return outcome;
    case MapStatus::Cancelled:
        return outcome;
    case MapStatus::NoExtent:
    case MapStatus::CreateFailed:
        outcome.notes << "No prediction map was written: " + mapError;
        break;
    }
    outcome.results << reportPath;
    outcome.completed = true;
    return outcome;
}

// ---- the declarations --------------------------------------------------------------

ParamSpec param(const QString &option, const QString &label, const QString &widget, const QString &def,
                ParamSpec::Kind kind = ParamSpec::Text)
{
    ParamSpec p = ParamSpec::field(option, label, def, widget, kind);
    p.ownWidget = true;
    return p;
}

Tool declare(Method method)
{
    Tool t;
    ToolSpec &s = t.spec;
    s.name = "regress";
    s.menu = "Models > Regression Models";
    s.extension = ".tif";
    s.output = OutputKind::File;
    s.tiles.untileable = "its model is fitted to the field plots of the whole dataset, and each window would fit "
                         "a model of its own to the plots it holds. Give it the catalogue (.vpc) as a whole.";
    s.summary = "area-based model of a field measurement from plot metrics, its accuracy report and prediction map";
    ParamSpec samples = param("samples", "Sample data", "SampleEdit", QString(), ParamSpec::File);
    samples.fileCaption = "Open File";
    samples.fileFilter = "TXT File(*.txt);;CSV File(*.csv);;All Files(*)";
    ParamSpec plot = param("plot", "Plot Type", "PlotType", "Square", ParamSpec::Choice);
    plot.items = QStringList{"Square", "Circle"};
    ParamSpec methodParam = param("method", "Method", "MethodCombo",
                                  method == Method::SVR   ? "SVR"
                                  : method == Method::ANN ? "ANN"
                                                          : "Enter",
                                  ParamSpec::Choice);
    methodParam.items = QStringList{"Enter", "Stepwise", "SVR", "ANN"};
    ParamSpec report = param("report", "Accuracy report (HTML; default: beside the map)", QString(), QString(),
                             ParamSpec::File);
    report.ownWidget = false;
    report.cliOnly = true;
    s.params = {methodParam,
                samples,
                param("x-field", "X", "XCombo", QString()),
                param("y-field", "Y", "YCombo", QString()),
                param("target", "Dependent Variable", "DependentCombo", QString()),
                plot,
                param("size", "Length(m) or Radius(m)", "SizeEdit", QString(), ParamSpec::Number),
                param("holdout", "Hold-out for Testing (%)", "lineEdit", "10", ParamSpec::Number),
                param("seed", "Random seed", "SeedEdit", "1", ParamSpec::Number),
                param("variables",
                      "Independent Variables: groups elev-percentile, elev-density, int-percentile, lai, gap, "
                      "cover, or single ones such as elev-p50, elev-d30, int-p95",
                      "lineEdit_variables", variablesText(defaultFlags())),
                param("svm-type", "SVM type (epsilon, nu)", "SVMTypeCombo", "epsilon"),
                param("kernel", "Kernel type (rbf, linear, poly, sigmoid)", "KernelCombo", "rbf"),
                param("degree", "Degree", "DegreeEdit", "3", ParamSpec::Number),
                param("gamma", "gamma", "GammaEdit", "0.1", ParamSpec::Number),
                param("momentum", "Momentum", "MomentumEdit", "0.3", ParamSpec::Number),
                param("learning-rate", "Learning Rate", "LearningRateEdit", "0.1", ParamSpec::Number),
                report};
    t.run = run;
    t.check = check;
    t.outputs = outputs;
    t.defaultOutput = defaultOutput;
    t.outputFilter = "TIFF(*.tif)";
    t.outputCaption = "OutPut Path";
    t.outputIsFolder = [](const ToolSpec &, const ToolRequest &) { return false; };
    const QString common =
        "<p>Pairs field plots with LiDAR metrics and models the field measurement. The sample file is a "
        "comma-separated table with a header line; choose the fields of the plot centre (X, Y) and of the "
        "measurement (Dependent Variable). Each plot's points are read from the LAS files (square plots of side "
        "Length, or circles of Radius); plots with fewer than 10 points are left out. The chosen metrics "
        "(elevation and intensity percentiles, elevation densities, effective LAI, gap fraction, canopy cover) "
        "form the model's variables. Hold-out for Testing sets the share of plots kept aside at random (with "
        "the seed shown in the report) to measure RMSE, R and R&sup2;. An HTML report with a scatter plot of "
        "observed against predicted values is written beside the map; the map is a GeoTIFF over all LAS files "
        "with cells twice the plot size, each predicted from the same metrics as a plot.</p>";
    switch (method) {
    case Method::Enter:
    case Method::Stepwise:
        s.title = "Linear Regression";
        s.action = "actionLinear_Regression";
        s.noInputMessage = "Please add  LAS File!";
        s.help = "<h3>Linear Regression</h3>" + common +
                 "<p><b>Enter</b>: ordinary least squares on every chosen variable. <b>Stepwise</b>: variables "
                 "enter by partial F test at p &lt; 0.05 and leave at p &gt; 0.10.</p>";
        break;
    case Method::SVR:
        s.title = "Support Vector Regression";
        s.action = "actionSupport_Vector_Regression";
        s.help = "<h3>Support Vector Regression</h3>" + common +
                 "<p>epsilon-SVR or nu-SVR (libsvm) on the variables scaled to [0, 1]; constant variables are "
                 "left out. Gamma lies between 0 and 1.</p>";
        break;
    case Method::ANN:
        s.title = "Artificial Neural Network Regression";
        s.action = "actionArtificial_Neural_Network";
        s.help = "<h3>Artificial Neural Network</h3>" + common +
                 "<p>A network of one hidden layer of 6 units trained by back-propagation with the Momentum and "
                 "Learning Rate given (both between 0 and 1); training stops when the training loss no longer "
                 "falls.</p>";
        break;
    }
    return t;
}

}  // namespace

const Tool &linear()
{
    static const Tool t = declare(Method::Enter);
    return t;
}

const Tool &svr()
{
    static const Tool t = declare(Method::SVR);
    return t;
}

const Tool &ann()
{
    static const Tool t = declare(Method::ANN);
    return t;
}

}  // namespace RegressionTools
