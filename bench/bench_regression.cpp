// Time of a regression run dominated by its prediction map.
//
//   bench_regression [POINTS] [FOLDER]
//
// Writes a normalised stand of POINTS points (format 1, 10 points per m²,
// heights following a smooth canopy of 3 to 27 m) and 60 field plots whose
// target follows the canopy height, then runs `regress` as the command line
// does (method Enter, the default 18 variables, square plots of 10 m, so
// 20 m map cells, hold-out 30 %): once with the spatial index built on the
// way and once with it in place. The CPU time (of all threads) is printed
// beside the wall time, which other work on the machine inflates.

#include "LasIO.h"
#include "LasIndex.h"
#include "RegressionTools.h"

#include <QCoreApplication>
#include <QFile>

#include <chrono>
#include <cmath>
#include <ctime>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <random>

using namespace VerdantaIO;
using Clock = std::chrono::steady_clock;

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const uint64_t n = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 10000000ull;
    const std::filesystem::path folder =
        std::filesystem::path(argc > 2 ? argv[2] : std::filesystem::temp_directory_path().string()) /
        "verdanta_regression_bench";
    std::filesystem::remove_all(folder);
    std::filesystem::create_directories(folder);
    const std::string las = (folder / "stand.las").string();

    const double side = std::sqrt(n / 10.0);
    auto canopy = [](double x, double y) { return 15 + 12 * std::sin(x / 37) * std::cos(y / 53); };
    std::mt19937 rng(5);
    std::uniform_real_distribution<double> u(0, 1);
    PointHeader header;
    header.pointDataFormat = 1;
    header.scaleX = header.scaleY = header.scaleZ = 0.01;
    std::vector<PointCloud> chunk;
    bool started = false;
    const auto t0 = Clock::now();
    for (uint64_t k = 0; k < n; ++k) {
        PointCloud p;
        p.x = side * u(rng);
        p.y = side * u(rng);
        const int count = 1 + static_cast<int>(rng() % 3);
        p.numberOfReturns = count;
        p.returnNumber = 1 + static_cast<int>(rng() % count);
        const double top = canopy(p.x, p.y);
        p.z = p.returnNumber == count && rng() % 3 == 0 ? 0.2 * u(rng) : top * (0.5 + 0.5 * u(rng));
        p.intensity = static_cast<uint16_t>(50 + 10 * top + 100 * u(rng));
        chunk.push_back(p);
        if (chunk.size() == 1000000 || k + 1 == n) {
            if (!started) {
                std::string error;
                WriteLasFile(las, header, chunk, &error);
                started = true;
            } else {
                AppendLas(las, header, chunk);
            }
            chunk.clear();
        }
    }
    std::ofstream csv((folder / "plots.csv").string());
    csv << "ID,X,Y,Biomass\n";
    for (int i = 0; i < 60; ++i) {
        const double x = 10 + (side - 20) * u(rng), y = 10 + (side - 20) * u(rng);
        csv << i << ',' << x << ',' << y << ',' << 8 * canopy(x, y) + 10 * u(rng) << '\n';
    }
    csv.close();
    std::printf("%llu points and 60 plots written in %.1f s\n", static_cast<unsigned long long>(n),
                std::chrono::duration<double>(Clock::now() - t0).count());

    const Tool &tool = RegressionTools::linear();
    int status = 0;
    for (const char *what : {"regress, index built", "regress"}) {
        ToolRequest request;
        request.inputs << QFile::decodeName(las.c_str());
        for (const ParamSpec &p : tool.spec.params)
            request.values[p.option] = p.defaultValue;
        request.values["samples"] = QFile::decodeName((folder / "plots.csv").string().c_str());
        request.values["x-field"] = "X";
        request.values["y-field"] = "Y";
        request.values["target"] = "Biomass";
        request.values["size"] = "10";
        request.values["holdout"] = "30";
        request.output = QFile::decodeName((folder / "map.tif").string().c_str());
        if (std::string(what).find("built") != std::string::npos) {
            std::error_code ec;
            std::filesystem::remove(SpatialIndex::sidecarPath(las), ec);
            SpatialIndex::clearCache();
        }
        QStringList outputs;
        const CheckResult check = ToolChecks::prepare(tool, request, outputs);
        if (!check.ok) {
            std::fprintf(stderr, "%s\n", check.message.toLocal8Bit().constData());
            return 1;
        }
        const auto t1 = Clock::now();
        const std::clock_t c1 = std::clock();
        const ToolOutcome outcome = tool.run(request, outputs, nullptr);
        const double t = std::chrono::duration<double>(Clock::now() - t1).count();
        const double cpu = double(std::clock() - c1) / CLOCKS_PER_SEC;  // all threads
        std::printf("%-22s %6.2f s (CPU %6.2f s)  %6.2f M points/s  %s%s\n", what, t, cpu, n / t / 1e6,
                    outcome.output.join("  ").toLocal8Bit().constData(), outcome.completed ? "" : "  FAILED");
        status |= outcome.completed ? 0 : 1;
    }
    return status;
}
