// Feeds thousands of corrupted LAS files to the reader. Built with
// AddressSanitizer and UndefinedBehaviorSanitizer: any out-of-bounds read or
// undefined operation aborts the test.

#include "LasBytes.h"
#include "LasIO.h"
#include "LasStream.h"
#include "LazCodec.h"

#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QtTest>

#include <random>

using namespace VerdantaIO;

class TestFuzz : public QObject {
    Q_OBJECT
    QTemporaryDir dir;

    static std::vector<uint8_t> seed(int format, int minor)
    {
        lasbytes::File f;
        f.format = static_cast<uint8_t>(format);
        f.versionMinor = static_cast<uint8_t>(minor);
        lasbytes::Vlr keys;
        keys.userId = "LASF_Projection";
        keys.recordId = 34735;
        const uint16_t k[] = {1, 1, 0, 2, 1024, 0, 1, 1, 3072, 0, 1, 32633};
        keys.data.assign(reinterpret_cast<const uint8_t *>(k), reinterpret_cast<const uint8_t *>(k) + sizeof k);
        f.vlrs.push_back(keys);
        lasbytes::Vlr wkt;
        wkt.userId = "LASF_Projection";
        wkt.recordId = 2112;
        const std::string text = "GEOGCS[\"WGS 84\",DATUM[\"WGS_1984\",SPHEROID[\"WGS 84\",6378137,298.257223563]]]";
        wkt.data.assign(text.begin(), text.end());
        f.vlrs.push_back(wkt);
        if (minor == 4) {
            lasbytes::Vlr e;
            e.userId = "Vendor";
            e.data.assign(40, 7);
            f.evlrs.push_back(e);
        }
        for (int i = 0; i < 64; ++i) {
            lasbytes::RawPoint p;
            p.X = i * 1000;
            p.Y = i * 500;
            p.Z = i;
            p.returnNumber = static_cast<uint8_t>(i % 5 + 1);
            f.points.push_back(p);
        }
        return lasbytes::build(f);
    }

    // Everything a caller may do with a file; none of it may crash.
    void exercise(const std::string &path)
    {
        CLASIO las;
        if (las.LoadFile(path)) {
            // A file read in part never claims more points than it holds.
            const uint64_t size = static_cast<uint64_t>(QFileInfo(QString::fromStdString(path)).size());
            if (!las.header.compressed)
                QVERIFY(las.header.dataOffset + las.header.numberOfPointRecords * las.header.pointRecordLength <= size);
            LASExtent bounds;
            las.PointExtent(bounds);
            las.ReadData(nullptr);
            std::vector<PointCloud> chunk;
            las.ReadData(0, 10, chunk);
            las.ReadData(60, 100, chunk);
            las.ReadData({0, 5, 63, 1000000}, chunk, nullptr);
            std::vector<XYZ> xyz;
            las.ReadData({1, 2}, xyz);
            if (!las.points.empty())
                las.WriteLas(path + ".out.las");
        }
        // The record stream of extraction and clipping.
        LasRecordReader stream;
        if (stream.open(path)) {
            const uint64_t n = std::min<uint64_t>(stream.count(), 200);
            std::vector<PointKey> keys(n);
            std::vector<PointCloud> points(n);
            stream.keys(0, n, keys.data());
            stream.decode(0, n, points.data());
            stream.load(n / 2, n - n / 2);
            if (n)
                stream.decodeOne(n - 1, points[0]);
            stream.release(0, n);
        }
        std::vector<PointCloud> window;
        ReadData(path, -1e12, 1e12, -1e12, 1e12, window);
        ReadData(path, 100.0, 100.0, 50.0, window);
        std::vector<LASExtent> ext;
        CreateLASExtent({path}, ext);
        PointHeader h;
        AppendLas(path + ".copy", h, {});
    }

