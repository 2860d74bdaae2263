#include "fs/btrfs/btrfs_compress.h"

#include <lzo/lzo1x.h>
#include <zlib.h>
#include <zstd.h>

#include "base/bytes.h"
#include "fs/btrfs/btrfs_format.h"

namespace brantlow::btrfs {

namespace {

bool fail(std::string* why, const char* what) {
    if (why) *why = what;
    return false;
}

bool inflateAll(const uint8_t* in, size_t n, size_t want, std::vector<uint8_t>& out, std::string* why) {
    z_stream z{};
    if (inflateInit(&z) != Z_OK) return fail(why, "zlib could not start");
    out.resize(want);
    z.next_in = const_cast<Bytef*>(in);
    z.avail_in = static_cast<uInt>(n);
    z.next_out = out.data();
    z.avail_out = static_cast<uInt>(want);
    int rc = Z_OK;
    while (rc == Z_OK && z.avail_out > 0) rc = inflate(&z, Z_NO_FLUSH);
    out.resize(want - z.avail_out);
    inflateEnd(&z);
    if (rc != Z_OK && rc != Z_STREAM_END && !(rc == Z_BUF_ERROR && out.size() == want))
        return fail(why, "zlib data does not decode");
    return true;
}

bool zstdAll(const uint8_t* in, size_t n, size_t want, std::vector<uint8_t>& out, std::string* why) {
    ZSTD_DStream* d = ZSTD_createDStream();
    if (!d) return fail(why, "zstd could not start");
    out.resize(want);
    ZSTD_inBuffer ib{in, n, 0};
    ZSTD_outBuffer ob{out.data(), want, 0};
    bool ok = true;
    while (ob.pos < ob.size && ib.pos < ib.size) {
        const size_t rc = ZSTD_decompressStream(d, &ob, &ib);
        if (ZSTD_isError(rc)) {
            ok = false;
            break;
        }
        if (rc == 0) break;  // frame done
    }
    out.resize(ob.pos);
    ZSTD_freeDStream(d);
    return ok || fail(why, "zstd data does not decode");
}

bool lzoAll(const uint8_t* in, size_t n, size_t want, uint32_t sector, std::vector<uint8_t>& out, std::string* why) {
    static const bool ready = lzo_init() == LZO_E_OK;
    if (!ready) return fail(why, "LZO could not start");
    if (n < 4) return fail(why, "LZO data cut short");
    const size_t total = le32(in, n, 0);
    if (total > n || total < 4) return fail(why, "LZO total length past the extent");
    out.clear();
    out.reserve(want);
    std::vector<uint8_t> seg(sector + sector / 16 + 64 + 3);
    size_t at = 4;
    while (at < total && out.size() < want) {
        const size_t left = sector - at % sector;
        if (left < 4) at += left;  // the length field never straddles a sector
        if (at + 4 > total) break;
        const size_t len = le32(in, n, at);
        at += 4;
        if (len > total - at || len > sector + sector / 16 + 64 + 3) return fail(why, "LZO segment past the extent");
        lzo_uint got = seg.size();
        if (lzo1x_decompress_safe(in + at, len, seg.data(), &got, nullptr) != LZO_E_OK)
            return fail(why, "LZO segment does not decode");
        const size_t take = std::min<size_t>(got, want - out.size());
        out.insert(out.end(), seg.begin(), seg.begin() + take);
        at += len;
    }
    return true;
}

}  // namespace

bool decompress(uint8_t method, const uint8_t* in, size_t n, size_t want, uint32_t sectorSize,
                std::vector<uint8_t>& out, std::string* why) {
    switch (method) {
        case kCompressZlib: return inflateAll(in, n, want, out, why);
        case kCompressZstd: return zstdAll(in, n, want, out, why);
        case kCompressLzo: return lzoAll(in, n, want, sectorSize ? sectorSize : 4096, out, why);
        default: out.clear(); return fail(why, "unknown compression");
    }
}

}  // namespace brantlow::btrfs
