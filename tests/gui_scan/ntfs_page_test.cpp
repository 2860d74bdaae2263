// The scan page on a real NTFS image: runs once the NTFS parser is part of
// the build, and skips until then.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <QApplication>
#include <QGroupBox>
#include <QHeaderView>
#include <QRegularExpression>
#include <QScreen>
#include <QTest>

#include "base/texts.h"
#include "gui_support.h"
#include "scan/scan_job.h"
#include "tests/support/fixtures.h"

using namespace brantlow;
using namespace brantlow::test;
using brantlow::controls::Item;
using brantlow::gui::VolumeScanDlg;
using brantlow::gui::WizardPage;

TEST(ScanPageNtfs, ScanBrowseTickAndSaveMatchTheManifest) {
    if (!selectParser("NTFS", ScanMode::Standard).parser) GTEST_SKIP() << "the NTFS parser is not in this build";
    BRANTLOW_REQUIRE_IMAGE(image, "ntfs");
    auto manifest = fixtureManifest("ntfs");
    ASSERT_TRUE(manifest);
    const auto& entries = (*manifest)["volumes"][0]["entries"];

    auto reader = std::make_shared<FileReadSeek>();
    ASSERT_TRUE(reader->Open(image));
    ScriptedSink sink;
    auto* opener = new WizardPage("Brantlow");
    VolumeScanDlg::Options o;
    o.reader = reader;
    VolumeEntry v;
    v.fileSystem = "NTFS";
    v.volumeNumber = "1";
    v.sizeSectors = reader->sizeBytes() / 512;
    auto* page = new VolumeScanDlg(opener, v, ScanMode::Standard, o);
    page->resize(960, 620);
    page->show();
    auto* tree = page->tree();
    auto* list = page->list()->listModel();

    ASSERT_TRUE(waitFor([&] { return page->statusText() == kScanDoneText && !page->running(); }, 120000));
    EXPECT_TRUE(sink.saw(kScanDoneText));
    Item root = page->rootItem();
    Item documents = childNamed(tree, root, "Documents");
    ASSERT_NE(documents, controls::kNoItem);

    // Expand: the children replace the placeholder, once.
    EXPECT_EQ(childTexts(tree, documents), QStringList({"..DUMY.."}));
    tree->expand(tree->treeModel()->indexOf(documents));
    QCoreApplication::processEvents();
    QStringList kids = childTexts(tree, documents);
    EXPECT_TRUE(kids.contains("readme.txt"));
    EXPECT_TRUE(kids.contains("Projects"));
    EXPECT_FALSE(kids.contains("..DUMY.."));
    tree->collapse(tree->treeModel()->indexOf(documents));
    tree->expand(tree->treeModel()->indexOf(documents));
    EXPECT_EQ(childTexts(tree, documents), kids);

    // A label click on "small": the list shows its files with their texts.
    Item small = childNamed(tree, root, "small");
    ASSERT_NE(small, controls::kNoItem);
    QModelIndex si = tree->treeModel()->indexOf(small);
    tree->scrollTo(si);
    QRect r = tree->visualRect(si);
    QTest::mouseClick(tree->viewport(), Qt::LeftButton, {}, QPoint(r.right() - 4, r.center().y()));
    QCoreApplication::processEvents();
    ASSERT_GT(list->rowCount(), 1);
    QRegularExpression dateText("^\\d\\d/\\d\\d/\\d{4}  \\d\\d:\\d\\d (AM|PM)$");
    int checkedRows = 0;
    for (int row = 0; row < list->rowCount(); ++row) {
        std::string name = list->rowName(row).toStdString();
        for (const auto& e : entries) {
            if (e["path"] != "small/" + name || e["type"] != "file" || e["state"] != "live") continue;
            EXPECT_EQ(list->data(list->index(row, 4)).toString().toStdString(),
                      formatSizeText(e["size"].get<uint64_t>()))
                << name;
            auto mt = localFields(isoToUnix(e["times"]["mtime"].get<std::string>()));
            ASSERT_TRUE(mt);
            EXPECT_EQ(list->data(list->index(row, 3)).toString().toStdString(), formatDateText(*mt)) << name;
            EXPECT_TRUE(dateText.match(list->data(list->index(row, 1)).toString()).hasMatch());
            ++checkedRows;
        }
    }
    EXPECT_GT(checkedRows, 0);

    // Tick the first row: its tree item ticks, "small" and ROOT are mixed.
    ASSERT_TRUE(list->setData(list->index(0, 0), Qt::Checked, Qt::CheckStateRole));
    Item first = list->rowData(0);
    EXPECT_TRUE(tree->GetCheck(first));
    auto state = [&](Item i) {
        return tree->treeModel()->data(tree->treeModel()->indexOf(i), Qt::CheckStateRole).toInt();
    };
    EXPECT_EQ(state(small), Qt::PartiallyChecked);
    EXPECT_EQ(state(root), Qt::PartiallyChecked);
    tree->Expand(small, controls::ExpandAction::Expand);
    QCoreApplication::processEvents();
    page->grab().save(QString(BRANTLOW_BUILD_DIR) + "/scan-page-ntfs.png");

    // Nothing ticked: Save writes the whole volume (ROOT selected); compare
    // with the manifest.
    ASSERT_TRUE(list->setData(list->index(0, 0), Qt::Unchecked, Qt::CheckStateRole));
    TempDir out;
    page->setOutputFolder(QString::fromStdString(out.path()));
    tree->SelectItem(root);
    page->save();
    ASSERT_TRUE(waitFor([&] { return sink.saw("work done"); }, 120000));
    int compared = compareSavedLiveFiles(entries, out.path(), true);
    EXPECT_GT(compared, 20);
    delete page;
    delete opener;
}

