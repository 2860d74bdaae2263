// A session file is input like any other: a file that is not a session, one
// from a newer version, a cut or damaged one, or one made from another
// source is refused with the reason and left as it is; the packed columns
// are read with every count and length checked.
#include <gtest/gtest.h>
#include <signal.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>

#include "scan/session/session_codec.h"
#include "scan/session/session_db.h"
#include "scan/session/session_store.h"
#include "tests/support/fixtures.h"

using namespace brantlow;
using namespace brantlow::test;

namespace {

std::string readAll(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

void writeAll(const std::string& path, const std::string& bytes) {
    std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
}

bool says(const CliResult& r, const char* text) { return r.out.find(text) != std::string::npos; }

TEST(SessionCodec, RangesRoundTripAndHostileBytesAreRefused) {
    const std::vector<VolumeRange> ranges{{1ull << 40, 4096}, {8192, 512}, {~0ull - 4096, 4096}, {0, 0}};
    const std::string packed = session::encodeRanges(ranges);
    std::vector<VolumeRange> back;
    ASSERT_TRUE(session::decodeRanges(reinterpret_cast<const uint8_t*>(packed.data()), packed.size(), back));
    ASSERT_EQ(back.size(), ranges.size());
    for (size_t i = 0; i < ranges.size(); ++i) {
        EXPECT_EQ(back[i].offset, ranges[i].offset);
        EXPECT_EQ(back[i].length, ranges[i].length);
    }
    // Cut anywhere, a count beyond what the bytes hold, a number past 64
    // bits, bytes left over: refused, nothing allocated for the count.
    for (size_t n = 1; n < packed.size(); ++n)
        EXPECT_FALSE(session::decodeRanges(reinterpret_cast<const uint8_t*>(packed.data()), n, back)) << n;
    const uint8_t huge[] = {0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0x7f, 1, 1};
    EXPECT_FALSE(session::decodeRanges(huge, sizeof huge, back));
    const uint8_t wide[] = {1, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0x7f, 1};
    EXPECT_FALSE(session::decodeRanges(wide, sizeof wide, back));
    const std::string extra = packed + '\0';
    EXPECT_FALSE(session::decodeRanges(reinterpret_cast<const uint8_t*>(extra.data()), extra.size(), back));
    session::BlobReader r(huge, 3);
    EXPECT_TRUE(r.bytes(1u << 30).empty());
    EXPECT_FALSE(r.ok());
}

TEST(SessionFile, RefusesWhatItCannotUseAndLeavesItAlone) {
    BRANTLOW_REQUIRE_IMAGE(img, "fat16");
    TempDir tmp;
    const std::string ses = tmp.path() + "/s";
    auto list = [&](const std::string& source, std::vector<std::string> more = {}) {
        std::vector<std::string> args{"list", source, "--quiet", "--session", ses};
        args.insert(args.end(), more.begin(), more.end());
        return runCli(args, true);
    };
    // Not a session: a text file, another program's database.
    writeAll(ses, "my notes, not a session\n");
    CliResult r = list(img);
    EXPECT_EQ(r.rc, 7);
    EXPECT_TRUE(says(r, "is not a session file")) << r.out;
    EXPECT_EQ(readAll(ses), "my notes, not a session\n");
    {
        std::remove(ses.c_str());
        session::Database db;
        ASSERT_TRUE(db.open(ses, true));
        ASSERT_TRUE(db.exec("CREATE TABLE t(x); INSERT INTO t VALUES(1);"));
    }
    r = list(img);
    EXPECT_EQ(r.rc, 7);
    EXPECT_TRUE(says(r, "is a database, not a session file")) << r.out;

    // A good session: then a newer version's, a cut one, a damaged one.
    std::remove(ses.c_str());
    ASSERT_EQ(list(img).rc, 0);
    const std::string good = readAll(ses);
    ASSERT_GT(good.size(), 4096u);
    std::string newer = good;
    newer[63] = 9;  // user_version
    writeAll(ses, newer);
    r = list(img);
    EXPECT_EQ(r.rc, 7);
    EXPECT_TRUE(says(r, "newer version")) << r.out;
    EXPECT_EQ(readAll(ses), newer);
    writeAll(ses, good.substr(0, good.size() / 2));
    r = list(img);
    EXPECT_EQ(r.rc, 7);
    EXPECT_TRUE(says(r, "cut short")) << r.out;
    EXPECT_EQ(readAll(ses).size(), good.size() / 2);

    // A listing of the layout before entries were packed: refused, not
    // misread.
    std::string older = good;
    older[63] = 1;
    writeAll(ses, older);
    r = list(img);
    EXPECT_EQ(r.rc, 7);
    EXPECT_TRUE(says(r, "was written by an older version of Brantlow (session layout 1")) << r.out;
    EXPECT_TRUE(says(r, "run the scan again, or use --session-overwrite")) << r.out;
    EXPECT_EQ(readAll(ses), older);

    // Rows that do not hold together: a parent after its child, unknown
    // kinds, unreadable extents, bytes left over in a chunk, kept bytes
    // beyond their bound, fewer rows than recorded.
    using Change = std::function<void(session::PackedEntry&)>;
    const std::vector<std::pair<const char*, Change>> hostile{
        {"parent", [](session::PackedEntry& e) { e.parentGap = 0; }},
        {"kind", [](session::PackedEntry& e) { e.kind = static_cast<EntryKind>(3); }},
        {"extents", [](session::PackedEntry& e) { e.extents = "\xff\xff\xff\xff"; }},
        {"kept", [](session::PackedEntry& e) {
             e.content = 2;
             e.keptBytes = 70000;
         }},
        {"left over", nullptr},
        {"fewer", nullptr}};
    for (const auto& [what, change] : hostile) {
        writeAll(ses, good);
        {
            session::Database db;
            ASSERT_TRUE(db.open(ses, false));
            if (std::string(what) == "fewer") {
                ASSERT_TRUE(db.exec("DELETE FROM entry_chunks WHERE first = (SELECT max(first) FROM entry_chunks)"));
            } else {
                // The last chunk, its second entry changed.
                std::string rows;
                int64_t first = 0, count = 0;
                {
                    session::Statement q(db, "SELECT first, count, rows FROM entry_chunks ORDER BY first DESC LIMIT 1");
                    ASSERT_TRUE(q.step());
                    first = q.integer(0);
                    count = q.integer(1);
                    rows = q.text(2);
                }
                session::BlobReader in(reinterpret_cast<const uint8_t*>(rows.data()), rows.size());
                session::BlobWriter out;
                for (int64_t k = 0; k < count; ++k) {
                    session::PackedEntry e;
                    ASSERT_TRUE(session::decodeEntry(in, e));
                    if (k == std::min<int64_t>(1, count - 1) && change) change(e);
                    session::encodeEntry(out, e);
                }
                if (!change) out.num(0);
                session::Statement u(db, "UPDATE entry_chunks SET rows = ? WHERE first = ?");
                ASSERT_TRUE(u.bindBlob(1, out.data().data(), out.data().size()).bind(2, first).run()) << db.error();
            }
        }
        const std::string bytes = readAll(ses);
        r = list(img);
        EXPECT_EQ(r.rc, 7) << what;
        EXPECT_TRUE(says(r, "is damaged (")) << what << ": " << r.out;
        EXPECT_EQ(readAll(ses), bytes) << what;
    }

    // Another source: same size, other bytes in its first MiB; or another size.
    writeAll(ses, good);
    const std::string copy = tmp.path() + "/copy.img";
    std::string bytes = readAll(img);
    bytes[1000] ^= 0x55;
    writeAll(copy, bytes);
    r = list(copy);
    EXPECT_EQ(r.rc, 7);
    EXPECT_TRUE(says(r, "does not match the source")) << r.out;
    writeAll(copy, bytes.substr(0, bytes.size() - 512));
    r = list(copy);
    EXPECT_EQ(r.rc, 7);
    EXPECT_TRUE(says(r, "was made from a source of")) << r.out;
    // Another job on the same source.
    r = list(img, {"--mode", "deep"});
    EXPECT_EQ(r.rc, 7);
    EXPECT_TRUE(says(r, "holds another listing")) << r.out;
    EXPECT_EQ(readAll(ses), good);
    // The operator's word replaces it.
    r = list(copy, {"--session-overwrite"});
    EXPECT_NE(r.rc, 7) << r.out;
    EXPECT_NE(readAll(ses), good);
}

TEST(SessionFile, AFullDiskStopsTheCheckpointsNotTheJob) {
    BRANTLOW_REQUIRE_IMAGE(img, "ntfs");
    TempDir tmp;
    const std::string ses = tmp.path() + "/s";
    const CliResult fresh = runCli({"list", img, "--quiet"});
    // Files may grow to 80 KiB: the session is made, its listing does not fit.
    const std::string cmd = "trap '' XFSZ; ulimit -f 80; exec '" + std::string(BRANTLOW_CLI_PATH) + "' list '" + img +
                            "' --quiet --session '" + ses + "' 2>" + tmp.path() + "/err >" + tmp.path() + "/out";
    const int st = std::system(("sh -c \"" + cmd + "\"").c_str());
    ASSERT_TRUE(WIFEXITED(st));
    EXPECT_EQ(WEXITSTATUS(st), fresh.rc);
    EXPECT_EQ(readAll(tmp.path() + "/out"), fresh.out);
    EXPECT_NE(readAll(tmp.path() + "/err").find("checkpoints stopped"), std::string::npos) << readAll(tmp.path() + "/err");
    // The next run (with room) finishes the listing, then reopens it.
    EXPECT_EQ(runCli({"list", img, "--quiet", "--session", ses}).out, fresh.out);
    ::setenv("BRANTLOW_READ_STATS", "1", 1);
    const CliResult again = runCli({"list", img, "--quiet", "--session", ses}, true);
    ::unsetenv("BRANTLOW_READ_STATS");
    EXPECT_TRUE(says(again, "read 2097152 bytes")) << again.out.substr(again.out.size() - 200);
}

}  // namespace
