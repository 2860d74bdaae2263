// In-process timing of the Btrfs scan (older roots and the metadata
// search included) and of walking its result tree, without process
// start-up or output: bench_btrfs IMAGE [RUNS].
#include "bench/scan_timing.h"
#include "fs/btrfs/btrfs_parser.h"

using namespace brantlow;

int main(int argc, char** argv) {
    int runs = 0;
    auto reader = bench::openImage(argc, argv, "bench_btrfs", runs);
    if (!reader) return argc < 2 ? 2 : 1;
    bench::ScanTiming t;
    size_t memory = 0;
    if (!bench::timeScans<BtrfsParser>(reader, runs, "a Btrfs volume", t,
                                       [&](BtrfsParser& p) { memory = p.memoryBytes(); }))
        return 1;
    std::printf("parser memory %.1f MiB\n", memory / 1048576.0);
    return 0;
}
