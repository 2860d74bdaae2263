#include "platform/shared_library.h"

#include <dlfcn.h>

namespace brantlow::platform {

SharedLibrary::SharedLibrary(const char* soname) : soname_(soname) {
    handle_ = dlopen(soname, RTLD_NOW | RTLD_LOCAL);
    if (!handle_) {
        const char* why = dlerror();
        error_ = soname_ + " cannot be loaded" + (why ? std::string(": ") + why : std::string());
    }
}

void* SharedLibrary::symbol(const char* name) {
    if (!handle_) return nullptr;
    void* p = dlsym(handle_, name);
    if (!p && error_.empty()) error_ = soname_ + " has no function " + name + " (another version?)";
    return p;
}

}  // namespace brantlow::platform
