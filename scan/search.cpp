#include "scan/search.h"

#include "scan/unreadable.h"

#include <algorithm>
#include <memory>
#include <regex>

#include "base/texts.h"
#include "scan/tree_walk.h"

namespace brantlow {

namespace {

// The pattern, compiled once: plain alternatives ("jpg|doc") are searched
// as text, anything else through the regular-expression engine.
class Matcher {
public:
    explicit Matcher(const std::string& pattern) : pattern_(pattern) {}

    // False when the pattern is not a valid expression.
    bool compile() {
        if (compiled_) return valid_;
        compiled_ = true;
        if (pattern_.find_first_of("^$\\.*+?()[]{}") == std::string::npos) {
            size_t start = 0;
            for (;;) {
                size_t bar = pattern_.find('|', start);
                literals_.push_back(pattern_.substr(start, bar == std::string::npos ? std::string::npos : bar - start));
                if (bar == std::string::npos) break;
                start = bar + 1;
            }
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
        for (const std::string& l : literals_)
            if (name.find(l) != std::string::npos) return true;
        return false;
    }

private:
    std::string pattern_;
    bool compiled_ = false, valid_ = false;
    std::vector<std::string> literals_;
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

    // Examines one file with the path of its folder; false ends the search.
    auto examine = [&](EntryId id, const EntryInfo& info, const std::string& folder) {
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
        onHit({folder + "\\" + info.name, id});
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
            if (info.kind != EntryKind::Other && !examine(top, info, "ROOT")) break;
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
        // Folder paths by depth below the top folder.
        std::vector<std::string> paths{base};
        int64_t seen = 0;
        walkTree(parser, top, [&](const WalkStep& s) {
            if (bad || stopped()) return false;
            paths.resize(static_cast<size_t>(s.depth));
            const std::string& here = paths.back();
            if (s.info.kind == EntryKind::Folder) {
                // A folder named "." is not entered; an empty name adds nothing.
                if (s.info.name == ".") return false;
                paths.push_back(s.info.name.empty() ? here : here + "\\" + s.info.name);
                return true;
            }
            if (progress) progress->position(++seen);
            if (s.info.kind == EntryKind::File && !examine(s.id, s.info, here)) return false;
            return true;
        }, stop);
    }
    if (bad) return SearchEnd::BadPattern;
    return stopped() ? SearchEnd::Stopped : SearchEnd::Finished;
}

}  // namespace brantlow
