// Folders and small files on the output side, and other file-system
// questions the front ends ask. Every call returns 0 or an errno value
// where it can fail.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace brantlow::platform {

// Creates one folder; an existing folder is fine (not a link to one).
int makeDir(const std::string& path);
// Creates a folder and any missing parents.
int makeDirs(const std::string& path);
// Removes a folder when it is empty.
bool removeEmptyDir(const std::string& path);
bool pathExists(const std::string& path);
bool isDirectory(const std::string& path);
bool isReadable(const std::string& path);
// True when the folder lies on the block device at devicePath (writing
// there would overwrite what is being recovered).
bool folderOnDevice(const std::string& folder, const std::string& devicePath);
// Reads a regular file of at most maxBytes (EFBIG beyond; EISDIR/EINVAL for
// what is not a regular file).
int readWholeFile(const std::string& path, uint64_t maxBytes, std::vector<uint8_t>& out);
// Makes newPath a second name of the file at existing (a hard link); fails
// with EEXIST when newPath exists.
int hardLink(const std::string& existing, const std::string& newPath);
// Creates an empty file, or empties an existing one.
int createEmptyFile(const std::string& path);
// The folder of the running executable (empty when unknown).
std::string executableDir();
// True when the descriptor is a terminal.
bool isTerminal(int fd);
// Releases a descriptor (the instance lock at exit).
void closeDescriptor(int fd);
// The first bytes of a regular file (at most n) and its size: 0, ENOENT when
// there is none, EINVAL when the path is not a regular file.
int fileHead(const std::string& path, size_t n, std::vector<uint8_t>& head, uint64_t& size);
// Removes a file (not a folder); a missing one is fine.
int removeFile(const std::string& path);

}  // namespace brantlow::platform
