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
