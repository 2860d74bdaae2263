#include "raw/gui/RawRecoveryPage.h"

#include <QEvent>
#include <QFileDialog>
#include <QPushButton>
#include <QVBoxLayout>

#include "ui/PageFactory.h"
#include "raw/gui/RawRecoveryDialog.h"
#include "ui/CurrentSource.h"
#include "scan/session/session_files.h"

namespace brantlow::gui {

RawRecoveryPage::RawRecoveryPage(WizardPage* opener, const VolumeEntry& volume)
    : WizardPage("Raw Recovery Dialog", opener) {
    dialog_ = new raw::gui::RawRecoveryDialog(g_deviceReader, volume, content());
    dialog_->setWindowFlags(Qt::Widget);
    // A carve keeps its session in the wizard's session folder as it goes.
    dialog_->setSessions(session::wizardSessionFolder(), currentSourcePath());
    auto* l = new QVBoxLayout(content());
    l->setContentsMargins(0, 0, 0, 0);
    l->addWidget(dialog_);
    // The frame carries Help and Back; the page has no Next.
    dialog_->helpButton->hide();
    dialog_->backButton->hide();
    nextButton()->hide();
    // The dialog disables its own Back while it carves: the frame's follows it.
    dialog_->backButton->installEventFilter(this);
    backButton()->setEnabled(dialog_->backButton->isEnabled());
    // Save starts in the output folder of the volume before, and leaves its
    // own for the next.
    dialog_->chooseOutputFolder = [this] {
        const QString dir =
            QFileDialog::getExistingDirectory(this, "Please choose a folder.", session().outputFolder);
        if (!dir.isEmpty()) session().outputFolder = dir;
        return dir;
    };
}

bool RawRecoveryPage::eventFilter(QObject* watched, QEvent* event) {
    if (watched == dialog_->backButton && event->type() == QEvent::EnabledChange)
        backButton()->setEnabled(dialog_->backButton->isEnabled());
    return WizardPage::eventFilter(watched, event);
}

void RawRecoveryPage::stopWork() { dialog_->stopWork(); }

QString RawRecoveryPage::sessionInProgress() const { return dialog_->sessionInProgress(); }

void RawRecoveryPage::dropSession() { dialog_->dropSession(); }

QString RawRecoveryPage::unsavedWork() const { return QString::fromStdString(dialog_->unsavedNote()); }

void registerRawPage() {
    setRawPageFactory([](WizardPage* opener, const VolumeEntry& volume) -> WizardPage* {
        return new RawRecoveryPage(opener, volume);
    });
}

}  // namespace brantlow::gui
