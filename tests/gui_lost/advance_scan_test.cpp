// Advance Scan offscreen: the scan-mode page offers it, the volume list fills
// as the sector scan finds volumes (progress, Pause, Stop), and custom
// volumes go on through Next in both scan modes.
#include <gtest/gtest.h>

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QElapsedTimer>
#include <QLabel>
#include <QLineEdit>
#include <QTimer>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
#include <QRegularExpression>
#include <QTreeWidget>
#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "app/LayerAskDialog.h"
#include "app/Pages.h"
#include "app/Startup.h"
#include "app/VolumeChoice.h"
#include "ui/CurrentSource.h"
#include "ui/PageFactory.h"
#include "ui/RateLabel.h"
#include "tests/support/fixtures.h"
#include "tests/support/luks_image.h"
#include "tests/support/wizard_pages.h"

using namespace brantlow;
using namespace brantlow::gui;

namespace {

class ScriptedSink : public BoxPresenter {
public:
    void info(QWidget*, const QString& text) override { infos.push_back(text.toStdString()); }
    bool question(QWidget*, const QString& text) override {
        questions.push_back(text.toStdString());
        return false;
    }
    std::vector<std::string> infos, questions;
};

// Lets the page's worker run until its scan has ended.
bool waitForScan(PopulateDriveDlg* list, int ms = 60000) {
    QElapsedTimer t;
    t.start();
    while (list->scanning() && t.elapsed() < ms) QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    QCoreApplication::processEvents();
    return !list->scanning();
}

class AdvanceScan : public ::testing::Test {
protected:
    void SetUp() override {
        previous_ = setBoxPresenter(&sink);
        installWizardHooks();
        setScanPageFactory({});
        setRawPageFactory({});
    }
    void TearDown() override {
        delete first;
        flushDeletes();
        setBoxPresenter(previous_);
    }
    // The first page with the image, then the scan-mode page.
    DriveParsingModes* modesFor(const std::string& img) {
        first = createFirstPage(DriveSources{}, {QString::fromStdString(img)});
        first->show();
        first->nextButton()->click();
        return nextPage<DriveParsingModes>(first);
    }
    ScriptedSink sink;
    Physical_DriveDialog* first = nullptr;
    BoxPresenter* previous_ = nullptr;
};

}  // namespace

