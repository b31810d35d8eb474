// Catalogues (.vpc), windowed runs and the tiled Snakemake workflow, on a
// generated area of 4 x 4 LAS tiles. The catalogue is read back with Qt's
// JSON reader, LAS outputs byte by byte, rasters with GDAL.

#include "CatalogRun.h"
#include "CliRunner.h"
#include "LasIO.h"
#include "LasBytes.h"
#include "RasterRead.h"
#include "SyntheticArea.h"

#include <QDir>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QtTest>

#include <ogr_spatialref.h>

#include <algorithm>
#include <set>

namespace {

// Every point of a LAS file: its coordinates in millimetres, then the
// bytes of the rest of its record; sorted. Two files hold the same points
// when these agree, whatever offsets their writers chose.
std::vector<std::string> records(const QString &path)
{
    const auto bytes = lasbytes::slurp(QFile::encodeName(path).toStdString());
    const lasbytes::Header h = lasbytes::parse(bytes);
    std::vector<std::string> list;
    for (uint64_t i = 0; i < h.count; ++i) {
        const auto rec = lasbytes::pointBytes(bytes, h, i, h.recordLength);
        int64_t mm[3];
        for (int k = 0; k < 3; ++k) {
            int32_t v;
            std::memcpy(&v, rec.data() + 4 * k, 4);
            mm[k] = std::llround((v * h.scale[k] + h.offset[k]) * 1000.0);
        }
        std::string key(reinterpret_cast<const char *>(mm), sizeof mm);
        key.append(rec.begin() + 12, rec.end());
        list.push_back(key);
    }
    std::sort(list.begin(), list.end());
    return list;
}

// The X and Y of a point from records().
void xyOf(const std::string &rec, double &x, double &y)
{
    int64_t mm[2];
    std::memcpy(mm, rec.data(), sizeof mm);
    x = mm[0] / 1000.0;
    y = mm[1] / 1000.0;
}

QJsonObject readJson(const QString &path)
{
    QFile f(path);
    f.open(QIODevice::ReadOnly);
    return QJsonDocument::fromJson(f.readAll()).object();
}

}  // namespace

class TestCatalog : public QObject {
    Q_OBJECT
    QTemporaryDir dir;
    QString area, vpc;
    std::vector<std::string> files;

private slots:
    void initTestCase()
    {
        QVERIFY(dir.isValid());
        area = dir.filePath("survey");
        QDir().mkpath(area + "/tiles");
        SyntheticArea::Area a;
        files = SyntheticArea::write(QFile::encodeName(area + "/tiles").toStdString(), a);
        vpc = area + "/area.vpc";
        QString err;
        QStringList args{"catalog"};
        for (const auto &f : files)
            args << QString::fromStdString(f);
        args << "-o" << vpc;
        QCOMPARE(runCli(args, &err), 0);
    }

