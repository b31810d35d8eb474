// Extraction by class, elevation, intensity and return.

#include "DataManagement.h"
#include "Selection.h"
#include "Streaming.h"

#include <memory>

using namespace VerdantaIO;

namespace {

template <class Test>
bool indicesOf(const std::vector<PointCloud> &points, const Test &test, std::vector<uint64_t> &indices,
               CProcessBase *progress)
{
    indices.clear();
    for (uint64_t i = 0; i < points.size(); ++i)
        if (test(keyOf(points[i])))
            indices.push_back(i);
    (void)progress;  // a chunk is tested in far less than a progress step
    return true;
}

}  // namespace

bool C_DataManagement::GetClassPoint(const std::vector<uint8_t> &codes, const std::vector<PointCloud> &points,
                                     std::vector<uint64_t> &indices, CProcessBase *progress)
{
    return indicesOf(points, selection::ClassTest(codes), indices, progress);
}

bool C_DataManagement::GetheightPoint(bool inclusive, double minZ, double maxZ, const std::vector<PointCloud> &points,
                                      std::vector<uint64_t> &indices, CProcessBase *progress)
{
    return indicesOf(points, selection::RangeTest(true, inclusive, minZ, maxZ), indices, progress);
}

bool C_DataManagement::GetIntensityPoint(bool inclusive, double min, double max,
                                         const std::vector<PointCloud> &points, std::vector<uint64_t> &indices,
                                         CProcessBase *progress)
{
    return indicesOf(points, selection::RangeTest(false, inclusive, min, max), indices, progress);
}

bool C_DataManagement::GetReturnPoint(int value, const std::vector<PointCloud> &points,
                                      std::vector<uint64_t> &indices, int qualifier, CProcessBase *progress)
{
    return indicesOf(points, selection::ReturnTest{value, qualifier}, indices, progress);
}

int C_DataManagement::ExtractPoints(const std::vector<std::string> &inputs, const std::vector<std::string> &outputs,
                                    const Selection &sel, CProcessBase *progress,
                                    std::vector<std::string> &written, uint64_t &kept)
{
    written.clear();
    kept = 0;
    error_.clear();
    if (inputs.empty() || outputs.size() != inputs.size()) {
        error_ = "No input";
        return kStreamOpenFailed;
    }
    // The first input's header serves every output.
    LasRecordReader first;
    if (!first.open(inputs.front())) {
        error_ = inputs.front() + ": " + first.lastError();
        return kStreamOpenFailed;
    }
    const PointHeader templ = first.header();
    if (progress)
        progress->SetStageCount(static_cast<int32_t>(inputs.size()));
    for (size_t f = 0; f < inputs.size(); ++f) {
        if (progress)
            progress->SetMessage("Processing...");
        LasRecordReader in;
        if (!in.open(inputs[f])) {
            error_ = inputs[f] + ": " + in.lastError();
            return kStreamOpenFailed;
        }
        if (progress)
            progress->SetStepCount(static_cast<int32_t>((in.count() + kChunk - 1) / kChunk + 1));
        streaming::LazyOutput out;
        out.path = outputs[f];
        out.templ = &templ;
        int status = kStreamDone;
        switch (sel.kind) {
        case Selection::Class:
            status = streaming::select(in, out, selection::ClassTest(sel.codes), progress, kept);
            break;
        case Selection::Height:
        case Selection::Intensity:
            status = streaming::select(
                in, out, selection::RangeTest(sel.kind == Selection::Height, sel.inclusive, sel.min, sel.max),
                progress, kept);
            break;
        case Selection::Return:
            status = streaming::select(in, out, selection::ReturnTest{sel.value, sel.qualifier}, progress, kept);
            break;
        }
        // What was kept before a failure or a cancel is finished as a valid file.
        if (out.writer.isOpen()) {
            if (out.writer.close())
                written.push_back(outputs[f]);
            else if (status == kStreamDone) {
                out.error = out.writer.lastError();
                status = kStreamWriteFailed;
            }
        }
        if (status != kStreamDone) {
            error_ = out.error;
            return status;
        }
        if (progress) {
            if (!progress->StepIt())
                return kStreamCancelled;
            progress->SetStageOffset(progress->fraction());
        }
    }
    return kStreamDone;
}
