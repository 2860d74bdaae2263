#include "scan/search.h"

#include "scan/unreadable.h"

#include <algorithm>
#include <memory>
#include <regex>

#include "base/texts.h"
#include "scan/tree_walk.h"

namespace brantlow {

namespace {

// The pieces of a pattern between its "|".
std::vector<std::string> alternatives(const std::string& pattern) {
    std::vector<std::string> out;
    size_t start = 0;
    for (;;) {
        size_t bar = pattern.find('|', start);
        out.push_back(pattern.substr(start, bar == std::string::npos ? std::string::npos : bar - start));
        if (bar == std::string::npos) return out;
        start = bar + 1;
    }
}

// Length of the UTF-8 character that starts with byte c (1 for a stray byte).
size_t charLength(unsigned char c) {
    if (c >= 0xF0 && c < 0xF8) return 4;
    if (c >= 0xE0) return c < 0xF0 ? 3 : 1;
    if (c >= 0xC0) return 2;
    return 1;
}

// Whether the whole name fits a wildcard pattern ("*" any characters, "?"
// one character), ASCII letters in any case. Iterative, with one point to
// go back to: linear for any number of "*".
bool fitsWildcards(const std::string& glob, const std::string& name) {
    size_t g = 0, n = 0, starG = std::string::npos, starN = 0;
    auto same = [](char a, char b) {
        return a == b || (((a | 0x20) >= 'a' && (a | 0x20) <= 'z') && (a | 0x20) == (b | 0x20));
    };
    while (n < name.size()) {
        if (g < glob.size() && glob[g] == '*') {
            starG = g++;
            starN = n;
        } else if (g < glob.size() && glob[g] == '?') {
            ++g;
            n = std::min(name.size(), n + charLength(static_cast<unsigned char>(name[n])));
        } else if (g < glob.size() && same(glob[g], name[n])) {
            ++g;
            ++n;
        } else if (starG != std::string::npos) {
            g = starG + 1;
            starN = std::min(name.size(), starN + charLength(static_cast<unsigned char>(name[starN])));
            n = starN;
        } else {
            return false;
        }
    }
    while (g < glob.size() && glob[g] == '*') ++g;
    return g == glob.size();
}

// The pattern, compiled once: wildcards are fitted to the whole name;
// plain alternatives ("jpg|doc") are searched as text; anything else
// through the regular-expression engine.
class Matcher {
public:
    explicit Matcher(const std::string& pattern) : pattern_(pattern) {}

    // False when the pattern is not a valid expression.
    bool compile() {
        if (compiled_) return valid_;
        compiled_ = true;
        if (isWildcardPattern(pattern_)) {
            globs_ = alternatives(pattern_);
            return valid_ = true;
        }
        if (pattern_.find_first_of("^$\\.*+?()[]{}") == std::string::npos) {
            literals_ = alternatives(pattern_);
            return valid_ = true;
        }
        try {
            re_ = std::make_unique<std::regex>(pattern_, std::regex::ECMAScript);
            valid_ = true;
        } catch (const std::regex_error&) {
            valid_ = false;
        }
        return valid_;
    }

