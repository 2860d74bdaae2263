// The sector scan alone on an image, with a chosen read size: the time of
// each pass and what it found.
//   bench_lost_scan IMAGE [CHUNK_KIB...]   (default 4096)
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "disk/reader.h"
#include "disk/sector_scan.h"
#include "fs/filesystems.h"

using namespace brantlow;

namespace {
class Count : public PartitionOwner {
public:
    void addEntry(const VolumeEntry&) override { ++volumes; }
    int volumes = 0;
};
}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: bench_lost_scan IMAGE [CHUNK_KIB...]\n");
        return 1;
    }
    FileReadSeek r;
    if (!r.Open(argv[1])) {
        std::fprintf(stderr, "cannot open %s\n", argv[1]);
        return 2;
    }
    std::vector<size_t> chunks;
    for (int i = 2; i < argc; ++i) chunks.push_back(std::strtoull(argv[i], nullptr, 10) * 1024);
    if (chunks.empty()) chunks.push_back(kScanChunkBytes);
    for (size_t chunk : chunks) {
        for (bool skip : {true, false}) {
            Count c;
            Partition p;
            p.owner = &c;
            p.skipFoundVolumes = skip;
            auto t0 = std::chrono::steady_clock::now();
            SectorScanResult res = ScanForFileSystems(r, p, probeTable(), chunk);
            double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
            std::printf("chunk %6zu KiB %-8s %7.3f s %8.0f MB/s  read %llu MiB, %d volumes\n", chunk / 1024,
                        skip ? "skip" : "no-skip", s, r.sizeBytes() / s / 1e6,
                        static_cast<unsigned long long>(res.sectorsRead / 2048), c.volumes);
        }
    }
    return 0;
}
