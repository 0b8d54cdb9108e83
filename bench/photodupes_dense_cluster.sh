#!/usr/bin/env bash
# A dense cluster end to end: N photos that share one difference hash (a
# burst of one scene, each a shade brighter than the last), through
# `photodupes files`, which hashes them with twinspot and measures the
# candidate pairs with albumsweep simverify. Prints the time of the first
# run (fingerprints and measurements), of a second run (everything cached),
# the pairs measured and the groups.
#
#   bash bench/photodupes_dense_cluster.sh BUILD_DIR [N]
set -euo pipefail
build=${1:?build dir}; n=${2:-2000}
dir=$(mktemp -d); trap 'rm -rf "$dir"' EXIT
mkdir -p "$dir/burst"
vips gaussnoise "$dir/noise.v" 160 120 --sigma 60
vips resize "$dir/noise.v" "$dir/scene.v" 4 --kernel linear   # soft structure, 640x480
for ((k = 0; k < n; k++)); do
  vips linear "$dir/scene.v" "$dir/burst/IMG_$(printf %05d "$k").jpg[Q=90]" 1 "$(awk "BEGIN{print $k/400}")"
done
export XDG_STATE_HOME="$dir/state" PHOTODUPES_ALBUMSWEEP="$build/albumsweep/albumsweep" \
  PHOTODUPES_TWINSPOT="$build/twinspot/twinspot"
for run in first second; do
  /usr/bin/time -f "$run run: %e s wall, %U+%S s processor, %M KB peak" \
    "$build/photodupes/photodupes" files "$dir/burst" --json > "$dir/$run.json"
done
python3 - "$dir/second.json" "$dir/state" <<'PY'
import json, sys, glob, sqlite3
doc = json.load(open(sys.argv[1]))
db = glob.glob(sys.argv[2] + "/photodupes/*.db")[0]
pairs = sqlite3.connect(db).execute("SELECT count(*) FROM distances").fetchone()[0]
print(f"{pairs} pairs measured; {doc['summary']['groups']} groups, {doc['summary']['not_kept']} files not kept")
PY
