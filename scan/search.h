// Name search over a scanned volume: every file whose name holds the
// pattern (a regular expression, alternatives separated by "|"), or whose
// whole name fits it as wildcards ("*.txt", "IMG_????.JPG", "*.jpg|*.png":
// "*" any characters, "?" one, letter case ignored), with the filters
// people ask for in a recovery tool. Paths are shown as
// "ROOT\folder\name".
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "base/sinks.h"
#include "fs/api/parser.h"

namespace brantlow {

inline constexpr const char* kSearchFinishedText = "Searching Finished";
inline constexpr const char* kBadPatternText =
    "such characters are not allowed for search.Try again with different pattern.";

class UnreadableSectors;

struct SearchFilter {
    std::string pattern;  // searched anywhere in the name (case matters), or wildcards
    bool deletedOnly = false;
    std::optional<uint64_t> minSize, maxSize;               // bytes
    std::optional<int64_t> modifiedAfter, modifiedBefore;   // seconds since 1970, UTC
    std::vector<std::string> extensions;                    // without the dot; any letter case
    // Only deleted files in these recoverability states (empty: any file);
    // Unreadable takes live files too.
    std::vector<Recoverability> recoverable;
    // Files on sectors an image's map does not mark finished (or null).
    const UnreadableSectors* unreadable = nullptr;

    // True when something would be searched for (an empty pattern with no
    // filter lists nothing).
    bool active() const;
};

struct SearchHit {
    std::string path;  // "ROOT\a\b.txt"
    EntryId id;
    std::vector<EntryId> folders;  // the folders from below ROOT down to the file's own
};

// How a pattern is read: wildcards when it holds "*" or "?" and none of
// the characters only a regular expression uses (\ ^ $ + ( ) [ ] { });
// else a regular expression.
bool isWildcardPattern(const std::string& pattern);
// False for a pattern the search refuses (kBadPatternText), so a page can
// say so before it changes anything.
bool searchPatternValid(const std::string& pattern);

enum class SearchEnd { Finished, BadPattern, Stopped };

// Walks the tree below ROOT and calls onHit for every file that matches,
// in tree order. Each top-level folder is walked with a progress range of
// its file count; the status line counts "searched file N". The pattern is
// compiled once, at the first name examined: an invalid pattern ends the
// search with BadPattern (hits before it stay).
SearchEnd searchNames(const VolumeParser& parser, const SearchFilter& filter,
                      const std::function<void(const SearchHit&)>& onHit, ProgressSink* progress = nullptr,
                      const std::atomic<bool>* stop = nullptr);

}  // namespace brantlow
