// Inodes: mode, size, times (with the extra nanosecond and epoch fields of
// large inodes), flags and the 60-byte block area; inline data.
#include <algorithm>
#include <cstring>

#include "base/bytes.h"
#include "fs/ext/ext_format.h"

namespace brantlow::ext {

bool Inode::hasBlockArea() const {
    if (inlineData()) return size > 0;
    if (usesExtents()) return le16(block, 60, 0) == kExtentMagic && le16(block, 60, 2) > 0;
    for (int i = 0; i < 15; ++i)
        if (le32(block, 60, 4 * i)) return true;
    return false;
}

Decoded<Inode> refuseInode(size_t len) { return Decoded<Inode>::refused("only " + std::to_string(len) + " bytes"); }

void noteInodeRepairs(Decoded<Inode>& d, const uint8_t* p, size_t len, bool extraCut, bool nsBad) {
    if (extraCut)
        d.replace("i_extra_isize " + std::to_string(le16(p, len, 128)) + " runs past the inode: cut to " +
                  std::to_string(len - 128));
    if (nsBad) d.replace("nanoseconds above 999,999,999: 0 taken");
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
