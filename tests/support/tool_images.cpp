#include "tests/support/tool_images.h"

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>

#include "tests/support/fixtures.h"

namespace fs = std::filesystem;

namespace brantlow::test {

int sh(const std::string& cmd) { return std::system((cmd + " >/dev/null 2>&1").c_str()); }

std::string capture(const std::string& cmd) {
    std::string out;
    if (FILE* p = popen(cmd.c_str(), "r")) {
        char buf[4096];
        size_t n;
        while ((n = fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
        pclose(p);
    }
    return out;
}

std::vector<uint8_t> readFile(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    return std::vector<uint8_t>((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
}

std::string writeFile(const std::string& path, const std::vector<uint8_t>& data) {
    fs::create_directories(fs::path(path).parent_path());
    std::ofstream f(path, std::ios::binary);
    f.write(reinterpret_cast<const char*>(data.data()), static_cast<std::streamsize>(data.size()));
    return path;
}

std::vector<uint8_t> randomBytes(size_t n, uint32_t seed) {
    std::mt19937 r(seed);
    std::vector<uint8_t> v(n);
    for (auto& b : v) b = static_cast<uint8_t>(r());
    return v;
}

void patch(const std::string& img, uint64_t off, const std::vector<uint8_t>& bytes) {
    std::fstream f(img, std::ios::in | std::ios::out | std::ios::binary);
    f.seekp(static_cast<std::streamoff>(off));
    f.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

std::vector<uint8_t> readAt(const std::string& img, uint64_t off, size_t n) {
    std::vector<uint8_t> b(n);
    std::ifstream f(img, std::ios::binary);
    f.seekg(static_cast<std::streamoff>(off));
    f.read(reinterpret_cast<char*>(b.data()), static_cast<std::streamsize>(n));
    return b;
}

std::map<std::string, nlohmann::json> listByPath(const std::vector<std::string>& args) {
    CliResult r = runCli(args);
    EXPECT_EQ(r.rc, 0) << args.at(1);
    std::map<std::string, nlohmann::json> m;
    for (const nlohmann::json& row : jsonLines(r.out)) {
        const std::string p = row["path"];
        EXPECT_TRUE(m.emplace(p, row).second) << "listed twice: " << p;
    }
    return m;
}

std::map<std::string, std::vector<std::string>> filesByHash(const std::string& dir) {
    std::map<std::string, std::vector<std::string>> out;
    for (const auto& f : fs::recursive_directory_iterator(dir)) {
        if (!f.is_regular_file()) continue;
        auto sha = sha256File(f.path().string());
        if (sha) out[*sha].push_back(fs::relative(f.path(), dir).string());
    }
    return out;
}

bool mbrDiskWith(const std::string& disk, const std::string& img, uint64_t diskMiB, uint64_t sectors) {
    return std::system(("truncate -s " + std::to_string(diskMiB) + "M " + disk +
                        " && printf 'label: dos\\nstart=2048, size=" + std::to_string(sectors) +
                        ", type=83\\n' | sfdisk -q " + disk + " && dd if=" + img + " of=" + disk +
                        " bs=512 seek=2048 conv=notrunc status=none")
                           .c_str()) == 0;
}

}  // namespace brantlow::test
