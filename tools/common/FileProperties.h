#pragma once
// The name/value description of a data file, as the properties view shows it
// and `verdanta-cli info` prints it. Opening the file is the gate through
// which a file enters the project: a file that cannot be described is not
// added.

#include <QPair>
#include <QString>
#include <QVector>

namespace FileProperties {

using Rows = QVector<QPair<QString, QString>>;

enum class Kind { Las, Vector, Raster, Table };

// The layer group of a file, by its suffix (exact, lower case): "las",
// "laz" and "vpc" (a catalogue of LAS/LAZ files), "shp", "csv", anything
// else a raster.
Kind kindOf(const QString &path);

// Describes a file; false (and a reason in error) when it cannot be opened.
// A LAS file read around damage ends with "Warning" rows saying what.
bool describe(const QString &path, Rows &rows, QString *error = nullptr);

// The GDAL data type names by code 0 to 11.
QString dataTypeName(int code);

}  // namespace FileProperties
