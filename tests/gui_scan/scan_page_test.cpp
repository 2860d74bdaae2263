// The scan page with an in-memory parser: scan, tree, list, ticks, saving,
// pause, stop and the refusals while a worker runs.
#include <gtest/gtest.h>
#include <sys/mount.h>
#include <sys/stat.h>

#include <QApplication>
#include <QPointer>
#include <QDialog>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QProgressBar>
#include <QTreeWidget>
#include <QCheckBox>
#include <QGroupBox>
#include <QMessageBox>
#include <QTest>
#include <QTimer>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "fake_parser.h"
#include "base/texts.h"
#include "scan/recovery_model.h"
#include "gui_support.h"
#include "tests/support/fixtures.h"
#include "tests/support/memory_reader.h"

using namespace brantlow;
using namespace brantlow::test;
using brantlow::controls::Item;
using brantlow::controls::kNoItem;
using brantlow::gui::VolumeScanDlg;
using brantlow::gui::WizardPage;

namespace {

std::string readFile(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    std::stringstream ss;
    ss << f.rdbuf();
    return ss.str();
}

class ScanPage : public ::testing::Test {
protected:
    ScriptedSink sink;
    std::shared_ptr<MemoryReader> reader = std::make_shared<MemoryReader>(std::vector<uint8_t>(64 * 512, 0));
    FakeParser* fake = nullptr;  // owned by the page
    WizardPage* opener = nullptr;
    VolumeScanDlg* page = nullptr;
    QString picked;
    int picks = 0;

    VolumeScanDlg* open(std::function<void(FakeParser&)> setup = {}, const std::string& fs = "FAKE",
                        bool fakeParser = true) {
        opener = new WizardPage("Brantlow");
        VolumeScanDlg::Options o;
        o.reader = reader;
        if (fakeParser) {
            o.choose = [this, setup](const std::string&, ScanMode) {
                ParserChoice c;
                auto p = std::make_unique<FakeParser>();
                buildSampleTree(*p);
                if (setup) setup(*p);
                fake = p.get();
                c.parser = std::move(p);
                c.hasProcedure = true;
                return c;
            };
        }
        o.pickFolder = [this](QWidget*) {
            ++picks;
            return picked;
        };
        VolumeEntry v;
        v.fileSystem = fs;
        v.volumeNumber = "1";
        v.sizeText = "1";
        v.sizeSectors = 64;
        page = new VolumeScanDlg(opener, v, ScanMode::Standard, o);
        page->resize(960, 620);
        page->show();
        return page;
    }

    void TearDown() override {
        delete page;
        delete opener;
    }

    bool finished() {
        return waitFor([&] { return page->statusText() == kScanDoneText && !page->running(); });
    }

    controls::CXHtmlTree* tree() { return page->tree(); }
    controls::CheckListModel* list() { return page->list()->listModel(); }
    Item top(const char* name) { return childNamed(tree(), page->rootItem(), name); }

    QStringList listNames() {
        QStringList out;
        for (int r = 0; r < list()->rowCount(); ++r) out << list()->rowName(r);
        return out;
    }

    void clickLabel(Item item) {
        QModelIndex i = tree()->treeModel()->indexOf(item);
        tree()->scrollTo(i);
        QRect r = tree()->visualRect(i);
        QTest::mouseClick(tree()->viewport(), Qt::LeftButton, {}, QPoint(r.right() - 4, r.center().y()));
        QCoreApplication::processEvents();
    }

    Qt::CheckState treeState(Item item) {
        return static_cast<Qt::CheckState>(tree()->treeModel()->data(tree()->treeModel()->indexOf(item),
                                                                     Qt::CheckStateRole).toInt());
    }

    QVariant foreground(Item item) {
        return tree()->treeModel()->data(tree()->treeModel()->indexOf(item), Qt::ForegroundRole);
    }
};

}  // namespace

