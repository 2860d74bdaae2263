#include "app/LayerAskDialog.h"

#include <QApplication>
#include <QDialogButtonBox>
#include <QFileDialog>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>

#include <cstring>
#include <memory>

#include "platform/secret.h"
#include "ui/WizardPage.h"

namespace brantlow::gui {

LayerAskDialog::LayerAskDialog(const LayerQuestion& q, LayerAnswers& answers, QWidget* parent)
    : QDialog(parent), answers_(answers) {
    setWindowTitle(kCaption);
    auto* layout = new QVBoxLayout(this);
    message_ = new QLabel(this);
    message_->setWordWrap(true);
    message_->setStyleSheet("color: #b00000;");
    if (!q.lastError.empty())
        message_->setText(QString::fromStdString(q.lastError) +
                          QString(". Try again (%1 of %2).").arg(q.attempt + 1).arg(kLayerAskTries));
    message_->setVisible(!q.lastError.empty());
    layout->addWidget(message_);
    layout->addWidget(new QLabel(QString::fromStdString(q.prompt), this));
    passphrase_ = new QLineEdit(this);
    passphrase_->setEchoMode(QLineEdit::Password);
    layout->addWidget(passphrase_);
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
    keyFile_ = buttons->addButton("Key File...", QDialogButtonBox::ActionRole);
    layout->addWidget(buttons);
    connect(buttons, &QDialogButtonBox::accepted, this, &LayerAskDialog::accept);
    connect(buttons, &QDialogButtonBox::rejected, this, &LayerAskDialog::reject);
    connect(keyFile_, &QPushButton::clicked, this, &LayerAskDialog::chooseKeyFile);
}

void LayerAskDialog::accept() {
    QByteArray bytes = passphrase_->text().toUtf8();
    passphrase_->clear();
    answers_.passphrase.assign(bytes.constData(), static_cast<size_t>(bytes.size()));
    answers_.keyFile = false;
    platform::wipe(bytes.data(), static_cast<size_t>(bytes.size()));
    QDialog::accept();
}

void LayerAskDialog::chooseKeyFile() {
    const QString path = QFileDialog::getOpenFileName(this, "Key File");
    if (path.isEmpty()) return;
    int err = 0;
    if (!platform::readSecretFile(path.toLocal8Bit().toStdString(), 8u << 20, answers_.passphrase, &err)) {
        message_->setText("The key file cannot be read: " + QString::fromLocal8Bit(std::strerror(err)));
        message_->show();
        return;
    }
    answers_.keyFile = true;
    passphrase_->clear();
    QDialog::accept();
}

namespace {

// The wait cursor while a key is derived (a second or more), not while the
// box asks; gone with the last copy of the asking function.
struct WaitCursor {
    bool on = false;
    void set() {
        if (!on) QApplication::setOverrideCursor(Qt::WaitCursor);
        on = true;
    }
    void clear() {
        if (on) QApplication::restoreOverrideCursor();
        on = false;
    }
    ~WaitCursor() { clear(); }
};

}  // namespace

LayerAsk wizardLayerAsk(QWidget* parent) {
    auto wait = std::make_shared<WaitCursor>();
    return [parent, wait](const LayerQuestion& q, LayerAnswers& answers) {
        wait->clear();
        if (q.kind != LayerQuestion::Kind::Passphrase) return false;
        LayerAskDialog box(q, answers, parent);
        if (box.exec() != QDialog::Accepted) return false;
        wait->set();
        return true;
    };
}

}  // namespace brantlow::gui
