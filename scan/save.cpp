#include "scan/save.h"

#include <cerrno>
#include <cstring>
#include <map>
#include <unistd.h>
#include <set>
#include <unordered_set>
#include <vector>

#include "fs/common/output.h"
#include "fs/common/texts.h"

namespace brantlow {

namespace {

// Names handed out per output folder within one save, compared without
// regard to case (the output medium may be vfat or exFAT).
class NameBook {
public:
    std::string claim(const std::string& dir, const std::string& name) {
        auto& used = used_[dir];
        std::string candidate = sanitizeComponent(name);
        if (used.insert(asciiLower(candidate)).second) return candidate;
        for (int n = 1; n < 100000; ++n) {
            std::string c = numberedName(candidate, n);
            if (used.insert(asciiLower(c)).second) return c;
        }
        return candidate;
    }

private:
    std::map<std::string, std::set<std::string>> used_;
};

struct Saver {
    VolumeParser& parser;
    ProgressSink* progress;
    const std::atomic<bool>* stop;
    SaveOptions options;
    SaveStats stats;
    NameBook names;
    std::unordered_set<EntryId> onPath;
    std::vector<std::string> created;  // folders this save made, in order

    bool wanted(const EntryInfo& info) const { return !options.deletedOnly || info.state != EntryState::Live; }

    // With deletedOnly, folders that received nothing are removed again.
    void pruneEmptyFolders() {
        if (!options.deletedOnly) return;
        for (auto it = created.rbegin(); it != created.rend(); ++it)
            if (::rmdir(it->c_str()) == 0 && stats.folders > 0) --stats.folders;
    }

    bool stopped() const { return stats.diskFull || (stop && stop->load(std::memory_order_relaxed)); }

    void fail(int err) {
        ++stats.failed;
        if (err) stats.lastError = std::strerror(err);
        if (err == ENOSPC) stats.diskFull = true;
    }

    bool writeFile(EntryId id, const EntryInfo& info, const std::string& dir) {
        std::string name = names.claim(dir, info.name);
        if (progress) {
            progress->status("saving File  " + joinPath(dir, name));
            progress->status2("File size: " + std::to_string(static_cast<long long>(info.size / 1024)) + " kb");
        }
        OutputFile out;
        if (!out.open(dir, name)) {
            fail(out.error());
            return false;
        }
        bool ok = parser.writeContent(id, out);
        OptTime at, mt;
        parser.outputTimes(id, at, mt);
        bool closed = out.finish(at, mt);
        stats.bytes += out.written();
        if (!closed) {
            fail(out.error());
            return false;
        }
        if (!ok) {
            fail(EIO);
            return false;
        }
        ++stats.written;
        if (options.streams) {
            for (EntryId s : parser.streams(id)) {
                EntryInfo si;
                if (!parser.entryInfo(s, si)) continue;
                ++stats.files;
                writeFile(s, si, dir);
            }
        }
        if (progress) progress->status2("");
        return true;
    }

    void dump(EntryId folder, const std::string& dir, int depth) {
        if (depth > kMaxDepth || !onPath.insert(folder).second) return;
        for (EntryId c : parser.children(folder)) {
            if (stopped()) break;
            EntryInfo info;
            if (!parser.entryInfo(c, info)) continue;
            if (progress) progress->position(static_cast<int64_t>(stats.files));
            if (info.kind == EntryKind::Folder) {
                std::string sub = dir;
                if (!info.name.empty()) {
                    std::string name = names.claim(dir, info.name);
                    int err = 0;
                    sub = makeFolder(dir, name, &err);
                    if (sub.empty()) {
                        // The folder's files still count as failures below.
                        uint64_t lost = 0;
                        countInto(c, lost, depth + 1);
                        stats.failed += lost;
                        if (err) stats.lastError = std::strerror(err);
                        continue;
                    }
                    ++stats.folders;
                    created.push_back(sub);
                }
                if (info.name != ".") dump(c, sub, depth + 1);
            } else if (info.kind == EntryKind::File && wanted(info)) {
                ++stats.files;
                if (info.skipOnSave) {
                    ++stats.skipped;
                    continue;
                }
                writeFile(c, info, dir);
            }
        }
        onPath.erase(folder);
    }

    void countInto(EntryId folder, uint64_t& n, int depth) {
        if (depth > kMaxDepth || !onPath.insert(folder).second) return;
        for (EntryId c : parser.children(folder)) {
            EntryInfo info;
            if (!parser.entryInfo(c, info)) continue;
            if (info.kind == EntryKind::Folder && info.name != ".")
                countInto(c, n, depth + 1);
            else if (info.kind == EntryKind::File && wanted(info))
                ++n;
        }
        onPath.erase(folder);
    }

    static constexpr int kMaxDepth = 512;
};

}  // namespace

uint64_t countFiles(const VolumeParser& parser, EntryId folder, const std::atomic<bool>* stop,
                    const SaveOptions& options) {
    Saver s{const_cast<VolumeParser&>(parser), nullptr, stop, options, {}, {}, {}, {}};
    uint64_t n = 0;
    s.countInto(folder, n, 0);
    return n;
}

SaveStats saveFolder(VolumeParser& parser, EntryId folder, const std::string& outDir, ProgressSink* progress,
                     const std::atomic<bool>* stop, const SaveOptions& options) {
    Saver s{parser, progress, stop, options, {}, {}, {}, {}};
    s.dump(folder, outDir, 0);
    s.pruneEmptyFolders();
    if (progress) progress->position(static_cast<int64_t>(s.stats.files));
    return s.stats;
}

bool saveOne(VolumeParser& parser, EntryId id, const std::string& outDir, SaveStats& stats,
             const SaveOptions& options) {
    EntryInfo info;
    if (!parser.entryInfo(id, info) || info.kind != EntryKind::File) return false;
    Saver s{parser, nullptr, nullptr, options, {}, {}, {}, {}};
    ++s.stats.files;
    bool ok = s.writeFile(id, info, outDir);
    stats.files += s.stats.files;
    stats.written += s.stats.written;
    stats.failed += s.stats.failed;
    stats.bytes += s.stats.bytes;
    if (!s.stats.lastError.empty()) stats.lastError = s.stats.lastError;
    return ok;
}

}  // namespace brantlow
