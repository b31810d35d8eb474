#pragma once
// The point tests of the extraction and clipping operations, as small value
// types applied to the selection fields of a point (PointKey). The same test
// serves a chunk of decoded points and the record stream of a file, so the
// two cannot disagree.

#include "DataManagement.h"
#include "LasStream.h"

#include <array>
#include <cmath>
#include <vector>

namespace selection {

using VerdantaIO::PointKey;

// Bounds typed by a user hold decimals that a stored coordinate (an integer
// times the scale plus the offset) does not reproduce exactly: 10.05 is
// 1005 x 0.01 = 10.049999999999999. Coordinates within this distance of a
// bound count as on it.
constexpr double kOnBound = 1e-6;

struct ClassTest {
    std::array<bool, 256> listed{};
    explicit ClassTest(const std::vector<uint8_t> &codes)
    {
        for (uint8_t c : codes)
            listed[c] = true;
    }
    bool operator()(const PointKey &k) const { return listed[k.classification]; }
};

// The tests below combine their comparisons with & rather than &&: on a
// stream of records a test that keeps about half of them would otherwise
// branch the wrong way at every other record.

// Inclusive (both bounds kept) or open range on Z or on intensity.
struct RangeTest {
    bool onZ;
    double low, high;  // the bounds with the tolerance applied
    RangeTest(bool onZ, bool inclusive, double min, double max)
        : onZ(onZ),
          low(inclusive ? min - kOnBound : min + kOnBound),
          high(inclusive ? max + kOnBound : max - kOnBound),
          inclusive_(inclusive)
    {
    }
    bool operator()(const PointKey &k) const
    {
        const double v = onZ ? k.z : double(k.intensity);
        return inclusive_ ? (v >= low) & (v <= high) : (v > low) & (v < high);
    }

private:
    bool inclusive_;
};

struct ReturnTest {
    int value, qualifier;
    bool operator()(const PointKey &k) const
    {
        switch (qualifier) {
        case 1:  // last returns
            return (k.returnNumber >= 1) & (k.returnNumber == k.numberOfReturns);
        case 2:  // returns numbered above value
            return k.returnNumber > value;
        default:
            return k.returnNumber == value;
        }
    }
};

// Circles and rectangles (bounds and circle edge inclusive).
struct RegionTest {
    bool circle;
    double x, y, reach2;              // a circle: its centre and squared reach
    double left, right, bottom, top;  // a rectangle, widened by the tolerance
    explicit RegionTest(const C_DataManagement::ClipRegion &r)
        : circle(r.circle), x(r.x), y(r.y), reach2((r.radius + kOnBound) * (r.radius + kOnBound)),
          left(r.left - kOnBound), right(r.right + kOnBound), bottom(r.bottom - kOnBound), top(r.top + kOnBound)
    {
    }
    bool operator()(const PointKey &k) const
    {
        if (circle) {
            const double dx = k.x - x, dy = k.y - y;
            return dx * dx + dy * dy <= reach2;
        }
        return (k.x >= left) & (k.x <= right) & (k.y >= bottom) & (k.y <= top);
    }
};

// Polygons (outer rings and holes, even-odd within one polygon, union over
// polygons) prepared for many point tests. A grid over the polygons' box
// lists in each cell the edges that touch it, and knows which polygons hold
// a reference point of the cell. A point in a cell without edges takes the
// cell's answer; otherwise only the cell's edges are crossed on the way from
// the reference point to the point. A point on an edge is inside.
class PreparedPolygons {
public:
    explicit PreparedPolygons(const std::vector<C_DataManagement::ClipPolygon> &polygons);
    bool empty() const { return edges_.empty(); }
    bool operator()(const PointKey &k) const { return contains(k.x, k.y); }
    bool contains(double x, double y) const;
    // The box of every edge; an empty box (min above max) without edges.
    void bounds(double &minX, double &maxX, double &minY, double &maxY) const
    {
        minX = edges_.empty() ? 1 : minX_;
        maxX = edges_.empty() ? 0 : maxX_;
        minY = edges_.empty() ? 1 : minY_;
        maxY = edges_.empty() ? 0 : maxY_;
    }

private:
    struct Edge {
        double x1, y1, x2, y2;
        double minX, maxX, minY, maxY;
        double length;
        int polygon;
    };
    struct Cell {
        double refX, refY;        // the reference point
        uint32_t edgeStart, edgeEnd;    // into cellEdges_, grouped by polygon
        uint32_t holderStart, holderEnd;  // into holders_: polygons holding the reference point
    };
    bool onEdge(const Edge &e, double x, double y) const;
    uint32_t cellIndex(double x, double y) const;

    std::vector<Edge> edges_;
    std::vector<Cell> cells_;
    std::vector<uint32_t> cellEdges_;
    std::vector<int> holders_;
    double minX_ = 0, maxX_ = 0, minY_ = 0, maxY_ = 0;
    double cellW_ = 1, cellH_ = 1;
    uint32_t nx_ = 1, ny_ = 1;
    double tolerance_ = kOnBound;
};

}  // namespace selection
