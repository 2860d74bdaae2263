// The tri-state check-box tree of the result pages: a QTreeView drawing the
// Qt-free CheckTree model. Items are indexes into that model. A folder whose
// children are not yet in the tree carries one placeholder child
// "..DUMY.."; expanding it asks the owner (fetchRequested) to put the real
// children in its place.
#pragma once

#include <QAbstractItemModel>
#include <QIcon>
#include <QTreeView>
#include <QVector>
#include <functional>

#include "controls/check_tree.h"

namespace brantlow::controls {

inline constexpr const char* kPlaceholderText = "..DUMY..";

// One child of a batch insertion.
struct NewItem {
    QString text;
    int image = 0;
    bool hasData = false;
    uint64_t data = 0;
    uint32_t textColor = kColorNone;
    bool placeholder = false;  // give the new item a "..DUMY.." child
};

class CheckTreeModel : public QAbstractItemModel {
    Q_OBJECT
public:
    explicit CheckTreeModel(QObject* parent = nullptr);

    CheckTree& tree() { return tree_; }
    const CheckTree& tree() const { return tree_; }

    QModelIndex indexOf(Item item) const;
    Item itemOf(const QModelIndex& index) const;
    bool isPlaceholder(Item item) const;

    Item insertItem(Item parent, const QString& text, int image);
    // All children in one insertion; returns the first new item.
    Item insertItems(Item parent, const std::vector<NewItem>& newItems);
    // Puts newItems in the place of a placeholder: the placeholder item becomes
    // the first of them (no row is removed, so this is safe while the view
    // lays out an expansion), the others follow it. Returns the items in
    // order; empty when item is not a placeholder or newItems is empty.
    std::vector<Item> replacePlaceholder(Item placeholder, const std::vector<NewItem>& newItems);
    bool deleteItem(Item item);
    void deleteAll();
    bool setCheck(Item item, bool checked);
    uint32_t setTextColor(Item item, uint32_t color);
    void setText(Item item, const QString& text);

    void setIcons(const QVector<QIcon>* icons) { icons_ = icons; }
    // A background tint and a tip for items with data (asked when an item
    // is drawn); tint kColorNone: none.
    void setTintProvider(std::function<uint32_t(uint64_t data, QString& tip)> f) { tint_ = std::move(f); }

    QModelIndex index(int row, int column, const QModelIndex& parent = {}) const override;
    QModelIndex parent(const QModelIndex& child) const override;
    int rowCount(const QModelIndex& parent = {}) const override;
    int columnCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
    bool setData(const QModelIndex& index, const QVariant& value, int role = Qt::EditRole) override;
    Qt::ItemFlags flags(const QModelIndex& index) const override;
    bool hasChildren(const QModelIndex& parent = {}) const override;
    bool canFetchMore(const QModelIndex& parent) const override;
    void fetchMore(const QModelIndex& parent) override;

signals:
    // A folder's placeholder is to be replaced by its children.
    void fetchRequested(int item);

private:
    void stateChanged(Item item);

    CheckTree tree_;
    const QVector<QIcon>* icons_ = nullptr;
    std::function<uint32_t(uint64_t, QString&)> tint_;
    bool quiet_ = false;  // no dataChanged inside an insertion or removal
};

class CXHtmlTree : public QTreeView {
    Q_OBJECT
public:
    explicit CXHtmlTree(QWidget* parent = nullptr);

    // Check boxes on, smart check on.
    void Initialize();
    CheckTreeModel* treeModel() const { return model_; }
    CheckTree& checkTree() { return model_->tree(); }

    Item InsertItem(const QString& text, int image, Item parent = kNoItem);
    Item InsertItems(Item parent, const std::vector<NewItem>& newItems);
    std::vector<Item> ReplacePlaceholder(Item placeholder, const std::vector<NewItem>& newItems) {
        return model_->replacePlaceholder(placeholder, newItems);
    }
    void SetItemData(Item item, uint64_t data) { checkTree().setData(item, data); }
    bool HasItemData(Item item) const { return model_->tree().hasData(item); }
    uint64_t GetItemData(Item item) const { return model_->tree().data(item); }
    void SetItemText(Item item, const QString& text) { model_->setText(item, text); }
    QString GetItemText(Item item) const { return QString::fromStdString(model_->tree().text(item)); }
    int GetItemImage(Item item) const { return model_->tree().image(item); }
    uint32_t SetItemTextColor(Item item, uint32_t color) { return model_->setTextColor(item, color); }
    bool GetCheck(Item item) const { return model_->tree().getCheck(item); }
    void SetCheck(Item item, bool checked) { model_->setCheck(item, checked); }
    void Expand(Item item, ExpandAction action);
    bool DeleteItem(Item item) { return model_->deleteItem(item); }
    void DeleteAllItems() { model_->deleteAll(); }
    int GetCheckedCount() const { return model_->tree().getCheckedCount(); }
    Item GetRootItem() const { return model_->tree().firstChild(kNoItem); }
    Item GetChildItem(Item item) const { return model_->tree().firstChild(item); }
    Item GetNextSiblingItem(Item item) const { return model_->tree().nextSibling(item); }
    Item GetParentItem(Item item) const { return model_->tree().parent(item); }
    Item GetSelectedItem() const;
    void SelectItem(Item item);
    // Expands the item and everything below it (keypad "*").
    void ExpandSubtree(Item item);

    // Item images: image n is icons[n].
    void setIcons(const QVector<QIcon>* icons) { model_->setIcons(icons); }

signals:
    void checkboxClicked(int item, bool checked);
    void itemExpanded(int item, bool expanded);
    // A left press on an item's label (after the item was selected).
    void labelClicked(int item);
    // A right press (the item under the cursor is selected first).
    void rightClicked(int item);
    void itemDoubleClicked(int item);

protected:
    void mousePressEvent(QMouseEvent* e) override;
    void keyPressEvent(QKeyEvent* e) override;

private:
    bool onCheckIndicator(const QModelIndex& index, const QPoint& pos);

    CheckTreeModel* model_;
};

}  // namespace brantlow::controls
