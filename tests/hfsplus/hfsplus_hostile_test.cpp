// Hostile patches on written HFS+ volumes: record offsets past the node,
// cyclic node links, key lengths past the record, extents past the volume,
// impossible geometry, parent loops and unsafe names. The scan ends, the
// tree walk ends, and a save writes nothing outside its folder.
#include <gtest/gtest.h>

#include <dirent.h>
#include <sys/stat.h>

#include <chrono>
#include <set>

#include "base/bytes.h"
#include "scan/save.h"
#include "tests/hfsplus/hfs_support.h"
#include "tests/support/fixtures.h"

using namespace brantlow;
using namespace brantlow::test;

namespace {

void put16(std::vector<uint8_t>& b, size_t o, uint32_t v) {
    b[o] = static_cast<uint8_t>(v >> 8);
    b[o + 1] = static_cast<uint8_t>(v);
}
void put32(std::vector<uint8_t>& b, size_t o, uint32_t v) {
    put16(b, o, v >> 16);
    put16(b, o + 2, v & 0xFFFF);
}

std::vector<HfsItem> items() {
    std::vector<HfsItem> v;
    v.push_back({.path = "d", .folder = true});
    for (int i = 0; i < 40; ++i) v.push_back({.path = "d/f" + std::to_string(i), .data = pattern(3000 + i, i)});
    v.push_back({.path = "frag.bin", .data = pattern(12 * 4096, 99), .dataFragments = 12});
    v.push_back({.path = "x", .folder = true, .deleted = true, .stale = HfsStale::FreedNode});
    v.push_back({.path = "x/y.txt", .data = pattern(10, 1), .deleted = true, .stale = HfsStale::FreedNode});
    return v;
}

std::set<std::string> entriesOf(const std::string& dir) {
    std::set<std::string> out;
    if (DIR* d = opendir(dir.c_str())) {
        while (dirent* e = readdir(d)) out.insert(e->d_name);
        closedir(d);
    }
    return out;
}

// Scans, walks and saves; the save stays in its folder and everything ends
// within a few seconds.
void survives(std::vector<uint8_t> bytes, const std::string& what) {
    for (ScanMode mode : {ScanMode::Standard, ScanMode::Deep}) {
        const auto t0 = std::chrono::steady_clock::now();
        Scanned s = scanBytes(bytes, mode);
        if (s.outcome != ScanOutcome::Done) {
            EXPECT_EQ(s.outcome, ScanOutcome::Rejected) << what;
            EXPECT_FALSE(s.parser->rejectMessage().empty()) << what;
            continue;
        }
        TempDir tmp;
        const std::string out = tmp.path() + "/out";
        ASSERT_EQ(mkdir(out.c_str(), 0755), 0);
        SaveStats st = saveFolder(*s.parser, kRootId, out, nullptr, nullptr, SaveOptions{true, false, {}});
        (void)st;
        EXPECT_EQ(entriesOf(tmp.path()), (std::set<std::string>{".", "..", "out"})) << what;
        const double secs = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
        EXPECT_LT(secs, 20.0) << what;
    }
}

}  // namespace

TEST(HfsHostile, RecordOffsetsAndKeyLengths) {
    HfsOptions o;
    o.catalogNodeSize = 4096;
    HfsImage img = makeHfsVolume(items(), o);
    const uint64_t leaf = img.catalogLeaves.at(0);
    const uint32_t ns = 4096;
    {
        auto b = img.bytes;  // offsets past the node, odd, inside the table
        for (uint32_t k = 0; k < 6; ++k) put16(b, leaf + ns - 2 - 2 * k, k % 2 ? 0xFFF0 : ns - 3 + k);
        survives(b, "record offsets");
    }
    {
        auto b = img.bytes;  // keyLength 0xFFFF and a name length past the node
        uint32_t off = be16(b.data(), b.size(), leaf + ns - 4);
        put16(b, leaf + off, 0xFFFF);
        off = be16(b.data(), b.size(), leaf + ns - 6);
        put16(b, leaf + off + 6, 0xFFFF);
        survives(b, "key lengths");
    }
    {
        auto b = img.bytes;  // a record offset near the node end
        put16(b, leaf + ns - 2, ns - 16);
        survives(b, "offset near the end");
    }
    {
        auto b = img.bytes;  // numRecords 0xFFFF
        put16(b, leaf + 10, 0xFFFF);
        survives(b, "record count");
    }
}

