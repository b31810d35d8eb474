// LAZ: the item coders on hand-made edge values, write-then-read round trips
// of every writable format against records built byte by byte, the shared
// LAZ samples against their LAS twins, and damaged files.

#include "LasBytes.h"
#include "LasIO.h"
#include "LazCodec.h"
#include "LazItems.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

#include <cstring>

using namespace VerdantaIO;

namespace {

std::string s(const QString &q) { return QFile::encodeName(q).toStdString(); }

lasbytes::RawPoint pointAt(int i, int format)
{
    lasbytes::RawPoint p;
    p.X = 100000 + i * 37 + (i * i) % 101;
    p.Y = -5000 + i * 11 - (i * 7) % 13;
    p.Z = 2500 - i * 3 + (i % 17);
    p.intensity = static_cast<uint16_t>(1000 + (i * 13) % 700);
    p.numberOfReturns = static_cast<uint8_t>(1 + i % 4);
    p.returnNumber = static_cast<uint8_t>(1 + (i / 3) % p.numberOfReturns);
    p.scanDirection = (i / 50) % 2;
    p.edge = i % 97 == 0;
    p.classification = static_cast<uint8_t>(format >= 6 ? (i % 9 == 0 ? 143 : 2 + i % 4) : 2 + i % 4);
    p.synthetic = i % 41 == 1;
    p.overlap = format >= 6 && i % 29 == 0;
    p.scannerChannel = format >= 6 ? (i / 20) % 4 : 0;
    p.scanAngle = static_cast<int16_t>(format >= 6 ? -3000 + (i % 1000) * 6 : -20 + (i / 10) % 41);
    p.userData = static_cast<uint8_t>(i / 100);
    p.pointSourceId = static_cast<uint16_t>(7 + i / 1000);
    p.gpsTime = 300000.0 + (i / 3) * 1e-5;
    p.red = static_cast<uint16_t>(256 * (i % 200) + i % 7);
    p.green = static_cast<uint16_t>(p.red + 300);
    p.blue = static_cast<uint16_t>(i % 5 == 0 ? p.red : 40000 - i % 1000);
    p.nir = static_cast<uint16_t>(20000 + i % 3000);
    return p;
}

// Records of a format with `extra` extra bytes from raw points.
std::vector<uint8_t> records(int format, uint16_t extra, const std::vector<lasbytes::RawPoint> &pts)
{
    lasbytes::File f;
    f.format = static_cast<uint8_t>(format);
    f.recordLength = static_cast<uint16_t>(lasbytes::standardLength(format) + extra);
    std::vector<uint8_t> out;
    for (size_t i = 0; i < pts.size(); ++i) {
        std::vector<uint8_t> r = lasbytes::record(f, pts[i]);
        for (uint16_t k = 0; k < extra; ++k)
            r[lasbytes::standardLength(format) + k] = static_cast<uint8_t>(i % 3 == 0 ? 255 - k : i * k);
        out.insert(out.end(), r.begin(), r.end());
    }
    return out;
}

// The edge cases every coder must carry through a chunk unchanged.
std::vector<lasbytes::RawPoint> edgePoints(int format)
{
    std::vector<lasbytes::RawPoint> pts;
    const int maxReturn = format >= 6 ? 15 : 7;
    for (int i = 0; i < 40; ++i)
        pts.push_back(pointAt(i, format));
    lasbytes::RawPoint p = pointAt(40, format);
    for (int k = 0; k < 3; ++k)
        pts.push_back(p);  // equal consecutive points
    const int32_t extremes[] = {INT32_MIN, INT32_MAX, 0, INT32_MIN, -1, INT32_MAX};
    for (int k = 0; k < 6; ++k) {  // coordinates that wrap the 32-bit differences
        p.X = extremes[k];
        p.Y = extremes[(k + 1) % 6];
        p.Z = extremes[(k + 2) % 6];
        pts.push_back(p);
    }
    // Return numbers 0 and the largest, with any number of returns.
    for (int r : {0, maxReturn, 0, 1, maxReturn}) {
        p.returnNumber = static_cast<uint8_t>(r);
        p.numberOfReturns = static_cast<uint8_t>(r == 0 ? maxReturn : 0);
        pts.push_back(p);
    }
    // GPS times: jumps beyond a 32-bit difference, negative times, back to
    // an earlier sequence, repeats and a reversed order.
    for (double t : {300000.0, -1e9, 5e12, 300000.00001, 300000.00002, -1e9, -1e9 + 1e-5, 0.0, 5e12, 5e12,
                     300000.00003, 299999.0, 1e-300}) {
        p.gpsTime = t;
        p.X += 3;
        pts.push_back(p);
    }
    // Colour and intensity extremes, scanner channels jumping.
    for (int k = 0; k < 6; ++k) {
        p.red = k % 2 ? 65535 : 0;
        p.green = k % 3 ? 0 : 65535;
        p.blue = static_cast<uint16_t>(k * 9000);
        p.nir = k % 2 ? 0 : 65535;
        p.intensity = k % 2 ? 65535 : 0;
        p.pointSourceId = k % 2 ? 65535 : 0;
        p.userData = k % 2 ? 255 : 0;
        p.classification = static_cast<uint8_t>(format >= 6 ? (k % 2 ? 255 : 0) : (k % 2 ? 31 : 0));
        p.scanAngle = static_cast<int16_t>(format >= 6 ? (k % 2 ? 32767 : -32768) : (k % 2 ? 127 : -128));
        p.scannerChannel = format >= 6 ? (3 - k % 4) : 0;
        pts.push_back(p);
    }
    for (int i = 41; i < 160; ++i)
        pts.push_back(pointAt(i, format));
    return pts;
}

std::vector<PointCloud> readAll(const std::string &path, PointHeader *header = nullptr)
{
    CLASIO las;
    if (!las.LoadFile(path) || !las.ReadData(nullptr))
        return {};
    if (header)
        *header = las.header;
    return las.points;
}

bool samePoints(const std::vector<PointCloud> &a, const std::vector<PointCloud> &b)
{
    return a.size() == b.size() && std::memcmp(a.data(), b.data(), a.size() * sizeof(PointCloud)) == 0;
}

QString sharedData() { return QStringLiteral(VERDANTA_SHARED_DATA); }

}  // namespace

