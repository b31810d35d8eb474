// The DEM and DSM dialogs: every check and message in its order, merge and
// per-file outputs, Kriging hiding P, the classified question, a failing
// third input, and the same tools from verdanta-cli.

#include "CliRunner.h"
#include "DialogSteps.h"
#include "RasterDialogs.h"
#include "RasterIO.h"
#include "RasterRead.h"
#include "TestFiles.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QTemporaryDir>
#include <QtTest>

namespace {

void writeGround(const QString &path, double x0, bool ground = true)
{
    writeCloud(path, 400, [&](int i, VerdantaIO::PointCloud &p) {
        p.x = x0 + (i % 20);
        p.y = 100 + (i / 20);
        p.z = 50 + 0.1 * (i % 20);
        p.classification = ground ? 2 : 1;
        p.returnNumber = 1;
    });
}

}  // namespace

class TestRasterDialogs : public QObject {
    Q_OBJECT
    QTemporaryDir dir;
    QString a, b, veg;
    QString f(const QString &n) const { return dir.filePath(n); }

    QStringList ok(ToolDialog &d, PromptRecorder &prompts) { return pressOk(d, prompts); }

private slots:
    void initTestCase()
    {
        a = f("a.las");
        b = f("b.las");
        veg = f("veg.las");
        writeGround(a, 100);
        writeGround(b, 130);
        writeGround(veg, 160, false);
    }

    void widgetsAndDefaults()
    {
        PromptRecorder prompts;
        CDEM d;
        QCOMPARE(d.windowTitle(), QString("Generating DEM"));
        QCOMPARE(d.value("xsize"), QString("2.0"));
        QCOMPARE(d.value("ysize"), QString("2.0"));
        QCOMPARE(d.value("power"), QString("2.0"));
        QCOMPARE(d.value("merge"), QString("0"));
        auto *type = d.findChild<QComboBox *>("Type");
        QVERIFY(type);
        QCOMPARE(type->itemText(0), QString("IDW"));
        QCOMPARE(type->itemText(1), QString("Kriging"));
        QVERIFY(d.findChild<QCheckBox *>("Merge"));
        d.show();
        QVERIFY(!d.findChild<QLineEdit *>("P")->isHidden());
        type->setCurrentIndex(1);
        QVERIFY(d.findChild<QLineEdit *>("P")->isHidden());
        type->setCurrentIndex(0);
        QVERIFY(!d.findChild<QLineEdit *>("P")->isHidden());

        d.setCandidates({a, b});
        d.inputCombo()->setCurrentIndex(0);
        QCOMPARE(d.outputEdit()->text(), f("a_GenerateDEM.tif"));
        d.inputCombo()->setCurrentIndex(1);
        QCOMPARE(d.outputEdit()->text(), dir.path() + "/");  // several, merge off: the folder
        d.setValue("merge", "1");
        prompts.files = {{f("m.x.tif")}};
        d.findChild<QPushButton *>("OutputBtn")->click();
        QCOMPARE(prompts.fileRequests.last().filter, QString("TIFF(*.tif)"));
        QCOMPARE(d.outputEdit()->text(), f("m.tif"));
        d.inputList()->item(0)->setSelected(true);
        d.findChild<QPushButton *>("DeleteBtn")->click();
        QVERIFY(d.outputEdit()->text().isEmpty());  // delete clears the output
        CDSM e;
        QCOMPARE(e.windowTitle(), QString("Generating DSM"));
        choose(e, {a});
        QCOMPARE(e.outputEdit()->text(), f("a_GenerateDSM.tif"));
    }

