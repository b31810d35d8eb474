#pragma once
// The individual tree tools (CHM segmentation, point cloud segmentation):
// declarations, checks and runs shared by their dialogs and verdanta-cli.

#include "ToolDeclaration.h"

namespace TreeTools {

const Tool &chmSegment();
const Tool &pointCloudSegment();

// The PCS call's second number: the largest crown radius swept per tree.
constexpr double kMaxCrownRadius = 10.0;

}  // namespace TreeTools
