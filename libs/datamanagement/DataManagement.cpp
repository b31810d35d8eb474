#include "DataManagement.h"

#include "GridExtent.h"
#include "LasIO.h"
#include "RasterIO.h"

#include <nanoflann.hpp>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <limits>
#include <map>

using namespace VerdantaIO;

namespace {

bool stepOk(CProcessBase *progress) { return !progress || progress->StepIt(); }

int32_t chunkCount(uint64_t points) { return static_cast<int32_t>((points + C_DataManagement::kChunk - 1) / C_DataManagement::kChunk); }

void stampToday(PointHeader &h, const char *software)
{
    const std::time_t now = std::time(nullptr);
    std::tm t{};
#ifdef _WIN32
    gmtime_s(&t, &now);
#else
    gmtime_r(&now, &t);
#endif
    h.creationDay = static_cast<uint16_t>(t.tm_yday + 1);
    h.creationYear = static_cast<uint16_t>(t.tm_year + 1900);
    h.generatingSoftware = software;
}

std::string baseName(const std::string &path)
{
    // The file name up to its first dot.
    const std::string name = std::filesystem::path(path).filename().string();
    return name.substr(0, name.find('.'));
}

// Picks an offset on the grid of the first input's offset, near the middle
// of the joint extent, so that quantised coordinates stay within 32 bits.
bool chooseOffset(double scale, double firstOffset, double lo, double hi, double &offset)
{
    const double mid = 0.5 * (lo + hi);
    offset = firstOffset + std::round((mid - firstOffset) / scale) * scale;
    const double a = (lo - offset) / scale, b = (hi - offset) / scale;
    return a >= -2147483647.0 && b <= 2147483647.0;
}

// How a chunked pass over a file ended.
enum class Pass { Done, ReadFailed, WriteFailed, Cancelled };

// Reads a file chunk by chunk and hands each chunk to `visit`, which writes
// it somewhere (false: the write failed); one progress step per chunk.
template <typename Visit>
Pass forEachChunk(CLASIO &las, CProcessBase *progress, std::string &error, const Visit &visit)
{
    std::vector<PointCloud> chunk;
    for (uint64_t start = 0; start < las.header.numberOfPointRecords; start += C_DataManagement::kChunk) {
        if (!las.ReadData(start, C_DataManagement::kChunk, chunk)) {
            error = las.lastError();
            return Pass::ReadFailed;
        }
        if (!visit(chunk))
            return Pass::WriteFailed;
        if (!stepOk(progress))
            return Pass::Cancelled;
    }
    return Pass::Done;
}

}  // namespace

// ---- merge ------------------------------------------------------------------

