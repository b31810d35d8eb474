#include "GroundFilterTool.h"

#include "BlockRun.h"
#include "Filter.h"
#include "InputDamage.h"
#include "LasIO.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <cmath>

namespace GroundFilterTool {

namespace {

using VerdantaIO::PointCloud;

std::string local(const QString &path) { return QFile::encodeName(path).toStdString(); }

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
        VerdantaIO::PointHeader header = las.header;
        if (!VerdantaIO::WriteLasFile(output, header, {})) {
            outcome.warn("Write LAS file failed!", outputs[f]);
            return outcome;
        }

        // Blocks row by row from the south-west corner, each taking the
        // points on its left and bottom edges; the last column and row reach
        // just past the extent so that the points on its far edges belong to
        // them.
        BlockRun::Job job;
        job.path = path;
        job.margin = kBlockMargin;
        job.scratchFolder = QFileInfo(outputs[f]).absolutePath();
        const std::vector<BlockRun::Block> &blocks = job.layout.blocks;
        job.process = [&](size_t k, std::vector<PointCloud> &points, CProcessBase *blockProgress) {
            const BlockRun::Block &b = blocks[k];
            const double total = double(std::max<size_t>(1, blocks.size()));
            FILTER filter = params;
            std::vector<double> bookkeeping = {double(n), double(f + 1), double(k), total};
            double fraction = (f + k / total) / n;
            return filter.LasFilter(points, b.left, b.bottom, b.lastCol ? std::nextafter(b.right, HUGE_VAL) : b.right,
                                    b.lastRow ? std::nextafter(b.top, HUGE_VAL) : b.top, blockProgress, bookkeeping,
                                    fraction);
        };
        job.take = [&](size_t, int result, std::vector<PointCloud> &points, const BlockRun::BlockRecords &) {
            if (result == FILTER::kFailed) {
                outcome.warn("Filter failed!+\n+There is a error!", input);
                return false;
            }
            if (result == FILTER::kCancelled)
                return false;
            if (!points.empty() && !VerdantaIO::AppendLas(output, header, points)) {
                outcome.warn("Write LAS file failed!", outputs[f]);
                return false;
            }
            return true;
        };
        std::string error;
        const BlockRun::Status status = BlockRun::runOverFile(las, BlockRun::RowOrder::FromSouth, job, outcome.notes,
                                                              progress, double(f) / n, 1.0 / n, error);
        if (status == BlockRun::Status::Failed)
            outcome.warn("Open the " + input + " file failed!", QString::fromLocal8Bit(error.c_str()));
        if (status != BlockRun::Status::Done)
            return outcome;
        outcome.results << outputs[f];
    }
    if (progress)
        progress->SetPosition(1.0);
    outcome.completed = true;
    return outcome;
}

}  // namespace

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
                "corners are below TinAngle. Points just above the final surface, the tops of terraces and "
                "the crests of dykes and quarry rims that lie on the smooth ground around them join the ground; "
                "raised pieces of ground whose rim drops away, such as decks and roofs, leave it.</p><p>Ground "
                "points get class 2, all others class 1; low noise "
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
            s.tiles.bytesPerPoint = 240;  // with the row buckets of the whole window
            return s;
        }(),
               runGround};
        t.finishedMessage = "Finished!";
        return t;
    }();
    return tool;
}

}  // namespace GroundFilterTool
