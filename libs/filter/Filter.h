#pragma once
// Ground filtering of one block of airborne LiDAR points by progressive TIN
// densification (Axelsson 2000).
//
// Seeds are the lowest well-supported points of square cells, without the
// ones that stand on roofs; a Delaunay TIN of the seeds takes finer seeds
// and is then densified pass by pass with the points that lie close to
// their triangle (distance and angles below the thresholds); a last pass
// takes the points just above or below the final TIN, and the points at the
// top of steps (terrace edges, retaining walls) that lie on the plane of the
// level ground behind them, and the crests of dykes, embankments and quarry
// rims, which the TIN spans from flank to flank, where they lie on the
// curved surface fitted to the ground around them. Pieces of that ground
// cut off from the rest whose rim mostly drops away by more than twice
// TinDistance (roofs, decks and platforms that the TIN reached) are taken
// back out. The rest is ground (class 2); every other point becomes class
// 1, except low noise (class 7), which keeps its class and is never used.

#include "PointRecords.h"
#include "ProcessBase.h"

#include <vector>

class FILTER {
public:
    // The parameters, in the order the caller sets them.

    // Densification passes at most; each pass adds at most one point per
    // triangle and bucket cell (5 m or more), the one nearest the triangle.
    int m_MaxIterations = 25;
    // The largest angle (degrees) between a triangle and the lines from a
    // candidate point to the triangle's three vertices.
    double m_TinAngle = 12.0;
    // The largest distance (m) of a candidate point from its triangle's
    // plane. Points within 0.45 of it pass without the angle test (the
    // roughness of close ground points); a point found more than 5 times it
    // above its triangle is an object and leaves the later passes; after the
    // last pass, points up to 0.5 of it above or 3 times it below the TIN
    // are ground too, and so are points up to 5 times it above the TIN that
    // lie within 0.5 of it of the plane through the ground found by the
    // first three passes within 3 m (or two point spacings where sparser),
    // no lower than 0.25 of it below them; then, in up to three rounds,
    // points up to twice it above the TIN that lie within 0.5 of it of the
    // least-squares quadric surface through the ground within 5 m (or 2.3
    // point spacings), where that surface fits the ground to 0.3 of it (root
    // mean square) and the ground surrounds the point.
    double m_TinDistance = 1.0;
    // The side (m) of the seed cells; the lowest supported point of each
    // cell seeds the TIN, and cells of half, a quarter, ... of it add finer
    // seeds where they lie close enough above the TIN (down to twice the
    // point spacing and an eighth of the grid size). Cells of a quarter of
    // it or more are swept again, up to m_MaxIterations times, while seeds
    // join; in those, a point whose triangle is steeper than 45 degrees (a
    // wall between a quarry's floor and its benches) may continue ground
    // at its own level up to two cells away, unless the ground drops away
    // on opposite sides of it within three cells (a deck, a roof).
    double m_GridSize = 20.0;
    // Seeds: the radius (m) within which a seed candidate needs supporting
    // points near its own height.
    double m_SupportRadius = 15.0;
    // Seeds: the height band (m) of those supporting points; also the height
    // a seed may stand above lower ground or a lower seed before the slope
    // limits apply, and the base of the allowance of the finer seeds.
    double m_SupportHeight = 1.5;
    // A block with fewer candidate points than this has no ground.
    int m_MinPoints = 20;
    // The number of supporting points a seed candidate needs; an isolated
    // low point has none. A fifth of it of its nearest neighbours must lie
    // no more than m_SupportHeight above it (a low outlier lies below them
    // all), and a third of it is the number of lower points per quadrant
    // that marks a roof.
    int m_MinSupport = 10;
    // Rounds of each of the two seed checks, which compare a seed with the
    // seeds within 2.5 grid cells and allow m_SupportHeight plus a slope over
    // their distance: twice the median slope between the other seeds around
    // it, at least 0.3 and at most 1 (45 degrees). First, a seed below 70 %
    // of them by more than that (a cluster of low outliers) is dropped, until
    // none is; then a seed above one of them by more than that (a roof or a
    // spike), unless it has a neighbour level with it and lower seeds on
    // two sides at most (the edge of a terrace or of a quarry).
    int m_SeedPasses = 20;

    enum Result { kDone = 0, kCancelled = 1, kFailed = 4 };

    // Classifies `points` (the block read with its margin) and replaces them
    // by the points inside the block [left, right) x [bottom, top), in their
    // order. `bookkeeping` holds the number of files, the current file (from
    // 1), the blocks done and the blocks of the file; `fraction` is the
    // progress so far, advanced by this block's share. Returns kDone,
    // kCancelled (the progress object said stop; `points` unchanged) or
    // kFailed (invalid parameters or bookkeeping; `points` unchanged).
    int LasFilter(std::vector<VerdantaIO::PointCloud> &points, double left, double bottom, double right, double top,
                  CProcessBase *progress, std::vector<double> &bookkeeping, double &fraction);
};
