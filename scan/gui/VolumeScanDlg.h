// The scan page: runs the chosen parser on one worker thread with progress,
// pause, resume and stop, then shows the result tree and the file list and
// saves what the operator ticks (or, with nothing ticked, the selected
// folder). What a save writes, which job may run, the search filter and
// the texts after a save are decided by scan/recovery_model; the page
// draws and wires. Its code is split by concern: VolumeScanDlg.cpp (start,
// the scan and the commands), ScanPageLayout.cpp (the controls),
// ScanPageTree.cpp (tree, list, ticks, preview), ScanPageSave.cpp and
// ScanPageSearch.cpp.
#pragma once

#include <QHash>
#include <QIcon>
#include <QPointer>
#include <QVector>
#include <atomic>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <unordered_map>
#include <unordered_set>

#include "controls/CCheckListCtrl.h"
#include "controls/CXHtmlTree.h"
#include "disk/partition.h"
#include "disk/reader.h"
#include "fs/api/parser.h"
#include "scan/recovery_model.h"
#include "scan/save.h"
#include "scan/scan_job.h"
#include "scan/search.h"
#include "scan/session/session_files.h"
#include "scan/unreadable.h"
#include "scan/gui/SearchFilterBox.h"
#include "ui/PreviewPane.h"
#include "ui/RateLabel.h"
#include "ui/WizardPage.h"

class QCheckBox;
class QComboBox;
class QGroupBox;
class QDialog;
class QLabel;
class QLineEdit;
class QProgressBar;
class QPushButton;
class QFileIconProvider;

class QVBoxLayout;

namespace brantlow::gui {

// Carries a worker's progress and status texts to the page's widgets on
// the GUI thread (queued signals; no widget is touched by the worker).
class QtProgressBridge : public QObject, public ProgressSink {
    Q_OBJECT
public:
    void range(int64_t high) override { emit rangeSet(static_cast<qint64>(high)); }
    void position(int64_t pos) override { emit positionSet(static_cast<qint64>(pos)); }
    void status(const std::string& text) override { emit statusSet(QString::fromStdString(text)); }
    void status2(const std::string& text) override { emit status2Set(QString::fromStdString(text)); }
signals:
    void rangeSet(qint64 high);
    void positionSet(qint64 pos);
    void statusSet(const QString& text);
    void status2Set(const QString& text);
};

class VolumeScanDlg : public WizardPage {
    Q_OBJECT
public:
    struct Options {
        // Parser choice by file-system name (default: the parser table).
        std::function<ParserChoice(const std::string& fileSystem, ScanMode mode)> choose;
        // The shared reader (default: g_deviceReader).
        std::shared_ptr<readWriteInterface> reader;
        // Advanced mode: the parser the advanced-input page prepared (not
        // owned by this page).
        VolumeParser* adopted = nullptr;
        // The operator's choices for the scan ("Is Drive Formated..?").
        ScanOptions scan;
        // The folder picker (default: a folder dialog titled "Please choose a folder.").
        std::function<QString(QWidget* owner)> pickFolder;
        // Where the scan keeps its session as it goes ("": no session; the
        // wizard's default is session::wizardSessionFolder()), and the path
        // the source was opened from (default: the current source's).
        std::string sessionFolder;
        std::string sourcePath;
        // A finished listing reopened from a session: shown without a scan.
        std::shared_ptr<session::ReopenedListing> reopened;
        // The session file pickers of "Save Scan…" and "Open Scan…"
        // (default: file dialogs; "" when cancelled).
        std::function<QString(QWidget* owner, bool forSaving)> pickSessionFile;
    };

    VolumeScanDlg(WizardPage* opener, const VolumeEntry& volume, ScanMode mode);
    VolumeScanDlg(WizardPage* opener, const VolumeEntry& volume, ScanMode mode, Options options);
    ~VolumeScanDlg() override;

