// exFAT in the file-system table: recognition, the parser (listed as
// "FAT64"), its modes, its Advanced-mode search (FAT and heap candidates)
// and its texts.
#include "fs/exfat/exfat_row.h"

#include "fs/exfat/exfat_candidates.h"
#include "fs/exfat/exfat_parser.h"
#include "fs/exfat/exfat_probe.h"

namespace brantlow {

namespace {

using namespace advanced;

// Type 0x07 is shared with NTFS: the slot is exFAT's when its boot sector says so.
bool claimSlot(uint8_t type, bool logical, const std::string& probed, MbrSlotName& out) {
    (void)logical;
    if (type != 0x07 || probed != "FAT64") return false;
    out = {"FAT64", "found FAT64...", false};
    return true;
}

AdvancedSearch searchExfat(const VolumeView& volume, int maxCandidates, ProgressSink* progress,
                           const std::atomic<bool>* stop, PauseGate* gate) {
    AdvancedSearch out;
    out.offered = true;
    if (progress) progress->status("Finding Fat64 entries....");
    ExfatCandidates c = findExfatCandidates(volume, maxCandidates, progress, stop, gate);
    const int bootShift = applyExfatBootSector(volume, c);
    for (size_t i = 0; i < c.fats.size(); ++i)
        out.candidates.push_back({numbered("FAT64_ENTRY:%d", i), static_cast<int64_t>(c.fats[i]), "FAT start", -1});
    for (size_t i = 0; i < c.heaps.size(); ++i)
        out.heaps.push_back({numbered("HEAP_OFFSET_ENTRY:%d", i), static_cast<int64_t>(c.heaps[i]),
                             i == 0 && bootShift >= 0 ? "from the boot sector" : "bitmap start", -1});
    for (int e : exfatClusterShiftChoices(bootShift)) {
        out.clusterShifts.push_back(e);
        out.clusterTexts.push_back(std::to_string(e));
    }
    out.listLabel = "Total fat64 Entries Found:";
    out.closingMessage = "Number of FAT64-ENTRY found = " + std::to_string(c.fats.size()) +
                         " and Number of HeapOffset-ENTRY found =  " + std::to_string(c.heaps.size()) +
                         "  . Please select the choice from ( Entry and Heap ) Combobox and click Next button to proceed.";
    out.doneStatus = "Parsing done.Click Next to continue.";
    return out;
}

}  // namespace

FileSystemRow exfatRow() {
    FileSystemRow row;
    row.probe = {"exfat", probeExfat, exfatCopyAt, exfatConfirm};
    row.probe.kinds = {{"FAT64", "found FAT 64...", "found FAT 64...", false, true, false, 0}};
    row.probe.scanMarks = {ScanMark::of(3, "EXFA", 4)};
    row.probe.claimMbrSlot = claimSlot;
    ParserRow p;
    p.listName = "FAT64";
    p.names = {"fat64", "exfat"};
    p.make = [] { return std::make_unique<Fat64Class>(); };
    p.modes = {ScanMode::Standard, ScanMode::Advanced};
    p.formattedOption = true;
    p.advanced = {searchExfat, "Total fat64 Entries Found:", true};
    p.treatAs = "FAT64";
    p.treatAsGives = "fat64";
    p.treatAsOrder = 1;
    p.mountTypes = {"exfat"};
    p.mountName = "exFAT";
    p.quickSaveTells = true;
    row.parsers.push_back(std::move(p));
    row.candidates = makeExfatCandidateMatcher;
    return row;
}

}  // namespace brantlow
