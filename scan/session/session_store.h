// A session file: what a scan found and how far it got, kept in an SQLite
// database (write-ahead log, checkpoints in transactions) so that a later
// run reopens the results without reading the disk's metadata again, or
// goes on from the last checkpoint of a scan that was cut short.
//
// A session names the source it was made from (each path, its size and a
// hash of its first and last MiB), the kind of job (a listing, a carve, a
// sector scan) and the job's own settings (volume, mode, options). One that
// does not match, or that is not a session, is damaged or comes from a
// newer version, is refused with the reason and never written over unless
// the operator says so.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "disk/reader.h"
#include "scan/session/session_db.h"

namespace brantlow::session {

// "BRNS" (PRAGMA application_id) and the layout version (PRAGMA user_version).
constexpr int32_t kApplicationId = 0x42524e53;
// Layout 2 keeps a listing's entries packed in chunks; a listing of
// layout 1 is refused (Refusal::Older), the other jobs' tables are the same.
constexpr int32_t kSchemaVersion = 2;

enum class SessionKind { Listing, Carve, SectorScan };
const char* kindName(SessionKind k);

struct SourceIdentity {
    std::string path;
    uint64_t size = 0;
    std::string hash;  // SHA-256 of the first and the last MiB, hex
};
// Reads the first and last MiB of the source (2 MiB at most).
SourceIdentity identifySource(const std::string& path, readWriteInterface& reader);

enum class Refusal {
    None,
    NotASession,  // not an SQLite file, or not one of ours
    Newer,        // written by a newer version
    Damaged,      // truncated or unreadable
    OtherSource,  // its source's size or bytes differ
    OtherJob,     // another kind of job, or other settings
    CannotWrite,  // cannot be created or opened for writing
    Older,        // a listing written by an older version, in a layout this one does not read
};

class SessionFile;

struct Opening {
    std::unique_ptr<SessionFile> file;  // null when refused
    Refusal refusal = Refusal::None;
    std::string reason;  // why refused, for the operator
    bool existed = false;  // an earlier run's session, reopened
};

class SessionFile {
public:
    // Opens path for a job: creates it when missing (or, with overwrite,
    // replaces whatever is there), else checks it. job: the job's settings
    // as one text (compared as it is).
    static Opening open(const std::string& path, SessionKind kind, const std::string& job,
                        const std::vector<SourceIdentity>& sources, bool overwrite);

    Database& db() { return db_; }
    const std::string& path() const { return path_; }
    SessionKind kind() const { return kind_; }

    // The job ran to its end and everything it found is stored.
    bool finished();
    std::string meta(const std::string& key);
    bool setMeta(const std::string& key, const std::string& value);

    // Checkpoint transactions. A failed write (a full disk...) rolls back
    // to the last checkpoint and stops every later write: writable() turns
    // false and stopReason() says why; the job itself goes on.
    bool begin();
    bool commit();
    void writeFailed();
    bool writable() const { return writable_; }
    const std::string& stopReason() const { return stopReason_; }
    // True once interval has passed since the last commit (the caller then
    // commits and begins again).
    bool due() const { return std::chrono::steady_clock::now() - lastCommit_ >= interval_; }
    void setInterval(std::chrono::milliseconds interval) { interval_ = interval; }

private:
    SessionFile() = default;
    bool create(const std::string& job, const std::vector<SourceIdentity>& sources, std::string& why);

    Database db_;
    std::string path_;
    SessionKind kind_ = SessionKind::Listing;
    bool writable_ = true;
    std::chrono::milliseconds interval_{2000};
    bool inTransaction_ = false;
    std::string stopReason_;
    std::chrono::steady_clock::time_point lastCommit_ = std::chrono::steady_clock::now();
};

// The first 100 bytes of a file checked as a session's header: empty when
// they are one of ours (of this version or older), else the reason. size:
// the file's length, walSize: its write-ahead log's (0: none).
std::string checkHeader(const uint8_t* head, size_t n, uint64_t size, uint64_t walSize, Refusal& refusal);

}  // namespace brantlow::session
