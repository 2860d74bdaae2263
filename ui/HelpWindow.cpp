#include "ui/HelpWindow.h"

#include <QDesktopServices>
#include <QDialogButtonBox>
#include <QFile>
#include <QPushButton>
#include <QTextBrowser>
#include <QUrl>
#include <QVBoxLayout>

#include "ui/WizardPage.h"

namespace brantlow::gui {

namespace {

constexpr const char* kReadme = ":/help/README.md";
// The README sections written for the people who use the program.
const char* const kUserSections[] = {"## The program (Qt 6)", "## Notes for operators"};

// The lines of section `heading` up to the next heading of the same level.
QString section(const QStringList& lines, const QString& heading) {
    QStringList out;
    bool in = false;
    for (const QString& l : lines) {
        if (l.startsWith("## ")) {
            if (in) break;
            in = l.trimmed() == heading;
        }
        if (in) out << l;
    }
    return out.join('\n');
}

}  // namespace

QString userHelpMarkdown() {
    QFile f(kReadme);
    if (!f.open(QIODevice::ReadOnly)) return {};
    const QStringList lines = QString::fromUtf8(f.readAll()).split('\n');
    QStringList parts;
    for (const char* h : kUserSections) {
        QString s = section(lines, h);
        if (!s.isEmpty()) parts << s;
    }
    return parts.join("\n\n");
}

HelpWindow::HelpWindow(QWidget* page) : QDialog(page) {
    setObjectName("helpWindow");
    setWindowTitle(QString(kCaption) + " Help");
    setAttribute(Qt::WA_DeleteOnClose);
    resize(720, 560);
    auto* lay = new QVBoxLayout(this);
    browser_ = new QTextBrowser(this);
    browser_->setObjectName("helpText");
    browser_->setOpenExternalLinks(true);
    browser_->setSearchPaths({":/help", ":/help/docs"});
    QString text = userHelpMarkdown();
    if (text.isEmpty()) text = "The help text is not part of this build.";
    browser_->document()->setBaseUrl(QUrl("qrc:/help/README.md"));
    browser_->setMarkdown(text);
    lay->addWidget(browser_, 1);
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Close, this);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::close);
    lay->addWidget(buttons);
}

HelpWindow* showHelp(QWidget* page) {
    const QString manual = helpManualUrl();
    if (!manual.isEmpty()) {
        QDesktopServices::openUrl(QUrl(manual));
        return nullptr;
    }
    auto* w = page ? page->findChild<HelpWindow*>(QString(), Qt::FindDirectChildrenOnly) : nullptr;
    if (!w) w = new HelpWindow(page);
    w->show();
    w->raise();
    w->activateWindow();
    return w;
}

}  // namespace brantlow::gui
