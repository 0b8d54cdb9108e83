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
# Built once and run once, the three builds favour compile time: sources
# compiled in batches (unity build), line tables only for debug
# information, the test programs' own code unoptimised, and the sanitizer
# builds at -Og (half the compile time of -O1; the tests take as long).
common=(-DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_UNITY_BUILD=ON)
# LLVM's linker links the many test programs in half the time of the default one.
command -v ld.lld >/dev/null && common+=(-DCMAKE_EXE_LINKER_FLAGS=-fuse-ld=lld)
plain=(-DTEST_COMPILE_OPTIONS=-O0 "-DCMAKE_CXX_FLAGS_RELWITHDEBINFO=-O2 -g1 -DNDEBUG")
sanitizer=(-DBUILD_BENCHMARKS=OFF "-DCMAKE_CXX_FLAGS_RELWITHDEBINFO=-Og -g1 -DNDEBUG")
# UndefinedBehaviorSanitizer checks the code under test, the libraries and
# programs; the test programs' own sources are built without it, which
# halves their compile time.
asan=("${sanitizer[@]}" -DSANITIZE=address "-DTEST_COMPILE_OPTIONS=-O0;-fno-sanitize=undefined")
tsan=("${sanitizer[@]}" -DSANITIZE=thread -DTEST_COMPILE_OPTIONS=-O0)

configure() {   # configure <build dir> <cmake args...>
  local dir=$1; shift
  local generator=()
  # Ninja keeps every core busy across targets; a folder made earlier keeps its generator.
  [ -f "$dir/CMakeCache.txt" ] || ! command -v ninja >/dev/null || generator=(-G Ninja)
  cmake -S . -B "$dir" "${generator[@]}" "${common[@]}" "${launcher[@]}" "$@" >/dev/null
}

# The next pass compiles at low priority while the tests of one pass run:
# the tests keep the cores they ask for, and the compiler takes the time
# they spend waiting (for a browser, for storage that hangs, for timeouts).
background=""
build_in_background() {   # build_in_background <build dir> <target>
  (nice -n 15 cmake --build "$1" -j "$jobs" --target "$2" >"$1/background-build.log" 2>&1) &
  background="$! $1"
}
await_build() {
  local pid=${background%% *} dir=${background#* }
  background=""
  wait "$pid" || { cat "$dir/background-build.log"; echo "build of $dir failed" >&2; exit 1; }
  tail -n 1 "$dir/background-build.log"
}
trap '[ -z "$background" ] || kill "${background%% *}" 2>/dev/null || true' EXIT

run_tests() {   # run_tests <build dir> <ctest args...>
  local dir=$1; shift
  bash scripts/install-puppeteer.sh "$dir"
  # Declares one "cpus" slot per core, which caps the tests that work at
  # once; tests that only wait for hung storage take no slot and run beside
  # the rest (add_project_test's WAITS). The option below is CTest's name
  # for the file that declares the slots.
  printf '{"version":{"major":1,"minor":0},"local":[{"cpus":[{"id":"0","slots":%d}]}]}\n' "$jobs" >"$dir/cpus.json"
  (cd "$dir" && ctest --output-on-failure -j "$((jobs + 8))" --resource-spec-file cpus.json "$@")
}

# Each pass builds what it runs: the plain pass everything (benchmarks
# included, so that they keep compiling; its package check needs the
# programs), the ASan+UBSan pass every test without the benchmarks, the
# ThreadSanitizer pass only the test programs of the concurrent tests.
phase() { echo "== $* ($((SECONDS / 60)) min $((SECONDS % 60)) s)"; }
phase "plain build"
configure build "${plain[@]}"
cmake --build build -j "$jobs"
configure build-asan "${asan[@]}"
build_in_background build-asan all
phase "plain tests (AddressSanitizer + UndefinedBehaviorSanitizer build behind them)"
run_tests build
bash scripts/package-check.sh build   # the .deb of that build: unpacked, its programs run, its man pages checked
await_build
configure build-tsan "${tsan[@]}"
build_in_background build-tsan concurrent_tests
phase "AddressSanitizer + UndefinedBehaviorSanitizer tests (ThreadSanitizer build behind them)"
ASAN_OPTIONS=detect_leaks=0:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1 run_tests build-asan
await_build
phase "ThreadSanitizer, concurrent tests"
TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1 suppressions=$PWD/scripts/tsan-suppressions.txt" \
  run_tests build-tsan -L concurrent
phase "done"
