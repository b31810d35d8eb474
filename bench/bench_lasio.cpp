// Read throughput of the LAS reader and the cost of window reads.
//
//   bench_lasio [POINTS] [FOLDER]
//
// Writes a synthetic file of POINTS points (default 10 million; format 1,
// points in scan-line order over 1 km x 1 km), then times
//   - one full read (CLASIO::LoadFile + ReadData),
//   - the points' bounds from the stored coordinates (CLASIO::PointExtent),
//     which the gridding tools pay to check a header's bounds,
//   - reading every 15 m x 15 m cell one window at a time: first with the
//     spatial index built, then with the sidecar loaded, then from memory;
//   - the same points written as LAZ (compression), read in full
//     (decompression, chunks on two threads) and by 15 m windows.

#include "LasIO.h"

#include <chrono>
#include <ctime>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <random>
#include <string>

using namespace VerdantaIO;
using Clock = std::chrono::steady_clock;

static double seconds(Clock::time_point a) { return std::chrono::duration<double>(Clock::now() - a).count(); }
// Processor time of the whole process (all threads), which a busy machine
// does not stretch as it does the wall clock.
static double cpuSeconds(std::clock_t a) { return double(std::clock() - a) / CLOCKS_PER_SEC; }

int main(int argc, char **argv)
{
    const uint64_t n = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 10000000ull;
    const std::string folder = argc > 2 ? argv[2] : std::filesystem::temp_directory_path().string();
    const std::string path = folder + "/verdanta_bench_" + std::to_string(n) + ".las";
    const std::string lazPath = folder + "/verdanta_bench_" + std::to_string(n) + ".laz";
    const double side = 1000.0;

    {
        CLASIO w;
        w.header.pointDataFormat = 1;
        w.header.scaleX = w.header.scaleY = w.header.scaleZ = 0.01;
        w.header.offsetX = 500000;
        w.header.offsetY = 5000000;
        w.points.resize(n);
        std::mt19937 rng(1);
        std::uniform_real_distribution<double> jitter(-0.2, 0.2);
        // Flight lines along Y, scan lines across X, as an airborne scanner records.
        const double spacing = std::sqrt(side * side / double(n));
        const uint64_t perLine = static_cast<uint64_t>(side / spacing);
        for (uint64_t i = 0; i < n; ++i) {
            const uint64_t line = i / perLine, k = i % perLine;
            PointCloud &p = w.points[i];
            p.x = 500000 + std::fmod((line % 2 ? perLine - k : k) * spacing + jitter(rng) + side, side);
            p.y = 5000000 + std::fmod(line * spacing + jitter(rng) + side, side);
            p.z = 100 + 10 * std::sin(p.x * 0.01) + (i % 7);
            p.gpsTime = i * 1e-5;
            p.intensity = static_cast<uint16_t>(i);
            p.returnNumber = 1;
            p.numberOfReturns = 1;
        }
        const auto t = Clock::now();
        if (!w.WriteLas(path)) {
            std::fprintf(stderr, "write failed: %s\n", w.lastError().c_str());
            return 1;
        }
        std::printf("write: %.3f s (%.1f M points/s)\n", seconds(t), n / seconds(t) / 1e6);
        const auto tz = Clock::now();
        const std::clock_t cz = std::clock();
        if (!w.WriteLas(lazPath)) {
            std::fprintf(stderr, "LAZ write failed: %s\n", w.lastError().c_str());
            return 1;
        }
        const double compress = seconds(tz), compressCpu = cpuSeconds(cz);
        std::printf("LAZ write (compression): %.3f s (%.1f M points/s; processor %.3f s, %.1f M points per "
                    "processor-second), %.3f x the LAS size\n",
                    compress, n / compress / 1e6, compressCpu, n / compressCpu / 1e6,
                    double(std::filesystem::file_size(lazPath)) / double(std::filesystem::file_size(path)));
    }
    std::filesystem::remove(SpatialIndex::sidecarPath(path));
    SpatialIndex::clearCache();

    double full = 1e9;
    for (int rep = 0; rep < 3; ++rep) {
        const auto t = Clock::now();
        CLASIO r;
        if (!r.LoadFile(path) || !r.ReadData(nullptr))
            return 1;
        full = std::min(full, seconds(t));
    }
    std::printf("full read: %.3f s (%.1f M points/s), best of 3\n", full, n / full / 1e6);
    double scan = 1e9;
    for (int rep = 0; rep < 3; ++rep) {
        CLASIO r;
        LASExtent e;
        if (!r.LoadFile(path))
            return 1;
        const auto t = Clock::now();
        if (!r.PointExtent(e))
            return 1;
        scan = std::min(scan, seconds(t));
    }
    std::printf("points' bounds: %.3f s (%.2f x one full read), best of 3\n", scan, scan / full);

    auto windows = [&](const std::string &file, const char *label) {
        const auto t = Clock::now();
        uint64_t total = 0, calls = 0;
        std::vector<PointCloud> cell;
        for (double x = 0; x < side; x += 15)
            for (double y = 0; y < side; y += 15) {
                cell.clear();
                ReadData(file, 500000 + x, 500000 + x + 15, 5000000 + y, 5000000 + y + 15, cell);
                total += cell.size();
                ++calls;
            }
        const double s = seconds(t);
        std::printf("%s 15 m windows, %s: %.3f s for %llu windows, %llu points (%.2f x one full LAS read)\n",
                    file == lazPath ? "LAZ" : "LAS", label, s, (unsigned long long)calls,
                    (unsigned long long)total, s / full);
    };
    windows(path, "index built on first use");
    SpatialIndex::clearCache();
    windows(path, "sidecar loaded");
    windows(path, "index in memory");
    std::filesystem::remove(path);
    std::filesystem::remove(SpatialIndex::sidecarPath(path));

    double unzip = 1e9, unzipCpu = 1e9;
    for (int rep = 0; rep < 3; ++rep) {
        const auto t = Clock::now();
        const std::clock_t c = std::clock();
        CLASIO r;
        if (!r.LoadFile(lazPath) || !r.ReadData(nullptr)) {
            std::fprintf(stderr, "LAZ read failed: %s\n", r.lastError().c_str());
            return 1;
        }
        unzip = std::min(unzip, seconds(t));
        unzipCpu = std::min(unzipCpu, cpuSeconds(c));
    }
    std::printf("LAZ full read (decompression, two threads): %.3f s (%.1f M points/s; processor %.3f s, %.1f M "
                "points per processor-second), best of 3\n",
                unzip, n / unzip / 1e6, unzipCpu, n / unzipCpu / 1e6);
    windows(lazPath, "index built on first use");
    windows(lazPath, "index and decoded chunks in memory");
    std::filesystem::remove(lazPath);
    std::filesystem::remove(SpatialIndex::sidecarPath(lazPath));
    return 0;
}
