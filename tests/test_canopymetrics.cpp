// Canopy cover, gap fraction and LAI: the values of small point sets
// against hand-computed numbers, the cells a block's points fall into, and
// the rasters of whole files read back with GDAL (grid, geotransform, CRS,
// blocks with too few points, block and cell mode) against brute-force
// counts, including one cell of a real normalised survey.

#include "CanopyMetrics.h"
#include "CanopyTools.h"
#include "LasBytes.h"
#include "RasterRead.h"
#include "TestFiles.h"

#include <ogr_spatialref.h>

#include <QDir>
#include <QTemporaryDir>
#include <QtTest>

#include <cmath>
#include <random>

using VerdantaIO::PointCloud;
Q_DECLARE_METATYPE(std::vector<PointCloud>)

namespace {

struct Pt {
    double x, y, z;
    int ret = 1;
    int scan = 0;  // degrees
};

PointCloud pc(double z, int ret, double scanDeg = 0)
{
    PointCloud p;
    p.z = z;
    p.returnNumber = static_cast<uint16_t>(ret);
    p.scanAngle = static_cast<int16_t>(std::lround(scanDeg / 0.006));
    return p;
}

// A LAS 1.2 format-1 file in UTM 33N whose header bounds are the given box.
void writeLas(const QString &path, const std::vector<Pt> &pts, double minX, double minY, double maxX, double maxY)
{
    lasbytes::File f;
    f.format = 1;
    f.offset[0] = 500000;
    f.offset[1] = 6000000;
    f.minv[0] = minX, f.minv[1] = minY, f.maxv[0] = maxX, f.maxv[1] = maxY;
    f.maxv[2] = 40;
    f.vlrs.push_back(utm33Keys());
    for (const Pt &p : pts) {
        lasbytes::RawPoint r;
        r.X = int32_t(std::lround((p.x - 500000) / 0.01));
        r.Y = int32_t(std::lround((p.y - 6000000) / 0.01));
        r.Z = int32_t(std::lround(p.z / 0.01));
        r.returnNumber = uint8_t(p.ret);
        r.numberOfReturns = uint8_t(std::max(1, p.ret));
        r.scanAngle = int16_t(p.scan);
        f.points.push_back(r);
    }
    lasbytes::save(QFile::encodeName(path).toStdString(), lasbytes::build(f));
}

}  // namespace

class TestCanopyMetrics : public QObject {
    Q_OBJECT
    QTemporaryDir dir;
    QString f(const QString &n) const { return dir.filePath(n); }

