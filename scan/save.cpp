#include "scan/save.h"

#include <cerrno>
#include <cstring>
#include <map>
#include <unordered_map>
#include <unordered_set>

#include "base/names.h"
#include "platform/files.h"
#include "platform/output_file.h"
#include "scan/tree_walk.h"
#include "scan/unreadable.h"

namespace brantlow {

namespace {

std::optional<platform::Stamp> stamp(const OptTime& t) {
    if (!t) return std::nullopt;
    return platform::Stamp{t->sec, t->nsec};
}

// "overwritten: 12 of 12 clusters are another file's now" (and ", written
// on request" when it was written all the same); "partly overwritten (25%):
// 3 of 12 clusters are another file's now".
std::string overwrittenReason(const RecoveryEstimate& e, bool written) {
    std::string t = recoverabilityText(e);
    if (e.units)
        t += ": " + std::to_string(e.overwritten) + " of " + std::to_string(e.units) + " clusters are another file's now";
    if (written && e.state == Recoverability::Overwritten) t += ", written on request";
    return t;
}

// A parser's writer writing into an output file: zeros become holes, and a
// stop request ends the file at once.
class FileSink : public ContentSink {
public:
    FileSink(platform::OutputFile& f, const std::atomic<bool>* stop) : f_(f), stop_(stop) {}
    bool write(const void* data, size_t n) override { return !stopped() && f_.write(data, n); }
    bool writeZeros(uint64_t n) override { return !stopped() && f_.skip(n); }
    uint64_t size() const override { return f_.size(); }
    bool stopped() const { return stop_ && stop_->load(std::memory_order_relaxed); }

private:
    platform::OutputFile& f_;
    const std::atomic<bool>* stop_;
};

struct Saver {
    VolumeParser& parser;
    ProgressSink* progress;
    const std::atomic<bool>* stop;
    const SaveOptions& options;
    SaveStats stats;
    NameBook names;
    std::vector<std::string> created;  // folders this save made, in order
    uint64_t handled = 0;              // files taken so far (written, partial, failed, skipped)
    platform::OutputFolder folder;     // the folder files are being written in
    uint64_t taken = 0;                // bytes read for the files written (the --max-output count)

    // The volume ranges of the files written so far in this run, so that a
    // cluster is written once however many entries claim it (cross-linked
    // chains, hard links, a file found twice).
    struct Owner {
        std::string path;  // as written (NAME or NAME.partial)
        uint64_t first = 0, total = 0, size = 0;
        size_t ranges = 0;
        bool partial = false;
    };
    struct Claim {
        uint64_t end;
        size_t owner;
    };
    // The ranges of the live files written so far: a live file's clusters
    // are its own by the allocation map, so a second claim on them (a
    // cross-link, a hard link) by a live or a deleted file is the one that
    // gives way. (Deleted files guessed from freed chains may overlap each
    // other; the allocation map and --max-output bound them.)
    using Claims = std::map<uint64_t, Claim>;  // by start; no two overlap
    Claims liveClaims;
    std::vector<Owner> owners;

    // The earlier file that holds any of these ranges, or -1.
    static long claimedBy(const Claims& in, const std::vector<VolumeRange>& ranges) {
        for (const VolumeRange& r : ranges) {
            if (!r.length) continue;
            auto it = in.upper_bound(r.offset);
            if (it != in.begin() && std::prev(it)->second.end > r.offset) return static_cast<long>(std::prev(it)->second.owner);
            if (it != in.end() && it->first < r.offset + r.length) return static_cast<long>(it->second.owner);
        }
        return -1;
    }
    static void add(Claims& in, const VolumeRange& r, size_t owner) {
        if (r.length && claimedBy(in, {r}) < 0) in.emplace(r.offset, Claim{r.offset + r.length, owner});
    }
    void claim(const std::vector<VolumeRange>& ranges, const std::string& path, uint64_t size, bool partial) {
        Owner o{path, ranges.empty() ? 0 : ranges.front().offset, 0, size, ranges.size(), partial};
        const size_t idx = owners.size();
        for (const VolumeRange& r : ranges) {
            o.total += r.length;
            add(liveClaims, r, idx);
        }
        owners.push_back(std::move(o));
    }

