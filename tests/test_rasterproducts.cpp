// CHM, hillshade and LAS to raster: hand-computed values, a real DEM's
// hillshade against gdaldem, a real forest's CHM, and the status values.

#include "DataInterpolation.h"
#include "DataManagement.h"
#include "Hillshade.h"
#include "LasIO.h"
#include "RasterRead.h"
#include "TestFiles.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

using namespace VerdantaIO;

namespace {

void write(const QString &path, int w, int h, const std::function<float(int, int)> &f, double cell = 1.0,
           bool withNoData = false, double noData = -9999)
{
    writeTif(path, w, h, {1000, cell, 0, 2000, 0, -cell}, [&](int c, int r) { return f(r, c); }, 1,
             withNoData ? noData : std::nan(""));
}

}  // namespace

class TestRasterProducts : public QObject {
    Q_OBJECT
    QTemporaryDir dir;
    QString f(const QString &n) const { return dir.filePath(n); }

private slots:
    void hillshadeByHand()
    {
        write(f("flat.tif"), 6, 5, [](int, int) { return 100.0f; });
        QVERIFY(computeHillshade(s(f("flat.tif")), s(f("flat_hs.tif")), HillshadeParameters()));
        TestRaster g = readRaster(f("flat_hs.tif"));
        const float expected = float(1 + 254 * std::sin(45 * 3.14159265358979323846 / 180));  // about 180.6
        for (int r = 0; r < g.h; ++r)
            for (int c = 0; c < g.w; ++c) {
                const bool edge = r == 0 || c == 0 || r == g.h - 1 || c == g.w - 1;
                QVERIFY(std::abs(g.at(r, c) - (edge ? 0.0f : expected)) < 1e-3);
            }
        QCOMPARE(g.gt[0], 1000.0);
        // One row: only no-data.
        write(f("row.tif"), 5, 1, [](int, int c) { return float(c); });
        QVERIFY(computeHillshade(s(f("row.tif")), s(f("row_hs.tif")), HillshadeParameters()));
        g = readRaster(f("row_hs.tif"));
        for (float v : g.v)
            QCOMPARE(v, 0.0f);
        // A source no-data cell makes its neighbours no-data.
        write(f("hole.tif"), 7, 7, [](int r, int c) { return r == 3 && c == 3 ? -9999.0f : 10.0f; }, 1.0, true);
        QVERIFY(computeHillshade(s(f("hole.tif")), s(f("hole_hs.tif")), HillshadeParameters()));
        g = readRaster(f("hole_hs.tif"));
        QCOMPARE(g.at(2, 2), 0.0f);
        QCOMPARE(g.at(4, 4), 0.0f);
        QVERIFY(std::abs(g.at(1, 1) - expected) < 1e-3);
        // A slope rising to the east, z = 2 x: (w0 + 2 w3 + w6) - (w2 + 2 w5 + w8) = -16 over 1 m.
        write(f("slope.tif"), 5, 5, [](int, int c) { return float(2 * c); });
        QVERIFY(computeHillshade(s(f("slope.tif")), s(f("slope_hs.tif")), HillshadeParameters()));
        g = readRaster(f("slope_hs.tif"));
        const double gx = -16.0, gy = 0.0, zf = 1.0 / 8, aspect = std::atan2(gy, gx);
        const double deg = 3.14159265358979323846 / 180;
        const double cang = (std::sin(45 * deg) - std::cos(45 * deg) * zf * std::sqrt(gx * gx) * std::sin(aspect - 315 * deg)) /
                            std::sqrt(1 + zf * zf * gx * gx);
        QVERIFY(std::abs(g.at(2, 2) - float(cang <= 0 ? 1 : 1 + 254 * cang)) < 1e-3);
    }

