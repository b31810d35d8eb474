// Clipping by circles, rectangles and polygons.

#include "DataManagement.h"
#include "Selection.h"
#include "Streaming.h"

#include <algorithm>
#include <cmath>
#include <memory>

using namespace VerdantaIO;

namespace selection {

namespace {
// Twice the signed area of (a, b, c): positive when c lies left of a -> b.
inline double orient(double ax, double ay, double bx, double by, double cx, double cy)
{
    return (bx - ax) * (cy - ay) - (by - ay) * (cx - ax);
}
}  // namespace

PreparedPolygons::PreparedPolygons(const std::vector<C_DataManagement::ClipPolygon> &polygons)
{
    for (size_t p = 0; p < polygons.size(); ++p) {
        for (const auto &ring : polygons[p].rings) {
            size_t n = ring.size();
            if (n >= 2 && ring.front().x == ring.back().x && ring.front().y == ring.back().y)
                --n;  // the closing vertex repeats the first
            if (n < 3)
                continue;
            for (size_t i = 0; i < n; ++i) {
                const XYZ &a = ring[i], &b = ring[(i + 1) % n];
                if (a.x == b.x && a.y == b.y)
                    continue;
                Edge e;
                e.x1 = a.x; e.y1 = a.y; e.x2 = b.x; e.y2 = b.y;
                e.minX = std::min(a.x, b.x); e.maxX = std::max(a.x, b.x);
                e.minY = std::min(a.y, b.y); e.maxY = std::max(a.y, b.y);
                e.length = std::hypot(b.x - a.x, b.y - a.y);
                e.polygon = static_cast<int>(p);
                if (edges_.empty()) {
                    minX_ = e.minX; maxX_ = e.maxX; minY_ = e.minY; maxY_ = e.maxY;
                } else {
                    minX_ = std::min(minX_, e.minX); maxX_ = std::max(maxX_, e.maxX);
                    minY_ = std::min(minY_, e.minY); maxY_ = std::max(maxY_, e.maxY);
                }
                edges_.push_back(e);
            }
        }
    }
    if (edges_.empty())
        return;
    // About four cells a side per square root of the edge count: a cell
    // crossed by the outline holds a handful of edges.
    const uint32_t side = static_cast<uint32_t>(
        std::min(1024.0, std::max(1.0, std::ceil(4 * std::sqrt(double(edges_.size()))))));
    nx_ = ny_ = side;
    cellW_ = std::max(maxX_ - minX_, 1e-9) / nx_;
    cellH_ = std::max(maxY_ - minY_, 1e-9) / ny_;
    const double t = tolerance_;

    // Edges by cell (counting sort, so each cell keeps the polygon order).
    std::vector<uint32_t> count(size_t(nx_) * ny_ + 1, 0);
    auto forCells = [&](const Edge &e, auto &&visit) {
        const uint32_t i0 = cellIndex(e.minX - t, minY_) % nx_, i1 = cellIndex(e.maxX + t, minY_) % nx_;
        const uint32_t j0 = cellIndex(minX_, e.minY - t) / nx_, j1 = cellIndex(minX_, e.maxY + t) / nx_;
        for (uint32_t j = j0; j <= j1; ++j)
            for (uint32_t i = i0; i <= i1; ++i) {
                // Only cells the segment passes near (its box would list
                // a long diagonal edge in cells far from it).
                const double cx0 = minX_ + i * cellW_ - t, cx1 = cx0 + cellW_ + 2 * t;
                const double cy0 = minY_ + j * cellH_ - t, cy1 = cy0 + cellH_ + 2 * t;
                const double o[4] = {orient(e.x1, e.y1, e.x2, e.y2, cx0, cy0), orient(e.x1, e.y1, e.x2, e.y2, cx1, cy0),
                                     orient(e.x1, e.y1, e.x2, e.y2, cx0, cy1), orient(e.x1, e.y1, e.x2, e.y2, cx1, cy1)};
                const bool allLeft = o[0] > 0 && o[1] > 0 && o[2] > 0 && o[3] > 0;
                const bool allRight = o[0] < 0 && o[1] < 0 && o[2] < 0 && o[3] < 0;
                if (!allLeft && !allRight)
                    visit(j * nx_ + i);
            }
    };
    for (const Edge &e : edges_)
        forCells(e, [&](uint32_t c) { ++count[c + 1]; });
    for (size_t c = 0; c + 1 < count.size(); ++c)
        count[c + 1] += count[c];
    cellEdges_.resize(count.back());
    std::vector<uint32_t> fill(count.begin(), count.end() - 1);
    for (uint32_t k = 0; k < edges_.size(); ++k)
        forCells(edges_[k], [&](uint32_t c) { cellEdges_[fill[c]++] = k; });

    // Reference points: the cell centre, moved off any edge of the cell.
    cells_.resize(size_t(nx_) * ny_);
    for (uint32_t j = 0; j < ny_; ++j)
        for (uint32_t i = 0; i < nx_; ++i) {
            Cell &cell = cells_[j * nx_ + i];
            cell.edgeStart = count[j * nx_ + i];
            cell.edgeEnd = count[j * nx_ + i + 1];
            cell.refX = minX_ + (i + 0.5) * cellW_;
            cell.refY = minY_ + (j + 0.5) * cellH_;
            for (int attempt = 1; attempt < 64; ++attempt) {
                bool clear = true;
                for (uint32_t k = cell.edgeStart; k < cell.edgeEnd && clear; ++k) {
                    const Edge &e = edges_[cellEdges_[k]];
                    clear = std::fabs(orient(e.x1, e.y1, e.x2, e.y2, cell.refX, cell.refY)) > 1e-6 * cellW_ * e.length;
                }
                if (clear)
                    break;
                cell.refX = minX_ + (i + 0.5 + 0.37 * std::sin(attempt * 2.3)) * cellW_;
                cell.refY = minY_ + (j + 0.5 + 0.37 * std::cos(attempt * 1.7)) * cellH_;
            }
        }
    // Which polygons hold each reference point, row by row from the right:
    // the last cell's by a ray towards +x (only its own edges can cross it),
    // each other cell's from its right neighbour's by the edges of the two
    // cells that cross the segment between their reference points.
    std::vector<uint8_t> odd(polygons.size(), 0);
    std::vector<int> oddList;                     // the polygons now odd
    std::vector<size_t> where(polygons.size(), 0);  // their places in oddList
    std::vector<uint32_t> seen(edges_.size(), 0);
    uint32_t stamp = 0;
    auto toggle = [&](int p) {
        odd[p] ^= 1;
        if (odd[p]) {
            where[p] = oddList.size();
            oddList.push_back(p);
        } else {
            const int last = oddList.back();
            oddList[where[p]] = last;
            where[last] = where[p];
            oddList.pop_back();
        }
    };
    std::vector<std::vector<int>> cellHolders(cells_.size());
    for (uint32_t j = 0; j < ny_; ++j) {
        for (int p : std::vector<int>(oddList))
            toggle(p);
        for (uint32_t i = nx_; i-- > 0;) {
            const Cell &cell = cells_[j * nx_ + i];
            ++stamp;
            if (i == nx_ - 1) {
                const double x = cell.refX, y = cell.refY;
                for (uint32_t k = cell.edgeStart; k < cell.edgeEnd; ++k) {
                    const Edge &e = edges_[cellEdges_[k]];
                    if ((e.y1 > y) != (e.y2 > y) && x < e.x1 + (y - e.y1) * (e.x2 - e.x1) / (e.y2 - e.y1))
                        toggle(e.polygon);
                }
            } else {
                const Cell &right = cells_[j * nx_ + i + 1];
                const double ax = right.refX, ay = right.refY, bx = cell.refX, by = cell.refY;
                for (const Cell *c : {&cell, &right})
                    for (uint32_t k = c->edgeStart; k < c->edgeEnd; ++k) {
                        const uint32_t id = cellEdges_[k];
                        if (seen[id] == stamp)
                            continue;
                        seen[id] = stamp;
                        const Edge &e = edges_[id];
                        const bool l1 = orient(ax, ay, bx, by, e.x1, e.y1) > 0, l2 = orient(ax, ay, bx, by, e.x2, e.y2) > 0;
                        if (l1 != l2 &&
                            (orient(e.x1, e.y1, e.x2, e.y2, ax, ay) > 0) != (orient(e.x1, e.y1, e.x2, e.y2, bx, by) > 0))
                            toggle(e.polygon);
                    }
            }
            cellHolders[j * nx_ + i] = oddList;
        }
    }
    for (size_t c = 0; c < cells_.size(); ++c) {
        cells_[c].holderStart = static_cast<uint32_t>(holders_.size());
        holders_.insert(holders_.end(), cellHolders[c].begin(), cellHolders[c].end());
        cells_[c].holderEnd = static_cast<uint32_t>(holders_.size());
    }
}

uint32_t PreparedPolygons::cellIndex(double x, double y) const
{
    const double fi = std::floor((x - minX_) / cellW_), fj = std::floor((y - minY_) / cellH_);
    const uint32_t i = static_cast<uint32_t>(std::min<double>(std::max(fi, 0.0), nx_ - 1));
    const uint32_t j = static_cast<uint32_t>(std::min<double>(std::max(fj, 0.0), ny_ - 1));
    return j * nx_ + i;
}

bool PreparedPolygons::onEdge(const Edge &e, double x, double y) const
{
    const double t = tolerance_;
    return x >= e.minX - t && x <= e.maxX + t && y >= e.minY - t && y <= e.maxY + t &&
           std::fabs(orient(e.x1, e.y1, e.x2, e.y2, x, y)) <= t * e.length;
}

bool PreparedPolygons::contains(double x, double y) const
{
    const double t = tolerance_;
    if (edges_.empty() || x < minX_ - t || x > maxX_ + t || y < minY_ - t || y > maxY_ + t)
        return false;
    const Cell &cell = cells_[cellIndex(x, y)];
    if (cell.edgeStart == cell.edgeEnd)
        return cell.holderEnd > cell.holderStart;
    auto holds = [&](int polygon) {
        for (uint32_t h = cell.holderStart; h < cell.holderEnd; ++h)
            if (holders_[h] == polygon)
                return true;
        return false;
    };
    // A polygon holding the reference point without an edge in the cell
    // holds the whole cell.
    for (uint32_t h = cell.holderStart; h < cell.holderEnd; ++h) {
        bool edgeHere = false;
        for (uint32_t k = cell.edgeStart; k < cell.edgeEnd && !edgeHere; ++k)
            edgeHere = edges_[cellEdges_[k]].polygon == holders_[h];
        if (!edgeHere)
            return true;
    }
    // Crossings of the segment from the reference point to the point, per
    // polygon; a vertex on the segment's line counts on its right side, so
    // a crossing through a vertex is counted once.
    const double cx = cell.refX, cy = cell.refY;
    int polygon = -1;
    bool odd = false;
    for (uint32_t k = cell.edgeStart; k < cell.edgeEnd; ++k) {
        const Edge &e = edges_[cellEdges_[k]];
        if (e.polygon != polygon) {
            if (polygon >= 0 && (odd != holds(polygon)))
                return true;
            polygon = e.polygon;
            odd = false;
        }
        if (onEdge(e, x, y))
            return true;
        const bool aLeft = orient(cx, cy, x, y, e.x1, e.y1) > 0, bLeft = orient(cx, cy, x, y, e.x2, e.y2) > 0;
        if (aLeft != bLeft && (orient(e.x1, e.y1, e.x2, e.y2, cx, cy) > 0) != (orient(e.x1, e.y1, e.x2, e.y2, x, y) > 0))
            odd = !odd;
    }
    return odd != holds(polygon);
}

}  // namespace selection

