#include "CatalogRun.h"

#include "Catalog.h"
#include "LasExtraBytes.h"
#include "LasIO.h"
#include "RasterIO.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QTextStream>

#include <gdal.h>

#include <array>
#include <functional>

#include <algorithm>
#include <cmath>
#include <limits>
#include <memory>
#include <cstdio>
#include <cstring>

using VerdantaIO::PointCloud;

namespace CatalogRun {

namespace {

std::string local(const QString &path) { return QFile::encodeName(path).toStdString(); }
QString fromLocal(const std::string &s) { return QFile::decodeName(QByteArray::fromStdString(s)); }

constexpr float kNoData = -3.4028234663852886e38f;
// A file of which a region covers at least this part is scanned from start
// to end rather than read through its index (see readRegion).
constexpr double kScanFraction = 0.25;

// Whether v lies in [lo, hi), a side on or beyond the dataset's [blo, bhi]
// being open.
bool inSpan(double v, double lo, double hi, double blo, double bhi)
{
    return (lo <= blo || v >= lo) && (hi >= bhi || v < hi);
}

bool isCatalog(const QString &path) { return VerdantaIO::IsCatalogPath(local(path)); }

// The dataset a run works on: its files, bounds and a header to write
// working files with.
struct Dataset {
    std::vector<std::string> files;
    std::vector<VerdantaIO::CatalogFile> extents;
    Window bounds;
    std::string wkt;
    QString name;  // the base name the working input gets
    QString rasterParam;  // raster-input tools: the raster that sets the extent
    double pixelX = 0, pixelY = 0;
};

bool overlaps(const Window &a, const Window &b)
{
    return a.minX <= b.maxX && b.minX <= a.maxX && a.minY <= b.maxY && b.minY <= a.maxY;
}

// The rasters a raster-input tool reads (its Raster parameters with a value).
QStringList rasterParams(const Tool &tool, const ToolRequest &r)
{
    QStringList list;
    for (const ParamSpec &p : tool.spec.params)
        if (p.kind == ParamSpec::Raster && !r.values.value(p.option).trimmed().isEmpty())
            list << p.option;
    return list;
}

bool openDataset(const Tool &tool, const ToolRequest &r, Dataset &d, QString &error)
{
    if (!tool.spec.lasInputs) {
        const QStringList rasters = rasterParams(tool, r);
        if (rasters.isEmpty()) {
            error = "No raster to run on";
            return false;
        }
        d.rasterParam = rasters.first();
        VerdantaIO::CRasterIO raster;
        const QString path = r.values.value(d.rasterParam);
        if (!raster.LoadFile(local(path))) {
            error = fromLocal(raster.lastError());
            return false;
        }
        const auto &g = raster.geoTransform;
        d.bounds = {g[0], g[3] + raster.height * g[5], g[0] + raster.width * g[1], g[3], true};
        d.pixelX = g[1];
        d.pixelY = -g[5];
        d.wkt = raster.spatialReference;
        d.name = QFileInfo(path).completeBaseName();
        return true;
    }
    const QString input = r.inputs.first();
    d.name = QFileInfo(input).fileName().section('.', 0, 0);
    std::string why;
    if (isCatalog(input)) {
        VerdantaIO::Catalog catalog;
        if (!VerdantaIO::ReadCatalog(local(input), catalog, why)) {
            error = fromLocal(why);
            return false;
        }
        for (const auto &f : catalog.files) {
            d.files.push_back(f.path);
            d.extents.push_back(f);
        }
        d.bounds = {catalog.minX, catalog.minY, catalog.maxX, catalog.maxY, true};
        d.wkt = catalog.wkt;
        return true;
    }
    VerdantaIO::CLASIO las;
    if (!las.LoadFile(local(input))) {
        error = "Open LAS file failed! (" + input + ": " + fromLocal(las.lastError()) + ")";
        return false;
    }
    VerdantaIO::CatalogFile f;
    f.path = local(input);
    f.minX = las.header.minX; f.maxX = las.header.maxX;
    f.minY = las.header.minY; f.maxY = las.header.maxY;
    f.count = las.header.numberOfPointRecords;
    d.files.push_back(f.path);
    d.extents.push_back(f);
    d.bounds = {f.minX, f.minY, f.maxX, f.maxY, true};
    d.wkt = las.header.spatialReference.GetWKT();
    return true;
}

// Moves the header bounds of a written LAS file (X and Y; the fields at
// bytes 179 to 210 of the public header block, little-endian doubles).
bool setHeaderBounds(const std::string &path, const Window &b)
{
    FILE *f = std::fopen(path.c_str(), "r+b");
    if (!f)
        return false;
    const double values[4] = {b.maxX, b.minX, b.maxY, b.minY};
    unsigned char bytes[32];
    std::memcpy(bytes, values, sizeof bytes);
    const bool ok = std::fseek(f, 179, SEEK_SET) == 0 && std::fwrite(bytes, 1, sizeof bytes, f) == sizeof bytes;
    return std::fclose(f) == 0 && ok;
}

// Writes a raster of the window's cells on the dataset's grid, all no-data.
bool writeEmptyRaster(const QString &path, const Window &w, const Dataset &d, double cellX, double cellY)
{
    VerdantaIO::CRasterIO out;
    out.spatialReference = d.wkt;
    int cols = 1, rows = 1;
    double x0 = w.minX, y0 = w.maxY;
    if (cellX > 0 && cellY > 0) {
        // Columns whose centres lie in [minX, maxX), rows in [minY, maxY).
        const double c0 = std::ceil((w.minX - d.bounds.minX) / cellX - 0.5);
        const double c1 = std::ceil((w.maxX - d.bounds.minX) / cellX - 0.5);
        const double r0 = std::floor((d.bounds.maxY - w.maxY) / cellY - 0.5) + 1;
        const double r1 = std::floor((d.bounds.maxY - w.minY) / cellY - 0.5) + 1;
        cols = std::max(1, int(c1 - c0));
        rows = std::max(1, int(r1 - r0));
        x0 = d.bounds.minX + c0 * cellX;
        y0 = d.bounds.maxY - r0 * cellY;
    } else {
        cellX = std::max(w.maxX - w.minX, 1e-9);
        cellY = std::max(w.maxY - w.minY, 1e-9);
    }
    out.geoTransform = {{x0, cellX, 0.0, y0, 0.0, -cellY}};
    if (!out.Createfile(local(path), cols, rows, 1, GDT_Float32))
        return false;
    out.SetNoDataValue(kNoData);
    std::vector<float> row(size_t(cols), kNoData);
    bool ok = true;
    for (int r = 0; r < rows && ok; ++r)
        ok = out.WriteRasterBlock(1, 0, r, cols, 1, row.data());
    out.Close();
    return ok;
}

bool writeEmptyOutput(const QString &path, const Window &w, const Dataset &d, double cellX, double cellY,
                      QString &error)
{
    const QString ext = QFileInfo(path).suffix().toLower();
    if (ext == "las") {
        VerdantaIO::CLASIO las;
        if (d.files.empty() || !las.LoadFile(d.files.front())) {
            error = "no LAS file to take the header from";
            return false;
        }
        std::string why;
        if (!VerdantaIO::WriteLasFile(local(path), las.header, {}, &why)) {
            error = fromLocal(why);
            return false;
        }
        return true;
    }
    if (ext == "tif" || ext == "tiff") {
        if (writeEmptyRaster(path, w, d, cellX, cellY))
            return true;
        error = "the raster could not be written";
        return false;
    }
    QFile f(path);  // a table, or anything else: an empty file
    if (f.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return true;
    error = f.errorString();
    return false;
}

// Cuts a LAS output to the points the window owns.
bool cutLas(const QString &from, const QString &to, const Window &w, const Window &bounds, QString &error)
{
    VerdantaIO::CLASIO las;
    if (!las.LoadFile(local(from)) || !las.ReadData(nullptr)) {
        error = fromLocal(las.lastError());
        return false;
    }
    // Attributes in extra bytes (a tree number) go with their points.
    VerdantaIO::ExtraBytes extra;
    std::string why;
    if (!VerdantaIO::ReadExtraBytes(local(from), extra, &why)) {
        error = fromLocal(why);
        return false;
    }
    std::vector<PointCloud> kept;
    kept.reserve(las.points.size());
    std::vector<char> keep(las.points.size());
    for (size_t i = 0; i < las.points.size(); ++i)
        if ((keep[i] = owns(w, bounds, las.points[i].x, las.points[i].y)))
            kept.push_back(las.points[i]);
    las.points.clear();
    las.points.shrink_to_fit();
    const VerdantaIO::ExtraBytes keptExtra = VerdantaIO::SelectExtraBytes(extra, keep);
    if (!VerdantaIO::WriteLasFile(local(to), las.header, kept, &why, extra.size ? &keptExtra : nullptr)) {
        error = fromLocal(why);
        return false;
    }
    return true;
}

// Copies an output with the files that belong to it (a shapefile's .shx,
// .dbf, .prj and .cpg).
bool copyWhole(const QString &from, const QString &to, QString &error)
{
    QStringList suffixes{QString()};
    if (QFileInfo(from).suffix().toLower() == "shp")
        suffixes << ".shx" << ".dbf" << ".prj" << ".cpg";
    const QString fromBase = from.left(from.size() - QFileInfo(from).suffix().size() - 1);
    const QString toBase = to.left(to.size() - QFileInfo(to).suffix().size() - 1);
    for (const QString &suffix : suffixes) {
        const QString a = suffix.isEmpty() ? from : fromBase + suffix, b = suffix.isEmpty() ? to : toBase + suffix;
        if (!suffix.isEmpty() && !QFileInfo::exists(a))
            continue;
        QFile::remove(b);
        if (!QFile::copy(a, b)) {
            error = "cannot copy " + a + " to " + b;
            return false;
        }
    }
    return true;
}

// A raster's size and geotransform.
bool gridOf(const QString &path, int &width, int &height, std::array<double, 6> &g, QString &error)
{
    VerdantaIO::CRasterIO raster;
    if (!raster.LoadFile(local(path))) {
        error = fromLocal(raster.lastError());
        return false;
    }
    width = raster.width;
    height = raster.height;
    g = raster.geoTransform;
    return true;
}

// Copies a block of cells of a raster into a new GeoTIFF.
bool copyCells(const QString &from, const QString &to, int c0, int r0, int w, int h, QString &error)
{
    std::string why;
    if (VerdantaIO::TranslateRaster(local(from), local(to),
                                    {"-of", "GTiff", "-co", "TILED=YES", "-srcwin", std::to_string(c0),
                                     std::to_string(r0), std::to_string(w), std::to_string(h)},
                                    why))
        return true;
    error = fromLocal(why);
    return false;
}

// Cuts a raster output to the cells whose centres the window owns.
bool cutRaster(const QString &from, const QString &to, const Window &w, const Window &bounds, QString &error)
{
    int width = 0, height = 0;
    std::array<double, 6> g;
    if (!gridOf(from, width, height, g, error))
        return false;
    int c0 = width, c1 = -1, r0 = height, r1 = -1;
    for (int c = 0; c < width; ++c)
        if (inSpan(g[0] + (c + 0.5) * g[1], w.minX, w.maxX, bounds.minX, bounds.maxX)) {
            c0 = std::min(c0, c);
            c1 = c;
        }
    for (int r = 0; r < height; ++r)
        if (inSpan(g[3] + (r + 0.5) * g[5], w.minY, w.maxY, bounds.minY, bounds.maxY)) {
            r0 = std::min(r0, r);
            r1 = r;
        }
    if (c1 < c0 || r1 < r0)
        return false;  // the caller writes an empty output
    return copyCells(from, to, c0, r0, c1 - c0 + 1, r1 - r0 + 1, error);
}

// Cuts a table to the rows whose first two columns the window owns.
bool cutTable(const QString &from, const QString &to, const Window &w, const Window &bounds, QString &error)
{
    QFile in(from), out(to);
    if (!in.open(QIODevice::ReadOnly) || !out.open(QIODevice::WriteOnly | QIODevice::Truncate)) {
        error = "cannot copy " + from + " to " + to;
        return false;
    }
    bool first = true;
    while (!in.atEnd()) {
        const QByteArray line = in.readLine();
        if (first) {
            out.write(line);
            first = false;
            continue;
        }
        const QList<QByteArray> fields = line.split(',');
        bool okX = false, okY = false;
        const double x = fields.value(0).trimmed().toDouble(&okX), y = fields.value(1).trimmed().toDouble(&okY);
        if (okX && okY && owns(w, bounds, x, y))
            out.write(line);
    }
    return out.flush();
}

// Cuts a raster input to the region, on its own grid.
bool cutRasterInput(const QString &from, const QString &to, const Window &region, QString &error)
{
    int width = 0, height = 0;
    std::array<double, 6> g;
    if (!gridOf(from, width, height, g, error))
        return false;
    const int c0 = std::clamp(int(std::floor((region.minX - g[0]) / g[1])), 0, width - 1);
    const int c1 = std::clamp(int(std::ceil((region.maxX - g[0]) / g[1])), c0 + 1, width);
    const int r0 = std::clamp(int(std::floor((region.maxY - g[3]) / g[5])), 0, height - 1);
    const int r1 = std::clamp(int(std::ceil((region.minY - g[3]) / g[5])), r0 + 1, height);
    return copyCells(from, to, c0, r0, c1 - c0, r1 - r0, error);
}

// The part of a file's extent that the region covers (0 to 1).
double coverage(const VerdantaIO::CatalogFile &extent, const Window &region)
{
    const double area = std::max(1e-9, (extent.maxX - extent.minX) * (extent.maxY - extent.minY));
    const double covered = std::max(0.0, std::min(extent.maxX, region.maxX) - std::max(extent.minX, region.minX)) *
                           std::max(0.0, std::min(extent.maxY, region.maxY) - std::max(extent.minY, region.minY));
    return std::min(1.0, covered / area);
}

// Hands `visit` the points of one file of the dataset that lie in the
// region (bounds inclusive). A file of which the region covers a good part
// is read from start to end in file order, streaming through it; one of
// which the region takes a small part is read through its spatial index,
// cell by cell. The index touches only the records it needs, but in an
// order that jumps about the file: past about a quarter of the file nearly
// every page of it is touched anyway, and the sequential scan is faster.
bool readRegion(const std::string &path, const VerdantaIO::CatalogFile &extent, const Window &region,
                const std::function<void(const PointCloud &)> &visit)
{
    std::vector<PointCloud> chunk;
    if (coverage(extent, region) < kScanFraction) {
        if (!VerdantaIO::ReadData(path, region.minX, region.maxX, region.minY, region.maxY, chunk))
            return false;
        for (const PointCloud &p : chunk)
            visit(p);
        return true;
    }
    VerdantaIO::CLASIO las;
    if (!las.LoadFile(path))
        return false;
    constexpr uint64_t kChunk = 1u << 16;  // 4 MB of decoded points, reused
    const uint64_t count = las.header.numberOfPointRecords;
    for (uint64_t start = 0; start < count; start += kChunk) {
        if (!las.ReadData(start, kChunk, chunk))
            return false;
        for (const PointCloud &p : chunk)
            if (p.x >= region.minX && p.x <= region.maxX && p.y >= region.minY && p.y <= region.maxY)
                visit(p);
    }
    return true;
}

double valueOf(const ToolRequest &r, const QString &option)
{
    return option.isEmpty() ? 0.0 : r.values.value(option).toDouble();
}

}  // namespace

bool parseWindow(const QString &text, Window &w, QString &error)
{
    const QStringList parts = text.split(',');
    bool ok = parts.size() == 4;
    double v[4] = {0, 0, 0, 0};
    for (int i = 0; ok && i < 4; ++i) {
        v[i] = parts[i].trimmed().toDouble(&ok);
        ok = ok && std::isfinite(v[i]);
    }
    if (!ok || !(v[0] < v[2]) || !(v[1] < v[3])) {
        error = "--window takes xmin,ymin,xmax,ymax with xmin < xmax and ymin < ymax (" + text + ")";
        return false;
    }
    w = {v[0], v[1], v[2], v[3], true};
    return true;
}

QString windowText(const Window &w)
{
    auto n = [](double v) { return QString::number(v, 'g', 15); };
    return n(w.minX) + "," + n(w.minY) + "," + n(w.maxX) + "," + n(w.maxY);
}

bool applies(const Tool &tool, const ToolRequest &request, const Window &window)
{
    if (window.set)
        return true;
    if (!tool.spec.lasInputs)
        return false;
    for (const QString &in : request.inputs)
        if (isCatalog(in))
            return true;
    return false;
}

QString checkInputs(const Tool &tool, const ToolRequest &request, const Window &window)
{
    if (!applies(tool, request, window) || !tool.spec.lasInputs)
        return QString();
    if (window.set && !tool.spec.tiles.untileable.isEmpty())
        return tool.spec.title + " cannot run on a window: " + tool.spec.tiles.untileable;
    if (request.inputs.size() > 1)
        return window.set ? "--window takes one input: a catalogue (.vpc) or one LAS file."
                          : "A catalogue (.vpc) stands for a whole dataset: give it as the only input.";
    return QString();
}

ToolOutcome dispatch(const Tool &tool, const ToolRequest &request, const QStringList &outputs,
                     CProcessBase *progress, const Window &window)
{
    return applies(tool, request, window) ? run(tool, request, outputs, progress, window)
                                          : tool.run(request, outputs, progress);
}

bool owns(const Window &w, const Window &b, double x, double y)
{
    return inSpan(x, w.minX, w.maxX, b.minX, b.maxX) && inSpan(y, w.minY, w.maxY, b.minY, b.maxY);
}

uint64_t apexId(double x, double y)
{
    auto spread = [](uint64_t v) {
        v &= 0xffffffffULL;
        v = (v | (v << 16)) & 0x0000ffff0000ffffULL;
        v = (v | (v << 8)) & 0x00ff00ff00ff00ffULL;
        v = (v | (v << 4)) & 0x0f0f0f0f0f0f0f0fULL;
        v = (v | (v << 2)) & 0x3333333333333333ULL;
        v = (v | (v << 1)) & 0x5555555555555555ULL;
        return v;
    };
    // Centimetres, offset so that negative coordinates stay distinct.
    const auto cm = [](double v) { return uint64_t(int64_t(std::llround(v * 100.0)) + (int64_t(1) << 31)); };
    return spread(cm(x)) | (spread(cm(y)) << 1);
}

ToolOutcome run(const Tool &tool, const ToolRequest &request, const QStringList &outputs, CProcessBase *progress,
                const Window &window)
{
    ToolOutcome outcome;
    const TileRule &rule = tool.spec.tiles;
    Dataset d;
    QString error;
    if (!openDataset(tool, request, d, error)) {
        outcome.warn(error);
        return outcome;
    }
    const Window w = window.set ? window : d.bounds;
    // The grid the product lies on, and the fixed blocks the algorithm
    // works in.
    double cellX = valueOf(request, rule.cellOption);
    double cellY = rule.cellOptionY.isEmpty() ? cellX : valueOf(request, rule.cellOptionY);
    if (!tool.spec.lasInputs) {
        cellX = d.pixelX;
        cellY = d.pixelY;
    }
    const int cells = std::max(1, rule.blockCells);
    const double gridX = cellX > 0 ? cellX * cells : rule.blockSize;
    const double gridY = cellY > 0 ? cellY * cells : rule.blockSize;
    const double buffer = rule.bufferFor(request.values, std::max(cellX, cellY));
    const QString outFolder = QFileInfo(outputs.value(0, request.output)).absolutePath();

    auto writeEmpty = [&](const QString &why) {
        for (const QString &o : outputs) {
            QString e;
            if (!writeEmptyOutput(o, w, d, cellX, cellY, e)) {
                outcome.warn(tool.spec.title + ": " + o + " was not written: " + e);
                return outcome;
            }
            outcome.results << o;
        }
        outcome.notes << "The window " + windowText(w) + " " + why + "; the output is empty.";
        outcome.completed = true;
        return outcome;
    };
    // A window that only touches the dataset's east or north bound owns
    // nothing: its neighbour's open side owns what lies on that bound.
    if (!overlaps(w, d.bounds) || w.minX >= d.bounds.maxX || w.minY >= d.bounds.maxY)
        return writeEmpty("lies outside the dataset (" + windowText(d.bounds) + ")");

    // The region read: the window within the dataset, and the buffer.
    Window region{std::max(w.minX, d.bounds.minX) - buffer, std::max(w.minY, d.bounds.minY) - buffer,
                  std::min(w.maxX, d.bounds.maxX) + buffer, std::min(w.maxY, d.bounds.maxY) + buffer, true};
    region.minX = std::max(region.minX, d.bounds.minX);
    region.minY = std::max(region.minY, d.bounds.minY);
    region.maxX = std::min(region.maxX, d.bounds.maxX);
    region.maxY = std::min(region.maxY, d.bounds.maxY);

    QTemporaryDir work(QDir(outFolder).filePath(".verdanta-window-XXXXXX"));
    if (!work.isValid()) {
        outcome.warn("Cannot create a working folder in " + outFolder);
        return outcome;
    }
    ToolRequest inner = request;
    if (tool.spec.lasInputs) {
        // The header's bounds go out to the grid lines of the dataset: the
        // west side and the south side from the dataset's south-west
        // corner, the north side from its north-west corner (grids start at
        // either), each side at the dataset's own bound where the region
        // reaches it.
        Window header = region;
        if (gridX > 0 && region.minX > d.bounds.minX)
            header.minX = d.bounds.minX + std::floor((region.minX - d.bounds.minX) / gridX) * gridX;
        if (gridX > 0 && region.maxX < d.bounds.maxX)
            header.maxX = std::min(d.bounds.maxX,
                                   d.bounds.minX + std::ceil((region.maxX - d.bounds.minX) / gridX) * gridX);
        if (gridY > 0 && region.minY > d.bounds.minY)
            header.minY = d.bounds.minY + std::floor((region.minY - d.bounds.minY) / gridY) * gridY;
        if (gridY > 0 && region.maxY < d.bounds.maxY)
            header.maxY = d.bounds.maxY - std::floor((d.bounds.maxY - region.maxY) / gridY) * gridY;
        // The points keep the format, scale, offset and records of the
        // dataset's first file. They are copied file by file, so that a run
        // over a whole catalogue holds one file's points at a time.
        VerdantaIO::CLASIO first;
        if (!first.LoadFile(d.files.front())) {
            outcome.warn("Open LAS file failed!", fromLocal(d.files.front()) + ": " + fromLocal(first.lastError()));
            return outcome;
        }
        // The working input keeps the format of the output when that is a
        // compressed LAS, so a tool that writes as it reads stays in it.
        const bool laz = !outputs.isEmpty() && VerdantaIO::IsLazPath(local(outputs.first()));
        // It lies in a folder of its own, so that no output (named as the
        // final one) can take its name.
        const QString input = work.filePath("input/" + d.name + (laz ? ".laz" : ".las"));
        if (!rule.readsPoints)
            QDir(work.path()).mkpath("input");
        auto held = std::make_shared<WindowPoints>();
        VerdantaIO::PointHeader written = first.header;
        bool started = false;
        uint64_t owned = 0;
        std::vector<PointCloud> points;
        if (rule.readsPoints) {
            // Room for the points expected (address space only: pages are
            // taken as the points arrive), so the vector never moves.
            double expected = 0;
            for (const auto &e : d.extents)
                expected += double(e.count) * std::min(1.0, coverage(e, region) * 1.1 + 0.01);
            held->points.reserve(size_t(expected) + 1024);
        }
        std::vector<PointCloud> &into = rule.readsPoints ? held->points : points;
        auto visit = [&](const PointCloud &p) {
            const bool own = owns(w, d.bounds, p.x, p.y);
            owned += own;
            if ((own || !rule.perPoint) && (!rule.keeps || rule.keeps(p)))
                into.push_back(p);
        };
        for (size_t i = 0; i < d.files.size(); ++i) {
            const auto &e = d.extents[i];
            if (!overlaps(region, Window{e.minX, e.minY, e.maxX, e.maxY, true}))
                continue;
            if (!readRegion(d.files[i], e, region, visit)) {
                outcome.warn("Open LAS file failed!", fromLocal(d.files[i]) + ": " + fromLocal(VerdantaIO::LastError()));
                return outcome;
            }
            VerdantaIO::SpatialIndex::releasePages(d.files[i]);
            if (rule.readsPoints)
                continue;
            std::string why;
            const bool ok = started ? VerdantaIO::AppendLas(local(input), written, points)
                                    : VerdantaIO::WriteLasFile(local(input), written, points, &why);
            started = true;
            points.clear();
            if (!ok) {
                outcome.warn("Write LAS file failed!", input + (why.empty() ? QString() : ": " + fromLocal(why)));
                return outcome;
            }
        }
        if (owned == 0)
            return writeEmpty("holds no point of the dataset");
        if (rule.readsPoints) {
            // The header a working file would have: counts of the points,
            // bounds on the dataset's grid.
            held->header = first.header;
            VerdantaIO::PointHeader &h = held->header;
            h.numberOfPointRecords = held->points.size();
            double minZ = std::numeric_limits<double>::max(), maxZ = std::numeric_limits<double>::lowest();
            for (const PointCloud &p : held->points) {
                minZ = std::min(minZ, p.z);
                maxZ = std::max(maxZ, p.z);
            }
            h.minX = header.minX; h.maxX = header.maxX; h.minY = header.minY; h.maxY = header.maxY;
            h.minZ = minZ; h.maxZ = maxZ;
            inner.points = held;
            inner.inputs = QStringList{request.inputs.first()};
        } else if (!setHeaderBounds(local(input), header)) {
            outcome.warn("Write LAS file failed!", input);
            return outcome;
        } else {
            inner.inputs = QStringList{input};
        }
    } else {
        for (const QString &option : rasterParams(tool, request)) {
            const QString cut = work.filePath(option + "_" + QFileInfo(request.values.value(option)).fileName());
            if (!cutRasterInput(request.values.value(option), cut, region, error)) {
                outcome.warn(error);
                return outcome;
            }
            inner.values[option] = cut;
        }
    }
    // The tool writes into the working folder; its outputs are then cut.
    QStringList innerOutputs;
    for (const QString &o : outputs)
        innerOutputs << work.filePath(QFileInfo(o).fileName());
    inner.output = request.output.endsWith('/') ? work.path() + "/" : work.filePath(QFileInfo(request.output).fileName());
    ToolOutcome result = tool.run(inner, innerOutputs, progress);
    auto relabel = [&](QString text) {
        for (int i = 0; i < innerOutputs.size(); ++i)
            text.replace(innerOutputs[i], outputs[i]);
        if (!inner.inputs.isEmpty() && !request.inputs.isEmpty())
            text.replace(inner.inputs.first(), request.inputs.first());
        return text.replace(work.path(), outFolder);
    };
    for (const QString &n : result.notes)
        outcome.notes << relabel(n);
    for (int i = 0; i < result.warnings.size(); ++i)
        outcome.warn(relabel(result.warnings[i]), relabel(result.details.value(i)));
    const QStringList all = result.results + result.besides;
    for (int n = 0; n < all.size(); ++n) {
        const QString &written = all[n];
        QStringList &listed = n < result.results.size() ? outcome.results : outcome.besides;
        const int k = innerOutputs.indexOf(written);
        const QString target = k >= 0 ? outputs[k] : relabel(written);
        const QString ext = QFileInfo(written).suffix().toLower();
        bool ok = true;
        bool cut = true;
        if (rule.perPoint)
            ok = copyWhole(written, target, error);
        else if (ext == "las" || ext == "laz")
            ok = cutLas(written, target, w, d.bounds, error);
        else if (ext == "tif" || ext == "tiff")
            cut = ok = cutRaster(written, target, w, d.bounds, error);
        else if (ext == "csv" || ext == "txt")
            ok = cutTable(written, target, w, d.bounds, error);
        else
            ok = copyWhole(written, target, error);
        if (!ok && !cut && error.isEmpty()) {
            // No cell of the raster lies in the window.
            ok = writeEmptyOutput(target, w, d, cellX, cellY, error);
        }
        if (!ok) {
            outcome.warn(tool.spec.title + ": " + target + " was not written: " + error);
            continue;
        }
        listed << target;
    }
    outcome.completed = result.completed;
    return outcome;
}

}  // namespace CatalogRun
