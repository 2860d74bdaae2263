#include "scan/gui/VolumeScanDlg.h"

#include <QApplication>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QFileIconProvider>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QThread>
#include <algorithm>
#include <climits>

#include "base/texts.h"
#include "fs/filesystems.h"
#include "scan/volumes.h"
#include "ui/CurrentSource.h"
#include "ui/PageFactory.h"

namespace brantlow::gui {

// The messages of the scan worker, shown as the page's own boxes: the
// ending's box is shown by the page after it has filled the tree; nothing
// is shown once the page is closing.
class VolumeScanDlg::PageMessages : public MessageSink {
public:
    PageMessages(MessageSink& boxes, const std::atomic<bool>& closing) : boxes_(boxes), closing_(closing) {}
    void info(const std::string& text) override {
        if (text == kScanDoneText) {
            done.store(true);
            return;
        }
        if (!closing_.load()) boxes_.info(text);
    }
    bool question(const std::string& text) override { return closing_.load() ? false : boxes_.question(text); }
    std::atomic<bool> done{false};

private:
    MessageSink& boxes_;
    const std::atomic<bool>& closing_;
};

VolumeScanDlg::VolumeScanDlg(WizardPage* opener, const VolumeEntry& volume, ScanMode mode)
    : VolumeScanDlg(opener, volume, mode, Options{}) {}

VolumeScanDlg::VolumeScanDlg(WizardPage* opener, const VolumeEntry& volume, ScanMode mode, Options options)
    : WizardPage("VOLUME-SCAN", opener), volume_(volume), mode_(mode), options_(std::move(options)) {
    setObjectName("VolumeScanDlg");
    messages_ = std::make_unique<PageMessages>(messages(), closing_);
    if (!options_.choose) options_.choose = selectParser;
    reader_ = options_.reader ? options_.reader : g_deviceReader;
    sourceReader_ = reader_;
    if (options_.sourcePath.empty()) options_.sourcePath = currentSourcePath();
    iconProvider_ = std::make_unique<QFileIconProvider>();
    buildControls();
    // The output folder of the volume before, while it is there.
    if (QFileInfo(session().outputFolder).isDir()) setOutputFolder(session().outputFolder);

    connect(&bridge_, &QtProgressBridge::rangeSet, this, &VolumeScanDlg::setProgressRange, Qt::QueuedConnection);
    connect(&bridge_, &QtProgressBridge::positionSet, this, &VolumeScanDlg::setProgressPos, Qt::QueuedConnection);
    // A page that is closing keeps its last words ("All thread Stopped").
    connect(&bridge_, &QtProgressBridge::statusSet, this, [this](const QString& t) {
        if (!closing_.load()) setStatus(t);
    }, Qt::QueuedConnection);
    connect(&bridge_, &QtProgressBridge::status2Set, this, [this](const QString& t) {
        if (!closing_.load()) status2_->setText(t);
    }, Qt::QueuedConnection);

    // The page starts its work once it is up, as the dialog's start does.
    QMetaObject::invokeMethod(this, [this] { start(); }, Qt::QueuedConnection);
}

VolumeScanDlg::~VolumeScanDlg() {
    closing_.store(true);
    stopWork();
    // The controls outlive this object's members while they are destroyed.
    disconnect(tree_->treeModel(), nullptr, this, nullptr);
    disconnect(list_->listModel(), nullptr, this, nullptr);
}

void VolumeScanDlg::start() {
    if (closing_.load()) return;
    // The volume: its mount point, else its number or device path.
    volumeEdit_->setText(QString::fromStdString(volume_.rootPath.empty() ? volume_.volumeNumber : volume_.rootPath));
    scanMode_ = static_cast<int>(mode_);
    root_ = tree_->InsertItem("ROOT", folderImage());
    if (options_.reopened) return showReopened();
    if (!chooseParser()) return;

    // A mounted volume is read through its own device.
    if (!volume_.rootPath.empty() && !volume_.volumeNumber.empty() && volume_.volumeNumber[0] == '/') {
        auto dev = std::make_shared<FileReadSeek>();
        if (dev->Open(volume_.volumeNumber)) {
            reader_ = sourceReader_ = dev;
            options_.sourcePath = volume_.volumeNumber;
        }
    }
    // A volume inside a layer is read through the layer.
    if (volume_.reader) reader_ = volume_.reader;
    if (!reader_) {
        messages().info("Please Restart the program to re begin necessary initialization...");
        backButton()->setEnabled(true);
        return;
    }

    ScanContext ctx;
    ctx.volume = volumeView(volume_, reader_);
    openAutoSession(ctx.volume);
    unreadable_ = std::make_shared<UnreadableSectors>(ctx.volume);
    ctx.mode = mode_;
    ctx.options = options_.scan;
    scanProgress_ = std::make_unique<ThrottledProgress>(&bridge_, &job_.gate());
    ctx.progress = scanProgress_.get();
    ctx.messages = messages_.get();
    list_->listModel()->setTextsAllowed(false);
    showWorkerControls(true);
    rate_->start(0, &job_.gate());
    work_.start(WorkState::Job::Scan);
    job_.start(parser_, ctx, [this](ScanOutcome out) {
        // A scan that ran to its end keeps its listing in its session: the
        // job goes on with that once the page has shown the result.
        if (sessionThread_.joinable()) sessionThread_.join();
        keepPending_.store(session_ && out != ScanOutcome::Rejected && !parser_->stopRequested.load() &&
                           !closing_.load());
        if (!keepPending_.load()) work_.finish(WorkState::Job::Scan);
        QMetaObject::invokeMethod(this, [this, out] { scanEnded(out); }, Qt::QueuedConnection);
    });
}

bool VolumeScanDlg::chooseParser() {
    ParserChoice choice;
    if (mode_ == ScanMode::Advanced && options_.adopted) {
        parser_ = options_.adopted;
    } else {
        choice = options_.choose(volume_.fileSystem, mode_);
        ownParser_ = std::move(choice.parser);
        parser_ = ownParser_.get();
    }
    if (!parser_) {
        if (choice.hasProcedure || !choice.statusText.empty() || findParserRow(volume_.fileSystem)) {
            // A file system without a procedure for this mode: nothing runs;
            // Back is the way out.
            if (!choice.statusText.empty()) setStatus(QString::fromStdString(choice.statusText));
            backButton()->setEnabled(true);
            showWorkerControls(false);
            return false;
        }
        messages().info("not a valid drive.");
        setStatus("Not a valid Drive .Go back");
        backButton()->setEnabled(true);
        return false;
    }
    if (!choice.statusText.empty()) setStatus(QString::fromStdString(choice.statusText));
    return true;
}

void VolumeScanDlg::scanEnded(ScanOutcome outcome) {
    job_.join();
    // A pause pressed as the worker ended must not hold the page's own reads.
    job_.resume();
    if (closing_.load()) return;
    if (outcome == ScanOutcome::Rejected) {
        // The parser's message was shown; the operator can only go back.
        backButton()->setEnabled(true);
        list_->listModel()->setTextsAllowed(true);
        emit scanFinished();
        return;
    }
    // The first level, each folder with its placeholder.
    fillChildren(root_, true);
    tree_->Expand(root_, controls::ExpandAction::Expand);
    results_ = tree_->GetChildItem(root_) != controls::kNoItem;
    backButton()->setEnabled(true);
    showWorkerControls(false);
    list_->listModel()->setTextsAllowed(true);
    // The status line first, so no phase text is left under the box; a file
    // system with its own ending has set its text already.
    if (messages_->done.load()) setStatus(kScanDoneText);
    if (keepPending_.exchange(false)) keepListing();
    const std::string box = scanEndingBox(*parser_, outcome, messages_->done.load());
    if (!box.empty()) messages().info(box);
    // A scan stopped before its end: its session is kept only when the
    // operator says so (a later open scans the volume again).
    scanStopped_ = !options_.reopened && parser_->stopRequested.load();
    if (scanStopped_ && session_ && !sessionFinished_.load() && !closing_.load() &&
        !messages().question(kKeepSessionQuestion)) {
        sessionOpen_.store(false);
        session_.reset();
        session::removeSession(sessionPath_);
        sessionPath_.clear();
    }
    emit scanFinished();
}

// A listing reopened from a session: shown as a scan's result, nothing read.
void VolumeScanDlg::showReopened() {
    parser_ = options_.reopened->parser.get();
    unreadable_ = std::make_shared<UnreadableSectors>(options_.reopened->view);
    messages_->done.store(true);
    QString note = "Opened from a session: the volume was not scanned again.";
    if (!options_.reopened->damage.empty()) note += " " + QString::fromStdString(options_.reopened->damage);
    status2_->setText(note);
    scanEnded(ScanOutcome::Done);
}

void VolumeScanDlg::showWorkerControls(bool on) {
    for (QWidget* w : {static_cast<QWidget*>(progress_), static_cast<QWidget*>(pauseButton_),
                       static_cast<QWidget*>(resumeButton_), static_cast<QWidget*>(stopButton_),
                       static_cast<QWidget*>(rate_)})
        w->setVisible(on);
    if (!on) rate_->stop();
}

bool VolumeScanDlg::running() const { return work_.busy(); }

QString VolumeScanDlg::unsavedWork() const {
    const bool ticked = tree_->GetCheckedCount() > 0 || !searchTicked_.empty();
    return QString::fromStdString(unsavedNote(results_, savedFiles_, ticked));
}

void VolumeScanDlg::setStatus(const QString& text) { status_->setText(text); }
QString VolumeScanDlg::statusText() const { return status_->text(); }
QString VolumeScanDlg::status2Text() const { return status2_->text(); }
QString VolumeScanDlg::outputFolder() const { return outputEdit_->text(); }
void VolumeScanDlg::setOutputFolder(const QString& path) {
    outputEdit_->setText(path);
    // The next volume's page starts with it.
    if (!path.trimmed().isEmpty()) session().outputFolder = path.trimmed();
    const QString shown = path.trimmed();
    outputLabel_->setText(shown.isEmpty() ? QString("(none chosen)") : shown);
    outputLabel_->setToolTip(shown);
}

void VolumeScanDlg::setProgressRange(qint64 high) {
    progressScale_ = high > INT_MAX ? high / INT_MAX + 1 : 1;
    progress_->setRange(0, static_cast<int>(std::max<qint64>(0, high / progressScale_)));
}

void VolumeScanDlg::setProgressPos(qint64 pos) {
    qint64 v = pos / progressScale_;
    progress_->setValue(static_cast<int>(std::clamp<qint64>(v, progress_->minimum(), progress_->maximum())));
    rate_->progress(progress_->value(), progress_->maximum());
}

// ---- commands -------------------------------------------------------------

void VolumeScanDlg::pause() {
    if (work_.answer(WorkState::Action::Pause) != WorkState::Answer::Go) return;
    job_.pause();
    searchGate_.pause();
    setStatus("Pause button pressed");
}

void VolumeScanDlg::resume() {
    job_.resume();
    searchGate_.resume();
    setStatus("Resume button pressed");
}

void VolumeScanDlg::stop() {
    if (!parser_) return;
    parser_->stopRequested.store(true, std::memory_order_relaxed);
    stopSaving_.store(true, std::memory_order_relaxed);
    stopSearch_.store(true, std::memory_order_relaxed);
    setStatus("stop button pressed.Please wait for the process to be stopped.");
}

void VolumeScanDlg::accept() {
    if (parser_) {
        parser_->stopRequested.store(true, std::memory_order_relaxed);
        setStatus("All thread Stopped");
    }
    if (scanMode_ != 2) scanMode_ = -1;
    WizardPage::accept();
}

void VolumeScanDlg::stopWork() {
    closing_.store(true);
    // The preview reads through the parser: it ends first.
    if (preview_) preview_->cancelAndWait();
    stopSaving_.store(true);
    stopSearch_.store(true);
    if (parser_) parser_->stopRequested.store(true, std::memory_order_relaxed);
    job_.gate().release();
    searchGate_.release();
    // Let a worker that waits on the GUI thread finish, for a while; then wait.
    QElapsedTimer t;
    t.start();
    while (running() && t.elapsed() < 5000 && QThread::currentThread() == qApp->thread()) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        QThread::msleep(5);
    }
    job_.abandon();
    if (saveThread_.joinable()) saveThread_.join();
    if (searchThread_.joinable()) searchThread_.join();
    if (sessionThread_.joinable()) sessionThread_.join();
    // The session is closed; the operator did not keep one cut short.
    sessionOpen_.store(false);
    session_.reset();
    if (dropSession_.exchange(false) && !sessionFinished_.load() && !sessionPath_.empty()) {
        session::removeSession(sessionPath_);
        sessionPath_.clear();
    }
}

void registerScanPage() {
    setScanPageFactory(
        [](WizardPage* opener, const VolumeEntry& volume, ScanMode mode, const ScanOptions& options) -> WizardPage* {
            VolumeScanDlg::Options o;
            o.scan = options;
            o.sessionFolder = session::wizardSessionFolder();
            return new VolumeScanDlg(opener, volume, mode, std::move(o));
        });
}

}  // namespace brantlow::gui
