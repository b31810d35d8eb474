// The scene: thinning, height percentiles, scale, grey stretches, intensity
// ranges, the RGB reduction, and ScenceControl's loads, signals and warnings.

#include "LasBytes.h"
#include "PromptRecorder.h"
#include "ScenceControl.h"
#include "SceneMath.h"
#include "SelectParamter.h"
#include "TestFiles.h"

#include <ogr_srs_api.h>

#include <QComboBox>
#include <QDir>
#include <QLabel>
#include <QPushButton>
#include <QFile>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

#include <random>

using namespace VerdantaIO;

namespace {

// A format-0 file of n points whose raw X, Y, Z come from the index.
void writeCloud(const QString &path, uint64_t n)
{
    lasbytes::File f;
    f.format = 0;
    f.points.resize(n);
    for (uint64_t i = 0; i < n; ++i) {
        f.points[i].X = static_cast<int32_t>(i % 1000);
        f.points[i].Y = static_cast<int32_t>(i / 1000);
        f.points[i].Z = static_cast<int32_t>(n - i);
    }
    f.maxv[0] = 9.99;
    f.maxv[1] = (n / 1000) * 0.01;
    lasbytes::save(s(path), lasbytes::build(f));
}

}  // namespace

class TestScene : public QObject {
    Q_OBJECT
    QTemporaryDir dir;

private slots:
    void thinningStrideAndIndices()
    {
        QCOMPARE(SceneMath::thinningStride(2499999), uint64_t(0));
        QCOMPARE(SceneMath::thinningStride(2500000), uint64_t(2));
        QCOMPARE(SceneMath::thinningStride(4999999), uint64_t(2));
        QCOMPARE(SceneMath::thinningStride(5000000), uint64_t(3));
        const auto idx = SceneMath::thinnedIndices(10, 3);
        QCOMPARE(idx, std::vector<uint64_t>({0, 3, 6, 9}));
    }

    void scaleRule()
    {
        QCOMPARE(SceneMath::displayScale(0, 0, 200, 100), 5.0f);      // dx wider: 1000 / dx
        QCOMPARE(SceneMath::displayScale(0, 0, 100, 300), 3.0f);      // dy taller: 900 / dy
        QCOMPARE(SceneMath::displayScale(10, 10, 0, 0), 100.0f);      // equal: 1000 / dx
    }

    void heightSortAndPercentiles()
    {
        std::mt19937 rng(3);
        std::uniform_int_distribution<int> z(-500, 500);
        std::vector<PointCloud> pts(20000);
        for (size_t i = 0; i < pts.size(); ++i) {
            pts[i].z = z(rng) * 0.25;
            pts[i].intensity = static_cast<uint16_t>(i);
        }
        auto expected = pts;
        std::stable_sort(expected.begin(), expected.end(), [](auto &a, auto &b) { return a.z < b.z; });
        SceneMath::sortByHeight(pts);
        for (size_t i = 0; i < pts.size(); ++i) {
            QCOMPARE(pts[i].z, expected[i].z);
            QCOMPARE(pts[i].intensity, expected[i].intensity);  // stable
        }
        std::vector<PointCloud> twenty(20);
        for (int i = 0; i < 20; ++i)
            twenty[i].z = 19 - i;
        SceneMath::sortByHeight(twenty);
        SceneMath::HeightStats st;
        QVERIFY(SceneMath::heightStats(twenty, st));
        QCOMPARE(st.high, 19.0f);  // index floor(20 * 0.95) = 19
        QCOMPARE(st.low, 1.0f);    // index floor(20 * 0.05) = 1
        QCOMPARE(st.minZ, 0.0f);
        QCOMPARE(st.maxZ, 19.0f);
        QCOMPARE(st.centreZ, 10.0f);
    }

