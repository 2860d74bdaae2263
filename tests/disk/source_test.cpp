// Opening sources by content (byte level): container signatures, split raw
// sets, the logical sector size a disk's tables count in, the walks over
// 4096-byte sectors, and how a damaged spot inside an image is read.
#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "base/bytes.h"
#include "disk/image_reader.h"
#include "disk/partition.h"
#include "disk/source.h"
#include "fs/filesystems.h"
#include "tests/support/fixtures.h"
#include "tests/support/memory_reader.h"
#include "tests/support/table_bytes.h"

using namespace brantlow;
using test::MemoryReader;
using namespace brantlow::test;

namespace {


// Boot sectors as mkntfs -s 4096 and mkfs.fat -S 4096 write them.
void ntfsBootAt(std::vector<uint8_t>& d, size_t o, uint16_t bps, uint64_t total) {
    d[o] = 0xEB;
    d[o + 1] = 0x52;
    d[o + 2] = 0x90;
    std::memcpy(&d[o + 3], "NTFS    ", 8);
    put16(d, o + 11, bps);
    d[o + 13] = 1;
    put64(d, o + 40, total);
    d[o + 510] = 0x55;
    d[o + 511] = 0xAA;
}
void fat32Boot(std::vector<uint8_t>& d, size_t o, uint16_t bps, uint32_t total) {
    d[o] = 0xEB;
    d[o + 1] = 0x58;
    d[o + 2] = 0x90;
    std::memcpy(&d[o + 3], "mkfs.fat", 8);
    put16(d, o + 11, bps);
    d[o + 13] = 1;
    put16(d, o + 14, 32);
    d[o + 16] = 2;
    put32(d, o + 32, total);
    put32(d, o + 36, 600);
    put32(d, o + 44, 2);
    d[o + 510] = 0x55;
    d[o + 511] = 0xAA;
}

// One disk of 4 MiB, laid out in 128 KiB units, with its tables counting
// in `ss`-byte sectors: NTFS at unit 1 (8 units), an extended partition at
// unit 16 holding a FAT32 volume at unit 17 (a 12-unit slot; its boot
// sector claims more) and an unformatted one at unit 30 (1 unit).
constexpr size_t kUnit = 131072;

std::vector<uint8_t> mbrDisk(uint32_t ss) {
    const uint32_t u = kUnit / ss;
    std::vector<uint8_t> d(32 * kUnit, 0);
    slot(d, 0, 0, 0x07, u, 8 * u);
    slot(d, 0, 1, 0x0F, 16 * u, 16 * u);
    slot(d, 16 * kUnit, 0, 0x0C, u, 12 * u);
    slot(d, 16 * kUnit, 1, 0x05, 13 * u, 3 * u);
    slot(d, 29 * kUnit, 0, 0x83, u, u);
    ntfsBootAt(d, kUnit, 4096, 2047);
    fat32Boot(d, 17 * kUnit, 4096, 70000);
    return d;
}

// The same volumes on GPT: header in sector 1, entries from sector 2.
std::vector<uint8_t> gptDisk(uint32_t ss) {
    const uint32_t u = kUnit / ss;
    std::vector<uint8_t> d(32 * kUnit, 0);
    slot(d, 0, 0, 0xEE, 1, 0xFFFFFFFF);
    std::memcpy(&d[ss], "EFI PART", 8);
    put64(d, ss + 72, 2);
    auto entry = [&](int i, uint64_t start, uint64_t end, const char* name) {
        size_t o = 2 * ss + 128 * static_cast<size_t>(i);
        d[o] = 0xA2;
        d[o + 1] = 0xA0;
        d[o + 15] = 0xC7;
        put64(d, o + 32, start);
        put64(d, o + 40, end);
        for (size_t k = 0; name[k]; ++k) d[o + 56 + 2 * k] = static_cast<uint8_t>(name[k]);
    };
    entry(0, u, 9 * u - 1, "data");
    entry(1, 17 * u, 29 * u - 1, "fat");
    entry(2, 30 * u, 31 * u - 1, "spare");
    ntfsBootAt(d, kUnit, 4096, 2047);
    fat32Boot(d, 17 * kUnit, 4096, 70000);
    return d;
}

std::vector<VolumeEntry> walkSectors(std::vector<uint8_t> disk, uint32_t ss) {
    struct Collect : PartitionOwner {
        std::vector<VolumeEntry> entries;
        void addEntry(const VolumeEntry& e) override { entries.push_back(e); }
    } c;
    MemoryReader r(std::move(disk));
    r.setSectorSize(ss);
    Partition p;
    p.owner = &c;
    ReadPartitionTables(r, p, probeTable());
    return c.entries;
}

std::string rows(const std::vector<VolumeEntry>& v) {
    std::string s;
    for (const auto& e : v)
        s += e.volumeNumber + "|" + e.fileSystem + "|" + e.sizeText + "|" + std::to_string(e.startSector) + "|" +
             std::to_string(e.sizeSectors) + "\n";
    return s;
}

std::string writeBytes(const std::string& path, const std::vector<uint8_t>& bytes) {
    std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()),
                                                static_cast<std::streamsize>(bytes.size()));
    return path;
}