class TestLaz : public QObject {
    Q_OBJECT
    QTemporaryDir dir;

private slots:
    // Each compressor codes its chunk exactly back, from the raw first point
    // through equal points, wrapping coordinates and times, returns 0 and
    // 7 (15) and extreme attribute values; short chunks too.
    void itemCodersOnEdgeValues()
    {
        for (int format : {0, 1, 2, 3, 6, 7, 8}) {
            for (uint16_t extra : {uint16_t(0), uint16_t(3)}) {
                const std::vector<laz::Item> items = laz::itemsFor(format, extra);
                const uint16_t len = static_cast<uint16_t>(lasbytes::standardLength(format) + extra);
                std::string why;
                QVERIFY2(laz::supportedItems(items, format, len, why), why.c_str());
                const std::vector<uint8_t> in = records(format, extra, edgePoints(format));
                const uint64_t n = in.size() / len;
                for (uint64_t count : {uint64_t(1), uint64_t(2), n}) {
                    std::vector<uint8_t> packed;
                    laz::ChunkEncoder(items).encode(in.data(), count, packed);
                    std::vector<uint8_t> out(count * len, 0xCD);
                    std::string error;
                    QVERIFY2(laz::ChunkDecoder(items).decode(packed.data(), packed.size(), count, out.data(), error),
                             error.c_str());
                    QVERIFY2(std::memcmp(out.data(), in.data(), out.size()) == 0,
                             qPrintable(QString("format %1 extra %2 count %3").arg(format).arg(extra).arg(count)));
                }
            }
        }
    }

