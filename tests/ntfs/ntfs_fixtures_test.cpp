// NTFS volumes made by real tools (mkntfs, ntfs-3g), checked against their
// manifests through the command-line tool: every entry the volume still
// holds is listed with its path, state, size and modification time, and
// every file whose content is intact is recovered byte-exact with its times.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <fstream>
#include <iostream>
#include <iterator>
#include <map>
#include <set>
#include <string>

#include "tests/support/fixtures.h"

using namespace brantlow;
using namespace brantlow::test;

namespace {

std::string baseName(const std::string& p) {
    size_t s = p.rfind('/');
    return s == std::string::npos ? p : p.substr(s + 1);
}

struct Case {
    const char* image;
    const char* volume;    // --volume argument
    int ntfsOrdinal;       // which NTFS volume of the manifest
};

void checkVolume(const Case& c) {
    BRANTLOW_REQUIRE_IMAGE(img, c.image);
    auto manifest = fixtureManifest(c.image);
    ASSERT_TRUE(manifest) << "manifest of " << c.image;
    nlohmann::json vol;
    int seen = 0;
    for (const auto& v : (*manifest)["volumes"])
        if (v["fs"] == "ntfs" && seen++ == c.ntfsOrdinal) vol = v;
    ASSERT_FALSE(vol.is_null());

    CliResult list = runCli({"list", img, "--volume", c.volume, "--json"});
    ASSERT_EQ(list.rc, 0) << list.out;
    auto rows = jsonLines(list.out);
    ASSERT_GT(rows.size(), 10u);
    std::map<std::string, nlohmann::json> byPath;
    std::multimap<std::string, nlohmann::json> orphansByName;
    std::set<std::string> paths;
    for (const auto& r : rows) {
        std::string p = r["path"];
        // Each entry appears once: the tree has no loops.
        EXPECT_TRUE(paths.insert(p + "|" + r["state"].get<std::string>()).second) << "listed twice: " << p;
        byPath[p] = r;
        if (p.rfind("ORPHAN_ENTRY/", 0) == 0) orphansByName.emplace(r["name"].get<std::string>(), r);
    }

    TempDir out;
    CliResult rec = runCli({"recover", img, "--volume", c.volume, "--out", out.path()});
    // The deleted fillers whose clusters the fragmented file took are not
    // written (status 4).
    ASSERT_TRUE(rec.rc == 0 || rec.rc == 4) << rec.out;
    if (std::string(c.image) == "ntfs") {
        // $Boot maps cluster 0: the boot sector and its code, not zeros.
        std::ifstream boot(out.path() + "/$Boot", std::ios::binary), vol(img, std::ios::binary);
        std::string b((std::istreambuf_iterator<char>(boot)), {});
        std::string v(b.size(), '\0');
        vol.read(v.data(), static_cast<std::streamsize>(v.size()));
        ASSERT_GE(b.size(), 512u);
        EXPECT_TRUE(b == v) << "$Boot differs from the volume's first " << b.size() << " bytes";
    }

    // Recycle-bin data files are listed under the names their "$I" partner
    // records, with the former path and the time of deletion.
    std::map<std::string, nlohmann::json> recycled;  // "$R" path → its "$I" record
    for (const auto& e : vol["entries"])
        if (e.contains("fs_specific") && e["fs_specific"].contains("recycle_bin_info")) {
            const auto& info = e["fs_specific"]["recycle_bin_info"];
            recycled[info["pair_data_file"].get<std::string>()] = info;
        }
    int checked = 0, recovered = 0, renamed = 0;
    for (const auto& e : vol["entries"]) {
        const std::string state = e["state"];
        const std::string role = e.value("role", "");
        std::string path = e["path"];
        if (auto r = recycled.find(path); r != recycled.end()) {
            const std::string original = r->second["original_path"];
            path = path.substr(0, path.rfind('/') + 1) + original.substr(original.rfind('\\') + 1);
            auto it = byPath.find(path);
            ASSERT_NE(it, byPath.end()) << "not listed under its former name: " << path;
            EXPECT_EQ(it->second["originalPath"], original);
            EXPECT_EQ(it->second["deletedAt"], r->second["deleted_time"]);
            ++renamed;
        }
        if (state == "previous_fs" || role == "filler" || role == "fill") continue;
        // Records that were reused hold another file now.
        if (e.contains("tsk") && e["tsk"].value("listed", "") == "not_listed") continue;
        nlohmann::json row;
        if (state == "orphan") {
            auto it = orphansByName.find(baseName(path));
            ASSERT_NE(it, orphansByName.end()) << "orphan not under ORPHAN_ENTRY: " << path;
            row = it->second;
        } else {
            auto it = byPath.find(path);
            ASSERT_NE(it, byPath.end()) << "not listed: " << path;
            row = it->second;
        }
        ++checked;
        EXPECT_EQ(row["state"], state == "orphan" ? "deleted" : state) << path;
        EXPECT_EQ(row["orphan"], state == "orphan") << path;
        EXPECT_EQ(row["kind"], e["type"] == "dir" ? "dir" : "file") << path;
        if (e["type"] == "file") { EXPECT_EQ(row["size"], e["size"]) << path; }
        const auto& t = e["times"];
        if (t.contains("mtime") && !t["mtime"].is_null()) { EXPECT_EQ(row["modified"], t["mtime"]) << path; }
        if (t.contains("atime") && !t["atime"].is_null()) { EXPECT_EQ(row["accessed"], t["atime"]) << path; }
        if (t.contains("crtime") && !t["crtime"].is_null()) { EXPECT_EQ(row["created"], t["crtime"]) << path; }

        const bool intact = state == "live" || e.value("content_intact_on_disk", false);
        if (e["type"] != "file" || !intact || !e.contains("sha256")) continue;
        const std::string file = out.path() + "/" + row["path"].get<std::string>();
        struct stat st {};
        ASSERT_EQ(::stat(file.c_str(), &st), 0) << "not recovered: " << file;
        if (!t["mtime"].is_null()) { EXPECT_EQ(st.st_mtime, isoToUnix(t["mtime"])) << path; }
        if (!t["atime"].is_null()) { EXPECT_EQ(st.st_atime, isoToUnix(t["atime"])) << path; }
        auto sha = sha256File(file);
        ASSERT_TRUE(sha) << "not recovered: " << file;
        EXPECT_EQ(*sha, e["sha256"]) << path;
        ++recovered;
    }
    EXPECT_EQ(renamed, static_cast<int>(recycled.size()));
    EXPECT_GT(checked, 3);
    EXPECT_GT(recovered, 2);
}

}  // namespace

