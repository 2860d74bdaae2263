#!/usr/bin/env bash
# Listing at scale: NTFS volumes of 100,000, 1,000,000 and 10,000,000 MFT
# records (folders of 10,000 files, every other one deleted), written by
# make_ntfs_records.py without a mount (mkntfs only; the images are sparse:
# about 1.06 KiB of real disk per record, 11 GB for 10 million). For each:
# CPU time, wall time and peak memory (max RSS) of `list --quiet` and
# `list --json`, in bytes per listed entry, beside The Sleuth Kit's
# `fls -r -p` in the same run (fls only up to FLS_MAX records: on 1,000,000
# it already takes many minutes).
#   bench/scale.sh [BENCH_DIR]   (BENCH_DIR=/tmp/brantlow-bench, BUILD=build,
#                                 SIZES="100000 1000000 10000000", RUNS=3,
#                                 FLS_MAX=1000000, FLS_RUNS=1)
set -euo pipefail
ROOT=$(cd "$(dirname "$0")/.." && pwd)
DIR=${1:-${BENCH_DIR:-/tmp/brantlow-bench}}
BUILD=${BUILD:-$ROOT/build}
SIZES=${SIZES:-100000 1000000 10000000}
RUNS=${RUNS:-3}
FLS_MAX=${FLS_MAX:-1000000}
FLS_RUNS=${FLS_RUNS:-1}
CLI=$BUILD/brantlow-cli
[ -x "$CLI" ] || { echo "build brantlow-cli first (cmake --build $BUILD --target brantlow-cli)"; exit 1; }
mkdir -p "$DIR"
TMP=$(mktemp -d)
trap 'rm -rf "$TMP"' EXIT

for n in $SIZES; do
  img=$DIR/records$n.img
  [ -f "$img" ] || python3 "$ROOT/bench/make_ntfs_records.py" "$img" "$n" >&2
done

# One run: "cpu wall peak_KiB" of CMD..., its output counted into $TMP/lines.
timed() {
  /usr/bin/time -f "%U %S %e %M" -o "$TMP/time" "$@" 2> /dev/null | wc -l > "$TMP/lines" || true
  tail -1 "$TMP/time" | awk '{printf "%.2f %s %s\n", $1 + $2, $3, $4}'
}
median() { sort -g | awk '{a[NR]=$1} END {print a[int((NR+1)/2)]}'; }

# The program's own memory: the peak of listing an empty volume, taken off
# the peaks below for the "above empty" column.
EMPTY=$DIR/records-empty.img
if [ ! -f "$EMPTY" ]; then
  truncate -s 64M "$EMPTY.tmp" && mkntfs -q -F -Q "$EMPTY.tmp" > /dev/null 2>&1 && mv "$EMPTY.tmp" "$EMPTY"
fi
read -r _ _ BASE < <(timed "$CLI" list "$EMPTY" --quiet)

ROWS=()
for n in $SIZES; do
  img=$DIR/records$n.img
  cat "$img" > /dev/null 2>&1 || true  # page cache, where it fits
  for mode in --quiet --json; do
    cpu=() wall=() rss=()
    for _ in $(seq "$RUNS"); do
      read -r c w m < <(timed "$CLI" list "$img" $mode)
      cpu+=("$c"); wall+=("$w"); rss+=("$m")
    done
    lines=$(cat "$TMP/lines")
    c=$(printf '%s\n' "${cpu[@]}" | median); w=$(printf '%s\n' "${wall[@]}" | median)
    m=$(printf '%s\n' "${rss[@]}" | sort -g | tail -1)
    ROWS+=("$n|list $mode|$lines|$c|$w|$m")
    echo "done: $n list $mode" >&2
  done
  if [ "$n" -le "$FLS_MAX" ]; then
    cpu=() wall=() rss=()
    for _ in $(seq "$FLS_RUNS"); do
      read -r c w m < <(timed fls -r -p "$img")
      cpu+=("$c"); wall+=("$w"); rss+=("$m")
    done
    lines=$(cat "$TMP/lines")
    ROWS+=("$n|fls -r -p|$lines|$(printf '%s\n' "${cpu[@]}" | median)|$(printf '%s\n' "${wall[@]}" | median)|$(printf '%s\n' "${rss[@]}" | sort -g | tail -1)")
    echo "done: $n fls" >&2
  fi
done

model=$(awk -F': ' '/^model name/ {print $2; exit}' /proc/cpuinfo)
printf '\n%s, %s cores; %s; load average %s\n' "${model:-unknown CPU}" "$(nproc)" \
  "$(date -u '+%Y-%m-%d %H:%M UTC')" "$(cut -d' ' -f1-3 /proc/loadavg)"
printf 'CPU seconds (user + system) and wall seconds: median of %s runs (fls: %s); peak = max RSS\n' "$RUNS" "$FLS_RUNS"
printf 'bytes/entry = peak / entries listed; above empty: (peak - %s KiB, our peak on an empty volume) / entries\n' "$BASE"
printf 'vs fls = fls CPU / our CPU on the same image\n\n'
printf '| records | command | entries | CPU s | wall s | peak MiB | bytes/entry | above empty | vs fls |\n|---|---|---|---|---|---|---|---|---|\n'
for r in "${ROWS[@]}"; do
  IFS='|' read -r n cmd lines c w m <<<"$r"
  fls=""
  for q in "${ROWS[@]}"; do
    IFS='|' read -r n2 cmd2 _ c2 _ _ <<<"$q"
    [ "$n2" = "$n" ] && [ "$cmd2" = "fls -r -p" ] && fls=$c2
  done
  vs="-"
  if [ -n "$fls" ] && [ "$cmd" != "fls -r -p" ]; then
    vs=$(awk -v a="$c" -v b="$fls" 'BEGIN {printf "%.0fx", b / (a > 0.01 ? a : 0.01)}')
  fi
  above="-"
  [ "$cmd" = "fls -r -p" ] || above=$(awk -v m="$m" -v b="$BASE" -v l="$lines" 'BEGIN {printf "%.0f", (l > 0 ? (m - b) * 1024 / l : 0)}')
  printf '| %s | %s | %s | %s | %s | %s | %s | %s | %s |\n' "$n" "$cmd" "$lines" "$c" "$w" "$((m / 1024))" \
    "$(awk -v m="$m" -v l="$lines" 'BEGIN {printf "%.0f", (l > 0 ? m * 1024 / l : 0)}')" "$above" "$vs"
done
