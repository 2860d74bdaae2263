// What every file-system parser offers the scan page, the save, the
// command-line tool and the tests. Each parser keeps its own entry table
// (first-child / next-sibling links) and answers these questions from it.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

#include "disk/volume_view.h"
#include "fs/common/output.h"
#include "fs/common/sinks.h"
#include "fs/common/times.h"

namespace brantlow {

using EntryId = uint64_t;
// The "ROOT" item of every result tree.
constexpr EntryId kRootId = ~0ull;

enum class EntryKind { File, Folder, Other };
enum class EntryState { Live, Deleted, Orphan };

struct EntryInfo {
    std::string name;  // as found; UTF-8 (ext names: their own bytes)
    EntryKind kind = EntryKind::File;
    EntryState state = EntryState::Live;
    uint64_t size = 0;  // data size in bytes
    OptTime created, modified, accessed;  // UTC instants as recorded
    std::string attributes;  // the list's attribute text
    bool hasChildren = false;
    bool skipOnSave = false;  // counted by the save but not written ("$BadClus")
};

// The five list columns after the name.
struct ListTexts {
    std::string created, accessed, modified, size, attributes;
};

// "Is Drive Formated..?" of the recovery-mode page: program-wide, read by the
// FAT chain lookups when a scan starts (a formatted drive's FAT is empty, so
// files are read from contiguous clusters).
inline std::atomic<bool> g_driveFormatted{false};

// Scan modes as the recovery-mode page numbers them.
enum class ScanMode { Standard = 1, Advanced = 2, Deep = 3 };

struct ScanContext {
    VolumeView volume;
    ScanMode mode = ScanMode::Standard;
    ProgressSink* progress = nullptr;  // already throttled; may be null
    PauseGate* gate = nullptr;
    MessageSink* messages = nullptr;  // may be null

    void status(const std::string& s) const { if (progress) progress->status(s); }
    void range(int64_t hi) const { if (progress) progress->range(hi); }
    void position(int64_t p) const { if (progress) progress->position(p); }
    void wait() const { if (gate) gate->wait(); }
};

enum class ScanOutcome {
    Done,      // the tree is ready (possibly partial after Stop)
    Rejected,  // not this file system: rejectMessage() says so, no ending
    Failed,    // a later check failed: message, then the common ending
};

class VolumeParser {
public:
    virtual ~VolumeParser() = default;

    // Runs the phases of the scan for ctx.mode. Polls stopRequested.
    virtual ScanOutcome scan(ScanContext& ctx) = 0;
    // The box text for Rejected / Failed.
    virtual std::string rejectMessage() const { return {}; }

    // Children of a folder (kRootId for ROOT), in tree order. Bounded: a
    // cyclic sibling chain ends at the first repeat.
    virtual std::vector<EntryId> children(EntryId folder) const = 0;
    virtual bool entryInfo(EntryId id, EntryInfo& out) const = 0;
    virtual ListTexts listTexts(EntryId id) const = 0;

    // Writes the entry's content into an open output file. False when a
    // read or write failed (what could be read is still written, with zeros
    // for the rest).
    virtual bool writeContent(EntryId id, OutputFile& out) = 0;
    // Times an output file gets (default: the recorded access and
    // modification times). FAT gives local-time instants here.
    virtual void outputTimes(EntryId id, OptTime& accessed, OptTime& modified) const {
        EntryInfo info;
        if (entryInfo(id, info)) {
            accessed = info.accessed;
            modified = info.modified;
        }
    }

    // Extra data streams of a file (NTFS named streams), written beside it
    // as "name:stream" when asked for. Default: none.
    virtual std::vector<EntryId> streams(EntryId id) const { (void)id; return {}; }

    std::atomic<bool> stopRequested{false};
};

}  // namespace brantlow
