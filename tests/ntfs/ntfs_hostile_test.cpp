// Hostile MFT records planted in free slots of a real volume: unsafe names,
// runs outside the volume, parent loops, self-parents, reused parents and
// broken fixups. The scan ends, the tree has no loops, and the save writes
// nothing outside its folder.
#include <gtest/gtest.h>

#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <map>
#include <set>

#include "base/bytes.h"
#include "fs/ntfs/ntfs.h"
#include "scan/save.h"
#include "scan/tree_walk.h"
#include "tests/support/fixtures.h"
#include "tests/support/memory_reader.h"

using namespace brantlow;
using namespace brantlow::test;

namespace {

std::vector<uint8_t> readAll(const std::string& path) {
    std::ifstream f(path, std::ios::binary | std::ios::ate);
    std::vector<uint8_t> data(static_cast<size_t>(f.tellg()));
    f.seekg(0);
    f.read(reinterpret_cast<char*>(data.data()), static_cast<std::streamsize>(data.size()));
    return data;
}

void put16(std::vector<uint8_t>& b, size_t o, uint16_t v) {
    b[o] = v & 0xFF;
    b[o + 1] = v >> 8;
}
void put32(std::vector<uint8_t>& b, size_t o, uint32_t v) {
    for (int i = 0; i < 4; ++i) b[o + i] = (v >> (8 * i)) & 0xFF;
}
void put64(std::vector<uint8_t>& b, size_t o, uint64_t v) {
    for (int i = 0; i < 8; ++i) b[o + i] = (v >> (8 * i)) & 0xFF;
}

// A minimal 1024-byte MFT record.
class RecordBuilder {
public:
    RecordBuilder(uint16_t flags, uint16_t seq = 1) : r_(1024, 0) {
        std::memcpy(r_.data(), "FILE", 4);
        put16(r_, 4, 48);  // update sequence array
        put16(r_, 6, 3);
        put16(r_, 16, seq);
        put16(r_, 18, 1);
        put16(r_, 20, 56);
        put16(r_, 22, flags);
        put32(r_, 28, 1024);
        off_ = 56;
    }
    RecordBuilder& standardInfo(uint64_t mtime) {
        std::vector<uint8_t> v(48, 0);
        put64(v, 0, mtime);
        put64(v, 8, mtime);
        put64(v, 24, mtime);
        return resident(0x10, v);
    }
    RecordBuilder& fileName(uint64_t parent, uint16_t parentSeq, const std::u16string& name, bool dir,
                            uint8_t ns = 1) {
        std::vector<uint8_t> v(66 + 2 * name.size(), 0);
        put64(v, 0, parent | (static_cast<uint64_t>(parentSeq) << 48));
        put32(v, 56, dir ? 0x10000000u : 0x20u);
        v[64] = static_cast<uint8_t>(name.size());
        v[65] = ns;
        for (size_t i = 0; i < name.size(); ++i) put16(v, 66 + 2 * i, name[i]);
        return resident(0x30, v);
    }
    RecordBuilder& resident(uint32_t type, const std::vector<uint8_t>& value) {
        size_t len = (24 + value.size() + 7) & ~size_t(7);
        put32(r_, off_, type);
        put32(r_, off_ + 4, static_cast<uint32_t>(len));
        put32(r_, off_ + 16, static_cast<uint32_t>(value.size()));
        put16(r_, off_ + 20, 24);
        std::memcpy(r_.data() + off_ + 24, value.data(), value.size());
        off_ += len;
        return *this;
    }
    RecordBuilder& nonResident(uint32_t type, const std::vector<uint8_t>& runs, uint64_t lastVcn,
                               uint64_t realSize, uint16_t flags = 0, uint16_t unitExp = 0) {
        size_t len = (64 + runs.size() + 7) & ~size_t(7);
        put32(r_, off_, type);
        put32(r_, off_ + 4, static_cast<uint32_t>(len));
        r_[off_ + 8] = 1;
        put16(r_, off_ + 12, flags);
        put64(r_, off_ + 24, lastVcn);
        put16(r_, off_ + 32, 64);
        put16(r_, off_ + 34, unitExp);
        put64(r_, off_ + 40, realSize);
        put64(r_, off_ + 48, realSize);
        put64(r_, off_ + 56, realSize);
        std::memcpy(r_.data() + off_ + 64, runs.data(), runs.size());
        off_ += len;
        return *this;
    }
    std::vector<uint8_t> finish() {
        put32(r_, off_, 0xFFFFFFFF);
        put32(r_, 24, static_cast<uint32_t>(off_ + 8));
        // Update sequence: number 7, the saved words are the zeros at the
        // stride ends.
        put16(r_, 48, 7);
        put16(r_, 510, 7);
        put16(r_, 1022, 7);
        return r_;
    }

private:
    std::vector<uint8_t> r_;
    size_t off_;
};

struct Planted {
    std::vector<uint8_t> image;
    uint64_t mftOffset = 0;
    std::vector<uint64_t> freeSlots;
};

// The sample volume with its MFT position and the record numbers that hold
// no record.
std::optional<Planted> plantBase() {
    auto path = fixtureImage("ntfs");
    if (!path) return std::nullopt;
    Planted p;
    p.image = readAll(*path);
    const uint64_t cs = p.image[11] | (p.image[12] << 8);
    p.mftOffset = le64(p.image.data(), p.image.size(), 48) * cs * p.image[13];
    // The MFT is full: take the last records that hold plain files
    // (fillers), so that no folder loses its children.
    const uint64_t records = 650;
    for (uint64_t k = records - 1; k > 100 && p.freeSlots.size() < 40; --k) {
        uint64_t o = p.mftOffset + k * 1024;
        if ((le16(p.image.data(), p.image.size(), o + 22) & 2) == 0) p.freeSlots.push_back(k);
    }
    return p;
}

void plant(Planted& p, uint64_t slot, const std::vector<uint8_t>& rec) {
    std::memcpy(p.image.data() + p.mftOffset + slot * 1024, rec.data(), rec.size());
}

uint16_t sequenceOf(const Planted& p, uint64_t recno) {
    return le16(p.image.data(), p.image.size(), p.mftOffset + recno * 1024 + 16);
}

std::unique_ptr<ntfs> scanImage(std::vector<uint8_t> bytes, ScanMode mode = ScanMode::Standard) {
    auto reader = std::make_shared<MemoryReader>(std::move(bytes));
    auto parser = std::make_unique<ntfs>();
    ScanContext ctx;
    ctx.volume = VolumeView(reader, 0, reader->sizeBytes());
    ctx.mode = mode;
    EXPECT_EQ(parser->scan(ctx), ScanOutcome::Done);
    return parser;
}

std::map<std::string, EntryInfo> listAll(const VolumeParser& p) {
    std::map<std::string, EntryInfo> out;
    std::set<EntryId> ids;
    walkTree(p, kRootId, [&](const std::string& path, EntryId id, const EntryInfo& info) {
        EXPECT_TRUE(ids.insert(id).second) << "visited twice: " << path;
        out[path] = info;
        return true;
    });
    return out;
}

std::set<std::string> dirNames(const std::string& dir) {
    std::set<std::string> out;
    if (DIR* d = opendir(dir.c_str())) {
        while (dirent* e = readdir(d))
            if (std::strcmp(e->d_name, ".") && std::strcmp(e->d_name, "..")) out.insert(e->d_name);
        closedir(d);
    }
    return out;
}

}  // namespace

