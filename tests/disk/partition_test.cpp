#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "disk/partition.h"
#include "fs/fat/fat_probe.h"
#include "fs/filesystems.h"
#include "base/bytes.h"
#include "tests/support/fixtures.h"
#include "tests/support/memory_reader.h"
#include "tests/support/table_bytes.h"

using namespace brantlow;
using test::MemoryReader;
using namespace brantlow::test;

namespace {


// An NTFS boot sector at sector s with the given total sectors.
void ntfsBoot(std::vector<uint8_t>& d, uint64_t s, uint64_t total) {
    size_t o = s * 512;
    d[o] = 0xEB;
    d[o + 1] = 0x52;
    d[o + 2] = 0x90;
    std::memcpy(&d[o + 3], "NTFS    ", 8);
    put16(d, o + 11, 512);
    d[o + 13] = 8;
    put64(d, o + 40, total);
    d[o + 510] = 0x55;
    d[o + 511] = 0xAA;
}

// A FAT boot sector as mkfs.fat writes it (OEM "mkfs.fat").
void fatBoot(std::vector<uint8_t>& d, uint64_t s, uint32_t totalSectors, uint8_t spc, uint16_t spf16, uint32_t spf32,
             uint16_t rootEntries) {
    size_t o = s * 512;
    d[o] = 0xEB;
    d[o + 1] = 0x3C;
    d[o + 2] = 0x90;
    std::memcpy(&d[o + 3], "mkfs.fat", 8);
    put16(d, o + 11, 512);
    d[o + 13] = spc;
    put16(d, o + 14, spf32 ? 32 : 4);
    d[o + 16] = 2;
    put16(d, o + 17, rootEntries);
    if (totalSectors < 65536 && !spf32)
        put16(d, o + 19, static_cast<uint16_t>(totalSectors));
    else
        put32(d, o + 32, totalSectors);
    put16(d, o + 22, spf16);
    put32(d, o + 36, spf32);
    d[o + 510] = 0x55;
    d[o + 511] = 0xAA;
}

std::vector<VolumeEntry> walk(std::vector<uint8_t> disk, bool gpt = false, Collect* out = nullptr) {
    MemoryReader r(std::move(disk));
    Collect c;
    Partition p;
    p.owner = &c;
    p.useGpt = gpt;
    ReadPartitionTables(r, p, probeTable());
    if (out) *out = c;
    return c.entries;
}

// A GPT header at sector 1 and its entry array at sector 2.
void gptHeader(std::vector<uint8_t>& d, uint64_t arrayLba = 2) {
    slot(d, 0, 0, 0xEE, 1, 0xFFFFFFFF);
    std::memcpy(&d[512], "EFI PART", 8);
    put64(d, 512 + 72, arrayLba);
    put32(d, 512 + 80, 128);
    put32(d, 512 + 84, 128);
}

void gptEntry(std::vector<uint8_t>& d, int i, uint64_t start, uint64_t end, const char* name, uint8_t typeByte = 0xA2) {
    size_t o = 1024 + 128 * static_cast<size_t>(i);
    d[o] = typeByte;
    d[o + 1] = 0xA0;
    d[o + 15] = 0xC7;
    put64(d, o + 32, start);
    put64(d, o + 40, end);
    for (size_t k = 0; name[k] && k < 36; ++k) d[o + 56 + 2 * k] = static_cast<uint8_t>(name[k]);
}

}  // namespace

TEST(MbrWalk, AllSlotsAreVisitedAndNumbersStayWhereTheyWere) {
    std::vector<uint8_t> d(64 * 512, 0);
    // NTFS, extended, FAT32, empty: the primary after the extended slot is listed too.
    slot(d, 0, 0, 0x07, 8, 16);
    slot(d, 0, 1, 0x05, 40, 20);
    slot(d, 0, 2, 0x0C, 24, 8);
    // EBR at 40: logical at 40+2, link to 40+10; EBR at 50: logical at 50+2.
    slot(d, 40 * 512, 0, 0x83, 2, 6);
    slot(d, 40 * 512, 1, 0x05, 10, 8);
    slot(d, 50 * 512, 0, 0x06, 2, 4);
    Collect c;
    auto v = walk(d, false, &c);
    ASSERT_EQ(v.size(), 4u);
    EXPECT_EQ(v[0].fileSystem, "NTFS");
    EXPECT_EQ(v[0].volumeNumber, "0");
    EXPECT_EQ(v[0].startSector, 8u);
    EXPECT_EQ(v[0].sizeText, "0   MB");
    EXPECT_EQ(v[0].sizeSectors, 16u);
    EXPECT_EQ(v[1].fileSystem, "FAT32");
    EXPECT_EQ(v[1].volumeNumber, "1");
    EXPECT_EQ(v[2].fileSystem, "extX");
    EXPECT_EQ(v[2].startSector, 42u);
    EXPECT_EQ(v[3].fileSystem, "FAT16");
    EXPECT_EQ(v[3].startSector, 52u);
    EXPECT_EQ(v[3].volumeNumber, "3");
    EXPECT_NE(std::find(c.statuses.begin(), c.statuses.end(), "found NTFS 1..."), c.statuses.end());
    EXPECT_NE(std::find(c.statuses.begin(), c.statuses.end(), "found extx..."), c.statuses.end());
}

