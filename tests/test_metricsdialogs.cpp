// The Elevation Metrics and Intensity Metrics dialogs (fields, checks in
// order, resets, output rules, the normalised-data question) and the same
// tools from verdanta-cli.

#include "CliRunner.h"
#include "DialogSteps.h"
#include "CloudMetricsDialogs.h"
#include "PromptRecorder.h"
#include "TestFiles.h"

#include <QComboBox>
#include <QDoubleValidator>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QTemporaryDir>
#include <QtTest>

namespace {

// 12 points in one 15 m cell, heights base + 0..11.
void writeCell(const QString &path, double base)
{
    QVERIFY(writeCloud(path, 12, [&](int k, VerdantaIO::PointCloud &p) {
        p.x = 1 + k;
        p.y = 2 + k;
        p.z = base + k;
        p.intensity = static_cast<uint16_t>(10 * k);
    }));
}

QStringList labels(const QWidget &w)
{
    QStringList list;
    for (const QLabel *l : w.findChildren<QLabel *>())
        list << l->text();
    return list;
}

}  // namespace

class TestMetricsDialogs : public QObject {
    Q_OBJECT
    QTemporaryDir dir;
    QString a, b, tall;
    QString f(const QString &n) const { return dir.filePath(n); }

private slots:
    void initTestCase()
    {
        a = f("a.b.las");
        b = f("b.las");
        tall = f("tall.las");
        writeCell(a, 1);
        writeCell(b, 3);
        writeCell(tall, 195);  // highest point 206
    }

    void fieldsAndOutputs()
    {
        PromptRecorder prompts;
        DensityMetrics d;
        QCOMPARE(d.windowTitle(), QString("Elevation Metrics"));
        for (const QString &label : {"XSize(m)", "YSize(m)", "HeightBreak(m)"})
            QVERIFY2(labels(d).contains(label), qPrintable(label));
        QCOMPARE(d.value("xsize"), QString("15"));
        QCOMPARE(d.value("ysize"), QString("15"));
        QCOMPARE(d.value("height-break"), QString("0"));
        auto *xv = qobject_cast<const QDoubleValidator *>(d.field("xsize")->validator());
        auto *hv = qobject_cast<const QDoubleValidator *>(d.field("height-break")->validator());
        QVERIFY(xv && hv);
        QCOMPARE(xv->bottom(), 0.5);
        QCOMPARE(xv->top(), 200.0);
        QCOMPARE(xv->decimals(), 2);
        QCOMPARE(hv->top(), 150.0);
        QString minus = "-1";
        int pos = 0;
        QCOMPARE(hv->validate(minus, pos), QValidator::Invalid);  // no negative HeightBreak

        d.setCandidates({a, b});
        d.inputCombo()->setCurrentIndex(0);
        QCOMPARE(d.outputEdit()->text(), f("a_ElevationMetrics.csv"));  // base name up to the first dot
        prompts.files = {{f("mine.txt")}};
        d.findChild<QPushButton *>("OutputBtn")->click();
        QCOMPARE(prompts.fileRequests.last().caption, QString("OutPut Path"));
        QCOMPARE(prompts.fileRequests.last().filter, QString("CSV(*.csv)"));
        QCOMPARE(d.outputEdit()->text(), f("mine.csv"));
        d.inputCombo()->setCurrentIndex(1);
        QCOMPARE(d.outputEdit()->text(), dir.path() + "/");  // several inputs: the folder

        Percentiles p;
        QCOMPARE(p.windowTitle(), QString("Intensity Metrics"));
        QVERIFY(!labels(p).contains("HeightBreak(m)"));
        QVERIFY(!p.findChild<QLineEdit *>("HeightBreak"));
        QCOMPARE(p.value("xsize"), QString("15"));
        QCOMPARE(qobject_cast<const QDoubleValidator *>(p.field("ysize")->validator())->bottom(), 0.5);
        choose(p, {b});
        QCOMPARE(p.outputEdit()->text(), f("b_IntensityMetrics.csv"));
    }

    void elevationChecksInOrder()
    {
        PromptRecorder prompts;
        DensityMetrics d;
        choose(d, {a});
        const QString invalidX = "XSize is invalid!\nIt must be set between 0.5 and 200.\nRestore to default value.";
        const QString invalidY = "YSize is invalid!\nIt must be set between 0.5 and 200.\nRestore to default value.";
        const QString invalidH = "HeightBreak is invalid!\nIt must be set between 0 and 150.\nRestore to default value.";
        const QString invalid = "Output Path is invalid! Please reset!";
        walk(d, prompts, {{"xsize", "", "Xsize is empty! Please set!", ""},
                          {"xsize", "0.4", invalidX, "15"},
                          {"xsize", "200.5", invalidX, "15"},
                          {"ysize", "", "Ysize is empty! Please set!", ""},
                          {"ysize", "0.49", invalidY, "15"},
                          {"height-break", "", "HeightBreak is empty! Please set!", ""},
                          {"height-break", "150.01", invalidH, "0"},
                          {"-o", "", "Output Path is empty! Please set!"},
                          {"-o", "out.csv", invalid, ""},         // not an absolute path: the field is cleared
                          {"-o", f("nodir/x.csv"), invalid, ""},  // no such folder
                          {"-o", f("a*b.csv"), invalid, ""}});    // a character a file name cannot hold
        // 200 is accepted; the output is given its extension.
        d.setValue("xsize", "200");
        d.outputEdit()->setText(f("limits"));
        prompts.answers = {QMessageBox::Yes};
        QCOMPARE(pressOk(d, prompts), QStringList({"Do you want to add results into the project?"}));
        QCOMPARE(d.resultFiles, QStringList({f("limits.csv")}));
        QCOMPARE(lineCount(f("limits.csv")), 2);
        QCOMPARE(d.result(), int(QDialog::Accepted));

        // The intensity dialog's own text for an output without a folder.
        Percentiles p;
        choose(p, {a});
        p.setValue("xsize", "201");
        QCOMPARE(pressOk(p, prompts), QStringList({invalidX}));
        p.outputEdit()->setText("out.csv");
        QCOMPARE(pressOk(p, prompts), QStringList({"Output Path is invalid! Please set!"}));
    }

