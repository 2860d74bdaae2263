#include "raw/gui/RawRecoveryDialog.h"

#include <QAbstractTableModel>
#include <QCheckBox>

#include "scan/free_space.h"
#include <QColor>
#include <QCoreApplication>
#include <QFileDialog>
#include <QFileIconProvider>
#include <QFileInfo>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QMimeDatabase>
#include <QProgressBar>
#include <QPushButton>
#include <QSplitter>
#include <QStyle>
#include <QTableView>
#include <QVBoxLayout>

#include "base/texts.h"
#include "platform/files.h"
#include "raw/gui/RawSettingDlg.h"
#include "scan/recovery_model.h"
#include "scan/save.h"
#include "scan/scan_job.h"
#include "scan/type_guess.h"
#include "scan/session/scan_checkpoints.h"
#include "scan/session/session_files.h"
#include "ui/WizardPage.h"

namespace brantlow::raw::gui {

using controls::Item;
using controls::kNoItem;

namespace {
// Text colours of marked finds (red in the low byte).
constexpr uint32_t kTruncatedColor = 0x000070C0;  // orange
constexpr uint32_t kInvalidColor = 0x00808080;    // grey

QString sizeText(uint64_t bytes) { return QString::fromStdString(formatSizeText(bytes)); }
}  // namespace

uint64_t carveBytes(const VolumeEntry& v, uint64_t sourceBytes) {
    uint64_t bytes = volumeSizeBytes(v, sourceBytes);
    if (sourceBytes == 0) return bytes;
    uint64_t start = 0;
    if (__builtin_mul_overflow(v.startSector, 512ull, &start) || start >= sourceBytes) return 0;
    return std::min(bytes, sourceBytes - start);
}

// The file list: rows are (engine, index) pairs, texts made on demand, so a
// category with 100,000 finds is one model reset, not 100,000 inserts. The
// first column keeps the tree's item text; the others show what the find
// turned out to be.
class FindListModel : public QAbstractTableModel {
public:
    using QAbstractTableModel::QAbstractTableModel;
    std::vector<std::pair<const myJpg*, size_t>> rows;
    int rowCount(const QModelIndex& parent = {}) const override {
        return parent.isValid() ? 0 : static_cast<int>(rows.size());
    }
    int columnCount(const QModelIndex& parent = {}) const override { return parent.isValid() ? 0 : 4; }
    QVariant data(const QModelIndex& idx, int role) const override {
        if (!idx.isValid() || idx.row() >= static_cast<int>(rows.size())) return {};
        auto [engine, i] = rows[static_cast<size_t>(idx.row())];
        if (i >= engine->foundItems().size()) return {};
        const CarvedItem& it = engine->foundItems()[i];
        if (role == Qt::DisplayRole) {
            switch (idx.column()) {
            case 0: return QString::fromStdString(engine->itemText(it));
            case 1: return QString::fromStdString(engine->extensionOf(it));
            case 2: return sizeText(it.size);
            default: return QString(statusText(it.status));
            }
        }
        if (role == Qt::ToolTipRole) return QString("%1 bytes at %2").arg(it.size).arg(it.start);
        if (role == Qt::TextAlignmentRole && idx.column() == 2)
            return QVariant::fromValue(Qt::AlignRight | Qt::AlignVCenter);
        return {};
    }
    QVariant headerData(int section, Qt::Orientation o, int role) const override {
        if (role != Qt::DisplayRole || o != Qt::Horizontal) return {};
        static const char* titles[] = {"FILES LIST ", "Type", "Size", "Status"};
        return section >= 0 && section < 4 ? QVariant(titles[section]) : QVariant();
    }
    void setRows(std::vector<std::pair<const myJpg*, size_t>> r) {
        beginResetModel();
        rows = std::move(r);
        endResetModel();
    }
};

// Finds from the worker wait in a locked queue; the page's timer moves them
// into the tree every 100 ms.
class RawRecoveryDialog::Sink : public CarveSink {
public:
    std::mutex m;
    std::vector<std::string> categories;
    std::vector<Pending> finds;
    void categoryAdded(const std::string& c) override {
        std::lock_guard<std::mutex> lk(m);
        categories.push_back(c);
    }
    void itemFound(size_t index, const CarvedItem& item, const std::string& text, const std::string& category,
                   uint64_t count) override {
        // The detected type's extension, else the type's own (after " .").
        const size_t dot = text.find(" .");
        std::string ext = item.detected ? item.detected : dot == std::string::npos ? "" : text.substr(dot + 2);
        std::lock_guard<std::mutex> lk(m);
        finds.push_back({index, text, category, count, item.status, std::move(ext)});
    }
};

class RawRecoveryDialog::Progress : public ProgressSink {
public:
    std::atomic<int64_t> high{0}, pos{0};
    void range(int64_t h) override { high = h; }
    void position(int64_t p) override { pos = p; }
};

RawRecoveryDialog::RawRecoveryDialog(std::shared_ptr<readWriteInterface> reader, const VolumeEntry& volume,
                                     QWidget* parent)
    : QDialog(parent), reader_(std::move(reader)), volume_(volume) {
    setWindowTitle("Brantlow v1.0");
    setObjectName("Raw Recovery Dialog");
    sink_ = std::make_unique<Sink>();
    progressSink_ = std::make_unique<Progress>();
    auto* outer = new QVBoxLayout(this);
    buildSettingsGroup(outer);
    buildResults(outer);
    buildProgressRow(outer);
    buildButtonRow(outer);
    chooseDefaultPath();
    loadDefaultCheck->setChecked(true);
    setScanningControls(false);
    connectControls();
}

RawRecoveryDialog::~RawRecoveryDialog() {
    preview->cancelAndWait();
    stopWork();
}

// The settings file, "...", Parse, "Load Default Items" and Setting.
void RawRecoveryDialog::buildSettingsGroup(QLayout* outer) {
    auto* group = new QGroupBox(
        "Click Parse button to add default file settings or create your own file to process raw recovery.", this);
    auto* g = new QGridLayout(group);
    pathEdit = new QLineEdit(group);
    browseButton = new QPushButton("...", group);
    parseButton = new QPushButton("Parse", group);
    parseButton->setToolTip("Parse");
    loadDefaultCheck = new QCheckBox("Load Default Items", group);
    settingButton = new QPushButton("Setting", group);
    settingButton->setToolTip("Setting");
    g->addWidget(pathEdit, 0, 0);
    g->addWidget(browseButton, 0, 1);
    g->addWidget(parseButton, 0, 2);
    g->addWidget(loadDefaultCheck, 1, 0);
    g->addWidget(settingButton, 1, 1);
    g->addWidget(new QLabel("[Add new signatures in\nnew/existing file]", group), 1, 2);
    freeOnlyCheck = new QCheckBox("Free space only (a volume the program can parse)", group);
    freeOnlyCheck->setObjectName("freeOnly");
    freeOnlyCheck->setToolTip("Carve only the clusters the file system gives to no file: faster, and no copies of live files");
    g->addWidget(freeOnlyCheck, 2, 0, 1, 3);
    outer->addWidget(group);
}

// The check-box tree of finds beside the list of the clicked category.
void RawRecoveryDialog::buildResults(QLayout* outer) {
    auto* split = new QSplitter(Qt::Horizontal, this);
    tree = new controls::CXHtmlTree(split);
    tree->setObjectName("rawTree");
    tree->Initialize();
    QIcon folder = QFileIconProvider().icon(QFileIconProvider::Folder);
    if (folder.isNull()) folder = style()->standardIcon(QStyle::SP_DirIcon);
    icons_ = {folder};
    tree->setIcons(&icons_);
    auto* listBox = new QWidget(split);
    auto* lv = new QVBoxLayout(listBox);
    lv->setContentsMargins(0, 0, 0, 0);
    fileList = new QTableView(listBox);
    fileList->setObjectName("rawFileList");
    listModel_ = new FindListModel(this);
    fileList->setModel(listModel_);
    fileList->setSelectionBehavior(QAbstractItemView::SelectRows);
    fileList->setShowGrid(true);
    fileList->verticalHeader()->hide();
    fileList->verticalHeader()->setDefaultSectionSize(fileList->fontMetrics().height() + 6);
    fileList->horizontalHeader()->setSectionResizeMode(0, QHeaderView::Stretch);
    fileList->setColumnWidth(0, 300);
    lv->addWidget(fileList, 1);
    preview = new ::brantlow::gui::PreviewPane(guessExtensionFromBytes, listBox);
    lv->addWidget(preview, 1);
    hideMarkedCheck = new QCheckBox("Hide finds that fail their format check", listBox);
    hideMarkedCheck->setObjectName("hideMarked");
    lv->addWidget(hideMarkedCheck);
    split->setStretchFactor(0, 2);
    split->setStretchFactor(1, 3);
    static_cast<QBoxLayout*>(outer)->addWidget(split, 1);
}

// Progress bar, Pause, Resume, Stop and the status line.
void RawRecoveryDialog::buildProgressRow(QLayout* outer) {
    auto* prog = new QHBoxLayout;
    progress = new QProgressBar(this);
    pauseButton = new QPushButton("Pause", this);
    pauseButton->setToolTip("Pause");
    resumeButton = new QPushButton("Resume", this);
    resumeButton->setToolTip("Resume");
    stopButton = new QPushButton("Stop", this);
    stopButton->setToolTip("Stop");
    rate = new ::brantlow::gui::RateLabel(this);
    prog->addWidget(progress, 1);
    prog->addWidget(rate);
    prog->addWidget(pauseButton);
    prog->addWidget(resumeButton);
    prog->addWidget(stopButton);
    static_cast<QBoxLayout*>(outer)->addLayout(prog);
    status = new QLabel(this);
    outer->addWidget(status);
}

// Help, Back and Save.
void RawRecoveryDialog::buildButtonRow(QLayout* outer) {
    auto* bottom = new QHBoxLayout;
    helpButton = new QPushButton("Help", this);
    helpButton->setToolTip("Help");
    backButton = new QPushButton("Back", this);
    backButton->setToolTip("Back");
    saveButton = new QPushButton("Save", this);
    saveButton->setToolTip("Save");
    bottom->addWidget(helpButton);
    bottom->addStretch(1);
    saveScanButton = new QPushButton(QString::fromUtf8("Save Scan\u2026"), this);
    saveScanButton->setObjectName("saveScanButton");
    saveScanButton->setToolTip("Keep the finds of this carve in a session file, to open them later without carving again");
    openScanButton = new QPushButton(QString::fromUtf8("Open Scan\u2026"), this);
    openScanButton->setObjectName("openScanButton");
    openScanButton->setToolTip("Show a carve of this volume kept in a session file, or go on with one cut short");
    bottom->addWidget(saveScanButton);
    bottom->addWidget(openScanButton);
    bottom->addWidget(backButton);
    bottom->addWidget(saveButton);
    static_cast<QBoxLayout*>(outer)->addLayout(bottom);
}

// "FileSetting.txt" beside the program, else the copy installed with it
// (PREFIX/bin/brantlow, PREFIX/share/brantlow/FileSetting.txt).
void RawRecoveryDialog::chooseDefaultPath() {
    defaultPath_ = QCoreApplication::applicationDirPath() + "/FileSetting.txt";
    const QString installed = QCoreApplication::applicationDirPath() + "/../share/brantlow/FileSetting.txt";
    if (!QFileInfo::exists(defaultPath_) && QFileInfo::exists(installed))
        defaultPath_ = QFileInfo(installed).canonicalFilePath();
#ifdef BRANTLOW_SHARE_DIR
    if (!QFileInfo::exists(defaultPath_)) defaultPath_ = QString(BRANTLOW_SHARE_DIR) + "/FileSetting.txt";
#endif
    pathEdit->setText(defaultPath_);
}

void RawRecoveryDialog::connectControls() {
    connect(fileList->selectionModel(), &QItemSelectionModel::currentChanged, this, [this](const QModelIndex& cur) {
        if (!cur.isValid() || cur.row() >= static_cast<int>(listModel_->rows.size())) return preview->clear();
        auto [engine, index] = listModel_->rows[static_cast<size_t>(cur.row())];
        previewFind(engine, index);
    });
    connect(tree->selectionModel(), &QItemSelectionModel::currentChanged, this, [this](const QModelIndex& cur) {
        const myJpg* engine = nullptr;
        size_t index = 0;
        if (findOf(tree->treeModel()->itemOf(cur), engine, index))
            previewFind(engine, index);
        else
            preview->clear();
    });
    chooseTypeFile = [this] { return QFileDialog::getOpenFileName(this, "Brantlow v1.0"); };
    chooseOutputFolder = [this] { return QFileDialog::getExistingDirectory(this, "Please choose a folder."); };
    openSettingEditor = [this] {
        RawSettingDlg dlg(this);
        dlg.exec();
    };
    connect(parseButton, &QPushButton::clicked, this, &RawRecoveryDialog::parse);
    connect(pauseButton, &QPushButton::clicked, this, &RawRecoveryDialog::pause);
    connect(resumeButton, &QPushButton::clicked, this, &RawRecoveryDialog::resume);
    connect(stopButton, &QPushButton::clicked, this, &RawRecoveryDialog::stop);
    connect(saveButton, &QPushButton::clicked, this, &RawRecoveryDialog::save);
    connect(saveScanButton, &QPushButton::clicked, this, &RawRecoveryDialog::saveScan);
    connect(openScanButton, &QPushButton::clicked, this, &RawRecoveryDialog::openScan);
    chooseSessionFile = [this](bool forSaving) {
        QFileDialog d(this, forSaving ? "Save Scan" : "Open Scan", QString::fromStdString(sessionFolder_));
        d.setNameFilters({"Sessions (*.session)", "All files (*)"});
        d.setDefaultSuffix("session");
        d.setAcceptMode(forSaving ? QFileDialog::AcceptSave : QFileDialog::AcceptOpen);
        d.setFileMode(forSaving ? QFileDialog::AnyFile : QFileDialog::ExistingFile);
        return d.exec() == QDialog::Accepted && !d.selectedFiles().isEmpty() ? d.selectedFiles().first() : QString();
    };
    connect(browseButton, &QPushButton::clicked, this, &RawRecoveryDialog::browse);
    connect(settingButton, &QPushButton::clicked, this, [this] {
        if (openSettingEditor) openSettingEditor();
    });
    connect(tree, &controls::CXHtmlTree::labelClicked, this, &RawRecoveryDialog::showCategory);
    connect(hideMarkedCheck, &QCheckBox::toggled, this, &RawRecoveryDialog::applyHideMarked);
    flushTimer_.setInterval(100);
    connect(&flushTimer_, &QTimer::timeout, this, &RawRecoveryDialog::flushFinds);
}

void RawRecoveryDialog::reject() {
    if (!isWindow()) {
        if (auto* page = qobject_cast<QDialog*>(window()); page && page != this) page->reject();
        return;
    }
    QDialog::reject();
}

// The image of a find, by its extension (one image per extension).
int RawRecoveryDialog::imageFor(const std::string& extension) {
    auto it = imageOf_.find(extension);
    if (it != imageOf_.end()) return it->second;
    static QMimeDatabase mimes;
    QMimeType mt = mimes.mimeTypeForFile("x." + QString::fromStdString(extension), QMimeDatabase::MatchExtension);
    QIcon fallback = QFileIconProvider().icon(QFileIconProvider::File);
    if (fallback.isNull()) fallback = style()->standardIcon(QStyle::SP_FileIcon);
    icons_.push_back(QIcon::fromTheme(mt.iconName(), QIcon::fromTheme(mt.genericIconName(), fallback)));
    const int image = static_cast<int>(icons_.size()) - 1;
    imageOf_[extension] = image;
    return image;
}

void RawRecoveryDialog::setScanningControls(bool scanning) {
    progress->setVisible(scanning);
    rate->setVisible(scanning);
    if (!scanning) rate->stop();
    pauseButton->setVisible(scanning);
    resumeButton->setVisible(scanning);
    stopButton->setVisible(scanning);
}

void RawRecoveryDialog::browse() {
    QString p = chooseTypeFile ? chooseTypeFile() : QString();
    if (!p.isEmpty()) pathEdit->setText(p);
}

std::unique_ptr<myJpg> RawRecoveryDialog::loadTypes() {
    std::unique_ptr<myJpg> engine;
    if (loadDefaultCheck->isChecked()) {
        engine = std::make_unique<myJpg>();
        engine->loadDefaultTypes(defaultPath_.toLocal8Bit().toStdString());
    }
    if (!pathEdit->text().isEmpty()) {
        if (!engine) engine = std::make_unique<myJpg>();
        if (!engine->loadTypeFile(pathEdit->text().toLocal8Bit().toStdString())) {
            backButton->setEnabled(true);
            status->setText("Processing done");
            setScanningControls(false);
            return nullptr;
        }
    }
    if (!engine || engine->types().empty()) {
        messageSink().info("No file types are loaded: tick \"Load Default Items\" or choose a settings file.");
        status->setText("Processing done");
        setScanningControls(false);
        return nullptr;
    }
    return engine;
}

void RawRecoveryDialog::parse() { startCarve({}); }

void RawRecoveryDialog::startCarve(const std::string& sessionPath) {
    if (running()) {
        messageSink().info("Please wait for other process to complete");
        return;
    }
    if (worker_.joinable()) worker_.join();
    preview->clear();
    setScanningControls(true);
    std::unique_ptr<myJpg> engine = loadTypes();
    if (!engine) return;
    backButton->setEnabled(false);
    browseButton->setEnabled(false);
    pathEdit->setEnabled(false);
    settingButton->setEnabled(false);

    // The whole volume, to its last sector (not only its whole MiB), and
    // never beyond the end of what holds it.
    const std::shared_ptr<readWriteInterface> source = volume_.reader ? volume_.reader : reader_;
    const uint64_t bytes = carveBytes(volume_, source ? source->sizeBytes() : 0);
    if (bytes == 0) {
        backButton->setEnabled(true);
        browseButton->setEnabled(true);
        pathEdit->setEnabled(true);
        settingButton->setEnabled(true);
        messageSink().info("zero size volume..");
        setScanningControls(false);
        status->setText("Processing done");
        return;
    }
    auto* file = dynamic_cast<FileReadSeek*>(reader_.get());
    if (!reader_ || (file && !file->isOpen())) {
        backButton->setEnabled(true);
        settingButton->setEnabled(true);
        messageSink().info("Please Restart the program to re begin necessary initialization...");
        setScanningControls(false);
        status->setText("Processing done");
        return;
    }
    // A volume inside a layer is carved through the layer.
    engine->volume = VolumeView(source, volume_.startSector * 512, bytes);
    engine->volumeBytes = bytes;
    engine->progress = progressSink_.get();
    engine->pauseGate = &gate_;
    engine->sink = sink_.get();
    if (!engine->initialize()) {
        messageSink().info("not properly initialized");
        return;
    }
    myJpg* e = engine.get();
    // A new Parse replaces the finds of the one before: its tree, its list
    // and its engine go (nothing reads them now: no worker runs and the
    // preview has stopped).
    preview->cancelAndWait();
    listModel_->setRows({});
    shownCategory_ = kNoItem;
    tree->DeleteAllItems();
    engines_.clear();
    savedFinds_ = 0;
    engines_.push_back(std::move(engine));

    currentTop_ = tree->InsertItem("RAW RECOVERY ", kFolderImage);
    currentCategories_.clear();

    workerDone_ = false;
    gate_.resume();
    status->setText("Processing.....");
    progress->setRange(0, 1000);
    progress->setValue(0);
    flushTimer_.start();
    const bool freeOnly = freeOnlyCheck->isChecked();
    // The session: the one named, else the default one of these settings.
    sessionOpen_ = false;
    session_.reset();
    sessionFinished_ = false;
    carveStopped_ = false;
    lastJob_ = carveJob(*e, freeOnly);
    const bool named = !sessionPath.empty();
    sessionPath_ = named ? sessionPath
                   : sessionFolder_.empty() || sourcePath_.empty()
                       ? std::string()
                       : session::defaultSessionPath(sessionFolder_, sourcePath_, session::SessionKind::Carve, lastJob_);
    const std::string job = lastJob_, path = sessionPath_;
    // Free space only: its size is known once the worker has found it.
    rate->start(freeOnly ? 0 : bytes, &gate_);
    worker_ = std::thread([this, e, freeOnly, job, path, named] {
        if (freeOnly) {
            // The file system's free clusters first, from its allocation map.
            FreeSpace space = findFreeSpace(reader_, volume_, e->volumeBytes, &e->stopRequested);
            if (!space.error.empty()) {
                const std::string why = "Free space only: " + space.error;
                QMetaObject::invokeMethod(this, [why] { messageSink().info(why); }, Qt::QueuedConnection);
                workerDone_ = true;
                QMetaObject::invokeMethod(this, "workerEnded", Qt::QueuedConnection);
                return;
            }
            std::vector<ByteRange> ranges;
            for (const VolumeRange& r : space.ranges) ranges.push_back({r.offset, r.length});
            e->setArea(std::move(ranges));
        }
        if (!path.empty() && !openCarveSession(*e, job, path, named)) {
            workerDone_ = true;
            QMetaObject::invokeMethod(this, "workerEnded", Qt::QueuedConnection);
            return;
        }
        e->scanVolume();
        // A carve cut short keeps its last checkpoint, so a later one goes on.
        if (session_ && !e->stopRequested.load()) sessionFinished_ = session::finishCarve(*session_, *e);
        workerDone_ = true;
        QMetaObject::invokeMethod(this, "workerEnded", Qt::QueuedConnection);
    });
}

Item RawRecoveryDialog::categoryItem(const std::string& c) {
    auto it = currentCategories_.find(c);
    if (it != currentCategories_.end()) return it->second;
    Item item = tree->InsertItem(QString::fromStdString(c), kFolderImage, currentTop_);
    currentCategories_[c] = item;
    return item;
}

bool RawRecoveryDialog::hidden(const CarvedItem& item) const {
    return hideMarkedCheck->isChecked() && item.status == FindStatus::Invalid;
}

void RawRecoveryDialog::flushFinds() {
    std::vector<std::string> cats;
    std::vector<Pending> finds;
    {
        std::lock_guard<std::mutex> lk(sink_->m);
        cats.swap(sink_->categories);
        finds.swap(sink_->finds);
    }
    if (currentTop_ == kNoItem) return;
    const size_t engineIndex = engines_.size() - 1;
    for (const auto& c : cats) categoryItem(c);
    std::map<Item, std::vector<controls::NewItem>> batches;
    std::map<Item, std::vector<FindStatus>> statuses;
    std::map<Item, std::pair<std::string, uint64_t>> counts;
    for (const auto& f : finds) {
        Item parent = categoryItem(f.category);
        controls::NewItem n;
        n.text = QString::fromStdString(f.text);
        n.image = imageFor(f.extension);
        n.hasData = true;
        n.data = findData(engineIndex, f.index);
        if (f.status == FindStatus::Truncated) n.textColor = kTruncatedColor;
        if (f.status == FindStatus::Invalid) n.textColor = kInvalidColor;
        batches[parent].push_back(n);
        statuses[parent].push_back(f.status);
        counts[parent] = {f.category, f.count};
    }
    for (auto& [parent, items] : batches) {
        const Item first = tree->InsertItems(parent, items);
        const bool ticked = tree->GetCheck(parent);
        const QModelIndex pi = tree->treeModel()->indexOf(parent);
        for (size_t i = 0; i < items.size(); ++i) {
            const Item it = first + static_cast<Item>(i);
            if (ticked) tree->SetCheck(it, true);
            if (hideMarkedCheck->isChecked() && statuses[parent][i] == FindStatus::Invalid)
                tree->setRowHidden(tree->checkTree().row(it), pi, true);
        }
    }
    for (auto& [parent, c] : counts)
        tree->SetItemText(parent, QString("%1 (%2)").arg(QString::fromStdString(c.first)).arg(c.second));
    tree->Expand(currentTop_, controls::ExpandAction::Expand);
    int64_t high = progressSink_->high.load();
    if (high > 0) {
        progress->setRange(0, static_cast<int>(std::min<int64_t>(high, INT32_MAX)));
        progress->setValue(static_cast<int>(std::min<int64_t>(progressSink_->pos.load(), INT32_MAX)));
        rate->progress(progress->value(), progress->maximum());
    }
    if (shownCategory_ != kNoItem && batches.count(shownCategory_)) showCategory(shownCategory_);
}

void RawRecoveryDialog::workerEnded() {
    if (worker_.joinable()) worker_.join();
    flushTimer_.stop();
    flushFinds();
    backButton->setEnabled(true);
    settingButton->setEnabled(true);
    status->setText("Processing done");
    setScanningControls(false);
    carveStopped_ = !engines_.empty() && engines_.back()->stopRequested.load();
    emit scanFinished();
    const bool found = !engines_.empty() && !engines_.back()->foundItems().empty();
    messageSink().info(found ? kCarveDoneText : kCarveNothingText);
    // Stopped before its end: its session is kept only when the operator
    // says so (a later Parse or Open Scan goes on from its last checkpoint).
    if (carveStopped_ && session_ && !sessionFinished_.load() && !closing_.load() &&
        !messageSink().question(::brantlow::gui::kKeepSessionQuestion)) {
        sessionOpen_ = false;
        session_.reset();
        session::removeSession(sessionPath_);
        sessionPath_.clear();
    }
}

std::string RawRecoveryDialog::unsavedNote() const {
    const bool finds = !engines_.empty() && !engines_.back()->foundItems().empty();
    return ::brantlow::unsavedNote(finds, savedFinds_, tree->GetCheckedCount() > 0);
}

void RawRecoveryDialog::stopWork() {
    closing_ = true;
    for (auto& e : engines_) e->stopRequested = true;
    gate_.release();
    if (worker_.joinable()) worker_.join();
    if (dropSession_.exchange(false) && session_) {
        sessionOpen_ = false;
        session_.reset();
        session::removeSession(sessionPath_);
        sessionPath_.clear();
    }
}

void RawRecoveryDialog::pause() {
    if (!running()) return;
    gate_.pause();
    status->setText("Pause button pressed");
}

void RawRecoveryDialog::resume() {
    if (!running()) return;
    gate_.resume();
    status->setText("Resume button pressed");
}

void RawRecoveryDialog::stop() {
    // The worker halts at its next read even while paused: Stop also opens
    // the pause gate.
    if (!engines_.empty()) engines_.back()->stopRequested = true;
    gate_.resume();
    status->setText("Stop button pressed.Please wait for the process to stop");
}

bool RawRecoveryDialog::findOf(Item item, const myJpg*& engine, size_t& index) const {
    if (!tree->checkTree().valid(item) || !tree->HasItemData(item)) return false;
    const uint64_t d = tree->GetItemData(item);
    const size_t e = static_cast<size_t>(d >> 40);
    index = static_cast<size_t>(d & ((uint64_t{1} << 40) - 1));
    if (e >= engines_.size() || index >= engines_[e]->foundItems().size()) return false;
    engine = engines_[e].get();
    return true;
}

void RawRecoveryDialog::previewFind(const myJpg* engine, size_t index) {
    if (running() || !engine || index >= engine->foundItems().size()) return preview->clear();
    const CarvedItem it = engine->foundItems()[index];
    const std::string name = std::to_string(it.start) + "." + engine->extensionOf(it);
    // As the save writes it: the find's bytes (clamped to the volume when found).
    preview->showFile(QString::fromStdString(name), [engine, it](ContentSink& sink) {
        const uint64_t size = it.size;
        std::vector<uint8_t> buf(static_cast<size_t>(std::min<uint64_t>(size, 1u << 20)));
        for (uint64_t off = 0; off < size && !sink.full();) {
            const size_t n = static_cast<size_t>(std::min<uint64_t>(buf.size(), size - off));
            engine->readFind(it, off, buf.data(), n);
            if (!sink.write(buf.data(), n)) break;
            off += n;
        }
    });
}

void RawRecoveryDialog::showCategory(int item) {
    std::vector<std::pair<const myJpg*, size_t>> rows;
    shownCategory_ = kNoItem;
    if (tree->checkTree().valid(item)) {
        shownCategory_ = item;
        // Each child that is a find (its image is not the folder icon).
        const auto& children = tree->checkTree().children(item);
        rows.reserve(children.size());
        for (Item c : children) {
            const myJpg* engine;
            size_t index;
            if (tree->GetItemImage(c) == kFolderImage || !findOf(c, engine, index)) continue;
            if (hidden(engine->foundItems()[index])) continue;
            rows.emplace_back(engine, index);
        }
    }
    listModel_->setRows(std::move(rows));
}

void RawRecoveryDialog::applyHideMarked() {
    controls::CheckTree& t = tree->checkTree();
    for (Item top : t.children(kNoItem))
        for (Item cat : t.children(top)) {
            const QModelIndex ci = tree->treeModel()->indexOf(cat);
            for (Item f : t.children(cat)) {
                const myJpg* engine;
                size_t index;
                if (findOf(f, engine, index)) tree->setRowHidden(t.row(f), ci, hidden(engine->foundItems()[index]));
            }
        }
    if (shownCategory_ != kNoItem) showCategory(shownCategory_);
}

void RawRecoveryDialog::save() {
    if (running()) {
        messageSink().info("Please wait for other process to complete");
        return;
    }
    if (tree->GetCheckedCount() == 0) {
        messageSink().info("Please Select item from tree to save");
        return;
    }
    // Ticked finds (not hidden ones), grouped by the engine that found them.
    std::map<size_t, std::vector<size_t>> ticked;
    const controls::CheckTree& t = tree->checkTree();
    for (Item top : t.children(kNoItem))
        for (Item cat : t.children(top))
            for (Item f : t.children(cat)) {
                const myJpg* engine;
                size_t index;
                if (!t.getCheck(f) || !findOf(f, engine, index) || hidden(engine->foundItems()[index])) continue;
                ticked[static_cast<size_t>(tree->GetItemData(f) >> 40)].push_back(index);
            }
    if (ticked.empty()) {
        messageSink().info("Please Select item from tree to save");
        return;
    }
    QString dir = chooseOutputFolder ? chooseOutputFolder() : QString();
    if (dir.isEmpty()) return;
    // Nothing is written to the device being examined.
    auto* file = dynamic_cast<FileReadSeek*>(reader_.get());
    if (file && platform::folderOnDevice(dir.toLocal8Bit().constData(), file->path)) {
        messageSink().info("The output folder lies on the device being scanned. Please choose another folder.");
        return;
    }
    uint64_t written = 0, failed = 0;
    std::string error;
    for (auto& [e, idx] : ticked) {
        SaveResult r = saveFinds(*engines_[e], idx, dir.toLocal8Bit().toStdString());
        written += r.written;
        failed += r.failed;
        if (error.empty()) error = r.error;
    }
    savedFinds_ += written;
    status->setText(QString::fromStdString(filesWrittenText(written, dir.toStdString())) +
                    (volume_.outputNote.empty() ? QString() : "; " + QString::fromStdString(volume_.outputNote)));
    if (failed) messageSink().warning(std::to_string(failed) + (failed == 1 ? " file" : " files") +
                                   " could not be written to " + dir.toStdString() + ": " + error);
}

}  // namespace brantlow::raw::gui

