#!/usr/bin/env bash
# RAID sets without metadata: the time the search takes to find level,
# chunk size, member order, parity layout and data start on three 64 MiB
# members (an ext4 volume of 126 MiB made by mke2fs from about 90 MiB of
# /usr/include and /usr/share/man,
# striped as md would, no superblock, data from 1 MiB), RAID 5 (64 KiB,
# left-symmetric) and RAID 0 (128 KiB); whole command and in process.
# No other tool finds these parameters by itself (mdadm needs the
# superblocks), so there is no peer figure.
#
# Usage: bench/raid_search.sh [WORKDIR]     (default /tmp/brantlow-bench-raid)
# Needs: e2fsprogs, GNU time.
set -euo pipefail
cd "$(dirname "$0")/.."
W=${1:-/tmp/brantlow-bench-raid}
RUNS=${RUNS:-5}
mkdir -p "$W"
[ -f build/build.ninja ] || cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DBRANTLOW_GUI=OFF >/dev/null
ninja -C build brantlow-cli bench_raid_search >/dev/null
CLI=$PWD/build/brantlow-cli
B=$PWD/build/bench/bench_raid_search

if [ ! -f "$W/volume.img" ]; then
  rm -rf "$W/tree"
  mkdir -p "$W/tree"
  cp -r /usr/include/c++ /usr/include/linux /usr/include/x86_64-linux-gnu "$W/tree/" 2>/dev/null || true
  # Then manual pages up to about 90 MiB in all.
  left=$(( (90 << 20) - $(du -sb "$W/tree" | cut -f1) ))
  find /usr/share/man -type f -printf '%s %p\n' | sort -k2 | while read -r size f; do
    left=$((left - size))
    [ "$left" -gt 0 ] || break
    d="$W/tree/man/$(basename "$(dirname "$f")")"
    mkdir -p "$d"
    cp "$f" "$d/"
  done
  truncate -s 126M "$W/volume.img"
  mke2fs -q -F -t ext4 -d "$W/tree" "$W/volume.img"
fi

measure() {
  for _ in $(seq "$RUNS"); do
    /usr/bin/time -f "%e %U %S %M" -o "$W/time.out" "$@" >/dev/null 2>&1
    awk '{printf "%s %.2f %s\n", $1, $2 + $3, $4}' "$W/time.out"
  done | sort -n | awk '{a[NR]=$1; c[NR]=$2; m[NR]=$3} END {i=int((NR+1)/2); print a[i], c[i], m[i]}'
}

echo "search over 3 members of 64 MiB, median of $RUNS (load: $(cut -d' ' -f1 /proc/loadavg))"
printf "%-32s %9s %9s %11s %s\n" set "wall (s)" "cpu (s)" "peak (MiB)" "best candidate"
for set in "5 64" "0 128"; do
  read -r level chunk <<<"$set"
  D="$W/raid$level"
  mkdir -p "$D"
  [ -f "$D/m2.img" ] || "$B" make "$W/volume.img" "$D" "$level" "$chunk" 3
  cat "$D"/m*.img > /dev/null
  read -r t c m <<<"$(measure "$CLI" volumes "$D/m2.img" "$D/m0.img" "$D/m1.img" --raid search)"
  bestc=$("$CLI" volumes "$D/m2.img" "$D/m0.img" "$D/m1.img" --raid search 2>&1 | sed -n 's/^  1\. \([^ ]*\).*/\1/p')
  printf "%-32s %9s %9s %11.1f %s\n" "RAID$level, ${chunk} KiB (m2 m0 m1)" "$t" "$c" "$(echo "$m/1024" | bc -l)" "$bestc"
  echo "  in process: $("$B" search "$D/m2.img" "$D/m0.img" "$D/m1.img")"
done
