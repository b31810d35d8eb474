#pragma once
// The ground filter ("Filtering"): its declaration and run, shared by the
// dialog and verdanta-cli.

#include "BlockRun.h"
#include "ToolDeclaration.h"

namespace GroundFilterTool {

// The side of the square blocks a file is processed in, and the margin
// read around each block so that its filter sees the terrain beyond it.
constexpr double kBlockSize = BlockRun::kBlockSize;
constexpr double kBlockMargin = 10.0;

const Tool &ground();

}  // namespace GroundFilterTool
