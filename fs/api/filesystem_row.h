// The one description of a file system: how it is recognised on a disk,
// which parser reads each name it goes by, the modes and Advanced-mode
// search it offers, and every text the pages and the command-line tool show
// for it. Everything above fs/ asks the table (fs/filesystems.h) built from
// these rows and never names a file system itself.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "disk/probe.h"
#include "fs/api/advanced.h"
#include "fs/api/candidates.h"
#include "fs/api/parser.h"

namespace brantlow {

// Advanced mode as a parser offers it.
struct AdvancedOffer {
    AdvancedSearchFn search = nullptr;  // nullptr: no Advanced-mode search
    const char* listLabel = "";         // the candidate list's label while the search runs
    bool heaps = false;                 // a heap list beside the candidates
};

// One name of the volume list that a parser reads.
struct ParserRow {
    std::string listName;              // as the volume list shows it ("FAT32")
    std::vector<const char*> names;    // lower-case names that select it (the list name's among them)
    const char* statusText = nullptr;  // shown when the volume is chosen, or nullptr
    std::function<std::unique_ptr<VolumeParser>()> make;
    std::vector<ScanMode> modes;       // offered, in the order the mode page lists them
    std::vector<ScanMode> alsoRuns;    // run when asked for, though not offered
    bool formattedOption = false;      // "Is Drive Formated..?" beside Advanced mode
    AdvancedOffer advanced;
    // The "Treat file system as:" entry and the name choosing it gives the
    // volume (nullptr: not offered); entries are listed by treatAsOrder.
    const char* treatAs = nullptr;
    const char* treatAsGives = nullptr;
    int treatAsOrder = 0;
    std::vector<const char*> mountTypes;  // what /proc/self/mountinfo calls it
    // What a mounted volume of those types is called when its device cannot
    // be probed (nullptr: the list name).
    const char* mountName = nullptr;
    bool quickSaveTells = false;          // the quick save names the file it wrote

    bool offers(ScanMode m) const {
        for (ScanMode x : modes)
            if (x == m) return true;
        return false;
    }
    bool runs(ScanMode m) const {
        if (offers(m)) return true;
        for (ScanMode x : alsoRuns)
            if (x == m) return true;
        return false;
    }
};

struct FileSystemRow {
    ProbeRow probe;                  // recognition: walks, sector scan, mounted volumes
    std::vector<ParserRow> parsers;  // one per name the probe gives that a parser reads
    // Its part of the search for earlier file systems (nullptr: none).
    std::function<std::unique_ptr<CandidateMatcher>()> candidates;
};

}  // namespace brantlow
