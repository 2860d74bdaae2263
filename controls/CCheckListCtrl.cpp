#include "controls/CCheckListCtrl.h"

#include <QColor>
#include <QFontMetrics>
#include <algorithm>
#include <numeric>
#include <QPainter>
#include <QResizeEvent>
#include <QStyleOptionButton>
#include <QStyleOptionHeader>

namespace brantlow::controls {

QStringList CCheckListCtrl::columnTitles() {
    return {"File(s) List", "Creation Time", "Access Time", "Modification Time", "Size", "Attribute", "Recoverability"};
}

// ---- model ----------------------------------------------------------------

CheckListModel::CheckListModel(QObject* parent) : QAbstractTableModel(parent) {}

void CheckListModel::clearRows() {
    beginResetModel();
    rows_.clear();
    state_.clear();
    computed_ = 0;
    endResetModel();
    emit headerStateChanged();
}

void CheckListModel::addRows(const std::vector<NewRow>& rows) {
    if (rows.empty()) return;
    int at = static_cast<int>(rows_.size());
    beginInsertRows({}, at, at + static_cast<int>(rows.size()) - 1);
    // Rows come in batches (a search's hits): grow by doubling, not to the
    // exact size, or every batch moves all the rows before it.
    if (rows_.capacity() < rows_.size() + rows.size())
        rows_.reserve(std::max(rows_.size() + rows.size(), rows_.capacity() * 2));
    for (const NewRow& r : rows) {
        Row row;
        row.name = r.name;
        row.image = r.image;
        row.data = r.data;
        row.nameOnly = r.nameOnly;
        row.known = r.nameOnly;
        row.textColor = r.textColor;
        rows_.push_back(std::move(row));
    }
    size_t first = state_.addRows(rows.size());
    for (size_t i = 0; i < rows.size(); ++i)
        if (rows[i].checked) state_.setChecked(first + i, true);
    endInsertRows();
    emit headerStateChanged();
}

int CheckListModel::rowData(int row) const {
    return row >= 0 && static_cast<size_t>(row) < rows_.size() ? rows_[row].data : -1;
}

QString CheckListModel::rowName(int row) const {
    return row >= 0 && static_cast<size_t>(row) < rows_.size() ? rows_[row].name : QString();
}

void CheckListModel::setRowChecked(int row, bool checked) {
    if (row < 0 || state_.checked(static_cast<size_t>(row)) == checked) return;
    if (!state_.setChecked(static_cast<size_t>(row), checked)) return;
    QModelIndex i = index(row, 0);
    emit dataChanged(i, i, {Qt::CheckStateRole});
    emit headerStateChanged();
}

bool CheckListModel::headerClick(int column) {
    if (!state_.headerClick(column)) return false;
    if (!rows_.empty()) emit dataChanged(index(0, 0), index(static_cast<int>(rows_.size()) - 1, 0), {Qt::CheckStateRole});
    emit headerStateChanged();
    emit headerToggled(state_.headerImage() == CheckListState::kHeaderTicked);
    return true;
}

void CheckListModel::setTextsAllowed(bool allowed) {
    bool was = allowed_;
    allowed_ = allowed;
    if (allowed && !was && !rows_.empty())
        emit dataChanged(index(0, 1), index(static_cast<int>(rows_.size()) - 1, 5), {Qt::DisplayRole});
}

int CheckListModel::rowCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : static_cast<int>(rows_.size());
}

int CheckListModel::columnCount(const QModelIndex& parent) const { return parent.isValid() ? 0 : 7; }

QVariant CheckListModel::data(const QModelIndex& index, int role) const {
    if (!index.isValid() || static_cast<size_t>(index.row()) >= rows_.size()) return {};
    Row& r = rows_[index.row()];
    if (role == Qt::ForegroundRole) {
        if (r.textColor == 0xFFFFFFFFu) return {};
        return QColor(r.textColor & 0xFF, (r.textColor >> 8) & 0xFF, (r.textColor >> 16) & 0xFF);
    }
    if (index.column() == 0) {
        if (role == Qt::ToolTipRole && tipProvider_ && allowed_) {
            QString tip = tipProvider_(r.data);
            if (!tip.isEmpty()) return tip;
        }
        if (role == Qt::DisplayRole || role == Qt::ToolTipRole) return r.name;
        if (role == Qt::CheckStateRole) return state_.checked(index.row()) ? Qt::Checked : Qt::Unchecked;
        if (role == Qt::DecorationRole && icons_ && r.image >= 0 && r.image < icons_->size()) return (*icons_)[r.image];
        return {};
    }
    // The whole text as a tip, for a narrow column.
    if (role != Qt::DisplayRole && role != Qt::ToolTipRole) return {};
    fillTexts(r);
    return r.texts[index.column() - 1];
}

