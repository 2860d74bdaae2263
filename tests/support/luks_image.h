// Encrypted volumes for the tests, made by cryptsetup's own offline
// encryption (no device mapper, no root): a copy of a plain volume image
// grows by 8 MiB, the LUKS2 header goes in front and the payload holds the
// volume from its first byte; LUKS1 by converting that.
#pragma once

#include <string>

namespace brantlow::test {

bool haveCryptsetup();

// Encrypts a copy of plainPath into out with the key file keyFile; options
// go to `cryptsetup reencrypt` (cipher, key size, sector size, PBKDF).
// False when cryptsetup fails.
bool encryptWithCryptsetup(const std::string& plainPath, const std::string& out, const std::string& keyFile,
                           const std::string& options, bool luks1 = false);

}  // namespace brantlow::test
