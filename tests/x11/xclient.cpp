// The tests' connection to the test display (see xclient.h).
#include "tests/x11/xclient.h"

#include <X11/Xatom.h>
#include <X11/Xutil.h>
#include <X11/extensions/XTest.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <thread>

namespace xtest {

namespace {

template <typename F>
bool WaitFor(int ms, F&& done) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    do {
        if (done()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    } while (std::chrono::steady_clock::now() < end);
    return done();
}

int Ignore(Display*, XErrorEvent*) {
    return 0; // a window that went away while looked at
}

} // namespace

std::string TestDisplay() {
    const char* d = std::getenv("WTALVOC_TEST_DISPLAY");
    return d != nullptr ? d : "";
}

Client::Client() {
    const std::string name = TestDisplay();
    if (name.empty()) return;
    d_ = XOpenDisplay(name.c_str());
    XSetErrorHandler(Ignore);
}

Client::~Client() {
    if (d_ != nullptr) XCloseDisplay(d_);
}

void Client::sync() {
    XSync(d_, False);
}

std::string Client::text_property(Window w, const char* name) {
    Atom type = 0;
    int format = 0;
    unsigned long count = 0, after = 0;
    unsigned char* data = nullptr;
    std::string out;
    if (XGetWindowProperty(d_, w, XInternAtom(d_, name, False), 0, 1 << 16, False, AnyPropertyType,
                           &type, &format, &count, &after, &data) == Success &&
        data != nullptr && format == 8)
        out.assign(reinterpret_cast<char*>(data), count);
    if (data != nullptr) XFree(data);
    return out;
}

std::vector<long> Client::cardinals(Window w, const char* name, Atom type) {
    Atom got = 0;
    int format = 0;
    unsigned long count = 0, after = 0;
    unsigned char* data = nullptr;
    std::vector<long> out;
    if (XGetWindowProperty(d_, w, XInternAtom(d_, name, False), 0, 64, False, type, &got, &format,
                           &count, &after, &data) == Success &&
        data != nullptr && format == 32) {
        const long* v = reinterpret_cast<long*>(data);
        out.assign(v, v + count);
    }
    if (data != nullptr) XFree(data);
    return out;
}

std::string Client::wm_name(Window w) {
    return text_property(w, "WM_NAME");
}

std::string Client::wm_class(Window w) {
    XClassHint hint{};
    if (XGetClassHint(d_, w, &hint) == 0) return "";
    std::string out = std::string(hint.res_name) + "/" + hint.res_class;
    XFree(hint.res_name);
    XFree(hint.res_class);
    return out;
}

int Client::initial_state(Window w) {
    XWMHints* hints = XGetWMHints(d_, w);
    if (hints == nullptr) return -1;
    const int state = (hints->flags & StateHint) != 0 ? hints->initial_state : -1;
    XFree(hints);
    return state;
}

Window Client::find(const std::string& className, const std::string& title, int ms) {
    Window found = 0;
    WaitFor(ms, [&] {
        Window root = 0, parent = 0, *children = nullptr;
        unsigned n = 0;
        if (XQueryTree(d_, DefaultRootWindow(d_), &root, &parent, &children, &n) == 0) return false;
        for (unsigned i = 0; i < n && found == 0; ++i) {
            const std::string c = wm_class(children[i]);
            const std::size_t slash = c.find('/');
            if (slash == std::string::npos || c.substr(slash + 1) != className) continue;
            if (!title.empty() && text_property(children[i], "_NET_WM_NAME") != title) continue;
            found = children[i];
        }
        if (children != nullptr) XFree(children);
        return found != 0;
    });
    return found;
}

bool Client::viewable(Window w) {
    XWindowAttributes a{};
    return XGetWindowAttributes(d_, w, &a) != 0 && a.map_state == IsViewable;
}

bool Client::wait_viewable(Window w, int ms) {
    return WaitFor(ms, [&] { return viewable(w); });
}

bool Client::gone(Window w, int ms) {
    return WaitFor(ms, [&] {
        XWindowAttributes a{};
        return XGetWindowAttributes(d_, w, &a) == 0;
    });
}

bool Client::geometry(Window w, int* x, int* y, int* width, int* height) {
    XWindowAttributes a{};
    Window child = 0;
    if (XGetWindowAttributes(d_, w, &a) == 0) return false;
    XTranslateCoordinates(d_, w, DefaultRootWindow(d_), 0, 0, x, y, &child);
    *width = a.width;
    *height = a.height;
    return true;
}

Image Client::grab(Window w) {
    Image out;
    XWindowAttributes a{};
    if (XGetWindowAttributes(d_, w, &a) == 0) return out;
    XImage* image = XGetImage(d_, w, 0, 0, static_cast<unsigned>(a.width),
                              static_cast<unsigned>(a.height), AllPlanes, ZPixmap);
    if (image == nullptr) return out;
    out.width = a.width;
    out.height = a.height;
    out.pixels.resize(static_cast<std::size_t>(a.width) * static_cast<std::size_t>(a.height));
    // Xvfb's 24-bit TrueColor: the pixel is 0xRRGGBB.
    for (int y = 0; y < a.height; ++y)
        for (int x = 0; x < a.width; ++x)
            out.pixels[static_cast<std::size_t>(y * a.width + x)] =
                static_cast<std::uint32_t>(XGetPixel(image, x, y) & 0xFFFFFF);
    XDestroyImage(image);
    return out;
}

Window Client::child(Window parent, const std::string& name) {
    Window root = 0, up = 0, *children = nullptr, found = 0;
    unsigned n = 0;
    if (XQueryTree(d_, parent, &root, &up, &children, &n) == 0) return 0;
    for (unsigned i = 0; i < n && found == 0; ++i)
        if (wm_name(children[i]) == name) found = children[i];
    if (children != nullptr) XFree(children);
    return found;
}

void Client::click(Window w) {
    int x = 0, y = 0, width = 0, height = 0;
    if (!geometry(w, &x, &y, &width, &height)) return;
    XTestFakeMotionEvent(d_, DefaultScreen(d_), x + width / 2, y + height / 2, 0);
    XTestFakeButtonEvent(d_, 1, True, 0);
    XTestFakeButtonEvent(d_, 1, False, 0);
    sync();
}

void Client::key(unsigned long keysym) {
    const KeyCode code = XKeysymToKeycode(d_, keysym);
    XTestFakeKeyEvent(d_, code, True, 0);
    XTestFakeKeyEvent(d_, code, False, 0);
    sync();
}

bool Client::wait_focus(Window w, int ms) {
    return WaitFor(ms, [&] {
        Window focus = 0;
        int revert = 0;
        XGetInputFocus(d_, &focus, &revert);
        return focus == w;
    });
}

void Client::close(Window w) {
    XEvent e{};
    e.xclient.type = ClientMessage;
    e.xclient.window = w;
    e.xclient.message_type = XInternAtom(d_, "WM_PROTOCOLS", False);
    e.xclient.format = 32;
    e.xclient.data.l[0] = static_cast<long>(XInternAtom(d_, "WM_DELETE_WINDOW", False));
    e.xclient.data.l[1] = CurrentTime;
    XSendEvent(d_, w, False, NoEventMask, &e);
    sync();
}

void Client::kill_client(Window w) {
    XKillClient(d_, w);
    sync();
}

namespace {

std::uint32_t Crc(const std::string& bytes) {
    std::uint32_t crc = 0xFFFFFFFFu;
    for (unsigned char c : bytes) {
        crc ^= c;
        for (int k = 0; k < 8; ++k) crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
    }
    return crc ^ 0xFFFFFFFFu;
}

void Put32(std::string& out, std::uint32_t v) {
    for (int s = 24; s >= 0; s -= 8) out.push_back(static_cast<char>(v >> s & 0xFF));
}

void Chunk(std::string& out, const char* type, const std::string& data) {
    Put32(out, static_cast<std::uint32_t>(data.size()));
    const std::string body = type + data;
    out += body;
    Put32(out, Crc(body));
}

} // namespace

bool WritePng(const std::string& path, const Image& image) {
    std::string raw; // each row: filter 0, then RGB
    for (int y = 0; y < image.height; ++y) {
        raw.push_back('\0');
        for (int x = 0; x < image.width; ++x) {
            const std::uint32_t p = image.at(x, y);
            raw.push_back(static_cast<char>(p >> 16 & 0xFF));
            raw.push_back(static_cast<char>(p >> 8 & 0xFF));
            raw.push_back(static_cast<char>(p & 0xFF));
        }
    }
    std::string z = "\x78\x01";
    std::uint32_t a = 1, b = 0;
    for (unsigned char c : raw) {
        a = (a + c) % 65521;
        b = (b + a) % 65521;
    }
    for (std::size_t at = 0; at < raw.size() || at == 0; at += 65535) {
        const std::size_t n = std::min<std::size_t>(65535, raw.size() - at);
        z.push_back(at + n >= raw.size() ? 1 : 0);
        z.push_back(static_cast<char>(n & 0xFF));
        z.push_back(static_cast<char>(n >> 8));
        z.push_back(static_cast<char>(~n & 0xFF));
        z.push_back(static_cast<char>(~n >> 8 & 0xFF));
        z.append(raw, at, n);
    }
    Put32(z, b << 16 | a);
    std::string ihdr;
    Put32(ihdr, static_cast<std::uint32_t>(image.width));
    Put32(ihdr, static_cast<std::uint32_t>(image.height));
    ihdr += std::string("\x08\x02\x00\x00\x00", 5);
    std::string png = "\x89PNG\r\n\x1a\n";
    Chunk(png, "IHDR", ihdr);
    Chunk(png, "IDAT", z);
    Chunk(png, "IEND", "");
    std::ofstream f(path, std::ios::binary);
    f.write(png.data(), static_cast<std::streamsize>(png.size()));
    return static_cast<bool>(f);
}

} // namespace xtest