std::vector<uint8_t> pattern(size_t n, uint8_t seed) {
    std::vector<uint8_t> v(n);
    for (size_t i = 0; i < n; ++i) v[i] = static_cast<uint8_t>(i * 31 + seed);
    return v;
}

}  // namespace

TEST(SourceFormat, RecognisedByContentNotByName) {
    struct Case {
        const char* what;
        std::string head;
        std::string tail;
        SourceFormat want;
    } cases[] = {
        {"E01", std::string("EVF\x09\x0D\x0A\xFF\x00\x01\x01\x00\x00\x00", 13), "", SourceFormat::Ewf},
        {"Ex01", std::string("EVF2\x0D\x0A\x81\x00", 8), "", SourceFormat::Ewf},
        {"L01", std::string("LVF\x09\x0D\x0A\xFF\x00", 8), "", SourceFormat::EwfLogical},
        {"VHDX", "vhdxfile", "", SourceFormat::Vhdx},
        {"dynamic VHD", "conectix", "", SourceFormat::Vhd},
        {"VMDK sparse", "KDMV", "", SourceFormat::Vmdk},
        {"VMDK descriptor", "# Disk DescriptorFile\nversion=1\n", "", SourceFormat::Vmdk},
        {"QCOW2", std::string("QFI\xFB\x00\x00\x00\x03", 8), "", SourceFormat::Qcow},
        {"raw MBR", std::string(446, '\0') + "\x80", "", SourceFormat::Raw},
        {"text that mentions conectix", "hello conectix", "", SourceFormat::Raw},
    };
    for (const auto& c : cases) {
        std::vector<uint8_t> head(512, 0);
        std::memcpy(head.data(), c.head.data(), std::min<size_t>(c.head.size(), head.size()));
        EXPECT_EQ(detectImageFormat(head.data(), head.size(), nullptr, 0), c.want) << c.what;
    }
    // A fixed VHD: raw sectors, then the footer with disk type 2 in the last 512 bytes.
    std::vector<uint8_t> raw(512, 0), footer(512, 0);
    std::memcpy(footer.data(), "conectix", 8);
    footer[63] = 2;
    EXPECT_EQ(detectImageFormat(raw.data(), raw.size(), footer.data(), footer.size()), SourceFormat::Vhd);
    footer[63] = 9;  // no disk type: data that happens to say "conectix"
    EXPECT_EQ(detectImageFormat(raw.data(), raw.size(), footer.data(), footer.size()), SourceFormat::Raw);
    // An old 511-byte footer.
    std::vector<uint8_t> old(512, 0);
    std::memcpy(old.data() + 1, "conectix", 8);
    old[64] = 3;
    EXPECT_EQ(detectImageFormat(raw.data(), raw.size(), old.data(), old.size()), SourceFormat::Vhd);
}

TEST(SourceFormat, AContainerIsOpenedAsItselfWhateverItsName) {
    test::TempDir tmp;
    // A VHD header under a raw-looking name: never read as raw. With libvhdi
    // it is a damaged VHD; without, a format this build does not read.
    std::vector<uint8_t> fake(4096, 0);
    std::memcpy(fake.data(), "conectix", 8);
    writeBytes(tmp.path() + "/disk.img", fake);
    SourceError why;
    EXPECT_EQ(openSourceReader(tmp.path() + "/disk.img", &why), nullptr);
    EXPECT_EQ(why.errnoValue, 0);
    if (sourceFormatSupported(SourceFormat::Vhd))
        EXPECT_NE(why.text.find("VHD image cannot be opened"), std::string::npos) << why.text;
    else
        EXPECT_EQ(why.text, "VHD images are not supported in this build");
    std::vector<uint8_t> l01(4096, 0);
    std::memcpy(l01.data(), "LVF\x09\x0D\x0A\xFF\x00", 8);
    writeBytes(tmp.path() + "/files.L01", l01);
    EXPECT_EQ(openSourceReader(tmp.path() + "/files.L01", &why), nullptr);
    EXPECT_NE(why.text.find("logical evidence file"), std::string::npos) << why.text;
    // Files that cannot be opened keep their errno.
    EXPECT_EQ(openSourceReader(tmp.path() + "/absent", &why), nullptr);
    EXPECT_EQ(why.errnoValue, ENOENT);
    EXPECT_EQ(openSourceReader(tmp.path(), &why), nullptr);
    EXPECT_EQ(why.text, "it is a folder, not a disk or an image file");
}

