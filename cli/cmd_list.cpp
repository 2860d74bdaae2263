// brantlow-cli list and recover: one volume scanned, then listed or saved.
#include <algorithm>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iostream>
#include <thread>

#include "base/texts.h"
#include "cli/cli.h"
#include "fs/advanced_search.h"
#include "fs/filesystems.h"
#include "platform/files.h"
#include "platform/signals.h"
#include "scan/save.h"
#include "scan/scan_job.h"
#include "scan/search.h"
#include "scan/tree_walk.h"
#include "scan/volumes.h"

namespace brantlow::cli {

namespace {

struct Scanned {
    // Members go in reverse order: the job first (it stops the parser and
    // joins the thread whose reads wait at its pause gate), then the parser.
    std::unique_ptr<VolumeParser> parser;
    std::unique_ptr<ScanJob> job;
    VolumeEntry volume;
    std::shared_ptr<readWriteInterface> reader;
};

const char* kindName(EntryKind k) { return k == EntryKind::Folder ? "dir" : k == EntryKind::File ? "file" : "other"; }

bool interrupted() { return platform::interruptFlag().load(); }

// Runs the scan on a worker so that Ctrl-C can stop it.
ScanOutcome runInterruptibly(ScanJob& job, VolumeParser& parser, ScanContext ctx) {
    ScanOutcome outcome = ScanOutcome::Failed;
    job.start(&parser, std::move(ctx), [&](ScanOutcome o) { outcome = o; });
    while (job.running()) {
        if (interrupted()) job.stop();
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    job.join();
    return outcome;
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
    auto n = parseU64(a.get("--candidate"));
    if (!n || *n >= found.candidates.size()) {
        std::cerr << "brantlow-cli: --candidate: " << found.candidates.size() << " candidates were found\n";
        rc = kExitUsage;
        return false;
    }
    ctx.options.advancedCandidate = found.candidates[*n].position;
    if (ctx.options.advancedClusterShift < 0 && found.candidates[*n].clusterShift >= 0)
        ctx.options.advancedClusterShift = found.candidates[*n].clusterShift;
    return true;
}

// Opens the source, picks the volume and runs the scan. Sets rc on failure.
std::optional<Scanned> scanVolume(const Args& a, int& rc) {
    ScanMode mode = ScanMode::Standard;
    std::string m = a.get("--mode", "standard");
    if (m == "advanced")
        mode = ScanMode::Advanced;
    else if (m == "deep")
        mode = ScanMode::Deep;
    auto sources = openSources(a, rc);
    if (!sources) return std::nullopt;
    const std::shared_ptr<readWriteInterface> reader = sources->reader();
    auto vol = chooseVolume(*sources, a, &rc);
    if (!vol) return std::nullopt;
    ParserChoice choice = selectParser(vol->fileSystem, mode);
    if (!choice.parser) {
        if (findParserRow(vol->fileSystem)) {
            rc = kExitUsage;
            std::cerr << "brantlow-cli: the " << terminalSafe(vol->fileSystem) << " parser offers no " << m
                      << " mode\n";
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
    StderrProgress prog(stderrIsTerminal() && !a.has("--quiet"));
    ThrottledProgress throttled(&prog);
    StderrMessages msgs;
    ScanContext ctx;
    ctx.volume = volumeView(*vol, reader);
    ctx.mode = mode;
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
    if (out == ScanOutcome::Rejected) {
        rc = kExitNoFs;
        return std::nullopt;
    }
    return Scanned{std::move(choice.parser), std::move(job), *vol, reader};
}

// Finds the entry named by a "ROOT/a/b" path.
std::optional<EntryId> findPath(const VolumeParser& p, const std::string& path) {
    std::string rest = path;
    if (rest.rfind("ROOT", 0) == 0) rest = rest.substr(4);
    EntryId cur = kRootId;
    size_t i = 0;
    while (i < rest.size()) {
        while (i < rest.size() && rest[i] == '/') ++i;
        if (i >= rest.size()) break;
        size_t j = rest.find('/', i);
        std::string part = rest.substr(i, j == std::string::npos ? std::string::npos : j - i);
        i = j == std::string::npos ? rest.size() : j;
        bool found = false;
        for (EntryId c : p.children(cur)) {
            EntryInfo info;
            if (p.entryInfo(c, info) && info.name == part) {
                cur = c;
                found = true;
                break;
            }
        }
        if (!found) return std::nullopt;
    }
    return cur;
}

// ,"recoverable":"partial","overwrittenShare":0.25 of a deleted file.
void recoverableJson(const VolumeParser& p, EntryId id) {
    const RecoveryEstimate r = p.recoverability(id);
    char share[32];
    std::snprintf(share, sizeof share, "%.4f", r.overwrittenShare());
    std::cout << ",\"recoverable\":\"" << recoverabilityName(r.state) << "\",\"overwrittenShare\":"
              << (r.state == Recoverability::Unknown ? "null" : share);
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
    auto emit = [&](const std::string& path, EntryId id, const EntryInfo& info) {
        if (json) {
            std::cout << "{\"path\":" << jsonString(path) << ",\"name\":" << jsonString(info.name)
                      << ",\"kind\":\"" << kindName(info.kind) << "\",\"state\":\"" << stateName(info.state)
                      << "\",\"orphan\":" << (info.orphan ? "true" : "false") << ",\"size\":" << info.size
                      << ",\"created\":" << jsonTime(info.created) << ",\"modified\":" << jsonTime(info.modified)
                      << ",\"accessed\":" << jsonTime(info.accessed)
                      << ",\"attributes\":" << jsonString(info.attributes);
            if (!info.originalPath.empty())
                std::cout << ",\"originalPath\":" << jsonString(info.originalPath)
                          << ",\"deletedAt\":" << jsonTime(info.deletedAt);
            if (info.state == EntryState::Deleted && info.kind != EntryKind::Folder) recoverableJson(*s->parser, id);
            std::cout << "}\n";
        } else {
            std::cout << stateName(info.state) << (info.orphan ? "/orphan" : "") << "\t" << kindName(info.kind)
                      << "\t" << info.size << "\t" << terminalSafe(displayUtf8(path)) << "\n";
        }
    };
    walkTree(*s->parser, kRootId, [&](const std::string& path, EntryId id, const EntryInfo& info) {
        emit(path, id, info);
        if (streams) {
            const size_t slash = path.rfind('/');
            const std::string dir = slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
            for (EntryId st : s->parser->streams(id)) {
                EntryInfo si;
                if (s->parser->entryInfo(st, si)) emit(dir + si.name, st, si);
            }
        }
        return !interrupted();
    });
    return interrupted() ? kExitInterrupted : kExitOk;
}

int cmdSearch(const Args& a) {
    SearchFilter f;
    f.pattern = a.get("--pattern");
    f.deletedOnly = a.has("--deleted-only");
    auto number = [&](const char* opt, std::optional<uint64_t>& into) {
        if (!a.has(opt)) return true;
        into = parseU64(a.get(opt));
        if (!into) std::cerr << "brantlow-cli: " << opt << " takes a number of bytes\n";
        return into.has_value();
    };
    auto date = [&](const char* opt, std::optional<int64_t>& into) {
        if (!a.has(opt)) return true;
        std::string d = a.get(opt);
        if (d.size() == 10) d += "T00:00:00Z";
        int64_t t = parseIsoUtc(d);
        if (t == INT64_MIN) {
            std::cerr << "brantlow-cli: " << opt << " takes a date, YYYY-MM-DD or YYYY-MM-DDTHH:MM:SSZ\n";
            return false;
        }
        into = t;
        return true;
    };
    if (!number("--min-size", f.minSize) || !number("--max-size", f.maxSize) ||
        !date("--modified-after", f.modifiedAfter) || !date("--modified-before", f.modifiedBefore))
        return kExitUsage;
    if (a.has("--ext")) {
        std::string list = a.get("--ext");
        for (size_t start = 0; start <= list.size();) {
            size_t comma = list.find(',', start);
            std::string e = list.substr(start, comma == std::string::npos ? std::string::npos : comma - start);
            if (!e.empty()) f.extensions.push_back(e);
            if (comma == std::string::npos) break;
            start = comma + 1;
        }
    }
    if (a.has("--recoverable")) {
        std::string list = a.get("--recoverable");
        for (size_t start = 0; start <= list.size();) {
            size_t comma = list.find(',', start);
            std::string e = list.substr(start, comma == std::string::npos ? std::string::npos : comma - start);
            Recoverability r;
            if (!parseRecoverability(e, r)) {
                std::cerr << "brantlow-cli: --recoverable takes intact, partial, overwritten or unknown\n";
                return kExitUsage;
            }
            f.recoverable.push_back(r);
            if (comma == std::string::npos) break;
            start = comma + 1;
        }
    }
    int rc = kExitOk;
    auto s = scanVolume(a, rc);
    if (!s) return rc;
    const bool json = a.has("--json");
    EntryInfo info;
    SearchEnd end = searchNames(*s->parser, f, [&](const SearchHit& h) {
        if (!json) {
            std::cout << terminalSafe(displayUtf8(h.path)) << "\n";
            return;
        }
        s->parser->entryInfo(h.id, info);
        std::cout << "{\"path\":" << jsonString(h.path) << ",\"name\":" << jsonString(info.name)
                  << ",\"state\":\"" << stateName(info.state) << "\",\"orphan\":" << (info.orphan ? "true" : "false")
                  << ",\"size\":" << info.size << ",\"modified\":" << jsonTime(info.modified);
        if (!info.originalPath.empty())
            std::cout << ",\"originalPath\":" << jsonString(info.originalPath)
                      << ",\"deletedAt\":" << jsonTime(info.deletedAt);
        std::cout << "}\n";
    }, nullptr, &platform::interruptFlag());
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
    int rc = kExitOk;
    auto s = scanVolume(a, rc);
    if (!s) return rc;
    EntryId folder = kRootId;
    if (a.has("--path")) {
        auto f = findPath(*s->parser, a.get("--path"));
        EntryInfo info;
        if (!f || (*f != kRootId && (!s->parser->entryInfo(*f, info) || info.kind != EntryKind::Folder))) {
            std::cerr << "brantlow-cli: no folder " << terminalSafe(a.get("--path")) << " on this volume\n";
            return kExitUsage;
        }
        folder = *f;
    }
    // The output folder is made only now that there is something to write.
    if (int e = platform::makeDirs(out)) {
        std::cerr << "brantlow-cli: cannot create output folder " << terminalSafe(out) << ": " << std::strerror(e)
                  << "\n";
        return kExitUsage;
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
    SaveOptions opt;
    opt.streams = a.has("--streams");
    opt.deletedOnly = a.has("--deleted-only");
    StderrProgress prog(stderrIsTerminal() && !a.has("--quiet"));
    ThrottledProgress throttled(&prog);
    opt.onFile = [&](const FileReport& r) {
        if (report)
            report << "{\"path\":" << jsonString(r.path) << ",\"status\":\"" << statusName(r.status)
                   << "\",\"bytes\":" << r.bytes << ",\"reason\":" << jsonString(r.reason) << "}\n";
        if (r.status != WriteStatus::Complete) {
            prog.done();
            std::cerr << "brantlow-cli: " << statusName(r.status) << ": " << terminalSafe(r.path) << ": "
                      << terminalSafe(r.reason) << "\n";
        }
    };
    SaveStats stats = saveFolder(*s->parser, folder, out, &throttled, &platform::interruptFlag(), opt);
    throttled.flush();
    prog.done();
    std::cout << "work done: " << saveSummary(stats, out) << "; " << stats.skipped << " skipped, " << stats.bytes
              << " bytes\n";
    if (stats.diskFull)
        std::cerr << "brantlow-cli: the output disk is full: stopped after " << stats.written + stats.partial
                  << " files; " << stats.notAttempted << " not attempted\n";
    if (stats.interrupted) {
        std::cerr << "brantlow-cli: interrupted: " << stats.notAttempted << " files not attempted\n";
        return kExitInterrupted;
    }
    return stats.allDone() ? kExitOk : kExitPartial;
}

int cmdCat(const Args& a) {
    int rc = kExitOk;
    auto s = scanVolume(a, rc);
    if (!s) return rc;
    const std::string path = a.get("--path");
    auto f = findPath(*s->parser, path);
    EntryInfo info;
    if (!f || *f == kRootId || !s->parser->entryInfo(*f, info) || info.kind == EntryKind::Folder) {
        std::cerr << "brantlow-cli: no file " << terminalSafe(path) << " on this volume\n";
        return kExitUsage;
    }
    StdoutSink out;
    const WriteResult r = s->parser->writeContent(*f, out);
    if (std::fflush(stdout) != 0 && r.status != WriteStatus::Failed) {
        std::cerr << "brantlow-cli: cannot write to the standard output\n";
        return kExitPartial;
    }
    if (r.status == WriteStatus::Complete) return kExitOk;
    std::cerr << "brantlow-cli: " << statusName(r.status) << ": " << terminalSafe(path) << ": "
              << terminalSafe(r.reason) << "\n";
    return kExitPartial;
}

}  // namespace brantlow::cli
