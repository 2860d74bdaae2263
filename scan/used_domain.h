// Imaging the used part of a disk first: the file-system metadata of the
// volumes the partition walk finds (boot sectors, MFT, FAT, inode tables,
// B-trees: every byte a scan reads, copied as the scan asks for it), then
// the content of every live file; free space is left for a later run
// without a domain.
#pragma once

#include <atomic>
#include <functional>
#include <string>

#include "imaging/session.h"

namespace brantlow {

struct UsedDomainResult {
    imaging::RescueResult rescue;
    uint64_t metadataBytes = 0;  // bytes the scans read
    uint64_t fileBytes = 0;      // bytes of live files' content
    bool complete = true;        // false: a volume could not be read (its files are left for a later run)
};

// Runs on the caller's thread; say() gets one line per volume.
UsedDomainResult imageUsedDomain(imaging::ImagingSession& session, const std::atomic<bool>* stop,
                                 const std::function<void(const std::string&)>& say);

}  // namespace brantlow
