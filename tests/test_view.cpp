// The OpenGL view under Xvfb and Mesa: colours and positions read back from
// the framebuffer, the legend, picking, and the navigation formulas.

#include "GLWidget.h"
#include "LasBytes.h"
#include "PromptRecorder.h"
#include "ScenceControl.h"
#include "SceneMath.h"
#include "TestFiles.h"

#include <GL/glu.h>

#include <QFile>
#include <QRegularExpression>
#include <QImage>
#include <QTemporaryDir>
#include <QtTest>

namespace {

struct Spot {
    double x, y, z;
    uint16_t intensity;
    uint8_t returnNumber;
    uint8_t classification;
};

// A cloud of points spread on a 100 m x 60 m grid (0.01 m units).
void writeSpots(const QString &path, const std::vector<Spot> &spots)
{
    lasbytes::File f;
    f.format = 1;
    for (const Spot &s : spots) {
        lasbytes::RawPoint p;
        p.X = static_cast<int32_t>(s.x * 100);
        p.Y = static_cast<int32_t>(s.y * 100);
        p.Z = static_cast<int32_t>(s.z * 100);
        p.intensity = s.intensity;
        p.returnNumber = s.returnNumber;
        p.classification = s.classification & 31;
        p.synthetic = s.classification & 32;
        f.points.push_back(p);
    }
    for (int k = 0; k < 3; ++k) {
        f.minv[k] = 1e300;
        f.maxv[k] = -1e300;
    }
    for (const Spot &s : spots) {
        const double v[3] = {s.x, s.y, s.z};
        for (int k = 0; k < 3; ++k) {
            f.minv[k] = std::min(f.minv[k], v[k]);
            f.maxv[k] = std::max(f.maxv[k], v[k]);
        }
    }
    lasbytes::save(s(path), lasbytes::build(f));
}

QColor toColour(const SceneMath::Rgb &c)
{
    return QColor(qRound(c[0] * 255), qRound(c[1] * 255), qRound(c[2] * 255));
}

bool near(const QColor &a, const QColor &b, int tolerance = 2)
{
    return std::abs(a.red() - b.red()) <= tolerance && std::abs(a.green() - b.green()) <= tolerance &&
           std::abs(a.blue() - b.blue()) <= tolerance;
}

}  // namespace

class TestView : public QObject {
    Q_OBJECT
    QTemporaryDir dir;
    ScenceControl *scene = nullptr;
    GLWidget *view = nullptr;

    // Where a scene point lands in the grabbed picture (x right, y down).
    QPoint pixelOf(double x, double y, double z)
    {
        double wx, wy, wz;
        gluProject(x - scene->centerX, y - scene->centerY, z - scene->centerZ, view->pickModel,
                   view->pickProjection, view->pickViewport, &wx, &wy, &wz);
        return QPoint(static_cast<int>(std::floor(wx)), view->height() - 1 - static_cast<int>(std::floor(wy)));
    }

    // The colour drawn within one pixel of where a point lands.
    bool drawnNear(const QImage &img, const QPoint &at, const QColor &want, int tolerance = 2)
    {
        for (int dy = -1; dy <= 1; ++dy)
            for (int dx = -1; dx <= 1; ++dx) {
                const QPoint p = at + QPoint(dx, dy);
                if (img.rect().contains(p) && near(img.pixelColor(p), want, tolerance))
                    return true;
            }
        return false;
    }

private slots:
    void init()
    {
        scene = new ScenceControl;
        view = new GLWidget(scene);
        view->resize(600, 400);
        view->show();
        QVERIFY(QTest::qWaitForWindowExposed(view));
    }
    void cleanup()
    {
        delete view;
        delete scene;
    }

    void pointsLandWithTheirColours()
    {
        PromptRecorder prompts;
        std::vector<Spot> spots;
        // Heights 0..11 m, intensities 0..110, returns 1..4 and 7, classes.
        const uint8_t classes[] = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 12, 2 + 32};  // the last: class 2, synthetic
        for (int i = 0; i < 12; ++i)
            spots.push_back({10.0 + (i % 4) * 25, 10.0 + (i / 4) * 20, double(i), uint16_t(i * 10),
                             uint8_t(i % 5 == 4 ? 7 : i % 5 + 1), classes[i]});
        const QString path = dir.filePath("spots.las");
        writeSpots(path, spots);
        scene->AddLasFile(path);
        QVERIFY(scene->lasReader);
        QCOMPARE(scene->lasReader->points.size(), size_t(12));
        const SceneMath::Rgb *ramp = scene->rampColors.data();

