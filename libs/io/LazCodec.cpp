#include "LazCodec.h"

#include "LasFormat.h"
#include "LazArithmetic.h"
#include "Threads.h"

#include <algorithm>
#include <cstring>
#include <thread>

namespace VerdantaIO {
namespace laz {

namespace {

template <typename T> inline T ld(const uint8_t *p) { return las::load<T>(p); }
template <typename T> inline void put(std::vector<uint8_t> &out, T v)
{
    uint8_t b[sizeof v];
    std::memcpy(b, &v, sizeof v);
    out.insert(out.end(), b, b + sizeof v);
}

// Decoded chunks kept per file: enough that window reads over a file of
// ten million points decode each chunk once, bounded for larger files.
constexpr uint64_t kCacheBytes = 512ull << 20;
// More points than any writer puts in one chunk: the table is damaged.
constexpr uint64_t kMaxChunkPoints = 1u << 26;

}  // namespace

bool isLazRecord(const VariableLengthRecord &v) { return v.userId == kVlrUserId && v.recordId == kVlrRecordId; }

void addLazRecord(PointHeader &h)
{
    VariableLengthRecord v;
    v.userId = kVlrUserId;
    v.recordId = kVlrRecordId;
    v.description = "by Verdanta";
    v.data = serializeInfo(infoFor(h));
    h.vlrs.push_back(v);
    h.compressed = true;
}

bool parseInfo(const std::vector<uint8_t> &d, LazInfo &info, std::string &error)
{
    if (d.size() < 34) {
        error = "The LASzip record of the file is too short";
        return false;
    }
    info = LazInfo();
    info.compressor = ld<uint16_t>(d.data());
    info.coder = ld<uint16_t>(d.data() + 2);
    info.versionMajor = d[4];
    info.versionMinor = d[5];
    info.revision = ld<uint16_t>(d.data() + 6);
    info.options = ld<uint32_t>(d.data() + 8);
    info.chunkSize = ld<uint32_t>(d.data() + 12);
    const uint16_t n = ld<uint16_t>(d.data() + 32);
    if (d.size() < 34u + 6u * n) {
        error = "The LASzip record of the file is too short for its items";
        return false;
    }
    for (uint16_t i = 0; i < n; ++i) {
        const uint8_t *p = d.data() + 34 + 6 * i;
        info.items.push_back({ld<uint16_t>(p), ld<uint16_t>(p + 2), ld<uint16_t>(p + 4)});
    }
    if (info.coder != 0) {
        error = "The LAZ file uses an unknown entropy coder";
        return false;
    }
    if (info.compressor < 1 || info.compressor > 3) {
        error = "The LAZ file uses an unknown compressor (" + std::to_string(info.compressor) + ")";
        return false;
    }
    return true;
}

std::vector<uint8_t> serializeInfo(const LazInfo &info)
{
    std::vector<uint8_t> out;
    put<uint16_t>(out, info.compressor);
    put<uint16_t>(out, info.coder);
    out.push_back(info.versionMajor);
    out.push_back(info.versionMinor);
    put<uint16_t>(out, info.revision);
    put<uint32_t>(out, info.options);
    put<uint32_t>(out, info.chunkSize);
    put<int64_t>(out, -1);  // no special extended records
    put<int64_t>(out, -1);
    put<uint16_t>(out, static_cast<uint16_t>(info.items.size()));
    for (const Item &it : info.items) {
        put<uint16_t>(out, it.type);
        put<uint16_t>(out, it.size);
        put<uint16_t>(out, it.version);
    }
    return out;
}

LazInfo infoFor(int format, uint16_t extraBytes)
{
    LazInfo info;
    info.items = itemsFor(format, extraBytes);
    if (layeredItems(info.items)) {
        info.compressor = 3;
        info.versionMajor = 3;
        info.versionMinor = 4;
        info.revision = 3;
    }
    info.chunkSize = kWriteChunkPoints;
    return info;
}

LazInfo infoFor(const PointHeader &h)
{
    return infoFor(h.pointDataFormat,
                   static_cast<uint16_t>(h.pointRecordLength - standardRecordLength(h.pointDataFormat)));
}

// ---- reading ------------------------------------------------------------------

bool LazChunks::open(const uint8_t *file, uint64_t size, uint64_t dataOffset, uint64_t count, uint16_t recordLength,
                     const LazInfo &info, std::string &error)
{
    file_ = file;
    size_ = size;
    recordLength_ = recordLength;
    info_ = info;
    starts_.clear();
    ends_.clear();
    firsts_.assign(1, 0);
    if (info.compressor == 1) {
        // One stream for the whole block, without a chunk table.
        tableStart_ = size;
        if (count > 0) {
            starts_.push_back(dataOffset);
            ends_.push_back(size);
            firsts_.push_back(count);
        }
        return true;
    }
    if (count == 0) {
        tableStart_ = dataOffset;
        return true;
    }
    const std::string damaged = "The LAZ chunk table is missing or damaged (the file may be truncated)";
    if (dataOffset + 8 > size) {
        error = damaged;
        return false;
    }
    int64_t table = ld<int64_t>(file + dataOffset);
    if (table == -1 && size >= 8)  // written to a stream: the position is at the end
        table = ld<int64_t>(file + size - 8);
    const uint64_t chunksStart = dataOffset + 8;
    if (table < 0 || static_cast<uint64_t>(table) < chunksStart || static_cast<uint64_t>(table) + 8 > size) {
        error = damaged;
        return false;
    }
    tableStart_ = static_cast<uint64_t>(table);
    const uint8_t *t = file + tableStart_;
    const uint32_t version = ld<uint32_t>(t), chunks = ld<uint32_t>(t + 4);
    // COPC files give a chunk size of 0 and code variable chunks.
    const bool variable = info.chunkSize == kVariableChunks || info.chunkSize == 0;
    const uint64_t perChunk = variable ? count : info.chunkSize;
    // Each chunk holds at least one point and costs at least a byte.
    if (version != 0 || chunks == 0 || chunks > count || chunks > tableStart_ - chunksStart) {
        error = damaged;
        return false;
    }
    Decoder d;
    d.init(t + 8, size - tableStart_ - 8);
    IntegerCoder ic(32, 2, true);
    ic.reset();
    uint32_t lastCount = 0, lastBytes = 0;
    uint64_t at = chunksStart, first = 0;
    starts_.reserve(chunks);
    for (uint32_t i = 0; i < chunks; ++i) {
        uint64_t points = perChunk;
        if (variable) {
            lastCount = static_cast<uint32_t>(ic.decompress(d, static_cast<int32_t>(lastCount), 0));
            points = lastCount;
        }
        lastBytes = static_cast<uint32_t>(ic.decompress(d, static_cast<int32_t>(lastBytes), 1));
        if (!variable && i + 1 == chunks)
            points = count - first;  // the last chunk holds the rest
        if (points == 0 || points > kMaxChunkPoints || lastBytes == 0 || at + lastBytes > tableStart_ ||
            first + points > count) {
            error = damaged;
            return false;
        }
        starts_.push_back(at);
        at += lastBytes;
        ends_.push_back(at);
        first += points;
        firsts_.push_back(first);
    }
    if (d.damaged() || first != count || (!variable && (count - 1) / perChunk + 1 != chunks)) {
        error = damaged;
        return false;
    }
    return true;
}

void LazChunks::releaseCache(size_t keep) const
{
    std::lock_guard<std::mutex> lock(cacheMutex_);
    while (cache_.size() > keep) {
        cacheBytes_ -= cache_.back().second->size();
        cache_.pop_back();
    }
}

size_t LazChunks::chunkOf(uint64_t index) const
{
    const auto it = std::upper_bound(firsts_.begin(), firsts_.end(), index);
    return static_cast<size_t>(it - firsts_.begin()) - 1;
}

bool LazChunks::decode(size_t k, ChunkDecoder &decoder, uint8_t *out, std::string &error) const
{
    if (!decoder.decode(file_ + starts_[k], ends_[k] - starts_[k], pointCount(k), out, error)) {
        error = "The LAZ file is damaged: " + error + " (chunk " + std::to_string(k + 1) + " of " +
                std::to_string(chunkCount()) + ")";
        return false;
    }
    return true;
}

std::shared_ptr<const std::vector<uint8_t>> LazChunks::cached(size_t k, std::string &error) const
{
    {
        std::lock_guard<std::mutex> lock(cacheMutex_);
        for (auto it = cache_.begin(); it != cache_.end(); ++it)
            if (it->first == k) {
                cache_.splice(cache_.begin(), cache_, it);
                return cache_.front().second;
            }
    }
    std::shared_ptr<std::vector<uint8_t>> chunk;
    try {
        chunk = std::make_shared<std::vector<uint8_t>>(pointCount(k) * recordLength_);
    } catch (const std::bad_alloc &) {
        error = "Not enough memory to decode a chunk of " + std::to_string(pointCount(k)) + " points";
        return nullptr;
    }
    ChunkDecoder decoder(info_.items);
    if (!decode(k, decoder, chunk->data(), error))
        return nullptr;
    std::lock_guard<std::mutex> lock(cacheMutex_);
    cache_.emplace_front(k, chunk);
    cacheBytes_ += chunk->size();
    while (cacheBytes_ > kCacheBytes && cache_.size() > 1) {
        cacheBytes_ -= cache_.back().second->size();
        cache_.pop_back();
    }
    return chunk;
}

// ---- writing ------------------------------------------------------------------

LazBlockWriter::LazBlockWriter(const LazInfo &info, uint16_t recordLength) : info_(info), recordLength_(recordLength)
{
}

void LazBlockWriter::resume(const LazChunks &existing, size_t keepChunks)
{
    chunkPoints_.clear();
    chunkBytes_.clear();
    for (size_t k = 0; k < keepChunks; ++k) {
        chunkPoints_.push_back(static_cast<uint32_t>(existing.pointCount(k)));
        const uint64_t end = k + 1 < existing.chunkCount() ? existing.chunkStart(k + 1) : existing.dataEnd();
        chunkBytes_.push_back(static_cast<uint32_t>(end - existing.chunkStart(k)));
    }
}

void LazBlockWriter::addRecords(const uint8_t *records, uint64_t count, std::vector<uint8_t> &out)
{
    const uint64_t per =
        info_.chunkSize == kVariableChunks || info_.chunkSize == 0 ? kWriteChunkPoints : info_.chunkSize;
    const uint64_t chunks = (count + per - 1) / per;
    if (chunks == 0)
        return;
    std::vector<std::vector<uint8_t>> encoded(chunks);
    auto work = [&](uint64_t from, uint64_t step) {
        ChunkEncoder encoder(info_.items);
        for (uint64_t k = from; k < chunks; k += step) {
            const uint64_t first = k * per, n = std::min(per, count - first);
            encoded[k].reserve(n * recordLength_ / 4);
            encoder.encode(records + first * recordLength_, n, encoded[k]);
        }
    };
    if (chunks > 1 && threadBudget(2) > 1) {
        std::thread helper(work, 1, 2);
        work(0, 2);
        helper.join();
    } else {
        work(0, 1);
    }
    for (uint64_t k = 0; k < chunks; ++k) {
        chunkPoints_.push_back(static_cast<uint32_t>(std::min(per, count - k * per)));
        chunkBytes_.push_back(static_cast<uint32_t>(encoded[k].size()));
        out.insert(out.end(), encoded[k].begin(), encoded[k].end());
    }
}

std::vector<uint8_t> LazBlockWriter::finish(uint64_t blockStart, uint64_t blockBytes, uint8_t pointer[8])
{
    const uint64_t table = blockStart + blockBytes;
    std::memcpy(pointer, &table, 8);
    std::vector<uint8_t> out;
    put<uint32_t>(out, 0);
    put<uint32_t>(out, static_cast<uint32_t>(chunkBytes_.size()));
    if (!chunkBytes_.empty()) {
        Encoder e;
        e.init();
        IntegerCoder ic(32, 2, false);
        ic.reset();
        const bool variable = info_.chunkSize == kVariableChunks;
        for (size_t i = 0; i < chunkBytes_.size(); ++i) {
            if (variable)
                ic.compress(e, i ? static_cast<int32_t>(chunkPoints_[i - 1]) : 0, static_cast<int32_t>(chunkPoints_[i]), 0);
            ic.compress(e, i ? static_cast<int32_t>(chunkBytes_[i - 1]) : 0, static_cast<int32_t>(chunkBytes_[i]), 1);
        }
        const std::vector<uint8_t> &bytes = e.done();
        out.insert(out.end(), bytes.begin(), bytes.end());
    }
    return out;
}

}  // namespace laz
}  // namespace VerdantaIO
