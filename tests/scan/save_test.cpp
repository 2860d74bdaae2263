// The folder save over a small in-memory tree: names, duplicates, cycles,
// deleted-only saves and failure counting.
#include <gtest/gtest.h>

#include <sys/mount.h>
#include <sys/stat.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>

#include "scan/save.h"
#include "scan/tree_walk.h"
#include "tests/scan/tree_parser.h"
#include "tests/support/fixtures.h"

using namespace brantlow;
using brantlow::test::TreeParser;
namespace fs = std::filesystem;

namespace {

std::string slurp(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

}  // namespace

TEST(FolderSave, NamesDuplicatesAndHostileComponentsStayInside) {
    TreeParser p;
    EntryId docs = p.add(kRootId, "docs", EntryKind::Folder);
    p.add(docs, "same.txt", EntryKind::File, EntryState::Live, "live");
    p.add(docs, "SAME.txt", EntryKind::File, EntryState::Deleted, "deleted");
    p.add(docs, "same.txt", EntryKind::File, EntryState::Deleted, "third");
    EntryId up = p.add(kRootId, "..", EntryKind::Folder);
    p.add(up, "escape.txt", EntryKind::File, EntryState::Live, "x");
    p.add(kRootId, "a/../../b", EntryKind::File, EntryState::Live, "y");
    p.add(kRootId, "$BadClus", EntryKind::File, EntryState::Live, "bad");
    EntryId blank = p.add(kRootId, "dir ", EntryKind::Folder);
    p.add(blank, "in blank.txt", EntryKind::File, EntryState::Live, "z");

    test::TempDir tmp;
    fs::create_directory(tmp.path() + "/out");
    const std::string out = tmp.path() + "/out";
    EXPECT_EQ(countFiles(p, kRootId), 7u);
    SaveStats st = saveFolder(p, kRootId, out, nullptr, nullptr);
    EXPECT_EQ(st.files, 7u);
    EXPECT_EQ(st.written, 6u);
    EXPECT_EQ(st.skipped, 1u);
    EXPECT_EQ(st.failed, 0u);
    // Times before anything reads the file (reading may move the access time).
    struct stat sb {};
    ASSERT_EQ(::stat((out + "/docs/same.txt").c_str(), &sb), 0);
    EXPECT_EQ(sb.st_mtim.tv_sec, 1600000000);
    EXPECT_EQ(sb.st_atim.tv_sec, 1600000100);
    EXPECT_EQ(slurp(out + "/docs/same.txt"), "live");
    EXPECT_EQ(slurp(out + "/docs/SAME (1).txt"), "deleted");
    EXPECT_EQ(slurp(out + "/docs/same (2).txt"), "third");
    EXPECT_EQ(slurp(out + "/_../escape.txt"), "x");
    EXPECT_EQ(slurp(out + "/a_.._.._b"), "y");
    EXPECT_EQ(slurp(out + "/dir /in blank.txt"), "z");
    EXPECT_FALSE(fs::exists(out + "/$BadClus"));
    // Nothing outside the output folder.
    size_t outside = 0;
    for (auto& e : fs::directory_iterator(tmp.path()))
        if (e.path().filename() != "out") ++outside;
    EXPECT_EQ(outside, 0u);
}

TEST(FolderSave, CyclesEndAndDeletedOnlyPrunesEmptyFolders) {
    TreeParser p;
    EntryId a = p.add(kRootId, "a", EntryKind::Folder);
    EntryId b = p.add(a, "b", EntryKind::Folder);
    p.nodes[b].kids.push_back(a);  // b lists its own parent: a cycle
    p.add(b, "gone.txt", EntryKind::File, EntryState::Deleted, "gone");
    EntryId live = p.add(kRootId, "live", EntryKind::Folder);
    p.add(live, "kept.txt", EntryKind::File, EntryState::Live, "kept");
    EntryId orphans = p.add(kRootId, "ORPHAN_ENTRY", EntryKind::Folder);
    p.add(orphans, "lost.bin", EntryKind::File, EntryState::Deleted, "lost");

    size_t visited = 0;
    walkTree(p, kRootId, [&](const std::string&, EntryId, const EntryInfo&) { return ++visited < 1000; });
    EXPECT_LT(visited, 20u);

    test::TempDir tmp;
    SaveOptions opt;
    opt.deletedOnly = true;
    EXPECT_EQ(countFiles(p, kRootId, nullptr, opt), 2u);
    SaveStats st = saveFolder(p, kRootId, tmp.path(), nullptr, nullptr, opt);
    EXPECT_EQ(st.written, 2u);
    EXPECT_EQ(slurp(tmp.path() + "/a/b/gone.txt"), "gone");
    EXPECT_EQ(slurp(tmp.path() + "/ORPHAN_ENTRY/lost.bin"), "lost");
    EXPECT_FALSE(fs::exists(tmp.path() + "/live"));
}

TEST(FolderSave, FailuresAreCountedNotHidden) {
    TreeParser p;
    p.add(kRootId, "x", EntryKind::File, EntryState::Live, "data");
    EntryId f = p.add(kRootId, "x", EntryKind::Folder);  // a folder beside a file of the same name
    p.add(f, "inner.txt", EntryKind::File, EntryState::Live, "in");
    test::TempDir tmp;
    SaveStats st = saveFolder(p, kRootId, tmp.path() + "/missing-folder", nullptr, nullptr);
    EXPECT_EQ(st.files, 2u);
    EXPECT_EQ(st.written, 0u);
    EXPECT_EQ(st.failed, 2u);  // the file, and the folder's one file
    EXPECT_FALSE(st.lastError.empty());

    SaveStats ok = saveFolder(p, kRootId, tmp.path(), nullptr, nullptr);
    EXPECT_EQ(ok.failed, 0u);
    EXPECT_EQ(slurp(tmp.path() + "/x"), "data");
    EXPECT_EQ(slurp(tmp.path() + "/x (1)/inner.txt"), "in");
}

// What the output folder held before the save is never replaced nor
// followed: a file, a folder and a dangling link of a file's name each make
// it take the next free name.
TEST(FolderSave, NamesInUseBeforeTakeTheNextFreeName) {
    TreeParser p;
    p.add(kRootId, "a.txt", EntryKind::File, EntryState::Live, "new a");
    p.add(kRootId, "b.txt", EntryKind::File, EntryState::Live, "new b");
    p.add(kRootId, "c.txt", EntryKind::File, EntryState::Live, "new c");
    test::TempDir tmp;
    { std::ofstream(tmp.path() + "/a.txt") << "old a"; }
    fs::create_directory(tmp.path() + "/b.txt");
    fs::create_symlink(tmp.path() + "/nowhere", tmp.path() + "/c.txt");
    SaveStats st = saveFolder(p, kRootId, tmp.path(), nullptr, nullptr);
    EXPECT_EQ(st.written, 3u);
    EXPECT_EQ(slurp(tmp.path() + "/a.txt"), "old a");
    EXPECT_EQ(slurp(tmp.path() + "/a (1).txt"), "new a");
    EXPECT_TRUE(fs::is_directory(tmp.path() + "/b.txt"));
    EXPECT_EQ(slurp(tmp.path() + "/b (1).txt"), "new b");
    EXPECT_TRUE(fs::is_symlink(tmp.path() + "/c.txt"));
    EXPECT_FALSE(fs::exists(tmp.path() + "/nowhere"));
    EXPECT_EQ(slurp(tmp.path() + "/c (1).txt"), "new c");
}

// The scan page's folder save keeps the folder's name and its place below
// ROOT, as a ticked save does; the folders above it are made even when
// empty of other files, and a hostile name there stays inside.
TEST(FolderSave, KeptPathRecreatesTheFolderAndThoseAboveIt) {
    TreeParser p;
    EntryId build = p.add(kRootId, "Build", EntryKind::Folder);
    EntryId log = p.add(build, "log", EntryKind::Folder);
    p.add(log, "a.txt", EntryKind::File, EntryState::Live, "a");
    p.add(build, "other.txt", EntryKind::File, EntryState::Live, "o");
    EntryId up = p.add(kRootId, "..", EntryKind::Folder);
    p.add(up, "in.txt", EntryKind::File, EntryState::Live, "i");
    test::TempDir tmp;
    SaveOptions keep;
    keep.keepPath = {build, log};
    SaveStats st = saveFolder(p, log, tmp.path(), nullptr, nullptr, keep);
    EXPECT_EQ(st.written, 1u);
    EXPECT_EQ(slurp(tmp.path() + "/Build/log/a.txt"), "a");
    EXPECT_FALSE(fs::exists(tmp.path() + "/Build/other.txt"));
    keep.keepPath = {up};
    EXPECT_EQ(saveFolder(p, up, tmp.path(), nullptr, nullptr, keep).written, 1u);
    EXPECT_EQ(slurp(tmp.path() + "/_../in.txt"), "i");
    // A folder above that cannot be made: every file fails, and says why.
    { std::ofstream(tmp.path() + "/blocked") << "a file"; }
    SaveStats bad = saveFolder(p, log, tmp.path() + "/blocked", nullptr, nullptr, SaveOptions{.keepPath = {build, log}});
    EXPECT_EQ(bad.failed, 1u);
    ASSERT_EQ(bad.problems.size(), 1u);
    EXPECT_NE(bad.problems[0].reason.find("folder not created"), std::string::npos);
}

// Files are written on writer threads, but a save that stops (Stop, a full
// output disk) ends as if each file had been written before the next one
// was read: the files on disk are the ones reported, in order, and nothing
// after the one that stopped it is left behind, not even a folder.
TEST(FolderSave, StopsAsIfFilesWereWrittenOneAfterAnother) {
    TreeParser p;
    EntryId d = p.add(kRootId, "d", EntryKind::Folder);
    for (int i = 0; i < 40; ++i) {
        char name[16];
        std::snprintf(name, sizeof name, "f%02d", i);
        p.add(d, name, EntryKind::File, EntryState::Live, std::string(4096, static_cast<char>('A' + i % 26)));
    }
    EntryId e = p.add(kRootId, "e", EntryKind::Folder);
    p.add(e, "late.txt", EntryKind::File, EntryState::Live, "late");

    // What was written: the first n files, each whole, with its times.
    auto check = [&](const std::string& out, const SaveStats& st, const std::vector<std::string>& reported) {
        EXPECT_EQ(st.written + st.failed + st.notAttempted, st.files);
        size_t onDisk = 0;
        for (auto& f : fs::directory_iterator(out + "/d")) (void)f, ++onDisk;
        EXPECT_EQ(onDisk, st.written);
        for (size_t i = 0; i < st.written; ++i) {
            char name[16];
            std::snprintf(name, sizeof name, "f%02zu", i);
            EXPECT_EQ(slurp(out + "/d/" + name), std::string(4096, static_cast<char>('A' + i % 26))) << name;
            EXPECT_EQ(reported[i], out + "/d/" + name);
        }
        struct stat sb {};
        if (st.written) {
            ASSERT_EQ(::stat((out + "/d/f00").c_str(), &sb), 0);
            EXPECT_EQ(sb.st_mtim.tv_sec, 1600000000);
        }
        EXPECT_FALSE(fs::exists(out + "/e"));
    };

    // Stop while the tenth file is read.
    {
        test::TempDir tmp;
        std::atomic<bool> stop{false};
        struct StopAt : ProgressSink {
            std::atomic<bool>* stop;
            void status(const std::string& t) override {
                if (t.size() >= 3 && t.compare(t.size() - 3, 3, "f09") == 0) *stop = true;
            }
        } progress;
        progress.stop = &stop;
        std::vector<std::string> reported;
        SaveOptions o;
        o.onFile = [&](const FileReport& r) { reported.push_back(r.path); };
        SaveStats st = saveFolder(p, kRootId, tmp.path(), &progress, &stop, o);
        EXPECT_TRUE(st.interrupted);
        EXPECT_LT(st.written, 10u);
        check(tmp.path(), st, reported);
    }
    // A 64 KiB output disk (skipped where a tmpfs cannot be mounted).
    test::TempDir mnt;
    if (::mount("tmpfs", mnt.path().c_str(), "tmpfs", 0, "size=64k") != 0)
        GTEST_SKIP() << "a tmpfs cannot be mounted here (needs root): " << std::strerror(errno);
    struct Unmount {
        std::string p;
        ~Unmount() { ::umount2(p.c_str(), MNT_DETACH); }
    } unmount{mnt.path()};
    std::vector<std::string> reported;
    SaveOptions o;
    o.onFile = [&](const FileReport& r) { reported.push_back(r.path); };
    SaveStats st = saveFolder(p, kRootId, mnt.path(), nullptr, nullptr, o);
    EXPECT_TRUE(st.diskFull);
    EXPECT_EQ(st.failed, 1u);
    EXPECT_GT(st.written, 0u);
    EXPECT_GT(st.notAttempted, 0u);
    ASSERT_EQ(reported.size(), st.written + 1);
    check(mnt.path(), st, reported);
    EXPECT_EQ(saveSummary(st, mnt.path()).find("(no space left on the output disk)") != std::string::npos, true);
}
