// The carving engine: finds on the carving fixture (compared with its
// manifest by offset and sha256), and byte-level edge cases real tools
// cannot produce.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <random>
#include <set>
#include <thread>

#include "raw/carve.h"
#include "raw/default_types.h"
#include "raw/settings.h"
#include "tests/support/fixtures.h"
#include "tests/support/memory_reader.h"

using namespace brantlow;
using namespace brantlow::raw;
using brantlow::test::MemoryReader;

namespace {

using Find = std::pair<uint64_t, uint64_t>;
inline Find mk(uint64_t a, uint64_t b) { return {a, b}; }

struct TypeSpec {
    std::string ext, start, end;
    std::string approx = "0", skip = "0", sizeOffset = "0", sizeLength = "0", headerSize = "0";
    bool includes = false;
    std::string after = "0";
    std::string category = "Files";
};

SettingsRecord rec(const TypeSpec& t, uint8_t index = 0) {
    EditorFields f;
    f.extension = t.ext;
    f.startSignature = t.start;
    f.endSignature = t.end;
    f.approximateSize = t.approx;
    f.skipSize = t.skip;
    f.sizeOffset = t.sizeOffset;
    f.sizeLength = t.sizeLength;
    f.headerSize = t.headerSize;
    f.sizeIncludesHeader = t.includes;
    f.bytesAfterEnd = t.after;
    f.category = t.category;
    SettingsRecord r;
    std::string msg;
    EXPECT_TRUE(buildRecord(f, index, r, msg)) << msg;
    return r;
}

struct Run {
    std::shared_ptr<MemoryReader> reader;
    std::unique_ptr<myJpg> engine;
    std::vector<std::pair<uint64_t, uint64_t>> finds() const {
        std::vector<std::pair<uint64_t, uint64_t>> v;
        for (const auto& it : engine->foundItems()) v.emplace_back(it.start, it.size);
        std::sort(v.begin(), v.end());
        return v;
    }
};

std::unique_ptr<myJpg> makeEngine(std::shared_ptr<MemoryReader> reader, const std::vector<TypeSpec>& types,
                                  uint64_t bytes) {
    auto e = std::make_unique<myJpg>();
    std::vector<SettingsRecord> recs;
    for (size_t i = 0; i < types.size(); ++i) recs.push_back(rec(types[i], static_cast<uint8_t>(i)));
    e->addRecords(recs);
    EXPECT_TRUE(e->initialize());
    e->volume = VolumeView(reader, 0, bytes);
    e->volumeBytes = bytes;
    return e;
}

Run carve(std::vector<uint8_t> data, const std::vector<TypeSpec>& types, uint64_t bytes = UINT64_MAX) {
    Run r;
    if (bytes == UINT64_MAX) bytes = data.size();
    r.reader = std::make_shared<MemoryReader>(std::move(data));
    r.engine = makeEngine(r.reader, types, bytes);
    EXPECT_TRUE(r.engine->scanVolume());
    return r;
}

void put(std::vector<uint8_t>& d, size_t at, std::initializer_list<uint8_t> bytes) {
    std::copy(bytes.begin(), bytes.end(), d.begin() + static_cast<ptrdiff_t>(at));
}

const TypeSpec kPng{"png", "89,50,4E,47,0D,0A,1A,0A", "49,45,4E,44,AE,42,60,82", "1000000"};
const TypeSpec kBmp{"bmp", "42,4D", "", "4000000", "0", "2", "4", "0", true};

// A PNG-like file: signature, filler without the end marker, IEND trailer.
std::vector<uint8_t> fakePng(size_t len, uint32_t seed) {
    std::vector<uint8_t> f(len);
    std::mt19937 rng(seed);
    for (auto& b : f) b = static_cast<uint8_t>(rng() % 0x40);  // never 0x49 or 0x89
    put(f, 0, {0x89, 0x50, 0x4E, 0x47, 0x0D, 0x0A, 0x1A, 0x0A});
    put(f, len - 8, {0x49, 0x45, 0x4E, 0x44, 0xAE, 0x42, 0x60, 0x82});
    return f;
}

}  // namespace

// ---------------------------------------------------------------------------
// The carving fixture, through the command-line tool.

