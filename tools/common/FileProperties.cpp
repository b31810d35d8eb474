#include "FileProperties.h"

#include "Catalog.h"
#include "LasIO.h"
#include "RasterIO.h"
#include "ShpIO.h"

#include <QFile>
#include <QFileInfo>
#include <QTextStream>

namespace FileProperties {

namespace {

QString fixed2(double v) { return QString::number(v, 'f', 2); }
QString str(const std::string &s) { return QString::fromLocal8Bit(s.c_str()); }
std::string local(const QString &path) { return QFile::encodeName(path).toStdString(); }

bool describeLas(const QString &path, Rows &rows, QString *error)
{
    VerdantaIO::CLASIO las;
    if (!las.LoadFile(local(path))) {
        if (error)
            *error = str(las.lastError());
        return false;
    }
    const VerdantaIO::PointHeader &h = las.header;
    QStringList byReturn;
    for (int i = 0; i < 5; ++i)
        byReturn << QString::number(h.numberOfPointsByReturn[i]);
    rows = {
        {"File", path},
        {"Version", QString::number(h.versionMajor) + "." + QString::number(h.versionMinor)},
        {"Source ID", QString::number(h.sourceId)},
        {"Reserved", QString::number(h.reserved)},
        {"Project ID", str(h.projectId.to_string())},
        {"System ID", str(h.systemId)},
        {"Generating Software", str(h.generatingSoftware)},
        {"File Creation Day/Year", QString::number(h.creationDay) + "/" + QString::number(h.creationYear)},
        {"Header Byte Size", QString::number(h.headerSize)},
        {"Data Offset", QString::number(h.dataOffset)},
        {"Header Padding", QString::number(h.headerPadding)},
        {"Point Data Format", QString::number(h.pointDataFormat)},
        {"Number of Point Records", QString::number(h.numberOfPointRecords)},
        {"Compressed", h.compressed ? "True" : "False"},
        {"Number of Points by Return", byReturn.join(' ')},
        {"Scale Factor X", fixed2(h.scaleX)},
        {"Scale Factor Y", fixed2(h.scaleY)},
        {"Scale Factor Z", fixed2(h.scaleZ)},
        {"Offset X", fixed2(h.offsetX)},
        {"Offset Y", fixed2(h.offsetY)},
        {"Offset Z", fixed2(h.offsetZ)},
        {"Min X", fixed2(h.minX)},
        {"Min Y", fixed2(h.minY)},
        {"Min Z", fixed2(h.minZ)},
        {"Max X", fixed2(h.maxX)},
        {"Max Y", fixed2(h.maxY)},
        {"Max Z", fixed2(h.maxZ)},
        {"Spatial Reference",
         h.spatialReference.empty() ? QString("NONE") : str(h.spatialReference.GetWKT())},
    };
    // A damaged file read in part says what is missing.
    for (const std::string &w : las.warnings())
        rows.append({"Warning", str(w)});
    return true;
}

// A catalogue: its files, their points together, the joint bounds and the
// one coordinate system; the catalogue is checked against its files.
bool describeCatalog(const QString &path, Rows &rows, QString *error)
{
    VerdantaIO::Catalog c;
    std::string why;
    if (!VerdantaIO::ReadCatalog(local(path), c, why)) {
        if (error)
            *error = str(why);
        return false;
    }
    rows = {
        {"File", path},
        {"Files", QString::number(c.files.size())},
        {"Number of Point Records", QString::number(c.count)},
        {"Min X", fixed2(c.minX)},
        {"Min Y", fixed2(c.minY)},
        {"Min Z", fixed2(c.minZ)},
        {"Max X", fixed2(c.maxX)},
        {"Max Y", fixed2(c.maxY)},
        {"Max Z", fixed2(c.maxZ)},
        {"Coordinate System", str(VerdantaIO::ReferenceName(c.wkt))},
        {"Spatial Reference", c.wkt.empty() ? QString("NONE") : str(c.wkt)},
    };
    for (const VerdantaIO::CatalogFile &f : c.files)
        rows.append({QString::fromStdString(f.id), QString::number(f.count) + " points, " + str(f.path)});
    return true;
}

bool describeRaster(const QString &path, Rows &rows, QString *error)
{
    VerdantaIO::CRasterIO raster;
    if (!raster.LoadFile(local(path))) {
        if (error)
            *error = str(raster.lastError());
        return false;
    }
    rows = {
        {"File", path},
        {"Driver", str(raster.driverName)},
        {"Width", QString::number(raster.width)},
        {"Height", QString::number(raster.height)},
        {"BandCount", QString::number(raster.bandCount)},
        {"Data Type", dataTypeName(raster.dataType)},
        {"Spatial Reference", raster.spatialReference.empty() ? QString("NONE") : str(raster.spatialReference)},
        {"Upper Left X", QString::number(raster.upperLeftX, 'f', 2)},
        {"Upper Left Y", QString::number(raster.upperLeftY, 'f', 2)},
        {"X Pixel Size", QString::number(raster.geoTransform[1], 'g', 10)},
        {"Y Pixel Size", QString::number(raster.geoTransform[5], 'g', 10)},
    };
    return true;
}

bool describeShapefile(const QString &path, Rows &rows, QString *error)
{
    VerdantaIO::CShpIO shp;
    if (!shp.LoadFile(local(path))) {
        if (error)
            *error = str(shp.lastError());
        return false;
    }
    static const char *kinds[] = {"Point", "Line", "Polygon"};
    const QString kind = shp.geometryType >= 0 && shp.geometryType <= 2 ? kinds[shp.geometryType] : "Unknown";
    rows = {
        {"File", path},
        {"Geometry Type", kind},
        {"Spatial Reference", shp.spatialReference.empty() ? QString("NONE") : str(shp.spatialReference)},
        {"Min X", fixed2(shp.minX)},
        {"Min Y", fixed2(shp.minY)},
        {"Max X", fixed2(shp.maxX)},
        {"Max Y", fixed2(shp.maxY)},
    };
    return true;
}

bool describeTable(const QString &path, Rows &rows, QString *error)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly | QIODevice::Text)) {
        if (error)
            *error = file.errorString();
        return false;
    }
    QTextStream in(&file);
    qint64 lines = 0;
    int columns = 0;
    while (!in.atEnd()) {
        const QString line = in.readLine();
        if (lines == 0)
            columns = line.split(',').size();
        ++lines;
    }
    rows = {
        {"File", path},
        {"Row Count", QString::number(lines)},
        {"Column Count", QString::number(columns)},
    };
    return true;
}

}  // namespace

Kind kindOf(const QString &path)
{
    const QString suffix = QFileInfo(path).suffix();
    if (suffix == "las" || suffix == "laz" || suffix == "vpc")
        return Kind::Las;
    if (suffix == "shp")
        return Kind::Vector;
    if (suffix == "csv")
        return Kind::Table;
    return Kind::Raster;
}

QString dataTypeName(int code)
{
    static const char *names[] = {"Unknown", "Byte", "Unsigned Int", "Integer",
                                  "Unsigned Long", "Long", "Float", "Double",
                                  "Complex Int16", "Complex Int32", "Complex Float32", "Complex Float64"};
    return code >= 0 && code <= 11 ? names[code] : names[0];
}

bool describe(const QString &path, Rows &rows, QString *error)
{
    rows.clear();
    switch (kindOf(path)) {
    case Kind::Las:
        return VerdantaIO::IsCatalogPath(local(path)) ? describeCatalog(path, rows, error)
                                                      : describeLas(path, rows, error);
    case Kind::Vector: return describeShapefile(path, rows, error);
    case Kind::Table: return describeTable(path, rows, error);
    case Kind::Raster: return describeRaster(path, rows, error);
    }
    return false;
}

}  // namespace FileProperties
