// The two tree segmentations on hand-made inputs whose trees are known: a
// CHM with cones, a plateau, a low tree and no-data holes; crown outlines
// with holes and parts; point clouds of
// separate, touching and nearly merged crowns; the tables and the points
// written, read back independently; and the detection rate on a generated
// stand.

#include "ChmSegment.h"
#include "CrownOutlines.h"
#include "LasBytes.h"
#include "LasExtraBytes.h"
#include "LasIO.h"
#include "PointSegment.h"
#include "Stand.h"

#include <gdal.h>
#include <ogr_api.h>

#include <QFile>
#include <QTemporaryDir>
#include <QTextStream>
#include <QtTest>

#include <cmath>
#include <functional>
#include <set>

namespace {

std::string s(const QString &q) { return QFile::encodeName(q).toStdString(); }

constexpr double kX0 = 1000.0, kY0 = 2000.0;  // upper-left corner of the test CHMs
constexpr float kNoData = -9999.0f;

// A 60 x 40 CHM of 0.5 m cells from a height function of local coordinates
// (x east, y south of the upper-left corner, at cell centres).
void writeChm(const QString &path, const std::function<float(double, double)> &height, bool georeferenced = true)
{
    GDALAllRegister();
    const int w = 60, h = 40;
    GDALDatasetH ds = GDALCreate(GDALGetDriverByName("GTiff"), s(path).c_str(), w, h, 1, GDT_Float32, nullptr);
    double gt[6] = {kX0, 0.5, 0, kY0, 0, -0.5};
    if (georeferenced)
        GDALSetGeoTransform(ds, gt);
    std::vector<float> v(size_t(w) * h);
    for (int r = 0; r < h; ++r)
        for (int c = 0; c < w; ++c)
            v[size_t(r) * w + c] = height((c + 0.5) * 0.5, (r + 0.5) * 0.5);
    GDALRasterBandH band = GDALGetRasterBand(ds, 1);
    GDALSetRasterNoDataValue(band, kNoData);
    QVERIFY(GDALRasterIO(band, GF_Write, 0, 0, w, h, v.data(), w, h, GDT_Float32, 0, 0) == CE_None);
    GDALClose(ds);
}

float cone(double x, double y, double cx, double cy, double top, double radius)
{
    const double r = std::hypot(x - cx, y - cy);
    return r < radius ? float(top * (1 - r / radius)) : 0.0f;
}

QStringList lines(const QString &path)
{
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly))
        return {};
    return QString::fromUtf8(f.readAll()).split('\n', Qt::SkipEmptyParts);
}

const QString kHeader = "TreeLocationX,TreeLocationY,TreeHeight,CrownDiameter,CrownArea,CrownVolume";

// Points every 0.2 m on the highest of some cone surfaces (apex x, y,
// height, radius), ground points at 0.1 m where no crown is; `truth` gets
// the cone each point lies on (0 for ground).
std::vector<VerdantaIO::PointCloud> cones(const std::vector<std::array<double, 4>> &list, std::vector<int> &truth)
{
    std::vector<VerdantaIO::PointCloud> points;
    truth.clear();
    for (double x = -6; x <= 16; x += 0.2)
        for (double y = -6; y <= 6; y += 0.2) {
            double z = 0.1;
            int which = 0;
            for (size_t k = 0; k < list.size(); ++k) {
                const auto &c = list[k];
                const double r = std::hypot(x - c[0], y - c[1]);
                const double sz = r < c[3] ? c[2] * (1 - 0.5 * r / c[3]) : 0;  // crowns end at half height
                if (sz > z) {
                    z = sz;
                    which = int(k) + 1;
                }
            }
            VerdantaIO::PointCloud p;
            p.x = 500 + x;
            p.y = 700 + y;
            p.z = z;
            p.classification = which ? 5 : 2;
            points.push_back(p);
            truth.push_back(which);
        }
    return points;
}

