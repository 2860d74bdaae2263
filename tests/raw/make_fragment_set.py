#!/usr/bin/env python3
"""Builds a FAT volume holding photos in two pieces, the way a photo comes to
be written around another file.

Usage: make_fragment_set.py OUTDIR [COUNT] [SEED]

For each photo (a camera-style JPEG made by ImageMagick and exiftool): a
placeholder file is copied in (mcopy), then another file of 1 to 64 clusters
(random bytes, text, or another photo), the placeholder is deleted, and the
photo is copied: mtools gives it the lowest free clusters, so its first
piece fills the placeholder's clusters and the rest follows the other file.
Writes OUTDIR/fragments.img (FAT16, 2 KiB clusters) and
OUTDIR/fragments.json: {"photos": [{"name", "sha256", "length", "pieces":
[[offset, length], [offset, length]], "gap_clusters"}], "cluster": 2048,
"live": [[offset, length] of each cluster of the files that stay]}.
Exit status 77 when a tool is missing.
"""
import hashlib
import json
import os
import random
import shutil
import struct
import subprocess
import sys

OUT = sys.argv[1]
COUNT = int(sys.argv[2]) if len(sys.argv) > 2 else 24
SEED = int(sys.argv[3]) if len(sys.argv) > 3 else 5
rnd = random.Random(SEED)
for tool in ("convert", "exiftool", "mkfs.fat", "mcopy", "mdel"):
    if not shutil.which(tool):
        print("missing tool: %s (scripts/deps.sh installs it)" % tool)
        sys.exit(77)
os.makedirs(OUT, exist_ok=True)
work = os.path.join(OUT, "parts")
os.makedirs(work, exist_ok=True)
img = os.path.join(OUT, "fragments.img")


def run(*cmd):
    subprocess.run(cmd, check=True, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)


CLUSTER = 2048
if os.path.exists(img):
    os.remove(img)
with open(img, "wb") as f:
    f.truncate(96 << 20)
run("mkfs.fat", "-F", "16", "-s", "4", "-n", "PHOTOS", img)

photos = []
for i in range(COUNT):
    name = "IMG_%04d.JPG" % i
    p = os.path.join(work, name)
    w, h = rnd.choice([(800, 600), (640, 480), (1024, 768)])
    run("convert", "-size", "%dx%d" % (w, h), "-seed", str(100 + i), "plasma:", "-quality", str(rnd.randint(80, 95)), p)
    run("exiftool", "-q", "-overwrite_original", "-Make=Canon", "-Model=Canon EOS %dD" % (10 + i),
        "-DateTimeOriginal=2024:05:%02d 10:%02d:00" % (1 + i % 28, i % 60), p)
    data = open(p, "rb").read()
    clusters = (len(data) + CLUSTER - 1) // CLUSTER
    first = rnd.randint(max(1, clusters // 5), max(1, clusters * 4 // 5))
    gap = rnd.randint(1, 64)
    # The placeholder that the photo's first piece will take.
    hole = os.path.join(work, "HOLE%04d.BIN" % i)
    with open(hole, "wb") as f:
        f.write(rnd.randbytes(first * CLUSTER))
    # What lies between the pieces.
    between = os.path.join(work, "GAP%04d.BIN" % i)
    kind = rnd.choice(["random", "text", "photo"])
    if kind == "photo":
        run("convert", "-size", "400x300", "-seed", str(900 + i), "plasma:", "-quality", "85", between + ".jpg")
        body = open(between + ".jpg", "rb").read()
        body = (body * ((gap * CLUSTER) // len(body) + 1))[: gap * CLUSTER]
    elif kind == "text":
        body = ("Some lines of a file that was written in between. %d\n" % i * 4000).encode()[: gap * CLUSTER]
    else:
        body = rnd.randbytes(gap * CLUSTER)
    with open(between, "wb") as f:
        f.write(body)
    run("mcopy", "-i", img, hole, "::HOLE%04d.BIN" % i)
    run("mcopy", "-i", img, between, "::GAP%04d.BIN" % i)
    run("mdel", "-i", img, "::HOLE%04d.BIN" % i)
    run("mcopy", "-i", img, p, "::" + name)
    photos.append({"name": name, "sha256": hashlib.sha256(data).hexdigest(), "length": len(data),
                   "gap_clusters": gap, "between": kind})

# Where the pieces ended up: the photos' cluster chains from the FAT.
d = open(img, "rb").read()
bps, spc, res, nf, rootent = struct.unpack_from("<HBHBH", d, 11)
fatsz = struct.unpack_from("<H", d, 22)[0]
fat = d[res * bps: (res + fatsz) * bps]
root = (res + nf * fatsz) * bps
data0 = root + rootent * 32
chains = {}
for k in range(rootent):
    e = d[root + 32 * k: root + 32 * k + 32]
    if e[0] in (0, 0xE5) or e[11] == 0x0F:
        continue
    nm = e[:8].decode().strip() + "." + e[8:11].decode().strip()
    c, chain = struct.unpack_from("<H", e, 26)[0], []
    while 2 <= c < 0xFFF8 and len(chain) < 100000:
        chain.append(c)
        c = struct.unpack_from("<H", fat, 2 * c)[0]
    chains[nm] = chain
for ph in photos:
    chain = chains[ph["name"]]
    pieces, left = [], ph["length"]
    start = prev = chain[0]
    for c in chain[1:] + [None]:
        if c is not None and c == prev + 1:
            prev = c
            continue
        n = min(left, (prev - start + 1) * CLUSTER)
        pieces.append([data0 + (start - 2) * CLUSTER, n])
        left -= n
        if c is not None:
            start = prev = c
    ph["pieces"] = pieces
# The files that stay (what lies between the pieces): their clusters.
live = []
for nm, chain in chains.items():
    if nm.startswith("GAP"):
        live += [[data0 + (c - 2) * CLUSTER, CLUSTER] for c in chain]
# The photos are then deleted, as happens to lost ones.
for ph in photos:
    run("mdel", "-i", img, "::" + ph["name"])
with open(os.path.join(OUT, "fragments.json"), "w") as f:
    json.dump({"cluster": CLUSTER, "photos": photos, "live": live}, f, indent=1)
two = sum(len(p["pieces"]) == 2 for p in photos)
print("fragments.img: %d photos, %d in two pieces" % (len(photos), two))
