// Saving from the scan page: the plan (the ticked files, or the selected
// folder), the output folder, the question, the save on a worker, and
// what it did.
#include <QCheckBox>
#include <QDialog>
#include <QDialogButtonBox>
#include <QFileDialog>
#include <QFileInfo>
#include <QLabel>
#include <QPushButton>
#include <QTreeWidget>
#include <QVBoxLayout>

#include "fs/filesystems.h"
#include "scan/gui/VolumeScanDlg.h"

namespace brantlow::gui {

using controls::Item;
using controls::kNoItem;

namespace {

// The file systems whose quick save says where the file went.
bool quickSaveTells(const std::string& fs) {
    const ParserRow* row = findParserRow(fs);
    return row && row->quickSaveTells;
}

}  // namespace

QString VolumeScanDlg::pickFolder() {
    if (options_.pickFolder) return options_.pickFolder(this);
    return QFileDialog::getExistingDirectory(this, "Please choose a folder.", QString(),
                                             QFileDialog::ShowDirsOnly);
}

void VolumeScanDlg::chooseOutputFolder() { setOutputFolder(pickFolder()); }

QString VolumeScanDlg::outputFolderOrAsk(bool tellFirst) {
    QString out = outputFolder().trimmed();
    if (!out.isEmpty() && QFileInfo(out).isDir()) return out;
    // None, or one that is gone since it was chosen: ask.
    if (!out.isEmpty()) setOutputFolder(QString());
    if (tellFirst) messages().info("select output folder");
    out = pickFolder().trimmed();
    if (!out.isEmpty()) setOutputFolder(out);
    return out;
}

void VolumeScanDlg::collectTicks(Item item, std::vector<TickedItem>& out) const {
    const controls::CheckTree& t = tree_->checkTree();
    for (Item c : t.children(item)) {
        if (t.stateImage(c) == controls::kUnchecked || !t.hasData(c)) continue;
        const bool opened = !tree_->treeModel()->isPlaceholder(t.firstChild(c));
        out.push_back({t.data(c), t.getCheck(c), opened});
        if (opened) collectTicks(c, out);
    }
}

std::vector<EntryId> VolumeScanDlg::tickedFiles() const {
    if (!parser_ || root_ == kNoItem) return {};
    // Ticked rows of a search, in the order they were found.
    std::vector<EntryId> hits;
    for (EntryId id : searchHits_)
        if (searchTicked_.count(id)) hits.push_back(id);
    std::vector<TickedItem> ticks;
    if (tree_->checkTree().stateImage(root_) != controls::kUnchecked) collectTicks(root_, ticks);
    return filesOfTicks(*parser_, hits, ticks);
}

void VolumeScanDlg::save() {
    if (work_.answer(WorkState::Action::Save) == WorkState::Answer::Wait) {
        messages().info(kWaitText);
        return;
    }
    if (!parser_) return;
    // Ticks decide; with nothing ticked, the selected folder (ROOT: the whole volume).
    std::optional<EntryId> selected;
    std::vector<EntryId> path;  // the folders from below ROOT down to the selected one
    const Item sel = tree_->GetSelectedItem();
    EntryId id;
    if (sel != kNoItem && sel == root_) {
        selected = kRootId;
    } else if (entryOf(sel, id)) {
        selected = id;
        const controls::CheckTree& t = tree_->checkTree();
        for (Item a = sel; a != kNoItem && a != root_; a = t.parent(a))
            if (t.hasData(a)) path.insert(path.begin(), t.data(a));
    }
    SavePlan plan = planSave(*parser_, tickedFiles(), selected, std::move(path));
    if (plan.kind == SavePlan::Kind::Nothing) {
        setStatus(kNothingToSaveText);
        return;
    }
    const QString out = outputFolderOrAsk(true);
    if (out.isEmpty()) return;
    const uint64_t count = filesInPlan(*parser_, plan);
    setProgressRange(static_cast<qint64>(count));
    setProgressPos(0);
    if (!messages().question(saveQuestion(count))) return;
    startSave(std::move(plan), count, out);
}

void VolumeScanDlg::startSave(SavePlan plan, uint64_t count, const QString& folder) {
    if (saveThread_.joinable()) saveThread_.join();
    if (!work_.start(WorkState::Job::Save)) return;
    preview_->cancelAndWait();
    stopSaving_.store(false);
    parser_->stopRequested.store(false, std::memory_order_relaxed);
    saveProgress_ = std::make_unique<ThrottledProgress>(&bridge_, &job_.gate());
    const bool quick = plan.kind == SavePlan::Kind::Quick;
    if (!quick) saveProgress_->range(static_cast<int64_t>(count));
    list_->listModel()->setTextsAllowed(false);
    backButton()->setEnabled(false);
    status2_->clear();
    detailsButton_->hide();
    if (!quick) {
        showWorkerControls(true);
        rate_->start(0, &job_.gate(), "files");
    }
    const std::string dir = folder.toStdString();
    VolumeParser* p = parser_;
    ThrottledProgress* prog = saveProgress_.get();
    SaveOptions saveOptions;
    saveOptions.unreadable = unreadable_.get();
    saveOptions.includeOverwritten = includeOverwritten_->isChecked();
    saveThread_ = std::thread([this, p, plan = std::move(plan), count, dir, prog, folder, saveOptions]() mutable {
        std::string written;  // quick save: where the file went
        const SaveStats stats = runSave(*p, plan, dir, prog, &stopSaving_, saveOptions, &written);
        prog->flush();
        work_.finish(WorkState::Job::Save);
        QMetaObject::invokeMethod(
            this,
            [this, stats, plan = std::move(plan), count, folder, w = QString::fromStdString(written)]() mutable {
                saveEnded(stats, std::move(plan), count, folder, w);
            },
            Qt::QueuedConnection);
    });
}

void VolumeScanDlg::saveEnded(SaveStats stats, SavePlan plan, uint64_t count, QString folder, QString written) {
    if (saveThread_.joinable()) saveThread_.join();
    job_.resume();
    if (closing_.load()) return;
    list_->listModel()->setTextsAllowed(true);
    backButton()->setEnabled(true);
    showWorkerControls(false);
    // What was written and where, with the files that were not, before any
    // box appears: no "saving File" text is left behind.
    problems_ = stats.problems;
    savedFiles_ += stats.written + stats.partial;
    status2_->setText(QString::fromStdString(saveSummary(stats, folder.toStdString(), volume_.outputNote)));
    detailsButton_->setVisible(!problems_.empty());
    if (plan.kind != SavePlan::Kind::Quick) setProgressPos(static_cast<qint64>(count));
    const SaveEnding end = saveEnding(plan, stats, folder.toStdString(), written.toStdString(),
                                      quickSaveTells(volume_.fileSystem));
    setStatus(QString::fromStdString(end.status));
    if (!end.box.empty()) {
        if (end.warning)
            messages().warning(end.box);
        else
            messages().info(end.box);
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
    d->resize(900, 400);
    auto* lay = new QVBoxLayout(d);
    auto* list = new QTreeWidget(d);
    list->setObjectName("problemList");
    list->setRootIsDecorated(false);
    // Paths elide in the middle: the file name stays readable.
    list->setTextElideMode(Qt::ElideMiddle);
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
    list->setColumnWidth(0, 480);
    lay->addWidget(list, 1);
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Close, d);
    connect(buttons, &QDialogButtonBox::rejected, d, &QDialog::close);
    lay->addWidget(buttons);
    problemsDialog_ = d;
    d->show();
}

}  // namespace brantlow::gui
