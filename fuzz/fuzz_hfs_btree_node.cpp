// HFS+ B-tree node decoders: any bytes as a node of any size. Descriptor,
// header record, record table, catalog keys and records (table and strict
// search), extents and attribute records and names: never a read outside
// the node, every decoded record inside it, every refusal with a reason.
// The first 512 bytes also go through the volume header and journal info
// block decoders.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "fs/hfsplus/hfsplus_format.h"

using namespace brantlow;
using namespace brantlow::hfs;

template <class T>
void checkReason(const Decoded<T>& d) {
    if (!d && d.reason().empty()) __builtin_trap();
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) return 0;
    // The first byte chooses the node size: 512 << (0..6), or the rest as is.
    const unsigned pick = data[0] % 8;
    std::vector<uint8_t> node(data + 1, data + size);
    if (pick < 7) node.resize(512u << pick, 0);
    const size_t ns = node.size();
    const uint8_t* p = node.data();

    if (ns >= 512) {
        const Decoded<VolumeHeader> h = decodeVolumeHeader(p, 512);
        checkReason(h);
        if (h && (h->blockSize < 512 || (h->blockSize & (h->blockSize - 1)) || h->totalBlocks == 0)) __builtin_trap();
        const Decoded<JournalInfoBlock> j = decodeJournalInfoBlock(p, 512, ns * 1024);
        checkReason(j);
        if (j && !j->external && (j->offset >= ns * 1024 || j->size > ns * 1024 - j->offset)) __builtin_trap();
    }
    const Decoded<NodeDescriptor> d = decodeNodeDescriptor(p, ns);
    checkReason(d);
    checkReason(decodeHeaderRecord(p, ns, ns * 4));
    const Decoded<RecordTable> t = decodeRecordTable(p, ns, d ? d->numRecords : static_cast<uint16_t>(ns / 4));
    checkReason(t);
    if (t && (t->freeStart > t->tableStart || t->tableStart > ns)) __builtin_trap();
    for (uint16_t off : t ? t->offsets : std::vector<uint16_t>{}) {
        if (off < 14 || off >= t->tableStart) __builtin_trap();
        const Decoded<CatalogRecord> r = decodeCatalogRecord(p, ns, off, false);
        checkReason(r);
        if (r) {
            if (off + r->length > ns) __builtin_trap();
            (void)displayName(r->name);
        }
        checkReason(decodeExtentsRecord(p, ns, off));
        const Decoded<AttributeRecord> a = decodeAttributeRecord(p, ns, off);
        checkReason(a);
        if (a && a->data && (a->data < p || a->data + a->size > p + ns)) __builtin_trap();
    }
    // The strict search over every even offset, as for free space.
    for (size_t off = 14; off + 8 <= ns; off += 2) {
        const Decoded<CatalogRecord> r = decodeCatalogRecord(p, ns, off, true);
        if (r && off + r->length > ns) __builtin_trap();
    }
    return 0;
}
