#!/usr/bin/env bash
# Reading speed through LUKS decryption beside reading the plain image: one
# 2 GiB volume (1 GiB of random bytes like media files, 512 MiB of text, 512
# MiB of zeros) encrypted by cryptsetup's own offline encryption in three
# ways (AES-XTS with 512- and 4096-byte sectors, AES-CBC-ESSIV as older
# LUKS1 volumes have it). bench_images opens each, derives the key, and reads
# the decrypted volume from start to end in 1 MiB pieces, then 20,000
# scattered 4 KiB pieces; the plain image is read the same way. Every file
# is read once first, so the figures are the decryption's own cost over the
# page cache, not the disk's.
#
# Usage: bench/luks.sh [WORKDIR]     (default /tmp/brantlow-bench-luks; about 9 GB)
# Needs: cryptsetup.
set -euo pipefail
cd "$(dirname "$0")/.."
W=${1:-/tmp/brantlow-bench-luks}
RUNS=${RUNS:-3}
mkdir -p "$W"
[ -f build/build.ninja ] || cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DBRANTLOW_GUI=OFF >/dev/null
ninja -C build bench_images >/dev/null
BENCH=$PWD/build/bench/bench_images

plain=$W/plain.img
if [ ! -f "$plain" ]; then
  echo "building $plain ..." >&2
  truncate -s 2G "$plain.tmp"
  head -c 1G /dev/urandom | dd of="$plain.tmp" bs=1M conv=notrunc status=none iflag=fullblock
  (set +o pipefail; head -c 400M /dev/urandom | base64 | head -c 512M |
    dd of="$plain.tmp" bs=1M seek=1024 conv=notrunc status=none iflag=fullblock)
  mv "$plain.tmp" "$plain"
fi
printf 'bench-passphrase' > "$W/key"
encrypt() {  # name, cryptsetup options
  local out=$W/$1; shift
  [ -f "$out" ] && return 0
  echo "building $out ..." >&2
  cp "$plain" "$out.tmp"
  truncate -s +8M "$out.tmp"
  cryptsetup --batch-mode --disable-locks reencrypt --encrypt --type luks2 --reduce-device-size 8M \
    --key-file "$W/key" --pbkdf pbkdf2 --pbkdf-force-iterations 1000 "$@" "$out.tmp" >/dev/null
  mv "$out.tmp" "$out"
}
encrypt xts512.img --cipher aes-xts-plain64 --key-size 512 --sector-size 512
encrypt xts4096.img --cipher aes-xts-plain64 --key-size 512 --sector-size 4096
encrypt essiv512.img --cipher aes-cbc-essiv:sha256 --key-size 256 --sector-size 512

run() {  # label, arguments: the median run by sequential time
  local label=$1; shift
  local lines=()
  for _ in $(seq "$RUNS"); do lines+=("$("$BENCH" "$@")"); done
  printf '%-22s %s\n' "$label" "$(printf '%s\n' "${lines[@]}" |
    awk '{for (i = 1; i < NF; i++) if ($i == "sequential") print $(i + 1) "\t" $0}' |
    sort -n | sed -n "$(( (RUNS + 1) / 2 ))p" | cut -f2-)"
}
echo "median of $RUNS runs by sequential time"
cat "$plain" >/dev/null
run "plain image" "$plain"
for f in xts512 xts4096 essiv512; do
  cat "$W/$f.img" >/dev/null
  run "$f (decrypted)" "$W/$f.img" "$W/key"
done
