#!/usr/bin/env bash
# Installs what is missing, builds, and runs every test three ways:
# plain, under AddressSanitizer + UndefinedBehaviorSanitizer, and the
# concurrent tests (CTest label "concurrent") under ThreadSanitizer.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh

jobs=$(nproc)
# A compiler cache makes the three builds of a second run (and the shared
# sources of the three passes) cheap.
launcher=()
command -v ccache >/dev/null && launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
run() {   # run <build dir> <ctest args...> -- <cmake args...>
  local dir=$1; shift
  local ctest_args=() cmake_args=()
  while [ $# -gt 0 ] && [ "$1" != "--" ]; do ctest_args+=("$1"); shift; done
  [ $# -gt 0 ] && shift
  cmake_args=("$@")
  cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo "${launcher[@]}" "${cmake_args[@]}" >/dev/null
  cmake --build "$dir" -j "$jobs"
  bash scripts/install-puppeteer.sh "$dir"
  (cd "$dir" && ctest --output-on-failure -j "$jobs" "${ctest_args[@]}")
}

echo "== plain build and tests"
run build
bash scripts/package-check.sh build   # the .deb of that build: unpacked, its programs run, its man pages checked
echo "== AddressSanitizer + UndefinedBehaviorSanitizer"
ASAN_OPTIONS=detect_leaks=0:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1 \
  run build-asan -- -DSANITIZE=address -DBUILD_BENCHMARKS=OFF
echo "== ThreadSanitizer, concurrent tests"
TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1 suppressions=$PWD/scripts/tsan-suppressions.txt" \
  run build-tsan -L concurrent -- -DSANITIZE=thread -DBUILD_BENCHMARKS=OFF
