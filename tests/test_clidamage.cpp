// verdanta-cli on LAS files whose headers lie or are damaged: the gridding
// tools (dem, dsm, las2raster) and tile read them to the points' true extent or
// stop with a message and exit status 1; a written raster has the size of
// the points' extent (read back with GDAL).

#include "CliRunner.h"
#include "LasBytes.h"
#include "RasterRead.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QtTest>

namespace {

std::string s(const QString &q) { return QFile::encodeName(q).toStdString(); }

// Ground points every 2 m over X 1000..1050, Y 2000..2040 (26 x 21 points),
// with correct header bounds.
lasbytes::File groundGrid(uint8_t minor)
{
    lasbytes::File f;
    f.format = 1;
    f.versionMinor = minor;
    f.offset[0] = 1000;
    f.offset[1] = 2000;
    for (int r = 0; r <= 20; ++r)
        for (int c = 0; c <= 25; ++c) {
            lasbytes::RawPoint p;
            p.X = c * 200;
            p.Y = r * 200;
            p.Z = 10000 + c + r;
            p.classification = 2;
            f.points.push_back(p);
        }
    f.minv[0] = 1000; f.maxv[0] = 1050;
    f.minv[1] = 2000; f.maxv[1] = 2040;
    f.minv[2] = 100; f.maxv[2] = 100.45;
    return f;
}

// Header bounds widened about the centre by a factor.
void widen(lasbytes::File &f, double factor)
{
    for (int k = 0; k < 2; ++k) {
        const double mid = 0.5 * (f.minv[k] + f.maxv[k]), half = 0.5 * (f.maxv[k] - f.minv[k]);
        f.minv[k] = mid - half * factor;
        f.maxv[k] = mid + half * factor;
    }
}

QString g10(double v) { return QString::number(v, 'g', 10); }

}  // namespace

class TestCliDamage : public QObject {
    Q_OBJECT
    QTemporaryDir dir;
    QString f(const QString &name) const { return dir.filePath(name); }

    QString save(const QString &name, const std::vector<uint8_t> &bytes)
    {
        lasbytes::save(s(f(name)), bytes);
        return f(name);
    }

