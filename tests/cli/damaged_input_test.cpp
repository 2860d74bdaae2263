// Damaged and odd inputs through the command-line tool: output bounded by
// what the metadata backs, honest exit statuses, clear errors, and no file
// under its final name that is not complete.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <random>
#include <thread>

#include "base/bytes.h"
#include "tests/support/fixtures.h"
#include "tests/support/tool_images.h"

using namespace brantlow;
using namespace brantlow::test;
namespace fs = std::filesystem;

namespace {

bool contains(const std::string& s, const std::string& what) { return s.find(what) != std::string::npos; }

// Offset of the record's non-resident unnamed $DATA attribute, or npos.
size_t dataAttribute(const std::vector<uint8_t>& img, size_t rec) {
    size_t off = rec + le16(img.data(), img.size(), rec + 20);
    while (off + 64 < rec + 1024) {
        uint32_t type = le32(img.data(), img.size(), off), len = le32(img.data(), img.size(), off + 4);
        if (type == 0xFFFFFFFF || len == 0) break;
        if (type == 0x80 && img[off + 8] == 1 && img[off + 9] == 0) return off;
        off += len;
    }
    return std::string::npos;
}

// The non-resident $DATA attribute of the file record that holds a name
// (UTF-16LE), or npos.
size_t dataOfFileNamed(const std::vector<uint8_t>& img, const std::u16string& name) {
    std::string needle;
    for (char16_t c : name) needle += {static_cast<char>(c & 0xFF), static_cast<char>(c >> 8)};
    std::string_view hay(reinterpret_cast<const char*>(img.data()), img.size());
    for (size_t at = hay.find(needle); at != std::string_view::npos; at = hay.find(needle, at + 1)) {
        size_t rec = at / 1024 * 1024;
        if (std::memcmp(&img[rec], "FILE", 4) != 0) continue;
        size_t attr = dataAttribute(img, rec);
        if (attr != std::string::npos) return attr;
    }
    return std::string::npos;
}

// Files in a folder tree: stored bytes, and whether any is larger than cap.
struct Written {
    uint64_t stored = 0;
    uint64_t largest = 0;
    std::vector<std::string> names;  // paths below the folder
};
Written scanOutput(const std::string& dir) {
    Written w;
    for (auto& e : fs::recursive_directory_iterator(dir)) {
        if (!e.is_regular_file()) continue;
        struct stat st {};
        ::stat(e.path().c_str(), &st);
        w.stored += static_cast<uint64_t>(st.st_blocks) * 512;
        w.largest = std::max<uint64_t>(w.largest, static_cast<uint64_t>(st.st_size));
        w.names.push_back(fs::relative(e.path(), dir).generic_string());
    }
    return w;
}

// Live files of the NTFS sample by path, with their hashes.
std::map<std::string, std::string> liveHashes() {
    std::map<std::string, std::string> out;
    auto m = fixtureManifest("ntfs");
    if (!m) return out;
    for (const auto& e : (*m)["volumes"][0]["entries"])
        if (e["state"] == "live" && e["type"] == "file" && e.contains("sha256"))
            out[e["path"].get<std::string>()] = e["sha256"].get<std::string>();
    return out;
}

// Every file under its final name is complete: a live file of the sample
// with its hash, or a deleted one; no half-written one.
void expectOnlyCompleteFiles(const std::string& dir) {
    const auto live = liveHashes();
    for (const std::string& p : scanOutput(dir).names) {
        const std::string base = fs::path(p).filename().string();
        if (base.rfind(".brantlow-", 0) == 0) continue;  // a temporary left by a kill: never a final name
        auto it = live.find(p);
        if (it != live.end()) { EXPECT_EQ(sha256File(dir + "/" + p).value_or(""), it->second) << p; }
    }
}

// Starts the tool; returns its pid.
pid_t spawn(const std::vector<std::string>& args) {
    pid_t pid = fork();
    if (pid == 0) {
        int null = ::open("/dev/null", O_WRONLY);
        ::dup2(null, 1);
        ::dup2(null, 2);
        std::vector<char*> argv;
        std::string prog = BRANTLOW_CLI_PATH;
        argv.push_back(prog.data());
        std::vector<std::string> copy = args;
        for (auto& a : copy) argv.push_back(a.data());
        argv.push_back(nullptr);
        ::execv(prog.c_str(), argv.data());
        _exit(127);
    }
    return pid;
}

}  // namespace

