#include "tests/support/luks_image.h"

#include <cstdlib>
#include <filesystem>

namespace brantlow::test {

bool haveCryptsetup() { return std::system("cryptsetup --version >/dev/null 2>&1") == 0; }

bool encryptWithCryptsetup(const std::string& plainPath, const std::string& out, const std::string& keyFile,
                           const std::string& options, bool luks1) {
    namespace fs = std::filesystem;
    std::error_code ec;
    fs::copy_file(plainPath, out, fs::copy_options::overwrite_existing, ec);
    if (ec) return false;
    fs::resize_file(out, fs::file_size(out) + (8u << 20), ec);
    if (ec) return false;
    const std::string cs = "cryptsetup --batch-mode --disable-locks ";
    std::string cmd = cs + "reencrypt --encrypt --type luks2 --reduce-device-size 8M --key-file '" + keyFile + "' " +
                      options + " '" + out + "'";
    if (luks1) cmd += " && " + cs + "convert --type luks1 '" + out + "'";
    return std::system(("(" + cmd + ") >/dev/null 2>&1").c_str()) == 0;
}

}  // namespace brantlow::test