void CheckListModel::fillTexts(Row& r) const {
    if (r.known || !allowed_ || !provider_) return;
    RowTexts t;
    if (provider_(r.data, t))
        for (int c = 0; c < 6; ++c) r.texts[c] = QString::fromStdString(t[c]);
    r.known = true;
    ++computed_;
}

bool CheckListModel::setData(const QModelIndex& index, const QVariant& value, int role) {
    if (!index.isValid() || index.column() != 0 || role != Qt::CheckStateRole) return false;
    bool on = value.toInt() == Qt::Checked;
    if (!state_.setChecked(static_cast<size_t>(index.row()), on)) return false;
    emit dataChanged(index, index, {Qt::CheckStateRole});
    emit headerStateChanged();
    emit rowToggled(index.row(), on);
    return true;
}

Qt::ItemFlags CheckListModel::flags(const QModelIndex& index) const {
    if (!index.isValid()) return Qt::NoItemFlags;
    Qt::ItemFlags f = Qt::ItemIsEnabled | Qt::ItemIsSelectable;
    if (index.column() == 0) f |= Qt::ItemIsUserCheckable;
    return f;
}

void CheckListModel::sort(int column, Qt::SortOrder order) {
    const size_t n = rows_.size();
    if (n < 2 || column < 0 || column >= 7) return;
    // Sorted through an index: the keys are gathered once per row, the
    // rows moved once.
    std::vector<unsigned> by(n);
    std::iota(by.begin(), by.end(), 0u);
    auto ordered = [&](auto less) {
        if (order == Qt::AscendingOrder)
            std::stable_sort(by.begin(), by.end(), [&](unsigned a, unsigned b) { return less(a, b); });
        else
            std::stable_sort(by.begin(), by.end(), [&](unsigned a, unsigned b) { return less(b, a); });
    };
    std::vector<int64_t> keys;
    if (column >= 1 && column <= 4 && keyProvider_ && allowed_) {
        keys.resize(n);
        bool all = true;
        for (size_t i = 0; i < n && all; ++i) {
            RowSortKeys k;
            all = !rows_[i].nameOnly && keyProvider_(rows_[i].data, k);
            keys[i] = column == 1 ? k.created : column == 2 ? k.accessed : column == 3 ? k.modified
                                                                                   : static_cast<int64_t>(std::min<uint64_t>(k.size, INT64_MAX));
        }
        if (!all) keys.clear();
    }
    emit layoutAboutToBeChanged({}, QAbstractItemModel::VerticalSortHint);
    if (column == 0) {
        // Each name folded once, not at every comparison.
        std::vector<QString> folded(n);
        for (size_t i = 0; i < n; ++i) folded[i] = rows_[i].name.toCaseFolded();
        ordered([&](unsigned a, unsigned b) { return folded[a] < folded[b]; });
    } else if (!keys.empty()) {
        ordered([&](unsigned a, unsigned b) { return keys[a] < keys[b]; });
    } else {
        for (Row& r : rows_) fillTexts(r);
        const int t = column - 1;
        ordered([&](unsigned a, unsigned b) { return rows_[a].texts[t] < rows_[b].texts[t]; });
    }
    std::vector<Row> next;
    next.reserve(n);
    std::vector<int> newRowOf(n);
    for (size_t i = 0; i < n; ++i) {
        next.push_back(std::move(rows_[by[i]]));
        newRowOf[by[i]] = static_cast<int>(i);
    }
    rows_.swap(next);
    state_.reorder(by);
    const QModelIndexList from = persistentIndexList();
    QModelIndexList to;
    to.reserve(from.size());
    for (const QModelIndex& i : from)
        to.push_back(i.isValid() && static_cast<size_t>(i.row()) < n ? index(newRowOf[i.row()], i.column()) : QModelIndex());
    changePersistentIndexList(from, to);
    emit layoutChanged({}, QAbstractItemModel::VerticalSortHint);
    emit rowsSorted();
}

QVariant CheckListModel::headerData(int section, Qt::Orientation o, int role) const {
    if (o != Qt::Horizontal || role != Qt::DisplayRole) return {};
    QStringList t = CCheckListCtrl::columnTitles();
    return section >= 0 && section < t.size() ? t[section] : QVariant();
}

// ---- header ---------------------------------------------------------------

CCheckHeadCtrl::CCheckHeadCtrl(CCheckListCtrl* list) : QHeaderView(Qt::Horizontal, list), list_(list) {
    setSectionsClickable(true);
    setHighlightSections(false);
    setDefaultAlignment(Qt::AlignLeft | Qt::AlignVCenter);
}

