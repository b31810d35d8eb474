#pragma once
// Synthetic forest stands with known trees, for the demo project and for
// measuring tree detection: terrain, crowns of conifers (cones) and
// broadleaves (half ellipsoids), and laser pulses that return from the
// crowns they pass through and from the ground.

#include "PointRecords.h"

#include <string>
#include <vector>

namespace DemoStand {

// Terrain elevation at local coordinates (metres from the lower-left corner).
double terrain(double x, double y);

struct Tree {
    double x = 0, y = 0, height = 0, crownBase = 0, radius = 0;
    bool conifer = true;
    bool suppressed = false;  // grows under a taller neighbour's crown
    // Height of the crown surface above (px, py), or NaN outside the crown.
    double surface(double px, double py, double ground) const;
};

struct Options {
    double side = 100.0;          // square stand, metres
    double stemsPerHectare = 300;
    double suppressedShare = 0.15;  // of the stems
    double coniferShare = 0.6;
    double pulseSpacing = 0.3;    // metres between pulses; 0: trees only
    unsigned seed = 1;
    double originX = 500000.0, originY = 4000000.0;
};

struct Stand {
    Options options;
    std::vector<Tree> trees;                  // local coordinates
    std::vector<VerdantaIO::PointCloud> points;  // map coordinates, elevations
};

// A stand of canopy trees placed by dart throwing (crowns overlap), some of
// them with suppressed trees beside and under them, and its point cloud:
// pulses on a jittered grid, up to four returns through the crowns met,
// ground returns (class 2) under gaps and through crowns.
Stand generate(const Options &options);

// Writes the stand as LAS 1.2 format 1: raw elevations at `rawPath`, heights
// above the true terrain at `normalisedPath` (either may be empty), and the
// trees at `treesPath` (X,Y,Height,CrownRadius,Suppressed). False on failure.
bool write(const Stand &stand, const std::string &rawPath, const std::string &normalisedPath,
           const std::string &treesPath, std::string &error);

// Detection measured against the known trees: detected tops are matched one
// to one to trees, closest pairs first, a pair counting when the top lies
// within max(1.5 m, 0.6 x crown radius) of the stem.
struct Score {
    int trees = 0, detected = 0, matched = 0;
    double recall() const { return trees ? double(matched) / trees : 0.0; }
    double precision() const { return detected ? double(matched) / detected : 0.0; }
    double f() const { return matched ? 2 * recall() * precision() / (recall() + precision()) : 0.0; }
};
// `detected` in map coordinates.
Score score(const Stand &stand, const std::vector<std::pair<double, double>> &detected);

}  // namespace DemoStand
