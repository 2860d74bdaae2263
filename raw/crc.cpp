// CRC-32 (the reflected IEEE polynomial of zlib, PNG, gzip, 7z and xz):
// through ISA-L's carry-less multiply version where the build has it
// (several GB/s: PNG chunks are checked as fast as they are read), else zlib.
#include "raw/finder_util.h"

#ifdef BRANTLOW_HAVE_ISAL
#include <isa-l/crc.h>
#else
#include <zlib.h>
#endif

namespace brantlow::raw::finder {

uint32_t crc32Update(uint32_t crc, const uint8_t* p, size_t n) {
#ifdef BRANTLOW_HAVE_ISAL
    return crc32_gzip_refl(crc, p, n);
#else
    while (n > 0) {
        const uInt k = static_cast<uInt>(n > (1u << 30) ? (1u << 30) : n);
        crc = static_cast<uint32_t>(::crc32(crc, p, k));
        p += k;
        n -= k;
    }
    return crc;
#endif
}

}  // namespace brantlow::raw::finder