    // A page for the session at path, made from the source reader opened
    // from sourcePath: a finished listing is shown without reading the
    // volume (only the 2 MiB that identify the source), one cut short
    // scans its volume again. layered: the volume the caller has open, for
    // a session of a volume inside a layer. nullptr with why (the reason
    // the session is refused) when it cannot be used; the file is left as
    // it is.
    static VolumeScanDlg* openSession(WizardPage* opener, const std::string& path,
                                      std::shared_ptr<readWriteInterface> reader, const std::string& sourcePath,
                                      const VolumeEntry* layered, Options options, std::string& why);

    void stopWork() override;
    // The close question's note: a scan's results that no save has written.
    QString unsavedWork() const override;
    QString sessionInProgress() const override;
    void dropSession() override;
    // The session the scan writes as it goes ("" when none).
    QString sessionPath() const { return sessionOpen_.load() ? QString::fromStdString(sessionPath_) : QString(); }
    // True when the result came from a session file, not a scan.
    bool reopened() const { return options_.reopened != nullptr; }
    QPushButton* saveScanButton() const { return saveScanButton_; }
    QPushButton* openScanButton() const { return openScanButton_; }

    // True while a scan or a save runs.
    bool running() const;
    VolumeParser* parser() const { return parser_; }
    int scanMode() const { return scanMode_; }

    controls::CXHtmlTree* tree() const { return tree_; }
    controls::CCheckListCtrl* list() const { return list_; }
    controls::Item rootItem() const { return root_; }
    QString statusText() const;
    // Beside the progress: the running job's rate and time left.
    RateLabel* rateLine() const { return rate_; }
    QString status2Text() const;
    QString outputFolder() const;
    void setOutputFolder(const QString& path);
    // The output folder as shown beside its button.
    QLabel* outputFolderLabel() const { return outputLabel_; }
    // "Details…" beside the second status line: the files of the last save
    // that are partial or failed.
    QPushButton* detailsButton() const { return detailsButton_; }
    // The files the last save could not write completely.
    const std::vector<FileReport>& saveProblems() const { return problems_; }
    // The list of those files (opened by "Details…"; nullptr when closed).
    QDialog* problemsDialog() const { return problemsDialog_; }
    // The entries Save writes when anything is ticked: every ticked file,
    // and every file below a ticked folder that has not been opened yet.
    // Empty when nothing is ticked.
    std::vector<EntryId> tickedFiles() const;
    // Name search: the pattern, the optional filters, and the rows found
    // (each row's entry, in list order).
    QPushButton* searchButton() const { return searchButton_; }
    QLineEdit* patternEdit() const { return patternEdit_; }
    QGroupBox* filterBox() const { return filterBox_; }
    // The filters as the page would search with them now.
    SearchFilter searchFilter() const;
    const std::vector<EntryId>& searchHits() const { return searchHits_; }
    bool searching() const { return work_.running() == WorkState::Job::Search; }
    QComboBox* candidateCombo() const { return candidates_; }
    QComboBox* sectorsPerClusterCombo() const { return sectorsPerCluster_; }
    QComboBox* heapOffsetCombo() const { return heapOffset_; }
    // The preview of the highlighted file, and the recoverability filter.
    PreviewPane* preview() const { return preview_; }
    QComboBox* recoverableCombo() const { return filterBox_->recoverableCombo(); }
    // Previews the file of a list row or a tree item (nothing for folders
    // or while a worker runs).
    void previewRow(int row);
    void previewItem(controls::Item item);

    // The handlers, as the controls call them.
    void labelClicked(controls::Item item);
    // The list shows the highlighted item: a folder's files (ROOT's too),
    // or a file alone.
    void showItem(controls::Item item);
    void itemExpanding(controls::Item item);
    void itemDoubleClicked(controls::Item item);
    void listRowToggled(int row, bool checked);

public slots:
    void pause();
    void resume();
    void stop();
    void save();
    // "Save Scan…": the result to a session file the operator names.
    void saveScan();
    // "Open Scan…": a listing session of this source shown in a new page.
    void openScan();
    // Command 1106: choose the output folder.
    void chooseOutputFolder();
    // "Details…": lists the partial and failed files of the last save.
    void showProblems();

signals:
    // The scan or save worker has ended and the page has shown its ending.
    void scanFinished();
    void saveFinished();
    // A name search has ended ("Searching Finished", the pattern message, or Stop).
    void searchFinished();

protected:
    void accept() override;

private:
    class PageMessages;

