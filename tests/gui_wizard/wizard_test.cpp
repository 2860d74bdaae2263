// The wizard walked offscreen on a partitioned image: drives and volumes,
// scan mode, the volume list, the recovery modes, Back, the ways out, the
// About box and the single-instance rule. Saves a screenshot of each page.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QFileDialog>
#include <QLabel>
#include <QLineEdit>
#include <QElapsedTimer>
#include <QMenu>
#include <QMessageBox>
#include <QTextBrowser>
#include <QPushButton>
#include <QRadioButton>
#include <QTest>
#include <QTimer>
#include <QToolButton>
#include <QTreeWidget>
#include <deque>
#include <fstream>

#include "app/CBrantlowAboutDlg.h"
#include "app/LayerAskDialog.h"
#include "app/Pages.h"
#include "app/RaidParametersDialog.h"
#include "ui/PageFactory.h"
#include "app/Startup.h"
#include "app/VolumeChoice.h"
#include "raw/gui/RawRecoveryDialog.h"
#include "raw/gui/RawRecoveryPage.h"
#include "ui/HelpWindow.h"
#include "disk/reader.h"
#include "ui/CurrentSource.h"
#include "tests/support/fixtures.h"
#include "tests/support/layered_disk.h"
#include "tests/support/luks_image.h"
#include "tests/support/raid_sets.h"
#include "tests/support/wizard_pages.h"

using namespace brantlow;
using namespace brantlow::gui;

namespace {

// Records every box with its parent and answers questions from a script
// (No when empty).
class ScriptedSink : public BoxPresenter {
public:
    void info(QWidget* parent, const QString& text) override {
        infos.push_back(text.toStdString());
        parents.push_back(parent);
    }
    bool question(QWidget* parent, const QString& text) override {
        questions.push_back(text.toStdString());
        parents.push_back(parent);
        if (answers.empty()) return false;
        bool a = answers.front();
        answers.pop_front();
        return a;
    }
    std::vector<std::string> infos, questions;
    std::vector<QWidget*> parents;
    std::deque<bool> answers;
};

// Stands in for the scan and raw recovery pages, which these tests leave
// out: what the page was opened with.
class StandInPage : public WizardPage {
    Q_OBJECT
public:
    StandInPage(const QString& page, const VolumeEntry& v, const QString& mode, WizardPage* opener)
        : WizardPage(page, opener) {
        auto q = [](const std::string& s) { return QString::fromStdString(s); };
        summary_ = QStringList{"page=" + page,
                               "fileSystem=" + q(v.fileSystem),
                               "sizeText=" + q(v.sizeText),
                               "startSector=" + QString::number(static_cast<qulonglong>(v.startSector)),
                               "sizeSectors=" + QString::number(static_cast<qulonglong>(v.sizeSectors)),
                               "mode=" + mode}
                       .join("; ");
    }
    QString summary() const { return summary_; }

private:
    QString summary_;
};

void standInForScanAndRawPages() {
    setScanPageFactory([](WizardPage* opener, const VolumeEntry& v, ScanMode m, const ScanOptions&) -> WizardPage* {
        const char* mode = m == ScanMode::Deep ? "Deep" : m == ScanMode::Advanced ? "Advanced" : "Standard";
        return new StandInPage("scan", v, mode, opener);
    });
    setRawPageFactory([](WizardPage* opener, const VolumeEntry& v) -> WizardPage* {
        return new StandInPage("raw", v, "RAW", opener);
    });
}

// The message sink of start-up, before any page exists.
class RecordingSink : public MessageSink {
public:
    void info(const std::string& text) override { infos.push_back(text); }
    std::vector<std::string> infos;
};

class Wizard : public ::testing::Test {
protected:
    void SetUp() override {
        previous_ = setBoxPresenter(&sink);
        installWizardHooks();
        // These tests walk the wizard alone: stand-ins take the scan and raw pages' places.
        standInForScanAndRawPages();
    }
    void TearDown() override {
        delete first;
        flushDeletes();
        setBoxPresenter(previous_);
    }
    Physical_DriveDialog* start(const DriveSources& s, const QStringList& images) {
        first = createFirstPage(s, images);
        first->show();
        return first;
    }
    ScriptedSink sink;
    Physical_DriveDialog* first = nullptr;
    BoxPresenter* previous_ = nullptr;
};

}  // namespace

