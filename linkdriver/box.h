// The driver's two message boxes: the close sequence's wait outcome (no
// owner, empty caption, system-modal) and the fatal fault (caption and stop
// icon, system-modal). Both wait for the user.
#pragma once

namespace serilo {

void ShowCloseBox(const char* text);
void ShowFatalBox(const char* text, const char* caption);

} // namespace serilo
