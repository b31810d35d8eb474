#include "GeoKeys.h"

#include <geo_normalize.h>
#include <geo_simpletags.h>
#include <geo_tiffp.h>
#include <geotiff.h>
#include <geovalues.h>
#include <proj.h>

#include <memory>

namespace VerdantaIO {
namespace las {

namespace {
// libgeotiff and PROJ report problems through callbacks that stay silent
// here: a bad key set simply yields no reference.
void silentGeoTiff(GTIF *, int, const char *, ...) {}
void silentProj(void *, int, const char *) {}

bool userCode(unsigned short code) { return code == KvUserDefined || code == 0; }
}  // namespace

bool decodeGeoKeys(std::vector<uint16_t> keys, std::vector<double> params, std::string ascii,
                   GeoKeyDefinition &out)
{
    out = GeoKeyDefinition();
    if (keys.size() < 4)
        return false;
    // The directory announces 4 shorts per key after a 4-short header.
    const size_t announced = 4 + 4 * static_cast<size_t>(keys[3]);
    if (announced > keys.size())
        return false;
    keys.resize(announced);

    std::unique_ptr<ST_TIFF, void (*)(ST_TIFF *)> st(ST_Create(), ST_Destroy);
    ST_SetKey(st.get(), 34735, static_cast<int>(keys.size()), STT_SHORT, keys.data());
    if (!params.empty())
        ST_SetKey(st.get(), 34736, static_cast<int>(params.size()), STT_DOUBLE, params.data());
    if (!ascii.empty())
        ST_SetKey(st.get(), 34737, static_cast<int>(ascii.size()) + 1, STT_ASCII, &ascii[0]);

    TIFFMethod methods;
    GTIFSetSimpleTagsMethods(&methods);
    GTIF *gt = GTIFNewWithMethodsEx(st.get(), &methods, silentGeoTiff, nullptr);
    if (!gt)
        return false;
    std::unique_ptr<PJ_CONTEXT, void (*)(PJ_CONTEXT *)> proj(
        proj_context_create(), [](PJ_CONTEXT *c) { proj_context_destroy(c); });
    if (proj) {
        proj_log_func(proj.get(), nullptr, silentProj);
        proj_log_level(proj.get(), PJ_LOG_NONE);
        GTIFAttachPROJContext(gt, proj.get());
    }

    // An EPSG code in the keys is taken as it stands (some files omit the
    // model type key); user-defined systems go through PROJ.
    unsigned short code = 0;
    if (GTIFKeyGetSHORT(gt, ProjectedCSTypeGeoKey, &code, 0, 1) == 1 && !userCode(code))
        out.horizontalEpsg.push_back(code);
    GTIFDefn *defn = GTIFAllocDefn();
    bool ok = defn && GTIFGetDefn(gt, defn);
    if (ok) {
        if (!userCode(static_cast<unsigned short>(defn->PCS)))
            out.horizontalEpsg.push_back(defn->PCS);
        if (!userCode(static_cast<unsigned short>(defn->GCS)) && defn->Model == ModelTypeGeographic)
            out.horizontalEpsg.push_back(defn->GCS);
        char *proj4 = GTIFGetProj4Defn(defn);
        if (proj4)
            out.proj4 = proj4;
        GTIFFreeMemory(proj4);
    }
    if (GTIFKeyGetSHORT(gt, GeographicTypeGeoKey, &code, 0, 1) == 1 && !userCode(code))
        out.horizontalEpsg.push_back(code);
    if (GTIFKeyGetSHORT(gt, VerticalCSTypeGeoKey, &code, 0, 1) == 1 && !userCode(code))
        out.verticalEpsg = code;
    if (defn)
        GTIFFreeDefn(defn);
    GTIFFree(gt);
    return !out.horizontalEpsg.empty() || !out.proj4.empty();
}

}  // namespace las
}  // namespace VerdantaIO
