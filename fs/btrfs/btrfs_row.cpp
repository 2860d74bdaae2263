// Btrfs in the file-system table: recognition (the superblock 64 KiB in,
// read by the volume walks themselves; for the sector scan any of its
// three copies, which record their own place), the parser, its modes and
// texts.
#include "fs/btrfs/btrfs_row.h"

#include "fs/btrfs/btrfs_parser.h"
#include "fs/btrfs/btrfs_probe.h"

namespace brantlow {

namespace {

// Linux partitions (0x83) whose superblock is a Btrfs one.
bool claimSlot(uint8_t type, bool logical, const std::string& probed, MbrSlotName& out) {
    (void)logical;
    if (type != 0x83 || probed != "Btrfs") return false;
    out = {"Btrfs", "found Btrfs...", false};
    return true;
}

AdvancedSearch searchSuperblocks(const VolumeView& volume, int maxCandidates, ProgressSink* progress,
                                 const std::atomic<bool>* stop, PauseGate* gate) {
    (void)maxCandidates;
    (void)progress;
    (void)stop;
    (void)gate;
    using advanced::numbered;
    AdvancedSearch out;
    out.offered = true;
    const auto found = BtrfsParser::findSuperblocks(volume);
    size_t best = found.size();
    for (size_t i = 0; i < found.size(); ++i) {
        const auto& [at, sb] = found[i];
        AdvancedCandidate c;
        c.label = numbered("SUPERBLOCK:%d", i);
        c.position = static_cast<int64_t>(at);
        c.note = at == btrfs::kSuperOffset ? "primary superblock" : "copy at " + std::to_string(at >> 20) + " MiB";
        c.note += ", generation " + std::to_string(sb.generation);
        if (!sb.checksumOk) c.note += ", checksum mismatch";
        if (best == found.size() && sb.checksumOk) best = i;
        out.candidates.push_back(std::move(c));
    }
    out.best = best < found.size() ? best : 0;
    out.listLabel = "Btrfs superblocks found:";
    out.closingMessage = "Number of SUPERBLOCK found = " + std::to_string(found.size()) +
                         " . Please select the choice from combo box and click Next button to proceed.";
    out.doneStatus = "Parsing done.Click next to continue.";
    return out;
}

}  // namespace

FileSystemRow btrfsRow() {
    FileSystemRow row;
    row.probe.family = "btrfs";
    row.probe.probe = probeBtrfs;
    row.probe.copyAt = btrfsCopyAt;
    row.probe.scanCheck = btrfsScanCheck;
    row.probe.probeVolume = probeBtrfsVolume;
    row.probe.kinds = {{"Btrfs", "found Btrfs...", "", false, false, false, 0}};
    row.probe.scanMarks = {ScanMark::of(0x40, "_BHRfS_M", 8)};
    row.probe.claimMbrSlot = claimSlot;
    ParserRow p;
    p.listName = "Btrfs";
    p.names = {"btrfs"};
    p.make = [] { return std::make_unique<BtrfsParser>(); };
    p.modes = {ScanMode::Standard, ScanMode::Advanced};
    p.advanced = {searchSuperblocks, "Btrfs superblocks found:", false};
    p.treatAs = "Btrfs";
    p.treatAsGives = "Btrfs";
    p.treatAsOrder = 7;
    // No mount type: a mounted volume whose device cannot be probed keeps
    // the kernel's name "btrfs", which selects this parser all the same.
    p.quickSaveTells = true;
    row.parsers.push_back(std::move(p));
    return row;
}

}  // namespace brantlow
