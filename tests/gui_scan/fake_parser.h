// An in-memory parser for the scan page tests: a small tree with folders,
// deleted files, a sibling cycle and a folder of a thousand files. Its scan
// walks the entries one step at a time, reading the volume at each step (so
// a counting reader shows when it runs) and polling stop and the pause gate.
#pragma once

#include <atomic>
#include <string>
#include <vector>

#include "fs/api/parser.h"

namespace brantlow::test {

class FakeParser : public VolumeParser {
public:
    struct Entry {
        std::string name;
        EntryKind kind = EntryKind::File;
        EntryState state = EntryState::Live;
        std::string content;
        EntryId parent = kRootId;
        EntryId firstChild = kNone;
        EntryId nextSibling = kNone;
        int64_t mtime = 0;
    };
    static constexpr EntryId kNone = ~0ull - 1;

    FakeParser();

    // Adds an entry as the last child of parent; returns its id.
    EntryId add(EntryId parent, const std::string& name, EntryKind kind, EntryState state = EntryState::Live,
                const std::string& content = {});
    EntryId find(const std::string& path) const;  // "docs/a.txt"

    ScanOutcome scan(ScanContext& ctx) override;
    std::vector<EntryId> children(EntryId folder) const override;
    bool readEntry(EntryId id, EntryInfo& out) const override;
    ListTexts listTexts(EntryId id) const override;
    WriteResult writeContent(EntryId id, ContentSink& out) override;
    const char* endingStatus(ScanOutcome) const override { return ownEnding; }

    std::vector<Entry> entries;
    std::vector<EntryId> rootChildren;
    int stepDelayUs = 0;        // per scan step
    int writeDelayMs = 0;       // per written file
    bool repeatChildren = false;  // children() hands out repeats and the parent itself
    std::vector<EntryId> partial;  // written half, reported partial
    std::vector<EntryId> failing;  // nothing readable, reported failed
    const char* ownEnding = nullptr;  // a status text instead of the common ending (as HFS+)
    std::atomic<size_t> found{0};  // entries the scan has reached
    std::atomic<int> textCalls{0};
    std::atomic<int> steps{0};
    VolumeView volume;
};

// The standard test tree: docs/ (a.txt, b.txt, deleted old.txt, sub/c.txt),
// pics/ (p1.jpg, deleted p2.png, notes.txt), big/ (1000 files), loop/
// (x, y whose sibling link points back to x), gone.txt (deleted), top.bin.
void buildSampleTree(FakeParser& p);

}  // namespace brantlow::test
