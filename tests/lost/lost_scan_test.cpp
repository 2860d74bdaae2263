// The sector scan for lost volumes: a disk whose partition table was wiped,
// volumes made by the real formatters placed back to back, first structures
// wiped so that only their copies are left, unreadable sectors, stop and
// hostile headers.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <thread>
#include <vector>

#include "base/bytes.h"
#include "disk/sector_scan.h"
#include "fs/filesystems.h"
#include "scan/volumes.h"
#include "tests/support/fixtures.h"
#include "tests/support/hfs_writer.h"
#include "tests/support/memory_reader.h"
#include "tests/support/table_bytes.h"

using namespace brantlow;
using namespace brantlow::test;
using nlohmann::json;
namespace fs = std::filesystem;

namespace {

struct Scanned {
    std::vector<VolumeEntry> entries;
    SectorScanResult result;
    std::vector<std::string> statuses;
};

Scanned scan(readWriteInterface& r, bool skip = true, int64_t start = 0, int64_t end = 0,
             size_t chunk = kScanChunkBytes) {
    Collect c;
    Partition p;
    p.owner = &c;
    p.skipFoundVolumes = skip;
    p.scanStartSector = start;
    p.scanEndSector = end;
    Scanned s;
    s.result = ScanForFileSystems(r, p, probeTable(), chunk);
    s.entries = c.entries;
    s.statuses = c.statuses;
    return s;
}

// (file system, start sector) of each entry, in the order found.
std::vector<std::pair<std::string, uint64_t>> starts(const std::vector<VolumeEntry>& v) {
    std::vector<std::pair<std::string, uint64_t>> out;
    for (const auto& e : v) out.emplace_back(e.fileSystem, e.startSector);
    return out;
}

bool haveTool(const char* name) {
    return std::system((std::string("command -v ") + name + " >/dev/null 2>&1").c_str()) == 0;
}

std::vector<uint8_t> readAll(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(f), {});
}

// sha256 of every file below dir, by path relative to it.
std::map<std::string, std::string> treeHashes(const std::string& dir) {
    std::map<std::string, std::string> out;
    for (const auto& e : fs::recursive_directory_iterator(dir))
        if (e.is_regular_file()) out[fs::relative(e.path(), dir).string()] = sha256File(e.path().string()).value_or("");
    return out;
}

// ---------------------------------------------------------------------------
// disk_mbr_lost: the table is zeroed; the scan finds every volume, the
// logical ones of the old extended partition included, and each reads like
// its twin on disk_mbr.

TEST(LostTable, ScanFindsEveryVolumeAtItsStart) {
    BRANTLOW_REQUIRE_IMAGE(img, "disk_mbr_lost");
    auto manifest = fixtureManifest("disk_mbr_lost");
    ASSERT_TRUE(manifest);
    const std::map<std::string, std::string> names = {
        {"ntfs", "NTFS"}, {"fat32", "FAT32"}, {"ext4", "extX"}, {"exfat", "FAT64"}};
    std::vector<std::pair<std::string, uint64_t>> want;
    for (const json& v : (*manifest)["volumes"]) want.emplace_back(names.at(v["fs"]), v["offset_sectors"].get<uint64_t>());

    FileReadSeek r;
    ASSERT_TRUE(r.Open(img));
    Scanned s = scan(r);
    EXPECT_EQ(starts(s.entries), want);
    EXPECT_EQ(s.result.unreadableSectors, 0u);
    EXPECT_FALSE(s.result.stopped);
    for (size_t i = 0; i < s.entries.size(); ++i) EXPECT_EQ(s.entries[i].volumeNumber, std::to_string(i));
    EXPECT_EQ(s.statuses.front(), "Scanning partition.....");
    // Skipping volume bodies, the scan reads only the gaps between them.
    EXPECT_LT(s.result.sectorsRead, r.sizeBytes() / 512 / 4);

    // Without skipping: the same volumes, each in its place, and the boot
    // sector copies the volumes keep, each as a volume of its own (the NTFS
    // backup at the volume's last sector, the FAT32 copy at its sector 6,
    // the exFAT backup region at 12); the ext superblock copies and the
    // superblocks in the ext journal carry the listed volume's UUID and add
    // nothing.
    Scanned all = scan(r, false);
    const uint64_t ntfsBackup = 2048 + s.entries[0].sizeSectors;
    EXPECT_EQ(starts(all.entries), (std::vector<std::pair<std::string, uint64_t>>{{"NTFS", 2048},
                                                                                  {"NTFS", ntfsBackup},
                                                                                  {"FAT32", 67584},
                                                                                  {"FAT32", 67584 + 6},
                                                                                  {"extX", 151552},
                                                                                  {"FAT64", 202752},
                                                                                  {"FAT64", 202752 + 12}}));
}

