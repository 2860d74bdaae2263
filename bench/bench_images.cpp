// Reading through an image container, as the engine reads: the source opened
// by content (openSourceReader), then read from start to end in 1 MiB pieces
// (the sector scan and the carving engine), then 20,000 reads of 4 KiB at
// scattered places (the parsers' record and cluster reads). With KEYFILE,
// the volume list is made with the layers opened by that key file, and the
// first volume a layer yields (a decrypted volume) is read instead.
//
// Usage: bench_images IMAGE [KEYFILE]   → one line: open, sequential and scattered figures.
#include <sys/resource.h>

#include <chrono>
#include <cstdio>
#include <vector>

#include "disk/source.h"
#include "platform/secret.h"
#include "scan/volumes.h"

using namespace brantlow;

namespace {

double cpuSeconds() {
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return u.ru_utime.tv_sec + u.ru_stime.tv_sec + (u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

double since(std::chrono::steady_clock::time_point t) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - t).count();
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2 && argc != 3) {
        std::fprintf(stderr, "usage: bench_images IMAGE [KEYFILE]\n");
        return 1;
    }
    auto t0 = std::chrono::steady_clock::now();
    SourceError why;
    std::shared_ptr<readWriteInterface> r = openSourceReader(argv[1], &why, &brantlow::volumeProbeTable());
    if (!r) {
        std::fprintf(stderr, "bench_images: %s: %s\n", argv[1], why.text.c_str());
        return 2;
    }
    if (argc == 3) {
        const std::string keyFile = argv[2];
        std::shared_ptr<readWriteInterface> inner;
        for (const VolumeEntry& v : listVolumes(r, false, [&](const LayerQuestion&, LayerAnswers& a) {
                 int err = 0;
                 a.keyFile = true;
                 return platform::readSecretFile(keyFile, 8u << 20, a.passphrase, &err);
             }))
            if (v.reader && !inner) inner = v.reader;
        if (!inner) {
            std::fprintf(stderr, "bench_images: no volume opened inside %s\n", argv[1]);
            return 2;
        }
        r = inner;
    }
    const double openS = since(t0);
    const uint64_t size = r->sizeBytes();

    std::vector<char> buf(1 << 20);
    r->adviseSequential();
    double c0 = cpuSeconds();
    t0 = std::chrono::steady_clock::now();
    uint64_t done = 0, failed = 0;
    for (uint64_t off = 0; off < size; off += buf.size()) {
        long long n = r->readAbsolute(off, buf.data(), buf.size());
        if (n <= 0) {
            ++failed;
            continue;
        }
        done += static_cast<uint64_t>(n);
    }
    const double seqS = since(t0), seqCpu = cpuSeconds() - c0;

    constexpr int kScattered = 20000;
    uint64_t x = 88172645463325252ull;
    c0 = cpuSeconds();
    t0 = std::chrono::steady_clock::now();
    for (int i = 0; i < kScattered; ++i) {
        x ^= x << 13;
        x ^= x >> 7;
        x ^= x << 17;
        const uint64_t off = (x % (size / 4096)) * 4096;
        if (r->readAbsolute(off, buf.data(), 4096) != 4096) ++failed;
    }
    const double rndS = since(t0), rndCpu = cpuSeconds() - c0;

    std::printf("open %.3f s  sequential %.2f s (%.0f MB/s, cpu %.2f s)  scattered 4 KiB %.2f s (%.0f reads/s, cpu %.2f s)"
                "  sector %u%s\n",
                openS, seqS, done / 1e6 / seqS, seqCpu, rndS, kScattered / rndS, rndCpu, r->sectorSize(),
                failed ? "  READ FAILURES" : "");
    return failed ? 3 : 0;
}
