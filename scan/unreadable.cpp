#include "scan/unreadable.h"

#include <algorithm>

namespace brantlow {

UnreadableSectors::UnreadableSectors(const VolumeView& volume)
    : map_(mappedReaderOf(volume.reader())), start_(volume.startByte()), size_(volume.sizeBytes()) {}

uint64_t UnreadableSectors::of(const VolumeParser& parser, EntryId id) const {
    if (!map_) return 0;
    uint64_t n = 0;
    for (const VolumeRange& r : parser.contentRanges(id)) {
        if (r.offset >= size_) continue;
        const uint64_t len = std::min(r.length, size_ - r.offset);
        n += map_->unreadableSectors(start_ + r.offset, len);
    }
    return n;
}

RecoveryEstimate fileEstimate(const VolumeParser& parser, EntryId id, const EntryInfo& info,
                              const UnreadableSectors* unreadable) {
    if (info.kind == EntryKind::Folder) return {};
    if (unreadable && unreadable->active())
        if (const uint64_t n = unreadable->of(parser, id)) return RecoveryEstimate::unreadable(n);
    if (info.state != EntryState::Deleted) return {};
    return parser.recoverability(id);
}

}  // namespace brantlow
