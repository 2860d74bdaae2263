// Directory-block parser: any bytes as a block of 1, 2 or 4 KiB, with and
// without file types, slack names and names whose inode is 0.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "fs/ext/ext_format.h"

using namespace brantlow::ext;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) return 0;
    const size_t bs = static_cast<size_t>(1024) << (data[0] % 3);
    std::vector<uint8_t> b(data + 1, data + size);
    b.resize(bs, 0);
    DirParseOptions opt;
    opt.hasFileType = data[0] & 8;
    opt.readSlack = data[0] & 16;
    opt.keepNoInode = data[0] & 32;
    opt.maxInode = 1u << 20;
    std::vector<DirRecord> out;
    bool index = false;
    parseDirBlock(b.data(), b.size(), opt, out, &index);
    for (const DirRecord& r : out) {
        if (r.nameLength == 0 || static_cast<size_t>(r.nameOffset) + r.nameLength > bs) __builtin_trap();
        if ((r.inode == 0 && !opt.keepNoInode) || r.inode > opt.maxInode || r.offset + 8 > bs) __builtin_trap();
    }
    uint32_t self = 0, parent = 0;
    (void)dotEntries(b.data(), b.size(), self, parent);
    return 0;
}
