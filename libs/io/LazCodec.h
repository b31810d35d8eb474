#pragma once
// LAZ files: the LASzip record that describes the compression, the chunk
// table, decoding chunks of point records on demand and encoding a point
// block. Internal to the IO library.
//
// A compressed point block starts with the 64-bit file position of its chunk
// table, followed by the chunks. The table (after the last chunk) holds a
// version, the number of chunks and, arithmetic-coded, each chunk's byte
// size and (for variable chunks) its number of points.

#include "LazItems.h"
#include "PointRecords.h"

#include <cstdint>
#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace VerdantaIO {
namespace laz {

constexpr const char *kVlrUserId = "laszip encoded";
constexpr uint16_t kVlrRecordId = 22204;
constexpr uint32_t kVariableChunks = 0xFFFFFFFFu;
constexpr uint32_t kWriteChunkPoints = 50000;

// The content of the LASzip record.
struct LazInfo {
    uint16_t compressor = 2;  // 2: point-wise chunked, 3: layered chunked
    uint16_t coder = 0;       // 0: arithmetic
    uint8_t versionMajor = 2, versionMinor = 2;
    uint16_t revision = 0;
    uint32_t options = 0;
    uint32_t chunkSize = kWriteChunkPoints;  // points per chunk, or kVariableChunks
    std::vector<Item> items;
};

bool parseInfo(const std::vector<uint8_t> &data, LazInfo &info, std::string &error);
std::vector<uint8_t> serializeInfo(const LazInfo &info);
// The record this library writes for a point format with extra bytes.
LazInfo infoFor(int format, uint16_t extraBytes);
// The record this library writes for a header prepared for writing.
LazInfo infoFor(const PointHeader &header);
bool isLazRecord(const VariableLengthRecord &v);
// Marks a header prepared for writing as compressed and adds the LASzip
// record that describes its compression.
void addLazRecord(PointHeader &header);

// The chunks of a compressed point block, and a small cache of decoded ones.
class LazChunks {
public:
    // Reads the chunk table of the point block at dataOffset of a file held
    // in memory, for `count` points of `recordLength` bytes.
    bool open(const uint8_t *file, uint64_t size, uint64_t dataOffset, uint64_t count, uint16_t recordLength,
              const LazInfo &info, std::string &error);

    size_t chunkCount() const { return starts_.size(); }
    uint64_t firstPoint(size_t k) const { return firsts_[k]; }
    uint64_t pointCount(size_t k) const { return firsts_[k + 1] - firsts_[k]; }
    uint64_t totalPoints() const { return firsts_.empty() ? 0 : firsts_.back(); }
    size_t chunkOf(uint64_t index) const;
    uint16_t recordLength() const { return recordLength_; }
    const std::vector<Item> &items() const { return info_.items; }
    const LazInfo &info() const { return info_; }
    // Where the compressed data ends (the chunk table starts).
    uint64_t dataEnd() const { return tableStart_; }
    uint64_t chunkStart(size_t k) const { return starts_[k]; }

    // Decodes chunk k into out (pointCount(k) records). Thread-safe.
    bool decode(size_t k, ChunkDecoder &decoder, uint8_t *out, std::string &error) const;
    // A decoded chunk, from the cache or decoded now (null when damaged).
    std::shared_ptr<const std::vector<uint8_t>> cached(size_t k, std::string &error) const;
    // Drops the decoded chunks but the `keep` used last (a long scan does
    // now and then, a read by index when it is done).
    void releaseCache(size_t keep = 0) const;

private:
    const uint8_t *file_ = nullptr;
    uint64_t size_ = 0;
    uint16_t recordLength_ = 0;
    uint64_t tableStart_ = 0;
    LazInfo info_;
    std::vector<uint64_t> starts_, ends_;  // byte range of each chunk
    std::vector<uint64_t> firsts_;         // first point of each chunk, and the total

    mutable std::mutex cacheMutex_;
    mutable std::list<std::pair<size_t, std::shared_ptr<const std::vector<uint8_t>>>> cache_;
    mutable uint64_t cacheBytes_ = 0;
};

// Reads records of a compressed block by point index through its cache of
// decoded chunks (indices in rising order decode each chunk once).
class ChunkCursor {
public:
    explicit ChunkCursor(const LazChunks &c) : c_(c) {}
    // The record of point i, or null (with the reason) when its chunk is damaged.
    const uint8_t *record(uint64_t i, std::string &error)
    {
        if (!chunk_ || i < first_ || i >= first_ + count_) {
            const size_t k = c_.chunkOf(i);
            chunk_ = c_.cached(k, error);
            if (!chunk_)
                return nullptr;
            first_ = c_.firstPoint(k);
            count_ = c_.pointCount(k);
        }
        return chunk_->data() + (i - first_) * c_.recordLength();
    }

private:
    const LazChunks &c_;
    std::shared_ptr<const std::vector<uint8_t>> chunk_;
    uint64_t first_ = 0, count_ = 0;
};

// Encodes a point block: chunks of records go in, the compressed block (its
// chunk-table pointer, the chunks and the table) comes out.
class LazBlockWriter {
public:
    explicit LazBlockWriter(const LazInfo &info, uint16_t recordLength);
    // Encodes whole chunks of records (a multiple of the chunk size, except
    // for the last call), on two threads when there are several chunks.
    void addRecords(const uint8_t *records, uint64_t count, std::vector<uint8_t> &out);
    // The chunk table; blockStart is the file position of the block's first
    // byte (where the pointer to the table sits) and blockBytes the bytes
    // written so far. The table's position is patched into `pointer`.
    std::vector<uint8_t> finish(uint64_t blockStart, uint64_t blockBytes, uint8_t pointer[8]);
    // The 8 bytes that start a block (a placeholder for the table position).
    static std::vector<uint8_t> blockHeader() { return std::vector<uint8_t>(8, 0); }

    // Continues a block whose chunk table lies at tableStart: the chunks of
    // `existing` are kept.
    void resume(const LazChunks &existing, size_t keepChunks);

private:
    LazInfo info_;
    uint16_t recordLength_;
    std::vector<uint32_t> chunkPoints_, chunkBytes_;
};

}  // namespace laz
}  // namespace VerdantaIO
