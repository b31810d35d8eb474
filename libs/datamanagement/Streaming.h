#pragma once
// The streaming loop shared by extraction and clipping: one input read in
// chunks of selection fields, each kept point copied to an output that is
// created at its first point. Records of the output's layout are copied
// unchanged; others are decoded and encoded under the output's header.

#include "DataManagement.h"
#include "LasStream.h"

#include <algorithm>
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

// Passes over one input, keeping the points for which test(key) holds.
// Steps the progress once per chunk; returns a C_DataManagement stream
// status.
template <bool Extended, class Test>
int selectIn(LasRecordReader &in, LazyOutput &out, const Test &test, CProcessBase *progress, uint64_t &kept)
{
    const uint64_t n = in.count(), chunk = C_DataManagement::kChunk;
    const uint16_t len = in.recordLength();
    const PointHeader &h = in.header();
    PointCloud point;
    int layout = -1;  // unknown until the output exists: 1 copy records, 0 encode points
    for (uint64_t start = 0; start < n; start += chunk) {
        const uint64_t m = std::min(chunk, n - start);
        const uint8_t *recs = in.load(start, m);
        if (!recs) {
            out.error = "Could not read the points of the file";
            return C_DataManagement::kStreamOpenFailed;
        }
        for (uint64_t k = 0; k < m; ++k) {
            const uint8_t *rec = recs + k * len;
            if (!test(keyOf<Extended>(rec, h)))
                continue;
            if (layout < 0) {
                if (!out.ensure())
                    return C_DataManagement::kStreamWriteFailed;
                layout = out.writer.sameLayout(in) ? 1 : 0;
            }
            if (layout == 1) {
                out.writer.addRecord(rec);
            } else {
                in.decodeOne(start + k, point);
                if (!out.writer.addPoint(point)) {
                    out.error = out.writer.lastError();
                    return C_DataManagement::kStreamWriteFailed;
                }
            }
            ++kept;
        }
        if (layout == 0)
            in.release(start, m);
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
