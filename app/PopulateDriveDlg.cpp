// Volume list page: runs the partition-table walk on the chosen drive, lists
// the volumes found, lets the operator correct one, and hands it on.
#include <QCheckBox>
#include <QComboBox>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QTreeWidgetItemIterator>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QRegularExpressionValidator>
#include <QToolButton>
#include <QTreeWidget>
#include <QVBoxLayout>
#include <QPointer>
#include <functional>
#include <algorithm>
#include <cstring>

#include "app/LayerAskDialog.h"
#include "app/Pages.h"
#include "app/VolumeChoice.h"
#include "fs/filesystems.h"
#include "scan/volumes.h"
#include "ui/CurrentSource.h"
#include "ui/RateLabel.h"

namespace brantlow::gui {

constexpr int kIndexRole = Qt::UserRole;  // a row's index into volumes_, or kWholeDiskRow
constexpr qulonglong kWholeDiskRow = ~0ull;

// A sector number editor: 64-bit values in a line edit, with up and down
// buttons (up raises by one; down lowers by one and stops at 0).
class SectorEdit : public QWidget {
public:
    explicit SectorEdit(QWidget* parent) : QWidget(parent) {
        auto* row = new QHBoxLayout(this);
        row->setContentsMargins(0, 0, 0, 0);
        row->setSpacing(2);
        edit = new QLineEdit("0", this);
        edit->setValidator(new QRegularExpressionValidator(QRegularExpression("[0-9]{0,19}"), edit));
        row->addWidget(edit, 1);
        up = new QToolButton(this);
        up->setArrowType(Qt::UpArrow);
        up->setAutoRaise(false);
        down = new QToolButton(this);
        down->setArrowType(Qt::DownArrow);
        row->addWidget(up);
        row->addWidget(down);
        QObject::connect(up, &QToolButton::clicked, edit, [this] { step(+1); });
        QObject::connect(down, &QToolButton::clicked, edit, [this] { step(-1); });
    }
    void step(int delta) {
        uint64_t v = parseSector(edit->text().toStdString()).value_or(0);
        if (delta > 0 && v < static_cast<uint64_t>(INT64_MAX)) ++v;
        if (delta < 0 && v > 0) --v;
        edit->setText(QString::number(v));
        emit edit->textEdited(edit->text());
    }
    QLineEdit* edit;
    QToolButton* up;
    QToolButton* down;
};

namespace {

constexpr const char* kOpenWhileScanning =
    "Select a found volume and click next button to open it now: the scan pauses until you come back...";
constexpr const char* kNextWhileScanning =
    "Opens the selected volume now. The scan pauses meanwhile and goes on when you come back to this list.";

// Collects what the walk finds and shows its status texts.
class Collector : public PartitionOwner {
public:
    explicit Collector(QLabel* status) : status_(status) {}
    void addEntry(const VolumeEntry& e) override { entries.push_back(e); }
    void setStatus(const std::string& text) override { status_->setText(QString::fromStdString(text)); }
    std::vector<VolumeEntry> entries;

private:
    QLabel* status_;
};

// What the sector scan reports from its worker, passed to the page on the
// GUI thread (a call posted to a page that is gone is dropped).
class ScanBridge : public PartitionOwner, public ProgressSink {
public:
    ScanBridge(QObject* page, std::function<void(const VolumeEntry&)> found, QLabel* status, QProgressBar* bar,
               RateLabel* rate)
        : page_(page), found_(std::move(found)), status_(status), bar_(bar), rate_(rate) {}
    void addEntry(const VolumeEntry& e) override {
        QMetaObject::invokeMethod(page_, [f = found_, e] { f(e); }, Qt::QueuedConnection);
    }
    void setStatus(const std::string& text) override {
        QPointer<QLabel> l = status_;
        const QString t = QString::fromStdString(text);
        QMetaObject::invokeMethod(page_, [l, t] { if (l) l->setText(t); }, Qt::QueuedConnection);
    }
    void range(int64_t high) override {
        QPointer<QProgressBar> b = bar_;
        QMetaObject::invokeMethod(page_, [b, high] { if (b) b->setRange(0, static_cast<int>(high)); },
                                  Qt::QueuedConnection);
    }
    void position(int64_t pos) override {
        QPointer<QProgressBar> b = bar_;
        QPointer<RateLabel> r = rate_;
        QMetaObject::invokeMethod(page_, [b, r, pos] {
            if (b) b->setValue(static_cast<int>(pos));
            if (b && r) r->progress(pos, b->maximum());
        }, Qt::QueuedConnection);
    }

private:
    QObject* page_;
    std::function<void(const VolumeEntry&)> found_;
    QLabel* status_;
    QProgressBar* bar_;
    RateLabel* rate_;
};
}  // namespace

PopulateDriveDlg::PopulateDriveDlg(const Options& o, WizardPage* opener)
    : WizardPage("Volume List", opener), options_(o) {
    setObjectName("PopulateDriveDlg");
    auto* outer = new QVBoxLayout(content());
    outer->setContentsMargins(18, 10, 18, 4);
    auto* top = new QHBoxLayout;
    outer->addLayout(top, 1);
    buildVolumeList(top);
    buildCustomSettings(top);
    buildStatusRows(outer);

    // Initial states.
    addCustom_->setEnabled(false);
    custom_->setEnabled(false);
    onCustomToggled(false);
    connectControls();
    fillVolumes();
}

// "Volume List:" with its columns, "Filter Entries" and "Add Custom Volume".
void PopulateDriveDlg::buildVolumeList(QHBoxLayout* top) {
    auto* left = new QVBoxLayout;
    top->addLayout(left, 3);
    left->addWidget(new QLabel("Volume List:", content()));
    list_ = new QTreeWidget(content());
    list_->setObjectName("volumeList");
    list_->setRootIsDecorated(false);
    list_->setUniformRowHeights(true);
    list_->setAlternatingRowColors(true);
    list_->setSelectionMode(QAbstractItemView::SingleSelection);
    list_->setSelectionBehavior(QAbstractItemView::SelectRows);
    list_->setHeaderLabels({"VOLUME", "FILE_SYSTEM", "VOLUME_SIZE", "START_SECTOR"});
    fitColumns();
    left->addWidget(list_, 1);
    auto* buttons = new QHBoxLayout;
    filter_ = new QPushButton("Filter Entries", content());
    filter_->setToolTip(kFilterExplained);
    filter_->setAutoDefault(false);
    filter_->setCheckable(true);  // pressed while the list is filtered
    addCustom_ = new QPushButton("Add Custom Volume", content());
    addCustom_->setToolTip("Add Custom Volume entry.");
    addCustom_->setAutoDefault(false);
    buttons->addWidget(filter_);
    buttons->addWidget(addCustom_);
    buttons->addStretch(1);
    left->addLayout(buttons);
}

// The custom settings: start and end sector, "Treat file system as:".
void PopulateDriveDlg::buildCustomSettings(QHBoxLayout* top) {
    auto* box = new QGroupBox(content());
    top->addWidget(box, 2);
    auto* g = new QGridLayout(box);
    custom_ = new QCheckBox("Custom Settings For Selected Volume ", box);
    g->addWidget(custom_, 0, 0, 1, 2);
    selectedCaption_ = new QLabel("Selected Volume :", box);
    selectedValue_ = new QLabel(box);
    selectedValue_->setObjectName("selectedVolume");
    g->addWidget(selectedCaption_, 1, 0);
    g->addWidget(selectedValue_, 1, 1);
    startLabel_ = new QLabel("Start Sector:", box);
    startEdit_ = new SectorEdit(box);
    startEdit_->edit->setObjectName("startSector");
    startEdit_->up->setObjectName("startSectorUp");
    startEdit_->down->setObjectName("startSectorDown");
    endLabel_ = new QLabel("End Sector :", box);
    endEdit_ = new SectorEdit(box);
    endEdit_->edit->setObjectName("endSector");
    endEdit_->up->setObjectName("endSectorUp");
    endEdit_->down->setObjectName("endSectorDown");
    g->addWidget(startLabel_, 2, 0);
    g->addWidget(startEdit_, 2, 1);
    g->addWidget(endLabel_, 3, 0);
    g->addWidget(endEdit_, 3, 1);
    treatLabel_ = new QLabel("Treat file system as:", box);
    treatAs_ = new QComboBox(box);
    treatAs_->setObjectName("treatAs");
    for (const auto& t : treatAsTypes()) treatAs_->addItem(QString::fromStdString(t));
    treatAs_->setCurrentIndex(-1);
    g->addWidget(treatLabel_, 4, 0);
    g->addWidget(treatAs_, 4, 1);
    g->setRowStretch(5, 1);
    g->setColumnStretch(1, 1);
}

// Progress with Stop, the status line and the hint.
void PopulateDriveDlg::buildStatusRows(QVBoxLayout* outer) {
    auto* bottom = new QHBoxLayout;
    progress_ = new QProgressBar(content());
    progress_->setTextVisible(false);
    progress_->setMaximumHeight(14);
    stop_ = new QPushButton("Stop", content());
    stop_->setAutoDefault(false);
    pause_ = new QPushButton("Pause", content());
    pause_->setAutoDefault(false);
    pause_->hide();
    rate_ = new RateLabel(content());
    rate_->hide();
    bottom->addWidget(progress_, 1);
    bottom->addWidget(rate_);
    bottom->addWidget(pause_);
    bottom->addWidget(stop_);
    outer->addLayout(bottom);
    status_ = new QLabel(content());
    status_->setObjectName("status");
    hint_ = new QLabel(content());
    hint_->setObjectName("hint");
    auto* statusRow = new QHBoxLayout;
    statusRow->addWidget(status_, 1);
    statusRow->addWidget(hint_);
    outer->addLayout(statusRow);
    // Why the list holds no volume (nothing found, an empty or unreadable disk).
    notice_ = new QLabel(content());
    notice_->setObjectName("volumeNotice");
    notice_->setWordWrap(true);
    notice_->setTextFormat(Qt::PlainText);
    QPalette pal = notice_->palette();
    pal.setColor(QPalette::WindowText, QColor(0x9a, 0x4a, 0x00));
    notice_->setPalette(pal);
    notice_->hide();
    outer->addWidget(notice_);
}

void PopulateDriveDlg::setNotice(const QString& text) {
    notice_->setText(text);
    notice_->setVisible(!text.isEmpty());
}

void PopulateDriveDlg::connectControls() {
    connect(list_, &QTreeWidget::itemSelectionChanged, this, &PopulateDriveDlg::onRowSelected);
    connect(custom_, &QCheckBox::toggled, this, &PopulateDriveDlg::onCustomToggled);
    connect(filter_, &QPushButton::clicked, this, &PopulateDriveDlg::onFilter);
    connect(addCustom_, &QPushButton::clicked, this, &PopulateDriveDlg::onAddCustom);
    connect(stop_, &QPushButton::clicked, this, &PopulateDriveDlg::onStop);
    connect(pause_, &QPushButton::clicked, this, &PopulateDriveDlg::onPause);
    connect(startEdit_->edit, &QLineEdit::textEdited, this, [this] { rangeEdited_ = true; });
    connect(endEdit_->edit, &QLineEdit::textEdited, this, [this] { rangeEdited_ = true; });
    connect(this, &WizardPage::nextRequested, this, &PopulateDriveDlg::onNext);
}

// Runs the walk of the chosen scan mode and lists what it finds.
void PopulateDriveDlg::fillVolumes() {
    if (options_.scanMode == 1) {
        progress_->setRange(0, 1000);
        runStandard();
        progress_->setValue(1000);
    } else {
        runAdvance();
    }
}

PopulateDriveDlg::~PopulateDriveDlg() { stopWork(); }

void PopulateDriveDlg::stopWork() {
    if (!worker_.joinable()) return;
    if (procedure_) procedure_->stopRequested.store(true);
    gate_.release();
    worker_.join();
}

// Advance Scan: the sector scan on one worker; each volume is listed as it
// is found.
void PopulateDriveDlg::runAdvance() {
    addCustom_->setEnabled(false);
    nextButton()->setEnabled(false);
    filter_->setEnabled(false);
    if (!openCurrentSource(options_.drivePath.toStdString(), messages(), volumeProbeTable())) {
        const int err = g_deviceReader ? g_deviceReader->openError() : 0;
        setNotice(QString("%1 cannot be read%2").arg(options_.drivePath,
                                                      err ? QString(": ") + QString::fromLocal8Bit(std::strerror(err))
                                                          : QString(".")));
        procedure_.reset();
        nextButton()->setEnabled(true);
        filter_->setEnabled(true);
        progress_->hide();
        stop_->hide();
        messages().info("file not opened..");
        return;
    }
    list_->clear();
    volumes_.clear();
    const uint64_t total = g_totalSectors.load();
    if (total > 0) wholeDisk_ = wholeDiskEntry(total);
    fillList({});
    startScan(g_deviceReader);
}

// The sector scan of reader on the worker (the disk, or what a layer
// yields).
void PopulateDriveDlg::startScan(std::shared_ptr<readWriteInterface> reader) {
    addCustom_->setEnabled(false);
    nextButton()->setEnabled(false);
    filter_->setEnabled(false);
    backButton()->setEnabled(false);
    procedure_ = std::make_unique<Partition>();
    procedure_->skipFoundVolumes = !options_.doNotSkip;
    if (inside_.empty()) {  // the custom range is the disk's
        procedure_->scanStartSector = options_.customStartSector;
        procedure_->scanEndSector = options_.customEndSector;
    }
    progress_->setRange(0, 1000);
    progress_->setValue(0);
    progress_->show();
    stop_->show();
    pause_->show();
    pause_->setText("Pause");
    // The bytes the scan reads, for its rate.
    const uint64_t sectors = reader->sizeBytes() / 512;
    uint64_t first = 0, last = sectors ? sectors - 1 : 0;
    if (procedure_->scanStartSector > 0) first = static_cast<uint64_t>(procedure_->scanStartSector);
    if (procedure_->scanEndSector > 0) last = std::min(last, static_cast<uint64_t>(procedure_->scanEndSector));
    rate_->start(sectors && first <= last ? (last - first + 1) * 512 : 0, &gate_);
    rate_->show();
    // A volume found meanwhile can be opened at once (the scan pauses).
    hint_->setText(kOpenWhileScanning);
    QPointer<PopulateDriveDlg> self(this);
    auto bridge = std::make_unique<ScanBridge>(
        this, [self](const VolumeEntry& e) { if (self) self->onVolumeFound(e); }, status_, progress_, rate_);
    procedure_->owner = bridge.get();
    procedure_->progress = bridge.get();
    procedure_->pause = &gate_;
    bridge_ = std::move(bridge);
    Partition* procedure = procedure_.get();
    worker_ = std::thread([this, reader, procedure] {
        const SectorScanResult r = ScanForFileSystems(*reader, *procedure, volumeProbeTable());
        QMetaObject::invokeMethod(this, [this, r] { onScanEnded(r); }, Qt::QueuedConnection);
    });
    nextButton()->setToolTip(kNextWhileScanning);
    updateNextWhileScanning();
}

// While the sector scan runs, Next opens a found volume (a layer only when
// what it holds is listed: opening it would start a scan of its own).
bool PopulateDriveDlg::openableWhileScanning(QTreeWidgetItem* item) const {
    bool ok = false;
    const qulonglong i = item ? item->data(0, kIndexRole).toULongLong(&ok) : 0;
    if (!ok || i == kWholeDiskRow || i >= volumes_.size()) return false;
    return !isLayerName(volumes_[static_cast<size_t>(i)].fileSystem) || item->childCount() > 0;
}

void PopulateDriveDlg::updateNextWhileScanning() {
    if (!scanning()) return;
    const auto sel = list_->selectedItems();
    nextButton()->setEnabled(!sel.isEmpty() && openableWhileScanning(sel.front()));
}

// Next during the scan: the scan holds while the operator is on the pages
// of the volume, and goes on when this list shows again.
void PopulateDriveDlg::pauseForVolume(const std::string& volumeNumber) {
    awayDuringScan_ = true;
    if (!gate_.paused()) {
        gate_.pause();
        pausedForVolume_ = true;
    }
    status_->setText(QString::fromStdString("Scan paused while the volume " + volumeNumber + " is open"));
}

void PopulateDriveDlg::showEvent(QShowEvent* e) {
    WizardPage::showEvent(e);
    backFromVolume();
}

void PopulateDriveDlg::backFromVolume() {
    if (!awayDuringScan_) return;
    awayDuringScan_ = false;
    if (pausedForVolume_) {
        pausedForVolume_ = false;
        gate_.resume();
        status_->setText("Scanning partition.....");
    }
    // A scan that ended while the volume was open says so now.
    if (pendingEnd_) {
        const SectorScanResult r = *pendingEnd_;
        pendingEnd_.reset();
        QMetaObject::invokeMethod(this, [this, r] { onScanEnded(r); }, Qt::QueuedConnection);
    }
}

void PopulateDriveDlg::onVolumeFound(const VolumeEntry& found0) {
    VolumeEntry e = found0;
    if (!inside_.empty()) {
        // Found inside what a layer yields: listed under the layer.
        const VolumeEntry& in = inside_.front();
        e.reader = in.reader;
        e.parent = in.parent;
        e.within = in.within;
        e.outputNote = in.outputNote;
        e.volumeNumber = in.parent + "/" + std::to_string(insideCount_++);
    }
    // A layer found by the scan opens when it needs nothing; one that asks
    // for a passphrase opens when it is chosen.
    std::vector<VolumeEntry> found{e};
    if (isLayerName(e.fileSystem)) openLayers(found, g_deviceReader);
    for (const VolumeEntry& v : found) {
        volumes_.push_back(v);
        QTreeWidgetItem* row = makeRow(volumes_.size() - 1);
        if (QTreeWidgetItem* parent = parentRow(v)) {
            parent->addChild(row);
            parent->setExpanded(true);
            list_->setRootIsDecorated(true);
            continue;
        }
        // In the order found, above the whole-disk row.
        const int at = list_->topLevelItemCount() - (wholeDisk_ ? 1 : 0);
        list_->insertTopLevelItem(std::max(0, at), row);
    }
    fitColumns();
}

QTreeWidgetItem* PopulateDriveDlg::makeRow(size_t index) const {
    const VolumeEntry& v = volumes_[index];
    const RowTexts t = rowTexts(v);
    auto* row = new QTreeWidgetItem(QStringList{QString::fromStdString(t.volume), QString::fromStdString(t.fileSystem),
                                                QString::fromStdString(t.sizeText),
                                                QString::fromStdString(t.startSector)});
    row->setData(0, kIndexRole, static_cast<qulonglong>(index));
    QString tip = QString::fromStdString(t.fileSystem);
    if (!v.within.empty()) tip += " in " + QString::fromStdString(v.within);
    if (!v.layerNote.empty()) tip += " (not opened: " + QString::fromStdString(v.layerNote) + ")";
    if (!v.memberOf.empty()) tip += " (member of the set under " + QString::fromStdString(v.memberOf) + ")";
    // Formatted over another file system without wiping: both are named.
    for (size_t i = 0; i < v.alsoLooksLike.size(); ++i)
        tip += (i ? ", " : " (also looks like ") + QString::fromStdString(v.alsoLooksLike[i].fileSystem) +
               (i + 1 == v.alsoLooksLike.size() ? ")" : "");
    row->setToolTip(1, tip);
    return row;
}

// The row of the volume a layered volume lies in, when it is listed.
QTreeWidgetItem* PopulateDriveDlg::parentRow(const VolumeEntry& v) const {
    return v.parent.empty() ? nullptr : rowOf(v.parent);
}

// The row of the volume of this number, when it is listed.
QTreeWidgetItem* PopulateDriveDlg::rowOf(const std::string& volumeNumber) const {
    for (QTreeWidgetItemIterator it(list_); *it; ++it) {
        bool ok = false;
        const qulonglong i = (*it)->data(0, kIndexRole).toULongLong(&ok);
        if (ok && i < volumes_.size() && volumes_[static_cast<size_t>(i)].volumeNumber == volumeNumber) return *it;
    }
    return nullptr;
}

void PopulateDriveDlg::onScanEnded(const SectorScanResult& r) {
    if (worker_.joinable()) worker_.join();
    if (awayDuringScan_) {
        pendingEnd_ = r;  // no box over the volume's pages
        return;
    }
    lastScan_ = r;
    if (!inside_.empty()) {
        const std::string parent = inside_.front().parent;
        inside_.pop_front();
        if (!inside_.empty() && !r.stopped) {
            startScan(inside_.front().reader);
            return;
        }
        inside_.clear();
        insideEnded(parent, r);
        return;
    }
    status_->setText("Scanned Partitions");
    scanControlsDone();
    // A stopped scan says so, and where: the disk after it was not searched.
    if (r.stopped) {
        messages().info(scanStoppedBox(r.endedAt, r.firstSector, r.lastSector));
        status_->setText(QString::fromStdString(scanStoppedStatus(r.endedAt, r.firstSector, r.lastSector)));
    } else {
        messages().info("populated partitions....");
    }
    if (list_->topLevelItemCount() > 0) custom_->setEnabled(true);
    hint_->setText("Select volume and click next button...");
    QStringList notes;
    if (r.unreadableSectors)
        notes << QString("%1 unreadable sectors were skipped.").arg(static_cast<qulonglong>(r.unreadableSectors));
    if (r.stopped)
        notes << QString::fromStdString(scanStoppedStatus(r.endedAt, r.firstSector, r.lastSector)) +
                     " Volumes after it are not listed.";
    if (r.tooMany) notes << QString("The scan ended after %1 volumes.").arg(static_cast<qulonglong>(kMaxScanVolumes));
    if (volumes_.empty() && !r.stopped && g_totalSectors.load() > 0)
        notes << "No volume was found. Choose \"whole disk\" to search it for files by their signatures (raw "
                 "recovery), or add a custom volume.";
    setNotice(notes.join(' '));
}

void PopulateDriveDlg::onStop() {
    if (!procedure_) return;
    procedure_->stopRequested.store(true);
    gate_.resume();
}

void PopulateDriveDlg::onPause() {
    if (!worker_.joinable()) return;
    if (gate_.paused()) {
        gate_.resume();
        pause_->setText("Pause");
        status_->setText("Resume button pressed");
    } else {
        gate_.pause();
        pause_->setText("Resume");
        status_->setText("Pause button pressed");
    }
}

QLineEdit* PopulateDriveDlg::startSectorEdit() const { return startEdit_->edit; }
QLineEdit* PopulateDriveDlg::endSectorEdit() const { return endEdit_->edit; }

void PopulateDriveDlg::runStandard() {
    addCustom_->hide();
    filter_->setEnabled(false);
    Partition procedure;
    procedure.useGpt = options_.useGpt;
    if (!openCurrentSource(options_.drivePath.toStdString(), messages(), volumeProbeTable())) {
        const int err = g_deviceReader ? g_deviceReader->openError() : 0;
        setNotice(QString("%1 cannot be read%2").arg(options_.drivePath,
                                                      err ? QString(": ") + QString::fromLocal8Bit(std::strerror(err))
                                                          : QString(".")));
        messages().info("file not opened..");
    } else {
        list_->clear();
        volumes_.clear();
        Collector c(status_);
        procedure.owner = &c;
        ReadPartitionTables(*g_deviceReader, procedure, volumeProbeTable());
        volumes_ = std::move(c.entries);
        // Layers that need nothing open now; one that asks, when it is chosen.
        openLayers(volumes_, g_deviceReader);
        const uint64_t total = g_totalSectors.load();
        if (total > 0) wholeDisk_ = wholeDiskEntry(total);
        std::vector<size_t> all(volumes_.size());
        for (size_t i = 0; i < all.size(); ++i) all[i] = i;
        fillList(all);
        if (list_->topLevelItemCount() > 0) custom_->setEnabled(true);
        if (total == 0)
            setNotice("The disk is empty (0 bytes): there is nothing to recover on it.");
        else if (volumes_.empty())
            setNotice(kNothingFoundText);
    }
    filter_->setEnabled(true);
    progress_->hide();
    stop_->hide();
    status_->setText("Finished Scanning.");
    hint_->setText("Select volume and click next button...");
}

void PopulateDriveDlg::fillList(const std::vector<size_t>& indexes) {
    list_->clear();
    list_->setRootIsDecorated(false);
    // Each row is inserted at the top, from the last entry to the first, so
    // the rows appear in the order found; a volume inside a layer goes under
    // the layer's row.
    std::vector<QTreeWidgetItem*> nested;
    for (auto it = indexes.rbegin(); it != indexes.rend(); ++it) {
        QTreeWidgetItem* row = makeRow(*it);
        if (!volumes_[*it].parent.empty()) {
            nested.insert(nested.begin(), row);
            continue;
        }
        list_->insertTopLevelItem(0, row);
    }
    for (QTreeWidgetItem* row : nested) {
        bool ok = false;
        const size_t i = static_cast<size_t>(row->data(0, kIndexRole).toULongLong(&ok));
        if (QTreeWidgetItem* parent = parentRow(volumes_[i])) {
            parent->addChild(row);
            parent->setExpanded(true);
            list_->setRootIsDecorated(true);
        } else {
            list_->addTopLevelItem(row);
        }
    }
    // The whole disk, always last.
    if (wholeDisk_) {
        const RowTexts t = rowTexts(*wholeDisk_);
        auto* row = new QTreeWidgetItem(QStringList{QString::fromStdString(t.volume), QString::fromStdString(t.fileSystem),
                                                    QString::fromStdString(t.sizeText),
                                                    QString::fromStdString(t.startSector)});
        row->setData(0, kIndexRole, kWholeDiskRow);
        row->setToolTip(0, "The whole disk from sector 0: raw recovery searches it for files by their signatures.");
        list_->addTopLevelItem(row);
    }
    fitColumns();
}

void PopulateDriveDlg::fitColumns() {
    static const int kMinWidth[4] = {80, 80, 80, 100};
    for (int c = 0; c < 4; ++c) {
        list_->resizeColumnToContents(c);
        list_->setColumnWidth(c, std::max(kMinWidth[c], list_->columnWidth(c) + 12));
    }
}

const VolumeEntry* PopulateDriveDlg::selectedStored() const {
    const auto sel = list_->selectedItems();
    if (sel.isEmpty()) return nullptr;
    bool ok = false;
    const qulonglong i = sel.front()->data(0, kIndexRole).toULongLong(&ok);
    if (!ok) return nullptr;
    if (i == kWholeDiskRow) return wholeDisk_ ? &*wholeDisk_ : nullptr;
    return i < volumes_.size() ? &volumes_[static_cast<size_t>(i)] : nullptr;
}

void PopulateDriveDlg::onRowSelected() {
    updateNextWhileScanning();
    const auto sel = list_->selectedItems();
    if (sel.isEmpty()) return;
    QTreeWidgetItem* row = sel.front();
    selectedValue_->setText(row->text(0));
    const uint64_t start = parseSector(row->text(3).toStdString()).value_or(0);
    startEdit_->edit->setText(QString::number(start));
    endEdit_->edit->setText(QString::number(endSectorForRow(start, row->text(2).toStdString())));
    rangeEdited_ = false;
    const int t = matchTreatAs(row->text(1).toStdString());
    if (t >= 0) treatAs_->setCurrentIndex(t);
}

void PopulateDriveDlg::onCustomToggled(bool on) {
    for (QWidget* w : {static_cast<QWidget*>(selectedCaption_), static_cast<QWidget*>(selectedValue_),
                       static_cast<QWidget*>(startLabel_), static_cast<QWidget*>(startEdit_),
                       static_cast<QWidget*>(endLabel_), static_cast<QWidget*>(endEdit_),
                       static_cast<QWidget*>(treatLabel_), static_cast<QWidget*>(treatAs_)})
        w->setEnabled(on);
}

void PopulateDriveDlg::onFilter() {
    list_->clear();
    if (!unfilteredNumbers_.empty()) {
        // A second click: every volume again, with its own number.
        for (size_t i = 0; i < volumes_.size() && i < unfilteredNumbers_.size(); ++i)
            volumes_[i].volumeNumber = unfilteredNumbers_[i];
        unfilteredNumbers_.clear();
        std::vector<size_t> all(volumes_.size());
        for (size_t i = 0; i < all.size(); ++i) all[i] = i;
        fillList(all);
        filter_->setChecked(false);
        setNotice({});
        return;
    }
    for (const VolumeEntry& v : volumes_) unfilteredNumbers_.push_back(v.volumeNumber);
    const std::vector<size_t> kept = filterEntries(volumes_);
    for (size_t k = 0; k < kept.size(); ++k) volumes_[kept[k]].volumeNumber = std::to_string(k);
    // Each kept entry goes to the top of the list.
    std::vector<size_t> reversed(kept.rbegin(), kept.rend());
    fillList(reversed);
    filter_->setChecked(true);
    setNotice(QString::fromStdString(filteredText(kept.size(), volumes_.size())));
}

void PopulateDriveDlg::onAddCustom() {
    VolumeEntry e;
    e.fileSystem = "CUSTOM ";
    e.volumeNumber = std::to_string(volumes_.size());
    e.sizeText = "0";
    e.startSector = 0;
    volumes_.push_back(e);
    custom_->setEnabled(true);
    custom_->setChecked(true);
    const RowTexts t = rowTexts(e);
    auto* row = new QTreeWidgetItem(QStringList{QString::fromStdString(t.volume), QString::fromStdString(t.fileSystem),
                                                QString::fromStdString(t.sizeText),
                                                QString::fromStdString(t.startSector)});
    row->setData(0, kIndexRole, static_cast<qulonglong>(volumes_.size() - 1));
    list_->insertTopLevelItem(0, row);
    fitColumns();
    list_->setCurrentItem(row);
    startEdit_->edit->setText("0");
    endEdit_->edit->setText("0");
    // Its file system is the operator's to choose (Next asks for it).
    treatAs_->setCurrentIndex(-1);
}

void PopulateDriveDlg::onNext() {
    const VolumeEntry* stored = selectedStored();
    if (!stored) {
        messages().info("please select a valid volume.");
        return;
    }
    QTreeWidgetItem* item = list_->selectedItems().front();
    const bool duringScan = scanning();
    if (duringScan && !openableWhileScanning(item)) {
        messages().info("This volume can be opened when the scan has ended (or after Stop).");
        return;
    }
    RowTexts row{item->text(0).toStdString(), item->text(1).toStdString(), item->text(2).toStdString(),
                 item->text(3).toStdString()};
    CustomInput in;
    in.ticked = custom_->isChecked();
    in.startText = startEdit_->edit->text().toStdString();
    in.endText = endEdit_->edit->text().toStdString();
    in.type = treatAs_->currentIndex() >= 0 ? treatAs_->currentText().toStdString() : std::string();
    in.rangeEdited = rangeEdited_;
    if (isLayerName(stored->fileSystem) && !in.ticked) {
        enterLayer(item);
        return;
    }
    NextDecision d = decideNext(*stored, row, in, customised_, g_totalSectors.load());
    if (d.kind == NextDecision::Refuse) {
        messages().info(d.message);
        return;
    }
    customised_ = d.customised;
    chosen_ = d.entry;
    if (duringScan) pauseForVolume(chosen_.volumeNumber);
    if (d.kind == NextDecision::Raw)
        openRawPage(this, chosen_);
    else
        openNext(new ParceModeNtfsDlg(ParceModeNtfsDlg::kFromVolumeList, chosen_, this));
    if (duringScan && isVisible()) backFromVolume();  // no page opened: the scan goes on
}

// Next on a layer's row: what it holds is chosen instead (opened first,
// asking for what it needs, when it is not open yet). After an Advance Scan
// what it holds is searched by the sector scan too.
void PopulateDriveDlg::enterLayer(QTreeWidgetItem* item) {
    bool ok = false;
    const size_t index = static_cast<size_t>(item->data(0, kIndexRole).toULongLong(&ok));
    if (!ok || index >= volumes_.size()) return;
    // A further member of a set: the set is open under its first member.
    if (!volumes_[index].memberOf.empty()) {
        if (QTreeWidgetItem* owner = rowOf(volumes_[index].memberOf)) {
            if (owner->childCount() > 0) {
                list_->setCurrentItem(owner->child(0));
                hint_->setText("Select a volume inside the layer and click next button...");
                return;
            }
        }
    }
    if (item->childCount() == 0) {
        std::vector<VolumeEntry> one{volumes_[index]};
        const bool search = options_.scanMode != 1;
        // Searching: each volume the layer yields, as it is, to be scanned.
        FindInside asIs;
        if (search) asIs = [](readWriteInterface&) { return std::vector<VolumeEntry>{}; };
        openLayers(one, g_deviceReader, wizardLayerAsk(this), asIs);
        if (one.size() < 2) {
            messages().info("The volume " + one[0].volumeNumber + " (" + one[0].fileSystem +
                            ") cannot be opened: " + one[0].layerNote);
            return;
        }
        volumes_[index].layerNote.clear();
        item->setToolTip(1, makeRow(index)->toolTip(1));
        if (search) {
            inside_.assign(one.begin() + 1, one.end());
            insideCount_ = 0;
            status_->setText("Scanning inside the volume " + QString::fromStdString(one[0].volumeNumber) + "...");
            startScan(inside_.front().reader);
            return;
        }
        for (size_t k = 1; k < one.size(); ++k) {
            volumes_.push_back(one[k]);
            item->addChild(makeRow(volumes_.size() - 1));
        }
        item->setExpanded(true);
        list_->setRootIsDecorated(true);
        fitColumns();
    }
    list_->setCurrentItem(item->child(0));
    hint_->setText("Select a volume inside the layer and click next button...");
}

// The end of the sector scan inside a layer: its first volume chosen.
// The page's controls as they are when no scan runs.
void PopulateDriveDlg::scanControlsDone() {
    backButton()->setEnabled(true);
    status_->setText("Finished Scanning.");
    procedure_.reset();
    bridge_.reset();
    addCustom_->setEnabled(true);
    filter_->setEnabled(true);
    progress_->hide();
    stop_->hide();
    pause_->hide();
    rate_->stop();
    rate_->hide();
    nextButton()->setToolTip({});
    nextButton()->setEnabled(true);
}

void PopulateDriveDlg::insideEnded(const std::string& parent, const SectorScanResult& r) {
    scanControlsDone();
    QTreeWidgetItem* layer = nullptr;
    for (QTreeWidgetItemIterator it(list_); *it && !layer; ++it) {
        bool ok = false;
        const qulonglong i = (*it)->data(0, kIndexRole).toULongLong(&ok);
        if (ok && i < volumes_.size() && volumes_[static_cast<size_t>(i)].volumeNumber == parent) layer = *it;
    }
    if (layer && layer->childCount() > 0) {
        layer->setExpanded(true);
        list_->setCurrentItem(layer->child(0));
        hint_->setText("Select a volume inside the layer and click next button...");
        setNotice(r.stopped ? "The scan inside the volume was stopped before its end." : QString());
    } else {
        setNotice("No volume was found inside the volume " + QString::fromStdString(parent) + ".");
    }
}

}  // namespace brantlow::gui
