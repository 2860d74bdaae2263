#!/bin/bash
# Makes an ext4 volume the way a running Linux system leaves it: files
# written in folders through the kernel driver, 20 of them removed with rm,
# one folder removed with rmdir, then a new folder (which takes the removed
# folder's inode) and a few new files. Writes IMAGE and a manifest MANIFEST
# (JSON: every file with its sha256, live or deleted, and whether a deleted
# file's blocks are still free and hold its bytes).
#
# Needs root, losetup and an ext4 mount; exits 77 when the mount fails.
# Usage: [BLOCK_SIZE=1024] [CHURN=N] make_ext4_deleted.sh IMAGE MANIFEST
#   BLOCK_SIZE  the file-system block size (default 4096)
#   CHURN       after the deletions, N small files more in a folder "churn",
#               with a remount between the steps: the freed inodes are
#               taken again, and only the journal keeps the files they held
set -eu
bs=${BLOCK_SIZE:-4096}
churn=${CHURN:-0}
img=$1
manifest=$2
work=$(mktemp -d)
mnt=$work/mnt
mkdir -p "$mnt"
loop=""
cleanup() {
    mountpoint -q "$mnt" && umount "$mnt"
    [ -n "$loop" ] && losetup -d "$loop" 2>/dev/null
    rm -rf "$work"
}
trap cleanup EXIT

rm -f "$img"
truncate -s 16M "$img"
mkfs.ext4 -q -F -b "$bs" -L deleted -U 0b5e4c1e-0000-4000-8000-000000000026 \
    -E lazy_itable_init=0,lazy_journal_init=0 "$img" >/dev/null
loop=$(losetup -f --show "$img" 2>/dev/null) || exit 77
mount -t ext4 "$loop" "$mnt" 2>/dev/null || exit 77

# Content: numbered lines (distinct in every block, compresses well); a
# photo starts with a JPEG or PNG signature.
make() {  # path bytes [signature]
    local p=$mnt/$1
    { [ -n "${3:-}" ] && printf "$3"; seq -f "$1 line %09g" 1 $(( $2 / 20 + 1 )); } | head -c "$2" > "$p"
}
files=()
mkdir "$mnt/Downloads"          # the first folder: inode 12
for i in 0 1 2 3 4 5 6 7; do make Downloads/file_04$i $(( 3000 + i * 23000 )); files+=(Downloads/file_04$i); done
mkdir "$mnt/Documents" "$mnt/Photos"
for i in 0 1 2 3 4 5 6 7 8 9; do make Documents/doc_0$i.txt $(( 1500 + i * 17000 )); files+=(Documents/doc_0$i.txt); done
for i in 0 1 2 3 4 5 6; do
    sig='\xff\xd8\xff\xe0\x00\x10JFIF\x00'; ext=jpg
    [ $((i % 2)) = 1 ] && sig='\x89PNG\r\n\x1a\n' && ext=png
    make Photos/img_0$i.$ext $(( 9000 + i * 41000 )) "$sig"; files+=(Photos/img_0$i.$ext)
done
make notes.txt 5000; files+=(notes.txt)
make big.bin 1200000; files+=(big.bin)
sync

remount() { [ "$churn" = 0 ] || { umount "$mnt"; mount -t ext4 "$loop" "$mnt"; }; }
remount

# Where each file lies (physical blocks, in logical order) and its hash.
declare -A blocks sha size_of ino
for f in "${files[@]}"; do
    sha[$f]=$(sha256sum < "$mnt/$f" | cut -d' ' -f1)
    size_of[$f]=$(stat -c %s "$mnt/$f")
    ino[$f]=$(stat -c %i "$mnt/$f")
    blocks[$f]=$(filefrag -e -b"$bs" "$mnt/$f" | awk -F'[:. ]+' '/^ *[0-9]+:/ { for (b = $5; b <= $6; ++b) printf "%d ", b }')
done

deleted=(Downloads/file_040 Downloads/file_041 Downloads/file_042 Downloads/file_043
         Downloads/file_044 Downloads/file_045 Downloads/file_046 Downloads/file_047
         Documents/doc_01.txt Documents/doc_02.txt Documents/doc_04.txt Documents/doc_05.txt
         Documents/doc_07.txt Documents/doc_08.txt Documents/doc_09.txt
         Photos/img_00.jpg Photos/img_01.png Photos/img_03.png Photos/img_04.jpg Photos/img_06.jpg)
for f in "${deleted[@]}"; do rm "$mnt/$f"; done
rmdir "$mnt/Downloads"
sync
remount
sleep 1

# New folder (takes inode 12) and new files.
mkdir "$mnt/New"
newfiles=(New/new_00.txt New/new_01.txt New/new_02.txt report.txt)
make New/new_00.txt 20000; make New/new_01.txt 90000; make New/new_02.txt 150000; make report.txt 60000
for f in "${newfiles[@]}"; do
    files+=("$f"); sha[$f]=$(sha256sum < "$mnt/$f" | cut -d' ' -f1); size_of[$f]=$(stat -c %s "$mnt/$f")
    ino[$f]=$(stat -c %i "$mnt/$f")
done
if [ "$churn" != 0 ]; then
    mkdir "$mnt/churn"
    for k in $(seq 1 "$churn"); do
        echo "$k" > "$mnt/churn/c$k"
        files+=("churn/c$k"); sha[churn/c$k]=$(sha256sum < "$mnt/churn/c$k" | cut -d' ' -f1)
        size_of[churn/c$k]=$(stat -c %s "$mnt/churn/c$k"); ino[churn/c$k]=$(stat -c %i "$mnt/churn/c$k")
        [ $((k % 50)) = 0 ] && sync
    done
fi
new_ino=$(stat -c %i "$mnt/New")
sync
umount "$mnt"
losetup -d "$loop"; loop=""

# A deleted file is intact when its blocks are all free and still hold it.
declare -A used
for f in "${deleted[@]}"; do for b in ${blocks[$f]}; do echo "testb $b"; done; done > "$work/testb"
for b in $(debugfs -f "$work/testb" "$img" 2>/dev/null | awk '/marked in use/ { print $2 }'); do used[$b]=1; done
intact() {  # path size
    local b out=$work/blocks
    : > "$out"
    for b in ${blocks[$1]}; do
        [ -n "${used[$b]:-}" ] && return 1
        dd if="$img" bs="$bs" skip="$b" count=1 status=none >> "$out"
    done
    [ "$(head -c "$2" "$out" | sha256sum | cut -d' ' -f1)" = "${sha[$1]}" ]
}
declare -A isdel
for f in "${deleted[@]}"; do isdel[$f]=1; done
{
    echo '{'
    echo ' "made_by": "tests/ext/make_ext4_deleted.sh (mkfs.ext4 -b '"$bs"', churn '"$churn"', kernel ext4 driver through a loop mount)",'
    echo ' "removed_folder": "Downloads", "new_folder": "New", "new_folder_inode": '"$new_ino"','
    echo ' "entries": ['
    sep=""
    for f in "${files[@]}"; do
        state=live
        [ -n "${isdel[$f]:-}" ] && state=deleted
        echo -n "$sep"
        sep=$',\n'
        printf '  {"path": "%s", "inode": %s, "size": %s, "sha256": "%s", "state": "%s"' "$f" "${ino[$f]}" "${size_of[$f]}" "${sha[$f]}" "$state"
        if [ "$state" = deleted ]; then
            printf ', "intact": %s' "$( intact "$f" "${size_of[$f]}" && echo true || echo false)"
        fi
        printf '}'
    done
    echo
    echo ' ]'
    echo '}'
} > "$manifest"
