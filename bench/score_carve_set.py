#!/usr/bin/env python3
"""Scores a carving output folder against the manifest of make_carve_set.py.

Usage: score_carve_set.py OUTDIR MANIFEST [--verbose]

Prints: whole files byte-exact / with the right extension / total, and cut-off
copies written exactly as their valid part. A file counts once however many
copies the tool wrote; extensions are compared up to spelling (jpeg = jpg,
sqlite = db …).
"""
import collections
import hashlib
import json
import os
import sys

out, manifest = sys.argv[1], sys.argv[2]
verbose = "--verbose" in sys.argv
same = {"jpeg": "jpg", "tiff": "tif", "sqlite": "db", "sqlite3": "db", "m4p": "m4a", "3g2": "3gp"}

got = collections.defaultdict(set)  # sha256 -> extensions written
for dp, _, fs in os.walk(out):
    for f in fs:
        if f in ("report.xml", "carve-summary.txt", "audit.txt"):
            continue
        with open(os.path.join(dp, f), "rb") as fh:
            h = hashlib.sha256(fh.read()).hexdigest()
        ext = f.rsplit(".", 1)[-1].lower() if "." in f else ""
        got[h].add(same.get(ext, ext))

m = json.load(open(manifest))
whole = [f for f in m["files"] if f["kind"] == "whole"]
cut = [f for f in m["files"] if f["kind"] == "truncated"]
exact = named = 0
for f in whole:
    ok = f["sha256"] in got
    right = ok and same.get(f["ext"], f["ext"]) in got[f["sha256"]]
    exact += ok
    named += right
    if verbose and not right:
        print("  %-18s %s" % (f["name"], "wrong extension " + ",".join(sorted(got[f["sha256"]])) if ok else "not exact"))
cut_exact = sum(f["sha256"] in got for f in cut)
print("%d %d %d %d %d" % (exact, named, len(whole), cut_exact, len(cut)))
