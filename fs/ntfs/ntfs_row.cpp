// NTFS in the file-system table: recognition, the parser, its modes, its
// Advanced-mode search (MFT candidates) and its texts.
#include "fs/ntfs/ntfs_row.h"

#include "fs/ntfs/ntfs.h"
#include "fs/ntfs/ntfs_candidates.h"
#include "fs/ntfs/ntfs_placement.h"
#include "fs/ntfs/ntfs_probe.h"

namespace brantlow {

namespace {

using namespace advanced;

bool claimSlot(uint8_t type, bool logical, const std::string& probed, MbrSlotName& out) {
    (void)probed;
    if (type == 0x07) {
        out = logical ? MbrSlotName{"NTFS", "found NTFS...", false} : MbrSlotName{"NTFS", "found NTFS %d...", true};
        return true;
    }
    if (type == 0x42 && !logical) {
        out = {"NTFS", "NTFS...", false};
        return true;
    }
    return false;
}

AdvancedSearch searchMft(const VolumeView& volume, int maxCandidates, ProgressSink* progress,
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

}  // namespace

FileSystemRow ntfsRow() {
    FileSystemRow row;
    row.probe = {"ntfs", probeNtfs, ntfsCopyAt, ntfsConfirm};
    row.probe.kinds = {{"NTFS", "found NTFS %d...", "found NTFS %d...", true, true, true, 0}};
    row.probe.scanMarks = {ScanMark::of(0, "\xEB\x52", 2)};
    row.probe.claimMbrSlot = claimSlot;
    row.probe.placementCheck = ntfsPlacementCheck;
    ParserRow p;
    p.listName = "NTFS";
    p.names = {"ntfs"};
    p.statusText = "ntfs partition selected....";
    p.make = [] { return std::make_unique<ntfs>(); };
    p.modes = {ScanMode::Standard, ScanMode::Advanced, ScanMode::Deep};
    p.advanced = {searchMft, "TFS [Total File system entries]:", false};
    p.treatAs = "NTFS";
    p.treatAsGives = "ntfs";
    p.treatAsOrder = 4;
    p.mountTypes = {"ntfs", "ntfs3"};
    row.parsers.push_back(std::move(p));
    row.candidates = makeNtfsCandidateMatcher;
    return row;
}

}  // namespace brantlow
