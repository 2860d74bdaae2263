// The check-box logic of the file list (CCheckListCtrl / CCheckHeadCtrl),
// without any window: row check boxes and the header box of the first column
// that ticks or clears every row and follows the rows (ticked exactly when
// no row is clear). The number of ticked rows is kept, so a change costs
// O(1) instead of a scan of every row.
#pragma once

#include <cstddef>
#include <vector>

namespace brantlow::controls {

class CheckListState {
public:
    // Header images: 1 clear, 2 ticked.
    static constexpr int kHeaderClear = 1;
    static constexpr int kHeaderTicked = 2;

    // Once: the header gets its box, shown clear. False when already done.
    bool initHeader();
    bool headerReady() const { return headerReady_; }
    int headerImage() const { return headerImage_; }
    // What the header box shows: ticked only when there are rows and every
    // one is ticked (an empty list shows it clear).
    bool headerShownTicked() const { return headerImage_ == kHeaderTicked && !rows_.empty(); }

    // A click on the header of `column`: only the first column counts. The
    // header image flips and every row follows it. True when applied.
    bool headerClick(int column);

    void clear();
    // Appends count clear rows; returns the first new row.
    size_t addRows(size_t count);
    size_t rowCount() const { return rows_.size(); }
    bool checked(size_t row) const { return row < rows_.size() && rows_[row]; }
    // False for a bad row.
    bool setChecked(size_t row, bool checked);
    size_t tickedCount() const { return ticked_; }
    // Puts the rows in a new order: row i takes what row order[i] was
    // (order is a permutation of the rows).
    void reorder(const std::vector<unsigned>& order);

private:
    void follow();

    std::vector<char> rows_;
    size_t ticked_ = 0;
    bool headerReady_ = false;
    int headerImage_ = kHeaderClear;
};

}  // namespace brantlow::controls
