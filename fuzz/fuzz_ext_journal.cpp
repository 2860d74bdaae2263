// Journal walker: the input is a journal of 1 KiB blocks (block 0 its
// superblock); every indexed copy is read back.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "fs/ext/ext_journal.h"

using namespace brantlow::ext;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    constexpr uint32_t kBs = 1024;
    const size_t blocks = size / kBs;
    if (blocks < 2) return 0;
    JournalRead read = [&](uint32_t first, uint32_t count, uint8_t* buf) {
        if (static_cast<uint64_t>(first) + count > blocks) return false;
        std::memcpy(buf, data + static_cast<size_t>(first) * kBs, static_cast<size_t>(count) * kBs);
        return true;
    };
    JournalIndex j;
    size_t seen = 0;
    j.onDataBlock = [&](uint32_t at, const uint8_t*) {
        if (at >= blocks) __builtin_trap();
        ++seen;
    };
    j.onCopy = [&](const JournalCopy& c, const uint8_t* b) {
        if (c.journalBlock >= blocks || c.fsBlock >= (1u << 20) || !b) __builtin_trap();
        volatile uint8_t x = b[kBs - 1];
        (void)x;
    };
    if (!j.build(read, kBs, blocks, 1u << 20)) return 0;
    std::vector<uint8_t> buf(kBs);
    for (const JournalCopy& c : j.copies()) {
        if (c.journalBlock >= blocks || c.fsBlock >= (1u << 20)) __builtin_trap();
        (void)j.readCopy(c, buf.data(), read);
        (void)j.copiesOf(c.fsBlock);
        (void)j.lastRevoke(c.fsBlock);
    }
    return 0;
}
