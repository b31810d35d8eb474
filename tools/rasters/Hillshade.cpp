#include "Hillshade.h"

#include "RasterIO.h"

#include <gdal.h>

#include <cmath>
#include <vector>

bool computeHillshade(const std::string &demPath, const std::string &output, const HillshadeParameters &p,
                      std::string *error)
{
    auto fail = [&](const char *text) {
        if (error)
            *error = text;
        return false;
    };
    VerdantaIO::EnsureGdal();
    GDALDatasetH src = GDALOpen(demPath.c_str(), GA_ReadOnly);
    if (!src)
        return fail("The DEM cannot be opened");
    const int w = GDALGetRasterXSize(src), h = GDALGetRasterYSize(src), bands = GDALGetRasterCount(src);
    double gt[6] = {0, 1, 0, 0, 0, -1};
    GDALGetGeoTransform(src, gt);
    GDALDriverH driver = GDALGetDriverByName("GTiff");
    if (!driver || bands < 1) {
        GDALClose(src);
        return fail("The GTiff driver is missing or the DEM has no band");
    }
    GDALDatasetH dst = GDALCreate(driver, output.c_str(), w, h, bands,
                                  GDALGetRasterDataType(GDALGetRasterBand(src, 1)), nullptr);
    if (!dst) {
        GDALClose(src);
        return fail("The hillshade file cannot be created");
    }
    GDALSetGeoTransform(dst, gt);
    GDALSetProjection(dst, GDALGetProjectionRef(src));

    const double deg = 3.14159265358979323846 / 180.0;
    const double nsres = gt[5], ewres = gt[1];
    const double sinAlt = std::sin(p.elevation * deg);
    const double azRad = p.azimuth * deg;
    const double zFactor = p.terrainScale / (8.0 * 1.0);
    const double cosAltZ = std::cos(p.elevation * deg) * zFactor;
    const double zFactorSquared = zFactor * zFactor;

    bool ok = true;
    for (int b = 1; b <= bands && ok; ++b) {
        GDALRasterBandH in = GDALGetRasterBand(src, b), out = GDALGetRasterBand(dst, b);
        int hasS = 0, hasD = 0;
        const double S = GDALGetRasterNoDataValue(in, &hasS);
        double D = GDALGetRasterNoDataValue(out, &hasD);
        if (!hasD)
            D = 0.0;
        std::vector<float> line(w, static_cast<float>(D));
        std::vector<std::vector<float>> window(3, std::vector<float>(w));
        auto write = [&](int row) {
            return GDALRasterIO(out, GF_Write, 0, row, w, 1, line.data(), w, 1, GDT_Float32, 0, 0) == CE_None;
        };
        auto read = [&](int row, std::vector<float> &into) {
            return GDALRasterIO(in, GF_Read, 0, row, w, 1, into.data(), w, 1, GDT_Float32, 0, 0) == CE_None;
        };
        // The first and last rows are no-data.
        std::fill(line.begin(), line.end(), static_cast<float>(D));
        ok = write(0) && (h < 2 || write(h - 1));
        if (h < 3 || w < 3) {
            for (int r = 1; r < h - 1 && ok; ++r)
                ok = write(r);
            continue;
        }
        ok = ok && read(0, window[0]) && read(1, window[1]);
        for (int r = 1; r < h - 1 && ok; ++r) {
            ok = read(r + 1, window[(r + 1) % 3]);
            const std::vector<float> &above = window[(r - 1) % 3], &here = window[r % 3], &below = window[(r + 1) % 3];
            line[0] = line[w - 1] = static_cast<float>(D);
            for (int c = 1; c < w - 1; ++c) {
                const float v[9] = {above[c - 1], above[c], above[c + 1], here[c - 1], here[c],
                                    here[c + 1],  below[c - 1], below[c], below[c + 1]};
                bool hole = false;
                if (hasS)
                    for (float x : v)
                        hole = hole || x == static_cast<float>(S);
                if (hole) {
                    line[c] = static_cast<float>(D);
                    continue;
                }
                const double x = ((v[0] + 2 * v[3] + v[6]) - (v[2] + 2 * v[5] + v[8])) / ewres;
                const double y = ((v[6] + 2 * v[7] + v[8]) - (v[0] + 2 * v[1] + v[2])) / nsres;
                const double aspect = std::atan2(y, x);
                const double xx = x * x + y * y;
                const double cang = (sinAlt - cosAltZ * std::sqrt(xx) * std::sin(aspect - azRad)) /
                                    std::sqrt(1 + zFactorSquared * xx);
                line[c] = cang <= 0 ? 1.0f : static_cast<float>(1 + 254 * cang);
            }
            ok = ok && write(r);
        }
    }
    GDALClose(dst);
    GDALClose(src);
    return ok ? true : fail("A row could not be read or written");
}
