#pragma once
// Statistics of one point set: the heights (elevation metrics) or the
// return intensities (intensity metrics) of a grid cell or a plot.
//
// The statistics work on a plain array of values, so that the gridding
// tools, the plot metrics and the prediction cells share them; the overloads
// taking points only pick the values out. No Qt, no output, no threads: one
// object per thread.
//
// Definitions (n values v sorted ascending, v[0] .. v[n-1]):
// - percentile at level q: linear interpolation between the closest ranks
//   (Hyndman and Fan type 7, the default of R and NumPy):
//   h = (n - 1) q / 100, P = v[floor h] + (h - floor h)(v[floor h + 1] - v[floor h]);
//   the median is the percentile at 50;
// - accumulated integral at level q (AIH for heights, AII for intensities):
//   the smallest value v[k] whose running sum v[0] + ... + v[k] reaches q % of
//   the sum of all values (negative values add nothing to the sums); when
//   no value is positive it is the percentile at q;
// - moments are population moments (divisor n): variance m2, standard
//   deviation sqrt(m2), skewness m3 / m2^1.5, kurtosis m4 / m2^2 (3 for a
//   normal distribution, not the excess); cv = stddev / mean. When all values
//   are equal (m2 = 0), skewness, kurtosis and cv are 0; cv is 0 as well when
//   the mean is 0;
// - aad: mean absolute deviation from the mean; madmedian: median of the
//   absolute deviations from the median;
// - canopy relief ratio (mean - min) / (max - min), 0 when max = min;
// - sqrt_mean_sq and curt_mean_cube: the power means of order 2 and 3,
//   sqrt(mean v^2) and cbrt(mean v^3);
// - density metrics: the range min..max is cut into ten equal slices; slice k
//   holds the values with min + k (max - min) / 10 <= v < min + (k + 1) (max - min) / 10,
//   the last slice holds the maximum as well; density_metrics[k] is the
//   share of values in slice k (the ten shares sum to 1). When all values
//   are equal every value is in slice 0.
//
// A calculation returns false for an empty set or one holding a value that
// is not finite; every result is then 0.

#include "PointRecords.h"

#include <cstddef>
#include <cstdint>
#include <vector>

class CCloudMetics {
public:
    static constexpr int kLevelCount = 15;
    // The levels of the percentile and accumulated-integral arrays.
    static const int kLevels[kLevelCount];  // 1, 5, 10, 20, 25, 30, 40, 50, 60, 70, 75, 80, 90, 95, 99

    CCloudMetics();

    // Elevation metrics of the heights.
    bool cal_pecentitle_z(const double *z, std::size_t n);
    bool cal_pecentitle_z(std::vector<VerdantaIO::PointCloud> &points);
    // Intensity metrics of the intensities.
    bool cal_normal_intensity(const double *intensity, std::size_t n);
    bool cal_normal_intensity(std::vector<VerdantaIO::PointCloud> &points);

    // Elevation results.
    double elev_max_z, elev_min_z, elev_mean_z, elev_median_z, elev_stddev_z, elev_variance_z, elev_cv_z;
    double elev_AIH_IQ;  // AIH 75th - AIH 25th
    double elev_skewness_z, elev_kurtosis_z, elev_aad_z, elev_madmedian_z;
    double elev_AIH[kLevelCount];
    double elev_IQ;  // percentile 75th - percentile 25th
    double elev_percentile[kLevelCount];
    double elev_canpoy_relief_ratio, elev_sqrt_mean_sq, elev_curt_mean_cube;

    // Intensity results.
    double int_max, int_min, int_mean, int_median_z, int_stddev, int_variance, int_cv;
    double int_skewness, int_kurtosis, int_aad, int_madmedian;
    double int_AII[kLevelCount];
    double int_percentile[kLevelCount];
    double int_con_iq;  // percentile 75th - percentile 25th

    // Shares of the heights in ten equal slices of their range, low to high
    // (set by cal_pecentitle_z).
    double density_metrics[10];

    // Per-cell metrics of a rectangle for the regression tools: the cells
    // and point assignment of CellBlock (the block's size in cells may be
    // fixed with setBlockCells), one record per cell, row by row from the
    // north-west cell. A cell without points has a record of zeros. False
    // for an invalid rectangle or when no point fell into a cell.
    //
    // Elevation record (57 values): 0 max, 1 min, 2 mean, 3 median,
    // 4 stddev, 5 variance, 6 cv, 7 AIH IQ, 8 skewness, 9 kurtosis, 10 aad,
    // 11 madmedian, 12-26 AIH at the fifteen levels, 27 IQ, 28 point count,
    // 29-43 percentiles, 44 canopy relief ratio, 45 sqrt mean square,
    // 46 cubic mean, 47-56 the ten densities.
    // Intensity record (44 values): 0 max, 1 min, 2 mean, 3 median,
    // 4 stddev, 5 variance, 6 cv, 7 skewness, 8 kurtosis, 9 aad,
    // 10 madmedian, 11-25 AII, 26 IQ, 27 point count, 28-42 percentiles,
    // 43 AII IQ.
    static constexpr int kElevationRecord = 57, kElevationPercentiles = 29, kElevationDensities = 47;
    static constexpr int kIntensityRecord = 44, kIntensityPercentiles = 28;
    void setBlockCells(int columns, int rows);
    bool elevation_metrics_regression(std::vector<VerdantaIO::PointCloud> &points, double xmin, double xmax,
                                      double ymin, double ymax, double xsize, double ysize);
    bool intensity_mertrics_regression(std::vector<VerdantaIO::PointCloud> &points, double xmin, double xmax,
                                       double ymin, double ymax, double xsize, double ysize);
    std::vector<double> elevationRecords, intensityRecords;  // cells x record
    int blockColumns() const { return columns_; }
    int blockRows() const { return rows_; }

private:
    // The statistics common to both sets of results.
    struct Summary {
        double max, min, mean, median, stddev, variance, cv, skewness, kurtosis, aad, madmedian;
        double integral[kLevelCount], percentile[kLevelCount];
        double sqrtMeanSq, curtMeanCube, reliefRatio;
        double density[10];
    };
    bool summarise(const double *v, std::size_t n, Summary &s);
    void clearElevation();
    void clearIntensity();

    // Sorts the chosen value of each point of the rectangle into its cell
    // and calls `record` per non-empty cell with the values.
    template <typename Value, typename Record>
    bool perCell(const std::vector<VerdantaIO::PointCloud> &points, double xmin, double xmax, double ymin,
                 double ymax, double xsize, double ysize, int recordSize, std::vector<double> &records, Value value,
                 Record record);

    std::vector<double> sorted_, scratch_;  // reused between calls
    std::vector<double> cellValues_;
    std::vector<uint32_t> cellStart_, cellOf_;
    int columns_ = 0, rows_ = 0;
    bool fixedSize_ = false;
};
