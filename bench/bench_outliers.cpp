// Throughput of outlier removal in points per second.
//
//   bench_outliers [POINTS] [FOLDER] [--keep]
//
// A forest of POINTS points (default 10 million) over 1 km x 1 km of rolling
// terrain with a 20 % slope: about 40 % ground points and crowns 10-35 m high,
// plus one outlier in ten thousand (high and low). The points are written in
// random order, not in acquisition order: the worst case for reading blocks,
// since every block's points are spread over the whole file. The file is
// cleaned with the outlier removal tool, block by block as the dialog does
// it, and the wall-clock and CPU time of that run are printed. With --keep
// the input and the cleaned file stay in FOLDER/verdanta_outliers_bench, to
// compare with another build's output.

#include "LasIO.h"
#include "OutlierTool.h"

#include <chrono>
#include <cmath>
#include <ctime>
#include <cstdio>
#include <filesystem>
#include <random>
#include <string>

#include <QString>
#include <QStringList>

using namespace VerdantaIO;
using Clock = std::chrono::steady_clock;
static double seconds(Clock::time_point a) { return std::chrono::duration<double>(Clock::now() - a).count(); }
// CPU seconds of the process so far (all threads).
static double cpuSeconds() { return double(std::clock()) / CLOCKS_PER_SEC; }

int main(int argc, char **argv)
{
    const uint64_t n = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 10000000ull;
    const std::filesystem::path folder =
        std::filesystem::path(argc > 2 ? argv[2] : std::filesystem::temp_directory_path().string()) / "verdanta_outliers_bench";
    const bool keep = argc > 3 && std::string(argv[3]) == "--keep";
    std::filesystem::remove_all(folder);
    std::filesystem::create_directories(folder);
    auto terrain = [](double x, double y) { return 300 + 0.2 * x + 8 * std::sin(y / 60) + 4 * std::cos(x / 45); };
    std::mt19937 rng(3);
    std::uniform_real_distribution<double> u(0, 1);
    const std::string input = (folder / "forest.las").string();
    {
        CLASIO w;
        w.header.pointDataFormat = 1;
        w.points.reserve(n);
        // Trees on a jittered 8 m lattice, each a cone of points.
        while (w.points.size() < n) {
            PointCloud p;
            p.returnNumber = 1;
            p.numberOfReturns = 1;
            const double r = u(rng);
            if (r < 0.4) {
                p.x = 1000 * u(rng), p.y = 1000 * u(rng);
                p.z = terrain(p.x, p.y);
                p.classification = 2;
            } else if (r < 0.9999) {
                const double tx = std::floor(1000 * u(rng) / 8) * 8 + 4, ty = std::floor(1000 * u(rng) / 8) * 8 + 4;
                const double h = 10 + 25 * std::fmod(std::abs(std::sin(tx * 12.9898 + ty * 78.233)) * 43758.5, 1.0);
                const double t = std::sqrt(u(rng)), a = 2 * M_PI * u(rng), rad = 3.5 * t;
                p.x = tx + rad * std::cos(a), p.y = ty + rad * std::sin(a);
                p.z = terrain(tx, ty) + h - t * 0.6 * h;
                p.classification = 5;
            } else {
                p.x = 1000 * u(rng), p.y = 1000 * u(rng);
                p.z = terrain(p.x, p.y) + (u(rng) < 0.5 ? 60 + 200 * u(rng) : -(2 + 20 * u(rng)));
                p.classification = 7;
            }
            p.x = std::round(p.x * 100) / 100, p.y = std::round(p.y * 100) / 100, p.z = std::round(p.z * 100) / 100;
            w.points.push_back(p);
        }
        if (!w.WriteLas(input))
            return 1;
    }
    const std::string output = (folder / "forest_clean.las").string();
    ToolRequest request;
    request.inputs = QStringList{QString::fromStdString(input)};
    CProcessNull progress;
    const auto t0 = Clock::now();
    const double c0 = cpuSeconds();
    const ToolOutcome outcome = OutlierTool::outliers().run(request, {QString::fromStdString(output)}, &progress);
    const double t = seconds(t0), cpu = cpuSeconds() - c0;
    if (!outcome.completed)
        return 1;
    CLASIO out;
    if (!out.LoadFile(output))
        return 1;
    std::printf("outliers: %llu points in %.2f s = %.2f M points/s (CPU %.2f s = %.2f M points/s per CPU "
                "second); %llu points removed\n",
                (unsigned long long)n, t, n / t / 1e6, cpu, n / cpu / 1e6,
                (unsigned long long)(n - out.header.numberOfPointRecords));
    if (!keep)
        std::filesystem::remove_all(folder);
    return 0;
}
