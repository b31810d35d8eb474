// LAS reading and writing checked against an independent byte-level builder.

#include "LasBytes.h"
#include "LasIO.h"
#include "ProcessBase.h"
#include "TestFiles.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

#include <random>
#include <thread>

using namespace VerdantaIO;

namespace {

lasbytes::RawPoint samplePoint(int i, int format)
{
    lasbytes::RawPoint p;
    p.X = 100000 + i * 37;
    p.Y = -5000 + i * 11;
    p.Z = 2500 - i * 3;
    p.intensity = static_cast<uint16_t>(1000 + i);
    p.returnNumber = static_cast<uint8_t>(1 + i % 5);
    p.numberOfReturns = 5;
    p.scanDirection = i % 2;
    p.edge = i % 3 == 0;
    p.classification = static_cast<uint8_t>(format >= 6 ? (i * 37) % 256 : i % 32);
    p.synthetic = i % 4 == 1;
    p.keyPoint = i % 5 == 2;
    p.withheld = i % 7 == 3;
    p.overlap = format >= 6 && i % 2 == 0;
    p.scannerChannel = format >= 6 ? i % 4 : 0;
    p.scanAngle = static_cast<int16_t>(format >= 6 ? -15000 + i * 301 : -90 + (i * 7) % 181);
    p.userData = static_cast<uint8_t>(200 + i);
    p.pointSourceId = static_cast<uint16_t>(40000 + i);
    p.gpsTime = 123456.789 + i * 0.001;
    p.red = static_cast<uint16_t>(65535 - i);
    p.green = static_cast<uint16_t>(i * 100);
    p.blue = static_cast<uint16_t>(7 * i);
    p.nir = static_cast<uint16_t>(30000 + i);
    for (int k = 0; k < 29; ++k)
        p.wave[k] = static_cast<uint8_t>(k + i);
    return p;
}

lasbytes::File sampleFile(int format, int minor, int n)
{
    lasbytes::File f;
    f.format = static_cast<uint8_t>(format);
    f.versionMinor = static_cast<uint8_t>(minor);
    f.scale[0] = 0.01; f.scale[1] = 0.001; f.scale[2] = 0.0001;
    f.offset[0] = 500000; f.offset[1] = 4000000; f.offset[2] = -10;
    f.sourceId = minor == 0 ? 0 : 17;
    f.globalEncoding = minor == 0 ? 0 : 1;
    for (int i = 0; i < 16; ++i)
        f.guid[i] = static_cast<uint8_t>(i * 16 + i);
    for (int i = 0; i < n; ++i)
        f.points.push_back(samplePoint(i, format));
    return f;
}

class CountingProgress : public CProcessNull {
public:
    int steps = 0;
    int cancelAfter = -1;
    bool StepIt() override
    {
        CProcessNull::StepIt();
        ++steps;
        return cancelAfter < 0 || steps < cancelAfter;
    }
};

}  // namespace

