#pragma once
// The streaming loop shared by extraction and clipping: one input read in
// chunks of selection fields, each kept point copied to an output that is
// created at its first point. Records of the output's layout are copied
// unchanged; others are decoded and encoded under the output's header.

#include "DataManagement.h"
#include "LasIndex.h"
#include "LasStream.h"

#include <algorithm>
#include <cmath>
#include <string>
#include <vector>

namespace streaming {

using namespace VerdantaIO;

// An output created when its first point arrives.
struct LazyOutput {
    std::string path;
    const PointHeader *templ = nullptr;
    LasRecordWriter writer;
    std::string error;

    bool ensure()
    {
        if (writer.isOpen())
            return true;
        if (writer.create(path, *templ))
            return true;
        error = writer.lastError();
        return false;
    }
};

// The points of one input within a box for which test(key) holds, through
// the file's spatial index: only the cells that meet the box are read.
template <bool Extended, class Test>
int selectIndexedIn(const las::IndexedFile &ix, double minX, double maxX, double minY, double maxY, LazyOutput &out,
                    const Test &test, uint64_t &kept)
{
    if (ix.block.count == 0 || maxX < ix.dataMinX || minX > ix.dataMaxX || maxY < ix.dataMinY || minY > ix.dataMaxY)
        return C_DataManagement::kStreamDone;
    auto cellOf = [&](double v, double origin, uint32_t n) {
        const double c = std::floor((v - origin) / ix.cell);
        return c < 0 ? 0u : c >= n - 1 ? n - 1 : static_cast<uint32_t>(c);
    };
    const uint32_t cx0 = cellOf(minX, ix.originX, ix.nx), cx1 = cellOf(maxX, ix.originX, ix.nx);
    const uint32_t cy0 = cellOf(minY, ix.originY, ix.ny), cy1 = cellOf(maxY, ix.originY, ix.ny);
    const uint32_t *ids = ix.ids ? ix.ids : ix.ownIds.data();
    las::IndexedRecords records(ix);
    PointCloud point;
    int layout = -1;
    for (uint32_t cy = cy0; cy <= cy1; ++cy)
        for (uint32_t cx = cx0; cx <= cx1; ++cx) {
            const uint64_t cell = uint64_t(cy) * ix.nx + cx;
            for (uint64_t k = ix.cellStart[cell]; k < ix.cellStart[cell + 1]; ++k) {
                const uint8_t *rec = records(ids[k], out.error);
                if (!rec)
                    return C_DataManagement::kStreamOpenFailed;
                if (!test(keyOf<Extended>(rec, ix.header)))
                    continue;
                if (layout < 0) {
                    if (!out.ensure())
                        return C_DataManagement::kStreamWriteFailed;
                    layout = out.writer.sameLayout(ix.header, ix.block.format, ix.block.recordLength) ? 1 : 0;
                }
                if (layout == 1) {
                    out.writer.addRecord(rec);
                } else {
                    las::decodePoint(rec, ix.block.format, ix.header, point);
                    if (!out.writer.addPoint(point)) {
                        out.error = out.writer.lastError();
                        return C_DataManagement::kStreamWriteFailed;
                    }
                }
                ++kept;
            }
        }
    return C_DataManagement::kStreamDone;
}

template <class Test>
int selectIndexed(const las::IndexedFile &ix, double minX, double maxX, double minY, double maxY, LazyOutput &out,
                  const Test &test, uint64_t &kept)
{
    return ix.block.format >= 6 ? selectIndexedIn<true>(ix, minX, maxX, minY, maxY, out, test, kept)
                                : selectIndexedIn<false>(ix, minX, maxX, minY, maxY, out, test, kept);
}

// One pass over an input of one record family, as select() below. Each
// chunk is tested first into the list of its kept records (without a branch
// on the outcome, which a selection of about half the points would
// mispredict at every other record), then the list is copied in one go.
template <bool Extended, class Test>
int selectIn(LasRecordReader &in, LazyOutput &out, const Test &test, CProcessBase *progress, uint64_t &kept)
{
    const uint64_t n = in.count(), chunk = C_DataManagement::kChunk;
    const uint16_t len = in.recordLength();
    const PointHeader &h = in.header();
    // Records are read a part of a chunk at a time, small enough to stay in
    // the processor's cache between their read and their copy.
    const uint64_t part = std::max<uint64_t>(1, std::min<uint64_t>(chunk, (512u << 10) / std::max<uint16_t>(len, 1)));
    std::vector<uint32_t> keep(static_cast<size_t>(std::min(part, n)));
    PointCloud point;
    int layout = -1;  // unknown until the output exists: 1 copy records, 0 encode points
    for (uint64_t start = 0; start < n; start += chunk) {
        const uint64_t end = std::min(n, start + chunk);
        for (uint64_t first = start; first < end; first += part) {
            const uint64_t m = std::min(part, end - first);
            const uint8_t *recs = in.load(first, m);
            if (!recs) {
                out.error = in.lastError();
                return C_DataManagement::kStreamOpenFailed;
            }
            size_t found = 0;
            for (uint32_t k = 0; k < m; ++k) {
                keep[found] = k;
                found += test(keyOf<Extended>(recs + size_t(k) * len, h)) ? 1 : 0;
            }
            if (found > 0 && layout < 0) {
                if (!out.ensure())
                    return C_DataManagement::kStreamWriteFailed;
                layout = out.writer.sameLayout(in) ? 1 : 0;
            }
            if (layout == 1) {
                out.writer.addRecords(recs, keep.data(), found);
            } else {
                for (size_t j = 0; j < found; ++j) {
                    if (!in.decodeOne(first + keep[j], point)) {
                        out.error = in.lastError();
                        return C_DataManagement::kStreamOpenFailed;
                    }
                    if (!out.writer.addPoint(point)) {
                        out.error = out.writer.lastError();
                        return C_DataManagement::kStreamWriteFailed;
                    }
                }
            }
            kept += found;
        }
        if (layout == 0)
            in.release(start, end - start);
        if (progress && !progress->StepIt())
            return C_DataManagement::kStreamCancelled;
    }
    return C_DataManagement::kStreamDone;
}

// Passes over one input, keeping the points for which test(key) holds.
// Steps the progress once per chunk; returns a C_DataManagement stream
// status.
template <class Test>
int select(LasRecordReader &in, LazyOutput &out, const Test &test, CProcessBase *progress, uint64_t &kept)
{
    return in.format() >= 6 ? selectIn<true>(in, out, test, progress, kept)
                            : selectIn<false>(in, out, test, progress, kept);
}

}  // namespace streaming
