// The frame every wizard page shares: caption "Brantlow v1.0", a banner
// across the top, the page's own content, and Help / Back / Next along the
// bottom; the close question on Escape, Enter or the close box; and the
// page's own message boxes.
#pragma once

#include <QDialog>
#include <QPointer>
#include <QSize>
#include <functional>
#include <memory>

#include "base/version.h"
#include "ui/QtMessageSink.h"

class QLabel;
class QPushButton;
class QToolButton;
class QVBoxLayout;
class QWidget;

namespace brantlow::gui {

inline constexpr const char* kCaption = "Brantlow v" BRANTLOW_VERSION;
// Asked when the window closes (or the page is left) while a scan that
// keeps its session as it goes runs: No removes the partial session.
inline constexpr const char* kKeepSessionQuestion =
    "Do you want to keep the session of this scan to resume it later ?";

// What the operator chose that every page of one wizard keeps: handed from
// a page to the pages it opens, so a second volume saves where the first did.
struct WizardSession {
    QString outputFolder;
};

class WizardPage : public QDialog {
    Q_OBJECT
public:
    // opener: the page that opened this one (nullptr for the first page).
    explicit WizardPage(const QString& bannerTitle, QWidget* opener = nullptr);

    // Where the page puts its controls.
    QWidget* content() const { return content_; }
    QPushButton* backButton() const { return back_; }
    QPushButton* nextButton() const { return next_; }
    QToolButton* helpButton() const { return help_; }
    WizardPage* opener() const;
    // Shared with the opener and every page opened from this one.
    WizardSession& session() const { return *session_; }

    // The page's message boxes: each one is a child of this page. Hand it
    // to the engine as ScanContext::messages.
    MessageSink& messages() { return boxes_; }

    // Shows `page` in this page's place (same geometry) and hides this one.
    void openNext(WizardPage* page);

    // Stops whatever the page runs (worker threads) before it closes or the
    // program ends. Pages with workers override it.
    virtual void stopWork() {}
    // What closing the program now would lose, said below the close
    // question ("": nothing). Pages with results override it.
    virtual QString unsavedWork() const { return {}; }
    // The session file a running scan writes as it goes ("": none runs).
    virtual QString sessionInProgress() const { return {}; }
    // The operator does not keep that session: the page removes it once
    // its scan has stopped.
    virtual void dropSession() {}
    // Asks kKeepSessionQuestion when a scan with a session runs; No drops
    // the session. Returns the answer (true: kept, or nothing asked).
    bool askKeepSession();

signals:
    void backRequested();
    void nextRequested();
    // "About" from the Help menu; the application shows the About box.
    void helpAboutRequested(QWidget* page);

protected:
    // Back: show the opener again in this page's place and destroy this page.
    virtual void goBack();
    // Escape, Enter or the close box: "Do you want to Close Application ?"
    // with No as the default answer (and what would be lost, when
    // anything); Yes ends the program through accept().
    void reject() override;
    // Ends the program at once (after Yes to the close question). Pages
    // with a running worker stop it first.
    void accept() override;
    void closeEvent(QCloseEvent* e) override;
    // Enter: a focused push button is pressed; in an edit field it does what
    // the edit does (its own returnPressed) and nothing more; anywhere else
    // it asks the close question, as Escape does.
    void keyPressEvent(QKeyEvent* e) override;

private:
    QWidget* content_;
    QPushButton* back_;
    QPushButton* next_;
    QToolButton* help_;
    QPointer<QWidget> opener_;
    std::shared_ptr<WizardSession> session_;
    QtMessageSink boxes_;
};

// The size a page opens at: large enough for the scan page's lists and
// filters (1100 x 760), within the screen's free area when that is smaller.
QSize defaultPageSize(const QSize& available);

// Ends the program: stops the pages' work, then quits the event loop. The
// only way the program ends (it does not quit when its last window closes).
void exitApplication(int code = 0);

// Product addresses (empty by default: no browser is started as root).
QString productWebPage();
QString helpManualUrl();

// The addresses and texts of the About box and the Help menu, by key:
// "CompanyWebsite", "SupportEmail", "SalesEmail", "LegalNotice",
// "HelpManual", "ProductWebPage". Taken from an about.ini ([About] section;
// $BRANTLOW_ABOUT_INI, else about.ini beside the program, else
// /etc/brantlow/about.ini), else from the compile-time defaults
// (BRANTLOW_COMPANY_WEBSITE, ...), which are empty.
QString aboutSetting(const QString& key);
// Forgets the cached about.ini (tests change it).
void reloadAboutSettings();

// Shows the About box for "About" in the Help menu of every page.
using AboutBoxHandler = std::function<void(QWidget* page)>;
void setAboutBoxHandler(AboutBoxHandler h);

}  // namespace brantlow::gui
