#include "layers/lvm/lvm_text.h"

namespace brantlow::lvm {

namespace {

class Parser {
public:
    explicit Parser(std::string_view t) : t_(t) {}

    Decoded<Value> run() {
        Value root;
        if (t_.size() > kMaxTextBytes) return Decoded<Value>::refused("metadata text larger than 16 MiB");
        if (!body(root, 0, true)) return Decoded<Value>::refused(error_ + " (line " + std::to_string(line_) + ")");
        return Decoded<Value>::ok(std::move(root));
    }

private:
    static bool nameChar(char c) {
        return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' || c == '.' ||
               c == '+' || c == '-';
    }

    void skip() {
        while (at_ < t_.size()) {
            const char c = t_[at_];
            if (c == '\n') {
                ++line_;
                ++at_;
            } else if (c == ' ' || c == '\t' || c == '\r') {
                ++at_;
            } else if (c == '#') {
                while (at_ < t_.size() && t_[at_] != '\n') ++at_;
            } else {
                break;
            }
        }
    }

    bool fail(const std::string& why) {
        if (error_.empty()) error_ = why;
        return false;
    }

    bool count() { return ++values_ <= kMaxValues || fail("more than a million values"); }

    // The values of a section up to its closing brace (or the text's end
    // at the top).
    bool body(Value& section, int depth, bool top) {
        for (;;) {
            skip();
            if (at_ >= t_.size() || t_[at_] == '\0') return top || fail("a section is not closed");
            if (t_[at_] == '}') {
                if (top) return fail("a closing brace without a section");
                ++at_;
                return true;
            }
            const size_t start = at_;
            while (at_ < t_.size() && nameChar(t_[at_])) ++at_;
            if (at_ == start) return fail("a name was expected");
            Value v;
            v.key = std::string(t_.substr(start, at_ - start));
            skip();
            if (at_ < t_.size() && t_[at_] == '{') {
                ++at_;
                if (depth + 1 >= kMaxDepth) return fail("sections nested deeper than 16");
                if (!count() || !body(v, depth + 1, false)) return false;
                v.kind = Value::Kind::Section;
            } else if (at_ < t_.size() && t_[at_] == '=') {
                ++at_;
                skip();
                if (!value(v)) return false;
            } else {
                return fail("\"=\" or \"{\" was expected after " + v.key);
            }
            section.items.push_back(std::move(v));
        }
    }

    bool scalar(Value& v) {
        if (!count()) return false;
        if (at_ >= t_.size()) return fail("a value was expected");
        if (t_[at_] == '"') {
            ++at_;
            v.kind = Value::Kind::String;
            while (at_ < t_.size() && t_[at_] != '"') {
                if (t_[at_] == '\\' && at_ + 1 < t_.size()) ++at_;
                if (t_[at_] == '\n') ++line_;
                v.text += t_[at_++];
            }
            if (at_ >= t_.size()) return fail("a string is not closed");
            ++at_;
            return true;
        }
        const size_t start = at_;
        if (t_[at_] == '-') ++at_;
        uint64_t n = 0;
        bool digits = false;
        while (at_ < t_.size() && t_[at_] >= '0' && t_[at_] <= '9') {
            if (n > (INT64_MAX - 9) / 10) return fail("a number out of range");
            n = n * 10 + static_cast<uint64_t>(t_[at_++] - '0');
            digits = true;
        }
        // A fraction (seldom written) is read as its whole part.
        if (digits && at_ < t_.size() && t_[at_] == '.')
            for (++at_; at_ < t_.size() && t_[at_] >= '0' && t_[at_] <= '9';) ++at_;
        if (!digits) return fail("a value was expected");
        v.kind = Value::Kind::Integer;
        v.integer = t_[start] == '-' ? -static_cast<int64_t>(n) : static_cast<int64_t>(n);
        return true;
    }

    bool value(Value& v) {
        if (at_ < t_.size() && t_[at_] == '[') {
            ++at_;
            v.kind = Value::Kind::List;
            if (!count()) return false;
            for (;;) {
                skip();
                if (at_ >= t_.size()) return fail("a list is not closed");
                if (t_[at_] == ']') {
                    ++at_;
                    return true;
                }
                Value item;
                if (!scalar(item)) return false;
                v.items.push_back(std::move(item));
                skip();
                if (at_ < t_.size() && t_[at_] == ',') ++at_;
            }
        }
        return scalar(v);
    }

    std::string_view t_;
    size_t at_ = 0;
    size_t line_ = 1;
    size_t values_ = 0;
    std::string error_;
};

}  // namespace

const Value* Value::find(std::string_view k) const {
    for (const Value& v : items)
        if (v.key == k) return &v;
    return nullptr;
}

const Value* Value::section(std::string_view k) const {
    const Value* v = find(k);
    return v && v->kind == Kind::Section ? v : nullptr;
}

int64_t Value::integerAt(std::string_view k, int64_t def) const {
    const Value* v = find(k);
    return v && v->kind == Kind::Integer ? v->integer : def;
}

std::string Value::stringAt(std::string_view k) const {
    const Value* v = find(k);
    return v && v->kind == Kind::String ? v->text : std::string();
}

bool Value::listHas(std::string_view k, std::string_view word) const {
    const Value* v = find(k);
    if (!v || v->kind != Kind::List) return false;
    for (const Value& i : v->items)
        if (i.kind == Kind::String && i.text == word) return true;
    return false;
}

Decoded<Value> parseText(std::string_view text) { return Parser(text).run(); }

}  // namespace brantlow::lvm
