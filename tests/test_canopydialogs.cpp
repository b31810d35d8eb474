// The Canopy Cover, Gap Fraction and LAI dialogs: fields, labels and
// defaults, every check in its order with its message and reset, the output
// rules, the question about heights above 200, and the same tools from
// verdanta-cli.

#include "CanopyDialogs.h"
#include "CliRunner.h"
#include "DialogSteps.h"
#include "RasterRead.h"
#include "TestFiles.h"

#include <QFormLayout>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QComboBox>
#include <QPushButton>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>

namespace {

// A 40 x 40 m stand: half the points at 12 m, half on the ground; `lift`
// raises everything (heights above 200 are not normalised).
void writeStand(const QString &path, double x0, double lift = 0)
{
    writeCloud(path, 400, [&](int i, VerdantaIO::PointCloud &p) {
        p.x = x0 + (i % 20) * 2;
        p.y = 100 + (i / 20) * 2;
        p.z = lift + (i % 2 ? 12.0 : 0.3);
        p.returnNumber = 1;
    });
}

std::unique_ptr<ToolDialog> make(int tool)
{
    if (tool == 0)
        return std::make_unique<CanpoyCover>();
    if (tool == 1)
        return std::make_unique<GAP>();
    return std::make_unique<LAI>();
}

}  // namespace

class TestCanopyDialogs : public QObject {
    Q_OBJECT
    QTemporaryDir dir;
    QString a, b, high;
    QString f(const QString &n) const { return dir.filePath(n); }

private slots:
    void initTestCase()
    {
        a = f("a.las");
        b = f("b.x.las");
        high = f("high.las");
        writeStand(a, 1000);
        writeStand(b, 2000);
        writeStand(high, 3000, 300);
    }

    void fieldsAndDefaults_data()
    {
        QTest::addColumn<int>("tool");
        QTest::addColumn<QString>("title");
        QTest::addColumn<QStringList>("labels");
        QTest::addColumn<QString>("suffix");
        const QStringList three{"XSize(m)", "YSize(m)", "HeightBreak(m)"};
        QTest::newRow("cover") << 0 << "Canopy Cover" << three << "_CanopyCover.tif";
        QTest::newRow("gap") << 1 << "Gap Fraction" << three << "_GapFraction.tif";
        QTest::newRow("lai") << 2 << "LAI"
                             << QStringList{"XSize(m)", "HeightBreak(m)", "Leaf Angle Distribution", "YSize(m)"}
                             << "_Lai.tif";
    }
    void fieldsAndDefaults()
    {
        QFETCH(int, tool);
        QFETCH(QString, title);
        QFETCH(QStringList, labels);
        QFETCH(QString, suffix);
        PromptRecorder prompts;
        auto d = make(tool);
        QCOMPARE(d->windowTitle(), title);
        auto *form = d->findChild<QFormLayout *>("fieldsLayout");
        QVERIFY(form);
        QStringList shown;
        for (int row = 0; row < form->rowCount(); ++row)
            if (auto *label = qobject_cast<QLabel *>(form->itemAt(row, QFormLayout::LabelRole)->widget()))
                shown << label->text();
        QCOMPARE(shown, labels);
        QCOMPARE(d->value("xsize"), QString("15"));
        QCOMPARE(d->value("ysize"), QString("15"));
        QCOMPARE(d->value("height-break"), QString("2"));
        if (tool == 2)
            QCOMPARE(d->value("leaf-angle"), QString("0.5"));
        // One input: a file named after it; several: its folder.
        d->setCandidates({b, a});
        d->inputCombo()->setCurrentIndex(0);
        QCOMPARE(d->outputEdit()->text(), f("b" + suffix));
        prompts.files = {{f("chosen.x.tif")}};
        d->findChild<QPushButton *>("OutputBtn")->click();
        QCOMPARE(prompts.fileRequests.last().caption, QString("Output Path"));
        QCOMPARE(prompts.fileRequests.last().filter, QString("TIFF(*.tif)"));
        QCOMPARE(d->outputEdit()->text(), f("chosen.tif"));
        d->inputCombo()->setCurrentIndex(1);
        QCOMPARE(d->outputEdit()->text(), dir.path() + "/");
    }

