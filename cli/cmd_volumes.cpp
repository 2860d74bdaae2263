#include <cstdio>
#include <iostream>

#include "cli/cli.h"

namespace brantlow::cli {

int cmdVolumes(const Args& a) {
    if (a.positional.size() != 1) {
        std::cerr << "usage: brantlow-cli volumes SOURCE [--gpt] [--json]\n";
        return kExitUsage;
    }
    auto reader = openSource(a.positional[0]);
    if (!reader) return kExitSource;
    auto vols = standardVolumes(*reader, a.has("--gpt"));
    if (a.has("--json")) {
        for (const auto& v : vols)
            std::cout << "{\"volume\":" << jsonString(v.volumeNumber) << ",\"fileSystem\":" << jsonString(v.fileSystem)
                      << ",\"sizeText\":" << jsonString(v.sizeText) << ",\"startSector\":" << v.startSector
                      << ",\"sizeSectors\":" << v.sizeSectors << "}\n";
        return kExitOk;
    }
    std::printf("%-8s %-30s %-14s %s\n", "VOLUME", "FILE_SYSTEM", "VOLUME_SIZE", "START_SECTOR");
    for (const auto& v : vols)
        std::printf("%-8s %-30s %-14s %llu\n", v.volumeNumber.c_str(), v.fileSystem.c_str(), v.sizeText.c_str(),
                    static_cast<unsigned long long>(v.startSector));
    return kExitOk;
}

}  // namespace brantlow::cli
