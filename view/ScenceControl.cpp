#include "ScenceControl.h"

#include "ProcessDlg.h"
#include "Prompt.h"
#include "SceneMath.h"
#include "SelectParamter.h"

#include <QFile>
#include <QStatusBar>
#include <QTextStream>

#include <cmath>

using namespace VerdantaIO;

namespace {
std::string local(const QString &path) { return QFile::encodeName(path).toStdString(); }
}  // namespace

ScenceControl::ScenceControl(QWidget *parent) : QWidget(parent)
{
    rampColors = {{{255, 0, 0}, {210, 105, 30}, {255, 255, 0}, {127, 255, 0}, {0, 255, 0},
                   {0, 255, 255}, {30, 144, 255}, {0, 0, 255}, {199, 21, 133}, {25, 2, 112},
                   {255, 0, 0}, {0, 255, 0}, {184, 134, 11}, {115, 38, 192}}};
    classColors = {{{255, 255, 255}, {255, 255, 255}, {227, 128, 0}, {107, 142, 35}, {34, 139, 34},
                    {64, 224, 105}, {255, 0, 0}, {127, 255, 0}, {128, 0, 255}, {0, 0, 205},
                    {255, 69, 0}, {128, 128, 128}}};
    chooseColumns = [this](const QStringList &header, TableColumns &chosen) {
        SelectParamter dialog(header, this);
        if (dialog.exec() != QDialog::Accepted)
            return false;
        chosen = dialog.columns();
        return true;
    };
}

ScenceControl::~ScenceControl() = default;

void ScenceControl::ChangedLevel(int) {}

void ScenceControl::warn(const QString &title, const QString &text) { Prompt::warning(this, title, text); }

void ScenceControl::applyScale(float x0, float y0, float x1, float y1)
{
    scale = SceneMath::displayScale(x0, y0, x1, y1);
    if (scale != lastScale) {
        lastScale = scale;
        emit isScaleRateChanged(scale);
    }
}

void ScenceControl::releaseRaster()
{
    rasterReader.reset();
    rasterCells.clear();
    rasterCells.shrink_to_fit();
    rasterTexture = QImage();
}

void ScenceControl::AddLasFile(const QString &path)
{
    releaseRaster();
    tablePoints.clear();
    shapeReader.reset();
    pointColors.clear();
    if (path.isEmpty()) {
        lasReader.reset();
        return;
    }
    currentPath = path;
    lasReader = std::make_unique<CLASIO>();
    if (!lasReader->LoadFile(local(path))) {
        lasReader.reset();
        warn(tr("Add LAS File"), tr("Open LAS file failed!"));
        return;
    }
    const PointHeader &h = lasReader->header;
    minX = h.minX; minY = h.minY; minZ = h.minZ;
    maxX = h.maxX; maxY = h.maxY; maxZ = h.maxZ;
    centerX = static_cast<float>((h.minX + h.maxX) * 0.5);
    centerY = static_cast<float>((h.minY + h.maxY) * 0.5);

    auto *bar = new CProcessBar();
    if (statusBar)
        statusBar->addPermanentWidget(bar);
    const uint64_t n = h.numberOfPointRecords;
    thinningStride = SceneMath::thinningStride(n);
    bool ok;
    if (thinningStride == 0) {
        ok = lasReader->ReadData(bar);
    } else {
        const std::vector<uint64_t> indices = SceneMath::thinnedIndices(n, thinningStride);
        ok = lasReader->ReadData(indices, lasReader->points, bar);
    }
    if (statusBar)
        statusBar->removeWidget(bar);
    delete bar;
    if (!ok) {
        lasReader.reset();
        warn(tr("Add LAS File"), tr("Open LAS file failed!"));
        return;
    }
    SceneMath::HeightStats stats;
    SceneMath::sortByHeight(lasReader->points);
    if (SceneMath::heightStats(lasReader->points, stats)) {
        heightHigh = stats.high;
        heightLow = stats.low;
        minZ = stats.minZ;
        maxZ = stats.maxZ;
        centerZ = stats.centreZ;
        maxZd = lasReader->points.back().z;
        minZd = lasReader->points.front().z;
    }
    applyScale(static_cast<float>(h.minX), static_cast<float>(h.minY), static_cast<float>(h.maxX),
               static_cast<float>(h.maxY));
    sceneKind = LasCloud;
}

