#!/usr/bin/env bash
# Carving benchmark: brantlow-cli carve beside `cat IMG > /dev/null`, PhotoRec
# and foremost on the 2 GiB carve.img (JPEG/PNG/PDF/ZIP at sector-aligned
# offsets), all with the same four types. Prints time, throughput, peak
# memory and the number of byte-exact files (sha256 against the manifest).
# The list-only scan also with every default type. Then the counts beside
# PhotoRec's on the images of files as people have them
# (tests/raw/make_carve_set.py: photos with EXIF thumbnails, MP3, MP4/MOV,
# office documents, PDFs with updates …), of the families people lose
# (tests/raw/make_type_set.py) and of photos in two pieces on a FAT volume
# (tests/raw/make_fragment_set.py); every type enabled in both tools. Last,
# --free-only on the NTFS image of bench/ntfs.sh when it is there
# (NTFS_IMG=…): its time beside the whole volume's and the live files carved.
#   bench/carve.sh            (BUILD=build BENCH_DIR=/tmp/brantlow-bench-carve RUNS=3 SIZE_MIB=2048
#                              OUT_BASE=BENCH_DIR: where the tools write; /dev/shm/… takes the disk out)
# Needs python3 and ImageMagick (to build the image), testdisk (photorec), foremost,
# and the tools of scripts/deps.sh for the second image.
set -euo pipefail
ROOT=$(cd "$(dirname "$0")/.." && pwd)
BUILD=${BUILD:-$ROOT/build}
CLI=$BUILD/brantlow-cli
SHARED=${SHARED:-$ROOT/../shared/bench-images}
WORK=${BENCH_DIR:-/tmp/brantlow-bench-carve}
OUT_BASE=${OUT_BASE:-$WORK}
SIZE_MIB=${SIZE_MIB:-2048}
RUNS=${RUNS:-3}
IMG=$WORK/carve.img
[ -x "$CLI" ] || { echo "build brantlow-cli first (ninja -C $BUILD brantlow-cli)"; exit 1; }
mkdir -p "$WORK"
cd "$WORK"
if [ ! -f carve.img ]; then
  [ -d samples ] || python3 "$SHARED/gen_samples.py" samples 150
  python3 "$SHARED/gen_carve.py" samples carve.img "$SIZE_MIB" 42
fi

# The four types, taken from the default settings file (records re-indexed).
python3 - "$BUILD/FileSetting.txt" four.types <<'PY'
import sys
data = open(sys.argv[1], 'rb').read()
recs = [bytearray(data[i:i + 171]) for i in range(0, len(data), 171)]
out = []
for r in recs:
    ext = r[0:8].decode('utf-16-le').rstrip('\0')
    if ext in ('jpg', 'png', 'pdf', 'zip') and ext not in [o[0] for o in out]:
        out.append((ext, r))
with open(sys.argv[2], 'wb') as f:
    for i, (_, r) in enumerate(out):
        r[33] = i
        f.write(r)
PY

[ -z "${IMAGES_ONLY:-}" ] || exit 0  # bench/all.sh: the images only

median() { sort -n | awk '{a[NR]=$1} END{print a[int((NR+1)/2)]}'; }
# run NAME CMD...: median wall seconds and the peak RSS (KiB) of the median run
declare -A SECS RSS EXACT
run() {
  local name=$1; shift
  local times=() rss=()
  for i in $(seq "$RUNS"); do
    rm -rf "$OUT_BASE/out_$name"; mkdir -p "$OUT_BASE/out_$name"
    /usr/bin/time -f "%e %M" -o "$WORK/time_$name" "$@" > /dev/null 2>&1 || true
    read -r t m < "$WORK/time_$name"
    times+=("$t"); rss+=("$m")
  done
  SECS[$name]=$(printf '%s\n' "${times[@]}" | median)
  RSS[$name]=$(printf '%s\n' "${rss[@]}" | sort -n | tail -1)
}
score() {  # score NAME DIR: files in DIR whose sha256 is a manifest file's, counted as a multiset
  EXACT[$1]=$(python3 - "$IMG.manifest" "$2" <<'PY'
import sys, os, hashlib, collections
want = collections.Counter()
for line in open(sys.argv[1]).read().splitlines()[1:]:
    want[line.split('\t')[3]] += 1
got = collections.Counter()
for dp, _, fs in os.walk(sys.argv[2]):
    for f in fs:
        with open(os.path.join(dp, f), 'rb') as fh:
            got[hashlib.sha256(fh.read()).hexdigest()] += 1
print(sum(min(n, got[h]) for h, n in want.items()))
PY
)
}

