#pragma once
// The tree table both segmentations write: one line per tree with its
// position, height and crown size.

#include <string>
#include <vector>

namespace TreeTable {

constexpr const char *kHeader = "TreeLocationX,TreeLocationY,TreeHeight,CrownDiameter,CrownArea,CrownVolume";

struct Tree {
    double x = 0, y = 0;     // the tree top
    double height = 0;       // metres above ground
    double crownDiameter = 0;  // of a circle with the crown's area
    double crownArea = 0;
    double crownVolume = 0;
};

// Writes the header and one line per tree; false when the file cannot be
// written (`error` says why).
bool write(const std::string &path, const std::vector<Tree> &trees, std::string &error);

}  // namespace TreeTable
