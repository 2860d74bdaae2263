// A passphrase, key file or volume key held in memory only: its pages are
// locked against swapping where the system allows, it cannot be printed or
// copied by accident, and it is wiped when dropped.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace brantlow::platform {

class Secret {
public:
    Secret() = default;
    Secret(const void* data, size_t n) { assign(data, n); }
    ~Secret() { clear(); }
    Secret(const Secret& o) { assign(o.data_, o.size_); }
    Secret& operator=(const Secret& o) {
        if (this != &o) assign(o.data_, o.size_);
        return *this;
    }
    Secret(Secret&& o) noexcept : data_(o.data_), size_(o.size_), locked_(o.locked_) {
        o.data_ = nullptr;
        o.size_ = 0;
        o.locked_ = false;
    }
    Secret& operator=(Secret&& o) noexcept;

    // Takes a copy of n bytes (the caller wipes its own).
    void assign(const void* data, size_t n);
    // Wipes and frees.
    void clear();

    const uint8_t* data() const { return data_; }
    size_t size() const { return size_; }
    bool empty() const { return size_ == 0; }
    // Whether the memory could be locked.
    bool locked() const { return locked_; }

private:
    uint8_t* data_ = nullptr;
    size_t size_ = 0;
    bool locked_ = false;
};

// Overwrites n bytes so that the compiler cannot leave the store out.
void wipe(void* p, size_t n);

// Reads a whole file (at most maxBytes) into a secret; false with the
// errno value in *err when it cannot be read or is larger.
bool readSecretFile(const std::string& path, size_t maxBytes, Secret& out, int* err);

// A key written as hex digits (blanks, colons and line breaks between them
// are passed over, as `cryptsetup luksDump --dump-volume-key` prints it)
// into its bytes; false when text holds anything else or an odd count.
bool hexSecret(const Secret& text, Secret& out);

// Reads one line from the terminal without echo after printing prompt to
// stderr; false when standard input is not a terminal or nothing was read.
bool readSecretLine(const std::string& prompt, Secret& out);

}  // namespace brantlow::platform
