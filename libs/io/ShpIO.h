#pragma once
// ESRI shapefile access for the application (points, lines and polygons,
// multi-part features and polygon holes).

#include <string>
#include <vector>

class OGRLayer;
class GDALDataset;

namespace VerdantaIO {

// One part of a feature: a point run, a line, or a polygon ring.
struct ShpPart {
    std::vector<double> x;
    std::vector<double> y;
    bool hole = false;  // an inner ring of a polygon
};

struct ShpFeature {
    std::vector<ShpPart> parts;
    int vertexCount = 0;  // over all parts
};

class CShpIO {
public:
    enum GeometryKind { Points = 0, Lines = 1, Polygons = 2, Unknown = -1 };

    CShpIO();
    ~CShpIO();
    CShpIO(const CShpIO &) = delete;
    CShpIO &operator=(const CShpIO &) = delete;

    bool LoadFile(const std::string &path);
    OGRLayer *GetLayerByIndex(int index);
    int layerCount() const;
    // Loads every feature of a layer into `features` with its geometry kind,
    // extent and spatial reference.
    bool GetLayerData(OGRLayer *layer);
    // Writes `features` (of kind `geometryType`) as a new shapefile.
    bool WriterFile(const std::string &path);
    void Close();

    const std::string &lastError() const { return error_; }

    std::string path;
    std::vector<ShpFeature> features;
    int featureCount = 0;
    int geometryType = Unknown;
    double minX = 0.0, minY = 0.0, maxX = 0.0, maxY = 0.0;
    std::string spatialReference;  // WKT, empty when none

private:
    GDALDataset *dataset_ = nullptr;
    std::string error_;
};

}  // namespace VerdantaIO
