// Merge, tile and height normalisation: every point exactly once with its
// attributes, tile edges, exact heights over a known DEM, the status values,
// and the same operations on the real samples.

#include "DataManagement.h"
#include "LasBytes.h"
#include "LasIO.h"
#include "TestFiles.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QtTest>

#include <map>
#include <set>
#include <tuple>
#include <random>

using namespace VerdantaIO;

namespace {

// A point's identity: coordinates to the millimetre and its attributes.
using Key = std::tuple<long long, long long, long long, double, int, int, int, int, int, int>;
Key keyOf(const PointCloud &p)
{
    return Key(std::llround(p.x * 1000), std::llround(p.y * 1000), std::llround(p.z * 1000), p.gpsTime, p.intensity,
               p.returnNumber, p.numberOfReturns, p.classification, p.red, p.pointSourceId);
}

std::multiset<Key> keysOf(const std::vector<std::string> &files)
{
    std::multiset<Key> keys;
    for (const std::string &f : files) {
        CLASIO las;
        if (las.LoadFile(f) && las.ReadData(nullptr))
            for (const PointCloud &p : las.points)
                keys.insert(keyOf(p));
    }
    return keys;
}

void writeDem(const QString &path, int w, int h, double x0, double y0, double cell,
              const std::function<float(double, double)> &z, double noData = 0, bool withNoData = false)
{
    writeTif(path, w, h, {x0, cell, 0, y0 + h * cell, 0, -cell},
             [&](int c, int r) { return z(x0 + (c + 0.5) * cell, y0 + h * cell - (r + 0.5) * cell); }, 1,
             withNoData ? noData : std::nan(""));
}

}  // namespace

// The count and points by return that a LAS header holds, read byte by byte.
struct Counts {
    uint64_t count;
    std::vector<uint64_t> byReturn;
    bool operator==(const Counts &o) const { return count == o.count && byReturn == o.byReturn; }
};
Counts countsOf(const std::string &path)
{
    const auto b = lasbytes::slurp(path);
    const auto h = lasbytes::parse(b);
    Counts c{h.count, {}};
    for (int r = 0; r < 5; ++r)
        c.byReturn.push_back(h.versionMinor >= 4 ? lasbytes::get<uint64_t>(b, 255 + 8 * r) : h.legacyByReturn[r]);
    return c;
}
char *toString(const Counts &c)
{
    QString t = QString::number(c.count) + " [";
    for (uint64_t n : c.byReturn)
        t += QString::number(n) + " ";
    return qstrdup(qPrintable(t.trimmed() + "]"));
}

class TestDataManagement : public QObject {
    Q_OBJECT
    QTemporaryDir dir;
    QString f(const QString &name) const { return dir.filePath(name); }

