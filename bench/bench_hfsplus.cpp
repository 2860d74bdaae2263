// HFS+ benchmark: bench_hfsplus make IMAGE N  writes a volume of N files in
// 200 folders (one in ten deleted, its records left in node free space)
// with the test writer (no HFS+ formatter exists here); bench_hfsplus IMAGE
// [RUNS]  times the standard scan and the tree walk in process.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "disk/reader.h"
#include "fs/hfsplus/hfsplus.h"
#include "scan/tree_walk.h"
#include "tests/support/hfs_writer.h"

using namespace brantlow;

static int make(const char* path, int n) {
    std::vector<test::HfsItem> items;
    const int perFolder = std::max(1, n / 200);
    for (int d = 0; d < 200 && static_cast<int>(items.size()) < n + 200; ++d) {
        const std::string folder = "Folder " + std::to_string(d);
        items.push_back({.path = folder, .folder = true});
        for (int i = 0; i < perFolder; ++i) {
            const int k = d * perFolder + i;
            test::HfsItem f;
            f.path = folder + "/Report " + std::to_string(k) + (k % 2 ? " draft.txt" : ".bin");
            f.data.assign(static_cast<size_t>((k * 7919) % 16384), static_cast<uint8_t>(k));
            f.deleted = k % 10 == 0;
            items.push_back(f);
        }
    }
    test::HfsOptions o;
    o.catalogNodeSize = 8192;
    test::HfsImage img = test::makeHfsVolume(items, o);
    FILE* f = std::fopen(path, "wb");
    if (!f) return 1;
    std::fwrite(img.bytes.data(), 1, img.bytes.size(), f);
    std::fclose(f);
    std::printf("%s: %zu MiB, %d entries\n", path, img.bytes.size() >> 20, static_cast<int>(items.size()));
    return 0;
}

int main(int argc, char** argv) {
    if (argc >= 4 && std::strcmp(argv[1], "make") == 0) return make(argv[2], std::atoi(argv[3]));
    if (argc < 2) {
        std::fprintf(stderr, "usage: bench_hfsplus make IMAGE N | bench_hfsplus IMAGE [RUNS]\n");
        return 2;
    }
    const int runs = argc > 2 ? std::atoi(argv[2]) : 5;
    auto reader = std::make_shared<FileReadSeek>();
    if (!reader->Open(argv[1])) {
        std::fprintf(stderr, "cannot open %s\n", argv[1]);
        return 1;
    }
    double bestScan = 1e9, bestWalk = 1e9;
    size_t entries = 0, deleted = 0;
    for (int r = 0; r < runs; ++r) {
        HFSP p;
        ScanContext ctx;
        ctx.volume = VolumeView(reader, 0, reader->sizeBytes());
        auto t0 = std::chrono::steady_clock::now();
        if (p.scan(ctx) != ScanOutcome::Done) {
            std::fprintf(stderr, "not an HFS+ volume\n");
            return 1;
        }
        auto t1 = std::chrono::steady_clock::now();
        entries = deleted = 0;
        walkTree(p, kRootId, [&](const std::string&, EntryId, const EntryInfo& info) {
            ++entries;
            if (info.state == EntryState::Deleted) ++deleted;
            return true;
        });
        auto t2 = std::chrono::steady_clock::now();
        bestScan = std::min(bestScan, std::chrono::duration<double>(t1 - t0).count());
        bestWalk = std::min(bestWalk, std::chrono::duration<double>(t2 - t1).count());
    }
    std::printf("entries %zu (%zu deleted)  scan %.4f s  tree walk %.4f s  (%.2f us/entry, best of %d)\n", entries,
                deleted, bestScan, bestWalk, (bestScan + bestWalk) * 1e6 / (entries ? entries : 1), runs);
    return 0;
}
