#!/usr/bin/env bash
# Every program's output, in every mode, on the photo corpus and on a
# generated library, into one file per run: for `cmp` of two builds'
# outputs after a change that must not change them (a reorganisation).
#   bash scripts/program-outputs.sh BIN_DIR OUT_DIR
#   for f in OLD_OUT/*; do cmp "$f" NEW_OUT/"${f##*/}"; done
# BIN_DIR holds albumsweep, twinspot, thermwatch and photodupes. thermwatch
# reads a made-up hwmon tree in a private mount namespace (root only); its
# generated_at line, which differs from run to run, is left out.
set -uo pipefail
bin=$(realpath "$1"); out=$2; mkdir -p "$out"
corpus=$(realpath -m "$(dirname "$0")/../../shared/corpus")
lib=/tmp/program-outputs-lib
if [ ! -d $lib ]; then
  mkdir -p $lib/a $lib/b
  for s in 1 2 3 4 5 6; do convert -seed $s -size 300x200 plasma:fractal $lib/a/p$s.jpg; done
  convert $lib/a/p1.jpg -resize 60% $lib/b/p1_small.jpg
  convert $lib/a/p2.jpg -quality 40 $lib/b/p2_q40.jpg
  cp $lib/a/p3.jpg $lib/b/p3_copy.jpg
  convert $lib/a/p4.jpg -colorspace gray $lib/b/p4_grey.jpg
  convert $lib/a/p5.jpg $lib/b/p5.png
  touch -d '2020-01-01 00:00' $lib/a/* $lib/b/*
fi
for L in $corpus $lib; do
  n=$(basename $L)
  [ -d "$L" ] || { echo "no $L: skipped" >&2; continue; }
  "$bin/albumsweep" --library $L --deadline inf < /dev/null > $out/scan-$n.jsonl 2>$out/scan-$n.err; echo $? >> $out/scan-$n.err
  "$bin/albumsweep" --library $L --deadline inf --max 5 < /dev/null > $out/scanmax-$n.jsonl 2>&1
  python3 -c "
import json,sys
ids=[json.loads(l)['id'] for l in open('$out/scan-$n.jsonl') if '\"id\"' in l]
sys.stdout.write(''.join(i+'\0' for i in ids))
open('$out/groups-$n.json','w').write(json.dumps({'groups':[ids[k:k+4] for k in range(0,len(ids),4)]}))
" > $out/ids-$n
  "$bin/albumsweep" thumb --library $L < $out/ids-$n > $out/thumb-$n.jsonl 2>&1; echo $? >> $out/thumb-$n.jsonl
  "$bin/albumsweep" simverify --library $L --deadline inf < $out/groups-$n.json > $out/simverify-$n.jsonl 2>&1; echo $? >> $out/simverify-$n.jsonl
  find $L -type f | sort | tr '\n' '\0' > $out/files-$n
  for m in hash thumb hashthumb; do "$bin/twinspot" $m < $out/files-$n > $out/twinspot-$m-$n.jsonl 2>&1; echo $? >> $out/twinspot-$m-$n.jsonl; done
  "$bin/twinspot" thumb --size 800 < $out/files-$n > $out/twinspot-thumb800-$n.jsonl 2>&1
done
# photodupes on the generated library, fresh catalog each time
rm -rf /tmp/program-outputs-state; export XDG_STATE_HOME=/tmp/program-outputs-state PHOTODUPES_ALBUMSWEEP=$bin/albumsweep PHOTODUPES_TWINSPOT=$bin/twinspot
"$bin/photodupes" --catalog /tmp/program-outputs-state/c.db scan --library $lib > $out/pd-scan.txt 2>&1; echo $? >> $out/pd-scan.txt
"$bin/photodupes" --catalog /tmp/program-outputs-state/c.db groups --library $lib --json > $out/pd-groups.json 2>&1; echo $? >> $out/pd-groups.json
"$bin/photodupes" --catalog /tmp/program-outputs-state/c.db groups --library $lib > $out/pd-groups.txt 2>&1
"$bin/photodupes" --catalog /tmp/program-outputs-state/c.db groups --library $lib --not-kept -0 > $out/pd-notkept 2>&1
"$bin/photodupes" --catalog /tmp/program-outputs-state/c.db trash --dry-run --json --library $lib > $out/pd-trash-dry.json 2>&1
"$bin/photodupes" --catalog /tmp/program-outputs-state/f.db files $lib/a $lib/b --json > $out/pd-files.json 2>&1; echo $? >> $out/pd-files.json
"$bin/photodupes" --help > $out/pd-help.txt 2>&1
# thermwatch on a fake hwmon tree (root only), without its generated_at line
if [ "$(id -u)" = 0 ]; then
  unshare -m --propagation private bash -c \
    "bash '$(dirname "$0")/fake-hwmon-tree.sh' && '$bin/thermwatch'; echo \$?" | grep -v '"generated_at"' > $out/thermwatch.json
fi
