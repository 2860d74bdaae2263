// Fuzzes the LUKS header readers: the first byte picks what the rest is.
//   0: a volume's first bytes (LUKS1 or LUKS2 signature, LUKS1 header);
//   1: LUKS2 JSON metadata, read as the JSON area of a 16 KiB copy;
//   2: a whole volume read by readHeader, the LUKS2 checksums of both
//      copies made to match first so that the JSON is reached;
//   3: a cipher spec (up to the first NUL), then a key: the sector cipher
//      made and run over a few sectors, then a decrypting reader read at
//      odd offsets.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "base/bytes.h"
#include "layers/luks/luks_cipher.h"
#include "layers/luks/luks_header.h"
#include "layers/luks/luks_reader.h"

namespace {

using namespace brantlow;

class BytesReader : public readWriteInterface {
public:
    explicit BytesReader(std::vector<uint8_t> d) : data_(std::move(d)) {}
    bool Open(const std::string&) override { return true; }
    long long readAbsolute(uint64_t off, void* buf, size_t count) override {
        if (off >= data_.size()) return 0;
        const size_t n = count < data_.size() - off ? count : static_cast<size_t>(data_.size() - off);
        std::memcpy(buf, data_.data() + off, n);
        return static_cast<long long>(n);
    }
    uint64_t sizeBytes() const override { return data_.size(); }

private:
    std::vector<uint8_t> data_;
};

// Makes the checksum of the LUKS2 copy at `at` match, when one seems to be
// there.
void sealCopy(std::vector<uint8_t>& d, size_t at) {
    if (d.size() < at + 4096) return;
    const uint64_t hdrSize = be64(d.data() + at, 4096, 8);
    if (hdrSize < 4096 || hdrSize > (4u << 20) || d.size() - at < hdrSize) return;
    const char* alg = reinterpret_cast<const char*>(d.data() + at + 72);
    const std::string sum = luks::luks2Checksum(d.data() + at, static_cast<size_t>(hdrSize), std::string(alg, strnlen(alg, 32)));
    std::memcpy(d.data() + at + 448, sum.data(), sum.size());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) return 0;
    const uint8_t mode = data[0] % 4;
    const uint8_t* b = data + 1;
    const size_t n = size - 1;
    if (mode == 0) {
        luks::decodeSignature(b, n);
        luks::decodeLuks1(b, n);
    } else if (mode == 1) {
        luks::decodeLuks2Json(std::string_view(reinterpret_cast<const char*>(b), n), 16384);
    } else if (mode == 2) {
        std::vector<uint8_t> d(b, b + n);
        sealCopy(d, 0);
        if (d.size() >= 4096) sealCopy(d, static_cast<size_t>(be64(d.data(), 4096, 8) & 0x7FFFFF));
        auto reader = std::make_shared<BytesReader>(std::move(d));
        auto h = luks::readHeader(VolumeView(reader, 0, reader->sizeBytes()));
        if (h) {
            volatile size_t s = h->cipher.size() + h->keyslots.size() + h->damage.size();
            (void)s;
        }
    } else {
        const size_t specLen = strnlen(reinterpret_cast<const char*>(b), std::min<size_t>(n, 80));
        const std::string spec(reinterpret_cast<const char*>(b), specLen);
        if (specLen + 2 > n) return 0;
        const uint8_t shape = b[specLen + 1];
        const size_t keyLen = std::min<size_t>(n - specLen - 2, 128);
        platform::Secret key(b + specLen + 2, keyLen);
        const uint32_t sector = 512u << (shape % 4);
        auto cipher = luks::SectorCipher::make(spec, key, sector, shape >> 4);
        if (!cipher) return 0;
        std::vector<uint8_t> bytes(4 * sector + 700, 0xA5);
        (*cipher)->decrypt(shape, bytes.data(), 4);
        auto base = std::make_shared<BytesReader>(bytes);
        luks::DecryptingReader r(base, 0, bytes.size(), *cipher);
        std::vector<uint8_t> out(3 * sector);
        r.readAbsolute(1, out.data(), out.size());
        r.readAbsolute(sector - 3, out.data(), 5);
        r.readAbsolute(bytes.size() - 10, out.data(), out.size());
    }
    return 0;
}
