// The shared tool dialog with the Merge, LasTile and LasNormalization tools:
// inputs, default outputs, every check and message, the overwrite refusal,
// the add-results question and the hand-back to the main window; and the
// same tools from verdanta-cli.

#include "LasDataDialogs.h"
#include "MainWindow.h"
#include "CliRunner.h"
#include "DialogSteps.h"
#include "PromptRecorder.h"
#include "RasterTools.h"
#include "TestFiles.h"

#include <QAction>
#include <QComboBox>
#include <QDir>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTextBrowser>
#include <QtTest>

#include <ogr_spatialref.h>

#include <cstring>

namespace {

// A grid of n points, 2 m apart, ten to a row; `epsg` > 0 records that
// coordinate system as WKT.
void writeLas(const QString &path, double x0, double y0, int n, double z0 = 0, int epsg = 0)
{
    VerdantaIO::PointHeader h;
    if (epsg > 0) {
        OGRSpatialReference srs;
        srs.importFromEPSG(epsg);
        char *wkt = nullptr;
        srs.exportToWkt(&wkt);
        VerdantaIO::VariableLengthRecord vlr;
        vlr.userId = "LASF_Projection";
        vlr.recordId = 2112;
        vlr.data.assign(wkt, wkt + std::strlen(wkt) + 1);
        CPLFree(wkt);
        h.vlrs.push_back(vlr);
    }
    writeCloud(path, n, [&](int i, VerdantaIO::PointCloud &p) {
        p.x = x0 + (i % 10) * 2.0;
        p.y = y0 + (i / 10) * 2.0;
        p.z = z0 + i * 0.1;
        p.returnNumber = 1;
    }, h);
}

void press(ToolDialog &d, const char *button) { d.findChild<QPushButton *>(button)->click(); }

}  // namespace

class TestToolDialogs : public QObject {
    Q_OBJECT
    QTemporaryDir dir;
    QString a, b, c, dem;

    QString f(const QString &name) const { return dir.filePath(name); }

    // Runs OK and returns the warning texts it showed.
    QStringList ok(ToolDialog &d, PromptRecorder &prompts) { return pressOk(d, prompts, true); }

private slots:
    void initTestCase()
    {
        a = f("a.b.las");
        b = f("b.las");
        c = f("far.las");
        dem = f("dem.tif");
        writeLas(a, 100, 100, 50, 20);
        writeLas(b, 110, 100, 50, 20);
        writeLas(c, 5000, 5000, 50, 20);
        writeTif(dem, 50, 50, {90, 1, 0, 140, 0, -1}, [](int, int) { return 5.0f; });
    }

    void inputsAndDefaultOutputs()
    {
        PromptRecorder prompts;
        Merge d;
        QCOMPARE(d.windowTitle(), QString("LasMerge"));
        d.setCandidates({a, b});
        QCOMPARE(d.inputCombo()->currentIndex(), -1);
        d.inputCombo()->setCurrentIndex(0);
        d.inputCombo()->setCurrentIndex(0);  // the same candidate twice lists it twice
        QCOMPARE(d.inputList()->count(), 2);
        QCOMPARE(d.inputPaths.size(), size_t(2));
        QCOMPARE(d.inputCombo()->currentIndex(), -1);
        QCOMPARE(d.outputEdit()->text(), f("a_Merge.las"));  // base name up to the first dot
        prompts.files = {{b}};
        press(d, "AddBtn");
        QCOMPARE(prompts.fileRequests.last().caption, QString("Open File"));
        QCOMPARE(prompts.fileRequests.last().filter, QString("LAS File(*.las *.laz *.vpc)"));
        QCOMPARE(d.outputEdit()->text(), f("b_Merge.las"));  // from the last input
        d.inputList()->item(2)->setSelected(true);
        d.inputList()->item(0)->setSelected(true);
        press(d, "DeleteBtn");
        QCOMPARE(d.inputList()->count(), 1);
        QCOMPARE(QString::fromStdString(d.inputPaths[0]), a);
        // "..." with one input: a file, given the base name and ".las".
        prompts.files = {{f("chosen.name.txt")}};
        press(d, "OutputBtn");
        QCOMPARE(prompts.fileRequests.last().caption, QString("Output Path"));
        QCOMPARE(d.outputEdit()->text(), f("chosen.las"));
        // With several inputs: a folder.
        d.inputCombo()->setCurrentIndex(1);
        prompts.files = {{dir.path()}};
        press(d, "OutputBtn");
        QCOMPARE(prompts.fileRequests.last().caption, QString("Select Directory"));
        QCOMPARE(d.outputEdit()->text(), dir.path());
        // Help toggles.
        auto *help = d.findChild<QTextBrowser *>("helpText");
        QVERIFY(help->isHidden());
        press(d, "ShowHelpBtn");
        QVERIFY(!help->isHidden());
        press(d, "ShowHelpBtn");
        QVERIFY(help->isHidden());
        d.Reset();
        QCOMPARE(d.inputList()->count(), 0);
        QVERIFY(d.outputEdit()->text().isEmpty());
        QVERIFY(ToolChecks::joinPath("/", "x.las") == "/x.las");  // a root gets no second separator
    }

