// Outlier removal: the filter on a synthetic forest and on a real tile with
// injected outliers, the block handling of the tool (shared edges, small
// files, a repeated run, any record order), its dialog and its command line.

#include "BlockRun.h"
#include "CliRunner.h"
#include "DataManagement.h"
#include "LasBytes.h"
#include "LasIO.h"
#include "OutlierDialog.h"
#include "PromptRecorder.h"

#include <QComboBox>
#include <QDir>
#include <QFile>
#include <QLineEdit>
#include <QPushButton>
#include <QTemporaryDir>
#include <QtTest>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <random>
#include <tuple>

using VerdantaIO::PointCloud;

namespace {

std::string s(const QString &q) { return QFile::encodeName(q).toStdString(); }

constexpr uint8_t kInjected = 77;  // userData of the injected outliers

// Adds outliers around the genuine points, marked with kInjected: lone points
// 40-300 m above the highest point near them, flocks of 2-5 points 20-200 m
// above, and lone points 1.5-30 m under the lowest point near them.
void inject(std::vector<PointCloud> &pts, int lone, int flocks, int low, unsigned seed)
{
    std::mt19937 rng(seed);
    const size_t genuine = pts.size();
    std::uniform_int_distribution<size_t> pick(0, genuine - 1);
    auto column = [&](double x, double y, double r, double &lo, double &hi) {
        lo = 1e300, hi = -1e300;
        for (size_t i = 0; i < genuine; ++i) {
            const PointCloud &p = pts[i];
            if (std::abs(p.x - x) <= r && std::abs(p.y - y) <= r) {
                lo = std::min(lo, p.z);
                hi = std::max(hi, p.z);
            }
        }
    };
    uint8_t kind = kInjected;
    auto add = [&](double x, double y, double z) {
        PointCloud p = pts[0];
        p.x = x, p.y = y, p.z = z;
        p.userData = kind;
        pts.push_back(p);
    };
    std::uniform_real_distribution<double> u(0, 1);
    for (int i = 0; i < lone + flocks + low; ++i) {
        const PointCloud &at = pts[pick(rng)];
        double lo, hi;
        column(at.x, at.y, 5.0, lo, hi);
        kind = i < lone ? kInjected : i < lone + flocks ? kInjected + 1 : kInjected + 2;
        if (i < lone) {
            add(at.x, at.y, hi + 40 + 260 * u(rng));
        } else if (i < lone + flocks) {
            const double z = hi + 20 + 180 * u(rng);
            const int size = 2 + int(4 * u(rng));
            for (int b = 0; b < size; ++b)
                add(at.x + 3 * u(rng), at.y + 3 * u(rng), z + 2 * u(rng));
        } else {
            double gl, gh;
            column(at.x, at.y, 5.0, gl, gh);
            add(at.x, at.y, gl - 1.5 - 28.5 * u(rng));
        }
    }
}

struct Count {
    size_t genuineKept = 0, injectedKept = 0;
};
Count count(const std::vector<PointCloud> &pts)
{
    Count c;
    for (const PointCloud &p : pts)
        (p.userData >= kInjected ? c.injectedKept : c.genuineKept)++;
    return c;
}

// A forest on a steep slope (35 %), 4 ground points per m2, conical crowns,
// and one tall tree standing alone in a clearing, 45 m high.
std::vector<PointCloud> forest(double size, unsigned seed, double x0 = 1000, double y0 = 5000)
{
    std::mt19937 rng(seed);
    std::uniform_real_distribution<double> u(0, 1);
    auto ground = [&](double x, double y) { return 200 + 0.35 * (x - x0) + 3 * std::sin((y - y0) / 15); };
    std::vector<PointCloud> pts;
    auto add = [&](double x, double y, double z, uint8_t cls) {
        PointCloud p;
        p.x = std::round(x * 100) / 100, p.y = std::round(y * 100) / 100, p.z = std::round(z * 100) / 100;
        p.classification = cls;
        p.returnNumber = 1;
        p.numberOfReturns = 1;
        pts.push_back(p);
    };
    const size_t nGround = size_t(size * size * 4);
    for (size_t i = 0; i < nGround; ++i) {
        const double x = x0 + size * u(rng), y = y0 + size * u(rng);
        add(x, y, ground(x, y) + 0.05 * u(rng), 2);
    }
    auto tree = [&](double cx, double cy, double height, double radius, double density) {
        const double base = ground(cx, cy), crownBase = base + height * 0.4;
        const double slant = std::hypot(radius, height - crownBase + base);
        const size_t n = size_t(M_PI * radius * slant * density);
        add(cx, cy, base + height, 5);  // the apex
        for (size_t i = 0; i < n; ++i) {
            const double t = std::sqrt(u(rng));  // uniform on the cone's surface
            const double a = 2 * M_PI * u(rng), r = radius * t;
            add(cx + r * std::cos(a), cy + r * std::sin(a), base + height - t * (height - height * 0.4), 5);
        }
    };
    const double cx = x0 + size / 2, cy = y0 + size / 2;  // the clearing
    for (double x = x0 + 4; x < x0 + size - 4; x += 9)
        for (double y = y0 + 4; y < y0 + size - 4; y += 9)
            if (std::hypot(x - cx, y - cy) > 20)
                tree(x + 2 * u(rng), y + 2 * u(rng), 15 + 15 * u(rng), 2 + 2 * u(rng), 3);
    tree(cx, cy, 45, 3, 3);
    return pts;
}

void writeLas(const QString &path, const std::vector<PointCloud> &pts)
{
    VerdantaIO::CLASIO las;
    las.header.pointDataFormat = 1;
    las.points = pts;
    QVERIFY(las.WriteLas(s(path)));
}

std::vector<PointCloud> readLas(const QString &path)
{
    VerdantaIO::CLASIO las;
    if (!las.LoadFile(s(path)) || !las.ReadData(nullptr))
        return {};
    return las.points;
}

}  // namespace