    // The catalogue, field by field, against the files' own headers and an
    // independent transformation to WGS 84.
    void catalogueFields()
    {
        const QJsonObject doc = readJson(vpc);
        QCOMPARE(doc["type"].toString(), QString("FeatureCollection"));
        const QJsonArray features = doc["features"].toArray();
        QCOMPARE(features.size(), 16);
        OGRSpatialReference utm, wgs;
        utm.importFromEPSG(32633);
        wgs.importFromEPSG(4326);
        utm.SetAxisMappingStrategy(OAMS_TRADITIONAL_GIS_ORDER);
        wgs.SetAxisMappingStrategy(OAMS_TRADITIONAL_GIS_ORDER);
        std::unique_ptr<OGRCoordinateTransformation> ct(OGRCreateCoordinateTransformation(&utm, &wgs));
        for (int i = 0; i < 16; ++i) {
            const QJsonObject item = features[i].toObject();
            const QJsonObject props = item["properties"].toObject();
            QCOMPARE(item["type"].toString(), QString("Feature"));
            QCOMPARE(item["stac_version"].toString(), QString("1.0.0"));
            const QJsonArray ext = item["stac_extensions"].toArray();
            QCOMPARE(ext.size(), 2);
            QVERIFY(ext[0].toString().contains("/pointcloud/"));
            QVERIFY(ext[1].toString().contains("/projection/"));
            const QString name = QFileInfo(QString::fromStdString(files[size_t(i)])).fileName();
            QCOMPARE(item["id"].toString(), QFileInfo(name).completeBaseName());
            QCOMPARE(item["assets"].toObject()["data"].toObject()["href"].toString(), "./tiles/" + name);
            const auto bytes = lasbytes::slurp(files[size_t(i)]);
            const lasbytes::Header h = lasbytes::parse(bytes);
            QCOMPARE(qint64(props["pc:count"].toDouble()), qint64(h.count));
            QCOMPARE(props["pc:type"].toString(), QString("lidar"));
            QStringList dims;
            for (const QJsonValue &d : props["pc:schemas"].toArray())
                dims << d.toObject()["name"].toString();
            QVERIFY2(dims.contains("X") && dims.contains("GpsTime") && !dims.contains("Red"), qPrintable(dims.join(",")));
            const QJsonArray pb = props["proj:bbox"].toArray();
            QCOMPARE(pb.size(), 6);
            QCOMPARE(pb[0].toDouble(), h.minv[0]);
            QCOMPARE(pb[1].toDouble(), h.minv[1]);
            QCOMPARE(pb[2].toDouble(), h.minv[2]);
            QCOMPARE(pb[3].toDouble(), h.maxv[0]);
            QCOMPARE(pb[4].toDouble(), h.maxv[1]);
            QCOMPARE(pb[5].toDouble(), h.maxv[2]);
            const QJsonArray ring = props["proj:geometry"].toObject()["coordinates"].toArray()[0].toArray();
            QCOMPARE(ring.size(), 5);
            QCOMPARE(ring[2].toArray()[0].toDouble(), h.maxv[0]);
            QCOMPARE(ring[2].toArray()[1].toDouble(), h.maxv[1]);
            OGRSpatialReference fromWkt;
            QCOMPARE(fromWkt.importFromWkt(props["proj:wkt2"].toString().toUtf8().constData()), OGRERR_NONE);
            QVERIFY(fromWkt.IsSame(&utm));
            // WGS 84: the corners of the native box, transformed here (over
            // 40 m the edges bend by far less than 1e-6 degree).
            double x[4] = {h.minv[0], h.maxv[0], h.maxv[0], h.minv[0]}, y[4] = {h.minv[1], h.minv[1], h.maxv[1], h.maxv[1]};
            QVERIFY(ct->Transform(4, x, y));
            const QJsonArray bb = item["bbox"].toArray();
            QCOMPARE(bb.size(), 6);
            QVERIFY(std::fabs(bb[0].toDouble() - *std::min_element(x, x + 4)) < 1e-6);
            QVERIFY(std::fabs(bb[1].toDouble() - *std::min_element(y, y + 4)) < 1e-6);
            QVERIFY(std::fabs(bb[3].toDouble() - *std::max_element(x, x + 4)) < 1e-6);
            QVERIFY(std::fabs(bb[4].toDouble() - *std::max_element(y, y + 4)) < 1e-6);
            QCOMPARE(bb[2].toDouble(), h.minv[2]);
            const QJsonArray g = item["geometry"].toObject()["coordinates"].toArray()[0].toArray();
            QCOMPARE(g.size(), 5);
            for (int k = 0; k < 4; ++k) {
                QVERIFY(std::fabs(g[k].toArray()[0].toDouble() - x[k]) < 1e-9);
                QVERIFY(std::fabs(g[k].toArray()[1].toDouble() - y[k]) < 1e-9);
            }
        }
    }