TEST_F(ScanPage, ScanExpandClickTickAndSave) {
    open();
    EXPECT_EQ(page->windowTitle(), "Brantlow v1.0");
    ASSERT_TRUE(finished());
    EXPECT_EQ(sink.count(kScanDoneText), 1);
    EXPECT_TRUE(page->backButton()->isEnabled());
    EXPECT_FALSE(page->findChild<QProgressBar*>("progress")->isVisible());
    EXPECT_FALSE(page->findChild<QPushButton*>("pauseButton")->isVisible());

    // The first level under ROOT, each folder with its placeholder.
    Item root = page->rootItem();
    EXPECT_EQ(tree()->GetItemText(root), "ROOT");
    EXPECT_EQ(childTexts(tree(), root), QStringList({"docs", "pics", "big", "loop", "gone.txt", "top.bin"}));
    EXPECT_TRUE(tree()->isExpanded(tree()->treeModel()->indexOf(root)));
    Item docs = top("docs");
    EXPECT_EQ(childTexts(tree(), docs), QStringList({"..DUMY.."}));
    // A deleted entry of the first level is red.
    EXPECT_EQ(foreground(top("gone.txt")).value<QColor>(), QColor(255, 0, 0));
    EXPECT_FALSE(foreground(top("top.bin")).isValid());

    // Expanding a folder puts its children in place of the placeholder, once.
    tree()->expand(tree()->treeModel()->indexOf(docs));
    QCoreApplication::processEvents();
    EXPECT_EQ(childTexts(tree(), docs), QStringList({"a.txt", "b.txt", "old.txt", "sub"}));
    tree()->collapse(tree()->treeModel()->indexOf(docs));
    tree()->expand(tree()->treeModel()->indexOf(docs));
    EXPECT_EQ(childTexts(tree(), docs), QStringList({"a.txt", "b.txt", "old.txt", "sub"}));
    // Deleted entries are red whichever way their folder was opened.
    EXPECT_EQ(foreground(childNamed(tree(), docs, "old.txt")).value<QColor>(), QColor(255, 0, 0));
    EXPECT_FALSE(foreground(childNamed(tree(), docs, "a.txt")).isValid());
    EXPECT_EQ(childTexts(tree(), childNamed(tree(), docs, "sub")), QStringList({"..DUMY.."}));

    // A label click fills the folder (deleted files red) and the list.
    Item pics = top("pics");
    clickLabel(pics);
    EXPECT_EQ(tree()->GetSelectedItem(), pics);
    EXPECT_EQ(childTexts(tree(), pics), QStringList({"p1.jpg", "p2.png", "notes.txt"}));
    EXPECT_EQ(foreground(childNamed(tree(), pics, "p2.png")).value<QColor>(), QColor(255, 0, 0));
    EXPECT_EQ(listNames(), QStringList({"p1.jpg", "p2.png", "notes.txt"}));
    // ... and in the list too.
    EXPECT_EQ(list()->data(list()->index(1, 0), Qt::ForegroundRole).value<QColor>(), QColor(255, 0, 0));
    EXPECT_EQ(list()->data(list()->index(1, 3), Qt::ForegroundRole).value<QColor>(), QColor(255, 0, 0));
    EXPECT_FALSE(list()->data(list()->index(0, 0), Qt::ForegroundRole).isValid());
    // The texts of the five columns.
    EntryId p1 = fake->find("pics/p1.jpg");
    auto utc = [](int64_t s) { return QString::fromStdString(formatDateText(*utcFields(s))); };
    EXPECT_EQ(list()->data(list()->index(0, 1)).toString(), utc(fake->entries[p1].mtime - 60));
    EXPECT_EQ(list()->data(list()->index(0, 2)).toString(), utc(fake->entries[p1].mtime + 60));
    EXPECT_EQ(list()->data(list()->index(0, 3)).toString(), utc(fake->entries[p1].mtime));
    EXPECT_EQ(list()->data(list()->index(0, 4)).toString(), "2.93 KB");
    EXPECT_EQ(list()->data(list()->index(1, 5)).toString(), "-A");
    EXPECT_EQ(list()->headerData(0, Qt::Horizontal).toString(), "File(s) List");
    EXPECT_EQ(list()->headerData(3, Qt::Horizontal).toString(), "Modification Time");

    // Ticking a row ticks its tree item; the folders above become mixed.
    ASSERT_TRUE(list()->setData(list()->index(0, 0), Qt::Checked, Qt::CheckStateRole));
    Item p1Item = childNamed(tree(), pics, "p1.jpg");
    EXPECT_TRUE(tree()->GetCheck(p1Item));
    EXPECT_EQ(treeState(pics), Qt::PartiallyChecked);
    EXPECT_EQ(treeState(root), Qt::PartiallyChecked);
    EXPECT_EQ(tree()->GetCheckedCount(), 1);
    list()->setData(list()->index(0, 0), Qt::Unchecked, Qt::CheckStateRole);
    EXPECT_FALSE(tree()->GetCheck(p1Item));
    EXPECT_EQ(treeState(pics), Qt::Unchecked);
    list()->setData(list()->index(2, 0), Qt::Checked, Qt::CheckStateRole);

    // A screenshot of the page with its result tree.
    tree()->SelectItem(pics);
    tree()->Expand(pics, controls::ExpandAction::Expand);
    QCoreApplication::processEvents();
    page->grab().save(QString(BRANTLOW_BUILD_DIR) + "/scan-page.png");
    // The name column takes the width the others leave.
    int others = 0;
    for (int c = 1; c < 6; ++c) others += page->list()->columnWidth(c);
    EXPECT_GE(page->list()->columnWidth(0), page->list()->viewport()->width() - others - 2);
    list()->setData(list()->index(2, 0), Qt::Unchecked, Qt::CheckStateRole);

    // Save, nothing ticked: no folder yet, so the page asks for one; then
    // the count question; the folder selected is saved, under its own name.
    TempDir out;
    picked = QString::fromStdString(out.path());
    tree()->SelectItem(docs);
    page->save();
    ASSERT_TRUE(waitFor([&] { return sink.saw("work done"); }));
    EXPECT_TRUE(sink.saw("select output folder"));
    EXPECT_EQ(picks, 1);
    ASSERT_EQ(sink.questions().size(), 1u);
    EXPECT_EQ(sink.questions()[0],
              "number of files found inside this folder = 4 .do u want to continue dumping these files..?");
    EXPECT_EQ(page->outputFolder(), picked);
    // The folder keeps its name, as its ticked files would.
    EXPECT_EQ(readFile(out.path() + "/docs/a.txt"), "alpha\n");
    EXPECT_EQ(readFile(out.path() + "/docs/b.txt"), "bravo bravo\n");
    EXPECT_EQ(readFile(out.path() + "/docs/old.txt"), "was deleted\n");
    EXPECT_EQ(readFile(out.path() + "/docs/sub/c.txt"), "charlie\n");
    struct stat st {};
    ASSERT_EQ(stat((out.path() + "/docs/a.txt").c_str(), &st), 0);
    EXPECT_EQ(st.st_mtime, fake->entries[fake->find("docs/a.txt")].mtime);
    EXPECT_EQ(page->status2Text(), QString("4 files written to %1").arg(picked));
    EXPECT_EQ(page->statusText(), "work done");
    EXPECT_EQ(page->outputFolderLabel()->text(), picked);
    EXPECT_FALSE(page->detailsButton()->isVisible());
    EXPECT_TRUE(page->backButton()->isEnabled());
    // Every box was the page's own.
    for (QWidget* p : sink.parents()) EXPECT_EQ(p, page);
}

