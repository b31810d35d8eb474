#include "LazItems.h"

#include "LasFormat.h"
#include "LazArithmetic.h"
#include "PointRecords.h"

#include <algorithm>
#include <array>
#include <cstring>

namespace VerdantaIO {
namespace laz {

namespace {

using las::load;
template <typename T> inline T ld(const uint8_t *p) { return load<T>(p); }
template <typename T> inline void st(uint8_t *p, T v) { las::store<T>(p, v); }

inline uint8_t clamp8(int v) { return static_cast<uint8_t>(v <= 0 ? 0 : (v >= 255 ? 255 : v)); }
inline int32_t add32(int32_t a, int32_t b)
{
    return static_cast<int32_t>(static_cast<uint32_t>(a) + static_cast<uint32_t>(b));
}
inline int32_t sub32(int32_t a, int32_t b)
{
    return static_cast<int32_t>(static_cast<uint32_t>(a) - static_cast<uint32_t>(b));
}
inline int32_t mul32(int32_t a, int32_t b)
{
    return static_cast<int32_t>(static_cast<uint32_t>(a) * static_cast<uint32_t>(b));
}
// The context of a y or z coordinate: whether the pulse has one return,
// plus the even part of the bit count of the preceding correction, capped.
inline uint32_t kContext(uint32_t n, uint32_t k, uint32_t cap)
{
    return (n == 1 ? 1u : 0u) + (k < cap ? (k & ~1u) : cap);
}

// A running estimate of the median of the last five values: the values are
// kept ordered, and each new one displaces the oldest side alternately.
struct Median5 {
    int32_t v[5] = {0, 0, 0, 0, 0};
    bool high = true;

    void reset() { *this = Median5(); }
    int32_t get() const { return v[2]; }
    void add(int32_t x)
    {
        if (high) {
            if (x < v[2]) {
                v[4] = v[3];
                v[3] = v[2];
                if (x < v[0]) {
                    v[2] = v[1];
                    v[1] = v[0];
                    v[0] = x;
                } else if (x < v[1]) {
                    v[2] = v[1];
                    v[1] = x;
                } else {
                    v[2] = x;
                }
            } else {
                if (x < v[3]) {
                    v[4] = v[3];
                    v[3] = x;
                } else {
                    v[4] = x;
                }
                high = false;
            }
        } else {
            if (v[2] < x) {
                v[0] = v[1];
                v[1] = v[2];
                if (v[4] < x) {
                    v[2] = v[3];
                    v[3] = v[4];
                    v[4] = x;
                } else if (v[3] < x) {
                    v[2] = v[3];
                    v[3] = x;
                } else {
                    v[2] = x;
                }
            } else {
                if (v[1] < x) {
                    v[0] = v[1];
                    v[1] = x;
                } else {
                    v[0] = x;
                }
                high = true;
            }
        }
    }
};

// Contexts of (number of returns, return number) for 3-bit return fields;
// combinations that well-formed files do not use get contexts of their own.
const uint8_t kReturnMap3[8][8] = {
    {15, 14, 13, 12, 11, 10, 9, 8}, {14, 0, 1, 3, 6, 10, 10, 9}, {13, 1, 2, 4, 7, 11, 11, 10},
    {12, 3, 4, 5, 8, 12, 12, 11},   {11, 6, 7, 8, 9, 13, 13, 12}, {10, 10, 11, 12, 13, 14, 14, 13},
    {9, 10, 11, 12, 13, 14, 15, 14}, {8, 9, 10, 11, 12, 13, 14, 15}};

// The same for 4-bit return fields, folded into six contexts.
const uint8_t kReturnMap4[16][16] = {
    {0, 1, 2, 3, 4, 5, 3, 4, 4, 5, 5, 5, 5, 5, 5, 5}, {1, 0, 1, 3, 3, 3, 3, 3, 3, 3, 3, 3, 3, 3, 3, 3},
    {2, 1, 2, 4, 4, 4, 4, 4, 4, 4, 4, 3, 3, 3, 3, 3}, {3, 3, 4, 5, 4, 4, 4, 4, 4, 4, 4, 4, 4, 4, 4, 4},
    {4, 3, 4, 4, 5, 4, 4, 4, 4, 4, 4, 4, 4, 4, 4, 4}, {5, 3, 4, 4, 4, 5, 4, 4, 4, 4, 4, 4, 4, 4, 4, 4},
    {3, 3, 4, 4, 4, 4, 5, 4, 4, 4, 4, 4, 4, 4, 4, 4}, {4, 3, 4, 4, 4, 4, 4, 5, 4, 4, 4, 4, 4, 4, 4, 4},
    {4, 3, 4, 4, 4, 4, 4, 4, 5, 4, 4, 4, 4, 4, 4, 4}, {5, 3, 4, 4, 4, 4, 4, 4, 4, 5, 4, 4, 4, 4, 4, 4},
    {5, 3, 4, 4, 4, 4, 4, 4, 4, 4, 5, 4, 4, 4, 4, 4}, {5, 3, 3, 4, 4, 4, 4, 4, 4, 4, 4, 5, 5, 4, 4, 4},
    {5, 3, 3, 4, 4, 4, 4, 4, 4, 4, 4, 5, 5, 5, 4, 4}, {5, 3, 3, 4, 4, 4, 4, 4, 4, 4, 4, 4, 5, 5, 5, 4},
    {5, 3, 3, 4, 4, 4, 4, 4, 4, 4, 4, 4, 4, 5, 5, 5}, {5, 3, 3, 4, 4, 4, 4, 4, 4, 4, 4, 4, 4, 4, 5, 5}};

// How deep a return lies in its pulse: |n - r| (capped at 7 for 4-bit fields).
inline uint32_t level3(uint32_t n, uint32_t r) { return n > r ? n - r : r - n; }
inline uint32_t level4(uint32_t n, uint32_t r) { return std::min<uint32_t>(7, n > r ? n - r : r - n); }

// Models created when a context first needs them, reset with the chunk.
struct LazyModels {
    explicit LazyModels(size_t n, uint32_t symbols, bool dec) : models(n), symbols(symbols), dec(dec) {}
    SymbolModel &operator[](size_t key)
    {
        if (!models[key])
            models[key].reset(new SymbolModel(symbols, dec));
        return *models[key];
    }
    void reset()
    {
        for (auto &m : models)
            if (m)
                m->reset();
    }
    std::vector<std::unique_ptr<SymbolModel>> models;
    uint32_t symbols;
    bool dec;
};

// ---- GPS time ---------------------------------------------------------------
// Times are coded as 64-bit integers in up to four interleaved sequences
// (flight lines overlapping in time), each with its last difference; a new
// difference is predicted as a multiple of the last one.

constexpr int32_t kMultiMax = 500;
constexpr int32_t kMultiMinus = -10;
constexpr uint32_t kMultiFull = kMultiMax - kMultiMinus + 1;  // 511

struct GpsTimeCoder {
    // Point-wise coding has a code for an unchanged time; layered coding
    // flags unchanged times with the point instead (codes shift by one).
    GpsTimeCoder(bool layered, bool dec)
        : u(layered ? 0 : 1), multiModel(515 + u, dec), zeroModel(5 + u, dec), ic(32, 9, dec)
    {
    }
    void init(uint64_t t)
    {
        last = next = 0;
        for (int i = 0; i < 4; ++i) {
            times[i] = 0;
            diffs[i] = 0;
            extreme[i] = 0;
        }
        times[0] = t;
        multiModel.reset();
        zeroModel.reset();
        ic.reset();
    }

