// Individual tree detection: accuracy on generated stands with known trees,
// speed of both segmentations, and agreement with another segmentation of a
// real stand.
//   bench_trees accuracy [SEEDS]   PCS and CHM segmentation on stands of 250,
//                                  300 and 350 stems/ha (SEEDS each, default 3)
//   bench_trees speed [chm]        PCS on a 2-million-point stand, CHM
//                                  segmentation of a 4000 x 4000 CHM (with
//                                  "chm": the CHM only)
//   bench_trees compare FILE.las   both on a normalised LAS file whose
//                                  extra-bytes attribute "treeID" holds
//                                  another segmentation

#include "ChmSegment.h"
#include "LasExtraBytes.h"
#include "LasIO.h"
#include "PointSegment.h"
#include "RasterIO.h"
#include "Stand.h"
#include "ToolRegistry.h"

#include <gdal_alg.h>
#include <gdal_priv.h>
#include <ogrsf_frmts.h>

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fstream>
#include <map>
#include <sstream>

using Clock = std::chrono::steady_clock;
using Positions = std::vector<std::pair<double, double>>;

namespace {

double seconds(Clock::time_point since) { return std::chrono::duration<double>(Clock::now() - since).count(); }
// Processor time of this process: the machine may be shared, and the
// segmentations run on one thread.
double cpuSeconds() { return double(std::clock()) / CLOCKS_PER_SEC; }

Positions tableTops(const std::string &path)
{
    Positions tops;
    std::ifstream in(path);
    std::string line;
    std::getline(in, line);
    while (std::getline(in, line)) {
        double x = 0, y = 0;
        if (std::sscanf(line.c_str(), "%lf,%lf", &x, &y) == 2)
            tops.push_back({x, y});
    }
    return tops;
}

Positions pcsTops(const std::vector<VerdantaIO::PointCloud> &points, double threshold = 2.0)
{
    PointSegmentation::Options o;
    o.threshold = threshold;
    std::vector<uint32_t> ids;
    PointSegmentation::segment(points, o, ids, nullptr);
    Positions tops;
    for (const TreeTable::Tree &t : PointSegmentation::describe(points, ids))
        tops.push_back({t.x, t.y});
    return tops;
}

// Runs a declared tool as the command line would; false on failure.
bool runTool(const QString &name, const QStringList &inputs, const QMap<QString, QString> &values, const QString &out)
{
    const Tool *tool = ToolRegistry::find(name);
    ToolRequest r;
    r.inputs = inputs;
    for (const ParamSpec &p : tool->spec.params)
        r.values[p.option] = values.value(p.option, p.defaultValue);
    r.output = out;
    QStringList outs;
    const CheckResult c = ToolChecks::prepare(*tool, r, outs);
    if (!c.ok) {
        std::fprintf(stderr, "%s: %s\n", qPrintable(name), qPrintable(c.message));
        return false;
    }
    const ToolOutcome o = tool->run(r, outs, nullptr);
    for (const QString &w : o.warnings)
        std::fprintf(stderr, "%s: %s\n", qPrintable(name), qPrintable(w));
    return o.completed;
}

// DEM and DSM at 0.5 m by IDW, their difference as the CHM.
bool makeChm(const QString &las, const QString &dir, QString &chm)
{
    const QMap<QString, QString> half{{"xsize", "0.5"}, {"ysize", "0.5"}};
    chm = dir + "/chm.tif";
    return runTool("dem", {las}, half, dir + "/dem.tif") && runTool("dsm", {las}, half, dir + "/dsm.tif") &&
           runTool("chm", {}, {{"dsm", dir + "/dsm.tif"}, {"dem", dir + "/dem.tif"}}, chm);
}

Positions chmTops(const QString &chm, const QString &dir)
{
    Cchm_segment seg;
    seg.inputPath = QFile::encodeName(chm).toStdString();
    seg.tablePath = QFile::encodeName(dir + "/chm_trees.csv").toStdString();
    if (!seg.raster_input() || !seg.seed_location(nullptr)) {
        std::fprintf(stderr, "CHM segmentation: %s\n", seg.lastError().c_str());
        return {};
    }
    return tableTops(seg.tablePath);
}

void print(const char *what, const DemoStand::Score &s)
{
    std::printf("  %-4s trees %3d detected %3d matched %3d  recall %.3f precision %.3f F %.3f\n", what, s.trees,
                s.detected, s.matched, s.recall(), s.precision(), s.f());
}

int accuracy(int seeds)
{
    DemoStand::Score pcsAll, chmAll;
    for (double density : {250.0, 300.0, 350.0}) {
        for (int seed = 1; seed <= seeds; ++seed) {
            DemoStand::Options o;
            o.seed = static_cast<unsigned>(seed * 100 + density);
            o.stemsPerHectare = density;
            const DemoStand::Stand stand = DemoStand::generate(o);
            QTemporaryDir dir;
            const QString raw = dir.path() + "/stand.las";
            std::string error;
            if (!DemoStand::write(stand, raw.toStdString(), std::string(), std::string(), error))
                return 1;
            std::vector<VerdantaIO::PointCloud> normalised = stand.points;
            for (auto &p : normalised)
                p.z = std::max(0.0, p.z - DemoStand::terrain(p.x - o.originX, p.y - o.originY));
            std::printf("%g stems/ha, seed %u: %zu points\n", density, o.seed, stand.points.size());
            const DemoStand::Score pcs = DemoStand::score(stand, pcsTops(normalised));
            QString chm;
            if (!makeChm(raw, dir.path(), chm))
                return 1;
            const DemoStand::Score seg = DemoStand::score(stand, chmTops(chm, dir.path()));
            print("PCS", pcs);
            print("CHM", seg);
            for (auto pair : {std::make_pair(&pcsAll, &pcs), std::make_pair(&chmAll, &seg)}) {
                pair.first->trees += pair.second->trees;
                pair.first->detected += pair.second->detected;
                pair.first->matched += pair.second->matched;
            }
        }
    }
    std::printf("All stands:\n");
    print("PCS", pcsAll);
    print("CHM", chmAll);
    return 0;
}

// The crown polygons against GDALPolygonize of the crown raster: the area
// of every crown, summed over its polygons, in both.
void comparePolygons(const std::string &raster, const std::string &shape)
{
    GDALDataset *labels = static_cast<GDALDataset *>(GDALOpen(raster.c_str(), GA_ReadOnly));
    GDALDataset *mem = GetGDALDriverManager()->GetDriverByName("Memory")->Create("", 0, 0, 0, GDT_Unknown, nullptr);
    OGRLayer *layer = mem->CreateLayer("crowns", nullptr, wkbPolygon, nullptr);
    OGRFieldDefn field("TreeID", OFTInteger64);
    layer->CreateField(&field);
    auto t0 = Clock::now();
    double c0 = cpuSeconds();
    GDALPolygonize(labels->GetRasterBand(1), labels->GetRasterBand(1)->GetMaskBand(), OGRLayer::ToHandle(layer), 0,
                   nullptr, nullptr, nullptr);
    std::printf("  GDALPolygonize of the crown raster (in memory): %.2f s CPU, %.2f s wall\n", cpuSeconds() - c0,
                seconds(t0));
    auto areas = [](OGRLayer *l, size_t &features) {
        std::map<GIntBig, double> a;
        features = 0;
        l->ResetReading();
        for (auto &f : *l) {
            ++features;
            a[f->GetFieldAsInteger64(0)] += OGR_G_Area(OGRGeometry::ToHandle(f->GetGeometryRef()));
        }
        return a;
    };
    GDALDataset *traced = static_cast<GDALDataset *>(GDALOpenEx(shape.c_str(), GDAL_OF_VECTOR, nullptr, nullptr, nullptr));
    size_t nGdal = 0, nOurs = 0;
    const auto byGdal = areas(layer, nGdal), byOurs = areas(traced->GetLayer(0), nOurs);
    size_t same = 0;
    double worst = 0;
    for (const auto &a : byGdal) {
        auto it = byOurs.find(a.first);
        if (it != byOurs.end()) {
            worst = std::max(worst, std::fabs(it->second - a.second));
            same += std::fabs(it->second - a.second) < 1e-6;
        }
    }
    std::printf("  crowns: %zu by GDALPolygonize (%zu polygons), %zu traced (%zu features); %zu with equal areas, "
                "largest difference %.3g m2\n",
                byGdal.size(), nGdal, byOurs.size(), nOurs, same, worst);
    GDALClose(traced);
    GDALClose(mem);
    GDALClose(labels);
}

// PCS on about 2 million points.
bool pcsSpeed(const QString &folder)
{
    // About 2 million points: 13 ha at the stands' density.
    DemoStand::Options o;
    o.side = 360;
    o.seed = 7;
    auto t0 = Clock::now();
    DemoStand::Stand stand = DemoStand::generate(o);
    const std::string las = (folder + "/stand.las").toStdString();
    {
        std::string error;
        if (!DemoStand::write(stand, std::string(), las, std::string(), error))
            return false;
    }
    for (auto &p : stand.points)
        p.z = std::max(0.0, p.z - DemoStand::terrain(p.x - o.originX, p.y - o.originY));
    std::printf("stand: %zu points, %zu trees (generated in %.1f s)\n", stand.points.size(), stand.trees.size(),
                seconds(t0));
    std::vector<uint32_t> ids;
    t0 = Clock::now();
    double c0 = cpuSeconds();
    PointSegmentation::segment(stand.points, PointSegmentation::Options(), ids, nullptr);
    const double segTime = cpuSeconds() - c0, segWall = seconds(t0);
    c0 = cpuSeconds();
    const auto table = PointSegmentation::describe(stand.points, ids);
    const double describeTime = cpuSeconds() - c0;
    std::printf("PCS: segmentation %.2f s CPU (%.2f s wall; %.0f k points/s CPU), table %.2f s CPU, %zu trees; "
                "together %.0f k points/s CPU\n",
                segTime, segWall, stand.points.size() / segTime / 1000, describeTime, table.size(),
                stand.points.size() / (segTime + describeTime) / 1000);

    {
        t0 = Clock::now();
        c0 = cpuSeconds();
        const bool ok = PointSegment({las}, (folder + "/stand.csv").toStdString(), 2.0, 10.0, nullptr);
        std::printf("PCS with reading and writing the LAS files: %.2f s CPU, %.2f s wall (%.0f k points/s CPU)%s\n",
                    cpuSeconds() - c0, seconds(t0), stand.points.size() / (cpuSeconds() - c0) / 1000, ok ? "" : " FAILED");
        if (!ok)
            std::printf("  %s\n", PointSegmentation::lastError().c_str());
    }
    return true;
}

int speed(bool pcs)
{
    QTemporaryDir dir;
    if (pcs && !pcsSpeed(dir.path()))
        return 1;

    // A 4000 x 4000 CHM at 0.5 m: 20 x 20 stands of 1 ha, trees only.
    constexpr int kTiles = 20, kCells = 200, kSide = kTiles * kCells;
    std::vector<float> chm(size_t(kSide) * kSide, 0.0f);
    for (int ty = 0; ty < kTiles; ++ty)
        for (int tx = 0; tx < kTiles; ++tx) {
            DemoStand::Options t;
            t.pulseSpacing = 0;
            t.seed = static_cast<unsigned>(1000 + ty * kTiles + tx);
            const DemoStand::Stand s = DemoStand::generate(t);
            for (const DemoStand::Tree &tree : s.trees) {
                const int c0 = std::max(0, int((tree.x - tree.radius) * 2)), c1 = std::min(kCells - 1, int((tree.x + tree.radius) * 2));
                const int r0 = std::max(0, int((tree.y - tree.radius) * 2)), r1 = std::min(kCells - 1, int((tree.y + tree.radius) * 2));
                for (int r = r0; r <= r1; ++r)
                    for (int c = c0; c <= c1; ++c) {
                        const double h = tree.surface(c * 0.5 + 0.25, r * 0.5 + 0.25, 0.0);
                        if (!std::isnan(h)) {
                            float &cell = chm[size_t(ty * kCells + (kCells - 1 - r)) * kSide + tx * kCells + c];
                            cell = std::max(cell, float(h));
                        }
                    }
            }
        }
    const std::string chmPath = (dir.path() + "/big_chm.tif").toStdString();
    {
        VerdantaIO::CRasterIO out;
        out.geoTransform = {{500000.0, 0.5, 0.0, 4002000.0, 0.0, -0.5}};
        out.Createfile(chmPath, kSide, kSide, 1, 6);
        out.WriteRasterBlock(1, 0, 0, kSide, kSide, chm.data());
        out.Close();
    }
    for (bool intermediates : {false, true}) {
        Cchm_segment seg;
        seg.inputPath = chmPath;
        seg.tablePath = (dir.path() + "/big.csv").toStdString();
        if (intermediates) {
            seg.rasterPath = seg.tablePath + ".tif";
            seg.maskPath = seg.tablePath + "masktemp.tif";
            seg.shapePath = seg.tablePath + ".shp";
        }
        auto t0 = Clock::now();
        double c1 = cpuSeconds();
        const bool ok = seg.raster_input();
        const double read = cpuSeconds() - c1, readWall = seconds(t0);
        t0 = Clock::now();
        c1 = cpuSeconds();
        const bool done = ok && seg.seed_location(nullptr);
        const double segCpu = cpuSeconds() - c1, segWall = seconds(t0);
        std::printf("CHM segmentation 4000 x 4000%s: reading %.2f s CPU (%.2f s wall), segmentation %.2f s CPU "
                    "(%.2f s wall), %d trees%s\n",
                    intermediates ? " with crown raster, mask and polygons" : "", read, readWall, segCpu, segWall,
                    seg.treeCount(), done ? "" : " (FAILED)");
        if (intermediates && done)
            comparePolygons(seg.rasterPath, seg.shapePath);
    }
    return 0;
}

int compare(const QString &path)
{
    VerdantaIO::CLASIO las;
    if (!las.LoadFile(QFile::encodeName(path).toStdString()) || !las.ReadData(nullptr)) {
        std::fprintf(stderr, "%s\n", las.lastError().c_str());
        return 1;
    }
    std::vector<double> ids;
    VerdantaIO::ExtraBytes extra;
    if (!VerdantaIO::ReadExtraBytes(QFile::encodeName(path).toStdString(), extra) ||
        !VerdantaIO::ExtraAttribute(extra, "treeID", ids) || ids.size() != las.points.size()) {
        std::fprintf(stderr, "no treeID attribute\n");
        return 1;
    }
    // The other segmentation's trees: the top of each as a "known" tree, its
    // crown radius from the spread of its points.
    std::map<long, std::vector<size_t>> members;
    for (size_t i = 0; i < ids.size(); ++i)
        if (!std::isnan(ids[i]))
            members[std::lround(ids[i])].push_back(i);
    DemoStand::Stand reference;
    reference.options.originX = reference.options.originY = 0;
    for (const auto &m : members) {
        size_t top = m.second.front();
        double minX = 1e300, maxX = -1e300, minY = 1e300, maxY = -1e300;
        for (size_t i : m.second) {
            const auto &p = las.points[i];
            if (p.z > las.points[top].z)
                top = i;
            minX = std::min(minX, p.x), maxX = std::max(maxX, p.x), minY = std::min(minY, p.y), maxY = std::max(maxY, p.y);
        }
        DemoStand::Tree t;
        t.x = las.points[top].x;
        t.y = las.points[top].y;
        t.height = las.points[top].z;
        t.radius = ((maxX - minX) + (maxY - minY)) / 4;
        reference.trees.push_back(t);
    }
    std::printf("%s: %zu points, %zu trees in treeID\n", qPrintable(path), las.points.size(), reference.trees.size());
    auto t0 = Clock::now();
    const Positions pcs = pcsTops(las.points);
    std::printf("PCS (%.2f s):\n", seconds(t0));
    print("PCS", DemoStand::score(reference, pcs));
    QTemporaryDir dir;
    // The heights are normalised: the DSM at 0.5 m is the CHM.
    if (!runTool("dsm", {path}, {{"xsize", "0.5"}, {"ysize", "0.5"}}, dir.path() + "/dsm.tif"))
        return 1;
    const Positions chm = chmTops(dir.path() + "/dsm.tif", dir.path());
    print("CHM", DemoStand::score(reference, chm));
    return 0;
}

}  // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const QString mode = argc > 1 ? argv[1] : "accuracy";
    if (mode == "accuracy")
        return accuracy(argc > 2 ? std::atoi(argv[2]) : 3);
    if (mode == "speed")
        return speed(!(argc > 2 && QString(argv[2]) == "chm"));
    if (mode == "compare" && argc > 2)
        return compare(QString::fromLocal8Bit(argv[2]));
    std::fprintf(stderr, "Usage: bench_trees accuracy [SEEDS] | speed | compare FILE.las\n");
    return 1;
}
