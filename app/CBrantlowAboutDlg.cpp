#include "app/CBrantlowAboutDlg.h"

#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QMouseEvent>
#include <QPushButton>
#include <QVBoxLayout>
#include <QWindow>

#include "ui/WizardPage.h"

namespace brantlow::gui {

namespace {
QLabel* link(const QString& scheme, const QString& address, const QString& tip, QWidget* parent, const char* name) {
    auto* l = new QLabel(parent);
    l->setObjectName(name);
    l->setToolTip(tip);
    if (address.isEmpty()) {
        l->setText(tip + ": " + QString::fromUtf8("\u2014"));
        l->setEnabled(false);
    } else {
        const QString href = scheme + address;
        l->setText(QString("<a href=\"%1\">%2</a>").arg(href.toHtmlEscaped(), address.toHtmlEscaped()));
        l->setTextFormat(Qt::RichText);
        l->setOpenExternalLinks(true);
        l->setTextInteractionFlags(Qt::TextBrowserInteraction);
    }
    return l;
}
}  // namespace

CBrantlowAboutDlg::CBrantlowAboutDlg(QWidget* parent) : QDialog(parent) {
    setObjectName("CBrantlowAboutDlg");
    setWindowTitle(kCaption);
    setModal(true);
    auto* outer = new QVBoxLayout(this);
    outer->setContentsMargins(0, 0, 0, 12);

    auto* banner = new QLabel("Brantlow", this);
    banner->setMinimumHeight(48);
    banner->setContentsMargins(18, 0, 18, 0);
    banner->setAutoFillBackground(true);
    QPalette pal = banner->palette();
    pal.setColor(QPalette::Window, QColor(0x1f, 0x4e, 0x79));
    pal.setColor(QPalette::WindowText, Qt::white);
    banner->setPalette(pal);
    QFont bf = banner->font();
    bf.setPointSizeF(bf.pointSizeF() * 1.4);
    bf.setBold(true);
    banner->setFont(bf);
    outer->addWidget(banner);

    auto* body = new QVBoxLayout;
    body->setContentsMargins(18, 10, 18, 0);
    body->setSpacing(6);
    outer->addLayout(body);
    title_ = new QLabel(kCaption, this);
    title_->setObjectName("title");
    QFont tf("Arial");
    tf.setPixelSize(15);
    tf.setWeight(QFont::DemiBold);  // 600
    title_->setFont(tf);
    body->addWidget(title_);
    web_ = link("", aboutSetting("CompanyWebsite"), "Company website", this, "web");
    support_ = link("mailto:", aboutSetting("SupportEmail"), "Support email address", this, "support");
    sales_ = link("mailto:", aboutSetting("SalesEmail"), "Sales email address", this, "sales");
    body->addWidget(web_);
    body->addWidget(support_);
    body->addWidget(sales_);
    legal_ = new QLabel(aboutSetting("LegalNotice"), this);
    legal_->setObjectName("legal");
    legal_->setWordWrap(true);
    body->addWidget(legal_);

    auto* row = new QHBoxLayout;
    row->setContentsMargins(18, 8, 18, 0);
    row->addStretch(1);
    ok_ = new QPushButton("OK", this);
    ok_->setAutoDefault(false);
    ok_->setDefault(false);
    row->addWidget(ok_);
    outer->addLayout(row);
    connect(ok_, &QPushButton::clicked, this, &QDialog::accept);
    setMinimumWidth(380);
}

void CBrantlowAboutDlg::keyPressEvent(QKeyEvent* e) {
    switch (e->key()) {
        case Qt::Key_Return:
        case Qt::Key_Enter:
        case Qt::Key_Escape:
            e->accept();  // only OK closes the box
            return;
        default:
            QDialog::keyPressEvent(e);
    }
}

// A press on the surface drags the box like its title bar.
void CBrantlowAboutDlg::mousePressEvent(QMouseEvent* e) {
    if (e->button() != Qt::LeftButton) return QDialog::mousePressEvent(e);
    if (QWindow* w = windowHandle(); w && w->startSystemMove()) return;
    dragging_ = true;
    dragFrom_ = e->globalPosition().toPoint() - frameGeometry().topLeft();
}

void CBrantlowAboutDlg::mouseMoveEvent(QMouseEvent* e) {
    if (dragging_ && (e->buttons() & Qt::LeftButton))
        move(e->globalPosition().toPoint() - dragFrom_);
    else
        dragging_ = false;
}

}  // namespace brantlow::gui