TEST(SplitRaw, TheFirstFileOpensTheSetAndReadsRunAcrossTheFiles) {
    test::TempDir tmp;
    const std::string d = tmp.path();
    auto a = pattern(1000, 1), b = pattern(1000, 2), c = pattern(700, 3);
    for (const char* stem : {"/n.", "/l."}) {
        const bool digits = stem[1] == 'n';
        writeBytes(d + stem + (digits ? "001" : "aa"), a);
        writeBytes(d + stem + (digits ? "002" : "ab"), b);
        writeBytes(d + stem + (digits ? "003" : "ac"), c);
    }
    EXPECT_EQ(splitRawSegments(d + "/n.001").size(), 3u);
    EXPECT_EQ(splitRawSegments(d + "/l.aa").size(), 3u);
    EXPECT_TRUE(splitRawSegments(d + "/n.002").empty());  // only the first opens the set
    std::vector<uint8_t> all(a);
    all.insert(all.end(), b.begin(), b.end());
    all.insert(all.end(), c.begin(), c.end());
    for (const char* first : {"/n.001", "/l.aa"}) {
        auto r = openSourceReader(d + first);
        ASSERT_NE(r, nullptr) << first;
        EXPECT_EQ(r->sizeBytes(), 2700u);
        std::vector<uint8_t> got(2700);
        EXPECT_EQ(r->readAbsolute(0, got.data(), got.size()), 2700);
        EXPECT_EQ(got, all);
        // Across both joins at once, and short at the end of the set.
        std::vector<uint8_t> mid(1500);
        EXPECT_EQ(r->readAbsolute(900, mid.data(), mid.size()), 1500);
        EXPECT_TRUE(std::equal(mid.begin(), mid.end(), all.begin() + 900));
        EXPECT_EQ(r->readAbsolute(2600, mid.data(), mid.size()), 100);
        EXPECT_EQ(r->readAbsolute(2700, mid.data(), mid.size()), 0);
    }
    // A later file, or a lone ".001", is a raw file of its own.
    auto second = openSourceReader(d + "/n.002");
    ASSERT_NE(second, nullptr);
    EXPECT_EQ(second->sizeBytes(), 1000u);
    writeBytes(d + "/lone.001", a);
    auto lone = openSourceReader(d + "/lone.001");
    ASSERT_NE(lone, nullptr);
    EXPECT_EQ(lone->sizeBytes(), 1000u);
}

TEST(SectorSize, TheTablesSayWhatTheyCountIn) {
    auto sizeOf = [](std::vector<uint8_t> d, uint32_t declared = 512) {
        MemoryReader r(std::move(d));
        return detectLogicalSectorSize(r, declared, &probeTable());
    };
    EXPECT_EQ(sizeOf(gptDisk(512)), 512u);
    EXPECT_EQ(sizeOf(gptDisk(4096)), 4096u);
    EXPECT_EQ(sizeOf(gptDisk(512), 4096), 512u);  // the content wins over what a device says
    EXPECT_EQ(sizeOf(mbrDisk(512)), 512u);
    EXPECT_EQ(sizeOf(mbrDisk(4096)), 4096u);
    EXPECT_EQ(sizeOf(mbrDisk(512), 4096), 512u);
    // Unformatted partitions that fill the disk only when counted in 4 KiB units.
    std::vector<uint8_t> blank(32 * kUnit, 0);
    slot(blank, 0, 0, 0x83, 32, 512);
    slot(blank, 0, 1, 0x83, 544, 480);
    EXPECT_EQ(sizeOf(blank), 4096u);
    // No table: what the device says, or 512.
    std::vector<uint8_t> none(1 << 20, 0);
    EXPECT_EQ(sizeOf(none), 512u);
    EXPECT_EQ(sizeOf(none, 4096), 4096u);
    EXPECT_EQ(sizeOf(none, 3000), 512u);
    // A volume without a table (its boot sector at 0) keeps the declared size.
    std::vector<uint8_t> bare(1 << 20, 0);
    ntfsBootAt(bare, 0, 4096, 255);
    EXPECT_EQ(sizeOf(bare), 512u);
}

