#!/bin/bash
# What scanning in rounds costs: `photodupes scan` of a generated library of
# small photos in one round (PHOTODUPES_ROUND_SECONDS=inf, the reference)
# and in short rounds, fresh catalog each time, alternating, twice each.
# Prints wall and processor time (photodupes and its children), the number
# of rounds, the ratio to the reference, and the cost of one round.
#
#   bench/photodupes_rounds.sh BUILD_DIR [PHOTOS (3000)] [ROUND_SECONDS (10)]
set -euo pipefail
build=$(realpath "$1")
photos=${2:-3000}
round=${3:-10}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
lib=$work/library
mkdir -p "$lib"

# 40 different noise pictures of 640x480, copied under other names into
# folders of 100, each file a second older than the one before.
for k in $(seq 1 40); do
  vips gaussnoise "$work/base$k.jpg" 640 480 --mean 128 --sigma $((k + 10))
done
for ((i = 0; i < photos; i++)); do
  dir=$lib/f$((i / 100))
  mkdir -p "$dir"
  cp "$work/base$((i % 40 + 1)).jpg" "$dir/p$i.jpg"
  touch -d "@$((1600000000 - i))" "$dir/p$i.jpg"
done

# albumsweep behind a wrapper that counts its runs (the rounds).
cat >"$work/albumsweep" <<WRAP
#!/bin/sh
echo run >>"$work/rounds"
exec "$build/albumsweep/albumsweep" "\$@"
WRAP
chmod +x "$work/albumsweep"

TIMEFORMAT='%R %U %S'
one() {  # $1: round seconds
  rm -rf "$work/state" "$work/rounds"
  local t
  t=$( { time PHOTODUPES_ROUND_SECONDS=$1 PHOTODUPES_ALBUMSWEEP="$work/albumsweep" XDG_STATE_HOME="$work/state" \
           "$build/photodupes/photodupes" scan --library "$lib" >/dev/null; } 2>&1 | tail -1)
  local n
  n=$(wc -l <"$work/rounds")
  read -r wall user sys <<<"$t"
  echo "$1 $wall $(echo "$user + $sys" | bc) $n"
}
echo "photos=$photos; columns: round-seconds wall-s cpu-s rounds"
results=()
for rep in 1 2; do
  for r in inf "$round"; do
    line=$(one "$r")
    echo "$line"
    results+=("$line")
  done
done
printf '%s\n' "${results[@]}" | awk '
  $1 == "inf" { rw += $2; rc += $3; rn++ }
  $1 != "inf" { sw += $2; sc += $3; sn++; rounds += $4 }
  END {
    rw /= rn; rc /= rn; sw /= sn; sc /= sn; rounds /= sn;
    printf "one round: %.1f s wall, %.1f s cpu; rounds of %s s: %.1f s wall, %.1f s cpu, %.1f rounds\n", rw, rc, "'"$round"'", sw, sc, rounds;
    printf "ratio rounds/one round: wall %.3f, cpu %.3f\n", sw / rw, sc / rw * rw / rc;
    if (rounds > 1) {
      per = (sw - rw) / (rounds - 1);
      printf "cost of one more round: %.2f s wall, %.2f s cpu; at 120-second rounds that is %.1f%% wall\n", per, (sc - rc) / (rounds - 1), 100 * per / 120;
    }
  }'
