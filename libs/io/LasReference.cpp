// The coordinate reference of a LAS file, from its GeoTIFF key records
// (decoded with libgeotiff) or its OGC WKT record, returned as WKT via OSR.

#include "LasFormat.h"
#include "RasterIO.h"

#include <ogr_spatialref.h>
#include <cpl_conv.h>

#include <geo_normalize.h>
#include <geo_simpletags.h>
#include <geotiff.h>
#include <geovalues.h>

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

std::string toWkt(const OGRSpatialReference &srs)
{
    char *text = nullptr;
    if (srs.exportToWkt(&text) != OGRERR_NONE || !text) {
        CPLFree(text);
        return std::string();
    }
    std::string wkt(text);
    CPLFree(text);
    return wkt;
}

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

// Reads the GeoKeyDirectory (with its double and ASCII parameters) through
// libgeotiff's in-memory tag methods and normalises it to a definition.
std::string wktFromGeoKeys(const VariableLengthRecord &dir, const VariableLengthRecord *doubles,
                           const VariableLengthRecord *ascii, bool &fromEpsg)
{
    fromEpsg = false;
    if (dir.data.size() < 8 || dir.data.size() % 2 != 0)
        return std::string();
    std::vector<uint16_t> keys(dir.data.size() / 2);
    std::memcpy(keys.data(), dir.data.data(), keys.size() * 2);
    // The directory announces 4 shorts per key after a 4-short header.
    const size_t announced = 4 + 4 * static_cast<size_t>(keys[3]);
    if (announced > keys.size())
        return std::string();
    keys.resize(announced);

    std::unique_ptr<ST_TIFF, void (*)(ST_TIFF *)> st(ST_Create(), ST_Destroy);
    ST_SetKey(st.get(), 34735, static_cast<int>(keys.size()), STT_SHORT, keys.data());
    std::vector<double> params;
    if (doubles && doubles->data.size() >= 8) {
        params.resize(doubles->data.size() / 8);
        std::memcpy(params.data(), doubles->data.data(), params.size() * 8);
        ST_SetKey(st.get(), 34736, static_cast<int>(params.size()), STT_DOUBLE, params.data());
    }
    std::string text;
    if (ascii && !ascii->data.empty()) {
        text.assign(ascii->data.begin(), ascii->data.end());
        ST_SetKey(st.get(), 34737, static_cast<int>(text.size()) + 1, STT_ASCII, &text[0]);
    }

    GTIF *gt = GTIFNewSimpleTags(st.get());
    if (!gt)
        return std::string();
    GTIFDefn *defn = GTIFAllocDefn();
    std::string wkt;
    if (defn && GTIFGetDefn(gt, defn)) {
        OGRSpatialReference horizontal;
        bool ok = false;
        // An EPSG code in the keys is taken as it stands (some files omit
        // the model type key); user-defined systems go through PROJ.
        unsigned short code = 0;
        if (GTIFKeyGetSHORT(gt, ProjectedCSTypeGeoKey, &code, 0, 1) == 1 && code != KvUserDefined && code > 0)
            ok = horizontal.importFromEPSG(code) == OGRERR_NONE;
        if (!ok && defn->PCS != KvUserDefined && defn->PCS > 0)
            ok = horizontal.importFromEPSG(defn->PCS) == OGRERR_NONE;
        if (!ok && GTIFKeyGetSHORT(gt, GeographicTypeGeoKey, &code, 0, 1) == 1 && code != KvUserDefined && code > 0)
            ok = horizontal.importFromEPSG(code) == OGRERR_NONE;
        if (!ok && defn->Model == ModelTypeGeographic && defn->GCS != KvUserDefined && defn->GCS > 0)
            ok = horizontal.importFromEPSG(defn->GCS) == OGRERR_NONE;
        fromEpsg = ok;
        if (!ok) {
            char *proj4 = GTIFGetProj4Defn(defn);
            if (proj4 && *proj4)
                ok = horizontal.importFromProj4(proj4) == OGRERR_NONE;
            GTIFFreeMemory(proj4);
        }
        if (ok) {
            unsigned short vertical = 0;
            if (GTIFKeyGetSHORT(gt, VerticalCSTypeGeoKey, &vertical, 0, 1) == 1 &&
                vertical != KvUserDefined && vertical > 0) {
                OGRSpatialReference vert;
                if (vert.importFromEPSG(vertical) == OGRERR_NONE) {
                    OGRSpatialReference compound;
                    std::string name = std::string(horizontal.GetName() ? horizontal.GetName() : "") +
                                       " + " + (vert.GetName() ? vert.GetName() : "");
                    if (compound.SetCompoundCS(name.c_str(), &horizontal, &vert) == OGRERR_NONE)
                        wkt = toWkt(compound);
                }
            }
            if (wkt.empty())
                wkt = toWkt(horizontal);
        }
    }
    if (defn)
        GTIFFreeDefn(defn);
    GTIFFree(gt);
    return wkt;
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
