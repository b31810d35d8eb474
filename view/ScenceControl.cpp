#include "ScenceControl.h"
#include "Catalog.h"

#include "DataIndex.h"
#include "LasExtraBytes.h"
#include "ProcessDlg.h"
#include "Prompt.h"
#include "SceneMath.h"
#include "SegmentationDialogs.h"
#include "SelectParamter.h"

#include <QApplication>
#include <QFileInfo>

#include <QFile>
#include <QGLWidget>
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
    askTreeTable = [this] {
        InPutCSV dialog(this);
        return dialog.exec() == QDialog::Accepted ? dialog.path() : QString();
    };
    chooseOverlap = [this](const QStringList &rasters, const QStringList &tables, OverlapChoice &chosen) {
        class Overlap dialog(rasters, tables, this);  // the class, not the scene kind
        if (dialog.exec() != QDialog::Accepted)
            return false;
        chosen = dialog.choice();
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
    // Each point keeps its record number (in the field no file holds), by
    // which attributes read later find it after the sort.
    const uint64_t stride = thinningStride ? thinningStride : 1;
    for (size_t i = 0; i < lasReader->points.size(); ++i)
        lasReader->points[i].reserved = static_cast<uint32_t>(i * stride);
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
    pointsChanged();
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

void ScenceControl::AddCatalogFile(const QString &path)
{
    lasReader.reset();
    releaseRaster();
    tablePoints.clear();
    VerdantaIO::Catalog catalog;
    std::string error;
    if (!VerdantaIO::ReadCatalog(local(path), catalog, error)) {
        shapeReader.reset();
        warn(tr("Add Catalogue"), QString::fromLocal8Bit(error.c_str()));
        return;
    }
    shapeReader = std::make_unique<CShpIO>();
    CShpIO &s = *shapeReader;
    for (const VerdantaIO::CatalogFile &f : catalog.files) {
        VerdantaIO::ShpPart ring;
        ring.x = {f.minX, f.maxX, f.maxX, f.minX, f.minX};
        ring.y = {f.minY, f.minY, f.maxY, f.maxY, f.minY};
        VerdantaIO::ShpFeature outline;
        outline.parts.push_back(ring);
        outline.vertexCount = 5;
        s.features.push_back(outline);
    }
    s.path = local(path);
    s.featureCount = static_cast<int>(s.features.size());
    s.geometryType = CShpIO::Lines;
    s.minX = catalog.minX;
    s.minY = catalog.minY;
    s.maxX = catalog.maxX;
    s.maxY = catalog.maxY;
    s.spatialReference = catalog.wkt;
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

bool ScenceControl::loadGreyRaster()
{
    rasterWidth = rasterReader->width;
    rasterHeight = rasterReader->height;
    const std::array<double, 6> g = rasterReader->geoTransform;
    const double farX = g[0] + rasterWidth * g[1] + rasterHeight * g[2];
    const double farY = g[3] + rasterWidth * g[4] + rasterHeight * g[5];
    rasterCenterX = static_cast<float>((g[0] + farX) * 0.5);
    rasterCenterY = static_cast<float>((g[3] + farY) * 0.5);
    if (!loadRasterBands(1, g, false)) {
        releaseRaster();
        warn(tr("Open Raster File"), tr("Raster data is invalid!"));
        return false;
    }
    applyScale(static_cast<float>(g[0]), static_cast<float>(g[3]), static_cast<float>(farX), static_cast<float>(farY));
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
    rasterStyle = 0;
    const int bands = rasterReader->bandCount;
    if (bands == 1) {
        if (loadGreyRaster())
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
        ++textureGeneration_;
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
    pointsChanged();
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

// ---- drawing ----------------------------------------------------------------

const std::vector<float> &ScenceControl::vertexArray()
{
    if (vertexGeneration_ != dataGeneration_) {
        const auto &pts = lasReader->points;
        vertices_.resize(pts.size() * 3);
        for (size_t i = 0; i < pts.size(); ++i) {
            // Centre subtracted in double precision, so map coordinates keep
            // their precision as floats.
            vertices_[3 * i] = static_cast<float>(pts[i].x - centerX);
            vertices_[3 * i + 1] = static_cast<float>(pts[i].y - centerY);
            vertices_[3 * i + 2] = static_cast<float>(pts[i].z - centerZ);
        }
        vertexGeneration_ = dataGeneration_;
    }
    return vertices_;
}

SceneMath::Rgb ScenceControl::colourOf(size_t i, int mode) const
{
    const PointCloud &p = lasReader->points[i];
    switch (mode) {
    case Height: return SceneMath::heightColour(p.z, heightLow, heightHigh, rampColors.data());
    case RGB: return {p.red / 255.0f, p.green / 255.0f, p.blue / 255.0f};
    case Intensity: return SceneMath::intensityColour(p.intensity, intensityLow, intensityHigh);
    case Return: return SceneMath::returnColour(p.returnNumber, rampColors.data());
    case Class: return SceneMath::classColour(p.classification, classColors.data());
    default: return {pointColors[i][0] / 255.0f, pointColors[i][1] / 255.0f, pointColors[i][2] / 255.0f};
    }
}

const std::vector<uint8_t> &ScenceControl::pointColourArray(int mode)
{
    static const std::vector<uint8_t> none;
    if (!lasReader)
        return none;
    const auto &pts = lasReader->points;
    ColourKey key;
    key.mode = mode;
    key.generation = dataGeneration_;
    if (mode == Height) {
        key.a = heightLow;
        key.b = heightHigh;
    } else if (mode == Intensity) {
        key.a = intensityLow;
        key.b = intensityHigh;
    }
    if (key == colourKey_)
        return colours_;
    // Bytes: a quarter of the memory traffic of floats per frame, and every
    // colour of the tables is a whole byte value.
    colours_.assign(pts.size() * 3, 0);
    auto put = [this](size_t i, const SceneMath::Rgb &c) {
        for (int k = 0; k < 3; ++k)
            colours_[3 * i + k] = static_cast<uint8_t>(std::lround(c[k] * 255.0f));
    };
    if (mode == TreeId && pointColors.size() != pts.size()) {
        colours_.clear();
    } else if (mode >= Height && mode <= TreeId) {
        for (size_t i = 0; i < pts.size(); ++i)
            put(i, colourOf(i, mode));
    } else {
        colours_.clear();
    }
    colourKey_ = key;
    return colours_;
}

void ScenceControl::DrawPointCloud(int mode)
{
    if (!lasReader || mode < Height || mode > TreeId)
        return;
    const auto &pts = lasReader->points;
    if (mode == TreeId && pointColors.size() != pts.size())
        return;
    glPointSize(1.0f);
    if (immediateMode) {
        // One call per colour and vertex, the colour worked out every frame.
        glBegin(GL_POINTS);
        for (size_t i = 0; i < pts.size(); ++i) {
            const SceneMath::Rgb c = colourOf(i, mode);
            glColor3f(c[0], c[1], c[2]);
            glVertex3f(static_cast<float>(pts[i].x - centerX), static_cast<float>(pts[i].y - centerY),
                       static_cast<float>(pts[i].z - centerZ));
        }
        glEnd();
        return;
    }
    const std::vector<uint8_t> &colours = pointColourArray(mode);
    const std::vector<float> &vertices = vertexArray();
    glEnableClientState(GL_VERTEX_ARRAY);
    glEnableClientState(GL_COLOR_ARRAY);
    glVertexPointer(3, GL_FLOAT, 0, vertices.data());
    glColorPointer(3, GL_UNSIGNED_BYTE, 0, colours.data());
    glDrawArrays(GL_POINTS, 0, static_cast<GLsizei>(pts.size()));
    glDisableClientState(GL_COLOR_ARRAY);
    glDisableClientState(GL_VERTEX_ARRAY);
}

void ScenceControl::DrawShape()
{
    if (!shapeReader)
        return;
    glPointSize(1.0f);
    const auto &features = shapeReader->features;
    auto vertex = [this](double x, double y) {
        glVertex2f(static_cast<float>(x - shapeCenterX), static_cast<float>(y - shapeCenterY));
    };
    switch (shapeReader->geometryType) {
    case CShpIO::Points:
        glColor3f(0.0f, 0.0f, 1.0f);
        glBegin(GL_POINTS);
        for (const ShpFeature &f : features)
            for (const ShpPart &p : f.parts)
                for (size_t i = 0; i < p.x.size(); ++i)
                    vertex(p.x[i], p.y[i]);
        glEnd();
        break;
    case CShpIO::Lines:
    case CShpIO::Polygons: {
        const bool lines = shapeReader->geometryType == CShpIO::Lines;
        if (lines)
            glColor3f(1.0f, 0.0f, 0.0f);
        else
            glColor3f(0.0f, 1.0f, 0.0f);
        // Each part (a line, or a ring of a polygon) is drawn on its own.
        for (const ShpFeature &f : features)
            for (const ShpPart &p : f.parts) {
                if (p.x.empty())
                    continue;
                glBegin(lines ? GL_LINE_STRIP : GL_LINE_LOOP);
                for (size_t i = 0; i < p.x.size(); ++i)
                    vertex(p.x[i], p.y[i]);
                glEnd();
            }
        break;
    }
    default:
        break;
    }
}

void ScenceControl::bindRasterTexture()
{
    if (uploadedTextureGeneration_ != textureGeneration_) {
        if (textureName != 0) {
            GLuint old = textureName;
            glDeleteTextures(1, &old);
            textureName = 0;
        }
        if (!rasterTexture.isNull()) {
            const QImage gl = QGLWidget::convertToGLFormat(rasterTexture);
            GLuint name = 0;
            glGenTextures(1, &name);
            textureName = name;
            glBindTexture(GL_TEXTURE_2D, name);
            glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MIN_FILTER, GL_NEAREST);
            glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MAG_FILTER, GL_NEAREST);
            glTexImage2D(GL_TEXTURE_2D, 0, 3, gl.width(), gl.height(), 0, GL_RGBA, GL_UNSIGNED_BYTE, gl.bits());
        }
        uploadedTextureGeneration_ = textureGeneration_;
    }
    glBindTexture(GL_TEXTURE_2D, textureName);
    glTexEnvi(GL_TEXTURE_ENV, GL_TEXTURE_ENV_MODE, GL_DECAL);
}

void ScenceControl::DrawRaster(int style)
{
    if (!rasterReader || rasterCells.empty())
        return;
    const int w = rasterWidth, h = rasterHeight;
    auto cell = [&](int r, int c) -> const RasterCell & { return rasterCells[static_cast<size_t>(r) * w + c]; };
    if (style == 0 && rasterReader->bandCount == 1) {
        for (int r = 0; r + 1 < h; ++r)
            for (int c = 0; c + 1 < w; ++c) {
                const RasterCell &a = cell(r, c), &b = cell(r + 1, c + 1);
                glColor3ub(a.grey, a.grey, a.grey);
                glRectf(static_cast<float>(a.x), static_cast<float>(a.y), static_cast<float>(b.x),
                        static_cast<float>(b.y));
            }
        return;
    }
    if (style == 0) {
        // Three bands: the picture as a texture, in pixel units.
        bindRasterTexture();
        glEnable(GL_TEXTURE_2D);
        for (int i = 0; i < w; ++i) {
            glBegin(GL_QUAD_STRIP);
            for (int j = 0; j < h; ++j) {
                glTexCoord2f(float(i) / w, float(j) / h);
                glVertex2f(i - rasterCenterX, j - rasterCenterY);
                glTexCoord2f(float(i + 1) / w, float(j) / h);
                glVertex2f(i + 1 - rasterCenterX, j - rasterCenterY);
            }
            glEnd();
        }
        glDisable(GL_TEXTURE_2D);
        return;
    }
    // Style 1: the first band as a surface, grey by the stretch, heights
    // above the lowest sample times the display scale.
    std::vector<float> band(static_cast<size_t>(w) * h);
    if (!rasterReader->GetRasterGrayBlock(1, 0, 0, w, h, band.data()))
        return;
    float lo = 0, hi = 0;
    bool first = true;
    for (float v : band)
        if (v > -SceneMath::kNoDataLimit && v < SceneMath::kNoDataLimit) {
            lo = first ? v : std::min(lo, v);
            hi = first ? v : std::max(hi, v);
            first = false;
        }
    const auto &g = rasterReader->geoTransform;
    const double farX = g[0] + w * g[1] + h * g[2], farY = g[3] + w * g[4] + h * g[5];
    const double cx = (g[0] + farX) * 0.5, cy = (g[3] + farY) * 0.5;
    auto corner = [&](int r, int c) {
        const RasterCell &k = cell(r, c);
        const double x = g[0] + c * g[1] + r * g[2], y = g[3] + c * g[4] + r * g[5];
        glColor3ub(k.grey, k.grey, k.grey);
        glTexCoord2f(static_cast<float>((x - g[0]) / (farX - g[0])), static_cast<float>((y - g[3]) / (farY - g[3])));
        glVertex3f(static_cast<float>((x - cx) * scale), static_cast<float>((y - cy) * scale),
                   static_cast<float>((band[static_cast<size_t>(r) * w + c] - lo) * scale));
    };
    glBegin(GL_TRIANGLES);
    for (int r = 0; r + 1 < h; ++r)
        for (int c = 0; c + 1 < w; ++c) {
            corner(r, c);
            corner(r + 1, c);
            corner(r, c + 1);
            corner(r, c + 1);
            corner(r + 1, c);
            corner(r + 1, c + 1);
        }
    glEnd();
}

void ScenceControl::DrawTablePoints(std::vector<TablePoint> points)
{
    if (tableType == 0) {
        glPointSize(3.0f);
        glColor3ub(255, 0, 0);
        for (const TablePoint &p : points) {
            glBegin(GL_POINTS);
            glVertex2f(static_cast<float>(p.x - tableCenterX), static_cast<float>(p.y - tableCenterY));
            glEnd();
        }
        return;
    }
    glColor3f(0.0f, 0.8f, 0.5f);
    for (const TablePoint &p : points) {
        glBegin(GL_LINE_LOOP);
        for (int k = 0; k < 25; ++k) {
            const double a = k * 0.2512, r = p.diameter * 0.5;
            glVertex2f(static_cast<float>(p.x + r * std::cos(a) - tableCenterX),
                       static_cast<float>(p.y + r * std::sin(a) - tableCenterY));
        }
        glEnd();
    }
}

// ---- individual trees ---------------------------------------------------------

namespace {
const char *kTreeHeader = "TreeLocationX,TreeLocationY,TreeHeight,CrownDiameter,CrownArea,CrownVolume";
}  // namespace

bool ScenceControl::readTreeTable(const QString &path)
{
    treePositions.clear();
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly | QIODevice::Text))
        return false;
    QTextStream in(&file);
    if (in.readLine() != kTreeHeader) {
        warn("Individual Trees Rendering", "CSV File is invalid!");
        return false;
    }
    while (!in.atEnd()) {
        const QStringList f = in.readLine().split(',');
        if (f.size() < 6)
            continue;
        VerdantaIO::XYZ p;
        p.x = f[0].toDouble();
        p.y = f[1].toDouble();
        treePositions.push_back(p);
    }
    return true;
}