TEST(CarveFixture, FindsEverySectorAlignedFileAndWritesItExactly) {
    BRANTLOW_REQUIRE_IMAGE(img, "carve");
    auto man = test::fixtureManifest("carve");
    ASSERT_TRUE(man);
    test::TempDir out;
    auto res = test::runCli({"carve", img, "--json", "--out", out.path()});
    ASSERT_EQ(res.rc, 0) << res.out;
    std::map<uint64_t, nlohmann::json> finds;
    for (const auto& j : test::jsonLines(res.out)) finds[j["start"].get<uint64_t>()] = j;

    // The default types know every type in this image; the type found is
    // the file's own (a DOCX is found by the ZIP type and named docx).
    const std::map<std::string, std::string> extOf = {{"jpeg", "jpg"}, {"png", "png"}, {"gif", "gif"},
                                                      {"bmp", "bmp"},  {"pdf", "pdf"}, {"zip", "zip"},
                                                      {"docx", "docx"}, {"xlsx", "xlsx"}, {"wav", "wav"},
                                                      {"mp3", "mp3"}};
    // Where each find was written (files are named from what they hold).
    std::map<uint64_t, std::string> written;
    {
        std::ifstream sum(out.path() + "/carve-summary.txt");
        std::string line;
        std::getline(sum, line);
        while (std::getline(sum, line)) {
            const size_t tab = line.find('\t'), last = line.rfind('\t');
            if (tab != std::string::npos) written[std::stoull(line.substr(0, tab))] = line.substr(last + 1);
        }
    }
    int checkedSha = 0;
    for (const auto& f : (*man)["carved_files"]) {
        std::string type = f["type"];
        ASSERT_TRUE(extOf.count(type)) << type;
        if (!f["sector_aligned"].get<bool>()) continue;
        uint64_t off = f["offset"];
        ASSERT_TRUE(finds.count(off)) << f["name"];
        const auto& j = finds[off];
        EXPECT_EQ(j["type"], extOf.at(type)) << f["name"];
        const std::string file = written[off];
        if (f["fragments"].size() > 1) {
            // Cut where the first fragment's data stops being valid.
            EXPECT_EQ(j["status"], "truncated") << f["name"];
            EXPECT_GE(j["size"].get<uint64_t>(), f["fragments"][0][1].get<uint64_t>()) << f["name"];
            continue;
        }
        // Whole files byte-exact (the MP3 too, although its format has no
        // end marker); the cut-off JPEG written as its valid part, marked.
        EXPECT_EQ(j["status"], f.value("truncated", false) ? "truncated" : "complete") << f["name"];
        EXPECT_EQ(j["size"].get<uint64_t>(), f["length"].get<uint64_t>()) << f["name"];
        auto sha = test::sha256File(file);
        ASSERT_TRUE(sha) << f["name"];
        EXPECT_EQ(*sha, f["sha256"].get<std::string>()) << f["name"];
        ++checkedSha;
    }
    EXPECT_EQ(checkedSha, 9);
    EXPECT_EQ(finds[39845888]["size"], 32430);
    EXPECT_EQ(finds[12062720]["size"], 12993);
    std::ifstream summary(out.path() + "/carve-summary.txt");
    std::string header;
    std::getline(summary, header);
    EXPECT_EQ(header, "start\tsize\textension\ttype\tstatus\tcategory\tfile");
}

TEST(CarveFixture, VolumeRangeAndTypeFileOptions) {
    BRANTLOW_REQUIRE_IMAGE(img, "carve");
    test::TempDir dir;
    // Only PNG, from an operator's file.
    std::string types = dir.path() + "/png.types";
    {
        auto b = encodeRecord(rec(kPng));
        std::ofstream(types, std::ios::binary).write(reinterpret_cast<const char*>(b.data()), 171);
    }
    auto res = test::runCli({"carve", img, "--no-default-types", "--types", types, "--json"});
    ASSERT_EQ(res.rc, 0);
    auto lines = test::jsonLines(res.out);
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0]["start"], 4460032);
    EXPECT_EQ(lines[0]["size"], 177033);
    // A range that starts at the PNG: its start is position 0 of the volume.
    res = test::runCli({"carve", img, "--no-default-types", "--types", types, "--json", "--start-sector",
                        std::to_string(4460032 / 512), "--size-sectors", "1000"});
    ASSERT_EQ(res.rc, 0);
    lines = test::jsonLines(res.out);
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0]["start"], 0);
    // No types at all: a usage error.
    res = test::runCli({"carve", img, "--no-default-types"});
    EXPECT_EQ(res.rc, 1);
    res = test::runCli({"carve", img, "--types", dir.path() + "/missing"});
    EXPECT_EQ(res.rc, 1);
}

// ---------------------------------------------------------------------------
// Pairing and sizes.

TEST(CarveEngine, UnalignedEndPairsWithExactSize) {
    std::vector<uint8_t> d(4 << 20, 0);
    auto png = fakePng(100003, 1);
    std::copy(png.begin(), png.end(), d.begin() + 1048576);
    auto r = carve(d, {kPng});
    ASSERT_EQ(r.finds().size(), 1u);
    EXPECT_EQ(r.finds()[0], mk(1048576, 100003));
    EXPECT_EQ(r.engine->itemText(r.engine->foundItems()[0]), "1048576 .png");

    // A file starting inside a sector is not found.
    std::vector<uint8_t> d2(4 << 20, 0);
    std::copy(png.begin(), png.end(), d2.begin() + 1048576 + 7);
    EXPECT_TRUE(carve(d2, {kPng}).finds().empty());
}

