#pragma once
// A regular grid of cells over one LAS file, visited column by column (west
// to east) and, within a column, row by row (south to north), with the
// points of each cell as a rectangle read of the file would return them.
//
// Cell (i, j) spans x0 = minX + i XSize .. x1 = minX + (i + 1) XSize and
// y0 = minY + j YSize .. y1 = minY + (j + 1) YSize, bounds inclusive (a point
// on a shared edge belongs to both cells). The grid has
// int((maxX - minX) / XSize) + 1 columns and int((maxY - minY) / YSize) + 1
// rows.
//
// Rather than one window read per cell, the scan reads a block of cells of
// one column at once through the file's spatial index and sorts its points
// into the cells; blocks are computed on worker threads while the calling
// thread reports progress and hands each cell's result on in grid order.
// Memory stays bounded by a few blocks, whatever the size of the file.

#include "ProcessBase.h"
#include "PointRecords.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

namespace CloudGrid {

struct Grid {
    double minX = 0, minY = 0, xSize = 1, ySize = 1;
    int64_t columns = 0, rows = 0;

    double x0(int64_t i) const { return minX + static_cast<double>(i) * xSize; }
    double x1(int64_t i) const { return minX + static_cast<double>(i + 1) * xSize; }
    double y0(int64_t j) const { return minY + static_cast<double>(j) * ySize; }
    double y1(int64_t j) const { return minY + static_cast<double>(j + 1) * ySize; }
    int64_t cellCount() const { return columns * rows; }
};

// The grid over an extent; false (and `why` set) when the extent or the cell
// sizes are not finite and positive, or the grid would exceed `maxCells`.
bool makeGrid(double minX, double maxX, double minY, double maxY, double xSize, double ySize, int64_t maxCells,
              Grid &grid, std::string &why);

// The points of one cell: an index list into the points of its block.
struct CellPoints {
    const VerdantaIO::PointCloud *base = nullptr;
    const uint32_t *index = nullptr;
    std::size_t count = 0;

    std::size_t size() const { return count; }
    const VerdantaIO::PointCloud &operator[](std::size_t k) const { return base[index[k]]; }
};

// Computes one cell's result text (empty for none) on worker thread `worker`
// (0 .. threads - 1); it must not touch state shared between workers.
using CellFunction = std::function<void(int worker, int64_t column, int64_t row, const CellPoints &points,
                                        std::string &text)>;
// Receives each cell's text, in grid order, on the calling thread.
using CellSink = std::function<void(int64_t column, int64_t row, const std::string &text)>;

enum class ScanStatus { Done, Cancelled, ReadFailed };

// Visits every cell of `grid` over the file at `path`. `progress` (may be
// null) gets one StepIt per cell before the cell's text is handed to `sink`;
// a false return stops the scan (Cancelled). `threads` 0 means the
// machine's cores. ReadFailed leaves the reason in `error`.
ScanStatus scan(const std::string &path, const Grid &grid, const CellFunction &compute, const CellSink &sink,
                CProcessBase *progress, int threads, std::string &error);

// The number of worker threads scan uses for `threads` 0.
int defaultThreads();

}  // namespace CloudGrid
