#!/usr/bin/env bash
# exFAT listing benchmark: brantlow-cli list beside The Sleuth Kit's
# `fls -r -p` on the same image (median wall time and peak memory), and the
# recovery of every file beside `tsk_recover -a`.
#
# Usage: bench/exfat.sh [NFILES] [WORKDIR]   (defaults: 10000, /tmp/brantlow-bench-exfat)
# The image (512 MiB, 4 KiB clusters) is made with mkfs.exfat on a loop
# device and filled through exfat-fuse (root; about 100 files/s), then kept
# in WORKDIR. IMG=/path/exfat.img uses an existing image instead (for
# example the one ../shared/bench-images/make_images.sh builds).
# Needs: exfatprogs, exfat-fuse, sleuthkit, python3, GNU time, bc.
set -euo pipefail
cd "$(dirname "$0")/.."
N=${1:-10000}
W=${2:-/tmp/brantlow-bench-exfat}
RUNS=${RUNS:-5}
mkdir -p "$W"
[ -f build/build.ninja ] || cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
ninja -C build brantlow-cli bench_exfat >/dev/null
CLI=$PWD/build/brantlow-cli

img=${IMG:-$W/nested_$N.img}
if [ ! -f "$img" ]; then
  echo "building $img ..." >&2
  truncate -s 512M "$img"
  loop=$(losetup -f --show "$img")
  mkfs.exfat -c 4K -L BENCH "$loop" >/dev/null
  mnt=$(mktemp -d "$W/mnt.XXXXXX")
  mount.exfat-fuse "$loop" "$mnt"
  # N files in folders of 100 (two levels), names long and short, sizes
  # 200 B - 32 KiB; every other file deleted, and 5% of the folders whole.
  python3 - "$mnt" "$N" <<'PY'
import os, random, shutil, sys
mnt, n = sys.argv[1], int(sys.argv[2])
rnd = random.Random(7)
files, dirs = [], []
for i in range(n):
    if i % 100 == 0:
        d = os.path.join(mnt, "top%03d" % (i // 2000), "folder %04d with a longer name" % (i // 100))
        os.makedirs(d, exist_ok=True)
        dirs.append(d)
    name = ("file%06d.dat" % i) if i % 3 else ("A document with a long name number %06d.txt" % i)
    p = os.path.join(d, name)
    with open(p, "wb") as f:
        f.write(os.urandom(rnd.randint(200, 32 * 1024)))
    files.append(p)
gone = set(rnd.sample(dirs, max(1, len(dirs) // 20)))
for k, p in enumerate(files):
    if os.path.dirname(p) not in gone and k % 2:
        os.unlink(p)
for d in gone:
    shutil.rmtree(d)
PY
  sync
  umount "$mnt"
  for _ in $(seq 50); do losetup -d "$loop" 2>/dev/null && break; sleep 0.1; done
  rmdir "$mnt"
  fsck.exfat -n "$img" >/dev/null
fi

# Median wall time (s) and peak RSS (KiB) of a command over RUNS runs.
measure() {
  for _ in $(seq "$RUNS"); do
    /usr/bin/time -f "%e %M" -o "$W/time.out" "$@" >/dev/null 2>&1
    cat "$W/time.out"
  done | sort -n | awk '{a[NR]=$1; m[NR]=$2} END {print a[int((NR+1)/2)], m[int((NR+1)/2)]}'
}

cat "$img" > /dev/null  # page cache for both tools
ours=$(measure "$CLI" list "$img" --quiet)
peer=$(measure fls -r -p -f exfat "$img")
entries=$("$CLI" list "$img" --quiet | wc -l)
deleted=$("$CLI" list "$img" --quiet | grep -c '^deleted' || true)
fentries=$(fls -r -p -f exfat "$img" | wc -l)
read -r ot om <<<"$ours"
read -r pt pm <<<"$peer"
echo "exFAT listing, $N files in nested folders (half deleted), 4 KiB clusters, median of $RUNS"
printf "%-28s %10s %12s %10s\n" "tool" "time (s)" "peak (MiB)" "entries"
printf "%-28s %10s %12.1f %10s\n" "brantlow-cli list" "$ot" "$(echo "$om/1024" | bc -l)" "$entries ($deleted deleted)"
printf "%-28s %10s %12.1f %10s\n" "fls -r -p" "$pt" "$(echo "$pm/1024" | bc -l)" "$fentries"
printf "ratio: %.1fx faster, %.1fx less memory\n" "$(echo "$pt/($ot+0.0001)" | bc -l)" "$(echo "$pm/$om" | bc -l)"

echo
echo "Recovery of every listed file (live and deleted) to $W/out, once"
rm -rf "$W/out" "$W/out-tsk"
/usr/bin/time -f "%e %M" -o "$W/time.out" "$CLI" recover "$img" --out "$W/out" --quiet >"$W/recover.txt" 2>&1 || true
read -r rt rm_ <"$W/time.out"
/usr/bin/time -f "%e %M" -o "$W/time.out" tsk_recover -a -f exfat "$img" "$W/out-tsk" >/dev/null 2>&1 || true
read -r tt tm <"$W/time.out"
printf "%-28s %10s %12.1f   %s\n" "brantlow-cli recover" "$rt" "$(echo "$rm_/1024" | bc -l)" "$(tail -1 "$W/recover.txt")"
printf "%-28s %10s %12.1f   %s files\n" "tsk_recover -a" "$tt" "$(echo "$tm/1024" | bc -l)" "$(find "$W/out-tsk" -type f | wc -l)"

echo
echo "in-process (scan + tree walk, no output): $("$PWD/build/bench/bench_exfat" "$img" 5)"
echo
echo "One folder of F files (made-up volume, in-process): time per entry"
for f in 10000 50000 100000; do
  printf "%-8s %s\n" "$f" "$("$PWD/build/bench/bench_exfat" --flat "$f" 3)"
done
