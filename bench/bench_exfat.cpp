// In-process timing of the exFAT scan and of walking its result tree,
// without process start-up or output:
//   bench_exfat IMAGE [RUNS]      an image file
//   bench_exfat --flat N [RUNS]   a made-up volume with one folder of N files
// The second form shows whether time per entry stays flat as one folder
// grows (it would not if linking children were quadratic).
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "disk/reader.h"
#include "fs/exfat/exfat_parser.h"
#include "scan/tree_walk.h"

using namespace brantlow;

namespace {

class BytesReader : public readWriteInterface {
public:
    std::vector<uint8_t> data;
    bool Open(const std::string&) override { return true; }
    uint64_t sizeBytes() const override { return data.size(); }
    long long readAbsolute(uint64_t off, void* buf, size_t n) override {
        if (off >= data.size()) return 0;
        n = static_cast<size_t>(std::min<uint64_t>(n, data.size() - off));
        std::memcpy(buf, data.data() + off, n);
        return static_cast<long long>(n);
    }
};

void put32(uint8_t* p, uint32_t v) { for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i)); }
void put64(uint8_t* p, uint64_t v) { for (int i = 0; i < 8; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i)); }

// 4 KiB clusters; the root (cluster 2) holds one NoFatChain folder whose
// clusters hold n sets "fNNNNNNN.txt".
std::shared_ptr<BytesReader> flatVolume(uint32_t n) {
    const uint64_t cs = 4096, heap = 1 << 20, fat = 64 * 512;
    const uint64_t dirBytes = (static_cast<uint64_t>(n) * 96 + cs - 1) / cs * cs;
    const uint32_t clusters = static_cast<uint32_t>(1 + dirBytes / cs + 16);
    auto r = std::make_shared<BytesReader>();
    r->data.assign(heap + clusters * cs, 0);
    uint8_t* bs = r->data.data();
    bs[0] = 0xEB, bs[1] = 0x76, bs[2] = 0x90;
    std::memcpy(bs + 3, "EXFAT   ", 8);
    put64(bs + 72, r->data.size() / 512);
    put32(bs + 80, static_cast<uint32_t>(fat / 512));
    put32(bs + 84, static_cast<uint32_t>((clusters + 2) * 4 / 512 + 1));
    put32(bs + 88, static_cast<uint32_t>(heap / 512));
    put32(bs + 92, clusters);
    put32(bs + 96, 2);
    bs[108] = 9, bs[109] = 3, bs[110] = 1, bs[510] = 0x55, bs[511] = 0xAA;
    put32(r->data.data() + fat + 8, 0xFFFFFFFFu);  // the root: one cluster
    auto set = [](uint8_t* p, const std::string& name, uint16_t attr, uint32_t fc, uint64_t size) {
        p[0] = 0x85, p[1] = 2, p[4] = static_cast<uint8_t>(attr);
        put32(p + 12, (44u << 25) | (1u << 21) | (1u << 16));
        p[32] = 0xC0, p[33] = 3, p[35] = static_cast<uint8_t>(name.size());
        put64(p + 40, size), put32(p + 52, fc), put64(p + 56, size);
        p[64] = 0xC1;
        for (size_t i = 0; i < name.size() && i < 15; ++i) p[66 + 2 * i] = static_cast<uint8_t>(name[i]);
    };
    set(r->data.data() + heap, "big", 0x10, 3, dirBytes);
    for (uint32_t i = 0; i < n; ++i) {
        char name[16];
        std::snprintf(name, sizeof name, "f%07u.txt", i);
        set(r->data.data() + heap + cs + static_cast<uint64_t>(i) * 96, name, 0x20, 0, 0);
    }
    return r;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: bench_exfat IMAGE [RUNS] | bench_exfat --flat N [RUNS]\n");
        return 2;
    }
    std::shared_ptr<readWriteInterface> reader;
    int runs = 5;
    if (std::string(argv[1]) == "--flat" && argc > 2) {
        reader = flatVolume(static_cast<uint32_t>(std::atoi(argv[2])));
        if (argc > 3) runs = std::atoi(argv[3]);
    } else {
        auto f = std::make_shared<FileReadSeek>();
        if (!f->Open(argv[1])) {
            std::fprintf(stderr, "cannot open %s\n", argv[1]);
            return 1;
        }
        reader = f;
        if (argc > 2) runs = std::atoi(argv[2]);
    }
    double bestScan = 1e9, bestWalk = 1e9;
    size_t entries = 0;
    for (int r = 0; r < runs; ++r) {
        Fat64Class p;
        ScanContext ctx;
        ctx.volume = VolumeView(reader, 0, reader->sizeBytes());
        auto t0 = std::chrono::steady_clock::now();
        if (p.scan(ctx) != ScanOutcome::Done) {
            std::fprintf(stderr, "not an exFAT volume\n");
            return 1;
        }
        auto t1 = std::chrono::steady_clock::now();
        size_t n = 0;
        walkTree(p, kRootId, [&](const std::string&, EntryId, const EntryInfo&) {
            ++n;
            return true;
        });
        auto t2 = std::chrono::steady_clock::now();
        entries = n;
        bestScan = std::min(bestScan, std::chrono::duration<double>(t1 - t0).count());
        bestWalk = std::min(bestWalk, std::chrono::duration<double>(t2 - t1).count());
    }
    std::printf("%zu entries: scan %.4f s, walk %.4f s (%.2f us/entry), best of %d\n", entries, bestScan, bestWalk,
                (bestScan + bestWalk) * 1e6 / static_cast<double>(entries ? entries : 1), runs);
    return 0;
}
