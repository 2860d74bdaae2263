// The volume key of a LUKS volume, from a passphrase or a key file through
// its key slots, or given outright and checked against the header's digest.
//
// libcryptsetup derives and checks the key without mapping a device: it is
// handed a copy of the volume's headers and key slot areas in a file that
// lives in memory only (it opens what it reads by path, takes locks and
// repairs a damaged header copy in place, none of which may touch the
// source).
#pragma once

#include <string>

#include "disk/volume_view.h"
#include "layers/luks/luks_header.h"
#include "platform/secret.h"

namespace brantlow::luks {

struct Unlocked {
    platform::Secret key;  // the volume key (empty when not unlocked)
    bool wrongAnswer = false;  // the answer opened no key slot (asking again may help)
    std::string error;         // why not
};

// Tries every active key slot with the passphrase (or a key file's bytes).
// Slots whose key derivation needs more memory than the machine can give
// are passed over, and said so when nothing opened.
Unlocked unlockWithPassphrase(const VolumeView& v, const Header& h, const platform::Secret& passphrase, bool keyFile);
// Checks a volume key given outright against the header's digest.
Unlocked checkVolumeKey(const VolumeView& v, const Header& h, const platform::Secret& key);

// The most memory a key slot's derivation may ask for on this machine, in
// KiB: half the machine's memory, at most 4 GiB.
uint64_t maxKdfMemoryKiB();

}  // namespace brantlow::luks
