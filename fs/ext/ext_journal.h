// The journal of ext3 (JBD) and ext4 (JBD2): its superblock, descriptor,
// commit and revoke blocks, 32- and 64-bit block tags in the plain and the
// checksum v2/v3 layouts. The walk reads every journal block once and keeps
// an index of which file-system block each logged copy holds; the copies
// are read back on demand. Old transactions beyond the journal's current
// start are indexed too: they are the history a recovery needs.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <unordered_map>
#include <string>
#include <vector>

#include "base/decoded.h"

namespace brantlow::ext {

constexpr uint32_t kJournalMagic = 0xC03B3998;

// One logged copy of a file-system block.
struct JournalCopy {
    uint64_t fsBlock = 0;
    uint32_t journalBlock = 0;  // where the copy lies, in journal blocks
    uint32_t sequence = 0;      // its transaction
    uint32_t checksum = 0;      // the tag's checksum (v2: low 16 bits)
    bool escaped = false;       // the first four bytes were the magic
    bool streamed = false;      // handed to onCopy during the walk
};

struct JournalInfo {
    bool valid = false;
    uint32_t blockSize = 0;
    uint32_t maxLen = 0;        // journal length in blocks
    uint32_t first = 0;         // first log block
    uint32_t sequence = 0;      // s_sequence
    uint32_t start = 0;         // s_start (0: empty)
    uint32_t incompat = 0;
    uint8_t uuid[16] = {};
    bool v2 = false;
    bool is64 = false;
    bool csumV2 = false, csumV3 = false;
    size_t tagBytes = 8;
};

// The journal superblock (journal block 0): magic, a v1 or v2 type, a
// block size that is a power of two from 1 to 64 KiB, a first log block
// inside the journal.
Decoded<JournalInfo> decodeJournalSuper(const uint8_t* b, size_t len);

// The 12-byte header of a descriptor, commit or revoke block.
struct JournalHeader {
    uint32_t type = 0;      // 1 descriptor, 2 commit, 3/4 superblock, 5 revoke
    uint32_t sequence = 0;  // the transaction
};
// Refused without the magic, or with a block type other than 1 to 5.
Decoded<JournalHeader> decodeJournalHeader(const uint8_t* b, size_t len);

// A descriptor block's tag: the file-system block whose copy follows the
// descriptor as its `index`-th data block.
struct JournalTag {
    uint64_t fsBlock = 0;
    uint32_t index = 0;
    uint32_t checksum = 0;  // the tag's checksum (v2: low 16 bits)
    bool escaped = false;   // the copy's first four bytes were the magic
};
// The tags of a descriptor block (len = the journal's block size), in the
// plain, 64-bit and checksum v2/v3 layouts. Tags that name a block at or
// beyond fsBlocks are left out (replaced); their data blocks still count.
Decoded<std::vector<JournalTag>> decodeDescriptorTags(const uint8_t* b, const JournalInfo& j, uint64_t fsBlocks);
// The blocks a revoke block lists. A byte count past the block (or its
// checksum tail) is cut to it (replaced).
Decoded<std::vector<uint64_t>> decodeRevokeBlock(const uint8_t* b, const JournalInfo& j);

// Reads `count` journal blocks from journal block `first` into buf; false
// when they cannot be read (the walk skips them).
using JournalRead = std::function<bool(uint32_t first, uint32_t count, uint8_t* buf)>;

class JournalIndex {
public:
    // Walks the whole log area [first, maxLen) in chunks of blocks of
    // `blockSize` (the file system's, which the journal must share).
    // `journalBlocks` is the length of the journal inode (the log is cut
    // there); `fsBlocks` bounds the file-system block numbers a tag may
    // name. Returns false when the journal superblock is not valid.
    bool build(const JournalRead& read, uint32_t blockSize, uint64_t journalBlocks, uint64_t fsBlocks, const std::function<bool()>& stop = {});

    // Copies of one block, newest transaction first.
    std::vector<const JournalCopy*> copiesOf(uint64_t fsBlock) const;
    // The newest sequence that revoked the block, or 0.
    uint32_t lastRevoke(uint64_t fsBlock) const;
    bool committed(uint32_t sequence) const { return commits_.count(sequence) != 0; }

    // Reads one copy (restoring an escaped magic) and checks the tag's
    // checksum where the journal has one. False when the copy cannot be
    // trusted.
    bool readCopy(const JournalCopy& c, uint8_t* buf, const JournalRead& read) const;

    // Called during build() with each logged copy (checked, its magic
    // restored) as the walk passes it, where the journal has tag checksums
    // to vouch for it; copies whose data lies before their descriptor in the
    // log (a wrapped transaction) are not passed: `streamed` tells.
    std::function<void(const JournalCopy& copy, const uint8_t* block)> onCopy;
    // Called during build() for every block that is not a journal header
    // (a logged copy, or unused log space), with its journal block number.
    std::function<void(uint32_t journalBlock, const uint8_t* block)> onDataBlock;
    // Called during build() for every header block the decoders refuse or
    // repair, with its journal block number and what was wrong.
    std::function<void(uint32_t journalBlock, const std::string& what, bool repaired)> onDamage;

    const JournalInfo& info() const { return info_; }
    // Every copy, ordered by file-system block, then newest first.
    const std::vector<JournalCopy>& copies() const { return copies_; }
    size_t transactions() const { return commits_.size(); }

private:
    void descriptor(const uint8_t* b, uint32_t at, uint32_t seq, uint64_t fsBlocks);
    void revoke(const uint8_t* b, uint32_t at, uint32_t seq);
    void header(const uint8_t* b, uint32_t at, uint64_t fsBlocks);
    bool readSuper(const JournalRead& read, uint32_t blockSize, uint64_t journalBlocks);
    void dataBlock(const uint8_t* b, uint32_t at, std::vector<uint8_t>& one);
    void damage(uint32_t at, const std::string& what, bool repaired) const {
        if (onDamage) onDamage(at, what, repaired);
    }
    bool checksumOk(const JournalCopy& c, const uint8_t* b) const;

    JournalInfo info_;
    uint32_t csumSeed_ = 0;
    uint64_t maxCopies_ = 0;
    std::vector<JournalCopy> copies_;
    std::unordered_map<uint64_t, uint32_t> revokes_;
    std::unordered_map<uint32_t, bool> commits_;
    std::unordered_map<uint32_t, size_t> pending_;  // log position -> copy awaiting its data
};

// CRC32C (Castagnoli), as the journal checksums use it.
uint32_t crc32c(uint32_t crc, const void* data, size_t n);

}  // namespace brantlow::ext
