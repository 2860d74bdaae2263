// A listing kept in a session: every entry of the result tree with what
// lists, searches and saves ask of it, and what each file's writer needs
// (its extents, or its bytes when they are few and not a plain run of
// extents). StoredListing serves it back as a parser, so that the list,
// the search and the save run on it as on a fresh scan.
#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "fs/api/parser.h"
#include "scan/session/session_codec.h"
#include "scan/session/session_store.h"

namespace brantlow::session {

// Files whose bytes are kept in the session when their extents alone do
// not give them (resident data, inline data, small compressed files...);
// larger ones are written by the parser, the volume scanned again for them.
constexpr uint64_t kKeptContentBytes = 4096;

struct ListingStats {
    uint64_t entries = 0;
    uint64_t kept = 0;      // files whose bytes are stored
    uint64_t byParser = 0;  // files only the parser can write
    bool complete = false;  // everything written and marked finished
};

// Writes the parser's result tree into a listing session (what an earlier,
// cut-short run left goes first), committing every few seconds, and marks
// it finished. Stops writing (not the caller) when the session cannot be
// written: f.writable() false.
ListingStats writeListing(SessionFile& f, VolumeParser& parser, const std::atomic<bool>* stop = nullptr);

class StoredListing : public VolumeParser {
public:
    // Reads the listing; false with why when its rows are damaged. The
    // bytes kept for small files stay in the file until a writer asks: the
    // listing keeps f (open) for that.
    bool load(std::unique_ptr<SessionFile> f, std::string& why);
    // Where file content is read from: the stored volume.
    void setVolume(VolumeView v) { volume_ = std::move(v); }
    // The parser that writes what the session cannot (scanned on first
    // need; may return null).
    void setRescan(std::function<VolumeParser*()> rescan) { rescan_ = std::move(rescan); }
    uint64_t size() const { return rows_.size(); }
    uint64_t needParser() const { return byParser_; }

    ScanOutcome scan(ScanContext&) override { return ScanOutcome::Done; }
    std::vector<EntryId> children(EntryId folder) const override;
    ListTexts listTexts(EntryId id) const override;
    WriteResult writeContent(EntryId id, ContentSink& out) override;
    void outputTimes(EntryId id, OptTime& accessed, OptTime& modified) const override;
    RecoveryEstimate recoverability(EntryId id) const override;
    std::vector<VolumeRange> contentRanges(EntryId id) const override;
    std::optional<uint64_t> plainContentLength(EntryId id) const override;
    std::vector<EntryId> streams(EntryId id) const override;

protected:
    bool readEntry(EntryId id, EntryInfo& out) const override;

private:
    // An entry: where its packed form lies in pool_, which is decoded when
    // the entry is asked for (the rows stay small: 16 bytes).
    struct Row {
        uint64_t at = 0;
        uint32_t parent = 0;
        uint8_t content = 0;
        bool stream = false;
    };
    const Row* row(EntryId id) const { return id >= 1 && id <= rows_.size() ? &rows_[id - 1] : nullptr; }
    bool unpack(EntryId id, PackedEntry& e) const;

    std::string pool_;  // the stored chunks, one after the other
    std::vector<Row> rows_;
    // The pieces of the kept bytes: the offset of each one's first byte
    // (its row in the file), in order; keptTotal_ ends the last.
    std::vector<uint64_t> keptPieces_;
    uint64_t keptTotal_ = 0;
    // Children and streams of each row (index 0: ROOT), as offsets into kids_.
    std::vector<uint32_t> firstKid_, firstStream_;
    std::vector<EntryId> kids_, streamIds_;
    VolumeView volume_;
    std::unique_ptr<SessionFile> file_;
    std::mutex fileMutex_;
    std::unique_ptr<BlobSource> keptSource_;  // over file_'s kept bytes (closed before it)
    std::function<VolumeParser*()> rescan_;
    VolumeParser* rescanned_ = nullptr;
    uint64_t byParser_ = 0;
};

}  // namespace brantlow::session
