#include "fs/advanced_search.h"

#include <cstdio>

#include "base/texts.h"
#include "fs/exfat/exfat_parser.h"
#include "fs/fat/fat_parser.h"
#include "fs/ntfs/ntfs.h"

namespace brantlow {

namespace {

std::string numbered(const char* fmt, size_t i) {
    char b[64];
    std::snprintf(b, sizeof b, fmt, static_cast<int>(i));
    return b;
}

int log2Exact(uint64_t v) {
    if (v == 0 || (v & (v - 1))) return -1;
    int e = 0;
    while ((1ull << e) < v) ++e;
    return e;
}

// Passes the caller's stop flag on to a parser's own flag at every progress
// step (the searches report progress once per chunk).
class StopRelay : public ProgressSink {
public:
    StopRelay(ProgressSink* inner, const std::atomic<bool>* from, std::atomic<bool>* to) : inner_(inner), from_(from), to_(to) {}
    void range(int64_t hi) override { if (inner_) inner_->range(hi); }
    void position(int64_t p) override {
        if (from_ && from_->load(std::memory_order_relaxed)) to_->store(true, std::memory_order_relaxed);
        if (inner_) inner_->position(p);
    }
    void status(const std::string& s) override { if (inner_) inner_->status(s); }

private:
    ProgressSink* inner_;
    const std::atomic<bool>* from_;
    std::atomic<bool>* to_;
};

// Sectors-per-cluster texts: first the value the volume itself suggests (if
// any), then the listed ones, then what the list lacks.
void addClusterChoices(AdvancedSearch& out, int firstShift, std::initializer_list<int> sectors) {
    auto add = [&](int shift) {
        out.clusterShifts.push_back(shift);
        out.clusterTexts.push_back(std::to_string(1 << shift));
    };
    if (firstShift >= 0) add(firstShift);
    for (int s : sectors) add(log2Exact(static_cast<uint64_t>(s)));
}

AdvancedSearch searchNtfs(const VolumeView& volume, int maxCandidates, ProgressSink* progress,
                          const std::atomic<bool>* stop, PauseGate* gate) {
    AdvancedSearch out;
    out.offered = true;
    ntfs parser;
    StopRelay relay(progress, stop, &parser.stopRequested);
    ScanContext ctx;
    ctx.volume = volume;
    ctx.mode = ScanMode::Advanced;
    ctx.progress = &relay;
    ctx.gate = gate;
    parser.prepareAdvanced(ctx);
    const unsigned n = parser.countMftCandidates(maxCandidates < 1 ? 3 : maxCandidates);
    const auto& cands = parser.mftCandidates();
    for (unsigned i = 0; i < n; ++i) {
        AdvancedCandidate c;
        c.label = numbered("MFT_ENTRY:%d", i);
        c.position = static_cast<int64_t>(cands[i].offset);
        c.clusterShift = cands[i].clusterSize ? log2Exact(cands[i].clusterSize / 512) : -1;
        c.note = cands[i].mirror ? "mirror copy of $MFT" : cands[i].complete ? "MFT start" : "$MFT record";
        if (cands[i].clusterSize) c.note += ", clusters of " + std::to_string(cands[i].clusterSize) + " bytes";
        out.candidates.push_back(std::move(c));
    }
    out.best = parser.bestMftCandidate();
    int first = -1;
    if (out.best < out.candidates.size()) first = out.candidates[out.best].clusterShift;
    if (first < 0 && volume.reader()) {
        uint8_t bs[512] = {};
        volume.read(0, bs, sizeof bs);
        NtfsGeometry g = decodeBootSector(bs, sizeof bs);
        if (g.intact) first = log2Exact(g.clusterSize / 512);
    }
    addClusterChoices(out, first, {8, 4, 2, 16, 32, 64, 1, 128});
    out.listLabel = "TFS [Total File system entries]:";
    out.closingMessage = "Number of MFT-ENTRY found = " + std::to_string(n) +
                         " . Please select the choice from combo box and click Next button to proceed.";
    out.doneStatus = "Parsing done.Click next to continue.";
    return out;
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

}  // namespace

AdvancedSearch searchAdvancedCandidates(const std::string& fileSystem, const VolumeView& volume,
                                        int maxCandidates, ProgressSink* progress, const std::atomic<bool>* stop,
                                        PauseGate* gate) {
    const std::string fs = asciiLower(fileSystem);
    if (fs == "ntfs") return searchNtfs(volume, maxCandidates, progress, stop, gate);
    if (fs == "fat32") return searchFat(volume, FatKind::Fat32, maxCandidates, progress, stop, gate);
    if (fs == "fat16" || fs == "fat") return searchFat(volume, FatKind::Fat16, maxCandidates, progress, stop, gate);
    if (fs == "fat64" || fs == "exfat") return searchExfat(volume, maxCandidates, progress, stop, gate);
    return {};
}

}  // namespace brantlow
