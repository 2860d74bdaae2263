#!/usr/bin/env python3
"""Builds a carving test image from files made by real tools.

Usage: make_carve_set.py OUTDIR [SEED]

Makes, in OUTDIR/files, files as people have them: camera-style JPEGs with an
EXIF thumbnail (ImageMagick, then exiftool), progressive JPEGs, PNG, GIF,
TIFF, BMP, MP3 with ID3 tags (ffmpeg, lame), WAV, M4A, MP4 (moov last and
first), MOV, 3GP (ffmpeg), HEIC (heif-enc, when present), PDFs with an
incremental update (Ghostscript, then exiftool) and with cross-reference
streams (qpdf), DOCX / XLSX / PPTX / ODT (LibreOffice; made with zipfile
when LibreOffice is absent), EPUB and JAR (zipfile), a ZIP with a comment
(zip), a SQLite database (sqlite3) and an ELF program. Then writes
OUTDIR/carve_set.img: each file at a sector start between gaps of random
bytes or zeros, plus cut-off copies (followed by zeroed slack) and copies in
two fragments; and OUTDIR/carve_set.json, the manifest:

  {"files": [{"name", "ext", "offset", "length", "sha256", "kind",
              "first_fragment"?}], "size": N, "tools": {...}}

kind: "whole" (must come back byte-exact with extension ext), "truncated"
(length = the valid part, followed by zeros or by the end of the image), "fragmented" (first_fragment
bytes at offset, the rest after a gap).

Exit status 77 when a tool the image cannot do without is missing (the
message names it).
"""
import hashlib
import json
import os
import random
import shutil
import sqlite3
import subprocess
import sys
import zipfile

OUT = sys.argv[1]
SEED = int(sys.argv[2]) if len(sys.argv) > 2 else 17
rnd = random.Random(SEED)
FILES = os.path.join(OUT, "files")
os.makedirs(FILES, exist_ok=True)
REQUIRED = ["convert", "exiftool", "ffmpeg", "gs"]
missing = [t for t in REQUIRED if not shutil.which(t)]
if missing:
    print("missing tools: " + ", ".join(missing) + " (scripts/deps.sh installs them)")
    sys.exit(77)


def run(*cmd, **kw):
    kw.setdefault("stdin", subprocess.DEVNULL)  # ffmpeg reads commands from a terminal otherwise
    subprocess.run(cmd, check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, **kw)


def path(name):
    return os.path.join(FILES, name)


made = []  # (name, expected extension)


def keep(name, ext):
    made.append((name, ext))


# --- pictures ---------------------------------------------------------------
run("convert", "-size", "160x120", "-seed", "3", "plasma:", path("thumb.jpg"))
run("convert", "-size", "1600x1200", "-seed", "1", "plasma:fractal", "-quality", "90", path("camera.jpg"))
run("exiftool", "-q", "-overwrite_original", "-Make=Canon", "-Model=Canon EOS 80D",
    "-DateTimeOriginal=2023:05:06 07:08:09", "-ThumbnailImage<=" + path("thumb.jpg"), path("camera.jpg"))
keep("camera.jpg", "jpg")
run("convert", "-size", "1024x768", "-seed", "2", "plasma:green-blue", "-quality", "85", path("phone.jpg"))
run("exiftool", "-q", "-overwrite_original", "-Make=Google", "-Model=Pixel 7", "-GPSLatitude=48.1",
    "-ThumbnailImage<=" + path("thumb.jpg"), path("phone.jpg"))
keep("phone.jpg", "jpg")
run("convert", "-size", "800x600", "-seed", "4", "plasma:", "-interlace", "Plane", "-quality", "88",
    path("progressive.jpg"))
keep("progressive.jpg", "jpg")
run("convert", "-size", "1200x900", "-seed", "5", "plasma:orange-purple", "-interlace", "Plane", path("prog_exif.jpg"))
run("exiftool", "-q", "-overwrite_original", "-Make=NIKON CORPORATION", "-ThumbnailImage<=" + path("thumb.jpg"),
    path("prog_exif.jpg"))
