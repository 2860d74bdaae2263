// Writes the default settings file from the built-in table:
//   brantlow-make-default-settings OUT [--markdown]
// --markdown prints the table of definitions and their sources instead.
#include <cstdio>
#include <cstring>
#include <string>

#include "raw/default_types.h"
#include "raw/finders.h"

using namespace brantlow::raw;

static std::string hexOf(const char* s) {
    std::string out;
    for (auto b : parseSignatureText(s)) {
        char t[4];
        std::snprintf(t, sizeof t, "%02X", b);
        if (!out.empty()) out += ' ';
        out += t;
    }
    return out.empty() ? "—" : out;
}

int main(int argc, char** argv) {
    if (argc >= 2 && std::strcmp(argv[1], "--markdown") == 0) {
        std::printf("| ext | category | start | end | size rule | end finder | approx. size | source |\n");
        std::printf("|---|---|---|---|---|---|---|---|\n");
        for (const auto& d : defaultTypeTable()) {
            std::string rule = "—";
            if (d.sizeLength)
                rule = "LE32 at " + std::to_string(d.sizeOffset) +
                       (d.sizeIncludesHeader ? ", whole file" : " + " + std::to_string(d.headerSize));
            else if (d.bytesAfterEnd)
                rule = "end + " + std::to_string(d.bytesAfterEnd) + " bytes";
            const EndFinder* finder = endFinderFor(d.extension);
            std::printf("| %s | %s | %s | %s | %s | %s | %lld | %s |\n", d.extension, d.category, hexOf(d.start).c_str(),
                        hexOf(d.end).c_str(), rule.c_str(), finder ? finder->name : "—",
                        static_cast<long long>(d.approximateSize), d.source);
        }
        return 0;
    }
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s OUT | --markdown\n", argv[0]);
        return 1;
    }
    FILE* f = std::fopen(argv[1], "wb");
    if (!f) {
        std::perror(argv[1]);
        return 2;
    }
    auto recs = defaultRecords();
    for (const auto& r : recs) {
        auto b = encodeRecord(r);
        if (std::fwrite(b.data(), 1, b.size(), f) != b.size()) {
            std::perror(argv[1]);
            return 2;
        }
    }
    if (std::fclose(f) != 0) return 2;
    std::printf("%zu types written to %s\n", recs.size(), argv[1]);
    return 0;
}
