#include "tests/support/layered_disk.h"

#include <cstring>

namespace brantlow::test {

namespace {
void storeLe32(uint8_t* b, uint32_t v) { std::memcpy(b, &v, 4); }
void storeLe64(uint8_t* b, uint64_t v) { std::memcpy(b, &v, 8); }
}  // namespace

std::vector<uint8_t> layeredDisk(const std::vector<uint8_t>& volume, uint8_t mask, bool asksPassphrase) {
    const uint64_t partBytes = kLayerPayloadOffset + volume.size();
    std::vector<uint8_t> d(kLayerPartitionStart * 512 + partBytes, 0);
    uint8_t* mbr = d.data();
    mbr[446 + 4] = 0x83;
    storeLe32(mbr + 446 + 8, static_cast<uint32_t>(kLayerPartitionStart));
    storeLe32(mbr + 446 + 12, static_cast<uint32_t>(partBytes / 512));
    mbr[510] = 0x55;
    mbr[511] = 0xAA;
    uint8_t* h = d.data() + kLayerPartitionStart * 512;
    std::memcpy(h, "BRANTLOW-LAYER\0\0", 16);
    storeLe64(h + 16, kLayerPayloadOffset);
    storeLe64(h + 24, volume.size());
    h[32] = mask;
    h[33] = asksPassphrase ? 1 : 0;
    for (size_t i = 0; i < volume.size(); ++i) h[kLayerPayloadOffset + i] = volume[i] ^ mask;
    return d;
}

}  // namespace brantlow::test
