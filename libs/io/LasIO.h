#pragma once
// Point-cloud IO: reading and writing ASPRS LAS 1.0 to 1.4, plain or
// compressed as LAZ.
//
// Reads point data formats 0 to 10, writes formats 0 to 3 and 6 to 8. Window
// reads (rectangle, circle) use a spatial index kept beside the file as
// path + ".ldx", so that they cost time in proportion to the points returned.
//
// A LAZ file (LASzip chunks, formats 0-3 and 6-8, with extra bytes) is read
// through every call here as a LAS file is; its chunks are decoded when a
// read needs them. Every writer (WriteLas, WriteLasFile, AppendLas) writes
// LAZ when the path ends in ".laz".

#include "PointRecords.h"
#include "ProcessBase.h"

#include <memory>
#include <string>
#include <vector>

namespace VerdantaIO {

class CLASIO {
public:
    CLASIO() = default;

    // Reads and checks the header, its records and the coordinate reference.
    bool LoadFile(const std::string &path);
    // Reads every point into `points`; progress may be null.
    bool ReadData(CProcessBase *progress);
    // Reads up to count points from index start, replacing `out`.
    bool ReadData(uint64_t start, uint64_t count, std::vector<PointCloud> &out);
    // Reads exactly the points with the given indices, in index order.
    bool ReadData(const std::vector<uint64_t> &indices, std::vector<PointCloud> &out,
                  CProcessBase *progress);
    bool ReadData(const std::vector<uint64_t> &indices, std::vector<XYZ> &out);
    // Writes `header` and `points` as a new LAS file. Counts and bounds of
    // the header are recomputed from the points.
    bool WriteLas(const std::string &path);

    // The X/Y/Z bounds of the point records themselves (not the header's),
    // from one pass over the stored coordinates without decoding the
    // records; false when the file holds no points.
    bool PointExtent(LASExtent &extent) const;

    const std::string &lastError() const { return error_; }
    // What LoadFile found damaged but could read around, such as "1064 of
    // 1065 declared points present; the file is truncated". Empty for a
    // sound file.
    const std::vector<std::string> &warnings() const { return warnings_; }

    std::vector<PointCloud> points;
    PointHeader header;
    std::string path;

private:
    struct Source;  // the mapped file and where its point records lie
    bool openSource();
    bool indicesInRange(const std::vector<uint64_t> &indices);

    std::shared_ptr<Source> source_;
    std::string error_;
    std::vector<std::string> warnings_;
};

// Appends points to a file written by WriteLas. `header` describes the file
// (its format, scale and offset) and on return holds the file's running
// counts and bounds, which are written into the file as well.
bool AppendLas(const std::string &path, PointHeader &header, const std::vector<PointCloud> &points);

// Appends the points of one file within a circle (distance <= radius).
bool ReadData(const std::string &path, double centerX, double centerY, double radius,
              std::vector<PointCloud> &points);
// Appends the points of one file within a rectangle (bounds inclusive).
bool ReadData(const std::string &path, double minX, double maxX, double minY, double maxY,
              std::vector<PointCloud> &points);
// The points of several files within a circle or rectangle; files that
// cannot be read are passed over (false when none could be read).
bool MultiFileData(const std::vector<std::string> &paths, double x, double y, double radius,
                   std::vector<PointCloud> &points);
bool MultiFileData(const std::vector<std::string> &paths, double minX, double maxX, double minY,
                   double maxY, std::vector<PointCloud> &points);
// The joint X/Y extent of several files (from their headers).
bool MultiFileExtent(const std::vector<std::string> &paths, double &minX, double &maxX,
                     double &minY, double &maxY);
// One record per path, in the same order; false when a file cannot be read.
bool CreateLASExtent(const std::vector<std::string> &paths, std::vector<LASExtent> &extents);

// Whether a path names a LAZ file (it ends in ".laz", in any case): the
// writers compress what they write under such a name.
bool IsLazPath(const std::string &path);

// The last error of the free functions on this thread.
const std::string &LastError();

struct ExtraBytes;

// Writes a LAS file from a header and points (what CLASIO::WriteLas does),
// without copying the points into an IO object. `extra` (LasExtraBytes.h),
// with one entry per point, is written after each point's standard record
// and described in the header.
bool WriteLasFile(const std::string &path, PointHeader &header,
                  const std::vector<PointCloud> &points, std::string *error = nullptr,
                  const ExtraBytes *extra = nullptr);

// The spatial index of a LAS file.
namespace SpatialIndex {
// The sidecar path of a LAS file.
std::string sidecarPath(const std::string &lasPath);
// Forgets every index held in memory (the sidecars stay on disk).
void clearCache();
// Lets the system take back the pages of a file and of its index that
// window reads made resident (they are read again when next needed). A
// scan over a whole file calls it now and then, so that its memory does not
// grow with the file.
void releasePages(const std::string &lasPath);
// How the last index for a path was obtained, for diagnostics and tests.
enum class Source { None, Built, BuiltInMemory, LoadedSidecar, Cached };
Source lastSource(const std::string &lasPath);
}  // namespace SpatialIndex

}  // namespace VerdantaIO
