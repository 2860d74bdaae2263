// HFS+ read in Deep mode on hostile volumes whose B-tree header nodes may be
// gone: the input is the start of a 2 MiB volume (its volume header too),
// the catalog's leaf nodes are searched with the node size the header node
// gives or the leaves themselves suggest, the tree is walked and a few files
// are written. Everything must end, stay in bounds and never write more
// than a file's size.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>

#include "fs/hfsplus/hfsplus.h"
#include "fuzz/piece_reader.h"
#include "fuzz/walk_and_write.h"

using namespace brantlow;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1536 || size > (1u << 20)) return 0;
    auto r = std::make_shared<PieceReader>();
    r->bytes.assign(2u << 20, 0);
    std::memcpy(r->bytes.data(), data, size);
    for (ScanMode mode : {ScanMode::Deep, ScanMode::Standard}) {
        HFSP p;
        ScanContext ctx;
        ctx.mode = mode;
        ctx.volume = VolumeView(r, 0, r->bytes.size());
        if (p.scan(ctx) != ScanOutcome::Done) continue;
        walkAndWrite(p);
    }
    return 0;
}
