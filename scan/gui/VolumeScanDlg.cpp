#include "scan/gui/VolumeScanDlg.h"

#include <QApplication>
#include <QCheckBox>
#include <QDateEdit>
#include <QGroupBox>
#include <QIntValidator>
#include <QMutex>
#include <QComboBox>
#include <QCoreApplication>
#include <QDialog>
#include <QDialogButtonBox>
#include <QElapsedTimer>
#include <QFileDialog>
#include <QFileIconProvider>
#include <QFileInfo>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QMimeDatabase>
#include <QProgressBar>
#include <QRegularExpressionValidator>
#include <QPushButton>
#include <QSplitter>
#include <QStyle>
#include <QThread>
#include <QTreeWidget>
#include <QVBoxLayout>
#include <chrono>
#include <climits>
#include <mutex>
#include <unordered_set>

#include "ui/PageFactory.h"
#include "base/texts.h"
#include "fs/filesystems.h"
#include "scan/tree_walk.h"
#include "scan/volumes.h"
#include "ui/CurrentSource.h"

namespace brantlow::gui {

using controls::Item;
using controls::kNoItem;

namespace {

constexpr const char* kWaitText = "Please wait for other process to complete";

// The file systems whose quick save says where the file went.
bool quickSaveTells(const std::string& fs) {
    const ParserRow* row = findParserRow(fs);
    return row && row->quickSaveTells;
}

}  // namespace

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
    iconProvider_ = std::make_unique<QFileIconProvider>();
    buildControls();

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

void VolumeScanDlg::buildControls() {
    nextButton()->hide();
    backButton()->setEnabled(false);
    auto* grid = new QVBoxLayout(content());
    grid->setContentsMargins(12, 8, 12, 4);
    buildSearchRow(grid);
    buildResultPanes(grid);
    buildProgressRow(grid);
    buildStatusRow(grid);
    buildHiddenChoices();
    loadIcons();
    connectControls();
}

// "Volume Data:", the search pattern and its button, and the hint below.
void VolumeScanDlg::buildSearchRow(QVBoxLayout* grid) {
    auto* top = new QHBoxLayout;
    top->addWidget(new QLabel("Volume Data:"));
    volumeEdit_ = new QLineEdit;
    volumeEdit_->setObjectName("volumeData");
    volumeEdit_->setReadOnly(true);
    top->addWidget(volumeEdit_, 1);
    patternEdit_ = new QLineEdit;
    patternEdit_->setObjectName("pattern");
    top->addWidget(patternEdit_, 1);
    searchButton_ = new QPushButton("Search");
    searchButton_->setObjectName("searchButton");
    searchButton_->setAutoDefault(false);
    top->addWidget(searchButton_);
    grid->addLayout(top);
    auto* hint = new QLabel("* Use \"|\" to find multiple file type ");
    hint->setAlignment(Qt::AlignRight);
    grid->addWidget(hint);
    buildFilterBox(grid);
}

// Filters that narrow a search: off unless the box is ticked.
void VolumeScanDlg::buildFilterBox(QVBoxLayout* grid) {
    filterBox_ = new QGroupBox("Search filters");
    filterBox_->setObjectName("searchFilters");
    filterBox_->setCheckable(true);
    filterBox_->setChecked(false);
    auto* row = new QHBoxLayout(filterBox_);
    row->setContentsMargins(6, 2, 6, 2);
    deletedOnly_ = new QCheckBox("Deleted only");
    deletedOnly_->setObjectName("deletedOnly");
    row->addWidget(deletedOnly_);
    row->addWidget(new QLabel("Size (KB):"));
    minSize_ = new QLineEdit;
    minSize_->setObjectName("minSize");
    maxSize_ = new QLineEdit;
    maxSize_->setObjectName("maxSize");
    for (QLineEdit* e : {minSize_, maxSize_}) {
        e->setValidator(new QRegularExpressionValidator(QRegularExpression("[0-9]{0,12}"), e));
        e->setMaximumWidth(80);
    }
    minSize_->setPlaceholderText("from");
    maxSize_->setPlaceholderText("to");
    row->addWidget(minSize_);
    row->addWidget(maxSize_);
    useAfter_ = new QCheckBox("Modified from");
    useAfter_->setObjectName("useModifiedAfter");
    after_ = new QDateEdit(QDate::currentDate().addYears(-1));
    after_->setObjectName("modifiedAfter");
    useBefore_ = new QCheckBox("to");
    useBefore_->setObjectName("useModifiedBefore");
    before_ = new QDateEdit(QDate::currentDate());
    before_->setObjectName("modifiedBefore");
    for (QDateEdit* d : {after_, before_}) {
        d->setCalendarPopup(true);
        d->setDisplayFormat("yyyy-MM-dd");
    }
    row->addWidget(useAfter_);
    row->addWidget(after_);
    row->addWidget(useBefore_);
    row->addWidget(before_);
    row->addWidget(new QLabel("Recoverable:"));
    recoverable_ = new QComboBox;
    recoverable_->setObjectName("recoverableFilter");
    recoverable_->addItems({"any", "intact", "intact or partly", "partly overwritten", "overwritten", "unknown"});
    row->addWidget(recoverable_);
    row->addWidget(new QLabel("Types:"));
    extensions_ = new QLineEdit;
    extensions_->setObjectName("extensions");
    extensions_->setPlaceholderText("jpg,png,docx");
    row->addWidget(extensions_, 1);
    grid->addWidget(filterBox_);
}

// The result tree beside the file list.
void VolumeScanDlg::buildResultPanes(QVBoxLayout* grid) {
    auto* split = new QSplitter(Qt::Horizontal);
    tree_ = new controls::CXHtmlTree;
    tree_->setObjectName("resultTree");
    tree_->Initialize();
    list_ = new controls::CCheckListCtrl;
    list_->setObjectName("fileList");
    list_->InitHeader();
    // The preview of the highlighted file below the list.
    auto* right = new QSplitter(Qt::Vertical);
    preview_ = new PreviewPane;
    right->addWidget(list_);
    right->addWidget(preview_);
    right->setStretchFactor(0, 3);
    right->setStretchFactor(1, 1);
    split->addWidget(tree_);
    split->addWidget(right);
    split->setStretchFactor(0, 2);
    split->setStretchFactor(1, 3);
    grid->addWidget(split, 1);
}

// The progress bar with Pause, Resume and Stop.
void VolumeScanDlg::buildProgressRow(QVBoxLayout* grid) {
    auto* bar = new QHBoxLayout;
    progress_ = new QProgressBar;
    progress_->setObjectName("progress");
    progress_->setRange(0, 100);
    progress_->setValue(0);
    progress_->setTextVisible(false);
    bar->addWidget(progress_, 1);
    pauseButton_ = new QPushButton("Pause");
    pauseButton_->setObjectName("pauseButton");
    resumeButton_ = new QPushButton("Resume");
    resumeButton_->setObjectName("resumeButton");
    stopButton_ = new QPushButton("Stop");
    stopButton_->setObjectName("stopButton");
    for (QPushButton* b : {pauseButton_, resumeButton_, stopButton_}) {
        b->setAutoDefault(false);
        bar->addWidget(b);
    }
    grid->addLayout(bar);
}

// The two status lines, "Output Folder" and "Save".
void VolumeScanDlg::buildStatusRow(QVBoxLayout* grid) {
    auto* statusRow = new QHBoxLayout;
    status_ = new QLabel;
    status_->setObjectName("status");
    status_->setTextFormat(Qt::PlainText);
    status_->setMinimumWidth(100);
    status_->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
    statusRow->addWidget(status_, 3);
    saveButton_ = new QPushButton("Save");
    saveButton_->setObjectName("saveButton");
    saveButton_->setAutoDefault(false);
    statusRow->addWidget(saveButton_);
    grid->addLayout(statusRow);

    // The second status line (what the last save did) with "Details…", and
    // the output folder beside its button.
    auto* saveRow = new QHBoxLayout;
    status2_ = new QLabel;
    status2_->setObjectName("status2");
    status2_->setTextFormat(Qt::PlainText);
    status2_->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
    saveRow->addWidget(status2_, 3);
    detailsButton_ = new QPushButton(QString::fromUtf8("Details\u2026"));
    detailsButton_->setObjectName("detailsButton");
    detailsButton_->setAutoDefault(false);
    detailsButton_->hide();
    saveRow->addWidget(detailsButton_);
    outputButton_ = new QPushButton("Output Folder");
    outputButton_->setObjectName("outputFolderButton");
    outputButton_->setAutoDefault(false);
    saveRow->addWidget(outputButton_);
    outputLabel_ = new QLabel("(none chosen)");
    outputLabel_->setObjectName("outputFolderShown");
    outputLabel_->setTextFormat(Qt::PlainText);
    outputLabel_->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
    outputLabel_->setTextInteractionFlags(Qt::TextSelectableByMouse);
    saveRow->addWidget(outputLabel_, 2);
    grid->addLayout(saveRow);
}

// Hidden: the output folder and, in Advanced mode, the choices copied from
// the advanced-input page.
void VolumeScanDlg::buildHiddenChoices() {
    outputEdit_ = new QLineEdit(content());
    outputEdit_->setObjectName("outputFolder");
    outputEdit_->hide();
    candidates_ = new QComboBox(content());
    candidates_->setObjectName("candidates");
    sectorsPerCluster_ = new QComboBox(content());
    sectorsPerCluster_->setObjectName("sectorsPerCluster");
    heapOffset_ = new QComboBox(content());
    heapOffset_->setObjectName("heapOffset");
    for (QComboBox* c : {candidates_, sectorsPerCluster_, heapOffset_}) c->hide();
}

// Images: 0 folder, 1 plain file (also the placeholder's), then one per file
// type as they are met.
void VolumeScanDlg::loadIcons() {
    QIcon folder = iconProvider_->icon(QFileIconProvider::Folder);
    if (folder.isNull()) folder = style()->standardIcon(QStyle::SP_DirIcon);
    QIcon file = iconProvider_->icon(QFileIconProvider::File);
    if (file.isNull()) file = style()->standardIcon(QStyle::SP_FileIcon);
    icons_ = {folder, file};
    tree_->setIcons(&icons_);
    list_->listModel()->setIcons(&icons_);
}

void VolumeScanDlg::connectControls() {
    connect(pauseButton_, &QPushButton::clicked, this, &VolumeScanDlg::pause);
    connect(resumeButton_, &QPushButton::clicked, this, &VolumeScanDlg::resume);
    connect(stopButton_, &QPushButton::clicked, this, &VolumeScanDlg::stop);
    connect(saveButton_, &QPushButton::clicked, this, &VolumeScanDlg::save);
    connect(outputButton_, &QPushButton::clicked, this, &VolumeScanDlg::chooseOutputFolder);
    connect(detailsButton_, &QPushButton::clicked, this, &VolumeScanDlg::showProblems);
    connect(searchButton_, &QPushButton::clicked, this, &VolumeScanDlg::startSearch);
    // Enter in the pattern searches (and never ends the program).
    connect(patternEdit_, &QLineEdit::returnPressed, this, &VolumeScanDlg::startSearch);
    connect(tree_, &controls::CXHtmlTree::labelClicked, this, &VolumeScanDlg::labelClicked);
    connect(tree_->treeModel(), &controls::CheckTreeModel::fetchRequested, this, &VolumeScanDlg::itemExpanding);
    connect(tree_, &QTreeView::expanded, this, [this](const QModelIndex& i) {
        Item it = tree_->treeModel()->itemOf(i);
        if (running() && tree_->treeModel()->isPlaceholder(tree_->GetChildItem(it))) {
            // Nothing is read while a worker runs; the folder opens later.
            QMetaObject::invokeMethod(this, [this, it] { tree_->Expand(it, controls::ExpandAction::Collapse); },
                                      Qt::QueuedConnection);
            return;
        }
        // The view is still laying out the expansion: fill afterwards (the
        // model's fetchMore normally has done it already).
        QMetaObject::invokeMethod(this, [this, it] { itemExpanding(it); }, Qt::QueuedConnection);
    });
    connect(tree_, &controls::CXHtmlTree::itemDoubleClicked, this, &VolumeScanDlg::itemDoubleClicked);
    connect(list_->listModel(), &controls::CheckListModel::rowToggled, this, &VolumeScanDlg::listRowToggled);
    connect(list_->listModel(), &controls::CheckListModel::headerToggled, this, &VolumeScanDlg::headerToggled);
    connect(tree_->treeModel(), &QAbstractItemModel::dataChanged, this, &VolumeScanDlg::treeStateChanged);
    list_->listModel()->setTextProvider([this](int data, controls::RowTexts& out) {
        EntryId id;
        if (!parser_ || (!entryOf(data, id) && !hitOf(data, id))) return false;
        ListTexts t = parser_->listTexts(id);
        EntryInfo info;
        std::string recoverable;
        if (parser_->entryInfo(id, info) && info.state == EntryState::Deleted && info.kind != EntryKind::Folder) {
            QString tip;
            tintOf(id, tip);
            recoverable = tip.toStdString();
        }
        out = {t.created, t.accessed, t.modified, t.size, t.attributes, recoverable};
        return true;
    });
    // Deleted files are tinted by what is left of them.
    tree_->treeModel()->setTintProvider([this](uint64_t data, QString& tip) {
        EntryInfo info;
        if (!parser_ || !parser_->entryInfo(data, info) || info.state != EntryState::Deleted ||
            info.kind == EntryKind::Folder)
            return controls::kColorNone;
        return tintOf(data, tip);
    });
    // The highlighted file is previewed.
    connect(list_->selectionModel(), &QItemSelectionModel::currentChanged, this,
            [this](const QModelIndex& cur) { previewRow(cur.isValid() ? cur.row() : -1); });
    connect(tree_->selectionModel(), &QItemSelectionModel::currentChanged, this,
            [this](const QModelIndex& cur) { previewItem(tree_->treeModel()->itemOf(cur)); });
    // A file shown under the name the recycle bin recorded says where it was.
    list_->listModel()->setToolTipProvider([this](int data) {
        EntryId id;
        EntryInfo info;
        if (!parser_ || (!entryOf(data, id) && !hitOf(data, id)) || !parser_->entryInfo(id, info) ||
            info.originalPath.empty())
            return QString();
        QString tip = QString::fromStdString(info.name) + "\nOriginally: " + QString::fromStdString(info.originalPath);
        if (info.deletedAt) tip += "\nDeleted: " + QString::fromStdString(isoUtc(info.deletedAt->sec));
        return tip;
    });
}

void VolumeScanDlg::start() {
    if (closing_.load()) return;
    // The volume: its mount point, else its number or device path.
    volumeEdit_->setText(QString::fromStdString(volume_.rootPath.empty() ? volume_.volumeNumber : volume_.rootPath));
    scanMode_ = static_cast<int>(mode_);
    root_ = tree_->InsertItem("ROOT", folderImage());

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
            return;
        }
        messages().info("not a valid drive.");
        setStatus("Not a valid Drive .Go back");
        backButton()->setEnabled(true);
        return;
    }
    if (!choice.statusText.empty()) setStatus(QString::fromStdString(choice.statusText));

    // A mounted volume is read through its own device.
    if (!volume_.rootPath.empty() && !volume_.volumeNumber.empty() && volume_.volumeNumber[0] == '/') {
        auto dev = std::make_shared<FileReadSeek>();
        if (dev->Open(volume_.volumeNumber)) reader_ = dev;
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
    ctx.mode = mode_;
    ctx.options = options_.scan;
    scanProgress_ = std::make_unique<ThrottledProgress>(&bridge_, &job_.gate());
    ctx.progress = scanProgress_.get();
    ctx.messages = messages_.get();
    list_->listModel()->setTextsAllowed(false);
    showWorkerControls(true);
    job_.start(parser_, ctx, [this](ScanOutcome out) {
        QMetaObject::invokeMethod(this, [this, out] { scanEnded(out); }, Qt::QueuedConnection);
    });
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
    backButton()->setEnabled(true);
    showWorkerControls(false);
    list_->listModel()->setTextsAllowed(true);
    if (messages_->done.load()) {
        // The status line first, so no phase text is left under the box.
        setStatus(kScanDoneText);
        messages().info(kScanDoneText);
    }
    emit scanFinished();
}

