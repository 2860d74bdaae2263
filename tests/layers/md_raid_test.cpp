// Linux md RAID sets: the layouts against md's own tables, every level and
// superblock version read back (members missing too), the fixture sets
// listed and recovered like their volume alone, hostile superblocks.
#include <gtest/gtest.h>

#include <cstring>
#include <set>
#include <filesystem>
#include <fstream>

#include "disk/sector_scan.h"
#include "layers/api/raid_reader.h"
#include "scan/volumes.h"
#include "tests/support/fixtures.h"
#include "tests/support/memory_reader.h"
#include "tests/support/raid_sets.h"

using namespace brantlow;
using namespace brantlow::test;
namespace fs = std::filesystem;

namespace {

using Readers = std::vector<std::shared_ptr<readWriteInterface>>;

Readers readersOf(const std::vector<Bytes>& members) {
    Readers r;
    for (const Bytes& m : members) r.push_back(std::make_shared<MemoryReader>(m));
    return r;
}

Bytes readAll(readWriteInterface& r, uint64_t n) {
    Bytes b(n);
    EXPECT_EQ(readZeroFill(r, 0, b.data(), b.size()), b.size());
    return b;
}


std::map<std::string, std::string> fileTree(const std::string& dir) {
    std::map<std::string, std::string> out;
    for (auto& e : fs::recursive_directory_iterator(dir))
        if (e.is_regular_file()) out[fs::relative(e.path(), dir).string()] = sha256File(e.path().string()).value_or("");
    return out;
}

// The set the members make, as one disk; "" when it is not one.
std::string assembled(const Readers& members, Bytes* bytes, uint64_t n) {
    std::vector<std::string> names;
    for (size_t i = 0; i < members.size(); ++i) names.push_back("m" + std::to_string(i));
    Assembly a = assembleSources(members, names);
    if (a.disks.size() != 1) return a.notes.empty() ? "no set" : a.notes[0];
    if (bytes) *bytes = readAll(*a.disks[0].reader, n);
    return a.disks[0].description;
}

struct Cell {
    int chunk;  // array chunk number, -1 for P, -2 for Q
};

// Where md puts array chunk k: a table row per stripe (member chunk
// row), a column per role; a chunk kept twice (RAID 10) is read from its
// first place.
void expectTable(const RaidGeometry& g, const std::vector<std::vector<int>>& table) {
    std::set<int> seen;
    for (size_t s = 0; s < table.size(); ++s)
        for (size_t role = 0; role < table[s].size(); ++role) {
            const int k = table[s][role];
            if (k < 0 || !seen.insert(k).second) continue;
            int gotRole = -1;
            uint64_t at = 0;
            ASSERT_TRUE(raidLocate(g, static_cast<uint64_t>(k) * g.chunkBytes + 7, gotRole, at));
            EXPECT_EQ(gotRole, static_cast<int>(role)) << "chunk " << k << " layout " << g.layout;
            EXPECT_EQ(at, s * g.chunkBytes + 7) << "chunk " << k << " layout " << g.layout;
        }
}

RaidGeometry geometry(int level, int layout, int n) {
    RaidGeometry g;
    g.level = level;
    g.layout = layout;
    g.chunkBytes = 4096;
    for (int i = 0; i < n; ++i) g.members.push_back({std::make_shared<MemoryReader>(Bytes{}), 0, 1 << 20});
    return g;
}

}  // namespace

