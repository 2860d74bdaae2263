// The scan page's result tree and file list: folders filled once from the
// parser, ticks kept in agreement between tree and list, the tint of a
// deleted file by what is left of it, and the preview of the highlighted
// file.
#include <QFileIconProvider>
#include <QFileInfo>
#include <QMimeDatabase>
#include <unordered_set>

#include "base/texts.h"
#include "scan/gui/VolumeScanDlg.h"
#include "scan/tree_walk.h"

namespace brantlow::gui {

using controls::Item;
using controls::kNoItem;

bool VolumeScanDlg::entryOf(Item item, EntryId& id) const {
    if (!tree_->checkTree().valid(item) || !tree_->HasItemData(item)) return false;
    id = tree_->GetItemData(item);
    return true;
}

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
    // The entries on the path to P (any depth): a child that is one of them
    // is a cycle.
    std::unordered_set<EntryId> onPath{id};
    for (Item a = t.parent(p); a != kNoItem; a = t.parent(a))
        if (t.hasData(a)) onPath.insert(t.data(a));
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
    listShows_ = nameOnly ? kNoItem : folder;
    // The rows of a search (and their ticks) give way to the folder's.
    searchHits_.clear();
    hitFolders_.clear();
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
    listShows_ = file;
    searchHits_.clear();
    hitFolders_.clear();
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
    // Rows of a search follow the tree once its changes are done.
    if (!searchHits_.empty() && !hitRefreshQueued_) {
        hitRefreshQueued_ = true;
        QMetaObject::invokeMethod(this, [this] { refreshHitTicks(); }, Qt::QueuedConnection);
    }
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
    for (int r = 0; r < m->rowCount(); ++r) tickRow(m->rowData(r), checked);
}

void VolumeScanDlg::tickRow(int rowData, bool checked) {
    EntryId hit;
    if (hitOf(rowData, hit)) {
        // A hit's tick is its tree item's (the folders on its path are
        // opened for it); only a hit the tree cannot place keeps its own.
        const size_t k = static_cast<size_t>(-2 - static_cast<int64_t>(rowData));
        const Item it = itemOfHit(k, true);
        if (it != kNoItem) {
            tree_->SetCheck(it, checked);
        } else if (checked) {
            searchTicked_.insert(hit);
        } else {
            searchTicked_.erase(hit);
        }
    } else if (rowData >= 0 && tree_->checkTree().valid(rowData)) {
        tree_->SetCheck(rowData, checked);
    }
}

Item VolumeScanDlg::itemOfHit(size_t k, bool open, Item* unopened) {
    if (unopened) *unopened = kNoItem;
    if (k >= searchHits_.size() || k >= hitFolders_.size() || root_ == kNoItem) return kNoItem;
    const controls::CheckTree& t = tree_->checkTree();
    std::vector<EntryId> chain = hitFolders_[k];
    chain.push_back(searchHits_[k]);
    Item at = root_;
    for (EntryId want : chain) {
        if (tree_->treeModel()->isPlaceholder(t.firstChild(at))) {
            if (!open) {
                if (unopened) *unopened = at;
                return kNoItem;
            }
            fillChildren(at, true);
        }
        if (t.firstChild(at) == kNoItem) return kNoItem;
        auto [index, made] = childrenByEntry_.try_emplace(at);
        if (made)
            for (Item c : t.children(at))
                if (t.hasData(c)) index->second.emplace(t.data(c), c);
        auto next = index->second.find(want);
        if (next == index->second.end()) return kNoItem;
        at = next->second;
    }
    return at;
}

bool VolumeScanDlg::hitTicked(size_t k) {
    Item unopened = kNoItem;
    const Item it = itemOfHit(k, false, &unopened);
    if (it != kNoItem) return tree_->GetCheck(it);
    if (unopened != kNoItem) return tree_->GetCheck(unopened);
    return k < searchHits_.size() && searchTicked_.count(searchHits_[k]);
}

void VolumeScanDlg::refreshHitTicks() {
    hitRefreshQueued_ = false;
    controls::CheckListModel* m = list_->listModel();
    for (int r = 0; r < m->rowCount(); ++r) {
        EntryId id;
        if (!hitOf(m->rowData(r), id)) continue;
        m->setRowChecked(r, hitTicked(static_cast<size_t>(-2 - static_cast<int64_t>(m->rowData(r)))));
    }
}

void VolumeScanDlg::labelClicked(Item item) { showItem(item); }

void VolumeScanDlg::showItem(Item item) {
    // Nothing is read while a worker runs.
    if (work_.answer(WorkState::Action::ReadEntries) != WorkState::Answer::Go || !parser_) return;
    controls::CheckTree& t = tree_->checkTree();
    // Shown already (a click right after the highlight moved there).
    if (!t.valid(item) || item == listShows_) return;
    // The list always shows what is highlighted: ROOT and every folder,
    // expanded or not, list their files; a file lists itself.
    if (item == root_) {
        fillListWithFiles(root_, false);
        return;
    }
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
    if (work_.answer(WorkState::Action::ReadEntries) != WorkState::Answer::Go) return;
    fillChildren(item, false);
}

void VolumeScanDlg::itemDoubleClicked(Item item) {
    if (!parser_) return;
    if (work_.busy()) {
        // The parser is not asked anything while a worker runs; a file's
        // quick save waits.
        const bool file = tree_->checkTree().valid(item) && tree_->HasItemData(item) &&
                          tree_->GetItemImage(item) != folderImage();
        if (file && work_.answer(WorkState::Action::Save) == WorkState::Answer::Wait) messages().info(kWaitText);
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
    SavePlan plan = planQuickSave(*parser_, id);
    if (plan.kind != SavePlan::Kind::Quick) return;
    const QString out = outputFolderOrAsk(false);
    if (out.isEmpty()) return;
    startSave(std::move(plan), 1, out);
}

void VolumeScanDlg::listRowToggled(int row, bool checked) { tickRow(list_->listModel()->rowData(row), checked); }

// ---- Recoverability and preview --------------------------------------------

uint32_t VolumeScanDlg::tintOf(EntryId id, QString& tip) {
    // Nothing is read while a worker runs; asked again when drawn later.
    if (!parser_ || work_.answer(WorkState::Action::ReadEntries) != WorkState::Answer::Go) return controls::kColorNone;
    auto it = estimates_.find(id);
    if (it == estimates_.end()) {
        EntryInfo info;
        parser_->entryInfo(id, info);
        it = estimates_.emplace(id, fileEstimate(*parser_, id, info, unreadable_.get())).first;
    }
    tip = QString::fromStdString(recoverabilityText(it->second));
    switch (it->second.state) {
        case Recoverability::Intact: return 0xD8F0D8u;       // light green
        case Recoverability::Partial: return 0xB0E0FFu;      // light orange
        case Recoverability::Overwritten: return 0xE0E0E0u;  // light grey
        case Recoverability::Unreadable: return 0xD0C0FFu;   // light red: on sectors the image's map lacks
        case Recoverability::Uncertain: return 0xC0F0F8u;    // light yellow: the contiguous rule is a guess here
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
    if (!parser_ || work_.answer(WorkState::Action::ReadEntries) != WorkState::Answer::Go || closing_.load() ||
        !parser_->entryInfo(id, info) ||
        info.kind == EntryKind::Folder) {
        preview_->clear();
        return;
    }
    VolumeParser* p = parser_;
    preview_->showFile(QString::fromStdString(info.name), [p, id](ContentSink& sink) { p->writeContent(id, sink); },
                       QString::fromStdString(lostLetterNote(info)));
}

}  // namespace brantlow::gui
