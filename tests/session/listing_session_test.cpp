// A listing kept in a session and reopened: the same listing, the same
// saved bytes, names and times as a fresh scan, and the disk's metadata not
// read again (only the 2 MiB that name the source).
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>

#include "scan/session/session_codec.h"
#include "scan/session/session_db.h"
#include "tests/support/fixtures.h"

using namespace brantlow;
using namespace brantlow::test;
namespace fs = std::filesystem;

namespace {

std::string withoutLine(std::string s, const std::string& prefix) {
    for (size_t at; (at = s.find(prefix)) != std::string::npos;) s.erase(at, s.find('\n', at) + 1 - at);
    return s;
}

class ReopenedListing : public ::testing::TestWithParam<const char*> {};

TEST_P(ReopenedListing, GivesWhatAFreshScanGives) {
    BRANTLOW_REQUIRE_IMAGE(img, GetParam());
    TempDir tmp;
    const std::string ses = tmp.path() + "/scan.session";
    const CliResult fresh = runCli({"list", img, "--json", "--quiet"});
    const CliResult first = runCli({"list", img, "--json", "--quiet", "--session", ses});
    ASSERT_EQ(first.rc, fresh.rc);
    EXPECT_EQ(first.out, fresh.out);

    ::setenv("BRANTLOW_READ_STATS", "1", 1);
    const CliResult again = runCli({"list", img, "--json", "--quiet", "--session", ses}, true);
    const CliResult found = runCli({"search", img, "--pattern", "a", "--json", "--session", ses}, true);
    ::unsetenv("BRANTLOW_READ_STATS");
    EXPECT_EQ(again.rc, fresh.rc);
    // The listing from the file; of the image only its first and last MiB.
    EXPECT_NE(again.out.find("read 2097152 bytes from"), std::string::npos) << again.out.substr(again.out.size() - 300);
    EXPECT_EQ(withoutLine(again.out, "brantlow-cli: read "), fresh.out);
    EXPECT_EQ(withoutLine(found.out, "brantlow-cli: read "),
              runCli({"search", img, "--pattern", "a", "--json"}, true).out);

    // The save from the session: the same files, bytes and times, the same
    // report and status.
    const CliResult a = runCli({"recover", img, "--out", tmp.path() + "/a", "--streams", "--quiet", "--report",
                                tmp.path() + "/a.json"});
    const CliResult b = runCli({"recover", img, "--out", tmp.path() + "/b", "--streams", "--quiet", "--report",
                                tmp.path() + "/b.json", "--session", ses});
    EXPECT_EQ(a.rc, b.rc);
    EXPECT_EQ(savedTree(tmp.path() + "/a"), savedTree(tmp.path() + "/b"));
    std::ifstream ra(tmp.path() + "/a.json"), rb(tmp.path() + "/b.json");
    std::stringstream sa, sb;
    sa << ra.rdbuf();
    sb << rb.rdbuf();
    std::string ta = sa.str(), tb = sb.str();
    for (std::string* t : {&ta, &tb})
        for (size_t at; (at = t->find(tmp.path())) != std::string::npos;) t->replace(at, tmp.path().size() + 2, "X");
    EXPECT_EQ(ta, tb);
}

INSTANTIATE_TEST_SUITE_P(Fixtures, ReopenedListing, ::testing::Values("ntfs", "ext4", "fat32", "exfat"));

TEST(ReopenedListing, CatGivesTheFileFromItsStoredExtents) {
    BRANTLOW_REQUIRE_IMAGE(img, "ntfs");
    TempDir tmp;
    const std::string ses = tmp.path() + "/s";
    ASSERT_EQ(runCli({"list", img, "--quiet", "--session", ses}).rc, 0);
    // Every file of the listing, through cat, from the session and fresh.
    const CliResult listing = runCli({"list", img, "--quiet"});
    std::istringstream lines(listing.out);
    int compared = 0;
    for (std::string line; std::getline(lines, line) && compared < 40;) {
        if (line.find("\tfile\t") == std::string::npos || line.find("live") != 0) continue;
        const std::string path = line.substr(line.rfind('\t') + 1);
        const CliResult fresh = runCli({"cat", img, "--path", path, "--quiet"});
        const CliResult kept = runCli({"cat", img, "--path", path, "--quiet", "--session", ses});
        EXPECT_EQ(fresh.rc, kept.rc) << path;
        EXPECT_EQ(fresh.out, kept.out) << path;
        ++compared;
    }
    EXPECT_GT(compared, 10);
}

// A listing of many chunks whose kept bytes (the files' resident data) fill
// more than one piece: the same listing reopened, and the files of the
// folder whose kept bytes straddle two pieces saved alike.
TEST(ReopenedListing, ManyChunksAndKeptPieces) {
    TempDir tmp;
    const std::string img = tmp.path() + "/records.img", ses = tmp.path() + "/s";
    const std::string make = "python3 '" + std::string(BRANTLOW_SOURCE_DIR) + "/bench/make_ntfs_records.py' '" + img +
                             "' 24000 2000 >/dev/null 2>&1";
    if (std::system(make.c_str()) != 0) GTEST_SKIP() << "make_ntfs_records.py could not make an image (python3, mkntfs)";
    const CliResult fresh = runCli({"list", img, "--json", "--quiet"});
    ASSERT_EQ(runCli({"list", img, "--json", "--quiet", "--session", ses}).out, fresh.out);
    EXPECT_EQ(runCli({"list", img, "--json", "--quiet", "--session", ses}).out, fresh.out);

    // The entries from the file: the folder of the file whose kept bytes
    // run past the first piece.
    session::Database db;
    ASSERT_TRUE(db.open(ses, false));
    int64_t chunks = 0, pieces = 0, secondPiece = 0;
    ASSERT_TRUE(db.queryInt("SELECT count(*) FROM entry_chunks", chunks));
    ASSERT_TRUE(db.queryInt("SELECT count(*) FROM kept", pieces));
    ASSERT_TRUE(db.queryInt("SELECT at FROM kept ORDER BY at LIMIT 1 OFFSET 1", secondPiece));
    EXPECT_GT(chunks, 5);
    ASSERT_GT(pieces, 1);
    std::vector<std::string> blobs;
    std::vector<session::PackedEntry> entries;
    session::Statement q(db, "SELECT rows FROM entry_chunks ORDER BY first");
    while (q.step()) blobs.push_back(q.text(0));
    for (const std::string& b : blobs) {
        session::BlobReader r(reinterpret_cast<const uint8_t*>(b.data()), b.size());
        for (session::PackedEntry e; !r.atEnd();) {
            ASSERT_TRUE(session::decodeEntry(r, e));
            entries.push_back(e);
        }
    }
    std::string folder;
    for (size_t i = 0; i < entries.size() && folder.empty(); ++i) {
        const session::PackedEntry& e = entries[i];
        if (e.content == 2 && e.keptAt < static_cast<uint64_t>(secondPiece) &&
            e.keptAt + e.keptBytes > static_cast<uint64_t>(secondPiece))
            folder = std::string(entries[i - e.parentGap].name);
    }
    ASSERT_FALSE(folder.empty());
    const CliResult a = runCli({"recover", img, "--path", folder, "--out", tmp.path() + "/a", "--quiet"});
    const CliResult b = runCli({"recover", img, "--path", folder, "--out", tmp.path() + "/b", "--quiet", "--session", ses});
    EXPECT_EQ(a.rc, b.rc);
    const auto saved = savedTree(tmp.path() + "/a");
    EXPECT_GT(saved.size(), 1000u);
    EXPECT_EQ(saved, savedTree(tmp.path() + "/b"));
}

}  // namespace