class TestOutliers : public QObject {
    Q_OBJECT
    QTemporaryDir tmp;
    QString f(const QString &name) const { return tmp.path() + "/" + name; }

private slots:
    void syntheticForestKeepsTheTallTreeAndDropsTheOutliers()
    {
        std::vector<PointCloud> pts = forest(120, 5);
        const size_t genuine = pts.size();
        inject(pts, 15, 10, 25, 9);
        const size_t injected = pts.size() - genuine;
        const std::vector<PointCloud> input = pts;
        C_DataManagement dm;
        CProcessNull progress;
        QCOMPARE(dm.ErroPoints(pts, &progress, 1000, 5000, 1120, 5120), C_DataManagement::kOutliersDone);
        const Count c = count(pts);
        qInfo("synthetic: %zu of %zu injected removed, %zu of %zu genuine removed", injected - c.injectedKept,
              injected, genuine - c.genuineKept, genuine);
        QCOMPARE(c.injectedKept, size_t(0));
        QVERIFY(genuine - c.genuineKept <= genuine / 1000);
        // The apex of the tall tree in the clearing stays.
        const double top = 200 + 0.35 * 60 + 3 * std::sin(60.0 / 15) + 45;
        QVERIFY(std::any_of(pts.begin(), pts.end(), [&](const PointCloud &p) {
            return std::abs(p.x - 1060) < 1e-6 && std::abs(p.y - 5060) < 1e-6 && std::abs(p.z - std::round(top * 100) / 100) < 1e-6;
        }));
        // Kept points are unchanged and in their order; the bounds decide
        // which points are judged: none outside them is returned.
        size_t j = 0;
        for (const PointCloud &p : input)
            if (j < pts.size() && std::memcmp(&p, &pts[j], sizeof p) == 0)
                ++j;
        QCOMPARE(j, pts.size());
        std::vector<PointCloud> half = input;
        QCOMPARE(dm.ErroPoints(half, &progress, 1000, 5000, 1060, 5120), C_DataManagement::kOutliersDone);
        QVERIFY(std::all_of(half.begin(), half.end(), [](const PointCloud &p) { return p.x <= 1060; }));
        // Bad and trivial inputs.
        std::vector<PointCloud> none;
        QCOMPARE(dm.ErroPoints(none, &progress, 0, 0, 1, 1), C_DataManagement::kOutliersDone);
        std::vector<PointCloud> odd(20);
        odd[3].x = std::nan("");
        QCOMPARE(dm.ErroPoints(odd, &progress, 1, 1, -1, -1), C_DataManagement::kOutliersDone);  // bounds swapped
        QCOMPARE(odd.size(), size_t(19));  // duplicates kept, the NaN point gone
    }

