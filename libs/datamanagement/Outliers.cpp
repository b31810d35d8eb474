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
// Speed: the points are sorted into square columns, each by height, which
// serve both the neighbour searches and the column tests. The mean and
// deviation come from a regular sample of the block's points. The test of
// every point then needs only whether its mean distance exceeds the
// threshold, which the points in a window around it settle for nearly all
// of them (see below): for most, a count of the neighbours within the
// threshold is enough. Only the rest are searched in full. Searches run on
// two threads when no other block is being cleaned at the same time.

#include "DataManagement.h"
#include "LargeVector.h"
#include "Threads.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <thread>

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
constexpr size_t kSampleTarget = 20000;  // points sampled for the statistics
constexpr double kWindowCells = 2.0;     // columns of the window, in thresholds

// Sizes a large array, in huge pages where it fills them (fresh memory
// faulted in 4 KiB at a time costs as much as the work done on it). What the
// previous block left in it stays: every caller writes each element anew,
// and clearing them first would write every element twice.
template <class T> void large(std::vector<T> &v, size_t n)
{
    if (v.capacity() < n) {  // with room for the next, somewhat larger block
        v.clear();
        reserveLarge(v, n + n / 4, size_t(2) << 20);
    }
    v.resize(n);
}

// Blocks being cleaned at this moment, on any thread. Blocks run side by side
// (one per core) leave no core for a second thread within a block: it would
// only take turns with the other block.
std::atomic<int> g_blocksAtWork{0};
struct AtWork {
    AtWork() { ++g_blocksAtWork; }
    ~AtWork() { --g_blocksAtWork; }
};

// Runs f(begin, end) over chunks of [0, n) on up to two threads, each taking
// the next chunk when it is done with one; on one while another block is at
// work.
template <class F> void parallel(size_t n, size_t chunk, F f)
{
    const unsigned threads = n > 2 * chunk && g_blocksAtWork.load() < 2 ? threadBudget(2) : 1u;
    std::atomic<size_t> next{0};
    auto work = [&] {
        for (size_t b; (b = next.fetch_add(chunk)) < n;)
            f(b, std::min(n, b + chunk));
    };
    if (threads < 2) {
        work();
        return;
    }
    std::thread other(work);
    work();
    other.join();
}

// The points in square columns, each column's points by rising height (equal
// heights by position), with their coordinates copied in that order so that
// a column is read from contiguous memory.
struct Columns {
    float x0 = 0, y0 = 0;
    double cell = 1;
    int64_t cols = 1, rows = 1;
    double span = 0;              // the diagonal of the points' bounding box
    std::vector<uint32_t> start;  // cols * rows + 1 offsets into the arrays below
    std::vector<uint32_t> id;
    std::vector<float> x, y, z;

    int64_t col(double px) const { return std::min<int64_t>(cols - 1, std::max<int64_t>(0, int64_t((px - x0) / cell))); }
    int64_t row(double py) const { return std::min<int64_t>(rows - 1, std::max<int64_t>(0, int64_t((py - y0) / cell))); }
    size_t cellAt(float px, float py) const { return size_t(row(py) * cols + col(px)); }
    // The range of column c among the arrays, from the first height >= lo.
    uint32_t from(size_t c, float lo) const
    {
        return uint32_t(std::lower_bound(z.begin() + start[c], z.begin() + start[c + 1], lo) - z.begin());
    }
};

// Scratch arrays of the column grids.
struct Scratch {
    std::vector<uint32_t> cellOf;
    // A point on its way into its column: its height and source position
    // (the order within a column) in one key that compares as they do, and
    // its other coordinates, carried along so that they need not be fetched
    // from all over the source afterwards.
    struct Entry {
        uint64_t key;
        float x, y;
        bool operator<(const Entry &o) const { return key < o.key; }
        // The bits of a height turned so that they compare as unsigned
        // numbers as the heights do (a negative zero taken as zero).
        static uint64_t keyOf(float z, uint32_t at)
        {
            z += 0.0f;
            uint32_t b;
            std::memcpy(&b, &z, 4);
            b = (b & 0x80000000u) ? ~b : (b | 0x80000000u);
            return (uint64_t(b) << 32) | at;
        }
        float z() const
        {
            uint32_t b = uint32_t(key >> 32);
            b = (b & 0x80000000u) ? (b & 0x7FFFFFFFu) : ~b;
            float v;
            std::memcpy(&v, &b, 4);
            return v;
        }
        uint32_t at() const { return uint32_t(key); }
    };
    std::vector<Entry> byCell;
};

