#include "LasIndex.h"

#include "LazCodec.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <map>
#include <mutex>
#include <thread>

namespace fs = std::filesystem;

namespace VerdantaIO {
namespace las {

namespace {

constexpr char kMagic[8] = {'V', 'L', 'D', 'X', 'I', 'D', 'X', '1'};
constexpr size_t kSidecarHeader = 8 + 8 * 4 + 8 * 3 + 4 * 2 + 8 * 4;
constexpr double kPointsPerCell = 1024.0;  // small cells: a window reads few points outside it
constexpr uint64_t kMaxCells = 1u << 22;
constexpr uint64_t kReleaseEvery = 1u << 20;  // records scanned between releases of their pages
constexpr uint64_t kCacheBudget = 200'000'000;  // point ids held in memory at most

std::mutex g_mutex;
std::mutex g_buildMutex;  // held while an index is loaded or built
std::map<std::string, std::shared_ptr<const IndexedFile>> g_cache;
std::map<std::string, SpatialIndex::Source> g_sources;
uint64_t g_cacheIds = 0;

bool fileStamp(const std::string &path, uint64_t &size, int64_t &modified)
{
    std::error_code ec;
    const fs::path p = fs::path(path);
    size = fs::file_size(p, ec);
    if (ec)
        return false;
    const auto t = fs::last_write_time(p, ec);
    if (ec)
        return false;
    modified = static_cast<int64_t>(t.time_since_epoch().count());
    return true;
}

// FNV-1a over the header block and the first and last 4 KiB of the point
// data, so that a rewrite with the same size and time stamp is still noticed.
uint64_t fingerprintOf(const MappedFile &f, const PointBlock &b)
{
    uint64_t h = 1469598103934665603ull;
    auto mix = [&](uint64_t from, uint64_t to) {
        for (uint64_t i = from; i < to; ++i) {
            h ^= f.data()[i];
            h *= 1099511628211ull;
        }
    };
    const uint64_t size = f.size();
    const uint64_t headEnd = std::min<uint64_t>(size, b.offset + 4096);
    mix(0, headEnd);
    const uint64_t tailStart = std::max<uint64_t>(headEnd, size >= 4096 ? size - 4096 : 0);
    mix(tailStart, size);
    return h;
}

// The stored X and Y of every point of a compressed file, chunk by chunk;
// false when a chunk is damaged.
bool compressedXY(const IndexedFile &ix, std::vector<int32_t> &xs, std::vector<int32_t> &ys, std::string &error)
{
    const laz::LazChunks &c = *ix.block.laz;
    xs.resize(ix.block.count);
    ys.resize(ix.block.count);
    laz::ChunkDecoder decoder(c.items());
    std::vector<uint8_t> records;
    for (size_t k = 0; k < c.chunkCount(); ++k) {
        records.resize(c.pointCount(k) * c.recordLength());
        if (!c.decode(k, decoder, records.data(), error))
            return false;
        for (uint64_t i = 0; i < c.pointCount(k); ++i) {
            xs[c.firstPoint(k) + i] = load<int32_t>(records.data() + i * c.recordLength());
            ys[c.firstPoint(k) + i] = load<int32_t>(records.data() + i * c.recordLength() + 4);
        }
    }
    return true;
}

bool build(IndexedFile &ix, std::string &error)
{
    const uint64_t n = ix.block.count;
    const PointHeader &h = ix.header;
    ix.ownIds.clear();
    ix.ids = nullptr;
    ix.idCount = 0;
    ix.cellStart.assign(2, 0);
    ix.nx = ix.ny = 1;
    ix.cell = 1.0;
    if (n == 0) {
        ix.originX = ix.originY = 0.0;
        ix.dataMinX = ix.dataMaxX = ix.dataMinY = ix.dataMaxY = 0.0;
        return true;
    }
    std::vector<int32_t> xs, ys;  // a compressed file's coordinates, decoded once
    if (ix.block.laz && !compressedXY(ix, xs, ys, error))
        return false;
    auto xy = [&](uint64_t i, int32_t &X, int32_t &Y) {
        if (!xs.empty()) {
            X = xs[i];
            Y = ys[i];
            return;
        }
        const uint8_t *r = ix.record(i);
        X = load<int32_t>(r);
        Y = load<int32_t>(r + 4);
    };
    int32_t loX = INT32_MAX, hiX = INT32_MIN, loY = INT32_MAX, hiY = INT32_MIN;
    for (uint64_t i = 0; i < n; ++i) {
        int32_t X, Y;
        xy(i, X, Y);
        loX = std::min(loX, X);
        hiX = std::max(hiX, X);
        loY = std::min(loY, Y);
        hiY = std::max(hiY, Y);
        if (i % kReleaseEvery == kReleaseEvery - 1)  // scanned pages may go
            ix.file.releaseResident(ix.block.offset + (i + 1 - kReleaseEvery) * ix.block.recordLength,
                                    kReleaseEvery * ix.block.recordLength);
    }
    ix.dataMinX = loX * h.scaleX + h.offsetX;
    ix.dataMaxX = hiX * h.scaleX + h.offsetX;
    ix.dataMinY = loY * h.scaleY + h.offsetY;
    ix.dataMaxY = hiY * h.scaleY + h.offsetY;
    if (ix.dataMinX > ix.dataMaxX)
        std::swap(ix.dataMinX, ix.dataMaxX);  // negative scale
    if (ix.dataMinY > ix.dataMaxY)
        std::swap(ix.dataMinY, ix.dataMaxY);
    const double w = ix.dataMaxX - ix.dataMinX, hgt = ix.dataMaxY - ix.dataMinY;
    const double side = std::max({w, hgt, 1e-9});
    double cell = std::sqrt(std::max(w, side * 1e-3) * std::max(hgt, side * 1e-3) *
                            kPointsPerCell / static_cast<double>(n));
    cell = std::max(cell, side / 4096.0);
    auto cellsFor = [&](double c) {
        return static_cast<uint64_t>(std::floor(w / c) + 1) * static_cast<uint64_t>(std::floor(hgt / c) + 1);
    };
    while (cellsFor(cell) > kMaxCells)
        cell *= 1.5;
    ix.cell = cell;
    ix.originX = ix.dataMinX;
    ix.originY = ix.dataMinY;
    ix.nx = static_cast<uint32_t>(std::floor(w / cell) + 1);
    ix.ny = static_cast<uint32_t>(std::floor(hgt / cell) + 1);
    const uint64_t cells = static_cast<uint64_t>(ix.nx) * ix.ny;

    std::vector<uint32_t> cellOf(n);
    std::vector<uint64_t> counts(cells + 1, 0);
    for (uint64_t i = 0; i < n; ++i) {
        int32_t X, Y;
        xy(i, X, Y);
        const double x = X * h.scaleX + h.offsetX;
        const double y = Y * h.scaleY + h.offsetY;
        const uint32_t cx = std::min<uint32_t>(ix.nx - 1, static_cast<uint32_t>(std::max(0.0, (x - ix.originX) / cell)));
        const uint32_t cy = std::min<uint32_t>(ix.ny - 1, static_cast<uint32_t>(std::max(0.0, (y - ix.originY) / cell)));
        const uint32_t c = cy * ix.nx + cx;
        cellOf[i] = c;
        ++counts[c + 1];
        if (i % kReleaseEvery == kReleaseEvery - 1)  // scanned pages may go
            ix.file.releaseResident(ix.block.offset + (i + 1 - kReleaseEvery) * ix.block.recordLength,
                                    kReleaseEvery * ix.block.recordLength);
    }
    for (uint64_t c = 0; c < cells; ++c)
        counts[c + 1] += counts[c];
    ix.cellStart = counts;
    ix.ownIds.resize(n);
    for (uint64_t i = 0; i < n; ++i)
        ix.ownIds[counts[cellOf[i]]++] = static_cast<uint32_t>(i);
    ix.ids = ix.ownIds.data();
    ix.idCount = n;
    return true;
}

bool loadSidecar(const std::string &sidecar, IndexedFile &ix)
{
    MappedFile &f = ix.sidecar;
    f.close();
    if (!f.open(sidecar) || f.size() < kSidecarHeader)
        return false;
    const uint8_t *d = f.data();
    if (std::memcmp(d, kMagic, 8) != 0)
        return false;
    size_t at = 8;
    auto next64 = [&]() { const uint64_t v = load<uint64_t>(d + at); at += 8; return v; };
    auto nextD = [&]() { const double v = load<double>(d + at); at += 8; return v; };
    const uint64_t lasSize = next64();
    const int64_t modified = static_cast<int64_t>(next64());
    const uint64_t fingerprint = next64();
    const uint64_t count = next64();
    if (lasSize != ix.fileSize || modified != ix.modified || fingerprint != ix.fingerprint ||
        count != ix.block.count)
        return false;
    ix.originX = nextD();
    ix.originY = nextD();
    ix.cell = nextD();
    ix.nx = load<uint32_t>(d + at);
    ix.ny = load<uint32_t>(d + at + 4);
    at += 8;
    ix.dataMinX = nextD();
    ix.dataMaxX = nextD();
    ix.dataMinY = nextD();
    ix.dataMaxY = nextD();
    const uint64_t cells = static_cast<uint64_t>(ix.nx) * ix.ny;
    if (ix.nx == 0 || ix.ny == 0 || cells > kMaxCells || !(ix.cell > 0.0) || !std::isfinite(ix.cell))
        return false;
    const uint64_t expected = kSidecarHeader + (cells + 1) * 8 + count * 4;
    if (f.size() != expected)
        return false;
    ix.cellStart.resize(cells + 1);
    std::memcpy(ix.cellStart.data(), d + at, (cells + 1) * 8);
    at += (cells + 1) * 8;
    if (ix.cellStart.front() != 0 || ix.cellStart.back() != count)
        return false;
    for (uint64_t c = 0; c < cells; ++c)
        if (ix.cellStart[c] > ix.cellStart[c + 1])
            return false;
    // The ids stay in the mapping (at a multiple of 8 bytes from its start,
    // so aligned); each must name a point of the file.
    const uint32_t *ids = reinterpret_cast<const uint32_t *>(d + at);
    for (uint64_t k = 0; k < count; ++k)
        if (ids[k] >= count)
            return false;
    f.releaseResident();  // the check touched every page
    ix.ids = ids;
    ix.idCount = count;
    ix.ownIds.clear();
    ix.ownIds.shrink_to_fit();
    return true;
}

bool writeSidecar(const std::string &sidecar, const IndexedFile &ix)
{
    // A name of this process and thread: another writer of the same sidecar
    // never writes into this file, and the rename replaces the sidecar whole.
    const std::string temp =
        sidecar + "." +
        std::to_string(std::hash<std::thread::id>{}(std::this_thread::get_id()) ^
                       static_cast<size_t>(std::chrono::steady_clock::now().time_since_epoch().count())) +
        ".tmp";
    FILE *out = std::fopen(temp.c_str(), "wb");
    if (!out)
        return false;
    std::vector<uint8_t> head(kSidecarHeader, 0);
    uint8_t *d = head.data();
    std::memcpy(d, kMagic, 8);
    size_t at = 8;
    auto put64 = [&](uint64_t v) { store<uint64_t>(d + at, v); at += 8; };
    auto putD = [&](double v) { store<double>(d + at, v); at += 8; };
    put64(ix.fileSize);
    put64(static_cast<uint64_t>(ix.modified));
    put64(ix.fingerprint);
    put64(ix.block.count);
    putD(ix.originX);
    putD(ix.originY);
    putD(ix.cell);
    store<uint32_t>(d + at, ix.nx);
    store<uint32_t>(d + at + 4, ix.ny);
    at += 8;
    putD(ix.dataMinX);
    putD(ix.dataMaxX);
    putD(ix.dataMinY);
    putD(ix.dataMaxY);
    bool ok = std::fwrite(head.data(), 1, head.size(), out) == head.size();
    ok = ok && std::fwrite(ix.cellStart.data(), 8, ix.cellStart.size(), out) == ix.cellStart.size();
    ok = ok && (ix.idCount == 0 || std::fwrite(ix.ids, 4, ix.idCount, out) == ix.idCount);
    ok = (std::fclose(out) == 0) && ok;
    std::error_code ec;
    if (ok)
        fs::rename(fs::path(temp), fs::path(sidecar), ec);
    if (!ok || ec) {
        fs::remove(fs::path(temp), ec);
        return false;
    }
    return true;
}

void evictIfNeeded()
{
    while (g_cacheIds > kCacheBudget && !g_cache.empty()) {
        auto victim = g_cache.begin();
        g_cacheIds -= victim->second->ownIds.size();
        g_cache.erase(victim);
    }
}

}  // namespace

std::shared_ptr<const IndexedFile> acquireIndex(const std::string &path, std::string &error)
{
    uint64_t size = 0;
    int64_t modified = 0;
    if (!fileStamp(path, size, modified)) {
        error = "Could not open " + path;
        return nullptr;
    }
    auto cached = [&]() -> std::shared_ptr<const IndexedFile> {
        std::lock_guard<std::mutex> lock(g_mutex);
        auto it = g_cache.find(path);
        if (it != g_cache.end() && it->second->fileSize == size && it->second->modified == modified) {
            g_sources[path] = SpatialIndex::Source::Cached;
            return it->second;
        }
        return nullptr;
    };
    if (auto hit = cached())
        return hit;
    // One thread loads or builds an index at a time: threads that read
    // windows of the same file wait for the first one's index rather than
    // each building and storing its own.
    std::lock_guard<std::mutex> building(g_buildMutex);
    if (auto hit = cached())
        return hit;
    auto ix = std::make_shared<IndexedFile>();
    if (!ix->file.open(path)) {
        error = "Could not open " + path;
        return nullptr;
    }
    if (!parseHeader(ix->file.data(), ix->file.size(), ix->header, ix->block, error, false))
        return nullptr;
    if (ix->block.count > UINT32_MAX) {
        error = "The file holds too many points for the spatial index";
        return nullptr;
    }
    ix->fileSize = ix->file.size();
    ix->modified = modified;
    ix->fingerprint = fingerprintOf(ix->file, ix->block);
    const std::string sidecar = SpatialIndex::sidecarPath(path);
    SpatialIndex::Source source = SpatialIndex::Source::LoadedSidecar;
    if (!loadSidecar(sidecar, *ix)) {
        ix->sidecar.close();
        if (!build(*ix, error))
            return nullptr;
        source = SpatialIndex::Source::BuiltInMemory;
        if (writeSidecar(sidecar, *ix)) {
            source = SpatialIndex::Source::Built;
            // Read the ids in place from now on rather than holding them
            // (what was just written holds the same index; if it cannot be
            // read back, the ids in memory stay in use).
            if (!loadSidecar(sidecar, *ix))
                ix->sidecar.close();
        }
    }
    std::lock_guard<std::mutex> lock(g_mutex);
    auto &slot = g_cache[path];
    if (slot)
        g_cacheIds -= slot->ownIds.size();
    slot = ix;
    g_cacheIds += ix->ownIds.size();
    g_sources[path] = source;
    evictIfNeeded();
    return ix;
}

void releaseIndexPages(const std::string &path)
{
    std::shared_ptr<const IndexedFile> ix;
    {
        std::lock_guard<std::mutex> lock(g_mutex);
        auto it = g_cache.find(path);
        if (it == g_cache.end())
            return;
        ix = it->second;
    }
    ix->file.releaseResident();
    ix->sidecar.releaseResident();
    if (ix->block.laz)
        ix->block.laz->releaseCache();
}

void forgetIndex(const std::string &path)
{
    {
        std::lock_guard<std::mutex> lock(g_mutex);
        auto it = g_cache.find(path);
        if (it != g_cache.end()) {
            g_cacheIds -= it->second->ownIds.size();
            g_cache.erase(it);
        }
        g_sources.erase(path);
    }
    std::error_code ec;
    fs::remove(fs::path(SpatialIndex::sidecarPath(path)), ec);
}

namespace {

// Whether a stored record lies in the window (and circle).
inline bool inWindow(const uint8_t *r, const PointHeader &h, double minX, double maxX, double minY, double maxY,
                     const Circle *circle)
{
    const double x = load<int32_t>(r) * h.scaleX + h.offsetX;
    if (x < minX || x > maxX)
        return false;
    const double y = load<int32_t>(r + 4) * h.scaleY + h.offsetY;
    if (y < minY || y > maxY)
        return false;
    if (circle) {
        const double dx = x - circle->centerX, dy = y - circle->centerY;
        if (dx * dx + dy * dy > circle->radius * circle->radius)
            return false;
    }
    return true;
}

// The window read of a compressed file: the candidates of the cells are
// visited in file order, so that each chunk they touch is decoded once
// (or taken from the file's cache of decoded chunks), and returned in the
// order of the cells as for a plain file.
bool scanCompressedCells(const IndexedFile &ix, uint32_t cx0, uint32_t cx1, uint32_t cy0, uint32_t cy1,
                         double minX, double maxX, double minY, double maxY, const Circle *circle,
                         std::vector<PointCloud> &out, std::string &error)
{
    const laz::LazChunks &c = *ix.block.laz;
    std::vector<uint32_t> candidates;
    for (uint32_t cy = cy0; cy <= cy1; ++cy)
        for (uint32_t cx = cx0; cx <= cx1; ++cx) {
            const uint64_t cell = static_cast<uint64_t>(cy) * ix.nx + cx;
            candidates.insert(candidates.end(), ix.ids + ix.cellStart[cell], ix.ids + ix.cellStart[cell + 1]);
        }
    std::vector<uint32_t> order(candidates.size());
    for (uint32_t i = 0; i < order.size(); ++i)
        order[i] = i;
    std::sort(order.begin(), order.end(), [&](uint32_t a, uint32_t b) { return candidates[a] < candidates[b]; });
    std::vector<PointCloud> found(candidates.size());
    std::vector<uint8_t> keep(candidates.size(), 0);
    laz::ChunkCursor cursor(c);
    for (uint32_t pos : order) {
        const uint8_t *r = cursor.record(candidates[pos], error);
        if (!r)
            return false;
        if (!inWindow(r, ix.header, minX, maxX, minY, maxY, circle))
            continue;
        decodePoint(r, ix.block.format, ix.header, found[pos]);
        keep[pos] = 1;
    }
    for (size_t i = 0; i < found.size(); ++i)
        if (keep[i])
            out.push_back(found[i]);
    return true;
}

void scanCells(const IndexedFile &ix, uint32_t cx0, uint32_t cx1, uint32_t cy0, uint32_t cy1,
               double minX, double maxX, double minY, double maxY, const Circle *circle,
               std::vector<PointCloud> &out)
{
    const PointHeader &h = ix.header;
    const double r2 = circle ? circle->radius * circle->radius : 0.0;
    const int format = ix.block.format;
    uint64_t most = 0;  // the points of the cells, room enough for those of the window
    for (uint32_t cy = cy0; cy <= cy1; ++cy)
        most += ix.cellStart[static_cast<uint64_t>(cy) * ix.nx + cx1 + 1] - ix.cellStart[static_cast<uint64_t>(cy) * ix.nx + cx0];
    out.reserve(out.size() + most);
    for (uint32_t cy = cy0; cy <= cy1; ++cy) {
        for (uint32_t cx = cx0; cx <= cx1; ++cx) {
            const uint64_t c = static_cast<uint64_t>(cy) * ix.nx + cx;
            const uint64_t end = ix.cellStart[c + 1];
            for (uint64_t k = ix.cellStart[c]; k < end; ++k) {
#if defined(__GNUC__)
                if (k + 8 < end)  // records of a cell are scattered: fetch ahead
                    __builtin_prefetch(ix.record(ix.ids[k + 8]));
#endif
                const uint8_t *r = ix.record(ix.ids[k]);
                const double x = load<int32_t>(r) * h.scaleX + h.offsetX;
                if (x < minX || x > maxX)
                    continue;
                const double y = load<int32_t>(r + 4) * h.scaleY + h.offsetY;
                if (y < minY || y > maxY)
                    continue;
                if (circle) {
                    const double dx = x - circle->centerX, dy = y - circle->centerY;
                    if (dx * dx + dy * dy > r2)
                        continue;
                }
                PointCloud p;
                decodePoint(r, format, h, p);
                out.push_back(p);
            }
        }
    }
}

}  // namespace

IndexedRecords::IndexedRecords(const IndexedFile &file) : file_(file)
{
    if (file.block.laz)
        cursor_ = std::make_unique<laz::ChunkCursor>(*file.block.laz);
}

IndexedRecords::~IndexedRecords()
{
    if (cursor_) {
        cursor_.reset();
        file_.block.laz->releaseCache();
    }
}

const uint8_t *IndexedRecords::compressed(uint64_t i, std::string &error) { return cursor_->record(i, error); }

bool queryIndex(const IndexedFile &ix, double minX, double maxX, double minY, double maxY,
                const Circle *circle, std::vector<PointCloud> &out, std::string &error)
{
    if (ix.block.count == 0 || !(minX <= maxX) || !(minY <= maxY))
        return true;
    if (maxX < ix.dataMinX || minX > ix.dataMaxX || maxY < ix.dataMinY || minY > ix.dataMaxY)
        return true;
    auto cellIndex = [&](double v, double origin, uint32_t n) {
        const double c = std::floor((v - origin) / ix.cell);
        if (c < 0)
            return 0u;
        if (c >= n - 1)
            return n - 1;
        return static_cast<uint32_t>(c);
    };
    const uint32_t cx0 = cellIndex(minX, ix.originX, ix.nx), cx1 = cellIndex(maxX, ix.originX, ix.nx);
    const uint32_t cy0 = cellIndex(minY, ix.originY, ix.ny), cy1 = cellIndex(maxY, ix.originY, ix.ny);
    if (ix.block.laz)
        return scanCompressedCells(ix, cx0, cx1, cy0, cy1, minX, maxX, minY, maxY, circle, out, error);
    scanCells(ix, cx0, cx1, cy0, cy1, minX, maxX, minY, maxY, circle, out);
    return true;
}

}  // namespace las

namespace SpatialIndex {

std::string sidecarPath(const std::string &lasPath) { return lasPath + ".ldx"; }

void releasePages(const std::string &lasPath) { las::releaseIndexPages(lasPath); }

void clearCache()
{
    std::lock_guard<std::mutex> lock(las::g_mutex);
    las::g_cache.clear();
    las::g_sources.clear();
    las::g_cacheIds = 0;
}

Source lastSource(const std::string &lasPath)
{
    std::lock_guard<std::mutex> lock(las::g_mutex);
    auto it = las::g_sources.find(lasPath);
    return it == las::g_sources.end() ? Source::None : it->second;
}

}  // namespace SpatialIndex
}  // namespace VerdantaIO