    bool stopRequested() const { return stop && stop->load(std::memory_order_relaxed); }
    bool stopped() {
        if (stopRequested()) stats.interrupted = true;
        return stats.diskFull || stats.interrupted || stats.limitReached;
    }

    void report(const std::string& path, WriteStatus status, uint64_t bytes, const std::string& reason,
                uint64_t unreadableSectors = 0) {
        FileReport r{path, status, bytes, reason, unreadableSectors};
        if (status != WriteStatus::Complete) stats.problems.push_back(r);
        if (options.onFile) options.onFile(r);
    }

    void failed(const std::string& path, int err, const std::string& reason = {}) {
        ++stats.failed;
        std::string why = reason.empty() ? std::string(std::strerror(err)) : reason;
        stats.lastError = why;
        if (err == ENOSPC) stats.diskFull = true;
        report(path, WriteStatus::Failed, 0, why);
    }

    // The name to write under: one the output folder holds already (from
    // before this run: a file, a folder, a link) takes the next free name,
    // and so does a complete file named like the partial marker or a
    // temporary, which would read as something it is not.
    // With onDisk false the folder is not asked (the caller's link refuses
    // a name in use instead).
    std::string freeName(const std::string& dir, std::string name, bool complete, bool onDisk = true) {
        const auto endsWith = [&](const char* tail) {
            const size_t n = std::strlen(tail);
            return name.size() >= n && name.compare(name.size() - n, n, tail) == 0;
        };
        if (complete && (endsWith(".partial") || (name.rfind(".brantlow-", 0) == 0 && endsWith(".part"))))
            name = names.claim(dir, name + " (1)");
        for (int i = 0; onDisk && i < 10000 && platform::pathExists(joinPath(dir, name)); ++i)
            name = names.claim(dir, name);
        return name;
    }

    // Creates dir/name (sanitised; the strict form when the medium refuses
    // the name). Returns the path, or empty with err set.
    std::string makeFolder(const std::string& dir, const std::string& name, int& err) {
        std::string path = joinPath(dir, name);
        err = platform::makeDir(path);
        // A file or a link of that name from before: the next free name.
        for (int i = 0; err == EEXIST && i < 10000; ++i) {
            path = joinPath(dir, names.claim(dir, name));
            err = platform::makeDir(path);
        }
        if (err == EINVAL) {
            path = joinPath(dir, sanitizeComponentStrict(name));
            err = platform::makeDir(path);
        }
        if (err) return {};
        ++stats.folders;
        created.push_back(path);
        return path;
    }

    // Renames the finished temporary to name (or the strict form).
    // An unnamed file is linked in under the next free name where one is
    // in use (no look at the folder before each file); a named temporary
    // replaces, so its name was checked free before.
    bool commit(platform::OutputFile& f, const std::string& dir, std::string name, const OptTime& at,
                const OptTime& mt) {
        const bool fresh = f.unnamed();
        bool strict = false;
        for (int i = 0; i < 10000; ++i) {
            if (f.commit(name, stamp(at), stamp(mt), !fresh)) return true;
            if (fresh && f.error() == EEXIST) {
                name = names.claim(dir, name);
                continue;
            }
            if (f.error() != EINVAL || strict) return false;
            strict = true;
            name = names.claim(dir, sanitizeComponentStrict(name));
            if (!fresh) return f.commit(name, stamp(at), stamp(mt));
        }
        return false;
    }

