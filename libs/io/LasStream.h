#pragma once
// Record-level streaming of LAS and LAZ files: a reader that hands out the
// point records of a file chunk by chunk, and a writer that takes records or
// points and writes them in large blocks under a template header. Together
// they copy selected records unchanged when the two files share a record
// layout, without decoding whole points, and keep memory flat whatever the
// size of the files.
//
// A LAZ file is read as a LAS file is: its chunks are decompressed as the
// reads reach them (two at a time on two threads) and let go once the reads
// have passed them. A writer whose path ends in ".laz" compresses its
// records in chunks of 50,000 points.

#include "PointRecords.h"

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

namespace VerdantaIO {

namespace laz {
class LazBlockWriter;
}

// The fields the selections look at, taken from a record without the rest.
struct PointKey {
    double x, y, z;
    uint16_t intensity;
    uint8_t classification;
    uint8_t returnNumber;
    uint8_t numberOfReturns;
};

// The selection fields of one record; `Extended` for formats 6 and above.
// Inlined into a test, the fields it does not look at cost nothing.
template <bool Extended>
inline PointKey keyOf(const uint8_t *s, const PointHeader &h)
{
    int32_t X, Y, Z;
    uint16_t I;
    std::memcpy(&X, s, 4);
    std::memcpy(&Y, s + 4, 4);
    std::memcpy(&Z, s + 8, 4);
    std::memcpy(&I, s + 12, 2);
    PointKey k;
    k.x = X * h.scaleX + h.offsetX;
    k.y = Y * h.scaleY + h.offsetY;
    k.z = Z * h.scaleZ + h.offsetZ;
    k.intensity = I;
    const uint8_t bits = s[14];
    if (Extended) {
        k.returnNumber = bits & 0x0F;
        k.numberOfReturns = (bits >> 4) & 0x0F;
        k.classification = s[16];
    } else {
        k.returnNumber = bits & 0x07;
        k.numberOfReturns = (bits >> 3) & 0x07;
        k.classification = s[15] & 0x1F;
    }
    return k;
}

inline PointKey keyOf(const PointCloud &p)
{
    return {p.x, p.y, p.z, p.intensity, p.classification, static_cast<uint8_t>(p.returnNumber),
            p.numberOfReturns};
}

class LasRecordReader {
public:
    LasRecordReader();
    ~LasRecordReader();
    LasRecordReader(const LasRecordReader &) = delete;
    LasRecordReader &operator=(const LasRecordReader &) = delete;

    // Maps the file and reads its header (without building the coordinate
    // reference); false with lastError() when it cannot be read.
    bool open(const std::string &path);

    const PointHeader &header() const;
    uint64_t count() const;
    uint16_t recordLength() const;
    int format() const;
    bool compressed() const;
    // The first byte of record i (of a LAZ file: valid until a read reaches
    // another chunk). Null, with lastError(), when its chunk is damaged.
    const uint8_t *record(uint64_t i) const;

    // The reads below return false (or null), with lastError(), only when a
    // chunk of a LAZ file is damaged or the file cannot be read.

    // The selection fields of records [start, start + n).
    bool keys(uint64_t start, uint64_t n, PointKey *out) const;
    // Records [start, start + n), read into a buffer of the reader (valid
    // until the next call): a sequential pass this way costs no page faults
    // and leaves nothing resident.
    const uint8_t *load(uint64_t start, uint64_t n);
    // The whole points of records [start, start + n).
    bool decode(uint64_t start, uint64_t n, PointCloud *out) const;
    // The whole point of record i.
    bool decodeOne(uint64_t i, PointCloud &out) const;
    // The whole points of n records of this file copied elsewhere (as load()
    // hands them out), record after record.
    void decodeCopies(const uint8_t *records, uint64_t n, PointCloud *out) const;
    // Lets the system take back the pages (or decompressed chunks) of
    // records [start, start + n) once they have been read, so that a long
    // scan stays flat in memory.
    void release(uint64_t start, uint64_t n) const;

    const std::string &lastError() const { return error_; }

private:
    struct Impl;
    std::unique_ptr<Impl> d_;
    mutable std::string error_;
};

class LasRecordWriter {
public:
    LasRecordWriter();
    ~LasRecordWriter();
    LasRecordWriter(const LasRecordWriter &) = delete;
    LasRecordWriter &operator=(const LasRecordWriter &) = delete;

    // Creates the file with the template's version, point format, scale,
    // offset, records and coordinate reference; counts and bounds follow
    // the points written. A path ending in ".laz" makes a LAZ file. The
    // file is written under path + ".partial" and takes its name when it
    // is closed. False with lastError() when it cannot be created.
    bool create(const std::string &path, const PointHeader &templ);
    bool isOpen() const { return file_ != nullptr; }

    // Whether records of `reader` can be copied into this file unchanged
    // (same point format, record length, scale and offset).
    bool sameLayout(const LasRecordReader &reader) const;
    bool sameLayout(const PointHeader &header, int format, uint16_t recordLength) const;

    // Copies one record of a file of the same layout.
    void addRecord(const uint8_t *rec)
    {
        if (used_ + len_ > buffer_.size() && !flush())
            return;
        uint8_t *dst = buffer_.data() + used_;
        std::copy(rec, rec + len_, dst);
        count(dst);
        used_ += len_;
    }
    // Copies the records base + index[k] * record length, k < n, of a file
    // of the same layout, in that order.
    void addRecords(const uint8_t *base, const uint32_t *index, size_t n);
    // Encodes one point; false when its coordinates do not fit the scale
    // and offset of the file.
    bool addPoint(const PointCloud &p);

    // Writes what is buffered, the extended records and the final header
    // counts and bounds, and closes the file. False when anything could not
    // be written (the file is then removed).
    bool close();
    // Removes the file without finishing it.
    void abandon();

    // The header as written (counts and bounds so far).
    const PointHeader &header() const { return header_; }
    uint64_t pointsWritten() const { return points_; }
    const std::string &lastError() const { return error_; }

private:
    void count(const uint8_t *rec)
    {
        int32_t v[3];
        std::memcpy(v, rec, 12);
        for (int k = 0; k < 3; ++k) {
            lo_[k] = v[k] < lo_[k] ? v[k] : lo_[k];
            hi_[k] = v[k] > hi_[k] ? v[k] : hi_[k];
        }
        ++points_;
        ++returnSlots_[rec[14] & returnMask_];
    }
    bool flush();

    std::FILE *file_ = nullptr;
    std::unique_ptr<laz::LazBlockWriter> laz_;  // for a LAZ file
    std::vector<uint8_t> packed_;               // its compressed chunks
    uint64_t blockBytes_ = 0;                   // bytes of the point block written
    std::string path_, temp_;
    PointHeader header_;
    std::vector<uint8_t> buffer_;
    size_t used_ = 0;
    uint16_t len_ = 0;
    uint64_t dataStart_ = 0;
    uint64_t points_ = 0;
    // Bounds of the records written, in record units (empty: lo above hi).
    int32_t lo_[3] = {INT32_MAX, INT32_MAX, INT32_MAX}, hi_[3] = {INT32_MIN, INT32_MIN, INT32_MIN};
    // Records by their return number field (returnMask_ bits), 0 and those
    // beyond the header's counts included: the header takes its slots at
    // the close.
    std::array<uint64_t, 16> returnSlots_{};
    unsigned returnMask_ = 0x07;
    bool failed_ = false;
    std::string error_;
};

}  // namespace VerdantaIO
