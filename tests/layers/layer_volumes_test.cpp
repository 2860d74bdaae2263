// A volume inside a layer is listed under its parent and read through the
// layer exactly like the same volume on its own: the trivial test layer
// (layers/testlayer) wraps the FAT16 fixture, masked, in a partition.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <fstream>

#include "base/bytes.h"
#include "disk/sector_scan.h"
#include "scan/volumes.h"
#include "tests/support/fixtures.h"
#include "tests/support/tool_images.h"
#include "tests/support/layered_disk.h"
#include "tests/support/memory_reader.h"

using namespace brantlow;
using namespace brantlow::test;
namespace fs = std::filesystem;

namespace {

constexpr uint64_t kPartStart = kLayerPartitionStart;

// Path → content hash of every file below dir.
std::map<std::string, std::string> tree(const std::string& dir) {
    std::map<std::string, std::string> out;
    for (auto& e : fs::recursive_directory_iterator(dir))
        if (e.is_regular_file()) out[fs::relative(e.path(), dir).string()] = sha256File(e.path().string()).value_or("");
    return out;
}

class LayerVolumes : public ::testing::Test {
protected:
    void SetUp() override {
        auto img = fixtureImage("fat16");
        if (!img) GTEST_SKIP() << "fixture image fat16 not found";
        plain = *img;
        volume = readFile(plain);
    }
    std::string plain;
    std::vector<uint8_t> volume;
    TempDir tmp;
};

}  // namespace

TEST_F(LayerVolumes, ListedUnderTheirParentAndReadLikeThePlainVolume) {
    const std::string disk = writeFile(tmp.path() + "/layered.img", layeredDisk(volume, 0x5A, false));

    // The layer's header wins over the partition's Linux type byte.
    auto vols = runCli({"volumes", disk});
    ASSERT_EQ(vols.rc, 0) << vols.out;
    EXPECT_NE(vols.out.find("TESTLAYER"), std::string::npos) << vols.out;
    EXPECT_NE(vols.out.find("0/0      FAT16"), std::string::npos) << vols.out;
    EXPECT_NE(vols.out.find("in test layer on 0"), std::string::npos) << vols.out;
    auto json = jsonLines(runCli({"volumes", disk, "--json"}).out);
    ASSERT_EQ(json.size(), 2u);
    EXPECT_EQ(json[1]["volume"], "0/0");
    EXPECT_EQ(json[1]["parent"], "0");
    EXPECT_EQ(json[1]["sizeSectors"], volume.size() / 512);

    // Listing and recovery through the layer equal the plain volume's.
    auto inner = runCli({"list", disk, "--volume", "0/0", "--json"});
    auto alone = runCli({"list", plain, "--json"});
    ASSERT_EQ(inner.rc, 0);
    EXPECT_EQ(inner.out, alone.out);
    // (Some deleted files of the fixture are partly overwritten: status 4 both ways.)
    EXPECT_EQ(runCli({"recover", disk, "--volume", "0/0", "--out", tmp.path() + "/a", "--quiet"}).rc,
              runCli({"recover", plain, "--out", tmp.path() + "/b", "--quiet"}).rc);
    EXPECT_EQ(tree(tmp.path() + "/a"), tree(tmp.path() + "/b"));
    EXPECT_FALSE(tree(tmp.path() + "/a").empty());
    // The layer's own number takes what it holds when that is one volume.
    EXPECT_EQ(runCli({"list", disk, "--volume", "0", "--json"}).out, alone.out);
}

TEST_F(LayerVolumes, AskedForWhatTheyNeed) {
    const std::string disk = writeFile(tmp.path() + "/locked.img", layeredDisk(volume, 0x5A, true));
    // Not asked (no terminal, no file): listed as not opened, nothing inside.
    auto vols = runCli({"volumes", disk}, true);
    EXPECT_NE(vols.out.find("not opened"), std::string::npos) << vols.out;
    EXPECT_EQ(vols.out.find("0/0"), std::string::npos) << vols.out;
    EXPECT_EQ(runCli({"list", disk, "--volume", "0/0"}).rc, 2);
    // A wrong answer says so; the right one opens it.
    std::ofstream(tmp.path() + "/wrong") << "nope\n";
    std::ofstream(tmp.path() + "/right") << "Z\n";  // 'Z' is the mask 0x5A
    auto wrong = runCli({"list", disk, "--volume", "0/0", "--passphrase-file", tmp.path() + "/wrong"}, true);
    EXPECT_EQ(wrong.rc, 2);
    EXPECT_NE(wrong.out.find("wrong passphrase"), std::string::npos) << wrong.out;
    auto right = runCli({"list", disk, "--volume", "0/0", "--passphrase-file", tmp.path() + "/right", "--json"});
    EXPECT_EQ(right.rc, 0);
    EXPECT_EQ(right.out, runCli({"list", plain, "--json"}).out);
}

TEST_F(LayerVolumes, FoundByTheSectorScanWithoutATable) {
    std::vector<uint8_t> d = layeredDisk(volume, 0x21, false);
    std::memset(d.data(), 0, 512);  // the table is gone
    auto reader = std::make_shared<MemoryReader>(d);
    std::vector<VolumeEntry> found;
    struct Owner : PartitionOwner {
        std::vector<VolumeEntry>* out;
        void addEntry(const VolumeEntry& e) override { out->push_back(e); }
    } owner;
    owner.out = &found;
    Partition p;
    p.owner = &owner;
    ScanForFileSystems(*reader, p, volumeProbeTable());
    ASSERT_FALSE(found.empty());
    EXPECT_EQ(found[0].startSector, kPartStart);
    EXPECT_TRUE(isLayerName(found[0].fileSystem));
    openLayers(found, reader);
    ASSERT_GE(found.size(), 2u);
    EXPECT_EQ(found[1].fileSystem, "FAT16");
    EXPECT_EQ(found[1].parent, found[0].volumeNumber);
    // The view reads the unmasked volume.
    const VolumeView view = volumeView(found[1], reader);
    std::vector<uint8_t> boot(512);
    ASSERT_TRUE(view.readExact(0, boot.data(), boot.size()));
    EXPECT_TRUE(std::equal(boot.begin(), boot.end(), volume.begin()));
}
