#include "tests/support/fixtures.h"

#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <sstream>

namespace fs = std::filesystem;

namespace brantlow::test {

std::string fixturesDir() {
    const char* env = std::getenv("BRANTLOW_FIXTURES");
    if (env && *env) return env;
    return BRANTLOW_DEFAULT_FIXTURES;
}

std::string dataDir() { return BRANTLOW_TEST_DATA; }

namespace {

std::string processTempDir() {
    static std::string dir = [] {
        std::string base = fs::temp_directory_path().string() + "/brantlow-test-XXXXXX";
        std::vector<char> buf(base.begin(), base.end());
        buf.push_back(0);
        const char* d = mkdtemp(buf.data());
        std::string s = d ? d : "/tmp";
        std::atexit([] {});
        return s;
    }();
    return dir;
}

struct Cleanup {
    ~Cleanup() {
        std::error_code ec;
        if (!created.empty()) fs::remove_all(created, ec);
    }
    std::string created;
} g_cleanup;

std::string quote(const std::string& s) {
    std::string o = "'";
    for (char c : s) {
        if (c == '\'')
            o += "'\\''";
        else
            o += c;
    }
    return o + "'";
}

}  // namespace

namespace {

// Images of the corpus that are a shipped image with a byte range zeroed:
// made from it when the corpus is absent, and checked against the
// manifest's sha256.
struct Derived {
    const char* name;
    const char* from;
    uint64_t offset, length;
};
const Derived kDerived[] = {
    {"disk_mbr_lost", "disk_mbr", 446, 64},  // the MBR's partition table zeroed
};

}  // namespace

std::optional<std::string> fixtureImage(const std::string& name) {
    static std::recursive_mutex m;
    static std::map<std::string, std::string> done;
    std::lock_guard<std::recursive_mutex> lk(m);
    auto it = done.find(name);
    if (it != done.end()) return it->second;
    std::string src;
    for (const std::string& dir : {dataDir(), std::string(BRANTLOW_SAMPLES_DIR), fixturesDir()}) {
        std::string p = dir + "/" + name + ".img.xz";
        if (fs::exists(p)) {
            src = p;
            break;
        }
    }
    if (src.empty()) {
        for (const Derived& d : kDerived) {
            if (name != d.name) continue;
            auto from = fixtureImage(d.from);
            auto manifest = fixtureManifest(name);
            if (!from || !manifest) return std::nullopt;
            const std::string dst = processTempDir() + "/" + name + ".img";
            std::error_code ec;
            if (!fs::copy_file(*from, dst, fs::copy_options::overwrite_existing, ec)) return std::nullopt;
            {
                std::fstream f(dst, std::ios::binary | std::ios::in | std::ios::out);
                f.seekp(static_cast<std::streamoff>(d.offset));
                const std::string zeros(d.length, '\0');
                f.write(zeros.data(), static_cast<std::streamsize>(zeros.size()));
            }
            if (sha256File(dst) != manifest->value("uncompressed_sha256", "")) return std::nullopt;
            done[name] = dst;
            return dst;
        }
        return std::nullopt;
    }
    std::string tmp = processTempDir();
    g_cleanup.created = tmp;
    std::string dst = tmp + "/" + name + ".img";
    std::string cmd = "xz -dc " + quote(src) + " > " + quote(dst);
    if (std::system(cmd.c_str()) != 0) return std::nullopt;
    done[name] = dst;
    return dst;
}

std::optional<nlohmann::json> fixtureManifest(const std::string& name) {
    for (const std::string& dir : {dataDir(), std::string(BRANTLOW_SAMPLES_DIR), fixturesDir()}) {
        std::string p = dir + "/" + name + ".json";
        std::ifstream in(p);
        if (in) {
            try {
                return nlohmann::json::parse(in);
            } catch (...) {
                return std::nullopt;
            }
        }
    }
    return std::nullopt;
}

TempDir::TempDir() {
    std::string base = fs::temp_directory_path().string() + "/brantlow-out-XXXXXX";
    std::vector<char> buf(base.begin(), base.end());
    buf.push_back(0);
    const char* d = mkdtemp(buf.data());
    path_ = d ? d : "";
}

TempDir::~TempDir() {
    std::error_code ec;
    if (!path_.empty()) fs::remove_all(path_, ec);
}

namespace {

struct Sha256 {
    uint32_t h[8] = {0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a, 0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19};
    uint8_t block[64];
    size_t fill = 0;
    uint64_t total = 0;

    static uint32_t rotr(uint32_t x, int n) { return (x >> n) | (x << (32 - n)); }

