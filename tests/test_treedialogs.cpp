// The CHM Segmentation and Point Cloud Segmentation dialogs: fields and
// defaults, every check with its message and reset, the output rules, the
// question about heights above 200, the files a run leaves, and the same
// tools from verdanta-cli.

#include "CliRunner.h"
#include "LasIO.h"
#include "PromptRecorder.h"
#include "TreeDialogs.h"

#include <gdal.h>

#include <QComboBox>
#include <QDir>
#include <QFormLayout>
#include <QLabel>
#include <QLineEdit>
#include <QTemporaryDir>
#include <QtTest>

#include <cmath>

namespace {

std::string s(const QString &q) { return QFile::encodeName(q).toStdString(); }

// Two cones of 20 and 15 m on a 40 x 20 m CHM of 0.5 m cells.
void writeChm(const QString &path)
{
    GDALAllRegister();
    const int w = 80, h = 40;
    GDALDatasetH ds = GDALCreate(GDALGetDriverByName("GTiff"), s(path).c_str(), w, h, 1, GDT_Float32, nullptr);
    double gt[6] = {300000, 0.5, 0, 6000000, 0, -0.5};
    GDALSetGeoTransform(ds, gt);
    std::vector<float> v(size_t(w) * h);
    for (int r = 0; r < h; ++r)
        for (int c = 0; c < w; ++c) {
            const double x = (c + 0.5) * 0.5, y = (r + 0.5) * 0.5;
            const double a = 20 * (1 - std::hypot(x - 10, y - 10) / 5), b = 15 * (1 - std::hypot(x - 28, y - 10) / 5);
            v[size_t(r) * w + c] = float(std::max({a, b, 0.0}));
        }
    GDALRasterIO(GDALGetRasterBand(ds, 1), GF_Write, 0, 0, w, h, v.data(), w, h, GDT_Float32, 0, 0);
    GDALClose(ds);
}

// A 12 m crown over ground; `lift` raises everything (not normalised).
void writeLas(const QString &path, double lift = 0)
{
    VerdantaIO::CLASIO las;
    las.header.pointDataFormat = 1;
    for (double x = -4; x <= 4; x += 0.25)
        for (double y = -4; y <= 4; y += 0.25) {
            VerdantaIO::PointCloud p;
            p.x = 1000 + x;
            p.y = 1000 + y;
            const double r = std::hypot(x, y);
            p.z = lift + (r < 3 ? 12 - 2 * r : 0.1);
            las.points.push_back(p);
        }
    QVERIFY(las.WriteLas(s(path)));
}

QStringList labels(QDialog &d)
{
    auto *form = d.findChild<QFormLayout *>("fieldsLayout");
    QStringList shown;
    for (int row = 0; form && row < form->rowCount(); ++row)
        if (auto *label = qobject_cast<QLabel *>(form->itemAt(row, QFormLayout::LabelRole)->widget()))
            shown << label->text();
    return shown;
}

const QString kAdd = "Do you want to add results into the project?";

}  // namespace

class TestTreeDialogs : public QObject {
    Q_OBJECT
    QTemporaryDir dir;
    QString chm, a, b, c, high, high2;
    QString f(const QString &n) const { return dir.filePath(n); }

private slots:
    void initTestCase()
    {
        chm = f("chm.x.tif");
        writeChm(chm);
        QDir().mkpath(f("sub"));
        a = f("a.las");
        b = f("b.las");
        c = f("sub/c.las");
        high = f("high.las");
        high2 = f("high2.las");
        writeLas(a);
        writeLas(b);
        writeLas(c);
        writeLas(high, 300);
        writeLas(high2, 250);
    }

