// The rate and the time left the wizard and the command-line tool show.
#include <gtest/gtest.h>

#include <cmath>

#include "base/progress_rate.h"

using namespace brantlow;

namespace {
using Clock = ProgressRate::Clock;
const Clock::time_point t0{};

Clock::time_point at(double s) {
    return t0 + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(s));
}
// A job at a steady pace (share per second) from second `from` with done0
// done, sampled every 100 ms for `seconds`.
void run(ProgressRate& r, double pace, double from, double seconds, double done0 = 0) {
    for (long i = 1; i <= std::lround(seconds * 10); ++i) r.update(done0 + pace * i / 10.0, at(from + i / 10.0));
}
}  // namespace

TEST(ProgressRate, NothingUntilAFewSecondsThenTheSteadyPace) {
    ProgressRate r;
    r.start(t0);
    run(r, 0.005, 0, 1.9);  // 0.5 % a second
    EXPECT_FALSE(r.sharePerSecond());
    EXPECT_FALSE(r.secondsLeft());
    EXPECT_EQ(progressRateText(r, 1000000000), "");
    run(r, 0.005, 1.9, 0.6, 0.0095);
    ASSERT_TRUE(r.sharePerSecond());
    EXPECT_NEAR(*r.sharePerSecond(), 0.005, 1e-9);
    EXPECT_FALSE(r.secondsLeft());  // the rate first, the estimate a second later
    run(r, 0.005, 2.5, 7.5, 0.0125);
    ASSERT_TRUE(r.secondsLeft());
    EXPECT_NEAR(*r.secondsLeft(), 190, 1e-6);
    EXPECT_EQ(progressRateText(r, 1000000000), "5.0 MB/s, about 3 min left");
    EXPECT_EQ(progressRateText(r, 0, "files", 2000), "10 files/s, about 3 min left");
    EXPECT_EQ(progressRateText(r, 0), "about 3 min left");
    r.update(1, at(11));
    EXPECT_EQ(progressRateText(r, 0), "");  // done: no time left
    EXPECT_EQ(*r.secondsLeft(), 0);
}

TEST(ProgressRate, SmoothedPausedAndResumedJobs) {
    // A change of pace moves the rate over some seconds, not at once.
    ProgressRate r;
    r.start(t0);
    run(r, 0.001, 0, 20);
    run(r, 0.004, 20, 1, 0.02);
    const double soon = *r.sharePerSecond();
    EXPECT_GT(soon, 0.001);
    EXPECT_LT(soon, 0.002);
    run(r, 0.004, 21, 60, 0.024);
    EXPECT_NEAR(*r.sharePerSecond(), 0.004, 0.0001);

    // A held job: the time it is held does not lower the rate.
    ProgressRate p;
    p.start(t0);
    run(p, 0.01, 0, 10);
    p.hold(at(10));
    p.go(at(100));
    p.update(0.11, at(101));
    EXPECT_NEAR(*p.sharePerSecond(), 0.01, 1e-6);

    // Going on from a checkpoint at 50 %: only this run's part counts.
    ProgressRate c;
    c.start(t0, 0.5);
    run(c, 0.01, 0, 5, 0.5);
    EXPECT_NEAR(*c.sharePerSecond(), 0.01, 1e-9);
    EXPECT_NEAR(*c.secondsLeft(), 45, 1e-6);

    // No progress at all: nothing said; a share outside 0..1 is held to it.
    ProgressRate s;
    s.start(t0);
    for (int i = 1; i < 100; ++i) s.update(0, at(i));
    EXPECT_FALSE(s.sharePerSecond());
    EXPECT_FALSE(s.secondsLeft());
    s.update(-5, at(101));
    s.update(7, at(102));
    EXPECT_EQ(*s.secondsLeft(), 0);
}

TEST(ProgressRate, Texts) {
    EXPECT_EQ(clockText(123), "2:03");
    EXPECT_EQ(clockText(3723), "1:02:03");
    EXPECT_EQ(rateText(12345678), "12.3 MB/s");
    EXPECT_EQ(rateText(999), "999.0 B/s");
    EXPECT_EQ(timeLeftText(2), "about 5 s left");
    EXPECT_EQ(timeLeftText(38), "about 40 s left");
    EXPECT_EQ(timeLeftText(61), "about 1 min left");
    EXPECT_EQ(timeLeftText(44 * 60), "about 44 min left");
    EXPECT_EQ(timeLeftText(2 * 3600 + 10 * 60 + 20), "about 2 h 10 min left");
    EXPECT_EQ(timeLeftText(3 * 3600 + 60), "about 3 h left");
    EXPECT_EQ(timeLeftText(5 * 86400), "about 5 days left");
    EXPECT_EQ(timeLeftText(1e300), "about 11574 days left");
}
