// Damaged copies of a real exFAT volume (the exFAT partition of the sample
// disk): the scan ends normally with what can be recovered and counts each
// problem; hostile boot sectors are refused; unreadable clusters come out
// as zeros at their own offsets.
#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <memory>

#include "fs/exfat/exfat_parser.h"
#include "tests/support/fixtures.h"
#include "tests/support/memory_reader.h"

using namespace brantlow;
using namespace brantlow::test;

namespace {

// The exFAT partition of samples/disk_mbr.img (volume 3).
const std::vector<uint8_t>* volumeBytes() {
    static std::vector<uint8_t> bytes;
    static bool tried = false;
    if (!tried) {
        tried = true;
        auto img = fixtureImage("disk_mbr");
        auto manifest = fixtureManifest("disk_mbr");
        if (img && manifest) {
            const auto& vol = (*manifest)["volumes"][3];
            bytes.resize(vol["length_bytes"].get<size_t>());
            std::ifstream in(*img, std::ios::binary);
            in.seekg(vol["offset_bytes"].get<std::streamoff>());
            in.read(reinterpret_cast<char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
            if (!in) bytes.clear();
        }
    }
    return bytes.empty() ? nullptr : &bytes;
}

#define REQUIRE_VOLUME(var)                                                \
    const std::vector<uint8_t>* var##_p = volumeBytes();                   \
    if (!var##_p) GTEST_SKIP() << "samples/disk_mbr.img.xz not available"; \
    std::vector<uint8_t> var = *var##_p

struct Scanned {
    std::shared_ptr<MemoryReader> reader;
    std::unique_ptr<Fat64Class> parser;
    ScanOutcome outcome = ScanOutcome::Rejected;
};

Scanned scan(std::vector<uint8_t> bytes, ScanMode mode = ScanMode::Standard, ScanOptions opt = {}) {
    Scanned s;
    s.reader = std::make_shared<MemoryReader>(std::move(bytes));
    s.parser = std::make_unique<Fat64Class>();
    ScanContext ctx;
    ctx.volume = VolumeView(s.reader, 0, s.reader->data.size());
    ctx.mode = mode;
    ctx.options = opt;
    s.outcome = s.parser->scan(ctx);
    return s;
}

EntryId find(const VolumeParser& p, const std::string& path) {
    EntryId cur = kRootId;
    size_t i = 0;
    while (i <= path.size()) {
        size_t j = path.find('/', i);
        if (j == std::string::npos) j = path.size();
        const std::string part = path.substr(i, j - i);
        bool found = false;
        for (EntryId c : p.children(cur)) {
            EntryInfo info;
            if (p.entryInfo(c, info) && info.name == part) {
                cur = c;
                found = true;
                break;
            }
        }
        if (!found) return kRootId;
        i = j + 1;
    }
    return cur;
}

size_t countEntries(const VolumeParser& p, EntryId folder = kRootId, int depth = 0) {
    size_t n = 0;
    for (EntryId c : p.children(folder)) {
        ++n;
        if (depth < 64) n += countEntries(p, c, depth + 1);
    }
    return n;
}

std::vector<uint8_t> content(Fat64Class& p, EntryId id, WriteResult* res = nullptr) {
    MemorySink sink(64 * 1024 * 1024);
    WriteResult r = p.writeContent(id, sink);
    if (res) *res = r;
    return sink.bytes;
}

void put32(std::vector<uint8_t>& b, uint64_t at, uint32_t v) {
    for (int i = 0; i < 4; ++i) b[at + i] = static_cast<uint8_t>(v >> (8 * i));
}
void put64(std::vector<uint8_t>& b, uint64_t at, uint64_t v) {
    for (int i = 0; i < 8; ++i) b[at + i] = static_cast<uint8_t>(v >> (8 * i));
}

const ExFatEntry& entry(const Fat64Class& p, EntryId id) { return p.entries()[static_cast<size_t>(id)]; }

TEST(ExfatDamage, CleanVolumeHasNoProblems) {
    REQUIRE_VOLUME(bytes);
    Scanned s = scan(bytes);
    ASSERT_EQ(s.outcome, ScanOutcome::Done);
    EXPECT_EQ(s.parser->problems().total(), 0u) << s.parser->problems().text();
    EXPECT_GT(countEntries(*s.parser), 50u);
    EXPECT_TRUE(s.parser->bitmap().loaded());
}

// Each damage: the scan completes, the problem is counted, the rest of the
// tree is still there and what can be recovered is.
TEST(ExfatDamage, EachDamageIsCountedAndTheScanGoesOn) {
    REQUIRE_VOLUME(bytes);
    Scanned clean = scan(bytes);
    ASSERT_EQ(clean.outcome, ScanOutcome::Done);
    const size_t all = countEntries(*clean.parser);
    const ExfatLayout L = clean.parser->layout();
    const EntryId frag = find(*clean.parser, "frag/fragmented.bin");
    const EntryId s01 = find(*clean.parser, "small/s01.txt");
    const EntryId s02 = find(*clean.parser, "small/s02.txt");
    const EntryId big = find(*clean.parser, "large/big.dat");
    ASSERT_NE(frag, kRootId);
    ASSERT_NE(s01, kRootId);
    ASSERT_NE(s02, kRootId);
    ASSERT_NE(big, kRootId);
    ASSERT_FALSE(entry(*clean.parser, frag).noFatChain());
    const auto bigContent = content(*clean.parser, big);

    {  // Boot region checksum broken (boot code byte changed).
        auto b = bytes;
        b[300] ^= 0x5A;
        Scanned s = scan(b);
        ASSERT_EQ(s.outcome, ScanOutcome::Done);
        EXPECT_EQ(s.parser->problems().bootChecksum, 1u);
        EXPECT_EQ(countEntries(*s.parser), all);
    }
    {  // Main boot sector unusable: the backup boot region is used.
        auto b = bytes;
        b[108] = 255;
        Scanned s = scan(b);
        ASSERT_EQ(s.outcome, ScanOutcome::Done);
        EXPECT_EQ(s.parser->problems().backupBoot, 1u);
        EXPECT_EQ(countEntries(*s.parser), all);
    }
    {  // A FAT loop: the fragmented file's first cluster points to itself.
        auto b = bytes;
        const uint32_t fc = entry(*clean.parser, frag).firstCluster;
        put32(b, L.fatOffset + 4ull * fc, fc);
        Scanned s = scan(b);
        ASSERT_EQ(s.outcome, ScanOutcome::Done);
        EXPECT_GE(s.parser->problems().fatLoops, 1u);
        EXPECT_EQ(countEntries(*s.parser), all);
        WriteResult r;
        auto c = content(*s.parser, frag, &r);
        EXPECT_EQ(r.status, WriteStatus::Partial);
        EXPECT_EQ(c.size(), L.clusterSize);
    }
    {  // Cross-linked: s02's stream starts in s01's cluster.
        auto b = bytes;
        put32(b, entry(*clean.parser, s02).position + 32 + 20, entry(*clean.parser, s01).firstCluster);
        Scanned s = scan(b);
        ASSERT_EQ(s.outcome, ScanOutcome::Done);
        EXPECT_GE(s.parser->problems().crossLinks, 1u);
        EXPECT_EQ(countEntries(*s.parser), all);
    }
    {  // Cleared allocation bitmap: counted, and everything still recovers.
        auto b = bytes;
        ParsedDirectory root;
        std::vector<uint8_t> rc(b.begin() + static_cast<long>(L.clusterOffset(L.rootCluster)),
                                b.begin() + static_cast<long>(L.clusterOffset(L.rootCluster) + L.clusterSize));
        parseDirectory(rc.data(), rc.size(), root);
        ASSERT_TRUE(root.hasBitmap);
        std::memset(b.data() + L.clusterOffset(root.bitmapCluster), 0, root.bitmapLength);
        Scanned s = scan(b);
        ASSERT_EQ(s.outcome, ScanOutcome::Done);
        EXPECT_GE(s.parser->problems().notInBitmap, 10u);
        EXPECT_EQ(countEntries(*s.parser), all);
        EXPECT_EQ(content(*s.parser, big), bigContent);
    }
    {  // A stream size far beyond the allocation: what the heap backs, partial.
        auto b = bytes;
        const uint64_t at = entry(*clean.parser, big).position + 32;
        put64(b, at + 8, 1ull << 40);
        put64(b, at + 24, 1ull << 40);
        Scanned s = scan(b);
        ASSERT_EQ(s.outcome, ScanOutcome::Done);
        EXPECT_GE(s.parser->problems().sizeBeyondAllocation, 1u);
        WriteResult r;
        auto c = content(*s.parser, big, &r);
        EXPECT_EQ(r.status, WriteStatus::Partial);
        EXPECT_LE(c.size(), b.size());
        ASSERT_GE(c.size(), bigContent.size());
        EXPECT_TRUE(std::equal(bigContent.begin(), bigContent.end(), c.begin()));
    }
    {  // An entry set cut at the end of the root's last cluster.
        auto b = bytes;
        const uint64_t last = L.clusterOffset(L.rootCluster) + L.clusterSize - 32;
        std::memcpy(b.data() + last, b.data() + entry(*clean.parser, s01).position, 32);
        b[last + 1] = 2;  // a stream and a name should follow
        Scanned s = scan(b);
        ASSERT_EQ(s.outcome, ScanOutcome::Done);
        EXPECT_GE(s.parser->problems().cutSets, 1u);
        EXPECT_GE(countEntries(*s.parser), all);
    }
    {  // A folder whose first cluster is outside the heap is listed, not walked.
        auto b = bytes;
        const EntryId small = find(*clean.parser, "small");
        put32(b, entry(*clean.parser, small).position + 32 + 20, 0xFFFFFFF0u);
        Scanned s = scan(b);
        ASSERT_EQ(s.outcome, ScanOutcome::Done);
        EXPECT_NE(find(*s.parser, "small"), kRootId);
        EXPECT_EQ(find(*s.parser, "small/s01.txt"), kRootId);
        EXPECT_GE(s.parser->problems().badClusters, 1u);
    }
}

// Root chain damage: a root cluster pointing to itself, or a bad-cluster
// mark, ends the walk of the root without running wild.
TEST(ExfatDamage, RootChainLoopAndBadMark) {
    REQUIRE_VOLUME(bytes);
    Scanned clean = scan(bytes);
    const ExfatLayout L = clean.parser->layout();
    for (uint32_t v : {L.rootCluster, 0xFFFFFFF7u, 0u, 0xFFFFFFF0u}) {
        auto b = bytes;
        put32(b, L.fatOffset + 4ull * L.rootCluster, v);
        Scanned s = scan(b);
        ASSERT_EQ(s.outcome, ScanOutcome::Done) << v;
        EXPECT_EQ(countEntries(*s.parser), countEntries(*clean.parser)) << v;
    }
}

TEST(ExfatDamage, HostileBootSectorsAreRefused) {
    REQUIRE_VOLUME(bytes);
    // Without a usable backup region.
    std::memset(bytes.data() + 12 * 512, 0, 12 * 512);
    struct Patch {
        size_t at;
        uint32_t value;
        int width;
    };
    const Patch patches[] = {
        {108, 0, 1},  {108, 31, 1},  {108, 64, 1}, {108, 255, 1}, {109, 255, 1}, {109, 17, 1},
        {96, 0, 4},   {96, 1, 4},    {96, 0xFFFFFFFFu, 4},        {88, 0, 4},    {92, 0, 4},
    };
    for (const Patch& p : patches) {
        auto b = bytes;
        if (p.width == 1)
            b[p.at] = static_cast<uint8_t>(p.value);
        else
            put32(b, p.at, p.value);
        Scanned s = scan(b);
        EXPECT_EQ(s.outcome, ScanOutcome::Rejected) << p.at << "=" << p.value;
        EXPECT_EQ(s.parser->rejectMessage(), "Selected Drive is not in exFat Format");
    }
    // Not exFAT at all.
    std::vector<uint8_t> zeros(1 << 20, 0);
    EXPECT_EQ(scan(zeros).outcome, ScanOutcome::Rejected);
}

// A reader that fails one cluster of a file: zeros there, not the cluster
// before it; the rest of the file intact; reported partial.
TEST(ExfatDamage, UnreadableClusterIsWrittenAsZeros) {
    REQUIRE_VOLUME(bytes);
    Scanned s = scan(bytes);
    const EntryId big = find(*s.parser, "large/big.dat");
    ASSERT_NE(big, kRootId);
    const auto good = content(*s.parser, big);
    const ExfatLayout L = s.parser->layout();
    const uint64_t k = 5;
    const uint64_t at = L.clusterOffset(entry(*s.parser, big).firstCluster) + k * L.clusterSize;
    s.reader->failRange(at, at + L.clusterSize);
    WriteResult r;
    const auto got = content(*s.parser, big, &r);
    EXPECT_EQ(r.status, WriteStatus::Partial);
    ASSERT_EQ(got.size(), good.size());
    for (uint64_t i = 0; i < good.size(); ++i) {
        const bool inFailed = i >= k * L.clusterSize && i < (k + 1) * L.clusterSize;
        ASSERT_EQ(got[i], inFailed ? 0 : good[i]) << "byte " << i;
    }
}

// "Is Drive Formated..?": files are read from contiguous clusters; a
// FAT-chained fragmented file then differs, a contiguous one does not.
TEST(ExfatDamage, FormattedDriveReadsContiguousClusters) {
    REQUIRE_VOLUME(bytes);
    Scanned clean = scan(bytes);
    ScanOptions opt;
    opt.driveFormatted = true;
    Scanned s = scan(bytes, ScanMode::Standard, opt);
    ASSERT_EQ(s.outcome, ScanOutcome::Done);
    const EntryId big = find(*s.parser, "large/big.dat");
    EXPECT_EQ(content(*s.parser, big), content(*clean.parser, find(*clean.parser, "large/big.dat")));
    const EntryId frag = find(*s.parser, "frag/fragmented.bin");
    ASSERT_NE(frag, kRootId);
    const auto c = content(*s.parser, frag);
    EXPECT_EQ(c.size(), entry(*s.parser, frag).validDataLength);
    EXPECT_NE(c, content(*clean.parser, find(*clean.parser, "frag/fragmented.bin")));
}

}  // namespace

namespace {

// A deleted file whose set says FAT chain but whose chain was freed (as
// drivers that clear the FAT on delete leave it): read from contiguous
// clusters, byte-exact where they were contiguous. If its first cluster is
// in use again, only that cluster is taken.
TEST(ExfatDamage, DeletedChainedFileWithFreedChain) {
    REQUIRE_VOLUME(bytes);
    Scanned clean = scan(bytes);
    const EntryId del = find(*clean.parser, "medium/deleted_medium.bin");
    ASSERT_NE(del, kRootId);
    ASSERT_TRUE(entry(*clean.parser, del).deleted());
    const auto good = content(*clean.parser, del);
    ASSERT_EQ(good.size(), entry(*clean.parser, del).validDataLength);
    auto b = bytes;
    b[entry(*clean.parser, del).position + 32 + 1] = 1;  // FAT-chained, FAT entries free
    Scanned s = scan(b);
    WriteResult r;
    EXPECT_EQ(content(*s.parser, del, &r), good);
    EXPECT_TRUE(r.ok());
    // The first cluster marked in use again (and its FAT entry taken).
    const ExfatLayout L = s.parser->layout();
    const uint32_t fc = entry(*s.parser, del).firstCluster;
    put32(b, L.fatOffset + 4ull * fc, kExfatEnd);
    ParsedDirectory root;
    std::vector<uint8_t> rc(b.begin() + static_cast<long>(L.clusterOffset(L.rootCluster)),
                            b.begin() + static_cast<long>(L.clusterOffset(L.rootCluster) + L.clusterSize));
    parseDirectory(rc.data(), rc.size(), root);
    const uint32_t bit = fc - 2;
    b[L.clusterOffset(root.bitmapCluster) + bit / 8] |= static_cast<uint8_t>(1u << (bit % 8));
    Scanned t = scan(b);
    auto c = content(*t.parser, del, &r);
    EXPECT_EQ(r.status, WriteStatus::Partial);
    EXPECT_EQ(c.size(), L.clusterSize);
}

}  // namespace

// The damage log names each problem with its structure and byte offset,
// once (the status line's counts come from the same call): a boot region
// whose checksum is wrong, and an entry set cut by the end of the root
// directory. Both are kept.
TEST(ExfatDamage, DamageLogNamesStructureAndOffset) {
    REQUIRE_VOLUME(bytes);
    Scanned clean = scan(bytes);
    ASSERT_EQ(clean.outcome, ScanOutcome::Done);
    EXPECT_EQ(clean.parser->damage().count(), 0u) << clean.parser->damage().summary();
    const ExfatLayout L = clean.parser->layout();
    const EntryId s01 = find(*clean.parser, "small/s01.txt");
    ASSERT_NE(s01, kRootId);
    auto b = bytes;
    b[300] ^= 0x5A;  // boot code: the region's checksum no longer holds
    const uint64_t last = L.clusterOffset(L.rootCluster) + L.clusterSize - 32;
    std::memcpy(b.data() + last, b.data() + entry(*clean.parser, s01).position, 32);
    b[last + 1] = 2;  // a stream and a name should follow
    Scanned s = scan(b);
    ASSERT_EQ(s.outcome, ScanOutcome::Done);
    auto notes = s.parser->damage().notes();
    ASSERT_EQ(notes.size(), 2u) << s.parser->damage().summary();
    EXPECT_EQ(s.parser->problems().total(), 3u);  // checksum, cut set, no stream
    EXPECT_EQ(notes[0].structure, "exFAT boot region");
    EXPECT_EQ(notes[0].offset, 0u);
    EXPECT_NE(notes[0].what.find("boot checksum"), std::string::npos) << notes[0].text();
    EXPECT_EQ(notes[1].structure, "exFAT entry set");
    EXPECT_EQ(notes[1].offset, last);
    EXPECT_TRUE(notes[1].repaired);
    EXPECT_EQ(notes[1].what, "cut by the end of its directory; no Stream Extension") << notes[1].text();
}
