// VMDK images through libvmdk: monolithic sparse or flat, split into 2 GB
// extents, stream-optimised; a descriptor file opens its extent files from
// its own folder. A delta image (a snapshot over a parent) is refused with
// the parent named.
#include <libvmdk.h>

#include <vector>

#include "disk/image_reader.h"

namespace brantlow {

namespace {

std::string vmdkReason(libvmdk_error_t* e) {
    if (!e) return "unknown error";
    char text[4096] = {};
    libvmdk_error_backtrace_sprint(e, text, sizeof text);
    libvmdk_error_free(&e);
    return libraryReason(text);
}

class VmdkImage : public ContainerReader {
public:
    ~VmdkImage() override {
        if (handle_) {
            libvmdk_handle_close(handle_, nullptr);
            libvmdk_handle_free(&handle_, nullptr);
        }
    }

    bool open(const std::string& path, std::string* why) {
        fileName_ = baseName(path);
        libvmdk_error_t* e = nullptr;
        if (libvmdk_handle_initialize(&handle_, &e) != 1) {
            *why = "libvmdk: " + vmdkReason(e);
            return false;
        }
        if (libvmdk_handle_open(handle_, path.c_str(), LIBVMDK_OPEN_READ, &e) != 1) {
            *why = "the VMDK image cannot be opened: " + vmdkReason(e);
            libvmdk_handle_free(&handle_, nullptr);
            return false;
        }
        uint32_t parentId = 0xFFFFFFFFu;
        if (libvmdk_handle_get_parent_content_identifier(handle_, &parentId, nullptr) == 1 && parentId != 0xFFFFFFFFu) {
            std::string parent;
            size_t n = 0;
            if (libvmdk_handle_get_utf8_parent_filename_size(handle_, &n, nullptr) == 1 && n > 1 && n < 65536) {
                std::vector<uint8_t> b(n, 0);
                if (libvmdk_handle_get_utf8_parent_filename(handle_, b.data(), b.size(), nullptr) == 1)
                    parent.assign(reinterpret_cast<const char*>(b.data()));
            }
            *why = "a delta VMDK image holds only the changes made after its parent" +
                   (parent.empty() ? std::string() : " (" + parent + ")") +
                   "; delta images are not supported: open the parent, or a merged copy";
            return false;
        }
        if (libvmdk_handle_open_extent_data_files(handle_, &e) != 1) {
            *why = "the VMDK image's extent files cannot be opened (they are looked for beside " + fileName_ +
                   "): " + vmdkReason(e);
            return false;
        }
        size64_t media = 0;
        if (libvmdk_handle_get_media_size(handle_, &media, &e) != 1) {
            *why = "the VMDK image does not give its size: " + vmdkReason(e);
            return false;
        }
        mediaSize_ = media;
        return true;
    }

protected:
    long long readMedia(uint64_t offset, void* buffer, size_t count, std::string* why) override {
        libvmdk_error_t* e = nullptr;
        ssize_t n = libvmdk_handle_read_buffer_at_offset(handle_, buffer, count, static_cast<off64_t>(offset), &e);
        if (n < 0) {
            *why = vmdkReason(e);
            return -1;
        }
        return n;
    }

private:
    libvmdk_handle_t* handle_ = nullptr;
};

}  // namespace

std::shared_ptr<ContainerReader> openVmdkImage(const std::string& path, std::string* why) {
    auto r = std::make_shared<VmdkImage>();
    if (!r->open(path, why)) return nullptr;
    return r;
}

}  // namespace brantlow
