#include "app/WizardPage.h"

#include <QApplication>
#include <QCloseEvent>
#include <QDesktopServices>
#include <QHBoxLayout>
#include <QLabel>
#include <QMenu>
#include <QPushButton>
#include <QToolButton>
#include <QUrl>
#include <QVBoxLayout>

#include "fs/common/sinks.h"

namespace brantlow::gui {

QString productWebPage() { return QString(); }
QString helpManualUrl() { return QString(); }

static void openUrl(const QString& url) {
    if (!url.isEmpty()) QDesktopServices::openUrl(QUrl(url));
}

WizardPage::WizardPage(const QString& bannerTitle, QWidget* opener)
    : QDialog(opener), opener_(opener) {
    setWindowTitle(kCaption);
    setModal(false);
    resize(770, 490);
    setMinimumSize(640, 420);

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
    menu->addAction("Help", this, [] { openUrl(helpManualUrl()); });
    menu->addAction("About", this, [this] { emit helpAboutRequested(this); });
    menu->addAction("Software Webpage", this, [] { openUrl(productWebPage()); });
    help_->setMenu(menu);
    row->addWidget(help_);
    row->addStretch(1);
    exit_ = new QPushButton("EXIT", bar);
    exit_->setVisible(false);
    exit_->setDefault(true);
    exit_->setAutoDefault(true);
    connect(exit_, &QPushButton::clicked, this, &WizardPage::accept);
    back_ = new QPushButton("Back", bar);
    back_->setAutoDefault(false);
    next_ = new QPushButton("Next", bar);
    next_->setAutoDefault(false);
    row->addWidget(exit_);
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

WizardPage* WizardPage::opener() const { return qobject_cast<WizardPage*>(opener_.data()); }

void WizardPage::openNext(WizardPage* page) {
    if (!page) return;
    page->move(pos());
    page->resize(size());
    page->show();
    hide();
}

void WizardPage::goBack() {
    stopWork();
    if (opener_) opener_->show();
    hide();
    deleteLater();
}

void WizardPage::reject() {
    if (messageSink().question("Do you want to Close Application ?")) {
        openUrl(productWebPage());
        exitApplication(0);
    }
}

void WizardPage::accept() { exitApplication(0); }

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
