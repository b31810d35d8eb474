#include "CloudGrid.h"

#include "LasIO.h"
#include "Threads.h"

#include <algorithm>
#include <cmath>
#include <condition_variable>
#include <exception>
#include <map>
#include <mutex>
#include <thread>
#include <vector>

namespace CloudGrid {

namespace {

// The ground area one block read covers: at usual densities (1 to 20
// points per square metre) a block holds some ten to a few hundred
// thousand points, enough to make the read's fixed cost negligible and
// little enough to keep a few blocks in memory.
constexpr double kBlockArea = 25600.0;
constexpr int64_t kMaxBlockRows = 4096;

struct Block {
    std::vector<std::string> texts;  // one per row of the block
    std::string error;
    std::exception_ptr exception;
    bool failed = false;
};

// A worker's buffers, reused from block to block.
struct Buffers {
    std::vector<VerdantaIO::PointCloud> points;
    std::vector<uint32_t> start, fill, index, row;
};
constexpr uint32_t kNoRow = 0xffffffffu, kAlsoNext = 0x80000000u;  // rows of a block stay below 2^31

}  // namespace

int defaultThreads()
{
    return static_cast<int>(threadBudget(8));
}

bool makeGrid(double minX, double maxX, double minY, double maxY, double xSize, double ySize, int64_t maxCells,
              Grid &grid, std::string &why)
{
    if (!(xSize > 0) || !(ySize > 0) || !std::isfinite(xSize) || !std::isfinite(ySize)) {
        why = "the cell size must be greater than 0";
        return false;
    }
    if (!std::isfinite(minX) || !std::isfinite(maxX) || !std::isfinite(minY) || !std::isfinite(maxY) ||
        minX > maxX || minY > maxY) {
        why = "the extent is not valid";
        return false;
    }
    const double cols = std::floor((maxX - minX) / xSize) + 1, rows = std::floor((maxY - minY) / ySize) + 1;
    if (!(cols * rows <= static_cast<double>(maxCells))) {
        char text[160];
        std::snprintf(text, sizeof text, "the grid would have %.0f columns x %.0f rows, more than %lld cells", cols,
                      rows, static_cast<long long>(maxCells));
        why = text;
        return false;
    }
    grid.minX = minX;
    grid.minY = minY;
    grid.xSize = xSize;
    grid.ySize = ySize;
    grid.columns = static_cast<int64_t>(cols);
    grid.rows = static_cast<int64_t>(rows);
    return true;
}

namespace {

// Reads the points of rows j0..j1 of column i and computes their cells.
void computeBlock(const std::string &path, const Grid &g, int64_t i, int64_t j0, int64_t j1, int worker,
                  const CellFunction &compute, Buffers &buf, Block &out)
{
    buf.points.clear();
    if (!VerdantaIO::ReadData(path, g.x0(i), g.x1(i), g.y0(j0), g.y1(j1), buf.points)) {
        out.failed = true;
        out.error = VerdantaIO::LastError();
        return;
    }
    const int64_t n = j1 - j0 + 1;
    // A point belongs to every row whose closed span holds it: one, or two
    // on a shared edge. Count, then place (a counting sort by row).
    auto rowsOf = [&](double y, int64_t found[2]) {
        const double f = std::floor((y - g.minY) / g.ySize);
        int count = 0;
        const int64_t guess = f < -1 ? -2 : f > static_cast<double>(g.rows) ? g.rows + 1 : static_cast<int64_t>(f);
        for (int64_t j = std::max(guess - 1, j0); j <= std::min(guess + 1, j1); ++j)
            if (g.y0(j) <= y && y <= g.y1(j) && count < 2)
                found[count++] = j - j0;
        return count;
    };
    // The first pass keeps each point's row (and whether it lies on the
    // edge to the next row too) for the second.
    buf.start.assign(static_cast<size_t>(n) + 1, 0);
    buf.row.resize(buf.points.size());
    int64_t found[2];
    for (size_t k = 0; k < buf.points.size(); ++k) {
        const int c = rowsOf(buf.points[k].y, found);
        buf.row[k] = c == 0 ? kNoRow : static_cast<uint32_t>(found[0]) | (c == 2 ? kAlsoNext : 0u);
        for (int m = 0; m < c; ++m)
            ++buf.start[static_cast<size_t>(found[m]) + 1];
    }
    for (int64_t r = 0; r < n; ++r)
        buf.start[r + 1] += buf.start[r];
    buf.fill.assign(buf.start.begin(), buf.start.end() - 1);
    buf.index.resize(buf.start[n]);
    for (size_t k = 0; k < buf.points.size(); ++k) {
        const uint32_t row = buf.row[k];
        if (row == kNoRow)
            continue;
        const uint32_t r = row & ~kAlsoNext;
        buf.index[buf.fill[r]++] = static_cast<uint32_t>(k);
        if (row & kAlsoNext)
            buf.index[buf.fill[r + 1]++] = static_cast<uint32_t>(k);
    }
    out.texts.assign(static_cast<size_t>(n), std::string());
    for (int64_t r = 0; r < n; ++r) {
        CellPoints cell;
        cell.base = buf.points.data();
        cell.index = buf.index.data() + buf.start[r];
        cell.count = buf.start[r + 1] - buf.start[r];
        compute(worker, i, j0 + r, cell, out.texts[r]);
    }
}

}  // namespace

ScanStatus scan(const std::string &path, const Grid &grid, const CellFunction &compute, const CellSink &sink,
                CProcessBase *progress, int threads, std::string &error)
{
    if (grid.columns <= 0 || grid.rows <= 0)
        return ScanStatus::Done;
    const int64_t blockRows = std::max<int64_t>(
        1, std::min<int64_t>({grid.rows, kMaxBlockRows,
                              static_cast<int64_t>(kBlockArea / (grid.xSize * grid.ySize))}));
    const int64_t perColumn = (grid.rows + blockRows - 1) / blockRows;
    const int64_t total = grid.columns * perColumn;
    const int workers = threads > 0 ? threads : defaultThreads();
    const int64_t window = 2 * static_cast<int64_t>(workers);  // blocks computed ahead of the writer

    std::mutex mutex;
    std::condition_variable changed;
    std::map<int64_t, Block> done;
    int64_t next = 0, consumed = 0;
    bool stop = false;

    auto work = [&](int worker) {
        Buffers buf;
        for (;;) {
            int64_t b;
            {
                std::unique_lock<std::mutex> lock(mutex);
                changed.wait(lock, [&] { return stop || next >= total || next < consumed + window; });
                if (stop || next >= total)
                    return;
                b = next++;
            }
            Block block;
            try {
                const int64_t i = b / perColumn, j0 = (b % perColumn) * blockRows;
                const int64_t j1 = std::min(grid.rows, j0 + blockRows) - 1;
                computeBlock(path, grid, i, j0, j1, worker, compute, buf, block);
            } catch (...) {
                block.failed = true;
                block.exception = std::current_exception();
            }
            std::lock_guard<std::mutex> lock(mutex);
            done[b] = std::move(block);
            changed.notify_all();
        }
    };
    std::vector<std::thread> pool;
    for (int w = 0; w < workers; ++w)
        pool.emplace_back(work, w);
    auto finish = [&] {
        {
            std::lock_guard<std::mutex> lock(mutex);
            stop = true;
        }
        changed.notify_all();
        for (std::thread &t : pool)
            t.join();
    };

    ScanStatus status = ScanStatus::Done;
    std::exception_ptr thrown;
    for (int64_t b = 0; b < total && status == ScanStatus::Done; ++b) {
        Block block;
        {
            std::unique_lock<std::mutex> lock(mutex);
            changed.wait(lock, [&] { return done.count(b) != 0; });
            block = std::move(done[b]);
            done.erase(b);
            ++consumed;
        }
        changed.notify_all();
        if (block.failed) {
            thrown = block.exception;
            error = block.error;
            status = ScanStatus::ReadFailed;
            break;
        }
        const int64_t i = b / perColumn, j0 = (b % perColumn) * blockRows;
        // A column done: the pages its reads made resident may go, so that
        // memory stays flat however large the file.
        if (b % perColumn == perColumn - 1)
            VerdantaIO::SpatialIndex::releasePages(path);
        try {
            for (size_t r = 0; r < block.texts.size(); ++r) {
                if (progress && !progress->StepIt()) {
                    status = ScanStatus::Cancelled;
                    break;
                }
                sink(i, j0 + static_cast<int64_t>(r), block.texts[r]);
            }
        } catch (...) {
            thrown = std::current_exception();
            break;
        }
    }
    finish();
    if (thrown)
        std::rethrow_exception(thrown);
    return status;
}

}  // namespace CloudGrid