    TestRaster grid(const QString &las, CanopyTools::Quantity q, double xs, double ys, const QString &out)
    {
        CanopyTools::GridRequest r;
        r.quantity = q;
        r.xSize = xs;
        r.ySize = ys;
        std::string note, error;
        CProcessNull progress;
        const auto status = CanopyTools::gridFile(s(las), s(out), r, &progress, note, error);
        if (status != CanopyTools::GridStatus::Done)
            qWarning("gridFile: %s", error.c_str());
        return readRaster(out);
    }

private slots:
    // The values of one point set, HeightBreak 2 and G 0.5.
    void pointSetValues_data()
    {
        QTest::addColumn<std::vector<PointCloud>>("points");
        QTest::addColumn<float>("cover");
        QTest::addColumn<float>("gap");
        QTest::addColumn<float>("lai");
        // 4 first returns (5, 1, 3, 2.0) and 2 second returns (0.5, 4):
        // cover 2/4; gap (1, 2.0, 0.5) / 6; LAI -ln(0.5)/0.5.
        QTest::newRow("mixed, one at the break")
            << std::vector<PointCloud>{pc(5, 1), pc(1, 1), pc(3, 1), pc(2.0, 1), pc(0.5, 2), pc(4, 2)} << 0.5f
            << 0.5f << 1.3862944f;
        // The same under a mean absolute scan angle of 12 degrees:
        // -cos(12 deg) ln(0.5) / 0.5.
        QTest::newRow("scan angle 12")
            << std::vector<PointCloud>{pc(5, 1, 12), pc(1, 1, -12), pc(3, 1, 6), pc(2.0, 1, -18), pc(0.5, 2, 12),
                                       pc(4, 2, -12)}
            << 0.5f << 0.5f << 1.3560005f;
        // No gap among 4 returns: P = 1/(2*4), LAI = ln 8 / 0.5.
        QTest::newRow("P = 0") << std::vector<PointCloud>{pc(9, 1), pc(8, 2), pc(7, 3), pc(6, 1)} << 1.0f << 0.0f
                               << 4.1588831f;
        QTest::newRow("one point") << std::vector<PointCloud>{pc(9, 1)} << 1.0f << 0.0f << 1.3862944f;
        QTest::newRow("no first returns") << std::vector<PointCloud>{pc(9, 2), pc(1, 2)} << 0.0f << 0.5f
                                          << 1.3862944f;
        // Return number 0 counts as a first return.
        QTest::newRow("all return numbers 0") << std::vector<PointCloud>{pc(5, 0), pc(1, 0), pc(3, 0), pc(0, 0)}
                                              << 0.5f << 0.5f << 1.3862944f;
        QTest::newRow("all below") << std::vector<PointCloud>{pc(1, 1), pc(0, 2)} << 0.0f << 1.0f << 0.0f;
        QTest::newRow("empty") << std::vector<PointCloud>{} << 0.0f << 0.0f << 0.0f;
    }
    void pointSetValues()
    {
        QFETCH(std::vector<PointCloud>, points);
        QFETCH(float, cover);
        QFETCH(float, gap);
        QFETCH(float, lai);
        CanopyStats stats;
        stats.addAll(points, 2.0);
        QCOMPARE(stats.cover(), cover);
        QCOMPARE(stats.gapFraction(), gap);
        QVERIFY2(std::fabs(stats.lai(0.5) - lai) < 1e-5f, qPrintable(QString::number(stats.lai(0.5))));
        QVERIFY(std::isfinite(stats.lai(1e-30)));
    }

    // Points fall into cells from the rectangle's north-west corner; the far
    // edges of a block belong to its neighbours unless its size says otherwise.
    void blockCells()
    {
        auto at = [](double x, double y, double z) {
            PointCloud p = pc(z, 1);
            p.x = x;
            p.y = y;
            return p;
        };
        // Rectangle 0..20 x 0..20, cells of 10: row 0 is the north.
        std::vector<PointCloud> pts{at(5, 15, 9), at(15, 15, 1), at(5, 5, 9), at(10, 10, 9), at(20, 5, 9),
                                    at(0, 20, 1)};
        Canopy_Metrics m;
        m.canopy_for_regression(pts, 0, 20, 0, 20, 10, 10);
        QCOMPARE(m.placedPoints(), 5);  // (20, 5) lies on the far edge
        const std::vector<float> gap(m.gapGrid, m.gapGrid + 4);
        QCOMPARE(gap, (std::vector<float>{0.5f, 1.0f, 0.0f, 0.0f}));
        const std::vector<float> cover(m.coverGrid, m.coverGrid + 4);
        QCOMPARE(cover, (std::vector<float>{0.5f, 0.0f, 1.0f, 1.0f}));
        // A return at the break as typed (2.3, held as a float) is below it.
        std::vector<PointCloud> atBreak{at(1, 19, 2.3), at(2, 19, 2.31)};
        Canopy_Metrics typed;
        typed.heightBreak = 2.3f;
        typed.canopy_for_regression(atBreak, 0, 10, 10, 20, 10, 10);
        QCOMPARE(typed.gapGrid[0], 0.5f);
        Canopy_Metrics bad;
        QVERIFY(!bad.canopy_for_regression(pts, 0, 20, 0, 20, 0, 10));
        QCOMPARE(bad.coverGrid[0], 0.0f);
    }

