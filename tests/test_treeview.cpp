// Colouring a cloud by tree and the segmentation overlap: which table is
// read, the nearest-tree colours and those of a cloud's own tree numbers, the refusals, and the
// two small dialogs.

#include "LasExtraBytes.h"
#include "LasIO.h"
#include "PromptRecorder.h"
#include "ScenceControl.h"
#include "SegmentationDialogs.h"

#include <gdal.h>

#include <QComboBox>
#include <QLineEdit>
#include <QPushButton>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

using namespace VerdantaIO;

namespace {
std::string s(const QString &q) { return QFile::encodeName(q).toStdString(); }

const QString kHeader = "TreeLocationX,TreeLocationY,TreeHeight,CrownDiameter,CrownArea,CrownVolume";

void writeText(const QString &path, const QString &text)
{
    QFile f(path);
    QVERIFY(f.open(QIODevice::WriteOnly));
    f.write(text.toUtf8());
}

// One vegetation point 0.3 m east of each of `trees` positions 10 m apart
// along x, and one ground point; point source IDs count the trees.
void writeCloud(const QString &path, int trees, uint8_t vegetationClass = 5)
{
    CLASIO las;
    las.header.pointDataFormat = 1;
    for (int t = 0; t < trees; ++t) {
        PointCloud p;
        p.x = 100 + 10 * t + 0.3;
        p.y = 200;
        p.z = 15 + t;
        p.classification = vegetationClass;
        p.pointSourceId = static_cast<uint16_t>(t + 1);
        las.points.push_back(p);
    }
    PointCloud g;
    g.x = 100;
    g.y = 200;
    g.classification = 2;
    las.points.push_back(g);
    QVERIFY(las.WriteLas(s(path)));
}

QString table(int trees, const QString &header = kHeader)
{
    QString text = header + "\n";
    for (int t = 0; t < trees; ++t)
        text += QString("%1,200,15,3,7,20\n").arg(100 + 10 * t);
    return text + "1,2,3,4,5\n";  // five fields: skipped
}

std::array<float, 3> colourAt(const ScenceControl &scene, double x)
{
    for (size_t i = 0; i < scene.lasReader->points.size(); ++i)
        if (std::fabs(scene.lasReader->points[i].x - x) < 1e-6 && scene.lasReader->points[i].classification != 2)
            return scene.pointColors[i];
    return {{-1, -1, -1}};
}
}  // namespace

class TestTreeView : public QObject {
    Q_OBJECT
    QTemporaryDir dir;
    QString f(const QString &n) const { return dir.filePath(n); }

private slots:
    void nearestTreeColours()
    {
        PromptRecorder prompts;
        ScenceControl scene;
        writeCloud(f("a.las"), 11);
        writeText(f("a_PCS.csv"), table(11));
        scene.AddLasFile(f("a.las"));
        QSignalSpy updates(&scene, &ScenceControl::isUpdate);
        scene.IndividualTreesRender();
        QCOMPARE(scene.colorMode, int(TreeId));
        QCOMPARE(updates.count(), 1);
        QCOMPARE(scene.treePositions.size(), size_t(11));
        QCOMPARE(scene.pointColors.size(), scene.lasReader->points.size());
        // Ten ramp colours in turn: the first and the eleventh tree share one.
        QCOMPARE(colourAt(scene, 100.3), scene.rampColors[0]);
        QCOMPARE(colourAt(scene, 110.3), scene.rampColors[1]);
        QCOMPARE(colourAt(scene, 200.3), scene.rampColors[0]);
        for (size_t i = 0; i < scene.pointColors.size(); ++i)
            if (scene.lasReader->points[i].classification == 2)
                QCOMPARE(scene.pointColors[i], (std::array<float, 3>{{0, 0, 0}}));
        // Again: the colours stand, only the mode is set.
        scene.HeightRender();
        scene.IndividualTreesRender();
        QCOMPARE(scene.treeColourings, 1);
        QCOMPARE(scene.colorMode, int(TreeId));
        QVERIFY(prompts.messages.isEmpty());

        // Ground only: all black.
        CLASIO ground;
        ground.header.pointDataFormat = 1;
        ground.points.resize(3);
        for (auto &p : ground.points)
            p.classification = 2;
        QVERIFY(ground.WriteLas(s(f("g.las"))));
        writeText(f("g_PCS.csv"), table(2));
        scene.AddLasFile(f("g.las"));
        scene.IndividualTreesRender();
        QCOMPARE(scene.pointColors, (std::vector<std::array<float, 3>>(3, {{0, 0, 0}})));
    }

