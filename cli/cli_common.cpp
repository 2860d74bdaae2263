#include <cerrno>
#include <climits>
#include <cstdio>
#include <iostream>
#include <cstring>

#include "cli/cli.h"
#include "base/texts.h"
#include "disk/mapped_reader.h"
#include "disk/source.h"
#include "fs/filesystems.h"
#include "platform/files.h"
#include "scan/scan_job.h"

namespace brantlow::cli {

std::optional<uint64_t> parseU64(const std::string& s) {
    if (s.empty() || s.size() > 20) return std::nullopt;
    uint64_t v = 0;
    for (char c : s) {
        if (c < '0' || c > '9') return std::nullopt;
        if (__builtin_mul_overflow(v, 10ull, &v) || __builtin_add_overflow(v, static_cast<uint64_t>(c - '0'), &v))
            return std::nullopt;
    }
    return v;
}

std::string jsonString(const std::string& raw) {
    const std::string s = displayUtf8(raw);
    std::string o = "\"";
    for (unsigned char c : s) {
        switch (c) {
            case '"': o += "\\\""; break;
            case '\\': o += "\\\\"; break;
            case '\n': o += "\\n"; break;
            case '\r': o += "\\r"; break;
            case '\t': o += "\\t"; break;
            default:
                if (c < 0x20 || c == 0x7F) {
                    char b[8];
                    std::snprintf(b, sizeof b, "\\u%04x", c);
                    o += b;
                } else {
                    o += static_cast<char>(c);
                }
        }
    }
    return o + "\"";
}

std::string terminalSafe(const std::string& s) {
    std::string o;
    o.reserve(s.size());
    auto hex = [&](unsigned char c) {
        char b[8];
        std::snprintf(b, sizeof b, "\\x%02X", c);
        o += b;
    };
    for (size_t i = 0; i < s.size();) {
        const unsigned char c = static_cast<unsigned char>(s[i]);
        if (c < 0x20 || c == 0x7F) {
            hex(c);
            ++i;
            continue;
        }
        if (c < 0x80) {
            o += static_cast<char>(c);
            ++i;
            continue;
        }
        // One UTF-8 sequence, kept whole when valid (C1 controls escaped).
        size_t len = c >= 0xF0 && c < 0xF5 ? 4 : c >= 0xE0 ? 3 : c >= 0xC2 && c < 0xE0 ? 2 : 0;
        bool ok = len && i + len <= s.size();
        for (size_t k = 1; ok && k < len; ++k) ok = (static_cast<unsigned char>(s[i + k]) & 0xC0) == 0x80;
        if (ok && len == 2 && c == 0xC2 && static_cast<unsigned char>(s[i + 1]) < 0xA0) ok = false;
        if (ok) {
            o.append(s, i, len);
            i += len;
        } else {
            hex(c);
            ++i;
        }
    }
    return o;
}

int64_t parseIsoUtc(const std::string& iso) {
    int y, mo, d, h, mi, se;
    char z = 0;
    if (std::sscanf(iso.c_str(), "%4d-%2d-%2dT%2d:%2d:%2d%c", &y, &mo, &d, &h, &mi, &se, &z) != 7 || z != 'Z' ||
        mo < 1 || mo > 12 || d < 1 || d > 31 || h > 23 || mi > 59 || se > 60)
        return INT64_MIN;
    // Days from civil (proleptic Gregorian).
    y -= mo <= 2;
    const int64_t era = (y >= 0 ? y : y - 399) / 400;
    const int64_t yoe = y - era * 400;
    const int64_t doy = (153 * (mo + (mo > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    const int64_t days = era * 146097 + doe - 719468;
    return days * 86400 + h * 3600 + mi * 60 + se;
}

std::string jsonTime(const OptTime& t) {
    if (!t) return "null";
    std::string s = isoUtc(t->sec);
    return s.empty() ? "null" : "\"" + s + "\"";
}

std::shared_ptr<readWriteInterface> openSource(const std::string& path, const std::string& mapPath) {
    SourceError why;
    std::shared_ptr<readWriteInterface> r = openSourceReader(path, &why);
    if (!r) {
        std::cerr << "brantlow-cli: cannot read " << path << ": " << why.text << "\n";
        return nullptr;
    }
    r->setDamageReporter([](const std::string& text) { std::cerr << "brantlow-cli: " + text + "\n"; });
    if (!mapPath.empty()) {
        std::string refused;
        r = openMappedImage(r, mapPath, &refused);
        if (!r) {
            std::cerr << "brantlow-cli: " << terminalSafe(refused) << "\n";
            return nullptr;
        }
    }
    return r;
}

namespace {
class Collect : public PartitionOwner {
public:
    std::vector<VolumeEntry> entries;
    void addEntry(const VolumeEntry& e) override { entries.push_back(e); }
};
}  // namespace

std::vector<VolumeEntry> standardVolumes(readWriteInterface& reader, bool gpt) {
    Collect c;
    Partition p;
    p.owner = &c;
    p.useGpt = gpt;
    ReadPartitionTables(reader, p, probeTable());
    return c.entries;
}

std::optional<VolumeEntry> chooseVolume(readWriteInterface& reader, const Args& a, int* rc) {
    if (rc) *rc = kExitUsage;
    if (a.has("--start-sector")) {
        auto s = parseU64(a.get("--start-sector"));
        if (!s) {
            std::cerr << "brantlow-cli: --start-sector takes a sector number\n";
            return std::nullopt;
        }
        if (reader.sizeBytes() && *s >= reader.sizeBytes() / 512) {
            std::cerr << "brantlow-cli: sector " << *s << " lies beyond the end of the source ("
                      << reader.sizeBytes() / 512 << " sectors)\n";
            if (rc) *rc = kExitNoFs;
            return std::nullopt;
        }
        VolumeEntry v;
        v.startSector = *s;
        v.volumeNumber = "0";
        if (a.has("--size-sectors")) {
            auto z = parseU64(a.get("--size-sectors"));
            if (!z) {
                std::cerr << "brantlow-cli: --size-sectors takes a sector count\n";
                return std::nullopt;
            }
            v.sizeSectors = *z;
        }
        if (a.has("--fs")) {
            v.fileSystem = a.get("--fs");
        } else {
            ProbeResult id = identifyVolume(reader, v.startSector, probeTable());
            v.fileSystem = id.fileSystem;
            if (!v.sizeSectors) v.sizeSectors = id.sizeSectors;
        }
        uint64_t total = reader.sizeBytes() / 512;
        if (!v.sizeSectors && total > v.startSector) v.sizeSectors = total - v.startSector;
        return v;
    }
    std::string want = a.get("--volume", "");
    auto vols = standardVolumes(reader, a.has("--gpt"));
    if (want.empty()) {
        if (vols.size() == 1) return vols[0];
        if (vols.empty()) {
            std::cerr << "brantlow-cli: no volume found on this source (no partition table and no file system "
                         "at sector 0)\n";
            if (rc) *rc = kExitNoFs;
            return std::nullopt;
        }
        std::cerr << "brantlow-cli: name a volume with --volume N (see 'brantlow-cli volumes')\n";
        return std::nullopt;
    }
    for (const auto& v : vols)
        if (v.volumeNumber == want) return v;
    std::cerr << "brantlow-cli: no volume " << want << " on this source\n";
    return std::nullopt;
}

bool stderrIsTerminal() { return platform::isTerminal(2); }

void StderrProgress::position(int64_t p) {
    if (!on_ || hi_ <= 0) return;
    int pm = static_cast<int>((p >= hi_ ? hi_ : p) * 1000 / hi_);
    if (pm == lastPermille_) return;
    lastPermille_ = pm;
    std::fprintf(stderr, "\r%3d.%d%% %-60.60s", pm / 10, pm % 10, status_.c_str());
}

void StderrProgress::status(const std::string& s) {
    status_ = s;
    if (on_) std::fprintf(stderr, "\r       %-60.60s", s.c_str());
}

void StderrProgress::done() {
    if (on_) std::fprintf(stderr, "\r%-70s\r", "");
}

void StderrMessages::info(const std::string& text) {
    if (text != kScanDoneText) std::cerr << "brantlow-cli: " << text << "\n";
}

}  // namespace brantlow::cli