    void buildControls();
    // The session of a scan: opened (made) as the scan starts, the listing
    // written into it when the scan ends (on the worker).
    void openAutoSession(const VolumeView& view);
    // Writes the listing into the session on its own thread, as the end of
    // the scan job (the result is shown and browsable meanwhile; Save and
    // Search wait for it, as for any job).
    void keepListing();
    void showReopened();
    std::string listingJob() const;
    std::vector<session::SourceIdentity> sourceIdentity() const;
    QString pickSessionFile(bool forSaving);
    void buildSearchRow(QVBoxLayout* grid);
    void startSearch();
    void appendHits(const std::vector<SearchHit>& hits);
    void searchEnded(SearchEnd end);
    // The entry of a search row's data (rows of a search carry -2 - index).
    bool hitOf(int rowData, EntryId& id) const;
    // The tree item of hit k, or kNoItem. open: folders on its path are
    // filled when needed; otherwise *unopened gets the nearest folder whose
    // children are not in the tree yet (kNoItem when there is none).
    controls::Item itemOfHit(size_t k, bool open, controls::Item* unopened = nullptr);
    // Whether hit k is ticked in the tree (its item, or an unopened folder
    // above it, ticked), or by its own row when the tree cannot place it.
    bool hitTicked(size_t k);
    // The rows of the hits take the ticks the tree has now.
    void refreshHitTicks();
    void buildResultPanes(QVBoxLayout* grid);
    void buildProgressRow(QVBoxLayout* grid);
    void buildStatusRow(QVBoxLayout* grid);
    void buildHiddenChoices();
    void loadIcons();
    void connectControls();
    void connectTreeAndList();
    void provideRowTexts();
    void start();
    // Takes the parser for the volume and mode (false: none; the page says why).
    bool chooseParser();
    void scanEnded(ScanOutcome outcome);
    void saveEnded(SaveStats stats, SavePlan plan, uint64_t count, QString folder, QString written);
    void showWorkerControls(bool on);
    void setStatus(const QString& text);
    // Puts the children of folder item P in the tree (once), deleted
    // entries red. labelClick: nameless entries are skipped (label click,
    // first level); otherwise the walk ends at the first nameless entry
    // (expand).
    void fillChildren(controls::Item p, bool labelClick);
    bool entryOf(controls::Item item, EntryId& id) const;
    void fillListWithFiles(controls::Item folder, bool nameOnly);
    void showFileRow(controls::Item file);
    void rememberRows();
    // Ticks agree: the list follows the tree, the tree follows the header box.
    void treeStateChanged(const QModelIndex& topLeft, const QModelIndex& bottomRight);
    void headerToggled(bool checked);
    // A row's tick: a search row keeps its own, a folder's row ticks its tree item.
    void tickRow(int rowData, bool checked);
    // The ticked items below item, in tree order.
    void collectTicks(controls::Item item, std::vector<TickedItem>& out) const;
    int folderImage() const { return 0; }
    int iconFor(const std::string& name);
    QString pickFolder();
    void startSave(SavePlan plan, uint64_t count, const QString& folder);
    // The output folder, asked for when none is set ("" when none chosen).
    QString outputFolderOrAsk(bool tellFirst);
    void setProgressRange(qint64 high);
    void setProgressPos(qint64 pos);
    void previewEntry(EntryId id);
    // The tree's tint of a deleted file by its recoverability (cached).
    uint32_t tintOf(EntryId id, QString& tip);

