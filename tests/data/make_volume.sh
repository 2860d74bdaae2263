#!/bin/bash
# Makes a small volume the way a running system leaves it, through the real
# formatter and driver: folders of files written through the driver, some
# files removed, one folder emptied and removed, then new files written
# (which may take the freed space). Writes IMAGE.xz and a manifest beside it
# in the fixture format (volumes[0].entries: path, type, state, size,
# sha256, times.mtime, content_intact_on_disk for removed files).
#
#   FS=ntfs    mkntfs, written through ntfs-3g
#   FS=exfat   mkfs.exfat, written through exfat-fuse
#
# Needs root, losetup for exFAT, FUSE and The Sleuth Kit (fls); exits 77 when a mount fails.
# Usage: make_volume.sh ntfs|exfat NAME   (writes tests/data/NAME.img.xz and NAME.json)
set -eu
export TZ=UTC
fs=$1
name=$2
here=$(cd "$(dirname "$0")" && pwd)
work=$(mktemp -d)
mnt=$work/mnt
img=$work/$name.img
mkdir -p "$mnt"
loop=""
cleanup() {
    mountpoint -q "$mnt" && umount "$mnt"
    [ -n "$loop" ] && losetup -d "$loop" 2>/dev/null
    rm -rf "$work"
}
trap cleanup EXIT

truncate -s 8M "$img"
case $fs in
ntfs)
    mkntfs -q -F -Q -s 512 -c 4096 -L small_ntfs -T "$img" >/dev/null 2>&1
    domount() { ntfs-3g "$img" "$mnt" 2>/dev/null || exit 77; }
    mkfs="mkntfs -Q -c 4096 (8 MiB), ntfs-3g"
    ;;
exfat)
    mkfs.exfat -c 4K -L small_exfat "$img" >/dev/null
    domount() {
        loop=$(losetup -f --show "$img" 2>/dev/null) || exit 77
        mount.exfat-fuse "$loop" "$mnt" >/dev/null 2>&1 || exit 77
    }
    mkfs="mkfs.exfat -c 4K (8 MiB), exfat-fuse"
    ;;
*) echo "unknown file system $fs" >&2; exit 1 ;;
esac
domount

# Content: numbered lines, distinct in every cluster; a photo starts with a
# JPEG or PNG signature. Times: fixed, whole even seconds.
declare -A sha size_of mtime kind
order=()
n=0
make() {  # path bytes [signature]
    local p=$mnt/$1
    { [ -n "${3:-}" ] && printf "$3"; seq -f "$1 line %09g" 1 $(( $2 / 20 + 1 )); } | head -c "$2" > "$p"
    n=$((n + 1))
    touch -d "@$(( 1600000000 + n * 86402 ))" "$p"
    order+=("$1"); kind[$1]=file
}
folder() { mkdir "$mnt/$1"; order+=("$1"); kind[$1]=dir; }

