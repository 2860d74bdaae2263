#include "scan/session/scan_checkpoints.h"

#include <memory>

#include "scan/session/session_codec.h"

namespace brantlow::session {

namespace {

constexpr const char* kCarveJob = "carve";
constexpr const char* kSectorJob = "sector scan";
constexpr size_t kMaxText = 4096;

uint64_t fnv(uint64_t h, const std::string& s) {
    for (unsigned char c : s) h = (h ^ c) * 1099511628211ull;
    return (h ^ 0xff) * 1099511628211ull;
}

// Writes the progress row of a job.
bool putProgress(SessionFile& f, const char* job, uint64_t position, uint64_t total, uint64_t rows,
                 const std::string& state) {
    Statement s(f.db(), "INSERT OR REPLACE INTO progress(job, position, total, rows, state) VALUES(?, ?, ?, ?, ?)");
    return s.bind(1, job).bind(2, static_cast<int64_t>(position)).bind(3, static_cast<int64_t>(total))
        .bind(4, static_cast<int64_t>(rows)).bindBlob(5, state.data(), state.size()).run();
}

struct ProgressRow {
    bool present = false;
    uint64_t position = 0, total = 0, rows = 0;
    std::string state;
};
bool getProgress(SessionFile& f, const char* job, ProgressRow& out) {
    Statement s(f.db(), "SELECT position, total, rows, state FROM progress WHERE job = ?");
    s.bind(1, job);
    if (!s.step()) return !s.failed();
    out.present = true;
    out.position = static_cast<uint64_t>(s.integer(0));
    out.total = static_cast<uint64_t>(s.integer(1));
    out.rows = static_cast<uint64_t>(s.integer(2));
    out.state = s.text(3);
    return true;
}

}  // namespace

// ---------------------------------------------------------------------------
// The state blobs.

std::string encodeCarveProgress(const raw::CarveProgress& p) {
    BlobWriter w;
    w.num(p.next);
    w.num(p.cur);
    w.num(p.grid);
    w.num(p.waiting.size());
    for (const auto& t : p.waiting) {
        w.num(t.starts.size());
        for (uint64_t s : t.starts) w.num(s);
        w.num(t.searchFrom);
        w.num(t.nextEnd);
        w.num(t.searchedTo);
    }
    w.num(p.findsPerType.size());
    for (uint64_t n : p.findsPerType) w.num(n);
    w.num(p.categoryCounts.size());
    for (const auto& [c, n] : p.categoryCounts) {
        w.bytes(c);
        w.num(n);
    }
    w.num(p.droppedStarts);
    return w.data();
}

bool decodeCarveProgress(const uint8_t* data, size_t n, raw::CarveProgress& p) {
    BlobReader r(data, n);
    p = raw::CarveProgress{};
    p.next = r.num();
    p.cur = r.num();
    p.grid = r.num();
    p.waiting.resize(static_cast<size_t>(r.count(raw::myJpg::maxTypes, 4)));
    for (auto& t : p.waiting) {
        t.starts.resize(static_cast<size_t>(r.count(raw::myJpg::maxPendingPerType)));
        for (uint64_t& s : t.starts) s = r.num();
        t.searchFrom = r.num();
        t.nextEnd = r.num();
        t.searchedTo = r.num();
    }
    p.findsPerType.resize(static_cast<size_t>(r.count(raw::myJpg::maxTypes)));
    for (uint64_t& v : p.findsPerType) v = r.num();
    p.categoryCounts.resize(static_cast<size_t>(r.count(raw::myJpg::maxTypes, 2)));
    for (auto& [c, v] : p.categoryCounts) {
        c = r.bytes(kMaxText);
        v = r.num();
    }
    p.droppedStarts = r.num();
    return r.ok() && r.atEnd();
}

std::string encodeSectorScanProgress(const SectorScanProgress& p) {
    BlobWriter w;
    w.num(p.next);
    w.num(p.sectorsRead);
    w.num(p.unreadableSectors);
    w.num(p.volumesFound);
    w.num(p.counts.size());
    for (const auto& [k, v] : p.counts) {
        w.bytes(k);
        w.num(static_cast<uint64_t>(v));
    }
    w.num(p.reported.size());
    for (const auto& [s, row] : p.reported) {
        w.num(s);
        w.num(row);
    }
    w.num(p.withIdentity.size());
    for (const auto& l : p.withIdentity) {
        w.num(l.start);
        w.num(l.end);
        w.num(l.row);
        w.bytes(l.identity);
    }
    return w.data();
}

bool decodeSectorScanProgress(const uint8_t* data, size_t n, SectorScanProgress& p) {
    BlobReader r(data, n);
    p = SectorScanProgress{};
    p.next = r.num();
    p.sectorsRead = r.num();
    p.unreadableSectors = r.num();
    p.volumesFound = r.num();
    p.counts.resize(static_cast<size_t>(r.count(10000, 2)));
    for (auto& [k, v] : p.counts) {
        k = r.bytes(kMaxText);
        v = static_cast<long long>(r.num());
    }
    p.reported.resize(static_cast<size_t>(r.count(kMaxScanVolumes, 2)));
    for (auto& [s, row] : p.reported) {
        s = r.num();
        row = r.num();
    }
    p.withIdentity.resize(static_cast<size_t>(r.count(kMaxScanVolumes, 4)));
    for (auto& l : p.withIdentity) {
        l.start = r.num();
        l.end = r.num();
        l.row = r.num();
        l.identity = r.bytes(kMaxText);
    }
    return r.ok() && r.atEnd() && p.volumesFound <= kMaxScanVolumes;
}

// ---------------------------------------------------------------------------
// Carve.

std::string carveTypesText(const raw::myJpg& e) {
    uint64_t h = 1469598103934665603ull;
    for (const raw::CarveType& t : e.types()) {
        h = fnv(h, t.extensionText);
        h = fnv(h, t.categoryText);
        h = fnv(h, std::to_string(t.approximateSize) + "/" + std::to_string(t.flags));
    }
    char text[64];
    std::snprintf(text, sizeof text, "types=%zu/%016llx", e.types().size(), static_cast<unsigned long long>(h));
    return text;
}

namespace {

// Finds [from, to) of the engine as rows.
bool writeFinds(SessionFile& f, const raw::myJpg& e, size_t from, size_t to) {
    Statement s(f.db(),
                "INSERT OR REPLACE INTO finds(id, start, size, type, extension, status, detected, label, "
                "first_sectors, gap_sectors) VALUES(?, ?, ?, ?, ?, ?, ?, ?, ?, ?)");
    const auto& items = e.foundItems();
    for (size_t i = from; i < to; ++i) {
        const raw::CarvedItem& it = items[i];
        s.bind(1, static_cast<int64_t>(i + 1)).bind(2, static_cast<int64_t>(it.start)).bind(3, static_cast<int64_t>(it.size));
        s.bind(4, static_cast<int64_t>(it.type)).bind(5, e.types()[it.type].extensionText);
        s.bind(6, static_cast<int64_t>(it.status));
        if (it.detected) s.bind(7, std::string(it.detected)); else s.bindNull(7);
        if (it.label) s.bind(8, e.labelOf(it)); else s.bindNull(8);
        s.bind(9, static_cast<int64_t>(it.firstSectors)).bind(10, static_cast<int64_t>(it.gapSectors));
        if (!s.run()) return false;
    }
    return true;
}

}  // namespace

bool loadCarve(SessionFile& f, raw::myJpg& e, CarveStored& out, std::string& why) {
    out = CarveStored{};
    out.finished = f.finished();
    ProgressRow row;
    if (!getProgress(f, kCarveJob, row)) {
        why = "is damaged (" + f.db().error() + ")";
        return false;
    }
    if (!row.present) return true;  // no checkpoint yet: from the start
    raw::CarveProgress p;
    if (!decodeCarveProgress(reinterpret_cast<const uint8_t*>(row.state.data()), row.state.size(), p)) {
        why = "is damaged (its carve checkpoint cannot be read)";
        return false;
    }
    std::vector<raw::CarvedItem> found;
    std::vector<std::string> detected, labels;
    Statement s(f.db(),
                "SELECT id, start, size, type, status, detected, label, first_sectors, gap_sectors FROM finds "
                "WHERE id <= ? ORDER BY id");
    s.bind(1, static_cast<int64_t>(row.rows));
    const uint64_t maxFinds = static_cast<uint64_t>(raw::myJpg::maxFindsPerType) * raw::myJpg::maxTypes;
    while (s.step()) {
        if (s.integer(0) != static_cast<int64_t>(found.size()) + 1 || found.size() >= maxFinds) {
            why = "is damaged (finds out of order)";
            return false;
        }
        raw::CarvedItem it;
        it.start = static_cast<uint64_t>(s.integer(1));
        it.size = static_cast<uint64_t>(s.integer(2));
        const int64_t type = s.integer(3), status = s.integer(4), first = s.integer(7), gap = s.integer(8);
        if (type < 0 || type >= static_cast<int64_t>(e.types().size()) || status < 0 || status > 255 || first < 0 ||
            first > UINT32_MAX || gap < 0 || gap > UINT32_MAX) {
            why = "is damaged (find " + std::to_string(found.size() + 1) + " does not fit the types)";
            return false;
        }
        it.type = static_cast<uint32_t>(type);
        it.status = static_cast<raw::FindStatus>(status);
        it.firstSectors = static_cast<uint32_t>(first);
        it.gapSectors = static_cast<uint32_t>(gap);
        detected.push_back(s.isNull(5) ? std::string() : s.text(5).substr(0, kMaxText));
        if (!s.isNull(6)) {
            labels.push_back(s.text(6).substr(0, kMaxText));
            it.label = static_cast<uint32_t>(labels.size());
        }
        found.push_back(it);
    }
    if (s.failed() || found.size() != row.rows) {
        why = "is damaged (" + (s.failed() ? f.db().error() : std::to_string(found.size()) + " finds of " +
                                                                 std::to_string(row.rows) + " recorded") + ")";
        return false;
    }
    out.finds = found.size();
    out.resumedAt = p.next;
    if (!e.resumeFrom(std::move(p), std::move(found), detected, std::move(labels))) {
        why = "is damaged (its checkpoint does not fit this carve)";
        return false;
    }
    return true;
}

void attachCarve(SessionFile& f, raw::myJpg& e, std::function<void()> onStop) {
    struct State {
        size_t stored;
    };
    auto st = std::make_shared<State>(State{e.foundItems().size()});
    e.checkpointDue = [&f] { return f.writable() && f.due(); };
    e.checkpoint = [&f, &e, st, onStop](const raw::CarveProgress& p) {
        const size_t n = e.foundItems().size();
        const std::string state = encodeCarveProgress(p);
        if (f.begin() && writeFinds(f, e, st->stored, n) && putProgress(f, kCarveJob, p.next, 0, n, state) && f.commit()) {
            st->stored = n;
            return;
        }
        f.writeFailed();
        if (onStop) onStop();
    };
}

bool finishCarve(SessionFile& f, const raw::myJpg& e) {
    if (!f.writable()) return false;
    const size_t n = e.foundItems().size();
    ProgressRow row;
    getProgress(f, kCarveJob, row);
    const size_t from = row.present ? std::min<size_t>(static_cast<size_t>(row.rows), n) : 0;
    if (f.begin() && writeFinds(f, e, from, n) && f.db().exec(("DELETE FROM finds WHERE id > " + std::to_string(n)).c_str()) &&
        putProgress(f, kCarveJob, e.endState().next, 0, n, encodeCarveProgress(e.endState())) &&
        f.setMeta("finished", "1") && f.commit())
        return true;
    f.writeFailed();
    return false;
}

// ---------------------------------------------------------------------------
// Sector scan.

bool loadSectorScan(SessionFile& f, SectorScanStored& out, std::string& why) {
    out = SectorScanStored{};
    out.finished = f.finished();
    ProgressRow row;
    if (!getProgress(f, kSectorJob, row)) {
        why = "is damaged (" + f.db().error() + ")";
        return false;
    }
    if (!row.present) return true;
    if (!decodeSectorScanProgress(reinterpret_cast<const uint8_t*>(row.state.data()), row.state.size(), out.progress)) {
        why = "is damaged (its sector scan checkpoint cannot be read)";
        return false;
    }
    Statement s(f.db(),
                "SELECT id, number, file_system, size_text, start_sector, size_sectors FROM found_volumes WHERE id <= ? "
                "ORDER BY id");
    s.bind(1, static_cast<int64_t>(row.rows));
    while (s.step()) {
        if (s.integer(0) != static_cast<int64_t>(out.volumes.size()) + 1 || out.volumes.size() >= kMaxScanVolumes) {
            why = "is damaged (volumes out of order)";
            return false;
        }
        VolumeEntry v;
        v.volumeNumber = s.text(1).substr(0, kMaxText);
        v.fileSystem = s.text(2).substr(0, kMaxText);
        v.sizeText = s.text(3).substr(0, kMaxText);
        v.startSector = static_cast<uint64_t>(s.integer(4));
        v.sizeSectors = static_cast<uint64_t>(s.integer(5));
        out.volumes.push_back(std::move(v));
    }
    if (s.failed() || out.volumes.size() != row.rows) {
        why = "is damaged (" + (s.failed() ? f.db().error() : std::to_string(out.volumes.size()) + " volumes of " +
                                                                 std::to_string(row.rows) + " recorded") + ")";
        return false;
    }
    if (out.finished) {
        auto num = [&](const char* key) {
            const std::string v = f.meta(key);
            uint64_t n = 0;
            for (char c : v) n = (c >= '0' && c <= '9' && n < UINT64_MAX / 10) ? n * 10 + static_cast<uint64_t>(c - '0') : n;
            return n;
        };
        out.result.firstSector = num("scan.first_sector");
        out.result.lastSector = num("scan.last_sector");
        out.result.sectorsRead = num("scan.sectors_read");
        out.result.unreadableSectors = num("scan.unreadable_sectors");
        out.result.volumesFound = out.volumes.size();
        out.result.endedAt = num("scan.ended_at");
        out.result.tooMany = f.meta("scan.too_many") == "1";
    }
    out.resumable = !out.finished;
    return true;
}

bool SectorScanRecorder::writeVolumes() {
    Statement s(f_.db(),
                "INSERT OR REPLACE INTO found_volumes(id, number, file_system, size_text, start_sector, size_sectors) "
                "VALUES(?, ?, ?, ?, ?, ?)");
    for (const VolumeEntry& v : pending_) {
        if (!s.bind(1, static_cast<int64_t>(++stored_)).bind(2, v.volumeNumber).bind(3, v.fileSystem).bind(4, v.sizeText)
                 .bind(5, static_cast<int64_t>(v.startSector)).bind(6, static_cast<int64_t>(v.sizeSectors)).run())
            return false;
    }
    pending_.clear();
    return true;
}

SectorScanHooks SectorScanRecorder::hooks(const SectorScanProgress* resume) {
    SectorScanHooks h;
    h.resume = resume;
    h.checkpointDue = [this] { return f_.writable() && f_.due(); };
    h.checkpoint = [this](const SectorScanProgress& p) {
        // The volumes found so far belong to this checkpoint: they lie
        // before p.next.
        const size_t before = stored_;
        if (f_.begin() && writeVolumes() && putProgress(f_, kSectorJob, p.next, 0, stored_, encodeSectorScanProgress(p)) &&
            f_.commit())
            return;
        stored_ = before;
        f_.writeFailed();
        if (onStop_) onStop_();
    };
    return h;
}

bool SectorScanRecorder::finish(const SectorScanResult& r) {
    if (!f_.writable()) return false;
    if (f_.begin() && writeVolumes() && f_.db().exec(("DELETE FROM found_volumes WHERE id > " + std::to_string(stored_)).c_str()) &&
        putProgress(f_, kSectorJob, r.endedAt, 0, stored_, encodeSectorScanProgress(SectorScanProgress{})) &&
        f_.setMeta("scan.first_sector", std::to_string(r.firstSector)) &&
        f_.setMeta("scan.last_sector", std::to_string(r.lastSector)) &&
        f_.setMeta("scan.sectors_read", std::to_string(r.sectorsRead)) &&
        f_.setMeta("scan.unreadable_sectors", std::to_string(r.unreadableSectors)) &&
        f_.setMeta("scan.ended_at", std::to_string(r.endedAt)) && f_.setMeta("scan.too_many", r.tooMany ? "1" : "0") &&
        f_.setMeta("finished", "1") && f_.commit())
        return true;
    f_.writeFailed();
    return false;
}

}  // namespace brantlow::session
