// Volumes made at test time with mkntfs and ntfscp (skipped when ntfs-3g's
// tools are absent): cluster and record geometries, the resident /
// non-resident boundary, 255-character names and named data streams.
#include <gtest/gtest.h>

#include <dirent.h>
#include <sys/stat.h>

#include <cstdlib>
#include <fstream>
#include <map>
#include <random>

#include "tests/support/fixtures.h"

using namespace brantlow::test;

namespace {

bool haveTools() {
    return std::system("command -v mkntfs >/dev/null 2>&1 && command -v ntfscp >/dev/null 2>&1") == 0;
}

std::string quote(const std::string& s) {
    std::string q = "'";
    for (char c : s) q += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return q + "'";
}

bool sh(const std::string& cmd) { return std::system((cmd + " >/dev/null 2>&1").c_str()) == 0; }

std::string writeRandom(const std::string& path, size_t size, unsigned seed) {
    std::mt19937 rng(seed);
    std::string data(size, '\0');
    for (char& c : data) c = static_cast<char>(rng());
    std::ofstream(path, std::ios::binary).write(data.data(), static_cast<std::streamsize>(size));
    return sha256Hex(data.data(), data.size());
}

// Makes an image with the given mkntfs options and copies files into it.
// Returns name -> sha256.
std::map<std::string, std::string> makeImage(const TempDir& dir, const std::string& img, const std::string& opts) {
    std::map<std::string, std::string> files;
    EXPECT_TRUE(sh("truncate -s 64M " + quote(img) + " && mkntfs -F -Q -q " + opts + " " + quote(img)));
    const size_t sizes[] = {0, 1, 700, 1000, 4095, 4097, 10000, 300000};
    for (size_t i = 0; i < sizeof sizes / sizeof sizes[0]; ++i) {
        std::string name = "f" + std::to_string(sizes[i]) + ".bin";
        std::string src = dir.path() + "/" + name;
        files[name] = writeRandom(src, sizes[i], static_cast<unsigned>(i + 1));
        EXPECT_TRUE(sh("ntfscp -q " + quote(img) + " " + quote(src) + " " + quote(name))) << name;
    }
    return files;
}

void expectRecovered(const std::string& img, const std::map<std::string, std::string>& files,
                     const std::vector<std::string>& extra = {}) {
    TempDir out;
    std::vector<std::string> args = {"recover", img, "--start-sector", "0", "--fs", "NTFS", "--out", out.path()};
    args.insert(args.end(), extra.begin(), extra.end());
    CliResult r = runCli(args);
    ASSERT_EQ(r.rc, 0) << r.out;
    for (const auto& [name, sha] : files) {
        auto got = sha256File(out.path() + "/" + name);
        ASSERT_TRUE(got) << name;
        EXPECT_EQ(*got, sha) << name;
    }
}

}  // namespace

TEST(NtfsTools, ClusterAndRecordGeometries) {
    if (!haveTools()) GTEST_SKIP() << "mkntfs / ntfscp not installed";
    // Default, 512-byte clusters (a record spans two clusters), 64 KiB and
    // 128 KiB clusters (sectors-per-cluster byte 0xF8), 4096-byte sectors
    // (4096-byte MFT records).
    for (const char* opts : {"", "-c 512", "-c 65536", "-c 131072", "-s 4096"}) {
        SCOPED_TRACE(opts);
        TempDir dir;
        const std::string img = dir.path() + "/v.img";
        auto files = makeImage(dir, img, opts);
        expectRecovered(img, files);
    }
}

TEST(NtfsTools, LongNamesAndNamedStreams) {
    if (!haveTools()) GTEST_SKIP() << "mkntfs / ntfscp not installed";
    TempDir dir;
    const std::string img = dir.path() + "/s.img";
    ASSERT_TRUE(sh("truncate -s 32M " + quote(img) + " && mkntfs -F -Q -q " + quote(img)));
    // 255 CJK characters: 765 UTF-8 bytes, shortened on output.
    std::string longName;
    for (int i = 0; i < 251; ++i) longName += "\xE6\x97\xA5";
    longName += ".txt";
    const std::string body = dir.path() + "/body";
    std::string bodySha = writeRandom(body, 16, 7);
    ASSERT_TRUE(sh("ntfscp -q " + quote(img) + " " + quote(body) + " " + quote(longName)));
    // A resident body with a resident Zone.Identifier after it, and a small
    // file with a 50 KB stream.
    const std::string zone = dir.path() + "/zone";
    std::ofstream(zone) << "[ZoneTransfer]\r\nZoneId=3\r\n";
    ASSERT_TRUE(sh("ntfscp -q " + quote(img) + " " + quote(body) + " web.txt"));
    ASSERT_TRUE(sh("ntfscp -q -N Zone.Identifier " + quote(img) + " " + quote(zone) + " web.txt"));
    const std::string small = dir.path() + "/small", ads = dir.path() + "/ads";
    std::string smallSha = writeRandom(small, 100, 8);
    std::string adsSha = writeRandom(ads, 50000, 9);
    ASSERT_TRUE(sh("ntfscp -q " + quote(img) + " " + quote(small) + " small.bin"));
    ASSERT_TRUE(sh("ntfscp -q -N big " + quote(img) + " " + quote(ads) + " small.bin"));

    CliResult list = runCli({"list", img, "--start-sector", "0", "--fs", "NTFS", "--json", "--streams"});
    ASSERT_EQ(list.rc, 0);
    std::map<std::string, nlohmann::json> rows;
    for (const auto& r : jsonLines(list.out)) rows[r["path"]] = r;
    ASSERT_TRUE(rows.count(longName));
    ASSERT_TRUE(rows.count("small.bin:big"));
    EXPECT_EQ(rows["small.bin:big"]["size"], 50000);
    EXPECT_EQ(rows["small.bin:big"]["state"], "live");
    EXPECT_TRUE(rows.count("web.txt:Zone.Identifier"));
    // Without --streams the streams are not listed.
    CliResult plain = runCli({"list", img, "--start-sector", "0", "--fs", "NTFS", "--json"});
    EXPECT_EQ(plain.out.find("small.bin:big"), std::string::npos);

    // The file's own content is the unnamed stream, not the zone text.
    TempDir out;
    CliResult r = runCli({"recover", img, "--start-sector", "0", "--fs", "NTFS", "--out", out.path(), "--streams"});
    ASSERT_EQ(r.rc, 0) << r.out;
    EXPECT_EQ(sha256File(out.path() + "/web.txt").value_or(""), bodySha);
    EXPECT_EQ(sha256File(out.path() + "/small.bin").value_or(""), smallSha);
    EXPECT_EQ(sha256File(out.path() + "/small.bin:big").value_or(""), adsSha);
    // The long name is cut to 255 bytes, keeping its extension.
    bool found = false;
    if (DIR* d = opendir(out.path().c_str())) {
        while (dirent* e = readdir(d)) {
            std::string n = e->d_name;
            if (n.rfind("\xE6\x97\xA5\xE6\x97\xA5", 0) == 0 && n.size() <= 255 && n.size() > 200 &&
                n.substr(n.size() - 4) == ".txt")
                found = true;
        }
        closedir(d);
    }
    EXPECT_TRUE(found);
}
