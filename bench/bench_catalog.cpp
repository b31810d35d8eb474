// bench_catalog OUTDIR [MILLION_POINTS]: writes a generated survey area of
// about that many points (default 40) as LAS files of 500 m into OUTDIR,
// for bench/bench_tiles.sh, and prints the files' count and points.

#include "SyntheticArea.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>

int main(int argc, char **argv)
{
    if (argc < 2) {
        std::fprintf(stderr, "usage: bench_catalog OUTDIR [MILLION_POINTS]\n");
        return 1;
    }
    const double millions = argc > 2 ? std::atof(argv[2]) : 40.0;
    SyntheticArea::Area a;
    a.tileSide = 500.0;
    a.density = 4.0;  // pulses per square metre; about 1.3 returns each
    const double files = millions * 1e6 / (a.tileSide * a.tileSide * a.density * 1.3);
    a.tilesX = std::max(1, int(std::ceil(std::sqrt(files))));
    a.tilesY = std::max(1, int(std::lround(files / a.tilesX)));
    const auto paths = SyntheticArea::write(argv[1], a);
    std::printf("%zu files of %.0f m (%d x %d)\n", paths.size(), a.tileSide, a.tilesX, a.tilesY);
    return 0;
}
