// The raw recovery page: loads the signature types, runs the carving engine
// on a worker thread with Pause, Resume and Stop, shows the finds as a
// check-box tree by category with a list of the clicked category's files,
// and writes the ticked finds.
//
// Each Parse makes a new engine and a new "RAW RECOVERY " top item; every
// engine lives until the page closes, and each find item carries (engine,
// index), so items of an earlier Parse still save the right bytes.
#pragma once

#include <QDialog>
#include <QHash>
#include <QIcon>
#include <QString>
#include <QTimer>
#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "disk/partition.h"
#include "disk/reader.h"
#include "base/sinks.h"
#include "raw/carve.h"

class QCheckBox;
class QLabel;
class QLineEdit;
class QListView;
class QProgressBar;
class QPushButton;
class QTreeWidget;
class QTreeWidgetItem;

namespace brantlow::raw::gui {

class FindListModel;

class RawRecoveryDialog : public QDialog {
    Q_OBJECT
public:
    // reader: the shared device reader (nullptr or not open: Parse asks for a
    // restart); volume: the entry the volume list handed over.
    RawRecoveryDialog(std::shared_ptr<readWriteInterface> reader, const VolumeEntry& volume,
                      QWidget* parent = nullptr);
    ~RawRecoveryDialog() override;

    // Item roles of the tree.
    enum Role { KindRole = Qt::UserRole + 1, EngineRole, IndexRole };
    enum Kind { TopItem = 1, CategoryItem = 2, FindItem = 3 };

    // Replaceable dialogs (tests).
    std::function<QString()> chooseTypeFile;      // "..."
    std::function<QString()> chooseOutputFolder;  // Save: "Please choose a folder."
    std::function<void()> openSettingEditor;      // the Setting button

    bool running() const { return worker_.joinable() && !workerDone_.load(); }
    // Blocks until the worker ends (tests, closing).
    void waitForWorker();
    // Stops and joins the worker.
    void stopWork();

    QLineEdit* pathEdit;
    QPushButton* browseButton;
    QPushButton* parseButton;
    QCheckBox* loadDefaultCheck;
    QPushButton* settingButton;
    QTreeWidget* tree;
    QListView* fileList;
    QProgressBar* progress;
    QPushButton* pauseButton;
    QPushButton* resumeButton;
    QPushButton* stopButton;
    QLabel* status;
    QPushButton* backButton;
    QPushButton* saveButton;
    QPushButton* helpButton;

    QString defaultPath() const { return defaultPath_; }

signals:
    void backRequested();
    void scanFinished();
    // The Help menu: the wizard opens the manual, the About box, the web page.
    void helpRequested();
    void aboutRequested();
    void webPageRequested();

public slots:
    void parse();
    void pause();
    void resume();
    void stop();
    void save();
    void browse();
    void showCategory(QTreeWidgetItem* item);

private slots:
    void flushFinds();
    void workerEnded();

private:
    struct Pending {
        size_t index;
        std::string text, category;
        uint64_t count;
    };
    class Sink;
    class Progress;
    void setScanningControls(bool scanning);
    QIcon iconFor(const std::string& itemText);
    QHash<QString, QIcon> icons_;

    std::shared_ptr<readWriteInterface> reader_;
    VolumeEntry volume_;
    QString defaultPath_;
    std::vector<std::unique_ptr<myJpg>> engines_;
    std::unique_ptr<Sink> sink_;
    std::unique_ptr<Progress> progressSink_;
    PauseGate gate_;
    std::thread worker_;
    std::atomic<bool> workerDone_{true};
    std::atomic<bool> stopRequested_{false};
    QTimer flushTimer_;
    QTreeWidgetItem* currentTop_ = nullptr;
    std::map<std::string, QTreeWidgetItem*> currentCategories_;
    FindListModel* listModel_;
};

}  // namespace brantlow::raw::gui
