#include "fs/filesystems.h"

#include "fs/exfat/exfat_parser.h"
#include "fs/exfat/exfat_probe.h"
#include "fs/ext/ext_parser.h"
#include "fs/ext/ext_probe.h"
#include "fs/fat/fat_parser.h"
#include "fs/fat/fat_probe.h"
#include "fs/hfsplus/hfsplus.h"
#include "fs/hfsplus/hfsplus_probe.h"
#include "fs/ntfs/ntfs.h"
#include "fs/ntfs/ntfs_probe.h"

namespace brantlow {

const ProbeTable& probeTable() {
    static const ProbeTable rows = {
        {"ntfs", probeNtfs, ntfsCopyAt, ntfsConfirm},
        {"exfat", probeExfat, exfatCopyAt, exfatConfirm},
        {"fat", probeFat, fatCopyAt, fatConfirm},
        {"ext", probeExt, extCopyAt, nullptr, extGeometryPlausible},
        {"hfsplus", probeHfsPlus, hfsPlusCopyAt, hfsPlusConfirm},
    };
    return rows;
}

const std::vector<ParserRow>& parserTable() {
    static const std::vector<ParserRow> rows = {
        {{"ntfs"}, "ntfs partition selected....", [] { return std::make_unique<ntfs>(); },
         [](ScanMode) { return true; }},
        {{"fat32"}, nullptr, [] { return std::make_unique<Fat32Class>(); },
         [](ScanMode m) { return m == ScanMode::Standard || m == ScanMode::Advanced; }},
        {{"fat16", "fat"}, nullptr, [] { return std::make_unique<Fat16Class>(); },
         [](ScanMode m) { return m == ScanMode::Standard || m == ScanMode::Advanced; }},
        {{"fat64", "exfat"}, nullptr, [] { return std::make_unique<Fat64Class>(); },
         [](ScanMode m) { return m == ScanMode::Standard || m == ScanMode::Advanced; }},
        // Any mode: Standard reads the catalog file, the others search the
        // volume for catalog leaf nodes.
        {{"hfs+"}, "HFS+ partition selected....", [] { return std::make_unique<HFSP>(); },
         [](ScanMode) { return true; }},
        {{"extx", "ext2", "ext3", "ext4"}, nullptr, [] { return std::make_unique<ext2Class>(); },
         [](ScanMode m) { return m == ScanMode::Standard; }},
    };
    return rows;
}

}  // namespace brantlow
