// The imaging engine over the fault-injecting reader: bad sectors scattered
// and in clusters, slow and hanging areas, an unplugged source, a full
// destination, an interrupted run resumed; and the map in GNU ddrescue's
// format, read back by ddrescuelog where it is installed.
#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <random>
#include <set>
#include <sstream>

#include "disk/mapped_reader.h"
#include "disk/rescue_map.h"
#include "imaging/rescue.h"
#include "tests/support/fixtures.h"
#include "tests/support/memory_reader.h"

using namespace brantlow;
using namespace brantlow::imaging;

namespace {

constexpr uint64_t kSector = 512;

std::vector<uint8_t> randomBytes(size_t n, unsigned seed) {
    std::vector<uint8_t> v(n);
    std::mt19937 rng(seed);
    for (auto& b : v) b = static_cast<uint8_t>(rng());
    // Some zero areas, which the image may keep as holes.
    std::fill(v.begin() + static_cast<ptrdiff_t>(n / 3), v.begin() + static_cast<ptrdiff_t>(n / 3 + 300000), 0);
    return v;
}

// An image in memory; it may refuse writes past a limit (a full disk).
class MemoryImage : public ImageSink {
public:
    explicit MemoryImage(size_t n) : bytes(n, 0) {}
    int write(uint64_t off, const void* data, size_t n) override {
        if (limit && written + n > limit) return ENOSPC;
        std::memcpy(bytes.data() + off, data, n);
        written += n;
        return 0;
    }
    bool holdsZeros(uint64_t, uint64_t) const override { return true; }
    std::vector<uint8_t> bytes;
    uint64_t written = 0, limit = 0;
};

struct RunResult {
    RescueResult result;
    std::string savedMap;
    int saves = 0;
};

RunResult rescue(readWriteInterface& src, MemoryImage& img, RescueMap& map, RescueOptions o,
           const std::atomic<bool>* stop = nullptr) {
    RunResult r;
    Rescuer rescuer(src, img, map, o);
    rescuer.setMapSaver([&](const RescueMap& m) {
        r.savedMap = m.format({"Mapfile. Created by a test"});
        ++r.saves;
        return 0;
    });
    r.result = rescuer.run(stop);
    return r;
}

// What a shell command prints (stdout and stderr).
std::string shell(const std::string& cmd) {
    std::string out;
    FILE* p = ::popen((cmd + " 2>&1").c_str(), "r");
    if (!p) return out;
    char buf[4096];
    size_t k;
    while ((k = std::fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, k);
    ::pclose(p);
    return out;
}

// The byte ranges of the map in one state.
std::vector<std::pair<uint64_t, uint64_t>> ranges(const RescueMap& m, BlockState s) {
    std::vector<std::pair<uint64_t, uint64_t>> out;
    for (const MapBlock& b : m.blocks())
        if (b.state == s) out.push_back({b.pos, b.end()});
    return out;
}

}  // namespace

TEST(RescueMapText, ReadsWritesAndRefuses) {
    const std::string text =
        "# Mapfile. Created by GNU ddrescue version 1.27\n"
        "# current_pos  current_status  current_pass\n"
        "0x00120000     ?               1\n"
        "#      pos        size  status\n"
        "0x00000000  0x00117000  +\n"
        "0x00117000  0x00000200  -   # a comment after a blank\n"
        "0x00117200  4096  /\n"
        "0x00118200  0x00007E00  *\n"
        "0x00120000  0440000  ?\n";
    MapError err;
    auto m = RescueMap::parse(text, &err);
    ASSERT_TRUE(m) << err.message();
    EXPECT_EQ(m->extent(), 0x00120000u + 0440000u);
    EXPECT_EQ(m->bytesIn(BlockState::BadSector), 0x200u);
    EXPECT_EQ(m->stateAt(0x117200), BlockState::NonScraped);
    EXPECT_EQ(m->currentPos, 0x120000u);
    EXPECT_EQ(m->lineOf(0x118200), 8u);
    // Written and read again: the same blocks.
    auto again = RescueMap::parse(m->format({"x"}), &err);
    ASSERT_TRUE(again);
    EXPECT_EQ(again->format({"x"}), m->format({"x"}));

    struct Bad {
        const char* text;
        size_t line;
    };
    for (const Bad& b : {Bad{"hello world\n", 1}, Bad{"0 ?\n0 100 +\n0x50 10 +\n", 3},
                         Bad{"0 ? 1\n0 100 +\n100 10 x\n", 3}, Bad{"# only\n0 + 1\n0 0x100 + extra\n", 3},
                         Bad{"0 ? 1\n0 1000 +\n", 2}})
        EXPECT_FALSE(RescueMap::parse(b.text, &err, 512)) << b.text;
    EXPECT_FALSE(RescueMap::parse("0 ? 1\n0 1000 +\n", &err, 512));
    EXPECT_EQ(err.line, 2u);
    EXPECT_NE(err.message().find("past the end of the source"), std::string::npos);
    // A shorter map is extended with non-tried bytes; an empty one is all non-tried.
    auto shortMap = RescueMap::parse("0 + 1\n0 512 +\n", &err, 4096);
    ASSERT_TRUE(shortMap);
    EXPECT_EQ(shortMap->bytesIn(BlockState::NonTried), 3584u);
    EXPECT_EQ(RescueMap::parse("", &err, 100)->bytesIn(BlockState::NonTried), 100u);
}

TEST(Rescue, ScatteredAndClusteredBadSectorsEndExactlyUnread) {
    const size_t n = 6 << 20;
    test::MemoryReader src(randomBytes(n, 1));
    std::set<uint64_t> bad;
    for (uint64_t s : {7ull, 3000ull, 3001ull, 9999ull, 12288ull - 1})  // scattered
        bad.insert(s);
    for (uint64_t s = 5000; s < 5040; ++s) bad.insert(s);  // a cluster
    for (uint64_t s : bad) src.failRange(s * kSector, s * kSector + kSector);
    for (bool reverse : {false, true}) {
        MemoryImage img(n);
        RescueMap map(n);
        RescueOptions o;
        o.reverse = reverse;
        o.readSize = 256 << 10;
        RunResult r = rescue(src, img, map, o);
        EXPECT_EQ(r.result.end, RescueEnd::Finished);
        EXPECT_EQ(map.phase, RescuePhase::Finished);
        EXPECT_EQ(map.bytesIn(BlockState::BadSector), bad.size() * kSector);
        EXPECT_EQ(map.bytesIn(BlockState::Finished), n - bad.size() * kSector);
        for (uint64_t s = 0; s < n / kSector; ++s) {
            const bool isBad = bad.count(s) != 0;
            ASSERT_EQ(map.stateAt(s * kSector), isBad ? BlockState::BadSector : BlockState::Finished) << s;
            if (!isBad) {
                ASSERT_EQ(0, std::memcmp(img.bytes.data() + s * kSector, src.data.data() + s * kSector, kSector)) << s;
            }
        }
        // The map saved at the end is the map.
        MapError err;
        auto saved = RescueMap::parse(r.savedMap, &err, n);
        ASSERT_TRUE(saved) << err.message();
        EXPECT_EQ(ranges(*saved, BlockState::BadSector), ranges(map, BlockState::BadSector));
    }
    // Retries read bad sectors again: one that reads now is finished.
    MemoryImage img(n);
    RescueMap map(n);
    rescue(src, img, map, {});
    src.failing.erase(src.failing.begin());  // sector 7 reads now
    RescueOptions o;
    o.retries = 2;
    rescue(src, img, map, o);
    EXPECT_EQ(map.stateAt(7 * kSector), BlockState::Finished);
    EXPECT_EQ(map.bytesIn(BlockState::BadSector), (bad.size() - 1) * kSector);
}

TEST(Rescue, SlowAreasAreSkippedAndComeLast) {
    const size_t n = 8 << 20;
    test::MemoryReader src(randomBytes(n, 2));
    src.slowRange(2 << 20, 3 << 20, 60);  // 1 MiB at ~4 MiB/s in 256 KiB reads
    MemoryImage img(n);
    RescueMap map(n);
    RescueOptions o;
    o.readSize = 256 << 10;
    o.minRate = 20 << 20;
    std::vector<uint64_t> finishedAt;  // bytes finished when the slow area was done
    Rescuer rescuer(src, img, map, o);
    rescuer.setStatusCallback([&](const RescueStatus& s) {
        if (map.unfinishedIn(2 << 20, 1 << 20) == 0 && finishedAt.empty()) finishedAt.push_back(s.rescued);
    });
    EXPECT_EQ(rescuer.run(nullptr).end, RescueEnd::Finished);
    EXPECT_EQ(map.bytesIn(BlockState::Finished), n);
    EXPECT_EQ(img.bytes, src.data);
    // Everything fast was copied before the slow area was finished.
    ASSERT_FALSE(finishedAt.empty());
    EXPECT_EQ(finishedAt[0], n);
}

TEST(Rescue, HangingReadsAreGivenUp) {
    const size_t n = 2 << 20;
    test::MemoryReader src(randomBytes(n, 3));
    src.slowRange(1 << 20, (1 << 20) + 4 * kSector, 400);
    MemoryImage img(n);
    RescueMap map(n);
    RescueOptions o;
    o.readSize = 256 << 10;
    o.readTimeout = 0.05;
    const auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(rescue(src, img, map, o).result.end, RescueEnd::Finished);
    EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(20));
    EXPECT_EQ(ranges(map, BlockState::BadSector),
              (std::vector<std::pair<uint64_t, uint64_t>>{{1 << 20, (1 << 20) + 4 * kSector}}));
    EXPECT_EQ(map.bytesIn(BlockState::Finished), n - 4 * kSector);
}

