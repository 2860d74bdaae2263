// The wizard's pages: the first page with drives and volumes, the scan-mode
// page, the volume list, the volume information page, the recovery-mode page.
#pragma once

#include <QString>
#include <cstdint>
#include <deque>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "ui/WizardPage.h"
#include "disk/partition.h"
#include "disk/sector_scan.h"
#include "fs/api/parser.h"
#include "platform/enumerate.h"
#include "scan/volumes.h"

class QButtonGroup;
class QCheckBox;
class QComboBox;
class QGroupBox;
class QLabel;
class QLineEdit;
class QProgressBar;
class QPushButton;
class QRadioButton;
class QToolButton;
class QTreeWidget;
class QTreeWidgetItem;
class QShowEvent;

class QHBoxLayout;
class QListWidget;
class QVBoxLayout;

namespace brantlow::gui {

class RateLabel;

// What the first page lists.
struct DriveSources {
    std::vector<platform::DriveInfo> drives;
    std::vector<platform::MountedVolume> volumes;
    bool devicesReadable = true;  // false: some disk could not be opened for lack of rights
};
// The machine's disks and mounted volumes (volumes identified by probing
// their device, read-only).
DriveSources systemDriveSources();

inline constexpr const char* kNoDeviceAccess =
    "Disks cannot be read without root rights or membership of the \"disk\" group; disk images can still be opened.";

// First page: "     VOLUMES:" and "     PHYSICAL DRIVES:".
class Physical_DriveDialog : public WizardPage {
    Q_OBJECT
public:
    explicit Physical_DriveDialog(const DriveSources& sources, QWidget* parent = nullptr);
    ~Physical_DriveDialog() override;  // also drops the shared reader

    // Adds an image file under "     PHYSICAL DRIVES:" (walked like a drive)
    // and selects it.
    void addImage(const QString& path);
    // The same, read through a GNU ddrescue map (sectors it does not mark
    // finished read as unreadable).
    void addImage(const QString& path, const QString& mapPath);
    // Names an image that could not be found (from the command line) on
    // the page.
    void addMissing(const QString& path, const QString& reason);

    QTreeWidget* tree() const { return tree_; }
    QTreeWidgetItem* volumesRoot() const { return volumesRoot_; }
    QTreeWidgetItem* drivesRoot() const { return drivesRoot_; }
    QPushButton* openImageButton() const { return openImage_; }
    // "Image the disk first": the imaging page for the selected drive.
    QPushButton* imageFirstButton() const { return imageFirst_; }
    // Puts the ticked drives and images together as the sets they make
    // (RAID members, a volume group over disks; asks to search for a set
    // without metadata) and lists each set as a drive of its own.
    QPushButton* assembleRaidButton() const { return assemble_; }
    // Ticks a drive or image row by its path (for scripts and tests).
    void setTicked(const QString& path, bool ticked);
    QLabel* notice() const { return notice_; }
    QLabel* missingImages() const { return missing_; }
    // The sessions kept of the selected drive or image (same path and
    // size), newest first, and "Reopen Scan" for the highlighted one: a
    // finished scan is shown without scanning again, one cut short goes on
    // (a carve) or scans again (a listing).
    QListWidget* sessionList() const { return sessions_; }
    QPushButton* reopenButton() const { return reopen_; }
    // The folder the sessions are looked for in (default: the wizard's).
    void setSessionFolder(const QString& folder);
    void refreshSessions();
    void reopenSession();

    // The selected volume's record (nullptr when a volume is not selected).
    const VolumeEntry* selectedVolume() const;
    // The selected drive's device path or image path ("" when none).
    QString selectedDrivePath() const;

private:
    void onNext();
    void onOpenImage();
    void onImageFirst();
    void onAssemble();
    void updateAssemble();
    // Adds a set put together as a drive row and selects it.
    void addAssembled(const AssembledDisk& d);

    QTreeWidget* tree_;
    QTreeWidgetItem* volumesRoot_;
    QTreeWidgetItem* drivesRoot_;
    QPushButton* openImage_;
    QPushButton* imageFirst_;
    QPushButton* assemble_;
    QLabel* notice_;
    QLabel* missing_;
    QLabel* sessionsCaption_;
    QListWidget* sessions_;
    QPushButton* reopen_;
    QString sessionFolder_;
    std::vector<VolumeEntry> volumes_;  // items carry an index into it
};

// The question "Open Disk Image…" asks when a ddrescue map lies beside the image.
QString mapQuestion(const QString& mapPath);

// Scan-mode page for a drive.
class DriveParsingModes : public WizardPage {
    Q_OBJECT
public:
    DriveParsingModes(const QString& drivePath, WizardPage* opener);

