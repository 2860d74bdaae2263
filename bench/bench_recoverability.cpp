// In-process timing of recoverability: the scan, the one read of the
// allocation map, and the state of every deleted file of the tree:
//   bench_recoverability IMAGE FS [RUNS]   (FS: ntfs, fat32, fat16, exfat, ext4, hfs+)
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <memory>

#include "disk/reader.h"
#include "scan/scan_job.h"
#include "scan/tree_walk.h"

using namespace brantlow;

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: bench_recoverability IMAGE FS [RUNS]\n");
        return 2;
    }
    const int runs = argc > 3 ? std::atoi(argv[3]) : 3;
    auto reader = std::make_shared<FileReadSeek>();
    if (!reader->Open(argv[1])) {
        std::fprintf(stderr, "cannot open %s\n", argv[1]);
        return 1;
    }
    using clock = std::chrono::steady_clock;
    auto secs = [](clock::time_point a, clock::time_point b) { return std::chrono::duration<double>(b - a).count(); };
    double bestScan = 1e9, bestMap = 1e9, bestStates = 1e9;
    std::map<std::string, size_t> counts;
    for (int r = 0; r < runs; ++r) {
        ParserChoice c = selectParser(argv[2], ScanMode::Standard);
        if (!c.parser) {
            std::fprintf(stderr, "no parser for %s\n", argv[2]);
            return 1;
        }
        ScanContext ctx;
        ctx.volume = VolumeView(reader, 0, reader->sizeBytes());
        const auto t0 = clock::now();
        if (c.parser->scan(ctx) == ScanOutcome::Rejected) {
            std::fprintf(stderr, "not a %s volume\n", argv[2]);
            return 1;
        }
        const auto t1 = clock::now();
        c.parser->loadAllocationMap();
        const auto t2 = clock::now();
        counts.clear();
        walkTree(*c.parser, kRootId, [&](const std::string&, EntryId id, const EntryInfo& info) {
            if (info.state == EntryState::Deleted && info.kind != EntryKind::Folder)
                ++counts[recoverabilityName(c.parser->recoverability(id).state)];
            return true;
        });
        const auto t3 = clock::now();
        bestScan = std::min(bestScan, secs(t0, t1));
        bestMap = std::min(bestMap, secs(t1, t2));
        bestStates = std::min(bestStates, secs(t2, t3));
    }
    size_t deleted = 0;
    for (auto& [k, n] : counts) deleted += n;
    std::printf("scan %.4f s  map %.4f s  walk with states %.4f s  (%zu deleted files:", bestScan, bestMap, bestStates,
                deleted);
    for (auto& [k, n] : counts) std::printf(" %s %zu", k.c_str(), n);
    std::printf("; best of %d)\n", runs);
    return 0;
}
