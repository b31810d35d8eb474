#include "Filter.h"

#include <CGAL/Delaunay_triangulation_2.h>
#include <CGAL/Exact_predicates_inexact_constructions_kernel.h>
#include <CGAL/Projection_traits_xy_3.h>
#include <CGAL/Triangulation_vertex_base_with_info_2.h>
#include <Eigen/Dense>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <functional>

using VerdantaIO::PointCloud;

namespace {

using K = CGAL::Exact_predicates_inexact_constructions_kernel;
using Gt = CGAL::Projection_traits_xy_3<K>;
using Vb = CGAL::Triangulation_vertex_base_with_info_2<int, Gt>;
using Fb = CGAL::Triangulation_face_base_2<Gt>;
using Tds = CGAL::Triangulation_data_structure_2<Vb, Fb>;
using Tin = CGAL::Delaunay_triangulation_2<Gt, Tds>;
using P3 = K::Point_3;

// The plane of a TIN face through its first vertex a, with the normal
// (b - a) x (c - a), not normalised.
struct FacePlane {
    P3 a;
    double nx = 0, ny = 0, nz = 0;
    bool vertical() const { return std::fabs(nz) < 1e-12; }
    // The plane's steepest slope (rise over run); the face must not be
    // vertical.
    double slope() const { return std::hypot(nx, ny) / std::fabs(nz); }
    // The plane's height at (x, y); the face must not be vertical.
    double heightAt(double x, double y) const { return a.z() - (nx * (x - a.x()) + ny * (y - a.y())) / nz; }
};

FacePlane planeOf(const Tin::Face_handle &f)
{
    const P3 &a = f->vertex(0)->point(), &b = f->vertex(1)->point(), &c = f->vertex(2)->point();
    const double ux = b.x() - a.x(), uy = b.y() - a.y(), uz = b.z() - a.z();
    const double wx = c.x() - a.x(), wy = c.y() - a.y(), wz = c.z() - a.z();
    return {a, uy * wz - uz * wy, uz * wx - ux * wz, ux * wy - uy * wx};
}

// The finite triangle that holds (x, y) strictly inside, found by walking
// from `f` across edges that separate the triangle from the point (such a
// walk ends on a Delaunay triangulation); a null handle when the walk meets
// the hull, when the point lies on or too near an edge for the plain
// floating-point orientation to be sure, or after too many steps. The
// caller then asks the triangulation's exact locate; where this finds a
// triangle, the exact locate finds the same one, only more slowly.
Tin::Face_handle walkTo(const Tin &tin, Tin::Face_handle f, double x, double y)
{
    if (f == Tin::Face_handle())
        return f;
    for (int step = 0; step < 4096; ++step) {
        if (tin.is_infinite(f))
            return Tin::Face_handle();
        const P3 *v[3] = {&f->vertex(0)->point(), &f->vertex(1)->point(), &f->vertex(2)->point()};
        int cross = -1;
        bool sure = true;
        for (int i = 0; i < 3; ++i) {
            // The side of the edge opposite vertex i (from vertex i + 1 to
            // i + 2) on which the point lies, with a bound on its rounding
            // error far above the true one.
            const P3 &a = *v[(i + 1) % 3], &b = *v[(i + 2) % 3];
            const double l = (b.x() - a.x()) * (y - a.y()), r = (b.y() - a.y()) * (x - a.x());
            const double o = l - r, bound = 1e-12 * (std::fabs(l) + std::fabs(r));
            if (o < -bound) {
                cross = i;
                break;
            }
            if (o <= bound)
                sure = false;
        }
        if (cross < 0)
            return sure ? f : Tin::Face_handle();
        f = f->neighbor(cross);
    }
    return Tin::Face_handle();
}

constexpr double kPi = 3.14159265358979323846;
// The steepest terrain slope (as rise over run) two ground seeds are taken
// to span; a seed higher than that above a neighbour is a roof or a spike.
// Where the seeds around show gentler ground the limit is lower (below).
constexpr double kSeedSlope = 1.0;
// Seeds: the slope below which the ground must fall away on every side of a
// seed candidate for it to be taken as a roof; also the lowest slope limit
// of the seed check.
constexpr double kRoofSlope = 0.3;
// Seed check: the slope a seed may rise above a neighbouring seed is this
// many times the median slope between the other seeds around it (kept
// between kRoofSlope and kSeedSlope), so that on gentle ground a roof seed
// far from the nearest ground seed is still dropped.
constexpr double kSeedSlopeFactor = 2.0;
// Seed check: a seed this share of whose neighbours stand higher than it by
// more than the allowance lies in a hole no wider than a cell or two: a
// cluster of low outliers (multipath echoes) rather than a pit or a valley,
// whose floor has seeds level with it.
constexpr double kLowShare = 0.7;
// Finer seeds: cells of this share of the grid size or more are swept again
// while seeds join.
constexpr double kSweepShare = 0.25;
// Finer seeds: the allowance above the TIN grows with the distance from the
// nearest vertex, at a slope (rise over run) of kFineSlope plus
// kFineSlopeGain times the slope of the triangle, at most kFineSlopeMax:
// the TIN is straight between its vertices, and the steeper the terrain,
// the more it bends away from those straight lines (rims, ridges, the tops
// of slopes), while on level ground a roof or a deck rises from it.
constexpr double kFineSlope = 0.06;
constexpr double kFineSlopeGain = 0.3;
constexpr double kFineSlopeMax = 0.4;
// Finer seeds at the foot or the top of a wall: where the point's triangle
// is steeper than kWallSlope (rise over run), the ground it may continue
// lies within kWallReach cells of it rather than one, unless the ground
// drops away on opposite sides of it within kNarrowReach cells. A triangle
// that steep spans a wall, so that the level ground behind a quarry's rim or
// on a bench lies far above it and the sweeps reach it only from the ground
// at its own level, which may be more than a cell away; a deck or a roof
// that the ground reaches at one end has lower ground on both sides.
constexpr double kWallSlope = 1.0;
constexpr double kWallReach = 2.0;
constexpr double kNarrowReach = 3.0;
// Finer seeds: a point more than kFarBelow TinDistances below the TIN is
// passed over for the next lowest of its cell: the seed check dropped the
// seeds of its cluster of low outliers.
constexpr double kFarBelow = 5.0;
// Densification: within this share of TinDistance from its triangle's plane
// a point passes without the angle test, so that the roughness of the
// ground between close points does not stop the densification.
constexpr double kAngleFreeShare = 0.45;
// Densification: a point found this many times TinDistance above its
// triangle is an object for good (a crown, a roof): it is not looked at
// again, so that the TIN cannot creep up to it through lower objects.
constexpr double kFarAbove = 5.0;
// Last pass: points this share of TinDistance above, or this many times
// TinDistance below, the final TIN are ground too.
constexpr double kFinalAbove = 0.5;
constexpr double kFinalBelow = 3.0;
// Steps: a point higher above the final TIN than the last pass allows (and
// not kFarAbove TinDistances or more) is ground when it lies within
// kFinalAbove TinDistances of the plane through the established ground
// points around it (within kStepRadius metres, or within kStepSpacings mean
// point spacings where the points are sparse) that are no more than
// kStepBand TinDistances below it. At the top edge of a terrace or a
// retaining wall the TIN cuts the corner down to the foot of the step, but
// the point continues the level ground behind the edge; a low object on the
// ground stands above that plane by its height.
constexpr double kStepRadius = 3.0;
constexpr double kStepSpacings = 2.0;
constexpr double kStepBand = 0.25;
// Steps: "established" ground is the seeds and the points of the first
// kStepPasses densification passes; points taken later, when the TIN may
// have crept onto low objects, do not extend the ground sideways.
constexpr int kStepPasses = 3;
// How a point was taken as ground: seeds are 1, the densification passes 2,
// 3, ..., the last pass and the steps kLastPass.
// Raised islands: ground points within kIslandLink mean point spacings of
// each other (in X/Y) and within the height allowance form one piece; a
// piece other than the largest, of kIslandMinPoints or more, is taken back
// out of the ground when at least kIslandRim of its rim points have a point
// more than kIslandDrop TinDistances lower beside them.
constexpr double kIslandLink = 2.5;
constexpr double kIslandDrop = 2.0;
constexpr double kIslandRim = 0.4;
constexpr size_t kIslandMinPoints = 3;
// Ridges: a point up to kRidgeHigh TinDistances above the final TIN is
// ground when it lies within kRidgeFit TinDistances of the least-squares
// quadric surface through the ground around it (within kRidgeRadius metres,
// or kRidgeSpacings mean point spacings where the points are sparse), and
// that surface fits the ground to within kRidgeRms TinDistances (root mean
// square), with at least kRidgeMinPoints points and no more than
// kRidgeOpenSectors of the eight 45-degree sectors around empty. The TIN
// spans a dyke crest, an embankment or the rim of a quarry with vertices on
// both flanks, so the crest stands above its triangles; a quadric bends
// over the crest, while a car, a hedge or a wall stands above the smooth
// ground around it by its height, and roofs and decks are higher still.
// The surface is fitted once per cell of a kRidgeCells-th of the radius,
// through the lowest ground point of each such cell; kRidgeRounds rounds
// let the ground grow along a crest, each round fitting again only near
// the points the last one took.
constexpr double kRidgeRadius = 5.0;
constexpr double kRidgeSpacings = 2.3;
constexpr double kRidgeFit = 0.5;
constexpr double kRidgeRms = 0.3;
constexpr double kRidgeHigh = 2.0;
constexpr int kRidgeMinPoints = 8;
constexpr int kRidgeOpenSectors = 3;
constexpr double kRidgeCells = 5.0;
constexpr int kRidgeRounds = 3;
constexpr uint8_t kSeedPass = 1;
constexpr uint8_t kLastPass = 255;

// Points bucketed by square cells over a box, for neighbourhood queries and
// for visiting points in a spatially coherent order.
struct Buckets {
    double x0 = 0, y0 = 0, size = 1;
    int cols = 1, rows = 1;
    std::vector<uint32_t> start;  // cols * rows + 1 offsets into `ids`
    std::vector<uint32_t> ids;
    std::vector<double> x, y, z;  // after orderWithin: the coordinates of the points of `ids`, in sequence
    // After orderWithin: the squares per cell side, and per cell the offsets
    // into `ids` where each square of the visiting order starts (sub * sub
    // + 1 per cell).
    int sub = 0;
    std::vector<uint32_t> squareStart;
    std::vector<uint32_t> cellOf, fill;  // working space of build

