// Reading ahead on other threads: while the scan matches one buffer, the
// next ones are read into their own buffers, so the kernel's copy and the
// matching run side by side, and two readers copy two blocks at once (a
// copy out of the page cache is bound by one core's speed). A buffer handed out is the one the read
// filled (no copy between read and match); it stays valid until the next
// get().
#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

namespace brantlow {

class ReadAhead {
public:
    // fill(buf, pos, n): n bytes at pos (zeros where nothing could be read);
    // what it returns is summed into the buffer's tag (heldTag()).
    using Fill = std::function<uint64_t(uint8_t* buf, uint64_t pos, size_t n)>;
    // mark(buf, n, flags): one byte per 512-byte unit of buf[0, n), set
    // while the bytes just read are still in this core's cache (the start
    // signature test of the scan). Each unit's mark may look at `reach`
    // bytes from its start (zeros past what the block holds).
    using Mark = std::function<void(const uint8_t* buf, size_t n, uint8_t* flags)>;
    static constexpr size_t kUnit = 512;

    // Each buffer holds `chunk` bytes from its position plus `extra` bytes
    // beyond (zeros past `total`); `slots` buffers (at least two a reader
    // and the one the scan holds: a reader that finds its next buffer still
    // held waits). fill and mark are called from every reading thread at
    // once, each call on a buffer of its own. readers 0: two where the
    // machine has two cores, else one.
    ReadAhead(Fill fill, uint64_t total, size_t chunk, size_t extra, size_t slots, Mark mark = nullptr,
              size_t reach = kUnit, size_t readers = 0);
    ~ReadAhead();
    ReadAhead(const ReadAhead&) = delete;
    ReadAhead& operator=(const ReadAhead&) = delete;

    // The bytes from at (< total) on: a pointer into the block holding at,
    // and in `held` how many bytes it holds from there (at least extra + 1;
    // zeros past total). A position outside the held block and the next one
    // starts reading anew from there.
    const uint8_t* get(uint64_t at, size_t& held);
    // The marks of the units from at (a multiple of 512 from the position
    // reading started at) to the end of its block, after get(at).
    const uint8_t* marks(uint64_t at) const;
    size_t bufferBytes() const { return chunk_ + extra_; }
    // The position of the block held since the last get(), and the sum of
    // what fill returned for it.
    uint64_t heldPosition() const { return posOf(held_); }
    uint64_t heldTag() const { return slots_[held_ % slots_.size()].tag; }
    // The position blocks are counted from (where reading last started
    // anew). grid(origin) before the first get(): the first reading starts
    // in the block of that grid that holds its position, as a scan that
    // never stopped would have read it.
    uint64_t origin() const { return origin_; }
    void grid(uint64_t origin) {
        origin_ = origin;
        gridSet_ = true;
    }

private:
    enum class State { Free, Reading, Ready };
    struct Slot {
        uint8_t* buf = nullptr;
        std::vector<uint8_t> flags;
        State state = State::Free;
        uint64_t seq = 0;
        uint64_t gen = 0;
        uint64_t tag = 0;
    };
    void run();
    uint64_t posOf(uint64_t seq) const { return origin_ + seq * chunk_; }

    Fill fill_;
    Mark mark_;
    const uint64_t total_;
    const size_t chunk_, extra_, reach_;
    std::vector<Slot> slots_;
    std::mutex m_;
    std::condition_variable cv_;
    uint64_t gen_ = 0;      // bumped when reading starts anew
    uint64_t origin_ = 0;   // position of sequence number 0
    uint64_t held_ = 0;     // sequence number the scan holds
    bool holding_ = false;
    uint64_t nextRead_ = 0; // next sequence number to read
    size_t depth_ = 1;      // how far ahead of the held buffer to read
    bool quit_ = false;
    bool gridSet_ = false;
    std::vector<std::thread> threads_;
};

}  // namespace brantlow
