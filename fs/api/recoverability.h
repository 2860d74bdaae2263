// Whether a deleted file's content is still its own: its clusters (blocks,
// extents) looked up in the volume's allocation map as it is now. A cluster
// that the map gives to something again holds someone else's data; one
// that is free still holds what the file left there, as far as the map can
// tell.
#pragma once

#include <algorithm>
#include <bit>
#include <cstdint>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>
#include <vector>

namespace brantlow {

enum class Recoverability : uint8_t {
    Unknown,      // no map to look in (formatted, Deep or Advanced mode), or no clue where the content was
    Intact,       // none of its clusters is allocated now
    Partial,      // some are
    Overwritten,  // all are (or none can be found)
    Unreadable,   // read from an image whose map does not mark some of its sectors finished
    // FAT, exFAT: its chain was freed and the clusters after its first one
    // are a guess (the contiguous rule) that another entry contradicts:
    // one of them is where another file or folder starts.
    Uncertain,
};

struct RecoveryEstimate {
    Recoverability state = Recoverability::Unknown;
    uint64_t units = 0;        // clusters / blocks the content needs
    uint64_t overwritten = 0;  // of those: allocated now, or nowhere to be found
    uint64_t unreadableSectors = 0;  // Unreadable: its 512-byte sectors the image's map does not mark finished

    double overwrittenShare() const {
        return units ? static_cast<double>(overwritten) / static_cast<double>(units) : 0.0;
    }
    // The state that the counts give (no units: nothing can be lost).
    static RecoveryEstimate fromCounts(uint64_t units, uint64_t overwritten) {
        RecoveryEstimate e;
        e.units = units;
        e.overwritten = overwritten < units ? overwritten : units;
        e.state = e.overwritten == 0          ? Recoverability::Intact
                  : e.overwritten == e.units ? Recoverability::Overwritten
                                             : Recoverability::Partial;
        return e;
    }
    static RecoveryEstimate intact() { return fromCounts(0, 0); }
    static RecoveryEstimate uncertain(uint64_t units) {
        RecoveryEstimate e;
        e.state = Recoverability::Uncertain;
        e.units = units;
        return e;
    }
    static RecoveryEstimate unreadable(uint64_t sectors) {
        RecoveryEstimate e;
        e.state = Recoverability::Unreadable;
        e.unreadableSectors = sectors;
        return e;
    }
};

// "intact", "partial", "overwritten", "unreadable", "unknown" (the --json values).
inline const char* recoverabilityName(Recoverability r) {
    switch (r) {
        case Recoverability::Unreadable: return "unreadable";
        case Recoverability::Intact: return "intact";
        case Recoverability::Partial: return "partial";
        case Recoverability::Overwritten: return "overwritten";
        case Recoverability::Uncertain: return "uncertain";
        case Recoverability::Unknown: break;
    }
    return "unknown";
}

inline bool parseRecoverability(const std::string& s, Recoverability& out) {
    for (Recoverability r : {Recoverability::Unknown, Recoverability::Intact, Recoverability::Partial,
                             Recoverability::Overwritten, Recoverability::Unreadable, Recoverability::Uncertain})
        if (s == recoverabilityName(r)) {
            out = r;
            return true;
        }
    return false;
}

// The list column: "intact", "partly overwritten (37%)", "overwritten",
// "unknown", "unreadable sectors (12)". A share that rounds to 0 or 100
// shows as 1 or 99.
inline std::string recoverabilityText(const RecoveryEstimate& e) {
    if (e.state == Recoverability::Unreadable)
        return "unreadable sectors (" + std::to_string(e.unreadableSectors) + ")";
    if (e.state == Recoverability::Uncertain) return "uncertain";
    if (e.state != Recoverability::Partial) {
        if (e.state == Recoverability::Intact) return "intact";
        return e.state == Recoverability::Overwritten ? "overwritten" : "unknown";
    }
    long pct = static_cast<long>(e.overwrittenShare() * 100.0 + 0.5);
    if (pct < 1) pct = 1;
    if (pct > 99) pct = 99;
    return "partly overwritten (" + std::to_string(pct) + "%)";
}

// The first clusters of a volume's entries, sorted and filled once: a
// deleted file read from the clusters after its first one (its chain was
// freed) cannot be vouched for when another entry starts among them.
class StartClusters {
public:
    template <class Fill>
    const StartClusters& ensure(Fill fill) const {
        std::call_once(once_, [&] {
            fill(starts_);
            std::sort(starts_.begin(), starts_.end());
        });
        return *this;
    }
    // Whether an entry starts in [first, end).
    bool anyIn(uint64_t first, uint64_t end) const {
        auto it = std::lower_bound(starts_.begin(), starts_.end(), first);
        return it != starts_.end() && *it < end;
    }

private:
    mutable std::once_flag once_;
    mutable std::vector<uint64_t> starts_;
};

// One bit per allocation unit (cluster or block), set when the unit is in
// use, for units [first, first + count). Held least significant bit first
// whatever the volume's order.
class AllocationMap {
public:
    enum class BitOrder { LsbFirst, MsbFirst };

    bool known() const { return count_ != 0; }
    uint64_t first() const { return first_; }
    uint64_t count() const { return count_; }
    size_t bytes() const { return bits_.size(); }

    // bits: the volume's bitmap, its bit 0 standing for unit `first`; bytes
    // missing at its end read as allocated.
    void assign(std::vector<uint8_t> bits, uint64_t count, BitOrder order, uint64_t first = 0) {
        const uint64_t need = (count + 7) / 8;
        if (bits.size() < need) bits.resize(static_cast<size_t>(need), 0xFF);
        bits.resize(static_cast<size_t>(need));
        if (order == BitOrder::MsbFirst)
            for (uint8_t& b : bits) b = reverse(b);
        bits_ = std::move(bits);
        count_ = count;
        first_ = first;
    }

