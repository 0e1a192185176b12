// The tests' own connection to the test display (WTALVOC_TEST_DISPLAY, set
// by scripts/test, which starts Xvfb for them): finding the manager's
// windows, reading their properties and pixels, and acting as the user
// would (XTest clicks and keys, WM_DELETE_WINDOW).
#pragma once

#include <X11/Xlib.h>

#include <cstdint>
#include <string>
#include <vector>

namespace xtest {

// The test display, or "" when none is given (the tests then skip).
std::string TestDisplay();

struct Image {
    int width = 0, height = 0;
    std::vector<std::uint32_t> pixels; // 0xRRGGBB row by row
    std::uint32_t at(int x, int y) const { return pixels[static_cast<std::size_t>(y * width + x)]; }
};

class Client {
  public:
    Client();
    ~Client();
    Client(const Client&) = delete;
    Client& operator=(const Client&) = delete;
    bool ok() const { return d_ != nullptr; }
    Display* display() const { return d_; }

    // The first top-level window whose WM_CLASS class is `className` (and,
    // when title is not empty, whose _NET_WM_NAME is `title`), waiting up to
    // ms for it to appear; 0 when none did.
    Window find(const std::string& className, const std::string& title = "", int ms = 20000);
    // Waits up to ms for `w` to be viewable (true) or for it to be gone.
    bool wait_viewable(Window w, int ms = 20000);
    bool gone(Window w, int ms = 20000);
    bool viewable(Window w);

    std::string text_property(Window w, const char* name); // UTF-8 or STRING
    std::vector<long> cardinals(Window w, const char* name, Atom type);
    std::string wm_name(Window w);
    std::string wm_class(Window w); // "instance/class"
    int initial_state(Window w);    // WM_HINTS, -1 without one
    // Position relative to the root, and size.
    bool geometry(Window w, int* x, int* y, int* width, int* height);
    Image grab(Window w);

    // The first child window named `name`, or 0.
    Window child(Window parent, const std::string& name);
    void click(Window w);           // XTest: the pointer to its centre, button 1
    void key(unsigned long keysym); // XTest: press and release
    bool wait_focus(Window w, int ms = 20000);
    void close(Window w); // WM_DELETE_WINDOW, as a window manager sends it
    void kill_client(Window w);
    void sync();

  private:
    Display* d_ = nullptr;
};

// Writes an image as a PNG (8-bit RGB, stored without compression).
bool WritePng(const std::string& path, const Image& image);

} // namespace xtest
