#include "layers/testlayer/testlayer.h"

#include <algorithm>
#include <cstring>

#include "base/bytes.h"
#include "disk/segment_reader.h"

namespace brantlow {

namespace {

constexpr char kMagic[16] = {'B', 'R', 'A', 'N', 'T', 'L', 'O', 'W', '-', 'L', 'A', 'Y', 'E', 'R', 0, 0};
constexpr const char* kName = "TESTLAYER";

struct Header {
    uint64_t offset = 0, length = 0;
    uint8_t mask = 0;
    bool asks = false;
};

bool decode(const uint8_t* b, size_t n, Header& h) {
    if (n < 512 || std::memcmp(b, kMagic, sizeof kMagic) != 0) return false;
    h.offset = le64(b, n, 16);
    h.length = le64(b, n, 24);
    h.mask = le8(b, n, 32);
    h.asks = le8(b, n, 33) == 1;
    return h.offset >= 512 && h.offset % 512 == 0 && h.length % 512 == 0 && h.length > 0 &&
           h.offset <= UINT64_MAX - h.length;
}

bool probe(const uint8_t* head, size_t len, ProbeResult& out) {
    Header h;
    if (!decode(head, len, h)) return false;
    out.fileSystem = kName;
    out.sizeSectors = (h.offset + h.length) / 512;
    return true;
}

LayerOpen open(const std::vector<VolumeView>& sources, const LayerAnswers& answers) {
    LayerOpen r;
    if (sources.empty() || !sources[0].reader()) return r;
    const VolumeView& v = sources[0];
    uint8_t b[512];
    Header h;
    if (!v.readExact(0, b, sizeof b) || !decode(b, sizeof b, h)) {
        r.error = "the test layer's header cannot be read";
        return r;
    }
    if (h.asks) {
        r.question.kind = LayerQuestion::Kind::Passphrase;
        r.question.prompt = "Passphrase for the test layer: ";
        if (answers.passphrase.empty()) {
            r.needsAnswer = true;
            return r;
        }
        if (answers.passphrase.data()[0] != h.mask) {
            r.needsAnswer = true;
            r.error = r.question.lastError = "wrong passphrase";
            return r;
        }
    }
    if (h.offset >= v.sizeBytes()) {
        r.error = "the test layer's payload lies beyond its volume";
        return r;
    }
    const uint64_t length = std::min(h.length, v.sizeBytes() - h.offset);
    SegmentReader::Transform unmask;
    if (h.mask) {
        const uint8_t m = h.mask;
        unmask = [m](uint64_t, uint8_t* bytes, size_t n) {
            for (size_t i = 0; i < n; ++i) bytes[i] ^= m;
        };
    }
    auto reader = std::make_shared<SegmentReader>(
        std::vector<SegmentReader::Segment>{{v.readerPtr(), v.startByte() + h.offset, length}}, unmask);
    r.volumes.push_back({reader, "test layer"});
    return r;
}

}  // namespace

LayerRow testLayerRow() {
    LayerRow row;
    row.probe = {"testlayer", probe};
    row.probe.kinds = {{kName, "found test layer...", "", false, false, false, 0}};
    row.probe.scanMarks = {ScanMark::of(0, kMagic, 8)};
    row.open = open;
    return row;
}

}  // namespace brantlow
