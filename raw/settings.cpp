#include "raw/settings.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>

#include "base/bytes.h"
#include "base/texts.h"
#include "platform/files.h"
#include "platform/output_file.h"

namespace brantlow::raw {

namespace {

void put16(uint8_t* p, uint16_t v) {
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
}
void put32(uint8_t* p, uint32_t v) {
    for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}
void put64(uint8_t* p, uint64_t v) {
    for (int i = 0; i < 8; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}

// UTF-16 units from a record field: stops at the terminator or after max units.
std::u16string units(const uint8_t* p, size_t max) {
    std::u16string s;
    for (size_t i = 0; i < max; ++i) {
        char16_t c = static_cast<char16_t>(p[2 * i] | (p[2 * i + 1] << 8));
        if (c == 0) break;
        s.push_back(c);
    }
    return s;
}

std::string trim(const std::string& s) {
    size_t a = 0, b = s.size();
    while (a < b && (s[a] == ' ' || s[a] == '\t' || s[a] == '\r' || s[a] == '\n')) ++a;
    while (b > a && (s[b - 1] == ' ' || s[b - 1] == '\t' || s[b - 1] == '\r' || s[b - 1] == '\n')) --b;
    return s.substr(a, b - a);
}

int32_t clamp32(int64_t v) {
    return static_cast<int32_t>(std::clamp<int64_t>(v, INT32_MIN, INT32_MAX));
}

}  // namespace

std::array<uint8_t, kRecordBytes> encodeRecord(const SettingsRecord& r) {
    std::array<uint8_t, kRecordBytes> b{};
    for (size_t i = 0; i < kExtensionUnits && i < r.extension.size(); ++i) put16(&b[2 * i], r.extension[i]);
    b[10] = r.extensionLength;
    std::memcpy(&b[11], r.startSignature.data(), kSignatureMax);
    std::memcpy(&b[21], r.endSignature.data(), kSignatureMax);
    b[31] = std::min<uint8_t>(r.startLength, kSignatureMax);
    b[32] = std::min<uint8_t>(r.endLength, kSignatureMax);
    b[33] = r.index;
    put32(&b[34], static_cast<uint32_t>(r.sizeOffset));
    put32(&b[38], static_cast<uint32_t>(r.sizeLength));
    put32(&b[42], static_cast<uint32_t>(r.headerSize));
    b[46] = r.sizeIncludesHeader;
    put32(&b[47], r.bytesAfterEnd);
    put64(&b[51], static_cast<uint64_t>(r.approximateSize));
    put64(&b[59], static_cast<uint64_t>(r.skipSize));
    for (size_t i = 0; i < kCategoryUnits && i < r.category.size(); ++i) put16(&b[67 + 2 * i], r.category[i]);
    put32(&b[167], r.flags);
    return b;
}

SettingsRecord decodeRecord(const uint8_t* p) {
    const size_t n = kRecordBytes;
    SettingsRecord r;
    r.extension = units(p, kExtensionUnits);
    r.extensionLength = p[10];
    std::memcpy(r.startSignature.data(), p + 11, kSignatureMax);
    std::memcpy(r.endSignature.data(), p + 21, kSignatureMax);
    r.startLength = std::min<uint8_t>(p[31], kSignatureMax);
    r.endLength = std::min<uint8_t>(p[32], kSignatureMax);
    r.index = p[33];
    r.sizeOffset = static_cast<int32_t>(le32(p, n, 34));
    r.sizeLength = static_cast<int32_t>(le32(p, n, 38));
    r.headerSize = static_cast<int32_t>(le32(p, n, 42));
    r.sizeIncludesHeader = p[46];
    r.bytesAfterEnd = le32(p, n, 47);
    r.approximateSize = static_cast<int64_t>(le64(p, n, 51));
    r.skipSize = static_cast<int64_t>(le64(p, n, 59));
    r.category = units(p + 67, kCategoryUnits);
    r.flags = le32(p, n, 167);
    return r;
}

std::vector<uint8_t> parseSignatureText(const std::string& text) {
    std::vector<uint8_t> out;
    size_t pos = 0;
    while (pos <= text.size()) {
        size_t comma = text.find(',', pos);
        if (comma == std::string::npos) comma = text.size();
        std::string piece = trim(text.substr(pos, comma - pos));
        pos = comma + 1;
        if (piece.empty()) continue;
        const char* s = piece.c_str();
        if (s[0] == '0' && (s[1] == 'x' || s[1] == 'X')) s += 2;
        unsigned long long v = 0;
        for (; *s; ++s) {
            int d;
            if (*s >= '0' && *s <= '9') d = *s - '0';
            else if (*s >= 'a' && *s <= 'f') d = *s - 'a' + 10;
            else if (*s >= 'A' && *s <= 'F') d = *s - 'A' + 10;
            else break;
            v = (v << 4) | static_cast<unsigned>(d);
        }
        out.push_back(static_cast<uint8_t>(v));
    }
    return out;
}

int64_t parseDecimal(const std::string& text) {
    std::string t = trim(text);
    size_t i = 0;
    bool neg = false;
    if (i < t.size() && (t[i] == '+' || t[i] == '-')) neg = t[i++] == '-';
    __int128 v = 0;
    for (; i < t.size() && t[i] >= '0' && t[i] <= '9'; ++i) {
        v = v * 10 + (t[i] - '0');
        if (v > static_cast<__int128>(INT64_MAX)) {
            v = INT64_MAX;
            break;
        }
    }
    return static_cast<int64_t>(neg ? -v : v);
}

bool buildRecord(const EditorFields& f, uint8_t index, SettingsRecord& r, std::string& message) {
    r = SettingsRecord{};
    r.index = index;
    std::u16string ext = utf8ToUtf16(trim(f.extension));
    if (ext.empty()) {
        message = "extention length is zero..";
        return false;
    }
    r.extensionLength = static_cast<uint8_t>(std::min<size_t>(ext.size(), 255));
    r.extension = ext.substr(0, kExtensionUnits);
    auto start = parseSignatureText(f.startSignature);
    if (start.empty()) {
        message = "signature length is zero..";
        return false;
    }
    auto end = parseSignatureText(f.endSignature);
    if (start.size() > kSignatureMax || end.size() > kSignatureMax) {
        message = "a signature can hold at most 10 bytes..";
        return false;
    }
    std::copy(start.begin(), start.end(), r.startSignature.begin());
    std::copy(end.begin(), end.end(), r.endSignature.begin());
    r.startLength = static_cast<uint8_t>(start.size());
    r.endLength = static_cast<uint8_t>(end.size());
    int64_t off = parseDecimal(f.sizeOffset);
    r.sizeOffset = off > 0 ? clamp32(off) : -1;
    r.sizeLength = clamp32(parseDecimal(f.sizeLength));
    r.headerSize = clamp32(parseDecimal(f.headerSize));
    r.sizeIncludesHeader = f.sizeIncludesHeader ? 1 : 0;
    int64_t after = parseDecimal(f.bytesAfterEnd);
    r.bytesAfterEnd = static_cast<uint32_t>(std::clamp<int64_t>(after, 0, UINT32_MAX));
    r.approximateSize = parseDecimal(f.approximateSize);
    r.skipSize = parseDecimal(f.skipSize);
    std::u16string cat = utf8ToUtf16(f.category);
    if (!cat.empty()) r.category = cat.substr(0, kCategoryUnits);
    r.flags = (f.startRepeats ? kFlagStartRepeats : 0) | (f.dropInvalid ? kFlagDropInvalid : 0) |
              (f.byContent ? kFlagByContent : 0);
    return true;
}

AppendResult appendRecord(const std::string& path, const EditorFields& f) {
    AppendResult res;
    std::vector<uint8_t> bytes;
    int err = platform::readWholeFile(path, kMaxRecordsPerFile * kRecordBytes + kRecordBytes, bytes);
    if (err == ENOENT) {
        bytes.clear();
    } else if (err == EFBIG) {
        res.message = "this file already holds 256 entries; choose another file..";
        return res;
    } else if (err) {
        res.message = "file can not be created";
        return res;
    }
    uint64_t index = bytes.size() / kRecordBytes;
    if (index >= kMaxRecordsPerFile) {
        res.message = "this file already holds 256 entries; choose another file..";
        return res;
    }
    SettingsRecord r;
    if (!buildRecord(f, static_cast<uint8_t>(index), r, res.message)) return res;
    auto rec = encodeRecord(r);
    bytes.insert(bytes.end(), rec.begin(), rec.end());
    if (int e = platform::writeWholeFile(path, bytes.data(), bytes.size())) {
        res.message = std::string("the entry could not be written: ") + std::strerror(e);
        return res;
    }
    res.ok = true;
    res.message = "everything initialized well.....";
    return res;
}

bool parseSettingsBytes(const uint8_t* data, size_t len, bool operatorFile, std::vector<SettingsRecord>& out,
                        std::string& message) {
    // A file must be whole records; the last record must start within the
    // first MiB; an operator's file may not name a size field wider than 8.
    if (len < kRecordBytes || len % kRecordBytes != 0 || len - kRecordBytes > kMaxLastRecordPos) {
        message = "not a valid file..";
        return false;
    }
    const uint8_t* last = data + len - kRecordBytes;
    if (operatorFile && static_cast<int32_t>(le32(last, kRecordBytes, 38)) > 8) {
        message = "not a valid file..";
        return false;
    }
    size_t count = std::min<size_t>(static_cast<size_t>(last[33]) + 1, len / kRecordBytes);
    out.reserve(out.size() + count);
    for (size_t i = 0; i < count; ++i) out.push_back(decodeRecord(data + i * kRecordBytes));
    return true;
}

bool readSettingsFile(const std::string& path, bool operatorFile, std::vector<SettingsRecord>& out,
                      std::string& message, bool quietMissing) {
    std::vector<uint8_t> bytes;
    int err = platform::readWholeFile(path, kMaxLastRecordPos + kRecordBytes, bytes);
    if (err == EFBIG) {
        message = "not a valid file..";
        return false;
    }
    if (err) {
        message = quietMissing ? "" : "can not open file";
        return false;
    }
    return parseSettingsBytes(bytes.data(), bytes.size(), operatorFile, out, message);
}

}  // namespace brantlow::raw