TEST(Rescue, InterruptedRunResumesWithWhatIsLeft) {
    const size_t n = 16 << 20;
    test::MemoryReader src(randomBytes(n, 4));
    src.failRange(10 << 20, (10 << 20) + 3 * kSector);
    MemoryImage img(n);
    RescueMap map(n);
    std::atomic<bool> stop{false};
    RescueOptions o;
    o.readSize = 128 << 10;
    {
        Rescuer rescuer(src, img, map, o);
        std::string saved;
        rescuer.setMapSaver([&](const RescueMap& m) {
            saved = m.format({});
            return 0;
        });
        rescuer.setStatusCallback([&](const RescueStatus& s) {
            if (s.rescued > (5 << 20)) stop = true;
        });
        src.slowRange(0, n, 1);  // slow enough for the status to come between reads
        EXPECT_EQ(rescuer.run(&stop).end, RescueEnd::Stopped);
        MapError err;
        auto back = RescueMap::parse(saved, &err, n);
        ASSERT_TRUE(back);
        map = *back;  // as a new process would read it
    }
    const uint64_t left = n - map.bytesIn(BlockState::Finished);
    ASSERT_GT(left, 0u);
    ASSERT_LT(left, n);
    src.slow.clear();
    src.bytesAsked = 0;
    EXPECT_EQ(rescue(src, img, map, o).result.end, RescueEnd::Finished);
    // The second run read only what the first had not (the bad sectors
    // once more in trimming and scraping).
    EXPECT_LE(src.bytesAsked.load(), left + 2 * o.readSize);
    EXPECT_EQ(map.bytesIn(BlockState::BadSector), 3 * kSector);
    std::vector<uint8_t> want = src.data;
    std::fill_n(want.begin() + (10 << 20), 3 * kSector, 0);
    EXPECT_EQ(img.bytes, want);
}