namespace {

// Opens every input; the first that cannot be read ends the operation.
bool openAll(const std::vector<std::string> &inputs, std::vector<std::unique_ptr<LasRecordReader>> &readers,
             std::string &error)
{
    for (const auto &path : inputs) {
        auto r = std::make_unique<LasRecordReader>();
        if (!r->open(path)) {
            error = path + ": " + r->lastError();
            return false;
        }
        readers.push_back(std::move(r));
    }
    return !readers.empty();
}

uint64_t chunksOf(const LasRecordReader &r) { return (r.count() + C_DataManagement::kChunk - 1) / C_DataManagement::kChunk; }

// Whether a box can hold points of a file, judged by its header bounds (a
// header without usable bounds is always read).
bool mayHold(const LasRecordReader &r, double minX, double maxX, double minY, double maxY)
{
    const PointHeader &h = r.header();
    const bool usable = h.minX <= h.maxX && h.minY <= h.maxY && !(h.minX == 0 && h.maxX == 0 && h.minY == 0 && h.maxY == 0);
    if (!usable)
        return true;
    const double margin = 1e-6 + std::max(std::fabs(h.scaleX), std::fabs(h.scaleY));
    return !(maxX < h.minX - margin || minX > h.maxX + margin || maxY < h.minY - margin || minY > h.maxY + margin);
}

// Skips a file's chunks in the progress.
bool skip(const LasRecordReader &r, CProcessBase *progress)
{
    for (uint64_t c = chunksOf(r); progress && c > 0; --c)
        if (!progress->StepIt())
            return false;
    return true;
}

// One clip run: every input open, one output with the first input's
// header, passes of a test over the inputs.
struct ClipRun {
    std::vector<std::unique_ptr<LasRecordReader>> readers;
    std::vector<std::string> paths;

