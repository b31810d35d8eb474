// Loading a LAS file for display (read, thin at 2.5 million points, sort by
// height) against one full read of the same file.
//
//   QT_QPA_PLATFORM=offscreen bench_scene [POINTS] [FOLDER]

#include "LasIO.h"
#include "ScenceControl.h"

#include <QApplication>

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
    QApplication app(argc, argv);
    const uint64_t n = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 10000000ull;
    const std::string folder = argc > 2 ? argv[2] : std::filesystem::temp_directory_path().string();
    const std::string path = folder + "/verdanta_scene_bench.las";
    {
        CLASIO w;
        w.header.pointDataFormat = 3;
        w.header.scaleX = w.header.scaleY = w.header.scaleZ = 0.01;
        w.points.resize(n);
        std::mt19937 rng(5);
        std::uniform_real_distribution<double> u(0, 1000);
        for (uint64_t i = 0; i < n; ++i) {
            PointCloud &p = w.points[i];
            p.x = u(rng);
            p.y = u(rng);
            p.z = 300 + 30 * std::sin(p.x / 50) + u(rng) / 40;
            p.intensity = static_cast<uint16_t>(i);
            p.returnNumber = 1;
        }
        if (!w.WriteLas(path))
            return 1;
    }
    double full = 1e9, scene = 1e9;
    for (int rep = 0; rep < 3; ++rep) {
        auto t = Clock::now();
        CLASIO r;
        if (!r.LoadFile(path) || !r.ReadData(nullptr))
            return 1;
        full = std::min(full, seconds(t));
        t = Clock::now();
        ScenceControl s;
        s.AddLasFile(QString::fromStdString(path));
        scene = std::min(scene, seconds(t));
        if (!s.lasReader)
            return 1;
        if (rep == 0)
            std::printf("displayed %zu of %llu points (stride %llu)\n", s.lasReader->points.size(),
                        (unsigned long long)n, (unsigned long long)s.thinningStride);
    }
    std::printf("full read: %.3f s; display load: %.3f s (%.2f x one full read), best of 3\n", full, scene,
                scene / full);
    std::filesystem::remove(path);
    return 0;
}
