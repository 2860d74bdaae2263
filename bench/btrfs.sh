#!/usr/bin/env bash
# Btrfs benchmark: a 2 GiB volume of 50,000 files in 500 folders, made by
# mkfs.btrfs --rootdir (no mount), then a thousand of them deleted through
# a loop mount so that older leaves exist. Listing time and peak memory of
# `brantlow-cli list` beside `find` over a read-only loop mount and
# `btrfs restore --dry-run -vv` (which walks every file and folder of the current
# tree), in the same run. Without loop mounts the volume has no deleted
# files and the `find` row is left out.
#
# Usage: bench/btrfs.sh [WORKDIR]     (default /tmp/brantlow-bench-btrfs)
# Needs: btrfs-progs, python3, GNU time; root for the loop mount.
set -euo pipefail
cd "$(dirname "$0")/.."
W=${1:-/tmp/brantlow-bench-btrfs}
RUNS=${RUNS:-5}
mkdir -p "$W"
[ -f build/build.ninja ] || cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DBRANTLOW_GUI=OFF >/dev/null
ninja -C build brantlow-cli bench_btrfs >/dev/null
CLI=$PWD/build/brantlow-cli
IMG=$W/btrfs50k.img
MNT=$W/mnt
mkdir -p "$MNT"
mounted=0

if [ ! -f "$IMG" ]; then
  echo "building $IMG ..." >&2
  rm -rf "$W/root"
  python3 - "$W/root" <<'PY'
import os, random, sys
root = sys.argv[1]
rnd = random.Random(7)
sizes = [0, 1, 100, 1000, 4096, 5000, 12000, 30000, 65536, 100000]
blobs = [rnd.randbytes(s) for s in sizes]
n = 0
for d in range(500):
    folder = os.path.join(root, "folder_%03d" % d)
    os.makedirs(folder)
    for k in range(100):
        with open(os.path.join(folder, "file_%05d_%s.dat" % (n, "x" * (n % 17))), "wb") as f:
            f.write(blobs[n % len(sizes)])
        n += 1
PY
  truncate -s 2048M "$IMG"
  mkfs.btrfs -q -f --rootdir "$W/root" "$IMG"
  rm -rf "$W/root"
  if mount -o loop "$IMG" "$MNT" 2>/dev/null; then
    find "$MNT" -name 'file_*0_*' -path '*folder_0[0-4]*' -delete
    umount "$MNT"
  fi
fi

# Median wall time (s), CPU time (user+sys, s) and peak RSS (KiB) over RUNS.
measure() {
  for _ in $(seq "$RUNS"); do
    /usr/bin/time -f "%e %U %S %M" -o "$W/time.out" "$@" >/dev/null 2>&1
    awk '{printf "%s %.2f %s\n", $1, $2 + $3, $4}' "$W/time.out"
  done | sort -n | awk '{a[NR]=$1; c[NR]=$2; m[NR]=$3} END {i=int((NR+1)/2); print a[i], c[i], m[i]}'
}
mib() { echo "$1/1024" | bc -l; }

cat "$IMG" > /dev/null  # page cache for every tool
read -r ot oc om <<<"$(measure "$CLI" list "$IMG" --quiet)"
read -r rt rc rm_ <<<"$(measure btrfs restore --dry-run -vv "$IMG" "$W")"
ours=$("$CLI" list "$IMG" --quiet | wc -l)
ourdel=$("$CLI" list "$IMG" --quiet | grep -c '^deleted' || true)
restored=$(btrfs restore --dry-run -vv "$IMG" "$W" 2>/dev/null | grep -c '^Restoring' || true)
echo "Btrfs listing, 50,000 files in 500 folders, median of $RUNS (load: $(cut -d' ' -f1 /proc/loadavg))"
printf "%-34s %9s %9s %11s %s\n" tool "wall (s)" "cpu (s)" "peak (MiB)" entries
printf "%-34s %9s %9s %11.1f %s\n" "brantlow-cli list" "$ot" "$oc" "$(mib "$om")" "$ours ($ourdel deleted)"
printf "%-34s %9s %9s %11.1f %s\n" "btrfs restore --dry-run -vv" "$rt" "$rc" "$(mib "$rm_")" "$restored"
if mount -o loop,ro "$IMG" "$MNT" 2>/dev/null; then
  # The mount is made once: find then runs over a warm kernel cache after its first run.
  read -r ft fc fm <<<"$(measure find "$MNT")"
  found=$(find "$MNT" -mindepth 1 | wc -l)
  umount "$MNT"
  printf "%-34s %9s %9s %11.1f %s\n" "find over a loop mount" "$ft" "$fc" "$(mib "$fm")" "$found"
fi
echo "in-process: $(build/bench/bench_btrfs "$IMG" 3 | tr '\n' ' ')"
