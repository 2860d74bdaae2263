#!/usr/bin/env python3
"""Write an NTFS image whose MFT holds N file records, without a mount.

    make_ntfs_records.py OUT.img N [PER_FOLDER]

mkntfs makes an empty volume (a sparse file); this script then writes a new,
contiguous MFT into its largest free extent: the system records of mkntfs,
then N/PER_FOLDER folders under the root ("d0000"...) with PER_FOLDER file
records each ("f0000000.txt"..., small resident data), every other file
deleted (record not in use, not in its folder's index, as NTFS leaves it).
Every folder gets a real $I30 B-tree (index root, INDX blocks, their bitmap),
the MFT its $BITMAP, $Bitmap the clusters taken, and the MFT mirror and the
backup boot sector the new values, so that The Sleuth Kit and this program
both read it as a volume like any other. Only the MFT and the index blocks
take real disk space (about 1.06 KiB per record); the rest stays a hole.
"""
import os
import struct
import subprocess
import sys

CLUSTER = 4096
RECORD = 1024
INDX = 4096
SECTOR = 512
BATCH = 16384  # records per write


def upcase_key(name):
    return name.upper()


def filetime(i):
    # 2024-01-01 00:00 UTC plus i seconds, in 100 ns units from 1601.
    return (133485408000000000 + i * 10000000)


def runs_decode(b):
    runs, pos, lcn = [], 0, 0
    while pos < len(b) and b[pos]:
        h = b[pos]
        ln, lo = h & 15, h >> 4
        length = int.from_bytes(b[pos + 1:pos + 1 + ln], "little")
        off = int.from_bytes(b[pos + 1 + ln:pos + 1 + ln + lo], "little", signed=True) if lo else 0
        pos += 1 + ln + lo
        lcn += off
        runs.append((lcn if lo else None, length))
    return runs


def int_bytes(v, signed):
    n = 1
    while True:
        try:
            return v.to_bytes(n, "little", signed=signed)
        except OverflowError:
            n += 1


def runs_encode(runs):
    out, prev = bytearray(), 0
    for lcn, length in runs:
        lb = int_bytes(length, False)
        ob = int_bytes(lcn - prev, True)
        out += bytes([len(lb) | (len(ob) << 4)]) + lb + ob
        prev = lcn
    out += b"\0"
    return bytes(out)


def pad8(b):
    return b + b"\0" * (-len(b) % 8)


def resident(atype, value, aid, name="", indexed=0):
    nm = name.encode("utf-16-le")
    name_off = 24
    value_off = (name_off + len(nm) + 7) & ~7
    body = bytearray(value_off)
    body[name_off:name_off + len(nm)] = nm
    length = (value_off + len(value) + 7) & ~7
    hdr = struct.pack("<IIBBHHHIHBB", atype, length, 0, len(name), name_off if name else 0, 0, aid,
                      len(value), value_off, indexed, 0)
    body[0:24] = hdr
    return pad8(bytes(body) + value)


def nonresident(atype, runs, size, aid, name="", alloc=None):
    nm = name.encode("utf-16-le")
    rb = runs_encode(runs)
    clusters = sum(l for _, l in runs)
    alloc = clusters * CLUSTER if alloc is None else alloc
    runs_off = (0x40 + len(nm) + 7) & ~7
    length = (runs_off + len(rb) + 7) & ~7
    hdr = struct.pack("<IIBBHHH", atype, length, 1, len(name), 0x40 if name else 0, 0, aid)
    hdr += struct.pack("<QQHHIQQQ", 0, clusters - 1, runs_off, 0, 0, alloc, size, size)
    body = bytearray(hdr) + bytearray(runs_off - len(hdr))
    body[0x40:0x40 + len(nm)] = nm
    return pad8(bytes(body) + rb)


def std_info(t, attrs):
    return struct.pack("<QQQQIIIIIIQQ", t, t, t, t, attrs, 0, 0, 0, 0, 0x100, 0, 0)


def file_name(parent_ref, name, t, size, flags):
    nm = name.encode("utf-16-le")
    return struct.pack("<QQQQQQQIIBB", parent_ref, t, t, t, t, (size + 7) & ~7, size, flags, 0,
                       len(name), 3) + nm


def fixup(rec, size, usn=1):
    """Applies the update sequence to a record of size bytes (in place)."""
    usa = struct.unpack_from("<H", rec, 4)[0]
    count = size // SECTOR
    struct.pack_into("<H", rec, usa, usn)
    for i in range(count):
        end = (i + 1) * SECTOR - 2
        rec[usa + 2 + 2 * i:usa + 4 + 2 * i] = rec[end:end + 2]
        struct.pack_into("<H", rec, end, usn)


