// The cloud metrics: statistics against hand-computed values, one real cell
// against a separate computation, and the tables the two tools write (grid
// rules, header, number format, skipped cells, the normalised-data
// question).

#include "CloudMetrics.h"
#include "CloudMetricsTools.h"
#include "LasIO.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

#include <algorithm>
#include <cmath>
#include <limits>

using VerdantaIO::PointCloud;

namespace {

std::string s(const QString &q) { return QFile::encodeName(q).toStdString(); }

PointCloud pt(double x, double y, double z, uint16_t intensity = 0)
{
    PointCloud p;
    p.x = x;
    p.y = y;
    p.z = z;
    p.intensity = intensity;
    return p;
}

void writeLas(const QString &path, const std::vector<PointCloud> &points)
{
    VerdantaIO::CLASIO las;
    las.header.pointDataFormat = 1;
    las.header.scaleX = las.header.scaleY = las.header.scaleZ = 0.001;
    las.points = points;
    QVERIFY(las.WriteLas(s(path)));
}

QStringList readLines(const QString &path)
{
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly))
        return {};
    const QByteArray all = f.readAll();
    if (!all.endsWith('\n'))
        return {"NO FINAL LINE BREAK"};
    return QString::fromLatin1(all.left(all.size() - 1)).split('\n');
}

QVector<double> numbers(const QString &line)
{
    QVector<double> v;
    for (const QString &t : line.split(','))
        v << t.toDouble();
    return v;
}

ToolOutcome runTool(const Tool &tool, const QStringList &inputs, const QString &output, const QString &heightBreak,
                    const std::function<bool(const QString &)> &ask = {})
{
    ToolRequest r;
    r.inputs = inputs;
    r.values["xsize"] = "15";
    r.values["ysize"] = "15";
    r.values["height-break"] = heightBreak;
    r.output = output;
    r.ask = ask;
    QStringList outs;
    const CheckResult c = ToolChecks::prepare(tool, r, outs);
    if (!c.ok) {
        ToolOutcome o;
        o.warn("CHECK FAILED " + c.message);
        return o;
    }
    CProcessNull progress;
    return tool.run(r, outs, &progress);
}

// The 6-decimal text of the tables.
QString fixed(double v) { return QString::number(v, 'f', 6); }

}  // namespace

class TestCloudMetrics : public QObject {
    Q_OBJECT
    QTemporaryDir dir;
    QString f(const QString &n) const { return dir.filePath(n); }

private slots:
    // {1, 2, 3, 4}: every elevation result by hand.
    void elevationByHand()
    {
        CCloudMetics m;
        const double z[] = {3, 1, 4, 2};  // order of the input does not matter
        QVERIFY(m.cal_pecentitle_z(z, 4));
        QCOMPARE(m.elev_min_z, 1.0);
        QCOMPARE(m.elev_max_z, 4.0);
        QCOMPARE(m.elev_mean_z, 2.5);
        QCOMPARE(m.elev_median_z, 2.5);
        // Type 7: h = 3q/100.
        QCOMPARE(m.elev_percentile[0], 1.03);   // 1st
        QCOMPARE(m.elev_percentile[4], 1.75);   // 25th
        QCOMPARE(m.elev_percentile[10], 3.25);  // 75th
        QCOMPARE(m.elev_percentile[14], 3.97);  // 99th
        QCOMPARE(m.elev_IQ, 1.5);
        QCOMPARE(m.elev_variance_z, 1.25);  // population: 5 / 4
        QVERIFY(std::fabs(m.elev_stddev_z - std::sqrt(1.25)) < 1e-12);
        QVERIFY(std::fabs(m.elev_cv_z - std::sqrt(1.25) / 2.5) < 1e-12);
        QVERIFY(std::fabs(m.elev_skewness_z) < 1e-12);
        QVERIFY(std::fabs(m.elev_kurtosis_z - 2.5625 / 1.5625) < 1e-12);
        QCOMPARE(m.elev_aad_z, 1.0);
        QCOMPARE(m.elev_madmedian_z, 1.0);
        QCOMPARE(m.elev_canpoy_relief_ratio, 0.5);
        QVERIFY(std::fabs(m.elev_sqrt_mean_sq - std::sqrt(7.5)) < 1e-12);
        QVERIFY(std::fabs(m.elev_curt_mean_cube - std::cbrt(25.0)) < 1e-12);
        // Running sums 1, 3, 6, 10 against q % of 10.
        const double aih[15] = {1, 1, 1, 2, 2, 2, 3, 3, 3, 4, 4, 4, 4, 4, 4};
        for (int k = 0; k < 15; ++k)
            QCOMPARE(m.elev_AIH[k], aih[k]);
        QCOMPARE(m.elev_AIH_IQ, 2.0);
        // Slices of width 0.3: 1 in 0, 2 in 3, 3 in 6, the top point in the last.
        const double density[10] = {0.25, 0, 0, 0.25, 0, 0, 0.25, 0, 0, 0.25};
        for (int k = 0; k < 10; ++k)
            QCOMPARE(m.density_metrics[k], density[k]);
    }