    void realTileWithInjectedOutliers()
    {
        const QString data = QStringLiteral(VERDANTA_SHARED_DATA);
        if (!QDir(data).exists())
            QSKIP("shared/data is absent (it ships only beside the developers' clones): real-file test skipped");
        for (const char *name : {"lidR_Megaplot.las", "LAStools_fusa.las"}) {
            std::vector<PointCloud> pts = readLas(data + "/" + name);
            QVERIFY(!pts.empty());
            for (PointCloud &p : pts)
                p.userData = 0;
            const size_t genuine = pts.size();
            inject(pts, 100, 60, 150, 11);
            const size_t injected = pts.size() - genuine;
            const QString in = f(QString(name).replace(".las", "_dirty.las")), out = f("clean.las");
            writeLas(in, pts);
            const Tool &tool = OutlierTool::outliers();
            ToolRequest req;
            req.inputs = QStringList{in};
            CProcessNull progress;
            const ToolOutcome o = tool.run(req, {out}, &progress);
            QVERIFY(o.completed);
            const std::vector<PointCloud> got = readLas(out);
            const Count c = count(got);
            qInfo("%s: %zu of %zu injected removed (%.2f %%), %zu of %zu genuine removed (%.3f %%)", name,
                  injected - c.injectedKept, injected, 100.0 * (injected - c.injectedKept) / injected,
                  genuine - c.genuineKept, genuine, 100.0 * (genuine - c.genuineKept) / genuine);
            QVERIFY(c.injectedKept * 100 <= injected);
            QVERIFY((genuine - c.genuineKept) * 1000 <= genuine);
        }
    }

    void blocksShareEdgesAndRunsReplaceTheOutput()
    {
        // 600 m x 300 m: 3 x 2 blocks from the north-west corner (0, 300);
        // block edges at x = 250, 500 and y = 50.
        std::vector<PointCloud> pts;
        for (double x = 0; x <= 600; x += 2)
            for (double y = 0; y <= 300; y += 2) {
                PointCloud p;
                p.x = x, p.y = y, p.z = 10 + 0.01 * x;
                p.returnNumber = 1;
                p.intensity = uint16_t(int(x) * 7 + int(y));
                pts.push_back(p);
            }
        PointCloud corner;  // on a corner shared by four blocks
        corner.x = 250, corner.y = 50, corner.z = 12.5, corner.intensity = 60000;
        pts.push_back(corner);
        const QString in = f("grid.las"), out = f("grid_out.las");
        writeLas(in, pts);
        QFile junk(out);
        QVERIFY(junk.open(QIODevice::WriteOnly));
        junk.write("an earlier output");
        junk.close();
        const Tool &tool = OutlierTool::outliers();
        ToolRequest req;
        req.inputs = QStringList{in};
        CProcessNull progress;
        for (int run = 0; run < 2; ++run) {
            const ToolOutcome o = tool.run(req, {out}, &progress);
            QVERIFY(o.completed);
            QCOMPARE(o.results, QStringList({out}));
            const std::vector<PointCloud> got = readLas(out);
            QCOMPARE(got.size(), pts.size());  // every point once, none an outlier
            QCOMPARE(std::count_if(got.begin(), got.end(), [](const PointCloud &p) { return p.x == 250 && p.y == 50; }),
                     long(2));  // the grid's point and the corner point, each once
            QVERIFY(!QFile::exists(f("ETPtemple.las")));
            QVERIFY(!QFile::exists(in + ".ldx"));
        }
        // Smaller than a block: one block, every point written.
        std::vector<PointCloud> small(pts.begin(), pts.begin() + 500);
        writeLas(f("small.las"), small);
        req.inputs = QStringList{f("small.las")};
        QVERIFY(tool.run(req, {f("small_out.las")}, &progress).completed);
        QCOMPARE(readLas(f("small_out.las")).size(), small.size());
    }

