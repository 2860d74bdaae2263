// The check-state model of the tri-state tree (CXHtmlTree), without any
// window: items with a check flag, the number of items below each one and
// how many of those are ticked, so that ticking a folder ticks everything
// inside it and a partly ticked folder shows the mixed state. Items are
// referred to by index; every call checks the index first.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace brantlow::controls {

using Item = int;
// The invisible parent of the top-level items (TVI_ROOT).
constexpr Item kNoItem = -1;

// "No colour": the tree's own text colour is used.
constexpr uint32_t kColorNone = 0xFFFFFFFFu;
// Colour values keep red in the low byte, then green, then blue.
constexpr uint32_t kColorRed = 0x000000FFu;

// State images as the tree shows them.
enum StateImage : int {
    kImageNone = 0,
    kUnchecked = 1,
    kChecked = 2,
    kTriState = 3,
    kDisabledOffset = 4,  // added for a disabled item
};

enum class ExpandAction { Expand, Collapse, Toggle, CollapseReset };

class CheckTree {
public:
    struct Options {
        bool checkBoxes = true;
        bool smartCheck = true;
        bool readOnly = false;
    };

    CheckTree();

    Options& options() { return options_; }
    const Options& options() const { return options_; }

    // Inserts an unticked item as the last child of parent (kNoItem: top
    // level). Returns the new item, or kNoItem when parent is not an item.
    Item insertItem(Item parent, const std::string& text = {}, int image = 0);
    // Inserts count unticked children at once (one ancestor update).
    // Returns the first new item; the others follow in order.
    Item insertItems(Item parent, int count);
    // Deletes an item and everything below it. False for a bad index.
    bool deleteItem(Item item);
    // Deletes every item.
    void deleteAll();

    bool valid(Item item) const;
    Item parent(Item item) const;
    const std::vector<Item>& children(Item item) const;  // kNoItem: top level
    Item firstChild(Item item) const;
    Item nextSibling(Item item) const;
    int row(Item item) const;  // position under its parent, -1 when invalid
    int depth(Item item) const;
    size_t size() const { return live_; }

    // Item data (the page's value) and text.
    void setData(Item item, uint64_t data);
    void clearData(Item item);
    bool hasData(Item item) const;
    uint64_t data(Item item) const;
    void setText(Item item, const std::string& text);
    const std::string& text(Item item) const;
    void setImage(Item item, int image);
    int image(Item item) const;

    // Returns the previous colour; 0 (and no change) for a bad item.
    uint32_t setTextColor(Item item, uint32_t color);
    uint32_t textColor(Item item) const;

    bool getCheck(Item item) const;
    // Ignored when check boxes are off, for a disabled or bad item.
    // Returns true when the call was applied.
    bool setCheck(Item item, bool checked);
    int stateImage(Item item) const;
    int descendants(Item item) const;
    int checkedDescendants(Item item) const;
    // Checked items in the whole tree, in tree order.
    int getCheckedCount() const;

    void setEnabled(Item item, bool enabled);
    bool enabled(Item item) const;

    // Returns true when the expanded flag changed.
    bool expand(Item item, ExpandAction action);
    bool expanded(Item item) const;
    bool expandedOnce(Item item) const;

    // Called for every item whose state image may have changed.
    std::function<void(Item)> onStateChanged;
    // After every applied setCheck (the "checkbox clicked" notification).
    std::function<void(Item, bool)> onCheckClicked;
    // When an expanded flag changes.
    std::function<void(Item, bool)> onExpanded;

private:
    struct Node {
        Item parent = kNoItem;
        int row = 0;
        std::vector<Item> children;
        std::string text;
        int image = 0;
        uint64_t data = 0;
        bool hasData = false;
        bool alive = false;
        bool checked = false;
        bool enabled = true;
        bool expanded = false;
        bool expandedOnce = false;
        int descendants = 0;
        int checkedDescendants = 0;
        uint32_t textColor = kColorNone;
    };

    Node* node(Item item);
    const Node* node(Item item) const;
    Item allocate();
    void changed(Item item);
    void setSubtree(Item item, bool checked);
    void removeLeaf(Item item);
    void updateAncestors(Item item, int descDelta, int delta);

    Options options_;
    std::vector<Node> nodes_;
    std::vector<Item> top_;
    size_t live_ = 0;
    bool clearing_ = false;
};

}  // namespace brantlow::controls
