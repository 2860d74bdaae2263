// E01 (Expert Witness / EnCase) images, single or split into segment files
// (.E01, .E02, …), through libewf. libewf opens a set with a truncated
// segment, or with its last segments missing, and reads zeros where the
// data is gone; so the set's own section chains are walked first, and a set
// that is cut short is refused with the segment named. Chunks that fail
// their checksum are reported (by offset) and read as damaged.
#include <libewf.h>

#include <algorithm>
#include <cctype>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <vector>

#include "base/bytes.h"
#include "disk/image_libyal.h"

namespace brantlow {

namespace {

constexpr uint8_t kEvf1[8] = {'E', 'V', 'F', 0x09, 0x0D, 0x0A, 0xFF, 0x00};
constexpr size_t kSectionBytes = 76;
constexpr int kMaxSections = 1 << 20;

std::string num(uint64_t v) {
    char b[32];
    std::snprintf(b, sizeof b, "%" PRIu64, v);
    return b;
}

// The name of the segment after name: .E01 → .E02, .E99 → .EAA, .EAZ → .EBA.
std::string nextSegmentName(const std::string& name) {
    if (name.size() < 4 || name[name.size() - 4] != '.') return name + " (next segment)";
    std::string s = name;
    char& a = s[s.size() - 3];
    char& b = s[s.size() - 2];
    char& c = s[s.size() - 1];
    if (std::isdigit(static_cast<unsigned char>(b)) && std::isdigit(static_cast<unsigned char>(c))) {
        int v = (b - '0') * 10 + (c - '0') + 1;
        if (v <= 99) {
            b = static_cast<char>('0' + v / 10);
            c = static_cast<char>('0' + v % 10);
        } else {
            const char A = std::isupper(static_cast<unsigned char>(a)) ? 'A' : 'a';
            b = A;
            c = A;
        }
        return s;
    }
    auto bump = [](char& ch) {
        if (ch == 'Z' || ch == 'z') {
            ch = ch == 'Z' ? 'A' : 'a';
            return true;  // carry
        }
        ++ch;
        return false;
    };
    if (bump(c) && bump(b)) bump(a);
    return s;
}

// Walks the section chain of each segment file of an EWF-E01 set. Returns
// an empty text when the set is whole, else what is wrong with which segment.
std::string checkSegments(const std::vector<std::string>& names) {
    const int count = static_cast<int>(names.size());
    for (int i = 0; i < count; ++i) {
        const std::string& name = names[static_cast<size_t>(i)];
        const std::string label = "segment " + num(static_cast<uint64_t>(i + 1)) + " (" + baseName(name) + ")";
        FileReadSeek f;
        if (!f.Open(name)) return label + " cannot be opened: " + std::strerror(f.openError());
        const uint64_t size = f.sizeBytes();
        uint8_t head[13] = {};
        if (f.readAbsolute(0, head, sizeof head) != static_cast<long long>(sizeof head))
            return label + " is truncated: it holds " + num(size) + " bytes, less than its file header";
        if (std::memcmp(head, kEvf1, 8) != 0) return {};  // not EWF-E01: left to libewf
        uint64_t at = 13;
        std::string last;
        bool ended = false;
        for (int k = 0; k < kMaxSections && !ended; ++k) {
            uint8_t d[kSectionBytes] = {};
            if (at + kSectionBytes > size || f.readAbsolute(at, d, sizeof d) != static_cast<long long>(sizeof d))
                return label + " is truncated: it ends at byte " + num(size) + ", where a section header at byte " +
                       num(at) + " was expected" + (last.empty() ? "" : " (after its \"" + last + "\" section)");
            std::string type(reinterpret_cast<const char*>(d), strnlen(reinterpret_cast<const char*>(d), 16));
            const uint64_t next = le64(d, sizeof d, 16);
            const uint64_t length = le64(d, sizeof d, 24);
            if (type == "done") return {};
            if (type == "next") {
                ended = true;
                if (i + 1 < count) break;
                return "segment " + num(static_cast<uint64_t>(i + 2)) + " (" + baseName(nextSegmentName(name)) +
                       ") is missing: " + baseName(name) + " says the set goes on";
            }
            uint64_t end = 0;
            if (length && (addOverflows(at, length, &end) || end > size))
                return label + " is truncated: it ends at byte " + num(size) + ", but its \"" + type +
                       "\" section at byte " + num(at) + " runs to byte " + (end ? num(end) : std::string("(past 2^64)"));
            if (next <= at) return label + " is damaged: its \"" + type + "\" section at byte " + num(at) +
                                   " points back to byte " + num(next);
            last = type;
            at = next;
        }
        if (!ended) return label + " is damaged: its sections do not end";
    }
    return {};
}

// libewf, loaded the first time such an image is opened.
struct Ewf {
    LibyalCalls<libewf_handle_t, libewf_error_t> calls{"libewf"};
    decltype(&libewf_glob) glob = nullptr;
    decltype(&libewf_glob_free) globFree = nullptr;
    decltype(&libewf_handle_open) open = nullptr;
    decltype(&libewf_handle_segment_files_corrupted) corrupted = nullptr;
    decltype(&libewf_handle_get_bytes_per_sector) bytesPerSector = nullptr;
    decltype(&libewf_handle_get_number_of_checksum_errors) checksumErrors = nullptr;
    decltype(&libewf_handle_get_checksum_error) checksumError = nullptr;
    std::string error;
};

const Ewf& ewf() {
    static const Ewf api = [] {
        Ewf a;
        platform::SharedLibrary lib(BRANTLOW_LIBEWF_SONAME);
        bindLibyalCalls(lib, a.calls, "libewf_handle", "libewf_handle_read_random");
        lib.bind(a.glob, "libewf_glob");
        lib.bind(a.globFree, "libewf_glob_free");
        lib.bind(a.open, "libewf_handle_open");
        lib.bind(a.corrupted, "libewf_handle_segment_files_corrupted");
        lib.bind(a.bytesPerSector, "libewf_handle_get_bytes_per_sector");
        lib.bind(a.checksumErrors, "libewf_handle_get_number_of_checksum_errors");
        lib.bind(a.checksumError, "libewf_handle_get_checksum_error");
        a.error = lib.error();
        return a;
    }();
    return api;
}

// The segment files of the set that path opens (libewf's glob, or the one file).
std::vector<std::string> segmentNames(const std::string& path) {
    std::vector<std::string> names;
    libewf_error_t* e = nullptr;
    char** globbed = nullptr;
    int n = 0;
    if (ewf().glob(path.c_str(), path.size(), LIBEWF_FORMAT_UNKNOWN, &globbed, &n, &e) == 1 && n > 0) {
        for (int i = 0; i < n; ++i) names.emplace_back(globbed[i]);
        ewf().globFree(globbed, n, nullptr);
    } else {
        if (e) ewf().calls.freeError(&e);
        names.push_back(path);  // a name libewf cannot glob: the one file
    }
    return names;
}

class EwfImage : public LibyalImage<libewf_handle_t, libewf_error_t> {
public:
    EwfImage() : LibyalImage(ewf().calls) {}

