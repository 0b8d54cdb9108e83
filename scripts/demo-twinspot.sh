#!/usr/bin/env bash
# Shows twinspot on a handful of pictures it makes itself: the same picture
# at two sizes and in three formats (near-equal hashes), a different
# picture, a text file named .jpg, a missing path and a directory.
#   scripts/demo-twinspot.sh [build dir, default: build]
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
if [ ! -x "$build/twinspot/twinspot" ]; then
  cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
  cmake --build "$build" -j2 --target twinspot
fi
twinspot=$build/twinspot/twinspot

dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
# A colourful 1200 x 800 picture: red rises left to right, green waves.
vips xyz "$dir/xy.v" 1200 800
vips extract_band "$dir/xy.v" "$dir/x.v" 0
vips extract_band "$dir/xy.v" "$dir/y.v" 1
vips linear "$dir/x.v" "$dir/r.v" 0.2125 0 --uchar
vips sines "$dir/s.v" 1200 800 --hfreq 2.5 --vfreq 1.5
vips linear "$dir/s.v" "$dir/g.v" 120 128 --uchar
vips invert "$dir/r.v" "$dir/b.v"
vips bandjoin "$dir/r.v $dir/g.v $dir/b.v" "$dir/rgb.v"
vips copy "$dir/rgb.v" "$dir/photo.jpg[Q=90]"
vips resize "$dir/photo.jpg" "$dir/photo-half.png" 0.5
vips copy "$dir/photo.jpg" "$dir/photo.webp"
vips gaussnoise "$dir/noise.v" 640 480 --mean 128 --sigma 40
vips cast "$dir/noise.v" "$dir/noise.png" uchar
echo "just text" > "$dir/notes.jpg"
mkdir "$dir/folder"
rm -f "$dir"/*.v

list() {
  printf '%s\0' "$dir/photo.jpg" "$dir/photo-half.png" "$dir/photo.webp" "$dir/noise.png" \
    "$dir/notes.jpg" "$dir/missing.jpg" "$dir/folder"
}
echo "== files: photo.jpg photo-half.png photo.webp noise.png notes.jpg missing.jpg folder/"
echo "== twinspot hash"
list | "$twinspot" hash
echo "== twinspot thumb (base64 shortened here for display)"
list | "$twinspot" thumb | sed -E 's/("b64":")([A-Za-z0-9+\/]{40})[A-Za-z0-9+\/=]*"/\1\2..."/'