TEST(HfsHostile, CyclicNodeLinks) {
    HfsImage img = makeHfsVolume(items());
    auto b = img.bytes;
    // Every leaf points to itself, the header's map chain to node 0.
    for (uint64_t leaf : img.catalogLeaves) {
        const uint32_t self = static_cast<uint32_t>((leaf - img.catalogNode0) / 8192);
        put32(b, leaf, self);
        put32(b, leaf + 4, self);
    }
    put32(b, img.catalogNode0, 0);
    put32(b, img.extentsNode0, 1);  // extents header → node 1 (a leaf) as a "map node"
    survives(b, "cyclic links");
    Scanned s = scanBytes(b);
    ASSERT_EQ(s.outcome, ScanOutcome::Done);
    EXPECT_TRUE(s.paths.count("d/f39"));
}

TEST(HfsHostile, ExtentsPastTheVolume) {
    HfsImage img = makeHfsVolume(items());
    Scanned clean = scanBytes(img.bytes);
    // Patch the data fork of d/f0 in its catalog record: first extent far
    // past the end, logical size huge.
    auto b = img.bytes;
    const auto name = std::u16string(u"f0");
    for (uint64_t leaf : img.catalogLeaves) {
        for (uint32_t k = 0; k < 100; ++k) {
            uint32_t off = be16(b.data(), b.size(), leaf + 8192 - 2 - 2 * k);
            if (off < 14 || off >= 8192) break;
            const size_t r = leaf + off;
            if (be16(b.data(), b.size(), r + 6) != 2 || be16(b.data(), b.size(), r + 8) != 'f' ||
                be16(b.data(), b.size(), r + 10) != '0')
                continue;
            const size_t data = r + 2 + be16(b.data(), b.size(), r);
            if (be16(b.data(), b.size(), data) != 2) continue;
            put32(b, data + 88, 0x7FFFFFFF);  // logicalSize high word
            put32(b, data + 100, 0xFFFFFFFF);
            put32(b, data + 104, img.totalBlocks - 1);
            put32(b, data + 108, 1000000);
            put32(b, data + 112, 0xFFFFFFF0);
            put32(b, data + 116, 0xFFFFFFFF);
        }
    }
    survives(b, "extents past the volume");
    Scanned s = scanBytes(b);
    ASSERT_TRUE(s.paths.count("d/f0"));
    MemorySink sink(1 << 20);  // a preview: capped, must end quickly
    WriteResult r = s.parser->writeContent(s.paths.at("d/f0"), sink);
    EXPECT_NE(r.status, WriteStatus::Complete);
    EXPECT_TRUE(sameContent(s.contentOf("d/f1"), clean.contentOf("d/f1")));
}

TEST(HfsHostile, OverflowRecordsThatLoop) {
    HfsImage img = makeHfsVolume(items());
    auto b = img.bytes;
    // The overflow record of frag.bin: its extents add no blocks.
    const uint64_t leaf = img.extentsNode0 + 4096;
    const uint32_t off = be16(b.data(), b.size(), leaf + 4096 - 2);
    for (int i = 0; i < 8; ++i) put32(b, leaf + off + 16 + 8 * i, 0);
    Scanned s = scanBytes(b);
    ASSERT_EQ(s.outcome, ScanOutcome::Done);
    WriteResult r;
    std::string c = s.contentOf("frag.bin", &r);
    EXPECT_EQ(r.status, WriteStatus::Partial);
    EXPECT_EQ(c.size(), 8u * 4096);  // what the record's own 8 extents back
}

TEST(HfsHostile, Geometry) {
    HfsImage img = makeHfsVolume(items());
    {
        auto b = img.bytes;
        put32(b, 1024 + 40, 0x80000000u);  // blockSize 2^31 (both headers)
        put32(b, b.size() - 1024 + 40, 0x80000000u);
        Scanned s = scanBytes(b);
        EXPECT_EQ(s.outcome, ScanOutcome::Rejected);
        EXPECT_EQ(s.parser->rejectMessage(), "BlockSize not valid .Aborting..");
    }
    {
        auto b = img.bytes;
        put32(b, img.catalogNode0 + 14 + 22, 0xFFFFFFFFu);  // totalNodes 2^32 - 1
        survives(b, "total nodes");
        EXPECT_EQ(scanBytes(b).outcome, ScanOutcome::Rejected);
    }
    {
        auto b = img.bytes;
        put16(b, img.catalogNode0 + 14 + 18, 0);  // node size 0
        EXPECT_EQ(scanBytes(b).outcome, ScanOutcome::Rejected);
    }
    {
        auto b = img.bytes;
        b[img.extentsNode0 + 8] = 0x55;  // extents header of an unknown kind
        Scanned s = scanBytes(b);
        EXPECT_EQ(s.outcome, ScanOutcome::Rejected);
        EXPECT_EQ(s.parser->rejectMessage(), "Work Aborted....");
    }
    {
        std::vector<uint8_t> tiny(3000, 0);  // smaller than a node
        tiny[1024] = 'H', tiny[1025] = '+';
        EXPECT_EQ(scanBytes(tiny).outcome, ScanOutcome::Rejected);
        EXPECT_EQ(scanBytes(tiny, ScanMode::Deep).outcome, ScanOutcome::Rejected);
    }
}

