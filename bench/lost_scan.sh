#!/usr/bin/env bash
# Sector scan for lost volumes (brantlow-cli volumes --scan) beside
# `cat IMG > /dev/null` on the same image, warm page cache, same run:
#   1. the 2 GiB carve image (no volume: every sector is read and looked at);
#   2. the same 2 GiB with four volumes written into it and no partition
#      table (NTFS, FAT32, exFAT, ext4; the scan skips their bodies, and
#      with --no-skip reads them too), with TestDisk's search as the peer;
#   3. peak memory (GNU time) of a scan of a 1 TB sparse file: the whole
#      terabyte when FULL_TB=1 (a few minutes), else its first and last
#      32 GiB (the bound does not depend on where the scan is).
#   bench/lost_scan.sh   (BUILD=build BENCH_DIR=/tmp/brantlow-bench-lost RUNS=3 CARVE_IMG=...)
# The carve image is the one bench/carve.sh builds from ../shared/bench-images
# (reused when present). Needs mkntfs, mkfs.fat, mkfs.exfat, mke2fs, GNU time,
# testdisk (optional).
set -euo pipefail
ROOT=$(cd "$(dirname "$0")/.." && pwd)
BUILD=${BUILD:-$ROOT/build}
CLI=$BUILD/brantlow-cli
SHARED=${SHARED:-$ROOT/../shared/bench-images}
WORK=${BENCH_DIR:-/tmp/brantlow-bench-lost}
RUNS=${RUNS:-3}
CARVE_IMG=${CARVE_IMG:-/tmp/brantlow-bench-carve/carve.img}
[ -x "$CLI" ] || { echo "build brantlow-cli first (ninja -C $BUILD brantlow-cli)"; exit 1; }
mkdir -p "$WORK"
cd "$WORK"

if [ ! -f "$CARVE_IMG" ]; then
  CARVE_IMG=$WORK/carve.img
  [ -d samples ] || python3 "$SHARED/gen_samples.py" samples 150
  python3 "$SHARED/gen_carve.py" samples "$CARVE_IMG" 2048 42
fi

# The lost-table disk: the carve image with four volumes over it.
if [ ! -f lost.img ]; then
  cp "$CARVE_IMG" lost.img.tmp
  dd if=/dev/zero of=lost.img.tmp bs=512 count=1 conv=notrunc status=none
  place() {  # start-sector size-MiB command (%s = the volume file)
    local start=$1 mib=$2; shift 2
    rm -f vol.tmp && truncate -s "${mib}M" vol.tmp
    eval "${*//%s/vol.tmp}" >/dev/null 2>&1
    dd if=vol.tmp of=lost.img.tmp bs=1M seek=$((start / 2048)) conv=notrunc status=none
    rm -f vol.tmp
  }
  place 2048 256 mkntfs -F -Q -q -s 512 -c 4096 %s
  place $((2048 + 256 * 2048)) 256 mkfs.fat -F 32 %s
  place $((2048 + 768 * 2048)) 128 mkfs.exfat %s
  place $((2048 + 1280 * 2048)) 256 mke2fs -q -F -t ext4 %s
  mv lost.img.tmp lost.img
fi

median() { sort -n | awk '{a[NR]=$1} END {print a[int((NR+1)/2)]}'; }
seconds() {  # command... -> elapsed seconds
  local t0 t1
  t0=$(date +%s.%N); "$@" >/dev/null 2>&1; t1=$(date +%s.%N)
  echo "$t1 - $t0" | bc -l
}
timed() {  # label bytes command...
  local label=$1 bytes=$2; shift 2
  local s; s=$(for _ in $(seq "$RUNS"); do seconds "$@"; done | median)
  printf '%-44s %7.3f s  %7.0f MB/s\n' "$label" "$s" "$(echo "$bytes / $s / 1000000" | bc -l)" >&2
  echo "$s"
}

for img in "$CARVE_IMG" lost.img; do
  bytes=$(stat -c %s "$img")
  cat "$img" >/dev/null  # warm
  echo "== $img ($((bytes >> 20)) MiB), median of $RUNS"
  tc=$(timed "cat IMG > /dev/null" "$bytes" cat "$img")
  ts=$(timed "brantlow-cli volumes IMG --scan" "$bytes" "$CLI" volumes "$img" --scan --quiet)
  tn=$(timed "brantlow-cli volumes IMG --scan --no-skip" "$bytes" "$CLI" volumes "$img" --scan --no-skip --quiet)
  printf 'scan speed / cat speed: %.2f (skipping), %.2f (--no-skip)\n' "$(echo "$tc / $ts" | bc -l)" \
    "$(echo "$tc / $tn" | bc -l)"
  if command -v testdisk >/dev/null; then
    cp --reflink=auto "$img" td.img 2>/dev/null || cp "$img" td.img
    rm -f testdisk.log
    timed "testdisk /cmd IMG analyze,search (peer)" "$bytes" testdisk /log /cmd td.img analyze,search >/dev/null || true
    grep -E '^ +[0-9]+ [*PLE]' testdisk.log | tail -8 | sed 's/^/  testdisk: /' || true
    rm -f td.img
  fi
  "$CLI" volumes "$img" --scan --quiet 2>/dev/null | sed 's/^/  brantlow: /'
done

echo "== peak memory, 1 TB sparse file"
truncate -s 1T tb.img
rss() {  # command... -> max RSS in KiB
  /usr/bin/time -v "$@" 2>&1 >/dev/null | awk -F': ' '/Maximum resident/ {print $2}'
}
last=$(( (1 << 40) / 512 - 1 ))
if [ "${FULL_TB:-0}" = 1 ]; then
  t0=$(date +%s)
  echo "whole 1 TB: $(rss "$CLI" volumes tb.img --scan --quiet) KiB max RSS, $(( $(date +%s) - t0 )) s"
else
  echo "first 32 GiB: $(rss "$CLI" volumes tb.img --scan --quiet --end $(( 32 << 21 ))) KiB max RSS"
  echo "last 32 GiB:  $(rss "$CLI" volumes tb.img --scan --quiet --start $(( last - (32 << 21) ))) KiB max RSS"
fi
echo "2 GiB image:  $(rss "$CLI" volumes "$CARVE_IMG" --scan --quiet) KiB max RSS"
rm -f tb.img