TEST_F(Wizard, StandardScanChainOnAPartitionedImage) {
    BRANTLOW_REQUIRE_IMAGE(img, "disk_mbr");
    auto manifest = test::fixtureManifest("disk_mbr");
    start(DriveSources{}, {QString::fromStdString(img)});

    // First page: the image is listed under the drives and selected.
    ASSERT_EQ(first->tree()->topLevelItemCount(), 2);
    EXPECT_EQ(first->volumesRoot()->text(0), "     VOLUMES:");
    EXPECT_EQ(first->drivesRoot()->text(0), "     PHYSICAL DRIVES:");
    ASSERT_EQ(first->drivesRoot()->childCount(), 1);
    EXPECT_EQ(first->selectedDrivePath(), QString::fromStdString(img));
    EXPECT_FALSE(first->notice()->isVisibleTo(first));
    EXPECT_EQ(first->windowTitle(), "Brantlow v1.0");
    EXPECT_FALSE(first->backButton()->isVisible());
    screenshot(first, "1-drives-and-volumes");

    // Scan-mode page.
    first->nextButton()->click();
    auto* modes = nextPage<DriveParsingModes>(first);
    ASSERT_TRUE(modes);
    EXPECT_FALSE(first->isVisible());
    EXPECT_EQ(modes->drivePath(), QString::fromStdString(img));
    EXPECT_TRUE(modes->standardScan()->isChecked());
    EXPECT_TRUE(modes->advanceScan()->isEnabled());
    EXPECT_FALSE(modes->customSetting()->isEnabled());
    EXPECT_FALSE(modes->doNotSkip()->isEnabled());
    EXPECT_EQ(modes->startingSector()->text(), "0");
    EXPECT_EQ(modes->endingSector()->text(), "0");
    ASSERT_TRUE(g_deviceReader);
    EXPECT_GT(g_totalSectors.load(), 0u);
    screenshot(modes, "2-scan-mode");

    // Back keeps the first page's selection; Next again makes a fresh page.
    modes->backButton()->click();
    flushDeletes();
    EXPECT_TRUE(first->isVisible());
    EXPECT_EQ(first->selectedDrivePath(), QString::fromStdString(img));
    first->nextButton()->click();
    modes = nextPage<DriveParsingModes>(first);
    ASSERT_TRUE(modes);

    // With "GPT format" ticked, then Back: the box is still ticked.
    modes->gptFormat()->setChecked(true);
    modes->nextButton()->click();
    auto* list = nextPage<PopulateDriveDlg>(modes);
    ASSERT_TRUE(list);
    EXPECT_TRUE(list->options().useGpt);
    list->backButton()->click();
    flushDeletes();
    EXPECT_TRUE(modes->isVisible());
    EXPECT_TRUE(modes->gptFormat()->isChecked());
    modes->gptFormat()->setChecked(false);

    // Volume list.
    modes->nextButton()->click();
    list = nextPage<PopulateDriveDlg>(modes);
    ASSERT_TRUE(list);
    EXPECT_FALSE(list->options().useGpt);
    EXPECT_EQ(list->options().scanMode, 1);
    QTreeWidget* rows = list->list();
    ASSERT_EQ(rows->columnCount(), 4);
    EXPECT_EQ(rows->headerItem()->text(0), "VOLUME");
    EXPECT_EQ(rows->headerItem()->text(1), "FILE_SYSTEM");
    EXPECT_EQ(rows->headerItem()->text(2), "VOLUME_SIZE");
    EXPECT_EQ(rows->headerItem()->text(3), "START_SECTOR");
    EXPECT_EQ(columnTexts(rows, 1), (QStringList{"NTFS", "FAT32", "extX", "FAT64", "RAW"}));
    EXPECT_EQ(columnTexts(rows, 0), (QStringList{"0", "1", "2", "3", "whole disk"}));
    if (manifest) {
        QStringList starts;
        for (const auto& v : (*manifest)["volumes"]) starts << QString::number(v["offset_sectors"].get<qulonglong>());
        starts << "0";
        EXPECT_EQ(columnTexts(rows, 3), starts);
    }
    EXPECT_EQ(list->statusLine()->text(), "Finished Scanning.");
    EXPECT_EQ(list->hintLine()->text(), "Select volume and click next button...");
    EXPECT_FALSE(list->addCustomButton()->isVisibleTo(list));
    EXPECT_TRUE(list->filterButton()->isEnabled());
    EXPECT_TRUE(list->customSettings()->isEnabled());
    EXPECT_FALSE(list->customSettings()->isChecked());
    EXPECT_FALSE(list->startSectorEdit()->isEnabled());

    // The whole disk is offered as the last row.
    ASSERT_EQ(rows->topLevelItemCount(), 5);
    QTreeWidgetItem* whole = rows->topLevelItem(4);
    EXPECT_EQ(whole->text(0), "whole disk");
    EXPECT_EQ(whole->text(1), "RAW");
    EXPECT_EQ(whole->text(3), "0");
    EXPECT_EQ(whole->text(2), QString::fromStdString(sizeTextMbSpaces2(g_totalSectors.load() / 2048)));
    EXPECT_FALSE(list->notice()->isVisibleTo(list));

    // Next with no row: refused, in a box of this page.
    list->nextButton()->click();
    ASSERT_FALSE(sink.infos.empty());
    EXPECT_EQ(sink.infos.back(), "please select a valid volume.");
    EXPECT_EQ(sink.parents.back(), list);
    EXPECT_TRUE(list->isVisible());

    // Selecting the FAT32 row fills the custom controls.
    rows->setCurrentItem(rows->topLevelItem(1));
    EXPECT_EQ(list->selectedVolumeLabel()->text(), "1");
    EXPECT_EQ(list->startSectorEdit()->text(), "67584");
    EXPECT_EQ(list->endSectorEdit()->text(), QString::number(67584 + 40 * 2048 - 1));
    EXPECT_EQ(list->treatAs()->currentText(), "FAT32");
    screenshot(list, "3-volume-list");

    // Recovery mode for FAT32: Standard and Advanced, no Deep.
    list->nextButton()->click();
    auto* mode = nextPage<ParceModeNtfsDlg>(list);
    ASSERT_TRUE(mode);
    EXPECT_EQ(mode->openerKind(), ParceModeNtfsDlg::kFromVolumeList);
    EXPECT_EQ(mode->volume().fileSystem, "FAT32");
    EXPECT_EQ(mode->volume().startSector, 67584u);
    EXPECT_EQ(mode->fsPrefix(), "FAT");
    EXPECT_TRUE(mode->standardMode()->isVisibleTo(mode));
    EXPECT_TRUE(mode->advancedMode()->isVisibleTo(mode));
    EXPECT_FALSE(mode->deepMode()->isVisibleTo(mode));
    EXPECT_TRUE(mode->standardMode()->isChecked());
    EXPECT_FALSE(mode->maxFileSystems()->isVisibleTo(mode));
    EXPECT_FALSE(mode->driveFormatted()->isVisibleTo(mode));
    screenshot(mode, "4-recovery-mode");

    // Back: the FAT32 row is still selected; take the NTFS row instead.
    mode->backButton()->click();
    flushDeletes();
    ASSERT_TRUE(list->isVisible());
    EXPECT_EQ(rows->currentItem(), rows->topLevelItem(1));
    rows->setCurrentItem(rows->topLevelItem(0));
    list->nextButton()->click();
    mode = nextPage<ParceModeNtfsDlg>(list);
    ASSERT_TRUE(mode);
    EXPECT_TRUE(mode->standardMode()->isVisibleTo(mode));
    EXPECT_TRUE(mode->advancedMode()->isVisibleTo(mode));
    EXPECT_TRUE(mode->deepMode()->isVisibleTo(mode));

    // Deep, Next: the scan page (its stand-in).
    mode->deepMode()->click();
    EXPECT_EQ(mode->recoveryMode(), 3);
    mode->nextButton()->click();
    auto* scan = nextPage<StandInPage>(mode);
    ASSERT_TRUE(scan);
    EXPECT_TRUE(scan->summary().contains("mode=Deep"));
    EXPECT_TRUE(scan->summary().contains("startSector=2048"));
    EXPECT_TRUE(scan->summary().contains("fileSystem=NTFS"));
    EXPECT_TRUE(scan->summary().contains("sizeSectors=65536"));
    screenshot(scan, "5-scan-placeholder");
    scan->backButton()->click();
    flushDeletes();
    EXPECT_TRUE(mode->isVisible());
    EXPECT_TRUE(mode->deepMode()->isChecked());
    mode->backButton()->click();
    flushDeletes();

    // ext offers Standard only.
    rows->setCurrentItem(rows->topLevelItem(2));
    list->nextButton()->click();
    mode = nextPage<ParceModeNtfsDlg>(list);
    ASSERT_TRUE(mode);
    EXPECT_TRUE(mode->standardMode()->isVisibleTo(mode));
    EXPECT_FALSE(mode->advancedMode()->isVisibleTo(mode));
    EXPECT_FALSE(mode->deepMode()->isVisibleTo(mode));
    mode->backButton()->click();
    flushDeletes();

    // Back through the chain to the first page.
    list->backButton()->click();
    flushDeletes();
    EXPECT_TRUE(modes->isVisible());
    modes->backButton()->click();
    flushDeletes();
    EXPECT_TRUE(first->isVisible());
}

