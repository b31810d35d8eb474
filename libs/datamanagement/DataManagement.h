#pragma once
// Whole-file point-cloud operations of the data-management tools. Every
// operation streams its files in chunks of 100000 points, so files larger
// than memory are handled, and reports progress and cancellation only
// through the CProcessBase it is given.

#include "PointRecords.h"
#include "ProcessBase.h"

#include <string>
#include <vector>

class C_DataManagement {
public:
    static constexpr uint64_t kChunk = 100000;

    // Status values of LasMerge.
    static constexpr float kMergeOpenFailed = 1.0f;    // an input cannot be read
    static constexpr float kMergeCreateFailed = 0.1f;  // the output cannot be written
    static constexpr float kMergeCancelled = 0.5f;
    static constexpr float kMergeDone = 0.9f;

    // Joins LAS files of any versions, point formats, scales and offsets
    // into one. The output format holds every attribute any input has; its
    // scale is the finest of the inputs' and its offset is chosen so that
    // every input coordinate is represented exactly when the scales divide
    // each other (else to within half the finest scale), without overflow.
    float LasMerge(const std::vector<std::string> &inputs, const std::string &output, CProcessBase *progress);

    // Cuts a LAS file into tiles aligned on multiples of width and height,
    // named base_<minX>_<minY>.las after their lower-left corners. A point
    // on a tile edge belongs to the tile above or to the right of it.
    bool LasTile(const std::string &input, const std::string &folder, double width, double height,
                 CProcessBase *progress, std::vector<std::string> &tiles);

    // Status values of LasheighNormalization.
    static constexpr float kNormDemFailed = 0.1f;
    static constexpr float kNormLasFailed = 0.2f;
    static constexpr float kNormOutsideDem = 0.3f;
    static constexpr float kNormWriteFailed = 0.35f;
    static constexpr float kNormCancelled = 0.0f;
    static constexpr float kNormDone = 1.0f;

    // z becomes the height above the DEM, bilinearly interpolated between
    // the four DEM cell centres around each point; DEM no-data cells take
    // the value of the nearest valid cell.
    float LasheighNormalization(const std::string &las, const std::string &dem, const std::string &output,
                                CProcessBase *progress);

    // Status values of MakeCHM.
    static constexpr int kChmDemFailed = 0;
    static constexpr int kChmDsmFailed = 1;
    static constexpr int kChmMismatch = 2;
    static constexpr int kChmCreateFailed = 3;
    static constexpr int kChmCancelled = 4;
    static constexpr int kChmDone = 5;

    // The canopy height model DSM - DEM of grids of the same size and
    // resolution (the first DSM of the list): no-data where either input
    // has no value, negative heights clamped to 0, Float32 with the DSM's
    // georeferencing.
    int MakeCHM(const std::string &dem, std::vector<std::string> &dsms, const std::string &output,
                CProcessBase *progress);

    // Attribute codes of LasRastersize.
    enum Attribute { Intensity = 0, NumberOfReturns = 1, ReturnNumber = 2, Z = 3, ScanAngle = 4 };
    static constexpr int kRasterCreateFailed = -1;
    static constexpr int kRasterDataError = -2;
    static constexpr int kRasterTooLarge = -3;  // lastError() gives the grid's size
    static constexpr int kRasterCancelled = -4;
    static constexpr int kRasterDone = 0;
    static constexpr float kNoData = -3.4028234663852886e38f;

    // Rasterises one attribute over the union extent of the inputs (the
    // grid and geotransform of the DEM tool; a header whose bounds cannot be
    // right for its points gives way to the points' bounds, see
    // GridExtent.h, with a note): Z as the highest point of a
    // cell, intensity as the mean, scan angle as the mean absolute angle in
    // degrees, return number and number of returns as the maximum. Empty
    // cells hold kNoData. Returns the 1-based position of an unreadable
    // input, or a status above. `merge` is always true from the dialog.
    int LasRastersize(bool merge, std::vector<std::string> &paths, const std::string &output, double xSize,
                      double ySize, int attribute, CProcessBase *progress);

    // Status values of ErroPoints.
    static constexpr int kOutliersCancelled = 0;
    static constexpr int kOutliersFailed = 1;
    static constexpr int kOutliersDone = 2;

    // Removes outlier points: those far from their 10 nearest neighbours
    // compared with the rest of the block (mean + 3 standard deviations of
    // the mean neighbour distance), and lone points under the ground. Only
    // the points within the block bounds (inclusive) are judged and kept;
    // points around the block serve as neighbours and are dropped. On
    // success `points` holds the kept points in their order.
    int ErroPoints(std::vector<VerdantaIO::PointCloud> &points, CProcessBase *progress, double left, double bottom,
                   double right, double top);

    const std::string &lastError() const { return error_; }
    // Remarks of the last operation that did not stop it.
    const std::vector<std::string> &notes() const { return notes_; }

private:
    std::string error_;
    std::vector<std::string> notes_;
};
