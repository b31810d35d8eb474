#pragma once
// Decoding of GeoTIFF keys (as a LAS file stores them in its VLRs) with
// libgeotiff. Kept apart from the GDAL code because libgeotiff's private
// headers clash with GDAL's.

#include <cstdint>
#include <string>
#include <vector>

namespace VerdantaIO {
namespace las {

struct GeoKeyDefinition {
    std::vector<int> horizontalEpsg;  // candidate EPSG codes, best first
    int verticalEpsg = 0;
    std::string proj4;  // for user-defined systems
};

// False when libgeotiff cannot make sense of the keys.
bool decodeGeoKeys(std::vector<uint16_t> keys, std::vector<double> params, std::string ascii,
                   GeoKeyDefinition &out);

}  // namespace las
}  // namespace VerdantaIO
