// The carving engine: scans a volume for the start and end signatures of the
// loaded types and records every file it can delimit.
//
// Start signatures are tested at every 512-byte sector start; a sector that
// none of them matches may open a type recognised by its content (plain
// text, delimited by its finder). A type whose
// format has an end finder (raw/finders.h) is delimited by walking its
// structure from the start; the find is marked complete, truncated (written
// as far as it is valid) or, when the format's check fails, invalid (then
// delimited as below). Other types: while a type has a start waiting for
// its end, its end signature is searched at every byte after that start; a
// size field or the approximate size delimits the types without an end
// signature. The volume is read in large positional reads into one buffer,
// which an end finder moves forward as it walks; nothing is allocated per
// sector.
#pragma once

#include <array>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "base/sinks.h"
#include "disk/volume_view.h"
#include "platform/output_file.h"
#include "raw/finders.h"
#include "raw/settings.h"

namespace brantlow::raw {

// One find: bytes from the volume start, and its size.
struct CarvedItem {
    uint64_t start = 0;
    uint64_t size = 0;
    uint32_t type = 0;  // index in the engine's type list
    FindStatus status = FindStatus::Unchecked;
    const char* detected = nullptr;  // the detected type's extension; nullptr: the type's own
    uint32_t label = 0;              // 1 + index of its name from content in the engine's labels; 0: none
    // A photo put back together from two pieces: the first piece's length
    // and the gap after it, in sectors (0: one piece).
    uint32_t firstSectors = 0;
    uint32_t gapSectors = 0;
};

// One loaded type: its settings record (size offset −1 when the record's is
// 0 or less) and what the engine keeps beside it.
struct CarveType : SettingsRecord {
    uint16_t identifier = 0;          // position in the type list
    std::string extensionText;        // UTF-8 of the extension
    std::string categoryText;         // UTF-8 of the category
    const EndFinder* finder = nullptr;  // chosen by the extension
    bool startRepeats() const { return (flags & kFlagStartRepeats) != 0; }
    bool dropInvalid() const { return (flags & kFlagDropInvalid) != 0; }
    bool byContent() const { return (flags & kFlagByContent) != 0; }
    // Where the start signature sits in the file (its finder says; 0 without).
    uint32_t signatureAt() const { return finder ? finder->signatureAt : 0; }
};

CarveType typeFromRecord(const SettingsRecord& r, uint16_t identifier);

// What to carve: byte ranges of the volume (a file system's free clusters),
// taken as one stretch of bytes one after the other, so that a file whose
// pieces lie around live files reads as one. Empty: the whole volume.
struct ByteRange {
    uint64_t start = 0;
    uint64_t length = 0;
};
class CarveArea {
public:
    // Sorted, merged, cut to whole sectors and to the volume's size.
    void assign(std::vector<ByteRange> ranges, uint64_t volumeBytes);
    bool whole() const { return ranges_.empty(); }
    const std::vector<ByteRange>& ranges() const { return ranges_; }
    uint64_t size() const { return virt_.empty() ? 0 : virt_.back(); }
    // Position in the volume of a position in the area, and back (positions
    // outside every range map to the next range's start).
    uint64_t toVolume(uint64_t pos) const;
    uint64_t toArea(uint64_t volumePos) const;
    // Reads n bytes at area position pos (zeros where unreadable).
    void read(const VolumeView& v, uint64_t pos, uint8_t* buf, size_t n) const;

private:
    std::vector<ByteRange> ranges_;
    std::vector<uint64_t> virt_;  // area position of each range's end
};

// Where the finds go while the scan runs (the page's tree, the CLI, tests).
// Called on the scanning thread.
class CarveSink {
public:
    virtual ~CarveSink() = default;
    // Before scanning: one call per distinct category, in type order.
    virtual void categoryAdded(const std::string& category) { (void)category; }
    // A find: its index in foundItems, its item text ("1048576 .jpg"), its
    // category and the category's new running count.
    virtual void itemFound(size_t index, const CarvedItem& item, const std::string& text,
                           const std::string& category, uint64_t count) {
        (void)index, (void)item, (void)text, (void)category, (void)count;
    }
};

// Where a scan stood at a checkpoint (taken between two buffers): with the
// finds and labels up to then (foundItems(), labels()), enough to go on
// later to the result of a scan that never stopped.
struct CarveProgress {
    uint64_t next = 0;  // scanned-area position of the next buffer
    uint64_t cur = 0;   // the next sector to test
    uint64_t grid = 0;  // where the reads count their blocks from
    struct Waiting {    // a type's starts that wait for their end
        std::vector<uint64_t> starts;
        uint64_t searchFrom = 0, nextEnd = UINT64_MAX, searchedTo = 0;
    };
    std::vector<Waiting> waiting;  // one per type
    std::vector<uint64_t> findsPerType;
    std::vector<std::pair<std::string, uint64_t>> categoryCounts;
    uint64_t droppedStarts = 0;
};

class myJpg {
public:
    static constexpr uint64_t step = 512;
    static constexpr uint32_t chunkSize = 1048576;   // unit of the progress and the skip rule
    static constexpr size_t ioChunk = 256 * 1024;     // bytes matched per step
    static constexpr size_t readBlock = 1024 * 1024;  // bytes per read, read ahead on the second thread
    static constexpr size_t readSlots = 3;            // blocks held
    static constexpr size_t maxTypes = 1024;         // several settings files of 256 records
    static constexpr size_t maxPendingPerType = 4096;
    static constexpr size_t maxFindsPerType = 1000000;

