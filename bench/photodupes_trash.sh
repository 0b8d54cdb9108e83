#!/usr/bin/env bash
# `photodupes trash` of N byte-identical copies (10,000 by default) against
# `gio trash` of the same files, in the same run, on one file system, with a
# home and Trash of the benchmark's own.
#   bash bench/photodupes_trash.sh [BUILD_DIR] [N]
# photodupes checks each file again (stat, SHA-256 of the copy and of the
# file that stays), makes each chunk's .trashinfo files durable (syncfs) and
# commits its journal durably before and after each chunk of moves; gio does
# none of that. Then the time of `photodupes undo` of that batch.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$here/build}
n=${2:-10000}
command -v gio >/dev/null || { echo "gio is missing (libglib2.0-bin): nothing to compare with"; exit 1; }
nice -n 5 cmake --build "$build" --target photodupes albumsweep twinspot >/dev/null

tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
export HOME=$tmp/home XDG_DATA_HOME=$tmp/data XDG_STATE_HOME=$tmp/state
export PHOTODUPES_ALBUMSWEEP=$build/albumsweep/albumsweep PHOTODUPES_TWINSPOT=$build/twinspot/twinspot
mkdir -p "$HOME" "$tmp/lib/copies"
python3 - "$tmp/lib/original.png" <<'EOF'
import sys, zlib, struct
w = h = 64
raw = b"".join(b"\0" + bytes(((x * 4) ^ (y * 4)) & 255 for x in range(w) for _ in range(3)) for y in range(h))
def chunk(t, d):
    return struct.pack(">I", len(d)) + t + d + struct.pack(">I", zlib.crc32(t + d) & 0xffffffff)
png = b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", w, h, 8, 2, 0, 0, 0)) \
    + chunk(b"IDAT", zlib.compress(raw)) + chunk(b"IEND", b"")
open(sys.argv[1], "wb").write(png)
EOF
for ((i = 0; i < n; ++i)); do printf '%s\0' "$tmp/lib/copies/c$i.png"; done | xargs -0 -n 1000 sh -c \
  'for f; do cp "'"$tmp"'/lib/original.png" "$f"; done' sh
touch -d '2001-01-01' "$tmp/lib/original.png"  # the oldest: the keeper

pd="$build/photodupes/photodupes"
"$pd" scan --library "$tmp/lib" >/dev/null
seconds() { local s e; s=$(date +%s.%N); "$@" >/dev/null; e=$(date +%s.%N); python3 -c "print($e - $s)"; }

ours=$(seconds "$pd" trash --library "$tmp/lib")
moved=$(find "$XDG_DATA_HOME/Trash/files" -type f | wc -l)
undo=$(seconds "$pd" undo --library "$tmp/lib")
back=$(find "$tmp/lib/copies" -type f | wc -l)
rm -rf "$XDG_DATA_HOME/Trash"
theirs=$(seconds sh -c "find '$tmp/lib/copies' -type f -print0 | xargs -0 -n 1000 gio trash")
gio_moved=$(find "$XDG_DATA_HOME/Trash/files" -type f | wc -l)

printf 'files: %d (photodupes moved %d, undo put back %d; gio moved %d)\n' "$n" "$moved" "$back" "$gio_moved"
python3 -c "
n, ours, theirs, undo = $n, $ours, $theirs, $undo
print(f'photodupes trash: {ours:.2f} s ({n / ours:.0f} files/s)')
print(f'gio trash:        {theirs:.2f} s ({n / theirs:.0f} files/s)')
print(f'ratio photodupes/gio: {ours / theirs:.2f}')
print(f'photodupes undo:  {undo:.2f} s ({n / undo:.0f} files/s), {undo / ours:.2f} x its trash')"
