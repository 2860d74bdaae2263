#include "layers/lvm/lvm_label.h"

#include <zlib.h>

#include <algorithm>
#include <cstring>

#include "base/bytes.h"
#include "layers/lvm/lvm_text.h"

namespace brantlow::lvm {

namespace {

constexpr uint32_t kInitialCrc = 0xf597a6cf;
constexpr size_t kSector = 512;
constexpr size_t kMdaHeader = 512;
constexpr char kMdaMagic[] = " LVM2 x[5A%r0N*>";

}  // namespace

// LVM2's CRC is CRC-32 (zlib's polynomial) from its own start value and
// without the final inversion: zlib's, with both ends inverted.
uint32_t lvmCrc(const void* data, size_t n) {
    uLong crc = ~static_cast<uLong>(kInitialCrc) & 0xffffffffu;
    const auto* p = static_cast<const Bytef*>(data);
    while (n) {
        const uInt piece = static_cast<uInt>(std::min<size_t>(n, 1u << 30));
        crc = crc32(crc, p, piece);
        p += piece;
        n -= piece;
    }
    return static_cast<uint32_t>(~crc);
}

Decoded<PvLabel> decodeLabel(const uint8_t* head, size_t len) {
    using D = Decoded<PvLabel>;
    for (size_t s = 0; s < 4 && (s + 1) * kSector <= len; ++s) {
        const uint8_t* l = head + s * kSector;
        if (std::memcmp(l, "LABELONE", 8) != 0) continue;
        if (le64(l, kSector, 8) != s) return D::refused("LVM2 label in sector " + std::to_string(s) +
                                                        " names sector " + std::to_string(le64(l, kSector, 8)));
        if (lvmCrc(l + 20, kSector - 20) != le32(l, kSector, 16)) return D::refused("LVM2 label checksum does not match");
        if (std::memcmp(l + 24, "LVM2 001", 8) != 0) return D::refused("label of an unknown LVM type");
        const uint32_t off = le32(l, kSector, 20);
        if (off < 32 || off + 40 > kSector) return D::refused("LVM2 PV header at " + std::to_string(off));
        PvLabel pv;
        pv.labelSector = s;
        pv.uuid.assign(reinterpret_cast<const char*>(l + off), 32);
        pv.deviceBytes = le64(l, kSector, off + 32);
        size_t at = off + 40;
        for (int list = 0; list < 2; ++list) {
            std::vector<Area>& areas = list == 0 ? pv.dataAreas : pv.metadataAreas;
            for (;;) {
                if (at + 16 > kSector) return D::refused("LVM2 PV header area lists run past the label");
                const Area a{le64(l, kSector, at), le64(l, kSector, at + 8)};
                at += 16;
                if (a.offset == 0 && a.size == 0) break;
                if (areas.size() >= kMaxAreas) return D::refused("LVM2 PV header lists too many areas");
                areas.push_back(a);
            }
        }
        return D::ok(std::move(pv));
    }
    return D::refused("no LVM2 label");
}

Decoded<std::vector<MetadataText>> readMetadataArea(readWriteInterface& reader, uint64_t pvStart, const Area& area,
                                                    uint64_t pvBytes) {
    using D = Decoded<std::vector<MetadataText>>;
    const std::string where = "metadata area at byte " + std::to_string(area.offset);
    uint64_t base = 0;
    if (area.size <= kMdaHeader || area.offset >= pvBytes || area.size > pvBytes - area.offset ||
        addOverflows(pvStart, area.offset, &base))
        return D::refused(where + ": it does not lie in the PV");
    auto readAt = [&](uint64_t at, void* out, size_t n) {  // at: from the area's start
        return at <= area.size && n <= area.size - at && readZeroFill(reader, base + at, out, n) == n;
    };
    uint8_t h[kMdaHeader];
    if (!readAt(0, h, sizeof h)) return D::refused(where + ": cannot be read");
    if (std::memcmp(h + 4, kMdaMagic, 16) != 0) return D::refused(where + ": no metadata area header");
    if (lvmCrc(h + 4, kMdaHeader - 4) != le32(h, kMdaHeader, 0)) return D::refused(where + ": header checksum");
    if (le32(h, kMdaHeader, 20) != 1) return D::refused(where + ": version " + std::to_string(le32(h, kMdaHeader, 20)));
    std::vector<MetadataText> out;
    // The current text: raw location 0 (offset in the area, size,
    // checksum, flags), across the ring's end back to behind the header.
    const uint64_t offset = le64(h, kMdaHeader, 40), bytes = le64(h, kMdaHeader, 48);
    const uint32_t sum = le32(h, kMdaHeader, 56);
    uint64_t currentStart = UINT64_MAX;
    if (bytes > 0 && bytes <= kMaxTextBytes && bytes < area.size && offset >= kMdaHeader && offset < area.size) {
        MetadataText t;
        t.current = true;
        t.areaOffset = currentStart = offset;
        const uint64_t first = std::min<uint64_t>(bytes, area.size - offset);
        t.text.resize(static_cast<size_t>(bytes));
        bool ok = readAt(offset, t.text.data(), static_cast<size_t>(first));
        if (ok && first < bytes) ok = readAt(kMdaHeader, t.text.data() + first, static_cast<size_t>(bytes - first));
        t.checksumOk = ok && lvmCrc(t.text.data(), t.text.size()) == sum;
        // The text ends at its NUL.
        const size_t nul = t.text.find('\0');
        if (nul != std::string::npos) t.text.resize(nul);
        if (ok) out.push_back(std::move(t));
    }
    // Older texts in the ring (its first kMaxAreaBytes): every "name {"
    // that starts the ring's data or follows a NUL, up to its own NUL.
    std::vector<uint8_t> ring(static_cast<size_t>(std::min(area.size, kMaxAreaBytes)));
    if (!readAt(0, ring.data(), ring.size())) ring.clear();
    size_t at = kMdaHeader;
    while (at < ring.size() && out.size() < kMaxCopies) {
        const size_t end = static_cast<size_t>(std::find(ring.begin() + static_cast<std::ptrdiff_t>(at), ring.end(), 0) - ring.begin());
        if (end > at && at != currentStart) {
            const std::string_view text(reinterpret_cast<const char*>(ring.data() + at), end - at);
            const size_t brace = text.find(" {\n");
            bool name = brace != std::string_view::npos && brace > 0 && brace < 128;
            for (size_t i = 0; name && i < brace; ++i) {
                const char c = text[i];
                name = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' ||
                       c == '.' || c == '+' || c == '-';
            }
            if (name) {
                MetadataText t;
                t.text = std::string(text);
                t.areaOffset = at;
                out.push_back(std::move(t));
            }
        }
        at = end + 1;
    }
    if (out.empty()) return D::refused(where + ": holds no metadata");
    return D::ok(std::move(out));
}

}  // namespace brantlow::lvm
