#include "scan/save.h"

#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <thread>
#include <unordered_map>
#include <unordered_set>

#include "base/names.h"
#include "platform/files.h"
#include "platform/output_file.h"
#include "scan/tree_walk.h"
#include "scan/unreadable.h"

namespace brantlow {

namespace {

std::optional<platform::Stamp> stamp(const OptTime& t) {
    if (!t) return std::nullopt;
    return platform::Stamp{t->sec, t->nsec};
}

// "overwritten: 12 of 12 clusters are another file's now" (and ", written
// on request" when it was written all the same); "partly overwritten (25%):
// 3 of 12 clusters are another file's now".
std::string overwrittenReason(const RecoveryEstimate& e, bool written) {
    std::string t = recoverabilityText(e);
    if (e.units)
        t += ": " + std::to_string(e.overwritten) + " of " + std::to_string(e.units) + " clusters are another file's now";
    if (written && e.state == Recoverability::Overwritten) t += ", written on request";
    return t;
}

// A parser's writer writing into an output file: zeros become holes, and a
// stop request ends the file at once.
class FileSink : public ContentSink {
public:
    FileSink(platform::OutputFile& f, const std::atomic<bool>* stop) : f_(f), stop_(stop) {}
    bool write(const void* data, size_t n) override { return !stopped() && f_.write(data, n); }
    bool writeZeros(uint64_t n) override { return !stopped() && f_.skip(n); }
    bool copies() const override { return true; }
    bool copy(int fd, uint64_t at, uint64_t n) override { return !stopped() && f_.copyFrom(fd, at, n); }
    uint64_t size() const override { return f_.size(); }
    bool stopped() const { return stop_ && stop_->load(std::memory_order_relaxed); }

private:
    platform::OutputFile& f_;
    const std::atomic<bool>* stop_;
};

// The content a parser's writer hands over for one file, kept in memory
// until a writer thread puts it into the output file: bytes, zero runs and
// extents of the source file to copy, in order. It holds at most `cap`
// bytes: past that it refuses them (overflow(); the file is then written
// on the saving thread instead).
class RecordedContent : public ContentSink {
public:
    void reset(size_t cap, const std::atomic<bool>* stop) {
        if (bytes_.capacity() > kKeptCapacity) std::vector<uint8_t>().swap(bytes_);
        bytes_.clear();
        pieces_.clear();
        size_ = 0;
        cap_ = cap;
        stop_ = stop;
        overflow_ = false;
    }
    bool write(const void* data, size_t n) override {
        if (stopped()) return false;
        if (n > cap_ - bytes_.size()) {
            overflow_ = true;
            return false;
        }
        const auto* p = static_cast<const uint8_t*>(data);
        bytes_.insert(bytes_.end(), p, p + n);
        add(Kind::Bytes, n);
        return true;
    }
    bool writeZeros(uint64_t n) override {
        if (stopped()) return false;
        add(Kind::Zeros, n);
        return true;
    }
    bool copies() const override { return true; }
    bool copy(int fd, uint64_t at, uint64_t n) override {
        if (stopped()) return false;
        if (n == 0) return true;
        if (!pieces_.empty() && pieces_.back().kind == Kind::Copy && pieces_.back().fd == fd &&
            pieces_.back().at + pieces_.back().n == at)
            pieces_.back().n += n;
        else
            pieces_.push_back({Kind::Copy, n, fd, at});
        size_ += n;
        return true;
    }
    uint64_t size() const override { return size_; }
    bool stopped() const { return stop_ && stop_->load(std::memory_order_relaxed); }
    bool overflow() const { return overflow_; }
    size_t held() const { return bytes_.size(); }
    // Hands everything over to a sink that copies, in order; false where
    // it refuses.
    bool replay(ContentSink& to) const {
        size_t at = 0;
        for (const Piece& p : pieces_) {
            bool ok = true;
            switch (p.kind) {
                case Kind::Zeros: ok = to.writeZeros(p.n); break;
                case Kind::Copy: ok = to.copy(p.fd, p.at, p.n); break;
                case Kind::Bytes:
                    ok = to.write(bytes_.data() + at, static_cast<size_t>(p.n));
                    at += static_cast<size_t>(p.n);
                    break;
            }
            if (!ok) return false;
        }
        return true;
    }

private:
    static constexpr size_t kKeptCapacity = 1 << 20;
    enum class Kind : uint8_t { Bytes, Zeros, Copy };
    struct Piece {
        Kind kind;
        uint64_t n;
        int fd = -1;
        uint64_t at = 0;
    };
    void add(Kind kind, uint64_t n) {
        if (n == 0) return;
        if (!pieces_.empty() && pieces_.back().kind == kind && kind != Kind::Copy) pieces_.back().n += n;
        else pieces_.push_back({kind, n});
        size_ += n;
    }
    std::vector<uint8_t> bytes_;
    std::vector<Piece> pieces_;
    uint64_t size_ = 0;
    size_t cap_ = 0;
    const std::atomic<bool>* stop_ = nullptr;
    bool overflow_ = false;
};

// One file handed to the writer threads: its content and what the saving
// thread decided about it; the thread fills in how it ended.
struct WriteJob {
    uint64_t seq = 0;  // order of issue
    std::shared_ptr<platform::OutputFolder> folder;
    std::string name;  // to commit under
    std::string path;  // as a failure reports it
    OptTime at, mt;
    RecordedContent content;
    WriteResult res;  // the writer's result, with the save's own reasons added
    uint64_t unreadable = 0;
    uint64_t need = 0;  // what it counts against the output limit
    bool stream = false;
    long owner = -1;                  // its entry among the live files' owners, or -1
    std::vector<VolumeRange> ranges;  // the clusters it claims (a live file)

