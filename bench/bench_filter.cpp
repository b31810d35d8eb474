// The ground filter: throughput on a large generated forest, and accuracy
// on labelled reference files.
//
//   bench_filter [POINTS] [FOLDER]
//       Writes a forest of POINTS points (default 10 million, 10 points per
//       m², hilly terrain with slopes up to about 30 degrees, 40 % ground
//       returns, the rest in tree crowns 2 to 30 m up, a few low-noise
//       points) in 1-million-point appends, then runs the "ground" tool on it
//       as verdanta-cli does, twice, and prints points per second (wall
//       clock and CPU time) and the share of ground returns it kept.
//   bench_filter --score FILE.las... [--params GRID ANGLE DISTANCE]
//       Runs the tool on each file labelled 2 = ground, anything else =
//       object and prints type I (ground taken as object), type II (object
//       taken as ground) and total errors in percent, and with several files
//       the mean total error.

#include "GroundFilterTool.h"
#include "LasIO.h"

#include <QCoreApplication>
#include <QDir>
#include <QTemporaryDir>
#include <QFile>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <map>
#include <random>
#include <string>
#include <tuple>

using namespace VerdantaIO;
using Clock = std::chrono::steady_clock;

namespace {

double seconds(Clock::time_point a) { return std::chrono::duration<double>(Clock::now() - a).count(); }
// CPU seconds of the process so far (all threads).
double cpuSeconds() { return double(std::clock()) / CLOCKS_PER_SEC; }

double terrain(double x, double y)
{
    return 200.0 + 60.0 * std::sin(x / 160.0) * std::cos(y / 210.0) + 0.05 * x;
}

bool runTool(const QString &in, const QString &out, const QString &grid, const QString &angle, const QString &dist)
{
    ToolRequest req;
    req.inputs << in;
    req.values["grid-size"] = grid;
    req.values["tin-angle"] = angle;
    req.values["tin-distance"] = dist;
    req.output = out;
    const ToolOutcome o = GroundFilterTool::ground().run(req, {out}, nullptr);
    for (const QString &w : o.warnings)
        std::fprintf(stderr, "%s\n", qPrintable(w));
    return o.completed;
}

using Key = std::tuple<double, double, double>;

// The total error in percent, or a negative number when the file cannot be
// scored.
double score(const QString &in, const QString &grid, const QString &angle, const QString &dist)
{
    // A folder of its own, so that scoring runs side by side do not share
    // an output file.
    QTemporaryDir scratch;
    const QString out = scratch.filePath("score.las");
    if (!runTool(in, out, grid, angle, dist))
        return -1;
    CLASIO a, b;
    if (!a.LoadFile(QFile::encodeName(in).toStdString()) || !a.ReadData(nullptr) ||
        !b.LoadFile(QFile::encodeName(out).toStdString()) || !b.ReadData(nullptr))
        return -1;
    std::multimap<Key, int> truth;
    for (const PointCloud &p : a.points)
        truth.emplace(Key(p.x, p.y, p.z), p.classification);
    long groundAsObject = 0, objectAsGround = 0, ground = 0, object = 0, unmatched = 0;
    for (const PointCloud &p : b.points) {
        auto it = truth.find(Key(p.x, p.y, p.z));
        if (it == truth.end()) {
            ++unmatched;
            continue;
        }
        const bool g = it->second == 2, took = p.classification == 2;
        truth.erase(it);
        (g ? ground : object) += 1;
        if (g && !took)
            ++groundAsObject;
        if (!g && took)
            ++objectAsGround;
    }
    std::printf("%s: %zu points in, %zu out, %ld unmatched\n", qPrintable(in), a.points.size(), b.points.size(),
                unmatched);
    std::printf("type I %.2f %%  type II %.2f %%  total %.2f %%\n", 100.0 * groundAsObject / std::max(1L, ground),
                100.0 * objectAsGround / std::max(1L, object),
                100.0 * (groundAsObject + objectAsGround) / std::max(1L, ground + object));
    QFile::remove(out);
    return 100.0 * (groundAsObject + objectAsGround) / std::max(1L, ground + object);
}

}  // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    if (argc >= 3 && std::string(argv[1]) == "--score") {
        QStringList files, params = {"20.0", "12.0", "1.0"};
        for (int k = 2; k < argc; ++k) {
            if (std::string(argv[k]) == "--params" && k + 3 < argc) {
                params = QStringList{argv[k + 1], argv[k + 2], argv[k + 3]};
                k += 3;
            } else {
                files << argv[k];
            }
        }
        double sum = 0;
        for (const QString &file : files) {
            const double total = score(file, params[0], params[1], params[2]);
            if (total < 0)
                return 1;
            sum += total;
        }
        if (files.size() > 1)
            std::printf("mean total error of %d files: %.2f %%\n", int(files.size()), sum / files.size());
        return 0;
    }

    const long count = argc > 1 ? std::atol(argv[1]) : 10000000L;
    const std::string folder = argc > 2 ? argv[2] : std::filesystem::temp_directory_path().string();
    const std::string path = folder + "/bench_filter_forest.las";
    const std::string outPath = folder + "/bench_filter_forest_Filter.las";
    std::remove(SpatialIndex::sidecarPath(path).c_str());

    // Scan lines 0.3 m apart, south to north, points 0.33 m apart.
    const double side = std::sqrt(count / 10.0);
    const long perLine = long(side / 0.3162) + 1;
    PointHeader h;
    h.versionMinor = 2;
    h.pointDataFormat = 1;
    h.pointRecordLength = 28;
    h.scaleX = h.scaleY = h.scaleZ = 0.01;
    h.offsetX = 500000;
    h.offsetY = 5000000;
    if (!WriteLasFile(path, h, {}))
        return 1;
    std::mt19937 rng(7);
    std::uniform_real_distribution<double> u(0.0, 1.0);
    std::vector<PointCloud> chunk;
    long written = 0, groundTruth = 0;
    const auto t0 = Clock::now();
    while (written < count) {
        chunk.clear();
        for (; written < count && chunk.size() < 1000000; ++written) {
            const long line = written / perLine, k = written % perLine;
            PointCloud p;
            p.x = 500000 + k * 0.3162 + 0.1 * u(rng);
            p.y = 5000000 + line * 0.3162 + 0.1 * u(rng);
            const double g = terrain(p.x - 500000, p.y - 5000000);
            const double r = u(rng);
            if (r < 0.4) {
                p.z = g + 0.05 * (u(rng) - 0.5);
                p.classification = 2;
                ++groundTruth;
            } else if (r < 0.4005) {
                p.z = g - 5 - 10 * u(rng);
                p.classification = 7;
            } else {
                p.z = g + 2 + 28 * u(rng) * u(rng);
                p.classification = 5;
            }
            p.returnNumber = 1;
            p.numberOfReturns = 1;
            chunk.push_back(p);
        }
        if (!AppendLas(path, h, chunk))
            return 1;
    }
    std::printf("wrote %ld points (%.0f x %.0f m) in %.1f s\n", count, side, side, seconds(t0));

    for (int round = 0; round < 2; ++round) {
        const auto t = Clock::now();
        const double c0 = cpuSeconds();
        if (!runTool(QString::fromStdString(path), QString::fromStdString(outPath), "20.0", "12.0", "1.0"))
            return 1;
        const double s = seconds(t), cpu = cpuSeconds() - c0;
        CLASIO out;
        long kept = 0, wrong = 0, total = 0;
        if (round == 1 && out.LoadFile(outPath) && out.ReadData(nullptr)) {
            for (const PointCloud &p : out.points) {
                ++total;
                if (p.classification == 2) {
                    const double g = terrain(p.x - 500000, p.y - 5000000);
                    (std::fabs(p.z - g) < 0.2 ? kept : wrong) += 1;
                }
            }
            std::printf("output %ld points; ground kept %.1f %% of true ground, %ld non-ground taken\n", total,
                        100.0 * kept / std::max(1L, groundTruth), wrong);
        }
        std::printf("%s: %.2f s, %.2f M points/s (CPU %.2f s, %.2f M points/s per CPU second)\n",
                    round == 0 ? "first run" : "second run", s, count / s / 1e6, cpu, count / cpu / 1e6);
    }
    std::remove(path.c_str());
    std::remove(outPath.c_str());
    std::remove(SpatialIndex::sidecarPath(path).c_str());
    return 0;
}
