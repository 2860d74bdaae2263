#include "ui/RateLabel.h"

namespace brantlow::gui {

RateLabel::RateLabel(QWidget* parent) : QLabel(parent) {
    setObjectName("rate");
    setTextFormat(Qt::PlainText);
    setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    setToolTip("The rate of the job and the time it still needs at that rate");
    // The text changes twice a second at most, however often progress comes.
    timer_.setInterval(500);
    connect(&timer_, &QTimer::timeout, this, [this] { refresh(); });
}

void RateLabel::start(uint64_t wholeBytes, const PauseGate* gate, const std::string& countUnit) {
    wholeBytes_ = wholeBytes;
    unit_ = countUnit;
    gate_ = gate;
    high_ = 0;
    share_ = 0;
    running_ = true;
    rate_.start(ProgressRate::Clock::now());
    clear();
    // Room for a long text while the job runs, so the bar beside it keeps
    // its width as the text changes.
    setMinimumWidth(fontMetrics().horizontalAdvance("999.9 MB/s, about 55 min left"));
    timer_.start();
}

void RateLabel::progress(int64_t pos, int64_t high) {
    if (!running_ || high <= 0) return;
    const int64_t p = pos < 0 ? 0 : pos > high ? high : pos;
    const double share = static_cast<double>(p) / static_cast<double>(high);
    const auto now = ProgressRate::Clock::now();
    // A job in phases (a new range, or the bar going back): each phase is
    // timed on its own.
    if ((high_ && high != high_) || share < share_) {
        const bool held = rate_.held();
        rate_.start(now, share);
        if (held) rate_.hold(now);
    }
    high_ = high;
    share_ = share;
    rate_.update(share, now);
}

void RateLabel::stop() {
    running_ = false;
    timer_.stop();
    clear();
    setMinimumWidth(0);
}

void RateLabel::refresh() {
    const auto now = ProgressRate::Clock::now();
    if (gate_ && gate_->paused()) {
        rate_.hold(now);
        clear();
        return;
    }
    rate_.go(now);
    // A job that stalls (a failing disk) slows the rate as time goes by.
    if (high_ > 0) rate_.update(share_, now);
    setText(QString::fromStdString(
        progressRateText(rate_, wholeBytes_, unit_, high_ > 0 ? static_cast<uint64_t>(high_) : 0)));
}

}  // namespace brantlow::gui