    enum class End { Written, Failed, Stopped } end = End::Stopped;
    int err = 0;
    std::string why;
    std::string finalPath;
    uint64_t size = 0;
    bool done = false;  // guarded by the threads' lock
};

// Threads that create, fill and name output files (most of a save of small
// files is the kernel's work on the output side, which runs side by side
// for different files). Jobs are taken in the order they came; the saving
// thread takes them back finished in that same order. The threads are woken
// for a batch of jobs, and the saving thread only when it waits, so that
// neither side pays a wake-up for every file.
class WriterThreads {
public:
    using Run = std::function<void(WriteJob&)>;
    ~WriterThreads() { close(); }
    bool running() const { return !threads_.empty(); }
    void start(int n, Run run) {
        run_ = std::move(run);
        for (int i = 0; i < n; ++i) threads_.emplace_back([this] { loop(); });
    }
    void push(std::unique_ptr<WriteJob> j) {
        bool wake = false;
        {
            std::lock_guard<std::mutex> lk(m_);
            held_ += j->content.held();
            queue_.push_back(std::move(j));
            const size_t waiting = queue_.size() - next_;
            wake = idle_ > 0 && (waiting == kBatch || waiting == 2 * kBatch);
        }
        if (wake) work_.notify_one();
    }
    // True when the oldest job may have ended (no lock taken).
    bool maybeDone() const { return finished_.load(std::memory_order_acquire) > returned_; }
    // The oldest job once it has ended (waiting for it when wait), or null.
    std::unique_ptr<WriteJob> takeDone(bool wait) {
        std::unique_lock<std::mutex> lk(m_);
        if (queue_.empty()) return nullptr;
        if (!queue_.front()->done) {
            if (!wait) return nullptr;
            // Whatever is queued runs now.
            if (idle_ > 0 && next_ < queue_.size()) work_.notify_all();
            mainWant_ = 0;
            mainWaits_ = true;
            done_.wait(lk, [&] { return queue_.front()->done; });
            mainWaits_ = false;
        }
        std::unique_ptr<WriteJob> j = std::move(queue_.front());
        queue_.pop_front();
        --next_;
        ++returned_;
        held_ -= j->content.held();
        return j;
    }
    // True when jobs, or the bytes they hold with `more`, reach the bounds.
    bool full(size_t jobs, size_t bytes, size_t more) {
        std::lock_guard<std::mutex> lk(m_);
        return queue_.size() >= jobs || (!queue_.empty() && held_ + more > bytes);
    }
    // Waits until `want` jobs have ended since the last taken back (or all).
    void waitEnded(uint64_t want) {
        std::unique_lock<std::mutex> lk(m_);
        want = std::min<uint64_t>(want, queue_.size());
        if (ended() >= want) return;
        if (idle_ > 0 && next_ < queue_.size()) work_.notify_all();
        mainWant_ = want;
        mainWaits_ = true;
        done_.wait(lk, [&] { return ended() >= want; });
        mainWaits_ = false;
    }
    // Runs what is queued, then ends the threads.
    void close() {
        {
            std::lock_guard<std::mutex> lk(m_);
            closing_ = true;
        }
        work_.notify_all();
        for (std::thread& t : threads_) t.join();
        threads_.clear();
    }

private:
    static constexpr size_t kBatch = 8;
    uint64_t ended() const { return finished_.load(std::memory_order_relaxed) - returned_; }
    void loop() {
        std::unique_lock<std::mutex> lk(m_);
        for (;;) {
            if (next_ >= queue_.size()) {
                if (closing_) return;
                ++idle_;
                work_.wait(lk, [&] { return closing_ || next_ < queue_.size(); });
                --idle_;
                continue;
            }
            WriteJob* j = queue_[next_++].get();
            lk.unlock();
            run_(*j);
            lk.lock();
            j->done = true;
            finished_.fetch_add(1, std::memory_order_release);
            if (mainWaits_ && (mainWant_ ? ended() >= mainWant_ : j == queue_.front().get())) done_.notify_one();
        }
    }
    std::mutex m_;
    std::condition_variable work_, done_;
    std::deque<std::unique_ptr<WriteJob>> queue_;
    size_t next_ = 0;  // the first job no thread has taken
    size_t held_ = 0;
    size_t idle_ = 0;  // threads waiting for work
    bool mainWaits_ = false;
    uint64_t mainWant_ = 0;  // what the saving thread waits for: that many ended, or (0) the oldest
    bool closing_ = false;
    std::atomic<uint64_t> finished_{0};
    uint64_t returned_ = 0;  // the saving thread's own
    Run run_;
    std::vector<std::thread> threads_;
};

// Why a file whose source extent could not all be copied is partial.
const char* const kShortCopy = "unreadable clusters (written as zeros)";

// A name that media refusing some characters would take in another form.
bool strictSafe(const std::string& name) { return name.find_first_of(":*?\"<>|\\") == std::string::npos; }

struct Saver {
    Saver(VolumeParser& p, ProgressSink* pr, const std::atomic<bool>* st, const SaveOptions& o)
        : parser(p), progress(pr), stop(st), options(o) {}
    VolumeParser& parser;
    ProgressSink* progress;
    const std::atomic<bool>* stop;
    const SaveOptions& options;
    SaveStats stats;
    NameBook names;                    // guarded by namesLock once writer threads run
    std::vector<std::string> created;  // folders this save made, in order
    uint64_t handled = 0;              // files taken so far (written, partial, failed, skipped)
    std::shared_ptr<platform::OutputFolder> folder;  // the folder files are being written in
    uint64_t taken = 0;                // bytes read for the files written (the --max-output count)

