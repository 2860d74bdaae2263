// FAT's part of the search for earlier file systems: every folder's first
// cluster opens with a "." slot naming that cluster, so its position votes
// for a cluster size and data start; folders whose geometry is not the
// current boot sector's (or that lie in clusters its FAT calls free) are an
// earlier FAT.
#include <algorithm>
#include <map>
#include <set>
#include <unordered_map>
#include <unordered_set>

#include "base/bytes.h"
#include "fs/api/content_signature.h"
#include "fs/fat/fat_candidates.h"
#include "fs/fat/fat_parser.h"
#include "fs/fat/fat_volume.h"

namespace brantlow {

namespace {

constexpr size_t kMaxDots = 200000;
constexpr size_t kMaxFiles = 4096;
constexpr size_t kMaxVoters = 20000;
constexpr size_t kMaxNamed = 200000;
constexpr uint32_t kMaxFolderReads = 4096;  // clusters read after the pass to see which folders name which

struct Dot {
    uint64_t pos = 0;
    uint32_t self = 0, parent = 0;
};

struct FileSlot {
    size_t dot = 0;        // the folder it was found in
    std::string name;      // "X.EXT": what its content is checked against
    uint32_t cluster = 0;
};

class FatMatcher : public CandidateMatcher {
public:
    void block(uint64_t offset, const uint8_t* data, size_t len, size_t room) override {
        if (offset == 0 && room >= 512) boot_ = readFatLayout(data, 512);
        for (size_t s = 0; s < len && s + 512 <= room; s += 512) {
            uint32_t self = 0, parent = 0;
            if (!fatDirectoryStart(data + s, room - s, true, &self, &parent)) continue;
            if (dots_.size() >= kMaxDots) continue;
            dots_.push_back({offset + s, self, parent});
            // The folders its first cluster names (at the current cluster
            // size; one sector without a boot sector).
            const size_t clusterBytes = boot_.valid() ? boot_.clusterSize : 512;
            noteNamed(data + s + 64, std::min(clusterBytes, room - s) - 64, self);
            // Files of the folder's first sector, for the content check.
            for (size_t o = 64; o + 32 <= 512 && files_.size() < kMaxFiles; o += 32) {
                const uint8_t* e = data + s + o;
                if (e[0] == 0) break;
                const uint8_t attr = e[11];
                if (attr == 0x0F || (attr & 0x18)) continue;
                const uint32_t c = (static_cast<uint32_t>(le16(e, 32, 20)) << 16 | le16(e, 32, 26)) & 0x0FFFFFFF;
                if (c < 2 || le32(e, 32, 28) < 16) continue;
                std::string ext;
                for (int i = 8; i < 11 && e[i] != ' '; ++i) ext += static_cast<char>(e[i]);
                if (ext.empty()) continue;
                std::string name = "X." + ext;
                if (!namePromisesContent(name)) continue;
                files_.push_back({dots_.size() - 1, std::move(name), c});
            }
        }
    }

