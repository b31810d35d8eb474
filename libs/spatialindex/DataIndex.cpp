#include "DataIndex.h"

#include <nanoflann.hpp>

#include <algorithm>

namespace {
struct Positions {
    const std::vector<VerdantaIO::XYZ> *p = nullptr;
    size_t kdtree_get_point_count() const { return p->size(); }
    double kdtree_get_pt(size_t i, size_t d) const { return d == 0 ? (*p)[i].x : d == 1 ? (*p)[i].y : (*p)[i].z; }
    template <class B> bool kdtree_get_bbox(B &) const { return false; }
};
using KdTree = nanoflann::KDTreeSingleIndexAdaptor<nanoflann::L2_Simple_Adaptor<double, Positions>, Positions, 3, size_t>;
}  // namespace

struct C_DataIndex::Tree {
    Positions adaptor;
    std::unique_ptr<KdTree> index;
};

C_DataIndex::C_DataIndex() = default;
C_DataIndex::~C_DataIndex() = default;

void C_DataIndex::Transform(std::vector<VerdantaIO::XYZ> &positions)
{
    positions_ = positions;
    tree_.reset();
}

void C_DataIndex::SetOctreeIndex(double resolution)
{
    tree_ = std::make_unique<Tree>();
    tree_->adaptor.p = &positions_;
    if (positions_.empty())
        return;
    // Leaves of a few positions each: with the positions' mean spacing
    // near the resolution, about one leaf per cell of that size.
    const size_t leaf = static_cast<size_t>(std::clamp(resolution / 2.0, 4.0, 64.0));
    tree_->index = std::make_unique<KdTree>(3, tree_->adaptor, nanoflann::KDTreeSingleIndexAdaptorParams(leaf));
    tree_->index->buildIndex();
}

bool C_DataIndex::OctreeNKSearch(const VerdantaIO::PointCloud &query, int k)
{
    result.clear();
    if (!tree_ || !tree_->index || k < 1)
        return false;
    const size_t n = std::min<size_t>(size_t(k), positions_.size());
    std::vector<size_t> found(n);
    std::vector<double> d2(n);
    const double q[3] = {query.x, query.y, query.z};
    const size_t got = tree_->index->knnSearch(q, n, found.data(), d2.data());
    for (size_t i = 0; i < got; ++i)
        result.push_back(static_cast<int>(found[i]));
    return got > 0;
}
