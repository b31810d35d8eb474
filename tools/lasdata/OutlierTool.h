#pragma once
// The outlier removal tool: its declaration and run, shared by its dialog and
// verdanta-cli.

#include "BlockRun.h"
#include "ToolDeclaration.h"

namespace OutlierTool {

// Block size of the run: square blocks of this many metres.
constexpr double kBlockSize = BlockRun::kBlockSize;
// Points read around each block as neighbours of the block's own points.
constexpr double kBlockMargin = 10.0;
// The working file written in the output folder and renamed at the end.
constexpr const char *kWorkingName = "ETPtemple.las";

const Tool &outliers();

}  // namespace OutlierTool
