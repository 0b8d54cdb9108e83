#!/usr/bin/env bash
# Detection benchmark of the feature print: builds its photo set at run time
# and prints one table (see bench/feature_print_detection.cc).
#   bash bench/feature_print_detection.sh [BUILD_DIR] [--dump FILE]
# Photos: the wallpapers of Debian's lomiri-wallpapers-16.04 and -20.04
# (downloaded with apt-get into a temporary folder, never kept) and the
# corpus' camera photos of at least 640 pixels and its phone HEIFs.
# Needs apt lists (apt-get update) and heif-enc (libheif-examples).
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$here/build}
shift || true
corpus=${CORPUS_DIR:-$here/../shared/corpus}

nice -n 5 cmake --build "$build" --target feature_print_detection >/dev/null
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
(cd "$tmp" && apt-get -qq -o APT::Sandbox::User=root download lomiri-wallpapers-16.04 lomiri-wallpapers-20.04)
for deb in "$tmp"/*.deb; do dpkg -x "$deb" "$tmp/unpacked"; done

photos=()
while IFS= read -r -d '' f; do photos+=("$f"); done \
  < <(find "$tmp/unpacked" -type f \( -iname '*.jpg' -o -iname '*.jpeg' -o -iname '*.png' \) -print0 | sort -z)
# One file per picture: the orientation set holds each of its two photos nine times.
photos+=("$corpus"/cameras/*.jpg "$corpus"/heif/*.heif "$corpus"/heif/*.HEIC
         "$corpus/orientation/Landscape_1.jpg" "$corpus/orientation/Portrait_1.jpg")
"$build/bench/feature_print_detection" "$@" "${photos[@]}"
