#!/usr/bin/env bash
# Builds Brantlow and runs the main job on the bundled sample disk image:
# the volume list of a multi-partition disk made by real tools.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh
scripts/build.sh
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
xz -dc samples/disk_mbr.img.xz > "$work/disk_mbr.img"
echo "Volumes on samples/disk_mbr.img (MBR disk with an extended partition):"
build/brantlow-cli volumes "$work/disk_mbr.img"