TEST_F(Wizard, CustomSettingsAreCheckedAndRawGoesToTheRawPage) {
    BRANTLOW_REQUIRE_IMAGE(img, "disk_mbr");
    start(DriveSources{}, {QString::fromStdString(img)});
    first->nextButton()->click();
    auto* modes = nextPage<DriveParsingModes>(first);
    ASSERT_TRUE(modes);
    modes->nextButton()->click();
    auto* list = nextPage<PopulateDriveDlg>(modes);
    ASSERT_TRUE(list);
    const uint64_t total = g_totalSectors.load();
    ASSERT_GT(total, 0u);
    QTreeWidget* rows = list->list();
    rows->setCurrentItem(rows->topLevelItem(3));
    list->customSettings()->setChecked(true);
    EXPECT_TRUE(list->startSectorEdit()->isEnabled());

    struct Case {
        QString start, end, message;
    } cases[] = {
        {"12x", "100", kBadStartSector},
        {"100", "", kBadEndSector},
        {"5000", "4999", kEndBeforeStart},
        {"0", QString::number(total), QString::fromStdString(beyondDiskMessage(total))},
    };
    for (const auto& c : cases) {
        list->startSectorEdit()->setText(c.start);
        list->endSectorEdit()->setText(c.end);
        list->nextButton()->click();
        ASSERT_FALSE(sink.infos.empty());
        EXPECT_EQ(QString::fromStdString(sink.infos.back()), c.message);
        EXPECT_TRUE(list->isVisible());
    }

    // The up and down buttons: 64-bit values, down stops at 0.
    list->startSectorEdit()->setText("4294967295");
    auto* up = list->findChild<QToolButton*>("startSectorUp");
    auto* down = list->findChild<QToolButton*>("startSectorDown");
    ASSERT_TRUE(up && down);
    up->click();
    EXPECT_EQ(list->startSectorEdit()->text(), "4294967296");
    down->click();
    EXPECT_EQ(list->startSectorEdit()->text(), "4294967295");
    list->startSectorEdit()->setText("0");
    down->click();
    EXPECT_EQ(list->startSectorEdit()->text(), "0");

    // "RAW": the raw recovery page (its stand-in).
    list->startSectorEdit()->setText("202752");
    list->endSectorEdit()->setText("251903");
    list->treatAs()->setCurrentText("RAW");
    list->nextButton()->click();
    auto* raw = nextPage<StandInPage>(list);
    ASSERT_TRUE(raw);
    EXPECT_TRUE(raw->summary().contains("fileSystem=RAW"));
    EXPECT_TRUE(raw->summary().contains("page=raw"));
    EXPECT_TRUE(raw->summary().contains("sizeText=24"));
    screenshot(raw, "6-raw-placeholder");
    raw->backButton()->click();
    flushDeletes();

    // Treated as NTFS: the recovery page gets "ntfs" and the typed start.
    list->treatAs()->setCurrentText("NTFS");
    list->startSectorEdit()->setText("2048");
    list->endSectorEdit()->setText("67583");
    list->nextButton()->click();
    auto* mode = nextPage<ParceModeNtfsDlg>(list);
    ASSERT_TRUE(mode);
    EXPECT_EQ(mode->volume().fileSystem, "ntfs");
    EXPECT_EQ(mode->volume().startSector, 2048u);
    EXPECT_EQ(mode->volume().sizeText, "32");
    EXPECT_EQ(mode->volume().sizeSectors, 65536u);
}

TEST_F(Wizard, NextNeedsADriveOrVolumeAndEscapeNoKeepsThePage) {
    start(DriveSources{}, {});
    first->tree()->setCurrentItem(first->volumesRoot());
    first->nextButton()->click();
    ASSERT_EQ(sink.infos.size(), 1u);
    EXPECT_EQ(sink.infos[0], "Please select a volume or a drive..");
    EXPECT_TRUE(first->isVisible());

    sink.answers = {false};
    QTest::keyClick(first, Qt::Key_Escape);
    ASSERT_EQ(sink.questions.size(), 1u);
    EXPECT_EQ(sink.questions[0], "Do you want to Close Application ?");
    EXPECT_TRUE(first->isVisible());
    EXPECT_EQ(first->tree()->currentItem(), first->volumesRoot());

    // The close box asks the same.
    sink.answers = {false};
    first->close();
    EXPECT_EQ(sink.questions.size(), 2u);
    EXPECT_TRUE(first->isVisible());
}

