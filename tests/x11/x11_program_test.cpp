// The real wtalvoc on the test display: its window (shape, iconic start,
// logo and text pixels), closing it, the CommErrors.txt dialog holding
// start-up until answered by Enter, Escape or a click, a display that goes
// away, --headless, and the program's two exports.
#include <gtest/gtest.h>

#include <X11/Xatom.h>
#include <X11/Xutil.h>
#include <X11/keysym.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>

#include "manager/logo.h"
#include "tests/requests/line_harness.h"
#include "tests/requests/table_files.h"
#include "tests/x11/xclient.h"

#ifndef WTALVOC_PATH
#define WTALVOC_PATH ""
#endif

namespace {

constexpr std::uint32_t kTextColour = 0x1E05AA; // red 30, green 5, blue 170
constexpr std::uint32_t kExclamationYellow = 0xF8C800;
const std::string kCommErrorsText =
    "O Arquivo CommErrors.txt esta com mais de 3 Megabytes, o que pode indicar\r\n"
    "possíveis problemas na comunicação com os Terminais/Catracas.\r\n"
    "Este arquivo registra erros detectados pela porta serial do PC.";

class DesktopTest : public ::testing::Test {
  protected:
    void SetUp() override {
        if (xtest::TestDisplay().empty()) GTEST_SKIP() << "no test display (WTALVOC_TEST_DISPLAY)";
        ASSERT_TRUE(x.ok()) << "cannot open " << xtest::TestDisplay();
    }
    // A manager with one table on the test display; `big` gives it a
    // CommErrors.txt of 3,000,001 bytes.
    void Start(bool big, std::vector<std::string> args = {}) {
        line = std::make_unique<linetest::Line>();
        linetest::WriteTable(line->path("ITEMS.DBF"), {{"NAME", 'C', 10}}, {"ANA", "BIA"});
        if (big) {
            std::FILE* f = std::fopen(line->path("CommErrors.txt").c_str(), "wb");
            ASSERT_NE(f, nullptr);
            std::fclose(f);
            std::filesystem::resize_file(line->path("CommErrors.txt"), 3000001);
        }
        line->set_launch({xtest::TestDisplay(), std::move(args)});
        ASSERT_TRUE(line->start({5}, {{"ITEMS.DBF", 'D'}})) << line->why();
    }
    bool Serves() {
        const linetest::Answer a = line->ask(5, 28, "");
        return a.ok && a.code == 28;
    }
    std::string Log() { return mtestRead(line->path("manager.out")); }
    static std::string mtestRead(const std::string& path) {
        std::string out;
        if (std::FILE* f = std::fopen(path.c_str(), "rb")) {
            char buf[4096];
            for (std::size_t n; (n = std::fread(buf, 1, sizeof buf, f)) > 0;) out.append(buf, n);
            std::fclose(f);
        }
        return out;
    }
    // Waits until the window shows both lines of text (it paints on expose).
    xtest::Image Painted(Window w) {
        xtest::Image image;
        for (int i = 0; i < 200; ++i) {
            image = x.grab(w);
            int text = 0;
            for (std::uint32_t p : image.pixels) text += p == kTextColour;
            if (text > 60) break;
            usleep(50000);
        }
        return image;
    }
    xtest::Client x;
    std::unique_ptr<linetest::Line> line;
};

TEST_F(DesktopTest, WindowHasItsShapeStartsIconicAndShowsTheLogoAndItsText) {
    Start(false);
    const Window w = x.find("TALVOC", "WTALVOC");
    ASSERT_NE(w, 0u) << Log();
    EXPECT_EQ(x.wm_class(w), "wtalvoc/TALVOC");
    EXPECT_EQ(x.wm_name(w), "WTALVOC");
    EXPECT_EQ(x.initial_state(w), IconicState);
    // Without a window manager the map is honoured at once.
    ASSERT_TRUE(x.wait_viewable(w));
    int left = 0, top = 0, width = 0, height = 0;
    ASSERT_TRUE(x.geometry(w, &left, &top, &width, &height));
    EXPECT_EQ(left, 10);
    EXPECT_EQ(top, 200);
    EXPECT_EQ(width, 220);
    EXPECT_EQ(height, 130);
    EXPECT_TRUE(Serves()) << Log();

    const xtest::Image image = Painted(w);
    ASSERT_EQ(image.width, 220);
    ASSERT_EQ(image.height, 130);
    if (const char* shot = std::getenv("WTALVOC_SCREENSHOT")) xtest::WritePng(shot, image);
    // The logo where no text stands, the text colour only where the two
    // lines stand, the white background below the logo.
    const std::uint32_t* logo = LogoPixels();
    int text[2] = {0, 0}, wrong = 0;
    for (int y = 0; y < 130; ++y)
        for (int px = 0; px < 220; ++px) {
            const std::uint32_t p = image.at(px, y);
            const int lineNo = px >= 65 && y >= 54 && y < 74   ? 0
                               : px >= 65 && y >= 75 && y < 95 ? 1
                                                               : -1;
            const std::uint32_t want = y < kLogoHeight ? logo[y * kLogoWidth + px] : 0xFFFFFF;
            if (lineNo >= 0 && p == kTextColour)
                ++text[lineNo];
            else if (p != want)
                ++wrong;
        }
    EXPECT_EQ(wrong, 0);
    EXPECT_GT(text[0], 30);
    EXPECT_GT(text[1], 30);
    EXPECT_EQ(line->stop(), 0);
}

TEST_F(DesktopTest, ClosingTheWindowStopsInOrderWithStatusZero) {
    Start(false);
    const Window w = x.find("TALVOC", "WTALVOC");
    ASSERT_NE(w, 0u) << Log();
    ASSERT_TRUE(Serves()) << Log();
    x.close(w);
    EXPECT_EQ(line->wait(60), 0) << Log();
    // Shutdown rewrote the table's header with today's date (written as 2000).
    const std::string bytes = mtestRead(line->path("ITEMS.DBF"));
    ASSERT_GE(bytes.size(), 4u);
    EXPECT_GE(static_cast<unsigned char>(bytes[1]), 126);
}

TEST_F(DesktopTest, CommErrorsDialogHoldsStartUpUntilAnswered) {
    const struct { const char* how; } cases[] = {{"enter"}, {"escape"}, {"click"}, {"sigterm"}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.how);
        Start(true);
        const Window box = x.find("TALVOCBOX", "Aviso");
        ASSERT_NE(box, 0u) << Log();
        EXPECT_EQ(x.wm_name(box), "Aviso");
        EXPECT_EQ(x.text_property(box, "WTALVOC_TEXT"), kCommErrorsText);
        ASSERT_TRUE(x.wait_viewable(box));
        // The exclamation icon, and start-up waiting: the window not shown yet.
        int yellow = 0;
        for (std::uint32_t p : x.grab(box).pixels) yellow += p == kExclamationYellow;
        EXPECT_GT(yellow, 100);
        const Window w = x.find("TALVOC", "", 500);
        EXPECT_TRUE(w == 0 || !x.viewable(w));

        if (std::string(c.how) == "sigterm") {
            // A stop request closes the box; start-up ends in order.
            EXPECT_EQ(line->stop(), 0) << Log();
            EXPECT_TRUE(x.gone(box));
            continue;
        }
        if (std::string(c.how) == "click") {
            const Window ok = x.child(box, "OK");
            ASSERT_NE(ok, 0u);
            x.click(ok);
        } else {
            ASSERT_TRUE(x.wait_focus(box));
            x.key(std::string(c.how) == "enter" ? XK_Return : XK_Escape);
        }
        EXPECT_TRUE(x.gone(box));
        const Window shown = x.find("TALVOC", "WTALVOC");
        ASSERT_NE(shown, 0u);
        EXPECT_TRUE(x.wait_viewable(shown));
        EXPECT_TRUE(Serves()) << Log();
        EXPECT_EQ(line->stop(), 0);
        // The box's text also reaches the log, as without a display.
        EXPECT_NE(Log().find("Aviso: O Arquivo CommErrors.txt esta com mais de 3 Megabytes"),
                  std::string::npos);
    }
}