TEST(Rescue, GoneSourceAndFullImageStopWithTheMapSaved) {
    const size_t n = 4 << 20;
    test::MemoryReader src(randomBytes(n, 5));
    RescueOptions o;
    o.readSize = 64 << 10;
    {
        src.vanishAfter = 10;
        MemoryImage img(n);
        RescueMap map(n);
        RunResult r = rescue(src, img, map, o);
        EXPECT_EQ(r.result.end, RescueEnd::SourceGone);
        EXPECT_EQ(r.result.error, ENODEV);
        EXPECT_EQ(map.bytesIn(BlockState::Finished), 10u * (64 << 10));
        EXPECT_EQ(map.bytesIn(BlockState::NonTrimmed), 0u);  // nothing taken for bad
        EXPECT_GE(r.saves, 1);
        src.vanishAfter = 0;
        // Back again: the same run goes on.
        EXPECT_EQ(rescue(src, img, map, o).result.end, RescueEnd::Finished);
        EXPECT_EQ(img.bytes, src.data);
    }
    MemoryImage img(n);
    img.limit = 1 << 20;
    RescueMap map(n);
    RunResult r = rescue(src, img, map, o);
    EXPECT_EQ(r.result.end, RescueEnd::DestinationFailed);
    EXPECT_EQ(r.result.error, ENOSPC);
    EXPECT_EQ(map.bytesIn(BlockState::Finished), img.written);
    MapError err;
    ASSERT_TRUE(RescueMap::parse(r.savedMap, &err, n));
}