    // Files of folders this save made are written on writer threads (no
    // name there is in use from before, so none has to be asked for on
    // disk); their outcomes are taken back in order, so that counts,
    // reports, claims and the stop on a full disk come out as if each file
    // had been written before the next one was read. What would not have
    // been written then (a file after one that filled the disk) is removed
    // again.
    static constexpr size_t kJobBytes = 4u << 20;   // the most one job holds
    static constexpr size_t kHeldBytes = 16u << 20;  // the most all jobs in flight hold
    static constexpr size_t kJobs = 64;              // the most jobs in flight
    static constexpr int kThreads = 2;
    std::mutex namesLock;
    std::unordered_set<std::string> fresh;  // folders made by this save
    std::vector<uint64_t> createdAt;        // jobs issued before each folder of `created` was made
    uint64_t issued = 0;                    // jobs handed to the writer threads
    uint64_t takenPending = 0;              // the --max-output count of jobs in flight
    bool halted = false;                    // a job in flight stopped the save (full disk, Stop)
    uint64_t haltSeq = 0;                   // that job
    std::atomic<bool> haltWriters{false};
    std::vector<std::unique_ptr<WriteJob>> spare;
    WriterThreads writers;  // last: its threads end before the rest goes

    std::string claimName(const std::string& dir, const std::string& name) {
        std::lock_guard<std::mutex> lk(namesLock);
        return names.claim(dir, name);
    }

    // The volume ranges of the files written so far in this run, so that a
    // cluster is written once however many entries claim it (cross-linked
    // chains, hard links, a file found twice).
    struct Owner {
        std::string path;  // as written (NAME or NAME.partial)
        uint64_t first = 0, total = 0, size = 0;
        size_t ranges = 0;
        bool partial = false;
        bool pending = false;  // its job is in flight: path not known yet
    };
    struct Claim {
        uint64_t end;
        size_t owner;
    };
    // The ranges of the live files written so far: a live file's clusters
    // are its own by the allocation map, so a second claim on them (a
    // cross-link, a hard link) by a live or a deleted file is the one that
    // gives way. (Deleted files guessed from freed chains may overlap each
    // other; the allocation map and --max-output bound them.)
    using Claims = std::map<uint64_t, Claim>;  // by start; no two overlap
    Claims liveClaims;
    std::vector<Owner> owners;

    // The earlier file that holds any of these ranges, or -1.
    static long claimedBy(const Claims& in, const std::vector<VolumeRange>& ranges) {
        for (const VolumeRange& r : ranges) {
            if (!r.length) continue;
            auto it = in.upper_bound(r.offset);
            if (it != in.begin() && std::prev(it)->second.end > r.offset) return static_cast<long>(std::prev(it)->second.owner);
            if (it != in.end() && it->first < r.offset + r.length) return static_cast<long>(it->second.owner);
        }
        return -1;
    }
    static void add(Claims& in, const VolumeRange& r, size_t owner) {
        if (r.length && claimedBy(in, {r}) < 0) in.emplace(r.offset, Claim{r.offset + r.length, owner});
    }
    size_t claim(const std::vector<VolumeRange>& ranges, const std::string& path, uint64_t size, bool partial,
                 bool pending = false) {
        Owner o{path, ranges.empty() ? 0 : ranges.front().offset, 0, size, ranges.size(), partial, pending};
        const size_t idx = owners.size();
        for (const VolumeRange& r : ranges) {
            o.total += r.length;
            add(liveClaims, r, idx);
        }
        owners.push_back(std::move(o));
        return idx;
    }
    // A job that wrote nothing gives its claims back.
    void dropClaims(const WriteJob& j) {
        if (j.owner < 0) return;
        for (const VolumeRange& r : j.ranges) {
            auto it = liveClaims.find(r.offset);
            if (it != liveClaims.end() && it->second.owner == static_cast<size_t>(j.owner)) liveClaims.erase(it);
        }
        owners[static_cast<size_t>(j.owner)].pending = false;
    }

