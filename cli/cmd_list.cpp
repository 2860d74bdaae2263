#include <cstdio>
#include <cstring>
#include <iostream>

#include "cli/cli.h"
#include "base/texts.h"
#include "platform/files.h"
#include "scan/save.h"
#include "scan/scan_job.h"
#include "scan/tree_walk.h"

namespace brantlow::cli {

namespace {

struct Scanned {
    std::unique_ptr<VolumeParser> parser;
    VolumeEntry volume;
};

const char* kindName(EntryKind k) { return k == EntryKind::Folder ? "dir" : k == EntryKind::File ? "file" : "other"; }

// Opens the source, picks the volume and runs the scan. Sets rc on failure.
std::optional<Scanned> scanVolume(const Args& a, int& rc) {
    if (a.positional.size() != 1) {
        rc = kExitUsage;
        std::cerr << "brantlow-cli: name one SOURCE\n";
        return std::nullopt;
    }
    ScanMode mode = ScanMode::Standard;
    std::string m = a.get("--mode", "standard");
    if (m == "advanced")
        mode = ScanMode::Advanced;
    else if (m == "deep")
        mode = ScanMode::Deep;
    else if (m != "standard") {
        rc = kExitUsage;
        std::cerr << "brantlow-cli: --mode is standard, advanced or deep\n";
        return std::nullopt;
    }
    auto reader = openSource(a.positional[0]);
    if (!reader) {
        rc = kExitSource;
        return std::nullopt;
    }
    auto vol = chooseVolume(*reader, a);
    if (!vol) {
        rc = kExitUsage;
        return std::nullopt;
    }
    ParserChoice choice = selectParser(vol->fileSystem, mode);
    if (!choice.parser) {
        rc = kExitSource;
        std::cerr << "brantlow-cli: not a valid drive. (file system \"" << vol->fileSystem << "\""
                  << (choice.hasProcedure || choice.statusText.empty() ? "" : ", mode not offered") << ")\n";
        return std::nullopt;
    }
    uint64_t start = 0;
    if (__builtin_mul_overflow(vol->startSector, 512ull, &start)) {
        rc = kExitSource;
        return std::nullopt;
    }
    StderrProgress prog(stderrIsTerminal() && !a.has("--quiet"));
    ThrottledProgress throttled(&prog);
    StderrMessages msgs;
    ScanContext ctx;
    ctx.options.driveFormatted = a.has("--formatted");
    ctx.volume = VolumeView(reader, start, volumeSizeBytes(*vol, reader->sizeBytes()));
    ctx.mode = mode;
    ctx.progress = &throttled;
    ctx.messages = &msgs;
    ScanOutcome out = runScan(*choice.parser, ctx);
    prog.done();
    if (out == ScanOutcome::Rejected) {
        rc = kExitSource;
        return std::nullopt;
    }
    return Scanned{std::move(choice.parser), *vol};
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
                      << "\",\"orphan\":" << (info.orphan ? "true" : "false") << ",\"size\":" << info.size << ",\"created\":" << jsonTime(info.created)
                      << ",\"modified\":" << jsonTime(info.modified) << ",\"accessed\":" << jsonTime(info.accessed)
                      << ",\"attributes\":" << jsonString(info.attributes) << "}\n";
        } else {
            std::cout << stateName(info.state) << "\t" << kindName(info.kind) << "\t" << info.size << "\t"
                      << displayUtf8(path) << "\n";
        }
        (void)id;
    };
    walkTree(*s->parser, kRootId, [&](const std::string& path, EntryId id, const EntryInfo& info) {
        emit(path, id, info);
        if (streams) {
            for (EntryId st : s->parser->streams(id)) {
                EntryInfo si;
                if (s->parser->entryInfo(st, si)) {
                    std::string dir = path.substr(0, path.rfind('/') == std::string::npos ? 0 : path.rfind('/') + 1);
                    emit(dir + si.name, st, si);
                }
            }
        }
        return true;
    });
    return kExitOk;
}

int cmdRecover(const Args& a) {
    std::string out = a.get("--out");
    if (out.empty()) {
        std::cerr << "usage: brantlow-cli recover SOURCE --volume N --out DIR [--path ROOT/...] [--streams] [--deleted-only]\n";
        return kExitUsage;
    }
    while (out.size() > 1 && (out.back() == ' ' || out.back() == '\t')) out.pop_back();
    if (int e = platform::makeDirs(out)) {
        std::cerr << "brantlow-cli: cannot create output folder " << out << ": " << std::strerror(e) << "\n";
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
            std::cerr << "brantlow-cli: no folder " << a.get("--path") << " on this volume\n";
            return kExitUsage;
        }
        folder = *f;
    }
    SaveOptions opt;
    opt.streams = a.has("--streams");
    opt.deletedOnly = a.has("--deleted-only");
    StderrProgress prog(stderrIsTerminal() && !a.has("--quiet"));
    ThrottledProgress throttled(&prog);
    uint64_t count = countFiles(*s->parser, folder, nullptr, opt);
    throttled.range(static_cast<int64_t>(count));
    SaveStats stats = saveFolder(*s->parser, folder, out, &throttled, nullptr, opt);
    throttled.flush();
    prog.done();
    std::cout << "work done: " << stats.written << " files written, " << stats.failed << " failed, " << stats.skipped
              << " skipped, " << stats.bytes << " bytes, into " << out << "\n";
    if (stats.failed) std::cout << "last error: " << stats.lastError << "\n";
    return stats.failed ? kExitSource : kExitOk;
}

}  // namespace brantlow::cli
