// VHD (fixed and dynamic) and VHDX images through libvhdi. A differencing
// image holds only what changed since its parent: it is refused with the
// parent named, never read as if the rest were zeros.
#include <libvhdi.h>

#include <vector>

#include "disk/image_reader.h"

namespace brantlow {

namespace {

std::string vhdiReason(libvhdi_error_t* e) {
    if (!e) return "unknown error";
    char text[4096] = {};
    libvhdi_error_backtrace_sprint(e, text, sizeof text);
    libvhdi_error_free(&e);
    return libraryReason(text);
}

class VhdiImage : public ContainerReader {
public:
    ~VhdiImage() override {
        if (file_) {
            libvhdi_file_close(file_, nullptr);
            libvhdi_file_free(&file_, nullptr);
        }
    }

    bool open(const std::string& path, bool vhdx, std::string* why) {
        fileName_ = baseName(path);
        const std::string kind = vhdx ? "VHDX" : "VHD";
        libvhdi_error_t* e = nullptr;
        if (libvhdi_file_initialize(&file_, &e) != 1) {
            *why = "libvhdi: " + vhdiReason(e);
            return false;
        }
        if (libvhdi_file_open(file_, path.c_str(), LIBVHDI_OPEN_READ, &e) != 1) {
            *why = "the " + kind + " image cannot be opened: " + vhdiReason(e);
            libvhdi_file_free(&file_, nullptr);
            return false;
        }
        uint32_t diskType = 0;
        if (libvhdi_file_get_disk_type(file_, &diskType, nullptr) == 1 && diskType == LIBVHDI_DISK_TYPE_DIFFERENTIAL) {
            std::string parent;
            size_t n = 0;
            if (libvhdi_file_get_utf8_parent_filename_size(file_, &n, nullptr) == 1 && n > 1 && n < 65536) {
                std::vector<uint8_t> b(n, 0);
                if (libvhdi_file_get_utf8_parent_filename(file_, b.data(), b.size(), nullptr) == 1)
                    parent.assign(reinterpret_cast<const char*>(b.data()));
            }
            *why = "a differencing " + kind + " image holds only the changes made after its parent" +
                   (parent.empty() ? std::string() : " (" + parent + ")") +
                   "; differencing images are not supported: open the parent, or a merged copy";
            return false;
        }
        size64_t media = 0;
        if (libvhdi_file_get_media_size(file_, &media, &e) != 1) {
            *why = "the " + kind + " image does not give its size: " + vhdiReason(e);
            return false;
        }
        uint32_t bps = 0;
        if (libvhdi_file_get_bytes_per_sector(file_, &bps, nullptr) == 1) declaredSectorSize_ = bps;
        mediaSize_ = media;
        return true;
    }

protected:
    long long readMedia(uint64_t offset, void* buffer, size_t count, std::string* why) override {
        libvhdi_error_t* e = nullptr;
        ssize_t n = libvhdi_file_read_buffer_at_offset(file_, buffer, count, static_cast<off64_t>(offset), &e);
        if (n < 0) {
            *why = vhdiReason(e);
            return -1;
        }
        return n;
    }

private:
    libvhdi_file_t* file_ = nullptr;
};

}  // namespace

std::shared_ptr<ContainerReader> openVhdiImage(const std::string& path, bool vhdx, std::string* why) {
    auto r = std::make_shared<VhdiImage>();
    if (!r->open(path, vhdx, why)) return nullptr;
    return r;
}

}  // namespace brantlow
