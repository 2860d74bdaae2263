// Advanced mode through the wizard, offscreen: the recovery-mode page, the
// advanced-input page with its candidate search on a worker, and the scan
// page started from the chosen candidate.
#include <gtest/gtest.h>

#include <QApplication>
#include <QComboBox>
#include <QCheckBox>
#include <QElapsedTimer>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QTest>
#include <QTreeWidget>
#include <filesystem>
#include <fstream>

#include "app/AdvanceOptions.h"
#include "app/Pages.h"
#include "app/Startup.h"
#include "disk/reader.h"
#include "scan/gui/VolumeScanDlg.h"
#include "tests/support/fixtures.h"
#include "ui/CurrentSource.h"
#include "ui/PageFactory.h"

using namespace brantlow;
using namespace brantlow::gui;

namespace {

class Boxes : public BoxPresenter {
public:
    void info(QWidget*, const QString& text) override { infos.push_back(text.toStdString()); }
    bool question(QWidget*, const QString&) override { return false; }
    std::vector<std::string> infos;
};

bool waitFor(const std::function<bool()>& cond, int ms = 60000) {
    QElapsedTimer t;
    t.start();
    while (!cond() && t.elapsed() < ms) QTest::qWait(20);
    return cond();
}

// ntfs.img with its boot sector and MFT records 0-3 zeroed.
std::string zeroedNtfs(const std::string& img, const std::string& dir) {
    const std::string out = dir + "/ntfs_zeroed.img";
    std::filesystem::copy_file(img, out, std::filesystem::copy_options::overwrite_existing);
    std::fstream f(out, std::ios::in | std::ios::out | std::ios::binary);
    std::string zeros(4096, '\0');
    f.write(zeros.data(), 512);
    f.seekp(4 * 4096);
    f.write(zeros.data(), 4096);
    return out;
}

class AdvancedPage : public ::testing::Test {
protected:
    void SetUp() override { previous_ = setBoxPresenter(&boxes); }
    void TearDown() override {
        setBoxPresenter(previous_);
        setScanPageFactory({});
        g_deviceReader.reset();
    }
    Boxes boxes;
    BoxPresenter* previous_ = nullptr;
};

TEST_F(AdvancedPage, NtfsAdvancedModeThroughTheAdvancedInputPageToTheScanPage) {
    BRANTLOW_REQUIRE_IMAGE(img, "ntfs");
    test::TempDir dir;
    auto reader = std::make_shared<FileReadSeek>();
    ASSERT_TRUE(reader->Open(zeroedNtfs(img, dir.path())));
    g_deviceReader = reader;
    installWizardHooks();

    VolumeEntry v{"ntfs", "", "0", "64   MB", 0, 131072};
    WizardPage opener("Volume list");
    auto* modes = new ParceModeNtfsDlg(ParceModeNtfsDlg::kFromVolumeList, v, &opener);
    modes->show();
    ASSERT_TRUE(modes->advancedMode()->isEnabled());
    modes->advancedMode()->click();
    EXPECT_TRUE(modes->maxFileSystems()->isVisible());
    EXPECT_FALSE(modes->driveFormatted()->isVisible());  // FAT only
    EXPECT_EQ(modes->maxCandidates(), 3);                // empty box
    modes->nextButton()->click();

    auto* adv = modes->findChild<advanceOptions*>();
    ASSERT_NE(adv, nullptr);
    EXPECT_EQ(adv->maxCandidates(), 3);
    // While the search runs, neither Next nor Back.
    ASSERT_TRUE(waitFor([&] { return adv->statusLine()->text() == "Parsing done.Click next to continue."; }))
        << adv->statusLine()->text().toStdString();
    EXPECT_TRUE(adv->nextButton()->isEnabled());
    EXPECT_TRUE(adv->backButton()->isEnabled());
    EXPECT_EQ(adv->candidateLabel()->text(), "TFS [Total File system entries]:");
    ASSERT_EQ(adv->candidates()->count(), 1);
    EXPECT_EQ(adv->candidates()->itemText(0), "MFT_ENTRY:0");
    // Beside it: where the candidate lies and what it is, as the CLI says.
    const QString where = QString("byte %1 (sector %2), mirror copy of $MFT").arg(8191ll * 4096).arg(8191ll * 8);
    EXPECT_TRUE(adv->candidateDetail()->text().startsWith(where)) << adv->candidateDetail()->text().toStdString();
    ASSERT_EQ(adv->candidateTable()->topLevelItemCount(), 1);
    EXPECT_EQ(adv->candidateTable()->topLevelItem(0)->text(1), QString::number(8191ll * 4096));
    EXPECT_TRUE(adv->candidateTable()->topLevelItem(0)->text(3).startsWith("mirror copy of $MFT"));
    // The cluster size the mirror's runs agree with heads the list.
    EXPECT_EQ(adv->sectorsPerCluster()->currentText(), "8");
    EXPECT_FALSE(adv->heapOffsets()->isVisible());
    ASSERT_FALSE(boxes.infos.empty());
    EXPECT_EQ(boxes.infos.back(),
              "Number of MFT-ENTRY found = 1 . Please select the choice from combo box and click Next button to proceed.");
    const ScanOptions o = adv->chosenOptions();
    EXPECT_EQ(o.advancedCandidate, 8191ll * 4096);  // the mirror's copy of $MFT
    EXPECT_EQ(o.advancedClusterShift, 3);

    // Next: the scan page in Advanced mode lists the volume's folders.
    adv->nextButton()->click();
    auto* scan = adv->findChild<VolumeScanDlg*>();
    ASSERT_NE(scan, nullptr);
    ASSERT_TRUE(waitFor([&] { return !scan->running() && scan->parser(); }));
    EXPECT_EQ(scan->scanMode(), 2);
    std::vector<std::string> names;
    for (EntryId c : scan->parser()->children(kRootId)) {
        EntryInfo info;
        if (scan->parser()->entryInfo(c, info)) names.push_back(info.name);
    }
    EXPECT_NE(std::find(names.begin(), names.end(), "Documents"), names.end()) << ::testing::PrintToString(names);
    scan->stopWork();
    delete modes;
}

TEST_F(AdvancedPage, StopEndsTheSearchAndBackReturnsToTheModePage) {
    BRANTLOW_REQUIRE_IMAGE(img, "fat32");
    auto reader = std::make_shared<FileReadSeek>();
    ASSERT_TRUE(reader->Open(img));
    g_deviceReader = reader;
    VolumeEntry v{"FAT32", "", "0", "48   MB", 0, 98304};
    WizardPage opener("Volume list");
    auto* modes = new ParceModeNtfsDlg(ParceModeNtfsDlg::kFromVolumeList, v, &opener);
    modes->show();
    modes->advancedMode()->click();
    EXPECT_TRUE(modes->driveFormatted()->isVisible());
    modes->driveFormatted()->setChecked(true);
    modes->maxFileSystems()->setText("1");
    modes->nextButton()->click();
    auto* adv = modes->findChild<advanceOptions*>();
    ASSERT_NE(adv, nullptr);
    EXPECT_EQ(adv->maxCandidates(), 1);
    adv->pauseButton()->click();
    adv->resumeButton()->click();
    adv->stopButton()->click();
    ASSERT_TRUE(waitFor([&] { return adv->backButton()->isEnabled(); }));
    EXPECT_EQ(adv->statusLine()->text(), "Parsing done.Click Next to continue.");
    EXPECT_TRUE(adv->chosenOptions().driveFormatted);
    adv->backButton()->click();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    QCoreApplication::processEvents();
    EXPECT_TRUE(modes->isVisible());
    delete modes;
}

// Several candidates: each is listed with where it lies, the best one is
// chosen and marked, and a row of the table chooses its candidate.
TEST_F(AdvancedPage, CandidatesShowWhereTheyAreAndWhichIsBest) {
    BRANTLOW_REQUIRE_IMAGE(img, "fat32");
    auto reader = std::make_shared<FileReadSeek>();
    ASSERT_TRUE(reader->Open(img));
    g_deviceReader = reader;
    VolumeEntry v{"FAT32", "", "0", "48   MB", 0, 98304};
    WizardPage opener("Recovery mode");
    advanceOptions page(v, 3, ScanOptions{}, &opener);
    page.show();
    ASSERT_TRUE(waitFor([&] { return page.nextButton()->isEnabled(); }));
    const AdvancedSearch& found = page.result();
    ASSERT_GE(found.candidates.size(), 2u);
    QTreeWidget* table = page.candidateTable();
    ASSERT_EQ(table->topLevelItemCount(), static_cast<int>(found.candidates.size()));
    const int best = static_cast<int>(firstCandidate(found));
    EXPECT_EQ(page.candidates()->currentIndex(), best);
    for (int i = 0; i < table->topLevelItemCount(); ++i) {
        const AdvancedCandidate& c = found.candidates[static_cast<size_t>(i)];
        EXPECT_EQ(page.candidates()->itemText(i).toStdString(), c.label);  // the list's own text
        EXPECT_EQ(table->topLevelItem(i)->text(1), QString::number(c.position));
        EXPECT_EQ(table->topLevelItem(i)->text(2), QString::number(c.position / 512));
        EXPECT_EQ(table->topLevelItem(i)->text(4), i == best ? "best" : "");
        EXPECT_EQ(page.candidates()->itemData(i, Qt::ToolTipRole).toString().toStdString(),
                  candidateDetail(c, i == best));
    }
    EXPECT_TRUE(page.candidateDetail()->text().endsWith(", best")) << page.candidateDetail()->text().toStdString();
    const int other = best == 0 ? 1 : 0;
    table->setCurrentItem(table->topLevelItem(other));
    EXPECT_EQ(page.candidates()->currentIndex(), other);
    EXPECT_FALSE(page.candidateDetail()->text().endsWith(", best"));
    EXPECT_EQ(page.chosenOptions().advancedCandidate, found.candidates[static_cast<size_t>(other)].position);
}

TEST_F(AdvancedPage, EarlierFileSystemListedAndOpenedFromItsRow) {
    BRANTLOW_REQUIRE_IMAGE(img, "reformat_exfat_to_ntfs");
    auto reader = std::make_shared<FileReadSeek>();
    ASSERT_TRUE(reader->Open(img));
    g_deviceReader = reader;
    installWizardHooks();
    VolumeEntry v{"NTFS", "", "0", "48   MB", 0, 98304};
    WizardPage opener("Recovery mode");
    auto* page = new advanceOptions(v, 3, ScanOptions{}, &opener);
    page->show();
    ASSERT_TRUE(waitFor([&] { return page->nextButton()->isEnabled(); }));
    QTreeWidget* earlier = page->earlierTable();
    ASSERT_GE(earlier->topLevelItemCount(), 1);
    EXPECT_TRUE(earlier->isVisible());
    EXPECT_EQ(earlier->topLevelItem(0)->text(0), "FAT64");
    earlier->setCurrentItem(earlier->topLevelItem(0));
    page->nextButton()->click();
    auto* scan = page->findChild<VolumeScanDlg*>();
    ASSERT_NE(scan, nullptr);
    ASSERT_TRUE(waitFor([&] { return !scan->running() && scan->parser(); }));
    EXPECT_EQ(scan->scanMode(), 2);
    size_t entries = 0;
    std::vector<EntryId> todo = scan->parser()->children(kRootId);
    while (!todo.empty() && entries < 10000) {
        const EntryId e = todo.back();
        todo.pop_back();
        ++entries;
        for (EntryId c : scan->parser()->children(e)) todo.push_back(c);
    }
    EXPECT_GE(entries, 42u);  // the earlier exFAT's files, not the new NTFS's handful
    scan->stopWork();
    delete page;
}

TEST_F(AdvancedPage, UnknownFileSystemStartsNoSearchButLeavesBack) {
    g_deviceReader = std::make_shared<FileReadSeek>();
    VolumeEntry v{"FAT12", "", "0", "1   MB", 0, 2048};
    WizardPage opener("Recovery mode");
    advanceOptions page(v, 0, ScanOptions{}, &opener);
    EXPECT_FALSE(page.searching());
    EXPECT_TRUE(page.backButton()->isEnabled());
    EXPECT_FALSE(page.nextButton()->isEnabled());
}

}  // namespace
