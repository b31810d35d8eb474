#pragma once
// The project file (".sml"): the project's name and its four lists of data
// layers (LAS, raster, vector, table), each layer a name and a path.
//
// The XML carries a format version and stores every path twice: absolute,
// and relative to the project file. On reading, the absolute path is used
// when that file exists, else the relative one resolved against the
// project's folder, so a project folder moved to another disk or machine
// still finds its layers.

#include <string>
#include <vector>

struct ProjectEntry {
    std::string name;  // complete base name of the layer's file
    std::string path;  // full path (local 8-bit encoding)
    bool operator==(const ProjectEntry &o) const { return name == o.name && path == o.path; }
};

class Project {
public:
    std::string name;  // complete base name of the project file
    std::string path;  // full path of the project file
    std::vector<ProjectEntry> reserved1;
    std::vector<ProjectEntry> lasLayers;
    std::vector<ProjectEntry> rasterLayers;
    std::vector<ProjectEntry> reserved2;
    std::vector<ProjectEntry> vectorLayers;
    std::vector<ProjectEntry> tableLayers;

    // Writes the file named by `path` from `project` through a temporary
    // file that replaces the old one only when complete.
    bool createXml(const Project &project);
    // Fills `project` (name and layer lists) from a file; false, leaving
    // `project` unchanged, for a missing, malformed, truncated or foreign file.
    bool readXml(Project &project, const char *filePath);

    const std::string &lastError() const { return error_; }

    static constexpr int kFormatVersion = 1;

private:
    std::string error_;
};
