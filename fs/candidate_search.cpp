#include "fs/candidate_search.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "fs/api/content_signature.h"
#include "fs/filesystems.h"

namespace brantlow {

namespace {

constexpr size_t kBlock = 4u << 20;

}  // namespace

double candidateScore(const FileSystemCandidate& c) {
    double sum = 0;
    int parts = 0;
    if (c.found) {
        sum += static_cast<double>(c.agreeing) / c.found;
        ++parts;
    }
    if (c.folders) {
        sum += static_cast<double>(c.linked) / c.folders;
        ++parts;
    }
    if (c.signatureChecked) {
        sum += static_cast<double>(c.signatureGood) / c.signatureChecked;
        ++parts;
    }
    if (!parts) return 0;
    // Few structures say less than many: full weight from 16 of them on.
    const double amount = std::min(1.0, std::sqrt((c.found + c.folders) / 16.0));
    return sum / parts * amount;
}

std::string candidateFigures(const FileSystemCandidate& c) {
    std::string s = std::to_string(c.agreeing) + " of " + std::to_string(c.found) + " " + c.agreeText;
    if (c.folders) s += ", " + std::to_string(c.linked) + " of " + std::to_string(c.folders) + " " + c.linkText;
    if (c.signatureChecked)
        s += ", " + std::to_string(c.signatureGood) + " of " + std::to_string(c.signatureChecked) +
             " files open as their names say";
    return s;
}

std::vector<FileSystemCandidate> findFileSystemCandidates(const VolumeView& volume, ProgressSink* progress,
                                                          const std::atomic<bool>* stop, PauseGate* gate) {
    std::vector<std::unique_ptr<CandidateMatcher>> matchers;
    for (const FileSystemRow& row : fileSystemTable())
        if (row.candidates)
            if (auto m = row.candidates()) matchers.push_back(std::move(m));
    const uint64_t total = volume.sizeBytes();
    if (progress) progress->range(1000);
    std::vector<uint8_t> buf(kBlock + kCandidateOverlap);
    for (uint64_t at = 0; at < total; at += kBlock) {
        if (stop && stop->load(std::memory_order_relaxed)) break;
        if (gate) gate->wait();
        const size_t want = static_cast<size_t>(std::min<uint64_t>(buf.size(), total - at));
        const size_t got = volume.read(at, buf.data(), want);
        if (got == 0) break;
        const size_t len = std::min(got, kBlock);
        for (auto& m : matchers) m->block(at, buf.data(), len, got);
        if (progress) progress->position(static_cast<int64_t>(std::min<uint64_t>(1000, (at + len) * 1000 / total)));
    }
    std::vector<FileSystemCandidate> out;
    for (auto& m : matchers)
        for (FileSystemCandidate& c : m->finish(volume)) out.push_back(std::move(c));
    uint8_t sector[512];
    for (FileSystemCandidate& c : out) {
        for (const ContentSample& s : c.samples) {
            if (s.position >= total) {
                ++c.signatureChecked;
                continue;
            }
            const size_t n = volume.read(s.position, sector, std::min<uint64_t>(sizeof sector, total - s.position));
            const int r = contentMatchesName(s.name, sector, n);
            if (r < 0) continue;
            ++c.signatureChecked;
            if (r > 0) ++c.signatureGood;
        }
        c.score = candidateScore(c);
    }
    std::stable_sort(out.begin(), out.end(),
                     [](const FileSystemCandidate& a, const FileSystemCandidate& b) { return a.score > b.score; });
    if (progress) progress->position(1000);
    return out;
}

}  // namespace brantlow