// Share of points given the tree of their cone (trees numbered tallest first).
double agreement(const std::vector<uint32_t> &ids, const std::vector<int> &truth, const std::vector<int> &treeOfCone)
{
    size_t same = 0;
    for (size_t i = 0; i < ids.size(); ++i)
        same += (truth[i] == 0 ? ids[i] == 0 : int(ids[i]) == treeOfCone[truth[i] - 1]);
    return double(same) / ids.size();
}

}  // namespace

class TestSegmentation : public QObject {
    Q_OBJECT
    QTemporaryDir dir;
    QString f(const QString &n) const { return dir.filePath(n); }

private slots:
    void chmCones()
    {
        // A 20 m and a 15 m cone 12 m apart, a 6 x 6 cell plateau at 10 m, a
        // 1.5 m bump (below the minimum), and no-data holes in a crown.
        writeChm(f("chm.tif"), [](double x, double y) {
            if (std::hypot(x - 9, y - 6) < 0.6)
                return kNoData;
            if (x >= 22 && x < 25 && y >= 13 && y < 16)
                return 10.0f;
            return std::max({cone(x, y, 5.25, 5.25, 20, 4), cone(x, y, 17.25, 5.25, 15, 4),
                             cone(x, y, 5.25, 16.25, 1.5, 2)});
        });
        Cchm_segment seg;
        seg.inputPath = s(f("chm.tif"));
        seg.tablePath = s(f("trees.csv"));
        seg.rasterPath = s(f("trees.csv.tif"));
        seg.maskPath = s(f("trees.csvmasktemp.tif"));
        seg.shapePath = s(f("trees.csv.shp"));
        QVERIFY(seg.raster_input());
        QVERIFY(seg.seed_location(nullptr));
        const QStringList table = lines(f("trees.csv"));
        QCOMPARE(table.value(0), kHeader);
        QCOMPARE(table.size(), 4);  // the cones and the plateau; the bump is too low
        // Tallest first in raster order: the apex cells hold the heights.
        const QStringList first = table[1].split(','), second = table[2].split(','), plateau = table[3].split(',');
        QCOMPARE(first.size(), 6);
        QCOMPARE(first[0].toDouble(), kX0 + 5.25);
        QCOMPARE(first[1].toDouble(), kY0 - 5.25);
        QCOMPARE(first[2].toDouble(), 20.0);
        QCOMPARE(second[0].toDouble(), kX0 + 17.25);
        QCOMPARE(second[2].toDouble(), 15.0);
        QCOMPARE(plateau[2].toDouble(), 10.0);
        // The crowns end at half the smoothed top: the 1-2-1 kernel averages
        // the apex (20 m) with cells 0.5 m (17.5 m) and 0.71 m (16.46 m)
        // away, (4 x 20 + 8 x 17.5 + 4 x 16.46) / 16 = 17.86 m, so the cut at
        // 8.93 m leaves a disc of radius 4 x (1 - 8.93 / 20) = 2.21 m.
        const double area = first[4].toDouble();
        QVERIFY2(std::fabs(area - M_PI * 2.214 * 2.214) < 0.8, qPrintable(first[4]));
        QVERIFY(std::fabs(first[3].toDouble() - 2 * std::sqrt(area / M_PI)) < 0.01);
        QCOMPARE(plateau[4].toDouble(), 9.0);  // all 36 cells of 0.25 m2
        QCOMPARE(plateau[5].toDouble(), 90.0);
        // The crown polygons, read with OGR: one per tree, numbered as the
        // table runs, each with the table's crown area.
        OGRRegisterAll();
        OGRDataSourceH shp = OGROpen(s(f("trees.csv.shp")).c_str(), FALSE, nullptr);
        QVERIFY(shp);
        OGRLayerH layer = OGR_DS_GetLayer(shp, 0);
        QCOMPARE(int(OGR_L_GetFeatureCount(layer, TRUE)), 3);
        for (int t = 1; t <= 3; ++t) {
            OGRFeatureH feature = OGR_L_GetNextFeature(layer);
            QCOMPARE(OGR_F_GetFieldAsInteger64(feature, OGR_F_GetFieldIndex(feature, "TreeID")), GIntBig(t));
            QCOMPARE(QString::number(OGR_G_Area(OGR_F_GetGeometryRef(feature)), 'f', 2), table[t].split(',')[4]);
            OGR_F_Destroy(feature);
        }
        OGR_DS_Destroy(shp);
        QVERIFY(QFile::exists(f("trees.csv.tif")) && QFile::exists(f("trees.csvmasktemp.tif")));

        // A higher minimum keeps the tall cone only; nothing between the
        // heights gives the header alone.
        seg.rasterPath = seg.maskPath = seg.shapePath = std::string();
        seg.minHeight = 16;
        QVERIFY(seg.seed_location(nullptr));
        QCOMPARE(lines(f("trees.csv")).size(), 2);
        seg.minHeight = 2;
        seg.maxHeight = 5;
        QVERIFY(seg.seed_location(nullptr));
        QCOMPARE(lines(f("trees.csv")), QStringList{kHeader});
    }