    VolumeEntry volume_;
    ScanMode mode_;
    int scanMode_ = -1;
    Options options_;
    std::shared_ptr<readWriteInterface> reader_;
    std::unique_ptr<VolumeParser> ownParser_;
    VolumeParser* parser_ = nullptr;
    std::unique_ptr<PageMessages> messages_;
    QtProgressBridge bridge_;
    std::unique_ptr<ThrottledProgress> scanProgress_;
    std::unique_ptr<ThrottledProgress> saveProgress_;
    WorkState work_;  // the scan, a save or a search: one at a time
    std::atomic<bool> stopSaving_{false};
    bool results_ = false;     // the scan ended with a tree to save from
    uint64_t savedFiles_ = 0;  // files written from it so far
    std::atomic<bool> closing_{false};
    std::thread saveThread_;
    std::thread searchThread_;
    std::atomic<bool> stopSearch_{false};
    PauseGate searchGate_;
    std::unique_ptr<ThrottledProgress> searchProgress_;
    std::vector<EntryId> searchHits_;
    std::vector<std::vector<EntryId>> hitFolders_;  // the folders on each hit's path
    // Hits ticked by their own row: those the tree cannot place.
    std::unordered_set<EntryId> searchTicked_;
    bool hitRefreshQueued_ = false;
    // A filled folder item's children by their entries (made when a hit is
    // placed; a folder's children never change once filled).
    std::unordered_map<controls::Item, std::unordered_map<EntryId, controls::Item>> childrenByEntry_;
    ScanJob job_;  // declared after the parser: destroyed (joined) first
    int64_t progressScale_ = 1;

    // The whole source (before a mounted volume's device or a layer is
    // chosen): what a session is identified by.
    std::shared_ptr<readWriteInterface> sourceReader_;
    std::unique_ptr<session::SessionFile> session_;
    std::string sessionPath_;
    std::atomic<bool> dropSession_{false};
    std::atomic<bool> sessionFinished_{false};
    bool scanStopped_ = false;  // Stop ended the scan: its tree is partial
    std::atomic<bool> keepPending_{false};
    std::atomic<bool> sessionOpen_{false};  // session_ is set (by the thread that opens it)
    std::thread sessionThread_;
    QPushButton* saveScanButton_ = nullptr;
    QPushButton* openScanButton_ = nullptr;

    QLineEdit* volumeEdit_ = nullptr;
    QLineEdit* patternEdit_ = nullptr;
    QPushButton* searchButton_ = nullptr;
    SearchFilterBox* filterBox_ = nullptr;
    PreviewPane* preview_ = nullptr;
    std::unordered_map<EntryId, RecoveryEstimate> estimates_;
    // Files on sectors the image's map does not mark finished (set when the scan starts).
    std::shared_ptr<UnreadableSectors> unreadable_;
    controls::CXHtmlTree* tree_ = nullptr;
    controls::CCheckListCtrl* list_ = nullptr;
    QProgressBar* progress_ = nullptr;
    RateLabel* rate_ = nullptr;  // the running job's rate and time left
    QPushButton* pauseButton_ = nullptr;
    QPushButton* resumeButton_ = nullptr;
    QPushButton* stopButton_ = nullptr;
    QLabel* status_ = nullptr;
    QLabel* status2_ = nullptr;
    QPushButton* detailsButton_ = nullptr;
    QPushButton* saveButton_ = nullptr;
    QCheckBox* includeOverwritten_ = nullptr;  // "Include overwritten files"
    QPushButton* outputButton_ = nullptr;
    QLabel* outputLabel_ = nullptr;
    QLineEdit* outputEdit_ = nullptr;
    QPointer<QDialog> problemsDialog_;
    std::vector<FileReport> problems_;
    QHash<int, int> rowOfItem_;  // list row of a tree item
    // The folder (or file) whose rows the list shows; kNoItem: search hits,
    // a double-click's names, or nothing.
    controls::Item listShows_ = controls::kNoItem;
    QComboBox* candidates_ = nullptr;
    QComboBox* sectorsPerCluster_ = nullptr;
    QComboBox* heapOffset_ = nullptr;

    controls::Item root_ = controls::kNoItem;
    QVector<QIcon> icons_;
    QHash<QString, int> iconIndex_;
    std::unique_ptr<QFileIconProvider> iconProvider_;
};

// Registers the scan page with the wizard's page factory.
void registerScanPage();

}  // namespace brantlow::gui
