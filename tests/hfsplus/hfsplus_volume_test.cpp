// HFS+ volumes written at test time: geometry, forks, names, links,
// compression and deleted records, checked through the parser.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>

#include "tests/support/fixtures.h"

#include "tests/hfsplus/hfs_support.h"

using namespace brantlow;
using namespace brantlow::test;

namespace {

std::vector<HfsItem> baseline() {
    std::vector<HfsItem> v;
    v.push_back({.path = "Docs", .folder = true});
    v.push_back({.path = "Docs/a.txt", .data = pattern(5000, 1)});
    v.push_back({.path = "Docs/Sub", .folder = true});
    v.push_back({.path = "Docs/Sub/b.bin", .data = pattern(70001, 2)});
    v.push_back({.path = "empty.txt"});
    v.push_back({.path = "top.bin", .data = pattern(1, 3)});
    return v;
}

void expectBaseline(const Scanned& s, const std::string& where) {
    ASSERT_EQ(s.outcome, ScanOutcome::Done) << where;
    EXPECT_TRUE(sameContent(s.contentOf("Docs/a.txt"), str(pattern(5000, 1)))) << where;
    EXPECT_TRUE(sameContent(s.contentOf("Docs/Sub/b.bin"), str(pattern(70001, 2)))) << where;
    EXPECT_TRUE(sameContent(s.contentOf("top.bin"), str(pattern(1, 3)))) << where;
    ASSERT_TRUE(s.paths.count("empty.txt")) << where;
    EXPECT_EQ(s.infos.at("empty.txt").size, 0u);
    EXPECT_EQ(s.paths.size(), 6u) << where;
}

}  // namespace

// Node sizes 512 B-32 KiB against block sizes 512 B-64 KiB, node n read at
// start × blockSize + n × nodeSize whether a node spans blocks or a block
// holds several nodes.
TEST(HfsVolume, NodeAndBlockSizes) {
    const uint32_t blocks[] = {512, 4096, 16384, 65536};
    const uint32_t nodes[] = {512, 4096, 8192, 32768};
    for (uint32_t bs : blocks)
        for (uint32_t ns : nodes) {
            HfsOptions o;
            o.blockSize = bs;
            o.catalogNodeSize = ns;
            o.extentsNodeSize = ns == 32768 ? 4096 : ns;
            o.spareBlocks = 4;
            expectBaseline(scanBytes(makeHfsVolume(baseline(), o).bytes),
                           "block " + std::to_string(bs) + " node " + std::to_string(ns));
        }
}

// HFSX (case-sensitive): names that differ only in case are two files.
TEST(HfsVolume, HfsxCaseSensitiveNames) {
    HfsOptions o;
    o.hfsx = true;
    auto items = baseline();
    items.push_back({.path = "Docs/README", .data = pattern(10, 4)});
    items.push_back({.path = "Docs/readme", .data = pattern(20, 5)});
    HfsImage img = makeHfsVolume(items, o);
    ASSERT_EQ(img.bytes[1025], 'X');
    Scanned s = scanBytes(img.bytes);
    EXPECT_TRUE(sameContent(s.contentOf("Docs/README"), str(pattern(10, 4))));
    EXPECT_TRUE(sameContent(s.contentOf("Docs/readme"), str(pattern(20, 5))));
}

// A file of 20 extents (two overflow records) whose resource fork has an
// overflow record with the same start block: each fork keeps its own.
TEST(HfsVolume, OverflowExtentsPerForkType) {
    // Also with 16 KiB blocks holding two catalog nodes and four extents nodes.
    for (uint32_t bs : {4096u, 16384u}) {
        std::vector<HfsItem> items = baseline();
        items.push_back({.path = "frag.bin", .data = pattern(20 * bs - 100, 6), .rsrc = pattern(20 * bs, 7),
                         .dataFragments = 20, .rsrcFragments = 20});
        HfsOptions o;
        o.catalogExtents = 2;
        o.blockSize = bs;
        o.catalogNodeSize = 8192;
        o.extentsNodeSize = 4096;
        Scanned s = scanBytes(makeHfsVolume(items, o).bytes);
        ASSERT_EQ(s.outcome, ScanOutcome::Done);
        EXPECT_EQ(s.parser->extentsRecords(), 4u);
        EXPECT_TRUE(sameContent(s.contentOf("frag.bin"), str(pattern(20 * bs - 100, 6)))) << bs;
        auto st = s.parser->streams(s.paths.at("frag.bin"));
        ASSERT_EQ(st.size(), 1u);
        EntryInfo si;
        ASSERT_TRUE(s.parser->entryInfo(st[0], si));
        EXPECT_EQ(si.name, "frag.bin/..namedfork/rsrc");
        EXPECT_TRUE(sameContent(s.content(st[0]), str(pattern(20 * bs, 7)))) << bs;
    }
}