TEST_F(ScanPage, LabelClicksFillOnceAndTheListFollowsTheHighlight) {
    open();
    ASSERT_TRUE(finished());
    Item docs = top("docs");
    clickLabel(docs);
    clickLabel(docs);
    EXPECT_EQ(childTexts(tree(), docs), QStringList({"a.txt", "b.txt", "old.txt", "sub"}));
    // The list holds the folder's files, not its subfolders.
    EXPECT_EQ(listNames(), QStringList({"a.txt", "b.txt", "old.txt"}));
    // A click on a file's label shows that file alone.
    clickLabel(childNamed(tree(), docs, "b.txt"));
    EXPECT_EQ(listNames(), QStringList({"b.txt"}));
    // An expanded folder with a clear box lists its files too, ticked or not.
    tree()->Expand(docs, controls::ExpandAction::Expand);
    clickLabel(docs);
    EXPECT_EQ(listNames(), QStringList({"a.txt", "b.txt", "old.txt"}));
    clickLabel(childNamed(tree(), docs, "b.txt"));
    tree()->SetCheck(docs, true);
    clickLabel(docs);
    EXPECT_EQ(listNames(), QStringList({"a.txt", "b.txt", "old.txt"}));
    // Children filled under a ticked folder take its state.
    Item sub = childNamed(tree(), docs, "sub");
    EXPECT_TRUE(tree()->GetCheck(sub));
    tree()->expand(tree()->treeModel()->indexOf(sub));
    EXPECT_TRUE(tree()->GetCheck(childNamed(tree(), sub, "c.txt")));
    EXPECT_EQ(treeState(docs), Qt::Checked);
}

TEST_F(ScanPage, ThousandFileFolderFillsInOneGoAndComputesShownTextsOnly) {
    open();
    ASSERT_TRUE(finished());
    page->list()->resize(500, 300);
    Item big = top("big");
    int modelInserts = 0;
    QObject::connect(tree()->treeModel(), &QAbstractItemModel::rowsInserted, [&] { ++modelInserts; });
    auto t0 = std::chrono::steady_clock::now();
    clickLabel(big);
    QCoreApplication::processEvents();
    auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - t0).count();
    EXPECT_LT(ms, 3000);
    EXPECT_EQ(tree()->checkTree().children(big).size(), 1000u);
    EXPECT_EQ(modelInserts, 1);
    EXPECT_EQ(list()->rowCount(), 1000);
    page->list()->repaint();
    QCoreApplication::processEvents();
    EXPECT_GT(fake->textCalls.load(), 0);
    EXPECT_LT(fake->textCalls.load(), 100);
    // Ticking the folder ticks all thousand, and their rows; the header
    // box clears them all again, in the tree too.
    tree()->SetCheck(big, true);
    EXPECT_EQ(tree()->GetCheckedCount(), 1001);
    EXPECT_EQ(list()->state().tickedCount(), 1000u);
    list()->headerClick(0);
    EXPECT_EQ(list()->state().tickedCount(), 0u);
    EXPECT_EQ(tree()->GetCheckedCount(), 0);
}

TEST_F(ScanPage, SiblingCycleAndRepeatedChildrenEndTheWalk) {
    open([](FakeParser& p) { p.repeatChildren = true; });
    ASSERT_TRUE(finished());
    // The page drops repeats and anything already on the path.
    EXPECT_EQ(childTexts(tree(), page->rootItem()),
              QStringList({"docs", "pics", "big", "loop", "gone.txt", "top.bin"}));
    Item loop = top("loop");
    clickLabel(loop);
    EXPECT_EQ(childTexts(tree(), loop), QStringList({"x.txt", "y.txt"}));
    Item docs = top("docs");
    clickLabel(docs);
    EXPECT_EQ(childTexts(tree(), docs), QStringList({"a.txt", "b.txt", "old.txt", "sub"}));
    Item sub = childNamed(tree(), docs, "sub");
    clickLabel(sub);
    EXPECT_EQ(childTexts(tree(), sub), QStringList({"c.txt"}));
}

TEST_F(ScanPage, PauseStopsReadsUntilResumeAndBackIsDisabledDuringTheScan) {
    open([](FakeParser& p) { p.stepDelayUs = 2000; });
    ASSERT_TRUE(waitFor([&] { return fake && fake->steps.load() > 20; }));
    EXPECT_TRUE(page->running());
    EXPECT_FALSE(page->backButton()->isEnabled());
    page->pause();
    EXPECT_EQ(page->statusText(), "Pause button pressed");
    waitFor([] { return false; }, 100);
    uint64_t r1 = reader->reads.load();
    int s1 = fake->steps.load();
    waitFor([] { return false; }, 300);
    EXPECT_EQ(reader->reads.load(), r1);
    EXPECT_EQ(fake->steps.load(), s1);
    EXPECT_TRUE(page->running());
    EXPECT_FALSE(page->backButton()->isEnabled());
    // Save is refused while the scan runs.
    page->save();
    EXPECT_TRUE(sink.saw("Please wait for other process to complete"));
    page->resume();
    EXPECT_EQ(page->statusText(), "Resume button pressed");
    ASSERT_TRUE(finished());
    EXPECT_GT(reader->reads.load(), r1);
    EXPECT_EQ(fake->found.load(), fake->entries.size());
    EXPECT_TRUE(page->backButton()->isEnabled());
}

TEST_F(ScanPage, StopEndsTheScanWithAPartialTree) {
    open([](FakeParser& p) { p.stepDelayUs = 2000; });
    // Stop once docs and pics are found, before big is complete.
    ASSERT_TRUE(waitFor([&] { return fake && fake->steps.load() > 20; }));
    page->stop();
    EXPECT_EQ(page->statusText(), "stop button pressed.Please wait for the process to be stopped.");
    ASSERT_TRUE(finished());
    EXPECT_LT(fake->found.load(), fake->entries.size());
    QStringList first = childTexts(tree(), page->rootItem());
    EXPECT_TRUE(first.contains("docs"));
    EXPECT_FALSE(first.contains("top.bin"));
    EXPECT_TRUE(page->backButton()->isEnabled());
    EXPECT_EQ(sink.count(kScanDoneText), 1);
}