    void demChecksInOrder()
    {
        PromptRecorder prompts;
        CDEM d;
        d.setCandidates({a, b});
        QCOMPARE(ok(d, prompts), QStringList({"Please add LAS File!"}));
        d.inputCombo()->setCurrentIndex(0);
        d.findChild<QComboBox *>("Type")->setCurrentIndex(1);  // P is checked even for Kriging
        walk(d, prompts, {{"xsize", "", "XSize is empty! Please set!"},
                          {"xsize", "0", "The XSize is invalid!It must be set greater than 0.Restore to default value.", "2.0"},
                          {"ysize", "", "YSize is empty! Please set!"},
                          {"ysize", "-1", "The YSize is invalid!\nIt must be set greater than 0.\nRestore to default value.", "2.0"},
                          {"power", "", "P is empty! Please set!"},
                          {"power", "-2", "P is invalid!\nIt must be set greater than or equal to 0.\nRestore to default value.", "2.0"}});
        d.setValue("power", "0");  // accepted
        d.findChild<QComboBox *>("Type")->setCurrentIndex(0);
        d.outputEdit()->clear();
        QCOMPARE(ok(d, prompts), QStringList({"Output Path is empty! Please set!"}));
        // One input and a folder output (empty base name): refused, even merged.
        d.setValue("merge", "1");
        d.outputEdit()->setText(dir.path() + "/");
        QCOMPARE(ok(d, prompts), QStringList({"Output Path is invalid!\nLas Files and merge are changed!\nPlease reset!"}));
        QVERIFY(d.outputEdit()->text().isEmpty());
        d.setValue("merge", "0");
        // Two inputs, merge off, a file output: refused, the output cleared.
        d.inputCombo()->setCurrentIndex(1);
        d.outputEdit()->setText(f("two.tif"));
        QCOMPARE(ok(d, prompts), QStringList({"Output Path is invalid!\nLas Files and merge are changed!\nPlease reset!"}));
        QVERIFY(d.outputEdit()->text().isEmpty());
        d.outputEdit()->setText(f("missing/"));
        QCOMPARE(ok(d, prompts), QStringList({"Output Path is invalid! Please reset!"}));
        d.outputEdit()->setText("relative/");
        QCOMPARE(ok(d, prompts), QStringList({"Output Path is invalid! Please reset!"}));
        // No to "classified?": nothing is written, the dialog stays open.
        d.outputEdit()->setText(dir.path() + "/");
        prompts.answers = {QMessageBox::No};
        QCOMPARE(ok(d, prompts), QStringList({"Has the LAS data been classified?"}));
        QCOMPARE(d.outputEdit()->text(), dir.path() + "/");  // normalised
        QVERIFY(!QFile::exists(f("a_GenerateDEM.tif")));
        QCOMPARE(d.result(), 0);
        // Yes: one raster per input, then the add-results question.
        prompts.answers = {QMessageBox::Yes, QMessageBox::Yes};
        QCOMPARE(ok(d, prompts), QStringList({"Has the LAS data been classified?", "Do you want to add results into the project?"}));
        QCOMPARE(d.resultFiles, QStringList({f("a_GenerateDEM.tif"), f("b_GenerateDEM.tif")}));
        QCOMPARE(d.result(), int(QDialog::Accepted));
    }

    void mergeModeAndKriging()
    {
        PromptRecorder prompts;
        CDEM d;
        choose(d, {a, b});
        d.setValue("merge", "1");
        d.setValue("method", "Kriging");
        d.outputEdit()->setText(f("merged"));
        prompts.answers = {QMessageBox::Yes, QMessageBox::Yes};
        ok(d, prompts);
        QCOMPARE(d.resultFiles, QStringList({f("merged.tif")}));
        VerdantaIO::CRasterIO r;
        QVERIFY(r.LoadFile(s(f("merged.tif"))));
        QCOMPARE(r.width, int(std::floor(std::floor(149.0 - 100.0) / 2.0 + 1)));
        QCOMPARE(r.geoTransform[0], 100.0);
        QVERIFY(d.lastCommandLine().contains("--method kriging"));
        QVERIFY(d.lastCommandLine().contains("--merge"));
        // Pasted, the logged command repeats the run as it happened: the
        // user's Yes travels as --yes.
        QStringList args = d.lastCommandLine().split(' ');
        QCOMPARE(args.takeFirst(), QString("verdanta-cli"));
        QCOMPARE(args.at(args.size() - 2), QString("-o"));
        args.last() = f("again.tif");
        QCOMPARE(runCli(args), 0);
        QVERIFY(readRaster(f("again.tif")).v == readRaster(f("merged.tif")).v);
    }

