// In-process timing of the ext scan (journal included) and of walking its
// result tree, without process start-up or output: bench_ext IMAGE [RUNS].
#include "bench/scan_timing.h"
#include "fs/ext/ext_parser.h"

using namespace brantlow;

int main(int argc, char** argv) {
    int runs = 0;
    auto reader = bench::openImage(argc, argv, "bench_ext", runs);
    if (!reader) return argc < 2 ? 2 : 1;
    bench::ScanTiming t;
    size_t memory = 0, copies = 0, versions = 0;
    if (!bench::timeScans<ext2Class>(reader, runs, "an ext volume", t, [&](ext2Class& p) {
            memory = p.memoryBytes();
            copies = p.journalCopies();
            versions = p.recoveredVersions();
        }))
        return 1;
    std::printf("journal copies %zu  inodes brought back %zu  parser memory %.1f MiB\n", copies, versions,
                memory / 1048576.0);
    return 0;
}