TEST_F(AdvanceScan, LostTableImageFillsTheListAsVolumesAreFound) {
    BRANTLOW_REQUIRE_IMAGE(lost, "disk_mbr_lost");
    auto manifest = test::fixtureManifest("disk_mbr_lost");
    ASSERT_TRUE(manifest);
    // The lost-table disk, grown to 3 GiB with a sparse tail: the scan is
    // still running over the tail when the four volumes are listed.
    test::TempDir dir;
    const std::string img = dir.path() + "/lost3g.img";
    ASSERT_EQ(std::system(("cp " + lost + " " + img + " && truncate -s 3G " + img).c_str()), 0);
    auto* modes = modesFor(img);
    ASSERT_TRUE(modes);
    // Advance Scan is offered; choosing it offers Do not Skip and the range.
    EXPECT_TRUE(modes->advanceScan()->isEnabled());
    EXPECT_FALSE(modes->doNotSkip()->isEnabled());
    modes->advanceScan()->click();
    EXPECT_TRUE(modes->doNotSkip()->isEnabled());
    EXPECT_TRUE(modes->customSetting()->isEnabled());
    modes->customSetting()->setChecked(true);
    EXPECT_TRUE(modes->startingSector()->isEnabled());
    // Back to Standard: the range is unticked and disabled again.
    modes->standardScan()->click();
    EXPECT_FALSE(modes->customSetting()->isChecked());
    EXPECT_FALSE(modes->doNotSkip()->isEnabled());
    modes->advanceScan()->click();
    screenshot(modes, "1-advance-scan-chosen");

    modes->nextButton()->click();
    auto* list = nextPage<PopulateDriveDlg>(modes);
    ASSERT_TRUE(list);
    EXPECT_EQ(list->options().scanMode, 2);
    EXPECT_TRUE(list->scanning());
    // While the scan runs: progress, Pause and Stop shown; Next, Back and
    // Add Custom Volume disabled.
    EXPECT_TRUE(list->progress()->isVisibleTo(list));
    EXPECT_TRUE(list->stopButton()->isVisibleTo(list));
    EXPECT_TRUE(list->pauseButton()->isVisibleTo(list));
    EXPECT_FALSE(list->nextButton()->isEnabled());
    EXPECT_FALSE(list->backButton()->isEnabled());
    EXPECT_FALSE(list->addCustomButton()->isEnabled());
    EXPECT_EQ(list->progress()->maximum(), 1000);

    // Rows arrive while the scan runs, in the order found, above the
    // whole-disk row; the progress bar moves.
    int rowsSeen = 0, maxProgress = 0;
    QElapsedTimer t;
    t.start();
    while (list->scanning() && t.elapsed() < 60000) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
        if (list->scanning()) {
            rowsSeen = std::max(rowsSeen, list->list()->topLevelItemCount());
            maxProgress = std::max(maxProgress, list->progress()->value());
        }
    }
    ASSERT_TRUE(waitForScan(list));
    EXPECT_GT(maxProgress, 0);
    EXPECT_EQ(rowsSeen, 5);  // the four volumes and the whole disk, before the scan ended
    QStringList starts, names;
    const std::map<std::string, QString> fsName = {
        {"ntfs", "NTFS"}, {"fat32", "FAT32"}, {"ext4", "extX"}, {"exfat", "FAT64"}};
    for (const auto& v : (*manifest)["volumes"]) {
        starts << QString::number(v["offset_sectors"].get<qulonglong>());
        names << fsName.at(v["fs"]);
    }
    starts << "0";
    names << "RAW";
    QTreeWidget* rows = list->list();
    EXPECT_EQ(columnTexts(rows, 3), starts);
    EXPECT_EQ(columnTexts(rows, 1), names);
    EXPECT_EQ(columnTexts(rows, 0), (QStringList{"0", "1", "2", "3", "whole disk"}));
    // The closing texts and box; the controls back.
    ASSERT_FALSE(sink.infos.empty());
    EXPECT_EQ(sink.infos.back(), "populated partitions....");
    EXPECT_EQ(list->statusLine()->text(), "Finished Scanning.");
    EXPECT_EQ(list->hintLine()->text(), "Select volume and click next button...");
    EXPECT_FALSE(list->progress()->isVisibleTo(list));
    EXPECT_FALSE(list->stopButton()->isVisibleTo(list));
    EXPECT_FALSE(list->pauseButton()->isVisibleTo(list));
    EXPECT_TRUE(list->nextButton()->isEnabled());
    EXPECT_TRUE(list->backButton()->isEnabled());
    EXPECT_TRUE(list->addCustomButton()->isVisibleTo(list));
    EXPECT_TRUE(list->addCustomButton()->isEnabled());
    EXPECT_TRUE(list->filterButton()->isEnabled());
    EXPECT_TRUE(list->customSettings()->isEnabled());
    EXPECT_FALSE(list->notice()->isVisibleTo(list));
    EXPECT_EQ(list->lastScan().volumesFound, 4u);
    screenshot(list, "2-advance-scan-list");

    // Filter Entries says what it does and what it did; a second click
    // brings every volume back with its own number.
    EXPECT_TRUE(list->filterButton()->toolTip().startsWith("Filter volume entries.\nKeeps only the volumes"));
    list->filterButton()->click();
    EXPECT_TRUE(list->filterButton()->isChecked());
    EXPECT_EQ(columnTexts(rows, 0), (QStringList{"whole disk"}));
    EXPECT_EQ(list->notice()->text().toStdString(), filteredText(0, 4));
    list->filterButton()->click();
    EXPECT_FALSE(list->filterButton()->isChecked());
    EXPECT_EQ(columnTexts(rows, 0), (QStringList{"0", "1", "2", "3", "whole disk"}));
    EXPECT_FALSE(list->notice()->isVisibleTo(list));

    // The logical exFAT volume goes on to the recovery-mode page.
    rows->setCurrentItem(rows->topLevelItem(3));
    EXPECT_EQ(list->treatAs()->currentText(), "FAT64");
    list->nextButton()->click();
    auto* mode = nextPage<ParceModeNtfsDlg>(list);
    ASSERT_TRUE(mode);
    EXPECT_EQ(mode->volume().fileSystem, "FAT64");
    EXPECT_EQ(mode->volume().startSector, 202752u);
    EXPECT_EQ(mode->volume().sizeSectors, 49152u);
    mode->backButton()->click();
    flushDeletes();

    // A custom volume: added at the top, typed as FAT32 at the FAT32 start.
    list->addCustomButton()->click();
    ASSERT_EQ(rows->topLevelItemCount(), 6);
    EXPECT_EQ(rows->topLevelItem(0)->text(1), "CUSTOM ");
    EXPECT_EQ(rows->topLevelItem(0)->text(0), "4");
    EXPECT_EQ(rows->currentItem(), rows->topLevelItem(0));
    EXPECT_TRUE(list->customSettings()->isChecked());
    // Without a file system chosen it goes nowhere: the page says why.
    EXPECT_EQ(list->treatAs()->currentIndex(), -1);
    list->nextButton()->click();
    EXPECT_EQ(sink.infos.back(), kCustomNeedsType);
    EXPECT_TRUE(list->isVisible());
    EXPECT_EQ(list->findChild<ParceModeNtfsDlg*>(), nullptr);
    list->startSectorEdit()->setText("67584");
    emit list->startSectorEdit()->textEdited("67584");
    list->endSectorEdit()->setText(QString::number(67584 + 81920 - 1));
    emit list->endSectorEdit()->textEdited(list->endSectorEdit()->text());
    list->treatAs()->setCurrentText("FAT32");
    list->nextButton()->click();
    mode = nextPage<ParceModeNtfsDlg>(list);
    ASSERT_TRUE(mode);
    EXPECT_EQ(mode->volume().fileSystem, "fat32");
    EXPECT_EQ(mode->volume().startSector, 67584u);
    EXPECT_EQ(mode->volume().sizeText, "40");
    mode->backButton()->click();
    flushDeletes();
    list->backButton()->click();
    flushDeletes();
    EXPECT_TRUE(modes->isVisible());
}