TEST(LostTable, EachVolumeListsAndRecoversLikeItsTwin) {
    BRANTLOW_REQUIRE_IMAGE(lost, "disk_mbr_lost");
    BRANTLOW_REQUIRE_IMAGE(twin, "disk_mbr");
    CliResult scanned = runCli({"volumes", lost, "--scan", "--json", "--quiet"});
    ASSERT_EQ(scanned.rc, 0) << scanned.out;
    CliResult walked = runCli({"volumes", twin, "--json"});
    ASSERT_EQ(walked.rc, 0);
    std::map<uint64_t, std::string> twinNumber;
    for (const json& v : jsonLines(walked.out)) twinNumber[v["startSector"].get<uint64_t>()] = v["volume"];
    size_t volumes = 0;
    bool summary = false;
    for (const json& v : jsonLines(scanned.out)) {
        if (v.contains("scan")) {
            summary = true;
            EXPECT_EQ(v["scan"]["unreadableSectors"], 0);
            EXPECT_EQ(v["scan"]["volumes"], 4);
            continue;
        }
        const std::string start = std::to_string(v["startSector"].get<uint64_t>());
        ASSERT_TRUE(twinNumber.count(v["startSector"])) << start;
        const std::string number = twinNumber[v["startSector"]];
        CliResult a = runCli({"list", lost, "--start-sector", start, "--json", "--quiet"});
        CliResult b = runCli({"list", twin, "--volume", number, "--json", "--quiet"});
        EXPECT_EQ(a.rc, 0) << v;
        EXPECT_EQ(a.rc, b.rc);
        EXPECT_GT(jsonLines(a.out).size(), 20u) << v;
        EXPECT_EQ(a.out, b.out) << v;
        TempDir outA, outB;
        CliResult ra = runCli({"recover", lost, "--start-sector", start, "--out", outA.path(), "--quiet"});
        CliResult rb = runCli({"recover", twin, "--volume", number, "--out", outB.path(), "--quiet"});
        EXPECT_EQ(ra.rc, rb.rc) << v;
        auto ha = treeHashes(outA.path());
        EXPECT_GT(ha.size(), 20u) << v;
        EXPECT_EQ(ha, treeHashes(outB.path())) << v;
        ++volumes;
    }
    EXPECT_TRUE(summary);
    EXPECT_EQ(volumes, 4u);
}

