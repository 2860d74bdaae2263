#!/usr/bin/env bash
# ext4 benchmark on the 50,000-file image of the shared bench images
# (2 GiB ext4, about half the files deleted, 5% of the folders removed
# whole): listing beside The Sleuth Kit's `fls -r -p`, and the recovery of
# the deleted files through the journal beside `ext4magic -r` and
# `extundelete --restore-all`, all scored
# against the image's ground truth by content hash.
#
# Usage: bench/ext.sh [WORKDIR]     (default /tmp/brantlow-bench-ext)
# Builds WORKDIR/ext4.img once, as ../shared/bench-images/make_images.sh
# does (root: a loop mount). Needs: e2fsprogs, sleuthkit, ext4magic
# and extundelete (optional), python3, GNU time.
set -euo pipefail
cd "$(dirname "$0")/.."
W=${1:-/tmp/brantlow-bench-ext}
RUNS=${RUNS:-5}
H=$(cd ../shared/bench-images 2>/dev/null && pwd || echo /work/shared/bench-images)
mkdir -p "$W"
[ -f build/build.ninja ] || cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DBRANTLOW_GUI=OFF >/dev/null
ninja -C build brantlow-cli bench_ext >/dev/null
CLI=$PWD/build/brantlow-cli
IMG=$W/ext4.img

if [ ! -f "$IMG" ]; then
  echo "building $IMG (the ext4 part of make_images.sh) ..." >&2
  (cd "$W" && { [ -d samples ] || python3 "$H/gen_samples.py" samples 150; })
  truncate -s 2048M "$IMG"
  mkfs.ext4 -q -F -L bench_ext4 "$IMG"
  MNT=$(mktemp -d "$W/mnt.XXXXXX")
  mount -o loop "$IMG" "$MNT"
  TRUTH_OUT="$IMG.truth.tsv" python3 "$H/fill_fs.py" "$MNT" 50000 "$W/samples" 7
  umount "$MNT"
  rmdir "$MNT"
fi

# Median wall time (s), CPU time (user+sys, s) and peak RSS (KiB) over RUNS.
[ -z "${IMAGES_ONLY:-}" ] || exit 0  # bench/all.sh: the images only

measure() {
  for _ in $(seq "$RUNS"); do
    /usr/bin/time -f "%e %U %S %M" -o "$W/time.out" "$@" >/dev/null 2>&1
    awk '{printf "%s %.2f %s\n", $1, $2 + $3, $4}' "$W/time.out"
  done | sort -n | awk '{a[NR]=$1; c[NR]=$2; m[NR]=$3} END {i=int((NR+1)/2); print a[i], c[i], m[i]}'
}

cat "$IMG" > /dev/null  # page cache for every tool
read -r ot oc om <<<"$(measure "$CLI" list "$IMG" --quiet)"
read -r pt pc pm <<<"$(measure fls -r -p "$IMG")"
ours=$("$CLI" list "$IMG" --quiet | wc -l)
odel=$("$CLI" list "$IMG" --quiet | grep -c '^deleted' || true)
theirs=$(fls -r -p "$IMG" | wc -l)
echo "ext4 listing, 50,000 files (half deleted), median of $RUNS (load: $(cut -d' ' -f1 /proc/loadavg))"
printf "%-22s %9s %9s %11s %s\n" tool "wall (s)" "cpu (s)" "peak (MiB)" entries
printf "%-22s %9s %9s %11.1f %s\n" "brantlow-cli list" "$ot" "$oc" "$(echo "$om/1024" | bc -l)" "$ours ($odel deleted)"
printf "%-22s %9s %9s %11.1f %s\n" "fls -r -p" "$pt" "$pc" "$(echo "$pm/1024" | bc -l)" "$theirs"
echo "in-process: $(build/bench/bench_ext "$IMG" 3 | tr '\n' ' ')"

# Recovery of the deleted files.
names() {  # files written at the path the ground truth gives, byte-exact
  python3 - "$IMG.truth.tsv" "$1" <<'PY'
import hashlib, os, sys
n = t = 0
for line in open(sys.argv[1]):
    st, p, sz, h = line.rstrip("\n").split("\t")
    if st == "allocated": continue
    t += 1
    f = os.path.join(sys.argv[2], p)
    if os.path.isfile(f) and hashlib.sha256(open(f, "rb").read()).hexdigest() == h: n += 1
print(f"named_exact={n}/{t}")
PY
}
echo
echo "Recovery of the deleted files (output on $(df -P "$W" | awk 'NR==2{print $1}'))"
rm -rf "$W/ours_out"
/usr/bin/time -f "%e %U %S %M" -o "$W/time.out" "$CLI" recover "$IMG" --out "$W/ours_out" --deleted-only --quiet >/dev/null 2>&1 || true
read -r rt ru rs rm_ <"$W/time.out"
echo "brantlow-cli recover --deleted-only: ${rt} s wall, $(echo "$ru+$rs" | bc) s cpu, $((rm_ / 1024)) MiB peak"
echo "  $(python3 "$H/compare_truth.py" fs "$IMG.truth.tsv" "$W/ours_out")  $(names "$W/ours_out")"
rm -rf "$W/ours_out"
if command -v ext4magic >/dev/null; then
  rm -rf "$W/em_out" && mkdir -p "$W/em_out"
  /usr/bin/time -f "%e %U %S %M" -o "$W/time.out" ext4magic "$IMG" -r -d "$W/em_out" >/dev/null 2>&1 || true
  read -r et eu es em <"$W/time.out"
  echo "ext4magic -r: ${et} s wall, $(echo "$eu+$es" | bc) s cpu, $((em / 1024)) MiB peak"
  echo "  $(python3 "$H/compare_truth.py" fs "$IMG.truth.tsv" "$W/em_out")  $(names "$W/em_out")"
  rm -rf "$W/em_out"
else
  echo "ext4magic not installed (Debian package ext4magic): figures from the issue: 45 s, 23,545 of 23,750, no names"
fi
if command -v extundelete >/dev/null; then
  rm -rf "$W/eu_out" && mkdir -p "$W/eu_out"
  # extundelete takes the output folder relative to where it runs
  (cd "$W" && /usr/bin/time -f "%e %U %S %M" -o "$W/time.out" extundelete "$IMG" --restore-all -o eu_out >/dev/null 2>&1) || true
  read -r ut uu us um < <(tail -n 1 "$W/time.out")
  echo "extundelete --restore-all: ${ut} s wall, $(echo "$uu+$us" | bc) s cpu, $((um / 1024)) MiB peak"
  echo "  $(python3 "$H/compare_truth.py" fs "$IMG.truth.tsv" "$W/eu_out")  $(names "$W/eu_out")"
  rm -rf "$W/eu_out"
fi