def unfixup(rec, size):
    usa = struct.unpack_from("<H", rec, 4)[0]
    for i in range(size // SECTOR):
        end = (i + 1) * SECTOR - 2
        rec[end:end + 2] = rec[usa + 2 + 2 * i:usa + 4 + 2 * i]


def record(recno, seq, flags, attrs, links=1):
    """A fixed-up MFT record from its attributes (bytes, in type order)."""
    body = b"".join(attrs) + b"\xff\xff\xff\xff" + b"\0\0\0\0"
    used = 0x38 + len(body)
    if used > RECORD:
        raise ValueError(f"record {recno} too large ({used})")
    rec = bytearray(RECORD)
    struct.pack_into("<4sHHQHHHHIIQHHI", rec, 0, b"FILE", 0x30, RECORD // SECTOR + 1, 0, seq, links, 0x38, flags,
                     used, RECORD, 0, len(attrs) + 1, 0, recno)
    rec[0x38:0x38 + len(body)] = body
    fixup(rec, RECORD)
    return rec


def attributes(rec):
    """(type, offset, length) of each attribute of an un-fixed record."""
    out, pos = [], struct.unpack_from("<H", rec, 0x14)[0]
    while pos + 8 <= len(rec):
        t, ln = struct.unpack_from("<II", rec, pos)
        if t == 0xFFFFFFFF or ln == 0:
            break
        out.append((t, pos, ln))
        pos += ln
    return out


def index_entry(ref, key, child=None, last=False):
    flags = (1 if child is not None else 0) | (2 if last else 0)
    key = key or b""
    length = 16 + ((len(key) + 7) & ~7) + (8 if child is not None else 0)
    e = bytearray(length)
    struct.pack_into("<QHHI", e, 0, ref if not last else 0, length, len(key), flags)
    e[16:16 + len(key)] = key
    if child is not None:
        struct.pack_into("<Q", e, length - 8, child)
    return bytes(e)


def build_index(items, root_room):
    """B-tree over sorted (ref, key) items. Returns (root entries bytes,
    large flag, list of INDX block payloads (entries bytes, has children))."""
    blocks = []
    level = [(ref, key, None) for ref, key in items]
    tail = None
    cap = INDX - 0x40 - 24 - 8  # minus the end entry, with slack
    while True:
        size = sum(len(index_entry(r, k, c)) for r, k, c in level) + len(index_entry(0, None, tail, True))
        if size <= root_room:
            ent = b"".join(index_entry(r, k, c) for r, k, c in level) + index_entry(0, None, tail, True)
            return ent, bool(blocks), blocks
        nxt, cur, used, i = [], [], 0, 0
        while i < len(level):
            r, k, c = level[i]
            e = index_entry(r, k, c)
            if cur and used + len(e) > cap:
                # level[i] goes up: the block holds what sorts before it.
                vcn = len(blocks)
                blocks.append((b"".join(cur) + index_entry(0, None, c, True), c is not None))
                nxt.append((r, k, vcn))
                cur, used = [], 0
                i += 1
                continue
            cur.append(e)
            used += len(e)
            i += 1
        vcn = len(blocks)
        blocks.append((b"".join(cur) + index_entry(0, None, tail, True), tail is not None))
        level, tail = nxt, vcn


def indx_block(vcn, entries, has_children):
    b = bytearray(INDX)
    count = INDX // SECTOR + 1
    struct.pack_into("<4sHHQQ", b, 0, b"INDX", 0x28, count, 0, vcn)
    first = (0x28 + 2 * count + 7) & ~7  # from the start of the block
    struct.pack_into("<IIII", b, 0x18, first - 0x18, first - 0x18 + len(entries), INDX - 0x18,
                     1 if has_children else 0)
    b[first:first + len(entries)] = entries
    fixup(b, INDX)
    return b


def index_attrs(items, fixed_room, alloc, aid):
    """The $I30 attributes of a folder: root (+ allocation and bitmap when the
    entries do not fit the room the record leaves). alloc(n) gives the LCN of
    n contiguous clusters, and writes are returned as (lcn, bytes)."""
    root_room = fixed_room - (32 + 32) - (0x48 + 16 + 8) - 40
    ent, large, blocks = build_index(items, root_room)
    writes = []
    head = struct.pack("<IIIBxxx", 0x30, 1, INDX, INDX // CLUSTER)
    hdr = struct.pack("<IIII", 16, 16 + len(ent), 16 + len(ent), 1 if large else 0)
    out = [resident(0x90, head + hdr + ent, aid, "$I30")]
    if blocks:
        lcn = alloc(len(blocks) * INDX // CLUSTER)
        data = b"".join(indx_block(v, e, c) for v, (e, c) in enumerate(blocks))
        writes.append((lcn, data))
        out.append(nonresident(0xA0, [(lcn, len(blocks) * INDX // CLUSTER)], len(blocks) * INDX, aid + 1, "$I30"))
        bits = bytearray((len(blocks) + 63) // 64 * 8)
        for v in range(len(blocks)):
            bits[v // 8] |= 1 << (v % 8)
        out.append(resident(0xB0, bytes(bits), aid + 2, "$I30"))
    return out, writes


def main():
    out, n = sys.argv[1], int(sys.argv[2])
    per = int(sys.argv[3]) if len(sys.argv) > 3 else 10000
    folders = (n + per - 1) // per
    mft_need = (n + folders + 64) * RECORD
    size = max(512 << 20, (mft_need * 5 // 2 + (256 << 20)) // CLUSTER * CLUSTER)
    tmp = out + ".tmp"
    if os.path.exists(tmp):
        os.unlink(tmp)
    with open(tmp, "wb") as f:
        f.truncate(size)
    subprocess.run(["mkntfs", "-q", "-F", "-Q", "-c", str(CLUSTER), "-L", "records", tmp], check=True,
                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    f = open(tmp, "r+b")

    def rd(off, ln):
        f.seek(off)
        return bytearray(f.read(ln))

    def wr(off, b):
        f.seek(off)
        f.write(b)

    boot = rd(0, SECTOR)
    assert struct.unpack_from("<H", boot, 11)[0] * boot[13] == CLUSTER
    total_sectors = struct.unpack_from("<Q", boot, 0x28)[0]
    total_clusters = total_sectors * SECTOR // CLUSTER
    mft_lcn = struct.unpack_from("<Q", boot, 0x30)[0]
    mirr_lcn = struct.unpack_from("<Q", boot, 0x38)[0]

    def read_record(recno):
        r = rd(mft_lcn * CLUSTER + recno * RECORD, RECORD)
        unfixup(r, RECORD)
        return r

    rec0 = read_record(0)
    orig = None
    for t, p, ln in attributes(rec0):
        if t == 0x80:
            orig = struct.unpack_from("<Q", rec0, p + 0x30)[0] // RECORD
    system = [read_record(i) for i in range(orig)]
    first = max(orig, 64)
    total = first + folders + n

    # $Bitmap: find the largest free extent and take clusters from it.
    bm_rec = system[6]
    bm_runs = None
    for t, p, ln in attributes(bm_rec):
        if t == 0x80:
            roff = struct.unpack_from("<H", bm_rec, p + 0x20)[0]
            bm_runs = runs_decode(bm_rec[p + roff:p + ln])
    assert bm_runs and len(bm_runs) == 1
    bm_off = bm_runs[0][0] * CLUSTER
    bitmap = rd(bm_off, (total_clusters + 7) // 8)
    best, start, run = (0, 0), None, 0
    for byte_i, byte in enumerate(bitmap):
        if byte == 0:
            if start is None:
                start = byte_i * 8
            run = byte_i * 8 + 8 - start
            if run > best[1]:
                best = (start, run)
        else:
            start = None
    cursor = [best[0]]
    end_free = best[0] + best[1]

    def alloc(count):
        lcn = cursor[0]
        cursor[0] += count
        if cursor[0] > end_free:
            raise SystemExit("volume too small for the records")
        return lcn

    mft_clusters = (total * RECORD + CLUSTER - 1) // CLUSTER
    new_mft = alloc(mft_clusters)
    bits_bytes = ((total + 7) // 8 + 7) & ~7
    mftbm_clusters = (bits_bytes + CLUSTER - 1) // CLUSTER
    mftbm_lcn = alloc(mftbm_clusters)
    mft_off = new_mft * CLUSTER
    mft_bits = bytearray(bits_bytes)

    def in_use(recno):
        mft_bits[recno // 8] |= 1 << (recno % 8)

    t0 = filetime(0)
    seq5 = struct.unpack_from("<H", system[5], 0x10)[0]
    root_ref = 5 | (seq5 << 48)
    folder_rec = [first + i for i in range(folders)]

    # Records of the folders and their files, folder by folder.
    for fi in range(folders):
        dir_no = folder_rec[fi]
        dir_ref = dir_no | (1 << 48)
        lo = fi * per
        hi = min(n, lo + per)
        file0 = first + folders + lo
        batch = bytearray()
        items = []
        for i in range(lo, hi):
            recno = file0 + (i - lo)
            name = f"f{i:07d}.txt"
            dsize = i % 400
            t = filetime(i)
            live = i % 2 == 0
            seq = 1 if live else 2
            fn = file_name(dir_ref, name, t, dsize, 0x20)
            attrs = [resident(0x10, std_info(t, 0x20), 0), resident(0x30, fn, 1, indexed=1),
                     resident(0x80, b"x" * dsize, 2)]
            batch += record(recno, seq, 1 if live else 0, attrs)
            if live:
                in_use(recno)
                items.append((recno | (seq << 48), fn))
        wr(mft_off + file0 * RECORD, batch)
        # The folder's own record, with its index over the live files.
        dname = f"d{fi:04d}"
        fn = file_name(root_ref, dname, t0, 0, 0x10000000)
        fixed = [resident(0x10, std_info(t0, 0x10), 0), resident(0x30, fn, 1, indexed=1)]
        room = RECORD - 0x38 - sum(len(a) for a in fixed) - 8
        idx, writes = index_attrs(items, room, alloc, 2)
        for lcn, data in writes:
            wr(lcn * CLUSTER, data)
        wr(mft_off + dir_no * RECORD, record(dir_no, 1, 3, fixed + idx))
        in_use(dir_no)
        sys.stderr.write(f"\r{hi}/{n} records")
    sys.stderr.write("\n")

    # The system records: $MFT with its new runs and bitmap, the root with
    # the folders in its index, the rest as mkntfs wrote them.
    for i in range(orig):
        r = system[i]
        if struct.unpack_from("<H", r, 0x16)[0] & 1:
            in_use(i)
    for i in range(orig, first):
        in_use(i)  # reserved records, as mkntfs marks 16-23
    seq0 = struct.unpack_from("<H", system[0], 0x10)[0]
    keep = [bytes(system[0][p:p + ln]) for t, p, ln in attributes(system[0]) if t < 0x80]
    mft_attrs = keep + [nonresident(0x80, [(new_mft, mft_clusters)], total * RECORD, 6),
                        nonresident(0xB0, [(mftbm_lcn, mftbm_clusters)], bits_bytes, 5)]
    recs = {0: record(0, seq0, 1, mft_attrs)}

    root = system[5]
    keep = [bytes(root[p:p + ln]) for t, p, ln in attributes(root) if t < 0x90]
    items = []
    for i in range(orig):
        r = system[i]
        if not struct.unpack_from("<H", r, 0x16)[0] & 1:
            continue
        for t, p, ln in attributes(r):
            if t != 0x30:
                continue
            voff = struct.unpack_from("<H", r, p + 0x14)[0]
            vlen = struct.unpack_from("<I", r, p + 0x10)[0]
            v = bytes(r[p + voff:p + voff + vlen])
            if struct.unpack_from("<Q", v, 0)[0] & 0xFFFFFFFFFFFF == 5 and v[0x41] != 2:
                items.append((i | (struct.unpack_from("<H", r, 0x10)[0] << 48), v))
    for fi in range(folders):
        items.append((folder_rec[fi] | (1 << 48), file_name(root_ref, f"d{fi:04d}", t0, 0, 0x10000000)))
    items.sort(key=lambda it: upcase_key(it[1][0x42:].decode("utf-16-le")))
    room = RECORD - 0x38 - sum(len(a) for a in keep) - 8
    idx, writes = index_attrs(items, room, alloc, 8)
    for lcn, data in writes:
        wr(lcn * CLUSTER, data)
    recs[5] = record(5, seq5, 3, keep + idx)
    sysbuf = bytearray()
    for i in range(first):
        if i in recs:
            sysbuf += recs[i]
        elif i < orig:
            r = bytearray(system[i])
            fixup(r, RECORD, struct.unpack_from("<H", r, struct.unpack_from("<H", r, 4)[0])[0] or 1)
            sysbuf += r
        else:
            sysbuf += record(i, 1, 1, [])
    wr(mft_off, sysbuf)
    wr(mirr_lcn * CLUSTER, sysbuf[:4 * RECORD])
    wr(mftbm_lcn * CLUSTER, mft_bits)

    # $Bitmap: the clusters taken; the boot sectors: the new MFT.
    for c in range(best[0], cursor[0]):
        bitmap[c // 8] |= 1 << (c % 8)
    wr(bm_off, bitmap)
    struct.pack_into("<Q", boot, 0x30, new_mft)
    wr(0, boot)
    wr(size - SECTOR, boot)  # the backup, in the last sector
    f.close()
    os.rename(tmp, out)
    print(f"built {out}: {n} file records in {folders} folders of {per}, every other one deleted; "
          f"{size >> 20} MiB, MFT {total * RECORD >> 20} MiB")


if __name__ == "__main__":
    main()
