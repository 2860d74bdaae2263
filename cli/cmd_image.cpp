// brantlow-cli image: a failing disk copied once to an image file, good
// areas first, with a GNU ddrescue map of what was read.
#include <cstdio>
#include <iostream>

#include "base/texts.h"
#include "cli/cli.h"
#include "imaging/session.h"
#include "platform/signals.h"
#include "scan/used_domain.h"

namespace brantlow::cli {

namespace {

// "2M", "500k", "1G" (powers of 1024) or a plain number of bytes.
std::optional<uint64_t> parseBytes(std::string s) {
    uint64_t mult = 1;
    if (!s.empty()) {
        switch (s.back()) {
            case 'k': case 'K': mult = 1ull << 10; break;
            case 'm': case 'M': mult = 1ull << 20; break;
            case 'g': case 'G': mult = 1ull << 30; break;
            default: break;
        }
        if (mult != 1) s.pop_back();
    }
    auto v = parseU64(s);
    uint64_t out = 0;
    if (!v || __builtin_mul_overflow(*v, mult, &out)) return std::nullopt;
    return out;
}

}  // namespace

int cmdImage(const Args& a) {
    imaging::ImagingRequest req;
    req.source = a.positional.at(0);
    req.image = a.positional.at(1);
    req.map = a.get("--map");
    req.commandLine = "brantlow-cli image " + req.source + " " + req.image + " --map " + req.map;
    imaging::RescueOptions& o = req.options;
    if (a.has("--retries")) {
        auto n = parseU64(a.get("--retries"));
        if (!n || *n > 1000) {
            std::cerr << "brantlow-cli: --retries takes a number up to 1000\n";
            return kExitUsage;
        }
        o.retries = static_cast<int>(*n);
        req.commandLine += " --retries " + a.get("--retries");
    }
    if (a.has("--min-rate")) {
        auto r = parseBytes(a.get("--min-rate"));
        if (!r) {
            std::cerr << "brantlow-cli: --min-rate takes bytes per second (500k, 2M)\n";
            return kExitUsage;
        }
        o.minRate = *r;
        req.commandLine += " --min-rate " + a.get("--min-rate");
    }
    if (a.has("--read-timeout")) {
        auto t = parseU64(a.get("--read-timeout"));
        if (!t || *t == 0 || *t > 86400) {
            std::cerr << "brantlow-cli: --read-timeout takes whole seconds, 1 or more\n";
            return kExitUsage;
        }
        o.readTimeout = static_cast<double>(*t);
        req.commandLine += " --read-timeout " + a.get("--read-timeout");
    }
    o.reverse = a.has("--reverse");
    o.trim = !a.has("--no-trim");
    o.scrape = !a.has("--no-scrape");
    const bool used = a.get("--domain", "all") == "used";
    for (const char* f : {"--reverse", "--no-trim", "--no-scrape"})
        if (a.has(f)) req.commandLine += std::string(" ") + f;
    if (used) req.commandLine += " --domain used";

    imaging::ImagingSession session;
    std::string why;
    imaging::ImagingRefusal kind = imaging::ImagingRefusal::None;
    if (!session.open(req, &why, &kind)) {
        std::cerr << "brantlow-cli: " << terminalSafe(why) << "\n";
        switch (kind) {
            case imaging::ImagingRefusal::Source:
            case imaging::ImagingRefusal::MapRefused: return kExitSource;
            case imaging::ImagingRefusal::Destination: return kExitDestination;
            default: return kExitUsage;
        }
    }
    const bool show = stderrIsTerminal() && !a.has("--quiet");
    session.rescuer().setStatusCallback([&](const imaging::RescueStatus& s) {
        if (show) std::fprintf(stderr, "\r%-150.150s", imaging::statusText(s).c_str());
    });
    imaging::RescueResult r;
    if (used) {
        UsedDomainResult u = imageUsedDomain(session, &platform::interruptFlag(), [&](const std::string& line) {
            if (show) std::fprintf(stderr, "\r%-150s\r", "");
            std::cerr << "brantlow-cli: " << terminalSafe(line) << "\n";
        });
        r = u.rescue;
        if (show) std::fprintf(stderr, "\r%-150s\r", "");
        std::cerr << "brantlow-cli: used domain: " << imaging::bytesText(u.metadataBytes) << " of metadata, "
                  << imaging::bytesText(u.fileBytes) << " of live files; free space is left for a run without "
                  << "--domain\n";
    } else {
        r = session.rescuer().run(&platform::interruptFlag());
    }
    const imaging::RescueStatus st = session.rescuer().status();
    if (show) std::fprintf(stderr, "\r%-150s\r", "");
    std::cout << "image: " << imaging::statusText(st) << "; this run read " << st.readThisRun << " bytes\n";
    std::cerr << "brantlow-cli: " << session.endText(r) << "\n";
    switch (r.end) {
        case imaging::RescueEnd::Finished: break;
        case imaging::RescueEnd::Stopped: return kExitInterrupted;
        case imaging::RescueEnd::SourceGone: return kExitSource;
        case imaging::RescueEnd::DestinationFailed:
        case imaging::RescueEnd::MapNotSaved: return kExitDestination;
    }
    return st.rescued == st.domainBytes ? kExitOk : kExitUnreadable;
}

}  // namespace brantlow::cli
