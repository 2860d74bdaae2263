// Btrfs decoders: any bytes as a superblock (with its system chunk array
// and backup roots), as a tree node whose items are each decoded as what
// their key says (inode, directory entries, file extent, root item, chunk),
// and as a compressed extent in each of the three codecs.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "fs/btrfs/btrfs_compress.h"
#include "fs/btrfs/btrfs_format.h"
#include "fs/btrfs/btrfs_probe.h"

using namespace brantlow;
using namespace brantlow::btrfs;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::vector<uint8_t> head(data, data + std::min<size_t>(size, kSuperSize));
    head.resize(kSuperSize, 0);
    ProbeResult pr;
    probeBtrfs(head.data(), head.size(), pr);
    CopyResult cr;
    btrfsCopyAt(head.data(), head.size(), cr);
    if (auto sb = decodeSuperblock(head.data(), head.size())) {
        if (sb->sysChunkArray.size() > 2048 || sb->nodeSize < kMinNode || sb->nodeSize > kMaxNode) __builtin_trap();
        for (const auto& c : decodeSysChunkArray(sb->sysChunkArray))
            if (c && (c->stripes.empty() || c->length == 0)) __builtin_trap();
    }

    std::vector<uint8_t> node(data, data + std::min<size_t>(size, 16384));
    node.resize(16384, 0);
    auto h = decodeNodeHeader(node.data(), node.size(), 16384);
    if (h && h->level == 0) {
        for (uint32_t i = 0; i < h->nritems; ++i) {
            auto it = leafItem(node.data(), node.size(), *h, i);
            if (!it) continue;
            if (static_cast<size_t>(it->offset) + it->size > node.size()) __builtin_trap();
            const uint8_t* p = node.data() + it->offset;
            switch (it->key.type) {
                case kInodeItem: (void)decodeInode(p, it->size); break;
                case kDirItem:
                case kDirIndex:
                    for (size_t at = 0, n = 0; at < it->size && n < 64; ++n) {
                        auto d = decodeDirEntry(p, it->size, at);
                        if (!d) break;
                        if (d->nameOffset + d->nameLength > it->size || d->next <= at) __builtin_trap();
                        at = d->next;
                    }
                    break;
                case kExtentData: {
                    auto e = decodeFileExtent(p, it->size);
                    if (e && e->type == kExtentInline && e->inlineOffset + e->inlineLength > it->size) __builtin_trap();
                    break;
                }
                case kRootItemKey: (void)decodeRootItem(p, it->size); break;
                case kChunkItem: (void)decodeChunk(p, it->size, it->key.offset); break;
                default: break;
            }
        }
    } else if (h) {
        for (uint32_t i = 0; i < h->nritems; ++i) (void)keyPtr(node.data(), node.size(), i);
    }

    if (size > 1) {
        std::vector<uint8_t> out;
        const size_t want = 1 + (data[0] << 9);
        for (uint8_t m : {kCompressZlib, kCompressLzo, kCompressZstd}) {
            decompress(m, data + 1, size - 1, want, 4096, out);
            if (out.size() > want) __builtin_trap();
        }
    }
    return 0;
}
