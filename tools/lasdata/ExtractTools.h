#pragma once
// Extraction by class, elevation, intensity and return: the declarations and
// runs, shared by the dialogs and verdanta-cli.

#include "ToolDeclaration.h"

namespace ExtractTools {

const Tool &byClass();
const Tool &byElevation();
const Tool &byIntensity();
const Tool &byReturn();

}  // namespace ExtractTools
