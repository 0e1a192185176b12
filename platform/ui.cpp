// The headless user interface: message boxes on standard error, the window
// as its procedure only, and the message queue of the main loop.
#include "platform/ui.h"

#include "platform/errors.h"
#include "platform/instance.h"

#include <array>
#include <atomic>
#include <cstring>
#include <mutex>
#include <unistd.h>

namespace plat {

namespace {

// Windows-1252 0x80..0x9F; 0 marks the five undefined values.
constexpr std::array<std::uint16_t, 32> kHigh = {
    0x20AC, 0,      0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0,      0x017D, 0,      0,      0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0,      0x017E, 0x0178};

} // namespace

int HeadlessMessageBox(const char* text, const char* caption, unsigned) {
    // One block, written at once: "caption: text\n".
    thread_local char block[8192];
    std::size_t n = 0;
    auto put = [&](const char* s) {
        for (; *s && n + 2 < sizeof block; ++s) {
            if (s[0] == '\r' && s[1] == '\n') continue; // CR LF shows as one break
            block[n++] = *s;
        }
    };
    if (caption[0]) {
        put(caption);
        put(": ");
    }
    put(text);
    block[n++] = '\n';
    std::size_t off = 0;
    while (off < n) {
        ssize_t w = ::write(2, block + off, n - off);
        if (w <= 0) break;
        off += static_cast<std::size_t>(w);
    }
    return kIdOk;
}

namespace {

const UiBackend kHeadless = {
    HeadlessMessageBox, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr};

std::mutex g_boxMutex; // the recording and the choice of back end
// Read without the lock by the main thread; a back end may swap it from its
// own thread.
std::atomic<const UiBackend*> g_backend{&kHeadless};
const UiBackend* Backend() {
    return g_backend.load(std::memory_order_acquire);
}
bool g_recording = false;
int g_recordedCount = 0;
std::array<RecordedBox, kMaxRecordedBoxes> g_recorded;
std::array<BitmapResource, kMaxBitmaps> g_bitmaps{}; // pixels null = free

void CopyCut(char* out, std::size_t size, const char* in) {
    std::size_t n = std::strlen(in);
    if (n >= size) n = size - 1;
    std::memcpy(out, in, n);
    out[n] = '\0';
}

// The window and the queue: used from the main thread; the queue is guarded
// since other threads may post.
WindowProc g_proc = nullptr;
std::mutex g_queueMutex;
std::array<Message, 64> g_queue;
std::size_t g_head = 0, g_count = 0;
bool g_quit = false;
int g_quitCode = 0;

} // namespace

std::size_t Cp1252ToUtf8(const char* in, char* out, std::size_t outSize) {
    if (out == nullptr || outSize == 0) return 0;
    std::size_t n = 0;
    for (const unsigned char* p = reinterpret_cast<const unsigned char*>(in ? in : ""); *p; ++p) {
        std::uint32_t cp = *p;
        if (cp >= 0x80 && cp < 0xA0) cp = kHigh[cp - 0x80] ? kHigh[cp - 0x80] : 0xFFFD;
        char enc[3];
        std::size_t len;
        if (cp < 0x80) {
            enc[0] = static_cast<char>(cp);
            len = 1;
        } else if (cp < 0x800) {
            enc[0] = static_cast<char>(0xC0 | (cp >> 6));
            enc[1] = static_cast<char>(0x80 | (cp & 0x3F));
            len = 2;
        } else {
            enc[0] = static_cast<char>(0xE0 | (cp >> 12));
            enc[1] = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
            enc[2] = static_cast<char>(0x80 | (cp & 0x3F));
            len = 3;
        }
        if (n + len + 1 > outSize) break;
        std::memcpy(out + n, enc, len);
        n += len;
    }
    out[n] = '\0';
    return n;
}

int ShowMessageBox(const char* text, const char* caption, unsigned style) {
    if (text == nullptr) text = "";
    if (caption == nullptr) caption = kDefaultCaption;
    std::unique_lock<std::mutex> g(g_boxMutex);
    if (g_recording) {
        if (g_recordedCount < kMaxRecordedBoxes) {
            RecordedBox& box = g_recorded[static_cast<std::size_t>(g_recordedCount)];
            CopyCut(box.caption, sizeof box.caption, caption);
            CopyCut(box.text, sizeof box.text, text);
            box.style = style;
        }
        ++g_recordedCount;
        return kIdOk;
    }
    const UiBackend* backend = Backend();
    g.unlock();
    // Not under the lock: with a graphical back end a box waits for the user,
    // and another thread's box must not wait for that one to close.
    thread_local char utf8Text[6144];
    thread_local char utf8Caption[512];
    Cp1252ToUtf8(text, utf8Text, sizeof utf8Text);
    Cp1252ToUtf8(caption, utf8Caption, sizeof utf8Caption);
    if (backend->messageBox == nullptr) return kIdOk;
    return backend->messageBox(utf8Text, utf8Caption, style);
}

void StartRecordingBoxes() {
    std::lock_guard<std::mutex> g(g_boxMutex);
    g_recording = true;
    g_recordedCount = 0;
}

void StopRecordingBoxes() {
    std::lock_guard<std::mutex> g(g_boxMutex);
    g_recording = false;
}

int RecordedBoxCount() {
    std::lock_guard<std::mutex> g(g_boxMutex);
    return g_recordedCount;
}

const RecordedBox* RecordedBoxAt(int index) {
    std::lock_guard<std::mutex> g(g_boxMutex);
    if (index < 0 || index >= g_recordedCount || index >= kMaxRecordedBoxes) return nullptr;
    return &g_recorded[static_cast<std::size_t>(index)];
}

void SetUiBackend(const UiBackend* backend) {
    std::lock_guard<std::mutex> g(g_boxMutex);
    g_backend.store(backend ? backend : &kHeadless, std::memory_order_release);
}

std::uint32_t WindowCreate(const WindowSpec& shape, WindowProc proc) {
    if (proc == nullptr || g_proc != nullptr) return Fail(kErrInvalidParameter);
    g_proc = proc;
    if (const UiBackend* b = Backend(); b->windowCreated) b->windowCreated(shape);
    g_proc(kMsgCreate, 0, 0);
    return kErrSuccess;
}

void WindowShow() {
    if (const UiBackend* b = Backend(); b->windowShow) b->windowShow();
}

void WindowDestroy() {
    WindowProc proc = g_proc;
    if (proc == nullptr) return;
    proc(kMsgDestroy, 0, 0);
    g_proc = nullptr;
    if (const UiBackend* b = Backend(); b->windowDestroyed) b->windowDestroyed();
}

bool PeekMessage(Message* message) {
    if (message == nullptr) return false;
    // A stop request is sent, not posted: the destroy goes to the window now
    // and the requester learns that it arrived.
    int token = -1;
    if (InstancePollStop(&token)) {
        if (g_proc != nullptr)
            WindowDestroy();
        else
            PostQuitMessage(0);
        InstanceFinishStop(token);
    }
    const UiBackend* backend = Backend();
    if (backend->pollEvent && backend->pollEvent(message)) {
        // The user closed the window: destroyed as a stop request destroys it.
        if (message->id != kMsgDestroy) return true;
        if (g_proc != nullptr) WindowDestroy();
    }
    std::lock_guard<std::mutex> g(g_queueMutex);
    if (g_count > 0) {
        *message = g_queue[g_head];
        g_head = (g_head + 1) % g_queue.size();
        --g_count;
        return true;
    }
    if (g_quit) {
        g_quit = false;
        *message = Message{kMsgQuit, static_cast<std::uintptr_t>(g_quitCode), 0};
        return true;
    }
    return false;
}

std::intptr_t DispatchMessage(const Message& message) {
    if (g_proc == nullptr) return 0;
    return g_proc(message.id, message.wParam, message.lParam);
}

std::intptr_t DefWindowProc(std::uint32_t, std::uintptr_t, std::intptr_t) {
    return 0;
}

bool PostMessage(std::uint32_t id, std::uintptr_t wParam, std::intptr_t lParam) {
    std::lock_guard<std::mutex> g(g_queueMutex);
    if (g_count == g_queue.size()) return false;
    g_queue[(g_head + g_count) % g_queue.size()] = Message{id, wParam, lParam};
    ++g_count;
    return true;
}

void PostQuitMessage(int exitCode) {
    std::lock_guard<std::mutex> g(g_queueMutex);
    g_quit = true;
    g_quitCode = exitCode;
}

std::uint32_t BitmapRegister(int id, int width, int height, const std::uint32_t* pixels) {
    if (pixels == nullptr || width <= 0 || height <= 0 || width > 4096 || height > 4096)
        return Fail(kErrInvalidParameter);
    std::lock_guard<std::mutex> g(g_boxMutex);
    for (BitmapResource& b : g_bitmaps) {
        if (b.pixels != nullptr && b.id != id) continue;
        b = BitmapResource{id, width, height, pixels};
        return kErrSuccess;
    }
    return Fail(kErrInvalidParameter);
}

const BitmapResource* BitmapFind(int id) {
    std::lock_guard<std::mutex> g(g_boxMutex);
    for (const BitmapResource& b : g_bitmaps)
        if (b.pixels != nullptr && b.id == id) return &b;
    return nullptr;
}

void PaintBegin(PaintContext* paint) {
    if (paint == nullptr) return;
    paint->backend = nullptr;
    if (const UiBackend* b = Backend(); b->paintBegin) b->paintBegin(paint);
}

void PaintBitmap(PaintContext* paint, int bitmapId, int x, int y, int width, int height) {
    const UiBackend* b = Backend();
    if (paint && b->paintBitmap) b->paintBitmap(paint, bitmapId, x, y, width, height);
}

void PaintText(PaintContext* paint, int x, int y, const char* text, int count,
               std::uint32_t colour) {
    const UiBackend* b = Backend();
    if (paint == nullptr || text == nullptr || count <= 0 || b->paintText == nullptr) return;
    char raw[256];
    std::size_t n = static_cast<std::size_t>(count) < sizeof raw - 1
                        ? static_cast<std::size_t>(count)
                        : sizeof raw - 1;
    std::memcpy(raw, text, n);
    raw[n] = '\0';
    char utf8[768];
    Cp1252ToUtf8(raw, utf8, sizeof utf8);
    b->paintText(paint, x, y, utf8, colour);
}

void PaintEnd(PaintContext* paint) {
    if (const UiBackend* b = Backend(); paint && b->paintEnd) b->paintEnd(paint);
}

} // namespace plat