// Points to sort into columns: point k at x[k * stride], y[k * stride],
// z[k * stride], numbered id[k] (k without `id`).
struct Source {
    const float *x, *y, *z;
    size_t stride, n;
    const uint32_t *id;
    float X(size_t k) const { return x[k * stride]; }
    float Y(size_t k) const { return y[k * stride]; }
    float Z(size_t k) const { return z[k * stride]; }
};

// Fills g with the columns of the points of `p`. The cell grows where it
// would make more columns than points allow. Points that come in the order
// of another grid's columns are sorted into these with far less scattered
// reading and writing than points in file order.
void makeColumns(const Source &p, double cell, Columns &g, Scratch &scratch)
{
    const size_t n = p.n;
    float minX = p.X(0), maxX = p.X(0), minY = p.Y(0), maxY = p.Y(0), minZ = p.Z(0), maxZ = p.Z(0);
    for (size_t i = 1; i < n; ++i) {
        minX = std::min(minX, p.X(i)), maxX = std::max(maxX, p.X(i));
        minY = std::min(minY, p.Y(i)), maxY = std::max(maxY, p.Y(i));
        minZ = std::min(minZ, p.Z(i)), maxZ = std::max(maxZ, p.Z(i));
    }
    g.x0 = minX, g.y0 = minY;
    g.span = std::sqrt(double(maxX - minX) * (maxX - minX) + double(maxY - minY) * (maxY - minY) +
                       double(maxZ - minZ) * (maxZ - minZ));
    g.cell = std::max({cell, 1e-3, std::sqrt((double(maxX - minX) + 1) * (double(maxY - minY) + 1) / (4.0 * n + 1e6))});
    g.cols = int64_t((maxX - minX) / g.cell) + 1, g.rows = int64_t((maxY - minY) / g.cell) + 1;
    std::vector<uint32_t> &cellOf = scratch.cellOf;
    large(cellOf, n);
    g.start.assign(size_t(g.cols * g.rows) + 1, 0);
    for (size_t i = 0; i < n; ++i) {
        cellOf[i] = uint32_t(g.cellAt(p.X(i), p.Y(i)));
        ++g.start[cellOf[i] + 1];
    }
    for (size_t c = 1; c < g.start.size(); ++c)
        g.start[c] += g.start[c - 1];
    std::vector<Scratch::Entry> &byCell = scratch.byCell;
    large(byCell, n);
    {
        std::vector<uint32_t> fill(g.start.begin(), g.start.end() - 1);
        for (size_t i = 0; i < n; ++i)
            byCell[fill[cellOf[i]]++] = {Scratch::Entry::keyOf(p.Z(i), uint32_t(i)), p.X(i), p.Y(i)};
    }
    large(g.id, n), large(g.x, n), large(g.y, n), large(g.z, n);
    parallel(g.start.size() - 1, 4096, [&](size_t b, size_t e) {
        for (size_t c = b; c < e; ++c) {
            std::sort(byCell.begin() + g.start[c], byCell.begin() + g.start[c + 1]);
            for (uint32_t k = g.start[c]; k < g.start[c + 1]; ++k) {
                const Scratch::Entry &e = byCell[k];
                g.id[k] = p.id ? p.id[e.at()] : e.at(), g.x[k] = e.x, g.y[k] = e.y, g.z[k] = e.z();
            }
        }
    });
}

// The arrays of a block, kept for the next block on the same thread: fresh
// memory would be faulted in (and zeroed) anew for every block, which costs
// as much as a good part of the work. They go with the thread.
struct Workspace : Scratch {
    Columns cols, near;
    std::vector<uint32_t> used, mine, posOf;
    std::vector<float> xyz;
    std::vector<double> heights;
    std::vector<char> keep, accepted, remote;
};

Workspace &workspace()
{
    thread_local Workspace w;
    return w;
}

// The k nearest of a point's neighbours seen so far, by rising squared
// distance.
struct Nearest {
    float d2[kNeighbours];
    int m = 0;
    float worst() const { return m < kNeighbours ? INFINITY : d2[kNeighbours - 1]; }
    void offer(float d)
    {
        if (m == kNeighbours && !(d < d2[kNeighbours - 1]))
            return;
        int j = m < kNeighbours ? m++ : kNeighbours - 1;
        for (; j > 0 && d2[j - 1] > d; --j)
            d2[j] = d2[j - 1];
        d2[j] = d;
    }
    double mean() const
    {
        double sum = 0;
        for (int j = 0; j < m; ++j)
            sum += std::sqrt(double(d2[j]));
        return m ? sum / m : 0.0;
    }
};

