#pragma once
// An independent, byte-level LAS builder and reader for tests: it packs and
// unpacks headers and point records field by field from the published
// layout, sharing no code with the IO library.

#include <cstdint>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

namespace lasbytes {

struct Vlr {
    std::string userId;
    uint16_t recordId = 0;
    std::string description;
    std::vector<uint8_t> data;
};

// Raw values of one point, as stored in the record.
struct RawPoint {
    int32_t X = 0, Y = 0, Z = 0;
    uint16_t intensity = 0;
    uint8_t returnNumber = 1, numberOfReturns = 1;
    bool scanDirection = false, edge = false;
    uint8_t classification = 0;
    bool synthetic = false, keyPoint = false, withheld = false, overlap = false;
    uint8_t scannerChannel = 0;
    int16_t scanAngle = 0;  // rank in degrees for formats 0-5, 0.006 degree units for 6-10
    uint8_t userData = 0;
    uint16_t pointSourceId = 0;
    double gpsTime = 0.0;
    uint16_t red = 0, green = 0, blue = 0, nir = 0;
    uint8_t wave[29] = {};
};

struct File {
    uint8_t versionMinor = 2;
    uint8_t format = 0;
    uint16_t recordLength = 0;  // 0: the standard length
    uint16_t sourceId = 0, globalEncoding = 0;
    uint8_t guid[16] = {};
    std::string systemId = "TEST", software = "lasbytes";
    uint16_t day = 1, year = 2020;
    double scale[3] = {0.01, 0.01, 0.01};
    double offset[3] = {0, 0, 0};
    double minv[3] = {0, 0, 0}, maxv[3] = {0, 0, 0};
    std::vector<Vlr> vlrs;
    std::vector<Vlr> evlrs;
    std::vector<RawPoint> points;
    uint32_t padding = 0;  // bytes between VLRs and points
    int64_t countOverride = -1;
};

inline uint16_t standardLength(int f)
{
    static const uint16_t l[] = {20, 28, 26, 34, 57, 63, 30, 36, 38, 59, 67};
    return l[f];
}

template <typename T> void put(std::vector<uint8_t> &b, size_t at, T v)
{
    if (b.size() < at + sizeof v)
        b.resize(at + sizeof v);
    std::memcpy(b.data() + at, &v, sizeof v);
}
template <typename T> T get(const std::vector<uint8_t> &b, size_t at)
{
    T v{};
    if (at + sizeof v <= b.size())
        std::memcpy(&v, b.data() + at, sizeof v);
    return v;
}
inline void putString(std::vector<uint8_t> &b, size_t at, const std::string &s, size_t n)
{
    if (b.size() < at + n)
        b.resize(at + n);
    for (size_t i = 0; i < n; ++i)
        b[at + i] = i < s.size() ? static_cast<uint8_t>(s[i]) : 0;
}

inline std::vector<uint8_t> record(const File &f, const RawPoint &p)
{
    const uint16_t len = f.recordLength ? f.recordLength : standardLength(f.format);
    std::vector<uint8_t> r(len, 0);
    put<int32_t>(r, 0, p.X);
    put<int32_t>(r, 4, p.Y);
    put<int32_t>(r, 8, p.Z);
    put<uint16_t>(r, 12, p.intensity);
    const int F = f.format;
    if (F < 6) {
        r[14] = static_cast<uint8_t>((p.returnNumber & 7) | ((p.numberOfReturns & 7) << 3) |
                                     (p.scanDirection ? 0x40 : 0) | (p.edge ? 0x80 : 0));
        r[15] = static_cast<uint8_t>((p.classification & 31) | (p.synthetic ? 0x20 : 0) |
                                     (p.keyPoint ? 0x40 : 0) | (p.withheld ? 0x80 : 0));
        r[16] = static_cast<uint8_t>(static_cast<int8_t>(p.scanAngle));
        r[17] = p.userData;
        put<uint16_t>(r, 18, p.pointSourceId);
        size_t at = 20;
        if (F == 1 || F == 3 || F == 4 || F == 5) {
            put<double>(r, at, p.gpsTime);
            at += 8;
        }
        if (F == 2 || F == 3 || F == 5) {
            put<uint16_t>(r, at, p.red);
            put<uint16_t>(r, at + 2, p.green);
            put<uint16_t>(r, at + 4, p.blue);
            at += 6;
        }
        if (F == 4 || F == 5)
            std::memcpy(r.data() + at, p.wave, 29);
    } else {
        r[14] = static_cast<uint8_t>((p.returnNumber & 15) | ((p.numberOfReturns & 15) << 4));
        r[15] = static_cast<uint8_t>((p.synthetic ? 1 : 0) | (p.keyPoint ? 2 : 0) | (p.withheld ? 4 : 0) |
                                     (p.overlap ? 8 : 0) | ((p.scannerChannel & 3) << 4) |
                                     (p.scanDirection ? 0x40 : 0) | (p.edge ? 0x80 : 0));
        r[16] = p.classification;
        r[17] = p.userData;
        put<int16_t>(r, 18, p.scanAngle);
        put<uint16_t>(r, 20, p.pointSourceId);
        put<double>(r, 22, p.gpsTime);
        size_t at = 30;
        if (F == 7 || F == 8 || F == 10) {
            put<uint16_t>(r, at, p.red);
            put<uint16_t>(r, at + 2, p.green);
            put<uint16_t>(r, at + 4, p.blue);
            at += 6;
        }
        if (F == 8 || F == 10) {
            put<uint16_t>(r, at, p.nir);
            at += 2;
        }
        if (F == 9 || F == 10)
            std::memcpy(r.data() + at, p.wave, 29);
    }
    r.resize(len);
    return r;
}

inline std::vector<uint8_t> build(const File &f)
{
    const uint16_t hs = f.versionMinor >= 4 ? 375 : f.versionMinor == 3 ? 235 : 227;
    const uint16_t len = f.recordLength ? f.recordLength : standardLength(f.format);
    std::vector<uint8_t> b(hs, 0);
    std::memcpy(b.data(), "LASF", 4);
    put<uint16_t>(b, 4, f.sourceId);
    put<uint16_t>(b, 6, f.globalEncoding);
    std::memcpy(b.data() + 8, f.guid, 16);
    b[24] = 1;
    b[25] = f.versionMinor;
    putString(b, 26, f.systemId, 32);
    putString(b, 58, f.software, 32);
    put<uint16_t>(b, 90, f.day);
    put<uint16_t>(b, 92, f.year);
    put<uint16_t>(b, 94, hs);
    size_t vlrBytes = 0;
    for (const auto &v : f.vlrs)
        vlrBytes += 54 + v.data.size();
    const uint32_t dataOffset = static_cast<uint32_t>(hs + vlrBytes + f.padding);
    put<uint32_t>(b, 96, dataOffset);
    put<uint32_t>(b, 100, static_cast<uint32_t>(f.vlrs.size()));
    b[104] = f.format;
    put<uint16_t>(b, 105, len);
    const uint64_t count = f.countOverride >= 0 ? static_cast<uint64_t>(f.countOverride) : f.points.size();
    uint64_t byReturn[15] = {};
    for (const auto &p : f.points)
        if (p.returnNumber >= 1 && p.returnNumber <= 15)
            ++byReturn[p.returnNumber - 1];
    if (f.format < 6) {
        put<uint32_t>(b, 107, static_cast<uint32_t>(count));
        for (int i = 0; i < 5; ++i)
            put<uint32_t>(b, 111 + 4 * i, static_cast<uint32_t>(byReturn[i]));
    }
    for (int i = 0; i < 3; ++i) {
        put<double>(b, 131 + 8 * i, f.scale[i]);
        put<double>(b, 155 + 8 * i, f.offset[i]);
        put<double>(b, 179 + 16 * i, f.maxv[i]);
        put<double>(b, 187 + 16 * i, f.minv[i]);
    }
    size_t pointEnd = dataOffset + f.points.size() * len;
    if (hs >= 375) {
        put<uint64_t>(b, 235, f.evlrs.empty() ? 0 : pointEnd);
        put<uint32_t>(b, 243, static_cast<uint32_t>(f.evlrs.size()));
        put<uint64_t>(b, 247, count);
        for (int i = 0; i < 15; ++i)
            put<uint64_t>(b, 255 + 8 * i, byReturn[i]);
    }
    size_t at = hs;
    for (const auto &v : f.vlrs) {
        put<uint16_t>(b, at, 0);
        putString(b, at + 2, v.userId, 16);
        put<uint16_t>(b, at + 18, v.recordId);
        put<uint16_t>(b, at + 20, static_cast<uint16_t>(v.data.size()));
        putString(b, at + 22, v.description, 32);
        b.insert(b.end(), v.data.begin(), v.data.end());
        at += 54 + v.data.size();
    }
    b.resize(dataOffset, 0);
    for (const auto &p : f.points) {
        const auto r = record(f, p);
        b.insert(b.end(), r.begin(), r.end());
    }
    for (const auto &v : f.evlrs) {
        const size_t e = b.size();
        b.resize(e + 60, 0);
        putString(b, e + 2, v.userId, 16);
        put<uint16_t>(b, e + 18, v.recordId);
        put<uint64_t>(b, e + 20, v.data.size());
        putString(b, e + 28, v.description, 32);
        b.insert(b.end(), v.data.begin(), v.data.end());
    }
    return b;
}

inline void save(const std::string &path, const std::vector<uint8_t> &bytes)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char *>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

inline std::vector<uint8_t> slurp(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    return std::vector<uint8_t>((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

// The header fields a test checks in a written file.
struct Header {
    uint8_t versionMinor = 0, format = 0;
    uint16_t headerSize = 0, recordLength = 0;
    uint32_t dataOffset = 0, vlrCount = 0, legacyCount = 0;
    uint32_t legacyByReturn[5] = {};
    uint64_t count = 0;  // 64-bit count for 1.4, else legacy
    double scale[3] = {}, offset[3] = {}, minv[3] = {}, maxv[3] = {};
};

inline Header parse(const std::vector<uint8_t> &b)
{
    Header h;
    h.versionMinor = b.size() > 25 ? b[25] : 0;
    h.headerSize = get<uint16_t>(b, 94);
    h.dataOffset = get<uint32_t>(b, 96);
    h.vlrCount = get<uint32_t>(b, 100);
    h.format = b.size() > 104 ? b[104] : 0;
    h.recordLength = get<uint16_t>(b, 105);
    h.legacyCount = get<uint32_t>(b, 107);
    for (int i = 0; i < 5; ++i)
        h.legacyByReturn[i] = get<uint32_t>(b, 111 + 4 * i);
    for (int i = 0; i < 3; ++i) {
        h.scale[i] = get<double>(b, 131 + 8 * i);
        h.offset[i] = get<double>(b, 155 + 8 * i);
        h.maxv[i] = get<double>(b, 179 + 16 * i);
        h.minv[i] = get<double>(b, 187 + 16 * i);
    }
    h.count = h.versionMinor >= 4 ? get<uint64_t>(b, 247) : h.legacyCount;
    return h;
}

// The bytes of point record i.
inline std::vector<uint8_t> pointBytes(const std::vector<uint8_t> &b, const Header &h, uint64_t i,
                                       uint16_t bytes)
{
    const size_t at = h.dataOffset + i * h.recordLength;
    return std::vector<uint8_t>(b.begin() + static_cast<long>(at), b.begin() + static_cast<long>(at + bytes));
}

}  // namespace lasbytes
