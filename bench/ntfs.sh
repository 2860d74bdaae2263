#!/usr/bin/env bash
# NTFS listing and recovery benchmark beside The Sleuth Kit (fls -r -p,
# tsk_recover) and ntfs-3g's ntfsundelete -s, on the images that
# ../shared/bench-images builds (50,000 files in nested folders; one folder
# of 100,000 entries). Needs root for the ntfs-3g FUSE mount that fills them.
#   bench/ntfs.sh [BENCH_DIR]
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$(pwd)
SHARED=${SHARED:-$ROOT/../shared/bench-images}
DIR=${1:-${BENCH_DIR:-/tmp/brantlow-bench}}
N=${N:-50000}
SZ=${SZ:-2048}
mkdir -p "$DIR"

# The 50,000-file image: the NTFS part of make_images.sh (without the ext4,
# FAT and carving images, which need loop mounts).
if [ ! -f "$DIR/ntfs.img" ]; then
  [ -d "$DIR/samples" ] || python3 "$SHARED/gen_samples.py" "$DIR/samples" 150
  MNT=$(mktemp -d "$DIR/mnt.XXXXXX")
  truncate -s ${SZ}M "$DIR/ntfs.tmp"
  mkntfs -q -F -Q -L bench_ntfs "$DIR/ntfs.tmp" >/dev/null 2>&1
  ntfs-3g -o compression "$DIR/ntfs.tmp" "$MNT"
  TRUTH_OUT="$DIR/ntfs.img.truth.tsv" python3 "$SHARED/fill_fs.py" "$MNT" "$N" "$DIR/samples" 7
  mkdir "$MNT/compressed"
  setfattr -n system.ntfs_attrib_be -v 0x00000800 "$MNT/compressed" || true
  for i in $(seq 1 40); do
    python3 -c "import random,sys; r=random.Random($i); sys.stdout.write(' '.join(r.choice(['ntfs','lznt1','cluster','compression','unit']) for _ in range(60000)))" > "$MNT/compressed/c$i.txt"
  done
  mkdir "$MNT/sparse"
  for i in $(seq 1 20); do
    dd if=/dev/urandom of="$MNT/sparse/s$i.bin" bs=64k count=1 seek=$((i*10)) status=none
  done
  sync
  rm -f "$MNT"/compressed/c{2,4,6,8,10,12,14,16,18,20}.txt "$MNT"/sparse/s{2,4,6,8,10}.bin
  sync; umount "$MNT"; rmdir "$MNT"
  mv "$DIR/ntfs.tmp" "$DIR/ntfs.img"
fi
if [ ! -f "$DIR/flat100k.img" ]; then
  bash "$SHARED/make_flat_ntfs.sh" "$DIR/flat100k.tmp" 100000 1024 >/dev/null
  mv "$DIR/flat100k.tmp" "$DIR/flat100k.img"
fi

[ -x build/bench/bench_ntfs ] || { cmake -S . -B build -G Ninja >/dev/null; ninja -C build bench_ntfs >/dev/null; }
BENCH=build/bench/bench_ntfs

# Median wall time (s) and peak RSS (KiB) of 3 runs of a command.
measure() {
  local times=() rss=0
  for _ in 1 2 3; do
    local out
    out=$( { /usr/bin/time -f "%e %M" "$@" >/dev/null 2>/dev/null; } 2>&1 | tail -1)
    times+=("${out% *}")
    local r=${out#* }
    [ "$r" -gt "$rss" ] && rss=$r
  done
  local med
  med=$(printf '%s\n' "${times[@]}" | sort -n | sed -n 2p)
  echo "$med $rss"
}

cat "$DIR/ntfs.img" "$DIR/flat100k.img" > /dev/null  # page cache

ratio() { python3 -c "import sys; a,b=float(sys.argv[1]),float(sys.argv[2]); print(f'{b/a:.1f}x' if a>0 else 'inf')" "$1" "$2"; }

echo "== listing, 50,000-file image ($DIR/ntfs.img)"
read -r ours ours_rss < <(measure "$BENCH" list "$DIR/ntfs.img")
read -r fls fls_rss < <(measure fls -r -p "$DIR/ntfs.img")
read -r und und_rss < <(measure ntfsundelete -s "$DIR/ntfs.img")
"$BENCH" stats "$DIR/ntfs.img"
printf '%-28s %8s s %8s KiB\n' "brantlow list" "$ours" "$ours_rss" "fls -r -p" "$fls" "$fls_rss" "ntfsundelete -s" "$und" "$und_rss"
echo "brantlow vs fls -r -p: $(ratio "$ours" "$fls") faster; vs ntfsundelete -s: $(python3 -c "print(f'{$ours/$und:.2f}x its time' if $und>0 else '-')")"

echo "== listing, one folder of 100,000 entries ($DIR/flat100k.img)"
read -r oursf oursf_rss < <(measure "$BENCH" list "$DIR/flat100k.img")
read -r flsf flsf_rss < <(measure fls -r -p "$DIR/flat100k.img")
printf '%-28s %8s s %8s KiB\n' "brantlow list" "$oursf" "$oursf_rss" "fls -r -p" "$flsf" "$flsf_rss"
echo "brantlow vs fls -r -p: $(ratio "$oursf" "$flsf") faster"

echo "== recovery of the deleted files into tmpfs"
OUT=$(mktemp -d /dev/shm/brantlow-bench.XXXXXX)
"$BENCH" recover-deleted "$DIR/ntfs.img" "$OUT/ours" > "$DIR/recover.txt"
read -r rec rec_rss < <(measure "$BENCH" recover-deleted "$DIR/ntfs.img" "$OUT/ours")
cat "$DIR/recover.txt"
rm -rf "$OUT/tsk"
read -r tsk tsk_rss < <(measure bash -c "rm -rf '$OUT/tsk'; tsk_recover '$DIR/ntfs.img' '$OUT/tsk'")
printf '%-28s %8s s %8s KiB\n' "brantlow recover (deleted)" "$rec" "$rec_rss" "tsk_recover (deleted)" "$tsk" "$tsk_rss"
echo "brantlow vs tsk_recover: $(ratio "$rec" "$tsk") faster"
rm -rf "$OUT"
