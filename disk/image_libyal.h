// The shape the image libraries libewf, libvhdi, libvmdk and libqcow share:
// a handle made by initialize, opened read-only, read at an offset, closed
// and freed; errors come as backtraces that are freed once read. One
// adapter holds the handle for a ContainerReader, closes and frees it
// whatever step failed, and turns every error into the reason the reader
// reports. Included only by the image_*.cpp files, each after its
// library's header.
#pragma once

#include <cstdint>
#include <cstring>
#include <string>
#include <sys/types.h>
#include <vector>

#include "disk/image_reader.h"
#include "platform/shared_library.h"

namespace brantlow {

// The calls of one library.
template <typename Handle, typename Error>
struct LibyalCalls {
    const char* library = nullptr;  // "libvhdi": the prefix of an error that comes before the image is opened
    int (*initialize)(Handle**, Error**) = nullptr;
    int (*close)(Handle*, Error**) = nullptr;
    int (*free)(Handle**, Error**) = nullptr;
    int (*backtrace)(Error*, char*, size_t) = nullptr;
    void (*freeError)(Error**) = nullptr;
    int (*mediaSize)(Handle*, uint64_t*, Error**) = nullptr;
    ssize_t (*read)(Handle*, void*, size_t, int64_t, Error**) = nullptr;
};

// Binds the calls every library shares from the loaded library: handle is
// the prefix of its handle's calls ("libvhdi_file"), read its read call.
template <typename Handle, typename Error>
void bindLibyalCalls(platform::SharedLibrary& lib, LibyalCalls<Handle, Error>& c, const std::string& handle,
                     const char* read) {
    const std::string library = c.library;
    lib.bind(c.initialize, (handle + "_initialize").c_str());
    lib.bind(c.close, (handle + "_close").c_str());
    lib.bind(c.free, (handle + "_free").c_str());
    lib.bind(c.backtrace, (library + "_error_backtrace_sprint").c_str());
    lib.bind(c.freeError, (library + "_error_free").c_str());
    lib.bind(c.mediaSize, (handle + "_get_media_size").c_str());
    lib.bind(c.read, read);
}

template <typename Handle, typename Error>
class LibyalImage : public ContainerReader {
public:
    using Calls = LibyalCalls<Handle, Error>;

    ~LibyalImage() override {
        if (opened_) calls_.close(handle_, nullptr);
        if (handle_) calls_.free(&handle_, nullptr);
    }

protected:
    explicit LibyalImage(const Calls& calls) : calls_(calls) {}

    // Makes the handle and opens it with open(handle, &error). kind names
    // the image in reasons ("VHDX"). False with *why set.
    template <typename Open>
    bool openHandle(const std::string& path, const std::string& kind, Open open, std::string* why) {
        fileName_ = baseName(path);
        kind_ = kind;
        Error* e = nullptr;
        if (calls_.initialize(&handle_, &e) != 1) {
            *why = std::string(calls_.library) + ": " + reason(e);
            return false;
        }
        if (open(handle_, &e) != 1) {
            *why = "the " + kind_ + " image cannot be opened: " + reason(e);
            return false;
        }
        opened_ = true;
        return true;
    }

    // Takes the image's media size. False with *why set.
    bool readMediaSize(std::string* why) {
        Error* e = nullptr;
        uint64_t media = 0;
        if (calls_.mediaSize(handle_, &media, &e) != 1) {
            *why = "the " + kind_ + " image does not give its size: " + reason(e);
            return false;
        }
        mediaSize_ = media;
        return true;
    }

    // A file name the image records (its parent, its backing file) through
    // the library's size and get calls: true when it records one; text is
    // the name when it could be read.
    template <typename SizeCall, typename GetCall>
    bool recordedName(SizeCall size, GetCall get, std::string& text) {
        size_t n = 0;
        if (size(handle_, &n, nullptr) != 1 || n <= 1) return false;
        if (n < 65536) {
            std::vector<uint8_t> b(n, 0);
            if (get(handle_, b.data(), b.size(), nullptr) == 1)
                text.assign(reinterpret_cast<const char*>(b.data()), strnlen(reinterpret_cast<const char*>(b.data()), n));
        }
        return true;
    }

    // The root cause of an error (which is freed).
    std::string reason(Error* e) const {
        if (!e) return "unknown error";
        char text[4096] = {};
        calls_.backtrace(e, text, sizeof text);
        calls_.freeError(&e);
        return libraryReason(text);
    }

    long long readMedia(uint64_t offset, void* buffer, size_t count, std::string* why) override {
        Error* e = nullptr;
        const ssize_t n = calls_.read(handle_, buffer, count, static_cast<int64_t>(offset), &e);
        if (n < 0) {
            *why = reason(e);
            return -1;
        }
        return n;
    }

    Handle* handle_ = nullptr;

private:
    Calls calls_;
    std::string kind_;
    bool opened_ = false;
};

}  // namespace brantlow
