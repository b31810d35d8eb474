#pragma once
// The pulses of the demo stand and the stand mosaic for the regression
// tools, over the crowns of DemoStand::Tree.

#include "PointRecords.h"
#include "Stand.h"

#include <cmath>
#include <cstdint>
#include <random>
#include <string>
#include <utility>
#include <vector>

namespace DemoForest {

using Tree = DemoStand::Tree;

// The LAS 1.2 header of the demo files: scale 0.01, the offsets given, the
// coordinate system's GeoKeyDirectory record.
VerdantaIO::PointHeader demoHeader(uint8_t pointFormat, double offsetX, double offsetY,
                                   const std::vector<uint8_t> &geoKeys);

// The trees by 10 m bucket of a square of `side` metres from (0, 0), for
// finding the crowns over a pulse.
class TreeIndex {
public:
    TreeIndex(const std::vector<Tree> &trees, double side);
    // The highest crown surface over (x, y) above `ground`, or NaN; `hit`
    // gets its tree (null for none).
    double top(double x, double y, double ground, const Tree *&hit) const;

private:
    const std::vector<Tree> &trees_;
    int buckets_;
    std::vector<std::vector<int>> grid_;
};

// The echoes of one pulse from the top down, (height, vegetation): a crown
// hit most of the time gives a first return near the crown surface, perhaps
// returns inside the crown and perhaps one from the ground; otherwise the
// ground alone.
std::vector<std::pair<double, bool>> pulseEchoes(const Tree *hit, double top, double ground, std::mt19937 &rng,
                                                 std::uniform_real_distribution<double> &unit,
                                                 std::normal_distribution<double> &normal);

// Writes into `dir`:
//   demo_mosaic.las  480 m x 480 m of 36 stands (80 m squares) of varied
//                    stem density (about 20 to 900 per hectare) and mean
//                    height (7 to 32 m), heights above ground (normalised),
//                    about 4 pulses per square metre, LAS 1.2 format 1
//   demo_plots.csv   "PlotID,X,Y,AGB,Stems": three square field plots of
//                    20 m per stand, with AGB a biomass-like sum over the
//                    stems inside the plot (0.03 H^2.7 per tree with a
//                    tree-level error, in kg; the plot sum in Mg per hectare) from the known trees,
//                    not from the points
// `geoKeys` is the GeoKeyDirectory record of the coordinate system.
bool writeMosaic(const std::string &dir, const std::vector<uint8_t> &geoKeys);

}  // namespace DemoForest
