// Volumes written by mkfs.fat and mtools at test time (no mount): short-only
// names with NT case bits, long names up to 255 characters, attributes,
// large folders, content at cluster boundaries, times, deleted files and a
// FAT32 root that does not start at cluster 2; FAT12 floppies and a small
// FAT32 volume beside The Sleuth Kit. Skipped without mtools.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/stat.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <ctime>
#include <fstream>
#include <filesystem>
#include <map>
#include <set>
#include <random>
#include <set>

#include "base/bytes.h"
#include "fs/fat/fat_parser.h"
#include "scan/tree_walk.h"
#include "tests/support/fixtures.h"
#include "tests/support/memory_reader.h"

using namespace brantlow;
using namespace brantlow::test;

namespace {

bool haveTools() { return std::system("command -v mcopy >/dev/null 2>&1 && command -v mkfs.fat >/dev/null 2>&1") == 0; }

bool haveTsk() { return std::system("command -v tsk_recover >/dev/null 2>&1") == 0; }

int sh(const std::string& cmd) {
    int rc = std::system(("(MTOOLS_SKIP_CHECK=1; export MTOOLS_SKIP_CHECK; " + cmd + ") >/dev/null 2>&1").c_str());
    EXPECT_EQ(rc, 0) << cmd;
    return rc;
}

void writeFile(const std::string& path, const std::string& data) {
    std::ofstream o(path, std::ios::binary);
    o.write(data.data(), static_cast<std::streamsize>(data.size()));
}

std::string randomBytes(size_t n, unsigned seed) {
    std::mt19937 g(seed);
    std::string s(n, '\0');
    for (auto& c : s) c = static_cast<char>(g());
    return s;
}

std::vector<uint8_t> loadBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::vector<uint8_t>((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

struct Listing {
    std::map<std::string, nlohmann::json> byPath;
};

Listing list(const std::string& img) {
    Listing l;
    CliResult r = runCli({"list", img, "--json"});
    EXPECT_EQ(r.rc, 0);
    for (auto& j : jsonLines(r.out)) l.byPath[j["path"].get<std::string>()] = j;
    return l;
}

class MtoolsFat : public ::testing::TestWithParam<const char*> {
protected:
    void SetUp() override {
        if (!haveTools()) GTEST_SKIP() << "mtools / mkfs.fat not installed";
        img = dir.path() + "/v.img";
        std::string kind = GetParam();
        if (kind == "fat16")
            sh("truncate -s 24M " + img + " && mkfs.fat -F 16 -s 1 " + img);
        else if (kind == "fat32")
            sh("truncate -s 40M " + img + " && mkfs.fat -F 32 -s 1 " + img);
        else  // mformat's own FAT32 (OEM name "MTOO4032")
            sh("truncate -s 40M " + img + " && mformat -i " + img + " -F ::");
    }
    std::string put(const std::string& name, const std::string& data, const std::string& dest = "::") {
        std::string src = dir.path() + "/src_" + std::to_string(n_++);
        writeFile(src, data);
        sh("mcopy -m -i " + img + " '" + src + "' '" + dest + name + "'");
        return src;
    }
    TempDir dir;
    std::string img;
    int n_ = 0;
};

TEST_P(MtoolsFat, NamesAreListedAndSavedExactlyAsWritten) {
    const std::string l131 = std::string(127, 'a') + ".txt";
    const std::string l200 = std::string(196, 'B') + ".dat";
    const std::string l255 = "Z" + std::string(250, 'z') + ".txt";
    for (const std::string& n : {std::string("main.c"), std::string("a.py"), std::string("README"),
                                 std::string("readme.txt")})
        put(n, "x" + n);
    // (mtools cannot grow a FAT32 root past its first cluster for a run of
    // 17 or more slots, so the longest names go into a folder.)
    sh("mmd -i " + img + " ::Long");
    for (const std::string& n : {l131, l200, l255}) {
        sh("mmd -i " + img + " ::Long/" + n.substr(0, 1));
        put(n, "x" + n, "::Long/" + n.substr(0, 1) + "/");
    }
    sh("mmd -i " + img + " ::DATA.BAK");
    sh("mmd -i " + img + " ::Locked");
    put("inside.txt", "inside", "::Locked/");
    sh("mattrib -i " + img + " +r +a ::Locked");
    sh("mattrib -i " + img + " -a ::main.c");
    sh("mattrib -i " + img + " +h +s ::a.py");
    Listing l = list(img);
    for (const std::string& n : {std::string("main.c"), std::string("a.py"), std::string("README"),
                                 std::string("readme.txt"), std::string("DATA.BAK"), std::string("Long"),
                                 "Long/a/" + l131, "Long/B/" + l200, "Long/Z/" + l255,
                                 std::string("Locked"), std::string("Locked/inside.txt")})
        EXPECT_TRUE(l.byPath.count(n)) << "missing " << n.substr(0, 40) << " (" << n.size() << ")";
    EXPECT_EQ(l.byPath.size(), 14u);
    EXPECT_EQ(l.byPath["a.py"]["attributes"], "-H-S-A");
    EXPECT_EQ(l.byPath["main.c"]["attributes"], "");
    EXPECT_EQ(l.byPath["DATA.BAK"]["kind"], "dir");
    TempDir out;
    ASSERT_EQ(runCli({"recover", img, "--out", out.path(), "--quiet"}).rc, 0);
    for (const std::string& n : {std::string("main.c"), std::string("README"), "Long/Z/" + l255, std::string("Locked/inside.txt")}) {
        struct stat st {};
        EXPECT_EQ(::stat((out.path() + "/" + n).c_str(), &st), 0) << n.substr(0, 40);
    }
}

TEST_P(MtoolsFat, ContentAtClusterBoundariesAndTimesInTwoZones) {
    // mkfs.fat -s 1 gives 512-byte clusters; mformat picks its own.
    uint32_t cs = 512;
    {
        uint8_t bs[512];
        std::ifstream in(img, std::ios::binary);
        in.read(reinterpret_cast<char*>(bs), 512);
        cs = le16(bs, 512, 11) * bs[13];
    }
    std::map<std::string, std::string> files;
    const size_t sizes[] = {0, 1, cs - 1, cs, cs + 1, 3 * cs + 5, 3 * 1024 * 1024 + 7};
    int i = 0;
    for (size_t n : sizes) files["f" + std::to_string(i++) + ".bin"] = randomBytes(n, static_cast<unsigned>(n));
    for (const char* tz : {"UTC0", "CET-1CEST,M3.5.0,M10.5.0/3"}) {
        setenv("TZ", tz, 1);
        tzset();
        sh("mdel -i " + img + " '::f*.bin' || true");
        std::map<std::string, time_t> mtimes;
        time_t t0 = 1276608600;  // 2010-06-15, an even second
        for (auto& [name, data] : files) {
            std::string src = dir.path() + "/" + name;
            writeFile(src, data);
            struct timespec ts[2] = {{t0, 0}, {t0, 0}};
            utimensat(AT_FDCWD, src.c_str(), ts, 0);
            mtimes[name] = t0;
            t0 += 3600 * 24 * 40 + 2;
            sh("mcopy -m -o -i " + img + " '" + src + "' ::");
        }
        TempDir out;
        ASSERT_EQ(runCli({"recover", img, "--out", out.path(), "--quiet"}).rc, 0) << tz;
        for (auto& [name, data] : files) {
            std::string p = out.path() + "/" + name;
            EXPECT_EQ(sha256File(p).value_or("missing"), sha256Hex(data.data(), data.size())) << name << " " << tz;
            struct stat st {};
            ASSERT_EQ(::stat(p.c_str(), &st), 0);
            EXPECT_EQ(st.st_mtime, mtimes[name]) << name << " " << tz;
        }
    }
    unsetenv("TZ");
    tzset();
}

TEST_P(MtoolsFat, DeletedFilesComeBackWholeButNeverWithAnotherFilesClusters) {
    const std::string a = randomBytes(3 * 4096 + 100, 7);
    put("gone.bin", a);
    put("keep.bin", randomBytes(5000, 8));
    sh("mdel -i " + img + " ::gone.bin");
    Listing l = list(img);
    std::string gone;
    for (auto& [p, j] : l.byPath)
        if (j["state"] == "deleted") gone = p;
    ASSERT_FALSE(gone.empty());
    {
        TempDir out;
        runCli({"recover", img, "--out", out.path(), "--quiet"});
        EXPECT_EQ(sha256File(out.path() + "/" + gone).value_or(""), sha256Hex(a.data(), a.size()));
    }
    // A new file takes the freed clusters: the deleted file gives the
    // original bytes or at most its first cluster, never the new file's.
    const std::string b = randomBytes(3 * 4096 + 100, 9);
    put("new.bin", b);
    TempDir out;
    runCli({"recover", img, "--out", out.path(), "--quiet"});
    Listing l2 = list(img);
    for (auto& [p, j] : l2.byPath) {
        if (j["state"] != "deleted") continue;
        std::ifstream in(out.path() + "/" + p, std::ios::binary);
        std::string got((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        if (got != a) {
            EXPECT_LE(got.size(), 4096u) << p;
            EXPECT_EQ(b.find(got.substr(std::min<size_t>(got.size(), 600))), 0u) << "only the reused first cluster";
        }
    }
}

TEST(MtoolsFatLargeFolder, IsListedWhole) {
    // 400 long names take 1,200 slots: 75 clusters of 512 bytes.
    if (!haveTools()) GTEST_SKIP() << "mtools / mkfs.fat not installed";
    TempDir dir;
    std::string img = dir.path() + "/v.img";
    sh("truncate -s 40M " + img + " && mkfs.fat -F 32 -s 1 " + img);
    std::string src = dir.path() + "/many";
    ASSERT_EQ(::mkdir(src.c_str(), 0777), 0);
    for (int k = 0; k < 400; ++k) writeFile(src + "/a long file name number " + std::to_string(k) + ".txt", "x");
    sh("mcopy -s -i " + img + " '" + src + "' ::");
    Listing l = list(img);
    size_t n = 0;
    for (auto& [p, j] : l.byPath)
        if (p.rfind("many/a long file name number ", 0) == 0) ++n;
    EXPECT_EQ(n, 400u);
}

TEST_P(MtoolsFat, DeletedFolderLaterClustersAreFoundAsTheSleuthKitFindsThem) {
    // "New Folder" grows cluster by cluster between another folder's and
    // its files': once deleted, its freed later clusters follow clusters in
    // use. Every name fls lists (under the folder or as an orphan) is here.
    if (std::string(GetParam()) == "mformat32") GTEST_SKIP() << "one layout is enough";
    if (!haveTsk()) GTEST_SKIP() << "The Sleuth Kit not installed";
    sh("mmd -i " + img + " '::New Folder' ::Other");
    std::map<std::string, std::string> content;
    for (int i = 1; i <= 20; ++i) {
        const std::string n = "a long file name " + std::to_string(i) + ".txt";
        content[n] = put(n, "x" + std::to_string(i), "::New Folder/");
        put("other long name " + std::to_string(i) + ".txt", "y", "::Other/");
    }
    sh("mdeltree -i " + img + " '::New Folder'");
    FILE* f = ::popen(("fls -r -p " + img).c_str(), "r");
    ASSERT_TRUE(f);
    std::set<std::string> want;
    char line[1024];
    while (std::fgets(line, sizeof line, f)) {
        std::string s(line);
        const size_t tab = s.find('\t');
        if (tab == std::string::npos || s.find("*") == std::string::npos) continue;
        std::string path = s.substr(tab + 1);
        path.erase(path.find_last_not_of("\r\n") + 1);
        want.insert(path.substr(path.rfind('/') + 1));
    }
    ::pclose(f);
    ASSERT_GE(want.size(), 20u);
    Listing l = list(img);
    std::set<std::string> got;
    for (auto& [p, j] : l.byPath)
        if (j["state"] != "live") got.insert(p.substr(p.rfind('/') + 1));
    for (const std::string& n : want) {
        // fls names orphans by their short names; they are listed here by
        // their long ones where the slots are in one cluster (counted below).
        if (n.find('~') != std::string::npos) continue;
        std::string ours = n;
        if (!ours.empty() && ours[0] == '_') ours.replace(0, 1, "σ");
        EXPECT_TRUE(got.count(ours) || got.count(n)) << n;
    }
    // Each of the 20 files, by its long name or (when its long-name slots
    // ended the cluster before) by its short one.
    size_t found = 0;
    for (const std::string& n : got) found += n.rfind("a long file name ", 0) == 0 || n.find("LONG") != std::string::npos;
    EXPECT_EQ(found, 20u);
}

INSTANTIATE_TEST_SUITE_P(Formats, MtoolsFat, ::testing::Values("fat16", "fat32", "mformat32"));

// Every regular file below root, by path relative to it.
std::map<std::string, std::string> filesUnder(const std::string& root) {
    std::map<std::string, std::string> out;
    for (auto& e : std::filesystem::recursive_directory_iterator(root))
        if (e.is_regular_file()) out[std::filesystem::relative(e.path(), root).string()] = sha256File(e.path().string()).value_or("");
    return out;
}

// A floppy and a small FAT32 volume, with live, deleted and long-named files
// in live and deleted folders: every file The Sleuth Kit's tsk_recover -e
// writes comes back with the same bytes under the same name (a lost first
// letter is "σ" here, "_" there).
void expectAsTheSleuthKitRecovers(const std::string& img, const std::string& dir) {
    int k = 0;
    auto put = [&](const std::string& dest, size_t n) {
        std::string src = dir + "/src" + std::to_string(k);
        writeFile(src, randomBytes(n, static_cast<unsigned>(++k)));
        sh("mcopy -i " + img + " '" + src + "' '" + dest + "'");
    };
    sh("mmd -i " + img + " ::Docs ::Docs/Sub ::Old");
    put("::a.bin", 3000);
    put("::big.bin", 20000);
    put("::one.txt", 6);
    put("::Long name file.dat", 700);
    put("::Docs/inner.bin", 9000);
    put("::Docs/Sub/deep.txt", 1500);
    put("::Old/kept in old.txt", 2100);
    put("::odd.bin", 513);  // odd and even clusters alike
    sh("mdel -i " + img + " ::a.bin '::Long name file.dat' ::one.txt");
    sh("mdeltree -i " + img + " ::Docs/Sub ::Old");
    const std::string tsk = dir + "/tsk", ours = dir + "/ours";
    ASSERT_EQ(std::system(("tsk_recover -e " + img + " " + tsk + " >/dev/null 2>&1").c_str()), 0);
    ASSERT_EQ(runCli({"recover", img, "--out", ours, "--quiet"}).rc, 0);
    const auto want = filesUnder(tsk), got = filesUnder(ours);
    ASSERT_GE(want.size(), 7u);
    for (auto& [path, sha] : want) {
        std::string name = path;
        const size_t slash = name.rfind('/');
        const size_t base = slash == std::string::npos ? 0 : slash + 1;
        if (name.compare(base, 1, "_") == 0) name.replace(base, 1, "σ");
        auto it = got.find(name);
        ASSERT_NE(it, got.end()) << path;
        EXPECT_EQ(it->second, sha) << path;
    }
}

TEST(MtoolsFat12, IsListedAndRecoveredAsTheSleuthKitDoes) {
    if (!haveTools() || !haveTsk()) GTEST_SKIP() << "mtools / mkfs.fat / The Sleuth Kit not installed";
    TempDir dir;
    std::string img = dir.path() + "/f12.img";
    sh("mkfs.fat -F 12 -C " + img + " 1440");
    auto reader = std::make_shared<MemoryReader>(loadBytes(img));
    // The FAT16 and FAT32 parsers still refuse it (never 16-bit entries).
    for (int k = 0; k < 2; ++k) {
        std::unique_ptr<FatParser> p;
        if (k == 0)
            p = std::make_unique<Fat16Class>();
        else
            p = std::make_unique<Fat32Class>();
        ScanContext ctx;
        ctx.volume = VolumeView(reader, 0, reader->data.size());
        EXPECT_EQ(p->scan(ctx), ScanOutcome::Rejected);
    }
    CliResult r = runCli({"list", img, "--start-sector", "0", "--fs", "FAT16"});
    EXPECT_NE(r.rc, 0);
    EXPECT_TRUE(r.out.empty());
    expectAsTheSleuthKitRecovers(img, dir.path());
    Listing l = list(img);
    EXPECT_EQ(l.byPath["Docs/Sub"]["state"], "deleted");
    EXPECT_EQ(l.byPath["big.bin"]["state"], "live");
}

TEST(FusefatFat32Small, IsFat32ByItsBootSectorWhateverItsClusterCount) {
    // mtools and The Sleuth Kit both refuse a FAT32 volume of fewer than
    // 65,525 clusters (Linux mounts it): fusefat writes the files.
    if (!haveTools() || std::system("command -v fusefat >/dev/null 2>&1 && test -e /dev/fuse") != 0)
        GTEST_SKIP() << "mkfs.fat / fusefat / FUSE not available";
    TempDir dir;
    std::string img = dir.path() + "/s32.img", mnt = dir.path() + "/mnt";
    sh("truncate -s 16M " + img + " && mkfs.fat -F 32 " + img + " && mkdir " + mnt);
    std::vector<uint8_t> b = loadBytes(img);
    FatLayout layout = readFatLayout(b.data(), 512);
    EXPECT_EQ(layout.kind, FatKind::Fat32);
    EXPECT_LT(layout.lastCluster, 65525u);
    if (std::system(("fusefat -o rw+ " + img + " " + mnt + " >/dev/null 2>&1").c_str()) != 0)
        GTEST_SKIP() << "fusefat could not mount the image";
    std::map<std::string, std::string> want;
    int k = 0;
    auto put = [&](const std::string& name, size_t n) {
        std::string data = randomBytes(n, static_cast<unsigned>(++k));
        writeFile(mnt + "/" + name, data);
        want[name] = sha256Hex(data.data(), data.size());
    };
    ::mkdir((mnt + "/Docs").c_str(), 0777);
    put("live.bin", 5000);
    put("Docs/A long name.txt", 1234);
    // (fusefat clears a deleted slot's first byte to 0, which ends the
    // folder: deleted files are left to the tests above.)
    ASSERT_EQ(std::system(("fusermount -u " + mnt).c_str()), 0);
    Listing l = list(img);
    EXPECT_EQ(l.byPath["Docs/A long name.txt"]["state"], "live");
    const std::string out = dir.path() + "/out";
    ASSERT_EQ(runCli({"recover", img, "--out", out, "--quiet"}).rc, 0);
    const auto got = filesUnder(out);
    for (auto& [path, sha] : want) {
        auto it = got.find(path);
        ASSERT_NE(it, got.end()) << path;
        EXPECT_EQ(it->second, sha) << path;
    }
}

TEST(MtoolsFat32Root, RootIsTakenFromTheBootSector) {
    if (!haveTools()) GTEST_SKIP() << "mtools / mkfs.fat not installed";
    TempDir dir;
    std::string img = dir.path() + "/r.img";
    sh("truncate -s 40M " + img + " && mkfs.fat -F 32 -s 1 " + img);
    for (int k = 0; k < 41; ++k) {
        std::string src = dir.path() + "/Long file name " + std::to_string(k) + ".txt";
        writeFile(src, std::string(700, static_cast<char>('a' + k % 26)));
        sh("mcopy -i " + img + " '" + src + "' ::");
    }
    std::vector<uint8_t> b = loadBytes(img);
    FatLayout l = readFatLayout(b.data(), 512);
    ASSERT_EQ(l.kind, FatKind::Fat32);
    ASSERT_EQ(l.rootCluster, 2u);
    // Move the root chain to the last clusters, in reverse order.
    auto fatAt = [&](uint32_t c) { return l.fatOffset + 4ull * c; };
    std::vector<uint32_t> chain;
    for (uint32_t c = 2; c >= 2 && c < 0x0FFFFFF8 && chain.size() < 1000; c = le32(b.data(), b.size(), fatAt(c)) & 0x0FFFFFFF)
        chain.push_back(c);
    ASSERT_GT(chain.size(), 2u);
    std::vector<uint32_t> moved;
    for (size_t k = 0; k < chain.size(); ++k) moved.push_back(l.lastCluster - static_cast<uint32_t>(k));
    for (size_t k = 0; k < chain.size(); ++k) {
        std::memcpy(&b[l.clusterOffset(moved[k])], &b[l.clusterOffset(chain[k])], l.clusterSize);
        uint32_t next = k + 1 < chain.size() ? moved[k + 1] : 0x0FFFFFF8;
        std::memcpy(&b[fatAt(moved[k])], &next, 4);
    }
    for (uint32_t c : chain) {
        std::memset(&b[l.clusterOffset(c)], 0, l.clusterSize);
        uint32_t zero = 0;
        std::memcpy(&b[fatAt(c)], &zero, 4);
    }
    std::memcpy(&b[44], &moved[0], 4);
    auto reader = std::make_shared<MemoryReader>(std::move(b));
    Fat32Class p;
    ScanContext ctx;
    ctx.volume = VolumeView(reader, 0, reader->data.size());
    ASSERT_EQ(p.scan(ctx), ScanOutcome::Done);
    size_t n = 0;
    walkTree(p, kRootId, [&](const std::string& path, EntryId, const EntryInfo&) {
        EXPECT_EQ(path.rfind("Long file name ", 0), 0u) << path;
        ++n;
        return true;
    });
    EXPECT_EQ(n, 41u);
}

}  // namespace

namespace {

// A deleted file that was fragmented: its freed chain, read as the clusters
// after its first one, runs over where another (deleted) file starts. The
// map calls those clusters free, yet they are not all its own: the state
// is "uncertain", and the save keeps it as NAME.partial with status 4.
TEST_P(MtoolsFat, FragmentedDeletedFileIsUncertainNotIntact) {
    // FAT16 only: on FAT32 mtools goes on after the last cluster it gave
    // (the FSInfo hint) and never fills the hole.
    if (std::string(GetParam()) != "fat16") GTEST_SKIP() << "mtools fills holes on FAT16 only";
    put("f1.bin", randomBytes(400, 1));
    put("f2.bin", randomBytes(400, 2));
    put("f3.bin", randomBytes(400, 3));
    sh("mdel -i " + img + " ::f2.bin");
    // big.bin takes f2's cluster, then the clusters after f3's.
    put("big.bin", randomBytes(3 * 512, 4));
    sh("mdel -i " + img + " ::big.bin");
    sh("mdel -i " + img + " ::f3.bin");
    Listing l = list(img);
    std::string big;
    for (auto& [p, j] : l.byPath)
        if (j["state"] == "deleted" && j["size"] == 3 * 512) big = p;
    ASSERT_FALSE(big.empty());
    EXPECT_EQ(l.byPath[big]["recoverable"], "uncertain");
    TempDir out;
    const std::string rep = dir.path() + "/report.json";
    CliResult r = runCli({"recover", img, "--out", out.path(), "--quiet", "--report", rep});
    EXPECT_EQ(r.rc, 4);
    struct stat st {};
    EXPECT_NE(::stat((out.path() + "/" + big).c_str(), &st), 0);
    EXPECT_EQ(::stat((out.path() + "/" + big + ".partial").c_str(), &st), 0);
    std::ifstream in(rep);
    bool said = false;
    for (std::string line; std::getline(in, line);)
        said = said || (line.find(big + ".partial") != std::string::npos &&
                         line.find("\"reason\":\"uncertain") != std::string::npos);
    EXPECT_TRUE(said);
    EXPECT_EQ(runCli({"search", img, "--quiet", "--pattern", "*", "--recoverable", "uncertain"}).rc, 0);
}

}  // namespace

namespace {

// Bytes of content below a folder, each file counted once however many
// names (hard links) it has.
uint64_t distinctBytes(const std::string& dir) {
    std::set<std::pair<dev_t, ino_t>> seen;
    uint64_t n = 0;
    for (const auto& f : std::filesystem::recursive_directory_iterator(dir)) {
        struct stat st {};
        if (!f.is_regular_file() || ::stat(f.path().c_str(), &st) != 0) continue;
        if (seen.insert({st.st_dev, st.st_ino}).second) n += static_cast<uint64_t>(st.st_blocks) * 512;
    }
    return n;
}

// A hostile FAT16 volume: mkfs.fat and mtools write a 30 MiB file and 300
// small ones, then every small file's slot is pointed at the big file's
// chain (half with its size, half shorter). The run writes the chain once:
// the same run of clusters with the same size becomes a second name of the
// first file, any other claim on it is refused ("same clusters as ..."),
// and --max-output stops the run with status 4.
TEST(FatCrossLinks, ARunWritesNoMoreThanTheDistinctClusters) {
    if (!haveTools()) GTEST_SKIP() << "mtools / mkfs.fat not installed";
    TempDir dir;
    const std::string img = dir.path() + "/x.img", src = dir.path() + "/src";
    ASSERT_EQ(::mkdir(src.c_str(), 0755), 0);
    sh("truncate -s 32M " + img + " && mkfs.fat -F 16 -s 4 " + img);
    writeFile(dir.path() + "/BIG.BIN", randomBytes(30u << 20, 5));
    for (int i = 0; i < 300; ++i) writeFile(src + "/F" + std::to_string(i) + ".BIN", "small " + std::to_string(i));
    sh("mcopy -i " + img + " " + dir.path() + "/BIG.BIN ::");
    sh("mcopy -i " + img + " " + src + "/* ::");
    // Root folder: after the reserved sectors and the FATs.
    std::vector<uint8_t> b = loadBytes(img);
    const uint64_t bps = le16(b.data(), b.size(), 11);
    const uint64_t root = (le16(b.data(), b.size(), 14) + uint64_t{b[16]} * le16(b.data(), b.size(), 22)) * bps;
    const uint64_t rootEntries = le16(b.data(), b.size(), 17);
    size_t big = 0;
    for (uint64_t k = 0; k < rootEntries; ++k)
        if (std::memcmp(&b[root + k * 32], "BIG     BIN", 11) == 0) big = root + k * 32;
    ASSERT_NE(big, 0u);
    const uint32_t bigSize = static_cast<uint32_t>(le32(b.data(), b.size(), big + 28));
    int linked = 0;
    for (uint64_t k = 0; k < rootEntries; ++k) {
        uint8_t* e = &b[root + k * 32];
        if (e[0] != 'F' || e[11] == 0x0F) continue;
        std::memcpy(e + 26, &b[big + 26], 2);  // the big file's first cluster
        const uint32_t size = (linked++ % 2) ? bigSize : bigSize - 4096;
        std::memcpy(e + 28, &size, 4);
    }
    ASSERT_EQ(linked, 300);
    {
        std::ofstream o(img, std::ios::binary | std::ios::trunc);
        o.write(reinterpret_cast<const char*>(b.data()), static_cast<std::streamsize>(b.size()));
    }
    TempDir out;
    const std::string rep = dir.path() + "/report.json";
    CliResult r = runCli({"recover", img, "--out", out.path(), "--quiet", "--report", rep}, true);
    EXPECT_EQ(r.rc, 4) << r.out;
    EXPECT_NE(r.out.find("share their clusters"), std::string::npos) << r.out;
    EXPECT_LE(distinctBytes(out.path()), (32u << 20)) << "more than the volume's clusters";
    std::ifstream in(rep);
    int same = 0;
    for (std::string l; std::getline(in, l);) same += l.find("same clusters as") != std::string::npos;
    EXPECT_EQ(same, 300);

    TempDir capped;
    CliResult c = runCli({"recover", img, "--out", capped.path(), "--quiet", "--max-output", "1M"}, true);
    EXPECT_EQ(c.rc, 4);
    EXPECT_NE(c.out.find("--max-output"), std::string::npos) << c.out;
    EXPECT_LE(distinctBytes(capped.path()), (1u << 20) + (1u << 16));
    EXPECT_EQ(runCli({"recover", img, "--out", capped.path(), "--max-output", "lots"}).rc, 1);
}

}  // namespace

namespace {

// Names in the output folder: a file or a link there already with a
// folder's or a file's name, and recovered files named like the partial
// marker or a temporary, all take the next free name; nothing there before
// is replaced.
TEST(FatOutputNames, CollisionsTakeTheNextFreeName) {
    if (!haveTools()) GTEST_SKIP() << "mtools / mkfs.fat not installed";
    TempDir dir;
    const std::string img = dir.path() + "/v.img";
    sh("truncate -s 16M " + img + " && mkfs.fat -F 16 " + img);
    writeFile(dir.path() + "/a", "inside docs");
    writeFile(dir.path() + "/b", "complete, though named like a partial file");
    writeFile(dir.path() + "/c", "a recovered file named like a temporary");
    writeFile(dir.path() + "/d", "recovered keep.txt");
    sh("mmd -i " + img + " ::Docs ::Linked");
    sh("mcopy -i " + img + " " + dir.path() + "/a ::Docs/a.txt");
    sh("mcopy -i " + img + " " + dir.path() + "/a ::Linked/b.txt");
    sh("mcopy -i " + img + " " + dir.path() + "/b '::report.partial'");
    sh("mcopy -i " + img + " " + dir.path() + "/c '::.brantlow-1-1.part'");
    sh("mcopy -i " + img + " " + dir.path() + "/d ::keep.txt");
    TempDir out;
    writeFile(out.path() + "/Docs", "a file that was there before");
    writeFile(out.path() + "/keep.txt", "the operator's own");
    ASSERT_EQ(::symlink("/nonexistent", (out.path() + "/Linked").c_str()), 0);
    const std::string rep = dir.path() + "/report.json";
    CliResult r = runCli({"recover", img, "--out", out.path(), "--quiet", "--report", rep}, true);
    EXPECT_EQ(r.rc, 0) << r.out;
    auto read = [](const std::string& p) {
        std::ifstream in(p, std::ios::binary);
        return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    };
    EXPECT_EQ(read(out.path() + "/Docs"), "a file that was there before");
    EXPECT_EQ(read(out.path() + "/Docs (1)/a.txt"), "inside docs");
    EXPECT_EQ(read(out.path() + "/Linked (1)/b.txt"), "inside docs");
    EXPECT_EQ(read(out.path() + "/keep.txt"), "the operator's own");
    EXPECT_EQ(read(out.path() + "/keep (1).txt"), "recovered keep.txt");
    EXPECT_EQ(read(out.path() + "/report.partial (1)"), "complete, though named like a partial file");
    EXPECT_FALSE(std::filesystem::exists(out.path() + "/report.partial"));
    EXPECT_EQ(read(out.path() + "/.brantlow-1-1.part (1)"), "a recovered file named like a temporary");
}

}  // namespace
