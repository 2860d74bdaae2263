// How fast a long job goes and how long it still needs: a smoothed rate from
// the share of the job done over its running time, and the time left at that
// rate. The wizard's pages and the command-line tool's bar show the same
// figures; times are passed in, so the figures can be checked without a clock.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>

namespace brantlow {

class ProgressRate {
public:
    using Clock = std::chrono::steady_clock;

    // No rate before this much running time, no time left before the second.
    static constexpr double kRateAfter = 2.0;
    static constexpr double kEstimateAfter = 3.0;
    // How quickly the smoothed rate follows a change of pace (seconds).
    static constexpr double kSmoothing = 10.0;

    // Starts timing at now; done (0..1) was done before it (a job that goes
    // on from a checkpoint counts only its own part).
    void start(Clock::time_point now, double done = 0);
    // The share done (0..1) at now. Starts timing when start() was not called.
    void update(double done, Clock::time_point now);
    // A paused job: the time from hold() to go() does not count.
    void hold(Clock::time_point now);
    void go(Clock::time_point now);
    bool held() const { return held_; }

    // Share of the job per second, smoothed; none until kRateAfter seconds
    // of running time with some progress.
    std::optional<double> sharePerSecond() const;
    // Seconds left at that rate; none until kEstimateAfter seconds of running
    // time with some progress, 0 once the job is done.
    std::optional<double> secondsLeft() const;

private:
    void addRunning(Clock::time_point now);

    bool started_ = false;
    bool held_ = false;
    Clock::time_point last_{};  // when running_ was last brought up to date
    double running_ = 0;        // seconds of running time
    double base_ = 0;           // share done before start
    double done_ = 0;
    double sampleDone_ = 0;     // the last sample of the smoothed rate
    double sampleRunning_ = 0;
    double smoothed_ = -1;      // share per second; < 0: no sample yet
};

// "1:02:03" or "2:03".
std::string clockText(double seconds);
// "12.3 MB/s" (decimal units, as disk sizes are given).
std::string rateText(double bytesPerSecond);
// "about 4 min left", "about 2 h 10 min left", "about 40 s left".
std::string timeLeftText(double seconds);
// What a page shows beside its progress: "12.3 MB/s, about 4 min left".
// wholeBytes: the bytes the whole job reads (0: no rate in bytes); else
// with countUnit ("files") and wholeCount, the rate in those ("35 files/s").
// Empty until the rate is known.
std::string progressRateText(const ProgressRate& rate, uint64_t wholeBytes, const std::string& countUnit = {},
                             uint64_t wholeCount = 0);

}  // namespace brantlow
