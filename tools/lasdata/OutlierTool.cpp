#include "OutlierTool.h"

#include "BlockRun.h"
#include "DataManagement.h"
#include "InputDamage.h"
#include "LasIO.h"
#include "LasStream.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <algorithm>

namespace OutlierTool {

namespace {

std::string local(const QString &path) { return QFile::encodeName(path).toStdString(); }

void removeSidecar(const QString &input)
{
    QFile::remove(QFile::decodeName(QByteArray::fromStdString(VerdantaIO::SpatialIndex::sidecarPath(local(input)))));
}

ToolOutcome runOutliers(const ToolRequest &request, const QStringList &outputs, CProcessBase *progress)
{
    using namespace VerdantaIO;
    ToolOutcome outcome;
    const int files = request.inputs.size();
    if (files > 1)
        QDir().mkpath(QFileInfo(outputs.first()).absolutePath());
    if (progress)
        progress->SetPosition(0.0);
    for (int f = 0; f < files; ++f) {
        const QString input = request.inputs[f];
        const QString output = outputs[f];
        removeSidecar(input);
        CLASIO las;
        if (!las.LoadFile(local(input))) {
            outcome.warn("Open LAS file failed!", input + ": " + QString::fromLocal8Bit(las.lastError().c_str()));
            return outcome;
        }
        outcome.notes << InputDamage::remarks(input, las.warnings());

        const QString folder = QFileInfo(output).absolutePath();
        QString working = folder + "/" + kWorkingName;
        if (output.endsWith(".laz", Qt::CaseInsensitive))  // the working file is written as the output will be
            working = working.left(working.size() - 4) + ".laz";
        const std::string work = local(working);
        // The output has the input's header in a writable point format,
        // without extra bytes. Where that leaves the record layout as it
        // is, the kept points' records are copied unchanged; otherwise the
        // points are encoded anew.
        PointHeader header = las.header;
        header.extraBytesPerPoint = 0;
        LasRecordWriter writer;
        if (!writer.create(work, header)) {
            outcome.warn("Write LAS file failed!", working);
            return outcome;
        }
        const bool copyRecords = writer.sameLayout(las.header, las.header.pointDataFormat, las.header.pointRecordLength);

        // Blocks row by row from the north-west corner. A point on a block's
        // right or bottom edge belongs to the next block (the outermost edges
        // belong to the last blocks), so it is taken out of this block's
        // points; the rest of the window serves as neighbours.
        BlockRun::Job job;
        job.path = local(input);
        job.margin = kBlockMargin;
        job.scratchFolder = folder;
        const std::vector<BlockRun::Block> &blocks = job.layout.blocks;
        job.process = [&](size_t k, std::vector<PointCloud> &points, CProcessBase *blockProgress) {
            const BlockRun::Block &b = blocks[k];
            points.erase(std::remove_if(points.begin(), points.end(),
                                        [&](const PointCloud &p) {
                                            return (p.x == b.right && !b.lastCol) || (p.y == b.bottom && !b.lastRow);
                                        }),
                         points.end());
            C_DataManagement dm;
            return dm.ErroPoints(points, blockProgress, b.left, b.bottom, b.right, b.top);
        };
        bool writeFailed = false;
        job.take = [&](size_t, int result, std::vector<PointCloud> &points, const BlockRun::BlockRecords &records) {
            if (result <= 1)
                return false;
            if (copyRecords && records.length == las.header.pointRecordLength)
                records.copy(points, writer);
            else
                for (const PointCloud &p : points)
                    if (!writer.addPoint(p))
                        break;
            writeFailed = !writer.lastError().empty();
            return !writeFailed;
        };
        std::string error;
        BlockRun::Status status = BlockRun::runOverFile(las, BlockRun::RowOrder::FromNorth, job, outcome.notes, progress,
                                                        double(f) / files, 1.0 / files, error);
        if (status == BlockRun::Status::Done && !writer.close()) {
            writeFailed = true;
            status = BlockRun::Status::Stopped;
        }
        if (status != BlockRun::Status::Done) {
            writer.abandon();
            QFile::remove(working);
            if (writeFailed)
                outcome.warn("Write LAS file failed!", working);
            else if (status == BlockRun::Status::Failed)
                outcome.warn("Open LAS file failed!", input + ": " + QString::fromLocal8Bit(error.c_str()));
            return outcome;
        }
        if (QFileInfo(output).absoluteFilePath() != QFileInfo(working).absoluteFilePath()) {
            QFile::remove(output);
            if (!QFile::rename(working, output)) {
                outcome.warn("Write LAS file failed!", output);
                return outcome;
            }
        }
        removeSidecar(input);
        outcome.results << output;
    }
    if (progress)
        progress->SetPosition(1.0);
    outcome.completed = true;
    return outcome;
}

}  // namespace

const Tool &outliers()
{
    static const Tool tool = [] {
        Tool t{[] {
            ToolSpec s;
            s.name = "outliers";
            s.action = "actionExcluding_the_error_point";
            s.menu = "Tools";
            s.title = "Outlier Removal";
            s.summary = "remove outlier points (birds, lone high and low points)";
            s.help = "<h3>Outlier Removal</h3><p>Removes outlier points block by block (250 m blocks, with "
                     "neighbours read 10 m across each block edge): a point whose mean distance to its 10 "
                     "nearest neighbours exceeds the block's mean of that distance by more than 3 standard "
                     "deviations (lone points and small flocks in the air, points far under the ground), and a "
                     "lone point with no neighbour within 1.2 m lying at least 1 m under every point within "
                     "3 m horizontally. Every other point is written unchanged.</p>";
            s.suffix = "_ExcludingTheErrorPoints.las";
            s.output = OutputKind::FilePerInput;
            // A window reads the blocks' margin around it; its blocks line
            // up with the dataset's, so each block sees what it sees in a
            // run over the whole dataset.
            s.tiles.buffer = kBlockMargin;
            s.tiles.blockSize = kBlockSize;
            s.tiles.bytesPerPoint = 200;  // with the row buckets of the whole window
            return s;
        }(),
               runOutliers};
        t.finishedMessage = "Finished!";
        return t;
    }();
    return tool;
}

}  // namespace OutlierTool
