#include <gtest/gtest.h>

#include <chrono>

#include "controls/check_list.h"

using brantlow::controls::CheckListState;

TEST(CheckList, HeaderTicksAndClearsEveryRowAndFollowsTheRows) {
    CheckListState s;
    EXPECT_TRUE(s.initHeader());
    EXPECT_FALSE(s.initHeader());  // the second call changes nothing
    EXPECT_EQ(s.headerImage(), CheckListState::kHeaderClear);
    s.addRows(4);
    EXPECT_TRUE(s.headerClick(0));
    EXPECT_EQ(s.headerImage(), CheckListState::kHeaderTicked);
    for (size_t r = 0; r < 4; ++r) EXPECT_TRUE(s.checked(r));
    EXPECT_TRUE(s.headerClick(0));
    EXPECT_EQ(s.tickedCount(), 0u);
    EXPECT_EQ(s.headerImage(), CheckListState::kHeaderClear);

    // Clearing one row of a fully ticked list clears the header box.
    s.headerClick(0);
    s.setChecked(2, false);
    EXPECT_EQ(s.headerImage(), CheckListState::kHeaderClear);
    s.setChecked(2, true);
    EXPECT_EQ(s.headerImage(), CheckListState::kHeaderTicked);
    // Ticking every row one by one ticks the header too.
    s.headerClick(0);
    for (size_t r = 0; r < 4; ++r) s.setChecked(r, true);
    EXPECT_EQ(s.headerImage(), CheckListState::kHeaderTicked);
}

TEST(CheckList, OtherColumnsAndBadRowsChangeNothing) {
    CheckListState s;
    s.initHeader();
    s.addRows(3);
    for (int col = 1; col < 6; ++col) EXPECT_FALSE(s.headerClick(col));
    EXPECT_EQ(s.tickedCount(), 0u);
    EXPECT_FALSE(s.setChecked(3, true));
    EXPECT_FALSE(s.checked(99));
    // Before the header is set up a click does nothing.
    CheckListState raw;
    raw.addRows(2);
    EXPECT_FALSE(raw.headerClick(0));
}

TEST(CheckList, EmptyListShowsTheHeaderTicked) {
    CheckListState s;
    s.initHeader();
    s.addRows(2);
    s.clear();
    EXPECT_EQ(s.headerImage(), CheckListState::kHeaderTicked);
    // New clear rows clear it.
    s.addRows(1);
    EXPECT_EQ(s.headerImage(), CheckListState::kHeaderClear);
}

TEST(CheckList, HundredThousandRowsToggleQuickly) {
    CheckListState s;
    s.initHeader();
    s.addRows(100000);
    auto t0 = std::chrono::steady_clock::now();
    s.headerClick(0);
    for (size_t r = 0; r < 100000; ++r) s.setChecked(r, r % 2 == 0);
    s.headerClick(0);
    auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - t0).count();
    EXPECT_LT(ms, 1000);
    EXPECT_EQ(s.tickedCount(), 100000u);
}

TEST(CheckList, AnEmptyListDrawsTheHeaderBoxClear) {
    CheckListState s;
    s.initHeader();
    EXPECT_FALSE(s.headerShownTicked());
    s.addRows(2);
    s.headerClick(0);
    EXPECT_TRUE(s.headerShownTicked());
    s.clear();
    EXPECT_FALSE(s.headerShownTicked());
}
