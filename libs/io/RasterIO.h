#pragma once
// GeoTIFF (and any GDAL raster) access for the application.

#include <array>
#include <string>
#include <vector>

class GDALDataset;
class OGRSpatialReference;

namespace VerdantaIO {

// Copies a raster with GDAL's translation (gdal_translate's options, such
// as "-of", "COG" or "-srcwin", c0, r0, w, h); false with `error` set.
bool TranslateRaster(const std::string &from, const std::string &to, const std::vector<std::string> &options,
                     std::string &error);

class CRasterIO {
public:
    CRasterIO();
    ~CRasterIO();
    CRasterIO(const CRasterIO &) = delete;
    CRasterIO &operator=(const CRasterIO &) = delete;

    // Opens a raster for reading and fills the description members.
    bool LoadFile(const std::string &path);
    // Reads a block of one band (1-based) as 32-bit floats into buffer
    // (width x height, row by row).
    bool GetRasterGrayBlock(int band, int xOffset, int yOffset, int width, int height, float *buffer);
    // Creates a raster for writing; geoTransform (and spatialReference, when
    // not empty) are set on the object beforehand.
    bool Createfile(const std::string &path, int columns, int rows, int bands, int gdalDataType,
                    const std::string &driverName = "GTiff");
    // Writes a block of one band (1-based) from 32-bit floats.
    bool WriteRasterBlock(int band, int xOffset, int yOffset, int width, int height, const float *buffer);
    // The same from 64-bit floats.
    bool WriteRasterBlock(int band, int xOffset, int yOffset, int width, int height, const double *buffer);
    // Declares the no-data value of every band of the file being written.
    bool SetNoDataValue(double value);
    // Flushes and closes the file.
    void Close();

    const std::string &lastError() const { return error_; }

    std::string path;
    int width = 0;
    int height = 0;
    int bandCount = 0;
    int bytesPerSample = 0;
    int dataType = 0;  // GDALDataType code
    std::string driverName;
    std::array<double, 6> geoTransform{{0.0, 1.0, 0.0, 0.0, 0.0, -1.0}};
    std::string spatialReference;  // WKT, empty when none
    bool hasGeoTransform = false;
    bool hasNoData = false;
    double noDataValue = 0.0;
    // Corners from the geotransform.
    double upperLeftX = 0.0, upperLeftY = 0.0, lowerRightX = 0.0, lowerRightY = 0.0;

private:
    void describe();

    GDALDataset *dataset_ = nullptr;
    std::string error_;
};

// Registers the GDAL drivers once per process.
void EnsureGdal();

// The WKT of a GDAL spatial reference; empty for none.
std::string WktOf(const OGRSpatialReference *srs);

}  // namespace VerdantaIO
