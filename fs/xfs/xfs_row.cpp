// XFS in the file-system table: recognition (the superblock at sector 0,
// its copies at the start of each AG for the sector scan), the parser, its
// modes, the Advanced-mode search (superblock copies to take the geometry
// from; the scan then finds inode chunks by their magic) and its texts.
#include "fs/xfs/xfs_row.h"

#include "fs/xfs/xfs_parser.h"
#include "fs/xfs/xfs_probe.h"

namespace brantlow {

namespace {

using namespace advanced;

// Linux partitions (0x83) whose first bytes are an XFS superblock.
bool claimSlot(uint8_t type, bool logical, const std::string& probed, MbrSlotName& out) {
    (void)logical;
    if (type != 0x83 || probed != "XFS") return false;
    out = {"XFS", "found XFS...", false};
    return true;
}

AdvancedSearch searchSuperblocks(const VolumeView& volume, int maxCandidates, ProgressSink* progress,
                                 const std::atomic<bool>* stop, PauseGate* gate) {
    (void)gate;
    AdvancedSearch out;
    out.offered = true;
    const size_t max = static_cast<size_t>(maxCandidates < 1 ? 3 : maxCandidates);
    const auto found = XfsParser::findSuperblocks(volume, max, stop, progress);
    for (size_t i = 0; i < found.size(); ++i) {
        const auto& [at, sb] = found[i];
        AdvancedCandidate c;
        c.label = numbered("SUPERBLOCK:%d", i);
        c.position = static_cast<int64_t>(at);
        c.note = at == 0 ? "primary superblock" : "copy of AG " + std::to_string(at / sb.blockSize / sb.agBlocks);
        c.note += ", blocks of " + std::to_string(sb.blockSize) + " bytes";
        out.candidates.push_back(std::move(c));
    }
    out.best = 0;
    out.listLabel = "XFS superblocks found:";
    out.closingMessage = "Number of SUPERBLOCK found = " + std::to_string(found.size()) +
                         " . Please select the choice from combo box and click Next button to proceed.";
    out.doneStatus = "Parsing done.Click next to continue.";
    return out;
}

}  // namespace

FileSystemRow xfsRow() {
    FileSystemRow row;
    row.probe.family = "xfs";
    row.probe.probe = probeXfs;
    row.probe.copyAt = xfsCopyAt;
    row.probe.scanCheck = xfsGeometryPlausible;
    row.probe.kinds = {{"XFS", "found XFS...", "", false, false, false, 0}};
    row.probe.scanMarks = {ScanMark::of(0, "XFSB", 4)};
    row.probe.claimMbrSlot = claimSlot;
    ParserRow p;
    p.listName = "XFS";
    p.names = {"xfs"};
    p.make = [] { return std::make_unique<XfsParser>(); };
    p.modes = {ScanMode::Standard, ScanMode::Advanced};
    p.advanced = {searchSuperblocks, "XFS superblocks found:", false};
    p.treatAs = "XFS";
    p.treatAsGives = "XFS";
    p.treatAsOrder = 6;
    p.mountTypes = {"xfs"};
    p.quickSaveTells = true;
    row.parsers.push_back(std::move(p));
    return row;
}

}  // namespace brantlow
