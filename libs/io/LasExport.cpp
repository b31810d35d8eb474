#include "LasExport.h"

#include "LasIO.h"
#include "LasStream.h"
#include "RasterIO.h"

#include <gdal_priv.h>
#include <ogrsf_frmts.h>

#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <memory>
#include <vector>

namespace VerdantaIO {

namespace {

constexpr uint64_t kChunk = 100000;
constexpr const char *kLetters = "xyztiarcunRGBped";

bool fail(std::string *error, const std::string &text)
{
    if (error)
        *error = text;
    return false;
}

// Decimals that a scale factor resolves: 0.01 gives 2, 0.001 gives 3.
int decimalsOf(double scale)
{
    scale = std::fabs(scale);
    if (!(scale > 0) || scale >= 1)
        return 0;
    return std::min(9, static_cast<int>(std::ceil(-std::log10(scale) - 1e-9)));
}

const char *columnName(char letter)
{
    switch (letter) {
    case 'x': return "X";
    case 'y': return "Y";
    case 'z': return "Z";
    case 't': return "GPSTime";
    case 'i': return "Intensity";
    case 'a': return "ScanAngle";
    case 'r': return "ReturnNumber";
    case 'c': return "Classification";
    case 'u': return "UserData";
    case 'n': return "NumberOfReturns";
    case 'R': return "Red";
    case 'G': return "Green";
    case 'B': return "Blue";
    case 'p': return "PointSourceID";
    case 'e': return "EdgeOfFlightLine";
    case 'd': return "ScanDirection";
    default: return "";
    }
}

// Attribute names of a shapefile (at most 10 characters).
const char *fieldName(char letter)
{
    switch (letter) {
    case 'r': return "ReturnNum";
    case 'c': return "Class";
    case 'n': return "NumReturns";
    case 'p': return "PointSrcID";
    case 'e': return "EdgeFlight";
    default: return columnName(letter);
    }
}

double integerValue(char letter, const PointCloud &p)
{
    switch (letter) {
    case 'i': return p.intensity;
    case 'r': return p.returnNumber;
    case 'c': return p.classification;
    case 'u': return p.userData;
    case 'n': return p.numberOfReturns;
    case 'R': return p.red;
    case 'G': return p.green;
    case 'B': return p.blue;
    case 'p': return p.pointSourceId;
    case 'e': return (p.flags & PointFlags::EdgeOfFlightLine) ? 1 : 0;
    case 'd': return (p.flags & PointFlags::ScanDirection) ? 1 : 0;
    default: return 0;
    }
}

// The checks of both exports: the field string, then the input.
bool openInput(LasRecordReader &reader, const std::string &input, const std::string &fields, std::string *error)
{
    char bad = 0;
    if (!validFieldString(fields, &bad))
        return fail(error, std::string("The field string holds an unknown or repeated letter: ") + bad);
    if (!reader.open(input))
        return fail(error, kExportOpenFailed);
    return true;
}

}  // namespace

bool validFieldString(const std::string &fields, char *bad)
{
    for (size_t i = 0; i < fields.size(); ++i) {
        const char c = fields[i];
        if (!std::strchr(kLetters, c) || c == 0 || fields.find(c) != i) {
            if (bad)
                *bad = c;
            return false;
        }
    }
    return true;
}

bool LAS2TxT(const std::string &input, const std::string &output, const std::string &fields,
             const std::string &separator, CProcessBase *progress, std::string *error)
{
    LasRecordReader reader;
    if (!openInput(reader, input, fields, error))
        return false;
    const PointHeader &h = reader.header();
    const int decimals[3] = {decimalsOf(h.scaleX), decimalsOf(h.scaleY), decimalsOf(h.scaleZ)};
    const std::string temp = output + ".partial";
    std::FILE *out = std::fopen(temp.c_str(), "wb");
    if (!out)
        return fail(error, "Could not create the file " + output);
    std::string line;
    for (size_t i = 0; i < fields.size(); ++i)
        line += (i ? separator : std::string()) + columnName(fields[i]);
    line += '\n';
    bool ok = std::fwrite(line.data(), 1, line.size(), out) == line.size();

    const uint64_t n = reader.count();
    if (progress)
        progress->SetStepCount(static_cast<int>((n + kChunk - 1) / kChunk) + 1);
    std::vector<PointCloud> chunk(std::min(n, kChunk));
    std::vector<char> text;
    char number[64];
    auto put = [&](std::to_chars_result r) { text.insert(text.end(), number, r.ptr); };
    for (uint64_t start = 0; ok && start < n; start += kChunk) {
        const uint64_t m = std::min(kChunk, n - start);
        if (!reader.decode(start, m, chunk.data())) {
            std::fclose(out);
            std::remove(temp.c_str());
            return fail(error, reader.lastError());
        }
        text.clear();
        for (uint64_t k = 0; k < m; ++k) {
            const PointCloud &p = chunk[k];
            for (size_t f = 0; f < fields.size(); ++f) {
                if (f)
                    text.insert(text.end(), separator.begin(), separator.end());
                char *end = number + sizeof number;
                switch (fields[f]) {
                case 'x': put(std::to_chars(number, end, p.x, std::chars_format::fixed, decimals[0])); break;
                case 'y': put(std::to_chars(number, end, p.y, std::chars_format::fixed, decimals[1])); break;
                case 'z': put(std::to_chars(number, end, p.z, std::chars_format::fixed, decimals[2])); break;
                case 't': put(std::to_chars(number, end, p.gpsTime, std::chars_format::fixed, 6)); break;
                case 'a': put(std::to_chars(number, end, std::round(p.scanAngleDegrees() * 1000) / 1000)); break;
                default:
                    put(std::to_chars(number, end, static_cast<long>(integerValue(fields[f], p))));
                }
            }
            text.push_back('\n');
        }
        ok = std::fwrite(text.data(), 1, text.size(), out) == text.size();
        reader.release(start, m);
        if (ok && progress && !progress->StepIt()) {
            std::fclose(out);
            std::remove(temp.c_str());
            return fail(error, "Cancelled");
        }
    }
    ok = std::fclose(out) == 0 && ok;
    std::remove(output.c_str());
    if (!ok || std::rename(temp.c_str(), output.c_str()) != 0) {
        std::remove(temp.c_str());
        return fail(error, "Could not write the file " + output);
    }
    return true;
}

bool LAS2Shp(const std::string &input, const std::string &output, const std::string &fields,
             CProcessBase *progress, std::string *error)
{
    LasRecordReader reader;
    if (!openInput(reader, input, fields, error))
        return false;
    CLASIO las;  // for the coordinate reference only
    if (!las.LoadFile(input))
        return fail(error, kExportOpenFailed);
    EnsureGdal();
    GDALDriver *driver = GetGDALDriverManager()->GetDriverByName("ESRI Shapefile");
    if (!driver)
        return fail(error, "The shapefile driver is missing");
    driver->Delete(output.c_str());
    std::unique_ptr<GDALDataset, void (*)(GDALDataset *)> ds(
        driver->Create(output.c_str(), 0, 0, 0, GDT_Unknown, nullptr), [](GDALDataset *d) { GDALClose(d); });
    if (!ds)
        return fail(error, "Could not create the shapefile " + output);
    OGRSpatialReference srs;
    const std::string &wkt = las.header.spatialReference.GetWKT();
    const bool hasSrs = !wkt.empty() && srs.importFromWkt(wkt.c_str()) == OGRERR_NONE;
    OGRLayer *layer = ds->CreateLayer("points", hasSrs ? &srs : nullptr, wkbPoint25D, nullptr);
    if (!layer)
        return fail(error, "Could not create the shapefile " + output);
    const PointHeader &h = reader.header();
    const int decimals[3] = {decimalsOf(h.scaleX), decimalsOf(h.scaleY), decimalsOf(h.scaleZ)};
    for (char c : fields) {
        const bool real = c == 'x' || c == 'y' || c == 'z' || c == 't' || c == 'a';
        OGRFieldDefn def(fieldName(c), real ? OFTReal : OFTInteger);
        if (real) {
            def.SetWidth(c == 't' ? 20 : 18);
            def.SetPrecision(c == 't' ? 6 : c == 'a' ? 3 : decimals[c - 'x']);
        } else {
            def.SetWidth(c == 'c' || c == 'r' || c == 'n' || c == 'u' || c == 'e' || c == 'd' ? 3 : 6);
        }
        if (layer->CreateField(&def) != OGRERR_NONE)
            return fail(error, "Could not create the shapefile " + output);
    }
    const uint64_t n = reader.count();
    if (progress)
        progress->SetStepCount(static_cast<int>((n + kChunk - 1) / kChunk) + 1);
    std::vector<PointCloud> chunk(std::min(n, kChunk));
    std::unique_ptr<OGRFeature, void (*)(OGRFeature *)> feature(OGRFeature::CreateFeature(layer->GetLayerDefn()),
                                                                OGRFeature::DestroyFeature);
    for (uint64_t start = 0; start < n; start += kChunk) {
        const uint64_t m = std::min(kChunk, n - start);
        if (!reader.decode(start, m, chunk.data())) {
            ds.reset();
            driver->Delete(output.c_str());
            return fail(error, reader.lastError());
        }
        for (uint64_t k = 0; k < m; ++k) {
            const PointCloud &p = chunk[k];
            for (size_t f = 0; f < fields.size(); ++f) {
                const int idx = static_cast<int>(f);
                switch (fields[f]) {
                case 'x': feature->SetField(idx, p.x); break;
                case 'y': feature->SetField(idx, p.y); break;
                case 'z': feature->SetField(idx, p.z); break;
                case 't': feature->SetField(idx, p.gpsTime); break;
                case 'a': feature->SetField(idx, p.scanAngleDegrees()); break;
                default: feature->SetField(idx, static_cast<int>(integerValue(fields[f], p)));
                }
            }
            feature->SetGeometryDirectly(new OGRPoint(p.x, p.y, p.z));
            feature->SetFID(OGRNullFID);
            if (layer->CreateFeature(feature.get()) != OGRERR_NONE)
                return fail(error, "Could not write a point to " + output);
        }
        reader.release(start, m);
        if (progress && !progress->StepIt()) {
            ds.reset();
            driver->Delete(output.c_str());
            return fail(error, "Cancelled");
        }
    }
    return true;
}

}  // namespace VerdantaIO
