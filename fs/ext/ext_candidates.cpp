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
            if (pos == 1024 && sb->blockGroupNr == 0) currentUuid_ = key;
            if (groups_.size() > 64) groups_.erase(std::prev(groups_.end()));
        }
    }

    std::vector<FileSystemCandidate> finish(const VolumeView& volume) override {
        std::vector<FileSystemCandidate> out;
        const uint64_t total = volume.sizeBytes();
        for (const auto& [key, g] : groups_) {
            const auto& [start, uuid] = key;
            // The current file system and copies of its superblock (its
            // journal keeps some), and places no volume starts at.
            if (uuid == currentUuid_ || start % 512) continue;
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
    };
    std::map<std::pair<uint64_t, std::string>, Group> groups_;
    std::string currentUuid_;
};

}  // namespace

std::unique_ptr<CandidateMatcher> makeExtCandidateMatcher() { return std::make_unique<ExtMatcher>(); }

}  // namespace brantlow
