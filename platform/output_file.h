// Output files: written under a temporary name in their folder, renamed to
// the final name only when complete, so that no file under its final name
// is ever a half-written one. Zero regions become holes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

namespace brantlow::platform {

struct Stamp {
    int64_t sec = 0;   // seconds since 1970-01-01 UTC
    int32_t nsec = 0;  // 0..999999999
};

// A folder held open while files are written in it: the files are then
// created and named relative to it, without walking its path each time.
class OutputFolder {
public:
    OutputFolder() = default;
    ~OutputFolder();
    OutputFolder(const OutputFolder&) = delete;
    OutputFolder& operator=(const OutputFolder&) = delete;
    // Holds dir (the folder held before is let go); false when it cannot be
    // opened (files are then made through the path).
    bool hold(const std::string& dir);
    const std::string& path() const { return path_; }
    int descriptor() const { return fd_; }

private:
    int fd_ = -1;
    std::string path_;
};

class OutputFile {
public:
    OutputFile() = default;
    // An unfinished file is discarded (its temporary removed).
    ~OutputFile();
    OutputFile(const OutputFile&) = delete;
    OutputFile& operator=(const OutputFile&) = delete;

    // Creates a new temporary file in dir (O_EXCL, O_NOFOLLOW). False with
    // error() set.
    bool create(const std::string& dir);
    // The same in a folder held open (when it holds dir; it must outlive
    // this file). Where the medium allows, the file has no name at all
    // until commit links it in (nothing is left behind on a crash).
    bool create(const std::string& dir, const OutputFolder* held);
    // Appends n bytes.
    bool write(const void* data, size_t n);
    // Appends n bytes from offset `at` of the open file src, copied by the
    // kernel from file to file where it can, else read and written. What
    // the source cannot give (it got shorter, a read error) is left zeros:
    // shortCopy() tells.
    bool copyFrom(int src, uint64_t at, uint64_t n);
    bool shortCopy() const { return shortCopy_; }
    // Appends n zero bytes as a hole: nothing is stored for them.
    bool skip(uint64_t n);
    // Gives the file its full size (a hole at the end is kept), sets the
    // access and modification times (nullopt leaves one as it is), closes
    // it and renames it to dir/name, replacing a file of that name. False
    // with error() set; after a failed rename the temporary stays, so the
    // caller may commit again under another name (EINVAL: the medium
    // refuses the name).
    // With replace false, an unnamed file (unnamed()) never replaces what
    // is there: EEXIST, and it stays open and unnamed for another name.
    // An unnamed file may be linked into another held folder of the same
    // medium (`into`).
    bool commit(const std::string& name, const std::optional<Stamp>& accessed,
                const std::optional<Stamp>& modified, bool replace = true, const OutputFolder* into = nullptr);
    // Created without a name: commit links it in.
    bool unnamed() const { return anonymous_; }
    // Removes the temporary file.
    void discard();

    bool isOpen() const { return fd_ >= 0; }
    int error() const { return err_; }
    uint64_t size() const { return size_; }
    // Bytes actually stored (holes excluded).
    uint64_t stored() const { return stored_; }
    // Path of the committed file.
    const std::string& path() const { return final_; }

private:
    bool flushHole();
    bool linkAnonymous(const std::string& name, bool replace, int toFd, const std::string& toDir);
    int fd_ = -1;
    int dirFd_ = -1;         // the held folder's descriptor, or -1 (paths)
    bool anonymous_ = false;  // created without a name (O_TMPFILE)
    int err_ = 0;
    uint64_t size_ = 0;
    uint64_t stored_ = 0;
    uint64_t pendingHole_ = 0;
    bool closed_ = false;
    bool noKernelCopy_ = false;  // the kernel refused a file-to-file copy
    bool shortCopy_ = false;
    std::string dir_, temp_, final_;
    std::string tempName_;  // temp_ within the held folder
};

// A whole small file written in one go under a temporary name and renamed
// over path (settings files, summaries). 0 or an errno value.
int writeWholeFile(const std::string& path, const void* data, size_t n);

}  // namespace brantlow::platform
