// Settings records and files: the byte layout, the editor's parsing, both
// loaders and their refusals.
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <iterator>

#include "base/sinks.h"
#include "raw/carve.h"
#include "raw/default_types.h"
#include "raw/settings.h"
#include "tests/support/fixtures.h"

using namespace brantlow;
using namespace brantlow::raw;

namespace {

class Recorder : public MessageSink {
public:
    std::vector<std::string> texts;
    void info(const std::string& t) override { texts.push_back(t); }
};

struct SinkGuard {
    Recorder rec;
    MessageSink* prev;
    SinkGuard() : prev(setMessageSink(&rec)) {}
    ~SinkGuard() { setMessageSink(prev); }
};

void writeFile(const std::string& path, const std::vector<uint8_t>& bytes) {
    std::ofstream f(path, std::ios::binary | std::ios::trunc);
    f.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

std::vector<uint8_t> readFile(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(f), {});
}

EditorFields pngFields() {
    EditorFields f;
    f.extension = "png";
    f.startSignature = "0x89,0x50, 4E,,47";
    f.endSignature = "0x49,0x45,0x4E,0x44,0xAE,0x42,0x60,0x82";
    f.sizeOffset = "0";
    f.sizeLength = "0";
    f.headerSize = "0";
    f.approximateSize = "3000000000";  // above 2 GiB: 64-bit
    f.skipSize = "1024";
    f.category = "Photos";
    return f;
}

std::vector<uint8_t> recordBytes(const SettingsRecord& r) {
    auto a = encodeRecord(r);
    return std::vector<uint8_t>(a.begin(), a.end());
}

}  // namespace

TEST(SettingsRecord, EditorSaveGivesTheReferenceBytes) {
    SettingsRecord r;
    std::string msg;
    ASSERT_TRUE(buildRecord(pngFields(), 0, r, msg));
    std::array<uint8_t, 171> ref{};
    const char16_t* ext = u"png";
    for (int i = 0; i < 3; ++i) ref[2 * i] = static_cast<uint8_t>(ext[i]);
    ref[10] = 3;
    const uint8_t start[] = {0x89, 0x50, 0x4E, 0x47};
    const uint8_t end[] = {0x49, 0x45, 0x4E, 0x44, 0xAE, 0x42, 0x60, 0x82};
    std::copy(std::begin(start), std::end(start), ref.begin() + 11);
    std::copy(std::begin(end), std::end(end), ref.begin() + 21);
    ref[31] = 4;
    ref[32] = 8;
    ref[33] = 0;
    ref[34] = ref[35] = ref[36] = ref[37] = 0xFF;  // size offset 0 is stored as -1
    const uint64_t approx = 3000000000ull;
    for (int i = 0; i < 8; ++i) ref[51 + i] = static_cast<uint8_t>(approx >> (8 * i));
    ref[59] = 0x00;
    ref[60] = 0x04;  // 1024
    const char16_t* cat = u"Photos";
    for (int i = 0; i < 6; ++i) ref[67 + 2 * i] = static_cast<uint8_t>(cat[i]);
    EXPECT_EQ(encodeRecord(r), ref);

    // The same bytes typed without the prefix.
    EditorFields g = pngFields();
    g.startSignature = "89,50,4E,47";
    SettingsRecord r2;
    ASSERT_TRUE(buildRecord(g, 0, r2, msg));
    EXPECT_EQ(encodeRecord(r2), ref);

    // Decoding gives the fields back and encodes to the same bytes.
    SettingsRecord d = decodeRecord(ref.data());
    EXPECT_EQ(d.approximateSize, 3000000000ll);
    EXPECT_EQ(d.sizeOffset, -1);
    EXPECT_EQ(encodeRecord(d), ref);
}

