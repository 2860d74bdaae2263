#include "fs/btrfs/btrfs_probe.h"

#include <vector>

#include "fs/btrfs/btrfs_format.h"

namespace brantlow {

namespace {

// A superblock copy that sits where it says it sits (one of the three
// places) and whose checksum holds.
bool soundCopy(const btrfs::Superblock& sb, uint64_t at) {
    if (!sb.checksumOk || sb.bytenr != at) return false;
    return at == btrfs::kSuperOffset || at == btrfs::kMirrorOffsets[0] || at == btrfs::kMirrorOffsets[1];
}

void fill(const btrfs::Superblock& sb, ProbeResult& out) {
    out.fileSystem = "Btrfs";
    out.sizeSectors = sb.totalBytes / 512;
    out.identity.assign(reinterpret_cast<const char*>(sb.fsid), 16);
}

}  // namespace

bool probeBtrfs(const uint8_t* head, size_t len, ProbeResult& out) {
    auto sb = btrfs::decodeSuperblock(head, len);
    if (!sb || !soundCopy(*sb, sb->bytenr)) return false;
    fill(*sb, out);
    return true;
}

bool btrfsCopyAt(const uint8_t* head, size_t len, CopyResult& out) {
    auto sb = btrfs::decodeSuperblock(head, len);
    if (!sb || !soundCopy(*sb, sb->bytenr)) return false;
    out.sectorsIn = sb->bytenr / 512;
    out.certain = true;
    return true;
}

bool btrfsScanCheck(const uint8_t* head, size_t len) {
    auto sb = btrfs::decodeSuperblock(head, len);
    return sb && soundCopy(*sb, sb->bytenr);
}

bool probeBtrfsVolume(readWriteInterface& reader, uint64_t startByte, uint64_t sizeBytes, ProbeResult& out) {
    std::vector<uint8_t> buf(btrfs::kSuperSize);
    const uint64_t places[3] = {btrfs::kSuperOffset, btrfs::kMirrorOffsets[0], btrfs::kMirrorOffsets[1]};
    for (uint64_t at : places) {
        if (sizeBytes && at + btrfs::kSuperSize > sizeBytes) break;
        if (readZeroFill(reader, startByte + at, buf.data(), buf.size()) != buf.size()) break;
        auto sb = btrfs::decodeSuperblock(buf.data(), buf.size());
        if (sb && soundCopy(*sb, at)) {
            fill(*sb, out);
            out.fromCopy = at != btrfs::kSuperOffset;
            return true;
        }
    }
    return false;
}

}  // namespace brantlow
