#include "LasStream.h"

#include "LasFormat.h"
#include "LasExtraBytes.h"
#include "LasIO.h"
#include "LasIndex.h"
#include "LazCodec.h"
#include "MappedFile.h"
#include "Threads.h"

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <thread>

#ifndef _WIN32
#include <fcntl.h>
#include <unistd.h>
#endif

namespace fs = std::filesystem;

namespace VerdantaIO {

using namespace las;

// ---- reading ------------------------------------------------------------------

namespace {

// A decompressed chunk of a LAZ file.
struct HeldChunk {
    size_t index = 0;
    uint64_t first = 0, count = 0;
    std::vector<uint8_t> records;
};

}  // namespace

struct LasRecordReader::Impl {
    MappedFile file;
    PointBlock block;
    PointHeader header;
    const uint8_t *base = nullptr;
#ifndef _WIN32
    int fd = -1;
#endif
    std::vector<uint8_t> buffer;
    // A LAZ file: the chunks of the range read last, in file order, and
    // the buffers of chunks let go, for the next ones.
    std::vector<HeldChunk> held;
    std::vector<std::vector<uint8_t>> spare;
    std::unique_ptr<laz::ChunkDecoder> decoders[2];
    ~Impl()
    {
#ifndef _WIN32
        if (fd >= 0)
            ::close(fd);
#endif
    }

