// The sector cipher of an encrypted volume, as the header's cipher name and mode give it
// ("aes-xts-plain64", "aes-cbc-essiv:sha256", "serpent-xts-plain64",
// "capi:xts(aes)-plain64"): every sector decrypted on its own, in place,
// with its IV from the sector number (plain: 32 bits, plain64: 64 bits
// little-endian, plain64be: big-endian at the IV's end, essiv: the number
// encrypted with a key hashed from the volume key, null: zeros). The
// ciphers are libgcrypt's; their key schedules live in its locked memory
// where the system allows, and are wiped when the cipher is dropped.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "base/decoded.h"
#include "platform/secret.h"

namespace brantlow::luks {

// Sets libgcrypt up once (safe to call from any thread, any number of
// times).
void ensureCrypto();

// A hash by its LUKS name ("sha256", "sha1", "sha512", "ripemd160"):
// libgcrypt's algorithm number, or 0.
int hashAlgorithm(const std::string& name);

class SectorCipher {
public:
    // The cipher the header names, with this key, for sectors of sectorSize
    // bytes; their IVs count 512-byte units (a 4096-byte sector's IV
    // numbers go 0, 8, 16…), ivTweak added to each.
    static Decoded<std::shared_ptr<SectorCipher>> make(const std::string& spec, const platform::Secret& key,
                                                       uint32_t sectorSize, uint64_t ivTweak);
    ~SectorCipher();
    SectorCipher(const SectorCipher&) = delete;
    SectorCipher& operator=(const SectorCipher&) = delete;

    uint32_t sectorSize() const { return sectorSize_; }
    // Decrypts count whole sectors in place; first is the index of the
    // first (in sectorSize units from the payload's start). Safe to call
    // from several threads at once.
    bool decrypt(uint64_t first, uint8_t* data, size_t count) const;
    // Encrypts the same way (for tests that make volumes).
    bool encrypt(uint64_t first, uint8_t* data, size_t count) const;

private:
    SectorCipher() = default;
    enum class Iv { None, Null, Plain, Plain64, Plain64Be, Essiv };
    struct Handles;  // one set of cipher handles, used by one thread at a time
    Handles* take() const;
    void give(Handles* h) const;
    bool run(bool decrypting, uint64_t first, uint8_t* data, size_t count) const;

    int algo_ = 0, mode_ = 0, essivAlgo_ = 0;
    bool identity_ = false;  // cipher_null
    Iv iv_ = Iv::None;
    size_t block_ = 16;
    uint32_t sectorSize_ = 512;
    uint64_t ivUnit_ = 1;  // 512-byte IV units per encryption sector
    uint64_t ivTweak_ = 0;
    platform::Secret key_, essivKey_;
    mutable std::mutex mutex_;
    mutable std::vector<Handles*> idle_;
};

}  // namespace brantlow::luks