void VolumeScanDlg::showWorkerControls(bool on) {
    for (QWidget* w : {static_cast<QWidget*>(progress_), static_cast<QWidget*>(pauseButton_),
                       static_cast<QWidget*>(resumeButton_), static_cast<QWidget*>(stopButton_)})
        w->setVisible(on);
}

bool VolumeScanDlg::running() const {
    return job_.running() || saving_.load(std::memory_order_acquire) || searching_.load(std::memory_order_acquire);
}

void VolumeScanDlg::setStatus(const QString& text) { status_->setText(text); }
QString VolumeScanDlg::statusText() const { return status_->text(); }
QString VolumeScanDlg::status2Text() const { return status2_->text(); }
QString VolumeScanDlg::outputFolder() const { return outputEdit_->text(); }
void VolumeScanDlg::setOutputFolder(const QString& path) {
    outputEdit_->setText(path);
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
}

// ---- commands -------------------------------------------------------------

void VolumeScanDlg::pause() {
    if (!running()) return;
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
}

QString VolumeScanDlg::pickFolder() {
    if (options_.pickFolder) return options_.pickFolder(this);
    return QFileDialog::getExistingDirectory(this, "Please choose a folder.", QString(),
                                             QFileDialog::ShowDirsOnly);
}

void VolumeScanDlg::chooseOutputFolder() { setOutputFolder(pickFolder()); }

