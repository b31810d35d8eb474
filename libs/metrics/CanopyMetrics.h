#pragma once
// Canopy metrics of LiDAR returns: canopy cover, gap fraction and the
// effective leaf area index.
//
// Two layers: CanopyStats holds the counts of one point set (a grid cell,
// a plot) and turns them into the three values; Canopy_Metrics spreads the
// points of a rectangle of cells over those counts and keeps one buffer of
// values per quantity, row by row from the north-west cell, as a Float32
// raster block is written.
//
// Definitions (heights are the points' z, normalised to the ground):
// - first return: return number 1, or 0 (a record without return
//   information is taken as a single-return pulse);
// - canopy cover = first returns with z > heightBreak / first returns;
// - gap fraction P = returns with z <= heightBreak / all returns (a return
//   exactly at the break is not canopy, so it counts as a gap);
// - LAI = -cos(theta) * ln(P) / G, that is -ln(P) / K with K = G / cos(theta),
//   G the leaf angle distribution and theta the mean absolute scan angle of
//   the returns (capped at 90 degrees). Where P = 0 the gap count 0 is taken
//   as half a return, P = 1 / (2n), so the value stays finite and still grows
//   with the number n of returns that found no gap.
// A set without returns (for the cover: without first returns) has the
// value 0 for each quantity, the value written for blocks with too few
// points.

#include "PointRecords.h"

#include <cstdint>
#include <vector>

class CanopyStats {
public:
    // Adds one return against the height break.
    void add(const VerdantaIO::PointCloud &p, double heightBreak)
    {
        const bool first = p.returnNumber <= 1;
        const bool above = p.z > heightBreak;
        ++returns;
        below += above ? 0 : 1;
        firstReturns += first ? 1 : 0;
        firstAbove += (first && above) ? 1 : 0;
        const double angle = p.scanAngleDegrees();
        sumAbsScanAngle += angle < 0 ? -angle : angle;
    }
    // Adds every point of a set.
    void addAll(const std::vector<VerdantaIO::PointCloud> &points, double heightBreak);

    float cover() const;
    float gapFraction() const;
    // The mean absolute scan angle in degrees, at most 90.
    double meanScanAngle() const;
    float lai(double leafAngleDistribution) const;

    uint64_t returns = 0, below = 0, firstReturns = 0, firstAbove = 0;
    double sumAbsScanAngle = 0;
};

class Canopy_Metrics {
public:
    Canopy_Metrics();
    Canopy_Metrics(const Canopy_Metrics &) = delete;
    Canopy_Metrics &operator=(const Canopy_Metrics &) = delete;

    float heightBreak = 2.0f;
    float leafAngleDistribution = 0.5f;

private:
    // The block's size in cells (derived from the rectangle on each call
    // unless fixed) and the number of points the last call placed in a cell.
    int32_t columns_ = 0, rows_ = 0, placed_ = 0;
    bool fixedSize_ = false;

public:
    float *coverGrid = nullptr;
    float *gapGrid = nullptr;
    float *laiGrid = nullptr;

    // Fixes the block's size in cells. A gridding caller that clips the
    // rectangle to its extent knows the block's width better than the
    // rectangle tells it; without this the block is the smallest number of
    // whole cells that covers the rectangle.
    void setBlockCells(int columns, int rows);

    // The values of the cells of the rectangle (xmin..xmax, ymin..ymax) with
    // cells of xsize by ysize from its north-west corner. A point belongs to
    // the cell floor((x - xmin) / xsize), floor((ymax - y) / ysize); points
    // outside the block's cells (on the far edge of a full block, where the
    // neighbouring block counts them) are left out. False for an invalid
    // rectangle or cell size; the buffers then hold zeros.
    bool canopy_for_regression(std::vector<VerdantaIO::PointCloud> &points, double xmin, double xmax, double ymin,
                               double ymax, double xsize, double ysize);

    int columns() const { return columns_; }
    int rows() const { return rows_; }
    // Points that fell into a cell of the block in the last call.
    int placedPoints() const { return placed_; }

private:
    std::vector<float> cover_, gap_, lai_;
};
