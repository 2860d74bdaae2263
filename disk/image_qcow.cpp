// QCOW and QCOW2 images through libqcow. The level-1 table of a QCOW2
// image is checked first: an entry that points outside the file means the
// image's map is damaged, and the image is refused with the entry and its
// offset named (libqcow would fail on every read below it). An image over a
// backing file, or an encrypted one, is refused too.
#include <libqcow.h>

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <vector>

#include "base/bytes.h"
#include "disk/image_libyal.h"

namespace brantlow {

namespace {

constexpr uint64_t kMaxL1Entries = 1ull << 25;   // 256 MiB of table: far beyond any real image
constexpr uint64_t kKeptL1Entries = 1ull << 20;  // 8 MiB: 512 TiB of disk in 64 KiB clusters
constexpr uint64_t kL1Piece = 1ull << 16;
constexpr uint64_t kL1OffsetMask = 0x00FFFFFFFFFFFE00ull;
constexpr uint64_t kL1Reserved = 0x7F000000000001FFull;

std::string qcowNum(uint64_t v) {
    char b[32];
    std::snprintf(b, sizeof b, "%" PRIu64, v);
    return b;
}

std::string qcowHex(uint64_t v) {
    char b[32];
    std::snprintf(b, sizeof b, "0x%" PRIx64, v);
    return b;
}

// The map of a QCOW2 image as far as it is checked here.
struct Qcow2Map {
    bool known = false;  // version 2 or 3, header and level-1 table read
    uint32_t clusterBits = 16;
    uint64_t fileSize = 0;
    std::vector<uint64_t> l1;
};

// Checks the header and the level-1 table of a QCOW2 (version 2 or 3)
// image. An empty text: sound (or not QCOW2, left to libqcow).
std::string checkQcow2Tables(FileReadSeek& f, Qcow2Map& map) {
    const uint64_t fileSize = f.sizeBytes();
    uint8_t h[104] = {};
    if (f.readAbsolute(0, h, sizeof h) < 72) return "the QCOW2 header is truncated";
    const uint32_t version = be32(h, sizeof h, 4);
    if (version != 2 && version != 3) return {};
    const uint32_t clusterBits = be32(h, sizeof h, 20);
    if (clusterBits < 9 || clusterBits > 21)
        return "the QCOW2 header is damaged: cluster size 2^" + qcowNum(clusterBits) + " bytes";
    const uint64_t cluster = 1ull << clusterBits;
    const uint64_t diskSize = be64(h, sizeof h, 24);
    const uint64_t l1Size = be32(h, sizeof h, 36);
    const uint64_t l1Offset = be64(h, sizeof h, 40);
    // One level-2 table maps cluster/8 clusters.
    const uint64_t perL1 = cluster * (cluster / 8);
    const uint64_t needed = diskSize / perL1 + (diskSize % perL1 ? 1 : 0);
    if (l1Size < needed || l1Size > kMaxL1Entries)
        return "the QCOW2 header is damaged: its level-1 table has " + qcowNum(l1Size) + " entries where " + qcowNum(needed) +
               " are needed for a disk of " + qcowNum(diskSize) + " bytes";
    if (needed == 0) return {};
    uint64_t l1End = 0;
    if (l1Offset % cluster || addOverflows(l1Offset, l1Size * 8, &l1End) || l1End > fileSize)
        return "the QCOW2 header is damaged: its level-1 table at file offset " + qcowHex(l1Offset) + " (" + qcowNum(l1Size) +
               " entries) lies outside the file (" + qcowNum(fileSize) + " bytes)";
    map.clusterBits = clusterBits;
    map.fileSize = fileSize;
    // Read in pieces; the table is kept (to explain later read failures)
    // when it is of a usual size.
    const bool keep = needed <= kKeptL1Entries;
    std::vector<uint8_t> piece;
    for (uint64_t first = 0; first < needed; first += kL1Piece) {
        const uint64_t n = std::min<uint64_t>(kL1Piece, needed - first);
        piece.assign(static_cast<size_t>(n * 8), 0);
        if (f.readAbsolute(l1Offset + first * 8, piece.data(), piece.size()) != static_cast<long long>(piece.size()))
            return "the QCOW2 level-1 table at file offset " + qcowHex(l1Offset) + " cannot be read";
        for (uint64_t k = 0; k < n; ++k) {
            const uint64_t i = first + k;
            const uint64_t entry = be64(piece.data(), piece.size(), static_cast<size_t>(k * 8));
            if (keep) map.l1.push_back(entry);
            const uint64_t l2 = entry & kL1OffsetMask;
            if (entry == 0) continue;
            uint64_t l2End = 0;
            const bool bad = (entry & kL1Reserved) || l2 % cluster || addOverflows(l2, cluster, &l2End) ||
                             l2End > fileSize || l2 == 0;
            if (!bad) continue;
            const uint64_t from = i * perL1;
            const uint64_t last = diskSize - from > perL1 ? from + perL1 - 1 : diskSize - 1;
            return "the QCOW2 table is damaged: level-1 entry " + qcowNum(i) + " (file offset " + qcowHex(l1Offset + i * 8) +
                   ") holds " + qcowHex(entry) + ", which is no level-2 table inside the file (" + qcowNum(fileSize) +
                   " bytes); it maps disk bytes " + qcowNum(from) + "-" + qcowNum(last);
        }
    }
    map.known = keep;
    return {};
}

// libqcow, loaded the first time such an image is opened.
struct Qcow {
    LibyalCalls<libqcow_file_t, libqcow_error_t> calls{"libqcow"};
    decltype(&libqcow_file_open) open = nullptr;
    decltype(&libqcow_file_get_utf8_backing_filename_size) backingNameSize = nullptr;
    decltype(&libqcow_file_get_utf8_backing_filename) backingName = nullptr;
    decltype(&libqcow_file_get_encryption_method) encryption = nullptr;
    std::string error;
};

const Qcow& qcow() {
    static const Qcow api = [] {
        Qcow a;
        platform::SharedLibrary lib(BRANTLOW_LIBQCOW_SONAME);
        bindLibyalCalls(lib, a.calls, "libqcow_file", "libqcow_file_read_buffer_at_offset");
        lib.bind(a.open, "libqcow_file_open");
        lib.bind(a.backingNameSize, "libqcow_file_get_utf8_backing_filename_size");
        lib.bind(a.backingName, "libqcow_file_get_utf8_backing_filename");
        lib.bind(a.encryption, "libqcow_file_get_encryption_method");
        a.error = lib.error();
        return a;
    }();
    return api;
}

class QcowImage : public LibyalImage<libqcow_file_t, libqcow_error_t> {
public:
    QcowImage() : LibyalImage(qcow().calls) {}