    // A seed written as LAZ; with smallChunks its block is coded again in
    // chunks of 16 points of variable size, so that the chunk table has
    // several entries.
    std::vector<uint8_t> lazSeed(int format, int minor, bool smallChunks)
    {
        const std::string las = QFile::encodeName(dir.filePath("seed.las")).toStdString();
        const std::string out = QFile::encodeName(dir.filePath("seed.laz")).toStdString();
        lasbytes::save(las, seed(format, minor));
        CLASIO in;
        if (!in.LoadFile(las) || !in.ReadData(nullptr) || !in.WriteLas(out))
            return {};
        std::vector<uint8_t> b = lasbytes::slurp(out);
        if (!smallChunks)
            return b;
        const uint32_t offset = lasbytes::get<uint32_t>(b, 96);
        for (size_t i = 0; i + 14 < offset; ++i)
            if (std::memcmp(b.data() + i, "laszip encoded", 14) == 0)
                lasbytes::put<uint32_t>(b, i - 2 + 54 + 12, laz::kVariableChunks);
        laz::LazInfo info = laz::infoFor(in.header.pointDataFormat, 0);
        info.chunkSize = laz::kVariableChunks;
        laz::LazBlockWriter writer(info, in.header.pointRecordLength);
        const std::vector<uint8_t> raw = lasbytes::slurp(las);
        const uint32_t rawOffset = lasbytes::get<uint32_t>(raw, 96);
        std::vector<uint8_t> block;
        for (int k = 0; k < 4; ++k)
            writer.addRecords(raw.data() + rawOffset + k * 16 * in.header.pointRecordLength, 16, block);
        uint8_t pointer[8];
        const std::vector<uint8_t> table = writer.finish(offset, 8 + block.size(), pointer);
        b.resize(offset);
        b.insert(b.end(), pointer, pointer + 8);
        b.insert(b.end(), block.begin(), block.end());
        b.insert(b.end(), table.begin(), table.end());
        return b;  // (LAS 1.4 seeds lose their EVLR, which the header still counts)
    }

private slots:
    void corruptedFilesNeverCrash()
    {
        std::mt19937 rng(12345);
        const std::vector<std::vector<uint8_t>> seeds = {
            seed(0, 0), seed(1, 2), seed(3, 2), seed(5, 3), seed(6, 4), seed(8, 4), seed(10, 4),
            lazSeed(1, 2, false), lazSeed(3, 2, true), lazSeed(7, 4, false), lazSeed(8, 4, true)};
        for (const auto &b : seeds)
            QVERIFY(!b.empty());
        const std::string path = QFile::encodeName(dir.filePath("fuzz.las")).toStdString();
        // Fields whose corruption matters most: sizes, offsets, counts, format, scales.
        const size_t hot[] = {24, 25, 94, 95, 96, 97, 98, 99, 100, 101, 102, 103, 104, 105, 106,
                              107, 108, 109, 110, 131, 139, 147, 235, 243, 247, 248, 253, 254,
                              227 + 20, 227 + 21};
        int runs = 0;
        for (int iter = 0; iter < 2200; ++iter) {
            std::vector<uint8_t> b = seeds[iter % seeds.size()];
            const int mode = iter % 4;
            if (mode == 0) {  // random bytes anywhere
                const int n = 1 + int(rng() % 8);
                for (int k = 0; k < n; ++k)
                    b[rng() % b.size()] = static_cast<uint8_t>(rng());
            } else if (mode == 1) {  // the header's structural fields
                const int n = 1 + int(rng() % 4);
                for (int k = 0; k < n; ++k) {
                    const size_t at = hot[rng() % (sizeof hot / sizeof hot[0])];
                    if (at < b.size())
                        b[at] = static_cast<uint8_t>(rng() % 4 == 0 ? 0xFF : rng());
                }
            } else if (mode == 2) {  // truncation
                b.resize(rng() % b.size());
            } else {  // extreme values in the count, offset and VLR length fields
                const uint32_t extremes[] = {0u, 1u, 0x7FFFFFFFu, 0xFFFFFFFFu, 375u, 227u, 54u};
                const size_t fields[] = {96, 100, 107};
                lasbytes::put<uint32_t>(b, fields[rng() % 3], extremes[rng() % 7]);
                lasbytes::put<uint16_t>(b, 227 + 20, static_cast<uint16_t>(rng()));
            }
            lasbytes::save(path, b);
            exercise(path);
            ++runs;
        }
        QCOMPARE(runs, 2200);
    }
};

QTEST_GUILESS_MAIN(TestFuzz)
#include "test_fuzz.moc"
