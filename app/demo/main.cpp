// verdanta-demo OUTDIR: writes a small, realistic forest stand for trying
// Verdanta out.
//   demo_stand.las  LAS 1.2 point format 3, WGS 84 / UTM zone 33N: sloped
//                   terrain with hills (class 2), conifer and broadleaf
//                   crowns of varied height (classes 3-5), up to four
//                   returns per pulse, intensity, scan angle, GPS time, RGB
//   demo_dem.tif    the true terrain at 1 m (Float32 GeoTIFF)
//   demo_trees.csv  the stem positions with height and crown diameter
//   demo_chm.tif    the true canopy height at 1 m
//   demo_stand.shp  the stand boundary with a clearing as a hole
//   demo.sml        a project listing all of them
//   demo_mosaic.las, demo_plots.csv
//                   a mosaic of stands for the regression tools (see
//                   DemoForest.h)
//
// verdanta-demo --stand OUTDIR [SEED] [STEMS_PER_HA]: a 1 ha stand with known
// trees for measuring tree detection (conifers and broadleaves, overlapping
// crowns, suppressed trees): stand.las (elevations, ground class 2),
// stand_normalised.las (heights above the true terrain), stand_trees.csv.

#include "DemoForest.h"
#include "LasIO.h"
#include "Project.h"
#include "RasterIO.h"
#include "ShpIO.h"
#include "Stand.h"

#include <ogr_spatialref.h>
#include <cpl_conv.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <string>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <random>
#include <vector>

using namespace VerdantaIO;

namespace {

constexpr double kOriginX = 455000.0, kOriginY = 5290000.0;  // lower-left corner
constexpr double kSide = 150.0;
constexpr double kPi = 3.14159265358979323846;

using DemoStand::terrain;
using DemoStand::Tree;

std::vector<uint8_t> utm33Keys()
{
    const uint16_t keys[] = {1, 1, 0, 4, 1024, 0, 1, 1, 1025, 0, 1, 1, 3072, 0, 1, 32633, 3076, 0, 1, 9001};
    std::vector<uint8_t> bytes(sizeof keys);
    std::memcpy(bytes.data(), keys, sizeof keys);
    return bytes;
}

}  // namespace

