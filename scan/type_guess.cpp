#include "scan/type_guess.h"

#include <vector>

#include "raw/default_types.h"
#include "raw/settings.h"

namespace brantlow {

namespace {

struct Signature {
    std::vector<uint8_t> bytes;  // 0x2A matches any byte
    std::string extension;
};

const std::vector<Signature>& signatures() {
    static const std::vector<Signature> table = [] {
        std::vector<Signature> t;
        for (const raw::DefaultType& d : raw::defaultTypeTable()) {
            Signature s{raw::parseSignatureText(d.start), d.extension};
            if (!s.bytes.empty()) t.push_back(std::move(s));
        }
        return t;
    }();
    return table;
}

}  // namespace

std::string guessExtensionFromBytes(const uint8_t* head, size_t n) {
    if (!head) return {};
    for (const Signature& s : signatures()) {
        if (s.bytes.size() > n) continue;
        bool ok = true;
        for (size_t i = 0; i < s.bytes.size() && ok; ++i)
            if (s.bytes[i] != 0x2A && s.bytes[i] != head[i]) ok = false;
        if (ok) return s.extension;
    }
    return {};
}

}  // namespace brantlow