    bool stopRequested() const { return stop && stop->load(std::memory_order_relaxed); }
    bool stopped() {
        settleReady();
        if (stopRequested()) stats.interrupted = true;
        return stats.diskFull || stats.interrupted || stats.limitReached;
    }

    void report(const std::string& path, WriteStatus status, uint64_t bytes, const std::string& reason,
                uint64_t unreadableSectors = 0) {
        FileReport r{path, status, bytes, reason, unreadableSectors};
        if (status != WriteStatus::Complete) stats.problems.push_back(r);
        if (options.onFile) options.onFile(r);
    }

    void failed(const std::string& path, int err, const std::string& reason = {}) {
        ++stats.failed;
        std::string why = reason.empty() ? std::string(std::strerror(err)) : reason;
        stats.lastError = why;
        if (err == ENOSPC) stats.diskFull = true;
        report(path, WriteStatus::Failed, 0, why);
    }

    // The name to write under: a complete file named like the partial
    // marker or a temporary, which would read as something it is not, takes
    // the next free name (markerFree); so does one the output folder holds
    // already from before this run: a file, a folder, a link (takenFree).
    std::string markerFree(const std::string& dir, std::string name, bool complete) {
        const auto endsWith = [&](const char* tail) {
            const size_t n = std::strlen(tail);
            return name.size() >= n && name.compare(name.size() - n, n, tail) == 0;
        };
        if (complete && (endsWith(".partial") || (name.rfind(".brantlow-", 0) == 0 && endsWith(".part"))))
            name = claimName(dir, name + " (1)");
        return name;
    }
    std::string takenFree(const std::string& dir, std::string name) {
        for (int i = 0; i < 10000 && platform::pathExists(joinPath(dir, name)); ++i) name = claimName(dir, name);
        return name;
    }
    // With onDisk false the folder is not asked (the caller's link refuses
    // a name in use instead).
    std::string freeName(const std::string& dir, std::string name, bool complete, bool onDisk = true) {
        name = markerFree(dir, std::move(name), complete);
        return onDisk ? takenFree(dir, std::move(name)) : name;
    }

    // Creates dir/name (sanitised; the strict form when the medium refuses
    // the name). Returns the path, or empty with err set.
    std::string makeFolder(const std::string& dir, const std::string& name, int& err) {
        std::string path = joinPath(dir, name);
        err = platform::makeDir(path);
        // A file or a link of that name from before: the next free name.
        for (int i = 0; err == EEXIST && i < 10000; ++i) {
            path = joinPath(dir, claimName(dir, name));
            err = platform::makeDir(path);
        }
        if (err == EINVAL) {
            path = joinPath(dir, sanitizeComponentStrict(name));
            err = platform::makeDir(path);
        }
        if (err) return {};
        ++stats.folders;
        created.push_back(path);
        createdAt.push_back(issued);
        fresh.insert(path);
        return path;
    }

    // Renames the finished temporary to name (or the strict form).
    // An unnamed file is linked in under the next free name where one is
    // in use (no look at the folder before each file); a named temporary
    // replaces, so its name was checked free before.
    bool commit(platform::OutputFile& f, const std::string& dir, std::string name, const OptTime& at,
                const OptTime& mt) {
        const bool unnamed = f.unnamed();
        bool strict = false;
        for (int i = 0; i < 10000; ++i) {
            if (f.commit(name, stamp(at), stamp(mt), !unnamed)) return true;
            if (unnamed && f.error() == EEXIST) {
                name = claimName(dir, name);
                continue;
            }
            if (f.error() != EINVAL || strict) return false;
            strict = true;
            name = claimName(dir, sanitizeComponentStrict(name));
            if (!unnamed) return f.commit(name, stamp(at), stamp(mt));
        }
        return false;
    }

    std::shared_ptr<platform::OutputFolder> folderFor(const std::string& dir) {
        if (!folder || folder->path() != dir) {
            folder = std::make_shared<platform::OutputFolder>();
            folder->hold(dir);
        }
        return folder;
    }

    // --- writer threads -------------------------------------------------

