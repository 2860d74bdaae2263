#include "layers/luks/luks_unlock.h"

#include <libcryptsetup.h>

#include <algorithm>
#include <cerrno>
#include <vector>

#include "platform/memory_file.h"
#include "platform/shared_library.h"

namespace brantlow::luks {

namespace {

void quiet(int, const char*, void*) {}

// Keeps the library's last error line.
void collect(int level, const char* msg, void* user) {
    if (level != CRYPT_LOG_ERROR || !msg || !user) return;
    std::string& s = *static_cast<std::string*>(user);
    s = msg;
    while (!s.empty() && (s.back() == '\n' || s.back() == '\r')) s.pop_back();
}

// libcryptsetup, loaded the first time a LUKS volume is opened.
struct CryptSetup {
    decltype(&crypt_init) init = nullptr;
    decltype(&crypt_free) free = nullptr;
    decltype(&crypt_set_log_callback) setLogCallback = nullptr;
    decltype(&crypt_metadata_locking) metadataLocking = nullptr;
    decltype(&crypt_load) load = nullptr;
    decltype(&crypt_get_volume_key_size) volumeKeySize = nullptr;
    decltype(&crypt_volume_key_get) volumeKeyGet = nullptr;
    decltype(&crypt_volume_key_verify) volumeKeyVerify = nullptr;
    std::string error;  // why it cannot be used
};

const CryptSetup& cryptSetup() {
    static const CryptSetup api = [] {
        CryptSetup a;
        platform::SharedLibrary lib(BRANTLOW_CRYPTSETUP_SONAME);
        lib.bind(a.init, "crypt_init");
        lib.bind(a.free, "crypt_free");
        lib.bind(a.setLogCallback, "crypt_set_log_callback");
        lib.bind(a.metadataLocking, "crypt_metadata_locking");
        lib.bind(a.load, "crypt_load");
        lib.bind(a.volumeKeySize, "crypt_get_volume_key_size");
        lib.bind(a.volumeKeyGet, "crypt_volume_key_get");
        lib.bind(a.volumeKeyVerify, "crypt_volume_key_verify");
        a.error = lib.error();
        if (a.error.empty()) {
            a.setLogCallback(nullptr, quiet, nullptr);
            // The copy is this process's own: no other program can touch it.
            a.metadataLocking(nullptr, 0);
        }
        return a;
    }();
    return api;
}

// The library's copy of the volume's metadata, loaded.
class MetadataCopy {
public:
    ~MetadataCopy() {
        if (cd_) cs_.free(cd_);
    }
    bool load(const VolumeView& v, const Header& h) {
        if (!cs_.error.empty()) {
            error = cs_.error;
            return false;
        }
        int err = 0;
        if (!file_.create("brantlow-luks-metadata", &err)) {
            error = "no in-memory file for the header (" + std::to_string(err) + ")";
            return false;
        }
        const uint64_t end = std::min({h.metadataEnd, kMaxMetadataBytes, v.sizeBytes()});
        std::vector<uint8_t> buf(1 << 20);
        for (uint64_t at = 0; at < end; at += buf.size()) {
            const size_t n = static_cast<size_t>(std::min<uint64_t>(buf.size(), end - at));
            v.read(at, buf.data(), n);  // unreadable sectors stay zeros
            if (!file_.writeAt(at, buf.data(), n)) {
                error = "the header cannot be copied to memory";
                return false;
            }
        }
        // The library checks that the device reaches the payload; the
        // payload itself is not needed (the length costs no memory).
        file_.resize(std::max(end, std::min<uint64_t>(h.payloadOffset, 1ull << 40)));
        if (cs_.init(&cd_, file_.path().c_str()) < 0) {
            error = "the header copy cannot be opened";
            return false;
        }
        cs_.setLogCallback(cd_, collect, &log_);
        if (cs_.load(cd_, h.version == 1 ? CRYPT_LUKS1 : CRYPT_LUKS2, nullptr) < 0) {
            error = "libcryptsetup cannot read the header" + (log_.empty() ? std::string() : ": " + log_);
            return false;
        }
        return true;
    }
    crypt_device* cd() const { return cd_; }
    const CryptSetup& api() const { return cs_; }
    const std::string& lastLog() const { return log_; }
    std::string error;

private:
    const CryptSetup& cs_ = cryptSetup();
    platform::MemoryFile file_;
    crypt_device* cd_ = nullptr;
    std::string log_;
};

std::string mib(uint64_t kib) { return std::to_string(kib / 1024) + " MiB"; }

}  // namespace

uint64_t maxKdfMemoryKiB() {
    constexpr uint64_t kFormatLimit = 4ull << 20;  // 4 GiB, the most a LUKS2 key slot may ask
    const uint64_t ram = platform::physicalMemoryBytes();
    return ram ? std::min(kFormatLimit, ram / 2 / 1024) : kFormatLimit;
}

Unlocked unlockWithPassphrase(const VolumeView& v, const Header& h, const platform::Secret& passphrase, bool keyFile) {
    Unlocked out;
    if (h.keyslots.empty()) {
        out.error = "no key slot is left: only the volume key opens this volume";
        return out;
    }
    MetadataCopy copy;
    if (!copy.load(v, h)) {
        out.error = copy.error;
        return out;
    }
    const int keySize = copy.api().volumeKeySize(copy.cd());
    if (keySize <= 0 || keySize > 512) {
        out.error = "the volume key size cannot be read";
        return out;
    }
    std::vector<std::string> passedOver;
    bool tried = false;
    std::vector<char> key(static_cast<size_t>(keySize));
    for (const Keyslot& k : h.keyslots) {
        if (k.memoryKiB > maxKdfMemoryKiB()) {
            passedOver.push_back("key slot " + std::to_string(k.id) + " needs " + mib(k.memoryKiB) +
                                 " of memory for its key derivation (this machine gives " + mib(maxKdfMemoryKiB()) + ")");
            continue;
        }
        size_t size = key.size();
        const int r = copy.api().volumeKeyGet(copy.cd(), k.id, key.data(), &size,
                                              reinterpret_cast<const char*>(passphrase.data()), passphrase.size());
        if (r >= 0) {
            out.key.assign(key.data(), size);
            platform::wipe(key.data(), key.size());
            return out;
        }
        if (r == -EPERM) {
            tried = true;
        } else {
            std::string why = r == -ENOMEM ? "not enough memory for its key derivation" : copy.lastLog();
            passedOver.push_back("key slot " + std::to_string(k.id) + (why.empty() ? " cannot be used" : ": " + why));
        }
    }
    platform::wipe(key.data(), key.size());
    if (tried) {
        out.wrongAnswer = true;
        out.error = keyFile ? "wrong key file: it opens no key slot" : "wrong passphrase: it opens no key slot";
    } else {
        out.error = "no key slot could be tried";
    }
    for (const std::string& p : passedOver) out.error += "; " + p;
    return out;
}

Unlocked checkVolumeKey(const VolumeView& v, const Header& h, const platform::Secret& key) {
    Unlocked out;
    if (h.keyBytes && key.size() != h.keyBytes) {
        out.wrongAnswer = true;
        out.error = "the volume key has " + std::to_string(key.size()) + " bytes; this volume's has " +
                    std::to_string(h.keyBytes);
        return out;
    }
    MetadataCopy copy;
    // Where the header cannot be checked against, the key is taken as it
    // is: what it decrypts shows whether it was right.
    if (copy.load(v, h)) {
        const int r = copy.api().volumeKeyVerify(copy.cd(), reinterpret_cast<const char*>(key.data()), key.size());
        if (r == -EPERM) {
            out.wrongAnswer = true;
            out.error = "the volume key does not match this volume's digest";
            return out;
        }
    }
    out.key = key;
    return out;
}

}  // namespace brantlow::luks
