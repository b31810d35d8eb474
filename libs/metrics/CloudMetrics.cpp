#include "CloudMetrics.h"

#include "CellBlock.h"

#include <algorithm>
#include <cmath>

const int CCloudMetics::kLevels[CCloudMetics::kLevelCount] = {1, 5, 10, 20, 25, 30, 40, 50, 60, 70, 75, 80, 90, 95, 99};

namespace {

// Type 7 percentile of an ascending array.
double percentile(const double *v, std::size_t n, int level)
{
    const double h = static_cast<double>(n - 1) * level / 100.0;
    const std::size_t lo = static_cast<std::size_t>(std::floor(h));
    if (lo + 1 >= n)
        return v[n - 1];
    return v[lo] + (h - static_cast<double>(lo)) * (v[lo + 1] - v[lo]);
}

// The type 7 median of an unordered array, which it reorders.
double median(std::vector<double> &a)
{
    const std::size_t n = a.size();
    const std::size_t mid = (n - 1) / 2;
    std::nth_element(a.begin(), a.begin() + mid, a.end());
    const double lower = a[mid];
    if (n % 2 == 1)
        return lower;
    const double upper = *std::min_element(a.begin() + mid + 1, a.end());
    return lower + 0.5 * (upper - lower);
}

template <typename Get>
bool gather(std::vector<double> &out, const std::vector<VerdantaIO::PointCloud> &points, Get get)
{
    out.resize(points.size());
    for (std::size_t i = 0; i < points.size(); ++i)
        out[i] = get(points[i]);
    return true;
}

}  // namespace

CCloudMetics::CCloudMetics()
{
    clearElevation();
    clearIntensity();
}

void CCloudMetics::clearElevation()
{
    elev_max_z = elev_min_z = elev_mean_z = elev_median_z = elev_stddev_z = elev_variance_z = elev_cv_z = 0;
    elev_AIH_IQ = elev_skewness_z = elev_kurtosis_z = elev_aad_z = elev_madmedian_z = elev_IQ = 0;
    elev_canpoy_relief_ratio = elev_sqrt_mean_sq = elev_curt_mean_cube = 0;
    std::fill(std::begin(elev_AIH), std::end(elev_AIH), 0.0);
    std::fill(std::begin(elev_percentile), std::end(elev_percentile), 0.0);
    std::fill(std::begin(density_metrics), std::end(density_metrics), 0.0);
}

void CCloudMetics::clearIntensity()
{
    int_max = int_min = int_mean = int_median_z = int_stddev = int_variance = int_cv = 0;
    int_skewness = int_kurtosis = int_aad = int_madmedian = int_con_iq = 0;
    std::fill(std::begin(int_AII), std::end(int_AII), 0.0);
    std::fill(std::begin(int_percentile), std::end(int_percentile), 0.0);
}

bool CCloudMetics::summarise(const double *values, std::size_t n, Summary &s)
{
    if (n == 0 || values == nullptr)
        return false;
    for (std::size_t i = 0; i < n; ++i)
        if (!std::isfinite(values[i]))
            return false;
    sorted_.assign(values, values + n);
    std::sort(sorted_.begin(), sorted_.end());
    const double *v = sorted_.data();
    s.min = v[0];
    s.max = v[n - 1];
    const bool flat = s.max == s.min;
    for (int k = 0; k < kLevelCount; ++k)
        s.percentile[k] = percentile(v, n, kLevels[k]);
    s.median = percentile(v, n, 50);

    // Accumulated integral: one sweep of the running sum over the levels.
    double positive = 0;
    for (std::size_t i = 0; i < n; ++i)
        positive += std::max(v[i], 0.0);
    if (positive > 0) {
        double running = 0;
        std::size_t i = 0;
        for (int k = 0; k < kLevelCount; ++k) {
            const double target = kLevels[k] * positive / 100.0;
            while (i + 1 < n && running + std::max(v[i], 0.0) < target) {
                running += std::max(v[i], 0.0);
                ++i;
            }
            s.integral[k] = v[i];
        }
    } else {
        std::copy(std::begin(s.percentile), std::end(s.percentile), std::begin(s.integral));
    }

    // Moments about the mean (population), taken in a second pass.
    double sum = 0, sumSq = 0, sumCube = 0;
    for (std::size_t i = 0; i < n; ++i) {
        sum += v[i];
        sumSq += v[i] * v[i];
        sumCube += v[i] * v[i] * v[i];
    }
    s.mean = flat ? s.min : sum / n;
    double m2 = 0, m3 = 0, m4 = 0, aad = 0;
    if (!flat) {
        for (std::size_t i = 0; i < n; ++i) {
            const double d = v[i] - s.mean, d2 = d * d;
            aad += std::fabs(d);
            m2 += d2;
            m3 += d2 * d;
            m4 += d2 * d2;
        }
        aad /= n;
        m2 /= n;
        m3 /= n;
        m4 /= n;
    }
    s.variance = m2;
    s.stddev = std::sqrt(m2);
    s.aad = aad;
    if (m2 > 0) {
        s.skewness = m3 / (m2 * std::sqrt(m2));
        s.kurtosis = m4 / (m2 * m2);
    } else {
        s.skewness = s.kurtosis = 0;
    }
    s.cv = (m2 > 0 && s.mean != 0) ? s.stddev / s.mean : 0;
    s.reliefRatio = flat ? 0 : (s.mean - s.min) / (s.max - s.min);
    s.sqrtMeanSq = std::sqrt(sumSq / n);
    s.curtMeanCube = std::cbrt(sumCube / n);

    scratch_.resize(n);
    for (std::size_t i = 0; i < n; ++i)
        scratch_[i] = std::fabs(v[i] - s.median);
    s.madmedian = median(scratch_);

    std::fill(std::begin(s.density), std::end(s.density), 0.0);
    if (flat) {
        s.density[0] = 1;
    } else {
        const double range = s.max - s.min;
        std::size_t counts[10] = {};
        for (std::size_t i = 0; i < n; ++i) {
            const double k = std::floor(10.0 * (v[i] - s.min) / range);
            ++counts[k < 0 ? 0 : k > 9 ? 9 : static_cast<int>(k)];
        }
        for (int k = 0; k < 10; ++k)
            s.density[k] = static_cast<double>(counts[k]) / n;
    }

    // Values near the limits of a double can overflow the powers; such a set
    // has no usable results.
    const double scalars[] = {s.mean, s.variance, s.stddev, s.skewness, s.kurtosis, s.aad, s.cv, s.reliefRatio,
                              s.sqrtMeanSq, s.curtMeanCube, s.madmedian};
    for (double x : scalars)
        if (!std::isfinite(x))
            return false;
    for (int k = 0; k < kLevelCount; ++k)
        if (!std::isfinite(s.percentile[k]))
            return false;
    return true;
}