    myJpg() = default;
    myJpg(const myJpg&) = delete;
    myJpg& operator=(const myJpg&) = delete;

    // Loaders: append the file's types to the type list. The default file
    // is passed over silently when it cannot be opened; every other problem
    // goes to the message sink. Return false when nothing was added.
    bool loadDefaultTypes(const std::string& path);
    bool loadTypeFile(const std::string& path);
    // Appends types already decoded (tests, tools).
    void addRecords(const std::vector<SettingsRecord>& records);

    // Builds the start-signature index and the pending stacks.
    bool initialize();
    // Runs the whole scan: chunks, tail, drain. Returns false without doing
    // anything when a scan is already running on this engine or the engine
    // was not initialised.
    bool scanVolume();

    // Set before scanVolume.
    VolumeView volume;            // the volume (reads are positional)
    uint64_t volumeBytes = 0;     // size of the volume
    // Carve only these ranges of the volume (setArea); whole volume when empty.
    void setArea(std::vector<ByteRange> ranges) { area_.assign(std::move(ranges), volumeBytes); }
    const CarveArea& area() const { return area_; }
    // Reads n bytes of a find from offset off of it.
    void readFind(const CarvedItem& item, uint64_t off, uint8_t* buf, size_t n) const;
    // Where a find's bytes lie: (start, length) in the volume, one piece or two.
    std::vector<std::pair<uint64_t, uint64_t>> pieces(const CarvedItem& item) const;
    ProgressSink* progress = nullptr;
    PauseGate* pauseGate = nullptr;  // waited on before each read
    CarveSink* sink = nullptr;
    std::atomic<bool> stopRequested{false};
    // Off: every type is delimited by its signatures and size rules only.
    bool useEndFinders = true;

    // Checkpoints: asked between buffers whether one is due, then handed
    // where the scan stands (called on the scanning thread).
    std::function<bool()> checkpointDue;
    std::function<void(const CarveProgress&)> checkpoint;
    // Before scanVolume: go on from a checkpoint, with the finds made
    // before it (detected: each find's detected extension, empty for none)
    // and the labels they name. False (nothing changed) when the state does
    // not fit this engine's types or area.
    bool resumeFrom(CarveProgress p, std::vector<CarvedItem> found, const std::vector<std::string>& detected,
                    std::vector<std::string> labels);
    const std::vector<std::string>& labels() const { return labels_; }
    // Where a scan that ran to its end stands: resumed from, it ends at once
    // with the same finds and counts.
    CarveProgress endState() const;
    // How far the scan got (scanned-area bytes), for the operator.
    uint64_t resumedAt() const { return resume_ ? resume_->next : 0; }
    // A JPEG whose data stops decoding part-way is looked for again after
    // gaps of up to this many bytes (0: not at all); found, it is listed as
    // a second find of two pieces beside the first piece.
    uint64_t maxFragmentGap = 1 << 20;

    const std::vector<CarveType>& types() const { return types_; }
    const std::vector<CarvedItem>& foundItems() const { return found_; }
    const std::map<std::string, uint64_t>& categoryCounts() const { return categoryCounts_; }
    bool running() const { return running_.load(); }
    // Item text of a find: "%lld ." followed by the type's extension.
    std::string itemText(const CarvedItem& item) const;
    // The extension a find is written with: the detected type's, else the
    // type's own (not yet sanitised).
    std::string extensionOf(const CarvedItem& item) const;
    // What the find holds that names it ("2023-05-06 07.08.09 Canon EOS
    // 80D", "Artist - Title"), or empty.
    const std::string& labelOf(const CarvedItem& item) const;
    // A find's category: its type's, or, for a photo put back together from
    // two pieces, kTwoPiecesCategory (a guess checked by decoding, listed
    // apart from the finds whose bytes lie as they are).
    const std::string& categoryOf(const CarvedItem& item) const;
    static constexpr const char* kTwoPiecesCategory = "Photos in two pieces";
    // The file name a find is written under (before sanitising): the label
    // and the start ("2023-05-06 07.08.09 Canon EOS 80D 1048576.jpg"), or
    // the start alone ("1048576.jpg").
    std::string outputName(const CarvedItem& item) const;
    // Pending starts dropped because a type had too many waiting.
    uint64_t droppedStarts() const { return droppedStarts_; }

private:
    // A start signature as two masked 64-bit words (wildcards masked out).
    struct StartMatcher {
        uint64_t pat[2]{};
        uint64_t mask[2]{};
        uint32_t type = 0;
    };
    // Starts of one type waiting for its end signature. Each start is a
    // sector position; its low bits carry the find's status (a start whose
    // format check failed waits as well, marked).
    struct Pending {
        std::deque<uint64_t> starts;
        uint64_t searchFrom = 0;      // next byte at which the end is searched
        uint64_t nextEnd = UINT64_MAX;  // cached next end position (UINT64_MAX: not known)
        uint64_t searchedTo = 0;      // nextEnd was searched up to here
    };
    struct Scan;
    class Window;
    friend struct Scan;
    friend class Window;

