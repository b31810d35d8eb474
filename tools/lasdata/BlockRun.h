#pragma once
// Block-by-block processing of one LAS file, shared by the tools that work
// in square blocks with a read margin (ground filtering, outlier removal).
//
// Reading: one sequential pass over the file's records distributes each
// record into the bucket of every block whose window (the block widened by
// the margin) holds it; a larger file is passed over in two halves at once,
// each into buckets of its own that a block reads one after the other, so a
// block's records stay in file order. The buckets stay in memory while the
// file's records fit the bucket budget (a quarter of the physical memory).
// Otherwise the records go by block row instead, spilling to one temporary
// file per row in a scratch folder, and when a row's turn comes its bucket
// is split among the row's blocks. Every block thus costs time in proportion
// to its own points whatever the order of the records in the file
// (acquisition order, tiles, random), and the file is read once.
//
// Processing: the blocks run on up to two threads; their results are handed
// back on the calling thread in block order, which also reports progress and
// passes a cancellation on to the blocks at work.

#include "GridExtent.h"
#include "PointRecords.h"
#include "ProcessBase.h"

#include <QString>
#include <QStringList>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace VerdantaIO {
class CLASIO;
class LasRecordWriter;
}

namespace BlockRun {

// The side of the square blocks (m).
constexpr double kBlockSize = 250.0;

// One block, without its margin. The last column reaches at least to the
// extent's east edge and the last row to its far edge (north or south).
struct Block {
    double left, bottom, right, top;
    bool lastCol, lastRow;
};

enum class RowOrder { FromSouth, FromNorth };

// The blocks of an extent, row by row (from the south or the north), each row
// from the west: ceil(range / kBlockSize) along each axis, at least one,
// starting at the west edge and at the first row's edge of the extent. None
// for an empty or broken extent.
struct Layout {
    std::vector<Block> blocks;
    int cols = 0;
};
Layout layout(const GridExtent::Bounds &extent, RowOrder order);

// The extent a file's blocks cover: its header's bounds, or its points' where
// the header cannot be right for them (with a note), widened to hold every
// point. Empty when the file holds no points.
GridExtent::Bounds extentOf(const VerdantaIO::CLASIO &las, QStringList &notes);
// The same from the X/Y bounds of the file's points.
GridExtent::Bounds extentOf(const VerdantaIO::CLASIO &las, const GridExtent::Bounds &points, QStringList &notes);

// The records a block's points were decoded from, as read from the file:
// the point p came from record number p.reserved of this list (the pieces
// one after the other).
struct BlockRecords {
    uint16_t length = 0;  // bytes per record
    struct Piece {
        const uint8_t *data;
        size_t count;
    };
    std::vector<Piece> pieces;
    // Copies the records of `points` unchanged into a file of the input's
    // record layout. The points must be in the order of their records (as
    // handed to the block, some perhaps taken out).
    void copy(const std::vector<VerdantaIO::PointCloud> &points, VerdantaIO::LasRecordWriter &to) const;
};

struct Job {
    std::string path;      // the LAS or LAZ file
    Layout layout;
    double margin = 0;     // read around each block (m)
    QString scratchFolder; // where row buckets spill when the file is large
    // Processes block k's points: those within the block widened by the
    // margin on every side (edges included), in file order. Runs on a worker
    // thread; `progress` there reports nothing but says whether the run was
    // cancelled. Returns the tool's status of the block.
    std::function<int(size_t k, std::vector<VerdantaIO::PointCloud> &points, CProcessBase *progress)> process;
    // Takes block k's status and points on the calling thread, in block
    // order, with the records they came from; false ends the run.
    std::function<bool(size_t k, int status, std::vector<VerdantaIO::PointCloud> &points, const BlockRecords &records)>
        take;
    // Optional: given the X/Y bounds of all the file's records once they
    // have been read, before any block is processed; false ends the run.
    std::function<bool(const GridExtent::Bounds &records)> check;
};

enum class Status { Done, Stopped, Failed };

// Runs every block of the job; progress (may be null) goes from `start` to
// start + span. Stopped: cancelled or ended by `take`; Failed: the file or a
// scratch file could not be read or written (`error` says why).
Status run(const Job &job, CProcessBase *progress, double start, double span, std::string &error);

// Runs the job over the blocks of the file's extent (see extentOf) in the
// given order, setting its layout (the job's callbacks should read the blocks
// from job.layout). Rather than scanning the file for its points' extent
// first, the blocks are laid out over the header's bounds and the reading
// pass checks them against the records' own bounds; where the header proves
// wrong for them the run starts again over the right extent. Notes on the
// extent go to `notes`.
Status runOverFile(const VerdantaIO::CLASIO &las, RowOrder order, Job &job, QStringList &notes, CProcessBase *progress,
                   double start, double span, std::string &error);

// The bytes of records that the buckets may hold in memory; returns the
// previous budget. Tests lower it to exercise the scratch files.
uint64_t setBucketBudget(uint64_t bytes);

}  // namespace BlockRun
