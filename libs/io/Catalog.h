#pragma once
// Point-cloud catalogues: a virtual point cloud (.vpc) is a STAC
// ItemCollection (GeoJSON FeatureCollection) with one Feature per LAS file,
// carrying the pointcloud and projection extensions: the file's point count
// and schema, its coordinate system (WKT2), its native bounds and footprint,
// the same footprint in WGS 84, and the file's path relative to the
// catalogue. A catalogue stands for one seamless dataset made of its files.

#include <cstdint>
#include <string>
#include <vector>

namespace VerdantaIO {

struct CatalogFile {
    std::string path;  // absolute, resolved against the catalogue's folder
    std::string href;  // as the catalogue states it
    std::string id;
    uint64_t count = 0;
    double minX = 0, minY = 0, minZ = 0, maxX = 0, maxY = 0, maxZ = 0;  // native bounds
    std::string wkt;   // the coordinate system (WKT2), empty when none
};

struct Catalog {
    std::string path;
    std::vector<CatalogFile> files;
    // The joint bounds of the files.
    double minX = 0, minY = 0, minZ = 0, maxX = 0, maxY = 0, maxZ = 0;
    uint64_t count = 0;
    std::string wkt;  // the files' one coordinate system
    bool hasBounds = false;

    // Widens the joint bounds and count by one file's.
    void addBounds(const CatalogFile &f);
};

// Writes a catalogue over LAS files. Refuses files that cannot be read and
// files under different coordinate systems (`error` lists each file and
// its system). Builds each file's spatial index beforehand (see LasIO.h),
// so that the window reads of many tile jobs at once find it ready instead
// of each building it.
bool WriteCatalog(const std::string &vpcPath, const std::vector<std::string> &lasPaths, std::string &error);

// Reads a catalogue. With `verify`, every file must exist and its header
// must agree with the catalogue's count and bounds; `error` names the file
// that does not. Files under different coordinate systems are refused.
bool ReadCatalog(const std::string &vpcPath, Catalog &out, std::string &error, bool verify = true);

// Whether a path names a catalogue (by its extension, .vpc).
bool IsCatalogPath(const std::string &path);

// Whether two WKT coordinate systems are the same system (texts of one
// system differ in spelling and authority codes); two empty texts agree.
bool SameReference(const std::string &a, const std::string &b);

// A short name of a WKT coordinate system ("WGS 84 / UTM zone 54S"), or
// "no coordinate system".
std::string ReferenceName(const std::string &wkt);

}  // namespace VerdantaIO