    int col(double x) const { return std::min(cols - 1, std::max(0, int((x - x0) / size))); }
    int row(double y) const { return std::min(rows - 1, std::max(0, int((y - y0) / size))); }

    void build(const std::vector<PointCloud> &pts, const std::vector<uint32_t> &which, double minX, double minY,
               double maxX, double maxY, double cell)
    {
        x0 = minX;
        y0 = minY;
        size = cell;
        cols = std::max(1, int(std::ceil((maxX - minX) / cell)) + (maxX > minX ? 0 : 1));
        rows = std::max(1, int(std::ceil((maxY - minY) / cell)) + (maxY > minY ? 0 : 1));
        start.assign(size_t(cols) * rows + 1, 0);
        cellOf.resize(which.size());
        for (size_t k = 0; k < which.size(); ++k) {
            const PointCloud &p = pts[which[k]];
            cellOf[k] = uint32_t(row(p.y) * cols + col(p.x));
            ++start[cellOf[k] + 1];
        }
        for (size_t c = 1; c < start.size(); ++c)
            start[c] += start[c - 1];
        ids.resize(which.size());
        fill.assign(start.begin(), start.end() - 1);
        for (size_t k = 0; k < which.size(); ++k)
            ids[fill[cellOf[k]]++] = which[k];
    }

    void copyCoordinates(const std::vector<PointCloud> &pts)
    {
        x.resize(ids.size()), y.resize(ids.size()), z.resize(ids.size());
        for (size_t k = 0; k < ids.size(); ++k)
            x[k] = pts[ids[k]].x, y[k] = pts[ids[k]].y, z[k] = pts[ids[k]].z;
    }

    // Orders the points of each cell along a path through `sub` x `sub`
    // squares of it, row by row and back and forth, so that points visited
    // one after another lie close together. A counting sort by square: the
    // points of a square keep their order.
    void orderWithin(const std::vector<PointCloud> &pts, int squares)
    {
        sub = squares;
        const size_t per = size_t(sub) * sub + 1;
        squareStart.resize((start.size() - 1) * per);
        std::vector<uint32_t> key, count(per), sorted;
        for (size_t c = 0; c + 1 < start.size(); ++c) {
            const double cx = x0 + double(c % size_t(cols)) * size, cy = y0 + double(c / size_t(cols)) * size;
            key.clear();
            std::fill(count.begin(), count.end(), 0);
            for (uint32_t k = start[c]; k < start[c + 1]; ++k) {
                const PointCloud &p = pts[ids[k]];
                const int q = std::min(sub - 1, std::max(0, int((p.x - cx) / size * sub)));
                const int r = std::min(sub - 1, std::max(0, int((p.y - cy) / size * sub)));
                key.push_back(uint32_t(r * sub + (r % 2 ? sub - 1 - q : q)));
                ++count[key.back() + 1];
            }
            for (size_t s = 1; s < count.size(); ++s)
                count[s] += count[s - 1];
            for (size_t s = 0; s < per; ++s)
                squareStart[c * per + s] = start[c] + count[s];
            sorted.resize(key.size());
            for (size_t k = 0; k < key.size(); ++k)
                sorted[count[key[k]]++] = ids[start[c] + k];
            std::copy(sorted.begin(), sorted.end(), ids.begin() + start[c]);
        }
        copyCoordinates(pts);
    }

    // Calls visit(k, dx, dy) for the slots k of the points within `radius`
    // of (px, py) in X/Y, (dx, dy) being their offsets from it, cell by
    // cell, until visit returns false; returns whether it never did. Needs
    // the coordinates (copyCoordinates or orderWithin).
    template <class Visit>
    bool visitWithin(double px, double py, double radius, Visit visit) const
    {
        const int c0 = col(px - radius), c1 = col(px + radius);
        const int r0 = row(py - radius), r1 = row(py + radius);
        const double r2 = radius * radius;
        for (int r = r0; r <= r1; ++r)
            for (int q = c0; q <= c1; ++q) {
                const size_t cell = size_t(r) * cols + q;
                for (uint32_t k = start[cell]; k < start[cell + 1]; ++k) {
                    const double dx = x[k] - px, dy = y[k] - py;
                    if (dx * dx + dy * dy <= r2 && !visit(k, dx, dy))
                        return false;
                }
            }
        return true;
    }