TEST(CarveEngine, SignaturesAcrossReadBoundaries) {
    const size_t C = myJpg::ioChunk;
    std::vector<uint8_t> d(4 * C, 0);
    // An end marker whose bytes straddle the first read boundary.
    auto png = fakePng(C - 512 + 5, 2);  // IEND starts 3 bytes before the boundary
    std::copy(png.begin(), png.end(), d.begin() + 512);
    // A start in the last sector of the second read, with its size field in
    // the next read's first bytes.
    size_t bmpAt = 2 * C - 512;
    put(d, bmpAt, {0x42, 0x4D, 0x00, 0x10, 0x00, 0x00});  // 4096 bytes
    auto r = carve(d, {kPng, kBmp});
    auto f = r.finds();
    ASSERT_EQ(f.size(), 2u);
    EXPECT_EQ(f[0], mk(512, png.size()));
    EXPECT_EQ(f[1], mk(bmpAt, 4096));
}

TEST(CarveEngine, SizeFieldFindsAndTheGapAfterThem) {
    // Two BMPs: 1.5 MiB, then the second 0.3 MiB after the end of the first.
    std::vector<uint8_t> d(6 << 20, 0);
    uint64_t a = 1048576, sa = 1572864, b = (a + sa + 314573) & ~511ull, sb = 70000;
    put(d, a, {0x42, 0x4D, static_cast<uint8_t>(sa), static_cast<uint8_t>(sa >> 8), static_cast<uint8_t>(sa >> 16), 0});
    put(d, b, {0x42, 0x4D, static_cast<uint8_t>(sb), static_cast<uint8_t>(sb >> 8), static_cast<uint8_t>(sb >> 16), 0});
    auto r = carve(d, {kBmp});
    ASSERT_EQ(r.finds().size(), 2u);
    EXPECT_EQ(r.finds()[0], std::make_pair(a, sa));
    EXPECT_EQ(r.finds()[1], std::make_pair(b, sb));

    // A size field larger than the approximate size: no find. A 2-byte size
    // field never yields one. A size not including the header adds it.
    TypeSpec small = kBmp;
    small.approx = "1000000";
    EXPECT_EQ(carve(d, {small}).finds().size(), 1u);
    TypeSpec two = kBmp;
    two.sizeLength = "2";
    EXPECT_TRUE(carve(d, {two}).finds().empty());
    TypeSpec riff = kBmp;
    riff.includes = false;
    riff.headerSize = "8";
    auto rr = carve(d, {riff});
    ASSERT_EQ(rr.finds().size(), 2u);
    EXPECT_EQ(rr.finds()[1].second, sb + 8);
}

TEST(CarveEngine, PendingStartsDrainAndOrderRules) {
    std::vector<uint8_t> d(3 << 20, 0);
    auto png = fakePng(3000, 3);
    // Two starts before one end: the end pairs with the later one; the
    // earlier is drained with the approximate size.
    put(d, 512, {0x89, 0x50, 0x4E, 0x47, 0x0D, 0x0A, 0x1A, 0x0A});
    std::copy(png.begin(), png.end(), d.begin() + 8192);
    auto r = carve(d, {kPng});
    auto f = r.finds();
    ASSERT_EQ(f.size(), 2u);
    EXPECT_EQ(f[0], mk(512, 1000000));
    EXPECT_EQ(f[1], mk(8192, 3000));
    // No approximate size: the waiting start is dropped.
    TypeSpec noApprox = kPng;
    noApprox.approx = "0";
    EXPECT_EQ(carve(d, {noApprox}).finds().size(), 1u);

    // An end with no start is ignored; a start beats an end at the same
    // position; an earlier type beats a later one.
    std::vector<uint8_t> e(2 << 20, 0);
    put(e, 1024, {0xAA, 0xBB, 0xCC});
    TypeSpec first{"one", "AA,BB", "", "100"};
    TypeSpec second{"two", "AA,BB,CC", "", "200"};
    auto r2 = carve(e, {first, second});
    ASSERT_EQ(r2.finds().size(), 1u);
    EXPECT_EQ(r2.engine->types()[r2.engine->foundItems()[0].type].extensionText, "one");
    TypeSpec same{"same", "AA,BB", "AA,BB", "100"};
    auto r3 = carve(e, {same});
    ASSERT_EQ(r3.finds().size(), 1u);  // taken as a start, drained
    EXPECT_EQ(r3.finds()[0].second, 100u);
    // A one-byte signature never matches.
    TypeSpec oneByte{"x", "AA", "", "100"};
    EXPECT_TRUE(carve(e, {oneByte}).finds().empty());
}

