// Helpers of the HFS+ tests: scanning a volume held in memory and walking
// its tree into a path → entry table.
#pragma once

#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "fs/hfsplus/hfsplus.h"
#include "scan/tree_walk.h"
#include "tests/support/hfs_writer.h"
#include "tests/support/memory_reader.h"

namespace brantlow::test {

struct Scanned {
    std::shared_ptr<MemoryReader> reader;
    std::unique_ptr<HFSP> parser;
    ScanOutcome outcome = ScanOutcome::Failed;
    std::map<std::string, EntryId> paths;
    std::map<std::string, EntryInfo> infos;

    std::string content(EntryId id, WriteResult* res = nullptr) const {
        MemorySink sink(1u << 30);
        WriteResult r = parser->writeContent(id, sink);
        if (res) *res = r;
        return std::string(sink.bytes.begin(), sink.bytes.end());
    }
    std::string contentOf(const std::string& path, WriteResult* res = nullptr) const {
        auto it = paths.find(path);
        return it == paths.end() ? std::string("<not listed>") : content(it->second, res);
    }
};

inline Scanned scanBytes(std::vector<uint8_t> bytes, ScanMode mode = ScanMode::Standard) {
    Scanned s;
    s.reader = std::make_shared<MemoryReader>(std::move(bytes));
    s.parser = std::make_unique<HFSP>();
    ScanContext ctx;
    ctx.volume = VolumeView(s.reader, 0, s.reader->data.size());
    ctx.mode = mode;
    s.outcome = s.parser->scan(ctx);
    if (s.outcome == ScanOutcome::Done)
        walkTree(*s.parser, kRootId, [&](const std::string& path, EntryId id, const EntryInfo& info) {
            s.paths.emplace(path, id);
            s.infos.emplace(path, info);
            return true;
        });
    return s;
}

inline std::vector<uint8_t> pattern(size_t n, uint32_t seed) {
    std::vector<uint8_t> v(n);
    uint32_t x = seed * 2654435761u + 1;
    for (size_t i = 0; i < n; ++i) {
        x = x * 1103515245u + 12345u;
        v[i] = static_cast<uint8_t>(x >> 16);
    }
    return v;
}

inline std::string str(const std::vector<uint8_t>& v) { return std::string(v.begin(), v.end()); }

// Content equality without printing the bytes.
inline ::testing::AssertionResult sameContent(const std::string& got, const std::string& want) {
    if (got == want) return ::testing::AssertionSuccess();
    size_t i = 0;
    while (i < got.size() && i < want.size() && got[i] == want[i]) ++i;
    return ::testing::AssertionFailure() << "got " << got.size() << " bytes, want " << want.size()
                                         << ", first difference at " << i
                                         << (got == "<not listed>" ? " (not listed)" : "");
}

}  // namespace brantlow::test
