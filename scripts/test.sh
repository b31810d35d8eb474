#!/usr/bin/env bash
# Installs what is missing, builds, and runs the whole test suite (GUI tests
# under Xvfb with Mesa's software OpenGL).
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh
bash scripts/build.sh -DVERDANTA_TESTS=ON -DVERDANTA_BENCH=ON
cd build
export XDG_RUNTIME_DIR="${XDG_RUNTIME_DIR:-$(mktemp -d)}"
xvfb-run -a -s "-screen 0 1280x1024x24" ctest --output-on-failure -j "$(nproc)" --timeout 300