int main(int argc, char **argv)
{
    if (argc >= 3 && std::string(argv[1]) == "--stand") {
        std::error_code ec;
        std::filesystem::create_directories(argv[2], ec);
        const std::string dir = std::filesystem::absolute(argv[2]).string();
        DemoStand::Options options;
        if (argc > 3)
            options.seed = static_cast<unsigned>(std::atoi(argv[3]));
        if (argc > 4)
            options.stemsPerHectare = std::atof(argv[4]);
        const DemoStand::Stand stand = DemoStand::generate(options);
        std::string error;
        if (!DemoStand::write(stand, dir + "/stand.las", dir + "/stand_normalised.las", dir + "/stand_trees.csv", error)) {
            std::fprintf(stderr, "%s\n", error.c_str());
            return 1;
        }
        std::printf("Wrote %zu points, %zu trees to %s\n", stand.points.size(), stand.trees.size(), dir.c_str());
        return 0;
    }
    if (argc < 2) {
        std::fprintf(stderr, "Usage: verdanta-demo OUTPUT_FOLDER | --stand OUTPUT_FOLDER [SEED] [STEMS_PER_HA]\n");
        return 1;
    }
    std::error_code ec;
    std::filesystem::create_directories(argv[1], ec);
    const std::string dir = std::filesystem::absolute(argv[1]).string();
    std::mt19937 rng(2026);
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    std::normal_distribution<double> normal(0.0, 1.0);

    // Stems by dart throwing with a minimum spacing; a clearing stays empty.
    std::vector<Tree> trees;
    auto inClearing = [](double x, double y) { return std::hypot(x - 110, y - 110) < 14; };
    for (int attempt = 0; attempt < 20000 && trees.size() < 700; ++attempt) {
        const double x = 3 + unit(rng) * (kSide - 6), y = 3 + unit(rng) * (kSide - 6);
        if (inClearing(x, y))
            continue;
        bool free = true;
        for (const Tree &t : trees)
            if (std::hypot(t.x - x, t.y - y) < 3.6) {
                free = false;
                break;
            }
        if (!free)
            continue;
        Tree t;
        t.x = x;
        t.y = y;
        t.conifer = unit(rng) < 0.7;
        t.height = std::clamp(18.0 + 6.0 * normal(rng), 6.0, 34.0);
        t.crownBase = t.height * (t.conifer ? 0.3 + 0.2 * unit(rng) : 0.45 + 0.15 * unit(rng));
        t.radius = (t.conifer ? 0.9 : 1.4) + (t.conifer ? 0.08 : 0.11) * t.height + 0.3 * normal(rng);
        t.radius = std::max(1.0, t.radius);
        trees.push_back(t);
    }
    const DemoForest::TreeIndex index(trees, kSide);

    CLASIO las;
    las.header = DemoForest::demoHeader(3, kOriginX, kOriginY, utm33Keys());

    // Two flight lines along Y; the scanner sweeps across X at 0.35 m spacing.
    const double spacing = 0.35, altitude = 900.0;
    double gps = 405000.0;
    uint16_t line = 1;
    for (double y = 0; y < kSide; y += spacing, gps += 0.002) {
        const bool forward = static_cast<int>(y / spacing) % 2 == 0;
        for (int k = 0; k * spacing < kSide; ++k) {
            const double x = (forward ? k * spacing : kSide - k * spacing) + 0.08 * normal(rng);
            const double py = y + 0.08 * normal(rng);
            if (x < 0 || x >= kSide || py < 0 || py >= kSide)
                continue;
            line = x < kSide / 2 ? 1 : 2;
            const double centre = line == 1 ? kSide / 4 : 3 * kSide / 4;
            const double angle = std::atan((x - centre) / altitude) * 180.0 / kPi;
            const double ground = terrain(x, py);
            // The highest crown above the pulse.
            const Tree *hit = nullptr;
            const double top = index.top(x, py, ground, hit);
            const std::vector<std::pair<double, bool>> echoes =
                DemoForest::pulseEchoes(hit, top, ground, rng, unit, normal);
            for (size_t e = 0; e < echoes.size(); ++e) {
                PointCloud p;
                p.x = kOriginX + x;
                p.y = kOriginY + py;
                p.z = echoes[e].first;
                p.gpsTime = gps + k * 1e-5;
                p.returnNumber = static_cast<uint16_t>(e + 1);
                p.numberOfReturns = static_cast<uint8_t>(echoes.size());
                p.scanAngle = static_cast<int16_t>(std::lround(angle / 0.006));
                p.pointSourceId = line;
                if (forward)
                    p.flags |= PointFlags::ScanDirection;
                const double above = p.z - ground;
                if (!echoes[e].second) {
                    p.classification = 2;
                    p.intensity = static_cast<uint16_t>(std::clamp(820 + 90 * normal(rng), 300.0, 1500.0));
                    p.red = static_cast<uint16_t>((115 + 15 * normal(rng)) * 256);
                    p.green = static_cast<uint16_t>((95 + 12 * normal(rng)) * 256);
                    p.blue = static_cast<uint16_t>((70 + 10 * normal(rng)) * 256);
                } else {
                    p.classification = above < 2 ? 3 : above < 5 ? 4 : 5;
                    const double base = e == 0 ? 420 : 260;
                    p.intensity = static_cast<uint16_t>(std::clamp(base + 110 * normal(rng), 40.0, 1200.0));
                    const double g = hit && hit->conifer ? 110 : 150;
                    p.red = static_cast<uint16_t>(std::clamp(45 + 12 * normal(rng), 0.0, 255.0) * 256);
                    p.green = static_cast<uint16_t>(std::clamp(g + 20 * normal(rng), 0.0, 255.0) * 256);
                    p.blue = static_cast<uint16_t>(std::clamp(50 + 10 * normal(rng), 0.0, 255.0) * 256);
                }
                las.points.push_back(p);
            }
        }
    }
    const std::string lasPath = dir + "/demo_stand.las";
    if (!las.WriteLas(lasPath)) {
        std::fprintf(stderr, "%s\n", las.lastError().c_str());
        return 1;
    }

    OGRSpatialReference srs;
    srs.importFromEPSG(32633);
    char *wkt = nullptr;
    srs.exportToWkt(&wkt);
    const std::string srsWkt = wkt ? wkt : "";
    CPLFree(wkt);

    CRasterIO dem;
    const int cells = static_cast<int>(kSide);
    dem.geoTransform = {{kOriginX, 1.0, 0.0, kOriginY + kSide, 0.0, -1.0}};
    dem.spatialReference = srsWkt;
    if (!dem.Createfile(dir + "/demo_dem.tif", cells, cells, 1, 6 /* GDT_Float32 */)) {
        std::fprintf(stderr, "%s\n", dem.lastError().c_str());
        return 1;
    }
    std::vector<float> row(cells);
    for (int r = 0; r < cells; ++r) {
        for (int c = 0; c < cells; ++c)
            row[c] = static_cast<float>(terrain(c + 0.5, kSide - r - 0.5));
        dem.WriteRasterBlock(1, 0, r, cells, 1, row.data());
    }
    dem.Close();

    // The true canopy height model: the highest crown over each cell centre.
    CRasterIO chm;
    chm.geoTransform = dem.geoTransform;
    chm.spatialReference = srsWkt;
    if (!chm.Createfile(dir + "/demo_chm.tif", cells, cells, 1, 6 /* GDT_Float32 */)) {
        std::fprintf(stderr, "%s\n", chm.lastError().c_str());
        return 1;
    }
    for (int r = 0; r < cells; ++r) {
        for (int c = 0; c < cells; ++c) {
            const double x = c + 0.5, y = kSide - r - 0.5, ground = terrain(x, y);
            const Tree *hit = nullptr;
            const double surface = index.top(x, y, ground, hit);
            const double top = std::isnan(surface) ? 0.0 : std::max(0.0, surface - ground);
            row[c] = static_cast<float>(top);
        }
        chm.WriteRasterBlock(1, 0, r, cells, 1, row.data());
    }
    chm.Close();

    std::ofstream csv(dir + "/demo_trees.csv");
    csv << "TreeID,X,Y,Height,CrownDiameter\n";
    csv.setf(std::ios::fixed);
    csv.precision(2);
    for (size_t i = 0; i < trees.size(); ++i)
        csv << i + 1 << ',' << kOriginX + trees[i].x << ',' << kOriginY + trees[i].y << ',' << trees[i].height
            << ',' << 2 * trees[i].radius << '\n';
    csv.close();

    CShpIO shp;
    shp.geometryType = CShpIO::Polygons;
    shp.spatialReference = srsWkt;
    ShpFeature stand;
    ShpPart outer;
    outer.x = {kOriginX + 2, kOriginX + 2, kOriginX + kSide - 2, kOriginX + kSide - 2, kOriginX + 2};
    outer.y = {kOriginY + 2, kOriginY + kSide - 2, kOriginY + kSide - 2, kOriginY + 2, kOriginY + 2};
    ShpPart clearing;
    clearing.hole = true;
    for (int i = 0; i <= 24; ++i) {
        const double a = -2 * kPi * i / 24;  // counter-clockwise for a hole
        clearing.x.push_back(kOriginX + 110 + 14 * std::cos(a));
        clearing.y.push_back(kOriginY + 110 + 14 * std::sin(a));
    }
    stand.parts = {outer, clearing};
    shp.features.push_back(stand);
    if (!shp.WriterFile(dir + "/demo_stand.shp")) {
        std::fprintf(stderr, "%s\n", shp.lastError().c_str());
        return 1;
    }
    // The demo project lists every file.
    Project project;
    project.name = "demo";
    project.path = dir + "/demo.sml";
    project.lasLayers = {{"demo_stand", dir + "/demo_stand.las"}};
    project.rasterLayers = {{"demo_chm", dir + "/demo_chm.tif"}, {"demo_dem", dir + "/demo_dem.tif"}};
    project.vectorLayers = {{"demo_stand", dir + "/demo_stand.shp"}};
    project.tableLayers = {{"demo_trees", dir + "/demo_trees.csv"}};
    Project writer;
    if (!writer.createXml(project)) {
        std::fprintf(stderr, "%s\n", writer.lastError().c_str());
        return 1;
    }
    std::printf("Wrote %zu points, %zu trees to %s\n", las.points.size(), trees.size(), dir.c_str());
    return DemoForest::writeMosaic(dir, utm33Keys()) ? 0 : 1;
}
