// Test helpers: disk images made by real tools (tests/data, or the shared
// fixture corpus through BRANTLOW_FIXTURES), their manifests, temporary
// folders, SHA-256 and running the command-line tool.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <map>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

namespace brantlow::test {

// The shared fixture folder: $BRANTLOW_FIXTURES, else ../shared/fixtures.
std::string fixturesDir();
// tests/data in the source tree.
std::string dataDir();

// Decompresses <name>.img.xz (tests/data first, then samples, then the
// fixture folder) into a per-process temporary folder, once; a corpus image
// that is a shipped one with bytes zeroed is made from it. nullopt when
// absent.
std::optional<std::string> fixtureImage(const std::string& name);
// <name>.json next to the image.
std::optional<nlohmann::json> fixtureManifest(const std::string& name);

// Skips the test with a clear message when the image is missing.
#define BRANTLOW_REQUIRE_IMAGE(var, name)                                                               \
    auto var##_opt = ::brantlow::test::fixtureImage(name);                                             \
    if (!var##_opt) GTEST_SKIP() << "fixture image " << (name) << " not found (set BRANTLOW_FIXTURES)"; \
    const std::string var = *var##_opt

class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::string& path() const { return path_; }

private:
    std::string path_;
};

std::string sha256Hex(const void* data, size_t n);
std::optional<std::string> sha256File(const std::string& path);

// Every file under root, by relative path: its bytes, "|", and its
// modification time (seconds.nanoseconds), to compare two saved trees.
std::map<std::string, std::string> savedTree(const std::string& root);

struct CliResult {
    int rc = -1;
    std::string out;
};
// Runs brantlow-cli with the given arguments (shell-quoted here); out holds
// its stdout, and its stderr too when asked.
CliResult runCli(const std::vector<std::string>& args, bool withStderr = false);

// Where the program lists a manifest path: recycle-bin data files ("$R…")
// show under the former name their "$I" partner records; other paths as
// they are.
std::string listedPath(const nlohmann::json& entries, const std::string& manifestPath);

// Parses "one JSON object per line" output.
std::vector<nlohmann::json> jsonLines(const std::string& text);

// Seconds since 1970 of "YYYY-MM-DDTHH:MM:SSZ".
int64_t isoToUnix(const std::string& iso);

}  // namespace brantlow::test
