#pragma once
// The digital model tools (DEM, DSM): declarations, checks and runs shared
// by their dialogs and verdanta-cli.

#include "ToolDeclaration.h"

namespace RasterTools {

const Tool &dem();
const Tool &dsm();
const Tool &chm();
const Tool &hillshade();
const Tool &lasToRaster();

}  // namespace RasterTools