// md's documented layouts (four members, P as -1, Q as -2).
TEST(MdLayouts, FollowMdTables) {
    expectTable(geometry(5, kLeftAsymmetric, 4), {{0, 1, 2, -1}, {3, 4, -1, 5}, {6, -1, 7, 8}, {-1, 9, 10, 11}});
    expectTable(geometry(5, kLeftSymmetric, 4), {{0, 1, 2, -1}, {4, 5, -1, 3}, {8, -1, 6, 7}, {-1, 9, 10, 11}});
    expectTable(geometry(5, kRightAsymmetric, 4), {{-1, 0, 1, 2}, {3, -1, 4, 5}, {6, 7, -1, 8}, {9, 10, 11, -1}});
    expectTable(geometry(5, kRightSymmetric, 4), {{-1, 0, 1, 2}, {5, -1, 3, 4}, {7, 8, -1, 6}, {9, 10, 11, -1}});
    expectTable(geometry(4, 0, 4), {{0, 1, 2, -1}, {3, 4, 5, -1}});
    // RAID 6, left-symmetric over five: P walks down from the last member, Q follows it.
    expectTable(geometry(6, kLeftSymmetric, 5), {{-2, 0, 1, 2, -1}, {3, 4, 5, -1, -2}, {7, 8, -1, -2, 6}});
    expectTable(geometry(6, kLeftAsymmetric, 5), {{-2, 0, 1, 2, -1}, {0 + 3, 4, 5, -1, -2}, {6, 7, -1, -2, 8}});
    // RAID 10: near copies side by side, offset copies a row on.
    RaidGeometry near = geometry(10, 0x102, 3);
    expectTable(near, {{0, 0, 1}, {1, 2, 2}});
    expectTable(geometry(10, 0x10201, 2), {{0, 1}, {1, 0}, {2, 3}, {3, 2}});
    int role = -1;
    uint64_t at = 0;
    // RAID 0 over members of different sizes: zones.
    RaidGeometry zones = geometry(0, kRaid0AlternateLayout, 2);
    zones.members[1].dataBytes = 2 << 20;
    ASSERT_TRUE(raidLocate(zones, (2 << 20) + 5, role, at));  // the second zone: the larger member alone
    EXPECT_EQ(role, 1);
    EXPECT_EQ(at, (1u << 20) + 5);
}

TEST(MdSets, EveryLevelAndSuperblockReadsTheVolume) {
    const Bytes volume = volumeBytes(3 << 20, 7);
    struct Case {
        int level, layout, members;
        const char* version;
    };
    const Case cases[] = {
        {0, 0, 3, "1.2"},           {1, 0, 2, "0.90"},           {4, 0, 4, "1.0"},
        {5, kLeftSymmetric, 3, "1.2"}, {5, kLeftAsymmetric, 4, "1.1"}, {5, kRightSymmetric, 4, "0.90be"},
        {5, kRightAsymmetric, 3, "1.0"}, {6, kLeftSymmetric, 5, "1.2"}, {6, kRightAsymmetric, 5, "1.2"},
        {6, kLeftSymmetric6, 5, "1.2"},  {10, 0x102, 3, "1.2"},         {10, 0x201, 2, "1.2"},
        {10, 0x10201, 3, "1.2"},         {kRaidLinear, 0, 3, "1.2"},
    };
    for (const Case& c : cases) {
        MdSetup setup;
        setup.level = c.level;
        setup.layout = c.layout;
        setup.members = c.members;
        setup.version = c.version;
        setup.chunkBytes = 16384;
        SCOPED_TRACE("level " + std::to_string(c.level) + " layout " + std::to_string(c.layout) + " " + c.version);
        const std::vector<Bytes> members = makeMdMembers(volume, setup);
        Readers all = readersOf(members);
        Bytes got;
        const std::string desc = assembled(all, &got, volume.size());
        ASSERT_EQ(got, volume) << desc;
        // In any order.
        std::reverse(all.begin(), all.end());
        ASSERT_EQ(assembled(all, &got, volume.size()), desc);
        EXPECT_EQ(got, volume);
        // One member missing, or two of RAID 6: rebuilt.
        const int tolerated = c.level == 6 ? 2 : (c.level == 0 || c.level == kRaidLinear) ? 0 : 1;
        for (int gone = 0; tolerated && gone < c.members; ++gone)
            for (int second = tolerated == 2 ? gone + 1 : c.members; second <= c.members; ++second) {
                Readers some;
                for (int i = 0; i < c.members; ++i)
                    if (i != gone && i != second) some.push_back(std::make_shared<MemoryReader>(members[i]));
                EXPECT_NE(assembled(some, &got, volume.size()).find("missing"), std::string::npos);
                EXPECT_EQ(got, volume) << "without " << gone << " and " << second;
                if (second == c.members) break;
            }
        if (!tolerated) {
            Readers some = readersOf(members);
            some.pop_back();
            EXPECT_NE(assembled(some, nullptr, 0).find("missing"), std::string::npos);
        }
    }
}

