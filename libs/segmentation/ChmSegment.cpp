#include "ChmSegment.h"

#include "RasterIO.h"
#include "TreeTable.h"

#include <gdal_alg.h>
#include <gdal_priv.h>
#include <ogrsf_frmts.h>

#include <algorithm>
#include <cmath>
#include <memory>

namespace {

// A cell value that holds no height: no-data, NaN, or beyond any tree.
bool isHeight(float v, bool hasNoData, double noData)
{
    return std::isfinite(v) && !(hasNoData && v == static_cast<float>(noData)) && v > -1e6f && v < 1e6f;
}

// 3 x 3 binomial smoothing (weights 1-2-1 in each direction); cells outside
// the raster repeat the edge.
std::vector<float> smooth(const std::vector<float> &in, int w, int h)
{
    std::vector<float> rows(in.size()), out(in.size());
    for (int r = 0; r < h; ++r) {
        const float *src = &in[size_t(r) * w];
        float *dst = &rows[size_t(r) * w];
        for (int c = 0; c < w; ++c) {
            const float l = src[std::max(c - 1, 0)], m = src[c], rr = src[std::min(c + 1, w - 1)];
            dst[c] = 0.25f * l + 0.5f * m + 0.25f * rr;
        }
    }
    for (int r = 0; r < h; ++r) {
        const float *up = &rows[size_t(std::max(r - 1, 0)) * w], *mid = &rows[size_t(r) * w],
                    *down = &rows[size_t(std::min(r + 1, h - 1)) * w];
        float *dst = &out[size_t(r) * w];
        for (int c = 0; c < w; ++c)
            dst[c] = 0.25f * up[c] + 0.5f * mid[c] + 0.25f * down[c];
    }
    return out;
}

// True when cell i beats cell j as a marker: higher, or as high and first
// in raster order.
inline bool beats(const float *s, size_t i, size_t j) { return s[i] > s[j] || (s[i] == s[j] && i < j); }

GDALDataset *memoryRaster(int w, int h, GDALDataType type, const std::array<double, 6> &geo,
                          const std::string &reference)
{
    GDALDriver *mem = GetGDALDriverManager()->GetDriverByName("MEM");
    if (!mem)
        return nullptr;
    GDALDataset *ds = mem->Create("", w, h, 1, type, nullptr);
    if (!ds)
        return nullptr;
    std::array<double, 6> g = geo;
    ds->SetGeoTransform(g.data());
    if (!reference.empty())
        ds->SetProjection(reference.c_str());
    return ds;
}

bool copyToTiff(GDALDataset *src, const std::string &path)
{
    GDALDriver *tiff = GetGDALDriverManager()->GetDriverByName("GTiff");
    GDALDataset *out = tiff ? tiff->CreateCopy(path.c_str(), src, FALSE, nullptr, nullptr, nullptr) : nullptr;
    if (!out)
        return false;
    GDALClose(out);
    return true;
}

}  // namespace

bool Cchm_segment::raster_input()
{
    error_.clear();
    chm_.clear();
    VerdantaIO::CRasterIO raster;
    if (!raster.LoadFile(inputPath)) {
        error_ = raster.lastError().empty() ? inputPath + " cannot be read" : raster.lastError();
        return false;
    }
    if (raster.bandCount < 1 || raster.width < 1 || raster.height < 1) {
        error_ = inputPath + " holds no raster band";
        return false;
    }
    if (!raster.hasGeoTransform) {
        error_ = inputPath + " has no georeferencing; tree positions could not be placed";
        return false;
    }
    if (std::fabs(raster.geoTransform[2]) > 0 || std::fabs(raster.geoTransform[4]) > 0) {
        error_ = inputPath + " is rotated; only north-up rasters can be segmented";
        return false;
    }
    width_ = raster.width;
    height_ = raster.height;
    geo_ = raster.geoTransform;
    reference_ = raster.spatialReference;
    try {
        chm_.assign(size_t(width_) * height_, 0.0f);
    } catch (const std::bad_alloc &) {
        error_ = inputPath + " is too large to be held in memory";
        return false;
    }
    if (!raster.GetRasterGrayBlock(1, 0, 0, width_, height_, chm_.data())) {
        error_ = raster.lastError().empty() ? inputPath + " cannot be read" : raster.lastError();
        chm_.clear();
        return false;
    }
    for (float &v : chm_)
        if (!isHeight(v, raster.hasNoData, raster.noDataValue) || v < 0)
            v = 0.0f;
    return true;
}