    void readFull(Decoder &d)
    {
        next = (next + 1) & 3;
        const uint32_t high = static_cast<uint32_t>(ic.decompress(d, static_cast<int32_t>(times[last] >> 32), 8));
        times[next] = (uint64_t(high) << 32) | d.readInt();
        last = next;
        diffs[last] = 0;
        extreme[last] = 0;
    }
    void countExtreme(int32_t diff)
    {
        if (++extreme[last] > 3) {
            diffs[last] = diff;
            extreme[last] = 0;
        }
    }

    uint64_t read(Decoder &d)
    {
        for (int guard = 0; guard < 64; ++guard) {
            if (diffs[last] == 0) {
                const uint32_t s = d.decodeSymbol(zeroModel);
                if (s == u) {
                    diffs[last] = ic.decompress(d, 0, 0);
                    times[last] += static_cast<uint64_t>(static_cast<int64_t>(diffs[last]));
                    extreme[last] = 0;
                } else if (s == u + 1) {
                    readFull(d);
                } else if (s > u + 1) {
                    last = (last + s - (u + 1)) & 3;
                    continue;
                }
                return times[last];  // s == 0 in point-wise coding: unchanged
            }
            const uint32_t s = d.decodeSymbol(multiModel);
            if (s == 1) {
                times[last] += static_cast<uint64_t>(static_cast<int64_t>(ic.decompress(d, diffs[last], 1)));
                extreme[last] = 0;
            } else if (s < kMultiFull) {
                int32_t diff;
                if (s == 0) {
                    diff = ic.decompress(d, 0, 7);
                    countExtreme(diff);
                } else if (s < uint32_t(kMultiMax)) {
                    diff = ic.decompress(d, mul32(static_cast<int32_t>(s), diffs[last]), s < 10 ? 2 : 3);
                } else if (s == uint32_t(kMultiMax)) {
                    diff = ic.decompress(d, mul32(kMultiMax, diffs[last]), 4);
                    countExtreme(diff);
                } else {
                    const int32_t multi = kMultiMax - static_cast<int32_t>(s);
                    if (multi > kMultiMinus) {
                        diff = ic.decompress(d, mul32(multi, diffs[last]), 5);
                    } else {
                        diff = ic.decompress(d, mul32(kMultiMinus, diffs[last]), 6);
                        countExtreme(diff);
                    }
                }
                times[last] += static_cast<uint64_t>(static_cast<int64_t>(diff));
            } else if (s == kMultiFull + u) {
                readFull(d);
            } else if (s > kMultiFull + u) {
                last = (last + s - (kMultiFull + u)) & 3;
                continue;
            }
            return times[last];  // s == 511 in point-wise coding: unchanged
        }
        return times[last];  // only a damaged stream switches sequences this often
    }

    void writeFull(Encoder &e, uint64_t t)
    {
        ic.compress(e, static_cast<int32_t>(times[last] >> 32), static_cast<int32_t>(t >> 32), 8);
        e.writeInt(static_cast<uint32_t>(t));
        next = (next + 1) & 3;
        last = next;
        diffs[last] = 0;
        extreme[last] = 0;
        times[last] = t;
    }
    // The sequence among the other three whose last time lies within a
    // 32-bit difference of t, or 0.
    uint32_t otherSequence(uint64_t t) const
    {
        for (uint32_t i = 1; i < 4; ++i) {
            const int64_t d = static_cast<int64_t>(t - times[(last + i) & 3]);
            if (d == static_cast<int32_t>(d))
                return i;
        }
        return 0;
    }

    void write(Encoder &e, uint64_t t)
    {
        for (;;) {
            const int64_t d64 = static_cast<int64_t>(t - times[last]);
            const bool fits = d64 == static_cast<int32_t>(d64);
            const int32_t d = static_cast<int32_t>(d64);
            if (diffs[last] == 0) {
                if (u && t == times[last]) {
                    e.encodeSymbol(zeroModel, 0);
                    return;
                }
                if (fits) {
                    e.encodeSymbol(zeroModel, u);
                    ic.compress(e, 0, d, 0);
                    diffs[last] = d;
                    extreme[last] = 0;
                    times[last] = t;
                    return;
                }
                if (const uint32_t i = otherSequence(t)) {
                    e.encodeSymbol(zeroModel, i + 1 + u);
                    last = (last + i) & 3;
                    continue;
                }
                e.encodeSymbol(zeroModel, u + 1);
                writeFull(e, t);
                return;
            }
            if (u && t == times[last]) {
                e.encodeSymbol(multiModel, kMultiFull);
                return;
            }
            if (!fits) {
                if (const uint32_t i = otherSequence(t)) {
                    e.encodeSymbol(multiModel, kMultiFull + u + i);
                    last = (last + i) & 3;
                    continue;
                }
                e.encodeSymbol(multiModel, kMultiFull + u);
                writeFull(e, t);
                return;
            }
            const float ratio = static_cast<float>(d) / static_cast<float>(diffs[last]);
            double q = ratio >= 0 ? ratio + 0.5 : ratio - 0.5;
            q = std::max(-1e9, std::min(1e9, q));
            const int32_t multi = static_cast<int32_t>(q);
            if (multi == 1) {
                e.encodeSymbol(multiModel, 1);
                ic.compress(e, diffs[last], d, 1);
                extreme[last] = 0;
            } else if (multi > 0) {
                if (multi < kMultiMax) {
                    e.encodeSymbol(multiModel, static_cast<uint32_t>(multi));
                    ic.compress(e, mul32(multi, diffs[last]), d, multi < 10 ? 2 : 3);
                } else {
                    e.encodeSymbol(multiModel, kMultiMax);
                    ic.compress(e, mul32(kMultiMax, diffs[last]), d, 4);
                    countExtreme(d);
                }
            } else if (multi < 0) {
                if (multi > kMultiMinus) {
                    e.encodeSymbol(multiModel, static_cast<uint32_t>(kMultiMax - multi));
                    ic.compress(e, mul32(multi, diffs[last]), d, 5);
                } else {
                    e.encodeSymbol(multiModel, static_cast<uint32_t>(kMultiMax - kMultiMinus));
                    ic.compress(e, mul32(kMultiMinus, diffs[last]), d, 6);
                    countExtreme(d);
                }
            } else {
                e.encodeSymbol(multiModel, 0);
                ic.compress(e, 0, d, 7);
                countExtreme(d);
            }
            times[last] = t;
            return;
        }
    }

