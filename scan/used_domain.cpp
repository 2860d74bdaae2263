#include "scan/used_domain.h"

#include <algorithm>
#include <mutex>

#include "disk/mapped_reader.h"
#include "disk/partition.h"
#include "fs/filesystems.h"
#include "scan/scan_job.h"
#include "scan/tree_walk.h"

namespace brantlow {

namespace {

// Metadata is read in small pieces; each is copied with its neighbourhood.
constexpr uint64_t kWindow = 128 << 10;

// A reader over the image being made: what a scan asks for is copied from
// the source first, then read through the map (what failed is unreadable).
class CopyOnRead : public readWriteInterface {
public:
    CopyOnRead(imaging::ImagingSession& s, std::shared_ptr<readWriteInterface> image, const std::atomic<bool>* stop)
        : session_(s), view_(std::move(image), s.map()), stop_(stop) {}
    bool Open(const std::string&) override { return false; }
    uint64_t sizeBytes() const override { return session_.sourceSize(); }
    long long readAbsolute(uint64_t offset, void* buffer, size_t count) override {
        std::lock_guard<std::mutex> lk(mutex_);
        if (count && result_.end == imaging::RescueEnd::Finished && !(stop_ && stop_->load())) {
            const uint64_t from = offset / kWindow * kWindow;
            const uint64_t to = std::min(sizeBytes(), (offset + count + kWindow - 1) / kWindow * kWindow);
            if (from < to) {
                if (!ranges.empty() && from <= ranges.back().first + ranges.back().second &&
                    from >= ranges.back().first)
                    ranges.back().second = std::max(ranges.back().second, to - ranges.back().first);
                else
                    ranges.push_back({from, to - from});
                result_ = session_.rescuer().copyNow(from, to - from, stop_);
            }
        }
        return view_.readAbsolute(offset, buffer, count);
    }
    const imaging::RescueResult& result() const { return result_; }
    std::vector<std::pair<uint64_t, uint64_t>> ranges;

private:
    imaging::ImagingSession& session_;
    MappedReader view_;
    const std::atomic<bool>* stop_;
    std::mutex mutex_;
    imaging::RescueResult result_;
};

class CollectUsed : public PartitionOwner {
public:
    std::vector<VolumeEntry> entries;
    void addEntry(const VolumeEntry& e) override { entries.push_back(e); }
};

uint64_t total(std::vector<std::pair<uint64_t, uint64_t>> r) {
    std::sort(r.begin(), r.end());
    uint64_t n = 0, end = 0;
    for (auto [pos, size] : r) {
        const uint64_t e = pos + size;
        if (e <= end) continue;
        n += e - std::max(pos, end);
        end = e;
    }
    return n;
}

}  // namespace

UsedDomainResult imageUsedDomain(imaging::ImagingSession& session, const std::atomic<bool>* stop,
                                 const std::function<void(const std::string&)>& say) {
    UsedDomainResult out;
    auto image = std::make_shared<FileReadSeek>();
    if (!image->Open(session.request().image)) {
        out.rescue = {imaging::RescueEnd::DestinationFailed, image->openError()};
        return out;
    }
    auto reader = std::make_shared<CopyOnRead>(session, image, stop);
    CollectUsed found;
    Partition walk;
    walk.owner = &found;
    ReadPartitionTables(*reader, walk, probeTable());
    std::vector<std::pair<uint64_t, uint64_t>> files;
    for (const VolumeEntry& v : found.entries) {
        if ((stop && stop->load()) || reader->result().end != imaging::RescueEnd::Finished) break;
        const std::string name = "volume " + v.volumeNumber + " (" + (v.fileSystem.empty() ? "unknown" : v.fileSystem) + ")";
        ParserChoice choice = selectParser(v.fileSystem, ScanMode::Standard);
        const uint64_t start = v.startSector * 512;
        if (!choice.parser || start >= reader->sizeBytes()) {
            say(name + ": no file system this tool reads; its sectors are left for a run without --domain");
            out.complete = false;
            continue;
        }
        ScanContext ctx;
        ctx.volume = VolumeView(reader, start, std::min(volumeSizeBytes(v, reader->sizeBytes()), reader->sizeBytes() - start));
        if (runScan(*choice.parser, ctx) == ScanOutcome::Rejected) {
            say(name + ": its metadata could not be read; its sectors are left for a run without --domain");
            out.complete = false;
            continue;
        }
        choice.parser->loadAllocationMap();
        const size_t before = files.size();
        walkTree(*choice.parser, kRootId, [&](const std::string&, EntryId id, const EntryInfo& info) {
            if (info.kind == EntryKind::File && info.state == EntryState::Live) {
                std::vector<EntryId> ids{id};
                for (EntryId s : choice.parser->streams(id)) ids.push_back(s);
                for (EntryId f : ids)
                    for (const VolumeRange& r : choice.parser->contentRanges(f))
                        if (r.offset < ctx.volume.sizeBytes())
                            files.push_back({start + r.offset, std::min(r.length, ctx.volume.sizeBytes() - r.offset)});
            }
            return !(stop && stop->load());
        }, stop);
        say(name + ": metadata read; " + std::to_string(files.size() - before) + " pieces of live files to copy");
    }
    out.metadataBytes = total(reader->ranges);
    out.fileBytes = total(files);
    if (reader->result().end != imaging::RescueEnd::Finished) {
        out.rescue = reader->result();
        session.rescuer().saveMap();
        return out;
    }
    if (stop && stop->load()) {
        out.rescue = {imaging::RescueEnd::Stopped, 0};
        session.rescuer().saveMap();
        return out;
    }
    // The metadata again (scraping what failed), and the files.
    std::vector<std::pair<uint64_t, uint64_t>> domain = reader->ranges;
    domain.insert(domain.end(), files.begin(), files.end());
    if (domain.empty()) domain.push_back({0, 0});  // nothing: an empty domain, not the whole disk
    session.rescuer().setDomain(std::move(domain));
    out.rescue = session.rescuer().run(stop);
    return out;
}

}  // namespace brantlow
