// The driver's message boxes, through the platform layer's.
#include "linkdriver/box.h"

#include "platform/ui.h"

namespace serilo {

void ShowCloseBox(const char* text) {
    plat::ShowMessageBox(text, "", plat::kMbOk | plat::kMbSystemModal);
}

void ShowFatalBox(const char* text, const char* caption) {
    plat::ShowMessageBox(text, caption, plat::kMbSystemModal | plat::kMbIconHand);
}

} // namespace serilo
