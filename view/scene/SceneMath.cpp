#include "SceneMath.h"

#include "LargeVector.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>

namespace SceneMath {

using VerdantaIO::PointCloud;

uint64_t thinningStride(uint64_t n) { return n < kThinningThreshold ? 0 : n / kThinningThreshold + 1; }

std::vector<uint64_t> thinnedIndices(uint64_t n, uint64_t stride)
{
    std::vector<uint64_t> out;
    if (stride == 0)
        return out;
    out.reserve(n / stride + 1);
    for (uint64_t i = 0; i < n; i += stride)
        out.push_back(i);
    return out;
}

float displayScale(float minX, float minY, float maxX, float maxY)
{
    const float dx = std::fabs(maxX - minX), dy = std::fabs(maxY - minY);
    if (!(dx > 0.0f) && !(dy > 0.0f))
        return 1.0f;  // a single point or an empty extent: no stretch
    return dy > dx ? 900.0f / dy : 1000.0f / dx;
}

namespace {
// Maps a double to an unsigned key with the same order.
inline uint64_t orderedKey(double z)
{
    uint64_t bits;
    std::memcpy(&bits, &z, sizeof bits);
    return (bits & 0x8000000000000000ull) ? ~bits : bits | 0x8000000000000000ull;
}
}  // namespace

void sortByHeight(std::vector<PointCloud> &points)
{
    const size_t n = points.size();
    if (n < 2)
        return;
    if (n < 4096 || n > UINT32_MAX) {
        std::stable_sort(points.begin(), points.end(),
                         [](const PointCloud &a, const PointCloud &b) { return a.z < b.z; });
        return;
    }
    // LSD radix sort of (key, index) pairs, 8 bits a pass, then one gather.
    // One pass counts all eight digits; digits every key shares are skipped
    // (the sign and exponent bytes of heights in one file mostly are).
    struct Item {
        uint64_t key;
        uint32_t index;
    };
    std::vector<Item> a, b;
    reserveLarge(a, n);
    reserveLarge(b, n);
    a.resize(n);
    b.resize(n);
    std::vector<std::array<size_t, 256>> count(8);
    for (auto &c : count)
        c.fill(0);
    for (size_t i = 0; i < n; ++i) {
        const uint64_t key = orderedKey(points[i].z);
        a[i] = {key, static_cast<uint32_t>(i)};
        for (int d = 0; d < 8; ++d)
            ++count[d][(key >> (8 * d)) & 0xFF];
    }
    for (int d = 0; d < 8; ++d) {
        const int shift = 8 * d;
        if (count[d][(a[0].key >> shift) & 0xFF] == n)
            continue;
        size_t offset[256];
        size_t sum = 0;
        for (int v = 0; v < 256; ++v) {
            offset[v] = sum;
            sum += count[d][v];
        }
        for (const Item &it : a)
            b[offset[(it.key >> shift) & 0xFF]++] = it;
        a.swap(b);
    }
    std::vector<PointCloud> sorted;
    reserveLarge(sorted, n);
    sorted.resize(n);
    for (size_t i = 0; i < n; ++i)
        sorted[i] = points[a[i].index];
    points.swap(sorted);
}

bool heightStats(const std::vector<PointCloud> &s, HeightStats &out)
{
    const size_t n = s.size();
    if (n == 0)
        return false;
    out.high = static_cast<float>(s[static_cast<size_t>(n * 0.95)].z);
    out.low = static_cast<float>(s[static_cast<size_t>(n * 0.05)].z);
    out.minZ = static_cast<float>(s.front().z);
    out.maxZ = static_cast<float>(s.back().z);
    out.centreZ = (out.low + out.high) * 0.5f;
    return true;
}

bool greyStretch(std::vector<float> samples, float &low, float &high)
{
    const size_t n = samples.size();
    if (n == 0)
        return false;
    std::sort(samples.begin(), samples.end());
    auto valid = [](float v) { return v > -kNoDataLimit && v < kNoDataLimit; };
    size_t i = static_cast<size_t>(n * 0.05);
    while (i < n && !valid(samples[i]))
        ++i;
    if (i >= n)
        return false;
    long j = static_cast<long>(n * 0.95);
    if (j >= static_cast<long>(n))
        j = static_cast<long>(n) - 1;
    while (j >= 0 && !valid(samples[static_cast<size_t>(j)]))
        --j;
    if (j < 0)
        return false;
    low = samples[i];
    high = samples[static_cast<size_t>(j)];
    return true;
}

uint8_t grey(float value, float low, float high)
{
    if (value < low)
        return 0;
    if (value > high)
        return 255;
    if (!(high > low))
        return 0;
    return static_cast<uint8_t>(std::floor((value - low) * 255.0f / (high - low)));
}

void intensityRange(const std::vector<PointCloud> &points, float &minI, float &maxI, float &low, float &high)
{
    if (points.empty())
        return;
    uint16_t lo = 65535, hi = 0;
    for (const PointCloud &p : points) {
        lo = std::min(lo, p.intensity);
        hi = std::max(hi, p.intensity);
    }
    minI = lo;
    maxI = hi;
    if (hi <= 255) {
        low = lo;
        high = hi;
        return;
    }
    // A counting sort: intensities are 16-bit.
    std::vector<uint64_t> histogram(65536, 0);
    for (const PointCloud &p : points)
        ++histogram[p.intensity];
    const uint64_t n = points.size();
    auto valueAt = [&](uint64_t index) {
        uint64_t seen = 0;
        for (int v = 0; v < 65536; ++v) {
            seen += histogram[v];
            if (seen > index)
                return static_cast<float>(v);
        }
        return static_cast<float>(hi);
    };
    low = valueAt(static_cast<uint64_t>(n * 0.05));
    high = valueAt(static_cast<uint64_t>(n * 0.995));
}

bool reduceColours(std::vector<PointCloud> &points)
{
    size_t black = 0;
    for (const PointCloud &p : points)
        black += (p.red == 0 && p.green == 0 && p.blue == 0);
    if (black == points.size())
        return false;
    for (PointCloud &p : points) {
        if ((p.red | p.green | p.blue) & 0xFF00) {
            p.red >>= 8;
            p.green >>= 8;
            p.blue >>= 8;
        }
    }
    return true;
}

namespace {
Rgb scaled(const Rgb &c) { return {c[0] / 255.0f, c[1] / 255.0f, c[2] / 255.0f}; }
}  // namespace

Rgb heightColour(double z, float low, float high, const Rgb *ramp)
{
    if (z > high)
        return kAboveHigh;
    if (z < low)
        return {1.0f, 0.0f, 0.0f};
    const float step = (high - low) * 0.1f;
    for (int i = 0; i < 10; ++i)
        if (low + i * step <= z && z <= low + (i + 1) * step)
            return scaled(ramp[i]);
    return scaled(ramp[9]);
}

Rgb intensityColour(uint16_t intensity, float low, float high)
{
    const float range = high - low;
    if (range == 0.0f)
        return {0.0f, 0.0f, 0.0f};
    uint8_t g;
    if (intensity > high)
        g = 255;
    else if (intensity < low)
        g = 0;
    else
        g = static_cast<uint8_t>((intensity - low) * 255.0f / range);
    return {g / 255.0f, g / 255.0f, g / 255.0f};
}

Rgb returnColour(uint16_t returnNumber, const Rgb *ramp)
{
    if (returnNumber >= 1 && returnNumber <= 4)
        return scaled(ramp[9 + returnNumber]);
    if (returnNumber == 5)
        return kReturn5;
    return kOtherReturn;
}

Rgb classColour(uint8_t classification, const Rgb *classes)
{
    const int c = classification & 63;
    if (c <= 1)
        return scaled(classes[1]);
    if (c <= 9)
        return scaled(classes[c]);
    if (c == 12)
        return scaled(classes[10]);
    return {0.5f, 0.5f, 0.5f};
}

}  // namespace SceneMath
