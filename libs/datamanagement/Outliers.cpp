// Outlier removal of one block of points (C_DataManagement::ErroPoints).
//
// Two tests mark a point as an outlier:
//
// 1. Statistical outlier removal (Rusu et al.), confirmed by the column:
//    the mean 3-D distance of a point to its k = 10 nearest neighbours is
//    compared with the mean plus 3 standard deviations of that distance over
//    the block (mean and deviation without the largest 1 %, which the
//    outliers themselves would otherwise inflate; at least twice the mean).
//    Ten neighbours are more than a flock of up to five birds can supply
//    among themselves, so a small flock is as far from its neighbours as a
//    lone point. Sparse returns (the top of a crown, ground under a dense
//    canopy, the edge of the data) are singled out as well, so a point the
//    statistics single out goes only when it also lies clear of its column:
//    more than 10 m above every point within 5 m horizontally that is not
//    within 5 m of it (its flock, or the crown under a tree top), or 1 m or
//    more under the ground (below).
//
// 2. Isolation of lone low points, which sit too close under a dense ground
//    for the statistics to single them out: the lowest point of its 2 m
//    cell, 1 m or more under the ground, with no other point within 1.2 m.
//
// The ground under a point is a plane resting on the lowest points of the
// 2 m cells around it (14 m across), refitted without the cells above it
// (vegetation), so that it follows slopes; the lowest point of the adjacent
// cells, with the plane's slope taken out, bounds it from above as well.
// Points on average more than 10 m from their neighbours are no reference
// for either test, so that one outlier does not vouch for another.
//
// The block bounds say which points are the block's own: the caller may pass
// points around the block as well (a margin), which serve as neighbours so
// that points near the edge are judged as fairly as those in the middle, but
// only the block's own points are decided on and returned.
//
// Speed: the mean and deviation come from a regular sample of the block's
// points; a point whose voxel (of diagonal equal to the threshold) holds k
// other points has k neighbours within the threshold and passes without a
// search. Searches run on two threads.

#include "DataManagement.h"

#include <nanoflann.hpp>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdint>
#include <thread>
#include <unordered_map>

using VerdantaIO::PointCloud;

namespace {

constexpr int kNeighbours = 10;
constexpr double kStdMultiplier = 3.0;
constexpr double kCell = 2.0;            // column cells (m)
constexpr double kColumnRadius = 5.0;    // the column of a point (m)
constexpr double kFlockRadius = 5.0;     // its flock, or the crown under a tree top (m)
constexpr double kHighGap = 10.0;        // clear above the rest of its column (m)
constexpr double kLowIsolation = 1.2;    // no neighbour within this (m)
constexpr double kLowDepth = 1.0;        // under the ground around it (m)
constexpr int kLowRings = 3;             // ground plane over 7 x 7 cells (14 m)
constexpr int kLowMinSupport = 3;
constexpr size_t kSampleTarget = 50000;  // points sampled for the statistics

struct Cloud {
    std::vector<float> xyz;  // relative to the block's centre, 3 per point
    size_t kdtree_get_point_count() const { return xyz.size() / 3; }
    float kdtree_get_pt(size_t i, size_t d) const { return xyz[3 * i + d]; }
    template <class B> bool kdtree_get_bbox(B &) const { return false; }
};
using Tree = nanoflann::KDTreeSingleIndexAdaptor<nanoflann::L2_Simple_Adaptor<float, Cloud>, Cloud, 3, uint32_t>;

// Runs f(begin, end) over [0, n) on up to two threads.
template <class F> void parallel(size_t n, F f)
{
    const unsigned threads = n > 2000 ? std::min(2u, std::max(1u, std::thread::hardware_concurrency())) : 1u;
    if (threads < 2) {
        f(size_t(0), n);
        return;
    }
    std::thread other([&] { f(n / 2, n); });
    f(size_t(0), n / 2);
    other.join();
}

double meanKnnDistance(const Tree &tree, const float *q, uint32_t *idx, float *d2)
{
    const size_t found = tree.knnSearch(q, kNeighbours + 1, idx, d2);
    double sum = 0;
    size_t used = 0;
    bool selfSkipped = false;
    for (size_t j = 0; j < found; ++j) {
        if (!selfSkipped && d2[j] == 0.0f) {  // the point itself (or a duplicate, counted once)
            selfSkipped = true;
            continue;
        }
        if (used == kNeighbours)
            break;
        sum += std::sqrt(double(d2[j]));
        ++used;
    }
    return used ? sum / used : 0.0;
}

uint64_t cellKey(int64_t a, int64_t b, int64_t c)
{
    uint64_t h = uint64_t(a) * 0x9E3779B97F4A7C15ull;
    h ^= uint64_t(b) * 0xC2B2AE3D27D4EB4Full + (h << 6) + (h >> 2);
    h ^= uint64_t(c) * 0x165667B19E3779F9ull + (h << 6) + (h >> 2);
    return h;
}

}  // namespace

