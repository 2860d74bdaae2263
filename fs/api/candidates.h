// The search for the file systems a volume held before (or beside) the one
// its boot sector describes: each file system's row brings a matcher that
// sees every block of one streaming pass over the volume and then offers its
// candidates (type, start, geometry) with the figures their quality is
// judged by.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "disk/volume_view.h"
#include "fs/api/parser.h"

namespace brantlow {

// A file's name and the byte (from the volume start) its content starts
// at: what the search reads to see whether the content opens the way the
// name promises.
struct ContentSample {
    std::string name;
    uint64_t position = 0;
};

struct FileSystemCandidate {
    std::string fileSystem;    // the name its parser goes by ("--fs")
    uint64_t volumeStart = 0;  // where it begins, bytes from the searched volume's start
    // Its size where its own structures place its end (an alternate header
    // at the end); 0: up to the searched volume's end.
    uint64_t volumeBytes = 0;
    ScanMode mode = ScanMode::Advanced;
    // What the parser is given (ScanOptions): -1 leaves the choice to it.
    int64_t metadata = -1;
    int64_t heap = -1;
    int clusterShift = -1;        // cluster exponent over 512 the search agrees with
    uint64_t clusterBytes = 0;    // 0: unknown
    std::string where;            // "MFT records at byte 16384", ...
    bool variant = false;         // the volume's own type in another geometry (or older records)
    // The figures: structures found, how many agree with the geometry (or
    // their copies), folders that link up with their parents.
    uint32_t found = 0;
    uint32_t agreeing = 0;
    const char* agreeText = "";   // "whose runs land inside the volume", ...
    uint32_t folders = 0;
    uint32_t linked = 0;
    const char* linkText = "folders link up with their parent";
    // Filled by the search: files whose content opens as their name says.
    std::vector<ContentSample> samples;  // at most kMaxSamples
    uint32_t signatureChecked = 0;
    uint32_t signatureGood = 0;
    double score = 0;  // 0..1, best first
};

inline constexpr size_t kMaxSamples = 24;

// One file system's part of the pass. block() sees the volume in order: len
// bytes at offset are the block, room >= len bytes are readable (the next
// block's first bytes, so that a structure crossing the end is seen whole).
// finish() may read a bounded number of sectors (boot sectors, a FAT's
// entries) and returns the candidates; the current file system, as the
// volume's own boot sector describes it, is never one of them.
class CandidateMatcher {
public:
    virtual ~CandidateMatcher() = default;
    virtual void block(uint64_t offset, const uint8_t* data, size_t len, size_t room) = 0;
    virtual std::vector<FileSystemCandidate> finish(const VolumeView& volume) = 0;
};

// Bytes of the next block every block may look into.
inline constexpr size_t kCandidateOverlap = 65536;

}  // namespace brantlow
