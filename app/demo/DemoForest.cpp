#include "DemoForest.h"

#include "LasIO.h"

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <random>

namespace DemoForest {

namespace {

constexpr double kX0 = 456000.0, kY0 = 5290000.0;  // lower-left corner, east of the demo stand
constexpr int kStands = 6;                          // per side
constexpr double kStand = 80.0, kSide = kStands * kStand;
constexpr double kPlot = 20.0;

}  // namespace

VerdantaIO::PointHeader demoHeader(uint8_t pointFormat, double offsetX, double offsetY,
                                   const std::vector<uint8_t> &geoKeys)
{
    VerdantaIO::PointHeader h;
    h.versionMajor = 1;
    h.versionMinor = 2;
    h.pointDataFormat = pointFormat;
    h.systemId = "Verdanta demo scanner";
    h.generatingSoftware = "verdanta-demo 1.0";
    h.creationDay = 152;
    h.creationYear = 2026;
    h.scaleX = h.scaleY = h.scaleZ = 0.01;
    h.offsetX = offsetX;
    h.offsetY = offsetY;
    h.offsetZ = 0;
    h.reserved = 1;  // adjusted standard GPS time
    VerdantaIO::VariableLengthRecord keys;
    keys.userId = "LASF_Projection";
    keys.recordId = 34735;
    keys.description = "GeoTIFF GeoKeyDirectoryTag";
    keys.data = geoKeys;
    h.vlrs.push_back(keys);
    return h;
}

TreeIndex::TreeIndex(const std::vector<Tree> &trees, double side)
    : trees_(trees), buckets_(static_cast<int>(side / 10) + 1), grid_(buckets_ * buckets_)
{
    for (size_t i = 0; i < trees.size(); ++i) {
        const int bx = static_cast<int>(trees[i].x / 10), by = static_cast<int>(trees[i].y / 10);
        for (int dx = -1; dx <= 1; ++dx)
            for (int dy = -1; dy <= 1; ++dy) {
                const int gx = bx + dx, gy = by + dy;
                if (gx >= 0 && gy >= 0 && gx < buckets_ && gy < buckets_)
                    grid_[gy * buckets_ + gx].push_back(static_cast<int>(i));
            }
    }
}

double TreeIndex::top(double x, double y, double ground, const Tree *&hit) const
{
    double top = std::nan("");
    hit = nullptr;
    const int bx = std::min(buckets_ - 1, static_cast<int>(x / 10)), by = std::min(buckets_ - 1, static_cast<int>(y / 10));
    for (int i : grid_[by * buckets_ + bx]) {
        const double s = trees_[i].surface(x, y, ground);
        if (!std::isnan(s) && (std::isnan(top) || s > top)) {
            top = s;
            hit = &trees_[i];
        }
    }
    return top;
}

std::vector<std::pair<double, bool>> pulseEchoes(const Tree *hit, double top, double ground, std::mt19937 &rng,
                                                 std::uniform_real_distribution<double> &unit,
                                                 std::normal_distribution<double> &normal)
{
    std::vector<std::pair<double, bool>> echoes;
    if (hit && unit(rng) < 0.93) {
        echoes.push_back({top - 0.15 * unit(rng), true});
        double depth = top;
        while (echoes.size() < 3 && unit(rng) < 0.45) {
            depth -= 1.0 + unit(rng) * (depth - ground - hit->crownBase) * 0.6;
            if (depth <= ground + hit->crownBase * 0.5)
                break;
            echoes.push_back({depth, true});
        }
        if (unit(rng) < 0.45)
            echoes.push_back({ground + 0.03 * normal(rng), false});
    } else {
        echoes.push_back({ground + 0.03 * normal(rng), false});
    }
    return echoes;
}

bool writeMosaic(const std::string &dir, const std::vector<uint8_t> &geoKeys)
{
    std::mt19937 rng(14);
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    std::normal_distribution<double> normal(0.0, 1.0);

    // Stands: density log-uniform, mean height uniform; two nearly empty.
    std::vector<Tree> trees;
    std::vector<double> biomass;
    for (int s = 0; s < kStands * kStands; ++s) {
        const double sx = (s % kStands) * kStand, sy = (s / kStands) * kStand;
        const double density = s == 7 || s == 28 ? 20.0 : 60.0 * std::pow(15.0, unit(rng));  // stems per ha
        const double meanHeight = 7.0 + 25.0 * unit(rng);
        const double coniferShare = unit(rng);
        const double spacing = 0.55 * std::sqrt(10000.0 / density);
        const size_t wanted = static_cast<size_t>(density * kStand * kStand / 10000.0);
        const size_t firstTree = trees.size();
        for (int attempt = 0; attempt < 40000 && trees.size() - firstTree < wanted; ++attempt) {
            const double x = sx + unit(rng) * kStand, y = sy + unit(rng) * kStand;
            bool free = true;
            for (size_t i = firstTree; i < trees.size() && free; ++i)
                free = std::hypot(trees[i].x - x, trees[i].y - y) >= spacing;
            if (!free)
                continue;
            Tree t;
            t.x = x;
            t.y = y;
            t.conifer = unit(rng) < coniferShare;
            t.height = std::clamp(meanHeight * (1.0 + 0.15 * normal(rng)), 3.0, 40.0);
            t.crownBase = t.height * (t.conifer ? 0.3 + 0.2 * unit(rng) : 0.45 + 0.15 * unit(rng));
            t.radius = std::max(0.8, (t.conifer ? 0.9 : 1.4) + (t.conifer ? 0.08 : 0.11) * t.height + 0.3 * normal(rng));
            trees.push_back(t);
            biomass.push_back(0.03 * std::pow(t.height, 2.7) * std::exp(0.2 * normal(rng)));
        }
    }
    const TreeIndex index(trees, kSide);

    VerdantaIO::PointHeader h = demoHeader(1, kX0, kY0, geoKeys);

    std::vector<VerdantaIO::PointCloud> points;
    const double spacing = 0.5;
    double gps = 406000.0;
    for (double y = 0; y < kSide; y += spacing, gps += 0.002) {
        for (double x0 = 0; x0 < kSide; x0 += spacing) {
            const double x = x0 + 0.1 * normal(rng), py = y + 0.1 * normal(rng);
            if (x < 0 || x >= kSide || py < 0 || py >= kSide)
                continue;
            const Tree *hit = nullptr;
            const double top = index.top(x, py, 0.0, hit);
            const std::vector<std::pair<double, bool>> echoes = pulseEchoes(hit, top, 0.0, rng, unit, normal);
            const double angle = std::atan((x - kSide / 2) / 1200.0) * 180.0 / 3.14159265358979323846;
            for (size_t e = 0; e < echoes.size(); ++e) {
                VerdantaIO::PointCloud p;
                p.x = kX0 + x;
                p.y = kY0 + py;
                p.z = echoes[e].first;
                p.gpsTime = gps + x0 * 1e-5;
                p.returnNumber = static_cast<uint16_t>(e + 1);
                p.numberOfReturns = static_cast<uint8_t>(echoes.size());
                p.scanAngle = static_cast<int16_t>(std::lround(angle / 0.006));
                p.pointSourceId = 3;
                if (!echoes[e].second) {
                    p.classification = 2;
                    p.intensity = static_cast<uint16_t>(std::clamp(820 + 90 * normal(rng), 300.0, 1500.0));
                } else {
                    p.classification = p.z < 2 ? 3 : p.z < 5 ? 4 : 5;
                    const double base = (e == 0 ? 420 : 260) + (hit->conifer ? 0 : 120);
                    p.intensity = static_cast<uint16_t>(std::clamp(base + 110 * normal(rng), 40.0, 1200.0));
                }
                points.push_back(p);
            }
        }
    }
    std::string error;
    if (!VerdantaIO::WriteLasFile(dir + "/demo_mosaic.las", h, points, &error)) {
        std::fprintf(stderr, "%s\n", error.c_str());
        return false;
    }

    // Three plots per stand, kept inside it.
    std::ofstream csv(dir + "/demo_plots.csv");
    csv << "PlotID,X,Y,AGB,Stems\n";
    csv.setf(std::ios::fixed);
    csv.precision(2);
    int id = 0;
    for (int s = 0; s < kStands * kStands; ++s) {
        const double sx = (s % kStands) * kStand, sy = (s / kStands) * kStand;
        for (int k = 0; k < 3; ++k) {
            const double cx = sx + kPlot / 2 + 2 + unit(rng) * (kStand - kPlot - 4);
            const double cy = sy + kPlot / 2 + 2 + unit(rng) * (kStand - kPlot - 4);
            double sum = 0;
            int stems = 0;
            for (size_t i = 0; i < trees.size(); ++i)
                if (std::fabs(trees[i].x - cx) <= kPlot / 2 && std::fabs(trees[i].y - cy) <= kPlot / 2) {
                    sum += biomass[i];
                    ++stems;
                }
            csv << ++id << ',' << kX0 + cx << ',' << kY0 + cy << ',' << sum / 1000.0 / (kPlot * kPlot / 10000.0) << ','
                << stems << '\n';
        }
    }
    std::printf("Wrote %zu points, %zu trees in %d stands and %d plots to %s/demo_mosaic.las, demo_plots.csv\n",
                points.size(), trees.size(), kStands * kStands, id, dir.c_str());
    return static_cast<bool>(csv);
}

}  // namespace DemoForest
