// Checkpoints of the long scans in a session: the carve (its finds and the
// engine's state between two buffers) and the sector scan (the volumes it
// found and where it stood). A rerun with the same session goes on from the
// last checkpoint and ends with what a scan that never stopped would give;
// a finished one is shown again without reading the disk.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "disk/partition.h"
#include "disk/sector_scan.h"
#include "raw/carve.h"
#include "scan/session/session_store.h"

namespace brantlow::session {

// What the types of a carve are (their count and texts), for the job's
// settings: a session of other types is another job.
std::string carveTypesText(const raw::myJpg& e);

struct CarveStored {
    bool finished = false;
    uint64_t resumedAt = 0;  // scanned-area bytes done before (0: from the start)
    uint64_t finds = 0;
};
// Puts what an earlier run stored into the engine (its types and area set):
// every find of a finished carve, else the finds and the state of the last
// checkpoint. False with why when the rows are damaged or do not fit.
bool loadCarve(SessionFile& f, raw::myJpg& e, CarveStored& out, std::string& why);
// Checkpoints of the engine's scan into f every few seconds; onStop is
// called (on the scanning thread) when writing stopped.
void attachCarve(SessionFile& f, raw::myJpg& e, std::function<void()> onStop);
// After the scan ran to its end: every find, and the session marked finished.
bool finishCarve(SessionFile& f, const raw::myJpg& e);

struct SectorScanStored {
    bool finished = false;
    bool resumable = false;             // progress holds a checkpoint
    std::vector<VolumeEntry> volumes;   // found before the checkpoint (or all)
    SectorScanProgress progress;
    SectorScanResult result;            // of a finished scan
};
bool loadSectorScan(SessionFile& f, SectorScanStored& out, std::string& why);

// Keeps the volumes a sector scan finds, and its checkpoints, in f.
class SectorScanRecorder {
public:
    SectorScanRecorder(SessionFile& f, size_t storedVolumes, std::function<void()> onStop)
        : f_(f), stored_(storedVolumes), onStop_(std::move(onStop)) {}
    // A volume as found (written with the next checkpoint).
    void found(const VolumeEntry& v) { pending_.push_back(v); }
    SectorScanHooks hooks(const SectorScanProgress* resume);
    // The scan ran to its end (not stopped): the rest, marked finished.
    bool finish(const SectorScanResult& r);

private:
    bool writeVolumes();
    SessionFile& f_;
    size_t stored_;
    std::vector<VolumeEntry> pending_;
    std::function<void()> onStop_;
};

// The state blobs, for the tests and the fuzz target: false when the bytes
// are not one.
std::string encodeCarveProgress(const raw::CarveProgress& p);
bool decodeCarveProgress(const uint8_t* data, size_t n, raw::CarveProgress& p);
std::string encodeSectorScanProgress(const SectorScanProgress& p);
bool decodeSectorScanProgress(const uint8_t* data, size_t n, SectorScanProgress& p);

}  // namespace brantlow::session
