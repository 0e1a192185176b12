// The driver's message boxes.
#include "linkdriver/box.h"

#include <cstdio>

namespace serilo {

void ShowCloseBox(const char* text) {
    std::fprintf(stderr, "%s\n", text);
}

void ShowFatalBox(const char* text, const char* caption) {
    std::fprintf(stderr, "%s: %s\n", caption, text);
}

} // namespace serilo
