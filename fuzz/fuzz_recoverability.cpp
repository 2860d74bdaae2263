// Recoverability on hostile input: the allocation map's counts against a
// bit-by-bit count (any bytes, bit order, first unit and query), and the
// state of every entry of a small exFAT volume whose FAT, bitmap and
// directories come from the input. Counts stay within the units asked for
// and agree with the state.
#include "fuzz/exfat_fuzz_volume.h"
#include "fs/api/recoverability.h"

using namespace brantlow;

namespace {

uint64_t take(const uint8_t*& p, size_t& n, unsigned bytes) {
    uint64_t v = 0;
    for (unsigned i = 0; i < bytes && n; ++i, ++p, --n) v |= static_cast<uint64_t>(*p) << (8 * i);
    return v;
}

void checkEstimate(const RecoveryEstimate& e) {
    if (e.overwritten > e.units) __builtin_trap();
    const double s = e.overwrittenShare();
    if (s < 0.0 || s > 1.0) __builtin_trap();
    if (e.state == Recoverability::Intact && e.overwritten) __builtin_trap();
    if (e.state == Recoverability::Overwritten && e.overwritten != e.units) __builtin_trap();
    if (e.state == Recoverability::Partial && (e.overwritten == 0 || e.overwritten == e.units)) __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) return 0;
    const uint8_t mode = data[0];
    ++data;
    --size;
    if ((mode & 1) == 0) {
        // The map: first unit, unit count, bit order, then the bits and queries.
        const uint64_t first = take(data, size, 2);
        const uint64_t count = take(data, size, 2);
        const auto order = (mode & 2) ? AllocationMap::BitOrder::MsbFirst : AllocationMap::BitOrder::LsbFirst;
        const size_t nbits = std::min<size_t>(size, 1024);
        std::vector<uint8_t> bits(data, data + nbits);
        data += nbits;
        size -= nbits;
        AllocationMap m;
        m.assign(bits, count, order, first);
        while (size >= 4) {
            const uint64_t start = take(data, size, 2) * ((mode & 4) ? 1 : 7);
            const uint64_t n = take(data, size, 2);
            uint64_t naive = 0;
            for (uint64_t u = start; u < start + n; ++u) naive += m.allocated(u);
            if (m.allocatedIn(start, n) != naive) __builtin_trap();
            checkEstimate(RecoveryEstimate::fromCounts(n, naive));
        }
        // Far beyond the map: all of it counts as allocated.
        if (m.allocatedIn(~0ull - 10, 10) != 10) __builtin_trap();
        return 0;
    }
    const unsigned shift = (mode >> 1) & 3;
    const size_t half = std::min<size_t>(size / 2, (fuzz::kClusters + 2) * 4);
    std::vector<uint8_t> fat(data, data + half);
    std::vector<uint8_t> heap(data + half, data + size);
    auto r = fuzz::makeVolume(shift, fat, heap);
    Fat64Class p;
    ScanContext ctx;
    ctx.volume = VolumeView(r, 0, r->size);
    ctx.options.driveFormatted = mode & 8;
    if (p.scan(ctx) != ScanOutcome::Done) return 0;
    p.loadAllocationMap();
    walkTree(p, kRootId, [&](const std::string&, EntryId id, const EntryInfo&) {
        checkEstimate(p.recoverability(id));
        return true;
    });
    for (EntryId id : {EntryId{0}, EntryId{1}, kRootId, EntryId{1} << 40}) checkEstimate(p.recoverability(id));
    return 0;
}