    void greyStretchSkipsNoData()
    {
        std::vector<float> v;
        for (int i = 0; i < 10; ++i)
            v.push_back(-3.4028234663852886e38f);
        for (int i = 1; i <= 90; ++i)
            v.push_back(float(i));
        std::shuffle(v.begin(), v.end(), std::mt19937(1));
        float low = 0, high = 0;
        QVERIFY(SceneMath::greyStretch(v, low, high));
        QCOMPARE(low, 1.0f);    // index 5 is no-data; the first real value follows
        QCOMPARE(high, 86.0f);  // index 95 of the sorted samples
        QCOMPARE(SceneMath::grey(0.5f, low, high), uint8_t(0));
        QCOMPARE(SceneMath::grey(90.0f, low, high), uint8_t(255));
        QCOMPARE(SceneMath::grey(43.5f, low, high), uint8_t(127));  // floor(42.5 * 255 / 85)
        std::vector<float> none(50, -3.4028234663852886e38f);
        QVERIFY(!SceneMath::greyStretch(none, low, high));
    }

    void intensityRanges()
    {
        std::vector<PointCloud> pts(200);
        for (int i = 0; i < 200; ++i)
            pts[i].intensity = static_cast<uint16_t>(10 + i % 100);
        float mn, mx, lo, hi;
        SceneMath::intensityRange(pts, mn, mx, lo, hi);
        QCOMPARE(mn, 10.0f);
        QCOMPARE(mx, 109.0f);
        QCOMPARE(lo, 10.0f);
        QCOMPARE(hi, 109.0f);
        pts[7].intensity = 4000;  // one value above 255: percentiles
        SceneMath::intensityRange(pts, mn, mx, lo, hi);
        QCOMPARE(mx, 4000.0f);
        // sorted: 10,10,11,11,...; index floor(200*0.05)=10 -> 15; index floor(200*0.995)=199 -> 4000
        QCOMPARE(lo, 15.0f);
        QCOMPARE(hi, 4000.0f);
    }

    void colourRules()
    {
        ScenceControl scene;
        const SceneMath::Rgb *ramp = scene.rampColors.data(), *classes = scene.classColors.data();
        auto rgb255 = [](const SceneMath::Rgb &c) {
            return QVector<int>{qRound(c[0] * 255), qRound(c[1] * 255), qRound(c[2] * 255)};
        };
        // Heights: exactly at low -> band 0, exactly at high -> band 9.
        QCOMPARE(rgb255(SceneMath::heightColour(2.0, 2.0f, 12.0f, ramp)), QVector<int>({255, 0, 0}));
        QCOMPARE(rgb255(SceneMath::heightColour(12.0, 2.0f, 12.0f, ramp)), QVector<int>({25, 2, 112}));
        QCOMPARE(rgb255(SceneMath::heightColour(7.5, 2.0f, 12.0f, ramp)), QVector<int>({0, 255, 255}));  // band 5
        QCOMPARE(SceneMath::heightColour(12.01, 2.0f, 12.0f, ramp), SceneMath::kAboveHigh);
        QCOMPARE(rgb255(SceneMath::heightColour(1.99, 2.0f, 12.0f, ramp)), QVector<int>({255, 0, 0}));
        // Classes by their low six bits.
        QCOMPARE(rgb255(SceneMath::classColour(2 + 64, classes)), QVector<int>({227, 128, 0}));
        QCOMPARE(rgb255(SceneMath::classColour(12, classes)), QVector<int>({255, 69, 0}));
        QCOMPARE(rgb255(SceneMath::classColour(0, classes)), QVector<int>({255, 255, 255}));
        QCOMPARE(rgb255(SceneMath::classColour(17, classes)), QVector<int>({128, 128, 128}));
        // Returns.
        QCOMPARE(rgb255(SceneMath::returnColour(3, ramp)), QVector<int>({184, 134, 11}));
        QCOMPARE(SceneMath::returnColour(0, ramp), SceneMath::kOtherReturn);
        QCOMPARE(SceneMath::returnColour(6, ramp), SceneMath::kOtherReturn);
        // Intensity: clamped, truncated, black for an empty range.
        QCOMPARE(rgb255(SceneMath::intensityColour(75, 50, 150)), QVector<int>({63, 63, 63}));
        QCOMPARE(rgb255(SceneMath::intensityColour(200, 50, 150)), QVector<int>({255, 255, 255}));
        QCOMPARE(rgb255(SceneMath::intensityColour(10, 50, 150)), QVector<int>({0, 0, 0}));
        QCOMPARE(rgb255(SceneMath::intensityColour(100, 50, 50)), QVector<int>({0, 0, 0}));
        // TreeId draws nothing until every point has a colour.
        QVERIFY(scene.pointColourArray(TreeId).empty());
    }