TEST_F(ScanPage, StopWhilePausedWaitsForResume) {
    open([](FakeParser& p) { p.stepDelayUs = 2000; });
    ASSERT_TRUE(waitFor([&] { return fake && fake->steps.load() > 5; }));
    page->pause();
    page->stop();
    waitFor([] { return false; }, 300);
    EXPECT_TRUE(page->running());
    page->resume();
    ASSERT_TRUE(finished());
}

TEST_F(ScanPage, CloseQuestionAnsweredNoKeepsTheScanGoing) {
    open([](FakeParser& p) { p.stepDelayUs = 500; });
    ASSERT_TRUE(waitFor([&] { return fake && fake->steps.load() > 5; }));
    sink.answer(false);
    static_cast<QDialog*>(page)->reject();
    ASSERT_EQ(sink.questions().size(), 1u);
    EXPECT_EQ(sink.questions()[0], "Do you want to Close Application ?");
    EXPECT_TRUE(page->isVisible());
    ASSERT_TRUE(finished());
    EXPECT_EQ(fake->found.load(), fake->entries.size());
}

TEST_F(ScanPage, QuickSaveAndClicksAreRefusedWhileASaveRuns) {
    open([](FakeParser& p) { p.writeDelayMs = 150; });
    ASSERT_TRUE(finished());
    TempDir out;
    page->setOutputFolder(QString::fromStdString(out.path()));
    Item docs = top("docs");
    Item topBin = top("top.bin");
    tree()->SelectItem(docs);
    page->save();
    ASSERT_TRUE(page->running());
    EXPECT_FALSE(page->backButton()->isEnabled());
    EXPECT_TRUE(page->findChild<QPushButton*>("stopButton")->isVisible());
    page->itemDoubleClicked(topBin);
    page->save();
    EXPECT_EQ(sink.count("Please wait for other process to complete"), 2);
    // A label click reads nothing while the save runs.
    clickLabel(top("pics"));
    EXPECT_EQ(childTexts(tree(), top("pics")), QStringList({"..DUMY.."}));
    ASSERT_TRUE(waitFor([&] { return sink.saw("work done"); }));
    EXPECT_FALSE(std::filesystem::exists(out.path() + "/top.bin"));
}

TEST_F(ScanPage, StopEndsASaveEarly) {
    open([](FakeParser& p) { p.writeDelayMs = 20; });
    ASSERT_TRUE(finished());
    TempDir out;
    page->setOutputFolder(QString::fromStdString(out.path()));
    tree()->SelectItem(top("big"));
    page->save();
    ASSERT_TRUE(waitFor([&] { return std::filesystem::exists(out.path() + "/big/f1002.dat"); }));
    EXPECT_TRUE(page->findChild<QPushButton*>("stopButton")->isVisible());
    page->stop();
    ASSERT_TRUE(waitFor([&] { return sink.saw("work done"); }));
    size_t n = 0;
    for (auto& e : std::filesystem::directory_iterator(out.path() + "/big")) n += e.is_regular_file();
    EXPECT_LT(n, 1000u);
    // The summary counts what was written and what was not attempted.
    const QString summary = page->status2Text();
    EXPECT_TRUE(summary.startsWith(QString("%1 files written to ").arg(n))) << summary.toStdString();
    EXPECT_TRUE(summary.endsWith(QString(", %1 not attempted (stopped)").arg(1000 - n))) << summary.toStdString();
}

TEST_F(ScanPage, QuickSaveAsksForAFolderAndWritesTheFile) {
    open({}, "exFAT");
    ASSERT_TRUE(finished());
    TempDir out;
    picked = QString::fromStdString(out.path());
    page->itemDoubleClicked(top("top.bin"));
    ASSERT_TRUE(waitFor([&] { return !page->running() && std::filesystem::exists(out.path() + "/top.bin"); }));
    EXPECT_EQ(picks, 1);
    EXPECT_EQ(readFile(out.path() + "/top.bin"), std::string(5000, '\1'));
    ASSERT_TRUE(waitFor([&] { return sink.saw("file is dumped in path  :  " + out.path() + "   "); }));
    // The status lines say where it went.
    EXPECT_EQ(page->statusText(), QString::fromStdString("File saved to " + out.path() + "/top.bin"));
    EXPECT_EQ(page->status2Text(), QString::fromStdString("1 file written to " + out.path()));
    // A double-click on a folder lists its files by name only.
    page->itemDoubleClicked(top("pics"));
    EXPECT_EQ(listNames(), QStringList({"p1.jpg", "p2.png", "notes.txt"}));
    EXPECT_TRUE(list()->data(list()->index(0, 4)).toString().isEmpty());
}

TEST_F(ScanPage, PartialAndFailedFilesAreCountedAndListed) {
    open([](FakeParser& p) {
        p.found = p.entries.size();  // find() sees what the scan has reached
        p.partial = {p.find("docs/sub/c.txt")};
        p.failing = {p.find("docs/b.txt")};  // nothing of it can be read
        p.found = 0;
    });
    ASSERT_TRUE(finished());
    TempDir out;
    page->setOutputFolder(QString::fromStdString(out.path()));
    tree()->SelectItem(top("docs"));
    page->save();
    ASSERT_TRUE(waitFor([&] { return sink.saw("work done"); }));
    EXPECT_EQ(page->status2Text(), QString::fromStdString("2 files written to " + out.path() + ", 1 partial, 1 failed"));
    EXPECT_EQ(readFile(out.path() + "/docs/a.txt"), "alpha\n");
    EXPECT_EQ(readFile(out.path() + "/docs/sub/c.txt.partial"), "char");
    // "Details…" lists them.
    ASSERT_TRUE(page->detailsButton()->isVisible());
    page->detailsButton()->click();
    QDialog* d = page->problemsDialog();
    ASSERT_TRUE(d);
    auto* rows = d->findChild<QTreeWidget*>("problemList");
    ASSERT_TRUE(rows);
    ASSERT_EQ(rows->topLevelItemCount(), 2);
    EXPECT_EQ(rows->topLevelItem(0)->text(0), QString::fromStdString(out.path() + "/docs/b.txt"));
    EXPECT_EQ(rows->topLevelItem(0)->text(1), "failed");
    EXPECT_FALSE(rows->topLevelItem(0)->text(3).isEmpty());
    EXPECT_EQ(rows->topLevelItem(1)->text(1), "partial");
    EXPECT_EQ(rows->topLevelItem(1)->text(2), "4");
    EXPECT_EQ(rows->topLevelItem(1)->text(3), "only half of it is backed");
    page->grab().save(QString(BRANTLOW_BUILD_DIR) + "/scan-page-save-problems.png");
    d->close();
}

