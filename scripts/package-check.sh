#!/usr/bin/env bash
# Checks the Debian package of a built build folder: builds it with cpack,
# unpacks it into a temporary root with dpkg -x, checks that every program has
# its man page and that each page renders without warnings, and runs the
# installed programs from that root on a small library made here.
#   scripts/package-check.sh BUILD_DIR
set -euo pipefail
build=$(realpath "${1:?usage: scripts/package-check.sh BUILD_DIR}")
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

fail() { echo "package check: $*" >&2; exit 1; }

# The package.
cpack --config "$build/CPackConfig.cmake" -G DEB -B "$work/out" >"$work/cpack.log" 2>&1 ||
  { cat "$work/cpack.log" >&2; fail "cpack failed"; }
debs=("$work"/out/*.deb)
[ ${#debs[@]} -eq 1 ] && [ -f "${debs[0]}" ] || fail "expected one .deb, found: ${debs[*]}"
deb=${debs[0]}
depends=$(dpkg-deb -f "$deb" Depends)
# dpkg-shlibdeps puts the C library in every binary package it looks at.
grep -q 'libc6' <<<"$depends" || fail "Depends does not come from the linked libraries: '$depends'"
root="$work/root"
dpkg -x "$deb" "$root"
bin="$root/usr/bin"
man1="$root/usr/share/man/man1"

# Programs and man pages: each program has its page, each page its program.
for program in albumsweep twinspot thermwatch; do
  [ -x "$bin/$program" ] || fail "$program is not in the package"
done
for program in "$bin"/*; do
  [ -f "$man1/$(basename "$program").1.gz" ] || fail "no man page for $(basename "$program")"
done
for page in "$man1"/*; do
  [ -x "$bin/$(basename "$page" .1.gz)" ] || fail "man page $(basename "$page") has no program"
done
# Every page built (photodupes(1) too where the program is not in this tree),
# with every groff warning on.
for page in "$man1"/*.1.gz "$build"/packaging/man/*.1.gz; do
  warnings=$(MANWIDTH=80 man --warnings=w -l "$page" 2>&1 >/dev/null) || fail "man cannot render $page"
  [ -z "$warnings" ] || fail "man warns on $page: $warnings"
done

# A small library: one photo, an exact copy and a half-size copy of it, and
# two different pictures.
lib="$work/library"
mkdir -p "$lib/2023" "$lib/copies"
vips sines "$work/sines.v" 320 240 --hfreq 2 --vfreq 1
vips linear "$work/sines.v" "$lib/2023/sines.jpg" 100 128 --uchar
cp "$lib/2023/sines.jpg" "$lib/copies/sines-copy.jpg"
vips resize "$lib/2023/sines.jpg" "$lib/copies/sines-half.jpg" 0.5
vips zone "$work/zone.v" 320 240
vips linear "$work/zone.v" "$lib/2023/zone.jpg" 100 128 --uchar
vips gaussnoise "$lib/2023/noise.jpg" 320 240
photos=5

# The installed programs run from the unpacked root, with a home and state
# folder of their own and nothing of the build on the path.
run() { env -u PHOTODUPES_ALBUMSWEEP HOME="$work/home" XDG_STATE_HOME="$work/state" XDG_CONFIG_HOME="$work/config" \
  PATH=/usr/bin:/bin timeout 120 "$@"; }
mkdir -p "$work/home"

printf '%s\0' "$lib"/2023/*.jpg "$lib"/copies/*.jpg | run "$bin/twinspot" hash >"$work/twinspot.jsonl"
[ "$(grep -c '"ok":true' "$work/twinspot.jsonl")" -eq "$photos" ] ||
  fail "twinspot hashed $(grep -c '"ok":true' "$work/twinspot.jsonl") of $photos photos"
run "$bin/thermwatch" >"$work/thermwatch.json" || fail "thermwatch exited with status $?"
grep -q '"generated_at"' "$work/thermwatch.json" || fail "thermwatch printed no document"

if [ -x "$bin/photodupes" ]; then
  echo "package check: installed photodupes on a generated library"
  catalog="$work/catalog.sqlite"
  run "$bin/photodupes" scan --library "$lib" --catalog "$catalog" || fail "photodupes scan failed"
  run "$bin/photodupes" groups --json --library "$lib" --catalog "$catalog" >"$work/groups.json" || fail "photodupes groups failed"
  # The photo, its exact and its half-size copy are grouped; nothing else is.
  python3 - "$work/groups.json" <<'EOF' || fail "photodupes groups are wrong"
import json, sys
def strings(node):
    if isinstance(node, str): yield node
    elif isinstance(node, dict):
        for v in node.values(): yield from strings(v)
    elif isinstance(node, list):
        for v in node: yield from strings(v)
texts = list(strings(json.load(open(sys.argv[1]))))
has = lambda suffix: any(t.endswith(suffix) for t in texts)
missing = [p for p in ("/2023/sines.jpg", "/copies/sines-copy.jpg", "/copies/sines-half.jpg") if not has(p)]
wrong = [p for p in ("/2023/zone.jpg", "/2023/noise.jpg") if has(p)]
if missing or wrong:
    sys.exit(f"copies not grouped: {missing}; unrelated photos grouped: {wrong}")
EOF
else
  echo "package check: photodupes is not in this build; scanning the generated library with the installed albumsweep"
  run "$bin/albumsweep" scan --library "$lib" --deadline 60 </dev/null >"$work/scan.jsonl" ||
    fail "albumsweep exited with status $?"
  python3 - "$work/scan.jsonl" "$photos" <<'EOF' || fail "albumsweep scan of the generated library is wrong"
import json, sys
lines = [json.loads(l) for l in open(sys.argv[1])]
photos = int(sys.argv[2])
records = [l for l in lines if "id" in l]
sha = {r["id"]: r.get("sha") for r in records if r.get("ok")}
problems = []
if lines[0].get("auth") != "authorized" or lines[0].get("total") != photos: problems.append(f"totals {lines[0]}")
if len(sha) != photos: problems.append(f"{len(sha)} of {photos} photos scanned")
if sha.get("2023/sines.jpg") != sha.get("copies/sines-copy.jpg"): problems.append("exact copies differ")
if lines[-1] != {"progress": photos, "of": photos}: problems.append(f"closing line {lines[-1]}")
if problems: sys.exit("; ".join(problems))
EOF
fi
echo "package check: $(basename "$deb") ok ($(ls "$bin" | tr '\n' ' ')and their man pages)"