    void chmChecks_data()
    {
        QTest::addColumn<QString>("max");
        QTest::addColumn<QString>("min");
        QTest::addColumn<QString>("message");
        QTest::addColumn<QString>("maxAfter");
        QTest::addColumn<QString>("minAfter");
        const QString maxBad = "Maximum Tree Height is invalid!\nIt must be set between 0.5 and 150.\nRestore to default value.";
        const QString minBad = "Minimum Tree Height is invalid!\nIt must be set between 0.5 and 150.\nRestore to default value.";
        const QString order = "The maximum tree height must be greater than the minimum tree height!\nRestore to default value.";
        QTest::newRow("max empty") << "" << "2" << "Maximum Tree Height is empty! Please set!" << "" << "2";
        QTest::newRow("max 150.01") << "150.01" << "2" << maxBad << "80" << "2";
        QTest::newRow("max 0.49") << "0.49" << "2" << maxBad << "80" << "2";
        QTest::newRow("min empty") << "80" << "" << "Minimum Tree Height is empty! Please set!" << "80" << "";
        QTest::newRow("min 0.49") << "80" << "0.49" << minBad << "80" << "2";
        QTest::newRow("min 150.01") << "80" << "150.01" << minBad << "80" << "2";
        QTest::newRow("equal") << "10" << "10" << order << "80" << "2";
        QTest::newRow("limits pass") << "150" << "0.5" << "Output Path is empty! Please set!" << "150" << "0.5";
    }
    void chmChecks()
    {
        QFETCH(QString, max);
        QFETCH(QString, min);
        QFETCH(QString, message);
        QFETCH(QString, maxAfter);
        QFETCH(QString, minAfter);
        PromptRecorder prompts;
        CHMSegment d;
        d.setRasterCandidates({chm});
        d.findChild<QComboBox *>("CHM_comboBox")->setCurrentIndex(0);
        d.outputEdit()->clear();
        d.setValue("max-height", max);
        d.setValue("min-height", min);
        QCOMPARE(pressOk(d, prompts), QStringList({message}));
        QCOMPARE(d.value("max-height"), maxAfter);
        QCOMPARE(d.value("min-height"), minAfter);
        QCOMPARE(d.result(), 0);
    }

    void chmRun()
    {
        PromptRecorder prompts;
        CHMSegment d;
        QCOMPARE(d.windowTitle(), QString("CHM Segmentation"));
        QCOMPARE(labels(d), QStringList({"Input CHM", "Maximum tree height(m)", "Minimum tree height(m)"}));
        QCOMPARE(d.value("max-height"), QString("80"));
        QCOMPARE(d.value("min-height"), QString("2"));
        QCOMPARE(pressOk(d, prompts), QStringList({"Please add CHM File!"}));
        d.setRasterCandidates({chm});
        d.findChild<QComboBox *>("CHM_comboBox")->setCurrentIndex(0);
        QCOMPARE(d.outputEdit()->text(), f("chm_OutPut.csv"));
        prompts.files = {{f("picked.x.csv")}};
        d.findChild<QPushButton *>("OutputBtn")->click();
        QCOMPARE(prompts.fileRequests.last().caption, QString("OutPut Path"));
        QCOMPARE(prompts.fileRequests.last().filter, QString("CSV(*.csv)"));
        QCOMPARE(d.outputEdit()->text(), f("picked.csv"));
        for (const QString &bad : {f("missing/t.csv"), QString("t.csv"), f("a?b.csv"), dir.path()}) {
            d.outputEdit()->setText(bad);
            QCOMPARE(pressOk(d, prompts), QStringList({"Output Path is invalid! Please reset!"}));
            QVERIFY(d.outputEdit()->text().isEmpty());
        }
        // A name without a suffix gains ".csv", and so do the names of the
        // files the segmentation writes on the way, which are then removed.
        d.outputEdit()->setText(f("trees"));
        prompts.answers = {QMessageBox::Yes};
        QCOMPARE(pressOk(d, prompts), QStringList({kAdd}));
        QCOMPARE(d.outputEdit()->text(), f("trees.csv"));
        QCOMPARE(d.resultFiles, QStringList({f("trees.csv")}));
        QStringList left = QDir(dir.path()).entryList({"trees*"});
        QCOMPARE(left, QStringList({"trees.csv"}));
        QFile table(f("trees.csv"));
        QVERIFY(table.open(QIODevice::ReadOnly));
        const QStringList rows = QString(table.readAll()).split('\n', Qt::SkipEmptyParts);
        QCOMPARE(rows.value(0), QString("TreeLocationX,TreeLocationY,TreeHeight,CrownDiameter,CrownArea,CrownVolume"));
        QCOMPARE(rows.size(), 3);
        // The apex lies on a cell corner: of the four cells 0.35 m from it
        // (20 x (1 - 0.354 / 5) = 18.59 m) the first in raster order.
        QCOMPARE(rows[1].section(',', 0, 2), QString("300009.750,5999990.250,18.59"));
    }

