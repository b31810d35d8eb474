#pragma once
// Export of LAS points to delimited text and to point shapefiles.
//
// The attributes are named by a field string of letters, written in the
// order of the string:
//   x y z  coordinates          t  GPS time          i  intensity
//   a      scan angle (degrees) r  return number     c  classification
//   u      user data            n  number of returns R G B  colour
//   p      point source ID      e  edge of flight line flag
//   d      scan direction flag

#include "ProcessBase.h"

#include <string>

namespace VerdantaIO {

// The error text of an export whose input cannot be read.
constexpr const char *kExportOpenFailed = "Cannot open the InputFile for read. Exiting...";

// Whether every letter of a field string names an attribute (and none
// repeats); `bad` receives the first offending letter.
bool validFieldString(const std::string &fields, char *bad = nullptr);

// Writes a header line naming the fields, then one line per point with the
// fields separated by `separator`. Coordinates carry as many decimals as
// the file's scale factors resolve. Streams the file in chunks.
bool LAS2TxT(const std::string &input, const std::string &output, const std::string &fields,
             const std::string &separator, CProcessBase *progress, std::string *error = nullptr);

// Writes a PointZ shapefile with one attribute per letter of the field
// string and the file's coordinate reference as its .prj.
bool LAS2Shp(const std::string &input, const std::string &output, const std::string &fields,
             CProcessBase *progress, std::string *error = nullptr);

}  // namespace VerdantaIO
