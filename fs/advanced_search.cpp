#include "fs/advanced_search.h"

#include "fs/filesystems.h"

namespace brantlow {

AdvancedSearch searchAdvancedCandidates(const std::string& fileSystem, const VolumeView& volume,
                                        int maxCandidates, ProgressSink* progress, const std::atomic<bool>* stop,
                                        PauseGate* gate) {
    const ParserRow* row = findParserRow(fileSystem);
    if (!row || !row->advanced.search) return {};
    return row->advanced.search(volume, maxCandidates, progress, stop, gate);
}

}  // namespace brantlow
