// brantlow-cli carve: signature carving of a whole source or one volume.
#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <stop_token>
#include <thread>
#include <cstring>
#include <iostream>
#include <map>
#include <memory>
#include <mutex>

#include <sys/resource.h>

#include "cli/cli.h"
#include "scan/volumes.h"
#include "disk/volume_view.h"
#include "base/sinks.h"
#include "platform/files.h"
#include "platform/signals.h"
#include "raw/carve.h"
#include "scan/free_space.h"
#include "scan/session/scan_checkpoints.h"

namespace brantlow::cli {

namespace {

// "FileSetting.txt" beside the executable, else the copy installed with it
// (PREFIX/bin/brantlow-cli, PREFIX/share/brantlow/FileSetting.txt), else the
// usual installed place.
std::string defaultTypesPath() {
    std::string dir = platform::executableDir();
    if (!dir.empty()) {
        for (const char* rel : {"/FileSetting.txt", "/../share/brantlow/FileSetting.txt"}) {
            std::string p = dir + rel;
            if (platform::isReadable(p)) return p;
        }
    }
#ifdef BRANTLOW_SHARE_DIR
    return std::string(BRANTLOW_SHARE_DIR) + "/FileSetting.txt";
#else
    return "/usr/local/share/brantlow/FileSetting.txt";
#endif
}

}  // namespace

int cmdCarve(const Args& a) {
    StderrMessages messages;
    MessageSink* previous = setMessageSink(&messages);
    struct Restore {
        MessageSink* p;
        ~Restore() { setMessageSink(p); }
    } restore{previous};

    int openRc = kExitSource;
    auto sources = openSources(a, openRc);
    if (!sources) return openRc;
    const std::shared_ptr<readWriteInterface> reader = sources->reader();

    // The whole source, or the chosen volume (read through its layer when
    // it lies in one).
    std::shared_ptr<readWriteInterface> on = reader;
    uint64_t startByte = 0, bytes = reader->sizeBytes();
    if (!a.has("--volume") && !a.has("--start-sector") && sources->disks.size() > 1) {
        std::cerr << "brantlow-cli: the sources make " << sources->disks.size()
                  << " sets: name a volume with --volume (see 'brantlow-cli volumes')\n";
        return kExitUsage;
    }
    const bool freeOnly = a.has("--free-only");
    std::optional<VolumeEntry> chosen;
    std::string outputNote;
    if (a.has("--volume") || a.has("--start-sector") || freeOnly) {
        Args b = a;
        if (b.has("--start-sector") && !b.has("--fs")) b.options["--fs"] = "RAW";
        int rc = kExitUsage;
        auto v = chooseVolume(*sources, b, &rc);
        if (!v) return rc == kExitSource ? rc : kExitUsage;
        on = volumeReader(*v, reader);
        chosen = v;
        outputNote = v->outputNote;
        startByte = v->startSector * 512;
        bytes = v->sizeSectors * 512;
        if (startByte >= on->sizeBytes()) {
            std::cerr << "brantlow-cli: the volume starts beyond the end of the source\n";
            return kExitUsage;
        }
        bytes = std::min<uint64_t>(bytes, on->sizeBytes() - startByte);
    }

    std::string outDir = a.get("--out");
    if (a.has("--out")) {
        if (outDir.empty()) {
            std::cerr << "brantlow-cli: --out needs a folder\n";
            return kExitUsage;
        }
        if (int e = platform::makeDirs(outDir)) {
            std::cerr << "brantlow-cli: cannot create output folder " << outDir << ": " << std::strerror(e) << "\n";
            return kExitDestination;
        }
        if (std::any_of(a.positional.begin(), a.positional.end(),
                        [&](const std::string& source) { return platform::folderOnDevice(outDir, source); })) {
            std::cerr << "brantlow-cli: the output folder lies on the device being carved; choose another\n";
            return kExitUsage;
        }
    }

    auto engine = std::make_unique<raw::myJpg>();
    if (!a.has("--no-default-types")) engine->loadDefaultTypes(defaultTypesPath());
    if (a.has("--types") && !engine->loadTypeFile(a.get("--types"))) return kExitUsage;
    if (engine->types().empty()) {
        std::cerr << "brantlow-cli: no file types to search for\n";
        return kExitUsage;
    }
    if (!engine->initialize()) {
        std::cerr << "brantlow-cli: not properly initialized\n";
        return kExitSource;
    }
    engine->volume = VolumeView(on, startByte, bytes);
    engine->volumeBytes = bytes;
    if (freeOnly) {
        // The file system's free clusters, from its allocation map.
        FreeSpace space = findFreeSpace(reader, *chosen, bytes);
        if (!space.error.empty()) {
            std::cerr << "brantlow-cli: --free-only: " << space.error << "\n";
            return kExitNoFs;
        }
        std::vector<raw::ByteRange> ranges;
        ranges.reserve(space.ranges.size());
        for (const VolumeRange& r : space.ranges) ranges.push_back({r.offset, r.length});
        engine->setArea(std::move(ranges));
        if (!a.has("--json"))
            std::cerr << "free space: " << engine->area().size() << " of " << bytes << " bytes in "
                      << engine->area().ranges().size() << " runs\n";
    }
    // --session: the finds and the engine's state every few seconds; a
    // rerun goes on from the last checkpoint (or shows a finished carve
    // without reading the disk again).
    std::unique_ptr<session::SessionFile> ses;
    if (a.has("--session")) {
        const std::string job = sessionJob(a, {"--volume", "--start-sector", "--fs", "--size-sectors", "--free-only",
                                               "--map", "--raid"}) + " " + session::carveTypesText(*engine);
        int rc = kExitOk;
        bool existed = false;
        ses = openSession(a, *sources, session::SessionKind::Carve, job, rc, existed);
        if (!ses) return rc;
        if (existed) {
            session::CarveStored stored;
            std::string why;
            if (!session::loadCarve(*ses, *engine, stored, why)) {
                std::cerr << "brantlow-cli: the session " << terminalSafe(ses->path()) << " " << terminalSafe(why)
                          << "; it is left as it is (--session-overwrite replaces it)\n";
                return kExitSession;
            }
            if (stored.finished)
                std::cerr << "brantlow-cli: the session holds this carve, finished: " << stored.finds
                          << " files; the disk is not read again\n";
            else if (stored.resumedAt)
                std::cerr << "brantlow-cli: going on from byte " << stored.resumedAt << " of "
                          << (engine->area().size() ? engine->area().size() : bytes) << " (" << stored.finds
                          << " files found before)\n";
        }
        session::attachCarve(*ses, *engine, [&] { sayCheckpointsStopped(*ses); });
    }
    // With --out, the finds are written while the scan goes on (files
    // without a name until the scan is over: a stopped scan leaves none).
    std::unique_ptr<raw::EarlyFinds> early;
    struct EarlySink : raw::CarveSink {
        raw::EarlyFinds* early = nullptr;
        bool hideMarked = false;
        void itemFound(size_t index, const raw::CarvedItem& item, const std::string&, const std::string&,
                       uint64_t) override {
            if (!hideMarked || item.status != raw::FindStatus::Invalid) early->offer(index, item);
        }
    } earlySink;
    if (!outDir.empty()) {
        struct rlimit lim {};
        uint64_t files = 4096;
        if (::getrlimit(RLIMIT_NOFILE, &lim) == 0 && lim.rlim_cur != RLIM_INFINITY)
            files = std::min<uint64_t>(files, lim.rlim_cur / 2);
        early = std::make_unique<raw::EarlyFinds>(*engine, outDir, static_cast<size_t>(files));
        earlySink.early = early.get();
        earlySink.hideMarked = a.has("--hide-marked");
        engine->sink = &earlySink;
    }
    on->adviseSequential();
    StderrProgress prog(progressStyle(a), engine->area().size() ? engine->area().size() : bytes);
    engine->progress = &prog;
    if (const uint64_t scanned = engine->area().size() ? engine->area().size() : bytes; scanned)
        prog.resumedFrom(static_cast<double>(engine->resumedAt()) / static_cast<double>(scanned));
    {
        // Ctrl-C stops the scan at its next buffer; what was found so far is
        // listed and nothing is written.
        // (The look every 50 ms ends at once when the scan does.)
        std::jthread watch([&engine](std::stop_token st) {
            std::mutex m;
            std::condition_variable_any cv;
            std::unique_lock<std::mutex> lk(m);
            while (!st.stop_requested() && !platform::interruptFlag().load())
                cv.wait_for(lk, st, std::chrono::milliseconds(50), [] { return false; });
            if (platform::interruptFlag().load()) engine->stopRequested.store(true);
        });
        engine->scanVolume();
    }
    engine->sink = nullptr;
    prog.done();
    const bool interrupted = platform::interruptFlag().load();
    if (interrupted) early.reset();  // nothing written
    if (ses && !interrupted) {
        // An interrupted carve keeps its last checkpoint, so a rerun goes on.
        session::finishCarve(*ses, *engine);
        sayCheckpointsStopped(*ses);
    }

    const bool json = a.has("--json");
    const bool hideMarked = a.has("--hide-marked");
    const auto& items = engine->foundItems();
    const auto& types = engine->types();
    std::vector<size_t> shown;
    std::map<std::string, uint64_t> byStatus;
    for (size_t i = 0; i < items.size(); ++i) {
        const auto& it = items[i];
        if (hideMarked && it.status == raw::FindStatus::Invalid) continue;
        shown.push_back(i);
        const auto& t = types[it.type];
        const std::string status = raw::statusText(it.status);
        ++byStatus[status];
        if (json) {
            std::cout << "{\"start\":" << it.start << ",\"size\":" << it.size
                      << ",\"extension\":" << jsonString(t.extensionText)
                      << ",\"type\":" << jsonString(engine->extensionOf(it)) << ",\"status\":" << jsonString(status)
                      << ",\"category\":" << jsonString(engine->categoryOf(it))
                      << ",\"name\":" << jsonString(engine->itemText(it))
                      << ",\"label\":" << jsonString(engine->labelOf(it));
            // A find in pieces (put back together, or read across live
            // files' clusters): where each piece lies.
            if (const auto parts = engine->pieces(it); parts.size() > 1) {
                std::cout << ",\"pieces\":[";
                const char* sep = "";
                for (const auto& [at, len] : parts) {
                    std::cout << sep << "[" << at << "," << len << "]";
                    sep = ",";
                }
                std::cout << "]";
            }
            std::cout << "}\n";
        } else {
            std::cout << it.start << "\t" << it.size << "\t" << t.extensionText << "\t" << engine->extensionOf(it)
                      << "\t" << status << "\t" << engine->categoryOf(it) << "\n";
        }
    }
    if (!json) {
        for (const auto& [cat, n] : engine->categoryCounts())
            if (n) std::cerr << cat << " (" << n << ")\n";
        std::cerr << shown.size() << " files found";
        const char* sep = " (";
        for (const auto& [status, n] : byStatus) {
            std::cerr << sep << n << " " << status;
            sep = ", ";
        }
        std::cerr << (byStatus.empty() ? "" : ")") << "\n";
    }
    if (interrupted) {
        std::cerr << "brantlow-cli: interrupted: the scan stopped early; the files found so far are listed"
                  << (outDir.empty() ? "" : ", none written") << "\n";
        return kExitInterrupted;
    }
    if (!outDir.empty()) {
        if (early) early->finish();
        auto res = raw::saveFinds(*engine, shown, outDir, nullptr, nullptr, early.get());
        std::cerr << res.written << " files written to " << outDir;
        if (res.failed) std::cerr << ", " << res.failed << " failed (" << res.error << ")";
        if (!outputNote.empty()) std::cerr << "; " << outputNote;
        std::cerr << "\n";
        if (res.failed) return kExitSource;
    }
    return kExitOk;
}

}  // namespace brantlow::cli