// The catalog in 12 pieces: nodes past the 8th extent are found through
// the overflow records of CNID 4.
TEST(HfsVolume, CatalogThroughOverflowRecords) {
    std::vector<HfsItem> items;
    items.push_back({.path = "many", .folder = true});
    for (int i = 0; i < 300; ++i) items.push_back({.path = "many/f" + std::to_string(i), .data = pattern(100, i)});
    HfsOptions o;
    o.catalogNodeSize = 4096;
    o.catalogExtents = 12;
    Scanned s = scanBytes(makeHfsVolume(items, o).bytes);
    ASSERT_EQ(s.outcome, ScanOutcome::Done);
    EXPECT_EQ(s.paths.size(), 301u);
    EXPECT_TRUE(sameContent(s.contentOf("many/f299"), str(pattern(100, 299))));
}

// One folder of 1,000 files: all listed, in one child list.
TEST(HfsVolume, ThousandFilesInOneFolder) {
    std::vector<HfsItem> items;
    items.push_back({.path = "big", .folder = true});
    for (int i = 0; i < 1000; ++i) items.push_back({.path = "big/file" + std::to_string(i) + ".txt", .data = pattern(i % 50, i)});
    Scanned s = scanBytes(makeHfsVolume(items).bytes);
    ASSERT_EQ(s.outcome, ScanOutcome::Done);
    EXPECT_EQ(s.parser->children(s.paths.at("big")).size(), 1000u);
    EXPECT_TRUE(sameContent(s.contentOf("big/file777.txt"), str(pattern(777 % 50, 777))));
}

// Decomposed accents are shown composed; ":" (stored "/") is shown "/";
// names of 255 units are kept, 256 are not a name. CJK compatibility
// ideographs, which HFS+ never decomposes, stay as stored.
TEST(HfsVolume, Names) {
    std::vector<HfsItem> items;
    items.push_back({.path = "Cafe\xCC\x81 Re\xCC\x81sume\xCC\x81", .folder = true});  // NFD
    items.push_back({.path = "Cafe\xCC\x81 Re\xCC\x81sume\xCC\x81/12:30 notes.txt", .data = pattern(9, 1)});
    items.push_back({.path = std::string(255, 'n'), .data = pattern(3, 2)});
    items.push_back({.path = std::string(256, 'm'), .data = pattern(3, 2)});  // one unit too long: skipped
    items.push_back({.path = "\xEF\xA4\x80.txt", .data = pattern(2, 3)});  // U+F900
    Scanned s = scanBytes(makeHfsVolume(items).bytes);
    ASSERT_EQ(s.outcome, ScanOutcome::Done);
    const std::string composed = "Caf\xC3\xA9 R\xC3\xA9sum\xC3\xA9";
    ASSERT_TRUE(s.paths.count(composed));
    EXPECT_EQ(s.infos.at(composed).name, composed);
    // The tree walk joins with "/": the name itself holds the "/".
    EXPECT_TRUE(s.paths.count(composed + "/12/30 notes.txt"));
    EXPECT_TRUE(s.paths.count(std::string(255, 'n')));
    EXPECT_FALSE(s.paths.count(std::string(256, 'm')));
    EXPECT_TRUE(s.paths.count("\xEF\xA4\x80.txt"));
}

// Hard links: both names give the indirect node's content and size.
TEST(HfsVolume, HardLinksThroughPrivateFolder) {
    std::vector<HfsItem> items = baseline();
    items.push_back({.path = "orig.dat", .data = pattern(9000, 8), .modified = hfsTime(1500000000)});
    items.push_back({.path = "Docs/link.dat", .hardLinkTo = "orig.dat"});
    Scanned s = scanBytes(makeHfsVolume(items).bytes);
    ASSERT_EQ(s.outcome, ScanOutcome::Done);
    EXPECT_EQ(s.infos.at("orig.dat").size, 9000u);
    EXPECT_EQ(s.infos.at("Docs/link.dat").size, 9000u);
    EXPECT_TRUE(sameContent(s.contentOf("orig.dat"), str(pattern(9000, 8))));
    EXPECT_TRUE(sameContent(s.contentOf("Docs/link.dat"), str(pattern(9000, 8))));
    EXPECT_EQ(s.infos.at("Docs/link.dat").modified->sec, 1500000000);
}