        // Height bands between 1 and 11: band i spans [1 + i, 2 + i].
        scene->heightLow = 1.0f;
        scene->heightHigh = 11.0f;
        scene->HeightRender();
        view->updateGL();
        QImage img = view->grabFrameBuffer();
        for (const Spot &s : spots) {
            const QColor want = toColour(SceneMath::heightColour(s.z, 1.0f, 11.0f, ramp));
            QVERIFY2(drawnNear(img, pixelOf(s.x, s.y, s.z), want), qPrintable(QString("height %1").arg(s.z)));
        }
        // Spot checks against the hand-computed table: z 0 below low (red),
        // z 5 first fits band 3 [4, 5] (127, 255, 0), z 11 exactly high in band 9 (25, 2, 112).
        QVERIFY(drawnNear(img, pixelOf(10, 10, 0), QColor(255, 0, 0)));
        QVERIFY(drawnNear(img, pixelOf(35, 30, 5), QColor(127, 255, 0)));
        QVERIFY(drawnNear(img, pixelOf(85, 50, 11), QColor(25, 2, 112)));

        scene->ClassRender();
        view->updateGL();
        img = view->grabFrameBuffer();
        const QColor classWant[] = {QColor(255, 255, 255), QColor(255, 255, 255), QColor(227, 128, 0),
                                    QColor(107, 142, 35), QColor(34, 139, 34), QColor(64, 224, 105),
                                    QColor(255, 0, 0), QColor(127, 255, 0), QColor(128, 0, 255),
                                    QColor(0, 0, 205), QColor(255, 69, 0), QColor(227, 128, 0)};
        for (int i = 0; i < 12; ++i)
            QVERIFY2(drawnNear(img, pixelOf(spots[i].x, spots[i].y, spots[i].z), classWant[i]),
                     qPrintable(QString("class of point %1").arg(i)));

        scene->ReturnRender();
        view->updateGL();
        img = view->grabFrameBuffer();
        const QColor returnWant[] = {QColor(255, 0, 0), QColor(0, 255, 0), QColor(184, 134, 11), QColor(115, 38, 192),
                                     QColor(250, 240, 230)};
        for (int i = 0; i < 12; ++i)
            QVERIFY2(drawnNear(img, pixelOf(spots[i].x, spots[i].y, spots[i].z), returnWant[i % 5]),
                     qPrintable(QString("return of point %1").arg(i)));

