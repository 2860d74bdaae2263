// brantlow-cli: the recovery engine without a display.
#include <cstring>
#include <iostream>

#include "cli/cli.h"

using namespace brantlow::cli;

namespace {

void usage() {
    std::cerr << "usage:\n"
                 "  brantlow-cli volumes SOURCE [--gpt] [--json]\n"
                 "  brantlow-cli list SOURCE [--volume N | --start-sector S [--fs NAME] [--size-sectors Z]]\n"
                 "                    [--mode standard|advanced|deep] [--json] [--streams] [--formatted]\n"
                 "  brantlow-cli recover SOURCE [--volume N | --start-sector S ...] --out DIR [--path ROOT/...]\n"
                 "                    [--streams] [--deleted-only]\n"
                 "  brantlow-cli carve SOURCE [--volume N | --start-sector S --size-sectors Z] [--types FILE]\n"
                 "                    [--no-default-types] [--hide-marked] [--out DIR] [--json]\n"
                 "SOURCE is a disk device or an image file; it is only ever read.\n";
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2 || !std::strcmp(argv[1], "--help") || !std::strcmp(argv[1], "-h")) {
        usage();
        return argc < 2 ? kExitUsage : kExitOk;
    }
    std::string cmd = argv[1];
    Args a;
    std::string err;
    if (!parseArgs(argc, argv, 2, {"--gpt", "--json", "--streams", "--quiet", "--no-default-types", "--hide-marked", "--no-skip", "--deleted-only", "--formatted"}, a,
                   err)) {
        std::cerr << "brantlow-cli: " << err << "\n";
        return kExitUsage;
    }
    if (cmd == "volumes") return cmdVolumes(a);
    if (cmd == "list") return cmdList(a);
    if (cmd == "recover") return cmdRecover(a);
    if (cmd == "carve") return cmdCarve(a);
    usage();
    return kExitUsage;
}
