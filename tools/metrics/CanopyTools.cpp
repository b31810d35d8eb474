#include "CanopyTools.h"

#include "CanopyMetrics.h"
#include "GridExtent.h"
#include "InputDamage.h"
#include "LasIO.h"
#include "LasIndex.h"
#include "MetricsOutputs.h"
#include "NormalisedHeights.h"
#include "RasterIO.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>

#include <algorithm>
#include <cmath>
#include <deque>
#include <future>
#include <limits>

using VerdantaIO::PointCloud;

namespace CanopyTools {

namespace {

std::string local(const QString &path) { return QFile::encodeName(path).toStdString(); }

// ---- gridding -------------------------------------------------------------------

// The cells of one block and the rectangle whose points it reads.
struct Block {
    int col = 0, row = 0, width = 0, height = 0;
    double xmin = 0, xmax = 0, ymin = 0, ymax = 0;
};

// A run of neighbouring blocks of one block row, read with one window query
// and split as the blocks' own queries would have returned them.
struct Group {
    std::vector<Block> blocks;
    std::vector<std::vector<float>> values;  // per block, width x height
    std::vector<bool> populated;             // per block: 10 points or more
};

struct Grid {
    double minX = 0, maxX = 0, minY = 0, maxY = 0;
    int cols = 1, rows = 1;
    int span = 10;      // cells a block side: 10, or 1 in cell mode
    bool clip = true;   // block rectangles end at the extent (block mode)
};

Block blockAt(const Grid &g, const GridRequest &q, int c, int r)
{
    Block b;
    b.col = c;
    b.row = r;
    b.width = std::min(g.span, g.cols - c);
    b.height = std::min(g.span, g.rows - r);
    b.xmin = g.minX + c * q.xSize;
    b.ymax = g.maxY - r * q.ySize;
    if (g.clip) {
        b.xmax = std::min(g.maxX, g.minX + (c + g.span) * q.xSize);
        b.ymin = std::max(g.minY, g.maxY - (r + g.span) * q.ySize);
    } else {
        b.xmax = g.minX + (c + 1) * q.xSize;
        b.ymin = g.maxY - (r + 1) * q.ySize;
    }
    return b;
}

// The buffers of one worker, kept from group to group so that their memory
// is allocated (and faulted in) once per file rather than once per group.
struct Workspace {
    std::vector<PointCloud> points;
    std::vector<std::vector<PointCloud>> perBlock;
};

// Reads the group's rectangle once and computes each block's values.
void computeGroup(const std::string &path, const GridRequest &q, Group &group, Workspace &ws)
{
    const size_t n = group.blocks.size();
    const Block &first = group.blocks.front(), &last = group.blocks.back();
    std::vector<PointCloud> &points = ws.points;
    points.clear();
    VerdantaIO::ReadData(path, first.xmin, std::max(last.xmax, first.xmin), std::min(first.ymin, first.ymax),
                         first.ymax, points);
    // Each point goes to every block whose rectangle holds it, bounds
    // included, as a read per block would return it.
    if (ws.perBlock.size() < n)
        ws.perBlock.resize(n);
    for (size_t i = 0; i < n; ++i)
        ws.perBlock[i].clear();
    const double blockWidth = n > 1 ? group.blocks[1].xmin - first.xmin : 0.0;
    for (const PointCloud &p : points) {
        const double k = blockWidth > 0 ? std::floor((p.x - first.xmin) / blockWidth) : 0.0;
        const long lo = static_cast<long>(std::clamp(k - 1, 0.0, double(n - 1)));
        const long hi = static_cast<long>(std::clamp(k + 1, 0.0, double(n - 1)));
        for (long i = lo; i <= hi; ++i) {
            const Block &b = group.blocks[i];
            if (p.x >= b.xmin && p.x <= b.xmax && p.y >= b.ymin && p.y <= b.ymax)
                ws.perBlock[i].push_back(p);
        }
    }
    group.values.resize(n);
    group.populated.assign(n, false);
    for (size_t i = 0; i < n; ++i) {
        const Block &b = group.blocks[i];
        std::vector<float> &out = group.values[i];
        out.assign(static_cast<size_t>(b.width) * b.height, 0.0f);
        if (ws.perBlock[i].size() < 10)
            continue;
        group.populated[i] = true;
        Canopy_Metrics metrics;
        metrics.heightBreak = q.heightBreak;
        if (q.quantity == Quantity::Lai)
            metrics.leafAngleDistribution = q.leafAngle;
        metrics.setBlockCells(b.width, b.height);
        metrics.canopy_for_regression(ws.perBlock[i], b.xmin, b.xmax, b.ymin, b.ymax, q.xSize, q.ySize);
        const float *values = q.quantity == Quantity::Cover ? metrics.coverGrid
                              : q.quantity == Quantity::Gap ? metrics.gapGrid
                                                            : metrics.laiGrid;
        std::copy(values, values + out.size(), out.begin());
    }
}

const char *cancelMessage(Quantity q, bool populatedCell)
{
    switch (q) {
    case Quantity::Cover: return "Canopy Cover Estimation Cancel! Exiting...";
    case Quantity::Gap:
        return populatedCell ? "GapFraction Estimation Cancel! Exiting..." : "Gap Fraction Estimation Cancel! Exiting...";
    case Quantity::Lai: return "LAI Estimation Cancel! Exiting...";
    }
    return "";
}

}  // namespace

GridStatus gridFile(const std::string &lasPath, const std::string &outPath, const GridRequest &q,
                    CProcessBase *progress, std::string &note, std::string &error)
{
    note.clear();
    error.clear();
    // The header; the file's own mapping is released before the window
    // reads, which map it through the index.
    VerdantaIO::PointHeader header;
    {
        VerdantaIO::CLASIO las;
        if (!las.LoadFile(lasPath)) {
            error = las.lastError();
            return GridStatus::OpenFailed;
        }
        header = las.header;
    }
    // The spatial index (built now when missing) holds the points' extent,
    // which saves a pass over the file to check the header's bounds.
    std::shared_ptr<const VerdantaIO::las::IndexedFile> index = VerdantaIO::las::acquireIndex(lasPath, error);
    if (!index)
        return GridStatus::OpenFailed;
    GridExtent::Bounds points;
    if (index->block.count > 0) {
        points.add(index->dataMinX, index->dataMinY);
        points.add(index->dataMaxX, index->dataMaxY);
    }
    const GridExtent::Bounds extent =
        GridExtent::choose(lasPath, GridExtent::of(header), points, q.xSize, q.ySize, note);
    const std::string reference = header.spatialReference.GetWKT();
    index.reset();
    double colsD = 0, rowsD = 0;
    GridExtent::gridSize(extent, q.xSize, q.ySize, colsD, rowsD);
    if (!GridExtent::fits(colsD, rowsD, sizeof(float), error))
        return GridStatus::TooLarge;
    Grid g;
    g.minX = extent.minX;
    g.maxX = extent.maxX;
    g.minY = extent.minY;
    g.maxY = extent.maxY;
    g.cols = static_cast<int>(colsD);
    g.rows = static_cast<int>(rowsD);
    g.clip = q.xSize * q.ySize <= 900.0;
    g.span = g.clip ? 10 : 1;

    VerdantaIO::CRasterIO out;
    out.geoTransform = {{g.minX, q.xSize, 0.0, g.maxY, 0.0, -q.ySize}};
    out.spatialReference = reference;
    out.Createfile(outPath, g.cols, g.rows, 1, 6 /* GDT_Float32 */, "GTiff");

    const double steps = g.clip ? double(g.rows / 10 + 1) * double(g.cols / 10 + 1) : double(g.rows) * g.cols;
    if (progress)
        progress->SetStepCount(static_cast<int32_t>(std::min(steps, double(std::numeric_limits<int32_t>::max()))));

    // Groups of blocks along each block row: wide enough that one query
    // serves several blocks, narrow enough that a group holds about
    // kGroupPoints points at the file's mean density, so that the buffers
    // stay the same size whatever the file's size.
    constexpr double kGroupPoints = 250000;
    const double area = std::max(1.0, (g.maxX - g.minX) * (g.maxY - g.minY));
    const double density = double(header.numberOfPointRecords) / area;
    const double pointsPerBlock = std::max(1.0, density * q.xSize * q.ySize * g.span * g.span);
    const int groupBlocks = static_cast<int>(std::clamp(std::floor(kGroupPoints / pointsPerBlock), 1.0, 4.0));
    const int groupCells = groupBlocks * g.span * (g.clip ? 1 : 2);
    // Lazily enumerated groups, so that a huge grid's plan is not held whole.
    int nextRow = 0, nextCol = 0;
    auto nextGroup = [&](Group &group) {
        if (nextRow >= g.rows)
            return false;
        for (int c = nextCol; c < g.cols && c < nextCol + groupCells; c += g.span)
            group.blocks.push_back(blockAt(g, q, c, nextRow));
        nextCol += groupCells;
        if (nextCol >= g.cols) {
            nextCol = 0;
            nextRow += g.span;
        }
        return true;
    };
    // Two groups in flight on worker threads while this thread writes and
    // reports progress in raster order.
    // Group k uses workspace k % 2: group k has been collected before k + 2
    // is launched.
    constexpr int kInFlight = 2;
    Workspace workspaces[kInFlight];
    size_t launched = 0;
    std::deque<std::unique_ptr<Group>> queue;
    // Declared last, so that on every way out the tasks are waited for
    // before the groups and workspaces they use are released.
    std::deque<std::future<void>> running;
    uint64_t collected = 0;
    auto launch = [&] {
        auto group = std::make_unique<Group>();
        if (!nextGroup(*group))
            return false;
        Group *raw = group.get();
        Workspace *ws = &workspaces[launched++ % kInFlight];
        running.push_back(
            std::async(std::launch::async, [&lasPath, &q, raw, ws] { computeGroup(lasPath, q, *raw, *ws); }));
        queue.push_back(std::move(group));
        return true;
    };
    auto drain = [&] {
        for (auto &f : running)
            f.wait();
    };
    for (int i = 0; i < kInFlight; ++i)
        launch();
    while (!queue.empty()) {
        running.front().get();
        running.pop_front();
        std::unique_ptr<Group> group = std::move(queue.front());
        queue.pop_front();
        launch();
        // Now and then the pages the reads made resident may go, so that
        // memory stays flat however large the file.
        if (++collected % 8 == 0)
            VerdantaIO::SpatialIndex::releasePages(lasPath);
        for (size_t i = 0; i < group->blocks.size(); ++i) {
            const Block &b = group->blocks[i];
            if (!out.WriteRasterBlock(1, b.col, b.row, b.width, b.height, group->values[i].data())) {
                error = out.lastError();
                drain();
                return GridStatus::WriteFailed;
            }
            if (progress && !progress->StepIt()) {
                progress->SetMessage(cancelMessage(q.quantity, !g.clip && group->populated[i]));
                drain();
                return GridStatus::Cancelled;
            }
        }
    }
    out.Close();
    return GridStatus::Done;
}

namespace {

// ---- the three tools -----------------------------------------------------------

struct Kind {
    Quantity quantity;
    QString name, title, suffix, summary, action, help;
};


ToolOutcome run(const Kind &k, const ToolRequest &r, const QStringList &outs, CProcessBase *progress)
{
    ToolOutcome outcome;
    outcome.notes << InputDamage::notes(r.inputs);
    if (progress) {
        progress->SetStageCount(r.inputs.size());
        progress->SetPosition(0.0);
    }
    for (int i = 0; i < r.inputs.size(); ++i) {
        GridRequest q;
        q.quantity = k.quantity;
        q.xSize = r.values.value("xsize").toDouble();
        q.ySize = r.values.value("ysize").toDouble();
        q.heightBreak = r.values.value("height-break").toFloat();
        q.leafAngle = r.values.value("leaf-angle", "0.5").toFloat();
        {
            VerdantaIO::CLASIO header;
            if (header.LoadFile(local(r.inputs[i])) && !confirmNormalised(r, r.inputs[i], header.header.maxZ))
                return outcome;
        }
        std::string note, error;
        const GridStatus status = gridFile(local(r.inputs[i]), local(outs[i]), q, progress, note, error);
        if (!note.empty())
            outcome.notes << QString::fromLocal8Bit(note.c_str());
        switch (status) {
        case GridStatus::OpenFailed: outcome.warn("Open LAS file failed!", InputDamage::firstRefusal({r.inputs[i]})); return outcome;
        case GridStatus::TooLarge: outcome.warn(QString::fromLocal8Bit(error.c_str())); return outcome;
        case GridStatus::WriteFailed: outcome.warn("Write TIF File Failed.!", outs[i]); return outcome;
        case GridStatus::Cancelled: return outcome;
        case GridStatus::Done: break;
        }
        outcome.results << outs[i];
        if (progress)
            progress->SetStageOffset(progress->fraction());
    }
    outcome.completed = true;
    return outcome;
}

// A number field with its limits: empty, then outside them, is refused and
// set back to its default.
ParamSpec number(const QString &option, const QString &label, const QString &def, const QString &widget,
                 const QString &empty, const QString &invalid, double lo, double hi)
{
    ParamSpec p = ParamSpec::field(option, label, def, widget);
    p.emptyMessage = empty;
    p.invalidMessage = invalid;
    p.limitMin = lo;
    p.limitMax = hi;
    return p;
}

const QString kDefinitions =
    "<p>Heights are the points' Z values, so the data should be normalised to the ground first. The grid covers "
    "the file's extent from its north-west corner: columns = int(int(maxX &minus; minX) / XSize + 1), rows "
    "likewise. Cells are computed in blocks of 10 &times; 10 cells (one cell at a time when a cell is larger than "
    "900 square units); a block with fewer than 10 points is 0 in every cell, and so is a cell without the "
    "returns a value needs. The raster has no no-data value.</p>"
    "<p>First returns are the returns with return number 1; a return number 0 (a record without return "
    "information) counts as a first return, so a file without return information uses all its points. A return "
    "exactly at HeightBreak is not above it.</p>";

Tool makeTool(const Kind &k)
{
    Tool t;
    ToolSpec &s = t.spec;
    s.name = k.name;
    s.title = k.title;
    s.summary = k.summary;
    s.action = k.action;
    s.menu = "Stat";
    s.help = "<h3>" + k.title + "</h3>" + k.help + kDefinitions;
    s.suffix = k.suffix + ".tif";
    s.extension = ".tif";
    s.output = OutputKind::FilePerInput;
    const ParamSpec x = number("xsize", "XSize(m)", "15", "XSize", "Xsize is empty! Please set!",
                               "XSize is invalid!\nIt must be set between 0.5 and 200.\nRestore to default value.", 0.5, 200);
    const ParamSpec y = number("ysize", "YSize(m)", "15", "YSize", "Ysize is empty! Please set!",
                               "YSize is invalid!\nIt must be set between 0.5 and 200.\nRestore to default value.", 0.5, 200);
    const ParamSpec hb =
        number("height-break", "HeightBreak(m)", "2", "HeightBreak", "HeightBreak is empty! Please set!",
               "HeightBreak is invalid!\nIt must be set between 0.5 and 20.\nRestore to default value.", 0.5, 20);
    if (k.quantity == Quantity::Lai) {
        ParamSpec leaf =
            number("leaf-angle", "Leaf Angle Distribution", "0.5", "LeafAngle",
                   "Leaf Angle Distribution is empty!Please set!",
                   "Leaf Angle Distribution is invalid!\nIt must be set between 0 and 1.\nRestore to default value.",
                   0, 1);
        leaf.limitMinOpen = true;  // 0 is refused, 1 accepted
        s.params = {x, hb, leaf, y};
        s.checkOrder = QStringList{"xsize", "ysize", "height-break", "leaf-angle"};
    } else {
        s.params = {x, y, hb};
    }
    // Per cell, in blocks of 10 x 10 cells from the grid's north-west
    // corner: no buffer beyond the cells cut by the window's edge, and
    // windows on the dataset's block lines.
    s.tiles.bufferCells = 1;
    s.tiles.cellOption = "xsize";
    s.tiles.cellOptionY = "ysize";
    s.tiles.blockCells = 10;
    s.tiles.bytesPerPoint = 120;
    t.run = [k](const ToolRequest &r, const QStringList &o, CProcessBase *p) { return run(k, r, o, p); };
    t.check = [k](const ToolSpec &spec, ToolRequest &r) {
        return MetricsOutputs::check(spec, r, k.suffix, ".tif", spec.invalidPathMessage);
    };
    t.outputs = [k](const ToolSpec &, const ToolRequest &r) { return MetricsOutputs::outputs(r, k.suffix, ".tif"); };
    t.defaultOutput = [k](const ToolSpec &, const ToolRequest &r) {
        return MetricsOutputs::defaultOutput(r, k.suffix, ".tif");
    };
    t.outputIsFolder = [](const ToolSpec &, const ToolRequest &r) { return r.inputs.size() > 1; };
    t.outputFilter = "TIFF(*.tif)";
    return t;
}

}  // namespace

const Tool &cover()
{
    static const Tool tool = makeTool(
        {Quantity::Cover, "cover", "Canopy Cover", "_CanopyCover", "canopy cover raster: first returns above a height",
         "actionCanpoy_Cover",
         "<p>Canopy cover of each cell, from 0 (no vegetation cover) to 1 (complete cover): the number of first "
         "returns above HeightBreak divided by the number of first returns in the cell. A cell without first "
         "returns is 0.</p>"});
    return tool;
}

const Tool &gap()
{
    static const Tool tool = makeTool(
        {Quantity::Gap, "gap", "Gap Fraction", "_GapFraction", "gap fraction raster: returns below a height",
         "actionGAP",
         "<p>Gap fraction of each cell, from 0 to 1: the number of returns below HeightBreak (those that "
         "penetrate the canopy; a return exactly at HeightBreak counts as below) divided by the number of all "
         "returns in the cell. A cell without returns is 0.</p>"});
    return tool;
}

const Tool &lai()
{
    static const Tool tool = makeTool(
        {Quantity::Lai, "lai", "LAI", "_Lai", "effective leaf area index raster (Beer-Lambert)", "actionLAI",
         "<p>Effective leaf area index of each cell by the Beer&ndash;Lambert law from the gap fraction P (returns "
         "at or below HeightBreak divided by all returns of the cell):</p>"
         "<p align='center'>LAI = &minus;cos(&theta;) &middot; ln(P) / G(&theta;) = &minus;ln(P) / K, "
         "with K = G(&theta;) / cos(&theta;)</p>"
         "<p>G(&theta;) is the Leaf Angle Distribution, the projection of unit leaf area toward the beam; 0.5 "
         "(a spherical or elliptical distribution, the same in every direction) suits most forests. &theta; is the "
         "incidence angle, the mean absolute scan angle of the cell's returns (at most 90&deg;). Where no return "
         "reaches below HeightBreak (P = 0) the count of gap returns is taken as half a return, P = 1/(2n) for n "
         "returns, so the index stays finite and still grows with the number of returns that found no gap. A cell "
         "without returns is 0.</p>"});
    return tool;
}

}  // namespace CanopyTools
