#include "ChmSegment.h"

#include "CrownShapefile.h"
#include "RasterIO.h"
#include "TreeTable.h"

#include <gdal_priv.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <thread>

namespace {

// A cell value that holds no height: no-data, NaN, or beyond any tree.
bool isHeight(float v, bool hasNoData, double noData)
{
    return std::isfinite(v) && !(hasNoData && v == static_cast<float>(noData)) && v > -1e6f && v < 1e6f;
}

// Runs fn(r0, r1, first) on two strips of rows [0, h) at once, the first
// strip on the calling thread (which alone may report progress); the
// strips' boundary is on a multiple of 256 rows.
template <class Fn> void inStrips(int h, const Fn &fn)
{
    const int split = h < 512 ? h : ((h / 2) & ~255);
    if (split >= h) {
        fn(0, h, true);
        return;
    }
    std::thread second([&] { fn(split, h, false); });
    fn(0, split, true);
    second.join();
}

// 3 x 3 binomial smoothing (weights 1-2-1 in each direction: across each
// row, then down the columns); cells outside the raster repeat the edge.
std::vector<float> smooth(const std::vector<float> &in, int w, int h)
{
    std::vector<float> out(in.size());
    inStrips(h, [&](int r0, int r1, bool) {
        // The rows r - 1, r and r + 1 smoothed across, rolled down the strip.
        std::vector<float> across(size_t(3) * w);
        auto smoothRow = [&](int r, float *dst) {
            const float *src = &in[size_t(r) * w];
            for (int c = 0; c < w; ++c) {
                const float l = src[std::max(c - 1, 0)], m = src[c], rr = src[std::min(c + 1, w - 1)];
                dst[c] = 0.25f * l + 0.5f * m + 0.25f * rr;
            }
        };
        auto slot = [&](int r) { return &across[size_t((r + 3) % 3) * w]; };
        smoothRow(std::max(r0 - 1, 0), slot(r0 - 1));
        smoothRow(r0, slot(r0));
        for (int r = r0; r < r1; ++r) {
            smoothRow(std::min(r + 1, h - 1), slot(r + 1));
            const float *up = slot(r - 1), *mid = slot(r), *down = slot(r + 1);
            float *dst = &out[size_t(r) * w];
            for (int c = 0; c < w; ++c)
                dst[c] = 0.25f * up[c] + 0.5f * mid[c] + 0.25f * down[c];
        }
    });
    return out;
}

// True when cell i beats cell j as a marker: higher, or as high and first
// in raster order.
inline bool beats(const float *s, size_t i, size_t j) { return s[i] > s[j] || (s[i] == s[j] && i < j); }

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
    std::vector<size_t> markers, later;  // the peaks of the first and of the second strip
    std::atomic<bool> cancelled(false);
    inStrips(h, [&](int r0, int r1, bool first) {
        std::vector<size_t> &found = first ? markers : later;
        for (int r = r0; r < r1 && !cancelled; ++r) {
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
                if (best != i)
                    up[i] = static_cast<uint32_t>(best);
                else if (sp[i] <= maxHeight)
                    found.push_back(i);
            }
            if (first && (r & 255) == 0 && !step(0.15 + 0.55 * double(r - r0) / (r1 - r0)))
                cancelled = true;
        }
    });
    if (cancelled)
        return false;
    // Markers are numbered in raster order.
    markers.insert(markers.end(), later.begin(), later.end());
    // labels_ first holds the marker each cell drains to: -1 while unknown
    // (every cell at or above the minimum height), 0 for none.
    labels_.resize(n);
    for (size_t i = 0; i < n; ++i)
        labels_[i] = sp[i] < minHeight ? 0 : -1;
    for (size_t m = 0; m < markers.size(); ++m)
        labels_[markers[m]] = static_cast<int32_t>(m + 1);
    // Crowns: every cell takes the marker its path reaches (paths are
    // shortened as they are followed), and keeps it while it lies above
    // crownFraction of that marker's height and above the minimum height.
    std::vector<float> cut(markers.size() + 1, 0.0f);
    for (size_t m = 0; m < markers.size(); ++m)
        cut[m + 1] = std::max(minHeight, static_cast<float>(crownFraction) * sp[markers[m]]);
    std::vector<uint32_t> path;
    for (size_t i = 0; i < n; ++i) {
        if (labels_[i] >= 0)
            continue;
        size_t j = i;
        path.clear();
        while (labels_[j] < 0 && up[j] != kNone) {
            path.push_back(static_cast<uint32_t>(j));
            j = up[j];
        }
        // A peak that is no marker (above the maximum height) takes none.
        const int32_t label = std::max(labels_[j], 0);
        labels_[j] = label;
        for (uint32_t p : path)
            labels_[p] = label;
    }
    for (size_t i = 0; i < n; ++i) {
        const int32_t label = labels_[i];
        if (label && sp[i] < cut[label])
            labels_[i] = 0;
    }
    if (!step(0.7))
        return false;

    // One line per crown: its highest (unsmoothed) cell, the area of its
    // polygons, and its volume.
    const size_t m = markers.size();
    std::vector<TreeTable::Tree> trees(m);
    std::vector<size_t> topCell(markers);
    std::vector<double> volume(m, 0.0);
    for (size_t i = 0; i < n; ++i) {
        const int32_t label = labels_[i];
        if (!label)
            continue;
        const size_t t = size_t(label - 1);
        volume[t] += chm_[i];
        if (chm_[i] > chm_[topCell[t]])
            topCell[t] = i;
    }
    const double area = cellX * cellY;
    std::vector<uint32_t> numbers(m);
    for (size_t t = 0; t < m; ++t) {
        const size_t i = topCell[t];
        const double c = double(i % w) + 0.5, r = double(i / w) + 0.5;
        TreeTable::Tree &tree = trees[t];
        tree.x = geo_[0] + c * geo_[1] + r * geo_[2];
        tree.y = geo_[3] + c * geo_[4] + r * geo_[5];
        tree.height = chm_[i];
        tree.crownVolume = volume[t] * area;
        numbers[t] = treeNumber ? treeNumber(tree.x, tree.y) : static_cast<uint32_t>(t + 1);
    }
    trees_ = static_cast<int>(m);
    // The rasters are written on a second thread while the outlines are
    // traced and written.
    VerdantaIO::EnsureGdal();
    bool rastersOk = true;
    std::string rasterError;
    std::thread rasters([&] { rastersOk = writeRasters(numbers, rasterError); });
    const std::vector<std::vector<CrownOutlines::Part>> outlines =
        CrownOutlines::trace(labels_.data(), w, h, static_cast<int>(m));
    for (size_t t = 0; t < m; ++t) {
        trees[t].crownArea = double(CrownOutlines::cellsOf(outlines[t])) * area;
        trees[t].crownDiameter = 2.0 * std::sqrt(trees[t].crownArea / M_PI);
    }
    const bool polygonsOk = writePolygons(outlines, numbers);
    rasters.join();
    if (!rastersOk) {
        error_ = rasterError;
        return false;
    }
    if (!polygonsOk || !step(0.95))
        return false;
    if (!TreeTable::write(tablePath, trees, error_))
        return false;
    return step(1.0);
}