    void mergeChecksInOrder()
    {
        PromptRecorder prompts;
        Merge d;
        d.setCandidates({a, b});
        QCOMPARE(ok(d, prompts), QStringList({"Please add LAS File!"}));
        d.inputCombo()->setCurrentIndex(0);
        const QString invalid = "Output Path is invalid! Please reset!";
        walk(d, prompts, {{"-o", "", "Output Path is empty! Please set!"},
                          {"-o", f("missing/out.las"), "Please reset the output file!"},
                          {"-o", "out", invalid},  // relative: refused
                          {"-o", f("bad?name.las"), invalid},
                          {"-o", a, invalid}});  // would overwrite the input
        QVERIFY(QFile::exists(a));
        QCOMPARE(d.result(), 0);  // still open, inputs kept
        QCOMPARE(d.inputList()->count(), 1);

        // A run: the question, then the results handed back.
        d.inputCombo()->setCurrentIndex(1);
        d.outputEdit()->setText(f("merged"));
        prompts.answers = {QMessageBox::Yes};
        QCOMPARE(ok(d, prompts), QStringList());
        QCOMPARE(prompts.messages.last().text, QString("Do you want to add results into the project?"));
        QCOMPARE(prompts.messages.last().defaultButton, QMessageBox::Yes);
        QCOMPARE(d.result(), int(QDialog::Accepted));
        QCOMPARE(d.resultFiles, QStringList({f("merged.las")}));
        VerdantaIO::CLASIO m;
        QVERIFY(m.LoadFile(s(f("merged.las"))));
        QCOMPARE(m.header.numberOfPointRecords, uint64_t(100));
        QCOMPARE(d.lastCommandLine(), "verdanta-cli merge " + a + " " + b + " -o " + f("merged"));

        // Into an existing folder: base name of the first input + "_Merge.las"; No adds nothing.
        Merge e;
        choose(e, {a});
        e.outputEdit()->setText(dir.path());
        prompts.answers = {QMessageBox::No};
        ok(e, prompts);
        QVERIFY(QFile::exists(f("a_Merge.las")));
        QVERIFY(e.resultFiles.isEmpty());
        QCOMPARE(e.result(), int(QDialog::Accepted));

        // An input that cannot be read.
        Merge g;
        choose(g, {a, f("nope.las")});
        g.outputEdit()->setText(f("m2.las"));
        QCOMPARE(ok(g, prompts), QStringList({"Open LAS file failed!"}));
    }

    // Files under different coordinate systems are not joined unasked: the
    // dialog names each file and its system, the command line wants --yes,
    // and a DEM, DSM or raster merge asks the same.
    void mergeAcrossCoordinateSystems()
    {
        const QString utm = f("utm54s.las"), mtm = f("mtm7.las"), utm2 = f("utm54s_b.las");
        writeLas(utm, 277750, 6122250, 50, 0, 32754);
        writeLas(utm2, 277800, 6122250, 50, 0, 32754);
        writeLas(mtm, 273357, 5274357, 50, 0, 2949);
        PromptRecorder prompts;
        Merge d;
        choose(d, {utm, mtm});
        d.outputEdit()->setText(f("crs.las"));
        prompts.answers = {QMessageBox::No};
        QCOMPARE(ok(d, prompts), QStringList());
        QCOMPARE(prompts.messages.size(), 1);
        const Prompt::Message asked = prompts.messages.first();
        QCOMPARE(asked.kind, Prompt::Kind::Question);
        QCOMPARE(asked.text, QString("The input files lie in different coordinate systems:\n"
                                     "utm54s.las: WGS 84 / UTM zone 54S\n"
                                     "mtm7.las: NAD83(CSRS) / MTM zone 7\n"
                                     "The output will carry the coordinate system of utm54s.las and no point is "
                                     "reprojected. Do you want to go on?"));
        QVERIFY(!QFile::exists(f("crs.las")));
        QCOMPARE(d.result(), 0);
        prompts.answers = {QMessageBox::Yes, QMessageBox::Yes};
        ok(d, prompts);
        QVERIFY(QFile::exists(f("crs.las")));
        QVERIFY(d.lastCommandLine().contains(" --yes "));

        QString err;
        QCOMPARE(runCli({"merge", utm, mtm, "-o", f("crs_cli.las")}, &err), 1);
        QVERIFY(err.contains("utm54s.las: WGS 84 / UTM zone 54S\nmtm7.las: NAD83(CSRS) / MTM zone 7\n"));
        QVERIFY(err.contains("Answer with --yes to go on."));
        QVERIFY(!QFile::exists(f("crs_cli.las")));
        QCOMPARE(runCli({"merge", "--yes", utm, mtm, "-o", f("crs_cli.las")}), 0);
        // Files that share one system, or all have none, ask nothing.
        QCOMPARE(runCli({"merge", utm, utm2, "-o", f("crs_same.las")}), 0);
        QCOMPARE(runCli({"merge", a, b, "-o", f("crs_none.las")}), 0);

        ToolRequest r;
        r.inputs = QStringList{utm, mtm};
        for (const Tool *t : {&RasterTools::dem(), &RasterTools::dsm(), &RasterTools::lasToRaster()}) {
            r.values["merge"] = "0";
            QCOMPARE(ToolChecks::questions(*t, r).size(), t->confirmation.isEmpty() ? 0 : 1);
            r.values["merge"] = "1";
            QVERIFY(ToolChecks::questions(*t, r).first().startsWith("The input files lie in different"));
        }
    }

