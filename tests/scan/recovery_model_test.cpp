// The recovery decisions without a display: ticks against the selected
// folder, one job at a time, the two ways of typing a search filter, and
// the Advanced-mode choice.
#include <gtest/gtest.h>

#include "scan/recovery_model.h"
#include "tree_parser.h"

using namespace brantlow;
using brantlow::test::TreeParser;

namespace {

// ROOT: docs/{a.txt, sub/{c.txt}}, pics/{p1.jpg, p2.png}, top.bin
struct Sample {
    TreeParser p;
    EntryId docs, a, sub, c, pics, p1, p2, top;
    Sample() {
        docs = p.add(kRootId, "docs", EntryKind::Folder);
        a = p.add(docs, "a.txt", EntryKind::File);
        sub = p.add(docs, "sub", EntryKind::Folder);
        c = p.add(sub, "c.txt", EntryKind::File);
        pics = p.add(kRootId, "pics", EntryKind::Folder);
        p1 = p.add(pics, "p1.jpg", EntryKind::File);
        p2 = p.add(pics, "p2.png", EntryKind::File, EntryState::Deleted);
        top = p.add(kRootId, "top.bin", EntryKind::File);
    }
};

}  // namespace

// Ticks decide what a save writes; the selection counts only when nothing
// is ticked, and then only a folder.
TEST(SavePlanning, TicksBeforeTheSelectedFolder) {
    Sample s;
    // An unopened, fully ticked folder stands for every file below it; an
    // opened one only for its ticked children; a mixed unopened one for
    // nothing. Found rows come first; each file once.
    const std::vector<EntryId> files = filesOfTicks(
        s.p, {s.top}, {{s.docs, false, true}, {s.sub, true, false}, {s.pics, false, false}, {s.top, true, true}});
    EXPECT_EQ(files, (std::vector<EntryId>{s.top, s.c}));
    EXPECT_EQ(filesOfTicks(s.p, {}, {{s.docs, true, false}}), (std::vector<EntryId>{s.a, s.c}));

    SavePlan ticked = planSave(s.p, {s.c}, s.pics);
    EXPECT_EQ(ticked.kind, SavePlan::Kind::Ticked);
    EXPECT_EQ(filesInPlan(s.p, ticked), 1u);
    SavePlan folder = planSave(s.p, {}, s.docs);
    EXPECT_EQ(folder.kind, SavePlan::Kind::Folder);
    EXPECT_EQ(filesInPlan(s.p, folder), 2u);
    EXPECT_EQ(planSave(s.p, {}, kRootId).entry, kRootId);
    EXPECT_EQ(filesInPlan(s.p, planSave(s.p, {}, kRootId)), 5u);
    EXPECT_EQ(planSave(s.p, {}, s.top).kind, SavePlan::Kind::Nothing);
    EXPECT_EQ(planSave(s.p, {}, std::nullopt).kind, SavePlan::Kind::Nothing);
    EXPECT_EQ(planQuickSave(s.p, s.docs).kind, SavePlan::Kind::Nothing);
    EXPECT_EQ(planQuickSave(s.p, s.p1).kind, SavePlan::Kind::Quick);

    // With its path from ROOT the folder keeps its name (the page); without,
    // its children go straight into the output folder (the CLI's --path).
    EXPECT_TRUE(folder.folderPath.empty());
    EXPECT_EQ(planSave(s.p, {}, s.sub, {s.docs, s.sub}).folderPath, (std::vector<EntryId>{s.docs, s.sub}));
    EXPECT_TRUE(planSave(s.p, {}, kRootId, {}).folderPath.empty());

    EXPECT_EQ(entryAtPath(s.p, "ROOT/docs/sub/c.txt"), s.c);
    EXPECT_EQ(entryAtPath(s.p, "ROOT"), kRootId);
    EXPECT_EQ(entryAtPath(s.p, "ROOT/docs/none"), std::nullopt);
}