    void pcsChecksAndOutputs()
    {
        PromptRecorder prompts;
        PointCloudSegment d;
        QCOMPARE(d.windowTitle(), QString("Point Cloud Segmentation"));
        QCOMPARE(labels(d), QStringList({"Spacing Threshold(m)"}));
        QCOMPARE(d.value("threshold"), QString("2.0"));
        QCOMPARE(pressOk(d, prompts), QStringList({"Please add Las File!"}));
        d.setCandidates({a, b, c});
        d.inputCombo()->setCurrentIndex(0);
        QCOMPARE(d.outputEdit()->text(), f("a_PCS.csv"));
        d.inputCombo()->setCurrentIndex(1);
        d.inputCombo()->setCurrentIndex(2);
        QCOMPARE(d.outputEdit()->text(), f("sub/PCS.csv"));  // several: the last input's folder
        const QString bad = "Distance Threshold is invalid!\nIt must be set between 0 and 2.\nRestore to default value.";
        for (const QString &v : {"2.01", "0"}) {
            d.setValue("threshold", v);
            QCOMPARE(pressOk(d, prompts), QStringList({bad}));
            QCOMPARE(d.value("threshold"), QString("2.0"));
        }
        d.setValue("threshold", "");
        QCOMPARE(pressOk(d, prompts), QStringList({"Distance Threshold is empty! Please set!"}));
        d.setValue("threshold", "2");
        d.outputEdit()->setText(f("sub"));
        QCOMPARE(pressOk(d, prompts), QStringList({"Output Path is invalid! Please reset!"}));
        d.outputEdit()->setText(f("sub/joint"));
        prompts.answers = {QMessageBox::Yes};
        QCOMPARE(pressOk(d, prompts), QStringList({kAdd}));
        QCOMPARE(d.resultFiles, QStringList({f("sub/joint.csv")}));
        QVERIFY(QFile::exists(f("sub/joint.las")));
    }

    void pcsNormalisation()
    {
        PromptRecorder prompts;
        PointCloudSegment d;
        d.setCandidates({high, high2});
        d.inputCombo()->setCurrentIndex(0);
        d.inputCombo()->setCurrentIndex(1);
        d.outputEdit()->setText(f("h.csv"));
        auto question = [](const QString &path) {
            return "<p align='center'>" + path + "<br>Z Value is more than 200<br>please confirm whether the data is normalized?</p>";
        };
        prompts.answers = {QMessageBox::Yes, QMessageBox::No};
        QCOMPARE(pressOk(d, prompts), QStringList({question(high), question(high2)}));
        QVERIFY(!QFile::exists(f("h.csv")));
        QCOMPARE(d.result(), 0);
    }

    void commandLine()
    {
        QString err;
        QCOMPARE(runCli({"chm-segment", "--max-height", "80", "--min-height", "2", chm, "-o", f("cli.csv")}, &err), 0);
        QCOMPARE(QDir(dir.path()).entryList({"cli*"}), QStringList({"cli.csv"}));
        QCOMPARE(runCli({"chm-segment", "--min-height", "90", chm, "-o", f("cli2.csv")}, &err), 1);
        QCOMPARE(err.trimmed(), QString("The maximum tree height must be greater than the minimum tree height!"));
        QCOMPARE(runCli({"pcs", "--threshold", "2.0", a, b, "-o", f("both.csv")}, &err), 0);
        QFile both(f("both.csv"));
        QVERIFY(both.open(QIODevice::ReadOnly));
        QCOMPARE(QString(both.readAll()).count('\n'), 2);  // the same crown twice is one tree
        QCOMPARE(runCli({"pcs", high, "-o", f("hc.csv")}, &err), 1);
        QVERIFY(!QFile::exists(f("hc.csv")));
        QCOMPARE(runCli({"pcs", "--threshold", "3", a, "-o", f("t.csv")}, &err), 1);
        QCOMPARE(err.trimmed(), QString("Distance Threshold is invalid! It must be set between 0 and 2. (--threshold 3)"));
    }
};

QTEST_MAIN(TestTreeDialogs)
#include "test_treedialogs.moc"
