#include "RasterIO.h"

#include <cpl_conv.h>
#include <cpl_error.h>
#include <gdal_priv.h>
#include <gdal_utils.h>
#include <ogr_spatialref.h>

#include <mutex>

namespace VerdantaIO {

void EnsureGdal()
{
    static std::once_flag once;
    std::call_once(once, [] {
        GDALAllRegister();
        // Errors are reported through return values, never printed.
        CPLSetErrorHandler(CPLQuietErrorHandler);
    });
}

std::string WktOf(const OGRSpatialReference *srs)
{
    std::string out;
    char *wkt = nullptr;
    if (srs && srs->exportToWkt(&wkt) == OGRERR_NONE && wkt)
        out = wkt;
    CPLFree(wkt);
    return out;
}

CRasterIO::CRasterIO() { EnsureGdal(); }

CRasterIO::~CRasterIO() { Close(); }

void CRasterIO::Close()
{
    if (dataset_) {
        GDALClose(dataset_);
        dataset_ = nullptr;
    }
}

void CRasterIO::describe()
{
    width = dataset_->GetRasterXSize();
    height = dataset_->GetRasterYSize();
    bandCount = dataset_->GetRasterCount();
    GDALDriver *driver = dataset_->GetDriver();
    driverName = driver ? driver->GetDescription() : "";
    if (bandCount > 0) {
        GDALRasterBand *band = dataset_->GetRasterBand(1);
        dataType = band->GetRasterDataType();
        bytesPerSample = GDALGetDataTypeSizeBytes(band->GetRasterDataType());
        int has = 0;
        noDataValue = band->GetNoDataValue(&has);
        hasNoData = has != 0;
    }
    double gt[6];
    hasGeoTransform = dataset_->GetGeoTransform(gt) == CE_None;
    if (hasGeoTransform)
        for (int i = 0; i < 6; ++i)
            geoTransform[i] = gt[i];
    else
        geoTransform = {{0.0, 1.0, 0.0, 0.0, 0.0, 1.0}};
    spatialReference = WktOf(dataset_->GetSpatialRef());
    upperLeftX = geoTransform[0];
    upperLeftY = geoTransform[3];
    lowerRightX = geoTransform[0] + width * geoTransform[1] + height * geoTransform[2];
    lowerRightY = geoTransform[3] + width * geoTransform[4] + height * geoTransform[5];
}

bool CRasterIO::LoadFile(const std::string &filePath)
{
    Close();
    path = filePath;
    dataset_ = static_cast<GDALDataset *>(GDALOpen(filePath.c_str(), GA_ReadOnly));
    if (!dataset_) {
        error_ = "Could not open the raster " + filePath;
        return false;
    }
    if (dataset_->GetRasterCount() < 1 || dataset_->GetRasterXSize() < 1 ||
        dataset_->GetRasterYSize() < 1) {
        error_ = "The raster " + filePath + " has no cells";
        Close();
        return false;
    }
    describe();
    return true;
}

bool CRasterIO::GetRasterGrayBlock(int band, int x, int y, int w, int h, float *buffer)
{
    if (!dataset_ || band < 1 || band > bandCount || x < 0 || y < 0 || w < 1 || h < 1 ||
        x + w > width || y + h > height || !buffer) {
        error_ = "The block lies outside the raster";
        return false;
    }
    return dataset_->GetRasterBand(band)->RasterIO(GF_Read, x, y, w, h, buffer, w, h, GDT_Float32,
                                                   0, 0) == CE_None;
}

bool CRasterIO::Createfile(const std::string &filePath, int columns, int rows, int bands,
                           int gdalDataType, const std::string &driver)
{
    Close();
    path = filePath;
    GDALDriver *drv = GetGDALDriverManager()->GetDriverByName(driver.c_str());
    if (!drv || columns < 1 || rows < 1 || bands < 1) {
        error_ = "Could not create the raster " + filePath;
        return false;
    }
    dataset_ = drv->Create(filePath.c_str(), columns, rows, bands,
                           static_cast<GDALDataType>(gdalDataType), nullptr);
    if (!dataset_) {
        error_ = "Could not create the raster " + filePath;
        return false;
    }
    double gt[6];
    for (int i = 0; i < 6; ++i)
        gt[i] = geoTransform[i];
    dataset_->SetGeoTransform(gt);
    if (!spatialReference.empty()) {
        OGRSpatialReference srs;
        if (srs.importFromWkt(spatialReference.c_str()) == OGRERR_NONE)
            dataset_->SetSpatialRef(&srs);
    }
    describe();
    return true;
}

namespace {
template <typename T>
bool writeBlock(GDALDataset *dataset, int bandCount, int width, int height, std::string &error, int band, int x, int y,
                int w, int h, const T *buffer, GDALDataType type)
{
    if (!dataset || band < 1 || band > bandCount || x < 0 || y < 0 || w < 1 || h < 1 || x + w > width ||
        y + h > height || !buffer) {
        error = "The block lies outside the raster";
        return false;
    }
    return dataset->GetRasterBand(band)->RasterIO(GF_Write, x, y, w, h, const_cast<T *>(buffer), w, h, type, 0, 0) ==
           CE_None;
}
}  // namespace

bool CRasterIO::WriteRasterBlock(int band, int x, int y, int w, int h, const float *buffer)
{
    return writeBlock(dataset_, bandCount, width, height, error_, band, x, y, w, h, buffer, GDT_Float32);
}

bool CRasterIO::WriteRasterBlock(int band, int x, int y, int w, int h, const double *buffer)
{
    return writeBlock(dataset_, bandCount, width, height, error_, band, x, y, w, h, buffer, GDT_Float64);
}

bool CRasterIO::SetNoDataValue(double value)
{
    if (!dataset_)
        return false;
    bool ok = true;
    for (int b = 1; b <= bandCount; ++b)
        ok = dataset_->GetRasterBand(b)->SetNoDataValue(value) == CE_None && ok;
    hasNoData = ok;
    noDataValue = value;
    return ok;
}

bool TranslateRaster(const std::string &from, const std::string &to, const std::vector<std::string> &options,
                     std::string &error)
{
    GDALAllRegister();
    GDALDatasetH src = GDALOpen(from.c_str(), GA_ReadOnly);
    if (!src) {
        error = "Could not open the raster " + from;
        return false;
    }
    std::vector<char *> argv;
    for (const std::string &o : options)
        argv.push_back(const_cast<char *>(o.c_str()));
    argv.push_back(nullptr);
    GDALTranslateOptions *parsed = GDALTranslateOptionsNew(argv.data(), nullptr);
    int failed = 0;
    GDALDatasetH dst = GDALTranslate(to.c_str(), src, parsed, &failed);
    GDALTranslateOptionsFree(parsed);
    const bool ok = dst && !failed;
    if (dst)
        GDALClose(dst);
    GDALClose(src);
    if (!ok)
        error = "Could not write the raster " + to;
    return ok;
}

}  // namespace VerdantaIO