bool VolumeScanDlg::entryOf(Item item, EntryId& id) const {
    if (!tree_->checkTree().valid(item) || !tree_->HasItemData(item)) return false;
    id = tree_->GetItemData(item);
    return true;
}

QString VolumeScanDlg::outputFolderOrAsk(bool tellFirst) {
    QString out = outputFolder().trimmed();
    if (!out.isEmpty()) return out;
    if (tellFirst) messages().info("select output folder");
    out = pickFolder().trimmed();
    if (!out.isEmpty()) setOutputFolder(out);
    return out;
}

void VolumeScanDlg::collectTicked(Item item, std::vector<EntryId>& out) const {
    const controls::CheckTree& t = tree_->checkTree();
    for (Item c : t.children(item)) {
        if (t.stateImage(c) == controls::kUnchecked || !t.hasData(c)) continue;
        const EntryId id = t.data(c);
        EntryInfo info;
        if (!parser_->entryInfo(id, info)) continue;
        if (info.kind == EntryKind::File) {
            if (t.getCheck(c)) out.push_back(id);
        } else if (info.kind == EntryKind::Folder) {
            if (tree_->treeModel()->isPlaceholder(t.firstChild(c))) {
                // Ticked but never opened: everything below it.
                if (!t.getCheck(c)) continue;
                walkTree(*parser_, id, [&](const WalkStep& st) {
                    if (st.info.kind == EntryKind::File) out.push_back(st.id);
                    return true;
                });
            } else {
                collectTicked(c, out);
            }
        }
    }
}