    bool open(const std::string& path, std::string* why) {
        std::vector<std::string> names = segmentNames(path);
        std::string fault = checkSegments(names);
        if (!fault.empty()) {
            *why = "the E01 set is incomplete: " + fault;
            return false;
        }
        std::vector<char*> argv;
        for (auto& s : names) argv.push_back(s.data());
        auto openRead = [&](libewf_handle_t* h, libewf_error_t** e) {
            return ewf().open(h, argv.data(), static_cast<int>(argv.size()), LIBEWF_OPEN_READ, e);
        };
        if (!openHandle(path, "E01", openRead, why)) return false;
        if (ewf().corrupted(handle_, nullptr) == 1) {
            *why = "the E01 set is damaged: libewf finds its segment files corrupted";
            return false;
        }
        if (!readMediaSize(why)) return false;
        uint32_t bps = 0;
        if (ewf().bytesPerSector(handle_, &bps, nullptr) == 1) declaredSectorSize_ = bps;
        sectorBytes_ = bps ? bps : 512;
        return true;
    }

protected:
    // Chunks that fail their checksum come back zero-filled with an entry in
    // the handle's error list: every range seen there is damaged, for good.
    size_t soundPrefix(uint64_t offset, size_t count, std::string* why) override {
        uint32_t errors = 0;
        if (ewf().checksumErrors(handle_, &errors, nullptr) == 1) {
            for (; knownErrors_ < errors; ++knownErrors_) {
                uint64_t first = 0, sectors = 0;
                if (ewf().checksumError(handle_, knownErrors_, &first, &sectors, nullptr) != 1) continue;
                uint64_t a = 0, len = 0, b = 0;
                if (mulOverflows(first, sectorBytes_, &a) || mulOverflows(sectors, sectorBytes_, &len) ||
                    addOverflows(a, len, &b))
                    continue;
                bad_.emplace_back(a, b);
            }
        }
        const uint64_t end = offset + count;
        uint64_t firstBad = end;
        std::pair<uint64_t, uint64_t> hit{0, 0};
        for (const auto& r : bad_) {
            if (r.first < end && r.second > offset) {
                uint64_t s = std::max(r.first, offset);
                if (s < firstBad) {
                    firstBad = s;
                    hit = r;
                }
            }
        }
        if (firstBad == end) return count;
        *why = "the chunk holding sectors " + num(hit.first / sectorBytes_) + "-" + num(hit.second / sectorBytes_ - 1) +
               " fails its checksum";
        return static_cast<size_t>(firstBad - offset);
    }

private:
    uint32_t sectorBytes_ = 512;
    uint32_t knownErrors_ = 0;
    std::vector<std::pair<uint64_t, uint64_t>> bad_;
};

}  // namespace

std::shared_ptr<ContainerReader> openEwfImage(const std::string& path, std::string* why) {
    if (!ewf().error.empty()) {
        *why = ewf().error;
        return nullptr;
    }
    auto r = std::make_shared<EwfImage>();
    if (!r->open(path, why)) return nullptr;
    return r;
}

}  // namespace brantlow