    void compress(const uint8_t* p) {
        static const uint32_t k[64] = {
            0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4, 0xab1c5ed5,
            0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe, 0x9bdc06a7, 0xc19bf174,
            0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f, 0x4a7484aa, 0x5cb0a9dc, 0x76f988da,
            0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7, 0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967,
            0x27b70a85, 0x2e1b2138, 0x4d2c6dfc, 0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85,
            0xa2bfe8a1, 0xa81a664b, 0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070,
            0x19a4c116, 0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
            0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7, 0xc67178f2};
        uint32_t w[64];
        for (int i = 0; i < 16; ++i)
            w[i] = (uint32_t(p[4 * i]) << 24) | (uint32_t(p[4 * i + 1]) << 16) | (uint32_t(p[4 * i + 2]) << 8) |
                   p[4 * i + 3];
        for (int i = 16; i < 64; ++i) {
            uint32_t s0 = rotr(w[i - 15], 7) ^ rotr(w[i - 15], 18) ^ (w[i - 15] >> 3);
            uint32_t s1 = rotr(w[i - 2], 17) ^ rotr(w[i - 2], 19) ^ (w[i - 2] >> 10);
            w[i] = w[i - 16] + s0 + w[i - 7] + s1;
        }
        uint32_t a = h[0], b = h[1], c = h[2], d = h[3], e = h[4], f = h[5], g = h[6], hh = h[7];
        for (int i = 0; i < 64; ++i) {
            uint32_t S1 = rotr(e, 6) ^ rotr(e, 11) ^ rotr(e, 25);
            uint32_t ch = (e & f) ^ (~e & g);
            uint32_t t1 = hh + S1 + ch + k[i] + w[i];
            uint32_t S0 = rotr(a, 2) ^ rotr(a, 13) ^ rotr(a, 22);
            uint32_t mj = (a & b) ^ (a & c) ^ (b & c);
            uint32_t t2 = S0 + mj;
            hh = g; g = f; f = e; e = d + t1; d = c; c = b; b = a; a = t1 + t2;
        }
        h[0] += a; h[1] += b; h[2] += c; h[3] += d; h[4] += e; h[5] += f; h[6] += g; h[7] += hh;
    }
    void update(const uint8_t* p, size_t n) {
        total += n;
        while (n) {
            size_t k = std::min(n, 64 - fill);
            std::memcpy(block + fill, p, k);
            fill += k;
            p += k;
            n -= k;
            if (fill == 64) {
                compress(block);
                fill = 0;
            }
        }
    }
    std::string hex() {
        uint64_t bits = total * 8;
        uint8_t pad = 0x80;
        update(&pad, 1);
        uint8_t z = 0;
        while (fill != 56) update(&z, 1);
        uint8_t len[8];
        for (int i = 0; i < 8; ++i) len[i] = static_cast<uint8_t>(bits >> (56 - 8 * i));
        update(len, 8);
        char out[65];
        for (int i = 0; i < 8; ++i) std::snprintf(out + 8 * i, 9, "%08x", h[i]);
        return out;
    }
};

}  // namespace

std::string sha256Hex(const void* data, size_t n) {
    Sha256 s;
    s.update(static_cast<const uint8_t*>(data), n);
    return s.hex();
}

std::optional<std::string> sha256File(const std::string& path) {
    FILE* f = std::fopen(path.c_str(), "rb");
    if (!f) return std::nullopt;
    Sha256 s;
    std::vector<uint8_t> buf(1 << 16);
    size_t n;
    while ((n = std::fread(buf.data(), 1, buf.size(), f)) > 0) s.update(buf.data(), n);
    std::fclose(f);
    return s.hex();
}

std::map<std::string, std::string> savedTree(const std::string& root) {
    std::map<std::string, std::string> out;
    for (const auto& e : std::filesystem::recursive_directory_iterator(root)) {
        if (e.is_directory()) continue;
        std::ifstream in(e.path(), std::ios::binary);
        std::stringstream bytes;
        bytes << in.rdbuf();
        struct stat st {};
        ::stat(e.path().c_str(), &st);
        out[std::filesystem::relative(e.path(), root).string()] =
            bytes.str() + "|" + std::to_string(st.st_mtim.tv_sec) + "." + std::to_string(st.st_mtim.tv_nsec);
    }
    return out;
}

CliResult runCli(const std::vector<std::string>& args, bool withStderr) {
    std::string cmd = quote(BRANTLOW_CLI_PATH);
    for (const auto& a : args) cmd += " " + quote(a);
    cmd += withStderr ? " 2>&1" : " 2>/dev/null";
    CliResult r;
    FILE* p = popen(cmd.c_str(), "r");
    if (!p) return r;
    std::array<char, 65536> buf;
    size_t n;
    while ((n = std::fread(buf.data(), 1, buf.size(), p)) > 0) r.out.append(buf.data(), n);
    int st = pclose(p);
    r.rc = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
    return r;
}

std::string listedPath(const nlohmann::json& entries, const std::string& manifestPath) {
    for (const auto& e : entries) {
        if (!e.contains("fs_specific") || !e["fs_specific"].contains("recycle_bin_info")) continue;
        const auto& info = e["fs_specific"]["recycle_bin_info"];
        if (info.value("pair_data_file", "") != manifestPath) continue;
        const std::string original = info.value("original_path", "");
        const size_t slash = manifestPath.rfind('/');
        return manifestPath.substr(0, slash == std::string::npos ? 0 : slash + 1) +
               original.substr(original.rfind('\\') + 1);
    }
    return manifestPath;
}

std::vector<nlohmann::json> jsonLines(const std::string& text) {
    std::vector<nlohmann::json> out;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line)) {
        if (line.empty()) continue;
        try {
            out.push_back(nlohmann::json::parse(line));
        } catch (...) {
            ADD_FAILURE() << "not JSON: " << line;
        }
    }
    return out;
}

int64_t isoToUnix(const std::string& iso) {
    struct tm t {};
    if (std::sscanf(iso.c_str(), "%d-%d-%dT%d:%d:%d", &t.tm_year, &t.tm_mon, &t.tm_mday, &t.tm_hour, &t.tm_min,
                    &t.tm_sec) != 6)
        return 0;
    t.tm_year -= 1900;
    t.tm_mon -= 1;
    return static_cast<int64_t>(timegm(&t));
}

}  // namespace brantlow::test