    // A designed 60 x 60 file at 15 m cells: grid, geotransform, CRS, no
    // no-data value, and the values of the cells that hold points.
    void rasterOfAFile()
    {
        const double x0 = 500100, y0 = 6000200;
        std::vector<Pt> pts{{x0, y0, 0}, {x0 + 60, y0 + 60, 0}};  // corners: rows 4 and 0
        // Cell (row 0, column 0): 6 first returns at 10, 2 at 1, 4 second at 0.5.
        for (int i = 0; i < 12; ++i)
            pts.push_back({x0 + 1 + i, y0 + 50, i < 6 ? 10.0 : i < 8 ? 1.0 : 0.5, i < 8 ? 1 : 2});
        const QString las = f("designed.las");
        writeLas(las, pts, x0, y0, x0 + 60, y0 + 60);
        const TestRaster cover = grid(las, CanopyTools::Quantity::Cover, 15, 15, f("designed_cover.tif"));
        QCOMPARE(cover.w, 5);  // int(60 / 15 + 1)
        QCOMPARE(cover.h, 5);
        const double gt[6] = {x0, 15, 0, y0 + 60, 0, -15};
        for (int i = 0; i < 6; ++i)
            QCOMPARE(cover.gt[i], gt[i]);
        QVERIFY(!cover.hasNoData);
        QCOMPARE(cover.at(0, 0), 0.75f);
        const TestRaster gap = grid(las, CanopyTools::Quantity::Gap, 15, 15, f("designed_gap.tif"));
        QCOMPARE(gap.at(4, 0), 1.0f);  // the lone corner point on the ground
        const TestRaster lai = grid(las, CanopyTools::Quantity::Lai, 15, 15, f("designed_lai.tif"));
        QVERIFY(std::fabs(lai.at(0, 0) - 1.3862944f) < 1e-5f);
        for (float v : lai.v)
            QVERIFY(std::isfinite(v));
        GDALDatasetH ds = GDALOpen(qPrintable(f("designed_cover.tif")), GA_ReadOnly);
        OGRSpatialReference srs(GDALGetProjectionRef(ds));
        GDALClose(ds);
        QCOMPARE(srs.GetEPSGGeogCS(), 4326);
        QVERIFY(QString(srs.GetAttrValue("PROJCS")).contains("UTM zone 33N"));

        // Nine points in the whole block: every cell is 0.
        writeLas(f("nine.las"), std::vector<Pt>(pts.begin(), pts.begin() + 9), x0, y0, x0 + 60, y0 + 60);
        const TestRaster nine = grid(f("nine.las"), CanopyTools::Quantity::Gap, 15, 15, f("nine.tif"));
        QCOMPARE(nine.v, std::vector<float>(25, 0.0f));

        // The extent is truncated before the division: 99.5 wide at 0.5 gives 199.
        writeLas(f("wide.las"), {{x0, y0, 1}, {x0 + 99.5, y0 + 45.2, 1}}, x0, y0, x0 + 99.5, y0 + 45.2);
        const TestRaster wide = grid(f("wide.las"), CanopyTools::Quantity::Cover, 0.5, 0.5, f("wide.tif"));
        QCOMPARE(wide.w, 199);
        QCOMPARE(wide.h, 91);
    }

