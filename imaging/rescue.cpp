#include "imaging/rescue.h"

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <thread>

#include "platform/image_io.h"
#include "platform/posix_file.h"

namespace brantlow::imaging {

namespace {

constexpr size_t kAlign = 4096;

bool allZero(const uint8_t* p, size_t n) {
    size_t i = 0;
    for (; i + 8 <= n; i += 8) {
        uint64_t w;
        std::memcpy(&w, p + i, 8);
        if (w) return false;
    }
    for (; i < n; ++i)
        if (p[i]) return false;
    return true;
}

bool sourceGoneError(int e) { return e == ENODEV || e == ENXIO || e == ENOMEDIUM; }

uint8_t* alignedBuffer(size_t n) {
    return static_cast<uint8_t*>(std::aligned_alloc(kAlign, (n + kAlign - 1) / kAlign * kAlign));
}

}  // namespace

// ---- the image file and the source ---------------------------------------------

ImageFile::~ImageFile() {
    if (fd_ >= 0) platform::closeFd(fd_);
}

int ImageFile::open(const std::string& path) {
    int err = 0;
    fd_ = platform::openImageFile(path, &err);
    if (fd_ < 0) return err;
    sizeAtOpen_ = platform::sizeOfFd(fd_);
    return 0;
}

int ImageFile::write(uint64_t offset, const void* data, size_t n) {
    if (int e = platform::pwriteFull(fd_, data, n, offset)) return e;
    written_ = std::max(written_, offset + n);
    return 0;
}

int ImageFile::sync(uint64_t size) {
    if (int e = platform::growFile(fd_, size)) return e;
    return platform::syncData(fd_);
}

ImagingSource::~ImagingSource() {
    platform::closeFd(fd_);
    platform::closeFd(directFd_);
}

bool ImagingSource::Open(const std::string& path) {
    int err = 0;
    fd_ = platform::openSourceForImaging(path, &directFd_, &err);
    if (fd_ < 0) {
        openError_ = err;
        return false;
    }
    if (!platform::objectSize(fd_, &size_)) size_ = 0;
    uint32_t ss = 512;
    if (platform::logicalSectorSize(fd_, &ss)) setSectorSize(ss);
    return true;
}

long long ImagingSource::readAbsolute(uint64_t offset, void* buffer, size_t count) {
    if (fd_ < 0 || count > kMaxReadBytes) return -1;
    const uint32_t ss = std::max<uint32_t>(sectorSize(), 512);
    long long n = -1;
    const bool aligned = offset % ss == 0 && count % ss == 0 && reinterpret_cast<uintptr_t>(buffer) % kAlign == 0;
    if (directFd_ >= 0 && aligned) {
        n = platform::preadFull(directFd_, buffer, count, offset);
        if (n < 0 && errno == EINVAL) n = platform::preadFull(fd_, buffer, count, offset);
    } else {
        n = platform::preadFull(fd_, buffer, count, offset);
    }
    if (n < 0 || static_cast<size_t>(n) < count) {
        const int e = errno;
        // An unplugged disk may still answer EIO on the descriptor it had.
        errno = platform::blockDevicePresent(fd_) ? e : ENODEV;
    }
    return n;
}

void ImagingSource::adviseSequential() {
    if (fd_ >= 0) platform::adviseSequential(fd_);
}

// ---- reads with a time limit -----------------------------------------------------

// Reads on helper threads, so that a read that hangs in the drive can be
// given up: the helper stays with it (and its own buffer) until the drive
// answers, and the run goes on with another helper. At most four hang at
// once; then the run waits for one of them.
class Rescuer::Timed {
public:
    Timed(readWriteInterface& src, size_t bufferSize) : src_(src), size_(bufferSize) {}
    ~Timed() {
        for (auto& w : workers_) {
            {
                std::lock_guard<std::mutex> lk(w->m);
                w->quit = true;
            }
            w->cv.notify_all();
            w->thread.join();
            std::free(w->buf);
        }
    }

