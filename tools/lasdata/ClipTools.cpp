#include "ClipTools.h"

#include "Catalog.h"
#include "InputReferences.h"
#include "LasIO.h"
#include "ShpIO.h"

#include <QFile>
#include <QFileInfo>

#include <cmath>

namespace ClipTools {

namespace {

std::string local(const QString &path) { return QFile::encodeName(path).toStdString(); }

std::vector<std::string> locals(const QStringList &paths)
{
    std::vector<std::string> out;
    for (const QString &p : paths)
        out.push_back(local(p));
    return out;
}

// The statuses of a clip run as the user reads them.
bool reportStatus(int status, const C_DataManagement &dm, ToolOutcome &outcome)
{
    const QString detail = QString::fromLocal8Bit(dm.lastError().c_str());
    switch (status) {
    case C_DataManagement::kStreamDone:
        return true;
    case C_DataManagement::kStreamOpenFailed:
        outcome.warn("Open LAS file failed!", detail);
        return false;
    case C_DataManagement::kStreamWriteFailed:
        outcome.warn("Write LAS file failed!", detail);
        return false;
    default:
        return false;  // cancelled
    }
}

QString circleCheck(const QVector<double> &v)
{
    return v[2] > 0 ? QString() : QString("Please reset the Raduis value(Raduis>0)!");
}

// Records are top, bottom, left, right.
QString rectangleCheck(const QVector<double> &v)
{
    return v[1] <= v[0] && v[2] <= v[3] ? QString() : QString("The input range error!");
}

ToolOutcome runRegions(bool circles, const ToolRequest &request, const QStringList &outputs, CProcessBase *progress)
{
    ToolOutcome outcome;
    const ParamSpec &p = *(circles ? circle() : rectangle()).spec.param(circles ? "circle" : "rect");
    std::vector<C_DataManagement::ClipRegion> regions;
    QVector<double> v;
    for (const QString &entry : ToolChecks::listEntries(request.values.value(p.option))) {
        if (!ToolChecks::entryNumbers(entry, p.listFields.size(), v)) {
            outcome.warn(p.listFormatMessage, entry);
            return outcome;
        }
        C_DataManagement::ClipRegion r;
        r.circle = circles;
        if (circles) {
            r.x = v[0]; r.y = v[1]; r.radius = v[2];
        } else {
            if (!rectangleCheck(v).isEmpty()) {
                outcome.warn(rectangleCheck(v), entry);
                return outcome;
            }
            r.top = v[0]; r.bottom = v[1]; r.left = v[2]; r.right = v[3];
        }
        regions.push_back(r);
    }
    C_DataManagement dm;
    uint64_t kept = 0;
    const int status = dm.ClipRegions(locals(request.inputs), regions, local(outputs.first()), progress, kept);
    if (!reportStatus(status, dm, outcome))
        return outcome;
    if (kept == 0) {
        outcome.warn(circles ? "The input Circle no point!" : "The input range no point!");
        return outcome;
    }
    outcome.results << outputs.first();
    outcome.completed = true;
    return outcome;
}

ToolOutcome runPolygon(const ToolRequest &request, const QStringList &outputs, CProcessBase *progress)
{
    using namespace VerdantaIO;
    ToolOutcome outcome;
    const QString shpPath = request.values.value("shp");
    CShpIO shp;
    if (shpPath.trimmed().isEmpty() || !shp.LoadFile(local(shpPath))) {
        outcome.warn("Open the SHP file failed!", shpPath);
        return outcome;
    }
    if (!shp.GetLayerData(shp.GetLayerByIndex(0))) {
        outcome.warn("Read the SHP file failed!", shpPath);
        return outcome;
    }
    const std::vector<C_DataManagement::ClipPolygon> polygons = polygonsOf(shp);
    if (polygons.empty()) {
        outcome.warn("Read the SHP file failed!",
                     shpPath + (shp.featureCount == 0 ? " holds no features" : " holds no polygon or closed line"));
        return outcome;
    }
    // Polygons of another coordinate system are taken as they are: ask.
    CLASIO first;
    if (!first.LoadFile(local(request.inputs.first()))) {
        outcome.warn("Open LAS file failed!", request.inputs.first());
        return outcome;
    }
    const std::string &lasWkt = first.header.spatialReference.GetWKT();
    if (!shp.spatialReference.empty() && !lasWkt.empty() &&
        !VerdantaIO::SameReference(shp.spatialReference, lasWkt)) {
        const QString question =
            "The shapefile " + QFileInfo(shpPath).fileName() + " lies in " +
            InputReferences::referenceName(shp.spatialReference) + ", the LAS files in " +
            InputReferences::referenceName(lasWkt) +
            ".\nIts coordinates are used as they are, without reprojection.\nClip anyway?";
        if (request.ask && !request.ask(question))
            return outcome;
        outcome.notes << "The shapefile's coordinate system differs from the LAS files'; its coordinates were used "
                         "as they are.";
    }
    C_DataManagement dm;
    uint64_t kept = 0;
    const int status = dm.ClipPolygons(locals(request.inputs), polygons, local(outputs.first()), progress, kept);
    if (!reportStatus(status, dm, outcome))
        return outcome;
    if (kept == 0) {
        outcome.warn("The input Polygon no point!");
        return outcome;
    }
    outcome.results << outputs.first();
    outcome.completed = true;
    return outcome;
}

ParamSpec regionList(bool circles)
{
    ParamSpec p;
    p.kind = ParamSpec::List;
    p.option = circles ? "circle" : "rect";
    p.label = circles ? "Circle Center" : "Rectangle Region";
    p.widgetName = circles ? "listWidget_circles" : "listWidget_rectangles";
    p.listFields = circles ? QStringList{"X Coordinate(m)", "Y Coordinate(m)", "Radius(m)"}
                           : QStringList{"Top(m)", "Bottom(m)", "Left(m)", "Right(m)"};
    p.valueName = circles ? "X,Y,R" : "TOP,BOTTOM,LEFT,RIGHT";
    p.entryCheck = circles ? circleCheck : rectangleCheck;
    p.emptyMessage = circles ? "Please add Circle Center and Radius!" : "Please add Rectangle Region!";
    p.listFileOption = "regions";
    p.fileCaption = "Open File";
    p.fileFilter = "TXT File(*.txt)";
    return p;
}

Tool regionTool(bool circles)
{
    ToolSpec s;
    s.name = circles ? "clip-circle" : "clip-rect";
    s.action = circles ? "actionClip_by_Circle" : "actionClip_by_Rectangle";
    s.menu = "Tools > Data Management > Clip";
    s.title = circles ? "Clip by Circle" : "Clip by Rectangle";
    s.summary = circles ? "copy the points within circles into one LAS file"
                        : "copy the points within rectangles into one LAS file";
    s.help = circles
                 ? "<h3>Clip by Circle</h3><p>Copies the points of all input files that lie within each circle "
                   "(centre X, Y and radius, the rim included) into one LAS file, circle after circle: a point "
                   "inside two circles is written twice. Circles are typed in and added, or imported from a text "
                   "file with one circle a line as <i>x,y,radius</i>. The output keeps the first input's point "
                   "format, scale, offset and coordinate system; its counts and bounds are those of the points "
                   "written.</p>"
                 : "<h3>Clip by Rectangle</h3><p>Copies the points of all input files that lie within each "
                   "rectangle (edges included) into one LAS file, rectangle after rectangle: a point inside two "
                   "rectangles is written twice. Rectangles are typed in and added, or imported from a text file "
                   "with one rectangle a line as <i>top,bottom,left,right</i>. The output keeps the first input's "
                   "point format, scale, offset and coordinate system; its counts and bounds are those of the "
                   "points written.</p>";
    s.suffix = circles ? "_ClipByCircle.las" : "_ClipByRectangle.las";
    s.output = OutputKind::File;
    s.params = {regionList(circles)};
    // Point by point: a window's points alone, no buffer.
    s.tiles.perPoint = true;
    s.tiles.bytesPerPoint = 140;
    Tool t{s, [circles](const ToolRequest &r, const QStringList &o, CProcessBase *p) {
               return runRegions(circles, r, o, p);
           }};
    t.combinesInputs = [](const ToolRequest &r) { return r.inputs.size() > 1; };
    return t;
}

}  // namespace

std::vector<C_DataManagement::ClipPolygon> polygonsOf(const VerdantaIO::CShpIO &shp)
{
    using VerdantaIO::XYZ;
    std::vector<C_DataManagement::ClipPolygon> polygons;
    auto ringOf = [](const VerdantaIO::ShpPart &part) {
        std::vector<XYZ> ring(part.x.size());
        for (size_t i = 0; i < part.x.size(); ++i)
            ring[i] = {part.x[i], part.y[i], 0.0};
        return ring;
    };
    for (const auto &feature : shp.features) {
        for (const auto &part : feature.parts) {
            if (shp.geometryType == VerdantaIO::CShpIO::Polygons) {
                if (part.x.size() < 3)
                    continue;
                if (!part.hole || polygons.empty())
                    polygons.emplace_back();
                polygons.back().rings.push_back(ringOf(part));
            } else if (shp.geometryType == VerdantaIO::CShpIO::Lines) {
                // A line whose ends meet encloses a ring.
                const size_t n = part.x.size();
                if (n >= 4 && std::hypot(part.x[0] - part.x[n - 1], part.y[0] - part.y[n - 1]) <= 1e-6) {
                    polygons.emplace_back();
                    polygons.back().rings.push_back(ringOf(part));
                }
            }
        }
    }
    return polygons;
}

const Tool &circle()
{
    static const Tool tool = regionTool(true);
    return tool;
}

const Tool &rectangle()
{
    static const Tool tool = regionTool(false);
    return tool;
}

const Tool &polygon()
{
    static const Tool tool = [] {
        ToolSpec s;
        s.name = "clip-polygon";
        s.action = "actionClip_by_Polygon";
        s.menu = "Tools > Data Management > Clip";
        s.title = "Clip by Polygon";
        s.summary = "copy the points within the polygons of a shapefile into one LAS file";
        s.help = "<h3>Clip by Polygon</h3><p>Copies the points of all input files that lie inside any polygon of "
                 "a shapefile into one LAS file; a point on a polygon's edge counts as inside, and points in a "
                 "polygon's holes are left out. Polygon and multi-polygon shapefiles are read, and line "
                 "shapefiles whose lines are closed rings. The files are read in chunks of 100000 points. A "
                 "shapefile whose .prj names another coordinate system than the LAS files' is used as it is, "
                 "after a question.</p>";
        s.suffix = "_ClipByPolygon.las";
        s.output = OutputKind::File;
        ParamSpec shp;
        shp.option = "shp";
        shp.label = "Shp File";
        shp.kind = ParamSpec::File;
        shp.widgetName = "lineEdit_shp";
        shp.fileCaption = "Open File";
        shp.fileFilter = "ESRI Shp File(*.shp)";
        s.params = {shp};
        // Point by point: a window's points alone, no buffer.
        s.tiles.perPoint = true;
        s.tiles.bytesPerPoint = 140;
        Tool t{s, runPolygon};
        t.combinesInputs = [](const ToolRequest &r) { return r.inputs.size() > 1; };
        return t;
    }();
    return tool;
}

}  // namespace ClipTools