    // Makes the chunks of records [start, start + n) held, decoding those
    // that are not (two at a time on two threads) and letting go of the rest.
    bool fetch(uint64_t start, uint64_t n, std::string &error);
    // Record i of a LAZ file and how many records follow it in its chunk.
    const uint8_t *at(uint64_t i, uint64_t &available, std::string &error);
    // Calls fn(records, offset, m) for the consecutive runs of records
    // [start, start + n), offset counted from start.
    template <class Fn> bool runs(uint64_t start, uint64_t n, std::string &error, const Fn &fn);
    void letGo(HeldChunk &c)
    {
        spare.push_back(std::move(c.records));
        if (spare.size() > 2)
            spare.resize(2);
    }
};

bool LasRecordReader::Impl::fetch(uint64_t start, uint64_t n, std::string &error)
{
    if (n == 0)
        return true;
    const laz::LazChunks &c = *block.laz;
    const size_t k0 = c.chunkOf(start), k1 = c.chunkOf(start + n - 1);
    std::vector<HeldChunk> next(k1 - k0 + 1);
    std::vector<size_t> missing;
    for (size_t k = k0; k <= k1; ++k) {
        HeldChunk &h = next[k - k0];
        const auto it = std::find_if(held.begin(), held.end(), [&](const HeldChunk &x) { return x.index == k; });
        if (it != held.end()) {
            h = std::move(*it);
            held.erase(it);
            continue;
        }
        h.index = k;
        h.first = c.firstPoint(k);
        h.count = c.pointCount(k);
        missing.push_back(k - k0);
    }
    for (HeldChunk &h : held)
        letGo(h);
    held.clear();
    std::string errors[2];
    auto work = [&](int w, size_t from, size_t step) {
        for (size_t j = from; j < missing.size() && errors[w].empty(); j += step) {
            HeldChunk &h = next[missing[j]];
            try {
                h.records.resize(h.count * block.recordLength);
            } catch (const std::bad_alloc &) {
                errors[w] = "Not enough memory to decode a chunk of " + std::to_string(h.count) + " points";
                return;
            }
            if (c.decode(h.index, *decoders[w], h.records.data(), errors[w])) {
                // Its compressed bytes are not read again: a long scan holds
                // no more of the file than the chunks it decodes.
                const size_t k = h.index;
                const uint64_t end = k + 1 < c.chunkCount() ? c.chunkStart(k + 1) : c.dataEnd();
                file.releaseResident(c.chunkStart(k), end - c.chunkStart(k));
            }
        }
    };
    for (size_t j = 0; j < missing.size() && !spare.empty(); ++j) {
        next[missing[j]].records = std::move(spare.back());
        spare.pop_back();
    }
    if (missing.size() > 1 && threadBudget(2) > 1) {
        std::thread helper(work, 1, 1, 2);
        work(0, 0, 2);
        helper.join();
    } else {
        work(0, 0, 1);
    }
    for (const std::string &e : errors)
        if (!e.empty()) {
            error = e;
            return false;
        }
    held = std::move(next);
    return true;
}

const uint8_t *LasRecordReader::Impl::at(uint64_t i, uint64_t &available, std::string &error)
{
    for (int pass = 0; pass < 2; ++pass) {
        for (const HeldChunk &h : held)
            if (i >= h.first && i < h.first + h.count) {
                available = h.first + h.count - i;
                return h.records.data() + (i - h.first) * block.recordLength;
            }
        if (pass == 0 && !fetch(i, 1, error))
            return nullptr;
    }
    return nullptr;
}

template <class Fn> bool LasRecordReader::Impl::runs(uint64_t start, uint64_t n, std::string &error, const Fn &fn)
{
    if (n == 0)
        return true;
    if (!block.laz) {
        fn(base + start * block.recordLength, uint64_t(0), n);
        return true;
    }
    if (start + n > block.count) {
        error = "Point index " + std::to_string(start + n - 1) + " lies beyond the last point";
        return false;
    }
    const bool covered = !held.empty() && held.front().first <= start &&
                         held.back().first + held.back().count >= start + n;
    if (!covered && !fetch(start, n, error))
        return false;
    for (uint64_t i = start; i < start + n;) {
        uint64_t available = 0;
        const uint8_t *r = at(i, available, error);
        if (!r)
            return false;
        const uint64_t m = std::min(available, start + n - i);
        fn(r, i - start, m);
        i += m;
    }
    return true;
}

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
    if (d_->block.laz) {
        for (auto &decoder : d_->decoders)
            decoder = std::make_unique<laz::ChunkDecoder>(d_->block.laz->items());
        return true;
    }
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
bool LasRecordReader::compressed() const { return d_ && d_->block.laz; }

const uint8_t *LasRecordReader::record(uint64_t i) const
{
    if (!d_->block.laz)
        return d_->base + i * d_->block.recordLength;
    uint64_t available = 0;
    return i < d_->block.count ? d_->at(i, available, error_) : nullptr;
}

bool LasRecordReader::keys(uint64_t start, uint64_t n, PointKey *out) const
{
    const uint16_t len = d_->block.recordLength;
    const PointHeader &h = d_->header;
    const bool extended = d_->block.format >= 6;
    return d_->runs(start, n, error_, [&](const uint8_t *s, uint64_t offset, uint64_t m) {
        PointKey *o = out + offset;
        if (extended)
            for (uint64_t i = 0; i < m; ++i)
                o[i] = keyOf<true>(s + i * len, h);
        else
            for (uint64_t i = 0; i < m; ++i)
                o[i] = keyOf<false>(s + i * len, h);
    });
}

const uint8_t *LasRecordReader::load(uint64_t start, uint64_t n)
{
    if (start + n > d_->block.count)
        return nullptr;
    const uint16_t len = d_->block.recordLength;
    const size_t bytes = static_cast<size_t>(n) * len;
    if (d_->block.laz) {
        // Records within one chunk are handed out in place, others copied
        // together.
        if (!d_->fetch(start, n, error_))
            return nullptr;
        if (d_->held.size() == 1 || n == 0)
            return n ? record(start) : d_->buffer.data();
        if (d_->buffer.size() < bytes)
            d_->buffer.resize(bytes);
        uint8_t *dst = d_->buffer.data();
        const bool ok = d_->runs(start, n, error_, [&](const uint8_t *s, uint64_t offset, uint64_t m) {
            std::memcpy(dst + offset * len, s, m * len);
        });
        return ok ? dst : nullptr;
    }
#ifdef _WIN32
    return record(start);
#else
    if (d_->buffer.size() < bytes)
        d_->buffer.resize(bytes);
    const uint64_t offset = d_->block.offset + start * len;
    size_t done = 0;
    while (done < bytes) {
        const ssize_t r = pread(d_->fd, d_->buffer.data() + done, bytes - done, static_cast<off_t>(offset + done));
        if (r <= 0) {
            error_ = "Could not read the points of the file";
            return nullptr;
        }
        done += static_cast<size_t>(r);
    }
    return d_->buffer.data();
#endif
}

bool LasRecordReader::decode(uint64_t start, uint64_t n, PointCloud *out) const
{
    return d_->runs(start, n, error_, [&](const uint8_t *s, uint64_t offset, uint64_t m) {
        decodePoints(s, m, d_->block, d_->header, out + offset);
    });
}

bool LasRecordReader::decodeOne(uint64_t i, PointCloud &out) const
{
    const uint8_t *r = record(i);
    if (!r)
        return false;
    decodePoints(r, 1, d_->block, d_->header, &out);
    return true;
}

void LasRecordReader::decodeCopies(const uint8_t *records, uint64_t n, PointCloud *out) const
{
    decodePoints(records, n, d_->block, d_->header, out);
}

void LasRecordReader::release(uint64_t start, uint64_t n) const
{
    if (!d_->block.laz) {
        d_->file.releaseResident(d_->block.offset + start * d_->block.recordLength, n * d_->block.recordLength);
        return;
    }
    // Chunks that end within the range are done with.
    auto &held = d_->held;
    for (auto it = held.begin(); it != held.end();)
        if (it->first + it->count <= start + n) {
            d_->letGo(*it);
            it = held.erase(it);
        } else {
            ++it;
        }
}

// ---- writing ------------------------------------------------------------------

namespace {
constexpr size_t kBlockBytes = 1u << 20;  // records are written 1 MB at a time
}

LasRecordWriter::LasRecordWriter() = default;

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
    blockBytes_ = 0;
    returnSlots_.fill(0);
    for (int k = 0; k < 3; ++k) {
        lo_[k] = INT32_MAX;
        hi_[k] = INT32_MIN;
    }
    laz_.reset();
    // The library's own writer lays out the header of an empty file with
    // the template (a writable format, its records, the reference); the
    // records follow from its data offset.
    header_ = templ;
    const std::vector<PointCloud> none;
    // Extra bytes of the template (a tree number, say) stay in every record,
    // with their description, so that copied records keep them.
    ExtraBytes kept;
    const ExtraBytes *extra = nullptr;
    if (templ.extraBytesPerPoint > 0) {
        kept.size = templ.extraBytesPerPoint;
        for (const VariableLengthRecord &v : templ.vlrs)
            if (v.userId == "LASF_Spec" && v.recordId == 4)
                kept.descriptors = v.data;
        extra = &kept;
    }
    if (!WriteLasFile(temp_, header_, none, &error_, extra))
        return false;
    const bool compress = IsLazPath(path);
    std::vector<uint8_t> head(header_.dataOffset);
    if (compress) {
        // The same header marked compressed, with the LASzip record, and
        // the place of the chunk table's position before the chunks.
        laz::addLazRecord(header_);
        head = serializeHeader(header_);
        const std::vector<uint8_t> pointer = laz::LazBlockWriter::blockHeader();
        head.insert(head.end(), pointer.begin(), pointer.end());
        blockBytes_ = pointer.size();
        laz_ = std::make_unique<laz::LazBlockWriter>(laz::infoFor(header_), header_.pointRecordLength);
    } else {
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
    // A LAZ file takes two chunks at a time, one for each thread.
    const size_t records = compress ? 2 * laz::kWriteChunkPoints : kBlockBytes / len_;
    buffer_.resize(std::max<size_t>(1, records) * len_);
    used_ = 0;
    returnMask_ = header_.pointDataFormat >= 6 ? 0x0F : 0x07;
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

namespace {

// Copies the records base + index[k] * L to dst and folds their coordinates
// into the bounds and their return numbers into the slots. A length known
// at compile time makes each copy a few moves; L = 0 takes len.
template <size_t L>
void gather(const uint8_t *base, const uint32_t *index, size_t n, size_t len, uint8_t *dst, int32_t *lo,
            int32_t *hi, uint64_t *slots, unsigned mask)
{
    const size_t length = L ? L : len;
    int32_t l0 = lo[0], l1 = lo[1], l2 = lo[2], h0 = hi[0], h1 = hi[1], h2 = hi[2];
    for (size_t k = 0; k < n; ++k, dst += length) {
        const uint8_t *src = base + size_t(index[k]) * length;
        std::memcpy(dst, src, length);
        int32_t x, y, z;
        std::memcpy(&x, src, 4);
        std::memcpy(&y, src + 4, 4);
        std::memcpy(&z, src + 8, 4);
        l0 = x < l0 ? x : l0;
        h0 = x > h0 ? x : h0;
        l1 = y < l1 ? y : l1;
        h1 = y > h1 ? y : h1;
        l2 = z < l2 ? z : l2;
        h2 = z > h2 ? z : h2;
        ++slots[src[14] & mask];
    }
    lo[0] = l0; lo[1] = l1; lo[2] = l2;
    hi[0] = h0; hi[1] = h1; hi[2] = h2;
}

}  // namespace

void LasRecordWriter::addRecords(const uint8_t *base, const uint32_t *index, size_t n)
{
    while (n > 0) {
        if (used_ + len_ > buffer_.size() && !flush())
            return;
        const size_t m = std::min(n, (buffer_.size() - used_) / len_);
        uint8_t *dst = buffer_.data() + used_;
        auto run = [&](auto copier) {
            copier(base, index, m, len_, dst, lo_, hi_, returnSlots_.data(), returnMask_);
        };
        // The record lengths of the point formats without extra bytes.
        switch (len_) {
        case 20: run(gather<20>); break;
        case 26: run(gather<26>); break;
        case 28: run(gather<28>); break;
        case 30: run(gather<30>); break;
        case 34: run(gather<34>); break;
        case 36: run(gather<36>); break;
        case 38: run(gather<38>); break;
        default: run(gather<0>); break;
        }
        used_ += m * len_;
        points_ += m;
        index += m;
        n -= m;
    }
}

bool LasRecordWriter::addPoint(const PointCloud &p)
{
    if (used_ + len_ > buffer_.size() && !flush())
        return false;
    uint8_t *dst = buffer_.data() + used_;
    if (header_.extraBytesPerPoint)  // a decoded point has no extra bytes of its own
        std::fill(dst + (len_ - header_.extraBytesPerPoint), dst + len_, uint8_t(0));
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
    const uint8_t *bytes = buffer_.data();
    size_t size = used_;
    if (laz_ && used_) {
        packed_.clear();
        laz_->addRecords(buffer_.data(), used_ / len_, packed_);
        bytes = packed_.data();
        size = packed_.size();
    }
    if (size && std::fwrite(bytes, 1, size, file_) != size) {
        failed_ = true;
        error_ = "Could not write the file " + path_;
        return false;
    }
    blockBytes_ += size;
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
    // Returns 1 to 5 (1 to 15 in the extended formats) have a count each.
    const size_t counted = header_.pointDataFormat >= 6 ? 15 : 5;
    h.numberOfPointsByReturn.fill(0);
    for (size_t r = 1; r <= counted; ++r)
        h.numberOfPointsByReturn[r - 1] = returnSlots_[r];
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
    if (ok && laz_) {
        // The chunk table follows the chunks; its position goes before them.
        uint8_t pointer[8];
        const std::vector<uint8_t> table = laz_->finish(dataStart_, blockBytes_, pointer);
        ok = std::fwrite(table.data(), 1, table.size(), file_) == table.size() &&
             std::fseek(file_, static_cast<long>(dataStart_), SEEK_SET) == 0 &&
             std::fwrite(pointer, 1, 8, file_) == 8 && std::fseek(file_, 0, SEEK_END) == 0;
        blockBytes_ += table.size();
    }
    if (ok && !h.evlrs.empty()) {
        h.evlrStart = dataStart_ + blockBytes_;
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
    packed_.clear();
    packed_.shrink_to_fit();
    laz_.reset();
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
    laz_.reset();
}

}  // namespace VerdantaIO
