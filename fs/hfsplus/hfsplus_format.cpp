#include "fs/hfsplus/hfsplus_format.h"

#include <utf8proc.h>

#include <cstdio>
#include <cstdlib>
#include <set>

#include "base/bytes.h"
#include "base/texts.h"

namespace brantlow::hfs {

ForkData readForkData(const uint8_t* p, size_t len, size_t off) {
    ForkData f;
    f.logicalSize = be64(p, len, off);
    f.totalBlocks = be32(p, len, off + 12);
    for (size_t i = 0; i < 8; ++i) {
        f.extents[i].startBlock = be32(p, len, off + 16 + 8 * i);
        f.extents[i].blockCount = be32(p, len, off + 20 + 8 * i);
    }
    return f;
}

Decoded<VolumeHeader> decodeVolumeHeader(const uint8_t* p, size_t len) {
    using D = Decoded<VolumeHeader>;
    if (len < 512) return D::refused("only " + std::to_string(len) + " bytes");
    VolumeHeader h;
    h.signature = be16(p, len, 0);
    h.version = be16(p, len, 2);
    h.attributes = be32(p, len, 4);
    h.journalInfoBlock = be32(p, len, 12);
    h.blockSize = be32(p, len, 40);
    h.totalBlocks = be32(p, len, 44);
    h.nextCatalogId = be32(p, len, 64);
    h.allocationFile = readForkData(p, len, 112);
    h.extentsFile = readForkData(p, len, 192);
    h.catalogFile = readForkData(p, len, 272);
    h.attributesFile = readForkData(p, len, 352);
    const uint32_t bs = h.blockSize;
    if (bs < 512 || bs > (1u << 30) || (bs & (bs - 1)) != 0)
        return D::refused("block size " + std::to_string(bs) + " is not a power of two from 512 to 1 GiB");
    if (h.totalBlocks == 0) return D::refused("total blocks 0");
    if (h.catalogFile.extents[0].blockCount == 0 || h.catalogFile.logicalSize == 0)
        return D::refused("the catalog file has no extent");
    D d = D::ok(h);
    if (!h.hasSignature()) {
        char sig[8];
        std::snprintf(sig, sizeof sig, "0x%04X", h.signature);
        d.replace(std::string("signature ") + sig + " is neither H+ nor HX: read as HFS+");
    }
    return d;
}

Decoded<JournalInfoBlock> decodeJournalInfoBlock(const uint8_t* p, size_t len, uint64_t volumeBytes) {
    using D = Decoded<JournalInfoBlock>;
    JournalInfoBlock j;
    const uint32_t flags = be32(p, len, 0);
    j.external = !(flags & 1) || (flags & 2);
    j.offset = be64(p, len, 36);
    j.size = be64(p, len, 44);
    if (j.external) return D::ok(j);
    if (j.offset >= volumeBytes || j.size == 0 || j.size > volumeBytes - j.offset)
        return D::refused("journal of " + std::to_string(j.size) + " bytes at " + std::to_string(j.offset) +
                          " outside the volume");
    if (j.size > (1ull << 30)) return D::refused("journal of " + std::to_string(j.size) + " bytes above 1 GiB");
    return D::ok(j);
}

ForkRuns forkRuns(const ForkData& fork, uint8_t forkType, uint32_t fileId, const ExtentsIndex& index,
                  uint64_t blockSize, uint64_t volumeBlocks) {
    ForkRuns r;
    if (blockSize == 0) {
        r.complete = fork.logicalSize == 0;
        return r;
    }
    const uint64_t needed = fork.logicalSize / blockSize + (fork.logicalSize % blockSize ? 1 : 0);
    auto take = [&](const ExtentRecord& rec) -> uint64_t {
        uint64_t added = 0;
        for (const Extent& e : rec) {
            if (r.blocks >= needed) break;
            if (e.blockCount == 0) continue;
            const uint64_t count = std::min<uint64_t>(e.blockCount, needed - r.blocks);
            Run run{e.startBlock, count, true};
            if (run.startBlock >= volumeBlocks || count > volumeBlocks - run.startBlock) run.valid = false;
            // Contiguous with the previous run: one longer run.
            if (!r.runs.empty() && r.runs.back().valid && run.valid &&
                r.runs.back().startBlock + r.runs.back().blockCount == run.startBlock)
                r.runs.back().blockCount += count;
            else
                r.runs.push_back(run);
            r.blocks += count;
            added += count;
        }
        return added;
    };
    take(fork.extents);
    std::set<uint64_t> seen;
    while (r.blocks < needed) {
        if (r.blocks > 0xFFFFFFFFull || !seen.insert(r.blocks).second) break;
        auto it = index.find(ExtentKey{forkType, fileId, static_cast<uint32_t>(r.blocks)});
        if (it == index.end()) break;
        if (take(it->second) == 0) break;
    }
    r.complete = r.blocks >= needed;
    return r;
}

namespace {

// Code points HFS+ stores as they are (its decomposition leaves them).
bool keptAsStored(uint32_t cp) {
    return (cp >= 0x2000 && cp <= 0x2FFF) || (cp >= 0xF900 && cp <= 0xFAFF) || (cp >= 0x2F800 && cp <= 0x2FAFF);
}

std::string composeSegment(const std::string& utf8) {
    if (utf8.empty()) return utf8;
    utf8proc_uint8_t* out = nullptr;
    utf8proc_ssize_t n = utf8proc_map(reinterpret_cast<const utf8proc_uint8_t*>(utf8.data()),
                                      static_cast<utf8proc_ssize_t>(utf8.size()), &out,
                                      static_cast<utf8proc_option_t>(UTF8PROC_STABLE | UTF8PROC_COMPOSE));
    if (n < 0 || !out) {
        std::free(out);
        return utf8;
    }
    std::string s(reinterpret_cast<const char*>(out), static_cast<size_t>(n));
    std::free(out);
    return s;
}

}  // namespace

std::string displayName(const std::u16string& name) {
    std::string out;
    appendDisplayName(out, name);
    return out;
}

void appendDisplayName(std::string& out, const std::u16string& name) {
    // Below U+0300 nothing composes: the name is shown as it is.
    bool plain = true, ascii = true;
    for (char16_t u : name) {
        plain = plain && u < 0x300 && u != ':';
        ascii = ascii && u < 0x80;
    }
    if (plain && ascii) {
        const size_t at = out.size();
        out.resize(at + name.size());
        for (size_t i = 0; i < name.size(); ++i) out[at + i] = static_cast<char>(name[i]);
        return;
    }
    if (plain) {
        for (char16_t u : name) appendUtf8(out, u);
        return;
    }
    std::string result, segment;
    for (size_t i = 0; i < name.size(); ++i) {
        uint32_t cp = name[i];
        if (cp >= 0xD800 && cp <= 0xDBFF && i + 1 < name.size() && name[i + 1] >= 0xDC00 && name[i + 1] <= 0xDFFF) {
            cp = 0x10000 + ((cp - 0xD800) << 10) + (name[i + 1] - 0xDC00);
            ++i;
        } else if (cp >= 0xD800 && cp <= 0xDFFF) {
            cp = 0xFFFD;
        }
        if (cp == ':') cp = '/';
        if (keptAsStored(cp)) {
            result += composeSegment(segment);
            segment.clear();
            appendUtf8(result, cp);
        } else {
            appendUtf8(segment, cp);
        }
    }
    result += composeSegment(segment);
    out += result;
}

std::string modeText(uint16_t m) {
    std::string t;
    if (m & 0x040) t += "-Owner:X";
    if (m & 0x080) t += "-Owner:W";
    if (m & 0x100) t += "-Owner:R";
    if (m & 0x001) t += "-OX";
    if (m & 0x002) t += "-OW";
    if (m & 0x004) t += "-OR";
    if (m & 0x008) t += "-GX";
    if (m & 0x010) t += "-GW";
    if (m & 0x020) t += "-GR";
    return t;
}

bool forkByteOffset(const std::vector<Run>& runs, uint64_t blockSize, uint64_t forkOffset, uint64_t* volumeOffset,
                    uint64_t* contiguousBytes) {
    uint64_t base = 0;  // fork byte where the run starts
    for (const Run& r : runs) {
        uint64_t bytes = 0;
        if (mulOverflows(r.blockCount, blockSize, &bytes)) return false;
        if (forkOffset < base + bytes) {
            if (!r.valid) return false;
            uint64_t start = 0;
            if (mulOverflows(r.startBlock, blockSize, &start)) return false;
            *volumeOffset = start + (forkOffset - base);
            if (contiguousBytes) *contiguousBytes = bytes - (forkOffset - base);
            return true;
        }
        base += bytes;
    }
    return false;
}

}  // namespace brantlow::hfs
