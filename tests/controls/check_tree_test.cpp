#include <gtest/gtest.h>

#include <random>
#include <vector>

#include "controls/check_tree.h"

using namespace brantlow::controls;

namespace {

// ROOT
//  +- A
//  |   +- a1
//  |   +- a2
//  |   +- B
//  |       +- b1
//  |       +- b2
//  +- f
struct Sample {
    CheckTree t;
    Item root, A, a1, a2, B, b1, b2, f;
    Sample() {
        root = t.insertItem(kNoItem, "ROOT");
        A = t.insertItem(root, "A");
        a1 = t.insertItem(A, "a1");
        a2 = t.insertItem(A, "a2");
        B = t.insertItem(A, "B");
        b1 = t.insertItem(B, "b1");
        b2 = t.insertItem(B, "b2");
        f = t.insertItem(root, "f");
    }
};

// Recomputes every count from scratch and compares it with the model.
void expectConsistent(const CheckTree& t) {
    std::vector<Item> stack(t.children(kNoItem).begin(), t.children(kNoItem).end());
    while (!stack.empty()) {
        Item it = stack.back();
        stack.pop_back();
        int d = 0, cd = 0;
        std::vector<Item> sub(t.children(it).begin(), t.children(it).end());
        while (!sub.empty()) {
            Item s = sub.back();
            sub.pop_back();
            ++d;
            // A node counts as ticked by its own state as the tree shows it.
            if (t.stateImage(s) == kChecked) ++cd;
            for (Item c : t.children(s)) sub.push_back(c);
        }
        ASSERT_EQ(t.descendants(it), d) << "item " << it;
        ASSERT_EQ(t.checkedDescendants(it), cd) << "item " << it;
        if (d > 0) {
            int want = cd == 0 ? kUnchecked : cd == d ? kChecked : kTriState;
            ASSERT_EQ(t.stateImage(it), want) << "item " << it;
            ASSERT_EQ(t.getCheck(it), cd == d) << "item " << it;
        }
        for (Item c : t.children(it)) stack.push_back(c);
    }
}

}  // namespace

TEST(CheckTree, TickingAFolderTicksEverythingBelowAndUntickingOneFileMakesThePathMixed) {
    Sample s;
    EXPECT_EQ(s.t.descendants(s.root), 7);
    EXPECT_TRUE(s.t.setCheck(s.A, true));
    for (Item i : {s.A, s.a1, s.a2, s.B, s.b1, s.b2}) EXPECT_TRUE(s.t.getCheck(i)) << i;
    EXPECT_EQ(s.t.stateImage(s.A), kChecked);
    // ROOT: 6 of 7 ticked.
    EXPECT_EQ(s.t.stateImage(s.root), kTriState);
    EXPECT_FALSE(s.t.getCheck(s.root));

    s.t.setCheck(s.b1, false);
    EXPECT_EQ(s.t.stateImage(s.B), kTriState);
    EXPECT_EQ(s.t.stateImage(s.A), kTriState);
    EXPECT_FALSE(s.t.getCheck(s.B));
    EXPECT_FALSE(s.t.getCheck(s.A));
    EXPECT_EQ(s.t.stateImage(s.a1), kChecked);
    expectConsistent(s.t);

    // Ticking the last unticked file completes B and A again.
    s.t.setCheck(s.b1, true);
    EXPECT_EQ(s.t.stateImage(s.B), kChecked);
    EXPECT_EQ(s.t.stateImage(s.A), kChecked);
    s.t.setCheck(s.f, true);
    EXPECT_EQ(s.t.stateImage(s.root), kChecked);
    EXPECT_TRUE(s.t.getCheck(s.root));
    expectConsistent(s.t);

    s.t.setCheck(s.root, false);
    EXPECT_EQ(s.t.getCheckedCount(), 0);
    expectConsistent(s.t);
}

