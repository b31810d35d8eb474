#pragma once
// Clipping by circles, rectangles and shapefile polygons: the declarations
// and runs, shared by the dialogs and verdanta-cli.

#include "DataManagement.h"
#include "ToolDeclaration.h"

#include <vector>

namespace VerdantaIO {
class CShpIO;
}

namespace ClipTools {

const Tool &circle();
const Tool &rectangle();
const Tool &polygon();

// The polygons of a loaded shapefile layer: each outer ring with the holes
// that follow it, and each closed line as a ring of its own (open lines
// and points give none).
std::vector<C_DataManagement::ClipPolygon> polygonsOf(const VerdantaIO::CShpIO &shp);

}  // namespace ClipTools
