// GeoTIFF and shapefile access, checked with GDAL/OGR directly, and the
// `verdanta-cli info` front end.

#include "CliRunner.h"
#include "RasterIO.h"
#include "ShpIO.h"
#include "SyntheticArea.h"
#include "TestFiles.h"

#include <gdal.h>
#include <gdal_priv.h>
#include <ogr_spatialref.h>
#include <ogrsf_frmts.h>

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>

using namespace VerdantaIO;

using SyntheticArea::utm33Wkt;

class TestGdalIO : public QObject {
    Q_OBJECT
    QTemporaryDir dir;

private slots:
    void initTestCase() { EnsureGdal(); }

    void rasterWrittenReadsBackWithGdal()
    {
        const QString path = dir.filePath("grid.tif");
        CRasterIO out;
        out.geoTransform = {{455000.0, 2.0, 0.0, 5290100.0, 0.0, -2.0}};
        out.spatialReference = utm33Wkt();
        QVERIFY(out.Createfile(s(path), 7, 5, 1, GDT_Float32));
        QVERIFY(out.SetNoDataValue(-3.4028234663852886e38));
        std::vector<float> block(7 * 5);
        for (int i = 0; i < 35; ++i)
            block[i] = i * 0.5f;
        QVERIFY(out.WriteRasterBlock(1, 0, 0, 7, 5, block.data()));
        QVERIFY(!out.WriteRasterBlock(1, 5, 0, 3, 1, block.data()));  // beyond the right edge
        QVERIFY(!out.WriteRasterBlock(2, 0, 0, 1, 1, block.data()));  // no band 2
        out.Close();

        GDALDatasetH ds = GDALOpen(s(path).c_str(), GA_ReadOnly);
        QVERIFY(ds);
        QCOMPARE(GDALGetRasterXSize(ds), 7);
        QCOMPARE(GDALGetRasterYSize(ds), 5);
        double gt[6];
        QCOMPARE(GDALGetGeoTransform(ds, gt), CE_None);
        QCOMPARE(gt[0], 455000.0);
        QCOMPARE(gt[5], -2.0);
        GDALRasterBandH band = GDALGetRasterBand(ds, 1);
        QCOMPARE(GDALGetRasterDataType(band), GDT_Float32);
        int has = 0;
        QCOMPARE(GDALGetRasterNoDataValue(band, &has), -3.4028234663852886e38);
        QVERIFY(has);
        float v = 0;
        QCOMPARE(GDALRasterIO(band, GF_Read, 3, 2, 1, 1, &v, 1, 1, GDT_Float32, 0, 0), CE_None);
        QCOMPARE(v, (2 * 7 + 3) * 0.5f);
        OGRSpatialReference srs(GDALGetProjectionRef(ds));
        QCOMPARE(QString(srs.GetAuthorityCode(nullptr)), QString("32633"));
        GDALClose(ds);

        CRasterIO in;
        QVERIFY(in.LoadFile(s(path)));
        QCOMPARE(in.width, 7);
        QCOMPARE(in.bandCount, 1);
        QCOMPARE(in.bytesPerSample, 4);
        QCOMPARE(in.dataType, int(GDT_Float32));
        QCOMPARE(in.driverName, std::string("GTiff"));
        QCOMPARE(in.lowerRightX, 455014.0);
        QCOMPARE(in.lowerRightY, 5290090.0);
        QVERIFY(in.hasNoData);
        std::vector<float> back(4);
        QVERIFY(in.GetRasterGrayBlock(1, 5, 3, 2, 2, back.data()));
        QCOMPARE(back[3], (4 * 7 + 6) * 0.5f);
        QVERIFY(!in.GetRasterGrayBlock(1, 6, 0, 2, 1, back.data()));
    }

