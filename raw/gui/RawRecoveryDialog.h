// The raw recovery page: loads the signature types, runs the carving engine
// on a worker thread with Pause, Resume and Stop, shows the finds in the
// tri-state check-box tree by category with a list of the clicked
// category's files (item text, detected type, size, status), and writes the
// ticked finds.
//
// Each Parse makes a new engine whose "RAW RECOVERY " tree replaces the one
// before (a find is listed and saved once however often Parse is pressed).
// Parse carves the whole volume, to its last sector. Each find item carries
// (engine, index).
#pragma once

#include <QDialog>
#include <QHash>
#include <QIcon>
#include <QString>
#include <QTimer>
#include <QVector>
#include <atomic>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "base/sinks.h"
#include "controls/CXHtmlTree.h"
#include "disk/partition.h"
#include "disk/reader.h"
#include "raw/carve.h"
#include "scan/session/session_store.h"
#include "ui/PreviewPane.h"
#include "ui/RateLabel.h"

class QCheckBox;
class QLabel;
class QLineEdit;
class QProgressBar;
class QPushButton;
class QTableView;

namespace brantlow::raw::gui {

class FindListModel;

// The end of a carve: the box when something was found, and when nothing was.
inline constexpr const char* kCarveDoneText = "Scanning processing done.Select save button to save the data..";
inline constexpr const char* kCarveNothingText = "Scanning processing done.No file was found on this volume.";

// The bytes Parse carves of a volume: all of it, to its last sector, and
// never beyond the end of the source that holds it (sourceBytes; 0:
// unknown). 0 when nothing is left to carve.
uint64_t carveBytes(const VolumeEntry& volume, uint64_t sourceBytes);

class RawRecoveryDialog : public QDialog {
    Q_OBJECT
public:
    // reader: the shared device reader (nullptr or not open: Parse asks for a
    // restart); volume: the entry the volume list handed over.
    RawRecoveryDialog(std::shared_ptr<readWriteInterface> reader, const VolumeEntry& volume,
                      QWidget* parent = nullptr);
    ~RawRecoveryDialog() override;

    // Images of the tree: 0 the folder icon (top and category items), the
    // others the icons of the finds' types.
    static constexpr int kFolderImage = 0;
    // Item data of a find: the engine's number in the high bits, the find's
    // index in its engine's foundItems in the low 40.
    static uint64_t findData(size_t engine, size_t index) { return (uint64_t{engine} << 40) | index; }

    // Replaceable dialogs (tests).
    std::function<QString()> chooseTypeFile;      // "..."
    std::function<QString()> chooseOutputFolder;  // Save: "Please choose a folder."
    std::function<void()> openSettingEditor;      // the Setting button
    // "Save Scan…" and "Open Scan…": the session file ("" when cancelled).
    std::function<QString(bool forSaving)> chooseSessionFile;

    // Where a carve keeps its session as it goes ("": none) and the path
    // the source (reader) was opened from. A Parse goes on from the
    // checkpoint of an earlier carve of the same settings that was cut
    // short; a finished one is carved again.
    void setSessions(const std::string& folder, const std::string& sourcePath);
    // Parse with the carve session at path: a finished carve's finds are
    // shown without reading the volume again, one cut short goes on from
    // its last checkpoint. A session that is not a carve of this source
    // with these settings is refused with the reason and left as it is.
    void openSession(const QString& path);
    // The session a running carve writes ("" when none runs).
    QString sessionInProgress() const;
    // Removes that session once the carve has stopped.
    void dropSession() { dropSession_.store(true); }
    // The session of the last Parse ("" when none).
    QString sessionPath() const { return QString::fromStdString(sessionPath_); }

    bool running() const { return worker_.joinable() && !workerDone_.load(); }
    // Stops and joins the worker.
    void stopWork();
    // The find a tree item stands for; false for the top and category items.
    bool findOf(controls::Item item, const myJpg*& engine, size_t& index) const;

