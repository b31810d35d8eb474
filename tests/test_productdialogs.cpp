// The CHM, HillShade and LasToRaster dialogs: checks, messages, the range
// warnings that do not stop a run, and the same tools from verdanta-cli.

#include "CliRunner.h"
#include "DialogSteps.h"
#include "RasterDialogs.h"
#include "RasterIO.h"
#include "TestFiles.h"

#include <QComboBox>
#include <QLineEdit>
#include <QPushButton>
#include <QTemporaryDir>
#include <QtTest>


class TestProductDialogs : public QObject {
    Q_OBJECT
    QTemporaryDir dir;
    QString dsm, dem, other, las;
    QString f(const QString &n) const { return dir.filePath(n); }

    QStringList ok(ToolDialog &d, PromptRecorder &prompts) { return pressOk(d, prompts); }

private slots:
    void initTestCase()
    {
        dsm = f("surface.tif");
        dem = f("ground.tif");
        other = f("other.tif");
        las = f("pts.las");
        // Each row climbs by 1 a cell from its first value.
        auto ramp = [](float first) { return [first](int c, int) { return first + float(c); }; };
        writeTif(dsm, 20, 10, {0, 1, 0, 10, 0, -1}, ramp(30));
        writeTif(dem, 20, 10, {0, 1, 0, 10, 0, -1}, ramp(10));
        writeTif(other, 15, 10, {0, 1, 0, 10, 0, -1}, ramp(10));
        writeCloud(las, 100, [](int i, VerdantaIO::PointCloud &p) {
            p.x = i % 10;
            p.y = i / 10;
            p.z = i;
        });
    }

    void chm()
    {
        PromptRecorder prompts;
        CHM d;
        QCOMPARE(d.windowTitle(), QString("Generating CHM"));
        d.setRasterCandidates({dsm, dem, other});
        auto *dsmBox = d.findChild<QComboBox *>("DSM_comboBox");
        auto *demBox = d.findChild<QComboBox *>("DEM_comboBox");
        QVERIFY(dsmBox && demBox);
        QCOMPARE(dsmBox->currentIndex(), -1);
        demBox->setCurrentIndex(1);
        QCOMPARE(ok(d, prompts), QStringList({"Please add DSM File!"}));  // only a DEM
        prompts.files = {{dsm}};
        d.findChild<QPushButton *>("browse_dsm")->click();
        QCOMPARE(dsmBox->currentText(), dsm);
        QCOMPARE(d.outputEdit()->text(), f("surface_GenerateCHM.tif"));
        demBox->setCurrentIndex(-1);
        QCOMPARE(ok(d, prompts), QStringList({"Please add DEM File!"}));
        demBox->setCurrentIndex(demBox->findText(dem));
        d.outputEdit()->clear();
        QCOMPARE(ok(d, prompts), QStringList({"Output CHM is empty! Please set!"}));
        d.outputEdit()->setText(f("missing/c.tif"));
        QCOMPARE(ok(d, prompts), QStringList({"Output Path is invalid! Please reset!"}));
        QVERIFY(d.outputEdit()->text().isEmpty());
        // Mismatched grids.
        demBox->setCurrentIndex(demBox->findText(other));
        d.outputEdit()->setText(f("c"));
        QCOMPARE(ok(d, prompts), QStringList({"DSM and DEM aren't match!"}));
        QCOMPARE(d.outputEdit()->text(), f("c.tif"));  // normalised
        QVERIFY(d.resultFiles.isEmpty());
        demBox->setCurrentIndex(demBox->findText(dem));
        prompts.answers = {QMessageBox::Yes};
        QCOMPARE(ok(d, prompts), QStringList({"Do you want to add results into the project?"}));
        QCOMPARE(d.resultFiles, QStringList({f("c.tif")}));
        VerdantaIO::CRasterIO r;
        QVERIFY(r.LoadFile(s(f("c.tif"))));
        float v = 0;
        QVERIFY(r.GetRasterGrayBlock(1, 3, 2, 1, 1, &v));
        QCOMPARE(v, 20.0f);
    }