TEST(NtfsHostile, UnsafeNamesLoopsAndWildRunsStayInsideTheOutputFolder) {
    auto base = plantBase();
    if (!base) GTEST_SKIP() << "sample image ntfs not found";
    Planted p = std::move(*base);
    ASSERT_GE(p.freeSlots.size(), 12u);
    const uint16_t rootSeq = sequenceOf(p, 5);
    const uint64_t t = 132000000000000000ull;  // a FILETIME in 2019
    auto slot = [&](int i) { return p.freeSlots[static_cast<size_t>(i)]; };
    std::vector<uint8_t> body = {'h', 'i'};

    // Unsafe names directly under the root.
    plant(p, slot(0), RecordBuilder(1).standardInfo(t).fileName(5, rootSeq, u"..", false).resident(0x80, body).finish());
    plant(p, slot(1), RecordBuilder(1).standardInfo(t).fileName(5, rootSeq, u"a/b", false).resident(0x80, body).finish());
    std::u16string longName(255, u'\u65E5');
    plant(p, slot(2), RecordBuilder(1).standardInfo(t).fileName(5, rootSeq, longName, false).resident(0x80, body).finish());
    // A folder named ".." holding a file.
    plant(p, slot(3), RecordBuilder(3).standardInfo(t).fileName(5, rootSeq, u"..", true).finish());
    plant(p, slot(4), RecordBuilder(1).standardInfo(t).fileName(slot(3), 1, u"escape.txt", false).resident(0x80, body).finish());
    // Runs outside the volume: 8-byte LCN, and a huge length.
    plant(p, slot(5), RecordBuilder(1).standardInfo(t).fileName(5, rootSeq, u"wild.bin", false)
                          .nonResident(0x80, {0x81, 0x02, 0, 0, 0, 0, 0, 0, 0, 0x40, 0, 0, 0, 0, 0, 0, 0, 0x00}, 1, 5000)
                          .finish());
    // Two folders each other's parent, and a folder that is its own parent.
    plant(p, slot(6), RecordBuilder(3).standardInfo(t).fileName(slot(7), 1, u"loopA", true).finish());
    plant(p, slot(7), RecordBuilder(3).standardInfo(t).fileName(slot(6), 1, u"loopB", true).finish());
    plant(p, slot(8), RecordBuilder(3).standardInfo(t).fileName(slot(8), 1, u"selfish", true).finish());
    plant(p, slot(9), RecordBuilder(1).standardInfo(t).fileName(slot(6), 1, u"inloop.txt", false).resident(0x80, body).finish());
    // A parent reference whose sequence number no longer matches (record reused).
    plant(p, slot(10), RecordBuilder(0).standardInfo(t).fileName(5, static_cast<uint16_t>(rootSeq + 5), u"stale.txt", false)
                           .resident(0x80, body).finish());
    // Broken fixups and an attribute walking off the record.
    auto broken = RecordBuilder(1).standardInfo(t).fileName(5, rootSeq, u"torn.txt", false).resident(0x80, body).finish();
    put16(broken, 4, 1020);
    put16(broken, 6, 0xFFFF);
    plant(p, slot(11), broken);
    auto wild = RecordBuilder(1).standardInfo(t).fileName(5, rootSeq, u"attr.txt", false).finish();
    put32(wild, 56 + 4, 0xFFFFFFF0);  // first attribute's length
    plant(p, slot(12), wild);
    // Compressed flag with a unit exponent of 31, and an LZNT1 unit whose
    // back reference points before the output.
    plant(p, slot(13), RecordBuilder(1).standardInfo(t).fileName(5, rootSeq, u"unit31.bin", false)
                           .nonResident(0x80, {0x11, 0x01, 0x40, 0x00}, 0, 4096, 0x0001, 31)
                           .finish());

    auto parser = scanImage(p.image);
    auto all = listAll(*parser);
    EXPECT_TRUE(all.count(".."));
    EXPECT_TRUE(all.count("a/b") || all.count("a/b"));
    EXPECT_TRUE(all.count("wild.bin"));
    EXPECT_TRUE(all.count("ORPHAN_ENTRY/stale.txt")) << "a reused parent must not adopt the file";
    EXPECT_TRUE(all.count("ORPHAN_ENTRY/selfish"));
    // The loop is cut once: one folder under ORPHAN_ENTRY, the other below it.
    EXPECT_TRUE(all.count("ORPHAN_ENTRY/loopA/loopB") || all.count("ORPHAN_ENTRY/loopB/loopA"));
    EXPECT_EQ(all["wild.bin"].size, 5000u);

    TempDir tmp;
    const std::string out = tmp.path() + "/inner";
    ASSERT_EQ(::mkdir(out.c_str(), 0755), 0);
    std::ofstream(tmp.path() + "/canary").put('c');
    SaveStats stats = saveFolder(*parser, kRootId, out, nullptr, nullptr);
    // Nothing beside the output folder.
    EXPECT_EQ(dirNames(tmp.path()), (std::set<std::string>{"canary", "inner"}));
    auto top = dirNames(out);
    EXPECT_TRUE(top.count("_.."));
    EXPECT_TRUE(top.count("a_b"));
    for (const std::string& n : top) EXPECT_LE(n.size(), 255u);
    // The two ".." entries (file and folder) do not overwrite each other.
    int dots = 0;
    for (const std::string& n : top) dots += n.rfind("_.", 0) == 0;
    EXPECT_EQ(dots, 2) << ::testing::PrintToString(top);
    // The wild runs give zeros and leave the file partial; the rest is written.
    EXPECT_GE(stats.partial, 1u);
    struct stat st {};
    ASSERT_EQ(::stat((out + "/wild.bin.partial").c_str(), &st), 0);
    EXPECT_EQ(st.st_size, 5000);
    // (Deleted fillers whose clusters other files hold are not written.)
    EXPECT_GT(stats.written + stats.failed, 500u);
}

