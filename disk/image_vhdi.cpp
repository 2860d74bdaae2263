// VHD (fixed and dynamic) and VHDX images through libvhdi. A differencing
// image holds only what changed since its parent: it is refused with the
// parent named, never read as if the rest were zeros.
#include <libvhdi.h>

#include "disk/image_libyal.h"

namespace brantlow {

namespace {

// libvhdi, loaded the first time such an image is opened.
struct Vhdi {
    LibyalCalls<libvhdi_file_t, libvhdi_error_t> calls{"libvhdi"};
    decltype(&libvhdi_file_open) open = nullptr;
    decltype(&libvhdi_file_get_disk_type) diskType = nullptr;
    decltype(&libvhdi_file_get_utf8_parent_filename_size) parentNameSize = nullptr;
    decltype(&libvhdi_file_get_utf8_parent_filename) parentName = nullptr;
    decltype(&libvhdi_file_get_bytes_per_sector) bytesPerSector = nullptr;
    std::string error;
};

const Vhdi& vhdi() {
    static const Vhdi api = [] {
        Vhdi a;
        platform::SharedLibrary lib(BRANTLOW_LIBVHDI_SONAME);
        bindLibyalCalls(lib, a.calls, "libvhdi_file", "libvhdi_file_read_buffer_at_offset");
        lib.bind(a.open, "libvhdi_file_open");
        lib.bind(a.diskType, "libvhdi_file_get_disk_type");
        lib.bind(a.parentNameSize, "libvhdi_file_get_utf8_parent_filename_size");
        lib.bind(a.parentName, "libvhdi_file_get_utf8_parent_filename");
        lib.bind(a.bytesPerSector, "libvhdi_file_get_bytes_per_sector");
        a.error = lib.error();
        return a;
    }();
    return api;
}

class VhdiImage : public LibyalImage<libvhdi_file_t, libvhdi_error_t> {
public:
    VhdiImage() : LibyalImage(vhdi().calls) {}

    bool open(const std::string& path, bool vhdx, std::string* why) {
        const std::string kind = vhdx ? "VHDX" : "VHD";
        auto openRead = [&](libvhdi_file_t* f, libvhdi_error_t** e) {
            return vhdi().open(f, path.c_str(), LIBVHDI_OPEN_READ, e);
        };
        if (!openHandle(path, kind, openRead, why)) return false;
        uint32_t diskType = 0;
        if (vhdi().diskType(handle_, &diskType, nullptr) == 1 && diskType == LIBVHDI_DISK_TYPE_DIFFERENTIAL) {
            std::string parent;
            recordedName(vhdi().parentNameSize, vhdi().parentName, parent);
            *why = "a differencing " + kind + " image holds only the changes made after its parent" +
                   (parent.empty() ? std::string() : " (" + parent + ")") +
                   "; differencing images are not supported: open the parent, or a merged copy";
            return false;
        }
        if (!readMediaSize(why)) return false;
        uint32_t bps = 0;
        if (vhdi().bytesPerSector(handle_, &bps, nullptr) == 1) declaredSectorSize_ = bps;
        return true;
    }
};

}  // namespace

std::shared_ptr<ContainerReader> openVhdiImage(const std::string& path, bool vhdx, std::string* why) {
    if (!vhdi().error.empty()) {
        *why = vhdi().error;
        return nullptr;
    }
    auto r = std::make_shared<VhdiImage>();
    if (!r->open(path, vhdx, why)) return nullptr;
    return r;
}

}  // namespace brantlow
