#pragma once
// Choosing and sizing the grid of a raster product.
//
// A LAS header's bounds are what the writer claimed, not what the points
// cover: a changed byte, a stale writer or a hand-edited file can make them
// NaN, inverted, or far wider than the data. Gridding such an extent
// allocates or computes huge numbers of empty cells. The tools therefore
// compare each file's header bounds with the bounds of its points and use
// the points' bounds where the header cannot be right, and they size the
// grid before allocating it.

#include "PointRecords.h"

#include <cstdint>
#include <string>

namespace GridExtent {

// An X/Y box; empty until a point is added.
struct Bounds {
    double minX = 0, maxX = 0, minY = 0, maxY = 0;
    bool empty = true;

    void add(double x, double y);
    void add(const Bounds &b);
};

// The X/Y bounds a header states, and those of an extent.
Bounds of(const VerdantaIO::PointHeader &header);
Bounds of(const VerdantaIO::LASExtent &extent);

// A header's span may exceed its points' span by this factor per axis (with
// at least this many cells of slack for a file whose points lie on a line or
// at one place). A header drawn around a tile or a survey block that the
// points only partly fill stays well within it; the damaged or widened
// headers met in practice exceed it by orders of magnitude, and past it the
// empty margin would hold 99 % of the grid's cells.
constexpr double kPlausibleFactor = 10.0;

// Whether header bounds describe the points: finite, not inverted, holding
// the points (to a thousandth of a cell), and not wider than the factor
// above per axis. `why` gets the reason when not.
bool plausible(const Bounds &header, const Bounds &points, double cellX, double cellY, std::string &why);

// The extent to grid one file by: its header bounds when plausible, else
// its points' bounds, with `note` saying so (naming the file, the header
// bounds and the bounds used); empty note when the header is used.
Bounds choose(const std::string &path, const Bounds &header, const Bounds &points, double cellX, double cellY,
              std::string &note);

// "X 1.5..2, Y 3..4" with enough digits for projected coordinates.
std::string describe(const Bounds &b);

// Grid size: columns = int(int(maxX - minX) / cellX + 1), rows likewise,
// as doubles so that absurd extents cannot overflow before they are checked.
void gridSize(const Bounds &b, double cellX, double cellY, double &cols, double &rows);

// The bytes a grid may take: half of the physical memory (1 GiB when that
// cannot be read), so that the operating system, the rest of the run and
// the viewer that later loads the raster keep the other half.
uint64_t memoryBudget();

// Whether a grid of cols x rows cells of bytesPerCell fits the budget and
// GDAL's 32-bit raster dimensions; `why` gets a message naming its size.
bool fits(double cols, double rows, double bytesPerCell, std::string &why);

}  // namespace GridExtent
