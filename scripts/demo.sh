#!/usr/bin/env bash
# The main job on a sample: installs what is missing, builds, makes a small
# photo library with exact and near duplicates, scans it with photodupes,
# prints the groups and writes the HTML report.
#
# Usage: scripts/demo.sh [DEMO_DIR]   (default /tmp/photodupes-demo; emptied first)
# The library is made from the photos of ../shared/corpus/cameras when that
# folder exists, else from generated pictures.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j "$(nproc)" --target photodupes albumsweep twinspot

demo=${1:-/tmp/photodupes-demo}
rm -rf "$demo"
lib="$demo/library"
mkdir -p "$lib/2023/trip" "$lib/2024/copies" "$lib/2024/edits" "$lib/phone"
corpus=../shared/corpus/cameras
if [ -d "$corpus" ]; then
  cp "$corpus/nikon-e950.jpg" "$lib/2023/trip/lake.jpg"
  cp "$corpus/fujifilm-dx10.jpg" "$lib/2023/trip/forest.jpg"
  cp "$corpus/ricoh-rdc5300.jpg" "$lib/2023/trip/dunes.jpg"
  cp "$corpus/Reconyx_HC500_Hyperfire.jpg" "$lib/phone/IMG_0101.jpg"
  cp "$corpus/canon-ixus.jpg" "$lib/2024/sunset.jpg"
else
  # picture SEED OUT: a 768x576 picture of soft colour blobs, one per seed.
  picture() {
    local t="$demo/p$1"
    for band in 0 1 2; do vips gaussnoise "$t-$band.v" 8 6 --sigma 80 --seed $(($1 * 3 + band)); done
    vips bandjoin "$t-0.v $t-1.v $t-2.v" "$t-rgb.v"
    vips resize "$t-rgb.v" "$t-big.v" 96 --kernel linear
    vips cast "$t-big.v" "$2" uchar
  }
  picture 1 "$lib/2023/trip/lake.jpg[Q=90]"
  picture 2 "$lib/2023/trip/forest.jpg[Q=90]"
  picture 3 "$lib/2023/trip/dunes.jpg[Q=90]"
  picture 4 "$lib/phone/IMG_0101.jpg[Q=90]"
  picture 5 "$lib/2024/sunset.jpg[Q=90]"
  rm -f "$demo"/p*.v
fi
cp "$lib/2023/trip/lake.jpg" "$lib/2024/copies/lake copy.jpg"                     # exact duplicate
vips thumbnail "$lib/2023/trip/forest.jpg" "$lib/2024/edits/forest-small.jpg[Q=80]" 400  # resized
vips copy "$lib/2023/trip/dunes.jpg" "$lib/2024/edits/dunes-q40.jpg[Q=40]"       # re-encoded
vips thumbnail "$lib/phone/IMG_0101.jpg" "$lib/2024/edits/IMG_0101-small.jpg[Q=85]" 640
cp "$lib/2024/edits/IMG_0101-small.jpg" "$lib/2024/copies/IMG_0101-small (1).jpg" # a copy of a copy

export XDG_STATE_HOME="$demo/state"   # keep the demo's catalog out of yours
bin=build/photodupes/photodupes
echo "== sample library in $lib"
(cd "$lib" && find . -type f | sort)
echo
echo "== $bin scan --library $lib"
"$bin" scan --library "$lib"
echo
echo "== $bin groups --library $lib"
"$bin" groups --library "$lib"
echo
echo "== $bin report --library $lib -o $demo/report.html"
"$bin" report --library "$lib" -o "$demo/report.html" >/dev/null
echo "The report is at $demo/report.html (open it in a browser: file://$demo/report.html)"
echo
echo "== next: decide in your browser, move the copies to the Trash, and undo:"
echo "XDG_STATE_HOME=$demo/state $bin review --library $lib"
