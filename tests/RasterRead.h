#pragma once
// Reads band 1 of a raster with GDAL directly, independently of the IO
// library, for checking what the tools wrote.

#include <gdal.h>

#include <QFile>
#include <QString>

#include <algorithm>
#include <vector>

struct TestRaster {
    int w = 0, h = 0;
    double gt[6] = {0, 1, 0, 0, 0, -1};
    std::vector<float> v;
    double noData = 0;
    bool hasNoData = false;

    float at(int r, int c) const { return v[size_t(r) * w + c]; }
    // Bilinear between cell centres, clamped at the edges.
    double sample(double x, double y) const
    {
        double u = (x - gt[0]) / gt[1] - 0.5, t = (y - gt[3]) / gt[5] - 0.5;
        u = std::clamp(u, 0.0, double(w - 1));
        t = std::clamp(t, 0.0, double(h - 1));
        const int c0 = std::min(int(u), w - 1), r0 = std::min(int(t), h - 1);
        const int c1 = std::min(c0 + 1, w - 1), r1 = std::min(r0 + 1, h - 1);
        const double fu = u - c0, ft = t - r0;
        return (at(r0, c0) * (1 - fu) + at(r0, c1) * fu) * (1 - ft) + (at(r1, c0) * (1 - fu) + at(r1, c1) * fu) * ft;
    }
};

inline TestRaster readRaster(const QString &path)
{
    TestRaster r;
    GDALAllRegister();
    GDALDatasetH ds = GDALOpen(QFile::encodeName(path).constData(), GA_ReadOnly);
    if (!ds)
        return r;
    r.w = GDALGetRasterXSize(ds);
    r.h = GDALGetRasterYSize(ds);
    GDALGetGeoTransform(ds, r.gt);
    GDALRasterBandH band = GDALGetRasterBand(ds, 1);
    int has = 0;
    r.noData = GDALGetRasterNoDataValue(band, &has);
    r.hasNoData = has;
    r.v.resize(size_t(r.w) * r.h);
    GDALRasterIO(band, GF_Read, 0, 0, r.w, r.h, r.v.data(), r.w, r.h, GDT_Float32, 0, 0);
    GDALClose(ds);
    return r;
}
