// LUKS1 and LUKS2 encrypted volumes: the header recognised (the LUKS2
// secondary header too, for the sector scan), the volume key derived from a
// passphrase or a key file through a key slot, or given outright, and the
// payload yielded decrypted as a volume of its own.
#pragma once

#include "layers/api/layer_row.h"

namespace brantlow {

LayerRow luksRow();

}  // namespace brantlow