    // Merge, tile and normalisation (against a flat DEM of w x h cells from
    // x0, y0) of one input: each output's header holds `expected`.
    void checkCounts(const QString &input, const Counts &expected, double x0, double y0, int w, int h, double cell)
    {
        C_DataManagement dm;
        const QString name = QFileInfo(input).completeBaseName();
        QCOMPARE(dm.LasMerge({s(input)}, s(f(name + "_merge.las")), nullptr), C_DataManagement::kMergeDone);
        QCOMPARE(countsOf(s(f(name + "_merge.las"))), expected);
        std::vector<std::string> tiles;
        QVERIFY(dm.LasTile(s(input), s(f(name + "_tiles")), cell * w / 2, cell * h / 2, nullptr, tiles));
        Counts sum{0, std::vector<uint64_t>(5, 0)};
        for (const std::string &t : tiles) {
            const Counts c = countsOf(t);
            sum.count += c.count;
            for (int r = 0; r < 5; ++r)
                sum.byReturn[r] += c.byReturn[r];
        }
        QCOMPARE(sum, expected);
        writeDem(f(name + "_flat.tif"), w, h, x0, y0, cell, [](double, double) { return 0.0f; });
        QCOMPARE(dm.LasheighNormalization(s(input), s(f(name + "_flat.tif")), s(f(name + "_n.las")), nullptr),
                 C_DataManagement::kNormDone);
        QCOMPARE(countsOf(s(f(name + "_n.las"))), expected);
    }

private slots:
    void mergeKeepsEveryPointExactly()
    {
        // Format 1 at 0.01 m, format 7 (LAS 1.4) at 0.001 m with another offset.
        CLASIO a;
        a.header.pointDataFormat = 1;
        a.header.offsetX = 500000;
        a.header.offsetY = 4000000;
        for (int i = 0; i < 250000; ++i) {
            PointCloud p;
            p.x = 500000 + i * 0.01;
            p.y = 4000000 + (i % 1000) * 0.37;
            p.z = 100 + (i % 97) * 0.01;
            p.gpsTime = i;
            p.intensity = static_cast<uint16_t>(i);
            p.returnNumber = i % 3 + 1;
            p.numberOfReturns = 3;
            p.classification = i % 8;
            a.points.push_back(p);
        }
        QVERIFY(a.WriteLas(s(f("a.las"))));
        CLASIO b;
        b.header.pointDataFormat = 7;
        b.header.versionMinor = 4;
        b.header.scaleX = b.header.scaleY = b.header.scaleZ = 0.001;
        b.header.offsetX = 499999.5;
        b.header.offsetY = 3999999.5;
        for (int i = 0; i < 1000; ++i) {
            PointCloud p;
            p.x = 499999.5 + i * 0.123;
            p.y = 3999999.5 + i * 0.007;
            p.z = 90.001 + i * 0.001;
            p.classification = static_cast<uint8_t>(40 + i % 100);  // 8-bit classes
            p.red = static_cast<uint16_t>(i * 50);
            p.returnNumber = 1;
            p.numberOfReturns = 1;
            b.points.push_back(p);
        }
        QVERIFY(b.WriteLas(s(f("b.las"))));

        C_DataManagement dm;
        CProcessNull progress;
        const float r = dm.LasMerge({s(f("a.las")), s(f("b.las"))}, s(f("m.las")), &progress);
        QCOMPARE(r, C_DataManagement::kMergeDone);
        CLASIO m;
        QVERIFY(m.LoadFile(s(f("m.las"))));
        QCOMPARE(int(m.header.pointDataFormat), 7);
        QCOMPARE(m.header.versionString(), std::string("1.4"));
        QCOMPARE(m.header.scaleX, 0.001);
        QCOMPARE(m.header.numberOfPointRecords, uint64_t(251000));
        QCOMPARE(m.header.numberOfPointsByReturn[0], uint64_t(83334 + 1000));
        QCOMPARE(m.header.minX, 499999.5);
        QCOMPARE(keysOf({s(f("m.las"))}), keysOf({s(f("a.las")), s(f("b.las"))}));
        // Compressed inputs and output (appended chunk by chunk): the same points.
        QVERIFY(a.WriteLas(s(f("a.laz"))));
        QVERIFY(b.WriteLas(s(f("b.laz"))));
        QCOMPARE(dm.LasMerge({s(f("a.laz")), s(f("b.laz"))}, s(f("m.laz")), nullptr), C_DataManagement::kMergeDone);
        QCOMPARE(int(lasbytes::slurp(s(f("m.laz")))[104]), 7 | 0x80);
        QCOMPARE(keysOf({s(f("m.laz"))}), keysOf({s(f("m.las"))}));

        // Failures: a missing input, an unwritable output, a range too large.
        QCOMPARE(dm.LasMerge({s(f("a.las")), s(f("none.las"))}, s(f("m2.las")), nullptr), C_DataManagement::kMergeOpenFailed);
        QCOMPARE(dm.LasMerge({s(f("a.las"))}, "/nonexistent-folder/m.las", nullptr), C_DataManagement::kMergeCreateFailed);
        CLASIO far;
        far.header.pointDataFormat = 0;
        far.header.scaleX = far.header.scaleY = far.header.scaleZ = 0.001;
        far.header.offsetX = 9e6;
        PointCloud p;
        p.x = 9e6;
        far.points.push_back(p);
        QVERIFY(far.WriteLas(s(f("far.las"))));
        QCOMPARE(dm.LasMerge({s(f("a.las")), s(f("far.las"))}, s(f("m3.las")), nullptr),
                 C_DataManagement::kMergeCreateFailed);
    }