TOTAL=$(($(wc -l < "$IMG.manifest") - 1))
BYTES=$(stat -c %s "$IMG")
cat "$IMG" > /dev/null  # warm the page cache
run cat cat "$IMG"
run brantlow_list "$CLI" carve "$IMG" --no-default-types --types four.types
run brantlow_all "$CLI" carve "$IMG"
run brantlow "$CLI" carve "$IMG" --no-default-types --types four.types --out "$OUT_BASE/out_brantlow"
score brantlow "$OUT_BASE/out_brantlow"
if command -v photorec > /dev/null; then
  run photorec photorec /log /d "$OUT_BASE/out_photorec/r" /cmd "$IMG" \
    partition_none,fileopt,everything,disable,jpg,enable,png,enable,pdf,enable,zip,enable,search
  score photorec "$OUT_BASE/out_photorec"
fi
if command -v foremost > /dev/null; then
  run foremost_q foremost -q -t jpg,png,pdf,zip -i "$IMG" -o "$OUT_BASE/out_foremost_q"
  score foremost_q "$OUT_BASE/out_foremost_q"
  run foremost foremost -t jpg,png,pdf,zip -i "$IMG" -o "$OUT_BASE/out_foremost"
  score foremost "$OUT_BASE/out_foremost"
fi

printf '\ncarve.img: %s MiB, %s files (JPEG/PNG/PDF/ZIP); median of %s runs; page cache warm\n\n' \
  $((BYTES >> 20)) "$TOTAL" "$RUNS"
printf '%-34s %8s %10s %10s %12s %14s\n' tool seconds MB/s "peak MiB" byte-exact "time vs ours"
for name in cat brantlow_list brantlow_all brantlow photorec foremost_q foremost; do
  [ -n "${SECS[$name]:-}" ] || continue
  s=${SECS[$name]}
  label=$name
  case $name in
    cat) label="cat IMG > /dev/null";;
    brantlow_list) label="brantlow-cli carve (list only)";;
    brantlow_all) label="... list only, all $(( $(stat -c %s "$BUILD/FileSetting.txt") / 171 )) types";;
    brantlow) label="brantlow-cli carve --out";;
    foremost_q) label="foremost -q";;
  esac
  printf '%-34s %8.2f %10.0f %10.1f %12s %13.2fx\n' "$label" "$s" \
    "$(echo "$BYTES / $s / 1000000" | bc -l)" "$(echo "${RSS[$name]} / 1024" | bc -l)" \
    "${EXACT[$name]:--}${EXACT[$name]:+/$TOTAL}" "$(echo "$s / ${SECS[brantlow]}" | bc -l)"
done
printf '\nlist only vs cat: %.2fx cat'"'"'s speed (all types: %.2fx); ' \
  "$(echo "${SECS[cat]} / ${SECS[brantlow_list]}" | bc -l)" "$(echo "${SECS[cat]} / ${SECS[brantlow_all]}" | bc -l)"
if [ -n "${SECS[photorec]:-}" ]; then
  printf 'with output vs photorec: %.1fx; ' "$(echo "${SECS[photorec]} / ${SECS[brantlow]}" | bc -l)"
  printf 'scan throughput (list only) vs photorec: %.1fx; ' "$(echo "${SECS[photorec]} / ${SECS[brantlow_list]}" | bc -l)"
