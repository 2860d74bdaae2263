// A file system or a volume layer is one folder plus its table row: no
// other folder spells out its names. Every string literal of the program's
// own code outside fs/ and layers/ is checked against the names the two
// tables know (tests, benchmarks and fuzz targets, which exercise one file
// system at a time, are left out).
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "fs/filesystems.h"
#include "layers/layers.h"
#include "tests/support/fixtures.h"

namespace fs = std::filesystem;

namespace {

// The string literals of a C++ source (comments and character literals
// skipped; raw strings read to their delimiter).
std::vector<std::string> stringLiterals(const std::string& src) {
    std::vector<std::string> out;
    size_t i = 0;
    const size_t n = src.size();
    while (i < n) {
        const char c = src[i];
        if (c == '/' && i + 1 < n && src[i + 1] == '/') {
            i = src.find('\n', i);
            if (i == std::string::npos) break;
        } else if (c == '/' && i + 1 < n && src[i + 1] == '*') {
            i = src.find("*/", i + 2);
            if (i == std::string::npos) break;
            i += 2;
        } else if (c == '\'') {
            for (++i; i < n && src[i] != '\''; ++i)
                if (src[i] == '\\') ++i;
            ++i;
        } else if (c == 'R' && i + 1 < n && src[i + 1] == '"' && (i == 0 || !std::isalnum(static_cast<unsigned char>(src[i - 1])))) {
            const size_t open = src.find('(', i + 2);
            if (open == std::string::npos) break;
            const std::string close = ")" + src.substr(i + 2, open - i - 2) + "\"";
            const size_t end = src.find(close, open + 1);
            if (end == std::string::npos) break;
            out.push_back(src.substr(open + 1, end - open - 1));
            i = end + close.size();
        } else if (c == '"') {
            std::string lit;
            for (++i; i < n && src[i] != '"'; ++i) {
                if (src[i] == '\\' && i + 1 < n) lit += src[i++];
                lit += src[i];
            }
            out.push_back(lit);
            ++i;
        } else {
            ++i;
        }
    }
    return out;
}

std::string lower(std::string s) {
    for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

bool wordChar(char c) { return std::isalnum(static_cast<unsigned char>(c)) || c == '+' || c == '_'; }

// A name in a literal: the whole literal in any case, or a word of it as
// the table spells it (names with a capital letter and four characters or
// more: "NTFS", "FAT32", "extX", "HFS+").
std::string nameIn(const std::string& lit, const std::vector<std::string>& names) {
    for (const std::string& name : names) {
        if (lower(lit) == lower(name)) return name;
        bool capital = false;
        for (char c : name) capital |= std::isupper(static_cast<unsigned char>(c)) != 0;
        if (!capital || name.size() < 4) continue;
        for (size_t at = lit.find(name); at != std::string::npos; at = lit.find(name, at + 1)) {
            const bool before = at == 0 || !wordChar(lit[at - 1]);
            const bool after = at + name.size() >= lit.size() || !wordChar(lit[at + name.size()]);
            if (before && after) return name;
        }
    }
    return {};
}

std::vector<std::string> tableNames() {
    std::vector<std::string> names = brantlow::fileSystemNames();
    for (const std::string& n : brantlow::layerNames()) names.push_back(n);
    return names;
}

// "file: "literal" (name)" for every literal naming a file system or a
// layer outside fs/, layers/ and tests/.
std::vector<std::string> findNames(const fs::path& root, const std::vector<std::string>& names) {
    std::vector<std::string> out;
    for (auto it = fs::recursive_directory_iterator(root); it != fs::recursive_directory_iterator(); ++it) {
        const std::string name = it->path().filename().string();
        const std::string rel = fs::relative(it->path(), root).generic_string();
        if (it->is_directory() && (name.rfind("build", 0) == 0 || name.front() == '.' || name == "out" ||
                                   rel == "fs" || rel == "layers" || rel == "tests" || rel == "bench" ||
                                   rel == "fuzz")) {
            it.disable_recursion_pending();
            continue;
        }
        const std::string ext = it->path().extension().string();
        if (!it->is_regular_file() || (ext != ".h" && ext != ".cpp")) continue;
        std::ifstream in(it->path());
        std::stringstream text;
        text << in.rdbuf();
        for (const std::string& lit : stringLiterals(text.str())) {
            const std::string found = nameIn(lit, names);
            if (!found.empty()) out.push_back(rel + ": \"" + lit + "\" (" + found + ")");
        }
    }
    return out;
}

std::string join(const std::vector<std::string>& v) {
    std::string s;
    for (const auto& x : v) s += "  " + x + "\n";
    return s;
}

}  // namespace

TEST(Names, NoFileSystemOrLayerIsNamedOutsideItsFolder) {
    const auto found = findNames(BRANTLOW_SOURCE_DIR, tableNames());
    EXPECT_TRUE(found.empty()) << "names outside fs/ and layers/ (ask the tables instead):\n" << join(found);
}

TEST(Names, PlantedNamesAreFound) {
    brantlow::test::TempDir tmp;
    const fs::path root = tmp.path();
    auto plant = [&](const std::string& rel, const std::string& text) {
        fs::create_directories((root / rel).parent_path());
        std::ofstream(root / rel) << text;
    };
    plant("app/Page.cpp", "if (fs == \"NTFS\") return;\n");                              // a name
    plant("cli/x.cpp", "std::cout << \"found HFS+ volume\";\n");                          // a name in a text
    plant("disk/y.cpp", "// NTFS keeps a backup boot sector\nbytesAt(b, 3, \"NTFS    \");\n");  // a signature
    plant("disk/v.cpp", "// NTFS keeps a backup boot sector\n");                         // a comment is fine
    plant("scan/z.cpp", "auto s = R\"(read as extX)\";\n");                                // a raw string
    plant("fs/ntfs/ntfs_row.cpp", "p.listName = \"NTFS\";\n");                             // its own folder
    plant("raw/w.cpp", "const char* t = \"FAT32ENTRY\"; char c = '\"';\n");               // not a word
    std::set<std::string> files;
    for (const std::string& f : findNames(root, tableNames())) files.insert(f.substr(0, f.find(':')));
    EXPECT_EQ(files, (std::set<std::string>{"app/Page.cpp", "cli/x.cpp", "disk/y.cpp", "scan/z.cpp"}));
}
