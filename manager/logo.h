// The manager's logo (its bitmap 2): a 220 x 110 picture of a terminal on
// the multidrop line, drawn by the program itself at start-up.
#pragma once

#include <cstdint>

inline constexpr int kLogoBitmap = 2;
inline constexpr int kLogoWidth = 220;
inline constexpr int kLogoHeight = 110;

// The picture, 0xRRGGBB row by row (kLogoWidth x kLogoHeight), drawn on the
// first call. None of its pixels has the window's text colour.
const std::uint32_t* LogoPixels();