    // Ties, two points, equal heights, and sets with no result.
    void tiesAndSmallSets()
    {
        CCloudMetics m;
        const double ties[] = {2, 5, 2, 2};
        QVERIFY(m.cal_pecentitle_z(ties, 4));
        QCOMPARE(m.elev_median_z, 2.0);
        QCOMPARE(m.elev_percentile[10], 2.75);
        QCOMPARE(m.elev_madmedian_z, 0.0);
        QVERIFY(std::fabs(m.elev_skewness_z - 2 / std::sqrt(3.0)) < 1e-12);
        QCOMPARE(m.density_metrics[0], 0.75);
        QCOMPARE(m.density_metrics[9], 0.25);

        const double two[] = {1.5, 0.5};
        QVERIFY(m.cal_pecentitle_z(two, 2));
        QCOMPARE(m.elev_percentile[4], 0.75);
        QCOMPARE(m.elev_median_z, 1.0);
        QCOMPARE(m.elev_stddev_z, 0.5);
        QCOMPARE(m.elev_kurtosis_z, 1.0);
        QCOMPARE(m.elev_AIH[4], 0.5);  // 25 % of 2 is reached by the first height
        QCOMPARE(m.elev_AIH[7], 1.5);
        QCOMPARE(m.density_metrics[0], 0.5);
        QCOMPARE(m.density_metrics[9], 0.5);

        // Equal heights: one slice, no spread, defined shape values.
        const double flat[] = {7.1, 7.1, 7.1};
        QVERIFY(m.cal_pecentitle_z(flat, 3));
        QCOMPARE(m.elev_mean_z, 7.1);
        QCOMPARE(m.elev_percentile[14], 7.1);
        QCOMPARE(m.elev_AIH[0], 7.1);
        QCOMPARE(m.elev_variance_z, 0.0);
        QCOMPARE(m.elev_skewness_z, 0.0);
        QCOMPARE(m.elev_kurtosis_z, 0.0);
        QCOMPARE(m.elev_cv_z, 0.0);
        QCOMPARE(m.elev_canpoy_relief_ratio, 0.0);
        QCOMPARE(m.density_metrics[0], 1.0);
        for (int k = 1; k < 10; ++k)
            QCOMPARE(m.density_metrics[k], 0.0);

        const double one[] = {3.0};
        QVERIFY(m.cal_pecentitle_z(one, 1));
        QCOMPARE(m.elev_median_z, 3.0);
        QCOMPARE(m.elev_madmedian_z, 0.0);

        const double bad[] = {1, std::numeric_limits<double>::quiet_NaN(), 2};
        QVERIFY(!m.cal_pecentitle_z(bad, 3));
        QCOMPARE(m.elev_max_z, 0.0);  // results are cleared
        QVERIFY(!m.cal_pecentitle_z(one, 0));

        // Intensities: the same statistics in their own members.
        std::vector<PointCloud> pts{pt(0, 0, 9, 3), pt(0, 0, 9, 1), pt(0, 0, 9, 4), pt(0, 0, 9, 2)};
        QVERIFY(m.cal_normal_intensity(pts));
        QCOMPARE(m.int_median_z, 2.5);
        QCOMPARE(m.int_con_iq, 1.5);
        QCOMPARE(m.int_AII[7], 3.0);
        QCOMPARE(m.int_variance, 1.25);
        QCOMPARE(m.int_min, 1.0);
        const double zeros[10] = {};
        QVERIFY(m.cal_normal_intensity(zeros, 10));
        QCOMPARE(m.int_AII[14], 0.0);
        QCOMPARE(m.int_cv, 0.0);
    }

