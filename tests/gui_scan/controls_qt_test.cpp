// The Qt views of the check-box controls: mouse and keyboard on the tree,
// the lazy placeholder fill, and the list's header box.
#include <gtest/gtest.h>

#include <QApplication>
#include <QKeyEvent>
#include <QStyleOptionViewItem>
#include <QTest>
#include <chrono>

#include "controls/CCheckListCtrl.h"
#include "controls/CXHtmlTree.h"

using namespace brantlow::controls;

namespace {

// A tree whose folders fill themselves from a fixed plan when asked.
struct LazyTree {
    CXHtmlTree tree;
    Item root;
    int fetches = 0;
    LazyTree() {
        tree.Initialize();
        root = tree.InsertItem("ROOT", 0);
        NewItem a{"A", 0, true, 1, kColorNone, true};
        NewItem b{"B", 0, true, 2, kColorNone, true};
        tree.InsertItems(root, {a, b});
        QObject::connect(tree.treeModel(), &CheckTreeModel::fetchRequested, &tree, [this](int item) {
            ++fetches;
            uint64_t d = tree.GetItemData(item);
            std::vector<NewItem> kids;
            if (d < 100) {
                for (int i = 0; i < 3; ++i)
                    kids.push_back({QString("n%1").arg(d * 10 + i), 1, true, d * 10 + i, kColorNone, d < 10});
            }
            tree.ReplacePlaceholder(tree.GetChildItem(item), kids);
        });
        tree.resize(300, 400);
        tree.show();
        tree.Expand(root, ExpandAction::Expand);
    }
    void key(int k, Qt::KeyboardModifiers m = Qt::NoModifier) { QTest::keyClick(&tree, static_cast<Qt::Key>(k), m); }
};

}  // namespace

TEST(TreeView, KeyboardChecksExpandsAndCollapsesThroughTheModel) {
    LazyTree t;
    Item a = t.tree.GetChildItem(t.root);
    t.tree.SelectItem(a);
    t.key(Qt::Key_Space);
    EXPECT_TRUE(t.tree.GetCheck(a));
    EXPECT_EQ(t.tree.treeModel()->data(t.tree.treeModel()->indexOf(t.root), Qt::CheckStateRole).toInt(),
              Qt::PartiallyChecked);
    // Right expands: the placeholder item becomes the first child.
    Item ph = t.tree.GetChildItem(a);
    t.key(Qt::Key_Right);
    QCoreApplication::processEvents();
    EXPECT_TRUE(t.tree.checkTree().expanded(a));
    ASSERT_EQ(t.tree.checkTree().children(a).size(), 3u);
    Item n10 = t.tree.GetChildItem(a);
    EXPECT_EQ(t.tree.GetItemText(n10), "n10");
    EXPECT_EQ(n10, ph);
    // New items come unticked (the scan page then gives them A's state), and
    // the placeholder under n10 unticks n10 too: nothing below A is ticked.
    EXPECT_EQ(t.tree.treeModel()->data(t.tree.treeModel()->indexOf(a), Qt::CheckStateRole).toInt(),
              Qt::Unchecked);
    t.key(Qt::Key_Left);
    EXPECT_FALSE(t.tree.checkTree().expanded(a));
    t.key(Qt::Key_Plus);
    EXPECT_TRUE(t.tree.checkTree().expanded(a));
    t.key(Qt::Key_Minus);
    EXPECT_FALSE(t.tree.checkTree().expanded(a));
    EXPECT_EQ(t.fetches, 1);
}

TEST(TreeView, KeypadStarExpandsTheWholeSubtree) {
    LazyTree t;
    Item b = t.tree.GetNextSiblingItem(t.tree.GetChildItem(t.root));
    t.tree.SelectItem(b);
    t.key(Qt::Key_Asterisk, Qt::KeypadModifier);
    QCoreApplication::processEvents();
    // B -> n20..n22 -> each three leaves.
    EXPECT_EQ(t.tree.checkTree().descendants(b), 3 + 9);
    for (Item c : t.tree.checkTree().children(b)) EXPECT_TRUE(t.tree.checkTree().expanded(c));
}

