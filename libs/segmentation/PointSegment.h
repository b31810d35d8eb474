#pragma once
// Individual trees from height-normalised point clouds by the point cloud
// segmentation (PCS) of Li, Guo, Jakubowski and Kelly (2012): trees are grown
// one at a time from the highest point not yet taken. Sweeping the points of
// the current tree's neighbourhood from high to low, a point joins the tree
// when the nearest point already swept (dmin1 to the tree, dmin2 to the
// others) is one of the tree's, unless it is a local maximum lying farther
// than the spacing threshold from the tree: then it is the top of another
// tree. A point is a local maximum when no point still to be segmented
// within localMaxRadius is higher; every such point has been swept before
// it, so this is the case exactly when no swept point lies that close.
// Points left over form the next trees.
//
// Points below minHeight are ground and understorey and are ignored (tree
// number 0). Below lowZoneHeight the spacing threshold is lowZoneFactor x the
// threshold, as the paper uses a smaller threshold in the lower canopy. Only
// points within maxCrownRadius of a tree's top are swept for that tree, which
// keeps the cost near n log n (a k-d tree finds them; a small grid finds the
// nearest swept point).

#include "PointRecords.h"
#include "ProcessBase.h"
#include "TreeTable.h"

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace PointSegmentation {

struct Options {
    double threshold = 2.0;        // spacing threshold, metres
    double maxCrownRadius = 10.0;  // metres
    double minHeight = 2.0;
    double lowZoneHeight = 15.0;
    double lowZoneFactor = 0.75;
    double localMaxRadius = 1.0;
    // The number a tree gets in the points written, from its top's
    // position; unset: 1, 2, ... in the order of the table.
    std::function<uint32_t(double x, double y)> treeNumber;
};

// Gives every point its tree number (1, 2, ... in the order the trees were
// grown, tallest first; 0 for points below minHeight). Points as high are
// taken in the order of their position, not of the input, so that a tile
// and the whole dataset grow their common trees alike. False when
// cancelled.
bool segment(const std::vector<VerdantaIO::PointCloud> &points, const Options &options,
             std::vector<uint32_t> &treeIds, CProcessBase *progress);

// One table line per tree: its highest point (of points as high, the
// westernmost, then southernmost), the area of the convex hull of
// its points, the diameter of a circle of that area, and the volume between
// its highest point per 0.5 m cell and its lowest point.
std::vector<TreeTable::Tree> describe(const std::vector<VerdantaIO::PointCloud> &points,
                                      const std::vector<uint32_t> &treeIds);

// The LAS file written beside a tree table: the table's path with ".las"
// instead of ".csv" (or "_treeID.las" when that would be one of the inputs);
// ".laz", compressed, when the first input is a LAZ file.
std::string pointsPath(const std::string &tablePath, const std::vector<std::string> &inputs);

// Why the last PointSegment or run call on this thread failed.
const std::string &lastError();

// Segments the points of every input together and writes the tree table at
// outputPath, and beside it (pointsPath) the input points with their tree
// number as the extra-bytes attribute "treeID" (32-bit unsigned; 0 for no
// tree) and, cut to 16 bits, as the point source ID. False when an input
// cannot be read, the outputs cannot be written, or on cancellation.
bool run(const std::vector<std::string> &paths, const std::string &outputPath, const Options &options,
         CProcessBase *progress);

}  // namespace PointSegmentation

// PointSegmentation::run with the threshold and the largest crown radius
// swept per tree (10.0 is ample for every crown), trees numbered 1, 2, ...
bool PointSegment(const std::vector<std::string> &paths, const std::string &outputPath, double threshold,
                  double maxCrownRadius, CProcessBase *progress);
