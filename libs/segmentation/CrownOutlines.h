#pragma once
// The outlines of labelled regions of a raster, traced along the cell edges:
// one walk around each boundary (outer rings and holes), a region being the
// cells of one label that share a side (4-connected, as polygonising a
// raster joins them).

#include <cstdint>
#include <vector>

namespace CrownOutlines {

// A closed ring of cell corners, (column, row) with (0, 0) the raster's
// top-left corner; the last corner joins the first. Outer rings run
// counter-clockwise as the raster is drawn (north up), holes clockwise.
struct Ring {
    std::vector<int32_t> corners;  // x0, y0, x1, y1, ...
    int64_t cells = 0;             // cells enclosed
};

// One part of a region: its outer ring and the holes in it.
struct Part {
    Ring outer;
    std::vector<Ring> holes;
};

// The parts of label 1..count (index label - 1) of a width x height raster
// of labels (0: no region).
std::vector<std::vector<Part>> trace(const int32_t *labels, int width, int height, int count);

// Cells covered by a region: its outer rings less its holes.
int64_t cellsOf(const std::vector<Part> &parts);

}  // namespace CrownOutlines
