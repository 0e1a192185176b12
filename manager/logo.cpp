// Draws the logo: a pale blue gradient in a dark frame, a data terminal at
// the left, an accent bar above the program's name, and the serial line along
// the bottom with the terminal and four more hanging on it.
#include "manager/logo.h"

#include <array>

namespace {

constexpr std::uint32_t Rgb(int r, int g, int b) {
    return static_cast<std::uint32_t>(r) << 16 | static_cast<std::uint32_t>(g) << 8 |
           static_cast<std::uint32_t>(b);
}

constexpr std::uint32_t kFrame = Rgb(40, 60, 130);
constexpr std::uint32_t kCase = Rgb(70, 76, 90);
constexpr std::uint32_t kScreenTop = Rgb(30, 110, 70);
constexpr std::uint32_t kGlyphs = Rgb(150, 240, 170);
constexpr std::uint32_t kKeys = Rgb(190, 196, 210);
constexpr std::uint32_t kAccent = Rgb(220, 90, 40);
constexpr std::uint32_t kNode = Rgb(90, 110, 170);

std::array<std::uint32_t, kLogoWidth * kLogoHeight> g_logo;
bool g_drawn = false;

void Fill(int left, int top, int right, int bottom, std::uint32_t colour) {
    for (int y = top; y <= bottom; ++y)
        for (int x = left; x <= right; ++x)
            if (x >= 0 && x < kLogoWidth && y >= 0 && y < kLogoHeight)
                g_logo[static_cast<std::size_t>(y * kLogoWidth + x)] = colour;
}

int Mix(int from, int to, int step, int steps) {
    return from + (to - from) * step / steps;
}

void Draw() {
    for (int y = 0; y < kLogoHeight; ++y)
        Fill(0, y, kLogoWidth - 1, y,
             Rgb(Mix(246, 206, y, kLogoHeight), Mix(249, 222, y, kLogoHeight),
                 Mix(255, 246, y, kLogoHeight)));
    Fill(0, 0, kLogoWidth - 1, 1, kFrame);
    Fill(0, kLogoHeight - 2, kLogoWidth - 1, kLogoHeight - 1, kFrame);
    Fill(0, 0, 1, kLogoHeight - 1, kFrame);
    Fill(kLogoWidth - 2, 0, kLogoWidth - 1, kLogoHeight - 1, kFrame);

    // The terminal: its case with cut corners, a green screen with three
    // lines of text, and six keys.
    Fill(11, 22, 52, 81, kCase);
    Fill(10, 23, 53, 80, kCase);
    for (int y = 27; y <= 56; ++y)
        Fill(15, y, 48, y,
             Rgb(Mix(30, 20, y - 27, 30), Mix(110, 80, y - 27, 30), Mix(70, 50, y - 27, 30)));
    Fill(15, 27, 48, 27, kScreenTop);
    Fill(18, 32, 42, 33, kGlyphs);
    Fill(18, 38, 36, 39, kGlyphs);
    Fill(18, 44, 45, 45, kGlyphs);
    Fill(18, 50, 20, 51, kGlyphs);
    for (int row = 0; row < 2; ++row)
        for (int col = 0; col < 3; ++col)
            Fill(17 + col * 11, 62 + row * 9, 24 + col * 11, 67 + row * 9, kKeys);

    Fill(65, 40, 205, 41, kAccent);

    // The line, the terminal's drop to it, and four more terminals.
    Fill(10, 97, 209, 98, kFrame);
    Fill(31, 82, 32, 96, kFrame);
    for (int n = 0; n < 4; ++n) {
        const int x = 80 + n * 35;
        Fill(x - 5, 86, x + 5, 92, kNode);
        Fill(x - 3, 87, x + 3, 89, kKeys);
        Fill(x, 93, x + 1, 96, kFrame);
    }
}

} // namespace

const std::uint32_t* LogoPixels() {
    if (!g_drawn) {
        Draw();
        g_drawn = true;
    }
    return g_logo.data();
}