// Enter never ends the program silently: on a page it asks the close
// question, as Escape does; in an edit it does only what the edit does.
TEST_F(Wizard, EnterAsksTheCloseQuestionOnEveryPage) {
    BRANTLOW_REQUIRE_IMAGE(img, "disk_mbr");
    start(DriveSources{}, {QString::fromStdString(img)});
    size_t asked = 0;
    auto enterOn = [&](WizardPage* page, QWidget* target) {
        target->setFocus();
        QTest::keyClick(target, Qt::Key_Return);
        ASSERT_EQ(sink.questions.size(), ++asked) << page->objectName().toStdString();
        EXPECT_EQ(sink.questions.back(), "Do you want to Close Application ?");
        EXPECT_EQ(sink.parents.back(), page);
        EXPECT_TRUE(page->isVisible());  // answered No
    };
    enterOn(first, first->tree());
    first->nextButton()->click();
    auto* modes = nextPage<DriveParsingModes>(first);
    ASSERT_TRUE(modes);
    enterOn(modes, modes->standardScan());
    modes->nextButton()->click();
    auto* list = nextPage<PopulateDriveDlg>(modes);
    ASSERT_TRUE(list);
    list->list()->setCurrentItem(list->list()->topLevelItem(0));
    enterOn(list, list->list());
    // In a sector edit, Enter asks nothing and leaves the page as it is.
    list->customSettings()->setChecked(true);
    list->startSectorEdit()->setFocus();
    QTest::keyClick(list->startSectorEdit(), Qt::Key_Enter);
    EXPECT_EQ(sink.questions.size(), asked);
    EXPECT_TRUE(list->isVisible());
    list->customSettings()->setChecked(false);
    list->nextButton()->click();
    auto* mode = nextPage<ParceModeNtfsDlg>(list);
    ASSERT_TRUE(mode);
    enterOn(mode, mode->deepMode());
    // Yes ends the program.
    sink.answers = {true};
    QTimer::singleShot(0, mode, [&] { QTest::keyClick(mode->standardMode(), Qt::Key_Return); });
    QTimer guard;
    guard.setSingleShot(true);
    QObject::connect(&guard, &QTimer::timeout, [] { QApplication::exit(7); });
    guard.start(5000);
    EXPECT_EQ(QApplication::exec(), 0);
}

// A real message box, parented to its page, closed while no page is
// visible (as just after a page switch): the program goes on. Only the
// page's own close path ends it.
TEST_F(Wizard, BoxClosedRightAfterAPageSwitchDoesNotEndTheProgram) {
    BRANTLOW_REQUIRE_IMAGE(img, "disk_mbr");
    configureApplication(*qApp);
    EXPECT_FALSE(qApp->quitOnLastWindowClosed());
    setBoxPresenter(nullptr);  // real boxes
    start(DriveSources{}, {QString::fromStdString(img)});
    PopulateDriveDlg* list = nullptr;
    QWidget* boxParent = nullptr;
    QStringList boxes;
    // Answers every box that appears: hides every page first, then presses
    // the box's own button (OK, or No for a question).
    QTimer answer;
    QObject::connect(&answer, &QTimer::timeout, [&] {
        auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
        if (!box) return;
        boxes << box->text();
        boxParent = box->parentWidget();
        for (QWidget* w : QApplication::topLevelWidgets())
            if (qobject_cast<WizardPage*>(w)) w->hide();
        QAbstractButton* b = box->button(QMessageBox::Ok) ? box->button(QMessageBox::Ok) : box->button(QMessageBox::No);
        if (b) b->click();
    });
    answer.start(20);
    QTimer::singleShot(0, first, [&] {
        first->nextButton()->click();
        auto* modes = nextPage<DriveParsingModes>(first);
        modes->nextButton()->click();
        list = nextPage<PopulateDriveDlg>(modes);
        list->nextButton()->click();  // no row: a box, closed by the timer
    });
    QTimer end;
    end.setSingleShot(true);
    QObject::connect(&end, &QTimer::timeout, [] { QApplication::exit(42); });
    end.start(600);
    EXPECT_EQ(QApplication::exec(), 42);
    EXPECT_EQ(boxes, QStringList{"please select a valid volume."});
    ASSERT_TRUE(list);
    EXPECT_EQ(boxParent, list);
}

// The volume list ends with the whole disk: on an image without any
// partition table it is the only row, and it reaches raw recovery.
TEST_F(Wizard, WholeDiskRowReachesRawOnADiskWithoutATable) {
    BRANTLOW_REQUIRE_IMAGE(img, "carve");
    VolumeEntry handed;
    setRawPageFactory([&](WizardPage* opener, const VolumeEntry& v) -> WizardPage* {
        handed = v;
        return new RawRecoveryPage(opener, v);
    });
    start(DriveSources{}, {QString::fromStdString(img)});
    first->nextButton()->click();
    auto* modes = nextPage<DriveParsingModes>(first);
    ASSERT_TRUE(modes);
    modes->nextButton()->click();
    auto* list = nextPage<PopulateDriveDlg>(modes);
    ASSERT_TRUE(list);
    const uint64_t total = g_totalSectors.load();
    ASSERT_EQ(list->list()->topLevelItemCount(), 1);
    QTreeWidgetItem* whole = list->list()->topLevelItem(0);
    EXPECT_EQ(whole->text(0), "whole disk");
    EXPECT_TRUE(list->notice()->isVisibleTo(list));
    EXPECT_TRUE(list->notice()->text().startsWith("No partition table and no file system were found"));
    EXPECT_TRUE(list->customSettings()->isEnabled());
    screenshot(list, "11-whole-disk");
    // Selecting the row chooses "RAW"; Next opens the raw recovery page.
    list->list()->setCurrentItem(whole);
    EXPECT_EQ(list->treatAs()->currentText(), "RAW");
    list->nextButton()->click();
    auto* raw = nextPage<RawRecoveryPage>(list);
    ASSERT_TRUE(raw);
    EXPECT_EQ(handed.fileSystem, "RAW");
    EXPECT_EQ(handed.startSector, 0u);
    EXPECT_EQ(handed.sizeSectors, total);
    // Parse carves the whole image.
    auto* d = raw->dialog();
    d->pathEdit->setText(QString::fromStdString(std::string(BRANTLOW_SOURCE_DIR) + "/raw/FileSetting.txt"));
    d->loadDefaultCheck->setChecked(false);
    bool ended = false;
    QObject::connect(d, &raw::gui::RawRecoveryDialog::scanFinished, [&] { ended = true; });
    d->parse();
    QElapsedTimer t;
    t.start();
    while (!ended && t.elapsed() < 60000) QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    ASSERT_TRUE(ended);
    auto tops = d->tree->checkTree().children(controls::kNoItem);
    ASSERT_EQ(tops.size(), 1u);
    QStringList categories;
    for (controls::Item c : d->tree->checkTree().children(tops[0])) categories << d->tree->GetItemText(c);
    EXPECT_TRUE(categories.contains("Photos (6)")) << categories.join(", ").toStdString();
    raw->stopWork();
}

TEST_F(Wizard, EscapeYesEndsTheApplication) {
    start(DriveSources{}, {});
    sink.answers = {true};
    QTimer::singleShot(0, first, [this] { QTest::keyClick(first, Qt::Key_Escape); });
    // A guard that cannot outlive the test (a stray exit would end a later
    // test's event loop).
    QTimer guard;
    guard.setSingleShot(true);
    QObject::connect(&guard, &QTimer::timeout, [] { QApplication::exit(7); });
    guard.start(5000);
    EXPECT_EQ(QApplication::exec(), 0);
    EXPECT_EQ(sink.questions.size(), 1u);
}

