// Interfaces through which the engine reports to whoever drives it (the Qt
// pages, the command-line tool, the tests). Nothing here knows about windows.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>

namespace brantlow {

// Message boxes: the caption is always "Brantlow v1.0" on the GUI side.
class MessageSink {
public:
    virtual ~MessageSink() = default;
    // An information box.
    virtual void info(const std::string& text) = 0;
    // A warning box: something went wrong that the operator must act on.
    virtual void warning(const std::string& text) { info(text); }
    // A Yes/No question; true for Yes. Headless sinks answer yes.
    virtual bool question(const std::string& text) { (void)text; return true; }
};

// A sink that drops every message (the default).
class NullMessageSink : public MessageSink {
public:
    void info(const std::string&) override {}
};

// The program-wide message sink; never null. The scan and its pages do not
// use it: each page hands its own sink to the engine (ScanContext::messages),
// so every box belongs to its page. It serves the code that still reports
// without a context (raw recovery, the command-line tool).
MessageSink& messageSink();
// Installs a sink (nullptr restores the null sink). Returns the previous one.
MessageSink* setMessageSink(MessageSink* sink);

// Progress bar and status line of the page running an operation.
class ProgressSink {
public:
    virtual ~ProgressSink() = default;
    virtual void range(int64_t high) { (void)high; }
    virtual void position(int64_t pos) { (void)pos; }
    virtual void status(const std::string& text) { (void)text; }
    // Second status line (saving).
    virtual void status2(const std::string& text) { (void)text; }
};

// Cooperative pause: the worker calls wait() at its poll points; the GUI
// thread pauses and resumes. release() opens the gate for good (Back, exit).
class PauseGate {
public:
    void pause() {
        std::lock_guard<std::mutex> lk(m_);
        paused_ = true;
    }
    void resume() {
        {
            std::lock_guard<std::mutex> lk(m_);
            paused_ = false;
        }
        cv_.notify_all();
    }
    void release() {
        {
            std::lock_guard<std::mutex> lk(m_);
            released_ = true;
            paused_ = false;
        }
        cv_.notify_all();
    }
    bool paused() const {
        std::lock_guard<std::mutex> lk(m_);
        return paused_;
    }
    // Blocks while paused.
    void wait() {
        std::unique_lock<std::mutex> lk(m_);
        cv_.wait(lk, [&] { return !paused_ || released_; });
    }

private:
    mutable std::mutex m_;
    std::condition_variable cv_;
    bool paused_ = false;
    bool released_ = false;
};

// Forwards progress to another sink only when the shown value changes and at
// most about 20 times a second, and passes every status text through a
// similar throttle; the final values are always delivered by flush().
class ThrottledProgress : public ProgressSink {
public:
    explicit ThrottledProgress(ProgressSink* target, PauseGate* gate = nullptr)
        : target_(target), gate_(gate) {}
    void range(int64_t high) override;
    void position(int64_t pos) override;
    void status(const std::string& text) override;
    void status2(const std::string& text) override;
    void flush();

private:
    bool due();
    ProgressSink* target_;
    PauseGate* gate_;
    int64_t high_ = 0;
    int64_t lastPermille_ = -1;
    int64_t pendingPos_ = -1;
    std::string pendingStatus_;
    bool statusPending_ = false;
    std::chrono::steady_clock::time_point last_{};
};

}  // namespace brantlow
