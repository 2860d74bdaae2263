// Advanced mode's candidate search, as a file system offers it: where its
// metadata may start (an MFT, a FAT, an exFAT FAT and cluster heap), which
// cluster sizes to offer, and which candidate to take when the operator
// does not choose.
#pragma once

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <initializer_list>
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

// One file system's search, run on the calling thread. maxCandidates < 1
// means 3. stop is polled between chunks; gate may be null.
using AdvancedSearchFn = AdvancedSearch (*)(const VolumeView& volume, int maxCandidates, ProgressSink* progress,
                                            const std::atomic<bool>* stop, PauseGate* gate);

// What the searches share.
namespace advanced {

// "MFT_ENTRY:%d" with i.
inline std::string numbered(const char* fmt, size_t i) {
    char b[64];
    std::snprintf(b, sizeof b, fmt, static_cast<int>(i));
    return b;
}

// The exponent of a power of two, or -1.
inline int log2Exact(uint64_t v) {
    if (v == 0 || (v & (v - 1))) return -1;
    int e = 0;
    while ((1ull << e) < v) ++e;
    return e;
}

// Sectors-per-cluster texts: first the value the volume itself suggests (if
// any), then the listed ones.
inline void addClusterChoices(AdvancedSearch& out, int firstShift, std::initializer_list<int> sectors) {
    auto add = [&](int shift) {
        out.clusterShifts.push_back(shift);
        out.clusterTexts.push_back(std::to_string(1 << shift));
    };
    if (firstShift >= 0) add(firstShift);
    for (int s : sectors) add(log2Exact(static_cast<uint64_t>(s)));
}

// Passes the caller's stop flag on to a parser's own flag at every progress
// step (the searches report progress once per chunk).
class StopRelay : public ProgressSink {
public:
    StopRelay(ProgressSink* inner, const std::atomic<bool>* from, std::atomic<bool>* to)
        : inner_(inner), from_(from), to_(to) {}
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

}  // namespace advanced

}  // namespace brantlow
