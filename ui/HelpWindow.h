// Help → Help: the user's part of the README shipped inside the program
// (the sections on the program and the notes for operators), with the
// pages they link to, in a help window of the page. A configured help
// manual address opens in the browser instead.
#pragma once

#include <QDialog>

class QTextBrowser;

namespace brantlow::gui {

class HelpWindow : public QDialog {
    Q_OBJECT
public:
    explicit HelpWindow(QWidget* page);
    QTextBrowser* browser() const { return browser_; }

private:
    QTextBrowser* browser_;
};

// The help text: the README's user sections, as Markdown ("" when the
// README is not in the program).
QString userHelpMarkdown();

// Opens the help for page: the configured manual, else the help window
// (one per page, raised when open). Returns the window, or nullptr when
// the manual was opened in the browser.
HelpWindow* showHelp(QWidget* page);

}  // namespace brantlow::gui
