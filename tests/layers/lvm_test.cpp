// LVM2: the fixture's logical volumes (one in two segments out of order)
// read like the volumes alone; volume groups made at test time: striped
// over two disks, mirrors read from the leg that is there, logical volumes
// removed since an older metadata text, hostile metadata.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "scan/volumes.h"
#include "tests/support/fixtures.h"
#include "tests/support/memory_reader.h"
#include "tests/support/raid_sets.h"

using namespace brantlow;
using namespace brantlow::test;
namespace fs = std::filesystem;

namespace {

constexpr uint64_t kExtent = 1 << 20;       // 2048-sector extents
constexpr uint64_t kPeStart = 1 << 20;      // data from 1 MiB
constexpr uint64_t kPvBytes = 16 << 20;     // 15 extents
const std::string kIdA = "AAAAAAaaaaaaAAAAAAaaaaaaAAAAAAaa";
const std::string kIdB = "BBBBBBbbbbbbBBBBBBbbbbbbBBBBBBbb";

std::string dashed(const std::string& id) {
    return id.substr(0, 6) + "-" + id.substr(6, 4) + "-" + id.substr(10, 4) + "-" + id.substr(14, 4) + "-" +
           id.substr(18, 4) + "-" + id.substr(22, 4) + "-" + id.substr(26);
}

// A volume group's metadata text: two PVs and the LV sections given.
std::string vgText(int seqno, const std::string& lvs) {
    return "vgt {\nid = \"VGVGVG-0000-1111-2222-3333-4444-555555\"\nseqno = " + std::to_string(seqno) +
           "\nformat = \"lvm2\"\nstatus = [\"RESIZEABLE\", \"READ\", \"WRITE\"]\nextent_size = 2048\n"
           "physical_volumes {\npv0 {\nid = \"" + dashed(kIdA) + "\"\npe_start = 2048\npe_count = 15\n}\n"
           "pv1 {\nid = \"" + dashed(kIdB) + "\"\npe_start = 2048\npe_count = 15\n}\n}\n"
           "logical_volumes {\n" + lvs + "}\n}\ncontents = \"Text Format Volume Group\"\nversion = 1\n";
}

std::string lv(const std::string& name, bool visible, const std::string& segments, int count) {
    return name + " {\nid = \"" + name + "-id\"\nstatus = [\"READ\", \"WRITE\"" + (visible ? ", \"VISIBLE\"" : "") +
           "]\nsegment_count = " + std::to_string(count) + "\n" + segments + "}\n";
}

std::string linear(int n, int start, int count, const std::string& pv, int pe) {
    return "segment" + std::to_string(n) + " {\nstart_extent = " + std::to_string(start) + "\nextent_count = " +
           std::to_string(count) + "\ntype = \"striped\"\nstripe_count = 1\nstripes = [\n\"" + pv + "\", " +
           std::to_string(pe) + "\n]\n}\n";
}

// The bytes of each volume listed inside the layers of these sources.
std::map<std::string, Bytes> layered(const std::vector<Bytes>& sources) {
    std::map<std::string, Bytes> out;
    std::vector<std::shared_ptr<readWriteInterface>> readers;
    std::vector<std::string> names;
    for (const Bytes& b : sources) {
        readers.push_back(std::make_shared<MemoryReader>(b));
        names.push_back("pv" + std::to_string(names.size()));
    }
    for (const AssembledDisk& d : assembleSources(readers, names).disks) {
        Bytes b(d.reader->sizeBytes());
        readZeroFill(*d.reader, 0, b.data(), b.size());
        out[d.description.substr(0, d.description.find(" from "))] = b;
    }
    return out;
}

// What a PV alone lists: each volume's "within" and note.
std::vector<std::string> listed(const Bytes& pv) {
    std::vector<std::string> out;
    for (const VolumeEntry& e : listVolumes(std::make_shared<MemoryReader>(pv), false))
        out.push_back(e.volumeNumber + " " + e.fileSystem + " " + e.within + " | " + e.layerNote);
    return out;
}

bool anyHas(const std::vector<std::string>& lines, const std::string& what) {
    for (const auto& l : lines)
        if (l.find(what) != std::string::npos) return true;
    return false;
}

std::string joined(const std::vector<std::string>& lines) {
    std::string s;
    for (const auto& l : lines) s += l + "\n";
    return s;
}

void putExtents(Bytes& pv, int pe, const Bytes& data, uint64_t from, uint64_t bytes) {
    std::memcpy(pv.data() + kPeStart + pe * kExtent, data.data() + from, bytes);
}

}  // namespace

