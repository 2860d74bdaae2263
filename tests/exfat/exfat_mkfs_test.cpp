// Volumes made at test time with mkfs.exfat and filled through exfat-fuse
// on a loop device (root only; skipped elsewhere): cluster sizes from 512
// bytes to 1 MiB, 4096-byte sectors, a packed bitmap; multi-cluster
// folders with sets across cluster ends, slot reuse, a deleted contiguous
// file, a fragmented file, patched folder attributes and flags, times
// with UTC offsets, and the advanced scan on a volume without boot sector.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <thread>

#include "fs/exfat/exfat_parser.h"
#include "tests/support/fixtures.h"
#include "tests/support/memory_reader.h"

using namespace brantlow;
using namespace brantlow::test;
using nlohmann::json;

namespace {

bool sh(const std::string& cmd) { return std::system((cmd + " >/dev/null 2>&1").c_str()) == 0; }

std::string shOut(const std::string& cmd) {
    std::string out;
    FILE* p = popen(cmd.c_str(), "r");
    if (!p) return out;
    char buf[256];
    while (fgets(buf, sizeof buf, p)) out += buf;
    pclose(p);
    while (!out.empty() && (out.back() == '\n' || out.back() == ' ')) out.pop_back();
    return out;
}

const char* fuseMissing() {
    if (geteuid() != 0) return "needs root for loop devices";
    if (!sh("command -v mkfs.exfat") || !sh("command -v mount.exfat-fuse") || !sh("command -v losetup"))
        return "needs mkfs.exfat, mount.exfat-fuse and losetup (scripts/deps.sh)";
    if (access("/dev/fuse", R_OK | W_OK) != 0) return "needs /dev/fuse";
    return nullptr;
}

// A freshly formatted image mounted through exfat-fuse.
class FuseVolume {
public:
    FuseVolume(const std::string& dir, uint64_t mib, const std::string& mkfsArgs, unsigned sector = 512,
               const std::string& tz = "")
        : image_(dir + "/vol.img"), mnt_(dir + "/mnt") {
        if (!sh("truncate -s " + std::to_string(mib) + "M " + image_)) return;
        loop_ = shOut("losetup -f --show --sector-size " + std::to_string(sector) + " " + image_);
        if (loop_.rfind("/dev/", 0) != 0) return;
        if (!sh("mkfs.exfat " + mkfsArgs + " " + loop_)) return;
        ::mkdir(mnt_.c_str(), 0755);
        std::string env = tz.empty() ? "" : "TZ=" + tz + " ";
        mounted_ = sh(env + "mount.exfat-fuse " + loop_ + " " + mnt_);
    }
    ~FuseVolume() { unmount(); }
    bool ok() const { return mounted_; }
    const std::string& mnt() const { return mnt_; }
    const std::string& image() const { return image_; }
    // Unmounts, waits for the loop device to be free, checks the volume.
    bool unmount() {
        if (mounted_) {
            sh("sync");
            sh("umount " + mnt_);
            mounted_ = false;
        }
        if (!loop_.empty()) {
            for (int i = 0; i < 50 && !sh("losetup -d " + loop_); ++i)
                std::this_thread::sleep_for(std::chrono::milliseconds(100));
            loop_.clear();
            return sh("fsck.exfat -n " + image_);
        }
        return true;
    }

private:
    std::string image_, mnt_, loop_;
    bool mounted_ = false;
};

std::string pattern(uint64_t size, uint32_t seed) {
    std::string s(size, '\0');
    uint32_t x = seed * 2654435761u + 1;
    for (auto& c : s) {
        x = x * 1103515245u + 12345u;
        c = static_cast<char>(x >> 24);
    }
    return s;
}

struct Expect {
    std::string sha;
    uint64_t size;
    bool deleted;
};

class Filler {
public:
    explicit Filler(const std::string& root) : root_(root) {}
    void file(const std::string& rel, uint64_t size, uint32_t seed) {
        std::ofstream(root_ + "/" + rel, std::ios::binary) << pattern(size, seed);
        const std::string p = pattern(size, seed);
        files[rel] = {sha256Hex(p.data(), p.size()), size, false};
    }
    void dir(const std::string& rel) {
        ::mkdir((root_ + "/" + rel).c_str(), 0755);
        dirs.push_back(rel);
    }
    void remove(const std::string& rel) {
        ::unlink((root_ + "/" + rel).c_str());
        files[rel].deleted = true;
    }
    std::map<std::string, Expect> files;
    std::vector<std::string> dirs;

private:
    std::string root_;
};

std::string longName(int i) {
    char b[160];
    std::snprintf(b, sizeof b, "A long file name number %03d that makes every entry set span many slots.dat", i);
    return b;
}

// The shapes of the tests, in counts that keep large clusters small.
void fill(Filler& f, const std::string& mnt, int n) {
    for (int i = 0; i < n; ++i) f.file(longName(i), static_cast<uint64_t>(i) * 97 % 9000, i);
    f.dir("Sub dir");
    for (int i = 0; i < n; ++i) f.file("Sub dir/" + longName(i), static_cast<uint64_t>(i) * 131 % 5000 + 1, 1000 + i);
    // A folder whose first cluster holds a subfolder, and then many files.
    f.dir("A");
    f.dir("A/B");
    for (int i = 0; i < 5; ++i) f.file("A/B/b" + std::to_string(i) + ".txt", 300 + i, 2000 + i);
    for (int i = 0; i < n * 3; ++i) f.file("A/file " + std::to_string(i) + ".bin", 50 + i, 3000 + i);
    // A deleted contiguous file.
    f.file("deleted contiguous.bin", 300000, 7);
    // Slot reuse: a long name deleted, a short one created in its slots.
    f.file("a very long name that is deleted so that its slots are reused by a short one.txt", 100, 8);
    f.remove("a very long name that is deleted so that its slots are reused by a short one.txt");
    f.file("a.txt", 123, 9);
    // Two files appended alternately in 64 KiB steps: fragmented chains.
    {
        std::ofstream a(mnt + "/frag one.bin", std::ios::binary), b(mnt + "/frag two.bin", std::ios::binary);
        const std::string pa = pattern(6 * 65536, 10), pb = pattern(6 * 65536, 11);
        for (int k = 0; k < 6; ++k) {
            a.write(pa.data() + k * 65536, 65536);
            a.flush();
            b.write(pb.data() + k * 65536, 65536);
            b.flush();
        }
        f.files["frag one.bin"] = {sha256Hex(pa.data(), pa.size()), pa.size(), false};
        f.files["frag two.bin"] = {sha256Hex(pb.data(), pb.size()), pb.size(), false};
    }
    f.remove("deleted contiguous.bin");
}

std::map<std::string, json> listImage(const std::string& img, const std::vector<std::string>& extra = {}) {
    std::vector<std::string> args = {"list", img, "--json"};
    args.insert(args.end(), extra.begin(), extra.end());
    CliResult r = runCli(args);
    EXPECT_EQ(r.rc, 0);
    std::map<std::string, json> m;
    for (const json& j : jsonLines(r.out)) {
        EXPECT_EQ(m.count(j["path"]), 0u) << "listed twice: " << j["path"];
        m[j["path"]] = j;
    }
    return m;
}

void checkListingAndRecovery(const std::string& img, const Filler& f, const std::string& what) {
    auto listed = listImage(img);
    for (const auto& d : f.dirs) {
        ASSERT_TRUE(listed.count(d)) << what << ": folder not listed: " << d;
        EXPECT_EQ(listed[d]["kind"], "dir") << what << " " << d;
    }
    size_t live = 0;
    for (const auto& [path, e] : f.files) {
        if (e.deleted && path.find("slots are reused") != std::string::npos) continue;  // slots overwritten
        ASSERT_TRUE(listed.count(path)) << what << ": not listed: " << path;
        EXPECT_EQ(listed[path]["state"], e.deleted ? "deleted" : "live") << what << " " << path;
        EXPECT_EQ(listed[path]["size"].get<uint64_t>(), e.size) << what << " " << path;
        live += !e.deleted;
    }
    size_t listedLive = 0;
    for (const auto& [path, j] : listed) listedLive += j["kind"] == "file" && j["state"] == "live";
    EXPECT_EQ(listedLive, live) << what << ": a live file too many (a glued name?)";
    TempDir out;
    CliResult r = runCli({"recover", img, "--out", out.path(), "--quiet"});
    EXPECT_EQ(r.rc, 0) << what << " " << r.out;
    for (const auto& [path, e] : f.files) {
        if (e.deleted && path.find("slots are reused") != std::string::npos) continue;
        auto sha = sha256File(out.path() + "/" + path);
        ASSERT_TRUE(sha) << what << ": not written: " << path;
        EXPECT_EQ(*sha, e.sha) << what << " " << path;
    }
}

struct Shape {
    const char* name;
    const char* mkfs;
    unsigned sector;
    int files;
    uint64_t mib;
};

class ExfatMkfs : public ::testing::TestWithParam<Shape> {};

TEST_P(ExfatMkfs, ListsAndRecoversWhatTheDriverWrote) {
    if (const char* why = fuseMissing()) GTEST_SKIP() << why;
    const Shape& s = GetParam();
    TempDir dir;
    FuseVolume v(dir.path(), s.mib, s.mkfs, s.sector);
    if (!v.ok()) GTEST_SKIP() << "cannot format or mount through exfat-fuse here";
    Filler f(v.mnt());
    fill(f, v.mnt(), s.files);
    ASSERT_TRUE(v.unmount()) << "fsck.exfat finds the volume unclean";
    checkListingAndRecovery(v.image(), f, s.name);
}

INSTANTIATE_TEST_SUITE_P(Shapes, ExfatMkfs,
                         ::testing::Values(Shape{"c512", "-c 512", 512, 60, 64}, Shape{"c4K", "-c 4K", 512, 60, 64},
                                           Shape{"c32K", "-c 32K", 512, 40, 96},
                                           Shape{"c1M", "-c 1M", 512, 12, 160},
                                           Shape{"s4096", "-c 4K", 4096, 60, 64},
                                           Shape{"packed", "-c 4K --pack-bitmap", 512, 60, 64}),
                         [](const ::testing::TestParamInfo<Shape>& i) { return std::string(i.param.name); });

std::vector<uint8_t> readAll(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::vector<uint8_t>((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

// Folder attributes with archive and hidden bits (0x32) are folders; a
// contiguous folder marked NoFatChain is read whole.
TEST(ExfatMkfsPatched, FolderAttributesAndNoFatChainFolders) {
    if (const char* why = fuseMissing()) GTEST_SKIP() << why;
    TempDir dir;
    FuseVolume v(dir.path(), 64, "-c 4K");
    if (!v.ok()) GTEST_SKIP() << "cannot mount through exfat-fuse here";
    Filler f(v.mnt());
    fill(f, v.mnt(), 60);
    ASSERT_TRUE(v.unmount());
    auto bytes = readAll(v.image());
    {
        auto reader = std::make_shared<MemoryReader>(bytes);
        Fat64Class p;
        ScanContext ctx;
        ctx.volume = VolumeView(reader, 0, bytes.size());
        ASSERT_EQ(p.scan(ctx), ScanOutcome::Done);
        for (const ExFatEntry& e : p.entries()) {
            if (e.name == "Sub dir") bytes[e.position + 4] = 0x32;
            // "A" spans several clusters; if the driver chained it, mark it
            // NoFatChain when its clusters are consecutive.
            if (e.name == "A" && !e.noFatChain()) {
                Chain ch = p.streamChain(e, e.dataLength);
                if (ch.runs.size() == 1) bytes[e.position + 32 + 1] = 3;
            }
        }
    }
    std::ofstream(v.image(), std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()),
                                                      static_cast<std::streamsize>(bytes.size()));
    auto listed = listImage(v.image());
    ASSERT_TRUE(listed.count("Sub dir"));
    EXPECT_EQ(listed["Sub dir"]["kind"], "dir");
    EXPECT_EQ(listed["Sub dir"]["attributes"], "-H-A");
    checkListingAndRecovery(v.image(), f, "patched");
}

// Times written under Asia/Kolkata carry a +5:30 offset: listed and set as
// the same instant whatever the zone; with the offset marked invalid the
// stamp is local wall time.
TEST(ExfatMkfsTimes, UtcOffsetByteIsHonoured) {
    if (const char* why = fuseMissing()) GTEST_SKIP() << why;
    TempDir dir;
    FuseVolume v(dir.path(), 32, "-c 4K", 512, "Asia/Kolkata");
    if (!v.ok()) GTEST_SKIP() << "cannot mount through exfat-fuse here";
    Filler f(v.mnt());
    f.file("t.txt", 10, 1);
    ASSERT_TRUE(sh("TZ=Asia/Kolkata touch -d '2021-03-04 05:06:07' '" + v.mnt() + "/t.txt'"));
    ASSERT_TRUE(v.unmount());
    const int64_t instant = isoToUnix("2021-03-03T23:36:07Z");
    auto listed = listImage(v.image());
    ASSERT_TRUE(listed.count("t.txt"));
    EXPECT_EQ(listed["t.txt"]["modified"], "2021-03-03T23:36:07Z");
    auto mtimeIn = [&](const char* tz) {
        TempDir out;
        const std::string cmd = std::string("TZ=") + tz + " " + BRANTLOW_CLI_PATH + " recover " + v.image() +
                                " --out " + out.path() + " --quiet";
        EXPECT_TRUE(sh(cmd));
        struct stat st {};
        EXPECT_EQ(::stat((out.path() + "/t.txt").c_str(), &st), 0);
        return static_cast<int64_t>(st.st_mtime);
    };
    EXPECT_EQ(mtimeIn("UTC0"), instant);
    EXPECT_EQ(mtimeIn("Asia/Kolkata"), instant);
    // Byte 23 of the File entry (modified-time offset) cleared: local time.
    auto bytes = readAll(v.image());
    {
        auto reader = std::make_shared<MemoryReader>(bytes);
        Fat64Class p;
        ScanContext ctx;
        ctx.volume = VolumeView(reader, 0, bytes.size());
        ASSERT_EQ(p.scan(ctx), ScanOutcome::Done);
        for (const ExFatEntry& e : p.entries())
            if (e.name == "t.txt") {
                EXPECT_EQ(e.lastModifiedUtcOffset, 0x80 | 22);
                bytes[e.position + 23] = 0;
            }
    }
    std::ofstream(v.image(), std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()),
                                                      static_cast<std::streamsize>(bytes.size()));
    EXPECT_EQ(mtimeIn("Asia/Kolkata"), instant);
    EXPECT_EQ(mtimeIn("UTC0"), instant + 5 * 3600 + 1800);
}

// Boot region wiped on a 32 KiB-cluster volume: the advanced scan finds
// the FAT and the heap, settles on exponent 6 (offered among the choices)
// and recovers every live file.
TEST(ExfatMkfsAdvanced, BootRegionWipedOn32KClusters) {
    if (const char* why = fuseMissing()) GTEST_SKIP() << why;
    TempDir dir;
    FuseVolume v(dir.path(), 96, "-c 32K");
    if (!v.ok()) GTEST_SKIP() << "cannot mount through exfat-fuse here";
    Filler f(v.mnt());
    fill(f, v.mnt(), 20);
    ASSERT_TRUE(v.unmount());
    auto bytes = readAll(v.image());
    std::fill(bytes.begin(), bytes.begin() + 24 * 512, 0);
    auto reader = std::make_shared<MemoryReader>(bytes);
    Fat64Class p;
    ScanContext ctx;
    ctx.volume = VolumeView(reader, 0, bytes.size());
    ctx.mode = ScanMode::Advanced;
    ASSERT_EQ(p.scan(ctx), ScanOutcome::Done);
    EXPECT_FALSE(p.bootAccepted());
    EXPECT_EQ(p.chosenClusterShift(), 6);
    auto choices = exfatClusterShiftChoices(-1);
    EXPECT_NE(std::find(choices.begin(), choices.end(), 6), choices.end());
    EXPECT_FALSE(p.candidates().fats.empty());
    std::ofstream(v.image(), std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()),
                                                      static_cast<std::streamsize>(bytes.size()));
    const std::string sectors = std::to_string(bytes.size() / 512);
    std::vector<std::string> where = {"--start-sector", "0", "--fs", "FAT64", "--size-sectors", sectors,
                                      "--mode", "advanced"};
    auto listed = listImage(v.image(), where);
    TempDir out;
    std::vector<std::string> rec = {"recover", v.image(), "--out", out.path(), "--quiet"};
    rec.insert(rec.end(), where.begin(), where.end());
    runCli(rec);
    for (const auto& [path, e] : f.files) {
        if (e.deleted) continue;
        ASSERT_TRUE(listed.count(path)) << path;
        auto sha = sha256File(out.path() + "/" + path);
        ASSERT_TRUE(sha) << path;
        EXPECT_EQ(*sha, e.sha) << path;
    }
}

}  // namespace
