// A shared library loaded the first time it is needed instead of at the
// program's start. Every library linked in costs each run its loading and
// relocation (libcryptsetup with the ten it pulls in: about 4 ms, more
// than a small listing's own work); one used only for some sources is
// loaded through this when such a source is opened.
#pragma once

#include <string>

namespace brantlow::platform {

class SharedLibrary {
public:
    // Loads the library by its soname ("libcryptsetup.so.12"). It stays
    // loaded for the life of the process.
    explicit SharedLibrary(const char* soname);
    // Sets fn to the library's function `name`; a missing one is recorded
    // in error().
    template <typename F>
    void bind(F*& fn, const char* name) {
        fn = reinterpret_cast<F*>(symbol(name));
    }
    // Empty when the library is loaded and every bound function was found;
    // else why not ("libcryptsetup.so.12 cannot be loaded: ...").
    const std::string& error() const { return error_; }

private:
    void* symbol(const char* name);
    std::string soname_;
    void* handle_ = nullptr;
    std::string error_;
};

}  // namespace brantlow::platform
