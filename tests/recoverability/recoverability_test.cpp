// Recoverability of deleted files against the fixtures' manifests: a file
// whose old extents still hold its bytes ("content_intact_on_disk") is
// "intact", one whose clusters were taken again is "partial" or
// "overwritten"; and "cat" hands over the bytes "recover" writes.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iostream>
#include <map>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "fs/api/recoverability.h"
#include "tests/support/fixtures.h"

using namespace brantlow::test;
using nlohmann::json;

namespace {

struct FsCase {
    const char* image;
    const char* volume;  // "--volume" value, or "" for a bare volume image
    const char* fs;      // the manifest volume's "fs"
};

std::ostream& operator<<(std::ostream& os, const FsCase& c) { return os << c.image << "/" << c.fs; }

std::vector<std::string> split(const std::string& p) {
    std::vector<std::string> out;
    size_t i = 0;
    for (;;) {
        size_t j = p.find('/', i);
        out.push_back(p.substr(i, j == std::string::npos ? std::string::npos : j - i));
        if (j == std::string::npos) return out;
        i = j + 1;
    }
}

// First UTF-8 character of a name left out (FAT marks a deleted slot in
// its first byte, which the list shows as "σ").
std::string tail(const std::string& s) {
    size_t i = 1;
    while (i < s.size() && (static_cast<unsigned char>(s[i]) & 0xC0) == 0x80) ++i;
    return s.substr(std::min(i, s.size()));
}

bool samePath(const std::string& listed, const std::string& manifest) {
    if (listed == manifest) return true;
    auto a = split(listed), b = split(manifest);
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (a[i] != b[i] && !(a[i].rfind("σ", 0) == 0 && tail(a[i]) == tail(b[i]))) return false;
    return true;
}

// The listed row of a manifest's deleted file: at its path (a FAT name's
// first letter aside), else the one deleted file of that name and size
// (orphans, entries under a rebuilt folder). Null when not listed.
json findRow(const std::vector<json>& rows, const json& e) {
    const std::string path = e["path"];
    for (const json& r : rows)
        if (r["kind"] == "file" && r["state"] == "deleted" && samePath(r["path"], path)) return r;
    const std::string name = split(path).back();
    json hit;
    int n = 0;
    for (const json& r : rows)
        if (r["kind"] == "file" && r["state"] == "deleted" && r["name"] == name && r["size"] == e["size"]) {
            hit = r;
            ++n;
        }
    return n == 1 ? hit : json();
}

std::vector<std::string> listArgs(const FsCase& c, const std::string& img) {
    std::vector<std::string> a = {"list", img, "--json", "--quiet"};
    if (*c.volume) a.insert(a.end(), {"--volume", c.volume});
    return a;
}

class Recoverability : public ::testing::TestWithParam<FsCase> {};

// Every deleted file the parser lists: its state agrees with the manifest.
TEST_P(Recoverability, AgreesWithTheManifest) {
    const FsCase& c = GetParam();
    BRANTLOW_REQUIRE_IMAGE(img, c.image);
    auto manifest = fixtureManifest(c.image);
    ASSERT_TRUE(manifest);
    json vol;
    for (const json& v : (*manifest)["volumes"])
        if (v["fs"] == c.fs && vol.is_null()) vol = v;
    ASSERT_FALSE(vol.is_null());
    CliResult list = runCli(listArgs(c, img));
    ASSERT_EQ(list.rc, 0) << list.out;
    const auto rows = jsonLines(list.out);

    std::map<std::string, int> counts;
    int agree = 0, listed = 0, files = 0;
    for (const json& e : vol["entries"]) {
        if (e["type"] != "file" || (e["state"] != "deleted" && e["state"] != "orphan")) continue;
        ++files;
        const json r = findRow(rows, e);
        if (r.is_null()) continue;
        ++listed;
        ASSERT_TRUE(r.contains("recoverable")) << r.dump();
        const std::string state = r["recoverable"];
        const double share = r["overwrittenShare"].is_null() ? -1.0 : r["overwrittenShare"].get<double>();
        ++counts[state];
        const bool intact = e.value("content_intact_on_disk", false);
        EXPECT_NE(state, "unknown") << e["path"];
        EXPECT_EQ(state == "intact", intact) << e["path"] << " listed as " << r["path"] << ": " << state;
        if (state == "intact") {
            EXPECT_EQ(share, 0.0) << e["path"];
        } else if (state == "overwritten") {
            EXPECT_EQ(share, 1.0) << e["path"];
        } else if (state == "partial") {
            EXPECT_TRUE(share > 0.0 && share < 1.0) << e["path"] << " " << share;
        }
        agree += (state == "intact") == intact && state != "unknown";
    }
    std::cout << c.image << " " << c.fs << ": " << files << " deleted files in the manifest, " << listed
              << " listed, " << agree << " agree (intact " << counts["intact"] << ", partial " << counts["partial"]
              << ", overwritten " << counts["overwritten"] << ")\n";
    // The parsers list most deleted files (HFS+ finds only the records
    // whose catalog keys survive).
    EXPECT_GE(listed, std::string(c.fs) == "hfsplus" ? 1 : files / 2);
    // Live entries carry no state.
    for (const json& r : rows) {
        if (r["state"] == "live") {
            EXPECT_FALSE(r.contains("recoverable")) << r["path"];
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Fixtures, Recoverability,
                         ::testing::Values(FsCase{"ntfs", "", "ntfs"}, FsCase{"fat16", "", "fat16"},
                                           FsCase{"fat32", "", "fat32"}, FsCase{"exfat", "", "exfat"},
                                           FsCase{"ext2", "", "ext2"}, FsCase{"ext3", "", "ext3"},
                                           FsCase{"ext4", "", "ext4"}, FsCase{"hfsplus", "", "hfsplus"},
                                           FsCase{"disk_mbr", "0", "ntfs"}, FsCase{"disk_mbr", "1", "fat32"},
                                           FsCase{"disk_mbr", "2", "ext4"}, FsCase{"disk_mbr", "3", "exfat"},
                                           FsCase{"ntfs_small", "", "ntfs"}, FsCase{"exfat_small", "", "exfat"}),
                         [](const auto& info) {
                             std::string n = std::string(info.param.image) + "_" + info.param.fs;
                             for (char& ch : n)
                                 if (!isalnum(static_cast<unsigned char>(ch))) ch = '_';
                             return n;
                         });

std::map<std::string, int> statesOf(const std::vector<std::string>& args) {
    CliResult list = runCli(args);
    std::map<std::string, int> n;
    for (const json& r : jsonLines(list.out))
        if (r.contains("recoverable")) ++n[r["recoverable"].get<std::string>()];
    return n;
}

// Each state once on the NTFS sample: freed clusters that nobody took,
// fillers whose clusters the fragmented file took, the zero-filled file
// that the fragmented file took a part of. Advanced and Deep modes look in
// the same map (the boot sector's MFT's $Bitmap) and give every deleted
// file the state Standard mode gives it.
TEST(RecoverabilityStates, EachStateOnTheNtfsSample) {
    BRANTLOW_REQUIRE_IMAGE(img, "ntfs");
    auto n = statesOf({"list", img, "--json", "--quiet"});
    EXPECT_GT(n["intact"], 10);
    EXPECT_GT(n["overwritten"], 100);
    EXPECT_GE(n["partial"], 1);
    EXPECT_EQ(n["unknown"], 0);

    std::map<std::string, json> standard;
    for (const json& r : jsonLines(runCli({"list", img, "--json", "--quiet"}).out))
        if (r.contains("recoverable")) standard[r["path"].get<std::string>()] = r;
    for (const char* mode : {"advanced", "deep"}) {
        int same = 0;
        for (const json& r : jsonLines(runCli({"list", img, "--json", "--quiet", "--mode", mode}).out)) {
            if (!r.contains("recoverable")) continue;
            EXPECT_NE(r["recoverable"], "unknown") << mode << " " << r["path"];
            auto it = standard.find(r["path"].get<std::string>());
            if (it == standard.end()) continue;
            EXPECT_EQ(r["recoverable"], it->second["recoverable"]) << mode << " " << r["path"];
            EXPECT_EQ(r["overwrittenShare"], it->second["overwrittenShare"]) << mode << " " << r["path"];
            ++same;
        }
        EXPECT_EQ(same, static_cast<int>(standard.size())) << mode;
    }
}

// The search filter finds the deleted files in the chosen states, and
// only those.
TEST(RecoverabilityStates, SearchFilter) {
    BRANTLOW_REQUIRE_IMAGE(img, "ntfs");
    auto all = statesOf({"list", img, "--json", "--quiet"});
    CliResult hits = runCli({"search", img, "--json", "--quiet", "--recoverable", "intact,partial"});
    ASSERT_EQ(hits.rc, 0);
    const auto rows = jsonLines(hits.out);
    EXPECT_EQ(static_cast<int>(rows.size()), all["intact"] + all["partial"]);
    for (const json& r : rows) EXPECT_EQ(r["state"], "deleted") << r["path"];
    EXPECT_EQ(runCli({"search", img, "--recoverable", "whole"}).rc, 1);
}

// "Is Drive Formated..?": the FAT says nothing of the files found.
TEST(RecoverabilityStates, FormattedFatIsUnknown) {
    BRANTLOW_REQUIRE_IMAGE(img, "fat16");
    auto n = statesOf({"list", img, "--json", "--quiet", "--formatted"});
    EXPECT_GT(n["unknown"], 5);
    EXPECT_EQ(n["intact"] + n["partial"] + n["overwritten"], 0);
}

// cat writes what recover writes, byte for byte, for every file of the
// NTFS sample (live and deleted, resident, sparse, compressed, fragmented).
TEST(Cat, EqualsRecoverForEveryFileOfTheNtfsSample) {
    BRANTLOW_REQUIRE_IMAGE(img, "ntfs");
    TempDir out;
    CliResult rec = runCli({"recover", img, "--out", out.path(), "--quiet"});
    ASSERT_TRUE(rec.rc == 0 || rec.rc == 4) << rec.out;
    CliResult list = runCli({"list", img, "--json", "--quiet"});
    ASSERT_EQ(list.rc, 0);
    std::map<std::string, int> listed;
    for (const json& r : jsonLines(list.out)) ++listed[r["path"].get<std::string>()];
    int compared = 0;
    const std::filesystem::path base(out.path());
    for (const auto& f : std::filesystem::recursive_directory_iterator(base)) {
        if (!f.is_regular_file()) continue;
        const std::string rel = std::filesystem::relative(f.path(), base).generic_string();
        // Only files saved under their own listed path (the save renames
        // clashes and names that a folder cannot hold).
        if (listed[rel] != 1) continue;
        CliResult cat = runCli({"cat", img, "--quiet", "--path", "ROOT/" + rel});
        ASSERT_TRUE(cat.rc == 0 || cat.rc == 4) << rel;
        EXPECT_EQ(cat.out.size(), f.file_size()) << rel;
        EXPECT_EQ(sha256Hex(cat.out.data(), cat.out.size()), sha256File(f.path().string())) << rel;
        ++compared;
    }
    std::cout << "cat and recover agree on " << compared << " files\n";
    EXPECT_GT(compared, 100);
}

TEST(Cat, RefusesAFolderAndAMissingPath) {
    BRANTLOW_REQUIRE_IMAGE(img, "ntfs");
    EXPECT_EQ(runCli({"cat", img, "--quiet", "--path", "ROOT/Documents"}).rc, 1);
    EXPECT_EQ(runCli({"cat", img, "--quiet", "--path", "ROOT/no such file"}).rc, 1);
}

}  // namespace

namespace {

using brantlow::AllocationMap;

// Counting over a map's edges: units before and past it count as
// allocated, whole words and single bits agree, and a most-significant-
// bit-first map (HFS+) reads the same as its mirror.
TEST(AllocationMapCounts, EdgesWordsAndBitOrder) {
    std::vector<uint8_t> lsb(40, 0);
    lsb[0] = 0x01;   // unit 10 (first = 10)
    lsb[9] = 0xFF;   // units 82..89
    lsb[39] = 0x80;  // unit 10 + 319
    AllocationMap m;
    m.assign(lsb, 320, AllocationMap::BitOrder::LsbFirst, 10);
    EXPECT_EQ(m.allocatedIn(0, 10), 10u);     // below the map
    EXPECT_EQ(m.allocatedIn(10, 1), 1u);
    EXPECT_EQ(m.allocatedIn(11, 71), 0u);
    EXPECT_EQ(m.allocatedIn(10, 320), 10u);   // 1 + 8 + 1, word by word
    EXPECT_EQ(m.allocatedIn(325, 10), 5u + 1u);  // unit 329 and five past the end
    EXPECT_TRUE(m.allocated(1000));

    std::vector<uint8_t> msb(40, 0);
    msb[0] = 0x80;
    msb[9] = 0xFF;
    msb[39] = 0x01;
    AllocationMap h;
    h.assign(msb, 320, AllocationMap::BitOrder::MsbFirst, 10);
    for (uint64_t u = 0; u < 340; ++u) EXPECT_EQ(h.allocated(u), m.allocated(u)) << u;
    // A short map: the missing bytes read as allocated.
    AllocationMap s;
    s.assign(std::vector<uint8_t>(2, 0), 64, AllocationMap::BitOrder::LsbFirst);
    EXPECT_EQ(s.allocatedIn(0, 64), 48u);
}

TEST(AllocationMapCounts, StatesAndTexts) {
    using brantlow::RecoveryEstimate;
    EXPECT_EQ(brantlow::recoverabilityText(RecoveryEstimate::fromCounts(10, 0)), "intact");
    EXPECT_EQ(brantlow::recoverabilityText(RecoveryEstimate::fromCounts(10, 10)), "overwritten");
    EXPECT_EQ(brantlow::recoverabilityText(RecoveryEstimate::fromCounts(4, 1)), "partly overwritten (25%)");
    EXPECT_EQ(brantlow::recoverabilityText(RecoveryEstimate::fromCounts(1000, 1)), "partly overwritten (1%)");
    EXPECT_EQ(brantlow::recoverabilityText(RecoveryEstimate::fromCounts(1000, 999)), "partly overwritten (99%)");
    EXPECT_EQ(brantlow::recoverabilityText(RecoveryEstimate{}), "unknown");
}

}  // namespace

#include "tests/hfsplus/hfs_support.h"

namespace {

// HFS+: no formatter on this system makes deleted files whose blocks stay
// free, so the volume comes from the test writer: a deleted file whose
// blocks nobody took is intact, one whose blocks are in use again is
// overwritten, a live file is not asked; Deep mode says unknown.
TEST(RecoverabilityHfsPlus, FreeAndReusedBlocks) {
    std::vector<HfsItem> items;
    items.push_back({.path = "live.bin", .data = pattern(20000, 1)});
    items.push_back({.path = "kept.bin", .data = pattern(30000, 2), .dataFragments = 3, .deleted = true});
    items.push_back({.path = "taken.bin", .data = pattern(9000, 3), .deleted = true, .reused = true});
    const HfsImage img = makeHfsVolume(items);
    Scanned s = scanBytes(img.bytes);
    ASSERT_EQ(s.outcome, brantlow::ScanOutcome::Done);
    auto stateOf = [&](const Scanned& sc, const std::string& name) {
        for (const auto& [path, id] : sc.paths)
            if (path.size() >= name.size() && path.compare(path.size() - name.size(), name.size(), name) == 0)
                return sc.parser->recoverability(id);
        ADD_FAILURE() << name << " not listed";
        return brantlow::RecoveryEstimate{};
    };
    const auto kept = stateOf(s, "kept.bin");
    EXPECT_EQ(kept.state, brantlow::Recoverability::Intact);
    EXPECT_EQ(kept.units, 8u);  // 30,000 bytes in 4 KiB blocks
    EXPECT_EQ(stateOf(s, "taken.bin").state, brantlow::Recoverability::Overwritten);
    EXPECT_EQ(stateOf(s, "live.bin").state, brantlow::Recoverability::Unknown);
    Scanned deep = scanBytes(img.bytes, brantlow::ScanMode::Deep);
    ASSERT_EQ(deep.outcome, brantlow::ScanOutcome::Done);
    EXPECT_EQ(stateOf(deep, "kept.bin").state, brantlow::Recoverability::Unknown);
}

}  // namespace