void ScenceControl::IndividualTreesRender()
{
    while (QApplication::overrideCursor())
        QApplication::restoreOverrideCursor();
    if (!lasReader || currentPath.isEmpty())
        return;
    if (!recolour && !pointColors.empty()) {
        setMode(TreeId, true);
        return;
    }
    std::vector<double> treeIds;
    VerdantaIO::ExtraBytes extra;
    if (VerdantaIO::ReadExtraBytes(local(currentPath), extra) && VerdantaIO::ExtraAttribute(extra, "treeID", treeIds)) {
        assignTreeColours(&treeIds);
        setMode(TreeId, true);
        recolour = false;
        return;
    }
    const QFileInfo las(currentPath);
    QString table = las.absolutePath() + "/" + las.baseName() + "_PCS.csv";
    if (!QFile::exists(table)) {
        table = askTreeTable ? askTreeTable() : QString();
        if (table.isEmpty())
            return;
    }
    if (!readTreeTable(table))
        return;
    assignTreeColours(nullptr);
    setMode(TreeId, true);
    recolour = false;
}

void ScenceControl::assignTreeColours(const std::vector<double> *treeIds)
{
    const auto &pts = lasReader->points;
    C_DataIndex *index = new C_DataIndex;
    index->Transform(treePositions);
    index->SetOctreeIndex(20.0);
    pointColors.clear();
    pointColors.reserve(pts.size());
    CProcessDlg progress(this);
    progress.setWindowTitle("Individual Trees Rendering");
    progress.setCancelButton(nullptr);
    progress.SetStepCount(static_cast<int32_t>(std::min<size_t>(pts.size(), INT32_MAX)));
    progress.SetMessage("Processing...");
    progress.show();
    progress.SetPosition(0.0);
    const size_t every = std::max<size_t>(1, pts.size() / 100);
    for (size_t i = 0; i < pts.size(); ++i) {
        const PointCloud &p = pts[i];
        std::array<float, 3> colour{{0, 0, 0}};
        if (treeIds) {
            // 0, no-data and values beyond 32 bits stand for no tree.
            const double id = p.reserved < treeIds->size() ? (*treeIds)[p.reserved] : 0.0;
            if (id >= 1 && id < 4294967296.0)
                colour = rampColors[(static_cast<uint64_t>(id) - 1) % 10];
        } else if ((p.classification & 63) != 2) {
            PointCloud q = p;
            q.z = 0;
            if (index->OctreeNKSearch(q, 1))
                colour = rampColors[index->result.front() % 10];
        }
        pointColors.push_back(colour);
        if (i % every == 0)
            progress.SetPosition(double(i) / pts.size());
    }
    progress.close();
    delete index;
    ++treeColourings;
    pointsChanged();
}