TEST(MbrWalk, EmptyFirstSlotNoLongerHidesTheOthers) {
    std::vector<uint8_t> d(64 * 512, 0);
    slot(d, 0, 1, 0x83, 8, 2048 * 3);
    slot(d, 0, 3, 0x42, 20, 2048);
    auto v = walk(d);
    ASSERT_EQ(v.size(), 2u);
    EXPECT_EQ(v[0].fileSystem, "extX");
    EXPECT_EQ(v[0].sizeText, "3   MB");
    EXPECT_EQ(v[1].fileSystem, "NTFS");  // 0x42 primary
}

TEST(MbrWalk, ExtendedChainLoopStopsAfterFiftyRecords) {
    std::vector<uint8_t> d(64 * 512, 0);
    slot(d, 0, 0, 0x05, 10, 40);
    // The EBR at 10 holds a logical volume and a link to itself.
    slot(d, 10 * 512, 0, 0x83, 1, 2);
    slot(d, 10 * 512, 1, 0x05, 0, 40);
    auto v = walk(d);
    EXPECT_EQ(v.size(), 50u);
    EXPECT_EQ(v.back().volumeNumber, "49");
}

TEST(MbrWalk, HostileValuesEndTheWalkSafely) {
    std::vector<uint8_t> d(8 * 512, 0);
    slot(d, 0, 0, 0x05, 0xFFFFFFF0u, 0xFFFFFFFFu);  // extended chain far beyond the disk
    slot(d, 0, 1, 0x07, 0xFFFFFFFFu, 0xFFFFFFFFu);  // exFAT probe beyond the disk: NTFS by type
    MemoryReader r(d);
    Collect c;
    Partition p;
    p.owner = &c;
    EXPECT_NE(ReadPartitionTables(r, p, probeTable()), 0);
    EXPECT_TRUE(c.entries.empty());  // an entry that starts beyond the disk is no volume on it

    // Without the boot signature, sector 0 is not a partition table at all.
    std::vector<uint8_t> unsigned0(8 * 512, 0);
    slot(unsigned0, 0, 0, 0x07, 2, 4);
    unsigned0[510] = unsigned0[511] = 0;
    MemoryReader r2(unsigned0);
    Collect c2;
    Partition p2;
    p2.owner = &c2;
    EXPECT_EQ(ReadPartitionTables(r2, p2, probeTable()), 0);
    EXPECT_TRUE(c2.entries.empty());
}

TEST(MbrWalk, UnreadableSectorZeroListsNothing) {
    MemoryReader r(std::vector<uint8_t>(4096, 0));
    r.failRange(0, 512);
    Collect c;
    Partition p;
    p.owner = &c;
    EXPECT_NE(ReadPartitionTables(r, p, probeTable()), 0);
    EXPECT_TRUE(c.entries.empty());
}

TEST(BareVolume, BootSectorAtSectorZeroIsOneVolume) {
    // A Windows-style NTFS boot sector whose boot code would decode as partitions.
    std::vector<uint8_t> d(8192 * 512, 0);
    ntfsBoot(d, 0, 8191);
    for (size_t i = 446; i < 510; ++i) d[i] = static_cast<uint8_t>(i * 31);
    auto v = walk(d);
    ASSERT_EQ(v.size(), 1u);
    EXPECT_EQ(v[0].fileSystem, "NTFS");
    EXPECT_EQ(v[0].startSector, 0u);
    EXPECT_EQ(v[0].sizeSectors, 8191u);
    EXPECT_EQ(v[0].volumeNumber, "0");
}