std::vector<EntryId> VolumeScanDlg::tickedFiles() const {
    std::vector<EntryId> files;
    if (!parser_ || root_ == kNoItem) return files;
    // Ticked rows of a search, in the order they were found.
    for (EntryId id : searchHits_)
        if (searchTicked_.count(id)) files.push_back(id);
    if (tree_->checkTree().stateImage(root_) != controls::kUnchecked) collectTicked(root_, files);
    // Once each, in tree order as collected.
    std::unordered_set<EntryId> seen;
    std::vector<EntryId> once;
    for (EntryId id : files)
        if (seen.insert(id).second) once.push_back(id);
    return once;
}

void VolumeScanDlg::save() {
    if (running()) {
        messages().info(kWaitText);
        return;
    }
    if (!parser_) return;
    SaveJob job;
    job.files = tickedFiles();
    if (!job.files.empty()) {
        // Ticks decide: exactly the ticked files.
        job.kind = SaveJob::Ticked;
        job.count = job.files.size();
    } else {
        // Nothing ticked: the selected folder (ROOT: the whole volume).
        Item sel = tree_->GetSelectedItem();
        EntryInfo info;
        if (sel == root_ && sel != kNoItem) {
            job.folder = kRootId;
        } else if (!entryOf(sel, job.folder) || !parser_->entryInfo(job.folder, info) ||
                   info.kind != EntryKind::Folder) {
            setStatus("Tick the files to save, or select a folder.");
            return;
        }
        job.kind = SaveJob::Folder;
    }
    const QString out = outputFolderOrAsk(true);
    if (out.isEmpty()) return;
    if (job.kind == SaveJob::Folder) job.count = countFiles(*parser_, job.folder);
    setProgressRange(static_cast<qint64>(job.count));
    setProgressPos(0);
    std::string q = "number of files found inside this folder = " +
                    std::to_string(static_cast<long long>(job.count)) +
                    " .do u want to continue dumping these files..?";
    if (!messages().question(q)) return;
    startSave(std::move(job), out);
}

