// The candidate searches of Advanced mode, one entry point for every file
// system that offers it (each file system's row carries its own search).
#pragma once

#include <atomic>
#include <string>

#include "base/sinks.h"
#include "disk/volume_view.h"
#include "fs/api/advanced.h"

namespace brantlow {

// Runs the candidate search for a volume of this file-system name (as the
// volume list names it, any case) on the calling thread. maxCandidates < 1
// means 3. stop is polled between chunks; gate may be null. A file system
// without a search gives an AdvancedSearch with offered false.
AdvancedSearch searchAdvancedCandidates(const std::string& fileSystem, const VolumeView& volume,
                                        int maxCandidates, ProgressSink* progress, const std::atomic<bool>* stop,
                                        PauseGate* gate = nullptr);

}  // namespace brantlow
