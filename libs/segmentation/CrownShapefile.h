#pragma once
// The crown polygons as an ESRI shapefile (.shp, .shx, .dbf and, with a
// coordinate reference, .prj): one polygon record per crown, its parts and
// holes as traced, and one numeric field "TreeID". The records are laid out
// here and written in large blocks, which costs a small part of what going
// feature by feature through OGR does for some hundred thousand crowns.

#include "CrownOutlines.h"

#include <array>
#include <cstdint>
#include <string>
#include <vector>

namespace CrownShapefile {

// `outlines[t]` (cell corners, mapped to the map by the geotransform `geo`)
// is written with TreeID numbers[t]; crowns without parts are left out.
// False with `error` when a file cannot be written.
bool write(const std::string &shpPath, const std::string &wkt, const std::array<double, 6> &geo,
           const std::vector<std::vector<CrownOutlines::Part>> &outlines, const std::vector<uint32_t> &numbers,
           std::string &error);

}  // namespace CrownShapefile