TEST_F(AdvanceScan, RangeDoNotSkipPauseAndStop) {
    BRANTLOW_REQUIRE_IMAGE(img, "disk_mbr_lost");
    auto* modes = modesFor(img);
    ASSERT_TRUE(modes);
    modes->advanceScan()->click();
    modes->doNotSkip()->setChecked(true);
    modes->customSetting()->setChecked(true);
    modes->startingSector()->setText("60000");
    modes->endingSector()->setText("160000");
    modes->nextButton()->click();
    auto* list = nextPage<PopulateDriveDlg>(modes);
    ASSERT_TRUE(list);
    EXPECT_TRUE(list->options().doNotSkip);
    ASSERT_TRUE(waitForScan(list));
    // Inside the range, without skipping: the NTFS volume that starts
    // before the range, through its backup boot sector (its start is not
    // in the range, so nothing lists it first); the FAT32 volume and its
    // boot sector copy (a volume of its own without skipping); ext, whose
    // superblock copies carry its UUID and add nothing.
    EXPECT_EQ(columnTexts(list->list(), 3), (QStringList{"2048", "67584", "67590", "151552", "0"}));
    list->backButton()->click();
    flushDeletes();
}

TEST_F(AdvanceScan, PauseHoldsAndStopEndsTheScan) {
    // A sparse 16 GiB disk: long enough a scan to pause and stop.
    test::TempDir dir;
    const std::string img = dir.path() + "/big.img";
    ASSERT_EQ(std::system(("truncate -s 16G " + img).c_str()), 0);
    auto* modes = modesFor(img);
    ASSERT_TRUE(modes);
    modes->advanceScan()->click();
    modes->nextButton()->click();
    auto* list = nextPage<PopulateDriveDlg>(modes);
    ASSERT_TRUE(list);
    list->pauseButton()->click();
    EXPECT_EQ(list->pauseButton()->text(), "Resume");
    EXPECT_EQ(list->statusLine()->text(), "Pause button pressed");
    // Paused: the progress stays where it is.
    for (int i = 0; i < 20; ++i) QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    const int held = list->progress()->value();
    for (int i = 0; i < 20; ++i) QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    EXPECT_EQ(list->progress()->value(), held);
    EXPECT_TRUE(list->scanning());
    list->stopButton()->click();
    ASSERT_TRUE(waitForScan(list));
    EXPECT_TRUE(list->lastScan().stopped);
    EXPECT_TRUE(list->notice()->text().contains("stopped")) << list->notice()->text().toStdString();
    // Said as stopped, and where, in the box and the status line.
    const SectorScanResult& r = list->lastScan();
    EXPECT_LT(r.endedAt, r.lastSector);
    EXPECT_EQ(sink.infos.back(), scanStoppedBox(r.endedAt, r.firstSector, r.lastSector));
    EXPECT_TRUE(QString::fromStdString(sink.infos.back()).startsWith("populated partitions....\n\nThe scan was stopped at sector "));
    EXPECT_EQ(list->statusLine()->text().toStdString(), scanStoppedStatus(r.endedAt, r.firstSector, r.lastSector));
    EXPECT_TRUE(list->backButton()->isEnabled());
    EXPECT_TRUE(list->nextButton()->isEnabled());
    // Back while a scan runs is not offered; leaving the page with a
    // paused scan does not hang (the destructor stops and joins it).
    list->backButton()->click();
    flushDeletes();
    modes->nextButton()->click();
    list = nextPage<PopulateDriveDlg>(modes);
    ASSERT_TRUE(list);
    list->pauseButton()->click();
    delete list;
    flushDeletes();
}

