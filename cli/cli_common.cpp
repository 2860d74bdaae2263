#include <cstdlib>
#include <cerrno>
#include <charconv>
#include <climits>
#include <cstdio>
#include <iostream>
#include <cstring>

#include "cli/cli.h"
#include "disk/counting_reader.h"
#include "base/texts.h"
#include "disk/mapped_reader.h"
#include "disk/source.h"
#include "fs/filesystems.h"
#include "platform/files.h"
#include "platform/secret.h"
#include "platform/signals.h"
#include "scan/scan_job.h"
#include "scan/volumes.h"

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

void appendJsonString(std::string& o, const std::string& raw) {
    if (!isValidUtf8(raw)) {
        appendJsonString(o, displayUtf8(raw));
        return;
    }
    static const char hexDigits[] = "0123456789abcdef";
    o += '"';
    const size_t n = raw.size();
    for (size_t i = 0; i < n; ++i) {
        // Plain characters go in as one run.
        size_t j = i;
        while (j < n) {
            const unsigned char k = static_cast<unsigned char>(raw[j]);
            if (k < 0x20 || k == 0x7F || k == '"' || k == '\\') break;
            ++j;
        }
        if (j > i) {
            o.append(raw, i, j - i);
            if (j == n) break;
            i = j;
        }
        const unsigned char c = static_cast<unsigned char>(raw[i]);
        switch (c) {
            case '"': o += "\\\""; break;
            case '\\': o += "\\\\"; break;
            case '\n': o += "\\n"; break;
            case '\r': o += "\\r"; break;
            case '\t': o += "\\t"; break;
            default:
                if (c < 0x20 || c == 0x7F) {
                    const char b[6] = {'\\', 'u', '0', '0', hexDigits[c >> 4], hexDigits[c & 15]};
                    o.append(b, sizeof b);
                } else {
                    o += static_cast<char>(c);
                }
        }
    }
    o += '"';
}

std::string jsonString(const std::string& raw) {
    std::string o;
    appendJsonString(o, raw);
    return o;
}

