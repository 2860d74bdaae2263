// HFS+ (and HFSX) in the file-system table: recognition (the volume header
// at byte 1024), the parser, its modes and its texts.
#include "fs/hfsplus/hfsplus_row.h"

#include "fs/hfsplus/hfsplus_candidates.h"
#include "fs/hfsplus/hfsplus.h"
#include "fs/hfsplus/hfsplus_probe.h"

namespace brantlow {

FileSystemRow hfsPlusRow() {
    FileSystemRow row;
    row.probe = {"hfsplus", probeHfsPlus, hfsPlusCopyAt, hfsPlusConfirm};
    // The sector scan lists no volume above 20971519 MiB (and says nothing
    // of one it does not list).
    row.probe.kinds = {{"HFS+", "found HFS+...", "", false, false, false, 20971519}};
    row.probe.scanMarks = {ScanMark::of(1024, "H+", 3), ScanMark::of(1024, "HX", 3)};
    ParserRow p;
    p.listName = "HFS+";
    p.names = {"hfs+"};
    p.statusText = "HFS+ partition selected....";
    p.make = [] { return std::make_unique<HFSP>(); };
    // Standard reads the catalog file; Deep (and Advanced, when asked for)
    // searches the volume for catalog leaf nodes.
    p.modes = {ScanMode::Standard, ScanMode::Deep};
    p.alsoRuns = {ScanMode::Advanced};
    p.treatAs = "HFS+";
    p.treatAsGives = "HFS+";
    p.treatAsOrder = 5;
    p.mountTypes = {"hfsplus"};
    p.quickSaveTells = true;
    row.parsers.push_back(std::move(p));
    row.candidates = makeHfsPlusCandidateMatcher;
    return row;
}

}  // namespace brantlow
