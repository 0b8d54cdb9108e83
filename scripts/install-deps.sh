#!/usr/bin/env bash
# Installs the Debian 12 packages the build and the tests need, only those missing.
set -euo pipefail

packages=(
  build-essential cmake pkg-config
  libvips-dev libvips-tools        # image decoding, thumbnails, JPEG; vipsthumbnail for benchmarks
  libheif-dev                      # stored (pre-rotation) size of HEIF images
  libopencv-features2d-dev libopencv-calib3d-dev libopencv-imgproc-dev  # feature print: keypoints, RANSAC
  libssl-dev                       # SHA-256, base64
  nlohmann-json3-dev               # JSON
  libgtest-dev libgmock-dev        # tests
  libbenchmark-dev                 # benchmarks
  lm-sensors                       # sensors -j, the peer check of thermwatch
  coreutils python3
  time libheif-examples             # benchmarks: peak memory of a child; HEIC copies (heif-enc)
)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done
[ ${#missing[@]} -eq 0 ] && exit 0

if [ "$(id -u)" -eq 0 ]; then sudo=(); else sudo=(sudo); fi
echo "installing: ${missing[*]}"
"${sudo[@]}" apt-get update -qq
DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