        scene->IntensityRender();  // all <= 255: plain range 0..110
        QCOMPARE(scene->intensityHigh, 110.0f);
        view->updateGL();
        img = view->grabFrameBuffer();
        for (const Spot &s : spots) {
            const int g = static_cast<int>(s.intensity * 255.0f / 110.0f);
            QVERIFY2(drawnNear(img, pixelOf(s.x, s.y, s.z), QColor(g, g, g), 1),
                     qPrintable(QString("intensity %1").arg(s.intensity)));
        }
        // An empty range draws every point black.
        scene->intensityLow = scene->intensityHigh = 50;
        view->updateGL();
        img = view->grabFrameBuffer();
        QVERIFY(drawnNear(img, pixelOf(60, 30, 6), QColor(0, 0, 0), 0));
    }

    void immediateAndArrayPathsDrawTheSamePicture()
    {
        std::vector<Spot> spots;
        for (int i = 0; i < 200; ++i)
            spots.push_back({double(i % 20) * 5, double(i / 20) * 5, double(i % 13), uint16_t(i), 1, 2});
        const QString path = dir.filePath("grid.las");
        writeSpots(path, spots);
        scene->AddLasFile(path);
        view->updateGL();
        const QImage arrays = view->grabFrameBuffer();
        scene->immediateMode = true;
        view->updateGL();
        const QImage immediate = view->grabFrameBuffer();
        QCOMPARE(immediate, arrays);
    }

    void onePixelWideRasterDrawsNothing()
    {
        const QString path = dir.filePath("thin.tif");
        QVERIFY(writeTif(path, 1, 50, {0, 1, 0, 50, 0, -1}, [](int, int r) { return float(r); }));
        scene->AddRasterFile(path);
        QCOMPARE(scene->sceneKind, int(Raster));
        view->updateGL();
        const QImage img = view->grabFrameBuffer();
        // Nothing but the gizmo (upper right) differs from the background.
        for (int y = 0; y < img.height(); ++y)
            for (int x = 0; x < int(img.width() * 0.8) - 1; ++x)
                if (img.pixelColor(x, y) != QColor(0, 0, 0))
                    QFAIL(qPrintable(QString("pixel %1,%2 drawn").arg(x).arg(y)));
    }

    void threeBandRasterIsTextured()
    {
        GDALAllRegister();
        const QString path = dir.filePath("rgb.tif");
        GDALDatasetH ds = GDALCreate(GDALGetDriverByName("GTiff"), s(path).c_str(), 8, 6, 3, GDT_Float32, nullptr);
        double gt[6] = {0, 1, 0, 6, 0, -1};
        GDALSetGeoTransform(ds, gt);
        // Red grows to the right, green to the left; blue stays low.
        std::vector<float> red(48), green(48), blue(48);
        for (int i = 0; i < 48; ++i) {
            red[i] = float(i % 8);
            green[i] = float(7 - i % 8);
            blue[i] = float(i % 2);
        }
        GDALRasterIO(GDALGetRasterBand(ds, 1), GF_Write, 0, 0, 8, 6, red.data(), 8, 6, GDT_Float32, 0, 0);
        GDALRasterIO(GDALGetRasterBand(ds, 2), GF_Write, 0, 0, 8, 6, green.data(), 8, 6, GDT_Float32, 0, 0);
        GDALRasterIO(GDALGetRasterBand(ds, 3), GF_Write, 0, 0, 8, 6, blue.data(), 8, 6, GDT_Float32, 0, 0);
        GDALClose(ds);
        scene->AddRasterFile(path);
        QCOMPARE(scene->sceneKind, int(Raster));
        view->updateGL();
        const QImage img = view->grabFrameBuffer();
        const int cy = img.height() / 2, w = img.width();
        const QColor left = img.pixelColor(w / 2 - 150, cy), right = img.pixelColor(w / 2 + 150, cy);
        QVERIFY2(left.green() > 150 && left.red() < 80, qPrintable(left.name()));
        QVERIFY2(right.red() > 150 && right.green() < 80, qPrintable(right.name()));
        QVERIFY(scene->textureName != 0);
    }

    void legendSwatchesAndLabels()
    {
        PromptRecorder prompts;
        std::vector<Spot> spots;
        for (int i = 0; i < 40; ++i)
            spots.push_back({double(i), double(i % 7), double(i), uint16_t(i), uint8_t(i % 4 + 1), uint8_t(i % 10)});
        const QString path = dir.filePath("legend.las");
        writeSpots(path, spots);
        scene->AddLasFile(path);
        view->setHeightLegend(scene->heightHigh, scene->heightLow, scene->maxZd, scene->minZd);
        scene->HeightRender();
        view->xTrans = 1e6;  // the cloud out of sight: only the overlay remains
        view->setLegendVisible(true);
        view->updateGL();
        QImage img = view->grabFrameBuffer();
        const int h = img.height();
        for (int k = 0; k < 10; ++k)  // swatch k fills x 10..30, y 10+20k..30+20k from the bottom
            QCOMPARE(img.pixelColor(20, h - 1 - (20 + 20 * k)), view->legendHeightColours[k]);
        auto redPixels = [&](int x0, int x1, int yBottom0, int yBottom1) {
            int n = 0;
            for (int y = yBottom0; y <= yBottom1; ++y)
                for (int x = x0; x <= x1; ++x)
                    n += img.pixelColor(x, h - 1 - y) == QColor(255, 0, 0);
            return n;
        };
        for (int k = 0; k <= 10; ++k) {
            // tick k: a line at y = 10 + 20k lands on that row or the one below
            QVERIFY(img.pixelColor(35, h - 1 - (10 + 20 * k)) == QColor(255, 0, 0) ||
                    img.pixelColor(35, h - (10 + 20 * k)) == QColor(255, 0, 0));
            QVERIFY2(redPixels(45, 110, 5 + 20 * k, 15 + 20 * k) > 10, qPrintable(QString("label %1").arg(k)));
        }
        QVERIFY(redPixels(45, 200, 240, 300) == 0);  // nothing above the eleventh label

        scene->ClassRender();
        view->updateGL();
        img = view->grabFrameBuffer();
        QCOMPARE(img.pixelColor(20, h - 1 - (20 + 20 * 2)), QColor(107, 142, 35));  // "Low Vegetation"
        QVERIFY(img.pixelColor(35, h - 1 - 220) == QColor(255, 0, 0) ||
                img.pixelColor(35, h - 220) == QColor(255, 0, 0));  // tick of "Other"
        scene->ReturnRender();
        view->updateGL();
        img = view->grabFrameBuffer();
        QCOMPARE(img.pixelColor(20, h - 1 - 60), QColor(184, 134, 11));  // return 3
        QVERIFY(redPixels(45, 200, 70, 85) > 10);   // "Return Num4" at 15 + 20 * 3
        QVERIFY(redPixels(45, 200, 95, 200) == 0);  // no fifth entry

        scene->RGBRender();  // black colours: mode stays Return, a warning is recorded
        QCOMPARE(prompts.messages.size(), 1);
        QCOMPARE(scene->colorMode, int(Return));
        view->setLegendVisible(false);
        view->updateGL();
        img = view->grabFrameBuffer();
        QCOMPARE(img.pixelColor(20, h - 1 - 20) == QColor(255, 0, 0), false);
    }

    void pickingReadsTheCoordinate()
    {
        std::vector<Spot> spots = {{0, 0, 100, 0, 1, 2}, {50, 30, 110, 0, 1, 2}, {100, 60, 105, 0, 1, 2}};
        const QString path = dir.filePath("pick.las");
        writeSpots(path, spots);
        scene->AddLasFile(path);
        scene->HeightRender();
        view->updateGL();
        // The pointer over the middle point (window y counts from the bottom
        // as viewport height - pointer y).
        const QPoint at = pixelOf(50, 30, 110);
        const int glRow = view->height() - 1 - at.y();
        QMouseEvent move(QEvent::MouseMove, QPointF(at.x(), view->height() - glRow), Qt::NoButton, Qt::NoButton,
                         Qt::NoModifier);
        QApplication::sendEvent(view, &move);
        view->updateGL();
        QVERIFY(view->picked);
        const QStringList parts = view->coordinateText.split(QRegularExpression("[XYZ]:"), Qt::SkipEmptyParts);
        QCOMPARE(parts.size(), 3);
        const double pixel = 1.0 / view->scale * 2;  // world units of about two pixels
        QVERIFY2(std::abs(parts[0].toDouble() - 50) < pixel, qPrintable(view->coordinateText));
        QVERIFY2(std::abs(parts[1].toDouble() - 30) < pixel, qPrintable(view->coordinateText));
        QVERIFY2(std::abs(parts[2].toDouble() - 110) < 0.5, qPrintable(view->coordinateText));
        QVERIFY(view->coordinateText.startsWith("X:"));

        // Over the background Z reads 0.
        QMouseEvent away(QEvent::MouseMove, QPointF(5, 5), Qt::NoButton, Qt::NoButton, Qt::NoModifier);
        QApplication::sendEvent(view, &away);
        view->updateGL();
        QVERIFY(view->coordinateText.endsWith("Z:0.0000"));

        // A header whose Z bounds (150..160) miss the points by 40 m and
        // more: the point under the pointer still reads its own Z.
        auto bytes = lasbytes::slurp(s(path));
        lasbytes::put<double>(bytes, 211, 160.0);
        lasbytes::put<double>(bytes, 219, 150.0);
        const QString lying = dir.filePath("pick_lying_z.las");
        lasbytes::save(s(lying), bytes);
        scene->AddLasFile(lying);
        scene->HeightRender();
        view->updateGL();
        QApplication::sendEvent(view, &move);
        view->updateGL();
        QVERIFY(view->picked);
        const QStringList again = view->coordinateText.split(QRegularExpression("[XYZ]:"), Qt::SkipEmptyParts);
        QCOMPARE(again.size(), 3);
        QVERIFY2(std::abs(again[2].toDouble() - 110) < 0.5, qPrintable(view->coordinateText));
    }

    void navigation()
    {
        QCOMPARE(view->zTrans, -1500.0);
        auto wheel = [&](int notches) {
            for (int i = 0; i < std::abs(notches); ++i) {
                QWheelEvent e(QPointF(10, 10), QPointF(10, 10), QPoint(), QPoint(0, notches > 0 ? 120 : -120),
                              Qt::NoButton, Qt::NoModifier, Qt::NoScrollPhase, false);
                QApplication::sendEvent(view, &e);
            }
        };
        wheel(10);
        QCOMPARE(view->zTrans, -900.0);
        wheel(40);
        QCOMPARE(view->zTrans, -40.0);
        wheel(-300);
        QCOMPARE(view->zTrans, -9960.0);
        view->ResetView();

        // A click without movement changes nothing.
        QTest::mousePress(view, Qt::LeftButton, Qt::NoModifier, QPoint(100, 100));
        QTest::mouseRelease(view, Qt::LeftButton, Qt::NoModifier, QPoint(100, 100));
        QCOMPARE(view->xRot, 0.0);
        QCOMPARE(view->zRot, 0.0);

        // Left drag rotates: z rotation -= dx / W * 100, x rotation -= dy / H * 100.
        const double W = view->width(), H = view->height();
        QTest::mousePress(view, Qt::LeftButton, Qt::NoModifier, QPoint(100, 100));
        QTest::mouseRelease(view, Qt::LeftButton, Qt::NoModifier, QPoint(160, 140));
        QCOMPARE(view->zRot, 60 / W * 100);
        QCOMPARE(view->xRot, 40 / H * 100);
        // Right drag pans by 1000 a width; middle drag turns and zooms.
        QTest::mousePress(view, Qt::RightButton, Qt::NoModifier, QPoint(100, 100));
        QTest::mouseRelease(view, Qt::RightButton, Qt::NoModifier, QPoint(130, 80));
        QCOMPARE(view->xTrans, 30 / W * 1000);
        QCOMPARE(view->yTrans, 20 / H * 1000);
        QTest::mousePress(view, Qt::MiddleButton, Qt::NoModifier, QPoint(100, 100));
        QTest::mouseRelease(view, Qt::MiddleButton, Qt::NoModifier, QPoint(90, 120));
        QCOMPARE(view->yRot, -10 / W * 100);
        QCOMPARE(view->zTrans, -1500 + 20 / H * 100);

        // Zoom tools: a ZoomIn click brings the data 120 units closer, the
        // way a forward wheel notch does, and ZoomOut takes it away.
        view->ResetView();
        wheel(1);
        QVERIFY(view->zTrans > -1500.0);
        view->ResetView();
        view->selectZoomIn();
        QTest::mouseClick(view, Qt::LeftButton, Qt::NoModifier, QPoint(50, 50));
        QCOMPARE(view->zTrans, -1380.0);
        view->selectZoomOut();
        QTest::mouseClick(view, Qt::RightButton, Qt::NoModifier, QPoint(50, 50));
        QTest::mouseClick(view, Qt::LeftButton, Qt::NoModifier, QPoint(50, 50));
        QCOMPARE(view->zTrans, -1620.0);
        view->selectPan();
        QVERIFY(view->panTool && !view->zoomInTool && !view->zoomOutTool);
        QTest::mousePress(view, Qt::LeftButton, Qt::NoModifier, QPoint(100, 100));
        QTest::mouseRelease(view, Qt::LeftButton, Qt::NoModifier, QPoint(70, 100));
        QCOMPARE(view->xTrans, -30 / W * 1500);  // dx = press - release = 30

        // Full extent: home, navigation off, the tool still selected; a drag
        // is applied on release only.
        view->fullExtent();
        QVERIFY(view->navigationOff && view->panTool);
        QCOMPARE(view->xTrans, 0.0);
        QCOMPARE(view->zTrans, -1500.0);
        view->selectNone();
        view->fullExtent();
        QTest::mousePress(view, Qt::LeftButton, Qt::NoModifier, QPoint(100, 100));
        QMouseEvent drag(QEvent::MouseMove, QPointF(150, 100), Qt::NoButton, Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(view, &drag);
        QCOMPARE(view->zRot, 0.0);
        QTest::mouseRelease(view, Qt::LeftButton, Qt::NoModifier, QPoint(150, 100));
        QCOMPARE(view->zRot, 50 / W * 100);  // dx = press - release = -50

        // Live dragging with navigation on.
        view->selectNone();
        view->ResetView();
        QTest::mousePress(view, Qt::LeftButton, Qt::NoModifier, QPoint(100, 100));
        QMouseEvent live(QEvent::MouseMove, QPointF(100, 130), Qt::NoButton, Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(view, &live);
        QCOMPARE(view->xRot, 30 / H * 100);

        // Keys.
        view->ResetView();
        QTest::keyClick(view, Qt::Key_Left);
        QTest::keyClick(view, Qt::Key_Up);
        QTest::keyClick(view, Qt::Key_Up);
        QCOMPARE(view->xTrans, -1.0);
        QCOMPARE(view->yTrans, 2.0);
        view->setEyeDistance(100000);
        QCOMPARE(view->zTrans, 990.0);
    }
};

QTEST_MAIN(TestView)
#include "test_view.moc"