TEST_F(Wizard, MountedVolumeLeadsToVolumeInformation) {
    BRANTLOW_REQUIRE_IMAGE(img, "disk_mbr");
    DriveSources s;
    s.devicesReadable = false;
    s.drives.push_back({"sdz", "/dev/sdz", "ACME Disk 9000", 1ull << 30});
    s.volumes.push_back({"NTFS", "/mnt/win", "/dev/sdz2", "476940  MB", 500107862016ull});
    s.volumes.push_back({"extX", "/", "/dev/sdz1", "100  MB", 100ull << 20});
    start(s, {});
    EXPECT_TRUE(first->notice()->isVisibleTo(first));
    EXPECT_EQ(first->notice()->text(), kNoDeviceAccess);
    ASSERT_EQ(first->volumesRoot()->childCount(), 2);
    EXPECT_EQ(first->volumesRoot()->child(0)->text(0), "/mnt/win");
    EXPECT_EQ(first->volumesRoot()->child(1)->text(0), "/");
    EXPECT_EQ(first->drivesRoot()->child(0)->text(0), "ACME Disk 9000");

    first->tree()->setCurrentItem(first->volumesRoot()->child(0));
    first->nextButton()->click();
    auto* info = nextPage<VolumeOperations>(first);
    ASSERT_TRUE(info);
    EXPECT_EQ(info->findChild<QLabel*>("volumeName")->text(), "/mnt/win");
    EXPECT_EQ(info->findChild<QLabel*>("volumeFileSystem")->text(), "NTFS");
    EXPECT_EQ(info->findChild<QLabel*>("volumeSize")->text(), "476940  MB");
    EXPECT_EQ(info->volume().volumeNumber, "/dev/sdz2");
    EXPECT_EQ(info->volume().sizeSectors, 500107862016ull / 512);
    screenshot(info, "7-volume-information");
    info->nextButton()->click();
    auto* mode = nextPage<ParceModeNtfsDlg>(info);
    ASSERT_TRUE(mode);
    EXPECT_EQ(mode->openerKind(), ParceModeNtfsDlg::kFromVolumeInformation);
    EXPECT_EQ(mode->volume().rootPath, "/mnt/win");
    mode->backButton()->click();
    flushDeletes();
    EXPECT_TRUE(info->isVisible());
    info->backButton()->click();
    flushDeletes();
    EXPECT_TRUE(first->isVisible());
    EXPECT_EQ(first->tree()->currentItem(), first->volumesRoot()->child(0));
    screenshot(first, "8-no-device-access");
}

TEST_F(Wizard, RecoveryModesPerFileSystem) {
    struct Row {
        const char* fs;
        bool standard, advanced, deep;
    } table[] = {
        {"NTFS", 1, 1, 1}, {"ntfs", 1, 1, 1}, {"FAT32", 1, 1, 0}, {"fat16", 1, 1, 0}, {"FAT64", 1, 1, 0},
        {"exFAT", 1, 1, 0}, {"extX", 1, 0, 0}, {"HFS+", 1, 0, 1},  {"  hfs+", 1, 0, 1}, {"Unknown", 1, 1, 1},
    };
    auto* opener = new WizardPage("x");
    for (const auto& r : table) {
        VolumeEntry v;
        v.fileSystem = r.fs;
        ParceModeNtfsDlg page(ParceModeNtfsDlg::kFromVolumeList, v, opener);
        EXPECT_EQ(page.standardMode()->isVisibleTo(&page), r.standard) << r.fs;
        EXPECT_EQ(page.advancedMode()->isVisibleTo(&page), r.advanced) << r.fs;
        EXPECT_EQ(page.deepMode()->isVisibleTo(&page), r.deep) << r.fs;
    }
    // Each mode button clears driveFormatted.
    VolumeEntry fat;
    fat.fileSystem = "FAT32";
    auto* page = new ParceModeNtfsDlg(ParceModeNtfsDlg::kFromVolumeList, fat, opener);
    page->driveFormatted()->setChecked(true);
    EXPECT_TRUE(page->scanOptions().driveFormatted);
    page->standardMode()->click();
    EXPECT_FALSE(page->scanOptions().driveFormatted);
    delete opener;
}

TEST_F(Wizard, AboutBoxIgnoresEnterAndEscape) {
    test::TempDir t;
    const std::string ini = t.path() + "/about.ini";
    std::ofstream(ini) << "[About]\nCompanyWebsite=https://example.org/\nSupportEmail=support@example.org\n"
                          "SalesEmail=sales@example.org\n";
    qputenv("BRANTLOW_ABOUT_INI", QByteArray::fromStdString(ini));
    reloadAboutSettings();
    {
        CBrantlowAboutDlg box;
        box.show();
        EXPECT_EQ(box.windowTitle(), "Brantlow v1.0");
        EXPECT_EQ(box.titleLine()->text(), "Brantlow v1.0");
        EXPECT_TRUE(box.webLink()->text().contains("https://example.org/"));
        EXPECT_TRUE(box.supportLink()->text().contains("mailto:support@example.org"));
        EXPECT_TRUE(box.salesLink()->text().contains("mailto:sales@example.org"));
        EXPECT_EQ(box.webLink()->toolTip(), "Company website");
        EXPECT_EQ(box.supportLink()->toolTip(), "Support email address");
        EXPECT_EQ(box.salesLink()->toolTip(), "Sales email address");
        QTest::keyClick(&box, Qt::Key_Return);
        EXPECT_TRUE(box.isVisible());
        QTest::keyClick(&box, Qt::Key_Escape);
        EXPECT_TRUE(box.isVisible());
        screenshot(&box, "9-about");
        box.okButton()->click();
        EXPECT_FALSE(box.isVisible());
    }
    qunsetenv("BRANTLOW_ABOUT_INI");
    reloadAboutSettings();
    // Nothing configured: no addresses at all.
    CBrantlowAboutDlg empty;
    EXPECT_FALSE(empty.supportLink()->text().contains("mailto:"));
    EXPECT_TRUE(productWebPage().isEmpty());
    EXPECT_TRUE(helpManualUrl().isEmpty());
}

