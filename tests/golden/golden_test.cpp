// Every folder under tests/golden with a case.json is one case: the
// command-line tool runs `volumes`, `list` and `recover` over the case's
// image and what it prints, writes and reports must match the expected files
// beside case.json byte for byte. BRANTLOW_GOLDEN_UPDATE=1 writes the
// expected files from the tool's output instead (tests/golden/update.sh).
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "tests/support/fixtures.h"

using namespace brantlow::test;
using nlohmann::json;
namespace fs = std::filesystem;

namespace {

std::string goldenDir() { return std::string(BRANTLOW_SOURCE_DIR) + "/tests/golden"; }

std::vector<std::string> caseNames() {
    std::vector<std::string> names;
    std::error_code ec;
    for (const auto& d : fs::directory_iterator(goldenDir(), ec))
        if (fs::exists(d.path() / "case.json")) names.push_back(d.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

std::string readText(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

std::vector<std::string> strings(const json& c, const char* key) {
    std::vector<std::string> v;
    if (c.contains(key))
        for (const auto& s : c[key]) v.push_back(s.get<std::string>());
    return v;
}

std::string replaceAll(std::string s, const std::string& from, const std::string& to) {
    for (size_t i = s.find(from); i != std::string::npos; i = s.find(from, i + to.size())) s.replace(i, from.size(), to);
    return s;
}

std::string sortedLines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string l; std::getline(in, l);) lines.push_back(l);
    std::sort(lines.begin(), lines.end());
    std::string out;
    for (const auto& l : lines) out += l + "\n";
    return out;
}

// One line a written file, sorted: path under the output folder, sha256,
// size and modification time (UTC), separated by tabs.
std::string writtenFiles(const std::string& out) {
    std::string lines;
    std::error_code ec;
    for (auto it = fs::recursive_directory_iterator(out, ec); it != fs::recursive_directory_iterator(); ++it) {
        if (!it->is_regular_file()) continue;
        struct stat st {};
        ::stat(it->path().c_str(), &st);
        char when[32];
        std::strftime(when, sizeof when, "%Y-%m-%dT%H:%M:%SZ", std::gmtime(&st.st_mtime));
        lines += fs::relative(it->path(), out).string() + "\t" + sha256File(it->path().string()).value_or("?") + "\t" +
                 std::to_string(st.st_size) + "\t" + when + "\n";
    }
    return sortedLines(lines);
}

// Where the first difference is, with both lines.
std::string firstDifference(const std::string& want, const std::string& got) {
    std::istringstream a(want), b(got);
    std::string la, lb;
    for (int n = 1;; ++n) {
        const bool ea = !std::getline(a, la), eb = !std::getline(b, lb);
        if (ea && eb) return "same";
        if (ea || eb || la != lb)
            return "line " + std::to_string(n) + "\n  expected: " + (ea ? "<end>" : la) + "\n  actual:   " +
                   (eb ? "<end>" : lb);
    }
}

class Golden : public ::testing::TestWithParam<std::string> {};

TEST_P(Golden, OutputMatchesTheCaseFolder) {
    const fs::path dir = fs::path(goldenDir()) / GetParam();
    const json c = json::parse(readText(dir / "case.json"));
    const std::string imageName = c.at("image");
    // The image: in the case folder, else tests/data or the fixture corpus.
    TempDir tmp;
    std::string img;
    if (fs::exists(dir / (imageName + ".img.xz"))) {
        img = tmp.path() + "/" + imageName + ".img";
        const std::string cmd = "xz -dc '" + (dir / (imageName + ".img.xz")).string() + "' > '" + img + "'";
        ASSERT_EQ(std::system(cmd.c_str()), 0);
    } else {
        BRANTLOW_REQUIRE_IMAGE(found, imageName);
        img = found;
    }
    setenv("TZ", "UTC", 1);
    const std::vector<std::string> select = strings(c, "select");
    std::vector<std::string> commands = strings(c, "commands");
    if (commands.empty()) commands = {"volumes", "list", "recover"};

    std::vector<std::pair<std::string, std::string>> produced;  // file name, content
    json status = json::object();
    for (const std::string& cmd : commands) {
        std::vector<std::string> args{cmd, img};
        const std::vector<std::string> extra = strings(c, cmd.c_str());
        if (cmd == "volumes") {
            args.push_back("--json");
            args.insert(args.end(), extra.begin(), extra.end());
            CliResult r = runCli(args);
            status[cmd] = r.rc;
            produced.emplace_back("volumes.jsonl", r.out);
        } else if (cmd == "list") {
            args.insert(args.end(), select.begin(), select.end());
            args.insert(args.end(), {"--json", "--quiet"});
            args.insert(args.end(), extra.begin(), extra.end());
            CliResult r = runCli(args);
            status[cmd] = r.rc;
            produced.emplace_back("list.jsonl", r.out);
        } else if (cmd == "recover") {
            const std::string out = tmp.path() + "/out", report = tmp.path() + "/report.jsonl";
            args.insert(args.end(), select.begin(), select.end());
            args.insert(args.end(), {"--out", out, "--report", report, "--quiet"});
            args.insert(args.end(), extra.begin(), extra.end());
            CliResult r = runCli(args);
            status[cmd] = r.rc;
            produced.emplace_back("recover.stdout.txt", replaceAll(r.out, out, "OUT"));
            produced.emplace_back("recover.report.jsonl", sortedLines(replaceAll(readText(report), out, "OUT")));
            produced.emplace_back("recover.files.txt", writtenFiles(out));
        } else {
            FAIL() << "unknown command in case.json: " << cmd;
        }
    }
    produced.emplace_back("status.json", status.dump(1) + "\n");

    const char* update = std::getenv("BRANTLOW_GOLDEN_UPDATE");
    for (const auto& [name, text] : produced) {
        if (update && *update == '1') {
            std::ofstream(dir / name, std::ios::binary | std::ios::trunc) << text;
            continue;
        }
        ASSERT_TRUE(fs::exists(dir / name)) << name << " missing: run tests/golden/update.sh " << GetParam();
        const std::string want = readText(dir / name);
        EXPECT_EQ(want, text) << GetParam() << "/" << name << " differs at " << firstDifference(want, text);
    }
}

INSTANTIATE_TEST_SUITE_P(Cases, Golden, ::testing::ValuesIn(caseNames()),
                         [](const ::testing::TestParamInfo<std::string>& i) {
                             std::string n = i.param;
                             for (char& ch : n)
                                 if (!std::isalnum(static_cast<unsigned char>(ch))) ch = '_';
                             return n;
                         });
GTEST_ALLOW_UNINSTANTIATED_PARAMETERIZED_TEST(Golden);

}  // namespace