    // Calls visit(k) for the slots k of every point in the box [xa, xb] x
    // [ya, yb] and of some points near it (those of the squares of the
    // visiting order that meet it), cells nearest to (x, y) first, until
    // visit returns false. Needs orderWithin.
    template <class Visit>
    void visitBox(double x, double y, double xa, double ya, double xb, double yb, Visit visit) const
    {
        const int c0 = col(xa), c1 = col(xb), r0 = row(ya), r1 = row(yb);
        const int cc = col(x), rc = row(y);
        const int rings = std::max({cc - c0, c1 - cc, rc - r0, r1 - rc});
        const size_t per = size_t(sub) * sub + 1;
        auto square = [&](double v, double origin) {
            return std::min(sub - 1, std::max(0, int((v - origin) / size * sub)));
        };
        for (int d = 0; d <= rings; ++d)
            for (int r = std::max(r0, rc - d); r <= std::min(r1, rc + d); ++r)
                for (int q = std::max(c0, cc - d); q <= std::min(c1, cc + d); ++q) {
                    if (std::max(std::abs(r - rc), std::abs(q - cc)) != d)
                        continue;
                    // The same squares as orderWithin gives the points.
                    const double cx = x0 + double(q) * size, cy = y0 + double(r) * size;
                    const int qa = square(xa, cx), qb = square(xb, cx);
                    const int ra = square(ya, cy), rb = square(yb, cy);
                    const uint32_t *at = &squareStart[(size_t(r) * cols + q) * per];
                    for (int sr = ra; sr <= rb; ++sr) {
                        const int first = sr * sub + (sr % 2 ? sub - 1 - qb : qa);
                        const int last = sr * sub + (sr % 2 ? sub - 1 - qa : qb);
                        for (uint32_t k = at[first]; k < at[last + 1]; ++k)
                            if (!visit(k))
                                return;
                    }
                }
    }
};

// Where a point was last located: its triangle and the triangle's vertices.
// Vertices are never removed, so the same three handles in the same slots
// mean the same triangle.
struct Where {
    Tin::Face_handle face;
    Tin::Vertex_handle v[3];
};

// The per-point working space of a block. Blocks come one after another on
// each worker thread, so the space is kept per thread and reused: the
// memory is not handed back and faulted in again for every block.
struct Scratch {
    std::vector<uint32_t> cand;
    std::vector<uint8_t> ground;  // 0, or how the point was taken as ground (see kSeedPass...)
    Buckets fine, seedCells, level, ridge;
    std::vector<double> above;
    std::vector<Where> where;
    std::vector<uint32_t> live;
    std::vector<uint32_t> steps;
    std::vector<double> top;
    std::vector<char> settled;
    std::vector<int> piece, pieceOf;
    std::vector<uint32_t> queue;
};

Scratch &scratch()
{
    thread_local Scratch space;
    return space;
}

// Puts the `count` lowest of `ids` first, by rising height (equal heights by
// number), and returns how many that is. The rest of `ids` is left in no
// particular order. The heights are gathered once, so that the selection
// compares neighbours in memory rather than points all over the block.
size_t lowestFirst(const std::vector<PointCloud> &pts, std::vector<uint32_t> &ids, size_t count)
{
    thread_local std::vector<std::pair<double, uint32_t>> keyed;
    count = std::min(count, ids.size());
    keyed.clear();
    for (uint32_t id : ids)
        keyed.emplace_back(pts[id].z, id);
    std::partial_sort(keyed.begin(), keyed.begin() + count, keyed.end());
    for (size_t k = 0; k < count; ++k)
        ids[k] = keyed[k].second;
    return count;
}

// Whether p is well supported: at least `enough` points within `radius`
// lie within `band` of its height (an isolated point has none), and its
// nearest neighbours (at least `enough`, searched in a radius doubling from
// `start`) include a few (a fifth of `enough`) no more than `band` above it:
// a point well below every point around it, such as a low outlier at the
// foot of a slope, is not supported, while ground under trees, with a few
// ground points beside it, is.
bool supported(const std::vector<PointCloud> &pts, const Buckets &b, uint32_t p, double start, double radius,
               double band, int enough, std::vector<double> &heights)
{
    const PointCloud &c = pts[p];
    double r = std::min(start, radius);
    for (;; r = std::min(2 * r, radius)) {
        heights.clear();
        b.visitBox(c.x, c.y, c.x - r, c.y - r, c.x + r, c.y + r, [&](uint32_t k) {
            const double dx = b.x[k] - c.x, dy = b.y[k] - c.y;
            if (dx * dx + dy * dy <= r * r && b.ids[k] != p)
                heights.push_back(b.z[k]);
            return true;
        });
        if (int(heights.size()) >= std::max(1, enough))
            break;
        if (r >= radius)
            return false;
    }
    int level = 0;
    for (double z : heights)
        level += std::fabs(z - c.z) <= band;
    if (level < enough && r < radius) {
        // Not enough near its height close by: count over the whole radius.
        // Nearest cells first: they hold most of such points.
        level = 0;
        b.visitBox(c.x, c.y, c.x - radius, c.y - radius, c.x + radius, c.y + radius, [&](uint32_t k) {
            const double dx = b.x[k] - c.x, dy = b.y[k] - c.y;
            if (dx * dx + dy * dy <= radius * radius && std::fabs(b.z[k] - c.z) <= band && b.ids[k] != p)
                ++level;
            return level < enough;
        });
    }
    if (level < enough)
        return false;
    auto mid = heights.begin() + std::min(heights.size() - 1, size_t(enough / 5));
    std::nth_element(heights.begin(), mid, heights.end());
    return *mid - c.z <= band;
}

// The quadrants around p in each of which at least `count` points within
// `radius` lie more than `height` plus `slope` times their distance below
// it, as bits: 1 where x and y are below p's, 2 where only x is above, 4
// where only y is above, 8 where both are. The count keeps a few isolated
// low outliers from counting.
int lowerQuadrants(const std::vector<PointCloud> &pts, const Buckets &b, uint32_t p, double radius, double height,
                   double slope, int count)
{
    const PointCloud &c = pts[p];
    int n[4] = {0, 0, 0, 0};
    int full = 0;
    b.visitWithin(c.x, c.y, radius, [&](uint32_t k, double dx, double dy) {
        const double drop = c.z - b.z[k] - height;
        if (drop > 0 && drop * drop > slope * slope * (dx * dx + dy * dy)) {
            const int side = (dx >= 0 ? 1 : 0) + (dy >= 0 ? 2 : 0);
            if (++n[side] == count && (full |= 1 << side) == 15)
                return false;
        }
        return true;
    });
    return full;
}

// Whether p stands on a roof or a similar object that rises from the ground
// on every side: lower points (as above) in all four quadrants, while a
// point on a slope, a ridge or a terrace has ground as high as itself on
// some side.
bool standsAbove(const std::vector<PointCloud> &pts, const Buckets &b, uint32_t p, double radius, double height,
                 double slope, int count)
{
    return lowerQuadrants(pts, b, p, radius, height, slope, count) == 15;
}

// Whether the ground drops away (as above) on opposite sides of p: p then
// lies on something narrow (a deck, a roof, the top of a wall), not at the
// rim of wider ground, which drops away on one side.
bool dropsAcross(const std::vector<PointCloud> &pts, const Buckets &b, uint32_t p, double radius, double height,
                 double slope, int count)
{
    const int sides = lowerQuadrants(pts, b, p, radius, height, slope, count);
    return (sides & 9) == 9 || (sides & 6) == 6;
}

// Whether a point taken as ground lies within `radius` of p (in X/Y) and no
// lower than `band` below it: p then continues ground that is already known
// (a terrace below a wall, the flank of a ridge) rather than rising alone
// above it like a roof.
bool groundAbove(const std::vector<PointCloud> &pts, const Buckets &b, const std::vector<uint8_t> &ground, uint32_t p,
                 double radius, double band)
{
    const PointCloud &c = pts[p];
    return !b.visitWithin(c.x, c.y, radius, [&](uint32_t k, double, double) {
        return !(b.z[k] >= c.z - band && ground[b.ids[k]] && b.ids[k] != p);
    });
}

// The height of p above the least-squares plane through the points of `b`
// (the established ground) within `radius` of it (in X/Y) and no lower than
// `band` below it; NaN when fewer than three such points or when they lie
// on a line. `top` holds the highest point of each cell of `b`: most points
// have no such ground around and are answered from it.
double abovePlaneOfLevelGround(const Buckets &b, const std::vector<double> &top, double px, double py, double pz,
                               double radius, double band)
{
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const int c0 = b.col(px - radius), c1 = b.col(px + radius);
    const int r0 = b.row(py - radius), r1 = b.row(py + radius);
    bool any = false;
    for (int r = r0; r <= r1 && !any; ++r)
        for (int q = c0; q <= c1 && !any; ++q)
            any = top[size_t(r) * b.cols + q] >= pz - band;
    if (!any)
        return nan;
    // Sums for the normal equations of z = a + bx * dx + by * dy, in
    // coordinates relative to p.
    double n = 0, sx = 0, sy = 0, sz = 0, sxx = 0, sxy = 0, syy = 0, sxz = 0, syz = 0;
    b.visitWithin(px, py, radius, [&](uint32_t k, double dx, double dy) {
        const double dz = b.z[k] - pz;
        if (dz >= -band && !(dx == 0 && dy == 0 && dz == 0)) {
            n += 1, sx += dx, sy += dy, sz += dz;
            sxx += dx * dx, sxy += dx * dy, syy += dy * dy, sxz += dx * dz, syz += dy * dz;
        }
        return true;
    });
    if (n < 3)
        return nan;
    // Cramer's rule for the intercept a (the plane's height at p).
    const double det = n * (sxx * syy - sxy * sxy) - sx * (sx * syy - sxy * sy) + sy * (sx * sxy - sxx * sy);
    if (!(std::fabs(det) > 1e-9 * n * n * n))
        return nan;
    const double a = (sz * (sxx * syy - sxy * sxy) - sx * (sxz * syy - sxy * syz) + sy * (sxz * sxy - sxx * syz)) / det;
    return -a;
}

// The least-squares quadric surface z = zRef + c0 + c1 u + c2 v + c3 u^2 +
// c4 u v + c5 v^2, with u and v the offsets from (cx, cy) divided by
// `radius`, through the points of `b` within `radius` of (cx, cy) (in X/Y),
// with the root mean square of their residuals in `rms`. False when fewer
// than `minPoints` such points, when they leave more than `openSectors` of
// the eight 45-degree sectors around the centre empty (the surface would be
// extrapolated there rather than interpolated) or when they do not fix a
// quadric. A plane through the ground on both flanks of a dyke or an
// embankment passes below its crest; a quadric bends over it.
bool quadricOf(const Buckets &b, double cx, double cy, double zRef, double radius, int minPoints, int openSectors,
               double c[6], double &rms)
{
    // The normal equations X'X c = X'z, z relative to zRef.
    Eigen::Matrix<double, 6, 6> xx = Eigen::Matrix<double, 6, 6>::Zero();
    Eigen::Matrix<double, 6, 1> xz = Eigen::Matrix<double, 6, 1>::Zero();
    double zz = 0;
    int n = 0;
    unsigned sectors = 0;
    b.visitWithin(cx, cy, radius, [&](uint32_t k, double dx, double dy) {
        const double dz = b.z[k] - zRef, u = dx / radius, v = dy / radius;
        Eigen::Matrix<double, 6, 1> f;
        f << 1, u, v, u * u, u * v, v * v;
        xx.selfadjointView<Eigen::Upper>().rankUpdate(f);
        xz += f * dz;
        zz += dz * dz;
        ++n;
        sectors |= 1u << ((dy >= 0 ? 0 : 4) + (std::fabs(dx) >= std::fabs(dy) ? 0 : 2) +
                          ((dx >= 0) == (dy >= 0) ? 0 : 1));
        return true;
    });
    int open = 8;
    for (unsigned left = sectors; left; left &= left - 1)
        --open;
    if (n < std::max(6, minPoints) || open > openSectors)
        return false;
    // Column-pivoting QR tells a rank-deficient set (points on a line or a
    // conic) from one that fixes the surface.
    const Eigen::Matrix<double, 6, 6> full = xx.selfadjointView<Eigen::Upper>();
    Eigen::ColPivHouseholderQR<Eigen::Matrix<double, 6, 6>> qr(full);
    qr.setThreshold(1e-9);
    if (qr.rank() < 6)
        return false;
    const Eigen::Matrix<double, 6, 1> sol = qr.solve(xz);
    for (int i = 0; i < 6; ++i)
        c[i] = sol[i];
    // The residual sum of squares: z'z - c'X'z.
    const double fitted = sol.dot(xz);
    rms = std::sqrt(std::max(0.0, zz - fitted) / n);
    return true;
}

// Crests. The points of `fine` (slot k) not yet ground and more than
// kFinalAbove but less than kRidgeHigh TinDistances above the final TIN
// (`above`) are taken as ground when they lie within kRidgeFit TinDistances
// of the quadric surface through the ground within `radius` (see quadricOf
// and the constants). `cells` and `thinned` are working space; `ids` too.
void takeCrests(const std::vector<PointCloud> &pts, const Buckets &fine, const std::vector<double> &above, double minX,
                double minY, double maxX, double maxY, double radius, double tinDistance,
                std::vector<uint8_t> &ground, Buckets &cells, Buckets &thinned, std::vector<uint32_t> &ids)
{
    ids.clear();
    for (size_t k = 0; k < fine.ids.size(); ++k)
        if (!ground[fine.ids[k]] && above[k] > kFinalAbove * tinDistance && above[k] < kRidgeHigh * tinDistance)
            ids.push_back(fine.ids[k]);
    if (ids.empty())
        return;
    const double extent = std::max(maxX - minX, maxY - minY);
    cells.build(pts, ids, minX, minY, maxX, maxY, std::max(radius / kRidgeCells, extent / 4096.0));
    // The ground, thinned to its lowest point per cell: as good a surface,
    // and far fewer points to fit where the points are dense.
    std::vector<int64_t> lowest(cells.start.size() - 1, -1);
    std::vector<double> lowestZ(lowest.size());
    auto keepLowest = [&](uint32_t id, double x, double y, double z) {
        const size_t c = size_t(cells.row(y)) * cells.cols + cells.col(x);
        if (lowest[c] < 0 || z < lowestZ[c])
            lowest[c] = id, lowestZ[c] = z;
    };
    for (size_t k = 0; k < fine.ids.size(); ++k)
        if (ground[fine.ids[k]])
            keepLowest(fine.ids[k], fine.x[k], fine.y[k], fine.z[k]);
    // The cells to fit in this round: all at first, then those near the
    // points the last round took.
    std::vector<char> active(lowest.size(), 1), next(lowest.size(), 0);
    std::vector<uint32_t> join;
    const int rings = int(std::ceil(radius / cells.size)) + 1;
    for (int round = 0; round < kRidgeRounds; ++round) {
        ids.clear();
        for (int64_t l : lowest)
            if (l >= 0)
                ids.push_back(uint32_t(l));
        thinned.build(pts, ids, minX, minY, maxX, maxY, std::max(radius / 2, extent / 4096.0));
        thinned.copyCoordinates(pts);
        join.clear();
        for (size_t c = 0; c < active.size(); ++c) {
            if (!active[c] || cells.start[c] == cells.start[c + 1])
                continue;
            const double cx = cells.x0 + (double(c % size_t(cells.cols)) + 0.5) * cells.size;
            const double cy = cells.y0 + (double(c / size_t(cells.cols)) + 0.5) * cells.size;
            const double zRef = pts[cells.ids[cells.start[c]]].z;
            double q[6], rms = 0;
            if (!quadricOf(thinned, cx, cy, zRef, radius, kRidgeMinPoints, kRidgeOpenSectors, q, rms) ||
                !(rms < kRidgeRms * tinDistance))
                continue;
            for (uint32_t k = cells.start[c]; k < cells.start[c + 1]; ++k) {
                const PointCloud &p = pts[cells.ids[k]];
                const double u = (p.x - cx) / radius, v = (p.y - cy) / radius;
                const double h = p.z - zRef - (q[0] + q[1] * u + q[2] * v + q[3] * u * u + q[4] * u * v + q[5] * v * v);
                if (!ground[cells.ids[k]] && std::fabs(h) < kRidgeFit * tinDistance)
                    join.push_back(cells.ids[k]);
            }
        }
        if (join.empty())
            break;
        std::fill(next.begin(), next.end(), 0);
        for (uint32_t id : join) {
            ground[id] = kLastPass;
            keepLowest(id, pts[id].x, pts[id].y, pts[id].z);
            const int r = cells.row(pts[id].y), q = cells.col(pts[id].x);
            for (int rr = std::max(0, r - rings); rr <= std::min(cells.rows - 1, r + rings); ++rr)
                for (int qq = std::max(0, q - rings); qq <= std::min(cells.cols - 1, q + rings); ++qq)
                    next[size_t(rr) * cells.cols + qq] = 1;
        }
        active.swap(next);
    }
}

// Raised islands. The ground points fall into pieces, two points being in
// one piece when they lie within `link` of each other (in X/Y) and within
// `band` in height. A piece other than the largest whose rim mostly drops
// away (at least `rim` of its points that have other points within `link`
// have one of them more than `drop` lower) is a roof, a deck or a platform
// that the TIN climbed onto, and is taken back out of the ground. Ground
// cut off from the rest by vegetation or by a gap in the data has
// vegetation or more ground around it, not a drop, and a terrace or the
// rim of a quarry is joined to the ground behind it. `pieces`, `piece`,
// `pieceOf` and `queue` are working space.
void dropRaisedIslands(const std::vector<PointCloud> &pts, const Buckets &fine, const std::vector<uint32_t> &groundIds,
                       double minX, double minY, double maxX, double maxY, double link, double band, double drop,
                       std::vector<uint8_t> &ground, Buckets &pieces, std::vector<int> &piece,
                       std::vector<int> &pieceOf, std::vector<uint32_t> &queue)
{
    pieces.build(pts, groundIds, minX, minY, maxX, maxY, link);
    pieces.copyCoordinates(pts);
    const size_t n = pieces.ids.size();
    // The pieces, by flooding from each point not yet in one.
    piece.assign(n, -1);
    std::vector<size_t> size;
    const double link2 = link * link;
    for (size_t s = 0; s < n; ++s) {
        if (piece[s] >= 0)
            continue;
        const int id = int(size.size());
        size.push_back(0);
        queue.assign(1, uint32_t(s));
        piece[s] = id;
        while (!queue.empty()) {
            const uint32_t k = queue.back();
            queue.pop_back();
            ++size.back();
            pieces.visitWithin(pieces.x[k], pieces.y[k], link, [&](uint32_t j, double, double) {
                if (piece[j] < 0 && std::fabs(pieces.z[j] - pieces.z[k]) <= band) {
                    piece[j] = id;
                    queue.push_back(j);
                }
                return true;
            });
        }
    }
    if (size.size() < 2)
        return;
    const int largest = int(std::max_element(size.begin(), size.end()) - size.begin());
    pieceOf.assign(pts.size(), -1);
    for (size_t k = 0; k < n; ++k)
        pieceOf[pieces.ids[k]] = piece[k];
    // Per piece: its rim points, and those with a drop beside them.
    std::vector<size_t> rimPoints(size.size(), 0), drops(size.size(), 0);
    for (size_t k = 0; k < n; ++k) {
        const int id = piece[k];
        if (id == largest || size[id] < kIslandMinPoints)
            continue;
        const double px = pieces.x[k], py = pieces.y[k];
        double lowest = std::numeric_limits<double>::infinity();
        fine.visitBox(px, py, px - link, py - link, px + link, py + link, [&](uint32_t j) {
            const double dx = fine.x[j] - px, dy = fine.y[j] - py;
            if (dx * dx + dy * dy <= link2 && pieceOf[fine.ids[j]] != id)
                lowest = std::min(lowest, fine.z[j]);
            return true;
        });
        if (lowest < std::numeric_limits<double>::infinity()) {
            ++rimPoints[id];
            drops[id] += lowest < pieces.z[k] - drop;
        }
    }
    for (size_t k = 0; k < n; ++k)
        if (rimPoints[piece[k]] > 0 && double(drops[piece[k]]) >= kIslandRim * double(rimPoints[piece[k]]))
            ground[pieces.ids[k]] = 0;
}

}  // namespace

