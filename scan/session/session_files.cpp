#include "scan/session/session_files.h"

#include <sqlite3.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <system_error>

#include "base/texts.h"
#include "platform/files.h"
#include "scan/volumes.h"

namespace brantlow::session {

namespace {

constexpr size_t kMaxMetaText = 4096;
constexpr size_t kMaxSources = 64;
constexpr size_t kMaxFolderFiles = 10000;

std::optional<uint64_t> number(const std::string& s) {
    if (s.empty() || s.size() > 20) return std::nullopt;
    uint64_t v = 0;
    for (char c : s) {
        if (c < '0' || c > '9') return std::nullopt;
        const uint64_t d = static_cast<uint64_t>(c - '0');
        if (v > (UINT64_MAX - d) / 10) return std::nullopt;
        v = v * 10 + d;
    }
    return v;
}

uint64_t fnv(const std::string& s, uint64_t h = 1469598103934665603ull) {
    for (unsigned char c : s) h = (h ^ c) * 1099511628211ull;
    return h;
}

// A read-only connection: closes itself.
struct ReadOnly {
    sqlite3* db = nullptr;
    ~ReadOnly() {
        if (db) sqlite3_close(db);
    }
    std::string text(const char* sql, const char* key) {
        sqlite3_stmt* st = nullptr;
        std::string out;
        if (sqlite3_prepare_v2(db, sql, -1, &st, nullptr) != SQLITE_OK) return out;
        if (key) sqlite3_bind_text(st, 1, key, -1, SQLITE_STATIC);
        if (sqlite3_step(st) == SQLITE_ROW) {
            const auto* p = reinterpret_cast<const char*>(sqlite3_column_text(st, 0));
            const int n = sqlite3_column_bytes(st, 0);
            if (p && n > 0) out.assign(p, std::min<size_t>(static_cast<size_t>(n), kMaxMetaText));
        }
        sqlite3_finalize(st);
        return out;
    }
};

}  // namespace

std::string defaultSessionFolder() {
    const char* data = std::getenv("XDG_DATA_HOME");
    if (data && data[0] == '/') return std::string(data) + "/brantlow/sessions";
    const char* home = std::getenv("HOME");
    if (home && home[0] == '/') return std::string(home) + "/.local/share/brantlow/sessions";
    return {};
}

std::string wizardSessionFolder() {
    const char* keep = std::getenv("BRANTLOW_KEEP_SESSIONS");
    if (keep && std::string(keep) == "0") return {};
    return defaultSessionFolder();
}

bool makeSessionFolder(const std::string& folder, std::string& why) {
    if (folder.empty()) {
        why = "no folder for sessions is known (neither XDG_DATA_HOME nor HOME is set)";
        return false;
    }
    if (int e = platform::makeDirs(folder)) {
        why = folder + ": " + std::strerror(e);
        return false;
    }
    return true;
}

std::string defaultSessionPath(const std::string& folder, const std::string& sourcePath, SessionKind kind,
                               const std::string& job) {
    // The source's own name, kept to letters, digits and . _ - (a device
    // or an image path), so the operator can tell the files apart.
    std::string name = sourcePath.substr(sourcePath.find_last_of('/') + 1);
    for (char& c : name)
        if (!(std::isalnum(static_cast<unsigned char>(c)) || c == '.' || c == '_' || c == '-')) c = '_';
    if (name.size() > 60) name.resize(60);
    if (name.empty() || name[0] == '.') name = "source" + name;
    std::string kindText = kindName(kind);
    std::replace(kindText.begin(), kindText.end(), ' ', '-');
    char hash[24];
    std::snprintf(hash, sizeof hash, "%016llx",
                  static_cast<unsigned long long>(fnv(job, fnv(kindText, fnv(sourcePath)))));
    return folder + "/" + name + "-" + kindText + "-" + hash + kSessionSuffix;
}

bool peekSession(const std::string& path, SessionSummary& out, Refusal& refusal, std::string& reason) {
    out = SessionSummary{};
    out.path = path;
    std::vector<uint8_t> head, whead;
    uint64_t size = 0, wal = 0;
    const int e = platform::fileHead(path, 100, head, size);
    if (e != 0) {
        refusal = e == EINVAL ? Refusal::NotASession : Refusal::CannotWrite;
        reason = e == EINVAL ? "is not a regular file" : std::string("cannot be read: ") + std::strerror(e);
        return false;
    }
    platform::fileHead(path + "-wal", 0, whead, wal);
    reason = checkHeader(head.data(), head.size(), size, wal, refusal);
    if (refusal != Refusal::None) return false;
    ReadOnly ro;
    if (sqlite3_open_v2(path.c_str(), &ro.db, SQLITE_OPEN_READONLY, nullptr) != SQLITE_OK) {
        refusal = Refusal::Damaged;
        reason = std::string("cannot be opened: ") + (ro.db ? sqlite3_errmsg(ro.db) : "out of memory");
        return false;
    }
    sqlite3_busy_timeout(ro.db, 2000);
    const char* metaSql = "SELECT value FROM meta WHERE key = ?";
    const std::string kind = ro.text(metaSql, "kind");
    if (kind == kindName(SessionKind::Listing)) out.kind = SessionKind::Listing;
    else if (kind == kindName(SessionKind::Carve)) out.kind = SessionKind::Carve;
    else if (kind == kindName(SessionKind::SectorScan)) out.kind = SessionKind::SectorScan;
    else {
        refusal = Refusal::Damaged;
        reason = kind.empty() ? "is damaged (no job recorded)" : "is damaged (an unknown job: " + kind + ")";
        return false;
    }
    out.job = ro.text(metaSql, "job");
    out.finished = ro.text(metaSql, "finished") == "1";
    out.volume = ro.text(metaSql, "volume.number");
    out.fileSystem = ro.text(metaSql, "volume.fs");
    const auto start = number(ro.text(metaSql, "volume.start_sector")), count = number(ro.text(metaSql, "volume.size_sectors"));
    out.hasVolume = start && count;
    out.startSector = start.value_or(0);
    out.sizeSectors = count.value_or(0);
    out.layered = ro.text(metaSql, "volume.layered") == "1";
    const char* countSql = out.kind == SessionKind::Listing ? "SELECT coalesce(sum(count), 0) FROM entry_chunks"
                           : out.kind == SessionKind::Carve ? "SELECT count(*) FROM finds"
                                                            : "SELECT count(*) FROM found_volumes";
    out.rows = number(ro.text(countSql, nullptr)).value_or(0);
    sqlite3_stmt* st = nullptr;
    if (sqlite3_prepare_v2(ro.db, "SELECT path, size, hash FROM sources ORDER BY idx", -1, &st, nullptr) != SQLITE_OK) {
        refusal = Refusal::Damaged;
        reason = std::string("is damaged (") + sqlite3_errmsg(ro.db) + ")";
        return false;
    }
    while (sqlite3_step(st) == SQLITE_ROW && out.sources.size() < kMaxSources) {
        SourceIdentity id;
        const auto* p = reinterpret_cast<const char*>(sqlite3_column_text(st, 0));
        if (p) id.path.assign(p, std::min<size_t>(static_cast<size_t>(sqlite3_column_bytes(st, 0)), kMaxMetaText));
        id.size = static_cast<uint64_t>(std::max<sqlite3_int64>(0, sqlite3_column_int64(st, 1)));
        const auto* h = reinterpret_cast<const char*>(sqlite3_column_text(st, 2));
        if (h) id.hash.assign(h, std::min<size_t>(static_cast<size_t>(sqlite3_column_bytes(st, 2)), 128));
        out.sources.push_back(std::move(id));
    }
    sqlite3_finalize(st);
    std::error_code ec;
    const auto t = std::filesystem::last_write_time(path, ec);
    if (!ec)
        out.modified = std::chrono::duration_cast<std::chrono::seconds>(
                           std::chrono::file_clock::to_sys(t).time_since_epoch())
                           .count();
    refusal = Refusal::None;
    reason.clear();
    return true;
}

bool sessionMatchesSource(const SessionSummary& s, const std::string& sourcePath, uint64_t sizeBytes) {
    return s.sources.size() == 1 && s.sources[0].path == sourcePath && s.sources[0].size == sizeBytes;
}

std::vector<SessionSummary> sessionsForSource(const std::string& folder, const std::string& sourcePath,
                                              uint64_t sizeBytes) {
    std::vector<SessionSummary> out = sessionsForPath(folder, sourcePath);
    out.erase(std::remove_if(out.begin(), out.end(),
                             [&](const SessionSummary& s) { return !sessionMatchesSource(s, sourcePath, sizeBytes); }),
              out.end());
    return out;
}

std::vector<SessionSummary> sessionsForPath(const std::string& folder, const std::string& sourcePath) {
    std::vector<SessionSummary> out;
    std::error_code ec;
    if (folder.empty() || !std::filesystem::is_directory(folder, ec)) return out;
    size_t seen = 0;
    for (auto it = std::filesystem::directory_iterator(folder, ec); !ec && it != std::filesystem::directory_iterator();
         it.increment(ec)) {
        if (++seen > kMaxFolderFiles) break;
        const std::filesystem::path& p = it->path();
        if (p.extension() != kSessionSuffix || !it->is_regular_file(ec)) continue;
        SessionSummary s;
        Refusal r;
        std::string why;
        if (peekSession(p.string(), s, r, why) && s.sources.size() == 1 && s.sources[0].path == sourcePath)
            out.push_back(std::move(s));
    }
    std::sort(out.begin(), out.end(), [](const SessionSummary& a, const SessionSummary& b) {
        return a.modified != b.modified ? a.modified > b.modified : a.path < b.path;
    });
    return out;
}

ReopenAction reopenAction(const SessionSummary& s) {
    if (s.finished) return ReopenAction::Show;
    return s.kind == SessionKind::Listing ? ReopenAction::Rescan : ReopenAction::Resume;
}

std::string sessionOfferText(const SessionSummary& s) {
    std::string t;
    switch (s.kind) {
        case SessionKind::Listing:
            t = "Listing of volume " + (s.volume.empty() ? std::string("?") : s.volume) +
                (s.fileSystem.empty() ? std::string() : " (" + s.fileSystem + ")");
            break;
        case SessionKind::Carve:
            t = "Raw recovery" + (s.volume.empty() ? std::string() : " of " + s.volume);
            break;
        case SessionKind::SectorScan: t = "Advance Scan"; break;
    }
    switch (reopenAction(s)) {
        case ReopenAction::Show:
            t += ", finished: " + std::to_string(s.rows) +
                 (s.kind == SessionKind::Listing ? " entries" : s.kind == SessionKind::Carve ? " files" : " volumes");
            break;
        case ReopenAction::Resume:
            t += ", cut short (" + std::to_string(s.rows) + (s.kind == SessionKind::Carve ? " files" : " volumes") +
                 " found): goes on where it stopped";
            break;
        case ReopenAction::Rescan: t += ", cut short: scans the volume again"; break;
    }
    if (s.modified > 0) {
        const std::time_t tt = static_cast<std::time_t>(s.modified);
        std::tm tm {};
        char when[40];
        if (localtime_r(&tt, &tm) && std::strftime(when, sizeof when, "%Y-%m-%d %H:%M", &tm)) t += std::string(", ") + when;
    }
    return t;
}

bool removeSession(const std::string& path, std::string* why) {
    for (const char* suffix : {"-wal", "-shm", "-journal", ""}) {
        if (int e = platform::removeFile(path + suffix)) {
            if (why) *why = path + suffix + ": " + std::strerror(e);
            return false;
        }
    }
    return true;
}

bool recordVolume(SessionFile& f, const VolumeEntry& volume, const VolumeView& view, bool layered) {
    return f.setMeta("volume.start_byte", std::to_string(view.startByte())) &&
           f.setMeta("volume.size_bytes", std::to_string(view.sizeBytes())) &&
           f.setMeta("volume.start_sector", std::to_string(volume.startSector)) &&
           f.setMeta("volume.size_sectors", std::to_string(volume.sizeSectors)) &&
           f.setMeta("volume.fs", volume.fileSystem) && f.setMeta("volume.number", volume.volumeNumber) &&
           f.setMeta("volume.output_note", volume.outputNote) && f.setMeta("volume.layered", layered ? "1" : "0");
}

bool saveListingSession(const std::string& path, const std::vector<SourceIdentity>& sources, const std::string& job,
                        const VolumeEntry& volume, const VolumeView& view, bool layered, ScanMode mode,
                        VolumeParser& parser, std::string& why) {
    Opening o = SessionFile::open(path, SessionKind::Listing, job, sources, true);
    if (!o.file) {
        why = o.reason;
        return false;
    }
    SessionFile& f = *o.file;
    if (f.begin() && recordVolume(f, volume, view, layered) && recordMode(f, mode)) writeListing(f, parser);
    if (!f.writable() || !f.finished()) {
        why = "cannot be written: " + (f.stopReason().empty() ? std::string("the listing was not stored") : f.stopReason());
        return false;
    }
    return true;
}

bool recordMode(SessionFile& f, ScanMode mode) { return f.setMeta("mode", std::to_string(static_cast<int>(mode))); }

bool recordedVolume(SessionFile& f, VolumeEntry& volume, uint64_t& startByte, uint64_t& sizeBytes, bool& layered) {
    const auto start = number(f.meta("volume.start_byte")), size = number(f.meta("volume.size_bytes")),
               startSector = number(f.meta("volume.start_sector")), sizeSectors = number(f.meta("volume.size_sectors"));
    if (!start || !size || !startSector || !sizeSectors || *sizeSectors > UINT64_MAX / 512) return false;
    volume = VolumeEntry{};
    volume.fileSystem = f.meta("volume.fs");
    volume.volumeNumber = f.meta("volume.number");
    volume.startSector = *startSector;
    volume.sizeSectors = *sizeSectors;
    volume.outputNote = f.meta("volume.output_note");
    startByte = *start;
    sizeBytes = *size;
    layered = f.meta("volume.layered") == "1";
    return true;
}

ScanMode recordedMode(SessionFile& f) {
    const std::string m = f.meta("mode");
    if (m == "2") return ScanMode::Advanced;
    if (m == "3") return ScanMode::Deep;
    if (m.empty()) {
        // Made by the command-line tool: its --mode option.
        const std::string job = f.meta("job");
        if (job.find("--mode=advanced") != std::string::npos) return ScanMode::Advanced;
        if (job.find("--mode=deep") != std::string::npos) return ScanMode::Deep;
    }
    return ScanMode::Standard;
}

bool copySession(SessionFile& f, const std::string& path, std::string& why) {
    if (!removeSession(path, &why)) return false;
    Statement s(f.db(), "VACUUM INTO ?");
    if (!s.ok() || !s.bind(1, path).run()) {
        why = "cannot be written: " + f.db().error();
        removeSession(path);
        return false;
    }
    // The copy in write-ahead-log mode, as every session is: opening it
    // later then changes nothing in it.
    Database copy;
    if (!copy.open(path, false) || !copy.exec("PRAGMA journal_mode=WAL")) {
        why = "cannot be written: " + copy.error();
        copy.close();
        removeSession(path);
        return false;
    }
    return true;
}

std::optional<ReopenedListing> reopenListing(std::unique_ptr<SessionFile> f, std::shared_ptr<readWriteInterface> reader,
                                             const VolumeEntry* layered, std::function<VolumeParser*()> rescan,
                                             std::string& why) {
    ReopenedListing r;
    uint64_t startByte = 0, sizeBytes = 0;
    bool inLayer = false;
    if (!recordedVolume(*f, r.volume, startByte, sizeBytes, inLayer)) {
        why = "is damaged (no volume recorded)";
        return std::nullopt;
    }
    if (inLayer) {
        // Inside a layer: only through the same volume, opened again.
        if (!layered || !layered->reader || layered->startSector != r.volume.startSector ||
            layered->volumeNumber != r.volume.volumeNumber) {
            why = "holds volume " + r.volume.volumeNumber +
                  ", which lies inside an encrypted or logical volume: open that volume on the volume list first";
            return std::nullopt;
        }
        r.volume = *layered;
    }
    r.damage = f->meta("damage");
    r.path = f->path();
    r.parser = std::make_unique<StoredListing>();
    if (!r.parser->load(std::move(f), why)) return std::nullopt;
    r.view = VolumeView(volumeReader(r.volume, reader), startByte, sizeBytes);
    r.parser->setVolume(r.view);
    if (rescan) r.parser->setRescan(std::move(rescan));
    return r;
}

}  // namespace brantlow::session