    void failingThirdInputKeepsTheFirstTwo()
    {
        PromptRecorder prompts;
        QVERIFY(writeBytes(f("bad.las"), "not a LAS file"));
        const QString out = f("three");
        QDir().mkpath(out);
        QFile::copy(a, out + "/a.las");
        QFile::copy(b, out + "/b.las");
        CDEM d;
        d.setCandidates({out + "/a.las", out + "/b.las", f("bad.las")});
        for (int i = 0; i < 3; ++i)
            d.inputCombo()->setCurrentIndex(i);
        d.outputEdit()->setText(out + "/");
        prompts.answers = {QMessageBox::Yes, QMessageBox::Ok};
        QCOMPARE(ok(d, prompts), QStringList({"Has the LAS data been classified?", "Open LAS file failed!"}));
        QVERIFY(QFile::exists(out + "/a_GenerateDEM.tif"));
        QVERIFY(QFile::exists(out + "/b_GenerateDEM.tif"));
        QCOMPARE(d.result(), 0);  // still open

        // Kriging words its failures differently.
        d.setValue("method", "Kriging");
        prompts.answers = {QMessageBox::Yes, QMessageBox::Ok};
        QCOMPARE(ok(d, prompts), QStringList({"Has the LAS data been classified?", "The 3th file can't been opened!"}));

        // A file without ground points is reported plainly.
        CDEM e;
        choose(e, {veg});
        prompts.answers = {QMessageBox::Yes, QMessageBox::Ok};
        const QStringList shown = ok(e, prompts);
        QCOMPARE(shown.size(), 2);
        QVERIFY(shown[1].contains(veg) && shown[1].contains("no ground points"));
    }

    void dsmDiffers()
    {
        PromptRecorder prompts;
        CDSM d;
        choose(d, {a, b});
        // The folder is checked before the inputs/merge consistency.
        d.outputEdit()->setText(f("missing/two.tif"));
        QCOMPARE(ok(d, prompts), QStringList({"Output Path is invalid! Please reset!"}));
        d.outputEdit()->setText(f("two.tif"));
        QCOMPARE(ok(d, prompts), QStringList({"Output Path is invalid!\nLas Files and merge are changed!\nPlease reset!"}));
        // No classified question.
        d.outputEdit()->setText(dir.path() + "/");
        prompts.answers = {QMessageBox::Yes};
        QCOMPARE(ok(d, prompts), QStringList({"Do you want to add results into the project?"}));
        QCOMPARE(d.resultFiles, QStringList({f("a_GenerateDSM.tif"), f("b_GenerateDSM.tif")}));
    }

    void commandLine()
    {
        QString err;
        QCOMPARE(runCli({"dem", "--xsize", "1", "--ysize", "1", "--method", "kriging", "--yes", a, "-o", f("A_dem.tif")}), 0);
        VerdantaIO::CRasterIO r;
        QVERIFY(r.LoadFile(s(f("A_dem.tif"))));
        QCOMPARE(r.geoTransform[1], 1.0);
        QCOMPARE(runCli({"dem", a, "-o", f("B_dem.tif")}, &err), 1);
        QVERIFY(err.contains("Has the LAS data been classified?"));
        QVERIFY(!QFile::exists(f("B_dem.tif")));
        QCOMPARE(runCli({"dem", "--xsize", "0", "--yes", a, "-o", f("B_dem.tif")}, &err), 1);
        QCOMPARE(err.trimmed(), QString("The XSize is invalid! It must be set greater than 0. (--xsize 0)"));
        QCOMPARE(runCli({"dem", "--method", "spline", "--yes", a, "-o", f("B_dem.tif")}, &err), 1);
        QVERIFY(err.contains("idw, kriging"));
        QCOMPARE(runCli({"dsm", "--merge", "--power", "0", a, b, "-o", f("S.tif")}), 0);
        QVERIFY(QFile::exists(f("S.tif")));
    }
};

QTEST_MAIN(TestRasterDialogs)
#include "test_rasterdialogs.moc"