    std::vector<FileSystemCandidate> finish(const VolumeView& volume) override {
        std::vector<FileSystemCandidate> out;
        const uint64_t total = volume.sizeBytes();
        if (dots_.size() < 2) return out;
        int currentShift = -1;
        if (boot_.valid())
            for (int e = 0; e < 8; ++e)
                if ((512u << e) == boot_.clusterSize) currentShift = e;
        // Votes: (exponent, data start) -> the folders agreeing (the first
        // kMaxVoters folders vote: the map stays small).
        std::map<std::pair<int, uint64_t>, std::vector<size_t>> votes;
        const size_t voters = std::min(dots_.size(), kMaxVoters);
        for (int e = 0; e < 8; ++e) {
            const uint64_t cs = 512ull << e;
            for (size_t i = 0; i < voters; ++i) {
                const uint64_t back = static_cast<uint64_t>(dots_[i].self - 2) * cs;
                if (back > dots_[i].pos) continue;
                votes[{e, dots_[i].pos - back}].push_back(i);
            }
        }
        std::vector<std::pair<std::pair<int, uint64_t>, const std::vector<size_t>*>> keys;
        for (const auto& [k, v] : votes)
            if (v.size() >= 2) keys.push_back({k, &v});
        std::sort(keys.begin(), keys.end(), [](const auto& a, const auto& b) { return a.second->size() > b.second->size(); });
        FatTable fat;
        if (boot_.valid()) fat.init(&volume, boot_);
        size_t offered = 0;
        for (const auto& [key, members] : keys) {
            if (offered >= 3) break;
            const auto [e, data] = key;
            const uint64_t cs = 512ull << e;
            const bool current = boot_.valid() && e == currentShift && data == boot_.dataOffset;
            std::vector<size_t> chosen;
            if (current) {
                // The current geometry: only folders in clusters its FAT
                // calls free belong to an earlier file system.
                size_t asked = 0;
                for (size_t i : *members) {
                    if (++asked > 4096) break;
                    if (boot_.clusterValid(dots_[i].self) && fat.entry(dots_[i].self) == 0) chosen.push_back(i);
                }
                if (chosen.empty()) continue;
                // Unless most of them are the current file system's deleted
                // folders: named by a slot of its root or of a folder it
                // uses, or of such a deleted folder (Standard mode lists them).
                readCurrentFolders(volume, fat);
                size_t reached = 0;
                for (size_t i : chosen) reached += reachedFromCurrent(dots_[i].self, fat) ? 1 : 0;
                if (reached * 2 >= chosen.size()) continue;
            } else {
                chosen = *members;
            }
            std::set<uint32_t> clusters;
            for (size_t i : chosen) clusters.insert(dots_[i].self);
            FileSystemCandidate c;
            const uint64_t count = total > data ? (total - data) / cs : 0;
            c.fileSystem = boot_.valid() && boot_.kind == FatKind::Fat32 ? "FAT32"
                           : count < 4085                                ? "FAT12"
                           : count < 65525 && boot_.valid()              ? "FAT16"
                                                                         : "FAT32";
            c.mode = ScanMode::Advanced;
            c.variant = boot_.valid();
            c.clusterShift = current ? -1 : e;
            c.clusterBytes = cs;
            c.where = std::string(current ? "folders in free clusters, the current geometry" : "folders") +
                      ", data start at byte " + std::to_string(data);
            // Found: the folders the current geometry does not explain.
            uint32_t unexplained = 0;
            for (const Dot& d : dots_) {
                const bool own = boot_.valid() && d.pos >= boot_.dataOffset &&
                                 d.pos == boot_.dataOffset + static_cast<uint64_t>(d.self - 2) * boot_.clusterSize;
                if (!own || current) ++unexplained;
            }
            c.found = std::max<uint32_t>(unexplained, static_cast<uint32_t>(chosen.size()));
            c.agreeing = static_cast<uint32_t>(chosen.size());
            c.agreeText = "folders whose \".\" slot agrees with the geometry";
            for (size_t i : chosen) {
                ++c.folders;
                const uint32_t p = dots_[i].parent;
                if (p == 0 || clusters.count(p) || (boot_.valid() && p == boot_.rootCluster)) ++c.linked;
            }
            std::set<size_t> in(chosen.begin(), chosen.end());
            for (const FileSlot& f : files_) {
                if (c.samples.size() >= kMaxSamples) break;
                if (!in.count(f.dot)) continue;
                c.samples.push_back({f.name, data + static_cast<uint64_t>(f.cluster - 2) * cs});
            }
            out.push_back(std::move(c));
            ++offered;
        }
        return out;
    }

private:
    // Directory slots that name folders ("." and ".." aside; deleted ones
    // too), by the folder named: the first clusters of the folders naming
    // it (0: the root).
    void noteNamed(const uint8_t* p, size_t n, uint32_t in) {
        for (size_t o = 0; o + 32 <= n && namedCount_ < kMaxNamed; o += 32) {
            const uint8_t* e = p + o;
            if (e[0] == 0) break;
            const uint8_t attr = e[11];
            if (attr == 0x0F || !(attr & 0x10) || (attr & 0x08) || e[0] == '.') continue;
            const uint32_t c = (static_cast<uint32_t>(le16(e, 32, 20)) << 16 | le16(e, 32, 26)) & 0x0FFFFFFF;
            if (c < 2 || c == in) continue;
            named_[c].push_back(in);
            ++namedCount_;
        }
    }

    // The root (its fixed region, or its cluster chain) and the clusters
    // after the first of the folders the current FAT uses: what they name.
    // Bounded reads, once.
    void readCurrentFolders(const VolumeView& volume, FatTable& fat) {
        if (readCurrent_) return;
        readCurrent_ = true;
        std::vector<uint8_t> buf;
        uint32_t reads = 0;
        if (boot_.fixedRoot()) {
            buf.resize(static_cast<size_t>(std::min<uint64_t>(boot_.rootBytes, 1 << 20)));
            volume.read(boot_.rootOffset, buf.data(), buf.size());
            noteNamed(buf.data(), buf.size(), 0);
        }
        buf.resize(boot_.clusterSize);
        auto chain = [&](uint32_t first, uint32_t in, bool withFirst) {
            std::unordered_set<uint32_t> seen;
            for (uint32_t c = withFirst ? first : fat.next(first); boot_.clusterValid(c) && reads < kMaxFolderReads;
                 c = fat.next(c)) {
                if (!seen.insert(c).second) break;
                ++reads;
                volume.read(boot_.clusterOffset(c), buf.data(), buf.size());
                noteNamed(buf.data(), buf.size(), in);
            }
        };
        if (!boot_.fixedRoot() && boot_.clusterValid(boot_.rootCluster)) chain(boot_.rootCluster, 0, true);
        for (const Dot& d : dots_) {
            if (reads >= kMaxFolderReads) break;
            if (boot_.clusterValid(d.self) && d.pos == boot_.clusterOffset(d.self) && fat.entry(d.self) != 0)
                chain(d.self, d.self, false);
        }
    }

    // Whether a slot of the root, of a folder the current FAT uses, or of a
    // folder so named names this folder.
    bool reachedFromCurrent(uint32_t folder, FatTable& fat) const {
        std::unordered_set<uint32_t> seen{folder};
        std::vector<uint32_t> todo{folder};
        for (size_t steps = 0; !todo.empty() && steps < 10000; ++steps) {
            const uint32_t f = todo.back();
            todo.pop_back();
            auto it = named_.find(f);
            if (it == named_.end()) continue;
            for (uint32_t in : it->second) {
                if (in == 0 || (boot_.clusterValid(in) && fat.entry(in) != 0)) return true;
                if (seen.insert(in).second) todo.push_back(in);
            }
        }
        return false;
    }

    FatLayout boot_;
    std::unordered_map<uint32_t, std::vector<uint32_t>> named_;
    size_t namedCount_ = 0;
    bool readCurrent_ = false;
    std::vector<Dot> dots_;
    std::vector<FileSlot> files_;
};

}  // namespace

std::unique_ptr<CandidateMatcher> makeFatCandidateMatcher() { return std::make_unique<FatMatcher>(); }

}  // namespace brantlow