    // Blocks spanning several read groups, points on cell and block edges
    // and sparse blocks: every cell equals a brute-force count over the
    // blocks' rectangles as the gridding rules state them.
    void blocksAgainstBruteForce()
    {
        const double x0 = 500000, y0 = 6000000, W = 505, H = 133, cs = 5;
        std::mt19937 rng(11);
        std::vector<Pt> pts;
        for (int i = 0; i < 900; ++i) {
            // Half a metre steps put many points on cell and block edges.
            const double x = x0 + std::uniform_int_distribution<int>(0, int(W * 2))(rng) * 0.5;
            const double y = y0 + std::uniform_int_distribution<int>(0, int(H * 2))(rng) * 0.5;
            pts.push_back({x, y, double(std::uniform_int_distribution<int>(0, 12)(rng)),
                           std::uniform_int_distribution<int>(1, 3)(rng)});
        }
        const QString las = f("edges.las");
        writeLas(las, pts, x0, y0, x0 + W, y0 + H);
        const TestRaster gap = grid(las, CanopyTools::Quantity::Gap, cs, cs, f("edges_gap.tif"));
        const TestRaster cover = grid(las, CanopyTools::Quantity::Cover, cs, cs, f("edges_cover.tif"));
        const int cols = int(std::floor(W) / cs + 1), rows = int(std::floor(H) / cs + 1);
        QCOMPARE(gap.w, cols);
        QCOMPARE(gap.h, rows);
        const double maxY = y0 + H, maxX = x0 + W;
        int zeroBlocks = 0, checked = 0;
        for (int r0 = 0; r0 < rows; r0 += 10) {
            for (int c0 = 0; c0 < cols; c0 += 10) {
                const double bxmin = x0 + c0 * cs, bxmax = std::min(maxX, x0 + (c0 + 10) * cs);
                const double bymax = maxY - r0 * cs, bymin = std::max(y0, maxY - (r0 + 10) * cs);
                std::vector<Pt> in;
                for (const Pt &p : pts)
                    if (p.x >= bxmin && p.x <= bxmax && p.y >= bymin && p.y <= bymax)
                        in.push_back(p);
                for (int r = r0; r < std::min(rows, r0 + 10); ++r) {
                    for (int c = c0; c < std::min(cols, c0 + 10); ++c) {
                        int all = 0, below = 0, first = 0, firstAbove = 0;
                        for (const Pt &p : in) {
                            if (int(std::floor((p.x - bxmin) / cs)) != c - c0 ||
                                int(std::floor((bymax - p.y) / cs)) != r - r0)
                                continue;
                            ++all;
                            below += p.z <= 2;
                            first += p.ret == 1;
                            firstAbove += p.ret == 1 && p.z > 2;
                        }
                        const bool few = in.size() < 10;
                        const float g = few || all == 0 ? 0.0f : float(double(below) / all);
                        const float cv = few || first == 0 ? 0.0f : float(double(firstAbove) / first);
                        QVERIFY2(gap.at(r, c) == g && cover.at(r, c) == cv,
                                 qPrintable(QString("cell %1,%2: gap %3 vs %4, cover %5 vs %6")
                                                .arg(r).arg(c).arg(gap.at(r, c)).arg(g).arg(cover.at(r, c)).arg(cv)));
                        checked += all > 0;
                    }
                }
                zeroBlocks += in.size() < 10;
            }
        }
        QVERIFY(zeroBlocks > 0 && checked > 100);  // both kinds of block occur
    }

    // 30 x 30 (900) still reads blocks, 30 x 31 single cells; cells holding
    // the same points get the same values; a single sparse cell is 0 only in
    // cell mode, where the rule applies to the cell.
    void blockAndCellMode()
    {
        const double x0 = 500000, y0 = 6000000;
        std::vector<Pt> pts{{x0, y0, 0}, {x0 + 120, y0 + 93, 0}};
        // Row 0 of both grids (y above maxY - 30): 12 points in column 0 and
        // 4 in column 1.
        for (int i = 0; i < 12; ++i)
            pts.push_back({x0 + 2 + i, y0 + 70, i % 3 ? 8.0 : 1.0, 1});
        for (int i = 0; i < 4; ++i)
            pts.push_back({x0 + 32 + i, y0 + 70, i ? 8.0 : 1.0, 1});
        writeLas(f("modes.las"), pts, x0, y0, x0 + 120, y0 + 93);
        const TestRaster block = grid(f("modes.las"), CanopyTools::Quantity::Cover, 30, 30, f("block.tif"));
        const TestRaster cell = grid(f("modes.las"), CanopyTools::Quantity::Cover, 30, 31, f("cell.tif"));
        QCOMPARE(block.w, 5);
        QCOMPARE(block.h, 4);  // int(93 / 30 + 1)
        QCOMPARE(cell.h, 4);   // int(93 / 31 + 1)
        const float twoThirds = float(8.0 / 12.0);
        QCOMPARE(block.at(0, 0), twoThirds);
        QCOMPARE(cell.at(0, 0), twoThirds);
        QCOMPARE(block.at(0, 1), 0.75f);  // the block holds 18 points
        QCOMPARE(cell.at(0, 1), 0.0f);    // the cell holds 4
    }