TEST(FatIdentification, GeometryAndClusterCountDecide) {
    struct Case {
        uint32_t total;
        uint8_t spc;
        uint16_t spf16;
        uint32_t spf32;
        uint16_t root;
        FatKind want;
    };
    // mkfs.fat FAT16 of 50 MiB has sectors-per-FAT 100: not 200 or 256, still FAT16.
    const Case cases[] = {
        {102400, 4, 100, 0, 512, FatKind::Fat16},
        {2880, 1, 9, 0, 224, FatKind::Fat12},
        {98304, 1, 0, 757, 0, FatKind::Fat32},
        {65536, 2, 128, 0, 512, FatKind::Fat16},
    };
    for (const Case& c : cases) {
        std::vector<uint8_t> d(512, 0);
        fatBoot(d, 0, c.total, c.spc, c.spf16, c.spf32, c.root);
        EXPECT_EQ(classifyFatBootSector(d.data(), d.size()).kind, c.want) << c.total;
    }
    std::vector<uint8_t> bad(512, 0);
    fatBoot(bad, 0, 102400, 3, 100, 0, 512);  // sectors per cluster not a power of two
    EXPECT_EQ(classifyFatBootSector(bad.data(), bad.size()).kind, FatKind::None);
    bad[3] = 'M', bad[4] = 'S', bad[5] = 'D', bad[6] = 'O';  // the OEM name alone is enough
    bad[13] = 4;
    bad[510] = 0;
    EXPECT_EQ(classifyFatBootSector(bad.data(), bad.size()).kind, FatKind::Fat16);
}

TEST(GptWalk, GapsAreSkippedReservedIsUnnumberedAndProtectiveMbrLeadsToGpt) {
    std::vector<uint8_t> d(40000 * 512, 0);
    gptHeader(d);
    gptEntry(d, 0, 100, 100 + 2047, "Microsoft reserved partition");
    gptEntry(d, 2, 3000, 3000 + 4095, "Basic data");  // entry 1 is unused
    ntfsBoot(d, 3000, 4095);
    gptEntry(d, 3, 8000, 8000 + 4095, "tiny ntfs");
    ntfsBoot(d, 8000, 100);  // under 1 MiB: a number is used, nothing listed
    gptEntry(d, 4, 13000, 13000 + 8191, "Linux filesystem");
    d[13002 * 512 + 56] = 0x53;
    d[13002 * 512 + 57] = 0xEF;
    gptEntry(d, 5, 22000, 21000, "backwards");
    fatBoot(d, 30000, 8192, 1, 0, 0, 0);  // not referenced
    auto v = walk(d, false);
    ASSERT_EQ(v.size(), 3u);
    EXPECT_EQ(v[0].fileSystem, "NTFS");
    EXPECT_EQ(v[0].volumeNumber, "0");
    EXPECT_EQ(v[0].sizeText, "1   MB");
    EXPECT_EQ(v[1].fileSystem, "extX");
    EXPECT_EQ(v[1].volumeNumber, "2");
    EXPECT_EQ(v[1].sizeText, "3");
    EXPECT_EQ(v[1].sizeSectors, 8192u);
    EXPECT_EQ(v[2].fileSystem, "backwards");
    EXPECT_EQ(v[2].sizeText, "0");
    EXPECT_EQ(v[2].sizeSectors, 0u);
}

TEST(GptWalk, OptionOnAnMbrDiskUsesTheMbrAndHostileArrayLbaIsSafe) {
    std::vector<uint8_t> d(64 * 512, 0);
    slot(d, 0, 0, 0x83, 8, 16);
    auto v = walk(d, true);
    ASSERT_EQ(v.size(), 1u);
    EXPECT_EQ(v[0].fileSystem, "extX");

    std::vector<uint8_t> g(64 * 512, 0);
    gptHeader(g, 1ull << 62);
    EXPECT_TRUE(walk(g, true).empty());
    // Without the signature the protective entry is one "Unknown" volume.
    std::vector<uint8_t> p(64 * 512, 0);
    slot(p, 0, 0, 0xEE, 1, 63);
    auto pv = walk(p, false);
    ASSERT_EQ(pv.size(), 1u);
    EXPECT_EQ(pv[0].fileSystem, "Unknown");
}

TEST(GptWalk, EntryStartBeyondTheDiskEndsTheWalk) {
    std::vector<uint8_t> d(64 * 512, 0);
    gptHeader(d);
    gptEntry(d, 0, 40, 50, "first");
    gptEntry(d, 1, 1ull << 61, (1ull << 61) + 10, "far");
    gptEntry(d, 2, 50, 60, "after");
    auto v = walk(d, true);
    ASSERT_EQ(v.size(), 1u);
    EXPECT_EQ(v[0].fileSystem, "first");
}

