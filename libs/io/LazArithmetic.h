#pragma once
// The adaptive arithmetic coder of the LAZ format: a 32-bit range coder
// with renormalisation by bytes, adaptive binary and multi-symbol models,
// and the integer corrector coder built on them. Internal to the IO library.
//
// The decoder never reads outside its buffer: bytes past the end read as
// zero and mark the stream as overrun, and values that no valid stream can
// produce mark it as corrupt, so that a damaged file is refused instead of
// decoded into garbage or read out of bounds.

#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

namespace VerdantaIO {
namespace laz {

#if defined(__GNUC__)
#define LAZ_HOT inline __attribute__((always_inline))
#define LAZ_COLD __attribute__((noinline))
#else
#define LAZ_HOT inline
#define LAZ_COLD
#endif

constexpr uint32_t kMinLength = 0x01000000u;  // renormalise below this interval length
constexpr uint32_t kMaxLength = 0xFFFFFFFFu;
constexpr uint32_t kBitLengthShift = 13;  // precision of binary models
constexpr uint32_t kBitMaxCount = 1u << kBitLengthShift;
constexpr uint32_t kSymLengthShift = 15;  // precision of multi-symbol models
constexpr uint32_t kSymMaxCount = 1u << kSymLengthShift;

// An adaptive model of one binary decision.
struct BitModel {
    uint32_t zeroCount = 1, count = 2, zeroProb = 1u << (kBitLengthShift - 1);
    uint32_t cycle = 4, untilUpdate = 4;

    void reset() { *this = BitModel(); }
    void update()
    {
        if ((count += cycle) > kBitMaxCount) {
            count = (count + 1) >> 1;
            zeroCount = (zeroCount + 1) >> 1;
            if (zeroCount == count)
                ++count;
        }
        const uint32_t scale = 0x80000000u / count;
        zeroProb = (zeroCount * scale) >> (31 - kBitLengthShift);
        cycle = (5 * cycle) >> 2;
        if (cycle > 64)
            cycle = 64;
        untilUpdate = cycle;
    }
};

// An adaptive model of an alphabet of 2 to 2048 symbols. Symbol counts are
// turned into a cumulative distribution at growing intervals; a decoder's
// model of more than 16 symbols keeps a look-up table into it as well.
class SymbolModel {
public:
    explicit SymbolModel(uint32_t symbols = 2, bool forDecoding = true) : symbols_(symbols)
    {
        lastSymbol = symbols - 1;
        if (forDecoding && symbols > 16) {
            uint32_t tableBits = 3;
            while (symbols > (1u << (tableBits + 2)))
                ++tableBits;
            tableSize = 1u << tableBits;
            tableShift = kSymLengthShift - tableBits;
            table.assign(tableSize + 2, 0);
        }
        distribution.assign(symbols, 0);
        counts.assign(symbols, 0);
        reset();
    }

    void reset()
    {
        std::fill(counts.begin(), counts.end(), 1u);
        total = 0;
        cycle = symbols_;
        update();
        untilUpdate = cycle = (symbols_ + 6) >> 1;
    }

    LAZ_COLD void update()
    {
        if ((total += cycle) > kSymMaxCount) {
            total = 0;
            for (uint32_t n = 0; n < symbols_; ++n)
                total += (counts[n] = (counts[n] + 1) >> 1);
        }
        const uint32_t scale = 0x80000000u / total;
        uint32_t sum = 0;
        if (tableSize == 0) {
            for (uint32_t k = 0; k < symbols_; ++k) {
                distribution[k] = (scale * sum) >> (31 - kSymLengthShift);
                sum += counts[k];
            }
        } else {
            uint32_t s = 0;
            for (uint32_t k = 0; k < symbols_; ++k) {
                distribution[k] = (scale * sum) >> (31 - kSymLengthShift);
                sum += counts[k];
                const uint32_t w = distribution[k] >> tableShift;
                while (s < w)
                    table[++s] = k - 1;
            }
            table[0] = 0;
            while (s <= tableSize)
                table[++s] = symbols_ - 1;
        }
        cycle = (5 * cycle) >> 2;
        const uint32_t maxCycle = (symbols_ + 6) << 3;
        if (cycle > maxCycle)
            cycle = maxCycle;
        untilUpdate = cycle;
    }

