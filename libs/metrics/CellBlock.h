#pragma once
// The cells of a rectangle for the per-cell metric calls: cells of
// xsize by ysize numbered row by row from the rectangle's north-west
// corner. A point belongs to the cell floor((x - xmin) / xsize),
// floor((ymax - y) / ysize); points outside the block's cells (on the far
// edge of a full block, which the neighbouring block counts) belong to none.

#include <cmath>

struct CellBlock {
    int columns = 1, rows = 1;
    double xmin = 0, ymax = 0, xsize = 1, ysize = 1;
    bool valid = false;

    // The block over a rectangle: the given size in cells when columns and
    // rows are positive, else the fewest whole cells that cover it.
    static CellBlock over(double xmin, double xmax, double ymin, double ymax, double xsize, double ysize,
                          int columns = 0, int rows = 0)
    {
        CellBlock b;
        b.valid = std::isfinite(xmin) && std::isfinite(xmax) && std::isfinite(ymin) && std::isfinite(ymax) &&
                  xmin <= xmax && ymin <= ymax && xsize > 0 && ysize > 0 && std::isfinite(xsize) &&
                  std::isfinite(ysize);
        auto cellsOver = [](double span, double size) {
            const double n = std::ceil(span / size - 1e-9);
            return n < 1 ? 1 : n > 1e6 ? 1000000 : static_cast<int>(n);
        };
        b.columns = columns > 0 ? columns : b.valid ? cellsOver(xmax - xmin, xsize) : 1;
        b.rows = rows > 0 ? rows : b.valid ? cellsOver(ymax - ymin, ysize) : 1;
        b.xmin = xmin;
        b.ymax = ymax;
        b.xsize = xsize;
        b.ysize = ysize;
        return b;
    }
    int cells() const { return columns * rows; }
    // The cell of a point, or -1.
    int cellOf(double x, double y) const
    {
        const double c = std::floor((x - xmin) / xsize), r = std::floor((ymax - y) / ysize);
        if (!(c >= 0 && c < columns && r >= 0 && r < rows))
            return -1;
        return static_cast<int>(r) * columns + static_cast<int>(c);
    }
};