    void writeFile(EntryId id, const EntryInfo& info, const std::string& dir) {
        ++handled;
        std::string name = names.claim(dir, info.name);
        std::string path = joinPath(dir, name);
        if (progress) {
            progress->position(static_cast<int64_t>(handled));
            progress->status("saving File  " + path);
            progress->status2("File size: " + std::to_string(static_cast<long long>(info.size / 1024)) + " kb");
        }
        // A deleted file whose clusters belong to other files now holds
        // their bytes, not its own: never written as complete.
        const RecoveryEstimate est = info.state == EntryState::Live && !info.orphan ? RecoveryEstimate{}
                                                                                     : parser.recoverability(id);
        if (est.state == Recoverability::Overwritten && !options.includeOverwritten)
            return failed(path, 0, overwrittenReason(est, false));
        // Clusters written already for another file in this run are not
        // written again: the same content is a second name of that file,
        // anything else is refused. (A deleted file the allocation map
        // calls partly overwritten shares clusters with live files by
        // definition: the map has spoken.)
        const bool mapSpoke = est.state == Recoverability::Partial || est.state == Recoverability::Overwritten;
        const std::vector<VolumeRange> ranges = parser.contentRanges(id);
        // The run's bound: no file begins that could take it past the limit
        // (what it reads from the volume, or its size where nothing says).
        uint64_t need = 0;
        for (const VolumeRange& r : ranges) need += r.length;
        if (ranges.empty()) need = info.size;
        if (options.maxOutput && (taken > options.maxOutput || need > options.maxOutput - taken)) {
            --handled;
            stats.limitReached = true;
            stats.lastError = "output limit reached";
            return;
        }
        const bool live = info.state == EntryState::Live;
        if (const long o = mapSpoke ? -1 : claimedBy(liveClaims, ranges); o >= 0) {
            const Owner& own = owners[static_cast<size_t>(o)];
            uint64_t total = 0;
            for (const VolumeRange& r : ranges) total += r.length;
            const std::string why = "same clusters as " + own.path;
            ++stats.sameClusters;
            if (own.first == ranges.front().offset && own.total == total && own.ranges == ranges.size() &&
                own.size == info.size) {
                if (own.partial) name = names.claim(dir, name + ".partial");
                const std::string to = joinPath(dir, freeName(dir, name, !own.partial));
                if (platform::hardLink(own.path, to) == 0) {
                    if (own.partial) {
                        ++stats.partial;
                        report(to, WriteStatus::Partial, 0, why);
                    } else {
                        ++stats.written;
                        report(to, WriteStatus::Complete, 0, why);
                    }
                    return;
                }
            }
            return failed(path, 0, why);
        }
        platform::OutputFile f;
        if (folder.path() != dir) folder.hold(dir);
        if (!f.create(dir, &folder)) return failed(path, f.error());
        FileSink sink(f, stop);
        WriteResult res = parser.writeContent(id, sink);
        if (sink.stopped()) {
            // Not written: it counts as not attempted, not as handled.
            --handled;
            stats.interrupted = true;
            ++stats.notAttempted;
            return;  // the temporary goes with f
        }
        if (f.error()) return failed(path, f.error());
        if (res.status == WriteStatus::Failed) return failed(path, EIO, res.reason.empty() ? "read error" : res.reason);
        OptTime at, mt;
        parser.outputTimes(id, at, mt);
        // Read through an image's map: content on sectors it does not mark
        // finished came back as zeros, whatever the writer saw.
        const uint64_t unreadable = options.unreadable ? options.unreadable->of(parser, id) : 0;
        if (unreadable) res = WriteResult::partial("unreadable sectors (" + std::to_string(unreadable) + ")");
        else if (est.state == Recoverability::Overwritten || est.state == Recoverability::Partial ||
                 est.state == Recoverability::Uncertain) {
            const std::string why =
                est.state == Recoverability::Uncertain
                    ? "uncertain: another file starts among the clusters after its first one, read as its own"
                    : overwrittenReason(est, true);
            res = WriteResult::partial(res.status == WriteStatus::Partial && !res.reason.empty() ? res.reason + "; " + why
                                                                                                 : why);
        }
        const bool partial = res.status == WriteStatus::Partial;
        if (partial) name = names.claim(dir, name + ".partial");
        name = freeName(dir, name, !partial, !f.unnamed());
        if (!commit(f, dir, name, at, mt)) return failed(path, f.error());
        stats.bytes += f.size();
        if (live) claim(ranges, f.path(), info.size, partial);
        taken += need;
        if (partial) {
            ++stats.partial;
            if (unreadable) ++stats.unreadable;
            stats.lastError = res.reason;
            report(f.path(), WriteStatus::Partial, f.size(), res.reason, unreadable);
        } else {
            ++stats.written;
            report(f.path(), WriteStatus::Complete, f.size(), {});
        }
        if (options.streams) {
            for (EntryId s : parser.streams(id)) {
                EntryInfo si;
                if (!parser.entryInfo(s, si) || stopped()) continue;
                ++stats.files;
                writeFile(s, si, dir);
            }
        }
        if (progress) progress->status2("");
    }

