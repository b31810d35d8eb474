#pragma once
// The output rules the metrics tools share (tables and canopy rasters
// alike): one input writes the file named, its base name defaulting to the
// input's base name + the tool's suffix; several inputs write into a folder,
// one file per input.

#include "ToolDeclaration.h"

namespace MetricsOutputs {

// The parameter checks, then the output's: empty, not absolute (the tool's
// own message), a folder that does not exist or a base name with a
// character a file name cannot hold. On success the output text is
// normalised to the file (one input) or to the folder + "/".
CheckResult check(const ToolSpec &spec, ToolRequest &r, const QString &suffix, const QString &extension,
                  const QString &notAbsoluteMessage);

// The files a checked request writes.
QStringList outputs(const ToolRequest &r, const QString &suffix, const QString &extension);

// The output proposed for the inputs chosen so far.
QString defaultOutput(const ToolRequest &r, const QString &suffix, const QString &extension);

}  // namespace MetricsOutputs
