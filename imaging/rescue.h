// Imaging a failing disk: the source copied once to an image, good areas
// first, with a map of what was read (GNU ddrescue's map format and passes):
//   copying  — large reads; on an error (or a slow area) skip ahead, growing
//              the skip, and come back in a second pass the other way and a
//              last sweep without skipping;
//   trimming — the edges of each failed block, sector by sector, up to the
//              first bad sector on each side;
//   scraping — the rest of the failed blocks, sector by sector;
//   retrying — the bad sectors again, N passes, each the other way.
// The map is saved every few seconds (after the image is synced) and at the
// end, so an interrupted run resumes where it stopped.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "disk/reader.h"
#include "disk/rescue_map.h"

namespace brantlow::imaging {

// Where the copy goes.
class ImageSink {
public:
    virtual ~ImageSink() = default;
    // Writes n bytes at offset. 0 or an errno value.
    virtual int write(uint64_t offset, const void* data, size_t n) = 0;
    // True when the image already reads as zeros over [offset, offset + n)
    // (never written: zeros need not be stored there).
    virtual bool holdsZeros(uint64_t offset, uint64_t n) const { return false; }
    // Makes what was written durable and the image at least size bytes
    // long (before the map that records it is saved). 0 or an errno value.
    virtual int sync(uint64_t size) { return 0; }
};

// The image file: written in place, zeros beyond its size at opening left as holes.
class ImageFile : public ImageSink {
public:
    ~ImageFile() override;
    // Opens or creates path. 0 or an errno value.
    int open(const std::string& path);
    int write(uint64_t offset, const void* data, size_t n) override;
    bool holdsZeros(uint64_t offset, uint64_t n) const override { return offset >= sizeAtOpen_; }
    int sync(uint64_t size) override;

private:
    int fd_ = -1;
    uint64_t sizeAtOpen_ = 0;
    uint64_t written_ = 0;  // end of the highest write
};

// The source for imaging: a block device read with O_DIRECT where the
// request is aligned, else through the page cache; a regular file read
// through the page cache. Read-only, always.
class ImagingSource : public readWriteInterface {
public:
    ~ImagingSource() override;
    bool Open(const std::string& path) override;
    long long readAbsolute(uint64_t offset, void* buffer, size_t count) override;
    uint64_t sizeBytes() const override { return size_; }
    void adviseSequential() override;
    bool direct() const { return directFd_ >= 0; }

private:
    int fd_ = -1, directFd_ = -1;
    uint64_t size_ = 0;
};

struct RescueOptions {
    uint32_t sectorSize = 512;         // the unit of trimming, scraping and retrying
    // Large reads of the copying passes: through the page cache (read-ahead
    // keeps the disk streaming), 64 KiB; a direct source gets 1 MiB (see
    // ImagingSession).
    uint32_t readSize = 64u << 10;
    uint64_t skipInitial = 64u << 10;  // first skip after an error or slow read (0: never skip)
    uint64_t skipMax = 0;              // largest skip (0: 1% of the source, at least skipInitial, at most 1 GiB)
    int retries = 0;                   // retry passes over bad sectors
    bool reverse = false;              // every pass the other way
    uint64_t minRate = 0;              // bytes/s: slower reads are skipped in the first two passes (0: off)
    double readTimeout = 0;            // seconds: a read that takes longer fails (0: wait)
    bool trim = true, scrape = true;
    double saveInterval = 5;           // seconds between map saves
    // The byte ranges to copy (pos, size), in order; empty: the whole source.
    std::vector<std::pair<uint64_t, uint64_t>> domain;
};

struct RescueStatus {
    uint64_t domainBytes = 0;    // bytes the run is to copy
    uint64_t rescued = 0;        // of those: finished
    uint64_t nonTried = 0, nonTrimmed = 0, nonScraped = 0, badSector = 0;
    uint64_t errorAreas = 0;     // failed blocks (non-trimmed, non-scraped, bad sector) in the map
    uint64_t errorBytes = 0;     // their size
    uint64_t readThisRun = 0;    // bytes copied by this run
    double rate = 0;             // bytes/s over the last second or so
    double averageRate = 0;      // bytes/s since the run started
    double sinceGoodRead = 0;    // seconds
    double elapsed = 0;          // seconds since the run started
    double remaining = -1;       // seconds left, estimated (-1: unknown)
    RescuePhase phase = RescuePhase::Copying;
    int pass = 1;
    uint64_t position = 0;
};

enum class RescueEnd {
    Finished,           // every pass ran (bad sectors may remain)
    Stopped,            // stop was requested
    SourceGone,         // the source disappeared (unplugged)
    DestinationFailed,  // the image cannot be written (full, read-only)
    MapNotSaved,        // the map cannot be written
};

struct RescueResult {
    RescueEnd end = RescueEnd::Finished;
    int error = 0;  // errno of the failure
};

class Rescuer {
public:
    // source and image must outlive the rescuer; the map is changed as the run goes.
    Rescuer(readWriteInterface& source, ImageSink& image, RescueMap& map, RescueOptions options);
    ~Rescuer();

