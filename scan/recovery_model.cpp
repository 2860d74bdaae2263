#include "scan/recovery_model.h"

#include <climits>
#include <cstdio>
#include <unordered_set>

#include "base/texts.h"
#include "scan/scan_job.h"
#include "scan/tree_walk.h"

namespace brantlow {

// ---- What a save writes -------------------------------------------------------

std::vector<EntryId> filesOfTicks(const VolumeParser& parser, const std::vector<EntryId>& tickedHits,
                                  const std::vector<TickedItem>& tree) {
    std::vector<EntryId> files;
    std::unordered_set<EntryId> seen;
    auto add = [&](EntryId id) {
        if (seen.insert(id).second) files.push_back(id);
    };
    for (EntryId id : tickedHits) add(id);
    EntryInfo info;
    for (const TickedItem& t : tree) {
        if (!parser.entryInfo(t.id, info)) continue;
        if (info.kind == EntryKind::File) {
            if (t.fully) add(t.id);
        } else if (info.kind == EntryKind::Folder && t.fully && !t.opened) {
            // Ticked but never opened: everything below it.
            walkTree(parser, t.id, [&](const WalkStep& st) {
                if (st.info.kind == EntryKind::File) add(st.id);
                return true;
            });
        }
    }
    return files;
}

SavePlan planSave(const VolumeParser& parser, std::vector<EntryId> tickedFiles, std::optional<EntryId> selected,
                  std::vector<EntryId> selectedPath) {
    SavePlan plan;
    if (!tickedFiles.empty()) {
        plan.kind = SavePlan::Kind::Ticked;
        plan.files = std::move(tickedFiles);
        return plan;
    }
    EntryInfo info;
    if (selected && (*selected == kRootId || (parser.entryInfo(*selected, info) && info.kind == EntryKind::Folder))) {
        plan.kind = SavePlan::Kind::Folder;
        plan.entry = *selected;
        if (*selected != kRootId && !selectedPath.empty() && selectedPath.back() == *selected)
            plan.folderPath = std::move(selectedPath);
    }
    return plan;
}

SavePlan planQuickSave(const VolumeParser& parser, EntryId file) {
    SavePlan plan;
    EntryInfo info;
    if (file != kRootId && parser.entryInfo(file, info) && info.kind == EntryKind::File) {
        plan.kind = SavePlan::Kind::Quick;
        plan.entry = file;
    }
    return plan;
}

uint64_t filesInPlan(const VolumeParser& parser, const SavePlan& plan, const SaveOptions& options) {
    switch (plan.kind) {
        case SavePlan::Kind::Nothing: return 0;
        case SavePlan::Kind::Quick: return 1;
        case SavePlan::Kind::Ticked: return plan.files.size();
        case SavePlan::Kind::Folder: return countFiles(parser, plan.entry, nullptr, options);
    }
    return 0;
}

std::string saveQuestion(uint64_t files) {
    return "number of files found inside this folder = " + std::to_string(static_cast<long long>(files)) +
           " .do u want to continue dumping these files..?";
}

SaveStats runSave(VolumeParser& parser, const SavePlan& plan, const std::string& outDir, ProgressSink* progress,
                  const std::atomic<bool>* stop, const SaveOptions& options, std::string* written) {
    SaveStats stats;
    switch (plan.kind) {
        case SavePlan::Kind::Nothing: break;
        case SavePlan::Kind::Quick: {
            SaveOptions o = options;
            o.onFile = [&](const FileReport& r) {
                if (written) *written = r.path;
                if (options.onFile) options.onFile(r);
            };
            saveOne(parser, plan.entry, outDir, stats, o);
            break;
        }
        case SavePlan::Kind::Ticked: stats = saveEntries(parser, plan.files, outDir, progress, stop, options); break;
        case SavePlan::Kind::Folder: {
            SaveOptions o = options;
            o.keepPath = plan.folderPath;
            stats = saveFolder(parser, plan.entry, outDir, progress, stop, o);
            break;
        }
    }
    return stats;
}

SaveEnding saveEnding(const SavePlan& plan, const SaveStats& stats, const std::string& outDir,
                      const std::string& written, bool tellFolder) {
    if (stats.diskFull) {
        SaveEnding e;
        e.status = "The output disk is full: the save stopped.";
        e.box = e.status + "\n\n" + saveSummary(stats, outDir) +
                ".\n\nFree some space on that disk, or choose another output folder, and save again.";
        e.warning = true;
        return e;
    }
    if (plan.kind != SavePlan::Kind::Quick) return {kWorkDoneText, kWorkDoneText};
    SaveEnding e;
    if (stats.written || stats.partial)
        e.status = "File saved to " + (written.empty() ? outDir : written);
    else
        e.status = "File not saved: " + stats.lastError;
    if (tellFolder) e.box = "file is dumped in path  :  " + outDir + "   ";
    return e;
}

std::string scanEndingBox(const VolumeParser& parser, ScanOutcome outcome, bool commonEnding) {
    if (commonEnding) return kScanDoneText;
    if (outcome == ScanOutcome::Rejected) return {};
    const char* own = parser.endingStatus(outcome);
    return own ? own : std::string();
}

std::string lostLetterNote(const EntryInfo& info) {
    if (!info.firstLetterLost || info.name.empty()) return {};
    // The first character, whole (UTF-8).
    size_t n = 1;
    while (n < info.name.size() && (static_cast<unsigned char>(info.name[n]) & 0xC0) == 0x80) ++n;
    return "The first letter of this name was lost when the file was deleted: \"" + info.name.substr(0, n) +
           "\" stands in its place (the deletion mark). Rename the file after saving it.";
}

std::string unsavedNote(bool results, uint64_t savedFiles, bool ticked) {
    if (!results || savedFiles > 0) return {};
    return std::string("The results of this scan have not been saved: closing the program loses them") +
           (ticked ? " and the files you ticked." : ".");
}

std::optional<EntryId> entryAtPath(const VolumeParser& parser, const std::string& path) {
    std::vector<std::string> names = splitShownPath(path);
    // "ROOT" first is the root itself (a top-level "ROOT" is then "ROOT/ROOT").
    size_t first = !names.empty() && names.front() == "ROOT" && path.rfind("ROOT", 0) == 0 ? 1 : 0;
    EntryId cur = kRootId;
    EntryInfo info;
    for (size_t k = first; k < names.size(); ++k) {
        bool found = false;
        for (EntryId c : parser.children(cur)) {
            if (parser.entryInfo(c, info) && info.name == names[k]) {
                cur = c;
                found = true;
                break;
            }
        }
        if (!found) return std::nullopt;
    }
    return cur;
}

// ---- One job at a time ----------------------------------------------------------

bool WorkState::start(Job job) {
    int idle = static_cast<int>(Job::None);
    return job != Job::None && job_.compare_exchange_strong(idle, static_cast<int>(job), std::memory_order_acq_rel);
}

void WorkState::finish(Job job) {
    int mine = static_cast<int>(job);
    job_.compare_exchange_strong(mine, static_cast<int>(Job::None), std::memory_order_acq_rel);
}

WorkState::Answer WorkState::answer(Action action) const {
    const bool idle = !busy();
    switch (action) {
        case Action::Save:
        case Action::Search: return idle ? Answer::Go : Answer::Wait;
        case Action::ReadEntries: return idle ? Answer::Go : Answer::Ignore;
        case Action::Pause: return idle ? Answer::Ignore : Answer::Go;
    }
    return Answer::Ignore;
}

// ---- The search filter from the operator's fields ----------------------------------

namespace {

// The pieces of a list separated by any of seps; empty ones are kept
// only when asked for.
std::vector<std::string> splitList(const std::string& s, const char* seps, bool keepEmpty = false) {
    std::vector<std::string> out;
    size_t i = 0;
    for (;;) {
        const size_t j = s.find_first_of(seps, i);
        const size_t end = j == std::string::npos ? s.size() : j;
        if (end > i || keepEmpty) out.push_back(s.substr(i, end - i));
        if (j == std::string::npos) return out;
        i = j + 1;
    }
}

std::optional<uint64_t> decimal(const std::string& s) {
    if (s.empty() || s.size() > 20) return std::nullopt;
    uint64_t v = 0;
    for (char c : s) {
        if (c < '0' || c > '9' || __builtin_mul_overflow(v, 10u, &v) ||
            __builtin_add_overflow(v, static_cast<uint64_t>(c - '0'), &v))
            return std::nullopt;
    }
    return v;
}

// A size bound in units; the upper one takes its whole last unit.
bool sizeBound(const std::optional<std::string>& text, uint64_t unit, bool upper, std::optional<uint64_t>& out) {
    if (!text) return true;
    auto n = decimal(*text);
    uint64_t v = 0;
    if (!n || unit == 0 || __builtin_mul_overflow(*n, unit, &v) || (upper && __builtin_add_overflow(v, unit - 1, &v)))
        return false;
    out = v;
    return true;
}

// A bare date is its day's start, or with wholeDay its last second.
bool dateBound(const std::optional<std::string>& text, bool wholeDay, std::optional<int64_t>& out) {
    if (!text) return true;
    const bool bare = text->size() == 10;
    auto t = parseIsoUtc(bare ? *text + "T00:00:00Z" : *text);
    if (!t) return false;
    out = bare && wholeDay ? *t + 86399 : *t;
    return true;
}

}  // namespace

std::optional<int64_t> parseIsoUtc(const std::string& iso) {
    int y, mo, d, h, mi, se;
    char z = 0;
    if (std::sscanf(iso.c_str(), "%4d-%2d-%2dT%2d:%2d:%2d%c", &y, &mo, &d, &h, &mi, &se, &z) != 7 || z != 'Z' ||
        mo < 1 || mo > 12 || d < 1 || d > 31 || h > 23 || mi > 59 || se > 60)
        return std::nullopt;
    // Days from civil (proleptic Gregorian).
    y -= mo <= 2;
    const int64_t era = (y >= 0 ? y : y - 399) / 400;
    const int64_t yoe = y - era * 400;
    const int64_t doy = (153 * (mo + (mo > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    const int64_t days = era * 146097 + doe - 719468;
    return days * 86400 + h * 3600 + mi * 60 + se;
}

FilterError buildSearchFilter(const FilterFields& in, SearchFilter& out) {
    out = SearchFilter{};
    out.pattern = in.pattern;
    out.deletedOnly = in.deletedOnly;
    if (!sizeBound(in.minSize, in.sizeUnit, false, out.minSize)) return FilterError::MinSize;
    if (!sizeBound(in.maxSize, in.sizeUnit, true, out.maxSize)) return FilterError::MaxSize;
    if (!dateBound(in.modifiedAfter, false, out.modifiedAfter)) return FilterError::ModifiedAfter;
    if (!dateBound(in.modifiedBefore, in.beforeTakesWholeDay, out.modifiedBefore)) return FilterError::ModifiedBefore;
    out.extensions = splitList(in.extensions, ",; ");
    if (!in.recoverable) return FilterError::None;
    for (const std::string& name : splitList(*in.recoverable, ",", true)) {
        Recoverability r;
        if (!parseRecoverability(name, r)) return FilterError::Recoverable;
        out.recoverable.push_back(r);
    }
    return FilterError::None;
}

const std::vector<RecoverableChoice>& recoverableChoices() {
    static const std::vector<RecoverableChoice> choices = {
        {"any", ""},
        {"intact", "intact"},
        {"intact or partly", "intact,partial"},
        {"partly overwritten", "partial"},
        {"overwritten", "overwritten"},
        {"unknown", "unknown"},
        {"unreadable sectors", "unreadable"},
        {"uncertain", "uncertain"},
    };
    return choices;
}

// ---- The Advanced-mode choice ---------------------------------------------------------

size_t firstCandidate(const AdvancedSearch& found) {
    return found.candidates.empty() ? 0 : std::min(found.best, found.candidates.size() - 1);
}

std::string candidateDetail(const AdvancedCandidate& c, bool best) {
    std::string t;
    if (c.position >= 0)
        t = "byte " + std::to_string(c.position) + " (sector " + std::to_string(c.position / 512) + ")";
    if (!c.note.empty()) t += (t.empty() ? "" : ", ") + c.note;
    if (best) t += t.empty() ? "best" : ", best";
    return t;
}

bool advancedChoiceReady(const AdvancedSearch& found, const AdvancedChoice& c) {
    return c.candidate && *c.candidate < found.candidates.size() && c.clusterSize &&
           *c.clusterSize < found.clusterShifts.size();
}

bool applyAdvancedChoice(const AdvancedSearch& found, const AdvancedChoice& c, ScanOptions& options) {
    if ((c.candidate && *c.candidate >= found.candidates.size()) ||
        (c.clusterSize && *c.clusterSize >= found.clusterShifts.size()) || (c.heap && *c.heap >= found.heaps.size()))
        return false;
    if (c.candidate) options.advancedCandidate = found.candidates[*c.candidate].position;
    if (c.clusterSize)
        options.advancedClusterShift = found.clusterShifts[*c.clusterSize];
    else if (c.candidate && options.advancedClusterShift < 0 && found.candidates[*c.candidate].clusterShift >= 0)
        options.advancedClusterShift = found.candidates[*c.candidate].clusterShift;
    if (c.heap) options.advancedHeap = found.heaps[*c.heap].position;
    return true;
}

ScanMode openEarlierFileSystem(const FileSystemCandidate& c, VolumeEntry& volume, ScanOptions& options) {
    volume.fileSystem = c.fileSystem;
    const uint64_t skip = c.volumeStart / 512;
    volume.startSector += skip;
    if (volume.sizeSectors) volume.sizeSectors = volume.sizeSectors > skip ? volume.sizeSectors - skip : 0;
    // Its own end may lie a little past the searched volume's (a file system
    // formatted over it keeps its last sector for itself).
    if (c.volumeBytes >= 512) volume.sizeSectors = c.volumeBytes / 512;
    options.advancedCandidate = c.metadata;
    options.advancedHeap = c.heap;
    options.advancedClusterShift = c.clusterShift;
    return c.mode;
}

}  // namespace brantlow
