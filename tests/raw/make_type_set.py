#!/usr/bin/env python3
"""Builds a carving test image of the families people lose, made by real tools.

Usage: make_type_set.py OUTDIR [SEED]

Makes, in OUTDIR/files: PSD, ICO, PPM/PGM, JPEG 2000 and TIFF (ImageMagick);
FLAC, OGG Vorbis, Opus, AIFF, AU, AAC in ADTS, WMA (ffmpeg); Matroska, WebM,
FLV, MPEG program and transport streams, WMV (ffmpeg); 7z, gzip, tar.gz,
bzip2, xz, zstd, lz4, tar, CAB (gcab), ISO 9660 (genisoimage), an ar
archive; an MSI package (msibuild: an OLE2 compound file), RTF, mail (Python's
email and mailbox modules), vCard, iCalendar, HTML; a SQLite database with
its write-ahead log; QCOW2, VMDK, VHD and VDI images (qemu-img); a TrueType
font and an ELF program from the system. Then writes OUTDIR/type_set.img
(each file at a sector start between gaps of random bytes or zeros) and
OUTDIR/type_set.json: {"files": [{"name", "ext", "offset", "length",
"sha256"}], "size", "tools"}. A file whose tool is missing is left out and
named in "missing". Exit status 77 when ImageMagick or ffmpeg is missing.
"""
import email.message
import hashlib
import json
import mailbox
import os
import random
import shutil
import sqlite3
import subprocess
import sys
import tarfile

OUT = sys.argv[1]
SEED = int(sys.argv[2]) if len(sys.argv) > 2 else 23
rnd = random.Random(SEED)
FILES = os.path.join(OUT, "files")
os.makedirs(FILES, exist_ok=True)
for tool in ("convert", "ffmpeg"):
    if not shutil.which(tool):
        print("missing tool: %s (scripts/deps.sh installs it)" % tool)
        sys.exit(77)

made, missing = [], []


def path(name):
    return os.path.join(FILES, name)


def run(*cmd, **kw):
    kw.setdefault("stdin", subprocess.DEVNULL)
    subprocess.run(cmd, check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, **kw)


def attempt(name, ext, *cmd, tool=None, cwd=None):
    """Runs the command that makes name; keeps it when the tool is there."""
    t = tool or cmd[0]
    if not shutil.which(t):
        missing.append(name)
        return
    try:
        run(*cmd, cwd=cwd)
        made.append((name, ext))
    except subprocess.CalledProcessError:
        missing.append(name)


text = "\n".join("Line %d of a note that someone wrote and then lost." % i for i in range(80)) + "\n"
with open(path("note.txt"), "w") as f:
    f.write(text)
with open(path("noise.bin"), "wb") as f:
    f.write(bytes(rnd.getrandbits(8) for _ in range(60000)))

# --- pictures ----------------------------------------------------------------
run("convert", "-size", "320x240", "-seed", "11", "plasma:", path("base.png"))
attempt("layers.psd", "psd", "convert", path("base.png"), "-compress", "RLE", path("layers.psd"))
attempt("app.ico", "ico", "convert", path("base.png"), "-define", "icon:auto-resize=64,32,16", path("app.ico"))
attempt("frame.ppm", "ppm", "convert", path("base.png"), path("frame.ppm"))
attempt("gray.pgm", "pgm", "convert", path("base.png"), "-colorspace", "Gray", path("gray.pgm"))
attempt("scan.jp2", "jp2", "convert", path("base.png"), path("scan.jp2"))
attempt("page.tif", "tif", "convert", path("base.png"), "-compress", "zip", path("page.tif"))

# --- sound and video -------------------------------------------------------------
FF = ["ffmpeg", "-nostdin", "-hide_banner", "-loglevel", "error", "-y"]
TONE = ["-f", "lavfi", "-i", "sine=frequency=440:duration=3"]
attempt("song.flac", "flac", *FF, *TONE, path("song.flac"))
attempt("song.ogg", "ogg", *FF, *TONE, "-c:a", "libvorbis", path("song.ogg"))
attempt("voice.opus", "opus", *FF, *TONE, "-c:a", "libopus", path("voice.opus"))
attempt("take.aiff", "aif", *FF, *TONE, "-f", "aiff", path("take.aiff"))
attempt("beep.au", "au", *FF, *TONE, "-f", "au", path("beep.au"))
attempt("radio.aac", "aac", *FF, *TONE, "-c:a", "aac", "-f", "adts", path("radio.aac"))
attempt("memo.wma", "wma", *FF, *TONE, "-c:a", "wmav2", "-f", "asf", path("memo.wma"))
VIDEO = ["-f", "lavfi", "-i", "testsrc=size=160x120:rate=15:duration=2", "-f", "lavfi", "-i",
         "sine=frequency=500:duration=2", "-shortest"]
