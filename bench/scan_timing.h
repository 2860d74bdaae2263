// In-process timing of a file system's scan and of walking its result tree,
// without process start-up or output: the part the bench_<fs> programs
// (`bench_<fs> IMAGE [RUNS]`) share.
#pragma once

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>

#include "disk/reader.h"
#include "scan/tree_walk.h"

namespace brantlow::bench {

// Opens IMAGE (argv[1]) and reads RUNS (argv[2], default 5); nullptr after
// printing the usage or the error.
inline std::shared_ptr<FileReadSeek> openImage(int argc, char** argv, const char* program, int& runs) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s IMAGE [RUNS]\n", program);
        return nullptr;
    }
    runs = argc > 2 ? std::atoi(argv[2]) : 5;
    auto reader = std::make_shared<FileReadSeek>();
    if (!reader->Open(argv[1])) {
        std::fprintf(stderr, "cannot open %s\n", argv[1]);
        return nullptr;
    }
    return reader;
}

struct ScanTiming {
    double scan = 1e9, walk = 1e9;  // the best of the runs, in seconds
    size_t entries = 0, deleted = 0;
};

// Scans the whole image `runs` times with a new Parser and walks its tree,
// keeping the best times; after the last run prints the parser's phases and
// calls last(parser) for its own figures. Prints "not WHAT" and returns
// false when a scan fails.
template <class Parser, class Last>
bool timeScans(const std::shared_ptr<FileReadSeek>& reader, int runs, const char* what, ScanTiming& t, Last&& last) {
    for (int r = 0; r < runs; ++r) {
        auto p = std::make_unique<Parser>();
        ScanContext ctx;
        ctx.volume = VolumeView(reader, 0, reader->sizeBytes());
        auto t0 = std::chrono::steady_clock::now();
        if (p->scan(ctx) != ScanOutcome::Done) {
            std::fprintf(stderr, "not %s\n", what);
            return false;
        }
        auto t1 = std::chrono::steady_clock::now();
        t.entries = t.deleted = 0;
        walkTree(*p, kRootId, [&](const std::string&, EntryId, const EntryInfo& info) {
            ++t.entries;
            t.deleted += info.state == EntryState::Deleted;
            return true;
        });
        auto t2 = std::chrono::steady_clock::now();
        t.scan = std::min(t.scan, std::chrono::duration<double>(t1 - t0).count());
        t.walk = std::min(t.walk, std::chrono::duration<double>(t2 - t1).count());
        if (r == runs - 1) {
            for (const auto& [name, sec] : p->phaseSeconds()) std::printf("  %s %.4f s", name.c_str(), sec);
            std::printf("\n");
            last(*p);
        }
    }
    std::printf("entries %zu (%zu deleted)  scan %.4f s  tree walk %.4f s  (%.2f us/entry, best of %d)\n", t.entries,
                t.deleted, t.scan, t.walk, (t.scan + t.walk) * 1e6 / (t.entries ? t.entries : 1), runs);
    return true;
}

}  // namespace brantlow::bench
