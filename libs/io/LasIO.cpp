#include "LasIO.h"

#include "LasExtraBytes.h"

#include "LargeVector.h"
#include "LasFormat.h"
#include "LasIndex.h"
#include "LazCodec.h"
#include "MappedFile.h"
#include "Threads.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <atomic>
#include <limits>
#include <mutex>
#include <thread>

namespace fs = std::filesystem;

namespace VerdantaIO {

using namespace las;

namespace {

thread_local std::string t_error;

constexpr uint64_t kWriteChunk = 65536;

int seek64(FILE *f, uint64_t offset)
{
#ifdef _WIN32
    return _fseeki64(f, static_cast<__int64>(offset), SEEK_SET);
#else
    return fseeko(f, static_cast<off_t>(offset), SEEK_SET);
#endif
}

bool fail(std::string *error, const std::string &text)
{
    if (error)
        *error = text;
    return false;
}

// Whether the user asked to stop; advances the progress by one step.
bool stepOk(CProcessBase *progress) { return !progress || progress->StepIt(); }

// Decodes n records in `steps` equal steps, each split over two threads
// when `parallel`; progress and cancellation stay on the calling thread.
// False when cancelled.
template <typename Decode>
bool inSteps(uint64_t n, int steps, bool parallel, const Decode &decode, CProcessBase *progress)
{
    if (progress)
        progress->SetStepCount(steps);
    parallel = parallel && threadBudget(2) > 1;
    for (int s = 0; s < steps; ++s) {
        const uint64_t from = n * s / steps, to = n * (s + 1) / steps;
        if (parallel) {
            const uint64_t mid = from + (to - from) / 2;
            std::thread helper([&] { decode(mid, to); });
            decode(from, mid);
            helper.join();
        } else {
            decode(from, to);
        }
        if (!stepOk(progress))
            return false;
    }
    return true;
}

// Decodes every chunk of a compressed point block on two threads, which
// take the next chunk as they finish one, and hands each chunk's records to
// fn(k, records) on the thread that decoded it. Progress (one step per
// chunk) and cancellation stay on the calling thread. False, with the
// reason, when a chunk is damaged or the user cancels.
template <typename Fn>
bool forEachChunk(const laz::LazChunks &c, const Fn &fn, CProcessBase *progress, std::string &error)
{
    const size_t n = c.chunkCount();
    if (progress)
        progress->SetStepCount(static_cast<int>(n));
    std::atomic<size_t> next{0}, done{0};
    std::atomic<bool> stop{false};
    std::mutex errorMutex;
    std::string damage;
    // Decodes chunks until none is left; returns after each chunk when
    // `oneAtATime`, so that the calling thread can report progress.
    struct Worker {
        explicit Worker(const std::vector<laz::Item> &items) : decoder(items) {}
        laz::ChunkDecoder decoder;
        std::vector<uint8_t> records;
    };
    auto work = [&](Worker &w, bool oneAtATime) {
        while (!stop) {
            const size_t k = next++;
            if (k >= n)
                return false;
            std::string why;
            bool ok = true;
            try {
                w.records.resize(c.pointCount(k) * c.recordLength());
            } catch (const std::bad_alloc &) {
                why = "Not enough memory to decode a chunk of " + std::to_string(c.pointCount(k)) + " points";
                ok = false;
            }
            ok = ok && c.decode(k, w.decoder, w.records.data(), why);
            if (!ok) {
                std::lock_guard<std::mutex> lock(errorMutex);
                if (damage.empty())
                    damage = why;
                stop = true;
                return false;
            }
            fn(k, w.records.data());
            ++done;
            if (oneAtATime)
                return true;
        }
        return false;
    };
    std::thread helper;
    if (n > 1 && threadBudget(2) > 1)
        helper = std::thread([&] {
            Worker w(c.items());
            work(w, false);
        });
    Worker own(c.items());
    size_t reported = 0;
    bool cancelled = false;
    auto report = [&]() {
        for (const size_t now = done; reported < now; ++reported)
            if (!cancelled && !stepOk(progress)) {
                cancelled = true;
                stop = true;
            }
    };
    while (work(own, true))
        report();
    if (helper.joinable())
        helper.join();
    report();
    if (!damage.empty()) {
        error = damage;
        return false;
    }
    if (cancelled) {
        error = "Cancelled";
        return false;
    }
    return true;
}

// Counts by return and quantised bounds of points written with a header.
struct Summary {
    uint64_t count = 0;
    std::array<uint64_t, 15> byReturn{};
    double minX = 0, maxX = 0, minY = 0, maxY = 0, minZ = 0, maxZ = 0;

