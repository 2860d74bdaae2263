// The map of an imaging run, in GNU ddrescue's map-file format, so that
// either program can go on with what the other began: which byte ranges of
// the source were copied (finished), which failed (non-trimmed,
// non-scraped, bad sectors) and which were not tried yet, and where the run
// stood (position, phase, pass).
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace brantlow {

// The state of a block, as its character in the map.
enum class BlockState : char {
    NonTried = '?',
    NonTrimmed = '*',
    NonScraped = '/',
    BadSector = '-',
    Finished = '+',
};

// What the run was doing, as the status line's character.
enum class RescuePhase : char {
    Copying = '?',
    Trimming = '*',
    Scraping = '/',
    Retrying = '-',
    Filling = 'F',
    Generating = 'G',
    Finished = '+',
};

struct MapBlock {
    uint64_t pos = 0;
    uint64_t size = 0;
    BlockState state = BlockState::NonTried;
    uint64_t end() const { return pos + size; }
};

// Why a map text was refused: the line (1-based) and what is wrong there.
struct MapError {
    size_t line = 0;
    std::string text;
    std::string message() const;  // "line 12: ..."
};

class RescueMap {
public:
    // A map of size bytes, all non-tried.
    explicit RescueMap(uint64_t size = 0);

    // Reads a map text. Blocks must be contiguous; a first block that does
    // not start at 0 gets a non-tried block before it. With sourceSize set,
    // a map that reaches past it is refused at the line of the block that
    // does, and a shorter map is extended with non-tried bytes.
    static std::optional<RescueMap> parse(std::string_view text, MapError* error,
                                          std::optional<uint64_t> sourceSize = std::nullopt);
    // The map text: comment lines (without "# "), the status line and the blocks.
    std::string format(const std::vector<std::string>& comments) const;

    // The bytes the map covers.
    uint64_t extent() const { return extent_; }
    // Adds non-tried bytes up to size.
    void extendTo(uint64_t size);
    // The line each block came from (0 for blocks made since).
    size_t lineOf(uint64_t pos) const;

    // Sets [pos, pos + size) to state; neighbours of one state are joined.
    void set(uint64_t pos, uint64_t size, BlockState state);
    BlockState stateAt(uint64_t pos) const;
    // The block holding pos (pos < extent()).
    MapBlock blockAt(uint64_t pos) const;
    // Every block in order.
    std::vector<MapBlock> blocks() const;
    // The blocks overlapping [pos, pos + size), cut to it (bytes beyond the
    // extent as one non-tried block).
    std::vector<MapBlock> blocksIn(uint64_t pos, uint64_t size) const;
    size_t blockCount() const { return blocks_.size(); }

    // Bytes and blocks in each state, kept as the map changes.
    uint64_t bytesIn(BlockState s) const { return bytes_[index(s)]; }
    uint64_t blocksIn(BlockState s) const { return count_[index(s)]; }

    // The first byte of [pos, pos + size) that is not finished, or nullopt.
    // Bytes beyond the extent are not finished.
    std::optional<uint64_t> firstUnfinished(uint64_t pos, uint64_t size) const;
    // How many bytes of [pos, pos + size) are not finished.
    uint64_t unfinishedIn(uint64_t pos, uint64_t size) const;

    // The next range at or after pos (forward), or ending at or before pos
    // (backward), in state s and inside [lo, hi). Empty when none.
    std::optional<MapBlock> findState(uint64_t pos, BlockState s, bool forward, uint64_t lo, uint64_t hi) const;

    uint64_t currentPos = 0;
    RescuePhase phase = RescuePhase::Copying;
    int pass = 1;

private:
    struct Entry {
        uint64_t size;
        BlockState state;
        size_t line;
    };
    static int index(BlockState s);
    void account(const Entry& e, int sign);
    void splitAt(uint64_t pos);
    void joinAround(uint64_t pos);

    std::map<uint64_t, Entry> blocks_;  // by position; contiguous from 0
    uint64_t extent_ = 0;
    uint64_t bytes_[5] = {};
    uint64_t count_[5] = {};
};

// "non-tried", "non-trimmed", "non-scraped", "bad sector", "finished".
const char* blockStateName(BlockState s);
// "Copying non-tried blocks...", ... as the map's comment line says it.
const char* phaseText(RescuePhase p);

}  // namespace brantlow
