#include "layers/luks/luks_reader.h"

#include <algorithm>
#include <cstring>


namespace brantlow::luks {

DecryptingReader::DecryptingReader(std::shared_ptr<readWriteInterface> base, uint64_t offset, uint64_t size,
                                   std::shared_ptr<const SectorCipher> cipher)
    : base_(std::move(base)), offset_(offset), size_(size / cipher->sectorSize() * cipher->sectorSize()),
      cipher_(std::move(cipher)) {}

size_t DecryptingReader::readSectors(uint64_t first, uint8_t* out, size_t count) {
    const uint32_t ss = cipher_->sectorSize();
    const long long got = base_->readAbsolute(offset_ + first * ss, out, count * ss);
    if (got <= 0) return 0;
    const size_t whole = static_cast<size_t>(got) / ss;
    if (!cipher_->decrypt(first, out, whole)) return 0;
    return whole;
}

long long DecryptingReader::readAbsolute(uint64_t offset, void* buffer, size_t count) {
    if (count > kMaxReadBytes) return -1;
    if (offset >= size_ || count == 0) return 0;
    const uint32_t ss = cipher_->sectorSize();
    const uint64_t want = std::min<uint64_t>(count, size_ - offset);
    auto* out = static_cast<uint8_t*>(buffer);
    uint8_t one[4096];
    uint64_t done = 0;
    // A start inside a sector: that sector on its own.
    if (offset % ss) {
        if (readSectors(offset / ss, one, 1) != 1) return -1;
        const size_t in = static_cast<size_t>(offset % ss);
        done = std::min<uint64_t>(ss - in, want);
        std::memcpy(out, one + in, static_cast<size_t>(done));
    }
    // Whole sectors in place.
    const uint64_t whole = (want - done) / ss;
    if (whole) {
        const size_t got = readSectors((offset + done) / ss, out + done, static_cast<size_t>(whole));
        done += static_cast<uint64_t>(got) * ss;
        if (got < whole) return done ? static_cast<long long>(done) : -1;
    }
    // An end inside a sector.
    if (done < want) {
        if (readSectors((offset + done) / ss, one, 1) == 1) {
            std::memcpy(out + done, one, static_cast<size_t>(want - done));
            done = want;
        }
    }
    return done ? static_cast<long long>(done) : -1;
}

}  // namespace brantlow::luks
