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

// Folder (layer) → the folders it may include besides itself. Every folder
// under fs/ (but fs/api) is a file system and every folder under layers/
// (but layers/api) a volume layer: they follow the rows "fs/*" and
// "layers/*". Longer prefixes are matched first ("fs/api" before "fs").
const std::map<std::string, std::set<std::string>>& allowed() {
    static const std::set<std::string> below_fs = {"fs/api", "disk", "base", "platform"};
    static const std::set<std::string> below_layers = {"layers/api", "disk", "base", "platform"};
    static const std::set<std::string> engine = {"scan", "fs", "fs/api", "fs/*", "layers", "layers/api",
                                                 "layers/*", "raw", "imaging", "disk", "base", "platform"};
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
        {"fs/*", below_fs},
        {"fs", with(below_fs, {"fs/*"})},
        {"layers/api", {"disk", "base", "platform"}},
        {"layers/*", below_layers},
        {"layers", with(below_layers, {"layers/*"})},
        {"raw", {"disk", "base", "platform"}},
        {"scan", with(engine, {})},
        {"cli", with(engine, {})},
        {"controls", {"base"}},
        // The wizard frame knows volumes and the parser interface, not the
        // subsystems whose pages sit on it.
        {"ui", {"fs/api", "disk", "base", "platform", "controls"}},
        {"scan/gui", with(engine, {"ui", "controls"})},
        {"raw/gui", with(engine, {"ui", "controls"})},
        {"app", with(engine, {"ui", "controls", "scan/gui", "raw/gui"})},
    };
    return table;
}

// Folders that make up the engine: no Qt there.
bool isEngine(const std::string& layer) {
    static const std::set<std::string> e = {"platform", "base", "disk", "imaging", "fs/api", "fs/*", "fs",
                                            "layers/api", "layers/*", "layers", "raw", "scan", "cli", "controls"};
    return e.count(layer) != 0;
}

// The row a repository path belongs to ("fs/ntfs/ntfs.h" -> "fs/*"), or
// empty (tests, bench, fuzz and anything unlisted may include what they
// need). `folder` gets the folder itself ("fs/ntfs"), so that a file
// system's own files may include one another.
std::string layerOf(const std::string& rel, std::string* folder = nullptr) {
    for (const char* family : {"fs/", "layers/"}) {
        const std::string f = family;
        if (rel.rfind(f, 0) != 0) continue;
        const size_t slash = rel.find('/', f.size());
        if (slash == std::string::npos) break;  // a file of the family's own folder
        const std::string sub = rel.substr(f.size(), slash - f.size());
        if (sub == "api") break;
        if (folder) *folder = f + sub;
        return f + "*";
    }
    std::string best;
    for (const auto& [layer, _] : allowed())
        if (layer.find('*') == std::string::npos && rel.rfind(layer + "/", 0) == 0 && layer.size() > best.size())
            best = layer;
    if (folder) *folder = best;
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
        std::string folder;
        const std::string layer = layerOf(rel, &folder);
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
            std::string targetFolder;
            const std::string target = layerOf(m[1].str(), &targetFolder);
            if (target.empty() || targetFolder == folder) continue;
            // One file system (or layer) never includes another.
            if (target == layer && targetFolder != folder) {
                out.push_back({rel, m[1].str()});
                continue;
            }
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
    plant("fs/xfs/xfs.cpp", "#include \"fs/api/parser.h\"\n#include \"fs/xfs/xfs.h\"\n");   // fine
    plant("layers/luks/luks.cpp", "#include \"fs/ntfs/ntfs.h\"\n");                     // a layer reads no file system
    plant("fs/btrfs/btrfs.cpp", "#include \"layers/api/layer_row.h\"\n");              // nor the other way
    auto v = checkTree(root);
    std::set<std::string> files;
    for (const auto& x : v) files.insert(x.file);
    EXPECT_EQ(files, (std::set<std::string>{"disk/partition.cpp", "base/texts.cpp", "fs/ntfs/ntfs.cpp",
                                            "scan/gui/Page.cpp", "scan/save.cpp", "layers/luks/luks.cpp",
                                            "fs/btrfs/btrfs.cpp"}))
        << describe(v);
}

TEST(Layers, TheFrameReachesNoSubsystem) {
    brantlow::test::TempDir tmp;
    const fs::path root = tmp.path();
    auto plant = [&](const std::string& rel, const std::string& text) {
        fs::create_directories((root / rel).parent_path());
        std::ofstream(root / rel) << text;
    };
    plant("ui/Page.cpp", "#include \"disk/partition.h\"\n#include \"fs/api/parser.h\"\n");  // fine
    plant("ui/Pane.cpp", "#include \"scan/type_guess.h\"\n");
    plant("ui/Other.cpp", "#include \"raw/settings.h\"\n#include \"fs/ntfs/ntfs_parser.h\"\n");
    auto v = checkTree(root);
    std::multiset<std::string> files;
    for (const auto& x : v) files.insert(x.file);
    EXPECT_EQ(files, (std::multiset<std::string>{"ui/Pane.cpp", "ui/Other.cpp", "ui/Other.cpp"})) << describe(v);
}
