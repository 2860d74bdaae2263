// Sets without metadata for the search benchmark: stripes a volume image
// over member images the way md lays them out (no superblock; the data
// from 1 MiB on each member), then times the parameter search in process.
//
//   bench_raid_search make VOLUME OUTDIR LEVEL CHUNK_KIB MEMBERS
//   bench_raid_search search MEMBER...
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <string>
#include <vector>

#include "disk/source.h"
#include "scan/volumes.h"
#include "tests/support/raid_sets.h"

using namespace brantlow;

int main(int argc, char** argv) {
    const std::string cmd = argc > 1 ? argv[1] : "";
    if (cmd == "make" && argc == 7) {
        std::ifstream in(argv[2], std::ios::binary);
        const test::Bytes volume((std::istreambuf_iterator<char>(in)), {});
        test::MdSetup setup;
        setup.level = std::atoi(argv[4]);
        setup.chunkBytes = static_cast<uint32_t>(std::atoi(argv[5])) * 1024;
        setup.members = std::atoi(argv[6]);
        setup.version = "";
        setup.dataOffset = 1 << 20;
        const auto members = test::makeMdMembers(volume, setup);
        for (size_t i = 0; i < members.size(); ++i) {
            std::ofstream out(std::string(argv[3]) + "/m" + std::to_string(i) + ".img", std::ios::binary);
            out.write(reinterpret_cast<const char*>(members[i].data()), static_cast<std::streamsize>(members[i].size()));
        }
        return 0;
    }
    if (cmd == "search" && argc > 3) {
        std::vector<std::shared_ptr<readWriteInterface>> readers;
        for (int i = 2; i < argc; ++i) {
            auto r = openSourceReader(argv[i], nullptr, &volumeProbeTable());
            if (!r) return 2;
            readers.push_back(r);
        }
        const auto t0 = std::chrono::steady_clock::now();
        const SetSearchResult res = searchSetParameters(readers);
        const double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
        std::printf("search %.3f s, best: %s\n", s,
                    res.candidates.empty() ? res.error.c_str()
                                           : setParametersText(res.candidates[0].parameters).c_str());
        return res.candidates.empty() ? 1 : 0;
    }
    std::cerr << "usage: bench_raid_search make VOLUME OUTDIR LEVEL CHUNK_KIB MEMBERS | search MEMBER...\n";
    return 1;
}
