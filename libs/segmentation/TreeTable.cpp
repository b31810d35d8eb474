#include "TreeTable.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace TreeTable {

bool write(const std::string &path, const std::vector<Tree> &trees, std::string &error)
{
    FILE *f = std::fopen(path.c_str(), "wb");
    if (!f) {
        error = path + ": " + std::strerror(errno);
        return false;
    }
    std::fprintf(f, "%s\n", kHeader);
    for (const Tree &t : trees)
        std::fprintf(f, "%.3f,%.3f,%.2f,%.2f,%.2f,%.2f\n", t.x, t.y, t.height, t.crownDiameter, t.crownArea,
                     t.crownVolume);
    const bool ok = std::fflush(f) == 0 && !std::ferror(f);
    if (std::fclose(f) != 0 || !ok) {
        error = path + ": the table could not be written";
        return false;
    }
    return true;
}

}  // namespace TreeTable
