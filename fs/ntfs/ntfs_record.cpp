#include "fs/ntfs/ntfs_record.h"

#include <algorithm>
#include <cstring>

#include "base/bytes.h"
#include "base/texts.h"

namespace brantlow {

NtfsGeometry decodeBootSector(const uint8_t* boot, size_t len) {
    NtfsGeometry g;
    g.intact = bytesAt(boot, len, 3, "NTFS", 4);
    if (!g.intact) return g;
    const uint32_t bps = le16(boot, len, 11);
    const bool bpsValid = bps == 512 || bps == 1024 || bps == 2048 || bps == 4096;
    if (bpsValid) g.bytesPerSector = bps;
    // Sectors per cluster: a byte of 0xF4 and above is a negative exponent.
    const uint8_t spcByte = le8(boot, len, 13);
    uint64_t spc = spcByte;
    if (spcByte >= 0xF4) spc = 1ull << (256 - spcByte);
    const uint64_t cs = static_cast<uint64_t>(g.bytesPerSector) * spc;
    if (bpsValid && cs >= 512 && cs <= (2u << 20) && (cs & (cs - 1)) == 0)
        g.clusterSize = cs;
    else
        g.clusterSize = 4096;
    const uint64_t total = le64(boot, len, 40);
    uint64_t vs = 0;
    if (!mulOverflows(total, g.bytesPerSector, &vs)) g.volumeSize = vs;
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
    if (recSize >= 1024 && recSize <= 4096 && (recSize & (recSize - 1)) == 0)
        g.recordSize = static_cast<uint32_t>(recSize);
    else
        g.recordSize = 1024;
    return g;
}

void applyFixups(const uint8_t* raw, uint8_t* dest, size_t size) {
    if (raw != dest) std::memcpy(dest, raw, size);
    const size_t usaOffset = le16(raw, size, 4);
    const size_t usaCount = le16(raw, size, 6);
    if (usaOffset >= size) return;
    for (size_t k = 1; k < usaCount; ++k) {
        const size_t pos = 512 * k - 2;
        const size_t src = usaOffset + 2 * k;
        if (pos + 2 > size || src + 2 > size) break;
        dest[pos] = raw[src];
        dest[pos + 1] = raw[src + 1];
    }
}

bool parseAttributeAt(const uint8_t* rec, size_t size, size_t off, NtfsAttribute& a, size_t* next) {
    if (off + 8 > size) return false;
    a.type = le32(rec, size, off);
    if (a.type == kAttrEnd) return false;
    const uint32_t len = le32(rec, size, off + 4);
    if (len < 16) return false;
    a.offset = static_cast<uint32_t>(off);
    a.length = static_cast<uint32_t>(std::min<uint64_t>(len, size - off));
    *next = off + len < off ? size : off + len;
    const uint8_t* p = rec + off;
    const size_t n = a.length;
    a.nonResident = le8(p, n, 8) != 0;
    a.nameLength = le8(p, n, 9);
    a.nameOffset = le16(p, n, 10);
    a.flags = le16(p, n, 12);
    if (!a.nonResident) {
        uint32_t vlen = le32(p, n, 16);
        uint32_t voff = le16(p, n, 20);
        if (voff > n) voff = static_cast<uint32_t>(n);
        if (vlen > n - voff) vlen = static_cast<uint32_t>(n - voff);
        a.valueOffset = static_cast<uint32_t>(off + voff);
        a.valueLength = vlen;
    } else {
        a.firstVcn = le64(p, n, 16);
        a.lastVcn = le64(p, n, 24);
        a.runOffset = le16(p, n, 32);
        a.unitExponent = le16(p, n, 34);
        a.allocatedSize = le64(p, n, 40);
        a.realSize = le64(p, n, 48);
        a.initializedSize = le64(p, n, 56);
    }
    return true;
}

std::string attributeName(const uint8_t* rec, size_t size, const NtfsAttribute& a) {
    if (a.nameLength == 0) return {};
    size_t start = static_cast<size_t>(a.offset) + a.nameOffset;
    size_t end = static_cast<size_t>(a.offset) + a.length;
    if (start >= end) return {};
    size_t units = std::min<size_t>(a.nameLength, (end - start) / 2);
    return utf16leToUtf8(rec + start, units);
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
