// In-process timing of the Btrfs scan (older roots and the metadata
// search included) and of walking its result tree, without process
// start-up or output: bench_btrfs IMAGE [RUNS].
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>

#include "disk/reader.h"
#include "fs/btrfs/btrfs_parser.h"
#include "scan/tree_walk.h"

using namespace brantlow;

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: bench_btrfs IMAGE [RUNS]\n");
        return 2;
    }
    int runs = argc > 2 ? std::atoi(argv[2]) : 5;
    auto reader = std::make_shared<FileReadSeek>();
    if (!reader->Open(argv[1])) {
        std::fprintf(stderr, "cannot open %s\n", argv[1]);
        return 1;
    }
    double bestScan = 1e9, bestWalk = 1e9;
    size_t entries = 0, deleted = 0, memory = 0;
    for (int r = 0; r < runs; ++r) {
        auto p = std::make_unique<BtrfsParser>();
        ScanContext ctx;
        ctx.volume = VolumeView(reader, 0, reader->sizeBytes());
        auto t0 = std::chrono::steady_clock::now();
        if (p->scan(ctx) != ScanOutcome::Done) {
            std::fprintf(stderr, "not a Btrfs volume\n");
            return 1;
        }
        auto t1 = std::chrono::steady_clock::now();
        entries = deleted = 0;
        walkTree(*p, kRootId, [&](const std::string&, EntryId, const EntryInfo& info) {
            ++entries;
            deleted += info.state == EntryState::Deleted;
            return true;
        });
        auto t2 = std::chrono::steady_clock::now();
        bestScan = std::min(bestScan, std::chrono::duration<double>(t1 - t0).count());
        bestWalk = std::min(bestWalk, std::chrono::duration<double>(t2 - t1).count());
        memory = p->memoryBytes();
        if (r == runs - 1) {
            for (const auto& [name, sec] : p->phaseSeconds()) std::printf("  %s %.4f s", name.c_str(), sec);
            std::printf("\n");
        }
    }
    std::printf("entries %zu (%zu deleted)  scan %.4f s  tree walk %.4f s  (%.2f us/entry, best of %d)\n", entries,
                deleted, bestScan, bestWalk, (bestScan + bestWalk) * 1e6 / (entries ? entries : 1), runs);
    std::printf("parser memory %.1f MiB\n", memory / 1048576.0);
    return 0;
}
