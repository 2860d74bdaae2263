// LVM2's text metadata: nested sections of `key = value` lines, values
// being integers, quoted strings or bracketed lists of them, `#` starting a
// comment. Everything is bounded: the text's size, the nesting depth, the
// number of values.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "base/decoded.h"

namespace brantlow::lvm {

constexpr size_t kMaxTextBytes = 16u << 20;
constexpr int kMaxDepth = 16;
constexpr size_t kMaxValues = 1u << 20;  // sections, values and list items together

struct Value {
    enum class Kind { Section, Integer, String, List };
    Kind kind = Kind::Section;
    std::string key;
    int64_t integer = 0;
    std::string text;
    std::vector<Value> items;  // a section's values, a list's items

    // A section's value by key (nullptr when absent).
    const Value* find(std::string_view k) const;
    const Value* section(std::string_view k) const;  // only a section
    // An integer value (or `def`).
    int64_t integerAt(std::string_view k, int64_t def) const;
    // A string value ("" when absent or not a string).
    std::string stringAt(std::string_view k) const;
    // Whether a list of strings holds `word` ("VISIBLE" in status).
    bool listHas(std::string_view k, std::string_view word) const;
};

// The whole text as one section (its values are the volume group's
// section and the lines after it). Refused with the line it stopped at.
Decoded<Value> parseText(std::string_view text);

}  // namespace brantlow::lvm
