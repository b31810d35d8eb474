#pragma once
// A spatial index over a set of positions, answering nearest-neighbour
// queries: Transform takes the positions, SetOctreeIndex builds the index,
// OctreeNKSearch fills `result` with the indices of the k nearest positions,
// nearest first.

#include "PointRecords.h"

#include <memory>
#include <vector>

class C_DataIndex {
public:
    C_DataIndex();
    ~C_DataIndex();
    C_DataIndex(const C_DataIndex &) = delete;
    C_DataIndex &operator=(const C_DataIndex &) = delete;

    // The indices found by the last search, nearest first.
    std::vector<int> result;

    void Transform(std::vector<VerdantaIO::XYZ> &positions);
    // Builds the index. `resolution` (map units) sets the size of the
    // smallest cells: a k-d tree whose leaves hold the positions of about
    // that much space, so that a search visits few of them.
    void SetOctreeIndex(double resolution);
    // The k positions nearest to the query (3-D distance); false when the
    // index is empty or not built.
    bool OctreeNKSearch(const VerdantaIO::PointCloud &query, int k);

private:
    struct Tree;
    std::vector<VerdantaIO::XYZ> positions_;
    std::unique_ptr<Tree> tree_;
};