TEST_F(Wizard, SecondInstanceIsRefused) {
    test::TempDir t;
    const std::string lock = t.path() + "/brantlow.lock";
    RecordingSink boxes;
    const int fd = takeSingleInstance(lock, boxes);
    ASSERT_GE(fd, 0);
    EXPECT_TRUE(boxes.infos.empty());
    pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        // The second process: refused, with the message.
        RecordingSink child;
        const int r = takeSingleInstance(lock, child);
        _exit(r == -1 && child.infos.size() == 1 && child.infos[0] == kAnotherInstance ? 0 : 1);
    }
    int status = 0;
    ::waitpid(pid, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    ::close(fd);
}

TEST_F(Wizard, ThisMachineEnumeratesWithoutOpeningForWriting) {
    // Whatever this machine has: every listed volume has a mount point and a
    // device, every drive a /dev path; nothing is opened for writing (the
    // reader only opens read-only), and the shared sector count is untouched.
    g_totalSectors.store(12345);
    const DriveSources s = systemDriveSources();
    EXPECT_EQ(g_totalSectors.load(), 12345u);
    for (const auto& v : s.volumes) {
        EXPECT_FALSE(v.rootPath.empty());
        EXPECT_EQ(v.devicePath.rfind("/dev/", 0), 0u) << v.devicePath;
        EXPECT_FALSE(v.fileSystem.empty());
    }
    for (const auto& d : s.drives) EXPECT_EQ(d.devicePath.rfind("/dev/", 0), 0u);
    EXPECT_TRUE(sink.infos.empty());
}

TEST_F(Wizard, BareVolumeImageIsOneVolumeAtSectorZero) {
    BRANTLOW_REQUIRE_IMAGE(img, "ntfs");
    start(DriveSources{}, {QString::fromStdString(img)});
    first->nextButton()->click();
    auto* modes = nextPage<DriveParsingModes>(first);
    ASSERT_TRUE(modes);
    modes->nextButton()->click();
    auto* list = nextPage<PopulateDriveDlg>(modes);
    ASSERT_TRUE(list);
    ASSERT_EQ(list->list()->topLevelItemCount(), 2);
    EXPECT_EQ(list->list()->topLevelItem(0)->text(1), "NTFS");
    EXPECT_EQ(list->list()->topLevelItem(0)->text(3), "0");
    EXPECT_EQ(list->list()->topLevelItem(1)->text(0), "whole disk");
    EXPECT_FALSE(list->notice()->isVisibleTo(list));
}

TEST_F(Wizard, VolumeInsideALayerIsListedUnderItsParent) {
    BRANTLOW_REQUIRE_IMAGE(fat, "fat16");
    std::ifstream in(fat, std::ios::binary);
    const std::vector<uint8_t> volume((std::istreambuf_iterator<char>(in)), {});
    test::TempDir tmp;
    const std::string img = tmp.path() + "/layered.img";
    const std::vector<uint8_t> disk = test::layeredDisk(volume, 0x5A, false);
    std::ofstream(img, std::ios::binary).write(reinterpret_cast<const char*>(disk.data()),
                                               static_cast<std::streamsize>(disk.size()));
    start(DriveSources{}, {QString::fromStdString(img)});
    first->nextButton()->click();
    auto* modes = nextPage<DriveParsingModes>(first);
    ASSERT_TRUE(modes);
    modes->nextButton()->click();
    auto* list = nextPage<PopulateDriveDlg>(modes);
    ASSERT_TRUE(list);
    QTreeWidget* rows = list->list();
    ASSERT_EQ(rows->topLevelItemCount(), 2);  // the layer, the whole disk
    QTreeWidgetItem* layer = rows->topLevelItem(0);
    EXPECT_EQ(layer->text(0), "0");
    ASSERT_EQ(layer->childCount(), 1);
    QTreeWidgetItem* inner = layer->child(0);
    EXPECT_EQ(inner->text(0), "0/0");
    EXPECT_EQ(inner->text(1), "FAT16");
    EXPECT_EQ(inner->text(3), "0");
    EXPECT_TRUE(inner->toolTip(1).contains("in test layer on 0"));
    screenshot(list, "layered-volume-list");
    // Next on the layer's row moves to what it holds; Next again goes on
    // with the volume, read through the layer.
    rows->setCurrentItem(layer);
    list->nextButton()->click();
    EXPECT_EQ(rows->currentItem(), inner);
    list->nextButton()->click();
    auto* mode = nextPage<ParceModeNtfsDlg>(list);
    ASSERT_TRUE(mode);
    EXPECT_EQ(mode->volume().fileSystem, "FAT16");
    EXPECT_EQ(mode->volume().parent, "0");
    ASSERT_TRUE(mode->volume().reader);
    EXPECT_EQ(mode->volume().reader->sizeBytes(), volume.size());
}

