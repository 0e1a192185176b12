// Message boxes, the program's one window and its message loop.
//
// The headless back end is the one in use until another is put in: a
// message box writes one block to standard error, "caption: text" (just the
// text when the caption is empty), with the Windows-1252 texts converted to
// UTF-8 and CR LF shown as a line break, and returns at once as if OK had
// been pressed. The window exists only as its window procedure: creating it
// delivers the create message, painting never happens. A graphical back end
// (ui_x11.h) is put in with SetUiBackend without changing the callers: it
// receives UTF-8 texts, shows the window and feeds its events (paint, the
// user closing the window) into PeekMessage.
//
// Message numbers, box styles and results use the PC's values.
#pragma once

#include <cstddef>
#include <cstdint>

namespace plat {

// ---- message boxes ----

enum : unsigned {
    kMbOk = 0x0000,
    kMbIconHand = 0x0010, // the stop icon
    kMbIconQuestion = 0x0020,
    kMbIconExclamation = 0x0030,
    kMbIconAsterisk = 0x0040,
    kMbSystemModal = 0x1000,
};
inline constexpr int kIdOk = 1;

// Caption used when the caller passes none (null), as on the PC.
inline constexpr const char* kDefaultCaption = "Error";

// Shows text (Windows-1252) with caption (Windows-1252; null = the system's
// default caption, "" = none) and style; returns the button pressed (kIdOk).
// Safe to call from any thread; a box shown by one thread does not hold up
// another thread's box (the error-rate warning stays open while the main
// loop goes on).
int ShowMessageBox(const char* text, const char* caption, unsigned style);

// The headless box itself, on UTF-8 texts (caption "" = none): the one block
// on standard error. Graphical back ends write it too, so that the program's
// messages reach its log whichever back end shows them.
int HeadlessMessageBox(const char* utf8Text, const char* utf8Caption, unsigned style);

// Converts Windows-1252 text (zero-terminated) to UTF-8 into out (outSize
// bytes, always zero-terminated when outSize > 0), cutting at a character
// boundary when out is too small. The five byte values the code page leaves
// undefined become U+FFFD. Returns the length written.
std::size_t Cp1252ToUtf8(const char* in, char* out, std::size_t outSize);

// Test seam: while recording, boxes are kept here (raw Windows-1252 texts)
// instead of being shown. At most kMaxRecordedBoxes are kept; later ones are
// counted but not stored.
inline constexpr int kMaxRecordedBoxes = 16;
struct RecordedBox {
    char caption[128]; // "" for none; kDefaultCaption when null was passed
    char text[1024];
    unsigned style;
};
void StartRecordingBoxes(); // also forgets the boxes kept so far
void StopRecordingBoxes();
int RecordedBoxCount();
const RecordedBox* RecordedBoxAt(int index); // null outside 0..count-1

// ---- messages and the window ----

enum : std::uint32_t {
    kMsgCreate = 0x0001,
    kMsgDestroy = 0x0002,
    kMsgPaint = 0x000F,
    kMsgClose = 0x0010,
    kMsgQuit = 0x0012,
};

struct Message {
    std::uint32_t id;
    std::uintptr_t wParam;
    std::intptr_t lParam;
};

using WindowProc = std::intptr_t (*)(std::uint32_t message, std::uintptr_t wParam,
                                     std::intptr_t lParam);

struct WindowSpec {
    const char* className;
    const char* title;
    int x, y, width, height;
    bool minimised;
};

// Creates the window and runs its create message through proc before
// returning. One window per process: 87 when one exists already.
std::uint32_t WindowCreate(const WindowSpec& shape, WindowProc proc);

// Shows the window (nothing in the headless back end).
void WindowShow();

// Destroys the window as the user closing it would: proc gets the destroy
// message now; later messages are no longer delivered to it.
void WindowDestroy();

// Looks for a message without waiting and removes it: first a stop request
// (another copy starting, SIGTERM or SIGINT, see instance.h), which is
// handed to the window procedure as the destroy message right away, then the
// back end's events (the user closing the window is handled like a stop
// request: WindowDestroy), then posted messages in order. The quit message comes
// last, once the queue is empty; its wParam is the value given to
// PostQuitMessage. Returns false when there is nothing.
bool PeekMessage(Message* message);

// Hands a message to the window procedure (0 when there is no window).
std::intptr_t DispatchMessage(const Message& message);

// What the window procedure returns for messages it does not handle.
std::intptr_t DefWindowProc(std::uint32_t message, std::uintptr_t wParam, std::intptr_t lParam);

// Posts a message to the queue (false when the queue of 64 is full).
bool PostMessage(std::uint32_t id, std::uintptr_t wParam, std::intptr_t lParam);

// Asks the loop to end with exitCode: PeekMessage returns kMsgQuit.
void PostQuitMessage(int exitCode);

// ---- painting (inside the handling of kMsgPaint) ----

struct PaintContext {
    void* backend; // the back end's own state; null in the headless one
};
void PaintBegin(PaintContext* paint);
// Copies width x height pixels of the bitmap resource to (x, y).
void PaintBitmap(PaintContext* paint, int bitmapId, int x, int y, int width, int height);
// Draws count bytes of Windows-1252 text at (x, y) in the colour 0xBBGGRR,
// on a transparent background.
void PaintText(PaintContext* paint, int x, int y, const char* text, int count,
               std::uint32_t colour);
void PaintEnd(PaintContext* paint);

// ---- bitmap resources ----

// The program's pictures, handed in once at start-up (the pixels, 0xRRGGBB
// row by row, stay owned by the caller and must live as long as the
// program). At most kMaxBitmaps; 87 for a bad argument or a full table.
inline constexpr int kMaxBitmaps = 4;
struct BitmapResource {
    int id;
    int width, height;
    const std::uint32_t* pixels;
};
std::uint32_t BitmapRegister(int id, int width, int height, const std::uint32_t* pixels);
// The bitmap registered under id, or null.
const BitmapResource* BitmapFind(int id);

// ---- back ends ----

struct UiBackend {
    // Texts in UTF-8; returns the button.
    int (*messageBox)(const char* text, const char* caption, unsigned style);
    void (*windowCreated)(const WindowSpec& shape);
    void (*windowShow)();
    void (*windowDestroyed)();
    // Takes one pending event of the window without waiting.
    bool (*pollEvent)(Message* message);
    void (*paintBegin)(PaintContext* paint);
    void (*paintBitmap)(PaintContext* paint, int bitmapId, int x, int y, int width, int height);
    void (*paintText)(PaintContext* paint, int x, int y, const char* utf8, std::uint32_t colour);
    void (*paintEnd)(PaintContext* paint);
};

// Puts a back end in (null: the headless one). Members left null do nothing.
// Safe to call from any thread (a back end whose display went away puts the
// headless one back from its own thread).
void SetUiBackend(const UiBackend* backend);

} // namespace plat