class TestLasIO : public QObject {
    Q_OBJECT
    QTemporaryDir dir;
    QString file(const QString &name) const { return dir.filePath(name); }

private slots:
    void readsEveryFieldOfEveryFormat_data()
    {
        QTest::addColumn<int>("format");
        QTest::addColumn<int>("minor");
        const int minors[] = {0, 1, 2, 2, 3, 3, 4, 4, 4, 4, 4};
        for (int f = 0; f <= 10; ++f)
            QTest::newRow(qPrintable(QString("format %1 LAS 1.%2").arg(f).arg(minors[f]))) << f << minors[f];
        QTest::newRow("format 1 LAS 1.4") << 1 << 4;
        QTest::newRow("format 3 LAS 1.3") << 3 << 3;
    }
    void readsEveryFieldOfEveryFormat()
    {
        QFETCH(int, format);
        QFETCH(int, minor);
        const auto f = sampleFile(format, minor, 40);
        const QString path = file(QString("f%1_%2.las").arg(format).arg(minor));
        lasbytes::save(s(path), lasbytes::build(f));

        CLASIO las;
        QVERIFY2(las.LoadFile(s(path)), las.lastError().c_str());
        QCOMPARE(int(las.header.pointDataFormat), format);
        QCOMPARE(las.header.numberOfPointRecords, uint64_t(40));
        QCOMPARE(las.header.versionString(), "1." + std::to_string(minor));
        QCOMPARE(las.header.systemId, std::string("TEST"));
        QCOMPARE(las.header.generatingSoftware, std::string("lasbytes"));
        QCOMPARE(las.header.creationYear, uint16_t(2020));
        QCOMPARE(las.header.projectId.to_string(), std::string("33221100-5544-7766-8899-aabbccddeeff"));
        QVERIFY(las.ReadData(nullptr));
        QCOMPARE(las.points.size(), size_t(40));
        for (int i = 0; i < 40; ++i) {
            const auto &raw = f.points[i];
            const PointCloud &p = las.points[i];
            QCOMPARE(p.x, raw.X * 0.01 + 500000);
            QCOMPARE(p.y, raw.Y * 0.001 + 4000000);
            QCOMPARE(p.z, raw.Z * 0.0001 - 10);
            QCOMPARE(p.intensity, raw.intensity);
            QCOMPARE(p.returnNumber, uint16_t(raw.returnNumber));
            QCOMPARE(p.numberOfReturns, raw.numberOfReturns);
            QCOMPARE(p.classification, raw.classification);
            QCOMPARE(bool(p.flags & PointFlags::Synthetic), raw.synthetic);
            QCOMPARE(bool(p.flags & PointFlags::KeyPoint), raw.keyPoint);
            QCOMPARE(bool(p.flags & PointFlags::Withheld), raw.withheld);
            QCOMPARE(bool(p.flags & PointFlags::Overlap), raw.overlap);
            QCOMPARE(bool(p.flags & PointFlags::ScanDirection), raw.scanDirection);
            QCOMPARE(bool(p.flags & PointFlags::EdgeOfFlightLine), raw.edge);
            QCOMPARE((p.flags & PointFlags::ScannerChannelMask) >> PointFlags::ScannerChannelShift,
                     int(raw.scannerChannel));
            if (format >= 6)
                QCOMPARE(p.scanAngle, raw.scanAngle);
            else
                QVERIFY(qAbs(p.scanAngleDegrees() - raw.scanAngle) < 0.004);
            QCOMPARE(p.userData, raw.userData);
            QCOMPARE(p.pointSourceId, raw.pointSourceId);
            const bool hasTime = format != 0 && format != 2;
            QCOMPARE(p.gpsTime, hasTime ? raw.gpsTime : 0.0);
            const bool hasRgb = format == 2 || format == 3 || format == 5 || format == 7 ||
                                format == 8 || format == 10;
            QCOMPARE(p.red, hasRgb ? raw.red : uint16_t(0));
            QCOMPARE(p.green, hasRgb ? raw.green : uint16_t(0));
            QCOMPARE(p.blue, hasRgb ? raw.blue : uint16_t(0));
            QCOMPARE(p.nir, (format == 8 || format == 10) ? raw.nir : uint16_t(0));
        }
    }

    // Reading and writing again leaves every record byte identical, for the
    // writable formats, and the header keeps its VLRs and reference.
    void roundTripIsByteIdentical_data()
    {
        QTest::addColumn<int>("format");
        QTest::addColumn<int>("minor");
        for (int f : {0, 1, 2, 3})
            QTest::newRow(qPrintable(QString("format %1").arg(f))) << f << 2;
        QTest::newRow("format 1 LAS 1.0") << 1 << 0;
        QTest::newRow("format 0 LAS 1.3") << 0 << 3;
        for (int f : {6, 7, 8})
            QTest::newRow(qPrintable(QString("format %1").arg(f))) << f << 4;
    }
    void roundTripIsByteIdentical()
    {
        QFETCH(int, format);
        QFETCH(int, minor);
        auto f = sampleFile(format, minor, 300);
        f.vlrs.push_back(utm33Keys());
        lasbytes::Vlr vendor;
        vendor.userId = "Vendor";
        vendor.recordId = 7;
        vendor.description = "opaque";
        vendor.data = {1, 2, 3, 4, 5};
        f.vlrs.push_back(vendor);
        if (minor == 4) {
            lasbytes::Vlr big;
            big.userId = "Vendor";
            big.recordId = 9;
            big.data.assign(70000, 0xAB);
            f.evlrs.push_back(big);
        }
        const QString in = file(QString("rt_in_%1_%2.las").arg(format).arg(minor));
        const QString out = file(QString("rt_out_%1_%2.las").arg(format).arg(minor));
        const auto original = lasbytes::build(f);
        lasbytes::save(s(in), original);

        CLASIO las;
        QVERIFY(las.LoadFile(s(in)));
        QVERIFY(QString::fromStdString(las.header.spatialReference.GetWKT()).contains("UTM zone 33N"));
        QVERIFY(las.ReadData(nullptr));
        QVERIFY2(las.WriteLas(s(out)), las.lastError().c_str());

        const auto written = lasbytes::slurp(s(out));
        const auto a = lasbytes::parse(original), b = lasbytes::parse(written);
        QCOMPARE(b.format, a.format);
        QCOMPARE(b.versionMinor, a.versionMinor);
        QCOMPARE(b.count, a.count);
        QCOMPARE(b.vlrCount, 2u);
        // Identical from the header's start to the end of the point data, but
        // for the bounds, which the builder left at zero and the writer computed.
        for (uint64_t i = 0; i < a.count; ++i)
            QCOMPARE(lasbytes::pointBytes(written, b, i, b.recordLength),
                     lasbytes::pointBytes(original, a, i, a.recordLength));
        QCOMPARE(std::vector<uint8_t>(written.begin() + 227, written.begin() + b.dataOffset),
                 std::vector<uint8_t>(original.begin() + 227, original.begin() + a.dataOffset));
        QCOMPARE(written.size(), original.size());

        CLASIO again;
        QVERIFY(again.LoadFile(s(out)));
        QCOMPARE(again.header.spatialReference.GetWKT(), las.header.spatialReference.GetWKT());
        QCOMPARE(again.header.evlrs.size(), minor == 4 ? size_t(1) : size_t(0));
        QCOMPARE(again.header.projectId, las.header.projectId);
        QCOMPARE(again.header.sourceId, las.header.sourceId);
    }

