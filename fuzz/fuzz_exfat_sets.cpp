// exFAT entry sets: a directory's bytes from the input, parsed on their own
// and as the root (and first clusters) of a small volume, in standard and
// advanced mode. Every walk must end and stay in bounds. The same bytes also
// go to the set and boot region decoders.
#include "fuzz/exfat_fuzz_volume.h"

using namespace brantlow;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) return 0;
    const unsigned shift = data[0] & 3;
    const bool advanced = data[0] & 4;
    ++data;
    --size;
    ParsedDirectory dir;
    parseDirectory(data, size, dir);
    for (const ParsedSet& s : dir.sets)
        if (s.offset + s.entries * 32 > size + 32 * 19) __builtin_trap();
    for (size_t off = 0; off + 32 <= size; off += 32) {
        plausibleEntrySet(data, size, off);
        Decoded<ParsedSet> set = decodeEntrySet(data, size, off);
        if (set && (set->entries < 1 || set->entries > 19)) __builtin_trap();
    }
    // The same bytes as a boot region.
    Decoded<ExfatLayout> boot = decodeExfatBootRegion(data, size, size);
    if (boot && (!boot->valid() || !boot->clusterValid(boot->rootCluster))) __builtin_trap();
    // Every cluster's FAT entry is an end mark: folders are one cluster
    // unless their stream says NoFatChain.
    std::vector<uint8_t> fat((fuzz::kClusters + 2) * 4, 0xFF);
    std::vector<uint8_t> heap(data, data + size);
    fuzz::scanAndWrite(fuzz::makeVolume(shift, fat, heap), advanced, false);
    return 0;
}
