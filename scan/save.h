// Saving recovered files: the folder save, the save of chosen files and the
// quick save. Every file is written under a temporary name and renamed when
// complete; a file that could only be partly recovered is kept as
// "NAME.partial"; a file that failed, or was interrupted, leaves nothing.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "base/sinks.h"
#include "fs/api/parser.h"

namespace brantlow {

class UnreadableSectors;

// What happened to one file.
struct FileReport {
    std::string path;     // where it was written (or would have been), below the output folder
    WriteStatus status = WriteStatus::Complete;
    uint64_t bytes = 0;   // content bytes written
    std::string reason;   // partial / failed: why
    uint64_t unreadableSectors = 0;  // sectors of it an image's map does not mark finished (written as zeros)
};

struct SaveStats {
    uint64_t files = 0;         // files counted for the save
    uint64_t written = 0;       // complete
    uint64_t partial = 0;       // kept as NAME.partial
    uint64_t unreadable = 0;    // of those: on sectors an image's map does not mark finished
    uint64_t failed = 0;        // nothing written
    uint64_t notAttempted = 0;  // left when the save stopped (no space, Stop)
    uint64_t skipped = 0;       // counted but not written ("$BadClus")
    uint64_t folders = 0;       // folders created
    uint64_t bytes = 0;         // content bytes written
    std::string lastError;      // text of the last failure
    bool diskFull = false;      // the save stopped on "no space left"
    bool interrupted = false;   // the save stopped on request
    bool limitReached = false;  // the save stopped before going past SaveOptions::maxOutput
    uint64_t sameClusters = 0;  // files not written again: their clusters were written for another file
    std::vector<FileReport> problems;  // every partial or failed file, in order

    bool allDone() const {
        return partial == 0 && failed == 0 && notAttempted == 0 && !interrupted && !limitReached;
    }
};

struct SaveOptions {
    bool streams = false;      // write named data streams beside their file
    bool deletedOnly = false;  // only deleted and orphaned files; folders left empty are removed
    // Deleted files whose clusters the allocation map gives to other files
    // now: by default one partly overwritten is kept as NAME.partial and
    // one wholly overwritten is not written (failed, "overwritten"); with
    // this set the latter is written too, as NAME.partial.
    bool includeOverwritten = false;
    // Stop the run before the content written passes this many bytes (0:
    // no limit); what is left counts as not attempted.
    uint64_t maxOutput = 0;
    // Files on sectors an image's map does not mark finished (or null):
    // kept as NAME.partial, reported with the count.
    const UnreadableSectors* unreadable = nullptr;
    // Called for every file handed to a writer (the CLI's --report).
    std::function<void(const FileReport&)> onFile;
    // Folder save: the folders from below ROOT down to the saved folder
    // itself, recreated under the output folder first, so the saved folder
    // keeps its name and its place below ROOT (empty: its children go
    // straight into the output folder).
    std::vector<EntryId> keepPath;
};

// Counts the files below folder (recursively), as the save's question shows.
uint64_t countFiles(const VolumeParser& parser, EntryId folder, const std::atomic<bool>* stop = nullptr,
                    const SaveOptions& options = {});

// Writes every file below folder into outDir, recreating subfolders (the
// folder itself is not recreated unless options.keepPath names it). Names go through the sanitiser; a name
// repeated in one output folder gets " (1)", " (2)" before its extension.
// Goes on after a failed file; stops on "no space left" or on stop, and
// counts what it did not attempt. Progress: range = count, position =
// files so far; status lines "saving File  <path>" and "File size: <n> kb".
SaveStats saveFolder(VolumeParser& parser, EntryId folder, const std::string& outDir, ProgressSink* progress,
                     const std::atomic<bool>* stop, const SaveOptions& options = {});

// Writes the given files (each below outDir in the folders of its path
// under ROOT, as the folder save would place it).
SaveStats saveEntries(VolumeParser& parser, const std::vector<EntryId>& files, const std::string& outDir,
                      ProgressSink* progress, const std::atomic<bool>* stop, const SaveOptions& options = {});

// Writes one file into outDir under its own (sanitised) name; adds to stats.
bool saveOne(VolumeParser& parser, EntryId id, const std::string& outDir, SaveStats& stats,
             const SaveOptions& options = {});

// "N files written to FOLDER" ("1 file written to FOLDER") and, when there
// were any, the counts of partial, failed and not attempted files; then the
// note of the layers the volume was read through, if any ("; the files were
// written decrypted …").
std::string saveSummary(const SaveStats& stats, const std::string& outDir, const std::string& note = {});
// "N files written to FOLDER", "1 file written to FOLDER".
std::string filesWrittenText(uint64_t written, const std::string& outDir);

}  // namespace brantlow
