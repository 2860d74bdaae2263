// VHD (fixed and dynamic) and VHDX images through libvhdi. A differencing
// image holds only what changed since its parent: it is refused with the
// parent named, never read as if the rest were zeros.
#include <libvhdi.h>

#include "disk/image_libyal.h"

namespace brantlow {

namespace {

const LibyalCalls<libvhdi_file_t, libvhdi_error_t> kVhdi = {
    "libvhdi",          libvhdi_file_initialize,        libvhdi_file_close,
    libvhdi_file_free,  libvhdi_error_backtrace_sprint, libvhdi_error_free,
    libvhdi_file_get_media_size, libvhdi_file_read_buffer_at_offset,
};

class VhdiImage : public LibyalImage<libvhdi_file_t, libvhdi_error_t> {
public:
    VhdiImage() : LibyalImage(kVhdi) {}

    bool open(const std::string& path, bool vhdx, std::string* why) {
        const std::string kind = vhdx ? "VHDX" : "VHD";
        auto openRead = [&](libvhdi_file_t* f, libvhdi_error_t** e) {
            return libvhdi_file_open(f, path.c_str(), LIBVHDI_OPEN_READ, e);
        };
        if (!openHandle(path, kind, openRead, why)) return false;
        uint32_t diskType = 0;
        if (libvhdi_file_get_disk_type(handle_, &diskType, nullptr) == 1 && diskType == LIBVHDI_DISK_TYPE_DIFFERENTIAL) {
            std::string parent;
            recordedName(libvhdi_file_get_utf8_parent_filename_size, libvhdi_file_get_utf8_parent_filename, parent);
            *why = "a differencing " + kind + " image holds only the changes made after its parent" +
                   (parent.empty() ? std::string() : " (" + parent + ")") +
                   "; differencing images are not supported: open the parent, or a merged copy";
            return false;
        }
        if (!readMediaSize(why)) return false;
        uint32_t bps = 0;
        if (libvhdi_file_get_bytes_per_sector(handle_, &bps, nullptr) == 1) declaredSectorSize_ = bps;
        return true;
    }
};

}  // namespace

std::shared_ptr<ContainerReader> openVhdiImage(const std::string& path, bool vhdx, std::string* why) {
    auto r = std::make_shared<VhdiImage>();
    if (!r->open(path, vhdx, why)) return nullptr;
    return r;
}

}  // namespace brantlow
