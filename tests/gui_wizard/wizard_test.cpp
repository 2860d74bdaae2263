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
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QPushButton>
#include <QRadioButton>
#include <QTest>
#include <QTimer>
#include <QToolButton>
#include <QTreeWidget>
#include <deque>
#include <fstream>

#include "app/CBrantlowAboutDlg.h"
#include "app/Pages.h"
#include "ui/PageFactory.h"
#include "app/Startup.h"
#include "app/VolumeChoice.h"
#include "disk/reader.h"
#include "ui/CurrentSource.h"
#include "tests/support/fixtures.h"

using namespace brantlow;
using namespace brantlow::gui;

namespace {

// Records every box and answers questions from a script (No when empty).
class ScriptedSink : public MessageSink {
public:
    void info(const std::string& text) override { infos.push_back(text); }
    bool question(const std::string& text) override {
        questions.push_back(text);
        if (answers.empty()) return false;
        bool a = answers.front();
        answers.pop_front();
        return a;
    }
    std::vector<std::string> infos, questions;
    std::deque<bool> answers;
};

void flushDeletes() {
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    QCoreApplication::processEvents();
}

void screenshot(QWidget* page, const QString& name) {
    QDir().mkpath(BRANTLOW_SCREENSHOT_DIR);
    QApplication::processEvents();
    page->grab().save(QString(BRANTLOW_SCREENSHOT_DIR) + "/" + name + ".png");
}

// The only visible child page of `parent` of type T.
template <typename T>
T* nextPage(QWidget* parent) {
    for (T* p : parent->findChildren<T*>(Qt::FindDirectChildrenOnly))
        if (p->isVisible()) return p;
    return nullptr;
}

QStringList columnTexts(QTreeWidget* list, int column) {
    QStringList out;
    for (int i = 0; i < list->topLevelItemCount(); ++i) out << list->topLevelItem(i)->text(column);
    return out;
}

class Wizard : public ::testing::Test {
protected:
    void SetUp() override {
        previous_ = setMessageSink(&sink);
        installWizardHooks();
        // These tests walk the wizard alone: the stand-in takes the scan page's place.
        setScanPageFactory({});
        setRawPageFactory({});
    }
    void TearDown() override {
        delete first;
        flushDeletes();
        setMessageSink(previous_);
    }
    Physical_DriveDialog* start(const DriveSources& s, const QStringList& images) {
        first = createFirstPage(s, images);
        first->show();
        return first;
    }
    ScriptedSink sink;
    Physical_DriveDialog* first = nullptr;
    MessageSink* previous_ = nullptr;
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
    EXPECT_FALSE(modes->advanceScan()->isEnabled());
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
    EXPECT_EQ(columnTexts(rows, 1), (QStringList{"NTFS", "FAT32", "extX", "FAT64"}));
    EXPECT_EQ(columnTexts(rows, 0), (QStringList{"0", "1", "2", "3"}));
    if (manifest) {
        QStringList starts;
        for (const auto& v : (*manifest)["volumes"]) starts << QString::number(v["offset_sectors"].get<qulonglong>());
        EXPECT_EQ(columnTexts(rows, 3), starts);
    }
    EXPECT_EQ(list->statusLine()->text(), "Finished Scanning.");
    EXPECT_EQ(list->hintLine()->text(), "Select volume and click next button...");
    EXPECT_FALSE(list->addCustomButton()->isVisibleTo(list));
    EXPECT_TRUE(list->filterButton()->isEnabled());
    EXPECT_TRUE(list->customSettings()->isEnabled());
    EXPECT_FALSE(list->customSettings()->isChecked());
    EXPECT_FALSE(list->startSectorEdit()->isEnabled());

    // Next with no row: refused.
    list->nextButton()->click();
    ASSERT_FALSE(sink.infos.empty());
    EXPECT_EQ(sink.infos.back(), "please select a valid volume.");
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

    // Deep, Next: the scan page (a stand-in until one is registered).
    mode->deepMode()->click();
    EXPECT_EQ(mode->recoveryMode(), 3);
    mode->nextButton()->click();
    auto* scan = nextPage<PlaceholderPage>(mode);
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

    // "RAW": the raw recovery page (a stand-in that says it is not there yet).
    list->startSectorEdit()->setText("202752");
    list->endSectorEdit()->setText("251903");
    list->treatAs()->setCurrentText("RAW");
    list->nextButton()->click();
    auto* raw = nextPage<PlaceholderPage>(list);
    ASSERT_TRUE(raw);
    EXPECT_TRUE(raw->summary().contains("fileSystem=RAW"));
    EXPECT_TRUE(raw->summary().contains("not available yet"));
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

TEST_F(Wizard, EnterEndsTheApplicationWithoutAQuestion) {
    start(DriveSources{}, {});
    QTimer::singleShot(0, first, [this] { QTest::keyClick(first->tree(), Qt::Key_Return); });
    QTimer::singleShot(5000, [] { QApplication::exit(7); });
    EXPECT_EQ(QApplication::exec(), 0);
    EXPECT_TRUE(sink.questions.empty());
}

TEST_F(Wizard, EscapeYesEndsTheApplication) {
    start(DriveSources{}, {});
    sink.answers = {true};
    QTimer::singleShot(0, first, [this] { QTest::keyClick(first, Qt::Key_Escape); });
    QTimer::singleShot(5000, [] { QApplication::exit(7); });
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
    const int fd = takeSingleInstance(lock);
    ASSERT_GE(fd, 0);
    EXPECT_TRUE(sink.infos.empty());
    pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        // The second process: refused, with the message.
        ScriptedSink child;
        setMessageSink(&child);
        const int r = takeSingleInstance(lock);
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
    ASSERT_EQ(list->list()->topLevelItemCount(), 1);
    EXPECT_EQ(list->list()->topLevelItem(0)->text(1), "NTFS");
    EXPECT_EQ(list->list()->topLevelItem(0)->text(3), "0");
}

TEST_F(Wizard, UnreadableImageSaysSoAndListsNothing) {
    start(DriveSources{}, {"/nonexistent/disk.img"});
    first->nextButton()->click();
    auto* modes = nextPage<DriveParsingModes>(first);
    ASSERT_TRUE(modes);  // the page still opens
    ASSERT_FALSE(sink.infos.empty());
    EXPECT_EQ(sink.infos.back(), "invalid handle ...");
    modes->nextButton()->click();
    auto* list = nextPage<PopulateDriveDlg>(modes);
    ASSERT_TRUE(list);
    ASSERT_GE(sink.infos.size(), 3u);
    EXPECT_EQ(sink.infos[sink.infos.size() - 2], "invalid handle ...");
    EXPECT_EQ(sink.infos.back(), "file not opened..");
    EXPECT_EQ(list->list()->topLevelItemCount(), 0);
    EXPECT_EQ(list->statusLine()->text(), "Finished Scanning.");
    EXPECT_FALSE(list->customSettings()->isEnabled());
}

TEST_F(Wizard, HelpMenuOffersHelpAboutAndWebpage) {
    start(DriveSources{}, {});
    QMenu* menu = first->helpButton()->menu();
    ASSERT_TRUE(menu);
    QStringList texts;
    for (QAction* a : menu->actions()) texts << a->text();
    EXPECT_EQ(texts, (QStringList{"Help", "About", "Software Webpage"}));
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
    MessageSink* previous = setMessageSink(&sink);
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
    setMessageSink(previous);
}
