// Name search from the scan page: the pattern and the filters, the search
// on a worker, its rows in batches, and its ending.
#include <QLineEdit>
#include <QPushButton>
#include <chrono>

#include "base/texts.h"
#include "scan/gui/VolumeScanDlg.h"

namespace brantlow::gui {

bool VolumeScanDlg::hitOf(int rowData, EntryId& id) const {
    if (rowData > -2) return false;
    const size_t k = static_cast<size_t>(-2 - static_cast<int64_t>(rowData));
    if (k >= searchHits_.size()) return false;
    id = searchHits_[k];
    return true;
}

SearchFilter VolumeScanDlg::searchFilter() const {
    FilterFields fields = filterBox_->fields();
    fields.pattern = patternEdit_->text().toStdString();
    SearchFilter f;
    buildSearchFilter(fields, f);  // the page's fields always read
    f.unreadable = unreadable_.get();
    return f;
}

void VolumeScanDlg::startSearch() {
    if (work_.answer(WorkState::Action::Search) == WorkState::Answer::Wait) {
        messages().info(kWaitText);
        return;
    }
    if (!parser_) return;
    const SearchFilter filter = searchFilter();
    // A pattern the search refuses changes nothing: the list stays.
    if (!searchPatternValid(filter.pattern)) {
        messages().info(kBadPatternText);
        return;
    }
    if (searchThread_.joinable()) searchThread_.join();
    preview_->cancelAndWait();
    preview_->clear();
    // The list shows the hits now, not a folder: nothing stays highlighted
    // (so Save without ticks does not write a folder the list does not show).
    tree_->selectionModel()->clear();
    list_->listModel()->clearRows();
    listShows_ = controls::kNoItem;
    rowOfItem_.clear();
    searchHits_.clear();
    hitFolders_.clear();
    searchTicked_.clear();
    stopSearch_.store(false);
    searchGate_.resume();
    parser_->stopRequested.store(false, std::memory_order_relaxed);
    searchProgress_ = std::make_unique<ThrottledProgress>(&bridge_, &searchGate_);
    if (!work_.start(WorkState::Job::Search)) return;
    showWorkerControls(true);
    rate_->start(0, &searchGate_, "files");
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
        work_.finish(WorkState::Job::Search);
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
        hitFolders_.push_back(h.folders);
        // The hit comes with the tick the tree already has for it.
        r.checked = hitTicked(searchHits_.size() - 1);
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

}  // namespace brantlow::gui
