#include "raw/gui/RawRecoveryDialog.h"

#include <QAbstractListModel>
#include <QCheckBox>
#include <QCoreApplication>
#include <QFileDialog>
#include <QFileIconProvider>
#include <QFileInfo>
#include <QMimeDatabase>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QListView>
#include <QMenu>
#include <QProgressBar>
#include <QPushButton>
#include <QStyle>
#include <QTreeWidget>
#include <QVBoxLayout>
#include <map>

#include "raw/gui/RawSettingDlg.h"
#include "platform/files.h"

namespace brantlow::raw::gui {

// The file list: rows are (engine, index) pairs, texts made on demand, so a
// category with 100,000 finds is one model reset, not 100,000 inserts.
class FindListModel : public QAbstractListModel {
public:
    using QAbstractListModel::QAbstractListModel;
    std::vector<std::pair<const myJpg*, size_t>> rows;
    int rowCount(const QModelIndex& parent = {}) const override {
        return parent.isValid() ? 0 : static_cast<int>(rows.size());
    }
    QVariant data(const QModelIndex& idx, int role) const override {
        if (!idx.isValid() || idx.row() >= static_cast<int>(rows.size())) return {};
        auto [engine, i] = rows[static_cast<size_t>(idx.row())];
        if (i >= engine->foundItems().size()) return {};
        if (role == Qt::DisplayRole) return QString::fromStdString(engine->itemText(engine->foundItems()[i]));
        if (role == Qt::ToolTipRole) {
            const CarvedItem& it = engine->foundItems()[i];
            return QString("%1 bytes at %2").arg(it.size).arg(it.start);
        }
        return {};
    }
    QVariant headerData(int, Qt::Orientation, int role) const override {
        return role == Qt::DisplayRole ? QVariant("FILES LIST ") : QVariant();
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
    void itemFound(size_t index, const CarvedItem&, const std::string& text, const std::string& category,
                   uint64_t count) override {
        std::lock_guard<std::mutex> lk(m);
        finds.push_back({index, text, category, count});
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
    outer->addWidget(group);

    auto* mid = new QHBoxLayout;
    tree = new QTreeWidget(this);
    tree->setHeaderHidden(true);
    fileList = new QListView(this);
    listModel_ = new FindListModel(this);
    fileList->setModel(listModel_);
    fileList->setUniformItemSizes(true);
    mid->addWidget(tree, 1);
    auto* listBox = new QVBoxLayout;
    listBox->addWidget(new QLabel("FILES LIST ", this));
    listBox->addWidget(fileList);
    mid->addLayout(listBox, 1);
    outer->addLayout(mid, 1);

    auto* prog = new QHBoxLayout;
    progress = new QProgressBar(this);
    pauseButton = new QPushButton("Pause", this);
    pauseButton->setToolTip("Pause");
    resumeButton = new QPushButton("Resume", this);
    resumeButton->setToolTip("Resume");
    stopButton = new QPushButton("Stop", this);
    stopButton->setToolTip("Stop");
    prog->addWidget(progress, 1);
    prog->addWidget(pauseButton);
    prog->addWidget(resumeButton);
    prog->addWidget(stopButton);
    outer->addLayout(prog);
    status = new QLabel(this);
    outer->addWidget(status);

    auto* bottom = new QHBoxLayout;
    helpButton = new QPushButton("Help", this);
    helpButton->setToolTip("Help");
    backButton = new QPushButton("Back", this);
    backButton->setToolTip("Back");
    saveButton = new QPushButton("Save", this);
    saveButton->setToolTip("Save");
    bottom->addWidget(helpButton);
    bottom->addStretch(1);
    bottom->addWidget(backButton);
    bottom->addWidget(saveButton);
    outer->addLayout(bottom);
    auto* menu = new QMenu(helpButton);
    connect(menu->addAction("Help"), &QAction::triggered, this, [this] { emit helpRequested(); });
    connect(menu->addAction("About"), &QAction::triggered, this, [this] { emit aboutRequested(); });
    connect(menu->addAction("Software Webpage"), &QAction::triggered, this, [this] { emit webPageRequested(); });
    helpButton->setMenu(menu);

    QString dir = QCoreApplication::applicationDirPath();
    defaultPath_ = dir + "/FileSetting.txt";
#ifdef BRANTLOW_SHARE_DIR
    if (!QFileInfo::exists(defaultPath_)) defaultPath_ = QString(BRANTLOW_SHARE_DIR) + "/FileSetting.txt";
#endif
    pathEdit->setText(defaultPath_);
    loadDefaultCheck->setChecked(true);
    setScanningControls(false);

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
    connect(browseButton, &QPushButton::clicked, this, &RawRecoveryDialog::browse);
    connect(settingButton, &QPushButton::clicked, this, [this] {
        if (openSettingEditor) openSettingEditor();
    });
    connect(backButton, &QPushButton::clicked, this, [this] {
        if (running()) return;
        emit backRequested();
    });
    connect(tree, &QTreeWidget::itemClicked, this, [this](QTreeWidgetItem* it, int) { showCategory(it); });
    flushTimer_.setInterval(100);
    connect(&flushTimer_, &QTimer::timeout, this, &RawRecoveryDialog::flushFinds);
}

RawRecoveryDialog::~RawRecoveryDialog() { stopWork(); }

// The icon of a find, by its extension (cached per extension).
QIcon RawRecoveryDialog::iconFor(const std::string& itemText) {
    QString ext;
    size_t dot = itemText.rfind('.');
    if (dot != std::string::npos) ext = QString::fromStdString(itemText.substr(dot + 1));
    auto it = icons_.find(ext);
    if (it != icons_.end()) return it.value();
    static QMimeDatabase mimes;
    QMimeType mt = mimes.mimeTypeForFile("x." + ext, QMimeDatabase::MatchExtension);
    QIcon fallback = QFileIconProvider().icon(QFileIconProvider::File);
    QIcon icon = QIcon::fromTheme(mt.iconName(), QIcon::fromTheme(mt.genericIconName(), fallback));
    icons_.insert(ext, icon);
    return icon;
}

void RawRecoveryDialog::setScanningControls(bool scanning) {
    progress->setVisible(scanning);
    pauseButton->setVisible(scanning);
    resumeButton->setVisible(scanning);
    stopButton->setVisible(scanning);
}

void RawRecoveryDialog::browse() {
    QString p = chooseTypeFile ? chooseTypeFile() : QString();
    if (!p.isEmpty()) pathEdit->setText(p);
}

void RawRecoveryDialog::parse() {
    if (running()) {
        messageSink().info("Please wait for other process to complete");
        return;
    }
    if (worker_.joinable()) worker_.join();
    setScanningControls(true);
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
            return;
        }
    }
    if (!engine || engine->types().empty()) {
        messageSink().info("No file types are loaded: tick \"Load Default Items\" or choose a settings file.");
        status->setText("Processing done");
        setScanningControls(false);
        return;
    }
    backButton->setEnabled(false);
    browseButton->setEnabled(false);
    pathEdit->setEnabled(false);
    settingButton->setEnabled(false);