// Deep mode places records by the parent their names give, with the same
// care: a parent loop is cut once, a parent whose sequence number moved on
// adopts nothing, and the rest of the volume keeps its paths.
TEST(NtfsHostile, DeepModeCutsParentLoopsAndRefusesStaleParents) {
    auto base = plantBase();
    if (!base) GTEST_SKIP() << "sample image ntfs not found";
    Planted p = std::move(*base);
    const uint16_t rootSeq = sequenceOf(p, 5);
    const uint64_t t = 132000000000000000ull;
    auto slot = [&](int i) { return p.freeSlots[static_cast<size_t>(i)]; };
    auto put = [&](int i, std::vector<uint8_t> rec) {
        put32(rec, 44, static_cast<uint32_t>(slot(i)));  // the record's own number
        plant(p, slot(i), rec);
    };
    put(0, RecordBuilder(3).standardInfo(t).fileName(slot(1), 1, u"loopA", true).finish());
    put(1, RecordBuilder(3).standardInfo(t).fileName(slot(0), 1, u"loopB", true).finish());
    put(2, RecordBuilder(3).standardInfo(t).fileName(slot(2), 1, u"selfish", true).finish());
    put(3, RecordBuilder(1).standardInfo(t).fileName(slot(0), 1, u"inloop.txt", false).resident(0x80, {'x'}).finish());
    put(4, RecordBuilder(0).standardInfo(t).fileName(5, static_cast<uint16_t>(rootSeq + 5), u"stale.txt", false)
               .resident(0x80, {'x'}).finish());
    put(5, RecordBuilder(3, 4).standardInfo(t).fileName(5, rootSeq, u"kept", true).finish());
    put(6, RecordBuilder(1).standardInfo(t).fileName(slot(5), 3, u"older.txt", false).resident(0x80, {'x'}).finish());
    put(7, RecordBuilder(1).standardInfo(t).fileName(slot(5), 4, u"inside.txt", false).resident(0x80, {'x'}).finish());

    auto parser = scanImage(p.image, ScanMode::Deep);
    auto all = listAll(*parser);
    EXPECT_TRUE(all.count("ORPHAN_ENTRY/stale.txt"));
    EXPECT_TRUE(all.count("ORPHAN_ENTRY/selfish"));
    EXPECT_TRUE(all.count("ORPHAN_ENTRY/loopA/loopB") || all.count("ORPHAN_ENTRY/loopB/loopA"));
    EXPECT_TRUE(all.count("kept/inside.txt"));
    EXPECT_TRUE(all.count("ORPHAN_ENTRY/older.txt")) << "a live folder whose sequence moved on adopts nothing";
    EXPECT_TRUE(all.count("Documents/readme.txt"));
}

