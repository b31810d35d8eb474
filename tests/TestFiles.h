#pragma once
// Small input files for tests: LAS clouds written through the IO library
// from a per-point rule, GeoTIFFs written with GDAL directly, raw bytes, a
// GeoKey record for the byte-level builder, and the line count of a written
// text file.

#include "LasBytes.h"
#include "LasIO.h"

#include <gdal.h>

#include <QFile>
#include <QString>

#include <cmath>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

inline std::string s(const QString &q) { return QFile::encodeName(q).toStdString(); }

// n points, of format 1 unless the header says otherwise, each set by `fill`.
inline bool writeCloud(const QString &path, int n, const std::function<void(int, VerdantaIO::PointCloud &)> &fill,
                       VerdantaIO::PointHeader header = {})
{
    VerdantaIO::CLASIO las;
    las.header = header;
    if (las.header.pointDataFormat == 0)
        las.header.pointDataFormat = 1;
    for (int i = 0; i < n; ++i) {
        VerdantaIO::PointCloud p;
        fill(i, p);
        las.points.push_back(p);
    }
    return las.WriteLas(s(path));
}

// A Float32 GeoTIFF of w x h cells with the given geotransform; every band
// holds value(column, row) and, when it is a number, the no-data value.
inline bool writeTif(const QString &path, int w, int h, const std::vector<double> &gt,
                     const std::function<float(int, int)> &value, int bands = 1, double noData = std::nan(""))
{
    GDALAllRegister();
    GDALDatasetH ds = GDALCreate(GDALGetDriverByName("GTiff"), s(path).c_str(), w, h, bands, GDT_Float32, nullptr);
    if (!ds)
        return false;
    double t[6];
    std::copy(gt.begin(), gt.begin() + 6, t);
    GDALSetGeoTransform(ds, t);
    std::vector<float> v(size_t(w) * h);
    for (int r = 0; r < h; ++r)
        for (int c = 0; c < w; ++c)
            v[size_t(r) * w + c] = value(c, r);
    bool ok = true;
    for (int b = 1; b <= bands; ++b) {
        if (!std::isnan(noData))
            GDALSetRasterNoDataValue(GDALGetRasterBand(ds, b), noData);
        ok = GDALRasterIO(GDALGetRasterBand(ds, b), GF_Write, 0, 0, w, h, v.data(), w, h, GDT_Float32, 0, 0) ==
                 CE_None && ok;
    }
    GDALClose(ds);
    return ok;
}

inline bool writeBytes(const QString &path, const QByteArray &bytes)
{
    QFile f(path);
    return f.open(QIODevice::WriteOnly | QIODevice::Truncate) && f.write(bytes) == bytes.size();
}

inline int lineCount(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll().count('\n') : -1;
}

// GeoKeyDirectory naming EPSG:32633 (WGS 84 / UTM zone 33N).
inline lasbytes::Vlr utm33Keys()
{
    const uint16_t keys[] = {1, 1, 0, 3, 1024, 0, 1, 1, 1025, 0, 1, 1, 3072, 0, 1, 32633};
    lasbytes::Vlr v;
    v.userId = "LASF_Projection";
    v.recordId = 34735;
    v.data.resize(sizeof keys);
    std::memcpy(v.data.data(), keys, sizeof keys);
    return v;
}
