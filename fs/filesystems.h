// The file systems this program reads: one row each (fs/api/filesystem_row.h),
// listed here. Adding a file system is a folder under fs/ plus its row in
// fileSystemTable(); nothing above fs/ names a file system.
#pragma once

#include <string>
#include <vector>

#include "disk/probe.h"
#include "fs/api/filesystem_row.h"

namespace brantlow {

// In recognition order.
const std::vector<FileSystemRow>& fileSystemTable();
// The rows' probes, in recognition order.
const ProbeTable& probeTable();

// The parser row that reads volumes of this name (its list name or any of
// its names, without regard to ASCII case), or nullptr.
const ParserRow* findParserRow(const std::string& fileSystem);
// A name the probes give that no parser reads ("recognised, not read yet").
bool recognisedButNotRead(const std::string& fileSystem);
// The rows offered under "Treat file system as:", in list order.
std::vector<const ParserRow*> treatAsRows();
// The name a mounted volume of this type (as /proc/self/mountinfo gives it)
// is shown under when its device cannot be probed; an unknown type as it is.
std::string fileSystemForMountType(const std::string& type);
// Every name the table knows a file system by (list names and the names
// that select a parser), for checks that no other folder spells one out.
std::vector<std::string> fileSystemNames();

}  // namespace brantlow
