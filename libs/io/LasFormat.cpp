#include "LasFormat.h"

#include "LazCodec.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace VerdantaIO {
namespace las {

namespace {

std::string fixedString(const uint8_t *p, size_t n)
{
    size_t len = 0;
    while (len < n && p[len] != 0)
        ++len;
    return std::string(reinterpret_cast<const char *>(p), len);
}

void putFixedString(uint8_t *p, const std::string &s, size_t n)
{
    std::memset(p, 0, n);
    std::memcpy(p, s.data(), std::min(n, s.size()));
}

bool finitePositiveScale(double s) { return std::isfinite(s) && s != 0.0; }

}  // namespace

uint16_t headerSizeForVersion(int minor)
{
    if (minor >= 4)
        return 375;
    if (minor == 3)
        return 235;
    return 227;
}

bool writableFormat(int format) { return (format >= 0 && format <= 3) || (format >= 6 && format <= 8); }

bool parseHeader(const uint8_t *d, uint64_t size, PointHeader &h, PointBlock &block,
                 std::string &error, bool withReference, std::vector<std::string> *warnings)
{
    h = PointHeader();
    block = PointBlock();
    auto warn = [warnings](const std::string &text) {
        if (warnings)
            warnings->push_back(text);
    };
    if (size < 4 || std::memcmp(d, "LASF", 4) != 0) {
        error = "Not a LAS file (the signature \"LASF\" is missing)";
        return false;
    }
    if (size < 227) {
        error = "The LAS header is truncated";
        return false;
    }
    h.fileSignature = "LASF";
    h.versionMajor = d[24];
    h.versionMinor = d[25];
    if (h.versionMajor != 1 || h.versionMinor > 4) {
        error = "Unsupported LAS version " + h.versionString();
        return false;
    }
    if (h.versionMinor == 0) {
        h.sourceId = 0;
        h.reserved = 0;
    } else {
        h.sourceId = load<uint16_t>(d + 4);
        h.reserved = load<uint16_t>(d + 6);
    }
    std::array<uint8_t, 16> g;
    std::memcpy(g.data(), d + 8, 16);
    h.projectId = guid(g);
    h.systemId = fixedString(d + 26, 32);
    h.generatingSoftware = fixedString(d + 58, 32);
    h.creationDay = load<uint16_t>(d + 90);
    h.creationYear = load<uint16_t>(d + 92);
    h.headerSize = load<uint16_t>(d + 94);
    h.dataOffset = load<uint32_t>(d + 96);
    h.numberOfVLRs = load<uint32_t>(d + 100);
    const uint8_t rawFormat = d[104];
    h.pointRecordLength = load<uint16_t>(d + 105);
    const uint32_t legacyCount = load<uint32_t>(d + 107);
    for (int i = 0; i < 5; ++i)
        h.numberOfPointsByReturn[i] = load<uint32_t>(d + 111 + 4 * i);
    h.scaleX = load<double>(d + 131);
    h.scaleY = load<double>(d + 139);
    h.scaleZ = load<double>(d + 147);
    h.offsetX = load<double>(d + 155);
    h.offsetY = load<double>(d + 163);
    h.offsetZ = load<double>(d + 171);
    h.maxX = load<double>(d + 179);
    h.minX = load<double>(d + 187);
    h.maxY = load<double>(d + 195);
    h.minY = load<double>(d + 203);
    h.maxZ = load<double>(d + 211);
    h.minZ = load<double>(d + 219);

    if (h.headerSize < 227 || h.headerSize > size) {
        error = "The LAS header size is invalid or the header is truncated";
        return false;
    }
    // LAZ files mark the point data format with its top bit (some writers
    // with the one below it as well).
    h.compressed = (rawFormat & 0xC0) != 0;
    h.pointDataFormat = rawFormat & 0x3F;
    const uint16_t standard = standardRecordLength(h.pointDataFormat);
    if (standard == 0) {
        error = "Unknown point data format " + std::to_string(h.pointDataFormat);
        return false;
    }
    if (h.pointRecordLength < standard) {
        error = "The point record length is shorter than its point data format requires";
        return false;
    }
    h.extraBytesPerPoint = static_cast<uint16_t>(h.pointRecordLength - standard);
    if (!finitePositiveScale(h.scaleX) || !finitePositiveScale(h.scaleY) ||
        !finitePositiveScale(h.scaleZ) || !std::isfinite(h.offsetX) ||
        !std::isfinite(h.offsetY) || !std::isfinite(h.offsetZ)) {
        error = "The LAS header has a zero or invalid scale factor or offset";
        return false;
    }
    if (h.dataOffset < h.headerSize || h.dataOffset > size) {
        error = "The offset to the point data is invalid";
        return false;
    }

    uint64_t count = legacyCount;
    if (h.versionMinor >= 3 && h.headerSize >= 235)
        h.waveformDataStart = load<uint64_t>(d + 227);
    if (h.versionMinor >= 4 && h.headerSize >= 375) {
        h.evlrStart = load<uint64_t>(d + 235);
        h.numberOfEVLRs = load<uint32_t>(d + 243);
        const uint64_t count64 = load<uint64_t>(d + 247);
        if (count64 != 0 || legacyCount == 0)
            count = count64;
        bool any64 = false;
        std::array<uint64_t, 15> byReturn{};
        for (int i = 0; i < 15; ++i) {
            byReturn[i] = load<uint64_t>(d + 255 + 8 * i);
            any64 = any64 || byReturn[i] != 0;
        }
        if (any64 || count64 != 0)
            h.numberOfPointsByReturn = byReturn;
    }
    h.numberOfPointRecords = count;

    // Variable-length records between the header and the point data. A count
    // that overruns the point data keeps the records that fit whole.
    uint64_t pos = h.headerSize;
    const uint32_t declaredVlrs = h.numberOfVLRs;
    for (uint32_t i = 0; i < declaredVlrs; ++i) {
        if (pos + kVlrHeaderSize > h.dataOffset)
            break;
        const uint16_t length = load<uint16_t>(d + pos + 20);
        if (pos + kVlrHeaderSize + length > h.dataOffset)
            break;
        VariableLengthRecord vlr;
        vlr.reserved = load<uint16_t>(d + pos);
        vlr.userId = fixedString(d + pos + 2, 16);
        vlr.recordId = load<uint16_t>(d + pos + 18);
        vlr.description = fixedString(d + pos + 22, 32);
        pos += kVlrHeaderSize;
        vlr.data.assign(d + pos, d + pos + length);
        pos += length;
        h.vlrs.push_back(std::move(vlr));
    }
    if (h.vlrs.size() < declaredVlrs) {
        warn("only " + std::to_string(h.vlrs.size()) + " of " + std::to_string(declaredVlrs) +
             " declared variable-length records fit before the point data");
        h.numberOfVLRs = static_cast<uint32_t>(h.vlrs.size());
    }
    h.headerPadding = static_cast<uint32_t>(h.dataOffset - pos);

    std::shared_ptr<laz::LazChunks> chunks;
    if (h.compressed) {
        const auto record = std::find_if(h.vlrs.begin(), h.vlrs.end(), laz::isLazRecord);
        if (record == h.vlrs.end()) {
            error = "The LAS file is marked as compressed (LAZ) but has no LASzip record";
            return false;
        }
        laz::LazInfo info;
        std::string why;
        if (!laz::parseInfo(record->data, info, error))
            return false;
        if (!laz::supportedItems(info.items, h.pointDataFormat, h.pointRecordLength, why)) {
            error = "The LAZ file cannot be read: " + why;
            return false;
        }
        h.vlrs.erase(record);
        h.numberOfVLRs = static_cast<uint32_t>(h.vlrs.size());
        h.compressionNote = "LASzip " + std::to_string(info.versionMajor) + "." + std::to_string(info.versionMinor) +
                            (info.compressor == 3 ? ", layered chunks" : ", point-wise chunks");
        chunks = std::make_shared<laz::LazChunks>();
        if (!chunks->open(d, size, h.dataOffset, count, h.pointRecordLength, info, error))
            return false;
    }

    // Where the point records end: at the first EVLR or waveform block that
    // follows them, else at the end of the file.
    uint64_t pointEnd = size;
    if (h.evlrStart > h.dataOffset && h.evlrStart <= size && h.numberOfEVLRs > 0)
        pointEnd = std::min(pointEnd, h.evlrStart);
    if (h.waveformDataStart > h.dataOffset && h.waveformDataStart <= size &&
        (h.reserved & kGlobalEncodingWaveformInternal))
        pointEnd = std::min(pointEnd, h.waveformDataStart);
    const uint64_t available = chunks ? count : (pointEnd - h.dataOffset) / h.pointRecordLength;
    if (count > available) {
        // A point block cut short: the whole records present are read.
        if (available == 0) {
            error = "The header declares " + std::to_string(count) +
                    " points but the file holds no whole point record";
            return false;
        }
        warn(std::to_string(available) + " of " + std::to_string(count) + " declared points present; " +
             (pointEnd == size ? "the file is truncated"
                               : "the rest would overlap the data that follows the points"));
        count = available;
        h.numberOfPointRecords = count;
    } else if (count == 0 && available > 0 && pointEnd == size && h.numberOfEVLRs == 0) {
        warn("the header declares no points, but " + std::to_string(available) +
             " whole point records follow it; they are not read");
    }

    // LAS 1.4 extended variable-length records after the point data; those
    // that a cut-short file no longer holds whole are left out.
    const uint64_t pointsEnd = chunks ? chunks->dataEnd() : h.dataOffset + count * h.pointRecordLength;
    if (h.numberOfEVLRs > 0 && h.evlrStart >= pointsEnd) {
        uint64_t epos = h.evlrStart;
        for (uint32_t i = 0; i < h.numberOfEVLRs; ++i) {
            if (epos > size || size - epos < kEvlrHeaderSize)
                break;
            const uint64_t length = load<uint64_t>(d + epos + 20);
            if (length > size - epos - kEvlrHeaderSize)
                break;
            VariableLengthRecord vlr;
            vlr.reserved = load<uint16_t>(d + epos);
            vlr.userId = fixedString(d + epos + 2, 16);
            vlr.recordId = load<uint16_t>(d + epos + 18);
            vlr.description = fixedString(d + epos + 28, 32);
            epos += kEvlrHeaderSize;
            vlr.data.assign(d + epos, d + epos + length);
            epos += length;
            h.evlrs.push_back(std::move(vlr));
        }
        if (h.evlrs.size() < h.numberOfEVLRs) {
            warn("only " + std::to_string(h.evlrs.size()) + " of " + std::to_string(h.numberOfEVLRs) +
                 " declared extended variable-length records are present");
            h.numberOfEVLRs = static_cast<uint32_t>(h.evlrs.size());
        }
    }

    block.offset = h.dataOffset;
    block.count = count;
    block.recordLength = h.pointRecordLength;
    block.format = h.pointDataFormat;
    block.laz = chunks;
    if (withReference)
        h.spatialReference = referenceFromRecords(h);
    return true;
}

std::vector<uint8_t> serializeHeader(PointHeader &h)
{
    const uint16_t headerSize = headerSizeForVersion(h.versionMinor);
    h.headerSize = headerSize;
    uint64_t vlrBytes = 0;
    for (const auto &v : h.vlrs)
        vlrBytes += kVlrHeaderSize + v.data.size();
    h.numberOfVLRs = static_cast<uint32_t>(h.vlrs.size());
    h.headerPadding = 0;
    h.dataOffset = static_cast<uint32_t>(headerSize + vlrBytes);

    std::vector<uint8_t> out(h.dataOffset, 0);
    uint8_t *d = out.data();
    std::memcpy(d, "LASF", 4);
    if (h.versionMinor == 0) {
        store<uint32_t>(d + 4, 0);
    } else {
        store<uint16_t>(d + 4, static_cast<uint16_t>(h.sourceId));
        store<uint16_t>(d + 6, h.reserved);
    }
    std::memcpy(d + 8, h.projectId.bytes().data(), 16);
    d[24] = h.versionMajor;
    d[25] = h.versionMinor;
    putFixedString(d + 26, h.systemId, 32);
    putFixedString(d + 58, h.generatingSoftware, 32);
    store<uint16_t>(d + 90, h.creationDay);
    store<uint16_t>(d + 92, h.creationYear);
    store<uint16_t>(d + 94, headerSize);
    store<uint32_t>(d + 96, h.dataOffset);
    store<uint32_t>(d + 100, h.numberOfVLRs);
    d[104] = static_cast<uint8_t>(h.pointDataFormat | (h.compressed ? 0x80 : 0));
    store<uint16_t>(d + 105, h.pointRecordLength);
    const bool legacyFits = h.numberOfPointRecords <= std::numeric_limits<uint32_t>::max() &&
                            h.pointDataFormat < 6;
    store<uint32_t>(d + 107, legacyFits ? static_cast<uint32_t>(h.numberOfPointRecords) : 0u);
    for (int i = 0; i < 5; ++i) {
        const uint64_t n = h.numberOfPointsByReturn[i];
        store<uint32_t>(d + 111 + 4 * i, legacyFits && n <= 0xFFFFFFFFull ? static_cast<uint32_t>(n) : 0u);
    }
    store<double>(d + 131, h.scaleX);
    store<double>(d + 139, h.scaleY);
    store<double>(d + 147, h.scaleZ);
    store<double>(d + 155, h.offsetX);
    store<double>(d + 163, h.offsetY);
    store<double>(d + 171, h.offsetZ);
    store<double>(d + 179, h.maxX);
    store<double>(d + 187, h.minX);
    store<double>(d + 195, h.maxY);
    store<double>(d + 203, h.minY);
    store<double>(d + 211, h.maxZ);
    store<double>(d + 219, h.minZ);
    if (headerSize >= 235)
        store<uint64_t>(d + 227, h.waveformDataStart);
    if (headerSize >= 375) {
        store<uint64_t>(d + 235, h.evlrStart);
        store<uint32_t>(d + 243, h.numberOfEVLRs);
        store<uint64_t>(d + 247, h.numberOfPointRecords);
        for (int i = 0; i < 15; ++i)
            store<uint64_t>(d + 255 + 8 * i, h.numberOfPointsByReturn[i]);
    }
    uint64_t pos = headerSize;
    for (const auto &v : h.vlrs) {
        store<uint16_t>(d + pos, v.reserved);
        putFixedString(d + pos + 2, v.userId, 16);
        store<uint16_t>(d + pos + 18, v.recordId);
        store<uint16_t>(d + pos + 20, static_cast<uint16_t>(v.data.size()));
        putFixedString(d + pos + 22, v.description, 32);
        pos += kVlrHeaderSize;
        if (!v.data.empty())
            std::memcpy(d + pos, v.data.data(), v.data.size());
        pos += v.data.size();
    }
    return out;
}

std::vector<uint8_t> serializeEvlrs(const std::vector<VariableLengthRecord> &evlrs)
{
    std::vector<uint8_t> out;
    for (const auto &v : evlrs) {
        const size_t at = out.size();
        out.resize(at + kEvlrHeaderSize + v.data.size(), 0);
        uint8_t *d = out.data() + at;
        store<uint16_t>(d, v.reserved);
        putFixedString(d + 2, v.userId, 16);
        store<uint16_t>(d + 18, v.recordId);
        store<uint64_t>(d + 20, v.data.size());
        putFixedString(d + 28, v.description, 32);
        if (!v.data.empty())
            std::memcpy(d + kEvlrHeaderSize, v.data.data(), v.data.size());
    }
    return out;
}

// ---- point codecs ---------------------------------------------------------

namespace {

// Scan angle rank (whole degrees, legacy formats) <-> 0.006 degree units.
inline int16_t rankToAngle(int8_t rank) { return static_cast<int16_t>(std::lround(rank / 0.006)); }
inline int8_t angleToRank(int16_t angle)
{
    const long r = std::lround(angle * 0.006);
    return static_cast<int8_t>(std::max(-128L, std::min(127L, r)));
}

template <int F>
inline void decodeOne(const uint8_t *s, const PointHeader &h, PointCloud &p)
{
    p.x = load<int32_t>(s) * h.scaleX + h.offsetX;
    p.y = load<int32_t>(s + 4) * h.scaleY + h.offsetY;
    p.z = load<int32_t>(s + 8) * h.scaleZ + h.offsetZ;
    p.intensity = load<uint16_t>(s + 12);
    if constexpr (F < 6) {
        const uint8_t bits = s[14];
        p.returnNumber = bits & 0x07;
        p.numberOfReturns = (bits >> 3) & 0x07;
        const uint8_t cls = s[15];
        p.classification = cls & 0x1F;
        p.flags = static_cast<uint8_t>((cls >> 5) & 0x07);  // synthetic, key-point, withheld
        if (bits & 0x40)
            p.flags |= PointFlags::ScanDirection;
        if (bits & 0x80)
            p.flags |= PointFlags::EdgeOfFlightLine;
        p.scanAngle = rankToAngle(static_cast<int8_t>(s[16]));
        p.userData = s[17];
        p.pointSourceId = load<uint16_t>(s + 18);
        p.gpsTime = 0.0;
        p.red = p.green = p.blue = p.nir = 0;
        if constexpr (F == 1 || F == 3 || F == 4 || F == 5)
            p.gpsTime = load<double>(s + 20);
        if constexpr (F == 2) {
            p.red = load<uint16_t>(s + 20);
            p.green = load<uint16_t>(s + 22);
            p.blue = load<uint16_t>(s + 24);
        }
        if constexpr (F == 3 || F == 5) {
            p.red = load<uint16_t>(s + 28);
            p.green = load<uint16_t>(s + 30);
            p.blue = load<uint16_t>(s + 32);
        }
    } else {
        const uint8_t bits = s[14];
        p.returnNumber = bits & 0x0F;
        p.numberOfReturns = (bits >> 4) & 0x0F;
        p.flags = s[15];  // class flags, scanner channel, scan direction, edge: same bit layout
        p.classification = s[16];
        p.userData = s[17];
        p.scanAngle = load<int16_t>(s + 18);
        p.pointSourceId = load<uint16_t>(s + 20);
        p.gpsTime = load<double>(s + 22);
        p.red = p.green = p.blue = p.nir = 0;
        if constexpr (F == 7 || F == 8 || F == 10) {
            p.red = load<uint16_t>(s + 30);
            p.green = load<uint16_t>(s + 32);
            p.blue = load<uint16_t>(s + 34);
        }
        if constexpr (F == 8 || F == 10)
            p.nir = load<uint16_t>(s + 36);
    }
    p.reserved = 0;
}

template <int F>
void decodeMany(const uint8_t *src, uint64_t count, uint16_t stride, const PointHeader &h,
                PointCloud *dst)
{
    for (uint64_t i = 0; i < count; ++i, src += stride)
        decodeOne<F>(src, h, dst[i]);
}

}  // namespace

void decodePoints(const uint8_t *src, uint64_t count, const PointBlock &block,
                  const PointHeader &h, PointCloud *dst)
{
    const uint16_t stride = block.recordLength;
    switch (block.format) {
    case 0: decodeMany<0>(src, count, stride, h, dst); break;
    case 1: decodeMany<1>(src, count, stride, h, dst); break;
    case 2: decodeMany<2>(src, count, stride, h, dst); break;
    case 3: decodeMany<3>(src, count, stride, h, dst); break;
    case 4: decodeMany<4>(src, count, stride, h, dst); break;
    case 5: decodeMany<5>(src, count, stride, h, dst); break;
    case 6: decodeMany<6>(src, count, stride, h, dst); break;
    case 7: decodeMany<7>(src, count, stride, h, dst); break;
    case 8: decodeMany<8>(src, count, stride, h, dst); break;
    case 9: decodeMany<9>(src, count, stride, h, dst); break;
    case 10: decodeMany<10>(src, count, stride, h, dst); break;
    default: break;
    }
}

void decodePoint(const uint8_t *src, int format, const PointHeader &h, PointCloud &p)
{
    PointBlock b;
    b.format = format;
    b.recordLength = h.pointRecordLength;
    decodePoints(src, 1, b, h, &p);
}

bool quantize(double value, double scale, double offset, int32_t &out)
{
    const double q = std::round((value - offset) / scale);
    if (!(q >= -2147483648.0 && q <= 2147483647.0))
        return false;
    out = static_cast<int32_t>(q);
    return true;
}

bool encodePoint(const PointCloud &p, const PointHeader &h, uint8_t *d)
{
    int32_t X, Y, Z;
    if (!quantize(p.x, h.scaleX, h.offsetX, X) || !quantize(p.y, h.scaleY, h.offsetY, Y) ||
        !quantize(p.z, h.scaleZ, h.offsetZ, Z))
        return false;
    const int f = h.pointDataFormat;
    std::memset(d, 0, h.pointRecordLength);
    store<int32_t>(d, X);
    store<int32_t>(d + 4, Y);
    store<int32_t>(d + 8, Z);
    store<uint16_t>(d + 12, p.intensity);
    if (f < 6) {
        uint8_t bits = static_cast<uint8_t>((p.returnNumber & 0x07) | ((p.numberOfReturns & 0x07) << 3));
        if (p.flags & PointFlags::ScanDirection)
            bits |= 0x40;
        if (p.flags & PointFlags::EdgeOfFlightLine)
            bits |= 0x80;
        d[14] = bits;
        d[15] = static_cast<uint8_t>((p.classification & 0x1F) | ((p.flags & 0x07) << 5));
        d[16] = static_cast<uint8_t>(angleToRank(p.scanAngle));
        d[17] = p.userData;
        store<uint16_t>(d + 18, p.pointSourceId);
        if (f == 1 || f == 3)
            store<double>(d + 20, p.gpsTime);
        if (f == 2) {
            store<uint16_t>(d + 20, p.red);
            store<uint16_t>(d + 22, p.green);
            store<uint16_t>(d + 24, p.blue);
        }
        if (f == 3) {
            store<uint16_t>(d + 28, p.red);
            store<uint16_t>(d + 30, p.green);
            store<uint16_t>(d + 32, p.blue);
        }
    } else {
        d[14] = static_cast<uint8_t>((p.returnNumber & 0x0F) | ((p.numberOfReturns & 0x0F) << 4));
        d[15] = p.flags;
        d[16] = p.classification;
        d[17] = p.userData;
        store<int16_t>(d + 18, p.scanAngle);
        store<uint16_t>(d + 20, p.pointSourceId);
        store<double>(d + 22, p.gpsTime);
        if (f == 7 || f == 8) {
            store<uint16_t>(d + 30, p.red);
            store<uint16_t>(d + 32, p.green);
            store<uint16_t>(d + 34, p.blue);
        }
        if (f == 8)
            store<uint16_t>(d + 36, p.nir);
    }
    return true;
}

}  // namespace las
}  // namespace VerdantaIO
