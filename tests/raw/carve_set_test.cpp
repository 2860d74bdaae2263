// Carving files as people have them: an image built at test time from files
// made by real tools (make_carve_set.py: camera JPEGs with EXIF thumbnails,
// progressive JPEGs, MP3 with tags, MP4 / MOV / 3GP / M4A / HEIC, PDFs with an
// incremental update, office documents, SQLite, ELF …), with cut-off copies,
// copies in two fragments and a file cut by the end of the image.
#include <gtest/gtest.h>

#include <sys/wait.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <map>

#include "tests/support/fixtures.h"

using namespace brantlow;

namespace {

std::vector<uint8_t> readAll(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    return std::vector<uint8_t>((std::istreambuf_iterator<char>(f)), {});
}

// Runs the generator; the skip reason when a tool is missing.
std::optional<std::string> makeImage(const std::string& dir, std::string& log) {
    const std::string script = std::string(BRANTLOW_TEST_DATA) + "/../raw/make_carve_set.py";
    const std::string cmd = "python3 '" + script + "' '" + dir + "' 17 2>&1";
    FILE* p = ::popen(cmd.c_str(), "r");
    if (!p) return "cannot run python3";
    char line[512];
    while (std::fgets(line, sizeof line, p)) log += line;
    int st = ::pclose(p);
    if (WIFEXITED(st) && WEXITSTATUS(st) == 77) return log;
    if (!WIFEXITED(st) || WEXITSTATUS(st) != 0) ADD_FAILURE() << "make_carve_set.py failed:\n" << log;
    return std::nullopt;
}

}  // namespace

TEST(CarveSet, RealFilesComeBackByteExactWithTheirTypeAndCutOnesAreMarked) {
    test::TempDir dir;
    std::string log;
    if (auto skip = makeImage(dir.path(), log)) GTEST_SKIP() << *skip;
    if (HasFailure()) return;
    const std::string img = dir.path() + "/carve_set.img";
    std::ifstream mf(dir.path() + "/carve_set.json");
    const auto man = nlohmann::json::parse(mf);
    const uint64_t imageSize = man["size"];
    const auto image = readAll(img);
    ASSERT_EQ(image.size(), imageSize);

    test::TempDir out;
    auto res = test::runCli({"carve", img, "--json", "--out", out.path()});
    ASSERT_EQ(res.rc, 0) << res.out;
    std::map<uint64_t, nlohmann::json> finds;
    for (const auto& j : test::jsonLines(res.out)) {
        // Nothing is ever read or written beyond the volume.
        EXPECT_LE(j["start"].get<uint64_t>() + j["size"].get<uint64_t>(), imageSize) << j.dump();
        finds[j["start"].get<uint64_t>()] = j;
    }
    // Where each find was written: the summary names the file by its start
    // (files are named from what they hold where that is cheap to read).
    std::map<uint64_t, std::string> written;
    {
        std::ifstream sum(out.path() + "/carve-summary.txt");
        std::string line;
        std::getline(sum, line);
        while (std::getline(sum, line)) {
            const size_t tab = line.find('\t'), last = line.rfind('\t');
            if (tab != std::string::npos) written[std::stoull(line.substr(0, tab))] = line.substr(last + 1);
        }
    }
    int whole = 0, exact = 0, cut = 0, fragments = 0;
    for (const auto& f : man["files"]) {
        const std::string name = f["name"], kind = f["kind"];
        const uint64_t off = f["offset"], len = f["length"];
        ASSERT_TRUE(finds.count(off)) << name << " not found";
        const auto& j = finds[off];
        const std::string file = written[off];
        // The name keeps the start and ends with the detected type's extension.
        const std::string ext = "." + j["type"].get<std::string>();
        EXPECT_NE(file.find(" " + std::to_string(off)) == std::string::npos &&
                      file.find("/" + std::to_string(off)) == std::string::npos,
                  true)
            << file;
        EXPECT_TRUE(file.size() >= ext.size() && file.compare(file.size() - ext.size(), ext.size(), ext) == 0) << file;
        if (kind == "whole") {
            ++whole;
            EXPECT_EQ(j["status"], "complete") << name;
            EXPECT_EQ(j["type"], f["ext"]) << name;
            EXPECT_EQ(j["size"].get<uint64_t>(), len) << name;
            auto sha = test::sha256File(file);
            EXPECT_EQ(sha.value_or(""), f["sha256"].get<std::string>()) << name;
            exact += sha && *sha == f["sha256"];
        } else if (kind == "truncated") {
            ++cut;
            // Written as far as it is valid: exactly the bytes that were left.
            EXPECT_EQ(j["status"], "truncated") << name;
            EXPECT_EQ(j["size"].get<uint64_t>(), len) << name;
            EXPECT_EQ(test::sha256File(file).value_or(""), f["sha256"].get<std::string>()) << name;
        } else {
            ++fragments;
            // Marked, and the first fragment is what the file begins with.
            const uint64_t first = f["first_fragment"];
            EXPECT_EQ(j["status"], "truncated") << name;
            EXPECT_GE(j["size"].get<uint64_t>(), first) << name;
            EXPECT_LT(j["size"].get<uint64_t>(), len) << name;
            auto got = readAll(file);
            ASSERT_GE(got.size(), first) << name;
            EXPECT_TRUE(std::equal(got.begin(), got.begin() + static_cast<ptrdiff_t>(first), image.begin() + off))
                << name;
        }
    }
    EXPECT_GE(whole, 25) << log;
    EXPECT_EQ(exact, whole);
    EXPECT_GE(cut, 5);
    EXPECT_EQ(fragments, 2);
    // Nothing else: the thumbnails inside the photos, the members of the
    // archives and the pictures inside the documents are not separate finds.
    EXPECT_EQ(finds.size(), man["files"].size()) << res.out;
}
