// LUKS headers as they lie on disk, decoded and checked before anything
// uses them.
//
// LUKS1: one binary header of 592 bytes at the volume's first byte (all
// numbers big-endian): magic "LUKS\xba\xbe", version 1, cipher name and
// mode, hash, the payload offset in 512-byte sectors, the volume key size,
// the volume key's digest, the UUID and eight key slots (active marker,
// PBKDF2 iterations, salt, key material offset in sectors, stripes).
//
// LUKS2: two copies of the metadata, each a 4 KiB binary header followed by
// a JSON area, hdr_size bytes in all (16 KiB to 4 MiB); the primary at byte
// 0 ("LUKS\xba\xbe"), the secondary right behind it ("SKUL\xba\xbe"). The
// binary header carries the size, a sequence number, the checksum
// algorithm and the checksum over both parts; the JSON names the data
// segment (offset, size, cipher, sector size), the key slots with their key
// derivation and area, the digests and the sizes of the areas. The copy
// whose checksum holds and whose sequence number is higher is read; a
// damaged primary leaves the secondary.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "base/decoded.h"
#include "disk/volume_view.h"

namespace brantlow::luks {

constexpr size_t kBinaryHeaderBytes = 4096;    // LUKS2 binary header; LUKS1 uses its first 592 bytes
constexpr uint64_t kMaxLuks2HeaderBytes = 4u << 20;  // hdr_size: binary header and JSON area
// Key slot areas lie within this many bytes of the volume's start (two
// LUKS2 headers of the largest size and the largest key slot area).
constexpr uint64_t kMaxMetadataBytes = 2 * kMaxLuks2HeaderBytes + (128u << 20);

// What a volume's first bytes say (or a LUKS2 secondary header's).
struct Signature {
    int version = 0;          // 1 or 2
    bool secondary = false;   // a LUKS2 secondary header
    uint64_t hdrSize = 0;     // LUKS2: bytes of one metadata copy
    uint64_t hdrOffset = 0;   // LUKS2: where this copy says it lies
    uint64_t seqid = 0;       // LUKS2: sequence number
    uint64_t payloadOffset = 0;  // LUKS1: bytes
    std::string uuid;
};
Decoded<Signature> decodeSignature(const uint8_t* b, size_t n);

// How one key slot derives its key (only active slots are listed).
struct Keyslot {
    int id = 0;
    std::string kdf;          // "pbkdf2", "argon2i", "argon2id"
    uint64_t iterations = 0;  // pbkdf2: iterations; argon2: time cost
    uint64_t memoryKiB = 0;   // argon2
    uint64_t areaOffset = 0, areaSize = 0;  // bytes from the volume's start
};

struct Header {
    int version = 0;
    std::string cipher;        // "aes-xts-plain64", "aes-cbc-essiv:sha256"
    uint32_t keyBytes = 0;     // the volume key's size
    uint64_t payloadOffset = 0;  // bytes from the volume's start
    uint64_t payloadSize = 0;    // bytes; 0: to the end of the volume
    uint32_t sectorSize = 512;   // the encryption sector
    uint64_t ivTweak = 0;        // added to every sector number
    // Bytes from the volume's start that hold the headers and key slot
    // areas (what unlocking reads).
    uint64_t metadataEnd = 0;
    std::vector<Keyslot> keyslots;
    bool fromSecondary = false;  // LUKS2: the primary copy was damaged
    std::string uuid;
    std::vector<std::string> damage;  // what was passed over ("primary header: checksum does not match")
};

Decoded<Header> decodeLuks1(const uint8_t* b, size_t n);
// LUKS2 JSON metadata (text up to its first NUL) of a copy hdrSize bytes
// long.
Decoded<Header> decodeLuks2Json(std::string_view text, uint64_t hdrSize);
// One LUKS2 metadata copy (hdrSize bytes from its binary header): checked
// against its checksum, the JSON decoded.
Decoded<Header> decodeLuks2Copy(const uint8_t* b, size_t n, const Signature& sig);

// Reads the volume's header: LUKS1, or the better LUKS2 copy (the primary,
// else the secondary where the primary is damaged or older).
Decoded<Header> readHeader(const VolumeView& v);

// The checksum a LUKS2 copy must carry (over its hdrSize bytes with the
// checksum field zeroed); empty when the algorithm is unknown. For tests
// and the fuzz target, which make copies that pass.
std::string luks2Checksum(const uint8_t* b, size_t n, const std::string& algorithm);

}  // namespace brantlow::luks
