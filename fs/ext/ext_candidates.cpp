// ext's part of the search for earlier file systems: superblock copies
// anywhere on the volume. Each copy names its block group, which places the
// start of its file system; the copies of one file system (same start and
// UUID) are judged against the copies its groups should hold.
#include <cstring>
#include <map>

#include "base/bytes.h"
#include "fs/ext/ext_candidates.h"
#include "fs/ext/ext_format.h"

namespace brantlow {

namespace {

class ExtMatcher : public CandidateMatcher {
public:
    void block(uint64_t offset, const uint8_t* data, size_t len, size_t room) override {
        for (size_t s = 0; s < len && s + 1024 <= room; s += 1024) {
            const uint8_t* p = data + s;
            if (le16(p, 1024, 56) != ext::kSuperMagic) continue;
            const Decoded<ext::Superblock> sb = ext::decodeSuperblock(p, 1024);
            if (!sb) continue;
            const uint64_t pos = offset + s;
            uint64_t back = 0;
            if (sb->blockGroupNr == 0) {
                back = 1024;
            } else if (mulOverflows(static_cast<uint64_t>(sb->blockGroupNr) * sb->blocksPerGroup + sb->firstDataBlock,
                                    sb->blockSize, &back)) {
                continue;
            }
            if (back > pos) continue;
            std::string key(reinterpret_cast<const char*>(sb->uuid), 16);
            Group& g = groups_[{pos - back, key}];
            if (!g.copies++) g.sb = *sb;
            if (sb->blockGroupNr) ++g.backups;
            if (pos == 1024 && sb->blockGroupNr == 0) currentUuid_ = key;
            if (groups_.size() > 64) groups_.erase(std::prev(groups_.end()));
        }
    }

    std::vector<FileSystemCandidate> finish(const VolumeView& volume) override {
        std::vector<FileSystemCandidate> out;
        const uint64_t total = volume.sizeBytes();
        // One start per file system (UUID): the one most backup copies agree
        // with, else the most copies, else the first. Group 0's copies
        // elsewhere are its journal's.
        std::map<std::string, std::pair<uint64_t, const Group*>> best;
        std::vector<uint8_t> desc(64);
        for (const auto& [key, g] : groups_) {
            const auto& [start, uuid] = key;
            if (uuid == currentUuid_ || start % 512) continue;  // the current one; no volume starts there
            // A copy of group 0 (the place only it gives): the first group
            // descriptor must follow it, its bitmaps and inode table inside
            // the file system (a journal's copy is followed by other blocks).
            if (!g.backups) {
                uint64_t at = 0;
                if (mulOverflows(g.sb.firstDataBlock + 1ull, g.sb.blockSize, &at) || start + at + 64 > total) continue;
                volume.read(start + at, desc.data(), desc.size());
                const uint32_t bb = le32(desc.data(), 64, 0), ib = le32(desc.data(), 64, 4), it = le32(desc.data(), 64, 8);
                if (!bb || !ib || !it || bb == ib || ib == it || bb >= g.sb.blocksCount || ib >= g.sb.blocksCount ||
                    it >= g.sb.blocksCount)
                    continue;
            }
            auto it = best.find(uuid);
            if (it == best.end() || g.backups > it->second.second->backups ||
                (g.backups == it->second.second->backups && g.copies > it->second.second->copies))
                best[uuid] = {start, &g};
        }
        for (const auto& [uuid, chosen] : best) {
            const uint64_t start = chosen.first;
            const Group& g = *chosen.second;
            // The copies the groups lying inside the searched volume hold.
            uint32_t expected = 0;
            for (uint64_t grp = 0; grp < g.sb.groupCount && grp < 1000000; ++grp) {
                if (!ext::groupHasSuper(g.sb, grp)) continue;
                uint64_t at = 0;
                if (mulOverflows(grp * g.sb.blocksPerGroup + g.sb.firstDataBlock, g.sb.blockSize, &at)) break;
                if (grp == 0) at = 1024;
                if (start + at + 1024 > total) break;
                ++expected;
            }
            FileSystemCandidate c;
            c.fileSystem = "extX";
            c.volumeStart = start;
            c.mode = ScanMode::Standard;
            c.clusterBytes = g.sb.blockSize;
            c.where = "superblock copies, the file system starting at byte " + std::to_string(start);
            c.found = std::max(expected, g.copies);
            c.agreeing = g.copies;
            c.agreeText = "superblock copies its groups should hold are there";
            out.push_back(std::move(c));
        }
        return out;
    }

private:
    struct Group {
        ext::Superblock sb;
        uint32_t copies = 0;
        uint32_t backups = 0;  // copies of later groups (only they sit where their group puts them)
    };
    std::map<std::pair<uint64_t, std::string>, Group> groups_;
    std::string currentUuid_;
};

}  // namespace

std::unique_ptr<CandidateMatcher> makeExtCandidateMatcher() { return std::make_unique<ExtMatcher>(); }

}  // namespace brantlow