    uint32_t symbols() const { return symbols_; }

    std::vector<uint32_t> distribution, counts, table;
    uint32_t lastSymbol = 0, tableSize = 0, tableShift = 0;
    uint32_t total = 0, cycle = 0, untilUpdate = 0;

private:
    uint32_t symbols_;
};

class Decoder {
public:
    // Starts decoding a stream of n bytes (reads its first four).
    void init(const uint8_t *data, size_t n)
    {
        p_ = data;
        end_ = data + n;
        length_ = kMaxLength;
        overrun_ = corrupt_ = false;
        value_ = (uint32_t(byte()) << 24) | (uint32_t(byte()) << 16) | (uint32_t(byte()) << 8) | byte();
    }

    LAZ_HOT uint32_t decodeBit(BitModel &m)
    {
        const uint32_t x = m.zeroProb * (length_ >> kBitLengthShift);
        uint32_t sym;
        if (value_ < x) {
            sym = 0;
            length_ = x;
            ++m.zeroCount;
        } else {
            sym = 1;
            value_ -= x;
            length_ -= x;
        }
        if (length_ < kMinLength)
            renorm();
        if (--m.untilUpdate == 0)
            m.update();
        return sym;
    }

    LAZ_HOT uint32_t decodeSymbol(SymbolModel &m)
    {
        uint32_t sym, x, y = length_;
        if (m.tableSize) {
            length_ >>= kSymLengthShift;
            const uint32_t dv = value_ / length_;
            uint32_t t = dv >> m.tableShift;
            if (t > m.tableSize) {  // no valid stream gets here
                corrupt_ = true;
                t = m.tableSize;
            }
            sym = m.table[t];
            uint32_t n = m.table[t + 1] + 1;
            const uint32_t *dist = m.distribution.data();
            while (n > sym + 1) {  // bisection without branches on the data
                const uint32_t k = (sym + n) >> 1;
                const bool above = dist[k] > dv;
                n = above ? k : n;
                sym = above ? sym : k;
            }
            x = m.distribution[sym] * length_;
            if (sym != m.lastSymbol)
                y = m.distribution[sym + 1] * length_;
        } else {
            x = sym = 0;
            length_ >>= kSymLengthShift;
            uint32_t n = m.symbols();
            uint32_t k = n >> 1;
            const uint32_t *dist = m.distribution.data();
            do {
                const uint32_t z = length_ * dist[k];
                const bool above = z > value_;
                n = above ? k : n;
                y = above ? z : y;
                sym = above ? sym : k;
                x = above ? x : z;
            } while ((k = (sym + n) >> 1) != sym);
        }
        value_ -= x;
        length_ = y - x;
        if (length_ < kMinLength)
            renorm();
        ++m.counts[sym];
        if (--m.untilUpdate == 0)
            m.update();
        return sym;
    }

    // Raw bits without a model (1 to 32).
    uint32_t readBits(uint32_t bits)
    {
        if (bits > 19) {
            const uint32_t low = readShort();
            return (readBits(bits - 16) << 16) | low;
        }
        const uint32_t sym = value_ / (length_ >>= bits);
        value_ -= length_ * sym;
        if (length_ < kMinLength)
            renorm();
        if (sym >= (1u << bits)) {
            corrupt_ = true;
            return 0;
        }
        return sym;
    }
    uint32_t readShort() { return readBits(16); }
    uint32_t readInt()
    {
        const uint32_t low = readShort();
        return (readShort() << 16) | low;
    }

    // Whether the stream ran past its end or held an impossible value.
    bool damaged() const { return overrun_ || corrupt_; }

private:
    uint8_t byte()
    {
        if (p_ < end_)
            return *p_++;
        overrun_ = true;
        return 0;
    }
    void renorm()
    {
        if (length_ == 0) {  // only a damaged stream gets here
            corrupt_ = true;
            length_ = 1;
        }
        do {
            value_ = (value_ << 8) | byte();
        } while ((length_ <<= 8) < kMinLength);
    }

    const uint8_t *p_ = nullptr, *end_ = nullptr;
    uint32_t value_ = 0, length_ = kMaxLength;
    bool overrun_ = false, corrupt_ = false;
};

class Encoder {
public:
    Encoder() { out_.reserve(1 << 16); }
    void init()
    {
        out_.clear();
        base_ = 0;
        length_ = kMaxLength;
    }