void ScenceControl::ShowSegmentationOverlap()
{
    OverlapChoice chosen;
    if (!chooseOverlap || !chooseOverlap(candidateRasters, candidateTables, chosen) || chosen.tablePath.isEmpty())
        return;
    if (tableType == 1) {
        warn("Segmentation Overlap Tool", "Please select point type!");
        return;
    }
    tablePoints.clear();
    QFile file(chosen.tablePath);
    if (file.open(QIODevice::ReadOnly | QIODevice::Text)) {
        QTextStream in(&file);
        in.readLine();
        while (!in.atEnd()) {
            const QStringList f = in.readLine().split(',');
            if (f.size() <= std::max(chosen.xIndex, chosen.yIndex))
                continue;
            TablePoint p;
            p.x = f[chosen.xIndex].toDouble();
            p.y = f[chosen.yIndex].toDouble();
            tablePoints.push_back(p);
        }
    }
    lasReader.reset();
    shapeReader.reset();
    releaseRaster();
    rasterReader = std::make_unique<CRasterIO>();
    if (!rasterReader->LoadFile(local(chosen.chmPath))) {
        rasterReader.reset();
        warn("Warning", "Read  Raster data  Failed!");
        return;
    }
    if (rasterReader->bandCount != 1) {
        rasterReader.reset();
        warn("Open Raster File", "This Version only Support one band of Raster File !");
        return;
    }
    if (!loadGreyRaster())
        return;
    // The trees are drawn in the raster's frame.
    tableCenterX = rasterCenterX;
    tableCenterY = rasterCenterY;
    sceneKind = Overlap;
}

void ScenceControl::DrawOverlap()
{
    if (tablePoints.empty()) {
        releaseRaster();
        return;
    }
    if (rasterReader && !rasterCells.empty()) {
        const int w = rasterWidth, h = rasterHeight;
        const float range = rasterHigh - rasterLow == 0 ? 1.0f : rasterHigh - rasterLow;
        for (int r = 0; r + 1 < h; ++r)
            for (int c = 0; c + 1 < w; ++c) {
                const RasterCell &a = rasterCells[size_t(r) * w + c], &b = rasterCells[size_t(r + 1) * w + c + 1];
                const float v = a.value;
                const int grey = (v <= -1e7f || v >= 1e7f || v < rasterLow) ? 0
                                 : v > rasterHigh                         ? 255
                                                                          : int(std::floor((v - rasterLow) * 255 / range));
                glColor3ub(grey, grey, grey);
                glRectf(float(a.x), float(a.y), float(b.x), float(b.y));
            }
    }
    tableType = 0;
    DrawTablePoints(tablePoints);
}