    void tilesHoldEveryPointOnce()
    {
        CLASIO a;
        a.header.pointDataFormat = 0;
        for (int i = 0; i <= 300; ++i)
            for (int j = 0; j <= 20; ++j) {
                PointCloud p;
                p.x = i;        // x from 0 to 300: the edges 100 and 200 included
                p.y = j * 10.0; // y from 0 to 200
                p.z = i + j;
                a.points.push_back(p);
            }
        QVERIFY(a.WriteLas(s(f("grid.las"))));
        C_DataManagement dm;
        std::vector<std::string> tiles;
        QVERIFY(dm.LasTile(s(f("grid.las")), s(f("tiles")), 100.0, 100.0, nullptr, tiles));
        QCOMPARE(tiles.size(), size_t(4 * 3));  // x tiles 0, 100, 200, 300; y tiles 0, 100, 200
        QVERIFY(QFile::exists(f("tiles/grid_100_200.las")));
        std::vector<std::string> all(tiles.begin(), tiles.end());
        QCOMPARE(keysOf(all), keysOf({s(f("grid.las"))}));
        // An edge point belongs to the tile above/right of it.
        CLASIO edge;
        QVERIFY(edge.LoadFile(s(f("tiles/grid_100_100.las"))));
        QVERIFY(edge.ReadData(nullptr));
        QCOMPARE(edge.header.minX, 100.0);
        QCOMPARE(edge.header.minY, 100.0);
        QCOMPARE(edge.header.maxX, 199.0);
        QCOMPARE(edge.header.maxY, 190.0);
        QVERIFY(!dm.LasTile(s(f("grid.las")), s(f("t2")), 0.0, 10.0, nullptr, tiles));
    }

