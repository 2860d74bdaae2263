#include "fs/filesystems.h"

#include <algorithm>

#include "base/texts.h"
#include "fs/btrfs/btrfs_row.h"
#include "fs/exfat/exfat_row.h"
#include "fs/ext/ext_row.h"
#include "fs/fat/fat_row.h"
#include "fs/hfsplus/hfsplus_row.h"
#include "fs/ntfs/ntfs_row.h"
#include "fs/xfs/xfs_row.h"

namespace brantlow {

const std::vector<FileSystemRow>& fileSystemTable() {
    static const std::vector<FileSystemRow> rows = {ntfsRow(), exfatRow(), fatRow(), extRow(), hfsPlusRow(), xfsRow(), btrfsRow()};
    return rows;
}

const ProbeTable& probeTable() {
    static const ProbeTable probes = [] {
        ProbeTable t;
        for (const FileSystemRow& row : fileSystemTable()) {
            t.push_back(row.probe);
            t.back().fileSystem = true;
        }
        return t;
    }();
    return probes;
}

const ParserRow* findParserRow(const std::string& fileSystem) {
    const std::string fs = asciiLower(fileSystem);
    for (const FileSystemRow& row : fileSystemTable())
        for (const ParserRow& p : row.parsers) {
            if (asciiLower(p.listName) == fs) return &p;
            for (const char* n : p.names)
                if (n && fs == n) return &p;
        }
    return nullptr;
}

bool recognisedButNotRead(const std::string& fileSystem) {
    return !findParserRow(fileSystem) && findVolumeKind(probeTable(), fileSystem) != nullptr;
}

std::vector<const ParserRow*> treatAsRows() {
    std::vector<const ParserRow*> out;
    for (const FileSystemRow& row : fileSystemTable())
        for (const ParserRow& p : row.parsers)
            if (p.treatAs) out.push_back(&p);
    std::stable_sort(out.begin(), out.end(),
                     [](const ParserRow* a, const ParserRow* b) { return a->treatAsOrder < b->treatAsOrder; });
    return out;
}

std::string fileSystemForMountType(const std::string& type) {
    for (const FileSystemRow& row : fileSystemTable())
        for (const ParserRow& p : row.parsers)
            for (const char* t : p.mountTypes)
                if (type == t) return p.mountName ? p.mountName : p.listName;
    return type;
}

std::vector<std::string> fileSystemNames() {
    std::vector<std::string> out;
    for (const FileSystemRow& row : fileSystemTable()) {
        for (const VolumeKind& k : row.probe.kinds) out.push_back(k.listName);
        for (const ParserRow& p : row.parsers) {
            out.push_back(p.listName);
            for (const char* n : p.names) out.push_back(n);
            if (p.treatAs) out.push_back(p.treatAs);
            if (p.treatAsGives) out.push_back(p.treatAsGives);
            if (p.mountName) out.push_back(p.mountName);
        }
    }
    std::sort(out.begin(), out.end());
    out.erase(std::unique(out.begin(), out.end()), out.end());
    return out;
}

}  // namespace brantlow
