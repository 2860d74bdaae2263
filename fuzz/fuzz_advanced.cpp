// Advanced mode on hostile volumes: the input is laid out as the start of a
// 4 MiB volume whose boot sector is zeroed (and copied again at 1 MiB and
// 3 MiB, so that candidates point at each other), then the candidate search
// and the Advanced scan of a file system of the table that offers one run
// over it, the tree is
// walked and a few files are written. Everything must end, stay in bounds
// and never write more than a file's size.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

#include "fs/advanced_search.h"
#include "fs/filesystems.h"
#include "fuzz/piece_reader.h"
#include "fuzz/walk_and_write.h"

using namespace brantlow;

namespace {

void exercise(VolumeParser& p, const std::shared_ptr<PieceReader>& r, ScanOptions o) {
    ScanContext ctx;
    ctx.mode = ScanMode::Advanced;
    ctx.options = o;
    ctx.volume = VolumeView(r, 0, r->bytes.size());
    if (p.scan(ctx) != ScanOutcome::Done) return;
    walkAndWrite(p);
}

}  // namespace

// The parsers with an Advanced-mode search.
static std::vector<const ParserRow*> advancedRows() {
    std::vector<const ParserRow*> out;
    for (const FileSystemRow& fsRow : fileSystemTable())
        for (const ParserRow& p : fsRow.parsers)
            if (p.advanced.search) out.push_back(&p);
    return out;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2 || size > (1u << 20)) return 0;
    static const std::vector<const ParserRow*> rows = advancedRows();
    if (rows.empty()) return 0;
    const ParserRow& row = *rows[data[0] % rows.size()];
    const int shift = data[1] % 9 - 1;  // -1: not chosen
    data += 2;
    size -= 2;
    auto r = std::make_shared<PieceReader>();
    r->bytes.assign(4u << 20, 0);
    for (size_t at : {size_t{0}, size_t{1} << 20, size_t{3} << 20})
        std::memcpy(r->bytes.data() + at, data, std::min<size_t>(size, (1u << 20)));
    std::memset(r->bytes.data(), 0, std::min<size_t>(512, r->bytes.size()));
    const VolumeView view(r, 0, r->bytes.size());
    AdvancedSearch s = searchAdvancedCandidates(row.listName, view, 3, nullptr, nullptr);
    ScanOptions o;
    o.advancedClusterShift = shift;
    if (!s.candidates.empty()) o.advancedCandidate = s.candidates.back().position;
    std::unique_ptr<VolumeParser> p = row.make();
    exercise(*p, r, o);
    o.advancedCandidate = -1;
    exercise(*p, r, o);
    return 0;
}
