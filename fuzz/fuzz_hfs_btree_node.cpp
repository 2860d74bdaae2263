// HFS+ B-tree node parser: any bytes as a node of any size. Descriptor,
// header record, record offsets, catalog records (table and strict search),
// extents and attribute records and names: never a read outside the node,
// every decoded record inside it.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "fs/hfsplus/hfsplus_format.h"

using namespace brantlow::hfs;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) return 0;
    // The first byte chooses the node size: 512 << (0..6), or the rest as is.
    const unsigned pick = data[0] % 8;
    std::vector<uint8_t> node(data + 1, data + size);
    if (pick < 7) node.resize(512u << pick, 0);
    const size_t ns = node.size();
    const uint8_t* p = node.data();

    NodeDescriptor d = readDescriptor(p, ns);
    HeaderRecord h = readHeaderRecord(p, ns);
    (void)nodeGeometryValid(h, ns * 4);
    size_t freeStart = 0;
    std::vector<uint16_t> offs = recordOffsets(p, ns, d.numRecords, &freeStart);
    if (freeStart > ns) __builtin_trap();
    for (uint16_t off : offs) {
        if (off < 14 || off >= ns) __builtin_trap();
        CatalogRecord r;
        if (decodeCatalogRecord(p, ns, off, r, false)) {
            if (off + r.length > ns) __builtin_trap();
            (void)displayName(r.name);
        }
        ExtentKey k;
        ExtentRecord e;
        (void)decodeExtentsRecord(p, ns, off, k, e);
        AttributeRecord a;
        if (decodeAttributeRecord(p, ns, off, a) && a.data && (a.data < p || a.data + a.size > p + ns)) __builtin_trap();
    }
    // The strict search over every even offset, as for free space.
    for (size_t off = 14; off + 8 <= ns; off += 2) {
        CatalogRecord r;
        if (decodeCatalogRecord(p, ns, off, r, true) && off + r.length > ns) __builtin_trap();
    }
    return 0;
}
