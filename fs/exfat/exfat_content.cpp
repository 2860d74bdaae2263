// Writing one exFAT file's content: contiguous clusters (NoFatChain, or a
// deleted file whose chain was freed, or a formatted drive) or the FAT
// chain, in reads of up to 4 MiB of consecutive clusters, bounded by the
// heap. validDataLength bytes are written.
#include <algorithm>
#include <vector>

#include "fs/exfat/exfat_parser.h"

namespace brantlow {

namespace {
constexpr uint64_t kMaxRead = 4 * 1024 * 1024;
}

Chain Fat64Class::streamChain(const ExFatEntry& e, uint64_t wantBytes, bool* contiguousGuess) {
    if (contiguousGuess) *contiguousGuess = false;
    const uint32_t cs = layout_.clusterSize;
    const uint32_t last = layout_.lastCluster();
    const uint64_t need = cs ? wantBytes / cs + (wantBytes % cs ? 1 : 0) : 0;
    if (e.noFatChain() || driveFormatted_) return contiguousChain(e.firstCluster, last, need);
    if (e.inDeletedTree && layout_.clusterValid(e.firstCluster)) {
        const uint32_t v = fat_.entry(e.firstCluster);
        if (v == kExfatFree) {
            // The chain was freed with the file: its clusters most likely
            // follow the first one.
            if (contiguousGuess) *contiguousGuess = true;
            return contiguousChain(e.firstCluster, last, need);
        }
        // The first cluster belongs to another file now: only it is taken
        // rather than another file's chain.
        if (bitmap_.loaded() && bitmap_.inUse(e.firstCluster)) return contiguousChain(e.firstCluster, last, 1);
    }
    return followChain([this](uint32_t c) { return fat_.entry(c); }, e.firstCluster, last, need);
}

WriteResult Fat64Class::writeContent(EntryId id, ContentSink& out) {
    if (id == kRootId || id == 0 || id >= entries_.size()) return WriteResult::failed("no such entry");
    const ExFatEntry e = entries_[static_cast<size_t>(id)];
    if (isExfatDirectory(e.fileAttributes) || id == orphanIndex_) return WriteResult::complete();
    noTimesFor_.store(~0ull);
    uint64_t remaining = e.validDataLength;
    if (remaining == 0) return WriteResult::complete();
    const uint32_t cs = layout_.clusterSize;
    if (!cs || !layout_.clusterValid(e.firstCluster)) return WriteResult::failed("first cluster outside the volume");

    const Chain chain = streamChain(e, remaining, nullptr);
    bool readFailed = false;
    std::vector<uint8_t> buf;
    for (const ClusterRun& r : chain.runs) {
        uint32_t c = r.first;
        uint64_t left = r.count;
        while (left && remaining) {
            if (stopRequested.load(std::memory_order_relaxed)) return WriteResult::failed("stopped");
            const uint64_t n = std::min<uint64_t>(left, kMaxRead / cs ? kMaxRead / cs : 1);
            const uint64_t bytes = std::min<uint64_t>(n * cs, remaining);
            buf.resize(static_cast<size_t>(bytes));
            if (volume_.read(layout_.clusterOffset(c), buf.data(), buf.size()) != buf.size()) {
                // Cluster by cluster: what can be read is kept, the rest is
                // zeros at its own offset.
                for (uint64_t k = 0; k < n; ++k) {
                    const uint64_t at = k * cs;
                    if (at >= bytes) break;
                    const size_t len = static_cast<size_t>(std::min<uint64_t>(cs, bytes - at));
                    if (volume_.read(layout_.clusterOffset(c + static_cast<uint32_t>(k)), buf.data() + at, len) != len)
                        readFailed = true;
                }
            }
            if (!out.write(buf.data(), buf.size())) return WriteResult::failed("write failed");
            remaining -= bytes;
            left -= n;
            c += static_cast<uint32_t>(n);
        }
        if (!remaining) break;
    }
    if (remaining) {
        // Keep: a contiguous read cut by the end of the heap on a formatted
        // drive leaves the output file's times alone.
        if (driveFormatted_) noTimesFor_.store(id);
        const char* why = chain.end == ChainEnd::Loop         ? "the cluster chain loops before the recorded size"
                          : chain.end == ChainEnd::OutOfRange ? "the cluster heap ends before the recorded size"
                                                              : "the cluster chain ends before the recorded size";
        return WriteResult::partial(why);
    }
    if (readFailed) return WriteResult::partial("some clusters could not be read");
    return WriteResult::complete();
}

}  // namespace brantlow
