#!/usr/bin/env bash
# XFS benchmark: a 2 GiB v5 volume of 50,000 files in 500 folders, made by
# mkfs.xfs from a prototype file (no mount). Listing time and peak memory
# of `brantlow-cli list` beside xfs_db's own full path listing
# (`xfs_db -r -c 'blockget -n' -c ncheck`: every inode with its path,
# which is how xfs_db walks a whole volume's names), in the same run.
#
# Usage: bench/xfs.sh [WORKDIR]     (default /tmp/brantlow-bench-xfs)
# Needs: xfsprogs, python3, GNU time.
set -euo pipefail
cd "$(dirname "$0")/.."
W=${1:-/tmp/brantlow-bench-xfs}
RUNS=${RUNS:-5}
mkdir -p "$W"
[ -f build/build.ninja ] || cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DBRANTLOW_GUI=OFF >/dev/null
ninja -C build brantlow-cli bench_xfs >/dev/null
CLI=$PWD/build/brantlow-cli
IMG=$W/xfs50k.img

if [ ! -f "$IMG" ]; then
  echo "building $IMG ..." >&2
  python3 - "$W" <<'PY'
import os, random, sys
w = sys.argv[1]
pool = os.path.join(w, "pool")
os.makedirs(pool, exist_ok=True)
rnd = random.Random(7)
sizes = [0, 1, 100, 1000, 4096, 5000, 12000, 30000, 65536, 100000]
for i, s in enumerate(sizes):
    with open(os.path.join(pool, "p%d" % i), "wb") as f:
        f.write(rnd.randbytes(s))
lines = ["/dev/null", "0 0", "d--755 0 0"]
n = 0
for d in range(500):
    lines.append("folder_%03d d--755 0 0" % d)
    for k in range(100):
        lines.append("file_%05d_%s.dat ---644 0 0 %s" % (n, "x" * (n % 17), os.path.join(pool, "p%d" % (n % len(sizes)))))
        n += 1
    lines.append("$")
lines.append("$")
open(os.path.join(w, "proto.txt"), "w").write("\n".join(lines) + "\n")
PY
  truncate -s 2048M "$IMG"
  TEST_DIR=/tmp TEST_DEV=/dev/null QA_CHECK_FS=1 mkfs.xfs -q -f -p "$W/proto.txt" "$IMG"
fi

# Median wall time (s), CPU time (user+sys, s) and peak RSS (KiB) over RUNS.
measure() {
  for _ in $(seq "$RUNS"); do
    /usr/bin/time -f "%e %U %S %M" -o "$W/time.out" "$@" >/dev/null 2>&1
    awk '{printf "%s %.2f %s\n", $1, $2 + $3, $4}' "$W/time.out"
  done | sort -n | awk '{a[NR]=$1; c[NR]=$2; m[NR]=$3} END {i=int((NR+1)/2); print a[i], c[i], m[i]}'
}

cat "$IMG" > /dev/null  # page cache for both tools
read -r ot oc om <<<"$(measure "$CLI" list "$IMG" --quiet)"
read -r pt pc pm <<<"$(measure xfs_db -r -c 'blockget -n' -c ncheck "$IMG")"
ours=$("$CLI" list "$IMG" --quiet | wc -l)
theirs=$(xfs_db -r -c 'blockget -n' -c ncheck "$IMG" | wc -l)
echo "XFS listing, 50,000 files in 500 folders, median of $RUNS (load: $(cut -d' ' -f1 /proc/loadavg))"
printf "%-34s %9s %9s %11s %s\n" tool "wall (s)" "cpu (s)" "peak (MiB)" entries
printf "%-34s %9s %9s %11.1f %s\n" "brantlow-cli list" "$ot" "$oc" "$(echo "$om/1024" | bc -l)" "$ours"
printf "%-34s %9s %9s %11.1f %s\n" "xfs_db blockget -n + ncheck" "$pt" "$pc" "$(echo "$pm/1024" | bc -l)" "$theirs"
echo "in-process: $(build/bench/bench_xfs "$IMG" 3 | tr '\n' ' ')"