TEST(Walks4Kn, VolumesAreListedAsOnTheir512ByteTwin) {
    const std::string mbr512 = rows(walkSectors(mbrDisk(512), 512));
    EXPECT_EQ(mbr512,
              "0|NTFS|1   MB|256|2048\n"
              "1|FAT32|1   MB|4352|3072\n"
              "2|extX|0   MB|7680|256\n");
    EXPECT_EQ(rows(walkSectors(mbrDisk(4096), 4096)), mbr512);
    const std::string gpt512 = rows(walkSectors(gptDisk(512), 512));
    EXPECT_EQ(gpt512,
              "0|NTFS|7   MB|256|16376\n"
              "1|FAT32|273  MB|4352|560000\n"
              "2|spare|0|7680|256\n");
    EXPECT_EQ(rows(walkSectors(gptDisk(4096), 4096)), gpt512);
    // Counted in the wrong unit, the same tables lead nowhere useful.
    EXPECT_NE(rows(walkSectors(mbrDisk(4096), 512)), mbr512);
}

TEST(NtfsProbe, HonoursItsOwnSectorSize) {
    std::vector<uint8_t> b(4096, 0);
    for (uint16_t bps : {512, 1024, 2048, 4096}) {
        ntfsBootAt(b, 0, bps, 1000);
        ProbeResult r = identifyBytes(b.data(), b.size(), probeTable());
        EXPECT_EQ(r.fileSystem, "NTFS") << bps;
        EXPECT_EQ(r.sizeSectors, 1000u * bps / 512) << bps;
    }
    for (uint16_t bps : {0, 256, 3072, 8192}) {
        ntfsBootAt(b, 0, bps, 1000);
        EXPECT_NE(identifyBytes(b.data(), b.size(), probeTable()).fileSystem, "NTFS") << bps;
    }
}

namespace {

// A container whose media is a pattern, unreadable in [badFrom, badTo).
class FakeImage : public ContainerReader {
public:
    FakeImage(uint64_t size, uint64_t badFrom, uint64_t badTo) : from_(badFrom), to_(badTo) {
        mediaSize_ = size;
        fileName_ = "fake.qcow2";
    }
    int calls = 0;

protected:
    long long readMedia(uint64_t offset, void* buffer, size_t count, std::string* why) override {
        ++calls;
        if (offset < to_ && offset + count > from_) {
            *why = "the table entry is damaged";
            std::memset(buffer, 0xEE, count);  // libraries may leave anything behind
            return -1;
        }
        auto* p = static_cast<uint8_t*>(buffer);
        for (size_t i = 0; i < count; ++i) p[i] = static_cast<uint8_t>((offset + i) * 7);
        return static_cast<long long>(count);
    }

private:
    uint64_t from_, to_;
};

}  // namespace

TEST(ContainerReader, AReadStopsAtTheDamageWhichIsReportedOnce) {
    FakeImage img(4 << 20, 1048576 + 4608, 1048576 + 65536);
    std::vector<std::string> reports;
    img.setDamageReporter([&](const std::string& s) { reports.push_back(s); });
    std::vector<uint8_t> buf(1 << 20, 0xAA);
    // The good part before the damaged spot comes back, the rest is zeros.
    EXPECT_EQ(img.readAbsolute(1 << 20, buf.data(), buf.size()), 4608);
    EXPECT_EQ(buf[4607], static_cast<uint8_t>((1048576 + 4607) * 7));
    EXPECT_EQ(buf[4608], 0);
    EXPECT_EQ(buf.back(), 0);
    ASSERT_EQ(reports.size(), 1u);
    EXPECT_EQ(reports[0], "fake.qcow2: damaged at disk offset 1053184 (0x101200): the table entry is damaged");
    // A read starting in the damage fails; it is not reported again.
    EXPECT_EQ(img.readAbsolute(1048576 + 8192, buf.data(), 512), -1);
    EXPECT_EQ(reports.size(), 1u);
    // Past it, and at the end of the media, reads are as usual.
    EXPECT_EQ(img.readAbsolute(2 << 20, buf.data(), 4096), 4096);
    EXPECT_EQ(img.readAbsolute((4 << 20) - 100, buf.data(), 4096), 100);
    EXPECT_EQ(img.readAbsolute(4 << 20, buf.data(), 4096), 0);
    // readZeroFill over the damage keeps the good bytes.
    std::vector<uint8_t> z(8192, 0xAA);
    EXPECT_EQ(readZeroFill(img, 1048576, z.data(), z.size()), 4608u);
    EXPECT_EQ(z[8191], 0);
}
