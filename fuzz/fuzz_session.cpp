// A session file is input like any other. The first byte picks what the
// rest is: the packed extents of a file, a carve or sector scan checkpoint,
// a whole session file (opened as the source it names, its listing read
// and walked), or a chunk of packed listing entries. Whatever is accepted
// reads back as written.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <string>

#include "scan/session/listing_session.h"
#include "scan/session/scan_checkpoints.h"
#include "scan/session/session_codec.h"
#include "scan/session/session_db.h"
#include "scan/session/session_files.h"

using namespace brantlow;
using namespace brantlow::session;

namespace {

class NullSink : public ContentSink {
public:
    bool write(const void*, size_t n) override { return (total_ += n) < (1u << 20); }
    bool writeZeros(uint64_t n) override { return (total_ += n) < (1u << 20); }
    uint64_t size() const override { return total_; }

private:
    uint64_t total_ = 0;
};

void wholeFile(const uint8_t* data, size_t size) {
    char path[] = "/tmp/brantlow-fuzz-session-XXXXXX";
    const int fd = ::mkstemp(path);
    if (fd < 0) return;
    if (::write(fd, data, size) != static_cast<ssize_t>(size)) {
        ::close(fd);
        ::unlink(path);
        return;
    }
    ::close(fd);
    // What the wizard reads of it before anything else (read-only).
    {
        SessionSummary summary;
        Refusal refusal;
        std::string why;
        if (peekSession(path, summary, refusal, why)) (void)sessionOfferText(summary);
    }
    // The job and sources it names, so that the rows are read.
    std::string job;
    std::vector<SourceIdentity> ids;
    {
        Database db;
        if (db.open(path, false)) {
            Statement j(db, "SELECT value FROM meta WHERE key = 'job'");
            if (j.step()) job = j.text(0);
            Statement s(db, "SELECT path, size, hash FROM sources ORDER BY idx");
            while (s.step() && ids.size() < 8) ids.push_back({s.text(0), static_cast<uint64_t>(s.integer(1)), s.text(2)});
        }
    }
    Opening o = SessionFile::open(path, SessionKind::Listing, job, ids, false);
    if (o.file) {
        VolumeEntry volume;
        uint64_t startByte = 0, sizeBytes = 0;
        bool layered = false;
        recordedVolume(*o.file, volume, startByte, sizeBytes, layered);
        (void)recordedMode(*o.file);
        StoredListing l;
        std::string why;
        if (l.load(std::move(o.file), why)) {
            std::vector<EntryId> stack{kRootId};
            size_t seen = 0;
            while (!stack.empty() && seen < 100000) {
                const EntryId id = stack.back();
                stack.pop_back();
                for (EntryId c : l.children(id)) {
                    ++seen;
                    EntryInfo info;
                    if (!l.entryInfo(c, info)) std::abort();
                    (void)l.contentRanges(c);
                    (void)l.streams(c);
                    NullSink sink;
                    // Extents (read from no volume: zeros) and kept bytes.
                    if (info.kind != EntryKind::Folder) (void)l.writeContent(c, sink);
                    stack.push_back(c);
                }
            }
        }
    }
    for (const char* suffix : {"", "-wal", "-shm"}) ::unlink((std::string(path) + suffix).c_str());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) return 0;
    const uint8_t pick = data[0] % 5;
    ++data;
    --size;
    if (pick == 0) {
        std::vector<VolumeRange> r;
        if (decodeRanges(data, size, r)) {
            const std::string again = encodeRanges(r);
            std::vector<VolumeRange> back;
            if (!decodeRanges(reinterpret_cast<const uint8_t*>(again.data()), again.size(), back) ||
                back.size() != r.size())
                std::abort();
        }
    } else if (pick == 1) {
        raw::CarveProgress p;
        if (decodeCarveProgress(data, size, p) && encodeCarveProgress(p) != std::string(reinterpret_cast<const char*>(data), size)) {
            raw::CarveProgress q;
            const std::string again = encodeCarveProgress(p);
            if (!decodeCarveProgress(reinterpret_cast<const uint8_t*>(again.data()), again.size(), q)) std::abort();
        }
    } else if (pick == 2) {
        SectorScanProgress p;
        if (decodeSectorScanProgress(data, size, p)) {
            SectorScanProgress q;
            const std::string again = encodeSectorScanProgress(p);
            if (!decodeSectorScanProgress(reinterpret_cast<const uint8_t*>(again.data()), again.size(), q) ||
                q.withIdentity.size() != p.withIdentity.size())
                std::abort();
        }
    } else if (pick == 3) {
        wholeFile(data, size);
    } else {
        // Packed entries one after the other: each accepted one packs again
        // to bytes that read back to the same bytes.
        BlobReader r(data, size);
        PackedEntry e, back;
        while (!r.atEnd() && decodeEntry(r, e)) {
            BlobWriter once, twice;
            encodeEntry(once, e);
            BlobReader again(reinterpret_cast<const uint8_t*>(once.data().data()), once.data().size());
            if (!decodeEntry(again, back) || !again.atEnd()) std::abort();
            encodeEntry(twice, back);
            if (twice.data() != once.data()) std::abort();
        }
    }
    return 0;
}