    void writerRecomputesCountsAndBounds()
    {
        CLASIO las;
        las.header.pointDataFormat = 1;
        las.header.scaleX = las.header.scaleY = las.header.scaleZ = 0.01;
        las.header.numberOfPointRecords = 999;  // wrong on purpose
        las.header.minX = -1e9;
        for (int i = 0; i < 7; ++i) {
            PointCloud p;
            p.x = 10.004 + i;  // rounds to 10.00 + i
            p.y = -3.0 * i;
            p.z = 100.0 + (i % 3);
            p.returnNumber = static_cast<uint16_t>(i % 3 + 1);
            las.points.push_back(p);
        }
        const QString path = file("recompute.las");
        QVERIFY(las.WriteLas(s(path)));
        const auto h = lasbytes::parse(lasbytes::slurp(s(path)));
        QCOMPARE(h.count, uint64_t(7));
        QCOMPARE(h.legacyByReturn[0], 3u);
        QCOMPARE(h.legacyByReturn[1], 2u);
        QCOMPARE(h.legacyByReturn[2], 2u);
        QCOMPARE(h.minv[0], 10.0);
        QCOMPARE(h.maxv[0], 16.0);
        QCOMPARE(h.minv[1], -18.0);
        QCOMPARE(h.maxv[1], 0.0);
        QCOMPARE(h.minv[2], 100.0);
        QCOMPARE(h.maxv[2], 102.0);
        QCOMPARE(las.header.numberOfPointRecords, uint64_t(7));

        // A coordinate that overflows the scale fails and leaves no file.
        las.points[0].x = 1e12;
        const QString bad = file("overflow.las");
        QVERIFY(!las.WriteLas(s(bad)));
        QVERIFY(!QFile::exists(bad));
        QVERIFY(!QFile::exists(bad + ".partial"));

        // Formats with waveforms or extra bytes are written without them.
        auto f = sampleFile(4, 3, 5);
        f.recordLength = 57 + 8;
        lasbytes::Vlr extra;
        extra.userId = "LASF_Spec";
        extra.recordId = 4;
        extra.data.assign(192, 0);
        f.vlrs.push_back(extra);
        lasbytes::save(s(file("wave.las")), lasbytes::build(f));
        CLASIO w;
        QVERIFY(w.LoadFile(s(file("wave.las"))));
        QCOMPARE(w.header.extraBytesPerPoint, uint16_t(8));
        QVERIFY(w.ReadData(nullptr));
        QVERIFY(w.WriteLas(s(file("wave_out.las"))));
        const auto out = lasbytes::parse(lasbytes::slurp(s(file("wave_out.las"))));
        QCOMPARE(int(out.format), 1);
        QCOMPARE(out.recordLength, uint16_t(28));
        QCOMPARE(out.vlrCount, 0u);
    }