    void crownOutlines()
    {
        // Label 1: a 4 x 4 square with a 2 x 2 hole (filled by label 2) and
        // a cell touching it only at a corner (a second part); label 3: the
        // one cell in the hole of a 3 x 3 ring of label 4.
        const int w = 9, h = 6;
        const std::vector<int32_t> labels = {
            1, 1, 1, 1, 0, 0, 0, 0, 0,  //
            1, 2, 2, 1, 0, 4, 4, 4, 0,  //
            1, 2, 2, 1, 0, 4, 3, 4, 0,  //
            1, 1, 1, 1, 0, 4, 4, 4, 0,  //
            0, 0, 0, 0, 1, 0, 0, 0, 0,  //
            0, 0, 0, 0, 0, 0, 0, 0, 0};
        const auto regions = CrownOutlines::trace(labels.data(), w, h, 4);
        QCOMPARE(regions.size(), size_t(4));
        QCOMPARE(regions[0].size(), size_t(2));  // the corner cell is a part of its own
        QCOMPARE(regions[0][0].outer.cells, int64_t(16));
        QCOMPARE(regions[0][0].holes.size(), size_t(1));
        QCOMPARE(regions[0][0].holes[0].cells, int64_t(4));
        QCOMPARE(regions[0][1].outer.corners, (std::vector<int32_t>{4, 4, 4, 5, 5, 5, 5, 4}));
        QCOMPARE(CrownOutlines::cellsOf(regions[0]), int64_t(13));
        QCOMPARE(CrownOutlines::cellsOf(regions[1]), int64_t(4));
        QCOMPARE(regions[1][0].outer.corners, (std::vector<int32_t>{1, 1, 1, 3, 3, 3, 3, 1}));
        QCOMPARE(CrownOutlines::cellsOf(regions[2]), int64_t(1));
        QCOMPARE(regions[3].size(), size_t(1));
        QCOMPARE(regions[3][0].holes.size(), size_t(1));
        QCOMPARE(CrownOutlines::cellsOf(regions[3]), int64_t(8));
    }

    void chmRefusals()
    {
        writeChm(f("plain.tif"), [](double x, double y) { return cone(x, y, 5, 5, 20, 4); }, false);
        Cchm_segment seg;
        seg.inputPath = s(f("plain.tif"));
        QVERIFY(!seg.raster_input());
        QVERIFY2(seg.lastError().find("no georeferencing") != std::string::npos, seg.lastError().c_str());
        seg.inputPath = s(f("missing.tif"));
        QVERIFY(!seg.raster_input());
        QVERIFY(!seg.seed_location(nullptr));
    }

