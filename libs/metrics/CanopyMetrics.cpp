#include "CanopyMetrics.h"

#include "CellBlock.h"

#include <algorithm>
#include <cmath>

void CanopyStats::addAll(const std::vector<VerdantaIO::PointCloud> &points, double heightBreak)
{
    for (const VerdantaIO::PointCloud &p : points)
        add(p, heightBreak);
}

float CanopyStats::cover() const
{
    return firstReturns == 0 ? 0.0f : static_cast<float>(double(firstAbove) / double(firstReturns));
}

float CanopyStats::gapFraction() const
{
    return returns == 0 ? 0.0f : static_cast<float>(double(below) / double(returns));
}

double CanopyStats::meanScanAngle() const
{
    if (returns == 0)
        return 0.0;
    return std::min(90.0, sumAbsScanAngle / double(returns));
}

float CanopyStats::lai(double leafAngleDistribution) const
{
    if (returns == 0 || !(leafAngleDistribution > 0) || !std::isfinite(leafAngleDistribution))
        return 0.0f;
    const double n = double(returns);
    // No gap among n returns: half a return instead of none.
    const double p = below == 0 ? 0.5 / n : double(below) / n;
    const double cosTheta = std::cos(meanScanAngle() * M_PI / 180.0);
    const double value = -cosTheta * std::log(p) / leafAngleDistribution;
    // P = 1 gives -0; a vertical mean angle gives 0 as well.
    return value > 0 && std::isfinite(value) ? static_cast<float>(value) : 0.0f;
}

Canopy_Metrics::Canopy_Metrics() = default;

void Canopy_Metrics::setBlockCells(int columns, int rows)
{
    columns_ = std::max(1, columns);
    rows_ = std::max(1, rows);
    fixedSize_ = true;
}

bool Canopy_Metrics::canopy_for_regression(std::vector<VerdantaIO::PointCloud> &points, double xmin, double xmax,
                                           double ymin, double ymax, double xsize, double ysize)
{
    const CellBlock block = CellBlock::over(xmin, xmax, ymin, ymax, xsize, ysize, fixedSize_ ? columns_ : 0,
                                            fixedSize_ ? rows_ : 0);
    const bool valid = block.valid;
    columns_ = block.columns;
    rows_ = block.rows;
    const size_t cells = static_cast<size_t>(columns_) * static_cast<size_t>(rows_);
    cover_.assign(cells, 0.0f);
    gap_.assign(cells, 0.0f);
    lai_.assign(cells, 0.0f);
    coverGrid = cover_.data();
    gapGrid = gap_.data();
    laiGrid = lai_.data();
    placed_ = 0;
    if (!valid)
        return false;
    std::vector<CanopyStats> stats(cells);
    // The break as typed: a float holds 2.3 as 2.29999995, which would put
    // returns recorded at 2.30 above it. Heights mean nothing below a
    // micrometre, so the value is rounded to that.
    const double hb = std::round(double(heightBreak) * 1e6) / 1e6;
    for (const VerdantaIO::PointCloud &p : points) {
        const int cell = block.cellOf(p.x, p.y);
        if (cell < 0)
            continue;
        stats[static_cast<size_t>(cell)].add(p, hb);
        ++placed_;
    }
    for (size_t k = 0; k < cells; ++k) {
        cover_[k] = stats[k].cover();
        gap_[k] = stats[k].gapFraction();
        lai_[k] = stats[k].lai(leafAngleDistribution);
    }
    return placed_ > 0;
}