void VolumeScanDlg::startSave(SaveJob job, const QString& folder) {
    if (saveThread_.joinable()) saveThread_.join();
    preview_->cancelAndWait();
    stopSaving_.store(false);
    parser_->stopRequested.store(false, std::memory_order_relaxed);
    saveProgress_ = std::make_unique<ThrottledProgress>(&bridge_, &job_.gate());
    const bool quick = job.kind == SaveJob::Quick;
    if (!quick) saveProgress_->range(static_cast<int64_t>(job.count));
    saving_.store(true, std::memory_order_release);
    list_->listModel()->setTextsAllowed(false);
    backButton()->setEnabled(false);
    status2_->clear();
    detailsButton_->hide();
    if (!quick) showWorkerControls(true);
    std::string dir = folder.toStdString();
    VolumeParser* p = parser_;
    ThrottledProgress* prog = saveProgress_.get();
    saveThread_ = std::thread([this, p, job = std::move(job), dir, prog, folder]() mutable {
        SaveStats stats;
        std::string written;  // quick save: where the file went
        if (job.kind == SaveJob::Quick) {
            SaveOptions o;
            o.onFile = [&](const FileReport& r) { written = r.path; };
            saveOne(*p, job.folder, dir, stats, o);
        } else if (job.kind == SaveJob::Ticked) {
            stats = saveEntries(*p, job.files, dir, prog, &stopSaving_);
        } else {
            stats = saveFolder(*p, job.folder, dir, prog, &stopSaving_);
        }
        prog->flush();
        saving_.store(false, std::memory_order_release);
        QString quickPath = QString::fromStdString(written);
        QMetaObject::invokeMethod(
            this, [this, stats, job, folder, quickPath] { saveEnded(stats, job, folder, quickPath); },
            Qt::QueuedConnection);
    });
}

void VolumeScanDlg::saveEnded(SaveStats stats, SaveJob job, QString folder, QString quickPath) {
    if (saveThread_.joinable()) saveThread_.join();
    job_.resume();
    if (closing_.load()) return;
    list_->listModel()->setTextsAllowed(true);
    backButton()->setEnabled(true);
    showWorkerControls(false);
    // What was written and where, with the files that were not, before any
    // box appears: no "saving File" text is left behind.
    problems_ = stats.problems;
    status2_->setText(QString::fromStdString(saveSummary(stats, folder.toStdString(), volume_.outputNote)));
    detailsButton_->setVisible(!problems_.empty());
    if (job.kind == SaveJob::Quick) {
        if (stats.written || stats.partial)
            setStatus("File saved to " + (quickPath.isEmpty() ? folder : quickPath));
        else
            setStatus("File not saved: " + QString::fromStdString(stats.lastError));
        if (quickSaveTells(volume_.fileSystem))
            messages().info("file is dumped in path  :  " + folder.toStdString() + "   ");
    } else {
        setProgressPos(static_cast<qint64>(job.count));
        setStatus("work done");
        messages().info("work done");
    }
    emit saveFinished();
}

void VolumeScanDlg::showProblems() {
    if (problemsDialog_) {
        problemsDialog_->raise();
        return;
    }
    auto* d = new QDialog(this);
    d->setObjectName("saveProblems");
    d->setWindowTitle(kCaption);
    d->setAttribute(Qt::WA_DeleteOnClose);
    d->resize(720, 360);
    auto* lay = new QVBoxLayout(d);
    auto* list = new QTreeWidget(d);
    list->setObjectName("problemList");
    list->setRootIsDecorated(false);
    list->setHeaderLabels({"File", "Result", "Bytes written", "Reason"});
    for (const FileReport& r : problems_) {
        const char* what = r.status == WriteStatus::Partial ? "partial" : "failed";
        auto* row = new QTreeWidgetItem(list, QStringList{QString::fromStdString(r.path), what,
                                                          QString::number(static_cast<qulonglong>(r.bytes)),
                                                          QString::fromStdString(r.reason)});
        row->setToolTip(0, row->text(0));
        row->setToolTip(3, row->text(3));
    }
    list->resizeColumnToContents(1);
    list->resizeColumnToContents(2);
    lay->addWidget(list, 1);
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Close, d);
    connect(buttons, &QDialogButtonBox::rejected, d, &QDialog::close);
    lay->addWidget(buttons);
    problemsDialog_ = d;
    d->show();
}