int FILTER::LasFilter(std::vector<PointCloud> &points, double left, double bottom, double right, double top,
                      CProcessBase *progress, std::vector<double> &bookkeeping, double &fraction)
{
    if (bookkeeping.size() < 4 || !(bookkeeping[0] >= 1) || !(bookkeeping[3] >= 1))
        return kFailed;
    if (!(m_GridSize > 0) || !(m_TinAngle > 0) || !(m_TinDistance > 0) || m_MaxIterations < 0 ||
        !std::isfinite(m_GridSize) || !std::isfinite(m_TinAngle) || !std::isfinite(m_TinDistance) ||
        !std::isfinite(left) || !std::isfinite(right) || !std::isfinite(bottom) || !std::isfinite(top) ||
        !std::isfinite(m_SupportRadius) || !std::isfinite(m_SupportHeight))
        return kFailed;
    const double share = 1.0 / (bookkeeping[0] * bookkeeping[3]);
    const double startFraction = fraction;
    auto report = [&](double part) { return !progress || progress->SetPosition(startFraction + share * part); };
    if (!report(0.0))
        return kCancelled;

    // Candidates: every point but low noise.
    Scratch &work = scratch();
    std::vector<uint32_t> &cand = work.cand;
    cand.clear();
    cand.reserve(points.size());
    double minX = std::numeric_limits<double>::max(), minY = minX, maxX = -minX, maxY = -minX;
    for (size_t i = 0; i < points.size(); ++i) {
        const PointCloud &p = points[i];
        if (p.classification == 7 || !std::isfinite(p.x) || !std::isfinite(p.y) || !std::isfinite(p.z))
            continue;
        cand.push_back(uint32_t(i));
        minX = std::min(minX, p.x);
        maxX = std::max(maxX, p.x);
        minY = std::min(minY, p.y);
        maxY = std::max(maxY, p.y);
    }
    std::vector<uint8_t> &ground = work.ground;
    ground.assign(points.size(), 0);

    if (int(cand.size()) >= std::max(3, m_MinPoints)) {
        const double gridSize = std::max(m_GridSize, 1e-3);
        // Neighbourhood buckets: a few cells across the support radius.
        const double radius = std::max(m_SupportRadius, 0.0);
        Buckets &fine = work.fine;
        const double extent = std::max(maxX - minX, maxY - minY);
        double fineCell = std::max({radius / 3.0, gridSize / 8.0, extent / 2048.0, 1e-3});
        fine.build(points, cand, minX, minY, maxX, maxY, fineCell);
        fine.orderWithin(points, 8);

        // The mean point spacing, and the radius where a point's nearest
        // neighbours are first looked for.
        const double spacing = std::sqrt((maxX - minX) * (maxY - minY) / double(cand.size()));
        const double near = std::max(2.0 * spacing, 0.5);
        std::vector<double> heights;

        // Seeds: per grid cell, the lowest point with enough support.
        Buckets &seedCells = work.seedCells;
        seedCells.build(points, cand, minX, minY, maxX, maxY, std::max(gridSize, extent / 4096.0));
        std::vector<uint32_t> seeds;
        std::vector<uint32_t> order;
        for (size_t c = 0; c + 1 < seedCells.start.size(); ++c) {
            order.assign(seedCells.ids.begin() + seedCells.start[c], seedCells.ids.begin() + seedCells.start[c + 1]);
            if (order.empty())
                continue;
            // Only the lowest few are tried (by height, equal heights by
            // number): a cell whose low points all lack support holds no
            // reliable ground.
            const size_t tries = lowestFirst(points, order, 32);
            for (size_t k = 0; k < tries; ++k) {
                if (standsAbove(points, fine, order[k], 2 * gridSize, m_SupportHeight, kRoofSlope,
                                std::max(1, m_MinSupport / 3)))
                    break;  // the higher points of the cell stand higher still
                if (supported(points, fine, order[k], near, radius, m_SupportHeight, m_MinSupport, heights)) {
                    seeds.push_back(order[k]);
                    break;
                }
            }
        }
        if (!report(0.1))
            return kCancelled;

        // Seed check, pass by pass until none is left to drop: first the
        // seeds that stand too far below most of their neighbours (clusters
        // of low outliers), then the seeds that stand too high above a
        // neighbouring seed (roofs of buildings wider than a cell, vegetation
        // in cells without ground) unless they continue the ground at their
        // own level: a seed on a terrace or at the rim of a quarry has a
        // neighbour level with it, and lower ground on one or two sides only,
        // where a roof has lower ground all round. The low seeds go first so
        // that their neighbours do not look high above them. The slope
        // allowed follows the ground around, so that a roof seed passes or
        // fails whichever of its equally low points was taken.
        const double reach = std::max(radius, 2.5 * gridSize);
        const int rings = std::min(3, int(std::ceil(reach / seedCells.size)));
        std::vector<int> seedAt(size_t(seedCells.cols) * seedCells.rows, -1);
        for (size_t a = 0; a < seeds.size(); ++a)
            seedAt[size_t(seedCells.row(points[seeds[a]].y)) * seedCells.cols + seedCells.col(points[seeds[a]].x)] =
                int(a);
        std::vector<char> alive(seeds.size(), 1);
        std::vector<size_t> around;
        std::vector<double> slopes;
        for (const bool lowPhase : {true, false}) {
            for (int pass = 0; pass < m_SeedPasses; ++pass) {
                std::vector<size_t> drop;
                for (size_t a = 0; a < seeds.size(); ++a) {
                    if (!alive[a])
                        continue;
                    const PointCloud &s = points[seeds[a]];
                    const int r = seedCells.row(s.y), c = seedCells.col(s.x);
                    around.clear();
                    for (int rr = std::max(0, r - rings); rr <= std::min(seedCells.rows - 1, r + rings); ++rr)
                        for (int cc = std::max(0, c - rings); cc <= std::min(seedCells.cols - 1, c + rings); ++cc) {
                            const int b = seedAt[size_t(rr) * seedCells.cols + cc];
                            if (b >= 0 && size_t(b) != a && alive[b] &&
                                std::hypot(s.x - points[seeds[b]].x, s.y - points[seeds[b]].y) <= reach)
                                around.push_back(size_t(b));
                        }
                    // The slope of the ground around, robustly: the median
                    // slope between pairs of the other seeds. Objects among
                    // them are few, so gentle ground gives a gentle slope
                    // whatever the roofs around.
                    slopes.clear();
                    for (size_t i = 0; i < around.size(); ++i)
                        for (size_t j = i + 1; j < around.size(); ++j) {
                            const PointCloud &t = points[seeds[around[i]]], &u = points[seeds[around[j]]];
                            const double d = std::hypot(t.x - u.x, t.y - u.y);
                            if (d > 0)
                                slopes.push_back(std::fabs(t.z - u.z) / d);
                        }
                    double slope = kSeedSlope, levelSlope = kSeedSlope;
                    if (!slopes.empty()) {
                        auto mid = slopes.begin() + slopes.size() / 2;
                        std::nth_element(slopes.begin(), mid, slopes.end());
                        slope = std::min(kSeedSlope, std::max(kRoofSlope, kSeedSlopeFactor * *mid));
                        // Level with a neighbour: within the height allowance
                        // plus the slope of the ground around, without the
                        // floor that lets steep objects pass as slopes.
                        levelSlope = std::min(kSeedSlope, kSeedSlopeFactor * *mid);
                    }
                    int lower = 0, higher = 0, level = 0;
                    bool lowerOn[4] = {false, false, false, false};
                    for (size_t b : around) {
                        const PointCloud &t = points[seeds[b]];
                        const double d = std::hypot(s.x - t.x, s.y - t.y);
                        if (s.z - t.z > m_SupportHeight + slope * d) {
                            ++lower;
                            lowerOn[(t.x >= s.x ? 1 : 0) + (t.y >= s.y ? 2 : 0)] = true;
                        }
                        higher += t.z - s.z > m_SupportHeight + slope * d;
                        level += std::fabs(t.z - s.z) <= m_SupportHeight + levelSlope * d;
                    }
                    const int sides = lowerOn[0] + lowerOn[1] + lowerOn[2] + lowerOn[3];
                    if (lowPhase ? !around.empty() && higher >= kLowShare * double(around.size())
                                 : lower > 0 && (sides >= 3 || level == 0))
                        drop.push_back(a);
                }
                if (drop.empty())
                    break;
                for (size_t a : drop)
                    alive[a] = 0;
            }
        }
        {
            std::vector<uint32_t> kept;
            for (size_t a = 0; a < seeds.size(); ++a)
                if (alive[a])
                    kept.push_back(seeds[a]);
            seeds.swap(kept);
        }

        if (!seeds.empty()) {
            // The TIN of the seeds, with four corners a little outside the
            // candidates (at the height of the nearest seed) so that every
            // candidate lies in a triangle.
            Tin tin;
            std::vector<std::pair<P3, int>> init;
            for (uint32_t s : seeds) {
                init.emplace_back(P3(points[s].x, points[s].y, points[s].z), int(s));
                ground[s] = kSeedPass;
            }
            const double pad = 1.0;
            const double cx[4] = {minX - pad, maxX + pad, maxX + pad, minX - pad};
            const double cy[4] = {minY - pad, minY - pad, maxY + pad, maxY + pad};
            for (int k = 0; k < 4; ++k) {
                double best = std::numeric_limits<double>::max(), z = 0;
                for (uint32_t s : seeds) {
                    const double d = std::hypot(points[s].x - cx[k], points[s].y - cy[k]);
                    if (d < best) {
                        best = d;
                        z = points[s].z;
                    }
                }
                init.emplace_back(P3(cx[k], cy[k], z), -1 - k);
            }
            tin.insert(init.begin(), init.end());

            // Finer seeds: the lowest supported point of cells of half, a
            // quarter, ... of the grid size (down to twice the point spacing
            // and an eighth of the grid size) joins the TIN when it lies no
            // higher above it than the height allowance plus a gentle slope
            // over its distance from the nearest TIN vertex, or when ground
            // as high lies within a cell of it (two cells across a wall; see
            // kWallSlope). This climbs terraces and ridges
            // that the angle test of the densification cannot, while roofs,
            // which rise steeply from the ground around them, stay out. Cells
            // of a quarter of the grid size or more are swept again while
            // seeds join, so that the ground grows cell by cell up and down
            // slopes too steep for one sweep (quarry walls, the flanks of
            // ridges); the finest cells are swept once, as they would carry
            // the ground over the few metres from a slope onto a roof.
            for (double cell = gridSize / 2; cell >= std::max({2.0 * spacing, gridSize / 8, 1.0}); cell /= 2) {
                Buckets &level = work.level;
                level.build(points, cand, minX, minY, maxX, maxY, std::max(cell, extent / 4096.0));
                std::vector<std::pair<P3, int>> more;
                Tin::Face_handle lh;
                std::vector<char> &settled = work.settled;  // per cell: it holds a seed
                settled.assign(level.start.size(), 0);
                const bool swept = cell >= kSweepShare * gridSize;
                const int sweeps = swept ? std::max(1, m_MaxIterations) : 1;
                for (int sweep = 0; sweep < sweeps; ++sweep) {
                    more.clear();
                    for (size_t c = 0; c + 1 < level.start.size(); ++c) {
                        if (settled[c])
                            continue;
                        order.assign(level.ids.begin() + level.start[c], level.ids.begin() + level.start[c + 1]);
                        if (order.empty())
                            continue;
                        const size_t tries = lowestFirst(points, order, 8);
                        for (size_t k = 0; k < tries; ++k) {
                            const uint32_t id = order[k];
                            if (ground[id]) {
                                settled[c] = 1;
                                break;
                            }
                            const PointCloud &p = points[id];
                            const P3 q(p.x, p.y, p.z);
                            const Tin::Face_handle f = tin.locate(q, lh);
                            if (f == Tin::Face_handle() || tin.is_infinite(f))
                                break;
                            lh = f;
                            const FacePlane plane = planeOf(f);
                            if (plane.vertical())
                                break;
                            const double dz = p.z - plane.heightAt(p.x, p.y);
                            double r = std::numeric_limits<double>::max();
                            for (int j = 0; j < 3; ++j) {
                                const P3 &v = f->vertex(j)->point();
                                r = std::min(r, std::hypot(p.x - v.x(), p.y - v.y()));
                            }
                            if (dz < -kFarBelow * m_TinDistance)
                                continue;
                            const double slope = plane.slope();
                            const double rise = std::min(kFineSlopeMax, kFineSlope + kFineSlopeGain * slope);
                            if (dz > m_SupportHeight + rise * r &&
                                !groundAbove(points, fine, ground, id, cell, m_SupportHeight) &&
                                !(swept && slope > kWallSlope &&
                                  groundAbove(points, fine, ground, id, kWallReach * cell, m_SupportHeight) &&
                                  !dropsAcross(points, fine, id, kNarrowReach * cell, m_SupportHeight, kRoofSlope,
                                               std::max(1, m_MinSupport / 3))))
                                break;  // the lowest point of the cell is off the ground: so are the others
                            if (supported(points, fine, id, near, radius, m_SupportHeight, m_MinSupport, heights)) {
                                more.emplace_back(q, int(id));
                                ground[id] = kSeedPass;
                                settled[c] = 1;
                                break;
                            }
                        }
                    }
                    tin.insert(more.begin(), more.end());
                    lh = Tin::Face_handle();
                    if (more.empty())
                        break;
                }
            }

            const double tanAngle = std::tan(std::min(m_TinAngle, 89.0) * kPi / 180.0);
            // Which places a pass must look at again: squares of a fifth of a
            // bucket cell, marked where the triangles changed by the last
            // pass lie. Every triangle that held a point passing the tests
            // took one and is gone, so a point outside the changed triangles
            // cannot pass; it keeps its triangle and its height above it.
            const int sub = 5;
            const int subCols = fine.cols * sub, subRows = fine.rows * sub;
            const double subSize = fine.size / sub;
            auto subOf = [&](double x, double y) {
                const int q = std::min(subCols - 1, std::max(0, int((x - fine.x0) / subSize)));
                const int r = std::min(subRows - 1, std::max(0, int((y - fine.y0) / subSize)));
                return size_t(r) * subCols + q;
            };
            std::vector<char> dirtySub(size_t(subCols) * subRows, 1);
            std::vector<char> dirty(size_t(fine.cols) * fine.rows, 1);
            bool anyDirty = true;
            // The height of each point above the plane of its triangle (NaN
            // where the triangle is vertical or outside the TIN), as of the
            // last time the point was looked at. This and the other per-point
            // state below are kept in bucket order (slot k of `fine`), so
            // that a pass reads them in sequence rather than all over memory.
            std::vector<double> &above = work.above;
            above.assign(fine.ids.size(), std::numeric_limits<double>::quiet_NaN());
            const double farAbove = kFarAbove * m_TinDistance;
            Tin::Face_handle hint;
            // Each point's triangle when the point was last located, and its
            // vertices: while a triangle in use there has the same vertices
            // (insertions split and flip triangles in place), the point's
            // tests give what they gave.
            std::vector<Where> &where = work.where;
            where.assign(fine.ids.size(), Where());
            auto unchanged = [&](uint32_t k) {
                const Where &w = where[k];
                if (w.face == Tin::Face_handle() || !tin.tds().faces().is_used(w.face))
                    return false;
                for (int j = 0; j < 3; ++j)
                    if (w.face->vertex(j) != w.v[j])
                        return false;
                return true;
            };
            // Locates the point of slot k and keeps its height above its
            // triangle; returns the triangle (null outside the TIN or where
            // it is vertical).
            auto place = [&](uint32_t k, FacePlane &plane) {
                const double px = fine.x[k], py = fine.y[k], pz = fine.z[k];
                Tin::Face_handle f = walkTo(tin, hint, px, py);
                if (f == Tin::Face_handle())
                    f = tin.locate(P3(px, py, pz), hint);
                above[k] = std::numeric_limits<double>::quiet_NaN();
                where[k].face = Tin::Face_handle();
                if (f == Tin::Face_handle() || tin.is_infinite(f))
                    return Tin::Face_handle();
                hint = f;
                where[k].face = f;
                for (int j = 0; j < 3; ++j)
                    where[k].v[j] = f->vertex(j);
                plane = planeOf(f);
                if (plane.vertical())
                    return Tin::Face_handle();
                above[k] = pz - plane.heightAt(px, py);
                return f;
            };
            // The slots each pass still looks at, per bucket cell from
            // fine.start[c] to liveEnd[c], in bucket order: points taken as
            // ground and points far above their triangle drop out for good.
            std::vector<uint32_t> &live = work.live;
            live.resize(fine.ids.size());
            for (uint32_t k = 0; k < live.size(); ++k)
                live[k] = k;
            std::vector<uint32_t> liveEnd(fine.start.begin() + 1, fine.start.end());
            // At most one point per triangle and bucket cell and pass: a large
            // triangle takes several far-apart points at once, a small one
            // the single best (the nearest to its plane, the first of equals).
            struct Candidate {
                const void *face;
                double d;
                uint32_t seq, id;
                bool operator<(const Candidate &o) const
                {
                    return face != o.face ? std::less<const void *>()(face, o.face) : d != o.d ? d < o.d : seq < o.seq;
                }
            };
            std::vector<Candidate> inCell;
            std::vector<uint32_t> add;
            std::vector<Tin::Vertex_handle> added;
            for (int it = 0; it < m_MaxIterations && anyDirty; ++it) {
                add.clear();
                for (size_t c = 0; c < dirty.size(); ++c) {
                    if (!dirty[c])
                        continue;
                    inCell.clear();
                    uint32_t kept = fine.start[c];
                    for (uint32_t j = fine.start[c]; j < liveEnd[c]; ++j) {
                        const uint32_t k = live[j], id = fine.ids[k];
                        if (ground[id] || above[k] > farAbove)
                            continue;
                        live[kept++] = k;
                        if (!dirtySub[subOf(fine.x[k], fine.y[k])] || unchanged(k))
                            continue;
                        const struct {
                            double x, y, z;
                        } p{fine.x[k], fine.y[k], fine.z[k]};
                        FacePlane plane;
                        const Tin::Face_handle f = place(k, plane);
                        if (f == Tin::Face_handle())
                            continue;
                        // Distance to the triangle's plane.
                        const P3 &a = plane.a;
                        const double nn = std::sqrt(plane.nx * plane.nx + plane.ny * plane.ny + plane.nz * plane.nz);
                        const double d = std::fabs(plane.nx * (p.x - a.x()) + plane.ny * (p.y - a.y()) +
                                                   plane.nz * (p.z - a.z())) /
                                         nn;
                        if (d > m_TinDistance)
                            continue;
                        // Angles to the vertices: sin = d / distance; the
                        // test compares tangents, d / horizontal-ish run.
                        bool ok = true;
                        for (int j = 0; j < 3 && ok; ++j) {
                            const P3 &w = f->vertex(j)->point();
                            const double ex = p.x - w.x(), ey = p.y - w.y(), ez = p.z - w.z();
                            const double len2 = ex * ex + ey * ey + ez * ez;
                            const double run2 = len2 - d * d;
                            if (d > kAngleFreeShare * m_TinDistance && d * d > tanAngle * tanAngle * std::max(run2, 0.0))
                                ok = false;
                        }
                        if (ok)
                            inCell.push_back({&*f, d, uint32_t(inCell.size()), id});
                    }
                    liveEnd[c] = kept;
                    std::sort(inCell.begin(), inCell.end());
                    // The cell's points go in by number, as the cells come in
                    // order: a spatially coherent order of insertion.
                    const size_t first = add.size();
                    for (size_t k = 0; k < inCell.size(); ++k)
                        if (k == 0 || inCell[k].face != inCell[k - 1].face)
                            add.push_back(inCell[k].id);
                    std::sort(add.begin() + first, add.end());
                }
                std::fill(dirtySub.begin(), dirtySub.end(), 0);
                std::fill(dirty.begin(), dirty.end(), 0);
                anyDirty = !add.empty();
                if (add.empty())
                    break;
                added.clear();
                Tin::Face_handle ihint;
                for (uint32_t id : add) {
                    const P3 q(points[id].x, points[id].y, points[id].z);
                    const Tin::Face_handle in = walkTo(tin, ihint, q.x(), q.y());
                    const Tin::Vertex_handle vh =
                        in != Tin::Face_handle() ? tin.insert(q, Tin::FACE, in, 0) : tin.insert(q, ihint);
                    vh->info() = int(id);
                    ihint = vh->face();
                    ground[id] = uint8_t(std::min(kSeedPass + 1 + it, int(kLastPass) - 1));
                    added.push_back(vh);
                }
                hint = Tin::Face_handle();
                // Mark where the changed triangles, all of them around the
                // new vertices, lie: the box of each new vertex's neighbours.
                for (const Tin::Vertex_handle &vh : added) {
                    Tin::Vertex_circulator vc = tin.incident_vertices(vh), done = vc;
                    if (vc == nullptr)
                        continue;
                    double x0 = vh->point().x(), x1 = x0, y0 = vh->point().y(), y1 = y0;
                    do {
                        if (tin.is_infinite(vc))
                            continue;
                        const P3 &w = vc->point();
                        x0 = std::min(x0, w.x()), x1 = std::max(x1, w.x());
                        y0 = std::min(y0, w.y()), y1 = std::max(y1, w.y());
                    } while (++vc != done);
                    const size_t lo = subOf(x0, y0), hi = subOf(x1, y1);
                    for (size_t r = lo / subCols; r <= hi / subCols; ++r)
                        for (size_t q = lo % subCols; q <= hi % subCols; ++q)
                            dirtySub[r * subCols + q] = 1;
                    for (int r = fine.row(y0); r <= fine.row(y1); ++r)
                        for (int q = fine.col(x0); q <= fine.col(x1); ++q)
                            dirty[size_t(r) * fine.cols + q] = 1;
                }
                if (!report(0.1 + 0.9 * double(it + 1) / std::max(1, m_MaxIterations)))
                    return kCancelled;
            }
            // Last pass: the points close to the final TIN. Heights above
            // triangles that the last pass changed are taken again.
            if (anyDirty)
                for (size_t c = 0; c < dirty.size(); ++c)
                    for (uint32_t k = fine.start[c]; dirty[c] && k < fine.start[c + 1]; ++k) {
                        const uint32_t id = fine.ids[k];
                        FacePlane plane;
                        if (!ground[id] && dirtySub[subOf(fine.x[k], fine.y[k])] && !unchanged(k))
                            place(k, plane);
                    }
            // Steps, judged against the ground as the passes left it, then
            // the points close to the final TIN.
            std::vector<uint32_t> &established = order;
            established.clear();
            for (size_t k = 0; k < fine.ids.size(); ++k)
                if (ground[fine.ids[k]] >= kSeedPass && ground[fine.ids[k]] <= kSeedPass + kStepPasses)
                    established.push_back(fine.ids[k]);
            Buckets &level = work.level;
            const double stepRadius = std::max(kStepRadius, kStepSpacings * spacing);
            level.build(points, established, minX, minY, maxX, maxY, std::max(stepRadius, extent / 4096.0));
            level.copyCoordinates(points);
            std::vector<double> &top = work.top;
            top.assign(level.start.size() - 1, -std::numeric_limits<double>::infinity());
            for (size_t c = 0; c + 1 < level.start.size(); ++c)
                for (uint32_t k = level.start[c]; k < level.start[c + 1]; ++k)
                    top[c] = std::max(top[c], level.z[k]);
            std::vector<uint32_t> &steps = work.steps;
            steps.clear();
            for (size_t k = 0; k < fine.ids.size(); ++k)
                if (!ground[fine.ids[k]] && above[k] > kFinalAbove * m_TinDistance && above[k] < farAbove &&
                    std::fabs(abovePlaneOfLevelGround(level, top, fine.x[k], fine.y[k], fine.z[k], stepRadius,
                                                      kStepBand * m_TinDistance)) <= kFinalAbove * m_TinDistance)
                    steps.push_back(fine.ids[k]);
            for (uint32_t id : steps)
                ground[id] = kLastPass;
            for (size_t k = 0; k < fine.ids.size(); ++k)
                if (!ground[fine.ids[k]] && above[k] <= kFinalAbove * m_TinDistance &&
                    above[k] >= -kFinalBelow * m_TinDistance)
                    ground[fine.ids[k]] = kLastPass;
            // Crests of dykes, embankments and rims that the TIN spans.
            takeCrests(points, fine, above, minX, minY, maxX, maxY, std::max(kRidgeRadius, kRidgeSpacings * spacing),
                       m_TinDistance, ground, work.ridge, level, steps);
            // Raised islands: roofs and decks that the ground reached.
            std::vector<uint32_t> &taken = steps;
            taken.clear();
            for (size_t k = 0; k < fine.ids.size(); ++k)
                if (ground[fine.ids[k]])
                    taken.push_back(fine.ids[k]);
            dropRaisedIslands(points, fine, taken, minX, minY, maxX, maxY, kIslandLink * spacing,
                              m_SupportHeight, kIslandDrop * m_TinDistance, ground, level, work.piece, work.pieceOf,
                              work.queue);
        }
    }

    // The block's own points, classified, in their order: half-open bounds
    // so that a point on an edge shared with the next block is kept once.
    size_t out = 0;
    for (size_t i = 0; i < points.size(); ++i) {
        PointCloud p = points[i];
        if (!(p.x >= left && p.x < right && p.y >= bottom && p.y < top))
            continue;
        if (p.classification != 7)
            p.classification = ground[i] ? 2 : 1;
        points[out++] = p;
    }
    points.resize(out);
    fraction = startFraction + share;
    bookkeeping[2] += 1;
    if (progress)
        progress->SetPosition(fraction);
    return kDone;
}