TEST(LvmFixture, LogicalVolumesReadLikeTheVolumesAlone) {
    BRANTLOW_REQUIRE_IMAGE(disk, "lvm_disk");
    const auto manifest = fixtureManifest("lvm_disk");
    ASSERT_TRUE(manifest);
    auto reader = std::make_shared<FileReadSeek>();
    ASSERT_TRUE(reader->Open(disk));
    const std::vector<VolumeEntry> vols = listVolumes(reader, false);
    TempDir tmp;
    int n = 0;
    for (const auto& lvm : (*manifest)["lvm"]["lvs"]) {
        const std::string within = "LV vg_fixture/" + lvm["name"].get<std::string>() + " on 0";
        const VolumeEntry* v = nullptr;
        for (const VolumeEntry& e : vols)
            if (e.within == within) v = &e;
        ASSERT_NE(v, nullptr) << within;
        EXPECT_EQ(v->parent, "0");
        // The LV, segments in their order, byte for byte.
        Bytes bytes(v->reader->sizeBytes());
        ASSERT_EQ(bytes.size(), lvm["size_bytes"].get<uint64_t>());
        ASSERT_EQ(readZeroFill(*v->reader, 0, bytes.data(), bytes.size()), bytes.size());
        EXPECT_EQ(sha256Hex(bytes.data(), bytes.size()), lvm["lv_sha256"].get<std::string>()) << within;
        const std::string alone = tmp.path() + "/lv" + std::to_string(n) + ".img";
        std::ofstream(alone, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
        // Listed and recovered through the layer like the volume on its own.
        const auto inner = runCli({"list", disk, "--volume", v->volumeNumber, "--json"});
        ASSERT_EQ(inner.rc, 0);
        EXPECT_EQ(inner.out, runCli({"list", alone, "--json"}).out);
        EXPECT_EQ(runCli({"recover", disk, "--volume", v->volumeNumber, "--out", tmp.path() + "/a" + std::to_string(n), "--quiet"}).rc,
                  runCli({"recover", alone, "--out", tmp.path() + "/b" + std::to_string(n), "--quiet"}).rc);
        for (auto& e : fs::recursive_directory_iterator(tmp.path() + "/b" + std::to_string(n)))
            if (e.is_regular_file())
                EXPECT_EQ(sha256File(e.path().string()),
                          sha256File(tmp.path() + "/a" + std::to_string(n) + "/" +
                                     fs::relative(e.path(), tmp.path() + "/b" + std::to_string(n)).string()));
        ++n;
    }
    EXPECT_EQ(n, 2);
    const auto text = runCli({"volumes", disk}).out;
    EXPECT_NE(text.find("0/1      NTFS"), std::string::npos) << text;
    EXPECT_NE(text.find("in LV vg_fixture/lv_data on 0"), std::string::npos) << text;
}

TEST(LvmGroups, StripedOverTwoDisksAndMirrorsFromTheLegThatIsThere) {
    const Bytes data = volumeBytes(6 * kExtent, 11);
    // "st": 4 extents striped over pv0 and pv1 in 64 KiB stripes; "mir":
    // 2 extents mirrored, leg 0 on pv0, leg 1 on pv1; "r1": a RAID 1 LV.
    const std::string lvs =
        lv("st", true,
           "segment1 {\nstart_extent = 0\nextent_count = 4\ntype = \"striped\"\nstripe_count = 2\nstripe_size = 128\n"
           "stripes = [\n\"pv0\", 0,\n\"pv1\", 0\n]\n}\n", 1) +
        lv("mir", true,
           "segment1 {\nstart_extent = 0\nextent_count = 2\ntype = \"mirror\"\nmirror_count = 2\nmirrors = [\n"
           "\"mir_mimage_0\", 0,\n\"mir_mimage_1\", 0\n]\n}\n", 1) +
        lv("mir_mimage_0", false, linear(1, 0, 2, "pv0", 4), 1) + lv("mir_mimage_1", false, linear(1, 0, 2, "pv1", 4), 1) +
        lv("r1", true,
           "segment1 {\nstart_extent = 0\nextent_count = 1\ntype = \"raid1\"\ndevice_count = 2\nraids = [\n"
           "\"r1_rmeta_0\", \"r1_rimage_0\",\n\"r1_rmeta_1\", \"r1_rimage_1\"\n]\n}\n", 1) +
        lv("r1_rmeta_0", false, linear(1, 0, 1, "pv0", 6), 1) + lv("r1_rimage_0", false, linear(1, 0, 1, "pv0", 7), 1) +
        lv("r1_rmeta_1", false, linear(1, 0, 1, "pv1", 6), 1) + lv("r1_rimage_1", false, linear(1, 0, 1, "pv1", 7), 1);
    Bytes a = makeLvmPv(kPvBytes, kIdA, {vgText(3, lvs)});
    Bytes b = makeLvmPv(kPvBytes, kIdB, {vgText(3, lvs)});
    // Stripes: 64 KiB pieces of the first 4 MiB, alternating.
    for (uint64_t off = 0; off < 4 * kExtent; off += 65536) {
        Bytes& pv = (off / 65536) % 2 ? b : a;
        std::memcpy(pv.data() + kPeStart + (off / 131072) * 65536, data.data() + off, 65536);
    }
    putExtents(a, 4, data, 4 * kExtent, 2 * kExtent);
    putExtents(b, 4, data, 4 * kExtent, 2 * kExtent);
    putExtents(a, 7, data, 0, kExtent);
    putExtents(b, 7, data, 0, kExtent);

    const auto both = layered({b, a});  // any order
    ASSERT_EQ(both.size(), 3u);
    EXPECT_EQ(both.at("LV vgt/st"), Bytes(data.begin(), data.begin() + 4 * kExtent));
    EXPECT_EQ(both.at("LV vgt/mir"), Bytes(data.begin() + 4 * kExtent, data.end()));
    EXPECT_EQ(both.at("LV vgt/r1"), Bytes(data.begin(), data.begin() + kExtent));
    // pv1 alone: the mirrors read from the leg on it; the stripes cannot be read.
    const auto alone = layered({b});
    EXPECT_EQ(alone.at("LV vgt/mir"), Bytes(data.begin() + 4 * kExtent, data.end()));
    EXPECT_EQ(alone.at("LV vgt/r1"), Bytes(data.begin(), data.begin() + kExtent));
    const auto list = listed(b);
    EXPECT_TRUE(anyHas(list, "a stripe lies on pv0, which is missing")) << joined(list);
}

TEST(LvmGroups, RemovedVolumesComeFromOlderMetadata) {
    const Bytes data = volumeBytes(2 * kExtent, 5);
    const std::string keep = lv("keep", true, linear(1, 0, 1, "pv0", 0), 1);
    const std::string gone = lv("gone", true, linear(1, 0, 1, "pv0", 1), 1);
    Bytes a = makeLvmPv(kPvBytes, kIdA, {vgText(1, keep + gone), vgText(2, keep)});
    putExtents(a, 0, data, 0, 2 * kExtent);
    const auto list = listed(a);
    EXPECT_TRUE(anyHas(list, " LV vgt/keep on 0")) << joined(list);
    EXPECT_TRUE(anyHas(list, " LV vgt/gone, removed (metadata 1) on 0")) << joined(list);
    EXPECT_EQ(layered({a}).at("LV vgt/gone, removed (metadata 1)"), Bytes(data.begin() + kExtent, data.end()));
}

TEST(LvmGroups, HostileMetadataIsRefusedWithAReason) {
    struct Case {
        std::string text, expect;
    };
    const std::string deep = [] {
        std::string s = "vgt {\nextent_size = 2048\n";
        for (int i = 0; i < 100; ++i) s += "a" + std::to_string(i) + " {\n";
        return s;
    }();
    const std::vector<Case> cases = {
        // A mirror whose leg is the mirror itself.
        {vgText(1, lv("loop", true,
                      "segment1 {\nstart_extent = 0\nextent_count = 1\ntype = \"mirror\"\nmirrors = [\n\"loop\", 0\n]\n}\n", 1)),
         "made of itself"},
        // Extents beyond the PV, and an absurd extent count.
        {vgText(1, lv("far", true, linear(1, 0, 1, "pv0", 1000), 1)), "lies outside pv0"},
        {vgText(1, lv("huge", true, linear(1, 0, 2000000000, "pv0", 0), 1)), "lies outside pv0"},
        // Segments that leave a gap.
        {vgText(1, lv("gap", true, linear(1, 0, 1, "pv0", 0) + linear(2, 5, 1, "pv0", 1), 2)), "gap"},
        {deep, "nested deeper"},
        {"vgt {\nid = \"never closed\n", "not closed"},
        {vgText(1, lv("odd", true, "segment1 {\nstart_extent = 0\nextent_count = 1\ntype = \"thin\"\n}\n", 1)),
         "type thin are not read"},
    };
    for (const Case& c : cases) {
        const auto list = listed(makeLvmPv(kPvBytes, kIdA, {c.text}));
        EXPECT_TRUE(anyHas(list, c.expect)) << c.expect << "\n" << joined(list);
    }
}
