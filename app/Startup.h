// Start-up of the wizard: the single-instance rule, the About hook, and the
// first page.
#pragma once

#include <QStringList>
#include <string>

#include "app/Pages.h"

class QApplication;

namespace brantlow::gui {

inline constexpr const char* kAnotherInstance = "Another instance of application is already running";

// Takes the program-wide lock at lockPath. Returns the descriptor that holds
// it (keep it open), or -1 after telling the operator "Another instance of
// application is already running" through boxes. When the lock file cannot
// be used at all the program runs without the rule (-2, with a line on
// stderr).
int takeSingleInstance(const std::string& lockPath, MessageSink& boxes);

// The application as the program runs it: its name, the Fusion style, and
// no quitting when the last window closes (a message box closed while no
// page is visible, during a page switch, must not end the program; only a
// page's own close path does).
void configureApplication(QApplication& app);

// Installs the About box for every page's Help menu.
void installWizardHooks();

// Start-up state, then the first page with `images` added under the drives
// (the last one selected); an image that does not exist is named on the
// page instead. The caller shows it.
Physical_DriveDialog* createFirstPage(const DriveSources& sources, const QStringList& images);

}  // namespace brantlow::gui