attempt("clip.mkv", "mkv", *FF, *VIDEO, "-c:v", "mpeg4", "-c:a", "mp2", path("clip.mkv"))
attempt("clip.webm", "webm", *FF, *VIDEO, "-c:v", "libvpx", "-b:v", "200k", "-c:a", "libvorbis", path("clip.webm"))
attempt("clip.flv", "flv", *FF, *VIDEO, "-c:v", "flv", "-c:a", "mp3", "-ar", "44100", path("clip.flv"))
attempt("clip.mpg", "mpg", *FF, *VIDEO, "-c:v", "mpeg2video", "-c:a", "mp2", "-f", "vob", path("clip.mpg"))
attempt("clip.ts", "ts", *FF, *VIDEO, "-c:v", "mpeg2video", "-c:a", "mp2", "-f", "mpegts", path("clip.ts"))
attempt("clip.wmv", "wmv", *FF, *VIDEO, "-c:v", "wmv2", "-c:a", "wmav2", "-f", "asf", path("clip.wmv"))

# --- archives --------------------------------------------------------------------
attempt("bundle.7z", "7z", "7z", "a", "-bd", "-y", path("bundle.7z"), path("note.txt"), path("base.png"))
for tool, ext in (("gzip", "gz"), ("bzip2", "bz2"), ("xz", "xz"), ("zstd", "zst"), ("lz4", "lz4")):
    name = "note.txt." + ext
    if shutil.which(tool):
        with open(path("note.txt"), "rb") as src, open(path(name), "wb") as dst:
            subprocess.run([tool, "-c"], stdin=src, stdout=dst, check=True, stderr=subprocess.DEVNULL)
        made.append((name, ext))
    else:
        missing.append(name)
with tarfile.open(path("backup.tar"), "w", format=tarfile.GNU_FORMAT) as t:
    t.add(path("note.txt"), "note.txt")
    t.add(path("base.png"), "base.png")
made.append(("backup.tar", "tar"))
with tarfile.open(path("backup.tgz"), "w:gz") as t:
    t.add(path("note.txt"), "note.txt")
    t.add(path("noise.bin"), "noise.bin")
made.append(("backup.tgz", "tgz"))
attempt("setup.cab", "cab", "gcab", "-c", "-n", path("setup.cab"), path("note.txt"), path("base.png"))
attempt("disc.iso", "iso", "genisoimage", "-quiet", "-o", path("disc.iso"), "-V", "PHOTOS", path("base.png"),
        path("note.txt"))
attempt("lib.a", "a", "ar", "rc", path("lib.a"), path("note.txt"), path("noise.bin"))

# --- documents and mail ---------------------------------------------------------
if shutil.which("msibuild"):
    try:
        run("msibuild", path("setup.msi"), "-s", "Brantlow test", "Brantlow", "1033", "{12345678-1234-1234-1234-123456789ABC}")
        made.append(("setup.msi", "msi"))
    except subprocess.CalledProcessError:
        missing.append("setup.msi")
else:
    missing.append("setup.msi")
with open(path("letter.rtf"), "w") as f:
    f.write("{\\rtf1\\ansi\\deff0{\\fonttbl{\\f0 Times New Roman;}}\n{\\pard Dear friend,\\par}\n"
            + "".join("{\\pard %s\\par}\n" % l for l in text.splitlines()[:30]) + "}\n")
made.append(("letter.rtf", "rtf"))
msg = email.message.EmailMessage()
msg["From"] = "Ann <ann@example.org>"
msg["To"] = "Bo <bo@example.org>"
msg["Subject"] = "Holiday pictures"
msg["Message-ID"] = "<1234@example.org>"
msg.set_content(text)
with open(path("mail.eml"), "wb") as f:
    f.write(b"Received: from mail.example.org by mx.example.org; Mon, 6 May 2024 07:08:09 +0000\r\n" + bytes(msg))
