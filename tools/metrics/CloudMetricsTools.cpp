#include "CloudMetricsTools.h"

#include "CloudGrid.h"
#include "CloudMetrics.h"
#include "GridExtent.h"
#include "InputDamage.h"
#include "LasIO.h"
#include "MetricsOutputs.h"
#include "NormalisedHeights.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>

#include <cmath>
#include <cstdio>
#include <limits>
#include <memory>
#include <vector>

namespace CloudMetricsTools {

const char *const kElevationHeader =
    "x,y,XSize,YSize,elev_aad_z,elev_canpoy_relief_ratio,elev_AIH_1st,elev_AIH_5th,elev_AIH_10th,elev_AIH_20th,"
    "elev_AIH_25th,elev_AIH_30th,elev_AIH_40th,elev_AIH_50th,elev_AIH_60th,elev_AIH_70th,elev_AIH_75th,"
    "elev_AIH_80th,elev_AIH_90th,elev_AIH_95th,elev_AIH_99th,elev_AIH_IQ,elev_curt_mean_cube,elev_cv_z,elev_IQ,"
    "elev_kurtosis_z,elev_madmedian_z,elev_max_z,elev_min_z,elev_mean_z,elev_median_z,elev_percentile_1st,"
    "elev_percentile_5th,elev_percentile_10th,elev_percentile_20th,elev_percentile_25th,elev_percentile_30th,"
    "elev_percentile_40th,elev_percentile_50th,elev_percentile_60th,elev_percentile_70th,elev_percentile_75th,"
    "elev_percentile_80th,elev_percentile_90th,elev_percentile_95th,elev_percentile_99th,elev_skewness_z,"
    "elev_sqrt_mean_sq,elev_stddev_z,elev_variance_z,density_metrics[0],density_metrics[1],density_metrics[2],"
    "density_metrics[3],density_metrics[4],density_metrics[5],density_metrics[6],density_metrics[7],"
    "density_metrics[8],density_metrics[9]";

const char *const kIntensityHeader =
    "x,y,XSize,YSize,int_aad,int_cv,int_AII_1st,int_AII_5th,int_AII_10th,int_AII_20th,int_AII_25th,int_AII_30th,"
    "int_AII_40th,int_AII_50th,int_AII_60th,int_AII_70th,int_AII_75th,int_AII_80th,int_AII_90th,int_AII_95th,"
    "int_AII_99th,int_kurtosis,int_madmedian,int_max,int_mean,int_median_z,int_min,int_skewness,int_variance,"
    "int_stddev,int_percentile_1st,int_percentile_5th,int_percentile_10th,int_percentile_20th,"
    "int_percentile_25th,int_percentile_30th,int_percentile_40th,int_percentile_50th,int_percentile_60th,"
    "int_percentile_70th,int_percentile_75th,int_percentile_80th,int_percentile_90th,int_percentile_95th,"
    "int_percentile_99th,int_con_iq";

namespace {

std::string local(const QString &path) { return QFile::encodeName(path).toStdString(); }

// The two tools differ in these few things only.
struct Flavour {
    bool elevation;
    QString title;         // "Elevation Metrics"
    QString base;          // "_ElevationMetrics"
    QString notAbsolute;   // the message for an output that is not an absolute path
    const char *header;
    const char *cancelled;
};
const Flavour kElevation{true, "Elevation Metrics", "_ElevationMetrics", "Output Path is invalid! Please reset!",
                         kElevationHeader, "Elevation Metrics Computing Cancel! Exiting..."};
const Flavour kIntensity{false, "Intensity Metrics", "_IntensityMetrics", "Output Path is invalid! Please set!",
                         kIntensityHeader, "Intensity Metrics Computing Cancel! Exiting..."};

constexpr std::size_t kMinimumPoints = 10;

// "12.345678," with no negative zero.
void put(std::string &line, double v)
{
    if (std::fabs(v) < 5e-7)
        v = 0.0;
    char text[64];
    const int n = std::snprintf(text, sizeof text, "%.6f,", v);
    line.append(text, static_cast<std::size_t>(n));
}
void putArray(std::string &line, const double *v, int n)
{
    for (int k = 0; k < n; ++k)
        put(line, v[k]);
}
void endLine(std::string &line) { line.back() = '\n'; }

void elevationLine(std::string &line, double x, double y, double xs, double ys, const CCloudMetics &m)
{
    put(line, x);
    put(line, y);
    put(line, xs);
    put(line, ys);
    put(line, m.elev_aad_z);
    put(line, m.elev_canpoy_relief_ratio);
    putArray(line, m.elev_AIH, CCloudMetics::kLevelCount);
    put(line, m.elev_AIH_IQ);
    put(line, m.elev_curt_mean_cube);
    put(line, m.elev_cv_z);
    put(line, m.elev_IQ);
    put(line, m.elev_kurtosis_z);
    put(line, m.elev_madmedian_z);
    put(line, m.elev_max_z);
    put(line, m.elev_min_z);
    put(line, m.elev_mean_z);
    put(line, m.elev_median_z);
    putArray(line, m.elev_percentile, CCloudMetics::kLevelCount);
    put(line, m.elev_skewness_z);
    put(line, m.elev_sqrt_mean_sq);
    put(line, m.elev_stddev_z);
    put(line, m.elev_variance_z);
    putArray(line, m.density_metrics, 10);
    endLine(line);
}

void intensityLine(std::string &line, double x, double y, double xs, double ys, const CCloudMetics &m)
{
    put(line, x);
    put(line, y);
    put(line, xs);
    put(line, ys);
    put(line, m.int_aad);
    put(line, m.int_cv);
    putArray(line, m.int_AII, CCloudMetics::kLevelCount);
    put(line, m.int_kurtosis);
    put(line, m.int_madmedian);
    put(line, m.int_max);
    put(line, m.int_mean);
    put(line, m.int_median_z);
    put(line, m.int_min);
    put(line, m.int_skewness);
    put(line, m.int_variance);
    put(line, m.int_stddev);
    putArray(line, m.int_percentile, CCloudMetics::kLevelCount);
    put(line, m.int_con_iq);
    endLine(line);
}

// ---- the run -------------------------------------------------------------------

// Per worker: the statistics object and the values of the cell's kept points.
struct Worker {
    CCloudMetics metrics;
    std::vector<double> values;
};

ToolOutcome run(const Flavour &f, const ToolRequest &r, const QStringList &outs, CProcessBase *progress)
{
    ToolOutcome outcome;
    outcome.notes << InputDamage::notes(r.inputs);
    const double xSize = r.values.value("xsize").toDouble(), ySize = r.values.value("ysize").toDouble();
    // The elevation tool always filters by height; the intensity tool only
    // when the command line gives a HeightBreak.
    const QString breakText = r.values.value("height-break").trimmed();
    const bool filtered = !breakText.isEmpty();
    const double heightBreak = filtered ? breakText.toDouble() : 0.0;
    const int n = r.inputs.size();
    if (progress)
        progress->SetStageCount(n);
    for (int k = 0; k < n; ++k) {
        const QString input = r.inputs[k], out = outs[k];
        const std::string path = local(input);
        // The header and the points' bounds; the file's mapping is released
        // before the cells are read through the index.
        auto las = std::make_unique<VerdantaIO::CLASIO>();
        if (!las->LoadFile(path)) {
            outcome.warn("Open LAS file failed!", input + ": " + QString::fromLocal8Bit(las->lastError().c_str()));
            return outcome;
        }
        if (!confirmNormalised(r, input, las->header.maxZ))
            return outcome;
        // The grid follows the header's extent unless the header cannot be
        // right about the points (then their own bounds, with a note).
        VerdantaIO::LASExtent pointExtent;
        GridExtent::Bounds points;
        if (las->PointExtent(pointExtent))
            points = GridExtent::of(pointExtent);
        std::string note;
        const GridExtent::Bounds extent =
            GridExtent::choose(path, GridExtent::of(las->header), points, xSize, ySize, note);
        las.reset();
        if (!note.empty())
            outcome.notes << QString::fromLocal8Bit(note.c_str());
        CloudGrid::Grid grid;
        std::string why;
        if (!CloudGrid::makeGrid(extent.minX, extent.maxX, extent.minY, extent.maxY, xSize, ySize,
                                 std::numeric_limits<int32_t>::max(), grid, why)) {
            outcome.warn("The cells of " + input + " cannot be counted: " + QString::fromLocal8Bit(why.c_str()) +
                         "; choose a larger cell size.");
            return outcome;
        }

        std::unique_ptr<FILE, int (*)(FILE *)> file(std::fopen(local(out).c_str(), "wb"), &std::fclose);
        if (!file) {
            outcome.warn("Write CSV file failed!", out);
            return outcome;
        }
        std::fputs(f.header, file.get());
        std::fputc('\n', file.get());
        if (progress)
            progress->SetStepCount(static_cast<int32_t>(grid.cellCount()));

        const int threads = CloudGrid::defaultThreads();
        std::vector<Worker> workers(static_cast<std::size_t>(threads));
        auto compute = [&](int w, int64_t i, int64_t j, const CloudGrid::CellPoints &cell, std::string &text) {
            if (cell.size() < kMinimumPoints)
                return;
            Worker &worker = workers[static_cast<std::size_t>(w)];
            worker.values.clear();
            for (std::size_t p = 0; p < cell.size(); ++p) {
                const VerdantaIO::PointCloud &pt = cell[p];
                if (filtered && !(pt.z > heightBreak))
                    continue;
                worker.values.push_back(f.elevation ? pt.z : static_cast<double>(pt.intensity));
            }
            if (worker.values.size() < kMinimumPoints)
                return;
            const double x = grid.x0(i) + 0.5 * xSize, y = grid.y0(j) + 0.5 * ySize;
            if (f.elevation) {
                if (worker.metrics.cal_pecentitle_z(worker.values.data(), worker.values.size()))
                    elevationLine(text, x, y, xSize, ySize, worker.metrics);
            } else if (worker.metrics.cal_normal_intensity(worker.values.data(), worker.values.size())) {
                intensityLine(text, x, y, xSize, ySize, worker.metrics);
            }
        };
        int64_t lines = 0;
        auto sink = [&](int64_t, int64_t, const std::string &text) {
            if (text.empty())
                return;
            std::fwrite(text.data(), 1, text.size(), file.get());
            ++lines;
        };
        std::string error;
        const CloudGrid::ScanStatus status = CloudGrid::scan(path, grid, compute, sink, progress, threads, error);
        if (status == CloudGrid::ScanStatus::Cancelled) {
            if (progress)
                progress->SetMessage(f.cancelled);
            return outcome;
        }
        if (status == CloudGrid::ScanStatus::ReadFailed) {
            outcome.warn("Open LAS file failed!", input + ": " + QString::fromLocal8Bit(error.c_str()));
            return outcome;
        }
        const bool written = std::fflush(file.get()) == 0 && !std::ferror(file.get());
        file.reset();
        if (!written) {
            outcome.warn("Write CSV file failed!", out);
            return outcome;
        }
        outcome.results << out;
        if (lines == 0)
            outcome.notes << out + ": no cell holds " + QString::number(kMinimumPoints) + " or more points" +
                                 (filtered ? " above the HeightBreak of " + breakText + " m" : QString()) +
                                 "; the table holds its header line only.";
        if (progress)
            progress->SetStageOffset(progress->fraction());
    }
    if (progress)
        progress->SetPosition(1.0);
    outcome.completed = true;
    return outcome;
}

// ---- declarations ----------------------------------------------------------------

const char *kDefinitions =
    "<p><b>Grid.</b> Columns = int((maxX &minus; minX) / XSize) + 1 and rows = int((maxY &minus; minY) / YSize) + 1 "
    "from the header's extent (the points' own bounds when the header cannot be right about them). Cells are "
    "visited west to east by column and south to north within a column; a cell holds the points inside or on "
    "its edges (a point on a shared edge counts in both cells). A cell needs at least 10 points, and at least 10 "
    "of those used; other cells give no line. Each line starts with the cell centre, XSize and YSize; numbers "
    "have 6 decimals.</p>"
    "<p><b>Percentiles</b> (1st to 99th): linear interpolation between the closest ranks (R's type 7): with the "
    "n values sorted, v<sub>0</sub> &le; &hellip; &le; v<sub>n&minus;1</sub>, h = (n &minus; 1)&middot;q/100 and "
    "P<sub>q</sub> = v<sub>&lfloor;h&rfloor;</sub> + (h &minus; &lfloor;h&rfloor;)(v<sub>&lfloor;h&rfloor;+1</sub> "
    "&minus; v<sub>&lfloor;h&rfloor;</sub>). The median is P<sub>50</sub>; IQ = P<sub>75</sub> &minus; "
    "P<sub>25</sub>.</p>"
    "<p><b>Moments</b> are population moments (divisor n): variance m<sub>2</sub>, standard deviation "
    "&radic;m<sub>2</sub>, skewness m<sub>3</sub>/m<sub>2</sub><sup>1.5</sup>, kurtosis "
    "m<sub>4</sub>/m<sub>2</sub><sup>2</sup> (3 for a normal distribution, not the excess), cv = standard "
    "deviation / mean. When all values of a cell are equal, skewness, kurtosis and cv are 0 (cv is also 0 for a "
    "mean of 0). aad is the mean absolute deviation from the mean; madmedian the median of the absolute "
    "deviations from the median.</p>";

Tool makeTool(const Flavour &f)
{
    Tool t;
    ToolSpec &s = t.spec;
    s.title = f.title;
    s.menu = "Stat";
    s.suffix = f.base + ".csv";
    s.extension = ".csv";
    s.output = OutputKind::FilePerInput;
    auto number = [](const QString &option, const QString &label, const QString &widget, const QString &def,
                     double lo, double hi, int decimals) {
        ParamSpec p = ParamSpec::field(option, label, def, widget);
        p.limitMin = lo;
        p.limitMax = hi;
        p.decimals = decimals;
        return p;
    };
    ParamSpec x = number("xsize", "XSize(m)", "XSize", "15", 0.5, 200, f.elevation ? 2 : -1);
    x.emptyMessage = "Xsize is empty! Please set!";
    x.invalidMessage = "XSize is invalid!\nIt must be set between 0.5 and 200.\nRestore to default value.";
    ParamSpec y = number("ysize", "YSize(m)", "YSize", "15", 0.5, 200, f.elevation ? 2 : -1);
    y.emptyMessage = "Ysize is empty! Please set!";
    y.invalidMessage = "YSize is invalid!\nIt must be set between 0.5 and 200.\nRestore to default value.";
    ParamSpec h = number("height-break", "HeightBreak(m)", "HeightBreak", "0", 0, 150, 2);
    h.invalidMessage = "HeightBreak is invalid!\nIt must be set between 0 and 150.\nRestore to default value.";
    if (f.elevation) {
        h.emptyMessage = "HeightBreak is empty! Please set!";
    } else {
        // Command line only; empty uses every point, as the dialog does.
        h.cliOnly = true;
        h.defaultValue.clear();
    }
    s.params = {x, y, h};
    // Per cell: no buffer beyond the cells cut by the window's edge.
    s.tiles.bufferCells = 1;
    s.tiles.cellOption = "xsize";
    s.tiles.cellOptionY = "ysize";
    s.tiles.bytesPerPoint = 120;
    if (f.elevation) {
        s.name = "elevation-metrics";
        s.action = "actionDensity_Metrics";
        s.summary = "per-cell statistics of the point heights, as a CSV table";
        s.help = QString(
                     "<h3>Elevation Metrics</h3><p>Grids each LAS file into XSize &times; YSize cells and writes one "
                     "CSV line per cell of statistics of the heights of its points above HeightBreak (z strictly "
                     "greater than HeightBreak). Use height-normalised data: a file whose highest point is above "
                     "200 asks for confirmation first.</p>") +
                 kDefinitions +
                 "<p><b>AIH</b> (accumulated integral height, 1st to 99th): the lowest height of the cell below "
                 "and at which the running sum of the sorted heights reaches q % of the sum of all heights "
                 "(negative heights add nothing; without a positive height AIH equals the percentile). "
                 "elev_AIH_IQ = AIH 75th &minus; AIH 25th.</p>"
                 "<p>elev_canpoy_relief_ratio = (mean &minus; min) / (max &minus; min), 0 when max = min. "
                 "elev_sqrt_mean_sq = &radic;(mean of z<sup>2</sup>) and elev_curt_mean_cube = &#8731;(mean of "
                 "z<sup>3</sup>), the power means of order 2 and 3.</p>"
                 "<p><b>Density metrics</b>: the cell's height range min..max is cut into ten equal slices, low "
                 "to high; density_metrics[k] is the share of the heights with min + k&middot;r/10 &le; z &lt; "
                 "min + (k+1)&middot;r/10 (r = max &minus; min), the highest point belonging to the last slice. "
                 "The ten shares sum to 1. When all heights are equal they all lie in slice 0 "
                 "(density_metrics[0] = 1).</p>";
    } else {
        s.name = "intensity-metrics";
        s.action = "actionPercentiles";
        s.summary = "per-cell statistics of the return intensities, as a CSV table";
        s.help = QString(
                     "<h3>Intensity Metrics</h3><p>Grids each LAS file into XSize &times; YSize cells and writes "
                     "one CSV line per cell of statistics of the intensities of all its points. On the command "
                     "line, --height-break H keeps only the points with z strictly greater than H, as the "
                     "elevation metrics do; without it every point is used, as in this dialog. A file whose "
                     "highest point is above 200 asks for confirmation first.</p>") +
                 kDefinitions +
                 "<p><b>AII</b> (accumulated integral intensity, 1st to 99th): the lowest intensity of the cell "
                 "at which the running sum of the sorted intensities reaches q % of the sum of all intensities; "
                 "when every intensity is 0 it equals the percentile (0). int_con_iq = percentile 75th &minus; "
                 "percentile 25th; int_median_z is the median intensity.</p>";
    }
    t.run = [f](const ToolRequest &r, const QStringList &o, CProcessBase *p) { return run(f, r, o, p); };
    t.check = [f](const ToolSpec &spec, ToolRequest &r) {
        return MetricsOutputs::check(spec, r, f.base, ".csv", f.notAbsolute);
    };
    t.outputs = [f](const ToolSpec &, const ToolRequest &r) { return MetricsOutputs::outputs(r, f.base, ".csv"); };
    t.defaultOutput = [f](const ToolSpec &, const ToolRequest &r) {
        return MetricsOutputs::defaultOutput(r, f.base, ".csv");
    };
    t.outputIsFolder = [](const ToolSpec &, const ToolRequest &r) { return r.inputs.size() > 1; };
    t.outputFilter = "CSV(*.csv)";
    t.outputCaption = "OutPut Path";
    return t;
}

}  // namespace

const Tool &elevationMetrics()
{
    static const Tool tool = makeTool(kElevation);
    return tool;
}

const Tool &intensityMetrics()
{
    static const Tool tool = makeTool(kIntensity);
    return tool;
}

}  // namespace CloudMetricsTools
