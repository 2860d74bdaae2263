// VMDK images through libvmdk: monolithic sparse or flat, split into 2 GB
// extents, stream-optimised; a descriptor file opens its extent files from
// its own folder. A delta image (a snapshot over a parent) is refused with
// the parent named.
#include <libvmdk.h>

#include "disk/image_libyal.h"

namespace brantlow {

namespace {

// libvmdk, loaded the first time such an image is opened.
struct Vmdk {
    LibyalCalls<libvmdk_handle_t, libvmdk_error_t> calls{"libvmdk"};
    decltype(&libvmdk_handle_open) open = nullptr;
    decltype(&libvmdk_handle_get_parent_content_identifier) parentId = nullptr;
    decltype(&libvmdk_handle_get_utf8_parent_filename_size) parentNameSize = nullptr;
    decltype(&libvmdk_handle_get_utf8_parent_filename) parentName = nullptr;
    decltype(&libvmdk_handle_open_extent_data_files) openExtents = nullptr;
    std::string error;
};

const Vmdk& vmdk() {
    static const Vmdk api = [] {
        Vmdk a;
        platform::SharedLibrary lib(BRANTLOW_LIBVMDK_SONAME);
        bindLibyalCalls(lib, a.calls, "libvmdk_handle", "libvmdk_handle_read_buffer_at_offset");
        lib.bind(a.open, "libvmdk_handle_open");
        lib.bind(a.parentId, "libvmdk_handle_get_parent_content_identifier");
        lib.bind(a.parentNameSize, "libvmdk_handle_get_utf8_parent_filename_size");
        lib.bind(a.parentName, "libvmdk_handle_get_utf8_parent_filename");
        lib.bind(a.openExtents, "libvmdk_handle_open_extent_data_files");
        a.error = lib.error();
        return a;
    }();
    return api;
}

class VmdkImage : public LibyalImage<libvmdk_handle_t, libvmdk_error_t> {
public:
    VmdkImage() : LibyalImage(vmdk().calls) {}

    bool open(const std::string& path, std::string* why) {
        auto openRead = [&](libvmdk_handle_t* h, libvmdk_error_t** e) {
            return vmdk().open(h, path.c_str(), LIBVMDK_OPEN_READ, e);
        };
        if (!openHandle(path, "VMDK", openRead, why)) return false;
        uint32_t parentId = 0xFFFFFFFFu;
        if (vmdk().parentId(handle_, &parentId, nullptr) == 1 && parentId != 0xFFFFFFFFu) {
            std::string parent;
            recordedName(vmdk().parentNameSize, vmdk().parentName, parent);
            *why = "a delta VMDK image holds only the changes made after its parent" +
                   (parent.empty() ? std::string() : " (" + parent + ")") +
                   "; delta images are not supported: open the parent, or a merged copy";
            return false;
        }
        libvmdk_error_t* e = nullptr;
        if (vmdk().openExtents(handle_, &e) != 1) {
            *why = "the VMDK image's extent files cannot be opened (they are looked for beside " + fileName_ +
                   "): " + reason(e);
            return false;
        }
        return readMediaSize(why);
    }
};

}  // namespace

std::shared_ptr<ContainerReader> openVmdkImage(const std::string& path, std::string* why) {
    if (!vmdk().error.empty()) {
        *why = vmdk().error;
        return nullptr;
    }
    auto r = std::make_shared<VmdkImage>();
    if (!r->open(path, why)) return nullptr;
    return r;
}

}  // namespace brantlow
