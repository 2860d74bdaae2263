// LUKS volumes are read through their layer exactly like the same file
// system without encryption: the LUKS2 fixture (passphrase and volume key in
// its manifest; its plaintext decrypted here with the key, as the manifest
// describes), and volumes that cryptsetup encrypts at test time from plain
// images with its own offline encryption (LUKS1 by converting a LUKS2 one).
#include <gcrypt.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <random>

#include "layers/luks/luks_header.h"
#include "scan/volumes.h"
#include "tests/support/fixtures.h"
#include "tests/support/tool_images.h"
#include "tests/support/luks_image.h"

using namespace brantlow;
using namespace brantlow::test;
namespace fs = std::filesystem;

namespace {

std::string writeText(const std::string& path, const std::string& text) {
    std::ofstream(path, std::ios::binary) << text;
    return path;
}

// Path → content hash of every file below dir.
std::map<std::string, std::string> tree(const std::string& dir) {
    std::map<std::string, std::string> out;
    if (!fs::exists(dir)) return out;
    for (auto& e : fs::recursive_directory_iterator(dir))
        if (e.is_regular_file()) out[fs::relative(e.path(), dir).string()] = sha256File(e.path().string()).value_or("");
    return out;
}

bool contains(const std::string& s, const std::string& what) { return s.find(what) != std::string::npos; }

std::vector<uint8_t> unhex(const std::string& h) {
    std::vector<uint8_t> out;
    for (size_t i = 0; i + 1 < h.size(); i += 2) out.push_back(static_cast<uint8_t>(std::stoi(h.substr(i, 2), nullptr, 16)));
    return out;
}

// The fixture's payload decrypted as its manifest says it was encrypted:
// AES-XTS, tweak = the 512-byte sector number from the payload's start.
std::vector<uint8_t> decryptFixture(const std::vector<uint8_t>& image, const nlohmann::json& luks) {
    const uint64_t off = luks["payload_offset_bytes"], len = luks["payload_length_bytes"];
    std::vector<uint8_t> key = unhex(luks["volume_key_hex"]);
    std::vector<uint8_t> plain(image.begin() + static_cast<long>(off), image.begin() + static_cast<long>(off + len));
    gcry_check_version(nullptr);
    gcry_cipher_hd_t h = nullptr;
    EXPECT_EQ(gcry_cipher_open(&h, GCRY_CIPHER_AES256, GCRY_CIPHER_MODE_XTS, 0), 0u);
    EXPECT_EQ(gcry_cipher_setkey(h, key.data(), key.size()), 0u);
    for (uint64_t s = 0; s < len / 512; ++s) {
        uint8_t iv[16] = {};
        for (int b = 0; b < 8; ++b) iv[b] = static_cast<uint8_t>(s >> (8 * b));
        gcry_cipher_setiv(h, iv, sizeof iv);
        gcry_cipher_decrypt(h, plain.data() + s * 512, 512, nullptr, 0);
    }
    gcry_cipher_close(h);
    return plain;
}

class Luks2Fixture : public ::testing::Test {
protected:
    void SetUp() override {
        auto img = fixtureImage("luks2_ext4");
        auto manifest = fixtureManifest("luks2_ext4");
        if (!img || !manifest) GTEST_SKIP() << "fixture image luks2_ext4 not found (set BRANTLOW_FIXTURES)";
        image = readFile(*img);
        luks = (*manifest)["luks"];
        encrypted = writeFile(tmp.path() + "/luks2.img", image);
        plain = writeFile(tmp.path() + "/plain.img", decryptFixture(image, luks));
        pass = writeText(tmp.path() + "/pass", luks["passphrase"].get<std::string>() + "\n");
    }
    std::vector<uint8_t> image;
    nlohmann::json luks;
    TempDir tmp;
    std::string encrypted, plain, pass;
};

}  // namespace