    // The volume size is taken in whole MiB, as the volume list shows it.
    const uint64_t mib = volume_.sizeSectors * 512 / 1048576;
    if (mib == 0) {
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
    engine->volume = VolumeView(reader_, volume_.startSector * 512, mib * 1048576);
    engine->volumeBytes = mib * 1048576;
    engine->progress = progressSink_.get();
    engine->pauseGate = &gate_;
    engine->sink = sink_.get();
    if (!engine->initialize()) {
        messageSink().info("not properly initialized");
        return;
    }
    myJpg* e = engine.get();
    engines_.push_back(std::move(engine));

    // A new top item for this Parse; earlier ones stay with their engines.
    currentTop_ = new QTreeWidgetItem(tree, QStringList("RAW RECOVERY "));
    currentTop_->setData(0, KindRole, TopItem);
    currentTop_->setIcon(0, style()->standardIcon(QStyle::SP_DirIcon));
    currentTop_->setFlags(currentTop_->flags() | Qt::ItemIsUserCheckable | Qt::ItemIsAutoTristate);
    currentTop_->setCheckState(0, Qt::Unchecked);
    currentTop_->setExpanded(true);
    currentCategories_.clear();

    stopRequested_ = false;
    workerDone_ = false;
    gate_.resume();
    status->setText("Processing.....");
    progress->setRange(0, 1000);
    progress->setValue(0);
    flushTimer_.start();
    worker_ = std::thread([this, e] {
        e->scanVolume();
        workerDone_ = true;
        QMetaObject::invokeMethod(this, "workerEnded", Qt::QueuedConnection);
    });
}

void RawRecoveryDialog::flushFinds() {
    std::vector<std::string> cats;
    std::vector<Pending> finds;
    {
        std::lock_guard<std::mutex> lk(sink_->m);
        cats.swap(sink_->categories);
        finds.swap(sink_->finds);
    }
    if (!currentTop_) return;
    const int engineIndex = static_cast<int>(engines_.size()) - 1;
    auto category = [&](const std::string& c) {
        auto it = currentCategories_.find(c);
        if (it != currentCategories_.end()) return it->second;
        auto* item = new QTreeWidgetItem(currentTop_, QStringList(QString::fromStdString(c)));
        item->setData(0, KindRole, CategoryItem);
        item->setIcon(0, style()->standardIcon(QStyle::SP_DirIcon));
        item->setFlags(item->flags() | Qt::ItemIsUserCheckable | Qt::ItemIsAutoTristate);
        item->setCheckState(0, Qt::Unchecked);
        currentCategories_[c] = item;
        return item;
    };
    for (const auto& c : cats) category(c);
    std::map<QTreeWidgetItem*, QList<QTreeWidgetItem*>> batches;
    std::map<QTreeWidgetItem*, std::pair<std::string, uint64_t>> counts;
    for (const auto& f : finds) {
        QTreeWidgetItem* parent = category(f.category);
        auto* item = new QTreeWidgetItem(QStringList(QString::fromStdString(f.text)));
        item->setData(0, KindRole, FindItem);
        item->setIcon(0, iconFor(f.text));
        item->setData(0, EngineRole, engineIndex);
        item->setData(0, IndexRole, static_cast<qulonglong>(f.index));
        item->setFlags(item->flags() | Qt::ItemIsUserCheckable);
        item->setCheckState(0, parent->checkState(0) == Qt::Checked ? Qt::Checked : Qt::Unchecked);
        batches[parent].append(item);
        counts[parent] = {f.category, f.count};
    }
    for (auto& [parent, items] : batches) parent->addChildren(items);
    for (auto& [parent, c] : counts)
        parent->setText(0, QString("%1 (%2)").arg(QString::fromStdString(c.first)).arg(c.second));
    currentTop_->setExpanded(true);
    int64_t high = progressSink_->high.load();
    if (high > 0) {
        progress->setRange(0, static_cast<int>(std::min<int64_t>(high, INT32_MAX)));
        progress->setValue(static_cast<int>(std::min<int64_t>(progressSink_->pos.load(), INT32_MAX)));
    }
}

void RawRecoveryDialog::workerEnded() {
    if (worker_.joinable()) worker_.join();
    flushTimer_.stop();
    flushFinds();
    backButton->setEnabled(true);
    settingButton->setEnabled(true);
    status->setText("Processing done");
    setScanningControls(false);
    emit scanFinished();
    messageSink().info("Scanning processing done.Select save button to save the data..");
}

void RawRecoveryDialog::waitForWorker() {
    if (worker_.joinable()) worker_.join();
    if (!workerDone_.load()) return;
    QCoreApplication::sendPostedEvents(this);
}

void RawRecoveryDialog::stopWork() {
    stopRequested_ = true;
    for (auto& e : engines_) e->stopRequested = true;
    gate_.release();
    if (worker_.joinable()) worker_.join();
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
    stopRequested_ = true;
    if (!engines_.empty()) engines_.back()->stopRequested = true;
    gate_.resume();
    status->setText("Stop button pressed.Please wait for the process to stop");
}

void RawRecoveryDialog::showCategory(QTreeWidgetItem* item) {
    std::vector<std::pair<const myJpg*, size_t>> rows;
    if (item && item->data(0, KindRole).toInt() == CategoryItem) {
        rows.reserve(static_cast<size_t>(item->childCount()));
        for (int i = 0; i < item->childCount(); ++i) {
            QTreeWidgetItem* c = item->child(i);
            if (c->data(0, KindRole).toInt() != FindItem) continue;
            size_t e = c->data(0, EngineRole).toULongLong();
            size_t idx = c->data(0, IndexRole).toULongLong();
            if (e < engines_.size()) rows.emplace_back(engines_[e].get(), idx);
        }
    }
    listModel_->setRows(std::move(rows));
}

void RawRecoveryDialog::save() {
    if (running()) {
        messageSink().info("Please wait for other process to complete");
        return;
    }
    // Ticked finds, grouped by the engine that found them.
    std::map<size_t, std::vector<size_t>> ticked;
    for (int t = 0; t < tree->topLevelItemCount(); ++t) {
        QTreeWidgetItem* top = tree->topLevelItem(t);
        for (int c = 0; c < top->childCount(); ++c) {
            QTreeWidgetItem* cat = top->child(c);
            for (int i = 0; i < cat->childCount(); ++i) {
                QTreeWidgetItem* f = cat->child(i);
                if (f->data(0, KindRole).toInt() != FindItem || f->checkState(0) != Qt::Checked) continue;
                size_t e = f->data(0, EngineRole).toULongLong();
                if (e < engines_.size()) ticked[e].push_back(f->data(0, IndexRole).toULongLong());
            }
        }
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
    status->setText(QString("%1 files written").arg(written));
    if (failed) messageSink().info(std::to_string(failed) + " files could not be written: " + error);
}

}  // namespace brantlow::raw::gui
