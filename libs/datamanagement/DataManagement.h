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
    // named base_<minX>_<minY>.las after their lower-left corners (.laz,
    // compressed, for a LAZ input). A point on a tile edge belongs to the
    // tile above or to the right of it.
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


    // ---- extraction, clipping and the boundary polygon ----------------------

    // Selections on one chunk of points: the indices (into `points`) of the
    // points that pass, in order. `inclusive` keeps points on the bounds.
    bool GetClassPoint(const std::vector<uint8_t> &codes, const std::vector<VerdantaIO::PointCloud> &points,
                       std::vector<uint64_t> &indices, CProcessBase *progress);
    bool GetheightPoint(bool inclusive, double minZ, double maxZ, const std::vector<VerdantaIO::PointCloud> &points,
                        std::vector<uint64_t> &indices, CProcessBase *progress);
    bool GetIntensityPoint(bool inclusive, double min, double max, const std::vector<VerdantaIO::PointCloud> &points,
                           std::vector<uint64_t> &indices, CProcessBase *progress);
    // qualifier 0: return number == value; 1: last returns (value 5);
    // 2: return numbers above value (value 4).
    bool GetReturnPoint(int value, const std::vector<VerdantaIO::PointCloud> &points, std::vector<uint64_t> &indices,
                        int qualifier, CProcessBase *progress);

    // What an extraction keeps: one of the four tests above.
    struct Selection {
        enum Kind { Class, Height, Intensity, Return } kind = Class;
        std::vector<uint8_t> codes;
        bool inclusive = true;
        double min = 0, max = 0;
        int value = 1, qualifier = 0;
    };

    // Status values of the streaming operations.
    static constexpr int kStreamDone = 0;
    static constexpr int kStreamOpenFailed = 1;   // lastError() names the file
    static constexpr int kStreamWriteFailed = 2;
    static constexpr int kStreamCancelled = 3;

    // Writes, for each input, the points that pass the selection into the
    // output of the same position, streaming the input in chunks of kChunk
    // points. Every output has the first input's header (version, format,
    // scale, offset, records, reference) with its own counts by return and
    // bounds. An input that selects nothing writes no file; `written`
    // receives the files written and `kept` the points kept in all.
    int ExtractPoints(const std::vector<std::string> &inputs, const std::vector<std::string> &outputs,
                      const Selection &selection, CProcessBase *progress, std::vector<std::string> &written,
                      uint64_t &kept);

    // A circle (x, y, radius) or an axis-aligned rectangle, edges included.
    struct ClipRegion {
        bool circle = false;
        double x = 0, y = 0, radius = 0;
        double left = 0, right = 0, bottom = 0, top = 0;
    };
    // A polygon: its outer ring first, then its holes; rings as vertex
    // lists (closed or not). A point is inside when it lies inside an odd
    // number of the rings or on any edge.
    struct ClipPolygon {
        std::vector<std::vector<VerdantaIO::XYZ>> rings;
    };

    // The points of all inputs inside each region, region after region, into
    // one output with the first input's header (a point inside two regions
    // is written twice). No file is written when nothing is inside; `kept`
    // counts the points written.
    int ClipRegions(const std::vector<std::string> &inputs, const std::vector<ClipRegion> &regions,
                    const std::string &output, CProcessBase *progress, uint64_t &kept);
    // The points of all inputs inside any of the polygons, into one output
    // as above (each point once).
    int ClipPolygons(const std::vector<std::string> &inputs, const std::vector<ClipPolygon> &polygons,
                     const std::string &output, CProcessBase *progress, uint64_t &kept);
    // The points of one chunk inside any of the polygons, appended to `inside`.
    bool PolygonCut(const std::vector<VerdantaIO::PointCloud> &points, const std::vector<ClipPolygon> &polygons,
                    std::vector<VerdantaIO::PointCloud> &inside, CProcessBase *progress);

    // Status values of GetPointsPolygon.
    static constexpr int kBoundaryNone = 0;     // too few or too scattered points
    static constexpr int kBoundaryDone = 1;
    static constexpr int kBoundaryFailed = 4;   // the outline could not be made
    // The outline of a set of points: a concave polygon that follows their
    // footprint and leaves out gaps in coverage wider than the edge limit,
    // with every point inside or on it. The edge limit is `scale` times the
    // points' original spacing, estimated from the given (thinned) points
    // as their median Delaunay edge divided by sqrt(scale / 3) (the tools
    // thin by a step s and pass 3 s). `boundary` receives closed rings, each
    // ending with its first vertex: the outer ring, then the holes.
    int GetPointsPolygon(const std::vector<VerdantaIO::XYZ> &points, std::vector<VerdantaIO::XYZ> &boundary,
                         float scale, CProcessBase *progress);

    const std::string &lastError() const { return error_; }
    // Remarks of the last operation that did not stop it.
    const std::vector<std::string> &notes() const { return notes_; }

private:
    std::string error_;
    std::vector<std::string> notes_;
};
