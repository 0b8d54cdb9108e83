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
run() {   # run <build dir> <build target> <ctest args...> -- <cmake args...>
  local dir=$1 target=$2; shift 2
  local ctest_args=() cmake_args=()
  while [ $# -gt 0 ] && [ "$1" != "--" ]; do ctest_args+=("$1"); shift; done
  [ $# -gt 0 ] && shift
  cmake_args=("$@")
  cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo "${launcher[@]}" "${cmake_args[@]}" >/dev/null
  cmake --build "$dir" -j "$jobs" --target "$target"
  bash scripts/install-puppeteer.sh "$dir"
  (cd "$dir" && ctest --output-on-failure -j "$jobs" "${ctest_args[@]}")
}

# Each pass builds what it runs: the plain pass everything (benchmarks
# included, so that they keep compiling; its package check needs the
# programs), the ASan+UBSan pass every test without the benchmarks, the
# ThreadSanitizer pass only the test programs of the concurrent tests.
echo "== plain build and tests"
run build all
bash scripts/package-check.sh build   # the .deb of that build: unpacked, its programs run, its man pages checked
echo "== AddressSanitizer + UndefinedBehaviorSanitizer"
ASAN_OPTIONS=detect_leaks=0:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1 \
  run build-asan all -- -DSANITIZE=address -DBUILD_BENCHMARKS=OFF
echo "== ThreadSanitizer, concurrent tests"
TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1 suppressions=$PWD/scripts/tsan-suppressions.txt" \
  run build-tsan concurrent_tests -L concurrent -- -DSANITIZE=thread -DBUILD_BENCHMARKS=OFF
