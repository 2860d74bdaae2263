// Inodes: mode, size, times (with the extra nanosecond and epoch fields of
// large inodes), flags and the 60-byte block area; inline data.
#include <algorithm>
#include <cstring>

#include "base/bytes.h"
#include "fs/ext/ext_format.h"

namespace brantlow::ext {

namespace {

// Seconds of a 32-bit time field and its extra field (two epoch bits, 30
// bits of nanoseconds). False when the nanoseconds are out of range (then 0).
bool decodeTime(uint32_t lo, uint32_t extra, bool hasExtra, int64_t& sec, int32_t& ns) {
    sec = static_cast<int32_t>(lo);
    ns = 0;
    if (!hasExtra) return true;
    sec += static_cast<int64_t>(extra & 3) << 32;
    const uint32_t n = extra >> 2;
    if (n > 999999999u) return false;
    ns = static_cast<int32_t>(n);
    return true;
}

}  // namespace

bool Inode::hasBlockArea() const {
    if (inlineData()) return size > 0;
    if (usesExtents()) return le16(block, 60, 0) == kExtentMagic && le16(block, 60, 2) > 0;
    for (int i = 0; i < 15; ++i)
        if (le32(block, 60, 4 * i)) return true;
    return false;
}

Decoded<Inode> decodeInode(const uint8_t* p, size_t len) {
    if (len < 128) return Decoded<Inode>::refused("only " + std::to_string(len) + " bytes");
    Inode out;
    out.mode = le16(p, len, 0);
    out.size = le32(p, len, 4) | (static_cast<uint64_t>(le32(p, len, 108)) << 32);
    out.dtime = le32(p, len, 20);
    out.links = le16(p, len, 26);
    out.flags = le32(p, len, 32);
    std::memcpy(out.block, p + 40, 60);
    out.generation = le32(p, len, 100);
    // Extra fields exist up to 128 + i_extra_isize.
    size_t extraEnd = 128;
    bool extraCut = false;
    if (len > 128) {
        const size_t extra = le16(p, len, 128);
        extraCut = 128 + extra > len;
        extraEnd = std::min<size_t>(len, 128 + extra);
    }
    auto has = [&](size_t off) { return off + 4 <= extraEnd; };
    bool nsOk = decodeTime(le32(p, len, 8), le32(p, len, 140), has(140), out.atime, out.atimeNs);
    nsOk &= decodeTime(le32(p, len, 12), le32(p, len, 132), has(132), out.ctime, out.ctimeNs);
    nsOk &= decodeTime(le32(p, len, 16), le32(p, len, 136), has(136), out.mtime, out.mtimeNs);
    if (has(144)) nsOk &= decodeTime(le32(p, len, 144), le32(p, len, 148), has(148), out.crtime, out.crtimeNs);
    Decoded<Inode> d = Decoded<Inode>::ok(out);
    if (extraCut)
        d.replace("i_extra_isize " + std::to_string(le16(p, len, 128)) + " runs past the inode: cut to " +
                  std::to_string(len - 128));
    if (!nsOk) d.replace("nanoseconds above 999,999,999: 0 taken");
    return d;
}

std::string inlineDataTail(const uint8_t* p, size_t len) {
    if (len <= 132) return {};
    const size_t start = 128 + static_cast<size_t>(le16(p, len, 128));
    if (le32(p, len, start) != 0xEA020000u) return {};
    const size_t base = start + 4;  // value offsets count from the first entry
    size_t off = base;
    while (fieldFits(len, off, 16)) {
        const uint8_t nameLen = le8(p, len, off);
        const uint8_t index = le8(p, len, off + 1);
        if (nameLen == 0 && index == 0 && le16(p, len, off + 2) == 0 && le32(p, len, off + 4) == 0) break;
        const uint16_t valueOff = le16(p, len, off + 2);
        const uint32_t valueSize = le32(p, len, off + 8);
        if (!fieldFits(len, off + 16, nameLen)) break;
        if (index == 7 && nameLen == 4 && std::memcmp(p + off + 16, "data", 4) == 0) {
            if (!fieldFits(len, base + valueOff, valueSize)) return {};
            return std::string(reinterpret_cast<const char*>(p + base + valueOff), valueSize);
        }
        off += (16 + nameLen + 3) & ~size_t{3};
    }
    return {};
}

}  // namespace brantlow::ext
