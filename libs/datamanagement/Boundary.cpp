// The outline of a point set: a concave hull carved from the Delaunay
// triangulation. Triangles are eroded from the outside, longest boundary
// edge first, while that edge is longer than the edge limit and the
// triangle's third vertex is not on the outline yet (so the outline stays
// one simple polygon through or around every point). Inside, connected runs
// of triangles with an edge over the limit become holes when they are large
// (area of at least the limit squared) and can be cut out without leaving a
// point outside or pinching the outline.

#include "DataManagement.h"

#include <CGAL/Delaunay_triangulation_2.h>
#include <CGAL/Exact_predicates_inexact_constructions_kernel.h>
#include <CGAL/Triangulation_face_base_with_info_2.h>
#include <CGAL/Triangulation_vertex_base_with_info_2.h>

#include <algorithm>
#include <cmath>
#include <queue>
#include <unordered_map>

using namespace VerdantaIO;

namespace {

using K = CGAL::Exact_predicates_inexact_constructions_kernel;
using Vb = CGAL::Triangulation_vertex_base_with_info_2<uint32_t, K>;
using Fb = CGAL::Triangulation_face_base_with_info_2<int32_t, K>;
using Tds = CGAL::Triangulation_data_structure_2<Vb, Fb>;
using Delaunay = CGAL::Delaunay_triangulation_2<K, Tds>;
using Face = Delaunay::Face_handle;

double length2(const Face &f, int i)
{
    const auto &a = f->vertex(Delaunay::ccw(i))->point(), &b = f->vertex(Delaunay::cw(i))->point();
    const double dx = a.x() - b.x(), dy = a.y() - b.y();
    return dx * dx + dy * dy;
}

}  // namespace

