// Recycle-bin names and the name search over small trees, and the recycle
// bin of a FAT32 volume made with mtools at test time.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>

#include "scan/recycle.h"
#include "scan/search.h"
#include "tests/scan/tree_parser.h"
#include "tests/support/fixtures.h"

using namespace brantlow;
using brantlow::test::TreeParser;

namespace {

void put(std::string& b, size_t off, uint64_t v, int bytes) {
    for (int i = 0; i < bytes; ++i) b[off + i] = static_cast<char>((v >> (8 * i)) & 0xFF);
}

// A "$I" record: version 1 (path in 520 bytes at 24) or 2 (length at 24, path at 28).
std::string recycleRecord(int version, const std::u16string& path, uint64_t deletedFiletime = 133491024000000000ull) {
    std::string b(version == 1 ? 544 : 28 + 2 * (path.size() + 1), '\0');
    put(b, 0, static_cast<uint64_t>(version), 8);
    put(b, 8, 1234, 8);
    put(b, 16, deletedFiletime, 8);
    size_t at = version == 1 ? 24 : 28;
    if (version == 2) put(b, 24, path.size() + 1, 4);
    for (size_t i = 0; i < path.size() && at + 2 * i + 1 < b.size(); ++i) put(b, at + 2 * i, path[i], 2);
    return b;
}

std::vector<std::string> names(const VolumeParser& p, EntryId folder) {
    std::vector<std::string> out;
    for (EntryId c : p.children(folder)) {
        EntryInfo i;
        if (p.entryInfo(c, i)) out.push_back(i.name);
    }
    return out;
}

}  // namespace

TEST(RecycleRecords, VersionsAndHostileLengths) {
    auto r1 = parseRecycleRecord(reinterpret_cast<const uint8_t*>(recycleRecord(1, u"C:\\Users\\x\\report.txt").data()),
                                 544);
    ASSERT_TRUE(r1);
    EXPECT_EQ(r1->name, "report.txt");
    EXPECT_EQ(r1->originalPath, "C:\\Users\\x\\report.txt");
    ASSERT_TRUE(r1->deletedAt);
    const std::string v2 = recycleRecord(2, u"D:\\caf\u00e9\\notes");
    auto r2 = parseRecycleRecord(reinterpret_cast<const uint8_t*>(v2.data()), v2.size());
    ASSERT_TRUE(r2);
    EXPECT_EQ(r2->name, "notes");
    // A path without "\" is the name; one ending in "\" gives none.
    std::string bare = recycleRecord(2, u"plain.txt");
    EXPECT_EQ(parseRecycleRecord(reinterpret_cast<const uint8_t*>(bare.data()), bare.size())->name, "plain.txt");
    std::string slash = recycleRecord(2, u"C:\\dir\\");
    EXPECT_FALSE(parseRecycleRecord(reinterpret_cast<const uint8_t*>(slash.data()), slash.size()));
    // Version 2 with a 1 GiB length, or a name without terminator: bounded by the record.
    std::string huge = recycleRecord(2, u"C:\\a\\long.bin");
    put(huge, 24, 1u << 30, 4);
    EXPECT_EQ(parseRecycleRecord(reinterpret_cast<const uint8_t*>(huge.data()), huge.size())->name, "long.bin");
    std::string unterminated = recycleRecord(1, std::u16string(300, u'x'));
    auto r3 = parseRecycleRecord(reinterpret_cast<const uint8_t*>(unterminated.data()), unterminated.size());
    ASSERT_TRUE(r3);
    EXPECT_EQ(r3->name.size(), 260u);
    // Another version, a record of 0 bytes, a 3000-byte one.
    std::string v3 = recycleRecord(2, u"C:\\x.txt");
    put(v3, 0, 3, 8);
    EXPECT_FALSE(parseRecycleRecord(reinterpret_cast<const uint8_t*>(v3.data()), v3.size()));
    EXPECT_FALSE(parseRecycleRecord(nullptr, 0));
    std::string big(3000, '\0');
    put(big, 0, 1, 8);
    EXPECT_FALSE(parseRecycleRecord(reinterpret_cast<const uint8_t*>(big.data()), big.size()));
}