TEST_F(DesktopTest, ADisplayThatGoesAwayLeavesTheManagerServingHeadless) {
    Start(true);
    const Window box = x.find("TALVOCBOX", "Aviso");
    ASSERT_NE(box, 0u) << Log();
    // The server drops the manager's connection while start-up waits on the box.
    x.kill_client(box);
    EXPECT_TRUE(Serves()) << Log();
    EXPECT_TRUE(Serves()) << Log();
    EXPECT_EQ(line->stop(), 0);
    const std::string log = Log();
    const std::string said = "the display went away";
    const std::size_t first = log.find(said);
    EXPECT_NE(first, std::string::npos) << log;
    EXPECT_EQ(log.find(said, first + 1), std::string::npos) << log;
}

TEST_F(DesktopTest, HeadlessOnTheCommandLineOpensNoWindow) {
    Start(true, {"--headless"});
    EXPECT_TRUE(Serves()) << Log();
    for (const char* cls : {"TALVOC", "TALVOCBOX"}) {
        const Window w = x.find(cls, "", 1000);
        EXPECT_EQ(w, 0u) << cls << " " << x.wm_name(w) << " of process "
                         << (x.cardinals(w, "_NET_WM_PID", XA_CARDINAL).empty()
                                 ? -1
                                 : x.cardinals(w, "_NET_WM_PID", XA_CARDINAL)[0]);
    }
    EXPECT_EQ(line->stop(), 0);
    EXPECT_NE(Log().find("Aviso: O Arquivo CommErrors.txt"), std::string::npos) << Log();
}

TEST(Exports, WindowProcedureAndPortSettingsAreInTheDynamicSymbolTable) {
    const std::string command = std::string("nm -D --defined-only '") + WTALVOC_PATH + "'";
    std::FILE* p = ::popen(command.c_str(), "r");
    ASSERT_NE(p, nullptr);
    std::string out;
    char buf[512];
    while (std::fgets(buf, sizeof buf, p) != nullptr) out += buf;
    ASSERT_EQ(::pclose(p), 0) << out;
    EXPECT_NE(out.find(" T ProcJan\n"), std::string::npos) << out;
    EXPECT_NE(out.find(" T _AtualizaPorta\n"), std::string::npos) << out;
}

} // namespace