// The mean distance of the point at position `self` of g (coordinates q) to
// its k nearest neighbours. The columns are searched ring by ring around the
// point's own until the points not yet seen lie farther than the k-th
// nearest found, each column only within that distance in height. With
// `enough` the search stops early once the mean is known to exceed it (the
// result is then a lower bound above `enough`), with `settled` once it is
// known to be at most that (the result is then an upper bound).
double meanNearest(const Columns &g, const float *q, uint32_t self, double enough = INFINITY,
                   double settled = -INFINITY)
{
    Nearest best;
    const int64_t ci = g.col(q[0]), ri = g.row(q[1]);
    const int64_t rings = std::max({ci, g.cols - 1 - ci, ri, g.rows - 1 - ri});
    // A millimetre of slack covers the rounding of the coordinates and of
    // their columns.
    constexpr double kSlack = 1e-3;
    // A column is searched from the point's height up and down, each way
    // until the height alone puts a point beyond the k-th nearest found.
    auto scan = [&](int64_t cc, int64_t rr) {
        const size_t c = size_t(rr * g.cols + cc);
        const uint32_t begin = g.start[c], end = g.start[c + 1];
        const uint32_t mid = self >= begin && self < end ? self : g.from(c, q[2]);
        for (uint32_t k = mid; k < end; ++k) {
            const float dx = g.x[k] - q[0], dy = g.y[k] - q[1], dz = g.z[k] - q[2];
            if (!(dz * dz < best.worst()))
                break;
            const float d2 = dx * dx + dy * dy + dz * dz;
            if (d2 < best.worst() && k != self)
                best.offer(d2);
        }
        for (uint32_t k = mid; k-- > begin;) {
            const float dx = g.x[k] - q[0], dy = g.y[k] - q[1], dz = g.z[k] - q[2];
            if (!(dz * dz < best.worst()))
                break;
            const float d2 = dx * dx + dy * dy + dz * dz;
            if (d2 < best.worst())
                best.offer(d2);
        }
    };
    // Within a ring, the search ends as soon as the root mean square of the
    // distances found, which bounds their mean from above, is at most
    // `settled`.
    const double settled2 = settled > 0 ? double(kNeighbours) * settled * settled : -1.0;
    auto done = [&] {
        if (best.m < kNeighbours)
            return false;
        double sum2 = 0;
        for (int j = 0; j < kNeighbours; ++j)
            sum2 += double(best.d2[j]);
        return sum2 <= settled2;
    };
    for (int64_t ring = 0; ring <= rings; ++ring) {
        if (ring > 0) {
            // Every point not yet seen lies at least `gap` away: beyond the
            // faces of the square of rings searched that have columns
            // beyond them.
            double gap = INFINITY;
            const double west = g.x0 + double(ci - ring + 1) * g.cell, east = g.x0 + double(ci + ring) * g.cell;
            const double south = g.y0 + double(ri - ring + 1) * g.cell, north = g.y0 + double(ri + ring) * g.cell;
            if (ci - ring >= 0)
                gap = std::min(gap, q[0] - west);
            if (ci + ring < g.cols)
                gap = std::min(gap, east - q[0]);
            if (ri - ring >= 0)
                gap = std::min(gap, q[1] - south);
            if (ri + ring < g.rows)
                gap = std::min(gap, north - q[1]);
            gap = std::max(0.0, gap - kSlack);
            if (best.m == kNeighbours && double(best.worst()) <= gap * gap)
                return best.mean();  // the k nearest
            if (best.m == kNeighbours && best.mean() <= settled)
                return best.mean();  // the true k nearest are nearer still
            if (enough < INFINITY) {
                double bound = double(kNeighbours - best.m) * gap;
                for (int j = 0; j < best.m; ++j)
                    bound += std::min(std::sqrt(double(best.d2[j])), gap);
                bound /= kNeighbours;
                if (bound > enough)
                    return bound;
            }
        }
        const int64_t r0 = std::max<int64_t>(0, ri - ring), r1 = std::min(g.rows - 1, ri + ring);
        const int64_t c0 = std::max<int64_t>(0, ci - ring), c1 = std::min(g.cols - 1, ci + ring);
        for (int64_t rr = r0; rr <= r1; ++rr) {
            if (rr == ri - ring || rr == ri + ring) {
                for (int64_t cc = c0; cc <= c1; ++cc) {
                    scan(cc, rr);
                    if (settled2 > 0 && done())
                        return std::min(best.mean(), settled);
                }
            } else {
                if (ci - ring >= 0)
                    scan(ci - ring, rr);
                if (ring > 0 && ci + ring < g.cols)
                    scan(ci + ring, rr);
                if (settled2 > 0 && done())
                    return std::min(best.mean(), settled);
            }
        }
    }
    return best.mean();  // the k nearest, or all there are
}

}  // namespace