TEST(TreeView, MouseOnTheCheckBoxTogglesAndOnTheLabelReportsAClick) {
    LazyTree t;
    Item a = t.tree.GetChildItem(t.root);
    int labels = 0;
    QObject::connect(&t.tree, &CXHtmlTree::labelClicked, [&](int item) { labels += item == a; });
    QModelIndex i = t.tree.treeModel()->indexOf(a);
    QRect r = t.tree.visualRect(i);
    QTest::mouseClick(t.tree.viewport(), Qt::LeftButton, {}, QPoint(r.right() - 3, r.center().y()));
    EXPECT_EQ(labels, 1);
    EXPECT_FALSE(t.tree.GetCheck(a));
    // Find the check box by trying the left part of the row.
    bool toggled = false;
    int before = 0;
    for (int x = r.left(); x < r.left() + 40 && !toggled; x += 2) {
        before = labels;
        QTest::mouseClick(t.tree.viewport(), Qt::LeftButton, {}, QPoint(x, r.center().y()));
        toggled = t.tree.GetCheck(a);
    }
    EXPECT_TRUE(toggled);
    EXPECT_EQ(labels, before) << "a click on the box is not a label click";
}

TEST(ListView, HeaderBoxTicksAllRowsAndFollowsThem) {
    CCheckListCtrl list;
    list.InitHeader();
    list.InitHeader();
    CheckListModel* m = list.listModel();
    std::vector<NewRow> rows(5);
    for (int i = 0; i < 5; ++i) rows[i].name = QString("r%1").arg(i);
    m->addRows(rows);
    list.resize(600, 300);
    list.show();
    EXPECT_EQ(m->headerData(0, Qt::Horizontal).toString(), "File(s) List");
    EXPECT_EQ(m->headerData(5, Qt::Horizontal).toString(), "Attribute");
    EXPECT_EQ(m->headerData(6, Qt::Horizontal).toString(), "Recoverability");
    // A click on the first header section ticks every row.
    QTest::mouseClick(list.checkHeader()->viewport(), Qt::LeftButton, {},
                      QPoint(list.checkHeader()->sectionPosition(0) + 30, 5));
    EXPECT_EQ(m->state().tickedCount(), 5u);
    EXPECT_EQ(m->state().headerImage(), CheckListState::kHeaderTicked);
    // Another column's header changes nothing.
    QTest::mouseClick(list.checkHeader()->viewport(), Qt::LeftButton, {},
                      QPoint(list.checkHeader()->sectionPosition(2) + 10, 5));
    EXPECT_EQ(m->state().tickedCount(), 5u);
    // Clearing one row clears the header box.
    int toggles = 0;
    QObject::connect(m, &CheckListModel::rowToggled, [&] { ++toggles; });
    m->setData(m->index(3, 0), Qt::Unchecked, Qt::CheckStateRole);
    EXPECT_EQ(m->state().headerImage(), CheckListState::kHeaderClear);
    EXPECT_EQ(toggles, 1);
    list.grab();  // paints the header box
}

TEST(ListView, HundredThousandRowsToggleByTheHeaderQuickly) {
    CCheckListCtrl list;
    list.InitHeader();
    std::vector<NewRow> rows(100000);
    list.listModel()->addRows(rows);
    list.show();
    auto t0 = std::chrono::steady_clock::now();
    list.listModel()->headerClick(0);
    QCoreApplication::processEvents();
    list.listModel()->headerClick(0);
    QCoreApplication::processEvents();
    auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - t0).count();
    EXPECT_LT(ms, 2000);
    EXPECT_EQ(list.listModel()->state().tickedCount(), 0u);
}
