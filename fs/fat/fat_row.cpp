// FAT in the file-system table: recognition (FAT12/16/32 by cluster count),
// the FAT16 and FAT32 parsers, their modes, their Advanced-mode search (FAT
// candidates) and their texts. FAT12 is read in Standard mode (as FAT16,
// with 12-bit entries); it has no Advanced-mode search.
#include "fs/fat/fat_row.h"

#include "fs/fat/fat_candidates.h"
#include "fs/fat/fat_parser.h"
#include "fs/fat/fat_probe.h"

namespace brantlow {

namespace {

using namespace advanced;

bool isFatName(const std::string& n) { return n == "FAT12" || n == "FAT16" || n == "FAT32"; }

// FAT type bytes; the boot sector's own cluster count names the kind when
// it is a FAT boot sector at all.
bool claimSlot(uint8_t type, bool logical, const std::string& probed, MbrSlotName& out) {
    (void)logical;
    const char* fallback = nullptr;
    switch (type) {
        case 0x01: fallback = "FAT12"; break;
        case 0x04: case 0x06: case 0x0E: fallback = "FAT16"; break;
        case 0x0B: case 0x0C: fallback = "FAT32"; break;
        default: return false;
    }
    out.name = isFatName(probed) ? probed : fallback;
    out.status = out.name == "FAT16" ? "found FAT 16..." : out.name == "FAT32" ? "found FAT 32..." : "";
    out.counted = false;
    return true;
}

AdvancedSearch searchFat(const VolumeView& volume, FatKind kind, int maxCandidates, ProgressSink* progress,
                         const std::atomic<bool>* stop, PauseGate* gate) {
    AdvancedSearch out;
    out.offered = true;
    const bool fat32 = kind == FatKind::Fat32;
    // The boot sector's own cluster size heads the list when it is sound
    // (an even value, as the page has always offered it).
    int bootShift = -1;
    uint8_t bs[512] = {};
    volume.read(0, bs, sizeof bs);
    FatLayout boot = readFatLayout(bs, sizeof bs);
    if (boot.kind == kind && boot.bytesPerSector == 512 && boot.sectorsPerCluster >= 2)
        bootShift = log2Exact(boot.sectorsPerCluster);
    if (progress) progress->status(fat32 ? "Finding Fat32 entries...." : "Finding Fat entries....");
    std::vector<uint64_t> fats = findFatCandidates(volume, kind, maxCandidates, progress, stop, gate);
    // Without a sound boot sector, the cluster size the folders agree with.
    int guessed = -1;
    if (boot.kind != kind && !fats.empty() && !(stop && stop->load())) {
        FatLayout g = guessFatLayout(volume, kind, fats[0], fats, -1, progress, stop, gate);
        if (g.valid()) guessed = log2Exact(g.sectorsPerCluster);
    }
    for (size_t i = 0; i < fats.size(); ++i)
        out.candidates.push_back({numbered(fat32 ? "FAT32_ENTRY:%d" : "FAT_ENTRY:%d", i),
                                  static_cast<int64_t>(fats[i]), i == 0 ? "first FAT" : "FAT copy",
                                  bootShift >= 0 ? bootShift : guessed});
    const int first = bootShift >= 0 ? bootShift : guessed;
    if (fat32)
        addClusterChoices(out, first, {2, 4, 16, 32, 64, 8, 1, 128});
    else
        addClusterChoices(out, first, {4, 8, 16, 2, 32, 64, 128, 1});
    out.listLabel = fat32 ? "TFS [Total File system entries]:" : "Total fat16 Entries Found:";
    const std::string n = std::to_string(fats.size());
    if (fat32 && fats.empty())
        out.closingMessage = "NO FAT  FAT32-ENTRY found ..";
    else
        out.closingMessage = std::string(fat32 ? "Number of FAT32-ENTRY found = " : "Number of FAT-ENTRY found = ") +
                             n + " . Please select the choice from combo box and click Next button to proceed.";
    out.doneStatus = "Parsing done.Click Next to continue.";
    return out;
}

AdvancedSearch searchFat32(const VolumeView& v, int max, ProgressSink* p, const std::atomic<bool>* s, PauseGate* g) {
    return searchFat(v, FatKind::Fat32, max, p, s, g);
}
AdvancedSearch searchFat16(const VolumeView& v, int max, ProgressSink* p, const std::atomic<bool>* s, PauseGate* g) {
    return searchFat(v, FatKind::Fat16, max, p, s, g);
}

}  // namespace

FileSystemRow fatRow() {
    FileSystemRow row;
    row.probe = {"fat", probeFat, fatCopyAt, fatConfirm};
    row.probe.kinds = {
        {"FAT12", "found FAT 12...", "found unknown...", false, true, false, 0},
        {"FAT16", "found FAT 16...", "found FAT 16...", false, true, false, 0},
        {"FAT32", "found FAT 32...", "found FAT 32...", false, true, false, 0},
    };
    // A boot sector starts with a jump instruction.
    row.probe.scanMarks = {ScanMark::of(0, "\xEB", 1), ScanMark::of(0, "\xE9", 1)};
    row.probe.claimMbrSlot = claimSlot;
    ParserRow fat32;
    fat32.listName = "FAT32";
    fat32.names = {"fat32"};
    fat32.make = [] { return std::make_unique<Fat32Class>(); };
    fat32.modes = {ScanMode::Standard, ScanMode::Advanced};
    fat32.formattedOption = true;
    fat32.advanced = {searchFat32, "TFS [Total File system entries]:", false};
    fat32.treatAs = "FAT32";
    fat32.treatAsGives = "fat32";
    fat32.treatAsOrder = 2;
    ParserRow fat16 = fat32;
    fat16.listName = "FAT16";
    fat16.names = {"fat16", "fat"};
    fat16.make = [] { return std::make_unique<Fat16Class>(); };
    fat16.advanced = {searchFat16, "Total fat16 Entries Found:", false};
    fat16.treatAs = "FAT16";
    fat16.treatAsGives = "fat16";
    fat16.treatAsOrder = 3;
    fat16.mountTypes = {"vfat", "msdos"};
    fat16.mountName = "FAT";
    ParserRow fat12;
    fat12.listName = "FAT12";
    fat12.names = {"fat12"};
    fat12.make = [] { return std::make_unique<Fat12Class>(); };
    fat12.modes = {ScanMode::Standard};
    row.parsers = {std::move(fat32), std::move(fat16), std::move(fat12)};
    row.candidates = makeFatCandidateMatcher;
    return row;
}

}  // namespace brantlow
