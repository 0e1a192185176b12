// The Xlib calls of the X11 back end, reached through a table filled when
// the back end is chosen: libX11.so.6 is loaded with dlopen only when a
// display is named, so the programs do not depend on the X libraries and a
// headless site needs none installed. Included last by ui_x11.cpp, whose
// calls XOpenDisplay(...) etc. then go through the table (the macros at the
// end); XDestroyImage and XPutPixel are Xlib's own macros over the image's
// function table and need no entry.
#pragma once

#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/keysym.h>

#include <cstddef>

#define WTALVOC_XLIB_CALLS(X)                                                                      \
    X(XAllocColor)                                                                                 \
    X(XAllocSizeHints)                                                                             \
    X(XAllocWMHints)                                                                               \
    X(XChangeProperty)                                                                             \
    X(XCloseDisplay)                                                                               \
    X(XCreateGC)                                                                                   \
    X(XCreateImage)                                                                                \
    X(XCreateWindow)                                                                               \
    X(XDestroyWindow)                                                                              \
    X(XDrawLine)                                                                                   \
    X(XDrawString)                                                                                 \
    X(XFillArc)                                                                                    \
    X(XFillPolygon)                                                                                \
    X(XFillRectangle)                                                                              \
    X(XFlush)                                                                                      \
    X(XFree)                                                                                       \
    X(XFreeFontInfo)                                                                               \
    X(XFreeGC)                                                                                     \
    X(XGContextFromGC)                                                                             \
    X(XInternAtom)                                                                                 \
    X(XLookupKeysym)                                                                               \
    X(XMapRaised)                                                                                  \
    X(XMapWindow)                                                                                  \
    X(XNextEvent)                                                                                  \
    X(XOpenDisplay)                                                                                \
    X(XPending)                                                                                    \
    X(XPutImage)                                                                                   \
    X(XQueryFont)                                                                                  \
    X(XRaiseWindow)                                                                                \
    X(XSetClassHint)                                                                               \
    X(XSetErrorHandler)                                                                            \
    X(XSetForeground)                                                                              \
    X(XSetIOErrorHandler)                                                                          \
    X(XSetInputFocus)                                                                              \
    X(XSetLineAttributes)                                                                          \
    X(XSetWMHints)                                                                                 \
    X(XSetWMNormalHints)                                                                           \
    X(XSetWMProtocols)                                                                             \
    X(XStoreName)                                                                                  \
    X(XTextWidth)

namespace plat {

struct XlibCalls {
#define WTALVOC_XLIB_MEMBER(name) decltype(&::name) name = nullptr;
    WTALVOC_XLIB_CALLS(WTALVOC_XLIB_MEMBER)
#undef WTALVOC_XLIB_MEMBER
};

extern XlibCalls xlib;

// Loads libX11.so.6 once and fills xlib. True when every call was found;
// otherwise false with the loader's reason in why (the table stays unused).
bool LoadXlib(char* why, std::size_t size);

} // namespace plat

#ifndef WTALVOC_XLIB_TABLE_ITSELF
#define XAllocColor plat::xlib.XAllocColor
#define XAllocSizeHints plat::xlib.XAllocSizeHints
#define XAllocWMHints plat::xlib.XAllocWMHints
#define XChangeProperty plat::xlib.XChangeProperty
#define XCloseDisplay plat::xlib.XCloseDisplay
#define XCreateGC plat::xlib.XCreateGC
#define XCreateImage plat::xlib.XCreateImage
#define XCreateWindow plat::xlib.XCreateWindow
#define XDestroyWindow plat::xlib.XDestroyWindow
#define XDrawLine plat::xlib.XDrawLine
#define XDrawString plat::xlib.XDrawString
#define XFillArc plat::xlib.XFillArc
#define XFillPolygon plat::xlib.XFillPolygon
#define XFillRectangle plat::xlib.XFillRectangle
#define XFlush plat::xlib.XFlush
#define XFree plat::xlib.XFree
#define XFreeFontInfo plat::xlib.XFreeFontInfo
#define XFreeGC plat::xlib.XFreeGC
#define XGContextFromGC plat::xlib.XGContextFromGC
#define XInternAtom plat::xlib.XInternAtom
#define XLookupKeysym plat::xlib.XLookupKeysym
#define XMapRaised plat::xlib.XMapRaised
#define XMapWindow plat::xlib.XMapWindow
#define XNextEvent plat::xlib.XNextEvent
#define XOpenDisplay plat::xlib.XOpenDisplay
#define XPending plat::xlib.XPending
#define XPutImage plat::xlib.XPutImage
#define XQueryFont plat::xlib.XQueryFont
#define XRaiseWindow plat::xlib.XRaiseWindow
#define XSetClassHint plat::xlib.XSetClassHint
#define XSetErrorHandler plat::xlib.XSetErrorHandler
#define XSetForeground plat::xlib.XSetForeground
#define XSetIOErrorHandler plat::xlib.XSetIOErrorHandler
#define XSetInputFocus plat::xlib.XSetInputFocus
#define XSetLineAttributes plat::xlib.XSetLineAttributes
#define XSetWMHints plat::xlib.XSetWMHints
#define XSetWMNormalHints plat::xlib.XSetWMNormalHints
#define XSetWMProtocols plat::xlib.XSetWMProtocols
#define XStoreName plat::xlib.XStoreName
#define XTextWidth plat::xlib.XTextWidth
#endif
