// Linux md superblocks: version 0.90 (at the device's end, in the byte
// order of the machine that wrote it) and versions 1.0 (at the end), 1.1
// (at the start) and 1.2 (4 KiB in), each checked by its checksum and by
// where it says it lies.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "base/decoded.h"
#include "disk/reader.h"

namespace brantlow::md {

constexpr uint32_t kMagic = 0xa92b4efc;

// md's feature bits (version 1) that change how a member is read.
constexpr uint32_t kFeatureRecoveryOffset = 0x2;  // the member is only rebuilt up to recoveryOffset
constexpr uint32_t kFeatureReshapeActive = 0x4;   // the set was being reshaped
constexpr uint32_t kFeatureReplacement = 0x10;    // the member is replacing another

struct Superblock {
    int major = 1;           // 0 (0.90) or 1
    int minor = 2;           // 90, or 0, 1, 2
    bool bigEndian = false;  // 0.90 written by a big-endian machine
    uint8_t uuid[16] = {};
    std::string name;        // the set's name (version 1)
    int level = 0;           // -1 linear, 0, 1, 4, 5, 6, 10 (others are refused by the reader)
    int layout = 0;
    uint64_t chunkBytes = 0;
    uint32_t raidDisks = 0;
    int role = -1;            // this member's role; -1 a spare, a faulty or a journal device
    uint64_t dataOffset = 0;  // bytes from the device's start
    uint64_t dataBytes = 0;   // bytes of the array's data on this member
    uint64_t events = 0;
    uint32_t featureMap = 0;
    uint64_t recoveryOffset = 0;  // bytes of data rebuilt (kFeatureRecoveryOffset)
    uint64_t superOffset = 0;     // where the superblock lies, bytes from the device's start

    std::string uuidText() const;  // "f1f1f1f1:00004000:80000000:0000a005", as mdadm shows it
    std::string versionText() const;  // "1.2", "0.90"
};

// Decodes a version 1 superblock read at byte `at` of a device of
// `deviceBytes` (bytes: its 256-byte header and its role table).
Decoded<Superblock> decodeV1(const uint8_t* b, size_t len, uint64_t at, uint64_t deviceBytes);
// Decodes a version 0.90 superblock (4096 bytes) read at its place near
// the end of a device of `deviceBytes`.
Decoded<Superblock> decodeV090(const uint8_t* b, size_t len, uint64_t deviceBytes);

// Where each version keeps its superblock on a device of `deviceBytes`
// (UINT64_MAX: the device is too small for it).
uint64_t v090Offset(uint64_t deviceBytes);
uint64_t v10Offset(uint64_t deviceBytes);

// Looks for a superblock on the device [start, start + size) of reader:
// 1.2, 1.1, then 1.0 and 0.90 at the end. False with `why` set to what was
// refused when one was there but did not check out ("" when none was).
bool findSuperblock(readWriteInterface& reader, uint64_t start, uint64_t size, Superblock& out,
                    std::string* why = nullptr);

}  // namespace brantlow::md
