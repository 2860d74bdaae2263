// The scan page on a real FAT16 image: the same page, another parser.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <QApplication>
#include <QLabel>
#include <cstdlib>
#include <ctime>

#include "gui_support.h"
#include "disk/mapped_reader.h"
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

// The image read through a map that lacks one live file's first cluster:
// that file, and only files on unfinished sectors, show "unreadable
// sectors" in the column and a light red tint; the filter finds them.
TEST(ScanPageFat, FilesOnUnreadableSectorsOfAMappedImage) {
    if (!selectParser("FAT16", ScanMode::Standard).parser) GTEST_SKIP() << "the FAT parser is not in this build";
    BRANTLOW_REQUIRE_IMAGE(image, "fat16");
    auto file = std::make_shared<FileReadSeek>();
    ASSERT_TRUE(file->Open(image));
    // Where readme.txt lies, from the parser itself.
    ParserChoice probe = selectParser("FAT16", ScanMode::Standard);
    ScanContext ctx;
    ctx.volume = VolumeView(file, 0, file->sizeBytes());
    ASSERT_EQ(runScan(*probe.parser, ctx), ScanOutcome::Done);
    EntryId docs = kRootId, readme = kRootId;
    EntryInfo info;
    for (EntryId c : probe.parser->children(kRootId))
        if (probe.parser->entryInfo(c, info) && info.name == "Documents") docs = c;
    for (EntryId c : probe.parser->children(docs))
        if (probe.parser->entryInfo(c, info) && info.name == "readme.txt") readme = c;
    ASSERT_NE(readme, kRootId);
    const auto ranges = probe.parser->contentRanges(readme);
    ASSERT_FALSE(ranges.empty());
    RescueMap map(file->sizeBytes());
    map.set(0, file->sizeBytes(), BlockState::Finished);
    map.set(ranges[0].offset, 512, BlockState::BadSector);
    auto mapped = std::make_shared<MappedReader>(file, map);

    ScriptedSink sink;
    auto* opener = new WizardPage("Brantlow");
    VolumeScanDlg::Options o;
    o.reader = mapped;
    VolumeEntry v;
    v.fileSystem = "FAT16";
    v.volumeNumber = "0";
    v.sizeSectors = file->sizeBytes() / 512;
    auto* page = new VolumeScanDlg(opener, v, ScanMode::Standard, o);
    page->show();
    ASSERT_TRUE(waitFor([&] { return page->statusText() == kScanDoneText && !page->running(); }, 120000));
    Item docsItem = childNamed(page->tree(), page->rootItem(), "Documents");
    page->labelClicked(docsItem);
    QCoreApplication::processEvents();
    auto* list = page->list()->listModel();
    int unreadable = 0;
    for (int r = 0; r < list->rowCount(); ++r) {
        const QString text = list->data(list->index(r, 6)).toString();
        if (list->rowName(r) == "readme.txt") {
            EXPECT_EQ(text, "unreadable sectors (1)");
            ++unreadable;
        } else {
            EXPECT_FALSE(text.startsWith("unreadable")) << list->rowName(r).toStdString();
        }
    }
    EXPECT_EQ(unreadable, 1);
    page->tree()->Expand(docsItem, controls::ExpandAction::Expand);
    QCoreApplication::processEvents();
    auto* m = page->tree()->treeModel();
    Item readmeItem = childNamed(page->tree(), docsItem, "readme.txt");
    ASSERT_NE(readmeItem, controls::kNoItem);
    EXPECT_EQ(m->data(m->indexOf(readmeItem), Qt::BackgroundRole).value<QColor>(), QColor(0xFF, 0xC0, 0xD0));
    EXPECT_EQ(m->data(m->indexOf(readmeItem), Qt::ToolTipRole).toString(), "unreadable sectors (1)");
    delete page;
    delete opener;
}
