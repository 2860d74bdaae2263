#include "disk/read_ahead.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <new>

namespace brantlow {

namespace {
constexpr size_t kAlign = 4096;  // reads land page-aligned
size_t roundUp(size_t n) { return (n + kAlign - 1) & ~(kAlign - 1); }

size_t readersFor(size_t asked) {
    if (asked) return asked;
    return std::thread::hardware_concurrency() >= 2 ? 2 : 1;
}
}  // namespace

ReadAhead::ReadAhead(Fill fill, uint64_t total, size_t chunk, size_t extra, size_t slots, Mark mark, size_t reach,
                     size_t readers)
    : fill_(std::move(fill)), mark_(std::move(mark)), total_(total), chunk_(chunk), extra_(extra),
      reach_(std::max(reach, kUnit)), slots_(std::max(slots, 2 * readersFor(readers) + 1)) {
    for (Slot& s : slots_) {
        if (mark_) s.flags.assign(chunk_ / kUnit + 1, 0);
        s.buf = static_cast<uint8_t*>(std::aligned_alloc(kAlign, roundUp(chunk_ + std::max(extra_, reach_) + 64)));
        if (!s.buf) throw std::bad_alloc();
    }
    for (size_t i = readersFor(readers); i > 0; --i) threads_.emplace_back([this] { run(); });
}

ReadAhead::~ReadAhead() {
    {
        std::lock_guard<std::mutex> lk(m_);
        quit_ = true;
    }
    cv_.notify_all();
    for (std::thread& t : threads_) t.join();
    for (Slot& s : slots_) std::free(s.buf);
}

const uint8_t* ReadAhead::get(uint64_t at, size_t& held) {
    if (holding_ && at >= posOf(held_) && at < posOf(held_) + chunk_) {
        held = static_cast<size_t>(posOf(held_) + chunk_ + extra_ - at);
        return slots_[held_ % slots_.size()].buf + (at - posOf(held_));
    }
    std::unique_lock<std::mutex> lk(m_);
    uint64_t seq;
    if (holding_ && at >= posOf(held_ + 1) && at < posOf(held_ + 1) + chunk_) {
        seq = held_ + 1;
        depth_ = slots_.size() - 1;  // reading on: fill every buffer but the held one
    } else if (!holding_ && gridSet_ && at >= origin_) {
        // The first read, on the grid given.
        ++gen_;
        seq = (at - origin_) / chunk_;
        nextRead_ = seq;
        depth_ = 1;
    } else {
        // A jump: what was read ahead is of no use.
        ++gen_;
        origin_ = at;
        seq = 0;
        nextRead_ = 0;
        depth_ = 1;
    }
    held_ = seq;
    holding_ = true;
    cv_.notify_all();
    Slot& s = slots_[seq % slots_.size()];
    cv_.wait(lk, [&] { return s.state == State::Ready && s.gen == gen_ && s.seq == seq; });
    held = static_cast<size_t>(posOf(seq) + chunk_ + extra_ - at);
    return s.buf + (at - posOf(seq));
}

const uint8_t* ReadAhead::marks(uint64_t at) const {
    return slots_[held_ % slots_.size()].flags.data() + (at - posOf(held_)) / kUnit;
}

void ReadAhead::run() {
    std::unique_lock<std::mutex> lk(m_);
    while (true) {
        Slot* s = nullptr;
        uint64_t seq = 0, gen = 0, pos = 0;
        cv_.wait(lk, [&] {
            if (quit_) return true;
            if (!holding_) return false;
            seq = nextRead_;
            if (seq > held_ + depth_ || posOf(seq) >= total_) return false;
            Slot& c = slots_[seq % slots_.size()];
            // The slot the scan holds is never written.
            if (c.state == State::Ready && c.gen == gen_ && c.seq == held_) return false;
            if (c.state == State::Reading) return false;
            s = &c;
            return true;
        });
        if (quit_) return;
        gen = gen_;
        pos = posOf(seq);
        s->state = State::Reading;
        s->seq = seq;
        s->gen = gen;
        ++nextRead_;
        lk.unlock();
        const uint64_t want = std::min<uint64_t>(chunk_ + extra_, total_ - pos);
        const size_t bytes = chunk_ + std::max(extra_, reach_) + 64;
        uint64_t tag = 0;
        if (!mark_) {
            tag = fill_(s->buf, pos, static_cast<size_t>(want));
        } else {
            // In pieces, each unit marked as soon as the bytes its mark
            // looks at are read, while they are in the cache.
            constexpr size_t kPiece = 256 * 1024;
            size_t marked = 0;
            for (size_t off = 0; off < want; off += kPiece) {
                const size_t k = static_cast<size_t>(std::min<uint64_t>(kPiece, want - off));
                tag += fill_(s->buf + off, pos + off, k);
                const bool last = off + k >= want;
                if (last) std::memset(s->buf + want, 0, bytes - static_cast<size_t>(want));
                size_t upTo = 0;
                if (last) upTo = std::min<size_t>(chunk_, (static_cast<size_t>(want) + kUnit - 1) / kUnit * kUnit);
                else if (off + k >= reach_) upTo = std::min(chunk_, (off + k - reach_ + kUnit) / kUnit * kUnit);
                if (upTo > marked) {
                    mark_(s->buf + marked, upTo - marked, s->flags.data() + marked / kUnit);
                    marked = upTo;
                }
            }
        }
        std::memset(s->buf + want, 0, bytes - static_cast<size_t>(want));
        lk.lock();
        s->tag = tag;
        s->state = State::Ready;
        cv_.notify_all();
    }
}

}  // namespace brantlow
