// Message boxes for the engine's message sink, shown on the GUI thread
// (a worker's message waits for the box to close).
#pragma once

#include <QObject>

#include "base/sinks.h"

namespace brantlow::gui {

class QtMessageSink : public QObject, public MessageSink {
    Q_OBJECT
public:
    void info(const std::string& text) override;
    bool question(const std::string& text) override;
};

}  // namespace brantlow::gui
