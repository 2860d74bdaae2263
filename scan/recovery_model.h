// The decisions of a recovery that lie between the operator and the engine,
// the same for the wizard's pages and the command-line tool: what a save
// writes (the ticked files, a folder, one file), which job may start while
// another runs, the search filter from the operator's fields, the
// Advanced-mode candidate taken, and the texts that report them. No
// widgets here: the pages draw and wire, this decides.
#pragma once

#include <atomic>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "disk/partition.h"
#include "fs/advanced_search.h"
#include "fs/api/candidates.h"
#include "fs/api/parser.h"
#include "scan/save.h"
#include "scan/search.h"

namespace brantlow {

inline constexpr const char* kWaitText = "Please wait for other process to complete";
inline constexpr const char* kNothingToSaveText = "Tick the files to save, or select a folder.";
inline constexpr const char* kWorkDoneText = "work done";

// ---- What a save writes -------------------------------------------------------

// An item of the result tree that is ticked (fully or in part), in tree
// order. A folder whose children were never put in the tree stands, when
// fully ticked, for every file below it; an opened folder's ticked
// children come as items of their own.
struct TickedItem {
    EntryId id = kRootId;
    bool fully = true;    // ticked, not mixed
    bool opened = false;  // its children are items of the tree
};

// The files the ticks mean: the ticked rows of a search first (in the
// order found), then the tree's files in tree order; each once.
std::vector<EntryId> filesOfTicks(const VolumeParser& parser, const std::vector<EntryId>& tickedHits,
                                  const std::vector<TickedItem>& tree);

struct SavePlan {
    enum class Kind { Nothing, Quick, Ticked, Folder };
    Kind kind = Kind::Nothing;
    EntryId entry = kRootId;     // Folder: the folder (kRootId: the whole volume); Quick: the file
    std::vector<EntryId> files;  // Ticked
    // Folder: the folders from below ROOT down to the folder itself; the
    // save recreates them, so the folder keeps its name and its place below
    // ROOT, as the ticked files keep theirs.
    std::vector<EntryId> folderPath;
};

// Save: when anything is ticked, exactly the ticked files (the selection
// plays no part); otherwise the selected folder (kRootId: the whole
// volume); a file or nothing selected saves nothing (kNothingToSaveText).
// selectedPath, the folders from below ROOT down to the selected folder
// itself, makes the save keep the folder's name and place (the scan page);
// without it the folder's children go straight into the output folder
// (brantlow-cli recover --path).
SavePlan planSave(const VolumeParser& parser, std::vector<EntryId> tickedFiles, std::optional<EntryId> selected,
                  std::vector<EntryId> selectedPath = {});
// A double-click on a file: that file alone (Nothing for anything else).
SavePlan planQuickSave(const VolumeParser& parser, EntryId file);

// How many files the plan writes (the save's question shows it).
uint64_t filesInPlan(const VolumeParser& parser, const SavePlan& plan, const SaveOptions& options = {});
// "number of files found inside this folder = N .do u want to continue dumping these files..?"
std::string saveQuestion(uint64_t files);

// Runs the plan into outDir (a quick save counts into the stats and sets
// *written to where its file went).
SaveStats runSave(VolumeParser& parser, const SavePlan& plan, const std::string& outDir, ProgressSink* progress,
                  const std::atomic<bool>* stop, const SaveOptions& options = {}, std::string* written = nullptr);

// The status line and the box after a save (box empty: none). tellFolder:
// the quick save also says in a box which folder it wrote to. A save that
// the full output disk stopped says so in a warning box with its counts.
struct SaveEnding {
    std::string status;
    std::string box;
    bool warning = false;  // the box is a warning
};
SaveEnding saveEnding(const SavePlan& plan, const SaveStats& stats, const std::string& outDir,
                      const std::string& written, bool tellFolder);

// The entry at "ROOT/a/b" ("ROOT" may be left out; blank names between
// slashes are skipped; names escaped as the listing prints them, see
// splitShownPath), or nullopt.
std::optional<EntryId> entryAtPath(const VolumeParser& parser, const std::string& path);

// The box at the end of a scan: the common one (commonEnding: the scan
// reached it), or for a file system with an ending of its own (a status
// text instead, as HFS+ has), that text in a box as well, so every file
// system says in a box that its scan is done; "" when no box is due (a
// rejected volume has said why already).
std::string scanEndingBox(const VolumeParser& parser, ScanOutcome outcome, bool commonEnding);

// What the tooltip and the preview say of a name whose first letter was
// lost with the deletion (EntryInfo::firstLetterLost); "" otherwise.
std::string lostLetterNote(const EntryInfo& info);

// The line below the close question: what closing the program now would
// lose ("" when nothing is at stake). results: the page holds what a scan
// found; savedFiles: files written from it so far; ticked: files are ticked.
std::string unsavedNote(bool results, uint64_t savedFiles, bool ticked);

// ---- One job at a time ----------------------------------------------------------

// The one worker a recovery page runs at a time (a scan, a save or a name
// search) and what the operator may do meanwhile. Jobs start on the page's
// thread and finish on their worker.
class WorkState {
public:
    enum class Job { None, Scan, Save, Search };
    enum class Action {
        Save,         // Save, or a double-click on a file
        Search,
        ReadEntries,  // open or list a folder, preview or rate a file: reads the disk
        Pause,
    };
    enum class Answer {
        Go,
        Wait,    // refused, saying kWaitText
        Ignore,  // nothing happens
    };