    bool matches(const std::string& name) const {
        if (pattern_.empty()) return true;
        if (re_) return std::regex_search(name, *re_);
        for (const std::string& g : globs_)
            if (fitsWildcards(g, name)) return true;
        for (const std::string& l : literals_)
            if (name.find(l) != std::string::npos) return true;
        return false;
    }

private:
    std::string pattern_;
    bool compiled_ = false, valid_ = false;
    std::vector<std::string> literals_, globs_;
    std::unique_ptr<std::regex> re_;
};

std::string trimmedBlanks(const std::string& s) {
    size_t a = s.find_first_not_of(' '), b = s.find_last_not_of(' ');
    return a == std::string::npos ? std::string() : s.substr(a, b - a + 1);
}

std::string extensionOf(const std::string& name) {
    size_t dot = name.rfind('.');
    return dot == std::string::npos || dot + 1 >= name.size() ? std::string() : asciiLower(name.substr(dot + 1));
}

}  // namespace

bool isWildcardPattern(const std::string& pattern) {
    return pattern.find_first_of("*?") != std::string::npos &&
           pattern.find_first_of("\\^$+()[]{}") == std::string::npos;
}

bool searchPatternValid(const std::string& pattern) { return Matcher(pattern).compile(); }

bool SearchFilter::active() const {
    return !pattern.empty() || deletedOnly || minSize || maxSize || modifiedAfter || modifiedBefore ||
           !extensions.empty() || !recoverable.empty();
}

SearchEnd searchNames(const VolumeParser& parser, const SearchFilter& filter,
                      const std::function<void(const SearchHit&)>& onHit, ProgressSink* progress,
                      const std::atomic<bool>* stop) {
    if (!filter.active()) return SearchEnd::Finished;
    Matcher matcher(filter.pattern);
    std::vector<std::string> exts;
    for (const std::string& e : filter.extensions) exts.push_back(asciiLower(e.rfind('.', 0) == 0 ? e.substr(1) : e));
    int64_t hits = 0;
    bool bad = false;
    auto stopped = [&] { return stop && stop->load(std::memory_order_relaxed); };

    // Examines one file with the path of its folder (and the folders on
    // it); false ends the search.
    auto examine = [&](EntryId id, const EntryInfo& info, const std::string& folder,
                       const std::vector<EntryId>& folders) {
        if (!matcher.compile()) {
            bad = true;
            return false;
        }
        if (!matcher.matches(info.name)) return true;
        if (filter.deletedOnly && info.state == EntryState::Live && !info.orphan) return true;
        if (filter.minSize && info.size < *filter.minSize) return true;
        if (filter.maxSize && info.size > *filter.maxSize) return true;
        if (filter.modifiedAfter && (!info.modified || info.modified->sec < *filter.modifiedAfter)) return true;
        if (filter.modifiedBefore && (!info.modified || info.modified->sec > *filter.modifiedBefore)) return true;
        if (!exts.empty() && std::find(exts.begin(), exts.end(), extensionOf(info.name)) == exts.end()) return true;
        if (!filter.recoverable.empty()) {
            const Recoverability r = fileEstimate(parser, id, info, filter.unreadable).state;
            // Live files have a state only when they sit on unreadable sectors.
            if (info.state == EntryState::Live && r != Recoverability::Unreadable) return true;
            if (std::find(filter.recoverable.begin(), filter.recoverable.end(), r) == filter.recoverable.end())
                return true;
        }
        onHit({folder + "\\" + info.name, id, folders});
        ++hits;
        if (progress) progress->status("searched file " + std::to_string(hits));
        return true;
    };

    EntryInfo info;
    for (EntryId top : parser.children(kRootId)) {
        if (stopped() || bad) break;
        if (!parser.entryInfo(top, info)) continue;
        // A top-level folder without children is examined as a file.
        const std::vector<EntryId> kids =
            info.kind == EntryKind::Folder ? parser.children(top) : std::vector<EntryId>{};
        if (kids.empty()) {
            if (info.kind != EntryKind::Other && !examine(top, info, "ROOT", {})) break;
            continue;
        }
        const std::string base = info.name.empty() ? "ROOT" : "ROOT\\" + trimmedBlanks(info.name);
        if (progress) {
            int64_t files = 0;
            walkTree(parser, top, [&](const WalkStep& s) {
                files += s.info.kind == EntryKind::File;
                return true;
            }, stop);
            progress->range(files);
            progress->position(0);
        }
        // Folder paths and ids by depth below the top folder.
        std::vector<std::string> paths{base};
        std::vector<EntryId> folders{top};
        int64_t seen = 0;
        walkTree(parser, top, [&](const WalkStep& s) {
            if (bad || stopped()) return false;
            paths.resize(static_cast<size_t>(s.depth));
            folders.resize(static_cast<size_t>(s.depth));
            const std::string& here = paths.back();
            if (s.info.kind == EntryKind::Folder) {
                // A folder named "." is not entered; an empty name adds nothing.
                if (s.info.name == ".") return false;
                paths.push_back(s.info.name.empty() ? here : here + "\\" + s.info.name);
                folders.push_back(s.id);
                return true;
            }
            if (progress) progress->position(++seen);
            if (s.info.kind == EntryKind::File && !examine(s.id, s.info, here, folders)) return false;
            return true;
        }, stop);
    }
    if (bad) return SearchEnd::BadPattern;
    return stopped() ? SearchEnd::Stopped : SearchEnd::Finished;
}

}  // namespace brantlow
