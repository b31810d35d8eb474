#include "Stand.h"

#include "LasIO.h"

#include <algorithm>
#include <cmath>
#include <fstream>
#include <random>

namespace DemoStand {

double terrain(double x, double y)
{
    return 420.0 + 0.08 * x + 0.05 * y + 4.0 * std::exp(-((x - 60) * (x - 60) + (y - 95) * (y - 95)) / 800.0) -
           3.0 * std::exp(-((x - 115) * (x - 115) + (y - 40) * (y - 40)) / 600.0);
}

double Tree::surface(double px, double py, double ground) const
{
    const double r = std::hypot(px - x, py - y);
    if (r >= radius)
        return std::nan("");
    const double top = ground + height, base = ground + crownBase;
    if (conifer)
        return top - (r / radius) * (top - base);
    const double a = (top - base) / 2.0;
    return base + a + a * std::sqrt(1.0 - (r * r) / (radius * radius));
}

Stand generate(const Options &o)
{
    Stand stand;
    stand.options = o;
    std::mt19937 rng(o.seed);
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    std::normal_distribution<double> normal(0.0, 1.0);
    auto crown = [&](Tree &t) {
        t.crownBase = t.height * (t.conifer ? 0.3 + 0.2 * unit(rng) : 0.45 + 0.15 * unit(rng));
        t.radius = std::max(0.8, (t.conifer ? 0.8 + 0.07 * t.height : 1.2 + 0.09 * t.height) + 0.25 * normal(rng));
    };
    const int total = static_cast<int>(std::lround(o.stemsPerHectare * o.side * o.side / 10000.0));
    const int suppressed = static_cast<int>(std::lround(total * o.suppressedShare));
    std::vector<Tree> &trees = stand.trees;
    // Canopy trees: two stems stand at least 3/4 of the sum of their crown
    // radii apart, so neighbouring crowns overlap by up to a quarter.
    for (int attempt = 0; attempt < 200000 && int(trees.size()) < total - suppressed; ++attempt) {
        Tree t;
        t.x = 1 + unit(rng) * (o.side - 2);
        t.y = 1 + unit(rng) * (o.side - 2);
        t.conifer = unit(rng) < o.coniferShare;
        t.height = std::clamp(20.0 + 4.5 * normal(rng), 8.0, 36.0);
        crown(t);
        bool free = true;
        for (const Tree &u : trees)
            if (std::hypot(u.x - t.x, u.y - t.y) < 0.75 * (u.radius + t.radius)) {
                free = false;
                break;
            }
        if (free)
            trees.push_back(t);
    }
    // Suppressed trees: half to two thirds the height of a canopy tree, their
    // crowns partly under its crown.
    const size_t canopy = trees.size();
    for (int s = 0; s < suppressed && canopy > 0; ++s) {
        const Tree &big = trees[static_cast<size_t>(unit(rng) * canopy) % canopy];
        Tree t;
        t.conifer = unit(rng) < o.coniferShare;
        t.height = big.height * (0.5 + 0.17 * unit(rng));
        crown(t);
        const double a = 2 * M_PI * unit(rng), d = big.radius * (0.7 + 0.3 * unit(rng)) + 0.5 * t.radius;
        t.x = std::clamp(big.x + d * std::cos(a), 1.0, o.side - 1);
        t.y = std::clamp(big.y + d * std::sin(a), 1.0, o.side - 1);
        t.suppressed = true;
        trees.push_back(t);
    }

    // Trees by 5 m bucket (each listed in every bucket its crown may reach).
    const double bucket = 5.0;
    const int nb = static_cast<int>(std::ceil(o.side / bucket));
    std::vector<std::vector<int>> grid(size_t(nb) * nb);
    for (size_t i = 0; i < trees.size(); ++i) {
        const Tree &t = trees[i];
        const int c0 = std::max(0, int((t.x - t.radius) / bucket)), c1 = std::min(nb - 1, int((t.x + t.radius) / bucket));
        const int r0 = std::max(0, int((t.y - t.radius) / bucket)), r1 = std::min(nb - 1, int((t.y + t.radius) / bucket));
        for (int r = r0; r <= r1; ++r)
            for (int c = c0; c <= c1; ++c)
                grid[size_t(r) * nb + c].push_back(static_cast<int>(i));
    }
    std::vector<std::pair<double, const Tree *>> hits;
    double gps = 100000.0;
    for (double y = 0; o.pulseSpacing > 0 && y < o.side; y += o.pulseSpacing) {
        for (double x = 0; x < o.side; x += o.pulseSpacing, gps += 1e-5) {
            const double px = x + 0.3 * o.pulseSpacing * normal(rng), py = y + 0.3 * o.pulseSpacing * normal(rng);
            if (px < 0 || px >= o.side || py < 0 || py >= o.side)
                continue;
            const double ground = terrain(px, py);
            hits.clear();
            for (int i : grid[size_t(std::min(nb - 1, int(py / bucket))) * nb + std::min(nb - 1, int(px / bucket))]) {
                const double sfc = trees[i].surface(px, py, ground);
                if (!std::isnan(sfc))
                    hits.push_back({sfc, &trees[i]});
            }
            std::sort(hits.begin(), hits.end(), [](const auto &a, const auto &b) { return a.first > b.first; });
            // Echoes: the first crown's surface (or a little inside it), then
            // further echoes inside it or from the crowns below, then ground.
            std::vector<std::pair<double, bool>> echoes;
            for (size_t h = 0; h < hits.size() && echoes.size() < 3; ++h) {
                const Tree &t = *hits[h].second;
                const double top = hits[h].first, base = ground + t.crownBase;
                if (h > 0 && unit(rng) > 0.55)
                    break;  // the pulse is spent in the crowns above
                if (top <= base)
                    continue;
                echoes.push_back({top - 0.25 * unit(rng), true});
                if (echoes.size() < 3 && unit(rng) < 0.4)
                    echoes.push_back({base + (top - base) * unit(rng) * 0.8, true});
            }
            if (echoes.empty() || unit(rng) < 0.35)
                echoes.push_back({ground + 0.03 * normal(rng), false});
            for (size_t e = 0; e < echoes.size(); ++e) {
                VerdantaIO::PointCloud p;
                p.x = o.originX + px;
                p.y = o.originY + py;
                p.z = echoes[e].first;
                p.gpsTime = gps;
                p.returnNumber = static_cast<uint16_t>(e + 1);
                p.numberOfReturns = static_cast<uint8_t>(echoes.size());
                const double above = p.z - ground;
                p.classification = !echoes[e].second ? 2 : above < 2 ? 3 : above < 5 ? 4 : 5;
                p.intensity = static_cast<uint16_t>(std::clamp((echoes[e].second ? 300 : 800) + 80 * normal(rng), 20.0, 2000.0));
                stand.points.push_back(p);
            }
        }
    }
    return stand;
}

bool write(const Stand &stand, const std::string &rawPath, const std::string &normalisedPath,
           const std::string &treesPath, std::string &error)
{
    VerdantaIO::PointHeader h;
    h.versionMajor = 1;
    h.versionMinor = 2;
    h.pointDataFormat = 1;
    h.pointRecordLength = 28;
    h.generatingSoftware = "verdanta-demo stand";
    h.scaleX = h.scaleY = h.scaleZ = 0.01;
    h.offsetX = stand.options.originX;
    h.offsetY = stand.options.originY;
    if (!rawPath.empty()) {
        VerdantaIO::PointHeader raw = h;
        if (!VerdantaIO::WriteLasFile(rawPath, raw, stand.points, &error))
            return false;
    }
    if (!normalisedPath.empty()) {
        std::vector<VerdantaIO::PointCloud> points = stand.points;
        for (VerdantaIO::PointCloud &p : points)
            p.z = std::max(0.0, p.z - terrain(p.x - stand.options.originX, p.y - stand.options.originY));
        VerdantaIO::PointHeader norm = h;
        if (!VerdantaIO::WriteLasFile(normalisedPath, norm, points, &error))
            return false;
    }
    if (!treesPath.empty()) {
        std::ofstream csv(treesPath);
        csv << "X,Y,Height,CrownRadius,Suppressed\n";
        csv.setf(std::ios::fixed);
        csv.precision(2);
        for (const Tree &t : stand.trees)
            csv << stand.options.originX + t.x << ',' << stand.options.originY + t.y << ',' << t.height << ','
                << t.radius << ',' << (t.suppressed ? 1 : 0) << '\n';
        if (!csv) {
            error = treesPath + " could not be written";
            return false;
        }
    }
    return true;
}

Score score(const Stand &stand, const std::vector<std::pair<double, double>> &detected)
{
    Score s;
    s.trees = static_cast<int>(stand.trees.size());
    s.detected = static_cast<int>(detected.size());
    struct Pair {
        double d;
        int tree, top;
    };
    std::vector<Pair> pairs;
    for (int i = 0; i < s.trees; ++i) {
        const Tree &t = stand.trees[i];
        const double reach = std::max(1.5, 0.6 * t.radius);
        const double x = stand.options.originX + t.x, y = stand.options.originY + t.y;
        for (int j = 0; j < s.detected; ++j) {
            const double d = std::hypot(detected[j].first - x, detected[j].second - y);
            if (d <= reach)
                pairs.push_back({d, i, j});
        }
    }
    std::sort(pairs.begin(), pairs.end(), [](const Pair &a, const Pair &b) { return a.d < b.d; });
    std::vector<char> treeUsed(s.trees, 0), topUsed(s.detected, 0);
    for (const Pair &p : pairs)
        if (!treeUsed[p.tree] && !topUsed[p.top]) {
            treeUsed[p.tree] = topUsed[p.top] = 1;
            ++s.matched;
        }
    return s;
}

}  // namespace DemoStand