    // The cut-off itself is checked in thinningStrideAndIndices; here a
    // cloud at it is loaded thinned, sorted and measured.
    void lasLoadThinsAtTheThreshold()
    {
        PromptRecorder prompts;
        const QString thin = dir.filePath("thin.las");
        writeCloud(thin, 2500000);
        ScenceControl scene;
        QSignalSpy scaleSpy(&scene, &ScenceControl::isScaleRateChanged);
        scene.AddLasFile(thin);
        QVERIFY(scene.lasReader);
        QCOMPARE(scene.lasReader->points.size(), size_t(1250000));
        QCOMPARE(scene.thinningStride, uint64_t(2));
        // Heights: raw Z = n - i at 0.01; thinned to even i: z from 0.02 to 25000.00.
        QCOMPARE(scene.minZd, 0.02);
        QCOMPARE(scene.maxZd, 25000.0);
        QVERIFY(std::is_sorted(scene.lasReader->points.begin(), scene.lasReader->points.end(),
                               [](auto &a, auto &b) { return a.z < b.z; }));
        QCOMPARE(scene.heightHigh, float(scene.lasReader->points[1187500].z));
        QCOMPARE(scene.heightLow, float(scene.lasReader->points[62500].z));
        QCOMPARE(scene.sceneKind, int(LasCloud));
        QCOMPARE(scene.centerX, 4.995f);
        // Scale from the header: dx = 9.99, dy = 24.99 or 25.00 -> 900 / dy.
        QCOMPARE(scene.scale, 900.0f / std::fabs(scene.maxY - scene.minY));
        QVERIFY(prompts.messages.isEmpty());
        const int emitted = scaleSpy.count();
        scene.AddLasFile(thin);  // same file again: same scale, no signal
        QCOMPARE(scaleSpy.count(), emitted);
    }

    void lasLoadFailureWarns()
    {
        PromptRecorder prompts;
        QFile bad(dir.filePath("bad.las"));
        QVERIFY(bad.open(QIODevice::WriteOnly));
        bad.write("LASF but not really");
        bad.close();
        ScenceControl scene;
        scene.AddLasFile(bad.fileName());
        QVERIFY(!scene.lasReader);
        QCOMPARE(prompts.messages.size(), 1);
        QCOMPARE(prompts.messages[0].title, QString("Add LAS File"));
        QCOMPARE(prompts.messages[0].text, QString("Open LAS file failed!"));
    }

    void colourModes()
    {
        PromptRecorder prompts;
        lasbytes::File f;
        f.format = 2;
        for (int i = 0; i < 10; ++i) {
            lasbytes::RawPoint p;
            p.X = i;
            p.Z = i;
            p.intensity = static_cast<uint16_t>(i * 10);
            f.points.push_back(p);
        }
        const QString black = dir.filePath("black.las");
        lasbytes::save(s(black), lasbytes::build(f));
        f.points[3].red = 0x1234;
        f.points[4].green = 0x00FF;  // already 8-bit: kept
        const QString coloured = dir.filePath("colour.las");
        lasbytes::save(s(coloured), lasbytes::build(f));

        ScenceControl scene;
        QSignalSpy updates(&scene, &ScenceControl::isUpdate);
        QSignalSpy intensity(&scene, &ScenceControl::isChangedIntensity);
        scene.RGBRender();  // no cloud: nothing
        QVERIFY(prompts.messages.isEmpty());
        scene.ReturnRender();  // signals even without a cloud
        QCOMPARE(updates.count(), 1);
        scene.AddLasFile(black);
        scene.HeightRender();
        QCOMPARE(updates.count(), 2);
        scene.HeightRender();  // same mode: no signal
        QCOMPARE(updates.count(), 2);
        scene.RGBRender();
        QCOMPARE(prompts.messages.size(), 1);
        QCOMPARE(prompts.messages[0].title, QString("RGB Mode"));
        QCOMPARE(prompts.messages[0].text, QString("No RGB Color!"));
        QCOMPARE(scene.colorMode, int(Height));

        scene.AddLasFile(coloured);
        scene.RGBRender();
        QCOMPARE(scene.colorMode, int(RGB));
        auto find = [&](double z) {
            for (const auto &p : scene.lasReader->points)
                if (p.z == z)
                    return p;
            return PointCloud();
        };
        QCOMPARE(find(0.03).red, uint16_t(0x12));
        QCOMPARE(find(0.04).green, uint16_t(0xFF));
        scene.RGBRender();  // once only: a second switch changes nothing
        QCOMPARE(find(0.03).red, uint16_t(0x12));

        scene.IntensityRender();
        QCOMPARE(intensity.count(), 1);
        QCOMPARE(scene.intensityLow, 0.0f);
        QCOMPARE(scene.intensityHigh, 90.0f);
        scene.ClassRender();
        QCOMPARE(scene.colorMode, int(Class));
        QCOMPARE(scene.lastColorMode, int(Class));
    }

