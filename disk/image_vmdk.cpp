// VMDK images through libvmdk: monolithic sparse or flat, split into 2 GB
// extents, stream-optimised; a descriptor file opens its extent files from
// its own folder. A delta image (a snapshot over a parent) is refused with
// the parent named.
#include <libvmdk.h>

#include "disk/image_libyal.h"

namespace brantlow {

namespace {

const LibyalCalls<libvmdk_handle_t, libvmdk_error_t> kVmdk = {
    "libvmdk",           libvmdk_handle_initialize,      libvmdk_handle_close,
    libvmdk_handle_free, libvmdk_error_backtrace_sprint, libvmdk_error_free,
    libvmdk_handle_get_media_size, libvmdk_handle_read_buffer_at_offset,
};

class VmdkImage : public LibyalImage<libvmdk_handle_t, libvmdk_error_t> {
public:
    VmdkImage() : LibyalImage(kVmdk) {}

    bool open(const std::string& path, std::string* why) {
        auto openRead = [&](libvmdk_handle_t* h, libvmdk_error_t** e) {
            return libvmdk_handle_open(h, path.c_str(), LIBVMDK_OPEN_READ, e);
        };
        if (!openHandle(path, "VMDK", openRead, why)) return false;
        uint32_t parentId = 0xFFFFFFFFu;
        if (libvmdk_handle_get_parent_content_identifier(handle_, &parentId, nullptr) == 1 && parentId != 0xFFFFFFFFu) {
            std::string parent;
            recordedName(libvmdk_handle_get_utf8_parent_filename_size, libvmdk_handle_get_utf8_parent_filename, parent);
            *why = "a delta VMDK image holds only the changes made after its parent" +
                   (parent.empty() ? std::string() : " (" + parent + ")") +
                   "; delta images are not supported: open the parent, or a merged copy";
            return false;
        }
        libvmdk_error_t* e = nullptr;
        if (libvmdk_handle_open_extent_data_files(handle_, &e) != 1) {
            *why = "the VMDK image's extent files cannot be opened (they are looked for beside " + fileName_ +
                   "): " + reason(e);
            return false;
        }
        return readMediaSize(why);
    }
};

}  // namespace

std::shared_ptr<ContainerReader> openVmdkImage(const std::string& path, std::string* why) {
    auto r = std::make_shared<VmdkImage>();
    if (!r->open(path, why)) return nullptr;
    return r;
}

}  // namespace brantlow
