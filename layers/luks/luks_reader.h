// The decrypted payload of an encrypted volume as a reader like any other:
// each read goes to the source in one piece, whole sectors straight into
// the caller's buffer, and is decrypted there in place; only a sector the
// read starts or ends inside of goes through a small buffer of its own.
#pragma once

#include <memory>

#include "disk/reader.h"
#include "layers/luks/luks_cipher.h"

namespace brantlow::luks {

class DecryptingReader : public readWriteInterface {
public:
    // The payload: size bytes (whole sectors) at offset in base.
    DecryptingReader(std::shared_ptr<readWriteInterface> base, uint64_t offset, uint64_t size,
                     std::shared_ptr<const SectorCipher> cipher);

    bool Open(const std::string&) override { return false; }
    long long readAbsolute(uint64_t offset, void* buffer, size_t count) override;
    uint64_t sizeBytes() const override { return size_; }
    void adviseSequential() override { base_->adviseSequential(); }

private:
    // Reads and decrypts count whole sectors from sector first; returns how
    // many were read.
    size_t readSectors(uint64_t first, uint8_t* out, size_t count);

    std::shared_ptr<readWriteInterface> base_;
    uint64_t offset_, size_;
    std::shared_ptr<const SectorCipher> cipher_;
};

}  // namespace brantlow::luks
