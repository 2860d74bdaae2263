// What imaging a disk needs from the system: the source opened read-only
// with direct I/O where it is a block device, the image file written in
// place (never truncated, zeros as holes), the map written durably (a new
// file, synced, renamed over the old one), and the lock that keeps two runs
// off one map.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace brantlow::platform {

// The source for imaging: like openSource (read-only, regular files and
// block devices only), plus, for a block device, a second descriptor with
// O_DIRECT (-1 when the device refuses it). Returns the buffered
// descriptor or -1 with *err set.
int openSourceForImaging(const std::string& path, int* directFd, int* err);
// False when the block device behind fd has gone (unplugged).
bool blockDevicePresent(int fd);

// Opens (or creates, mode 0644) the image file for writing, never through
// a symbolic link and never truncating it. Only regular files: EINVAL for
// anything else. -1 with *err set.
int openImageFile(const std::string& path, int* err);
// pwrite until done. 0 or an errno value.
int pwriteFull(int fd, const void* data, size_t n, uint64_t offset);
// fdatasync. 0 or an errno value.
int syncData(int fd);
// Grows the file to size (a hole) when it is shorter. 0 or an errno value.
int growFile(int fd, uint64_t size);
// The size of the file behind fd (0 when unknown).
uint64_t sizeOfFd(int fd);

// Writes a whole small file so that a crash leaves either the old or the
// new content: a temporary in the same folder, synced, renamed over path,
// and the folder synced. 0 or an errno value.
int writeFileDurably(const std::string& path, const void* data, size_t n);

// An exclusive lock on "path.lock" (created when missing), held until
// releaseLockBeside. Returns the descriptor, -1 when another process holds
// it, -2 with *err set when the lock file cannot be used.
int lockBeside(const std::string& path, int* err);
// Removes the lock file and releases the lock.
void releaseLockBeside(int fd, const std::string& path);

// True when a and b name the same file (or device).
bool sameFile(const std::string& a, const std::string& b);
// True when writing to path would write onto the block device at devicePath
// or onto one of its partitions: path (or, when it does not exist yet, its
// folder) lies on a file system there, or is that device or partition.
bool writesOntoDevice(const std::string& path, const std::string& devicePath);

}  // namespace brantlow::platform
