#include "TreeTools.h"

#include "CatalogRun.h"
#include "ChmSegment.h"
#include "InputDamage.h"
#include "LasIO.h"
#include "NormalisedHeights.h"
#include "PointSegment.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>

namespace TreeTools {

namespace {

std::string local(const QString &path) { return QFile::encodeName(path).toStdString(); }
QString fromLocal(const std::string &s) { return QFile::decodeName(QByteArray::fromStdString(s)); }
QString baseName(const QString &path) { return QFileInfo(path).fileName().section('.', 0, 0); }

// A tree's number in the crowns and points written: its top's position
// (CatalogRun::apexId) on a 32 cm grid, 16 bits a side. It does not depend
// on the tile the tree was found in, so tiles of one dataset agree on it,
// and trees less than 20 km apart never share it (the grid wraps at
// 2^16 x 0.32 m = 20.97 km).
uint32_t apexNumber(double x, double y)
{
    const uint32_t n = static_cast<uint32_t>(CatalogRun::apexId(x, y) >> 10);
    return n ? n : 0xffffffffu;  // 0 stands for no tree
}

CheckResult failure(const QString &message, bool clearOutput = false, const QString &detail = QString())
{
    CheckResult c{false, message, QString(), clearOutput, QString()};
    c.detail = detail;
    return c;
}

// Both tools write one table: an absolute path whose folder exists and
// whose name holds no forbidden character; a name without a suffix gains
// ".csv".
CheckResult checkTableOutput(const ToolSpec &spec, const ToolRequest &r)
{
    const QString output = r.output.trimmed();
    if (output.isEmpty())
        return failure(spec.outputEmptyMessage);
    const QFileInfo info(output);
    static const QRegularExpression forbidden("[\\\\/:*?\"<>|]");
    if (info.isDir())
        return failure(spec.invalidPathMessage, true, output + " is a folder");
    if (!ToolChecks::isAbsolutePlatformPath(output))
        return failure(spec.invalidPathMessage, true, output + " is not an absolute path");
    if (!info.absoluteDir().exists())
        return failure(spec.invalidPathMessage, true, info.absolutePath() + " does not exist");
    if (forbidden.match(info.completeBaseName()).hasMatch())
        return failure(spec.invalidPathMessage, true, info.fileName() + " holds a character a file name cannot hold");
    CheckResult ok;
    ok.setOutput = true;
    ok.output = info.suffix().isEmpty() ? output + ".csv" : output;
    return ok;
}

// Both tools write the one table the output names.
void tableOutput(Tool &t)
{
    t.spec.extension = ".csv";
    t.outputs = [](const ToolSpec &, const ToolRequest &r) { return QStringList{r.output}; };
    t.outputIsFolder = [](const ToolSpec &, const ToolRequest &) { return false; };
    t.outputFilter = "CSV(*.csv)";
    t.outputCaption = "OutPut Path";
}

ParamSpec height(const QString &option, const QString &label, const QString &def, const QString &word)
{
    ParamSpec p = ParamSpec::field(option, label, def);
    p.emptyMessage = word + " Tree Height is empty! Please set!";
    p.invalidMessage = word + " Tree Height is invalid!\nIt must be set between 0.5 and 150.\nRestore to default value.";
    p.limitMin = 0.5;
    p.limitMax = 150;
    return p;
}

// ---- CHM segmentation ---------------------------------------------------------------

CheckResult checkChm(const ToolSpec &spec, ToolRequest &r)
{
    const CheckResult params = ToolChecks::validateParams(spec, r);
    if (!params.ok)
        return params;
    if (r.values.value("min-height").toDouble() >= r.values.value("max-height").toDouble()) {
        r.values["min-height"] = "2";
        r.values["max-height"] = "80";
        CheckResult c = failure("The maximum tree height must be greater than the minimum tree height!\n"
                                "Restore to default value.");
        c.resetOption = "min-height,max-height";
        return c;
    }
    return checkTableOutput(spec, r);
}

ToolOutcome runChm(const ToolRequest &r, const QStringList &outs, CProcessBase *progress)
{
    ToolOutcome outcome;
    const QString table = outs.first();
    Cchm_segment seg;
    seg.inputPath = local(r.values.value("chm"));
    seg.maskPath = local(table + "masktemp.tif");
    seg.minHeight = r.values.value("min-height").toFloat();
    seg.maxHeight = r.values.value("max-height").toFloat();
    seg.rasterPath = local(table + ".tif");
    seg.shapePath = local(table + ".shp");
    seg.tablePath = local(table);
    seg.treeNumber = apexNumber;
    if (!seg.raster_input()) {
        outcome.warn("Open raster file failed!", fromLocal(seg.lastError()));
        return outcome;
    }
    if (!seg.seed_location(progress)) {
        if (progress && !progress->SetPosition(progress->fraction()))
            return outcome;  // cancelled
        outcome.warn("CHM Segmentation Failed!", fromLocal(seg.lastError()));
        return outcome;
    }
    // Only the table is kept; the crown raster, its mask and its polygons
    // were steps on the way.
    const QString shape = table + ".shp";
    const QString stem = shape.left(shape.lastIndexOf('.'));
    for (const QString &f : {table + ".tif", shape, table + "masktemp.tif", stem + ".dbf", stem + ".shx", stem + ".prj",
                             stem + ".cpg"})
        QFile::remove(f);
    if (progress) {
        progress->SetPosition(1.0);
        progress->SetMessage("CHM Segmentation Finished!");
    }
    if (seg.treeCount() == 0)
        outcome.notes << "No tree between the minimum and the maximum height was found; the table holds its header only.";
    outcome.results << table;
    outcome.completed = true;
    return outcome;
}

// ---- point cloud segmentation -------------------------------------------------------

ToolOutcome runPcs(const ToolRequest &r, const QStringList &outs, CProcessBase *progress)
{
    ToolOutcome outcome;
    if (progress) {
        progress->SetMessage("Segmenting...");
        progress->SetPosition(0.0);
    }
    std::vector<std::string> paths;
    for (const QString &in : r.inputs)
        paths.push_back(local(in));
    std::vector<VerdantaIO::LASExtent> extents;
    if (!VerdantaIO::CreateLASExtent(paths, extents)) {
        outcome.warn("Get All Las Files's Extent Error!", fromLocal(VerdantaIO::LastError()));
        return outcome;
    }
    outcome.notes << InputDamage::notes(r.inputs);
    for (size_t i = 0; i < extents.size(); ++i)
        if (!confirmNormalised(r, r.inputs[int(i)], extents[i].maxZ))
            return outcome;
    const QString table = outs.first();
    PointSegmentation::Options options;
    options.threshold = r.values.value("threshold").toDouble();
    options.maxCrownRadius = kMaxCrownRadius;
    options.treeNumber = apexNumber;
    if (!PointSegmentation::run(paths, local(table), options, progress)) {
        if (PointSegmentation::lastError() != "cancelled")
            outcome.warn("Point Cloud Segmentation Failed!", fromLocal(PointSegmentation::lastError()));
        return outcome;
    }
    const QString points = fromLocal(PointSegmentation::pointsPath(local(table), paths));
    outcome.notes << "The points with their tree numbers (treeID): " + points;
    outcome.besides << points;
    outcome.results << table;
    outcome.completed = true;
    return outcome;
}

}  // namespace

const Tool &chmSegment()
{
    static const Tool tool = [] {
        Tool t;
        ToolSpec &s = t.spec;
        s.name = "chm-segment";
        s.action = "actionCHM_Segmentation_2";
        s.menu = "Segmentation";
        s.title = "CHM Segmentation";
        s.summary = "find individual trees in a canopy height model (marker-controlled watershed)";
        s.help = "<h3>CHM Segmentation</h3><p>Finds individual trees in a canopy height model by watershed "
                 "segmentation. The CHM is smoothed (3 x 3 Gaussian); its local maxima, found in a window that "
                 "widens with height, mark the tree tops, and tops below the minimum or above the maximum tree "
                 "height are dropped.</p><p>From these markers the crowns grow over the inverted CHM down to "
                 "the minima between trees, and each crown ends below half of its top height. The table gives "
                 "each tree's position and height and its crown's diameter, area and volume.</p>"
                 "<p><img src=\":/res/chmsegement.png\"></p>";
        s.lasInputs = false;
        s.positionalParam = "chm";
        s.noInputMessage = "Please add CHM File!";
        ParamSpec chm;
        chm.option = "chm";
        chm.label = "Input CHM";
        chm.kind = ParamSpec::Raster;
        chm.widgetName = "CHM_comboBox";
        chm.emptyMessage = "Please add CHM File!";
        chm.fileCaption = "Open File";
        chm.fileFilter = "TIFF(*.tif)";
        s.params = {chm, height("max-height", "Maximum tree height(m)", "80", "Maximum"),
                    height("min-height", "Minimum tree height(m)", "2", "Minimum")};
        // Tiles: a crown whose top lies in the window must be whole in the
        // read region, and so must the crowns next to it that bound it: two
        // crowns of the largest radius PCS sweeps, 2 x 10 m.
        s.tiles.buffer = 2 * kMaxCrownRadius;
        s.tiles.bytesPerPoint = 32;  // per CHM cell: the CHM, its smoothing, drains, labels, outlines
        t.run = runChm;
        t.check = checkChm;
        tableOutput(t);
        t.defaultOutput = [](const ToolSpec &, const ToolRequest &r) {
            const QString chm = r.values.value("chm");
            return chm.isEmpty() ? QString()
                                 : ToolChecks::joinPath(QFileInfo(chm).absolutePath(), baseName(chm) + "_OutPut.csv");
        };
        return t;
    }();
    return tool;
}

const Tool &pointCloudSegment()
{
    static const Tool tool = [] {
        Tool t;
        ToolSpec &s = t.spec;
        s.name = "pcs";
        s.action = "actionPoint_Cloud_Segmentation_2";
        s.menu = "Segmentation";
        s.title = "Point Cloud Segmentation";
        s.summary = "segment individual trees in normalised point clouds (PCS)";
        s.help = "<h3>Point Cloud Segmentation</h3><p>Segments individual trees directly on the point cloud with "
                 "the PCS algorithm, which avoids the errors of CHM interpolation: trees are segmented one after "
                 "another from the highest point to the lowest, a point joining the current tree when it lies "
                 "within the spacing threshold (default distance threshold 2.0 m) and nearer to that tree than to "
                 "any other. Points below 2 m are ignored.</p><p>The input heights must first be normalised "
                 "(see the LAS normalisation tool). Beside the table, the points are written with their tree "
                 "number as the extra attribute treeID.</p>";
        s.noInputMessage = "Please add Las File!";
        s.suffix = "_PCS.csv";
        ParamSpec threshold;
        threshold.option = "threshold";
        threshold.label = "Spacing Threshold(m)";
        threshold.defaultValue = "2.0";
        threshold.emptyMessage = "Distance Threshold is empty! Please set!";
        threshold.invalidMessage = "Distance Threshold is invalid!\nIt must be set between 0 and 2.\nRestore to default value.";
        threshold.limitMin = 0;
        threshold.limitMinOpen = true;
        threshold.limitMax = 2;
        s.params = {threshold};
        // Tiles: the points of a tree whose top lies in the window lie
        // within the 10 m swept round its top, and the points that decide
        // theirs within another 10 m.
        s.tiles.buffer = 2 * kMaxCrownRadius;
        s.tiles.bytesPerPoint = 200;
        t.run = runPcs;
        t.check = [](const ToolSpec &spec, ToolRequest &r) {
            const CheckResult params = ToolChecks::validateParams(spec, r);
            return params.ok ? checkTableOutput(spec, r) : params;
        };
        tableOutput(t);
        t.defaultOutput = [](const ToolSpec &spec, const ToolRequest &r) {
            if (r.inputs.size() <= 1)
                return ToolChecks::defaultOutput(spec, r.inputs);
            return ToolChecks::joinPath(QFileInfo(r.inputs.last()).absolutePath(), "PCS.csv");
        };
        t.combinesInputs = [](const ToolRequest &r) { return r.inputs.size() > 1; };
        return t;
    }();
    return tool;
}

}  // namespace TreeTools