    void hillshadeAgreesWithGdaldem()
    {
        const QString las = QStringLiteral(VERDANTA_SHARED_DATA) + "/LAStools_fusa.las";
        if (!QFile::exists(las))
            QSKIP("shared/data is absent (it ships only beside the developers' clones): real-file tests skipped");
        C_DataInterpolation idw;
        idw.cellSizeX = idw.cellSizeY = 1.0;
        idw.flagA = true;
        QCOMPARE(idw.IDW({s(las)}, s(f("fusa_dem.tif")), 300.0, nullptr), C_DataInterpolation::kDone);
        QVERIFY(computeHillshade(s(f("fusa_dem.tif")), s(f("fusa_hs.tif")), HillshadeParameters{1.0f, 315.0f, 45.0f}));
        QProcess gdaldem;
        gdaldem.start("gdaldem", {"hillshade", "-q", "-az", "315", "-alt", "45", "-z", "1", f("fusa_dem.tif"), f("gdal_hs.tif")});
        QVERIFY(gdaldem.waitForFinished(60000));
        QCOMPARE(gdaldem.exitCode(), 0);
        const TestRaster ours = readRaster(f("fusa_hs.tif")), theirs = readRaster(f("gdal_hs.tif"));
        QCOMPARE(ours.w, theirs.w);
        int worst = 0;
        for (int r = 1; r < ours.h - 1; ++r)
            for (int c = 1; c < ours.w - 1; ++c)
                worst = std::max(worst, int(std::abs(std::lround(ours.at(r, c)) - int(theirs.at(r, c)))));
        QVERIFY2(worst <= 1, qPrintable(QString("largest difference %1 grey levels").arg(worst)));
    }

    void chmOfARealForest()
    {
        const QString las = QStringLiteral(VERDANTA_SHARED_DATA) + "/lidR_Megaplot.las";
        if (!QFile::exists(las))
            QSKIP("shared/data is absent (it ships only beside the developers' clones): real-file tests skipped");
        C_DataInterpolation dem, dsm;
        dem.cellSizeX = dem.cellSizeY = dsm.cellSizeX = dsm.cellSizeY = 1.0;
        dem.flagA = true;
        dsm.selectorCode = 6;
        dsm.flagB = true;
        QCOMPARE(dem.IDW({s(las)}, s(f("mp_dem.tif")), 300.0, nullptr), C_DataInterpolation::kDone);
        QCOMPARE(dsm.IDW({s(las)}, s(f("mp_dsm.tif")), 3.0, nullptr), C_DataInterpolation::kDone);
        C_DataManagement dm;
        std::vector<std::string> dsms{s(f("mp_dsm.tif"))};
        QCOMPARE(dm.MakeCHM(s(f("mp_dem.tif")), dsms, s(f("mp_chm.tif")), nullptr), C_DataManagement::kChmDone);
        const TestRaster chm = readRaster(f("mp_chm.tif")), d = readRaster(f("mp_dsm.tif")), e = readRaster(f("mp_dem.tif"));
        QVERIFY(chm.hasNoData);
        float lo = 1e9, hi = -1e9;
        for (size_t i = 0; i < chm.v.size(); ++i) {
            const bool inputHole = d.v[i] == float(d.noData) || e.v[i] == float(e.noData);
            QCOMPARE(chm.v[i] == float(chm.noData), inputHole);  // no-data only where an input has it
            if (!inputHole) {
                lo = std::min(lo, chm.v[i]);
                hi = std::max(hi, chm.v[i]);
            }
        }
        QCOMPARE(lo, 0.0f);
        QVERIFY2(hi > 25 && hi <= 30.5, qPrintable(QString::number(hi)));  // the tallest tree: 29.97 m

        // Mismatched grids.
        write(f("small.tif"), 10, 10, [](int, int) { return 1.0f; });
        QCOMPARE(dm.MakeCHM(s(f("small.tif")), dsms, s(f("x.tif")), nullptr), C_DataManagement::kChmMismatch);
        QCOMPARE(dm.MakeCHM(s(f("none.tif")), dsms, s(f("x.tif")), nullptr), C_DataManagement::kChmDemFailed);
        std::vector<std::string> none{s(f("none.tif"))};
        QCOMPARE(dm.MakeCHM(s(f("mp_dem.tif")), none, s(f("x.tif")), nullptr), C_DataManagement::kChmDsmFailed);
        QCOMPARE(dm.MakeCHM(s(f("mp_dem.tif")), dsms, "/nonexistent-folder/x.tif", nullptr), C_DataManagement::kChmCreateFailed);
    }