    // One field at a time: the message, and the value the field then holds.
    void checks_data()
    {
        QTest::addColumn<int>("tool");
        QTest::addColumn<QString>("option");
        QTest::addColumn<QString>("value");
        QTest::addColumn<QString>("message");
        QTest::addColumn<QString>("after");
        const QString xs = "XSize is invalid!\nIt must be set between 0.5 and 200.\nRestore to default value.";
        const QString ys = "YSize is invalid!\nIt must be set between 0.5 and 200.\nRestore to default value.";
        const QString hb = "HeightBreak is invalid!\nIt must be set between 0.5 and 20.\nRestore to default value.";
        const QString la =
            "Leaf Angle Distribution is invalid!\nIt must be set between 0 and 1.\nRestore to default value.";
        for (int t = 0; t < 3; ++t) {
            const QString n = QStringList{"cover", "gap", "lai"}[t];
            auto row = [&](const char *what) -> QTestData & { return QTest::newRow(qPrintable(n + " " + what)); };
            row("xsize empty") << t << "xsize" << "" << "Xsize is empty! Please set!" << "";
            row("xsize 0.4") << t << "xsize" << "0.4" << xs << "15";
            row("xsize 200.5") << t << "xsize" << "200.5" << xs << "15";
            row("ysize empty") << t << "ysize" << "" << "Ysize is empty! Please set!" << "";
            row("ysize 0.4") << t << "ysize" << "0.4" << ys << "15";
            row("height-break empty") << t << "height-break" << "" << "HeightBreak is empty! Please set!" << "";
            row("height-break 0.4") << t << "height-break" << "0.4" << hb << "2";
            row("height-break 21") << t << "height-break" << "21" << hb << "2";
        }
        QTest::newRow("lai leaf empty") << 2 << "leaf-angle" << "" << "Leaf Angle Distribution is empty!Please set!" << "";
        QTest::newRow("lai leaf 0") << 2 << "leaf-angle" << "0" << la << "0.5";
        QTest::newRow("lai leaf 1.2") << 2 << "leaf-angle" << "1.2" << la << "0.5";
    }
    void checks()
    {
        QFETCH(int, tool);
        QFETCH(QString, option);
        QFETCH(QString, value);
        QFETCH(QString, message);
        QFETCH(QString, after);
        PromptRecorder prompts;
        auto d = make(tool);
        choose(*d, {a});
        d->setValue(option, value);
        QCOMPARE(pressOk(*d, prompts), QStringList({message}));
        QCOMPARE(d->value(option), after);
        QCOMPARE(d->result(), 0);
        QVERIFY(!QFile::exists(d->outputEdit()->text()));
    }

    // The order of the checks (LAI checks YSize before the fields above it),
    // the output rules, the question about heights and a completed run.
    void orderOutputsAndRun()
    {
        PromptRecorder prompts;
        LAI d;
        d.setValue("xsize", "0");
        QCOMPARE(pressOk(d, prompts), QStringList({"Please add LAS File!"}));
        d.setCandidates({a, b, high});
        d.inputCombo()->setCurrentIndex(0);
        d.setValue("ysize", "300");
        d.setValue("height-break", "");
        d.setValue("leaf-angle", "7");
        QCOMPARE(pressOk(d, prompts).value(0).left(17), QString("XSize is invalid!"));
        QCOMPARE(pressOk(d, prompts).value(0).left(17), QString("YSize is invalid!"));
        QCOMPARE(pressOk(d, prompts), QStringList({"HeightBreak is empty! Please set!"}));
        d.setValue("height-break", "20");
        QCOMPARE(pressOk(d, prompts).value(0).left(35), QString("Leaf Angle Distribution is invalid!"));
        d.setValue("leaf-angle", "1");  // accepted
        d.setValue("xsize", "200");     // accepted
        d.setValue("xsize", "0.5");
        walk(d, prompts, {{"-o", f("missing/x.tif"), "Output Path is invalid! Please reset!", ""},
                          {"-o", "", "Output Path is empty! Please set!"}});
        // A folder is given the input's name; the run writes it.
        d.outputEdit()->setText(dir.path() + "/");
        prompts.answers = {QMessageBox::No};
        QCOMPARE(pressOk(d, prompts), QStringList({"Do you want to add results into the project?"}));
        QCOMPARE(d.outputEdit()->text(), f("a_Lai.tif"));
        QVERIFY(d.resultFiles.isEmpty());  // No: nothing is offered
        QCOMPARE(d.result(), int(QDialog::Accepted));
        QCOMPARE(readRaster(f("a_Lai.tif")).gt[1], 0.5);

        // Heights above 200: a question when that input's turn comes; No
        // ends the run there, with the earlier input's raster complete.
        GAP g;
        choose(g, {a, high});
        const QString question = "<p align='center'>" + high +
                                 "<br>Z Value is more than 200<br>please confirm whether the data is normalized?</p>";
        prompts.answers = {QMessageBox::No};
        QCOMPARE(pressOk(g, prompts), QStringList({question}));
        QVERIFY(QFile::exists(f("a_GapFraction.tif")));
        QVERIFY(!QFile::exists(f("high_GapFraction.tif")));
        QCOMPARE(g.result(), 0);
        prompts.answers = {QMessageBox::Yes, QMessageBox::Yes};
        QCOMPARE(pressOk(g, prompts), QStringList({question, "Do you want to add results into the project?"}));
        QCOMPARE(g.resultFiles, QStringList({f("a_GapFraction.tif"), f("high_GapFraction.tif")}));
        QCOMPARE(readRaster(f("high_GapFraction.tif")).at(0, 0), 0.0f);  // every point above the break
    }

