#!/usr/bin/env bash
# Session files: what keeping a listing costs, what reopening it costs, the
# file's size per entry; then a carve and a sector scan killed (SIGKILL)
# halfway and run again with the same session: the same result, and the
# bytes the rerun read beside the whole run's.
#   bench/sessions.sh [BENCH_DIR]   (BUILD=build RUNS=5 OUT_BASE=/dev/shm
#                                    IMAGES="ntfs flat100k ext4 fat32" CARVE_IMG=BENCH_DIR/carve.img)
# The images are those of bench/all.sh (built by the per-file-system scripts).
set -euo pipefail
ROOT=$(cd "$(dirname "$0")/.." && pwd)
DIR=${1:-${BENCH_DIR:-/tmp/brantlow-bench}}
BUILD=${BUILD:-$ROOT/build}
RUNS=${RUNS:-5}
OUT_BASE=${OUT_BASE:-/dev/shm}
IMAGES=${IMAGES-"ntfs flat100k ext4 fat32"}
CARVE_IMG=${CARVE_IMG:-$DIR/carve.img}
CLI=$BUILD/brantlow-cli
[ -x "$CLI" ] || { echo "build brantlow-cli first"; exit 1; }
WORK=$(mktemp -d "$OUT_BASE/brantlow-sessions.XXXXXX")
trap 'rm -rf "$WORK"' EXIT

now() { date +%s.%N; }
# The median of RUNS wall times and of RUNS processor times (user + system)
# of a command: "wall cpu" in seconds.
median() {
  local w=() c=()
  for _ in $(seq "$RUNS"); do
    /usr/bin/time -f "%e %U %S" -o "$WORK/time" "$@" >/dev/null 2>&1 || true
    read -r e u s < <(tail -1 "$WORK/time")
    w+=("$e"); c+=("$(echo "$u + $s" | bc)")
  done
  printf '%s %s\n' "$(printf '%s\n' "${w[@]}" | sort -g | awk '{v[NR]=$1} END {printf "%.3f", v[int((NR+1)/2)]}')" \
    "$(printf '%s\n' "${c[@]}" | sort -g | awk '{v[NR]=$1} END {printf "%.3f", v[int((NR+1)/2)]}')"
}

echo "load average $(cut -d' ' -f1-3 /proc/loadavg)"
printf '%-10s %9s %14s %16s %9s %14s %8s %9s\n' image entries list_s/cpu +session_s/cpu cpu_x reopen_s/cpu reopen% bytes/ent
for name in $IMAGES; do
  img=$DIR/$name.img
  [ -f "$img" ] || { echo "$name: $img missing"; continue; }
  ses=$WORK/$name.session
  entries=$("$CLI" list "$img" --quiet | wc -l)
  read -r plain plainc < <(median "$CLI" list "$img" --quiet)
  read -r write writec < <(median "$CLI" list "$img" --quiet --session "$ses" --session-overwrite)
  read -r reopen reopenc < <(median "$CLI" list "$img" --quiet --session "$ses")
  size=$(stat -c %s "$ses")
  printf '%-10s %9d %7s/%-6s %8s/%-7s %8.2fx %7s/%-6s %7.1f%% %9d\n' "$name" "$entries" "$plain" "$plainc" "$write" "$writec" \
    "$(echo "$writec / $plainc" | bc -l)" "$reopen" "$reopenc" "$(echo "100 * $reopen / $plain" | bc -l)" $((size / entries))
done
echo "load average $(cut -d' ' -f1-3 /proc/loadavg)"

# Killed (SIGKILL) once a checkpoint past half the job is stored, then run
# again; reads held to RATE bytes a second (a hard disk: 150-280 MB/s).
RATE=${RATE:-280000000}
resume() {
  local label=$1 half=$2; shift 2
  local ses=$WORK/$label.session
  rm -f "$ses"*
  local a; a=$(now)
  BRANTLOW_READ_LIMIT=$RATE BRANTLOW_READ_STATS=1 "$CLI" "$@" >"$WORK/whole.out" 2>"$WORK/whole.err"
  local whole; whole=$(echo "$(now) - $a" | bc)
  BRANTLOW_READ_LIMIT=$RATE "$CLI" "$@" --session "$ses" >/dev/null 2>&1 &
  local pid=$! at=0
  a=$(now)
  while kill -0 "$pid" 2>/dev/null; do
    at=$(sqlite3 -cmd ".timeout 500" "$ses" "SELECT position FROM progress" 2>/dev/null | tail -1 || true)
    if [ -n "$at" ] && [ "$at" -ge "$half" ]; then break; fi
    sleep 0.05
  done
  local killed; killed=$(echo "$(now) - $a" | bc)
  kill -9 "$pid" 2>/dev/null || true
  wait "$pid" 2>/dev/null || true
  a=$(now)
  BRANTLOW_READ_LIMIT=$RATE BRANTLOW_READ_STATS=1 "$CLI" "$@" --session "$ses" >"$WORK/resumed.out" 2>"$WORK/resumed.err"
  local rerun; rerun=$(echo "$(now) - $a" | bc)
  local same=differ
  cmp -s "$WORK/whole.out" "$WORK/resumed.out" && same=same
  printf '%-11s whole %6.2fs read %11s B | killed at %6.2fs | rerun %6.2fs, %s, read %11s B | result %s\n' \
    "$label" "$whole" "$(grep -o 'read [0-9]*' "$WORK/whole.err" | cut -d' ' -f2)" "$killed" "$rerun" \
    "$(grep -o 'going on from [a-z]* [0-9]*' "$WORK/resumed.err" || echo 'not resumed')" \
    "$(grep -o 'read [0-9]*' "$WORK/resumed.err" | cut -d' ' -f2)" "$same"
}
if [ -f "$CARVE_IMG" ]; then
  size=$(stat -c %s "$CARVE_IMG")
  [ -n "${SKIP_CARVE:-}" ] || resume carve $((size / 2)) carve "$CARVE_IMG" --json --quiet
  resume sector-scan $((size / 1024)) volumes "$CARVE_IMG" --scan --quiet --no-skip
fi
