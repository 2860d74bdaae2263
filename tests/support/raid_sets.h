// Sets made at test time (mdadm needs devices, which tests do not have):
// a volume striped over members the way Linux md lays them out, with P and
// Q computed, and md superblocks (0.90 in either byte order, 1.0, 1.1,
// 1.2) written as the kernel checks them; and LVM2 physical volumes with a
// label, a metadata area and the texts given.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "layers/api/raid_reader.h"

namespace brantlow::test {

using Bytes = std::vector<uint8_t>;

struct MdSetup {
    int level = 5;
    int layout = kLeftSymmetric;
    uint32_t chunkBytes = 64 * 1024;
    int members = 3;
    std::string version = "1.2";  // "0.90", "0.90be", "1.0", "1.1", "1.2", "" (no superblock)
    uint64_t dataOffset = 1 << 20;  // version 1.1 and 1.2 (0.90 and 1.0 keep data at 0)
    uint8_t uuidByte = 0x5e;        // the set's UUID: 16 times this byte
};

// The members of a set holding `volume` (padded to whole stripes).
std::vector<Bytes> makeMdMembers(const Bytes& volume, const MdSetup& setup);

// Writes a version 1 superblock (at its version's place) for member `role`.
void writeMdV1(Bytes& member, const MdSetup& setup, int role, uint64_t dataBytes, uint64_t events = 10);
// Writes a 0.90 superblock near the member's end (big-endian when asked).
void writeMd090(Bytes& member, const MdSetup& setup, int role, uint64_t dataBytes, bool bigEndian);

// An LVM2 physical volume of `bytes`: label in sector 1 (PV UUID `pvId`,
// 32 characters), one metadata area at 4 KiB of `areaBytes` whose ring
// holds `texts` one after another, the last one current; data from 1 MiB.
Bytes makeLvmPv(uint64_t bytes, const std::string& pvId, const std::vector<std::string>& texts,
                uint64_t areaBytes = 1 << 20);

// A file's bytes; bytes written to a file (returns its path).
Bytes fileBytes(const std::string& path);
std::string writeBytes(const std::string& path, const Bytes& bytes);

// Random bytes (a fixed seed) with some zero and repeated blocks, like a
// volume's content.
Bytes volumeBytes(size_t bytes, uint32_t seed);

}  // namespace brantlow::test
