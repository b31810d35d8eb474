// Throughput of extraction, clipping, export and the boundary polygon.
//
//   bench_clip [POINTS] [FOLDER] [--only WORD] [--memory] [--text] [--reuse]
//
// One file of POINTS points (default 10 million; format 1, 28-byte records)
// over an L-shaped 1 km x 1 km site with a 200 m x 200 m gap: classes 1 to 6,
// one to three returns. Each run goes through the tool's declaration, as
// verdanta-cli runs it, from the file on disk to the file written; the
// figures are input points per second. The last runs read the same points
// from a LAZ file. --only runs the runs whose name holds WORD; --text adds
// the text export. --memory runs each one in a child process of its own and
// prints its peak resident memory (ru_maxrss) beside an idle child's, to show
// that the streaming tools stay flat whatever the size of the file. The
// runs through the spatial index and the boundary read a mapping of the
// file, and the pages they touch count as resident too (mostly the system's
// file cache rather than memory of the process's own).
// --reuse keeps the generated file for the next run with --reuse, so that
// back-to-back comparisons read the same file, settled in the page cache.

#include "ClipTools.h"
#include "ConvertTools.h"
#include "ExtractTools.h"
#include "LasStream.h"
#include "ShpIO.h"

#include <chrono>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <random>
#include <cstring>
#include <ctime>
#include <string>

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QString>
#include <QStringList>

using namespace VerdantaIO;
using Clock = std::chrono::steady_clock;
static double seconds(Clock::time_point a) { return std::chrono::duration<double>(Clock::now() - a).count(); }
// CPU time of the process (user + system): on a machine shared with other
// work, the wall time overstates what a run costs; both are printed.
static double cpuSeconds()
{
    timespec t;
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return t.tv_sec + t.tv_nsec * 1e-9;
}
// The system part of it: the kernel's copies of the bytes read and written.
static double systemSeconds()
{
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return u.ru_stime.tv_sec + u.ru_stime.tv_usec * 1e-6;
}

// Runs fn in a child process and returns the child's peak resident memory
// in MB (-1 when it could not be measured).
template <class Fn> static double peakResidentMB(const Fn &fn)
{
    std::fflush(stdout);
    const pid_t child = fork();
    if (child == 0) {
        fn();
        std::fflush(stdout);
        _exit(0);
    }
    int status = 0;
    rusage usage{};
    if (child < 0 || wait4(child, &status, 0, &usage) != child)
        return -1;
    return usage.ru_maxrss / 1024.0;  // kB on Linux
}

