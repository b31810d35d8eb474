#include "CrownOutlines.h"

#include <cstddef>
#include <limits>

using std::size_t;

namespace CrownOutlines {

namespace {

// Directions on the corner grid, as the raster is drawn: east, south, west,
// north; a left turn is d + 3, a right turn d + 1 (mod 4).
constexpr int kDx[4] = {1, 0, -1, 0}, kDy[4] = {0, 1, 0, -1};
// The cells to the left and to the right of the edge leaving corner (x, y)
// in direction d, as offsets from that corner.
constexpr int kLeftX[4] = {0, 0, -1, -1}, kLeftY[4] = {-1, 0, 0, -1};
constexpr int kRightX[4] = {0, -1, -1, 0}, kRightY[4] = {0, 0, -1, -1};

// Even-odd test of a point against a ring.
bool contains(const Ring &ring, double px, double py)
{
    const std::vector<int32_t> &c = ring.corners;
    const size_t n = c.size() / 2;
    bool inside = false;
    for (size_t i = 0, j = n - 1; i < n; j = i++) {
        const double xi = c[2 * i], yi = c[2 * i + 1], xj = c[2 * j], yj = c[2 * j + 1];
        if ((yi > py) != (yj > py) && px < (xj - xi) * (py - yi) / (yj - yi) + xi)
            inside = !inside;
    }
    return inside;
}

}  // namespace

std::vector<std::vector<Part>> trace(const int32_t *labels, int w, int h, int count)
{
    std::vector<std::vector<Part>> regions(count > 0 ? size_t(count) : 0);
    // Holes wait until every outer ring of their label is known; each keeps
    // a cell of the region it lies in (the one below its first edge).
    struct Hole {
        int32_t label, cellX, cellY;
        Ring ring;
    };
    std::vector<Hole> holes;
    auto at = [&](int x, int y) -> int32_t {
        return x >= 0 && y >= 0 && x < w && y < h ? labels[size_t(y) * w + x] : 0;
    };
    // Every ring, outer or hole, has an edge with its region below and
    // another label above (a "top edge"), walked westwards with the region
    // on the left. A ring is traced from the first of its top edges met in
    // raster order; the top edges it walks are marked so that it is traced
    // once.
    std::vector<uint8_t> walked(size_t(w) * h, 0);
    for (int r = 0; r < h; ++r) {
        for (int c = 0; c < w; ++c) {
            const size_t i = size_t(r) * w + c;
            const int32_t label = labels[i];
            if (label <= 0 || label > count || walked[i] || (r > 0 && labels[i - w] == label))
                continue;
            Ring ring;
            const int sx = c + 1, sy = r;
            int x = sx, y = sy, d = 2;
            int64_t twiceArea = 0;
            walked[i] = 1;
            do {
                const int nx = x + kDx[d], ny = y + kDy[d];
                twiceArea += int64_t(x) * ny - int64_t(nx) * y;
                x = nx;
                y = ny;
                // Keep the region on the left: turn left round its corner
                // when the cell ahead on the left is not the region's, turn
                // right when the cell ahead on the right is (cells touching
                // only at a corner are not joined).
                const bool left = at(x + kLeftX[d], y + kLeftY[d]) == label;
                const bool right = at(x + kRightX[d], y + kRightY[d]) == label;
                const int next = !left ? (d + 3) & 3 : (right ? (d + 1) & 3 : d);
                if (next != d) {
                    ring.corners.push_back(x);
                    ring.corners.push_back(y);
                    d = next;
                }
                if (d == 2)
                    walked[size_t(y) * w + (x - 1)] = 1;
            } while (x != sx || y != sy || d != 2);
            // Outer rings run counter-clockwise as drawn, which is a
            // negative area with rows counted downwards.
            if (twiceArea < 0) {
                ring.cells = -twiceArea / 2;
                regions[size_t(label) - 1].push_back(Part{std::move(ring), {}});
            } else {
                ring.cells = twiceArea / 2;
                holes.push_back(Hole{label, c, r, std::move(ring)});
            }
        }
    }
    // A hole belongs to the smallest outer ring of its label around the
    // cell it was found from (a part may lie in a hole of another part of
    // the same label).
    for (Hole &hole : holes) {
        std::vector<Part> &parts = regions[size_t(hole.label) - 1];
        size_t best = 0;
        if (parts.size() > 1) {
            int64_t smallest = std::numeric_limits<int64_t>::max();
            for (size_t k = 0; k < parts.size(); ++k)
                if (parts[k].outer.cells < smallest && contains(parts[k].outer, hole.cellX + 0.5, hole.cellY + 0.5)) {
                    smallest = parts[k].outer.cells;
                    best = k;
                }
        }
        if (!parts.empty())
            parts[best].holes.push_back(std::move(hole.ring));
    }
    return regions;
}

int64_t cellsOf(const std::vector<Part> &parts)
{
    int64_t cells = 0;
    for (const Part &p : parts) {
        cells += p.outer.cells;
        for (const Ring &h : p.holes)
            cells -= h.cells;
    }
    return cells;
}

}  // namespace CrownOutlines
