// Frame time of the cloud view for about 2.5 million points, with one GL
// call per vertex and with vertex and colour arrays.
//
//   xvfb-run -a env QT_QPA_PLATFORM=xcb bench_view [POINTS] [FOLDER]

#include "GLWidget.h"
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

int main(int argc, char **argv)
{
    QApplication app(argc, argv);
    const uint64_t n = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 2499999ull;
    const std::string folder = argc > 2 ? argv[2] : std::filesystem::temp_directory_path().string();
    const std::string path = folder + "/verdanta_view_bench.las";
    {
        CLASIO w;
        w.header.pointDataFormat = 1;
        w.points.resize(n);
        std::mt19937 rng(9);
        std::uniform_real_distribution<double> u(0, 500);
        for (auto &p : w.points) {
            p.x = u(rng);
            p.y = u(rng);
            p.z = 100 + 20 * std::sin(p.x / 40) * std::cos(p.y / 30);
            p.returnNumber = 1;
        }
        if (!w.WriteLas(path))
            return 1;
    }
    ScenceControl scene;
    scene.AddLasFile(QString::fromStdString(path));
    GLWidget view(&scene);
    view.resize(1000, 700);
    view.show();
    app.processEvents();
    auto frame = [&] {
        const auto t = Clock::now();
        view.updateGL();
        view.makeCurrent();
        glFinish();
        return std::chrono::duration<double>(Clock::now() - t).count();
    };
    for (bool immediate : {true, false}) {
        scene.immediateMode = immediate;
        frame();  // builds the arrays on the first frame
        double best = 1e9, sum = 0;
        for (int i = 0; i < 5; ++i) {
            const double s = frame();
            best = std::min(best, s);
            sum += s;
        }
        std::printf("%s: %zu points, best %.3f s, mean %.3f s a frame\n",
                    immediate ? "one call per vertex" : "vertex and colour arrays", scene.lasReader->points.size(),
                    best, sum / 5);
    }
    std::filesystem::remove(path);
    return 0;
}