keep("prog_exif.jpg", "jpg")
run("convert", "-size", "640x480", "-seed", "6", "plasma:", path("image.png"))
keep("image.png", "png")
run("convert", "-size", "300x200", "gradient:yellow-navy", "-swirl", "90", path("logo.png"))
keep("logo.png", "png")
run("convert", "-delay", "20", "-size", "120x90", "-seed", "7", "plasma:", "plasma:red-blue", "plasma:green-white",
    "-loop", "0", path("anim.gif"))
keep("anim.gif", "gif")
run("convert", "-size", "500x400", "-seed", "8", "plasma:", "-compress", "lzw", path("scan.tif"))
keep("scan.tif", "tif")
run("convert", "-size", "256x256", "-seed", "9", "plasma:", "BMP3:" + path("icon.bmp"))
keep("icon.bmp", "bmp")
if shutil.which("heif-enc"):
    try:
        run("heif-enc", "-q", "50", "-o", path("photo.heic"), path("phone.jpg"))
        keep("photo.heic", "heic")
    except subprocess.CalledProcessError:
        pass

# --- sound and video ------------------------------------------------------------
FF = ["ffmpeg", "-nostdin", "-hide_banner", "-loglevel", "error", "-y"]
run(*FF, "-f", "lavfi", "-i", "sine=frequency=440:duration=6", "-c:a", "libmp3lame", "-b:a", "128k",
    "-metadata", "title=Tone", "-metadata", "artist=Brantlow", path("tone.mp3"))
keep("tone.mp3", "mp3")
if shutil.which("lame"):
    run(*FF, "-f", "lavfi", "-i", "sine=frequency=660:duration=4", path("chirp.wav"))
    run("lame", "--quiet", "-V", "4", "--tt", "Chirp", "--ta", "Brantlow", "--add-id3v2", path("chirp.wav"),
        path("chirp.mp3"))
    keep("chirp.mp3", "mp3")
run(*FF, "-f", "lavfi", "-i", "sine=frequency=330:duration=2", "-ac", "2", path("voice.wav"))
keep("voice.wav", "wav")
run(*FF, "-f", "lavfi", "-i", "sine=frequency=550:duration=5", "-c:a", "aac", "-b:a", "96k", path("memo.m4a"))
keep("memo.m4a", "m4a")
VIDEO = ["-f", "lavfi", "-i", "testsrc=size=320x240:rate=25:duration=3", "-f", "lavfi", "-i",
         "sine=frequency=500:duration=3", "-c:v", "libx264", "-preset", "veryfast", "-pix_fmt", "yuv420p",
         "-c:a", "aac", "-shortest"]
run(*FF, *VIDEO, path("clip.mp4"))
keep("clip.mp4", "mp4")
run(*FF, *VIDEO, "-movflags", "+faststart", path("clip_fast.mp4"))
keep("clip_fast.mp4", "mp4")
run(*FF, *VIDEO, path("clip.mov"))
keep("clip.mov", "mov")
run(*FF, "-f", "lavfi", "-i", "testsrc=size=176x144:rate=15:duration=3", "-f", "lavfi", "-i",
    "sine=frequency=700:duration=3", "-c:v", "libx264", "-preset", "veryfast", "-pix_fmt", "yuv420p",
    "-c:a", "aac", "-ar", "16000", "-shortest", "-f", "3gp", path("phone.3gp"))
keep("phone.3gp", "3gp")

# --- documents --------------------------------------------------------------------
run("gs", "-q", "-dNOPAUSE", "-dBATCH", "-sDEVICE=pdfwrite", "-o", path("report.pdf"), "-c",
    "/Helvetica findfont 24 scalefont setfont 72 700 moveto (Quarterly report) show showpage "
    "72 700 moveto (Page two) show showpage")
# exiftool writes PDF metadata as an incremental update
run("exiftool", "-q", "-overwrite_original", "-Title=Quarterly report", "-Author=Brantlow", path("report.pdf"))
keep("report.pdf", "pdf")
if shutil.which("qpdf"):
    run("qpdf", "--object-streams=generate", path("report.pdf"), path("xref_stream.pdf"))
    keep("xref_stream.pdf", "pdf")
    run("qpdf", "--linearize", path("report.pdf"), path("linear.pdf"))
    keep("linear.pdf", "pdf")