    void keptRecordsAreCopiedUnchanged()
    {
        // A 100 m x 100 m grid of points (none an outlier; enough to be read
        // in two parts) with every field set: in LAS 1.4 format 6, whose
        // records are copied as they are, and
        // in format 1 with two extra bytes a point, which the output drops.
        // The second header's bounds miss the points: the blocks then lie
        // over the points' own extent.
        for (const int format : {6, 1}) {
            lasbytes::File in;
            in.format = uint8_t(format);
            in.versionMinor = format == 6 ? 4 : 2;
            in.recordLength = format == 6 ? 0 : 30;
            in.offset[0] = 1000, in.offset[1] = 5000;
            for (int i = 0; i < 40000; ++i) {
                lasbytes::RawPoint p;
                p.X = (i % 200) * 50, p.Y = (i / 200) * 50, p.Z = 10000 + 10 * (i % 200);
                p.intensity = uint16_t(i);
                p.returnNumber = uint8_t(1 + i % 3), p.numberOfReturns = 3;
                p.scanDirection = i % 2, p.edge = i % 5 == 0, p.synthetic = i % 7 == 0, p.withheld = i % 11 == 0;
                p.classification = uint8_t(i % 20);
                p.scanAngle = int16_t(format == 6 ? i % 3000 - 1500 : i % 61 - 30);
                p.userData = uint8_t(i), p.pointSourceId = uint16_t(7 * i), p.gpsTime = 0.25 * i;
                in.points.push_back(p);
            }
            in.minv[0] = format == 6 ? 1000 : 0, in.minv[1] = format == 6 ? 5000 : 0;
            in.maxv[0] = format == 6 ? 1099.5 : 10, in.maxv[1] = format == 6 ? 5099.5 : 10;
            const std::vector<uint8_t> bytes = lasbytes::build(in);
            const QString path = f(QString("fields%1.las").arg(format)), out = f(QString("fields%1_out.las").arg(format));
            lasbytes::save(s(path), bytes);
            ToolRequest req;
            req.inputs = QStringList{path};
            CProcessNull progress;
            const ToolOutcome o = OutlierTool::outliers().run(req, {out}, &progress);
            QVERIFY(o.completed);
            QCOMPARE(o.notes.filter("header bounds").size(), format == 6 ? 0 : 1);
            const std::vector<uint8_t> got = lasbytes::slurp(s(out));
            const lasbytes::Header hi = lasbytes::parse(bytes), ho = lasbytes::parse(got);
            QCOMPARE(ho.count, uint64_t(40000));
            QCOMPARE(ho.format, uint8_t(format));
            QCOMPARE(ho.recordLength, lasbytes::standardLength(format));
            QVERIFY(std::abs(ho.minv[0] - 1000) < 1e-9 && std::abs(ho.maxv[0] - 1099.5) < 1e-9 &&
                    std::abs(ho.maxv[2] - 119.9) < 1e-9);
            for (uint64_t i = 0; i < 40000; ++i)
                QVERIFY(lasbytes::pointBytes(got, ho, i, ho.recordLength) == lasbytes::pointBytes(bytes, hi, i, ho.recordLength));
        }
    }

