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
    // A warning box (by default shown as info).
    virtual void warning(QWidget* parent, const QString& text) { info(parent, text); }
    // The close question: No is the default button (Enter, Escape), note
    // (may be empty) the line below the question (by default asked as a
    // plain question).
    virtual bool closeQuestion(QWidget* parent, const QString& text, const QString& note) {
        (void)note;
        return question(parent, text);
    }
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
    void warning(const std::string& text) override;
    // Yes/No with No as the default button (Enter and Escape answer No);
    // note, when not empty, is said below the question.
    bool closeQuestion(const std::string& text, const std::string& note);
    // The parent the next box gets. GUI thread only.
    QWidget* boxParent() const;

private:
    QPointer<QWidget> page_;
};

}  // namespace brantlow::gui
