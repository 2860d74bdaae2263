// ext2/3/4 in the file-system table: recognition (the superblock at byte
// 1024), the parser (listed as "extX"), its mode and its texts.
#include "fs/ext/ext_row.h"

#include "fs/ext/ext_candidates.h"
#include "fs/ext/ext_parser.h"
#include "fs/ext/ext_placement.h"
#include "fs/ext/ext_probe.h"

namespace brantlow {

namespace {

// The Linux type byte.
bool claimSlot(uint8_t type, bool logical, const std::string& probed, MbrSlotName& out) {
    (void)probed;
    if (type != 0x83) return false;
    out = {"extX", logical ? "found extx..." : "found ext2...", false};
    return true;
}

}  // namespace

FileSystemRow extRow() {
    FileSystemRow row;
    row.probe = {"ext", probeExt, extCopyAt, nullptr, extGeometryPlausible};
    row.probe.kinds = {{"extX", "found extX...", "", false, false, false, 0}};
    row.probe.scanMarks = {ScanMark::of(1024 + 56, "\x53\xEF", 2)};
    row.probe.claimMbrSlot = claimSlot;
    row.probe.placementCheck = extPlacementCheck;
    ParserRow p;
    p.listName = "extX";
    p.names = {"extx", "ext2", "ext3", "ext4"};
    p.make = [] { return std::make_unique<ext2Class>(); };
    p.modes = {ScanMode::Standard};
    p.treatAs = "EXTX";
    p.treatAsGives = "extX";
    p.treatAsOrder = 0;
    p.mountTypes = {"ext2", "ext3", "ext4"};
    p.quickSaveTells = true;
    row.parsers.push_back(std::move(p));
    row.candidates = makeExtCandidateMatcher;
    return row;
}

}  // namespace brantlow
