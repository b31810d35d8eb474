#pragma once
// The model behind the OpenGL view: the one dataset it shows (a LAS cloud,
// a shapefile, a raster or a table), with the extent, centre, display scale,
// stretches and colour tables the drawing needs. A QWidget that is never
// shown: it is the parent of its warnings and emits the view's signals.

#include "LasIO.h"
#include "RasterIO.h"
#include "SceneMath.h"
#include "ShpIO.h"

#include <QImage>
#include <QStringList>
#include <QWidget>

#include <array>
#include <functional>
#include <memory>
#include <vector>

class QStatusBar;
struct OverlapChoice;

enum SceneKind { LasCloud = 0, Vector = 1, Raster = 2, Table = 3, Overlap = 4 };
enum ColorMode { Height = 0, RGB = 1, Intensity = 2, Return = 3, Class = 4, TreeId = 5 };

struct TablePoint {
    double x = 0.0;
    double y = 0.0;
    float diameter = 0.0f;
};

struct RasterCell {
    int32_t x = 0;
    int32_t y = 0;
    float value = 0.0f;
    uint8_t grey = 0;
    uint8_t green = 0;
    uint8_t blue = 0;
};

// The columns a user chose for a table layer.
struct TableColumns {
    int type = 0;  // 0 points, 1 circles
    int x = 0, y = 1, diameter = 2;  // diameter -1 for points
};

class ScenceControl : public QWidget {
    Q_OBJECT
public:
    explicit ScenceControl(QWidget *parent = nullptr);
    ~ScenceControl() override;

    void setStatusBar(QStatusBar *bar) { statusBar = bar; }

    void AddLasFile(const QString &path);
    void AddShapeFile(const QString &path);
    // A catalogue (.vpc): the outlines of its files, drawn as polygons.
    void AddCatalogFile(const QString &path);
    void AddRasterFile(const QString &path);
    void AddTableFile(const QString &path);

    void HeightRender();
    void RGBRender();
    void IntensityRender();
    void ReturnRender();
    void ClassRender();

    // Drawing routines, called by the view inside paintGL with the model
    // transform set. Clouds are drawn from vertex and colour arrays that are
    // rebuilt only when the data, the mode or its stretch changes.
    void DrawPointCloud(int mode);
    void DrawShape();
    void DrawRaster(int style);
    void DrawTablePoints(std::vector<TablePoint> points);
    // One GL call per vertex instead of arrays (kept for comparison).
    bool immediateMode = false;
    // The per-point colours (RGB bytes) a mode draws; empty when it draws nothing.
    const std::vector<uint8_t> &pointColourArray(int mode);
    // Marks the points or per-point colours as changed.
    void pointsChanged() { ++dataGeneration_; }

    // Asks for a table's columns; the default shows SelectParamter. Tests
    // replace it. False stands for Cancel.
    std::function<bool(const QStringList &header, TableColumns &chosen)> chooseColumns;

    // Colours the cloud by tree (mode TreeId). A cloud that carries its
    // trees in the extra attribute "treeID" (as the point cloud segmentation
    // writes them) is coloured by those. Otherwise the tree table named after
    // the cloud ("_PCS.csv"), or one the user picks, gives each non-ground
    // point the colour of the nearest tree.
    void IndividualTreesRender();
    // Shows a CHM in grey with the positions of a tree table on top.
    void ShowSegmentationOverlap();
    // The overlap picture, drawn by the view for scene kind Overlap.
    void DrawOverlap();
    // The tree table to use when none lies beside the cloud; the default
    // shows InPutCSV (empty: cancelled). Tests replace it.
    std::function<QString()> askTreeTable;
    // The CHM and table to overlay; the default shows Overlap. Tests and the
    // screenshot tool replace it.
    std::function<bool(const QStringList &rasters, const QStringList &tables, OverlapChoice &chosen)> chooseOverlap;
    std::vector<VerdantaIO::XYZ> treePositions;
    bool recolour = false;
    int treeColourings = 0;  // how many times the tree colours were worked out

    // State read by the view and the drawing routines.
    QStatusBar *statusBar = nullptr;
    float minX = 0, minY = 0, minZ = 0, maxX = 0, maxY = 0, maxZ = 0;
    float centerX = 0, centerY = 0, centerZ = 0;
    float heightHigh = 0, heightLow = 0;
    int colorMode = Height;
    int lastColorMode = Height;
    int rasterStyle = 0;
    std::vector<TablePoint> tablePoints;
    std::array<std::array<float, 3>, 14> rampColors;
    std::array<std::array<float, 3>, 12> classColors;
    std::unique_ptr<VerdantaIO::CLASIO> lasReader;
    std::unique_ptr<VerdantaIO::CShpIO> shapeReader;
    std::unique_ptr<VerdantaIO::CRasterIO> rasterReader;
    std::vector<RasterCell> rasterCells;
    unsigned int textureName = 0;
    QImage rasterTexture;  // the picture of a three-band raster, for the view's texture
    float scale = 1.0f;
    float lastScale = 0.0f;
    int sceneKind = LasCloud;
    uint64_t thinningStride = 0;
    float intensityMax = 0, intensityMin = 0;
    float intensityLow = -1.0f, intensityHigh = -1.0f;
    int rasterWidth = 0, rasterHeight = 0;
    float rasterCenterX = 0, rasterCenterY = 0;
    float rasterMid = 0, rasterLow = 0, rasterHigh = 0;
    float tableCenterX = 0, tableCenterY = 0;
    float shapeCenterX = 0, shapeCenterY = 0;
    int tableType = 0;
    double maxZd = 0, minZd = 0;
    QStringList candidateRasters, candidateTables;
    QString currentPath;
    std::vector<std::array<float, 3>> pointColors;

signals:
    void isScaleRateChanged(float scale);
    void isChangedIntensity();
    void isUpdate();

public slots:
    void ChangedLevel(int level);

private:
    const std::vector<float> &vertexArray();
    SceneMath::Rgb colourOf(size_t point, int mode) const;
    void bindRasterTexture();

    uint64_t dataGeneration_ = 1;
    uint64_t vertexGeneration_ = 0;
    std::vector<float> vertices_;
    struct ColourKey {
        int mode = -1;
        uint64_t generation = 0;
        float a = 0, b = 0;
        bool operator==(const ColourKey &o) const
        {
            return mode == o.mode && generation == o.generation && a == o.a && b == o.b;
        }
    } colourKey_;
    std::vector<uint8_t> colours_;
    uint64_t textureGeneration_ = 0, uploadedTextureGeneration_ = 0;

    void warn(const QString &title, const QString &text);
    void applyScale(float minX, float minY, float maxX, float maxY);
    void setMode(int mode, bool signal);
    void releaseRaster();
    bool loadRasterBands(int bands, const std::array<double, 6> &g, bool pixelUnits);
    // Reads the one band of rasterReader into cells, centre and scale.
    bool loadGreyRaster();
    bool readTreeTable(const QString &path);
    // Colours by the nearest tree position, or by the points' own tree
    // numbers (indexed by record) when `treeIds` is set.
    void assignTreeColours(const std::vector<double> *treeIds);
};
