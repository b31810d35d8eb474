#pragma once
// LAS to text, LAS to a point shapefile, and the boundary polygon of LAS
// files: the declarations and runs, shared by the dialogs and verdanta-cli.

#include "ToolDeclaration.h"

#include <cstdint>

namespace ConvertTools {

const Tool &lasToAscii();
const Tool &lasToVector();
const Tool &boundary();

// The thinning step of the boundary for a file of n points: ceil(n /
// 100000), and 20 when that exceeds 10.
int64_t boundaryStep(uint64_t n);

}  // namespace ConvertTools