    uint32_t u;
    SymbolModel multiModel, zeroModel;
    IntegerCoder ic;
    uint32_t last = 0, next = 0;
    uint64_t times[4] = {0, 0, 0, 0};
    int32_t diffs[4] = {0, 0, 0, 0};
    int32_t extreme[4] = {0, 0, 0, 0};
};

// ---- colour -------------------------------------------------------------------
// Each byte of red, green and blue is coded as a correction of the last
// value; green and blue are predicted from the change of red (and green).

struct RgbCoder {
    explicit RgbCoder(bool dec) : used(128, dec)
    {
        for (int i = 0; i < 6; ++i)
            diff.emplace_back(256, dec);
    }
    void reset()
    {
        used.reset();
        for (auto &m : diff)
            m.reset();
    }

    void read(Decoder &d, const uint16_t *last, uint16_t *c)
    {
        const uint32_t sym = d.decodeSymbol(used);
        c[0] = (sym & 1) ? uint8_t(d.decodeSymbol(diff[0]) + (last[0] & 255)) : (last[0] & 0xFF);
        if (sym & 2)
            c[0] |= uint16_t(uint8_t(d.decodeSymbol(diff[1]) + (last[0] >> 8))) << 8;
        else
            c[0] |= last[0] & 0xFF00;
        if (sym & 64) {
            int dl = (c[0] & 0xFF) - (last[0] & 0xFF);
            c[1] = (sym & 4) ? uint8_t(d.decodeSymbol(diff[2]) + clamp8(dl + (last[1] & 255))) : (last[1] & 0xFF);
            if (sym & 16) {
                dl = (dl + ((c[1] & 0xFF) - (last[1] & 0xFF))) / 2;
                c[2] = uint8_t(d.decodeSymbol(diff[4]) + clamp8(dl + (last[2] & 255)));
            } else {
                c[2] = last[2] & 0xFF;
            }
            int dh = (c[0] >> 8) - (last[0] >> 8);
            if (sym & 8)
                c[1] |= uint16_t(uint8_t(d.decodeSymbol(diff[3]) + clamp8(dh + (last[1] >> 8)))) << 8;
            else
                c[1] |= last[1] & 0xFF00;
            if (sym & 32) {
                dh = (dh + ((c[1] >> 8) - (last[1] >> 8))) / 2;
                c[2] |= uint16_t(uint8_t(d.decodeSymbol(diff[5]) + clamp8(dh + (last[2] >> 8)))) << 8;
            } else {
                c[2] |= last[2] & 0xFF00;
            }
        } else {
            c[1] = c[0];
            c[2] = c[0];
        }
    }

    // Returns the change symbol (0: nothing changed).
    uint32_t write(Encoder &e, const uint16_t *last, const uint16_t *c)
    {
        uint32_t sym = 0;
        for (int i = 0; i < 3; ++i) {
            sym |= uint32_t((last[i] & 0xFF) != (c[i] & 0xFF)) << (2 * i);
            sym |= uint32_t((last[i] & 0xFF00) != (c[i] & 0xFF00)) << (2 * i + 1);
        }
        const bool grey = (c[0] & 0xFF) == (c[1] & 0xFF) && (c[0] & 0xFF) == (c[2] & 0xFF) &&
                          (c[0] & 0xFF00) == (c[1] & 0xFF00) && (c[0] & 0xFF00) == (c[2] & 0xFF00);
        if (!grey)
            sym |= 64;
        e.encodeSymbol(used, sym);
        int dl = 0, dh = 0;
        if (sym & 1) {
            dl = int(c[0] & 255) - int(last[0] & 255);
            e.encodeSymbol(diff[0], uint8_t(dl));
        }
        if (sym & 2) {
            dh = int(c[0] >> 8) - int(last[0] >> 8);
            e.encodeSymbol(diff[1], uint8_t(dh));
        }
        if (sym & 64) {
            if (sym & 4)
                e.encodeSymbol(diff[2], uint8_t(int(c[1] & 255) - clamp8(dl + (last[1] & 255))));
            if (sym & 16) {
                dl = (dl + int(c[1] & 255) - int(last[1] & 255)) / 2;
                e.encodeSymbol(diff[4], uint8_t(int(c[2] & 255) - clamp8(dl + (last[2] & 255))));
            }
            if (sym & 8)
                e.encodeSymbol(diff[3], uint8_t(int(c[1] >> 8) - clamp8(dh + (last[1] >> 8))));
            if (sym & 32) {
                dh = (dh + int(c[1] >> 8) - int(last[1] >> 8)) / 2;
                e.encodeSymbol(diff[5], uint8_t(int(c[2] >> 8) - clamp8(dh + (last[2] >> 8))));
            }
        }
        return sym;
    }

    SymbolModel used;
    std::vector<SymbolModel> diff;
};

// The near-infrared band: its two bytes as corrections of the last value.
struct NirCoder {
    explicit NirCoder(bool dec) : used(4, dec), low(256, dec), high(256, dec) {}
    void reset()
    {
        used.reset();
        low.reset();
        high.reset();
    }
    uint16_t read(Decoder &d, uint16_t last)
    {
        const uint32_t sym = d.decodeSymbol(used);
        uint16_t v = (sym & 1) ? uint8_t(d.decodeSymbol(low) + (last & 255)) : (last & 0xFF);
        if (sym & 2)
            v |= uint16_t(uint8_t(d.decodeSymbol(high) + (last >> 8))) << 8;
        else
            v |= last & 0xFF00;
        return v;
    }
    uint32_t write(Encoder &e, uint16_t last, uint16_t v)
    {
        const uint32_t sym = uint32_t((last & 0xFF) != (v & 0xFF)) | (uint32_t((last & 0xFF00) != (v & 0xFF00)) << 1);
        e.encodeSymbol(used, sym);
        if (sym & 1)
            e.encodeSymbol(low, uint8_t(int(v & 255) - int(last & 255)));
        if (sym & 2)
            e.encodeSymbol(high, uint8_t(int(v >> 8) - int(last >> 8)));
        return sym;
    }
    SymbolModel used, low, high;
};

// ---- version 2: point by point ------------------------------------------------

struct Point10Coder {
    explicit Point10Coder(bool dec)
        : changed(64, dec), icIntensity(16, 4, dec), angle{SymbolModel(256, dec), SymbolModel(256, dec)},
          icSource(16, 1, dec), bitByte(256, 256, dec), cls(256, 256, dec), user(256, 256, dec),
          icDx(32, 2, dec), icDy(32, 22, dec), icZ(32, 20, dec)
    {
    }

    void init(const uint8_t *item)
    {
        for (int i = 0; i < 16; ++i) {
            xMed[i].reset();
            yMed[i].reset();
            lastIntensity[i] = 0;
        }
        for (int i = 0; i < 8; ++i)
            lastHeight[i] = 0;
        changed.reset();
        icIntensity.reset();
        angle[0].reset();
        angle[1].reset();
        icSource.reset();
        bitByte.reset();
        cls.reset();
        user.reset();
        icDx.reset();
        icDy.reset();
        icZ.reset();
        std::memcpy(last, item, 20);
        last[12] = last[13] = 0;
    }