    // The catalogue moves with its folder; missing files, counts and bounds
    // that disagree, and mixed coordinate systems are named.
    void catalogueChecks()
    {
        QTemporaryDir other;
        const QString moved = other.filePath("moved");
        QVERIFY(QDir().rename(area, moved));
        QString err, out;
        const QString merged = other.filePath("all.las");
        const int status = runCli({"merge", moved + "/area.vpc", "-o", merged}, &err, &out);
        QVERIFY(QDir().rename(moved, area));
        QVERIFY2(status == 0, qPrintable(err));
        qint64 total = 0;
        for (const auto &f : files)
            total += qint64(lasbytes::parse(lasbytes::slurp(f)).count);
        QCOMPARE(qint64(records(merged).size()), total);

        // A missing file, then a count that disagrees.
        const QString broken = area + "/broken.vpc";
        QFile::remove(broken);
        QFile::copy(vpc, broken);
        QFile::rename(area + "/tiles/tile_1_2.las", area + "/tiles/aside.las");
        QCOMPARE(runCli({"dem", "--yes", broken, "-o", other.filePath("d.tif")}, &err), 1);
        QFile::rename(area + "/tiles/aside.las", area + "/tiles/tile_1_2.las");
        const QString missing = area + "/tiles/tile_1_2.las";
        QCOMPARE(err.trimmed(), missing + " is missing: the catalogue " + broken + " lists it");

        QJsonObject doc = readJson(vpc);
        QJsonArray features = doc["features"].toArray();
        QJsonObject item = features[5].toObject(), props = item["properties"].toObject();
        const qint64 count = qint64(props["pc:count"].toDouble());
        props["pc:count"] = double(count + 3);
        item["properties"] = props;
        features[5] = item;
        doc["features"] = features;
        QFile f(broken);
        QVERIFY(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
        f.write(QJsonDocument(doc).toJson());
        f.close();
        QCOMPARE(runCli({"dem", "--yes", broken, "-o", other.filePath("d.tif")}, &err), 1);
        QCOMPARE(err.trimmed(), QString::fromStdString(files[5]) + " holds " + QString::number(count) +
                                    " points, the catalogue " + broken + " gives " + QString::number(count + 3));

        // Two files of different systems make no catalogue.
        VerdantaIO::CLASIO las;
        QVERIFY(las.LoadFile(files[0]) && las.ReadData(nullptr));
        OGRSpatialReference other32;
        other32.importFromEPSG(32632);
        char *w = nullptr;
        other32.exportToWkt(&w);
        las.header.vlrs = {SyntheticArea::wktRecord(w)};
        CPLFree(w);
        const QString zone32 = other.filePath("zone32.las");
        QVERIFY(las.WriteLas(QFile::encodeName(zone32).toStdString()));
        QCOMPARE(runCli({"catalog", QString::fromStdString(files[1]), zone32, "-o", other.filePath("x.vpc")}, &err), 1);
        QCOMPARE(err.trimmed(), QString("The files lie in different coordinate systems (tile_1_0.las: WGS 84 / UTM "
                                        "zone 33N; zone32.las: WGS 84 / UTM zone 32N). A catalogue holds files of "
                                        "one coordinate system."));
        QVERIFY(!QFileInfo::exists(other.filePath("x.vpc")));

        // A tool whose output no tile can hold alone is refused, not cut.
        QCOMPARE(runCli({"plan", "--workdir", other.filePath("W"), "boundary", vpc, "-o", other.filePath("b.vpc")}, &err),
                 1);
        QCOMPARE(err.trimmed(), QString("boundary cannot be tiled: its outline is drawn around all the points it "
                                        "reads, and each window would get an outline of its own. Give it the "
                                        "catalogue (.vpc) as a whole."));
        QVERIFY(!QFileInfo::exists(other.filePath("W/Snakefile")));
    }

    // Windows whose corners lie on the corners of four files: the output
    // holds exactly the points of the window, from all four; a window
    // outside the area writes an empty file and succeeds.
    void windowsOnTileCorners()
    {
        QTemporaryDir out;
        std::vector<std::string> all;
        for (const auto &f : files) {
            const auto r = records(QString::fromStdString(f));
            all.insert(all.end(), r.begin(), r.end());
        }
        const double x0 = SyntheticArea::kOriginX, y0 = SyntheticArea::kOriginY;
        struct Case { double minX, minY, maxX, maxY; };
        // Around the corner of tiles (0,0)-(1,1); the north-east quarter of
        // the area, whose east and north sides lie on the area's bounds.
        const Case cases[] = {{x0 + 20, y0 + 20, x0 + 60, y0 + 60}, {x0 + 80, y0 + 80, x0 + 160, y0 + 160}};
        std::set<std::string> seen;
        for (const Case &c : cases) {
            const QString window = QString("%1,%2,%3,%4").arg(c.minX, 0, 'f', 3).arg(c.minY, 0, 'f', 3)
                                       .arg(c.maxX, 0, 'f', 3).arg(c.maxY, 0, 'f', 3);
            const QString o = out.filePath("w.las");
            QString err;
            QCOMPARE(runCli({"merge", "--window", window, vpc, "-o", o}, &err), 0);
            const auto got = records(o);
            std::vector<std::string> expected;
            for (const auto &rec : all) {
                double x, y;
                xyOf(rec, x, y);
                const bool east = c.maxX >= x0 + 159, north = c.maxY >= y0 + 159;
                if (x >= c.minX && (x < c.maxX || east) && y >= c.minY && (y < c.maxY || north))
                    expected.push_back(rec);
            }
            std::sort(expected.begin(), expected.end());
            QVERIFY(expected.size() > 1000);
            QCOMPARE(got.size(), expected.size());
            QVERIFY(got == expected);
            // A per-point tool on the window: its points alone, whole.
            const QString ground = out.filePath("ground.las");
            QCOMPARE(runCli({"extract-class", "--classes", "2", "--window", window, vpc, "-o", ground}, &err), 0);
            std::vector<std::string> expectedGround;
            for (const auto &rec : expected)
                if ((uint8_t(rec[24 + 15 - 12]) & 31) == 2)  // format 1: the class at byte 15 of the record
                    expectedGround.push_back(rec);
            QVERIFY(expectedGround.size() > 100);
            QVERIFY(records(ground) == expectedGround);
        }
        QString err;
        const QString empty = out.filePath("empty.las");
        QCOMPARE(runCli({"merge", "--window", "0,0,10,10", vpc, "-o", empty}, &err), 0);
        QVERIFY2(err.contains("The window 0,0,10,10 lies outside the dataset"), qPrintable(err));
        QCOMPARE(lasbytes::parse(lasbytes::slurp(QFile::encodeName(empty).toStdString())).count, uint64_t(0));
    }

    // A catalogue of LAZ and LAS tiles is the same dataset as the one of LAS
    // tiles: a window across both kinds gives the same points (through a
    // working file, and as LAZ) and the same DEM (points in memory, read
    // through the index and streamed).
    void mixedLazCatalogue()
    {
        QTemporaryDir out;
        QStringList args{"catalog"};
        for (size_t i = 0; i < files.size(); ++i) {
            QString path = QString::fromStdString(files[i]);
            if (i % 2 == 0) {
                VerdantaIO::CLASIO las;
                QVERIFY(las.LoadFile(files[i]) && las.ReadData(nullptr));
                path = out.filePath(QFileInfo(path).completeBaseName() + ".laz");
                QVERIFY(VerdantaIO::WriteLasFile(QFile::encodeName(path).toStdString(), las.header, las.points));
            }
            args << path;
        }
        const QString mixed = out.filePath("mixed.vpc");
        QString err;
        QCOMPARE(runCli(args + QStringList{"-o", mixed}, &err), 0);
        const double x0 = SyntheticArea::kOriginX, y0 = SyntheticArea::kOriginY;
        const QString window = QString("%1,%2,%3,%4").arg(x0 + 20, 0, 'f', 3).arg(y0 + 30, 0, 'f', 3)
                                   .arg(x0 + 70, 0, 'f', 3).arg(y0 + 90, 0, 'f', 3);
        const QString a = out.filePath("las.las"), b = out.filePath("mixed.las"), c = out.filePath("mixed.laz");
        QCOMPARE(runCli({"merge", "--window", window, vpc, "-o", a}, &err), 0);
        QVERIFY2(runCli({"merge", "--window", window, mixed, "-o", b}, &err) == 0, qPrintable(err));
        QCOMPARE(runCli({"merge", "--window", window, mixed, "-o", c}, &err), 0);
        const auto expected = records(a);
        QVERIFY(expected.size() > 1000);
        QVERIFY(records(b) == expected);
        VerdantaIO::CLASIO laz;
        QVERIFY(laz.LoadFile(QFile::encodeName(c).toStdString()) && laz.ReadData(nullptr));
        QCOMPARE(laz.points.size(), expected.size());
        const QStringList dem{"dem", "--xsize", "1", "--ysize", "1", "--yes", "--window", window};
        QCOMPARE(runCli(dem + QStringList{vpc, "-o", out.filePath("las.tif")}, &err), 0);
        QCOMPARE(runCli(dem + QStringList{mixed, "-o", out.filePath("mixed.tif")}, &err), 0);
        const TestRaster r1 = readRaster(out.filePath("las.tif")), r2 = readRaster(out.filePath("mixed.tif"));
        QCOMPARE(r1.w, 50);
        QCOMPARE(r1.h, 60);
        QCOMPARE(r2.w, r1.w);
        QCOMPARE(r2.h, r1.h);
        QVERIFY(std::equal(r1.gt, r1.gt + 6, r2.gt));
        QVERIFY(r1.v == r2.v);
    }

    // Tree identifiers from the apex position: the same apex found in two
    // tiles gets one identifier, apexes 1 cm apart get different ones.
    void apexIdentifiers()
    {
        const double x = SyntheticArea::kOriginX + 123.456, y = SyntheticArea::kOriginY + 78.9;
        QCOMPARE(CatalogRun::apexId(x, y), CatalogRun::apexId(x + 0.004, y - 0.004));
        std::set<uint64_t> ids;
        for (int i = 0; i < 100; ++i)
            for (int j = 0; j < 100; ++j)
                ids.insert(CatalogRun::apexId(x + i * 0.01, y + j * 0.01));
        QCOMPARE(ids.size(), size_t(10000));
        QVERIFY(CatalogRun::apexId(-5.0, 3.0) != CatalogRun::apexId(5.0, 3.0));
    }

    // The tiled workflow gives what one run over the catalogue gives.
    // Point cloud segmentation tile by tile (--window on the 40 m tiles,
    // with the 20 m buffer the tool declares) against one run over the
    // whole catalogue: the same tree table with no tree twice, and every
    // point with the same tree number (treeID and point source ID).
    void treesAcrossTiles()
    {
        // Heights above the generator's terrain, so that the trees stand
        // on 0.
        const QString norm = area + "/norm";
        QDir().mkpath(norm);
        QStringList args{"catalog"};
        for (const auto &f : files) {
            VerdantaIO::CLASIO las;
            QVERIFY(las.LoadFile(f) && las.ReadData(nullptr));
            for (auto &p : las.points)
                p.z = std::max(0.0, p.z - SyntheticArea::terrain(p.x - SyntheticArea::kOriginX,
                                                                p.y - SyntheticArea::kOriginY));
            const QString path = norm + "/" + QFileInfo(QString::fromStdString(f)).fileName();
            QVERIFY(las.WriteLas(QFile::encodeName(path).toStdString()));
            args << path;
        }
        QString err;
        QCOMPARE(runCli(args + QStringList{"-o", norm + "/norm.vpc"}, &err), 0);
        QTemporaryDir out;
        QVERIFY2(runCli({"pcs", norm + "/norm.vpc", "-o", out.filePath("all.csv")}, &err) == 0, qPrintable(err));
        auto rows = [](const QString &path) {
            QFile f(path);
            f.open(QIODevice::ReadOnly);
            QStringList list = QString::fromUtf8(f.readAll()).split('\n', Qt::SkipEmptyParts);
            list.removeFirst();
            return list;
        };
        QStringList tiled;
        std::vector<std::string> points;
        for (int r = 0; r < 4; ++r)
            for (int c = 0; c < 4; ++c) {
                const double x = SyntheticArea::kOriginX + 40 * c, y = SyntheticArea::kOriginY + 40 * r;
                const QString window = QString("%1,%2,%3,%4").arg(x, 0, 'f', 0).arg(y, 0, 'f', 0)
                                           .arg(x + 40, 0, 'f', 0).arg(y + 40, 0, 'f', 0);
                const QString table = out.filePath(QString("r%1c%2.csv").arg(r).arg(c));
                QVERIFY2(runCli({"pcs", "--window", window, norm + "/norm.vpc", "-o", table}, &err) == 0,
                         qPrintable(err));
                tiled += rows(table);
                const auto tile = records(out.filePath(QString("r%1c%2.las").arg(r).arg(c)));
                points.insert(points.end(), tile.begin(), tile.end());
            }
        QStringList whole = rows(out.filePath("all.csv"));
        QVERIFY(whole.size() > 150);
        std::set<QString> tops;
        for (const QString &row : tiled)
            tops.insert(row.section(',', 0, 1));
        QCOMPARE(tops.size(), size_t(tiled.size()));
        std::sort(tiled.begin(), tiled.end());
        std::sort(whole.begin(), whole.end());
        QCOMPARE(tiled, whole);
        std::sort(points.begin(), points.end());
        const auto all = records(out.filePath("all.las"));
        QCOMPARE(points.size(), all.size());
        QVERIFY(points == all);
    }

    void workflowEquivalence()
    {
        const QString snakemake = QStandardPaths::findExecutable("snakemake");
        if (snakemake.isEmpty())
            QSKIP("snakemake is not installed (scripts/deps.sh installs it); the tiled workflow is not tested");
        QTemporaryDir out;
        const QString single = out.filePath("single"), tiled = out.filePath("tiled"), work = out.filePath("work");
        QDir().mkpath(single);
        QDir().mkpath(tiled);
        QString err, stdOut;
        // One process over the catalogue.
        const QStringList demArgs{"--xsize", "1", "--ysize", "1"};
        QCOMPARE(runCli(QStringList{"dem"} + demArgs + QStringList{"--yes", vpc, "-o", single + "/dem.tif"}, &err), 0);
        QCOMPARE(runCli(QStringList{"dsm"} + demArgs + QStringList{"--yes", vpc, "-o", single + "/dsm.tif"}, &err), 0);
        QCOMPARE(runCli({"chm", "--dem", single + "/dem.tif", "--dsm", single + "/dsm.tif", "-o", single + "/chm.tif"},
                        &err), 0);
        QCOMPARE(runCli({"elevation-metrics", "--xsize", "5", "--ysize", "5", "--yes", vpc, "-o",
                         single + "/metrics.csv"}, &err), 0);
        QCOMPARE(runCli({"cover", "--xsize", "2", "--ysize", "2", "--yes", vpc, "-o", single + "/cover.tif"}, &err), 0);
        QCOMPARE(runCli({"normalize", "--dem", single + "/dem.tif", vpc, "-o", single + "/norm.las"}, &err), 0);

        // The same as one workflow of 16 tiles of 40 m, chained.
        QVERIFY2(runCli(QStringList{"plan", "--workdir", work, "--tile-size", "40", "--memory", "2G", "--cores", "2",
                                    "dem"} + demArgs + QStringList{vpc, "-o", tiled + "/dem.vrt", "then", "dsm"} +
                            demArgs + QStringList{vpc, "-o", tiled + "/dsm.vrt", "then", "chm", "--dem",
                                                  tiled + "/dem.vrt", "--dsm", tiled + "/dsm.vrt", "-o",
                                                  tiled + "/chm.tif", "then", "elevation-metrics", "--xsize", "5",
                                                  "--ysize", "5", vpc, "-o", tiled + "/metrics.csv", "then",
                                                  "cover", "--xsize", "2", "--ysize", "2", vpc, "-o",
                                                  tiled + "/cover.vrt", "then", "normalize", "--dem",
                                                  single + "/dem.tif", vpc, "-o", tiled + "/norm.vpc"},
                        &err, &stdOut) == 0,
                 qPrintable(err));
        QVERIFY2(stdOut.contains("16 tiles of 40 m"), qPrintable(stdOut));
        // The buffers the tools declare reach the jobs: the DEM's 300 cells
        // capped at 25 m plus one cell, none for the per-point normalisation.
        QFile sf(work + "/Snakefile");
        QVERIFY(sf.open(QIODevice::ReadOnly));
        const QString snake = QString::fromUtf8(sf.readAll());
        QVERIFY2(snake.contains("# Generating DEM: buffer 26 m (300 x --xsize, at most 25 m + 1 cell)"),
                 qPrintable(snake.left(3000)));
        QVERIFY(snake.contains("# LasNormalization: buffer 0 m (0 m)"));
        QVERIFY(snake.contains("# Elevation Metrics: buffer 5 m (0 m + 1 cell)"));

        auto snake_ = [&](const QStringList &extra) {
            QProcess p;
            p.setProcessChannelMode(QProcess::MergedChannels);
            p.setWorkingDirectory(work);  // where Snakemake keeps its logs
            p.start(snakemake, extra + QStringList{"-s", work + "/Snakefile", "--cores", "2", "-q"});
            p.waitForFinished(600000);
            const QString log = QString::fromLocal8Bit(p.readAll());
            // A failing job's message comes last in Snakemake's log.
            return p.exitCode() == 0 ? QString() : log.isEmpty() ? QString("failed") : log.right(1500);
        };
        // An interrupted run: two tiles of the DEM done, then the whole run,
        // which must leave them alone.
        const QString t1 = work + "/tiles/s1_dem/r000_c000.tif", t2 = work + "/tiles/s1_dem/r001_c002.tif";
        QString log = snake_({t1, t2});
        QVERIFY2(log.isEmpty(), qPrintable(log));
        QVERIFY(!QFileInfo::exists(work + "/tiles/s1_dem/r000_c001.tif"));
        const QDateTime m1 = QFileInfo(t1).lastModified(), m2 = QFileInfo(t2).lastModified();
        QTest::qSleep(1100);
        log = snake_({});
        QVERIFY2(log.isEmpty(), qPrintable(log));
        QCOMPARE(QFileInfo(t1).lastModified(), m1);
        QCOMPARE(QFileInfo(t2).lastModified(), m2);
        QVERIFY(QFileInfo::exists(work + "/tiles/s1_dem/r003_c003.tif"));

        // Rasters: cell by cell at the same positions.
        for (const QString &name : {"dem", "dsm", "chm", "cover"}) {
            const TestRaster a = readRaster(single + "/" + name + ".tif");
            const QString t = QFileInfo::exists(tiled + "/" + name + ".vrt") ? tiled + "/" + name + ".vrt"
                                                                             : tiled + "/" + name + ".tif";
            const TestRaster b = readRaster(t);
            QVERIFY(a.w * a.h >= 6400 && b.w > 0);
            QCOMPARE(b.gt[1], a.gt[1]);
            QCOMPARE(b.gt[0], a.gt[0]);
            QCOMPARE(b.gt[3], a.gt[3]);
            QCOMPARE(b.w, a.w);
            QCOMPARE(b.h, a.h);
            long close = 0, far = 0;
            double worst = 0;
            for (size_t i = 0; i < a.v.size(); ++i) {
                const bool na = a.hasNoData && a.v[i] == float(a.noData), nb = b.hasNoData && b.v[i] == float(b.noData);
                const double d = na || nb ? (na == nb ? 0.0 : 1e9) : std::fabs(double(a.v[i]) - b.v[i]);
                close += d <= 0.001;
                far += d > 0.5;
                worst = std::max(worst, d);
            }
            const double share = double(close) / double(a.v.size());
            qInfo("%s: %.4f %% of %zu cells within 1 mm, largest difference %.4g m", qPrintable(name), 100 * share,
                  a.v.size(), worst);
            QVERIFY2(share >= 0.999, qPrintable(name));
            QCOMPARE(far, 0L);
        }
        // Tables: identical, line by line.
        QFile m1f(single + "/metrics.csv"), m2f(tiled + "/metrics.csv");
        QVERIFY(m1f.open(QIODevice::ReadOnly) && m2f.open(QIODevice::ReadOnly));
        const QByteArray ma = m1f.readAll(), mb = m2f.readAll();
        QVERIFY(ma.count('\n') > 500);
        QVERIFY(ma == mb);
        // LAS: the same points, from the tiles the new catalogue lists.
        const QJsonArray parts = readJson(tiled + "/norm.vpc")["features"].toArray();
        std::vector<std::string> joined;
        for (const QJsonValue &p : parts) {
            const auto r = records(QDir(tiled).absoluteFilePath(
                p.toObject()["assets"].toObject()["data"].toObject()["href"].toString()));
            joined.insert(joined.end(), r.begin(), r.end());
        }
        std::sort(joined.begin(), joined.end());
        const auto whole = records(single + "/norm.las");
        QCOMPARE(joined.size(), whole.size());
        QVERIFY(joined == whole);
    }
};

QTEST_GUILESS_MAIN(TestCatalog)
#include "test_catalog.moc"
