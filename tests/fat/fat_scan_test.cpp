// What the scan page sees: the parser chosen by file-system name, the status
// texts in order, the rejection box, and the list texts of an entry.
#include <gtest/gtest.h>

#include <algorithm>

#include "disk/reader.h"
#include "fs/fat/fat_parser.h"
#include "scan/scan_job.h"
#include "scan/tree_walk.h"
#include "tests/support/fixtures.h"

using namespace brantlow;
using namespace brantlow::test;

namespace {

struct Recorder : ProgressSink, MessageSink {
    std::vector<std::string> statuses, boxes;
    int64_t hi = -1, pos = -1;
    void status(const std::string& s) override {
        if (s.rfind("filling entry =", 0) != 0) statuses.push_back(s);
    }
    void range(int64_t h) override { hi = h; }
    void position(int64_t p) override { pos = p; }
    void info(const std::string& t) override { boxes.push_back(t); }
};

ScanContext contextFor(const std::string& img, Recorder& rec) {
    auto r = std::make_shared<FileReadSeek>();
    EXPECT_TRUE(r->Open(img));
    ScanContext ctx;
    ctx.volume = VolumeView(r, 0, r->sizeBytes());
    ctx.progress = &rec;
    ctx.messages = &rec;
    return ctx;
}

TEST(FatScan, ParserChoiceStatusTextsAndRejection) {
    BRANTLOW_REQUIRE_IMAGE(f16, "fat16");
    BRANTLOW_REQUIRE_IMAGE(f32, "fat32");
    for (const char* name : {"FAT16", "fat", "Fat32"}) {
        ParserChoice c = selectParser(name, ScanMode::Standard);
        ASSERT_TRUE(c.parser) << name;
    }
    // FAT12 is read in Standard mode only; a name no parser reads gets none.
    EXPECT_TRUE(selectParser("FAT12", ScanMode::Standard).parser);
    EXPECT_FALSE(selectParser("FAT12", ScanMode::Advanced).parser);
    EXPECT_FALSE(selectParser("CUSTOM ", ScanMode::Standard).parser);
    EXPECT_FALSE(selectParser("FAT32", ScanMode::Deep).parser);

    const std::string kind[2] = {"Fat16", "Fat32"};
    const std::string img[2] = {f16, f32};
    for (int k = 0; k < 2; ++k) {
        Recorder rec;
        ScanContext ctx = contextFor(img[k], rec);
        auto p = selectParser(k ? "FAT32" : "FAT16", ScanMode::Standard).parser;
        EXPECT_EQ(runScan(*p, ctx), ScanOutcome::Done);
        std::vector<std::string> want = {"Finding " + kind[k] + " File And Directory entries recursively....",
                                         "maintaining tree Structure in vector...", "Creating Tree Structure....",
                                         "Tree Structure Created.", kScanDoneText};
        EXPECT_EQ(rec.statuses, want);
        if (k == 0) {
            EXPECT_EQ(rec.hi, 100);
            EXPECT_EQ(rec.pos, 100);
        }
        // The other parser refuses the volume: one box, no ending.
        Recorder rec2;
        ScanContext ctx2 = contextFor(img[k], rec2);
        auto q = selectParser(k ? "FAT16" : "FAT32", ScanMode::Standard).parser;
        EXPECT_EQ(runScan(*q, ctx2), ScanOutcome::Rejected);
        ASSERT_EQ(rec2.boxes.size(), 1u);
        EXPECT_EQ(rec2.boxes[0], std::string("Selected Drive is not in ") + (k ? "Fat16" : "Fat32") + " Format");
    }
}

TEST(FatScan, ListTextsShowTheStoredFields) {
    BRANTLOW_REQUIRE_IMAGE(f16, "fat16");
    Recorder rec;
    ScanContext ctx = contextFor(f16, rec);
    Fat16Class p;
    ASSERT_EQ(p.scan(ctx), ScanOutcome::Done);
    EntryId readme = kRootId;
    walkTree(p, kRootId, [&](const std::string& path, EntryId id, const EntryInfo&) {
        if (path == "Documents/readme.txt") readme = id;
        return true;
    });
    ASSERT_NE(readme, kRootId);
    // Stored 2016-05-01 13:36:06 (written), created 2016-03-25 19:17:42,
    // accessed 2016-07-08: shown as stored, whatever the zone.
    ListTexts t = p.listTexts(readme);
    EXPECT_EQ(t.modified, "05/01/2016  01:36 PM");
    EXPECT_EQ(t.created, "03/25/2016  07:17 PM");
    EXPECT_EQ(t.accessed, "07/08/2016 ");
    EXPECT_EQ(t.size, "412 Bytes");
    EXPECT_EQ(t.attributes, "-A");
    // FatEntry 0 is the root placeholder, carrying the first root slot
    // (the volume label); neither is an item.
    ASSERT_FALSE(p.entries().empty());
    EXPECT_EQ(p.entries()[0].name, "DUMMY ENTRY");
    EXPECT_EQ(p.entries()[0].attribute, 0x08);
    for (EntryId c : p.children(kRootId)) EXPECT_NE(c, 0u);
}

}  // namespace