// ---- result tree and list -------------------------------------------------

int VolumeScanDlg::iconFor(const std::string& name) {
    QString n = QString::fromStdString(name);
    QString ext = QFileInfo(n).suffix().toLower();
    if (ext.isEmpty()) return 1;
    auto it = iconIndex_.find(ext);
    if (it != iconIndex_.end()) return *it;
    QMimeDatabase db;
    QMimeType mt = db.mimeTypeForFile(n, QMimeDatabase::MatchExtension);
    QIcon icon = QIcon::fromTheme(mt.iconName());
    if (icon.isNull()) icon = QIcon::fromTheme(mt.genericIconName());
    int index = 1;
    if (!icon.isNull()) {
        icons_.push_back(icon);
        index = static_cast<int>(icons_.size()) - 1;
    }
    iconIndex_.insert(ext, index);
    return index;
}

void VolumeScanDlg::fillChildren(Item p, bool labelClick) {
    if (!parser_) return;
    controls::CheckTree& t = tree_->checkTree();
    if (!t.valid(p)) return;
    Item first = t.firstChild(p);
    bool placeholder = tree_->treeModel()->isPlaceholder(first);
    if (!placeholder && first != kNoItem) return;  // filled before

    EntryId id = kRootId;
    if (p != root_ && !entryOf(p, id)) return;
    // The entries on the path to P: a child that is one of them is a cycle.
    std::unordered_set<EntryId> onPath{id};
    int depth = 0;
    for (Item a = t.parent(p); a != kNoItem; a = t.parent(a)) {
        if (++depth > kMaxTreeDepth) return;
        if (t.hasData(a)) onPath.insert(t.data(a));
    }
    bool checked = tree_->GetCheck(p);
    std::vector<controls::NewItem> newItems;
    std::unordered_set<EntryId> seen;
    for (EntryId c : parser_->children(id)) {
        if (onPath.count(c) || !seen.insert(c).second) continue;  // a cycle, or a repeat
        EntryInfo info;
        if (!parser_->entryInfo(c, info)) continue;
        if (info.name.empty()) {
            if (labelClick) continue;
            break;  // the expand ends at the first nameless entry
        }
        controls::NewItem s;
        s.text = QString::fromStdString(info.name);
        bool folder = info.kind == EntryKind::Folder;
        s.image = folder ? folderImage() : iconFor(info.name);
        s.hasData = true;
        s.data = c;
        // Deleted entries are red however their folder was opened.
        if (info.state == EntryState::Deleted) s.textColor = controls::kColorRed;
        s.placeholder = folder && info.hasChildren;
        newItems.push_back(std::move(s));
    }
    std::vector<Item> added;
    if (placeholder) {
        if (newItems.empty()) {
            // Nothing to show: the placeholder goes, once no view is in the
            // middle of laying out this folder.
            QMetaObject::invokeMethod(this, [this, p] {
                Item f = tree_->GetChildItem(p);
                if (tree_->treeModel()->isPlaceholder(f)) tree_->DeleteItem(f);
            }, Qt::QueuedConnection);
            return;
        }
        added = tree_->ReplacePlaceholder(first, newItems);
    } else if (!newItems.empty()) {
        Item firstNew = tree_->InsertItems(p, newItems);
        for (size_t i = 0; i < newItems.size(); ++i) added.push_back(firstNew + static_cast<Item>(i));
    }
    // The new items take the folder's state.
    if (checked)
        for (Item it : added) tree_->SetCheck(it, true);
}

namespace {
// A list row for tree item c: its name, image, tick and colour.
controls::NewRow rowFor(const controls::CheckTree& t, Item c, bool nameOnly) {
    controls::NewRow r;
    r.name = QString::fromStdString(t.text(c));
    r.image = t.image(c);
    r.data = c;
    r.nameOnly = nameOnly;
    r.checked = t.getCheck(c);
    r.textColor = t.textColor(c);
    return r;
}
}  // namespace

void VolumeScanDlg::fillListWithFiles(Item folder, bool nameOnly) {
    controls::CheckTree& t = tree_->checkTree();
    controls::CheckListModel* m = list_->listModel();
    m->clearRows();
    // The rows of a search (and their ticks) give way to the folder's.
    searchHits_.clear();
    searchTicked_.clear();
    std::vector<controls::NewRow> rows;
    for (Item c : t.children(folder)) {
        if (!t.hasData(c) || t.image(c) == folderImage()) continue;
        rows.push_back(rowFor(t, c, nameOnly));
    }
    m->addRows(rows);
    rememberRows();
}

void VolumeScanDlg::showFileRow(Item file) {
    controls::CheckListModel* m = list_->listModel();
    m->clearRows();
    searchHits_.clear();
    searchTicked_.clear();
    m->addRows({rowFor(tree_->checkTree(), file, false)});
    rememberRows();
}

void VolumeScanDlg::rememberRows() {
    rowOfItem_.clear();
    const controls::CheckListModel* m = list_->listModel();
    for (int r = 0; r < m->rowCount(); ++r)
        if (m->rowData(r) >= 0) rowOfItem_.insert(m->rowData(r), r);
}