    // Grid rules, header, number format and the cells left out.
    void tables()
    {
        std::vector<PointCloud> pts{pt(0, 0, 0)};  // at HeightBreak: counts for the cell, is not used
        for (int k = 1; k <= 10; ++k)
            pts.push_back(pt(2 + 0.5 * k, 3 + 0.7 * k, k));  // cell (0, 0)
        for (int k = 1; k <= 9; ++k)
            pts.push_back(pt(20, 5, k));  // cell (1, 0): 9 points
        for (int k = 1; k <= 12; ++k)
            pts.push_back(pt(30, 20, k));  // the east edge: columns 1 and 2, row 1
        const QString las = f("grid.las");
        writeLas(las, pts);

        const ToolOutcome e = runTool(CloudMetricsTools::elevationMetrics(), {las}, f("grid.csv"), "0");
        QVERIFY2(e.completed, qPrintable(e.warnings.join("; ")));
        QCOMPARE(e.results, QStringList({f("grid.csv")}));
        QStringList lines = readLines(f("grid.csv"));
        QCOMPARE(lines.size(), 4);
        QCOMPARE(lines[0], QString(
            "x,y,XSize,YSize,elev_aad_z,elev_canpoy_relief_ratio,elev_AIH_1st,elev_AIH_5th,elev_AIH_10th,elev_AIH_20th,"
            "elev_AIH_25th,elev_AIH_30th,elev_AIH_40th,elev_AIH_50th,elev_AIH_60th,elev_AIH_70th,elev_AIH_75th,"
            "elev_AIH_80th,elev_AIH_90th,elev_AIH_95th,elev_AIH_99th,elev_AIH_IQ,elev_curt_mean_cube,elev_cv_z,elev_IQ,"
            "elev_kurtosis_z,elev_madmedian_z,elev_max_z,elev_min_z,elev_mean_z,elev_median_z,elev_percentile_1st,"
            "elev_percentile_5th,elev_percentile_10th,elev_percentile_20th,elev_percentile_25th,elev_percentile_30th,"
            "elev_percentile_40th,elev_percentile_50th,elev_percentile_60th,elev_percentile_70th,elev_percentile_75th,"
            "elev_percentile_80th,elev_percentile_90th,elev_percentile_95th,elev_percentile_99th,elev_skewness_z,"
            "elev_sqrt_mean_sq,elev_stddev_z,elev_variance_z,density_metrics[0],density_metrics[1],density_metrics[2],"
            "density_metrics[3],density_metrics[4],density_metrics[5],density_metrics[6],density_metrics[7],"
            "density_metrics[8],density_metrics[9]"));
        // 3 columns (30 m is an exact multiple of 15: one more at the east
        // edge) by 2 rows, column by column; the 9-point cell is left out.
        QVERIFY(lines[1].startsWith("7.500000,7.500000,15.000000,15.000000,"));
        QVERIFY(lines[2].startsWith("22.500000,22.500000,"));
        QVERIFY(lines[3].startsWith("37.500000,22.500000,"));
        const QVector<double> v = numbers(lines[1]);
        QCOMPARE(v.size(), 60);
        QCOMPARE(lines[1].split(',')[29], QString("5.500000"));  // mean of 1..10 (0 is not above 0)
        QCOMPARE(lines[1].split(',')[28], QString("1.000000"));  // min
        QCOMPARE(lines[1].split(',')[35], QString("3.250000"));  // 25th: h = 2.25
        QCOMPARE(lines[1].split(',')[49], QString("8.250000"));  // population variance
        for (int k = 50; k < 60; ++k)
            QCOMPARE(lines[1].split(',')[k], QString("0.100000"));  // one height per slice
        for (const QString &line : lines.mid(1))
            QVERIFY2(QRegularExpression("^-?\\d+\\.\\d{6}(,-?\\d+\\.\\d{6}){59}$").match(line).hasMatch(),
                     qPrintable(line));

        // The intensity table uses every point of a cell: 11 zeros give a line.
        const ToolOutcome i = runTool(CloudMetricsTools::intensityMetrics(), {las}, f("int.csv"), QString());
        QVERIFY(i.completed);
        lines = readLines(f("int.csv"));
        QCOMPARE(lines.size(), 4);
        QCOMPARE(lines[0].split(',').size(), 46);
        QVERIFY(lines[0].startsWith("x,y,XSize,YSize,int_aad,int_cv,int_AII_1st,"));
        QVERIFY(lines[0].endsWith(",int_percentile_95th,int_percentile_99th,int_con_iq"));
        QString zeros = "7.500000,7.500000,15.000000,15.000000";
        for (int k = 0; k < 42; ++k)
            zeros += ",0.000000";
        QCOMPARE(lines[1], zeros);

        // No point above HeightBreak: the table holds its header only, and the run says so.
        const ToolOutcome none = runTool(CloudMetricsTools::elevationMetrics(), {las}, f("none.csv"), "150");
        QVERIFY(none.completed);
        QCOMPARE(readLines(f("none.csv")).size(), 1);
        QCOMPARE(none.notes.last(), f("none.csv") + ": no cell holds 10 or more points above the HeightBreak of "
                                                    "150 m; the table holds its header line only.");
        // A HeightBreak for the intensities keeps points above it only.
        const ToolOutcome some = runTool(CloudMetricsTools::intensityMetrics(), {las}, f("some.csv"), "5");
        QVERIFY(some.completed);
        QCOMPARE(readLines(f("some.csv")).size(), 1);

        // A file of one point: a one-cell grid, no line, no failure.
        writeLas(f("one.las"), {pt(5, 5, 5)});
        QVERIFY(runTool(CloudMetricsTools::elevationMetrics(), {f("one.las")}, f("one.csv"), "0").completed);
        QCOMPARE(readLines(f("one.csv")).size(), 1);
    }