TEST_F(ScanPage, SaveQuestionAnsweredNoWritesNothing) {
    open();
    ASSERT_TRUE(finished());
    TempDir out;
    page->setOutputFolder(QString::fromStdString(out.path()));
    tree()->SelectItem(top("pics"));
    sink.answer(false);
    page->save();
    waitFor([] { return false; }, 100);
    EXPECT_FALSE(sink.saw("work done"));
    EXPECT_TRUE(std::filesystem::is_empty(out.path()));
    // A file item selected: Save does nothing.
    tree()->SelectItem(top("top.bin"));
    page->save();
    EXPECT_EQ(sink.questions().size(), 1u);
}

TEST_F(ScanPage, UnknownFileSystemIsNotAValidDrive) {
    open({}, "CUSTOM ", false);
    ASSERT_TRUE(waitFor([&] { return sink.saw("not a valid drive."); }));
    EXPECT_EQ(page->statusText(), "Not a valid Drive .Go back");
    EXPECT_TRUE(page->backButton()->isEnabled());
    EXPECT_FALSE(page->running());
}

TEST_F(ScanPage, ExitDuringAPausedScanStopsAndJoinsTheWorker) {
    open([](FakeParser& p) { p.stepDelayUs = 2000; });
    ASSERT_TRUE(waitFor([&] { return fake && fake->steps.load() > 5; }));
    page->pause();
    static_cast<QDialog*>(page)->accept();
    EXPECT_EQ(page->statusText(), "All thread Stopped");
    EXPECT_EQ(page->scanMode(), -1);
    EXPECT_FALSE(page->running());
    EXPECT_LT(fake->found.load(), fake->entries.size());
    // Nothing is shown for a page that is going away.
    waitFor([] { return false; }, 100);
    EXPECT_FALSE(sink.saw(kScanDoneText));
}

TEST_F(ScanPage, BackAfterTheScanShowsTheOpenerAndClosesThePage) {
    open();
    opener->hide();
    ASSERT_TRUE(finished());
    QPointer<VolumeScanDlg> guard(page);
    page->backButton()->click();
    EXPECT_TRUE(opener->isVisible());
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    EXPECT_TRUE(guard.isNull());
    page = nullptr;
}

namespace {
// Every regular file below dir, as paths relative to it.
QStringList filesBelow(const std::string& dir) {
    QStringList out;
    for (auto& e : std::filesystem::recursive_directory_iterator(dir))
        if (e.is_regular_file())
            out << QString::fromStdString(std::filesystem::relative(e.path(), dir).string());
    out.sort();
    return out;
}
}  // namespace

// Ticks decide what Save writes: the ticked files, each in the folders of
// its path, and all files of a ticked folder that was never opened;
// whatever folder is highlighted.
TEST_F(ScanPage, SaveWithTicksWritesExactlyTheTickedFiles) {
    QString statusUnderTheBox;
    sink.onInfo = [&](const std::string& t) {
        if (t == kScanDoneText) statusUnderTheBox = page->statusText();
    };
    open();
    ASSERT_TRUE(finished());
    // The done box came with the done text already in the status line.
    EXPECT_EQ(sink.count(kScanDoneText), 1);
    EXPECT_EQ(statusUnderTheBox, kScanDoneText);
    Item docs = top("docs");
    clickLabel(docs);
    ASSERT_TRUE(list()->setData(list()->index(1, 0), Qt::Checked, Qt::CheckStateRole));  // docs/b.txt
    tree()->SetCheck(top("top.bin"), true);
    tree()->SetCheck(top("pics"), true);  // not opened: all three files
    tree()->SelectItem(top("big"));
    EXPECT_EQ(page->tickedFiles().size(), 5u);

    TempDir out;
    page->setOutputFolder(QString::fromStdString(out.path()));
    // Pause, Resume and Stop stay hidden while the question is open.
    bool controlsShown = true;
    sink.onQuestion = [&](const std::string&) {
        controlsShown = page->findChild<QPushButton*>("stopButton")->isVisible() ||
                        page->findChild<QPushButton*>("pauseButton")->isVisible();
    };
    page->save();
    ASSERT_TRUE(waitFor([&] { return sink.saw("work done"); }));
    EXPECT_FALSE(controlsShown);
    ASSERT_EQ(sink.questions().size(), 1u);
    EXPECT_EQ(sink.questions()[0],
              "number of files found inside this folder = 5 .do u want to continue dumping these files..?");
    EXPECT_EQ(filesBelow(out.path()),
              QStringList({"docs/b.txt", "pics/notes.txt", "pics/p1.jpg", "pics/p2.png", "top.bin"}));
    EXPECT_EQ(readFile(out.path() + "/docs/b.txt"), "bravo bravo\n");
    EXPECT_EQ(page->status2Text(), QString::fromStdString("5 files written to " + out.path()));
    EXPECT_EQ(page->statusText(), "work done");

    // Nothing ticked and a file highlighted: nothing is saved, and the page says why.
    tree()->SetCheck(page->rootItem(), true);
    tree()->SetCheck(page->rootItem(), false);
    EXPECT_TRUE(page->tickedFiles().empty());
    tree()->SelectItem(top("top.bin"));
    page->save();
    EXPECT_EQ(sink.questions().size(), 1u);
    EXPECT_EQ(page->statusText(), "Tick the files to save, or select a folder.");
}