TEST(LostTable, CliRangeAndUsage) {
    BRANTLOW_REQUIRE_IMAGE(lost, "disk_mbr_lost");
    // The range holds the two logical volumes' starts only.
    CliResult r = runCli({"volumes", lost, "--scan", "--start", "150000", "--end", "210000", "--quiet"});
    ASSERT_EQ(r.rc, 0);
    EXPECT_NE(r.out.find("extX"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("202752"), std::string::npos) << r.out;
    EXPECT_EQ(r.out.find("NTFS"), std::string::npos) << r.out;
    CliResult err = runCli({"volumes", lost, "--scan", "--quiet"}, true);
    EXPECT_NE(err.out.find("0 unreadable sector(s) skipped"), std::string::npos) << err.out;
    EXPECT_EQ(runCli({"volumes", lost, "--scan", "--start", "9", "--end", "3"}).rc, 1);
    EXPECT_EQ(runCli({"volumes", lost, "--scan", "--start", "999999999"}).rc, 1);
    EXPECT_EQ(runCli({"volumes", lost, "--scan", "--start", "x1"}).rc, 1);
    EXPECT_EQ(runCli({"volumes", lost, "--no-skip"}).rc, 1);  // belongs to --scan
}

// ---------------------------------------------------------------------------
// Volumes made by the formatters, placed back to back without a table.

struct Built {
    std::vector<uint8_t> disk;
    std::vector<std::pair<std::string, uint64_t>> volumes;  // name, start sector
    std::vector<uint64_t> sectors;                            // each volume's sectors
};

// Formats a file of `mib` MiB with the command ("%s" is the file) and
// returns its bytes; empty when the tool failed.
std::vector<uint8_t> formatted(const TempDir& t, const std::string& name, int mib, const std::string& cmd) {
    const std::string f = t.path() + "/" + name;
    std::string c = "truncate -s " + std::to_string(mib) + "M " + f + " && ";
    std::string body = cmd;
    body.replace(body.find("%s"), 2, f);
    if (std::system((c + body + " >/dev/null 2>&1").c_str()) != 0) return {};
    return readAll(f);
}

// NTFS, FAT32, exFAT, ext4 and HFS+ one after the other from sector 2048.
// The NTFS volume ends with its backup boot sector, and each next volume
// starts in the sector after.
std::optional<Built> buildBackToBack() {
    for (const char* tool : {"mkntfs", "mkfs.fat", "mkfs.exfat", "mke2fs"})
        if (!haveTool(tool)) return std::nullopt;
    TempDir t;
    std::vector<std::pair<std::string, std::vector<uint8_t>>> parts = {
        {"NTFS", formatted(t, "n", 16, "mkntfs -F -Q -q -s 512 -c 4096 %s")},
        {"FAT32", formatted(t, "f", 40, "mkfs.fat -F 32 -s 1 %s")},
        {"FAT64", formatted(t, "x", 8, "mkfs.exfat %s")},
        {"extX", formatted(t, "e", 12, "mke2fs -q -F -t ext4 -b 1024 %s")},
    };
    for (auto& p : parts)
        if (p.second.empty()) return std::nullopt;
    HfsItem file;
    file.path = "a.txt";
    file.data.assign(5000, 'h');
    HfsOptions o;
    o.spareBlocks = 1024;  // 4 MiB: volumes under 1 MiB are not listed
    HfsImage hfs = makeHfsVolume({file}, o);
    hfs.bytes.resize((hfs.bytes.size() + 511) / 512 * 512);
    parts.emplace_back("HFS+", hfs.bytes);
    Built b;
    uint64_t at = 2048;
    for (auto& [name, bytes] : parts) {
        b.volumes.emplace_back(name, at);
        b.sectors.push_back(bytes.size() / 512);
        at += bytes.size() / 512;
    }
    b.disk.assign((at + 2048) * 512, 0);
    for (size_t i = 0; i < parts.size(); ++i)
        std::memcpy(&b.disk[b.volumes[i].second * 512], parts[i].second.data(), parts[i].second.size());
    return b;
}

TEST(BackToBack, EveryVolumeFoundWithAndWithoutSkipping) {
    auto b = buildBackToBack();
    if (!b) GTEST_SKIP() << "mkntfs, mkfs.fat, mkfs.exfat or mke2fs missing";
    MemoryReader r(b->disk);
    Scanned s = scan(r);
    EXPECT_EQ(starts(s.entries), b->volumes);
    // The NTFS size leaves out the backup boot sector; the others are whole.
    EXPECT_EQ(s.entries[0].sizeSectors, b->sectors[0] - 1);
    for (size_t i = 1; i < s.entries.size(); ++i) EXPECT_EQ(s.entries[i].sizeSectors, b->sectors[i]) << i;
    EXPECT_EQ(s.entries[0].sizeText, "15   MB");
    EXPECT_EQ(s.entries[1].sizeText, "40  MB");

    Scanned all = scan(r, false);
    auto got = starts(all.entries);
    for (const auto& v : b->volumes) EXPECT_NE(std::find(got.begin(), got.end(), v), got.end()) << v.first;

    // A small chunk size puts volume starts and probe windows across chunk
    // boundaries: the same volumes.
    EXPECT_EQ(starts(scan(r, true, 0, 0, 4096 + 512).entries), b->volumes);
}

TEST(BackToBack, VolumesWhoseFirstStructureIsGoneAreFoundThroughTheirCopies) {
    auto b = buildBackToBack();
    if (!b) GTEST_SKIP() << "mkntfs, mkfs.fat, mkfs.exfat or mke2fs missing";
    // Wipe each volume's first sector (the boot sector) and its third (the
    // ext superblock, the HFS+ volume header).
    for (const auto& v : b->volumes) {
        std::memset(&b->disk[v.second * 512], 0, 512);
        std::memset(&b->disk[v.second * 512 + 1024], 0, 512);
    }
    MemoryReader r(b->disk);
    for (bool skip : {true, false}) {
        Scanned s = scan(r, skip);
        EXPECT_EQ(starts(s.entries), b->volumes) << "skip " << skip;
    }
}

TEST(BackToBack, RangeScanReportsOnlyVolumesStartingInIt) {
    auto b = buildBackToBack();
    if (!b) GTEST_SKIP() << "mkntfs, mkfs.fat, mkfs.exfat or mke2fs missing";
    MemoryReader r(b->disk);
    const uint64_t fat = b->volumes[1].second, exfat = b->volumes[2].second;
    Scanned s = scan(r, true, static_cast<int64_t>(fat), static_cast<int64_t>(exfat));
    EXPECT_EQ(starts(s.entries), (std::vector<std::pair<std::string, uint64_t>>{{"FAT32", fat}, {"FAT64", exfat}}));
    EXPECT_EQ(s.result.firstSector, fat);
    EXPECT_EQ(s.result.lastSector, exfat);
    EXPECT_EQ(s.entries[0].volumeNumber, "0");
    // A start beyond the disk, an end below the start: nothing, normally.
    EXPECT_TRUE(scan(r, true, 1 << 30).entries.empty());
    EXPECT_TRUE(scan(r, true, 5000, 4000).entries.empty());
}

TEST(BackToBack, UnreadableSectorsAreSkippedAndCounted) {
    auto b = buildBackToBack();
    if (!b) GTEST_SKIP() << "mkntfs, mkfs.fat, mkfs.exfat or mke2fs missing";
    MemoryReader r(b->disk);
    // 100 bad sectors before the first volume, and the exFAT boot sector
    // itself: the volumes behind are still found, exFAT through its backup.
    r.failRange(1000 * 512, 1100 * 512);
    const uint64_t exfat = b->volumes[2].second;
    r.failRange(exfat * 512, (exfat + 1) * 512);
    Scanned s = scan(r);
    EXPECT_EQ(starts(s.entries), b->volumes);
    EXPECT_EQ(s.result.unreadableSectors, 101u);
    EXPECT_FALSE(s.result.stopped);
    EXPECT_EQ(s.statuses.back(), "101 unreadable sectors were skipped.");
}

// ---------------------------------------------------------------------------
// Stop, and hostile headers.

TEST(SectorScan, StopFromAnotherThreadKeepsWhatWasFound) {
    auto b = buildBackToBack();
    if (!b) GTEST_SKIP() << "mkntfs, mkfs.fat, mkfs.exfat or mke2fs missing";
    MemoryReader r(b->disk);
    Collect c;
    Partition p;
    p.owner = &c;
    p.skipFoundVolumes = false;
    PauseGate gate;
    p.pause = &gate;
    gate.pause();
    SectorScanResult res;
    std::thread worker([&] { res = ScanForFileSystems(r, p, probeTable(), 64 * 1024); });
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    p.stopRequested.store(true);
    gate.resume();
    worker.join();
    EXPECT_TRUE(res.stopped);
    EXPECT_TRUE(c.entries.empty());  // paused before the first read
    EXPECT_EQ(c.statuses.back(), "Scanned Partitions");
}

TEST(SectorScan, HostileSizesEndTheScan) {
    std::vector<uint8_t> d(8 << 20, 0);
    auto ntfs = [&](uint64_t s, uint64_t total) {
        uint8_t* o = &d[s * 512];
        o[0] = 0xEB, o[1] = 0x52, o[2] = 0x90;
        std::memcpy(o + 3, "NTFS    ", 8);
        o[11] = 0, o[12] = 2, o[13] = 8;
        for (int i = 0; i < 8; ++i) o[40 + i] = static_cast<uint8_t>(total >> (8 * i));
        o[510] = 0x55, o[511] = 0xAA;
    };
    ntfs(100, 1ull << 54);  // 8 EiB: listed, and the skip behind it ends the scan
    ntfs(200, ~0ull);       // a size no disk has: not listed
    // "H+" at sector 1: a header would put the volume before the disk.
    d[512] = 'H', d[513] = '+', d[514] = 0, d[515] = 4;
    // The ext magic alone (in file data, say) is no superblock for the scan.
    d[302 * 512 + 56] = 0x53, d[302 * 512 + 57] = 0xEF;
    d[302 * 512 + 4] = 0x00, d[302 * 512 + 5] = 0x40;  // 16384 blocks
    MemoryReader r(d);
    Scanned s = scan(r);  // skipping: the first volume's skip runs past the end
    ASSERT_EQ(s.entries.size(), 1u);
    EXPECT_EQ(s.entries[0].startSector, 100u);
    Scanned all = scan(r, false);
    EXPECT_EQ(starts(all.entries), (std::vector<std::pair<std::string, uint64_t>>{{"NTFS", 100}}));
    EXPECT_EQ(all.result.sectorsRead, d.size() / 512);
}

}  // namespace