// The bundled sample: resident, sparse, compressed (one deleted),
// attribute-list, recycle-bin and orphaned files.
TEST(NtfsFixtures, SampleVolumeListsAndRecoversManifest) { checkVolume({"ntfs", "0", 0}); }
TEST(NtfsFixtures, MbrDiskNtfsPartition) { checkVolume({"disk_mbr", "0", 0}); }
TEST(NtfsFixtures, GptDiskNtfsPartition) { checkVolume({"disk_gpt", "1", 0}); }
TEST(NtfsFixtures, ReformattedVolumeCurrentFiles) { checkVolume({"reformat_ntfs", "0", 0}); }

// The special files of the sample, by name.
TEST(NtfsFixtures, SampleSpecialFilesAndTexts) {
    BRANTLOW_REQUIRE_IMAGE(img, "ntfs");
    CliResult list = runCli({"list", img, "--volume", "0", "--json"});
    ASSERT_EQ(list.rc, 0);
    std::map<std::string, nlohmann::json> byPath;
    for (const auto& r : jsonLines(list.out)) byPath[r["path"]] = r;
    // ORPHAN_ENTRY is the last child of the root.
    std::string lastTop;
    for (const auto& r : jsonLines(list.out)) {
        std::string p = r["path"];
        if (p.find('/') == std::string::npos) lastTop = p;
    }
    EXPECT_EQ(lastTop, "ORPHAN_ENTRY");
    ASSERT_TRUE(byPath.count("Compressed/server.log"));
    EXPECT_EQ(byPath["Compressed/server.log"]["attributes"], "-A-C");
    ASSERT_TRUE(byPath.count("$BadClus"));
    // The orphans' own folder keeps its children.
    EXPECT_TRUE(byPath.count("ORPHAN_ENTRY/SUB/child_c.txt"));
}

// Deep mode searches the volume for records and places each under the
// folder its name points to: every live and deleted entry whose folder
// survives is under its own path, orphans under ORPHAN_ENTRY, and no file
// in a folder that is not its own. On a volume quick-formatted over an older
// one the old records go under the old folders that survive the format
// (never under a new folder that took an old record's number), and the files
// whose clusters survive are recovered byte-exact.
struct DeepCase {
    const char* image;
    const char* volume;
    int ntfsOrdinal;
    int previousInPlace;  // old files expected under their own path
};

