#include "base/sinks.h"

namespace brantlow {

namespace {
NullMessageSink g_nullSink;
std::atomic<MessageSink*> g_sink{&g_nullSink};
}  // namespace

MessageSink& messageSink() { return *g_sink.load(std::memory_order_acquire); }

MessageSink* setMessageSink(MessageSink* sink) {
    MessageSink* prev = g_sink.exchange(sink ? sink : &g_nullSink, std::memory_order_acq_rel);
    return prev == &g_nullSink ? nullptr : prev;
}

bool ThrottledProgress::due() {
    auto now = std::chrono::steady_clock::now();
    if (now - last_ >= std::chrono::milliseconds(50)) {
        last_ = now;
        return true;
    }
    return false;
}

void ThrottledProgress::range(int64_t high) {
    high_ = high;
    lastPermille_ = -1;
    if (target_) target_->range(high);
}

void ThrottledProgress::position(int64_t pos) {
    if (gate_) gate_->wait();
    int64_t permille = high_ > 0 ? (pos >= high_ ? 1000 : (pos * 1000) / high_) : pos;
    pendingPos_ = pos;
    if (permille != lastPermille_ && due()) {
        lastPermille_ = permille;
        if (target_) {
            target_->position(pos);
            if (statusPending_) target_->status(pendingStatus_);
        }
        statusPending_ = false;
        pendingPos_ = -1;
    }
}

void ThrottledProgress::status(const std::string& text) {
    if (gate_) gate_->wait();
    pendingStatus_ = text;
    statusPending_ = true;
    if (due()) {
        if (target_) target_->status(pendingStatus_);
        statusPending_ = false;
    }
}

void ThrottledProgress::status2(const std::string& text) {
    if (target_) target_->status2(text);
}

void ThrottledProgress::flush() {
    if (!target_) return;
    if (pendingPos_ >= 0) target_->position(pendingPos_);
    if (statusPending_) target_->status(pendingStatus_);
    pendingPos_ = -1;
    statusPending_ = false;
}

}  // namespace brantlow