    // bytes read, or -1 with *err (ETIMEDOUT when it took too long).
    long long read(uint64_t off, uint8_t* dst, size_t n, double timeout, int* err, const std::atomic<bool>* stop) {
        Worker* w = idleWorker(stop);
        if (!w) {
            *err = EINTR;
            return -1;
        }
        std::unique_lock<std::mutex> lk(w->m);
        w->off = off;
        w->n = n;
        w->busy = true;
        w->done = false;
        w->cv.notify_all();
        const auto limit = std::chrono::duration<double>(timeout);
        if (!w->cv.wait_for(lk, limit, [&] { return w->done; })) {
            w->abandoned = true;  // it stays busy until the drive answers
            *err = ETIMEDOUT;
            return -1;
        }
        w->busy = false;
        if (w->got > 0) std::memcpy(dst, w->buf, static_cast<size_t>(w->got));
        *err = w->err;
        return w->got;
    }

private:
    struct Worker {
        std::thread thread;
        std::mutex m;
        std::condition_variable cv;
        uint8_t* buf = nullptr;
        uint64_t off = 0;
        size_t n = 0;
        long long got = 0;
        int err = 0;
        bool busy = false, done = false, abandoned = false, quit = false;
    };

    Worker* idleWorker(const std::atomic<bool>* stop) {
        for (;;) {
            for (auto& w : workers_) {
                std::lock_guard<std::mutex> lk(w->m);
                if (!w->busy) return w.get();
            }
            if (workers_.size() < 5) {
                auto w = std::make_unique<Worker>();
                w->buf = alignedBuffer(size_);
                Worker* raw = w.get();
                w->thread = std::thread([this, raw] { loop(*raw); });
                workers_.push_back(std::move(w));
                return raw;
            }
            if (stop && stop->load()) return nullptr;
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
    }

    void loop(Worker& w) {
        std::unique_lock<std::mutex> lk(w.m);
        for (;;) {
            w.cv.wait(lk, [&] { return w.quit || (w.busy && !w.done); });
            if (w.busy && !w.done) {
                const uint64_t off = w.off;
                const size_t n = w.n;
                lk.unlock();
                errno = 0;
                const long long got = src_.readAbsolute(off, w.buf, n);
                const int e = errno;
                lk.lock();
                w.got = got;
                w.err = e;
                w.done = true;
                if (w.abandoned) {
                    w.abandoned = false;
                    w.busy = false;
                }
                w.cv.notify_all();
                continue;
            }
            if (w.quit) return;
        }
    }

    readWriteInterface& src_;
    size_t size_;
    std::vector<std::unique_ptr<Worker>> workers_;
};

// ---- the passes ----------------------------------------------------------------

Rescuer::Rescuer(readWriteInterface& source, ImageSink& image, RescueMap& map, RescueOptions options)
    : source_(source), image_(image), map_(map), opt_(std::move(options)) {
    const uint64_t ss = opt_.sectorSize >= 512 ? opt_.sectorSize : 512;
    opt_.sectorSize = static_cast<uint32_t>(ss);
    if (opt_.readSize < ss) opt_.readSize = static_cast<uint32_t>(ss);
    opt_.readSize -= static_cast<uint32_t>(opt_.readSize % ss);
    auto roundUp = [&](uint64_t v) { return (v + ss - 1) / ss * ss; };
    opt_.skipInitial = roundUp(opt_.skipInitial);
    if (opt_.skipMax == 0)
        opt_.skipMax = std::min<uint64_t>(std::max<uint64_t>(map_.extent() / 100, opt_.skipInitial), 1ull << 30);
    opt_.skipMax = std::max(roundUp(opt_.skipMax), opt_.skipInitial);
    skip_ = opt_.skipInitial;
    setDomain(opt_.domain);
    bufferSize_ = opt_.readSize;
    buffer_ = alignedBuffer(bufferSize_);
    if (opt_.readTimeout > 0) timed_ = std::make_unique<Timed>(source_, bufferSize_);
    started_ = lastGood_ = lastSave_ = lastTick_ = rateAt_ = Clock::now();
}

void Rescuer::setDomain(std::vector<std::pair<uint64_t, uint64_t>> d) {
    // In order, joined, within the map.
    domain_.clear();
    if (d.empty()) d.push_back({0, map_.extent()});
    std::sort(d.begin(), d.end());
    for (auto [pos, size] : d) {
        if (pos >= map_.extent() || size == 0) continue;
        const uint64_t end = std::min(map_.extent(), size > UINT64_MAX - pos ? UINT64_MAX : pos + size);
        if (!domain_.empty() && pos <= domain_.back().end)
            domain_.back().end = std::max(domain_.back().end, end);
        else
            domain_.push_back({pos, end});
    }
    opt_.domain = std::move(d);
}

Rescuer::~Rescuer() {
    timed_.reset();
    std::free(buffer_);
}

bool Rescuer::stopped() {
    if (fatal()) return true;
    if (stop_ && stop_->load()) {
        result_.end = RescueEnd::Stopped;
        return true;
    }
    return false;
}

long long Rescuer::copy(uint64_t pos, uint64_t size, BlockState onFailure) {
    size = std::min<uint64_t>(size, bufferSize_);
    const size_t n = static_cast<size_t>(size);
    int err = 0;
    long long got;
    if (timed_) {
        got = timed_->read(pos, buffer_, n, opt_.readTimeout, &err, stop_);
    } else {
        errno = 0;
        got = source_.readAbsolute(pos, buffer_, n);
        err = errno;
    }
    uint64_t good = 0;
    if (got > 0) {
        good = std::min<uint64_t>(static_cast<uint64_t>(got), size);
        // A short read: the bytes of the sector where it stopped are not trusted.
        if (good < size) good = (pos + good) / opt_.sectorSize * opt_.sectorSize > pos
                                    ? (pos + good) / opt_.sectorSize * opt_.sectorSize - pos
                                    : 0;
    }
    if (good < size && sourceGoneError(err)) {
        result_ = {RescueEnd::SourceGone, err};
        return -1;
    }
    if (good > 0) {
        if (!(image_.holdsZeros(pos, good) && allZero(buffer_, static_cast<size_t>(good)))) {
            if (int e = image_.write(pos, buffer_, static_cast<size_t>(good))) {
                result_ = {RescueEnd::DestinationFailed, e};
                return -1;
            }
        }
        map_.set(pos, good, BlockState::Finished);
        readThisRun_ += good;
        lastGood_ = Clock::now();
    }
    if (good < size) map_.set(pos + good, size - good, onFailure);
    tick();
    return fatal() ? -1 : static_cast<long long>(good);
}

bool Rescuer::copyPass(const std::vector<Segment>& segs, bool forward, bool skipping, int pass) {
    map_.phase = RescuePhase::Copying;
    map_.pass = pass;
    const uint64_t rs = opt_.readSize;
    const size_t count = segs.size();
    for (size_t k = 0; k < count; ++k) {
        const Segment& seg = segs[forward ? k : count - 1 - k];
        uint64_t pos = forward ? seg.pos : seg.end;
        while (!stopped()) {
            auto a = map_.findState(pos, BlockState::NonTried, forward, seg.pos, seg.end);
            if (!a) break;
            uint64_t from, to;
            if (forward) {
                from = a->pos;
                to = std::min(a->end(), (from / rs + 1) * rs);
            } else {
                to = a->end();
                from = std::max(a->pos, (to - 1) / rs * rs);
            }
            map_.currentPos = forward ? from : to;
            const auto t0 = Clock::now();
            const long long good = copy(from, to - from, BlockState::NonTrimmed);
            if (good < 0) return false;
            const double secs = std::chrono::duration<double>(Clock::now() - t0).count();
            const bool failed = static_cast<uint64_t>(good) < to - from;
            const bool slow = !failed && opt_.minRate && secs > 0 &&
                              static_cast<double>(to - from) / secs < static_cast<double>(opt_.minRate);
            if (skipping && skip_ && (failed || slow)) {
                if (forward)
                    pos = std::min(seg.end, to + skip_);
                else
                    pos = from < seg.pos + skip_ ? seg.pos : from - skip_;
                skip_ = std::min(skip_ * 2, opt_.skipMax);
            } else {
                if (!failed) skip_ = opt_.skipInitial;
                pos = forward ? to : from;
            }
        }
    }
    tick(true);
    return !stopped();
}

bool Rescuer::trimPass(const std::vector<Segment>& segs) {
    map_.phase = RescuePhase::Trimming;
    map_.pass = 1;
    const uint64_t ss = opt_.sectorSize;
    for (const Segment& seg : segs) {
        uint64_t pos = seg.pos;
        while (!stopped()) {
            auto a = map_.findState(pos, BlockState::NonTrimmed, true, seg.pos, seg.end);
            if (!a) break;
            uint64_t lo = a->pos, hi = a->end();
            map_.currentPos = lo;
            // The leading edge forwards, up to the first bad sector.
            while (lo < hi) {
                const uint64_t len = std::min(hi, lo / ss * ss + ss) - lo;
                const long long g = copy(lo, len, BlockState::BadSector);
                if (g < 0) return false;
                lo += len;
                if (static_cast<uint64_t>(g) < len) break;
            }
            // The trailing edge backwards, up to the first bad sector.
            while (hi > lo) {
                const uint64_t from = std::max(lo, (hi - 1) / ss * ss);
                const long long g = copy(from, hi - from, BlockState::BadSector);
                if (g < 0) return false;
                const bool bad = static_cast<uint64_t>(g) < hi - from;
                hi = from;
                if (bad) break;
            }
            if (lo < hi) map_.set(lo, hi - lo, BlockState::NonScraped);
            pos = a->end();
        }
    }
    tick(true);
    return !stopped();
}

bool Rescuer::sectorPass(const std::vector<Segment>& segs, BlockState from, bool forward, RescuePhase phase,
                         int pass) {
    map_.phase = phase;
    map_.pass = pass;
    const uint64_t ss = opt_.sectorSize;
    const size_t count = segs.size();
    for (size_t k = 0; k < count; ++k) {
        const Segment& seg = segs[forward ? k : count - 1 - k];
        uint64_t pos = forward ? seg.pos : seg.end;
        while (!stopped()) {
            auto a = map_.findState(pos, from, forward, seg.pos, seg.end);
            if (!a) break;
            uint64_t s, e;
            if (forward) {
                s = a->pos;
                e = std::min(a->end(), s / ss * ss + ss);
            } else {
                e = a->end();
                s = std::max(a->pos, (e - 1) / ss * ss);
            }
            map_.currentPos = s;
            if (copy(s, e - s, BlockState::BadSector) < 0) return false;
            pos = forward ? e : s;
        }
    }
    tick(true);
    return !stopped();
}

RescueResult Rescuer::run(const std::atomic<bool>* stop) {
    stop_ = stop;
    const bool fwd = !opt_.reverse;
    bool go = copyPass(domain_, fwd, true, 1) && copyPass(domain_, !fwd, true, 2) && copyPass(domain_, fwd, false, 3);
    if (go && opt_.trim) go = trimPass(domain_);
    if (go && opt_.scrape) {
        if (!opt_.trim) go = sectorPass(domain_, BlockState::NonTrimmed, fwd, RescuePhase::Scraping, 1);
        if (go) go = sectorPass(domain_, BlockState::NonScraped, fwd, RescuePhase::Scraping, 1);
    }
    for (int r = 1; go && r <= opt_.retries; ++r)
        go = sectorPass(domain_, BlockState::BadSector, (r % 2 == 1) == fwd, RescuePhase::Retrying, r);
    if (go) {
        map_.phase = RescuePhase::Finished;
        map_.pass = 1;
    }
    const int e = saveMap();
    if (e && result_.end == RescueEnd::Finished) result_ = {RescueEnd::MapNotSaved, e};
    tick(true);
    return result_;
}

RescueResult Rescuer::copyNow(uint64_t pos, uint64_t size, const std::atomic<bool>* stop) {
    stop_ = stop;
    if (pos >= map_.extent() || size == 0) return result_;
    const std::vector<Segment> segs{{pos, std::min(map_.extent(), size > UINT64_MAX - pos ? UINT64_MAX : pos + size)}};
    const RescuePhase phase = map_.phase;
    const int pass = map_.pass;
    if (copyPass(segs, true, false, 1) && opt_.trim) trimPass(segs);
    map_.phase = phase;
    map_.pass = pass;
    return result_;
}

int Rescuer::saveMap() {
    lastSave_ = Clock::now();
    if (!saver_) return 0;
    // The image holds every finished byte before the map says so.
    auto last = map_.findState(map_.extent(), BlockState::Finished, false, 0, map_.extent());
    if (int e = image_.sync(last ? last->end() : 0)) return e;
    return saver_(map_);
}

void Rescuer::tick(bool force) {
    const auto now = Clock::now();
    const double sinceRate = std::chrono::duration<double>(now - rateAt_).count();
    if (sinceRate >= 1.0) {
        rate_ = static_cast<double>(readThisRun_ - rateBytes_) / sinceRate;
        rateBytes_ = readThisRun_;
        rateAt_ = now;
    }
    if (std::chrono::duration<double>(now - lastSave_).count() >= opt_.saveInterval && !fatal()) {
        if (int e = saveMap()) result_ = {RescueEnd::MapNotSaved, e};
    }
    if (onStatus_ && (force || std::chrono::duration<double>(now - lastTick_).count() >= 0.5)) {
        lastTick_ = now;
        onStatus_(status());
    }
}

RescueStatus Rescuer::status() const {
    RescueStatus s;
    const bool whole = domain_.size() == 1 && domain_[0].pos == 0 && domain_[0].end == map_.extent();
    if (whole) {
        s.nonTried = map_.bytesIn(BlockState::NonTried);
        s.nonTrimmed = map_.bytesIn(BlockState::NonTrimmed);
        s.nonScraped = map_.bytesIn(BlockState::NonScraped);
        s.badSector = map_.bytesIn(BlockState::BadSector);
        s.rescued = map_.bytesIn(BlockState::Finished);
        s.domainBytes = map_.extent();
    } else {
        for (const Segment& seg : domain_) {
            s.domainBytes += seg.end - seg.pos;
            for (const MapBlock& b : map_.blocksIn(seg.pos, seg.end - seg.pos)) {
                switch (b.state) {
                    case BlockState::NonTried: s.nonTried += b.size; break;
                    case BlockState::NonTrimmed: s.nonTrimmed += b.size; break;
                    case BlockState::NonScraped: s.nonScraped += b.size; break;
                    case BlockState::BadSector: s.badSector += b.size; break;
                    case BlockState::Finished: s.rescued += b.size; break;
                }
            }
        }
    }
    s.errorAreas = map_.blocksIn(BlockState::NonTrimmed) + map_.blocksIn(BlockState::NonScraped) +
                   map_.blocksIn(BlockState::BadSector);
    s.errorBytes = map_.bytesIn(BlockState::NonTrimmed) + map_.bytesIn(BlockState::NonScraped) +
                   map_.bytesIn(BlockState::BadSector);
    const auto now = Clock::now();
    s.readThisRun = readThisRun_;
    s.elapsed = std::chrono::duration<double>(now - started_).count();
    s.sinceGoodRead = std::chrono::duration<double>(now - lastGood_).count();
    s.averageRate = s.elapsed > 0 ? static_cast<double>(readThisRun_) / s.elapsed : 0;
    s.rate = s.elapsed < 1.0 ? s.averageRate : rate_;
    const uint64_t left = s.nonTried + s.nonTrimmed + s.nonScraped + (opt_.retries ? s.badSector : 0);
    if (left == 0)
        s.remaining = 0;
    else if (s.averageRate > 0)
        s.remaining = static_cast<double>(left) / s.averageRate;
    s.phase = map_.phase;
    s.pass = map_.pass;
    s.position = map_.currentPos;
    return s;
}

std::string phaseWord(RescuePhase p) {
    switch (p) {
        case RescuePhase::Copying: return "copying";
        case RescuePhase::Trimming: return "trimming";
        case RescuePhase::Scraping: return "scraping";
        case RescuePhase::Retrying: return "retrying";
        case RescuePhase::Finished: return "finished";
        default: break;
    }
    return "copying";
}

}  // namespace brantlow::imaging