    void add(const PointCloud &p, const PointHeader &h, int32_t X, int32_t Y, int32_t Z)
    {
        const double x = X * h.scaleX + h.offsetX, y = Y * h.scaleY + h.offsetY,
                     z = Z * h.scaleZ + h.offsetZ;
        if (count == 0) {
            minX = maxX = x;
            minY = maxY = y;
            minZ = maxZ = z;
        } else {
            minX = std::min(minX, x);
            maxX = std::max(maxX, x);
            minY = std::min(minY, y);
            maxY = std::max(maxY, y);
            minZ = std::min(minZ, z);
            maxZ = std::max(maxZ, z);
        }
        ++count;
        const int slots = h.pointDataFormat >= 6 ? 15 : 5;
        if (p.returnNumber >= 1 && p.returnNumber <= slots)
            ++byReturn[p.returnNumber - 1];
    }

    // Adds the summary to the counts and bounds of h (bounds replaced when
    // h counts no points yet).
    void mergeInto(PointHeader &h) const
    {
        if (count == 0)
            return;
        if (h.numberOfPointRecords == 0) {
            h.minX = minX; h.maxX = maxX; h.minY = minY; h.maxY = maxY; h.minZ = minZ; h.maxZ = maxZ;
        } else {
            h.minX = std::min(h.minX, minX); h.maxX = std::max(h.maxX, maxX);
            h.minY = std::min(h.minY, minY); h.maxY = std::max(h.maxY, maxY);
            h.minZ = std::min(h.minZ, minZ); h.maxZ = std::max(h.maxZ, maxZ);
        }
        h.numberOfPointRecords += count;
        for (int i = 0; i < 15; ++i)
            h.numberOfPointsByReturn[i] += byReturn[i];
    }
};

// Prepares a header for writing: a writable format with its standard record
// length, a version that can hold it, and no records describing data that
// is not written (extra bytes, waveforms).
bool prepareForWriting(PointHeader &h, std::string *error)
{
    int f = h.pointDataFormat;
    static const int withoutWaveform[] = {0, 1, 2, 3, 1, 3, 6, 7, 8, 6, 8};
    if (f < 0 || f > 10)
        return fail(error, "Point data format " + std::to_string(f) + " cannot be written");
    f = withoutWaveform[f];
    h.pointDataFormat = static_cast<uint8_t>(f);
    h.pointRecordLength = standardRecordLength(f);
    h.extraBytesPerPoint = 0;
    h.versionMajor = 1;
    if (f >= 6)
        h.versionMinor = 4;
    else if (f >= 2 && h.versionMinor < 2)
        h.versionMinor = 2;
    if (h.versionMinor > 4)
        h.versionMinor = 4;
    if (!(std::isfinite(h.scaleX) && h.scaleX != 0 && std::isfinite(h.scaleY) && h.scaleY != 0 &&
          std::isfinite(h.scaleZ) && h.scaleZ != 0))
        return fail(error, "The header has a zero or invalid scale factor");
    h.reserved &= static_cast<uint16_t>(~(kGlobalEncodingWaveformInternal | kGlobalEncodingWaveformExternal));
    h.waveformDataStart = 0;
    auto describesDroppedData = [](const VariableLengthRecord &v) {
        return v.userId == "LASF_Spec" && (v.recordId == 4 || (v.recordId >= 100 && v.recordId < 355));
    };
    h.vlrs.erase(std::remove_if(h.vlrs.begin(), h.vlrs.end(), describesDroppedData), h.vlrs.end());
    h.evlrs.erase(std::remove_if(h.evlrs.begin(), h.evlrs.end(), describesDroppedData), h.evlrs.end());
    if (h.versionMinor < 4)
        h.evlrs.clear();
    h.vlrs.erase(std::remove_if(h.vlrs.begin(), h.vlrs.end(), laz::isLazRecord), h.vlrs.end());
    h.fileSignature = "LASF";
    h.compressed = false;
    return true;
}

using laz::addLazRecord;

}  // namespace

const std::string &LastError() { return t_error; }

bool IsLazPath(const std::string &path)
{
    if (path.size() < 4)
        return false;
    std::string ext = path.substr(path.size() - 4);
    std::transform(ext.begin(), ext.end(), ext.begin(), [](unsigned char c) { return std::tolower(c); });
    return ext == ".laz";
}

// ---- CLASIO ---------------------------------------------------------------

struct CLASIO::Source {
    MappedFile file;
    PointBlock block;
    PointHeader header;  // as parsed, for decoding
};

bool CLASIO::LoadFile(const std::string &filePath)
{
    path = filePath;
    points.clear();
    header = PointHeader();
    source_.reset();
    warnings_.clear();
    auto src = std::make_shared<Source>();
    if (!src->file.open(filePath)) {
        error_ = "Could not open the file " + filePath;
        return false;
    }
    std::vector<std::string> warnings;
    if (!parseHeader(src->file.data(), src->file.size(), src->header, src->block, error_, true, &warnings))
        return false;
    warnings_ = std::move(warnings);
    header = src->header;
    source_ = src;
    return true;
}

bool CLASIO::openSource()
{
    if (source_)
        return true;
    error_ = "No LAS file is loaded";
    return false;
}

bool CLASIO::ReadData(CProcessBase *progress)
{
    points.clear();
    if (!openSource())
        return false;
    const PointBlock &b = source_->block;
    if (b.count == 0) {
        error_ = "The file holds no points";
        return false;
    }
    try {
        reserveLarge(points, b.count);
        points.resize(b.count);
    } catch (const std::bad_alloc &) {
        error_ = "Not enough memory to read " + std::to_string(b.count) + " points";
        return false;
    }
    if (b.laz) {
        auto decode = [&](size_t k, const uint8_t *records) {
            decodePoints(records, b.laz->pointCount(k), b, source_->header, points.data() + b.laz->firstPoint(k));
        };
        if (!forEachChunk(*b.laz, decode, progress, error_)) {
            points.clear();
            return false;
        }
        return true;
    }
    const uint8_t *base = source_->file.data() + b.offset;
    auto decode = [&](uint64_t from, uint64_t to) {
        decodePoints(base + from * b.recordLength, to - from, b, source_->header, points.data() + from);
    };
    if (!inSteps(b.count, 100, b.count >= 200000, decode, progress)) {
        points.clear();
        error_ = "Cancelled";
        return false;
    }
    return true;
}

bool CLASIO::PointExtent(LASExtent &e) const
{
    if (!source_ || source_->block.count == 0)
        return false;
    const PointBlock &b = source_->block;
    const PointHeader &h = source_->header;
    // Extremes of the stored integers, scaled once at the end (a negative
    // scale swaps minimum and maximum).
    int32_t lo[3], hi[3];
    if (b.laz) {
        std::mutex mutex;
        bool first = true;
        auto scan = [&](size_t k, const uint8_t *records) {
            int32_t l[3], u[3];
            for (int j = 0; j < 3; ++j)
                l[j] = u[j] = load<int32_t>(records + 4 * j);
            for (uint64_t i = 0; i < b.laz->pointCount(k); ++i)
                for (int j = 0; j < 3; ++j) {
                    const int32_t v = load<int32_t>(records + i * b.recordLength + 4 * j);
                    l[j] = std::min(l[j], v);
                    u[j] = std::max(u[j], v);
                }
            std::lock_guard<std::mutex> lock(mutex);
            for (int j = 0; j < 3; ++j) {
                lo[j] = first ? l[j] : std::min(lo[j], l[j]);
                hi[j] = first ? u[j] : std::max(hi[j], u[j]);
            }
            first = false;
        };
        std::string error;
        if (!forEachChunk(*b.laz, scan, nullptr, error))
            return false;
    } else {
    const uint8_t *r = source_->file.data() + b.offset;
    for (int k = 0; k < 3; ++k)
        lo[k] = hi[k] = load<int32_t>(r + 4 * k);
    // The pages already scanned are let go every 64 MB, so that the scan of
    // a large file does not hold it all resident.
    const uint64_t releaseEvery = std::max<uint64_t>(1, (64ull << 20) / b.recordLength);
    for (uint64_t i = 1; i < b.count; ++i) {
        r += b.recordLength;
        for (int k = 0; k < 3; ++k) {
            const int32_t v = load<int32_t>(r + 4 * k);
            lo[k] = std::min(lo[k], v);
            hi[k] = std::max(hi[k], v);
        }
        if (i % releaseEvery == 0)
            source_->file.releaseResident(b.offset + (i - releaseEvery) * b.recordLength,
                                          releaseEvery * b.recordLength);
    }
    }
    const double scale[3] = {h.scaleX, h.scaleY, h.scaleZ}, offset[3] = {h.offsetX, h.offsetY, h.offsetZ};
    double mins[3], maxs[3];
    for (int k = 0; k < 3; ++k) {
        const double a = lo[k] * scale[k] + offset[k], c = hi[k] * scale[k] + offset[k];
        mins[k] = std::min(a, c);
        maxs[k] = std::max(a, c);
    }
    e.path = path;
    e.minX = mins[0]; e.minY = mins[1]; e.minZ = mins[2];
    e.maxX = maxs[0]; e.maxY = maxs[1]; e.maxZ = maxs[2];
    return true;
}

bool CLASIO::indicesInRange(const std::vector<uint64_t> &indices)
{
    for (uint64_t i : indices)
        if (i >= source_->block.count) {
            error_ = "Point index " + std::to_string(i) + " lies beyond the last point";
            return false;
        }
    return true;
}

bool CLASIO::ReadData(uint64_t start, uint64_t count, std::vector<PointCloud> &out)
{
    out.clear();
    if (!openSource())
        return false;
    const PointBlock &b = source_->block;
    if (start > b.count) {
        error_ = "The start index lies beyond the last point";
        return false;
    }
    const uint64_t n = std::min(count, b.count - start);
    out.resize(n);
    if (b.laz) {
        laz::ChunkCursor cursor(*b.laz);
        for (uint64_t i = start; i < start + n;) {
            const uint8_t *r = cursor.record(i, error_);
            if (!r) {
                out.clear();
                return false;
            }
            const size_t k = b.laz->chunkOf(i);
            const uint64_t m = std::min(start + n, b.laz->firstPoint(k) + b.laz->pointCount(k)) - i;
            decodePoints(r, m, b, source_->header, out.data() + (i - start));
            i += m;
        }
        b.laz->releaseCache(1);  // the next call of a streaming read starts in the last chunk
        return true;
    }
    decodePoints(source_->file.data() + b.offset + start * b.recordLength, n, b, source_->header,
                 out.data());
    return true;
}

bool CLASIO::ReadData(const std::vector<uint64_t> &indices, std::vector<PointCloud> &out,
                      CProcessBase *progress)
{
    out.clear();
    if (!openSource())
        return false;
    const PointBlock &b = source_->block;
    reserveLarge(out, indices.size());
    out.resize(indices.size());
    const size_t stepEvery = std::max<size_t>(1, indices.size() / 100);
    const int steps = static_cast<int>((indices.size() + stepEvery - 1) / stepEvery);
    const uint8_t *base = source_->file.data() + b.offset;
    if (!indicesInRange(indices)) {
        out.clear();
        return false;
    }
    std::atomic<bool> damaged{false};
    std::string damage;
    std::mutex damageMutex;
    auto decode = [&](uint64_t from, uint64_t to) {
        if (b.laz) {
            laz::ChunkCursor cursor(*b.laz);
            std::string error;
            for (uint64_t i = from; i < to; ++i) {
                const uint8_t *r = cursor.record(indices[i], error);
                if (!r) {
                    std::lock_guard<std::mutex> lock(damageMutex);
                    damaged = true;
                    damage = error;
                    return;
                }
                decodePoint(r, b.format, source_->header, out[i]);
            }
            return;
        }
        for (uint64_t i = from; i < to; ++i)
            decodePoint(base + indices[i] * b.recordLength, b.format, source_->header, out[i]);
    };
    if (!inSteps(indices.size(), steps, stepEvery >= 2000, decode, progress)) {
        out.clear();
        error_ = "Cancelled";
        return false;
    }
    if (b.laz)
        b.laz->releaseCache();
    if (damaged) {
        out.clear();
        error_ = damage;
        return false;
    }
    return true;
}

bool CLASIO::ReadData(const std::vector<uint64_t> &indices, std::vector<XYZ> &out)
{
    out.clear();
    if (!openSource())
        return false;
    const PointBlock &b = source_->block;
    const PointHeader &h = source_->header;
    out.resize(indices.size());
    const uint8_t *base = source_->file.data() + b.offset;
    if (!indicesInRange(indices)) {
        out.clear();
        return false;
    }
    std::unique_ptr<laz::ChunkCursor> cursor(b.laz ? new laz::ChunkCursor(*b.laz) : nullptr);
    for (size_t i = 0; i < indices.size(); ++i) {
        const uint8_t *r = cursor ? cursor->record(indices[i], error_) : base + indices[i] * b.recordLength;
        if (!r) {
            out.clear();
            return false;
        }
        out[i].x = load<int32_t>(r) * h.scaleX + h.offsetX;
        out[i].y = load<int32_t>(r + 4) * h.scaleY + h.offsetY;
        out[i].z = load<int32_t>(r + 8) * h.scaleZ + h.offsetZ;
    }
    if (b.laz)
        b.laz->releaseCache();
    return true;
}

bool CLASIO::WriteLas(const std::string &outPath)
{
    return WriteLasFile(outPath, header, points, &error_);
}

// ---- writing --------------------------------------------------------------

bool WriteLasFile(const std::string &outPath, PointHeader &header,
                  const std::vector<PointCloud> &pts, std::string *error, const ExtraBytes *extra)
{
    PointHeader h = header;
    if (!prepareForWriting(h, error))
        return false;
    const uint16_t standard = h.pointRecordLength;
    if (extra && extra->size) {
        if (extra->values.size() != pts.size() * extra->size)
            return fail(error, "The extra bytes do not match the points");
        h.pointRecordLength = static_cast<uint16_t>(h.pointRecordLength + extra->size);
        h.extraBytesPerPoint = extra->size;
        if (!extra->descriptors.empty()) {  // undescribed extra bytes are allowed too
            VariableLengthRecord v;
            v.userId = "LASF_Spec";
            v.recordId = 4;
            v.description = "Extra bytes";
            v.data = extra->descriptors;
            h.vlrs.push_back(v);
        }
    } else {
        extra = nullptr;
    }
    if (h.versionMinor < 4 && pts.size() > std::numeric_limits<uint32_t>::max())
        return fail(error, "More than 4294967295 points need LAS 1.4");
    const bool compress = IsLazPath(outPath);
    if (compress)
        addLazRecord(h);

    // Encode first, so that a coordinate that does not fit leaves no file.
    const uint16_t len = h.pointRecordLength;
    Summary sum;
    h.numberOfPointRecords = 0;
    h.numberOfPointsByReturn.fill(0);
    const std::string temp = outPath + ".partial";
    FILE *out = std::fopen(temp.c_str(), "wb");
    if (!out)
        return fail(error, "Could not create the file " + outPath);
    auto abandon = [&](const std::string &text) {
        std::fclose(out);
        std::error_code ec;
        fs::remove(fs::path(temp), ec);
        return fail(error, text);
    };
    // The header's size is known before its content: reserve it.
    std::vector<uint8_t> provisional = serializeHeader(h);
    if (std::fwrite(provisional.data(), 1, provisional.size(), out) != provisional.size())
        return abandon("Could not write the file " + outPath);
    const uint64_t blockStart = provisional.size();
    uint64_t blockBytes = 0;
    std::unique_ptr<laz::LazBlockWriter> lazWriter;
    std::vector<uint8_t> packed;
    if (compress) {
        lazWriter.reset(new laz::LazBlockWriter(laz::infoFor(h), len));
        const std::vector<uint8_t> pointer = laz::LazBlockWriter::blockHeader();
        if (std::fwrite(pointer.data(), 1, pointer.size(), out) != pointer.size())
            return abandon("Could not write the file " + outPath);
        blockBytes = pointer.size();
    }
    // Compressed files take two chunks per batch (one for each thread).
    const uint64_t batch = compress ? 2ull * laz::kWriteChunkPoints : kWriteChunk;
    std::vector<uint8_t> buffer(batch * len);
    for (size_t from = 0; from < pts.size(); from += batch) {
        const size_t n = std::min<size_t>(batch, pts.size() - from);
        for (size_t i = 0; i < n; ++i) {
            const PointCloud &p = pts[from + i];
            uint8_t *rec = buffer.data() + i * len;
            if (!encodePoint(p, h, rec))
                return abandon("A coordinate does not fit the scale and offset of the header");
            if (extra)
                std::memcpy(rec + standard, &extra->values[(from + i) * extra->size], extra->size);
            sum.add(p, h, load<int32_t>(rec), load<int32_t>(rec + 4), load<int32_t>(rec + 8));
        }
        const uint8_t *bytes = buffer.data();
        size_t size = n * len;
        if (compress) {
            packed.clear();
            lazWriter->addRecords(buffer.data(), n, packed);
            bytes = packed.data();
            size = packed.size();
        }
        if (std::fwrite(bytes, 1, size, out) != size)
            return abandon("Could not write the file " + outPath);
        blockBytes += size;
    }
    if (compress) {
        uint8_t pointer[8];
        const std::vector<uint8_t> table = lazWriter->finish(blockStart, blockBytes, pointer);
        if (std::fwrite(table.data(), 1, table.size(), out) != table.size() ||
            seek64(out, blockStart) != 0 || std::fwrite(pointer, 1, 8, out) != 8 ||
            std::fseek(out, 0, SEEK_END) != 0)
            return abandon("Could not write the file " + outPath);
        blockBytes += table.size();
    }
    if (sum.count == 0) {
        h.minX = h.maxX = h.minY = h.maxY = h.minZ = h.maxZ = 0.0;
    }
    sum.mergeInto(h);
    if (!h.evlrs.empty()) {
        h.evlrStart = blockStart + blockBytes;
        h.numberOfEVLRs = static_cast<uint32_t>(h.evlrs.size());
        const std::vector<uint8_t> ev = serializeEvlrs(h.evlrs);
        if (std::fwrite(ev.data(), 1, ev.size(), out) != ev.size())
            return abandon("Could not write the file " + outPath);
    } else {
        h.evlrStart = 0;
        h.numberOfEVLRs = 0;
    }
    const std::vector<uint8_t> final = serializeHeader(h);
    if (std::fseek(out, 0, SEEK_SET) != 0 || std::fwrite(final.data(), 1, final.size(), out) != final.size())
        return abandon("Could not write the file " + outPath);
    if (std::fclose(out) != 0) {
        std::error_code ec;
        fs::remove(fs::path(temp), ec);
        return fail(error, "Could not write the file " + outPath);
    }
    std::error_code ec;
    forgetIndex(outPath);
    fs::rename(fs::path(temp), fs::path(outPath), ec);
    if (ec) {
        fs::remove(fs::path(temp), ec);
        return fail(error, "Could not create the file " + outPath);
    }
    h.vlrs.erase(std::remove_if(h.vlrs.begin(), h.vlrs.end(), laz::isLazRecord), h.vlrs.end());
    h.numberOfVLRs = static_cast<uint32_t>(h.vlrs.size());
    header = h;
    return true;
}

bool AppendLas(const std::string &path, PointHeader &header, const std::vector<PointCloud> &pts)
{
    PointHeader fileHeader;
    PointBlock block;
    std::vector<VariableLengthRecord> evlrs;
    std::unique_ptr<laz::LazBlockWriter> writer;  // for a compressed file
    std::vector<uint8_t> tail;                   // records of its last chunk, coded again
    size_t keptChunks = 0;
    uint64_t resumeAt = 0;
    {
        MappedFile f;
        if (!f.open(path))
            return fail(&t_error, "Could not open the file " + path);
        if (!parseHeader(f.data(), f.size(), fileHeader, block, t_error, false))
            return false;
        if (!writableFormat(fileHeader.pointDataFormat) ||
            fileHeader.pointRecordLength != standardRecordLength(fileHeader.pointDataFormat))
            return fail(&t_error, "Points can only be appended to a file written by WriteLas");
        if (header.pointDataFormat != fileHeader.pointDataFormat)
            return fail(&t_error, "The points to append have another point data format than the file");
        evlrs = fileHeader.evlrs;
        if (block.laz) {
            // A last chunk short of the chunk size is decoded and coded
            // again with the new points, so that every chunk but the last
            // stays full.
            const laz::LazChunks &c = *block.laz;
            const laz::LazInfo ours = laz::infoFor(fileHeader);
            bool same = c.info().chunkSize == ours.chunkSize && c.items().size() == ours.items.size();
            for (size_t i = 0; same && i < ours.items.size(); ++i)
                same = c.items()[i].type == ours.items[i].type && c.items()[i].version == ours.items[i].version;
            if (!same)
                return fail(&t_error, "Points can only be appended to a file written by WriteLas");
            const size_t n = c.chunkCount();
            keptChunks = n;
            resumeAt = n ? c.dataEnd() : block.offset + 8;
            if (n && c.pointCount(n - 1) < laz::kWriteChunkPoints) {
                keptChunks = n - 1;
                resumeAt = c.chunkStart(n - 1);
                tail.resize(c.pointCount(n - 1) * fileHeader.pointRecordLength);
                laz::ChunkDecoder decoder(c.items());
                if (!c.decode(n - 1, decoder, tail.data(), t_error))
                    return false;
            }
            writer.reset(new laz::LazBlockWriter(laz::infoFor(fileHeader), fileHeader.pointRecordLength));
            writer->resume(c, keptChunks);
        }
    }
    const uint16_t len = fileHeader.pointRecordLength;
    const size_t tailCount = tail.size() / len;
    std::vector<uint8_t> buffer(tail.size() + pts.size() * static_cast<size_t>(len));
    if (!tail.empty())
        std::memcpy(buffer.data(), tail.data(), tail.size());
    Summary sum;
    for (size_t i = 0; i < pts.size(); ++i) {
        uint8_t *rec = buffer.data() + (tailCount + i) * len;
        if (!encodePoint(pts[i], fileHeader, rec))
            return fail(&t_error, "A coordinate does not fit the scale and offset of the file");
        sum.add(pts[i], fileHeader, load<int32_t>(rec), load<int32_t>(rec + 4), load<int32_t>(rec + 8));
    }
    if (fileHeader.versionMinor < 4 &&
        fileHeader.numberOfPointRecords + sum.count > std::numeric_limits<uint32_t>::max())
        return fail(&t_error, "More than 4294967295 points need LAS 1.4");
    uint64_t end = block.offset + block.count * len;
    uint8_t pointer[8];
    if (writer) {
        // The new chunks and the chunk table replace the old table.
        std::vector<uint8_t> packed;
        writer->addRecords(buffer.data(), buffer.size() / len, packed);
        const std::vector<uint8_t> table = writer->finish(block.offset, resumeAt + packed.size() - block.offset, pointer);
        packed.insert(packed.end(), table.begin(), table.end());
        buffer.swap(packed);
        end = resumeAt;
        std::error_code ec;
        fs::resize_file(fs::path(path), resumeAt, ec);
        if (ec)
            return fail(&t_error, "Could not write the file " + path);
    }
    sum.mergeInto(fileHeader);

    FILE *f = std::fopen(path.c_str(), "r+b");
    if (!f)
        return fail(&t_error, "Could not open the file " + path + " for writing");
    bool ok = seek64(f, end) == 0 &&
              (buffer.empty() || std::fwrite(buffer.data(), 1, buffer.size(), f) == buffer.size());
    if (ok && writer)
        ok = seek64(f, block.offset) == 0 && std::fwrite(pointer, 1, 8, f) == 8 && seek64(f, end + buffer.size()) == 0;
    if (ok && !evlrs.empty()) {
        fileHeader.evlrStart = end + buffer.size();
        const std::vector<uint8_t> ev = serializeEvlrs(evlrs);
        ok = std::fwrite(ev.data(), 1, ev.size(), f) == ev.size();
    }
    // Patch the counts and bounds of the public header in place (the VLRs
    // and any padding stay as they are).
    std::vector<uint8_t> h = serializeHeader(fileHeader);
    auto patch = [&](long offset, size_t bytes) {
        return seek64(f, static_cast<uint64_t>(offset)) == 0 && std::fwrite(h.data() + offset, 1, bytes, f) == bytes;
    };
    ok = ok && patch(107, 4 + 20) && patch(179, 48);
    if (fileHeader.headerSize >= 375 && fileHeader.versionMinor >= 4)
        ok = ok && patch(235, 8) && patch(247, 8 + 120);
    ok = (std::fclose(f) == 0) && ok;
    forgetIndex(path);
    if (!ok)
        return fail(&t_error, "Could not write the file " + path);
    header.numberOfPointRecords = fileHeader.numberOfPointRecords;
    header.numberOfPointsByReturn = fileHeader.numberOfPointsByReturn;
    header.minX = fileHeader.minX; header.maxX = fileHeader.maxX;
    header.minY = fileHeader.minY; header.maxY = fileHeader.maxY;
    header.minZ = fileHeader.minZ; header.maxZ = fileHeader.maxZ;
    return true;
}

// ---- window reads -----------------------------------------------------------

bool ReadData(const std::string &path, double centerX, double centerY, double radius,
              std::vector<PointCloud> &pts)
{
    if (!(radius >= 0.0))
        return fail(&t_error, "The radius must not be negative");
    auto ix = acquireIndex(path, t_error);
    if (!ix)
        return false;
    const Circle circle{centerX, centerY, radius};
    return queryIndex(*ix, centerX - radius, centerX + radius, centerY - radius, centerY + radius, &circle, pts,
                      t_error);
}

bool ReadData(const std::string &path, double minX, double maxX, double minY, double maxY,
              std::vector<PointCloud> &pts)
{
    auto ix = acquireIndex(path, t_error);
    if (!ix)
        return false;
    return queryIndex(*ix, minX, maxX, minY, maxY, nullptr, pts, t_error);
}

bool MultiFileData(const std::vector<std::string> &paths, double x, double y, double radius,
                   std::vector<PointCloud> &pts)
{
    bool any = false;
    for (const auto &p : paths)
        any = ReadData(p, x, y, radius, pts) || any;
    return any;
}

bool MultiFileData(const std::vector<std::string> &paths, double minX, double maxX, double minY,
                   double maxY, std::vector<PointCloud> &pts)
{
    bool any = false;
    for (const auto &p : paths)
        any = ReadData(p, minX, maxX, minY, maxY, pts) || any;
    return any;
}

namespace {
bool headerOf(const std::string &path, PointHeader &h)
{
    MappedFile f;
    PointBlock b;
    if (!f.open(path))
        return fail(&t_error, "Could not open the file " + path);
    return parseHeader(f.data(), f.size(), h, b, t_error, false);
}
}  // namespace

bool MultiFileExtent(const std::vector<std::string> &paths, double &minX, double &maxX,
                     double &minY, double &maxY)
{
    bool first = true;
    for (const auto &p : paths) {
        PointHeader h;
        if (!headerOf(p, h))
            return false;
        if (first) {
            minX = h.minX; maxX = h.maxX; minY = h.minY; maxY = h.maxY;
            first = false;
        } else {
            minX = std::min(minX, h.minX); maxX = std::max(maxX, h.maxX);
            minY = std::min(minY, h.minY); maxY = std::max(maxY, h.maxY);
        }
    }
    if (first)
        return fail(&t_error, "No LAS file was given");
    return true;
}

bool CreateLASExtent(const std::vector<std::string> &paths, std::vector<LASExtent> &extents)
{
    extents.clear();
    for (const auto &p : paths) {
        PointHeader h;
        if (!headerOf(p, h))
            return false;
        LASExtent e;
        e.path = p;
        e.minX = h.minX; e.minY = h.minY; e.minZ = h.minZ;
        e.maxX = h.maxX; e.maxY = h.maxY; e.maxZ = h.maxZ;
        extents.push_back(e);
    }
    return true;
}

}  // namespace VerdantaIO
