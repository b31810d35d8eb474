#!/usr/bin/env bash
# Tiled DEM through Snakemake against one process, on generated areas.
#
#   bench/bench_tiles.sh BUILD_DIR WORK_DIR [MILLIONS...]    (default: 10 20 40)
#   TILE=500 bench/bench_tiles.sh ...    tiles of 500 m instead of plan's choice
#
# For each size: writes the area (LAS files of 500 m), a catalogue, then
#  - the single-process DEM (1 m cells) in its two forms: over the LAS files
#    joined (--merge) and over the catalogue;
#  - the tiled DEM: plan and snakemake --cores 2;
# and prints wall and CPU (user + system) times, the single process's peak
# memory and the largest peak memory of any tile job (from Snakemake's
# per-job benchmark records).
set -euo pipefail
build=$(cd "$1" && pwd)
work=$2
shift 2
sizes=("$@")
[ ${#sizes[@]} -eq 0 ] && sizes=(10 20 40)
cli=$build/app/verdanta-cli
mkdir -p "$work"
work=$(cd "$work" && pwd)
tileArgs=()
[ -n "${TILE:-}" ] && tileArgs=(--tile-size "$TILE")

timed() {  # label command...: prints "label: S s wall, C s CPU, peak M MB"
  local label=$1
  shift
  /usr/bin/time -f "%e %U %S %M" -o "$work/time.txt" "$@" > /dev/null 2> "$work/err.txt" || {
    cat "$work/err.txt" >&2
    exit 1
  }
  read -r secs user sys kb < "$work/time.txt"
  printf '%-44s %7.1f s wall %7.1f s CPU   peak %5.0f MB\n' "$label" "$secs" "$(echo "$user + $sys" | bc)" \
    "$((kb / 1024))"
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
  timed "single process, DEM of the files (--merge)" \
    "$cli" dem --xsize 1 --ysize 1 --merge --yes "$area"/las/*.las -o "$area/single_merge.tif"
  timed "single process, DEM of the catalogue" \
    "$cli" dem --xsize 1 --ysize 1 --yes "$area/area.vpc" -o "$area/single_vpc.tif"
  rm -rf "$area/W" "$area/tiled.vrt"
  tile=$("$cli" plan --workdir "$area/W" "${tileArgs[@]}" --cores 2 dem --xsize 1 --ysize 1 "$area/area.vpc" \
    -o "$area/tiled.vrt" | sed -n 's/.*: \([0-9]*\) tiles of \([0-9.]*\) m.*/\1 tiles of \2 m/p')
  cd "$area/W"  # Snakemake keeps its logs in the folder it starts in
  timed "tiled, snakemake --cores 2 ($tile)" snakemake -s "$area/W/Snakefile" --cores 2 -q
  cd - > /dev/null
  peak=$(awk 'FNR > 1 && $3 > max {max = $3} END {printf "%.0f", max}' "$area"/W/benchmarks/*/*.tsv)
  jobs=$(ls "$area"/W/benchmarks/*/*.tsv | wc -l)
  echo "   largest peak memory of the $jobs tile jobs: $peak MB"
done
