#include "disk/source.h"

#include "disk/probe.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>

#include "base/bytes.h"
#include "disk/image_reader.h"
#include "platform/files.h"
#include "platform/posix_file.h"

namespace brantlow {

namespace {

constexpr size_t kMaxSplitSegments = 10000;

bool startsWith(const uint8_t* p, size_t n, const char* sig, size_t len) { return n >= len && std::memcmp(p, sig, len) == 0; }

// A split raw set read as one disk: the files follow one another.
class SplitRawReader : public readWriteInterface {
public:
    ~SplitRawReader() override {
        for (auto& s : segments_) platform::closeFd(s.fd);
    }
    bool Open(const std::string&) override { return false; }  // made by openSourceReader

    // Opens every file; false with *why when one cannot be opened.
    bool openAll(const std::vector<std::string>& names, std::string* why) {
        uint64_t at = 0;
        for (const std::string& n : names) {
            int err = 0;
            int fd = platform::openSource(n, &err);
            uint64_t size = 0;
            if (fd < 0 || !platform::objectSize(fd, &size)) {
                if (fd >= 0) platform::closeFd(fd);
                *why = "segment " + baseName(n) + " of the split set cannot be opened: " +
                       std::strerror(err ? err : EIO);
                return false;
            }
            segments_.push_back({fd, at, size});
            if (addOverflows(at, size, &at)) {
                *why = "the split set is larger than 2^64 bytes";
                return false;
            }
        }
        total_ = at;
        return true;
    }

    long long readAbsolute(uint64_t offset, void* buffer, size_t count) override {
        if (count > kMaxReadBytes) return -1;
        if (offset >= total_) return 0;
        auto* out = static_cast<uint8_t*>(buffer);
        size_t done = 0;
        while (done < count && offset + done < total_) {
            const uint64_t pos = offset + done;
            // The segment holding pos: the last one starting at or before it.
            auto it = std::upper_bound(segments_.begin(), segments_.end(), pos,
                                       [](uint64_t p, const Segment& s) { return p < s.start; });
            if (it == segments_.begin()) break;
            const Segment& s = *(it - 1);
            const uint64_t in = pos - s.start;
            if (in >= s.size) break;  // cannot happen: the files follow one another
            const size_t want = static_cast<size_t>(std::min<uint64_t>(count - done, s.size - in));
            long long n = platform::preadFull(s.fd, out + done, want, in);
            if (n <= 0) return done ? static_cast<long long>(done) : -1;
            done += static_cast<size_t>(n);
            if (static_cast<size_t>(n) < want) break;  // the file shrank under us
        }
        return static_cast<long long>(done);
    }

    uint64_t sizeBytes() const override { return total_; }