TEST(CarveEngine, BytesAfterEndAndWildcards) {
    std::vector<uint8_t> d(2 << 20, 0);
    put(d, 4096, {0x50, 0x4B, 0x03, 0x04});
    put(d, 4096 + 777, {0x50, 0x4B, 0x05, 0x06});
    TypeSpec zip{"zip", "50,4B,03,04", "50,4B,05,06", "1000000"};
    zip.after = "18";
    auto r = carve(d, {zip});
    ASSERT_EQ(r.finds().size(), 1u);
    EXPECT_EQ(r.finds()[0].second, 777u + 22);
    TypeSpec wild{"zip", "50,2A,03", "2A,4B,05,06", "1000000"};
    auto r2 = carve(d, {wild});
    ASSERT_EQ(r2.finds().size(), 1u);
    EXPECT_EQ(r2.finds()[0].second, 777u + 4);
}

TEST(CarveEngine, RepeatingStartSignatureFlag) {
    // A ZIP whose second member's local header lies on a sector start.
    std::vector<uint8_t> d(2 << 20, 0);
    put(d, 4096, {0x50, 0x4B, 0x03, 0x04});
    put(d, 4096 + 1024, {0x50, 0x4B, 0x03, 0x04});
    put(d, 4096 + 2000, {0x50, 0x4B, 0x05, 0x06});
    TypeSpec zip{"zip", "50,4B,03,04", "50,4B,05,06", "1000000"};
    zip.after = "18";
    // As recorded in older files: the end pairs with the latest start.
    auto plain = carve(d, {zip}).finds();
    ASSERT_EQ(plain.size(), 2u);
    EXPECT_EQ(plain[1], mk(4096 + 1024, 976 + 22));
    // With the flag (offset 167 bit 0) the inner header belongs to the file.
    SettingsRecord r = rec(zip);
    r.flags = kFlagStartRepeats;
    auto bytes = encodeRecord(r);
    EXPECT_EQ(bytes[167], 1);
    EXPECT_EQ(decodeRecord(bytes.data()).flags, kFlagStartRepeats);
    auto reader = std::make_shared<MemoryReader>(d);
    myJpg e;
    e.addRecords({decodeRecord(bytes.data())});
    ASSERT_TRUE(e.initialize());
    e.volume = VolumeView(reader, 0, d.size());
    e.volumeBytes = d.size();
    ASSERT_TRUE(e.scanVolume());
    ASSERT_EQ(e.foundItems().size(), 1u);
    EXPECT_EQ(e.foundItems()[0].start, 4096u);
    EXPECT_EQ(e.foundItems()[0].size, 2000u + 22);
}

TEST(CarveEngine, SkipRuleEndsTheChunk) {
    std::vector<uint8_t> d(4 << 20, 0);
    put(d, 1048576, {0xDE, 0xAD});
    put(d, 1048576 + 4096, {0xDE, 0xAD});  // inside the skipped part of the chunk
    put(d, 2097152, {0xDE, 0xAD});         // next chunk: found
    TypeSpec t{"dd", "DE,AD", "", "10", "2097152"};
    auto f = carve(d, {t}).finds();
    ASSERT_EQ(f.size(), 2u);
    EXPECT_EQ(f[0].first, 1048576u);
    EXPECT_EQ(f[1].first, 2097152u);
}

TEST(CarveEngine, FindsAreClampedToTheVolumeAndTheTailIsPadded) {
    // 1.5 MiB + 700 bytes: not a whole number of MiB nor of sectors.
    std::vector<uint8_t> d(1572864 + 700, 0x11);
    size_t last = d.size() - 700 + 512;  // a sector start with 188 bytes left
    put(d, last, {0x89, 0x50, 0x4E, 0x47, 0x0D, 0x0A, 0x1A, 0x0A});
    auto r = carve(d, {kPng});
    ASSERT_EQ(r.finds().size(), 1u);
    EXPECT_EQ(r.finds()[0], mk(last, d.size() - last));
    // Reads never asked for bytes past the data.
    test::TempDir out;
    auto res = saveFinds(*r.engine, {0}, out.path());
    ASSERT_EQ(res.written, 1u);
    std::ifstream f(res.paths[0], std::ios::binary);
    std::vector<uint8_t> got((std::istreambuf_iterator<char>(f)), {});
    EXPECT_EQ(got, std::vector<uint8_t>(d.begin() + static_cast<ptrdiff_t>(last), d.end()));
}

