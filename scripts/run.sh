#!/usr/bin/env bash
# Installs what is missing, builds, writes the demo forest stand and opens
# Verdanta on it.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh
bash scripts/build.sh -DVERDANTA_TESTS=OFF -DVERDANTA_BENCH=OFF
./build/app/verdanta-demo demo
./build/app/verdanta-cli info demo/demo_stand.las | head -n 14
if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ]; then
  echo "No display: start Verdanta from a desktop session: ./build/app/verdanta demo/demo.sml." >&2
  exit 1
fi
exec ./build/app/verdanta "$PWD/demo/demo.sml"