    void adviseSequential() override {
        for (auto& s : segments_) platform::adviseSequential(s.fd);
    }

private:
    struct Segment {
        int fd;
        uint64_t start;
        uint64_t size;
    };
    std::vector<Segment> segments_;
    uint64_t total_ = 0;
};

// The suffix after "001" / "aa" of the same width, or empty past the last.
std::string nextSuffix(std::string s) {
    for (size_t i = s.size(); i-- > 0;) {
        char& c = s[i];
        if (c == '9') {
            c = '0';
        } else if (c == 'z') {
            c = 'a';
        } else if (c == 'Z') {
            c = 'A';
        } else {
            ++c;
            return s;
        }
    }
    return {};
}

std::string errnoText(int e) {
    if (e == EISDIR) return "it is a folder, not a disk or an image file";
    if (e == ENOTBLK) return "it is neither a block device nor a regular file";
    return std::strerror(e);
}

// Whether the bytes at a volume's or table's first sector look like one: a
// boot sector or extended boot record (0x55AA), or a volume the probes
// recognise (superblocks and volume headers further in).
bool looksLikeVolumeStart(readWriteInterface& r, uint64_t lba, uint64_t unit, bool extended, const ProbeTable* probes) {
    uint64_t off = 0;
    const uint64_t size = r.sizeBytes();
    if (mulOverflows(lba, unit, &off) || (size && off + 512 > size)) return false;
    uint8_t b[kProbeBytes] = {};
    size_t n = readZeroFill(r, off, b, sizeof b);
    if (n < 512) return false;
    if (b[510] == 0x55 && b[511] == 0xAA) return true;
    if (extended || !probes) return false;
    return !identifyBytes(b, n, *probes).fileSystem.empty();
}

// Sector 0 is a volume's own first sector (a volume without a table).
bool bareVolume(const uint8_t* b, size_t n, const ProbeTable* probes) {
    return probes && !identifyBytes(b, n, *probes).fileSystem.empty();
}

}  // namespace

SourceFormat detectImageFormat(const uint8_t* head, size_t headLen, const uint8_t* tail, size_t tailLen) {
    if (startsWith(head, headLen, "EVF\x09\x0D\x0A\xFF\x00", 8) || startsWith(head, headLen, "EVF2\x0D\x0A\x81\x00", 8))
        return SourceFormat::Ewf;
    if (startsWith(head, headLen, "LVF\x09\x0D\x0A\xFF\x00", 8) || startsWith(head, headLen, "LEF2\x0D\x0A\x81\x00", 8))
        return SourceFormat::EwfLogical;
    if (startsWith(head, headLen, "vhdxfile", 8)) return SourceFormat::Vhdx;
    if (startsWith(head, headLen, "conectix", 8)) return SourceFormat::Vhd;  // dynamic: a copy of the footer first
    if (startsWith(head, headLen, "KDMV", 4) || startsWith(head, headLen, "COWD", 4) ||
        startsWith(head, headLen, "# Disk DescriptorFile", 21))
        return SourceFormat::Vmdk;
    if (startsWith(head, headLen, "QFI\xFB", 4)) return SourceFormat::Qcow;
    // A fixed VHD is the raw disk with a 512-byte footer (511 bytes in some
    // old files): "conectix" and the disk type 2 (fixed) or 3 (dynamic).
    for (size_t at : {size_t{0}, size_t{1}}) {
        if (tailLen == 512 && bytesAt(tail, tailLen, at, "conectix", 8)) {
            uint32_t type = be32(tail, tailLen, at + 60);
            if (type == 2 || type == 3 || type == 4) return SourceFormat::Vhd;
        }
    }
    return SourceFormat::Raw;
}

const char* sourceFormatName(SourceFormat f) {
    switch (f) {
        case SourceFormat::Raw: return "raw";
        case SourceFormat::SplitRaw: return "split raw";
        case SourceFormat::Ewf: return "E01";
        case SourceFormat::EwfLogical: return "L01";
        case SourceFormat::Vhd: return "VHD";
        case SourceFormat::Vhdx: return "VHDX";
        case SourceFormat::Vmdk: return "VMDK";
        case SourceFormat::Qcow: return "QCOW2";
    }
    return "raw";
}

bool sourceFormatSupported(SourceFormat f) {
    switch (f) {
        case SourceFormat::Raw:
        case SourceFormat::SplitRaw: return true;
        case SourceFormat::EwfLogical: return false;
#ifdef BRANTLOW_HAVE_LIBEWF
        case SourceFormat::Ewf: return true;
#endif
#ifdef BRANTLOW_HAVE_LIBVHDI
        case SourceFormat::Vhd:
        case SourceFormat::Vhdx: return true;
#endif
#ifdef BRANTLOW_HAVE_LIBVMDK
        case SourceFormat::Vmdk: return true;
#endif
#ifdef BRANTLOW_HAVE_LIBQCOW
        case SourceFormat::Qcow: return true;
#endif
        default: return false;
    }
}

std::vector<std::string> splitRawSegments(const std::string& path) {
    const size_t dot = path.find_last_of('.');
    const size_t slash = path.find_last_of('/');
    if (dot == std::string::npos || (slash != std::string::npos && dot < slash)) return {};
    const std::string stem = path.substr(0, dot + 1);
    const std::string suffix = path.substr(dot + 1);
    if (suffix.size() < 2 || suffix.size() > 6) return {};
    const bool digits = std::all_of(suffix.begin(), suffix.end(), [](char c) { return c >= '0' && c <= '9'; });
    const bool first = digits ? suffix.find_first_not_of('0') >= suffix.size() - 1 && suffix.back() <= '1'
                              : suffix.find_first_not_of('a') == std::string::npos ||
                                    suffix.find_first_not_of('A') == std::string::npos;
    if (!first) return {};
    std::vector<std::string> names{path};
    std::string cur = suffix;
    while (names.size() < kMaxSplitSegments) {
        cur = nextSuffix(cur);
        if (cur.empty() || !platform::pathExists(stem + cur)) break;
        names.push_back(stem + cur);
    }
    if (names.size() < 2) return {};
    return names;
}

uint32_t detectLogicalSectorSize(readWriteInterface& r, uint32_t declared, const ProbeTable* probes) {
    if (declared != 512 && declared != 1024 && declared != 2048 && declared != 4096) declared = 512;
    uint8_t head[4096 + 512] = {};
    const size_t n = readZeroFill(r, 0, head, sizeof head);
    if (n < 512) return declared;
    // A GPT header sits in logical block 1.
    if (bytesAt(head, n, 512, "EFI PART", 8)) return 512;
    for (uint32_t ss : {4096u, 2048u, 1024u})
        if (bytesAt(head, n, ss, "EFI PART", 8)) return ss;
    if (bareVolume(head, n, probes) || head[510] != 0x55 || head[511] != 0xAA) return declared;
    // An MBR: where do its entries lead?
    const uint64_t size = r.sizeBytes();
    int entries = 0, at512 = 0, at4096 = 0;
    bool fit4096 = true;
    uint64_t maxEnd = 0;
    for (int i = 0; i < 4; ++i) {
        const size_t off = 446 + 16 * i;
        const uint8_t type = head[off + 4];
        if (type == 0 || type == 0xEE) continue;
        const uint64_t start = le32(head, n, off + 8);
        const uint64_t count = le32(head, n, off + 12);
        if (start == 0) continue;
        const bool extended = type == 0x05 || type == 0x0F || type == 0x85;
        ++entries;
        maxEnd = std::max(maxEnd, start + count);
        if (size && (start + count) * 4096 > size) fit4096 = false;
        if (looksLikeVolumeStart(r, start, 512, extended, probes)) ++at512;
        if (looksLikeVolumeStart(r, start, 4096, extended, probes)) ++at4096;
    }
    if (at512) return 512;
    if (!entries) return declared;
    if (fit4096 && at4096) return 4096;
    // Nothing recognisable either way: the table covers the source only
    // when counted in 4096-byte units.
    if (fit4096 && size && maxEnd * 4096 > size / 2) return 4096;
    return declared;
}

std::shared_ptr<readWriteInterface> openSourceReader(const std::string& path, SourceError* error,
                                                     const ProbeTable* probes) {
    auto fail = [&](int e, std::string text) -> std::shared_ptr<readWriteInterface> {
        if (error) {
            error->errnoValue = e;
            error->text = std::move(text);
        }
        return nullptr;
    };
    auto file = std::make_shared<FileReadSeek>();
    if (!file->Open(path)) return fail(file->openError(), errnoText(file->openError()));
    std::shared_ptr<readWriteInterface> reader = file;
    uint32_t declared = file->sectorSize();
    if (!platform::isBlockDevice(file->handle)) {
        uint8_t head[512] = {}, tail[512] = {};
        const uint64_t size = file->sizeBytes();
        const size_t headLen = readZeroFill(*file, 0, head, sizeof head);
        const size_t tailLen = size >= 1024 ? readZeroFill(*file, size - 512, tail, sizeof tail) : 0;
        const SourceFormat format = detectImageFormat(head, headLen, tail, tailLen);
        if (format == SourceFormat::EwfLogical)
            return fail(0, "it is a logical evidence file (L01): it holds files, not a disk image");
        if (format != SourceFormat::Raw) {
            if (!sourceFormatSupported(format))
                return fail(0, std::string(sourceFormatName(format)) + " images are not supported in this build");
            file.reset();
            reader.reset();
            std::string why;
            std::shared_ptr<ContainerReader> image;
            switch (format) {
#ifdef BRANTLOW_HAVE_LIBEWF
                case SourceFormat::Ewf: image = openEwfImage(path, &why); break;
#endif
#ifdef BRANTLOW_HAVE_LIBVHDI
                case SourceFormat::Vhd: image = openVhdiImage(path, false, &why); break;
                case SourceFormat::Vhdx: image = openVhdiImage(path, true, &why); break;
#endif
#ifdef BRANTLOW_HAVE_LIBVMDK
                case SourceFormat::Vmdk: image = openVmdkImage(path, &why); break;
#endif
#ifdef BRANTLOW_HAVE_LIBQCOW
                case SourceFormat::Qcow: image = openQcowImage(path, &why); break;
#endif
                default: break;
            }
            if (!image) return fail(0, why.empty() ? "the image cannot be opened" : why);
            declared = image->declaredSectorSize() ? image->declaredSectorSize() : 512;
            reader = image;
        } else {
            std::vector<std::string> segments = splitRawSegments(path);
            if (!segments.empty()) {
                auto split = std::make_shared<SplitRawReader>();
                std::string why;
                if (!split->openAll(segments, &why)) return fail(0, why);
                file.reset();
                reader = split;
            }
        }
    }
    reader->setSectorSize(detectLogicalSectorSize(*reader, declared, probes));
    return reader;
}

}  // namespace brantlow