    void appendKeepsRunningCountsAndBounds()
    {
        auto f = sampleFile(3, 2, 10);
        f.vlrs.push_back(utm33Keys());
        const QString in = file("append_src.las");
        lasbytes::save(s(in), lasbytes::build(f));
        CLASIO src;
        QVERIFY(src.LoadFile(s(in)));
        QVERIFY(src.ReadData(nullptr));

        CLASIO out;
        out.header = src.header;
        out.points.assign(src.points.begin(), src.points.begin() + 4);
        const QString path = file("append.las");
        QVERIFY(out.WriteLas(s(path)));
        std::vector<PointCloud> rest(src.points.begin() + 4, src.points.end());
        QVERIFY2(AppendLas(s(path), out.header, rest), LastError().c_str());
        QCOMPARE(out.header.numberOfPointRecords, uint64_t(10));
        QVERIFY(AppendLas(s(path), out.header, {}));

        const auto bytes = lasbytes::slurp(s(path));
        const auto h = lasbytes::parse(bytes);
        const auto o = lasbytes::build(f);
        const auto oh = lasbytes::parse(o);
        QCOMPARE(h.count, uint64_t(10));
        for (int i = 0; i < 10; ++i)
            QCOMPARE(lasbytes::pointBytes(bytes, h, i, 34), lasbytes::pointBytes(o, oh, i, 34));
        double minX = 1e300, maxX = -1e300;
        for (const auto &p : src.points) {
            minX = std::min(minX, p.x);
            maxX = std::max(maxX, p.x);
        }
        QCOMPARE(h.minv[0], minX);
        QCOMPARE(h.maxv[0], maxX);
        uint32_t sum = 0;
        for (uint32_t c : h.legacyByReturn)
            sum += c;
        QCOMPARE(sum, 10u);

        // A different point format is refused.
        PointHeader other = out.header;
        other.pointDataFormat = 1;
        QVERIFY(!AppendLas(s(path), other, rest));
        QVERIFY(!AppendLas(s(file("missing.las")), out.header, rest));
    }

    void chunkAndIndexReads()
    {
        const auto f = sampleFile(1, 2, 250);
        const QString path = file("chunks.las");
        lasbytes::save(s(path), lasbytes::build(f));
        CLASIO las;
        QVERIFY(las.LoadFile(s(path)));
        std::vector<PointCloud> chunk;
        QVERIFY(las.ReadData(0, 100, chunk));
        QCOMPARE(chunk.size(), size_t(100));
        QVERIFY(las.ReadData(200, 100, chunk));
        QCOMPARE(chunk.size(), size_t(50));
        QCOMPARE(chunk[0].intensity, f.points[200].intensity);
        QVERIFY(las.ReadData(250, 100, chunk));
        QVERIFY(chunk.empty());
        QVERIFY(!las.ReadData(251, 100, chunk));

        std::vector<PointCloud> picked;
        CountingProgress progress;
        QVERIFY(las.ReadData({249, 0, 17, 17}, picked, &progress));
        QCOMPARE(picked.size(), size_t(4));
        QCOMPARE(picked[0].intensity, f.points[249].intensity);
        QCOMPARE(picked[1].intensity, f.points[0].intensity);
        QCOMPARE(picked[3].intensity, f.points[17].intensity);
        QVERIFY(!las.ReadData({3, 250}, picked, nullptr));
        std::vector<XYZ> xyz;
        QVERIFY(las.ReadData({5}, xyz));
        QCOMPARE(xyz[0].x, f.points[5].X * 0.01 + 500000);
        QCOMPARE(xyz[0].z, f.points[5].Z * 0.0001 - 10);

        // Full reads report 100 steps and stop when cancelled.
        CountingProgress steps;
        QVERIFY(las.ReadData(&steps));
        QCOMPARE(steps.steps, 100);
        CountingProgress cancel;
        cancel.cancelAfter = 10;
        QVERIFY(!las.ReadData(&cancel));
        QVERIFY(las.points.empty());
        QCOMPARE(las.lastError(), std::string("Cancelled"));
    }