made.append(("mail.eml", "eml"))
box = mailbox.mbox(path("inbox.mbox"))
for i in range(3):
    m = email.message.EmailMessage()
    m["From"] = "c%d@example.org" % i
    m["Subject"] = "Note %d" % i
    m.set_content(text[: 400 * (i + 1)])
    box.add(m)
box.close()
made.append(("inbox.mbox", "mbox"))
with open(path("contact.vcf"), "w") as f:
    f.write("BEGIN:VCARD\r\nVERSION:3.0\r\nFN:Ann Example\r\nTEL:+1 555 0100\r\nEND:VCARD\r\n")
made.append(("contact.vcf", "vcf"))
with open(path("dates.ics"), "w") as f:
    f.write("BEGIN:VCALENDAR\r\nVERSION:2.0\r\nPRODID:-//Brantlow//test//EN\r\nBEGIN:VEVENT\r\nUID:1@example.org\r\n"
            "DTSTART:20240506T070809Z\r\nSUMMARY:Lost and found\r\nEND:VEVENT\r\nEND:VCALENDAR\r\n")
made.append(("dates.ics", "ics"))
with open(path("page.html"), "w") as f:
    f.write("<!DOCTYPE html>\n<html><head><title>Notes</title></head><body><pre>%s</pre></body></html>\n" % text)
made.append(("page.html", "html"))

# --- databases --------------------------------------------------------------------
db = sqlite3.connect(path("app.db"))
db.execute("pragma journal_mode=wal")
db.execute("pragma wal_autocheckpoint=0")
db.execute("create table t(id integer primary key, body text)")
db.executemany("insert into t(body) values(?)", [("row %d " % i * 30,) for i in range(300)])
db.commit()
shutil.copyfile(path("app.db") + "-wal", path("app.wal"))
db.close()
made.append(("app.wal", "wal"))

# --- disk images, fonts, programs -----------------------------------------------------
if shutil.which("qemu-img"):
    raw = path("disk.raw")
    with open(raw, "wb") as f:
        f.truncate(4 << 20)
        f.seek(1 << 20)
        f.write(open(path("base.png"), "rb").read())
    for fmt, ext, extra in (("qcow2", "qcow2", []), ("vmdk", "vmdk", []), ("vpc", "vhd", ["-o", "subformat=dynamic"]),
                            ("vdi", "vdi", [])):
        name = "disk." + ext
        try:
            run("qemu-img", "convert", "-O", fmt, *extra, raw, path(name))
            made.append((name, ext))
        except subprocess.CalledProcessError:
            missing.append(name)
else:
    missing += ["disk.qcow2", "disk.vmdk", "disk.vhd", "disk.vdi"]
for font in ("/usr/share/fonts/truetype/dejavu/DejaVuSans.ttf", "/usr/share/fonts/truetype/dejavu/DejaVuSerif.ttf"):
    if os.path.exists(font):
        shutil.copyfile(font, path("font.ttf"))
        made.append(("font.ttf", "ttf"))
        break
for candidate in ("/usr/bin/cat", "/bin/cat"):
    if os.path.exists(candidate):
        shutil.copyfile(candidate, path("tool.elf"))
        made.append(("tool.elf", "elf"))
        break

# --- the image ----------------------------------------------------------------------
image = bytearray(bytes(64 * 1024))
entries = []
order = list(made)
rnd.shuffle(order)
for name, ext in order:
    n = rnd.randint(1, 16) * 512
    image.extend(os.urandom(n) if rnd.random() < 0.5 else bytes(n))
    data = open(path(name), "rb").read()
    entries.append({"name": name, "ext": ext, "offset": len(image), "length": len(data),
                    "sha256": hashlib.sha256(data).hexdigest()})
    image.extend(data)
    image.extend(bytes((-len(image)) % 512))
image.extend(bytes(64 * 1024))
with open(os.path.join(OUT, "type_set.img"), "wb") as f:
    f.write(image)
with open(os.path.join(OUT, "type_set.json"), "w") as f:
    json.dump({"size": len(image), "seed": SEED, "files": entries, "missing": missing}, f, indent=1)
print("type_set.img: %d files, %d bytes; left out: %s" % (len(entries), len(image), ", ".join(missing) or "none"))
