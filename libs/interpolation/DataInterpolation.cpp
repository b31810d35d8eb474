#include "DataInterpolation.h"

#include "GridExtent.h"
#include "LasIO.h"
#include "RasterIO.h"
#include "Threads.h"

#include <Eigen/Dense>
#include <nanoflann.hpp>

#include <algorithm>
#include <cmath>
#include <exception>
#include <filesystem>
#include <limits>
#include <random>
#include <thread>

using namespace VerdantaIO;

namespace {

constexpr uint64_t kChunk = 100000;
constexpr int kBlock = 10;  // rows computed and written together

struct Samples {
    std::vector<double> x, y, z;
    size_t kdtree_get_point_count() const { return x.size(); }
    double kdtree_get_pt(size_t i, size_t d) const { return d == 0 ? x[i] : y[i]; }
    template <class B> bool kdtree_get_bbox(B &) const { return false; }
};
using KdTree = nanoflann::KDTreeSingleIndexAdaptor<nanoflann::L2_Simple_Adaptor<double, Samples>, Samples, 2>;

struct Grid {
    double minX = 0, maxY = 0, dx = 1, dy = 1;
    int cols = 0, rows = 0;
    double cx(int c) const { return minX + (c + 0.5) * dx; }
    double cy(int r) const { return maxY - (r + 0.5) * dy; }
};

// Reorders the samples along a Z-order curve of a 1024 x 1024 grid over the
// extent (a counting sort). Neighbours in space become neighbours in memory,
// which makes the k-d tree's construction several times faster on millions
// of points.
void spatialOrder(Samples &s, double minX, double maxX, double minY, double maxY)
{
    const size_t n = s.x.size();
    if (n < 100000)
        return;
    auto spread = [](uint32_t v) {
        uint32_t z = 0;
        for (int b = 0; b < 10; ++b)
            z |= ((v >> b) & 1u) << (2 * b);
        return z;
    };
    const double fx = 1023.999 / std::max(maxX - minX, 1e-9), fy = 1023.999 / std::max(maxY - minY, 1e-9);
    std::vector<uint32_t> key(n);
    std::vector<size_t> start((1u << 20) + 1, 0);
    for (size_t i = 0; i < n; ++i) {
        const uint32_t cx = static_cast<uint32_t>(std::clamp((s.x[i] - minX) * fx, 0.0, 1023.0));
        const uint32_t cy = static_cast<uint32_t>(std::clamp((s.y[i] - minY) * fy, 0.0, 1023.0));
        key[i] = spread(cx) | (spread(cy) << 1);
        ++start[key[i] + 1];
    }
    for (size_t c = 0; c < (1u << 20); ++c)
        start[c + 1] += start[c];
    std::vector<size_t> order(n);
    for (size_t i = 0; i < n; ++i)
        order[start[key[i]]++] = i;
    for (std::vector<double> *v : {&s.x, &s.y, &s.z}) {
        std::vector<double> sorted(n);
        for (size_t i = 0; i < n; ++i)
            sorted[i] = (*v)[order[i]];
        v->swap(sorted);
    }
}

// Neighbours closer together than this fraction of the cell size are merged
// into one kriging sample: 1 cm for 1 m cells, 1 mm for 10 cm cells. Points
// that close cannot be told apart on the grid, yet they are what makes a
// kriging system singular. Tying the distance to the cell keeps it in the
// data's own units (metres or feet).
constexpr double kMergeFraction = 0.01;
// The smallest reciprocal condition number of a kriging system that is
// solved (normalised covariance form, see krigeAt); below it the cell falls
// back to IDW. The weights then carry relative errors up to about
// eps / rcond = 2e-6, far below a millimetre on the few metres of relief
// among the neighbours of a cell. With near-duplicates merged, the systems
// of real urban and rural samples sit between 1e-6 and 1e-3; points a
// micrometre apart bring them to 1e-10.
constexpr double kMinRcond = 1e-10;

// Per-thread workspace of the kriging solve, reused from cell to cell.
struct KrigingScratch {
    std::vector<double> x, y, z, d, count;
    Eigen::MatrixXd C;
    Eigen::VectorXd c, a, e;
    Eigen::LDLT<Eigen::MatrixXd> ldlt;
};

double shape(C_DataInterpolation::Variogram::Model m, double t)
{
    if (m == C_DataInterpolation::Variogram::Spherical)
        return t >= 1.0 ? 1.0 : 1.5 * t - 0.5 * t * t * t;
    return 1.0 - std::exp(-3.0 * t);
}

// The smallest total sill (nugget + partial sill) of a fitted model: a
// standard deviation of 1 mm, the usual coordinate resolution of LAS files.
// A smaller variance cannot be told from a flat surface, and a zero sill
// would make every kriging system singular.
constexpr double kMinSill = 1e-6;
// Lag bins with fewer pairs than this are too noisy to fit (the usual rule
// of thumb for experimental semivariograms).
constexpr double kMinPairsPerBin = 30;

// Fits nugget, partial sill and range of both models to the binned
// semivariances by weighted least squares over a range search; keeps the
// better fit. Degenerate inputs (no extent, constant heights, fewer than
// three usable bins, a fit that finds no positive sill) give a spherical
// model without nugget whose sill is the heights' variance (at least
// kMinSill) and whose range is the maximum lag (minLag when that is not
// positive): a model
// that keeps every kriging system of distinct points regular. The fit uses
// only distances between points, so samples along one line are no special
// case here.
C_DataInterpolation::Variogram fitVariogram(const Samples &s, double maxLag, double minLag)
{
    C_DataInterpolation::Variogram best;
    if (!(maxLag > 0))  // no extent (one point), or a meaningless argument
        maxLag = minLag;
    const size_t n = s.x.size();
    std::vector<size_t> pick(n);
    for (size_t i = 0; i < n; ++i)
        pick[i] = i;
    std::mt19937 rng(12345);
    std::shuffle(pick.begin(), pick.end(), rng);
    pick.resize(std::min<size_t>(n, 3000));
    const int bins = 20;
    const double width = maxLag / bins;
    std::vector<double> sum(bins, 0), count(bins, 0), lag(bins, 0);
    for (size_t a = 0; a < pick.size(); ++a)
        for (size_t b = a + 1; b < pick.size(); ++b) {
            const size_t i = pick[a], j = pick[b];
            const double d = std::hypot(s.x[i] - s.x[j], s.y[i] - s.y[j]);
            if (d >= maxLag || d <= 0)
                continue;
            const int k = std::min(bins - 1, static_cast<int>(d / width));
            const double dz = s.z[i] - s.z[j];
            sum[k] += 0.5 * dz * dz;
            lag[k] += d;
            ++count[k];
        }
    std::vector<double> h, g, w;
    for (int k = 0; k < bins; ++k)
        if (count[k] >= kMinPairsPerBin) {
            h.push_back(lag[k] / count[k]);
            g.push_back(sum[k] / count[k]);
            w.push_back(count[k]);
        }
    double variance = 0, mean = 0;
    for (double v : s.z)
        mean += v;
    mean /= std::max<size_t>(1, n);
    for (double v : s.z)
        variance += (v - mean) * (v - mean);
    variance /= std::max<size_t>(1, n);
    best.sill = std::max(variance, kMinSill);
    best.range = maxLag;
    if (h.size() < 3 || variance < kMinSill)
        return best;
    double bestErr = std::numeric_limits<double>::max();
    for (auto model : {C_DataInterpolation::Variogram::Spherical, C_DataInterpolation::Variogram::Exponential}) {
        for (int step = 1; step <= 60; ++step) {
            const double range = width * 0.5 + (2.0 * maxLag - width * 0.5) * step / 60.0;
            // Weighted least squares of g = c0 + c f(h / range).
            double sw = 0, sf = 0, sff = 0, sg = 0, sfg = 0;
            for (size_t k = 0; k < h.size(); ++k) {
                const double f = shape(model, h[k] / range);
                sw += w[k];
                sf += w[k] * f;
                sff += w[k] * f * f;
                sg += w[k] * g[k];
                sfg += w[k] * f * g[k];
            }
            // The 2 x 2 normal equations are singular when f hardly varies
            // over the bins (a range far below the first lag: f = 1 at every
            // bin, and nugget and sill cannot be told apart). Relative to
            // sw * sff, the determinant is the weighted variance of f over
            // its mean square; below 1e-9 the two-parameter solve is noise,
            // and the sill alone is fitted.
            const double det = sw * sff - sf * sf;
            const bool regular = det > 1e-9 * sw * sff;
            double c0 = 0, c = 0;
            if (regular) {
                c0 = (sg * sff - sf * sfg) / det;
                c = (sw * sfg - sf * sg) / det;
            }
            if (c0 < 0 || !regular) {
                c0 = 0;
                c = sff > 0 ? sfg / sff : 0;
            }
            if (!(c > 0) || !(c0 + c >= kMinSill) || !std::isfinite(c0 + c))
                continue;
            double err = 0;
            for (size_t k = 0; k < h.size(); ++k) {
                const double r = g[k] - c0 - c * shape(model, h[k] / range);
                err += w[k] * r * r;
            }
            if (err < bestErr) {
                bestErr = err;
                best.model = model;
                best.nugget = c0;
                best.sill = c;
                best.range = range;
            }
        }
    }
    return best;
}

}  // namespace

