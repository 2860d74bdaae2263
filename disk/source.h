// Opening a source by what it holds: a disk or volume (block device), a raw
// image file, a split raw set (disk.001, disk.002, … or disk.aa, disk.ab, …),
// or an image container — E01 (single or split), VHD (fixed or dynamic),
// VHDX, VMDK, QCOW/QCOW2 — read through the libraries of the field. A
// container is recognised by its content, never by its name; one whose
// library this build lacks is refused as "not supported in this build",
// never read as raw. Every source is opened read-only.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "disk/probe.h"
#include "disk/reader.h"

namespace brantlow {

enum class SourceFormat {
    Raw,
    SplitRaw,
    Ewf,         // E01 (EnCase / Expert Witness), single or split
    EwfLogical,  // L01 / Lx01: files, not a disk image
    Vhd,         // fixed, dynamic or differencing
    Vhdx,
    Vmdk,
    Qcow,
};

// Why a source could not be opened.
struct SourceError {
    int errnoValue = 0;  // the file itself could not be opened: its errno (else 0)
    std::string text;    // the reason, for the operator
};

// The format a regular file holds, from its first bytes (head) and its last
// 512 bytes (tail; a fixed VHD keeps its only header there). Never SplitRaw:
// a split set is raw data that continues in the next file.
SourceFormat detectImageFormat(const uint8_t* head, size_t headLen, const uint8_t* tail, size_t tailLen);

// "raw", "split raw", "E01", "L01", "VHD", "VHDX", "VMDK", "QCOW2".
const char* sourceFormatName(SourceFormat f);
// Whether this build carries the library that reads the format.
bool sourceFormatSupported(SourceFormat f);

// The files of the split raw set whose first file is path: "disk.001" (or
// "disk.000") continues in "disk.002", …; "disk.aa" in "disk.ab", ….
// Empty when path does not end in such a suffix or no second file exists.
std::vector<std::string> splitRawSegments(const std::string& path);

// The logical sector size the partition tables of the source count in.
// Evidence in the content wins: a GPT header ("EFI PART") at byte 512, or
// else at byte 4096 (1024, 2048); an MBR whose entries lead to volumes (or
// extended boot records) only when counted in 4096-byte units and fit the
// source that way. Without evidence: `declared` (a device's BLKSSZGET, an
// image's own sector size), else 512. `probes` tells a volume's first bytes
// (a volume without a table, a superblock where an entry points); without
// it only boot signatures count.
uint32_t detectLogicalSectorSize(readWriteInterface& reader, uint32_t declared, const ProbeTable* probes = nullptr);

// Opens path as a source. nullptr with *error filled when it cannot be read.
// `probes` helps tell the logical sector size (detectLogicalSectorSize).
std::shared_ptr<readWriteInterface> openSourceReader(const std::string& path, SourceError* error = nullptr,
                                                     const ProbeTable* probes = nullptr);

}  // namespace brantlow
