#!/usr/bin/env bash
# Installs the Debian 12 packages the build and the tests need, only those missing.
set -euo pipefail

packages=(
  build-essential cmake ninja-build lld pkg-config ccache
  libvips-dev libvips-tools        # image decoding, thumbnails, JPEG; vipsthumbnail for benchmarks
  libheif-dev                      # stored (pre-rotation) size of HEIF images
  libraw-dev                       # camera raw files (LibRaw, thread-safe libraw_r)
  libmagickcore-6.q16-dev          # BMP, through ImageMagick's BMP coder alone
  libtiff-dev                      # DNG test files
  libopencv-features2d-dev libopencv-calib3d-dev libopencv-imgproc-dev  # feature print: keypoints, RANSAC
  libssl-dev                       # SHA-256, base64
  libseccomp-dev                   # the programs' system-call filter
  libfuse3-dev fuse3               # hangfs, the FUSE file system of the tests whose reads hang on demand
  strace                           # the lock-down end-to-end test; bytes read by a re-scan (benchmark)
  nlohmann-json3-dev               # JSON
  libgtest-dev libgmock-dev        # tests
  libbenchmark-dev                 # benchmarks
  libsqlite3-dev sqlite3           # photodupes' catalog; the sqlite3 tool in its tests
  libglib2.0-bin                   # gio trash: the Trash cross-checked in tests and benchmarks
  gvfs dbus-daemon                 # gio trash --list (the trash:// backend) on a session bus of the test's own
  libcpp-httplib-dev               # photodupes review: the page's loopback HTTP server
  chromium                         # photodupes' report and review page checked in a real browser
  lm-sensors                       # sensors -j, the peer check of thermwatch
  dpkg-dev file                    # the Debian package: cpack's dependency list (dpkg-shlibdeps)
  scdoc man-db                     # man pages: rendered from scdoc at build time, checked with man
  clang-14 libclang-rt-14-dev      # libFuzzer harnesses (scripts/fuzz.sh)
  coreutils python3
  time libheif-examples            # benchmarks: peak memory of a child; HEIC copies (heif-enc)
  lomiri-wallpapers                # benchmarks: real photos as originals (photodupes_e2e_recall)
)

missing=()
# The review page's browser test runs node with puppeteer-core
# (scripts/install-puppeteer.sh). A machine whose node came from elsewhere
# (its npm bundled, conflicting with Debian's npm package) keeps it.
command -v node >/dev/null || missing+=(nodejs)
command -v npm >/dev/null || missing+=(npm)
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