    void anyRecordOrderGivesTheSameOutput()
    {
        // Two stands 200 m apart, the second across the edge of the two
        // blocks: written sorted, and shuffled with the blocks' rows passed
        // through scratch files.
        std::vector<PointCloud> pts = forest(60, 12);
        const std::vector<PointCloud> second = forest(60, 13, 1200, 5000);
        pts.insert(pts.end(), second.begin(), second.end());
        inject(pts, 4, 3, 4, 13);
        auto order = [](const PointCloud &a, const PointCloud &b) {
            return std::tie(a.x, a.y, a.z, a.userData) < std::tie(b.x, b.y, b.z, b.userData);
        };
        std::sort(pts.begin(), pts.end(), order);
        writeLas(f("sorted.las"), pts);
        std::shuffle(pts.begin(), pts.end(), std::mt19937(14));
        writeLas(f("shuffled.las"), pts);
        const Tool &tool = OutlierTool::outliers();
        CProcessNull progress;
        ToolRequest req;
        req.inputs = QStringList{f("sorted.las")};
        QVERIFY(tool.run(req, {f("sorted_out.las")}, &progress).completed);
        QVERIFY(QDir().mkpath(f("spill")));
        const uint64_t budget = BlockRun::setBucketBudget(1);
        req.inputs = QStringList{f("shuffled.las")};
        const bool done = tool.run(req, {f("spill/shuffled_out.las")}, &progress).completed;
        BlockRun::setBucketBudget(budget);
        QVERIFY(done);
        QCOMPARE(QDir(f("spill")).entryList(QDir::Files), QStringList({"shuffled_out.las"}));  // no scratch left
        std::vector<PointCloud> a = readLas(f("sorted_out.las")), b = readLas(f("spill/shuffled_out.las"));
        QCOMPARE(count(a).injectedKept, size_t(0));
        QVERIFY(a.size() > pts.size() - 100);
        std::sort(a.begin(), a.end(), order);
        std::sort(b.begin(), b.end(), order);
        QCOMPARE(a.size(), b.size());
        QVERIFY(std::equal(a.begin(), a.end(), b.begin(), [](const PointCloud &p, const PointCloud &q) {
            return p.x == q.x && p.y == q.y && p.z == q.z && p.userData == q.userData;
        }));
    }

    void dialogChecksAndRuns()
    {
        PromptRecorder prompts;
        ExcludingTheErrorPoints d;
        QCOMPARE(d.windowTitle(), QString("Outlier Removal"));
        QVERIFY(d.findChildren<QLineEdit *>().size() == 1);  // the output only: no parameters
        std::vector<PointCloud> pts = forest(40, 3);
        inject(pts, 2, 1, 2, 4);
        writeLas(f("a.b.las"), pts);
        d.setCandidates({f("a.b.las"), f("broken.las")});
        QCOMPARE(pressOk(d, prompts), QStringList({"Please add LAS File!"}));
        d.inputCombo()->setCurrentIndex(0);
        QCOMPARE(d.outputEdit()->text(), f("a_ExcludingTheErrorPoints.las"));
        d.outputEdit()->clear();
        QCOMPARE(pressOk(d, prompts), QStringList({"Output Path is empty! Please set!"}));
        d.outputEdit()->setText("out");
        QCOMPARE(pressOk(d, prompts), QStringList({"Output Path is invalid! Please reset!"}));
        d.outputEdit()->setText(f("clean.las"));
        prompts.answers = {QMessageBox::Ok, QMessageBox::Yes};
        QCOMPARE(pressOk(d, prompts), QStringList({"Finished!", "Do you want to add results into the project?"}));
        QCOMPARE(prompts.messages[prompts.messages.size() - 2].kind, Prompt::Kind::Information);
        QCOMPARE(d.resultFiles, QStringList({f("clean.las")}));
        QCOMPARE(count(readLas(f("clean.las"))).injectedKept, size_t(0));

        QFile broken(f("broken.las"));
        QVERIFY(broken.open(QIODevice::WriteOnly));
        broken.write("not a LAS file");
        broken.close();
        ExcludingTheErrorPoints e;
        e.setCandidates({f("broken.las")});
        e.inputCombo()->setCurrentIndex(0);
        QCOMPARE(pressOk(e, prompts), QStringList({"Open LAS file failed!"}));
    }

    void commandLine()
    {
        std::vector<PointCloud> pts = forest(40, 8);
        const size_t genuine = pts.size();
        inject(pts, 3, 2, 3, 6);
        writeLas(f("A.las"), pts);
        QString err;
        QCOMPARE(runCli({"outliers", f("A.las"), "-o", f("A_clean.las")}, &err), 0);
        const Count c = count(readLas(f("A_clean.las")));
        QCOMPARE(c.injectedKept, size_t(0));
        QVERIFY(c.genuineKept >= genuine - genuine / 1000);
    }
};

QTEST_MAIN(TestOutliers)
#include "test_outliers.moc"
