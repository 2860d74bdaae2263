#include "scan/scan_job.h"

#include <cstdlib>

#include "base/texts.h"
#include "fs/filesystems.h"
#include "scan/recycle.h"
#include "scan/type_guess.h"

namespace brantlow {

ParserChoice selectParser(const std::string& fileSystem, ScanMode mode) {
    ParserChoice c;
    const ParserRow* row = findParserRow(fileSystem);
    if (!row) return c;
    c.statusText = row->statusText ? row->statusText : "";
    c.hasProcedure = row->runs(mode);
    if (c.hasProcedure) c.parser = row->make();
    return c;
}

uint64_t volumeSizeBytes(const VolumeEntry& v, uint64_t diskBytes) {
    uint64_t bytes = 0;
    if (v.sizeSectors && !__builtin_mul_overflow(v.sizeSectors, 512ull, &bytes)) return bytes;
    // The size text in MiB ("1024   MB", "1024  MB", "1024").
    uint64_t mib = std::strtoull(v.sizeText.c_str(), nullptr, 10);
    if (mib && !__builtin_mul_overflow(mib, 1048576ull, &bytes)) return bytes;
    uint64_t start = 0;
    if (__builtin_mul_overflow(v.startSector, 512ull, &start) || start >= diskBytes) return 0;
    return diskBytes - start;
}

ScanOutcome runScan(VolumeParser& parser, ScanContext& ctx) {
    if (!ctx.options.guessExtension) ctx.options.guessExtension = guessExtensionFromBytes;
    ScanOutcome out = parser.scan(ctx);
    // The allocation map, read here on the worker, so that the list's
    // recoverability column never waits for it.
    if (out != ScanOutcome::Rejected && !parser.stopRequested.load()) parser.loadAllocationMap();
    if (const char* ending = parser.endingStatus(out)) {
        // A status line only; a rejected volume still says why.
        if (out == ScanOutcome::Rejected && ctx.messages && !parser.rejectMessage().empty())
            ctx.messages->info(parser.rejectMessage());
        if (auto* t = dynamic_cast<ThrottledProgress*>(ctx.progress)) t->flush();
        ctx.status(ending);
        if (auto* t = dynamic_cast<ThrottledProgress*>(ctx.progress)) t->flush();
        return out;
    }
    if (out == ScanOutcome::Rejected) {
        if (ctx.messages) ctx.messages->info(parser.rejectMessage());
        return out;
    }
    // Files in the recycle bin show under their former names.
    restoreRecycleNames(parser, &parser.stopRequested);
    if (out == ScanOutcome::Failed && ctx.messages) ctx.messages->info(parser.rejectMessage());
    if (auto* t = dynamic_cast<ThrottledProgress*>(ctx.progress)) t->flush();
    if (ctx.messages) ctx.messages->info(kScanDoneText);
    ctx.status(kScanDoneText);
    return out;
}

ScanJob::~ScanJob() { abandon(); }

void ScanJob::start(VolumeParser* parser, ScanContext ctx, std::function<void(ScanOutcome)> onEnd) {
    join();
    parser_ = parser;
    ctx.gate = &gate_;
    ctx.volume.setPauseGate(&gate_);
    running_.store(true, std::memory_order_release);
    thread_ = std::thread([this, parser, ctx, onEnd]() mutable {
        ScanOutcome out = runScan(*parser, ctx);
        running_.store(false, std::memory_order_release);
        if (onEnd) onEnd(out);
    });
}

void ScanJob::stop() {
    // Once the worker has ended, the parser may be gone.
    if (parser_ && running()) parser_->stopRequested.store(true, std::memory_order_relaxed);
}

void ScanJob::abandon() {
    stop();
    gate_.release();
    join();
}

void ScanJob::join() {
    if (thread_.joinable()) thread_.join();
}

}  // namespace brantlow
