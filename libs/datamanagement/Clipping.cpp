// Clipping by circles, rectangles and polygons.

#include "DataManagement.h"
#include "Selection.h"
#include "Streaming.h"

#include <algorithm>
#include <cmath>
#include <memory>

using namespace VerdantaIO;

namespace selection {

PreparedPolygons::PreparedPolygons(const std::vector<C_DataManagement::ClipPolygon> &polygons)
{
    bool first = true;
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
                e.minX = std::min(a.x, b.x);
                e.maxX = std::max(a.x, b.x);
                e.dxdy = a.y != b.y ? (b.x - a.x) / (b.y - a.y) : 0.0;
                e.length = std::hypot(b.x - a.x, b.y - a.y);
                e.polygon = static_cast<int>(p);
                edges_.push_back(e);
                if (first) {
                    minX_ = e.minX; maxX_ = e.maxX;
                    minY_ = std::min(a.y, b.y); maxY_ = std::max(a.y, b.y);
                    first = false;
                } else {
                    minX_ = std::min(minX_, e.minX); maxX_ = std::max(maxX_, e.maxX);
                    minY_ = std::min(minY_, std::min(a.y, b.y)); maxY_ = std::max(maxY_, std::max(a.y, b.y));
                }
            }
        }
    }
    if (edges_.empty())
        return;
    // A point within a micrometre of an edge lies on it.
    tolerance_ = kOnBound;
    slabs_ = static_cast<uint32_t>(std::min<size_t>(std::max<size_t>(edges_.size(), 1), 1u << 16));
    const double height = maxY_ - minY_;
    slabHeight_ = height > 0 ? height / slabs_ : 1.0;
    if (!(height > 0))
        slabs_ = 1;
    auto slabOf = [&](double y) {
        const double s = std::floor((y - minY_) / slabHeight_);
        return static_cast<uint32_t>(std::min<double>(std::max(s, 0.0), slabs_ - 1));
    };
    // Edges by slab (counting sort, so each slab keeps the polygon order).
    slabStart_.assign(slabs_ + 1, 0);
    auto range = [&](const Edge &e, uint32_t &lo, uint32_t &hi) {
        lo = slabOf(std::min(e.y1, e.y2) - tolerance_);
        hi = slabOf(std::max(e.y1, e.y2) + tolerance_);
    };
    for (const Edge &e : edges_) {
        uint32_t lo, hi;
        range(e, lo, hi);
        for (uint32_t s = lo; s <= hi; ++s)
            ++slabStart_[s + 1];
    }
    for (uint32_t s = 0; s < slabs_; ++s)
        slabStart_[s + 1] += slabStart_[s];
    slabEdges_.resize(slabStart_[slabs_]);
    std::vector<uint32_t> fill(slabStart_.begin(), slabStart_.end() - 1);
    for (uint32_t i = 0; i < edges_.size(); ++i) {
        uint32_t lo, hi;
        range(edges_[i], lo, hi);
        for (uint32_t s = lo; s <= hi; ++s)
            slabEdges_[fill[s]++] = i;
    }
}

bool PreparedPolygons::contains(double x, double y) const
{
    const double t = tolerance_;
    if (edges_.empty() || x < minX_ - t || x > maxX_ + t || y < minY_ - t || y > maxY_ + t)
        return false;
    const double s = std::floor((y - minY_) / slabHeight_);
    const uint32_t slab = static_cast<uint32_t>(std::min<double>(std::max(s, 0.0), slabs_ - 1));
    int polygon = -1;
    bool odd = false;
    for (uint32_t k = slabStart_[slab], end = slabStart_[slab + 1]; k < end; ++k) {
        const Edge &e = edges_[slabEdges_[k]];
        if (e.polygon != polygon) {
            if (odd)
                return true;
            polygon = e.polygon;
            odd = false;
        }
        // On the edge (within the tolerance): inside.
        if (x >= e.minX - t && x <= e.maxX + t && y >= std::min(e.y1, e.y2) - t && y <= std::max(e.y1, e.y2) + t) {
            const double cross = (e.x2 - e.x1) * (y - e.y1) - (e.y2 - e.y1) * (x - e.x1);
            if (std::fabs(cross) <= t * e.length)
                return true;
        }
        // A ray towards +x crosses the edge.
        if ((e.y1 > y) != (e.y2 > y) && x < e.x1 + (y - e.y1) * e.dxdy)
            odd = !odd;
    }
    return odd;
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
    PointHeader templ;
    streaming::LazyOutput out;
    CProcessBase *progress = nullptr;
    uint64_t kept = 0;

    bool open(const std::vector<std::string> &inputs, const std::string &output, size_t passes, std::string &error)
    {
        if (!openAll(inputs, readers, error))
            return false;
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
    template <class Test>
    int pass(const Test &test, double minX, double maxX, double minY, double maxY)
    {
        for (const auto &r : readers) {
            if (!mayHold(*r, minX, maxX, minY, maxY)) {
                if (!skip(*r, progress))
                    return C_DataManagement::kStreamCancelled;
                continue;
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
    int status = kStreamDone;
    for (const ClipRegion &r : regions) {
        const double reach = r.radius;
        status = r.circle ? run.pass(selection::RegionTest{r}, r.x - reach, r.x + reach, r.y - reach, r.y + reach)
                          : run.pass(selection::RegionTest{r}, r.left, r.right, r.bottom, r.top);
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