// Deleted folders that name each other as parent, and names that would
// leave the output folder: the loop goes under ORPHAN_ENTRY, the names are
// made safe.
TEST(HfsHostile, ParentLoopsAndUnsafeNames) {
    std::vector<HfsItem> v = items();
    v.push_back({.path = "..", .folder = true});
    v.push_back({.path = "../..", .data = pattern(5, 5)});
    v.push_back({.path = "..:..:etc", .data = pattern(6, 6)});  // stored "../../etc"
    v.push_back({.path = "a", .folder = true, .deleted = true});
    v.push_back({.path = "a/b", .folder = true, .deleted = true});
    HfsImage img = makeHfsVolume(v);
    // Make deleted "a" a child of deleted "a/b": a parent loop.
    auto b = img.bytes;
    const uint32_t aId = img.cnids.at("a"), bId = img.cnids.at("a/b");
    for (size_t i = 0; i + 8 < b.size(); i += 2)
        if (be16(b.data(), b.size(), i) == 6 + 2 && be32(b.data(), b.size(), i + 2) == 2 &&
            be16(b.data(), b.size(), i + 6) == 1 && be16(b.data(), b.size(), i + 8) == 'a' &&
            be16(b.data(), b.size(), i + 10) == 1 && be32(b.data(), b.size(), i + 18) == aId)
            put32(b, i + 2, bId);
    survives(b, "parent loop");
    Scanned s = scanBytes(b);
    ASSERT_EQ(s.outcome, ScanOutcome::Done);
    bool loopShown = false;
    for (const auto& [p, info] : s.infos)
        if (p.rfind("ORPHAN_ENTRY/", 0) == 0 && info.name == "a") loopShown = true;
    EXPECT_TRUE(loopShown);
    EXPECT_TRUE(s.paths.count("../../etc"));  // the name holds the "/"s; the save sanitises it
}

// Refused and repaired structures are in the damage log with their byte
// offset; written volumes, with deleted records and a journal, note none.
TEST(HfsHostile, DamageNotesNameTheStructureAndItsOffset) {
    HfsOptions journaled;
    journaled.journal = true;
    journaled.blockSize = 16384;
    for (const HfsOptions& o : {HfsOptions{}, journaled})
        for (ScanMode mode : {ScanMode::Standard, ScanMode::Deep}) {
            Scanned s = scanBytes(makeHfsVolume(items(), o).bytes, mode);
            ASSERT_EQ(s.outcome, ScanOutcome::Done);
            EXPECT_EQ(s.parser->damage().count(), 0u) << s.parser->damage().summary();
        }
    auto noteFor = [](const Scanned& s, const std::string& structure) {
        for (const DamageNote& n : s.parser->damage().notes())
            if (n.structure == structure) return n;
        return DamageNote{};
    };
    HfsOptions o;
    o.catalogNodeSize = 4096;
    HfsImage img = makeHfsVolume(items(), o);
    {
        auto b = img.bytes;  // the primary header wiped: the alternate is used
        std::fill(b.begin() + 1024, b.begin() + 1536, 0);
        Scanned s = scanBytes(b);
        const DamageNote n = noteFor(s, "volume header");
        EXPECT_EQ(n.offset, 1024u) << s.parser->damage().summary();
        EXPECT_EQ(n.what, "block size 0 is not a power of two from 512 to 1 GiB: the alternate header is used");
    }
    {
        auto b = img.bytes;  // a live leaf's first record with key length 0xFFFF
        const uint64_t leaf = img.catalogLeaves.at(0);
        const uint32_t off = be16(b.data(), b.size(), leaf + 4096 - 2);
        put16(b, leaf + off, 0xFFFF);
        Scanned s = scanBytes(b);
        const uint64_t node = (leaf - img.catalogNode0) / 4096;
        const DamageNote n = noteFor(s, "catalog record in catalog node " + std::to_string(node));
        EXPECT_EQ(n.offset, leaf + off) << s.parser->damage().summary();
        EXPECT_EQ(n.what, "key length 65535 outside 6 to 516");
    }
}