    void pointCrowns()
    {
        PointSegmentation::Options o;
        std::vector<int> truth;
        std::vector<uint32_t> ids;
        // Apart: two trees, every point on its own cone, ground 0.
        auto points = cones({{{0, 0, 20, 3}}, {{10, 0, 16, 3}}}, truth);
        QVERIFY(PointSegmentation::segment(points, o, ids, nullptr));
        QCOMPARE(*std::max_element(ids.begin(), ids.end()), 2u);
        QCOMPARE(agreement(ids, truth, {1, 2}), 1.0);
        // Touching (crowns overlapping by 1 m): still two trees, and the
        // points where the crowns meet go to the nearer top.
        points = cones({{{0, 0, 20, 3}}, {{5, 0, 16, 3}}}, truth);
        QVERIFY(PointSegmentation::segment(points, o, ids, nullptr));
        QCOMPARE(*std::max_element(ids.begin(), ids.end()), 2u);
        QVERIFY(agreement(ids, truth, {1, 2}) > 0.99);
        // Tops 2.2 m apart: within the spacing threshold of the taller
        // crown the lower top joins it; a 1 m threshold keeps it apart.
        points = cones({{{0, 0, 20, 3}}, {{2.2, 0, 19, 3}}}, truth);
        QVERIFY(PointSegmentation::segment(points, o, ids, nullptr));
        QCOMPARE(*std::max_element(ids.begin(), ids.end()), 1u);
        o.threshold = 1.0;
        QVERIFY(PointSegmentation::segment(points, o, ids, nullptr));
        QCOMPARE(*std::max_element(ids.begin(), ids.end()), 2u);
    }

    void pointFiles()
    {
        std::vector<int> truth;
        VerdantaIO::CLASIO las;
        las.header.pointDataFormat = 1;
        las.points = cones({{{0, 0, 20, 3}}, {{10, 0, 16, 3}}}, truth);
        QVERIFY(las.WriteLas(s(f("pair.las"))));
        QVERIFY(PointSegment({s(f("pair.las"))}, s(f("pair.csv")), 2.0, 10.0, nullptr));
        const QStringList table = lines(f("pair.csv"));
        QCOMPARE(table.size(), 3);
        QCOMPARE(table[0], kHeader);
        QCOMPARE(table[1].section(',', 0, 2), QString("500.000,700.000,20.00"));
        QCOMPARE(table[2].section(',', 0, 2), QString("510.000,700.000,16.00"));
        // The points beside the table carry their tree as point source ID.
        QCOMPARE(QString::fromStdString(PointSegmentation::pointsPath(s(f("pair.csv")), {})), f("pair.las"));
        QCOMPARE(QString::fromStdString(PointSegmentation::pointsPath(s(f("pair.csv")), {s(f("pair.las"))})),
                 f("pair_treeID.las"));
        // Byte by byte: the tree number also after each record's standard 28
        // bytes, described by one extra-bytes record as "treeID", uint32.
        const auto bytes = lasbytes::slurp(s(f("pair_treeID.las")));
        const lasbytes::Header h = lasbytes::parse(bytes);
        QCOMPARE(h.count, uint64_t(truth.size()));
        QCOMPARE(h.recordLength, uint16_t(32));
        QCOMPARE(h.vlrCount, uint32_t(1));
        const auto text = [&](size_t at) { return std::string(reinterpret_cast<const char *>(&bytes[at])); };
        QCOMPARE(text(h.headerSize + 2), std::string("LASF_Spec"));
        QCOMPARE(lasbytes::get<uint16_t>(bytes, h.headerSize + 18), uint16_t(4));
        QCOMPARE(int(bytes[h.headerSize + 54 + 2]), 5);
        QCOMPARE(text(h.headerSize + 54 + 4), std::string("treeID"));
        for (uint64_t i = 0; i < h.count; ++i) {
            const auto record = lasbytes::pointBytes(bytes, h, i, 32);
            QCOMPARE(int(lasbytes::get<uint16_t>(record, 18)), truth[i]);
            QCOMPARE(int(lasbytes::get<uint32_t>(record, 28)), truth[i]);
        }
        // Through LAZ and back by the library's reader.
        VerdantaIO::ExtraBytes extra, back;
        QVERIFY(VerdantaIO::ReadExtraBytes(s(f("pair_treeID.las")), extra));
        QVERIFY(VerdantaIO::WriteLasFile(s(f("pair.laz")), las.header, las.points, nullptr, &extra));
        QVERIFY(VerdantaIO::ReadExtraBytes(s(f("pair.laz")), back));
        std::vector<double> ids;
        QVERIFY(VerdantaIO::ExtraAttribute(back, "treeID", ids));
        QCOMPARE(ids, std::vector<double>(truth.begin(), truth.end()));
        // Nothing above 2 m: the header alone.
        for (auto &p : las.points)
            p.z = std::min(p.z, 1.9);
        QVERIFY(las.WriteLas(s(f("low.las"))));
        QVERIFY(PointSegment({s(f("low.las"))}, s(f("low.csv")), 2.0, 10.0, nullptr));
        QCOMPARE(lines(f("low.csv")), QStringList{kHeader});
        QVERIFY(!PointSegment({s(f("missing.las"))}, s(f("m.csv")), 2.0, 10.0, nullptr));
        QVERIFY(!PointSegmentation::lastError().empty());
    }