    void questionAndResults()
    {
        PromptRecorder prompts;
        DensityMetrics d;
        choose(d, {b, tall});
        QDir().mkpath(f("out"));
        d.outputEdit()->setText(f("out") + "/");
        const QString question = "<p align='center'>" + tall +
                                 "<br>Z Value is more than 200<br>please confirm whether the data is normalized?</p>";
        prompts.answers = {QMessageBox::No};
        QCOMPARE(pressOk(d, prompts), QStringList({question}));
        QVERIFY(d.resultFiles.isEmpty());
        QCOMPARE(d.result(), 0);  // the dialog stays open
        QCOMPARE(lineCount(f("out/b_ElevationMetrics.csv")), 2);  // the earlier input is complete
        QVERIFY(!QFile::exists(f("out/tall_ElevationMetrics.csv")));

        prompts.answers = {QMessageBox::Yes, QMessageBox::Yes};
        QCOMPARE(pressOk(d, prompts), QStringList({question, "Do you want to add results into the project?"}));
        QCOMPARE(d.resultFiles,
                 QStringList({f("out/b_ElevationMetrics.csv"), f("out/tall_ElevationMetrics.csv")}));
        QVERIFY(d.lastCommandLine().contains("elevation-metrics --xsize 15 --ysize 15 --height-break 0 "));
        QVERIFY(d.lastCommandLine().contains(" --yes -o "));

        Percentiles p;
        choose(p, {b});
        prompts.answers = {QMessageBox::No};
        QCOMPARE(pressOk(p, prompts), QStringList({"Do you want to add results into the project?"}));
        QVERIFY(p.resultFiles.isEmpty());  // No keeps the file but adds nothing
        QCOMPARE(lineCount(f("b_IntensityMetrics.csv")), 2);
        QVERIFY(!p.lastCommandLine().contains("height-break"));
    }

    void commandLine()
    {
        QString err, out;
        QCOMPARE(runCli({"elevation-metrics", "--xsize", "15", "--ysize", "15", "--height-break", "0", b, "-o",
                         f("cli_e.csv")},
                        &err, &out),
                 0);
        QCOMPARE(out.trimmed(), "Wrote " + f("cli_e.csv"));
        QFile e(f("cli_e.csv"));
        QVERIFY(e.open(QIODevice::ReadOnly));
        QVERIFY(e.readLine().startsWith("x,y,XSize,YSize,elev_aad_z,"));
        QVERIFY(e.readLine().startsWith("8.500000,9.500000,15.000000,15.000000,"));  // the centre from the extent's corner (1, 2)

        QCOMPARE(runCli({"intensity-metrics", "--xsize", "15", "--ysize", "15", b, "-o", f("cli_i.csv")}, &err), 0);
        QCOMPARE(lineCount(f("cli_i.csv")), 2);
        // --height-break 9: 5 of the 12 heights 3..14 lie above it, too few for a line.
        QCOMPARE(runCli({"intensity-metrics", "--xsize", "15", "--ysize", "15", "--height-break", "9", b, "-o",
                         f("cli_h.csv")},
                        &err),
                 0);
        QCOMPARE(lineCount(f("cli_h.csv")), 1);
        QVERIFY(err.contains("no cell holds 10 or more points above the HeightBreak of 9 m"));

        QCOMPARE(runCli({"elevation-metrics", tall, "-o", f("cli_t.csv")}, &err), 1);
        QVERIFY(err.contains(tall + "\nZ Value is more than 200\nplease confirm whether the data is normalized?\n"
                                    "Answer with --yes to go on."));
        QVERIFY(!QFile::exists(f("cli_t.csv")));
        QCOMPARE(runCli({"elevation-metrics", "--yes", tall, "-o", f("cli_t.csv")}, &err), 0);
        QCOMPARE(lineCount(f("cli_t.csv")), 2);

        QCOMPARE(runCli({"elevation-metrics", "--xsize", "0.4", b, "-o", f("x.csv")}, &err), 1);
        QVERIFY(err.startsWith("XSize is invalid! It must be set between 0.5 and 200."));
        QCOMPARE(runCli({"intensity-metrics", "--help"}, &err, &out), 0);
        QVERIFY(out.contains("--height-break"));
        QVERIFY(!out.contains("(default 0)"));  // no HeightBreak unless given
    }
};

QTEST_MAIN(TestMetricsDialogs)
#include "test_metricsdialogs.moc"
