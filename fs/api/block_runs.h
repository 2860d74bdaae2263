// Writing a file from runs of blocks, as file systems with block maps and
// extents keep it: the runs in file order, holes and unwritten runs as
// zeros, reads merged up to 8 MiB. A deleted file's blocks that the
// allocation map gives to something else now are not its content: they
// become zeros and the file is reported partial. A block that cannot be
// read becomes zeros, the rest keeps its offsets.
#pragma once

#include <algorithm>
#include <cstdint>
#include <functional>
#include <vector>

#include "base/content_sink.h"
#include "disk/volume_view.h"
#include "fs/api/parser.h"

namespace brantlow {

struct BlockRun {
    uint64_t logical = 0;   // first file block
    uint64_t physical = 0;  // first volume block
    uint64_t count = 0;
    bool unwritten = false;  // allocated, reads as zeros
};

// runs: ascending, not overlapping. deleted: the file's inode was freed
// (its blocks are checked with inUse, its missing runs are losses rather
// than holes). mapDamaged: the map was cut short somewhere.
inline WriteResult writeBlockRuns(const std::vector<BlockRun>& runs, uint64_t size, uint64_t blockSize,
                                  const VolumeView& volume, bool deleted, bool mapDamaged,
                                  const std::function<bool(uint64_t block)>& inUse, ContentSink& out) {
    constexpr uint64_t kMaxRead = 8u << 20;
    const uint64_t bs = blockSize;
    if (size == 0 || bs == 0) return WriteResult::complete();
    std::vector<uint8_t> buf(static_cast<size_t>(std::min<uint64_t>(kMaxRead, (size + bs - 1) / bs * bs)));
    uint64_t pos = 0, backed = 0;
    bool readError = false, reused = false, gaps = false;
    auto used = [&](uint64_t b) { return deleted && inUse && inUse(b); };
    for (const BlockRun& r : runs) {
        if (r.logical > size / bs) break;
        const uint64_t start = r.logical * bs;
        if (start >= size) break;
        if (start > pos) {
            gaps = true;
            if (!out.writeZeros(start - pos)) return WriteResult::failed("write error");
            pos = start;
        }
        const uint64_t count = std::min<uint64_t>(r.count, (size - start + bs - 1) / bs);
        const uint64_t runBytes = std::min<uint64_t>(count * bs, size - start);
        if (r.unwritten) {
            if (!out.writeZeros(runBytes)) return WriteResult::failed("write error");
            pos += runBytes;
            backed += runBytes;
            continue;
        }
        const uint64_t blocks = (runBytes + bs - 1) / bs;
        for (uint64_t b = 0; b < blocks;) {
            if (out.full()) return WriteResult::complete();
            uint64_t n = std::min<uint64_t>(blocks - b, buf.size() / bs);
            if (deleted) {
                // Blocks another file holds now are left out.
                uint64_t k = 0;
                while (k < n && used(r.physical + b + k)) ++k;
                if (k) {
                    reused = true;
                    const uint64_t z = std::min<uint64_t>(k * bs, size - pos);
                    if (!out.writeZeros(z)) return WriteResult::failed("write error");
                    pos += z;
                    b += k;
                    continue;
                }
                k = 1;
                while (k < n && !used(r.physical + b + k)) ++k;
                n = k;
            }
            const uint64_t bytes = std::min<uint64_t>(n * bs, size - pos);
            if (volume.read((r.physical + b) * bs, buf.data(), static_cast<size_t>(bytes)) != bytes) {
                // Block by block: only the blocks that fail become zeros.
                readError = true;
                for (uint64_t off = 0; off < bytes; off += bs) {
                    const size_t piece = static_cast<size_t>(std::min<uint64_t>(bs, bytes - off));
                    volume.read((r.physical + b) * bs + off, buf.data() + off, piece);
                }
            }
            if (!out.write(buf.data(), static_cast<size_t>(bytes))) return WriteResult::failed("write error");
            pos += bytes;
            backed += bytes;
            b += n;
        }
    }
    if (pos < size) {
        if (deleted || mapDamaged) {
            if (backed == 0) return WriteResult::failed("no block of the file is left");
            return WriteResult::partial("the block map ends before the recorded size");
        }
        // A live file's trailing hole (a sparse file).
        if (!out.writeZeros(size - pos)) return WriteResult::failed("write error");
    }
    if (deleted && backed == 0) return WriteResult::failed("its blocks now belong to other files");
    if (reused) return WriteResult::partial("some blocks now belong to other files");
    if (readError) return WriteResult::partial("some blocks could not be read");
    // A damaged map matters where it left holes in the recorded size.
    if (mapDamaged && gaps) return WriteResult::partial("the block map is damaged");
    if (deleted && gaps) return WriteResult::partial("the block map has gaps");
    return WriteResult::complete();
}

}  // namespace brantlow
