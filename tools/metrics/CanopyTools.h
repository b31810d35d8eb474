#pragma once
// The canopy tools (canopy cover, gap fraction, leaf area index):
// declarations, checks and runs shared by their dialogs and verdanta-cli,
// and the gridding that feeds Canopy_Metrics block by block.

#include "ToolDeclaration.h"

#include <string>

namespace CanopyTools {

const Tool &cover();
const Tool &gap();
const Tool &lai();

enum class Quantity { Cover, Gap, Lai };

struct GridRequest {
    Quantity quantity = Quantity::Cover;
    double xSize = 15, ySize = 15;
    float heightBreak = 2.0f;
    float leafAngle = 0.5f;
};

enum class GridStatus { Done, OpenFailed, WriteFailed, Cancelled, TooLarge };

// Grids one LAS file into a Float32 GeoTIFF of the quantity: the header's
// extent (its points' where the header cannot be right), blocks of 10 x 10
// cells, or single cells when a cell exceeds 900 square units; blocks with
// fewer than 10 points are 0. `note` receives remarks (the extent used),
// `error` the reason of a failure. Progress advances once per block.
GridStatus gridFile(const std::string &lasPath, const std::string &outPath, const GridRequest &request,
                    CProcessBase *progress, std::string &note, std::string &error);

}  // namespace CanopyTools