TEST_F(Luks2Fixture, ListedAndReadLikeThePlainVolume) {
    auto shut = runCli({"volumes", encrypted});
    EXPECT_TRUE(contains(shut.out, "0        LUKS2")) << shut.out;
    EXPECT_TRUE(contains(shut.out, "not opened: a passphrase is needed")) << shut.out;

    auto vols = runCli({"volumes", encrypted, "--passphrase-file", pass});
    ASSERT_EQ(vols.rc, 0);
    EXPECT_TRUE(contains(vols.out, "0/0      extX")) << vols.out;
    EXPECT_TRUE(contains(vols.out, "in LUKS2 aes-xts-plain64 on 0")) << vols.out;

    // Every entry, live and deleted, as on the plain volume.
    auto inner = runCli({"list", encrypted, "--volume", "0/0", "--passphrase-file", pass, "--json"});
    auto alone = runCli({"list", plain, "--json"});
    ASSERT_EQ(inner.rc, 0);
    EXPECT_EQ(inner.out, alone.out);
    size_t deleted = 0;
    for (const auto& e : jsonLines(inner.out)) deleted += e["state"] == "deleted";
    EXPECT_GT(deleted, 10u);

    // Written decrypted, byte for byte as from the plain volume, and said so.
    auto a = runCli({"recover", encrypted, "--volume", "0/0", "--passphrase-file", pass, "--out", tmp.path() + "/a",
                     "--quiet"});
    auto b = runCli({"recover", plain, "--out", tmp.path() + "/b", "--quiet"});
    EXPECT_EQ(a.rc, b.rc);
    EXPECT_TRUE(contains(a.out, "the files were written decrypted (read through LUKS2 aes-xts-plain64 on 0)")) << a.out;
    EXPECT_EQ(tree(tmp.path() + "/a"), tree(tmp.path() + "/b"));
    EXPECT_GT(tree(tmp.path() + "/a").size(), 20u);

    // Carving reads the decrypted sectors.
    auto carved = runCli({"carve", encrypted, "--volume", "0/0", "--passphrase-file", pass, "--json"});
    ASSERT_EQ(carved.rc, 0);
    EXPECT_EQ(carved.out, runCli({"carve", plain, "--json"}).out);
}

TEST_F(Luks2Fixture, ReadsAtAnyOffsetEqualThePlainBytes) {
    auto source = std::make_shared<FileReadSeek>();
    ASSERT_TRUE(source->Open(encrypted));
    const std::string phrase = luks["passphrase"];
    std::vector<VolumeEntry> vols = listVolumes(source, false, [&](const LayerQuestion& q, LayerAnswers& answers) {
        EXPECT_EQ(q.prompt, "Passphrase for LUKS2 volume 0: ");
        answers.passphrase.assign(phrase.data(), phrase.size());
        return true;
    });
    ASSERT_EQ(vols.size(), 2u);
    const VolumeView view = volumeView(vols[1], source);
    const std::vector<uint8_t> expect = readFile(plain);
    ASSERT_EQ(view.sizeBytes(), expect.size());
    std::mt19937_64 rng(7);
    std::vector<uint8_t> got;
    for (int i = 0; i < 400; ++i) {
        const uint64_t off = rng() % expect.size();
        const size_t len = static_cast<size_t>(1 + rng() % std::min<uint64_t>(70000, expect.size() - off));
        got.assign(len, 0xEE);
        ASSERT_EQ(view.read(off, got.data(), len), len) << off << "+" << len;
        ASSERT_TRUE(std::equal(got.begin(), got.end(), expect.begin() + static_cast<long>(off))) << off << "+" << len;
    }
    // Past the end: short, then nothing.
    got.assign(1024, 0);
    EXPECT_EQ(vols[1].reader->readAbsolute(expect.size() - 100, got.data(), got.size()), 100);
    EXPECT_EQ(vols[1].reader->readAbsolute(expect.size(), got.data(), got.size()), 0);
}

TEST_F(Luks2Fixture, WrongAnswersEndWithStatusTwoAndRightOnesOpen) {
    const std::string listing = runCli({"list", plain, "--json"}).out;
    auto wrong = runCli({"list", encrypted, "--volume", "0/0", "--passphrase-file",
                         writeText(tmp.path() + "/wrong", "pw-TEST-luks3\n")},
                        true);
    EXPECT_EQ(wrong.rc, 2);
    EXPECT_TRUE(contains(wrong.out, "volume 0 (LUKS2) cannot be opened: wrong passphrase: it opens no key slot"))
        << wrong.out;
    EXPECT_EQ(runCli({"list", encrypted, "--volume", "0/0"}).rc, 2);  // no terminal, no file

    // A key file is taken whole: its line break is part of it.
    const std::string phrase = luks["passphrase"];
    auto keyWithBreak = runCli({"list", encrypted, "--key-file", writeText(tmp.path() + "/k1", phrase + "\n")}, true);
    EXPECT_EQ(keyWithBreak.rc, 2);
    EXPECT_TRUE(contains(keyWithBreak.out, "wrong key file")) << keyWithBreak.out;
    EXPECT_EQ(runCli({"list", encrypted, "--key-file", writeText(tmp.path() + "/k2", phrase), "--json"}).out, listing);
    EXPECT_EQ(runCli({"list", encrypted, "--passphrase-file", pass, "--key-file", tmp.path() + "/k2"}).rc, 1);

    // The volume key in hex, as luksDump prints it (blanks and breaks between).
    std::string hex = luks["volume_key_hex"];
    std::string dumped;
    for (size_t i = 0; i < hex.size(); i += 2) dumped += hex.substr(i, 2) + (i % 32 == 30 ? "\n\t" : " ");
    EXPECT_EQ(runCli({"list", encrypted, "--volume-key-file", writeText(tmp.path() + "/vk", dumped), "--json"}).out,
              listing);
    hex[5] = hex[5] == '0' ? '1' : '0';
    auto badKey = runCli({"list", encrypted, "--volume-key-file", writeText(tmp.path() + "/vk2", hex)}, true);
    EXPECT_EQ(badKey.rc, 2);
    EXPECT_TRUE(contains(badKey.out, "the volume key does not match this volume's digest")) << badKey.out;
}

