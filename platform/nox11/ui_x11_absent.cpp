// The user interface's back-end choice in a build without the X11 library:
// there is no display to open, so the program always runs headless.
#include "platform/ui_x11.h"

namespace plat {

bool SelectUiBackend(bool) {
    return false;
}

bool UiBackendIsX11() {
    return false;
}

void CloseUiBackend() {}

} // namespace plat