    void normalisationOverAKnownDem()
    {
        auto plane = [](double x, double y) { return float(100 + 0.1 * (x - 1000) + 0.2 * (y - 2000)); };
        writeDem(f("dem.tif"), 50, 40, 1000, 2000, 1.0, plane);
        CLASIO a;
        a.header.pointDataFormat = 1;
        a.header.scaleZ = 0.001;
        std::mt19937 rng(1);
        std::uniform_real_distribution<double> ux(1001, 1049), uy(2001, 2039), uh(0, 30);
        std::vector<double> heights;
        for (int i = 0; i < 5000; ++i) {
            PointCloud p;
            p.x = std::round(ux(rng) * 100) / 100;
            p.y = std::round(uy(rng) * 100) / 100;
            const double h = std::round(uh(rng) * 1000) / 1000;
            p.z = plane(p.x, p.y) + h;
            p.z = std::round(p.z * 1000) / 1000;
            heights.push_back(p.z - (100 + 0.1 * (p.x - 1000) + 0.2 * (p.y - 2000)));
            a.points.push_back(p);
        }
        QVERIFY(a.WriteLas(s(f("plane.las"))));
        C_DataManagement dm;
        QCOMPARE(dm.LasheighNormalization(s(f("plane.las")), s(f("dem.tif")), s(f("plane_n.las")), nullptr),
                 C_DataManagement::kNormDone);
        CLASIO n;
        QVERIFY(n.LoadFile(s(f("plane_n.las"))));
        QVERIFY(n.ReadData(nullptr));
        double worst = 0;
        for (size_t i = 0; i < heights.size(); ++i)
            worst = std::max(worst, std::abs(n.points[i].z - heights[i]));
        QVERIFY2(worst < 0.002, qPrintable(QString::number(worst)));  // bilinear is exact on a plane
        QCOMPARE(dm.LasheighNormalization(s(f("plane.las")), s(f("dem.tif")), s(f("plane_n.laz")), nullptr),
                 C_DataManagement::kNormDone);
        CLASIO nz;
        QVERIFY(nz.LoadFile(s(f("plane_n.laz"))) && nz.ReadData(nullptr) && nz.header.compressed);
        QVERIFY(nz.points.size() == n.points.size() &&
                std::memcmp(nz.points.data(), n.points.data(), n.points.size() * sizeof(PointCloud)) == 0);

        // No-data cells take the nearest valid value: a DEM of 10 with a hole
        // of no-data at its centre.
        writeDem(f("holes.tif"), 20, 20, 1000, 2000, 1.0,
                 [](double x, double y) { return std::hypot(x - 1010, y - 2010) < 4 ? -9999.0f : 10.0f; }, -9999, true);
        QCOMPARE(dm.LasheighNormalization(s(f("plane.las")), s(f("holes.tif")), s(f("holes_n.las")), nullptr),
                 C_DataManagement::kNormDone);
        CLASIO h;
        QVERIFY(h.LoadFile(s(f("holes_n.las"))));
        QVERIFY(h.ReadData(nullptr));
        for (size_t i = 0; i < a.points.size(); ++i)
            if (a.points[i].x < 1020 && a.points[i].y < 2020)
                QVERIFY(std::abs(h.points[i].z - (a.points[i].z - 10)) < 0.002);

        // Status values.
        writeDem(f("away.tif"), 5, 5, 0, 0, 1.0, plane);
        QCOMPARE(dm.LasheighNormalization(s(f("plane.las")), s(f("away.tif")), s(f("x.las")), nullptr),
                 C_DataManagement::kNormOutsideDem);
        QCOMPARE(dm.LasheighNormalization(s(f("plane.las")), s(f("none.tif")), s(f("x.las")), nullptr),
                 C_DataManagement::kNormDemFailed);
        QCOMPARE(dm.LasheighNormalization(s(f("none.las")), s(f("dem.tif")), s(f("x.las")), nullptr),
                 C_DataManagement::kNormLasFailed);
    }

    // A truncated input: merge, tile and normalisation write the points
    // present, and each output's header counts exactly those (read back
    // byte by byte, by-return counts included).
    void damagedInputsGiveOutputsWithTrueCounts()
    {
        lasbytes::File t;
        t.format = 1;
        t.offset[0] = 1000;
        t.offset[1] = 2000;
        for (int i = 0; i < 25; ++i) {
            lasbytes::RawPoint p;
            p.X = (i % 5) * 1000;  // 10 m apart
            p.Y = (i / 5) * 1000;
            p.Z = 500 + i;
            p.returnNumber = static_cast<uint8_t>(1 + i % 3);
            p.numberOfReturns = 3;
            t.points.push_back(p);
        }
        auto bytes = lasbytes::build(t);
        bytes.resize(bytes.size() - 7);  // the 25th record is cut short
        lasbytes::save(s(f("cut.las")), bytes);
        // Points 0..23: return 1 for i % 3 == 0 (8), 2 (8), 3 (8).
        checkCounts(f("cut.las"), {24, {8, 8, 8, 0, 0}}, 990, 1990, 8, 8, 10.0);
    }

