// Btrfs compressed extents through the codec libraries: zlib streams, zstd
// frames, and LZO in Btrfs's own framing (a total length, then segments
// each with its length, never crossing a sector boundary with their length
// field). Output never exceeds `want` bytes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace brantlow::btrfs {

// Decompresses `in` with `method` (kCompressZlib, kCompressLzo,
// kCompressZstd) into at most `want` bytes. False with a reason when the
// data does not decode; out holds what came out.
bool decompress(uint8_t method, const uint8_t* in, size_t n, size_t want, uint32_t sectorSize,
                std::vector<uint8_t>& out, std::string* why = nullptr);

}  // namespace brantlow::btrfs
