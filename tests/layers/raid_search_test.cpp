// RAID sets without metadata: the fixture sets with their superblocks
// wiped, and ext4 volumes made by mke2fs striped at test time in every
// RAID 5 layout, rank their true parameters first and list like the set
// with its metadata; typed parameters are checked.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
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


std::vector<std::shared_ptr<readWriteInterface>> searchReaders(const std::vector<Bytes>& members) {
    std::vector<std::shared_ptr<readWriteInterface>> r;
    for (const Bytes& m : members) r.push_back(std::make_shared<MemoryReader>(m));
    return r;
}

std::string best(const std::vector<Bytes>& members) {
    const SetSearchResult r = searchSetParameters(searchReaders(members));
    return r.candidates.empty() ? "none: " + r.error : setParametersText(r.candidates[0].parameters);
}

bool haveMke2fs() { return std::system("command -v mke2fs >/dev/null 2>&1") == 0; }

// An ext4 volume made by mke2fs from a tree of folders and files.
Bytes ext4Volume(const std::string& dir, uint64_t mib) {
    const std::string tree = dir + "/tree";
    for (int d = 0; d < 24; ++d) {
        const std::string sub = tree + "/d" + std::to_string(d) + "/e" + std::to_string(d % 5);
        fs::create_directories(sub);
        for (int f = 0; f < 6; ++f)
            writeBytes(sub + "/f" + std::to_string(f) + ".bin", volumeBytes(4096 * (1 + (d * 7 + f * 3) % 40), d * 10 + f));
    }
    const std::string img = dir + "/ext4.img";
    const std::string cmd = "truncate -s " + std::to_string(mib) + "M '" + img + "' && mke2fs -q -F -t ext4 -d '" + tree +
                            "' '" + img + "' >/dev/null 2>&1";
    EXPECT_EQ(std::system(cmd.c_str()), 0);
    return fileBytes(img);
}

}  // namespace

TEST(RaidSearch, FixtureSetsWithoutSuperblocksRankTheTruthFirst) {
    for (const std::string set : {"raid0_set", "raid5_set"}) {
        std::vector<std::string> paths;
        for (int i = 0; i < 3; ++i) {
            auto img = fixtureImage(set + ".m" + std::to_string(i));
            if (!img) GTEST_SKIP() << "fixture images " << set << ".m* not found (set BRANTLOW_FIXTURES)";
            paths.push_back(*img);
        }
        TempDir tmp;
        // Given as m2, m0, m1, superblocks wiped.
        std::vector<Bytes> members;
        std::vector<std::string> wiped;
        for (int i : {2, 0, 1}) {
            Bytes m = fileBytes(paths[static_cast<size_t>(i)]);
            std::memset(m.data() + 4096, 0, 4096);
            wiped.push_back(writeBytes(tmp.path() + "/w" + std::to_string(i), m));
            members.push_back(std::move(m));
        }
        const std::string truth = set == "raid0_set" ? "level=0,chunk=64K,order=1:2:0,start=1M"
                                                     : "level=5,chunk=64K,layout=left-symmetric,order=1:2:0,start=1M";
        EXPECT_EQ(best(members), truth) << set;
        // The volume lists as it does from the set with its metadata.
        const auto withMetadata = runCli({"list", paths[0], paths[1], paths[2], "--json"});
        ASSERT_EQ(withMetadata.rc, 0);
        const auto searched = runCli({"list", wiped[0], wiped[1], wiped[2], "--raid", "search", "--json"});
        EXPECT_EQ(searched.rc, 0);
        EXPECT_EQ(searched.out, withMetadata.out) << set;
        const auto typed = runCli({"list", wiped[0], wiped[1], wiped[2], "--raid", truth, "--json"});
        EXPECT_EQ(typed.out, withMetadata.out) << set;
    }
}

TEST(RaidSearch, EveryParityLayoutAndChunkSizeOfAnExt4Set) {
    if (!haveMke2fs()) GTEST_SKIP() << "mke2fs not installed";
    TempDir tmp;
    const Bytes volume = ext4Volume(tmp.path(), 24);
    struct Case {
        int level, layout;
        uint32_t chunk;
        const char* truth;
    };
    // Members given in role order; the data starts at 0 (no superblock).
    const Case cases[] = {
        {5, kLeftAsymmetric, 16384, "level=5,chunk=16K,layout=left-asymmetric,order=0:1:2,start=0"},
        {5, kRightSymmetric, 131072, "level=5,chunk=128K,layout=right-symmetric,order=0:1:2,start=0"},
        {5, kRightAsymmetric, 4096, "level=5,chunk=4K,layout=right-asymmetric,order=0:1:2,start=0"},
        {0, 0, 524288, "level=0,chunk=512K,order=0:1:2,start=0"},
    };
    for (const Case& c : cases) {
        MdSetup setup;
        setup.level = c.level;
        setup.layout = c.layout;
        setup.chunkBytes = c.chunk;
        setup.version = "";
        setup.dataOffset = 0;
        EXPECT_EQ(best(makeMdMembers(volume, setup)), c.truth);
    }
}

TEST(RaidSearch, TypedParametersAreChecked) {
    const Bytes volume = volumeBytes(2 << 20, 1);
    MdSetup setup;
    setup.version = "";
    setup.dataOffset = 0;
    TempDir tmp;
    std::vector<std::string> m;
    for (const Bytes& b : makeMdMembers(volume, setup)) m.push_back(writeBytes(tmp.path() + "/m" + std::to_string(m.size()), b));
    auto run = [&](const std::string& setup) { return runCli({"volumes", m[0], m[1], m[2], "--raid", setup}, true); };
    for (const auto& [setup, says] : std::vector<std::pair<std::string, std::string>>{
             {"level=3,chunk=64K", "level takes"},
             {"level=5,chunk=3000", "chunk takes"},
             {"level=5,chunk=64K,order=0:0:1", "twice"},
             {"level=5,chunk=64K,order=0:1:7", "order takes"},
             {"level=5,chunk=64K,layout=sideways", "layout takes"},
             {"level=5,chunk=64K,start=1G", "beyond the end"},
             {"level=0,chunk=64K,order=0:-:1", "missing"},
             {"level5,chunk=64K", "is not NAME=VALUE"},
             {"colour=blue", "unknown parameter"}}) {
        const auto r = run(setup);
        EXPECT_EQ(r.rc, 1) << setup;
        EXPECT_NE(r.out.find(says), std::string::npos) << setup << ": " << r.out;
    }
    // A member missing, rebuilt from parity.
    const auto degraded = run("level=5,chunk=64K,order=0:-:2");
    EXPECT_EQ(degraded.rc, 0) << degraded.out;
    EXPECT_NE(degraded.out.find("role 1 missing"), std::string::npos) << degraded.out;
}