float C_DataManagement::LasMerge(const std::vector<std::string> &inputs, const std::string &output,
                                 CProcessBase *progress)
{
    if (inputs.empty()) {
        error_ = "No input file";
        return kMergeOpenFailed;
    }
    std::vector<PointHeader> headers;
    bool time = false, rgb = false, nir = false, extended = false;
    uint64_t total = 0;
    double lo[3] = {std::numeric_limits<double>::max(), std::numeric_limits<double>::max(),
                    std::numeric_limits<double>::max()};
    double hi[3] = {-lo[0], -lo[1], -lo[2]};
    double scale[3] = {lo[0], lo[1], lo[2]};
    for (const std::string &path : inputs) {
        CLASIO las;
        if (!las.LoadFile(path)) {
            error_ = las.lastError();
            return kMergeOpenFailed;
        }
        const PointHeader &h = las.header;
        const int f = h.pointDataFormat;
        time = time || (f != 0 && f != 2);
        rgb = rgb || f == 2 || f == 3 || f == 5 || f == 7 || f == 8 || f == 10;
        nir = nir || f == 8 || f == 10;
        extended = extended || f >= 6;
        total += h.numberOfPointRecords;
        // The offsets are chosen for the points' own bounds: a header's may be
        // NaN or far off, and the output's bounds are recomputed anyway.
        LASExtent e;
        if (las.PointExtent(e)) {
            const double mins[3] = {e.minX, e.minY, e.minZ}, maxs[3] = {e.maxX, e.maxY, e.maxZ};
            for (int k = 0; k < 3; ++k) {
                lo[k] = std::min(lo[k], mins[k]);
                hi[k] = std::max(hi[k], maxs[k]);
            }
        }
        const double scales[3] = {h.scaleX, h.scaleY, h.scaleZ};
        for (int k = 0; k < 3; ++k)
            scale[k] = std::min(scale[k], std::fabs(scales[k]));
        headers.push_back(h);
    }
    PointHeader out = headers.front();
    out.versionMajor = 1;
    if (extended) {
        out.versionMinor = 4;
        out.pointDataFormat = static_cast<uint8_t>(nir ? 8 : rgb ? 7 : 6);
    } else {
        out.versionMinor = 2;
        out.pointDataFormat = static_cast<uint8_t>(rgb ? (time ? 3 : 2) : (time ? 1 : 0));
    }
    stampToday(out, "Verdanta LasMerge");
    if (total == 0)
        for (int k = 0; k < 3; ++k)
            lo[k] = hi[k] = 0.0;
    const double firstOffsets[3] = {headers[0].offsetX, headers[0].offsetY, headers[0].offsetZ};
    double offset[3];
    for (int k = 0; k < 3; ++k)
        if (!chooseOffset(scale[k], firstOffsets[k], lo[k], hi[k], offset[k])) {
            error_ = "The joint extent is too large for the finest scale of the inputs";
            return kMergeCreateFailed;
        }
    out.scaleX = scale[0];
    out.scaleY = scale[1];
    out.scaleZ = scale[2];
    out.offsetX = offset[0];
    out.offsetY = offset[1];
    out.offsetZ = offset[2];

    if (!WriteLasFile(output, out, {}, &error_))
        return kMergeCreateFailed;
    int32_t steps = 0;
    for (const PointHeader &h : headers)
        steps += chunkCount(h.numberOfPointRecords);
    if (progress)
        progress->SetStepCount(std::max(1, steps));
    for (const std::string &path : inputs) {
        CLASIO las;
        if (!las.LoadFile(path)) {
            error_ = las.lastError();
            return kMergeOpenFailed;
        }
        const Pass pass = forEachChunk(las, progress, error_, [&](std::vector<PointCloud> &chunk) {
            if (AppendLas(output, out, chunk))
                return true;
            error_ = LastError();
            return false;
        });
        if (pass == Pass::ReadFailed)
            return kMergeOpenFailed;
        if (pass == Pass::WriteFailed)
            return kMergeCreateFailed;
        if (pass == Pass::Cancelled)
            return kMergeCancelled;
    }
    return kMergeDone;
}

// ---- tiles ------------------------------------------------------------------

bool C_DataManagement::LasTile(const std::string &input, const std::string &folder, double width, double height,
                               CProcessBase *progress, std::vector<std::string> &tiles)
{
    tiles.clear();
    error_.clear();  // a false return with no error means cancelled
    if (!(width > 0) || !(height > 0)) {
        error_ = "The tile size must be greater than 0";
        return false;
    }
    CLASIO las;
    if (!las.LoadFile(input)) {
        error_ = las.lastError();
        return false;
    }
    if (las.header.numberOfPointRecords == 0) {
        error_ = "The file holds no points";
        return false;
    }
    std::error_code ec;
    std::filesystem::create_directories(std::filesystem::path(folder), ec);
    const std::string base = baseName(input);
    const std::string extension = IsLazPath(input) ? ".laz" : ".las";
    PointHeader header = las.header;
    stampToday(header, "Verdanta LasTile");
    std::map<std::pair<int64_t, int64_t>, std::string> names;
    std::map<std::pair<int64_t, int64_t>, std::vector<PointCloud>> buckets;
    auto corner = [](double v) {
        char text[64];
        std::snprintf(text, sizeof text, "%.10g", v);
        return std::string(text);
    };
    const uint64_t n = las.header.numberOfPointRecords;
    if (progress)
        progress->SetStepCount(std::max(1, chunkCount(n)));
    const Pass pass = forEachChunk(las, progress, error_, [&](std::vector<PointCloud> &chunk) {
        for (auto &b : buckets)
            b.second.clear();
        for (const PointCloud &p : chunk) {
            const std::pair<int64_t, int64_t> key(static_cast<int64_t>(std::floor(p.x / width)),
                                                  static_cast<int64_t>(std::floor(p.y / height)));
            buckets[key].push_back(p);
        }
        for (auto &b : buckets) {
            if (b.second.empty())
                continue;
            auto named = names.find(b.first);
            if (named == names.end()) {
                const std::string path = (std::filesystem::path(folder) /
                                          (base + "_" + corner(b.first.first * width) + "_" +
                                           corner(b.first.second * height) + extension))
                                             .string();
                PointHeader fresh = header;
                if (!WriteLasFile(path, fresh, {}, &error_))
                    return false;
                named = names.emplace(b.first, path).first;
                tiles.push_back(path);
            }
            if (!AppendLas(named->second, header, b.second)) {
                error_ = LastError();
                return false;
            }
        }
        return true;
    });
    if (pass == Pass::Cancelled)
        error_.clear();
    return pass == Pass::Done;
}