    // Every writable format written as LAZ reads back as the LAS twin reads,
    // through every reader path; the file carries the compression bit and
    // the LASzip record of 50,000-point chunks; appending keeps the chunks.
    void roundTripEveryFormat()
    {
        for (int format : {0, 1, 2, 3, 6, 7, 8}) {
            lasbytes::File f;
            f.format = static_cast<uint8_t>(format);
            f.versionMinor = static_cast<uint8_t>(format >= 6 ? 4 : 2);
            f.scale[0] = f.scale[1] = f.scale[2] = 0.01;
            const int n = format == 1 ? 120001 : 3000;  // three chunks, the last of one point
            for (int i = 0; i < n; ++i)
                f.points.push_back(pointAt(i, format));
            const std::string las = s(dir.filePath(QString("f%1.las").arg(format)));
            const std::string lazPath = s(dir.filePath(QString("f%1.laz").arg(format)));
            lasbytes::save(las, lasbytes::build(f));
            CLASIO twin;
            QVERIFY(twin.LoadFile(las) && twin.ReadData(nullptr));
            QVERIFY(WriteLasFile(lazPath, twin.header, twin.points));

            const std::vector<uint8_t> bytes = lasbytes::slurp(lazPath);
            QCOMPARE(int(bytes[104]), format | 0x80);
            const lasbytes::Header raw = lasbytes::parse(bytes);
            QCOMPARE(int(raw.recordLength), int(lasbytes::standardLength(format)));
            CLASIO z;
            QVERIFY(z.LoadFile(lazPath));
            QVERIFY(z.header.compressed);
            QCOMPARE(z.header.pointDataFormat, uint8_t(format));
            QCOMPARE(z.header.numberOfPointRecords, uint64_t(n));
            for (const auto &v : z.header.vlrs)
                QVERIFY(!laz::isLazRecord(v));  // the LASzip record is the reader's, not the caller's
            QVERIFY(z.ReadData(nullptr));
            QVERIFY(samePoints(z.points, twin.points));

            std::vector<PointCloud> part;
            const uint64_t from = format == 1 ? 49990 : 10;
            QVERIFY(z.ReadData(from, 100000, part));
            QCOMPARE(part.size(), size_t(std::min<uint64_t>(100000, n - from)));
            QVERIFY(std::memcmp(part.data(), twin.points.data() + from, part.size() * sizeof(PointCloud)) == 0);
            const std::vector<uint64_t> picks{uint64_t(n - 1), 0, 5, uint64_t(n / 2), 5};
            QVERIFY(z.ReadData(picks, part, nullptr));
            std::vector<XYZ> xyz;
            QVERIFY(z.ReadData(picks, xyz));
            for (size_t i = 0; i < picks.size(); ++i) {
                QVERIFY(std::memcmp(&part[i], &twin.points[picks[i]], sizeof(PointCloud)) == 0);
                QCOMPARE(xyz[i].x, twin.points[picks[i]].x);
                QCOMPARE(xyz[i].z, twin.points[picks[i]].z);
            }
            LASExtent e1, e2;
            QVERIFY(z.PointExtent(e1) && twin.PointExtent(e2));
            QCOMPARE(e1.minX, e2.minX);
            QCOMPARE(e1.maxZ, e2.maxZ);
            // Window reads: the same points in the same order as the LAS file.
            const PointCloud &c = twin.points[n / 3];
            std::vector<PointCloud> wz, wl;
            QVERIFY(ReadData(lazPath, c.x - 20, c.x + 20, c.y - 9, c.y + 9, wz));
            QVERIFY(ReadData(las, c.x - 20, c.x + 20, c.y - 9, c.y + 9, wl));
            QVERIFY(!wl.empty());
            QVERIFY(samePoints(wz, wl));
            wz.clear();
            wl.clear();
            QVERIFY(ReadData(lazPath, c.x, c.y, 15.0, wz) && ReadData(las, c.x, c.y, 15.0, wl));
            QVERIFY(samePoints(wz, wl));
        }
        // Appending: the short last chunk is coded again with the new points.
        const std::string las = s(dir.filePath("f1.las")), lazPath = s(dir.filePath("append.laz"));
        std::vector<PointCloud> all = readAll(las);
        PointHeader h;
        {
            CLASIO twin;
            QVERIFY(twin.LoadFile(las));
            h = twin.header;
        }
        const std::vector<PointCloud> first(all.begin(), all.begin() + 70000), second(all.begin() + 70000, all.end());
        QVERIFY(WriteLasFile(lazPath, h, first));
        QVERIFY(AppendLas(lazPath, h, second));
        QVERIFY(AppendLas(lazPath, h, {}));
        PointHeader back;
        QVERIFY(samePoints(readAll(lazPath, &back), all));
        QCOMPARE(back.numberOfPointRecords, uint64_t(all.size()));
        CLASIO z;
        QVERIFY(z.LoadFile(lazPath));
        QCOMPARE(back.maxX, z.header.maxX);
    }