    // On a writer thread: what writeFile does on this one after reading.
    void runJob(WriteJob& j) {
        const auto fail = [&](int err, std::string why = {}) {
            j.end = WriteJob::End::Failed;
            j.err = err;
            j.why = std::move(why);
        };
        if (haltWriters.load(std::memory_order_relaxed) || stopRequested()) {
            j.end = WriteJob::End::Stopped;
            return;
        }
        const std::string& dir = j.folder->path();
        platform::OutputFile f;
        if (!f.create(dir, j.folder.get())) return fail(f.error());
        FileSink sink(f, stop);
        j.content.replay(sink);
        if (sink.stopped()) {
            j.end = WriteJob::End::Stopped;
            return;
        }
        if (f.error()) return fail(f.error());
        if (j.res.status == WriteStatus::Failed) return fail(EIO, j.res.reason.empty() ? "read error" : j.res.reason);
        if (f.shortCopy() && j.res.status == WriteStatus::Complete) {
            j.res = WriteResult::partial(kShortCopy);
            j.name = claimName(dir, j.name + ".partial");
        }
        std::string name = f.unnamed() ? j.name : takenFree(dir, j.name);
        if (!commit(f, dir, name, j.at, j.mt)) return fail(f.error());
        j.end = WriteJob::End::Written;
        j.finalPath = f.path();
        j.size = f.size();
    }

    void halt(uint64_t seq) {
        if (halted) return;
        halted = true;
        haltSeq = seq;
        haltWriters.store(true, std::memory_order_relaxed);
    }

    // Takes one finished job's outcome into the counts and the report.
    void settle(std::unique_ptr<WriteJob> j) {
        takenPending -= j->need;
        if (halted) {
            // After the file that stopped the save: as if never begun.
            if (j->end == WriteJob::End::Written) platform::removeFile(j->finalPath);
            --handled;
            if (j->stream) --stats.files;
            dropClaims(*j);
        } else if (j->end == WriteJob::End::Stopped) {
            --handled;
            stats.interrupted = true;
            ++stats.notAttempted;
            dropClaims(*j);
            halt(j->seq);
        } else if (j->end == WriteJob::End::Failed) {
            dropClaims(*j);
            failed(j->path, j->err, j->why);
            if (stats.diskFull) halt(j->seq);
        } else {
            stats.bytes += j->size;
            if (j->owner >= 0) {
                Owner& o = owners[static_cast<size_t>(j->owner)];
                o.path = j->finalPath;
                o.pending = false;
            }
            taken += j->need;
            if (j->res.status == WriteStatus::Partial) {
                ++stats.partial;
                if (j->unreadable) ++stats.unreadable;
                stats.lastError = j->res.reason;
                report(j->finalPath, WriteStatus::Partial, j->size, j->res.reason, j->unreadable);
            } else {
                ++stats.written;
                report(j->finalPath, WriteStatus::Complete, j->size, {});
            }
        }
        j->folder.reset();
        j->ranges.clear();
        spare.push_back(std::move(j));
    }
    void settleReady() {
        if (!writers.running() || !writers.maybeDone()) return;
        while (auto j = writers.takeDone(false)) settle(std::move(j));
    }
    // Waits for every job in flight and takes their outcomes. False when
    // one of them stopped the save: the file at hand is then not begun.
    void settleAll() {
        if (!writers.running()) return;
        while (auto j = writers.takeDone(true)) settle(std::move(j));
    }
    bool drain(bool stream) {
        settleAll();
        if (!halted) return true;
        --handled;
        if (stream) --stats.files;
        return false;
    }
    std::unique_ptr<WriteJob> newJob() {
        if (spare.empty()) return std::make_unique<WriteJob>();
        std::unique_ptr<WriteJob> j = std::move(spare.back());
        spare.pop_back();
        j->end = WriteJob::End::Stopped;
        j->err = 0;
        j->why.clear();
        j->finalPath.clear();
        j->size = 0;
        j->done = false;
        j->owner = -1;
        j->unreadable = 0;
        return j;
    }
    void issue(std::unique_ptr<WriteJob> j) {
        if (!writers.running()) writers.start(kThreads, [this](WriteJob& job) { runJob(job); });
        // When full, half the jobs in flight end before more are read.
        while (writers.full(kJobs, kHeldBytes, j->content.held())) {
            writers.waitEnded(kJobs / 2);
            bool any = false;
            while (auto done = writers.takeDone(false)) {
                settle(std::move(done));
                any = true;
            }
            if (!any) settle(writers.takeDone(true));
        }
        j->seq = issued++;
        takenPending += j->need;
        writers.push(std::move(j));
    }

    // --------------------------------------------------------------------

    // A writer's result with the save's own reasons: sectors an image's
    // map does not mark finished (their content came back as zeros), and
    // clusters the allocation map gives to other files now.
    WriteResult finalResult(EntryId id, const RecoveryEstimate& est, WriteResult res, uint64_t& unreadable) {
        unreadable = options.unreadable ? options.unreadable->of(parser, id) : 0;
        if (unreadable) return WriteResult::partial("unreadable sectors (" + std::to_string(unreadable) + ")");
        if (est.state == Recoverability::Overwritten || est.state == Recoverability::Partial ||
            est.state == Recoverability::Uncertain) {
            const std::string why =
                est.state == Recoverability::Uncertain
                    ? "uncertain: another file starts among the clusters after its first one, read as its own"
                    : overwrittenReason(est, true);
            return WriteResult::partial(res.status == WriteStatus::Partial && !res.reason.empty() ? res.reason + "; " + why
                                                                                                  : why);
        }
        return res;
    }