bool Cchm_segment::seed_location(CProcessBase *progress)
{
    error_.clear();
    labels_.clear();
    trees_ = 0;
    if (chm_.empty()) {
        error_ = "no CHM has been read";
        return false;
    }
    auto step = [&](double f) { return !progress || progress->SetPosition(f); };
    if (!step(0.0))
        return false;
    const int w = width_, h = height_;
    const size_t n = size_t(w) * h;
    const double cellX = std::fabs(geo_[1]), cellY = std::fabs(geo_[5]);
    const double cell = std::sqrt(cellX * cellY);
    const std::vector<float> s = smooth(chm_, w, h);
    const float *sp = s.data();
    if (!step(0.15))
        return false;

    // Each cell drains up its steepest ascent, to its highest neighbour; a
    // cell that no neighbour beats is a peak. A peak is a marker when it
    // also beats every cell of its height-dependent window; otherwise it
    // drains to the highest cell of that window, which overtops it.
    constexpr uint32_t kNone = 0xffffffffu;
    std::vector<uint32_t> up(n, kNone);
    std::vector<size_t> markers;
    labels_.assign(n, 0);
    for (int r = 0; r < h; ++r) {
        for (int c = 0; c < w; ++c) {
            const size_t i = size_t(r) * w + c;
            if (sp[i] < minHeight)
                continue;
            size_t best = i;
            const bool inner = r > 0 && r < h - 1 && c > 0 && c < w - 1;
            for (int dr = -1; dr <= 1; ++dr)
                for (int dc = -1; dc <= 1; ++dc) {
                    const int rr = r + dr, cc = c + dc;
                    if ((dr || dc) && (inner || (rr >= 0 && rr < h && cc >= 0 && cc < w))) {
                        const size_t j = size_t(rr) * w + cc;
                        if (beats(sp, j, best))
                            best = j;
                    }
                }
            if (best != i) {
                up[i] = static_cast<uint32_t>(best);
                continue;
            }
            const double radius = (windowBase + windowSlope * sp[i]) / cell;
            const int k = static_cast<int>(std::floor(radius));
            const double r2 = radius * radius;
            for (int dr = -k; dr <= k; ++dr) {
                const int rr = r + dr;
                if (rr < 0 || rr >= h)
                    continue;
                for (int dc = -k; dc <= k; ++dc) {
                    const int cc = c + dc;
                    if (cc < 0 || cc >= w || double(dr * dr + dc * dc) > r2)
                        continue;
                    const size_t j = size_t(rr) * w + cc;
                    if (beats(sp, j, best))
                        best = j;
                }
            }
            if (best != i) {
                up[i] = static_cast<uint32_t>(best);
            } else if (sp[i] <= maxHeight) {
                markers.push_back(i);
                labels_[i] = static_cast<int32_t>(markers.size());
            }
        }
        if ((r & 255) == 0 && !step(0.15 + 0.35 * double(r) / h))
            return false;
    }
    // Crowns: every cell takes the marker its path reaches (paths are
    // shortened as they are followed), and keeps it while it lies above
    // crownFraction of that marker's height and above the minimum height.
    std::vector<float> cut(markers.size() + 1, 0.0f);
    for (size_t m = 0; m < markers.size(); ++m)
        cut[m + 1] = std::max(minHeight, static_cast<float>(crownFraction) * sp[markers[m]]);
    std::vector<int32_t> root(n, -1);  // the marker a cell drains to (0: none), -1 unknown
    std::vector<uint32_t> path;
    for (size_t i = 0; i < n; ++i) {
        if (sp[i] < minHeight || root[i] >= 0)
            continue;
        size_t j = i;
        path.clear();
        while (root[j] < 0 && up[j] != kNone) {
            path.push_back(static_cast<uint32_t>(j));
            j = up[j];
        }
        const int32_t label = root[j] >= 0 ? root[j] : labels_[j];
        root[j] = label;
        for (uint32_t p : path)
            root[p] = label;
    }
    for (size_t i = 0; i < n; ++i) {
        const int32_t label = root[i] > 0 ? root[i] : 0;
        labels_[i] = label && sp[i] >= cut[label] ? label : 0;
    }
    if (!step(0.75))
        return false;

    // One line per crown: its highest (unsmoothed) cell, size and volume.
    const size_t m = markers.size();
    std::vector<TreeTable::Tree> trees(m);
    std::vector<size_t> topCell(markers);
    std::vector<size_t> cells(m, 0);
    std::vector<double> volume(m, 0.0);
    for (size_t i = 0; i < n; ++i) {
        const int32_t label = labels_[i];
        if (!label)
            continue;
        const size_t t = size_t(label - 1);
        ++cells[t];
        volume[t] += chm_[i];
        if (chm_[i] > chm_[topCell[t]])
            topCell[t] = i;
    }
    const double area = cellX * cellY;
    for (size_t t = 0; t < m; ++t) {
        const size_t i = topCell[t];
        const double c = double(i % w) + 0.5, r = double(i / w) + 0.5;
        TreeTable::Tree &tree = trees[t];
        tree.x = geo_[0] + c * geo_[1] + r * geo_[2];
        tree.y = geo_[3] + c * geo_[4] + r * geo_[5];
        tree.height = chm_[i];
        tree.crownArea = double(cells[t]) * area;
        tree.crownDiameter = 2.0 * std::sqrt(tree.crownArea / M_PI);
        tree.crownVolume = volume[t] * area;
    }
    trees_ = static_cast<int>(m);
    if (!step(0.85))
        return false;
    if (!writeIntermediates())
        return false;
    if (!TreeTable::write(tablePath, trees, error_))
        return false;
    return step(1.0);
}