    QString drivePath() const { return drivePath_; }
    QRadioButton* standardScan() const { return standard_; }
    QRadioButton* advanceScan() const { return advance_; }
    QCheckBox* doNotSkip() const { return doNotSkip_; }
    QCheckBox* customSetting() const { return custom_; }
    QCheckBox* gptFormat() const { return gpt_; }
    QLineEdit* startingSector() const { return start_; }
    QLineEdit* endingSector() const { return end_; }

private:
    void onNext();
    void updateControls();

    QString drivePath_;
    QRadioButton* standard_;
    QRadioButton* advance_;
    QCheckBox* doNotSkip_;
    QCheckBox* custom_;
    QCheckBox* gpt_;
    QLabel* startLabel_;
    QLabel* endLabel_;
    QLineEdit* start_;
    QLineEdit* end_;
};

// A 64-bit sector editor: a line edit with up and down buttons.
class SectorEdit;

// Volume list page.
class PopulateDriveDlg : public WizardPage {
    Q_OBJECT
public:
    struct Options {
        QString drivePath;
        int scanMode = 1;  // 1 Standard, 2 Advance
        bool useGpt = false;
        bool doNotSkip = false;
        int64_t customStartSector = 0;
        int64_t customEndSector = 0;
    };
    PopulateDriveDlg(const Options& o, WizardPage* opener);
    ~PopulateDriveDlg() override;

    const Options& options() const { return options_; }
    const std::vector<VolumeEntry>& volumes() const { return volumes_; }
    // The whole disk, listed as the last row (none when the disk could not
    // be read or is empty).
    const std::optional<VolumeEntry>& wholeDisk() const { return wholeDisk_; }
    // The entry the recovery-mode page reads (set by Next).
    const VolumeEntry& selectedEntry() const { return chosen_; }

    QTreeWidget* list() const { return list_; }
    QCheckBox* customSettings() const { return custom_; }
    QLabel* selectedVolumeLabel() const { return selectedValue_; }
    QLineEdit* startSectorEdit() const;
    QLineEdit* endSectorEdit() const;
    QComboBox* treatAs() const { return treatAs_; }
    QPushButton* filterButton() const { return filter_; }
    QPushButton* addCustomButton() const { return addCustom_; }
    QLabel* statusLine() const { return status_; }
    QLabel* hintLine() const { return hint_; }
    QProgressBar* progress() const { return progress_; }
    QPushButton* stopButton() const { return stop_; }
    QPushButton* pauseButton() const { return pause_; }
    // Why nothing (or only the whole disk) is listed; hidden otherwise.
    QLabel* notice() const { return notice_; }
    // Advance Scan: true while the sector scan runs; what the last one did.
    bool scanning() const { return worker_.joinable(); }
    const SectorScanResult& lastScan() const { return lastScan_; }

    // Stops the sector scan and waits for it (Back, leaving the program).
    void stopWork() override;
    // The rate and the time left of the sector scan, beside its progress.
    RateLabel* rateLine() const { return rate_; }

protected:
    // Back on the list after a volume was opened during the scan: the
    // scan goes on.
    void showEvent(QShowEvent* e) override;

private:
    void buildVolumeList(QHBoxLayout* top);
    void buildCustomSettings(QHBoxLayout* top);
    void buildStatusRows(QVBoxLayout* outer);
    void connectControls();
    void fillVolumes();
    void runStandard();
    void runAdvance();
    void startScan(std::shared_ptr<readWriteInterface> reader);
    void insideEnded(const std::string& parent, const SectorScanResult& r);
    void scanControlsDone();
    bool openableWhileScanning(QTreeWidgetItem* item) const;
    void updateNextWhileScanning();
    void pauseForVolume(const std::string& volumeNumber);
    void backFromVolume();
    // On the GUI thread, from the sector scan.
    void onVolumeFound(const VolumeEntry& e);
    void onScanEnded(const SectorScanResult& r);
    void onStop();
    void onPause();
    void fillList(const std::vector<size_t>& indexes);
    QTreeWidgetItem* makeRow(size_t index) const;
    QTreeWidgetItem* parentRow(const VolumeEntry& v) const;
    QTreeWidgetItem* rowOf(const std::string& volumeNumber) const;
    void enterLayer(QTreeWidgetItem* item);
    void fitColumns();
    void onRowSelected();
    void onCustomToggled(bool on);
    void onFilter();
    void onAddCustom();
    void onNext();
    void setNotice(const QString& text);
    const VolumeEntry* selectedStored() const;