    void writeFile(EntryId id, const EntryInfo& info, const std::string& dir, bool stream = false) {
        ++handled;
        std::string name = claimName(dir, info.name);
        std::string path = joinPath(dir, name);
        if (progress) {
            progress->position(static_cast<int64_t>(handled));
            progress->status("saving File  " + path);
            progress->status2("File size: " + std::to_string(static_cast<long long>(info.size / 1024)) + " kb");
        }
        // A deleted file whose clusters belong to other files now holds
        // their bytes, not its own: never written as complete.
        const RecoveryEstimate est = info.state == EntryState::Live && !info.orphan ? RecoveryEstimate{}
                                                                                     : parser.recoverability(id);
        if (est.state == Recoverability::Overwritten && !options.includeOverwritten) {
            if (!drain(stream)) return;
            return failed(path, 0, overwrittenReason(est, false));
        }
        // Clusters written already for another file in this run are not
        // written again: the same content is a second name of that file,
        // anything else is refused. (A deleted file the allocation map
        // calls partly overwritten shares clusters with live files by
        // definition: the map has spoken.)
        const bool mapSpoke = est.state == Recoverability::Partial || est.state == Recoverability::Overwritten;
        std::vector<VolumeRange> ranges = parser.contentRanges(id);
        // The run's bound: no file begins that could take it past the limit
        // (what it reads from the volume, or its size where nothing says).
        uint64_t need = 0;
        for (const VolumeRange& r : ranges) need += r.length;
        if (ranges.empty()) need = info.size;
        const auto overLimit = [&](uint64_t sofar) {
            return options.maxOutput && (sofar > options.maxOutput || need > options.maxOutput - sofar);
        };
        if (overLimit(taken + takenPending)) {
            if (!drain(stream)) return;
            if (overLimit(taken)) {
                --handled;
                stats.limitReached = true;
                stats.lastError = "output limit reached";
                return;
            }
        }
        const bool live = info.state == EntryState::Live;
        long o = mapSpoke && !live ? -1 : claimedBy(liveClaims, ranges);
        if (o >= 0 && owners[static_cast<size_t>(o)].pending) {
            if (!drain(stream)) return;
            o = claimedBy(liveClaims, ranges);
        }
        if (!mapSpoke && o >= 0) {
            if (!drain(stream)) return;
            const Owner& own = owners[static_cast<size_t>(o)];
            uint64_t total = 0;
            for (const VolumeRange& r : ranges) total += r.length;
            const std::string why = "same clusters as " + own.path;
            ++stats.sameClusters;
            if (own.first == ranges.front().offset && own.total == total && own.ranges == ranges.size() &&
                own.size == info.size) {
                if (own.partial) name = claimName(dir, name + ".partial");
                const std::string to = joinPath(dir, freeName(dir, name, !own.partial));
                if (platform::hardLink(own.path, to) == 0) {
                    if (own.partial) {
                        ++stats.partial;
                        report(to, WriteStatus::Partial, 0, why);
                    } else {
                        ++stats.written;
                        report(to, WriteStatus::Complete, 0, why);
                    }
                    return;
                }
            }
            return failed(path, 0, why);
        }
        // A small file of a folder this save made: read here, written on a
        // writer thread. (A file with streams is written here: they follow
        // it only once it is written.)
        if (fresh.count(dir) && (ranges.empty() ? info.size : need) <= kJobBytes && strictSafe(name) &&
            !(options.streams && !parser.streams(id).empty())) {
            std::unique_ptr<WriteJob> j = newJob();
            j->content.reset(kJobBytes, stop);
            WriteResult res = parser.writeContent(id, j->content);
            if (j->content.stopped()) {
                spare.push_back(std::move(j));
                if (!drain(stream)) return;
                --handled;
                stats.interrupted = true;
                ++stats.notAttempted;
                return;
            }
            if (!j->content.overflow()) {
                if (res.status != WriteStatus::Failed) {
                    parser.outputTimes(id, j->at, j->mt);
                    res = finalResult(id, est, std::move(res), j->unreadable);
                    const bool partial = res.status == WriteStatus::Partial;
                    if (partial) name = claimName(dir, name + ".partial");
                    name = freeName(dir, name, !partial, false);
                    if (live) {
                        j->owner = static_cast<long>(claim(ranges, {}, info.size, partial, true));
                        j->ranges = std::move(ranges);
                    }
                }
                j->res = std::move(res);
                j->folder = folderFor(dir);
                j->name = std::move(name);
                j->path = std::move(path);
                j->need = need;
                j->stream = stream;
                issue(std::move(j));
                if (progress) progress->status2("");
                return;
            }
            spare.push_back(std::move(j));  // more than a job holds: written here
        }
        if (!drain(stream)) return;
        platform::OutputFile f;
        const std::shared_ptr<platform::OutputFolder> held = folderFor(dir);
        if (!f.create(dir, held.get())) return failed(path, f.error());
        FileSink sink(f, stop);
        WriteResult res = parser.writeContent(id, sink);
        if (sink.stopped()) {
            // Not written: it counts as not attempted, not as handled.
            --handled;
            stats.interrupted = true;
            ++stats.notAttempted;
            return;  // the temporary goes with f
        }
        if (f.error()) return failed(path, f.error());
        if (res.status == WriteStatus::Failed) return failed(path, EIO, res.reason.empty() ? "read error" : res.reason);
        if (f.shortCopy() && res.status == WriteStatus::Complete) res = WriteResult::partial(kShortCopy);
        OptTime at, mt;
        parser.outputTimes(id, at, mt);
        uint64_t unreadable = 0;
        res = finalResult(id, est, std::move(res), unreadable);
        const bool partial = res.status == WriteStatus::Partial;
        if (partial) name = claimName(dir, name + ".partial");
        name = freeName(dir, name, !partial, !f.unnamed());
        if (!commit(f, dir, name, at, mt)) return failed(path, f.error());
        stats.bytes += f.size();
        if (live) claim(ranges, f.path(), info.size, partial);
        taken += need;
        if (partial) {
            ++stats.partial;
            if (unreadable) ++stats.unreadable;
            stats.lastError = res.reason;
            report(f.path(), WriteStatus::Partial, f.size(), res.reason, unreadable);
        } else {
            ++stats.written;
            report(f.path(), WriteStatus::Complete, f.size(), {});
        }
        if (options.streams) {
            for (EntryId s : parser.streams(id)) {
                EntryInfo si;
                if (!parser.entryInfo(s, si) || stopped()) continue;
                ++stats.files;
                writeFile(s, si, dir, true);
            }
        }
        if (progress) progress->status2("");
    }