// A scan, a save or a search: while one runs no other starts, and reads of
// the tree do nothing.
TEST(WorkRules, OneJobAtATime) {
    WorkState w;
    using A = WorkState::Action;
    using R = WorkState::Answer;
    EXPECT_EQ(w.answer(A::Pause), R::Ignore);
    ASSERT_TRUE(w.start(WorkState::Job::Search));
    EXPECT_FALSE(w.start(WorkState::Job::Search));
    EXPECT_FALSE(w.start(WorkState::Job::Save));
    EXPECT_EQ(w.answer(A::Save), R::Wait);
    EXPECT_EQ(w.answer(A::Search), R::Wait);
    EXPECT_EQ(w.answer(A::ReadEntries), R::Ignore);
    EXPECT_EQ(w.answer(A::Pause), R::Go);
    // Only the running job's own end frees the page.
    w.finish(WorkState::Job::Scan);
    EXPECT_TRUE(w.busy());
    w.finish(WorkState::Job::Search);
    EXPECT_EQ(w.answer(A::Save), R::Go);
    EXPECT_TRUE(w.start(WorkState::Job::Save));
}

// The page types sizes in KB and whole days; the command line bytes and
// instants. A field that does not read is named.
TEST(FilterFromFields, PageAndCommandLineUnits) {
    FilterFields page;
    page.sizeUnit = 1024;
    page.minSize = "2";
    page.maxSize = "3";
    page.modifiedBefore = "2024-01-01";
    page.beforeTakesWholeDay = true;
    page.extensions = "jpg; .PNG,,doc";
    page.recoverable = "intact,partial";
    SearchFilter f;
    ASSERT_EQ(buildSearchFilter(page, f), FilterError::None);
    EXPECT_EQ(f.minSize, 2048u);
    EXPECT_EQ(f.maxSize, 4095u);
    EXPECT_EQ(f.modifiedBefore, 1704067200 + 86399);
    EXPECT_EQ(f.extensions, (std::vector<std::string>{"jpg", ".PNG", "doc"}));
    EXPECT_EQ(f.recoverable, (std::vector<Recoverability>{Recoverability::Intact, Recoverability::Partial}));

    FilterFields cli;
    cli.maxSize = "3";
    cli.modifiedBefore = "2024-01-01";
    ASSERT_EQ(buildSearchFilter(cli, f), FilterError::None);
    EXPECT_EQ(f.maxSize, 3u);
    EXPECT_EQ(f.modifiedBefore, 1704067200);
    cli.modifiedAfter = "2024-13-01";
    EXPECT_EQ(buildSearchFilter(cli, f), FilterError::ModifiedAfter);
    cli = {};
    cli.minSize = "-1";
    EXPECT_EQ(buildSearchFilter(cli, f), FilterError::MinSize);
    cli = {};
    cli.recoverable = "";
    EXPECT_EQ(buildSearchFilter(cli, f), FilterError::Recoverable);
}

// A candidate without a cluster size brings its own; a chosen size wins;
// an index outside its list changes nothing.
TEST(AdvancedChoosing, CandidateClusterAndHeap) {
    AdvancedSearch found;
    found.candidates = {{"FAT_ENTRY:0", 4096, "", 3}, {"FAT_ENTRY:1", 8192, "", -1}};
    found.clusterTexts = {"8", "4"};
    found.clusterShifts = {3, 2};
    found.best = 5;
    EXPECT_EQ(firstCandidate(found), 1u);
    ScanOptions o;
    ASSERT_TRUE(applyAdvancedChoice(found, {0, std::nullopt, std::nullopt}, o));
    EXPECT_EQ(o.advancedCandidate, 4096);
    EXPECT_EQ(o.advancedClusterShift, 3);
    ScanOptions chosen;
    ASSERT_TRUE(applyAdvancedChoice(found, {0, 1, std::nullopt}, chosen));
    EXPECT_EQ(chosen.advancedClusterShift, 2);
    ScanOptions untouched;
    EXPECT_FALSE(applyAdvancedChoice(found, {2, 0, std::nullopt}, untouched));
    EXPECT_EQ(untouched.advancedCandidate, ScanOptions{}.advancedCandidate);
    EXPECT_FALSE(advancedChoiceReady(found, {0, std::nullopt, std::nullopt}));
    EXPECT_TRUE(advancedChoiceReady(found, {1, 0, std::nullopt}));
}