// ---- height normalisation -------------------------------------------------------

namespace {

// Valid DEM cells as points for nanoflann.
struct CellCloud {
    std::vector<std::array<double, 2>> pts;
    size_t kdtree_get_point_count() const { return pts.size(); }
    double kdtree_get_pt(size_t i, size_t d) const { return pts[i][d]; }
    template <class B> bool kdtree_get_bbox(B &) const { return false; }
};

bool validSample(float v, bool hasNoData, double noData)
{
    if (!std::isfinite(v) || v <= -3.4028234663852886e38 || v >= 3.4028234663852886e38)
        return false;
    return !(hasNoData && v == static_cast<float>(noData));
}

}  // namespace

float C_DataManagement::LasheighNormalization(const std::string &lasPath, const std::string &demPath,
                                              const std::string &output, CProcessBase *progress)
{
    CRasterIO dem;
    if (!dem.LoadFile(demPath) || !dem.hasGeoTransform || dem.geoTransform[1] == 0 || dem.geoTransform[5] == 0) {
        error_ = "The DEM cannot be read";
        return kNormDemFailed;
    }
    const int w = dem.width, h = dem.height;
    std::vector<float> z(static_cast<size_t>(w) * h);
    if (!dem.GetRasterGrayBlock(1, 0, 0, w, h, z.data())) {
        error_ = "The DEM cannot be read";
        return kNormDemFailed;
    }
    // No-data cells take the value of the nearest valid cell.
    CellCloud valid;
    std::vector<size_t> holes;
    for (int r = 0; r < h; ++r)
        for (int c = 0; c < w; ++c) {
            const size_t i = static_cast<size_t>(r) * w + c;
            if (validSample(z[i], dem.hasNoData, dem.noDataValue))
                valid.pts.push_back({double(c), double(r)});
            else
                holes.push_back(i);
        }
    if (valid.pts.empty()) {
        error_ = "The DEM holds no valid cell";
        return kNormDemFailed;
    }
    if (!holes.empty()) {
        using Tree = nanoflann::KDTreeSingleIndexAdaptor<nanoflann::L2_Simple_Adaptor<double, CellCloud>, CellCloud, 2>;
        Tree tree(2, valid, nanoflann::KDTreeSingleIndexAdaptorParams(16));
        tree.buildIndex();
        for (size_t i : holes) {
            const double q[2] = {double(i % w), double(i / w)};
            unsigned int nearest = 0;
            double d2 = 0;
            tree.knnSearch(q, 1, &nearest, &d2);
            const auto &p = valid.pts[nearest];
            z[i] = z[static_cast<size_t>(p[1]) * w + static_cast<size_t>(p[0])];
        }
    }

    CLASIO las;
    if (!las.LoadFile(lasPath)) {
        error_ = las.lastError();
        return kNormLasFailed;
    }
    const auto &g = dem.geoTransform;
    const double demX0 = std::min(g[0], g[0] + w * g[1]), demX1 = std::max(g[0], g[0] + w * g[1]);
    const double demY0 = std::min(g[3], g[3] + h * g[5]), demY1 = std::max(g[3], g[3] + h * g[5]);
    const PointHeader &lh = las.header;
    // Whether the points lie on the DEM: by their own bounds, which a
    // header may misstate.
    LASExtent e;
    if (!las.PointExtent(e)) {
        e.minX = lh.minX; e.maxX = lh.maxX; e.minY = lh.minY; e.maxY = lh.maxY;
    }
    if (e.maxX < demX0 || e.minX > demX1 || e.maxY < demY0 || e.minY > demY1) {
        error_ = "The LAS file does not lie on the DEM";
        return kNormOutsideDem;
    }
    // Bilinear between the four cell centres around (x, y), clamped at the edges.
    auto ground = [&](double x, double y) {
        double u = (x - g[0]) / g[1] - 0.5, v = (y - g[3]) / g[5] - 0.5;
        u = std::clamp(u, 0.0, double(w - 1));
        v = std::clamp(v, 0.0, double(h - 1));
        const int c0 = std::min(static_cast<int>(u), w - 1), r0 = std::min(static_cast<int>(v), h - 1);
        const int c1 = std::min(c0 + 1, w - 1), r1 = std::min(r0 + 1, h - 1);
        const double fu = u - c0, fv = v - r0;
        auto at = [&](int r, int c) { return double(z[static_cast<size_t>(r) * w + c]); };
        return (at(r0, c0) * (1 - fu) + at(r0, c1) * fu) * (1 - fv) + (at(r1, c0) * (1 - fu) + at(r1, c1) * fu) * fv;
    };
    PointHeader out = lh;
    stampToday(out, "Verdanta LasNormalization");
    if (!WriteLasFile(output, out, {}, &error_))
        return kNormWriteFailed;
    const uint64_t n = lh.numberOfPointRecords;
    if (progress)
        progress->SetStepCount(std::max(1, chunkCount(n)));
    const Pass pass = forEachChunk(las, progress, error_, [&](std::vector<PointCloud> &chunk) {
        for (PointCloud &p : chunk)
            p.z -= ground(p.x, p.y);
        if (AppendLas(output, out, chunk))
            return true;
        error_ = LastError();
        return false;
    });
    if (pass == Pass::ReadFailed)
        return kNormLasFailed;
    if (pass == Pass::WriteFailed)
        return kNormWriteFailed;
    if (pass == Pass::Cancelled)
        return kNormCancelled;
    return kNormDone;
}

