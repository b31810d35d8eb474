// The real airborne LiDAR samples in shared/data: header values and point
// counts as an independent reader (laspy, lasinfo) reports them, a
// record-for-record identical round trip, and window reads.

#include "LasBytes.h"
#include "LasIO.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

using namespace VerdantaIO;

namespace {

struct Expected {
    const char *file;
    const char *version;
    int format;
    uint64_t points;
    double minX, maxX, minY, maxY, minZ, maxZ;
    const char *crs;  // a part of the WKT, or "" for none
};

// From the data folder's README (laspy 2.7.0 and lasinfo).
const Expected kFiles[] = {
    {"ISPRS_samp11-utm.las", "1.2", 0, 38010, 512700.87, 512834.76, 5403547.26, 5403849.99, 295.25, 404.08, "UTM zone 32N"},
    {"ISPRS_samp51-utm.las", "1.2", 0, 17845, 493967.44, 494199.85, 5419779.35, 5420209.22, 252.28, 301.66, "UTM zone 32N"},
    {"LAStools_TO_core_last_zoom.las", "1.0", 1, 213093, 630250.00, 630500.00, 4834500.00, 4834750.00, 46.83, 170.65, ""},
    {"LAStools_fusa.las", "1.1", 1, 277573, 277750.00, 277999.99, 6122250.00, 6122499.99, 42.21, 64.35, "UTM zone 54S"},
    {"LAStools_lake.las", "1.2", 1, 102622, 476941.35, 477208.56, 4366469.50, 4366726.49, 2725.29, 2768.74, ""},
    {"PDAL_1.2-with-color.las", "1.2", 3, 1065, 635619.85, 638982.55, 848899.70, 853535.43, 406.59, 586.38, ""},
    {"PDAL_4_6_crop.las", "1.2", 3, 23875, 1639600.00, 1639799.98, 1454500.02, 1454700.00, 7077.92, 7139.70, "New Mexico Central (ftUS)"},
    {"PDAL_autzen_trim.las", "1.2", 3, 110000, 636001.76, 637179.22, 848935.20, 849497.90, 406.26, 520.51, "Lambert_Conformal_Conic"},
    {"PDAL_mvk-thin.las", "1.2", 1, 6280, 2045001.76, 2049993.92, 1267501.19, 1272499.79, 95.79, 228.73, "Mississippi West"},
    {"PDAL_warsaw_small.las", "1.2", 3, 3000, 639913.26, 639946.75, 485143.14, 485175.91, 84.70, 104.55, ""},
    {"laspy_file_with_both_wkt_and_geotiff_vlrs.las", "1.4", 6, 25408, 2445180.00, 2445239.99, 604300.00, 604339.98, 1352.70, 1403.96, "Nebraska"},
    {"leafR_lidar_example.las", "1.0", 1, 112152, 837690.71, 837731.62, 9673870.66, 9673911.14, 0.00, 36.82, ""},
    {"lidR_Megaplot.las", "1.2", 1, 81590, 684766.39, 684993.29, 5017773.08, 5018007.25, 0.00, 29.97, "UTM zone 17N"},
    {"lidR_MixedConifer.las", "1.2", 1, 37657, 481260.00, 481349.99, 3812921.09, 3813010.99, 0.00, 32.07, "UTM zone 12N"},
    {"lidR_Topography.las", "1.2", 1, 73403, 273357.15, 273642.86, 5274357.14, 5274642.85, 788.99, 829.76, "MTM zone 7"},
    {"rLiDAR_LASexample1.las", "1.2", 1, 24687, 525916.39, 525976.24, 3377899.68, 3377959.49, 0.00, 13.89, ""},
    {"rlas_las14_prf6.las", "1.4", 6, 135, 487805.98, 487842.96, 5313781.18, 5313818.66, 680.72, 697.80, "UTM_10N"},
};

QString dataDir() { return QStringLiteral(VERDANTA_SHARED_DATA); }
std::string s(const QString &q) { return QFile::encodeName(q).toStdString(); }

}  // namespace

class TestRealData : public QObject {
    Q_OBJECT
    QTemporaryDir tmp;

    // Copies a sample into the temporary folder (shared/data is read-only).
    QString copy(const char *name)
    {
        const QString to = tmp.filePath(name);
        QFile::remove(to);
        QFile::copy(dataDir() + "/" + name, to);
        return to;
    }

private slots:
    void initTestCase()
    {
        if (!QDir(dataDir()).exists())
            QSKIP("shared/data is absent (it ships only beside the developers' clones): real-file tests skipped");
    }