    void windowReadsMatchBruteForce()
    {
        std::mt19937 rng(7);
        std::uniform_int_distribution<int> coord(0, 200000);  // 0..2000 m at 0.01
        lasbytes::File f;
        f.format = 1;
        for (int i = 0; i < 60000; ++i) {
            lasbytes::RawPoint p;
            p.X = coord(rng);
            p.Y = coord(rng) / 2;
            p.Z = i;
            p.intensity = static_cast<uint16_t>(i);
            f.points.push_back(p);
        }
        const QString a = file("win_a.las"), b = file("win_b.las");
        lasbytes::save(s(a), lasbytes::build(f));
        for (auto &p : f.points)
            p.X += 150000;
        lasbytes::save(s(b), lasbytes::build(f));
        QFile::remove(a + ".ldx");
        SpatialIndex::clearCache();

        CLASIO all;
        QVERIFY(all.LoadFile(s(a)));
        QVERIFY(all.ReadData(nullptr));
        auto brute = [&](double x0, double x1, double y0, double y1) {
            std::vector<uint16_t> ids;
            for (const auto &p : all.points)
                if (p.x >= x0 && p.x <= x1 && p.y >= y0 && p.y <= y1)
                    ids.push_back(p.intensity);
            std::sort(ids.begin(), ids.end());
            return ids;
        };
        auto idsOf = [](const std::vector<PointCloud> &pts) {
            std::vector<uint16_t> ids;
            for (const auto &p : pts)
                ids.push_back(p.intensity);
            std::sort(ids.begin(), ids.end());
            return ids;
        };
        std::uniform_real_distribution<double> pos(-100, 2100), size(0, 300);
        for (int q = 0; q < 200; ++q) {
            const double x0 = pos(rng), y0 = pos(rng) / 2, w = size(rng), h = size(rng);
            std::vector<PointCloud> got;
            QVERIFY(ReadData(s(a), x0, x0 + w, y0, y0 + h, got));
            QCOMPARE(idsOf(got), brute(x0, x0 + w, y0, y0 + h));
        }
        QCOMPARE(SpatialIndex::lastSource(s(a)), SpatialIndex::Source::Cached);
        QVERIFY(QFile::exists(a + ".ldx"));
        // Inclusive bounds: a window exactly on one point finds it.
        std::vector<PointCloud> exact;
        QVERIFY(ReadData(s(a), all.points[3].x, all.points[3].x, all.points[3].y, all.points[3].y, exact));
        QVERIFY(!exact.empty());

        // Circles.
        for (int q = 0; q < 50; ++q) {
            const double cx = pos(rng), cy = pos(rng) / 2, r = size(rng) / 2;
            std::vector<PointCloud> got;
            QVERIFY(ReadData(s(a), cx, cy, r, got));
            std::vector<uint16_t> want;
            for (const auto &p : all.points)
                if ((p.x - cx) * (p.x - cx) + (p.y - cy) * (p.y - cy) <= r * r)
                    want.push_back(p.intensity);
            std::sort(want.begin(), want.end());
            QCOMPARE(idsOf(got), want);
        }

        // Two files: b is a shifted by 1500 m, so a window over the overlap
        // sees points from both.
        std::vector<PointCloud> both;
        QVERIFY(MultiFileData({s(a), s(b)}, 1600.0, 1700.0, 100.0, 200.0, both));
        const auto fromA = brute(1600, 1700, 100, 200);
        const auto fromB = brute(100, 200, 100, 200);
        QCOMPARE(both.size(), fromA.size() + fromB.size());
        std::vector<PointCloud> circle;
        QVERIFY(MultiFileData({s(a), s(file("nope.las"))}, 1000.0, 500.0, 10.0, circle));
        QVERIFY(!MultiFileData({s(file("nope.las"))}, 1000.0, 500.0, 10.0, circle));

        double minX, maxX, minY, maxY;
        QVERIFY(MultiFileExtent({s(a), s(b)}, minX, maxX, minY, maxY));
        std::vector<LASExtent> ext;
        QVERIFY(CreateLASExtent({s(b), s(a)}, ext));
        QCOMPARE(ext.size(), size_t(2));
        QCOMPARE(ext[0].path, s(b));
        QVERIFY(!CreateLASExtent({s(a), s(file("nope.las"))}, ext));
    }

