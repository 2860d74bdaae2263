#!/usr/bin/env bash
# Reading speed through each image container beside the raw image: one
# 2 GiB disk (1 GiB of random bytes like media files, 512 MiB of text, 512
# MiB of zeros) as raw, split raw, E01 (single and split), VHD fixed and
# dynamic, VHDX, VMDK and QCOW2 (plain and compressed). For each, bench_images
# opens it by content and reads it from start to end in 1 MiB pieces, then
# 20,000 scattered 4 KiB pieces; The Sleuth Kit's img_cat, which reads the
# same containers through the same libraries (all but QCOW2), is the peer for
# the sequential read. Every container file is read once first, so the
# figures are the containers' own cost over the page cache, not the disk's.
#
# Usage: bench/images.sh [WORKDIR]     (default /tmp/brantlow-bench-images; about 12 GB)
# Needs: qemu-utils, ewf-tools, sleuthkit (img_cat, optional), GNU time.
set -euo pipefail
cd "$(dirname "$0")/.."
W=${1:-/tmp/brantlow-bench-images}
RUNS=${RUNS:-3}
mkdir -p "$W"
[ -f build/build.ninja ] || cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DBRANTLOW_GUI=OFF >/dev/null
ninja -C build bench_images >/dev/null
BENCH=$PWD/build/bench/bench_images

raw=$W/raw.img
if [ ! -f "$raw" ]; then
  echo "building $raw ..." >&2
  truncate -s 2G "$raw.tmp"
  printf 'label: dos\nstart=2048, type=7\n' | sfdisk -q "$raw.tmp"
  head -c 1G /dev/urandom | dd of="$raw.tmp" bs=1M seek=1 conv=notrunc status=none iflag=fullblock
  (set +o pipefail; head -c 400M /dev/urandom | base64 | head -c 512M |
    dd of="$raw.tmp" bs=1M seek=1025 conv=notrunc status=none iflag=fullblock)
  mv "$raw.tmp" "$raw"
fi
build_image() {  # first file, command (run in $W)
  local name=$1; shift
  [ -e "$W/$name" ] && return 0
  echo "building $name ..." >&2
  (cd "$W" && "$@") >/dev/null 2>&1 </dev/null
}
build_image split.001 split -b 640M -d -a 3 --numeric-suffixes=1 raw.img split.
build_image single.E01 ewfacquire -u -q -c fast -t single raw.img
build_image seg.E01 ewfacquire -u -q -c fast -S 400MiB -t seg raw.img
build_image fixed.vhd qemu-img convert -f raw -O vpc -o subformat=fixed,force_size=on raw.img fixed.vhd
build_image dynamic.vhd qemu-img convert -f raw -O vpc -o subformat=dynamic,force_size=on raw.img dynamic.vhd
build_image vhdx.vhdx qemu-img convert -f raw -O vhdx raw.img vhdx.vhdx
build_image vmdk.vmdk qemu-img convert -f raw -O vmdk raw.img vmdk.vmdk
build_image qcow2.qcow2 qemu-img convert -f raw -O qcow2 raw.img qcow2.qcow2
build_image packed.qcow2 qemu-img convert -c -f raw -O qcow2 raw.img packed.qcow2

median() { sort -n | awk '{a[NR]=$1} END {print a[int((NR+1)/2)]}'; }

printf '%-14s %8s  %s\n' "image" "on disk" "Brantlow (median of $RUNS runs by sequential time) | img_cat, sequential"
for f in raw.img split.001 single.E01 seg.E01 fixed.vhd dynamic.vhd vhdx.vhdx vmdk.vmdk qcow2.qcow2 packed.qcow2; do
  [ -e "$W/$f" ] || continue
  files=$(ls "$W/${f%%.*}".*)
  cat $files >/dev/null
  size=$(du -cb $files | tail -1 | cut -f1)
  lines=()
  for _ in $(seq "$RUNS"); do lines+=("$("$BENCH" "$W/$f")"); done
  mid=$(printf '%s\n' "${lines[@]}" | awk '{for (i = 1; i < NF; i++) if ($i == "sequential") print $(i + 1) "\t" $0}' |
        sort -n | sed -n "$(( (RUNS + 1) / 2 ))p" | cut -f2-)
  peer="-"
  if command -v img_cat >/dev/null; then
    case $f in
      *.qcow2) peer="no QCOW2" ;;
      *) peer="$(for _ in $(seq "$RUNS"); do /usr/bin/time -f %e img_cat "$W/$f" 2>&1 >/dev/null | tail -1; done | median) s" ;;
    esac
  fi
  printf '%-14s %5d MB  %s | %s\n' "$f" $((size / 1000000)) "$mid" "$peer"
done