namespace brantlow::raw::gui {

void RawRecoveryDialog::setSessions(const std::string& folder, const std::string& sourcePath) {
    sessionFolder_ = folder;
    sourcePath_ = sourcePath;
}

std::string RawRecoveryDialog::carveJob(const myJpg& e, bool freeOnly) const {
    return "wizard volume=" + volume_.volumeNumber + " start=" + std::to_string(volume_.startSector) +
           " sectors=" + std::to_string(volume_.sizeSectors) + (freeOnly ? " free-only " : " ") +
           session::carveTypesText(e);
}

QString RawRecoveryDialog::sessionInProgress() const {
    return running() && sessionOpen_.load() && !sessionFinished_.load() ? QString::fromStdString(sessionPath_)
                                                                        : QString();
}

bool RawRecoveryDialog::openCarveSession(myJpg& e, const std::string& job, const std::string& path, bool named) {
    auto say = [this](const std::string& text) {
        QMetaObject::invokeMethod(this, [text] { messageSink().info(text); }, Qt::QueuedConnection);
    };
    std::string why;
    if (!named && !session::makeSessionFolder(sessionFolder_, why)) {
        sessionPath_.clear();
        return true;
    }
    const std::vector<session::SourceIdentity> ids{session::identifySource(sourcePath_, *reader_)};
    session::Opening o = session::SessionFile::open(path, session::SessionKind::Carve, job, ids, false);
    session::CarveStored stored;
    if (o.file && o.existed && !named && o.file->finished()) o.file.reset();  // Parse carves again
    else if (o.file && o.existed && !session::loadCarve(*o.file, e, stored, why)) {
        o.file.reset();
        o.reason = why;
    }
    if (!o.file && named) {
        say("The session " + path + " " + o.reason + "; it is left as it is.");
        return false;
    }
    if (!o.file) {
        // The default session of these settings: replaced.
        o = session::SessionFile::open(path, session::SessionKind::Carve, job, ids, true);
        stored = {};
        if (!o.file) {
            say("This carve keeps no session: " + path + " " + o.reason);
            return true;
        }
    }
    if (stored.finds) {
        // The finds of the stored carve, in the tree as if found now.
        std::map<std::string, uint64_t> perCategory;
        std::lock_guard<std::mutex> lk(sink_->m);
        for (size_t i = 0; i < e.foundItems().size(); ++i) {
            const CarvedItem& it = e.foundItems()[i];
            const std::string& category = e.categoryOf(it);
            if (!perCategory.count(category)) sink_->categories.push_back(category);
            const std::string text = e.itemText(it);
            const size_t dot = text.find(" .");
            std::string ext = it.detected ? it.detected : dot == std::string::npos ? "" : text.substr(dot + 2);
            sink_->finds.push_back({i, text, category, ++perCategory[category], it.status, std::move(ext)});
        }
    }
    if (stored.resumedAt && !stored.finished) {
        const std::string from = "Going on from byte " + std::to_string(stored.resumedAt) + " (" +
                                 std::to_string(stored.finds) + " files found before)";
        QMetaObject::invokeMethod(this, [this, from] { status->setText(QString::fromStdString(from)); },
                                  Qt::QueuedConnection);
    }
    if (named && stored.finished) {
        // Shown as it is: nothing is written to it.
        sessionFinished_ = true;
        return true;
    }
    session::recordVolume(*o.file, volume_, e.volume, volume_.reader != nullptr);
    session::attachCarve(*o.file, e, nullptr);
    session_ = std::move(o.file);
    sessionOpen_ = true;
    return true;
}

void RawRecoveryDialog::openSession(const QString& path) {
    if (running()) {
        messageSink().info("Please wait for other process to complete");
        return;
    }
    session::SessionSummary summary;
    session::Refusal refusal;
    std::string why;
    if (!session::peekSession(path.toStdString(), summary, refusal, why) ||
        (summary.kind != session::SessionKind::Carve &&
         (why = std::string("holds a ") + session::kindName(summary.kind) + ", not a carve", true))) {
        messageSink().info("The session " + path.toStdString() + " " + why + "; it is left as it is.");
        return;
    }
    // Checked before anything is replaced: a carve of this source with the
    // settings on the page (its types, Free space only).
    if (!reader_) {
        messageSink().info("Please Restart the program to re begin necessary initialization...");
        return;
    }
    std::unique_ptr<myJpg> types = loadTypes();
    if (!types) return;
    session::Opening o = session::SessionFile::open(
        path.toStdString(), session::SessionKind::Carve, carveJob(*types, freeOnlyCheck->isChecked()),
        {session::identifySource(sourcePath_, *reader_)}, false);
    if (!o.file) {
        messageSink().info("The session " + path.toStdString() + " " + o.reason + "; it is left as it is.");
        return;
    }
    o.file.reset();
    startCarve(path.toStdString());
}

void RawRecoveryDialog::openScan() {
    const QString path = chooseSessionFile ? chooseSessionFile(false) : QString();
    if (!path.isEmpty()) openSession(path);
}

void RawRecoveryDialog::saveScan() {
    if (running()) {
        messageSink().info("Please wait for other process to complete");
        return;
    }
    if (engines_.empty()) {
        messageSink().info("There is no scan result to keep yet.");
        return;
    }
    if (!session_ && carveStopped_) {
        messageSink().info("This carve was stopped before its end: carve the volume again to keep its result.");
        return;
    }
    QString path = chooseSessionFile ? chooseSessionFile(true) : QString();
    if (path.isEmpty()) return;
    if (QFileInfo(path).suffix().isEmpty()) path += session::kSessionSuffix;
    const std::string file = path.toStdString();
    if (file == sessionPath_) {
        messageSink().info("This carve's session is kept in that file already.");
        return;
    }
    std::string why;
    bool ok = false;
    if (session_) {
        ok = session::copySession(*session_, file, why);
    } else {
        session::Opening o = session::SessionFile::open(
            file, session::SessionKind::Carve, lastJob_, {session::identifySource(sourcePath_, *reader_)}, true);
        ok = o.file && session::finishCarve(*o.file, *engines_.back());
        why = o.file ? "cannot be written: " + o.file->stopReason() : o.reason;
        if (o.file && !ok) {
            o.file.reset();
            session::removeSession(file);
        }
    }
    if (!ok) {
        messageSink().info("The session " + file + " " + why);
        return;
    }
    status->setText("The carve was kept in " + path);
}

}  // namespace brantlow::raw::gui
