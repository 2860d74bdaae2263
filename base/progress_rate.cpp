#include "base/progress_rate.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace brantlow {

namespace {
// A new sample of the smoothed rate is taken after this much running time.
constexpr double kSampleEvery = 0.5;

double clampShare(double d) { return d < 0 ? 0 : d > 1 ? 1 : d; }
}  // namespace

void ProgressRate::start(Clock::time_point now, double done) {
    *this = ProgressRate{};
    started_ = true;
    last_ = now;
    base_ = done_ = sampleDone_ = clampShare(done);
}

void ProgressRate::addRunning(Clock::time_point now) {
    if (!held_ && now > last_) running_ += std::chrono::duration<double>(now - last_).count();
    last_ = std::max(last_, now);
}

void ProgressRate::update(double done, Clock::time_point now) {
    if (!started_) start(now, 0);
    addRunning(now);
    done_ = std::max(base_, clampShare(done));
    const double dt = running_ - sampleRunning_;
    if (dt < kSampleEvery) return;
    const double pace = (done_ - sampleDone_) / dt;
    if (smoothed_ < 0)
        smoothed_ = (done_ - base_) / running_;  // the first sample: the pace so far
    else
        smoothed_ += (1 - std::exp(-dt / kSmoothing)) * (pace - smoothed_);
    sampleDone_ = done_;
    sampleRunning_ = running_;
}

void ProgressRate::hold(Clock::time_point now) {
    if (held_) return;
    addRunning(now);
    held_ = true;
}

void ProgressRate::go(Clock::time_point now) {
    if (!held_) return;
    held_ = false;
    last_ = std::max(last_, now);
}

std::optional<double> ProgressRate::sharePerSecond() const {
    if (running_ < kRateAfter || done_ <= base_) return std::nullopt;
    const double r = smoothed_ >= 0 ? smoothed_ : (done_ - base_) / running_;
    if (!(r > 0) || !std::isfinite(r)) return std::nullopt;
    return r;
}

std::optional<double> ProgressRate::secondsLeft() const {
    if (done_ >= 1) return 0.0;
    if (running_ < kEstimateAfter) return std::nullopt;
    const auto r = sharePerSecond();
    if (!r) return std::nullopt;
    return (1 - done_) / *r;
}

std::string clockText(double seconds) {
    const auto s = static_cast<long long>(std::min(seconds, 1e12) + 0.5);
    char buf[48];
    if (s >= 3600)
        std::snprintf(buf, sizeof buf, "%lld:%02lld:%02lld", s / 3600, s / 60 % 60, s % 60);
    else
        std::snprintf(buf, sizeof buf, "%lld:%02lld", s / 60, s % 60);
    return buf;
}

std::string rateText(double bytesPerSecond) {
    static const char* units[] = {"B/s", "kB/s", "MB/s", "GB/s"};
    int u = 0;
    while (bytesPerSecond >= 1000 && u < 3) bytesPerSecond /= 1000, ++u;
    char buf[48];
    std::snprintf(buf, sizeof buf, "%.1f %s", bytesPerSecond, units[u]);
    return buf;
}

std::string timeLeftText(double seconds) {
    const double s = std::max(0.0, std::min(seconds, 1e9));
    char buf[64];
    if (s < 55) {
        // In steps of 5 s: a figure that does not flicker.
        std::snprintf(buf, sizeof buf, "about %d s left", std::max(5, static_cast<int>(std::ceil(s / 5)) * 5));
    } else if (s < 90 * 60) {
        std::snprintf(buf, sizeof buf, "about %d min left", std::max(1, static_cast<int>(std::lround(s / 60))));
    } else if (s < 48 * 3600) {
        const long minutes = std::lround(s / 300) * 5;  // to 5 min
        if (minutes % 60 == 0)
            std::snprintf(buf, sizeof buf, "about %ld h left", minutes / 60);
        else
            std::snprintf(buf, sizeof buf, "about %ld h %ld min left", minutes / 60, minutes % 60);
    } else {
        std::snprintf(buf, sizeof buf, "about %ld days left", std::lround(s / 86400));
    }
    return buf;
}

std::string progressRateText(const ProgressRate& rate, uint64_t wholeBytes, const std::string& countUnit,
                             uint64_t wholeCount) {
    const auto share = rate.sharePerSecond();
    if (!share) return {};
    std::string text;
    if (wholeBytes) {
        text = rateText(*share * static_cast<double>(wholeBytes));
    } else if (!countUnit.empty() && wholeCount) {
        const double perSecond = *share * static_cast<double>(wholeCount);
        char buf[64];
        std::snprintf(buf, sizeof buf, perSecond < 10 ? "%.1f %s/s" : "%.0f %s/s", perSecond, countUnit.c_str());
        text = buf;
    }
    if (const auto left = rate.secondsLeft(); left && *left > 0) {
        if (!text.empty()) text += ", ";
        text += timeLeftText(*left);
    }
    return text;
}

}  // namespace brantlow