TEST(CheckTree, InsertingUnderATickedFolderMakesItMixed) {
    Sample s;
    s.t.setCheck(s.B, true);
    EXPECT_EQ(s.t.stateImage(s.B), kChecked);
    Item b3 = s.t.insertItem(s.B, "b3");
    EXPECT_EQ(s.t.stateImage(s.B), kTriState);
    EXPECT_FALSE(s.t.getCheck(s.B));
    expectConsistent(s.t);
    // The page then gives the new item its parent's state.
    s.t.setCheck(b3, true);
    EXPECT_EQ(s.t.stateImage(s.B), kChecked);
    // A batch of new items under a ticked folder.
    Item first = s.t.insertItems(s.B, 1000);
    EXPECT_EQ(s.t.stateImage(s.B), kTriState);
    for (int i = 0; i < 1000; ++i) s.t.setCheck(first + i, true);
    EXPECT_EQ(s.t.stateImage(s.B), kChecked);
    EXPECT_EQ(s.t.descendants(s.root), 1008);
    expectConsistent(s.t);
}

TEST(CheckTree, CheckedCountCountsFoldersOnlyWhenComplete) {
    Sample s;
    s.t.setCheck(s.A, true);
    // A, a1, a2, B, b1, b2.
    EXPECT_EQ(s.t.getCheckedCount(), 6);
    s.t.setCheck(s.b2, false);
    // a1, a2, b1 (B and A are mixed).
    EXPECT_EQ(s.t.getCheckedCount(), 3);
}

TEST(CheckTree, DeletingTheOnlyUntickedLeafCompletesTheWholePath) {
    Sample s;
    s.t.setCheck(s.root, true);
    s.t.setCheck(s.b2, false);
    EXPECT_EQ(s.t.stateImage(s.root), kTriState);
    EXPECT_TRUE(s.t.deleteItem(s.b2));
    // B, A and ROOT are complete again; every ancestor heard of it.
    EXPECT_EQ(s.t.stateImage(s.B), kChecked);
    EXPECT_EQ(s.t.stateImage(s.A), kChecked);
    EXPECT_EQ(s.t.stateImage(s.root), kChecked);
    EXPECT_TRUE(s.t.getCheck(s.root));
    EXPECT_EQ(s.t.getCheckedCount(), 7);
    expectConsistent(s.t);
    // Deleting a folder removes its subtree.
    EXPECT_TRUE(s.t.deleteItem(s.A));
    EXPECT_EQ(s.t.descendants(s.root), 1);
    EXPECT_FALSE(s.t.valid(s.b1));
    expectConsistent(s.t);
}

TEST(CheckTree, PlaceholderReplacedUnderATickedAndAnUntickedFolder) {
    CheckTree t;
    Item root = t.insertItem(kNoItem, "ROOT");
    Item d = t.insertItem(root, "dir");
    Item ph = t.insertItem(d, "..DUMY..");
    // Unticked: removing the placeholder keeps the folder clear.
    EXPECT_TRUE(t.deleteItem(ph));
    EXPECT_FALSE(t.getCheck(d));
    EXPECT_EQ(t.stateImage(d), kUnchecked);
    // Ticked: the folder stays ticked after its placeholder goes.
    ph = t.insertItem(d, "..DUMY..");
    t.setCheck(d, true);
    EXPECT_TRUE(t.getCheck(ph));
    t.deleteItem(ph);
    EXPECT_TRUE(t.getCheck(d));
    EXPECT_TRUE(t.getCheck(root));
    expectConsistent(t);
}

TEST(CheckTree, BadIndexesAreRefusedAndIndexesAreNeverReused) {
    Sample s;
    for (Item bad : {-5, -2, 8, 1 << 30}) {
        EXPECT_FALSE(s.t.valid(bad));
        EXPECT_FALSE(s.t.setCheck(bad, true));
        EXPECT_FALSE(s.t.getCheck(bad));
        EXPECT_FALSE(s.t.deleteItem(bad));
        EXPECT_EQ(s.t.insertItem(bad, "x") , kNoItem);
        EXPECT_EQ(s.t.setTextColor(bad, kColorRed), 0u);
        EXPECT_EQ(s.t.stateImage(bad), kImageNone);
        EXPECT_FALSE(s.t.expand(bad, ExpandAction::Expand));
        EXPECT_TRUE(s.t.children(bad).empty());
    }
    s.t.deleteItem(s.b1);
    EXPECT_FALSE(s.t.setCheck(s.b1, true));
    Item n = s.t.insertItem(s.B, "new");
    EXPECT_NE(n, s.b1);
}