    // One file of the walk: skipped, or written.
    void takeFile(EntryId id, const EntryInfo& info, const std::string& dir) {
        if (info.skipOnSave) {
            ++handled;
            ++stats.skipped;
            return;
        }
        writeFile(id, info, dir);
    }

    // With deletedOnly, folders that received nothing are removed again.
    void pruneEmptyFolders() {
        if (!options.deletedOnly) return;
        for (auto it = created.rbegin(); it != created.rend(); ++it)
            if (platform::removeEmptyDir(*it) && stats.folders > 0) --stats.folders;
    }

    void finish() {
        pruneEmptyFolders();
        if (stats.files > handled + stats.notAttempted) stats.notAttempted = stats.files - handled;
        if (stats.notAttempted && stats.lastError.empty() && stats.interrupted) stats.lastError = "interrupted";
        if (progress) progress->position(static_cast<int64_t>(handled));
    }
};

bool countable(const EntryInfo& info, bool deletedOnly) {
    return info.kind == EntryKind::File && (!deletedOnly || info.state != EntryState::Live || info.orphan);
}

}  // namespace

uint64_t countFiles(const VolumeParser& parser, EntryId folder, const std::atomic<bool>* stop,
                    const SaveOptions& options) {
    uint64_t n = 0;
    walkTree(parser, folder, [&](const WalkStep& s) {
        if (countable(s.info, options.deletedOnly)) ++n;
        return true;
    }, stop);
    return n;
}

SaveStats saveFolder(VolumeParser& parser, EntryId folder, const std::string& outDir, ProgressSink* progress,
                     const std::atomic<bool>* stop, const SaveOptions& options) {
    Saver s{parser, progress, stop, options, {}, {}, {}, 0};
    s.stats.files = countFiles(parser, folder, stop, options);
    // The folders above the saved one and the folder itself, when it keeps
    // its place; one that cannot be made takes every file with it.
    std::string base = outDir;
    for (EntryId f : options.keepPath) {
        EntryInfo fi;
        if (!parser.entryInfo(f, fi) || fi.name.empty()) continue;
        int err = 0;
        std::string sub = s.makeFolder(base, s.names.claim(base, fi.name), err);
        if (sub.empty()) {
            s.handled += s.stats.files;
            s.stats.failed += s.stats.files;
            s.stats.lastError = std::strerror(err);
            if (err == ENOSPC) s.stats.diskFull = true;
            s.report(joinPath(base, sanitizeComponent(fi.name)) + "/", WriteStatus::Failed, 0,
                     "folder not created (" + std::to_string(s.stats.files) + " files): " + std::strerror(err));
            s.finish();
            return s.stats;
        }
        base = sub;
    }
    // Output folder of each folder entered so far (the walk visits a folder
    // before its children). A folder that could not be made takes its files
    // with it: they count as failed.
    std::unordered_map<EntryId, std::string> dirs{{folder, base}};
    walkTree(parser, folder, [&](const WalkStep& st) {
        if (s.stopped()) return false;
        auto d = dirs.find(st.parent);
        if (d == dirs.end()) return false;
        const std::string dir = d->second;
        if (st.info.kind == EntryKind::Folder) {
            if (st.info.name.empty()) {
                dirs[st.id] = dir;
                return true;
            }
            int err = 0;
            std::string sub = s.makeFolder(dir, s.names.claim(dir, st.info.name), err);
            if (sub.empty()) {
                uint64_t lostFiles = countFiles(parser, st.id, stop, options);
                s.handled += lostFiles;
                s.stats.failed += lostFiles;
                s.stats.lastError = std::strerror(err);
                if (err == ENOSPC) s.stats.diskFull = true;
                s.report(joinPath(dir, sanitizeComponent(st.info.name)) + "/", WriteStatus::Failed, 0,
                         "folder not created (" + std::to_string(lostFiles) + " files): " + std::strerror(err));
                return false;
            }
            dirs[st.id] = sub;
            return true;
        }
        if (countable(st.info, options.deletedOnly)) s.takeFile(st.id, st.info, dir);
        return true;
    });
    s.finish();
    return s.stats;
}

SaveStats saveEntries(VolumeParser& parser, const std::vector<EntryId>& files, const std::string& outDir,
                      ProgressSink* progress, const std::atomic<bool>* stop, const SaveOptions& options) {
    Saver s{parser, progress, stop, options, {}, {}, {}, 0};
    std::unordered_set<EntryId> wanted(files.begin(), files.end());
    s.stats.files = wanted.size();
    // Folders are made only when a chosen file lies below them: the walk
    // keeps the chain of folder names and creates it on first use.
    struct Pending {
        EntryId id;
        std::string name;
        std::string made;  // empty until created
    };
    std::vector<Pending> chain;  // chain[k] is the folder at depth k+1
    std::unordered_set<EntryId> done;
    walkTree(parser, kRootId, [&](const WalkStep& st) {
        if (s.stopped()) return false;
        chain.resize(static_cast<size_t>(st.depth - 1));
        if (st.info.kind == EntryKind::Folder) {
            chain.push_back({st.id, st.info.name, {}});
            return true;
        }
        if (!wanted.count(st.id) || !done.insert(st.id).second) return true;
        std::string dir = outDir;
        for (Pending& p : chain) {
            if (p.name.empty()) {
                p.made = dir;
            } else if (p.made.empty()) {
                int err = 0;
                p.made = s.makeFolder(dir, s.names.claim(dir, p.name), err);
                if (p.made.empty()) {
                    s.failed(joinPath(dir, p.name) + "/", err);
                    ++s.handled;
                    return true;
                }
            }
            dir = p.made;
        }
        s.takeFile(st.id, st.info, dir);
        return true;
    });
    s.finish();
    return s.stats;
}

bool saveOne(VolumeParser& parser, EntryId id, const std::string& outDir, SaveStats& stats,
             const SaveOptions& options) {
    EntryInfo info;
    if (!parser.entryInfo(id, info) || info.kind != EntryKind::File) return false;
    Saver s{parser, nullptr, nullptr, options, {}, {}, {}, 0};
    s.stats.files = 1;
    s.takeFile(id, info, outDir);
    stats.files += s.stats.files;
    stats.written += s.stats.written;
    stats.partial += s.stats.partial;
    stats.failed += s.stats.failed;
    stats.skipped += s.stats.skipped;
    stats.bytes += s.stats.bytes;
    stats.diskFull = stats.diskFull || s.stats.diskFull;
    stats.problems.insert(stats.problems.end(), s.stats.problems.begin(), s.stats.problems.end());
    if (!s.stats.lastError.empty()) stats.lastError = s.stats.lastError;
    return s.stats.written == 1;
}

std::string filesWrittenText(uint64_t written, const std::string& outDir) {
    return std::to_string(written) + (written == 1 ? " file" : " files") + " written to " + outDir;
}

std::string saveSummary(const SaveStats& st, const std::string& outDir, const std::string& note) {
    std::string t = filesWrittenText(st.written, outDir);
    if (st.partial) t += ", " + std::to_string(st.partial) + " partial";
    if (st.failed) t += ", " + std::to_string(st.failed) + " failed";
    if (st.notAttempted) t += ", " + std::to_string(st.notAttempted) + " not attempted";
    if (st.diskFull) t += " (no space left on the output disk)";
    else if (st.limitReached) t += " (stopped at the output limit)";
    else if (st.interrupted) t += " (stopped)";
    if (!note.empty()) t += "; " + note;
    return t;
}

}  // namespace brantlow