// An encrypted volume is asked for when it is chosen, not while the list
// is made: a password box with a key-file button, what was wrong with the
// last answer, three tries.
TEST_F(Wizard, EncryptedVolumeAsksWhenChosen) {
    BRANTLOW_REQUIRE_IMAGE(fat, "fat16");
    if (!test::haveCryptsetup()) GTEST_SKIP() << "cryptsetup not installed";
    test::TempDir tmp;
    const std::string key = tmp.path() + "/key", img = tmp.path() + "/luks.img";
    std::ofstream(key) << "wizard-key";
    ASSERT_TRUE(test::encryptWithCryptsetup(fat, img, key, "--pbkdf pbkdf2 --pbkdf-force-iterations 1000"));

    // Each step acts on the modal window it is meant for (true: done).
    std::deque<std::function<bool(QWidget*)>> script;
    std::vector<std::string> messages;
    int boxes = 0;
    QTimer driver;
    driver.setInterval(5);
    QObject::connect(&driver, &QTimer::timeout, [&] {
        QWidget* w = QApplication::activeModalWidget();
        if (auto* box = qobject_cast<LayerAskDialog*>(w)) {
            if (script.empty()) {  // not expected: shut it
                ++boxes;
                box->reject();
                return;
            }
        }
        if (w && !script.empty() && script.front()(w)) script.pop_front();
    });
    driver.start();
    auto typed = [&](const QString& text) {
        return [&, text](QWidget* w) {
            auto* box = qobject_cast<LayerAskDialog*>(w);
            if (!box) return false;
            ++boxes;
            messages.push_back(box->message()->isVisibleTo(box) ? box->message()->text().toStdString() : "");
            box->passphrase()->setText(text);
            box->accept();
            return true;
        };
    };

    start(DriveSources{}, {QString::fromStdString(img)});
    first->nextButton()->click();
    auto* modes = nextPage<DriveParsingModes>(first);
    ASSERT_TRUE(modes);
    modes->nextButton()->click();
    auto* list = nextPage<PopulateDriveDlg>(modes);
    ASSERT_TRUE(list);
    EXPECT_EQ(boxes, 0);  // nothing asked while listing
    QTreeWidget* rows = list->list();
    ASSERT_EQ(rows->topLevelItemCount(), 2);
    QTreeWidgetItem* layer = rows->topLevelItem(0);
    EXPECT_EQ(layer->text(1), "LUKS2");
    EXPECT_EQ(layer->childCount(), 0);
    EXPECT_TRUE(layer->toolTip(1).contains("not opened: a passphrase is needed")) << layer->toolTip(1).toStdString();

    // Three wrong passphrases: each box says why the last one failed.
    for (int i = 0; i < 3; ++i) script.push_back(typed("wrong"));
    rows->setCurrentItem(layer);
    list->nextButton()->click();
    EXPECT_TRUE(script.empty());
    EXPECT_EQ(messages, (std::vector<std::string>{"", "wrong passphrase: it opens no key slot. Try again (2 of 3).",
                                                  "wrong passphrase: it opens no key slot. Try again (3 of 3)."}));
    ASSERT_FALSE(sink.infos.empty());
    EXPECT_EQ(sink.infos.back(), "The volume 0 (LUKS2) cannot be opened: wrong passphrase: it opens no key slot");
    EXPECT_EQ(layer->childCount(), 0);

    // Next again: the key file opens it, and Next goes on inside.
    script.push_back([&](QWidget* w) {
        auto* box = qobject_cast<LayerAskDialog*>(w);
        if (!box) return false;
        QTimer::singleShot(0, box, [box] { box->keyFileButton()->click(); });
        return true;
    });
    script.push_back([&](QWidget* w) {
        auto* files = qobject_cast<QFileDialog*>(w);
        if (!files) return false;
        files->selectFile(QString::fromStdString(key));
        QMetaObject::invokeMethod(files, "accept", Qt::DirectConnection);
        return true;
    });
    list->nextButton()->click();
    EXPECT_TRUE(script.empty());
    ASSERT_EQ(layer->childCount(), 1);
    EXPECT_EQ(layer->child(0)->text(0), "0/0");
    EXPECT_EQ(layer->child(0)->text(1), "FAT16");
    EXPECT_EQ(rows->currentItem(), layer->child(0));
    list->nextButton()->click();
    auto* mode = nextPage<ParceModeNtfsDlg>(list);
    ASSERT_TRUE(mode);
    EXPECT_EQ(mode->volume().fileSystem, "FAT16");
    EXPECT_EQ(mode->volume().outputNote, "the files were written decrypted (read through LUKS2 aes-xts-plain64 on 0)");
    driver.stop();
}

TEST_F(Wizard, MissingUnreadableAndEmptyImagesSaySoOnThePage) {
    test::TempDir t;
    const std::string empty = t.path() + "/empty.img";
    std::ofstream(empty).close();
    // A folder passes for an existing image but cannot be read as a disk.
    start(DriveSources{}, {"/nonexistent/disk.img", QString::fromStdString(t.path()), QString::fromStdString(empty)});
    // The missing one is named on the first page, not listed.
    EXPECT_TRUE(first->missingImages()->isVisibleTo(first));
    EXPECT_EQ(first->missingImages()->text(), "Image not found: /nonexistent/disk.img (No such file or directory)");
    ASSERT_EQ(first->drivesRoot()->childCount(), 2);

    first->tree()->setCurrentItem(first->drivesRoot()->child(0));
    first->nextButton()->click();
    auto* modes = nextPage<DriveParsingModes>(first);
    ASSERT_TRUE(modes);  // the page still opens
    ASSERT_FALSE(sink.infos.empty());
    EXPECT_EQ(sink.infos.back(), "invalid handle ...");
    EXPECT_EQ(sink.parents.back(), modes);
    modes->nextButton()->click();
    auto* list = nextPage<PopulateDriveDlg>(modes);
    ASSERT_TRUE(list);
    ASSERT_GE(sink.infos.size(), 3u);
    EXPECT_EQ(sink.infos[sink.infos.size() - 2], "invalid handle ...");
    EXPECT_EQ(sink.infos.back(), "file not opened..");
    EXPECT_EQ(list->list()->topLevelItemCount(), 0);
    EXPECT_EQ(list->statusLine()->text(), "Finished Scanning.");
    EXPECT_FALSE(list->customSettings()->isEnabled());
    EXPECT_TRUE(list->notice()->isVisibleTo(list));
    EXPECT_EQ(list->notice()->text(), QString::fromStdString(t.path()) + " cannot be read: Is a directory");
    list->backButton()->click();
    modes->backButton()->click();
    flushDeletes();

    // The empty image: nothing listed, and the page says why.
    first->tree()->setCurrentItem(first->drivesRoot()->child(1));
    first->nextButton()->click();
    modes = nextPage<DriveParsingModes>(first);
    ASSERT_TRUE(modes);
    modes->nextButton()->click();
    list = nextPage<PopulateDriveDlg>(modes);
    ASSERT_TRUE(list);
    EXPECT_EQ(list->list()->topLevelItemCount(), 0);
    EXPECT_EQ(list->notice()->text(), "The disk is empty (0 bytes): there is nothing to recover on it.");
}

TEST_F(Wizard, HelpMenuOffersHelpAboutAndWebpage) {
    start(DriveSources{}, {});
    QMenu* menu = first->helpButton()->menu();
    ASSERT_TRUE(menu);
    QStringList texts;
    for (QAction* a : menu->actions()) texts << a->text();
    EXPECT_EQ(texts, (QStringList{"Help", "About", "Software Webpage"}));
    // No address configured: "Software Webpage" is not offered.
    EXPECT_FALSE(menu->actions()[2]->isVisible());
    // "Help": the README's user sections in a help window of the page.
    menu->actions()[0]->trigger();
    auto* help = first->findChild<HelpWindow*>();
    ASSERT_TRUE(help);
    EXPECT_TRUE(help->isVisible());
    const QString text = help->browser()->toPlainText();
    EXPECT_TRUE(text.contains("The program (Qt 6)")) << text.left(200).toStdString();
    EXPECT_TRUE(text.contains("Notes for operators"));
    screenshot(help, "10-help");
    help->close();
    // "About" shows the About box modally over the page; OK closes it.
    bool shown = false;
    QTimer::singleShot(0, [&] {
        auto* box = qobject_cast<CBrantlowAboutDlg*>(QApplication::activeModalWidget());
        shown = box != nullptr;
        if (box) box->okButton()->click();
    });
    menu->actions()[1]->trigger();
    EXPECT_TRUE(shown);
    EXPECT_TRUE(first->isVisible());
}