// decmpfs: zlib inline, zlib in the resource fork (several 64 KiB units,
// one stored raw), and a method we do not read: skipped with its reason.
TEST(HfsVolume, CompressedFiles) {
    std::vector<uint8_t> text(200000);
    for (size_t i = 0; i < text.size(); ++i) text[i] = static_cast<uint8_t>("compressible text "[i % 18]);
    std::vector<uint8_t> mixed = text;
    auto noise = pattern(70000, 9);
    std::copy(noise.begin(), noise.end(), mixed.begin() + 65536);  // unit 1: incompressible
    std::vector<HfsItem> items = baseline();
    items.push_back({.path = "small.txt", .data = std::vector<uint8_t>(text.begin(), text.begin() + 3000), .decmpfs = 3});
    items.push_back({.path = "large.txt", .data = mixed, .decmpfs = 4});
    items.push_back({.path = "lzvn.bin", .data = pattern(100, 10), .decmpfs = 7});
    Scanned s = scanBytes(makeHfsVolume(items).bytes);
    ASSERT_EQ(s.outcome, ScanOutcome::Done);
    EXPECT_EQ(s.infos.at("small.txt").size, 3000u);
    EXPECT_TRUE(sameContent(s.contentOf("small.txt"), std::string(text.begin(), text.begin() + 3000)));
    EXPECT_EQ(s.infos.at("large.txt").size, mixed.size());
    EXPECT_TRUE(sameContent(s.contentOf("large.txt"), str(mixed)));
    EXPECT_TRUE(s.parser->streams(s.paths.at("large.txt")).empty());
    WriteResult r;
    s.contentOf("lzvn.bin", &r);
    EXPECT_EQ(r.status, WriteStatus::Failed);
    EXPECT_NE(r.reason.find("method 7"), std::string::npos) << r.reason;
}

// Deleted files: records left in node free space, in a freed node and in
// the journal are listed as deleted under their folder; a deleted folder
// whose record survives keeps its children; blocks taken by another file
// are not passed off as the deleted file's content.
TEST(HfsVolume, DeletedRecords) {
    std::vector<HfsItem> items = baseline();
    items.push_back({.path = "Docs/gone.txt", .data = pattern(3000, 11), .deleted = true});
    items.push_back({.path = "Old", .folder = true, .deleted = true, .stale = HfsStale::FreedNode});
    items.push_back({.path = "Old/inner.bin", .data = pattern(9000, 12), .deleted = true, .stale = HfsStale::FreedNode});
    items.push_back({.path = "Docs/journal.txt", .data = pattern(777, 13), .deleted = true, .stale = HfsStale::Journal});
    items.push_back({.path = "Docs/taken.bin", .data = pattern(4096, 14), .deleted = true, .reused = true});
    HfsOptions o;
    o.journal = true;
    Scanned s = scanBytes(makeHfsVolume(items, o).bytes);
    ASSERT_EQ(s.outcome, ScanOutcome::Done);
    for (const char* p : {"Docs/gone.txt", "Old", "Old/inner.bin", "Docs/journal.txt", "Docs/taken.bin"}) {
        ASSERT_TRUE(s.paths.count(p)) << p;
        EXPECT_EQ(s.infos.at(p).state, EntryState::Deleted) << p;
        EXPECT_FALSE(s.infos.at(p).orphan) << p;
    }
    EXPECT_TRUE(sameContent(s.contentOf("Docs/gone.txt"), str(pattern(3000, 11))));
    EXPECT_TRUE(sameContent(s.contentOf("Old/inner.bin"), str(pattern(9000, 12))));
    EXPECT_TRUE(sameContent(s.contentOf("Docs/journal.txt"), str(pattern(777, 13))));
    WriteResult r;
    s.contentOf("Docs/taken.bin", &r);
    EXPECT_EQ(r.status, WriteStatus::Failed);
    auto counts = s.parser->sourceCounts();
    EXPECT_EQ(counts[HfsSource::Journal], 1u);
    EXPECT_GE(counts[HfsSource::FreedNode], 2u);
    EXPECT_EQ(s.infos.at("Docs/a.txt").state, EntryState::Live);
}