void ScenceControl::AddShapeFile(const QString &path)
{
    lasReader.reset();
    releaseRaster();
    tablePoints.clear();
    if (path.isEmpty()) {
        shapeReader.reset();
        return;
    }
    shapeReader = std::make_unique<CShpIO>();
    if (!shapeReader->LoadFile(local(path)) || shapeReader->layerCount() > 1) {
        shapeReader.reset();
        warn(tr("Add Shape File"), tr("Open shape file failed!"));
        return;
    }
    if (!shapeReader->GetLayerData(shapeReader->GetLayerByIndex(0))) {
        shapeReader.reset();
        warn(tr("Add Shape File"), tr("Open shape file failed!"));
        return;
    }
    const CShpIO &s = *shapeReader;
    shapeCenterX = static_cast<float>((s.minX + s.maxX) * 0.5);
    shapeCenterY = static_cast<float>((s.minY + s.maxY) * 0.5);
    applyScale(static_cast<float>(s.minX), static_cast<float>(s.minY), static_cast<float>(s.maxX),
               static_cast<float>(s.maxY));
    sceneKind = Vector;
}

bool ScenceControl::loadRasterBands(int bands, const std::array<double, 6> &g, bool pixelUnits)
{
    const int w = rasterWidth, h = rasterHeight;
    const size_t n = static_cast<size_t>(w) * h;
    std::vector<std::vector<float>> samples(bands, std::vector<float>(n));
    for (int b = 0; b < bands; ++b)
        if (!rasterReader->GetRasterGrayBlock(b + 1, 0, 0, w, h, samples[b].data()))
            return false;
    std::vector<float> low(bands), high(bands);
    for (int b = 0; b < bands; ++b)
        if (!SceneMath::greyStretch(samples[b], low[b], high[b]))
            return false;
    rasterLow = low[0];
    rasterHigh = high[0];
    rasterMid = (low[0] + high[0]) * 0.5f;
    rasterCells.resize(n);
    for (int r = 0; r < h; ++r) {
        for (int c = 0; c < w; ++c) {
            const size_t i = static_cast<size_t>(r) * w + c;
            RasterCell &cell = rasterCells[i];
            if (pixelUnits) {
                cell.x = static_cast<int32_t>(c - rasterCenterX);
                cell.y = static_cast<int32_t>(rasterCenterY - r);
            } else {
                cell.x = static_cast<int32_t>(g[0] + c * g[1] + r * g[2] - rasterCenterX);
                cell.y = static_cast<int32_t>(g[3] + c * g[4] + r * g[5] - rasterCenterY);
            }
            cell.value = samples[0][i];
            cell.grey = SceneMath::grey(samples[0][i], low[0], high[0]);
            cell.green = bands == 3 ? SceneMath::grey(samples[1][i], low[1], high[1]) : 0;
            cell.blue = bands == 3 ? SceneMath::grey(samples[2][i], low[2], high[2]) : 0;
        }
    }
    return true;
}