void appendTerminalSafe(std::string& o, const std::string& s) {
    static const char hexDigits[] = "0123456789ABCDEF";
    auto hex = [&](unsigned char c) {
        const char b[4] = {'\\', 'x', hexDigits[c >> 4], hexDigits[c & 15]};
        o.append(b, sizeof b);
    };
    for (size_t i = 0; i < s.size();) {
        // A run of printable ASCII is taken whole.
        size_t j = i;
        while (j < s.size() && static_cast<unsigned char>(s[j]) >= 0x20 && static_cast<unsigned char>(s[j]) < 0x7F) ++j;
        if (j > i) {
            o.append(s, i, j - i);
            i = j;
            if (i == s.size()) break;
        }
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
}

std::string terminalSafe(const std::string& s) {
    std::string o;
    o.reserve(s.size());
    appendTerminalSafe(o, s);
    return o;
}

void appendJsonTime(std::string& o, const OptTime& t) {
    const size_t at = o.size();
    o += '"';
    if (t && appendIsoUtc(o, t->sec)) {
        o += '"';
    } else {
        o.resize(at);
        o += "null";
    }
}

LineOut& LineOut::num(uint64_t v) {
    char t[24];
    const auto r = std::to_chars(t, t + sizeof t, v);
    buf_.append(t, r.ptr);
    return *this;
}

void LineOut::flush() {
    if (!buf_.empty()) std::fwrite(buf_.data(), 1, buf_.size(), stdout);
    buf_.clear();
    std::fflush(stdout);
}

std::string jsonTime(const OptTime& t) {
    std::string o;
    appendJsonTime(o, t);
    return o;
}

namespace {
std::vector<std::pair<std::string, std::shared_ptr<CountingReader>>>& countedSources() {
    static std::vector<std::pair<std::string, std::shared_ptr<CountingReader>>> list;
    return list;
}
}  // namespace

void printReadStats() {
    for (const auto& [path, r] : countedSources())
        std::cerr << "brantlow-cli: read " << r->bytesRead() << " bytes from " << terminalSafe(path) << "\n";
}

std::shared_ptr<readWriteInterface> openSource(const std::string& path, const std::string& mapPath) {
    SourceError why;
    std::shared_ptr<readWriteInterface> r = openSourceReader(path, &why, &volumeProbeTable());
    if (!r) {
        std::cerr << "brantlow-cli: cannot read " << path << ": " << why.text << "\n";
        return nullptr;
    }
    // Test aids: BRANTLOW_READ_STATS=1 prints the bytes read at the end,
    // BRANTLOW_READ_LIMIT=N reads at most N bytes a second.
    const char* stats = std::getenv("BRANTLOW_READ_STATS");
    const char* limit = std::getenv("BRANTLOW_READ_LIMIT");
    if ((stats && *stats == '1') || limit) {
        auto counted = std::make_shared<CountingReader>(r);
        if (stats && *stats == '1') countedSources().push_back({path, counted});
        if (auto rate = limit ? parseU64(limit) : std::nullopt) counted->limitRate(*rate);
        r = counted;
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

std::vector<VolumeEntry> standardVolumes(const std::shared_ptr<readWriteInterface>& reader, bool gpt,
                                         const LayerAsk& ask) {
    return listVolumes(reader, gpt, ask);
}

namespace {

// A file's bytes as a secret; false (said on stderr) when it cannot be read.
bool secretFile(const std::string& path, const char* what, platform::Secret& out) {
    int err = 0;
    if (platform::readSecretFile(path, 8u << 20, out, &err)) return true;
    std::cerr << "brantlow-cli: cannot read the " << what << " " << terminalSafe(path) << ": " << std::strerror(err)
              << "\n";
    return false;
}

}  // namespace

std::vector<VolumeEntry> standardVolumes(const Sources& sources, bool gpt, const LayerAsk& ask) {
    return listDisks(sources.disks, gpt, ask);
}

namespace {

constexpr size_t kMaxSources = 64;

// --raid: a set without metadata, by typed parameters or the best the
// search finds (the ranking printed).
std::optional<AssembledDisk> withoutMetadata(const std::vector<std::shared_ptr<readWriteInterface>>& readers,
                                             const std::vector<std::string>& paths, const Args& a, int& rc) {
    std::string params = a.get("--raid");
    if (params == "search") {
        StderrProgress prog(progressStyle(a));
        ThrottledProgress throttled(&prog);
        const SetSearchResult res = searchSetParameters(readers, &platform::interruptFlag(), &throttled);
        prog.done();
        if (platform::interruptFlag().load()) {
            std::cerr << "brantlow-cli: interrupted\n";
            rc = kExitInterrupted;
            return std::nullopt;
        }
        if (res.candidates.empty()) {
            std::cerr << "brantlow-cli: no way to put the sources together was found"
                      << (res.error.empty() ? "" : ": " + res.error) << "\n";
            rc = kExitSource;
            return std::nullopt;
        }
        std::cerr << "brantlow-cli: the ways the sources fit together, best first:\n";
        for (size_t i = 0; i < res.candidates.size(); ++i)
            std::cerr << "  " << i + 1 << ". " << setParametersText(res.candidates[i].parameters) << "  ("
                      << res.candidates[i].description << ")\n";
        params = setParametersText(res.candidates[0].parameters);
    }
    std::string error;
    AssembledDisk d = assembleWithParameters(readers, paths, params, error);
    if (!d.reader) {
        std::cerr << "brantlow-cli: --raid " << terminalSafe(params) << ": " << terminalSafe(error) << "\n";
        rc = kExitUsage;
        return std::nullopt;
    }
    return d;
}

}  // namespace

std::optional<Sources> openSources(const Args& a, int& rc) {
    Sources s;
    s.paths = a.positional;
    if (s.paths.empty() || s.paths.size() > kMaxSources) {
        std::cerr << "brantlow-cli: give from 1 to " << kMaxSources << " SOURCE arguments\n";
        rc = kExitUsage;
        return std::nullopt;
    }
    if (a.has("--map") && s.paths.size() > 1) {
        std::cerr << "brantlow-cli: --map reads one image through its map: give one SOURCE\n";
        rc = kExitUsage;
        return std::nullopt;
    }
    std::vector<std::shared_ptr<readWriteInterface>> readers;
    for (const std::string& p : s.paths) {
        auto r = openSource(p, a.get("--map"));
        if (!r) {
            rc = kExitSource;
            return std::nullopt;
        }
        readers.push_back(std::move(r));
    }
    if (a.has("--raid")) {
        auto d = withoutMetadata(readers, s.paths, a, rc);
        if (!d) return std::nullopt;
        std::cerr << "brantlow-cli: assembled " << terminalSafe(d->description) << "\n";
        s.disks.push_back(std::move(*d));
        return s;
    }
    if (readers.size() == 1) {
        s.disks.push_back({readers[0], s.paths[0]});
        return s;
    }
    Assembly as = assembleSources(readers, s.paths, layerAsk(a));
    for (const std::string& note : as.notes) std::cerr << "brantlow-cli: " << terminalSafe(note) << "\n";
    if (as.disks.empty()) {
        std::cerr << "brantlow-cli: the sources make no set that can be read (for a set without metadata, try "
                     "--raid search)\n";
        rc = kExitSource;
        return std::nullopt;
    }
    for (size_t k = 0; k < as.disks.size(); ++k)
        std::cerr << "brantlow-cli: assembled " << (as.disks.size() > 1 ? std::to_string(k) + ": " : "")
                  << terminalSafe(as.disks[k].description) << "\n";
    s.disks = std::move(as.disks);
    return s;
}

LayerAsk layerAsk(const Args& a) {
    const std::string passFile = a.get("--passphrase-file"), keyFile = a.get("--key-file"),
                      volumeKeyFile = a.get("--volume-key-file");
    return [passFile, keyFile, volumeKeyFile](const LayerQuestion& q, LayerAnswers& answers) {
        if (q.kind != LayerQuestion::Kind::Passphrase && q.kind != LayerQuestion::Kind::VolumeKey) return false;
        if (!passFile.empty() || !keyFile.empty() || !volumeKeyFile.empty()) {
            // Files answer once: the same bytes again would fail again.
            if (q.attempt > 0) return false;
            if (!volumeKeyFile.empty()) {
                platform::Secret text;
                if (!secretFile(volumeKeyFile, "volume key file", text)) return false;
                // Hex digits as luksDump prints them, else the key's own bytes.
                if (!platform::hexSecret(text, answers.volumeKey)) answers.volumeKey = std::move(text);
            }
            if (!keyFile.empty()) {
                // A key file is taken whole, line breaks and all.
                if (!secretFile(keyFile, "key file", answers.passphrase)) return false;
                answers.keyFile = true;
            } else if (!passFile.empty()) {
                if (!secretFile(passFile, "passphrase file", answers.passphrase)) return false;
                // A passphrase file's last line break is not part of it.
                size_t n = answers.passphrase.size();
                const uint8_t* d = answers.passphrase.data();
                while (n && (d[n - 1] == '\n' || d[n - 1] == '\r')) --n;
                if (n != answers.passphrase.size()) {
                    platform::Secret cut(d, n);
                    answers.passphrase = std::move(cut);
                }
            }
            return q.kind == LayerQuestion::Kind::Passphrase || !answers.volumeKey.empty();
        }
        // A volume key is never typed.
        if (q.kind != LayerQuestion::Kind::Passphrase) return false;
        if (!q.lastError.empty()) std::cerr << "brantlow-cli: " << q.lastError << "\n";
        return platform::readSecretLine(q.prompt, answers.passphrase);
    };
}

namespace {

// A layer volume chosen directly: what it holds, when that is one volume.
std::optional<VolumeEntry> throughLayer(const std::shared_ptr<readWriteInterface>& reader, const VolumeEntry& v,
                                        const Args& a, int* rc) {
    std::vector<VolumeEntry> one{v};
    openLayers(one, reader, layerAsk(a));
    if (one.size() == 2) return one[1];
    if (one.size() == 1) {
        std::cerr << "brantlow-cli: volume " << v.volumeNumber << " (" << terminalSafe(v.fileSystem)
                  << ") cannot be opened: " << terminalSafe(one[0].layerNote) << "\n";
        if (rc) *rc = kExitSource;
        return std::nullopt;
    }
    std::cerr << "brantlow-cli: volume " << v.volumeNumber << " holds " << one.size() - 1
              << " volumes: name one with --volume (see 'brantlow-cli volumes')\n";
    if (rc) *rc = kExitUsage;
    return std::nullopt;
}

}  // namespace

std::optional<VolumeEntry> chooseVolume(const Sources& sources, const Args& a, int* rc) {
    const std::shared_ptr<readWriteInterface>& readerPtr = sources.reader();
    readWriteInterface& reader = *readerPtr;
    if (rc) *rc = kExitUsage;
    if (a.has("--start-sector") && sources.disks.size() > 1) {
        std::cerr << "brantlow-cli: the sources make " << sources.disks.size()
                  << " sets: name a volume with --volume (see 'brantlow-cli volumes')\n";
        return std::nullopt;
    }
    if (a.has("--start-sector")) {
        // Counted from the start of the volume --volume names, when given (a
        // volume inside a layer: on what the layer yields), else of the source.
        std::shared_ptr<readWriteInterface> on = readerPtr;
        uint64_t base = 0, room = reader.sizeBytes() / 512;
        std::optional<VolumeEntry> outer;
        if (a.has("--volume")) {
            Args b = a;
            for (const char* o : {"--start-sector", "--size-sectors", "--fs"}) b.options.erase(o);
            outer = chooseVolume(sources, b, rc);
            if (!outer) return std::nullopt;
            if (rc) *rc = kExitUsage;
            on = volumeReader(*outer, readerPtr);
            base = outer->startSector;
            const uint64_t total = on->sizeBytes() / 512;
            room = outer->sizeSectors ? outer->sizeSectors : (total > base ? total - base : 0);
        }
        auto s = parseU64(a.get("--start-sector"));
        if (!s) {
            std::cerr << "brantlow-cli: --start-sector takes a sector number\n";
            return std::nullopt;
        }
        if (room && *s >= room) {
            std::cerr << "brantlow-cli: sector " << *s << " lies beyond the end of the "
                      << (outer ? "volume " + outer->volumeNumber : std::string("source")) << " (" << room
                      << " sectors)\n";
            if (rc) *rc = kExitNoFs;
            return std::nullopt;
        }
        VolumeEntry v;
        v.startSector = base + *s;
        v.volumeNumber = outer ? outer->volumeNumber : "0";
        if (outer) {
            v.reader = outer->reader;
            v.parent = outer->parent;
            v.within = outer->within;
            v.outputNote = outer->outputNote;
        }
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
            ProbeResult id = identifyVolume(*on, v.startSector, volumeProbeTable());
            v.fileSystem = id.fileSystem;
            if (!v.sizeSectors) v.sizeSectors = id.sizeSectors;
            v.alsoLooksLike = std::move(id.alsoLooksLike);
        }
        if (!v.sizeSectors && room > *s) v.sizeSectors = room - *s;
        if (isLayerName(v.fileSystem)) return throughLayer(readerPtr, v, a, rc);
        return v;
    }
    std::string want = a.get("--volume", "");
    // Layers are opened (and asked for what they need) only when the
    // volume chosen lies in one.
    const bool inLayer = want.find('/') != std::string::npos;
    auto vols = standardVolumes(sources, a.has("--gpt"), inLayer ? layerAsk(a) : LayerAsk{});
    if (want.empty()) {
        if (vols.size() == 1) return isLayerName(vols[0].fileSystem) ? throughLayer(readerPtr, vols[0], a, rc) : vols[0];
        // One volume that is not a layer (what a layer, or a set of
        // members, holds).
        const VolumeEntry* only = nullptr;
        size_t leaves = 0;
        for (const VolumeEntry& v : vols)
            if (!isLayerName(v.fileSystem)) {
                only = &v;
                ++leaves;
            }
        if (leaves == 1 && !only->parent.empty()) return *only;
        if (vols.empty()) {
            std::cerr << "brantlow-cli: no volume found on this source (no partition table and no file system "
                         "at sector 0)\n";
            if (rc) *rc = kExitNoFs;
            return std::nullopt;
        }
        std::cerr << "brantlow-cli: name a volume with --volume N (see 'brantlow-cli volumes')\n";
        return std::nullopt;
    }
    for (const auto& v : vols) {
        if (v.volumeNumber != want) continue;
        if (!isLayerName(v.fileSystem)) return v;
        // A layer: what it holds, when that is listed and one volume (a
        // further member of a set: what the set holds).
        const std::string holder = v.memberOf.empty() ? v.volumeNumber : v.memberOf;
        std::vector<const VolumeEntry*> inside;
        for (const auto& c : vols)
            if (c.parent == holder) inside.push_back(&c);
        if (inside.size() == 1) return *inside[0];
        if (inside.size() > 1) {
            std::cerr << "brantlow-cli: volume " << holder << " holds " << inside.size()
                      << " volumes: name one with --volume (see 'brantlow-cli volumes')\n";
            return std::nullopt;
        }
        return throughLayer(readerPtr, v, a, rc);
    }
    // A volume inside a layer that did not open.
    for (const auto& v : vols)
        if (inLayer && want.rfind(v.volumeNumber + "/", 0) == 0 && !v.layerNote.empty()) {
            std::cerr << "brantlow-cli: volume " << v.volumeNumber << " (" << terminalSafe(v.fileSystem)
                      << ") cannot be opened: " << terminalSafe(v.layerNote) << "\n";
            if (rc) *rc = kExitSource;
            return std::nullopt;
        }
    std::cerr << "brantlow-cli: no volume " << want << " on this source\n";
    return std::nullopt;
}

std::string fileSystemListText(bool advancedOnly, bool formattedOnly) {
    std::string out;
    for (const FileSystemRow& row : fileSystemTable())
        for (const ParserRow& p : row.parsers) {
            if (advancedOnly && !p.advanced.search) continue;
            if (formattedOnly && !p.formattedOption) continue;
            if (!out.empty()) out += ", ";
            out += p.listName;
        }
    return out;
}

bool stderrIsTerminal() { return platform::isTerminal(2); }

ProgressStyle progressStyle(const Args& a) {
    if (a.has("--quiet")) return ProgressStyle::Off;
    return stderrIsTerminal() ? ProgressStyle::Bar : ProgressStyle::Lines;
}

namespace {

constexpr auto kFirstLine = std::chrono::seconds(5);   // a log hears of jobs longer than this
constexpr auto kLineEvery = std::chrono::seconds(30);  // and then this often

}  // namespace

StderrProgress::StderrProgress(ProgressStyle style, uint64_t bytes)
    : style_(style), bytes_(bytes), start_(std::chrono::steady_clock::now()), lastLine_(start_) {
    rate_.start(start_);
}

void StderrProgress::resumedFrom(double share) { rate_.start(std::chrono::steady_clock::now(), share); }

void StderrProgress::position(int64_t p) {
    if (style_ == ProgressStyle::Off || hi_ <= 0) return;
    const int64_t clamped = p >= hi_ ? hi_ : p < 0 ? 0 : p;
    rate_.update(static_cast<double>(clamped) / static_cast<double>(hi_), std::chrono::steady_clock::now());
    int pm = static_cast<int>(clamped * 1000 / hi_);
    if (pm == lastPermille_) return;
    lastPermille_ = pm;
    draw(pm);
}

void StderrProgress::draw(int pm) {
    const auto now = std::chrono::steady_clock::now();
    std::string tail;
    if (const auto share = rate_.sharePerSecond(); share && bytes_)
        tail += "  " + rateText(*share * static_cast<double>(bytes_));
    if (const auto left = rate_.secondsLeft(); left && pm < 1000) tail += "  " + clockText(*left) + " left";
    if (style_ == ProgressStyle::Lines) {
        if (now - start_ < kFirstLine || (drawn_ && now - lastLine_ < kLineEvery)) return;
        lastLine_ = now;
        drawn_ = true;
        std::fprintf(stderr, "brantlow-cli: %d.%d%%%s%s%s\n", pm / 10, pm % 10, tail.c_str(),
                     status_.empty() ? "" : "  ", status_.c_str());
        return;
    }
    constexpr int kWidth = 24;
    const int filled = pm * kWidth / 1000;
    const std::string bar = std::string(filled, '#') + std::string(kWidth - filled, '-');
    const std::string line = "[" + bar + "] " + std::to_string(pm / 10) + "." + std::to_string(pm % 10) + "%" + tail +
                             (status_.empty() ? "" : "  " + status_);
    std::fprintf(stderr, "\r%-79.79s", line.c_str());
    drawn_ = true;
}

void StderrProgress::status(const std::string& s) {
    status_ = s;
    if (style_ != ProgressStyle::Bar) return;
    if (lastPermille_ >= 0)
        draw(lastPermille_);
    else
        std::fprintf(stderr, "\r%-79.79s", s.c_str());
}

void StderrProgress::done() {
    if (style_ == ProgressStyle::Bar) std::fprintf(stderr, "\r%-79s\r", "");
}

void StderrMessages::info(const std::string& text) {
    if (text != kScanDoneText) std::cerr << "brantlow-cli: " << text << "\n";
}

}  // namespace brantlow::cli