    // The shared LAZ samples decode to exactly the points of their LAS twins
    // (point10 with GPS time, with extra bytes, and layered point14); the
    // COPC file (no twin) holds its 30 points within its header's bounds.
    void sharedSamplesMatchTheirTwins()
    {
        if (!QDir(sharedData()).exists())
            QSKIP("shared/data is absent (it ships only beside the developers' clones): LAZ sample tests skipped");
        for (const char *name : {"lidR_Megaplot", "lidR_MixedConifer", "lidR_Topography", "rlas_las14_prf6"}) {
            PointHeader hz, hl;
            const std::vector<PointCloud> z = readAll(s(sharedData() + "/laz/" + name + ".laz"), &hz);
            const std::vector<PointCloud> l = readAll(s(sharedData() + "/" + name + ".las"), &hl);
            QVERIFY2(!z.empty(), name);
            QVERIFY2(samePoints(z, l), name);
            QVERIFY(hz.compressed);
            QCOMPARE(hz.numberOfPointRecords, hl.numberOfPointRecords);
            QCOMPARE(hz.numberOfPointsByReturn, hl.numberOfPointsByReturn);
            QCOMPARE(hz.maxZ, hl.maxZ);
            QCOMPARE(hz.spatialReference.GetWKT(), hl.spatialReference.GetWKT());
        }
        PointHeader h;
        const std::vector<PointCloud> copc = readAll(s(sharedData() + "/laz/lasR_example.copc.laz"), &h);
        QCOMPARE(copc.size(), size_t(30));
        QCOMPARE(int(h.pointDataFormat), 6);
        for (const PointCloud &p : copc) {
            QVERIFY(p.x >= h.minX && p.x <= h.maxX && p.y >= h.minY && p.y <= h.maxY);
            QVERIFY(p.z >= h.minZ && p.z <= h.maxZ);
        }
        // Written again as LAZ, Topography keeps its points.
        const std::string out = s(dir.filePath("topo.laz"));
        CLASIO las;
        QVERIFY(las.LoadFile(s(sharedData() + "/lidR_Topography.las")) && las.ReadData(nullptr));
        QVERIFY(las.WriteLas(out));
        QVERIFY(samePoints(readAll(out), las.points));
    }

    // Cut or damaged LAZ files are refused with a reason, never read wrong.
    void damagedFilesAreRefused()
    {
        lasbytes::File f;
        f.format = 1;
        for (int i = 0; i < 500; ++i)
            f.points.push_back(pointAt(i, 1));
        const std::string las = s(dir.filePath("d.las")), lazPath = s(dir.filePath("d.laz"));
        lasbytes::save(las, lasbytes::build(f));
        CLASIO twin;
        QVERIFY(twin.LoadFile(las) && twin.ReadData(nullptr));
        QVERIFY(twin.WriteLas(lazPath));
        const std::vector<uint8_t> good = lasbytes::slurp(lazPath);
        const lasbytes::Header raw = lasbytes::parse(good);
        const std::string bad = s(dir.filePath("bad.laz"));

        // Cut anywhere within the points or the chunk table.
        for (size_t cut : {size_t(raw.dataOffset + 4), size_t(raw.dataOffset + 200), good.size() - 3}) {
            lasbytes::save(bad, std::vector<uint8_t>(good.begin(), good.begin() + cut));
            CLASIO z;
            QVERIFY(!z.LoadFile(bad));
            QCOMPARE(QString::fromStdString(z.lastError()),
                     QString("The LAZ chunk table is missing or damaged (the file may be truncated)"));
        }
        // The file's own table with a flipped count of chunks.
        std::vector<uint8_t> b = good;
        b[lasbytes::get<uint64_t>(good, raw.dataOffset) + 4] = 9;
        lasbytes::save(bad, b);
        {
            CLASIO z;
            QVERIFY(!z.LoadFile(bad));
        }
        // Garbage in the compressed stream: the chunk decodes short of its
        // bytes or fails, and the reader says which chunk.
        b = good;
        for (size_t i = raw.dataOffset + 8 + 28; i < raw.dataOffset + 8 + 60; ++i)
            b[i] = 0xFF;
        lasbytes::save(bad, b);
        {
            CLASIO z;
            QVERIFY(z.LoadFile(bad));
            const bool read = z.ReadData(nullptr);
            if (!read)
                QVERIFY(QString::fromStdString(z.lastError()).startsWith("The LAZ file is damaged: "));
            else
                QVERIFY(!samePoints(z.points, twin.points));
        }
        // A LASzip record naming a waveform item is refused with its reason.
        b = good;
        size_t at = 0;
        for (size_t i = 0; i + 14 < b.size(); ++i)
            if (std::memcmp(b.data() + i, "laszip encoded", 14) == 0) {
                at = i - 2;
                break;
            }
        QVERIFY(at > 0);
        lasbytes::put<uint16_t>(b, at + 54 + 34 + 6, laz::kWavePacket13);
        lasbytes::save(bad, b);
        CLASIO z;
        QVERIFY(!z.LoadFile(bad));
        QCOMPARE(QString::fromStdString(z.lastError()),
                 QString("The LAZ file cannot be read: compressed waveform packets are not supported"));
    }
};

QTEST_GUILESS_MAIN(TestLaz)
#include "test_laz.moc"
