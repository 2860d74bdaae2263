// State that every page of the wizard shares (the application object's
// members). The shared reader and its sector count are the engine's
// g_deviceReader and g_totalSectors (disk/reader.h).
#pragma once

#include <string>

namespace brantlow::gui {

struct AppState {
    bool volumeSelected = false;  // a mounted volume, not a drive, was chosen on the first page
    bool driveFormatted = false;  // "Is Drive Formated..?" on the recovery-mode page
    std::string rootName = "ROOT";
    std::string searchText;
};

AppState& appState();
// Start-up values (also used by the tests between runs).
void resetAppState();

}  // namespace brantlow::gui
