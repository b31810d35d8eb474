#pragma once
// The spatial index of a LAS file: a regular grid over the points' X/Y
// extent whose cells list the indices of their points in file order. It is
// stored beside the LAS file as path + ".ldx" and reused while the LAS file
// keeps its size, modification time and fingerprint; kept in memory only
// when the folder cannot be written.

#include "LasFormat.h"
#include "LasIO.h"
#include "MappedFile.h"

#include <memory>
#include <string>
#include <vector>

namespace VerdantaIO {
namespace laz {
class ChunkCursor;
}
namespace las {

struct IndexedFile {
    MappedFile file;
    PointHeader header;  // without the spatial reference
    PointBlock block;
    uint64_t fileSize = 0;
    int64_t modified = 0;
    uint64_t fingerprint = 0;

    double originX = 0.0, originY = 0.0, cell = 1.0;
    uint32_t nx = 1, ny = 1;
    double dataMinX = 0.0, dataMaxX = 0.0, dataMinY = 0.0, dataMaxY = 0.0;
    std::vector<uint64_t> cellStart;  // nx*ny + 1 entries
    // Point indices grouped by cell (idCount of them). They are read in
    // place from the mapped sidecar, which costs no private memory; only an
    // index that could not be stored keeps them in ownIds.
    const uint32_t *ids = nullptr;
    uint64_t idCount = 0;
    std::vector<uint32_t> ownIds;
    MappedFile sidecar;

    const uint8_t *record(uint64_t i) const
    {
        return file.data() + block.offset + i * block.recordLength;
    }
};

// Reads the records of an indexed file by point index in any order: in
// place for a plain file; for a compressed one through the file's cache of
// decoded chunks, which is let go when the reader is done.
class IndexedRecords {
public:
    explicit IndexedRecords(const IndexedFile &file);
    ~IndexedRecords();
    IndexedRecords(const IndexedRecords &) = delete;
    IndexedRecords &operator=(const IndexedRecords &) = delete;
    // Record i, or null (with the reason) when its chunk is damaged.
    const uint8_t *operator()(uint64_t i, std::string &error)
    {
        return cursor_ ? compressed(i, error) : file_.record(i);
    }

private:
    const uint8_t *compressed(uint64_t i, std::string &error);
    const IndexedFile &file_;
    std::unique_ptr<laz::ChunkCursor> cursor_;
};

// The index of a LAS file, from memory, its sidecar, or built now.
std::shared_ptr<const IndexedFile> acquireIndex(const std::string &path, std::string &error);

// Drops a file's index from memory and removes its sidecar (after the file
// was written by this library).
void forgetIndex(const std::string &path);

// Lets the system take back the resident pages of a file's cached index and
// of the file's mapping (see MappedFile::releaseResident).
void releaseIndexPages(const std::string &path);

// A circle that a window read keeps its points within.
struct Circle {
    double centerX, centerY, radius;
};

// Appends the points of the rectangle (bounds inclusive), and within the
// circle when one is given, to out. A compressed file decodes only the
// chunks that hold candidates; false when one of them is damaged.
bool queryIndex(const IndexedFile &index, double minX, double maxX, double minY, double maxY,
                const Circle *circle, std::vector<PointCloud> &out, std::string &error);

}  // namespace las
}  // namespace VerdantaIO
