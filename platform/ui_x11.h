// The X11 back end of the user interface, and the choice of back end.
//
// The window and the message boxes live on an X display when one can be
// opened (DISPLAY), headless otherwise. Every Xlib call runs on one thread
// of the back end's own, which owns the connection: the main thread and the
// warning thread only hand it requests (create, show, paint, a box) and take
// its events (expose, the user closing the window). When the connection
// breaks, Xlib's fatal-error path ends on that thread, which then stops for
// good; the program puts the headless back end back, says so once on
// standard error and goes on. Open boxes are answered OK at that moment.
//
// The window: WM_CLASS "wtalvoc" / the class name, WM_NAME the title,
// the given position and size (fixed), initially iconic, closed by
// WM_DELETE_WINDOW. A box: a dialog titled by its caption, its text (also in
// the window property WTALVOC_TEXT, UTF-8), the icon of the style, and an
// OK child window that answers a click; Enter and Escape answer it too.
// System-modal boxes ask the window manager to keep them above and raise
// themselves whenever something covers them.
#pragma once

namespace plat {

// Chooses the back end once at start: headless when forceHeadless is set or
// no display can be opened, the X11 one otherwise. True when X11 was chosen.
bool SelectUiBackend(bool forceHeadless);

// Whether the X11 back end is the one in use (false once its display went away).
bool UiBackendIsX11();

// Closes the display (windows and boxes go) and ends the back end's thread;
// the headless back end is in use afterwards. Nothing when X11 is not in use.
void CloseUiBackend();

} // namespace plat