TEST_F(Luks2Fixture, SecondaryHeaderOpensItWhenThePrimaryIsDamaged) {
    const std::string listing = runCli({"list", plain, "--json"}).out;
    // The primary's JSON area damaged: its checksum fails, the secondary serves.
    std::vector<uint8_t> d = image;
    d[5000] ^= 0x55;
    const std::string bentJson = writeFile(tmp.path() + "/bent.img", d);
    EXPECT_EQ(runCli({"list", bentJson, "--passphrase-file", pass, "--json"}).out, listing);

    // The primary wiped: the walk sees nothing; the sector scan finds the
    // volume through its secondary header, and it opens.
    d = image;
    std::fill(d.begin(), d.begin() + 4096, 0);
    const std::string wiped = writeFile(tmp.path() + "/wiped.img", d);
    EXPECT_FALSE(contains(runCli({"volumes", wiped}).out, "LUKS2"));
    auto scan = runCli({"volumes", wiped, "--scan", "--quiet", "--passphrase-file", pass});
    EXPECT_TRUE(contains(scan.out, "0        LUKS2")) << scan.out;
    EXPECT_TRUE(contains(scan.out, "0/0      extX")) << scan.out;
    EXPECT_EQ(runCli({"list", wiped, "--start-sector", "0", "--fs", "LUKS2", "--passphrase-file", pass, "--json"}).out,
              listing);

    // Both copies damaged: said so, status 2.
    d[16384 + 5000] ^= 0x55;
    auto none = runCli({"list", writeFile(tmp.path() + "/both.img", d), "--start-sector", "0", "--fs", "LUKS2",
                        "--passphrase-file", pass},
                       true);
    EXPECT_EQ(none.rc, 2);
    EXPECT_TRUE(contains(none.out, "the LUKS header cannot be read: primary: no LUKS header; "
                                   "secondary at byte 16384: the checksum does not match"))
        << none.out;
}

namespace {

class MadeByCryptsetup : public ::testing::Test {
protected:
    void SetUp() override {
        if (!haveCryptsetup()) GTEST_SKIP() << "cryptsetup not installed";
        key = writeText(tmp.path() + "/key", "made-at-test-time");
    }
    std::string encrypt(const std::string& plainPath, const std::string& name, const std::string& options,
                        bool luks1 = false) {
        const std::string out = tmp.path() + "/" + name;
        EXPECT_TRUE(encryptWithCryptsetup(plainPath, out, key, options, luks1)) << options;
        return out;
    }
    TempDir tmp;
    std::string key;
};

}  // namespace

