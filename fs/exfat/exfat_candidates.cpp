// exFAT's part of the search for earlier file systems: entry sets anywhere
// on the volume, the up-case table and the FAT and bitmap starts, judged by
// the heap and cluster size under which folders' first clusters hold entry
// sets (the Advanced scan's own geometry guess).
#include <algorithm>
#include <cstring>

#include "base/bytes.h"
#include "fs/api/content_signature.h"
#include "fs/exfat/exfat_candidates.h"
#include "fs/exfat/exfat_entry.h"
#include "fs/exfat/exfat_parser.h"
#include "fs/exfat/exfat_sets.h"
#include "fs/exfat/exfat_volume.h"

namespace brantlow {

namespace {

constexpr size_t kMaxSets = 500000;
constexpr size_t kMaxFiles = 4096;

struct FileSet {
    std::string name;
    uint32_t cluster = 0;
};

class ExfatMatcher : public CandidateMatcher {
public:
    void block(uint64_t offset, const uint8_t* data, size_t len, size_t room) override {
        if (offset == 0 && room >= 512) {
            const Decoded<ExfatLayout> b = decodeExfatBootSector(data, 512, total_);
            if (b) {
                boot_ = *b;
                hasBoot_ = true;
            }
        }
        static const uint8_t kIdentity[16] = {0, 0, 1, 0, 2, 0, 3, 0, 4, 0, 5, 0, 6, 0, 7, 0};
        static const uint8_t kFatStart[8] = {0xF8, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
        static const uint8_t kOnes[8] = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
        for (size_t s = 0; s + 16 <= len; s += 512) {
            const uint8_t* p = data + s;
            if (slots_.upcaseStarts.size() < 64 && std::memcmp(p, kIdentity, 16) == 0)
                slots_.upcaseStarts.push_back(offset + s);
            if (fats_.size() < 4 && std::memcmp(p, kFatStart, 8) == 0) fats_.push_back(offset + s);
            else if (heaps_.size() < 4 && std::memcmp(p, kOnes, 8) == 0) heaps_.push_back(offset + s);
        }
        for (size_t s = 0; s + 32 <= len; s += 32) {
            const uint8_t t = data[s];
            if (t == 0x85 || t == 0x05) {
                if (slots_.positions.size() >= kMaxSets || !plausibleEntrySet(data, room, s)) continue;
                slots_.positions.push_back(offset + s);
                const uint16_t attr = le16(data, room, s + 4);
                if (isExfatDirectory(attr)) {
                    if (slots_.folderClusters.size() < 4096) slots_.folderClusters.push_back(le32(data, room, s + 32 + 20));
                } else if (files_.size() < kMaxFiles) {
                    const Decoded<ParsedSet> set = decodeEntrySet(data, room, s);
                    if (set && set->hasStream && set->entry.firstCluster >= 2 && set->entry.dataLength >= 16 &&
                        namePromisesContent(set->entry.name))
                        files_.push_back({set->entry.name, set->entry.firstCluster});
                }
            } else if (t == 0x82 && !slots_.hasUpcase) {
                const uint8_t* p = data + s;
                bool zero = !p[1] && !p[2] && !p[3];
                for (int i = 8; i < 20 && zero; ++i) zero = !p[i];
                const uint64_t length = le64(p, 32, 24);
                const uint32_t c = le32(p, 32, 20);
                if (zero && c >= 2 && length > 0 && length <= 128 * 1024) {
                    slots_.hasUpcase = true;
                    slots_.upcaseCluster = c;
                    slots_.upcaseLength = length;
                    slots_.upcaseChecksum = le32(p, 32, 4);
                }
            }
        }
    }

    std::vector<FileSystemCandidate> finish(const VolumeView& volume) override {
        std::vector<FileSystemCandidate> out;
        if (slots_.positions.size() < 2) return out;
        std::vector<uint64_t> heaps = heaps_;
        if (hasBoot_) heaps.push_back(boot_.heapOffset);
        const ExfatGeometryGuess g = guessExfatGeometry(volume, slots_, heaps, true);
        if (g.shift < 0) return out;
        const int bootShift = hasBoot_ ? boot_.bytesPerSectorShift + boot_.sectorsPerClusterShift - 9 : -1;
        if (hasBoot_ && g.heap == boot_.heapOffset && g.shift == bootShift) return out;  // the current one
        const uint64_t cs = 512ull << g.shift;
        FileSystemCandidate c;
        c.fileSystem = "FAT64";
        c.mode = ScanMode::Advanced;
        c.variant = hasBoot_;
        c.heap = static_cast<int64_t>(g.heap);
        c.clusterShift = g.shift;
        c.clusterBytes = cs;
        const bool upcase = g.score >= 1000000;
        c.where = "entry sets, cluster heap at byte " + std::to_string(g.heap) +
                  (upcase ? ", up-case table where its entry says" : "");
        c.found = static_cast<uint32_t>(slots_.folderClusters.size());
        c.agreeing = static_cast<uint32_t>(std::min<uint64_t>(g.score % 1000000, c.found));
        c.agreeText = "folders whose first cluster holds entry sets there";
        if (!c.found) {
            c.found = static_cast<uint32_t>(slots_.positions.size());
            c.agreeing = upcase ? c.found : 0;
            c.agreeText = "entry sets, the up-case table agreeing";
        }
        for (const FileSet& f : files_) {
            if (c.samples.size() >= kMaxSamples) break;
            uint64_t at = 0;
            if (mulOverflows(f.cluster - 2ull, cs, &at) || addOverflows(at, g.heap, &at)) continue;
            c.samples.push_back({f.name, at});
        }
        out.push_back(std::move(c));
        return out;
    }

    explicit ExfatMatcher(uint64_t total) : total_(total) {}

private:
    uint64_t total_;
    ExfatLayout boot_;
    bool hasBoot_ = false;
    ExfatSlots slots_;
    std::vector<uint64_t> fats_, heaps_;
    std::vector<FileSet> files_;
};

}  // namespace

std::unique_ptr<CandidateMatcher> makeExfatCandidateMatcher() { return std::make_unique<ExfatMatcher>(~0ull); }

}  // namespace brantlow