TEST(DamagedInput, ExitStatusesAndMessagesNameTheCause) {
    TempDir tmp;
    CliResult r = runCli({"list", tmp.path() + "/missing.img"}, true);
    EXPECT_EQ(r.rc, 2);
    EXPECT_TRUE(contains(r.out, "No such file")) << r.out;
    r = runCli({"list", tmp.path()}, true);
    EXPECT_EQ(r.rc, 2);
    EXPECT_TRUE(contains(r.out, "folder")) << r.out;
    const std::string fifo = tmp.path() + "/fifo";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    auto t0 = std::chrono::steady_clock::now();
    r = runCli({"list", fifo}, true);
    EXPECT_EQ(r.rc, 2);
    EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(5));
    r = runCli({"list", fifo, "--bogus"}, true);
    EXPECT_EQ(r.rc, 1);
    EXPECT_TRUE(contains(r.out, "--bogus")) << r.out;

    // Zeros and random bytes hold no file system and no partition table.
    const std::string zeros = writeFile(tmp.path() + "/zeros.img", std::vector<uint8_t>(4 << 20, 0));
    r = runCli({"list", zeros, "--start-sector", "0", "--fs", "NTFS"}, true);
    EXPECT_EQ(r.rc, 3) << r.out;
    std::vector<uint8_t> noise(10 << 20);
    std::mt19937 rng(7);
    for (auto& b : noise) b = static_cast<uint8_t>(rng());
    const std::string random = writeFile(tmp.path() + "/random.img", noise);
    r = runCli({"volumes", random});
    EXPECT_EQ(r.rc, 0);
    EXPECT_EQ(r.out.find('\n'), r.out.rfind('\n')) << "only the header line: " << r.out;
    EXPECT_EQ(runCli({"list", random}).rc, 3);
    // A volume past the end of the source: listed with a warning.
    BRANTLOW_REQUIRE_IMAGE(ntfs, "ntfs");
    std::vector<uint8_t> img = readFile(ntfs);
    img.resize(img.size() / 2);
    const std::string half = writeFile(tmp.path() + "/half.img", img);
    r = runCli({"list", half}, true);
    EXPECT_EQ(r.rc, 0);
    EXPECT_TRUE(contains(r.out, "runs past the end of the source")) << r.out.substr(0, 400);
}

TEST(DamagedInput, HugeSizeFieldWritesNoMoreThanTheVolume) {
    BRANTLOW_REQUIRE_IMAGE(ntfs, "ntfs");
    std::vector<uint8_t> img = readFile(ntfs);
    size_t attr = dataOfFileNamed(img, u"big.dat");
    ASSERT_NE(attr, std::string::npos);
    const uint64_t pib = 1ull << 50;
    for (int i = 0; i < 8; ++i) img[attr + 48 + i] = static_cast<uint8_t>(pib >> (8 * i));  // real size: 1 PiB
    TempDir tmp;
    const std::string copy = writeFile(tmp.path() + "/ntfs.img", img);
    CliResult r = runCli({"recover", copy, "--out", tmp.path() + "/out", "--path", "ROOT/large", "--quiet"}, true);
    EXPECT_EQ(r.rc, 4) << r.out;
    EXPECT_TRUE(contains(r.out, "partial") && contains(r.out, "big.dat")) << r.out;
    Written w = scanOutput(tmp.path() + "/out");
    EXPECT_LE(w.stored, img.size());
    EXPECT_LE(w.largest, img.size());
    EXPECT_TRUE(fs::exists(tmp.path() + "/out/big.dat.partial"));
}

TEST(DamagedInput, FullOutputDiskStopsAndCountsWhatWasNotAttempted) {
    BRANTLOW_REQUIRE_IMAGE(ntfs, "ntfs");
    TempDir tmp;
    const std::string mnt = tmp.path() + "/small";
    fs::create_directories(mnt);
    if (::mount("tmpfs", mnt.c_str(), "tmpfs", 0, "size=1m") != 0)
        GTEST_SKIP() << "cannot mount a 1 MiB tmpfs here: " << std::strerror(errno);
    CliResult r = runCli({"recover", ntfs, "--out", mnt + "/out", "--quiet"}, true);
    Written w = scanOutput(mnt + "/out");
    expectOnlyCompleteFiles(mnt + "/out");
    ::umount(mnt.c_str());
    EXPECT_EQ(r.rc, 4) << r.out;
    EXPECT_TRUE(contains(r.out, "output disk is full")) << r.out;
    EXPECT_TRUE(contains(r.out, "not attempted")) << r.out;
    for (const std::string& n : w.names) EXPECT_NE(n.find(".brantlow-"), 0u) << n;
}

