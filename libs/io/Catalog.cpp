#include "Catalog.h"

#include "Json.h"
#include "LasIO.h"
#include "LasIndex.h"

#include <ogr_spatialref.h>

#include <algorithm>
#include <cmath>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <memory>
#include <set>
#include <sstream>

namespace fs = std::filesystem;

namespace VerdantaIO {

namespace {

const char *kPointcloudExtension = "https://stac-extensions.github.io/pointcloud/v1.0.0/schema.json";
const char *kProjectionExtension = "https://stac-extensions.github.io/projection/v1.1.0/schema.json";

std::unique_ptr<OGRSpatialReference> parseReference(const std::string &wkt)
{
    if (wkt.empty())
        return nullptr;
    auto srs = std::make_unique<OGRSpatialReference>();
    srs->SetAxisMappingStrategy(OAMS_TRADITIONAL_GIS_ORDER);
    if (srs->importFromWkt(wkt.c_str()) != OGRERR_NONE)
        return nullptr;
    return srs;
}

std::string wkt2(const std::string &wkt)
{
    const auto srs = parseReference(wkt);
    if (!srs)
        return wkt;
    const char *options[] = {"FORMAT=WKT2_2019", "MULTILINE=NO", nullptr};
    char *text = nullptr;
    std::string out = wkt;
    if (srs->exportToWkt(&text, options) == OGRERR_NONE && text)
        out = text;
    CPLFree(text);
    return out;
}

// The dimensions of a point data format, as point-cloud software names them.
json::Value schemas(int format)
{
    json::Value list = json::Value::array();
    auto add = [&](const char *name, int size, const char *type) {
        json::Value d = json::Value::object();
        d.set("name", name);
        d.set("size", size);
        d.set("type", type);
        list.append(d);
    };
    add("X", 8, "floating");
    add("Y", 8, "floating");
    add("Z", 8, "floating");
    add("Intensity", 2, "unsigned");
    add("ReturnNumber", 1, "unsigned");
    add("NumberOfReturns", 1, "unsigned");
    if (format >= 6)
        add("ScanChannel", 1, "unsigned");
    add("ScanDirectionFlag", 1, "unsigned");
    add("EdgeOfFlightLine", 1, "unsigned");
    add("Classification", 1, "unsigned");
    if (format >= 6)
        add("ClassFlags", 1, "unsigned");
    add("ScanAngleRank", 4, "floating");
    add("UserData", 1, "unsigned");
    add("PointSourceId", 2, "unsigned");
    if (format != 0 && format != 2)
        add("GpsTime", 8, "floating");
    if (format == 2 || format == 3 || format == 5 || format == 7 || format == 8 || format == 10) {
        add("Red", 2, "unsigned");
        add("Green", 2, "unsigned");
        add("Blue", 2, "unsigned");
    }
    if (format == 8 || format == 10)
        add("Infrared", 2, "unsigned");
    return list;
}

json::Value ring(const std::vector<std::pair<double, double>> &corners)
{
    json::Value r = json::Value::array();
    for (const auto &c : corners)
        r.append(json::Value::numbers({c.first, c.second}));
    r.append(json::Value::numbers({corners.front().first, corners.front().second}));
    return r;
}

json::Value polygon(const std::vector<std::pair<double, double>> &corners)
{
    json::Value g = json::Value::object();
    g.set("type", "Polygon");
    json::Value rings = json::Value::array();
    rings.append(ring(corners));
    g.set("coordinates", rings);
    return g;
}

// The file's footprint in WGS 84 longitude/latitude: its corners, and the
// box around its edges sampled densely (a projected rectangle is curved in
// geographic coordinates). False when the system cannot be transformed.
bool geographic(const std::string &wkt, const CatalogFile &f, std::vector<std::pair<double, double>> &corners,
                double box[4])
{
    const auto src = parseReference(wkt);
    if (!src)
        return false;
    OGRSpatialReference dst;
    dst.SetWellKnownGeogCS("WGS84");
    dst.SetAxisMappingStrategy(OAMS_TRADITIONAL_GIS_ORDER);
    std::unique_ptr<OGRCoordinateTransformation> ct(OGRCreateCoordinateTransformation(src.get(), &dst));
    if (!ct)
        return false;
    constexpr int kSteps = 16;
    std::vector<double> xs, ys;
    for (int i = 0; i <= kSteps; ++i) {
        const double t = double(i) / kSteps;
        const double x = f.minX + t * (f.maxX - f.minX), y = f.minY + t * (f.maxY - f.minY);
        xs.insert(xs.end(), {x, x, f.minX, f.maxX});
        ys.insert(ys.end(), {f.minY, f.maxY, y, y});
    }
    std::vector<int> ok(xs.size());
    if (!ct->Transform(int(xs.size()), xs.data(), ys.data(), nullptr, ok.data()))
        return false;
    box[0] = box[1] = HUGE_VAL;
    box[2] = box[3] = -HUGE_VAL;
    for (size_t i = 0; i < xs.size(); ++i) {
        if (!ok[i])
            return false;
        box[0] = std::min(box[0], xs[i]);
        box[1] = std::min(box[1], ys[i]);
        box[2] = std::max(box[2], xs[i]);
        box[3] = std::max(box[3], ys[i]);
    }
    double cx[4] = {f.minX, f.maxX, f.maxX, f.minX}, cy[4] = {f.minY, f.minY, f.maxY, f.maxY};
    if (!ct->Transform(4, cx, cy))
        return false;
    corners.clear();
    for (int i = 0; i < 4; ++i)
        corners.emplace_back(cx[i], cy[i]);
    return true;
}

// The day a file was made: the header's creation date, else the day the
// file was last written.
std::string datetime(const PointHeader &h, const std::string &path)
{
    std::tm t{};
    if (h.creationYear > 0 && h.creationDay > 0) {
        t.tm_year = h.creationYear - 1900;
        t.tm_mday = h.creationDay;  // day of the year; normalised by timegm
        const time_t s = timegm(&t);
        gmtime_r(&s, &t);
    } else {
        std::error_code ec;
        const auto w = fs::last_write_time(path, ec);
        const time_t s = ec ? 0
                            : std::chrono::system_clock::to_time_t(
                                  std::chrono::time_point_cast<std::chrono::system_clock::duration>(
                                      w - fs::file_time_type::clock::now() + std::chrono::system_clock::now()));
        gmtime_r(&s, &t);
    }
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%dT00:00:00Z", &t);
    return text;
}

std::string genericPath(const fs::path &p)
{
    std::string s = p.generic_string();
    return s;
}

std::string mismatchText(const std::vector<std::pair<std::string, std::string>> &filesAndWkts)
{
    std::string text = "The files lie in different coordinate systems (";
    for (size_t i = 0; i < filesAndWkts.size(); ++i)
        text += (i ? "; " : "") + fs::path(filesAndWkts[i].first).filename().string() + ": " +
                ReferenceName(filesAndWkts[i].second);
    return text + "). A catalogue holds files of one coordinate system.";
}

bool mixedReferences(const std::vector<std::pair<std::string, std::string>> &filesAndWkts)
{
    for (size_t i = 1; i < filesAndWkts.size(); ++i)
        if (!SameReference(filesAndWkts.front().second, filesAndWkts[i].second))
            return true;
    return false;
}

std::string number(double v)
{
    std::ostringstream s;
    s.precision(12);
    s << v;
    return s.str();
}

}  // namespace

void Catalog::addBounds(const CatalogFile &f)
{
    if (!hasBounds) {
        hasBounds = true;
        minX = f.minX; minY = f.minY; minZ = f.minZ;
        maxX = f.maxX; maxY = f.maxY; maxZ = f.maxZ;
    } else {
        minX = std::min(minX, f.minX); minY = std::min(minY, f.minY); minZ = std::min(minZ, f.minZ);
        maxX = std::max(maxX, f.maxX); maxY = std::max(maxY, f.maxY); maxZ = std::max(maxZ, f.maxZ);
    }
    count += f.count;
}

bool IsCatalogPath(const std::string &path)
{
    const std::string ext = fs::path(path).extension().string();
    return ext.size() == 4 && (ext == ".vpc" || ext == ".VPC" || ext == ".Vpc");
}

bool SameReference(const std::string &a, const std::string &b)
{
    if (a == b)
        return true;
    const auto sa = parseReference(a), sb = parseReference(b);
    if (!sa || !sb)
        return false;
    const char *options[] = {"IGNORE_DATA_AXIS_TO_SRS_AXIS_MAPPING=YES", "CRITERION=EQUIVALENT_EXCEPT_AXIS_ORDER_GEOGCRS",
                             nullptr};
    return sa->IsSame(sb.get(), options);
}

std::string ReferenceName(const std::string &wkt)
{
    const auto srs = parseReference(wkt);
    if (!srs)
        return wkt.empty() ? "no coordinate system" : "an unreadable coordinate system";
    const char *name = srs->GetName();
    return name && *name ? name : "an unnamed coordinate system";
}

bool WriteCatalog(const std::string &vpcPath, const std::vector<std::string> &lasPaths, std::string &error)
{
    if (lasPaths.empty()) {
        error = "No LAS file was given";
        return false;
    }
    const fs::path folder = fs::absolute(vpcPath).parent_path();
    json::Value features = json::Value::array();
    std::vector<std::pair<std::string, std::string>> references;
    std::set<std::string> ids;
    for (const std::string &lasPath : lasPaths) {
        CLASIO las;
        if (!las.LoadFile(lasPath)) {
            error = lasPath + ": " + las.lastError();
            return false;
        }
        const PointHeader &h = las.header;
        CatalogFile f;
        f.count = h.numberOfPointRecords;
        f.minX = h.minX; f.minY = h.minY; f.minZ = h.minZ;
        f.maxX = h.maxX; f.maxY = h.maxY; f.maxZ = h.maxZ;
        f.wkt = wkt2(h.spatialReference.GetWKT());
        references.emplace_back(lasPath, f.wkt);

        std::string id = fs::path(lasPath).stem().string();
        for (int k = 2; ids.count(id); ++k)
            id = fs::path(lasPath).stem().string() + "_" + std::to_string(k);
        ids.insert(id);

        json::Value item = json::Value::object();
        item.set("type", "Feature");
        item.set("stac_version", "1.0.0");
        json::Value extensions = json::Value::array();
        extensions.append(kPointcloudExtension);
        extensions.append(kProjectionExtension);
        item.set("stac_extensions", extensions);
        item.set("id", id);
        std::vector<std::pair<double, double>> corners;
        double box[4];
        const bool geo = geographic(f.wkt, f, corners, box);
        item.set("geometry", geo ? polygon(corners) : json::Value());
        if (geo)
            item.set("bbox", json::Value::numbers({box[0], box[1], f.minZ, box[2], box[3], f.maxZ}));
        json::Value props = json::Value::object();
        props.set("datetime", datetime(h, lasPath));
        props.set("pc:count", static_cast<unsigned long long>(f.count));
        props.set("pc:encoding", h.compressed ? "application/vnd.laszip" : "application/vnd.las");
        props.set("pc:schemas", schemas(h.pointDataFormat));
        props.set("pc:type", "lidar");
        props.set("proj:bbox", json::Value::numbers({f.minX, f.minY, f.minZ, f.maxX, f.maxY, f.maxZ}));
        props.set("proj:geometry",
                  polygon({{f.minX, f.minY}, {f.maxX, f.minY}, {f.maxX, f.maxY}, {f.minX, f.maxY}}));
        props.set("proj:wkt2", f.wkt.empty() ? json::Value() : json::Value(f.wkt));
        item.set("properties", props);
        item.set("links", json::Value::array());
        json::Value data = json::Value::object();
        std::error_code ec;
        const fs::path rel = fs::relative(fs::absolute(lasPath), folder, ec);
        data.set("href", ec || rel.empty() ? genericPath(fs::absolute(lasPath)) : "./" + genericPath(rel));
        json::Value roles = json::Value::array();
        roles.append("data");
        data.set("roles", roles);
        json::Value assets = json::Value::object();
        assets.set("data", data);
        item.set("assets", assets);
        features.append(item);
    }
    if (mixedReferences(references)) {
        error = mismatchText(references);
        return false;
    }
    for (const std::string &lasPath : lasPaths) {
        std::string why;
        if (!las::acquireIndex(lasPath, why)) {
            error = lasPath + ": " + why;
            return false;
        }
        SpatialIndex::releasePages(lasPath);
    }
    json::Value doc = json::Value::object();
    doc.set("type", "FeatureCollection");
    doc.set("features", features);
    std::ofstream out(vpcPath, std::ios::binary | std::ios::trunc);
    out << json::write(doc);
    out.close();
    if (!out) {
        error = "Could not write " + vpcPath;
        return false;
    }
    return true;
}

bool ReadCatalog(const std::string &vpcPath, Catalog &out, std::string &error, bool verify)
{
    out = Catalog();
    out.path = vpcPath;
    std::ifstream in(vpcPath, std::ios::binary);
    if (!in) {
        error = "Could not open the catalogue " + vpcPath;
        return false;
    }
    std::stringstream text;
    text << in.rdbuf();
    json::Value doc;
    std::string why;
    if (!json::parse(text.str(), doc, why)) {
        error = vpcPath + " is not a catalogue: " + why;
        return false;
    }
    const json::Value &features = doc["features"];
    if (doc["type"].toString() != "FeatureCollection" || !features.isArray()) {
        error = vpcPath + " is not a catalogue: it holds no FeatureCollection";
        return false;
    }
    if (features.size() == 0) {
        error = "The catalogue " + vpcPath + " lists no file";
        return false;
    }
    const fs::path folder = fs::absolute(vpcPath).parent_path();
    std::vector<std::pair<std::string, std::string>> references;
    for (size_t i = 0; i < features.size(); ++i) {
        const json::Value &item = features.at(i);
        const json::Value &props = item["properties"];
        CatalogFile f;
        f.id = item["id"].toString();
        f.href = item["assets"]["data"]["href"].toString();
        if (f.href.empty()) {
            error = "The catalogue " + vpcPath + " gives no file for item " + std::to_string(i + 1) +
                    (f.id.empty() ? std::string() : " (" + f.id + ")");
            return false;
        }
        const fs::path href = fs::path(f.href);
        f.path = genericPath((href.is_absolute() ? href : folder / href).lexically_normal());
        f.count = static_cast<uint64_t>(props["pc:count"].toNumber());
        const json::Value &b = props["proj:bbox"];
        if (b.size() == 6) {
            f.minX = b.at(0).toNumber(); f.minY = b.at(1).toNumber(); f.minZ = b.at(2).toNumber();
            f.maxX = b.at(3).toNumber(); f.maxY = b.at(4).toNumber(); f.maxZ = b.at(5).toNumber();
        } else if (b.size() == 4) {
            f.minX = b.at(0).toNumber(); f.minY = b.at(1).toNumber();
            f.maxX = b.at(2).toNumber(); f.maxY = b.at(3).toNumber();
        } else {
            error = f.path + ": the catalogue " + vpcPath + " gives no native bounds (proj:bbox) for it";
            return false;
        }
        f.wkt = props["proj:wkt2"].toString();
        if (f.wkt.empty() && props["proj:epsg"].isNumber()) {
            OGRSpatialReference srs;
            char *w = nullptr;
            if (srs.importFromEPSG(int(props["proj:epsg"].toNumber())) == OGRERR_NONE &&
                srs.exportToWkt(&w) == OGRERR_NONE && w)
                f.wkt = w;
            CPLFree(w);
        }
        if (verify) {
            std::error_code ec;
            if (!fs::exists(f.path, ec)) {
                error = f.path + " is missing: the catalogue " + vpcPath + " lists it";
                return false;
            }
            CLASIO las;
            if (!las.LoadFile(f.path)) {
                error = f.path + " (listed in the catalogue " + vpcPath + "): " + las.lastError();
                return false;
            }
            const PointHeader &h = las.header;
            if (h.numberOfPointRecords != f.count) {
                error = f.path + " holds " + std::to_string(h.numberOfPointRecords) + " points, the catalogue " +
                        vpcPath + " gives " + std::to_string(f.count);
                return false;
            }
            // Bounds agree to the coordinates' resolution (a catalogue may
            // round them when it writes them).
            auto near = [](double a, double b, double scale) {
                return std::fabs(a - b) <= std::max(scale, 1e-9 * std::max(std::fabs(a), std::fabs(b))) + 1e-9;
            };
            const bool agree = near(h.minX, f.minX, h.scaleX) && near(h.maxX, f.maxX, h.scaleX) &&
                               near(h.minY, f.minY, h.scaleY) && near(h.maxY, f.maxY, h.scaleY) &&
                               (b.size() == 4 || (near(h.minZ, f.minZ, h.scaleZ) && near(h.maxZ, f.maxZ, h.scaleZ)));
            if (!agree) {
                error = f.path + ": its header's bounds X " + number(h.minX) + ".." + number(h.maxX) + ", Y " +
                        number(h.minY) + ".." + number(h.maxY) + " disagree with the catalogue " + vpcPath +
                        " (X " + number(f.minX) + ".." + number(f.maxX) + ", Y " + number(f.minY) + ".." +
                        number(f.maxY) + ")";
                return false;
            }
        }
        references.emplace_back(f.path, f.wkt);
        out.files.push_back(f);
        out.addBounds(f);
    }
    if (mixedReferences(references)) {
        error = vpcPath + ": " + mismatchText(references);
        return false;
    }
    out.wkt = out.files.front().wkt;
    return true;
}

}  // namespace VerdantaIO