text = "\n".join("Line %d of a letter that someone wrote and then lost." % i for i in range(60))
with open(path("letter.txt"), "w") as f:
    f.write(text)
with open(path("sheet.csv"), "w") as f:
    f.write("\n".join("%d,%d,%s" % (i, i * i, "row%d" % i) for i in range(200)))
with open(path("slides.fodp"), "w") as f:
    f.write('<?xml version="1.0" encoding="UTF-8"?>\n'
            '<office:document xmlns:office="urn:oasis:names:tc:opendocument:xmlns:office:1.0" '
            'xmlns:draw="urn:oasis:names:tc:opendocument:xmlns:drawing:1.0" '
            'xmlns:text="urn:oasis:names:tc:opendocument:xmlns:text:1.0" '
            'xmlns:svg="urn:oasis:names:tc:opendocument:xmlns:svg-compatible:1.0" '
            'office:version="1.2" office:mimetype="application/vnd.oasis.opendocument.presentation">'
            '<office:body><office:presentation><draw:page draw:name="p1"><draw:frame svg:x="2cm" svg:y="2cm" '
            'svg:width="20cm" svg:height="3cm"><draw:text-box><text:p>Slides that were lost</text:p>'
            '</draw:text-box></draw:frame></draw:page></office:presentation></office:body></office:document>')
soffice = shutil.which("soffice")
office_by = "zipfile"
if soffice:
    try:
        conv = [soffice, "--headless", "--norestore", "-env:UserInstallation=file://" + os.path.join(OUT, "lo-profile"),
                "--convert-to"]
        run(*conv, "docx:MS Word 2007 XML", "--outdir", FILES, path("letter.txt"))
        run(*conv, "odt", "--outdir", FILES, path("letter.txt"))
        run(*conv, "xlsx", "--outdir", FILES, path("sheet.csv"))
        run(*conv, "pptx", "--outdir", FILES, path("slides.fodp"))
        office_by = "LibreOffice"
    except subprocess.CalledProcessError:
        office_by = "zipfile"
    for n in ("letter.docx", "letter.odt", "sheet.xlsx", "slides.pptx"):
        if not os.path.exists(path(n)):
            office_by = "zipfile"
if office_by == "zipfile":
    def ooxml(name, part, body):
        with zipfile.ZipFile(path(name), "w", zipfile.ZIP_DEFLATED) as z:
            z.writestr("[Content_Types].xml", '<?xml version="1.0"?><Types/>')
            z.writestr("_rels/.rels", '<?xml version="1.0"?><Relationships/>')
            z.writestr(part, body)
    ooxml("letter.docx", "word/document.xml", "<w:document>%s</w:document>" % text)
    ooxml("sheet.xlsx", "xl/workbook.xml", "<workbook/>")
    ooxml("slides.pptx", "ppt/presentation.xml", "<p:presentation/>")
    with zipfile.ZipFile(path("letter.odt"), "w", zipfile.ZIP_DEFLATED) as z:
        z.writestr(zipfile.ZipInfo("mimetype"), "application/vnd.oasis.opendocument.text",
                   compress_type=zipfile.ZIP_STORED)
        z.writestr("content.xml", "<office:document-content>%s</office:document-content>" % text)
for n, e in (("letter.docx", "docx"), ("letter.odt", "odt"), ("sheet.xlsx", "xlsx"), ("slides.pptx", "pptx")):
    keep(n, e)
with zipfile.ZipFile(path("book.epub"), "w", zipfile.ZIP_DEFLATED) as z:
    z.writestr(zipfile.ZipInfo("mimetype"), "application/epub+zip", compress_type=zipfile.ZIP_STORED)
    z.writestr("META-INF/container.xml", '<?xml version="1.0"?><container/>')
    z.writestr("OEBPS/chapter1.xhtml", "<html><body>%s</body></html>" % text)