TEST(RecycleNames, TopLevelBinsInAnyCaseOnlyTheirOwnPartners) {
    TreeParser p;
    EntryId bin = p.add(kRootId, "$Recycle.Bin", EntryKind::Folder);
    EntryId user = p.add(bin, "S-1-5-21-1", EntryKind::Folder);
    p.add(user, "$IAB$I.txt", EntryKind::File, EntryState::Live, recycleRecord(2, u"C:\\Users\\x\\report.txt"));
    EntryId data = p.add(user, "$RAB$I.txt", EntryKind::File, EntryState::Live, "report");
    p.add(user, "$RNOPAIR.txt", EntryKind::File, EntryState::Live, "alone");
    p.add(user, "$IGARBAGE", EntryKind::File, EntryState::Live, std::string(40, '\x07'));
    p.add(user, "$RGARBAGE", EntryKind::File, EntryState::Live, "kept");
    p.add(user, "$IBIG.txt", EntryKind::File, EntryState::Live, std::string(3000, 'x'));
    p.add(user, "$RBIG.txt", EntryKind::File, EntryState::Live, "big");
    // Not at the top: untouched.
    EntryId deep = p.add(kRootId, "docs", EntryKind::Folder);
    EntryId inner = p.add(p.add(deep, "$RECYCLE.BIN", EntryKind::Folder), "u", EntryKind::Folder);
    p.add(inner, "$IZZ.txt", EntryKind::File, EntryState::Live, recycleRecord(1, u"C:\\zz.txt"));
    p.add(inner, "$RZZ.txt", EntryKind::File, EntryState::Live, "zz");

    EXPECT_EQ(restoreRecycleNames(p), 1u);
    EXPECT_EQ(names(p, user), (std::vector<std::string>{"$IAB$I.txt", "report.txt", "$RNOPAIR.txt", "$IGARBAGE",
                                                        "$RGARBAGE", "$IBIG.txt", "$RBIG.txt"}));
    EntryInfo info;
    ASSERT_TRUE(p.entryInfo(data, info));
    EXPECT_EQ(info.originalPath, "C:\\Users\\x\\report.txt");
    EXPECT_TRUE(info.deletedAt.has_value());
    EXPECT_EQ(names(p, inner), (std::vector<std::string>{"$IZZ.txt", "$RZZ.txt"}));
}

TEST(RecycleNames, Fat32VolumeFromMtools) {
    if (std::system("command -v mcopy >/dev/null 2>&1 && command -v mkfs.fat >/dev/null 2>&1") != 0)
        GTEST_SKIP() << "mtools / mkfs.fat not installed";
    test::TempDir tmp;
    const std::string img = tmp.path() + "/fat32.img", rec = tmp.path() + "/info", data = tmp.path() + "/data";
    {
        std::string r = recycleRecord(2, u"C:\\Users\\Bob\\Pictures\\holiday.jpg");
        FILE* f = std::fopen(rec.c_str(), "wb");
        std::fwrite(r.data(), 1, r.size(), f);
        std::fclose(f);
        f = std::fopen(data.c_str(), "wb");
        std::fputs("JPEG bytes", f);
        std::fclose(f);
    }
    const std::string cmd = "truncate -s 40M " + img + " && mkfs.fat -F 32 -s 1 " + img + " >/dev/null && "
                            "mmd -i " + img + " '::$RECYCLE.BIN' '::$RECYCLE.BIN/S-1-5-21-7' && "
                            "mcopy -i " + img + " " + rec + " '::$RECYCLE.BIN/S-1-5-21-7/$I5QX2.jpg' && "
                            "mcopy -i " + img + " " + data + " '::$RECYCLE.BIN/S-1-5-21-7/$R5QX2.jpg'";
    ASSERT_EQ(std::system(cmd.c_str()), 0) << cmd;
    test::CliResult r = test::runCli({"list", img, "--json"});
    ASSERT_EQ(r.rc, 0);
    bool found = false;
    for (const auto& row : test::jsonLines(r.out))
        if (row["path"] == "$RECYCLE.BIN/S-1-5-21-7/holiday.jpg") {
            found = true;
            EXPECT_EQ(row["originalPath"], "C:\\Users\\Bob\\Pictures\\holiday.jpg");
        }
    EXPECT_TRUE(found) << r.out;
    test::TempDir out;
    ASSERT_EQ(test::runCli({"recover", img, "--out", out.path()}).rc, 0);
    EXPECT_TRUE(test::sha256File(out.path() + "/$RECYCLE.BIN/S-1-5-21-7/holiday.jpg"));
}