    // Marks [start, start + count) allocated (the part inside the map).
    void markAllocated(uint64_t start, uint64_t count) {
        if (start < first_) {
            if (count <= first_ - start) return;
            count -= first_ - start;
            start = first_;
        }
        for (uint64_t i = start - first_; i < count_ && count > 0; ++i, --count)
            bits_[static_cast<size_t>(i >> 3)] |= static_cast<uint8_t>(1u << (i & 7));
    }

    // Units outside the map cannot be a file's: they count as allocated.
    bool allocated(uint64_t unit) const {
        if (unit < first_ || unit - first_ >= count_) return true;
        return bit(unit - first_);
    }

    // How many units of [start, start + count) are allocated.
    uint64_t allocatedIn(uint64_t start, uint64_t count) const {
        uint64_t n = 0;
        if (start < first_) {
            const uint64_t below = std::min(count, first_ - start);
            n += below;
            start += below;
            count -= below;
        }
        if (count == 0) return n;
        uint64_t i = start - first_;
        if (i >= count_) return n + count;
        if (count > count_ - i) {
            n += count - (count_ - i);
            count = count_ - i;
        }
        const uint64_t end = i + count;
        while (i < end && (i & 7)) n += bit(i++);
        // Whole bytes, eight at a time where they can be.
        while (end - i >= 64) {
            uint64_t w;
            std::memcpy(&w, bits_.data() + (i >> 3), 8);
            n += static_cast<uint64_t>(std::popcount(w));
            i += 64;
        }
        while (end - i >= 8) {
            n += static_cast<uint64_t>(std::popcount(static_cast<unsigned>(bits_[static_cast<size_t>(i >> 3)])));
            i += 8;
        }
        while (i < end) n += bit(i++);
        return n;
    }

private:
    bool bit(uint64_t i) const { return (bits_[static_cast<size_t>(i >> 3)] >> (i & 7)) & 1; }
    static uint8_t reverse(uint8_t b) {
        b = static_cast<uint8_t>((b & 0xF0) >> 4 | (b & 0x0F) << 4);
        b = static_cast<uint8_t>((b & 0xCC) >> 2 | (b & 0x33) << 2);
        return static_cast<uint8_t>((b & 0xAA) >> 1 | (b & 0x55) << 1);
    }

    std::vector<uint8_t> bits_;
    uint64_t count_ = 0;
    uint64_t first_ = 0;
};

// A byte range of the volume.
struct VolumeRange {
    uint64_t offset = 0;  // from the volume's first byte
    uint64_t length = 0;
};

// The units the map says are free, as byte runs: unit u lies at
// origin + u * unitBytes (origin may be below zero: FAT's cluster 2 is its
// first). Units outside the map are not free.
inline std::vector<VolumeRange> freeRuns(const AllocationMap& map, int64_t origin, uint64_t unitBytes) {
    std::vector<VolumeRange> out;
    if (!map.known() || unitBytes == 0) return out;
    const uint64_t first = map.first(), end = first + map.count();
    for (uint64_t u = first; u < end;) {
        // Whole words of units in use are passed over at once.
        if (((u - first) & 63) == 0 && end - u >= 64 && map.allocatedIn(u, 64) == 64) {
            u += 64;
            continue;
        }
        if (map.allocated(u)) {
            ++u;
            continue;
        }
        uint64_t v = u + 1;
        while (v < end && !map.allocated(v)) ++v;
        const int64_t at = origin + static_cast<int64_t>(u * unitBytes);
        if (at >= 0) out.push_back({static_cast<uint64_t>(at), (v - u) * unitBytes});
        u = v;
    }
    return out;
}

// A file's content at the given byte ranges looked up in a map whose unit
// u lies at origin + u * unitBytes (an earlier file system's clusters need
// not line up with the map's): the units the ranges touch, and of those
// the ones in use. Bytes before the origin are no file's: lost.
inline RecoveryEstimate estimateRanges(const std::vector<VolumeRange>& ranges, const AllocationMap& map,
                                       int64_t origin, uint64_t unitBytes) {
    uint64_t units = 0, lost = 0;
    if (unitBytes == 0) return {};
    for (const VolumeRange& r : ranges) {
        if (r.length == 0) continue;
        if (static_cast<int64_t>(r.offset) < origin) {
            const uint64_t n = (r.length + unitBytes - 1) / unitBytes;
            units += n;
            lost += n;
            continue;
        }
        const uint64_t rel = r.offset - static_cast<uint64_t>(origin);
        const uint64_t first = rel / unitBytes, end = (rel + r.length + unitBytes - 1) / unitBytes;
        units += end - first;
        lost += map.allocatedIn(first, end - first);
    }
    return RecoveryEstimate::fromCounts(units, lost);
}

// A parser's map, read on first use from whichever thread asks first; the
// others wait for it. Reset when a new scan starts (no reader then).
class LazyAllocationMap {
public:
    template <class Load>
    const AllocationMap& get(Load&& load) const {
        std::lock_guard<std::mutex> lk(mutex_);
        if (!loaded_) {
            load(map_);
            loaded_ = true;
        }
        return map_;
    }
    void reset() {
        std::lock_guard<std::mutex> lk(mutex_);
        loaded_ = false;
        map_ = AllocationMap();
    }

private:
    mutable std::mutex mutex_;
    mutable bool loaded_ = false;
    mutable AllocationMap map_;
};

// The largest map a parser reads (one bit per cluster: 4 Gi clusters,
// 16 TiB at 4 KiB). Beyond it the state is unknown.
inline constexpr uint64_t kMaxAllocationMapBytes = 512ull << 20;

}  // namespace brantlow