double C_DataInterpolation::Variogram::operator()(double h) const
{
    if (h <= 0)
        return 0.0;
    return nugget + sill * shape(model, h / range);
}

float C_DataInterpolation::IDW(std::vector<std::string> paths, const std::string &output, double searchRadius,
                               CProcessBase *progress)
{
    return run(paths, nullptr, output, searchRadius, false, 0.0f, progress);
}

float C_DataInterpolation::KrigingInterpolation(std::vector<std::string> paths, const std::string &output,
                                                double searchRadius, float maxLag, CProcessBase *progress)
{
    return run(paths, nullptr, output, searchRadius, true, maxLag, progress);
}

float C_DataInterpolation::IDW(const PointsInMemory &points, const std::string &output, double searchRadius,
                               CProcessBase *progress)
{
    return run({points.name}, &points, output, searchRadius, false, 0.0f, progress);
}

float C_DataInterpolation::KrigingInterpolation(const PointsInMemory &points, const std::string &output,
                                                double searchRadius, float maxLag, CProcessBase *progress)
{
    return run({points.name}, &points, output, searchRadius, true, maxLag, progress);
}

float C_DataInterpolation::run(const std::vector<std::string> &paths, const PointsInMemory *memory,
                               const std::string &output, double radius, bool kriging, float maxLag,
                               CProcessBase *progress)
{
    emptyInputs.clear();
    notes.clear();
    error_.clear();
    if (!(cellSizeX > 0) || !(cellSizeY > 0) || paths.empty() ||
        (memory && (!memory->header || !memory->points))) {
        error_ = "Invalid cell size or no input";
        return kCreateFailed;
    }
    std::vector<PointHeader> headers;
    uint64_t total = 0;
    if (memory) {
        headers.push_back(*memory->header);
        total = memory->points->size();
    }
    for (size_t i = 0; !memory && i < paths.size(); ++i) {
        CLASIO las;
        if (!las.LoadFile(paths[i])) {
            error_ = las.lastError();
            return static_cast<float>(i + 1);
        }
        total += las.header.numberOfPointRecords;
        headers.push_back(las.header);
    }
    const int32_t chunks = static_cast<int32_t>((total + kChunk - 1) / kChunk);
    if (progress)
        progress->SetStepCount(chunks + 1);

    // Each input's point bounds, against which its header's bounds are
    // checked. The surface bins its points into the grid while reading them
    // (one cell's highest return, not every return, stays in memory), so it
    // needs them first and scans the stored coordinates without decoding;
    // the ground selection keeps its points and takes the bounds from the
    // same pass.
    const bool surface = selectorCode == 6 || flagB;
    std::vector<GridExtent::Bounds> pointBounds(paths.size());
    if (surface && memory) {
        for (const PointCloud &p : *memory->points)
            pointBounds[0].add(p.x, p.y);
    } else if (surface) {
        for (size_t i = 0; i < paths.size(); ++i) {
            CLASIO las;
            LASExtent e;
            if (!las.LoadFile(paths[i]))
                return static_cast<float>(i + 1);
            if (las.PointExtent(e))
                pointBounds[i] = GridExtent::of(e);
        }
    }

    // The grid: each file's header bounds where they fit its points, else
    // its points' bounds; sized before anything is allocated.
    Grid grid;
    uint64_t cells = 0;
    double minX = 0, maxX = 0, minY = 0, maxY = 0;
    auto chooseGrid = [&]() -> float {
        GridExtent::Bounds extent;
        for (size_t i = 0; i < paths.size(); ++i) {
            if (pointBounds[i].empty)
                continue;  // no point: the file adds nothing to the grid
            // The header of points in memory is their window on the
            // dataset's grid, which the grid must keep even where the
            // points fill little of it.
            std::string note;
            extent.add(memory ? GridExtent::of(headers[i])
                              : GridExtent::choose(paths[i], GridExtent::of(headers[i]), pointBounds[i], cellSizeX,
                                                   cellSizeY, note));
            if (!note.empty())
                notes.push_back(note);
        }
        if (extent.empty) {
            for (const std::string &p : paths)
                if (std::find(emptyInputs.begin(), emptyInputs.end(), p) == emptyInputs.end())
                    emptyInputs.push_back(p);
            error_ = "No point to interpolate";
            return kNoPoints;
        }
        minX = extent.minX; maxX = extent.maxX; minY = extent.minY; maxY = extent.maxY;
        double cols = 0, rows = 0;
        GridExtent::gridSize(extent, cellSizeX, cellSizeY, cols, rows);
        // The written Float32 raster, plus the surface's highest return and
        // its position per cell.
        if (!GridExtent::fits(cols, rows, surface ? 4.0 + 20.0 : 4.0, error_))
            return kGridTooLarge;
        grid.minX = minX;
        grid.maxY = maxY;
        grid.dx = cellSizeX;
        grid.dy = cellSizeY;
        grid.cols = static_cast<int>(cols);
        grid.rows = static_cast<int>(rows);
        cells = static_cast<uint64_t>(grid.cols) * grid.rows;
        return 0.0f;
    };
    std::vector<float> top;  // the highest first return per cell (surface)
    std::vector<double> topX, topY;
    if (surface) {
        if (const float status = chooseGrid())
            return status;
        try {
            top.assign(cells, -std::numeric_limits<float>::infinity());
            topX.assign(cells, 0);
            topY.assign(cells, 0);
        } catch (const std::bad_alloc &) {
            error_ = "Not enough memory for a surface of " + std::to_string(grid.cols) + " columns x " +
                     std::to_string(grid.rows) + " rows";
            return kGridTooLarge;
        }
    }

    // Point selection, chunk by chunk: from each file, or from the points
    // in memory.
    Samples samples;
    std::vector<PointCloud> chunk;
    for (size_t i = 0; i < paths.size(); ++i) {
        CLASIO las;
        if (!memory && !las.LoadFile(paths[i]))
            return static_cast<float>(i + 1);
        const uint64_t count = memory ? memory->points->size() : las.header.numberOfPointRecords;
        uint64_t selected = 0;
        GridExtent::Bounds &bounds = pointBounds[i];
        for (uint64_t start = 0; start < count; start += kChunk) {
            const PointCloud *begin = nullptr, *end = nullptr;
            if (memory) {
                begin = memory->points->data() + start;
                end = begin + std::min<uint64_t>(kChunk, count - start);
            } else {
                if (!las.ReadData(start, kChunk, chunk))
                    return static_cast<float>(i + 1);
                begin = chunk.data();
                end = begin + chunk.size();
            }
            for (const PointCloud *it = begin; it != end; ++it) {
                const PointCloud &p = *it;
                if (surface) {
                    if (p.returnNumber > 1)
                        continue;
                    const int c = std::clamp(static_cast<int>((p.x - minX) / cellSizeX), 0, grid.cols - 1);
                    const int r = std::clamp(static_cast<int>((maxY - p.y) / cellSizeY), 0, grid.rows - 1);
                    const size_t k = static_cast<size_t>(r) * grid.cols + c;
                    if (p.z > top[k]) {
                        top[k] = static_cast<float>(p.z);
                        topX[k] = p.x;
                        topY[k] = p.y;
                    }
                    ++selected;
                } else {
                    bounds.add(p.x, p.y);
                    if (p.classification == 2) {
                        samples.x.push_back(p.x);
                        samples.y.push_back(p.y);
                        samples.z.push_back(p.z);
                        ++selected;
                    }
                }
            }
            if (progress && !progress->StepIt())
                return kCancelled;
        }
        if (selected == 0)
            emptyInputs.push_back(paths[i]);
    }
    std::vector<PointCloud>().swap(chunk);
    if (surface) {
        for (size_t k = 0; k < cells; ++k)
            if (top[k] > -std::numeric_limits<float>::infinity()) {
                samples.x.push_back(topX[k]);
                samples.y.push_back(topY[k]);
                samples.z.push_back(top[k]);
            }
        std::vector<float>().swap(top);
        std::vector<double>().swap(topX);
        std::vector<double>().swap(topY);
    } else if (!samples.x.empty()) {
        if (const float status = chooseGrid())
            return status;
    }
    if (samples.x.empty()) {
        error_ = "No point to interpolate";
        return kNoPoints;
    }
    const int rowBlocks = (grid.rows + kBlock - 1) / kBlock;
    if (progress) {
        // The selection's steps are counted again in the run's full count.
        progress->SetStepCount(chunks + rowBlocks + 1);
        for (int32_t c = 0; c < chunks; ++c)
            if (!progress->StepIt())
                return kCancelled;
    }

    // The output before the gridding, so that an unwritable path fails
    // before the long part of the work.
    CRasterIO raster;
    raster.geoTransform = {{minX, cellSizeX, 0.0, maxY, 0.0, -cellSizeY}};
    raster.spatialReference = headers.front().spatialReference.GetWKT();
    if (!raster.Createfile(output, grid.cols, grid.rows, 1, 6 /* GDT_Float32 */) || !raster.SetNoDataValue(kNoData)) {
        error_ = raster.lastError();
        return kCreateFailed;
    }
    auto abandon = [&](float status) {
        raster.Close();
        std::error_code ec;
        std::filesystem::remove(std::filesystem::path(output), ec);
        return status;
    };
    spatialOrder(samples, minX, maxX, minY, maxY);
    KdTree tree(2, samples, nanoflann::KDTreeSingleIndexAdaptorParams(16));
    tree.buildIndex();
    if (kriging)
        variogram = fitVariogram(samples, std::min<double>(maxLag, 0.5 * std::hypot(maxX - minX, maxY - minY)),
                                 std::max(cellSizeX, cellSizeY));
    if (progress && !progress->StepIt())
        return abandon(kCancelled);

    const double r2 = radius * radius;
    const int k = std::max(1, kriging ? krigingNeighbours : idwNeighbours);
    auto idwAt = [&](const unsigned *idx, const double *d2, size_t n) -> float {
        if (power == 0.0) {
            double s = 0;
            for (size_t i = 0; i < n; ++i)
                s += samples.z[idx[i]];
            return static_cast<float>(s / n);
        }
        double sw = 0, sz = 0;
        for (size_t i = 0; i < n; ++i) {
            const double w = 1.0 / std::pow(std::sqrt(d2[i]), power);
            sw += w;
            sz += w * samples.z[idx[i]];
        }
        return static_cast<float>(sz / sw);
    };
    // Ordinary kriging of one cell, in covariance form: C(h) = nugget + sill
    // - gamma(h), C(0) = nugget + sill, both divided by nugget + sill. For
    // the bounded models fitted here that gives the same weights as the
    // variogram system with its Lagrange row, but C is symmetric positive
    // definite for distinct points, so a pivoted LDLT (a rank-revealing
    // Cholesky) solves it and its pivots and condition estimate tell a
    // singular or ill-conditioned system apart. With a = C^-1 c and
    // e = C^-1 1, the weights are a + e (1 - sum a) / sum e.
    //
    // Neighbours closer together than mergeDistance are one sample with
    // their mean height: two heights at one position make two equal rows, a
    // singular system that a partial-pivot LU still "solves" into weights of
    // 1e20; a micrometre apart they leave it nearly singular. A system that
    // is still not positive definite or is ill-conditioned, and an estimate
    // beyond the neighbours' range by more than the model allows, fall back
    // to IDW of the same neighbours.
    const double mergeDistance = kMergeFraction * std::min(cellSizeX, cellSizeY);
    const double merge2 = mergeDistance * mergeDistance;
    const double totalSill = variogram.nugget + variogram.sill;  // > 0 by construction of the fit
    const double margin = kRangeMargin * std::sqrt(totalSill);
    auto covariance = [&](double h) { return 1.0 - variogram(h) / totalSill; };
    auto krigeAt = [&](const unsigned *idx, const double *d2, size_t n, KrigingScratch &ks) -> float {
        ks.x.clear();
        ks.y.clear();
        ks.z.clear();
        ks.d.clear();
        ks.count.clear();
        double lo = std::numeric_limits<double>::max(), hi = std::numeric_limits<double>::lowest();
        for (size_t i = 0; i < n; ++i) {
            const double px = samples.x[idx[i]], py = samples.y[idx[i]], pz = samples.z[idx[i]];
            lo = std::min(lo, pz);
            hi = std::max(hi, pz);
            size_t j = 0;
            while (j < ks.x.size() && (ks.x[j] - px) * (ks.x[j] - px) + (ks.y[j] - py) * (ks.y[j] - py) > merge2)
                ++j;
            if (j == ks.x.size()) {
                ks.x.push_back(px);
                ks.y.push_back(py);
                ks.z.push_back(pz);
                ks.d.push_back(std::sqrt(d2[i]));
                ks.count.push_back(1);
            } else {
                ks.z[j] += pz;
                ++ks.count[j];
            }
        }
        const size_t m = ks.x.size();
        for (size_t j = 0; j < m; ++j)
            ks.z[j] /= ks.count[j];
        if (m == 1)
            return static_cast<float>(ks.z[0]);
        Eigen::MatrixXd &C = ks.C;
        C.resize(m, m);
        ks.c.resize(m);
        for (size_t i = 0; i < m; ++i) {
            C(i, i) = 1.0;
            for (size_t j = i + 1; j < m; ++j) {
                const double dx = ks.x[i] - ks.x[j], dy = ks.y[i] - ks.y[j];
                C(i, j) = C(j, i) = covariance(std::sqrt(dx * dx + dy * dy));
            }
            ks.c(i) = covariance(ks.d[i]);
        }
        // Two checks: the pivots, because Eigen's LDLT solves a singular
        // system as a pseudo-inverse, so that rcond() of two equal rows still
        // reads about 1e-4; their ratio bounds the condition number from
        // below (the largest pivot is the largest diagonal entry, and a pivot
        // is at least the smallest eigenvalue). And the 1-norm estimate of
        // rcond for a system that is nearly singular without a small pivot.
        ks.ldlt.compute(C);
        if (ks.ldlt.info() != Eigen::Success)
            return idwAt(idx, d2, n);
        const auto &D = ks.ldlt.vectorD();
        if (!(D.minCoeff() >= kMinRcond * D.maxCoeff()) || !(ks.ldlt.rcond() >= kMinRcond))
            return idwAt(idx, d2, n);
        ks.a = ks.ldlt.solve(ks.c);
        ks.e = ks.ldlt.solve(Eigen::VectorXd::Ones(static_cast<Eigen::Index>(m)));
        const double se = ks.e.sum();
        if (!(se > 0))
            return idwAt(idx, d2, n);
        const double shift = (1.0 - ks.a.sum()) / se;
        double z = 0;
        for (size_t i = 0; i < m; ++i)
            z += (ks.a(i) + shift * ks.e(i)) * ks.z[i];
        if (!std::isfinite(z) || z < lo - margin || z > hi + margin)
            return idwAt(idx, d2, n);
        return static_cast<float>(z);
    };
    auto cellValue = [&](int r, int c, std::vector<unsigned> &idx, std::vector<double> &d2, KrigingScratch &ks) -> float {
        const double q[2] = {grid.cx(c), grid.cy(r)};
        const size_t found = tree.knnSearch(q, k, idx.data(), d2.data());
        size_t n = 0;
        while (n < found && d2[n] <= r2)
            ++n;
        if (n == 0)
            return kNoData;
        if (d2[0] == 0.0)
            return static_cast<float>(samples.z[idx[0]]);  // a point on the cell centre
        return kriging ? krigeAt(idx.data(), d2.data(), n, ks) : idwAt(idx.data(), d2.data(), n);
    };

    // Ten rows at a time on two threads (one when the process shares its
    // cores with other jobs); progress and cancel on this thread.
    std::vector<float> block(static_cast<size_t>(kBlock) * grid.cols);
    const unsigned workers = threadBudget(2);
    for (int rb = 0; rb < rowBlocks; ++rb) {
        const int r0 = rb * kBlock, r1 = std::min(grid.rows, r0 + kBlock);
        auto work = [&](unsigned part) {
            std::vector<unsigned> idx(k);
            std::vector<double> d2(k);
            KrigingScratch ks;
            for (int r = r0; r < r1; ++r)
                for (int c = static_cast<int>(part); c < grid.cols; c += static_cast<int>(workers))
                    block[static_cast<size_t>(r - r0) * grid.cols + c] = cellValue(r, c, idx, d2, ks);
        };
        // An exception escaping a thread would terminate the program: the
        // helper's is carried over and raised here, after the join, where
        // the run's caller can catch it (the output is removed first).
        std::exception_ptr failure;
        try {
            if (workers > 1) {
                std::thread helper([&] {
                    try {
                        work(1u);
                    } catch (...) {
                        failure = std::current_exception();
                    }
                });
                try {
                    work(0u);
                } catch (...) {
                    helper.join();
                    throw;
                }
                helper.join();
            } else {
                work(0u);
            }
            if (failure)
                std::rethrow_exception(failure);
        } catch (...) {
            abandon(kCreateFailed);
            throw;
        }
        // Ten rows at a time: one strip write rather than 10 x 10 pieces,
        // which a striped GeoTIFF would have to read back and rewrite.
        if (!raster.WriteRasterBlock(1, 0, r0, grid.cols, r1 - r0, block.data())) {
            error_ = "Could not write the raster";
            return abandon(kCreateFailed);
        }
        if (progress && !progress->StepIt())
            return abandon(kCancelled);
    }
    raster.Close();
    return kDone;
}
