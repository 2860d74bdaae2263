// scanVolume over arbitrary bytes: the input holds a few settings records
// (added to the default types) and the disk bytes; a failing range and a
// volume size past the data come from the input too.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include "disk/reader.h"
#include "disk/volume_view.h"
#include "raw/carve.h"
#include "raw/default_types.h"
#include "raw/settings.h"

using namespace brantlow;
using namespace brantlow::raw;

namespace {

class BytesReader : public readWriteInterface {
public:
    std::vector<uint8_t> data;
    uint64_t failFrom = 0, failTo = 0;
    bool Open(const std::string&) override { return true; }
    uint64_t sizeBytes() const override { return data.size(); }
    long long readAbsolute(uint64_t off, void* buf, size_t count) override {
        if (off < failTo && off + count > failFrom) return -1;
        if (off >= data.size()) return 0;
        size_t n = static_cast<size_t>(std::min<uint64_t>(count, data.size() - off));
        std::memcpy(buf, data.data() + off, n);
        return static_cast<long long>(n);
    }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 4) return 0;
    const size_t nrec = data[0] % 4;
    const uint8_t flags = data[1];
    const uint8_t failSector = data[2];
    size_t pos = 3;
    std::vector<SettingsRecord> recs;
    if (!(flags & 1)) recs = defaultRecords();
    for (size_t i = 0; i < nrec && pos + kRecordBytes <= size; ++i, pos += kRecordBytes)
        recs.push_back(decodeRecord(data + pos));
    auto reader = std::make_shared<BytesReader>();
    // Spread the disk bytes so that sector starts see the input's bytes.
    const size_t stride = (flags & 2) ? 512 : 1;
    const size_t body = size - pos;
    reader->data.assign(std::max<size_t>(body * stride, 1), 0);
    for (size_t i = 0; i < body; ++i) {
        size_t at = (flags & 2) ? (i / 16) * 512 + (i % 16) : i;
        if (at < reader->data.size()) reader->data[at] = data[pos + i];
    }
    if (flags & 4) {
        reader->failFrom = uint64_t{failSector} * 512;
        reader->failTo = reader->failFrom + 512;
    }
    uint64_t bytes = reader->data.size() + ((flags & 8) ? 1000 : 0);

    myJpg engine;
    engine.addRecords(recs);
    if (!engine.initialize()) std::abort();
    engine.volume = VolumeView(reader, 0, bytes);
    engine.volumeBytes = bytes;
    if (!engine.scanVolume()) std::abort();
    for (const auto& it : engine.foundItems()) {
        if (it.start >= bytes || it.size > bytes - it.start) std::abort();
        if (it.start % 512) std::abort();
    }
    return 0;
}