    void coordinates(Decoder &d, uint32_t n, uint32_t m, uint32_t l)
    {
        int32_t diff = icDx.decompress(d, xMed[m].get(), n == 1);
        st<int32_t>(last, add32(ld<int32_t>(last), diff));
        xMed[m].add(diff);
        diff = icDy.decompress(d, yMed[m].get(), kContext(n, icDx.k(), 20));
        st<int32_t>(last + 4, add32(ld<int32_t>(last + 4), diff));
        yMed[m].add(diff);
        const int32_t z = icZ.decompress(d, lastHeight[l], kContext(n, (icDx.k() + icDy.k()) / 2, 18));
        st<int32_t>(last + 8, z);
        lastHeight[l] = z;
    }

    void read(Decoder &d, uint8_t *item)
    {
        const uint32_t cv = d.decodeSymbol(changed);
        if (cv) {
            if (cv & 32)
                last[14] = static_cast<uint8_t>(d.decodeSymbol(bitByte[last[14]]));
            const uint32_t r = last[14] & 7, n = (last[14] >> 3) & 7, m = kReturnMap3[n][r];
            if (cv & 16)
                lastIntensity[m] = static_cast<uint16_t>(icIntensity.decompress(d, lastIntensity[m], m < 3 ? m : 3));
            st<uint16_t>(last + 12, lastIntensity[m]);
            if (cv & 8)
                last[15] = static_cast<uint8_t>(d.decodeSymbol(cls[last[15]]));
            if (cv & 4)
                last[16] = static_cast<uint8_t>(d.decodeSymbol(angle[(last[14] >> 6) & 1]) + last[16]);
            if (cv & 2)
                last[17] = static_cast<uint8_t>(d.decodeSymbol(user[last[17]]));
            if (cv & 1)
                st<uint16_t>(last + 18, static_cast<uint16_t>(icSource.decompress(d, ld<uint16_t>(last + 18), 0)));
            coordinates(d, n, m, level3(n, r));
        } else {
            const uint32_t r = last[14] & 7, n = (last[14] >> 3) & 7, m = kReturnMap3[n][r];
            st<uint16_t>(last + 12, lastIntensity[m]);
            coordinates(d, n, m, level3(n, r));
        }
        std::memcpy(item, last, 20);
    }

    void write(Encoder &e, const uint8_t *item)
    {
        const uint32_t r = item[14] & 7, n = (item[14] >> 3) & 7, m = kReturnMap3[n][r], l = level3(n, r);
        const uint16_t intensity = ld<uint16_t>(item + 12);
        const uint32_t cv = (uint32_t(last[14] != item[14]) << 5) | (uint32_t(lastIntensity[m] != intensity) << 4) |
                            (uint32_t(last[15] != item[15]) << 3) | (uint32_t(last[16] != item[16]) << 2) |
                            (uint32_t(last[17] != item[17]) << 1) |
                            uint32_t(ld<uint16_t>(last + 18) != ld<uint16_t>(item + 18));
        e.encodeSymbol(changed, cv);
        if (cv & 32)
            e.encodeSymbol(bitByte[last[14]], item[14]);
        if (cv & 16) {
            icIntensity.compress(e, lastIntensity[m], intensity, m < 3 ? m : 3);
            lastIntensity[m] = intensity;
        }
        if (cv & 8)
            e.encodeSymbol(cls[last[15]], item[15]);
        if (cv & 4)
            e.encodeSymbol(angle[(item[14] >> 6) & 1], uint8_t(item[16] - last[16]));
        if (cv & 2)
            e.encodeSymbol(user[last[17]], item[17]);
        if (cv & 1)
            icSource.compress(e, ld<uint16_t>(last + 18), ld<uint16_t>(item + 18), 0);
        int32_t diff = sub32(ld<int32_t>(item), ld<int32_t>(last));
        icDx.compress(e, xMed[m].get(), diff, n == 1);
        xMed[m].add(diff);
        diff = sub32(ld<int32_t>(item + 4), ld<int32_t>(last + 4));
        icDy.compress(e, yMed[m].get(), diff, kContext(n, icDx.k(), 20));
        yMed[m].add(diff);
        const int32_t z = ld<int32_t>(item + 8);
        icZ.compress(e, lastHeight[l], z, kContext(n, (icDx.k() + icDy.k()) / 2, 18));
        lastHeight[l] = z;
        std::memcpy(last, item, 20);
    }

    uint8_t last[20];
    uint16_t lastIntensity[16];
    Median5 xMed[16], yMed[16];
    int32_t lastHeight[8];
    SymbolModel changed;
    IntegerCoder icIntensity;
    SymbolModel angle[2];
    IntegerCoder icSource;
    LazyModels bitByte, cls, user;
    IntegerCoder icDx, icDy, icZ;
};

struct ByteCoder {
    ByteCoder(size_t n, bool dec) : last(n)
    {
        for (size_t i = 0; i < n; ++i)
            models.emplace_back(256, dec);
    }
    void init(const uint8_t *item)
    {
        for (auto &m : models)
            m.reset();
        std::memcpy(last.data(), item, last.size());
    }
    std::vector<uint8_t> last;
    std::vector<SymbolModel> models;
};

// The version 2 coders of one record layout.
struct PointwiseCoder {
    PointwiseCoder(const std::vector<Item> &items, bool dec) : gps(false, dec), rgb(dec)
    {
        uint16_t at = 0;
        for (const Item &it : items) {
            switch (it.type) {
            case kPoint10: point.reset(new Point10Coder(dec)); break;
            case kGpsTime11: gpsAt = at; break;
            case kRgb12: rgbAt = at; break;
            case kByte: bytes.reset(new ByteCoder(it.size, dec)); bytesAt = at; break;
            default: break;
            }
            at = static_cast<uint16_t>(at + it.size);
        }
        recordLength = at;
    }

    void init(const uint8_t *rec)
    {
        point->init(rec);
        if (gpsAt >= 0)
            gps.init(ld<uint64_t>(rec + gpsAt));
        if (rgbAt >= 0) {
            rgb.reset();
            std::memcpy(lastRgb, rec + rgbAt, 6);
        }
        if (bytes)
            bytes->init(rec + bytesAt);
    }

    void read(Decoder &d, uint8_t *rec)
    {
        point->read(d, rec);
        if (gpsAt >= 0)
            st<uint64_t>(rec + gpsAt, gps.read(d));
        if (rgbAt >= 0) {
            uint16_t c[3];
            rgb.read(d, lastRgb, c);
            std::memcpy(lastRgb, c, 6);
            std::memcpy(rec + rgbAt, c, 6);
        }
        if (bytes) {
            uint8_t *out = rec + bytesAt;
            for (size_t i = 0; i < bytes->last.size(); ++i)
                out[i] = bytes->last[i] = static_cast<uint8_t>(bytes->last[i] + d.decodeSymbol(bytes->models[i]));
        }
    }

    void write(Encoder &e, const uint8_t *rec)
    {
        point->write(e, rec);
        if (gpsAt >= 0)
            gps.write(e, ld<uint64_t>(rec + gpsAt));
        if (rgbAt >= 0) {
            uint16_t c[3];
            std::memcpy(c, rec + rgbAt, 6);
            rgb.write(e, lastRgb, c);
            std::memcpy(lastRgb, c, 6);
        }
        if (bytes) {
            const uint8_t *in = rec + bytesAt;
            for (size_t i = 0; i < bytes->last.size(); ++i) {
                e.encodeSymbol(bytes->models[i], uint8_t(in[i] - bytes->last[i]));
                bytes->last[i] = in[i];
            }
        }
    }

