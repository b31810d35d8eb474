#pragma once
// The arithmetic of the scene that is not drawing: thinning, height sorting
// and percentiles, the display scale, raster grey stretches, intensity
// ranges and the RGB reduction. Free of widgets so that it is tested alone.

#include "PointRecords.h"

#include <array>
#include <cstdint>
#include <vector>

namespace SceneMath {

constexpr uint64_t kThinningThreshold = 2500000;
// The float rasters' no-data fill lies outside (-kNoDataLimit, kNoDataLimit).
constexpr double kNoDataLimit = 3.4028234663852886e38;

// 0 when a cloud of n points is read whole, else the stride k = n / 2.5M + 1.
uint64_t thinningStride(uint64_t n);
// Indices 0, k, 2k, ... below n.
std::vector<uint64_t> thinnedIndices(uint64_t n, uint64_t stride);

// 900 / dy when dy > dx, else 1000 / dx (computed in float); 1 for an
// extent without width or height.
float displayScale(float minX, float minY, float maxX, float maxY);

// Sorts points ascending by z (stable; a radix sort on the key bits, since
// display loads sort millions of points).
void sortByHeight(std::vector<VerdantaIO::PointCloud> &points);

struct HeightStats {
    float high = 0, low = 0;  // z at floor(n * 0.95) and floor(n * 0.05)
    float minZ = 0, maxZ = 0;
    float centreZ = 0;        // (low + high) / 2
};
// Of points sorted by height; false for none.
bool heightStats(const std::vector<VerdantaIO::PointCloud> &sorted, HeightStats &out);

// The grey stretch of one band: after sorting the samples, low is the first
// valid sample at or above index floor(N * 0.05), high the last valid one at
// or below floor(N * 0.95). False when either search runs off the samples.
bool greyStretch(std::vector<float> samples, float &low, float &high);
// 0 below low, 255 above high, else floor((v - low) * 255 / (high - low)).
uint8_t grey(float value, float low, float high);

// Intensity stretch: min/max when max <= 255, else the 5 % and 99.5 %
// values of the sorted intensities.
void intensityRange(const std::vector<VerdantaIO::PointCloud> &points, float &minI, float &maxI,
                    float &low, float &high);

// False (nothing changed) when every point's colour is black. Otherwise
// reduces to 8 bits, in place, every point with a non-zero high byte in
// any component.
bool reduceColours(std::vector<VerdantaIO::PointCloud> &points);

// ---- point colours (0 to 1), by colour mode -------------------------------

using Rgb = std::array<float, 3>;

// Height: below low red, above high dark blue, else the first of ten equal
// bands [low + i step, low + (i + 1) step] that holds z (band 9 when float
// rounding leaves a height between low and high in none).
Rgb heightColour(double z, float low, float high, const Rgb *ramp255);
// Intensity: grey (intensity - low) * 255 / (high - low), clamped; black for
// an empty range.
Rgb intensityColour(uint16_t intensity, float low, float high);
// Returns 1 to 4: ramp entries 10 to 13; return 5: kReturn5; others kOtherReturn.
Rgb returnColour(uint16_t returnNumber, const Rgb *ramp255);
// Class by its low six bits: 0 and 1 take entry 1, 2 to 9 their own, 12
// entry 10, the rest grey.
Rgb classColour(uint8_t classification, const Rgb *classes255);

constexpr Rgb kAboveHigh = {0.0981f, 0.0981f, 0.439f};
constexpr Rgb kOtherReturn = {0.9804f, 0.9412f, 0.902f};
constexpr Rgb kReturn5 = {0.0f, 206.0f / 255.0f, 209.0f / 255.0f};

}  // namespace SceneMath
