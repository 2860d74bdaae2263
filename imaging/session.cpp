#include "imaging/session.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <vector>

#include "platform/files.h"
#include "platform/image_io.h"

namespace brantlow::imaging {

namespace {
constexpr uint64_t kMaxMapBytes = 256ull << 20;
}

ImagingSession::~ImagingSession() {
    rescuer_.reset();
    platform::releaseLockBeside(lockFd_, request_.map);
}

bool ImagingSession::open(const ImagingRequest& req, std::string* why, ImagingRefusal* kind) {
    request_ = req;
    auto refuse = [&](ImagingRefusal k, std::string text) {
        *kind = k;
        *why = std::move(text);
        return false;
    };
    if (req.image.empty() || req.map.empty()) return refuse(ImagingRefusal::Usage, "name the image and its map");
    if (req.image == req.map || platform::sameFile(req.image, req.map))
        return refuse(ImagingRefusal::Usage, "the image and the map must be two files");
    for (const std::string* out : {&req.image, &req.map}) {
        if (platform::sameFile(*out, req.source))
            return refuse(ImagingRefusal::Usage, *out + " is the source itself: it is only ever read");
        if (platform::writesOntoDevice(*out, req.source))
            return refuse(ImagingRefusal::Usage,
                          *out + " lies on the source disk (or one of its partitions): choose another disk");
    }
    source_ = std::make_shared<ImagingSource>();
    if (!source_->Open(req.source))
        return refuse(ImagingRefusal::Source, "cannot read " + req.source + ": " + std::strerror(source_->openError()));
    if (source_->sizeBytes() == 0) return refuse(ImagingRefusal::Source, req.source + " is empty");
    int err = 0;
    lockFd_ = platform::lockBeside(req.map, &err);
    if (lockFd_ == -1) return refuse(ImagingRefusal::MapInUse, "the map " + req.map + " is in use by another run");
    if (lockFd_ < 0) return refuse(ImagingRefusal::Destination, "cannot lock the map " + req.map + ": " + std::strerror(err));
    std::vector<uint8_t> bytes;
    const int e = platform::readWholeFile(req.map, kMaxMapBytes, bytes);
    if (e && e != ENOENT)
        return refuse(ImagingRefusal::MapRefused, "cannot read the map " + req.map + ": " + std::strerror(e));
    MapError merr;
    auto m = RescueMap::parse(std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()), &merr,
                              source_->sizeBytes());
    if (!m) return refuse(ImagingRefusal::MapRefused, "the map " + req.map + " is refused: " + merr.message());
    map_ = std::make_shared<RescueMap>(std::move(*m));
    if (int ie = image_.open(req.image))
        return refuse(ImagingRefusal::Destination, "cannot write the image " + req.image + ": " + std::strerror(ie));
    RescueOptions o = req.options;
    if (o.sectorSize < source_->sectorSize()) o.sectorSize = source_->sectorSize();
    // Direct reads have no read-ahead: larger ones keep the disk streaming.
    if (source_->direct() && o.readSize == RescueOptions().readSize) o.readSize = 1u << 20;
    rescuer_ = std::make_unique<Rescuer>(*source_, image_, *map_, o);
    started_ = mapTimeNow();
    rescuer_->setMapSaver([this](const RescueMap& map) {
        const std::string text = map.format({"Mapfile. Created by Brantlow 1.0", "Command line: " + request_.commandLine,
                                             "Start time:   " + started_, "Current time: " + mapTimeNow(),
                                             phaseText(map.phase)});
        return platform::writeFileDurably(request_.map, text.data(), text.size());
    });
    source_->adviseSequential();
    return true;
}

std::string ImagingSession::endText(const RescueResult& r) const {
    switch (r.end) {
        case RescueEnd::Finished: break;
        case RescueEnd::Stopped: return "interrupted; the map is saved: the same command goes on from here";
        case RescueEnd::SourceGone:
            return "the source has gone (unplugged?); the map is saved: run the same command again when it is back";
        case RescueEnd::DestinationFailed:
            return std::string("cannot write the image: ") + std::strerror(r.error) +
                   "; the map is saved: free space (or choose a writable disk) and run the same command again";
        case RescueEnd::MapNotSaved:
            return std::string("cannot save the map: ") + std::strerror(r.error) + "; the copy stopped";
    }
    const RescueStatus s = rescuer_->status();
    if (s.rescued == s.domainBytes) return "finished: every byte rescued";
    return "finished: " + std::to_string(s.domainBytes - s.rescued) + " bytes in " + std::to_string(s.errorAreas) +
           " areas could not be read (marked in the map)";
}

std::string bytesText(uint64_t b) {
    const char* units[] = {"B", "KiB", "MiB", "GiB", "TiB", "PiB"};
    double v = static_cast<double>(b);
    int u = 0;
    while (v >= 1024 && u < 5) {
        v /= 1024;
        ++u;
    }
    char out[32];
    if (u == 0)
        std::snprintf(out, sizeof out, "%llu B", static_cast<unsigned long long>(b));
    else
        std::snprintf(out, sizeof out, "%.2f %s", v, units[u]);
    return out;
}

std::string statusText(const RescueStatus& s) {
    char pct[16];
    std::snprintf(pct, sizeof pct, "%.1f%%",
                  s.domainBytes ? 100.0 * static_cast<double>(s.rescued) / static_cast<double>(s.domainBytes) : 100.0);
    std::string t = "rescued " + bytesText(s.rescued) + " of " + bytesText(s.domainBytes) + " (" + pct + "), " +
                    std::to_string(s.errorAreas) + (s.errorAreas == 1 ? " error (" : " errors (") +
                    bytesText(s.errorBytes) + "), " + bytesText(static_cast<uint64_t>(s.rate)) + "/s, last good read " +
                    std::to_string(static_cast<long long>(s.sinceGoodRead)) + " s ago, ";
    if (s.remaining >= 0) {
        const long long r = static_cast<long long>(s.remaining);
        char left[32];
        std::snprintf(left, sizeof left, "%02lld:%02lld:%02lld left, ", r / 3600, r / 60 % 60, r % 60);
        t += left;
    }
    return t + phaseWord(s.phase) + (s.phase == RescuePhase::Finished ? "" : " pass " + std::to_string(s.pass));
}

std::string mapTimeNow() {
    const std::time_t now = std::time(nullptr);
    std::tm tm{};
    localtime_r(&now, &tm);
    char b[32];
    std::strftime(b, sizeof b, "%Y-%m-%d %H:%M:%S", &tm);
    return b;
}

}  // namespace brantlow::imaging
