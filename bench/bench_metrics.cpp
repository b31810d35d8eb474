// Throughput and peak memory of the forest metrics on a large file.
//
//   bench_metrics [POINTS] [FOLDER]
//
// Writes a normalised stand of POINTS points (format 1, 10 points per m²,
// flight lines 50 m wide swept south to north, up to four returns, heights
// 0 to 30 m) in 1-million-point appends, then runs each measurement in a
// child process of its own, so that its peak resident memory is its own:
// elevation metrics at 20 m cells and canopy cover at 15 m cells, as the
// tools run them (declaration checks, then the run), each once with the
// spatial index built on the way and once with it in place. Peak memory is
// the child's maximum resident set, which includes the pages of the mapped
// LAS file that the kernel may drop at will; the private part is reported
// beside it.

#include "CanopyTools.h"
#include "CloudMetricsTools.h"
#include "LasIO.h"
#include "LasIndex.h"

#include <QCoreApplication>
#include <QFile>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>

#include <sys/resource.h>

using namespace VerdantaIO;
using Clock = std::chrono::steady_clock;

namespace {

double seconds(Clock::time_point a) { return std::chrono::duration<double>(Clock::now() - a).count(); }

// The largest private (anonymous) resident size seen so far, sampled by the
// progress object as the run goes, in MB.
double anonymousMb()
{
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind("RssAnon:", 0) == 0)
            return std::strtod(line.c_str() + 8, nullptr) / 1024.0;
    return 0;
}

class SamplingProgress : public CProcessBase {
public:
    double peakAnon = 0;
    void SetMessage(const char *) override {}
    bool SetPosition(double) override { return sample(); }
    bool StepIt() override { return sample(); }
    void SetStageCount(int32_t) override {}
    void SetStageOffset(double) override {}

private:
    bool sample()
    {
        if (++calls_ % 64 == 0)
            peakAnon = std::max(peakAnon, anonymousMb());
        return true;
    }
    uint64_t calls_ = 0;
};

void generate(const std::string &path, uint64_t n)
{
    const double side = std::sqrt(n / 10.0);  // 10 points per square metre
    const double lineWidth = 50;
    std::mt19937 rng(11);
    std::uniform_real_distribution<double> u(0, 1), across(0, lineWidth);
    std::uniform_int_distribution<int> returns(1, 4);
    auto canopy = [](double x, double y) { return 15 + 12 * std::sin(x / 17) * std::cos(y / 23); };
    PointHeader header;
    header.pointDataFormat = 1;
    header.scaleX = header.scaleY = header.scaleZ = 0.01;
    std::vector<PointCloud> chunk;
    bool started = false;
    auto flush = [&] {
        if (!started) {
            CLASIO w;  // the first chunk makes the file, the others are appended
            w.header = header;
            w.points.swap(chunk);
            w.WriteLas(path);
            header = w.header;
            started = true;
        } else {
            AppendLas(path, header, chunk);
        }
        chunk.clear();
    };
    uint64_t written = 0;
    const uint64_t lines = static_cast<uint64_t>(std::ceil(side / lineWidth));
    const uint64_t perLine = (n + lines - 1) / lines;
    for (uint64_t line = 0; line < lines && written < n; ++line) {
        for (uint64_t k = 0; k < perLine && written < n; ++k, ++written) {
            PointCloud p;
            p.y = side * (k + u(rng)) / perLine;  // the aircraft flies north along the line
            p.x = std::min(side, line * lineWidth + across(rng));
            const int count = returns(rng);
            p.numberOfReturns = count;
            p.returnNumber = 1 + static_cast<int>(rng() % count);
            const double top = std::max(0.0, canopy(p.x, p.y));
            p.z = p.returnNumber == count && rng() % 3 == 0 ? u(rng) * 0.3 : top * (0.4 + 0.6 * u(rng));
            p.intensity = static_cast<uint16_t>(20 + 200 * u(rng));
            p.scanAngle = static_cast<int16_t>((-15 + 30 * u(rng)) / 0.006);  // within ±15°
            chunk.push_back(p);
            if (chunk.size() == 1000000)
                flush();
        }
    }
    if (!chunk.empty())
        flush();
}

// One measurement, in this (child) process.
int measure(const std::string &what, const std::string &las, const std::string &folder)
{
    const bool elevation = what.rfind("elevation", 0) == 0;
    const Tool &tool = elevation ? CloudMetricsTools::elevationMetrics() : CanopyTools::cover();
    ToolRequest request;
    request.inputs << QFile::decodeName(las.c_str());
    for (const ParamSpec &p : tool.spec.params)
        request.values[p.option] = p.defaultValue;
    request.values["xsize"] = request.values["ysize"] = elevation ? "20" : "15";
    request.output = QFile::decodeName((folder + (elevation ? "/metrics.csv" : "/cover.tif")).c_str());
    request.ask = [](const QString &) { return true; };
    QStringList outputs;
    const CheckResult check = ToolChecks::prepare(tool, request, outputs);
    if (!check.ok) {
        std::fprintf(stderr, "%s\n", check.message.toLocal8Bit().constData());
        return 1;
    }
    CLASIO header;
    header.LoadFile(las);
    const double points = static_cast<double>(header.header.numberOfPointRecords);
    SamplingProgress progress;
    const auto t0 = Clock::now();
    const ToolOutcome outcome = tool.run(request, outputs, &progress);
    const double t = seconds(t0);
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    std::printf("%-28s %6.2f s  %6.2f M points/s  peak RSS %6.0f MB (private %5.0f MB)%s\n", what.c_str(), t,
                points / t / 1e6, usage.ru_maxrss / 1024.0, std::max(progress.peakAnon, anonymousMb()),
                outcome.completed ? "" : "  FAILED");
    return outcome.completed ? 0 : 1;
}

}  // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    if (argc == 5 && std::strcmp(argv[1], "--measure") == 0)
        return measure(argv[2], argv[3], argv[4]);
    const uint64_t n = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 10000000ull;
    const std::filesystem::path folder =
        std::filesystem::path(argc > 2 ? argv[2] : std::filesystem::temp_directory_path().string()) /
        "verdanta_metrics_bench";
    std::filesystem::remove_all(folder);
    std::filesystem::create_directories(folder);
    const std::string las = (folder / "stand.las").string();
    auto t0 = Clock::now();
    generate(las, n);
    std::printf("%llu points written in %.1f s (%.0f MB)\n", static_cast<unsigned long long>(n), seconds(t0),
                std::filesystem::file_size(las) / 1048576.0);
    std::fflush(stdout);
    int status = 0;
    for (const char *what : {"elevation (index built)", "elevation", "cover (index built)", "cover"}) {
        if (std::strstr(what, "built")) {
            std::error_code ec;
            std::filesystem::remove(SpatialIndex::sidecarPath(las), ec);
        }
        const std::string command = std::string("\"") + argv[0] + "\" --measure \"" + what + "\" \"" + las + "\" \"" +
                                    folder.string() + "\"";
        status |= std::system(command.c_str());
    }
    return status == 0 ? 0 : 1;
}