void CCheckHeadCtrl::paintSection(QPainter* painter, const QRect& rect, int logicalIndex) const {
    const CheckListState& st = list_->listModel()->state();
    if (logicalIndex != 0 || !st.headerReady()) {
        QHeaderView::paintSection(painter, rect, logicalIndex);
        return;
    }
    painter->save();
    QStyleOptionHeader opt;
    initStyleOption(&opt);
    opt.rect = rect;
    opt.section = 0;
    opt.text = model()->headerData(0, Qt::Horizontal).toString();
    opt.textAlignment = Qt::AlignLeft | Qt::AlignVCenter;
    style()->drawControl(QStyle::CE_HeaderSection, &opt, painter, this);
    QStyleOptionButton box;
    int side = style()->pixelMetric(QStyle::PM_IndicatorWidth, nullptr, this);
    box.rect = QRect(rect.left() + 4, rect.top() + (rect.height() - side) / 2, side, side);
    box.state = QStyle::State_Enabled | (st.headerShownTicked() ? QStyle::State_On : QStyle::State_Off);
    style()->drawPrimitive(QStyle::PE_IndicatorCheckBox, &box, painter, this);
    opt.rect = rect.adjusted(side + 8, 0, 0, 0);
    style()->drawControl(QStyle::CE_HeaderLabel, &opt, painter, this);
    painter->restore();
}

// ---- view -----------------------------------------------------------------

CCheckListCtrl::CCheckListCtrl(QWidget* parent) : QTableView(parent), model_(new CheckListModel(this)) {
    setModel(model_);
    setShowGrid(true);
    setSelectionBehavior(QAbstractItemView::SelectRows);
    setSelectionMode(QAbstractItemView::SingleSelection);
    setEditTriggers(QAbstractItemView::NoEditTriggers);
    setWordWrap(false);
    verticalHeader()->setVisible(false);
    verticalHeader()->setSectionResizeMode(QHeaderView::Fixed);
    verticalHeader()->setDefaultSectionSize(fontMetrics().height() + 6);
    // Long names elide in the middle: their start and extension stay.
    setTextElideMode(Qt::ElideMiddle);
    setColumnWidths();
}

void CCheckListCtrl::setColumnWidths() {
    // Each column as wide as its usual text or its title, whichever is wider.
    const QFontMetrics fm = fontMetrics();
    const QStringList titles = columnTitles();
    const char* samples[7] = {"", "00/00/0000  00:00 AM", "00/00/0000  00:00 AM", "00/00/0000  00:00 AM",
                              "1023.99 MB", "-R-H-S-A", "partly overwritten (25%)"};
    setColumnWidth(0, 80 * qMax(1, fm.averageCharWidth()) / 4);
    for (int c = 1; c < 7; ++c)
        setColumnWidth(c, std::max(fm.horizontalAdvance(samples[c]), fm.horizontalAdvance(titles[c]) + 24) + 14);
}

void CCheckListCtrl::fitNameColumn() {
    if (nameSizedByHand_ || !horizontalHeader()) return;
    const int view = viewport()->width();
    int others = 0;
    for (int c = 1; c < model_->columnCount(); ++c) others += columnWidth(c);
    fitting_ = true;
    setColumnWidth(0, std::max({view * 2 / 5, view - others, 60}));
    fitting_ = false;
}

void CCheckListCtrl::resizeEvent(QResizeEvent* e) {
    QTableView::resizeEvent(e);
    fitNameColumn();
}

void CCheckListCtrl::sortByColumn(int column, Qt::SortOrder order) {
    sortColumn_ = column;
    sortOrder_ = order;
    if (header_) {
        header_->setSortIndicatorShown(true);
        header_->setSortIndicator(column, order);
    }
    model_->sort(column, order);
}

void CCheckListCtrl::InitHeader() {
    if (!model_->state().initHeader()) return;
    header_ = new CCheckHeadCtrl(this);
    setHorizontalHeader(header_);
    setColumnWidths();
    // Every column can be resized; the name takes the width the other
    // columns leave, and gives way when one of them is widened.
    header_->setStretchLastSection(false);
    header_->setSectionResizeMode(QHeaderView::Interactive);
    connect(header_, &QHeaderView::sectionResized, this, [this](int section, int, int) {
        if (fitting_) return;
        if (section == 0 && header_->underMouse())
            nameSizedByHand_ = true;
        else if (section != 0)
            QMetaObject::invokeMethod(this, [this] { fitNameColumn(); }, Qt::QueuedConnection);
    });
    fitNameColumn();
    // The first column's header is the box; a click on another one sorts
    // the rows by it (again: the other way round).
    connect(header_, &QHeaderView::sectionClicked, model_, [this](int section) {
        if (model_->headerClick(section) || section <= 0) return;
        const Qt::SortOrder order =
            sortColumn_ == section && sortOrder_ == Qt::AscendingOrder ? Qt::DescendingOrder : Qt::AscendingOrder;
        sortByColumn(section, order);
    });
    connect(model_, &QAbstractItemModel::modelReset, header_, [this] {
        sortColumn_ = -1;
        header_->setSortIndicatorShown(false);
    });
    connect(model_, &CheckListModel::headerStateChanged, header_, [this] { header_->viewport()->update(); });
}

}  // namespace brantlow::controls
