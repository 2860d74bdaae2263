#!/usr/bin/env bash
# Every speed figure in one run, each beside its peer: listings against The
# Sleuth Kit's fls, recovery against TestDisk and ext4magic, carving against
# PhotoRec, the carving and sector-scan reads against cat. Each row runs the
# two commands in turn (ours, peer, ours, peer …) RUNS times, so a ratio is
# taken pair by pair from the same moment of a shared machine; the table
# shows the medians (wall seconds), the median of the pair ratios and the
# peak memory of each side. Page cache warm; outputs on tmpfs.
#   bench/all.sh [BENCH_DIR]     (BENCH_DIR=/tmp/brantlow-bench RUNS=5 SLOW_RUNS=3
#                                 BUILD=build OUT_BASE=/dev/shm ONLY=regex of row keys)
# Images missing from BENCH_DIR are built by the per-file-system scripts
# (bench/ntfs.sh, fat.sh, ext.sh, hfsplus.sh, carve.sh with IMAGES_ONLY=1),
# which need root, ../shared/bench-images and the tools of scripts/deps.sh.
# Image paths can be given one by one: NTFS_IMG FLAT_IMG FAT_IMG EXT_IMG
# HFS_IMG CARVE_IMG.
set -euo pipefail
ROOT=$(cd "$(dirname "$0")/.." && pwd)
cd "$ROOT"
DIR=$(mkdir -p "${1:-${BENCH_DIR:-/tmp/brantlow-bench}}" && cd "${1:-${BENCH_DIR:-/tmp/brantlow-bench}}" && pwd)
BUILD=${BUILD:-$ROOT/build}
RUNS=${RUNS:-5}
SLOW_RUNS=${SLOW_RUNS:-3}
OUT_BASE=${OUT_BASE:-/dev/shm}
ONLY=${ONLY:-.}
CLI=$BUILD/brantlow-cli
[ -x "$CLI" ] || { echo "build brantlow-cli first (cmake --build $BUILD --target brantlow-cli)"; exit 1; }

NTFS_IMG=${NTFS_IMG:-$DIR/ntfs.img}
FLAT_IMG=${FLAT_IMG:-$DIR/flat100k.img}
FAT_IMG=${FAT_IMG:-$DIR/fat32.img}
EXT_IMG=${EXT_IMG:-$DIR/ext4.img}
HFS_IMG=${HFS_IMG:-$DIR/hfsplus50k.img}
CARVE_IMG=${CARVE_IMG:-$DIR/carve.img}
[ -f "$NTFS_IMG" ] && [ -f "$FLAT_IMG" ] || {
  IMAGES_ONLY=1 bench/ntfs.sh "$DIR" >&2
  NTFS_IMG=$DIR/ntfs.img FLAT_IMG=$DIR/flat100k.img
}
[ -f "$FAT_IMG" ] || { IMAGES_ONLY=1 bench/fat.sh 20000 "$DIR/fat" >&2; FAT_IMG=$DIR/fat/nested_20000.img; }
[ -f "$EXT_IMG" ] || { IMAGES_ONLY=1 bench/ext.sh "$DIR" >&2; EXT_IMG=$DIR/ext4.img; }
[ -f "$HFS_IMG" ] || { IMAGES_ONLY=1 bench/hfsplus.sh 50000 "$DIR/hfs" >&2; HFS_IMG=$DIR/hfs/nested_50000.img; }
CARVE_WORK=$DIR/carve-work
mkdir -p "$CARVE_WORK"
if [ ! -f "$CARVE_IMG" ]; then
  IMAGES_ONLY=1 BENCH_DIR="$CARVE_WORK" BUILD="$BUILD" bench/carve.sh >&2
  CARVE_IMG=$CARVE_WORK/carve.img
else
  # carve.sh writes the four-type settings file beside the image it finds.
  ln -sf "$CARVE_IMG" "$CARVE_WORK/carve.img"
  IMAGES_ONLY=1 BENCH_DIR="$CARVE_WORK" BUILD="$BUILD" bench/carve.sh >&2
fi
TYPES=$CARVE_WORK/four.types

