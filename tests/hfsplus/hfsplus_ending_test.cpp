// The HFS+ row of the parser table and its own scan ending: a status line
// "Work Done." (or "Work Aborted....") instead of the common box.
#include <gtest/gtest.h>

#include "scan/scan_job.h"
#include "tests/hfsplus/hfs_support.h"

using namespace brantlow;
using namespace brantlow::test;

namespace {

struct Record : ProgressSink, MessageSink {
    std::vector<std::string> statuses, boxes;
    void status(const std::string& t) override { statuses.push_back(t); }
    void info(const std::string& t) override { boxes.push_back(t); }
};

ScanOutcome run(std::vector<uint8_t> bytes, ScanMode mode, Record& rec, std::string& statusText) {
    ParserChoice c = selectParser("HFS+", mode);
    EXPECT_TRUE(c.parser);
    statusText = c.statusText;
    auto reader = std::make_shared<MemoryReader>(std::move(bytes));
    ScanContext ctx;
    ctx.volume = VolumeView(reader, 0, reader->data.size());
    ctx.mode = mode;
    ctx.progress = &rec;
    ctx.messages = &rec;
    return runScan(*c.parser, ctx);
}

}  // namespace

TEST(HfsEnding, WorkDoneWithoutBox) {
    std::vector<HfsItem> items{{.path = "a.txt", .data = pattern(10, 1)}};
    for (ScanMode mode : {ScanMode::Standard, ScanMode::Advanced, ScanMode::Deep}) {
        Record rec;
        std::string chosen;
        EXPECT_EQ(run(makeHfsVolume(items).bytes, mode, rec, chosen), ScanOutcome::Done);
        EXPECT_EQ(chosen, "HFS+ partition selected....");
        ASSERT_FALSE(rec.statuses.empty());
        EXPECT_EQ(rec.statuses.back(), "Work Done.");
        EXPECT_TRUE(rec.boxes.empty());
    }
}

TEST(HfsEnding, AbortedSaysWhy) {
    std::vector<uint8_t> zeros(1 << 20, 0);
    Record rec;
    std::string chosen;
    EXPECT_EQ(run(zeros, ScanMode::Standard, rec, chosen), ScanOutcome::Rejected);
    EXPECT_EQ(rec.statuses.back(), "Work Aborted....");
    ASSERT_EQ(rec.boxes.size(), 1u);
    EXPECT_EQ(rec.boxes[0], "BlockSize not valid .Aborting..");
}
