#include "app/VolumeChoice.h"

#include <algorithm>
#include <cctype>
#include <cstdint>

#include "fs/filesystems.h"

namespace brantlow::gui {

namespace {

std::string upper(std::string s) {
    for (char& c : s) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return s;
}

std::string trim(const std::string& s) {
    size_t b = 0, e = s.size();
    while (b < e && std::isspace(static_cast<unsigned char>(s[b]))) ++b;
    while (e > b && std::isspace(static_cast<unsigned char>(s[e - 1]))) --e;
    return s.substr(b, e - b);
}

bool equalsNoCase(const std::string& a, const std::string& b) { return upper(a) == upper(b); }

}  // namespace

const std::vector<std::string>& treatAsTypes() {
    static const std::vector<std::string> t = [] {
        std::vector<std::string> out;
        for (const ParserRow* row : treatAsRows()) out.push_back(row->treatAs);
        out.push_back("RAW");
        return out;
    }();
    return t;
}

int matchTreatAs(const std::string& fileSystem) {
    const auto& t = treatAsTypes();
    const std::string want = upper(fileSystem);
    for (size_t k = 1; k <= t.size(); ++k) {
        const size_t i = k % t.size();  // 1 .. last, then 0
        if (t[i].rfind(want, 0) == 0) return static_cast<int>(i);
    }
    return -1;
}

std::string fileSystemForTreatAs(const std::string& type) {
    const std::string t = upper(type);
    for (const ParserRow* row : treatAsRows())
        if (upper(row->treatAs) == t) return row->treatAsGives ? row->treatAsGives : row->listName;
    return "";
}

std::optional<uint64_t> parseSector(const std::string& text) {
    const std::string s = trim(text);
    if (s.empty() || s.size() > 19) return std::nullopt;
    uint64_t v = 0;
    for (char c : s) {
        if (c < '0' || c > '9') return std::nullopt;
        v = v * 10 + static_cast<uint64_t>(c - '0');
    }
    if (v > static_cast<uint64_t>(INT64_MAX)) return std::nullopt;
    return v;
}

uint64_t leadingNumber(const std::string& text) {
    uint64_t v = 0;
    size_t i = 0;
    while (i < text.size() && text[i] == ' ') ++i;
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
        if (v > (UINT64_MAX - 9) / 10) return 0;
        v = v * 10 + static_cast<uint64_t>(text[i] - '0');
    }
    return v;
}

uint64_t endSectorForRow(uint64_t start, const std::string& sizeText) {
    const uint64_t mib = leadingNumber(sizeText);
    if (mib == 0 || mib > (UINT64_MAX >> 12)) return 0;
    const uint64_t span = mib * 2048;
    if (start > UINT64_MAX - span) return 0;
    return start + span - 1;
}

std::vector<size_t> filterEntries(const std::vector<VolumeEntry>& volumes) {
    std::vector<size_t> kept;
    if (volumes.size() < 2) return kept;
    for (size_t i = 1; i < volumes.size(); ++i)
        if (volumes[i - 1].startSector != UINT64_MAX && volumes[i].startSector == volumes[i - 1].startSector + 1)
            kept.push_back(i);
    return kept;
}

std::string filteredText(size_t kept, size_t all) {
    return "Filter Entries: " + std::to_string(kept) + " of " + std::to_string(all) +
           " volumes kept, those that start one sector after the volume before them. Click Filter Entries again "
           "to list every volume.";
}

namespace {
// "sector N of the range F-L (P %)".
std::string whereStopped(uint64_t at, uint64_t first, uint64_t last) {
    const uint64_t range = last >= first ? last - first + 1 : 0;
    const uint64_t done = at > first ? at - first : 0;
    const unsigned pct = range ? static_cast<unsigned>(static_cast<unsigned __int128>(done) * 100 / range) : 0;
    return "sector " + std::to_string(at) + " of " + std::to_string(first) + "-" + std::to_string(last) + " (" +
           std::to_string(pct) + " %)";
}
}  // namespace

std::string scanStoppedStatus(uint64_t at, uint64_t first, uint64_t last) {
    return "Scan stopped at " + whereStopped(at, first, last) + ".";
}

std::string scanStoppedBox(uint64_t at, uint64_t first, uint64_t last) {
    return "populated partitions....\n\nThe scan was stopped at " + whereStopped(at, first, last) +
           ": the sectors after it were not searched, so volumes there are not listed.";
}

VolumeEntry wholeDiskEntry(uint64_t totalSectors) {
    VolumeEntry e;
    e.fileSystem = "RAW";
    e.volumeNumber = kWholeDisk;
    e.sizeText = sizeTextMbSpaces2(totalSectors / 2048);
    e.startSector = 0;
    e.sizeSectors = totalSectors;
    return e;
}

RowTexts rowTexts(const VolumeEntry& e) {
    return {e.volumeNumber, e.fileSystem, e.sizeText, std::to_string(e.startSector)};
}

std::string beyondDiskMessage(uint64_t totalSectors) {
    return "The sector range goes beyond the end of the disk (" + std::to_string(totalSectors) +
           " sectors, the last one is " + std::to_string(totalSectors ? totalSectors - 1 : 0) + ").";
}

NextDecision decideNext(const VolumeEntry& stored, const RowTexts& row, const CustomInput& in, bool customised,
                        uint64_t totalSectors) {
    NextDecision d;
    d.entry = stored;
    d.customised = customised;
    VolumeEntry& e = d.entry;

    if (!in.ticked && customised) {
        // Back to what the row shows.
        e.volumeNumber = row.volume;
        e.fileSystem = row.fileSystem;
        std::string size = row.sizeText;
        for (size_t p; (p = size.find("MB")) != std::string::npos;) size.erase(p, 2);
        e.sizeText = trim(size);
        if (auto s = parseSector(row.startSector)) e.startSector = *s;
    }

    if (in.ticked) {
        const auto start = parseSector(in.startText);
        const auto end = parseSector(in.endText);
        if (!start) return d.message = kBadStartSector, d;
        if (!end) return d.message = kBadEndSector, d;
        if (*end < *start) return d.message = kEndBeforeStart, d;
        if (totalSectors > 0 && (*start >= totalSectors || *end >= totalSectors))
            return d.message = beyondDiskMessage(totalSectors), d;
        d.customised = true;
        e.startSector = *start;
        e.sizeText = *end > *start ? std::to_string((*end - *start + 1) / 2048) : "0";
        if (in.rangeEdited) e.sizeSectors = *end > *start ? *end - *start + 1 : 0;
        // A volume of size 0 would stop the parsers at once: give it the rest
        // of the disk (the list still shows "0").
        if (e.sizeSectors == 0 && totalSectors > e.startSector) e.sizeSectors = totalSectors - e.startSector;
        if (!in.type.empty()) {
            const std::string fs = fileSystemForTreatAs(in.type);
            if (!fs.empty()) e.fileSystem = fs;
        }
    }

    // "RAW" chosen, or the whole-disk row (its file system is "RAW") left as it is.
    if (equalsNoCase(in.type, "RAW") || equalsNoCase(e.fileSystem, "RAW")) {
        d.customised = true;
        e.fileSystem = "RAW";
        d.kind = NextDecision::Raw;
        return d;
    }
    if (equalsNoCase(e.fileSystem, "unknown")) {
        d.message = "can not parse unknown volume";
        return d;
    }
    // A custom volume goes on only with the file system it is to be read as.
    if (trim(e.fileSystem) == "CUSTOM") {
        d.message = kCustomNeedsType;
        return d;
    }
    d.kind = NextDecision::Recovery;
    return d;
}

}  // namespace brantlow::gui