    void rasterWithoutGeoreferencingAndBadFiles()
    {
        const QString path = dir.filePath("plain.tif");
        GDALDriverH drv = GDALGetDriverByName("GTiff");
        GDALDatasetH ds = GDALCreate(drv, s(path).c_str(), 3, 2, 3, GDT_Byte, nullptr);
        GDALClose(ds);
        CRasterIO r;
        QVERIFY(r.LoadFile(s(path)));
        QVERIFY(!r.hasGeoTransform);
        QCOMPARE(r.bandCount, 3);
        QCOMPARE(r.dataType, int(GDT_Byte));
        QVERIFY(r.spatialReference.empty());

        QFile junk(dir.filePath("junk.tif"));
        QVERIFY(junk.open(QIODevice::WriteOnly));
        junk.write("II*\0garbage", 11);
        junk.close();
        QVERIFY(!r.LoadFile(s(junk.fileName())));
        QVERIFY(!r.LoadFile(s(dir.filePath("missing.tif"))));
        CRasterIO w;
        QVERIFY(!w.Createfile("/nonexistent-folder/x.tif", 2, 2, 1, GDT_Float32));
    }

    void shapefilesWithMultiPartsAndHoles()
    {
        CShpIO out;
        out.geometryType = CShpIO::Polygons;
        out.spatialReference = utm33Wkt();
        ShpFeature f;
        ShpPart outer{{0, 0, 10, 10, 0}, {0, 10, 10, 0, 0}, false};
        ShpPart hole{{2, 4, 4, 2, 2}, {2, 2, 4, 4, 2}, true};
        ShpPart second{{20, 20, 25, 20}, {0, 5, 0, 0}, false};
        f.parts = {outer, hole, second};
        out.features.push_back(f);
        const QString path = dir.filePath("poly.shp");
        QVERIFY(out.WriterFile(s(path)));

        std::unique_ptr<GDALDataset> ds(static_cast<GDALDataset *>(GDALOpenEx(s(path).c_str(), GDAL_OF_VECTOR, nullptr, nullptr, nullptr)));
        QVERIFY(ds);
        OGRLayer *layer = ds->GetLayer(0);
        QCOMPARE(layer->GetFeatureCount(), GIntBig(1));
        std::unique_ptr<OGRFeature> feature(layer->GetNextFeature());
        const OGRGeometry *g = feature->GetGeometryRef();
        QCOMPARE(wkbFlatten(g->getGeometryType()), wkbMultiPolygon);
        const auto *mp = g->toMultiPolygon();
        QCOMPARE(mp->getNumGeometries(), 2);
        QCOMPARE(mp->getGeometryRef(0)->getNumInteriorRings(), 1);
        QCOMPARE(mp->get_Area(), 100.0 - 4.0 + 12.5);
        OGRSpatialReference *srs = layer->GetSpatialRef();
        QVERIFY(srs && QString(srs->GetName()).contains("UTM zone 33N"));

        CShpIO in;
        QVERIFY(in.LoadFile(s(path)));
        QCOMPARE(in.geometryType, int(CShpIO::Polygons));
        QVERIFY(in.GetLayerData(in.GetLayerByIndex(0)));
        QVERIFY(!in.GetLayerByIndex(1));
        QCOMPARE(in.featureCount, 1);
        QCOMPARE(in.features[0].parts.size(), size_t(3));
        QVERIFY(!in.features[0].parts[0].hole);
        QVERIFY(in.features[0].parts[1].hole);
        QCOMPARE(in.features[0].vertexCount, 5 + 5 + 4);
        QCOMPARE(in.minX, 0.0);
        QCOMPARE(in.maxX, 25.0);

        CShpIO pts;
        pts.geometryType = CShpIO::Points;
        for (int i = 0; i < 3; ++i)
            pts.features.push_back(ShpFeature{{ShpPart{{double(i)}, {double(2 * i)}, false}}, 1});
        QVERIFY(pts.WriterFile(s(dir.filePath("pts.shp"))));
        CShpIO back;
        QVERIFY(back.LoadFile(s(dir.filePath("pts.shp"))));
        QCOMPARE(back.geometryType, int(CShpIO::Points));
        QVERIFY(back.GetLayerData(back.GetLayerByIndex(0)));
        QCOMPARE(back.features[2].parts[0].y[0], 4.0);
        QVERIFY(!back.LoadFile(s(dir.filePath("none.shp"))));
    }

