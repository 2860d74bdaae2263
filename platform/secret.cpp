#include "platform/secret.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/mman.h>
#include <termios.h>
#include <unistd.h>

namespace brantlow::platform {

void wipe(void* p, size_t n) {
    if (!p || !n) return;
    explicit_bzero(p, n);
}

Secret& Secret::operator=(Secret&& o) noexcept {
    if (this != &o) {
        clear();
        data_ = o.data_;
        size_ = o.size_;
        locked_ = o.locked_;
        o.data_ = nullptr;
        o.size_ = 0;
        o.locked_ = false;
    }
    return *this;
}

void Secret::assign(const void* data, size_t n) {
    clear();
    if (!n) return;
    data_ = static_cast<uint8_t*>(std::malloc(n));
    if (!data_) return;
    locked_ = mlock(data_, n) == 0;
    std::memcpy(data_, data, n);
    size_ = n;
}

void Secret::clear() {
    if (!data_) return;
    wipe(data_, size_);
    if (locked_) munlock(data_, size_);
    std::free(data_);
    data_ = nullptr;
    size_ = 0;
    locked_ = false;
}

bool readSecretFile(const std::string& path, size_t maxBytes, Secret& out, int* err) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        if (err) *err = errno;
        return false;
    }
    uint8_t chunk[4096];
    size_t total = 0;
    uint8_t* acc = static_cast<uint8_t*>(std::malloc(maxBytes ? maxBytes : 1));
    bool ok = acc != nullptr;
    while (ok) {
        const ssize_t n = ::read(fd, chunk, sizeof chunk);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            if (err) *err = errno;
            ok = false;
            break;
        }
        if (n == 0) break;
        if (total + static_cast<size_t>(n) > maxBytes) {
            if (err) *err = EFBIG;
            ok = false;
            break;
        }
        std::memcpy(acc + total, chunk, static_cast<size_t>(n));
        total += static_cast<size_t>(n);
    }
    wipe(chunk, sizeof chunk);
    ::close(fd);
    if (ok) out.assign(acc, total);
    if (acc) {
        wipe(acc, maxBytes ? maxBytes : 1);
        std::free(acc);
    }
    return ok;
}

bool hexSecret(const Secret& text, Secret& out) {
    const size_t cap = text.size() / 2 + 1;
    auto* bytes = static_cast<uint8_t*>(std::malloc(cap));
    if (!bytes) return false;
    size_t n = 0;
    int high = -1;
    bool ok = true;
    for (size_t i = 0; i < text.size() && ok; ++i) {
        const char c = static_cast<char>(text.data()[i]);
        int v = -1;
        if (c >= '0' && c <= '9') v = c - '0';
        else if (c >= 'a' && c <= 'f') v = c - 'a' + 10;
        else if (c >= 'A' && c <= 'F') v = c - 'A' + 10;
        else if (c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == ':') continue;
        else ok = false;
        if (!ok) break;
        if (high < 0) {
            high = v;
        } else {
            bytes[n++] = static_cast<uint8_t>(high << 4 | v);
            high = -1;
        }
    }
    ok = ok && high < 0 && n > 0;
    if (ok) out.assign(bytes, n);
    wipe(bytes, cap);
    std::free(bytes);
    return ok;
}

bool readSecretLine(const std::string& prompt, Secret& out) {
    if (!isatty(STDIN_FILENO)) return false;
    termios old{};
    if (tcgetattr(STDIN_FILENO, &old) != 0) return false;
    termios quiet = old;
    quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
    std::fprintf(stderr, "%s", prompt.c_str());
    std::fflush(stderr);
    tcsetattr(STDIN_FILENO, TCSAFLUSH, &quiet);
    char line[1024];
    size_t n = 0;
    bool got = false;
    for (;;) {
        char c = 0;
        const ssize_t r = ::read(STDIN_FILENO, &c, 1);
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) break;
        got = true;
        if (c == '\n' || c == '\r') break;
        if (n < sizeof line) line[n++] = c;
    }
    tcsetattr(STDIN_FILENO, TCSAFLUSH, &old);
    std::fprintf(stderr, "\n");
    if (got) out.assign(line, n);
    wipe(line, sizeof line);
    return got;
}

}  // namespace brantlow::platform
