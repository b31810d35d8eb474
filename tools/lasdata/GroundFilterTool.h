#pragma once
// The ground filter ("Filtering"): its declaration and run, shared by the
// dialog and verdanta-cli.

#include "ToolDeclaration.h"

#include <vector>

namespace GroundFilterTool {

// The side of the square blocks a file is processed in, and the margin
// read around each block so that its filter sees the terrain beyond it.
constexpr double kBlockSize = 250.0;
constexpr double kBlockMargin = 10.0;

// One block: its bounds without the margin. A point belongs to the block
// when left <= x < right and bottom <= y < top.
struct Block {
    double left, bottom, right, top;
};

// The blocks of an X/Y extent, row by row from the south-west: ceil(range /
// kBlockSize) along each axis, at least one; the last column and row reach
// just past the extent so that the points on its far edges belong to them.
std::vector<Block> blocks(double minX, double minY, double maxX, double maxY);

const Tool &ground();

}  // namespace GroundFilterTool
