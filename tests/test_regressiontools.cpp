// The regression tools without their dialogs: the variables, the plot
// metrics, the sample-file rules, the checks, the map grid, and whole runs
// of verdanta-cli regress checked with GDAL and by reading the report.

#include "CliRunner.h"
#include "RegressionData.h"
#include "LasIO.h"
#include "RasterRead.h"
#include "RegressionTools.h"

#include <QtTest>

#include <gdal.h>

#include <cmath>
#include <random>

using VerdantaIO::PointCloud;
using namespace RegressionTools;
using namespace RegressionData;

namespace {

ToolRequest baseRequest(const QString &las, const QString &samples, const QString &out)
{
    ToolRequest r;
    r.inputs << las;
    for (const ParamSpec &p : linear().spec.params)
        r.values[p.option] = p.defaultValue;
    r.values["samples"] = samples;
    r.values["x-field"] = "PX";
    r.values["y-field"] = "PY";
    r.values["target"] = "Volume";
    r.values["size"] = "10";
    r.output = out;
    return r;
}

}  // namespace

class TestRegressionTools : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void variablesAndPlotMetrics();
    void sampleFileRules();
    void checks();
    void mapGrid();
    void wholeRuns();

private:
    QTemporaryDir dir_;
    QString las_, patch_;
};

void TestRegressionTools::initTestCase()
{
    QVERIFY(dir_.isValid());
    las_ = dir_.filePath("stand.las");
    QVERIFY(writeLas(las_, stand(1)));
    // A second file, a patch of 10 m far east: the map spans the gap between.
    patch_ = dir_.filePath("patch.las");
    std::vector<PointCloud> patch = stand(2);
    patch.resize(300);
    for (PointCloud &p : patch)
        p.x = 1290 + std::fmod(p.x, 10.0), p.y = 2000 + std::fmod(p.y, 10.0);
    QVERIFY(writeLas(patch_, patch));
}

void TestRegressionTools::variablesAndPlotMetrics()
{
    // The default set: 18 columns, the elevation percentiles then LAI, gap, cover.
    const std::vector<int> defaults = defaultFlags();
    QCOMPARE(std::count(defaults.begin(), defaults.end(), 1), 18l);
    QCOMPARE(variablesText(defaults), QString("elev-percentile,lai,gap,cover"));
    QCOMPARE(variableNames().size(), kVariableCount);
    QCOMPARE(variableNames()[15], QString("Elev D10"));
    QCOMPARE(variableNames()[39], QString("Int P99"));
    std::vector<int> flags;
    QString unknown;
    QVERIFY(parseVariables("Elev P50, elev-d100,INT-PERCENTILE", flags, unknown));
    QCOMPARE(std::count(flags.begin(), flags.end(), 1), 17l);
    QVERIFY(flags[7] && flags[24] && flags[25] && flags[39] && !flags[40]);
    QCOMPARE(variablesText(flags), QString("elev-p50,elev-d100,int-percentile"));
    QVERIFY(!parseVariables("cover,height", flags, unknown));
    QCOMPARE(unknown, QString("height"));

    // One plot cell, hand-computed: heights 0..9 (type 7 percentiles), the
    // first returns above 2 m over all first returns, returns at or below
    // 2 m over all returns.
    std::vector<PointCloud> points;
    for (int k = 0; k < 10; ++k) {
        PointCloud p;
        p.x = 0.5 + k;
        p.y = 5;
        p.z = k;
        p.intensity = static_cast<uint16_t>(10 * k);
        p.returnNumber = k % 2 ? 2 : 1;
        points.push_back(p);
    }
    flags.assign(kVariableCount, 0);
    flags[7] = flags[14] = flags[15] = flags[24] = flags[32] = flags[41] = flags[42] = 1;  // P50 P99 D10 D100 IntP50 gap cover
    std::vector<double> row;
    QVERIFY(CalculatePara(points, 0, 10, 0, 10, 20, 20, 1, 1, flags, row));
    QVERIFY(points.empty() && points.capacity() == 0);
    QCOMPARE(row.size(), size_t(7));
    QCOMPARE(row[0], 4.5);
    QCOMPARE(row[1], 8.91);
    QCOMPARE(row[2], 0.1);  // one of ten heights in the lowest tenth of the range
    QCOMPARE(row[3], 0.1);  // the maximum lies in the last
    QCOMPARE(row[4], 45.0);
    QVERIFY(std::fabs(row[5] - 0.3) < 1e-6);  // 0, 1, 2 of 10
    QVERIFY(std::fabs(row[6] - 0.6) < 1e-6);  // first returns 0,2,4,6,8: 4, 6, 8 above 2 m

    // A block of 2 x 1 cells: the west cell holds the first five points.
    for (int k = 0; k < 10; ++k) {
        PointCloud p;
        p.x = 0.5 + k;
        p.y = 0.5;
        p.z = k;
        points.push_back(p);
    }
    flags.assign(kVariableCount, 0);
    flags[7] = 1;
    QVERIFY(CalculatePara(points, 0, 10, 0, 5, 5, 5, 2, 1, flags, row));
    QCOMPARE(row, (std::vector<double>{2.0, 7.0}));
}

