#include "disk/rescue_map.h"

#include <cinttypes>
#include <cstdio>

namespace brantlow {

namespace {

bool blockChar(char c, BlockState* s) {
    switch (c) {
        case '?': case '*': case '/': case '-': case '+':
            *s = static_cast<BlockState>(c);
            return true;
    }
    return false;
}

bool phaseChar(char c, RescuePhase* p) {
    switch (c) {
        case '?': case '*': case '/': case '-': case 'F': case 'G': case '+':
            *p = static_cast<RescuePhase>(c);
            return true;
    }
    return false;
}

// An integer written as a C++ constant: decimal, 0x hexadecimal or 0 octal.
bool parseNumber(std::string_view t, uint64_t* out, bool decimalOnly = false) {
    if (t.empty()) return false;
    unsigned base = 10;
    size_t i = 0;
    if (!decimalOnly && t.size() > 2 && t[0] == '0' && (t[1] == 'x' || t[1] == 'X')) {
        base = 16;
        i = 2;
    } else if (!decimalOnly && t.size() > 1 && t[0] == '0') {
        base = 8;
        i = 1;
    }
    uint64_t v = 0;
    for (; i < t.size(); ++i) {
        const char c = t[i];
        unsigned d;
        if (c >= '0' && c <= '9')
            d = static_cast<unsigned>(c - '0');
        else if (c >= 'a' && c <= 'f')
            d = static_cast<unsigned>(c - 'a' + 10);
        else if (c >= 'A' && c <= 'F')
            d = static_cast<unsigned>(c - 'A' + 10);
        else
            return false;
        if (d >= base) return false;
        if (__builtin_mul_overflow(v, static_cast<uint64_t>(base), &v) || __builtin_add_overflow(v, d, &v))
            return false;
    }
    *out = v;
    return true;
}

// The words of a line, without its comment ('#' at the start or after a blank).
std::vector<std::string_view> words(std::string_view line) {
    std::vector<std::string_view> w;
    size_t i = 0;
    while (i < line.size()) {
        while (i < line.size() && (line[i] == ' ' || line[i] == '\t' || line[i] == '\r')) ++i;
        if (i >= line.size() || line[i] == '#') break;
        size_t j = i;
        while (j < line.size() && line[j] != ' ' && line[j] != '\t' && line[j] != '\r') ++j;
        w.push_back(line.substr(i, j - i));
        i = j;
    }
    return w;
}

std::string hex(uint64_t v) {
    char b[24];
    std::snprintf(b, sizeof b, "0x%08" PRIX64, v);
    return b;
}

}  // namespace

std::string MapError::message() const { return "line " + std::to_string(line) + ": " + text; }

RescueMap::RescueMap(uint64_t size) { extendTo(size); }

int RescueMap::index(BlockState s) {
    switch (s) {
        case BlockState::NonTried: return 0;
        case BlockState::NonTrimmed: return 1;
        case BlockState::NonScraped: return 2;
        case BlockState::BadSector: return 3;
        case BlockState::Finished: return 4;
    }
    return 0;
}

void RescueMap::account(const Entry& e, int sign) {
    const int i = index(e.state);
    if (sign > 0) {
        bytes_[i] += e.size;
        ++count_[i];
    } else {
        bytes_[i] -= e.size;
        --count_[i];
    }
}

void RescueMap::extendTo(uint64_t size) {
    if (size <= extent_) return;
    const uint64_t at = extent_;
    Entry e{size - at, BlockState::NonTried, 0};
    blocks_[at] = e;
    account(e, +1);
    extent_ = size;
    joinAround(at);
}

void RescueMap::splitAt(uint64_t pos) {
    if (pos == 0 || pos >= extent_) return;
    auto it = blocks_.upper_bound(pos);
    --it;
    if (it->first == pos) return;
    Entry& left = it->second;
    const uint64_t leftSize = pos - it->first;
    Entry right{left.size - leftSize, left.state, left.line};
    left.size = leftSize;
    blocks_.emplace(pos, right);
    ++count_[index(right.state)];
}

void RescueMap::joinAround(uint64_t pos) {
    auto it = blocks_.find(pos);
    if (it == blocks_.end()) return;
    // With the next block.
    auto next = std::next(it);
    if (next != blocks_.end() && next->second.state == it->second.state) {
        it->second.size += next->second.size;
        --count_[index(next->second.state)];
        blocks_.erase(next);
    }
    // With the one before.
    if (it != blocks_.begin()) {
        auto prev = std::prev(it);
        if (prev->second.state == it->second.state) {
            prev->second.size += it->second.size;
            --count_[index(it->second.state)];
            blocks_.erase(it);
        }
    }
}

void RescueMap::set(uint64_t pos, uint64_t size, BlockState state) {
    if (pos >= extent_ || size == 0) return;
    if (size > extent_ - pos) size = extent_ - pos;
    splitAt(pos);
    splitAt(pos + size);
    auto it = blocks_.find(pos);
    size_t line = 0;
    while (it != blocks_.end() && it->first < pos + size) {
        if (it->second.state == state && line == 0) line = it->second.line;
        account(it->second, -1);
        it = blocks_.erase(it);
    }
    Entry e{size, state, line};
    blocks_.emplace(pos, e);
    account(e, +1);
    joinAround(pos);
}

BlockState RescueMap::stateAt(uint64_t pos) const {
    if (pos >= extent_) return BlockState::NonTried;
    return std::prev(blocks_.upper_bound(pos))->second.state;
}

MapBlock RescueMap::blockAt(uint64_t pos) const {
    if (pos >= extent_) return {pos, 0, BlockState::NonTried};
    auto it = std::prev(blocks_.upper_bound(pos));
    return {it->first, it->second.size, it->second.state};
}

size_t RescueMap::lineOf(uint64_t pos) const {
    if (pos >= extent_) return 0;
    return std::prev(blocks_.upper_bound(pos))->second.line;
}

std::vector<MapBlock> RescueMap::blocks() const {
    std::vector<MapBlock> out;
    out.reserve(blocks_.size());
    for (const auto& [pos, e] : blocks_) out.push_back({pos, e.size, e.state});
    return out;
}

std::vector<MapBlock> RescueMap::blocksIn(uint64_t pos, uint64_t size) const {
    std::vector<MapBlock> out;
    const uint64_t end = size > UINT64_MAX - pos ? UINT64_MAX : pos + size;
    if (pos < extent_)
        for (auto it = std::prev(blocks_.upper_bound(pos)); it != blocks_.end() && it->first < end; ++it) {
            const uint64_t a = std::max(pos, it->first), b = std::min(end, it->first + it->second.size);
            out.push_back({a, b - a, it->second.state});
        }
    if (end > extent_) {
        const uint64_t a = std::max(pos, extent_);
        out.push_back({a, end - a, BlockState::NonTried});
    }
    return out;
}

std::optional<uint64_t> RescueMap::firstUnfinished(uint64_t pos, uint64_t size) const {
    if (size == 0) return std::nullopt;
    if (pos >= extent_) return pos;
    auto it = std::prev(blocks_.upper_bound(pos));
    const uint64_t end = size > UINT64_MAX - pos ? UINT64_MAX : pos + size;
    for (; it != blocks_.end() && it->first < end; ++it)
        if (it->second.state != BlockState::Finished) return std::max(pos, it->first);
    return extent_ < end ? std::optional<uint64_t>(extent_) : std::nullopt;
}

uint64_t RescueMap::unfinishedIn(uint64_t pos, uint64_t size) const {
    const uint64_t end = size > UINT64_MAX - pos ? UINT64_MAX : pos + size;
    uint64_t n = end > extent_ ? end - std::max(pos, extent_) : 0;
    if (pos >= extent_) return n;
    for (auto it = std::prev(blocks_.upper_bound(pos)); it != blocks_.end() && it->first < end; ++it) {
        if (it->second.state == BlockState::Finished) continue;
        const uint64_t a = std::max(pos, it->first), b = std::min(end, it->first + it->second.size);
        n += b - a;
    }
    return n;
}

std::optional<MapBlock> RescueMap::findState(uint64_t pos, BlockState s, bool forward, uint64_t lo,
                                             uint64_t hi) const {
    hi = std::min(hi, extent_);
    if (lo >= hi || blocks_.empty()) return std::nullopt;
    if (forward) {
        if (pos < lo) pos = lo;
        if (pos >= hi) return std::nullopt;
        for (auto it = std::prev(blocks_.upper_bound(pos)); it != blocks_.end() && it->first < hi; ++it) {
            if (it->second.state != s) continue;
            const uint64_t a = std::max(pos, it->first), b = std::min(hi, it->first + it->second.size);
            if (a < b) return MapBlock{a, b - a, s};
        }
        return std::nullopt;
    }
    // Backward: pos is an end (exclusive).
    if (pos > hi) pos = hi;
    if (pos <= lo) return std::nullopt;
    for (auto it = std::prev(blocks_.upper_bound(pos - 1));; --it) {
        if (it->first + it->second.size <= lo) return std::nullopt;
        if (it->second.state == s) {
            const uint64_t a = std::max(lo, it->first), b = std::min(pos, it->first + it->second.size);
            if (a < b) return MapBlock{a, b - a, s};
        }
        if (it == blocks_.begin()) return std::nullopt;
    }
}

std::optional<RescueMap> RescueMap::parse(std::string_view text, MapError* error,
                                          std::optional<uint64_t> sourceSize) {
    auto fail = [&](size_t line, std::string why) -> std::optional<RescueMap> {
        if (error) *error = MapError{line, std::move(why)};
        return std::nullopt;
    };
    RescueMap m;
    bool haveStatus = false;
    uint64_t expect = 0;
    size_t lineNo = 0, lastLine = 0;
    size_t start = 0;
    while (start <= text.size()) {
        size_t nl = text.find('\n', start);
        std::string_view line = text.substr(start, nl == std::string_view::npos ? std::string_view::npos : nl - start);
        start = nl == std::string_view::npos ? text.size() + 1 : nl + 1;
        ++lineNo;
        if (line.find('\0') != std::string_view::npos) return fail(lineNo, "not a map: the line holds binary data");
        const auto w = words(line);
        if (w.empty()) continue;
        lastLine = lineNo;
        if (!haveStatus) {
            uint64_t pos = 0, pass = 1;
            if ((w.size() != 2 && w.size() != 3) || !parseNumber(w[0], &pos) || w[1].size() != 1 ||
                !phaseChar(w[1][0], &m.phase) || (w.size() == 3 && (!parseNumber(w[2], &pass, true) || pass == 0 ||
                                                                     pass > 1000000)))
                return fail(lineNo, "not a ddrescue map: expected the status line (position, status, pass)");
            m.currentPos = pos;
            m.pass = static_cast<int>(pass);
            haveStatus = true;
            continue;
        }
        uint64_t pos = 0, size = 0;
        BlockState s;
        if (w.size() != 3 || !parseNumber(w[0], &pos) || !parseNumber(w[1], &size) || w[2].size() != 1 ||
            !blockChar(w[2][0], &s))
            return fail(lineNo, "not a ddrescue map: expected a block (position, size, status)");
        if (size > UINT64_MAX - pos) return fail(lineNo, "the block runs past the largest position");
        if (m.blocks_.empty() && pos > 0) {
            Entry gap{pos, BlockState::NonTried, 0};
            m.blocks_.emplace(0, gap);
            m.account(gap, +1);
            m.extent_ = expect = pos;
        }
        if (pos != expect)
            return fail(lineNo, "the block at " + hex(pos) + " does not start where the one before ends (" +
                                    hex(expect) + ")");
        if (sourceSize && pos + size > *sourceSize)
            return fail(lineNo, "the block at " + hex(pos) + " ends at byte " + std::to_string(pos + size) +
                                    ", past the end of the source (" + std::to_string(*sourceSize) + " bytes)");
        expect = pos + size;
        if (size == 0) continue;
        Entry e{size, s, lineNo};
        m.blocks_.emplace(pos, e);
        m.account(e, +1);
        m.extent_ = pos + size;  // kept apart as written, so a block can be named by its line
    }
    if (!haveStatus && lastLine != 0) return fail(lastLine, "not a ddrescue map: no status line");
    if (sourceSize) m.extendTo(*sourceSize);
    if (m.currentPos > m.extent_) m.currentPos = m.extent_;
    return m;
}

std::string RescueMap::format(const std::vector<std::string>& comments) const {
    std::string out;
    for (const std::string& c : comments) out += "# " + c + "\n";
    char b[96];
    out += "# current_pos  current_status  current_pass\n";
    std::snprintf(b, sizeof b, "%s     %c               %d\n", hex(currentPos).c_str(), static_cast<char>(phase), pass);
    out += b;
    out += "#      pos        size  status\n";
    for (const auto& [pos, e] : blocks_) {
        std::snprintf(b, sizeof b, "%s  %s  %c\n", hex(pos).c_str(), hex(e.size).c_str(), static_cast<char>(e.state));
        out += b;
    }
    return out;
}

const char* blockStateName(BlockState s) {
    switch (s) {
        case BlockState::NonTried: return "non-tried";
        case BlockState::NonTrimmed: return "non-trimmed";
        case BlockState::NonScraped: return "non-scraped";
        case BlockState::BadSector: return "bad sector";
        case BlockState::Finished: return "finished";
    }
    return "non-tried";
}

const char* phaseText(RescuePhase p) {
    switch (p) {
        case RescuePhase::Copying: return "Copying non-tried blocks...";
        case RescuePhase::Trimming: return "Trimming failed blocks...";
        case RescuePhase::Scraping: return "Scraping failed blocks...";
        case RescuePhase::Retrying: return "Retrying bad sectors...";
        case RescuePhase::Filling: return "Filling blocks...";
        case RescuePhase::Generating: return "Generating approximate mapfile...";
        case RescuePhase::Finished: return "Finished";
    }
    return "";
}

}  // namespace brantlow