    void chmClampsAndHoles()
    {
        write(f("dsm.tif"), 4, 3, [](int r, int c) { return r == 0 && c == 0 ? -9999.0f : float(10 + c); }, 1.0, true);
        write(f("dem.tif"), 4, 3, [](int, int c) { return c == 3 ? 20.0f : 11.0f; });
        C_DataManagement dm;
        std::vector<std::string> dsms{s(f("dsm.tif"))};
        QCOMPARE(dm.MakeCHM(s(f("dem.tif")), dsms, s(f("chm.tif")), nullptr), C_DataManagement::kChmDone);
        const TestRaster g = readRaster(f("chm.tif"));
        QCOMPARE(g.at(0, 0), float(g.noData));
        QCOMPARE(g.at(1, 0), 0.0f);   // 10 - 11 clamped
        QCOMPARE(g.at(1, 2), 1.0f);   // 12 - 11
        QCOMPARE(g.at(2, 3), 0.0f);   // 13 - 20 clamped
    }

    void lasToRasterAttributes()
    {
        CLASIO las;
        las.header.pointDataFormat = 1;
        auto add = [&](double x, double y, double z, int intensity, int angle, int ret, int rets) {
            PointCloud p;
            p.x = x;
            p.y = y;
            p.z = z;
            p.intensity = static_cast<uint16_t>(intensity);
            p.scanAngle = static_cast<int16_t>(std::lround(angle / 0.006));
            p.returnNumber = static_cast<uint16_t>(ret);
            p.numberOfReturns = static_cast<uint8_t>(rets);
            las.points.push_back(p);
        };
        // Cell (row 0, column 0) of a 2 m grid over 0..4 x 0..4: x < 2, y > 2.
        add(0.5, 3.5, 10, 100, -10, 1, 3);
        add(1.0, 3.0, 12, 200, 20, 3, 3);
        add(1.5, 2.5, 11, 300, -30, 2, 2);
        add(3.5, 0.5, 5, 50, 5, 1, 1);  // cell (1, 1)
        add(0, 0, 0, 0, 0, 1, 1);
        add(4, 4, 0, 0, 0, 1, 1);
        QVERIFY(las.WriteLas(s(f("attr.las"))));
        std::vector<std::string> paths{s(f("attr.las"))};
        C_DataManagement dm;
        auto cell = [&](int code, int r, int c) {
            const QString out = f(QString("attr_%1.tif").arg(code));
            if (dm.LasRastersize(true, paths, s(out), 2.0, 2.0, code, nullptr) != C_DataManagement::kRasterDone)
                return -1e9f;
            return readRaster(out).at(r, c);
        };
        QCOMPARE(cell(C_DataManagement::Z, 0, 0), 12.0f);
        QCOMPARE(cell(C_DataManagement::Intensity, 0, 0), 200.0f);
        QVERIFY(std::abs(cell(C_DataManagement::ScanAngle, 0, 0) - 20.0f) < 0.01f);
        QCOMPARE(cell(C_DataManagement::ReturnNumber, 0, 0), 3.0f);
        QCOMPARE(cell(C_DataManagement::NumberOfReturns, 0, 0), 3.0f);
        QCOMPARE(cell(C_DataManagement::Z, 1, 1), 5.0f);
        QCOMPARE(cell(C_DataManagement::Z, 1, 0), C_DataManagement::kNoData);  // an empty cell
        const TestRaster g = readRaster(f("attr_3.tif"));
        QCOMPARE(g.w, 3);  // int(int(4) / 2 + 1)
        QVERIFY(g.hasNoData);

        std::vector<std::string> bad{s(f("attr.las")), s(f("none.las"))};
        QCOMPARE(dm.LasRastersize(true, bad, s(f("x.tif")), 2, 2, 3, nullptr), 2);
        QCOMPARE(dm.LasRastersize(true, paths, "/nonexistent-folder/x.tif", 2, 2, 3, nullptr),
                 C_DataManagement::kRasterCreateFailed);
        CLASIO empty;
        QVERIFY(empty.WriteLas(s(f("empty.las"))));
        std::vector<std::string> none{s(f("empty.las"))};
        QCOMPARE(dm.LasRastersize(true, none, s(f("x.tif")), 2, 2, 3, nullptr), C_DataManagement::kRasterDataError);
    }
};

QTEST_GUILESS_MAIN(TestRasterProducts)
#include "test_rasterproducts.moc"