bool Cchm_segment::writeRasters(const std::vector<uint32_t> &numbers, std::string &error) const
{
    // Row blocks keep the converted copy small.
    auto write = [&](const std::string &path, GDALDataType type, bool zeroIsNoData, auto value, const char *what) {
        using Cell = decltype(value(0));
        if (path.empty())
            return true;
        constexpr int kRows = 256;
        GDALDriver *tiff = GetGDALDriverManager()->GetDriverByName("GTiff");
        GDALDataset *ds = tiff ? tiff->Create(path.c_str(), width_, height_, 1, type, nullptr) : nullptr;
        bool ok = ds != nullptr;
        if (ok) {
            std::array<double, 6> g = geo_;
            ds->SetGeoTransform(g.data());
            if (!reference_.empty())
                ds->SetProjection(reference_.c_str());
            if (zeroIsNoData)
                ds->GetRasterBand(1)->SetNoDataValue(0);
        }
        std::vector<Cell> block;
        for (int r0 = 0; ok && r0 < height_; r0 += kRows) {
            const int rows = std::min(kRows, height_ - r0);
            block.resize(size_t(rows) * width_);
            const int32_t *src = labels_.data() + size_t(r0) * width_;
            for (size_t k = 0; k < block.size(); ++k)
                block[k] = value(src[k]);
            ok = ds->GetRasterBand(1)->RasterIO(GF_Write, 0, r0, width_, rows, block.data(), width_, rows, type, 0,
                                                0) == CE_None;
        }
        if (ds)
            GDALClose(ds);
        if (!ok)
            error = path + ": the crown " + what + " could not be written";
        return ok;
    };
    return write(rasterPath, GDT_UInt32, true,
                 [&](int32_t label) -> uint32_t { return label ? numbers[size_t(label - 1)] : 0; }, "raster") &&
           write(maskPath, GDT_Byte, false, [](int32_t label) -> uint8_t { return label ? 1 : 0; }, "mask");
}

bool Cchm_segment::writePolygons(const std::vector<std::vector<CrownOutlines::Part>> &outlines,
                                 const std::vector<uint32_t> &numbers)
{
    return shapePath.empty() || CrownShapefile::write(shapePath, reference_, geo_, outlines, numbers, error_);
}