namespace {
// The item at "a/b/c" below ROOT, each folder opened on the way.
Item openPath(VolumeScanDlg* page, const QStringList& names) {
    auto* tree = page->tree();
    Item at = page->rootItem();
    for (const QString& n : names) {
        tree->expand(tree->treeModel()->indexOf(at));
        QCoreApplication::processEvents();
        at = childNamed(tree, at, n);
        if (at == controls::kNoItem) return at;
    }
    return at;
}
}  // namespace

// The page as it opens and maximised, on a folder of long names: the names
// get the free width (elided in the middle when they must be), every column
// can be resized, the search filters fit, and the screenshots for the
// documentation are made (scan-page-default.png, scan-page-maximised.png).
TEST(ScanPageNtfs, LongNamesAreReadableAtTheDefaultSizeAndMaximised) {
    if (!selectParser("NTFS", ScanMode::Standard).parser) GTEST_SKIP() << "the NTFS parser is not in this build";
    BRANTLOW_REQUIRE_IMAGE(image, "ntfs");
    ScriptedSink sink;
    ImagePage opened_(image, "NTFS");
    VolumeScanDlg* page = opened_.page;
    page->show();
    const QSize opened = page->size();
    ASSERT_TRUE(waitFor([&] { return page->statusText() == kScanDoneText && !page->running(); }, 120000));
    Item design = openPath(page, {"Documents", "Projects", "Alpha", "Design"});
    ASSERT_NE(design, controls::kNoItem);
    auto* tree = page->tree();
    tree->SelectItem(design);
    QCoreApplication::processEvents();
    auto* list = page->list();
    ASSERT_EQ(list->listModel()->rowCount(), 3);
    list->selectRow(2);  // the deleted one: its preview and recoverability
    page->filterBox()->setChecked(true);
    waitFor([&] { return false; }, 300);

    auto check = [&](const char* shot) {
        QCoreApplication::processEvents();
        const int view = list->viewport()->width();
        int others = 0;
        for (int c = 1; c < list->model()->columnCount(); ++c) others += list->columnWidth(c);
        // The name takes what the others leave, and never less than two fifths.
        EXPECT_GE(list->columnWidth(0), std::max(view * 2 / 5, view - others) - 2) << shot;
        EXPECT_EQ(list->textElideMode(), Qt::ElideMiddle);
        for (int c = 0; c < list->model()->columnCount(); ++c)
            EXPECT_EQ(list->horizontalHeader()->sectionResizeMode(c), QHeaderView::Interactive) << c;
        // Every filter label is shown whole.
        QGroupBox* filters = page->filterBox();
        EXPECT_GE(filters->width(), filters->minimumSizeHint().width()) << shot;
        EXPECT_GE(tree->height(), 200) << shot;
        page->grab().save(QString(BRANTLOW_BUILD_DIR) + "/" + shot);
    };
    // It opens at the default size, within the screen (the offscreen one is
    // 800 x 600); on a screen of ordinary size that is 1100 x 760.
    EXPECT_EQ(opened, gui::defaultPageSize(page->screen()->availableGeometry().size()));
    EXPECT_EQ(gui::defaultPageSize(QSize(1920, 1040)), QSize(1100, 760));
    EXPECT_EQ(gui::defaultPageSize(QSize(1366, 700)), QSize(1100, 665));
    check("scan-page-small-screen.png");
    page->resize(gui::defaultPageSize(QSize(1920, 1040)));
    check("scan-page-default.png");
    page->resize(1920, 1010);
    check("scan-page-maximised.png");
    // At that size the whole row fits: Recoverability is on screen.
    int all = 0;
    for (int c = 0; c < list->model()->columnCount(); ++c) all += list->columnWidth(c);
    EXPECT_LE(all, list->viewport()->width() + 2);
    // A column resized by hand keeps its width; the name gives way.
    list->horizontalHeader()->resizeSection(1, 300);
    QCoreApplication::processEvents();
    EXPECT_EQ(list->columnWidth(1), 300);
}
