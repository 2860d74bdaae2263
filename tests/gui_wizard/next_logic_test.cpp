// What Next on the volume list page hands on, without widgets.
#include <gtest/gtest.h>

#include "app/VolumeChoice.h"

using namespace brantlow;
using namespace brantlow::gui;

namespace {
VolumeEntry entry(const std::string& fs, uint64_t start, const std::string& size, uint64_t sectors) {
    VolumeEntry e;
    e.fileSystem = fs;
    e.volumeNumber = "1";
    e.sizeText = size;
    e.startSector = start;
    e.sizeSectors = sectors;
    return e;
}
CustomInput ticked(const std::string& s, const std::string& e, const std::string& type = "") {
    CustomInput in;
    in.ticked = true;
    in.startText = s;
    in.endText = e;
    in.type = type;
    return in;
}
constexpr uint64_t kDisk = 8'000'000;
}  // namespace

TEST(VolumeNext, RowFillAndTreatAsMatch) {
    EXPECT_EQ(endSectorForRow(2048, "1024   MB"), 2099199u);
    EXPECT_EQ(endSectorForRow(2048, "1024  MB"), 2099199u);
    EXPECT_EQ(endSectorForRow(2048, "0"), 0u);
    EXPECT_EQ(endSectorForRow(2048, "MB"), 0u);
    EXPECT_EQ(endSectorForRow(UINT64_MAX - 5, "1"), 0u);  // no wrap-around
    EXPECT_EQ(treatAsTypes()[matchTreatAs("NTFS")], "NTFS");
    EXPECT_EQ(treatAsTypes()[matchTreatAs("extX")], "EXTX");
    EXPECT_EQ(treatAsTypes()[matchTreatAs("fat32")], "FAT32");
    EXPECT_EQ(treatAsTypes()[matchTreatAs("FAT")], "FAT64");  // the search starts at the second entry
    EXPECT_EQ(matchTreatAs("Unknown"), -1);
    EXPECT_EQ(matchTreatAs("CUSTOM "), -1);
}

TEST(VolumeNext, CustomRangeSizeTextAndType) {
    auto d = decideNext(entry("Unknown", 0, "0", 0), {}, ticked("2048", "2099199", "NTFS"), false, kDisk);
    ASSERT_EQ(d.kind, NextDecision::Recovery);
    EXPECT_EQ(d.entry.fileSystem, "ntfs");
    EXPECT_EQ(d.entry.startSector, 2048u);
    EXPECT_EQ(d.entry.sizeText, "1024");
    EXPECT_EQ(d.entry.sizeSectors, 2097152u);
    EXPECT_TRUE(d.customised);

    // End equal to Start: size text 0, and the parser gets the rest of the disk.
    d = decideNext(entry("CUSTOM ", 0, "0", 0), {}, ticked("4096", "4096", "FAT32"), false, kDisk);
    ASSERT_EQ(d.kind, NextDecision::Recovery);
    EXPECT_EQ(d.entry.sizeText, "0");
    EXPECT_EQ(d.entry.sizeSectors, kDisk - 4096);
    EXPECT_EQ(d.entry.fileSystem, "fat32");

    const std::pair<const char*, const char*> names[] = {{"FAT16", "fat16"}, {"FAT64", "fat64"}, {"EXTX", "extX"},
                                                         {"HFS+", "HFS+"}};
    for (auto [type, fs] : names)
        EXPECT_EQ(decideNext(entry("NTFS", 63, "8", 16384), {}, ticked("63", "100", type), false, kDisk).entry.fileSystem,
                  fs);

    // Untouched edits keep the exact size (the MiB round trip would drop the tail).
    CustomInput in = ticked("2048", std::to_string(2048 + 40 * 2048 - 1));
    in.rangeEdited = false;
    d = decideNext(entry("FAT32", 2048, "40   MB", 81920 + 7), {}, in, false, kDisk);
    EXPECT_EQ(d.entry.sizeSectors, 81927u);
    EXPECT_EQ(d.entry.fileSystem, "FAT32");  // no type chosen: kept
}

TEST(VolumeNext, InvalidRangesAreRefusedWithAMessage) {
    const VolumeEntry e = entry("NTFS", 2048, "32   MB", 65536);
    EXPECT_EQ(decideNext(e, {}, ticked("abc", "10"), false, kDisk).message, kBadStartSector);
    EXPECT_EQ(decideNext(e, {}, ticked("", "10"), false, kDisk).message, kBadStartSector);
    EXPECT_EQ(decideNext(e, {}, ticked("-5", "10"), false, kDisk).message, kBadStartSector);
    EXPECT_EQ(decideNext(e, {}, ticked("10", "1e9"), false, kDisk).message, kBadEndSector);
    EXPECT_EQ(decideNext(e, {}, ticked("10", "99999999999999999999"), false, kDisk).message, kBadEndSector);
    EXPECT_EQ(decideNext(e, {}, ticked("100", "99"), false, kDisk).message, kEndBeforeStart);
    EXPECT_EQ(decideNext(e, {}, ticked("100", std::to_string(kDisk)), false, kDisk).message, beyondDiskMessage(kDisk));
    EXPECT_EQ(decideNext(e, {}, ticked(std::to_string(kDisk), std::to_string(kDisk)), false, kDisk).kind,
              NextDecision::Refuse);
    // A large disk: 64-bit sector numbers pass.
    const uint64_t big = 1ull << 34;  // 8 TiB
    auto d = decideNext(e, {}, ticked("4294967296", "8589934591"), false, big);
    ASSERT_EQ(d.kind, NextDecision::Recovery);
    EXPECT_EQ(d.entry.startSector, 4294967296u);
    EXPECT_EQ(d.entry.sizeText, "2097152");
}

