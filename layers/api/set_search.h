// Sets without metadata (the disks of a hardware RAID, a NAS whose
// superblocks are gone): the layer that reads them ranks the ways the
// member sources can be put together and takes the one chosen, or one the
// operator types, as parameters "level=5,chunk=64K,layout=left-symmetric,
// order=0:1:2,start=1M".
#pragma once

#include <atomic>
#include <cstddef>
#include <map>
#include <string>
#include <vector>

#include "base/sinks.h"
#include "disk/probe.h"

namespace brantlow {

struct SetSearchContext {
    // What an assembled set may start with (file systems, layers): the
    // rows' probes find where the data starts, their placement checks rank
    // the candidates.
    const ProbeTable* probes = nullptr;
    const std::atomic<bool>* stop = nullptr;
    ProgressSink* progress = nullptr;  // range 0..1000
    size_t maxCandidates = 10;
};

struct SetCandidate {
    std::map<std::string, std::string> parameters;  // as `open` takes them
    std::string description;                        // why it ranks where it does
    double score = 0;                               // higher is better
};

struct SetSearchResult {
    std::vector<SetCandidate> candidates;  // best first
    std::string error;                     // why nothing could be ranked
};

// "level=5,chunk=64K" → {level: 5, chunk: 64K}; false with `error` set on
// a malformed text (the values are checked by the layer).
bool parseSetParameters(const std::string& text, std::map<std::string, std::string>& out, std::string& error);
// The parameters as one text, in the order level, chunk, layout, order,
// start, then the others.
std::string setParametersText(const std::map<std::string, std::string>& parameters);
// "64K", "1M", "512", "2048s" (sectors) → bytes; false when not a size.
bool parseSizeText(const std::string& text, uint64_t& bytes);
// Bytes as the shortest of "64K", "1M", "512".
std::string sizeParameterText(uint64_t bytes);

}  // namespace brantlow