TEST_F(ScanPage, TicksAgreeBetweenTreeAndList) {
    open();
    ASSERT_TRUE(finished());
    Item docs = top("docs");
    clickLabel(docs);
    ASSERT_EQ(listNames(), QStringList({"a.txt", "b.txt", "old.txt"}));
    auto ticked = [&] {
        QList<bool> t;
        for (int r = 0; r < list()->rowCount(); ++r) t << list()->rowChecked(r);
        return t;
    };
    // A folder ticked in the tree ticks the rows of its files.
    tree()->SetCheck(docs, true);
    EXPECT_EQ(ticked(), QList<bool>({true, true, true}));
    EXPECT_EQ(list()->state().headerImage(), controls::CheckListState::kHeaderTicked);
    tree()->SetCheck(childNamed(tree(), docs, "a.txt"), false);
    EXPECT_EQ(ticked(), QList<bool>({false, true, true}));
    EXPECT_EQ(list()->state().headerImage(), controls::CheckListState::kHeaderClear);
    tree()->SetCheck(docs, true);
    tree()->SetCheck(docs, false);
    EXPECT_EQ(ticked(), QList<bool>({false, false, false}));
    // The header box ticks the rows' tree items (the subfolder stays clear).
    list()->headerClick(0);
    for (const char* n : {"a.txt", "b.txt", "old.txt"}) EXPECT_TRUE(tree()->GetCheck(childNamed(tree(), docs, n))) << n;
    EXPECT_FALSE(tree()->GetCheck(childNamed(tree(), docs, "sub")));
    EXPECT_EQ(treeState(docs), Qt::PartiallyChecked);
    list()->headerClick(0);
    EXPECT_EQ(treeState(docs), Qt::Unchecked);
    // Rows come with the tick their tree item has.
    tree()->SetCheck(top("pics"), true);
    clickLabel(top("pics"));
    EXPECT_EQ(ticked(), QList<bool>({true, true, true}));
    page->labelClicked(childNamed(tree(), top("pics"), "p1.jpg"));
    EXPECT_EQ(ticked(), QList<bool>({true}));
    // A row ticked off in the list unticks its item.
    list()->setData(list()->index(0, 0), Qt::Unchecked, Qt::CheckStateRole);
    EXPECT_EQ(treeState(top("pics")), Qt::PartiallyChecked);
}

TEST_F(ScanPage, EnterAsksTheCloseQuestionAndSearchesFromThePattern) {
    open();
    ASSERT_TRUE(finished());
    sink.answer(false);
    tree()->setFocus();
    QTest::keyClick(tree(), Qt::Key_Return);
    ASSERT_EQ(sink.questions().size(), 1u);
    EXPECT_EQ(sink.questions()[0], "Do you want to Close Application ?");
    EXPECT_EQ(sink.parents().back(), page);
    EXPECT_TRUE(page->isVisible());

    // Enter in the pattern searches: every file whose name holds "txt",
    // with its path under ROOT; a top-level file too.
    auto search = [&](const QString& pattern) {
        int done = 0;
        auto c = QObject::connect(page, &VolumeScanDlg::searchFinished, [&] { ++done; });
        page->patternEdit()->setText(pattern);
        page->patternEdit()->setFocus();
        QTest::keyClick(page->patternEdit(), Qt::Key_Return);
        waitFor([&] { return done > 0; });
        QObject::disconnect(c);
        return done;
    };
    ASSERT_EQ(search("txt"), 1);
    EXPECT_EQ(sink.questions().size(), 1u);
    EXPECT_EQ(listNames(), QStringList({"ROOT\\docs\\a.txt", "ROOT\\docs\\b.txt", "ROOT\\docs\\old.txt",
                                        "ROOT\\docs\\sub\\c.txt", "ROOT\\pics\\notes.txt", "ROOT\\loop\\x.txt",
                                        "ROOT\\loop\\y.txt", "ROOT\\gone.txt"}));
    EXPECT_EQ(page->statusText(), "Searching Finished");
    EXPECT_EQ(sink.count("Searching Finished"), 1);
    // "TXT" matches nothing (case matters); "jpg|png" two; "txt(" is refused.
    search("TXT");
    EXPECT_TRUE(listNames().isEmpty());
    search("jpg|png");
    EXPECT_EQ(listNames(), QStringList({"ROOT\\pics\\p1.jpg", "ROOT\\pics\\p2.png"}));
    page->patternEdit()->setText("txt(");
    page->patternEdit()->setFocus();
    QTest::keyClick(page->patternEdit(), Qt::Key_Return);
    EXPECT_TRUE(sink.saw(kBadPatternText));
    // With the filters: deleted files only.
    page->filterBox()->setChecked(true);
    page->findChild<QCheckBox*>("deletedOnly")->setChecked(true);
    search("txt");
    EXPECT_EQ(listNames(), QStringList({"ROOT\\docs\\old.txt", "ROOT\\gone.txt"}));

    // Found rows are ticked and saved like any others.
    ASSERT_TRUE(list()->setData(list()->index(1, 0), Qt::Checked, Qt::CheckStateRole));
    ASSERT_EQ(page->tickedFiles().size(), 1u);
    TempDir out;
    page->setOutputFolder(QString::fromStdString(out.path()));
    sink.answer(true);
    page->save();
    ASSERT_TRUE(waitFor([&] { return sink.saw("work done"); }));
    EXPECT_EQ(readFile(out.path() + "/gone.txt"), "gone\n");
}

