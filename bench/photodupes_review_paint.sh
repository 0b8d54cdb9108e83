#!/usr/bin/env bash
# The review page at scale: a catalog of 5,000 duplicate groups (12,500
# photos with real 256-pixel thumbnails and small files whose stat matches
# the catalog), `photodupes review` serving it, and in headless Chromium
# (puppeteer-core): the first contentful paint, the time until the groups
# are on the page, and the time until the first group answers a key (j:
# the next group is marked), each from the start of navigation as the
# driver sees it (it polls the page, then asks for the time); "in page"
# the same two moments as the page records them (a MutationObserver added
# before the page's own script); the groups rendered at once (one page of
# them, not all); and the seconds from starting `photodupes review` until
# it printed the address (the groups are found before that).
#
# Usage: bench/photodupes_review_paint.sh [BUILD_DIR] [GROUPS]
# (needs node and puppeteer-core in BUILD_DIR/node: scripts/install-puppeteer.sh)
set -euo pipefail
cd "$(dirname "$0")/.."
build=$(realpath "${1:-build}")
groups=${2:-5000}
bin="$build/photodupes/photodupes"
export PHOTODUPES_ALBUMSWEEP=${PHOTODUPES_ALBUMSWEEP:-$build/albumsweep/albumsweep}
export PHOTODUPES_TWINSPOT=${PHOTODUPES_TWINSPOT:-$build/twinspot/twinspot}
bash scripts/install-puppeteer.sh "$build" >/dev/null
work=$(mktemp -d /tmp/photodupes-review-paint.XXXXXX)
server=
trap '[ -n "$server" ] && kill "$server" 2>/dev/null; rm -rf "$work"' EXIT
mkdir -p "$work/library"

for seed in 1 2 3 4 5 6; do
  vips gaussnoise "$work/n$seed.v" 32 24 --sigma 60 --seed "$seed"
  vips bandjoin "$work/n$seed.v $work/n$seed.v $work/n$seed.v" "$work/c$seed.v"
  vips resize "$work/c$seed.v" "$work/t$seed.jpg[Q=70]" 8
done
"$bin" scan --library "$work/library" --catalog "$work/catalog.db"
python3 - "$work" "$groups" <<'PY'
import base64, hashlib, os, random, sqlite3, sys
work, groups = sys.argv[1], int(sys.argv[2])
thumbs = [base64.b64encode(open(f"{work}/t{s}.jpg", "rb").read()).decode() for s in range(1, 7)]
db = sqlite3.connect(f"{work}/catalog.db")
rng = random.Random(5)
rows = []
for g in range(groups):
    data = f"group {g}\n".encode() * 8
    sha = hashlib.sha256(data).hexdigest()
    h = rng.getrandbits(63)
    os.makedirs(f"{work}/library/folder{g % 50}", exist_ok=True)
    for m in range(2 + g % 2):
        i = f"folder{g % 50}/photo{g}-{m}.jpg"
        path = f"{work}/library/{i}"
        with open(path, "wb") as f:
            f.write(data)
        st = os.stat(path)
        rows.append((i, path.encode(), f"photo{g}-{m}.jpg", "local", "", sha, h, 4032 - m, 3024, len(data),
                     1_600_000_000_000 + g * 1000, 1, thumbs[(g + m) % 6], 1, b"", b"",
                     st.st_dev, st.st_ino, st.st_size, st.st_mtime_ns, st.st_ctime_ns))
db.executemany("INSERT INTO photos(id, path, name, state, err, sha, dhash, w, h, bytes, created, mod, thumb, seen, "
               "extra_hashes, corner_hashes, st_dev, st_ino, st_size, st_mtime_ns, st_ctime_ns) "
               "VALUES(?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?)", rows)
db.commit()
print(f"{len(rows)} photos in {groups} groups")
PY
start=$(date +%s.%N)
# Into a file: photodupes reports a reader that stops reading (head) as a failed write.
"$bin" groups --library "$work/library" --catalog "$work/catalog.db" > "$work/groups.txt"
head -1 "$work/groups.txt"
echo "photodupes groups (the same grouping the page asks for): $(echo "$(date +%s.%N) - $start" | bc) s"

cat > "$work/measure.js" <<'JS'
const puppeteer = require(process.argv[2] + '/puppeteer-core');
(async () => {
  const browser = await puppeteer.launch({executablePath: '/usr/bin/chromium', headless: true,
    args: ['--no-sandbox', '--disable-gpu', '--disable-background-networking', '--disable-component-update',
      '--disable-sync', '--no-first-run', '--user-data-dir=' + process.argv[4], '--window-size=1280,900']});
  const page = await browser.newPage();
  await page.evaluateOnNewDocument(() => {
    window.__seen = {};
    new MutationObserver(() => {
      const t = performance.now();
      if (!__seen.groups && document.querySelector('section.group')) __seen.groups = t;
      if (!__seen.key && document.querySelector('#g1.current')) __seen.key = t;
    }).observe(document, {subtree: true, childList: true, attributes: true, attributeFilter: ['class']});
  });
  await page.goto(process.argv[3], {waitUntil: 'domcontentloaded'});
  await page.waitForSelector('section.group', {timeout: 60000});
  const shown = await page.evaluate(() => performance.now());
  await page.keyboard.press('j');
  await page.waitForSelector('#g1.current', {timeout: 60000});
  const answered = await page.evaluate(() => performance.now());
  const fcp = await page.evaluate(() => {
    const p = performance.getEntriesByType('paint').find(e => e.name === 'first-contentful-paint');
    return p ? p.startTime : NaN;
  });
  const n = await page.$eval('#summary', s => s.textContent);
  const seen = await page.evaluate(() => window.__seen);
  const sections = await page.$$eval('section.group', s => s.length);
  console.log(`fcp=${fcp.toFixed(0)}ms groups_shown=${shown.toFixed(0)}ms first_key_answered=${answered.toFixed(0)}ms ` +
    `in_page: groups=${seen.groups.toFixed(0)}ms key=${seen.key.toFixed(0)}ms; ${sections} groups rendered (${n})`);
  await browser.close();
})().catch(e => { console.log('no measurement: ' + e); process.exit(1); });
JS
for run in 1 2 3; do
  began=$(date +%s.%N)
  "$bin" review --library "$work/library" --catalog "$work/catalog.db" --no-browser > "$work/out$run.txt" &
  server=$!
  for _ in $(seq 600); do grep -q 'http://' "$work/out$run.txt" && break; sleep 0.05; done
  echo -n "address after $(echo "$(date +%s.%N) - $began" | bc | cut -c1-5) s: "
  address=$(grep -o 'http://127.0.0.1:[0-9]*/?t=[0-9a-f]*' "$work/out$run.txt")
  node "$work/measure.js" "$build/node/node_modules" "$address" "$work/profile$run" || true
  kill "$server"; wait "$server" 2>/dev/null || true
  server=
done
