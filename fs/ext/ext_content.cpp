// Writing one ext file: its blocks in logical order, holes and unwritten
// extents as zeros, inline data from the inode. A freed inode's blocks that
// another file holds now are not its content: they become zeros and the
// file is reported partial.
#include <algorithm>
#include <cstring>

#include "base/bytes.h"
#include "fs/ext/ext_internal.h"
#include "fs/ext/ext_parser.h"

namespace brantlow {

using namespace ext;

namespace {
constexpr uint64_t kMaxRead = 8u << 20;
}

WriteResult ext2Class::writeInline(const Inode& ino, const std::vector<uint8_t>& raw, uint64_t size,
                                   ContentSink& out) const {
    const uint64_t head = std::min<uint64_t>(size, sizeof ino.block);
    if (head && !out.write(ino.block, static_cast<size_t>(head))) return WriteResult::failed("write error");
    if (size <= head) return WriteResult::complete();
    const std::string tail = inlineDataTail(raw.data(), raw.size());
    const uint64_t more = std::min<uint64_t>(tail.size(), size - head);
    if (more && !out.write(tail.data(), static_cast<size_t>(more))) return WriteResult::failed("write error");
    if (head + more < size) return WriteResult::partial("inline data shorter than the recorded size");
    return WriteResult::complete();
}

WriteResult ext2Class::writeContent(EntryId id, ContentSink& out) {
    const ExtEntry* e = entry(id);
    if (!e) return WriteResult::failed("no such entry");
    if (e->type() != kTypeFile) return WriteResult::complete();
    // A name whose inode field was cleared says nothing of its content.
    if (e->inode == 0 && e->version == ExtEntry::kNone)
        return WriteResult::failed("only the name is left: nothing to recover");
    const bool deleted = e->bits & ExtEntry::kDeleted;
    const ExtInodeVersion* v = e->version != ExtEntry::kNone ? &versions_[e->version] : nullptr;
    std::vector<uint8_t> raw;
    if (v)
        raw.assign(rawOf(*v), rawOf(*v) + sb_.inodeSize);
    else if (!readInode(e->inode, raw))
        return WriteResult::failed("the inode could not be read");
    const Inode ino = inodeAt(raw.data(), raw.size());
    if (ino.type() != kTypeFile && ino.type() != 0) return WriteResult::failed("not a regular file");
    const uint64_t size = e->size;
    if (size == 0) return WriteResult::complete();
    if (ino.inlineData()) return writeInline(ino, raw, size, out);

    MapResult m = mapInode(ino, v, deleted);
    RunWriter w{*this, out, size, deleted};
    std::vector<uint8_t> buf(static_cast<size_t>(std::min<uint64_t>(kMaxRead, (size + w.bs - 1) / w.bs * w.bs)));
    for (const Run& r : m.runs) {
        if (r.logical * w.bs >= size) break;
        if (!w.run(r, buf)) return WriteResult::failed("write error");
        if (w.full) return WriteResult::complete();
    }
    if (w.pos < size) {
        if (deleted || m.damaged) {
            if (w.backed == 0) return WriteResult::failed("no block of the file is left");
            return WriteResult::partial("the block map ends before the recorded size");
        }
        // A live file's trailing hole (a sparse file).
        if (!out.writeZeros(size - w.pos)) return WriteResult::failed("write error");
    }
    if (deleted && w.backed == 0) return WriteResult::failed("its blocks now belong to other files");
    if (w.reused) return WriteResult::partial("some blocks now belong to other files");
    if (w.readError) return WriteResult::partial("some blocks could not be read");
    if (m.damaged) return WriteResult::partial("the block map is damaged");
    if (deleted && w.gaps) return WriteResult::partial("the block map has gaps");
    return WriteResult::complete();
}

// One run of a file: a hole before it as zeros, then its blocks (zeros for
// an unwritten extent, and for a deleted file's blocks another file holds
// now). False on a write error.
bool ext2Class::RunWriter::run(const Run& r, std::vector<uint8_t>& buf) {
    const uint64_t start = r.logical * bs;
    if (start > pos) {
        gaps = true;
        if (!out.writeZeros(start - pos)) return false;
        pos = start;
    }
    const uint64_t runBytes = std::min<uint64_t>(r.count * bs, size - start);
    if (r.unwritten) {
        if (!out.writeZeros(runBytes)) return false;
        pos += runBytes;
        backed += runBytes;
        return true;
    }
    const uint64_t blocks = (runBytes + bs - 1) / bs;
    for (uint64_t b = 0; b < blocks;) {
        if (out.full()) {
            full = true;
            return true;
        }
        uint64_t n = std::min<uint64_t>(blocks - b, buf.size() / bs);
        if (deleted) {
            // Blocks another file holds now are left out.
            uint64_t k = 0;
            while (k < n && p.blockInUse(r.physical + b + k)) ++k;
            if (k) {
                reused = true;
                const uint64_t z = std::min<uint64_t>(k * bs, size - pos);
                if (!out.writeZeros(z)) return false;
                pos += z;
                b += k;
                continue;
            }
            k = 1;
            while (k < n && !p.blockInUse(r.physical + b + k)) ++k;
            n = k;
        }
        const uint64_t bytes = std::min<uint64_t>(n * bs, size - pos);
        int fd = -1;
        uint64_t fileOff = 0;
        if (out.copies() && p.volume_.plainExtent((r.physical + b) * bs, bytes, fd, fileOff)) {
            // Straight from the image file to the output.
            if (!out.copy(fd, fileOff, bytes)) return false;
            pos += bytes;
            backed += bytes;
            b += n;
            continue;
        }
        if (p.volume_.read((r.physical + b) * bs, buf.data(), static_cast<size_t>(bytes)) != bytes) {
            // Block by block: only the blocks that fail become zeros.
            readError = true;
            for (uint64_t off = 0; off < bytes; off += bs) {
                const size_t piece = static_cast<size_t>(std::min<uint64_t>(bs, bytes - off));
                p.volume_.read((r.physical + b) * bs + off, buf.data() + off, piece);
            }
        }
        if (!out.write(buf.data(), static_cast<size_t>(bytes))) return false;
        pos += bytes;
        backed += bytes;
        b += n;
    }
    return true;
}

std::string ext2Class::guessExtension(const ExtEntry& e) const {
    if (!guess_ || e.version == ExtEntry::kNone) return {};
    const ExtInodeVersion& v = versions_[e.version];
    const Inode ino = inodeAt(rawOf(v), sb_.inodeSize);
    std::vector<uint8_t> buf(sb_.blockSize);
    if (ino.inlineData()) {
        std::memcpy(buf.data(), ino.block, std::min<size_t>(buf.size(), sizeof ino.block));
        return guess_(buf.data(), std::min<size_t>(sizeof ino.block, ino.size));
    }
    MapResult m = mapInode(ino, &v, true);
    if (m.runs.empty() || m.runs[0].logical != 0 || m.runs[0].unwritten) return {};
    if (blockInUse(m.runs[0].physical) || !readBlock(m.runs[0].physical, buf.data())) return {};
    return guess_(buf.data(), static_cast<size_t>(std::min<uint64_t>(buf.size(), ino.size)));
}

}  // namespace brantlow