    void hillshade()
    {
        PromptRecorder prompts;
        HillShade d;
        QCOMPARE(d.windowTitle(), QString("HillShade"));
        QCOMPARE(d.value("azimuth"), QString("315"));
        QCOMPARE(d.value("elevation"), QString("45"));
        QCOMPARE(d.value("scale"), QString("1.0"));
        d.setRasterCandidates({dem});
        // No DEM: the run ends silently.
        QCOMPARE(ok(d, prompts), QStringList());
        QCOMPARE(d.result(), 0);
        d.findChild<QComboBox *>("CHM_comboBox")->setCurrentIndex(0);
        QCOMPARE(d.outputEdit()->text(), f("ground_HillShade.tif"));
        // Out-of-range values warn while typed, and the run still uses them.
        QTest::keyClicks(d.findChild<QLineEdit *>("Azimuth_LE"), "0");  // "3150"
        QCOMPARE(prompts.messages.last().text, QString("Please Reset Sloar Azimuth in the range of 0 to 360"));
        QCOMPARE(prompts.messages.last().title, QString("HillShade"));
        d.findChild<QLineEdit *>("ElevationAngle_LE")->clear();
        QTest::keyClicks(d.findChild<QLineEdit *>("ElevationAngle_LE"), "95");
        QCOMPARE(prompts.messages.last().text, QString("Please Reset Sloar elevation angle in the range of 0 to 90"));
        d.findChild<QLineEdit *>("ElevationAngle_LE")->setText("45");
        d.findChild<QLineEdit *>("TerrainScale_LE")->clear();
        QTest::keyClicks(d.findChild<QLineEdit *>("TerrainScale_LE"), "101");
        QCOMPARE(prompts.messages.last().text, QString("Please Reset Terrain Scale in the range of 0 to 100"));
        d.findChild<QLineEdit *>("TerrainScale_LE")->setText("1.0");
        prompts.files = {{f("shade.x.tif")}};
        d.findChild<QPushButton *>("OutputBtn")->click();
        QCOMPARE(prompts.fileRequests.last().caption, QString("Save Directory"));
        QCOMPARE(prompts.fileRequests.last().filter, QString("*.tif"));
        QCOMPARE(d.outputEdit()->text(), f("shade.tif"));
        prompts.answers = {QMessageBox::Yes};
        QCOMPARE(ok(d, prompts), QStringList({"Do you want to add results into the project?"}));
        QCOMPARE(d.resultFiles, QStringList({f("shade.tif")}));
        QVERIFY(d.lastCommandLine().contains("--azimuth 3150"));
        QVERIFY(d.lastCommandLine().contains(dem + " -o "));
    }

    void lasToRaster()
    {
        PromptRecorder prompts;
        LasToRaster d;
        QCOMPARE(d.windowTitle(), QString("LasToRaster"));
        auto *type = d.findChild<QComboBox *>("Type");
        QVERIFY(type);
        QCOMPARE(type->itemText(0), QString("Z"));
        QCOMPARE(type->count(), 5);
        d.setCandidates({las});
        QCOMPARE(ok(d, prompts), QStringList({"Please add LAS File!"}));
        d.inputCombo()->setCurrentIndex(0);
        QCOMPARE(d.outputEdit()->text(), f("pts_LasToRaster.tif"));
        const QString invalid = "is invalid!\nIt must be greater than 0.\nRestore to default value.";
        walk(d, prompts, {{"xsize", "0", "XSize " + invalid, "10.0"},  // restored to 10.0 though it started at 2.0
                          {"ysize", "", "YSize is empty! Please set!"},
                          {"ysize", "-3", "YSize " + invalid, "10.0"}});
        d.setValue("xsize", "2");
        d.setValue("ysize", "2");
        type->setCurrentIndex(1);  // Intensity
        prompts.answers = {QMessageBox::Yes};
        QCOMPARE(ok(d, prompts), QStringList({"Do you want to add results into the project?"}));
        QCOMPARE(d.resultFiles, QStringList({f("pts_LasToRaster.tif")}));
        QVERIFY(d.lastCommandLine().contains("--attribute intensity"));
        // A creation failure names the path right after "Create".
        LasToRaster e;
        choose(e, {las});
        QFile::remove(f("blocked.tif"));
        QDir().mkpath(f("blocked.tif"));  // a folder where the file should go
        e.outputEdit()->setText(f("blocked.tif"));
        const QStringList shown = ok(e, prompts);
        QCOMPARE(shown, QStringList({"Create" + f("blocked.tif") + " Failed!"}));
    }

    void commandLine()
    {
        QString err;
        QCOMPARE(runCli({"chm", "--dsm", dsm, "--dem", dem, "-o", f("cli_chm.tif")}), 0);
        QCOMPARE(runCli({"chm", "--dsm", dsm, "--dem", other, "-o", f("cli_chm2.tif")}, &err), 1);
        QVERIFY(err.contains("DSM and DEM aren't match!"));
        QCOMPARE(runCli({"chm", "--dem", dem, "-o", f("cli_chm3.tif")}, &err), 1);
        QVERIFY(err.contains("Please add DSM File!"));
        QCOMPARE(runCli({"hillshade", "--azimuth", "400", "--elevation", "45", "--scale", "1.0", dem, "-o", f("cli_hs.tif")},
                        &err),
                 0);
        QVERIFY(err.contains("Please Reset Sloar Azimuth in the range of 0 to 360"));
        QVERIFY(QFile::exists(f("cli_hs.tif")));
        // A DEM that cannot be read: nothing claimed, exit 1.
        QString out;
        QCOMPARE(runCli({"hillshade", f("missing.tif"), "-o", f("hs_missing.tif")}, &err, &out), 1);
        QVERIFY(!out.contains("Wrote"));
        QVERIFY2(err.contains("The hillshade " + f("hs_missing.tif") + " was not written") &&
                     err.contains(f("missing.tif")),
                 qPrintable(err));
        QVERIFY(!QFile::exists(f("hs_missing.tif")));
        QCOMPARE(runCli({"las2raster", "--attribute", "z", "--xsize", "1", "--ysize", "1", las, "-o", f("cli_r.tif")}), 0);
        VerdantaIO::CRasterIO r;
        QVERIFY(r.LoadFile(s(f("cli_r.tif"))));
        QCOMPARE(r.width, 10);
    }
};

QTEST_MAIN(TestProductDialogs)
#include "test_productdialogs.moc"