    // A box of at most a tenth of a file of a million points or more.
    static bool small(const LasRecordReader &r, double minX, double maxX, double minY, double maxY)
    {
        const PointHeader &h = r.header();
        const double file = (h.maxX - h.minX) * (h.maxY - h.minY);
        return r.count() >= 1000000 && file > 0 && (maxX - minX) * (maxY - minY) <= 0.1 * file;
    }

    PointHeader templ;
    streaming::LazyOutput out;
    CProcessBase *progress = nullptr;
    uint64_t kept = 0;

    bool open(const std::vector<std::string> &inputs, const std::string &output, size_t passes, std::string &error)
    {
        if (!openAll(inputs, readers, error))
            return false;
        paths = inputs;
        templ = readers.front()->header();
        out.path = output;
        out.templ = &templ;
        if (progress) {
            uint64_t chunks = 0;
            for (const auto &r : readers)
                chunks += chunksOf(*r);
            progress->SetStepCount(static_cast<int32_t>(std::max<uint64_t>(1, chunks * passes)));
        }
        return true;
    }

    // The points that pass `test` in every input whose bounds meet the box.
    // With `indexed`, a box that covers a small part of a large file is read
    // through the file's spatial index (built and kept beside the file when
    // it has none), which costs time in proportion to the points in the box.
    template <class Test>
    int pass(const Test &test, double minX, double maxX, double minY, double maxY, bool indexed = false)
    {
        for (size_t f = 0; f < readers.size(); ++f) {
            const auto &r = readers[f];
            if (!mayHold(*r, minX, maxX, minY, maxY)) {
                if (!skip(*r, progress))
                    return C_DataManagement::kStreamCancelled;
                continue;
            }
            if (indexed && small(*r, minX, maxX, minY, maxY)) {
                std::string error;
                if (const auto ix = las::acquireIndex(paths[f], error)) {
                    const int status = streaming::selectIndexed(*ix, minX, maxX, minY, maxY, out, test, kept);
                    if (status != C_DataManagement::kStreamDone)
                        return status;
                    if (!skip(*r, progress))
                        return C_DataManagement::kStreamCancelled;
                    continue;
                }
            }
            const int status = streaming::select(*r, out, test, progress, kept);
            if (status != C_DataManagement::kStreamDone)
                return status;
        }
        return C_DataManagement::kStreamDone;
    }

