// What the volume list page does with the operator's choice, without any
// widget: reading the custom sector range, the "Treat file system as:" list,
// Filter Entries, and what Next hands on.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "disk/partition.h"

namespace brantlow::gui {

// The "Treat file system as:" entries, in list order.
const std::vector<std::string>& treatAsTypes();
// The entry a clicked row selects: the first that begins with the row's file
// system (any case), searched from the second entry to the last, then the
// first; -1 when none does.
int matchTreatAs(const std::string& fileSystem);
// The file-system name a "Treat file system as:" entry gives (as its row
// says); "" for "RAW" and unknown entries.
std::string fileSystemForTreatAs(const std::string& type);

// A sector number as typed: decimal digits only (blanks around allowed),
// at most INT64_MAX. nullopt for anything else.
std::optional<uint64_t> parseSector(const std::string& text);
// The leading number of a size text ("1024   MB" -> 1024); 0 when none.
uint64_t leadingNumber(const std::string& text);
// End Sector shown for a row: start + size x 2048 - 1, or 0 when the size is 0.
uint64_t endSectorForRow(uint64_t start, const std::string& sizeText);

// Filter Entries: the indexes of the entries kept (each one whose start
// sector is exactly one more than that of the entry before it).
std::vector<size_t> filterEntries(const std::vector<VolumeEntry>& volumes);
// What Filter Entries does, for its tool tip; and what it did, for the page.
inline constexpr const char* kFilterExplained =
    "Filter volume entries.\nKeeps only the volumes that start one sector after the volume before them (one "
    "volume a sector scan found twice); click it again to list every volume.";
std::string filteredText(size_t kept, size_t all);

// Said where Standard Scan finds no volume: Advance Scan first, then raw recovery.
inline constexpr const char* kNothingFoundText =
    "No partition table and no file system were found on this disk. Go Back and choose \"Advance Scan\": it "
    "searches the whole disk for volumes whose partition table is gone. Or choose \"whole disk\" to search it "
    "for files by their signatures (raw recovery).";
// A stopped Advance Scan: where it stopped (status line), and its box.
std::string scanStoppedStatus(uint64_t endedAt, uint64_t firstSector, uint64_t lastSector);
std::string scanStoppedBox(uint64_t endedAt, uint64_t firstSector, uint64_t lastSector);

// The row the volume list always ends with: the whole disk from sector 0,
// from which raw recovery starts when there is no partition table, an
// unknown layout, or a volume the parsers do not read.
inline constexpr const char* kWholeDisk = "whole disk";
VolumeEntry wholeDiskEntry(uint64_t totalSectors);

// The texts of a list row.
struct RowTexts {
    std::string volume, fileSystem, sizeText, startSector;
};
RowTexts rowTexts(const VolumeEntry& e);

// The custom controls as the operator left them.
struct CustomInput {
    bool ticked = false;         // "Custom Settings For Selected Volume "
    std::string startText, endText;
    std::string type;            // selected "Treat file system as:" entry, "" for none
    bool rangeEdited = true;     // false when the edits still hold what selecting the row put there
};

// Next on a custom volume whose file system was not chosen.
inline constexpr const char* kCustomNeedsType =
    "Choose the file system of the custom volume in \"Treat file system as:\" (RAW searches it for files by "
    "their signatures).";

struct NextDecision {
    enum Kind { Refuse, Recovery, Raw } kind = Refuse;
    VolumeEntry entry;
    std::string message;  // for Refuse
    bool customised = false;
};

// Next on the volume list page for the entry `stored` shown in `row`.
// totalSectors is the disk's size (0: unknown), used to check the range and
// to size a volume whose size is 0.
NextDecision decideNext(const VolumeEntry& stored, const RowTexts& row, const CustomInput& in, bool customised,
                        uint64_t totalSectors);

// Texts of the custom range checks (not in the design we follow, which
// accepted anything).
inline constexpr const char* kBadStartSector = "Start Sector: please enter a sector number (digits only).";
inline constexpr const char* kBadEndSector = "End Sector: please enter a sector number (digits only).";
inline constexpr const char* kEndBeforeStart = "End Sector must not be smaller than Start Sector.";
std::string beyondDiskMessage(uint64_t totalSectors);

}  // namespace brantlow::gui