    QLineEdit* pathEdit;
    QPushButton* browseButton;
    QPushButton* parseButton;
    QCheckBox* loadDefaultCheck;
    QPushButton* settingButton;
    controls::CXHtmlTree* tree;
    QTableView* fileList;
    // The preview of the highlighted find (its bytes read into memory).
    ::brantlow::gui::PreviewPane* preview;
    QCheckBox* hideMarkedCheck;
    QCheckBox* freeOnlyCheck;
    QProgressBar* progress;
    ::brantlow::gui::RateLabel* rate;  // the carve's rate and time left
    QPushButton* pauseButton;
    QPushButton* resumeButton;
    QPushButton* stopButton;
    QLabel* status;
    // Back and Help stand for the page frame's (which carries them):
    // Back is disabled while a scan runs.
    QPushButton* backButton;
    QPushButton* saveButton;
    QPushButton* helpButton;
    QPushButton* saveScanButton;
    QPushButton* openScanButton;

    QString defaultPath() const { return defaultPath_; }
    // What closing now would lose: finds that no save has written ("": none).
    std::string unsavedNote() const;

signals:
    void scanFinished();

public slots:
    void parse();
    void pause();
    void resume();
    void stop();
    void save();
    void saveScan();
    void openScan();
    void browse();
    // A click on an item's label: a category lists its finds.
    void showCategory(int item);
    // Previews a find (nothing while a scan runs).
    void previewFind(const myJpg* engine, size_t index);
    // Escape: inside the wizard page the page's close question, not a
    // dialog closing itself and taking the results with it.
    void reject() override;

private slots:
    void flushFinds();
    void workerEnded();
    void applyHideMarked();

private:
    struct Pending {
        size_t index;
        std::string text, category;
        uint64_t count;
        FindStatus status;
        std::string extension;
    };
    class Sink;
    class Progress;
    void buildSettingsGroup(QLayout* outer);
    void buildResults(QLayout* outer);
    void buildProgressRow(QLayout* outer);
    void buildButtonRow(QLayout* outer);
    void connectControls();
    void chooseDefaultPath();
    void setScanningControls(bool scanning);
    // Loads the types Parse asks for; nullptr when Parse stops here.
    std::unique_ptr<myJpg> loadTypes();
    controls::Item categoryItem(const std::string& category);
    int imageFor(const std::string& extension);
    bool hidden(const CarvedItem& item) const;
    // path: the session to open ("": the default one of the settings).
    void startCarve(const std::string& sessionPath);
    std::string carveJob(const myJpg& e, bool freeOnly) const;
    // On the worker: opens the session of the carve (false: an explicitly
    // named one is refused, the carve does not run).
    bool openCarveSession(myJpg& e, const std::string& job, const std::string& path, bool named);

    QVector<QIcon> icons_;
    std::map<std::string, int> imageOf_;  // extension → image

    std::shared_ptr<readWriteInterface> reader_;
    VolumeEntry volume_;
    QString defaultPath_;
    std::vector<std::unique_ptr<myJpg>> engines_;
    uint64_t savedFinds_ = 0;  // finds of the current Parse written so far
    std::unique_ptr<Sink> sink_;
    std::unique_ptr<Progress> progressSink_;
    PauseGate gate_;
    std::thread worker_;
    std::atomic<bool> workerDone_{true};
    QTimer flushTimer_;
    controls::Item currentTop_ = controls::kNoItem;
    std::map<std::string, controls::Item> currentCategories_;
    controls::Item shownCategory_ = controls::kNoItem;
    FindListModel* listModel_;

    std::string sessionFolder_, sourcePath_;
    std::unique_ptr<session::SessionFile> session_;  // the worker's while it runs
    std::string sessionPath_;
    std::string lastJob_;
    std::atomic<bool> dropSession_{false};
    std::atomic<bool> sessionOpen_{false};  // session_ is set (by the worker)
    std::atomic<bool> sessionFinished_{false};
    std::atomic<bool> closing_{false};
    bool carveStopped_ = false;
};

}  // namespace brantlow::raw::gui