TEST_F(AdvanceScan, CustomVolumeInStandardModeGoesOnThroughNext) {
    // Standard Scan of the lost-table image lists only the whole disk; the
    // custom settings of that row make it a volume of the typed start and
    // type.
    BRANTLOW_REQUIRE_IMAGE(img, "disk_mbr_lost");
    auto* modes = modesFor(img);
    ASSERT_TRUE(modes);
    modes->nextButton()->click();
    auto* list = nextPage<PopulateDriveDlg>(modes);
    ASSERT_TRUE(list);
    QTreeWidget* rows = list->list();
    ASSERT_EQ(rows->topLevelItemCount(), 1);
    EXPECT_FALSE(list->addCustomButton()->isVisibleTo(list));
    // Advance Scan is suggested first, raw recovery second.
    EXPECT_EQ(list->notice()->text(), kNothingFoundText);
    EXPECT_LT(list->notice()->text().indexOf("Advance Scan"), list->notice()->text().indexOf("whole disk"));
    rows->setCurrentItem(rows->topLevelItem(0));
    ASSERT_TRUE(list->customSettings()->isEnabled());
    list->customSettings()->setChecked(true);
    list->startSectorEdit()->setText("2048");
    emit list->startSectorEdit()->textEdited("2048");
    list->endSectorEdit()->setText(QString::number(2048 + 65536 - 1));
    emit list->endSectorEdit()->textEdited(list->endSectorEdit()->text());
    list->treatAs()->setCurrentText("NTFS");
    list->nextButton()->click();
    auto* mode = nextPage<ParceModeNtfsDlg>(list);
    ASSERT_TRUE(mode);
    EXPECT_EQ(mode->volume().fileSystem, "ntfs");
    EXPECT_EQ(mode->volume().startSector, 2048u);
    EXPECT_EQ(mode->volume().sizeText, "32");
    EXPECT_TRUE(mode->deepMode()->isVisibleTo(mode));
}