TEST(MdSets, HostileSuperblocksAreRefusedWithAReason) {
    const Bytes volume = volumeBytes(1 << 20, 3);
    MdSetup setup;
    setup.chunkBytes = 16384;
    auto refused = [&](const std::function<void(std::vector<Bytes>&)>& spoil) {
        std::vector<Bytes> m = makeMdMembers(volume, setup);
        spoil(m);
        return assembled(readersOf(m), nullptr, 0);
    };
    auto rewrite = [&](std::vector<Bytes>& m, auto change) {
        for (size_t r = 0; r < m.size(); ++r) {
            MdSetup s = setup;
            change(s);
            writeMdV1(m[r], s, static_cast<int>(r), 3 * 65536 / 2 * 0 + (m[r].size() - setup.dataOffset));
        }
    };
    // An absurd chunk size, member count and level: named, nothing read.
    EXPECT_NE(refused([&](auto& m) { rewrite(m, [](MdSetup& s) { s.chunkBytes = 1u << 31; }); }).find("chunk size"),
              std::string::npos);
    EXPECT_NE(refused([&](auto& m) { rewrite(m, [](MdSetup& s) { s.members = 100000; }); }).find("100000"),
              std::string::npos);
    EXPECT_NE(refused([&](auto& m) { rewrite(m, [](MdSetup& s) { s.level = 42; }); }).find("level 42"),
              std::string::npos);
    // A flipped byte: the checksum refuses the superblock; no member, no set.
    EXPECT_EQ(refused([&](auto& m) {
                  for (Bytes& b : m) b[4096 + 100] ^= 1;
              }),
              "no set");
}

namespace {

// The fixture's members, decompressed; skips when absent.
std::vector<std::string> fixtureMembers(const std::string& set) {
    std::vector<std::string> out;
    for (int i = 0; i < 3; ++i) {
        auto img = fixtureImage(set + ".m" + std::to_string(i));
        if (!img) return {};
        out.push_back(*img);
    }
    return out;
}

// The volume the set holds, put back together by the manifest's own rule
// (stripe s: parity on role (n-1) - s mod n, data chunk i on role
// (parity + 1 + i) mod n; RAID 0: chunk k on role k mod n).
Bytes destriped(const std::vector<std::string>& members, const nlohmann::json& raid) {
    const uint64_t c = raid["chunk_bytes"], start = raid["data_offset_bytes"], size = raid["array_size_bytes"];
    const int n = raid["raid_disks"], level = raid["level"];
    std::vector<Bytes> m;
    for (const auto& p : members) m.push_back(fileBytes(p));
    Bytes out;
    for (uint64_t k = 0; out.size() < size; ++k) {
        int role = static_cast<int>(k % n);
        uint64_t row = k / n;
        if (level == 5) {
            const uint64_t s = k / (n - 1);
            const int parity = (n - 1) - static_cast<int>(s % n);
            role = (parity + 1 + static_cast<int>(k % (n - 1))) % n;
            row = s;
        }
        const uint8_t* p = m[static_cast<size_t>(role)].data() + start + row * c;
        out.insert(out.end(), p, p + c);
    }
    return out;
}

}  // namespace

class MdFixtures : public ::testing::TestWithParam<const char*> {};

