#include "PointRecords.h"

#include <cstdio>

namespace VerdantaIO {

bool guid::is_null() const
{
    for (uint8_t b : bytes_)
        if (b != 0)
            return false;
    return true;
}

std::string guid::to_string() const
{
    const auto &b = bytes_;
    char text[40];
    std::snprintf(text, sizeof text,
                  "%02x%02x%02x%02x-%02x%02x-%02x%02x-%02x%02x-%02x%02x%02x%02x%02x%02x",
                  b[3], b[2], b[1], b[0], b[5], b[4], b[7], b[6], b[8], b[9], b[10], b[11],
                  b[12], b[13], b[14], b[15]);
    return text;
}

std::string PointHeader::versionString() const
{
    return std::to_string(versionMajor) + "." + std::to_string(versionMinor);
}

uint16_t standardRecordLength(int format)
{
    static const uint16_t lengths[] = {20, 28, 26, 34, 57, 63, 30, 36, 38, 59, 67};
    if (format < 0 || format > 10)
        return 0;
    return lengths[format];
}

}  // namespace VerdantaIO
