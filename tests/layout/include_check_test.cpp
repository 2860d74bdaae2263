// Layers point one way: every #include of the program's own headers must
// point down the table below (or stay in its own folder), and no engine
// folder includes Qt. The table is the one list of allowed dependencies.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <regex>
#include <set>
#include <string>
#include <vector>

#include "tests/support/fixtures.h"

namespace fs = std::filesystem;

namespace {

// Folder (layer) → the folders it may include besides itself. Longer
// prefixes are matched first ("fs/api" before "fs").
const std::map<std::string, std::set<std::string>>& allowed() {
    static const std::set<std::string> below_fs = {"fs/api", "disk", "base", "platform"};
    static const std::set<std::string> engine = {"scan", "fs", "fs/api", "fs/ntfs", "fs/fat", "fs/exfat",
                                                 "fs/ext", "fs/hfsplus", "raw", "imaging", "disk", "base", "platform"};
    auto with = [](std::set<std::string> s, std::initializer_list<const char*> more) {
        for (const char* m : more) s.insert(m);
        return s;
    };
    static const std::map<std::string, std::set<std::string>> table = {
        {"platform", {}},
        {"base", {}},
        {"disk", {"base", "platform"}},
        {"imaging", {"disk", "base", "platform"}},
        {"fs/api", {"disk", "base", "platform"}},
        {"fs/ntfs", below_fs},
        {"fs/fat", below_fs},
        {"fs/exfat", below_fs},
        {"fs/ext", below_fs},
        {"fs/hfsplus", below_fs},
        {"fs", with(below_fs, {"fs/ntfs", "fs/fat", "fs/exfat", "fs/ext", "fs/hfsplus"})},
        {"raw", {"disk", "base", "platform"}},
        {"scan", with(engine, {})},
        {"cli", with(engine, {})},
        {"controls", {"base"}},
        {"ui", with(engine, {"controls"})},
        {"scan/gui", with(engine, {"ui", "controls"})},
        {"raw/gui", with(engine, {"ui", "controls"})},
        {"app", with(engine, {"ui", "controls", "scan/gui", "raw/gui"})},
    };
    return table;
}

// Folders that make up the engine: no Qt there.
bool isEngine(const std::string& layer) {
    static const std::set<std::string> e = {"platform", "base", "disk", "imaging", "fs/api", "fs/ntfs", "fs/fat", "fs/exfat",
                                            "fs/ext", "fs/hfsplus", "fs", "raw", "scan", "cli", "controls"};
    return e.count(layer) != 0;
}

// The layer a repository path belongs to, or empty (tests, bench, fuzz
// and anything unlisted may include what they need).
std::string layerOf(const std::string& rel) {
    std::string best;
    for (const auto& [layer, _] : allowed())
        if (rel.rfind(layer + "/", 0) == 0 && layer.size() > best.size()) best = layer;
    return best;
}

struct Violation {
    std::string file, include;
};

std::vector<Violation> checkTree(const fs::path& root) {
    std::vector<Violation> out;
    static const std::regex own(R"re(^\s*#\s*include\s*"([^"]+)")re");
    static const std::regex qt(R"(^\s*#\s*include\s*<Q[A-Za-z]*>)");
    for (auto it = fs::recursive_directory_iterator(root); it != fs::recursive_directory_iterator(); ++it) {
        const std::string name = it->path().filename().string();
        if (it->is_directory() && (name.rfind("build", 0) == 0 || name == ".git" || name == "out")) {
            it.disable_recursion_pending();
            continue;
        }
        const std::string ext = it->path().extension().string();
        if (!it->is_regular_file() || (ext != ".h" && ext != ".cpp")) continue;
        const std::string rel = fs::relative(it->path(), root).generic_string();
        const std::string layer = layerOf(rel);
        if (layer.empty()) continue;
        std::ifstream in(it->path());
        std::string line;
        std::smatch m;
        while (std::getline(in, line)) {
            if (isEngine(layer) && std::regex_search(line, qt) && layer != "controls") {
                out.push_back({rel, line});
                continue;
            }
            if (!std::regex_search(line, m, own)) continue;
            const std::string target = layerOf(m[1].str());
            if (target.empty() || target == layer) continue;
            if (!allowed().at(layer).count(target)) out.push_back({rel, m[1].str()});
        }
    }
    return out;
}

std::string describe(const std::vector<Violation>& v) {
    std::string s;
    for (const auto& x : v) s += "  " + x.file + " includes " + x.include + "\n";
    return s;
}

}  // namespace

TEST(Layers, EveryIncludePointsDown) {
    auto v = checkTree(BRANTLOW_SOURCE_DIR);
    EXPECT_TRUE(v.empty()) << "wrong-way includes:\n" << describe(v);
}

TEST(Layers, PlantedWrongWayIncludesAreFound) {
    brantlow::test::TempDir tmp;
    const fs::path root = tmp.path();
    auto plant = [&](const std::string& rel, const std::string& text) {
        fs::create_directories((root / rel).parent_path());
        std::ofstream(root / rel) << text;
    };
    plant("disk/reader.cpp", "#include \"disk/reader.h\"\n#include \"base/bytes.h\"\n");  // fine
    plant("disk/partition.cpp", "#include \"fs/api/parser.h\"\n");                       // up
    plant("base/texts.cpp", "#include \"platform/files.h\"\n");                          // sideways
    plant("fs/ntfs/ntfs.cpp", "#include \"fs/fat/fat_parser.h\"\n");                     // sideways
    plant("scan/gui/Page.cpp", "#include \"app/Pages.h\"\n");                            // up
    plant("scan/save.cpp", "#include <QString>\n");                                      // Qt in the engine
    auto v = checkTree(root);
    std::set<std::string> files;
    for (const auto& x : v) files.insert(x.file);
    EXPECT_EQ(files, (std::set<std::string>{"disk/partition.cpp", "base/texts.cpp", "fs/ntfs/ntfs.cpp",
                                            "scan/gui/Page.cpp", "scan/save.cpp"}))
        << describe(v);
}
