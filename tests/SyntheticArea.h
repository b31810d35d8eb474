#pragma once
// A generated survey area cut into square LAS tiles, for the catalogue and
// tiled-workflow tests and the tiled-run benchmark: rolling terrain (class
// 2) with a long ridge, flat-roofed buildings wider than a tile (class 6,
// no ground under them), and trees of 3 to 9 m crown radius (classes 3 to
// 5, up to three returns per pulse), WGS 84 / UTM zone 33N. Features cross
// tile edges on purpose: a tiled run that mishandles its buffer shows.

#include "LasIO.h"

#include <ogr_spatialref.h>
#include <cpl_conv.h>

#include <cmath>
#include <random>
#include <string>
#include <vector>

namespace SyntheticArea {

constexpr double kOriginX = 455000.0, kOriginY = 5290000.0;

struct Area {
    int tilesX = 4, tilesY = 4;
    double tileSide = 40.0;    // m
    double density = 4.0;      // pulses per square metre
    unsigned seed = 7;
};

inline std::string utm33Wkt()
{
    OGRSpatialReference srs;
    srs.importFromEPSG(32633);
    char *w = nullptr;
    srs.exportToWkt(&w);
    const std::string wkt = w ? w : "";
    CPLFree(w);
    return wkt;
}

// The coordinate system as a LAS record (OGC WKT, record 2112).
inline VerdantaIO::VariableLengthRecord wktRecord(const std::string &wkt)
{
    VerdantaIO::VariableLengthRecord v;
    v.userId = "LASF_Projection";
    v.recordId = 2112;
    v.description = "OGC WKT";
    v.data.assign(wkt.begin(), wkt.end());
    v.data.push_back(0);
    return v;
}

inline double terrain(double x, double y)  // local metres
{
    return 120.0 + 0.05 * x + 0.03 * y + 6.0 * std::sin(x / 37.0) * std::cos(y / 53.0) +
           4.0 * std::exp(-std::pow((x - y * 0.6 - 20.0) / 25.0, 2));
}

struct Tree {
    double x, y, height, radius;
};
struct Building {
    double x0, y0, x1, y1, height;
};

// Writes tile_<col>_<row>.las files into `folder` and returns their paths
// (row 0 in the south).
inline std::vector<std::string> write(const std::string &folder, const Area &a)
{
    using namespace VerdantaIO;
    std::mt19937 rng(a.seed);
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    std::normal_distribution<double> normal(0.0, 1.0);
    const double w = a.tilesX * a.tileSide, h = a.tilesY * a.tileSide;
    // Buildings as wide as 1.5 tiles, trees over the rest.
    std::vector<Building> buildings;
    for (int i = 0; i < std::max(1, int(w * h / 25000.0)); ++i) {
        const double bx = unit(rng) * (w - 60) + 10, by = unit(rng) * (h - 60) + 10;
        buildings.push_back({bx, by, bx + 20 + unit(rng) * 0.5 * a.tileSide, by + 15 + unit(rng) * 20,
                             6 + unit(rng) * 8});
    }
    auto inBuilding = [&](double x, double y) -> const Building * {
        for (const Building &b : buildings)
            if (x >= b.x0 && x <= b.x1 && y >= b.y0 && y <= b.y1)
                return &b;
        return nullptr;
    };
    std::vector<Tree> trees;
    const int treeCount = int(w * h / 120.0);
    for (int i = 0; i < treeCount; ++i) {
        const double tx = unit(rng) * w, ty = unit(rng) * h;
        if (!inBuilding(tx, ty))
            trees.push_back({tx, ty, 12 + unit(rng) * 18, 3 + unit(rng) * 6});
    }
    const int cell = 10, nx = int(w / cell) + 1, ny = int(h / cell) + 1;
    std::vector<std::vector<int>> grid(size_t(nx * ny));
    for (int i = 0; i < int(trees.size()); ++i) {
        const Tree &t = trees[size_t(i)];
        for (int gx = std::max(0, int((t.x - t.radius) / cell)); gx <= std::min(nx - 1, int((t.x + t.radius) / cell)); ++gx)
            for (int gy = std::max(0, int((t.y - t.radius) / cell)); gy <= std::min(ny - 1, int((t.y + t.radius) / cell));
                 ++gy)
                grid[size_t(gy * nx + gx)].push_back(i);
    }

    PointHeader header;
    header.versionMinor = 2;
    header.pointDataFormat = 1;
    header.pointRecordLength = 28;
    header.scaleX = header.scaleY = header.scaleZ = 0.001;
    header.offsetX = kOriginX;
    header.offsetY = kOriginY;
    header.offsetZ = 0;
    header.vlrs.push_back(wktRecord(utm33Wkt()));
    header.numberOfVLRs = 1;
    // Tile by tile, so that memory holds one tile's points at a time.
    std::vector<std::string> paths;
    const long pulses = long(a.tileSide * a.tileSide * a.density);
    double gps = 1000;
    for (int row = 0; row < a.tilesY; ++row)
        for (int col = 0; col < a.tilesX; ++col) {
            std::vector<PointCloud> points;
            for (long k = 0; k < pulses; ++k) {
                const double x = (col + unit(rng)) * a.tileSide, y = (row + unit(rng)) * a.tileSide;
                const double ground = terrain(x, y);
                std::vector<std::pair<double, int>> echoes;  // height, class
                if (const Building *b = inBuilding(x, y)) {
                    echoes.push_back({ground + b->height + 0.02 * normal(rng), 6});
                } else {
                    double top = -1;
                    const Tree *hit = nullptr;
                    for (int i : grid[size_t(int(y / cell) * nx + int(x / cell))]) {
                        const Tree &t = trees[size_t(i)];
                        const double d = std::hypot(x - t.x, y - t.y);
                        if (d < t.radius) {
                            const double s = t.height * (1.0 - 0.45 * (d / t.radius) * (d / t.radius));
                            if (s > top) {
                                top = s;
                                hit = &t;
                            }
                        }
                    }
                    if (hit) {
                        echoes.push_back({ground + top - 0.2 * unit(rng), 5});
                        if (unit(rng) < 0.5)
                            echoes.push_back({ground + top * (0.3 + 0.4 * unit(rng)), 4});
                        if (unit(rng) < 0.5)
                            echoes.push_back({ground + 0.03 * normal(rng), 2});
                    } else {
                        echoes.push_back({ground + 0.03 * normal(rng), 2});
                    }
                }
                for (size_t e = 0; e < echoes.size(); ++e) {
                    PointCloud p;
                    p.x = kOriginX + std::round(x * 1000) / 1000;
                    p.y = kOriginY + std::round(y * 1000) / 1000;
                    p.z = std::round(echoes[e].first * 1000) / 1000;
                    p.gpsTime = gps;
                    p.returnNumber = uint16_t(e + 1);
                    p.numberOfReturns = uint8_t(echoes.size());
                    p.classification = uint8_t(echoes[e].second);
                    p.intensity = uint16_t(echoes[e].second == 2 ? 800 + 100 * unit(rng) : 300 + 200 * unit(rng));
                    points.push_back(p);
                }
                gps += 1e-5;
            }
            const std::string path = folder + "/tile_" + std::to_string(col) + "_" + std::to_string(row) + ".las";
            PointHeader hd = header;
            WriteLasFile(path, hd, points);
            paths.push_back(path);
        }
    return paths;
}

}  // namespace SyntheticArea
