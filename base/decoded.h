// The result of decoding one on-disk structure (a boot sector, a
// superblock, a record or node header, a directory entry): the value, or
// the reason it was refused. Where the engine tolerates damage on purpose,
// the decoder keeps the value and says which fields it replaced.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace brantlow {

template <class T>
class Decoded {
public:
    // An accepted structure.
    static Decoded ok(T value) {
        Decoded d;
        d.value_ = std::move(value);
        return d;
    }
    // A refused structure and why ("bytes per sector 3000 is not a power of two").
    static Decoded refused(std::string reason) {
        Decoded d;
        d.reason_ = std::move(reason);
        return d;
    }

    explicit operator bool() const { return value_.has_value(); }
    bool accepted() const { return value_.has_value(); }
    const T& operator*() const { return *value_; }
    T& operator*() { return *value_; }
    const T* operator->() const { return &*value_; }
    T* operator->() { return &*value_; }
    const std::optional<T>& value() const { return value_; }

    const std::string& reason() const { return reason_; }
    // Fields the decoder replaced to go on ("clusters per record 0: 1024 bytes taken").
    const std::vector<std::string>& replaced() const { return replaced_; }
    void replace(std::string what) { replaced_.push_back(std::move(what)); }

private:
    std::optional<T> value_;
    std::string reason_;
    std::vector<std::string> replaced_;
};

}  // namespace brantlow
