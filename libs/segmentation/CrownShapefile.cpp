#include "CrownShapefile.h"

#include <ogr_spatialref.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <memory>

namespace CrownShapefile {

namespace {

constexpr int32_t kPolygon = 5;
constexpr int kFieldWidth = 11;  // the widest 32-bit number and a sign

void putBig(std::vector<uint8_t> &b, size_t at, int32_t v)
{
    const uint32_t u = static_cast<uint32_t>(v);
    b[at] = uint8_t(u >> 24);
    b[at + 1] = uint8_t(u >> 16);
    b[at + 2] = uint8_t(u >> 8);
    b[at + 3] = uint8_t(u);
}
template <class T> void putLittle(std::vector<uint8_t> &b, size_t at, T v) { std::memcpy(&b[at], &v, sizeof v); }
template <class T> void appendLittle(std::vector<uint8_t> &b, T v)
{
    const size_t at = b.size();
    b.resize(at + sizeof v);
    std::memcpy(&b[at], &v, sizeof v);
}
void appendBig(std::vector<uint8_t> &b, int32_t v)
{
    const size_t at = b.size();
    b.resize(at + 4);
    putBig(b, at, v);
}

// The 100-byte header shared by .shp and .shx.
std::vector<uint8_t> mainHeader(uint64_t bytes, const double box[4])
{
    std::vector<uint8_t> h(100, 0);
    putBig(h, 0, 9994);
    putBig(h, 24, static_cast<int32_t>(bytes / 2));
    putLittle<int32_t>(h, 28, 1000);
    putLittle<int32_t>(h, 32, kPolygon);
    for (int k = 0; k < 4; ++k)
        putLittle<double>(h, 36 + 8 * k, box[k]);
    return h;
}

struct File {
    std::FILE *f = nullptr;
    ~File()
    {
        if (f)
            std::fclose(f);
    }
};

bool writeAll(std::FILE *f, const std::vector<uint8_t> &b) { return std::fwrite(b.data(), 1, b.size(), f) == b.size(); }

std::string sibling(const std::string &shp, const char *suffix)
{
    const size_t dot = shp.find_last_of('.'), slash = shp.find_last_of("/\\");
    const bool hasSuffix = dot != std::string::npos && (slash == std::string::npos || dot > slash);
    return (hasSuffix ? shp.substr(0, dot) : shp) + suffix;
}

}  // namespace

bool write(const std::string &shpPath, const std::string &wkt, const std::array<double, 6> &geo,
           const std::vector<std::vector<CrownOutlines::Part>> &outlines, const std::vector<uint32_t> &numbers,
           std::string &error)
{
    const std::string shxPath = sibling(shpPath, ".shx"), dbfPath = sibling(shpPath, ".dbf");
    File shp, shx, dbf;
    shp.f = std::fopen(shpPath.c_str(), "wb");
    shx.f = std::fopen(shxPath.c_str(), "wb");
    dbf.f = std::fopen(dbfPath.c_str(), "wb");
    if (!shp.f || !shx.f || !dbf.f) {
        error = shpPath + ": the crown polygons could not be written";
        return false;
    }
    // Headers first as placeholders: their lengths, counts and bounds are
    // known at the end.
    const double none[4] = {0, 0, 0, 0};
    bool ok = writeAll(shp.f, mainHeader(100, none)) && writeAll(shx.f, mainHeader(100, none));
    std::vector<uint8_t> dbfHeader(32 + 32 + 1, 0);
    dbfHeader[0] = 3;
    const std::time_t now = std::time(nullptr);
    const std::tm *date = std::gmtime(&now);
    dbfHeader[1] = uint8_t(date ? date->tm_year : 100);
    dbfHeader[2] = uint8_t(date ? date->tm_mon + 1 : 1);
    dbfHeader[3] = uint8_t(date ? date->tm_mday : 1);
    putLittle<uint16_t>(dbfHeader, 8, uint16_t(dbfHeader.size()));
    putLittle<uint16_t>(dbfHeader, 10, uint16_t(1 + kFieldWidth));
    std::memcpy(&dbfHeader[32], "TreeID", 6);
    dbfHeader[32 + 11] = 'N';
    dbfHeader[32 + 16] = kFieldWidth;
    dbfHeader[64] = 0x0D;
    ok = ok && writeAll(dbf.f, dbfHeader);

    // Outer rings go clockwise on the map and holes counter-clockwise; the
    // traced rings turn the other way as drawn, so a north-up grid reverses
    // them.
    const bool reverse = geo[1] * geo[5] - geo[2] * geo[4] < 0;
    double box[4] = {0, 0, 0, 0};
    bool first = true;
    uint64_t shpBytes = 100;
    int32_t records = 0;
    std::vector<uint8_t> shpBlock, shxBlock, dbfBlock, content;
    std::vector<const CrownOutlines::Ring *> rings;
    std::vector<double> xy;
    char field[kFieldWidth + 2];
    for (size_t t = 0; ok && t < outlines.size(); ++t) {
        if (outlines[t].empty())
            continue;
        rings.clear();
        for (const CrownOutlines::Part &part : outlines[t]) {
            rings.push_back(&part.outer);
            for (const CrownOutlines::Ring &hole : part.holes)
                rings.push_back(&hole);
        }
        xy.clear();
        content.clear();
        std::vector<int32_t> starts;
        double rbox[4] = {0, 0, 0, 0};
        for (const CrownOutlines::Ring *ring : rings) {
            starts.push_back(static_cast<int32_t>(xy.size() / 2));
            const std::vector<int32_t> &c = ring->corners;
            const size_t k = c.size() / 2;
            for (size_t j = 0; j <= k; ++j) {
                const size_t s = j == k ? (reverse ? k - 1 : 0) : (reverse ? k - 1 - j : j);
                const double x = geo[0] + c[2 * s] * geo[1] + c[2 * s + 1] * geo[2];
                const double y = geo[3] + c[2 * s] * geo[4] + c[2 * s + 1] * geo[5];
                if (xy.empty()) {
                    rbox[0] = rbox[2] = x;
                    rbox[1] = rbox[3] = y;
                }
                rbox[0] = std::min(rbox[0], x);
                rbox[1] = std::min(rbox[1], y);
                rbox[2] = std::max(rbox[2], x);
                rbox[3] = std::max(rbox[3], y);
                xy.push_back(x);
                xy.push_back(y);
            }
        }
        appendLittle<int32_t>(content, kPolygon);
        for (double v : rbox)
            appendLittle<double>(content, v);
        appendLittle<int32_t>(content, static_cast<int32_t>(starts.size()));
        appendLittle<int32_t>(content, static_cast<int32_t>(xy.size() / 2));
        for (int32_t s : starts)
            appendLittle<int32_t>(content, s);
        const size_t at = content.size();
        content.resize(at + xy.size() * sizeof(double));
        std::memcpy(&content[at], xy.data(), xy.size() * sizeof(double));

        ++records;
        appendBig(shxBlock, static_cast<int32_t>(shpBytes / 2));
        appendBig(shxBlock, static_cast<int32_t>(content.size() / 2));
        appendBig(shpBlock, records);
        appendBig(shpBlock, static_cast<int32_t>(content.size() / 2));
        shpBlock.insert(shpBlock.end(), content.begin(), content.end());
        shpBytes += 8 + content.size();
        std::snprintf(field, sizeof field, " %*lld", kFieldWidth, static_cast<long long>(numbers[t]));
        dbfBlock.insert(dbfBlock.end(), field, field + 1 + kFieldWidth);
        if (first) {
            std::copy(rbox, rbox + 4, box);
            first = false;
        }
        box[0] = std::min(box[0], rbox[0]);
        box[1] = std::min(box[1], rbox[1]);
        box[2] = std::max(box[2], rbox[2]);
        box[3] = std::max(box[3], rbox[3]);
        if (shpBlock.size() > (8u << 20)) {
            ok = writeAll(shp.f, shpBlock) && writeAll(shx.f, shxBlock) && writeAll(dbf.f, dbfBlock);
            shpBlock.clear();
            shxBlock.clear();
            dbfBlock.clear();
        }
        if (shpBytes > 0x7ffffff0ull) {
            error = shpPath + ": the crown polygons exceed the 2 GB a shapefile can hold";
            return false;
        }
    }
    dbfBlock.push_back(0x1A);
    ok = ok && writeAll(shp.f, shpBlock) && writeAll(shx.f, shxBlock) && writeAll(dbf.f, dbfBlock);
    putLittle<uint32_t>(dbfHeader, 4, static_cast<uint32_t>(records));
    ok = ok && std::fseek(shp.f, 0, SEEK_SET) == 0 && writeAll(shp.f, mainHeader(shpBytes, box)) &&
         std::fseek(shx.f, 0, SEEK_SET) == 0 && writeAll(shx.f, mainHeader(100 + 8ull * records, box)) &&
         std::fseek(dbf.f, 0, SEEK_SET) == 0 && writeAll(dbf.f, dbfHeader);
    for (File *f : {&shp, &shx, &dbf}) {
        ok = std::fclose(f->f) == 0 && ok;
        f->f = nullptr;
    }
    if (ok && !wkt.empty()) {
        // The reference in the ESRI flavour of WKT that .prj files hold.
        OGRSpatialReference srs;
        char *esri = nullptr;
        if (srs.importFromWkt(wkt.c_str()) == OGRERR_NONE && srs.morphToESRI() == OGRERR_NONE &&
            srs.exportToWkt(&esri) == OGRERR_NONE && esri) {
            std::unique_ptr<std::FILE, int (*)(std::FILE *)> prj(std::fopen(sibling(shpPath, ".prj").c_str(), "wb"),
                                                                 std::fclose);
            ok = prj && std::fputs(esri, prj.get()) >= 0;
        }
        CPLFree(esri);
    }
    if (!ok)
        error = shpPath + ": the crown polygons could not be written";
    return ok;
}

}  // namespace CrownShapefile