folder Downloads
for i in $(seq -f %02g 0 11); do make Downloads/file_$i.bin $(( 700 + 10#$i * 7300 )); done
folder Documents
folder "Documents/Projets été"
for i in $(seq -f %02g 0 15); do make Documents/doc_$i.txt $(( 300 + 10#$i * 5100 )); done
for i in 0 1 2 3; do make "Documents/Projets été/résumé_$i.txt" $(( 2000 + i * 9000 )); done
folder Photos
for i in $(seq -f %02g 0 9); do
    sig='\xff\xd8\xff\xe0\x00\x10JFIF\x00'; ext=jpg
    [ $((10#$i % 2)) = 1 ] && sig='\x89PNG\r\n\x1a\n' && ext=png
    make Photos/img_$i.$ext $(( 6000 + 10#$i * 21000 )) "$sig"
done
make notes.txt 5000
make empty.txt 0
make big.bin 900000
sync
for f in "${order[@]}"; do
    [ "${kind[$f]}" = file ] || continue
    sha[$f]=$(sha256sum < "$mnt/$f" | cut -d' ' -f1)
    size_of[$f]=$(stat -c %s "$mnt/$f")
    mtime[$f]=$(date -u -d "@$(stat -c %Y "$mnt/$f")" +%Y-%m-%dT%H:%M:%SZ)
done

deleted=(Documents/doc_01.txt Documents/doc_04.txt Documents/doc_07.txt Documents/doc_10.txt Documents/doc_13.txt
         "Documents/Projets été/résumé_2.txt" Photos/img_00.jpg Photos/img_03.png Photos/img_06.jpg Photos/img_09.png
         notes.txt)
for i in $(seq -f %02g 0 11); do deleted+=(Downloads/file_$i.bin); done
for f in "${deleted[@]}"; do rm "$mnt/$f"; done
rmdir "$mnt/Downloads"
sync

# New files after the deletions: they may take freed clusters.
folder New
for i in 0 1 2; do
    make New/new_$i.txt $(( 20000 + i * 45000 ))
    f=New/new_$i.txt
    sha[$f]=$(sha256sum < "$mnt/$f" | cut -d' ' -f1); size_of[$f]=$(stat -c %s "$mnt/$f")
    mtime[$f]=$(date -u -d "@$(stat -c %Y "$mnt/$f")" +%Y-%m-%dT%H:%M:%SZ)
done
sync
umount "$mnt"
if [ -n "$loop" ]; then
    for _ in $(seq 50); do losetup -d "$loop" 2>/dev/null && break; sleep 0.1; done
    loop=""
fi

# The manifest: a removed file is intact when its bytes still stand whole
# and in order somewhere in the image (small volume, files written whole:
# each lies in one run, or NTFS resident data in its record).
{
    for f in "${order[@]}"; do
        state=live
        for d in "${deleted[@]}" Downloads; do [ "$d" = "$f" ] && state=deleted; done
        printf '%s\t%s\t%s\t%s\t%s\t%s\n' "$f" "${kind[$f]}" "$state" "${size_of[$f]:-}" "${sha[$f]:-}" "${mtime[$f]:-}"
    done
} > "$work/entries.tsv"
# The Sleuth Kit's listing (live and deleted names) as a second opinion:
# what it cannot list any more (a removed folder whose entries were
# overwritten) is marked not_listed.
fls -r -p "$img" | sed 's/^[^\t]*\t//; s/ (deleted)$//' > "$work/tsk.txt"
python3 - "$img" "$work/entries.tsv" "$fs" "$mkfs" "$here/$name.json" "$work/tsk.txt" <<'EOF'
import hashlib, json, sys
img_path, tsv, fs, mkfs, out, tsk_path = sys.argv[1:]
tsk = set(l.rstrip('\n') for l in open(tsk_path, encoding='utf-8'))
data = open(img_path, 'rb').read()
entries = []
for line in open(tsv, encoding='utf-8'):
    path, kind, state, size, sha, mtime = line.rstrip('\n').split('\t')
    e = {"path": path, "type": kind, "state": state}
    if kind == "file":
        e["size"] = int(size)
        e["sha256"] = sha
        e["times"] = {"mtime": mtime, "atime": None, "ctime": None, "crtime": None}
    else:
        e["times"] = {"mtime": None, "atime": None, "ctime": None, "crtime": None}
    e["tsk"] = {"listed": "path" if path in tsk else "not_listed"}
    entries.append(e)
# Rebuild each removed file's bytes the way the maker wrote them.
def content(path, size):
    sig = b''
    if path.endswith('.jpg'): sig = b'\xff\xd8\xff\xe0\x00\x10JFIF\x00'
    if path.endswith('.png'): sig = b'\x89PNG\r\n\x1a\n'
    lines = b''.join(b'%s line %09d\n' % (path.encode(), i) for i in range(1, size // 20 + 2))
    return (sig + lines)[:size]
for e in entries:
    if e["state"] == "deleted" and e["type"] == "file":
        c = content(e["path"], e["size"])
        assert hashlib.sha256(c).hexdigest() == e["sha256"], e["path"]
        e["content_intact_on_disk"] = e["size"] > 0 and data.find(c) >= 0
manifest = {
    "made_by": "tests/data/make_volume.sh " + fs,
    "layout": "volume", "sector_size": 512,
    "image": out.rsplit('/', 1)[1].replace('.json', '.img.xz'),
    "uncompressed_size": len(data),
    "uncompressed_sha256": hashlib.sha256(data).hexdigest(),
    "volumes": [{"offset_bytes": 0, "length_bytes": len(data), "fs": fs, "mkfs": mkfs,
                 "time_semantics": {"mtime": "set per file with touch; the other times are not fixed (null)"},
                 "entries": entries}],
}
with open(out, 'w', encoding='utf-8') as f:
    json.dump(manifest, f, ensure_ascii=False, indent=1)
    f.write('\n')
EOF
xz -9 -c "$img" > "$here/$name.img.xz"
