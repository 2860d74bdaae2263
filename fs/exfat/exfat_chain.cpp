#include "fs/exfat/exfat_chain.h"

#include <algorithm>
#include <map>

#include "fs/exfat/exfat_volume.h"

namespace brantlow {

Chain followChain(const std::function<uint32_t(uint32_t)>& next, uint32_t first, uint32_t lastCluster,
                  uint64_t maxClusters) {
    Chain ch;
    if (maxClusters == 0) return ch;
    if (first < 2 || first > lastCluster) {
        ch.end = ChainEnd::OutOfRange;
        return ch;
    }
    // Earlier runs (first -> last cluster): a step into one of them, or
    // back into the current run, is a loop.
    std::map<uint32_t, uint32_t> earlier;
    auto inEarlier = [&](uint32_t n) {
        auto it = earlier.upper_bound(n);
        if (it == earlier.begin()) return false;
        --it;
        return n <= it->second;
    };
    ClusterRun cur{first, 1};
    ch.clusters = 1;
    while (ch.clusters < maxClusters) {
        const uint32_t c = cur.first + cur.count - 1;
        const uint32_t n = next(c);
        if (n == kExfatFree) {
            ch.end = ChainEnd::Free;
            break;
        }
        if (n == kExfatBad) {
            ch.end = ChainEnd::Bad;
            break;
        }
        if (n >= 0xFFFFFFF8u) {
            ch.end = ChainEnd::EndMark;
            break;
        }
        if (n < 2 || n > lastCluster) {
            ch.end = ChainEnd::OutOfRange;
            break;
        }
        if ((n >= cur.first && n <= c) || inEarlier(n)) {
            ch.end = ChainEnd::Loop;
            break;
        }
        if (n == c + 1) {
            ++cur.count;
        } else {
            ch.runs.push_back(cur);
            earlier.emplace(cur.first, c);
            cur = ClusterRun{n, 1};
        }
        ++ch.clusters;
    }
    ch.runs.push_back(cur);
    return ch;
}

Chain contiguousChain(uint32_t first, uint32_t lastCluster, uint64_t count) {
    Chain ch;
    if (count == 0) return ch;
    if (first < 2 || first > lastCluster) {
        ch.end = ChainEnd::OutOfRange;
        return ch;
    }
    const uint64_t room = static_cast<uint64_t>(lastCluster) - first + 1;
    const uint64_t n = std::min(room, count);
    if (n < count) ch.end = ChainEnd::OutOfRange;
    ch.runs.push_back(ClusterRun{first, static_cast<uint32_t>(n)});
    ch.clusters = n;
    return ch;
}

}  // namespace brantlow