    void realShapefile()
    {
        const QString path = QStringLiteral(VERDANTA_SHARED_DATA) + "/LAStools_TO_city_hall.shp";
        if (!QFile::exists(path))
            QSKIP("shared/data is absent: the real shapefile test is skipped");
        CShpIO shp;
        QVERIFY(shp.LoadFile(s(path)));
        // The file's shape type is 13 (PolyLineZ): a closed outline stored as
        // a line, whatever the data folder's notes call it.
        QCOMPARE(shp.geometryType, int(CShpIO::Lines));
        QVERIFY(shp.spatialReference.empty());  // no .prj
        QVERIFY(qAbs(shp.minX - 630272.42) < 0.01 && qAbs(shp.maxX - 630359.17) < 0.01);
        QVERIFY(qAbs(shp.minY - 4834623.18) < 0.01 && qAbs(shp.maxY - 4834700.31) < 0.01);
        QVERIFY(shp.GetLayerData(shp.GetLayerByIndex(0)));
        QVERIFY(shp.featureCount >= 1);
        QVERIFY(shp.features[0].vertexCount > 3);
        const ShpPart &ring = shp.features[0].parts[0];
        QCOMPARE(ring.x.front(), ring.x.back());
        QCOMPARE(ring.y.front(), ring.y.back());
    }

    void cliInfo()
    {
        CLASIO las;
        las.header.pointDataFormat = 1;
        las.header.versionMinor = 2;
        las.header.systemId = "CLI test";
        las.header.offsetX = 1000;
        for (int i = 0; i < 5; ++i) {
            PointCloud p;
            p.x = 1000 + i * 1.5;
            p.y = 2000 + i;
            p.z = 10 + i;
            p.returnNumber = i % 2 + 1;
            las.points.push_back(p);
        }
        const QString lasPath = dir.filePath("cli.las");
        QVERIFY(las.WriteLas(s(lasPath)));
        QVERIFY(writeBytes(dir.filePath("t.csv"), "X,Y,D\n1,2,3\n4,5,6\n"));
        QString out, err;
        QCOMPARE(runCli({"info", lasPath, dir.filePath("t.csv")}, nullptr, &out), 0);
        const QStringList lines = out.split('\n');
        QCOMPARE(lines.value(0), "File: " + lasPath);
        QVERIFY(lines.contains("Version: 1.2"));
        QVERIFY(lines.contains("System ID: CLI test"));
        QVERIFY(lines.contains("Point Data Format: 1"));
        QVERIFY(lines.contains("Number of Point Records: 5"));
        QVERIFY(lines.contains("Number of Points by Return: 3 2 0 0 0"));
        QVERIFY(lines.contains("Header Padding: 0"));
        QVERIFY(lines.contains("Compressed: False"));
        QVERIFY(lines.contains("Max X: 1006.00"));
        QVERIFY(lines.contains("Spatial Reference: NONE"));
        QVERIFY(lines.contains("Row Count: 3"));
        QVERIFY(lines.contains("Column Count: 3"));
        QCOMPARE(lines.indexOf(""), 28);  // 28 LAS rows, then a blank line before the table

        QCOMPARE(runCli({"info", dir.filePath("missing.las")}, &err), 1);
        QVERIFY(err.startsWith("Could not open the specified file!"));
        QCOMPARE(runCli({"frobnicate"}), 1);
        QCOMPARE(runCli({"info", "--help"}, nullptr, &out), 0);
        QVERIFY(out.contains("verdanta-cli info FILE..."));
    }
};

QTEST_GUILESS_MAIN(TestGdalIO)
#include "test_gdal_io.moc"
