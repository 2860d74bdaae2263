#include "ui/WizardPage.h"

#include <QApplication>
#include <QCloseEvent>
#include <QAbstractSpinBox>
#include <QComboBox>
#include <QKeyEvent>
#include <QDesktopServices>
#include <QFileInfo>
#include <QHash>
#include <QScreen>
#include <QSettings>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QPlainTextEdit>
#include <QTextEdit>
#include <QPushButton>
#include <QToolButton>
#include <QUrl>
#include <QVBoxLayout>

#include "base/sinks.h"
#include "ui/HelpWindow.h"

namespace brantlow::gui {

#ifndef BRANTLOW_COMPANY_WEBSITE
#define BRANTLOW_COMPANY_WEBSITE ""
#endif
#ifndef BRANTLOW_SUPPORT_EMAIL
#define BRANTLOW_SUPPORT_EMAIL ""
#endif
#ifndef BRANTLOW_SALES_EMAIL
#define BRANTLOW_SALES_EMAIL ""
#endif
#ifndef BRANTLOW_LEGAL_NOTICE
#define BRANTLOW_LEGAL_NOTICE "Brantlow reads disks and images read-only and writes only to the folder you choose."
#endif
#ifndef BRANTLOW_HELP_MANUAL
#define BRANTLOW_HELP_MANUAL ""
#endif
#ifndef BRANTLOW_PRODUCT_WEBPAGE
#define BRANTLOW_PRODUCT_WEBPAGE ""
#endif

namespace {
struct AboutSettings {
    bool loaded = false;
    QHash<QString, QString> values;
};
AboutSettings& aboutSettings() {
    static AboutSettings s;
    return s;
}
QString aboutIniPath() {
    const QString env = qEnvironmentVariable("BRANTLOW_ABOUT_INI");
    if (!env.isEmpty()) return env;
    const QString beside = QCoreApplication::applicationDirPath() + "/about.ini";
    if (QFileInfo::exists(beside)) return beside;
    return "/etc/brantlow/about.ini";
}
AboutBoxHandler& aboutHandler() {
    static AboutBoxHandler h;
    return h;
}
}  // namespace

QString aboutSetting(const QString& key) {
    AboutSettings& s = aboutSettings();
    if (!s.loaded) {
        s.loaded = true;
        s.values = {{"CompanyWebsite", BRANTLOW_COMPANY_WEBSITE}, {"SupportEmail", BRANTLOW_SUPPORT_EMAIL},
                    {"SalesEmail", BRANTLOW_SALES_EMAIL},         {"LegalNotice", BRANTLOW_LEGAL_NOTICE},
                    {"HelpManual", BRANTLOW_HELP_MANUAL},         {"ProductWebPage", BRANTLOW_PRODUCT_WEBPAGE}};
        const QString path = aboutIniPath();
        if (QFileInfo::exists(path)) {
            QSettings ini(path, QSettings::IniFormat);
            ini.beginGroup("About");
            for (const QString& k : s.values.keys())
                if (ini.contains(k)) s.values[k] = ini.value(k).toString().trimmed();
        }
    }
    return s.values.value(key);
}

void reloadAboutSettings() { aboutSettings() = AboutSettings{}; }

void setAboutBoxHandler(AboutBoxHandler h) { aboutHandler() = std::move(h); }

QString productWebPage() { return aboutSetting("ProductWebPage"); }
QString helpManualUrl() { return aboutSetting("HelpManual"); }

static void openUrl(const QString& url) {
    if (!url.isEmpty()) QDesktopServices::openUrl(QUrl(url));
}

WizardPage::WizardPage(const QString& bannerTitle, QWidget* opener)
    : QDialog(opener), opener_(opener), boxes_(this) {
    auto* from = qobject_cast<WizardPage*>(opener);
    session_ = from ? from->session_ : std::make_shared<WizardSession>();
    setWindowTitle(kCaption);
    setModal(false);
    setMinimumSize(640, 420);
    const QScreen* screen = opener ? opener->screen() : QGuiApplication::primaryScreen();
    resize(defaultPageSize(screen ? screen->availableGeometry().size() : QSize()));

    auto* outer = new QVBoxLayout(this);
    outer->setContentsMargins(0, 0, 0, 0);
    outer->setSpacing(0);

    auto* banner = new QLabel(bannerTitle, this);
    banner->setObjectName("banner");
    banner->setMinimumHeight(56);
    banner->setContentsMargins(18, 0, 18, 0);
    QFont f = banner->font();
    f.setPointSizeF(f.pointSizeF() * 1.5);
    f.setBold(true);
    banner->setFont(f);
    banner->setAutoFillBackground(true);
    QPalette pal = banner->palette();
    pal.setColor(QPalette::Window, QColor(0x1f, 0x4e, 0x79));
    pal.setColor(QPalette::WindowText, Qt::white);
    banner->setPalette(pal);
    outer->addWidget(banner);

    content_ = new QWidget(this);
    outer->addWidget(content_, 1);

    auto* bar = new QWidget(this);
    auto* row = new QHBoxLayout(bar);
    row->setContentsMargins(12, 8, 12, 10);
    help_ = new QToolButton(bar);
    help_->setText("Help");
    help_->setPopupMode(QToolButton::InstantPopup);
    auto* menu = new QMenu(help_);
    menu->addAction("Help", this, [this] { showHelp(this); });
    menu->addAction("About", this, [this] {
        emit helpAboutRequested(this);
        if (aboutHandler()) aboutHandler()(this);
    });
    // Only offered when an address is configured.
    QAction* web = menu->addAction("Software Webpage", this, [] { openUrl(productWebPage()); });
    web->setVisible(!productWebPage().isEmpty());
    help_->setMenu(menu);
    row->addWidget(help_);
    row->addStretch(1);
    back_ = new QPushButton("Back", bar);
    back_->setAutoDefault(false);
    next_ = new QPushButton("Next", bar);
    next_->setAutoDefault(false);
    row->addWidget(back_);
    row->addWidget(next_);
    outer->addWidget(bar);

    back_->setVisible(opener != nullptr);
    connect(back_, &QPushButton::clicked, this, [this] {
        emit backRequested();
        goBack();
    });
    connect(next_, &QPushButton::clicked, this, &WizardPage::nextRequested);
}

QSize defaultPageSize(const QSize& available) {
    QSize s(1100, 760);
    if (available.isValid()) s = s.boundedTo(available * 0.95);
    return s.expandedTo(QSize(640, 420));
}

WizardPage* WizardPage::opener() const { return qobject_cast<WizardPage*>(opener_.data()); }

namespace {
// The next page takes the place of the current one. The geometry without
// the window manager's frame is handed on: a position with the frame
// (pos(), move()) given to a window that is not shown yet, or shown again,
// is taken as the position of its client area, so the page would move by
// the frame's size at every switch.
void takePlace(QWidget* page, const QWidget* from) {
    page->setGeometry(from->geometry());
}

bool isEditField(const QWidget* w) {
    for (; w; w = w->parentWidget()) {
        if (qobject_cast<const QLineEdit*>(w) || qobject_cast<const QAbstractSpinBox*>(w) ||
            qobject_cast<const QTextEdit*>(w) || qobject_cast<const QPlainTextEdit*>(w))
            return true;
        if (auto* c = qobject_cast<const QComboBox*>(w); c && c->isEditable()) return true;
        if (w->isWindow()) break;
    }
    return false;
}
}  // namespace

void WizardPage::openNext(WizardPage* page) {
    if (!page) return;
    takePlace(page, this);
    page->show();
    hide();
}

bool WizardPage::askKeepSession() {
    if (sessionInProgress().isEmpty()) return true;
    if (boxes_.question(kKeepSessionQuestion)) return true;
    dropSession();
    return false;
}

void WizardPage::goBack() {
    askKeepSession();
    stopWork();
    if (opener_) {
        takePlace(opener_, this);
        opener_->show();
    }
    hide();
    deleteLater();
}

void WizardPage::reject() {
    if (boxes_.closeQuestion("Do you want to Close Application ?", unsavedWork().toStdString())) {
        askKeepSession();
        openUrl(productWebPage());
        accept();
    }
}

void WizardPage::accept() { exitApplication(0); }

void WizardPage::keyPressEvent(QKeyEvent* e) {
    if (e->modifiers() == Qt::NoModifier || e->modifiers() == Qt::KeypadModifier) {
        if (e->key() == Qt::Key_Return || e->key() == Qt::Key_Enter) {
            QWidget* f = focusWidget();
            if (auto* b = qobject_cast<QPushButton*>(f); b && b->isVisible()) {
                if (b->isEnabled()) b->click();
            } else if (!isEditField(f)) {
                reject();
            }
            e->accept();
            return;
        }
    }
    QDialog::keyPressEvent(e);
}

void WizardPage::closeEvent(QCloseEvent* e) {
    e->ignore();
    reject();
}

void exitApplication(int code) {
    for (QWidget* w : QApplication::topLevelWidgets())
        if (auto* p = qobject_cast<WizardPage*>(w)) p->stopWork();
    QApplication::exit(code);
}

}  // namespace brantlow::gui
