#include "ui/PageFactory.h"

namespace brantlow::gui {

namespace {
ScanPageFactory& scanFactory() {
    static ScanPageFactory f;
    return f;
}
RawPageFactory& rawFactory() {
    static RawPageFactory f;
    return f;
}
}  // namespace

void setScanPageFactory(ScanPageFactory f) { scanFactory() = std::move(f); }
void setRawPageFactory(RawPageFactory f) { rawFactory() = std::move(f); }

WizardPage* makeScanPage(WizardPage* opener, const VolumeEntry& volume, ScanMode mode, const ScanOptions& options) {
    return scanFactory() ? scanFactory()(opener, volume, mode, options) : nullptr;
}

WizardPage* makeRawPage(WizardPage* opener, const VolumeEntry& volume) {
    return rawFactory() ? rawFactory()(opener, volume) : nullptr;
}

}  // namespace brantlow::gui