    // Called after the image is synced, every saveInterval and at the end:
    // writes the map. 0 or an errno value.
    void setMapSaver(std::function<int(const RescueMap&)> save) { saver_ = std::move(save); }
    // Called about twice a second and at the end of each pass.
    void setStatusCallback(std::function<void(const RescueStatus&)> f) { onStatus_ = std::move(f); }

    // Runs every pass over the domain. Ends early on stop, a source that
    // is gone, or an image that cannot be written, always with the map saved.
    RescueResult run(const std::atomic<bool>* stop);
    // Copies [pos, pos + size) now (a sweep, then trimming), for reads
    // that need those bytes before the rest. The map is saved when due.
    RescueResult copyNow(uint64_t pos, uint64_t size, const std::atomic<bool>* stop);
    // Replaces the domain (pos, size ranges; empty: the whole source).
    void setDomain(std::vector<std::pair<uint64_t, uint64_t>> domain);
    // Saves the map now (after syncing the image). 0 or an errno value.
    int saveMap();

    RescueStatus status() const;
    const RescueOptions& options() const { return opt_; }

private:
    struct Read;
    class Timed;
    struct Segment {
        uint64_t pos, end;
    };
    using Clock = std::chrono::steady_clock;

    bool copyPass(const std::vector<Segment>& segs, bool forward, bool skipping, int pass);
    bool trimPass(const std::vector<Segment>& segs);
    bool sectorPass(const std::vector<Segment>& segs, BlockState from, bool forward, RescuePhase phase, int pass);
    // Reads [pos, pos+size) into the buffer; marks the map, writes the image.
    // Returns the bytes that were good (a prefix) or -1 when the run must end.
    long long copy(uint64_t pos, uint64_t size, BlockState onFailure);
    bool stopped();
    void tick(bool force = false);
    bool fatal() const { return result_.end != RescueEnd::Finished; }

    readWriteInterface& source_;
    ImageSink& image_;
    RescueMap& map_;
    RescueOptions opt_;
    std::vector<Segment> domain_;
    std::function<int(const RescueMap&)> saver_;
    std::function<void(const RescueStatus&)> onStatus_;
    std::unique_ptr<Timed> timed_;
    uint8_t* buffer_ = nullptr;
    size_t bufferSize_ = 0;
    const std::atomic<bool>* stop_ = nullptr;
    RescueResult result_;
    uint64_t skip_ = 0;
    Clock::time_point started_, lastGood_, lastSave_, lastTick_, rateAt_;
    uint64_t readThisRun_ = 0, rateBytes_ = 0;
    double rate_ = 0;
};

// "copying", ... for status lines.
std::string phaseWord(RescuePhase p);

}  // namespace brantlow::imaging