TEST(CarveEngine, FailedReadsGiveZerosNotStaleBytes) {
    const size_t C = myJpg::ioChunk;
    std::vector<uint8_t> d(8 * C, 0);
    // One PNG in read 1, one in read 2; read 2 fails in one sector only.
    auto png = fakePng(2000, 4);
    std::copy(png.begin(), png.end(), d.begin() + C + 4096);
    std::copy(png.begin(), png.end(), d.begin() + 2 * C + 8192);
    auto reader = std::make_shared<MemoryReader>(d);
    reader->failRange(2 * C + 512, 2 * C + 1024);
    auto e = makeEngine(reader, {kPng}, d.size());
    ASSERT_TRUE(e->scanVolume());
    std::vector<std::pair<uint64_t, uint64_t>> f;
    for (const auto& it : e->foundItems()) f.emplace_back(it.start, it.size);
    ASSERT_EQ(f.size(), 2u);  // nothing duplicated from the read before
    EXPECT_EQ(f[0].first, C + 4096);
    EXPECT_EQ(f[1].first, 2 * C + 8192);

    // The whole volume unreadable: nothing found, no phantom finds.
    auto bad = std::make_shared<MemoryReader>(d);
    bad->failRange(0, d.size());
    auto e2 = makeEngine(bad, {kPng}, d.size());
    ASSERT_TRUE(e2->scanVolume());
    EXPECT_TRUE(e2->foundItems().empty());
}

TEST(CarveEngine, WildcardStartsStayBounded) {
    // "2A 2A" matches every sector: pending starts are capped, finds per type
    // too, and the scan still ends quickly.
    std::vector<uint8_t> d(8 << 20, 0);
    TypeSpec any{"any", "2A,2A", "FE,FE", "1000"};
    auto t0 = std::chrono::steady_clock::now();
    auto r = carve(d, {any});
    EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(20));
    EXPECT_EQ(r.engine->foundItems().size(), myJpg::maxPendingPerType);
    EXPECT_GT(r.engine->droppedStarts(), 0u);
    TypeSpec noEnd{"any", "2A,2A", "", "0"};
    auto r2 = carve(d, {noEnd});
    EXPECT_EQ(r2.engine->foundItems().size(), d.size() / 512);  // every sector, size 0 (kept)
}

TEST(CarveEngine, SharedCategoryCountsAndRepeatedScans) {
    std::vector<uint8_t> d(3 << 20, 0);
    put(d, 0, {0xAA, 0xBB});
    put(d, 1048576, {0xCC, 0xDD});
    put(d, 2097152, {0x89, 0x50, 0x4E, 0x47, 0x0D, 0x0A, 0x1A, 0x0A});  // never ends: drained
    TypeSpec a{"a", "AA,BB", "", "10"};
    TypeSpec b{"b", "CC,DD", "", "10"};
    TypeSpec p = kPng;
    a.category = b.category = "Shared";
    p.category = "Photos";

    struct Sink : CarveSink {
        std::vector<std::string> cats;
        std::vector<std::pair<std::string, uint64_t>> counts;
        void categoryAdded(const std::string& c) override { cats.push_back(c); }
        void itemFound(size_t, const CarvedItem&, const std::string&, const std::string& c, uint64_t n) override {
            counts.emplace_back(c, n);
        }
    } sink;
    auto reader = std::make_shared<MemoryReader>(d);
    auto e = makeEngine(reader, {a, b, p}, d.size());
    e->sink = &sink;
    ASSERT_TRUE(e->scanVolume());
    EXPECT_EQ(sink.cats, (std::vector<std::string>{"Shared", "Photos"}));
    EXPECT_EQ(e->categoryCounts().at("Shared"), 2u);
    EXPECT_EQ(e->categoryCounts().at("Photos"), 1u);
    ASSERT_EQ(sink.counts.size(), 3u);
    EXPECT_EQ(sink.counts[1], std::make_pair(std::string("Shared"), uint64_t{2}));
    // A second scan on the same engine: the same three finds again, nothing
    // left over from the first scan's waiting starts.
    ASSERT_TRUE(e->scanVolume());
    ASSERT_EQ(e->foundItems().size(), 6u);
    for (size_t i = 0; i < 3; ++i) {
        EXPECT_EQ(e->foundItems()[i].start, e->foundItems()[i + 3].start);
        EXPECT_EQ(e->foundItems()[i].size, e->foundItems()[i + 3].size);
    }
    EXPECT_EQ(e->categoryCounts().at("Shared"), 2u);
}

