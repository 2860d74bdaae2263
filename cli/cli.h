// Shared pieces of the command-line tool.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "disk/partition.h"
#include "disk/reader.h"
#include "layers/api/layer_row.h"
#include "scan/volumes.h"
#include "base/progress_rate.h"
#include "base/sinks.h"
#include "base/times.h"
#include "scan/session/session_store.h"

namespace brantlow::cli {

// Exit status.
constexpr int kExitOk = 0;           // all done
constexpr int kExitUsage = 1;        // the command line is wrong
constexpr int kExitSource = 2;       // the source cannot be opened or read
constexpr int kExitNoFs = 3;         // no file system this tool can parse there
constexpr int kExitPartial = 4;      // done, but some files partial or failed (named)
constexpr int kExitUnreadable = 5;   // done, but sectors are unreadable: files on them (list, recover, cat), or left by image
constexpr int kExitDestination = 6;  // the output cannot be written: image's image or map, recover's or carve's folder
constexpr int kExitSession = 7;       // the --session file cannot be used (refused: the reason on stderr)
constexpr int kExitInterrupted = 130;

// Parsed "--name value" options and positional words.
struct Args {
    std::vector<std::string> positional;
    std::map<std::string, std::string> options;  // "--json" → "" for flags
    bool has(const std::string& k) const { return options.count(k) != 0; }
    std::string get(const std::string& k, const std::string& def = {}) const {
        auto it = options.find(k);
        return it == options.end() ? def : it->second;
    }
};

// Strict unsigned decimal.
std::optional<uint64_t> parseU64(const std::string& s);

std::string jsonString(const std::string& s);
// A name as a terminal may show it: valid UTF-8 stays, control characters
// and bytes that are not UTF-8 become \xNN.
std::string terminalSafe(const std::string& s);
std::string jsonTime(const OptTime& t);
// The same appended to a line being built.
void appendJsonString(std::string& out, const std::string& s);
void appendTerminalSafe(std::string& out, const std::string& s);
void appendJsonTime(std::string& out, const OptTime& t);

// Lines for the standard output, built in one buffer and written in large
// blocks (a listing prints one line per entry).
class LineOut {
public:
    LineOut() { buf_.reserve(kBlock + 4096); }
    ~LineOut() { flush(); }
    LineOut(const LineOut&) = delete;
    LineOut& operator=(const LineOut&) = delete;
    // The line so far, for the append functions above.
    std::string& text() { return buf_; }
    LineOut& operator<<(std::string_view s) {
        buf_.append(s);
        return *this;
    }
    LineOut& operator<<(char c) {
        buf_ += c;
        return *this;
    }
    LineOut& num(uint64_t v);
    // Ends the line; the buffer goes out when it holds a block.
    void endLine() {
        buf_ += '\n';
        if (buf_.size() >= kBlock) flush();
    }
    void flush();

private:
    static constexpr size_t kBlock = 256 * 1024;
    std::string buf_;
};

// Opens SOURCE read-only (a device, a raw or split raw image, or an image
// container); prints why not. Damage met later while reading an image is
// printed as it is met. With a map (GNU ddrescue's format), the image is
// read through it: what it does not mark finished is unreadable.
std::shared_ptr<readWriteInterface> openSource(const std::string& path, const std::string& mapPath = {});

// What a command reads: one SOURCE, or the sets several SOURCE arguments
// make (RAID members, the physical volumes of a volume group), or with
// --raid the set without metadata they make; each set read like a disk.
struct Sources {
    std::vector<std::string> paths;
    std::vector<AssembledDisk> disks;  // one for one SOURCE
    const std::shared_ptr<readWriteInterface>& reader() const { return disks.front().reader; }
};
// Opens the SOURCE arguments (and puts them together); prints why not and
// sets rc when they cannot be read.
std::optional<Sources> openSources(const Args& a, int& rc);

// The volume list of the Standard walk, with the layers opened as far as
// the answers (ask) go.
std::vector<VolumeEntry> standardVolumes(const std::shared_ptr<readWriteInterface>& reader, bool gpt,
                                         const LayerAsk& ask);
std::vector<VolumeEntry> standardVolumes(const Sources& sources, bool gpt, const LayerAsk& ask);

// What a layer asks for, answered from --passphrase-file, --key-file or
// --volume-key-file (once each), else a passphrase on the terminal without
// echo (when standard input is one), else not at all.
LayerAsk layerAsk(const Args& a);

// The volume chosen by --volume N, or --start-sector S --fs NAME [--size-sectors Z].
// Prints the reason and returns nullopt when there is none (rc: the exit
// status to end with).
std::optional<VolumeEntry> chooseVolume(const Sources& sources, const Args& a, int* rc = nullptr);

// The end of a worker thread, awaited in steps so that the caller can
// look at Ctrl-C in between; no sleep past the end.
class WorkerEnd {
public:
    // From the worker, last.
    void done() {
        {
            std::lock_guard<std::mutex> lock(m_);
            done_ = true;
        }
        cv_.notify_all();
    }
    // True once done() was called; false after the step ran out.
    bool wait(std::chrono::milliseconds step) {
        std::unique_lock<std::mutex> lock(m_);
        return cv_.wait_for(lock, step, [this] { return done_; });
    }

private:
    std::mutex m_;
    std::condition_variable cv_;
    bool done_ = false;
};

// Progress to stderr when it is a terminal.
bool stderrIsTerminal();

// How a job shows its progress on stderr: nothing (--quiet), a bar with the
// rate and the time left (a terminal), or a plain line now and then when the
// job runs long (a log or a pipe).
enum class ProgressStyle { Off, Bar, Lines };
ProgressStyle progressStyle(const Args& a);

// Progress on stderr in the chosen style; done() clears the bar. bytes: the
// size of what the job reads, for the rate (0: no rate shown).
class StderrProgress : public ProgressSink {
public:
    explicit StderrProgress(bool on) : StderrProgress(on ? ProgressStyle::Bar : ProgressStyle::Off) {}
    explicit StderrProgress(ProgressStyle style, uint64_t bytes = 0);
    void range(int64_t hi) override { hi_ = hi; }
    void position(int64_t p) override;
    void status(const std::string& s) override;
    void done();
    // The job goes on from a checkpoint with this share (0..1) done before.
    void resumedFrom(double share);

private:
    void draw(int permille);
    ProgressRate rate_;
    ProgressStyle style_;
    uint64_t bytes_;
    int64_t hi_ = 0;
    int lastPermille_ = -1;
    std::string status_;
    std::chrono::steady_clock::time_point start_, lastLine_;
    bool drawn_ = false;
};

// Message boxes as lines on stderr (the scan's closing text is left out).
class StderrMessages : public MessageSink {
public:
    void info(const std::string& text) override;
};

// The list names of the file systems the parsers read, for help texts
// ("NTFS, FAT32, ..."); with an Advanced-mode search only, or with the
// "formatted" choice only, when asked.
std::string fileSystemListText(bool advancedOnly = false, bool formattedOnly = false);

// --session: opens the file for a job on the opened sources (each named by
// its size and the hash of its first and last MiB). Null with the refusal
// said on stderr (rc = kExitSession), or without --session (rc untouched).
std::unique_ptr<session::SessionFile> openSession(const Args& a, const Sources& sources, session::SessionKind kind,
                                                  const std::string& job, int& rc, bool& existed);
// The job settings of a session: the options that change what the job finds.
std::string sessionJob(const Args& a, std::initializer_list<const char*> options);
// Says once on stderr that the session's checkpoints stopped, and why.
void sayCheckpointsStopped(session::SessionFile& f);
// BRANTLOW_READ_STATS=1: the bytes each source gave, on stderr at the end.
void printReadStats();

int cmdVolumes(const Args& a);
int cmdList(const Args& a);
int cmdRecover(const Args& a);
int cmdCarve(const Args& a);
// Images SOURCE to IMAGE with a map (--map MAP).
int cmdImage(const Args& a);
int cmdSearch(const Args& a);
// One file's content to stdout (--path ROOT/...).
int cmdCat(const Args& a);

}  // namespace brantlow::cli
