#!/usr/bin/env bash
# Makes a small sample photo library (a few pictures, an exact byte copy, two
# near duplicates, a Live Photo pair, a hidden folder and a video) and scans
# it with albumsweep, printing its JSON lines.
#
# Usage: scripts/demo-scan.sh [BUILD_DIR] [LIBRARY_DIR]
#   BUILD_DIR    where albumsweep was built (default: build)
#   LIBRARY_DIR  where to make the library and keep it (default: a temporary
#                folder, removed afterwards)
# Needs the vips command-line tool (Debian package libvips-tools).
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
bin="$build/albumsweep/albumsweep"
if [ ! -x "$bin" ]; then
  echo "albumsweep is not built in $build: cmake --build $build --target albumsweep" >&2
  exit 1
fi

scratch=$(mktemp -d /tmp/albumsweep-demo.XXXXXX)
trap 'rm -rf "$scratch"' EXIT
if [ $# -ge 2 ]; then
  lib=$2
  mkdir -p "$lib"
else
  lib="$scratch/library"
fi

# picture SEED OUT: a 768x576 colour picture of soft blobs, different for
# every seed.
picture() {
  local seed=$1 out=$2 t="$scratch/p$1"
  for band in 0 1 2; do
    vips gaussnoise "$t-$band.v" 64 48 --sigma 60 --seed $((seed * 3 + band))
  done
  vips bandjoin "$t-0.v $t-1.v $t-2.v" "$t-rgb.v"
  vips resize "$t-rgb.v" "$t-big.v" 12
  vips gaussblur "$t-big.v" "$t-blur.v" 6
  vips cast "$t-blur.v" "$t-pic.v" uchar
  vips copy "$t-pic.v" "$out"
}

mkdir -p "$lib/2023/trip" "$lib/2024/copies" "$lib/2024/edits" "$lib/live" "$lib/clips" "$lib/.thumbnails"
picture 1 "$lib/2023/trip/lake.jpg[Q=90]"
picture 2 "$lib/2023/trip/forest.jpg[Q=90]"
picture 3 "$lib/2023/trip/dunes.jpg[Q=90]"
picture 4 "$lib/2024/sunset.png"
picture 5 "$lib/live/IMG_0101.JPG[Q=85]"
head -c 5000 /dev/urandom > "$lib/live/IMG_0101.MOV"        # the Live Photo's video
head -c 8000 /dev/urandom > "$lib/clips/birthday.mp4"        # videos are counted, not scanned
cp "$lib/2023/trip/lake.jpg" "$lib/2024/copies/lake copy.jpg" # exact duplicate: same bytes
vips thumbnail "$lib/2023/trip/forest.jpg" "$lib/2024/edits/forest-small.jpg[Q=70]" 384  # near duplicate: resized
vips copy "$lib/2023/trip/dunes.jpg" "$lib/2024/edits/dunes-q40.jpg[Q=40]"              # near duplicate: re-encoded
cp "$lib/2023/trip/lake.jpg" "$lib/.thumbnails/lake.jpg"     # hidden: counted in hidden_total only

echo "== sample library in $lib"
(cd "$lib" && find . -type f | sort)
echo
echo "== $bin --library $lib   (thumbnails shortened for display)"
out="$scratch/scan.jsonl"
"$bin" --library "$lib" </dev/null >"$out"
sed -E 's/("thumb":")([^"]{20})[^"]*"/\1\2..."/' "$out"
echo
echo "== by difference hash: near duplicates share (nearly) the same hash, exact duplicates the same sha"
grep '"hash"' "$out" |
  sed -E 's/.*"hash":"([0-9a-f]*)".*"id":"([^"]*)".*"sha":"([0-9a-f]*)".*/\1 \3 \2/' | sort |
  awk '{ note = ($2 == psha) ? "   <- same bytes as above" : ($1 == phash) ? "   <- same picture as above" : "";
         id = substr($0, length($1) + length($2) + 3);
         printf "hash %s  sha %s...  %s%s\n", $1, substr($2, 1, 12), id, note; phash = $1; psha = $2 }'