int C_DataManagement::ErroPoints(std::vector<PointCloud> &points, CProcessBase *progress, double left, double bottom,
                                 double right, double top)
{
    error_.clear();
    notes_.clear();
    const AtWork atWork;
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

    if (points.size() > 0xFFFFFFF0u) {
        error_ = "too many points in one block";
        return kOutliersFailed;
    }
    // Points with a coordinate that is not finite cannot be placed; they go.
    // One pass over the points finds the finite ones, the block's own among
    // them and the mean height of those, and takes their coordinates:
    // relative to the block's centre, which keeps single precision exact to
    // a millimetre or so, and the heights as they are until their mean is
    // known.
    Workspace &ws = workspace();
    std::vector<uint32_t> &used = ws.used;  // positions of the finite points
    std::vector<uint32_t> &mine = ws.mine;  // indices into `used` of the block's own points
    std::vector<float> &xyz = ws.xyz;
    std::vector<double> &heights = ws.heights;
    large(used, points.size()), large(mine, points.size());
    large(xyz, 3 * points.size()), large(heights, points.size());
    const double cx = 0.5 * (left + right), cy = 0.5 * (bottom + top);
    double cz = 0;
    size_t n = 0, owned = 0;
    for (size_t i = 0; i < points.size(); ++i) {
        const PointCloud &p = points[i];
        if (!(std::isfinite(p.x) && std::isfinite(p.y) && std::isfinite(p.z)))
            continue;
        if (own(p)) {
            mine[owned++] = uint32_t(n);
            cz += p.z;
        }
        xyz[3 * n] = float(p.x - cx);
        xyz[3 * n + 1] = float(p.y - cy);
        heights[n] = p.z;
        used[n++] = uint32_t(i);
    }
    used.resize(n), mine.resize(owned), xyz.resize(3 * n);
    std::vector<char> &keep = ws.keep;
    keep.assign(points.size(), 0);
    if (mine.empty()) {
        points.clear();
        return kOutliersDone;
    }

    cz /= double(mine.size());
    for (size_t i = 0; i < n; ++i)
        xyz[3 * i + 2] = float(heights[i] - cz);
    if (n < 2) {
        points.clear();  // a single point has no neighbour to vouch for it
        return kOutliersDone;
    }
    // Columns of (at least) kCell metres: the points around a place at any
    // height, and the search for the neighbours of the sampled points.
    makeColumns({&xyz[0], &xyz[1], &xyz[2], 3, n, nullptr}, kCell, ws.cols, ws);
    const Columns &cols = ws.cols;
    std::vector<uint32_t> &posOf = ws.posOf;
    large(posOf, n);  // position of each point among the columns
    for (uint32_t k = 0; k < n; ++k)
        posOf[cols.id[k]] = k;
    if (progress && !progress->SetPosition(0.2))
        return kOutliersCancelled;

    // The statistics of the mean neighbour distance, from a regular sample.
    const size_t stride = std::max<size_t>(1, mine.size() / kSampleTarget);
    std::vector<uint32_t> sample;
    for (size_t j = 0; j < mine.size(); j += stride)
        sample.push_back(mine[j]);
    // Searched in the order of the columns, which keeps the columns searched
    // in the cache (only the distribution of the means matters, not their
    // order).
    std::sort(sample.begin(), sample.end(), [&](uint32_t a, uint32_t b) { return posOf[a] < posOf[b]; });
    std::vector<double> sampleMean(sample.size());
    parallel(sample.size(), 1024, [&](size_t b, size_t e) {
        for (size_t j = b; j < e; ++j)
            sampleMean[j] = meanNearest(cols, &xyz[3 * size_t(sample[j])], posOf[sample[j]]);
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
    const double remoteAt = std::max(threshold, kHighGap);
    if (progress && !progress->SetPosition(0.3))
        return kOutliersCancelled;

    std::vector<char> &accepted = ws.accepted, &remote = ws.remote;
    accepted.assign(n, 1);  // by the statistics, below
    remote.assign(n, 0);    // on average more than kHighGap from its neighbours

    // The statistics for every point, the margin's included: the points they
    // accept form the surroundings the other tests look at, so that one
    // outlier does not vouch for another. Only whether a point's mean
    // distance exceeds the threshold matters, so each point is first
    // measured against the points of the three by three columns of a second
    // grid (kWindowCells times the threshold wide) around it, within the
    // threshold in height.
    // Where the k nearest of those lie closer than the window's edge they
    // are the point's k nearest; where their mean is within the threshold,
    // the true mean is too. Only the points that neither settles are searched in full.
    // Columns this wide mostly hold the k neighbours within the threshold
    // by themselves, and their counts run over long stretches of memory:
    // narrower ones, nearer the size of the sphere, leave more columns to
    // visit for each point and more points to search in full.
    // Walking up a column, the window in each neighbouring column only moves
    // up, so the points of the block are visited in a few sweeps.
    std::atomic<bool> cancelled{false};
    {
        makeColumns({cols.x.data(), cols.y.data(), cols.z.data(), 1, n, cols.id.data()}, kWindowCells * threshold,
                    ws.near, ws);
        const Columns &near = ws.near;
        const float reach = float(threshold);
        std::atomic<size_t> done{0};
        parallel(size_t(near.rows), 8, [&](size_t rb, size_t re) {
            for (int64_t r = int64_t(rb); r < int64_t(re) && !cancelled.load(); ++r) {
                const int64_t r0 = std::max<int64_t>(0, r - 1), r1 = std::min(near.rows - 1, r + 1);
                for (int64_t c = 0; c < near.cols; ++c) {
                    const size_t cell = size_t(r * near.cols + c);
                    if (near.start[cell] == near.start[cell + 1])
                        continue;
                    const int64_t c0 = std::max<int64_t>(0, c - 1), c1 = std::min(near.cols - 1, c + 1);
                    // How far the window reaches from a point horizontally
                    // (without limit where it ends at the edge of the data).
                    const double west = c0 < c ? near.x0 + c0 * near.cell : -INFINITY;
                    const double east = c1 > c ? near.x0 + (c1 + 1) * near.cell : INFINITY;
                    const double south = r0 < r ? near.y0 + r0 * near.cell : -INFINITY;
                    const double north = r1 > r ? near.y0 + (r1 + 1) * near.cell : INFINITY;
                    // The column itself first, then those beside it and
                    // then those at its corners, which hold fewer points
                    // within the threshold: the count stops as soon as it
                    // is reached. The window in each column: from lo up to
                    // (not including) hi, both only moving up.
                    size_t around[9], lo[9], hi[9];
                    int m = 0;
                    for (int corner = 0; corner < 3; ++corner)
                        for (int64_t rr = r0; rr <= r1; ++rr)
                            for (int64_t cc = c0; cc <= c1; ++cc)
                                if ((rr != r) + (cc != c) == corner) {
                                    around[m] = size_t(rr * near.cols + cc);
                                    lo[m] = hi[m] = near.start[around[m]];
                                    ++m;
                                }
                    const float *nx = near.x.data(), *ny = near.y.data(), *nz = near.z.data();
                    const float reach2 = reach * reach;
                    for (uint32_t k = near.start[cell]; k < near.start[cell + 1]; ++k) {
                        const float q[3] = {near.x[k], near.y[k], near.z[k]};
                        const float below = q[2] - reach, above = q[2] + reach;
                        // At least k other points within the threshold put
                        // the mean within it: counted first, without keeping
                        // the nearest.
                        int close = -1;  // the point itself is counted
                        for (int j = 0; j < m && close < kNeighbours; ++j) {
                            size_t t = lo[j];
                            const size_t end = near.start[around[j] + 1];
                            while (t < end && nz[t] < below)
                                ++t;
                            lo[j] = t;
                            size_t e = std::max(hi[j], t);
                            while (e < end && nz[e] <= above)
                                ++e;
                            hi[j] = e;
                            // Without a branch per point.
                            int within = 0;
                            for (; t < e; ++t) {
                                const float dx = nx[t] - q[0], dy = ny[t] - q[1], dz = nz[t] - q[2];
                                within += dx * dx + dy * dy + dz * dz <= reach2;
                            }
                            close += within;
                        }
                        if (close >= kNeighbours)
                            continue;  // accepted, and near its neighbours
                        Nearest best;
                        for (int j = 0; j < m; ++j) {
                            const size_t o = around[j];
                            size_t t = lo[j];
                            const size_t end = near.start[o + 1];
                            while (t < end && near.z[t] < below)
                                ++t;
                            lo[j] = t;
                            for (; t < end && near.z[t] <= above; ++t) {
                                const float dx = near.x[t] - q[0], dy = near.y[t] - q[1], dz = near.z[t] - q[2];
                                const float d2 = dx * dx + dy * dy + dz * dz;
                                if (d2 < best.worst() && t != k)
                                    best.offer(d2);
                            }
                        }
                        const uint32_t i = near.id[k];
                        const double within = std::min({double(reach), q[0] - west, east - q[0], q[1] - south, north - q[1]});
                        if (best.m == kNeighbours && double(best.d2[kNeighbours - 1]) <= within * within) {
                            const double d = best.mean();  // exact
                            accepted[i] = d <= threshold;
                            remote[i] = d > remoteAt;
                            continue;
                        }
                        // Bounds of the mean: the neighbours found are at
                        // least as near as the true ones (upper bound); a
                        // nearer one missed lies beyond the window's nearest
                        // face, `within` away (lower bound).
                        const double upper = best.m == kNeighbours ? best.mean() : INFINITY;
                        if (upper <= threshold)
                            continue;  // accepted, and near its neighbours
                        double lower = double(kNeighbours - best.m) * within;
                        for (int j = 0; j < best.m; ++j)
                            lower += std::min(std::sqrt(double(best.d2[j])), within);
                        lower /= kNeighbours;
                        if (lower > threshold && (lower > remoteAt || upper <= remoteAt)) {
                            accepted[i] = 0;
                            remote[i] = lower > remoteAt;
                            continue;
                        }
                        const double d = meanNearest(near, q, k, remoteAt, threshold);
                        accepted[i] = d <= threshold;
                        remote[i] = d > remoteAt;
                    }
                }
                if (progress && rb == 0 && !cancelled.load() &&
                    !progress->SetPosition(0.3 + 0.6 * double(done.load()) / double(near.rows)))
                    cancelled = true;
            }
            done += re - rb;
        });
    }
    if (cancelled)
        return kOutliersCancelled;

    // Visits the position among the columns of every other point within
    // `rings` columns of point i, until `visit` returns true.
    auto cellOf = [&](uint32_t i) { return cols.cellAt(xyz[3 * size_t(i)], xyz[3 * size_t(i) + 1]); };
    auto around = [&](uint32_t i, int rings, auto visit) {
        const int64_t c0 = int64_t(cellOf(i));
        const int64_t r = c0 / cols.cols, c = c0 % cols.cols;
        for (int64_t rr = std::max<int64_t>(0, r - rings); rr <= std::min(cols.rows - 1, r + rings); ++rr)
            for (int64_t cc = std::max<int64_t>(0, c - rings); cc <= std::min(cols.cols - 1, c + rings); ++cc) {
                const size_t k = size_t(rr * cols.cols + cc);
                for (uint32_t o = cols.start[k]; o < cols.start[k + 1]; ++o)
                    if (cols.id[o] != i && visit(o))
                        return;
            }
    };
    // The lowest and second lowest point of every column, outliers far from
    // everything left out.
    std::vector<uint32_t> cellLow(cols.start.size() - 1, UINT32_MAX), cellLow2(cols.start.size() - 1, UINT32_MAX);
    for (size_t c = 0; c + 1 < cols.start.size(); ++c)
        for (uint32_t k = cols.start[c]; k < cols.start[c + 1] && cellLow2[c] == UINT32_MAX; ++k)
            if (!remote[cols.id[k]])
                (cellLow[c] == UINT32_MAX ? cellLow[c] : cellLow2[c]) = cols.id[k];

    // The ground under a point: a plane through the lowest points of the
    // columns around it (kLowRings columns each way), fitted again (up to ten
    // times) until the columns it rests on settle, each time without those
    // more than 0.5 m above it (vegetation over sparse ground). It follows a
    // slope, so a point on a steep slope is not below it. Returns how far the
    // point lies under the plane, or NaN without enough columns to fit.
    auto depthUnderGround = [&](uint32_t i) {
        const float *q = &xyz[3 * size_t(i)];
        const int64_t c0 = int64_t(cellOf(i));
        const int64_t r = c0 / cols.cols, c = c0 % cols.cols;
        struct Low { double x, y, z; bool adjacent; };
        std::vector<Low> lows;
        lows.reserve(size_t(2 * kLowRings + 1) * size_t(2 * kLowRings + 1));
        for (int64_t rr = std::max<int64_t>(0, r - kLowRings); rr <= std::min(cols.rows - 1, r + kLowRings); ++rr)
            for (int64_t cc = std::max<int64_t>(0, c - kLowRings); cc <= std::min(cols.cols - 1, c + kLowRings); ++cc) {
                const size_t k = size_t(rr * cols.cols + cc);
                const uint32_t o = cellLow[k] == i ? cellLow2[k] : cellLow[k];
                if (o == UINT32_MAX)
                    continue;
                const float *p = &xyz[3 * size_t(o)];
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
    // The neighbour test first: it is the cheaper one and fails for nearly
    // every point.
    auto loneLow = [&](uint32_t i) {
        const float *q = &xyz[3 * size_t(i)];
        const float reach = float(kLowIsolation), r2 = float(kLowIsolation * kLowIsolation);
        const int64_t c0 = cols.col(q[0] - reach), c1 = cols.col(q[0] + reach);
        for (int64_t r = cols.row(q[1] - reach); r <= cols.row(q[1] + reach); ++r)
            for (int64_t c = c0; c <= c1; ++c) {
                const size_t cell = size_t(r * cols.cols + c);
                for (uint32_t k = cols.from(cell, q[2] - reach); k < cols.start[cell + 1] && cols.z[k] <= q[2] + reach; ++k) {
                    const float dx = cols.x[k] - q[0], dy = cols.y[k] - q[1], dz = cols.z[k] - q[2];
                    if (dx * dx + dy * dy + dz * dz < r2 && cols.id[k] != i && !remote[cols.id[k]])
                        return false;
                }
            }
        return depthUnderGround(i) >= kLowDepth;
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
        const float *q = &xyz[3 * size_t(i)];
        bool any = false;
        for (double radius = kColumnRadius; radius <= 4 * kColumnRadius; radius *= 2) {
            double hi = -1e300;
            bool reference = false;
            around(i, int(std::ceil(radius / cols.cell)), [&](uint32_t k) {
                const double dx = cols.x[k] - q[0], dy = cols.y[k] - q[1], dz = cols.z[k] - q[2];
                const double h2 = dx * dx + dy * dy;
                if (h2 > radius * radius)
                    return false;
                any = true;
                if (remote[cols.id[k]])
                    return false;
                reference = true;
                if (h2 + dz * dz > kFlockRadius * kFlockRadius)
                    hi = std::max(hi, double(cols.z[k]));
                // Once it is not clear above this point it is not clear
                // above the column: the rest cannot change the answer.
                return !(q[2] > hi + kHighGap);
            });
            if (reference)
                return (hi > -1e300 && q[2] > hi + kHighGap) || depthUnderGround(i) >= kLowDepth;
        }
        return !any;  // among remote points only: no reference, kept
    };

    // Each point is decided on its own, so the tests run in the order that
    // reads memory in sequence: the points the statistics single out, then
    // the lowest point of every column (the only candidates for a lone low
    // point), not the block's points one by one in file order.
    for (uint32_t i : mine)
        keep[used[i]] = 1;
    for (size_t i = 0; i < n; ++i)
        if (!accepted[i] && keep[used[i]] && confirmed(uint32_t(i)))
            keep[used[i]] = 0;
    for (const uint32_t i : cellLow)
        if (i != UINT32_MAX && keep[used[i]] && loneLow(i))
            keep[used[i]] = 0;

    size_t count = 0;
    for (size_t i = 0; i < points.size(); ++i)
        if (keep[i]) {
            if (count != i)
                points[count] = points[i];
            ++count;
        }
    points.resize(count);
    if (progress && !progress->SetPosition(1.0))
        return kOutliersCancelled;
    return kOutliersDone;
}
