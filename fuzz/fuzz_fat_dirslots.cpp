// Directory-slot parser: any bytes as a directory, with and without the
// FAT32 rule that a zero slot ends its cluster; every refused slot is noted
// inside the buffer. The first 512 bytes also go to the boot sector decoder.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "base/texts.h"
#include "fs/fat/fat_slots.h"
#include "fs/fat/fat_volume.h"

using namespace brantlow;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) return 0;
    SlotParseOptions opt;
    opt.zeroEndsCluster = data[0] & 1;
    opt.clusterSize = static_cast<size_t>(32) << (data[0] >> 1 & 7);
    std::vector<ParsedSlot> out;
    std::vector<SlotNote> notes;
    // A copy of exactly the input size, so reads past it are caught.
    std::vector<uint8_t> buf(data + 1, data + size);
    parseDirectorySlots(buf.data(), buf.size(), opt, out, &notes);
    for (const ParsedSlot& p : out) {
        if (p.offset + 32 > buf.size()) __builtin_trap();
        if (p.entry.name.size() > 20 * 13 * 3) __builtin_trap();  // 20 slots of 13 units
        if (!isValidUtf8(p.entry.name)) __builtin_trap();
    }
    for (const SlotNote& n : notes)
        if (n.offset + 32 > buf.size() || n.what.empty()) __builtin_trap();
    // The same bytes as a boot sector.
    if (buf.size() >= 512) {
        Decoded<FatLayout> l = decodeFatLayout(buf.data(), 512);
        if (l && (l->clusterSize == 0 || l->lastCluster < 2)) __builtin_trap();
    }
    return 0;
}
