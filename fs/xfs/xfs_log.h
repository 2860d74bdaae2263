// The XFS log: a circular area of log records, each a header sector and
// the operations of transactions. Inode log items keep the inode core (its
// size, times, mode, extent count) and the data fork (extent records, a
// short-form directory, a block-map root) as they were when a change was
// logged, so the log still holds freed inodes as they were in use and
// the earlier contents of short-form directories. The walk reads every
// record (the log is not replayed: the volume is only ever read), restores
// the first word of each sector from the header's cycle data, joins
// operations split across records and hands over each inode item.
#pragma once

#include <cstdint>
#include <functional>
#include <vector>

#include "fs/xfs/xfs_format.h"

namespace brantlow::xfs {

// Which parts of an inode an item logged.
constexpr uint32_t kLogCore = 0x1, kLogData = 0x2, kLogExtents = 0x4, kLogBroot = 0x8;

struct LoggedInode {
    uint64_t ino = 0;
    uint64_t lsn = 0;     // cycle << 32 | block of the record
    Inode core;
    uint32_t fields = 0;  // kLog... bits
    std::vector<uint8_t> fork;  // the data fork region, empty when not logged
};

struct LogStats {
    uint64_t records = 0;
    uint64_t inodeItems = 0;
    uint64_t damagedRecords = 0;
};

// Reads `n` bytes of the volume at byte `at`; false when they cannot be read.
using VolumeRead = std::function<bool(uint64_t at, uint8_t* buf, size_t n)>;

// Walks the internal log of the volume in log order (oldest record first)
// and calls onInode for every inode item whose core decodes. Nothing when
// the log is external. stopped is polled between records.
void walkLog(const Superblock& sb, const VolumeRead& read, const std::function<void(const LoggedInode&)>& onInode,
             const std::function<bool()>& stopped, LogStats* stats = nullptr);

// One log record's operations (for the fuzz target): `rec` holds the
// header sectors and the data, as read from the log.
void decodeLogRecord(const uint8_t* rec, size_t n, const Superblock& sb,
                     const std::function<void(const LoggedInode&)>& onInode);

}  // namespace brantlow::xfs
