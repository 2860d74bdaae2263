// The candidate searches of Advanced mode, one entry point for every file
// system that offers it: where its metadata may start (an MFT, a FAT, an
// exFAT FAT and cluster heap), which cluster sizes to offer, and which
// candidate to take when the operator does not choose.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

#include "base/sinks.h"
#include "disk/volume_view.h"

namespace brantlow {

struct AdvancedCandidate {
    std::string label;       // "MFT_ENTRY:0", "FAT32_ENTRY:1", ...
    int64_t position = -1;   // byte position from the volume start (ScanOptions::advancedCandidate)
    std::string note;        // what it is, for listings ("mirror copy", ...)
    int clusterShift = -1;   // the cluster exponent it agrees with, or -1
};

struct AdvancedSearch {
    bool offered = false;                   // the file system has an Advanced mode
    std::vector<AdvancedCandidate> candidates;
    std::vector<AdvancedCandidate> heaps;   // exFAT: "HEAP_OFFSET_ENTRY:%d"
    // Sectors-per-cluster choices as the page lists them (texts) and their
    // exponents (512 << exponent bytes per cluster), in the same order.
    std::vector<std::string> clusterTexts;
    std::vector<int> clusterShifts;
    size_t best = 0;                        // the candidate taken by default
    std::string listLabel;                  // "TFS [Total File system entries]:", ...
    std::string closingMessage;             // the page's closing box
    std::string doneStatus;                 // "Parsing done.Click next to continue." ...
};

// Runs the candidate search for a volume of this file-system name (as the
// volume list names it, any case) on the calling thread. maxCandidates < 1
// means 3. stop is polled between chunks (and cleared by the NTFS count, as
// it clears its own flag); gate may be null.
AdvancedSearch searchAdvancedCandidates(const std::string& fileSystem, const VolumeView& volume,
                                        int maxCandidates, ProgressSink* progress, const std::atomic<bool>* stop,
                                        PauseGate* gate = nullptr);

}  // namespace brantlow
