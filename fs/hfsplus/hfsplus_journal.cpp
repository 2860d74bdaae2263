// The journal of a journaled volume: its info block says where the journal
// buffer lies; the buffer is searched for catalog records of files and
// folders that are gone (the journal is not replayed).
#include <algorithm>

#include "fs/hfsplus/hfsplus.h"

namespace brantlow {

using namespace hfs;

void HFSP::searchJournal() {
    if (!header_.journaled() || header_.journalInfoBlock == 0 || header_.journalInfoBlock >= volumeBlocks_) return;
    const uint64_t infoAt = static_cast<uint64_t>(header_.journalInfoBlock) * blockSize_;
    uint8_t jib[512];
    if (!volume_.readExact(infoAt, jib, sizeof jib)) return;
    const Decoded<JournalInfoBlock> info = decodeJournalInfoBlock(jib, sizeof jib, volumeBlocks_ * blockSize_);
    if (!info) {
        note("journal info block", infoAt, info.reason());
        return;
    }
    if (info->external) return;  // not in this volume
    const uint64_t off = info->offset, size = info->size;
    const size_t overlap = kMaxCatalogRecord;
    std::vector<uint8_t> buf(readPiece + overlap);
    for (uint64_t pos = 0; pos < size; pos += readPiece) {
        if (stopped()) break;
        const size_t want = static_cast<size_t>(std::min<uint64_t>(readPiece + overlap, size - pos));
        volume_.read(off + pos, buf.data(), want);
        carve(buf.data(), want, 0, std::min<size_t>(want, readPiece), off + pos, kJournal, HfsSource::Journal);
    }
}

}  // namespace brantlow
