// The rate and the time left of a page's running job, shown beside its
// progress bar: "12.3 MB/s, about 4 min left" (nothing until a few seconds
// of progress). The figures come from the engine's ProgressRate, as on the
// command line.
#pragma once

#include <QLabel>
#include <QTimer>
#include <cstdint>
#include <string>

#include "base/progress_rate.h"
#include "base/sinks.h"

namespace brantlow::gui {

class RateLabel : public QLabel {
public:
    explicit RateLabel(QWidget* parent = nullptr);

    // A job starts. wholeBytes: what the whole job reads (0: no rate in
    // bytes); countUnit: else the rate in items of the progress range
    // ("files"); gate: the job's Pause (time paused does not count).
    void start(uint64_t wholeBytes = 0, const PauseGate* gate = nullptr, const std::string& countUnit = {});
    // The job's progress: pos of high.
    void progress(int64_t pos, int64_t high);
    // The bytes the whole job reads, when known only once it runs.
    void setWholeBytes(uint64_t bytes) { wholeBytes_ = bytes; }
    // The job ended: the label empties.
    void stop();
    bool running() const { return running_; }

private:
    void refresh();

    ProgressRate rate_;
    uint64_t wholeBytes_ = 0;
    std::string unit_;
    int64_t high_ = 0;
    double share_ = 0;
    const PauseGate* gate_ = nullptr;
    bool running_ = false;
    QTimer timer_;
};

}  // namespace brantlow::gui
