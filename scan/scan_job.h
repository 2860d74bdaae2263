// Choosing the parser for a volume and running its scan, on the caller's
// thread or on one worker thread with stop and a cooperative pause.
#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <string>
#include <thread>

#include "disk/partition.h"
#include "fs/api/parser.h"

namespace brantlow {

struct ParserChoice {
    std::unique_ptr<VolumeParser> parser;  // null: not a valid drive
    std::string statusText;                // "ntfs partition selected....", or empty
    bool hasProcedure = false;             // the mode has a thread procedure for this file system
};

// Picks the parser by file-system name, compared without regard to ASCII case.
ParserChoice selectParser(const std::string& fileSystem, ScanMode mode);

// The volume's size in bytes as the parsers use it: the exact size in
// sectors when known, else the size text in MiB, else the rest of the disk.
uint64_t volumeSizeBytes(const VolumeEntry& v, uint64_t diskBytes);

// Status texts of the scan's ending.
inline constexpr const char* kScanDoneText = "Scanning processing done.Select save button to save the data.";

// Runs parser->scan and the common ending on the calling thread (or the
// parser's own status-only ending, see VolumeParser::endingStatus). Returns
// the outcome; messages go to ctx.messages.
ScanOutcome runScan(VolumeParser& parser, ScanContext& ctx);

// One worker thread running a scan. The owner keeps the job alive until
// finished() (join() waits).
class ScanJob {
public:
    ScanJob() = default;
    ~ScanJob();
    ScanJob(const ScanJob&) = delete;
    ScanJob& operator=(const ScanJob&) = delete;

    // Starts the worker; onEnd runs on the worker when the scan has ended.
    void start(VolumeParser* parser, ScanContext ctx, std::function<void(ScanOutcome)> onEnd = {});
    void pause() { gate_.pause(); }
    void resume() { gate_.resume(); }
    // Asks the parser to stop; a paused scan stays paused until resume().
    void stop();
    // Stop, release the pause and wait (Back, exit).
    void abandon();
    void join();
    bool running() const { return running_.load(std::memory_order_acquire); }
    PauseGate& gate() { return gate_; }

private:
    std::thread thread_;
    PauseGate gate_;
    VolumeParser* parser_ = nullptr;
    std::atomic<bool> running_{false};
};

}  // namespace brantlow