bool Cchm_segment::writeIntermediates()
{
    if (rasterPath.empty() && maskPath.empty() && shapePath.empty())
        return true;
    VerdantaIO::EnsureGdal();
    std::unique_ptr<GDALDataset, void (*)(GDALDataset *)> labels(
        memoryRaster(width_, height_, GDT_Int32, geo_, reference_), [](GDALDataset *d) { GDALClose(d); });
    if (!labels ||
        labels->GetRasterBand(1)->RasterIO(GF_Write, 0, 0, width_, height_, labels_.data(), width_, height_,
                                           GDT_Int32, 0, 0) != CE_None) {
        error_ = "the crown raster could not be built";
        return false;
    }
    labels->GetRasterBand(1)->SetNoDataValue(0);
    if (!rasterPath.empty() && !copyToTiff(labels.get(), rasterPath)) {
        error_ = rasterPath + ": the crown raster could not be written";
        return false;
    }
    std::unique_ptr<GDALDataset, void (*)(GDALDataset *)> mask(
        memoryRaster(width_, height_, GDT_Byte, geo_, reference_), [](GDALDataset *d) { GDALClose(d); });
    std::vector<uint8_t> bits(labels_.size());
    for (size_t i = 0; i < bits.size(); ++i)
        bits[i] = labels_[i] ? 1 : 0;
    if (!mask || mask->GetRasterBand(1)->RasterIO(GF_Write, 0, 0, width_, height_, bits.data(), width_, height_,
                                                  GDT_Byte, 0, 0) != CE_None) {
        error_ = "the crown mask could not be built";
        return false;
    }
    if (!maskPath.empty() && !copyToTiff(mask.get(), maskPath)) {
        error_ = maskPath + ": the crown mask could not be written";
        return false;
    }
    if (shapePath.empty())
        return true;
    GDALDriver *shp = GetGDALDriverManager()->GetDriverByName("ESRI Shapefile");
    GDALDataset *out = shp ? shp->Create(shapePath.c_str(), 0, 0, 0, GDT_Unknown, nullptr) : nullptr;
    if (!out) {
        error_ = shapePath + ": the crown polygons could not be written";
        return false;
    }
    OGRSpatialReference srs;
    const bool hasSrs = !reference_.empty() && srs.importFromWkt(reference_.c_str()) == OGRERR_NONE;
    OGRLayer *layer = out->CreateLayer("crowns", hasSrs ? &srs : nullptr, wkbPolygon, nullptr);
    OGRFieldDefn field("TreeID", OFTInteger);
    const bool ok = layer && layer->CreateField(&field) == OGRERR_NONE &&
                    GDALPolygonize(labels->GetRasterBand(1), mask->GetRasterBand(1), OGRLayer::ToHandle(layer), 0,
                                   nullptr, nullptr, nullptr) == CE_None;
    GDALClose(out);
    if (!ok)
        error_ = shapePath + ": the crown polygons could not be written";
    return ok;
}