    void setUpCategories();
    void record(uint32_t type, uint64_t start, uint64_t size, FindStatus status, const char* detected,
                const std::string& label = std::string(), uint64_t firstLength = 0, uint64_t gap = 0);
    bool startAt(const uint8_t* p, uint32_t& type) const;
    bool startInside(const uint8_t* p, uint32_t& type) const;
    bool startByContent(const uint8_t* p, uint32_t& type) const;
    uint64_t findEnd(uint32_t type, uint64_t from, uint64_t to, const uint8_t* buf, uint64_t bufBase) const;
    void fillChunk(uint8_t* buf, uint64_t pos, size_t count) const;
    void fillArea(uint8_t* buf, uint64_t pos, size_t count) const;
    void drain();

    std::vector<CarveType> types_;
    CarveArea area_;
    uint64_t scanBytes_ = 0;  // size of what is scanned: the area, or the volume
    std::vector<Pending> pendingStarts_;
    std::array<std::vector<StartMatcher>, 256> startByFirstByte_;  // start entries, lowest index first
    // Signatures whose first bytes are wildcards, by their first byte that
    // is not (offset, table by that byte).
    std::vector<std::pair<uint32_t, std::array<std::vector<StartMatcher>, 256>>> anchored_;
    // Signatures tested inside each sector (offset, matcher), lowest index first.
    std::vector<std::pair<uint32_t, StartMatcher>> startInside_;
    // Types recognised by content (text), tested where no signature matches.
    std::vector<uint32_t> byContent_;
    std::vector<CarvedItem> found_;
    std::vector<std::string> labels_;
    std::deque<std::string> detectedTexts_;  // detected extensions of finds read back
    std::unique_ptr<CarveProgress> resume_;
    std::vector<uint64_t> findsPerType_;
    std::map<std::string, uint64_t> categoryCounts_;
    std::atomic<bool> running_{false};
    bool initialized_ = false;
    uint64_t droppedStarts_ = 0;
};

// Writing the finds: one subfolder per category, files named
// "<start>.<ext>" with the detected type's extension, a summary
// "carve-summary.txt" in the output folder (start, size, type, status,
// category, file).
struct SaveResult {
    uint64_t written = 0;
    uint64_t failed = 0;
    std::vector<std::string> paths;  // in the order of the indexes given
    std::string error;               // first failure's text
};
class EarlyFinds;
SaveResult saveFinds(const myJpg& engine, const std::vector<size_t>& indexes, const std::string& outDir,
                     ProgressSink* progress = nullptr, const std::atomic<bool>* stop = nullptr,
                     EarlyFinds* early = nullptr);

// Writing finds while the scan goes on: on two threads of its own, each find
// offered is written into a file without a name in the output folder
// (where the medium has such files; otherwise nothing is written early).
// saveFinds, given these, names them instead of writing them again. What
// is not named vanishes with this object: a scan that is stopped leaves
// nothing behind. At most maxFiles finds are written early.
class EarlyFinds {
public:
    EarlyFinds(const myJpg& engine, const std::string& outDir, size_t maxFiles);
    ~EarlyFinds();
    EarlyFinds(const EarlyFinds&) = delete;
    EarlyFinds& operator=(const EarlyFinds&) = delete;
    // Called on the scanning thread as a find is made (index in foundItems).
    void offer(size_t index, const CarvedItem& item);
    // Ends the writing; what was not finished is left to saveFinds.
    void finish();
    // The file written for this find, taken (nullptr: none).
    std::unique_ptr<platform::OutputFile> take(size_t index);
    size_t written() const;

private:
    void run();
    const myJpg& engine_;
    platform::OutputFolder folder_;
    const size_t maxFiles_;
    size_t offered_ = 0;
    mutable std::mutex m_;
    std::condition_variable cv_;
    std::deque<std::pair<size_t, CarvedItem>> queue_;
    std::map<size_t, std::unique_ptr<platform::OutputFile>> files_;
    bool quit_ = false;
    std::atomic<bool> usable_{true};
    std::vector<std::thread> threads_;
};

}  // namespace brantlow::raw
