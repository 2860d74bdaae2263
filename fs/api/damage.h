// Damage a scan met and went past: each structure refused or repaired,
// named with its byte offset in the volume, so that the closing status,
// the command-line tool and the tests can say what was wrong and where.
#pragma once

#include <cstdint>
#include <cstdio>
#include <mutex>
#include <string>
#include <vector>

namespace brantlow {

struct DamageNote {
    std::string structure;  // "MFT record 37", "ext superblock", "catalog node 12"
    uint64_t offset = 0;    // byte offset in the volume
    std::string what;       // why it was refused, or which field was replaced
    bool repaired = false;  // kept with a field replaced (false: refused, skipped)

    // "MFT record 37 at byte 1089536: fixup mismatch in sector 2"
    std::string text() const {
        char at[48];
        std::snprintf(at, sizeof at, " at byte %llu", static_cast<unsigned long long>(offset));
        return structure + at + ": " + what;
    }
};

// Counts every note; keeps the first kKept so a volume made of garbage
// cannot fill memory with them. Safe to add from a worker while another
// thread reads the counts.
class DamageLog {
public:
    static constexpr size_t kKept = 1000;

    void add(std::string structure, uint64_t offset, std::string what, bool repaired = false) {
        std::lock_guard<std::mutex> lock(mutex_);
        ++count_;
        if (repaired) ++repaired_;
        if (notes_.size() < kKept) notes_.push_back({std::move(structure), offset, std::move(what), repaired});
    }
    uint64_t count() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return count_;
    }
    uint64_t repairedCount() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return repaired_;
    }
    std::vector<DamageNote> notes() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return notes_;
    }
    void clear() {
        std::lock_guard<std::mutex> lock(mutex_);
        count_ = repaired_ = 0;
        notes_.clear();
    }
    // "3 damaged structures (first: MFT record 37 at byte 1089536: fixup mismatch)"; "" for none.
    std::string summary() const {
        std::lock_guard<std::mutex> lock(mutex_);
        if (count_ == 0) return {};
        std::string s = std::to_string(count_) + (count_ == 1 ? " damaged structure" : " damaged structures");
        if (!notes_.empty()) s += " (first: " + notes_.front().text() + ")";
        return s;
    }

private:
    mutable std::mutex mutex_;
    uint64_t count_ = 0;
    uint64_t repaired_ = 0;
    std::vector<DamageNote> notes_;
};

}  // namespace brantlow
