// A trivial volume layer for the tests: a one-sector header naming where
// its payload lies, the payload optionally masked with a key byte and
// optionally guarded by a passphrase. Real disks never carry it; it lets
// the tests check every step a real layer goes through (recognition in the
// walks and the sector scan, asking, the volume list, reading through the
// layer) with images built in a few lines.
//
// Header, at the volume's first byte (little-endian):
//   0  16  "BRANTLOW-LAYER\0\0"
//  16   8  payload offset in bytes from the header (a multiple of 512, >= 512)
//  24   8  payload length in bytes (a multiple of 512)
//  32   1  mask: every payload byte is XOR-ed with it (0: plain)
//  33   1  1: asks for a passphrase, whose first byte must equal the mask
#pragma once

#include "layers/api/layer_row.h"

namespace brantlow {

LayerRow testLayerRow();

}  // namespace brantlow