void TestRegressionTools::sampleFileRules()
{
    std::vector<VerdantaIO::LASExtent> extents;
    QVERIFY(VerdantaIO::CreateLASExtent({QFile::encodeName(las_).toStdString()}, extents));
    std::vector<int> flags(kVariableCount, 0);
    flags[14] = 1;  // Elev P99
    auto read = [&](const QString &text, PlotTable &table, const QString &plot = "Square",
                    const QString &size = "10") {
        const QString path = dir_.filePath("samples.txt");
        if (!writeText(path, text))
            return QString("not written");
        ToolRequest r = baseRequest(las_, path, QString());
        r.values["plot"] = plot;
        r.values["size"] = size;
        ToolOutcome outcome;
        table = PlotTable();
        const bool ok = readSamples(r, extents, flags, table, outcome, nullptr);
        return ok ? QString("ok") : outcome.warnings.value(0);
    };
    PlotTable t;
    QCOMPARE(read("ID,PX,PY,Volume\n", t), QString("Sample data is empty. Exiting..."));
    QCOMPARE(read("PX,PY\n1,2\n", t), QString("The Sample Fields less than 3!"));
    QCOMPARE(read("ID,PX,Y,Volume\n1,1050,2030,3\n", t),
             QString("The field \"PY\" is not in the header of the Sample data!"));
    // Empty parts are kept as fields; a target that is not a number is 0; a
    // short line is passed over; a plot beyond the file has no points.
    QCOMPARE(read("ID,PX,PY,Volume,Note\n"
                  "1,1050,2030,abc,\n"
                  "2,1050,2030\n"
                  ",1060,2030,,x\n"
                  "4,5000,2030,7,\n"
                  "5,1070,2030,12.5,\n",
                  t),
             QString("ok"));
    QCOMPARE(t.y, (std::vector<double>{0.0, 0.0, 12.5}));
    QCOMPARE(t.lines, 4);
    QCOMPARE(t.dropped, 1);
    QCOMPARE(t.X.size(), size_t(3));
    QVERIFY(t.X[2] > t.X[0]);  // taller east

    // 9 points give no row, 10 give one: a file of its own with points on
    // one line, plots of side 2 (or radius 2).
    const QString sparse = dir_.filePath("sparse.las");
    std::vector<PointCloud> few;
    for (int k = 0; k < 19; ++k) {
        PointCloud p;
        p.x = k < 9 ? 10.1 + 0.1 * k : 20.05 + 0.1 * (k - 9);
        p.y = 10;
        p.z = 1 + k;
        few.push_back(p);
    }
    QVERIFY(writeLas(sparse, few));
    QVERIFY(VerdantaIO::CreateLASExtent({QFile::encodeName(sparse).toStdString()}, extents));
    QCOMPARE(read("ID,PX,PY,Volume\n1,10.5,10,1\n2,20.5,10,2\n", t, "Square", "2"), QString("ok"));
    QCOMPARE(t.y, (std::vector<double>{2.0}));
    QCOMPARE(t.dropped, 1);
    // As circles the same.
    QCOMPARE(read("ID,PX,PY,Volume\n1,10.5,10,1\n2,20.5,10,2\n", t, "Circle", "2"), QString("ok"));
    QCOMPARE(t.y, (std::vector<double>{2.0}));
}