fi
if [ -n "${SECS[foremost_q]:-}" ]; then
  printf 'vs foremost -q: %.1fx; ' "$(echo "${SECS[foremost_q]} / ${SECS[brantlow_list]}" | bc -l)"
fi
printf 'load average: %s\n' "$(cut -d' ' -f1-3 /proc/loadavg)"

# Files as people have them: every type on, byte-exact files with the right
# extension, and cut-off copies written exactly as their valid part.
SET=$WORK/set
if [ ! -f "$SET/carve_set.img" ]; then
  python3 "$ROOT/tests/raw/make_carve_set.py" "$SET" 17 > /dev/null || { echo "carve_set: tools missing"; exit 0; }
fi
rm -rf "$WORK/set_brantlow" "$WORK/set_photorec"; mkdir -p "$WORK/set_photorec"
"$CLI" carve "$SET/carve_set.img" --out "$WORK/set_brantlow" > /dev/null 2>&1
printf '\ncarve_set.img (%s MiB): whole files byte-exact / with the right extension / total; cut-off copies exact\n' \
  $(($(stat -c %s "$SET/carve_set.img") >> 20))
read -r e n t c k < <(python3 "$ROOT/bench/score_carve_set.py" "$WORK/set_brantlow" "$SET/carve_set.json")
printf '%-34s %3s / %3s / %3s   %s / %s\n' "brantlow-cli carve" "$e" "$n" "$t" "$c" "$k"
if command -v photorec > /dev/null; then
  photorec /log /d "$WORK/set_photorec/r" /cmd "$SET/carve_set.img" partition_none,fileopt,everything,enable,search \
    > /dev/null 2>&1 || true
  read -r e n t c k < <(python3 "$ROOT/bench/score_carve_set.py" "$WORK/set_photorec" "$SET/carve_set.json")
  printf '%-34s %3s / %3s / %3s   %s / %s\n' "photorec (every type)" "$e" "$n" "$t" "$c" "$k"
fi

# The families people lose: every file byte-exact with its own extension.
TS=$WORK/types
if [ ! -f "$TS/type_set.img" ]; then
  python3 "$ROOT/tests/raw/make_type_set.py" "$TS" 23 > /dev/null || echo "type_set: tools missing"
fi
if [ -f "$TS/type_set.img" ]; then
  rm -rf "$WORK/types_brantlow" "$WORK/types_photorec"; mkdir -p "$WORK/types_photorec"
  "$CLI" carve "$TS/type_set.img" --out "$WORK/types_brantlow" > /dev/null 2>&1
  photorec /log /d "$WORK/types_photorec/r" /cmd "$TS/type_set.img" partition_none,fileopt,everything,enable,search \
    > /dev/null 2>&1 || true
  printf '\ntype_set.img (%s files of %s families): byte-exact / with the right extension\n' \
    "$(python3 -c "import json,sys; m=json.load(open(sys.argv[1])); print(len(m['files']))" "$TS/type_set.json")" \
    "$(python3 -c "import json,sys; m=json.load(open(sys.argv[1])); print(len({f['ext'] for f in m['files']}))" "$TS/type_set.json")"
  for tool in brantlow photorec; do
    python3 - "$WORK/types_$tool" "$TS/type_set.json" "$tool" <<'PY'
import hashlib, json, os, sys
same = {"jpeg": "jpg", "tiff": "tif", "aiff": "aif", "qcow2": "qcow2", "tgz": "tgz", "gz": "gz", "oga": "ogg"}
got = {}
for dp, _, fs in os.walk(sys.argv[1]):
    for f in fs:
        if f in ("report.xml", "carve-summary.txt"):
            continue
        h = hashlib.sha256(open(os.path.join(dp, f), "rb").read()).hexdigest()
        got.setdefault(h, set()).add(same.get(f.rsplit(".", 1)[-1].lower(), f.rsplit(".", 1)[-1].lower()))
