#!/usr/bin/env bash
# Installs what is missing, builds, makes a small sample photo library with
# exact and near duplicates, and scans it with albumsweep; then shows twinspot
# on a few generated pictures.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j "$(nproc)" --target albumsweep twinspot thermwatch
bash scripts/demo-scan.sh build