void checkDeepPlacement(const DeepCase& c) {
    BRANTLOW_REQUIRE_IMAGE(img, c.image);
    auto manifest = fixtureManifest(c.image);
    ASSERT_TRUE(manifest);
    nlohmann::json vol;
    int seen = 0;
    for (const auto& v : (*manifest)["volumes"])
        if (v["fs"] == "ntfs" && seen++ == c.ntfsOrdinal) vol = v;
    ASSERT_FALSE(vol.is_null());
    CliResult list = runCli({"list", img, "--volume", c.volume, "--mode", "deep", "--json", "--quiet"});
    ASSERT_EQ(list.rc, 0);
    std::set<std::string> paths;
    std::multimap<std::string, std::string> byName;  // name → path
    for (const auto& r : jsonLines(list.out)) {
        paths.insert(r["path"].get<std::string>());
        byName.emplace(r["name"].get<std::string>(), r["path"].get<std::string>());
    }
    std::set<std::string> recycledData, manifestPaths;
    for (const auto& e : vol["entries"]) {
        manifestPaths.insert(e["path"].get<std::string>());
        if (e.contains("fs_specific") && e["fs_specific"].contains("recycle_bin_info"))
            recycledData.insert(e["fs_specific"]["recycle_bin_info"]["pair_data_file"].get<std::string>());
    }
    int placed = 0, orphans = 0, previous = 0;
    for (const auto& e : vol["entries"]) {
        const std::string state = e["state"], path = e["path"];
        const std::string name = baseName(path);
        if (recycledData.count(path) || (e.contains("tsk") && e["tsk"].value("listed", "") == "not_listed")) continue;
        if (state == "live" || state == "deleted") {
            EXPECT_TRUE(paths.count(path)) << "not under its own path in deep mode: " << path;
            ++placed;
        } else if (state == "orphan") {
            EXPECT_TRUE(paths.count("ORPHAN_ENTRY/" + name) || paths.count("ORPHAN_ENTRY/SUB/" + name)) << path;
            ++orphans;
        } else if (state == "previous_fs" && paths.count(path)) {
            ++previous;
        }
    }
    // No file of the manifest sits in a folder that is not its own.
    for (const auto& e : vol["entries"]) {
        auto range = byName.equal_range(baseName(e["path"]));
        for (auto it = range.first; it != range.second; ++it)
            EXPECT_TRUE(it->second.rfind("ORPHAN_ENTRY/", 0) == 0 || manifestPaths.count(it->second))
                << it->second << " is in a folder not its own";
    }
    EXPECT_GT(placed, 3);
    EXPECT_GE(previous, c.previousInPlace);
    std::cout << c.image << ": " << placed << " under their paths, " << orphans << " orphans, " << previous
              << " old files under their paths\n";
}

TEST(NtfsFixtures, DeepModePlacesRecordsUnderTheirFolders) {
    checkDeepPlacement({"ntfs", "0", 0, 0});
    checkDeepPlacement({"disk_gpt", "1", 0, 0});
    checkDeepPlacement({"reformat_ntfs", "0", 0, 70});
    checkDeepPlacement({"reformat_ntfs_cs", "0", 0, 60});
}

TEST(NtfsFixtures, DeepScanFindsFilesOfTheFormerVolume) {
    BRANTLOW_REQUIRE_IMAGE(img, "reformat_ntfs");
    auto manifest = fixtureManifest("reformat_ntfs");
    ASSERT_TRUE(manifest);
    CliResult list = runCli({"list", img, "--volume", "0", "--mode", "deep", "--json"});
    ASSERT_EQ(list.rc, 0);
    std::multimap<std::string, nlohmann::json> byName;
    for (const auto& r : jsonLines(list.out)) byName.emplace(r["name"].get<std::string>(), r);
    TempDir out;
    CliResult rec = runCli({"recover", img, "--volume", "0", "--mode", "deep", "--out", out.path()});
    ASSERT_TRUE(rec.rc == 0 || rec.rc == 4) << rec.out;  // 4: some former files only partly there
    int found = 0, intact = 0, recovered = 0;
    for (const auto& e : (*manifest)["volumes"][0]["entries"]) {
        if (e["state"] != "previous_fs" || e["type"] != "file") continue;
        auto range = byName.equal_range(baseName(e["path"]));
        if (range.first == range.second) continue;
        ++found;
        if (!e.value("content_intact_on_disk", false)) continue;
        ++intact;
        for (auto it = range.first; it != range.second; ++it)
            if (sha256File(out.path() + "/" + it->second["path"].get<std::string>()).value_or("") == e["sha256"]) {
                ++recovered;
                break;
            }
    }
    EXPECT_GT(found, 50);
    EXPECT_EQ(recovered, intact);
}

// The attribute letters are the DOS bits of the name attribute: system
// files show -S (0x0004); a sparse file (0x0200) does not.
TEST(NtfsFixtures, SystemFilesShowSystemAndSparseFilesDoNot) {
    BRANTLOW_REQUIRE_IMAGE(img, "ntfs");
    CliResult list = runCli({"list", img, "--volume", "0", "--json"});
    ASSERT_EQ(list.rc, 0);
    std::map<std::string, std::string> attributes;
    for (const auto& r : jsonLines(list.out)) attributes[r["path"]] = r["attributes"];
    EXPECT_EQ(attributes["$MFTMirr"], "-H-S");
    EXPECT_EQ(attributes["$Extend/$Quota"], "-H-S-A");
    ASSERT_TRUE(attributes.count("Sparse/sparse_disk.vhd"));
    EXPECT_EQ(attributes["Sparse/sparse_disk.vhd"], "-A");
}
