// Hooks through which the wizard opens pages that other subsystems build
// (the scan page, the raw recovery page), so the frame does not depend on them.
#pragma once

#include <functional>

#include "disk/partition.h"
#include "fs/api/parser.h"

namespace brantlow::gui {

class WizardPage;

// Opens the scan page for a volume and mode; returns the new page (shown by
// the caller with opener->openNext(page)).
using ScanPageFactory =
    std::function<WizardPage*(WizardPage* opener, const VolumeEntry& volume, ScanMode mode, const ScanOptions& options)>;
// Opens the raw recovery page for a volume.
using RawPageFactory = std::function<WizardPage*(WizardPage* opener, const VolumeEntry& volume)>;

void setScanPageFactory(ScanPageFactory f);
void setRawPageFactory(RawPageFactory f);
// nullptr when no factory is registered.
WizardPage* makeScanPage(WizardPage* opener, const VolumeEntry& volume, ScanMode mode, const ScanOptions& options);
WizardPage* makeRawPage(WizardPage* opener, const VolumeEntry& volume);

}  // namespace brantlow::gui