// After an Advance Scan an encrypted volume, once opened, is searched by
// the sector scan too: an ext4 inside whose first superblock is gone is
// found through its copies.
TEST_F(AdvanceScan, EncryptedVolumeIsSearchedInsideWhenChosen) {
    if (!test::haveCryptsetup()) GTEST_SKIP() << "cryptsetup not installed";
    test::TempDir dir;
    const std::string files = dir.path() + "/files", plain = dir.path() + "/ext4.img", img = dir.path() + "/luks.img",
                      key = dir.path() + "/key";
    std::filesystem::create_directories(files);
    for (int i = 0; i < 10; ++i) std::ofstream(files + "/f" + std::to_string(i)) << std::string(3000 * i, 'x');
    ASSERT_EQ(std::system(("mkfs.ext4 -q -F -b 1024 -d " + files + " " + plain + " 16M >/dev/null 2>&1 && dd "
                           "if=/dev/zero of=" + plain + " bs=1024 seek=1 count=1 conv=notrunc status=none").c_str()),
              0);
    std::ofstream(key) << "scan-inside";
    ASSERT_TRUE(test::encryptWithCryptsetup(plain, img, key, "--pbkdf pbkdf2 --pbkdf-force-iterations 1000"));

    auto* modes = modesFor(img);
    ASSERT_TRUE(modes);
    modes->advanceScan()->click();
    modes->nextButton()->click();
    auto* list = nextPage<PopulateDriveDlg>(modes);
    ASSERT_TRUE(list);
    ASSERT_TRUE(waitForScan(list));
    QTreeWidget* rows = list->list();
    ASSERT_EQ(rows->topLevelItemCount(), 2);  // the encrypted volume, the whole disk
    QTreeWidgetItem* layer = rows->topLevelItem(0);
    EXPECT_EQ(layer->text(1), "LUKS2");
    EXPECT_EQ(layer->childCount(), 0);

    // Next on it: the box asks, the scan searches inside.
    int asked = 0;
    QTimer driver;
    driver.setInterval(5);
    QObject::connect(&driver, &QTimer::timeout, [&] {
        if (auto* box = qobject_cast<LayerAskDialog*>(QApplication::activeModalWidget())) {
            ++asked;
            box->passphrase()->setText("scan-inside");
            box->accept();
        }
    });
    driver.start();
    rows->setCurrentItem(layer);
    list->nextButton()->click();
    driver.stop();
    EXPECT_EQ(asked, 1);
    EXPECT_TRUE(list->scanning());
    ASSERT_TRUE(waitForScan(list));
    ASSERT_EQ(layer->childCount(), 1);
    EXPECT_EQ(layer->child(0)->text(0), "0/0");
    EXPECT_EQ(layer->child(0)->text(1), "extX");
    EXPECT_EQ(rows->currentItem(), layer->child(0));
    EXPECT_TRUE(list->nextButton()->isEnabled());
    list->nextButton()->click();
    auto* mode = nextPage<ParceModeNtfsDlg>(list);
    ASSERT_TRUE(mode);
    EXPECT_EQ(mode->volume().fileSystem, "extX");
    EXPECT_EQ(mode->volume().parent, "0");
    ASSERT_TRUE(mode->volume().reader);
}