// The list always shows what the tree highlights, by mouse or keyboard
// (ROOT and expanded folders too); a search clears the highlight, takes the
// usual wildcards, keeps the list when it refuses a pattern, and its hits
// carry the ticks of the tree, both ways.
TEST_F(ScanPage, ListFollowsTheHighlightAndSearchHitsShareTheTreeTicks) {
    open();
    ASSERT_TRUE(finished());
    Item docs = top("docs");
    Item pics = top("pics");
    tree()->expand(tree()->treeModel()->indexOf(docs));
    QCoreApplication::processEvents();
    clickLabel(pics);
    EXPECT_EQ(listNames(), QStringList({"p1.jpg", "p2.png", "notes.txt"}));
    // The expanded, unticked folder's label: its files.
    clickLabel(docs);
    EXPECT_EQ(tree()->GetSelectedItem(), docs);
    EXPECT_EQ(listNames(), QStringList({"a.txt", "b.txt", "old.txt"}));
    // The keyboard moves the highlight and the list with it.
    tree()->setFocus();
    QTest::keyClick(tree(), Qt::Key_Down);  // docs/a.txt
    EXPECT_EQ(listNames(), QStringList({"a.txt"}));
    QTest::keyClick(tree(), Qt::Key_Up);
    EXPECT_EQ(listNames(), QStringList({"a.txt", "b.txt", "old.txt"}));

    // Hits come with the tree's ticks: a ticked file, and the files of a
    // ticked folder that was never opened.
    tree()->SetCheck(childNamed(tree(), docs, "b.txt"), true);
    tree()->SetCheck(top("loop"), true);
    auto search = [&](const QString& pattern) {
        int done = 0;
        auto c = QObject::connect(page, &VolumeScanDlg::searchFinished, [&] { ++done; });
        page->patternEdit()->setText(pattern);
        page->searchButton()->click();
        waitFor([&] { return done > 0; }, 5000);
        QObject::disconnect(c);
    };
    search("*.TXT");
    const QStringList hits{"ROOT\\docs\\a.txt", "ROOT\\docs\\b.txt", "ROOT\\docs\\old.txt",
                           "ROOT\\docs\\sub\\c.txt", "ROOT\\pics\\notes.txt", "ROOT\\loop\\x.txt",
                           "ROOT\\loop\\y.txt", "ROOT\\gone.txt"};
    ASSERT_EQ(listNames(), hits);
    EXPECT_EQ(tree()->GetSelectedItem(), kNoItem);  // nothing highlighted while hits are listed
    auto ticks = [&] {
        QList<bool> t;
        for (int r = 0; r < list()->rowCount(); ++r) t << list()->rowChecked(r);
        return t;
    };
    EXPECT_EQ(ticks(), QList<bool>({false, true, false, false, false, true, true, false}));
    // Ticking a hit ticks its tree item (opening the folders on its way);
    // ticking in the tree ticks the hit.
    ASSERT_TRUE(list()->setData(list()->index(3, 0), Qt::Checked, Qt::CheckStateRole));  // docs/sub/c.txt
    Item sub = childNamed(tree(), docs, "sub");
    EXPECT_TRUE(tree()->GetCheck(childNamed(tree(), sub, "c.txt")));
    ASSERT_TRUE(list()->setData(list()->index(5, 0), Qt::Unchecked, Qt::CheckStateRole));  // loop/x.txt
    EXPECT_EQ(treeState(top("loop")), Qt::PartiallyChecked);
    tree()->SetCheck(pics, true);
    QCoreApplication::processEvents();
    EXPECT_EQ(ticks(), QList<bool>({false, true, false, true, true, false, true, false}));
    // Save writes exactly what is ticked: the hits and the tree agree.
    EXPECT_EQ(page->tickedFiles().size(), 6u);  // b, c, y and the three of pics

    // A refused pattern says so and keeps the list.
    page->patternEdit()->setText("(txt");
    page->searchButton()->click();
    EXPECT_TRUE(sink.saw(kBadPatternText));
    EXPECT_EQ(listNames(), hits);
    // Without ticks and with hits listed, Save names what to do.
    tree()->SetCheck(page->rootItem(), true);
    tree()->SetCheck(page->rootItem(), false);
    QCoreApplication::processEvents();
    page->save();
    EXPECT_EQ(page->statusText(), "Tick the files to save, or select a folder.");
    EXPECT_TRUE(sink.questions().empty());
    // A click on ROOT after a search lists ROOT's files.
    clickLabel(page->rootItem());
    EXPECT_EQ(listNames(), QStringList({"gone.txt", "top.bin"}));
}

