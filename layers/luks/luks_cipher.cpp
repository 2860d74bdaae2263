#include "layers/luks/luks_cipher.h"

#include <gcrypt.h>

#include <algorithm>
#include <cctype>
#include <cstring>

namespace brantlow::luks {

void ensureCrypto() {
    static std::once_flag once;
    std::call_once(once, [] {
        // Another part of the process may have set the library up already.
        if (gcry_control(GCRYCTL_INITIALIZATION_FINISHED_P)) return;
        gcry_check_version(nullptr);
        // A small locked pool for the key schedules; where the system
        // refuses to lock it, it is used unlocked and quietly.
        gcry_control(GCRYCTL_DISABLE_SECMEM_WARN);
        gcry_control(GCRYCTL_INIT_SECMEM, 65536, 0);
        gcry_control(GCRYCTL_INITIALIZATION_FINISHED, 0);
    });
}

int hashAlgorithm(const std::string& name) {
    ensureCrypto();
    if (name.empty() || name.size() > 32) return 0;
    const int a = gcry_md_map_name(name.c_str());
    return a > 0 && gcry_md_get_algo_dlen(a) > 0 ? a : 0;
}

namespace {

std::string lower(std::string s) {
    for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

// The block cipher of this name and key size, or 0.
int blockCipher(const std::string& name, size_t keyBytes) {
    if (name == "aes")
        return keyBytes == 16 ? GCRY_CIPHER_AES : keyBytes == 24 ? GCRY_CIPHER_AES192 : keyBytes == 32 ? GCRY_CIPHER_AES256 : 0;
    if (name == "serpent")
        return keyBytes == 16   ? GCRY_CIPHER_SERPENT128
               : keyBytes == 24 ? GCRY_CIPHER_SERPENT192
               : keyBytes == 32 ? GCRY_CIPHER_SERPENT256
                                : 0;
    if (name == "twofish") return keyBytes == 16 ? GCRY_CIPHER_TWOFISH128 : keyBytes == 32 ? GCRY_CIPHER_TWOFISH : 0;
    if (name == "camellia")
        return keyBytes == 16   ? GCRY_CIPHER_CAMELLIA128
               : keyBytes == 24 ? GCRY_CIPHER_CAMELLIA192
               : keyBytes == 32 ? GCRY_CIPHER_CAMELLIA256
                                : 0;
    return 0;
}

struct Spec {
    std::string cipher, mode, iv, ivHash;
};

// "aes-xts-plain64", "aes-cbc-essiv:sha256", "aes-ecb", "cipher_null-ecb",
// "capi:xts(aes)-plain64".
bool parseSpec(const std::string& text, Spec& s) {
    const std::string t = lower(text);
    std::string ivPart;
    if (t.rfind("capi:", 0) == 0) {
        const size_t open = t.find('('), close = t.find(')');
        if (open == std::string::npos || close == std::string::npos || close < open) return false;
        s.mode = t.substr(5, open - 5);
        s.cipher = t.substr(open + 1, close - open - 1);
        if (close + 1 < t.size()) {
            if (t[close + 1] != '-') return false;
            ivPart = t.substr(close + 2);
        }
    } else {
        const size_t dash = t.find('-');
        s.cipher = t.substr(0, dash);
        if (dash != std::string::npos) {
            const std::string rest = t.substr(dash + 1);
            const size_t dash2 = rest.find('-');
            s.mode = rest.substr(0, dash2);
            if (dash2 != std::string::npos) ivPart = rest.substr(dash2 + 1);
        }
    }
    const size_t colon = ivPart.find(':');
    s.iv = ivPart.substr(0, colon);
    if (colon != std::string::npos) s.ivHash = ivPart.substr(colon + 1);
    return !s.cipher.empty();
}

}  // namespace

struct SectorCipher::Handles {
    gcry_cipher_hd_t data = nullptr;
    gcry_cipher_hd_t essiv = nullptr;
    ~Handles() {
        if (data) gcry_cipher_close(data);
        if (essiv) gcry_cipher_close(essiv);
    }
};

namespace {

// A cipher handle with its key, in locked memory where possible.
gcry_cipher_hd_t openCipher(int algo, int mode, const platform::Secret& key) {
    gcry_cipher_hd_t h = nullptr;
    if (gcry_cipher_open(&h, algo, mode, GCRY_CIPHER_SECURE) != 0 && gcry_cipher_open(&h, algo, mode, 0) != 0)
        return nullptr;
    if (gcry_cipher_setkey(h, key.data(), key.size()) != 0) {
        gcry_cipher_close(h);
        return nullptr;
    }
    return h;
}

}  // namespace

Decoded<std::shared_ptr<SectorCipher>> SectorCipher::make(const std::string& specText, const platform::Secret& key,
                                                          uint32_t sectorSize, uint64_t ivTweak) {
    using R = Decoded<std::shared_ptr<SectorCipher>>;
    ensureCrypto();
    Spec s;
    if (!parseSpec(specText, s)) return R::refused("the cipher \"" + specText + "\" cannot be read");
    if (sectorSize < 512 || sectorSize > 4096 || (sectorSize & (sectorSize - 1)))
        return R::refused("encryption sectors of " + std::to_string(sectorSize) + " bytes are not supported");
    std::shared_ptr<SectorCipher> c(new SectorCipher);
    c->sectorSize_ = sectorSize;
    c->ivUnit_ = sectorSize / 512;
    c->ivTweak_ = ivTweak;
    const std::string unsupported = "the cipher " + specText + " is not supported";
    if (s.cipher == "cipher_null") {
        c->identity_ = true;
        return R::ok(std::move(c));
    }
    if (s.mode == "xts") {
        c->mode_ = GCRY_CIPHER_MODE_XTS;
        if (key.size() % 2) return R::refused(unsupported + " with a key of " + std::to_string(key.size()) + " bytes");
        c->algo_ = blockCipher(s.cipher, key.size() / 2);
    } else if (s.mode == "cbc" || s.mode == "ecb") {
        c->mode_ = s.mode == "cbc" ? GCRY_CIPHER_MODE_CBC : GCRY_CIPHER_MODE_ECB;
        c->algo_ = blockCipher(s.cipher, key.size());
    } else {
        return R::refused(unsupported);
    }
    if (!c->algo_) return R::refused(unsupported + " with a key of " + std::to_string(key.size()) + " bytes");
    c->block_ = gcry_cipher_get_algo_blklen(c->algo_);
    if (c->block_ != 16 || sectorSize % c->block_) return R::refused(unsupported);

    if (c->mode_ == GCRY_CIPHER_MODE_ECB) {
        if (!s.iv.empty()) return R::refused(unsupported);
        c->iv_ = Iv::None;
    } else if (s.iv == "plain") {
        c->iv_ = Iv::Plain;
    } else if (s.iv == "plain64") {
        c->iv_ = Iv::Plain64;
    } else if (s.iv == "plain64be") {
        c->iv_ = Iv::Plain64Be;
    } else if (s.iv == "null") {
        c->iv_ = Iv::Null;
    } else if (s.iv == "essiv") {
        // The IV key is the hash of the volume key; the IV the sector
        // number encrypted with it by the same cipher.
        const int hash = hashAlgorithm(s.ivHash);
        if (!hash) return R::refused(unsupported + " (unknown hash \"" + s.ivHash + "\")");
        const size_t len = gcry_md_get_algo_dlen(hash);
        std::vector<uint8_t> digest(len);
        gcry_md_hash_buffer(hash, digest.data(), key.data(), key.size());
        c->essivKey_.assign(digest.data(), len);
        platform::wipe(digest.data(), len);
        c->essivAlgo_ = blockCipher(s.cipher, len);
        if (!c->essivAlgo_) return R::refused(unsupported + " (its IV key is " + std::to_string(len) + " bytes)");
        c->iv_ = Iv::Essiv;
    } else {
        return R::refused(unsupported);
    }
    c->key_ = key;
    // One set of handles at once: a key the cipher refuses shows here.
    Handles* h = c->take();
    if (!h) return R::refused("the key does not fit the cipher " + specText);
    c->give(h);
    return R::ok(std::move(c));
}

SectorCipher::~SectorCipher() {
    for (Handles* h : idle_) delete h;
}

SectorCipher::Handles* SectorCipher::take() const {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!idle_.empty()) {
            Handles* h = idle_.back();
            idle_.pop_back();
            return h;
        }
    }
    auto* h = new Handles;
    h->data = openCipher(algo_, mode_, key_);
    if (iv_ == Iv::Essiv) h->essiv = openCipher(essivAlgo_, GCRY_CIPHER_MODE_ECB, essivKey_);
    if (!h->data || (iv_ == Iv::Essiv && !h->essiv)) {
        delete h;
        return nullptr;
    }
    return h;
}