void TestRegressionTools::checks()
{
    const QString samples = dir_.filePath("plots.csv");
    QVERIFY(writeText(samples, plotFile()));
    auto message = [&](std::function<void(ToolRequest &)> change, const Tool &tool = linear()) {
        ToolRequest r = baseRequest(las_, samples, dir_.filePath("map.tif"));
        change(r);
        QStringList outs;
        return ToolChecks::prepare(tool, r, outs).message;
    };
    QCOMPARE(message([](ToolRequest &r) { r.inputs.clear(); }), QString("Please add  LAS File!"));
    QCOMPARE(message([](ToolRequest &r) { r.inputs.clear(); }, svr()), QString("Please add LAS File!"));
    QCOMPARE(message([](ToolRequest &r) { r.values["samples"].clear(); }), QString("Sample data is empty! Please add!"));
    QCOMPARE(message([](ToolRequest &r) { r.values["size"] = "0"; }), QString("Length Field is empty! Please set!"));
    QCOMPARE(message([](ToolRequest &r) { r.values["size"].clear(), r.values["plot"] = "Circle"; }),
             QString("Radius Field is empty! Please set!"));
    QCOMPARE(message([](ToolRequest &r) { r.values["y-field"].clear(); }), QString("Y Field is empty! Please set!"));
    QCOMPARE(message([](ToolRequest &r) { r.values["method"] = "ANN", r.values["momentum"] = "1.01"; }),
             QString("The Momentum is invalid!\n It must be set between 0 and 1.\n Restore to default value."));
    QCOMPARE(message([](ToolRequest &r) { r.values["holdout"] = "100"; }),
             QString("Hold-out for Testing Value is invalid!\n It must be between 0 and 100.\n Restore to default value."));
    QCOMPARE(message([](ToolRequest &r) { r.values["variables"].clear(); }),
             QString("Please select at least one parameter!"));
    QCOMPARE(message([](ToolRequest &r) { r.values["method"] = "SVR", r.values["gamma"] = "1.0001"; }),
             QString("Gamma is invalid,It must be set between 0 and 1.\n Restore to default value."));
    QCOMPARE(message([](ToolRequest &r) { r.values["method"] = "SVR", r.values["gamma"] = "1"; }), QString());
    QCOMPARE(message([](ToolRequest &r) { r.values["method"] = "SVR", r.values["degree"] = "-1"; }),
             QString("Degree is invalid,Please set Degree in the range of integer minimum and maximum value!"));
    QCOMPARE(message([](ToolRequest &r) { r.output = "out"; }), QString("Output Path is invalid! Please reset!"));
    // The map takes ".tif" and the report lies beside it.
    ToolRequest r = baseRequest(las_, samples, dir_.filePath("map"));
    QStringList outs;
    QVERIFY(ToolChecks::prepare(linear(), r, outs).ok);
    QCOMPARE(outs, (QStringList{dir_.filePath("map.tif"), dir_.filePath("map.html")}));
}

void TestRegressionTools::mapGrid()
{
    MapGrid g;
    QVERIFY(RegressionTools::mapGrid(0, 95, 0, 47, 10, g));
    QCOMPARE(g.columns, 10);
    QCOMPARE(g.rows, 5);
    QVERIFY(RegressionTools::mapGrid(0.5, 95.9, 0, 40, 10, g));  // trunc(95.4) / 10 + 1
    QCOMPARE(g.columns, 10);
    QCOMPARE(g.rows, 5);
    QVERIFY(!RegressionTools::mapGrid(0, 0, 0, 47, 10, g));
}

