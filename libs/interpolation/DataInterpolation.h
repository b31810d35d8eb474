#pragma once
// Gridding of LAS points into elevation rasters: inverse distance weighting
// over a k-d tree and ordinary kriging with a fitted semivariogram.
//
// Point selection: selectorCode 2 with flagA set takes the ground points
// (class 2), for a DEM; selectorCode 6 with flagB set takes the surface, the
// highest first return in each cell, for a DSM.
//
// The grid covers the union of the inputs' header extents (a header whose
// bounds cannot be right for its points is replaced by the points' bounds,
// see GridExtent.h, and reported in `notes`): columns =
// int(int(maxX - minX) / cellSizeX + 1), rows likewise, geotransform
// (minX, cellSizeX, 0, maxY, 0, -cellSizeY). Cells farther than the search
// radius from every selected point hold the no-data value kNoData, declared
// as the band's no-data value.

#include "PointRecords.h"
#include "ProcessBase.h"

#include <string>
#include <vector>

class C_DataInterpolation {
public:
    double power = 2.0;
    double cellSizeX = 1.0;
    double cellSizeY = 1.0;
    uint8_t selectorCode = 2;
    bool flagA = false;
    bool flagB = false;

    // Neighbours used per cell.
    int idwNeighbours = 6;
    int krigingNeighbours = 16;

    static constexpr float kNoData = -3.4028234663852886e38f;
    // Status values (besides the 1-based position of an unreadable input).
    static constexpr float kCreateFailed = 0.05f;
    static constexpr float kCancelled = 0.2f;
    static constexpr float kNoPoints = 0.25f;  // see emptyInputs
    static constexpr float kGridTooLarge = 0.15f;  // lastError() gives the grid's size
    static constexpr float kDone = 0.9f;

    // IDW: weights 1/d^power over the nearest points within searchRadius
    // (power 0 gives their mean; a point on a cell centre gives its value).
    float IDW(std::vector<std::string> paths, const std::string &output, double searchRadius, CProcessBase *progress);

    // Ordinary kriging: an experimental semivariogram of the selected points
    // up to maxLag, a spherical or exponential model (whichever fits better)
    // and, per cell, the kriging system of the nearest points within
    // searchRadius. Neighbours less than 1 % of a cell apart count as one
    // (their mean height); a cell whose system is rank-deficient or
    // ill-conditioned takes the IDW value of its neighbours instead.
    float KrigingInterpolation(std::vector<std::string> paths, const std::string &output, double searchRadius,
                               float maxLag, CProcessBase *progress);

    // Points already in memory (a window of a dataset) instead of files:
    // `header` stands for their file (its bounds, spatial reference and
    // scales), `name` names it in notes and in emptyInputs. Status 1 does
    // not occur.
    struct PointsInMemory {
        const VerdantaIO::PointHeader *header = nullptr;
        const std::vector<VerdantaIO::PointCloud> *points = nullptr;
        std::string name;
    };
    float IDW(const PointsInMemory &points, const std::string &output, double searchRadius,
              CProcessBase *progress);
    float KrigingInterpolation(const PointsInMemory &points, const std::string &output, double searchRadius,
                               float maxLag, CProcessBase *progress);

    // A kriged cell may leave the range of its neighbours' heights by at
    // most kRangeMargin * sqrt(nugget + sill), half a standard deviation of
    // the heights by the fitted model; beyond that it takes the IDW value of
    // the same neighbours. A kriged value leaves that range only through
    // negative weights, which a valid model keeps small: on real urban and
    // rural samples the farthest departure is below 0.1 sqrt(nugget + sill),
    // while a broken solve lands orders of magnitude beyond it.
    static constexpr double kRangeMargin = 0.5;

    // The inputs that held no point to select (for kNoPoints).
    std::vector<std::string> emptyInputs;
    // Remarks of the last run that did not stop it, such as a header extent
    // replaced by the points' bounds.
    std::vector<std::string> notes;

    // The fitted model of the last kriging run.
    struct Variogram {
        enum Model { Spherical, Exponential } model = Spherical;
        double nugget = 0, sill = 0, range = 1;  // sill: the partial sill
        double operator()(double h) const;
    };
    Variogram variogram;

    const std::string &lastError() const { return error_; }

private:
    float run(const std::vector<std::string> &paths, const PointsInMemory *memory, const std::string &output,
              double searchRadius, bool kriging, float maxLag, CProcessBase *progress);

    std::string error_;
};
