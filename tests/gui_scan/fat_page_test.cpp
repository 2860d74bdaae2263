// The scan page on a real FAT16 image: the same page, another parser.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <QApplication>
#include <QLabel>
#include <cstdlib>
#include <ctime>

#include "gui_support.h"
#include "scan/scan_job.h"
#include "tests/support/fixtures.h"

using namespace brantlow;
using namespace brantlow::test;
using brantlow::controls::Item;
using brantlow::gui::VolumeScanDlg;
using brantlow::gui::WizardPage;

TEST(ScanPageFat, ScanAndSaveTheVolumeMatchTheManifest) {
    if (!selectParser("FAT16", ScanMode::Standard).parser) GTEST_SKIP() << "the FAT parser is not in this build";
    BRANTLOW_REQUIRE_IMAGE(image, "fat16");
    auto manifest = fixtureManifest("fat16");
    ASSERT_TRUE(manifest);
    const auto& entries = (*manifest)["volumes"][0]["entries"];
    // FAT keeps wall-clock time; the fixture wrote UTC wall time.
    const char* oldTz = std::getenv("TZ");
    std::string savedTz = oldTz ? oldTz : "";
    setenv("TZ", "UTC0", 1);
    tzset();

    auto reader = std::make_shared<FileReadSeek>();
    ASSERT_TRUE(reader->Open(image));
    ScriptedSink sink;
    auto* opener = new WizardPage("Brantlow");
    VolumeScanDlg::Options o;
    o.reader = reader;
    VolumeEntry v;
    v.fileSystem = "FAT16";
    v.volumeNumber = "0";
    v.sizeSectors = reader->sizeBytes() / 512;
    auto* page = new VolumeScanDlg(opener, v, ScanMode::Standard, o);
    page->show();
    ASSERT_TRUE(waitFor([&] { return page->statusText() == kScanDoneText && !page->running(); }, 120000));
    auto* tree = page->tree();
    Item root = page->rootItem();
    EXPECT_NE(childNamed(tree, root, "Documents"), controls::kNoItem);

    // A deleted short name keeps the code page's character for the deletion
    // mark ("σata.bin"); its tooltips and its preview say the first letter
    // was lost.
    Item old = childNamed(tree, root, "OldProject");
    ASSERT_NE(old, controls::kNoItem);
    tree->SelectItem(old);
    QCoreApplication::processEvents();
    auto* list = page->list()->listModel();
    int row = -1;
    for (int r = 0; r < list->rowCount(); ++r)
        if (list->rowName(r) == QString::fromUtf8("\u03C3ata.bin")) row = r;
    ASSERT_GE(row, 0);
    const QString rowTip = list->data(list->index(row, 0), Qt::ToolTipRole).toString();
    EXPECT_TRUE(rowTip.contains("first letter of this name was lost")) << rowTip.toStdString();
    Item lost = childNamed(tree, old, QString::fromUtf8("\u03C3ata.bin"));
    ASSERT_NE(lost, controls::kNoItem);
    const QString treeTip = tree->treeModel()->data(tree->treeModel()->indexOf(lost), Qt::ToolTipRole).toString();
    EXPECT_TRUE(treeTip.contains(QString::fromUtf8("\"\u03C3\" stands in its place"))) << treeTip.toStdString();
    page->previewRow(row);
    EXPECT_TRUE(page->preview()->noteLabel()->text().contains("first letter")) << page->preview()->noteLabel()->text().toStdString();
    EXPECT_FALSE(page->preview()->noteLabel()->isHidden());
    // A deleted name that kept its long name lost nothing.
    Item docs = childNamed(tree, root, "Documents");
    tree->SelectItem(docs);
    QCoreApplication::processEvents();
    for (int r = 0; r < list->rowCount(); ++r)
        if (list->rowName(r) == "deleted note.txt")
            EXPECT_FALSE(list->data(list->index(r, 0), Qt::ToolTipRole).toString().contains("first letter"));
    tree->SelectItem(root);

    TempDir out;
    page->setOutputFolder(QString::fromStdString(out.path()));
    tree->SelectItem(root);
    page->save();
    ASSERT_TRUE(waitFor([&] { return sink.saw("work done"); }, 120000));
    int compared = compareSavedLiveFiles(entries, out.path(), false);
    EXPECT_GT(compared, 20);
    delete page;
    delete opener;
    if (oldTz) setenv("TZ", savedTz.c_str(), 1); else unsetenv("TZ");
    tzset();
}