TEST(CheckTree, DisabledItemsAndOptions) {
    Sample s;
    s.t.setEnabled(s.a1, false);
    EXPECT_FALSE(s.t.setCheck(s.a1, true));
    EXPECT_EQ(s.t.stateImage(s.a1), kUnchecked + kDisabledOffset);
    s.t.options().checkBoxes = false;
    EXPECT_FALSE(s.t.setCheck(s.a2, true));
    s.t.options().checkBoxes = true;
    // Without smart check a folder is just its own flag.
    s.t.options().smartCheck = false;
    s.t.setCheck(s.B, true);
    EXPECT_TRUE(s.t.getCheck(s.B));
    EXPECT_FALSE(s.t.getCheck(s.b1));
}

TEST(CheckTree, ExpandFlagsAndNotifications) {
    Sample s;
    std::vector<std::pair<Item, bool>> seen;
    s.t.onExpanded = [&](Item i, bool v) { seen.push_back({i, v}); };
    EXPECT_FALSE(s.t.expandedOnce(s.A));
    EXPECT_TRUE(s.t.expand(s.A, ExpandAction::Expand));
    EXPECT_FALSE(s.t.expand(s.A, ExpandAction::Expand));
    EXPECT_TRUE(s.t.expand(s.A, ExpandAction::Toggle));
    EXPECT_FALSE(s.t.expanded(s.A));
    EXPECT_TRUE(s.t.expandedOnce(s.A));
    EXPECT_FALSE(s.t.expand(s.A, ExpandAction::CollapseReset));
    ASSERT_EQ(seen.size(), 2u);
    EXPECT_EQ(seen[0], std::make_pair(s.A, true));
    EXPECT_EQ(seen[1], std::make_pair(s.A, false));
}

TEST(CheckTree, TextColourReturnsThePreviousValue) {
    Sample s;
    EXPECT_EQ(s.t.textColor(s.a1), kColorNone);
    EXPECT_EQ(s.t.setTextColor(s.a1, kColorRed), kColorNone);
    EXPECT_EQ(s.t.setTextColor(s.a1, 0x00FF00), kColorRed);
}

TEST(CheckTree, CheckNotificationAfterEverySetCheck) {
    Sample s;
    int calls = 0;
    bool last = false;
    s.t.onCheckClicked = [&](Item, bool v) { ++calls; last = v; };
    s.t.setCheck(s.A, true);
    s.t.setCheck(s.A, true);
    s.t.setCheck(s.b1, false);
    EXPECT_EQ(calls, 3);
    EXPECT_FALSE(last);
}

// Random inserts, ticks and deletes against a recomputation from scratch.
TEST(CheckTree, RandomOperationsKeepEveryCountRight) {
    std::mt19937 rng(12345);
    for (int round = 0; round < 20; ++round) {
        CheckTree t;
        std::vector<Item> items{t.insertItem(kNoItem, "ROOT")};
        for (int step = 0; step < 400; ++step) {
            int op = rng() % 10;
            Item pick = items[rng() % items.size()];
            if (!t.valid(pick)) continue;
            if (op < 4) {
                if (rng() % 4 == 0) {
                    Item first = t.insertItems(pick, 1 + rng() % 5);
                    for (Item i = first; t.valid(i) && t.parent(i) == pick; ++i) items.push_back(i);
                } else {
                    items.push_back(t.insertItem(pick, "n"));
                }
            } else if (op < 8) {
                t.setCheck(pick, !t.getCheck(pick));
            } else if (t.parent(pick) != kNoItem) {
                t.deleteItem(pick);
            }
            expectConsistent(t);
            if (HasFatalFailure()) {
                ADD_FAILURE() << "round " << round << " step " << step;
                return;
            }
        }
    }
}