TEST(CarveEngine, SecondScanWhileRunningIsRefusedAndStopStillDrains) {
    std::vector<uint8_t> d(8 << 20, 0);
    put(d, 0, {0x89, 0x50, 0x4E, 0x47, 0x0D, 0x0A, 0x1A, 0x0A});
    auto reader = std::make_shared<MemoryReader>(d);
    auto e = makeEngine(reader, {kPng}, d.size());
    PauseGate gate;
    e->pauseGate = &gate;
    gate.pause();
    std::thread worker([&] { EXPECT_TRUE(e->scanVolume()); });
    while (!e->running()) std::this_thread::yield();
    EXPECT_FALSE(e->scanVolume());
    e->stopRequested = true;
    gate.resume();
    worker.join();
    EXPECT_FALSE(e->running());
    // Stopped before the first read: the drain still records nothing read;
    // a fresh scan after clearing the flag finds the waiting start.
    e->stopRequested = false;
    ASSERT_TRUE(e->scanVolume());
    ASSERT_EQ(e->foundItems().size(), 1u);
    EXPECT_EQ(e->foundItems()[0].size, 1000000u);
}

TEST(CarveSave, HostileNamesStayInTheOutputFolder) {
    std::vector<uint8_t> d(2 << 20, 0);
    put(d, 1024, {0xAA, 0xBB, 1, 2, 3});
    TypeSpec t{"../a", "AA,BB", "", "5"};
    t.category = "../../x";
    auto r = carve(d, {t});
    ASSERT_EQ(r.finds().size(), 1u);
    test::TempDir out;
    // The same find twice: the second gets its own name.
    auto res = saveFinds(*r.engine, {0, 0, 99}, out.path());
    ASSERT_EQ(res.written, 2u);
    ASSERT_EQ(res.paths.size(), 2u);
    EXPECT_NE(res.paths[0], res.paths[1]);
    for (const auto& p : res.paths) {
        EXPECT_EQ(p.rfind(out.path() + "/", 0), 0u) << p;
        EXPECT_EQ(p.find("/../"), std::string::npos) << p;
        std::ifstream f(p, std::ios::binary);
        std::vector<uint8_t> got((std::istreambuf_iterator<char>(f)), {});
        EXPECT_EQ(got, (std::vector<uint8_t>{0xAA, 0xBB, 1, 2, 3}));
    }
}