    void rasters()
    {
        PromptRecorder prompts;
        const std::vector<double> gt = {1000.0, 2.0, 0.0, 2000.0, 0.0, -2.0};
        const float noData = -3.4028234663852886e38f;
        const QString one = dir.filePath("one.tif");
        writeTif(one, 10, 10, gt, [&](int c, int r) { return r == 0 ? noData : float(10 * r + c); });
        ScenceControl scene;
        scene.AddRasterFile(one);
        QVERIFY(prompts.messages.isEmpty());
        QCOMPARE(scene.sceneKind, int(Raster));
        QCOMPARE(scene.rasterCenterX, 1010.0f);
        QCOMPARE(scene.rasterCenterY, 1990.0f);
        QCOMPARE(scene.rasterLow, 10.0f);
        QCOMPARE(scene.rasterHigh, 95.0f);
        QCOMPARE(scene.rasterMid, 52.5f);
        QCOMPARE(scene.rasterCells.size(), size_t(100));
        const RasterCell &c = scene.rasterCells[57];  // row 5, column 7
        QCOMPARE(c.x, 1000 + 14 - 1010);
        QCOMPARE(c.y, 2000 - 10 - 1990);
        QCOMPARE(c.value, 57.0f);
        QCOMPARE(c.grey, uint8_t(141));  // floor(47 * 255 / 85)
        QCOMPARE(scene.rasterCells[3].grey, uint8_t(0));
        QCOMPARE(scene.rasterCells[99].grey, uint8_t(255));
        QCOMPARE(scene.scale, 50.0f);  // 1000 / 20

        const QString empty = dir.filePath("nodata.tif");
        writeTif(empty, 4, 4, gt, [&](int, int) { return noData; });
        scene.AddRasterFile(empty);
        QCOMPARE(prompts.messages.size(), 1);
        QCOMPARE(prompts.messages[0].title, QString("Open Raster File"));
        QCOMPARE(prompts.messages[0].text, QString("Raster data is invalid!"));
        QVERIFY(scene.rasterCells.empty());

        const QString three = dir.filePath("rgb.tif");
        writeTif(three, 6, 4, gt, [](int c, int r) { return float(6 * r + c); }, 3);
        scene.AddRasterFile(three);
        QCOMPARE(prompts.messages.size(), 1);
        QCOMPARE(scene.rasterCenterX, 3.0f);
        QCOMPARE(scene.rasterCenterY, 2.0f);
        QCOMPARE(scene.rasterTexture.size(), QSize(6, 4));
        QCOMPARE(scene.scale, 1000.0f / 6.0f);

        const QString two = dir.filePath("two.tif");
        writeTif(two, 3, 3, gt, [](int, int) { return 1.0f; }, 2);
        scene.AddRasterFile(two);
        QCOMPARE(prompts.messages.size(), 2);
        QCOMPARE(prompts.messages[1].text, QString("Open Raster File Failed!"));
        scene.AddRasterFile(dir.filePath("missing.tif"));
        QCOMPARE(prompts.messages[2].title, QString("Add Raster File"));
        QCOMPARE(prompts.messages[2].text, QString("Open Raster file Failed!"));
    }

