#include "BlockRun.h"

#include "LargeVector.h"
#include "LasIO.h"
#include "LasStream.h"
#include "Threads.h"

#include <QTemporaryFile>

#if defined(__linux__)
#include <sys/mman.h>
#endif

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <thread>

#ifdef __GLIBC__
#include <malloc.h>
#endif

namespace BlockRun {

using VerdantaIO::PointCloud;

namespace {

std::atomic<uint64_t> g_budget{0};  // 0: a quarter of the physical memory

uint64_t bucketBudget()
{
    const uint64_t b = g_budget.load();
    return b ? b : GridExtent::memoryBudget() / 2;
}

// Records handed out by a sequential pass are tested against the windows with
// this slack; the decoded points are tested exactly later.
constexpr double kSlack = 1e-3;
// Records read per step of the pass (few enough to be still in the cache
// when they are handed out), and bytes buffered per row before a spill.
constexpr uint64_t kPassChunk = 1 << 16;
constexpr size_t kSpillAt = 4 << 20;
// Buffers from this size up are kept in huge pages (each fault of a small
// page costs more than the work done on it).
constexpr size_t kHugeFrom = 2 << 20;
// Files from this many records up are read in two halves at once.
constexpr uint64_t kTwoPartsFrom = 1 << 15;
// Blocks finished ahead of the one handed back next, at most.
constexpr size_t kAhead = 4;

// The progress of a block on a worker thread: it only carries the run's
// cancellation to the block.
class WorkerProgress : public CProcessBase {
public:
    explicit WorkerProgress(const std::atomic<bool> &stop) : stop_(stop) {}
    void SetMessage(const char *) override {}
    bool SetPosition(double) override { return !stop_.load(); }
    bool StepIt() override { return !stop_.load(); }
    void SetStageCount(int32_t) override {}
    void SetStageOffset(double) override {}

private:
    const std::atomic<bool> &stop_;
};

// The X or Y of a record (bytes 0-3 and 4-7 hold X and Y in every format).
inline double coordinate(const uint8_t *rec, int offset, double scale, double shift)
{
    int32_t v;
    std::memcpy(&v, rec + offset, 4);
    return v * scale + shift;
}

// Records appended one after another. Unlike a vector of bytes it does not
// clear the room it grows into, which would write every byte twice.
class Records {
public:
    Records() = default;
    Records(const Records &) = delete;
    Records &operator=(const Records &) = delete;
    Records(Records &&o) noexcept { swap(o); }
    Records &operator=(Records &&o) noexcept
    {
        swap(o);
        return *this;
    }
    ~Records() { std::free(data_); }
    void swap(Records &o) noexcept
    {
        std::swap(data_, o.data_), std::swap(size_, o.size_), std::swap(capacity_, o.capacity_);
    }