    std::unique_ptr<Point10Coder> point;
    GpsTimeCoder gps;
    RgbCoder rgb;
    std::unique_ptr<ByteCoder> bytes;
    int gpsAt = -1, rgbAt = -1, bytesAt = -1;
    uint16_t lastRgb[3] = {0, 0, 0};
    uint16_t recordLength = 0;
};

// ---- version 3: layers ----------------------------------------------------------

// The fields of a LAS 1.4 point record as the layered coder sees them.
struct P14 {
    int32_t x = 0, y = 0, z = 0;
    uint16_t intensity = 0;
    uint8_t ret = 0, nret = 0, classFlags = 0, channel = 0, scanDir = 0, edge = 0, cls = 0, user = 0;
    int16_t angle = 0;
    uint16_t source = 0;
    uint64_t gps = 0;
    bool gpsChange = false;

    static P14 from(const uint8_t *s)
    {
        P14 p;
        p.x = ld<int32_t>(s);
        p.y = ld<int32_t>(s + 4);
        p.z = ld<int32_t>(s + 8);
        p.intensity = ld<uint16_t>(s + 12);
        p.ret = s[14] & 15;
        p.nret = s[14] >> 4;
        p.classFlags = s[15] & 15;
        p.channel = (s[15] >> 4) & 3;
        p.scanDir = (s[15] >> 6) & 1;
        p.edge = s[15] >> 7;
        p.cls = s[16];
        p.user = s[17];
        p.angle = ld<int16_t>(s + 18);
        p.source = ld<uint16_t>(s + 20);
        p.gps = ld<uint64_t>(s + 22);
        return p;
    }
    void to(uint8_t *d) const
    {
        st<int32_t>(d, x);
        st<int32_t>(d + 4, y);
        st<int32_t>(d + 8, z);
        st<uint16_t>(d + 12, intensity);
        d[14] = static_cast<uint8_t>(ret | (nret << 4));
        d[15] = static_cast<uint8_t>(classFlags | (channel << 4) | (scanDir << 6) | (edge << 7));
        d[16] = cls;
        d[17] = user;
        st<int16_t>(d + 18, angle);
        st<uint16_t>(d + 20, source);
        st<uint64_t>(d + 22, gps);
    }
    uint32_t flags() const { return (uint32_t(edge) << 5) | (uint32_t(scanDir) << 4) | classFlags; }
};

// The layers of a POINT14 item, in their order in the chunk.
enum Layer14 { kXY, kZ, kClass, kFlags, kIntensity, kAngle, kUser, kSource, kGps, kLayers14 };

// The models and last values of one scanner channel.
struct P14Context {
    explicit P14Context(bool dec)
        : channelModel(3, dec), nret(16, 16, dec), ret(16, 16, dec), retGpsSame(13, dec), icDx(32, 2, dec),
          icDy(32, 22, dec), icZ(32, 20, dec), cls(64, 256, dec), flags(64, 64, dec), user(64, 256, dec),
          icIntensity(16, 4, dec), icAngle(16, 2, dec), icSource(16, 1, dec), gps(true, dec)
    {
        for (int i = 0; i < 8; ++i)
            changed.emplace_back(128, dec);
    }

    void init(const P14 &item)
    {
        for (auto &m : changed)
            m.reset();
        channelModel.reset();
        nret.reset();
        ret.reset();
        retGpsSame.reset();
        icDx.reset();
        icDy.reset();
        for (int i = 0; i < 12; ++i) {
            xMed[i].reset();
            yMed[i].reset();
        }
        icZ.reset();
        for (int i = 0; i < 8; ++i) {
            lastZ[i] = item.z;
            lastIntensity[i] = item.intensity;
        }
        cls.reset();
        flags.reset();
        user.reset();
        icIntensity.reset();
        icAngle.reset();
        icSource.reset();
        gps.init(item.gps);
        last = item;
        last.gpsChange = false;
        unused = false;
    }

    bool unused = true;
    P14 last;
    uint16_t lastIntensity[8];
    Median5 xMed[12], yMed[12];
    int32_t lastZ[8];
    std::vector<SymbolModel> changed;
    SymbolModel channelModel;
    LazyModels nret, ret;
    SymbolModel retGpsSame;
    IntegerCoder icDx, icDy, icZ;
    LazyModels cls, flags, user;
    IntegerCoder icIntensity, icAngle, icSource;
    GpsTimeCoder gps;
};

struct LayeredCoder {
    LayeredCoder(const std::vector<Item> &items, bool dec) : dec(dec)
    {
        uint16_t at = 0;
        for (const Item &it : items) {
            if (it.type == kRgb14 || it.type == kRgbNir14) {
                rgbAt = at;
                nir = it.type == kRgbNir14;
            } else if (it.type == kByte14) {
                bytesAt = at;
                byteCount = it.size;
            }
            at = static_cast<uint16_t>(at + it.size);
        }
        recordLength = at;
        layerCount = kLayers14 + (rgbAt >= 0 ? (nir ? 2 : 1) : 0) + byteCount;
    }

    struct RgbContext {
        explicit RgbContext(bool dec) : rgb(dec), nir(dec) {}
        bool unused = true;
        uint16_t last[4] = {0, 0, 0, 0};
        RgbCoder rgb;
        NirCoder nir;
    };
    struct ByteContext {
        ByteContext(size_t n, bool dec) : bytes(n, dec) {}
        bool unused = true;
        ByteCoder bytes;
    };

    P14Context &p14(uint32_t c)
    {
        if (!contexts[c])
            contexts[c].reset(new P14Context(dec));
        return *contexts[c];
    }
    RgbContext &rgbContext(uint32_t c, const uint16_t *from)
    {
        if (!rgbContexts[c])
            rgbContexts[c].reset(new RgbContext(dec));
        RgbContext &x = *rgbContexts[c];
        if (x.unused) {
            x.rgb.reset();
            x.nir.reset();
            std::memcpy(x.last, from, sizeof x.last);
            x.unused = false;
        }
        return x;
    }
    ByteContext &byteContext(uint32_t c, const uint8_t *from)
    {
        if (!byteContexts[c])
            byteContexts[c].reset(new ByteContext(byteCount, dec));
        ByteContext &x = *byteContexts[c];
        if (x.unused) {
            x.bytes.init(from);
            x.unused = false;
        }
        return x;
    }

    // The colour and extra-byte contexts follow the point's scanner channel;
    // a channel's first point starts its context from the last values of
    // the channel before.
    RgbContext &currentRgb()
    {
        if (rgbCurrent != current) {
            uint16_t copy[4];
            std::memcpy(copy, rgbContexts[rgbCurrent]->last, sizeof copy);
            rgbCurrent = current;
            rgbContext(current, copy);
        }
        return *rgbContexts[rgbCurrent];
    }
    ByteCoder &currentBytes()
    {
        if (byteCurrent != current) {
            const std::vector<uint8_t> copy = byteContexts[byteCurrent]->bytes.last;
            byteCurrent = current;
            byteContext(current, copy.data());
        }
        return byteContexts[byteCurrent]->bytes;
    }