// The fixture disks: every partition the manifest lists, at its start sector,
// with the right file-system name; bare volume images list one volume at 0.
TEST(FixtureDisks, VolumesMatchTheManifests) {
    const std::map<std::string, std::string> names = {{"ntfs", "NTFS"},   {"fat32", "FAT32"}, {"fat16", "FAT16"},
                                                      {"exfat", "FAT64"}, {"ext2", "extX"},   {"ext3", "extX"},
                                                      {"ext4", "extX"},   {"hfsplus", "HFS+"}};
    int checked = 0;
    for (const char* img : {"disk_mbr", "disk_gpt", "ntfs", "fat16", "fat32", "exfat", "ext2", "ext3", "ext4",
                            "hfsplus", "reformat_fat32", "reformat_ntfs"}) {
        auto path = test::fixtureImage(img);
        auto manifest = test::fixtureManifest(img);
        if (!path || !manifest) continue;
        FileReadSeek r;
        ASSERT_TRUE(r.Open(*path));
        Collect c;
        Partition p;
        p.owner = &c;
        ReadPartitionTables(r, p, probeTable());
        const auto& vols = (*manifest)["volumes"];
        ASSERT_EQ(c.entries.size(), vols.size()) << img;
        for (size_t i = 0; i < vols.size(); ++i) {
            uint64_t start = vols[i].value("offset_sectors", 0ull);
            EXPECT_EQ(c.entries[i].startSector, start) << img;
            EXPECT_EQ(c.entries[i].fileSystem, names.at(vols[i]["fs"].get<std::string>())) << img;
            uint64_t len = vols[i]["length_bytes"].get<uint64_t>() / 512;
            EXPECT_LE(c.entries[i].sizeSectors, len) << img;
            EXPECT_GE(c.entries[i].sizeSectors + 8, len) << img;
        }
        ++checked;
    }
    if (checked == 0) GTEST_SKIP() << "no fixture disk images found (set BRANTLOW_FIXTURES)";
}

TEST(FixtureDisks, CliVolumesJson) {
    BRANTLOW_REQUIRE_IMAGE(img, "disk_mbr");
    auto r = test::runCli({"volumes", img, "--json"});
    ASSERT_EQ(r.rc, 0);
    auto lines = test::jsonLines(r.out);
    ASSERT_EQ(lines.size(), 4u);
    EXPECT_EQ(lines[0]["fileSystem"], "NTFS");
    EXPECT_EQ(lines[0]["sizeText"], "32   MB");
    EXPECT_EQ(lines[0]["startSector"], 2048);
    EXPECT_EQ(lines[3]["volume"], "3");
    EXPECT_EQ(lines[3]["fileSystem"], "FAT64");
    EXPECT_EQ(lines[3]["sizeSectors"], 49152);
    EXPECT_EQ(test::runCli({"volumes", img + ".missing"}).rc, 2);
    EXPECT_EQ(test::runCli({"volumes"}).rc, 1);
}

// sfdisk as the oracle: every data partition it reports (extended containers
// aside) is listed at the same start sector.
TEST(FixtureDisks, SameStartSectorsAsSfdisk) {
    if (std::system("command -v sfdisk >/dev/null 2>&1") != 0) GTEST_SKIP() << "sfdisk not installed";
    int checked = 0;
    for (const char* img : {"disk_mbr", "disk_gpt"}) {
        auto path = test::fixtureImage(img);
        if (!path) continue;
        FILE* p = popen(("sfdisk --json '" + *path + "' 2>/dev/null").c_str(), "r");
        ASSERT_NE(p, nullptr);
        std::string text;
        char buf[4096];
        size_t n;
        while ((n = fread(buf, 1, sizeof buf, p)) > 0) text.append(buf, n);
        pclose(p);
        auto j = nlohmann::json::parse(text);
        std::vector<uint64_t> want;
        for (const auto& part : j["partitiontable"]["partitions"]) {
            std::string type = part.value("type", "");
            if (type == "5" || type == "f" || type == "85") continue;
            want.push_back(part["start"].get<uint64_t>());
        }
        FileReadSeek r;
        ASSERT_TRUE(r.Open(*path));
        Collect c;
        Partition part;
        part.owner = &c;
        ReadPartitionTables(r, part, probeTable());
        std::vector<uint64_t> got;
        for (const auto& e : c.entries) got.push_back(e.startSector);
        EXPECT_EQ(got, want) << img;
        ++checked;
    }
    if (checked == 0) GTEST_SKIP() << "no fixture disk images found (set BRANTLOW_FIXTURES)";
}
