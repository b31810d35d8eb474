#pragma once
// The LAS data-management tools (merge, tile, height normalisation): their
// declarations and runs, shared by the dialogs and verdanta-cli.

#include "ToolDeclaration.h"

namespace LasDataTools {

const Tool &merge();
const Tool &tile();
const Tool &normalize();

}  // namespace LasDataTools
