#include "controls/check_list.h"

namespace brantlow::controls {

bool CheckListState::initHeader() {
    if (headerReady_) return false;
    headerImage_ = kHeaderClear;
    headerReady_ = true;
    return true;
}

void CheckListState::follow() {
    if (!headerReady_) return;
    headerImage_ = ticked_ == rows_.size() ? kHeaderTicked : kHeaderClear;
}

bool CheckListState::headerClick(int column) {
    if (column != 0 || !headerReady_) return false;
    headerImage_ = headerImage_ == kHeaderTicked ? kHeaderClear : kHeaderTicked;
    bool on = headerImage_ == kHeaderTicked;
    for (char& r : rows_) r = on;
    ticked_ = on ? rows_.size() : 0;
    return true;
}

void CheckListState::clear() {
    rows_.clear();
    ticked_ = 0;
    follow();
}

size_t CheckListState::addRows(size_t count) {
    size_t first = rows_.size();
    rows_.resize(first + count, 0);
    follow();
    return first;
}

void CheckListState::reorder(const std::vector<unsigned>& order) {
    if (order.size() != rows_.size()) return;
    std::vector<char> next(rows_.size());
    for (size_t i = 0; i < order.size(); ++i) next[i] = order[i] < rows_.size() ? rows_[order[i]] : 0;
    rows_.swap(next);
}

bool CheckListState::setChecked(size_t row, bool checked) {
    if (row >= rows_.size()) return false;
    if (static_cast<bool>(rows_[row]) != checked) {
        rows_[row] = checked;
        if (checked)
            ++ticked_;
        else
            --ticked_;
    }
    follow();
    return true;
}

}  // namespace brantlow::controls
