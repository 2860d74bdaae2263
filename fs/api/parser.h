// What every file-system parser offers the scan page, the save, the
// command-line tool and the tests. Each parser keeps its own entry table
// (first-child / next-sibling links) and answers these questions from it.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "base/content_sink.h"
#include "base/sinks.h"
#include "base/times.h"
#include "disk/volume_view.h"
#include "fs/api/damage.h"
#include "fs/api/recoverability.h"

namespace brantlow {

using EntryId = uint64_t;
// The "ROOT" item of every result tree.
constexpr EntryId kRootId = ~0ull;

enum class EntryKind { File, Folder, Other };
enum class EntryState { Live, Deleted };

struct EntryInfo {
    std::string name;  // as found; UTF-8 (ext names: their own bytes)
    EntryKind kind = EntryKind::File;
    EntryState state = EntryState::Live;
    bool orphan = false;  // its folder is gone: listed under the orphan folder
    uint64_t size = 0;    // data size in bytes as recorded
    OptTime created, modified, accessed;  // UTC instants as recorded
    std::string attributes;  // the list's attribute text
    bool hasChildren = false;
    bool skipOnSave = false;  // counted by the save but not written ("$BadClus")
    // The first character of the name was overwritten when the entry was
    // deleted (a short name without its long name): the name shows the
    // character the deletion mark stands for in its code page.
    bool firstLetterLost = false;
    // A file of the recycle bin shown under its former name: the path it
    // had and when it was deleted (empty / none otherwise).
    std::string originalPath;
    OptTime deletedAt;
};

// What a recycle-bin record tells about a file's former life.
struct RestoredName {
    std::string name;          // the former file name
    std::string originalPath;  // the former full path as recorded
    OptTime deletedAt;
};

// The five list columns after the name.
struct ListTexts {
    std::string created, accessed, modified, size, attributes;
};

// Scan modes as the recovery-mode page numbers them.
enum class ScanMode { Standard = 1, Advanced = 2, Deep = 3 };

// The operator's choices that change how a volume is read.
struct ScanOptions {
    // "Is Drive Formated..?": the FAT is empty, so files are read from
    // contiguous clusters instead of their chains.
    bool driveFormatted = false;
    // Advanced mode: the candidate chosen on the advanced-input page (byte
    // position from the volume start: exFAT its FAT), the exFAT heap
    // position, and the sectors-per-cluster exponent. -1: not chosen (the
    // scan searches and takes what the page would offer first).
    int64_t advancedCandidate = -1;
    int64_t advancedHeap = -1;
    int advancedClusterShift = -1;
    // The extension (without the dot) that a file's first bytes suggest,
    // or empty: names files that are recovered without a name. The scan
    // fills it from the carving types when it is not set.
    std::function<std::string(const uint8_t* head, size_t n)> guessExtension;
};

struct ScanContext {
    VolumeView volume;
    ScanMode mode = ScanMode::Standard;
    ScanOptions options;
    ProgressSink* progress = nullptr;  // already throttled; may be null
    PauseGate* gate = nullptr;
    MessageSink* messages = nullptr;  // may be null

    void status(const std::string& s) const { if (progress) progress->status(s); }
    void range(int64_t hi) const { if (progress) progress->range(hi); }
    void position(int64_t p) const { if (progress) progress->position(p); }
    void wait() const { if (gate) gate->wait(); }
    void message(const std::string& s) const { if (messages) messages->info(s); }
};

enum class ScanOutcome {
    Done,      // the tree is ready (possibly partial after Stop)
    Rejected,  // not this file system: rejectMessage() says so, no ending
    Failed,    // a later check failed: message, then the common ending
};

// How a file's content came out.
enum class WriteStatus {
    Complete,  // every byte the entry records
    Partial,   // less than recorded: what the metadata backs, or a read failed
    Failed,    // nothing usable
};

struct WriteResult {
    WriteStatus status = WriteStatus::Complete;
    std::string reason;  // why not complete, for the summary

    static WriteResult complete() { return {}; }
    static WriteResult partial(std::string why) { return {WriteStatus::Partial, std::move(why)}; }
    static WriteResult failed(std::string why) { return {WriteStatus::Failed, std::move(why)}; }
    bool ok() const { return status == WriteStatus::Complete; }
};

class VolumeParser {
public:
    virtual ~VolumeParser() = default;

