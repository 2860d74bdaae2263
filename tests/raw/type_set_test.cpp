// Carving the families people lose, made at test time by real tools
// (make_type_set.py: PSD, ICO, JPEG 2000, FLAC, OGG, Opus, AIFF, AAC, WMA,
// Matroska, WebM, FLV, MPEG-PS/TS, WMV, 7z, gzip, bzip2, xz, zstd, lz4, tar,
// CAB, ISO 9660, an MSI package, RTF, mail, SQLite's WAL, QCOW2, VMDK, VHD,
// VDI, a TrueType font …): every file comes back byte-exact with its own
// extension, and nothing else is found.
#include <gtest/gtest.h>

#include <sys/wait.h>

#include <cstdio>
#include <fstream>
#include <map>
#include <set>

#include "tests/support/fixtures.h"

using namespace brantlow;

namespace {

std::optional<std::string> makeTypeSet(const std::string& script, const std::string& dir, std::string& log) {
    const std::string cmd = "python3 '" + std::string(BRANTLOW_TEST_DATA) + "/../raw/" + script + "' '" + dir + "' 2>&1";
    FILE* p = ::popen(cmd.c_str(), "r");
    if (!p) return "cannot run python3";
    char line[512];
    while (std::fgets(line, sizeof line, p)) log += line;
    const int st = ::pclose(p);
    if (WIFEXITED(st) && WEXITSTATUS(st) == 77) return log;
    if (!WIFEXITED(st) || WEXITSTATUS(st) != 0) ADD_FAILURE() << script << " failed:\n" << log;
    return std::nullopt;
}

// sha256 of every file written → the extensions it was written with.
std::map<std::string, std::set<std::string>> writtenFiles(const std::string& out) {
    std::map<std::string, std::set<std::string>> got;
    std::ifstream sum(out + "/carve-summary.txt");
    std::string line;
    std::getline(sum, line);
    while (std::getline(sum, line)) {
        const std::string file = line.substr(line.rfind('\t') + 1);
        const size_t dot = file.rfind('.');
        if (auto sha = test::sha256File(file)) got[*sha].insert(dot == std::string::npos ? "" : file.substr(dot + 1));
    }
    return got;
}

}  // namespace

TEST(CarveTypes, EveryFamilyComesBackByteExactWithItsExtension) {
    test::TempDir dir;
    std::string log;
    if (auto skip = makeTypeSet("make_type_set.py", dir.path(), log)) GTEST_SKIP() << *skip;
    if (HasFailure()) return;
    std::ifstream mf(dir.path() + "/type_set.json");
    const auto man = nlohmann::json::parse(mf);
    test::TempDir out;
    auto res = test::runCli({"carve", dir.path() + "/type_set.img", "--json", "--out", out.path()});
    ASSERT_EQ(res.rc, 0) << res.out;
    std::map<uint64_t, nlohmann::json> finds;
    for (const auto& j : test::jsonLines(res.out)) finds[j["start"].get<uint64_t>()] = j;
    const auto got = writtenFiles(out.path());
    int exact = 0;
    for (const auto& f : man["files"]) {
        const std::string name = f["name"], ext = f["ext"];
        const uint64_t off = f["offset"];
        ASSERT_TRUE(finds.count(off)) << name << " not found";
        EXPECT_EQ(finds[off]["status"], "complete") << name;
        EXPECT_EQ(finds[off]["type"], ext) << name;
        EXPECT_EQ(finds[off]["size"].get<uint64_t>(), f["length"].get<uint64_t>()) << name;
        auto it = got.find(f["sha256"].get<std::string>());
        const bool ok = it != got.end() && it->second.count(ext);
        EXPECT_TRUE(ok) << name << " not written byte-exact as ." << ext;
        exact += ok;
    }
    EXPECT_GE(man["files"].size(), 30u) << log;
    EXPECT_EQ(exact, static_cast<int>(man["files"].size()));
    // The members of the archives, the pictures in the disk images and the
    // streams in the containers are not separate finds.
    EXPECT_EQ(finds.size(), man["files"].size()) << res.out;
}
