#!/usr/bin/env bash
# Builds the libFuzzer harnesses of fuzz/ with clang (build dir build-fuzz)
# and runs each for the given number of seconds (default 300), one at a
# time: scripts/fuzz.sh [seconds per harness] [harness ...]
# Each run starts from the harness's committed seeds and regression inputs
# (fuzz/regressions/<name>/; the image harness also from ../shared/corpus/
# in place) and keeps what it learns in build-fuzz/corpus/<name>/. A crash
# is saved in build-fuzz/artifacts/<name>/; copy it into the harness's
# regressions folder once fixed, so that CI replays it. Logs:
# build-fuzz/logs/<name>.log.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-300}
shift || true

cxx=${FUZZ_CXX:-clang++-14}
cc=${FUZZ_CC:-clang-14}
launcher=()
command -v ccache >/dev/null && launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
CC=$cc CXX=$cxx cmake -S . -B build-fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo -DFUZZING=ON -DBUILD_BENCHMARKS=OFF \
  "${launcher[@]}" >/dev/null

all=$(sed -n 's/^add_fuzz_harness(\([a-z_]*\).*/\1/p' fuzz/harnesses.cmake)
harnesses=("$@")
[ ${#harnesses[@]} -eq 0 ] && read -r -a harnesses <<<"$(echo $all)"
cmake --build build-fuzz -j "$(nproc)" --target "${harnesses[@]/%/_fuzz}"

export ASAN_OPTIONS=${ASAN_OPTIONS:-abort_on_error=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1}
failed=0
for h in "${harnesses[@]}"; do
  corpus=build-fuzz/corpus/$h artifacts=build-fuzz/artifacts/$h
  mkdir -p "$corpus" "$artifacts" build-fuzz/logs
  options=(-max_total_time="$seconds" -timeout=30 -print_final_stats=1 -artifact_prefix="$artifacts/")
  seeds=(fuzz/regressions/"$h")
  if [ "$h" = image ]; then
    # Decoding is slow and photos are large: longer time-outs, inputs up
    # to 1 MiB (bigger seeds are cut, which is a test of its own).
    # No leak checks: GLib keeps per-thread state of libvips' worker
    # threads that LeakSanitizer reports now and then, not reproducibly
    # (the tests run with detect_leaks=0 for the same reason).
    options+=(-timeout=120 -max_len=1048576 -rss_limit_mb=4096 -detect_leaks=0)
    [ -d ../shared/corpus ] && seeds+=(../shared/corpus/*/)
  fi
  echo "== $h: ${seconds}s"
  if ! "build-fuzz/fuzz/${h}_fuzz" "${options[@]}" "$corpus" "${seeds[@]}" >"build-fuzz/logs/$h.log" 2>&1; then
    failed=1
    echo "   FOUND something: see build-fuzz/logs/$h.log and $artifacts/"
  fi
  grep -E '^stat::(number_of_executed_units|peak_rss_mb)' "build-fuzz/logs/$h.log" | sed 's/^/   /' || true
done
exit $failed