    // The question about data that may not be normalised, per input.
    void normalisedQuestion()
    {
        std::vector<PointCloud> tall;
        for (int k = 0; k < 12; ++k)
            tall.push_back(pt(k, k, 240 + k));
        writeLas(f("tall.las"), tall);
        writeLas(f("low.las"), {pt(1, 1, 1), pt(2, 2, 2)});
        QDir().mkpath(f("q"));
        QStringList asked;
        auto no = [&](const QString &q) {
            asked << q;
            return false;
        };
        const ToolOutcome o =
            runTool(CloudMetricsTools::elevationMetrics(), {f("low.las"), f("tall.las")}, f("q") + "/", "0", no);
        QVERIFY(!o.completed);
        QCOMPARE(asked, QStringList({"<p align='center'>" + f("tall.las") +
                                     "<br>Z Value is more than 200<br>please confirm whether the data is "
                                     "normalized?</p>"}));
        QCOMPARE(o.results, QStringList({f("q/low_ElevationMetrics.csv")}));  // the first input is complete
        QVERIFY(QFile::exists(f("q/low_ElevationMetrics.csv")));
        QVERIFY(!QFile::exists(f("q/tall_ElevationMetrics.csv")));
        const ToolOutcome yes = runTool(CloudMetricsTools::intensityMetrics(), {f("tall.las")}, f("q/t.csv"), QString(),
                                        [](const QString &) { return true; });
        QVERIFY(yes.completed);
        QCOMPARE(readLines(f("q/t.csv")).size(), 2);
    }

