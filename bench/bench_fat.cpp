// In-process timing of the FAT scan and of walking its result tree, without
// process start-up or output: bench_fat IMAGE [RUNS].
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>

#include "bench/scan_timing.h"
#include "disk/reader.h"
#include "fs/fat/fat_parser.h"
#include "scan/tree_walk.h"

using namespace brantlow;

int main(int argc, char** argv) {
    int runs = 0;
    auto reader = bench::openImage(argc, argv, "bench_fat", runs);
    if (!reader) return argc < 2 ? 2 : 1;
    double bestScan = 1e9, bestWalk = 1e9;
    size_t entries = 0;
    for (int r = 0; r < runs; ++r) {
        std::unique_ptr<FatParser> p = std::make_unique<Fat32Class>();
        ScanContext ctx;
        ctx.volume = VolumeView(reader, 0, reader->sizeBytes());
        auto t0 = std::chrono::steady_clock::now();
        if (p->scan(ctx) != ScanOutcome::Done) {
            p = std::make_unique<Fat16Class>();
            t0 = std::chrono::steady_clock::now();
            if (p->scan(ctx) != ScanOutcome::Done) {
                std::fprintf(stderr, "not a FAT16/FAT32 volume\n");
                return 1;
            }
        }
        auto t1 = std::chrono::steady_clock::now();
        entries = 0;
        walkTree(*p, kRootId, [&](const std::string&, EntryId, const EntryInfo&) {
            ++entries;
            return true;
        });
        auto t2 = std::chrono::steady_clock::now();
        bestScan = std::min(bestScan, std::chrono::duration<double>(t1 - t0).count());
        bestWalk = std::min(bestWalk, std::chrono::duration<double>(t2 - t1).count());
    }
    std::printf("entries %zu  scan %.4f s  tree walk %.4f s  (%.2f us/entry, best of %d)\n", entries, bestScan, bestWalk,
                (bestScan + bestWalk) * 1e6 / (entries ? entries : 1), runs);
    return 0;
}
