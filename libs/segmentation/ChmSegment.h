#pragma once
// Individual trees from a canopy height model (CHM) raster by a
// marker-controlled watershed:
//  1. the CHM is smoothed with a 3 x 3 Gaussian (binomial 1-2-1) kernel;
//     no-data cells count as 0 m;
//  2. markers are the local maxima of the smoothed CHM within a circular
//     window whose radius grows with height, r(h) = windowBase + windowSlope
//     x h metres (a taller tree has a wider crown); of cells of equal height
//     the first in raster order wins, so a flat top gives one marker;
//  3. markers below the minimum or above the maximum tree height are dropped
//     (above it they are taken for errors: birds, wires);
//  4. each marker's crown is grown by flooding the inverted CHM from the
//     markers, highest level first (a hierarchical queue on 1 cm levels); a
//     cell joins a crown only while it lies above crownFraction x the crown's
//     top height and above the minimum height.
// The crowns' outlines are traced along the cell edges (CrownOutlines); the
// table holds one line per crown, its area taken from those polygons. The
// crown raster, its mask and its polygons are written as well when their
// paths are set.

#include "CrownOutlines.h"
#include "ProcessBase.h"

#include <array>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

class Cchm_segment {
public:
    std::string inputPath;   // the CHM (a GeoTIFF in metres above ground)
    std::string maskPath;    // the crowns' mask (Byte GeoTIFF, 1 in a crown)
    float minHeight = 2.0f;  // metres
    float maxHeight = 80.0f;
    std::string rasterPath;  // the crown numbers (UInt32 GeoTIFF, 0 outside)
    std::string shapePath;   // the crown polygons (ESRI shapefile, field "TreeID")
    std::string tablePath;   // the tree table (CSV)

    // The shape of the detection, stated here and open to tuning.
    double windowBase = 0.6;    // metres
    double windowSlope = 0.06;  // metres of window radius per metre of height
    double crownFraction = 0.5;

    // The number a crown gets in the crown raster and its polygons, from
    // its top's position; unset: 1, 2, ... in the order of the table.
    std::function<uint32_t(double x, double y)> treeNumber;

    // Opens the CHM and reads its first band; false when it cannot be read
    // or has no georeferencing (lastError() says which).
    bool raster_input();
    // Segments the CHM and writes the table (and the intermediate files
    // whose paths are set); false on failure or cancellation.
    bool seed_location(CProcessBase *progress);

    const std::string &lastError() const { return error_; }
    // The crowns found by the last run: a crown number per cell (row by row,
    // 0 outside every crown), and how many crowns there are.
    const std::vector<int32_t> &labels() const { return labels_; }
    int treeCount() const { return trees_; }

private:
    bool writeRasters(const std::vector<uint32_t> &numbers, std::string &error) const;
    bool writePolygons(const std::vector<std::vector<CrownOutlines::Part>> &outlines,
                       const std::vector<uint32_t> &numbers);

    std::string error_;
    int width_ = 0, height_ = 0;
    std::array<double, 6> geo_{};
    std::string reference_;
    std::vector<float> chm_;
    std::vector<int32_t> labels_;
    int trees_ = 0;
};