    const uint8_t *data() const { return data_; }
    uint8_t *data() { return data_; }
    size_t size() const { return size_; }
    bool empty() const { return size_ == 0; }
    size_t capacity() const { return capacity_; }
    void clear() { size_ = 0; }
    // Frees the memory.
    void release()
    {
        std::free(data_);
        data_ = nullptr, size_ = capacity_ = 0;
    }
    // Room for n bytes in all (large buffers in huge pages); false when the
    // memory cannot be had.
    bool reserve(size_t n)
    {
        if (n <= capacity_)
            return true;
        void *grown = std::realloc(data_, n);
        if (!grown)
            return false;
        data_ = static_cast<uint8_t *>(grown), capacity_ = n;
#if defined(__linux__) && defined(MADV_HUGEPAGE)
        if (n >= kHugeFrom) {
            const uintptr_t page = 4096, begin = (reinterpret_cast<uintptr_t>(data_) + page - 1) & ~(page - 1);
            const uintptr_t end = (reinterpret_cast<uintptr_t>(data_) + n) & ~(page - 1);
            if (end > begin)
                madvise(reinterpret_cast<void *>(begin), end - begin, MADV_HUGEPAGE);
        }
#endif
        return true;
    }
    // n bytes more, left as they are; the caller fills them.
    uint8_t *grow(size_t n)
    {
        if (size_ + n > capacity_ && !reserve(std::max(size_ + n, capacity_ + capacity_ / 2 + (64 << 10))))
            throw std::bad_alloc();
        uint8_t *at = data_ + size_;
        size_ += n;
        return at;
    }
    void append(const uint8_t *rec, size_t n) { std::memcpy(grow(n), rec, n); }

private:
    uint8_t *data_ = nullptr;
    size_t size_ = 0, capacity_ = 0;
};

// The records of one block (or, when they spill, of one block row), in
// memory or partly spilled to a file.
struct Bucket {
    Records held;
    std::unique_ptr<QTemporaryFile> file;
};

// Keeps the memory of one block's arrays for the next block while a run
// lasts. The C library would otherwise hand every large array back to the
// system when it is freed, and each block would fault its pages in (and
// have them zeroed) anew, which costs as much as a fifth of the work.
class KeptMemory {
public:
    KeptMemory()
    {
#ifdef __GLIBC__
        mallopt(M_MMAP_THRESHOLD, 512 << 20);
        mallopt(M_TRIM_THRESHOLD, 1024 << 20);
#endif
    }
    ~KeptMemory()
    {
#ifdef __GLIBC__
        mallopt(M_MMAP_THRESHOLD, 128 << 10);  // the library's defaults
        mallopt(M_TRIM_THRESHOLD, 128 << 10);
        malloc_trim(0);
#endif
    }
};

}  // namespace

uint64_t setBucketBudget(uint64_t bytes) { return g_budget.exchange(bytes); }

void BlockRecords::copy(const std::vector<PointCloud> &points, VerdantaIO::LasRecordWriter &to) const
{
    // The points keep the order of their records, so those of each piece
    // form one run.
    std::vector<uint32_t> index;
    index.reserve(points.size());
    size_t p = 0, first = 0;
    for (const Piece &piece : pieces) {
        index.clear();
        for (; p < points.size() && points[p].reserved < first + piece.count; ++p)
            index.push_back(uint32_t(points[p].reserved - first));
        to.addRecords(piece.data, index.data(), index.size());
        first += piece.count;
    }
}

Layout layout(const GridExtent::Bounds &e, RowOrder order)
{
    Layout out;
    if (e.empty || !(e.maxX >= e.minX) || !(e.maxY >= e.minY) || !std::isfinite(e.maxX - e.minX) ||
        !std::isfinite(e.maxY - e.minY))
        return out;
    const int cols = std::max(1, int(std::ceil((e.maxX - e.minX) / kBlockSize)));
    const int rows = std::max(1, int(std::ceil((e.maxY - e.minY) / kBlockSize)));
    out.cols = cols;
    out.blocks.reserve(size_t(cols) * rows);
    for (int j = 0; j < rows; ++j)
        for (int i = 0; i < cols; ++i) {
            Block b;
            b.left = e.minX + kBlockSize * i;
            b.right = b.left + kBlockSize;
            if (order == RowOrder::FromSouth) {
                b.bottom = e.minY + kBlockSize * j;
                b.top = b.bottom + kBlockSize;
            } else {
                b.top = e.maxY - kBlockSize * j;
                b.bottom = b.top - kBlockSize;
            }
            b.lastCol = i == cols - 1;
            b.lastRow = j == rows - 1;
            if (b.lastCol)
                b.right = std::max(b.right, e.maxX);
            if (b.lastRow && order == RowOrder::FromSouth)
                b.top = std::max(b.top, e.maxY);
            if (b.lastRow && order == RowOrder::FromNorth)
                b.bottom = std::min(b.bottom, e.minY);
            out.blocks.push_back(b);
        }
    return out;
}

GridExtent::Bounds extentOf(const VerdantaIO::CLASIO &las, QStringList &notes)
{
    VerdantaIO::LASExtent pe;
    if (!las.PointExtent(pe))
        return GridExtent::Bounds();
    return extentOf(las, GridExtent::of(pe), notes);
}

GridExtent::Bounds extentOf(const VerdantaIO::CLASIO &las, const GridExtent::Bounds &pts, QStringList &notes)
{
    GridExtent::Bounds box;
    if (pts.empty)
        return box;
    std::string note;
    box = GridExtent::choose(las.path, GridExtent::of(las.header), pts, kBlockSize, kBlockSize, note);
    if (!note.empty())
        notes << QString::fromLocal8Bit(note.c_str());
    box.add(pts);
    return box;
}

namespace {

bool sameLayout(const Layout &a, const Layout &b)
{
    if (a.cols != b.cols || a.blocks.size() != b.blocks.size())
        return false;
    for (size_t k = 0; k < a.blocks.size(); ++k) {
        const Block &p = a.blocks[k], &q = b.blocks[k];
        if (p.left != q.left || p.right != q.right || p.bottom != q.bottom || p.top != q.top ||
            p.lastCol != q.lastCol || p.lastRow != q.lastRow)
            return false;
    }
    return true;
}

}  // namespace

Status runOverFile(const VerdantaIO::CLASIO &las, RowOrder order, Job &job, QStringList &notes, CProcessBase *progress,
                   double start, double span, std::string &error)
{
    // Blocks over the header's bounds where they are finite and would not
    // make far more blocks than the points could fill; otherwise the
    // points' extent comes first from a scan of their own.
    const GridExtent::Bounds stated = GridExtent::of(las.header);
    const double cols = std::ceil((stated.maxX - stated.minX) / kBlockSize),
                 rows = std::ceil((stated.maxY - stated.minY) / kBlockSize);
    const double most = std::max(64.0, double(las.header.numberOfPointRecords) / 1000.0);
    if (!(std::isfinite(cols) && std::isfinite(rows) && cols >= 0 && rows >= 0 &&
          std::max(1.0, cols) * std::max(1.0, rows) <= most)) {
        job.check = nullptr;
        job.layout = layout(extentOf(las, notes), order);
        return run(job, progress, start, span, error);
    }
    job.layout = layout(stated, order);
    Layout right;
    bool again = false;
    QStringList found;
    job.check = [&](const GridExtent::Bounds &records) {
        right = layout(extentOf(las, records, found), order);
        again = !sameLayout(right, job.layout);
        return !again;
    };
    Status status = run(job, progress, start, span, error);
    job.check = nullptr;
    notes << found;
    if (!again)
        return status;
    job.layout = std::move(right);
    return run(job, progress, start, span, error);
}

Status run(const Job &job, CProcessBase *progress, double start, double span, std::string &error)
{
    const std::vector<Block> &blocks = job.layout.blocks;
    const size_t count = blocks.size();
    if (count == 0)
        return Status::Done;
    const size_t cols = size_t(std::max(1, job.layout.cols)), rows = count / cols;
    const double m = std::min(job.margin, 0.5 * kBlockSize);
    // The share of the progress that the reading pass takes.
    const double passShare = 0.1 * span;
    auto report = [&](double f) { return !progress || progress->SetPosition(start + f); };

    const KeptMemory kept;
    VerdantaIO::LasRecordReader reader;
    if (!reader.open(job.path)) {
        error = reader.lastError();
        return Status::Failed;
    }
    const VerdantaIO::PointHeader &h = reader.header();
    const uint64_t n = reader.count();
    const uint16_t len = reader.recordLength();

    // The windows of the rows and, within a row, of the columns.
    std::vector<double> rowLo(rows), rowHi(rows), colLo(cols), colHi(cols);
    for (size_t j = 0; j < rows; ++j)
        rowLo[j] = blocks[j * cols].bottom - m, rowHi[j] = blocks[j * cols].top + m;
    for (size_t i = 0; i < cols; ++i)
        colLo[i] = blocks[i].left - m, colHi[i] = blocks[i].right + m;
    const bool fromSouth = rows < 2 || blocks[cols].bottom > blocks[0].bottom;
    // The rows or columns whose window may hold a coordinate: the one it
    // lies in by its distance from the first, and its neighbours.
    auto around = [](double offset, size_t limit, size_t &a, size_t &b) {
        const double at = std::floor(offset / kBlockSize);
        const double lo = std::max(0.0, at - 1), hi = std::min(double(limit) - 1, at + 1);
        if (!(lo <= hi))
            return false;
        a = size_t(lo), b = size_t(hi);
        return true;
    };

    // The pass: every record into the bucket of each block whose window
    // holds it. When the records would not fit the budget they go by block
    // row instead, spilling to one scratch file per row, and a row's bucket
    // is split among its blocks when its turn comes. The file is read in two
    // halves at once, each into buckets of its own (the first half's records
    // come first in every block, so a block keeps the file's order).
    const double widened = 1.0 + 2.0 * m / kBlockSize;
    const bool spill = double(n) * len * widened * widened > double(bucketBudget());
    const unsigned parts = n >= kTwoPartsFrom && threadBudget(2) > 1 ? 2u : 1u;
    std::vector<std::vector<Bucket>> buckets(parts);
    for (std::vector<Bucket> &part : buckets)
        part.resize(spill ? rows : count);
    auto flush = [&](Bucket &b, std::string &why) {
        if (b.held.empty())
            return true;
        if (!b.file) {
            b.file.reset(new QTemporaryFile(job.scratchFolder + "/blockrowXXXXXX.tmp"));
            if (!b.file->open()) {
                why = "Could not create a scratch file in " + job.scratchFolder.toStdString();
                return false;
            }
        }
        if (b.file->write(reinterpret_cast<const char *>(b.held.data()), qint64(b.held.size())) !=
            qint64(b.held.size())) {
            why = "Could not write the scratch file " + b.file->fileName().toStdString();
            return false;
        }
        b.held.clear();
        return true;
    };
    std::atomic<bool> passStop{false};
    std::atomic<uint64_t> passDone{0};
    // The extremes of the records' X and Y (in record units) of each part.
    struct Extremes {
        int32_t lo[2] = {INT32_MAX, INT32_MAX}, hi[2] = {INT32_MIN, INT32_MIN};
    };
    std::vector<Extremes> extremes(parts);
    // Distributes records [from, to) into `mine` with its own reader; the
    // first part reports progress.
    auto pass = [&](VerdantaIO::LasRecordReader &in, uint64_t from, uint64_t to, std::vector<Bucket> &mine,
                    Extremes &seen, bool reports, std::string &why) {
        // Room for a block's share of the records and then some: a bucket
        // that outgrew its room would be moved, and room not filled costs
        // no memory.
        if (!spill)
            for (Bucket &b : mine)
                if (!b.held.reserve(size_t(1.25 * double(to - from) * len / double(count) * widened * widened) + len))
                    throw std::bad_alloc();
        for (uint64_t s = from; s < to && !passStop.load(); s += kPassChunk) {
            const uint64_t k = std::min(kPassChunk, to - s);
            const uint8_t *recs = in.load(s, k);
            if (!recs) {
                why = in.lastError();
                return Status::Failed;
            }
            for (uint64_t r = 0; r < k; ++r) {
                const uint8_t *rec = recs + r * len;
                int32_t X, Y;
                std::memcpy(&X, rec, 4);
                std::memcpy(&Y, rec + 4, 4);
                seen.lo[0] = std::min(seen.lo[0], X), seen.hi[0] = std::max(seen.hi[0], X);
                seen.lo[1] = std::min(seen.lo[1], Y), seen.hi[1] = std::max(seen.hi[1], Y);
                const double y = Y * h.scaleY + h.offsetY;
                size_t a, b;
                if (!around(fromSouth ? y - blocks[0].bottom : blocks[0].top - y, rows, a, b))
                    continue;
                if (spill) {
                    for (size_t j = a; j <= b; ++j)
                        if (y >= rowLo[j] - kSlack && y <= rowHi[j] + kSlack)
                            mine[j].held.append(rec, len);
                    continue;
                }
                const double x = X * h.scaleX + h.offsetX;
                size_t c0, c1;
                if (!around(x - blocks[0].left, cols, c0, c1))
                    continue;
                for (size_t j = a; j <= b; ++j)
                    if (y >= rowLo[j] - kSlack && y <= rowHi[j] + kSlack)
                        for (size_t i = c0; i <= c1; ++i)
                            if (x >= colLo[i] - kSlack && x <= colHi[i] + kSlack)
                                mine[j * cols + i].held.append(rec, len);
            }
            in.release(s, k);
            if (spill)
                for (Bucket &b : mine)
                    if (b.held.size() >= kSpillAt && !flush(b, why))
                        return Status::Failed;
            passDone += k;
            if (reports && !report(passShare * double(passDone.load()) / double(n)))
                return Status::Stopped;
        }
        if (spill)
            for (Bucket &b : mine)
                if (!flush(b, why))
                    return Status::Failed;
        return Status::Done;
    };
    {
        const uint64_t half = parts > 1 ? n / 2 : n;
        Status second = Status::Done;
        std::string secondError;
        std::thread other;
        VerdantaIO::LasRecordReader otherReader;
        if (parts > 1) {
            if (!otherReader.open(job.path)) {
                error = otherReader.lastError();
                return Status::Failed;
            }
            other = std::thread([&] {
                second = pass(otherReader, half, n, buckets[1], extremes[1], false, secondError);
                if (second != Status::Done)
                    passStop = true;
            });
        }
        Status first = pass(reader, 0, half, buckets[0], extremes[0], true, error);
        if (first != Status::Done)
            passStop = true;
        if (other.joinable())
            other.join();
        if (first == Status::Done && second != Status::Done)
            error = secondError;
        if (first == Status::Failed || second == Status::Failed)
            return Status::Failed;
        if (first != Status::Done || second != Status::Done)
            return Status::Stopped;
    }
    if (job.check) {
        GridExtent::Bounds seen;
        for (const Extremes &e : extremes)
            if (e.lo[0] <= e.hi[0]) {
                const double x0 = e.lo[0] * h.scaleX + h.offsetX, x1 = e.hi[0] * h.scaleX + h.offsetX;
                const double y0 = e.lo[1] * h.scaleY + h.offsetY, y1 = e.hi[1] * h.scaleY + h.offsetY;
                seen.add(std::min(x0, x1), std::min(y0, y1));
                seen.add(std::max(x0, x1), std::max(y0, y1));
            }
        if (!job.check(seen))
            return Status::Stopped;
    }

    // The blocks, on up to two threads.
    struct Result {
        bool ready = false;
        int status = 0;
        std::vector<PointCloud> points;
        std::vector<Records> records;  // those the points came from
    };
    std::vector<Result> results(count);
    std::vector<Records> blockRecords(spill ? count : 0);  // from the split of their row
    std::unique_ptr<std::once_flag[]> rowSplit(new std::once_flag[rows]);
    std::mutex mutex;
    std::condition_variable changed;
    std::atomic<bool> stop{false}, failed{false};
    std::atomic<size_t> next{0};
    size_t handed = 0;  // blocks handed back so far
    std::string workerError;
    // Buffers of finished blocks, for the next ones: fresh memory would be
    // faulted in anew for every block.
    std::vector<Records> spareRecords;
    std::vector<std::vector<PointCloud>> sparePoints;
    constexpr size_t kSpares = 8;
    auto spare = [&](auto &pool, auto &into) {
        std::lock_guard<std::mutex> lock(mutex);
        if (!pool.empty()) {
            into.swap(pool.back());
            pool.pop_back();
        }
        into.clear();
    };
    auto giveBack = [&](auto &pool, auto &buffer) {
        std::lock_guard<std::mutex> lock(mutex);
        if (pool.size() < kSpares && buffer.capacity()) {
            pool.emplace_back();
            pool.back().swap(buffer);
        }
    };

    // Splits a row's records among its blocks.
    auto split = [&](size_t j) {
        for (std::vector<Bucket> &part : buckets) {
            Bucket &b = part[j];
            Records recs;
            if (b.file) {
                spare(spareRecords, recs);
                const qint64 bytes = b.file->size();
                if (!b.file->seek(0) || b.file->read(reinterpret_cast<char *>(recs.grow(size_t(bytes))), bytes) != bytes) {
                    std::lock_guard<std::mutex> lock(mutex);
                    workerError = "Could not read the scratch file " + b.file->fileName().toStdString();
                    failed = stop = true;
                    return;
                }
                b.file.reset();
            } else {
                recs.swap(b.held);
            }
            // Room for the row's records in its blocks (a little more for
            // the margins), so that they are not moved while they grow.
            if (&part == &buckets.front())
                for (size_t i = 0; i < cols; ++i) {
                    spare(spareRecords, blockRecords[j * cols + i]);
                    if (!blockRecords[j * cols + i].reserve(
                            size_t(double(recs.size()) * buckets.size() / cols * (1.0 + 2.5 * m / kBlockSize))))
                        throw std::bad_alloc();
                }
            for (size_t r = 0; r + len <= recs.size(); r += len) {
                const uint8_t *rec = recs.data() + r;
                const double x = coordinate(rec, 0, h.scaleX, h.offsetX);
                size_t a, e;
                if (!around(x - blocks[0].left, cols, a, e))
                    continue;
                for (size_t i = a; i <= e; ++i)
                    if (x >= colLo[i] - kSlack && x <= colHi[i] + kSlack)
                        blockRecords[j * cols + i].append(rec, len);
            }
            giveBack(spareRecords, recs);
        }
    };
    auto work = [&] {
        WorkerProgress blockProgress(stop);
        for (;;) {
            const size_t k = next.fetch_add(1);
            if (k >= count)
                return;
            {
                std::unique_lock<std::mutex> lock(mutex);
                changed.wait(lock, [&] { return stop.load() || k < handed + kAhead; });
            }
            if (stop)
                return;
            if (spill) {
                std::call_once(rowSplit[k / cols], split, k / cols);
                if (stop)
                    return;
            }
            // The block's points: its window exactly, in file order (its
            // buckets of the two halves one after the other).
            const Block &bl = blocks[k];
            std::vector<Records *> from;
            if (spill)
                from.push_back(&blockRecords[k]);
            else
                for (std::vector<Bucket> &part : buckets)
                    from.push_back(&part[k].held);
            size_t total = 0;
            for (const Records *r : from)
                total += r->size() / len;
            // The points of a finished block are decoded over: resizing
            // keeps them rather than clearing each one first.
            std::vector<PointCloud> points;
            {
                std::lock_guard<std::mutex> lock(mutex);
                if (!sparePoints.empty()) {
                    points.swap(sparePoints.back());
                    sparePoints.pop_back();
                }
            }
            if (points.capacity() < total) {  // with room for the next, somewhat larger block
                points.clear();
                reserveLarge(points, total + total / 4, kHugeFrom);
            }
            points.resize(total);
            size_t at = 0;
            for (Records *r : from) {
                reader.decodeCopies(r->data(), r->size() / len, points.data() + at);
                at += r->size() / len;
            }
            // The points of the window, each numbered by its record; the
            // records stay with the block until it is handed back.
            size_t kept = 0;
            for (size_t i = 0; i < total; ++i) {
                const PointCloud &p = points[i];
                if (p.x >= bl.left - m && p.x <= bl.right + m && p.y >= bl.bottom - m && p.y <= bl.top + m) {
                    if (kept != i)
                        points[kept] = p;
                    points[kept++].reserved = uint32_t(i);
                }
            }
            points.resize(kept);
            std::vector<Records> held;
            for (Records *r : from)
                held.push_back(std::move(*r));
            const int status = job.process(k, points, &blockProgress);
            {
                std::lock_guard<std::mutex> lock(mutex);
                results[k].status = status;
                results[k].points.swap(points);
                results[k].records.swap(held);
                results[k].ready = true;
            }
            changed.notify_all();
        }
    };
    const unsigned threads = unsigned(std::min<size_t>(count, threadBudget(2)));
    std::vector<std::thread> workers;
    for (unsigned t = 0; t < threads; ++t)
        workers.emplace_back(work);
    auto finish = [&](Status s) {
        {
            std::lock_guard<std::mutex> lock(mutex);
            if (s != Status::Done)
                stop = true;
        }
        changed.notify_all();
        for (std::thread &t : workers)
            t.join();
        if (failed) {
            error = workerError;
            return Status::Failed;
        }
        return s;
    };

    const double blockShare = span - passShare;
    for (size_t k = 0; k < count; ++k) {
        std::unique_lock<std::mutex> lock(mutex);
        while (!results[k].ready && !failed) {
            changed.wait_for(lock, std::chrono::milliseconds(50));
            lock.unlock();
            const bool go = report(passShare + blockShare * double(k) / double(count));
            lock.lock();
            if (!go) {
                lock.unlock();
                return finish(Status::Stopped);
            }
        }
        if (failed) {
            lock.unlock();
            return finish(Status::Failed);
        }
        Result r = std::move(results[k]);
        results[k] = Result();
        ++handed;
        lock.unlock();
        changed.notify_all();
        BlockRecords records;
        records.length = len;
        for (const Records &piece : r.records)
            records.pieces.push_back({piece.data(), piece.size() / len});
        if (!job.take(k, r.status, r.points, records) ||
            !report(passShare + blockShare * double(k + 1) / double(count)))
            return finish(Status::Stopped);
        giveBack(sparePoints, r.points);
        for (Records &piece : r.records)
            if (spill)
                giveBack(spareRecords, piece);
    }
    return finish(Status::Done);
}

}  // namespace BlockRun