    // False (and nothing changes) while another job runs.
    bool start(Job job);
    // Ends the job (a call for a job that is not the running one changes nothing).
    void finish(Job job);
    Job running() const { return static_cast<Job>(job_.load(std::memory_order_acquire)); }
    bool busy() const { return running() != Job::None; }
    Answer answer(Action action) const;

private:
    std::atomic<int> job_{static_cast<int>(Job::None)};
};

// ---- The search filter from the operator's fields ----------------------------------

// The filters as the operator types them: the scan page's fields or the
// command line's options. Unset optionals are filters not given.
struct FilterFields {
    std::string pattern;
    bool deletedOnly = false;
    std::optional<std::string> minSize, maxSize;  // decimal numbers of sizeUnit bytes
    uint64_t sizeUnit = 1;                        // 1024: sizes in KB, "to" takes its whole last KB
    // "YYYY-MM-DD" (the day's start, UTC) or "YYYY-MM-DDTHH:MM:SSZ".
    std::optional<std::string> modifiedAfter, modifiedBefore;
    bool beforeTakesWholeDay = false;  // a bare "to" date includes that whole day
    std::string extensions;            // separated by ",", ";" or blanks; a leading dot is fine
    // "intact,partial": names as recoverabilityName gives them, by ",".
    std::optional<std::string> recoverable;
};

enum class FilterError { None, MinSize, MaxSize, ModifiedAfter, ModifiedBefore, Recoverable };

// Builds the filter; on a field that does not read, returns which (out is
// then incomplete).
FilterError buildSearchFilter(const FilterFields& fields, SearchFilter& out);

// Seconds since 1970 of "YYYY-MM-DDTHH:MM:SSZ" (UTC), or nullopt.
std::optional<int64_t> parseIsoUtc(const std::string& iso);

// The recoverability choices a page offers, in order: its label and the
// states it takes (FilterFields::recoverable).
struct RecoverableChoice {
    const char* label;
    const char* states;
};
const std::vector<RecoverableChoice>& recoverableChoices();

// ---- The Advanced-mode choice ---------------------------------------------------------

// Indexes into the lists of an AdvancedSearch; unset: not chosen.
struct AdvancedChoice {
    std::optional<size_t> candidate;    // candidates
    std::optional<size_t> clusterSize;  // clusterTexts / clusterShifts
    std::optional<size_t> heap;         // heaps
};

// The candidate a list selects first: the one the search ranks best.
size_t firstCandidate(const AdvancedSearch& found);
// Where a candidate lies and what it is, said beside its list text:
// "byte 33550336 (sector 65528), mirror copy of $MFT, best" ("best" only for
// the one the search ranks first among several; heaps are never "best").
std::string candidateDetail(const AdvancedCandidate& c, bool best);
// Whether the scan may start from the choice: a candidate and a cluster
// size are chosen, each within its list.
bool advancedChoiceReady(const AdvancedSearch& found, const AdvancedChoice& choice);
// Puts the choice into options: the candidate's position, the cluster
// size (without one, the candidate's own when options has none yet) and
// the heap. False, with options unchanged, when an index is outside its list.
bool applyAdvancedChoice(const AdvancedSearch& found, const AdvancedChoice& choice, ScanOptions& options);

// An earlier file system chosen from the list of the volume's candidates:
// the volume read as its type from its start (what lies before is skipped
// from the size), and the metadata place, heap and cluster size it fixes.
// Returns the mode to read it in.
ScanMode openEarlierFileSystem(const FileSystemCandidate& c, VolumeEntry& volume, ScanOptions& options);

}  // namespace brantlow
