// DEM throughput: our IDW and kriging on a file of ground points at 1 m
// cells, and the same grid by GDAL's gdal_grid (invdistnn, the same power,
// neighbour count and radius) for comparison.
//
//   bench_interpolation [POINTS] [FOLDER] [--no-gdal | RADIUS]
//
// The points cover a square at 10 points per square metre.

#include "DataInterpolation.h"
#include "LasIO.h"

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>

using namespace VerdantaIO;
using Clock = std::chrono::steady_clock;
static double seconds(Clock::time_point a) { return std::chrono::duration<double>(Clock::now() - a).count(); }

int main(int argc, char **argv)
{
    const uint64_t n = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 10000000ull;
    const std::filesystem::path folder =
        std::filesystem::path(argc > 2 ? argv[2] : std::filesystem::temp_directory_path().string()) / "verdanta_dem_bench";
    const bool gdal = !(argc > 3 && std::strcmp(argv[3], "--no-gdal") == 0);
    // The search radius: 300 m, what a 1 m DEM asks for (cell size x 300).
    const double radius = argc > 3 && gdal ? std::atof(argv[3]) : 300.0;
    std::filesystem::remove_all(folder);
    std::filesystem::create_directories(folder);
    const double side = std::sqrt(n / 10.0);  // 10 points per square metre
    std::setvbuf(stdout, nullptr, _IONBF, 0);
    const std::string las = (folder / "ground.las").string();
    {
        CLASIO w;
        w.header.pointDataFormat = 1;
        w.points.resize(n);
        std::mt19937 rng(11);
        std::uniform_real_distribution<double> u(0, side);
        for (auto &p : w.points) {
            p.x = u(rng);
            p.y = u(rng);
            p.z = 300 + 0.02 * p.x + 8 * std::sin(p.y / 70) * std::cos(p.x / 90);
            p.classification = 2;
        }
        if (!w.WriteLas(las))
            return 1;
        if (gdal) {
            std::ofstream csv(folder / "ground.csv");
            csv << "x,y,z\n";
            csv.setf(std::ios::fixed);
            csv.precision(2);
            for (const auto &p : w.points)
                csv << p.x << ',' << p.y << ',' << p.z << '\n';
            std::ofstream vrt(folder / "ground.vrt");
            vrt << "<OGRVRTDataSource><OGRVRTLayer name=\"ground\"><SrcDataSource>" << (folder / "ground.csv").string()
                << "</SrcDataSource><GeometryType>wkbPoint</GeometryType>"
                   "<GeometryField encoding=\"PointFromColumns\" x=\"x\" y=\"y\" z=\"z\"/></OGRVRTLayer></OGRVRTDataSource>";
        }
    }
    std::printf("%llu ground points over %g m x %g m, 1 m cells\n", (unsigned long long)n, side, side);
    C_DataInterpolation idw;
    idw.cellSizeX = idw.cellSizeY = 1.0;
    idw.flagA = true;
    idw.power = 2.0;
    auto t = Clock::now();
    if (idw.IDW({las}, (folder / "idw.tif").string(), radius, nullptr) != C_DataInterpolation::kDone)
        return 1;
    const double ours = seconds(t);
    std::printf("IDW (power 2, %d neighbours, radius %g m): %.2f s\n", idw.idwNeighbours, radius, ours);
    C_DataInterpolation kriging = idw;
    t = Clock::now();
    if (kriging.KrigingInterpolation({las}, (folder / "krig.tif").string(), radius, 150.0f, nullptr) !=
        C_DataInterpolation::kDone)
        return 1;
    std::printf("kriging (%d neighbours): %.2f s\n", kriging.krigingNeighbours, seconds(t));
    if (gdal) {
        // The same grid: cells whose centres match ours.
        char command[2048];
        std::snprintf(command, sizeof command,
                      "gdal_grid -q -a invdistnn:power=2.0:radius=%g:max_points=%d:min_points=1 "
                      "-txe -0.5 %.1f -tye %.1f -0.5 -outsize %d %d -ot Float32 -l ground %s %s",
                      radius, idw.idwNeighbours, std::floor(side) + 0.5, std::floor(side) + 0.5, int(std::floor(side)) + 1,
                      int(std::floor(side)) + 1, (folder / "ground.vrt").string().c_str(), (folder / "gdal.tif").string().c_str());
        t = Clock::now();
        const int status = std::system(command);
        const double theirs = seconds(t);
        std::printf("gdal_grid invdistnn (same power, neighbours, radius): %.2f s (exit %d); ours is %.1f x faster\n",
                    theirs, status, theirs / ours);
    }
    std::filesystem::remove_all(folder);
    return 0;
}