    void encodeBit(BitModel &m, uint32_t sym)
    {
        const uint32_t x = m.zeroProb * (length_ >> kBitLengthShift);
        if (sym == 0) {
            length_ = x;
            ++m.zeroCount;
        } else {
            const uint32_t before = base_;
            base_ += x;
            length_ -= x;
            if (before > base_)
                carry();
        }
        if (length_ < kMinLength)
            renorm();
        if (--m.untilUpdate == 0)
            m.update();
    }

    void encodeSymbol(SymbolModel &m, uint32_t sym)
    {
        const uint32_t before = base_;
        uint32_t x;
        if (sym == m.lastSymbol) {
            x = m.distribution[sym] * (length_ >> kSymLengthShift);
            base_ += x;
            length_ -= x;
        } else {
            x = m.distribution[sym] * (length_ >>= kSymLengthShift);
            base_ += x;
            length_ = m.distribution[sym + 1] * length_ - x;
        }
        if (before > base_)
            carry();
        if (length_ < kMinLength)
            renorm();
        ++m.counts[sym];
        if (--m.untilUpdate == 0)
            m.update();
    }

    void writeBits(uint32_t bits, uint32_t sym)
    {
        if (bits > 19) {
            writeShort(sym & 0xFFFF);
            sym >>= 16;
            bits -= 16;
        }
        const uint32_t before = base_;
        base_ += sym * (length_ >>= bits);
        if (before > base_)
            carry();
        if (length_ < kMinLength)
            renorm();
    }
    void writeShort(uint32_t sym) { writeBits(16, sym & 0xFFFF); }
    void writeInt(uint32_t sym)
    {
        writeShort(sym & 0xFFFF);
        writeShort(sym >> 16);
    }

    // Flushes the interval so that a decoder reads every symbol back, and
    // returns the bytes of the stream.
    const std::vector<uint8_t> &done()
    {
        const uint32_t before = base_;
        bool anotherByte = true;
        if (length_ > 2 * kMinLength) {
            base_ += kMinLength;
            length_ = kMinLength >> 1;
        } else {
            base_ += kMinLength >> 1;
            length_ = kMinLength >> 9;
            anotherByte = false;
        }
        if (before > base_)
            carry();
        renorm();
        out_.push_back(0);
        out_.push_back(0);
        if (anotherByte)
            out_.push_back(0);
        return out_;
    }
    const std::vector<uint8_t> &bytes() const { return out_; }

private:
    void carry()
    {
        size_t i = out_.size();
        while (i > 0 && out_[i - 1] == 0xFF)
            out_[--i] = 0;
        if (i > 0)
            ++out_[i - 1];
    }
    void renorm()
    {
        do {
            out_.push_back(static_cast<uint8_t>(base_ >> 24));
            base_ <<= 8;
        } while ((length_ <<= 8) < kMinLength);
    }

    std::vector<uint8_t> out_;
    uint32_t base_ = 0, length_ = kMaxLength;
};

// Codes integers as corrections of a prediction: first the number of
// significant bits k of the correction (one adaptive model per context),
// then its value within [-(2^k - 1), -2^(k-1)] or [2^(k-1) + 1, 2^k]
// through a model per k (the low bits of large k raw).
class IntegerCoder {
public:
    IntegerCoder(uint32_t bits, uint32_t contexts, bool forDecoding, uint32_t bitsHigh = 8, uint32_t range = 0)
        : bitsHigh_(bitsHigh)
    {
        if (range) {
            corrBits_ = 0;
            corrRange_ = range;
            while (range) {
                range >>= 1;
                ++corrBits_;
            }
            if (corrRange_ == (1u << (corrBits_ - 1)))
                --corrBits_;
            corrMin_ = -static_cast<int32_t>(corrRange_ / 2);
        } else if (bits && bits < 32) {
            corrBits_ = bits;
            corrRange_ = 1u << bits;
            corrMin_ = -static_cast<int32_t>(corrRange_ / 2);
        } else {
            corrBits_ = 32;
            corrRange_ = 0;
            corrMin_ = INT32_MIN;
        }
        corrMax_ = static_cast<int32_t>(static_cast<int64_t>(corrMin_) + corrRange_ - 1);
        if (corrRange_ == 0)
            corrMax_ = INT32_MAX;
        for (uint32_t i = 0; i < contexts; ++i)
            kModels_.emplace_back(corrBits_ + 1, forDecoding);
        corrModels_.emplace_back(2, forDecoding);  // index 0 unused (a bit model codes k = 0)
        for (uint32_t i = 1; i <= corrBits_; ++i)
            corrModels_.emplace_back(i <= bitsHigh_ ? 1u << i : 1u << bitsHigh_, forDecoding);
    }

