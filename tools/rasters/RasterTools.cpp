#include "RasterTools.h"

#include "DataInterpolation.h"
#include "DataManagement.h"
#include "Hillshade.h"
#include "InputDamage.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>

#include <cmath>

namespace RasterTools {

namespace {

// The farthest a DEM or DSM window reads around itself (m).
constexpr double kTileSearchCap = 25.0;

std::string local(const QString &path) { return QFile::encodeName(path).toStdString(); }
QString baseName(const QString &path) { return QFileInfo(path).fileName().section('.', 0, 0); }

// The two models differ in these few things only.
struct Model {
    QString title;       // "Generating DEM"
    QString suffix;      // "_GenerateDEM"
    bool ground;         // DEM: ground points; DSM: the surface
};
const Model kDem{"Generating DEM", "_GenerateDEM", true};
const Model kDsm{"Generating DSM", "_GenerateDSM", false};

bool merging(const ToolRequest &r) { return r.values.value("merge") == "1"; }
bool singleOutput(const ToolRequest &r) { return r.inputs.size() == 1 || merging(r); }

// The folder part of an output text ("dir/name.tif" or "dir/").
QString folderOf(const QString &output)
{
    if (output.endsWith('/') || output.endsWith('\\'))
        return QDir::cleanPath(QDir(output).absolutePath());
    return QFileInfo(output).absolutePath();
}
QString baseOf(const QString &output)
{
    if (output.endsWith('/') || output.endsWith('\\'))
        return QString();
    return QFileInfo(output).completeBaseName();
}

QString defaultOutput(const Model &m, const ToolRequest &r)
{
    if (r.inputs.isEmpty())
        return QString();
    const QString first = r.inputs.first();
    const QString folder = QFileInfo(first).absolutePath();
    if (singleOutput(r))
        return ToolChecks::joinPath(folder, baseName(first) + m.suffix + ".tif");
    return ToolChecks::joinPath(folder, QString());
}

CheckResult check(const Model &m, const ToolSpec &spec, ToolRequest &r)
{
    auto fail = [](const QString &message, bool clearOutput = false, const QString &reset = QString()) {
        CheckResult c{false, message, reset, clearOutput, QString()};
        return c;
    };
    const QString invalid = "Output Path is invalid! Please reset!";
    // Inputs, XSize, YSize and P, then the output's presence.
    const CheckResult c = ToolChecks::validateParams(spec, r);
    if (!c.ok)
        return c;
    if (r.output.trimmed().isEmpty())
        return fail(spec.outputEmptyMessage);
    const QString output = r.output.trimmed();
    const QString folder = folderOf(output);
    // The DSM checks the output's folder before the consistency of inputs and merge.
    if (!m.ground && !QDir(folder).exists())
        return fail(invalid);
    const QString base = baseOf(output);
    const int n = r.inputs.size();
    const bool merge = merging(r);
    if ((n > 1 && !base.isEmpty() && !merge) || (n > 1 && base.isEmpty() && merge) || (n == 1 && base.isEmpty()))
        return fail("Output Path is invalid!\nLas Files and merge are changed!\nPlease reset!", true);
    if (folder.isEmpty() || !QDir(folder).exists() || !ToolChecks::isAbsolutePlatformPath(output))
        return fail(invalid, true);
    static const QRegularExpression forbidden("[\\\\/:*?\"<>|]");
    if (forbidden.match(base).hasMatch())
        return fail(invalid, true);
    // Normalisation of the output text.
    CheckResult ok;
    ok.setOutput = true;
    if (singleOutput(r)) {
        const QString b = base.isEmpty() ? baseName(r.inputs.first()) + m.suffix : base;
        ok.output = ToolChecks::joinPath(folder, b + ".tif");
    } else {
        ok.output = ToolChecks::joinPath(folder, QString());
    }
    if (m.ground && !QDir(folderOf(ok.output)).exists())
        return fail("Please reset the output file!", true);
    return ok;
}

QStringList outputs(const Model &m, const ToolRequest &r)
{
    // Merged, or a single input: the output chosen (so "-o A_dem.tif" is
    // honoured); several inputs: one raster per input, named after it.
    if (singleOutput(r))
        return {r.output};
    QStringList list;
    const QString folder = folderOf(r.output);
    for (const QString &in : r.inputs)
        list << ToolChecks::joinPath(folder, baseName(in) + m.suffix + ".tif");
    return list;
}

QString noPointsMessage(const Model &m, const std::vector<std::string> &files)
{
    QString text;
    for (const std::string &f : files) {
        const QString path = QFile::decodeName(QByteArray::fromStdString(f));
        text += m.ground ? "The file " + path + " holds no ground points (class 2). Classify the ground first "
                                                "(Tools > Filtering).\n"
                         : "The file " + path + " holds no first returns to build a surface from.\n";
    }
    return text.trimmed();
}

ToolOutcome run(const Model &m, const ToolRequest &r, const QStringList &outs, CProcessBase *progress)
{
    ToolOutcome outcome;
    const bool idw = r.values.value("method").trimmed() != "Kriging";
    const double xSize = r.values.value("xsize").toDouble(), ySize = r.values.value("ysize").toDouble();
    auto configured = [&] {
        C_DataInterpolation lib;
        if (idw)
            lib.power = r.values.value("power").toDouble();
        lib.cellSizeX = xSize;
        lib.cellSizeY = ySize;
        lib.selectorCode = m.ground ? 2 : 6;
        lib.flagA = m.ground;
        lib.flagB = !m.ground;
        return lib;
    };
    outcome.notes << InputDamage::notes(r.inputs);
    auto call = [&](C_DataInterpolation &lib, const std::vector<std::string> &paths, const QString &out) {
        float v = 0;
        if (r.points) {  // a window of a dataset, read into memory
            const C_DataInterpolation::PointsInMemory held{&r.points->header, &r.points->points, paths.front()};
            v = idw ? lib.IDW(held, local(out), xSize * 300, progress)
                    : lib.KrigingInterpolation(held, local(out), xSize * 300, 150.0f, progress);
        } else {
            v = idw ? lib.IDW(paths, local(out), xSize * 300, progress)
                    : lib.KrigingInterpolation(paths, local(out), xSize * 300, 150.0f, progress);
        }
        outcome.notes << InputDamage::fromLibrary(lib.notes);
        return v;
    };
    auto tooLarge = [](float v) { return std::fabs(v - C_DataInterpolation::kGridTooLarge) < 1e-6f; };
    if (merging(r)) {
        if (progress) {
            progress->SetStageCount(1);
            if (!m.ground && idw)
                progress->SetMessage("Processing...");
        }
        std::vector<std::string> paths;
        for (const QString &in : r.inputs)
            paths.push_back(local(in));
        C_DataInterpolation lib = configured();
        const float v = call(lib, paths, outs.first());
        if (v >= 1.0f - 1e-6f) {
            outcome.warn("The " + QString::number(v) + "th file can't been opened!",
                         InputDamage::firstRefusal(r.inputs));
        } else if (tooLarge(v)) {
            outcome.warn(QString::fromStdString(lib.lastError()));
        } else if (v <= 0.1f + 1e-5f) {
            outcome.warn("The .tif file is created failed!", outs.first());
        } else if (!lib.emptyInputs.empty() && std::fabs(v - C_DataInterpolation::kNoPoints) < 1e-6f) {
            outcome.warnings << noPointsMessage(m, lib.emptyInputs);
        } else if (v > 0.3f + 1e-6f) {
            outcome.results << outs.first();
            if (progress)
                progress->SetPosition(1.0);
            outcome.completed = true;
        }
        return outcome;
    }
    const int n = r.inputs.size();
    if (progress)
        progress->SetStageCount(n);
    for (int i = 0; i < n; ++i) {
        C_DataInterpolation lib = configured();
        const float v = call(lib, {local(r.inputs[i])}, outs[i]);
        if (progress)
            progress->SetStageOffset(progress->fraction());
        const QString nth = QString::number(i + 1) + "th";
        if (v >= 1.0f - 1e-6f) {
            outcome.warn(idw ? QString("Open LAS file failed!") : "The " + nth + " file can't been opened!",
                         InputDamage::firstRefusal({r.inputs[i]}));
            return outcome;
        }
        if (tooLarge(v)) {
            outcome.warn(QString::fromStdString(lib.lastError()));
            return outcome;
        }
        if (v <= 0.1f + 1e-6f) {
            outcome.warn((m.ground && idw) ? "The" + nth + " .tif file is created failed!"
                                           : "The " + nth + " .tif file is created failed!",
                         outs[i]);
            return outcome;
        }
        if (!lib.emptyInputs.empty() && std::fabs(v - C_DataInterpolation::kNoPoints) < 1e-6f) {
            outcome.warnings << noPointsMessage(m, lib.emptyInputs);
            return outcome;
        }
        if (v <= 0.3f + 1e-6f)
            return outcome;  // cancelled
        outcome.results << outs[i];
    }
    if (progress)
        progress->SetPosition(1.0);
    outcome.completed = true;
    return outcome;
}

Tool makeTool(const Model &m)
{
    ToolSpec s;
    s.name = m.ground ? "dem" : "dsm";
    s.action = m.ground ? "actionDEM" : "actionDSM";
    s.menu = "Models > Generating Digital Models";
    s.title = m.title;
    s.summary = m.ground ? "grid the ground points into a DEM (IDW or kriging)"
                         : "grid the highest first returns into a DSM (IDW or kriging)";
    s.help = m.ground
                 ? "<h3>Generating DEM</h3><p>Interpolates the ground points (class 2) into a GeoTIFF elevation "
                   "model: IDW over the nearest points with weights 1/d<sup>P</sup>, or ordinary kriging with a "
                   "variogram fitted to the data. Cells farther than 300 cells from every ground point are "
                   "no-data. Classify the ground first.</p>"
                 : "<h3>Generating DSM</h3><p>Interpolates the surface, the highest first return in each cell, "
                   "into a GeoTIFF surface model by IDW or ordinary kriging.</p>";
    s.suffix = m.suffix + ".tif";
    s.extension = ".tif";
    ParamSpec x = ParamSpec::field("xsize", "XSize(m)", "2.0", "XSize");
    x.emptyMessage = "XSize is empty! Please set!";
    x.invalidMessage = "The XSize is invalid!It must be set greater than 0.Restore to default value.";
    ParamSpec y = ParamSpec::field("ysize", "YSize(m)", "2.0", "YSize");
    y.emptyMessage = "YSize is empty! Please set!";
    y.invalidMessage = "The YSize is invalid!\nIt must be set greater than 0.\nRestore to default value.";
    ParamSpec method;
    method.option = "method";
    method.label = "Interpolation Method ";
    method.kind = ParamSpec::Choice;
    method.items = QStringList{"IDW", "Kriging"};
    method.widgetName = "Type";
    method.defaultValue = "IDW";
    ParamSpec p = ParamSpec::field("power", "P", "2.0", "P");
    p.emptyMessage = "P is empty! Please set!";
    p.invalidMessage = "P is invalid!\nIt must be set greater than or equal to 0.\nRestore to default value.";
    p.allowZero = true;
    p.hiddenWhenOption = "method";
    p.hiddenWhenValue = "Kriging";
    ParamSpec merge;
    merge.option = "merge";
    merge.label = "Merge files into one";
    merge.kind = ParamSpec::Flag;
    merge.widgetName = "Merge";
    merge.defaultValue = "0";
    s.params = {x, y, method, p, merge};
    // A cell takes its nearest points within the search radius (300 cells):
    // a window reads them up to 25 m around it, far more than the nearest
    // neighbours lie apart anywhere but under large buildings or water,
    // and one cell more so that its edge cells are whole.
    s.tiles.bufferOption = "xsize";
    s.tiles.bufferFactor = 300;
    s.tiles.bufferCap = kTileSearchCap;
    s.tiles.bufferCells = 1;
    s.tiles.cellOption = "xsize";
    s.tiles.cellOptionY = "ysize";
    // Per point read: a kept point in memory (64 bytes) and its sample (24),
    // for the ground at most about 60 % of the points, the first returns
    // about 80 %; measured: 602 MB for the 15 million points of a 1500 m
    // tile of the generated area.
    s.tiles.bytesPerPoint = m.ground ? 55 : 70;
    s.tiles.readsPoints = true;
    // The library's selection: the ground points, or the first returns.
    if (m.ground)
        s.tiles.keeps = [](const VerdantaIO::PointCloud &p) { return p.classification == 2; };
    else
        s.tiles.keeps = [](const VerdantaIO::PointCloud &p) { return p.returnNumber <= 1; };

    Tool t;
    t.spec = s;
    t.run = [m](const ToolRequest &r, const QStringList &o, CProcessBase *pr) { return run(m, r, o, pr); };
    t.check = [m](const ToolSpec &spec, ToolRequest &r) { return check(m, spec, r); };
    t.outputs = [m](const ToolSpec &, const ToolRequest &r) { return outputs(m, r); };
    t.defaultOutput = [m](const ToolSpec &, const ToolRequest &r) { return defaultOutput(m, r); };
    t.outputIsFolder = [](const ToolSpec &, const ToolRequest &r) { return !singleOutput(r); };
    t.outputFilter = "TIFF(*.tif)";
    t.clearOutputOnDelete = true;
    if (m.ground)
        t.confirmation = "Has the LAS data been classified?";
    t.combinesInputs = [](const ToolRequest &r) { return merging(r) && r.inputs.size() > 1; };
    return t;
}

}  // namespace

const Tool &dem()
{
    static const Tool tool = makeTool(kDem);
    return tool;
}

const Tool &dsm()
{
    static const Tool tool = makeTool(kDsm);
    return tool;
}

// ---- CHM ------------------------------------------------------------------------

namespace {

CheckResult checkChm(const ToolSpec &spec, ToolRequest &r)
{
    const CheckResult params = ToolChecks::validateParams(spec, r);
    if (!params.ok)
        return params;
    const QString output = r.output.trimmed();
    if (output.isEmpty())
        return CheckResult{false, "Output CHM is empty! Please set!", QString(), false, QString()};
    const QString folder = QFileInfo(output).absolutePath();
    const QString base = QFileInfo(output).completeBaseName();
    static const QRegularExpression forbidden("[\\\\/:*?\"<>|]");
    if (folder.isEmpty() || !QDir(folder).exists() || !ToolChecks::isAbsolutePlatformPath(output) ||
        forbidden.match(base).hasMatch())
        return CheckResult{false, spec.invalidPathMessage, QString(), true, QString()};
    CheckResult ok;
    ok.setOutput = true;
    const QString b = base.isEmpty() ? baseName(r.values.value("dsm")) + "_GenerateCHM" : base;
    ok.output = ToolChecks::joinPath(folder, b + ".tif");
    return ok;
}

ToolOutcome runChm(const ToolRequest &r, const QStringList &outs, CProcessBase *progress)
{
    ToolOutcome outcome;
    if (progress) {
        if (!progress->SetPosition(0.0))
            return outcome;
        progress->SetMessage("Processing......");
    }
    std::vector<std::string> dsms{local(r.values.value("dsm"))};
    C_DataManagement dm;
    const int status = dm.MakeCHM(local(r.values.value("dem")), dsms, local(outs.first()), progress);
    switch (status) {
    case C_DataManagement::kChmDsmFailed: outcome.warn("DSM open failed!", r.values.value("dsm")); return outcome;
    case C_DataManagement::kChmMismatch: outcome.warnings << "DSM and DEM aren't match!"; return outcome;
    case C_DataManagement::kChmCreateFailed: outcome.warnings << "Create CHM file failed!"; return outcome;
    case C_DataManagement::kChmCancelled: return outcome;
    default: break;
    }
    if (status <= C_DataManagement::kChmDemFailed) {
        outcome.warn("DEM open failed!", r.values.value("dem"));
        return outcome;
    }
    if (progress)
        progress->SetPosition(1.0);
    outcome.results << outs.first();
    outcome.completed = true;
    return outcome;
}

ParamSpec rasterParam(const QString &option, const QString &label, const QString &empty)
{
    ParamSpec p = ParamSpec::field(option, label, QString(), QString(), ParamSpec::Raster);
    p.widgetName = option.toUpper() + "_comboBox";
    p.emptyMessage = empty;
    p.fileCaption = "Open File";
    p.fileFilter = "TIFF(*.tif)";
    return p;
}

// ---- hillshade ---------------------------------------------------------------------

ToolOutcome runHillshade(const ToolRequest &r, const QStringList &outs, CProcessBase *)
{
    ToolOutcome outcome;
    HillshadeParameters p;
    p.azimuth = r.values.value("azimuth").toFloat();
    p.elevation = r.values.value("elevation").toFloat();
    p.terrainScale = r.values.value("scale").toFloat();
    // A failure raises no message box in the dialog; it is noted in the
    // Output dock (and on the command line), and nothing is claimed.
    std::string error;
    if (!computeHillshade(local(r.values.value("dem")), local(outs.first()), p, &error) ||
        !QFileInfo::exists(outs.first())) {
        outcome.notes << "The hillshade " + outs.first() + " was not written: " +
                             QString::fromStdString(error.empty() ? "the DEM could not be read" : error) + " (" +
                             r.values.value("dem") + ")";
        return outcome;
    }
    outcome.results << outs.first();
    outcome.completed = true;
    return outcome;
}

// ---- LAS to raster ------------------------------------------------------------------

int attributeCode(const QString &item)
{
    static const QStringList items = {"Z", "Intensity", "Scan angle", "number of return",
                                      "number of returns of given pulse"};
    static const int codes[] = {3, 0, 4, 2, 1};
    const int i = items.indexOf(item);
    return i < 0 ? 3 : codes[i];
}

ToolOutcome runLasToRaster(const ToolRequest &r, const QStringList &outs, CProcessBase *progress)
{
    ToolOutcome outcome;
    const double x = r.values.value("xsize").toDouble(), y = r.values.value("ysize").toDouble();
    const int code = attributeCode(r.values.value("attribute"));
    if (progress) {
        progress->SetPosition(0.0);
        progress->SetMessage("Processing...");
    }
    outcome.notes << InputDamage::notes(r.inputs);
    auto call = [&](std::vector<std::string> paths, const QString &out) {
        C_DataManagement dm;
        const int status = dm.LasRastersize(true, paths, local(out), x, y, code, progress);
        outcome.notes << InputDamage::fromLibrary(dm.notes());
        QStringList inputs;
        for (const std::string &p : paths)
            inputs << QFile::decodeName(QByteArray::fromStdString(p));
        if (status > 0)
            outcome.warn("Open LAS file failed!", InputDamage::firstRefusal(inputs));
        else if (status == C_DataManagement::kRasterTooLarge)
            outcome.warn(QString::fromStdString(dm.lastError()));
        else if (status == C_DataManagement::kRasterCreateFailed)
            outcome.warn("Create" + out + " Failed!");
        else if (status == C_DataManagement::kRasterDataError)
            outcome.warnings << "LAS data erro!";
        else if (status != C_DataManagement::kRasterCancelled)
            return true;
        return false;
    };
    if (merging(r)) {
        if (progress)
            progress->SetStageCount(1);
        std::vector<std::string> paths;
        for (const QString &in : r.inputs)
            paths.push_back(local(in));
        if (!call(paths, outs.first()))
            return outcome;
        outcome.results << outs.first();
    } else {
        if (progress)
            progress->SetStageCount(r.inputs.size());
        for (int i = 0; i < r.inputs.size(); ++i) {
            if (!call({local(r.inputs[i])}, outs[i]))
                return outcome;
            outcome.results << outs[i];
            if (progress)
                progress->SetStageOffset(progress->fraction());
        }
    }
    if (progress)
        progress->SetPosition(1.0);
    outcome.completed = true;
    return outcome;
}

const Model kLasToRaster{"LasToRaster", "_LasToRaster", true};

}  // namespace

const Tool &chm()
{
    static const Tool tool = [] {
        Tool t;
        ToolSpec &s = t.spec;
        s.name = "chm";
        s.action = "actionCHM";
        s.menu = "Models > Generating Digital Models";
        s.title = "Generating CHM";
        s.summary = "the canopy height model DSM - DEM";
        s.help = "<h3>Generating CHM</h3><p>Subtracts a DEM from a DSM of the same size and resolution. Cells "
                 "where either raster has no value are no-data; negative heights become 0.</p>";
        s.tiles.bytesPerPoint = 16;  // per cell: cell by cell, no buffer
        s.lasInputs = false;
        s.extension = ".tif";
        s.params = {rasterParam("dsm", "Input DSM", "Please add DSM File!"),
                    rasterParam("dem", "Input DEM", "Please add DEM File!")};
        t.run = runChm;
        t.check = checkChm;
        t.outputs = [](const ToolSpec &, const ToolRequest &r) { return QStringList{r.output}; };
        t.defaultOutput = [](const ToolSpec &, const ToolRequest &r) {
            const QString dsm = r.values.value("dsm").isEmpty() ? r.values.value("dem") : r.values.value("dsm");
            if (dsm.isEmpty())
                return QString();
            return ToolChecks::joinPath(QFileInfo(dsm).absolutePath(), baseName(dsm) + "_GenerateCHM.tif");
        };
        t.outputIsFolder = [](const ToolSpec &, const ToolRequest &) { return false; };
        t.outputFilter = "TIFF(*.tif)";
        return t;
    }();
    return tool;
}

const Tool &hillshade()
{
    static const Tool tool = [] {
        Tool t;
        ToolSpec &s = t.spec;
        s.name = "hillshade";
        s.action = "actionGenerate_HillShade";
        s.menu = "Tools";
        s.title = "HillShade";
        s.summary = "shade a DEM under a light source";
        s.help = "<h3>HillShade</h3><p>Shades a DEM with Horn's method under a light source given by its "
                 "azimuth and elevation angle; the terrain scale exaggerates the relief.</p>";
        s.tiles.bufferCells = 1;  // the slope of a cell takes its eight neighbours
        s.tiles.bytesPerPoint = 16;
        s.lasInputs = false;
        s.positionalParam = "dem";
        s.extension = ".tif";
        ParamSpec dem = rasterParam("dem", "DEM File", QString());
        dem.widgetName = "CHM_comboBox";
        auto number = [](const QString &option, const QString &label, const QString &def, const QString &widget,
                         double lo, double hi, const QString &message) {
            ParamSpec p = ParamSpec::field(option, label, def, widget);
            p.rangeMin = lo;
            p.rangeMax = hi;
            p.rangeMessage = message;
            return p;
        };
        s.params = {dem,
                    number("azimuth", "Solar Azimuth(Degree)", "315", "Azimuth_LE", 0, 360,
                           "Please Reset Sloar Azimuth in the range of 0 to 360"),
                    number("elevation", "Solar Elevation Angle(Degree)", "45", "ElevationAngle_LE", 0, 90,
                           "Please Reset Sloar elevation angle in the range of 0 to 90"),
                    number("scale", "Terrain Scale", "1.0", "TerrainScale_LE", 0, 100,
                           "Please Reset Terrain Scale in the range of 0 to 100")};
        t.run = runHillshade;
        // No DEM or no output: the run ends silently.
        t.check = [](const ToolSpec &, ToolRequest &r) {
            CheckResult c;
            c.ok = !r.output.trimmed().isEmpty() && !r.values.value("dem").isEmpty();
            return c;
        };
        t.outputs = [](const ToolSpec &, const ToolRequest &r) { return QStringList{r.output.trimmed()}; };
        t.defaultOutput = [](const ToolSpec &, const ToolRequest &r) {
            const QString dem = r.values.value("dem");
            return dem.isEmpty() ? QString()
                                 : ToolChecks::joinPath(QFileInfo(dem).absolutePath(), baseName(dem) + "_HillShade.tif");
        };
        t.outputIsFolder = [](const ToolSpec &, const ToolRequest &) { return false; };
        t.outputFilter = "*.tif";
        t.outputCaption = "Save Directory";
        return t;
    }();
    return tool;
}

const Tool &lasToRaster()
{
    static const Tool tool = [] {
        Tool t = makeTool(kLasToRaster);
        ToolSpec &s = t.spec;
        s.name = "las2raster";
        s.action = "actionLasToRaster";
        s.menu = "Tools > Conversion";
        s.title = "LasToRaster";
        s.summary = "rasterise a point attribute (Z, intensity, scan angle, returns)";
        s.help = "<h3>LasToRaster</h3><p>Rasterises one attribute of the points: Z as the highest point of a "
                 "cell, intensity as the mean, scan angle as the mean absolute angle, return number and number "
                 "of returns as the maximum. Empty cells are no-data.</p>";
        s.suffix = "_LasToRaster.tif";
        ParamSpec attribute;
        attribute.option = "attribute";
        attribute.label = "Attribute";
        attribute.kind = ParamSpec::Choice;
        attribute.items = QStringList{"Z", "Intensity", "Scan angle", "number of return",
                                      "number of returns of given pulse"};
        attribute.widgetName = "Type";
        attribute.defaultValue = "Z";
        QVector<ParamSpec> params;
        for (const ParamSpec &p : s.params) {
            if (p.option == "method" || p.option == "power")
                continue;
            ParamSpec q = p;
            if (q.option == "xsize" || q.option == "ysize") {
                const QString axis = q.option == "xsize" ? "XSize" : "YSize";
                q.invalidMessage = axis + " is invalid!\nIt must be greater than 0.\nRestore to default value.";
                q.resetValue = "10.0";
            }
            params << q;
            if (q.option == "ysize")
                params << attribute;
        }
        s.params = params;
        // Per cell: no search radius, only the cells cut by the window's edge.
        s.tiles.bufferFactor = 0;
        s.tiles.bufferOption.clear();
        s.tiles.bufferCap = -1;
        t.run = runLasToRaster;
        t.confirmation.clear();
        return t;
    }();
    return tool;
}

}  // namespace RasterTools
