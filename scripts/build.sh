#!/usr/bin/env bash
# Configures and builds Verdanta (Release) into build/.
set -euo pipefail
cd "$(dirname "$0")/.."
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=Release "$@" > build.log 2>&1 || { cat build.log; exit 1; }
cmake --build build -j "$(nproc)" 2>&1 | tail -n 3
