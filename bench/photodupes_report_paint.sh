#!/usr/bin/env bash
# The report at scale: a catalog of 5,000 duplicate groups (12,500 photos
# with real 256-pixel thumbnails), `photodupes report` on it, the page's size,
# and its first contentful paint and load time in headless Chromium. The
# report comes in pages of at most 100 groups: the first page is measured,
# the one a user opens.
#
# Usage: bench/photodupes_report_paint.sh [BUILD_DIR] [GROUPS]
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
groups=${2:-5000}
bin="$build/photodupes/photodupes"
export PHOTODUPES_ALBUMSWEEP=${PHOTODUPES_ALBUMSWEEP:-$(realpath "$build")/albumsweep/albumsweep}
work=$(mktemp -d /tmp/photodupes-paint.XXXXXX)
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/library"

# Thumbnails: a few distinct 256-pixel JPEGs, as a scan stores them.
for seed in 1 2 3 4 5 6; do
  vips gaussnoise "$work/n$seed.v" 32 24 --sigma 60 --seed "$seed"
  vips bandjoin "$work/n$seed.v $work/n$seed.v $work/n$seed.v" "$work/c$seed.v"
  vips resize "$work/c$seed.v" "$work/t$seed.jpg[Q=70]" 8
done
# An empty scan makes the catalog; the groups are then written into it, with
# their extra and corner hashes (none) and thumbnail facts computed, as a scan
# leaves them.
"$bin" scan --library "$work/library" --catalog "$work/catalog.db"
python3 - "$work" "$groups" <<'PY'
import base64, random, sqlite3, sys
work, groups = sys.argv[1], int(sys.argv[2])
thumbs = [base64.b64encode(open(f"{work}/t{s}.jpg", "rb").read()).decode() for s in range(1, 7)]
db = sqlite3.connect(f"{work}/catalog.db")
rng = random.Random(5)
rows = []
for g in range(groups):
    sha = f"{g:064x}"
    h = rng.getrandbits(63)
    for m in range(2 + g % 2):
        i = f"folder{g % 50}/photo{g}-{m}.jpg"
        rows.append((i, f"{work}/library/{i}".encode(), f"photo{g}-{m}.jpg", "local", "", sha, h, 4032 - m, 3024,
                     3_000_000 + rng.randrange(1_000_000), 1_600_000_000_000 + g * 1000, 1, thumbs[(g + m) % 6], 1, b"", b"",
                     1.0, 1))
db.executemany("INSERT INTO photos(id, path, name, state, err, sha, dhash, w, h, bytes, created, mod, thumb, seen, "
               "extra_hashes, corner_hashes, content_share, colour) VALUES(?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?)", rows)
db.commit()
# The files themselves, as sparse files of the recorded size and time: the
# groups list only files that are still as the catalog describes them.
import os
for r in rows:
    path = r[1].decode()
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "wb") as f:
        f.truncate(r[9])
    os.utime(path, ns=(r[11] * 1_000_000, r[11] * 1_000_000))
print(f"{len(rows)} photos in {groups} groups")
PY
start=$(date +%s.%N)
"$bin" report --library "$work/library" --catalog "$work/catalog.db" -o "$work/report.html" >/dev/null
end=$(date +%s.%N)
echo "photodupes report: $(echo "$end - $start" | bc) s"
echo "pages: $(ls "$work"/report*.html | wc -l), the first $(du -h "$work/report.html" | cut -f1), all $(cat "$work"/report*.html | wc -c | numfmt --to=iec), thumbnails folder: $(du -sh "$work/report_thumbs" 2>/dev/null | cut -f1) in $(ls "$work/report_thumbs" 2>/dev/null | wc -l) files"

# Time to first paint, read back from the page by a script added to a copy.
sed 's|</body>|<script>addEventListener("load", () => { const p = performance.getEntriesByType("paint").find(e => e.name == "first-contentful-paint"); const d = document.createElement("pre"); d.id = "m"; d.textContent = "fcp=" + (p ? p.startTime.toFixed(0) : "none") + "ms load=" + performance.now().toFixed(0) + "ms groups=" + document.querySelectorAll("section.group").length; document.body.appendChild(d); });</script></body>|' \
  "$work/report.html" > "$work/measure.html"
for run in 1 2 3; do
  chromium --headless --no-sandbox --disable-gpu --disable-background-networking --disable-component-update \
    --no-first-run --disable-sync --user-data-dir="$work/profile$run" --window-size=1280,900 \
    --dump-dom "file://$work/measure.html" 2>/dev/null | grep -o 'fcp=[0-9][^<]*' || echo "run $run: no measurement"
done
