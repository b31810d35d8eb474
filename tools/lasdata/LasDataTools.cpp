#include "LasDataTools.h"

#include "DataManagement.h"
#include "InputDamage.h"
#include "LasIO.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <cmath>

namespace LasDataTools {

namespace {

std::string local(const QString &path) { return QFile::encodeName(path).toStdString(); }
QString fromLocal(const std::string &path) { return QFile::decodeName(QByteArray::fromStdString(path)); }

ToolOutcome runMerge(const ToolRequest &request, const QStringList &outputs, CProcessBase *progress)
{
    ToolOutcome outcome;
    std::vector<std::string> inputs;
    for (const QString &in : request.inputs)
        inputs.push_back(local(in));
    C_DataManagement dm;
    outcome.notes << InputDamage::notes(request.inputs);
    const float r = dm.LasMerge(inputs, local(outputs.first()), progress);
    if (r >= 1.0f) {
        outcome.warn("Open LAS file failed!", InputDamage::firstRefusal(request.inputs));
    } else if (std::fabs(r - 0.1f) < 1e-6f) {
        outcome.warn("Create the merge file failed!", outputs.first());
    } else if (r > 0.5f + 1e-6f) {
        if (progress)
            progress->SetPosition(1.0);
        outcome.results << outputs.first();
        outcome.completed = true;
    }
    return outcome;
}

ToolOutcome runTile(const ToolRequest &request, const QStringList &outputs, CProcessBase *progress)
{
    ToolOutcome outcome;
    const double width = request.values.value("width").toDouble();
    const double height = request.values.value("height").toDouble();
    QDir().mkpath(outputs.first());
    for (const QString &input : request.inputs) {
        VerdantaIO::CLASIO las;
        if (!las.LoadFile(local(input))) {
            outcome.warn("Open LAS file failed!", input + ": " + QString::fromLocal8Bit(las.lastError().c_str()));
            return outcome;
        }
        outcome.notes << InputDamage::remarks(input, las.warnings());
        if (las.header.numberOfPointRecords == 0) {
            // Nothing to cut: say why rather than end with no tile.
            const QString why = las.warnings().empty() ? QString("the header declares 0 point records")
                                                       : QString::fromLocal8Bit(las.warnings().front().c_str());
            outcome.warn("No point is found!", input + ": " + why);
            return outcome;
        }
        C_DataManagement dm;
        std::vector<std::string> tiles;
        if (!dm.LasTile(local(input), local(outputs.first()), width, height, progress, tiles)) {
            if (!dm.lastError().empty())
                outcome.warn("Write LAS file failed!", QString::fromStdString(dm.lastError()));
            return outcome;
        }
        for (const std::string &t : tiles)
            outcome.results << fromLocal(t);
    }
    outcome.completed = true;
    return outcome;
}

ToolOutcome runNormalize(const ToolRequest &request, const QStringList &outputs, CProcessBase *progress)
{
    ToolOutcome outcome;
    const std::string dem = local(request.values.value("dem"));
    if (request.inputs.size() > 1)
        QDir().mkpath(QFileInfo(outputs.first()).absolutePath());
    QStringList unreadable, outside;
    const int n = request.inputs.size();
    if (progress)
        progress->SetStageCount(n);
    for (int i = 0; i < n; ++i) {
        if (progress)
            progress->SetStageOffset(double(i) / n);
        const QString input = request.inputs[i];
        VerdantaIO::CLASIO las;
        if (!las.LoadFile(local(input))) {
            outcome.warn("Open LAS file failed!", input + ": " + QString::fromLocal8Bit(las.lastError().c_str()));
            return outcome;
        }
        outcome.notes << InputDamage::remarks(input, las.warnings());
        C_DataManagement dm;
        const float r = dm.LasheighNormalization(local(input), dem, local(outputs[i]), progress);
        if (std::fabs(r - C_DataManagement::kNormDemFailed) < 1e-6f) {
            outcome.warn("Read DEM file failed!", request.values.value("dem"));
            return outcome;
        }
        if (std::fabs(r - C_DataManagement::kNormLasFailed) < 1e-6f) {
            unreadable << input;
        } else if (std::fabs(r - C_DataManagement::kNormOutsideDem) < 1e-6f) {
            outside << input;
        } else if (r > 0.4f + 1e-8f) {
            outcome.results << outputs[i];
        } else if (std::fabs(r - C_DataManagement::kNormWriteFailed) < 1e-6f) {
            outcome.warn("Write LAS file failed!", outputs[i]);
            return outcome;
        } else {
            return outcome;  // cancelled
        }
    }
    if (!unreadable.isEmpty() || !outside.isEmpty()) {
        QString text;
        for (const QString &p : unreadable)
            text += "Open " + p + " failed!\n";
        for (const QString &p : outside)
            text += "The " + p + " file don't match DEM file!\n";
        outcome.warnings << text;
    }
    outcome.completed = !outcome.results.isEmpty();
    return outcome;
}

}  // namespace

const Tool &merge()
{
    static const Tool tool = [] {
        Tool t{[] {
            ToolSpec s;
            s.name = "merge";
            s.action = "actionLAS_Merge";
            s.menu = "Tools > Data Management";
            s.title = "LasMerge";
            s.summary = "join LAS files into one";
            s.help = "<h3>LasMerge</h3><p>Joins LAS files into one file. Files of different versions, point "
                     "formats, scales and offsets are merged without losing a point or an attribute: the output "
                     "keeps every attribute any input has, and the finest scale of the inputs.</p>";
            s.suffix = "_Merge.las";
            s.output = OutputKind::File;
            s.tiles.bytesPerPoint = 140;  // point by point: no buffer
            return s;
        }(),
               runMerge};
        t.combinesInputs = [](const ToolRequest &) { return true; };
        return t;
    }();
    return tool;
}

const Tool &tile()
{
    static const Tool tool{
        [] {
            ToolSpec s;
            s.name = "tile";
            s.action = "actionTile";
            s.menu = "Tools > Data Management";
            s.title = "LasTile";
            s.summary = "cut a LAS file into rectangular tiles";
            s.help = "<h3>LasTile</h3><p>Cuts a LAS file into tiles aligned on multiples of the tile width and "
                     "height, named after their lower-left corners. A point on a tile edge goes to exactly one "
                     "tile.</p>";
            s.suffix = "";
            s.output = OutputKind::Folder;
            s.tiles.bytesPerPoint = 140;  // point by point: no buffer
            s.folderMissingMessage.clear();
            ParamSpec width;
            width.option = "width";
            width.label = "Width(m)";
            width.defaultValue = "500.0";
            width.emptyMessage = "Width is empty! Please set!";
            width.invalidMessage = "Width is invalid!\nIt must be greater than 0.\nRestore to default value.";
            ParamSpec height = width;
            height.option = "height";
            height.label = "Height(m)";
            height.emptyMessage = "Height is empty! Please set!";
            height.invalidMessage = "Height is invalid!\nIt must be greater than 0.\nRestore to default value.";
            s.params = {width, height};
            return s;
        }(),
        runTile};
    return tool;
}

const Tool &normalize()
{
    static const Tool tool{
        [] {
            ToolSpec s;
            s.name = "normalize";
            s.action = "actionNormalization";
            s.menu = "Tools > Data Management";
            s.title = "LasNormalization";
            s.summary = "turn elevations into heights above a DEM";
            s.help = "<h3>LasNormalization</h3><p>Subtracts the ground elevation of a DEM, interpolated "
                     "bilinearly at each point, from the point's elevation. Points over DEM no-data cells use "
                     "the nearest valid DEM value.</p>";
            s.suffix = "_Normalization.las";
            s.output = OutputKind::FilePerInput;
            s.tiles.bytesPerPoint = 140;  // point by point against the DEM: no buffer
            s.folderMissingMessage.clear();
            ParamSpec dem;
            dem.option = "dem";
            dem.label = "Input DEM";
            dem.kind = ParamSpec::File;
            dem.emptyMessage = "Please add DEM File!";
            dem.fileCaption = "Open File";
            dem.fileFilter = "TIFF(*.tif)";
            s.params = {dem};
            return s;
        }(),
        runNormalize};
    return tool;
}

}  // namespace LasDataTools
