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

}  // namespace

FileSystemRow btrfsRow() {
    FileSystemRow row;
    row.probe.family = "btrfs";
    row.probe.probe = probeBtrfs;
    row.probe.copyAt = btrfsCopyAt;
    row.probe.scanCheck = btrfsScanCheck;
    row.probe.probeVolume = probeBtrfsVolume;
    row.probe.kinds = {{"Btrfs", "found Btrfs...", "", false, false, false, 0}};
    row.probe.claimMbrSlot = claimSlot;
    ParserRow p;
    p.listName = "Btrfs";
    p.names = {"btrfs"};
    p.make = [] { return std::make_unique<BtrfsParser>(); };
    p.modes = {ScanMode::Standard};
    p.treatAs = "Btrfs";
    p.treatAsGives = "Btrfs";
    p.treatAsOrder = 7;
    p.mountTypes = {"btrfs"};
    p.quickSaveTells = true;
    row.parsers.push_back(std::move(p));
    return row;
}

}  // namespace brantlow