    // Finishes the output (what was written before a failure stays a valid file).
    int finish(int status, std::string &error)
    {
        if (out.writer.isOpen() && !out.writer.close() && status == C_DataManagement::kStreamDone) {
            out.error = out.writer.lastError();
            status = C_DataManagement::kStreamWriteFailed;
        }
        if (status != C_DataManagement::kStreamDone)
            error = out.error;
        return status;
    }
};

}  // namespace

int C_DataManagement::ClipRegions(const std::vector<std::string> &inputs, const std::vector<ClipRegion> &regions,
                                  const std::string &output, CProcessBase *progress, uint64_t &kept)
{
    kept = 0;
    error_.clear();
    ClipRun run;
    run.progress = progress;
    if (!run.open(inputs, output, regions.size(), error_))
        return kStreamOpenFailed;
    // Many regions read through the spatial index, which pays for itself
    // after a few passes over a file (and later runs find it ready).
    const bool indexed = regions.size() >= 4;
    int status = kStreamDone;
    for (const ClipRegion &r : regions) {
        const double reach = r.radius + selection::kOnBound;
        status = r.circle ? run.pass(selection::RegionTest(r), r.x - reach, r.x + reach, r.y - reach, r.y + reach, indexed)
                          : run.pass(selection::RegionTest(r), r.left - selection::kOnBound, r.right + selection::kOnBound,
                                     r.bottom - selection::kOnBound, r.top + selection::kOnBound, indexed);
        if (status != kStreamDone)
            break;
    }
    kept = run.kept;
    return run.finish(status, error_);
}

int C_DataManagement::ClipPolygons(const std::vector<std::string> &inputs, const std::vector<ClipPolygon> &polygons,
                                   const std::string &output, CProcessBase *progress, uint64_t &kept)
{
    kept = 0;
    error_.clear();
    ClipRun run;
    run.progress = progress;
    if (!run.open(inputs, output, 1, error_))
        return kStreamOpenFailed;
    const selection::PreparedPolygons prepared(polygons);
    double minX, maxX, minY, maxY;
    prepared.bounds(minX, maxX, minY, maxY);
    const int status = run.pass(prepared, minX, maxX, minY, maxY);
    kept = run.kept;
    return run.finish(status, error_);
}

bool C_DataManagement::PolygonCut(const std::vector<PointCloud> &points, const std::vector<ClipPolygon> &polygons,
                                  std::vector<PointCloud> &inside, CProcessBase *progress)
{
    (void)progress;
    const selection::PreparedPolygons prepared(polygons);
    for (const PointCloud &p : points)
        if (prepared.contains(p.x, p.y))
            inside.push_back(p);
    return true;
}
