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

[ -z "${IMAGES_ONLY:-}" ] || exit 0  # bench/all.sh: the images only

[ -x build/bench/bench_ntfs ] || { cmake -S . -B build -G Ninja >/dev/null; ninja -C build bench_ntfs >/dev/null; }
BENCH=build/bench/bench_ntfs

# Median of 3 runs: CPU time (user + sys, s), wall time (s) and peak RSS
# (KiB). The ratios use CPU time: the machine is shared, so wall time
# carries other jobs' load (printed beside it).
measure() {
  local rows=()
  for _ in 1 2 3; do
    local tf
    tf=$(mktemp)
    /usr/bin/time -o "$tf" -f "%U %S %e %M" "$@" >/dev/null 2>&1 || true
    rows+=("$(tail -1 "$tf" | awk '{printf "%.2f %s %s", $1 + $2, $3, $4}')")
    rm -f "$tf"
  done
  printf '%s\n' "${rows[@]}" | sort -n | sed -n 2p
}

cat "$DIR/ntfs.img" "$DIR/flat100k.img" > /dev/null  # page cache

ratio() { python3 -c "import sys; a,b=float(sys.argv[1]),float(sys.argv[2]); print(f'{b/a:.1f}x' if a>0 else 'inf')" "$1" "$2"; }
row() { printf '%-30s cpu %6s s  wall %6s s  peak %7s KiB\n' "$@"; }

echo "== listing, 50,000-file image ($DIR/ntfs.img)"
read -r ours oursw ours_rss < <(measure "$BENCH" list "$DIR/ntfs.img")
read -r fls flsw fls_rss < <(measure fls -r -p "$DIR/ntfs.img")
read -r und undw und_rss < <(measure ntfsundelete -s "$DIR/ntfs.img")
"$BENCH" stats "$DIR/ntfs.img"
row "brantlow list" "$ours" "$oursw" "$ours_rss"
row "fls -r -p" "$fls" "$flsw" "$fls_rss"
row "ntfsundelete -s" "$und" "$undw" "$und_rss"
echo "brantlow vs fls -r -p: $(ratio "$ours" "$fls") faster; vs ntfsundelete -s: $(python3 -c "print(f'{$ours/max($und,0.01):.2f}x its time')")"

echo "== listing, one folder of 100,000 entries ($DIR/flat100k.img)"
read -r oursf oursfw oursf_rss < <(measure "$BENCH" list "$DIR/flat100k.img")
read -r flsf flsfw flsf_rss < <(measure fls -r -p "$DIR/flat100k.img")
"$BENCH" stats "$DIR/flat100k.img"
row "brantlow list" "$oursf" "$oursfw" "$oursf_rss"
row "fls -r -p" "$flsf" "$flsfw" "$flsf_rss"
echo "brantlow vs fls -r -p: $(ratio "$oursf" "$flsf") faster"

echo "== recovery of the deleted files into tmpfs"
OUT=$(mktemp -d /dev/shm/brantlow-bench.XXXXXX)
"$BENCH" recover-deleted "$DIR/ntfs.img" "$OUT/ours" > "$DIR/recover.txt"
read -r rec recw rec_rss < <(measure "$BENCH" recover-deleted "$DIR/ntfs.img" "$OUT/ours")
cat "$DIR/recover.txt"
read -r tsk tskw tsk_rss < <(measure bash -c "rm -rf '$OUT/tsk'; tsk_recover '$DIR/ntfs.img' '$OUT/tsk'")
echo "tsk_recover: $(find "$OUT/tsk" -type f | wc -l) files"
row "brantlow recover (deleted)" "$rec" "$recw" "$rec_rss"
row "tsk_recover (deleted)" "$tsk" "$tskw" "$tsk_rss"
echo "brantlow vs tsk_recover: $(ratio "$rec" "$tsk") faster"
rm -rf "$OUT"
