// The coordinate reference of a LAS file, from its GeoTIFF key records
// (decoded with libgeotiff, see GeoKeys.cpp) or its OGC WKT record,
// returned as WKT via OSR.

#include "GeoKeys.h"
#include "LasFormat.h"
#include "RasterIO.h"

#include <ogr_spatialref.h>
#include <cpl_conv.h>


#include <memory>

namespace VerdantaIO {
namespace las {

namespace {

const VariableLengthRecord *findRecord(const PointHeader &h, uint16_t id)
{
    for (const auto *list : {&h.vlrs, &h.evlrs})
        for (const auto &v : *list)
            if (v.userId == "LASF_Projection" && v.recordId == id)
                return &v;
    return nullptr;
}

std::string toWkt(const OGRSpatialReference &srs) { return WktOf(&srs); }

std::string wktFromRecord(const VariableLengthRecord &v)
{
    std::string text(v.data.begin(), v.data.end());
    const auto nul = text.find('\0');
    if (nul != std::string::npos)
        text.resize(nul);
    if (text.find_first_not_of(" \t\r\n'\"") == std::string::npos)
        return std::string();  // an empty or quotes-only record names no reference
    OGRSpatialReference srs;
    if (srs.importFromWkt(text.c_str()) == OGRERR_NONE)
        return toWkt(srs);
    // Some writers close a COMPD_CS too early, leaving its vertical part
    // outside; keep the horizontal system that is still well formed.
    for (const char *tag : {"PROJCS[", "GEOGCS["}) {
        const size_t start = text.find(tag);
        if (start == std::string::npos)
            continue;
        int depth = 0;
        for (size_t i = start; i < text.size(); ++i) {
            if (text[i] == '[')
                ++depth;
            else if (text[i] == ']' && --depth == 0) {
                OGRSpatialReference part;
                if (part.importFromWkt(text.substr(start, i + 1 - start).c_str()) == OGRERR_NONE)
                    return toWkt(part);
                break;
            }
        }
    }
    return std::string();
}

// Reads the GeoKeyDirectory (with its double and ASCII parameters) and
// turns what libgeotiff makes of it into WKT.
std::string wktFromGeoKeys(const VariableLengthRecord &dir, const VariableLengthRecord *doubles,
                           const VariableLengthRecord *ascii, bool &fromEpsg)
{
    fromEpsg = false;
    if (dir.data.size() < 8 || dir.data.size() % 2 != 0)
        return std::string();
    std::vector<uint16_t> keys(dir.data.size() / 2);
    std::memcpy(keys.data(), dir.data.data(), keys.size() * 2);
    std::vector<double> params;
    if (doubles && doubles->data.size() >= 8) {
        params.resize(doubles->data.size() / 8);
        std::memcpy(params.data(), doubles->data.data(), params.size() * 8);
    }
    std::string text;
    if (ascii)
        text.assign(ascii->data.begin(), ascii->data.end());
    GeoKeyDefinition def;
    if (!decodeGeoKeys(keys, params, text, def))
        return std::string();

    OGRSpatialReference horizontal;
    bool ok = false;
    for (int code : def.horizontalEpsg) {
        if (code > 0 && horizontal.importFromEPSG(code) == OGRERR_NONE) {
            ok = true;
            break;
        }
    }
    fromEpsg = ok;
    if (!ok && !def.proj4.empty())
        ok = horizontal.importFromProj4(def.proj4.c_str()) == OGRERR_NONE;
    if (!ok)
        return std::string();
    if (def.verticalEpsg > 0) {
        OGRSpatialReference vert;
        if (vert.importFromEPSG(def.verticalEpsg) == OGRERR_NONE) {
            OGRSpatialReference compound;
            const std::string name = std::string(horizontal.GetName() ? horizontal.GetName() : "") +
                                     " + " + (vert.GetName() ? vert.GetName() : "");
            if (compound.SetCompoundCS(name.c_str(), &horizontal, &vert) == OGRERR_NONE)
                return toWkt(compound);
        }
    }
    return toWkt(horizontal);
}

}  // namespace

SpatialReference referenceFromRecords(const PointHeader &h)
{
    EnsureGdal();
    const VariableLengthRecord *wktRecord = findRecord(h, 2112);
    const VariableLengthRecord *keyDir = findRecord(h, 34735);
    const bool wktFlag = (h.reserved & kGlobalEncodingWkt) != 0;

    // The WKT record wins when the file says so, or when the GeoTIFF keys
    // describe a user-defined system (the WKT then names it more fully).
    std::string wkt;
    if (wktRecord && (wktFlag || !keyDir))
        wkt = wktFromRecord(*wktRecord);
    if (wkt.empty() && keyDir) {
        bool fromEpsg = false;
        wkt = wktFromGeoKeys(*keyDir, findRecord(h, 34736), findRecord(h, 34737), fromEpsg);
        if (!fromEpsg && wktRecord) {
            const std::string recorded = wktFromRecord(*wktRecord);
            if (!recorded.empty())
                wkt = recorded;
        }
    }
    if (wkt.empty() && wktRecord)
        wkt = wktFromRecord(*wktRecord);
    return SpatialReference(wkt);
}

}  // namespace las
}  // namespace VerdantaIO