// ---- canopy height model -----------------------------------------------------

int C_DataManagement::MakeCHM(const std::string &demPath, std::vector<std::string> &dsms, const std::string &output,
                              CProcessBase *progress)
{
    CRasterIO dem, dsm;
    if (!dem.LoadFile(demPath)) {
        error_ = dem.lastError();
        return kChmDemFailed;
    }
    if (dsms.empty() || !dsm.LoadFile(dsms.front())) {
        error_ = dsm.lastError();
        return kChmDsmFailed;
    }
    const int w = dsm.width, h = dsm.height;
    if (dem.width != w || dem.height != h || std::abs(dem.geoTransform[1] - dsm.geoTransform[1]) > 1e-9 ||
        std::abs(dem.geoTransform[5] - dsm.geoTransform[5]) > 1e-9) {
        error_ = "The DSM and the DEM differ in size or resolution";
        return kChmMismatch;
    }
    CRasterIO out;
    out.geoTransform = dsm.geoTransform;
    out.spatialReference = dsm.spatialReference;
    if (!out.Createfile(output, w, h, 1, 6 /* GDT_Float32 */) || !out.SetNoDataValue(kNoData)) {
        error_ = out.lastError();
        return kChmCreateFailed;
    }
    auto valid = [](float v, const CRasterIO &r) {
        if (!std::isfinite(v) || v <= kNoData || v >= -kNoData)
            return false;
        return !(r.hasNoData && v == static_cast<float>(r.noDataValue));
    };
    std::vector<float> a(w), b(w), c(w);
    const int steps = std::max(1, h / 10);
    if (progress)
        progress->SetStepCount(steps);
    for (int r = 0; r < h; ++r) {
        if (!dsm.GetRasterGrayBlock(1, 0, r, w, 1, a.data()) || !dem.GetRasterGrayBlock(1, 0, r, w, 1, b.data())) {
            error_ = "A row could not be read";
            return kChmDsmFailed;
        }
        for (int i = 0; i < w; ++i)
            c[i] = valid(a[i], dsm) && valid(b[i], dem) ? std::max(0.0f, a[i] - b[i]) : kNoData;
        if (!out.WriteRasterBlock(1, 0, r, w, 1, c.data())) {
            error_ = "The CHM could not be written";
            return kChmCreateFailed;
        }
        if ((r + 1) % 10 == 0 && !stepOk(progress)) {
            out.Close();
            std::error_code ec;
            std::filesystem::remove(std::filesystem::path(output), ec);
            return kChmCancelled;
        }
    }
    return kChmDone;
}

// ---- LAS to raster ---------------------------------------------------------------

