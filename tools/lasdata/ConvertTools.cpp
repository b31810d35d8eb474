#include "ConvertTools.h"

#include "DataManagement.h"
#include "LasExport.h"
#include "LasIO.h"
#include "ShpIO.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

namespace ConvertTools {

namespace {

std::string local(const QString &path) { return QFile::encodeName(path).toStdString(); }

// The attributes of the exports, in the order of the field string.
ParamSpec attributes()
{
    ParamSpec p;
    p.kind = ParamSpec::Set;
    p.option = "fields";
    p.label = "Attributes To Export";
    p.widgetName = "groupBox_attributes";
    p.items = QStringList{"GPS Time",       "Intensity",  "Scan Angle", "Number of the Return",
                          "Classification", "User Data",  "Number of Returns of Given Pulse",
                          "Red",            "Green",      "Blue",       "Point Source ID",
                          "Edge of Flight Line Flag", "Direction of Scan Flag"};
    p.itemValues = QStringList{"t", "i", "a", "r", "c", "u", "n", "R", "G", "B", "p", "e", "d"};
    p.valuePrefix = "xyz";
    p.defaultValue = "xyz";
    p.valueName = "xyz...";
    p.invalidMessage = "The attributes are invalid!";
    return p;
}

QString formatOf(const ToolRequest &r) { return r.values.value("format", ".txt"); }

// Per input: the export, with its failure reported the tool's way.
ToolOutcome runExport(bool text, const ToolRequest &request, const QStringList &outputs, CProcessBase *progress)
{
    ToolOutcome outcome;
    const std::string fields = request.values.value("fields", "xyz").toStdString();
    std::string separator = ",";
    if (text && formatOf(request) != ".csv") {
        const QString sep = request.values.value("separator");
        separator = sep == "Tab" ? "\t" : sep == "Space" ? " " : sep == "Comma" ? "," : sep.toStdString();
    }
    if (outputs.size() > 1)
        QDir().mkpath(QFileInfo(outputs.first()).absolutePath());
    if (progress)
        progress->SetStageCount(static_cast<int32_t>(request.inputs.size()));
    for (int f = 0; f < request.inputs.size(); ++f) {
        std::string error;
        const bool ok = text ? VerdantaIO::LAS2TxT(local(request.inputs[f]), local(outputs[f]), fields, separator,
                                                   progress, &error)
                             : VerdantaIO::LAS2Shp(local(request.inputs[f]), local(outputs[f]), fields, progress,
                                                   &error);
        if (!ok) {
            if (error == "Cancelled")
                return outcome;
            if (error == VerdantaIO::kExportOpenFailed)
                outcome.warn("Open LAS file failed!", request.inputs[f]);
            else
                outcome.warn(request.inputs[f] + (text ? "\n Convert to TXT(CSV) Failed!" : "\n Convert to Shp Failed!"),
                             QString::fromLocal8Bit(error.c_str()));
            return outcome;
        }
        outcome.results << outputs[f];
        if (progress)
            progress->SetStageOffset(double(f + 1) / request.inputs.size());
    }
    outcome.completed = true;
    return outcome;
}

ToolOutcome runBoundary(const ToolRequest &request, const QStringList &outputs, CProcessBase *progress)
{
    using namespace VerdantaIO;
    ToolOutcome outcome;
    QStringList remembered;
    if (outputs.size() > 1)
        QDir().mkpath(QFileInfo(outputs.first()).absolutePath());
    if (progress)
        progress->SetStageCount(static_cast<int32_t>(request.inputs.size()));
    for (int f = 0; f < request.inputs.size(); ++f) {
        const QString input = request.inputs[f], output = outputs[f];
        CLASIO las;
        if (!las.LoadFile(local(input))) {
            outcome.warn("Open LAS file failed!", input);
            return outcome;
        }
        const uint64_t n = las.header.numberOfPointRecords;
        const int64_t s = boundaryStep(n);
        std::vector<uint64_t> indices;
        indices.reserve(n / s + 1);
        for (uint64_t i = 0; i < n; i += s)
            indices.push_back(i);
        std::vector<XYZ> xyz;
        if (!las.ReadData(indices, xyz)) {
            outcome.warn("Read LAS file failed!", input);
            return outcome;
        }
        C_DataManagement dm;
        std::vector<XYZ> rings;
        const int status = dm.GetPointsPolygon(xyz, rings, static_cast<float>(3 * s), progress);
        if (status == C_DataManagement::kBoundaryFailed) {
            outcome.warn("Create " + output + " Failed!", QString::fromLocal8Bit(dm.lastError().c_str()));
            return outcome;
        }
        if (status == C_DataManagement::kBoundaryNone || rings.empty()) {
            remembered << input;
            continue;
        }
        // One polygon feature: the outer ring, then the holes.
        CShpIO shp;
        shp.geometryType = CShpIO::Polygons;
        shp.spatialReference = las.header.spatialReference.GetWKT();
        ShpFeature feature;
        ShpPart part;
        for (size_t i = 0; i < rings.size(); ++i) {
            part.x.push_back(rings[i].x);
            part.y.push_back(rings[i].y);
            const bool closes = part.x.size() > 1 && rings[i].x == part.x.front() && rings[i].y == part.y.front();
            if (closes) {
                part.hole = !feature.parts.empty();
                feature.vertexCount += static_cast<int>(part.x.size());
                feature.parts.push_back(part);
                part = ShpPart();
            }
        }
        shp.features.push_back(feature);
        shp.featureCount = 1;
        if (!shp.WriterFile(local(output))) {
            outcome.warn("Create " + output + " Failed!", QString::fromLocal8Bit(shp.lastError().c_str()));
            return outcome;
        }
        outcome.results << output;
        if (progress)
            progress->SetStageOffset(double(f + 1) / request.inputs.size());
    }
    if (!remembered.isEmpty()) {
        QStringList lines;
        for (const QString &r : remembered)
            lines << r + " failed!";
        outcome.warn(lines.join("\n") + "\nData is too discrete\nor exist side by side points!");
    }
    outcome.completed = true;
    return outcome;
}

}  // namespace

int64_t boundaryStep(uint64_t n)
{
    int64_t s = static_cast<int64_t>((n + 99999) / 100000);
    if (s > 10)
        s = 20;
    return s < 1 ? 1 : s;
}

const Tool &lasToAscii()
{
    static const Tool tool = [] {
        ToolSpec s;
        s.name = "las2txt";
        s.action = "actionFormat_Convert";
        s.menu = "Tools > Conversion";
        s.title = "LasToAscii";
        s.summary = "write the points of LAS files as delimited text";
        s.help = "<h3>LasToAscii</h3><p>Writes each LAS file as a text file: a header line naming the chosen "
                 "attributes, then one line per point. X, Y and Z always come first, with as many decimals as "
                 "the file's scale factors resolve; the checked attributes follow in the order of the list. The "
                 "separator is a comma, a blank or a tab (a .csv file always uses commas).</p>";
        s.suffix = "_LasToAscii.txt";
        s.extension = ".txt";
        s.output = OutputKind::FilePerInput;
        s.noInputMessage = "Please add Las File!";
        ParamSpec format;
        format.kind = ParamSpec::Choice;
        format.option = "format";
        format.label = "Export Format";
        format.widgetName = "comboBox_format";
        format.items = QStringList{".txt", ".csv"};
        format.cliItems = QStringList{"txt", "csv"};
        format.defaultValue = ".txt";
        ParamSpec separator;
        separator.kind = ParamSpec::Choice;
        separator.option = "separator";
        separator.label = "Separator:";
        separator.widgetName = "comboBox_separator";
        separator.items = QStringList{"Comma", "Space", "Tab"};
        separator.defaultValue = "Comma";
        s.params = {attributes(), format, separator};
        // Point by point: a window's points alone, no buffer.
        s.tiles.perPoint = true;
        s.tiles.bytesPerPoint = 140;
        Tool t{s, [](const ToolRequest &r, const QStringList &o, CProcessBase *p) { return runExport(true, r, o, p); }};
        // The chosen format is the outputs' extension.
        auto withFormat = [](const QString &path, const ToolRequest &r) {
            QString out = path;
            while (out.endsWith(".txt", Qt::CaseInsensitive) || out.endsWith(".csv", Qt::CaseInsensitive))
                out.chop(4);
            return out + formatOf(r);
        };
        t.outputs = [withFormat](const ToolSpec &spec, const ToolRequest &r) {
            QStringList outs;
            for (const QString &o : ToolChecks::resolveOutputs(spec, r))
                outs << withFormat(o, r);
            return outs;
        };
        t.defaultOutput = [withFormat](const ToolSpec &spec, const ToolRequest &r) {
            const QString d = ToolChecks::defaultOutput(spec, r.inputs);
            return d.isEmpty() ? d : withFormat(d, r);
        };
        t.outputFilter = "TXT File(*.txt);;CSV File(*.csv)";
        t.finishedMessage = "Convert Las to Ascii Finished!";
        return t;
    }();
    return tool;
}

const Tool &lasToVector()
{
    static const Tool tool = [] {
        ToolSpec s;
        s.name = "las2shp";
        s.action = "actionLasToVector";
        s.menu = "Tools > Conversion";
        s.title = "LasToVector";
        s.summary = "write the points of LAS files as a point shapefile";
        s.help = "<h3>LasToVector</h3><p>Writes each LAS file as a PointZ shapefile with one attribute per "
                 "chosen letter (X, Y and Z always, then the checked attributes) and the file's coordinate "
                 "system as its .prj.</p>";
        s.suffix = "_LasToVector.shp";
        s.extension = ".shp";
        s.output = OutputKind::FilePerInput;
        s.noInputMessage = "Please add Las File!";
        s.params = {attributes()};
        // Point by point: a window's points alone, no buffer.
        s.tiles.perPoint = true;
        s.tiles.bytesPerPoint = 140;
        Tool t{s, [](const ToolRequest &r, const QStringList &o, CProcessBase *p) { return runExport(false, r, o, p); }};
        t.outputFilter = "ESRI Shp File(*.shp)";
        return t;
    }();
    return tool;
}

const Tool &boundary()
{
    static const Tool tool = [] {
        ToolSpec s;
        s.name = "boundary";
        s.action = "actionLAS_Boundary";
        s.menu = "Tools > Data Management";
        s.title = "LasBoundary";
        s.summary = "write the outline polygon of each LAS file as a shapefile";
        s.help = "<h3>LasBoundary</h3><p>Writes the outline of each LAS file as a polygon shapefile with the "
                 "file's coordinate system as its .prj. The outline is a concave hull of an even thinning of the "
                 "points (every s-th point, s = ceil(points / 100000), and 20 when that exceeds 10): it follows "
                 "the footprint of the data and leaves out gaps in coverage that are wider than about 3 s times "
                 "the point spacing, as holes when they lie inside. Every thinned point lies inside or on the "
                 "outline.</p>";
        s.suffix = "_LasBoundary.shp";
        s.extension = ".shp";
        s.output = OutputKind::FilePerInput;
        // The outline of a thinning of all the points: the thinning step
        // follows the count read, and each tile would get an outline of its
        // own cut at its edges.
        s.tiles.untileable = "its outline is drawn around all the points it reads, and each window would get "
                             "an outline of its own. Give it the catalogue (.vpc) as a whole.";
        Tool t{s, runBoundary};
        t.outputFilter = "ESRI Shp File(*.shp)";
        return t;
    }();
    return tool;
}

}  // namespace ConvertTools
