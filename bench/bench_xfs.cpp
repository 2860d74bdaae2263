// In-process timing of the XFS scan (log and freed inodes included) and
// of walking its result tree, without process start-up or output:
// bench_xfs IMAGE [RUNS].
#include "bench/scan_timing.h"
#include "fs/xfs/xfs_parser.h"

using namespace brantlow;

int main(int argc, char** argv) {
    int runs = 0;
    auto reader = bench::openImage(argc, argv, "bench_xfs", runs);
    if (!reader) return argc < 2 ? 2 : 1;
    bench::ScanTiming t;
    size_t memory = 0;
    if (!bench::timeScans<XfsParser>(reader, runs, "an XFS volume", t, [&](XfsParser& p) {
            memory = p.memoryBytes();
            std::printf("log records %llu, inode items %llu; inode chunks %llu\n",
                        static_cast<unsigned long long>(p.logStats().records),
                        static_cast<unsigned long long>(p.logStats().inodeItems),
                        static_cast<unsigned long long>(p.chunksRead()));
        }))
        return 1;
    std::printf("parser memory %.1f MiB\n", memory / 1048576.0);
    return 0;
}
