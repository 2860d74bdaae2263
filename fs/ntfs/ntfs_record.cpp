#include "fs/ntfs/ntfs_record.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "base/bytes.h"
#include "base/texts.h"

namespace brantlow {

namespace {

std::string number(uint64_t v) { return std::to_string(v); }

std::string hex(uint64_t v) {
    char b[24];
    std::snprintf(b, sizeof b, "0x%llX", static_cast<unsigned long long>(v));
    return b;
}

// "attribute 0x30 at 0x98"
std::string attributeWhere(uint32_t type, size_t off) { return "attribute " + hex(type) + " at " + hex(off); }

bool powerOfTwo(uint64_t v) { return v && !(v & (v - 1)); }

}  // namespace

Decoded<NtfsGeometry> decodeNtfsBootSector(const uint8_t* boot, size_t len) {
    if (len < 512) return Decoded<NtfsGeometry>::refused("only " + number(len) + " bytes");
    if (!bytesAt(boot, len, 3, "NTFS", 4)) return Decoded<NtfsGeometry>::refused("no \"NTFS\" at byte 3");
    NtfsGeometry g;
    g.intact = true;
    std::vector<std::string> replaced;
    const uint32_t bps = le16(boot, len, 11);
    const bool bpsValid = bps == 512 || bps == 1024 || bps == 2048 || bps == 4096;
    if (bpsValid)
        g.bytesPerSector = bps;
    else
        replaced.push_back("bytes per sector " + number(bps) + ": 512 taken");
    // Sectors per cluster: a byte of 0xF4 and above is a negative exponent.
    const uint8_t spcByte = le8(boot, len, 13);
    uint64_t spc = spcByte;
    if (spcByte >= 0xF4) spc = 1ull << (256 - spcByte);
    const uint64_t cs = static_cast<uint64_t>(g.bytesPerSector) * spc;
    if (bpsValid && cs >= 512 && cs <= (2u << 20) && powerOfTwo(cs)) {
        g.clusterSize = cs;
    } else {
        g.clusterSize = 4096;
        if (bpsValid) replaced.push_back("sectors per cluster byte " + hex(spcByte) + ": 4096-byte clusters taken");
        else replaced.push_back("cluster size: 4096 bytes taken");
    }
    const uint64_t total = le64(boot, len, 40);
    uint64_t vs = 0;
    if (!mulOverflows(total, g.bytesPerSector, &vs)) g.volumeSize = vs;
    if (g.volumeSize == 0) replaced.push_back("total sectors " + number(total) + ": the volume's own size taken");
    g.mftCluster = le64(boot, len, 48);
    // MFT record size: a negative byte n means 2^-n bytes, a positive one
    // n clusters.
    const int8_t rs = static_cast<int8_t>(le8(boot, len, 64));
    uint64_t recSize = 0;
    if (rs < 0) {
        if (rs >= -31) recSize = 1ull << (-rs);
    } else if (rs > 0) {
        recSize = static_cast<uint64_t>(rs) * g.clusterSize;
    }
    if (recSize >= 1024 && recSize <= 4096 && powerOfTwo(recSize)) {
        g.recordSize = static_cast<uint32_t>(recSize);
    } else {
        g.recordSize = 1024;
        replaced.push_back("MFT record size byte " + hex(static_cast<uint8_t>(rs)) + ": 1024 bytes taken");
    }
    Decoded<NtfsGeometry> d = Decoded<NtfsGeometry>::ok(g);
    for (std::string& r : replaced) d.replace(std::move(r));
    return d;
}

NtfsGeometry decodeBootSector(const uint8_t* boot, size_t len) {
    Decoded<NtfsGeometry> d = decodeNtfsBootSector(boot, len);
    return d ? *d : NtfsGeometry{};
}

uint32_t fixRecord(const uint8_t* raw, uint8_t* dest, size_t size, NtfsRecordHeader& h) {
    if (raw != dest) std::memcpy(dest, raw, size);
    h = NtfsRecordHeader{};
    h.usaOffset = le16(raw, size, 4);
    h.usaCount = le16(raw, size, 6);
    // Put back what the array holds, noting the strides whose last bytes
    // are not the sequence number (written at another time than the rest).
    const size_t strides = size / 512;
    const size_t usn = h.usaOffset;
    uint32_t problems = 0;
    if (usn + 2 <= size) {
        const uint8_t n0 = raw[usn], n1 = raw[usn + 1];
        for (size_t k = 1; k < h.usaCount && k <= strides; ++k) {
            const size_t pos = 512 * k - 2;
            const size_t src = usn + 2 * k;
            if (src + 2 > size) break;
            if ((raw[pos] != n0 || raw[pos + 1] != n1) && k <= 32) h.tornSectors |= 1u << (k - 1);
            dest[pos] = raw[src];
            dest[pos + 1] = raw[src + 1];
            ++h.fixedSectors;
        }
    }
    if (h.tornSectors) problems |= kRecordTorn;
    if (h.fixedSectors < strides) problems |= kRecordArrayShort;
    if (size < 48) return problems | kRecordTooShort;
    h.baad = bytesAt(raw, size, 0, "BAAD", 4);
    if (!h.baad && !bytesAt(raw, size, 0, "FILE", 4)) return problems | kRecordNoSignature;
    if (h.baad) problems |= kRecordBaad;
    h.sequence = le16(dest, size, 16);
    h.firstAttribute = le16(dest, size, 20);
    h.flags = le16(dest, size, 22);
    h.base = le64(dest, size, 32) & 0xFFFFFFFFFFFFull;
    h.hasNumber = h.usaOffset >= 48;
    if (h.hasNumber) h.number = le32(dest, size, 44);
    if (h.firstAttribute < 24 || h.firstAttribute + 8u > size) problems |= kRecordFirstAttribute;
    return problems;
}

Decoded<NtfsRecordHeader> recordDecoded(const NtfsRecordHeader& h, uint32_t problems, size_t size) {
    using D = Decoded<NtfsRecordHeader>;
    if (problems & kRecordTooShort) return D::refused("record of " + number(size) + " bytes");
    if (problems & kRecordNoSignature) return D::refused("no \"FILE\" signature");
    if (problems & kRecordFirstAttribute)
        return D::refused("first attribute at " + hex(h.firstAttribute) + " outside the record");
    D d = D::ok(h);
    if (problems & kRecordBaad) d.replace("marked BAAD by the volume: taken as it is");
    if (problems & kRecordArrayShort)
        d.replace("update sequence array at " + hex(h.usaOffset) + " with " + number(h.usaCount) +
                  " entries covers " + number(h.fixedSectors) + " of " + number(size / 512) + " sectors");
    if (problems & kRecordTorn) {
        std::string torn;
        for (unsigned k = 1; k <= 32; ++k)
            if (h.tornSectors & (1u << (k - 1))) torn += (torn.empty() ? "" : ", ") + number(k);
        d.replace("update sequence mismatch in sector " + torn + " (torn write): taken as it is");
    }
    return d;
}

Decoded<NtfsRecordHeader> applyFixups(const uint8_t* raw, uint8_t* dest, size_t size) {
    NtfsRecordHeader h;
    const uint32_t problems = fixRecord(raw, dest, size, h);
    return recordDecoded(h, problems, size);
}

uint32_t readAttribute(const uint8_t* rec, size_t size, size_t off, NtfsAttribute& a) {
    if (off > size || size - off < 16) return kAttrRefused;
    a.type = le32(rec, size, off);
    const uint32_t len = le32(rec, size, off + 4);
    if (len < 16) return kAttrRefused;
    uint32_t problems = 0;
    a.offset = static_cast<uint32_t>(off);
    a.length = static_cast<uint32_t>(std::min<uint64_t>(len, size - off));
    if (a.length < len) problems |= kAttrLengthCut;
    a.next = off + len < size ? static_cast<uint32_t>(off + len) : 0;
    const uint8_t* p = rec + off;
    const size_t n = a.length;
    a.nonResident = le8(p, n, 8) != 0;
    a.nameLength = le8(p, n, 9);
    a.nameOffset = le16(p, n, 10);
    a.flags = le16(p, n, 12);
    if (a.nameLength && static_cast<size_t>(a.nameOffset) + 2u * a.nameLength > n) problems |= kAttrNameCut;
    if (!a.nonResident) {
        uint32_t vlen = le32(p, n, 16);
        uint32_t voff = le16(p, n, 20);
        if (voff > n || vlen > n - voff) {
            problems |= kAttrValueCut;
            if (voff > n) voff = static_cast<uint32_t>(n);
            vlen = std::min<uint32_t>(vlen, static_cast<uint32_t>(n - voff));
        }
        a.valueOffset = static_cast<uint32_t>(off + voff);
        a.valueLength = vlen;
    } else {
        if (n < 64) problems |= kAttrHeaderCut;
        a.firstVcn = le64(p, n, 16);
        a.lastVcn = le64(p, n, 24);
        a.runOffset = le16(p, n, 32);
        a.unitExponent = le16(p, n, 34);
        a.allocatedSize = le64(p, n, 40);
        a.realSize = le64(p, n, 48);
        a.initializedSize = le64(p, n, 56);
        if (a.runOffset >= n || a.lastVcn < a.firstVcn) problems |= kAttrNoRuns;
    }
    return problems;
}

Decoded<NtfsAttribute> decodeAttribute(const uint8_t* rec, size_t size, size_t off) {
    NtfsAttribute a;
    const uint32_t problems = readAttribute(rec, size, off, a);
    if (problems & kAttrRefused) {
        if (off > size || size - off < 16)
            return Decoded<NtfsAttribute>::refused("attribute header at " + hex(off) + " cut by the record end");
        return Decoded<NtfsAttribute>::refused(attributeWhere(a.type, off) + ": length " +
                                               number(le32(rec, size, off + 4)));
    }
    Decoded<NtfsAttribute> d = Decoded<NtfsAttribute>::ok(a);
    if (!problems) return d;
    // The words, from the fields as recorded.
    const std::string where = attributeWhere(a.type, off) + ": ";
    const uint8_t* p = rec + off;
    const size_t n = a.length;
    if (problems & kAttrLengthCut)
        d.replace(where + "length " + number(le32(rec, size, off + 4)) + " runs past the record: " + number(n) +
                  " taken");
    if (problems & kAttrNameCut)
        d.replace(where + "name of " + number(a.nameLength) + " characters at " + hex(a.nameOffset) +
                  " runs past the attribute");
    if (problems & kAttrValueCut)
        d.replace(where + "value of " + number(le32(p, n, 16)) + " bytes at " + hex(le16(p, n, 20)) +
                  " runs past the attribute: " + number(a.valueLength) + " taken");
    if (problems & kAttrHeaderCut)
        d.replace(where + "non-resident header of " + number(n) + " bytes: the fields past it read as 0");
    if ((problems & kAttrNoRuns) && a.runOffset >= n)
        d.replace(where + "run list at " + hex(a.runOffset) + " outside the attribute: no runs");
    else if (problems & kAttrNoRuns)
        d.replace(where + "last VCN " + number(a.lastVcn) + " before the first " + number(a.firstVcn) + ": no runs");
    return d;
}

std::string attributeName(const uint8_t* rec, size_t size, const NtfsAttribute& a) {
    if (a.nameLength == 0) return {};
    size_t start = static_cast<size_t>(a.offset) + a.nameOffset;
    size_t end = static_cast<size_t>(a.offset) + a.length;
    if (start >= end || end > size) return {};
    size_t units = std::min<size_t>(a.nameLength, (end - start) / 2);
    return utf16leToUtf8(rec + start, units);
}

bool readStandardInfo(const uint8_t* rec, size_t size, const NtfsAttribute& a, NtfsStandardInfo& si) {
    if (a.nonResident || a.valueLength < 32 || static_cast<size_t>(a.valueOffset) + a.valueLength > size) return false;
    const uint8_t* v = rec + a.valueOffset;
    const size_t vl = a.valueLength;
    si.created = le64(v, vl, 0);
    si.modified = le64(v, vl, 8);
    si.recordChanged = le64(v, vl, 16);
    si.accessed = le64(v, vl, 24);
    si.fileAttributes = le32(v, vl, 32);
    return true;
}

Decoded<NtfsStandardInfo> decodeStandardInfo(const uint8_t* rec, size_t size, const NtfsAttribute& a) {
    NtfsStandardInfo si;
    if (readStandardInfo(rec, size, a, si)) return Decoded<NtfsStandardInfo>::ok(si);
    const std::string where = attributeWhere(a.type, a.offset) + ": $STANDARD_INFORMATION ";
    if (a.nonResident) return Decoded<NtfsStandardInfo>::refused(where + "not resident");
    return Decoded<NtfsStandardInfo>::refused(where + "of " + number(a.valueLength) + " bytes, 32 needed");
}

uint32_t readFileName(const uint8_t* rec, size_t size, const NtfsAttribute& a, NtfsFileName& fn) {
    if (a.nonResident || a.valueLength < 66 || static_cast<size_t>(a.valueOffset) + a.valueLength > size)
        return kFileNameRefused;
    const uint8_t* v = rec + a.valueOffset;
    const size_t vl = a.valueLength;
    const uint64_t ref = le64(v, vl, 0);
    uint64_t rn = ref & 0xFFFFFFFFFFFFull;
    if (rn & 0x800000000000ull) rn |= 0xFFFF000000000000ull;
    fn.parent = static_cast<int64_t>(rn);
    fn.parentSequence = static_cast<uint16_t>(ref >> 48);
    fn.allocatedSize = le64(v, vl, 40);
    fn.flags = le32(v, vl, 56);
    fn.nameSpace = le8(v, vl, 65);
    fn.nameOffset = a.valueOffset + 66;
    const uint32_t units = le8(v, vl, 64);
    fn.nameUnits = std::min<uint32_t>(units, static_cast<uint32_t>((vl - 66) / 2));
    return fn.nameUnits < units ? uint32_t{kFileNameCut} : 0u;
}

Decoded<NtfsFileName> decodeFileName(const uint8_t* rec, size_t size, const NtfsAttribute& a) {
    NtfsFileName fn;
    const uint32_t problems = readFileName(rec, size, a, fn);
    const std::string where = attributeWhere(a.type, a.offset) + ": ";
    if (problems & kFileNameRefused) {
        if (a.nonResident) return Decoded<NtfsFileName>::refused(where + "$FILE_NAME not resident");
        return Decoded<NtfsFileName>::refused(where + "$FILE_NAME of " + number(a.valueLength) + " bytes, 66 needed");
    }
    Decoded<NtfsFileName> d = Decoded<NtfsFileName>::ok(fn);
    if (problems & kFileNameCut)
        d.replace(where + "name of " + number(le8(rec, size, a.valueOffset + 64)) +
                  " characters runs past the $FILE_NAME: " + number(fn.nameUnits) + " taken");
    return d;
}

Decoded<NtfsListEntry> decodeListEntry(const uint8_t* value, size_t size, size_t off) {
    if (off > size || size - off < 26) return Decoded<NtfsListEntry>::refused("list entry at " + hex(off) + " cut short");
    const uint8_t* e = value + off;
    const size_t room = size - off;
    NtfsListEntry le;
    le.type = le32(e, room, 0);
    le.length = le16(e, room, 4);
    if (le.type == 0 || le.type == kAttrEnd) return Decoded<NtfsListEntry>::refused("end of the list");
    if (le.length < 26 || le.length > room)
        return Decoded<NtfsListEntry>::refused("list entry at " + hex(off) + ": length " + number(le.length));
    le.nameLength = le8(e, room, 6);
    le.nameOffset = le8(e, room, 7);
    le.nameInside = static_cast<size_t>(le.nameOffset) + 2u * le.nameLength <= le.length;
    le.startVcn = le64(e, room, 8);
    le.record = le64(e, room, 16) & 0xFFFFFFFFFFFFull;
    return Decoded<NtfsListEntry>::ok(le);
}

std::vector<NtfsRun> decodeRunList(const uint8_t* p, size_t len, uint64_t maxClusters) {
    std::vector<NtfsRun> out;
    size_t i = 0;
    int64_t lcn = 0;
    uint64_t total = 0;
    while (i < len) {
        const uint8_t h = p[i];
        const unsigned lenBytes = h & 0x0F;
        const unsigned offBytes = h >> 4;
        if (lenBytes == 0) break;
        if (lenBytes > 8 || offBytes > 8) break;
        if (i + 1 + lenBytes + offBytes > len) break;
        uint64_t length = 0;
        for (unsigned b = 0; b < lenBytes; ++b) length |= static_cast<uint64_t>(p[i + 1 + b]) << (8 * b);
        int64_t delta = 0;
        if (offBytes) {
            uint64_t d = 0;
            for (unsigned b = 0; b < offBytes; ++b) d |= static_cast<uint64_t>(p[i + 1 + lenBytes + b]) << (8 * b);
            if (offBytes < 8 && (d >> (8 * offBytes - 1)) & 1) d |= ~0ull << (8 * offBytes);
            delta = static_cast<int64_t>(d);
        }
        i += 1 + lenBytes + offBytes;
        if (length == 0) break;
        uint64_t t = 0;
        if (addOverflows(total, length, &t) || t > maxClusters) break;
        total = t;
        NtfsRun r;
        r.length = length;
        if (offBytes) {
            if (__builtin_add_overflow(lcn, delta, &lcn)) break;
            r.lcn = lcn;
        } else {
            r.sparse = true;
        }
        out.push_back(r);
    }
    return out;
}

std::vector<NtfsRun> attributeRuns(const uint8_t* rec, size_t size, const NtfsAttribute& a) {
    if (!a.nonResident || a.lastVcn < a.firstVcn) return {};
    const uint64_t maxClusters = a.lastVcn - a.firstVcn + 1;
    if (a.runOffset >= a.length) return {};
    const size_t start = static_cast<size_t>(a.offset) + a.runOffset;
    const size_t end = static_cast<size_t>(a.offset) + a.length;
    if (start >= end || end > size) return {};
    return decodeRunList(rec + start, end - start, maxClusters);
}

size_t decompressUnit(const uint8_t* in, size_t inLen, uint8_t* out, size_t capacity) {
    size_t ip = 0;
    size_t chunkStart = 0;  // output position of the current chunk
    size_t produced = 0;
    while (ip + 2 <= inLen && chunkStart < capacity) {
        const uint16_t h = static_cast<uint16_t>(in[ip] | (in[ip + 1] << 8));
        if ((h & 0x0FFF) == 0) break;
        const size_t chunkSize = (h & 0x0FFF) + 3;  // header included
        if (ip + chunkSize > inLen) break;
        const uint8_t* src = in + ip + 2;
        const size_t srcLen = chunkSize - 2;
        const size_t room = std::min<size_t>(4096, capacity - chunkStart);
        uint8_t* dst = out + chunkStart;
        size_t pos = 0;
        if (!(h & 0x8000)) {
            pos = std::min(srcLen, room);
            std::memcpy(dst, src, pos);
        } else {
            size_t s = 0;
            bool done = false;
            while (s < srcLen && !done) {
                const uint8_t flags = src[s++];
                for (int bit = 0; bit < 8 && s < srcLen; ++bit) {
                    if (!(flags & (1 << bit))) {
                        if (pos >= room) { done = true; break; }
                        dst[pos++] = src[s++];
                        continue;
                    }
                    if (s + 2 > srcLen) { done = true; break; }
                    const uint16_t token = static_cast<uint16_t>(src[s] | (src[s + 1] << 8));
                    s += 2;
                    if (pos == 0) { done = true; break; }
                    unsigned lengthBits = 12;
                    for (size_t q = pos - 1; q >= 0x10; q >>= 1) --lengthBits;
                    const size_t disp = (token >> lengthBits) + 1;
                    const size_t length = (token & ((1u << lengthBits) - 1)) + 3;
                    if (disp > pos) { done = true; break; }
                    for (size_t k = 0; k < length; ++k) {
                        if (pos >= room) { done = true; break; }
                        dst[pos] = dst[pos - disp];
                        ++pos;
                    }
                }
            }
        }
        produced = chunkStart + pos;
        // A chunk stands for 4096 bytes of output; a short one is zero-filled
        // so that later chunks keep their place.
        if (pos < room) std::memset(dst + pos, 0, room - pos);
        chunkStart += 4096;
        ip += chunkSize;
    }
    return produced;
}

}  // namespace brantlow