// A volume the scan has found opens while the scan goes on: the scan holds
// while the volume's pages are up and goes on when the list shows again,
// ending with the list an uninterrupted scan gives. Beside the progress:
// the rate and the time left.
TEST_F(AdvanceScan, FoundVolumeOpensWhileTheScanHoldsAndGoesOn) {
    BRANTLOW_REQUIRE_IMAGE(disk, "disk_mbr");
    // A sparse tail: the scan is still running when the volumes are listed.
    test::TempDir dir;
    const std::string img = dir.path() + "/grown.img";
    ASSERT_EQ(std::system(("cp " + disk + " " + img + " && truncate -s 4G " + img).c_str()), 0);
    auto* modes = modesFor(img);
    ASSERT_TRUE(modes);
    modes->advanceScan()->click();
    modes->nextButton()->click();
    auto* list = nextPage<PopulateDriveDlg>(modes);
    ASSERT_TRUE(list);
    ASSERT_TRUE(waitForScan(list, 120000));
    const QStringList numbers = columnTexts(list->list(), 0), names = columnTexts(list->list(), 1),
                      sizes = columnTexts(list->list(), 2), starts = columnTexts(list->list(), 3);
    ASSERT_EQ(numbers.size(), 5);  // four volumes, the whole disk
    list->backButton()->click();
    flushDeletes();

    modes->nextButton()->click();
    list = nextPage<PopulateDriveDlg>(modes);
    ASSERT_TRUE(list);
    QTreeWidget* rows = list->list();
    QElapsedTimer t;
    t.start();
    while (list->scanning() && rows->topLevelItemCount() < 3 && t.elapsed() < 60000)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
    ASSERT_TRUE(list->scanning()) << "the scan ended before a volume could be opened";
    // The whole disk waits for the end of the scan; a found volume opens now.
    rows->setCurrentItem(rows->topLevelItem(rows->topLevelItemCount() - 1));
    EXPECT_FALSE(list->nextButton()->isEnabled());
    rows->setCurrentItem(rows->topLevelItem(0));
    EXPECT_TRUE(list->nextButton()->isEnabled());
    EXPECT_FALSE(list->nextButton()->toolTip().isEmpty());
    EXPECT_TRUE(list->hintLine()->text().contains("the scan pauses"));
    list->nextButton()->click();
    auto* mode = nextPage<ParceModeNtfsDlg>(list);
    ASSERT_TRUE(mode);
    EXPECT_EQ(mode->volume().startSector, starts[0].toULongLong());
    EXPECT_EQ(list->statusLine()->text(), "Scan paused while the volume 0 is open");
    // Held while the volume's page is up.
    for (int i = 0; i < 20; ++i) QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    const int held = list->progress()->value();
    for (int i = 0; i < 30; ++i) QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    EXPECT_EQ(list->progress()->value(), held);
    EXPECT_TRUE(list->scanning());
    EXPECT_LT(held, 1000);

    // Back on the list: the scan goes on from where it was, with its rate
    // and time left once a few seconds have run.
    mode->backButton()->click();
    flushDeletes();
    EXPECT_TRUE(list->isVisible());
    // The scan's own lines again: the resume's, or already the next volume
    // it found (on a busy machine the scan may get there first).
    const QString going = list->statusLine()->text();
    EXPECT_TRUE(going == "Scanning partition....." || going.startsWith("found ")) << going.toStdString();
    QString rate;
    t.restart();
    while (list->scanning() && t.elapsed() < 120000) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
        if (!list->scanning() || list->rateLine()->text().isEmpty()) continue;
        if (rate.isEmpty()) screenshot(list, "3-scan-rate-and-time-left");
        rate = list->rateLine()->text();
    }
    const qint64 ran = t.elapsed();
    ASSERT_TRUE(waitForScan(list));
    if (ran > 5000) {  // time enough for the rate and the estimate
        EXPECT_TRUE(rate.contains(QRegularExpression("^[0-9.]+ [kMG]?B/s, about [0-9]+ (s|min) left$")))
            << rate.toStdString();
    }
    EXPECT_TRUE(list->rateLine()->text().isEmpty());
    EXPECT_EQ(columnTexts(rows, 0), numbers);
    EXPECT_EQ(columnTexts(rows, 1), names);
    EXPECT_EQ(columnTexts(rows, 2), sizes);
    EXPECT_EQ(columnTexts(rows, 3), starts);
    EXPECT_FALSE(list->lastScan().stopped);
    EXPECT_EQ(sink.infos.back(), "populated partitions....");
    EXPECT_EQ(list->statusLine()->text(), "Finished Scanning.");
    EXPECT_TRUE(list->nextButton()->isEnabled());
    list->backButton()->click();
    flushDeletes();
}
