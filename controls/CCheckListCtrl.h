// The file list of the scan page: a report view whose rows carry check
// boxes, with a check box in the header of the first column that ticks or
// clears every row and follows them (CCheckHeadCtrl). The texts of a row's
// columns are asked for only when the row is shown.
#pragma once

#include <QAbstractTableModel>
#include <QHeaderView>
#include <QIcon>
#include <QTableView>
#include <QVector>
#include <array>
#include <climits>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "controls/check_list.h"

namespace brantlow::controls {

// The columns after the name: the five of every list, then whether a
// deleted file can still be recovered whole.
using RowTexts = std::array<std::string, 6>;

// What a row sorts by in the columns whose text does not sort: the three
// times (seconds; absent ones first) and the size.
struct RowSortKeys {
    int64_t created = INT64_MIN, accessed = INT64_MIN, modified = INT64_MIN;
    uint64_t size = 0;
};

struct NewRow {
    QString name;
    int image = 0;
    int data = -1;  // the tree item the row stands for (-1: none)
    bool nameOnly = false;  // a row that carries only its name
    bool checked = false;   // the row's box starts ticked (as its tree item)
    // Text colour of the whole row, as the tree keeps it (red in the low
    // byte); 0xFFFFFFFF: the list's own colour.
    uint32_t textColor = 0xFFFFFFFFu;
};

class CheckListModel : public QAbstractTableModel {
    Q_OBJECT
public:
    explicit CheckListModel(QObject* parent = nullptr);

    CheckListState& state() { return state_; }
    void clearRows();
    void addRows(const std::vector<NewRow>& rows);
    int rowData(int row) const;
    QString rowName(int row) const;
    bool rowChecked(int row) const { return state_.checked(static_cast<size_t>(row)); }
    // Sets a row's box as the program does (no rowToggled signal).
    void setRowChecked(int row, bool checked);
    // A click on the header of column (headerToggled when it applies).
    bool headerClick(int column);

    // Supplies the texts of a row (by its data) when first shown.
    void setTextProvider(std::function<bool(int data, RowTexts& out)> f) { provider_ = std::move(f); }
    // Supplies the sort keys of a row (by its data); without it, or when
    // it answers false, a row sorts by its texts.
    void setSortKeyProvider(std::function<bool(int data, RowSortKeys& out)> f) { keyProvider_ = std::move(f); }
    // Supplies the tip of a row's name (by its data); empty: the name.
    void setToolTipProvider(std::function<QString(int data)> f) { tipProvider_ = std::move(f); }
    // While false, texts not yet computed stay empty (a worker is running).
    void setTextsAllowed(bool allowed);
    void setIcons(const QVector<QIcon>* icons) { icons_ = icons; }
    // How many rows have had their texts computed.
    int textsComputed() const { return computed_; }

    int rowCount(const QModelIndex& parent = {}) const override;
    int columnCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
    bool setData(const QModelIndex& index, const QVariant& value, int role = Qt::EditRole) override;
    Qt::ItemFlags flags(const QModelIndex& index) const override;
    QVariant headerData(int section, Qt::Orientation o, int role = Qt::DisplayRole) const override;
    // Orders the rows by a column (names without regard to case; times and
    // sizes by value; the other columns by their text), ties in their
    // present order. Rows keep their ticks; rowsSorted follows.
    void sort(int column, Qt::SortOrder order = Qt::AscendingOrder) override;

signals:
    // The operator toggled a row's box (mouse or Space).
    void rowToggled(int row, bool checked);
    // The header box ticked or cleared every row.
    void headerToggled(bool checked);
    void headerStateChanged();
    // The rows were put in another order (sort).
    void rowsSorted();

private:
    struct Row {
        QString name;
        int image = 0;
        int data = -1;
        bool nameOnly = false;
        bool known = false;
        uint32_t textColor = 0xFFFFFFFFu;
        std::array<QString, 6> texts;
    };
    void fillTexts(Row& r) const;

    mutable std::vector<Row> rows_;  // texts filled in when first shown
    CheckListState state_;
    std::function<bool(int, RowTexts&)> provider_;
    std::function<QString(int)> tipProvider_;
    std::function<bool(int, RowSortKeys&)> keyProvider_;
    bool allowed_ = true;
    mutable int computed_ = 0;
    const QVector<QIcon>* icons_ = nullptr;
};

class CCheckListCtrl;

class CCheckHeadCtrl : public QHeaderView {
    Q_OBJECT
public:
    explicit CCheckHeadCtrl(CCheckListCtrl* list);

protected:
    void paintSection(QPainter* painter, const QRect& rect, int logicalIndex) const override;

private:
    CCheckListCtrl* list_;
};

class CCheckListCtrl : public QTableView {
    Q_OBJECT
public:
    explicit CCheckListCtrl(QWidget* parent = nullptr);

    // Replaces the header with the one carrying the box; once.
    void InitHeader();
    // The name column takes the width the others leave (at least two fifths of
    // the view), until the operator sizes it by hand.
    void fitNameColumn();
    CheckListModel* listModel() const { return model_; }
    CCheckHeadCtrl* checkHeader() const { return header_; }
    // Sorts the rows by a column and shows it in the header.
    void sortByColumn(int column, Qt::SortOrder order);
    // Column captions, in order.
    static QStringList columnTitles();

protected:
    void resizeEvent(QResizeEvent* e) override;

private:
    void setColumnWidths();

    CheckListModel* model_;
    CCheckHeadCtrl* header_ = nullptr;
    bool nameSizedByHand_ = false;
    int sortColumn_ = -1;
    Qt::SortOrder sortOrder_ = Qt::AscendingOrder;
    bool fitting_ = false;
};

}  // namespace brantlow::controls