TEST(DamagedInput, InterruptedOrKilledSaveLeavesOnlyCompleteFiles) {
    BRANTLOW_REQUIRE_IMAGE(ntfs, "ntfs");
    for (int sig : {SIGINT, SIGKILL}) {
        TempDir tmp;
        pid_t pid = spawn({"recover", ntfs, "--out", tmp.path() + "/out"});
        ASSERT_GT(pid, 0);
        // Wait until files appear, then stop it.
        for (int i = 0; i < 400 && !fs::exists(tmp.path() + "/out/large"); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        ::kill(pid, sig);
        int st = 0;
        ::waitpid(pid, &st, 0);
        if (sig == SIGINT && WIFEXITED(st) && WEXITSTATUS(st) != 0) { EXPECT_EQ(WEXITSTATUS(st), 130); }
        if (fs::exists(tmp.path() + "/out")) expectOnlyCompleteFiles(tmp.path() + "/out");
    }
}

TEST(DamagedInput, ControlCharactersInNamesReachTheTerminalEscaped) {
    BRANTLOW_REQUIRE_IMAGE(fat16, "fat16");
    std::vector<uint8_t> img = readFile(fat16);
    // The first live long-name slot of the root gets an ESC as its first character.
    const uint32_t root = le16(img.data(), img.size(), 14) * 512u +
                          img[16] * le16(img.data(), img.size(), 22) * 512u;
    size_t slot = 0;
    for (size_t off = root; off + 32 <= img.size() && !slot; off += 32)
        if (img[off + 11] == 0x0F && img[off] != 0xE5 && img[off] != 0) slot = off;
    ASSERT_NE(slot, 0u);
    img[slot + 1] = 0x1B;
    img[slot + 2] = 0;
    TempDir tmp;
    CliResult r = runCli({"list", writeFile(tmp.path() + "/fat16.img", img)});
    EXPECT_EQ(r.rc, 0);
    EXPECT_EQ(r.out.find('\x1B'), std::string::npos);
    EXPECT_TRUE(contains(r.out, "\\x1B")) << r.out.substr(0, 400);
}

// Bit-flipped copies of the NTFS sample: whatever the damage, a recover
// ends, no file is larger than the image, and the whole output stays within
// twice the image (a clean recover already stores about as much as the
// image holds: compressed files expand, and deleted files share clusters
// with the files that reused them).
TEST(DamagedInput, BitFlippedCopiesNeverWriteMoreThanTheImage) {
    BRANTLOW_REQUIRE_IMAGE(ntfs, "ntfs");
    const std::vector<uint8_t> clean = readFile(ntfs);
    std::vector<size_t> records;
    for (size_t off = 0; off + 1024 <= clean.size(); off += 1024)
        if (std::memcmp(&clean[off], "FILE", 4) == 0) records.push_back(off);
    ASSERT_FALSE(records.empty());
    std::mt19937 rng(20261209);
    for (int copy = 0; copy < 20; ++copy) {
        std::vector<uint8_t> img = clean;
        for (int flip = 0; flip < 16; ++flip) {
            size_t rec = records[rng() % records.size()];
            img[rec + 24 + rng() % 1000] ^= static_cast<uint8_t>(1u << (rng() % 8));
        }
        TempDir tmp;
        const std::string path = writeFile(tmp.path() + "/flipped.img", img);
        CliResult r = runCli({"recover", path, "--out", tmp.path() + "/out", "--quiet"});
        EXPECT_TRUE(r.rc == 0 || r.rc == 3 || r.rc == 4) << "copy " << copy << ": " << r.rc;
        if (!fs::exists(tmp.path() + "/out")) continue;
        Written w = scanOutput(tmp.path() + "/out");
        EXPECT_LE(w.stored, 2 * img.size()) << "copy " << copy;
        EXPECT_LE(w.largest, img.size()) << "copy " << copy;
    }
}

// A carve with --out writes its finds while it scans, into files without a
// name; Ctrl-C during the scan leaves none of them behind.
TEST(DamagedInput, CarveInterruptedDuringItsScanLeavesNoFiles) {
    BRANTLOW_REQUIRE_IMAGE(carve, "carve");
    TempDir tmp;
    // The fixture's finds, then 6 GiB of holes: the scan is still reading
    // when the first finds are written.
    const std::string img = tmp.path() + "/long.img";
    fs::copy_file(carve, img);
    fs::resize_file(img, 6ull << 30);
    const std::string out = tmp.path() + "/out";
    pid_t pid = spawn({"carve", img, "--out", out});
    ASSERT_GT(pid, 0);
    // Wait for a find written early: an unnamed file the tool holds open.
    bool held = false;
    for (int i = 0; i < 5000 && !held; ++i) {
        std::error_code ec;
        for (const auto& e : fs::directory_iterator("/proc/" + std::to_string(pid) + "/fd", ec)) {
            char target[4096];
            const ssize_t n = ::readlink(e.path().c_str(), target, sizeof target - 1);
            if (n > 0 && std::string(target, static_cast<size_t>(n)).find(out + "/#") == 0) held = true;
        }
        if (!held) std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    ::kill(pid, SIGINT);
    int st = 0;
    ::waitpid(pid, &st, 0);
    if (!held) GTEST_SKIP() << "no find was written before the scan ended";
    ASSERT_TRUE(WIFEXITED(st));
    EXPECT_EQ(WEXITSTATUS(st), 130);
    for (const auto& e : fs::recursive_directory_iterator(out))
        EXPECT_FALSE(e.is_regular_file()) << e.path();
}