TEST(Rescue, MappedImageReadsUnfinishedSectorsAsUnreadable) {
    const size_t n = 1 << 20;
    auto image = std::make_shared<test::MemoryReader>(randomBytes(n, 6));
    RescueMap map(n);
    map.set(0, n, BlockState::Finished);
    map.set(4096, 1024, BlockState::BadSector);
    map.set(8192 + 100, 10, BlockState::NonTried);  // inside one sector
    MappedReader r(image, map);
    std::vector<uint8_t> buf(16384);
    EXPECT_EQ(r.readAbsolute(0, buf.data(), 4096), 4096);
    EXPECT_EQ(r.readAbsolute(0, buf.data(), 8192), 4096);  // short: stops at the bad sectors
    EXPECT_EQ(r.readAbsolute(4096, buf.data(), 512), -1);
    EXPECT_EQ(r.unreadableSectors(0, n), 3u);
    EXPECT_EQ(r.unreadableSectors(8192, 512), 1u);
    EXPECT_EQ(r.unreadableSectors(5120, 3072), 0u);
}

// A run ddrescue can go on with: ddrescuelog reads our map, and our map
// reader takes ddrescue's.
TEST(Rescue, MapsAgreeWithGnuDdrescue) {
    if (std::system("command -v ddrescuelog >/dev/null 2>&1") != 0) GTEST_SKIP() << "ddrescuelog is not installed";
    test::TempDir dir;
    const size_t n = 1 << 20;
    test::MemoryReader src(randomBytes(n, 7));
    src.failRange(4096, 4096 + 1024);
    MemoryImage img(n);
    RescueMap map(n);
    RunResult r = rescue(src, img, map, {});
    const std::string path = dir.path() + "/a.map";
    std::ofstream(path) << r.savedMap;
    // -t: the totals; -l-: the bad-sector list (in 512-byte blocks).
    const std::string out = shell("ddrescuelog -t " + path + " && ddrescuelog -b512 -l- " + path);
    EXPECT_NE(out.find("bad-sector"), std::string::npos) << out;
    EXPECT_NE(out.find("\n8\n9\n"), std::string::npos) << out;
    // ddrescue's own map of an image file is read as it is.
    std::ofstream(dir.path() + "/src.img", std::ios::binary).write(reinterpret_cast<const char*>(src.data.data()), n);
    ASSERT_EQ(0, std::system(("cd " + dir.path() + " && ddrescue -q -s 300000 src.img out.img dd.map").c_str()));
    std::ifstream in(dir.path() + "/dd.map");
    std::stringstream ss;
    ss << in.rdbuf();
    MapError err;
    auto dd = RescueMap::parse(ss.str(), &err, n);
    ASSERT_TRUE(dd) << err.message();
    EXPECT_EQ(dd->bytesIn(BlockState::Finished), 300000u);
    EXPECT_EQ(dd->bytesIn(BlockState::NonTried), n - 300000u);
}