TEST_P(MdFixtures, ListAndRecoverLikeTheVolumeAlone) {
    const std::string set = GetParam();
    const auto members = fixtureMembers(set);
    if (members.empty()) GTEST_SKIP() << "fixture images " << set << ".m* not found (set BRANTLOW_FIXTURES)";
    const auto manifest = fixtureManifest(set);
    ASSERT_TRUE(manifest);
    TempDir tmp;
    const std::string alone = writeBytes(tmp.path() + "/alone.img", destriped(members, (*manifest)["raid"]));
    const auto expected = runCli({"list", alone, "--json"});
    ASSERT_EQ(expected.rc, 0);
    ASSERT_FALSE(expected.out.empty());

    // The members in any order; with RAID 5, any one of them missing.
    std::vector<std::vector<std::string>> ways = {{members[2], members[0], members[1]}};
    if (set == "raid5_set")
        for (int gone = 0; gone < 3; ++gone) {
            std::vector<std::string> some;
            for (int i = 0; i < 3; ++i)
                if (i != gone) some.push_back(members[i]);
            ways.push_back(some);
        }
    const int aloneRc = runCli({"recover", alone, "--out", tmp.path() + "/alone", "--quiet"}).rc;
    const auto aloneTree = fileTree(tmp.path() + "/alone");
    int n = 0;
    for (const auto& way : ways) {
        std::vector<std::string> args = {"list"};
        args.insert(args.end(), way.begin(), way.end());
        args.push_back("--json");
        const auto got = runCli(args);
        EXPECT_EQ(got.rc, 0);
        EXPECT_EQ(got.out, expected.out) << "members " << way.size();
        args = {"recover"};
        args.insert(args.end(), way.begin(), way.end());
        const std::string out = tmp.path() + "/set" + std::to_string(n++);
        args.insert(args.end(), {"--out", out, "--quiet"});
        EXPECT_EQ(runCli(args).rc, aloneRc);
        EXPECT_EQ(fileTree(out), aloneTree);
    }
    // Intact deleted and live files are byte-exact against the manifest.
    const auto files = fileTree(tmp.path() + "/set0");
    int checked = 0;
    for (const auto& e : (*manifest)["volumes"][0]["entries"]) {
        if (e.value("type", "") != "file" || !e.contains("sha256") || !e["sha256"].is_string()) continue;
        if (e.value("state", "") != "live" && !e.value("content_intact_on_disk", false)) continue;
        auto it = files.find(e["path"].get<std::string>());
        if (it == files.end()) continue;
        EXPECT_EQ(it->second, e["sha256"].get<std::string>()) << e["path"];
        ++checked;
    }
    EXPECT_GT(checked, 10);
    // One member alone says what is missing.
    const auto one = runCli({"volumes", members[0]});
    EXPECT_NE(one.out.find("2 of 3 members missing"), std::string::npos) << one.out;
}

INSTANTIATE_TEST_SUITE_P(Sets, MdFixtures, ::testing::Values("raid0_set", "raid5_set"));

namespace {

// An MBR disk whose partitions (type 0xFD) hold the members given, 1 MiB
// apart.
Bytes diskOf(const std::vector<Bytes>& parts) {
    uint64_t size = 1 << 20;
    for (const Bytes& p : parts) size += (p.size() + (1 << 20) - 1) / (1 << 20) * (1 << 20);
    Bytes d(size, 0);
    uint64_t at = 1 << 20;
    for (size_t i = 0; i < parts.size(); ++i) {
        uint8_t* e = d.data() + 446 + 16 * i;
        e[4] = 0xFD;
        const uint32_t first = static_cast<uint32_t>(at / 512), count = static_cast<uint32_t>(parts[i].size() / 512);
        std::memcpy(e + 8, &first, 4);
        std::memcpy(e + 12, &count, 4);
        std::memcpy(d.data() + at, parts[i].data(), parts[i].size());
        at += (parts[i].size() + (1 << 20) - 1) / (1 << 20) * (1 << 20);
    }
    d[510] = 0x55;
    d[511] = 0xAA;
    return d;
}

}  // namespace

