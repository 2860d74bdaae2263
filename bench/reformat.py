#!/usr/bin/env python3
"""The re-formatted fixtures: what comes back of the earlier file system.

Usage: bench/reformat.py [--photorec] [--cli BUILD/brantlow-cli] [--fixtures DIR]

For each reformat_* image of the fixtures (decompressed into a temporary
folder) and its manifest's intact earlier files (state previous_fs,
content_intact_on_disk): `recover --fs-candidate 1` — byte-exact, and
byte-exact under the file's own name — and `carve` — byte-exact, unnamed;
with --photorec, PhotoRec's whole-space carve of every type beside them.
Prints one Markdown table.
"""
import argparse
import hashlib
import json
import lzma
import os
import shutil
import subprocess
import sys
import tempfile

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
NAMES = ["reformat_ntfs", "reformat_ntfs_cs", "reformat_fat32", "reformat_fat32_cs", "reformat_exfat_to_ntfs",
         "reformat_ntfs_to_exfat"]


def hashes(folder):
    got = {}
    for dp, _, fs in os.walk(folder):
        for f in fs:
            if f in ("report.xml", "carve-summary.txt") or f.endswith(".partial"):
                continue
            with open(os.path.join(dp, f), "rb") as fh:
                got.setdefault(hashlib.sha256(fh.read()).hexdigest(), set()).add(f)
    return got


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--cli", default=os.path.join(ROOT, "build", "brantlow-cli"))
    ap.add_argument("--fixtures", default=os.environ.get("BRANTLOW_FIXTURES", os.path.join(ROOT, "..", "shared", "fixtures")))
    ap.add_argument("--photorec", action="store_true")
    a = ap.parse_args()
    work = tempfile.mkdtemp(prefix="brantlow-reformat-")
    try:
        cols = "| fixture | intact old files | `--fs-candidate 1`: byte-exact | with name | `carve`: byte-exact |"
        sep = "|---|---|---|---|---|"
        if a.photorec:
            cols += " PhotoRec |"
            sep += "---|"
        print(cols)
        print(sep)
        for name in NAMES:
            xz = os.path.join(a.fixtures, name + ".img.xz")
            if not os.path.exists(xz):
                print(f"| `{name}` | (no fixture) | | | |")
                continue
            img = os.path.join(work, name + ".img")
            with lzma.open(xz) as src, open(img, "wb") as dst:
                shutil.copyfileobj(src, dst)
            with open(os.path.join(a.fixtures, name + ".json")) as fh:
                man = json.load(fh)
            old = [e for v in man["volumes"] for e in v["entries"] if e["state"] == "previous_fs"
                   and e["type"] == "file" and e.get("content_intact_on_disk")]
            rec, carve, pr = (os.path.join(work, d) for d in ("rec", "carve", "pr"))
            subprocess.run([a.cli, "recover", img, "--fs-candidate", "1", "--out", rec, "--quiet"],
                           stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            subprocess.run([a.cli, "carve", img, "--out", carve, "--quiet"], stdout=subprocess.DEVNULL,
                           stderr=subprocess.DEVNULL)
            r, c = hashes(rec), hashes(carve)
            exact = sum(e["sha256"] in r for e in old)
            named = sum(os.path.basename(e["path"]) in r.get(e["sha256"], ()) for e in old)
            carved = sum(e["sha256"] in c for e in old)
            row = f"| `{name}` | {len(old)} | {exact} | {named} | {carved} |"
            if a.photorec:
                os.makedirs(pr, exist_ok=True)
                subprocess.run(["photorec", "/log", "/d", os.path.join(pr, "f"), "/cmd", img,
                                "fileopt,everything,enable,wholespace,search"], stdout=subprocess.DEVNULL,
                               stderr=subprocess.DEVNULL, cwd=work)
                p = hashes(pr)
                row += f" {sum(e['sha256'] in p for e in old)} |"
            print(row, flush=True)
            for d in (rec, carve, pr):
                shutil.rmtree(d, ignore_errors=True)
            os.remove(img)
    finally:
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
