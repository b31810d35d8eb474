#include "LasStream.h"

#include "LasFormat.h"
#include "LasIO.h"
#include "LasIndex.h"
#include "MappedFile.h"

#include <algorithm>
#include <cstring>
#include <filesystem>

#ifndef _WIN32
#include <fcntl.h>
#include <unistd.h>
#endif

namespace fs = std::filesystem;

namespace VerdantaIO {

using namespace las;

// ---- reading ------------------------------------------------------------------

struct LasRecordReader::Impl {
    MappedFile file;
    PointBlock block;
    PointHeader header;
    const uint8_t *base = nullptr;
#ifndef _WIN32
    int fd = -1;
    std::vector<uint8_t> buffer;
    ~Impl()
    {
        if (fd >= 0)
            ::close(fd);
    }
#endif
};

LasRecordReader::LasRecordReader() = default;
LasRecordReader::~LasRecordReader() = default;

bool LasRecordReader::open(const std::string &path)
{
    d_ = std::make_unique<Impl>();
    if (!d_->file.open(path)) {
        error_ = "Could not open the file " + path;
        d_.reset();
        return false;
    }
    if (!parseHeader(d_->file.data(), d_->file.size(), d_->header, d_->block, error_, false)) {
        d_.reset();
        return false;
    }
    d_->base = d_->file.data() + d_->block.offset;
#ifndef _WIN32
    d_->fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (d_->fd < 0) {
        error_ = "Could not open the file " + path;
        d_.reset();
        return false;
    }
#endif
    return true;
}

const PointHeader &LasRecordReader::header() const { return d_->header; }
uint64_t LasRecordReader::count() const { return d_ ? d_->block.count : 0; }
uint16_t LasRecordReader::recordLength() const { return d_->block.recordLength; }
int LasRecordReader::format() const { return d_->block.format; }
const uint8_t *LasRecordReader::record(uint64_t i) const { return d_->base + i * d_->block.recordLength; }

void LasRecordReader::keys(uint64_t start, uint64_t n, PointKey *out) const
{
    const uint16_t len = d_->block.recordLength;
    const uint8_t *s = record(start);
    if (d_->block.format >= 6)
        for (uint64_t i = 0; i < n; ++i)
            out[i] = keyOf<true>(s + i * len, d_->header);
    else
        for (uint64_t i = 0; i < n; ++i)
            out[i] = keyOf<false>(s + i * len, d_->header);
}

const uint8_t *LasRecordReader::load(uint64_t start, uint64_t n)
{
    if (start + n > d_->block.count)
        return nullptr;
#ifdef _WIN32
    return record(start);
#else
    const size_t bytes = static_cast<size_t>(n) * d_->block.recordLength;
    if (d_->buffer.size() < bytes)
        d_->buffer.resize(bytes);
    const uint64_t offset = d_->block.offset + start * d_->block.recordLength;
    size_t done = 0;
    while (done < bytes) {
        const ssize_t r = pread(d_->fd, d_->buffer.data() + done, bytes - done, static_cast<off_t>(offset + done));
        if (r <= 0)
            return nullptr;
        done += static_cast<size_t>(r);
    }
    return d_->buffer.data();
#endif
}

void LasRecordReader::decode(uint64_t start, uint64_t n, PointCloud *out) const
{
    decodePoints(record(start), n, d_->block, d_->header, out);
}

void LasRecordReader::decodeOne(uint64_t i, PointCloud &out) const { decode(i, 1, &out); }

void LasRecordReader::release(uint64_t start, uint64_t n) const
{
    d_->file.releaseResident(d_->block.offset + start * d_->block.recordLength, n * d_->block.recordLength);
}

// ---- writing ------------------------------------------------------------------

namespace {
constexpr size_t kBlockBytes = 8u << 20;  // records are written 8 MB at a time
}

LasRecordWriter::~LasRecordWriter()
{
    if (file_)
        close();
}

bool LasRecordWriter::create(const std::string &path, const PointHeader &templ)
{
    path_ = path;
    temp_ = path + ".partial";
    failed_ = false;
    points_ = 0;
    byReturn_.fill(0);
    // The library's own writer lays out the header of an empty file with
    // the template (a writable format, its records, the reference); the
    // records follow from its data offset.
    header_ = templ;
    const std::vector<PointCloud> none;
    if (!WriteLasFile(temp_, header_, none, &error_))
        return false;
    std::vector<uint8_t> head(header_.dataOffset);
    {
        std::FILE *in = std::fopen(temp_.c_str(), "rb");
        const bool ok = in && std::fread(head.data(), 1, head.size(), in) == head.size();
        if (in)
            std::fclose(in);
        if (!ok) {
            error_ = "Could not create the file " + path;
            std::error_code ec;
            fs::remove(temp_, ec);
            return false;
        }
    }
    file_ = std::fopen(temp_.c_str(), "wb");
    if (!file_ || std::fwrite(head.data(), 1, head.size(), file_) != head.size()) {
        error_ = "Could not create the file " + path;
        abandon();
        return false;
    }
    dataStart_ = header_.dataOffset;
    len_ = header_.pointRecordLength;
    buffer_.resize(std::max<size_t>(len_, kBlockBytes / len_ * len_));
    used_ = 0;
    const bool extended = header_.pointDataFormat >= 6;
    returnMask_ = extended ? 0x0F : 0x07;
    returnSlots_ = extended ? 15 : 5;
    return true;
}

bool LasRecordWriter::sameLayout(const LasRecordReader &reader) const
{
    return sameLayout(reader.header(), reader.format(), reader.recordLength());
}

bool LasRecordWriter::sameLayout(const PointHeader &h, int format, uint16_t recordLength) const
{
    return format == header_.pointDataFormat && recordLength == len_ &&
           h.scaleX == header_.scaleX && h.scaleY == header_.scaleY && h.scaleZ == header_.scaleZ &&
           h.offsetX == header_.offsetX && h.offsetY == header_.offsetY && h.offsetZ == header_.offsetZ;
}

bool LasRecordWriter::addPoint(const PointCloud &p)
{
    if (used_ + len_ > buffer_.size() && !flush())
        return false;
    uint8_t *dst = buffer_.data() + used_;
    if (!encodePoint(p, header_, dst)) {
        error_ = "A coordinate does not fit the scale and offset of the header";
        return false;
    }
    count(dst);
    used_ += len_;
    return true;
}

bool LasRecordWriter::flush()
{
    if (!file_ || failed_)
        return false;
    if (used_ && std::fwrite(buffer_.data(), 1, used_, file_) != used_) {
        failed_ = true;
        error_ = "Could not write the file " + path_;
        return false;
    }
    used_ = 0;
    return true;
}

bool LasRecordWriter::close()
{
    if (!file_)
        return false;
    bool ok = flush();
    PointHeader &h = header_;
    h.numberOfPointRecords = points_;
    h.numberOfPointsByReturn = byReturn_;
    if (points_ == 0) {
        h.minX = h.maxX = h.minY = h.maxY = h.minZ = h.maxZ = 0.0;
    } else {
        const double scale[3] = {h.scaleX, h.scaleY, h.scaleZ}, offset[3] = {h.offsetX, h.offsetY, h.offsetZ};
        double mins[3], maxs[3];
        for (int k = 0; k < 3; ++k) {
            const double a = lo_[k] * scale[k] + offset[k], b = hi_[k] * scale[k] + offset[k];
            mins[k] = std::min(a, b);
            maxs[k] = std::max(a, b);
        }
        h.minX = mins[0]; h.minY = mins[1]; h.minZ = mins[2];
        h.maxX = maxs[0]; h.maxY = maxs[1]; h.maxZ = maxs[2];
    }
    if (ok && h.versionMinor < 4 && points_ > 0xFFFFFFFFull) {
        error_ = "More than 4294967295 points need LAS 1.4";
        ok = false;
    }
    if (ok && !h.evlrs.empty()) {
        h.evlrStart = dataStart_ + points_ * len_;
        h.numberOfEVLRs = static_cast<uint32_t>(h.evlrs.size());
        const std::vector<uint8_t> ev = serializeEvlrs(h.evlrs);
        ok = std::fwrite(ev.data(), 1, ev.size(), file_) == ev.size();
    }
    if (ok) {
        const std::vector<uint8_t> head = serializeHeader(h);
        ok = head.size() == dataStart_ && std::fseek(file_, 0, SEEK_SET) == 0 &&
             std::fwrite(head.data(), 1, head.size(), file_) == head.size();
    }
    ok = std::fclose(file_) == 0 && ok;
    file_ = nullptr;
    std::error_code ec;
    if (ok) {
        forgetIndex(path_);
        fs::rename(temp_, path_, ec);
        ok = !ec;
    }
    if (!ok) {
        if (error_.empty())
            error_ = "Could not write the file " + path_;
        fs::remove(temp_, ec);
    }
    buffer_.clear();
    buffer_.shrink_to_fit();
    return ok;
}

void LasRecordWriter::abandon()
{
    if (file_)
        std::fclose(file_);
    file_ = nullptr;
    std::error_code ec;
    fs::remove(temp_, ec);
    buffer_.clear();
}

}  // namespace VerdantaIO
