#!/usr/bin/env bash
# Installs what Brantlow needs to build and test on Debian 12, when missing.
set -euo pipefail
pkgs=(cmake ninja-build g++ pkg-config xz-utils libgtest-dev libgmock-dev nlohmann-json3-dev
      qt6-base-dev libgl-dev help2man libbenchmark-dev clang libclang-rt-14-dev libcli11-dev
      fdisk mtools dosfstools ntfs-3g exfatprogs exfat-fuse sleuthkit e2fsprogs xfsprogs libutf8proc-dev zlib1g-dev
      xvfb openbox xdotool x11-utils imagemagick
      libimage-exiftool-perl ffmpeg lame sqlite3 ghostscript qpdf libheif-examples zip testdisk libisal-dev
      p7zip-full gcab genisoimage msitools lz4 zstd flac vorbis-tools fonts-dejavu-core
      libewf-dev libvhdi-dev libvmdk-dev libqcow-dev ewf-tools qemu-utils
      libcryptsetup-dev libgcrypt20-dev cryptsetup-bin
      gddrescue)  # gddrescue: ddrescue and ddrescuelog, peers and oracles of the imaging tests only
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
