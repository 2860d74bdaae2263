#include <algorithm>
#include <atomic>
#include <chrono>
#include <climits>
#include <cstdio>
#include <iostream>
#include <thread>

#include "cli/cli.h"
#include "disk/sector_scan.h"
#include "scan/volumes.h"
#include "scan/session/scan_checkpoints.h"
#include "platform/signals.h"

namespace brantlow::cli {

namespace {

// One row of the volume list: a volume inside a layer says what holds it,
// a layer that did not open says why.
void printVolume(const VolumeEntry& v, bool json) {
    if (json) {
        std::cout << "{\"volume\":" << jsonString(v.volumeNumber) << ",\"fileSystem\":" << jsonString(v.fileSystem)
                  << ",\"sizeText\":" << jsonString(v.sizeText) << ",\"startSector\":" << v.startSector
                  << ",\"sizeSectors\":" << v.sizeSectors;
        if (!v.parent.empty())
            std::cout << ",\"parent\":" << jsonString(v.parent) << ",\"within\":" << jsonString(v.within);
        if (!v.layerNote.empty()) std::cout << ",\"notOpened\":" << jsonString(v.layerNote);
        if (!v.memberOf.empty()) std::cout << ",\"memberOf\":" << jsonString(v.memberOf);
        if (!v.alsoLooksLike.empty()) {
            std::cout << ",\"alsoLooksLike\":[";
            for (size_t i = 0; i < v.alsoLooksLike.size(); ++i)
                std::cout << (i ? "," : "") << jsonString(v.alsoLooksLike[i].fileSystem);
            std::cout << "]";
        }
        std::cout << "}" << std::endl;
        return;
    }
    // "FAT32 (also looks like Btrfs)": file systems found at the same place.
    std::string fileSystem = v.fileSystem;
    for (size_t i = 0; i < v.alsoLooksLike.size(); ++i)
        fileSystem += (i ? ", " : " (also looks like ") + v.alsoLooksLike[i].fileSystem +
                      (i + 1 == v.alsoLooksLike.size() ? ")" : "");
    std::printf("%-8s %-30s %-14s %llu", v.volumeNumber.c_str(), terminalSafe(fileSystem).c_str(),
                v.sizeText.c_str(), static_cast<unsigned long long>(v.startSector));
    if (!v.within.empty()) std::printf("  in %s", terminalSafe(v.within).c_str());
    if (!v.layerNote.empty()) std::printf("  not opened: %s", terminalSafe(v.layerNote).c_str());
    if (!v.memberOf.empty()) std::printf("  member of the set under %s", terminalSafe(v.memberOf).c_str());
    std::printf("\n");
}

// Volumes as the sector scan finds them; printed at once, a layer with
// what the same scan finds inside it.
class Printer : public PartitionOwner {
public:
    Printer(bool json, StderrProgress& progress, std::shared_ptr<readWriteInterface> source, LayerAsk ask,
            const Partition& scan, std::string prefix)
        : json_(json), progress_(progress), source_(std::move(source)), ask_(std::move(ask)), scan_(scan),
          prefix_(std::move(prefix)) {}
    void addEntry(const VolumeEntry& v) override {
        if (onFound) onFound(v);
        show(v);
    }
    // A volume found before (kept in a session): printed as when found.
    void show(const VolumeEntry& v) {
        progress_.done();
        std::vector<VolumeEntry> found{v};
        if (isLayerName(v.fileSystem)) openLayers(found, source_, ask_, scanInside(scan_));
        for (VolumeEntry& e : found) {
            e.volumeNumber = prefix_ + e.volumeNumber;
            if (!e.parent.empty()) e.parent = prefix_ + e.parent;
            print(e);
        }
        std::fflush(stdout);
    }
    void setStatus(const std::string& text) override { progress_.status(text); }
    std::function<void(const VolumeEntry&)> onFound;

