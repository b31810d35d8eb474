// Throughput of merge, tile and height normalisation in points per second.
//
//   bench_datamanagement [POINTS] [FOLDER]
//
// Two files of POINTS / 2 points each (format 3, 1 km x 1 km side by side)
// are merged, the result is cut into 250 m tiles, and the merged file is
// normalised against a 1 m DEM; the merged file is rasterised (Z, 1 m) and a
// CHM is made of two such grids.

#include "DataManagement.h"
#include "LasIO.h"
#include "RasterIO.h"

#include <chrono>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <random>

using namespace VerdantaIO;
using Clock = std::chrono::steady_clock;
static double seconds(Clock::time_point a) { return std::chrono::duration<double>(Clock::now() - a).count(); }

int main(int argc, char **argv)
{
    const uint64_t n = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 10000000ull;
    const std::filesystem::path folder = std::filesystem::path(argc > 2 ? argv[2] : std::filesystem::temp_directory_path().string()) / "verdanta_dm_bench";
    std::filesystem::remove_all(folder);
    std::filesystem::create_directories(folder);
    auto terrain = [](double x, double y) { return 300 + 0.02 * x + 5 * std::sin(y / 80); };
    std::mt19937 rng(3);
    std::uniform_real_distribution<double> u(0, 1000), h(0, 30);
    std::vector<std::string> inputs;
    for (int f = 0; f < 2; ++f) {
        CLASIO w;
        w.header.pointDataFormat = 3;
        w.points.resize(n / 2);
        for (auto &p : w.points) {
            p.x = f * 1000 + u(rng);
            p.y = u(rng);
            p.z = terrain(p.x, p.y) + h(rng);
            p.returnNumber = 1;
        }
        inputs.push_back((folder / ("in" + std::to_string(f) + ".las")).string());
        if (!w.WriteLas(inputs.back()))
            return 1;
    }
    {
        CRasterIO dem;
        dem.geoTransform = {{0, 1, 0, 1000, 0, -1}};
        if (!dem.Createfile((folder / "dem.tif").string(), 2000, 1000, 1, 6))
            return 1;
        std::vector<float> row(2000);
        for (int r = 0; r < 1000; ++r) {
            for (int c = 0; c < 2000; ++c)
                row[c] = static_cast<float>(terrain(c + 0.5, 1000 - r - 0.5));
            dem.WriteRasterBlock(1, 0, r, 2000, 1, row.data());
        }
    }
    C_DataManagement dm;
    const std::string merged = (folder / "merged.las").string();
    auto t = Clock::now();
    if (dm.LasMerge(inputs, merged, nullptr) != C_DataManagement::kMergeDone)
        return 1;
    const double merge = seconds(t);
    t = Clock::now();
    std::vector<std::string> tiles;
    if (!dm.LasTile(merged, (folder / "tiles").string(), 250, 250, nullptr, tiles))
        return 1;
    const double tile = seconds(t);
    t = Clock::now();
    if (dm.LasheighNormalization(merged, (folder / "dem.tif").string(), (folder / "norm.las").string(), nullptr) !=
        C_DataManagement::kNormDone)
        return 1;
    const double norm = seconds(t);
    t = Clock::now();
    std::vector<std::string> one{merged};
    if (dm.LasRastersize(true, one, (folder / "z.tif").string(), 1.0, 1.0, C_DataManagement::Z, nullptr) !=
        C_DataManagement::kRasterDone)
        return 1;
    const double rasterise = seconds(t);
    // CHM of two 1 m grids of the 2 km x 1 km extent (the DEM against itself raised).
    t = Clock::now();
    std::vector<std::string> dsm{(folder / "z.tif").string()};
    if (dm.MakeCHM((folder / "z.tif").string(), dsm, (folder / "chm.tif").string(), nullptr) != C_DataManagement::kChmDone)
        return 1;
    const double chm = seconds(t);
    std::printf("%llu points\n", (unsigned long long)n);
    std::printf("merge:         %.2f s  (%.1f M points/s)\n", merge, n / merge / 1e6);
    std::printf("tile (%zu):    %.2f s  (%.1f M points/s)\n", tiles.size(), tile, n / tile / 1e6);
    std::printf("normalisation: %.2f s  (%.1f M points/s)\n", norm, n / norm / 1e6);
    std::printf("LAS to raster (Z, 1 m): %.2f s  (%.1f M points/s)\n", rasterise, n / rasterise / 1e6);
    std::printf("CHM (2001 x 1001 cells): %.2f s  (%.1f M cells/s)\n", chm, 2001.0 * 1001 / chm / 1e6);
    std::filesystem::remove_all(folder);
    return 0;
}
