// Message boxes for the engine's message sink. Every box is a child of its
// page (never of whichever window happens to be active, which is none just
// after a page switch), captioned "Brantlow v1.0", and shown on the GUI
// thread: a worker's message waits for the box to close.
#pragma once

#include <QPointer>
#include <QString>
#include <QWidget>
#include <string>

#include "base/sinks.h"

namespace brantlow::gui {

// Shows the boxes: by default QMessageBox; tests install one that records
// the boxes with their parents and answers from a script.
class BoxPresenter {
public:
    virtual ~BoxPresenter() = default;
    virtual void info(QWidget* parent, const QString& text) = 0;
    // Yes/No; true for Yes.
    virtual bool question(QWidget* parent, const QString& text) = 0;
};
// Installs a presenter (nullptr: real message boxes). Returns the previous
// one (nullptr for the real boxes). GUI thread only.
BoxPresenter* setBoxPresenter(BoxPresenter* presenter);

// The wizard page the operator sees now (the visible page; the active one
// when several are visible), or nullptr.
QWidget* shownPage();

class QtMessageSink : public MessageSink {
public:
    // page: the parent of every box. nullptr: the page shown when the box
    // appears (for messages that belong to no page, such as start-up).
    explicit QtMessageSink(QWidget* page = nullptr) : page_(page) {}
    void info(const std::string& text) override;
    bool question(const std::string& text) override;
    // The parent the next box gets. GUI thread only.
    QWidget* boxParent() const;

private:
    QPointer<QWidget> page_;
};

}  // namespace brantlow::gui