    // One file of the walk: skipped, or written.
    void takeFile(EntryId id, const EntryInfo& info, const std::string& dir) {
        if (info.skipOnSave) {
            ++handled;
            if (!drain(false)) return;
            ++stats.skipped;
            return;
        }
        writeFile(id, info, dir);
    }

    // With deletedOnly, folders that received nothing are removed again.
    void pruneEmptyFolders() {
        if (!options.deletedOnly) return;
        for (auto it = created.rbegin(); it != created.rend(); ++it)
            if (platform::removeEmptyDir(*it) && stats.folders > 0) --stats.folders;
    }

    void finish() {
        settleAll();
        writers.close();
        // Folders made after the file that stopped the save: as if never made.
        if (halted)
            for (size_t i = created.size(); i-- > 0;)
                if (createdAt[i] > haltSeq && platform::removeEmptyDir(created[i]) && stats.folders > 0) --stats.folders;
        pruneEmptyFolders();
        if (stats.files > handled + stats.notAttempted) stats.notAttempted = stats.files - handled;
        if (stats.notAttempted && stats.lastError.empty() && stats.interrupted) stats.lastError = "interrupted";
        if (progress) progress->position(static_cast<int64_t>(handled));
    }
};

bool countable(const EntryInfo& info, bool deletedOnly) {
    return info.kind == EntryKind::File && (!deletedOnly || info.state != EntryState::Live || info.orphan);
}

}  // namespace

uint64_t countFiles(const VolumeParser& parser, EntryId folder, const std::atomic<bool>* stop,
                    const SaveOptions& options) {
    uint64_t n = 0;
    walkTree(parser, folder, [&](const WalkStep& s) {
        if (countable(s.info, options.deletedOnly)) ++n;
        return true;
    }, stop);
    return n;
}

SaveStats saveFolder(VolumeParser& parser, EntryId folder, const std::string& outDir, ProgressSink* progress,
                     const std::atomic<bool>* stop, const SaveOptions& options) {
    Saver s(parser, progress, stop, options);
    s.stats.files = countFiles(parser, folder, stop, options);
    // The folders above the saved one and the folder itself, when it keeps
    // its place; one that cannot be made takes every file with it.
    std::string base = outDir;
    for (EntryId f : options.keepPath) {
        EntryInfo fi;
        if (!parser.entryInfo(f, fi) || fi.name.empty()) continue;
        int err = 0;
        std::string sub = s.makeFolder(base, s.claimName(base, fi.name), err);
        if (sub.empty()) {
            s.handled += s.stats.files;
            s.stats.failed += s.stats.files;
            s.stats.lastError = std::strerror(err);
            if (err == ENOSPC) s.stats.diskFull = true;
            s.report(joinPath(base, sanitizeComponent(fi.name)) + "/", WriteStatus::Failed, 0,
                     "folder not created (" + std::to_string(s.stats.files) + " files): " + std::strerror(err));
            s.finish();
            return s.stats;
        }
        base = sub;
    }
    // Output folder of each folder entered so far (the walk visits a folder
    // before its children). A folder that could not be made takes its files
    // with it: they count as failed.
    std::unordered_map<EntryId, std::string> dirs{{folder, base}};
    walkTree(parser, folder, [&](const WalkStep& st) {
        if (s.stopped()) return false;
        auto d = dirs.find(st.parent);
        if (d == dirs.end()) return false;
        const std::string dir = d->second;
        if (st.info.kind == EntryKind::Folder) {
            if (st.info.name.empty()) {
                dirs[st.id] = dir;
                return true;
            }
            int err = 0;
            std::string sub = s.makeFolder(dir, s.claimName(dir, st.info.name), err);
            if (sub.empty()) {
                s.settleAll();  // the files before it first
                if (s.halted) return false;
                uint64_t lostFiles = countFiles(parser, st.id, stop, options);
                s.handled += lostFiles;
                s.stats.failed += lostFiles;
                s.stats.lastError = std::strerror(err);
                if (err == ENOSPC) s.stats.diskFull = true;
                s.report(joinPath(dir, sanitizeComponent(st.info.name)) + "/", WriteStatus::Failed, 0,
                         "folder not created (" + std::to_string(lostFiles) + " files): " + std::strerror(err));
                return false;
            }
            dirs[st.id] = sub;
            return true;
        }
        if (countable(st.info, options.deletedOnly)) s.takeFile(st.id, st.info, dir);
        return true;
    });
    s.finish();
    return s.stats;
}

SaveStats saveEntries(VolumeParser& parser, const std::vector<EntryId>& files, const std::string& outDir,
                      ProgressSink* progress, const std::atomic<bool>* stop, const SaveOptions& options) {
    Saver s(parser, progress, stop, options);
    std::unordered_set<EntryId> wanted(files.begin(), files.end());
    s.stats.files = wanted.size();
    // Folders are made only when a chosen file lies below them: the walk
    // keeps the chain of folder names and creates it on first use.
    struct Pending {
        EntryId id;
        std::string name;
        std::string made;  // empty until created
    };
    std::vector<Pending> chain;  // chain[k] is the folder at depth k+1
    std::unordered_set<EntryId> done;
    walkTree(parser, kRootId, [&](const WalkStep& st) {
        if (s.stopped()) return false;
        chain.resize(static_cast<size_t>(st.depth - 1));
        if (st.info.kind == EntryKind::Folder) {
            chain.push_back({st.id, st.info.name, {}});
            return true;
        }
        if (!wanted.count(st.id) || !done.insert(st.id).second) return true;
        std::string dir = outDir;
        for (Pending& p : chain) {
            if (p.name.empty()) {
                p.made = dir;
            } else if (p.made.empty()) {
                int err = 0;
                p.made = s.makeFolder(dir, s.claimName(dir, p.name), err);
                if (p.made.empty()) {
                    s.settleAll();  // the files before it first
                    if (s.halted) return false;
                    s.failed(joinPath(dir, p.name) + "/", err);
                    ++s.handled;
                    return true;
                }
            }
            dir = p.made;
        }
        s.takeFile(st.id, st.info, dir);
        return true;
    });
    s.finish();
    return s.stats;
}

bool saveOne(VolumeParser& parser, EntryId id, const std::string& outDir, SaveStats& stats,
             const SaveOptions& options) {
    EntryInfo info;
    if (!parser.entryInfo(id, info) || info.kind != EntryKind::File) return false;
    Saver s(parser, nullptr, nullptr, options);
    s.stats.files = 1;
    s.takeFile(id, info, outDir);
    s.settleAll();
    stats.files += s.stats.files;
    stats.written += s.stats.written;
    stats.partial += s.stats.partial;
    stats.failed += s.stats.failed;
    stats.skipped += s.stats.skipped;
    stats.bytes += s.stats.bytes;
    stats.diskFull = stats.diskFull || s.stats.diskFull;
    stats.problems.insert(stats.problems.end(), s.stats.problems.begin(), s.stats.problems.end());
    if (!s.stats.lastError.empty()) stats.lastError = s.stats.lastError;
    return s.stats.written == 1;
}

std::string filesWrittenText(uint64_t written, const std::string& outDir) {
    return std::to_string(written) + (written == 1 ? " file" : " files") + " written to " + outDir;
}

std::string saveSummary(const SaveStats& st, const std::string& outDir, const std::string& note) {
    std::string t = filesWrittenText(st.written, outDir);
    if (st.partial) t += ", " + std::to_string(st.partial) + " partial";
    if (st.failed) t += ", " + std::to_string(st.failed) + " failed";
    if (st.notAttempted) t += ", " + std::to_string(st.notAttempted) + " not attempted";
    if (st.diskFull) t += " (no space left on the output disk)";
    else if (st.limitReached) t += " (stopped at the output limit)";
    else if (st.interrupted) t += " (stopped)";
    if (!note.empty()) t += "; " + note;
    return t;
}

}  // namespace brantlow