    void tablesAndRefusals()
    {
        PromptRecorder prompts;
        ScenceControl scene;
        // No table named after the cloud: the one the user picks; a header
        // with an extra space is refused, and the mode stays.
        writeCloud(f("b.las"), 3);
        writeText(f("spaced.csv"), table(3, "TreeLocationX, TreeLocationY,TreeHeight,CrownDiameter,CrownArea,CrownVolume"));
        scene.AddLasFile(f("b.las"));
        int asked = 0;
        scene.askTreeTable = [&] { ++asked; return f("spaced.csv"); };
        scene.IndividualTreesRender();
        QCOMPARE(asked, 1);
        QCOMPARE(prompts.messages.size(), 1);
        QCOMPARE(prompts.messages[0].title, QString("Individual Trees Rendering"));
        QCOMPARE(prompts.messages[0].text, QString("CSV File is invalid!"));
        QCOMPARE(scene.colorMode, int(Height));
        QVERIFY(scene.pointColors.empty());
        scene.askTreeTable = [] { return QString(); };  // cancelled
        scene.IndividualTreesRender();
        QCOMPARE(scene.colorMode, int(Height));

        // A cloud that carries its trees as "treeID" is coloured by them,
        // with no table (points in file order; the scene sorts them).
        CLASIO seg;
        seg.header.pointDataFormat = 1;
        std::vector<uint32_t> ids;
        for (uint32_t t : {12u, 1u, 0u, 4u, 4000000003u}) {
            PointCloud p;
            p.x = 100 + ids.size();
            p.z = 20 - double(ids.size());
            seg.points.push_back(p);
            ids.push_back(t);
        }
        const ExtraBytes extra = UInt32Attribute("treeID", "tree", ids);
        QVERIFY(WriteLasFile(s(f("seg.las")), seg.header, seg.points, nullptr, &extra));
        scene.AddLasFile(f("seg.las"));
        asked = 0;
        scene.askTreeTable = [&] { ++asked; return QString(); };
        scene.IndividualTreesRender();
        QCOMPARE(asked, 0);
        QCOMPARE(scene.colorMode, int(TreeId));
        const std::array<float, 3> black{{0, 0, 0}};
        const std::vector<std::array<float, 3>> expected = {scene.rampColors[1], scene.rampColors[0], black,
                                                            scene.rampColors[3], scene.rampColors[2]};
        for (size_t i = 0; i < scene.lasReader->points.size(); ++i)
            QCOMPARE(scene.pointColors[i], expected[size_t(scene.lasReader->points[i].x - 100)]);
    }

    void overlap()
    {
        PromptRecorder prompts;
        ScenceControl scene;
        GDALAllRegister();
        GDALDatasetH ds = GDALCreate(GDALGetDriverByName("GTiff"), s(f("chm.tif")).c_str(), 4, 4, 1, GDT_Float32, nullptr);
        double gt[6] = {100, 1, 0, 210, 0, -1};
        GDALSetGeoTransform(ds, gt);
        std::vector<float> v(16, 5.0f);
        v[5] = 20;
        GDALRasterIO(GDALGetRasterBand(ds, 1), GF_Write, 0, 0, 4, 4, v.data(), 4, 4, GDT_Float32, 0, 0);
        GDALClose(ds);
        writeText(f("t.csv"), table(2));
        OverlapChoice choice{f("chm.tif"), f("t.csv"), 0, 1};
        QStringList offeredRasters;
        scene.chooseOverlap = [&](const QStringList &r, const QStringList &, OverlapChoice &c) {
            offeredRasters = r;
            c = choice;
            return true;
        };
        scene.candidateRasters = QStringList{f("chm.tif")};
        scene.ShowSegmentationOverlap();
        QCOMPARE(offeredRasters, QStringList{f("chm.tif")});
        QCOMPARE(scene.sceneKind, int(Overlap));
        QCOMPARE(scene.tablePoints.size(), size_t(3));  // the short line has enough fields for X and Y
        QCOMPARE(scene.tablePoints[1].x, 110.0);
        QCOMPARE(scene.rasterCells.size(), size_t(16));
        QCOMPARE(scene.tableCenterX, 102.0f);
        // A missing CHM, and a table shown as circles, are refused.
        choice.chmPath = f("none.tif");
        scene.ShowSegmentationOverlap();
        QCOMPARE(prompts.messages.last().text, QString("Read  Raster data  Failed!"));
        QCOMPARE(prompts.messages.last().title, QString("Warning"));
        scene.tableType = 1;
        scene.ShowSegmentationOverlap();
        QCOMPARE(prompts.messages.last().text, QString("Please select point type!"));
        QCOMPARE(prompts.messages.last().title, QString("Segmentation Overlap Tool"));

        // The dialogs: a table fills the field choices; a missing CSV path is refused.
        class Overlap d({f("chm.tif")}, {f("t.csv")});
        QCOMPARE(d.windowTitle(), QString("Segmentation Overlap Tool"));
        d.findChild<QComboBox *>("comboBoxcsv")->setCurrentIndex(0);
        d.findChild<QComboBox *>("comboBox_Y")->setCurrentIndex(2);
        QCOMPARE(d.findChild<QComboBox *>("comboBox_X")->count(), 6);
        QCOMPARE(d.choice().tablePath, f("t.csv"));
        QCOMPARE(d.choice().yIndex, 2);
        InPutCSV input;
        QCOMPARE(input.windowTitle(), QString("Individual Trees Segmentation Result"));
        input.pathEdit()->setText(f("missing.csv"));
        input.findChild<QPushButton *>("OKBtn")->click();
        QCOMPARE(prompts.messages.last().title, QString("Open CSV File"));
        QCOMPARE(prompts.messages.last().text, QString("CSV Path is invalid! Please set!"));
        QVERIFY(input.pathEdit()->text().isEmpty());
        input.pathEdit()->setText(f("t.csv"));
        input.findChild<QPushButton *>("OKBtn")->click();
        QCOMPARE(input.path(), f("t.csv"));
        QCOMPARE(input.result(), int(QDialog::Accepted));
    }
};

QTEST_MAIN(TestTreeView)
#include "test_treeview.moc"