    // Starts a chunk with its first record.
    void init(const uint8_t *rec)
    {
        for (int c = 0; c < 4; ++c) {
            if (contexts[c])
                contexts[c]->unused = true;
            if (rgbContexts[c])
                rgbContexts[c]->unused = true;
            if (byteContexts[c])
                byteContexts[c]->unused = true;
        }
        const P14 first = P14::from(rec);
        current = first.channel;
        p14(current).init(first);
        if (rgbAt >= 0) {
            uint16_t c[4] = {0, 0, 0, 0};
            std::memcpy(c, rec + rgbAt, nir ? 8 : 6);
            rgbCurrent = current;
            rgbContext(current, c);
        }
        if (byteCount) {
            byteCurrent = current;
            byteContext(current, rec + bytesAt);
        }
    }

    // Decoding: one decoder per layer, and which layers hold data.
    Decoder layers[kLayers14 + 2];
    std::vector<Decoder> byteLayers;
    bool present[kLayers14 + 2] = {};
    std::vector<bool> bytePresent;

    void read(uint8_t *rec)
    {
        P14Context *ctx = &p14(current);
        Decoder &dxy = layers[kXY];
        uint32_t lpr = (ctx->last.ret == 1 ? 1u : 0u) + (ctx->last.ret >= ctx->last.nret ? 2u : 0u) +
                       (ctx->last.gpsChange ? 4u : 0u);
        const uint32_t cv = dxy.decodeSymbol(ctx->changed[lpr]);
        if (cv & 64) {
            const uint32_t diff = dxy.decodeSymbol(ctx->channelModel);
            const uint32_t channel = (current + diff + 1) % 4;
            if (!contexts[channel] || contexts[channel]->unused) {
                const P14 from = ctx->last;
                p14(channel).init(from);
            }
            current = channel;
            ctx = &p14(current);
            ctx->last.channel = static_cast<uint8_t>(channel);
        }
        P14 &p = ctx->last;
        const bool sourceChange = cv & 32, gpsChange = cv & 16, angleChange = cv & 8;
        const uint32_t lastN = p.nret, lastR = p.ret;
        uint32_t n = lastN, r = lastR;
        if (cv & 4) {
            n = dxy.decodeSymbol(ctx->nret[lastN]);
            p.nret = static_cast<uint8_t>(n);
        }
        switch (cv & 3) {
        case 0: break;
        case 1: r = (lastR + 1) % 16; break;
        case 2: r = (lastR + 15) % 16; break;
        default:
            if (gpsChange)
                r = dxy.decodeSymbol(ctx->ret[lastR]);
            else
                r = (lastR + dxy.decodeSymbol(ctx->retGpsSame) + 2) % 16;
            break;
        }
        p.ret = static_cast<uint8_t>(r);
        const uint32_t m = kReturnMap4[n][r], l = level4(n, r);
        const uint32_t cpr = (r == 1 ? 2u : 0u) + (r >= n ? 1u : 0u);
        const uint32_t mg = (m << 1) | (gpsChange ? 1u : 0u);
        int32_t diff = ctx->icDx.decompress(dxy, ctx->xMed[mg].get(), n == 1);
        p.x = add32(p.x, diff);
        ctx->xMed[mg].add(diff);
        diff = ctx->icDy.decompress(dxy, ctx->yMed[mg].get(), kContext(n, ctx->icDx.k(), 20));
        p.y = add32(p.y, diff);
        ctx->yMed[mg].add(diff);
        if (present[kZ]) {
            p.z = ctx->icZ.decompress(layers[kZ], ctx->lastZ[l], kContext(n, (ctx->icDx.k() + ctx->icDy.k()) / 2, 18));
            ctx->lastZ[l] = p.z;
        }
        if (present[kClass])
            p.cls = static_cast<uint8_t>(
                layers[kClass].decodeSymbol(ctx->cls[((p.cls & 0x1F) << 1) + (cpr == 3 ? 1 : 0)]));
        if (present[kFlags]) {
            const uint32_t f = layers[kFlags].decodeSymbol(ctx->flags[p.flags()]);
            p.edge = (f >> 5) & 1;
            p.scanDir = (f >> 4) & 1;
            p.classFlags = f & 15;
        }
        if (present[kIntensity]) {
            const uint32_t slot = (cpr << 1) | (gpsChange ? 1u : 0u);
            p.intensity = static_cast<uint16_t>(ctx->icIntensity.decompress(layers[kIntensity], ctx->lastIntensity[slot], cpr));
            ctx->lastIntensity[slot] = p.intensity;
        }
        if (present[kAngle] && angleChange)
            p.angle = static_cast<int16_t>(ctx->icAngle.decompress(layers[kAngle], p.angle, gpsChange));
        if (present[kUser])
            p.user = static_cast<uint8_t>(layers[kUser].decodeSymbol(ctx->user[p.user / 4]));
        if (present[kSource] && sourceChange)
            p.source = static_cast<uint16_t>(ctx->icSource.decompress(layers[kSource], p.source, 0));
        if (present[kGps] && gpsChange)
            p.gps = ctx->gps.read(layers[kGps]);
        p.to(rec);
        p.gpsChange = gpsChange;

        if (rgbAt >= 0) {
            RgbContext &x = currentRgb();
            if (present[kLayers14]) {
                uint16_t c[3];
                x.rgb.read(layers[kLayers14], x.last, c);
                std::memcpy(x.last, c, 6);
            }
            if (nir && present[kLayers14 + 1])
                x.last[3] = x.nir.read(layers[kLayers14 + 1], x.last[3]);
            std::memcpy(rec + rgbAt, x.last, nir ? 8 : 6);
        }
        if (byteCount) {
            ByteCoder &b = currentBytes();
            uint8_t *out = rec + bytesAt;
            for (size_t i = 0; i < byteCount; ++i) {
                if (bytePresent[i])
                    b.last[i] = static_cast<uint8_t>(b.last[i] + byteLayers[i].decodeSymbol(b.models[i]));
                out[i] = b.last[i];
            }
        }
    }

    // Encoding: one encoder per layer, and whether its field changed.
    Encoder encoders[kLayers14 + 2];
    std::vector<Encoder> byteEncoders;
    bool changedLayer[kLayers14 + 2] = {};
    std::vector<bool> byteChanged;

    void startEncoding()
    {
        for (auto &e : encoders)
            e.init();
        byteEncoders.resize(byteCount);
        for (auto &e : byteEncoders)
            e.init();
        std::fill(std::begin(changedLayer), std::end(changedLayer), false);
        changedLayer[kXY] = changedLayer[kZ] = true;  // always stored
        byteChanged.assign(byteCount, false);
    }