int C_DataManagement::GetPointsPolygon(const std::vector<XYZ> &points, std::vector<XYZ> &boundary, float scale,
                                       CProcessBase *progress)
{
    boundary.clear();
    error_.clear();
    if (points.size() < 3)
        return kBoundaryNone;
    if (progress && !progress->SetPosition(0.0))
        return kBoundaryFailed;
    std::vector<std::pair<K::Point_2, uint32_t>> input;
    input.reserve(points.size());
    for (uint32_t i = 0; i < points.size(); ++i)
        input.emplace_back(K::Point_2(points[i].x, points[i].y), i);
    Delaunay dt;
    try {
        dt.insert(input.begin(), input.end());
    } catch (const std::exception &e) {
        error_ = e.what();
        return kBoundaryFailed;
    }
    if (dt.dimension() < 2)
        return kBoundaryNone;  // all points on one line

    // Faces numbered; the edge limit from the median edge length.
    std::vector<Face> faces;
    faces.reserve(dt.number_of_faces());
    for (auto f = dt.finite_faces_begin(); f != dt.finite_faces_end(); ++f) {
        f->info() = static_cast<int32_t>(faces.size());
        faces.push_back(f);
    }
    {
        std::vector<double> edges;
        edges.reserve(dt.number_of_vertices() * 3);
        for (auto e = dt.finite_edges_begin(); e != dt.finite_edges_end(); ++e)
            edges.push_back(length2(e->first, e->second));
        auto mid = edges.begin() + edges.size() / 2;
        std::nth_element(edges.begin(), mid, edges.end());
        const double median = std::sqrt(*mid);
        const double s = std::max(1.0, double(scale) / 3.0);
        const double limit = std::max(double(scale), 1.0) * median / std::sqrt(s);
        if (!(limit > 0))
            return kBoundaryNone;
        edges.clear();
        edges.shrink_to_fit();
        if (progress && !progress->SetPosition(0.4))
            return kBoundaryFailed;

        const double limit2 = limit * limit;
        std::vector<uint8_t> removed(faces.size(), 0);
        std::vector<uint8_t> onOutline(points.size(), 0);
        auto outside = [&](const Face &f) { return dt.is_infinite(f) || removed[f->info()]; };

        // Erosion from the convex hull inwards.
        using Item = std::pair<double, std::pair<int32_t, int>>;
        std::priority_queue<Item> queue;
        for (const Face &f : faces)
            for (int i = 0; i < 3; ++i)
                if (dt.is_infinite(f->neighbor(i))) {
                    onOutline[f->vertex(Delaunay::ccw(i))->info()] = 1;
                    onOutline[f->vertex(Delaunay::cw(i))->info()] = 1;
                    const double l2 = length2(f, i);
                    if (l2 > limit2)
                        queue.push({l2, {f->info(), i}});
                }
        while (!queue.empty()) {
            const auto item = queue.top();
            queue.pop();
            const Face &f = faces[item.second.first];
            const int i = item.second.second;
            if (removed[f->info()])
                continue;
            const uint32_t apex = f->vertex(i)->info();
            if (onOutline[apex])
                continue;
            removed[f->info()] = 1;
            onOutline[apex] = 1;
            for (int j : {Delaunay::ccw(i), Delaunay::cw(i)}) {
                const Face n = f->neighbor(j);
                if (outside(n))
                    continue;
                const int k = n->index(f);
                const double l2 = length2(n, k);
                if (l2 > limit2)
                    queue.push({l2, {n->info(), k}});
            }
        }
        if (progress && !progress->SetPosition(0.7))
            return kBoundaryFailed;

        // Holes: connected runs of inner triangles with an edge over the limit.
        std::vector<int32_t> component(faces.size(), -1);
        std::vector<std::vector<int32_t>> runs;
        std::vector<double> areas;
        auto gap = [&](const Face &f) {
            return !removed[f->info()] &&
                   std::max({length2(f, 0), length2(f, 1), length2(f, 2)}) > limit2;
        };
        for (const Face &f : faces) {
            if (component[f->info()] >= 0 || !gap(f))
                continue;
            const int32_t id = static_cast<int32_t>(runs.size());
            runs.emplace_back();
            double area = 0;
            std::vector<Face> stack{f};
            component[f->info()] = id;
            while (!stack.empty()) {
                const Face g = stack.back();
                stack.pop_back();
                runs.back().push_back(g->info());
                area += std::fabs(dt.triangle(g).area());
                for (int i = 0; i < 3; ++i) {
                    const Face n = g->neighbor(i);
                    if (!dt.is_infinite(n) && component[n->info()] < 0 && gap(n)) {
                        component[n->info()] = id;
                        stack.push_back(n);
                    }
                }
            }
            areas.push_back(area);
        }
        std::vector<int32_t> order(runs.size());
        for (size_t i = 0; i < order.size(); ++i)
            order[i] = static_cast<int32_t>(i);
        std::sort(order.begin(), order.end(), [&](int32_t a, int32_t b) { return areas[a] > areas[b]; });
        for (int32_t id : order) {
            if (areas[id] < limit2)
                break;
            // Each vertex of the run must be off the outline and keep its
            // triangles outside the run in one piece (no point left alone
            // and no pinch).
            bool ok = true;
            std::vector<Delaunay::Vertex_handle> touched;
            for (int32_t fi : runs[id])
                for (int i = 0; i < 3 && ok; ++i) {
                    const auto v = faces[fi]->vertex(i);
                    if (onOutline[v->info()]) {
                        ok = false;
                        break;
                    }
                    touched.push_back(v);
                }
            for (size_t t = 0; ok && t < touched.size(); ++t) {
                int changes = 0, inRun = 0, total = 0;
                auto c = dt.incident_faces(touched[t]), done = c;
                bool prev = component[c->info()] == id && !dt.is_infinite(c);
                do {
                    ++c;
                    const bool cur = !dt.is_infinite(c) && component[c->info()] == id;
                    changes += cur != prev;
                    inRun += cur;
                    ++total;
                    prev = cur;
                } while (c != done);
                if (inRun == total || changes > 2)
                    ok = false;
            }
            if (!ok)
                continue;
            for (int32_t fi : runs[id])
                removed[fi] = 1;
            for (const auto &v : touched)
                onOutline[v->info()] = 1;
        }

        // The rings: boundary edges of the kept triangles, counter-clockwise
        // around the kept region (holes run the other way).
        std::unordered_map<uint32_t, uint32_t> next;
        for (const Face &f : faces) {
            if (removed[f->info()])
                continue;
            for (int i = 0; i < 3; ++i)
                if (outside(f->neighbor(i)))
                    next[f->vertex(Delaunay::ccw(i))->info()] = f->vertex(Delaunay::cw(i))->info();
        }
        std::vector<std::vector<uint32_t>> rings;
        while (!next.empty()) {
            const uint32_t start = next.begin()->first;
            std::vector<uint32_t> ring{start};
            uint32_t v = start;
            for (;;) {
                auto it = next.find(v);
                if (it == next.end())
                    return kBoundaryFailed;  // an open chain cannot happen on a regular region
                const uint32_t w = it->second;
                next.erase(it);
                if (w == start)
                    break;
                ring.push_back(w);
                v = w;
            }
            if (ring.size() >= 3)
                rings.push_back(std::move(ring));
        }
        auto signedArea = [&](const std::vector<uint32_t> &r) {
            double a = 0;
            for (size_t i = 0; i < r.size(); ++i) {
                const XYZ &p = points[r[i]], &q = points[r[(i + 1) % r.size()]];
                a += p.x * q.y - q.x * p.y;
            }
            return a / 2;
        };
        std::sort(rings.begin(), rings.end(),
                  [&](const auto &a, const auto &b) { return signedArea(a) > signedArea(b); });
        if (rings.empty() || signedArea(rings.front()) <= 0)
            return kBoundaryNone;
        for (const auto &r : rings) {
            for (uint32_t v : r)
                boundary.push_back(points[v]);
            boundary.push_back(points[r.front()]);
        }
    }
    if (progress && !progress->SetPosition(1.0))
        return kBoundaryFailed;
    return kBoundaryDone;
}
