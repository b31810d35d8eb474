#include "LasExtraBytes.h"

#include "LasStream.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>

namespace VerdantaIO {

namespace {

constexpr size_t kDescriptor = 192;

// Bytes of one value of data types 1 to 10; types 11 to 30 (deprecated)
// are arrays of two or three of them; type 0 takes `options` bytes.
size_t valueSize(int type, int options)
{
    static const size_t sizes[] = {0, 1, 1, 2, 2, 4, 4, 8, 8, 4, 8};
    if (type == 0)
        return size_t(options);
    if (type <= 10)
        return sizes[type];
    if (type <= 20)
        return 2 * sizes[type - 10];
    if (type <= 30)
        return 3 * sizes[type - 20];
    return 0;
}

template <class T> T load(const uint8_t *p)
{
    T v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

// A value of scalar type `type` as a double (and its raw 8-byte slot form,
// for comparing with the no-data value).
double valueOf(int type, const uint8_t *p)
{
    switch (type) {
    case 1: return p[0];
    case 2: return load<int8_t>(p);
    case 3: return load<uint16_t>(p);
    case 4: return load<int16_t>(p);
    case 5: return load<uint32_t>(p);
    case 6: return load<int32_t>(p);
    case 7: return double(load<uint64_t>(p));
    case 8: return double(load<int64_t>(p));
    case 9: return load<float>(p);
    default: return load<double>(p);
    }
}

// The no-data slot holds the value in the widest type of its kind.
double noDataOf(int type, const uint8_t *slot)
{
    if (type == 9 || type == 10)
        return load<double>(slot);
    if (type == 1 || type == 3 || type == 5 || type == 7)
        return double(load<uint64_t>(slot));
    return double(load<int64_t>(slot));
}

const VariableLengthRecord *descriptionRecord(const PointHeader &h)
{
    for (const auto *list : {&h.vlrs, &h.evlrs})
        for (const VariableLengthRecord &v : *list)
            if (v.userId == "LASF_Spec" && v.recordId == 4)
                return &v;
    return nullptr;
}

}  // namespace

ExtraBytes UInt32Attribute(const std::string &name, const std::string &description,
                           const std::vector<uint32_t> &values)
{
    ExtraBytes e;
    e.size = 4;
    e.descriptors.assign(kDescriptor, 0);
    e.descriptors[2] = 5;
    std::memcpy(&e.descriptors[4], name.data(), std::min<size_t>(name.size(), 32));
    std::memcpy(&e.descriptors[160], description.data(), std::min<size_t>(description.size(), 32));
    e.values.resize(values.size() * 4);
    if (!values.empty())
        std::memcpy(e.values.data(), values.data(), e.values.size());
    return e;
}

bool ReadExtraBytes(const std::string &path, ExtraBytes &extra, std::string *error)
{
    extra = ExtraBytes();
    LasRecordReader reader;
    if (!reader.open(path)) {
        if (error)
            *error = reader.lastError();
        return false;
    }
    const PointHeader &h = reader.header();
    const uint16_t size = h.extraBytesPerPoint;
    const VariableLengthRecord *record = descriptionRecord(h);
    if (size == 0)
        return true;
    extra.size = size;
    if (record)
        extra.descriptors = record->data;
    const uint64_t count = reader.count();
    const uint16_t length = reader.recordLength(), standard = uint16_t(length - size);
    extra.values.resize(count * size);
    constexpr uint64_t kBatch = 65536;
    for (uint64_t start = 0; start < count; start += kBatch) {
        const uint64_t n = std::min(kBatch, count - start);
        const uint8_t *records = reader.load(start, n);
        if (!records) {
            if (error)
                *error = reader.lastError();
            extra = ExtraBytes();
            return false;
        }
        for (uint64_t i = 0; i < n; ++i)
            std::memcpy(&extra.values[(start + i) * size], records + i * length + standard, size);
        reader.release(start, n);
    }
    return true;
}

bool ExtraAttribute(const ExtraBytes &extra, const std::string &name, std::vector<double> &values)
{
    values.clear();
    size_t at = 0;
    for (size_t d = 0; d + kDescriptor <= extra.descriptors.size(); d += kDescriptor) {
        const uint8_t *desc = &extra.descriptors[d];
        const int type = desc[2], options = desc[3];
        const size_t bytes = valueSize(type, options);
        const std::string label(reinterpret_cast<const char *>(desc + 4),
                                strnlen(reinterpret_cast<const char *>(desc + 4), 32));
        if (label == name) {
            if (type < 1 || type > 10 || at + bytes > extra.size)
                return false;
            const bool hasNoData = options & 1, scaled = options & 8, offset = options & 16;
            const double noData = noDataOf(type, desc + 40);
            const double scale = scaled ? load<double>(desc + 112) : 1.0, shift = offset ? load<double>(desc + 136) : 0.0;
            const size_t count = extra.size ? extra.values.size() / extra.size : 0;
            values.resize(count);
            for (size_t i = 0; i < count; ++i) {
                const double v = valueOf(type, &extra.values[i * extra.size + at]);
                values[i] = hasNoData && v == noData ? std::numeric_limits<double>::quiet_NaN() : v * scale + shift;
            }
            return true;
        }
        at += bytes;
    }
    return false;
}

ExtraBytes SelectExtraBytes(const ExtraBytes &extra, const std::vector<char> &keep)
{
    ExtraBytes out;
    out.size = extra.size;
    out.descriptors = extra.descriptors;
    if (extra.size == 0)
        return out;
    for (size_t i = 0; i < keep.size() && (i + 1) * extra.size <= extra.values.size(); ++i)
        if (keep[i])
            out.values.insert(out.values.end(), extra.values.begin() + i * extra.size,
                              extra.values.begin() + (i + 1) * extra.size);
    return out;
}

}  // namespace VerdantaIO