// The scan probes only the sectors where a row's marks hold: wherever a
// row's probe recognises the bytes of a real volume (first structures and
// their copies alike), one of its marks must hold.
TEST(SectorScan, EveryRecognisedSectorHoldsOneOfItsRowsMarks) {
    const ProbeTable& rows = volumeProbeTable();
    int images = 0;
    std::map<std::string, int> seen;
    for (const char* name : {"disk_mbr_lost", "btrfs", "xfs", "hfsplus", "luks2_ext4", "lvm_disk", "raid5_set.m0"}) {
        const auto path = fixtureImage(name);
        if (!path) continue;
        ++images;
        const std::vector<uint8_t> d = readAll(*path);
        for (size_t at = 0; at < d.size(); at += 512) {
            const size_t len = std::min<size_t>(kProbeBytes, d.size() - at);
            for (const ProbeRow& row : rows) {
                ProbeResult r;
                if (!row.probe || row.scanMarks.empty() || !row.probe(d.data() + at, len, r)) continue;
                ++seen[row.family];
                bool held = false;
                for (const ScanMark& m : row.scanMarks)
                    held = held || (m.at + m.length <= len && std::memcmp(d.data() + at + m.at, m.bytes, m.length) == 0);
                EXPECT_TRUE(held) << row.family << " at byte " << at << " of " << name;
            }
        }
    }
    if (!images) GTEST_SKIP() << "no fixture images (set BRANTLOW_FIXTURES)";
    for (const char* family : {"ntfs", "fat", "exfat", "ext", "hfsplus", "xfs", "btrfs", "luks", "lvm", "md"})
        if (images == 7) EXPECT_GT(seen[family], 0) << family;
}
