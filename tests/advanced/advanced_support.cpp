#include "tests/advanced/advanced_support.h"

#include <filesystem>
#include <fstream>
#include <iterator>

namespace brantlow::test {

bool damagedCopy(const std::string& src, const std::string& dst,
                 const std::vector<std::pair<uint64_t, uint64_t>>& zeroRanges) {
    std::error_code ec;
    std::filesystem::copy_file(src, dst, std::filesystem::copy_options::overwrite_existing, ec);
    if (ec) return false;
    std::fstream f(dst, std::ios::in | std::ios::out | std::ios::binary);
    if (!f) return false;
    for (const auto& [off, len] : zeroRanges) {
        std::string zeros(len, '\0');
        f.seekp(static_cast<std::streamoff>(off));
        f.write(zeros.data(), static_cast<std::streamsize>(zeros.size()));
    }
    return static_cast<bool>(f);
}

Coverage measure(const std::string& image, const std::string& manifestName, const std::string& fs,
                 const std::string& mode, const std::string& state, const std::vector<std::string>& extra) {
    Coverage c;
    auto manifest = fixtureManifest(manifestName);
    if (!manifest) return c;
    std::vector<std::string> args = {"list", image, "--start-sector", "0", "--fs", fs, "--mode", mode, "--json"};
    args.insert(args.end(), extra.begin(), extra.end());
    CliResult list = runCli(args);
    std::set<std::string> paths, names;
    for (const auto& r : jsonLines(list.out)) {
        paths.insert(r["path"].get<std::string>());
        names.insert(r["name"].get<std::string>());
    }
    TempDir out;
    args = {"recover", image, "--start-sector", "0", "--fs", fs, "--mode", mode, "--out", out.path(), "--quiet"};
    args.insert(args.end(), extra.begin(), extra.end());
    runCli(args);
    std::set<std::string> hashes;
    for (const auto& f : std::filesystem::recursive_directory_iterator(out.path()))
        if (f.is_regular_file())
            if (auto h = sha256File(f.path().string())) hashes.insert(*h);
    for (const auto& v : (*manifest)["volumes"])
        for (const auto& e : v["entries"]) {
            if (e["state"] != state || e["type"] != "file") continue;
            if (state != "live" && !e.value("content_intact_on_disk", false)) continue;
            const std::string p = e["path"];
            const std::string n = p.substr(p.rfind('/') == std::string::npos ? 0 : p.rfind('/') + 1);
            ++c.entries;
            // Listings show paths under "ROOT/" in no form; the CLI path has
            // no prefix.
            if (paths.count(p)) ++c.byPath;
            if (names.count(n)) ++c.byName;
            if (hashes.count(e["sha256"].get<std::string>()))
                ++c.byContent;
            else
                c.missing.push_back(p);
        }
    return c;
}

}  // namespace brantlow::test