    // The sum of the header counts of every tile in a folder.
    static uint64_t tilePoints(const QString &folder, int *files)
    {
        uint64_t n = 0;
        *files = 0;
        for (const QFileInfo &t : QDir(folder).entryInfoList({"*.las"}, QDir::Files)) {
            n += lasbytes::parse(lasbytes::slurp(s(t.absoluteFilePath()))).count;
            ++*files;
        }
        return n;
    }

private slots:
    // Widened a hundred-thousandfold, and a Min Y of 0:
    // the grid covers the points (26 x 21 cells of 2 m from X 1000, Y 2040),
    // with a note naming the file, the header's bounds and those used.
    void lyingHeaderBoundsGiveWayToThePoints_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<double>("minX");
        QTest::addColumn<double>("maxX");
        QTest::addColumn<double>("minY");
        QTest::addColumn<double>("maxY");
        lasbytes::File w = groundGrid(2);
        widen(w, 100000.0);
        save("wide.las", lasbytes::build(w));
        QTest::newRow("widened x100000") << "wide.las" << w.minv[0] << w.maxv[0] << w.minv[1] << w.maxv[1];
        lasbytes::File y = groundGrid(2);
        y.minv[1] = 0;
        save("miny0.las", lasbytes::build(y));
        QTest::newRow("Min Y of 0") << "miny0.las" << 1000.0 << 1050.0 << 0.0 << 2040.0;
    }
    void lyingHeaderBoundsGiveWayToThePoints()
    {
        QFETCH(QString, name);
        QFETCH(double, minX);
        QFETCH(double, maxX);
        QFETCH(double, minY);
        QFETCH(double, maxY);
        const QString in = f(name);
        const QString note = in + ": the header bounds X " + g10(minX) + ".." + g10(maxX) + ", Y " + g10(minY) +
                             ".." + g10(maxY) +
                             " are more than 10 times wider than the points; the grid uses the points' bounds "
                             "X 1000..1050, Y 2000..2040";
        const QString base = QFileInfo(name).completeBaseName();
        for (const QString &tool : {QString("dem"), QString("dsm"), QString("las2raster")}) {
            const QString out = f(base + "_" + tool + ".tif");
            QString err;
            const QStringList args{tool, "--yes", in, "-o", out};
            QCOMPARE(runCli(args, &err), 0);
            QVERIFY2(err.contains(note), qPrintable(err));
            const TestRaster r = readRaster(out);
            QCOMPARE(r.w, 26);
            QCOMPARE(r.h, 21);
            QCOMPARE(r.gt[0], 1000.0);
            QCOMPARE(r.gt[3], 2040.0);
            // The north-west cell holds one point, (1000, 2040) at Z 100.20.
            if (tool == "las2raster")
                QVERIFY2(std::abs(r.at(0, 0) - 100.20) < 1e-4, qPrintable(QString::number(r.at(0, 0))));
        }
        // Tiles follow the points, not the header: 3 x 2 tiles of 25 m.
        QString err;
        QCOMPARE(runCli({"tile", in, "--width", "25", "--height", "25", "-o", f(base + "_tiles/")}, &err), 0);
        int files = 0;
        QCOMPARE(tilePoints(f(base + "_tiles"), &files), uint64_t(546));
        QCOMPARE(files, 6);
    }

    // LAS 1.4 with a legacy count of 0 reads its 64-bit count; with both
    // counts 0 nothing is read, and each tool says so and exits 1.
    void zeroCountsInLas14()
    {
        auto legacy = lasbytes::build(groundGrid(4));
        lasbytes::put<uint32_t>(legacy, 107, 0);
        const QString ok = save("legacy0.las", legacy);
        QString err;
        QCOMPARE(runCli({"dem", "--yes", ok, "-o", f("legacy0_dem.tif")}, &err), 0);
        QCOMPARE(readRaster(f("legacy0_dem.tif")).w, 26);
        QCOMPARE(runCli({"las2raster", ok, "-o", f("legacy0_z.tif")}, &err), 0);
        QCOMPARE(readRaster(f("legacy0_z.tif")).h, 21);
        QCOMPARE(runCli({"tile", ok, "--width", "25", "--height", "25", "-o", f("legacy0_tiles/")}, &err), 0);
        int files = 0;
        QCOMPARE(tilePoints(f("legacy0_tiles"), &files), uint64_t(546));

        lasbytes::put<uint64_t>(legacy, 247, 0);
        const QString none = save("counts0.las", legacy);
        const QString why = none + ": the header declares no points, but 546 whole point records follow it; they "
                                   "are not read";
        QCOMPARE(runCli({"tile", none, "--width", "25", "--height", "25", "-o", f("counts0_tiles/")}, &err), 1);
        QVERIFY2(err.contains("No point is found! (" + why + ")"), qPrintable(err));
        QVERIFY(QDir(f("counts0_tiles")).entryList({"*.las"}).isEmpty());
        QCOMPARE(runCli({"dem", "--yes", none, "-o", f("counts0_dem.tif")}, &err), 1);
        QVERIFY2(err.contains(why), qPrintable(err));
        QCOMPARE(runCli({"las2raster", none, "-o", f("counts0_z.tif")}, &err), 1);
        QVERIFY2(err.contains(why) && err.contains("LAS data erro!"), qPrintable(err));
        QVERIFY(!QFileInfo::exists(f("counts0_dem.tif")) && !QFileInfo::exists(f("counts0_z.tif")));
    }

    // A true extent too large for the cell size: the grid's size is named
    // and nothing is written.
    void gridsBeyondMemoryAreRefused()
    {
        lasbytes::File wide = groundGrid(2);
        wide.scale[0] = wide.scale[1] = 1.0;
        wide.points.resize(2);
        wide.points[0].X = 0;
        wide.points[0].Y = 0;
        wide.points[1].X = 2000000;  // 2000 km apart
        wide.points[1].Y = 2000000;
        wide.minv[0] = 1000; wide.maxv[0] = 2001000;
        wide.minv[1] = 2000; wide.maxv[1] = 2002000;
        const QString in = save("far.las", lasbytes::build(wide));
        // 0.01 m cells: 200000001 x 200000001 cells.
        for (const QString &tool : {QString("dem"), QString("las2raster")}) {
            const QString out = f("far_" + tool + ".tif");
            QString err;
            QStringList args{tool, in, "--xsize", "0.01", "--ysize", "0.01", "-o", out};
            if (tool == "dem")
                args << "--yes";
            QCOMPARE(runCli(args, &err), 1);
            QVERIFY2(err.contains("The grid would be 200000001 columns x 200000001 rows ("), qPrintable(err));
            QVERIFY2(err.contains("; choose a larger cell size."), qPrintable(err));
            QVERIFY(!QFileInfo::exists(out));
        }
    }

    // The damaged samples: the remark names the file, and the outputs are
    // written from the sound part.
    void damagedSamples()
    {
        QString data = QStringLiteral(VERDANTA_SHARED_DATA);
        if (!QDir(data).exists())
            QSKIP("shared/data is absent (it ships only beside the developers' clones): real-file tests skipped");
        // The command line names files by their clean absolute paths.
        data = QDir::cleanPath(data);
        const QString clipped = data + "/damaged/1.2-with-color-clipped.las";
        const QString vlr = data + "/damaged/bad_vlr_count.las";
        QString err, out;
        QCOMPARE(runCli({"info", clipped, vlr}, &err, &out), 0);
        QCOMPARE(err, clipped + ": 1064 of 1065 declared points present; the file is truncated\n" + vlr +
                          ": only 2 of 3 declared variable-length records fit before the point data\n");
        QVERIFY(out.contains("Number of Point Records: 1064\n"));
        QCOMPARE(runCli({"merge", "--yes", clipped, vlr, "-o", f("damaged_merge.las")}, &err), 0);
        QVERIFY(err.contains(clipped + ": 1064 of 1065 declared points present; the file is truncated"));
        QCOMPARE(lasbytes::parse(lasbytes::slurp(s(f("damaged_merge.las")))).count, uint64_t(1064 + 10));
        QCOMPARE(runCli({"las2raster", clipped, "-o", f("clipped_z.tif")}, &err), 0);
        QVERIFY(err.contains(clipped + ": 1064 of 1065 declared points present; the file is truncated"));
        QVERIFY(readRaster(f("clipped_z.tif")).w > 0);
    }
};

QTEST_GUILESS_MAIN(TestCliDamage)
#include "test_clidamage.moc"