// With the program's hooks, Next on the recovery-mode page opens the real
// scan page for the chosen volume.
TEST(WizardHooks, RecoveryModeOpensTheScanPage) {
    BRANTLOW_REQUIRE_IMAGE(img, "disk_mbr");
    ScriptedSink sink;
    BoxPresenter* previous = setBoxPresenter(&sink);
    installWizardHooks();
    auto r = std::make_shared<FileReadSeek>();
    ASSERT_TRUE(r->Open(img));
    g_deviceReader = r;
    VolumeEntry v{"NTFS", "", "0", "32   MB", 2048, 65536};
    WizardPage opener("Recovery Mode");
    WizardPage* page = makeScanPage(&opener, v, ScanMode::Standard, ScanOptions{});
    ASSERT_NE(page, nullptr);
    EXPECT_NE(std::string(page->metaObject()->className()).find("VolumeScanDlg"), std::string::npos);
    page->stopWork();
    delete page;
    WizardPage* raw = makeRawPage(&opener, v);
    ASSERT_NE(raw, nullptr);
    raw->show();
    screenshot(raw, "6-raw-recovery");
    raw->stopWork();
    delete raw;
    g_deviceReader.reset();
    setBoxPresenter(previous);
}

namespace {

// The members of a RAID 5 set holding the FAT16 sample, written as images
// (md superblocks when asked).
QStringList raidImages(const std::string& dir, const std::string& fat, bool superblocks) {
    const test::Bytes volume = test::fileBytes(fat);
    test::MdSetup setup;
    setup.chunkBytes = 16384;
    if (!superblocks) {
        setup.version = "";
        setup.dataOffset = 0;
    }
    QStringList out;
    int i = 0;
    for (const test::Bytes& m : test::makeMdMembers(volume, setup))
        out << QString::fromStdString(test::writeBytes(dir + "/member" + std::to_string(i++) + ".img", m));
    return out;
}

}  // namespace

TEST_F(Wizard, TickedImagesAssembleIntoADriveOfTheirOwn) {
    BRANTLOW_REQUIRE_IMAGE(fat, "fat16");
    test::TempDir tmp;
    const QStringList images = raidImages(tmp.path(), fat, true);
    start(DriveSources{}, images);
    QPushButton* assemble = first->assembleRaidButton();
    EXPECT_EQ(assemble->text(), "Assemble RAID");
    EXPECT_FALSE(assemble->isEnabled());
    // Ticked in another order than the roles; two make the button live.
    first->setTicked(images[2], true);
    first->setTicked(images[0], true);
    EXPECT_TRUE(assemble->isEnabled());
    first->setTicked(images[1], true);
    screenshot(first, "assemble-raid-ticked");
    assemble->click();
    ASSERT_EQ(first->drivesRoot()->childCount(), 4);
    QTreeWidgetItem* set = first->drivesRoot()->child(3);
    EXPECT_TRUE(set->text(0).startsWith("RAID5 of 3, 16 KiB")) << set->text(0).toStdString();
    EXPECT_EQ(first->tree()->currentItem(), set);
    EXPECT_TRUE(sink.infos.empty());
    screenshot(first, "assemble-raid-assembled");
    // The set goes on like a drive: the volume list walks the array.
    first->nextButton()->click();
    auto* modes = nextPage<DriveParsingModes>(first);
    ASSERT_TRUE(modes);
    modes->nextButton()->click();
    auto* list = nextPage<PopulateDriveDlg>(modes);
    ASSERT_TRUE(list);
    ASSERT_GE(list->list()->topLevelItemCount(), 1);
    EXPECT_EQ(list->list()->topLevelItem(0)->text(1), "FAT16");
    EXPECT_EQ(list->list()->topLevelItem(0)->text(3), "0");
}

TEST_F(Wizard, DrivesWithoutMetadataAreSearchedOrTyped) {
    BRANTLOW_REQUIRE_IMAGE(fat, "fat16");
    test::TempDir tmp;
    const QStringList images = raidImages(tmp.path(), fat, false);
    start(DriveSources{}, images);
    for (const QString& i : images) first->setTicked(i, true);
    sink.answers = {true};  // search for the way they fit together
    first->assembleRaidButton()->click();
    ASSERT_EQ(sink.questions.size(), 1u);
    EXPECT_NE(sink.questions[0].find("make no set by their metadata"), std::string::npos);
    auto* box = first->findChild<RaidParametersDialog*>();
    ASSERT_TRUE(box);
    QElapsedTimer t;
    t.start();
    while (box->searching() && t.elapsed() < 60000) QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
    QCoreApplication::processEvents();
    EXPECT_GT(box->candidates()->topLevelItemCount(), 0);
    EXPECT_EQ(box->parameters()->text(), box->candidates()->topLevelItem(0)->text(0));
    screenshot(box, "assemble-raid-search");
    // A typed mistake is named; the right parameters put the set together.
    box->parameters()->setText("level=5,chunk=16K,order=0:0:1");
    box->assembleButton()->click();
    EXPECT_TRUE(box->problem()->text().contains("twice"));
    box->parameters()->setText("level=5,chunk=16K,layout=left-symmetric,order=0:1:2,start=0");
    box->assembleButton()->click();
    flushDeletes();
    ASSERT_EQ(first->drivesRoot()->childCount(), 4);
    EXPECT_TRUE(first->drivesRoot()->child(3)->text(0).contains("without metadata"));
    first->nextButton()->click();
    auto* modes = nextPage<DriveParsingModes>(first);
    ASSERT_TRUE(modes);
    modes->nextButton()->click();
    auto* list = nextPage<PopulateDriveDlg>(modes);
    ASSERT_TRUE(list);
    EXPECT_EQ(list->list()->topLevelItem(0)->text(1), "FAT16");
}
#include "wizard_test.moc"
