#pragma once
// The elevation and intensity metrics tools: per-cell statistics of the
// point heights or intensities of LAS files, written as CSV tables.

#include "ToolDeclaration.h"

namespace CloudMetricsTools {

const Tool &elevationMetrics();
const Tool &intensityMetrics();

// The CSV header lines of the two tables (without the line break).
extern const char *const kElevationHeader;
extern const char *const kIntensityHeader;

}  // namespace CloudMetricsTools