TEST(NameSearch, PathsFiltersCyclesAndBadPatterns) {
    TreeParser p;
    EntryId docs = p.add(kRootId, "docs", EntryKind::Folder);
    p.add(docs, "a.txt.bak", EntryKind::File, EntryState::Live, "aaaa");
    p.add(docs, "report.TXT", EntryKind::File, EntryState::Deleted, std::string(5000, 'r'));
    EntryId dot = p.add(docs, ".", EntryKind::Folder);
    p.add(dot, "hidden.txt", EntryKind::File);
    EntryId loop = p.add(docs, "loop", EntryKind::Folder);
    p.nodes[loop].kids.push_back(docs);  // a folder that lists its parent
    p.add(loop, "deep.jpg", EntryKind::File);
    p.add(kRootId, "notes.txt", EntryKind::File);
    p.add(kRootId, "empty.txt", EntryKind::Folder);  // a top folder without children is examined as a file

    auto run = [&](SearchFilter f) {
        std::vector<std::string> out;
        EXPECT_EQ(searchNames(p, f, [&](const SearchHit& h) { out.push_back(h.path); }), SearchEnd::Finished);
        return out;
    };
    SearchFilter f;
    f.pattern = "txt";
    EXPECT_EQ(run(f), (std::vector<std::string>{"ROOT\\docs\\a.txt.bak", "ROOT\\notes.txt", "ROOT\\empty.txt"}));
    f.pattern = "TXT|jpg";
    EXPECT_EQ(run(f), (std::vector<std::string>{"ROOT\\docs\\report.TXT", "ROOT\\docs\\loop\\deep.jpg"}));
    f.pattern = "^a\\.";
    EXPECT_EQ(run(f), (std::vector<std::string>{"ROOT\\docs\\a.txt.bak"}));
    EXPECT_TRUE(run(SearchFilter{}).empty());

    SearchFilter filters;
    filters.deletedOnly = true;
    filters.minSize = 1000;
    filters.extensions = {"txt"};
    EXPECT_EQ(run(filters), (std::vector<std::string>{"ROOT\\docs\\report.TXT"}));
    filters.maxSize = 100;
    EXPECT_TRUE(run(filters).empty());

    SearchFilter bad;
    bad.pattern = "txt(";
    EXPECT_EQ(searchNames(p, bad, [](const SearchHit&) {}), SearchEnd::BadPattern);
    EXPECT_FALSE(searchPatternValid("txt("));
    EXPECT_FALSE(searchPatternValid("+txt"));

    // Wildcards: "*" and "?" fit the whole name, in any letter case; each
    // hit knows the folders on its path.
    f.pattern = "*.txt";
    EXPECT_EQ(run(f), (std::vector<std::string>{"ROOT\\docs\\report.TXT", "ROOT\\notes.txt", "ROOT\\empty.txt"}));
    f.pattern = "?otes.*|*.JPG";
    EXPECT_EQ(run(f), (std::vector<std::string>{"ROOT\\docs\\loop\\deep.jpg", "ROOT\\notes.txt"}));
    f.pattern = "a*t*b*k";
    EXPECT_EQ(run(f), (std::vector<std::string>{"ROOT\\docs\\a.txt.bak"}));
    EXPECT_TRUE(isWildcardPattern("*.txt"));
    EXPECT_FALSE(isWildcardPattern("^a.*\\.txt$"));
    EXPECT_FALSE(isWildcardPattern("jpg|doc"));
    std::vector<std::vector<EntryId>> chains;
    f.pattern = "deep.jpg";
    searchNames(p, f, [&](const SearchHit& h) { chains.push_back(h.folders); });
    EXPECT_EQ(chains, (std::vector<std::vector<EntryId>>{{docs, loop}}));
}