    void sidecarIsReusedRebuiltAndOptional()
    {
        auto f = sampleFile(0, 2, 5000);
        const QString path = file("sidecar.las");
        lasbytes::save(s(path), lasbytes::build(f));
        QFile::remove(path + ".ldx");
        SpatialIndex::clearCache();
        std::vector<PointCloud> got;
        QVERIFY(ReadData(s(path), -1e9, 1e9, -1e9, 1e9, got));
        QCOMPARE(got.size(), size_t(5000));
        QCOMPARE(SpatialIndex::lastSource(s(path)), SpatialIndex::Source::Built);
        QVERIFY(QFile::exists(path + ".ldx"));

        SpatialIndex::clearCache();
        got.clear();
        QVERIFY(ReadData(s(path), -1e9, 1e9, -1e9, 1e9, got));
        QCOMPARE(SpatialIndex::lastSource(s(path)), SpatialIndex::Source::LoadedSidecar);
        QCOMPARE(got.size(), size_t(5000));

        // The LAS file changes behind the library's back: the sidecar is stale.
        f.points.resize(4000);
        lasbytes::save(s(path), lasbytes::build(f));
        got.clear();
        QVERIFY(ReadData(s(path), -1e9, 1e9, -1e9, 1e9, got));
        QCOMPARE(got.size(), size_t(4000));
        QCOMPARE(SpatialIndex::lastSource(s(path)), SpatialIndex::Source::Built);

        // A corrupt sidecar is rebuilt rather than trusted.
        SpatialIndex::clearCache();
        QFile side(path + ".ldx");
        QVERIFY(side.open(QIODevice::ReadWrite));
        side.seek(side.size() - 4);
        side.write("\xff\xff\xff\xff", 4);
        side.close();
        got.clear();
        QVERIFY(ReadData(s(path), -1e9, 1e9, -1e9, 1e9, got));
        QCOMPARE(got.size(), size_t(4000));
        QCOMPARE(SpatialIndex::lastSource(s(path)), SpatialIndex::Source::Built);

        // Where the sidecar cannot be written the index lives in memory.
        const QString locked = file("locked.las");
        lasbytes::save(s(locked), lasbytes::build(f));
        QDir().mkdir(locked + ".ldx");  // a folder in the sidecar's place cannot be replaced
        got.clear();
        QVERIFY(ReadData(s(locked), -1e9, 1e9, -1e9, 1e9, got));
        QCOMPARE(got.size(), size_t(4000));
        QCOMPARE(SpatialIndex::lastSource(s(locked)), SpatialIndex::Source::BuiltInMemory);
        QVERIFY(QFileInfo(locked + ".ldx").isDir());

        // Threads that read windows of a file without an index share the one
        // the first of them builds; the sidecar a reader maps is never
        // rewritten under it, and no temporary file is left behind.
        const QString shared = file("shared.las");
        lasbytes::save(s(shared), lasbytes::build(sampleFile(0, 2, 5000)));
        SpatialIndex::clearCache();
        std::vector<size_t> counts(4);
        std::vector<std::thread> readers;
        for (int t = 0; t < 4; ++t)
            readers.emplace_back([&, t] {
                for (int k = 0; k < 20; ++k) {
                    std::vector<PointCloud> pts;
                    ReadData(s(shared), -1e9, 1e9, -1e9, 1e9, pts);
                    SpatialIndex::releasePages(s(shared));
                    counts[t] = pts.size();
                }
            });
        for (std::thread &r : readers)
            r.join();
        QCOMPARE(counts, std::vector<size_t>(4, 5000));
        QCOMPARE(QDir(dir.path()).entryList({"shared.las.ldx*"}), QStringList({"shared.las.ldx"}));
    }

    void badInputGivesFalseWithReason_data()
    {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<QString>("reason");
        const auto good = lasbytes::build(sampleFile(1, 2, 10));
        auto bytes = [](std::vector<uint8_t> v) { return QByteArray(reinterpret_cast<const char *>(v.data()), int(v.size())); };
        QTest::newRow("empty file") << QByteArray() << "signature";
        auto sig = good; sig[0] = 'X';
        QTest::newRow("wrong signature") << bytes(sig) << "signature";
        QTest::newRow("truncated header") << bytes(std::vector<uint8_t>(good.begin(), good.begin() + 150)) << "truncated";
        // Points declared, but not one whole record present (10 of 28 bytes).
        const auto h = lasbytes::parse(good);
        QTest::newRow("no whole point record")
            << bytes(std::vector<uint8_t>(good.begin(), good.begin() + h.dataOffset + 10))
            << "The header declares 10 points but the file holds no whole point record";
        auto scale = good; lasbytes::put<double>(scale, 139, 0.0);
        QTest::newRow("zero scale") << bytes(scale) << "scale";
        auto nan = good; lasbytes::put<double>(nan, 155, std::nan(""));
        QTest::newRow("NaN offset") << bytes(nan) << "scale";
        auto fmt = good; fmt[104] = 42;
        QTest::newRow("unknown point format") << bytes(fmt) << "format 42";
        auto laz = good; laz[104] = 0x81;
        QTest::newRow("compressed") << bytes(laz) << "compressed";
        auto len = good; lasbytes::put<uint16_t>(len, 105, 12);
        QTest::newRow("short record length") << bytes(len) << "record length";
        auto off = good; lasbytes::put<uint32_t>(off, 96, 0xFFFFFF00u);
        QTest::newRow("data offset past end") << bytes(off) << "offset";
        auto hs = good; lasbytes::put<uint16_t>(hs, 94, 100);
        QTest::newRow("header size too small") << bytes(hs) << "header size";
        auto ver = good; ver[24] = 2;
        QTest::newRow("unknown version") << bytes(ver) << "version";
    }

