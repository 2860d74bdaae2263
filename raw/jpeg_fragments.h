// A baseline JPEG in two pieces with whole sectors of other data between
// them (a photo written around another file).
#pragma once

#include <cstdint>

#include "raw/finders.h"

namespace brantlow::raw {

struct JpegSplice {
    uint64_t firstLength = 0;  // bytes of the first piece (a multiple of 512)
    uint64_t gap = 0;          // bytes between the pieces (a multiple of 512)
    uint64_t size = 0;         // bytes of the whole photo, both pieces
};

// s: the bytes from the photo's first byte on (to the end of the volume).
// True when its Huffman data stops decoding part-way and decodes again, to
// the last MCU and the EOI, after a gap of at most maxGap bytes.
// The search decodes at most `budget` bytes in all.
bool findJpegSecondFragment(Source& s, uint64_t maxGap, JpegSplice& out, uint64_t budget = 32ull << 20);

// False, with where it stops, when the photo's Huffman data does not decode
// to its last MCU and EOI; true when it does or cannot be checked here
// (progressive, arithmetic-coded).
bool jpegDecodes(Source& s, uint64_t& failAt);

}  // namespace brantlow::raw