bool CCloudMetics::cal_pecentitle_z(const double *z, std::size_t n)
{
    Summary s;
    if (!summarise(z, n, s)) {
        clearElevation();
        return false;
    }
    elev_max_z = s.max;
    elev_min_z = s.min;
    elev_mean_z = s.mean;
    elev_median_z = s.median;
    elev_stddev_z = s.stddev;
    elev_variance_z = s.variance;
    elev_cv_z = s.cv;
    elev_skewness_z = s.skewness;
    elev_kurtosis_z = s.kurtosis;
    elev_aad_z = s.aad;
    elev_madmedian_z = s.madmedian;
    std::copy(std::begin(s.integral), std::end(s.integral), std::begin(elev_AIH));
    std::copy(std::begin(s.percentile), std::end(s.percentile), std::begin(elev_percentile));
    elev_AIH_IQ = elev_AIH[10] - elev_AIH[4];  // levels 75 and 25
    elev_IQ = elev_percentile[10] - elev_percentile[4];
    elev_canpoy_relief_ratio = s.reliefRatio;
    elev_sqrt_mean_sq = s.sqrtMeanSq;
    elev_curt_mean_cube = s.curtMeanCube;
    std::copy(std::begin(s.density), std::end(s.density), std::begin(density_metrics));
    return true;
}

bool CCloudMetics::cal_pecentitle_z(std::vector<VerdantaIO::PointCloud> &points)
{
    std::vector<double> z;
    gather(z, points, [](const VerdantaIO::PointCloud &p) { return p.z; });
    return cal_pecentitle_z(z.data(), z.size());
}

bool CCloudMetics::cal_normal_intensity(const double *intensity, std::size_t n)
{
    Summary s;
    if (!summarise(intensity, n, s)) {
        clearIntensity();
        return false;
    }
    int_max = s.max;
    int_min = s.min;
    int_mean = s.mean;
    int_median_z = s.median;
    int_stddev = s.stddev;
    int_variance = s.variance;
    int_cv = s.cv;
    int_skewness = s.skewness;
    int_kurtosis = s.kurtosis;
    int_aad = s.aad;
    int_madmedian = s.madmedian;
    std::copy(std::begin(s.integral), std::end(s.integral), std::begin(int_AII));
    std::copy(std::begin(s.percentile), std::end(s.percentile), std::begin(int_percentile));
    int_con_iq = int_percentile[10] - int_percentile[4];
    return true;
}

bool CCloudMetics::cal_normal_intensity(std::vector<VerdantaIO::PointCloud> &points)
{
    std::vector<double> v;
    gather(v, points, [](const VerdantaIO::PointCloud &p) { return static_cast<double>(p.intensity); });
    return cal_normal_intensity(v.data(), v.size());
}

// ---- per-cell records for the regression tools -------------------------------------

