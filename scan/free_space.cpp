#include "scan/free_space.h"

#include "scan/volumes.h"

#include "scan/scan_job.h"

namespace brantlow {

FreeSpace findFreeSpace(const std::shared_ptr<readWriteInterface>& reader, const VolumeEntry& volume,
                        uint64_t volumeBytes, const std::atomic<bool>* stop) {
    FreeSpace out;
    ParserChoice choice = selectParser(volume.fileSystem, ScanMode::Standard);
    if (!choice.parser) {
        out.error = "no file system the program can parse (" + volume.fileSystem + ")";
        return out;
    }
    NullMessageSink quiet;
    ScanContext ctx;
    ctx.volume = VolumeView(volumeReader(volume, reader), volume.startSector * 512, volumeBytes);
    ctx.mode = ScanMode::Standard;
    ctx.messages = &quiet;
    VolumeParser& parser = *choice.parser;
    const ScanOutcome outcome = runScan(parser, ctx);
    if (outcome == ScanOutcome::Rejected || (stop && stop->load())) {
        out.error = outcome == ScanOutcome::Rejected ? "the volume could not be parsed" : "stopped";
        return out;
    }
    parser.loadAllocationMap();
    out.ranges = parser.unallocatedRanges();
    for (const VolumeRange& r : out.ranges) out.freeBytes += r.length;
    if (out.ranges.empty()) out.error = "the volume's allocation map could not be read";
    return out;
}

}  // namespace brantlow