    bool open(const std::string& path, std::string* why) {
        if (table_.Open(path)) {
            std::string fault = checkQcow2Tables(table_, map_);
            if (!fault.empty()) {
                *why = fault;
                return false;
            }
        }
        auto openRead = [&](libqcow_file_t* f, libqcow_error_t** e) {
            return qcow().open(f, path.c_str(), LIBQCOW_OPEN_READ, e);
        };
        if (!openHandle(path, "QCOW", openRead, why)) return false;
        std::string backing;
        if (recordedName(qcow().backingNameSize, qcow().backingName, backing)) {
            *why = "the QCOW image holds only the changes made over its backing file" +
                   (backing.empty() ? std::string() : " (" + backing + ")") +
                   "; images over a backing file are not supported: flatten it first (qemu-img convert)";
            return false;
        }
        uint32_t method = 0;
        if (qcow().encryption(handle_, &method, nullptr) == 1 && method != LIBQCOW_ENCRYPTION_METHOD_NONE) {
            *why = "the QCOW image is encrypted; encrypted images are not supported";
            return false;
        }
        return readMediaSize(why);
    }

protected:
    // A read the map explains fails with the map's fault as its reason.
    long long readMedia(uint64_t offset, void* buffer, size_t count, std::string* why) override {
        const long long n = LibyalImage::readMedia(offset, buffer, count, why);
        if (n < 0) {
            std::string table = tableFault(offset);
            if (!table.empty()) *why = table;
        }
        return n;
    }

private:
    // Why the map fails at a disk offset, when its level-2 entry is what is
    // wrong: the entry and where it lies. Empty otherwise.
    std::string tableFault(uint64_t offset) {
        if (!map_.known) return {};
        const uint64_t cluster = 1ull << map_.clusterBits;
        const uint64_t perL1 = cluster * (cluster / 8);
        const uint64_t i = offset / perL1;
        if (i >= map_.l1.size()) return {};
        const uint64_t l2 = map_.l1[static_cast<size_t>(i)] & kL1OffsetMask;
        if (!l2) return {};
        const uint64_t at = l2 + (offset % perL1) / cluster * 8;
        uint8_t b[8] = {};
        if (table_.readAbsolute(at, b, sizeof b) != static_cast<long long>(sizeof b)) return {};
        const uint64_t entry = be64(b, sizeof b, 0);
        uint64_t host = 0, end = 0;
        if (entry & (1ull << 62)) {  // compressed: the offset takes the low 62 - (bits - 8) bits
            host = entry & ((1ull << (62 - (map_.clusterBits - 8))) - 1);
            end = host + 1;
        } else {
            host = entry & kL1OffsetMask;
            if (!host) return {};  // unallocated, or reads as zeros
            if (addOverflows(host, cluster, &end)) end = UINT64_MAX;
        }
        if (end <= map_.fileSize && (entry & (1ull << 62) || host % cluster == 0)) return {};
        return "the QCOW2 table is damaged: the level-2 entry at file offset " + qcowHex(at) + " holds " + qcowHex(entry) +
               ", which points outside the file (" + qcowNum(map_.fileSize) + " bytes)";
    }

    FileReadSeek table_;  // the file itself, to name what is wrong with its map
    Qcow2Map map_;
};

}  // namespace

std::shared_ptr<ContainerReader> openQcowImage(const std::string& path, std::string* why) {
    if (!qcow().error.empty()) {
        *why = qcow().error;
        return nullptr;
    }
    auto r = std::make_shared<QcowImage>();
    if (!r->open(path, why)) return nullptr;
    return r;
}

}  // namespace brantlow
