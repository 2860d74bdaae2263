// A carve and a sector scan killed (SIGKILL) in the middle of a run with
// --session go on from their last checkpoint: the rerun reads only what was
// not done and ends with what an uninterrupted run gives. The images are
// made by real tools (mkfs.fat, mcopy, sfdisk, mke2fs, mkntfs).
#include <gtest/gtest.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <thread>

#include "scan/session/session_db.h"
#include "tests/support/fixtures.h"

using namespace brantlow;
using namespace brantlow::test;

namespace {

bool sh(const std::string& cmd) { return std::system(("(" + cmd + ") >/dev/null 2>&1").c_str()) == 0; }
std::string q(const std::string& s) { return "'" + s + "'"; }

std::string readOutput(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

// Where the job's checkpoint stands (0: none yet).
int64_t checkpointAt(const std::string& ses) {
    session::Database db;
    if (!db.open(ses, false)) return 0;
    int64_t at = 0;
    db.exec("PRAGMA busy_timeout=500");
    return db.queryInt("SELECT position FROM progress", at) ? at : 0;
}

// Starts brantlow-cli with args, its reads held to `rate` bytes a second and
// checkpoints every 100 ms; kills it (SIGKILL) once a checkpoint at or past
// `from` is stored. False when the run ended before.
bool killAfterCheckpoint(const std::vector<std::string>& args, const std::string& ses, const std::string& rate,
                         int64_t from) {
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::setenv("BRANTLOW_READ_LIMIT", rate.c_str(), 1);
        ::setenv("BRANTLOW_CHECKPOINT_MS", "100", 1);
        std::vector<char*> argv{const_cast<char*>(BRANTLOW_CLI_PATH)};
        for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        const int devnull = ::open("/dev/null", O_WRONLY);
        ::dup2(devnull, 1);
        ::dup2(devnull, 2);
        ::execv(BRANTLOW_CLI_PATH, argv.data());
        ::_exit(127);
    }
    bool killed = false;
    for (int i = 0; i < 600; ++i) {
        int st = 0;
        if (::waitpid(pid, &st, WNOHANG) == pid) return false;
        if (checkpointAt(ses) >= from) {
            ::kill(pid, SIGKILL);
            killed = true;
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    ::waitpid(pid, nullptr, 0);
    return killed;
}

uint64_t bytesRead(const std::string& err) {
    std::smatch m;
    static const std::regex re("read ([0-9]+) bytes from");
    return std::regex_search(err, m, re) ? std::stoull(m[1]) : 0;
}

// The bytes a run read and what it said on stderr, with stdout apart.
struct Outcome {
    int rc;
    std::string out, err;
};
Outcome run(const std::vector<std::string>& args) {
    TempDir t;
    std::string cmd = "BRANTLOW_READ_STATS=1 " + q(BRANTLOW_CLI_PATH);
    for (const auto& a : args) cmd += " " + q(a);
    cmd += " >" + t.path() + "/o 2>" + t.path() + "/e";
    const int st = std::system(cmd.c_str());
    return {WIFEXITED(st) ? WEXITSTATUS(st) : -1, readOutput(t.path() + "/o"), readOutput(t.path() + "/e")};
}

TEST(ResumedScans, AKilledCarveGoesOnFromItsLastCheckpoint) {
    BRANTLOW_REQUIRE_IMAGE(carve, "carve");
    TempDir tmp;
    const std::string img = tmp.path() + "/disk.img", ses = tmp.path() + "/carve.session";
    // 128 MiB of FAT32 holding the carving fixture twice.
    if (!sh("mkfs.fat -C -F 32 " + q(img) + " 131072 && mcopy -i " + q(img) + " " + q(carve) + " ::/a.img && mcopy -i " +
            q(img) + " " + q(carve) + " ::/b.img"))
        GTEST_SKIP() << "mkfs.fat and mcopy are needed";
    const Outcome whole = run({"carve", img, "--json", "--quiet"});
    ASSERT_EQ(whole.rc, 0);
    ASSERT_GT(whole.out.size(), 0u);
    ASSERT_TRUE(killAfterCheckpoint({"carve", img, "--json", "--quiet", "--session", ses}, ses, "25000000", 32 << 20))
        << "the carve ended before its first checkpoint";
    const int64_t at = checkpointAt(ses);
    ASSERT_GT(at, 0);
    const Outcome resumed = run({"carve", img, "--json", "--quiet", "--session", ses});
    EXPECT_EQ(resumed.rc, 0);
    EXPECT_EQ(resumed.out, whole.out);
    EXPECT_NE(resumed.err.find("going on from byte " + std::to_string(at)), std::string::npos) << resumed.err;
    // Only the rest (and the 2 MiB that name the source; a few read blocks
    // again around the checkpoint) is read.
    EXPECT_LE(bytesRead(resumed.err), bytesRead(whole.err) - static_cast<uint64_t>(at) + (4u << 20)) << resumed.err;
    // Finished: shown again without reading the disk.
    const Outcome again = run({"carve", img, "--json", "--quiet", "--session", ses});
    EXPECT_EQ(again.out, whole.out);
    EXPECT_EQ(bytesRead(again.err), 2u << 20) << again.err;
}

TEST(ResumedScans, AKilledSectorScanGoesOnFromItsLastCheckpoint) {
    TempDir tmp;
    const std::string img = tmp.path() + "/disk.img", part = tmp.path() + "/ntfs.img";
    // Four volumes whose partition table is then wiped.
    if (!sh("truncate -s 160M " + q(img) + " && printf 'label: dos\\nstart=2048, size=40960, type=c\\nstart=45056, "
            "size=61440, type=83\\nstart=108544, size=65536, type=7\\nstart=176128, size=40960, type=c\\n' | sfdisk -q " +
            q(img) + " && mkfs.fat -F 32 --offset 2048 " + q(img) + " 20480 && mke2fs -q -F -t ext4 -E offset=" +
            std::to_string(45056 * 512) + " " + q(img) + " 30720k && truncate -s 32M " + q(part) +
            " && mkntfs -q -F -Q -p 108544 -H 255 -S 63 " + q(part) + " && dd if=" + q(part) + " of=" + q(img) +
            " bs=512 seek=108544 conv=notrunc && mkfs.fat -F 16 --offset 176128 " + q(img) +
            " 20480 && dd if=/dev/zero of=" + q(img) + " bs=512 count=1 conv=notrunc"))
        GTEST_SKIP() << "sfdisk, mkfs.fat, mke2fs and mkntfs are needed";
    for (const char* mode : {"--quiet", "--no-skip"}) {
        const std::string ses = tmp.path() + "/scan" + mode + ".session";
        const Outcome whole = run({"volumes", img, "--scan", "--quiet", mode});
        ASSERT_EQ(whole.rc, 0);
        ASSERT_NE(whole.out.find("NTFS"), std::string::npos) << whole.out;
        ASSERT_TRUE(killAfterCheckpoint({"volumes", img, "--scan", "--quiet", mode, "--session", ses}, ses, "20000000", 60000))
            << mode << ": the scan ended before its first checkpoint";
        const int64_t at = checkpointAt(ses);
        const Outcome resumed = run({"volumes", img, "--scan", "--quiet", mode, "--session", ses});
        EXPECT_EQ(resumed.rc, 0);
        EXPECT_EQ(resumed.out, whole.out) << mode;
        EXPECT_NE(resumed.err.find("going on from sector " + std::to_string(at)), std::string::npos) << resumed.err;
        // What a scan of the sectors from there on reads (the bodies of the
        // volumes found are skipped), and the 2 MiB that name the source.
        const Outcome rest = run({"volumes", img, "--scan", "--quiet", mode, "--start", std::to_string(at)});
        EXPECT_LE(bytesRead(resumed.err), bytesRead(rest.err) + (2u << 20)) << mode << " " << resumed.err;
        const Outcome again = run({"volumes", img, "--scan", "--quiet", mode, "--session", ses});
        EXPECT_EQ(again.out, whole.out);
        EXPECT_EQ(bytesRead(again.err), 2u << 20) << again.err;
    }
}

}  // namespace
