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
template <class Test>
int select(const LasRecordReader &in, LazyOutput &out, const Test &test, CProcessBase *progress, uint64_t &kept)
{
    const uint64_t n = in.count(), chunk = C_DataManagement::kChunk;
    std::vector<PointKey> keys(std::min(n, chunk));
    PointCloud point;
    int layout = -1;  // unknown until the output exists: 1 copy records, 0 encode points
    for (uint64_t start = 0; start < n; start += chunk) {
        const uint64_t m = std::min(chunk, n - start);
        in.keys(start, m, keys.data());
        for (uint64_t k = 0; k < m; ++k) {
            if (!test(keys[k]))
                continue;
            if (layout < 0) {
                if (!out.ensure())
                    return C_DataManagement::kStreamWriteFailed;
                layout = out.writer.sameLayout(in) ? 1 : 0;
            }
            if (layout == 1) {
                out.writer.addRecord(in.record(start + k));
            } else {
                in.decodeOne(start + k, point);
                if (!out.writer.addPoint(point)) {
                    out.error = out.writer.lastError();
                    return C_DataManagement::kStreamWriteFailed;
                }
            }
            ++kept;
        }
        in.release(start, m);
        if (progress && !progress->StepIt())
            return C_DataManagement::kStreamCancelled;
    }
    return C_DataManagement::kStreamDone;
}

}  // namespace streaming
