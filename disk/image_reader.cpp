#include "disk/image_reader.h"

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <vector>

namespace brantlow {

namespace {

constexpr size_t kNarrowStep = 65536;  // first pass over a failed read
constexpr size_t kNarrowFine = 512;    // then within the failing piece
constexpr size_t kMaxReports = 32;     // damaged spots reported per image

std::string offsetText(uint64_t off) {
    char b[64];
    std::snprintf(b, sizeof b, "%" PRIu64 " (0x%" PRIx64 ")", off, off);
    return b;
}

}  // namespace

std::string libraryReason(const char* backtrace) {
    if (!backtrace) return "unknown error";
    std::string s(backtrace);
    size_t nl = s.find('\n');
    if (nl != std::string::npos) s.resize(nl);
    // "libfoo_function_name: what went wrong." → "what went wrong"
    size_t colon = s.find(": ");
    if (colon != std::string::npos && s.compare(0, 3, "lib") == 0 && s.find(' ') > colon) s = s.substr(colon + 2);
    while (!s.empty() && (s.back() == '.' || s.back() == ' ' || s.back() == '\r')) s.pop_back();
    return s.empty() ? "unknown error" : s;
}

std::string baseName(const std::string& path) {
    size_t slash = path.find_last_of('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

long long ContainerReader::readAbsolute(uint64_t offset, void* buffer, size_t count) {
    if (count > kMaxReadBytes) return -1;
    if (count == 0 || offset >= mediaSize_) return 0;
    const size_t want = static_cast<size_t>(std::min<uint64_t>(count, mediaSize_ - offset));
    auto* out = static_cast<uint8_t*>(buffer);
    std::string why;
    size_t good = want;
    bool report = false, lastReport = false;
    {
        std::lock_guard<std::mutex> lk(mutex_);
        long long n = readMedia(offset, out, want, &why);
        if (n == static_cast<long long>(want)) {
            good = soundPrefix(offset, want, &why);
        } else {
            // Narrow the failure down to the first damaged spot: the bytes
            // before it are returned, as a device returns a short read.
            good = 0;
            size_t step = kNarrowStep;
            while (good < want) {
                const size_t piece = std::min(step, want - good);
                std::string w;
                long long r = readMedia(offset + good, out + good, piece, &w);
                if (r == static_cast<long long>(piece)) {
                    size_t s = soundPrefix(offset + good, piece, &w);
                    good += s;
                    if (s < piece) {
                        why = w;
                        break;
                    }
                    continue;
                }
                if (step > kNarrowFine) {
                    step = kNarrowFine;
                    continue;
                }
                if (!w.empty()) why = w;
                break;
            }
        }
        if (good < want && hasDamageReporter() && reported_.size() < kMaxReports) {
            report = reported_.insert((offset + good) / kNarrowStep).second;
            lastReport = report && reported_.size() == kMaxReports;
        }
    }
    if (good < want) {
        std::memset(out + good, 0, count - good);
        if (report) {
            std::string text = fileName_ + ": damaged at disk offset " + offsetText(offset + good) + ": " +
                               (why.empty() ? "the image cannot be read there" : why);
            if (lastReport) text += " (further damaged spots are not reported)";
            reportDamage(text);
        }
        return good ? static_cast<long long>(good) : -1;
    }
    return static_cast<long long>(want);
}

}  // namespace brantlow
