// The raw recovery page in the wizard frame: the raw recovery dialog's
// controls inside a page with the common banner, Help and Back.
#pragma once

#include "ui/WizardPage.h"
#include "disk/partition.h"

namespace brantlow::raw::gui {
class RawRecoveryDialog;
}

namespace brantlow::gui {

class RawRecoveryPage : public WizardPage {
    Q_OBJECT
public:
    RawRecoveryPage(WizardPage* opener, const VolumeEntry& volume);
    raw::gui::RawRecoveryDialog* dialog() const { return dialog_; }
    void stopWork() override;
    QString unsavedWork() const override;
    QString sessionInProgress() const override;
    void dropSession() override;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    raw::gui::RawRecoveryDialog* dialog_;
};

// Registers the page with the wizard's raw page hook.
void registerRawPage();

}  // namespace brantlow::gui
