#include <iostream>

#include "cli/cli.h"

namespace brantlow::cli {

int cmdCarve(const Args& a) {
    (void)a;
    std::cerr << "brantlow-cli: carving is not available in this build\n";
    return kExitUsage;
}

}  // namespace brantlow::cli