// Finds written while the scan goes on are named when it is over, in the
// order of the list, and a file already in the folder is left as it is.
TEST(CarveSave, FindsWrittenDuringTheScanTakeTheirNamesAfterIt) {
    std::vector<uint8_t> d(2 << 20, 0);
    put(d, 1024, {0xAA, 0xBB, 1, 2, 3});
    put(d, 8192, {0xAA, 0xBB, 4, 5, 6});
    TypeSpec t{"bin", "AA,BB", "", "5"};
    t.category = "Files";
    auto e = makeEngine(std::make_shared<MemoryReader>(d), {t}, d.size());
    test::TempDir out;
    ASSERT_EQ(::mkdir((out.path() + "/Files").c_str(), 0777), 0);
    std::ofstream(out.path() + "/Files/1024.bin") << "old";
    struct Offer : CarveSink {
        EarlyFinds* early = nullptr;
        void itemFound(size_t i, const CarvedItem& it, const std::string&, const std::string&, uint64_t) override {
            early->offer(i, it);
        }
    } sink;
    EarlyFinds early(*e, out.path(), 16);
    sink.early = &early;
    e->sink = &sink;
    ASSERT_TRUE(e->scanVolume());
    for (int i = 0; i < 5000 && early.written() < 2; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    ASSERT_EQ(early.written(), 2u);
    // Unnamed until the save: the folder holds only the old file.
    size_t files = 0;
    for (const auto& f : std::filesystem::recursive_directory_iterator(out.path())) files += f.is_regular_file();
    EXPECT_EQ(files, 1u);
    early.finish();
    auto res = saveFinds(*e, {0, 1}, out.path(), nullptr, nullptr, &early);
    ASSERT_EQ(res.written, 2u);
    ASSERT_EQ(res.paths, (std::vector<std::string>{out.path() + "/Files/1024 (1).bin", out.path() + "/Files/8192.bin"}));
    auto bytes = [](const std::string& p) {
        std::ifstream f(p, std::ios::binary);
        return std::vector<uint8_t>((std::istreambuf_iterator<char>(f)), {});
    };
    EXPECT_EQ(bytes(out.path() + "/Files/1024.bin"), (std::vector<uint8_t>{'o', 'l', 'd'}));
    EXPECT_EQ(bytes(res.paths[0]), (std::vector<uint8_t>{0xAA, 0xBB, 1, 2, 3}));
    EXPECT_EQ(bytes(res.paths[1]), (std::vector<uint8_t>{0xAA, 0xBB, 4, 5, 6}));
}

TEST(CarveFixture, FindsThatFailTheirFormatCheckAreListedMarkedAndCanBeHidden) {
    BRANTLOW_REQUIRE_IMAGE(img, "carve");
    test::TempDir dir;
    // A "png" type with JPEG's start signature: the PNG check fails on every
    // JPEG; the find is still listed, with the signature rules' size.
    const std::string types = dir.path() + "/odd.types";
    {
        TypeSpec odd{"png", "FF,D8,FF", "", "5000"};
        auto b = encodeRecord(rec(odd));
        std::ofstream(types, std::ios::binary).write(reinterpret_cast<const char*>(b.data()), 171);
    }
    auto res = test::runCli({"carve", img, "--no-default-types", "--types", types, "--json"});
    ASSERT_EQ(res.rc, 0);
    auto lines = test::jsonLines(res.out);
    ASSERT_EQ(lines.size(), 4u);
    for (const auto& j : lines) {
        EXPECT_EQ(j["status"], "invalid");
        EXPECT_EQ(j["size"], 5000);
        EXPECT_EQ(j["type"], "png");
    }
    test::TempDir out;
    res = test::runCli({"carve", img, "--no-default-types", "--types", types, "--json", "--hide-marked", "--out",
                        out.path()});
    ASSERT_EQ(res.rc, 0);
    EXPECT_TRUE(test::jsonLines(res.out).empty());
    struct stat st {};
    EXPECT_NE(::stat((out.path() + "/Files").c_str(), &st), 0);  // nothing written
}

TEST(CarveEngine, CutOffFileEndsAtTheNextStartOrTheZerosAfterIt) {
    // A PNG whose IDAT runs on past its data: IHDR is whole, the IDAT's
    // length claims more than is there. What follows decides the cut.
    auto makePng = [](size_t dataBytes) {
        std::vector<uint8_t> f = {0x89, 0x50, 0x4E, 0x47, 0x0D, 0x0A, 0x1A, 0x0A, 0, 0, 0, 13, 'I', 'H', 'D', 'R',
                                  0, 0, 0, 1, 0, 0, 0, 1, 8, 2, 0, 0, 0, 0x90, 0x77, 0x53, 0xDE,
                                  0, 0x01, 0, 0, 'I', 'D', 'A', 'T'};  // IDAT of 65536 bytes
        std::mt19937 rng(5);
        for (size_t i = 0; i < dataBytes; ++i) f.push_back(static_cast<uint8_t>(rng() | 1));
        return f;
    };
    TypeSpec png{"png", "89,50,4E,47,0D,0A,1A,0A", "", "1000000", "0", "0", "0", "0", false, "0", "Photos"};
    TypeSpec jpg{"jpg", "FF,D8,FF", "", "1000000", "0", "0", "0", "0", false, "0", "Photos"};
    // Followed by zeros: cut where the zeros begin.
    {
        std::vector<uint8_t> d(1 << 20, 0);
        auto f = makePng(3000);
        std::copy(f.begin(), f.end(), d.begin() + 4096);
        auto r = carve(d, {png});
        ASSERT_EQ(r.engine->foundItems().size(), 1u);
        EXPECT_EQ(r.engine->foundItems()[0].status, FindStatus::Truncated);
        EXPECT_EQ(r.engine->foundItems()[0].size, f.size());
    }
    // Followed by another file's start on a sector boundary: cut there, and
    // that file is found too.
    {
        std::vector<uint8_t> d(1 << 20, 0);
        auto f = makePng(3000);
        std::copy(f.begin(), f.end(), d.begin() + 4096);
        const size_t next = (4096 + f.size() + 511) & ~size_t{511};
        for (size_t i = 4096 + f.size(); i < next + 512; ++i) d[i] = 0x11;
        put(d, next, {0xFF, 0xD8, 0xFF, 0x01});
        auto r = carve(d, {png, jpg});
        ASSERT_EQ(r.engine->foundItems().size(), 2u);
        EXPECT_EQ(r.engine->foundItems()[0].size, next - 4096);
        EXPECT_EQ(r.engine->foundItems()[1].start, next);
    }
    // Cut by the end of the volume: never past it.
    {
        auto f = makePng(3000);
        std::vector<uint8_t> d(8192, 0);
        std::copy(f.begin(), f.end(), d.begin() + 4096);
        d.resize(4096 + f.size());
        auto r = carve(d, {png});
        ASSERT_EQ(r.engine->foundItems().size(), 1u);
        EXPECT_EQ(r.engine->foundItems()[0].size, f.size());
        EXPECT_EQ(r.engine->foundItems()[0].status, FindStatus::Truncated);
    }
}

// ---------------------------------------------------------------------------
// Plain text, recognised by content where no signature matches.

TEST(CarveEngine, PlainTextByContent) {
    const size_t C = myJpg::ioChunk;
    std::vector<uint8_t> d(4 * C, 0);
    auto text = [&](size_t at, const std::string& t) { std::copy(t.begin(), t.end(), d.begin() + static_cast<ptrdiff_t>(at)); };
    std::string csv = "name,size,date\n";
    for (int i = 0; i < 20; ++i) csv += "file" + std::to_string(i) + ".bin," + std::to_string(i * 100) + ",2023-01-0" + std::to_string(i % 9 + 1) + "\n";
    text(0, csv);
    const std::string json = "{\n  \"name\": \"Caf\xC3\xA9\",\n  \"items\": [1, 2, 3],\n  \"note\": \"a JSON file of some length\"\n}\n";
    text(4096, json);
    text(8192, "short note, too short to tell from data");  // under 64 bytes
    // Two-byte characters across the first read boundary; the text ends at a
    // control byte.
    std::string accents;
    while (accents.size() < 3000) accents += "R\xC3\xA9sum\xC3\xA9 \xE2\x80\x93 \xE6\x97\xA5\xE6\x9C\xAC ";
    text(C - 1024, accents);
    d[C - 1024 + accents.size()] = 0x01;
    // Latin-1, not UTF-8: the text ends before the lone 0xE9.
    text(C + 8192, std::string(100, 'a') + "caf\xE9 and more text after the byte that is not UTF-8 at all, long enough");
    // Random data is no text.
    std::mt19937 rng(7);
    for (size_t i = 0; i < 65536; ++i) d[2 * C + i] = static_cast<uint8_t>(rng());
    auto png = fakePng(5000, 3);
    std::copy(png.begin(), png.end(), d.begin() + static_cast<ptrdiff_t>(3 * C));

    auto reader = std::make_shared<MemoryReader>(d);
    myJpg e;
    std::vector<SettingsRecord> recs;
    for (const auto& r : defaultRecords())
        if (r.extension == u"png" || r.extension == u"txt") recs.push_back(r);
    e.addRecords(recs);
    ASSERT_TRUE(e.initialize());
    e.volume = VolumeView(reader, 0, d.size());
    e.volumeBytes = d.size();
    ASSERT_TRUE(e.scanVolume());
    std::map<uint64_t, std::pair<uint64_t, std::string>> got;
    for (const auto& it : e.foundItems()) got[it.start] = {it.size, e.extensionOf(it)};
    const std::map<uint64_t, std::pair<uint64_t, std::string>> want = {
        {0, {csv.size(), "csv"}},
        {4096, {json.size(), "json"}},
        {C - 1024, {accents.size(), "txt"}},
        {C + 8192, {103, "txt"}},
        {3 * C, {5000, "png"}},
    };
    EXPECT_EQ(got, want);

    // Without end finders nothing delimits text: no finds of it.
    myJpg plain;
    plain.useEndFinders = false;
    plain.addRecords(recs);
    ASSERT_TRUE(plain.initialize());
    plain.volume = VolumeView(reader, 0, d.size());
    plain.volumeBytes = d.size();
    ASSERT_TRUE(plain.scanVolume());
    for (const auto& it : plain.foundItems()) EXPECT_NE(plain.extensionOf(it), "txt");
}

TEST(CarveFixture, TextFilesOfAVolumeFormattedAsAnotherType) {
    // The earlier NTFS's metadata is gone; its text files come back by
    // content, byte-exact.
    BRANTLOW_REQUIRE_IMAGE(img, "reformat_ntfs_to_exfat");
    auto man = test::fixtureManifest("reformat_ntfs_to_exfat");
    ASSERT_TRUE(man);
    test::TempDir out;
    auto res = test::runCli({"carve", img, "--json", "--out", out.path()});
    ASSERT_EQ(res.rc, 0) << res.out;
    std::set<std::string> written;
    for (const auto& j : test::jsonLines(res.out)) EXPECT_GE(j["size"].get<uint64_t>(), 64u);
    std::ifstream sum(out.path() + "/carve-summary.txt");
    std::string line;
    std::getline(sum, line);
    while (std::getline(sum, line)) {
        if (auto sha = test::sha256File(line.substr(line.rfind('\t') + 1))) written.insert(*sha);
    }
    int texts = 0, found = 0;
    for (const auto& e : (*man)["volumes"][0]["entries"]) {
        if (e["state"] != "previous_fs" || e["type"] != "file" || !e.value("content_intact_on_disk", false)) continue;
        const std::string path = e["path"];
        const std::string ext = path.substr(path.rfind('.') + 1);
        if ((ext != "txt" && ext != "c" && ext != "dat") || e["size"].get<uint64_t>() < 64) continue;
        ++texts;
        found += written.count(e["sha256"].get<std::string>()) ? 1 : 0;
    }
    EXPECT_GE(texts, 14);
    EXPECT_EQ(found, texts);
}
