// The X11 back end: one thread owns the display connection and does every
// Xlib call; the rest of the program talks to it through the requests and
// events kept in State under its mutex.
#include "platform/ui_x11.h"

#include "platform/instance.h"
#include "platform/ui.h"
#include "platform/xlib_calls.h" // every Xlib call goes through its table

#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <mutex>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

namespace plat {

namespace {

constexpr int kMaxBoxes = 4;
constexpr int kMaxPaintOps = 8;
constexpr int kMaxLines = 24;
constexpr std::size_t kBoxText = 6144;
constexpr std::size_t kBoxCaption = 512;
constexpr std::size_t kName = 64;
constexpr int kOpenWaitMs = 10000;
constexpr int kCloseWaitMs = 5000;
constexpr const char* kLostMessage = "wtalvoc: the display went away; going on without a window\n";

// ---- shared between the program's threads and the display thread ----

struct PaintOp {
    bool text;
    int bitmapId;
    int x, y, width, height;
    std::uint32_t colour; // 0xBBGGRR
    char utf8[128];
};

struct PaintList {
    int count = 0;
    std::array<PaintOp, kMaxPaintOps> ops;
};

enum class BoxState { kFree, kAsked, kShown, kCancel, kDone };
enum class Phase { kOpening, kRunning, kFailed, kLost, kClosed };

struct Box {
    BoxState state = BoxState::kFree;
    char text[kBoxText];
    char caption[kBoxCaption];
    unsigned style = 0;
    // The display thread's own.
    Window window = 0;
    Window button = 0;
    char latin[kBoxText];
    int lineStart[kMaxLines];
    int lineLength[kMaxLines];
    int lines = 0;
    int textX = 0;
    int buttonWidth = 0, buttonHeight = 0;
    std::chrono::steady_clock::time_point lastRaise{};
};

struct State {
    std::mutex mutex;
    std::condition_variable cv;
    pthread_t thread{};
    int wake[2] = {-1, -1};
    Phase phase = Phase::kOpening;
    bool abandon = false; // the start gave up waiting for the display
    bool stop = false;
    // Requests of the program.
    bool createAsked = false;
    char className[kName] = "";
    char title[kName] = "";
    int x = 0, y = 0, width = 0, height = 0;
    bool iconic = false;
    bool showAsked = false;
    bool destroyAsked = false;
    bool paintAsked = false;
    PaintList paint;
    std::array<Box, kMaxBoxes> boxes;
    // Events for the main thread.
    bool exposed = false;
    bool closed = false;
};

// Made once, never freed: after a lost display the parked thread keeps it.
State* g = nullptr;
std::atomic<bool> g_inUse{false};
pthread_t g_mainThread{}; // the one that chose the back end

void Wake() {
    const char byte = 1;
    if (g->wake[1] >= 0) (void)!::write(g->wake[1], &byte, 1);
}

void CopyText(char* out, std::size_t size, const char* in) {
    std::snprintf(out, size, "%s", in ? in : "");
}

// UTF-8 to the display's 8-bit text (ISO 8859-1); other characters become '?'.
int Utf8ToLatin1(const char* in, char* out, int size) {
    int n = 0;
    const auto* p = reinterpret_cast<const unsigned char*>(in);
    while (*p && n + 1 < size) {
        std::uint32_t cp = *p;
        int extra = 0;
        if (cp >= 0xF0) {
            cp &= 0x07;
            extra = 3;
        } else if (cp >= 0xE0) {
            cp &= 0x0F;
            extra = 2;
        } else if (cp >= 0xC0) {
            cp &= 0x1F;
            extra = 1;
        }
        ++p;
        for (; extra > 0 && (*p & 0xC0) == 0x80; --extra, ++p) cp = cp << 6 | (*p & 0x3F);
        out[n++] = cp <= 0xFF && extra == 0 ? static_cast<char>(cp) : '?';
    }
    out[n] = '\0';
    return n;
}

// ---- the display thread's own state ----

struct Display_ {
    Display* d = nullptr;
    int screen = 0;
    Visual* visual = nullptr;
    int depth = 0;
    Colormap colormap = 0;
    GC gc = nullptr;
    XFontStruct* font = nullptr;
    int ascent = 10, descent = 3;
    Window main = 0;
    Atom deleteWindow = 0, netName = 0, utf8 = 0, netState = 0, netAbove = 0, netType = 0,
         netDialog = 0, netPid = 0, textProperty = 0;
    struct Image {
        int id;
        XImage* image;
    };
    std::array<Image, kMaxBitmaps> images{};
} xd;

unsigned long Pixel(std::uint32_t rgb) {
    const std::uint32_t r = rgb >> 16 & 0xFF, gr = rgb >> 8 & 0xFF, b = rgb & 0xFF;
    if (xd.visual->c_class == TrueColor) {
        auto place = [](std::uint32_t channel, unsigned long mask) {
            if (mask == 0) return 0ul;
            const unsigned long v = channel;
            const int shift = __builtin_ctzl(mask);
            const int bits = __builtin_popcountl(mask >> shift);
            const unsigned long scaled = bits >= 8 ? v << (bits - 8) : v >> (8 - bits);
            return scaled << shift & mask;
        };
        return place(r, xd.visual->red_mask) | place(gr, xd.visual->green_mask) |
               place(b, xd.visual->blue_mask);
    }
    XColor c{};
    c.red = static_cast<unsigned short>(r * 257);
    c.green = static_cast<unsigned short>(gr * 257);
    c.blue = static_cast<unsigned short>(b * 257);
    c.flags = DoRed | DoGreen | DoBlue;
    if (XAllocColor(xd.d, xd.colormap, &c) == 0) return BlackPixel(xd.d, xd.screen);
    return c.pixel;
}

std::uint32_t FromColourRef(std::uint32_t bgr) {
    return (bgr & 0xFF) << 16 | (bgr & 0xFF00) | (bgr >> 16 & 0xFF);
}

XImage* ImageOf(int id) {
    for (const auto& i : xd.images)
        if (i.image != nullptr && i.id == id) return i.image;
    const BitmapResource* b = BitmapFind(id);
    if (b == nullptr) return nullptr;
    for (auto& slot : xd.images) {
        if (slot.image != nullptr) continue;
        XImage* image =
            XCreateImage(xd.d, xd.visual, static_cast<unsigned>(xd.depth), ZPixmap, 0, nullptr,
                         static_cast<unsigned>(b->width), static_cast<unsigned>(b->height), 32, 0);
        if (image == nullptr) return nullptr;
        image->data = static_cast<char*>(std::malloc(
            static_cast<std::size_t>(image->bytes_per_line) * static_cast<std::size_t>(b->height)));
        if (image->data == nullptr) {
            XDestroyImage(image);
            return nullptr;
        }
        for (int row = 0; row < b->height; ++row)
            for (int col = 0; col < b->width; ++col)
                XPutPixel(image, col, row,
                          Pixel(b->pixels[static_cast<std::size_t>(row) *
                                              static_cast<std::size_t>(b->width) +
                                          static_cast<std::size_t>(col)]));
        slot = {id, image};
        return image;
    }
    return nullptr;
}

void SetUtf8Property(Window w, Atom property, const char* text) {
    XChangeProperty(xd.d, w, property, xd.utf8, 8, PropModeReplace,
                    reinterpret_cast<const unsigned char*>(text),
                    static_cast<int>(std::strlen(text)));
}

// Title (WM_NAME in ISO 8859-1, _NET_WM_NAME in UTF-8), class, protocols,
// process id.
void NameWindow(Window w, const char* utf8Title, const char* className) {
    char latin[kBoxCaption];
    Utf8ToLatin1(utf8Title, latin, sizeof latin);
    XStoreName(xd.d, w, latin);
    SetUtf8Property(w, xd.netName, utf8Title);
    char resName[] = "wtalvoc";
    char resClass[kName];
    CopyText(resClass, sizeof resClass, className);
    XClassHint hint{resName, resClass};
    XSetClassHint(xd.d, w, &hint);
    Atom del = xd.deleteWindow;
    XSetWMProtocols(xd.d, w, &del, 1);
    const long pid = ::getpid();
    XChangeProperty(xd.d, w, xd.netPid, XA_CARDINAL, 32, PropModeReplace,
                    reinterpret_cast<const unsigned char*>(&pid), 1);
}

void FixSize(Window w, int left, int top, int width, int height) {
    XSizeHints* size = XAllocSizeHints();
    if (size == nullptr) return;
    size->flags = USPosition | USSize | PMinSize | PMaxSize;
    size->x = left;
    size->y = top;
    size->width = size->min_width = size->max_width = width;
    size->height = size->min_height = size->max_height = height;
    XSetWMNormalHints(xd.d, w, size);
    XFree(size);
}

Window MakeWindow(Window parent, int left, int top, int width, int height, std::uint32_t rgb,
                  long events, unsigned border) {
    XSetWindowAttributes a{};
    a.background_pixel = Pixel(rgb);
    a.border_pixel = BlackPixel(xd.d, xd.screen);
    a.event_mask = events;
    return XCreateWindow(xd.d, parent, left, top, static_cast<unsigned>(width),
                         static_cast<unsigned>(height), border, CopyFromParent, InputOutput,
                         CopyFromParent, CWBackPixel | CWBorderPixel | CWEventMask, &a);
}

// ---- the window ----

void CreateMain(const char* title, const char* className, int left, int top, int width, int height,
                bool iconic) {
    if (xd.main != 0) return;
    xd.main = MakeWindow(RootWindow(xd.d, xd.screen), left, top, width, height, 0xFFFFFF,
                         ExposureMask | StructureNotifyMask, 0);
    NameWindow(xd.main, title, className);
    FixSize(xd.main, left, top, width, height);
    XWMHints* hints = XAllocWMHints();
    if (hints != nullptr) {
        hints->flags = StateHint | InputHint;
        hints->initial_state = iconic ? IconicState : NormalState;
        hints->input = True;
        XSetWMHints(xd.d, xd.main, hints);
        XFree(hints);
    }
}

void PaintMain(const PaintList& list) {
    if (xd.main == 0) return;
    for (int i = 0; i < list.count && i < kMaxPaintOps; ++i) {
        const PaintOp& op = list.ops[static_cast<std::size_t>(i)];
        if (!op.text) {
            XImage* image = ImageOf(op.bitmapId);
            if (image == nullptr) continue;
            const int w = op.width < image->width ? op.width : image->width;
            const int h = op.height < image->height ? op.height : image->height;
            if (w > 0 && h > 0)
                XPutImage(xd.d, xd.main, xd.gc, image, 0, 0, op.x, op.y, static_cast<unsigned>(w),
                          static_cast<unsigned>(h));
            continue;
        }
        // Text with its top at y, the background left as it is.
        char latin[sizeof op.utf8];
        const int n = Utf8ToLatin1(op.utf8, latin, sizeof latin);
        XSetForeground(xd.d, xd.gc, Pixel(FromColourRef(op.colour)));
        XDrawString(xd.d, xd.main, xd.gc, op.x, op.y + xd.ascent, latin, n);
    }
}

// ---- boxes ----

int TextWidth(const char* s, int n) {
    return xd.font != nullptr ? XTextWidth(xd.font, s, n) : 6 * n;
}

void DrawIcon(Window w, unsigned icon) {
    constexpr int left = 16, top = 16, size = 32;
    GC gc = xd.gc;
    auto fg = [&](std::uint32_t rgb) { XSetForeground(xd.d, gc, Pixel(rgb)); };
    if (icon == kMbIconHand) {
        fg(0xD02020);
        XFillArc(xd.d, w, gc, left, top, size, size, 0, 360 * 64);
        fg(0xFFFFFF);
        XSetLineAttributes(xd.d, gc, 4, LineSolid, CapRound, JoinRound);
        XDrawLine(xd.d, w, gc, left + 10, top + 10, left + 22, top + 22);
        XDrawLine(xd.d, w, gc, left + 22, top + 10, left + 10, top + 22);
        XSetLineAttributes(xd.d, gc, 0, LineSolid, CapButt, JoinMiter);
    } else if (icon == kMbIconExclamation) {
        XPoint tri[3] = {{static_cast<short>(left + size / 2), static_cast<short>(top)},
                         {static_cast<short>(left + size), static_cast<short>(top + size)},
                         {static_cast<short>(left), static_cast<short>(top + size)}};
        fg(0xF8C800);
        XFillPolygon(xd.d, w, gc, tri, 3, Convex, CoordModeOrigin);
        fg(0x000000);
        XFillRectangle(xd.d, w, gc, left + 14, top + 9, 4, 14);
        XFillRectangle(xd.d, w, gc, left + 14, top + 26, 4, 4);
    } else if (icon == kMbIconQuestion || icon == kMbIconAsterisk) {
        fg(0x2050C8);
        XFillArc(xd.d, w, gc, left, top, size, size, 0, 360 * 64);
        fg(0xFFFFFF);
        const char* mark = icon == kMbIconQuestion ? "?" : "i";
        XDrawString(xd.d, w, gc, left + (size - TextWidth(mark, 1)) / 2,
                    top + (size + xd.ascent - xd.descent) / 2, mark, 1);
    }
}

void DrawBox(const Box& box) {
    DrawIcon(box.window, box.style & 0xF0u);
    XSetForeground(xd.d, xd.gc, BlackPixel(xd.d, xd.screen));
    const int lineHeight = xd.ascent + xd.descent + 2;
    for (int i = 0; i < box.lines; ++i)
        XDrawString(xd.d, box.window, xd.gc, box.textX, 16 + i * lineHeight + xd.ascent,
                    box.latin + box.lineStart[i], box.lineLength[i]);
}

void DrawButton(const Box& box) {
    XSetForeground(xd.d, xd.gc, BlackPixel(xd.d, xd.screen));
    const int w = TextWidth("OK", 2);
    XDrawString(xd.d, box.button, xd.gc, (box.buttonWidth - w) / 2,
                (box.buttonHeight + xd.ascent - xd.descent) / 2, "OK", 2);
}

void CreateBox(Box& box, int slot) {
    // Lines: the text split at CR LF (or a lone LF or CR).
    Utf8ToLatin1(box.text, box.latin, sizeof box.latin);
    box.lines = 0;
    int widest = 0;
    for (int at = 0; box.lines < kMaxLines;) {
        int end = at;
        while (box.latin[end] != '\0' && box.latin[end] != '\r' && box.latin[end] != '\n') ++end;
        box.lineStart[box.lines] = at;
        box.lineLength[box.lines] = end - at;
        const int w = TextWidth(box.latin + at, end - at);
        if (w > widest) widest = w;
        ++box.lines;
        if (box.latin[end] == '\0') break;
        at = end + (box.latin[end] == '\r' && box.latin[end + 1] == '\n' ? 2 : 1);
    }
    const bool icon = (box.style & 0xF0u) != 0;
    box.textX = icon ? 64 : 16;
    const int lineHeight = xd.ascent + xd.descent + 2;
    int body = box.lines * lineHeight;
    if (icon && body < 32) body = 32;
    box.buttonWidth = 80;
    box.buttonHeight = 26;
    int width = box.textX + widest + 16;
    if (width < box.buttonWidth + 32) width = box.buttonWidth + 32;
    if (width < 200) width = 200;
    const int height = 16 + body + 16 + box.buttonHeight + 12;
    const int left = (DisplayWidth(xd.d, xd.screen) - width) / 2 + slot * 24;
    const int top = (DisplayHeight(xd.d, xd.screen) - height) / 2 + slot * 24;

    const bool systemModal = (box.style & kMbSystemModal) != 0;
    box.window = MakeWindow(RootWindow(xd.d, xd.screen), left, top, width, height, 0xF0F0F0,
                            ExposureMask | KeyPressMask | StructureNotifyMask |
                                (systemModal ? VisibilityChangeMask : 0),
                            0);
    NameWindow(box.window, box.caption, "TALVOCBOX");
    FixSize(box.window, left, top, width, height);
    SetUtf8Property(box.window, xd.textProperty, box.text);
    XChangeProperty(xd.d, box.window, xd.netType, XA_ATOM, 32, PropModeReplace,
                    reinterpret_cast<const unsigned char*>(&xd.netDialog), 1);
    if (systemModal)
        XChangeProperty(xd.d, box.window, xd.netState, XA_ATOM, 32, PropModeReplace,
                        reinterpret_cast<const unsigned char*>(&xd.netAbove), 1);
    box.button = MakeWindow(box.window, (width - box.buttonWidth) / 2,
                            height - 12 - box.buttonHeight, box.buttonWidth, box.buttonHeight,
                            0xE1E1E1, ExposureMask | ButtonPressMask | ButtonReleaseMask, 1);
    XStoreName(xd.d, box.button, "OK");
    XMapWindow(xd.d, box.button);
    XMapRaised(xd.d, box.window);
}

void FinishBox(Box& box) {
    if (box.window != 0) XDestroyWindow(xd.d, box.window);
    box.window = box.button = 0;
    std::lock_guard<std::mutex> lock(g->mutex);
    box.state = BoxState::kDone;
    g->cv.notify_all();
}

// ---- events ----

void HandleBoxEvent(Box& box, XEvent& e) {
    switch (e.type) {
    case Expose:
        if (e.xexpose.count != 0) break;
        if (e.xexpose.window == box.button)
            DrawButton(box);
        else
            DrawBox(box);
        break;
    case MapNotify:
        if (e.xmap.window == box.window)
            XSetInputFocus(xd.d, box.window, RevertToPointerRoot, CurrentTime);
        break;
    case VisibilityNotify:
        if (e.xvisibility.state != VisibilityUnobscured) {
            // Raised again, but not in a tight loop against another box.
            const auto now = std::chrono::steady_clock::now();
            if (now - box.lastRaise > std::chrono::milliseconds(200)) {
                box.lastRaise = now;
                XRaiseWindow(xd.d, box.window);
            }
        }
        break;
    case KeyPress: {
        const KeySym key = XLookupKeysym(&e.xkey, 0);
        if (key == XK_Return || key == XK_KP_Enter || key == XK_Escape) FinishBox(box);
        break;
    }
    case ButtonRelease:
        if (e.xbutton.window == box.button && e.xbutton.button == Button1 && e.xbutton.x >= 0 &&
            e.xbutton.y >= 0 && e.xbutton.x < box.buttonWidth && e.xbutton.y < box.buttonHeight)
            FinishBox(box);
        break;
    case ClientMessage:
        if (static_cast<Atom>(e.xclient.data.l[0]) == xd.deleteWindow) FinishBox(box);
        break;
    default: break;
    }
}

void HandleEvent(XEvent& e) {
    const Window w = e.xany.window;
    if (w != 0 && w == xd.main) {
        if (e.type == Expose && e.xexpose.count == 0) {
            std::lock_guard<std::mutex> lock(g->mutex);
            g->exposed = true;
        } else if (e.type == ClientMessage &&
                   static_cast<Atom>(e.xclient.data.l[0]) == xd.deleteWindow) {
            XDestroyWindow(xd.d, xd.main);
            xd.main = 0;
            std::lock_guard<std::mutex> lock(g->mutex);
            g->closed = true;
        }
        return;
    }
    for (Box& box : g->boxes) {
        // The window fields are the display thread's; only state needs the lock.
        if (box.window != 0 && (w == box.window || w == box.button)) {
            HandleBoxEvent(box, e);
            return;
        }
    }
}

// ---- the thread ----

int OnProtocolError(Display*, XErrorEvent*) {
    return 0; // a request on a window that went away: nothing to do
}

// Xlib ends the process when this returns, so it never does: the thread
// stays here for good and the program goes on headless.
int OnConnectionLost(Display*) {
    {
        std::lock_guard<std::mutex> lock(g->mutex);
        g->phase = Phase::kLost;
        g->cv.notify_all();
    }
    g_inUse = false;
    SetUiBackend(nullptr);
    (void)!::write(2, kLostMessage, std::strlen(kLostMessage));
    for (;;) ::pause();
}

void Setup() {
    xd.screen = DefaultScreen(xd.d);
    xd.visual = DefaultVisual(xd.d, xd.screen);
    xd.depth = DefaultDepth(xd.d, xd.screen);
    xd.colormap = DefaultColormap(xd.d, xd.screen);
    xd.gc = XCreateGC(xd.d, RootWindow(xd.d, xd.screen), 0, nullptr);
    xd.font = XQueryFont(xd.d, XGContextFromGC(xd.gc));
    if (xd.font != nullptr) {
        xd.ascent = xd.font->ascent;
        xd.descent = xd.font->descent;
    }
    xd.deleteWindow = XInternAtom(xd.d, "WM_DELETE_WINDOW", False);
    xd.netName = XInternAtom(xd.d, "_NET_WM_NAME", False);
    xd.utf8 = XInternAtom(xd.d, "UTF8_STRING", False);
    xd.netState = XInternAtom(xd.d, "_NET_WM_STATE", False);
    xd.netAbove = XInternAtom(xd.d, "_NET_WM_STATE_ABOVE", False);
    xd.netType = XInternAtom(xd.d, "_NET_WM_WINDOW_TYPE", False);
    xd.netDialog = XInternAtom(xd.d, "_NET_WM_WINDOW_TYPE_DIALOG", False);
    xd.netPid = XInternAtom(xd.d, "_NET_WM_PID", False);
    xd.textProperty = XInternAtom(xd.d, "WTALVOC_TEXT", False);
}

void Teardown() {
    for (Box& box : g->boxes)
        if (box.window != 0) FinishBox(box);
    {
        std::lock_guard<std::mutex> lock(g->mutex);
        for (Box& box : g->boxes)
            if (box.state == BoxState::kAsked || box.state == BoxState::kCancel)
                box.state = BoxState::kDone;
        g->cv.notify_all();
    }
    if (xd.main != 0) XDestroyWindow(xd.d, xd.main);
    xd.main = 0;
    for (auto& i : xd.images)
        if (i.image != nullptr) XDestroyImage(i.image);
    xd.images = {};
    if (xd.font != nullptr) XFreeFontInfo(nullptr, xd.font, 1);
    xd.font = nullptr;
    XFreeGC(xd.d, xd.gc);
    XCloseDisplay(xd.d);
    xd.d = nullptr;
}

// Requests of one turn, taken under the lock and done without it.
struct Work {
    bool create, show, destroy, paint, stop;
    char title[kName], className[kName];
    int left, top, width, height;
    bool iconic;
    PaintList list;
    std::array<bool, kMaxBoxes> newBoxes;
    std::array<bool, kMaxBoxes> cancelled;
};

void TakeWork(Work& w) {
    std::lock_guard<std::mutex> lock(g->mutex);
    w.create = g->createAsked;
    w.show = g->showAsked;
    w.destroy = g->destroyAsked;
    w.paint = g->paintAsked;
    w.stop = g->stop;
    g->createAsked = g->showAsked = g->destroyAsked = g->paintAsked = false;
    if (w.create) {
        CopyText(w.title, sizeof w.title, g->title);
        CopyText(w.className, sizeof w.className, g->className);
        w.left = g->x;
        w.top = g->y;
        w.width = g->width;
        w.height = g->height;
        w.iconic = g->iconic;
    }
    if (w.paint) w.list = g->paint;
    for (int i = 0; i < kMaxBoxes; ++i) {
        Box& box = g->boxes[static_cast<std::size_t>(i)];
        w.newBoxes[static_cast<std::size_t>(i)] = box.state == BoxState::kAsked;
        w.cancelled[static_cast<std::size_t>(i)] = box.state == BoxState::kCancel;
        if (box.state == BoxState::kAsked) box.state = BoxState::kShown;
    }
}

void* DisplayThread(void*) {
    Display* d = XOpenDisplay(nullptr);
    {
        std::lock_guard<std::mutex> lock(g->mutex);
        if (d == nullptr || g->abandon) {
            g->phase = Phase::kFailed;
            g->cv.notify_all();
            if (d != nullptr) XCloseDisplay(d);
            return nullptr;
        }
        g->phase = Phase::kRunning;
        g->cv.notify_all();
    }
    xd.d = d;
    Setup();
    static Work work; // one turn's requests (the paint list is large)
    for (;;) {
        TakeWork(work);
        if (work.stop) {
            Teardown();
            std::lock_guard<std::mutex> lock(g->mutex);
            g->phase = Phase::kClosed;
            g->cv.notify_all();
            return nullptr;
        }
        if (work.create)
            CreateMain(work.title, work.className, work.left, work.top, work.width, work.height,
                       work.iconic);
        if (work.show && xd.main != 0) XMapWindow(xd.d, xd.main);
        if (work.paint) PaintMain(work.list);
        if (work.destroy && xd.main != 0) {
            XDestroyWindow(xd.d, xd.main);
            xd.main = 0;
        }
        for (int i = 0; i < kMaxBoxes; ++i)
            if (work.newBoxes[static_cast<std::size_t>(i)])
                CreateBox(g->boxes[static_cast<std::size_t>(i)], i);
        for (int i = 0; i < kMaxBoxes; ++i)
            if (work.cancelled[static_cast<std::size_t>(i)])
                FinishBox(g->boxes[static_cast<std::size_t>(i)]);
        XFlush(xd.d);
        while (XPending(xd.d) > 0) {
            XEvent e;
            XNextEvent(xd.d, &e);
            HandleEvent(e);
        }
        XFlush(xd.d);
        pollfd fds[2] = {{ConnectionNumber(xd.d), POLLIN, 0}, {g->wake[0], POLLIN, 0}};
        if (::poll(fds, 2, -1) > 0 && (fds[1].revents & POLLIN) != 0) {
            char drain[64];
            while (::read(g->wake[0], drain, sizeof drain) > 0) {
            }
        }
    }
}

// ---- the back end's entries (any thread but the display thread) ----

int X11Box(const char* text, const char* caption, unsigned style) {
    HeadlessMessageBox(text, caption, style); // the program's log keeps every message
    std::unique_lock<std::mutex> lock(g->mutex);
    if (g->phase != Phase::kRunning) return kIdOk;
    Box* box = nullptr;
    for (Box& b : g->boxes)
        if (b.state == BoxState::kFree) {
            box = &b;
            break;
        }
    if (box == nullptr) return kIdOk; // more boxes at once than kept: shown in the log only
    CopyText(box->text, sizeof box->text, text);
    CopyText(box->caption, sizeof box->caption, caption);
    box->style = style;
    box->state = BoxState::kAsked;
    Wake();
    const bool mainThread = pthread_equal(pthread_self(), g_mainThread) != 0;
    const auto answered = [&] {
        return box->state == BoxState::kDone || g->phase != Phase::kRunning;
    };
    while (!g->cv.wait_for(lock, std::chrono::milliseconds(200), answered)) {
        // A stop request (SIGTERM, another copy) closes a box of the main
        // thread, which then goes on to handle it.
        if (mainThread && box->state != BoxState::kCancel && InstanceStopPending()) {
            box->state = BoxState::kCancel;
            Wake();
        }
    }
    // Done, or the display thread has ended or stopped for good.
    box->state = BoxState::kFree;
    return kIdOk;
}

void X11WindowCreated(const WindowSpec& shape) {
    std::lock_guard<std::mutex> lock(g->mutex);
    CopyText(g->className, sizeof g->className, shape.className);
    CopyText(g->title, sizeof g->title, shape.title);
    g->x = shape.x;
    g->y = shape.y;
    g->width = shape.width > 0 ? shape.width : 1;
    g->height = shape.height > 0 ? shape.height : 1;
    g->iconic = shape.minimised;
    g->createAsked = true;
    Wake();
}

void X11WindowShow() {
    std::lock_guard<std::mutex> lock(g->mutex);
    g->showAsked = true;
    Wake();
}

void X11WindowDestroyed() {
    std::lock_guard<std::mutex> lock(g->mutex);
    g->destroyAsked = true;
    Wake();
}

bool X11PollEvent(Message* message) {
    std::lock_guard<std::mutex> lock(g->mutex);
    if (g->closed) {
        g->closed = false;
        g->exposed = false;
        *message = Message{kMsgDestroy, 0, 0};
        return true;
    }
    if (g->exposed) {
        g->exposed = false;
        *message = Message{kMsgPaint, 0, 0};
        return true;
    }
    return false;
}

PaintList g_building; // the main thread's paint under way

void X11PaintBegin(PaintContext* paint) {
    g_building.count = 0;
    paint->backend = &g_building;
}

PaintOp* NextOp(PaintContext* paint) {
    auto* list = static_cast<PaintList*>(paint->backend);
    if (list == nullptr || list->count >= kMaxPaintOps) return nullptr;
    return &list->ops[static_cast<std::size_t>(list->count++)];
}

void X11PaintBitmap(PaintContext* paint, int id, int left, int top, int width, int height) {
    if (PaintOp* op = NextOp(paint)) *op = PaintOp{false, id, left, top, width, height, 0, ""};
}

void X11PaintText(PaintContext* paint, int left, int top, const char* utf8, std::uint32_t colour) {
    if (PaintOp* op = NextOp(paint)) {
        *op = PaintOp{true, 0, left, top, 0, 0, colour, ""};
        CopyText(op->utf8, sizeof op->utf8, utf8);
    }
}

void X11PaintEnd(PaintContext* paint) {
    auto* list = static_cast<PaintList*>(paint->backend);
    if (list == nullptr) return;
    std::lock_guard<std::mutex> lock(g->mutex);
    g->paint = *list;
    g->paintAsked = true;
    Wake();
}

const UiBackend kX11 = {X11Box,       X11WindowCreated, X11WindowShow,  X11WindowDestroyed,
                        X11PollEvent, X11PaintBegin,    X11PaintBitmap, X11PaintText,
                        X11PaintEnd};

} // namespace

bool SelectUiBackend(bool forceHeadless) {
    if (forceHeadless || g_inUse) return g_inUse;
    const char* display = std::getenv("DISPLAY");
    if (display == nullptr || display[0] == '\0') return false;
    char why[256];
    if (!LoadXlib(why, sizeof why)) {
        std::fprintf(stderr,
                     "wtalvoc: DISPLAY is %s but the display library cannot be loaded (%s); "
                     "going on without a window\n",
                     display, why);
        return false;
    }
    if (g == nullptr) {
        g = new State;
        if (::pipe2(g->wake, O_CLOEXEC | O_NONBLOCK) != 0) return false;
    } else {
        // Chosen again after a close: only once the last thread has ended.
        std::lock_guard<std::mutex> lock(g->mutex);
        if (g->phase != Phase::kClosed && g->phase != Phase::kFailed) return false;
        g->phase = Phase::kOpening;
        g->stop = g->abandon = false;
        g->createAsked = g->showAsked = g->destroyAsked = g->paintAsked = false;
        g->exposed = g->closed = false;
        for (Box& box : g->boxes) box.state = BoxState::kFree;
    }
    g_mainThread = pthread_self();
    XSetIOErrorHandler(OnConnectionLost);
    XSetErrorHandler(OnProtocolError);
    // Signals stay with the program's own threads.
    sigset_t all, saved;
    sigfillset(&all);
    pthread_sigmask(SIG_SETMASK, &all, &saved);
    const int made = pthread_create(&g->thread, nullptr, DisplayThread, nullptr);
    pthread_sigmask(SIG_SETMASK, &saved, nullptr);
    if (made != 0) return false;
    std::unique_lock<std::mutex> lock(g->mutex);
    g->cv.wait_for(lock, std::chrono::milliseconds(kOpenWaitMs),
                   [] { return g->phase != Phase::kOpening; });
    if (g->phase == Phase::kOpening) {
        g->abandon = true; // the thread closes what it opens late and ends
        pthread_detach(g->thread);
        return false;
    }
    if (g->phase != Phase::kRunning) {
        lock.unlock();
        pthread_join(g->thread, nullptr);
        return false;
    }
    g_inUse = true;
    SetUiBackend(&kX11);
    return true;
}

bool UiBackendIsX11() {
    return g_inUse;
}

void CloseUiBackend() {
    if (g == nullptr || !g_inUse) return;
    SetUiBackend(nullptr);
    g_inUse = false;
    std::unique_lock<std::mutex> lock(g->mutex);
    if (g->phase != Phase::kRunning) return; // lost: that thread stays where it is
    g->stop = true;
    Wake();
    g->cv.wait_for(lock, std::chrono::milliseconds(kCloseWaitMs),
                   [] { return g->phase != Phase::kRunning; });
    const bool closed = g->phase == Phase::kClosed;
    lock.unlock();
    if (closed)
        pthread_join(g->thread, nullptr);
    else
        pthread_detach(g->thread);
}

} // namespace plat