    // Header bounds that are NaN or a hundred-thousandfold too wide do not
    // stop a merge; the output's header bounds are the points'.
    void lyingHeaderBoundsDoNotStopMerge()
    {
        lasbytes::File a;
        a.format = 1;
        a.offset[0] = 500000;
        a.offset[1] = 4000000;
        for (int i = 0; i < 4; ++i) {
            lasbytes::RawPoint p;
            p.X = i * 1000;  // 500000..500030
            p.Y = i * 500;   // 4000000..4000015
            p.Z = 100 + i;   // 1.00..1.03
            a.points.push_back(p);
        }
        a.minv[0] = std::nan("");
        a.minv[1] = -2e11; a.maxv[1] = 2e11;
        lasbytes::save(s(f("lying.las")), lasbytes::build(a));
        C_DataManagement dm;
        QCOMPARE(dm.LasMerge({s(f("lying.las"))}, s(f("lying_merge.las")), nullptr), C_DataManagement::kMergeDone);
        const auto h = lasbytes::parse(lasbytes::slurp(s(f("lying_merge.las"))));
        QCOMPARE(h.count, uint64_t(4));
        QCOMPARE(h.minv[0], 500000.0);
        QCOMPARE(h.maxv[0], 500030.0);
        QCOMPARE(h.minv[1], 4000000.0);
        QCOMPARE(h.maxv[1], 4000015.0);
        QCOMPARE(h.minv[2], 1.0);
        QCOMPARE(h.maxv[2], 1.03);
    }

    void realFiles()
    {
        const QString data = QStringLiteral(VERDANTA_SHARED_DATA);
        if (!QDir(data).exists())
            QSKIP("shared/data is absent (it ships only beside the developers' clones): real-file tests skipped");
        // Merge two files, tile the result: every point exactly once.
        const std::string a = s(data + "/lidR_Topography.las"), b = s(data + "/LAStools_lake.las");
        C_DataManagement dm;
        QCOMPARE(dm.LasMerge({a, b}, s(f("real_merge.las")), nullptr), C_DataManagement::kMergeDone);
        std::vector<std::string> tiles;
        QVERIFY(dm.LasTile(s(f("real_merge.las")), s(f("real_tiles")), 100.0, 100.0, nullptr, tiles));
        const auto original = keysOf({a, b});
        QCOMPARE(original.size(), size_t(73403 + 102622));
        QCOMPARE(keysOf({s(f("real_merge.las"))}), original);
        QCOMPARE(keysOf(tiles), original);

        // Normalise fusa against a 1 m DEM of its own ground points (cell
        // means); the ground's heights then centre on zero.
        const std::string fusa = s(data + "/LAStools_fusa.las");
        CLASIO in;
        QVERIFY(in.LoadFile(fusa));
        QVERIFY(in.ReadData(nullptr));
        const double x0 = std::floor(in.header.minX), y0 = std::floor(in.header.minY);
        const int w = int(std::ceil(in.header.maxX - x0)) + 1, h = int(std::ceil(in.header.maxY - y0)) + 1;
        std::vector<double> sum(size_t(w) * h, 0), count(size_t(w) * h, 0);
        for (const PointCloud &p : in.points)
            if (p.classification == 2) {
                const size_t i = size_t(int(y0 + h - p.y)) * w + size_t(int(p.x - x0));
                sum[i] += p.z;
                ++count[i];
            }
        writeDem(f("fusa_dem.tif"), w, h, x0, y0, 1.0,
                 [&](double x, double y) {
                     const size_t i = size_t(int(y0 + h - y)) * w + size_t(int(x - x0));
                     return count[i] > 0 ? float(sum[i] / count[i]) : -9999.0f;
                 },
                 -9999, true);
        QCOMPARE(dm.LasheighNormalization(fusa, s(f("fusa_dem.tif")), s(f("fusa_n.las")), nullptr),
                 C_DataManagement::kNormDone);
        CLASIO out;
        QVERIFY(out.LoadFile(s(f("fusa_n.las"))));
        QVERIFY(out.ReadData(nullptr));
        std::vector<double> ground;
        for (const PointCloud &p : out.points)
            if (p.classification == 2)
                ground.push_back(p.z);
        std::nth_element(ground.begin(), ground.begin() + ground.size() / 2, ground.end());
        const double median = ground[ground.size() / 2];
        QVERIFY2(std::abs(median) <= 0.05, qPrintable(QString::number(median)));
    }
};

QTEST_GUILESS_MAIN(TestDataManagement)
#include "test_datamanagement.moc"
