#include "app/AppState.h"

namespace brantlow::gui {

AppState& appState() {
    static AppState s;
    return s;
}

void resetAppState() { appState() = AppState{}; }

}  // namespace brantlow::gui