    // Damage that leaves something sound: the sound part is read, the
    // header's counts say what was read, and warnings() says what was
    // declared. A file written from it carries the counts of its points.
    void damagedFilesAreReadAsFarAsSound_data()
    {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<int>("points");
        QTest::addColumn<int>("vlrs");
        QTest::addColumn<QString>("warning");
        auto bytes = [](std::vector<uint8_t> v) { return QByteArray(reinterpret_cast<const char *>(v.data()), int(v.size())); };
        auto f = sampleFile(1, 2, 10);
        lasbytes::Vlr v; v.userId = "X"; v.data.assign(100, 1);
        f.vlrs.push_back(v);
        const auto good = lasbytes::build(f);
        QTest::newRow("last record cut short") << bytes(std::vector<uint8_t>(good.begin(), good.end() - 5)) << 9 << 1
                                               << "9 of 10 declared points present; the file is truncated";
        auto count = good; lasbytes::put<uint32_t>(count, 107, 1000000);
        QTest::newRow("count larger than file") << bytes(count) << 10 << 1
                                                << "10 of 1000000 declared points present; the file is truncated";
        auto many = good; lasbytes::put<uint32_t>(many, 100, 3);
        QTest::newRow("VLR count overruns the points") << bytes(many) << 10 << 1
            << "only 1 of 3 declared variable-length records fit before the point data";
        auto huge = good; lasbytes::put<uint32_t>(huge, 100, 0xFFFFFFFFu);
        QTest::newRow("huge VLR count") << bytes(huge) << 10 << 1
            << "only 1 of 4294967295 declared variable-length records fit before the point data";
        auto longVlr = good; lasbytes::put<uint16_t>(longVlr, 227 + 20, 60000);
        QTest::newRow("VLR longer than its room") << bytes(longVlr) << 10 << 0
            << "only 0 of 1 declared variable-length records fit before the point data";
        // LAS 1.4: the EVLR after the points is cut off, the points are whole.
        auto g = sampleFile(6, 4, 10);
        lasbytes::Vlr e; e.userId = "Vendor"; e.data.assign(40, 7);
        g.evlrs.push_back(e);
        const auto with = lasbytes::build(g);
        QTest::newRow("EVLR cut off") << bytes(std::vector<uint8_t>(with.begin(), with.end() - 20)) << 10 << 0
            << "only 0 of 1 declared extended variable-length records are present";
        // LAS 1.4 with both counts zeroed: nothing is read, and it says why.
        auto zeroed = lasbytes::build(sampleFile(1, 4, 10));
        lasbytes::put<uint32_t>(zeroed, 107, 0);
        lasbytes::put<uint64_t>(zeroed, 247, 0);
        QTest::newRow("1.4 counts zeroed") << bytes(zeroed) << 0 << 0
            << "the header declares no points, but 10 whole point records follow it; they are not read";
        // LAS 1.4 with only the legacy count zeroed: the 64-bit count holds.
        auto legacy = lasbytes::build(sampleFile(1, 4, 10));
        lasbytes::put<uint32_t>(legacy, 107, 0);
        QTest::newRow("1.4 legacy count zeroed") << bytes(legacy) << 10 << 0 << QString();
    }
    void damagedFilesAreReadAsFarAsSound()
    {
        QFETCH(QByteArray, bytes);
        QFETCH(int, points);
        QFETCH(int, vlrs);
        QFETCH(QString, warning);
        const QString path = file("damaged.las");
        QVERIFY(writeBytes(path, bytes));
        CLASIO las;
        QVERIFY2(las.LoadFile(s(path)), las.lastError().c_str());
        QCOMPARE(las.warnings(), warning.isEmpty() ? std::vector<std::string>()
                                                   : std::vector<std::string>{warning.toStdString()});
        QCOMPARE(las.header.numberOfPointRecords, uint64_t(points));
        QCOMPARE(int(las.header.vlrs.size()), vlrs);
        QCOMPARE(las.header.numberOfVLRs, uint32_t(vlrs));
        // Every read path sees the same points.
        std::vector<PointCloud> window;
        QVERIFY(ReadData(s(path), -1e12, 1e12, -1e12, 1e12, window));
        QCOMPARE(int(window.size()), points);
        if (points == 0)
            return;
        QVERIFY(las.ReadData(nullptr));
        QCOMPARE(int(las.points.size()), points);
        // The last whole record decodes to what was stored.
        const lasbytes::RawPoint last = samplePoint(points - 1, las.header.pointDataFormat);
        QCOMPARE(las.points.back().x, last.X * 0.01 + 500000);
        QCOMPARE(las.points.back().intensity, last.intensity);
        std::vector<PointCloud> tail;
        QVERIFY(las.ReadData(uint64_t(points - 2), 100, tail));
        QCOMPARE(tail.size(), size_t(2));
        // Written out: the header counts what was written, checked byte by byte.
        const QString copy = file("damaged_copy.las");
        QVERIFY2(las.WriteLas(s(copy)), las.lastError().c_str());
        const auto written = lasbytes::slurp(s(copy));
        const auto wh = lasbytes::parse(written);
        QCOMPARE(wh.count, uint64_t(points));
        QCOMPARE(uint64_t(written.size()), uint64_t(wh.dataOffset) + uint64_t(points) * wh.recordLength);
        uint64_t byReturn[15] = {};
        for (int i = 0; i < points; ++i)
            ++byReturn[samplePoint(i, 1).returnNumber - 1];  // 1 + i % 5
        for (int r = 0; r < 5; ++r) {
            const uint64_t stored = wh.versionMinor >= 4 ? lasbytes::get<uint64_t>(written, 255 + 8 * r)
                                                         : wh.legacyByReturn[r];
            QCOMPARE(stored, byReturn[r]);
        }
    }
    void badInputGivesFalseWithReason()
    {
        QFETCH(QByteArray, bytes);
        QFETCH(QString, reason);
        const QString path = file("bad.las");
        QVERIFY(writeBytes(path, bytes));
        CLASIO las;
        QVERIFY(!las.LoadFile(s(path)));
        QVERIFY2(QString::fromStdString(las.lastError()).contains(reason, Qt::CaseInsensitive),
                 las.lastError().c_str());
        QVERIFY(!las.ReadData(nullptr));
        std::vector<PointCloud> got;
        QVERIFY(!ReadData(s(path), 0.0, 1e9, 0.0, 1e9, got));
        QVERIFY(got.empty());
        std::vector<LASExtent> ext;
        QVERIFY(!CreateLASExtent({s(path)}, ext));
    }

