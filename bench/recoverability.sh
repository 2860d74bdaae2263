#!/usr/bin/env bash
# Recoverability benchmark: the cost of reading each file system's
# allocation map once (it grows with the volume, not with the files) and of
# the state of every deleted file, on large sparse volumes made by the
# formatters (no mount needed) and on the fixtures.
#   bench/recoverability.sh [BENCH_DIR]
set -euo pipefail
cd "$(dirname "$0")/.."
DIR=${1:-${BENCH_DIR:-/tmp/brantlow-bench}}
FIX=${BRANTLOW_FIXTURES:-$(pwd)/../shared/fixtures}
mkdir -p "$DIR"
[ -x build/bench/bench_recoverability ] || ninja -C build bench_recoverability >/dev/null
B=build/bench/bench_recoverability

make() {  # name size command...
  local f="$DIR/rec_$1.img"; shift
  local size=$1; shift
  [ -f "$f" ] && return
  truncate -s "$size" "$f.tmp"
  "$@" "$f.tmp" >/dev/null 2>&1
  mv "$f.tmp" "$f"
}
command -v mkntfs >/dev/null && make ntfs 256G mkntfs -q -F -Q -c 4096
command -v mkfs.fat >/dev/null && make fat32 32G mkfs.fat -F 32 -s 8
command -v mkfs.exfat >/dev/null && make exfat 256G mkfs.exfat
command -v mkfs.ext4 >/dev/null && make ext4 256G mkfs.ext4 -q -F

for fs in ntfs fat32 exfat ext4; do
  [ -f "$DIR/rec_$fs.img" ] || continue
  printf '%-6s %-5s ' "$fs" "$(du -h --apparent-size "$DIR/rec_$fs.img" | cut -f1)"
  $B "$DIR/rec_$fs.img" "$fs" 3
done
for f in ntfs:ntfs fat32:fat32 exfat:exfat ext4:ext4 hfsplus:hfs+; do
  img=${f%%:*}; fs=${f##*:}
  [ -f "$FIX/$img.img.xz" ] || continue
  [ -f "$DIR/fix_$img.img" ] || xz -dc "$FIX/$img.img.xz" > "$DIR/fix_$img.img"
  printf '%-6s %-5s ' "$img" fixt
  $B "$DIR/fix_$img.img" "$fs" 3
done