// A volume whose root record is gone still shows ORPHAN_ENTRY with every
// named entry.
TEST(NtfsHostile, ZeroedRootRecordPutsEverythingUnderOrphanEntry) {
    auto base = plantBase();
    if (!base) GTEST_SKIP() << "sample image ntfs not found";
    Planted p = std::move(*base);
    std::memset(p.image.data() + p.mftOffset + 5 * 1024, 0, 1024);
    auto parser = scanImage(p.image);
    auto top = parser->children(kRootId);
    ASSERT_EQ(top.size(), 1u);
    EntryInfo info;
    ASSERT_TRUE(parser->entryInfo(top[0], info));
    EXPECT_EQ(info.name, "ORPHAN_ENTRY");
    auto all = listAll(*parser);
    EXPECT_TRUE(all.count("ORPHAN_ENTRY/Documents/readme.txt"));
    EXPECT_TRUE(all.count("ORPHAN_ENTRY/$MFTMirr"));
}

// A truncated image: entries beyond the cut are nameless, nothing is
// duplicated, and the scan ends.
TEST(NtfsHostile, TruncatedInsideTheMftHasNoPhantoms) {
    auto base = plantBase();
    if (!base) GTEST_SKIP() << "sample image ntfs not found";
    Planted p = std::move(*base);
    p.image.resize(p.mftOffset + 100 * 1024 + 512);
    auto parser = scanImage(p.image);
    auto all = listAll(*parser);
    std::map<std::string, int> names;
    for (const auto& [path, info] : all) ++names[path];
    for (const auto& [path, n] : names) EXPECT_EQ(n, 1) << path;
    for (size_t i = 101; i < parser->entries().size() - 1; ++i) EXPECT_FALSE(parser->entries()[i].hasName()) << i;
}