    void zeroPointsLoadsButHasNothingToRead()
    {
        const QString path = file("zero.las");
        lasbytes::save(s(path), lasbytes::build(sampleFile(1, 2, 0)));
        CLASIO las;
        QVERIFY(las.LoadFile(s(path)));
        QCOMPARE(las.header.numberOfPointRecords, uint64_t(0));
        QVERIFY(!las.ReadData(nullptr));
        QCOMPARE(las.lastError(), std::string("The file holds no points"));
        std::vector<PointCloud> got;
        QVERIFY(ReadData(s(path), -1e9, 1e9, -1e9, 1e9, got));
        QVERIFY(got.empty());
    }

    void unwritablePathFails()
    {
        CLASIO las;
        las.points.resize(3);
        QVERIFY(!las.WriteLas("/nonexistent-folder/x.las"));
        QVERIFY(las.lastError().find("Could not create") != std::string::npos);
    }

    void nonAsciiFolder()
    {
        const QString sub = dir.filePath(QString::fromUtf8("Wald_\xc3\xa4\xc3\xb6\xc3\xbc"));
        QVERIFY(QDir().mkpath(sub));
        const QString path = sub + "/a.las";
        lasbytes::save(s(path), lasbytes::build(sampleFile(1, 2, 12)));
        CLASIO las;
        QVERIFY(las.LoadFile(s(path)));
        QVERIFY(las.ReadData(nullptr));
        QVERIFY(las.WriteLas(s(sub + "/b.las")));
        std::vector<PointCloud> got;
        QVERIFY(ReadData(s(sub + "/b.las"), -1e9, 1e9, -1e9, 1e9, got));
        QCOMPARE(got.size(), size_t(12));
    }
};

QTEST_GUILESS_MAIN(TestLasIO)
#include "test_lasio.moc"