    void tileChecksAndDefaults()
    {
        PromptRecorder prompts;
        LasTile d;
        QCOMPARE(d.windowTitle(), QString("LasTile"));
        QCOMPARE(d.field("width")->text(), QString("500.0"));
        QCOMPARE(d.field("height")->text(), QString("500.0"));
        choose(d, {a});
        const QString width = "Width is invalid!\nIt must be greater than 0.\nRestore to default value.";
        walk(d, prompts, {{"width", "", "Width is empty! Please set!", ""},
                          {"width", "0", width, "500.0"},
                          {"width", "-5", width, "500.0"},
                          {"width", "abc", width, "500.0"},
                          {"height", "", "Height is empty! Please set!", ""},
                          {"height", "0", "Height is invalid!\nIt must be greater than 0.\nRestore to default value.", "500.0"},
                          {"-o", "", "Output Path is empty! Please set!"},
                          {"-o", "tiles", "Output Path is invalid! Please reset!"}});
        d.field("width")->setText("10");
        d.field("height")->setText("10");
        d.outputEdit()->setText(f("tiles"));
        prompts.answers = {QMessageBox::Yes};
        QCOMPARE(ok(d, prompts), QStringList());
        QCOMPARE(d.resultFiles.size(), 2 * 1);  // x 100..118 in tiles 100 and 110; y 100..108 in 100
        QVERIFY(d.resultFiles.contains(f("tiles/a_100_100.las")));
        QVERIFY(d.lastCommandLine().startsWith("verdanta-cli tile --width 10 --height 10 "));
    }

    void normalizationReportsFilesOffTheDem()
    {
        PromptRecorder prompts;
        LasNormalization d;
        QCOMPARE(d.windowTitle(), QString("LasNormalization"));
        d.setCandidates({a, c, b});
        QCOMPARE(ok(d, prompts), QStringList({"Please add LAS File!"}));
        d.inputCombo()->setCurrentIndex(0);
        QCOMPARE(d.outputEdit()->text(), f("a_Normalization.las"));
        QCOMPARE(ok(d, prompts), QStringList({"Please add DEM File!"}));
        prompts.files = {{dem}};
        d.findChild<QPushButton *>("browse_dem")->click();
        QCOMPARE(prompts.fileRequests.last().filter, QString("TIFF(*.tif)"));
        QCOMPARE(d.field("dem")->text(), dem);
        d.inputCombo()->setCurrentIndex(1);
        d.inputCombo()->setCurrentIndex(2);
        d.outputEdit()->setText(f("normalised"));
        prompts.answers = {QMessageBox::Ok, QMessageBox::Yes};
        const QStringList warnings = ok(d, prompts);
        QCOMPARE(warnings, QStringList({"The " + c + " file don't match DEM file!\n"}));
        QCOMPARE(d.resultFiles, QStringList({f("normalised/a_Normalization.las"), f("normalised/b_Normalization.las")}));
        VerdantaIO::CLASIO n;
        QVERIFY(n.LoadFile(s(f("normalised/b_Normalization.las"))));
        QVERIFY(n.ReadData(nullptr));
        QVERIFY(std::abs(n.points.front().z - 15.0) < 1e-6);  // 20 - 5

        LasNormalization e;
        choose(e, {a});
        e.field("dem")->setText(f("no.tif"));
        QCOMPARE(ok(e, prompts), QStringList({"Read DEM file failed!"}));
    }