TEST(SettingsRecord, EditorFieldRules) {
    SettingsRecord r;
    std::string msg;
    EditorFields f = pngFields();
    f.extension = "";
    EXPECT_FALSE(buildRecord(f, 0, r, msg));
    EXPECT_EQ(msg, "extention length is zero..");
    f = pngFields();
    f.startSignature = " , ,";
    EXPECT_FALSE(buildRecord(f, 0, r, msg));
    EXPECT_EQ(msg, "signature length is zero..");
    f = pngFields();
    f.startSignature = "1,2,3,4,5,6,7,8,9,10,11";
    EXPECT_FALSE(buildRecord(f, 0, r, msg));

    // A five-character extension keeps four units and its typed length;
    // text that is not hex reads as 0; a one-byte signature is stored.
    f = pngFields();
    f.extension = "jpeg2";
    f.startSignature = "zz";
    f.sizeOffset = "12";
    f.bytesAfterEnd = "18";
    ASSERT_TRUE(buildRecord(f, 7, r, msg));
    auto b = encodeRecord(r);
    EXPECT_EQ(b[10], 5);
    EXPECT_EQ(b[8], 0);
    EXPECT_EQ(b[9], 0);
    EXPECT_EQ(decodeRecord(b.data()).extension, u"jpeg");
    EXPECT_EQ(b[31], 1);
    EXPECT_EQ(b[11], 0);
    EXPECT_EQ(b[33], 7);
    EXPECT_EQ(b[34], 12);
    EXPECT_EQ(b[47], 18);  // bytes after the end signature live in the old reserved field

    // Category of 60 characters: 49 kept, terminated.
    f = pngFields();
    f.category = std::string(60, 'c');
    ASSERT_TRUE(buildRecord(f, 0, r, msg));
    b = encodeRecord(r);
    EXPECT_EQ(decodeRecord(b.data()).category.size(), 49u);
    EXPECT_EQ(b[67 + 98], 0);
}

TEST(SettingsFile, SavesAppendAndThe257thIsRefused) {
    test::TempDir dir;
    std::string path = dir.path() + "/types.bin";
    for (int i = 0; i < 256; ++i) {
        auto res = appendRecord(path, pngFields());
        ASSERT_TRUE(res.ok) << i << res.message;
        EXPECT_EQ(res.message, "everything initialized well.....");
    }
    auto bytes = readFile(path);
    ASSERT_EQ(bytes.size(), 256u * 171);
    EXPECT_EQ(bytes[33], 0);
    EXPECT_EQ(bytes[171 + 33], 1);
    EXPECT_EQ(bytes[255 * 171 + 33], 255);
    auto res = appendRecord(path, pngFields());
    EXPECT_FALSE(res.ok);
    EXPECT_EQ(readFile(path).size(), 256u * 171);

    // All 256 load back.
    std::vector<SettingsRecord> recs;
    std::string msg;
    ASSERT_TRUE(readSettingsFile(path, true, recs, msg));
    EXPECT_EQ(recs.size(), 256u);
}

TEST(SettingsFile, LoaderTable) {
    test::TempDir dir;
    SettingsRecord r;
    std::string msg;
    ASSERT_TRUE(buildRecord(pngFields(), 0, r, msg));
    auto one = recordBytes(r);

    struct Case {
        const char* name;
        std::vector<uint8_t> bytes;
        bool ok;
        size_t count;
    };
    std::vector<Case> cases;
    cases.push_back({"170 bytes", std::vector<uint8_t>(one.begin(), one.end() - 1), false, 0});
    cases.push_back({"171 bytes", one, true, 1});
    {
        auto b = one;
        b.insert(b.end(), one.begin(), one.end() - 1);  // 341
        cases.push_back({"341 bytes", b, false, 0});
    }
    {
        auto b = one;
        auto second = one;
        second[33] = 255;  // a fresh record's index
        b.insert(b.end(), second.begin(), second.end());
        cases.push_back({"last index 255", b, true, 2});
    }
    {
        auto b = one;
        b[33] = 0;
        auto second = one;
        second[33] = 0;  // last index 0: one record
        b.insert(b.end(), second.begin(), second.end());
        cases.push_back({"last index 0 of 2", b, true, 1});
    }
    cases.push_back({"empty", {}, false, 0});
    {
        std::vector<uint8_t> b;
        for (int i = 0; i < 6200; ++i) b.insert(b.end(), one.begin(), one.end());  // last record beyond 1 MiB
        cases.push_back({"beyond 1 MiB", b, false, 0});
    }
    for (const auto& c : cases) {
        for (bool operatorFile : {true, false}) {
            std::string path = dir.path() + "/case.bin";
            writeFile(path, c.bytes);
            std::vector<SettingsRecord> recs;
            std::string m;
            bool ok = readSettingsFile(path, operatorFile, recs, m);
            EXPECT_EQ(ok, c.ok) << c.name;
            EXPECT_EQ(recs.size(), c.count) << c.name;
            if (!c.ok) {
                EXPECT_EQ(m, "not a valid file..") << c.name;
            }
        }
    }
}

