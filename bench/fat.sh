#!/usr/bin/env bash
# FAT32 listing benchmark: brantlow-cli list beside The Sleuth Kit's
# `fls -r -p` on the same image, plus a check that listing time grows
# linearly with the size of one folder.
#
# Usage: bench/fat.sh [NFILES] [WORKDIR]     (defaults: 20000, /tmp/brantlow-bench-fat)
# Images are written with mkfs.fat and mtools (no mount) and kept in WORKDIR
# for later runs. Needs: mtools, dosfstools, sleuthkit, python3, GNU time.
set -euo pipefail
cd "$(dirname "$0")/.."
N=${1:-20000}
W=${2:-/tmp/brantlow-bench-fat}
RUNS=${RUNS:-5}
export MTOOLS_SKIP_CHECK=1
mkdir -p "$W"
[ -f build/build.ninja ] || cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
ninja -C build brantlow-cli bench_fat >/dev/null
CLI=$PWD/build/brantlow-cli
INPROC=$PWD/build/bench/bench_fat

# Nested image: 50 folders x 4 subfolders, N files in all, half with long
# names, sizes 0-16 KiB; every other file deleted.
nested=$W/nested_$N.img
if [ ! -f "$nested" ]; then
  echo "building $nested ..." >&2
  rm -rf "$W/src" && mkdir -p "$W/src"
  python3 - "$W/src" "$N" "$W/dellist" <<'PY'
import os, random, sys
root, n, dellist = sys.argv[1], int(sys.argv[2]), sys.argv[3]
random.seed(1)
per = max(1, n // 200)
k = 0
dels = []
for d in range(50):
    for s in range(4):
        folder = os.path.join(root, "Folder %02d" % d, "sub%d" % s)
        os.makedirs(folder, exist_ok=True)
        for i in range(per):
            if k >= n: break
            name = ("Report %05d draft.txt" % k) if k % 2 else ("F%05d.BIN" % k)
            with open(os.path.join(folder, name), "wb") as f:
                f.write(os.urandom(random.randint(0, 16384)))
            if (k // 2) % 2 == 0:
                dels.append("::" + os.path.relpath(os.path.join(folder, name), root))
            k += 1
open(dellist, "w").write("\n".join(dels) + "\n")
PY
  rm -f "$nested"
  truncate -s 1G "$nested"
  mkfs.fat -F 32 -s 8 -n BENCH "$nested" >/dev/null
  (cd "$W/src" && mcopy -s -i "$nested" ./* ::)
  xargs -d '\n' -n 200 mdel -i "$nested" < "$W/dellist"
  rm -rf "$W/src"
fi

# Flat images: one folder of F files (8.3 names), every other one deleted.
flat() {
  local f=$1 img=$W/flat_$1.img
  if [ ! -f "$img" ]; then
    echo "building $img ..." >&2
    rm -rf "$W/flat" && mkdir -p "$W/flat/big"
    python3 -c "
import sys
for i in range($f): open('$W/flat/big/F%06d.TXT' % i, 'w').write('x' * (i % 700))
"
    truncate -s 512M "$img"
    mkfs.fat -F 32 -s 8 "$img" >/dev/null
    (cd "$W/flat" && mcopy -s -i "$img" big ::)
    python3 -c "
for i in range(0, $f, 2): print('::big/F%06d.TXT' % i)
" | xargs -d '\n' -n 500 mdel -i "$img"
    rm -rf "$W/flat"
  fi
  echo "$img"
}

[ -z "${IMAGES_ONLY:-}" ] || exit 0  # bench/all.sh: the images only

# Median wall time (s) and peak RSS (KiB) of a command over RUNS runs.
measure() {
  local t
  for _ in $(seq "$RUNS"); do
    /usr/bin/time -f "%e %M" -o "$W/time.out" "$@" >/dev/null 2>&1
    cat "$W/time.out"
  done | sort -n | awk '{a[NR]=$1; m[NR]=$2} END {print a[int((NR+1)/2)], m[int((NR+1)/2)]}'
}

cat "$nested" > /dev/null  # page cache for both tools
ours=$(measure "$CLI" list "$nested" --quiet)
peer=$(measure fls -r -p -f fat32 "$nested")
entries=$("$CLI" list "$nested" --quiet | wc -l)
fentries=$(fls -r -p -f fat32 "$nested" | wc -l)
deleted=$("$CLI" list "$nested" --quiet | grep -c '^deleted' || true)
read -r ot om <<<"$ours"
read -r pt pm <<<"$peer"
echo "FAT32 listing, $N files in 200 nested folders (half deleted), 4 KiB clusters, median of $RUNS"
printf "%-28s %10s %12s %10s\n" "tool" "time (s)" "peak (MiB)" "entries"
printf "%-28s %10s %12.1f %10s\n" "brantlow-cli list" "$ot" "$(echo "$om/1024" | bc -l)" "$entries ($deleted deleted)"
printf "%-28s %10s %12.1f %10s\n" "fls -r -p" "$pt" "$(echo "$pm/1024" | bc -l)" "$fentries"
printf "ratio: %.1fx faster, %.1fx less memory\n" "$(echo "$pt/($ot+0.0001)" | bc -l)" "$(echo "$pm/$om" | bc -l)"

echo
echo "in-process (scan + tree walk, no output): $("$INPROC" "$nested" 5)"

echo
echo "One folder of F files (half deleted): listing time per entry"
printf "%-8s %10s %16s %10s %14s\n" "F" "cli (s)" "in-process us/e" "fls (s)" "fls us/entry"
first=""
for f in 5000 10000 20000; do
  img=$(flat $f)
  cat "$img" > /dev/null
  read -r t _ <<<"$(measure "$CLI" list "$img" --quiet)"
  read -r ft _ <<<"$(measure fls -r -p -f fat32 "$img")"
  us=$("$INPROC" "$img" 7 | sed -E 's/.*\(([0-9.]+) us\/entry.*/\1/')
  printf "%-8s %10s %16s %10s %14.2f\n" "$f" "$t" "$us" "$ft" "$(echo "$ft*1000000/$f" | bc -l)"
  [ -z "$first" ] && first=$us
  last=$us
done
printf "time per entry, 20000 vs 5000 files in one folder: %.2fx (linear: about 1)\n" "$(echo "$last/$first" | bc -l)"