TEST_F(MadeByCryptsetup, Luks1AndLuks2WithEachCipherReadLikeThePlainVolume) {
    BRANTLOW_REQUIRE_IMAGE(fat, "fat16");
    // 4096-byte encryption sectors need a file system of 4096-byte blocks.
    const std::string files = tmp.path() + "/files";
    fs::create_directories(files + "/docs");
    for (int i = 0; i < 20; ++i) writeText(files + "/docs/f" + std::to_string(i) + ".txt", std::string(5000 * i, 'a' + i));
    const std::string ext = tmp.path() + "/ext4.img";
    ASSERT_EQ(std::system(("mkfs.ext4 -q -F -b 4096 -d " + files + " " + ext + " 16M >/dev/null 2>&1").c_str()), 0);
    struct Case {
        const char* name;
        const char* options;
        bool luks1;
        const char* within;
        const char* inside = "FAT16";
    } cases[] = {
        {"luks1-essiv.img", "--cipher aes-cbc-essiv:sha256 --key-size 256 --pbkdf pbkdf2 --pbkdf-force-iterations 1000",
         true, "LUKS1 aes-cbc-essiv:sha256"},
        {"luks1-xts.img", "--cipher aes-xts-plain64 --key-size 512 --pbkdf pbkdf2 --pbkdf-force-iterations 1000", true,
         "LUKS1 aes-xts-plain64"},
        // 4096-byte encryption sectors, an Argon2id key slot.
        {"luks2-4k.img",
         "--cipher aes-xts-plain64 --key-size 256 --sector-size 4096 --pbkdf argon2id --pbkdf-memory 32768 "
         "--pbkdf-force-iterations 4",
         false, "LUKS2 aes-xts-plain64", "extX"},
        {"luks2-cbc.img", "--cipher aes-cbc-plain64 --key-size 128 --pbkdf pbkdf2 --pbkdf-force-iterations 1000",
         false, "LUKS2 aes-cbc-plain64"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string plain = c.inside == std::string("extX") ? ext : fat;
        const std::string img = encrypt(plain, c.name, c.options, c.luks1);
        auto vols = runCli({"volumes", img, "--key-file", key});
        EXPECT_TRUE(contains(vols.out, "0/0      " + std::string(c.inside)) && contains(vols.out, c.within)) << vols.out;
        const std::string listing = runCli({"list", plain, "--json"}).out;
        EXPECT_GT(jsonLines(listing).size(), 10u);
        EXPECT_EQ(runCli({"list", img, "--key-file", key, "--json"}).out, listing);
    }
}

TEST_F(MadeByCryptsetup, VolumeKeyOpensItWhenEveryKeySlotIsGone) {
    BRANTLOW_REQUIRE_IMAGE(fat, "fat16");
    const std::string img =
        encrypt(fat, "erased.img", "--cipher aes-xts-plain64 --key-size 512 --pbkdf pbkdf2 --pbkdf-force-iterations 1000");
    const std::string vk = tmp.path() + "/vk.bin";
    ASSERT_EQ(std::system(("cryptsetup luksDump --batch-mode --dump-volume-key --volume-key-file " + vk +
                           " --key-file " + key + " " + img + " >/dev/null 2>&1 && cryptsetup luksErase --batch-mode "
                           "--disable-locks " + img + " >/dev/null 2>&1").c_str()),
              0);
    auto gone = runCli({"list", img, "--key-file", key}, true);
    EXPECT_EQ(gone.rc, 2);
    EXPECT_TRUE(contains(gone.out, "no key slot is left: only the volume key opens this volume")) << gone.out;
    // The key's own bytes, as cryptsetup writes them.
    EXPECT_EQ(runCli({"list", img, "--volume-key-file", vk, "--json"}).out, runCli({"list", fat, "--json"}).out);
}

TEST_F(MadeByCryptsetup, EveryModeAndCarvingReadTheDecryptedVolume) {
    const std::string xz = std::string(BRANTLOW_SAMPLES_DIR) + "/ntfs.img.xz";
    if (!fs::exists(xz)) GTEST_SKIP() << "samples/ntfs.img.xz not found";
    const std::string plain = tmp.path() + "/ntfs.img";
    ASSERT_EQ(std::system(("xz -dc " + xz + " > " + plain).c_str()), 0);
    const std::string img =
        encrypt(plain, "ntfs-luks.img", "--cipher aes-xts-plain64 --key-size 512 --pbkdf pbkdf2 --pbkdf-force-iterations 1000");
    for (const char* mode : {"standard", "advanced", "deep"}) {
        SCOPED_TRACE(mode);
        auto inner = runCli({"list", img, "--key-file", key, "--mode", mode, "--json"});
        EXPECT_EQ(inner.rc, 0);
        EXPECT_FALSE(inner.out.empty());
        EXPECT_EQ(inner.out, runCli({"list", plain, "--mode", mode, "--json"}).out);
    }
    EXPECT_EQ(runCli({"carve", img, "--volume", "0/0", "--key-file", key, "--json"}).out,
              runCli({"carve", plain, "--json"}).out);
}

// The fixture's own LUKS2 metadata, changed the ways a damaged or hostile
// header may be: refused with the reason, or the bad key slot passed over.
TEST_F(Luks2Fixture, MetadataThatCannotBeTrustedIsRefusedWithTheReason) {
    const char* js = reinterpret_cast<const char*>(image.data() + 4096);
    const nlohmann::json real = nlohmann::json::parse(std::string(js, strnlen(js, 12288)));
    auto decode = [](const nlohmann::json& j) { return luks::decodeLuks2Json(j.dump(), 16384); };
    auto ok = decode(real);
    ASSERT_TRUE(ok) << ok.reason();
    EXPECT_EQ(ok->payloadOffset, 1048576u);
    EXPECT_EQ(ok->cipher, "aes-xts-plain64");
    EXPECT_EQ(ok->keyBytes, 64u);
    ASSERT_EQ(ok->keyslots.size(), 1u);
    EXPECT_EQ(ok->metadataEnd, 32768u + 258048u);

    nlohmann::json j = real;
    j["segments"]["1"] = j["segments"]["0"];
    EXPECT_EQ(decode(j).reason(),
              "the volume has 2 data segments (a re-encryption was under way); only volumes with one are read");
    j = real;
    j["config"]["requirements"]["mandatory"] = {"online-reencrypt-v2"};
    EXPECT_EQ(decode(j).reason(),
              "the volume requires online-reencrypt-v2 (a re-encryption was under way), which this program does not read");
    j = real;
    j["segments"]["0"]["offset"] = "4096";
    EXPECT_EQ(decode(j).reason(), "the data segment starts at byte 4096, inside the header");
    j = real;
    j["segments"]["0"]["sector_size"] = 768;
    EXPECT_FALSE(decode(j));
    j = real;
    j["segments"]["0"]["offset"] = 1048576;  // a number where a string belongs: read all the same
    EXPECT_TRUE(decode(j));
    j["segments"]["0"]["offset"] = "99999999999999999999999";
    EXPECT_FALSE(decode(j));
    // A key slot whose area lies far away is passed over, not read.
    j = real;
    j["keyslots"]["0"]["area"]["offset"] = "18446744073709551000";
    auto far = decode(j);
    ASSERT_TRUE(far);
    EXPECT_TRUE(far->keyslots.empty());
    ASSERT_EQ(far->damage.size(), 1u);
    EXPECT_EQ(far->damage[0], "key slot 0: its area cannot be read");
    // Deep nesting and garbage.
    EXPECT_FALSE(luks::decodeLuks2Json(std::string(100000, '[') + std::string(100000, ']'), 16384));
    EXPECT_FALSE(luks::decodeLuks2Json("{\"config\":", 16384));
}

// volumes --scan searches inside what it opens: an ext4 whose first
// superblock is gone is found through its copies, and named by
// --volume N --start-sector S.
TEST_F(MadeByCryptsetup, TheSectorScanSearchesInsideTheDecryptedVolume) {
    const std::string files = tmp.path() + "/files", plain = tmp.path() + "/ext4.img";
    fs::create_directories(files + "/d");
    for (int i = 0; i < 30; ++i) writeText(files + "/d/f" + std::to_string(i), std::string(3000 * i, 'a' + i % 26));
    ASSERT_EQ(std::system(("mkfs.ext4 -q -F -b 1024 -d " + files + " " + plain + " 24M >/dev/null 2>&1").c_str()), 0);
    const std::string listing = runCli({"list", plain, "--json"}).out;
    ASSERT_EQ(std::system(("dd if=/dev/zero of=" + plain + " bs=1024 seek=1 count=1 conv=notrunc status=none").c_str()),
              0);
    const std::string img = encrypt(plain, "wiped-inside.img", "--pbkdf pbkdf2 --pbkdf-force-iterations 1000");
    EXPECT_TRUE(contains(runCli({"volumes", img, "--key-file", key}).out, "0/0      Unknown"));
    auto scan = runCli({"volumes", img, "--scan", "--quiet", "--key-file", key, "--json"});
    auto found = jsonLines(scan.out);
    ASSERT_GE(found.size(), 2u) << scan.out;
    EXPECT_EQ(found[0]["fileSystem"], "LUKS2");
    EXPECT_EQ(found[1]["volume"], "0/0");
    EXPECT_EQ(found[1]["fileSystem"], "extX");
    EXPECT_EQ(found[1]["startSector"], 0);
    EXPECT_EQ(runCli({"list", img, "--volume", "0", "--start-sector", "0", "--fs", "extX", "--key-file", key, "--json"})
                  .out,
              listing);
    auto beyond = runCli({"list", img, "--volume", "0", "--start-sector", "99999999", "--key-file", key}, true);
    EXPECT_EQ(beyond.rc, 3);
    EXPECT_TRUE(contains(beyond.out, "lies beyond the end of the volume 0/0")) << beyond.out;
}