    void columnDialog()
    {
        SelectParamter dialog({"ID", "East", "North", "Crown"});
        QCOMPARE(dialog.windowTitle(), QString("Add Table File"));
        auto *type = dialog.findChild<QComboBox *>("comboBox_Type");
        auto *x = dialog.findChild<QComboBox *>("comboBox_X");
        auto *r = dialog.findChild<QComboBox *>("comboBox_R");
        QVERIFY(type && x && r);
        QCOMPARE(type->itemText(0), QString("Points"));
        QCOMPARE(type->itemText(1), QString("Circle"));
        QCOMPARE(x->currentIndex(), 0);
        QCOMPARE(dialog.findChild<QComboBox *>("comboBox_Y")->currentIndex(), 1);
        QCOMPARE(r->currentIndex(), 2);
        dialog.show();
        QVERIFY(r->isHidden());
        type->setCurrentIndex(1);
        QVERIFY(!r->isHidden());
        QVERIFY(!dialog.findChild<QLabel *>("label_R")->isHidden());
        x->setCurrentIndex(1);
        dialog.findChild<QComboBox *>("comboBox_Y")->setCurrentIndex(2);
        r->setCurrentIndex(3);
        dialog.findChild<QPushButton *>("pushButton_ok")->click();
        QCOMPARE(dialog.result(), int(QDialog::Accepted));
        QCOMPARE(dialog.columns().type, 1);
        QCOMPARE(dialog.columns().x, 1);
        QCOMPARE(dialog.columns().y, 2);
        QCOMPARE(dialog.columns().diameter, 3);

        SelectParamter points({"X", "Y", "D"});
        points.findChild<QPushButton *>("pushButton_ok")->click();
        QCOMPARE(points.columns().type, 0);
        QCOMPARE(points.columns().diameter, -1);
    }

    void shapesAndTables()
    {
        PromptRecorder prompts;
        CShpIO shp;
        shp.geometryType = CShpIO::Lines;
        shp.features.push_back(ShpFeature{{ShpPart{{0, 40}, {0, 10}, false}}, 2});
        const QString folder = dir.filePath("shapes");
        QDir().mkpath(folder);
        QVERIFY(shp.WriterFile(s(folder + "/a.shp")));
        QVERIFY(shp.WriterFile(s(folder + "/b.shp")));
        ScenceControl scene;
        scene.AddShapeFile(folder + "/a.shp");
        QVERIFY(prompts.messages.isEmpty());
        QCOMPARE(scene.sceneKind, int(Vector));
        QCOMPARE(scene.shapeCenterX, 20.0f);
        QCOMPARE(scene.scale, 25.0f);
        scene.AddShapeFile(folder);  // a folder of two shapefiles: two layers
        QCOMPARE(prompts.messages.size(), 1);
        QCOMPARE(prompts.messages[0].title, QString("Add Shape File"));
        QCOMPARE(prompts.messages[0].text, QString("Open shape file failed!"));
        QVERIFY(!scene.shapeReader);

        int asked = 0;
        TableColumns answer{1, 1, 2, 0};
        scene.chooseColumns = [&](const QStringList &header, TableColumns &c) {
            ++asked;
            if (header.size() != 3)
                return false;
            c = answer;
            return true;
        };
        QFile two(dir.filePath("two.csv"));
        QVERIFY(two.open(QIODevice::WriteOnly));
        two.write("X,Y\n1,2\n");
        two.close();
        scene.AddTableFile(two.fileName());
        QCOMPARE(asked, 0);
        QVERIFY(scene.tablePoints.empty());

        QFile table(dir.filePath("trees.csv"));
        QVERIFY(table.open(QIODevice::WriteOnly));
        table.write("D,X,Y\n3.5,100,200\nbroken,row\n1.5,140,260\n");
        table.close();
        scene.AddTableFile(table.fileName());
        QCOMPARE(asked, 1);
        QCOMPARE(scene.tablePoints.size(), size_t(2));
        QCOMPARE(scene.tablePoints[1].x, 140.0);
        QCOMPARE(scene.tablePoints[1].diameter, 1.5f);
        QCOMPARE(scene.tableCenterX, 120.0f);
        QCOMPARE(scene.tableCenterY, 230.0f);
        QCOMPARE(scene.scale, 15.0f);  // dy 60 > dx 40: 900 / 60
        QCOMPARE(scene.sceneKind, int(Table));
        answer = TableColumns{0, 1, 2, -1};
        scene.AddTableFile(table.fileName());
        QCOMPARE(scene.tablePoints[0].diameter, 0.0f);
    }
};

QTEST_MAIN(TestScene)
#include "test_scene.moc"
