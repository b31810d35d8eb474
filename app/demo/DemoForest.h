#pragma once
// The tree model of the demo data, and the stand mosaic for the regression
// tools.

#include <cmath>
#include <cstdint>
#include <string>
#include <vector>

namespace DemoForest {

struct Tree {
    double x, y, height, crownBase, radius;
    bool conifer;
    // Height of the crown surface above (px, py), or NaN outside the crown.
    double surface(double px, double py, double ground) const
    {
        const double r = std::hypot(px - x, py - y);
        if (r >= radius)
            return std::nan("");
        const double top = ground + height, base = ground + crownBase;
        if (conifer)
            return top - (r / radius) * (top - base);
        const double a = (top - base) / 2.0;
        return base + a + a * std::sqrt(1.0 - (r * r) / (radius * radius));
    }
};

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