    void mainWindowHandsResultsToTheProject()
    {
        PromptRecorder prompts;
        MainWindow w;
        w.addResults({a, b});
        // The dialog runs modally: answer its prompts and drive it from a timer.
        QTimer::singleShot(0, [&] {
            auto *d = qobject_cast<ToolDialog *>(QApplication::activeModalWidget());
            QVERIFY(d);
            QCOMPARE(d->inputCombo()->count(), 2);  // the project's LAS files
            QCOMPARE(d->inputCombo()->currentIndex(), -1);
            d->inputCombo()->setCurrentIndex(0);
            d->inputCombo()->setCurrentIndex(1);
            d->outputEdit()->setText(f("from_window.las"));
            prompts.answers = {QMessageBox::Yes};
            d->findChild<QPushButton *>("OK")->click();
        });
        w.findChild<QAction *>("actionLAS_Merge")->trigger();
        QCOMPARE(w.layerFiles(MainWindow::LasGroup), QStringList({a, b, f("from_window.las")}));
        QVERIFY(w.outputText().contains("verdanta-cli merge " + a + " " + b + " -o " + f("from_window.las")));

        // A cancelled dialog adds nothing.
        QTimer::singleShot(0, [] { QApplication::activeModalWidget()->findChild<QPushButton *>("Cancel")->click(); });
        w.findChild<QAction *>("actionTile")->trigger();
        QCOMPARE(w.layerFiles(MainWindow::LasGroup).size(), 3);
    }

    void commandLine()
    {
        QString err;
        QCOMPARE(runCli({"merge", a, b, "-o", f("cli_m.las")}), 0);
        VerdantaIO::CLASIO m;
        QVERIFY(m.LoadFile(s(f("cli_m.las"))));
        QCOMPARE(m.header.numberOfPointRecords, uint64_t(100));
        QCOMPARE(runCli({"tile", "--width", "-5", a, "-o", f("cli_tiles")}, &err), 1);
        // The dialog's text on one line, with the value, without the dialog-only advice.
        QCOMPARE(err.trimmed(), QString("Width is invalid! It must be greater than 0. (--width -5)"));
        QCOMPARE(runCli({"tile", "--width", "10", "--height", "10", "--yes", a, "-o", f("cli_tiles")}), 0);
        QVERIFY(QFile::exists(f("cli_tiles/a_100_100.las")));
        QCOMPARE(runCli({"normalize", a, "-o", f("cli_n.las")}, &err), 1);
        QVERIFY(err.contains("Please add DEM File!"));
        QCOMPARE(runCli({"normalize", "--dem", dem, a, "-o", f("cli_n.las")}), 0);
        QCOMPARE(runCli({"merge", a, "-o", a}, &err), 1);
        QVERIFY(err.contains("Output Path is invalid! Please reset!"));
        QCOMPARE(runCli({"merge", "-o", f("x.las")}, &err), 1);
        QVERIFY(err.contains("Please add LAS File!"));
        // Paths are taken relative to the folder the command is typed in, and
        // only files that exist are reported as written.
        QString out;
        QCOMPARE(runCli({"merge", "a.b.las", "-o", "rel.las"}, &err, &out, dir.path()), 0);
        QCOMPARE(out.trimmed(), "Wrote " + f("rel.las"));
        QVERIFY(QFile::exists(f("rel.las")));
        // Failures name what failed.
        QCOMPARE(runCli({"merge", a, "-o", f("nodir/x.las")}, &err), 1);
        QCOMPARE(err.trimmed(), "Please reset the output file! (" + f("nodir") + " does not exist)");
        QCOMPARE(runCli({"merge", a, f("nope.las"), "-o", f("x.las")}, &err), 1);
        QVERIFY2(err.startsWith("Open LAS file failed! (" + f("nope.las") + ": "), qPrintable(err));
        QVERIFY(!QFile::exists(f("x.las")));
        QCOMPARE(runCli({"merge", "--bogus", "1", a, "-o", f("x.las")}, &err), 1);
        QVERIFY(err.contains("Unknown option --bogus"));
        QString text;
        QCOMPARE(runCli({"tile", "--help"}, nullptr, &text), 0);
        QVERIFY(text.contains("--width") && text.contains("(default 500.0)"));
    }
};

QTEST_MAIN(TestToolDialogs)
#include "test_tooldialogs.moc"