void SectorCipher::give(Handles* h) const {
    std::lock_guard<std::mutex> lock(mutex_);
    idle_.push_back(h);
}

bool SectorCipher::run(bool decrypting, uint64_t first, uint8_t* data, size_t count) const {
    if (identity_ || count == 0) return true;
    Handles* h = take();
    if (!h) return false;
    bool ok = true;
    const size_t bytes = sectorSize_;
    if (iv_ == Iv::None) {
        ok = (decrypting ? gcry_cipher_decrypt(h->data, data, bytes * count, nullptr, 0)
                         : gcry_cipher_encrypt(h->data, data, bytes * count, nullptr, 0)) == 0;
    } else {
        uint8_t iv[16];
        for (size_t i = 0; i < count && ok; ++i) {
            const uint64_t n = ivTweak_ + (first + i) * ivUnit_;
            std::memset(iv, 0, sizeof iv);
            switch (iv_) {
                case Iv::Plain:
                    for (int b = 0; b < 4; ++b) iv[b] = static_cast<uint8_t>(n >> (8 * b));
                    break;
                case Iv::Plain64:
                case Iv::Essiv:
                    for (int b = 0; b < 8; ++b) iv[b] = static_cast<uint8_t>(n >> (8 * b));
                    break;
                case Iv::Plain64Be:
                    for (int b = 0; b < 8; ++b) iv[15 - b] = static_cast<uint8_t>(n >> (8 * b));
                    break;
                default:
                    break;
            }
            if (iv_ == Iv::Essiv) ok = gcry_cipher_encrypt(h->essiv, iv, sizeof iv, nullptr, 0) == 0;
            uint8_t* p = data + i * bytes;
            ok = ok && gcry_cipher_setiv(h->data, iv, sizeof iv) == 0 &&
                 (decrypting ? gcry_cipher_decrypt(h->data, p, bytes, nullptr, 0)
                             : gcry_cipher_encrypt(h->data, p, bytes, nullptr, 0)) == 0;
        }
        platform::wipe(iv, sizeof iv);
    }
    give(h);
    return ok;
}

bool SectorCipher::decrypt(uint64_t first, uint8_t* data, size_t count) const { return run(true, first, data, count); }
bool SectorCipher::encrypt(uint64_t first, uint8_t* data, size_t count) const { return run(false, first, data, count); }

}  // namespace brantlow::luks