TEST(MdSets, MembersOnOneDiskOpenTogetherAndTheSectorScanFindsThem) {
    const Bytes volume = volumeBytes(2 << 20, 9);
    MdSetup setup;
    setup.level = 5;
    setup.members = 3;
    setup.chunkBytes = 16384;
    const std::vector<Bytes> members = makeMdMembers(volume, setup);
    Bytes disk = diskOf(members);
    auto reader = std::make_shared<MemoryReader>(disk);
    const std::vector<VolumeEntry> vols = listVolumes(reader, false);
    ASSERT_EQ(vols.size(), 4u);  // three members, the array under the first
    EXPECT_EQ(vols[0].fileSystem, "md RAID");
    EXPECT_EQ(vols[1].volumeNumber, "0/0");
    EXPECT_NE(vols[1].within.find("RAID5 of 3, 16 KiB"), std::string::npos) << vols[1].within;
    EXPECT_EQ(vols[2].memberOf, "0");
    EXPECT_EQ(vols[3].memberOf, "0");
    Bytes got(volume.size());
    ASSERT_EQ(readZeroFill(*vols[1].reader, 0, got.data(), got.size()), got.size());
    EXPECT_EQ(got, volume);
    // Without the table, the sector scan finds each member at its start
    // (its 1.2 superblock lies 4 KiB in).
    std::memset(disk.data(), 0, 512);
    struct Owner : PartitionOwner {
        std::vector<VolumeEntry> found;
        void addEntry(const VolumeEntry& e) override { found.push_back(e); }
    } owner;
    Partition p;
    p.owner = &owner;
    auto wiped = std::make_shared<MemoryReader>(disk);
    ScanForFileSystems(*wiped, p, volumeProbeTable());
    ASSERT_EQ(owner.found.size(), 3u);
    for (size_t i = 0; i < 3; ++i) {
        EXPECT_EQ(owner.found[i].fileSystem, "md RAID");
        EXPECT_EQ(owner.found[i].startSector, vols[i == 0 ? 0 : i + 1].startSector);
    }
}

TEST(MdSets, AnyMemberOnADiskChoosesWhatTheSetHolds) {
    BRANTLOW_REQUIRE_IMAGE(fat, "fat16");
    MdSetup setup;
    setup.level = 1;
    setup.members = 2;
    setup.version = "1.0";
    TempDir tmp;
    const std::string disk = writeBytes(tmp.path() + "/disk.img", diskOf(makeMdMembers(fileBytes(fat), setup)));
    const auto alone = runCli({"list", fat, "--json"});
    ASSERT_EQ(alone.rc, 0);
    const auto vols = runCli({"volumes", disk});
    EXPECT_NE(vols.out.find("member of the set under 0"), std::string::npos) << vols.out;
    for (const char* choice : {"", "0", "1", "0/0"}) {
        std::vector<std::string> args = {"list", disk, "--json"};
        if (*choice) args.insert(args.end(), {"--volume", choice});
        EXPECT_EQ(runCli(args).out, alone.out) << "--volume " << choice;
    }
}

// A NAS's usual stack: LVM2 on an md RAID 5 set; the logical volume's file
// system reads as it does alone.
TEST(MdSets, VolumeGroupOnARaidSet) {
    BRANTLOW_REQUIRE_IMAGE(fat, "fat16");
    const Bytes volume = fileBytes(fat);
    const std::string text =
        "nas {\nid = \"NASVG0-0000-1111-2222-3333-4444-555555\"\nseqno = 1\nextent_size = 2048\n"
        "physical_volumes {\npv0 {\nid = \"PVPVPV-pvpv-PVPV-pvpv-PVPV-pvpv-PVPVpv\"\npe_start = 2048\npe_count = 60\n}\n}\n"
        "logical_volumes {\nshare {\nid = \"share-id\"\nstatus = [\"READ\", \"WRITE\", \"VISIBLE\"]\nsegment_count = 1\n"
        "segment1 {\nstart_extent = 0\nextent_count = " + std::to_string((volume.size() + (1 << 20) - 1) >> 20) +
        "\ntype = \"striped\"\nstripe_count = 1\nstripes = [\n\"pv0\", 3\n]\n}\n}\n}\n}\n";
    Bytes pv = makeLvmPv(64 << 20, "PVPVPVpvpvPVPVpvpvPVPVpvpvPVPVpv", {text});
    std::memcpy(pv.data() + (1 << 20) + 3 * (1 << 20), volume.data(), volume.size());
    MdSetup setup;
    setup.chunkBytes = 65536;
    TempDir tmp;
    std::vector<std::string> m;
    for (const Bytes& b : makeMdMembers(pv, setup)) m.push_back(writeBytes(tmp.path() + "/m" + std::to_string(m.size()), b));
    const auto vols = runCli({"volumes", m[1], m[2], m[0]});
    EXPECT_NE(vols.out.find("0/0      FAT16"), std::string::npos) << vols.out;
    EXPECT_NE(vols.out.find("in LV nas/share on 0"), std::string::npos) << vols.out;
    EXPECT_TRUE(runCli({"list", m[1], m[2], m[0], "--json"}).out == runCli({"list", fat, "--json"}).out);
}