TEST(VolumeNext, UnknownRawAndRestore) {
    EXPECT_EQ(decideNext(entry("Unknown", 0, "0", 0), {}, {}, false, kDisk).message, "can not parse unknown volume");
    EXPECT_EQ(decideNext(entry("UNKNOWN", 0, "0", 0), {}, {}, false, kDisk).kind, NextDecision::Refuse);
    // Custom Settings ticked without a type: still unknown.
    EXPECT_EQ(decideNext(entry("unknown", 0, "0", 0), {}, ticked("0", "100"), false, kDisk).kind, NextDecision::Refuse);

    // RAW keeps everything but the name and marks the list customised.
    CustomInput raw;
    raw.type = "RAW";
    auto d = decideNext(entry("Unknown", 4096, "8   MB", 16384), {}, raw, false, kDisk);
    EXPECT_EQ(d.kind, NextDecision::Raw);
    EXPECT_EQ(d.entry.fileSystem, "RAW");
    EXPECT_EQ(d.entry.startSector, 4096u);
    EXPECT_TRUE(d.customised);

    // Unticked after a customised Next: the entry comes back from its row,
    // size text without "MB".
    RowTexts row{"1", "FAT32", "1024   MB", "2048"};
    d = decideNext(entry("FAT32", 2048, "1024   MB", 2097152), row, {}, true, kDisk);
    ASSERT_EQ(d.kind, NextDecision::Recovery);
    EXPECT_EQ(d.entry.sizeText, "1024");
    EXPECT_EQ(d.entry.startSector, 2048u);
    EXPECT_EQ(d.entry.fileSystem, "FAT32");
    // Not customised: the entry as found.
    d = decideNext(entry("FAT32", 2048, "1024   MB", 2097152), row, {}, false, kDisk);
    EXPECT_EQ(d.entry.sizeText, "1024   MB");
}

TEST(VolumeNext, WholeDiskGoesToRawUnlessTreatedAsAFileSystem) {
    const VolumeEntry whole = wholeDiskEntry(kDisk);
    EXPECT_EQ(whole.volumeNumber, "whole disk");
    EXPECT_EQ(whole.fileSystem, "RAW");
    EXPECT_EQ(whole.startSector, 0u);
    EXPECT_EQ(whole.sizeSectors, kDisk);
    EXPECT_EQ(whole.sizeText, "3906  MB");
    const RowTexts row = rowTexts(whole);
    auto d = decideNext(whole, row, {}, false, kDisk);
    EXPECT_EQ(d.kind, NextDecision::Raw);
    EXPECT_EQ(d.entry.sizeSectors, kDisk);
    // After a customised Next elsewhere, unticked: still raw, from its row.
    EXPECT_EQ(decideNext(whole, row, {}, true, kDisk).kind, NextDecision::Raw);
    // A bare volume image parsed as NTFS from sector 0.
    d = decideNext(whole, row, ticked("0", std::to_string(kDisk - 1), "NTFS"), false, kDisk);
    EXPECT_EQ(d.kind, NextDecision::Recovery);
    EXPECT_EQ(d.entry.fileSystem, "ntfs");
}

TEST(VolumeNext, FilterKeepsEntriesOneSectorAfterTheirPredecessor) {
    std::vector<VolumeEntry> v = {entry("NTFS", 100, "1", 0), entry("NTFS", 101, "1", 0), entry("NTFS", 200, "1", 0),
                                  entry("NTFS", 201, "1", 0), entry("NTFS", 202, "1", 0)};
    EXPECT_EQ(filterEntries(v), (std::vector<size_t>{1, 3, 4}));
    EXPECT_TRUE(filterEntries({v[0]}).empty());
    EXPECT_TRUE(filterEntries({}).empty());
}

TEST(VolumeNext, CustomVolumeNeedsItsFileSystemAndTheTextsSayWhatHappened) {
    // Without "Treat file system as:" a custom volume goes nowhere; with a
    // type (RAW too) it goes on.
    EXPECT_EQ(decideNext(entry("CUSTOM ", 0, "0", 0), {}, ticked("4096", "8191"), false, kDisk).message,
              kCustomNeedsType);
    EXPECT_EQ(decideNext(entry("CUSTOM ", 0, "0", 0), {}, {}, false, kDisk).kind, NextDecision::Refuse);
    EXPECT_EQ(decideNext(entry("CUSTOM ", 0, "0", 0), {}, ticked("4096", "8191", "RAW"), false, kDisk).kind,
              NextDecision::Raw);
    EXPECT_EQ(decideNext(entry("CUSTOM ", 0, "0", 0), {}, ticked("4096", "8191", "EXTX"), false, kDisk).kind,
              NextDecision::Recovery);
    EXPECT_EQ(filteredText(2, 5), "Filter Entries: 2 of 5 volumes kept, those that start one sector after the volume "
                                  "before them. Click Filter Entries again to list every volume.");
    EXPECT_EQ(scanStoppedStatus(250, 0, 999), "Scan stopped at sector 250 of 0-999 (25 %).");
    EXPECT_EQ(scanStoppedBox(250, 0, 999).rfind("populated partitions....", 0), 0u);
}
