// Directory blocks: a chain of records (inode, rec_len, name length, file
// type, name), the checksum tail of metadata_csum volumes, htree index
// nodes, and the deleted names that survive in a record's slack.
#include <algorithm>

#include "base/bytes.h"
#include "fs/ext/ext_format.h"

namespace brantlow::ext {

using std::to_string;

namespace {

size_t idealLength(size_t nameLen) { return (8 + nameLen + 3) & ~size_t{3}; }

bool plausibleName(const uint8_t* name, size_t n) {
    if (n == 0) return false;
    for (size_t i = 0; i < n; ++i)
        if (name[i] == 0 || name[i] == '/') return false;
    if (n == 1 && name[0] == '.') return false;
    if (n == 2 && name[0] == '.' && name[1] == '.') return false;
    return true;
}

// Deleted records left in the slack [from, to) of a record: a search, so
// what does not look like a record is passed over, not refused.
void slackRecords(const uint8_t* b, size_t len, size_t from, size_t to, const DirParseOptions& opt,
                  std::vector<DirRecord>& out) {
    size_t p = (from + 3) & ~size_t{3};
    while (p + 8 <= to) {
        const uint32_t inode = le32(b, len, p);
        const uint16_t rec = le16(b, len, p + 4);
        const uint8_t nl = le8(b, len, p + 6);
        const uint8_t ft = le8(b, len, p + 7);
        bool ok = inode != 0 && inode <= opt.maxInode && nl > 0 && p + 8 + nl <= to && rec % 4 == 0 &&
                  rec >= idealLength(nl) && p + rec <= len && (!opt.hasFileType || ft <= 7) &&
                  plausibleName(b + p + 8, nl);
        if (ok) {
            DirRecord r;
            r.inode = inode;
            r.fileType = opt.hasFileType ? ft : 0;
            r.hidden = true;
            r.offset = static_cast<uint32_t>(p);
            r.nameOffset = static_cast<uint16_t>(p + 8);
            r.nameLength = nl;
            out.push_back(r);
            p += idealLength(nl);
        } else {
            p += 4;
        }
    }
}

}  // namespace

Decoded<DirEntry> refuseDirEntry(const DirEntry& e, size_t len, size_t off) {
    using D = Decoded<DirEntry>;
    if (off + 8 > len) return D::refused("record header past the block's end");
    if (e.recLen < 8 || e.recLen % 4 != 0) return D::refused("rec_len " + to_string(e.recLen) + " is not a multiple of 4 from 8");
    if (off + e.recLen > len) return D::refused("rec_len " + to_string(e.recLen) + " runs past the block's end");
    if (e.nameLength > 255) return D::refused("name length " + to_string(e.nameLength) + " above 255");
    return D::refused("name length " + to_string(e.nameLength) + " does not fit rec_len " + to_string(e.recLen));
}

bool parseDirBlock(const uint8_t* b, size_t len, const DirParseOptions& opt, std::vector<DirRecord>& out,
                   bool* indexNode, DirFault* fault) {
    if (indexNode) *indexNode = false;
    if (len < 12 || len > 65536) return false;
    // An htree interior node: one empty record over the whole block.
    if (le32(b, len, 0) == 0 && le16(b, len, 4) == len) {
        if (indexNode) *indexNode = true;
        return true;
    }
    size_t off = 0;
    bool first = true;
    while (off + 8 <= len) {
        const Decoded<DirEntry> d = decodeDirEntry(b, len, off, opt.hasFileType);
        if (!d) {
            if (fault) *fault = {static_cast<uint32_t>(off), d.reason()};
            if (first) return false;
            break;
        }
        const uint32_t inode = d->inode;
        const uint16_t rec = d->recLen;
        const uint16_t nl = d->nameLength;
        // The checksum tail: an empty record of 12 bytes with type 0xDE.
        const bool tail = inode == 0 && rec == 12 && nl == 0 && off + 12 == len;
        if (tail) break;
        bool dxRoot = false;
        if (inode != 0 && nl > 0 && inode <= opt.maxInode) {
            DirRecord r;
            r.inode = inode;
            r.fileType = d->fileType;
            r.offset = static_cast<uint32_t>(off);
            r.nameOffset = static_cast<uint16_t>(off + 8);
            r.nameLength = static_cast<uint8_t>(nl);
            out.push_back(r);
            // ".." spanning the rest of the first block: an htree root, whose
            // slack is the index.
            dxRoot = off == 12 && nl == 2 && b[off + 8] == '.' && b[off + 9] == '.' && off + rec == len &&
                     le8(b, len, off + 8 + 4 + 5) == 8;
            if (dxRoot && indexNode) *indexNode = true;
        } else if (inode == 0 && nl > 0 && opt.keepNoInode && plausibleName(b + off + 8, nl)) {
            DirRecord r;
            r.fileType = opt.hasFileType && d->fileType <= 7 ? d->fileType : 0;
            r.offset = static_cast<uint32_t>(off);
            r.nameOffset = static_cast<uint16_t>(off + 8);
            r.nameLength = static_cast<uint8_t>(nl);
            out.push_back(r);
        }
        if (opt.readSlack && !dxRoot) {
            const size_t used = inode != 0 || nl > 0 ? idealLength(nl) : 8;
            if (rec >= used + 12) slackRecords(b, len, off + used, off + rec, opt, out);
        }
        off += rec;
        first = false;
    }
    return true;
}

bool dotEntries(const uint8_t* b, size_t len, uint32_t& self, uint32_t& parent) {
    if (len < 24) return false;
    const uint16_t r0 = le16(b, len, 4);
    if (le8(b, len, 6) != 1 || b[8] != '.' || r0 < 12 || r0 % 4 || r0 + 12u > len) return false;
    if (le8(b, len, r0 + 6) != 2 || b[r0 + 8] != '.' || b[r0 + 9] != '.') return false;
    self = le32(b, len, 0);
    parent = le32(b, len, r0);
    return self != 0;
}

}  // namespace brantlow::ext
