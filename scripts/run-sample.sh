#!/usr/bin/env bash
# Builds Brantlow and runs the main job on the bundled samples: the volume
# list of a multi-partition disk, then the recovery of every deleted and
# orphaned file of an NTFS volume image into out/recovered-ntfs.
set -euo pipefail
cd "$(dirname "$0")/.."
# Only what brantlow-cli needs, and only brantlow-cli is built.
scripts/deps.sh cli
launcher=()
command -v ccache >/dev/null && launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache -DCMAKE_C_COMPILER_LAUNCHER=ccache)
# Made to run, not to debug: no debug information, sources compiled in
# batches, lld links (scripts/build.sh sets these back for its build).
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DBRANTLOW_TESTS=OFF -DBRANTLOW_BENCH=OFF \
  -DBRANTLOW_DEBUG_INFO=OFF -DBRANTLOW_LINKER=lld -DCMAKE_UNITY_BUILD=ON -DCMAKE_UNITY_BUILD_BATCH_SIZE=16 \
  "${launcher[@]}" >/dev/null
cmake --build build --target brantlow-cli >/dev/null
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
xz -dc samples/disk_mbr.img.xz > "$work/disk_mbr.img"
xz -dc samples/ntfs.img.xz > "$work/ntfs.img"

echo "== Volumes on samples/disk_mbr.img (MBR disk with an extended partition)"
build/brantlow-cli volumes "$work/disk_mbr.img"
echo
echo "== Deleted and orphaned files on samples/ntfs.img"
build/brantlow-cli list "$work/ntfs.img" --volume 0 | awk -F'\t' '$1 != "live" && $2 == "file"' > "$work/deleted.txt"
head -n 15 "$work/deleted.txt"
echo "   ... $(wc -l < "$work/deleted.txt") in all"
echo
out="$PWD/out/recovered-ntfs"
rm -rf "$out"
mkdir -p "$out"
echo "== Recovering them"
status=0
build/brantlow-cli recover "$work/ntfs.img" --volume 0 --deleted-only --out "$out" --quiet \
  2> "$out/../recovered-ntfs.messages" || status=$?
# Status 4: the sample holds deleted files whose clusters other files took
# since; they are refused or kept as .partial, and each is named in the messages.
if [ "$status" -ne 0 ] && [ "$status" -ne 4 ]; then cat "$out/../recovered-ntfs.messages" >&2; exit "$status"; fi
echo "The recovered files are in $out"
echo "$(grep -c . "$out/../recovered-ntfs.messages") files were overwritten since their deletion (failed or .partial):"
echo "their names are in out/recovered-ntfs.messages"