    // The sound samples give no warning (the damaged ones are read through
    // verdanta-cli in test_clidamage, which checks their remarks and counts).
    void soundSamplesGiveNoWarning()
    {
        for (const Expected &e : kFiles) {
            CLASIO las;
            QVERIFY(las.LoadFile(s(dataDir() + "/" + e.file)));
            QVERIFY2(las.warnings().empty(), e.file);
        }
    }

    void headersMatchIndependentReader_data()
    {
        QTest::addColumn<int>("i");
        for (int i = 0; i < int(sizeof kFiles / sizeof kFiles[0]); ++i)
            QTest::newRow(kFiles[i].file) << i;
    }
    void headersMatchIndependentReader()
    {
        QFETCH(int, i);
        const Expected &e = kFiles[i];
        CLASIO las;
        QVERIFY2(las.LoadFile(s(dataDir() + "/" + e.file)), las.lastError().c_str());
        QCOMPARE(las.header.versionString(), std::string(e.version));
        QCOMPARE(int(las.header.pointDataFormat), e.format);
        QCOMPARE(las.header.numberOfPointRecords, e.points);
        QVERIFY(las.ReadData(nullptr));
        QCOMPARE(uint64_t(las.points.size()), e.points);
        double b[6] = {1e300, -1e300, 1e300, -1e300, 1e300, -1e300};
        for (const auto &p : las.points) {
            b[0] = std::min(b[0], p.x); b[1] = std::max(b[1], p.x);
            b[2] = std::min(b[2], p.y); b[3] = std::max(b[3], p.y);
            b[4] = std::min(b[4], p.z); b[5] = std::max(b[5], p.z);
        }
        const double want[6] = {e.minX, e.maxX, e.minY, e.maxY, e.minZ, e.maxZ};
        for (int k = 0; k < 6; ++k)
            QVERIFY2(std::abs(b[k] - want[k]) <= 0.01, qPrintable(QString("bound %1: %2 vs %3").arg(k).arg(b[k], 0, 'f', 4).arg(want[k])));
        const QString wkt = QString::fromStdString(las.header.spatialReference.GetWKT());
        if (*e.crs)
            QVERIFY2(wkt.contains(e.crs), qPrintable(wkt.left(120)));
        else
            QVERIFY2(wkt.isEmpty(), qPrintable(wkt.left(120)));
    }

    void roundTripKeepsEveryRecord_data() { headersMatchIndependentReader_data(); }
    void roundTripKeepsEveryRecord()
    {
        QFETCH(int, i);
        const Expected &e = kFiles[i];
        const QString in = dataDir() + "/" + e.file;
        const QString out = tmp.filePath(QString("rt_%1").arg(e.file));
        CLASIO las;
        QVERIFY(las.LoadFile(s(in)));
        QVERIFY(las.ReadData(nullptr));
        QVERIFY2(las.WriteLas(s(out)), las.lastError().c_str());

        const auto a = lasbytes::slurp(s(in)), b = lasbytes::slurp(s(out));
        const auto ha = lasbytes::parse(a), hb = lasbytes::parse(b);
        QCOMPARE(hb.count, ha.count);
        QCOMPARE(hb.format, ha.format);
        const uint16_t standard = lasbytes::standardLength(ha.format);
        for (uint64_t k = 0; k < ha.count; ++k) {
            if (lasbytes::pointBytes(a, ha, k, standard) != lasbytes::pointBytes(b, hb, k, standard))
                QFAIL(qPrintable(QString("record %1 differs").arg(k)));
        }
        for (int k = 0; k < 3; ++k) {
            QCOMPARE(hb.scale[k], ha.scale[k]);
            QCOMPARE(hb.offset[k], ha.offset[k]);
        }
        CLASIO again;
        QVERIFY(again.LoadFile(s(out)));
        QCOMPARE(again.header.spatialReference.GetWKT(), las.header.spatialReference.GetWKT());
    }

    void windowReadsOnRealFile()
    {
        const QString path = copy("lidR_Megaplot.las");
        CLASIO las;
        QVERIFY(las.LoadFile(s(path)));
        QVERIFY(las.ReadData(nullptr));
        uint64_t total = 0;
        const double x0 = las.header.minX, y0 = las.header.minY;
        for (double x = x0; x < las.header.maxX + 15; x += 15)
            for (double y = y0; y < las.header.maxY + 15; y += 15) {
                std::vector<PointCloud> cell;
                // Half-open cells, as a gridding tool uses them.
                QVERIFY(ReadData(s(path), x, x + 15, y, y + 15, cell));
                for (const auto &p : cell)
                    if (p.x < x + 15 && p.y < y + 15)
                        ++total;
            }
        QCOMPARE(total, uint64_t(las.points.size()));
    }
};

QTEST_GUILESS_MAIN(TestRealData)
#include "test_realdata.moc"
