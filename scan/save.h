// Saving recovered files: the folder save and the quick save.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

#include "fs/common/parser.h"
#include "fs/common/sinks.h"

namespace brantlow {

struct SaveStats {
    uint64_t files = 0;      // files handed to the writer
    uint64_t written = 0;    // written without error
    uint64_t failed = 0;     // could not be created, read or written
    uint64_t skipped = 0;    // counted but not written ("$BadClus")
    uint64_t folders = 0;    // folders created
    uint64_t bytes = 0;      // bytes written
    std::string lastError;   // system error text of the last failure
    bool diskFull = false;   // the save ended on ENOSPC
};

struct SaveOptions {
    bool streams = false;      // write named data streams beside their file
    bool deletedOnly = false;  // only deleted and orphaned files; folders left empty are removed
};

// Counts the files below folder (recursively), as the save's question shows.
uint64_t countFiles(const VolumeParser& parser, EntryId folder, const std::atomic<bool>* stop = nullptr,
                    const SaveOptions& options = {});

// Writes every file below folder into outDir, recreating subfolders (the
// folder itself is not recreated). Names go through the sanitiser; a name
// repeated in one output folder gets " (1)", " (2)" before its extension.
// Progress: range = count, position = files so far; status lines
// "saving File  <path>" and "File size: <n> kb".
SaveStats saveFolder(VolumeParser& parser, EntryId folder, const std::string& outDir, ProgressSink* progress,
                     const std::atomic<bool>* stop, const SaveOptions& options = {});

// Writes one file into outDir under its own (sanitised) name.
bool saveOne(VolumeParser& parser, EntryId id, const std::string& outDir, SaveStats& stats,
             const SaveOptions& options = {});

}  // namespace brantlow