    // Runs the phases of the scan for ctx.mode. Polls stopRequested.
    virtual ScanOutcome scan(ScanContext& ctx) = 0;
    // The box text for Rejected / Failed.
    virtual std::string rejectMessage() const { return {}; }
    // The scan's ending for this file system: nullptr for the common ending
    // (the box and status "Scanning processing done...."), or the status
    // text to show instead, without a box (HFS+: "Work Done." / "Work
    // Aborted....").
    virtual const char* endingStatus(ScanOutcome outcome) const { (void)outcome; return nullptr; }

    // Children of a folder (kRootId for ROOT), in tree order. Bounded: a
    // cyclic sibling chain ends at the first repeat.
    virtual std::vector<EntryId> children(EntryId folder) const = 0;
    // The entry as lists, saves and searches see it: the parser's record,
    // under its former name where the recycle bin recorded one.
    bool entryInfo(EntryId id, EntryInfo& out) const {
        if (!readEntry(id, out)) return false;
        if (!restored_.empty()) {
            auto it = restored_.find(id);
            if (it != restored_.end()) {
                out.name = it->second.name;
                out.firstLetterLost = false;
                out.originalPath = it->second.originalPath;
                out.deletedAt = it->second.deletedAt;
            }
        }
        return true;
    }
    virtual ListTexts listTexts(EntryId id) const = 0;

    // Writes the entry's content into out. Never more than the entry's
    // metadata backs (runs, chain, extents) within the volume: a recorded
    // size beyond that is written as far as it is backed and reported
    // Partial. Zero regions go through out.writeZeros. Unreadable clusters
    // are written as zeros and reported Partial. A false from out ends the
    // writer (Failed).
    virtual WriteResult writeContent(EntryId id, ContentSink& out) = 0;
    // Times an output file gets (default: the recorded access and
    // modification times). FAT gives local-time instants here.
    virtual void outputTimes(EntryId id, OptTime& accessed, OptTime& modified) const {
        EntryInfo info;
        if (entryInfo(id, info)) {
            accessed = info.accessed;
            modified = info.modified;
        }
    }

    // Whether a deleted file's content is still its own: the clusters its
    // writer would read, looked up in the volume's allocation map (NTFS
    // $Bitmap, the FAT, the exFAT bitmap, the ext block bitmaps, the HFS+
    // allocation file). Live entries and folders are not asked. Default, and
    // without a map: Unknown.
    virtual RecoveryEstimate recoverability(EntryId id) const { (void)id; return {}; }
    // Reads that map, once (later calls return at once); recoverability()
    // reads it itself when this has not run. Pages call it on their worker
    // after the scan, so that nothing waits for it later.
    virtual void loadAllocationMap() const {}
    // Where the volume holds no file now: its free clusters (blocks) per
    // that map, as byte ranges from the volume start, in order. Empty when
    // the map is not known (default).
    virtual std::vector<VolumeRange> unallocatedRanges() const { return {}; }

    // Where a file's content lies: the byte ranges of the volume that its
    // writer reads (its runs, chain or extents, up to its size), in file
    // order. Resident data, holes and unwritten extents have none. Default:
    // none known.
    virtual std::vector<VolumeRange> contentRanges(EntryId id) const { (void)id; return {}; }
    // When the writer's output is exactly contentRanges(id) read in order
    // and cut at a length (no resident or inline data, holes, compression,
    // unwritten or uninitialised parts, nothing outside the volume), that
    // length; nullopt otherwise (default). A stored scan result writes such
    // a file from its ranges alone.
    virtual std::optional<uint64_t> plainContentLength(EntryId id) const { (void)id; return std::nullopt; }

    // Extra data streams of a file (NTFS named streams), written beside it
    // as "name:stream" when asked for. Default: none.
    virtual std::vector<EntryId> streams(EntryId id) const { (void)id; return {}; }

    // Gives an entry its former name (the recycle-bin step, at the end of
    // a scan, before anything reads the tree).
    void restoreName(EntryId id, RestoredName r) { restored_[id] = std::move(r); }
    size_t restoredNames() const { return restored_.size(); }

    // Structures the scan refused or repaired, each named with its offset.
    const DamageLog& damage() const { return damage_; }

    std::atomic<bool> stopRequested{false};

protected:
    // The entry as its record says.
    virtual bool readEntry(EntryId id, EntryInfo& out) const = 0;

    DamageLog damage_;

private:
    std::unordered_map<EntryId, RestoredName> restored_;
};

}  // namespace brantlow
