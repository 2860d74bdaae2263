// Following a cluster chain through the FAT, bounded: by the clusters a
// stream needs, by the heap, and against loops (a chain that comes back to
// a cluster it has passed ends there).
#pragma once

#include <cstdint>
#include <functional>
#include <vector>

namespace brantlow {

struct ClusterRun {
    uint32_t first = 0;
    uint32_t count = 0;
};

enum class ChainEnd {
    Complete,    // as many clusters as were wanted
    EndMark,     // an end-of-chain value came first
    Free,        // a free (0) entry came first
    Bad,         // a bad-cluster mark came first
    OutOfRange,  // a value outside the heap came first
    Loop,        // the chain came back to a cluster it had passed
};

struct Chain {
    std::vector<ClusterRun> runs;  // in chain order, consecutive clusters merged
    uint64_t clusters = 0;
    ChainEnd end = ChainEnd::Complete;
};

// The chain from first, at most maxClusters clusters long. next(c) gives
// the FAT value of c. lastCluster is the highest valid cluster number.
// first itself must be valid (else an empty chain ending OutOfRange).
Chain followChain(const std::function<uint32_t(uint32_t)>& next, uint32_t first, uint32_t lastCluster,
                  uint64_t maxClusters);

// count consecutive clusters from first, cut at lastCluster.
Chain contiguousChain(uint32_t first, uint32_t lastCluster, uint64_t count);

}  // namespace brantlow