// A damaged boot sector: the $MFT record is found by scanning.
TEST(NtfsHostile, DamagedBootSectorFindsMftByScanning) {
    auto base = plantBase();
    if (!base) GTEST_SKIP() << "sample image ntfs not found";
    Planted p = std::move(*base);
    std::memset(p.image.data(), 0, 512);
    auto parser = scanImage(p.image);
    auto all = listAll(*parser);
    EXPECT_TRUE(all.count("Documents/readme.txt"));
    EXPECT_TRUE(all.count("ORPHAN_ENTRY/child_a.txt"));
    // The mirror must not be taken for the MFT.
    EXPECT_GT(parser->entries().size(), 100u);
}

// Damage on a copy of the sample is named in the parser's damage log with
// the record and its position: a torn record is kept (its file still
// listed), a record whose first attribute lies outside it is refused. The
// clean volume has no damage.
TEST(NtfsHostile, TornAndRefusedRecordsAreNamedWithTheirOffsets) {
    auto base = plantBase();
    if (!base) GTEST_SKIP() << "sample image ntfs not found";
    Planted p = std::move(*base);
    auto clean = scanImage(p.image);
    EXPECT_EQ(clean->damage().count(), 0u) << clean->damage().summary();
    auto recordOf = [&](const std::string& path) {
        EntryId found = kRootId;
        walkTree(*clean, kRootId, [&](const std::string& at, EntryId id, const EntryInfo&) {
            if (at == path) found = id;
            return found == kRootId;
        });
        return static_cast<uint64_t>(found);
    };
    const uint64_t readme = recordOf("Documents/readme.txt"), other = recordOf("ORPHAN_ENTRY/child_a.txt");
    ASSERT_NE(readme, kRootId);
    ASSERT_NE(other, kRootId);
    const uint64_t readmeAt = p.mftOffset + readme * 1024, otherAt = p.mftOffset + other * 1024;
    p.image[readmeAt + 1022] ^= 0xFF;          // the second sector's sequence number
    put16(p.image, otherAt + 20, 0x3FFC);      // first attribute outside the record

    auto parser = scanImage(p.image);
    auto all = listAll(*parser);
    EXPECT_TRUE(all.count("Documents/readme.txt"));
    EXPECT_FALSE(all.count("ORPHAN_ENTRY/child_a.txt"));
    auto notes = parser->damage().notes();
    ASSERT_EQ(notes.size(), 2u) << parser->damage().summary();
    std::sort(notes.begin(), notes.end(), [](const DamageNote& a, const DamageNote& b) { return a.offset < b.offset; });
    const DamageNote& torn = notes[readmeAt < otherAt ? 0 : 1];
    const DamageNote& refused = notes[readmeAt < otherAt ? 1 : 0];
    EXPECT_EQ(torn.structure, "MFT record " + std::to_string(readme));
    EXPECT_EQ(torn.offset, readmeAt);
    EXPECT_TRUE(torn.repaired);
    EXPECT_NE(torn.what.find("update sequence mismatch in sector 2"), std::string::npos) << torn.text();
    EXPECT_EQ(refused.structure, "MFT record " + std::to_string(other));
    EXPECT_EQ(refused.offset, otherAt);
    EXPECT_FALSE(refused.repaired);
    EXPECT_NE(refused.what.find("first attribute at 0x3FFC"), std::string::npos) << refused.text();

    // A boot sector whose MFT cluster holds no record: said, with the place.
    put64(p.image, 48, 1);  // inside $Boot
    auto moved = scanImage(p.image);
    auto first = moved->damage().notes();
    ASSERT_EQ(first.size(), 1u) << moved->damage().summary();
    EXPECT_EQ(first[0].structure, "MFT record 0");
    EXPECT_EQ(first[0].offset, static_cast<uint64_t>(p.image[13] * (p.image[11] | (p.image[12] << 8))));
}
