#include "PointSegment.h"

#include "LasExtraBytes.h"
#include "LasIO.h"

#include <nanoflann.hpp>

#include <algorithm>
#include <cmath>
#include <numeric>
#include <unordered_map>

using VerdantaIO::PointCloud;

namespace PointSegmentation {

namespace {

thread_local std::string g_error;

// The points above the minimum height in falling height order, as
// contiguous coordinates for the k-d tree.
struct Swept {
    std::vector<double> x, y, z;
    std::vector<uint32_t> index;  // the point's position in the input
    size_t kdtree_get_point_count() const { return x.size(); }
    double kdtree_get_pt(size_t i, size_t d) const { return d == 0 ? x[i] : y[i]; }
    template <class B> bool kdtree_get_bbox(B &) const { return false; }
};
using KdTree = nanoflann::KDTreeSingleIndexAdaptor<nanoflann::L2_Simple_Adaptor<double, Swept>, Swept, 2, uint32_t>;

// The points swept for one tree, bucketed on a square grid around its top
// so that the nearest swept point of a new point is found among few cells.
class SweepGrid {
public:
    void reset(double cx, double cy, double radius, double cell)
    {
        cell_ = cell;
        side_ = static_cast<int>(std::ceil(2 * radius / cell)) + 1;
        x0_ = cx - radius;
        y0_ = cy - radius;
        if (head_.size() < size_t(side_) * side_)
            head_.assign(size_t(side_) * side_, -1);
        for (int c : touched_)
            head_[c] = -1;
        touched_.clear();
        px_.clear();
        py_.clear();
        inTree_.clear();
        next_.clear();
    }
    void add(double x, double y, bool inTree)
    {
        const int c = cellOf(x, y);
        if (head_[c] < 0)
            touched_.push_back(c);
        next_.push_back(head_[c]);
        head_[c] = static_cast<int>(px_.size());
        px_.push_back(x);
        py_.push_back(y);
        inTree_.push_back(inTree);
    }
    // The nearest swept point: its squared distance and whether it is in the
    // tree; false when nothing has been swept.
    bool nearest(double x, double y, double &d2, bool &inTree) const
    {
        const int cx = clampCell((x - x0_) / cell_), cy = clampCell((y - y0_) / cell_);
        double best = std::numeric_limits<double>::max();
        int found = -1;
        for (int ring = 0; ring < side_; ++ring) {
            // Every point in ring k or beyond lies at least (k - 1) cells away.
            if (found >= 0 && (ring - 1) * cell_ * (ring - 1) * cell_ > best)
                break;
            const int r0 = cy - ring, r1 = cy + ring, c0 = cx - ring, c1 = cx + ring;
            for (int r = r0; r <= r1; ++r) {
                if (r < 0 || r >= side_)
                    continue;
                const bool edge = r == r0 || r == r1;
                for (int c = c0; c <= c1; c += edge ? 1 : (c1 - c0)) {
                    if (c >= 0 && c < side_)
                        for (int k = head_[size_t(r) * side_ + c]; k >= 0; k = next_[k]) {
                            const double dx = px_[k] - x, dy = py_[k] - y, d = dx * dx + dy * dy;
                            if (d < best || (d == best && inTree_[k])) {
                                best = d;
                                found = k;
                            }
                        }
                    if (c1 == c0)
                        break;
                }
            }
        }
        if (found < 0)
            return false;
        d2 = best;
        inTree = inTree_[found];
        return true;
    }

private:
    int clampCell(double v) const { return std::clamp(static_cast<int>(std::floor(v)), 0, side_ - 1); }
    int cellOf(double x, double y) const
    {
        return clampCell((y - y0_) / cell_) * side_ + clampCell((x - x0_) / cell_);
    }
    double cell_ = 1, x0_ = 0, y0_ = 0;
    int side_ = 1;
    std::vector<int> head_, touched_, next_;
    std::vector<double> px_, py_;
    std::vector<char> inTree_;
};

double cross(const std::pair<double, double> &o, const std::pair<double, double> &a, const std::pair<double, double> &b)
{
    return (a.first - o.first) * (b.second - o.second) - (a.second - o.second) * (b.first - o.first);
}

// Area of the convex hull (Andrew's monotone chain); sorts `p`.
double hullArea(std::vector<std::pair<double, double>> &p)
{
    if (p.size() < 3)
        return 0.0;
    std::sort(p.begin(), p.end());
    std::vector<std::pair<double, double>> h(2 * p.size());
    size_t k = 0;
    for (size_t i = 0; i < p.size(); ++i) {
        while (k >= 2 && cross(h[k - 2], h[k - 1], p[i]) <= 0)
            --k;
        h[k++] = p[i];
    }
    for (size_t i = p.size() - 1, t = k + 1; i > 0; --i) {
        while (k >= t && cross(h[k - 2], h[k - 1], p[i - 1]) <= 0)
            --k;
        h[k++] = p[i - 1];
    }
    h.resize(k - 1);
    double a = 0;
    for (size_t i = 0; i < h.size(); ++i) {
        const auto &u = h[i], &v = h[(i + 1) % h.size()];
        a += u.first * v.second - v.first * u.second;
    }
    return std::fabs(a) / 2;
}

}  // namespace

const std::string &lastError() { return g_error; }

bool segment(const std::vector<PointCloud> &points, const Options &o, std::vector<uint32_t> &treeIds,
             CProcessBase *progress)
{
    treeIds.assign(points.size(), 0);
    Swept s;
    {
        // Highest first; points as high are taken west to east, then south
        // to north, so that the order does not depend on the order of the
        // input (a tile and the whole dataset segment alike).
        std::vector<std::pair<double, uint32_t>> order;
        order.reserve(points.size());
        for (size_t i = 0; i < points.size(); ++i)
            if (points[i].z >= o.minHeight)
                order.push_back({-points[i].z, static_cast<uint32_t>(i)});
        std::sort(order.begin(), order.end(), [&](const auto &a, const auto &b) {
            if (a.first != b.first)
                return a.first < b.first;
            const PointCloud &p = points[a.second], &q = points[b.second];
            return p.x != q.x ? p.x < q.x : p.y != q.y ? p.y < q.y : a.second < b.second;
        });
        s.index.resize(order.size());
        for (size_t k = 0; k < order.size(); ++k)
            s.index[k] = order[k].second;
    }
    const size_t n = s.index.size();
    s.x.resize(n);
    s.y.resize(n);
    s.z.resize(n);
    for (size_t k = 0; k < n; ++k) {
        const PointCloud &p = points[s.index[k]];
        s.x[k] = p.x;
        s.y[k] = p.y;
        s.z[k] = p.z;
    }
    if (progress && !progress->SetPosition(0.05))
        return false;
    if (n == 0)
        return !progress || progress->SetPosition(1.0);
    KdTree tree(2, s, nanoflann::KDTreeSingleIndexAdaptorParams(16));
    tree.buildIndex();
    if (progress && !progress->SetPosition(0.15))
        return false;

    std::vector<uint32_t> id(n, 0);  // tree of each swept point (by rank)
    // Every higher point still to be segmented near a point has been swept
    // before it, so the point is a local maximum exactly when its nearest
    // swept point lies farther than the local maximum radius.
    const double lmr2 = o.localMaxRadius * o.localMaxRadius;
    const double r2 = o.maxCrownRadius * o.maxCrownRadius;
    const double dtHigh2 = o.threshold * o.threshold;
    const double dtLow2 = dtHigh2 * o.lowZoneFactor * o.lowZoneFactor;
    SweepGrid grid;
    std::vector<std::pair<uint32_t, double>> window;
    std::vector<uint32_t> candidates, members;
    uint32_t trees = 0;
    size_t next = 0, assigned = 0, reported = 0;
    while (true) {
        while (next < n && id[next])
            ++next;
        if (next >= n)
            break;
        const uint32_t top = static_cast<uint32_t>(next);
        const uint32_t t = ++trees;
        const double q[2] = {s.x[top], s.y[top]};
        window.clear();
        tree.radiusSearch(q, r2, window, nanoflann::SearchParams(32, 0.0f, false));
        candidates.clear();
        for (const auto &w : window)
            if (!id[w.first])
                candidates.push_back(w.first);
        std::sort(candidates.begin(), candidates.end());
        grid.reset(q[0], q[1], o.maxCrownRadius, std::max(0.25, o.threshold / 4));
        members.clear();
        for (uint32_t k : candidates) {
            bool join = k == top;
            if (!join) {
                double d2 = 0;
                bool nearestInTree = false;
                if (grid.nearest(s.x[k], s.y[k], d2, nearestInTree) && nearestInTree) {
                    const double dt2 = s.z[k] >= o.lowZoneHeight ? dtHigh2 : dtLow2;
                    join = d2 <= dt2 || d2 <= lmr2;
                }
            }
            grid.add(s.x[k], s.y[k], join);
            if (join)
                members.push_back(k);
        }
        for (uint32_t k : members)
            id[k] = t;
        assigned += members.size();
        if (progress && assigned - reported > n / 100) {
            reported = assigned;
            if (!progress->SetPosition(0.15 + 0.8 * double(assigned) / n))
                return false;
        }
    }
    for (size_t k = 0; k < n; ++k)
        treeIds[s.index[k]] = id[k];
    return !progress || progress->SetPosition(1.0);
}

std::vector<TreeTable::Tree> describe(const std::vector<PointCloud> &points, const std::vector<uint32_t> &treeIds)
{
    uint32_t count = 0;
    for (uint32_t t : treeIds)
        count = std::max(count, t);
    std::vector<std::vector<uint32_t>> members(count);
    for (size_t i = 0; i < treeIds.size(); ++i)
        if (treeIds[i])
            members[treeIds[i] - 1].push_back(static_cast<uint32_t>(i));
    std::vector<TreeTable::Tree> table;
    table.reserve(count);
    std::vector<std::pair<double, double>> xy;
    std::unordered_map<int64_t, double> cells;
    std::vector<std::pair<int64_t, double>> columns;
    constexpr double kCell = 0.5;
    for (const std::vector<uint32_t> &m : members) {
        if (m.empty())
            continue;
        TreeTable::Tree t;
        uint32_t top = m.front();
        double low = points[top].z;
        xy.clear();
        cells.clear();
        for (uint32_t i : m) {
            const PointCloud &p = points[i];
            const PointCloud &q = points[top];
            if (p.z > q.z || (p.z == q.z && (p.x < q.x || (p.x == q.x && p.y < q.y))))
                top = i;
            low = std::min(low, p.z);
            xy.emplace_back(p.x, p.y);
            const int64_t key = (int64_t(std::floor(p.x / kCell)) << 32) ^ int64_t(uint32_t(std::floor(p.y / kCell)));
            auto it = cells.find(key);
            if (it == cells.end())
                cells.emplace(key, p.z);
            else
                it->second = std::max(it->second, p.z);
        }
        t.x = points[top].x;
        t.y = points[top].y;
        t.height = points[top].z;
        t.crownArea = hullArea(xy);
        t.crownDiameter = 2 * std::sqrt(t.crownArea / M_PI);
        // Summed in cell order, so that the total does not depend on the
        // order of the points.
        columns.assign(cells.begin(), cells.end());
        std::sort(columns.begin(), columns.end());
        for (const auto &c : columns)
            t.crownVolume += (c.second - low) * kCell * kCell;
        table.push_back(t);
    }
    return table;
}

std::string pointsPath(const std::string &tablePath, const std::vector<std::string> &inputs)
{
    std::string base = tablePath;
    const size_t dot = base.find_last_of('.'), slash = base.find_last_of("/\\");
    if (dot != std::string::npos && (slash == std::string::npos || dot > slash))
        base.erase(dot);
    const std::string extension = !inputs.empty() && VerdantaIO::IsLazPath(inputs.front()) ? ".laz" : ".las";
    const std::string plain = base + extension;
    return std::find(inputs.begin(), inputs.end(), plain) == inputs.end() ? plain : base + "_treeID" + extension;
}

bool run(const std::vector<std::string> &paths, const std::string &outputPath, const Options &options,
         CProcessBase *progress)
{
    g_error.clear();
    if (paths.empty()) {
        g_error = "no input";
        return false;
    }
    std::vector<PointCloud> points;
    VerdantaIO::PointHeader header;
    for (size_t f = 0; f < paths.size(); ++f) {
        VerdantaIO::CLASIO las;
        if (!las.LoadFile(paths[f]) || !las.ReadData(nullptr)) {
            g_error = paths[f] + ": " + las.lastError();
            return false;
        }
        if (f == 0)
            header = las.header;
        if (points.empty())
            points.swap(las.points);
        else
            points.insert(points.end(), las.points.begin(), las.points.end());
        if (progress && !progress->SetPosition(0.1 * (f + 1) / paths.size()))
            return false;
    }
    std::vector<uint32_t> ids;
    // The segmentation reports 0..1 of its own; the reading and writing
    // around it take the first and last tenth.
    struct Span : CProcessBase {
        CProcessBase *outer;
        explicit Span(CProcessBase *o) : outer(o) {}
        void SetMessage(const char *t) override { outer->SetMessage(t); }
        bool SetPosition(double f) override { return outer->SetPosition(0.1 + 0.8 * f); }
        bool StepIt() override { return outer->StepIt(); }
        void SetStageCount(int32_t) override {}
        void SetStageOffset(double) override {}
    };
    Span span(progress);
    if (!segment(points, options, ids, progress ? &span : nullptr)) {
        g_error = "cancelled";
        return false;
    }
    const std::vector<TreeTable::Tree> table = describe(points, ids);
    if (!TreeTable::write(outputPath, table, g_error))
        return false;
    // Tree k (1, 2, ...) is line k of the table, its top there.
    std::vector<uint32_t> numbers(ids.size());
    for (size_t i = 0; i < points.size(); ++i) {
        const uint32_t t = ids[i];
        numbers[i] = !t ? 0 : options.treeNumber ? options.treeNumber(table[t - 1].x, table[t - 1].y) : t;
        points[i].pointSourceId = numbers[i] ? static_cast<uint16_t>((numbers[i] - 1) % 65535 + 1) : 0;
    }
    const VerdantaIO::ExtraBytes treeIds =
        VerdantaIO::UInt32Attribute("treeID", "tree number", numbers);
    const std::string lasPath = pointsPath(outputPath, paths);
    std::string error;
    if (!VerdantaIO::WriteLasFile(lasPath, header, points, &error, &treeIds)) {
        g_error = lasPath + ": " + error;
        return false;
    }
    return !progress || progress->SetPosition(1.0);
}

}  // namespace PointSegmentation

bool PointSegment(const std::vector<std::string> &paths, const std::string &outputPath, double threshold,
                  double maxCrownRadius, CProcessBase *progress)
{
    PointSegmentation::Options options;
    options.threshold = threshold;
    options.maxCrownRadius = maxCrownRadius;
    return PointSegmentation::run(paths, outputPath, options, progress);
}
