#pragma once
// The LAS 1.0-1.4 byte layout: header parsing and writing, and the point
// record codecs. Internal to the IO library.

#include "PointRecords.h"

#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

namespace VerdantaIO {
namespace laz {
class LazChunks;
}
namespace las {

// Little-endian loads and stores at unaligned addresses.
template <typename T> inline T load(const uint8_t *p)
{
    T v;
    std::memcpy(&v, p, sizeof v);
    return v;
}
template <typename T> inline void store(uint8_t *p, T v) { std::memcpy(p, &v, sizeof v); }

constexpr uint16_t kVlrHeaderSize = 54;
constexpr uint16_t kEvlrHeaderSize = 60;
constexpr uint16_t kGlobalEncodingWaveformInternal = 0x02;
constexpr uint16_t kGlobalEncodingWaveformExternal = 0x04;
constexpr uint16_t kGlobalEncodingWkt = 0x10;

// Where the point records of a parsed file lie.
struct PointBlock {
    uint64_t offset = 0;  // first byte of the first record
    uint64_t count = 0;   // records in the file
    uint16_t recordLength = 0;
    int format = 0;
    // The chunks of a compressed (LAZ) point block; null for plain records.
    // They point into the memory the header was parsed from.
    std::shared_ptr<const laz::LazChunks> laz;
};

// Parses the public header, the VLRs and (LAS 1.4) the EVLRs of a file held
// in memory. With withReference the spatial reference is built from the
// GeoTIFF keys or WKT record (slow: it consults the PROJ database).
//
// A LAZ file (point data format with its compression bit) is parsed the
// same way; its LASzip record is taken out of the header's records and its
// chunk table read into block.laz.
//
// A damaged file is read as far as it is sound: VLRs are read up to the
// point data (those that fit whole are kept), and a point block cut short
// yields the whole records present; header.numberOfPointRecords and
// block.count then hold what is present, and `warnings` (when given) says
// what was declared and what was found. A file with nothing to recover
// (no whole record where the header declares points) is refused.
bool parseHeader(const uint8_t *data, uint64_t size, PointHeader &header, PointBlock &block,
                 std::string &error, bool withReference, std::vector<std::string> *warnings = nullptr);

// The header size that a version writes.
uint16_t headerSizeForVersion(int minor);

// Serialises the public header and VLRs for writing; dataOffset and the
// number of VLRs are set from what is written.
std::vector<uint8_t> serializeHeader(PointHeader &header);
std::vector<uint8_t> serializeEvlrs(const std::vector<VariableLengthRecord> &evlrs);

// Whether the writer supports a point data format (0-3 and 6-8).
bool writableFormat(int format);

// Decodes count records starting at src into dst.
void decodePoints(const uint8_t *src, uint64_t count, const PointBlock &block,
                  const PointHeader &header, PointCloud *dst);
// Decodes one record.
void decodePoint(const uint8_t *src, int format, const PointHeader &header, PointCloud &dst);

// Encodes one point as a record of the header's format and record length;
// false when a coordinate does not fit the header's scale and offset.
bool encodePoint(const PointCloud &p, const PointHeader &header, uint8_t *dst);

// Quantises a coordinate; false when it overflows 32 bits.
bool quantize(double value, double scale, double offset, int32_t &out);

// Builds the spatial reference of a header from its records (GeoTIFF keys
// or the WKT record).
SpatialReference referenceFromRecords(const PointHeader &header);

}  // namespace las
}  // namespace VerdantaIO
