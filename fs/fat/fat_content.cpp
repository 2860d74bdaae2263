// Writing one FAT file's content: the FAT chain for live files, contiguous
// clusters for a deleted file whose chain was freed (or when the drive was
// formatted), in reads of up to 4 MiB of consecutive clusters.
#include <algorithm>
#include <map>
#include <vector>

#include "fs/fat/fat_parser.h"

namespace brantlow {

namespace {
constexpr uint64_t kMaxRun = 4 * 1024 * 1024;
}

WriteResult FatParser::writeContent(EntryId id, ContentSink& out) {
    if (id == kRootId || id == 0 || id >= entries_.size()) return WriteResult::failed("no such entry");
    const FatEntry& e = entries_[static_cast<size_t>(id)];
    if (isFatDirectory(e.attribute)) return WriteResult::complete();
    bool times = true;
    WriteResult r = writeEntryToFile(e, out, &times);
    noTimesFor_.store(times ? ~0ull : id);
    return r;
}

WriteResult FatParser::writeEntryToFile(const FatEntry& e, ContentSink& out, bool* timesAllowed) {
    if (timesAllowed) *timesAllowed = true;
    uint64_t remaining = e.fileSize;
    if (remaining == 0) return WriteResult::complete();
    const uint32_t c0 = firstCluster(e);
    const uint64_t cs = layout_.clusterSize;
    // A slot without a valid first cluster has no content to read.
    if (cs == 0 || !layout_.clusterValid(c0)) return WriteResult::failed("no valid first cluster");
    const uint64_t wanted = remaining;
    auto shortBy = [&](const char* why) {
        return WriteResult::partial(std::string(why) + ": " + std::to_string(wanted - remaining) + " of " +
                                    std::to_string(wanted) + " bytes");
    };
    auto stopped = [&] { return WriteResult::failed("stopped"); };
    auto sinkFailed = [&] { return WriteResult::failed("write error"); };

    bool contiguous = driveFormatted_;
    bool firstOnly = false;
    if (!contiguous && (e.deleted || e.inDeletedTree)) {
        // The chain of a deleted file was freed: its clusters most likely
        // follow the first one. If the first cluster is in use again, only
        // that cluster is taken rather than another file's chain.
        if (fat_.entry(c0) == 0)
            contiguous = true;
        else
            firstOnly = true;
    }

    std::vector<uint8_t> buf(static_cast<size_t>(std::min<uint64_t>(kMaxRun, (remaining + cs - 1) / cs * cs)));
    bool readOk = true;
    uint32_t runStart = 0;
    uint64_t runLen = 0;
    // Writes the current run (at most the bytes still wanted).
    auto flush = [&]() -> bool {
        if (!runLen) return true;
        uint64_t bytes = std::min<uint64_t>(runLen * cs, remaining);
        runLen = 0;
        int fd = -1;
        uint64_t fileOff = 0;
        if (out.copies() && volume_.plainExtent(layout_.clusterOffset(runStart), bytes, fd, fileOff)) {
            // Straight from the image file to the output.
            if (!out.copy(fd, fileOff, bytes)) return false;
        } else {
            if (volume_.read(layout_.clusterOffset(runStart), buf.data(), static_cast<size_t>(bytes)) != bytes)
                readOk = false;
            if (!out.write(buf.data(), static_cast<size_t>(bytes))) return false;
        }
        remaining -= bytes;
        return true;
    };
    auto add = [&](uint32_t c) -> bool {
        if (runLen && c == runStart + runLen && (runLen + 1) * cs <= buf.size()) {
            ++runLen;
        } else {
            if (!flush()) return false;
            runStart = c;
            runLen = 1;
        }
        if (runLen * cs >= remaining) return flush();
        return true;
    };

    if (contiguous || firstOnly) {
        uint64_t need = firstOnly ? 1 : (remaining + cs - 1) / cs;
        uint32_t c = c0;
        for (uint64_t i = 0; i < need && remaining; ++i, ++c) {
            if (!layout_.clusterValid(c)) {
                // The volume ends before the file does.
                if (!flush()) return sinkFailed();
                if (timesAllowed && !firstOnly) *timesAllowed = false;
                return shortBy("the volume ends before the file");
            }
            if (stopRequested.load(std::memory_order_relaxed)) return stopped();
            if (!add(c)) return sinkFailed();
        }
        if (!flush()) return sinkFailed();
        if (!readOk) return shortBy("unreadable clusters (written as zeros)");
        if (remaining) return shortBy("its first cluster belongs to another file now; only that cluster");
        return WriteResult::complete();
    }

    // The FAT chain. Chains are mostly runs of consecutive clusters: the
    // runs met so far are kept, and a step into one of them is a loop.
    std::map<uint32_t, uint32_t> seen;  // first -> last cluster of each earlier run
    uint32_t cs0 = c0, ce = c0;
    auto inEarlierRun = [&](uint32_t n) {
        auto it = seen.upper_bound(n);
        if (it == seen.begin()) return false;
        --it;
        return n >= it->first && n <= it->second;
    };
    uint32_t c = c0;
    while (remaining) {
        if (!add(c)) return sinkFailed();
        if (!remaining) break;
        if (stopRequested.load(std::memory_order_relaxed)) return stopped();
        uint32_t n = nextCluster(c);
        if (!n || inEarlierRun(n) || (n >= cs0 && n <= ce)) break;
        if (n == ce + 1) {
            ce = n;
        } else {
            seen.emplace(cs0, ce);
            cs0 = ce = n;
        }
        c = n;
    }
    if (!flush()) return sinkFailed();
    // A chain that ends (or loops) before the size is reached gives a short
    // file: reported, not hidden.
    if (!readOk) return shortBy("unreadable clusters (written as zeros)");
    if (remaining) return shortBy("the cluster chain ends before the recorded size");
    return WriteResult::complete();
}

}  // namespace brantlow