// A deleted file whose folder is gone without trace goes under
// ORPHAN_ENTRY, at the end of the first level.
TEST(HfsVolume, DeletedWithoutFolderIsOrphan) {
    std::vector<HfsItem> items = baseline();
    items.push_back({.path = "Tmp", .folder = true, .deleted = true, .stale = HfsStale::Journal});
    items.push_back({.path = "Tmp/lost.txt", .data = pattern(100, 15), .deleted = true});
    HfsImage img = makeHfsVolume(items);  // no journal: the folder's records are nowhere
    Scanned s = scanBytes(img.bytes);
    ASSERT_EQ(s.outcome, ScanOutcome::Done);
    ASSERT_TRUE(s.paths.count("ORPHAN_ENTRY/lost.txt"));
    EXPECT_TRUE(s.infos.at("ORPHAN_ENTRY/lost.txt").orphan);
    EXPECT_TRUE(sameContent(s.contentOf("ORPHAN_ENTRY/lost.txt"), str(pattern(100, 15))));
    EXPECT_EQ(s.parser->children(kRootId).back(), s.parser->orphanId());
}

// A freed node early in the catalog holds stale copies of live records
// (another parent, twice the size) and a stale root folder record under a
// folder: the live records win and the tree stays a tree.
TEST(HfsVolume, StaleCopiesDoNotWin) {
    std::vector<HfsItem> items = baseline();
    HfsOptions o;
    o.staleCopiesFirst = {"Docs/a.txt", "top.bin"};
    o.staleParent = 16;  // "Docs"
    Scanned s = scanBytes(makeHfsVolume(items, o).bytes);
    expectBaseline(s, "stale copies");
    EXPECT_EQ(s.infos.at("Docs/a.txt").size, 5000u);
}

// The primary header wiped: the alternate copy at the end is used.
TEST(HfsVolume, AlternateHeader) {
    HfsImage img = makeHfsVolume(baseline());
    std::fill(img.bytes.begin() + 1024, img.bytes.begin() + 1536, 0);
    Scanned s = scanBytes(img.bytes);
    expectBaseline(s, "alternate header");
    EXPECT_TRUE(s.parser->usedAlternateHeader());
}

// Deep mode: the leaf chain and the index broken, the records are still
// found by searching the volume; folders under ORPHAN_ENTRY, each file
// under the folder with the next lower CNID.
TEST(HfsVolume, DeepModeFindsLeavesWithoutTheTree) {
    std::vector<HfsItem> items = baseline();
    HfsOptions o;
    o.blockSize = 16384;
    o.catalogNodeSize = 8192;
    HfsImage img = makeHfsVolume(items, o);
    // Break the chain and the header's first leaf.
    for (uint64_t leaf : img.catalogLeaves) std::fill(img.bytes.begin() + leaf, img.bytes.begin() + leaf + 4, 0xEE);
    Scanned s = scanBytes(img.bytes, ScanMode::Deep);
    ASSERT_EQ(s.outcome, ScanOutcome::Done);
    EXPECT_TRUE(sameContent(s.contentOf("ORPHAN_ENTRY/Docs/a.txt"), str(pattern(5000, 1))));
    EXPECT_TRUE(sameContent(s.contentOf("ORPHAN_ENTRY/Sub/b.bin"), str(pattern(70001, 2))));
    // Files of the root folder are shown at the top level too.
    EXPECT_TRUE(s.paths.count("top.bin"));
}

// List texts: dates in the local zone, "-Owner:…" codes; folders empty.
TEST(HfsVolume, ListTextsInTwoZones) {
    std::vector<HfsItem> items;
    items.push_back({.path = "d", .folder = true});
    items.push_back({.path = "d/f.txt", .data = pattern(2048, 1), .created = hfsTime(1700000000),
                     .modified = hfsTime(1700003600), .accessed = hfsTime(1700007200), .mode = 0100644});
    Scanned s = scanBytes(makeHfsVolume(items).bytes);
    const EntryId f = s.paths.at("d/f.txt");
    const char* old = std::getenv("TZ");
    std::string saved = old ? old : "";
    setenv("TZ", "UTC", 1);
    tzset();
    ListTexts utc = s.parser->listTexts(f);
    setenv("TZ", "America/New_York", 1);
    tzset();
    ListTexts ny = s.parser->listTexts(f);
    if (old) setenv("TZ", saved.c_str(), 1); else unsetenv("TZ");
    tzset();
    EXPECT_EQ(utc.created, "11/14/2023  10:13 PM");
    EXPECT_EQ(utc.modified, "11/14/2023  11:13 PM");
    EXPECT_EQ(ny.created, "11/14/2023  05:13 PM");
    EXPECT_EQ(utc.size, "2.00 KB");
    EXPECT_EQ(utc.attributes, "-Owner:W-Owner:R-OR-GR");
    EXPECT_EQ(s.parser->listTexts(s.paths.at("d")).created, "");
    EXPECT_EQ(s.infos.at("d/f.txt").modified->sec, 1700003600);
    EXPECT_EQ(s.infos.at("d/f.txt").accessed->sec, 1700007200);
}

