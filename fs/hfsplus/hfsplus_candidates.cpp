// HFS+'s part of the search for earlier file systems: volume headers (the
// one 1024 bytes into the volume and the alternate 1024 bytes before its
// end) and the catalog B-tree's header node where the header puts it.
#include <map>

#include "base/bytes.h"
#include "fs/hfsplus/hfsplus_candidates.h"
#include "fs/hfsplus/hfsplus_format.h"

namespace brantlow {

namespace {

class HfsPlusMatcher : public CandidateMatcher {
public:
    void block(uint64_t offset, const uint8_t* data, size_t len, size_t room) override {
        for (size_t s = 0; s < len && s + 512 <= room; s += 512) {
            const uint8_t* p = data + s;
            const unsigned version = static_cast<unsigned>(p[2]) << 8 | p[3];  // big-endian
            if (!(p[0] == 'H' && (p[1] == '+' || p[1] == 'X')) || version < 4 || version > 5) continue;
            const Decoded<hfs::VolumeHeader> h = hfs::decodeVolumeHeader(p, 512);
            if (!h || !h->hasSignature()) continue;
            const uint64_t pos = offset + s;
            uint64_t size = 0;
            if (mulOverflows(h->totalBlocks, h->blockSize, &size) || size < 2048) continue;
            // As the first header, and as the alternate one.
            if (pos >= 1024) note(pos - 1024, *h, pos == 1024, true);
            if (pos + 1024 >= size) note(pos + 1024 - size, *h, false, false);
            if (starts_.size() > 64) starts_.erase(std::prev(starts_.end()));
        }
    }

    std::vector<FileSystemCandidate> finish(const VolumeView& volume) override {
        std::vector<FileSystemCandidate> out;
        const uint64_t total = volume.sizeBytes();
        std::vector<uint8_t> node(512);
        for (const auto& [start, s] : starts_) {
            if (s.current || start % 512) continue;
            uint64_t size = 0;
            mulOverflows(s.h.totalBlocks, s.h.blockSize, &size);
            // Its alternate header would lie past the searched volume (and
            // the sector after it): not a volume that began there.
            if (start + size > total + 512 * 2) continue;
            // Both headers of the volume, where they lie inside the searched
            // one, and the catalog's header node.
            FileSystemCandidate c;
            c.fileSystem = "HFS+";
            c.volumeStart = start;
            c.mode = ScanMode::Standard;
            c.clusterBytes = s.h.blockSize;
            c.where = "volume headers, the file system starting at byte " + std::to_string(start);
            c.found = 2;
            c.agreeing = std::min<uint32_t>(s.seen, c.found);
            if (!s.first) c.where += " (the first header is overwritten)";
            // The alternate header marks its end.
            if (s.alternate) c.volumeBytes = size;
            c.agreeText = "volume headers";
            uint64_t at = 0;
            if (!mulOverflows(s.h.catalogFile.extents[0].startBlock, s.h.blockSize, &at) && start + at < total) {
                ++c.found;
                volume.read(start + at, node.data(), node.size());
                const Decoded<hfs::NodeDescriptor> d = hfs::decodeNodeDescriptor(node.data(), node.size());
                if (d && d->kind == hfs::kHeaderNode) ++c.agreeing;
                c.agreeText = "volume headers and the catalog's header node";
                // Without it the catalog is searched for its leaf nodes.
                if (!d || d->kind != hfs::kHeaderNode) {
                    c.mode = ScanMode::Deep;
                    c.where += ", the catalog's header node overwritten: its leaf nodes searched";
                }
            }
            out.push_back(std::move(c));
        }
        return out;
    }

private:
    struct Start {
        hfs::VolumeHeader h;
        uint32_t seen = 0;
        bool current = false;
        bool first = false;      // the header 1024 bytes in was seen
        bool alternate = false;  // the header 1024 bytes before its end was seen
    };
    void note(uint64_t start, const hfs::VolumeHeader& h, bool current, bool first) {
        Start& s = starts_[start];
        if (!s.seen++) s.h = h;
        s.current = s.current || current;
        s.first = s.first || first;
        s.alternate = s.alternate || (!current && !first);
    }
    std::map<uint64_t, Start> starts_;
};

}  // namespace

std::unique_ptr<CandidateMatcher> makeHfsPlusCandidateMatcher() { return std::make_unique<HfsPlusMatcher>(); }

}  // namespace brantlow