void VolumeScanDlg::treeStateChanged(const QModelIndex& topLeft, const QModelIndex& bottomRight) {
    if (rowOfItem_.isEmpty() || !topLeft.isValid()) return;
    controls::CheckTreeModel* tm = tree_->treeModel();
    const QModelIndex parent = topLeft.parent();
    for (int r = topLeft.row(); r <= bottomRight.row(); ++r) {
        const Item it = tm->itemOf(tm->index(r, 0, parent));
        auto row = rowOfItem_.constFind(it);
        if (row != rowOfItem_.constEnd()) list_->listModel()->setRowChecked(*row, tree_->GetCheck(it));
    }
}

void VolumeScanDlg::headerToggled(bool checked) {
    const controls::CheckListModel* m = list_->listModel();
    for (int r = 0; r < m->rowCount(); ++r) {
        const int item = m->rowData(r);
        EntryId hit;
        if (hitOf(item, hit)) {
            if (checked)
                searchTicked_.insert(hit);
            else
                searchTicked_.erase(hit);
            continue;
        }
        if (item >= 0 && tree_->checkTree().valid(item)) tree_->SetCheck(item, checked);
    }
}

void VolumeScanDlg::labelClicked(Item item) {
    // Nothing is read while a worker runs.
    if (running() || !parser_) return;
    controls::CheckTree& t = tree_->checkTree();
    if (!t.valid(item)) return;
    // An expanded, unticked folder ignores the click.
    if (t.expanded(item) && t.expandedOnce(item) && t.stateImage(item) == controls::kUnchecked) return;
    EntryId id;
    EntryInfo info;
    if (!entryOf(item, id) || !parser_->entryInfo(id, info)) return;
    if (info.kind == EntryKind::Folder) {
        fillChildren(item, true);
        fillListWithFiles(item, false);
    } else {
        showFileRow(item);
    }
}

void VolumeScanDlg::itemExpanding(Item item) {
    if (running()) return;
    fillChildren(item, false);
}

void VolumeScanDlg::itemDoubleClicked(Item item) {
    if (!parser_) return;
    if (running()) {
        // The parser is not asked anything while a worker runs.
        if (tree_->checkTree().valid(item) && tree_->HasItemData(item) && tree_->GetItemImage(item) != folderImage())
            messages().info(kWaitText);
        return;
    }
    EntryId id;
    EntryInfo info;
    if (!entryOf(item, id) || !parser_->entryInfo(id, info)) return;
    if (info.kind == EntryKind::Folder) {
        fillChildren(item, false);
        fillListWithFiles(item, true);
        return;
    }
    if (info.kind != EntryKind::File) return;
    // Quick save.
    const QString out = outputFolderOrAsk(false);
    if (out.isEmpty()) return;
    SaveJob job;
    job.kind = SaveJob::Quick;
    job.folder = id;
    job.count = 1;
    startSave(std::move(job), out);
}

void VolumeScanDlg::listRowToggled(int row, bool checked) {
    int item = list_->listModel()->rowData(row);
    EntryId hit;
    if (hitOf(item, hit)) {
        if (checked)
            searchTicked_.insert(hit);
        else
            searchTicked_.erase(hit);
        return;
    }
    if (item < 0 || !tree_->checkTree().valid(item)) return;
    tree_->SetCheck(item, checked);
}

// ---- name search ------------------------------------------------------------

bool VolumeScanDlg::hitOf(int rowData, EntryId& id) const {
    if (rowData > -2) return false;
    const size_t k = static_cast<size_t>(-2 - static_cast<int64_t>(rowData));
    if (k >= searchHits_.size()) return false;
    id = searchHits_[k];
    return true;
}

SearchFilter VolumeScanDlg::searchFilter() const {
    SearchFilter f;
    f.pattern = patternEdit_->text().toStdString();
    if (!filterBox_->isChecked()) return f;
    f.deletedOnly = deletedOnly_->isChecked();
    if (!minSize_->text().isEmpty()) f.minSize = minSize_->text().toULongLong() * 1024;
    if (!maxSize_->text().isEmpty()) f.maxSize = maxSize_->text().toULongLong() * 1024 + 1023;
    if (useAfter_->isChecked()) f.modifiedAfter = after_->date().startOfDay(Qt::UTC).toSecsSinceEpoch();
    if (useBefore_->isChecked()) f.modifiedBefore = before_->date().endOfDay(Qt::UTC).toSecsSinceEpoch();
    for (const QString& e : extensions_->text().split(QRegularExpression("[,; ]+"), Qt::SkipEmptyParts))
        f.extensions.push_back(e.toStdString());
    switch (recoverable_->currentIndex()) {
        case 1: f.recoverable = {Recoverability::Intact}; break;
        case 2: f.recoverable = {Recoverability::Intact, Recoverability::Partial}; break;
        case 3: f.recoverable = {Recoverability::Partial}; break;
        case 4: f.recoverable = {Recoverability::Overwritten}; break;
        case 5: f.recoverable = {Recoverability::Unknown}; break;
        default: break;
    }
    return f;
}

