#include "controls/CXHtmlTree.h"

#include <QKeyEvent>
#include <QMouseEvent>
#include <QScrollBar>
#include <QStyleOptionViewItem>

namespace brantlow::controls {

// ---- model ----------------------------------------------------------------

CheckTreeModel::CheckTreeModel(QObject* parent) : QAbstractItemModel(parent) {
    tree_.onStateChanged = [this](Item item) { stateChanged(item); };
}

void CheckTreeModel::stateChanged(Item item) {
    if (quiet_) return;
    QModelIndex i = indexOf(item);
    if (i.isValid()) emit dataChanged(i, i, {Qt::CheckStateRole});
}

QModelIndex CheckTreeModel::indexOf(Item item) const {
    if (!tree_.valid(item)) return {};
    return createIndex(tree_.row(item), 0, static_cast<quintptr>(item));
}

Item CheckTreeModel::itemOf(const QModelIndex& index) const {
    if (!index.isValid() || index.model() != this) return kNoItem;
    Item item = static_cast<Item>(index.internalId());
    return tree_.valid(item) ? item : kNoItem;
}

bool CheckTreeModel::isPlaceholder(Item item) const {
    return tree_.valid(item) && !tree_.hasData(item) && tree_.text(item) == kPlaceholderText;
}

Item CheckTreeModel::insertItem(Item parent, const QString& text, int image) {
    NewItem s;
    s.text = text;
    s.image = image;
    return insertItems(parent, {s});
}

Item CheckTreeModel::insertItems(Item parent, const std::vector<NewItem>& newItems) {
    if (newItems.empty() || (parent != kNoItem && !tree_.valid(parent))) return kNoItem;
    int at = static_cast<int>(tree_.children(parent).size());
    beginInsertRows(indexOf(parent), at, at + static_cast<int>(newItems.size()) - 1);
    quiet_ = true;
    Item first = tree_.insertItems(parent, static_cast<int>(newItems.size()));
    for (size_t i = 0; i < newItems.size(); ++i) {
        Item it = first + static_cast<Item>(i);
        const NewItem& s = newItems[i];
        tree_.setText(it, s.text.toStdString());
        tree_.setImage(it, s.image);
        if (s.hasData) tree_.setData(it, s.data);
        tree_.setTextColor(it, s.textColor);
        if (s.placeholder) tree_.insertItem(it, kPlaceholderText, 1);
    }
    quiet_ = false;
    endInsertRows();
    // The parent and its ancestors may have changed state.
    for (Item p = parent; p != kNoItem; p = tree_.parent(p)) stateChanged(p);
    return first;
}

std::vector<Item> CheckTreeModel::replacePlaceholder(Item ph, const std::vector<NewItem>& newItems) {
    std::vector<Item> out;
    if (!isPlaceholder(ph) || newItems.empty()) return out;
    const NewItem& s = newItems.front();
    tree_.setText(ph, s.text.toStdString());
    tree_.setImage(ph, s.image);
    if (s.hasData) tree_.setData(ph, s.data);
    tree_.setTextColor(ph, s.textColor);
    QModelIndex pi = indexOf(ph);
    emit dataChanged(pi, pi);
    if (s.placeholder) {
        beginInsertRows(pi, 0, 0);
        quiet_ = true;
        tree_.insertItem(ph, kPlaceholderText, 1);
        quiet_ = false;
        endInsertRows();
        for (Item p = ph; p != kNoItem; p = tree_.parent(p)) stateChanged(p);
    }
    out.push_back(ph);
    if (newItems.size() > 1) {
        std::vector<NewItem> rest(newItems.begin() + 1, newItems.end());
        Item first = insertItems(tree_.parent(ph), rest);
        for (size_t i = 0; i < rest.size(); ++i) out.push_back(first + static_cast<Item>(i));
    }
    return out;
}

bool CheckTreeModel::deleteItem(Item item) {
    if (!tree_.valid(item)) return false;
    Item parent = tree_.parent(item);
    int r = tree_.row(item);
    beginRemoveRows(indexOf(parent), r, r);
    quiet_ = true;
    tree_.deleteItem(item);
    quiet_ = false;
    endRemoveRows();
    for (Item p = parent; p != kNoItem; p = tree_.parent(p)) stateChanged(p);
    return true;
}

void CheckTreeModel::deleteAll() {
    beginResetModel();
    tree_.deleteAll();
    endResetModel();
}

bool CheckTreeModel::setCheck(Item item, bool checked) { return tree_.setCheck(item, checked); }

uint32_t CheckTreeModel::setTextColor(Item item, uint32_t color) {
    uint32_t old = tree_.setTextColor(item, color);
    QModelIndex i = indexOf(item);
    if (i.isValid()) emit dataChanged(i, i, {Qt::ForegroundRole});
    return old;
}

void CheckTreeModel::setText(Item item, const QString& text) {
    tree_.setText(item, text.toStdString());
    QModelIndex i = indexOf(item);
    if (i.isValid()) emit dataChanged(i, i, {Qt::DisplayRole});
}

QModelIndex CheckTreeModel::index(int row, int column, const QModelIndex& parent) const {
    if (column != 0 || row < 0) return {};
    Item p = parent.isValid() ? itemOf(parent) : kNoItem;
    if (parent.isValid() && p == kNoItem) return {};
    const auto& c = tree_.children(p);
    if (static_cast<size_t>(row) >= c.size()) return {};
    return createIndex(row, 0, static_cast<quintptr>(c[row]));
}

QModelIndex CheckTreeModel::parent(const QModelIndex& child) const {
    Item it = itemOf(child);
    if (it == kNoItem) return {};
    return indexOf(tree_.parent(it));
}

int CheckTreeModel::rowCount(const QModelIndex& parent) const {
    if (parent.column() > 0) return 0;
    Item p = parent.isValid() ? itemOf(parent) : kNoItem;
    if (parent.isValid() && p == kNoItem) return 0;
    return static_cast<int>(tree_.children(p).size());
}

int CheckTreeModel::columnCount(const QModelIndex&) const { return 1; }

bool CheckTreeModel::hasChildren(const QModelIndex& parent) const { return rowCount(parent) > 0; }

QVariant CheckTreeModel::data(const QModelIndex& index, int role) const {
    Item it = itemOf(index);
    if (it == kNoItem) return {};
    switch (role) {
    case Qt::DisplayRole:
        return QString::fromStdString(tree_.text(it));
    case Qt::DecorationRole: {
        int img = tree_.image(it);
        if (icons_ && img >= 0 && img < icons_->size()) return (*icons_)[img];
        return {};
    }
    case Qt::CheckStateRole: {
        if (!tree_.options().checkBoxes) return {};
        int img = tree_.stateImage(it);
        if (img > kDisabledOffset) img -= kDisabledOffset;
        return img == kChecked ? Qt::Checked : img == kTriState ? Qt::PartiallyChecked : Qt::Unchecked;
    }
    case Qt::ForegroundRole: {
        if (!tree_.enabled(it)) return {};
        uint32_t c = tree_.textColor(it);
        if (c == kColorNone) return {};
        return QColor(c & 0xFF, (c >> 8) & 0xFF, (c >> 16) & 0xFF);
    }
    case Qt::BackgroundRole:
    case Qt::ToolTipRole: {
        if (!tint_ || !tree_.hasData(it)) return {};
        QString tip;
        const uint32_t c = tint_(tree_.data(it), tip);
        if (role == Qt::ToolTipRole) return tip.isEmpty() ? QVariant() : QVariant(tip);
        if (c == kColorNone) return {};
        return QColor(c & 0xFF, (c >> 8) & 0xFF, (c >> 16) & 0xFF);
    }
    default:
        return {};
    }
}

bool CheckTreeModel::setData(const QModelIndex& index, const QVariant& value, int role) {
    Item it = itemOf(index);
    if (it == kNoItem || role != Qt::CheckStateRole || tree_.options().readOnly) return false;
    return tree_.setCheck(it, value.toInt() == Qt::Checked);
}

Qt::ItemFlags CheckTreeModel::flags(const QModelIndex& index) const {
    Item it = itemOf(index);
    if (it == kNoItem) return Qt::NoItemFlags;
    Qt::ItemFlags f = Qt::ItemIsSelectable;
    if (tree_.enabled(it)) f |= Qt::ItemIsEnabled;
    if (tree_.options().checkBoxes && !tree_.options().readOnly) f |= Qt::ItemIsUserCheckable;
    return f;
}

bool CheckTreeModel::canFetchMore(const QModelIndex& parent) const {
    Item p = itemOf(parent);
    return p != kNoItem && isPlaceholder(tree_.firstChild(p));
}

void CheckTreeModel::fetchMore(const QModelIndex& parent) {
    Item p = itemOf(parent);
    if (p != kNoItem && isPlaceholder(tree_.firstChild(p))) emit fetchRequested(p);
}

// ---- view -----------------------------------------------------------------

CXHtmlTree::CXHtmlTree(QWidget* parent) : QTreeView(parent), model_(new CheckTreeModel(this)) {
    setModel(model_);
    setHeaderHidden(true);
    setUniformRowHeights(true);
    setSelectionMode(QAbstractItemView::SingleSelection);
    setSelectionBehavior(QAbstractItemView::SelectRows);
    setEditTriggers(QAbstractItemView::NoEditTriggers);
    model_->tree().onCheckClicked = [this](Item item, bool v) { emit checkboxClicked(item, v); };
    model_->tree().onExpanded = [this](Item item, bool v) { emit itemExpanded(item, v); };
    // The view's own expanding and collapsing (mouse, arrows) keeps the
    // model's flags in step.
    connect(this, &QTreeView::expanded, this, [this](const QModelIndex& i) {
        model_->tree().expand(model_->itemOf(i), ExpandAction::Expand);
    });
    connect(this, &QTreeView::collapsed, this, [this](const QModelIndex& i) {
        model_->tree().expand(model_->itemOf(i), ExpandAction::Collapse);
    });
    connect(this, &QAbstractItemView::doubleClicked, this, [this](const QModelIndex& i) {
        Item it = model_->itemOf(i);
        if (it != kNoItem) emit itemDoubleClicked(it);
    });
}

void CXHtmlTree::Initialize() {
    model_->tree().options().checkBoxes = true;
    model_->tree().options().smartCheck = true;
}

Item CXHtmlTree::InsertItem(const QString& text, int image, Item parent) {
    return model_->insertItem(parent, text, image);
}

Item CXHtmlTree::InsertItems(Item parent, const std::vector<NewItem>& newItems) {
    return model_->insertItems(parent, newItems);
}

void CXHtmlTree::Expand(Item item, ExpandAction action) {
    CheckTree& t = model_->tree();
    if (!t.valid(item)) return;
    t.expand(item, action);
    QModelIndex i = model_->indexOf(item);
    if (t.expanded(item))
        expand(i);
    else
        collapse(i);
}

Item CXHtmlTree::GetSelectedItem() const { return model_->itemOf(currentIndex()); }

void CXHtmlTree::SelectItem(Item item) {
    QModelIndex i = model_->indexOf(item);
    if (i.isValid()) setCurrentIndex(i);
}

void CXHtmlTree::ExpandSubtree(Item item) {
    CheckTree& t = model_->tree();
    std::vector<std::pair<Item, int>> stack{{item, 0}};
    while (!stack.empty()) {
        auto [it, depth] = stack.back();
        stack.pop_back();
        if (!t.valid(it) || depth > 512) continue;
        if (t.children(it).empty()) continue;
        Expand(it, ExpandAction::Expand);
        for (Item c : t.children(it)) stack.push_back({c, depth + 1});
    }
    QModelIndex i = model_->indexOf(item);
    if (i.isValid()) scrollTo(i);
    horizontalScrollBar()->setValue(0);
}

bool CXHtmlTree::onCheckIndicator(const QModelIndex& index, const QPoint& pos) {
    QStyleOptionViewItem opt;
    initViewItemOption(&opt);
    opt.rect = visualRect(index);
    opt.features |= QStyleOptionViewItem::HasCheckIndicator;
    QRect r = style()->subElementRect(QStyle::SE_ItemViewItemCheckIndicator, &opt, this);
    return r.contains(pos);
}

void CXHtmlTree::mousePressEvent(QMouseEvent* e) {
    QPoint pos = e->position().toPoint();
    QModelIndex index = indexAt(pos);
    Item it = model_->itemOf(index);
    if (e->button() == Qt::RightButton) {
        if (it != kNoItem) {
            setCurrentIndex(index);
            emit rightClicked(it);
        }
        e->accept();
        return;
    }
    QTreeView::mousePressEvent(e);
    if (e->button() == Qt::LeftButton && it != kNoItem && visualRect(index).contains(pos) &&
        !onCheckIndicator(index, pos))
        emit labelClicked(it);
}

void CXHtmlTree::keyPressEvent(QKeyEvent* e) {
    Item sel = GetSelectedItem();
    CheckTree& t = model_->tree();
    switch (e->key()) {
    case Qt::Key_Space:
        if (sel != kNoItem && t.options().checkBoxes && !t.options().readOnly && t.enabled(sel))
            SetCheck(sel, !GetCheck(sel));
        e->accept();
        return;
    case Qt::Key_Asterisk:
        if (sel != kNoItem) ExpandSubtree(sel);
        e->accept();
        return;
    case Qt::Key_Plus:
        if (sel != kNoItem) Expand(sel, ExpandAction::Expand);
        e->accept();
        return;
    case Qt::Key_Minus:
        if (sel != kNoItem) Expand(sel, ExpandAction::Collapse);
        e->accept();
        return;
    case Qt::Key_Right:
        if (sel != kNoItem && !t.children(sel).empty() && !t.expanded(sel)) {
            Expand(sel, ExpandAction::Expand);
            e->accept();
            return;
        }
        break;
    case Qt::Key_Left:
        if (sel != kNoItem && !t.children(sel).empty() && t.expanded(sel)) {
            Expand(sel, ExpandAction::Collapse);
            e->accept();
            return;
        }
        break;
    default:
        break;
    }
    QTreeView::keyPressEvent(e);
}

}  // namespace brantlow::controls
