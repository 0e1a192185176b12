// The table of Xlib calls, filled from libX11.so.6 loaded at run time (see
// xlib_calls.h). The library stays loaded for the life of the process.
#define WTALVOC_XLIB_TABLE_ITSELF
#include "platform/xlib_calls.h"

#include <cstdio>
#include <dlfcn.h>
#include <mutex>

namespace plat {

XlibCalls xlib;

namespace {
std::once_flag g_once;
bool g_loaded = false;
char g_why[256] = "";
} // namespace

bool LoadXlib(char* why, std::size_t size) {
    std::call_once(g_once, [] {
        void* library = ::dlopen("libX11.so.6", RTLD_NOW | RTLD_LOCAL);
        if (library == nullptr) {
            const char* error = ::dlerror();
            std::snprintf(g_why, sizeof g_why, "%s",
                          error != nullptr ? error : "libX11.so.6 not found");
            return;
        }
        XlibCalls calls;
        bool complete = true;
#define WTALVOC_XLIB_FIND(name)                                                                    \
    if (complete) {                                                                                \
        calls.name = reinterpret_cast<decltype(calls.name)>(::dlsym(library, #name));              \
        if (calls.name == nullptr) {                                                               \
            std::snprintf(g_why, sizeof g_why, "libX11.so.6 lacks %s", #name);                     \
            complete = false;                                                                      \
        }                                                                                          \
    }
        WTALVOC_XLIB_CALLS(WTALVOC_XLIB_FIND)
#undef WTALVOC_XLIB_FIND
        if (!complete) return;
        xlib = calls;
        g_loaded = true;
    });
    if (!g_loaded && why != nullptr && size > 0) std::snprintf(why, size, "%s", g_why);
    return g_loaded;
}

} // namespace plat