m = json.load(open(sys.argv[2]))
exact = sum(f["sha256"] in got for f in m["files"])
named = sum(f["sha256"] in got and same.get(f["ext"], f["ext"]) in got[f["sha256"]] for f in m["files"])
print("%-34s %3d / %3d / %3d" % (sys.argv[3], exact, named, len(m["files"])))
PY
  done
fi

# Photos in two pieces (a gap of 1 to 64 clusters) on a FAT volume.
FR=$WORK/fragments
[ -f "$FR/fragments.img" ] || python3 "$ROOT/tests/raw/make_fragment_set.py" "$FR" 24 5 > /dev/null || echo "fragment_set: tools missing"
if [ -f "$FR/fragments.img" ]; then
  rm -rf "$WORK/frag_brantlow" "$WORK/frag_photorec"; mkdir -p "$WORK/frag_photorec"
  /usr/bin/time -f "%e" -o "$WORK/time_frag" "$CLI" carve "$FR/fragments.img" --out "$WORK/frag_brantlow" > /dev/null 2>&1
  /usr/bin/time -f "%e" -o "$WORK/time_frag_pr" photorec /log /d "$WORK/frag_photorec/r" /cmd "$FR/fragments.img" \
    partition_none,fileopt,everything,disable,jpg,enable,search > /dev/null 2>&1 || true
  printf '\nfragments.img: photos in two pieces recovered byte-exact\n'
  for tool in brantlow photorec; do
    t=$(cat "$WORK/time_frag"); [ $tool = photorec ] && t=$(cat "$WORK/time_frag_pr")
    python3 - "$WORK/frag_$tool" "$FR/fragments.json" "$tool" "$t" <<'PY'
import hashlib, json, os, sys
got = set()
for dp, _, fs in os.walk(sys.argv[1]):
    for f in fs:
        got.add(hashlib.sha256(open(os.path.join(dp, f), "rb").read()).hexdigest())
two = [p for p in json.load(open(sys.argv[2]))["photos"] if len(p["pieces"]) == 2]
print("%-34s %3d / %3d   %s s" % (sys.argv[3], sum(p["sha256"] in got for p in two), len(two), sys.argv[4]))
PY
  done
fi

# Free space only on the NTFS bench image: time beside the whole volume, and
# no live file among what is written.
NTFS_IMG=${NTFS_IMG:-/tmp/brantlow-bench/ntfs.img}
if [ -f "$NTFS_IMG" ]; then
  cat "$NTFS_IMG" > /dev/null
  run ntfs_whole "$CLI" carve "$NTFS_IMG"
  run ntfs_free "$CLI" carve "$NTFS_IMG" --free-only
  # Every piece of every find, looked up in the clusters The Sleuth Kit
  # says are allocated (blkls -a).
  "$CLI" carve "$NTFS_IMG" --free-only --json > "$WORK/ntfs_free.json" 2> "$WORK/ntfs_free.err"
  "$CLI" carve "$NTFS_IMG" --free-only > /dev/null 2> "$WORK/ntfs_free.err"
  blkls -l -a "$NTFS_IMG" > "$WORK/ntfs_alloc.txt"
  live=$(python3 - "$WORK/ntfs_free.json" "$WORK/ntfs_alloc.txt" <<'PY'
import json, sys
alloc = set()
for line in open(sys.argv[2]):
    a = line.strip().split("|")
    if len(a) == 2 and a[0].isdigit():
        alloc.add(int(a[0]))
n = 0
for l in open(sys.argv[1]):
    j = json.loads(l)
    pieces = j.get("pieces", [[j["start"], j["size"]]])
    n += any(c in alloc for at, ln in pieces for c in range(at // 4096, (at + max(ln, 1) - 1) // 4096 + 1))
print("%d of %d finds touch an allocated cluster" % (n, sum(1 for _ in open(sys.argv[1]))))
PY
)
  printf '\n%s: carve %.2f s, --free-only %.2f s (%s); %s\n' "$NTFS_IMG" \
    "${SECS[ntfs_whole]}" "${SECS[ntfs_free]}" "$(grep -m1 'free space' "$WORK/ntfs_free.err")" "$live"
fi
