#include "layers/rawraid/rawraid_params.h"

#include <algorithm>

#include "layers/api/set_search.h"

namespace brantlow::rawraid {

namespace {

bool smallNumber(const std::string& s, int& out) {
    if (s.empty() || s.size() > 4 || !std::all_of(s.begin(), s.end(), [](char c) { return c >= '0' && c <= '9'; }))
        return false;
    out = std::stoi(s);
    return true;
}

// "near2", "far2", "offset2" (and "near2,far2" is not offered).
bool raid10Layout(const std::string& s, int& layout) {
    for (const char* kind : {"near", "far", "offset"}) {
        const std::string k = kind;
        int copies = 0;
        if (s.rfind(k, 0) != 0 || !smallNumber(s.substr(k.size()), copies) || copies < 2 || copies > 8) continue;
        layout = k == "near" ? (0x100 | copies) : (copies << 8) | 1 | (k == "offset" ? 0x10000 : 0);
        return true;
    }
    return false;
}

}  // namespace

bool parseParams(const std::map<std::string, std::string>& p, size_t sources, Params& out, std::string& error) {
    static const char* const known[] = {"level", "chunk", "layout", "order", "start"};
    for (const auto& kv : p)
        if (std::none_of(std::begin(known), std::end(known), [&](const char* x) { return kv.first == x; })) {
            error = "unknown parameter " + kv.first + " (level, chunk, layout, order, start)";
            return false;
        }
    auto get = [&](const char* k) {
        auto it = p.find(k);
        return it == p.end() ? std::string() : it->second;
    };
    if (!smallNumber(get("level"), out.level) ||
        (out.level != 0 && out.level != 1 && out.level != 4 && out.level != 5 && out.level != 6 && out.level != 10)) {
        error = "level takes 0, 1, 4, 5, 6 or 10";
        return false;
    }
    const bool striped = out.level != 1;
    if (striped && (!parseSizeText(get("chunk"), out.chunkBytes) || out.chunkBytes < kMinRaidChunk ||
                    out.chunkBytes > kMaxRaidChunk || out.chunkBytes % 512)) {
        error = "chunk takes a size from 512 bytes to 64M, a multiple of 512 (64K)";
        return false;
    }
    const std::string layout = get("layout");
    if (out.level == 4) {
        out.layout = kParityLast;
    } else if (out.level == 5 || out.level == 6) {
        out.layout = layout.empty() ? kLeftSymmetric : raidLayoutByName(layout);
        if (out.layout < 0 || (out.level == 5 && out.layout > kParityLast)) {
            error = "layout takes left-symmetric, left-asymmetric, right-symmetric, right-asymmetric, parity-first "
                    "or parity-last";
            return false;
        }
    } else if (out.level == 10) {
        if (!raid10Layout(layout.empty() ? "near2" : layout, out.layout)) {
            error = "layout takes near2, far2 or offset2 (another count of copies up to 8)";
            return false;
        }
    }
    const std::string order = get("order");
    out.order.clear();
    if (order.empty()) {
        for (size_t i = 0; i < sources; ++i) out.order.push_back(static_cast<int>(i));
    } else {
        size_t i = 0;
        while (i <= order.size()) {
            size_t colon = order.find(':', i);
            if (colon == std::string::npos) colon = order.size();
            const std::string item = order.substr(i, colon - i);
            int n = -1;
            if (item != "-" && (!smallNumber(item, n) || static_cast<size_t>(n) >= sources)) {
                error = "order takes the sources' numbers (0 to " + std::to_string(sources - 1) +
                        ") separated by \":\", \"-\" for a missing one";
                return false;
            }
            if (n >= 0 && std::count(out.order.begin(), out.order.end(), n)) {
                error = "order names source " + item + " twice";
                return false;
            }
            out.order.push_back(n);
            if (out.order.size() > kMaxRaidMembers) {
                error = "order names more than " + std::to_string(kMaxRaidMembers) + " members";
                return false;
            }
            i = colon + 1;
        }
    }
    const std::string start = get("start");
    if (!start.empty() && !parseSizeText(start, out.start)) {
        error = "start takes a size (1M, 2048s, 0)";
        return false;
    }
    return true;
}

std::map<std::string, std::string> paramsMap(const Params& p) {
    std::map<std::string, std::string> m;
    m["level"] = std::to_string(p.level);
    if (p.level != 1) m["chunk"] = sizeParameterText(p.chunkBytes);
    if (p.level == 5 || p.level == 6) m["layout"] = raidLayoutName(p.level, p.layout);
    std::string order;
    for (int o : p.order) order += (order.empty() ? "" : ":") + (o < 0 ? std::string("-") : std::to_string(o));
    m["order"] = order;
    m["start"] = sizeParameterText(p.start);
    return m;
}

RaidGeometry geometryOf(const Params& p, const std::vector<VolumeView>& sources) {
    RaidGeometry g;
    g.level = p.level;
    g.layout = p.layout;
    g.chunkBytes = p.chunkBytes;
    for (int o : p.order) {
        RaidMember m;
        if (o >= 0 && static_cast<size_t>(o) < sources.size()) {
            const VolumeView& v = sources[static_cast<size_t>(o)];
            if (v.reader() && p.start < v.sizeBytes()) {
                m.reader = v.readerPtr();
                m.dataStart = v.startByte() + p.start;
                m.dataBytes = v.sizeBytes() - p.start;
            }
        }
        g.members.push_back(m);
    }
    return g;
}

}  // namespace brantlow::rawraid
