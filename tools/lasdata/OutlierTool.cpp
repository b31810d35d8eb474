#include "OutlierTool.h"

#include "DataManagement.h"
#include "GridExtent.h"
#include "InputDamage.h"
#include "LasIO.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <algorithm>
#include <cmath>

namespace OutlierTool {

namespace {

std::string local(const QString &path) { return QFile::encodeName(path).toStdString(); }

// Maps the 0..1 progress of one block onto its share of the whole run.
class BlockProgress : public CProcessBase {
public:
    BlockProgress(CProcessBase *outer, double start, double span) : outer_(outer), start_(start), span_(span) {}
    void SetMessage(const char *text) override
    {
        if (outer_)
            outer_->SetMessage(text);
    }
    bool SetPosition(double f) override { return !outer_ || outer_->SetPosition(start_ + span_ * f); }
    bool StepIt() override { return !outer_ || outer_->StepIt(); }
    void SetStageCount(int32_t) override {}
    void SetStageOffset(double) override {}

private:
    CProcessBase *outer_;
    double start_, span_;
};

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

        // The blocks cover the header's extent; a header that cannot be right
        // for its points gives way to the points' extent, and points lying
        // just outside a sound header are covered too.
        GridExtent::Bounds box = GridExtent::of(las.header);
        LASExtent pe;
        if (las.PointExtent(pe)) {
            GridExtent::Bounds pts = GridExtent::of(pe);
            std::string note;
            box = GridExtent::choose(local(input), box, pts, kBlockSize, kBlockSize, note);
            if (!note.empty())
                outcome.notes << QString::fromLocal8Bit(note.c_str());
            box.add(pts);
        }
        const double minX = box.minX, maxY = box.maxY;
        const int cols = std::max(1, int(std::ceil((box.maxX - box.minX) / kBlockSize)));
        const int rows = std::max(1, int(std::ceil((box.maxY - box.minY) / kBlockSize)));

        QString working = QFileInfo(output).absolutePath() + "/" + kWorkingName;
        if (output.endsWith(".laz", Qt::CaseInsensitive))  // the working file is written as the output will be
            working = working.left(working.size() - 4) + ".laz";
        const std::string work = local(working);
        PointHeader header = las.header;
        const std::vector<std::string> paths{local(input)};
        const double blocks = double(cols) * rows;
        bool first = true;
        std::vector<PointCloud> points;  // one block's points; its memory serves every block
        for (int j = 0; j < rows; ++j) {
            const double top = maxY - kBlockSize * j, bottom = top - kBlockSize;
            for (int i = 0; i < cols; ++i) {
                const double left = minX + kBlockSize * i, right = left + kBlockSize;
                points.clear();
                MultiFileData(paths, left - kBlockMargin, right + kBlockMargin, bottom - kBlockMargin,
                              top + kBlockMargin, points);
                // A point on the right or bottom edge belongs to the next
                // block (the outermost edges belong to the last blocks).
                const bool lastCol = i == cols - 1, lastRow = j == rows - 1;
                points.erase(std::remove_if(points.begin(), points.end(),
                                            [&](const PointCloud &p) {
                                                return (p.x == right && !lastCol) || (p.y == bottom && !lastRow);
                                            }),
                             points.end());
                BlockProgress blockProgress(progress, (f + (j * cols + i) / blocks) / files, 1.0 / (blocks * files));
                C_DataManagement dm;
                const int r = dm.ErroPoints(points, &blockProgress, left, bottom, right, top);
                if (r <= 1) {
                    QFile::remove(working);
                    return outcome;
                }
                const bool written = first ? WriteLasFile(work, header, points) : AppendLas(work, header, points);
                if (!written) {
                    outcome.warn("Write LAS file failed!", working);
                    return outcome;
                }
                first = false;
            }
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
            s.tiles.bytesPerPoint = 160;
            return s;
        }(),
               runOutliers};
        t.finishedMessage = "Finished!";
        return t;
    }();
    return tool;
}

}  // namespace OutlierTool