TMP=$(mktemp -d "$OUT_BASE/brantlow-all.XXXXXX")
trap 'rm -rf "$TMP"' EXIT

# One timed run: "wall cpu peak_KiB" of CMD..., its output thrown away.
timed() {
  /usr/bin/time -f "%e %U %S %M" -o "$TMP/time" "$@" > /dev/null 2>&1 || true
  tail -1 "$TMP/time" | awk '{printf "%s %.2f %s\n", $1, $2 + $3, $4}'
}
median() { sort -g | awk '{a[NR]=$1} END {print a[int((NR+1)/2)]}'; }
maxof() { sort -g | tail -1; }

# pair KEY "work" "peer label" TARGET RUNS PREP OURS PEER
#   PREP: a shell line run before every timed run (emptying an output folder);
#   OURS/PEER: shell lines, run by bash -c. TARGET: ">=N" (peer/ours at least
#   N, "x faster"), "<S" (ours under S seconds) or "keep>=N".
ROWS=()
pair() {
  local key=$1 work=$2 peerName=$3 target=$4 runs=$5 prep=$6 ours=$7 peer=$8
  [[ $key =~ $ONLY ]] || return 0
  local ot=() pt=() oc=() pc=() om=() pm=() ratios=() cratios=()
  bash -c "$prep"; bash -c "$ours" > /dev/null 2>&1 || true  # warm-up
  for _ in $(seq "$runs"); do
    bash -c "$prep"; read -r t c m < <(timed bash -c "$ours"); ot+=("$t"); oc+=("$c"); om+=("$m")
    bash -c "$prep"; read -r u d n < <(timed bash -c "$peer"); pt+=("$u"); pc+=("$d"); pm+=("$n")
    ratios+=("$(awk -v a="$t" -v b="$u" 'BEGIN {printf "%.4f", (a > 0 ? b / a : 0)}')")
    cratios+=("$(awk -v a="$c" -v b="$d" 'BEGIN {printf "%.4f", (a > 0 ? b / a : 0)}')")
  done
  bash -c "$prep"
  local o p r oC pC rC
  oC=$(printf '%s\n' "${oc[@]}" | median)
  pC=$(printf '%s\n' "${pc[@]}" | median)
  rC=$(printf '%s\n' "${cratios[@]}" | median)
  o=$(printf '%s\n' "${ot[@]}" | median)
  p=$(printf '%s\n' "${pt[@]}" | median)
  r=$(printf '%s\n' "${ratios[@]}" | median)
  ROWS+=("$work|$o|$(( $(printf '%s\n' "${om[@]}" | maxof) / 1024 ))|$peerName|$p|$(( $(printf '%s\n' "${pm[@]}" | maxof) / 1024 ))|$r|$target|$oC|$pC|$rC")
  echo "done: $work" >&2
}

cat "$NTFS_IMG" "$FLAT_IMG" "$FAT_IMG" "$EXT_IMG" "$HFS_IMG" "$CARVE_IMG" > /dev/null  # page cache

pair ntfs "NTFS listing, 50,000 files, list --json" "fls -r -p" ">=10" "$RUNS" : \
  "exec '$CLI' list '$NTFS_IMG' --json" "exec fls -r -p '$NTFS_IMG'"
pair flat "one NTFS folder of 100,000 entries, list --json" "fls -r -p" "<0.25" "$SLOW_RUNS" : \
  "exec '$CLI' list '$FLAT_IMG' --json" "exec fls -r -p '$FLAT_IMG'"
pair ntfs_recover "recover the deleted NTFS files to tmpfs" "TestDisk undelete" ">=2" "$RUNS" \
  "rm -rf '$TMP/out'; mkdir -p '$TMP/out'" \
  "exec '$CLI' recover '$NTFS_IMG' --deleted-only --quiet --out '$TMP/out/ours'" \
  "cd '$TMP/out' && exec testdisk /cmd '$NTFS_IMG' partition_none,advanced,undelete,allundelete"
