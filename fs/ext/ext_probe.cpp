#include "fs/ext/ext_probe.h"

#include "base/bytes.h"

namespace brantlow {

bool probeExt(const uint8_t* head, size_t len, ProbeResult& out) {
    constexpr size_t kSb = 1024;
    if (len < kSb + 512 || le16(head, len, kSb + 56) != 0xEF53) return false;
    out.fileSystem = "extX";
    uint64_t blocks = le32(head, len, kSb + 4);
    uint32_t logBlock = le32(head, len, kSb + 24);
    if (le32(head, len, kSb + 96) & 0x80) blocks |= static_cast<uint64_t>(le32(head, len, kSb + 336)) << 32;
    out.sizeSectors = logBlock <= 6 && blocks < (1ull << 50) ? blocks << (logBlock + 1) : 0;
    return true;
}

}  // namespace brantlow