    void write(const uint8_t *rec)
    {
        const P14 item = P14::from(rec);
        P14Context *ctx = &p14(current);
        const P14 *last = &ctx->last;
        const uint32_t lpr =
            (last->ret == 1 ? 1u : 0u) + (last->ret >= last->nret ? 2u : 0u) + (last->gpsChange ? 4u : 0u);
        const uint32_t channel = item.channel;
        if (channel != current && contexts[channel] && !contexts[channel]->unused)
            last = &contexts[channel]->last;
        const bool sourceChange = item.source != last->source;
        const bool gpsChange = item.gps != last->gps;
        const bool angleChange = item.angle != last->angle;
        const uint32_t lastN = last->nret, lastR = last->ret, n = item.nret, r = item.ret;
        uint32_t cv = (uint32_t(channel != current) << 6) | (uint32_t(sourceChange) << 5) |
                      (uint32_t(gpsChange) << 4) | (uint32_t(angleChange) << 3) | (uint32_t(n != lastN) << 2);
        if (r != lastR)
            cv |= r == (lastR + 1) % 16 ? 1u : (r == (lastR + 15) % 16 ? 2u : 3u);
        Encoder &exy = encoders[kXY];
        exy.encodeSymbol(ctx->changed[lpr], cv);
        if (cv & 64) {
            exy.encodeSymbol(ctx->channelModel, (channel + 4 - current - 1) % 4);
            if (!contexts[channel] || contexts[channel]->unused) {
                const P14 from = ctx->last;
                p14(channel).init(from);
            }
            current = channel;
            ctx = &p14(current);
            last = &ctx->last;
        }
        if (cv & 4)
            exy.encodeSymbol(ctx->nret[lastN], n);
        if ((cv & 3) == 3) {
            if (gpsChange)
                exy.encodeSymbol(ctx->ret[lastR], r);
            else
                exy.encodeSymbol(ctx->retGpsSame, (r + 16 - lastR - 2) % 16);
        }
        const uint32_t m = kReturnMap4[n][r], l = level4(n, r);
        const uint32_t cpr = (r == 1 ? 2u : 0u) + (r >= n ? 1u : 0u);
        const uint32_t mg = (m << 1) | (gpsChange ? 1u : 0u);
        int32_t diff = sub32(item.x, last->x);
        ctx->icDx.compress(exy, ctx->xMed[mg].get(), diff, n == 1);
        ctx->xMed[mg].add(diff);
        diff = sub32(item.y, last->y);
        ctx->icDy.compress(exy, ctx->yMed[mg].get(), diff, kContext(n, ctx->icDx.k(), 20));
        ctx->yMed[mg].add(diff);
        ctx->icZ.compress(encoders[kZ], ctx->lastZ[l], item.z, kContext(n, (ctx->icDx.k() + ctx->icDy.k()) / 2, 18));
        ctx->lastZ[l] = item.z;
        changedLayer[kClass] = changedLayer[kClass] || item.cls != last->cls;
        encoders[kClass].encodeSymbol(ctx->cls[((last->cls & 0x1F) << 1) + (cpr == 3 ? 1 : 0)], item.cls);
        changedLayer[kFlags] = changedLayer[kFlags] || item.flags() != last->flags();
        encoders[kFlags].encodeSymbol(ctx->flags[last->flags()], item.flags());
        changedLayer[kIntensity] = changedLayer[kIntensity] || item.intensity != last->intensity;
        const uint32_t slot = (cpr << 1) | (gpsChange ? 1u : 0u);
        ctx->icIntensity.compress(encoders[kIntensity], ctx->lastIntensity[slot], item.intensity, cpr);
        ctx->lastIntensity[slot] = item.intensity;
        if (angleChange) {
            changedLayer[kAngle] = true;
            ctx->icAngle.compress(encoders[kAngle], last->angle, item.angle, gpsChange);
        }
        changedLayer[kUser] = changedLayer[kUser] || item.user != last->user;
        encoders[kUser].encodeSymbol(ctx->user[last->user / 4], item.user);
        if (sourceChange) {
            changedLayer[kSource] = true;
            ctx->icSource.compress(encoders[kSource], last->source, item.source, 0);
        }
        if (gpsChange) {
            changedLayer[kGps] = true;
            ctx->gps.write(encoders[kGps], item.gps);
        }
        ctx->last = item;
        ctx->last.channel = static_cast<uint8_t>(current);
        ctx->last.gpsChange = gpsChange;

        if (rgbAt >= 0) {
            RgbContext &x = currentRgb();
            uint16_t c[4] = {0, 0, 0, 0};
            std::memcpy(c, rec + rgbAt, nir ? 8 : 6);
            if (x.rgb.write(encoders[kLayers14], x.last, c))
                changedLayer[kLayers14] = true;
            if (nir && x.nir.write(encoders[kLayers14 + 1], x.last[3], c[3]))
                changedLayer[kLayers14 + 1] = true;
            std::memcpy(x.last, c, nir ? 8 : 6);
        }
        if (byteCount) {
            ByteCoder &b = currentBytes();
            const uint8_t *in = rec + bytesAt;
            for (size_t i = 0; i < byteCount; ++i) {
                if (in[i] != b.last[i])
                    byteChanged[i] = true;
                byteEncoders[i].encodeSymbol(b.models[i], uint8_t(in[i] - b.last[i]));
                b.last[i] = in[i];
            }
        }
    }