pair fat "FAT32 listing, 20,000 files" "fls -r -p" ">=25" "$RUNS" : \
  "exec '$CLI' list '$FAT_IMG' --quiet" "exec fls -r -p '$FAT_IMG'"
pair ext "ext4 listing, 50,000 files" "fls -r -p" ">=3" "$RUNS" : \
  "exec '$CLI' list '$EXT_IMG' --quiet" "exec fls -r -p '$EXT_IMG'"
pair hfs "HFS+ listing, 50,000 files" "fls -r -p" ">=3" "$RUNS" : \
  "exec '$CLI' list '$HFS_IMG' --quiet" "exec fls -r -p -f hfs '$HFS_IMG'"
pair carve "carving 2 GiB, list only (4 types)" "cat" ">=0.9" "$RUNS" : \
  "exec '$CLI' carve '$CARVE_IMG' --no-default-types --types '$TYPES'" "exec cat '$CARVE_IMG'"
pair sector "sector scan 2 GiB, --no-skip" "cat" ">=0.9" "$RUNS" : \
  "exec '$CLI' volumes '$CARVE_IMG' --scan --no-skip" "exec cat '$CARVE_IMG'"
pair carve_out "carving with output (4 types)" "PhotoRec" "keep>=8" "$SLOW_RUNS" \
  "rm -rf '$TMP/out'; mkdir -p '$TMP/out/pr'" \
  "exec '$CLI' carve '$CARVE_IMG' --no-default-types --types '$TYPES' --out '$TMP/out/ours'" \
  "exec photorec /d '$TMP/out/pr/r' /cmd '$CARVE_IMG' partition_none,fileopt,everything,disable,jpg,enable,png,enable,pdf,enable,zip,enable,search"
if command -v ext4magic > /dev/null; then
  pair ext_recover "ext4 recovery of deleted files" "ext4magic -r" "keep>=20" "$SLOW_RUNS" \
    "rm -rf '$TMP/out'; mkdir -p '$TMP/out/em'" \
    "exec '$CLI' recover '$EXT_IMG' --deleted-only --quiet --out '$TMP/out/ours'" \
    "exec ext4magic '$EXT_IMG' -r -d '$TMP/out/em'"
fi

model=$(awk -F': ' '/^model name/ {print $2; exit}' /proc/cpuinfo)
printf '\n%s, %s cores, %s GiB; %s; load average %s\n' "${model:-unknown CPU}" "$(nproc)" \
  "$(awk '/MemTotal/ {printf "%d", $2 / 1048576}' /proc/meminfo)" "$(date -u '+%Y-%m-%d %H:%M UTC')" \
  "$(cut -d' ' -f1-3 /proc/loadavg)"
printf 'median of %s paired runs (%s for the slow rows); wall seconds, then CPU seconds (user + system) in\n' \
  "$RUNS" "$SLOW_RUNS"
printf 'brackets; peak memory in MiB; ratio = peer / ours, pair by pair (wall, CPU); met: by the wall ratio\n\n'
printf '| work | ours | peak | peer | peer time | peer peak | ratio | target | met |\n'
printf '|---|---|---|---|---|---|---|---|---|\n'
for r in "${ROWS[@]}"; do
  IFS='|' read -r work o om peerName p pm ratio target oC pC rC <<<"$r"
  met=$(awk -v o="$o" -v r="$ratio" -v t="$target" 'BEGIN {
    sub(/^keep/, "", t)
    if (substr(t, 1, 2) == ">=") ok = r >= substr(t, 3) + 0
    else if (substr(t, 1, 1) == "<") ok = o < substr(t, 2) + 0
    print ok ? "yes" : "no" }')
  if [ "$peerName" = cat ]; then
    shown="$(printf '%.2f' "$ratio")x cat ($(printf '%.2f' "$rC"))"
  else
    shown="$(printf '%.1f' "$ratio")x ($(printf '%.1f' "$rC"))"
  fi
  printf '| %s | %s s (%s) | %s | %s | %s s (%s) | %s | %s | %s | %s |\n' "$work" "$o" "$oC" "$om" "$peerName" "$p" \
    "$pC" "$pm" "$shown" "$target" "$met"
done
