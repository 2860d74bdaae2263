// The map reader over any text: a refused map names a line; an accepted one
// is contiguous from 0, its byte counts add up, it reads back as written,
// and changes keep it so. Unreadable-sector counts agree with a sector-by-
// sector count.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "disk/rescue_map.h"

using namespace brantlow;

namespace {

void check(const RescueMap& m) {
    uint64_t pos = 0, sum = 0;
    for (const MapBlock& b : m.blocks()) {
        if (b.pos != pos || b.size == 0) std::abort();
        pos = b.end();
    }
    if (pos != m.extent()) std::abort();
    for (BlockState s : {BlockState::NonTried, BlockState::NonTrimmed, BlockState::NonScraped, BlockState::BadSector,
                         BlockState::Finished})
        sum += m.bytesIn(s);
    if (sum != m.extent()) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    MapError err;
    auto m = RescueMap::parse(text, &err, size % 3 == 0 ? std::optional<uint64_t>(1u << 20) : std::nullopt);
    if (!m) {
        if (err.line == 0 || err.text.empty()) std::abort();
        return 0;
    }
    check(*m);
    auto again = RescueMap::parse(m->format({"fuzz"}), &err);
    if (!again || again->extent() != m->extent()) std::abort();
    for (const MapBlock& b : m->blocks())
        if (again->stateAt(b.pos) != b.state) std::abort();
    // Changes driven by the input's bytes, on a small map.
    if (m->extent() > (1u << 20)) return 0;
    static const BlockState states[] = {BlockState::NonTried, BlockState::NonTrimmed, BlockState::NonScraped,
                                        BlockState::BadSector, BlockState::Finished};
    for (size_t i = 0; i + 4 < size && i < 400; i += 5) {
        const uint64_t pos = (static_cast<uint64_t>(data[i]) << 12 | data[i + 1] << 4) % (m->extent() + 1);
        const uint64_t len = static_cast<uint64_t>(data[i + 2]) << 8 | data[i + 3];
        m->set(pos, len, states[data[i + 4] % 5]);
    }
    check(*m);
    const uint64_t pos = size % (m->extent() + 1), len = (size * 977) % 65536;
    uint64_t slow = 0;
    for (uint64_t b = pos; b < pos + len; ++b) slow += m->stateAt(b) != BlockState::Finished;
    if (slow != m->unfinishedIn(pos, len)) std::abort();
    return 0;
}
