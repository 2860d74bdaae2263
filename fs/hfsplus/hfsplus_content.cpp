// HFS+ content: data and resource forks along their extents (with the
// overflow records), decmpfs-compressed files, the list texts.
#include <zlib.h>

#include <algorithm>
#include <cstring>

#include "base/bytes.h"
#include "base/texts.h"
#include "fs/hfsplus/hfsplus.h"

namespace brantlow {

using namespace hfs;

namespace {

std::string dateText(uint32_t hfsSeconds) {
    OptTime t = fromHfsSeconds(hfsSeconds);
    if (!t) return {};
    auto f = localFields(t->sec);
    return f ? formatDateText(*f) : std::string();
}

// Largest decmpfs unit and compressed block we accept.
constexpr size_t kUnit = 65536;
constexpr size_t kMaxBlock = 2 * kUnit + 64;

// Inflates a zlib stream into at most cap bytes; the bytes produced, or -1.
long inflateInto(const uint8_t* in, size_t inLen, uint8_t* out, size_t cap) {
    z_stream z{};
    if (inflateInit(&z) != Z_OK) return -1;
    z.next_in = const_cast<Bytef*>(in);
    z.avail_in = static_cast<uInt>(inLen);
    z.next_out = out;
    z.avail_out = static_cast<uInt>(cap);
    int rc = inflate(&z, Z_FINISH);
    long produced = static_cast<long>(cap - z.avail_out);
    inflateEnd(&z);
    if (rc != Z_STREAM_END && rc != Z_BUF_ERROR && rc != Z_OK) return -1;
    return produced;
}

}  // namespace

ListTexts HFSP::listTexts(EntryId id) const {
    if (id >= kRsrcStreamBase) {
        ListTexts t;
        EntryInfo info;
        if (entryInfo(id, info)) t.size = formatSizeText(info.size);
        return t;
    }
    return formatListItem(id);
}

// File entries only; folders get empty texts.
ListTexts HFSP::formatListItem(EntryId id) const {
    ListTexts t;
    const HfsEntry* e = find(id);
    if (!e || e->kind != 2) return t;
    const HfsEntry* c = contentEntry(*e);
    t.created = dateText(c->createDate);
    t.accessed = dateText(c->accessDate);
    t.modified = dateText(c->contentModDate);
    t.size = formatSizeText(shownSize(*e));
    t.attributes = hfs::modeText(c->fileMode);
    return t;
}

WriteResult HFSP::writeContent(EntryId id, ContentSink& out) { return writeEntry(id, out); }

WriteResult HFSP::writeEntry(EntryId id, ContentSink& out) {
    const bool rsrc = id >= kRsrcStreamBase;
    const HfsEntry* e = find(rsrc ? id - kRsrcStreamBase : id);
    if (!e || e->kind != 2) return WriteResult::failed("not a file");
    const HfsEntry* c = contentEntry(*e);
    const bool deleted = c->state == EntryState::Deleted;
    if (rsrc) {
        ForkRuns runs = forkRuns(fork(*c, true), kResourceFork, static_cast<uint32_t>(c->cnid), extentsIndex_, blockSize_,
                                 volumeBlocks_);
        return writeRuns(runs, c->rsrcSize, deleted, out);
    }
    if (c->compressed) {
        auto it = compression_.find(c->cnid);
        if (it != compression_.end()) return writeCompressed(*c, it->second, out);
        if (c->dataSize == 0) return WriteResult::failed("compressed, and its decmpfs attribute was not found");
    }
    ForkRuns runs =
        forkRuns(fork(*c, false), kDataFork, static_cast<uint32_t>(c->cnid), extentsIndex_, blockSize_, volumeBlocks_);
    return writeRuns(runs, c->dataSize, deleted, out);
}

// Bitmap bytes of the allocation file covering blocks [first, first+count).
void HFSP::allocationBits(uint64_t first, uint64_t count, std::vector<uint8_t>& bytes) const {
    const uint64_t a = first / 8, b = (first + count + 7) / 8;
    bytes.assign(static_cast<size_t>(b - a), 0);
    // Allocation-file bytes outside its runs read as zeros (free).
    uint64_t done = 0;
    while (done < bytes.size()) {
        uint64_t at = 0, contiguous = 0;
        if (!forkByteOffset(allocationRuns_, blockSize_, a + done, &at, &contiguous) || contiguous == 0) break;
        size_t step = static_cast<size_t>(std::min<uint64_t>(contiguous, bytes.size() - done));
        volume_.read(at, bytes.data() + done, step);
        done += step;
    }
}

// Blocks of the runs that the allocation bitmap gives to some file now.
uint64_t HFSP::reusedBlocks(const ForkRuns& fr) const {
    uint64_t used = 0;
    std::vector<uint8_t> bits;
    constexpr uint64_t kSpan = 1u << 22;  // blocks per bitmap read
    for (const Run& r : fr.runs) {
        if (!r.valid) continue;
        for (uint64_t k = 0; k < r.blockCount; k += kSpan) {
            const uint64_t first = r.startBlock + k, n = std::min(kSpan, r.blockCount - k);
            allocationBits(first, n, bits);
            const uint64_t base = first / 8 * 8;
            for (uint64_t b = first; b < first + n; ++b) {
                const uint64_t i = b - base;
                if (bits[i / 8] & (0x80 >> (i % 8))) ++used;
            }
        }
    }
    return used;
}

// The runs' blocks up to size bytes, in pieces. Unreadable blocks are zeros
// (Partial); the output ends at a run that leaves the volume (Partial); a
// deleted file's blocks that belong to another file now are zeros as well.
WriteResult HFSP::writeRuns(const ForkRuns& fr, uint64_t size, bool deleted, ContentSink& out) const {
    const uint64_t bs = blockSize_;
    uint64_t reused = 0;
    if (deleted && size) {
        reused = reusedBlocks(fr);
        if (reused && reused >= fr.blocks) return WriteResult::failed("its blocks belong to other files now");
    }
    uint64_t pos = 0, failedBlocks = 0, outside = 0;
    std::vector<uint8_t> buf, bits;
    const uint64_t piece = std::max<uint64_t>(bs, readPiece / bs * bs);
    for (const Run& r : fr.runs) {
        if (pos >= size) break;
        uint64_t runBytes = 0;
        if (mulOverflows(r.blockCount, bs, &runBytes)) runBytes = ~0ull;
        runBytes = std::min(runBytes, size - pos);
        if (!r.valid) {
            // Nothing past here is backed by the volume.
            outside = 1;
            break;
        }
        for (uint64_t done = 0; done < runBytes;) {
            if (stopRequested.load(std::memory_order_relaxed) || out.full()) return WriteResult::complete();
            const uint64_t n = std::min(piece, runBytes - done);
            const uint64_t firstBlock = r.startBlock + done / bs;
            const uint64_t blocks = (n + bs - 1) / bs;
            buf.resize(static_cast<size_t>(blocks * bs));
            const uint64_t at = firstBlock * bs;
            if (volume_.read(at, buf.data(), buf.size()) < n) {
                // Block by block: only what fails is zeros.
                for (uint64_t k = 0; k < blocks; ++k)
                    if (!volume_.readExact(at + k * bs, buf.data() + k * bs, static_cast<size_t>(bs))) ++failedBlocks;
            }
            if (reused) {
                allocationBits(firstBlock, blocks, bits);
                const uint64_t base = firstBlock / 8 * 8;
                for (uint64_t k = 0; k < blocks; ++k) {
                    const uint64_t i = firstBlock + k - base;
                    if (bits[i / 8] & (0x80 >> (i % 8))) std::memset(buf.data() + k * bs, 0, static_cast<size_t>(bs));
                }
            }
            if (!out.write(buf.data(), static_cast<size_t>(n))) return WriteResult::failed("write error");
            done += n;
        }
        pos += runBytes;
    }
    if (outside) {
        return WriteResult::partial("extents leave the volume after " + std::to_string(pos) + " of " +
                                    std::to_string(size) + " bytes");
    }
    if (pos < size) {
        return WriteResult::partial("extents end after " + std::to_string(pos) + " of " + std::to_string(size) +
                                    " bytes");
    }
    if (failedBlocks) return WriteResult::partial(std::to_string(failedBlocks) + " blocks could not be read");
    if (reused) return WriteResult::partial(std::to_string(reused) + " blocks belong to other files now");
    return WriteResult::complete();
}

// decmpfs: zlib data inline in the attribute (type 3) or in the resource
// fork as a table of 64 KiB units (type 4); a first byte 0x0F (inline) or
// 0xFF (unit) marks bytes stored as they are.
WriteResult HFSP::writeCompressed(const HfsEntry& e, const HfsCompression& c, ContentSink& out) const {
    if (c.type == 1 || c.type == 3) {
        const std::vector<uint8_t>& d = c.inlineData;
        if (c.type == 1 || (!d.empty() && (d[0] & 0x0F) == 0x0F)) {
            const size_t skip = c.type == 1 ? 0 : 1;
            const size_t n = static_cast<size_t>(std::min<uint64_t>(c.size, d.size() > skip ? d.size() - skip : 0));
            if (n && !out.write(d.data() + skip, n)) return WriteResult::failed("write error");
            return n == c.size ? WriteResult::complete() : WriteResult::partial("compressed data ends early");
        }
        if (c.size > kUnit * 64) return WriteResult::failed("inline compressed data larger than it can be");
        std::vector<uint8_t> buf(static_cast<size_t>(c.size));
        long got = buf.empty() ? 0 : inflateInto(d.data(), d.size(), buf.data(), buf.size());
        if (got < 0) return WriteResult::failed("compressed data damaged (zlib)");
        if (got && !out.write(buf.data(), static_cast<size_t>(got))) return WriteResult::failed("write error");
        return static_cast<uint64_t>(got) == c.size ? WriteResult::complete()
                                                    : WriteResult::partial("compressed data ends early");
    }
    if (c.type != 4) {
        return WriteResult::failed("compressed with decmpfs method " + std::to_string(c.type) + " (not supported)");
    }
    const ForkRuns fr =
        forkRuns(fork(e, true), kResourceFork, static_cast<uint32_t>(e.cnid), extentsIndex_, blockSize_, volumeBlocks_);
    const uint64_t forkSize = e.rsrcSize;
    auto readAt = [&](uint64_t off, void* p, size_t n) {
        if (off > forkSize || n > forkSize - off) return false;
        return readFork(fr.runs, off, p, n);
    };
    uint8_t hdr[16];
    if (!readAt(0, hdr, sizeof hdr)) return WriteResult::failed("resource fork of the compressed file unreadable");
    const uint64_t dataOffset = be32(hdr, sizeof hdr, 0);
    uint8_t cnt[8];
    if (!readAt(dataOffset + 4, cnt, 4)) return WriteResult::failed("compressed block table unreadable");
    const uint64_t units = le32(cnt, 4, 0);
    const uint64_t expected = (c.size + kUnit - 1) / kUnit;
    if (units != expected || units * 8 > forkSize) return WriteResult::failed("compressed block table damaged");
    std::vector<uint8_t> table(static_cast<size_t>(units * 8));
    if (!table.empty() && !readAt(dataOffset + 8, table.data(), table.size()))
        return WriteResult::failed("compressed block table unreadable");
    std::vector<uint8_t> in, dec(kUnit);
    uint64_t written = 0;
    for (uint64_t u = 0; u < units; ++u) {
        if (stopRequested.load(std::memory_order_relaxed) || out.full()) return WriteResult::complete();
        const uint64_t off = le32(table.data(), table.size(), static_cast<size_t>(u * 8));
        const uint64_t len = le32(table.data(), table.size(), static_cast<size_t>(u * 8 + 4));
        const size_t want = static_cast<size_t>(std::min<uint64_t>(kUnit, c.size - written));
        if (len == 0 || len > kMaxBlock) return WriteResult::partial("compressed unit " + std::to_string(u) + " damaged");
        in.resize(static_cast<size_t>(len));
        if (!readAt(dataOffset + 4 + off, in.data(), in.size()))
            return WriteResult::partial("compressed unit " + std::to_string(u) + " unreadable");
        size_t n;
        if (in[0] == 0xFF) {
            n = std::min<size_t>(want, in.size() - 1);
            std::memcpy(dec.data(), in.data() + 1, n);
        } else {
            long got = inflateInto(in.data(), in.size(), dec.data(), want);
            if (got < 0) return WriteResult::partial("compressed unit " + std::to_string(u) + " damaged (zlib)");
            n = static_cast<size_t>(got);
        }
        if (n && !out.write(dec.data(), n)) return WriteResult::failed("write error");
        written += n;
        if (n < want) return WriteResult::partial("compressed unit " + std::to_string(u) + " ends early");
    }
    return written == c.size ? WriteResult::complete() : WriteResult::partial("compressed data ends early");
}

}  // namespace brantlow
