#!/usr/bin/env bash
# Installs what Brantlow needs on Debian 12, when missing:
#   deps.sh cli     what brantlow-cli needs to build and run (scripts/run-sample.sh)
#   deps.sh build   that, the Qt 6 interface, the man pages and the package (scripts/package.sh)
#   deps.sh [all]   that and everything the tests, benchmarks and fuzz targets use (scripts/test.sh)
set -euo pipefail
mode=${1:-all}
cli=(cmake ninja-build g++ pkg-config xz-utils nlohmann-json3-dev libcli11-dev libutf8proc-dev zlib1g-dev
     libisal-dev libewf-dev libvhdi-dev libvmdk-dev libqcow-dev libcryptsetup-dev libgcrypt20-dev liblzo2-dev libzstd-dev
     libsqlite3-dev lld)  # lld: the linker of scripts/run-sample.sh's and scripts/test.sh's builds
build=(qt6-base-dev libgl-dev help2man dpkg-dev)
tests=(libgtest-dev libgmock-dev libbenchmark-dev clang libclang-rt-14-dev
      fdisk mtools dosfstools fusefat ntfs-3g exfatprogs exfat-fuse sleuthkit e2fsprogs xfsprogs
      xvfb openbox xdotool x11-utils imagemagick
      libimage-exiftool-perl ffmpeg lame sqlite3 ghostscript qpdf libheif-examples zip testdisk
      p7zip-full gcab genisoimage msitools lz4 zstd flac vorbis-tools fonts-dejavu-core
      ewf-tools qemu-utils cryptsetup-bin btrfs-progs
      gddrescue) # gddrescue: ddrescue and ddrescuelog, peers and oracles of the imaging tests only
case $mode in
  cli) pkgs=("${cli[@]}") ;;
  build) pkgs=("${cli[@]}" "${build[@]}") ;;
  all) pkgs=("${cli[@]}" "${build[@]}" "${tests[@]}") ;;
  *) echo "usage: $0 [cli|build|all]" >&2; exit 1 ;;
esac
missing=()
for p in "${pkgs[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if ((${#missing[@]})); then
  echo "installing: ${missing[*]}"
  SUDO=""
  [ "$(id -u)" = 0 ] || SUDO=sudo
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi
