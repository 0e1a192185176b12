// The error-rate warning as a dialog on the test display, in-process with
// the link driver stood in for: the box waits on its own thread, stays above
// what covers it, and the poll pass goes on answering requests meanwhile; a
// click on OK re-arms the warning.
#include <gtest/gtest.h>

#include <X11/Xatom.h>

#include <cstdlib>

#include "manager/mainloop.h"
#include "manager/runtime.h"
#include "manager/warnings.h"
#include "platform/ui.h"
#include "platform/ui_x11.h"
#include "tests/manager/support.h"
#include "tests/x11/xclient.h"

namespace {

TEST(ErrorRateDialog, WaitsOnItsThreadStaysAboveAndTheLoopGoesOnServing) {
    if (xtest::TestDisplay().empty()) GTEST_SKIP() << "no test display (WTALVOC_TEST_DISPLAY)";
    xtest::Client x;
    ASSERT_TRUE(x.ok());
    ::setenv("DISPLAY", xtest::TestDisplay().c_str(), 1);
    ASSERT_TRUE(plat::SelectUiBackend(false));
    ASSERT_TRUE(plat::UiBackendIsX11());

    ResetRuntimeTables();
    mtest::FakeLink link;
    PolledCount = 1;
    PolledAddress[0] = 5;
    PolledSlot[0] = 0;
    // 35 link errors in a sample of 100 passes: 35 %, the stop icon.
    std::vector<bool> errors(100, false);
    for (int i = 0; i < 35; ++i) errors[static_cast<std::size_t>(i)] = true;
    link.queue_errors(errors);
    for (int i = 0; i < 100; ++i) ASSERT_EQ(PollPass(), -1);

    const Window box = x.find("TALVOCBOX", "Erros de comunicação");
    ASSERT_NE(box, 0u);
    EXPECT_EQ(x.text_property(box, "WTALVOC_TEXT"),
              "Em uma amostra de 100 comunicações 35% sinalizaram erros.\r\n"
              "Sua rede ou portas de comunicação podem estar com algum problema.");
    ASSERT_TRUE(x.wait_viewable(box));
    const Atom above = XInternAtom(x.display(), "_NET_WM_STATE_ABOVE", False);
    EXPECT_EQ(x.cardinals(box, "_NET_WM_STATE", XA_ATOM), std::vector<long>{long(above)});
    int red = 0;
    for (std::uint32_t p : x.grab(box).pixels) red += p == 0xD02020;
    EXPECT_GT(red, 100);

    // The loop still serves while the box is open, and no second box starts.
    link.queue_request({5, 28, {}});
    ASSERT_EQ(PollPass(), -1);
    ASSERT_EQ(link.sent.size(), 1u);
    EXPECT_EQ(link.sent[0].code, 28);
    EXPECT_EQ(RateWarningEnabled.load(), 0u);

    // A window mapped over the box: the box comes back on top.
    Display* d = x.display();
    const Window cover = XCreateSimpleWindow(d, DefaultRootWindow(d), 0, 0, 2000, 2000, 0, 0, 0);
    XMapRaised(d, cover);
    x.sync();
    bool onTop = false;
    for (int i = 0; i < 100 && !onTop; ++i) {
        Window root = 0, parent = 0, *children = nullptr;
        unsigned n = 0;
        XQueryTree(d, DefaultRootWindow(d), &root, &parent, &children, &n);
        int boxAt = -1, coverAt = -1;
        for (unsigned k = 0; k < n; ++k) {
            if (children[k] == box) boxAt = static_cast<int>(k);
            if (children[k] == cover) coverAt = static_cast<int>(k);
        }
        if (children != nullptr) XFree(children);
        onTop = boxAt > coverAt; // later children are above
        if (!onTop) usleep(50000);
    }
    EXPECT_TRUE(onTop);
    XDestroyWindow(d, cover);
    x.sync();

    const Window ok = x.child(box, "OK");
    ASSERT_NE(ok, 0u);
    x.click(ok);
    EXPECT_TRUE(WaitForRateWarning(20000));
    EXPECT_EQ(RateWarningEnabled.load(), 1u);
    EXPECT_TRUE(x.gone(box));
    plat::CloseUiBackend();
    EXPECT_FALSE(plat::UiBackendIsX11());
    ResetRuntimeTables();
}

} // namespace
