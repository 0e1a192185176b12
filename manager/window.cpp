// ProcJan: create, destroy and paint.
#include "manager/window.h"

#include "manager/logo.h"
#include "manager/warnings.h"
#include "platform/ui.h"

namespace {

constexpr std::uint32_t kTextColour = 170u << 16 | 5u << 8 | 30u; // red 30, green 5, blue 170
constexpr const char* kNameLine = "   WTALVOC   ";
constexpr const char* kVersionLine = " Vers\xe3o 1.6.1"; // Windows-1252 a-tilde
constexpr int kLineLength = 13;

void Paint() {
    plat::PaintContext paint{};
    plat::PaintBegin(&paint);
    plat::PaintBitmap(&paint, kLogoBitmap, 0, 0, 220, 110);
    plat::PaintText(&paint, 65, 54, kNameLine, kLineLength, kTextColour);
    plat::PaintText(&paint, 65, 75, kVersionLine, kLineLength, kTextColour);
    plat::PaintEnd(&paint);
}

} // namespace

extern "C" std::intptr_t ProcJan(std::uint32_t message, std::uintptr_t wParam,
                                 std::intptr_t lParam) {
    switch (message) {
    case plat::kMsgCreate: CheckCommErrors(); return 0;
    case plat::kMsgDestroy: plat::PostQuitMessage(0); return 0;
    case plat::kMsgPaint: Paint(); return 0;
    default: return plat::DefWindowProc(message, wParam, lParam);
    }
}

std::uint32_t CreateManagerWindow() {
    // The logo is loaded with the window.
    plat::BitmapRegister(kLogoBitmap, kLogoWidth, kLogoHeight, LogoPixels());
    const plat::WindowSpec shape{kWindowClass, kWindowTitle, 10, 200, 220, 130, true};
    return plat::WindowCreate(shape, ProcJan);
}
