#include "layers/api/set_search.h"

namespace brantlow {

bool parseSetParameters(const std::string& text, std::map<std::string, std::string>& out, std::string& error) {
    out.clear();
    if (text.size() > 4096) {
        error = "the parameters are too long";
        return false;
    }
    size_t i = 0;
    while (i <= text.size()) {
        size_t comma = text.find(',', i);
        if (comma == std::string::npos) comma = text.size();
        const std::string item = text.substr(i, comma - i);
        i = comma + 1;
        if (item.empty()) {
            if (comma == text.size()) break;
            continue;
        }
        const size_t eq = item.find('=');
        if (eq == std::string::npos || eq == 0 || eq + 1 == item.size()) {
            error = "\"" + item + "\" is not NAME=VALUE";
            return false;
        }
        out[item.substr(0, eq)] = item.substr(eq + 1);
    }
    if (out.empty()) {
        error = "no parameters given";
        return false;
    }
    return true;
}

std::string setParametersText(const std::map<std::string, std::string>& parameters) {
    std::string s;
    auto add = [&](const std::string& k, const std::string& v) {
        if (!s.empty()) s += ',';
        s += k + "=" + v;
    };
    static const char* const order[] = {"level", "chunk", "layout", "order", "start"};
    for (const char* k : order)
        if (auto it = parameters.find(k); it != parameters.end()) add(k, it->second);
    for (const auto& [k, v] : parameters) {
        bool known = false;
        for (const char* o : order) known |= k == o;
        if (!known) add(k, v);
    }
    return s;
}

bool parseSizeText(const std::string& text, uint64_t& bytes) {
    if (text.empty() || text.size() > 24) return false;
    uint64_t v = 0;
    size_t i = 0;
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i)
        if (__builtin_mul_overflow(v, 10ull, &v) || __builtin_add_overflow(v, static_cast<uint64_t>(text[i] - '0'), &v))
            return false;
    if (i == 0) return false;
    uint64_t unit = 1;
    const std::string suffix = text.substr(i);
    if (suffix == "K" || suffix == "k" || suffix == "KiB")
        unit = 1024;
    else if (suffix == "M" || suffix == "m" || suffix == "MiB")
        unit = 1024 * 1024;
    else if (suffix == "G" || suffix == "g" || suffix == "GiB")
        unit = 1024ull * 1024 * 1024;
    else if (suffix == "s")
        unit = 512;
    else if (!suffix.empty())
        return false;
    return !__builtin_mul_overflow(v, unit, &bytes);
}

std::string sizeParameterText(uint64_t bytes) {
    if (bytes && bytes % (1ull << 30) == 0) return std::to_string(bytes >> 30) + "G";
    if (bytes && bytes % (1ull << 20) == 0) return std::to_string(bytes >> 20) + "M";
    if (bytes && bytes % 1024 == 0) return std::to_string(bytes >> 10) + "K";
    return std::to_string(bytes);
}

}  // namespace brantlow
