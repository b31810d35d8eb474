#!/usr/bin/env bash
# Tiled DEM through Snakemake against one process, on generated areas.
#
#   bench/bench_tiles.sh BUILD_DIR WORK_DIR [MILLIONS...]    (default: 10 20 40)
#
# For each size: writes the area (LAS files of 500 m), a catalogue, then
#  - on the largest area only, the single-process DEM (1 m cells) in its two
#    forms: over the LAS files joined (--merge) and over the catalogue;
#  - the tiled DEM: plan (500 m tiles) and snakemake --cores 2;
# and prints wall times, the single process's peak memory and the largest
# peak memory of any tile job (from Snakemake's per-job benchmark records).
set -euo pipefail
build=$(cd "$1" && pwd)
work=$2
shift 2
sizes=("$@")
[ ${#sizes[@]} -eq 0 ] && sizes=(10 20 40)
cli=$build/app/verdanta-cli
mkdir -p "$work"
work=$(cd "$work" && pwd)
largest=${sizes[-1]}

timed() {  # label command...: prints "label: S s, peak M MB"
  local label=$1
  shift
  /usr/bin/time -f "%e %M" -o "$work/time.txt" "$@" > /dev/null 2> "$work/err.txt" || {
    cat "$work/err.txt" >&2
    exit 1
  }
  read -r secs kb < "$work/time.txt"
  printf '%-44s %8.1f s   peak %6.0f MB\n' "$label" "$secs" "$((kb / 1024))"
}

for m in "${sizes[@]}"; do
  area=$work/area_$m
  if [ ! -f "$area/area.vpc" ]; then
    rm -rf "$area" && mkdir -p "$area/las"
    "$build/bench/bench_catalog" "$area/las" "$m" > /dev/null
    "$cli" catalog "$area"/las/*.las -o "$area/area.vpc" > /dev/null
  fi
  points=$("$cli" info "$area"/las/*.las | awk -F': ' '/^Number of Point Records/ {s += $2} END {print s}')
  echo "== $m million: $points points in $(ls "$area"/las/*.las | wc -l) files"
  if [ "$m" = "$largest" ]; then
    timed "single process, DEM of the files (--merge)" \
      "$cli" dem --xsize 1 --ysize 1 --merge --yes "$area"/las/*.las -o "$area/single_merge.tif"
    timed "single process, DEM of the catalogue" \
      "$cli" dem --xsize 1 --ysize 1 --yes "$area/area.vpc" -o "$area/single_vpc.tif"
  fi
  rm -rf "$area/W" "$area/tiled.vrt"
  "$cli" plan --workdir "$area/W" --tile-size 500 --cores 2 dem --xsize 1 --ysize 1 "$area/area.vpc" \
    -o "$area/tiled.vrt" > /dev/null
  cd "$area/W"  # Snakemake keeps its logs in the folder it starts in
  timed "tiled, snakemake --cores 2 (500 m tiles)" snakemake -s "$area/W/Snakefile" --cores 2 -q
  cd - > /dev/null
  peak=$(awk 'FNR > 1 && $3 > max {max = $3} END {printf "%.0f", max}' "$area"/W/benchmarks/*/*.tsv)
  jobs=$(ls "$area"/W/benchmarks/*/*.tsv | wc -l)
  echo "   largest peak memory of the $jobs tile jobs: $peak MB"
done