    // Cancelling stops the file at the first step with the tool's message;
    // the gap tool words it differently after a populated cell in cell mode.
    void cancellation()
    {
        struct Refusing : CProcessNull {
            bool StepIt() override { return false; }
            void SetMessage(const char *text) override { last = text; }
            std::string last;
        };
        const double x0 = 500000, y0 = 6000000;
        std::vector<Pt> pts;
        for (int i = 0; i < 20; ++i)
            pts.push_back({x0 + i, y0 + 59 - i % 3, 5});
        pts.push_back({x0 + 60, y0, 0});
        writeLas(f("cancel.las"), pts, x0, y0, x0 + 60, y0 + 60);
        auto run = [&](CanopyTools::Quantity q, double size) {
            CanopyTools::GridRequest r;
            r.quantity = q;
            r.xSize = r.ySize = size;
            Refusing progress;
            std::string note, error;
            const auto status = CanopyTools::gridFile(s(f("cancel.las")), s(f("cancel.tif")), r, &progress, note, error);
            return status == CanopyTools::GridStatus::Cancelled ? progress.last : std::string("not cancelled");
        };
        QCOMPARE(run(CanopyTools::Quantity::Cover, 15), std::string("Canopy Cover Estimation Cancel! Exiting..."));
        QCOMPARE(run(CanopyTools::Quantity::Gap, 15), std::string("Gap Fraction Estimation Cancel! Exiting..."));
        QCOMPARE(run(CanopyTools::Quantity::Gap, 40), std::string("GapFraction Estimation Cancel! Exiting..."));
        // A raster that cannot be created fails at its first block.
        CanopyTools::GridRequest r;
        CProcessNull quiet;
        std::string note, error;
        QCOMPARE(CanopyTools::gridFile(s(f("cancel.las")), s(f("missing/x.tif")), r, &quiet, note, error),
                 CanopyTools::GridStatus::WriteFailed);
    }

    // lidR's Megaplot (normalised heights): one 15 m cell against the points
    // read with the independent byte reader.
    void realSurveyCell()
    {
        const QString data = QStringLiteral(VERDANTA_SHARED_DATA);
        if (!QDir(data).exists())
            QSKIP("shared/data is absent (it ships only beside the developers' clones): real-file test skipped");
        const QString las = f("lidR_Megaplot.las");
        QVERIFY(QFile::copy(data + "/lidR_Megaplot.las", las));
        const auto bytes = lasbytes::slurp(s(las));
        const lasbytes::Header h = lasbytes::parse(bytes);
        const TestRaster cover = grid(las, CanopyTools::Quantity::Cover, 15, 15, f("mega_cover.tif"));
        const TestRaster gap = grid(las, CanopyTools::Quantity::Gap, 15, 15, f("mega_gap.tif"));
        const TestRaster lai = grid(las, CanopyTools::Quantity::Lai, 15, 15, f("mega_lai.tif"));
        QCOMPARE(cover.w, int(std::floor(h.maxv[0] - h.minv[0]) / 15 + 1));
        // Cell (row 3, column 5) lies inside the first block (rows and
        // columns 0..9), which holds thousands of points.
        const int r = 3, c = 5;
        const double bxmin = h.minv[0], bymax = h.maxv[1];
        int all = 0, below = 0, first = 0, firstAbove = 0;
        double sumAngle = 0;
        for (uint64_t i = 0; i < h.count; ++i) {
            const auto rec = lasbytes::pointBytes(bytes, h, i, 28);
            const double x = lasbytes::get<int32_t>(rec, 0) * h.scale[0] + h.offset[0];
            const double y = lasbytes::get<int32_t>(rec, 4) * h.scale[1] + h.offset[1];
            const double z = lasbytes::get<int32_t>(rec, 8) * h.scale[2] + h.offset[2];
            if (int(std::floor((x - bxmin) / 15)) != c || int(std::floor((bymax - y) / 15)) != r)
                continue;
            const int ret = rec[14] & 7;
            ++all;
            below += z <= 2;
            first += ret <= 1;
            firstAbove += ret <= 1 && z > 2;
            sumAngle += std::abs(int(int8_t(rec[16])));
        }
        QVERIFY(all > 50 && below > 0);
        QCOMPARE(cover.at(r, c), float(double(firstAbove) / first));
        QCOMPARE(gap.at(r, c), float(double(below) / all));
        const double expected = -std::cos(sumAngle / all * M_PI / 180) * std::log(double(below) / all) / 0.5;
        QVERIFY2(std::fabs(lai.at(r, c) - expected) < 1e-4, qPrintable(QString::number(expected)));
    }
};

QTEST_MAIN(TestCanopyMetrics)
#include "test_canopymetrics.moc"
