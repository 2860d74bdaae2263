#include "layers/luks/luks_unlock.h"

#include <libcryptsetup.h>

#include <algorithm>
#include <cerrno>
#include <mutex>
#include <vector>

#include "platform/memory_file.h"

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

// The library's copy of the volume's metadata, loaded.
class MetadataCopy {
public:
    ~MetadataCopy() {
        if (cd_) crypt_free(cd_);
    }
    bool load(const VolumeView& v, const Header& h) {
        static std::once_flag once;
        std::call_once(once, [] {
            crypt_set_log_callback(nullptr, quiet, nullptr);
            // The copy is this process's own: no other program can touch it.
            crypt_metadata_locking(nullptr, 0);
        });
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
        if (crypt_init(&cd_, file_.path().c_str()) < 0) {
            error = "the header copy cannot be opened";
            return false;
        }
        crypt_set_log_callback(cd_, collect, &log_);
        if (crypt_load(cd_, h.version == 1 ? CRYPT_LUKS1 : CRYPT_LUKS2, nullptr) < 0) {
            error = "libcryptsetup cannot read the header" + (log_.empty() ? std::string() : ": " + log_);
            return false;
        }
        return true;
    }
    crypt_device* cd() const { return cd_; }
    const std::string& lastLog() const { return log_; }
    std::string error;

private:
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
    const int keySize = crypt_get_volume_key_size(copy.cd());
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
        const int r = crypt_volume_key_get(copy.cd(), k.id, key.data(), &size,
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
        const int r = crypt_volume_key_verify(copy.cd(), reinterpret_cast<const char*>(key.data()), key.size());
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
