#include "app/AdvanceOptions.h"

#include <cstdio>

#include <QComboBox>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QTreeWidget>
#include <QVBoxLayout>

#include "app/Pages.h"
#include "base/texts.h"
#include "fs/filesystems.h"
#include "scan/gui/VolumeScanDlg.h"
#include "scan/scan_job.h"
#include "scan/volumes.h"
#include "ui/CurrentSource.h"

namespace brantlow::gui {

namespace {
QString qs(const std::string& s) { return QString::fromStdString(s); }
}  // namespace

advanceOptions::advanceOptions(const VolumeEntry& volume, int maxCandidates, const ScanOptions& base,
                               WizardPage* opener)
    : WizardPage("Advanced Input", opener),
      volume_(volume),
      maxCandidates_(maxCandidates < 1 ? 3 : maxCandidates),
      base_(base),
      fileSystem_(qs(volume.fileSystem).trimmed()),
      bridge_(std::make_unique<QtProgressBridge>()) {
    setObjectName("advanceOptions");
    auto* outer = new QVBoxLayout(content());
    outer->setContentsMargins(18, 12, 18, 4);
    auto* group = new QGroupBox("Advanced Input:", content());
    outer->addWidget(group);
    auto* g = new QGridLayout(group);
    g->setColumnStretch(2, 1);
    listLabel_ = new QLabel(group);
    candidates_ = new QComboBox(group);
    candidates_->setObjectName("candidateList");
    candidates_->setMinimumWidth(220);
    clusterLabel_ = new QLabel("Sectors Per Cluster :", group);
    clusters_ = new QComboBox(group);
    clusters_->setObjectName("sectorsPerCluster");
    heapLabel_ = new QLabel("Heap Offset :", group);
    heaps_ = new QComboBox(group);
    heaps_->setObjectName("heapOffsets");
    detail_ = new QLabel(group);
    detail_->setObjectName("candidateDetail");
    heapDetail_ = new QLabel(group);
    heapDetail_->setObjectName("heapDetail");
    g->addWidget(listLabel_, 0, 0);
    g->addWidget(candidates_, 0, 1);
    g->addWidget(detail_, 0, 2);
    g->addWidget(clusterLabel_, 1, 0);
    g->addWidget(clusters_, 1, 1);
    g->addWidget(heapLabel_, 2, 0);
    g->addWidget(heaps_, 2, 1);
    g->addWidget(heapDetail_, 2, 2);
    // Every candidate with where it lies and what it is; a click chooses it.
    table_ = new QTreeWidget(group);
    table_->setObjectName("candidateTable");
    table_->setRootIsDecorated(false);
    table_->setHeaderLabels({"Candidate", "Byte", "Sector", "What it is", "Best"});
    table_->setMinimumHeight(110);
    table_->hide();
    g->addWidget(table_, 3, 0, 1, 3);
    earlier_ = new QTreeWidget(group);
    earlier_->setObjectName("earlierTable");
    earlier_->setRootIsDecorated(false);
    earlier_->setHeaderLabels({"Earlier file system", "Score", "Where", "Figures"});
    earlier_->setMinimumHeight(90);
    earlier_->hide();
    g->addWidget(earlier_, 4, 0, 1, 3);
    clusterLabel_->hide();
    clusters_->hide();
    heapLabel_->hide();
    heaps_->hide();

    progress_ = new QProgressBar(content());
    progress_->setRange(0, 1000);
    progress_->setValue(0);
    rate_ = new RateLabel(content());
    auto* bar = new QHBoxLayout;
    bar->addWidget(progress_, 1);
    bar->addWidget(rate_);
    outer->addLayout(bar);
    auto* row = new QHBoxLayout;
    status_ = new QLabel(content());
    status_->setObjectName("status");
    row->addWidget(status_, 1);
    pause_ = new QPushButton("Pause", content());
    resume_ = new QPushButton("Resume", content());
    stop_ = new QPushButton("Stop", content());
    row->addWidget(pause_);
    row->addWidget(resume_);
    row->addWidget(stop_);
    outer->addLayout(row);
    outer->addStretch(1);

    nextButton()->setEnabled(false);
    backButton()->setEnabled(false);

    connect(bridge_.get(), &QtProgressBridge::rangeSet, this, [this](qint64 hi) {
        progress_->setRange(0, static_cast<int>(std::min<qint64>(hi, 1 << 30)));
    });
    connect(bridge_.get(), &QtProgressBridge::positionSet, this,
            [this](qint64 p) {
                progress_->setValue(static_cast<int>(std::min<qint64>(p, progress_->maximum())));
                rate_->progress(progress_->value(), progress_->maximum());
            });
    connect(bridge_.get(), &QtProgressBridge::statusSet, status_, &QLabel::setText);
    connect(pause_, &QPushButton::clicked, this, [this] {
        if (!searching()) return;
        gate_.pause();
        status_->setText("Pause button pressed");
    });
    connect(resume_, &QPushButton::clicked, this, [this] {
        if (!searching()) return;
        gate_.resume();
        status_->setText("Resume button pressed");
    });
    connect(stop_, &QPushButton::clicked, this, [this] {
        if (!searching()) return;
        // Next and Back follow once the worker has handed in what it found.
        stopRequested_.store(true);
        status_->setText("stop button pressed");
    });
    connect(this, &WizardPage::nextRequested, this, &advanceOptions::onNext);
    connect(candidates_, &QComboBox::currentIndexChanged, this, [this](int i) {
        if (i >= 0 && i < table_->topLevelItemCount()) table_->setCurrentItem(table_->topLevelItem(i));
        showDetails();
    });
    connect(heaps_, &QComboBox::currentIndexChanged, this, [this] { showDetails(); });
    connect(table_, &QTreeWidget::currentItemChanged, this, [this](QTreeWidgetItem* item) {
        const int i = item ? table_->indexOfTopLevelItem(item) : -1;
        if (i >= 0 && i != candidates_->currentIndex()) candidates_->setCurrentIndex(i);
        if (item) earlier_->setCurrentItem(nullptr);
    });
    connect(earlier_, &QTreeWidget::currentItemChanged, this, [this](QTreeWidgetItem* item) {
        if (item) table_->setCurrentItem(nullptr);
    });
    start();
}

advanceOptions::~advanceOptions() { joinWorker(); }

void advanceOptions::start() {
    const ParserRow* row = findParserRow(volume_.fileSystem);
    if (!row || !row->advanced.search) {
        // No search for this file system: only Back is left.
        backButton()->setEnabled(true);
        status_->setText("No advanced search for this file system.");
        progress_->hide();
        pause_->hide();
        resume_->hide();
        stop_->hide();
        return;
    }
    std::shared_ptr<readWriteInterface> reader = g_deviceReader;
    if (!reader) {
        messages().info("Please Restart the program to re begin necessary initialization...");
        backButton()->setEnabled(true);
        return;
    }
    if (row->statusText) status_->setText(row->statusText);
    listLabel_->setText(row->advanced.listLabel);
    heapsOffered_ = row->advanced.heaps;
    VolumeView view = volumeView(volume_, reader);
    throttled_ = std::make_unique<ThrottledProgress>(bridge_.get(), &gate_);
    rate_->start(view.sizeBytes(), &gate_);  // each phase reads the volume through
    const std::string name = volume_.fileSystem;
    const int max = maxCandidates_;
    worker_ = std::thread([this, view, name, max] {
        AdvancedSearch r = searchAdvancedCandidates(name, view, max, throttled_.get(), &stopRequested_, &gate_);
        // Then the other file systems the volume holds traces of.
        std::vector<FileSystemCandidate> earlier;
        if (!stopRequested_.load()) earlier = findFileSystemCandidates(view, throttled_.get(), &stopRequested_, &gate_);
        throttled_->flush();
        // The GUI thread fills the lists and shows the box.
        QMetaObject::invokeMethod(
            this, [this, r = std::move(r), e = std::move(earlier)]() mutable { onSearchDone(std::move(r), std::move(e)); },
            Qt::QueuedConnection);
    });
}

void advanceOptions::onSearchDone(AdvancedSearch r, std::vector<FileSystemCandidate> earlier) {
    joinWorker();
    done_ = true;
    result_ = std::move(r);
    earlierFound_ = std::move(earlier);
    earlier_->clear();
    for (const FileSystemCandidate& c : earlierFound_) {
        char score[16];
        std::snprintf(score, sizeof score, "%.2f", c.score);
        std::string where = c.where;
        if (c.clusterBytes) where += ", " + std::to_string(c.clusterBytes) + "-byte clusters";
        new QTreeWidgetItem(earlier_, QStringList{qs(c.fileSystem + (c.variant ? " (variant)" : "")), score, qs(where),
                                                  qs(candidateFigures(c))});
    }
    for (int c = 0; c < 4; ++c) earlier_->resizeColumnToContents(c);
    earlier_->setVisible(!earlierFound_.empty());
    listLabel_->setText(qs(result_.listLabel));
    candidates_->clear();
    table_->clear();
    const size_t best = firstCandidate(result_);
    for (size_t i = 0; i < result_.candidates.size(); ++i) {
        const AdvancedCandidate& c = result_.candidates[i];
        const bool isBest = i == best && result_.candidates.size() > 1;
        candidates_->addItem(qs(c.label));
        const int at = candidates_->count() - 1;
        candidates_->setItemData(at, qs(::brantlow::candidateDetail(c, isBest)), Qt::ToolTipRole);
        if (i == best) {
            QFont f = candidates_->font();
            f.setBold(true);
            candidates_->setItemData(at, f, Qt::FontRole);
        }
        auto* row = new QTreeWidgetItem(table_, QStringList{qs(c.label),
                                                            c.position >= 0 ? QString::number(c.position) : QString(),
                                                            c.position >= 0 ? QString::number(c.position / 512) : QString(),
                                                            qs(c.note), isBest ? QString("best") : QString()});
        row->setTextAlignment(1, Qt::AlignRight | Qt::AlignVCenter);
        row->setTextAlignment(2, Qt::AlignRight | Qt::AlignVCenter);
    }
    for (int c = 0; c < 5; ++c) table_->resizeColumnToContents(c);
    table_->setVisible(!result_.candidates.empty());
    clusters_->clear();
    for (const std::string& t : result_.clusterTexts) clusters_->addItem(qs(t));
    heaps_->clear();
    for (const AdvancedCandidate& h : result_.heaps) {
        heaps_->addItem(qs(h.label));
        heaps_->setItemData(heaps_->count() - 1, qs(::brantlow::candidateDetail(h, false)), Qt::ToolTipRole);
    }
    // The candidate the search ranks best (the first one unless the list
    // says otherwise); the first cluster size (the volume's own, when known).
    if (!result_.candidates.empty()) candidates_->setCurrentIndex(static_cast<int>(best));
    if (clusters_->count()) clusters_->setCurrentIndex(0);
    if (heaps_->count()) heaps_->setCurrentIndex(0);
    clusterLabel_->show();
    clusters_->show();
    const bool heaps = !result_.heaps.empty() || heapsOffered_;
    heapLabel_->setVisible(heaps);
    heaps_->setVisible(heaps);
    heapDetail_->setVisible(heaps);
    showDetails();
    nextButton()->setEnabled(true);
    backButton()->setEnabled(true);
    messages().info(result_.closingMessage);
    rate_->stop();
    progress_->hide();
    pause_->hide();
    resume_->hide();
    stop_->hide();
    status_->setText(qs(result_.doneStatus));
}

void advanceOptions::showDetails() {
    const int i = candidates_->currentIndex();
    detail_->setText(i >= 0 && static_cast<size_t>(i) < result_.candidates.size()
                         ? qs(::brantlow::candidateDetail(result_.candidates[static_cast<size_t>(i)],
                                             static_cast<size_t>(i) == firstCandidate(result_) &&
                                                 result_.candidates.size() > 1))
                         : QString());
    const int h = heaps_->currentIndex();
    heapDetail_->setText(h >= 0 && static_cast<size_t>(h) < result_.heaps.size()
                             ? qs(::brantlow::candidateDetail(result_.heaps[static_cast<size_t>(h)], false))
                             : QString());
}

AdvancedChoice advanceOptions::choice() const {
    AdvancedChoice c;
    auto index = [](const QComboBox* box) {
        return box->currentIndex() >= 0 ? std::optional<size_t>(static_cast<size_t>(box->currentIndex())) : std::nullopt;
    };
    c.candidate = index(candidates_);
    c.clusterSize = index(clusters_);
    c.heap = index(heaps_);
    return c;
}

ScanOptions advanceOptions::chosenOptions() const {
    ScanOptions o = base_;
    applyAdvancedChoice(result_, choice(), o);
    return o;
}

void advanceOptions::onNext() {
    // A row of the earlier file systems: the volume read as that one.
    if (QTreeWidgetItem* item = earlier_->currentItem()) {
        const int i = earlier_->indexOfTopLevelItem(item);
        if (!done_ || i < 0 || static_cast<size_t>(i) >= earlierFound_.size()) return;
        VolumeEntry v = volume_;
        ScanOptions o = base_;
        const ScanMode mode = openEarlierFileSystem(earlierFound_[static_cast<size_t>(i)], v, o);
        openScanPage(this, v, mode, o);
        return;
    }
    // A candidate and a cluster size must be chosen; otherwise nothing.
    if (!done_ || !advancedChoiceReady(result_, choice())) return;
    openScanPage(this, volume_, ScanMode::Advanced, chosenOptions());
}

void advanceOptions::joinWorker() {
    if (!worker_.joinable()) return;
    if (std::this_thread::get_id() == worker_.get_id()) return;
    worker_.join();
}

void advanceOptions::stopWork() {
    stopRequested_.store(true);
    gate_.release();
    joinWorker();
}

void advanceOptions::goBack() {
    // The worker ends at its next stop check (a paused one is let go first)
    // before the page and what it reads go away.
    stopWork();
    WizardPage::goBack();
}

}  // namespace brantlow::gui