    // Another tool's segmentation in a real file: lidR's "treeID" (float64)
    // of MixedConifer, plain and LAZ: 29361 points in trees 1..205, 8296
    // holding DBL_MAX, its declared no-data value.
    void treeIdsOfAnotherTool()
    {
        const QString data = QStringLiteral(VERDANTA_SHARED_DATA);
        if (!QFile::exists(data + "/lidR_MixedConifer.las"))
            QSKIP("shared/data is absent: the treeID attribute of lidR_MixedConifer is not read");
        for (const QString name : {"/lidR_MixedConifer.las", "/laz/lidR_MixedConifer.laz"}) {
            VerdantaIO::ExtraBytes extra;
            std::vector<double> ids;
            QVERIFY(VerdantaIO::ReadExtraBytes(s(data + name), extra));
            QVERIFY(VerdantaIO::ExtraAttribute(extra, "treeID", ids));
            QVERIFY(!VerdantaIO::ExtraAttribute(extra, "treeid", ids) && ids.empty());
            QVERIFY(VerdantaIO::ExtraAttribute(extra, "treeID", ids));
            QCOMPARE(ids.size(), size_t(37657));
            std::set<double> trees;
            size_t inTrees = 0, unassigned = 0;
            for (double id : ids) {
                if (id >= 1 && id <= 205 && id == std::floor(id)) {
                    ++inTrees;
                    trees.insert(id);
                }
                unassigned += std::isnan(id);
            }
            QCOMPARE(inTrees, size_t(29361));
            QCOMPARE(unassigned, size_t(8296));
            QCOMPARE(trees.size(), size_t(205));
        }
    }

    // The detection rate on a generated stand of 300 stems/ha (0.86 when
    // this was written), and the scoring itself on a hand-made case.
    void standScore()
    {
        DemoStand::Options options;
        options.seed = 400;
        const DemoStand::Stand stand = DemoStand::generate(options);
        std::vector<VerdantaIO::PointCloud> points = stand.points;
        for (auto &p : points)
            p.z -= DemoStand::terrain(p.x - options.originX, p.y - options.originY);
        std::vector<uint32_t> ids;
        QVERIFY(PointSegmentation::segment(points, PointSegmentation::Options(), ids, nullptr));
        std::vector<std::pair<double, double>> tops;
        for (const TreeTable::Tree &t : PointSegmentation::describe(points, ids))
            tops.push_back({t.x, t.y});
        const DemoStand::Score score = DemoStand::score(stand, tops);
        QCOMPARE(score.trees, 300);
        QVERIFY2(score.f() >= 0.82, qPrintable(QString::number(score.f())));

        DemoStand::Stand two;
        two.options.originX = two.options.originY = 0;
        two.trees.resize(2);
        two.trees[0].x = 0, two.trees[0].radius = 5;   // reach 3 m
        two.trees[1].x = 10, two.trees[1].radius = 1;  // reach 1.5 m
        // The nearer detection takes the first tree; 1.6 m misses the second.
        const DemoStand::Score s2 = DemoStand::score(two, {{2.9, 0}, {1.0, 0}, {11.6, 0}});
        QCOMPARE(s2.matched, 1);
        QCOMPARE(s2.precision(), 1.0 / 3);
        QCOMPARE(s2.recall(), 0.5);
    }
};

QTEST_GUILESS_MAIN(TestSegmentation)
#include "test_segmentation.moc"
