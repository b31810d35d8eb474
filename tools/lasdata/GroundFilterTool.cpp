#include "GroundFilterTool.h"

#include "Filter.h"
#include "GridExtent.h"
#include "InputDamage.h"
#include "LasIO.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <chrono>
#include <cmath>
#include <future>

namespace GroundFilterTool {

namespace {

using VerdantaIO::PointCloud;

std::string local(const QString &path) { return QFile::encodeName(path).toStdString(); }

struct BlockResult {
    int result = FILTER::kFailed;
    std::vector<PointCloud> points;
};

// Reads one block with its margin and filters it.
BlockResult filterBlock(const FILTER &params, const std::string &path, const Block &b, CProcessBase *progress,
                        std::vector<double> bookkeeping, double fraction)
{
    BlockResult r;
    FILTER filter = params;
    VerdantaIO::MultiFileData({path}, b.left - kBlockMargin, b.right + kBlockMargin, b.bottom - kBlockMargin,
                              b.top + kBlockMargin, r.points);
    r.result = filter.LasFilter(r.points, b.left, b.bottom, b.right, b.top, progress, bookkeeping, fraction);
    return r;
}

ToolOutcome runGround(const ToolRequest &request, const QStringList &outputs, CProcessBase *progress)
{
    ToolOutcome outcome;
    FILTER params;
    params.m_MaxIterations = 25;
    params.m_TinAngle = request.values.value("tin-angle").toDouble();
    params.m_TinDistance = request.values.value("tin-distance").toDouble();
    params.m_GridSize = request.values.value("grid-size").toDouble();
    params.m_SupportRadius = 15.0;
    params.m_SupportHeight = 1.5;
    params.m_MinPoints = 20;
    params.m_MinSupport = 10;
    params.m_SeedPasses = 20;

    const int n = request.inputs.size();
    if (n > 1)
        QDir().mkpath(QFileInfo(outputs.first()).absolutePath());
    if (progress)
        progress->SetStageCount(n);
    for (int f = 0; f < n; ++f) {
        const QString input = request.inputs[f];
        const std::string path = local(input);
        const std::string output = local(outputs[f]);
        VerdantaIO::CLASIO las;
        if (!las.LoadFile(path)) {
            outcome.warn("Open the " + input + " file failed!", QString::fromLocal8Bit(las.lastError().c_str()));
            return outcome;
        }
        outcome.notes << InputDamage::remarks(input, las.warnings());

        // The blocks cover the header's extent, or the points' where the
        // header cannot be right, and always every point.
        VerdantaIO::LASExtent pointExtent;
        GridExtent::Bounds extent;
        if (las.PointExtent(pointExtent)) {
            const GridExtent::Bounds pts = GridExtent::of(pointExtent);
            std::string note;
            extent = GridExtent::choose(path, GridExtent::of(las.header), pts, kBlockSize, kBlockSize, note);
            if (!note.empty())
                outcome.notes << QString::fromLocal8Bit(note.c_str());
            extent.add(pts);
        }
        VerdantaIO::PointHeader header = las.header;
        if (!VerdantaIO::WriteLasFile(output, header, {})) {
            outcome.warn("Write LAS file failed!", outputs[f]);
            return outcome;
        }
        const std::vector<Block> blocks = extent.empty ? std::vector<Block>()
                                                       : GroundFilterTool::blocks(extent.minX, extent.minY,
                                                                                  extent.maxX, extent.maxY);
        std::vector<double> bookkeeping = {double(n), double(f + 1), 0.0, double(std::max<size_t>(1, blocks.size()))};
        double fraction = double(f) / n;
        const double share = 1.0 / (n * bookkeeping[3]);

        // Two blocks at a time: the next one on a second thread (without
        // progress reports, which belong to this thread), written in block
        // order.
        auto write = [&](BlockResult &r) {
            if (r.result == FILTER::kFailed) {
                outcome.warn("Filter failed!+\n+There is a error!", input);
                return false;
            }
            if (r.result == FILTER::kCancelled)
                return false;
            if (!r.points.empty() && !VerdantaIO::AppendLas(output, header, r.points)) {
                outcome.warn("Write LAS file failed!", outputs[f]);
                return false;
            }
            return true;
        };
        for (size_t k = 0; k < blocks.size(); k += 2) {
            std::future<BlockResult> next;
            if (k + 1 < blocks.size())
                next = std::async(std::launch::async, filterBlock, std::cref(params), path, blocks[k + 1], nullptr,
                                  bookkeeping, fraction + share);
            BlockResult first = filterBlock(params, path, blocks[k], progress, bookkeeping, fraction);
            fraction += share;
            bookkeeping[2] += 1;
            if (!next.valid()) {
                if (!write(first))
                    return outcome;
                continue;
            }
            // Keep the window responsive while the second block finishes.
            bool go = first.result == FILTER::kDone;
            while (next.wait_for(std::chrono::milliseconds(50)) != std::future_status::ready)
                if (go && progress && !progress->SetPosition(fraction))
                    go = false;
            BlockResult second = next.get();
            fraction += share;
            bookkeeping[2] += 1;
            if (!write(first))
                return outcome;
            if (!go)
                return outcome;
            if (!write(second))
                return outcome;
            if (progress && !progress->SetPosition(fraction))
                return outcome;
        }
        VerdantaIO::SpatialIndex::releasePages(path);
        outcome.results << outputs[f];
    }
    if (progress)
        progress->SetPosition(1.0);
    outcome.completed = true;
    return outcome;
}

}  // namespace

std::vector<Block> blocks(double minX, double minY, double maxX, double maxY)
{
    std::vector<Block> out;
    if (!(maxX >= minX) || !(maxY >= minY) || !std::isfinite(maxX - minX) || !std::isfinite(maxY - minY))
        return out;
    const int cols = std::max(1, int(std::ceil((maxX - minX) / kBlockSize)));
    const int rows = std::max(1, int(std::ceil((maxY - minY) / kBlockSize)));
    for (int j = 0; j < rows; ++j)
        for (int i = 0; i < cols; ++i) {
            Block b{minX + kBlockSize * i, minY + kBlockSize * j, minX + kBlockSize * (i + 1),
                    minY + kBlockSize * (j + 1)};
            if (i == cols - 1)
                b.right = std::nextafter(std::max(b.right, maxX), HUGE_VAL);
            if (j == rows - 1)
                b.top = std::nextafter(std::max(b.top, maxY), HUGE_VAL);
            out.push_back(b);
        }
    return out;
}

const Tool &ground()
{
    static const Tool tool = [] {
        Tool t{[] {
            ToolSpec s;
            s.name = "ground";
            s.action = "actionFilter";
            s.menu = "Tools";
            s.title = "Filtering";
            s.summary = "classify ground points by progressive TIN densification";
            s.help =
                "<h3>Filtering</h3><p>Separates ground from non-ground points by progressive TIN densification. "
                "Each file is processed in blocks of 250 m, read with a margin of 10 m. In each block the lowest "
                "point of every GridSize cell that has enough points near its height seeds a triangulated "
                "surface (isolated low points never do); seeds standing steeply above a neighbouring seed, such "
                "as building roofs, are dropped. The surface then takes, pass by pass, at most one point per "
                "triangle that lies less than TinDistance from the triangle and whose angles to the triangle's "
                "corners are below TinAngle.</p><p>Ground points get class 2, all others class 1; low noise "
                "(class 7) keeps its class and is never ground. The output holds every input point once.</p>";
            s.suffix = "_Filter.las";
            s.output = OutputKind::FilePerInput;
            s.folderMissingMessage = "Please reset the output file!";
            ParamSpec grid;
            grid.option = "grid-size";
            grid.label = "GridSize(m)";
            grid.defaultValue = "20.0";
            grid.emptyMessage = "GridSize is empty! Please set!";
            grid.invalidMessage = "GridSize is invalid!\nIt must be greater than 0.\nRestore to default value.";
            ParamSpec angle;
            angle.option = "tin-angle";
            angle.label = QString::fromUtf8("TinAngle(\u00b0)");
            angle.defaultValue = "12.0";
            angle.emptyMessage = "TinAngle is empty! Please set!";
            angle.invalidMessage = "TinAngle is invalid!\nIt must be greater than 0.\nRestore to default value.";
            ParamSpec distance;
            distance.option = "tin-distance";
            distance.label = "TinDistance(m)";
            distance.defaultValue = "1.0";
            distance.emptyMessage = "TinDistance is empty! Please set!";
            distance.invalidMessage =
                "TinDistance is invalid!\nIt must be greater than 0.\nRestore to default value.";
            s.params = {grid, angle, distance};
            // The blocks' margin, on the dataset's 250 m blocks.
            s.tiles.buffer = kBlockMargin;
            s.tiles.blockSize = kBlockSize;
            s.tiles.bytesPerPoint = 200;
            return s;
        }(),
               runGround};
        t.finishedMessage = "Finished!";
        return t;
    }();
    return tool;
}

}  // namespace GroundFilterTool
