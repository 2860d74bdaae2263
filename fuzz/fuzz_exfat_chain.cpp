// exFAT chain walks: a small volume whose FAT and first clusters come from
// the input. The directory walk, the damage checks and every file write
// must end, stay in bounds and never write more than a file's size.
#include "fuzz/exfat_fuzz_volume.h"

using namespace brantlow;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) return 0;
    const unsigned shift = data[0] & 3;
    const bool formatted = data[0] & 4;
    const bool advanced = data[0] & 8;
    ++data;
    --size;
    // Chains straight from the input: half to the FAT, half to the heap.
    const size_t half = std::min<size_t>(size / 2, (fuzz::kClusters + 2) * 4);
    std::vector<uint8_t> fat(data, data + half);
    std::vector<uint8_t> heap(data + half, data + size);
    auto r = fuzz::makeVolume(shift, fat, heap);
    fuzz::scanAndWrite(r, advanced, formatted);
    // The chain walk on its own, from every cluster the input names.
    auto next = [&](uint32_t c) -> uint32_t {
        const size_t o = static_cast<size_t>(c) * 4;
        if (o + 4 > fat.size()) return kExfatEnd;
        return fat[o] | (fat[o + 1] << 8) | (fat[o + 2] << 16) | (static_cast<uint32_t>(fat[o + 3]) << 24);
    };
    for (uint32_t c = 2; c < 40; ++c) {
        Chain ch = followChain(next, c, fuzz::kClusters + 1, 1u << 20);
        uint64_t n = 0;
        for (const ClusterRun& run : ch.runs) {
            if (run.first < 2 || run.first + run.count - 1 > fuzz::kClusters + 1) __builtin_trap();
            n += run.count;
        }
        if (n != ch.clusters || n > fuzz::kClusters) __builtin_trap();
    }
    return 0;
}