void CCloudMetics::setBlockCells(int columns, int rows)
{
    columns_ = std::max(1, columns);
    rows_ = std::max(1, rows);
    fixedSize_ = true;
}

template <typename Value, typename Record>
bool CCloudMetics::perCell(const std::vector<VerdantaIO::PointCloud> &points, double xmin, double xmax, double ymin,
                           double ymax, double xsize, double ysize, int recordSize, std::vector<double> &records,
                           Value value, Record record)
{
    const CellBlock block =
        CellBlock::over(xmin, xmax, ymin, ymax, xsize, ysize, fixedSize_ ? columns_ : 0, fixedSize_ ? rows_ : 0);
    columns_ = block.columns;
    rows_ = block.rows;
    const size_t cells = static_cast<size_t>(block.cells());
    records.assign(cells * recordSize, 0.0);
    if (!block.valid)
        return false;
    // A counting sort of the points by cell.
    cellStart_.assign(cells + 1, 0);
    cellOf_.resize(points.size());
    for (size_t k = 0; k < points.size(); ++k) {
        const int c = block.cellOf(points[k].x, points[k].y);
        cellOf_[k] = c < 0 ? 0xffffffffu : static_cast<uint32_t>(c);
        if (c >= 0)
            ++cellStart_[static_cast<size_t>(c) + 1];
    }
    for (size_t c = 0; c < cells; ++c)
        cellStart_[c + 1] += cellStart_[c];
    cellValues_.resize(cellStart_[cells]);
    std::vector<uint32_t> fill(cellStart_.begin(), cellStart_.end() - 1);
    for (size_t k = 0; k < points.size(); ++k)
        if (cellOf_[k] != 0xffffffffu)
            cellValues_[fill[cellOf_[k]]++] = value(points[k]);
    bool any = false;
    std::vector<double> values;
    for (size_t c = 0; c < cells; ++c) {
        const uint32_t n = cellStart_[c + 1] - cellStart_[c];
        if (n == 0)
            continue;
        values.assign(cellValues_.begin() + cellStart_[c], cellValues_.begin() + cellStart_[c + 1]);
        record(values, records.data() + c * recordSize);
        any = true;
    }
    return any;
}

bool CCloudMetics::elevation_metrics_regression(std::vector<VerdantaIO::PointCloud> &points, double xmin,
                                                double xmax, double ymin, double ymax, double xsize, double ysize)
{
    return perCell(points, xmin, xmax, ymin, ymax, xsize, ysize, kElevationRecord, elevationRecords,
                   [](const VerdantaIO::PointCloud &p) { return p.z; },
                   [this](const std::vector<double> &v, double *out) {
                       if (!cal_pecentitle_z(v.data(), v.size()))
                           return;
                       const double head[] = {elev_max_z,   elev_min_z,      elev_mean_z,     elev_median_z,
                                              elev_stddev_z, elev_variance_z, elev_cv_z,       elev_AIH_IQ,
                                              elev_skewness_z, elev_kurtosis_z, elev_aad_z, elev_madmedian_z};
                       std::copy(std::begin(head), std::end(head), out);
                       std::copy(std::begin(elev_AIH), std::end(elev_AIH), out + 12);
                       out[27] = elev_IQ;
                       out[28] = static_cast<double>(v.size());
                       std::copy(std::begin(elev_percentile), std::end(elev_percentile), out + kElevationPercentiles);
                       out[44] = elev_canpoy_relief_ratio;
                       out[45] = elev_sqrt_mean_sq;
                       out[46] = elev_curt_mean_cube;
                       std::copy(std::begin(density_metrics), std::end(density_metrics), out + kElevationDensities);
                   });
}

bool CCloudMetics::intensity_mertrics_regression(std::vector<VerdantaIO::PointCloud> &points, double xmin,
                                                 double xmax, double ymin, double ymax, double xsize, double ysize)
{
    return perCell(points, xmin, xmax, ymin, ymax, xsize, ysize, kIntensityRecord, intensityRecords,
                   [](const VerdantaIO::PointCloud &p) { return static_cast<double>(p.intensity); },
                   [this](const std::vector<double> &v, double *out) {
                       if (!cal_normal_intensity(v.data(), v.size()))
                           return;
                       const double head[] = {int_max,      int_min,  int_mean, int_median_z, int_stddev, int_variance,
                                              int_cv,       int_skewness, int_kurtosis, int_aad, int_madmedian};
                       std::copy(std::begin(head), std::end(head), out);
                       std::copy(std::begin(int_AII), std::end(int_AII), out + 11);
                       out[26] = int_con_iq;
                       out[27] = static_cast<double>(v.size());
                       std::copy(std::begin(int_percentile), std::end(int_percentile), out + kIntensityPercentiles);
                       out[43] = int_AII[10] - int_AII[4];  // AII at 75 minus AII at 25
                   });
}