int C_DataManagement::ErroPoints(std::vector<PointCloud> &points, CProcessBase *progress, double left, double bottom,
                                 double right, double top)
{
    error_.clear();
    notes_.clear();
    if (left > right)
        std::swap(left, right);
    if (bottom > top)
        std::swap(bottom, top);
    const bool boundsOk = std::isfinite(left) && std::isfinite(right) && std::isfinite(bottom) && std::isfinite(top);
    auto own = [&](const PointCloud &p) {
        return boundsOk && p.x >= left && p.x <= right && p.y >= bottom && p.y <= top;
    };
    if (progress && !progress->SetPosition(0.0))
        return kOutliersCancelled;

    // Points with a coordinate that is not finite cannot be placed; they go.
    std::vector<uint32_t> used;  // positions of the finite points
    used.reserve(points.size());
    for (size_t i = 0; i < points.size(); ++i) {
        const PointCloud &p = points[i];
        if (std::isfinite(p.x) && std::isfinite(p.y) && std::isfinite(p.z))
            used.push_back(uint32_t(i));
    }
    if (points.size() > 0xFFFFFFF0u) {
        error_ = "too many points in one block";
        return kOutliersFailed;
    }
    const size_t n = used.size();
    std::vector<char> keep(points.size(), 0);
    std::vector<uint32_t> mine;  // indices into `used` of the block's own points
    for (size_t i = 0; i < n; ++i)
        if (own(points[used[i]]))
            mine.push_back(uint32_t(i));
    if (mine.empty()) {
        points.clear();
        return kOutliersDone;
    }

    // Coordinates relative to the block's centre keep single precision exact
    // to a millimetre or so.
    const double cx = 0.5 * (left + right), cy = 0.5 * (bottom + top);
    double cz = 0;
    for (uint32_t m : mine)
        cz += points[used[m]].z;
    cz /= double(mine.size());
    Cloud cloud;
    cloud.xyz.resize(3 * n);
    for (size_t i = 0; i < n; ++i) {
        const PointCloud &p = points[used[i]];
        cloud.xyz[3 * i] = float(p.x - cx);
        cloud.xyz[3 * i + 1] = float(p.y - cy);
        cloud.xyz[3 * i + 2] = float(p.z - cz);
    }
    if (n < 2) {
        points.clear();  // a single point has no neighbour to vouch for it
        return kOutliersDone;
    }
    Tree tree(3, cloud, nanoflann::KDTreeSingleIndexAdaptorParams(20));
    tree.buildIndex();
    if (progress && !progress->SetPosition(0.3))
        return kOutliersCancelled;

    // The statistics of the mean neighbour distance, from a regular sample.
    const size_t stride = std::max<size_t>(1, mine.size() / kSampleTarget);
    std::vector<uint32_t> sample;
    for (size_t j = 0; j < mine.size(); j += stride)
        sample.push_back(mine[j]);
    std::vector<double> sampleMean(sample.size());
    parallel(sample.size(), [&](size_t b, size_t e) {
        uint32_t idx[kNeighbours + 1];
        float d2[kNeighbours + 1];
        for (size_t j = b; j < e; ++j)
            sampleMean[j] = meanKnnDistance(tree, &cloud.xyz[3 * size_t(sample[j])], idx, d2);
    });
    // The outliers themselves would widen the deviation (a few points
    // hundreds of metres away dominate it), so mean and deviation are taken
    // over the sample without its largest 1 %.
    std::vector<double> sorted = sampleMean;
    std::sort(sorted.begin(), sorted.end());
    sorted.resize(std::max<size_t>(1, sorted.size() - sorted.size() / 100));
    double sum = 0, sum2 = 0;
    for (double d : sorted) {
        sum += d;
        sum2 += d * d;
    }
    const double centre = sum / sorted.size();
    const double spread = std::sqrt(std::max(0.0, sum2 / sorted.size() - centre * centre));
    // A cloud of near-identical spacing (a regular grid) has almost no spread:
    // its edges would go for want of slack, so the threshold is at least
    // twice the mean distance.
    const double threshold = centre + std::max(kStdMultiplier * spread, centre);
    if (progress && !progress->SetPosition(0.5))
        return kOutliersCancelled;

    // Voxels whose diagonal is the threshold: k + 1 points in one voxel all
    // lie within the threshold of each other.
    const double voxel = threshold / std::sqrt(3.0);
    const bool useVoxels = voxel > 1e-3;
    std::vector<uint32_t> crowd(n, 0);  // points sharing each point's voxel
    if (useVoxels) {
        std::unordered_map<uint64_t, uint32_t> voxelCount;
        std::vector<uint64_t> voxelOf(n);
        voxelCount.reserve(n / 2 + 16);
        for (size_t i = 0; i < n; ++i) {
            voxelOf[i] = cellKey(int64_t(std::floor(cloud.xyz[3 * i] / voxel)),
                                 int64_t(std::floor(cloud.xyz[3 * i + 1] / voxel)),
                                 int64_t(std::floor(cloud.xyz[3 * i + 2] / voxel)));
            ++voxelCount[voxelOf[i]];
        }
        for (size_t i = 0; i < n; ++i)
            crowd[i] = voxelCount[voxelOf[i]];
    }

    // Columns: the points sorted into square cells of (at least) kCell metres,
    // so that the points around a place can be visited at any height.
    double minX = 1e300, minY = 1e300, maxX = -1e300, maxY = -1e300;
    for (size_t i = 0; i < n; ++i) {
        minX = std::min(minX, double(cloud.xyz[3 * i])), maxX = std::max(maxX, double(cloud.xyz[3 * i]));
        minY = std::min(minY, double(cloud.xyz[3 * i + 1])), maxY = std::max(maxY, double(cloud.xyz[3 * i + 1]));
    }
    // Widely scattered points get wider cells rather than a huge grid.
    const double cell = std::max(kCell, std::sqrt((maxX - minX + 1) * (maxY - minY + 1) / (4.0 * n + 1e6)));
    const int64_t cols = int64_t((maxX - minX) / cell) + 1, rows = int64_t((maxY - minY) / cell) + 1;
    auto cellOf = [&](size_t i) {
        const int64_t c = std::min<int64_t>(cols - 1, int64_t((cloud.xyz[3 * i] - minX) / cell));
        const int64_t r = std::min<int64_t>(rows - 1, int64_t((cloud.xyz[3 * i + 1] - minY) / cell));
        return r * cols + c;
    };
    std::vector<uint32_t> start(size_t(cols * rows) + 1, 0), order(n);
    for (size_t i = 0; i < n; ++i)
        ++start[size_t(cellOf(i)) + 1];
    for (size_t c = 1; c < start.size(); ++c)
        start[c] += start[c - 1];
    {
        std::vector<uint32_t> fill(start.begin(), start.end() - 1);
        for (size_t i = 0; i < n; ++i)
            order[fill[size_t(cellOf(i))]++] = uint32_t(i);
    }
    // Visits every other point within `rings` cells of point i.
    auto around = [&](uint32_t i, int rings, auto visit) {
        const int64_t c0 = cellOf(i);
        const int64_t r = c0 / cols, c = c0 % cols;
        for (int64_t rr = std::max<int64_t>(0, r - rings); rr <= std::min(rows - 1, r + rings); ++rr)
            for (int64_t cc = std::max<int64_t>(0, c - rings); cc <= std::min(cols - 1, c + rings); ++cc) {
                const size_t k = size_t(rr * cols + cc);
                for (uint32_t o = start[k]; o < start[k + 1]; ++o)
                    if (order[o] != i)
                        visit(order[o]);
            }
    };

    std::vector<char> accepted(n, 1);  // by the statistics, below
    std::vector<char> remote(n, 0);    // on average more than kHighGap from its neighbours
    std::vector<char> outlier(n, 0);   // singled out and confirmed
    // The ground under a point: a plane through the lowest points of the
    // cells around it (kLowRings cells each way), fitted again (up to ten
    // times) until the cells it rests on settle, each time without the cells more than 0.5 m above it (vegetation over sparse
    // ground) and, after the first fit, more than 2 m below it (other low
    // points). It follows a
    // slope, so a point on a steep slope is not below it. Returns how far the
    // point lies under the plane, or NaN without enough cells to fit.
    std::vector<uint32_t> cellLow(start.size() - 1, UINT32_MAX), cellLow2(start.size() - 1, UINT32_MAX);
    auto depthUnderGround = [&](uint32_t i) {
        const float *q = &cloud.xyz[3 * size_t(i)];
        const int64_t c0 = cellOf(i);
        const int64_t r = c0 / cols, c = c0 % cols;
        struct Low { double x, y, z; bool adjacent; };
        std::vector<Low> lows;
        lows.reserve(size_t(2 * kLowRings + 1) * size_t(2 * kLowRings + 1));
        for (int64_t rr = std::max<int64_t>(0, r - kLowRings); rr <= std::min(rows - 1, r + kLowRings); ++rr)
            for (int64_t cc = std::max<int64_t>(0, c - kLowRings); cc <= std::min(cols - 1, c + kLowRings); ++cc) {
                const size_t k = size_t(rr * cols + cc);
                const uint32_t o = cellLow[k] == i ? cellLow2[k] : cellLow[k];
                if (o == UINT32_MAX)
                    continue;
                const float *p = &cloud.xyz[3 * size_t(o)];
                lows.push_back({p[0] - q[0], p[1] - q[1], double(p[2]), std::abs(rr - r) <= 1 && std::abs(cc - c) <= 1});
            }
        double a = 0, bx = 0, by = 0;
        bool fitted = false;
        std::vector<char> use(lows.size(), 1);
        for (int pass = 0; pass < 10; ++pass) {
            // Least squares z = a + bx x + by y over the cells in use.
            double sw = 0, sx = 0, sy = 0, sz = 0, sxx = 0, sxy = 0, syy = 0, sxz = 0, syz = 0;
            for (size_t j = 0; j < lows.size(); ++j) {
                if (!use[j])
                    continue;
                const Low &l = lows[j];
                sw += 1, sx += l.x, sy += l.y, sz += l.z;
                sxx += l.x * l.x, sxy += l.x * l.y, syy += l.y * l.y, sxz += l.x * l.z, syz += l.y * l.z;
            }
            if (sw < kLowMinSupport)
                break;  // too few cells left: the previous fit stands
            // Centred normal equations of the two slopes.
            const double mx = sx / sw, my = sy / sw, mz = sz / sw;
            const double cxx = sxx - sw * mx * mx, cxy = sxy - sw * mx * my, cyy = syy - sw * my * my;
            const double cxz = sxz - sw * mx * mz, cyz = syz - sw * my * mz;
            const double det = cxx * cyy - cxy * cxy;
            if (det > 1e-6 * (cxx * cyy + 1e-12)) {
                bx = (cxz * cyy - cyz * cxy) / det;
                by = (cyz * cxx - cxz * cxy) / det;
            } else {
                bx = by = 0;
            }
            // Terrain steeper than 45 degrees is taken as 45 degrees.
            const double slope = std::hypot(bx, by);
            if (slope > 1.0)
                bx /= slope, by /= slope;
            a = mz - bx * mx - by * my;
            fitted = true;
            // The lower envelope: cells above the plane are vegetation.
            bool changed = false;
            for (size_t j = 0; j < lows.size(); ++j) {
                const double res = lows[j].z - (a + bx * lows[j].x + by * lows[j].y);
                const char u = res <= 0.5;
                changed = changed || u != use[j];
                use[j] = u;
            }
            if (!changed)
                break;
        }
        if (!fitted)
            return std::nan("");
        // A plane resting on a few cells can tilt; the lowest point of the
        // adjacent cells, with the plane's slope taken out, bounds the ground
        // from above as well.
        double ground = a;
        for (const Low &l : lows)
            if (l.adjacent)
                ground = std::min(ground, l.z - bx * l.x - by * l.y);
        return ground - double(q[2]);
    };

    // The lone low point: the lowest of its cell, kLowDepth or more under the
    // ground, and no other point within kLowIsolation.
    auto loneLow = [&](uint32_t i) {
        if (!(depthUnderGround(i) >= kLowDepth))
            return false;
        std::vector<std::pair<uint32_t, float>> near;
        nanoflann::SearchParams params;
        params.sorted = false;
        tree.radiusSearch(&cloud.xyz[3 * size_t(i)], float(kLowIsolation * kLowIsolation), near, params);
        for (const auto &nb : near)
            if (nb.first != i && !remote[nb.first])
                return false;
        return true;
    };
    // Confirms a point the statistics single out: it lies clear of the
    // vertical range of the points in its column. Over those within
    // kColumnRadius horizontally it must be more than kHighGap above the
    // highest, not counting the points within kFlockRadius of it (its own
    // flock, or the crown under a tree top), or more than kLowDepth below the
    // lowest. Points that are on average more than kHighGap from their
    // neighbours are no reference (one outlier must not vouch for another).
    // Where sparse data leave the column empty it widens (twice, to four
    // times the radius); a point with nothing at all around it goes.
    auto confirmed = [&](uint32_t i) {
        const float *q = &cloud.xyz[3 * size_t(i)];
        bool any = false;
        for (double radius = kColumnRadius; radius <= 4 * kColumnRadius; radius *= 2) {
            double hi = -1e300;
            bool reference = false;
            around(i, int(std::ceil(radius / cell)), [&](uint32_t o) {
                const float *p = &cloud.xyz[3 * size_t(o)];
                const double dx = p[0] - q[0], dy = p[1] - q[1], dz = p[2] - q[2];
                const double h2 = dx * dx + dy * dy;
                if (h2 > radius * radius)
                    return;
                any = true;
                if (remote[o])
                    return;
                reference = true;
                if (h2 + dz * dz > kFlockRadius * kFlockRadius)
                    hi = std::max(hi, double(p[2]));
            });
            if (reference)
                return (hi > -1e300 && q[2] > hi + kHighGap) || depthUnderGround(i) >= kLowDepth;
        }
        return !any;  // among remote points only: no reference, kept
    };

    // First the statistics for every point, the margin's included: the
    // points they accept form the surroundings the other tests look at, so
    // that one outlier does not vouch for another.
    std::atomic<bool> cancelled{false};
    parallel(n, [&](size_t b, size_t e) {
        uint32_t idx[kNeighbours + 1];
        float d2[kNeighbours + 1];
        for (size_t i = b; i < e; ++i) {
            if (crowd[i] <= kNeighbours) {
                const double d = meanKnnDistance(tree, &cloud.xyz[3 * i], idx, d2);
                accepted[i] = d <= threshold;
                remote[i] = d > std::max(threshold, kHighGap);
            }
            if (b == 0 && progress && (i & 0xFFFF) == 0 && !cancelled.load()) {
                if (!progress->SetPosition(0.5 + 0.4 * double(i) / double(e)))
                    cancelled = true;
            }
            if (cancelled.load())
                return;
        }
    });
    if (cancelled)
        return kOutliersCancelled;
    // The lowest and second lowest point of every cell, outliers far from
    // everything left out.
    for (size_t i = 0; i < n; ++i) {
        if (remote[i])
            continue;
        const size_t k = size_t(cellOf(i));
        const float z = cloud.xyz[3 * i + 2];
        if (cellLow[k] == UINT32_MAX || z < cloud.xyz[3 * size_t(cellLow[k]) + 2]) {
            cellLow2[k] = cellLow[k];
            cellLow[k] = uint32_t(i);
        } else if (cellLow2[k] == UINT32_MAX || z < cloud.xyz[3 * size_t(cellLow2[k]) + 2]) {
            cellLow2[k] = uint32_t(i);
        }
    }
    for (uint32_t i : mine)
        outlier[i] = !accepted[i] && confirmed(i);
    for (uint32_t i : mine)
        keep[used[i]] = !outlier[i] && !(cellLow[size_t(cellOf(i))] == i && loneLow(i));
    if (cancelled)
        return kOutliersCancelled;

    std::vector<PointCloud> kept;
    size_t count = 0;
    for (char k : keep)
        count += k;
    kept.reserve(count);
    for (size_t i = 0; i < points.size(); ++i)
        if (keep[i])
            kept.push_back(points[i]);
    points.swap(kept);
    if (progress && !progress->SetPosition(1.0))
        return kOutliersCancelled;
    return kOutliersDone;
}