    void reset()
    {
        for (auto &m : kModels_)
            m.reset();
        corr0_.reset();
        for (auto &m : corrModels_)
            m.reset();
    }

    uint32_t k() const { return k_; }

    void compress(Encoder &enc, int32_t pred, int32_t real, uint32_t context)
    {
        int32_t corr = static_cast<int32_t>(static_cast<uint32_t>(real) - static_cast<uint32_t>(pred));
        if (corrRange_) {
            if (corr < corrMin_)
                corr = static_cast<int32_t>(static_cast<uint32_t>(corr) + corrRange_);
            else if (corr > corrMax_)
                corr = static_cast<int32_t>(static_cast<uint32_t>(corr) - corrRange_);
        }
        writeCorrector(enc, corr, kModels_[context]);
    }

    LAZ_HOT int32_t decompress(Decoder &dec, int32_t pred, uint32_t context)
    {
        int32_t real = static_cast<int32_t>(static_cast<uint32_t>(pred) +
                                            static_cast<uint32_t>(readCorrector(dec, kModels_[context])));
        if (corrRange_) {
            if (real < 0)
                real = static_cast<int32_t>(static_cast<uint32_t>(real) + corrRange_);
            else if (static_cast<uint32_t>(real) >= corrRange_)
                real = static_cast<int32_t>(static_cast<uint32_t>(real) - corrRange_);
        }
        return real;
    }

private:
    void writeCorrector(Encoder &enc, int32_t c, SymbolModel &kModel)
    {
        uint32_t c1 = c <= 0 ? 0u - static_cast<uint32_t>(c) : static_cast<uint32_t>(c) - 1;
        k_ = 0;
        while (c1) {
            c1 >>= 1;
            ++k_;
        }
        enc.encodeSymbol(kModel, k_);
        if (k_ == 0) {
            enc.encodeBit(corr0_, static_cast<uint32_t>(c));
            return;
        }
        if (k_ >= 32)
            return;
        uint32_t v = c < 0 ? static_cast<uint32_t>(c + static_cast<int32_t>((1u << k_) - 1))
                           : static_cast<uint32_t>(c) - 1;
        if (k_ <= bitsHigh_) {
            enc.encodeSymbol(corrModels_[k_], v);
        } else {
            const uint32_t lowBits = k_ - bitsHigh_;
            enc.encodeSymbol(corrModels_[k_], v >> lowBits);
            enc.writeBits(lowBits, v & ((1u << lowBits) - 1));
        }
    }

    LAZ_HOT int32_t readCorrector(Decoder &dec, SymbolModel &kModel)
    {
        k_ = dec.decodeSymbol(kModel);
        if (k_ == 0)
            return static_cast<int32_t>(dec.decodeBit(corr0_));
        if (k_ >= 32)
            return corrMin_;
        uint32_t c;
        if (k_ <= bitsHigh_) {
            c = dec.decodeSymbol(corrModels_[k_]);
        } else {
            const uint32_t lowBits = k_ - bitsHigh_;
            c = dec.decodeSymbol(corrModels_[k_]);
            c = (c << lowBits) | dec.readBits(lowBits);
        }
        if (c >= (1u << (k_ - 1)))
            return static_cast<int32_t>(c + 1);
        return static_cast<int32_t>(c - ((1u << k_) - 1));
    }

    uint32_t bitsHigh_;
    uint32_t corrBits_ = 0, corrRange_ = 0;
    int32_t corrMin_ = 0, corrMax_ = 0;
    uint32_t k_ = 0;
    std::vector<SymbolModel> kModels_;
    BitModel corr0_;
    std::vector<SymbolModel> corrModels_;
};

}  // namespace laz
}  // namespace VerdantaIO
