// The scan page on a real NTFS image: runs once the NTFS parser is part of
// the build, and skips until then.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <QApplication>
#include <QRegularExpression>
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