    bool dec;
    std::unique_ptr<P14Context> contexts[4];
    std::unique_ptr<RgbContext> rgbContexts[4];
    std::unique_ptr<ByteContext> byteContexts[4];
    uint32_t current = 0, rgbCurrent = 0, byteCurrent = 0;
    int rgbAt = -1, bytesAt = -1;
    bool nir = false;
    size_t byteCount = 0;
    size_t layerCount = 0;
    uint16_t recordLength = 0;
};

std::string chunkDamage(bool cut) { return cut ? "a compressed chunk is cut short" : "a compressed chunk is damaged"; }

}  // namespace

// ---- item lists -------------------------------------------------------------------

std::vector<Item> itemsFor(int format, uint16_t extraBytes)
{
    std::vector<Item> items;
    if (format >= 6) {
        items.push_back({kPoint14, 30, 3});
        if (format == 7)
            items.push_back({kRgb14, 6, 3});
        if (format == 8)
            items.push_back({kRgbNir14, 8, 3});
        if (extraBytes)
            items.push_back({kByte14, extraBytes, 3});
        return items;
    }
    items.push_back({kPoint10, 20, 2});
    if (format == 1 || format == 3)
        items.push_back({kGpsTime11, 8, 2});
    if (format == 2 || format == 3)
        items.push_back({kRgb12, 6, 2});
    if (extraBytes)
        items.push_back({kByte, extraBytes, 2});
    return items;
}

bool layeredItems(const std::vector<Item> &items) { return !items.empty() && items.front().type == kPoint14; }

bool supportedItems(const std::vector<Item> &items, int format, uint16_t recordLength, std::string &why)
{
    uint32_t total = 0;
    for (const Item &it : items)
        total += it.size;
    if (items.empty() || total != recordLength) {
        why = "the compressed items do not match the point record length";
        return false;
    }
    for (const Item &it : items) {
        if (it.type == kWavePacket13 || it.type == kWavePacket14) {
            why = "compressed waveform packets are not supported";
            return false;
        }
    }
    // The layout must be what the point format stores, item by item.
    const uint16_t extra = static_cast<uint16_t>(recordLength - standardRecordLength(format));
    const std::vector<Item> expected = itemsFor(format, recordLength > standardRecordLength(format) ? extra : 0);
    if (format == 4 || format == 5 || format == 9 || format == 10) {
        why = "compressed waveform packets are not supported";
        return false;
    }
    if (items.size() != expected.size()) {
        why = "the compressed items do not match point data format " + std::to_string(format);
        return false;
    }
    for (size_t i = 0; i < items.size(); ++i) {
        if (items[i].type != expected[i].type || items[i].size != expected[i].size) {
            why = "the compressed items do not match point data format " + std::to_string(format);
            return false;
        }
        if (items[i].version != expected[i].version) {
            why = "version " + std::to_string(items[i].version) + " of a compressed item is not supported";
            return false;
        }
    }
    return true;
}

// ---- chunks ---------------------------------------------------------------------

// The coders of an item list, point-wise or layered, for one direction.
struct ItemCoders {
    ItemCoders(const std::vector<Item> &items, bool dec) : layered(layeredItems(items))
    {
        if (layered)
            v3.reset(new LayeredCoder(items, dec));
        else
            v2.reset(new PointwiseCoder(items, dec));
    }
    bool layered;
    std::unique_ptr<PointwiseCoder> v2;
    std::unique_ptr<LayeredCoder> v3;
};

struct ChunkDecoder::Impl : ItemCoders {
    explicit Impl(const std::vector<Item> &items) : ItemCoders(items, true) {}
};

ChunkDecoder::ChunkDecoder(const std::vector<Item> &items) : impl_(new Impl(items)) {}
ChunkDecoder::~ChunkDecoder() = default;

bool ChunkDecoder::decode(const uint8_t *data, uint64_t size, uint64_t count, uint8_t *out, std::string &error)
{
    if (count == 0)
        return true;
    if (!impl_->layered) {
        PointwiseCoder &c = *impl_->v2;
        const uint16_t len = c.recordLength;
        if (size < len) {
            error = chunkDamage(true);
            return false;
        }
        std::memcpy(out, data, len);
        c.init(out);
        Decoder d;
        d.init(data + len, size - len);
        for (uint64_t i = 1; i < count; ++i)
            c.read(d, out + i * len);
        if (d.damaged()) {
            error = chunkDamage(false);
            return false;
        }
        return true;
    }
    LayeredCoder &c = *impl_->v3;
    const uint16_t len = c.recordLength;
    const uint64_t head = uint64_t(len) + 4 + 4 * c.layerCount;
    if (size < head) {
        error = chunkDamage(true);
        return false;
    }
    std::memcpy(out, data, len);
    const uint32_t stored = ld<uint32_t>(data + len);
    if (stored != count) {
        error = "a compressed chunk holds " + std::to_string(stored) + " points where " + std::to_string(count) +
                " were expected";
        return false;
    }
    std::vector<uint32_t> sizes(c.layerCount);
    uint64_t total = 0;
    for (size_t i = 0; i < c.layerCount; ++i) {
        sizes[i] = ld<uint32_t>(data + len + 4 + 4 * i);
        total += sizes[i];
    }
    if (head + total > size) {
        error = chunkDamage(true);
        return false;
    }
    c.init(out);
    const uint8_t *p = data + head;
    const size_t fixedLayers = kLayers14 + (c.rgbAt >= 0 ? (c.nir ? 2 : 1) : 0);
    for (size_t i = 0; i < fixedLayers; ++i) {
        c.present[i] = sizes[i] > 0;
        if (c.present[i])
            c.layers[i].init(p, sizes[i]);
        p += sizes[i];
    }
    if (c.rgbAt < 0)
        c.present[kLayers14] = c.present[kLayers14 + 1] = false;
    c.byteLayers.resize(c.byteCount);
    c.bytePresent.assign(c.byteCount, false);
    for (size_t i = 0; i < c.byteCount; ++i) {
        const uint32_t s = sizes[fixedLayers + i];
        c.bytePresent[i] = s > 0;
        if (s)
            c.byteLayers[i].init(p, s);
        p += s;
    }
    // The coordinates' layer always holds data.
    if (!c.present[kXY] && count > 1) {
        error = chunkDamage(false);
        return false;
    }
    for (uint64_t i = 1; i < count; ++i)
        c.read(out + i * len);
    bool damaged = false;
    for (size_t i = 0; i < fixedLayers; ++i)
        damaged = damaged || (c.present[i] && c.layers[i].damaged());
    for (size_t i = 0; i < c.byteCount; ++i)
        damaged = damaged || (c.bytePresent[i] && c.byteLayers[i].damaged());
    if (damaged) {
        error = chunkDamage(false);
        return false;
    }
    return true;
}

struct ChunkEncoder::Impl : ItemCoders {
    explicit Impl(const std::vector<Item> &items) : ItemCoders(items, false) {}
    Encoder enc;
};

ChunkEncoder::ChunkEncoder(const std::vector<Item> &items) : impl_(new Impl(items)) {}
ChunkEncoder::~ChunkEncoder() = default;

void ChunkEncoder::encode(const uint8_t *records, uint64_t count, std::vector<uint8_t> &out)
{
    if (count == 0)
        return;
    auto append = [&out](const uint8_t *p, size_t n) { out.insert(out.end(), p, p + n); };
    if (!impl_->layered) {
        PointwiseCoder &c = *impl_->v2;
        const uint16_t len = c.recordLength;
        append(records, len);
        c.init(records);
        Encoder &e = impl_->enc;
        e.init();
        for (uint64_t i = 1; i < count; ++i)
            c.write(e, records + i * len);
        const std::vector<uint8_t> &bytes = e.done();
        append(bytes.data(), bytes.size());
        return;
    }
    LayeredCoder &c = *impl_->v3;
    const uint16_t len = c.recordLength;
    append(records, len);
    c.init(records);
    c.startEncoding();
    for (uint64_t i = 1; i < count; ++i)
        c.write(records + i * len);
    uint8_t word[4];
    st<uint32_t>(word, static_cast<uint32_t>(count));
    append(word, 4);
    const size_t fixedLayers = kLayers14 + (c.rgbAt >= 0 ? (c.nir ? 2 : 1) : 0);
    std::vector<const std::vector<uint8_t> *> layers;
    static const std::vector<uint8_t> empty;
    for (size_t i = 0; i < fixedLayers; ++i)
        layers.push_back(c.changedLayer[i] ? &c.encoders[i].done() : &empty);
    for (size_t i = 0; i < c.byteCount; ++i)
        layers.push_back(c.byteChanged[i] ? &c.byteEncoders[i].done() : &empty);
    for (const auto *l : layers) {
        st<uint32_t>(word, static_cast<uint32_t>(l->size()));
        append(word, 4);
    }
    for (const auto *l : layers)
        append(l->data(), l->size());
}

}  // namespace laz
}  // namespace VerdantaIO
