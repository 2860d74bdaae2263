// Thin POSIX layer under the device reader: read-only open, size, positional reads.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace brantlow::platform {

// Opens a source for reading only: a regular file or a block device. The
// open itself does not block (a FIFO is refused, never waited on). Returns
// -1 with *err set: the open's errno, EISDIR for a folder, ENOTBLK for
// anything else that is not a regular file or block device.
int openSource(const std::string& path, int* err);

// Size in bytes: BLKGETSIZE64 for block devices, st_size for files. False when unknown.
bool objectSize(int fd, uint64_t* bytes);

// True when the descriptor is a block device; a regular file.
bool isBlockDevice(int fd);
bool isRegularFile(int fd);

// The logical sector size a block device reports (BLKSSZGET). False for
// anything that is not a block device, or when the device does not say.
bool logicalSectorSize(int fd, uint32_t* bytes);

// pread until count bytes are read or end of file; retries EINTR and short reads.
// Returns the number of bytes read, or -1 when the first call fails.
long long preadFull(int fd, void* buf, size_t count, uint64_t offset);

void closeFd(int fd);

// Hint that the range will be read sequentially (large streaming scans).
void adviseSequential(int fd);

}  // namespace brantlow::platform
