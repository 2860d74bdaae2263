// brantlow-cli image and --map on the fixtures: a byte-identical copy whose
// map ddrescuelog reads; the refusals; a map GNU ddrescue left half-way
// marks exactly the files whose extents (from the manifest) reach the
// untried part; --domain used copies metadata and live files and stops
// before free space.
#include <gtest/gtest.h>
#include <sys/file.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>

#include "disk/rescue_map.h"
#include "tests/support/fixtures.h"

using namespace brantlow;

namespace {

bool haveDdrescue() { return std::system("command -v ddrescue >/dev/null 2>&1 && command -v ddrescuelog >/dev/null 2>&1") == 0; }

std::string readText(const std::string& path) {
    std::ifstream in(path);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

RescueMap mapOf(const std::string& path) {
    MapError err;
    auto m = RescueMap::parse(readText(path), &err);
    EXPECT_TRUE(m) << err.message();
    return m ? *m : RescueMap();
}

// Manifest files (with extents) and whether any of their content, up to
// their size, lies at or beyond byte `from` of the image.
std::map<std::string, bool> filesReaching(const nlohmann::json& manifest, uint64_t from) {
    std::map<std::string, bool> out;
    const auto& v = manifest["volumes"][0];
    const uint64_t unit = v["address_unit_bytes"], base = v["offset_bytes"];
    for (const auto& e : v["entries"]) {
        if (e.value("type", "") != "file" || !e.contains("extents")) continue;
        const uint64_t size = e.value("size", 0ull), need = (size + unit - 1) / unit;
        uint64_t done = 0;
        bool reaches = false;
        for (const auto& x : e["extents"]) {
            if (done >= need) break;
            const uint64_t start = x[0], count = x[1], k = std::min(count, need - done);
            done += k;
            if (x.size() < 3 && base + (start + k) * unit > from) reaches = true;  // a third element: sparse
        }
        out[e["path"]] = reaches;
    }
    return out;
}

}  // namespace

TEST(ImageCli, CopiesByteForByteWithAMapDdrescueReads) {
    BRANTLOW_REQUIRE_IMAGE(img, "ntfs");
    test::TempDir dir;
    const std::string out = dir.path() + "/copy.img", map = dir.path() + "/copy.map";
    auto r = test::runCli({"image", img, out, "--map", map, "--quiet"}, true);
    ASSERT_EQ(r.rc, 0) << r.out;
    EXPECT_EQ(test::sha256File(out), test::sha256File(img));
    const RescueMap m = mapOf(map);
    EXPECT_EQ(m.phase, RescuePhase::Finished);
    EXPECT_EQ(m.bytesIn(BlockState::Finished), std::filesystem::file_size(img));
    // Run again: nothing left to read, nothing changes.
    r = test::runCli({"image", img, out, "--map", map, "--quiet"}, true);
    EXPECT_EQ(r.rc, 0) << r.out;
    EXPECT_EQ(test::sha256File(out), test::sha256File(img));
    if (haveDdrescue()) {
        FILE* p = ::popen(("ddrescuelog -t '" + map + "' 2>&1").c_str(), "r");
        char buf[4096];
        std::string text;
        while (size_t k = std::fread(buf, 1, sizeof buf, p)) text.append(buf, k);
        EXPECT_EQ(::pclose(p), 0) << text;
        EXPECT_NE(text.find("current status: finished"), std::string::npos) << text;
        EXPECT_NE(text.find("(100%)"), std::string::npos) << text;
    }
}

TEST(ImageCli, RefusesWhatWouldHarmTheSourceOrTheMap) {
    BRANTLOW_REQUIRE_IMAGE(img, "fat16");
    test::TempDir dir;
    const std::string out = dir.path() + "/o.img", map = dir.path() + "/o.map";
    // The image is the source.
    auto r = test::runCli({"image", img, img, "--map", map}, true);
    EXPECT_EQ(r.rc, 1);
    EXPECT_NE(r.out.find("is the source itself"), std::string::npos) << r.out;
    // Not a map: refused with its line, and left as it was.
    std::ofstream(map) << "# notes\nhello there\n";
    r = test::runCli({"image", img, out, "--map", map}, true);
    EXPECT_EQ(r.rc, 2);
    EXPECT_NE(r.out.find("line 2: not a ddrescue map"), std::string::npos) << r.out;
    EXPECT_EQ(readText(map), "# notes\nhello there\n");
    // A map of a larger disk: refused at the block that passes the end.
    std::ofstream(map) << "0 ? 1\n0 0x1000 +\n0x1000 0x7FFFF000 ?\n";
    r = test::runCli({"image", img, out, "--map", map}, true);
    EXPECT_EQ(r.rc, 2);
    EXPECT_NE(r.out.find("line 3:"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("past the end of the source"), std::string::npos) << r.out;
    // Reading through a map: one that marks bytes finished past the end of
    // the image is refused at that block (a larger map is fine: its tail
    // was never copied).
    std::ofstream(map) << "0 ? 1\n0 0x1000 +\n0x1000 0x7FFFF000 +\n";
    r = test::runCli({"list", img, "--map", map}, true);
    EXPECT_EQ(r.rc, 2);
    EXPECT_NE(r.out.find("line 3:"), std::string::npos) << r.out;
    // Two runs on one map: the second is refused while the first holds it.
    std::filesystem::remove(map);
    const int fd = ::open((map + ".lock").c_str(), O_RDWR | O_CREAT, 0644);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::flock(fd, LOCK_EX), 0);
    r = test::runCli({"image", img, out, "--map", map}, true);
    EXPECT_EQ(r.rc, 1);
    EXPECT_NE(r.out.find("in use by another run"), std::string::npos) << r.out;
    ::close(fd);
    r = test::runCli({"image", img, out, "--map", map, "--quiet"}, true);
    EXPECT_EQ(r.rc, 0) << r.out;
    EXPECT_FALSE(std::filesystem::exists(map + ".lock"));
    // A read-only destination: stopped with the reason.
    if (::geteuid() != 0) {
        std::filesystem::create_directory(dir.path() + "/ro");
        std::filesystem::permissions(dir.path() + "/ro", std::filesystem::perms::owner_read | std::filesystem::perms::owner_exec);
        r = test::runCli({"image", img, dir.path() + "/ro/x.img", "--map", map}, true);
        EXPECT_NE(r.rc, 0);
    }
}

// GNU ddrescue copied the first half and stopped: the files reaching into
// the second half, and only those, are "unreadable".
TEST(ImageCli, HalfCopiedByDdrescueMarksExactlyTheFilesInTheUntriedPart) {
    if (!haveDdrescue()) GTEST_SKIP() << "ddrescue is not installed";
    for (const char* name : {"ntfs", "ext4"}) {
        SCOPED_TRACE(name);
        BRANTLOW_REQUIRE_IMAGE(img, name);
        test::TempDir dir;
        const uint64_t half = std::filesystem::file_size(img) / 2;
        const std::string out = dir.path() + "/h.img", map = dir.path() + "/h.map";
        ASSERT_EQ(0, std::system(("ddrescue -q -s " + std::to_string(half) + " '" + img + "' '" + out + "' '" + map + "'").c_str()));
        auto r = test::runCli({"list", out, "--map", map, "--json"});
        EXPECT_EQ(r.rc, 5);
        std::map<std::string, nlohmann::json> listed;
        for (const auto& o : test::jsonLines(r.out)) listed[o["path"]] = o;
        size_t compared = 0, marked = 0;
        for (const auto& [path, reaches] : filesReaching(*test::fixtureManifest(name), half)) {
            auto it = listed.find(path);
            if (it == listed.end()) continue;
            ++compared;
            const bool unreadable = it->second.value("recoverable", "") == "unreadable";
            marked += unreadable;
            EXPECT_EQ(unreadable, reaches) << path;
            if (unreadable) {
                EXPECT_GT(it->second["unreadableSectors"].get<uint64_t>(), 0u) << path;
            }
        }
        EXPECT_GT(compared, 40u);
        EXPECT_GT(marked, 10u);
        // recover: those files are kept as .partial, reported "unreadable", status 5.
        r = test::runCli({"recover", out, "--map", map, "--out", dir.path() + "/rec", "--report", dir.path() + "/r.json",
                          "--quiet"});
        EXPECT_EQ(r.rc, 5);
        size_t reported = 0;
        for (const auto& o : test::jsonLines(readText(dir.path() + "/r.json")))
            if (o["status"] == "unreadable") {
                ++reported;
                EXPECT_NE(o["path"].get<std::string>().find(".partial"), std::string::npos);
            }
        EXPECT_GE(reported, 1u);
    }
}

TEST(ImageCli, UsedDomainCopiesMetadataAndFilesButNotFreeSpace) {
    for (const char* name : {"ntfs", "ext4"}) {
        SCOPED_TRACE(name);
        BRANTLOW_REQUIRE_IMAGE(img, name);
        test::TempDir dir;
        const std::string out = dir.path() + "/u.img", map = dir.path() + "/u.map";
        auto r = test::runCli({"image", img, out, "--map", map, "--domain", "used", "--quiet"}, true);
        ASSERT_EQ(r.rc, 0) << r.out;
        const RescueMap m = mapOf(map);
        const uint64_t size = std::filesystem::file_size(img);
        // Free space stays untried.
        EXPECT_GT(m.bytesIn(BlockState::NonTried), size / 4);
        // Every live file's content is there.
        const nlohmann::json manifest = *test::fixtureManifest(name);
        const auto& v = manifest["volumes"][0];
        const uint64_t unit = v["address_unit_bytes"];
        size_t files = 0;
        for (const auto& e : v["entries"]) {
            if (e.value("type", "") != "file" || e.value("state", "") != "live" || !e.contains("extents")) continue;
            const uint64_t size = e.value("size", 0ull);
            uint64_t done = 0;  // bytes
            for (const auto& x : e["extents"]) {
                const uint64_t len = std::min(x[1].get<uint64_t>() * unit, size - std::min(size, done));
                if (x.size() < 3 && len) {
                    EXPECT_EQ(m.unfinishedIn(x[0].get<uint64_t>() * unit, len), 0u) << e["path"];
                }
                done += x[1].get<uint64_t>() * unit;
            }
            ++files;
        }
        EXPECT_GT(files, 20u);
        // The image reads as the disk for every live file: listed, none
        // unreadable (deleted files may be: they are in free space).
        r = test::runCli({"list", out, "--map", map, "--json"});
        EXPECT_TRUE(r.rc == 0 || r.rc == 5) << r.rc;
        auto whole = test::runCli({"list", img, "--json"});
        size_t live = 0;
        for (const auto& o : test::jsonLines(whole.out)) live += o["state"] == "live";
        size_t liveMapped = 0;
        for (const auto& o : test::jsonLines(r.out)) {
            liveMapped += o["state"] == "live";
            if (o["state"] == "live") EXPECT_NE(o.value("recoverable", ""), "unreadable") << o["path"];
        }
        EXPECT_EQ(liveMapped, live);
    }
}