int main(int argc, char **argv)
{
    std::vector<std::string> positional;
    std::string only;
    bool memory = false, text = false, reuse = false;
    for (int a = 1; a < argc; ++a) {
        if (!std::strcmp(argv[a], "--only") && a + 1 < argc)
            only = argv[++a];
        else if (!std::strcmp(argv[a], "--memory"))
            memory = true;
        else if (!std::strcmp(argv[a], "--text"))
            text = true;
        else if (!std::strcmp(argv[a], "--reuse"))
            reuse = true;
        else
            positional.push_back(argv[a]);
    }
    const uint64_t n = positional.size() > 0 ? std::strtoull(positional[0].c_str(), nullptr, 10) : 10000000ull;
    const std::filesystem::path folder =
        std::filesystem::path(positional.size() > 1 ? positional[1] : std::filesystem::temp_directory_path().string()) /
        "verdanta_clip_bench";
    auto wanted = [&](const char *what) { return only.empty() || std::strstr(what, only.c_str()); };
    const QString input = QString::fromStdString((folder / "site.las").string());
    bool generate = true;
    if (reuse) {
        LasRecordReader previous;
        generate = !(previous.open(input.toStdString()) && previous.count() == n);
    }
    if (generate) {
        std::filesystem::remove_all(folder);
        std::filesystem::create_directories(folder);
        PointHeader h;
        h.pointDataFormat = 1;
        h.pointRecordLength = 28;
        h.scaleX = h.scaleY = h.scaleZ = 0.01;
        h.offsetX = 500000;
        h.offsetY = 5000000;
        LasRecordWriter w;
        if (!w.create(input.toStdString(), h))
            return 1;
        std::mt19937 rng(7);
        std::uniform_real_distribution<double> u(0, 1000), hz(0, 30);
        std::uniform_int_distribution<int> cls(1, 6), rets(1, 3);
        PointCloud p;
        for (uint64_t i = 0; i < n;) {
            p.x = 500000 + u(rng);
            p.y = 5000000 + u(rng);
            // L shape: the north-east quarter is empty, and a gap in the middle.
            if ((p.x > 500500 && p.y > 5000500) ||
                (p.x > 500150 && p.x < 500350 && p.y > 5000150 && p.y < 5000350))
                continue;
            p.z = 300 + 0.02 * (p.x - 500000) + hz(rng);
            p.classification = static_cast<uint8_t>(cls(rng));
            p.numberOfReturns = static_cast<uint8_t>(rets(rng));
            p.returnNumber = static_cast<uint16_t>(1 + i % p.numberOfReturns);
            p.intensity = static_cast<uint16_t>(i % 400);
            p.gpsTime = i * 1e-5;
            if (!w.addPoint(p))
                return 1;
            ++i;
        }
        if (!w.close())
            return 1;
    }
    auto out = [&](const char *name) { return QString::fromStdString((folder / name).string()); };
    QString source = input;  // the file the runs read
    if (memory) {
        const double idle = peakResidentMB([] {});
        std::printf("%-30s peak resident %7.1f MB\n", "(idle child)", idle);
    }
    auto run = [&](const char *what, const Tool &tool, ToolRequest request, const QString &output) {
        if (!wanted(what))
            return;
        request.inputs = QStringList{source};
        request.output = output;
        QStringList outputs;
        const CheckResult c = ToolChecks::prepare(tool, request, outputs);
        if (!c.ok) {
            std::printf("%s: %s\n", what, c.message.toLocal8Bit().constData());
            return;
        }
        auto once = [&] {
            const auto t = Clock::now();
            const double c0 = cpuSeconds(), s0 = systemSeconds();
            const ToolOutcome o = tool.run(request, outputs, nullptr);
            const double s = seconds(t), cpu = cpuSeconds() - c0, sys = systemSeconds() - s0;
            std::printf("%-30s wall %6.3f s %6.1f M/s   cpu %6.3f s %6.1f M/s (sys %5.3f s)  %s", what, s, n / s / 1e6,
                        cpu, n / cpu / 1e6, sys, o.completed ? "" : o.warnings.join(" ").toLocal8Bit().constData());
        };
        if (memory)
            std::printf("  peak resident %7.1f MB\n", peakResidentMB(once));
        else {
            once();
            std::printf("\n");
        }
    };
    ToolRequest r;
    r.values["classes"] = "2";
    run("extract-class --classes 2", ExtractTools::byClass(), r, out("class.las"));
    r.values.clear();
    r.values["min"] = "310";
    r.values["max"] = "320";
    run("extract-elevation 310..320", ExtractTools::byElevation(), r, out("elev.las"));
    r.values.clear();
    r.values["return"] = "First Return";
    run("extract-return first", ExtractTools::byReturn(), r, out("first.las"));
    r.values.clear();
    r.values["rect"] = "5000750,5000250,500250,500750";
    run("clip-rect (25 % of the site)", ClipTools::rectangle(), r, out("rect.las"));
    r.values.clear();
    r.values["circle"] = "500300,5000300,100;500700,5000200,150";
    run("clip-circle (2 circles)", ClipTools::circle(), r, out("circle.las"));
    {
        // 100 plots of 15 m radius: read through the spatial index, which
        // the first run builds.
        QStringList plots;
        for (int k = 0; k < 100; ++k)
            plots << QString("%1,%2,15").arg(500020 + (k % 10) * 45).arg(5000020 + (k / 10) * 45);
        r.values.clear();
        r.values["circle"] = plots.join(';');
        run("clip-circle (100 plots, index built)", ClipTools::circle(), r, out("plots.las"));
        run("clip-circle (100 plots, index ready)", ClipTools::circle(), r, out("plots.las"));
    }

    // A 1000-vertex star-shaped polygon over the middle of the site.
    {
        CShpIO shp;
        shp.geometryType = CShpIO::Polygons;
        ShpFeature f;
        ShpPart ring;
        for (int k = 0; k < 1000; ++k) {
            const double a = -2 * M_PI * k / 1000, radius = 350 + 80 * std::sin(17 * a);
            ring.x.push_back(500500 + radius * std::cos(a));
            ring.y.push_back(5000500 + radius * std::sin(a));
        }
        f.parts.push_back(ring);
        shp.features.push_back(f);
        if (!shp.WriterFile((folder / "star.shp").string()))
            return 1;
    }
    r.values.clear();
    r.values["shp"] = out("star.shp");
    run("clip-polygon (1000 vertices)", ClipTools::polygon(), r, out("poly.las"));
    r.values.clear();
    run("boundary", ConvertTools::boundary(), r, out("site_LasBoundary.shp"));
    // The same file as LAZ: written through the record writer (records
    // copied, chunks compressed two at a time), then extraction and
    // clipping from LAZ to LAZ, which decompress and compress every chunk.
    const QString lazInput = out("site.laz");
    // Written only when a LAZ run is wanted.
    const bool lazRuns = only.empty() || only.find("LAZ") != std::string::npos;
    if (lazRuns) {
        const auto t = Clock::now();
        const double c0 = cpuSeconds();
        LasRecordReader reader;
        LasRecordWriter writer;
        if (!reader.open(input.toStdString()) || !writer.create(lazInput.toStdString(), reader.header()))
            return 1;
        const uint64_t chunk = 100000;
        for (uint64_t start = 0; start < reader.count(); start += chunk) {
            const uint64_t m = std::min(chunk, reader.count() - start);
            const uint8_t *records = reader.load(start, m);
            if (!records)
                return 1;
            for (uint64_t k = 0; k < m; ++k)
                writer.addRecord(records + k * reader.recordLength());
        }
        if (!writer.close())
            return 1;
        const double s = seconds(t), cpu = cpuSeconds() - c0;
        const double share = 100.0 * std::filesystem::file_size(lazInput.toStdString()) /
                             std::filesystem::file_size(input.toStdString());
        std::printf("%-30s wall %6.3f s %6.1f M/s   cpu %6.3f s %6.1f M/s  %.0f %% of the LAS size\n",
                    "LAS to LAZ (record writer)", s, n / s / 1e6, cpu, n / cpu / 1e6, share);
    }
    if (lazRuns) {
        source = lazInput;
        r.values.clear();
        r.values["classes"] = "2";
        run("LAZ extract-class to LAZ", ExtractTools::byClass(), r, out("class.laz"));
        run("LAZ extract-class to LAS", ExtractTools::byClass(), r, out("class2.las"));
        r.values.clear();
        r.values["rect"] = "5000750,5000250,500250,500750";
        run("LAZ clip-rect to LAZ", ClipTools::rectangle(), r, out("rect.laz"));
        source = input;
    }
    if (text) {  // the text export is slower by nature: on request only
        r.values.clear();
        r.values["fields"] = "xyzic";
        r.values["format"] = ".txt";
        r.values["separator"] = "Comma";
        run("las2txt xyzic", ConvertTools::lasToAscii(), r, out("site.txt"));
    }
    if (reuse) {
        for (const auto &entry : std::filesystem::directory_iterator(folder))
            if (entry.path().filename() != "site.las")
                std::filesystem::remove_all(entry.path());
    } else {
        std::filesystem::remove_all(folder);
    }
    return 0;
}
