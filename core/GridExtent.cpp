#include "GridExtent.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <limits>

#ifdef _WIN32
#include <windows.h>
#else
#include <unistd.h>
#endif

namespace GridExtent {

void Bounds::add(double x, double y)
{
    if (empty) {
        minX = maxX = x;
        minY = maxY = y;
        empty = false;
        return;
    }
    minX = std::min(minX, x);
    maxX = std::max(maxX, x);
    minY = std::min(minY, y);
    maxY = std::max(maxY, y);
}

void Bounds::add(const Bounds &b)
{
    if (b.empty)
        return;
    add(b.minX, b.minY);
    add(b.maxX, b.maxY);
}

Bounds of(const VerdantaIO::PointHeader &h)
{
    Bounds b;
    b.minX = h.minX; b.maxX = h.maxX; b.minY = h.minY; b.maxY = h.maxY;
    b.empty = false;  // as stated, even if NaN or inverted
    return b;
}

Bounds of(const VerdantaIO::LASExtent &e)
{
    Bounds b;
    b.add(e.minX, e.minY);
    b.add(e.maxX, e.maxY);
    return b;
}

namespace {

std::string number(double v)
{
    char text[64];
    std::snprintf(text, sizeof text, "%.10g", v);
    return text;
}

std::string bytesText(double bytes)
{
    char text[64];
    if (bytes >= 1024.0 * 1024 * 1024 * 1024)
        std::snprintf(text, sizeof text, "%.1f TiB", bytes / (1024.0 * 1024 * 1024 * 1024));
    else if (bytes >= 1024.0 * 1024 * 1024)
        std::snprintf(text, sizeof text, "%.1f GiB", bytes / (1024.0 * 1024 * 1024));
    else
        std::snprintf(text, sizeof text, "%.1f MiB", bytes / (1024.0 * 1024));
    return text;
}

std::string count(double v)
{
    char text[64];
    if (v < 1e15)
        std::snprintf(text, sizeof text, "%.0f", v);
    else
        std::snprintf(text, sizeof text, "%.3g", v);
    return text;
}

}  // namespace

std::string describe(const Bounds &b)
{
    return "X " + number(b.minX) + ".." + number(b.maxX) + ", Y " + number(b.minY) + ".." + number(b.maxY);
}

bool plausible(const Bounds &h, const Bounds &p, double cellX, double cellY, std::string &why)
{
    if (!std::isfinite(h.minX) || !std::isfinite(h.maxX) || !std::isfinite(h.minY) || !std::isfinite(h.maxY)) {
        why = "are not finite";
        return false;
    }
    if (h.minX > h.maxX || h.minY > h.maxY) {
        why = "are inverted";
        return false;
    }
    if (p.empty)
        return true;
    const double tx = cellX * 1e-3, ty = cellY * 1e-3;
    if (p.minX < h.minX - tx || p.maxX > h.maxX + tx || p.minY < h.minY - ty || p.maxY > h.maxY + ty) {
        why = "do not hold all the points";
        return false;
    }
    const double spanX = std::max(p.maxX - p.minX, 10.0 * cellX);
    const double spanY = std::max(p.maxY - p.minY, 10.0 * cellY);
    if (h.maxX - h.minX > kPlausibleFactor * spanX || h.maxY - h.minY > kPlausibleFactor * spanY) {
        why = "are more than " + number(kPlausibleFactor) + " times wider than the points";
        return false;
    }
    return true;
}

Bounds choose(const std::string &path, const Bounds &header, const Bounds &points, double cellX, double cellY,
              std::string &note)
{
    note.clear();
    std::string why;
    if (plausible(header, points, cellX, cellY, why))
        return header;
    note = path + ": the header bounds " + describe(header) + " " + why + "; the grid uses the points' bounds " +
           describe(points);
    return points;
}

void gridSize(const Bounds &b, double cellX, double cellY, double &cols, double &rows)
{
    cols = std::floor(std::floor(b.maxX - b.minX) / cellX + 1);
    rows = std::floor(std::floor(b.maxY - b.minY) / cellY + 1);
}

uint64_t memoryBudget()
{
    uint64_t physical = 0;
#ifdef _WIN32
    MEMORYSTATUSEX status;
    status.dwLength = sizeof status;
    if (GlobalMemoryStatusEx(&status))
        physical = status.ullTotalPhys;
#else
    const long pages = sysconf(_SC_PHYS_PAGES), page = sysconf(_SC_PAGESIZE);
    if (pages > 0 && page > 0)
        physical = static_cast<uint64_t>(pages) * static_cast<uint64_t>(page);
#endif
    if (physical == 0)
        return uint64_t(1) << 30;
    return physical / 2;
}

bool fits(double cols, double rows, double bytesPerCell, std::string &why)
{
    const double bytes = cols * rows * bytesPerCell;
    const double budget = static_cast<double>(memoryBudget());
    const bool dimensionsOk = cols >= 1 && rows >= 1 && cols <= std::numeric_limits<int>::max() &&
                              rows <= std::numeric_limits<int>::max();
    if (dimensionsOk && std::isfinite(bytes) && bytes <= budget)
        return true;
    why = "The grid would be " + count(cols) + " columns x " + count(rows) + " rows (" + bytesText(bytes) +
          "), more than " + (dimensionsOk ? "the " + bytesText(budget) + " allowed (half of the physical memory)"
                                          : std::string("a raster can hold (2147483647 cells a side)")) +
          "; choose a larger cell size.";
    return false;
}

}  // namespace GridExtent
