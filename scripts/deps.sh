#!/usr/bin/env bash
# Installs the Debian 12 packages Verdanta builds, runs and tests with, when
# they are missing. Needs root (or sudo).
set -euo pipefail
packages=(build-essential cmake ninja-build qtbase5-dev libqt5opengl5-dev qttools5-dev-tools
          libgdal-dev gdal-bin libgeotiff-dev libproj-dev libglu1-mesa-dev libgl1-mesa-dri xvfb xauth
          libeigen3-dev libnanoflann-dev libsvm-dev libcgal-dev imagemagick fonts-dejavu-core poppler-utils
          snakemake)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -eq 0 ]; then
  exit 0
fi
echo "Installing: ${missing[*]}"
SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -qq
$SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
