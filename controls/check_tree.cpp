#include "controls/check_tree.h"

#include <algorithm>

namespace brantlow::controls {

namespace {
const std::vector<Item> kEmpty;
const std::string kEmptyText;
}  // namespace

CheckTree::CheckTree() = default;

CheckTree::Node* CheckTree::node(Item item) {
    if (item < 0 || static_cast<size_t>(item) >= nodes_.size() || !nodes_[item].alive) return nullptr;
    return &nodes_[item];
}

const CheckTree::Node* CheckTree::node(Item item) const {
    if (item < 0 || static_cast<size_t>(item) >= nodes_.size() || !nodes_[item].alive) return nullptr;
    return &nodes_[item];
}

bool CheckTree::valid(Item item) const { return node(item) != nullptr; }

void CheckTree::changed(Item item) {
    if (onStateChanged) onStateChanged(item);
}

Item CheckTree::allocate() {
    // Indexes are never reused, so a stale index can never name a newer item.
    nodes_.emplace_back();
    nodes_.back().alive = true;
    ++live_;
    return static_cast<Item>(nodes_.size() - 1);
}

// Walks the ancestors of item: each gets descDelta more items below it and
// delta more ticked ones; an ancestor whose own flag flips passes that on
// (its parent counts it as one more, or one fewer, ticked item).
void CheckTree::updateAncestors(Item item, int descDelta, int delta) {
    const Node* start = node(item);
    Item p = start ? start->parent : kNoItem;
    int guard = 0;
    while (Node* n = node(p)) {
        if (++guard > static_cast<int>(nodes_.size())) break;
        n->descendants = std::max(0, n->descendants + descDelta);
        if (options_.smartCheck) {
            n->checkedDescendants = std::clamp(n->checkedDescendants + delta, 0, n->descendants);
            bool old = n->checked;
            if (n->descendants > 0 || delta != 0) n->checked = n->checkedDescendants == n->descendants;
            if (n->checked != old) delta += n->checked ? 1 : -1;
        }
        changed(p);
        p = n->parent;
    }
}

Item CheckTree::insertItem(Item parent, const std::string& text, int image) {
    Item first = insertItems(parent, 1);
    if (Node* n = node(first)) {
        n->text = text;
        n->image = image;
    }
    return first;
}

Item CheckTree::insertItems(Item parent, int count) {
    if (count <= 0) return kNoItem;
    if (parent != kNoItem && !valid(parent)) return kNoItem;
    Item first = kNoItem;
    for (int i = 0; i < count; ++i) {
        Item it = allocate();
        if (first == kNoItem) first = it;
        std::vector<Item>& siblings = parent == kNoItem ? top_ : nodes_[parent].children;
        nodes_[it].parent = parent;
        nodes_[it].row = static_cast<int>(siblings.size());
        siblings.push_back(it);
    }
    if (parent != kNoItem) {
        // The new items count below every ancestor; a ticked folder that gets
        // an unticked item becomes mixed. The parent itself first:
        Node& p = nodes_[parent];
        p.descendants += count;
        int delta = 0;
        if (options_.smartCheck) {
            bool old = p.checked;
            p.checked = p.checkedDescendants == p.descendants;
            if (p.checked != old) delta = p.checked ? 1 : -1;
        }
        changed(parent);
        updateAncestors(parent, count, delta);
    }
    return first;
}

void CheckTree::removeLeaf(Item item) {
    Node* n = node(item);
    if (!n) return;
    int delta = n->checked ? -1 : 0;
    updateAncestors(item, -1, delta);
    std::vector<Item>& siblings = n->parent == kNoItem ? top_ : nodes_[n->parent].children;
    int r = n->row;
    if (r >= 0 && static_cast<size_t>(r) < siblings.size() && siblings[r] == item) {
        siblings.erase(siblings.begin() + r);
        for (size_t i = r; i < siblings.size(); ++i) nodes_[siblings[i]].row = static_cast<int>(i);
    }
    n->alive = false;
    n->children.clear();
    n->children.shrink_to_fit();
    n->text.clear();
    n->text.shrink_to_fit();
    --live_;
}

bool CheckTree::deleteItem(Item item) {
    if (!valid(item)) return false;
    // Post-order without recursion; children from the last one, so no
    // sibling has to be renumbered.
    std::vector<std::pair<Item, bool>> stack{{item, false}};
    while (!stack.empty()) {
        auto [it, expanded] = stack.back();
        stack.pop_back();
        Node* n = node(it);
        if (!n) continue;
        if (!expanded && !n->children.empty()) {
            stack.push_back({it, true});
            for (Item c : n->children) stack.push_back({c, false});
            continue;
        }
        removeLeaf(it);
    }
    return true;
}

void CheckTree::deleteAll() {
    clearing_ = true;
    nodes_.clear();
    top_.clear();
    live_ = 0;
    clearing_ = false;
}

Item CheckTree::parent(Item item) const {
    const Node* n = node(item);
    return n ? n->parent : kNoItem;
}

const std::vector<Item>& CheckTree::children(Item item) const {
    if (item == kNoItem) return top_;
    const Node* n = node(item);
    return n ? n->children : kEmpty;
}

Item CheckTree::firstChild(Item item) const {
    const auto& c = children(item);
    return c.empty() ? kNoItem : c.front();
}

Item CheckTree::nextSibling(Item item) const {
    const Node* n = node(item);
    if (!n) return kNoItem;
    const auto& s = children(n->parent);
    size_t next = static_cast<size_t>(n->row) + 1;
    return next < s.size() ? s[next] : kNoItem;
}

int CheckTree::row(Item item) const {
    const Node* n = node(item);
    return n ? n->row : -1;
}

int CheckTree::depth(Item item) const {
    int d = 0;
    for (Item p = parent(item); p != kNoItem && d <= static_cast<int>(nodes_.size()); p = parent(p)) ++d;
    return d;
}

void CheckTree::setData(Item item, uint64_t data) {
    if (Node* n = node(item)) {
        n->data = data;
        n->hasData = true;
    }
}

void CheckTree::clearData(Item item) {
    if (Node* n = node(item)) {
        n->data = 0;
        n->hasData = false;
    }
}

bool CheckTree::hasData(Item item) const {
    const Node* n = node(item);
    return n && n->hasData;
}

uint64_t CheckTree::data(Item item) const {
    const Node* n = node(item);
    return n ? n->data : 0;
}

void CheckTree::setText(Item item, const std::string& text) {
    if (Node* n = node(item)) n->text = text;
}

const std::string& CheckTree::text(Item item) const {
    const Node* n = node(item);
    return n ? n->text : kEmptyText;
}

void CheckTree::setImage(Item item, int image) {
    if (Node* n = node(item)) n->image = image;
}

int CheckTree::image(Item item) const {
    const Node* n = node(item);
    return n ? n->image : 0;
}

uint32_t CheckTree::setTextColor(Item item, uint32_t color) {
    Node* n = node(item);
    if (!n || clearing_) return 0;
    uint32_t old = n->textColor;
    n->textColor = color;
    return old;
}

uint32_t CheckTree::textColor(Item item) const {
    const Node* n = node(item);
    return n ? n->textColor : kColorNone;
}

bool CheckTree::getCheck(Item item) const {
    const Node* n = node(item);
    if (!n) return false;
    if (!options_.smartCheck || n->descendants == 0) return n->checked;
    return n->checkedDescendants == n->descendants && n->checkedDescendants != 0;
}

int CheckTree::stateImage(Item item) const {
    const Node* n = node(item);
    if (!n) return kImageNone;
    int img;
    if (options_.smartCheck && n->descendants > 0)
        img = n->checkedDescendants == 0 ? kUnchecked : n->checkedDescendants == n->descendants ? kChecked : kTriState;
    else
        img = n->checked ? kChecked : kUnchecked;
    return n->enabled ? img : img + kDisabledOffset;
}

int CheckTree::descendants(Item item) const {
    const Node* n = node(item);
    return n ? n->descendants : 0;
}

int CheckTree::checkedDescendants(Item item) const {
    const Node* n = node(item);
    return n ? n->checkedDescendants : 0;
}

void CheckTree::setSubtree(Item item, bool checked) {
    std::vector<Item> stack;
    for (auto it = nodes_[item].children.rbegin(); it != nodes_[item].children.rend(); ++it) stack.push_back(*it);
    while (!stack.empty()) {
        Item c = stack.back();
        stack.pop_back();
        Node* n = node(c);
        if (!n) continue;
        n->checked = checked;
        n->checkedDescendants = checked ? n->descendants : 0;
        changed(c);
        for (auto it = n->children.rbegin(); it != n->children.rend(); ++it) stack.push_back(*it);
    }
}

bool CheckTree::setCheck(Item item, bool checked) {
    Node* n = node(item);
    if (!n || !options_.checkBoxes || clearing_ || !n->enabled) return false;
    bool old = n->checked;
    n->checked = checked;
    if (options_.smartCheck && old != checked) {
        int delta = checked ? n->descendants - n->checkedDescendants + 1 : -(n->checkedDescendants + 1);
        n->checkedDescendants = checked ? n->descendants : 0;
        setSubtree(item, checked);
        changed(item);
        updateAncestors(item, 0, delta);
    } else {
        changed(item);
    }
    if (onCheckClicked) onCheckClicked(item, checked);
    return true;
}

int CheckTree::getCheckedCount() const {
    int count = 0;
    std::vector<Item> stack(top_.rbegin(), top_.rend());
    while (!stack.empty()) {
        Item it = stack.back();
        stack.pop_back();
        if (getCheck(it)) ++count;
        const Node* n = node(it);
        if (!n) continue;
        for (auto c = n->children.rbegin(); c != n->children.rend(); ++c) stack.push_back(*c);
    }
    return count;
}

void CheckTree::setEnabled(Item item, bool enabled) {
    if (Node* n = node(item)) {
        n->enabled = enabled;
        changed(item);
    }
}

bool CheckTree::enabled(Item item) const {
    const Node* n = node(item);
    return n && n->enabled;
}

bool CheckTree::expand(Item item, ExpandAction action) {
    Node* n = node(item);
    if (!n) return false;
    bool old = n->expanded;
    switch (action) {
    case ExpandAction::Expand: n->expanded = true; break;
    case ExpandAction::Collapse:
    case ExpandAction::CollapseReset: n->expanded = false; break;
    case ExpandAction::Toggle: n->expanded = !n->expanded; break;
    }
    if (n->expanded) n->expandedOnce = true;
    if (n->expanded != old) {
        if (onExpanded) onExpanded(item, n->expanded);
        return true;
    }
    return false;
}

bool CheckTree::expanded(Item item) const {
    const Node* n = node(item);
    return n && n->expanded;
}

bool CheckTree::expandedOnce(Item item) const {
    const Node* n = node(item);
    return n && n->expandedOnce;
}

}  // namespace brantlow::controls