    Options options_;
    std::vector<VolumeEntry> volumes_;  // rows carry an index into it
    std::optional<VolumeEntry> wholeDisk_;
    VolumeEntry chosen_;
    bool customised_ = false;
    bool rangeEdited_ = false;
    std::vector<std::string> unfilteredNumbers_;  // while filtered: every entry's own number
    QTreeWidget* list_;
    QPushButton* filter_;
    QPushButton* addCustom_;
    QCheckBox* custom_;
    QLabel* selectedCaption_;
    QLabel* selectedValue_;
    QLabel* startLabel_;
    QLabel* endLabel_;
    QLabel* treatLabel_;
    SectorEdit* startEdit_;
    SectorEdit* endEdit_;
    QComboBox* treatAs_;
    QProgressBar* progress_;
    QLabel* status_;
    QLabel* hint_;
    QLabel* notice_;
    QPushButton* stop_;
    QPushButton* pause_;
    RateLabel* rate_;
    // The sector scan: its procedure, its pause gate and its one worker.
    std::unique_ptr<Partition> procedure_;
    std::unique_ptr<PartitionOwner> bridge_;
    PauseGate gate_;
    std::thread worker_;
    SectorScanResult lastScan_;
    // While the scan searches what a layer yields: those volumes (the
    // first is being searched), and the count of volumes found in them.
    std::deque<VolumeEntry> inside_;
    int insideCount_ = 0;
    // A volume opened while the scan runs: the operator is on its pages;
    // whether the scan was paused for it; its end, when it came meanwhile.
    bool awayDuringScan_ = false;
    bool pausedForVolume_ = false;
    std::optional<SectorScanResult> pendingEnd_;
};

// Volume information page for a mounted volume.
class VolumeOperations : public WizardPage {
    Q_OBJECT
public:
    VolumeOperations(const VolumeEntry& volume, WizardPage* opener);
    const VolumeEntry& volume() const { return volume_; }

private:
    VolumeEntry volume_;
};

// Recovery-mode page.
class ParceModeNtfsDlg : public WizardPage {
    Q_OBJECT
public:
    static constexpr int kFromVolumeList = 134;
    static constexpr int kFromVolumeInformation = 135;

    ParceModeNtfsDlg(int openerKind, const VolumeEntry& volume, WizardPage* opener);

    int openerKind() const { return openerKind_; }
    const VolumeEntry& volume() const { return volume_; }
    QString fsPrefix() const { return fsPrefix_; }
    int recoveryMode() const { return recoveryMode_; }
    QRadioButton* standardMode() const { return standard_; }
    QRadioButton* advancedMode() const { return advanced_; }
    QRadioButton* deepMode() const { return deep_; }
    QLineEdit* maxFileSystems() const { return maxEdit_; }
    QCheckBox* driveFormatted() const { return formatted_; }
    // The choices that travel to the scan.
    ScanOptions scanOptions() const;
    // "Please Enter Max File Systems to Find :" (3 when empty or below 1).
    int maxCandidates() const;

    // Which modes a file system offers: {Standard, Advanced, Deep}.
    struct Offered {
        bool standard, advanced, deep;
    };
    static Offered offeredModes(const std::string& fileSystem);

private:
    void setMode(int mode);
    void onNext();

    int openerKind_;
    VolumeEntry volume_;
    QString fsPrefix_;
    bool formattedOffered_ = false;  // "Is Drive Formated..?" beside Advanced
    int recoveryMode_ = 1;
    QRadioButton* standard_;
    QRadioButton* advanced_;
    QRadioButton* deep_;
    QLabel* maxLabel_;
    QLineEdit* maxEdit_;
    QLabel* maxNote_;
    QCheckBox* formatted_;
};

// Opens the scan page for the volume and mode (through the hook the scan
// page registers; nothing opens when none is registered).
void openScanPage(WizardPage* opener, const VolumeEntry& volume, ScanMode mode, const ScanOptions& options = {});
// Opens the raw recovery page (the same way).
void openRawPage(WizardPage* opener, const VolumeEntry& volume);

}  // namespace brantlow::gui