    void header() const {
        if (!json_) std::printf("%-8s %-30s %-14s %s\n", "VOLUME", "FILE_SYSTEM", "VOLUME_SIZE", "START_SECTOR");
    }
    void print(const VolumeEntry& v) const { printVolume(v, json_); }

private:
    bool json_;
    StderrProgress& progress_;
    std::shared_ptr<readWriteInterface> source_;
    LayerAsk ask_;
    const Partition& scan_;
    std::string prefix_;  // the set's number when several are scanned ("1:")
};

// A sector number option; false (with the reason printed) when it is not one.
bool sectorOption(const Args& a, const char* name, int64_t& out) {
    if (!a.has(name)) return true;
    auto v = parseU64(a.get(name));
    if (!v || *v > static_cast<uint64_t>(INT64_MAX)) {
        std::cerr << "brantlow-cli: " << name << " takes a sector number\n";
        return false;
    }
    out = static_cast<int64_t>(*v);
    return true;
}

int scanVolumes(const std::shared_ptr<readWriteInterface>& source, const Args& a, const std::string& prefix,
                bool header) {
    readWriteInterface& reader = *source;
    const bool json = a.has("--json");
    Partition p;
    p.skipFoundVolumes = !a.has("--no-skip");
    if (!sectorOption(a, "--start", p.scanStartSector) || !sectorOption(a, "--end", p.scanEndSector))
        return kExitUsage;
    if (a.has("--end") && p.scanEndSector < p.scanStartSector) {
        std::cerr << "brantlow-cli: --end must not be smaller than --start\n";
        return kExitUsage;
    }
    const uint64_t total = reader.sizeBytes() / 512;
    if (static_cast<uint64_t>(p.scanStartSector) >= total && total > 0) {
        std::cerr << "brantlow-cli: sector " << p.scanStartSector << " lies beyond the end of the source (" << total
                  << " sectors)\n";
        return kExitUsage;
    }
    uint64_t scanBytes = 0;  // for the rate
    if (total > 0) {
        const uint64_t last = a.has("--end") ? std::min<uint64_t>(p.scanEndSector, total - 1) : total - 1;
        scanBytes = (last + 1 - static_cast<uint64_t>(p.scanStartSector)) * 512;
    }
    StderrProgress progress(progressStyle(a), scanBytes);
    Printer printer(json, progress, source, layerAsk(a), p, prefix);
    p.owner = &printer;
    p.progress = &progress;
    if (header) printer.header();
    SectorScanResult res;
    // --session: the volumes found and checkpoints; a rerun goes on from
    // the last one (a finished scan is shown without reading the disk).
    std::unique_ptr<session::SessionFile> ses;
    session::SectorScanStored stored;
    std::unique_ptr<session::SectorScanRecorder> recorder;
    SectorScanHooks hooks;
    if (a.has("--session")) {
        int rc = kExitOk;
        bool existed = false;
        Sources one;
        one.paths = a.positional;
        one.disks.push_back(AssembledDisk{});
        one.disks.back().reader = source;
        ses = openSession(a, one, session::SessionKind::SectorScan,
                          sessionJob(a, {"--start", "--end", "--no-skip", "--map", "--raid"}), rc, existed);
        if (!ses) return rc;
        std::string why;
        if (existed && !session::loadSectorScan(*ses, stored, why)) {
            std::cerr << "brantlow-cli: the session " << terminalSafe(ses->path()) << " " << terminalSafe(why)
                      << "; it is left as it is (--session-overwrite replaces it)\n";
            return kExitSession;
        }
        for (const VolumeEntry& v : stored.volumes) printer.show(v);
        if (stored.finished) {
            std::cerr << "brantlow-cli: the session holds this scan, finished; the disk is not read again\n";
            res = stored.result;
        } else if (stored.resumable) {
            std::cerr << "brantlow-cli: going on from sector " << stored.progress.next << " ("
                      << stored.volumes.size() << " volume(s) found before)\n";
            if (scanBytes)
                progress.resumedFrom(static_cast<double>(stored.progress.next - std::min<uint64_t>(
                                         stored.progress.next, static_cast<uint64_t>(p.scanStartSector))) *
                                     512.0 / static_cast<double>(scanBytes));
        }
        recorder = std::make_unique<session::SectorScanRecorder>(*ses, stored.volumes.size(),
                                                                 [&] { sayCheckpointsStopped(*ses); });
        printer.onFound = [&](const VolumeEntry& v) { recorder->found(v); };
        hooks = recorder->hooks(stored.resumable ? &stored.progress : nullptr);
    }
    WorkerEnd finished;
    std::thread worker([&] {
        if (!stored.finished) res = ScanForFileSystems(reader, p, volumeProbeTable(), kScanChunkBytes, ses ? &hooks : nullptr);
        finished.done();
    });
    // Ctrl-C stops the scan; what was found stays printed.
    while (!finished.wait(std::chrono::milliseconds(20)))
        if (platform::interruptFlag().load()) p.stopRequested.store(true);
    worker.join();
    progress.done();
    const bool interrupted = platform::interruptFlag().load();
    if (ses && !stored.finished && !res.stopped) recorder->finish(res);
    if (ses) sayCheckpointsStopped(*ses);
    if (json)
        std::cout << "{\"scan\":{\"firstSector\":" << res.firstSector << ",\"lastSector\":" << res.lastSector
                  << ",\"volumes\":" << res.volumesFound << ",\"unreadableSectors\":" << res.unreadableSectors
                  << ",\"stopped\":" << (res.stopped ? "true" : "false") << "}}\n";
    std::cerr << "brantlow-cli: scanned sectors " << res.firstSector << " to " << res.lastSector << ": "
              << res.volumesFound << " volume(s), " << res.unreadableSectors << " unreadable sector(s) skipped"
              << (res.stopped ? " (stopped)" : "") << (res.tooMany ? " (too many volumes: ended)" : "") << "\n";
    return interrupted ? kExitInterrupted : kExitOk;
}

}  // namespace

int cmdVolumes(const Args& a) {
    if (a.positional.empty()) {
        std::cerr << "usage: brantlow-cli volumes SOURCE... [--gpt] [--json] [--scan [--start S] [--end E] [--no-skip]]\n";
        return kExitUsage;
    }
    if (!a.has("--scan") && (a.has("--start") || a.has("--end") || a.has("--no-skip"))) {
        std::cerr << "brantlow-cli: --start, --end and --no-skip belong to --scan\n";
        return kExitUsage;
    }
    int rc = kExitSource;
    auto sources = openSources(a, rc);
    if (!sources) return rc;
    if (a.has("--session") && (!a.has("--scan") || sources->disks.size() != 1)) {
        std::cerr << "brantlow-cli: --session keeps a sector scan (--scan) of one disk or set\n";
        return kExitUsage;
    }
    if (a.has("--scan")) {
        // Each set is scanned like a disk of its own.
        const size_t n = sources->disks.size();
        for (size_t k = 0; k < n; ++k) {
            rc = scanVolumes(sources->disks[k].reader, a, n > 1 ? std::to_string(k) + ":" : "", k == 0);
            if (rc != kExitOk) return rc;
        }
        return kExitOk;
    }
    auto vols = standardVolumes(*sources, a.has("--gpt"), layerAsk(a));
    const bool json = a.has("--json");
    if (!json) std::printf("%-8s %-30s %-14s %s\n", "VOLUME", "FILE_SYSTEM", "VOLUME_SIZE", "START_SECTOR");
    for (const auto& v : vols) printVolume(v, json);
    return kExitOk;
}

}  // namespace brantlow::cli