// The close question: No is its default (Escape then Enter keeps
// everything), and it says when the scan's results are not saved.
TEST_F(ScanPage, CloseQuestionDefaultsToNoAndSaysWhatIsNotSaved) {
    open();
    ASSERT_TRUE(finished());
    sink.answer(false);
    QTest::keyClick(tree(), Qt::Key_Escape);
    ASSERT_EQ(sink.closeNotes().size(), 1u);
    EXPECT_EQ(sink.questions().back(), "Do you want to Close Application ?");
    EXPECT_EQ(sink.closeNotes().back(), unsavedNote(true, 0, false));
    EXPECT_NE(sink.closeNotes().back().find("have not been saved"), std::string::npos);
    tree()->SetCheck(top("top.bin"), true);
    sink.answer(false);
    QTest::keyClick(tree(), Qt::Key_Escape);
    EXPECT_EQ(sink.closeNotes().back(), unsavedNote(true, 0, true));

    // The real box: Escape on the page, then Enter in the box answers No.
    // (An exit asked by an earlier test would end the box's loop at once:
    // one run of the main loop takes it.)
    QTimer drain;
    drain.setSingleShot(true);
    QObject::connect(&drain, &QTimer::timeout, [] { QApplication::exit(0); });
    drain.start(0);
    QApplication::exec();
    drain.stop();
    gui::BoxPresenter* scripted = gui::setBoxPresenter(nullptr);
    QString informative;
    bool noByDefault = false, answered = false;
    QTimer look;
    QObject::connect(&look, &QTimer::timeout, [&] {
        for (QWidget* w : QApplication::topLevelWidgets()) {
            auto* box = qobject_cast<QMessageBox*>(w);
            if (!box || !box->isVisible() || answered) continue;
            answered = true;
            informative = box->informativeText();
            noByDefault = box->defaultButton() == box->button(QMessageBox::No);
            QTest::keyClick(box, Qt::Key_Return);
        }
    });
    look.start(20);
    QTest::keyClick(tree(), Qt::Key_Escape);
    look.stop();
    gui::setBoxPresenter(scripted);
    EXPECT_TRUE(answered);
    EXPECT_TRUE(noByDefault);
    EXPECT_EQ(informative.toStdString(), unsavedNote(true, 0, true));
    EXPECT_TRUE(page->isVisible());
    EXPECT_EQ(childTexts(tree(), page->rootItem()).size(), 6);

    // Once something is saved, nothing is said below the question.
    TempDir out;
    page->setOutputFolder(QString::fromStdString(out.path()));
    page->save();
    ASSERT_TRUE(waitFor([&] { return sink.saw("work done"); }));
    sink.answer(false);
    QTest::keyClick(tree(), Qt::Key_Escape);
    EXPECT_EQ(sink.closeNotes().back(), "");
    EXPECT_TRUE(unsavedNote(false, 0, true).empty());  // nothing found, nothing to lose
}

// The end of the scan for a file system with an ending of its own (HFS+:
// "Work Done." in the status line) comes with a box too; the list header
// box is clear on an empty list; "1 file written".
TEST_F(ScanPage, OwnEndingHasItsBoxAndTheHeaderBoxIsClearOnAnEmptyList) {
    open([](FakeParser& p) { p.ownEnding = "Work Done."; });
    ASSERT_TRUE(waitFor([&] { return page->statusText() == "Work Done." && !page->running(); }));
    ASSERT_TRUE(waitFor([&] { return sink.saw("Work Done."); }, 2000));
    EXPECT_FALSE(sink.saw(kScanDoneText));
    EXPECT_EQ(childTexts(tree(), page->rootItem()).size(), 6);
    EXPECT_EQ(list()->rowCount(), 0);
    EXPECT_FALSE(list()->state().headerShownTicked());
    clickLabel(top("pics"));
    list()->headerClick(0);
    EXPECT_TRUE(list()->state().headerShownTicked());
    // A search that finds nothing empties the list: the box shows clear.
    page->patternEdit()->setText("nothing-like-this");
    page->searchButton()->click();
    ASSERT_TRUE(waitFor([&] { return sink.saw("Searching Finished"); }));
    EXPECT_EQ(list()->rowCount(), 0);
    EXPECT_FALSE(list()->state().headerShownTicked());
}

// The output folder is kept for the next volume's page (while it exists).
TEST_F(ScanPage, TheOutputFolderIsRememberedForTheNextVolume) {
    open();
    ASSERT_TRUE(finished());
    TempDir out;
    page->setOutputFolder(QString::fromStdString(out.path()));
    delete page;
    page = nullptr;
    VolumeScanDlg::Options o;
    o.reader = reader;
    o.choose = [](const std::string&, ScanMode) {
        ParserChoice c;
        auto p = std::make_unique<FakeParser>();
        buildSampleTree(*p);
        c.parser = std::move(p);
        c.hasProcedure = true;
        return c;
    };
    VolumeEntry v;
    v.fileSystem = "FAKE";
    v.sizeSectors = 64;
    page = new VolumeScanDlg(opener, v, ScanMode::Standard, o);
    EXPECT_EQ(page->outputFolder().toStdString(), out.path());
    EXPECT_EQ(page->outputFolderLabel()->text().toStdString(), out.path());
    ASSERT_TRUE(finished());
    // Saved there without asking; "1 file written".
    page->itemDoubleClicked(top("top.bin"));
    ASSERT_TRUE(waitFor([&] { return !page->status2Text().isEmpty(); }));
    EXPECT_EQ(page->status2Text().toStdString(), "1 file written to " + out.path());
    EXPECT_TRUE(std::filesystem::exists(out.path() + "/top.bin"));
    EXPECT_EQ(picks, 0);
}

// A save that fills the output disk ends in a warning box with the counts
// (a 64 KiB tmpfs as the output disk; skipped where it cannot be mounted).
TEST_F(ScanPage, AFullOutputDiskEndsInAWarningWithTheCounts) {
    TempDir mnt;
    if (::mount("tmpfs", mnt.path().c_str(), "tmpfs", 0, "size=64k") != 0)
        GTEST_SKIP() << "a tmpfs cannot be mounted here (needs root): " << std::strerror(errno);
    struct Unmount {
        std::string p;
        ~Unmount() { ::umount2(p.c_str(), MNT_DETACH); }
    } unmount{mnt.path()};
    open();
    ASSERT_TRUE(finished());
    page->setOutputFolder(QString::fromStdString(mnt.path()));
    tree()->SelectItem(top("big"));
    page->save();
    ASSERT_TRUE(waitFor([&] { return !sink.warnings().empty(); }));
    const std::string w = sink.warnings().front();
    EXPECT_EQ(w.rfind("The output disk is full: the save stopped.", 0), 0u) << w;
    EXPECT_NE(w.find(" written to " + mnt.path()), std::string::npos) << w;
    EXPECT_NE(w.find("not attempted (no space left on the output disk)"), std::string::npos) << w;
    EXPECT_FALSE(sink.saw("work done"));
    EXPECT_EQ(page->statusText(), "The output disk is full: the save stopped.");
}
