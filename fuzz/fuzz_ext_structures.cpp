// ext structure decoders on any bytes: the superblock and the group
// descriptors after it, an extent node's header and entries, every
// directory entry of a block, and the journal's superblock, block headers,
// descriptor tags and revoke blocks. Accepted values keep the invariants
// their decoders promise; every refusal has a reason.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "fs/ext/ext_format.h"
#include "fs/ext/ext_journal.h"

using namespace brantlow;
using namespace brantlow::ext;

template <class T>
void checkReason(const Decoded<T>& d) {
    if (!d && d.reason().empty()) __builtin_trap();
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    std::vector<uint8_t> b(data, data + size);
    b.resize(std::max<size_t>(size, 4096), 0);
    const uint8_t* p = b.data();

    const Decoded<Superblock> sb = decodeSuperblock(p, 1024);
    checkReason(sb);
    if (sb) {
        const Superblock& s = *sb;
        if (s.blockSize < 1024 || s.blockSize > 8192 || s.inodeSize < 128 || s.inodeSize > s.blockSize ||
            s.descSize > s.blockSize || s.groupCount == 0 || s.inodesCount == 0)
            __builtin_trap();
        const uint64_t tableBlocks = (static_cast<uint64_t>(s.inodesPerGroup) * s.inodeSize + s.blockSize - 1) / s.blockSize;
        for (size_t off = 1024; off + s.descSize <= b.size(); off += s.descSize) {
            const Decoded<GroupDesc> g = decodeGroupDesc(p + off, s.descSize, s, tableBlocks);
            if (!g) __builtin_trap();  // descriptors are repaired, never refused
            if (g->inodeTable && (g->inodeTable > s.blocksCount || tableBlocks > s.blocksCount - g->inodeTable))
                __builtin_trap();
            if (g->blockBitmap >= s.blocksCount || g->inodeBitmap >= s.blocksCount) __builtin_trap();
        }
    }
    // An extent node of 1 KiB (or the 60 bytes of i_block).
    for (size_t len : {size_t{60}, size_t{1024}}) {
        const Decoded<ExtentHeader> h = decodeExtentHeader(p + 1024, len, -1);
        checkReason(h);
        if (!h) continue;
        if (h->entries > (len - 12) / 12 || h->depth > kMaxExtentDepth) __builtin_trap();
        for (size_t i = 0; i < h->entries; ++i) {
            const Decoded<ExtentLeaf> l = decodeExtentLeaf(p + 1024, len, i, 1u << 20);
            checkReason(l);
            if (l && (l->start == 0 || l->start >= (1u << 20) || l->count > 32768)) __builtin_trap();
            const Decoded<ExtentIndex> x = decodeExtentIndex(p + 1024, len, i, 1u << 20);
            checkReason(x);
            if (x && (x->child == 0 || x->child >= (1u << 20))) __builtin_trap();
        }
    }
    // Directory entries along a 1 KiB block.
    for (size_t off = 0; off < 1024;) {
        const Decoded<DirEntry> e = decodeDirEntry(p + 2048, 1024, off, data[0] & 1);
        checkReason(e);
        if (!e) break;
        if (e->recLen < 8 || e->recLen % 4 || off + e->recLen > 1024 || 8u + e->nameLength > e->recLen) __builtin_trap();
        off += e->recLen;
    }
    // The journal: its superblock, then the next block as a header,
    // descriptor and revoke block.
    const Decoded<JournalInfo> j = decodeJournalSuper(p, 1024);
    checkReason(j);
    checkReason(decodeJournalHeader(p + 1024, 1024));
    if (j && j->blockSize <= 4096 && b.size() >= 1024 + j->blockSize) {
        const Decoded<std::vector<JournalTag>> tags = decodeDescriptorTags(p + 1024, *j, 1u << 20);
        for (const JournalTag& t : *tags)
            if (t.fsBlock >= (1u << 20) || t.index >= j->maxLen - j->first) __builtin_trap();
        const Decoded<std::vector<uint64_t>> revoked = decodeRevokeBlock(p + 1024, *j);
        if (revoked->size() > j->blockSize / 4) __builtin_trap();
    }
    return 0;
}