void VolumeScanDlg::startSearch() {
    if (running()) {
        messages().info(kWaitText);
        return;
    }
    if (!parser_) return;
    const SearchFilter filter = searchFilter();
    if (searchThread_.joinable()) searchThread_.join();
    preview_->cancelAndWait();
    preview_->clear();
    list_->listModel()->clearRows();
    rowOfItem_.clear();
    searchHits_.clear();
    searchTicked_.clear();
    stopSearch_.store(false);
    searchGate_.resume();
    parser_->stopRequested.store(false, std::memory_order_relaxed);
    searchProgress_ = std::make_unique<ThrottledProgress>(&bridge_, &searchGate_);
    searching_.store(true, std::memory_order_release);
    showWorkerControls(true);
    backButton()->setEnabled(false);
    VolumeParser* p = parser_;
    ThrottledProgress* prog = searchProgress_.get();
    searchThread_ = std::thread([this, p, filter, prog] {
        // Rows travel to the list in batches.
        std::vector<SearchHit> batch;
        auto last = std::chrono::steady_clock::now();
        auto flush = [&] {
            if (batch.empty()) return;
            QMetaObject::invokeMethod(this, [this, hits = std::move(batch)] { appendHits(hits); },
                                      Qt::QueuedConnection);
            batch.clear();
            last = std::chrono::steady_clock::now();
        };
        SearchEnd end = searchNames(*p, filter, [&](const SearchHit& h) {
            batch.push_back(h);
            if (batch.size() >= 256 || std::chrono::steady_clock::now() - last > std::chrono::milliseconds(100))
                flush();
        }, prog, &stopSearch_);
        flush();
        prog->flush();
        searching_.store(false, std::memory_order_release);
        QMetaObject::invokeMethod(this, [this, end] { searchEnded(end); }, Qt::QueuedConnection);
    });
}

void VolumeScanDlg::appendHits(const std::vector<SearchHit>& hits) {
    if (closing_.load() || !parser_) return;
    std::vector<controls::NewRow> rows;
    rows.reserve(hits.size());
    EntryInfo info;
    for (const SearchHit& h : hits) {
        controls::NewRow r;
        r.name = QString::fromStdString(displayUtf8(h.path));
        r.data = static_cast<int>(-2 - static_cast<int64_t>(searchHits_.size()));
        searchHits_.push_back(h.id);
        if (parser_->entryInfo(h.id, info)) {
            r.image = iconFor(info.name);
            if (info.state == EntryState::Deleted) r.textColor = controls::kColorRed;
        }
        rows.push_back(std::move(r));
    }
    list_->listModel()->addRows(rows);
}

void VolumeScanDlg::searchEnded(SearchEnd end) {
    if (searchThread_.joinable()) searchThread_.join();
    if (closing_.load()) return;
    showWorkerControls(false);
    backButton()->setEnabled(true);
    if (parser_) parser_->stopRequested.store(false, std::memory_order_relaxed);
    if (end == SearchEnd::BadPattern) {
        messages().info(kBadPatternText);
    } else {
        setStatus(kSearchFinishedText);
        messages().info(kSearchFinishedText);
    }
    emit searchFinished();
}

void registerScanPage() {
    setScanPageFactory(
        [](WizardPage* opener, const VolumeEntry& volume, ScanMode mode, const ScanOptions& options) -> WizardPage* {
            VolumeScanDlg::Options o;
            o.scan = options;
            return new VolumeScanDlg(opener, volume, mode, std::move(o));
        });
}

// ---- recoverability and preview ----------------------------------------------

uint32_t VolumeScanDlg::tintOf(EntryId id, QString& tip) {
    // Nothing is read while a worker runs; asked again when drawn later.
    if (!parser_ || running()) return controls::kColorNone;
    auto it = estimates_.find(id);
    if (it == estimates_.end()) it = estimates_.emplace(id, parser_->recoverability(id)).first;
    tip = QString::fromStdString(recoverabilityText(it->second));
    switch (it->second.state) {
        case Recoverability::Intact: return 0xD8F0D8u;       // light green
        case Recoverability::Partial: return 0xB0E0FFu;      // light orange
        case Recoverability::Overwritten: return 0xE0E0E0u;  // light grey
        case Recoverability::Unknown: break;
    }
    return controls::kColorNone;
}

void VolumeScanDlg::previewRow(int row) {
    EntryId id;
    const int data = row >= 0 && row < list_->listModel()->rowCount() ? list_->listModel()->rowData(row) : -1;
    if (data >= 0 ? entryOf(data, id) : hitOf(data, id))
        previewEntry(id);
    else
        preview_->clear();
}

void VolumeScanDlg::previewItem(Item item) {
    EntryId id;
    if (item != kNoItem && item != root_ && entryOf(item, id))
        previewEntry(id);
    else
        preview_->clear();
}

void VolumeScanDlg::previewEntry(EntryId id) {
    EntryInfo info;
    if (!parser_ || running() || closing_.load() || !parser_->entryInfo(id, info) ||
        info.kind == EntryKind::Folder) {
        preview_->clear();
        return;
    }
    VolumeParser* p = parser_;
    preview_->showFile(QString::fromStdString(info.name), [p, id](ContentSink& sink) { p->writeContent(id, sink); });
}

}  // namespace brantlow::gui