    void commandLine()
    {
        QString err, out;
        QCOMPARE(runCli({"cover", "--xsize", "15", "--ysize", "15", "--height-break", "2", a, "-o", f("A.tif")}, &err), 0);
        QCOMPARE(runCli({"gap", "--xsize", "15", "--ysize", "15", "--height-break", "2", a, "-o", f("G.tif")}, &err), 0);
        QCOMPARE(runCli({"lai", "--xsize", "15", "--ysize", "15", "--height-break", "2", "--leaf-angle", "0.5", a, "-o",
                         f("L.tif")}, &err), 0);
        const TestRaster cover = readRaster(f("A.tif")), gap = readRaster(f("G.tif")), lai = readRaster(f("L.tif"));
        QCOMPARE(cover.at(0, 0), 0.5f);  // 12 of 24 first returns above 2 m in the north-west cell
        QCOMPARE(gap.at(0, 0), 0.5f);
        QVERIFY(std::fabs(lai.at(0, 0) - 1.3862944f) < 1e-5f);  // -ln(0.5) / 0.5
        QCOMPARE(cover.gt[3], 138.0);
        // Several inputs: a folder and one raster per input.
        QDir().mkpath(f("many"));
        QCOMPARE(runCli({"gap", a, b, "-o", f("many")}, &err, &out), 0);
        QVERIFY(QFile::exists(f("many/a_GapFraction.tif")) && QFile::exists(f("many/b_GapFraction.tif")));
        // The height question needs --yes, and reads as plain lines.
        QCOMPARE(runCli({"cover", high, "-o", f("H.tif")}, &err), 1);
        QCOMPARE(err.trimmed(), high + "\nZ Value is more than 200\nplease confirm whether the data is normalized?\n"
                                       "Answer with --yes to go on.");
        QVERIFY(!QFile::exists(f("H.tif")));
        QCOMPARE(runCli({"cover", "--yes", high, "-o", f("H.tif")}, &err), 0);
        QCOMPARE(runCli({"lai", "--leaf-angle", "0", a, "-o", f("L0.tif")}, &err), 1);
        QCOMPARE(err.trimmed(), QString("Leaf Angle Distribution is invalid! It must be set between 0 and 1. (--leaf-angle 0)"));
        QFile bad(f("bad.las"));
        QVERIFY(bad.open(QIODevice::WriteOnly) && bad.write("not a LAS file") > 0);
        bad.close();
        QCOMPARE(runCli({"gap", bad.fileName(), "-o", f("B.tif")}, &err), 1);
        QVERIFY(err.startsWith("Open LAS file failed! (" + bad.fileName()));
    }
};

QTEST_MAIN(TestCanopyDialogs)
#include "test_canopydialogs.moc"
