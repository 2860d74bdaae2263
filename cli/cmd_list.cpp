// brantlow-cli list and recover: one volume scanned, then listed or saved.
#include <algorithm>
#include <charconv>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iostream>
#include <thread>

#include "base/texts.h"
#include "cli/cli.h"
#include "fs/advanced_search.h"
#include "fs/candidate_search.h"
#include "fs/filesystems.h"
#include "platform/files.h"
#include "platform/signals.h"
#include "scan/recovery_model.h"
#include "scan/save.h"
#include "scan/scan_job.h"
#include "scan/search.h"
#include "scan/tree_walk.h"
#include "scan/volumes.h"
#include "scan/unreadable.h"
#include "scan/session/listing_session.h"
#include "scan/session/session_files.h"

namespace brantlow::cli {

namespace {

struct Scanned {
    // Members go in reverse order: the job first (it stops the parser and
    // joins the thread whose reads wait at its pause gate), then the parser.
    std::unique_ptr<VolumeParser> parser;
    std::unique_ptr<ScanJob> job;
    VolumeEntry volume;
    std::shared_ptr<readWriteInterface> reader;
    VolumeView view;
};

const char* kindName(EntryKind k) { return k == EntryKind::Folder ? "dir" : k == EntryKind::File ? "file" : "other"; }

bool interrupted() { return platform::interruptFlag().load(); }

// Runs the scan on a worker so that Ctrl-C can stop it.
ScanOutcome runInterruptibly(ScanJob& job, VolumeParser& parser, ScanContext ctx) {
    ScanOutcome outcome = ScanOutcome::Failed;
    WorkerEnd end;
    job.start(&parser, std::move(ctx), [&](ScanOutcome o) {
        outcome = o;
        end.done();
    });
    while (!end.wait(std::chrono::milliseconds(20)) && job.running())
        if (interrupted()) job.stop();
    job.join();
    return outcome;
}

const char* modeName(ScanMode m) { return m == ScanMode::Advanced ? "advanced" : m == ScanMode::Deep ? "deep" : "standard"; }

// The options that open a candidate by hand, from the source's start.
std::string candidateOptions(const FileSystemCandidate& c, uint64_t volumeStartSector) {
    std::string s = "--start-sector " + std::to_string(volumeStartSector + c.volumeStart / 512) + " --fs " +
                    c.fileSystem + " --mode " + modeName(c.mode);
    if (c.volumeBytes >= 512) s += " --size-sectors " + std::to_string(c.volumeBytes / 512);
    if (c.clusterShift >= 0) s += " --sectors-per-cluster " + std::to_string(1u << c.clusterShift);
    return s;
}

// --candidates: the file systems the volume holds traces of, best first,
// on stderr; --fs-candidate N: the volume read as the Nth of them (its
// type, start, mode and geometry). False when the command ends here.
bool applyCandidateChoice(const Args& a, VolumeEntry& vol, const std::shared_ptr<readWriteInterface>& reader,
                          ScanMode& mode, ScanOptions& options, int& rc) {
    const bool show = a.has("--candidates");
    if (!show && !a.has("--fs-candidate")) return true;
    std::optional<uint64_t> pick;
    if (a.has("--fs-candidate")) {
        pick = parseU64(a.get("--fs-candidate"));
        if (!pick || *pick == 0) {
            std::cerr << "brantlow-cli: --fs-candidate takes a number from 1 (see --candidates)\n";
            rc = kExitUsage;
            return false;
        }
    }
    const VolumeView view = volumeView(vol, reader);
    StderrProgress prog(progressStyle(a), view.sizeBytes());
    ThrottledProgress throttled(&prog);
    std::vector<FileSystemCandidate> found = findFileSystemCandidates(view, &throttled, &platform::interruptFlag());
    prog.done();
    if (interrupted()) {
        rc = kExitInterrupted;
        return false;
    }
    if (show) {
        std::cerr << "File systems found besides the current one (best first; open one with --fs-candidate N):\n";
        if (found.empty()) std::cerr << "  none\n";
        for (size_t i = 0; i < found.size(); ++i) {
            const FileSystemCandidate& c = found[i];
            char score[16];
            std::snprintf(score, sizeof score, "%.2f", c.score);
            std::cerr << "  " << i + 1 << ". " << c.fileSystem << (c.variant ? " (variant)" : "") << "  score " << score
                      << "  " << c.where;
            if (c.clusterBytes) std::cerr << ", " << c.clusterBytes << "-byte clusters";
            std::cerr << "\n     " << candidateFigures(c) << "\n     " << candidateOptions(c, vol.startSector)
                      << "\n";
        }
    }
    if (!pick) return true;
    if (*pick > found.size()) {
        std::cerr << "brantlow-cli: --fs-candidate: " << found.size() << " candidates were found\n";
        rc = kExitNoFs;
        return false;
    }
    mode = openEarlierFileSystem(found[*pick - 1], vol, options);
    return true;
}

// Advanced mode: --sectors-per-cluster, and --candidate N (or --candidates)
// through the same search the advanced-input page runs. Without a choice
// the parser takes the candidate it ranks best. False when the command ends
// here (rc set: 0 after --candidates on list).
bool applyAdvancedChoice(const Args& a, const std::string& fileSystem, ScanContext& ctx, ProgressSink* progress,
                         int& rc) {
    if (a.has("--sectors-per-cluster")) {
        auto spc = parseU64(a.get("--sectors-per-cluster"));
        if (!spc || *spc == 0 || (*spc & (*spc - 1)) || *spc > 4096) {
            std::cerr << "brantlow-cli: --sectors-per-cluster takes a power of two from 1 to 4096\n";
            rc = kExitUsage;
            return false;
        }
        int shift = 0;
        while ((1ull << shift) < *spc) ++shift;
        ctx.options.advancedClusterShift = shift;
    }
    const bool show = a.has("--candidates");
    if (!a.has("--candidate") && !show) return true;
    int maxCount = 3;
    if (a.has("--max-candidates")) {
        auto m = parseU64(a.get("--max-candidates"));
        if (!m || *m > 1000) {
            std::cerr << "brantlow-cli: --max-candidates takes a number up to 1000\n";
            rc = kExitUsage;
            return false;
        }
        maxCount = static_cast<int>(*m);
    }
    AdvancedSearch found = searchAdvancedCandidates(fileSystem, ctx.volume, maxCount, progress,
                                                    &platform::interruptFlag());
    if (interrupted()) {
        rc = kExitInterrupted;
        return false;
    }
    std::ostream& where = std::cerr;
    if (show) {
        for (size_t i = 0; i < found.candidates.size(); ++i) {
            const AdvancedCandidate& c = found.candidates[i];
            where << c.label << "\tbyte " << c.position << "\t" << c.note << (i == found.best ? "\t(best)" : "")
                  << "\n";
        }
        for (const AdvancedCandidate& h : found.heaps)
            where << h.label << "\tbyte " << h.position << "\t" << h.note << "\n";
        if (found.candidates.empty()) where << "no candidates found\n";
    }
    if (!a.has("--candidate")) return true;
    AdvancedChoice choice;
    if (auto n = parseU64(a.get("--candidate"))) choice.candidate = static_cast<size_t>(*n);
    if (!choice.candidate || !applyAdvancedChoice(found, choice, ctx.options)) {
        std::cerr << "brantlow-cli: --candidate: " << found.candidates.size() << " candidates were found\n";
        rc = kExitUsage;
        return false;
    }
    return true;
}

// Picks the volume on the opened sources and runs the scan. Sets rc on failure.
std::optional<Scanned> scanOn(const Args& a, const std::optional<Sources>& sources, int& rc) {
    ScanMode mode = ScanMode::Standard;
    std::string m = a.get("--mode", "standard");
    if (m == "advanced")
        mode = ScanMode::Advanced;
    else if (m == "deep")
        mode = ScanMode::Deep;
    const std::shared_ptr<readWriteInterface> reader = sources->reader();
    auto vol = chooseVolume(*sources, a, &rc);
    if (!vol) return std::nullopt;
    if (!vol->alsoLooksLike.empty() || (a.has("--fs") && !a.has("--start-sector"))) {
        // Two file systems at one place (formatted over without wiping):
        // --fs reads it as the one named; else the one whose structures
        // check out further, with a warning naming the others.
        std::string others;
        for (const auto& o : vol->alsoLooksLike) others += (others.empty() ? "" : ", ") + o.fileSystem;
        if (a.has("--fs")) {
            const std::string want = a.get("--fs");
            const ParserRow* row = findParserRow(want);
            for (const auto& o : vol->alsoLooksLike)
                if (row && findParserRow(o.fileSystem) == row && o.sizeSectors) vol->sizeSectors = o.sizeSectors;
            vol->fileSystem = want;
        } else {
            std::cerr << "brantlow-cli: warning: volume " << vol->volumeNumber << " also looks like "
                      << terminalSafe(others) << "; reading it as " << terminalSafe(vol->fileSystem)
                      << ", whose structures check out further (--fs NAME reads it as another)\n";
        }
    }
    ScanOptions chosen;
    if (!applyCandidateChoice(a, *vol, reader, mode, chosen, rc)) return std::nullopt;
    ParserChoice choice = selectParser(vol->fileSystem, mode);
    if (!choice.parser) {
        if (findParserRow(vol->fileSystem)) {
            rc = kExitUsage;
            std::cerr << "brantlow-cli: the " << terminalSafe(vol->fileSystem) << " parser offers no " << m
                      << " mode\n";
        } else if (a.has("--fs") && !recognisedButNotRead(vol->fileSystem)) {
            // A name no file system goes by: the command line is wrong.
            rc = kExitUsage;
            std::cerr << "brantlow-cli: --fs: no file system is called \"" << terminalSafe(vol->fileSystem) << "\"\n";
        } else if (recognisedButNotRead(vol->fileSystem)) {
            rc = kExitNoFs;
            std::cerr << "brantlow-cli: " << terminalSafe(vol->fileSystem) << " volumes are not supported yet\n";
        } else {
            rc = kExitNoFs;
            std::cerr << "brantlow-cli: no file system this tool can parse at sector " << vol->startSector
                      << " (found \"" << terminalSafe(vol->fileSystem.empty() ? "nothing" : vol->fileSystem)
                      << "\")\n";
        }
        return std::nullopt;
    }
    // A volume inside a layer is read through the layer's reader.
    const std::shared_ptr<readWriteInterface> on = volumeReader(*vol, reader);
    uint64_t start = 0;
    if (__builtin_mul_overflow(vol->startSector, 512ull, &start) || start >= on->sizeBytes()) {
        rc = kExitNoFs;
        std::cerr << "brantlow-cli: the volume starts beyond the end of the source\n";
        return std::nullopt;
    }
    const uint64_t size = volumeSizeBytes(*vol, on->sizeBytes());
    if (size > on->sizeBytes() - start)
        std::cerr << "brantlow-cli: warning: the volume runs past the end of the source (" << size
                  << " bytes recorded, " << on->sizeBytes() - start << " present); reading what is there\n";
    StderrProgress prog(progressStyle(a), size);
    ThrottledProgress throttled(&prog);
    StderrMessages msgs;
    ScanContext ctx;
    ctx.volume = volumeView(*vol, reader);
    ctx.mode = mode;
    ctx.options = chosen;
    ctx.options.driveFormatted = a.has("--formatted");
    if (mode == ScanMode::Advanced && !applyAdvancedChoice(a, vol->fileSystem, ctx, &throttled, rc)) {
        prog.done();
        return std::nullopt;
    }
    ctx.progress = &throttled;
    ctx.messages = &msgs;
    auto job = std::make_unique<ScanJob>();
    ScanOutcome out = runInterruptibly(*job, *choice.parser, ctx);
    prog.done();
    if (interrupted()) {
        rc = kExitInterrupted;
        std::cerr << "brantlow-cli: interrupted\n";
        return std::nullopt;
    }
    // Damage the scan went past, named with where it lies.
    const std::string damage = choice.parser->damage().summary();
    if (!damage.empty()) std::cerr << "brantlow-cli: " << terminalSafe(damage) << "\n";
    if (out == ScanOutcome::Rejected) {
        rc = kExitNoFs;
        return std::nullopt;
    }
    return Scanned{std::move(choice.parser), std::move(job), *vol, reader, ctx.volume};
}

// The options that change what a listing holds.
std::string listingJob(const Args& a) {
    return sessionJob(a, {"--volume", "--start-sector", "--fs", "--size-sectors", "--mode", "--formatted", "--candidate",
                          "--max-candidates", "--sectors-per-cluster", "--raid", "--map", "--passphrase-file", "--key-file", "--volume-key-file"});
}

// A finished listing session as the scan's result: the volume as it was
// recorded, the entries from the file; the disk's metadata is not read.
std::optional<Scanned> reopenListing(const Args& a, const Sources& sources, std::unique_ptr<session::SessionFile> file,
                                     int& rc) {
    const std::string path = file->path();
    std::shared_ptr<readWriteInterface> reader = sources.reader();
    std::optional<VolumeEntry> layered;
    if (file->meta("volume.layered") == "1") {
        // Inside a layer (decrypted, a logical volume): the layer is opened again.
        layered = chooseVolume(sources, a, &rc);
        if (!layered) return std::nullopt;
    }
    // Files the session holds no plan for (large compressed or sparse
    // ones...) are written by the parser: the volume is scanned again the
    // first time one is asked for.
    Args again = a;
    again.options.erase("--session");
    auto holder = std::make_shared<std::optional<Scanned>>();
    auto tried = std::make_shared<bool>(false);
    std::string why;
    auto r = session::reopenListing(
        std::move(file), reader, layered ? &*layered : nullptr,
        [again, sources, holder, tried]() -> VolumeParser* {
            if (!*tried) {
                *tried = true;
                std::cerr << "brantlow-cli: the session keeps no extents for some files: reading the volume's metadata "
                             "again for them\n";
                int ignored = 0;
                *holder = scanOn(again, sources, ignored);
            }
            return *holder ? (*holder)->parser.get() : nullptr;
        },
        why);
    if (!r) {
        std::cerr << "brantlow-cli: the session " << terminalSafe(path) << " " << terminalSafe(why)
                  << "; it is left as it is (--session-overwrite replaces it)\n";
        rc = kExitSession;
        return std::nullopt;
    }
    if (!r->damage.empty()) std::cerr << "brantlow-cli: " << terminalSafe(r->damage) << "\n";
    return Scanned{std::move(r->parser), nullptr, r->volume, reader, r->view};
}

// Opens the source, picks the volume and runs the scan, or with --session
// reopens an earlier run's listing (a new or unfinished session gets the
// listing of this scan). Sets rc on failure.
std::optional<Scanned> scanVolume(const Args& a, int& rc) {
    auto sources = openSources(a, rc);
    if (!sources) return std::nullopt;
    if (!a.has("--session")) return scanOn(a, sources, rc);
    bool existed = false;
    auto f = openSession(a, *sources, session::SessionKind::Listing, listingJob(a), rc, existed);
    if (!f) return std::nullopt;
    if (existed && f->finished()) return reopenListing(a, *sources, std::move(f), rc);
    auto s = scanOn(a, sources, rc);
    if (!s) return s;
    const bool layered = s->volume.reader != nullptr;
    if (f->begin() && session::recordVolume(*f, s->volume, s->view, layered))
        session::writeListing(*f, *s->parser, &platform::interruptFlag());
    sayCheckpointsStopped(*f);
    return s;
}

// ,"recoverable":"partial","overwrittenShare":0.25 of a deleted file
// (,"recoverable":"unreadable","overwrittenShare":null,"unreadableSectors":12
// of any file on sectors the image's map does not mark finished).
void recoverableJson(LineOut& out, const RecoveryEstimate& r) {
    const bool known = r.state != Recoverability::Unknown && r.state != Recoverability::Unreadable;
    out << ",\"recoverable\":\"" << recoverabilityName(r.state) << "\",\"overwrittenShare\":";
    if (known) {
        char share[32];
        const auto end = std::to_chars(share, share + sizeof share, r.overwrittenShare(), std::chars_format::fixed, 4);
        out << std::string_view(share, static_cast<size_t>(end.ptr - share));
    } else {
        out << "null";
    }
    if (r.state == Recoverability::Unreadable) {
        out << ",\"unreadableSectors\":";
        out.num(r.unreadableSectors);
    }
}

// Writes a file's content to stdout as the writer hands it over.
class StdoutSink : public ContentSink {
public:
    bool write(const void* data, size_t n) override {
        if (n && std::fwrite(data, 1, n, stdout) != n) return false;
        total_ += n;
        return true;
    }
    bool writeZeros(uint64_t n) override {
        static const char zeros[64 * 1024] = {};
        while (n) {
            const size_t k = static_cast<size_t>(std::min<uint64_t>(n, sizeof zeros));
            if (!write(zeros, k)) return false;
            n -= k;
        }
        return true;
    }
    uint64_t size() const override { return total_; }

private:
    uint64_t total_ = 0;
};

const char* statusName(WriteStatus s) {
    switch (s) {
        case WriteStatus::Complete: return "written";
        case WriteStatus::Partial: return "partial";
        case WriteStatus::Failed: return "failed";
    }
    return "failed";
}

}  // namespace

int cmdList(const Args& a) {
    int rc = kExitOk;
    auto s = scanVolume(a, rc);
    if (!s) return rc;
    const bool json = a.has("--json");
    const bool streams = a.has("--streams");
    const UnreadableSectors unreadable(s->view);
    bool anyUnreadable = false;
    LineOut out;
    // The shown path (names escaped, see appendShownName), built by depth:
    // shownEnd[d] is where the path of the entry last seen at depth d ends.
    std::string shown;
    std::vector<size_t> shownEnd{0};
    auto emit = [&](const std::string& path, EntryId id, const EntryInfo& info) {
        RecoveryEstimate est;
        if (info.kind != EntryKind::Folder && (info.state == EntryState::Deleted || unreadable.active()))
            est = fileEstimate(*s->parser, id, info, &unreadable);
        const bool onBad = est.state == Recoverability::Unreadable;
        anyUnreadable |= onBad;
        std::string& line = out.text();
        if (json) {
            line += "{\"path\":";
            appendJsonString(line, path);
            line += ",\"name\":";
            appendJsonString(line, info.name);
            out << ",\"kind\":\"" << kindName(info.kind) << "\",\"state\":\"" << stateName(info.state)
                << "\",\"orphan\":" << (info.orphan ? "true" : "false") << ",\"size\":";
            out.num(info.size) << ",\"created\":";
            appendJsonTime(line, info.created);
            line += ",\"modified\":";
            appendJsonTime(line, info.modified);
            line += ",\"accessed\":";
            appendJsonTime(line, info.accessed);
            line += ",\"attributes\":";
            appendJsonString(line, info.attributes);
            if (!info.originalPath.empty()) {
                line += ",\"originalPath\":";
                appendJsonString(line, info.originalPath);
                line += ",\"deletedAt\":";
                appendJsonTime(line, info.deletedAt);
            } else if (info.deletedAt) {
                line += ",\"deletedAt\":";
                appendJsonTime(line, info.deletedAt);
            }
            if ((info.state == EntryState::Deleted && info.kind != EntryKind::Folder) || onBad) recoverableJson(out, est);
            out << '}';
        } else {
            out << stateName(info.state) << (info.orphan ? "/orphan" : "") << '\t' << kindName(info.kind) << '\t';
            out.num(info.size) << '\t';
            line += path;
            if (onBad) out << '\t' << recoverabilityText(est);
        }
        out.endLine();
    };
    walkTree(*s->parser, kRootId, [&](const WalkStep& step) {
        const size_t d = static_cast<size_t>(step.depth);
        shownEnd.resize(d);
        const size_t dirEnd = shownEnd[d - 1];
        shown.resize(dirEnd);
        if (dirEnd) shown += '/';
        appendShownName(shown, step.info.name);
        shownEnd.push_back(shown.size());
        emit(shown, step.id, step.info);
        if (streams) {
            for (EntryId st : s->parser->streams(step.id)) {
                EntryInfo si;
                if (!s->parser->entryInfo(st, si)) continue;
                std::string at = shown.substr(0, dirEnd);
                if (dirEnd) at += '/';
                appendShownName(at, si.name);
                emit(at, st, si);
            }
        }
        return !interrupted();
    });
    out.flush();
    if (interrupted()) return kExitInterrupted;
    return anyUnreadable ? kExitUnreadable : kExitOk;
}

namespace {

// The search filter of the command line, or nullopt when an option does
// not read (said on stderr).
std::optional<SearchFilter> searchFilterOf(const Args& a) {
    auto given = [&](const char* opt) { return a.has(opt) ? std::optional<std::string>(a.get(opt)) : std::nullopt; };
    FilterFields in;
    in.pattern = a.get("--pattern");
    in.deletedOnly = a.has("--deleted-only");
    in.minSize = given("--min-size");
    in.maxSize = given("--max-size");
    in.modifiedAfter = given("--modified-after");
    in.modifiedBefore = given("--modified-before");
    in.extensions = a.get("--ext");
    in.recoverable = given("--recoverable");
    SearchFilter f;
    const FilterError e = buildSearchFilter(in, f);
    switch (e) {
        case FilterError::None: return f;
        case FilterError::MinSize:
        case FilterError::MaxSize:
            std::cerr << "brantlow-cli: " << (e == FilterError::MinSize ? "--min-size" : "--max-size")
                      << " takes a number of bytes\n";
            break;
        case FilterError::ModifiedAfter:
        case FilterError::ModifiedBefore:
            std::cerr << "brantlow-cli: " << (e == FilterError::ModifiedAfter ? "--modified-after" : "--modified-before")
                      << " takes a date, YYYY-MM-DD or YYYY-MM-DDTHH:MM:SSZ\n";
            break;
        case FilterError::Recoverable:
            std::cerr << "brantlow-cli: --recoverable takes intact, partial, overwritten, uncertain, unreadable or unknown\n";
            break;
    }
    return std::nullopt;
}

}  // namespace

int cmdSearch(const Args& a) {
    std::optional<SearchFilter> filter = searchFilterOf(a);
    if (!filter) return kExitUsage;
    SearchFilter& f = *filter;
    int rc = kExitOk;
    auto s = scanVolume(a, rc);
    if (!s) return rc;
    const UnreadableSectors unreadable(s->view);
    f.unreadable = &unreadable;
    const bool json = a.has("--json");
    EntryInfo info, folderInfo;
    LineOut out;
    std::string& line = out.text();
    std::string shown;
    SearchEnd end = searchNames(*s->parser, f, [&](const SearchHit& h) {
        s->parser->entryInfo(h.id, info);
        // Text: "ROOT\folder\name" as the search shows it, each name escaped
        // as the listing escapes it; --json: the listing's path, which --path
        // takes back.
        shown.clear();
        if (!json) shown = "ROOT";
        for (size_t k = 0; k < h.folders.size(); ++k) {
            if (!s->parser->entryInfo(h.folders[k], folderInfo)) continue;
            std::string name = folderInfo.name;
            if (!json && k == 0) {
                const size_t a = name.find_first_not_of(' '), b = name.find_last_not_of(' ');
                name = a == std::string::npos ? std::string() : name.substr(a, b - a + 1);
            }
            if (name.empty() && !json) continue;
            if (!shown.empty()) shown += json ? '/' : '\\';
            appendShownName(shown, name);
        }
        if (!shown.empty()) shown += json ? '/' : '\\';
        appendShownName(shown, info.name);
        if (!json) {
            line += shown;
            out.endLine();
            return;
        }
        line += "{\"path\":";
        appendJsonString(line, shown);
        line += ",\"name\":";
        appendJsonString(line, info.name);
        out << ",\"state\":\"" << stateName(info.state) << "\",\"orphan\":" << (info.orphan ? "true" : "false")
            << ",\"size\":";
        out.num(info.size) << ",\"modified\":";
        appendJsonTime(line, info.modified);
        if (!info.originalPath.empty()) {
            line += ",\"originalPath\":";
            appendJsonString(line, info.originalPath);
            line += ",\"deletedAt\":";
            appendJsonTime(line, info.deletedAt);
        }
        out << '}';
        out.endLine();
    }, nullptr, &platform::interruptFlag());
    out.flush();
    if (end == SearchEnd::BadPattern) {
        std::cerr << "brantlow-cli: " << kBadPatternText << "\n";
        return kExitUsage;
    }
    return end == SearchEnd::Stopped ? kExitInterrupted : kExitOk;
}

int cmdRecover(const Args& a) {
    std::string out = a.get("--out");
    while (out.size() > 1 && (out.back() == ' ' || out.back() == '\t')) out.pop_back();
    if (out.empty()) {
        std::cerr << "brantlow-cli: --out needs a folder\n";
        return kExitUsage;
    }
    // --max-output: bytes, or with a K, M, G or T suffix (powers of 1024).
    uint64_t maxOutput = 0;
    if (a.has("--max-output")) {
        std::string v = a.get("--max-output");
        unsigned shift = 0;
        if (!v.empty()) {
            const char* units = "KMGT";
            if (const char* u = std::strchr(units, std::toupper(static_cast<unsigned char>(v.back()))); u && *u) {
                shift = 10u * static_cast<unsigned>(u - units + 1);
                v.pop_back();
            }
        }
        auto n = parseU64(v);
        if (!n || *n == 0 || (shift && *n > (~0ull >> shift))) {
            std::cerr << "brantlow-cli: --max-output takes a number of bytes above 0 (K, M, G, T allowed)\n";
            return kExitUsage;
        }
        maxOutput = *n << shift;
    }
    int rc = kExitOk;
    auto s = scanVolume(a, rc);
    if (!s) return rc;
    if (!maxOutput) {
        const uint64_t source = s->reader ? s->reader->sizeBytes() : s->view.sizeBytes();
        maxOutput = source > (~0ull >> 1) ? ~0ull : source * 2;
    }
    // The folder save: the whole volume, or the folder --path names.
    const SavePlan plan =
        planSave(*s->parser, {}, a.has("--path") ? entryAtPath(*s->parser, a.get("--path")) : kRootId);
    if (plan.kind != SavePlan::Kind::Folder) {
        std::cerr << "brantlow-cli: no folder " << terminalSafe(a.get("--path")) << " on this volume\n";
        return kExitUsage;
    }
    // The output folder is made only now that there is something to write.
    if (int e = platform::makeDirs(out)) {
        std::cerr << "brantlow-cli: cannot create output folder " << terminalSafe(out) << ": " << std::strerror(e)
                  << "\n";
        return kExitDestination;
    }
    if (std::any_of(a.positional.begin(), a.positional.end(),
                    [&](const std::string& source) { return platform::folderOnDevice(out, source); })) {
        std::cerr << "brantlow-cli: the output folder lies on the device being recovered; choose another\n";
        return kExitUsage;
    }
    std::ofstream report;
    if (a.has("--report")) {
        report.open(a.get("--report"), std::ios::trunc);
        if (!report) {
            std::cerr << "brantlow-cli: cannot write the report " << terminalSafe(a.get("--report")) << "\n";
            return kExitUsage;
        }
    }
    const UnreadableSectors unreadable(s->view);
    SaveOptions opt;
    opt.unreadable = &unreadable;
    opt.streams = a.has("--streams");
    opt.deletedOnly = a.has("--deleted-only");
    opt.includeOverwritten = a.has("--include-overwritten");
    opt.maxOutput = maxOutput;
    StderrProgress prog(progressStyle(a));
    ThrottledProgress throttled(&prog);
    opt.onFile = [&](const FileReport& r) {
        const char* status = r.unreadableSectors ? "unreadable" : statusName(r.status);
        if (report) {
            report << "{\"path\":" << jsonString(r.path) << ",\"status\":\"" << status << "\",\"bytes\":" << r.bytes
                   << ",\"reason\":" << jsonString(r.reason);
            if (r.unreadableSectors) report << ",\"unreadableSectors\":" << r.unreadableSectors;
            report << "}\n";
        }
        if (r.status != WriteStatus::Complete) {
            prog.done();
            std::cerr << "brantlow-cli: " << status << ": " << terminalSafe(r.path) << ": " << terminalSafe(r.reason)
                      << "\n";
        }
    };
    SaveStats stats = runSave(*s->parser, plan, out, &throttled, &platform::interruptFlag(), opt);
    throttled.flush();
    prog.done();
    std::cout << kWorkDoneText << ": " << saveSummary(stats, out, s->volume.outputNote) << "; " << stats.skipped << " skipped, " << stats.bytes
              << " bytes\n";
    if (stats.diskFull)
        std::cerr << "brantlow-cli: the output disk is full: stopped after " << stats.written + stats.partial
                  << " files; " << stats.notAttempted << " not attempted\n";
    if (stats.interrupted) {
        std::cerr << "brantlow-cli: interrupted: " << stats.notAttempted << " files not attempted\n";
        return kExitInterrupted;
    }
    if (stats.limitReached)
        std::cerr << "brantlow-cli: stopped: the next file would take the output past " << maxOutput
                  << " bytes (--max-output); " << stats.notAttempted << " files not attempted\n";
    if (stats.sameClusters)
        std::cerr << "brantlow-cli: " << stats.sameClusters
                  << " files share their clusters with a file written before; each is written once\n";
    if (stats.unreadable) return kExitUnreadable;
    return stats.allDone() ? kExitOk : kExitPartial;
}

int cmdCat(const Args& a) {
    int rc = kExitOk;
    auto s = scanVolume(a, rc);
    if (!s) return rc;
    const std::string path = a.get("--path");
    auto f = entryAtPath(*s->parser, path);
    EntryInfo info;
    if (!f || *f == kRootId || !s->parser->entryInfo(*f, info) || info.kind == EntryKind::Folder) {
        std::cerr << "brantlow-cli: no file " << terminalSafe(path) << " on this volume\n";
        return kExitUsage;
    }
    StdoutSink out;
    WriteResult r = s->parser->writeContent(*f, out);
    const uint64_t bad = UnreadableSectors(s->view).of(*s->parser, *f);
    if (bad) r = WriteResult::partial("unreadable sectors (" + std::to_string(bad) + "), written as zeros");
    // A deleted file whose clusters other files hold now: their bytes.
    const RecoveryEstimate est = bad ? RecoveryEstimate{} : fileEstimate(*s->parser, *f, info, nullptr);
    if (est.state == Recoverability::Overwritten || est.state == Recoverability::Partial ||
        est.state == Recoverability::Uncertain)
        r = WriteResult::partial(recoverabilityText(est) + ": its clusters may hold another file's data");
    if (std::fflush(stdout) != 0 && r.status != WriteStatus::Failed) {
        std::cerr << "brantlow-cli: cannot write to the standard output\n";
        return kExitPartial;
    }
    if (r.status == WriteStatus::Complete) return kExitOk;
    std::cerr << "brantlow-cli: " << (bad ? "unreadable" : statusName(r.status)) << ": " << terminalSafe(path) << ": "
              << terminalSafe(r.reason) << "\n";
    return bad ? kExitUnreadable : kExitPartial;
}

}  // namespace brantlow::cli