void ScenceControl::AddRasterFile(const QString &path)
{
    lasReader.reset();
    tablePoints.clear();
    shapeReader.reset();
    releaseRaster();
    if (path.isEmpty())
        return;
    rasterReader = std::make_unique<CRasterIO>();
    if (!rasterReader->LoadFile(local(path))) {
        rasterReader.reset();
        warn(tr("Add Raster File"), tr("Open Raster file Failed!"));
        return;
    }
    rasterWidth = rasterReader->width;
    rasterHeight = rasterReader->height;
    const std::array<double, 6> g = rasterReader->geoTransform;
    const double farX = g[0] + rasterWidth * g[1] + rasterHeight * g[2];
    const double farY = g[3] + rasterWidth * g[4] + rasterHeight * g[5];
    rasterStyle = 0;
    const int bands = rasterReader->bandCount;
    if (bands == 1) {
        rasterCenterX = static_cast<float>((g[0] + farX) * 0.5);
        rasterCenterY = static_cast<float>((g[3] + farY) * 0.5);
        if (!loadRasterBands(1, g, false)) {
            releaseRaster();
            warn(tr("Open Raster File"), tr("Raster data is invalid!"));
            return;
        }
        applyScale(static_cast<float>(g[0]), static_cast<float>(g[3]), static_cast<float>(farX),
                   static_cast<float>(farY));
        sceneKind = Raster;
    } else if (bands == 3) {
        rasterCenterX = std::floor(rasterWidth * 0.5f);
        rasterCenterY = std::floor(rasterHeight * 0.5f);
        if (!loadRasterBands(3, g, true)) {
            releaseRaster();
            warn(tr("Add Raster File"), tr("Raster data is invalid!"));
            return;
        }
        // The texture is the stretched picture of the three bands, made here
        // from what GDAL read (no image plugin needed for GeoTIFF).
        rasterTexture = QImage(rasterWidth, rasterHeight, QImage::Format_RGB888);
        if (rasterTexture.isNull()) {
            releaseRaster();
            warn(tr("Open Raster File"),
                 tr("Cannot load Raster Texture! Please check the directory of Raster Texture file!"));
            return;
        }
        for (int r = 0; r < rasterHeight; ++r) {
            uchar *line = rasterTexture.scanLine(r);
            for (int c = 0; c < rasterWidth; ++c) {
                const RasterCell &cell = rasterCells[static_cast<size_t>(r) * rasterWidth + c];
                line[3 * c] = cell.grey;
                line[3 * c + 1] = cell.green;
                line[3 * c + 2] = cell.blue;
            }
        }
        applyScale(0.0f, 0.0f, static_cast<float>(rasterWidth), static_cast<float>(rasterHeight));
        sceneKind = Raster;
    } else {
        releaseRaster();
        warn(tr("Open Raster File"), tr("Open Raster File Failed!"));
    }
}

void ScenceControl::AddTableFile(const QString &path)
{
    tablePoints.clear();
    if (path.isEmpty())
        return;
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly | QIODevice::Text))
        return;
    QTextStream in(&file);
    const QStringList header = in.readLine().split(',');
    if (header.size() < 3)
        return;
    TableColumns chosen;
    if (!chooseColumns || !chooseColumns(header, chosen))
        return;
    tableType = chosen.type;
    lasReader.reset();
    rasterReader.reset();
    shapeReader.reset();
    rasterCells.clear();
    rasterTexture = QImage();
    double x0 = 0, x1 = 0, y0 = 0, y1 = 0;
    while (!in.atEnd()) {
        const QStringList f = in.readLine().split(',');
        if (f.size() < 3)
            continue;
        TablePoint p;
        p.x = f.value(chosen.x).toDouble();
        p.y = f.value(chosen.y).toDouble();
        p.diameter = chosen.type == 0 || chosen.diameter < 0 ? 0.0f : f.value(chosen.diameter).toFloat();
        if (tablePoints.empty()) {
            x0 = x1 = p.x;
            y0 = y1 = p.y;
        } else {
            x0 = std::min(x0, p.x); x1 = std::max(x1, p.x);
            y0 = std::min(y0, p.y); y1 = std::max(y1, p.y);
        }
        tablePoints.push_back(p);
    }
    if (tablePoints.empty())
        return;
    tableCenterX = static_cast<float>((x0 + x1) * 0.5f);
    tableCenterY = static_cast<float>((y0 + y1) * 0.5f);
    applyScale(static_cast<float>(x0), static_cast<float>(y0), static_cast<float>(x1), static_cast<float>(y1));
    sceneKind = Table;
}

void ScenceControl::setMode(int mode, bool signal)
{
    colorMode = mode;
    if (signal && mode != lastColorMode) {
        lastColorMode = mode;
        emit isUpdate();
    }
}

void ScenceControl::HeightRender() { setMode(Height, lasReader != nullptr); }
void ScenceControl::ReturnRender() { setMode(Return, true); }
void ScenceControl::ClassRender() { setMode(Class, lasReader != nullptr); }

void ScenceControl::RGBRender()
{
    if (!lasReader)
        return;
    if (!SceneMath::reduceColours(lasReader->points)) {
        warn(tr("RGB Mode"), tr("No RGB Color!"));
        return;
    }
    setMode(RGB, true);
}

void ScenceControl::IntensityRender()
{
    colorMode = Intensity;
    if (!lasReader)
        return;
    SceneMath::intensityRange(lasReader->points, intensityMin, intensityMax, intensityLow, intensityHigh);
    setMode(Intensity, true);
    emit isChangedIntensity();
}
