#include "layers/luks/luks_header.h"

#include <gcrypt.h>

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cstring>
#include <map>

#include "base/bytes.h"
#include "layers/luks/luks_cipher.h"

namespace brantlow::luks {

namespace {

using json = nlohmann::json;

constexpr uint8_t kPrimaryMagic[6] = {'L', 'U', 'K', 'S', 0xBA, 0xBE};
constexpr uint8_t kSecondaryMagic[6] = {'S', 'K', 'U', 'L', 0xBA, 0xBE};
// Where a LUKS2 secondary header may lie: right behind a primary of each
// allowed size.
constexpr uint64_t kSecondaryOffsets[] = {16384, 32768, 65536, 131072, 262144, 524288, 1048576, 2097152, 4194304};
constexpr uint32_t kLuks1SlotActive = 0x00AC71F3;
constexpr size_t kLuks1HeaderBytes = 592;
constexpr int kMaxLuks2Keyslots = 32;
// LUKS2 JSON nests four levels deep; anything deeper is not kept.
constexpr int kMaxJsonDepth = 8;

bool validHdrSize(uint64_t s) {
    return std::find(std::begin(kSecondaryOffsets), std::end(kSecondaryOffsets), s) != std::end(kSecondaryOffsets);
}

// A NUL-terminated text field of width bytes; empty when it fills the
// field or holds control characters.
std::string textField(const uint8_t* b, size_t n, size_t off, size_t width) {
    if (!fieldFits(n, off, width)) return {};
    const auto* p = reinterpret_cast<const char*>(b + off);
    const size_t len = strnlen(p, width);
    if (len == width) return {};
    for (size_t i = 0; i < len; ++i)
        if (static_cast<unsigned char>(p[i]) < 0x20 || p[i] == 0x7F) return {};
    return std::string(p, len);
}

std::string number(uint64_t v) { return std::to_string(v); }

// --- JSON members, read without exceptions ------------------------------

const json* member(const json& o, const char* key) {
    if (!o.is_object()) return nullptr;
    auto it = o.find(key);
    return it == o.end() ? nullptr : &*it;
}

std::string text(const json* v) { return v && v->is_string() ? v->get<std::string>() : std::string(); }

// LUKS2 writes 64-bit numbers as decimal strings; small ones as numbers.
bool u64(const json* v, uint64_t& out) {
    if (!v) return false;
    if (v->is_number_unsigned()) {
        out = v->get<uint64_t>();
        return true;
    }
    if (v->is_number_integer()) {
        const int64_t i = v->get<int64_t>();
        if (i < 0) return false;
        out = static_cast<uint64_t>(i);
        return true;
    }
    if (!v->is_string()) return false;
    const std::string& s = v->get_ref<const std::string&>();
    if (s.empty() || s.size() > 20) return false;
    uint64_t r = 0;
    for (char c : s) {
        if (c < '0' || c > '9') return false;
        if (mulOverflows(r, 10, &r) || addOverflows(r, static_cast<uint64_t>(c - '0'), &r)) return false;
    }
    out = r;
    return true;
}

// An object's members by their decimal keys ("0", "1"...), in order.
std::map<uint64_t, const json*> numbered(const json* o) {
    std::map<uint64_t, const json*> out;
    if (!o || !o->is_object()) return out;
    for (auto it = o->begin(); it != o->end(); ++it) {
        uint64_t k = 0;
        const json key = it.key();
        if (u64(&key, k)) out.emplace(k, &it.value());
    }
    return out;
}

}  // namespace

std::string luks2Checksum(const uint8_t* b, size_t n, const std::string& algorithm) {
    const int algo = hashAlgorithm(algorithm);
    if (!algo || n < kBinaryHeaderBytes) return {};
    gcry_md_hd_t md = nullptr;
    if (gcry_md_open(&md, algo, 0) != 0) return {};
    static const uint8_t zeros[64] = {};
    gcry_md_write(md, b, 448);
    gcry_md_write(md, zeros, sizeof zeros);
    gcry_md_write(md, b + 512, n - 512);
    const size_t len = std::min<size_t>(gcry_md_get_algo_dlen(algo), 64);
    std::string out(reinterpret_cast<const char*>(gcry_md_read(md, algo)), len);
    gcry_md_close(md);
    return out;
}

Decoded<Signature> decodeSignature(const uint8_t* b, size_t n) {
    using R = Decoded<Signature>;
    Signature s;
    const bool primary = bytesAt(b, n, 0, kPrimaryMagic, 6);
    s.secondary = !primary && bytesAt(b, n, 0, kSecondaryMagic, 6);
    if (!primary && !s.secondary) return R::refused("no LUKS header");
    s.version = be16(b, n, 6);
    if (s.version == 1 && primary) {
        if (n < kLuks1HeaderBytes) return R::refused("the LUKS1 header is cut short");
        if (textField(b, n, 8, 32).empty()) return R::refused("the LUKS1 header names no cipher");
        const uint32_t keyBytes = be32(b, n, 108);
        if (keyBytes < 16 || keyBytes > 128) return R::refused("LUKS1 volume key of " + number(keyBytes) + " bytes");
        s.payloadOffset = static_cast<uint64_t>(be32(b, n, 104)) * 512;
        if (s.payloadOffset < kLuks1HeaderBytes)
            return R::refused("the LUKS1 payload offset " + number(s.payloadOffset) + " lies inside the header");
        s.uuid = textField(b, n, 168, 40);
        return R::ok(s);
    }
    if (s.version != 2) return R::refused("LUKS version " + number(static_cast<uint64_t>(s.version)));
    if (n < 512) return R::refused("the LUKS2 header is cut short");
    s.hdrSize = be64(b, n, 8);
    s.seqid = be64(b, n, 16);
    s.hdrOffset = be64(b, n, 256);
    if (!validHdrSize(s.hdrSize)) return R::refused("LUKS2 header size " + number(s.hdrSize));
    if (s.secondary ? s.hdrOffset != s.hdrSize : s.hdrOffset != 0)
        return R::refused("the LUKS2 header says it lies at byte " + number(s.hdrOffset));
    s.uuid = textField(b, n, 168, 40);
    return R::ok(s);
}

Decoded<Header> decodeLuks1(const uint8_t* b, size_t n) {
    using R = Decoded<Header>;
    auto sig = decodeSignature(b, n);
    if (!sig) return R::refused(sig.reason());
    if (sig->version != 1) return R::refused("not a LUKS1 header");
    Header h;
    h.version = 1;
    const std::string name = textField(b, n, 8, 32), mode = textField(b, n, 40, 32);
    h.cipher = mode.empty() ? name : name + "-" + mode;
    h.keyBytes = be32(b, n, 108);
    h.payloadOffset = sig->payloadOffset;
    h.uuid = sig->uuid;
    h.metadataEnd = kLuks1HeaderBytes;
    for (int i = 0; i < 8; ++i) {
        const size_t at = 208 + static_cast<size_t>(i) * 48;
        if (be32(b, n, at) != kLuks1SlotActive) continue;
        Keyslot k;
        k.id = i;
        k.kdf = "pbkdf2";
        k.iterations = be32(b, n, at + 4);
        k.areaOffset = static_cast<uint64_t>(be32(b, n, at + 40)) * 512;
        const uint64_t stripes = be32(b, n, at + 44);
        // The split key: key size times stripes, in whole sectors.
        k.areaSize = (h.keyBytes * stripes + 511) / 512 * 512;
        uint64_t end = 0;
        if (stripes == 0 || stripes > (1u << 20) || addOverflows(k.areaOffset, k.areaSize, &end) ||
            end > kMaxMetadataBytes || k.areaOffset < kLuks1HeaderBytes) {
            h.damage.push_back("key slot " + number(static_cast<uint64_t>(i)) + ": its key material lies at byte " +
                               number(k.areaOffset) + " with " + number(stripes) + " stripes");
            continue;
        }
        h.metadataEnd = std::max(h.metadataEnd, end);
        h.keyslots.push_back(k);
    }
    return R::ok(std::move(h));
}

Decoded<Header> decodeLuks2Json(std::string_view textIn, uint64_t hdrSize) {
    using R = Decoded<Header>;
    // Values nested deeper than LUKS2 ever nests are dropped while parsing.
    const json::parser_callback_t shallow = [](int depth, json::parse_event_t, json&) {
        return depth <= kMaxJsonDepth;
    };
    json j;
    try {
        j = json::parse(textIn.begin(), textIn.end(), shallow, /*allow_exceptions=*/false);
    } catch (const json::exception&) {
        return R::refused("the LUKS2 metadata is not JSON");
    }
    if (j.is_discarded() || !j.is_object()) return R::refused("the LUKS2 metadata is not JSON");

    Header h;
    h.version = 2;
    const json* config = member(j, "config");
    uint64_t jsonSize = 0, keyslotsSize = 0;
    if (!config || !u64(member(*config, "json_size"), jsonSize) || !u64(member(*config, "keyslots_size"), keyslotsSize))
        return R::refused("the LUKS2 metadata has no config");
    if (jsonSize != hdrSize - kBinaryHeaderBytes)
        return R::refused("the LUKS2 JSON size " + number(jsonSize) + " does not fit the header size " + number(hdrSize));
    if (const json* req = member(*config, "requirements")) {
        const json* mandatory = member(*req, "mandatory");
        if (mandatory && mandatory->is_array() && !mandatory->empty()) {
            std::string names;
            for (const json& m : *mandatory)
                if (m.is_string() && names.size() < 200) names += (names.empty() ? "" : ", ") + m.get<std::string>();
            return R::refused("the volume requires " + (names.empty() ? std::string("features") : names) +
                              " (a re-encryption was under way), which this program does not read");
        }
    }

    // The data segment.
    const auto segments = numbered(member(j, "segments"));
    if (segments.empty()) return R::refused("the LUKS2 metadata names no data segment");
    if (segments.size() > 1)
        return R::refused("the volume has " + number(segments.size()) +
                          " data segments (a re-encryption was under way); only volumes with one are read");
    const json& seg = *segments.begin()->second;
    if (text(member(seg, "type")) != "crypt")
        return R::refused("the data segment is of type \"" + text(member(seg, "type")).substr(0, 32) + "\"");
    if (!u64(member(seg, "offset"), h.payloadOffset)) return R::refused("the data segment has no offset");
    const std::string size = text(member(seg, "size"));
    if (size != "dynamic" && !u64(member(seg, "size"), h.payloadSize))
        return R::refused("the data segment has no size");
    if (size != "dynamic" && h.payloadSize == 0) return R::refused("the data segment is empty");
    const json* ivTweak = member(seg, "iv_tweak");
    if (ivTweak && !u64(ivTweak, h.ivTweak)) return R::refused("the data segment's IV tweak cannot be read");
    h.cipher = text(member(seg, "encryption"));
    if (h.cipher.empty() || h.cipher.size() > 64) return R::refused("the data segment names no cipher");
    uint64_t sector = 0;
    if (!u64(member(seg, "sector_size"), sector) || (sector != 512 && sector != 1024 && sector != 2048 && sector != 4096))
        return R::refused("the data segment's sector size " + number(sector) + " is not 512 to 4096");
    h.sectorSize = static_cast<uint32_t>(sector);
    if (h.payloadOffset % 512 || h.payloadOffset < 2 * hdrSize)
        return R::refused("the data segment starts at byte " + number(h.payloadOffset) + ", inside the header");
    if (h.payloadSize % h.sectorSize) return R::refused("the data segment's size is not whole sectors");

    // Key slots; the volume key size from the digest's key slots.
    h.metadataEnd = 2 * hdrSize;
    for (const auto& [id, slot] : numbered(member(j, "keyslots"))) {
        if (id >= kMaxLuks2Keyslots) continue;
        const std::string type = text(member(*slot, "type"));
        if (type != "luks2") continue;
        Keyslot k;
        k.id = static_cast<int>(id);
        uint64_t keySize = 0;
        const json* area = member(*slot, "area");
        const json* kdf = member(*slot, "kdf");
        uint64_t end = 0;
        const std::string label = "key slot " + number(id);
        if (!area || !u64(member(*area, "offset"), k.areaOffset) || !u64(member(*area, "size"), k.areaSize) ||
            addOverflows(k.areaOffset, k.areaSize, &end) || end > kMaxMetadataBytes || k.areaOffset < 2 * hdrSize) {
            h.damage.push_back(label + ": its area cannot be read");
            continue;
        }
        if (!kdf) {
            h.damage.push_back(label + ": no key derivation");
            continue;
        }
        k.kdf = text(member(*kdf, "type"));
        if (k.kdf == "pbkdf2") {
            u64(member(*kdf, "iterations"), k.iterations);
        } else if (k.kdf == "argon2i" || k.kdf == "argon2id") {
            u64(member(*kdf, "time"), k.iterations);
            u64(member(*kdf, "memory"), k.memoryKiB);
        } else {
            h.damage.push_back(label + ": unknown key derivation \"" + k.kdf.substr(0, 32) + "\"");
            continue;
        }
        if (u64(member(*slot, "key_size"), keySize) && keySize > 0 && keySize <= 128 && !h.keyBytes)
            h.keyBytes = static_cast<uint32_t>(keySize);
        h.metadataEnd = std::max(h.metadataEnd, end);
        h.keyslots.push_back(k);
    }
    return R::ok(std::move(h));
}

Decoded<Header> decodeLuks2Copy(const uint8_t* b, size_t n, const Signature& sig) {
    using R = Decoded<Header>;
    if (sig.version != 2 || n < sig.hdrSize || sig.hdrSize < kBinaryHeaderBytes)
        return R::refused("the LUKS2 header is cut short");
    const std::string algorithm = textField(b, n, 72, 32);
    const std::string sum = luks2Checksum(b, static_cast<size_t>(sig.hdrSize), algorithm);
    if (sum.empty()) return R::refused("unknown checksum \"" + algorithm.substr(0, 32) + "\"");
    if (std::memcmp(sum.data(), b + 448, sum.size()) != 0) return R::refused("the checksum does not match");
    const char* js = reinterpret_cast<const char*>(b + kBinaryHeaderBytes);
    const size_t jsonBytes = static_cast<size_t>(sig.hdrSize) - kBinaryHeaderBytes;
    auto h = decodeLuks2Json(std::string_view(js, strnlen(js, jsonBytes)), sig.hdrSize);
    if (h) h->uuid = sig.uuid;
    return h;
}

namespace {

struct Copy {
    Signature sig;
    Decoded<Header> header = Decoded<Header>::refused("not read");
};

// The LUKS2 copy at offset (primary at 0, secondary further on).
Copy readLuks2Copy(const VolumeView& v, uint64_t offset, bool wantSecondary) {
    Copy c;
    uint8_t head[kBinaryHeaderBytes];
    if (!v.readExact(offset, head, sizeof head)) {
        c.header = Decoded<Header>::refused("cannot be read");
        return c;
    }
    auto sig = decodeSignature(head, sizeof head);
    if (!sig || sig->version != 2 || sig->secondary != wantSecondary || (wantSecondary && sig->hdrOffset != offset)) {
        c.header = Decoded<Header>::refused(sig ? "no LUKS2 header there" : sig.reason());
        return c;
    }
    c.sig = *sig;
    std::vector<uint8_t> all(static_cast<size_t>(sig->hdrSize));
    if (!v.readExact(offset, all.data(), all.size())) {
        c.header = Decoded<Header>::refused("cannot be read");
        return c;
    }
    c.header = decodeLuks2Copy(all.data(), all.size(), c.sig);
    return c;
}

}  // namespace

Decoded<Header> readHeader(const VolumeView& v) {
    using R = Decoded<Header>;
    uint8_t head[kBinaryHeaderBytes];
    const bool readable = v.readExact(0, head, sizeof head);
    auto sig = readable ? decodeSignature(head, sizeof head) : Decoded<Signature>::refused("cannot be read");
    if (sig && sig->version == 1) return decodeLuks1(head, sizeof head);

    // LUKS2: the primary, and the secondary behind it (or, where the
    // primary is gone, at each place one may lie).
    Copy primary = readLuks2Copy(v, 0, false);
    std::vector<uint64_t> places;
    if (primary.sig.version == 2)
        places.push_back(primary.sig.hdrSize);
    else
        places.assign(std::begin(kSecondaryOffsets), std::end(kSecondaryOffsets));
    Copy secondary;
    std::string secondaryWhy = "none found";
    for (uint64_t at : places) {
        if (v.sizeBytes() && at >= v.sizeBytes()) break;
        Copy c = readLuks2Copy(v, at, true);
        if (c.sig.version == 2 || places.size() == 1) {
            secondary = std::move(c);
            secondaryWhy = "at byte " + number(at) + ": " + secondary.header.reason();
            break;
        }
    }
    if (!primary.header && !secondary.header) {
        if (primary.sig.version != 2 && secondary.sig.version != 2)
            return R::refused(readable ? sig.reason() : "the first sector cannot be read");
        return R::refused("primary: " + primary.header.reason() + "; secondary " + secondaryWhy);
    }
    // Both sound: the newer one (an interrupted update leaves the other
    // behind).
    const bool useSecondary = !primary.header || (secondary.header && secondary.sig.seqid > primary.sig.seqid);
    Header h = useSecondary ? *secondary.header : *primary.header;
    h.fromSecondary = useSecondary;
    if (!primary.header)
        h.damage.insert(h.damage.begin(), "primary header: " + primary.header.reason() + "; the secondary was read");
    else if (useSecondary)
        h.damage.insert(h.damage.begin(), "the secondary header is newer than the primary; it was read");
    else if (!secondary.header)
        h.damage.push_back("secondary header " + secondaryWhy);
    return R::ok(std::move(h));
}

}  // namespace brantlow::luks