keep("book.epub", "epub")
with zipfile.ZipFile(path("tool.jar"), "w", zipfile.ZIP_DEFLATED) as z:
    z.writestr("META-INF/MANIFEST.MF", "Manifest-Version: 1.0\r\nMain-Class: Tool\r\n\r\n")
    z.writestr("Tool.class", bytes(rnd.getrandbits(8) for _ in range(3000)))
keep("tool.jar", "jar")
if shutil.which("zip"):
    run("zip", "-q", "-j", path("photos.zip"), path("thumb.jpg"), path("letter.txt"), path("sheet.csv"))
    run("zip", "-q", "-z", path("photos.zip"), input=b"Holiday pictures\n.\n", stdin=None)
    keep("photos.zip", "zip")

# --- databases and programs ----------------------------------------------------------
db = sqlite3.connect(path("notes.db"))
db.execute("create table notes(id integer primary key, title text, body text)")
db.executemany("insert into notes(title, body) values(?, ?)",
               [("note %d" % i, "text of note %d " % i * 20) for i in range(400)])
db.commit()
db.close()
keep("notes.db", "db")
for candidate in ("/usr/bin/ls", "/bin/ls", "/usr/bin/true"):
    if os.path.exists(candidate):
        shutil.copyfile(candidate, path("program.elf"))
        keep("program.elf", "elf")
        break

# --- the image ----------------------------------------------------------------------
blobs = {}
for name, _ in made:
    with open(path(name), "rb") as f:
        blobs[name] = f.read()

entries = []
image = bytearray()


def gap():
    n = rnd.randint(1, 24) * 512
    image.extend(os.urandom(n) if rnd.random() < 0.5 else bytes(n))


def pad(fill_zero):
    n = (-len(image)) % 512
    image.extend(bytes(n) if fill_zero else bytes(rnd.getrandbits(8) for _ in range(n)))


def place(name, data, ext, kind, **extra):
    off = len(image)
    image.extend(data)
    e = {"name": name, "ext": ext, "offset": off, "length": len(data), "sha256": hashlib.sha256(data).hexdigest(),
         "kind": kind}
    e.update(extra)
    entries.append(e)
    return off


def cut(data, frac):
    """A cut point near frac: not on a sector boundary, at least 64 bytes of
    slack to the next one, on a non-zero byte."""
    k = int(len(data) * frac)
    while k % 512 == 0 or 512 - k % 512 < 64 or data[k - 1] == 0:
        k -= 1
    return k


image.extend(bytes(64 * 1024))  # nothing in the first sectors
order = list(made)
rnd.shuffle(order)
for name, ext in order:
    gap()
    place(name, blobs[name], ext, "whole")
    pad(fill_zero=rnd.random() < 0.5)

# Cut-off copies: the valid part, zeroed slack, then a gap.
for name in ("camera.jpg", "image.png", "clip.mp4", "letter.docx", "tone.mp3"):
    if name not in blobs:
        continue
    gap()
    data = blobs[name]
    k = cut(data, 0.55)
    ext = dict(made)[name]
    place("cut_" + name, data[:k], ext, "truncated")
    pad(fill_zero=True)

# Two fragments with random bytes between.
for name in ("phone.jpg", "logo.png"):
    gap()
    data = blobs[name]
    k = (len(data) // 2) & ~511
    off = len(image)
    image.extend(data[:k])
    image.extend(os.urandom(rnd.randint(4, 16) * 512))
    image.extend(data[k:])
    entries.append({"name": "frag_" + name, "ext": dict(made)[name], "offset": off, "length": len(data),
                    "sha256": hashlib.sha256(data).hexdigest(), "kind": "fragmented", "first_fragment": k})
    pad(fill_zero=False)

# The last file runs past the end of the image: cut there.
gap()
k = cut(blobs["camera.jpg"], 0.4)
place("end_camera.jpg", blobs["camera.jpg"][:k], "jpg", "truncated")
with open(os.path.join(OUT, "carve_set.img"), "wb") as f:
    f.write(image)
with open(os.path.join(OUT, "carve_set.json"), "w") as f:
    json.dump({"size": len(image), "seed": SEED, "office_files_by": office_by, "files": entries}, f, indent=1)
print("carve_set.img: %d files, %d bytes (office files by %s)" % (len(entries), len(image), office_by))
