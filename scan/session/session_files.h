// Session files as the wizard handles them: the folder it keeps the
// sessions of its scans in (one file per source and job), what a session
// holds read without checking it against a source or writing to it, the
// sessions made from a source, a listing written from a result held in
// memory, and a finished listing opened as a result to show.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "disk/partition.h"
#include "scan/session/listing_session.h"
#include "scan/session/session_store.h"

namespace brantlow::session {

// The suffix of a session file.
inline constexpr const char* kSessionSuffix = ".session";

// Where the wizard keeps the sessions of its scans:
// $XDG_DATA_HOME/brantlow/sessions, else ~/.local/share/brantlow/sessions
// ("" when neither is known).
std::string defaultSessionFolder();
// The folder of the wizard's sessions: defaultSessionFolder(), or "" (no
// sessions kept) when BRANTLOW_KEEP_SESSIONS is "0".
std::string wizardSessionFolder();
// Makes folder (and its parents, mode 0700). False with why.
bool makeSessionFolder(const std::string& folder, std::string& why);
// The session of one job on one source in folder: the source's file name,
// the kind, and a hash of the source's path, the kind and the job.
std::string defaultSessionPath(const std::string& folder, const std::string& sourcePath, SessionKind kind,
                               const std::string& job);

// What a session holds, read without a source.
struct SessionSummary {
    std::string path;
    SessionKind kind = SessionKind::Listing;
    std::string job;
    bool finished = false;
    std::vector<SourceIdentity> sources;
    std::string volume;      // the volume's number or text (meta "volume.number")
    std::string fileSystem;  // a listing's file system
    bool hasVolume = false;  // the volume's place is recorded (below)
    bool layered = false;    // inside a layer (decrypted, a logical volume)
    uint64_t startSector = 0, sizeSectors = 0;
    uint64_t rows = 0;       // entries of a listing, finds of a carve, volumes of a sector scan
    int64_t modified = 0;    // the file's time of last change, seconds since 1970
};
// Reads path's header and its meta and sources tables through a read-only
// connection: nothing is written to it. False with the refusal and the
// reason when it is not a session, is newer or damaged.
bool peekSession(const std::string& path, SessionSummary& out, Refusal& refusal, std::string& reason);

// The sessions in folder that were made from the source at sourcePath of
// sizeBytes bytes (one source, the same path and size; the bytes are
// checked when one is opened), newest first. Files that are not sessions
// are passed over.
std::vector<SessionSummary> sessionsForPath(const std::string& folder, const std::string& sourcePath);
std::vector<SessionSummary> sessionsForSource(const std::string& folder, const std::string& sourcePath,
                                              uint64_t sizeBytes);
bool sessionMatchesSource(const SessionSummary& s, const std::string& sourcePath, uint64_t sizeBytes);

// What opening a session does: show what it holds (a finished job), go on
// from its last checkpoint (a carve or sector scan cut short), or scan
// again (a listing cut short: its parsers keep no state to go on from).
enum class ReopenAction { Show, Resume, Rescan };
ReopenAction reopenAction(const SessionSummary& s);
// One line for the operator: kind, volume, state, count, time.
std::string sessionOfferText(const SessionSummary& s);

// Removes a session file with its write-ahead log and shared-memory file.
// False when the file stays (why).
bool removeSession(const std::string& path, std::string* why = nullptr);

// The volume a job ran on, kept in its meta (what a reopen reads it
// through), with the mode of a listing.
bool recordVolume(SessionFile& f, const VolumeEntry& volume, const VolumeView& view, bool layered);
bool recordMode(SessionFile& f, ScanMode mode);
// The recorded volume (false when there is none or it does not decode)
// and mode (Standard when none is recorded).
bool recordedVolume(SessionFile& f, VolumeEntry& volume, uint64_t& startByte, uint64_t& sizeBytes, bool& layered);
ScanMode recordedMode(SessionFile& f);

// Copies a session (a consistent snapshot of what it holds now) to path,
// replacing what is there. False with why.
bool copySession(SessionFile& f, const std::string& path, std::string& why);

// Writes the result of a finished scan (parser's tree) of volume as a
// listing session at path, replacing what is there. False with why.
bool saveListingSession(const std::string& path, const std::vector<SourceIdentity>& sources, const std::string& job,
                        const VolumeEntry& volume, const VolumeView& view, bool layered, ScanMode mode,
                        VolumeParser& parser, std::string& why);

// A finished listing reopened as a result: its tree served from the file,
// file content read through the recorded volume of reader.
struct ReopenedListing {
    std::unique_ptr<StoredListing> parser;
    VolumeEntry volume;
    VolumeView view;
    std::string damage;  // the damage the scan went past, as it said it
    std::string path;    // the session file
};
// f: a finished listing session opened for the source of reader. A volume
// inside a layer (decrypted, a logical volume) is read through layered,
// the same volume opened by the caller (null: refused, since the session
// cannot open the layer). rescan: the parser that writes what the session
// keeps no plan for (may be empty). Null with why when refused.
std::optional<ReopenedListing> reopenListing(std::unique_ptr<SessionFile> f, std::shared_ptr<readWriteInterface> reader,
                                             const VolumeEntry* layered, std::function<VolumeParser*()> rescan,
                                             std::string& why);

}  // namespace brantlow::session
