// Images for the layer tests: an MBR disk whose one partition (Linux type
// 0x83, at sector 2048) holds the trivial test layer (layers/testlayer)
// around a volume, its bytes masked.
#pragma once

#include <cstdint>
#include <vector>

namespace brantlow::test {

constexpr uint64_t kLayerPartitionStart = 2048;  // sectors
constexpr uint64_t kLayerPayloadOffset = 1 << 20;  // bytes from the layer's header

std::vector<uint8_t> layeredDisk(const std::vector<uint8_t>& volume, uint8_t mask, bool asksPassphrase);

}  // namespace brantlow::test
