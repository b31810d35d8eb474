#pragma once
// Extra bytes: attributes stored after the standard part of every point
// record and described by the extra-bytes record (user "LASF_Spec", record
// 4, 192 bytes per attribute: data type, options, name, no-data, scale,
// offset, description). Segmentations write a tree number this way
// ("treeID"), as other LiDAR tools do.

#include <cstdint>
#include <string>
#include <vector>

namespace VerdantaIO {

struct ExtraBytes {
    uint16_t size = 0;                 // bytes per point
    std::vector<uint8_t> descriptors;  // the record's data: 192 bytes per attribute
    std::vector<uint8_t> values;       // `size` bytes per point, in point order
};

// One attribute of 32-bit unsigned integers (data type 5), one value per
// point.
ExtraBytes UInt32Attribute(const std::string &name, const std::string &description,
                           const std::vector<uint32_t> &values);

// The extra bytes of every point of a LAS or LAZ file, in file order, with
// their descriptions (size 0 when the records have none). False with
// `error` when the file cannot be read.
bool ReadExtraBytes(const std::string &path, ExtraBytes &extra, std::string *error = nullptr);

// The values of the attribute `name`, its scale and offset applied, NaN
// where it holds its no-data value. False when there is no such scalar
// attribute.
bool ExtraAttribute(const ExtraBytes &extra, const std::string &name, std::vector<double> &values);

// The extra bytes of the points whose `keep` entry is non-zero.
ExtraBytes SelectExtraBytes(const ExtraBytes &extra, const std::vector<char> &keep);

}  // namespace VerdantaIO