// A block that cannot be read comes out as zeros, the file keeps its
// length and is reported partial.
TEST(HfsVolume, UnreadableBlockIsZeros) {
    std::vector<HfsItem> items = baseline();
    items.push_back({.path = "victim.bin", .data = pattern(5 * 4096, 16)});
    Scanned s = scanBytes(makeHfsVolume(items).bytes);
    ASSERT_EQ(s.outcome, ScanOutcome::Done);
    std::string good = s.contentOf("victim.bin");
    ASSERT_EQ(good, str(pattern(5 * 4096, 16)));
    // Find the file's third block in the image and fail reads there.
    auto& data = s.reader->data;
    auto p = pattern(5 * 4096, 16);
    auto at = std::search(data.begin(), data.end(), p.begin() + 2 * 4096, p.begin() + 3 * 4096) - data.begin();
    s.reader->failRange(static_cast<uint64_t>(at), static_cast<uint64_t>(at) + 4096);
    WriteResult r;
    std::string bad = s.contentOf("victim.bin", &r);
    EXPECT_EQ(r.status, WriteStatus::Partial);
    ASSERT_EQ(bad.size(), good.size());
    EXPECT_EQ(bad.substr(0, 8192), good.substr(0, 8192));
    EXPECT_EQ(bad.substr(8192, 4096), std::string(4096, '\0'));
    EXPECT_EQ(bad.substr(12288), good.substr(12288));
}

// The Sleuth Kit as a second opinion on what the writer makes: it lists
// the same live paths and its icat returns the same bytes (fragmented file
// with overflow records, hard link, compressed file).
TEST(HfsVolume, SleuthKitReadsTheWriterVolumes) {
    if (std::system("command -v fls >/dev/null 2>&1 && command -v icat >/dev/null 2>&1") != 0)
        GTEST_SKIP() << "The Sleuth Kit (fls, icat) not installed";
    std::vector<HfsItem> items = baseline();
    items.push_back({.path = "frag.bin", .data = pattern(20 * 4096 - 100, 6), .dataFragments = 20});
    items.push_back({.path = "orig.dat", .data = pattern(9000, 8)});
    items.push_back({.path = "Docs/link.dat", .hardLinkTo = "orig.dat"});
    items.push_back({.path = "Docs/z.txt", .data = std::vector<uint8_t>(100000, 'z'), .decmpfs = 4});
    items.push_back({.path = "Docs/gone.txt", .data = pattern(3000, 11), .deleted = true});
    HfsImage img = makeHfsVolume(items);
    TempDir dir;
    const std::string file = dir.path() + "/v.img";
    {
        FILE* f = std::fopen(file.c_str(), "wb");
        ASSERT_TRUE(f);
        std::fwrite(img.bytes.data(), 1, img.bytes.size(), f);
        std::fclose(f);
    }
    auto run = [](const std::string& cmd) {
        std::string out;
        FILE* p = popen(cmd.c_str(), "r");
        char buf[4096];
        size_t n;
        while (p && (n = std::fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
        if (p) pclose(p);
        return out;
    };
    const std::string fls = run("fls -r -p -f hfs '" + file + "' 2>&1");
    Scanned s = scanBytes(img.bytes);
    ASSERT_EQ(s.outcome, ScanOutcome::Done);
    for (const char* p : {"Docs/a.txt", "Docs/Sub/b.bin", "frag.bin", "orig.dat", "Docs/link.dat", "Docs/z.txt"}) {
        // "r/r 26:\tDocs/link.dat": TSK gives a hard link its target's address.
        const size_t at = fls.find(":\t" + std::string(p) + "\n");
        ASSERT_NE(at, std::string::npos) << p << "\n" << fls;
        const size_t sp = fls.rfind(' ', at);
        const std::string addr = fls.substr(sp + 1, at - sp - 1);
        const std::string icat = run("icat -f hfs '" + file + "' " + addr + " 2>/dev/null");
        EXPECT_TRUE(sameContent(s.contentOf(p), icat)) << p;
    }
    EXPECT_EQ(fls.find("gone.txt"), std::string::npos);  // TSK does not see deleted records
    EXPECT_TRUE(s.paths.count("Docs/gone.txt"));
}