    // One cell of a real normalised plot against a separate computation
    // from all points of the file.
    void realCell()
    {
        const QString path = QStringLiteral(VERDANTA_SHARED_DATA) + "/lidR_Megaplot.las";
        if (!QFile::exists(path))
            QSKIP("The shared sample data (lidR_Megaplot.las) is not present; the real-cell comparison needs it.");
        const ToolOutcome o = runTool(CloudMetricsTools::elevationMetrics(), {path}, f("mega.csv"), "2");
        QVERIFY2(o.completed, qPrintable(o.warnings.join("; ")));
        const QStringList lines = readLines(f("mega.csv"));

        VerdantaIO::CLASIO las;
        QVERIFY(las.LoadFile(s(path)));
        QVERIFY(las.ReadData(nullptr));
        const auto &h = las.header;
        const int nx = int((h.maxX - h.minX) / 15) + 1, ny = int((h.maxY - h.minY) / 15) + 1;
        // Which cells give lines, from a plain count over all points.
        int expected = 0;
        QVector<double> cellZ;
        for (int i = 0; i < nx; ++i)
            for (int j = 0; j < ny; ++j) {
                const double x0 = h.minX + i * 15, x1 = h.minX + (i + 1) * 15;
                const double y0 = h.minY + j * 15, y1 = h.minY + (j + 1) * 15;
                int all = 0;
                QVector<double> kept;
                for (const PointCloud &p : las.points)
                    if (p.x >= x0 && p.x <= x1 && p.y >= y0 && p.y <= y1) {
                        ++all;
                        if (p.z > 2)
                            kept << p.z;
                    }
                if (all >= 10 && kept.size() >= 10) {
                    ++expected;
                    if (i == 5 && j == 7)
                        cellZ = kept;
                }
            }
        QCOMPARE(lines.size() - 1, expected);
        QVERIFY(cellZ.size() > 100);
        const QString centre = fixed(h.minX + 5 * 15 + 7.5) + "," + fixed(h.minY + 7 * 15 + 7.5) + ",";
        QString line;
        for (const QString &l : lines)
            if (l.startsWith(centre))
                line = l;
        QVERIFY(!line.isEmpty());
        const QVector<double> v = numbers(line);

        std::sort(cellZ.begin(), cellZ.end());
        const int n = cellZ.size();
        auto quantile = [&](double q) {  // closest ranks, linear in between
            const double pos = (n - 1) * q;
            const int below = int(pos);
            return below + 1 < n ? cellZ[below] * (1 - (pos - below)) + cellZ[below + 1] * (pos - below) : cellZ[n - 1];
        };
        double sum = 0;
        for (double z : cellZ)
            sum += z;
        const double mean = sum / n;
        double s2 = 0, s3 = 0, s4 = 0;
        for (double z : cellZ) {
            s2 += std::pow(z - mean, 2);
            s3 += std::pow(z - mean, 3);
            s4 += std::pow(z - mean, 4);
        }
        s2 /= n;
        s3 /= n;
        s4 /= n;
        auto near = [](double a, double b) { return std::fabs(a - b) <= 1e-6 + 1e-9 * std::fabs(b); };
        QVERIFY(near(v[27], cellZ.last()));                 // max
        QVERIFY(near(v[28], cellZ.first()));                // min
        QVERIFY(near(v[29], mean));                         // mean
        QVERIFY(near(v[30], quantile(0.5)));                // median
        QVERIFY(near(v[33], quantile(0.10)));               // 10th
        QVERIFY(near(v[44], quantile(0.95)));               // 95th
        QVERIFY(near(v[49], s2));                           // variance
        QVERIFY(near(v[46], s3 / std::pow(s2, 1.5)));       // skewness
        QVERIFY(near(v[25], s4 / (s2 * s2)));               // kurtosis
        double shares = 0;
        for (int k = 50; k < 60; ++k)
            shares += v[k];
        QVERIFY(std::fabs(shares - 1) < 1e-5);
        // AIH 50th: the first sorted height at which the running sum reaches half the total.
        double running = 0, aih50 = 0;
        for (double z : cellZ) {
            running += z;
            if (running >= sum / 2) {
                aih50 = z;
                break;
            }
        }
        QVERIFY(near(v[13], aih50));
    }
};

QTEST_GUILESS_MAIN(TestCloudMetrics)
#include "test_cloudmetrics.moc"
