#pragma once
// Hillshade of a DEM by Horn's 3 x 3 method (the shading of GDAL's DEM
// utility): every interior cell holds 1 + 254 c for an illumination c > 0
// (else 1); the border cells, and cells next to source no-data, hold the
// destination no-data value (0 when the output declares none).

#include <string>

struct HillshadeParameters {
    float terrainScale = 1.0f;
    float azimuth = 315.0f;
    float elevation = 45.0f;
};

// Writes the hillshade of every band of `dem` to `output` (GTiff, the
// source's size, band count, sample type, geotransform and projection).
bool computeHillshade(const std::string &dem, const std::string &output, const HillshadeParameters &parameters,
                      std::string *error = nullptr);