void TestRegressionTools::wholeRuns()
{
    const QString samples = dir_.filePath("plots.csv");
    QVERIFY(writeText(samples, plotFile()));
    const QStringList common{"regress", "--samples", samples, "--x-field", "PX", "--y-field", "PY",
                             "--target", "Volume", "--plot", "square", "--size", "10", "--holdout", "30",
                             "--variables", "elev-p90,cover", las_, patch_};
    double minX = 0, maxX = 0, minY = 0, maxY = 0;
    QVERIFY(VerdantaIO::MultiFileExtent({QFile::encodeName(las_).toStdString(), QFile::encodeName(patch_).toStdString()},
                                        minX, maxX, minY, maxY));
    for (const QString &method : {"enter", "stepwise", "svr", "ann"}) {
        QString err, out;
        const QString map = dir_.filePath(method + ".tif");
        QCOMPARE(runCli(common + QStringList{"--method", method, "--seed", "4", "-o", map}, &err, &out), 0);
        QVERIFY2(err.contains("Accuracy Report Path:" + dir_.filePath(method + ".html")), qPrintable(err));
        const QStringList lines = out.split('\n');
        const int i = lines.indexOf(QRegularExpression("^R2: .*"));
        QVERIFY2(i >= 0 && lines.value(i + 1).startsWith("RMSE: "), qPrintable(out));
        const double r2 = lines[i].mid(4).toDouble(), rmse = lines[i + 1].mid(6).toDouble();
        qInfo("%s: R2 %.4f RMSE %.3f", qPrintable(method), r2, rmse);
        QVERIFY(r2 > 0.9 && rmse < 15);  // the target (20 to 140) is a near-linear function of the heights

        // The map: Float64, cells of 20 m from the headers' joint extent,
        // north up; each cell near 5 x the canopy height at its centre, and 0
        // where no file has points.
        GDALAllRegister();
        GDALDatasetH ds = GDALOpen(QFile::encodeName(map).constData(), GA_ReadOnly);
        QVERIFY(ds);
        QCOMPARE(int(GDALGetRasterDataType(GDALGetRasterBand(ds, 1))), int(GDT_Float64));
        GDALClose(ds);
        const TestRaster t = readRaster(map);
        QCOMPARE(t.w, int(std::trunc(std::trunc(maxX - minX) / 20 + 1)));
        QCOMPARE(t.h, int(std::trunc(std::trunc(maxY - minY) / 20 + 1)));
        QCOMPARE(t.gt[0], minX);
        QCOMPARE(t.gt[3], maxY);
        QCOMPARE(t.gt[1], 20.0);
        QCOMPARE(t.gt[5], -20.0);
        // Each cell rises with the canopy from west to east; least squares
        // meets 5 x the canopy height at the cell centre closely (SVR with
        // its cost of 1 draws the ends toward the mean).
        for (int c = 0; c < 5; ++c) {
            const double x = minX + 20 * c + 10;
            if (c > 0)
                QVERIFY(t.at(1, c) > t.at(1, c - 1) + 5);
            if (method == "enter")
                QVERIFY2(std::fabs(t.at(1, c) - 5 * canopyAt(x)) < 5, qPrintable(QString::number(t.at(1, c))));
        }
        for (int r = 0; r < t.h; ++r)
            QCOMPARE(t.at(r, 8), 0.0f);  // x 1160 to 1180

        // The report: self-contained, with the figures and the scatter plot.
        QFile report(dir_.filePath(method + ".html"));
        QVERIFY(report.open(QIODevice::ReadOnly));
        const QString html = QString::fromUtf8(report.readAll());
        QVERIFY(html.contains("<svg") && html.contains("class='one-to-one'"));
        QCOMPARE(html.count("<circle"), 16);  // 30 % of 55 plots
        QVERIFY(html.contains(QString("<th align='left'>R Square</th><td colspan='1'>%1</td>")
                                  .arg(QString::number(r2, 'g', 6))));
        QVERIFY(html.contains("Random seed") && html.contains(">4<"));
        QVERIFY(!html.contains("src=") && !html.contains("<script") && !html.contains("href="));
    }
    // The same seed gives the same map, another seed another split.
    QString out2;
    QCOMPARE(runCli(common + QStringList{"--method", "ann", "--seed", "4", "-o", dir_.filePath("again.tif")}, nullptr,
                    &out2),
             0);
    QCOMPARE(readRaster(dir_.filePath("again.tif")).v, readRaster(dir_.filePath("ann.tif")).v);
    QString out3;
    QCOMPARE(runCli(common + QStringList{"--method", "ann", "--seed", "5", "-o", dir_.filePath("other.tif")}, nullptr,
                    &out3),
             0);
    QVERIFY(out3.section('\n', 0, 0) != out2.section('\n', 0, 0));

    // Bad input: a constant target, too few plots for the variables.
    QString flat = "ID,PX,PY,Volume\n";
    for (int k = 0; k < 20; ++k)
        flat += QString("%1,%2,2030,7\n").arg(k).arg(1005 + 5 * k);
    QVERIFY(writeText(dir_.filePath("flat.csv"), flat));
    QString err;
    QStringList args = common;
    args[2] = dir_.filePath("flat.csv");
    QCOMPARE(runCli(args + QStringList{"--method", "svr", "-o", dir_.filePath("flat.tif")}, &err), 1);
    QVERIFY2(err.contains("Regression Failed!"), qPrintable(err));
    QVERIFY(!QFile::exists(dir_.filePath("flat.tif")));
    args[args.indexOf("elev-p90,cover")] = "elev-percentile,elev-density";
    QCOMPARE(runCli(args + QStringList{"--method", "enter", "-o", dir_.filePath("flat.tif")}, &err), 1);
    QVERIFY2(err.contains("Training Data Number less than Independent Variable Number! (14 training plots, 25 variables)"),
             qPrintable(err));
}

QTEST_GUILESS_MAIN(TestRegressionTools)
#include "test_regressiontools.moc"