TEST(SettingsFile, HostileFieldsAreClampedOnLoad) {
    std::vector<uint8_t> b(171, 0xFF);
    b[33] = 0;
    b[38] = 4;
    b[39] = b[40] = b[41] = 0;  // size length 4 (an operator's file allows up to 8)
    b[31] = 200;
    b[32] = 255;
    std::vector<SettingsRecord> recs;
    std::string m;
    ASSERT_TRUE(parseSettingsBytes(b.data(), b.size(), true, recs, m));
    ASSERT_EQ(recs.size(), 1u);
    EXPECT_EQ(recs[0].startLength, 10);
    EXPECT_EQ(recs[0].endLength, 10);
    EXPECT_EQ(recs[0].extension.size(), 4u);   // no terminator in the file: 4 units
    EXPECT_EQ(recs[0].category.size(), 49u);   // no terminator: 49 units
    EXPECT_EQ(recs[0].sizeOffset, -1);

    // Size length above 8 refuses an operator's file, not the default one.
    b[38] = 9;
    recs.clear();
    EXPECT_FALSE(parseSettingsBytes(b.data(), b.size(), true, recs, m));
    EXPECT_TRUE(parseSettingsBytes(b.data(), b.size(), false, recs, m));
}

TEST(SettingsFile, LoaderMessages) {
    SinkGuard g;
    test::TempDir dir;
    myJpg e;
    EXPECT_FALSE(e.loadDefaultTypes(dir.path() + "/missing.txt"));
    EXPECT_TRUE(g.rec.texts.empty());  // a missing default file is passed over
    EXPECT_FALSE(e.loadTypeFile(dir.path() + "/missing.txt"));
    ASSERT_EQ(g.rec.texts.size(), 1u);
    EXPECT_EQ(g.rec.texts[0], "can not open file");
    writeFile(dir.path() + "/short.txt", std::vector<uint8_t>(100, 0));
    EXPECT_FALSE(e.loadDefaultTypes(dir.path() + "/short.txt"));
    ASSERT_EQ(g.rec.texts.size(), 2u);
    EXPECT_EQ(g.rec.texts[1], "not a valid file..");
    EXPECT_TRUE(e.types().empty());
}

TEST(DefaultSettings, ShippedFileMatchesTheTableAndLoads) {
    auto shipped = readFile(std::string(BRANTLOW_TEST_DATA) + "/../../raw/FileSetting.txt");
    std::vector<uint8_t> made;
    for (const auto& r : defaultRecords()) {
        auto b = encodeRecord(r);
        made.insert(made.end(), b.begin(), b.end());
    }
    EXPECT_EQ(shipped, made) << "regenerate raw/FileSetting.txt with brantlow-make-default-settings";
    EXPECT_GE(made.size() / 171, 40u);

    std::vector<SettingsRecord> recs;
    std::string m;
    ASSERT_TRUE(parseSettingsBytes(made.data(), made.size(), true, recs, m));
    ASSERT_EQ(recs.size(), defaultTypeTable().size());
    std::vector<uint8_t> again;
    for (const auto& r : recs) {
        auto b = encodeRecord(r);
        again.insert(again.end(), b.begin(), b.end());
    }
    EXPECT_EQ(again, made);  // byte-for-byte round trip
    for (size_t i = 0; i < recs.size(); ++i) {
        EXPECT_EQ(recs[i].index, i);
        EXPECT_GE(recs[i].startLength, 2) << i;
        EXPECT_FALSE(recs[i].category.empty()) << i;
        EXPECT_GT(recs[i].approximateSize, 0) << i;
    }
}
