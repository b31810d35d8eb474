#pragma once
// Plain records that cross every library call: one LAS point, a coordinate
// triple, the summary of a LAS public header block and the extent of one file.

#include <array>
#include <cstdint>
#include <string>
#include <type_traits>
#include <vector>

namespace VerdantaIO {

// One LAS point. Trivially copyable and copied as a whole; the fields the
// application does not interpret still carry every attribute of the record
// so that a point read and written again is unchanged.
struct PointCloud {
    double x = 0.0;  // easting, scaled and offset (real-world units)
    double y = 0.0;  // northing
    double z = 0.0;  // elevation, or height above ground after normalisation
    double gpsTime = 0.0;
    uint16_t intensity = 0;
    int16_t scanAngle = 0;  // in units of 0.006 degree (the LAS 1.4 unit)
    uint16_t returnNumber = 0;
    uint8_t classification = 0;  // full 8-bit class (legacy formats use 0..31)
    uint8_t numberOfReturns = 0;
    uint8_t flags = 0;  // see PointFlags
    uint8_t userData = 0;
    uint16_t red = 0;
    uint16_t green = 0;
    uint16_t blue = 0;
    uint16_t pointSourceId = 0;
    uint16_t nir = 0;
    uint32_t reserved = 0;  // carried unchanged, never written to a file

    double scanAngleDegrees() const { return scanAngle * 0.006; }
};
static_assert(std::is_trivially_copyable<PointCloud>::value, "PointCloud must be trivially copyable");

// Bits of PointCloud::flags.
namespace PointFlags {
constexpr uint8_t Synthetic = 0x01;
constexpr uint8_t KeyPoint = 0x02;
constexpr uint8_t Withheld = 0x04;
constexpr uint8_t Overlap = 0x08;          // formats 6 and above only
constexpr uint8_t ScannerChannelMask = 0x30;  // formats 6 and above only
constexpr int ScannerChannelShift = 4;
constexpr uint8_t ScanDirection = 0x40;
constexpr uint8_t EdgeOfFlightLine = 0x80;
}  // namespace PointFlags

struct XYZ {
    double x = 0.0;
    double y = 0.0;
    double z = 0.0;
};

// The 16-byte project GUID of a LAS header.
class guid {
public:
    guid() { bytes_.fill(0); }
    explicit guid(const std::array<uint8_t, 16> &bytes) : bytes_(bytes) {}
    const std::array<uint8_t, 16> &bytes() const { return bytes_; }
    bool is_null() const;
    // "xxxxxxxx-xxxx-xxxx-xxxx-xxxxxxxxxxxx"; the first three groups are
    // stored little-endian in the file, as LAS files store them.
    std::string to_string() const;
    bool operator==(const guid &o) const { return bytes_ == o.bytes_; }

private:
    std::array<uint8_t, 16> bytes_;
};

// The coordinate reference system of a LAS file, kept as WKT.
class SpatialReference {
public:
    SpatialReference() = default;
    explicit SpatialReference(std::string wkt) : wkt_(std::move(wkt)) {}
    const std::string &GetWKT() const { return wkt_; }
    void SetWKT(const std::string &wkt) { wkt_ = wkt; }
    bool empty() const { return wkt_.empty(); }

private:
    std::string wkt_;
};

// A variable-length record (or LAS 1.4 extended one) carried with the header.
struct VariableLengthRecord {
    std::string userId;  // up to 16 characters
    uint16_t recordId = 0;
    uint16_t reserved = 0;
    std::string description;  // up to 32 characters
    std::vector<uint8_t> data;
};

struct PointHeader {
    std::string fileSignature = "LASF";
    uint8_t versionMajor = 1;
    uint8_t versionMinor = 2;
    uint32_t sourceId = 0;   // file source ID
    uint16_t reserved = 0;   // global encoding bits (reserved in LAS 1.0/1.1)
    guid projectId;
    std::string systemId;
    std::string generatingSoftware;
    uint16_t creationDay = 0;
    uint16_t creationYear = 0;
    uint16_t headerSize = 227;
    uint32_t dataOffset = 227;
    uint32_t numberOfVLRs = 0;
    uint32_t headerPadding = 0;  // bytes between the last VLR and the point data
    uint8_t pointDataFormat = 0;
    uint16_t pointRecordLength = 20;
    uint64_t numberOfPointRecords = 0;  // 64-bit so that LAS 1.4 counts fit
    std::array<uint64_t, 15> numberOfPointsByReturn{};
    double scaleX = 0.01, scaleY = 0.01, scaleZ = 0.01;
    double offsetX = 0.0, offsetY = 0.0, offsetZ = 0.0;
    double minX = 0.0, minY = 0.0, minZ = 0.0;
    double maxX = 0.0, maxY = 0.0, maxZ = 0.0;
    SpatialReference spatialReference;
    // How a LAZ file (read like any LAS file) is compressed, such as
    // "LASzip 2.2, point-wise chunks"; empty for a plain LAS file.
    std::string compressionNote;
    bool compressed = false;

    // LAS 1.3/1.4 fields and the records that travel with the header.
    uint64_t waveformDataStart = 0;
    uint64_t evlrStart = 0;
    uint32_t numberOfEVLRs = 0;
    std::vector<VariableLengthRecord> vlrs;
    std::vector<VariableLengthRecord> evlrs;
    uint16_t extraBytesPerPoint = 0;  // bytes after the standard record (not kept)

    std::string versionString() const;
};

// The path of one LAS file and its bounds.
struct LASExtent {
    std::string path;
    double minX = 0.0, minY = 0.0, minZ = 0.0;
    double maxX = 0.0, maxY = 0.0;
    double maxZ = 0.0;
};

// Standard record length of a LAS point data format (0 for unknown formats).
uint16_t standardRecordLength(int pointDataFormat);

}  // namespace VerdantaIO