int C_DataManagement::LasRastersize(bool, std::vector<std::string> &paths, const std::string &output, double xSize,
                                    double ySize, int attribute, CProcessBase *progress)
{
    if (paths.empty() || !(xSize > 0) || !(ySize > 0) || attribute < 0 || attribute > 4) {
        error_ = "Invalid arguments";
        return kRasterDataError;
    }
    notes_.clear();
    // The extent: each file's header bounds where they fit its points, else
    // its points' bounds (from a scan of the stored coordinates, which does
    // not decode the records).
    GridExtent::Bounds extent;
    uint64_t total = 0;
    std::string reference;
    for (size_t i = 0; i < paths.size(); ++i) {
        CLASIO las;
        if (!las.LoadFile(paths[i])) {
            error_ = las.lastError();
            return static_cast<int>(i + 1);
        }
        const PointHeader &h = las.header;
        if (i == 0)
            reference = h.spatialReference.GetWKT();
        total += h.numberOfPointRecords;
        LASExtent e;
        if (!las.PointExtent(e))
            continue;  // no point: the file adds nothing to the grid
        std::string note;
        extent.add(GridExtent::choose(paths[i], GridExtent::of(h), GridExtent::of(e), xSize, ySize, note));
        if (!note.empty())
            notes_.push_back(note);
    }
    if (total == 0 || extent.empty) {
        error_ = "The LAS files hold no points";
        return kRasterDataError;
    }
    const double minX = extent.minX, maxY = extent.maxY;
    double colsD = 0, rowsD = 0;
    GridExtent::gridSize(extent, xSize, ySize, colsD, rowsD);
    // A value and a count per cell in memory, and the Float32 raster.
    if (!GridExtent::fits(colsD, rowsD, sizeof(double) + sizeof(uint32_t) + sizeof(float), error_))
        return kRasterTooLarge;
    const int cols = static_cast<int>(colsD), rows = static_cast<int>(rowsD);
    const size_t cells = static_cast<size_t>(cols) * rows;
    std::vector<double> value;
    std::vector<uint32_t> count;
    try {
        value.assign(cells, 0.0);
        count.assign(cells, 0);
    } catch (const std::bad_alloc &) {
        error_ = "Not enough memory for a grid of " + std::to_string(cols) + " columns x " + std::to_string(rows) +
                 " rows";
        return kRasterTooLarge;
    }
    CRasterIO out;
    out.geoTransform = {{minX, xSize, 0.0, maxY, 0.0, -ySize}};
    out.spatialReference = reference;
    if (!out.Createfile(output, cols, rows, 1, 6 /* GDT_Float32 */) || !out.SetNoDataValue(kNoData)) {
        error_ = out.lastError();
        return kRasterCreateFailed;
    }
    if (progress)
        progress->SetStepCount(std::max(1, chunkCount(total)));
    for (size_t i = 0; i < paths.size(); ++i) {
        CLASIO las;
        if (!las.LoadFile(paths[i]))
            return static_cast<int>(i + 1);
        const Pass pass = forEachChunk(las, progress, error_, [&](std::vector<PointCloud> &chunk) {
            for (const PointCloud &p : chunk) {
                const int c = std::clamp(static_cast<int>((p.x - minX) / xSize), 0, cols - 1);
                const int r = std::clamp(static_cast<int>((maxY - p.y) / ySize), 0, rows - 1);
                const size_t k = static_cast<size_t>(r) * cols + c;
                double v = 0;
                switch (attribute) {
                case Z: v = p.z; break;
                case Intensity: v = p.intensity; break;
                case ScanAngle: v = std::abs(p.scanAngleDegrees()); break;
                case ReturnNumber: v = p.returnNumber; break;
                case NumberOfReturns: v = p.numberOfReturns; break;
                }
                const bool mean = attribute == Intensity || attribute == ScanAngle;
                if (count[k] == 0)
                    value[k] = v;
                else if (mean)
                    value[k] += v;
                else
                    value[k] = std::max(value[k], v);
                ++count[k];
            }
            return true;
        });
        if (pass == Pass::ReadFailed)
            return static_cast<int>(i + 1);
        if (pass == Pass::Cancelled) {
            out.Close();
            std::error_code ec;
            std::filesystem::remove(std::filesystem::path(output), ec);
            return kRasterCancelled;
        }
    }
    const bool mean = attribute == Intensity || attribute == ScanAngle;
    std::vector<float> row(cols);
    for (int r = 0; r < rows; ++r) {
        for (int c = 0; c < cols; ++c) {
            const size_t k = static_cast<size_t>(r) * cols + c;
            row[c] = count[k] == 0 ? kNoData : static_cast<float>(mean ? value[k] / count[k] : value[k]);
        }
        if (!out.WriteRasterBlock(1, 0, r, cols, 1, row.data())) {
            error_ = "The raster could not be written";
            return kRasterCreateFailed;
        }
    }
    return kRasterDone;
}
