#!/usr/bin/env bash
# HFS+ listing benchmark beside The Sleuth Kit's `fls -r -p`: a volume of
# N files in 200 folders (one in ten deleted) made by the test writer, and
# one folder of F files for the growth of listing time with folder size.
#   bench/hfsplus.sh [N] [WORKDIR]     (defaults: 50000, /tmp/brantlow-bench-hfs)
# Needs: sleuthkit, GNU time.
set -euo pipefail
cd "$(dirname "$0")/.."
N=${1:-50000}
W=${2:-/tmp/brantlow-bench-hfs}
RUNS=${RUNS:-5}
mkdir -p "$W"
[ -f build/build.ninja ] || cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
nice ninja -C build brantlow-cli bench_hfsplus >/dev/null
CLI=$PWD/build/brantlow-cli
INPROC=$PWD/build/bench/bench_hfsplus
img=$W/nested_$N.img
[ -f "$img" ] || "$INPROC" make "$img" "$N"

[ -z "${IMAGES_ONLY:-}" ] || exit 0  # bench/all.sh: the images only

measure() {
  local t
  for _ in $(seq "$RUNS"); do
    /usr/bin/time -f "%e %M" -o "$W/time.out" "$@" >/dev/null 2>&1
    cat "$W/time.out"
  done | sort -n | awk '{a[NR]=$1; m[NR]=$2} END {print a[int((NR+1)/2)], m[int((NR+1)/2)]}'
}

cat "$img" > /dev/null
ours=$(measure "$CLI" list "$img" --quiet)
peer=$(measure fls -r -p -f hfs "$img")
entries=$("$CLI" list "$img" --quiet | wc -l)
deleted=$("$CLI" list "$img" --quiet | grep -c '^deleted' || true)
fentries=$(fls -r -p -f hfs "$img" | wc -l)
read -r ot om <<<"$ours"
read -r pt pm <<<"$peer"
echo "HFS+ listing, $N files in 200 folders (1 in 10 deleted), 4 KiB blocks, 8 KiB catalog nodes, median of $RUNS"
printf "%-28s %10s %12s %10s\n" "tool" "time (s)" "peak (MiB)" "entries"
printf "%-28s %10s %12.1f %10s\n" "brantlow-cli list" "$ot" "$(echo "$om/1024" | bc -l)" "$entries ($deleted deleted)"
printf "%-28s %10s %12.1f %10s\n" "fls -r -p" "$pt" "$(echo "$pm/1024" | bc -l)" "$fentries"
echo
echo "in-process (scan + tree walk, no output): $("$INPROC" "$img" 5)"
