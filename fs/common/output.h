// Writing recovered files: the one output-name sanitiser and the output file
// that sets the recorded times.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "fs/common/times.h"

namespace brantlow {

// Makes one path component safe to create inside the output folder:
// "/", "\", NUL and control characters become "_"; "." and ".." become "_."
// and "_.."; an empty name becomes "_"; invalid UTF-8 is kept as bytes; the
// result is cut to 255 bytes at a character boundary, keeping the extension.
// Nothing else is changed (trailing blanks and dots stay).
std::string sanitizeComponent(const std::string& name);

// The stricter form for media that refuse : * ? " < > | (vfat, exFAT).
std::string sanitizeComponentStrict(const std::string& name);

// "name (n).ext": the suffix goes before the extension; the result stays
// within 255 bytes.
std::string numberedName(const std::string& name, int n);

// Joins a folder and a sanitised component with "/".
std::string joinPath(const std::string& dir, const std::string& component);

// Creates the folder dir/component (sanitised as given). Existing folders
// are kept. Returns the path used, or empty with errno set on failure.
// Retries with the strict form when the medium refuses the name.
std::string makeFolder(const std::string& dir, const std::string& component, int* err = nullptr);

// An output file opened with O_WRONLY|O_CREAT|O_TRUNC|O_NOFOLLOW.
class OutputFile {
public:
    OutputFile() = default;
    ~OutputFile();
    OutputFile(const OutputFile&) = delete;
    OutputFile& operator=(const OutputFile&) = delete;

    // Opens dir/component; retries with the strict name when the medium
    // refuses it (EINVAL). Returns false with error() set.
    bool open(const std::string& dir, const std::string& component);
    // Opens an exact path.
    bool openPath(const std::string& path);
    bool write(const void* data, size_t n);
    // Writes n zero bytes (holes and unreadable clusters).
    bool writeZeros(uint64_t n);
    // Sets access and modification times (none leaves that time as it is)
    // and closes. Returns false when an earlier write or the close failed.
    bool finish(const OptTime& accessed, const OptTime& modified);
    bool isOpen() const { return fd_ >= 0; }
    int error() const { return err_; }
    const std::string& path() const { return path_; }
    uint64_t written() const { return written_; }

private:
    int fd_ = -1;
    int err_ = 0;
    uint64_t written_ = 0;
    std::string path_;
};

}  // namespace brantlow
