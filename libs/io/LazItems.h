#pragma once
// The LAZ item compressors and the coding of one chunk of point records.
// Internal to the IO library.
//
// A chunk starts with its first record stored raw. Point formats 0 to 5 are
// then coded point by point into one arithmetic stream (POINT10, GPSTIME11,
// RGB12 and BYTE items, version 2). Formats 6 to 10 are coded in layers
// (POINT14, RGB14, RGBNIR14 and BYTE14 items, version 3): after the raw
// record come the number of records, the byte size of every layer and the
// layers themselves, one arithmetic stream per group of fields, so that a
// field that never changes within the chunk costs nothing.

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace VerdantaIO {
namespace laz {

enum ItemType : uint16_t {
    kByte = 0,
    kPoint10 = 6,
    kGpsTime11 = 7,
    kRgb12 = 8,
    kWavePacket13 = 9,
    kPoint14 = 10,
    kRgb14 = 11,
    kRgbNir14 = 12,
    kWavePacket14 = 13,
    kByte14 = 14,
};

struct Item {
    uint16_t type = 0, size = 0, version = 0;
};

// The items that code a record of a point format with extra bytes, in the
// layout of the record: version 2 items for formats 0-3, version 3 layered
// items for formats 6-8.
std::vector<Item> itemsFor(int format, uint16_t extraBytes);

// Whether the items describe records of the format and length that this
// codec can decode; the reason when not.
bool supportedItems(const std::vector<Item> &items, int format, uint16_t recordLength, std::string &why);

// Whether the items are coded in layers (version 3).
bool layeredItems(const std::vector<Item> &items);

class ChunkDecoder {
public:
    explicit ChunkDecoder(const std::vector<Item> &items);
    ~ChunkDecoder();
    // Decodes the `count` records of the chunk held in [data, data + size)
    // into out (count records of the items' total length). False, with the
    // reason, when the chunk is cut short or damaged.
    bool decode(const uint8_t *data, uint64_t size, uint64_t count, uint8_t *out, std::string &error);

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

class ChunkEncoder {
public:
    explicit ChunkEncoder(const std::vector<Item> &items);
    ~ChunkEncoder();
    // Codes `count` records (count >= 1) as one chunk appended to out.
    void encode(const uint8_t *records, uint64_t count, std::vector<uint8_t> &out);

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace laz
}  // namespace VerdantaIO
