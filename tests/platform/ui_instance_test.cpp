// Device names, message boxes, the message loop, and single instance with
// stopping by a second copy or by a signal.
#include "platform/devices.h"
#include "platform/errors.h"
#include "platform/instance.h"
#include "platform/sync.h"
#include "platform/ui.h"
#include "tests/platform/scratch_dir.h"

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

namespace fs = std::filesystem;
using namespace plat;

namespace {

class Devices : public testing_support::ScratchDir {};

TEST_F(Devices, NamesMapToLocalEntriesOrStandardDevices) {
    EXPECT_EQ(DeviceNumber("COM1"), 0);
    EXPECT_EQ(DeviceNumber("com4"), 3);
    EXPECT_EQ(DeviceNumber("LPT2:"), 5);
    EXPECT_EQ(DeviceNumber("\\\\.\\COM2"), 1);
    EXPECT_EQ(DeviceNumber("COM5"), -1);
    EXPECT_EQ(DeviceNumber("COM"), -1);
    EXPECT_EQ(DeviceNumber("COM10"), -1);
    EXPECT_EQ(DeviceNumber(nullptr), -1);
    EXPECT_STREQ(DeviceName(4), "LPT1");
    EXPECT_EQ(DeviceName(6), nullptr);
    EXPECT_EQ(DeviceName(-1), nullptr);

    char out[kMaxPath];
    ASSERT_EQ(ResolveDevice("COM3", out, sizeof out), 0u);
    EXPECT_STREQ(out, "/dev/ttyS2");
    ASSERT_EQ(ResolveDevice("LPT1", out, sizeof out), 0u);
    EXPECT_STREQ(out, "/dev/lp0");
    EXPECT_EQ(ResolveDevice("PRN", out, sizeof out), kErrInvalidParameter);

    // An entry of that name in the working directory wins, any letter case.
    WriteFile("printer.out", "");
    fs::create_symlink(dir_ / "printer.out", "lpt1");
    ASSERT_EQ(ResolveDevice("LPT1", out, sizeof out), 0u);
    EXPECT_STREQ(out, "lpt1");
    FileHandle h;
    ASSERT_EQ(DeviceOpen("LPT1", &h), 0u);
    std::uint32_t done;
    ASSERT_EQ(FileWrite(h, "texto", 5, &done), 0u);
    FileClose(h);
    EXPECT_EQ(ReadFile("printer.out"), "texto");
}

TEST_F(Devices, MissingDevicesGiveFileNotFound) {
    fs::create_symlink("/nonexistent/ttyUSB9", "COM2");
    FileHandle h;
    EXPECT_EQ(DeviceOpen("COM2", &h), kErrFileNotFound);
    EXPECT_EQ(h, kNoFile);
    EXPECT_EQ(LastError(), kErrFileNotFound);
    if (!fs::exists("/dev/ttyS3")) {
        EXPECT_EQ(DeviceOpen("COM4", &h), kErrFileNotFound);
    }
}

TEST_F(Devices, ALinkToAPseudoTerminalOpensWithoutWaiting) {
    int master = ::posix_openpt(O_RDWR | O_NOCTTY);
    ASSERT_GE(master, 0);
    ASSERT_EQ(::grantpt(master), 0);
    ASSERT_EQ(::unlockpt(master), 0);
    fs::create_symlink(::ptsname(master), "com1");
    FileHandle h;
    ASSERT_EQ(DeviceOpen("COM1", &h), 0u);
    struct termios raw;
    ASSERT_EQ(::tcgetattr(h, &raw), 0);
    ::cfmakeraw(&raw);
    ASSERT_EQ(::tcsetattr(h, TCSANOW, &raw), 0);
    std::uint32_t done = 0;
    ASSERT_EQ(FileWrite(h, "abc", 3, &done), 0u);
    EXPECT_EQ(done, 3u);
    char buf[8] = {};
    EXPECT_EQ(::read(master, buf, sizeof buf), 3);
    EXPECT_STREQ(buf, "abc");
    FileClose(h);
    ::close(master);
}

TEST(MessageBoxes, Cp1252BecomesUtf8) {
    char out[64];
    Cp1252ToUtf8("Vers\xE3o n\xBA"
                 "1 \x80\x81",
                 out, sizeof out);
    EXPECT_STREQ(out, "Vers\xC3\xA3o n\xC2\xBA"
                      "1 \xE2\x82\xAC\xEF\xBF\xBD");
    // Cut at a character boundary, always terminated.
    char small[5];
    EXPECT_EQ(Cp1252ToUtf8("ab\xE7\xE3", small, sizeof small), 4u);
    EXPECT_STREQ(small, "ab\xC3\xA7");
    char tiny[4];
    EXPECT_EQ(Cp1252ToUtf8("ab\xE7", tiny, sizeof tiny), 2u);
    EXPECT_STREQ(tiny, "ab");
}

TEST(MessageBoxes, HeadlessBoxesGoToStandardErrorAsOneBlock) {
    testing::internal::CaptureStderr();
    EXPECT_EQ(ShowMessageBox("Erro 2 na Abertura da Porta de Comunica\xE7\xE3o", "Aviso",
                             kMbOk | kMbIconExclamation),
              kIdOk);
    ShowMessageBox("linha 1\r\nlinha 2", "", kMbSystemModal);
    ShowMessageBox("sem legenda", nullptr, kMbOk);
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(err, "Aviso: Erro 2 na Abertura da Porta de Comunica\xC3\xA7\xC3\xA3o\n"
                   "linha 1\nlinha 2\n"
                   "Error: sem legenda\n");
}

TEST(MessageBoxes, RecordingKeepsTheRawTexts) {
    StartRecordingBoxes();
    testing::internal::CaptureStderr();
    ShowMessageBox("Excecao n\xBA"
                   "1 em LePorta",
                   "Dravo.dll: Excecao Fatal", kMbSystemModal | kMbIconHand);
    ShowMessageBox(nullptr, nullptr, 0);
    std::string big(5000, 'x');
    for (int i = 0; i < kMaxRecordedBoxes + 3; ++i) ShowMessageBox(big.c_str(), "c", 0);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    StopRecordingBoxes();
    ASSERT_EQ(RecordedBoxCount(), kMaxRecordedBoxes + 5);
    const RecordedBox* box = RecordedBoxAt(0);
    ASSERT_NE(box, nullptr);
    EXPECT_STREQ(box->text, "Excecao n\xBA"
                            "1 em LePorta");
    EXPECT_STREQ(box->caption, "Dravo.dll: Excecao Fatal");
    EXPECT_EQ(box->style, kMbSystemModal | kMbIconHand);
    EXPECT_STREQ(RecordedBoxAt(1)->caption, kDefaultCaption);
    EXPECT_STREQ(RecordedBoxAt(1)->text, "");
    EXPECT_EQ(std::strlen(RecordedBoxAt(2)->text), sizeof box->text - 1);
    EXPECT_EQ(RecordedBoxAt(kMaxRecordedBoxes), nullptr);
    EXPECT_EQ(RecordedBoxAt(-1), nullptr);
}

// A graphical back end whose box stays open until released.
plat::Event g_release;
std::atomic<int> g_shown{0};
std::string g_lastText;
int BlockingBox(const char* text, const char*, unsigned) {
    ++g_shown;
    if (std::strcmp(text, "espera") == 0)
        EventWait(&g_release, 60000);
    else
        g_lastText = text;
    return kIdOk;
}

TEST(MessageBoxes, AnOpenBoxDoesNotHoldUpAnotherThreadsBox) {
    static const UiBackend backend = {BlockingBox, nullptr, nullptr, nullptr, nullptr,
                                      nullptr,     nullptr, nullptr, nullptr};
    SetUiBackend(&backend);
    EventCreate(&g_release, true, false);
    g_shown = 0;
    Thread t;
    ASSERT_EQ(ThreadCreate(
                  &t,
                  [](void*) -> std::uint32_t {
                      return static_cast<std::uint32_t>(ShowMessageBox("espera", "Aviso", 0));
                  },
                  nullptr, 10240),
              0u);
    while (g_shown.load() == 0) Sleep(1);
    // The first box is open; this one is shown and answered all the same,
    // and the back end gets UTF-8.
    EXPECT_EQ(ShowMessageBox("Comunica\xE7\xE3o", "", 0), kIdOk);
    EXPECT_EQ(g_lastText, "Comunica\xC3\xA7\xC3\xA3o");
    EXPECT_EQ(ThreadWait(&t, 50), WaitResult::kTimedOut); // still open
    EventSet(&g_release);
    EXPECT_EQ(ThreadWait(&t, kInfinite), WaitResult::kSignalled);
    ThreadClose(&t);
    EventClose(&g_release);
    SetUiBackend(nullptr);
}

// A window procedure like the manager's: destroy posts quit with value 0.
int g_creates = 0;
int g_destroys = 0;
std::intptr_t TestProc(std::uint32_t msg, std::uintptr_t w, std::intptr_t l) {
    if (msg == kMsgCreate) ++g_creates;
    if (msg == kMsgDestroy) {
        ++g_destroys;
        PostQuitMessage(0);
        return 0;
    }
    return DefWindowProc(msg, w, l);
}

TEST(MessageLoop, CreatePostedMessagesAndQuitLast) {
    g_creates = g_destroys = 0;
    WindowSpec shape{"TALVOC", "WTALVOC", 10, 200, 220, 130, true};
    ASSERT_EQ(WindowCreate(shape, TestProc), 0u);
    EXPECT_EQ(g_creates, 1);
    EXPECT_EQ(WindowCreate(shape, TestProc), kErrInvalidParameter);
    WindowShow();
    Message m{};
    EXPECT_FALSE(PeekMessage(&m));
    ASSERT_TRUE(PostMessage(kMsgPaint, 1, 2));
    PostQuitMessage(3);
    ASSERT_TRUE(PostMessage(kMsgClose, 0, 0));
    ASSERT_TRUE(PeekMessage(&m));
    EXPECT_EQ(m.id, kMsgPaint);
    EXPECT_EQ(m.wParam, 1u);
    EXPECT_EQ(DispatchMessage(m), 0);
    ASSERT_TRUE(PeekMessage(&m));
    EXPECT_EQ(m.id, kMsgClose);
    ASSERT_TRUE(PeekMessage(&m));
    EXPECT_EQ(m.id, kMsgQuit);
    EXPECT_EQ(m.wParam, 3u);
    EXPECT_FALSE(PeekMessage(&m));

    // The queue has a bound and says so.
    int posted = 0;
    while (PostMessage(kMsgPaint, 0, 0) && posted < 1000) ++posted;
    EXPECT_EQ(posted, 64);
    while (PeekMessage(&m)) {
    }
    PaintContext pc;
    PaintBegin(&pc);
    PaintBitmap(&pc, 2, 0, 0, 220, 110);
    PaintText(&pc, 65, 54, "   WTALVOC   ", 13, 0xAA051E);
    PaintEnd(&pc);

    WindowDestroy();
    EXPECT_EQ(g_destroys, 1);
    ASSERT_TRUE(PeekMessage(&m));
    EXPECT_EQ(m.id, kMsgQuit);
    EXPECT_EQ(m.wParam, 0u);
}

// A back end whose user closes the window once: the close is the destroy
// message, handled like a stop request (the window is gone afterwards).
bool g_closeOnce = false;
bool ClosingPoll(Message* m) {
    if (!g_closeOnce) return false;
    g_closeOnce = false;
    *m = Message{kMsgDestroy, 0, 0};
    return true;
}

TEST(MessageLoop, TheUserClosingTheWindowDestroysItOnce) {
    g_creates = g_destroys = 0;
    UiBackend closing{};
    closing.pollEvent = ClosingPoll;
    SetUiBackend(&closing);
    WindowSpec shape{"TALVOC", "WTALVOC", 10, 200, 220, 130, true};
    ASSERT_EQ(WindowCreate(shape, TestProc), 0u);
    g_closeOnce = true;
    Message m{};
    ASSERT_TRUE(PeekMessage(&m));
    EXPECT_EQ(m.id, kMsgQuit);
    EXPECT_EQ(g_destroys, 1);
    // Gone: nothing more reaches the procedure, and a new window may be made.
    EXPECT_EQ(DispatchMessage(Message{kMsgPaint, 0, 0}), 0);
    EXPECT_EQ(WindowCreate(shape, TestProc), 0u);
    WindowDestroy();
    while (PeekMessage(&m)) {
    }
    SetUiBackend(nullptr);
}

TEST(Bitmaps, RegisteredOnceEachWithinTheTable) {
    static const std::uint32_t pixels[4] = {1, 2, 3, 4};
    EXPECT_EQ(BitmapRegister(7, 2, 2, nullptr), kErrInvalidParameter);
    EXPECT_EQ(BitmapRegister(7, 0, 2, pixels), kErrInvalidParameter);
    ASSERT_EQ(BitmapRegister(7, 2, 2, pixels), 0u);
    ASSERT_EQ(BitmapRegister(7, 1, 4, pixels), 0u); // replaces, takes no new entry
    ASSERT_NE(BitmapFind(7), nullptr);
    EXPECT_EQ(BitmapFind(7)->height, 4);
    EXPECT_EQ(BitmapFind(8), nullptr);
    int made = 1;
    for (int id = 100; id < 100 + kMaxBitmaps; ++id)
        made += BitmapRegister(id, 1, 1, pixels) == 0 ? 1 : 0;
    EXPECT_EQ(made, kMaxBitmaps);
}

class Instances : public testing_support::ScratchDir {
  protected:
    // Starts a child that claims the directory and runs a message loop until
    // quit; it ends with 10 + the quit value (20 when it was not first).
    pid_t StartRunningCopy() {
        int ready[2];
        EXPECT_EQ(::pipe(ready), 0);
        pid_t pid = ::fork();
        if (pid == 0) {
            ::close(ready[0]);
            std::uint32_t err = 0;
            if (InstanceClaim(&err) != InstanceResult::kFirst) ::_exit(20);
            WindowSpec shape{"TALVOC", "WTALVOC", 10, 200, 220, 130, true};
            WindowCreate(shape, TestProc);
            (void)!::write(ready[1], "r", 1);
            for (int i = 0; i < 600000; ++i) { // at most about 10 minutes
                Message m;
                if (PeekMessage(&m)) {
                    if (m.id == kMsgQuit) ::_exit(10 + static_cast<int>(m.wParam));
                    DispatchMessage(m);
                } else {
                    ::usleep(1000);
                }
            }
            ::_exit(30);
        }
        ::close(ready[1]);
        char c = 0;
        EXPECT_EQ(::read(ready[0], &c, 1), 1);
        ::close(ready[0]);
        return pid;
    }
    static int ExitOf(pid_t pid) {
        int status = 0;
        ::waitpid(pid, &status, 0);
        return WIFEXITED(status) ? WEXITSTATUS(status) : 100 + WTERMSIG(status);
    }
};

TEST_F(Instances, ASecondCopyStopsTheRunningOneAndDoesNotStart) {
    pid_t first = StartRunningCopy();
    std::uint32_t err = 99;
    EXPECT_EQ(InstanceClaim(&err), InstanceResult::kOtherStopped);
    EXPECT_EQ(ExitOf(first), 10); // the quit message carried 0
    // With it gone, the directory is free.
    EXPECT_EQ(InstanceClaim(&err), InstanceResult::kFirst);
    EXPECT_EQ(err, 0u);
    InstanceRelease();
}

TEST_F(Instances, OtherDirectoriesAreIndependent) {
    pid_t first = StartRunningCopy();
    fs::create_directory("other");
    fs::current_path("other");
    std::uint32_t err = 0;
    EXPECT_EQ(InstanceClaim(&err), InstanceResult::kFirst);
    InstanceRelease();
    fs::current_path(dir_);
    EXPECT_EQ(InstanceClaim(&err), InstanceResult::kOtherStopped);
    EXPECT_EQ(ExitOf(first), 10);
}

TEST_F(Instances, TermAndIntArriveAsTheDestroyMessage) {
    for (int sig : {SIGTERM, SIGINT, SIGHUP}) {
        pid_t first = StartRunningCopy();
        ::kill(first, sig);
        EXPECT_EQ(ExitOf(first), 10) << "signal " << sig;
    }
}

TEST_F(Instances, SilentConnectionsHoldNothingUpAndStatusIsServed) {
    std::uint32_t err = 0;
    ASSERT_EQ(InstanceClaim(&err), InstanceResult::kFirst);
    InstanceSetStatusWriter([](bool json, char* out, std::size_t size) {
        return static_cast<std::size_t>(std::snprintf(out, size, json ? "{}" : "fine"));
    });
    // Connections that never send anything (more than are kept waiting):
    // every poll returns at once.
    int silent[12];
    int token = 0;
    const auto start = std::chrono::steady_clock::now();
    for (int& fd : silent) {
        fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        std::snprintf(addr.sun_path, sizeof addr.sun_path, "%s", kInstanceSocket);
        ASSERT_EQ(::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
        EXPECT_FALSE(InstancePollStop(&token));
    }
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(500));
    // Their budget runs out and they are dropped; then a status request
    // from another process is answered by the polls.
    ::usleep((kRequestBudgetMs + 200) * 1000);
    EXPECT_FALSE(InstancePollStop(&token));
    pid_t child = ::fork();
    if (child == 0) {
        char text[64];
        const std::uint32_t rc = InstanceQueryStatus(false, text, sizeof text, 20000);
        ::_exit(rc == 0 && std::strcmp(text, "fine") == 0 ? 0 : 1);
    }
    int status = -1;
    for (int i = 0; i < 20000 && ::waitpid(child, &status, WNOHANG) == 0; ++i) {
        EXPECT_FALSE(InstancePollStop(&token));
        ::usleep(1000);
    }
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    for (int fd : silent) ::close(fd);
    InstanceSetStatusWriter(nullptr);
    InstanceRelease();
    EXPECT_FALSE(fs::exists(kInstanceSocket));
}

TEST_F(Instances, StaleSocketFileIsTakenOver) {
    // A copy that died without cleaning up leaves the file behind.
    const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::snprintf(addr.sun_path, sizeof addr.sun_path, "%s", kInstanceSocket);
    ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    ::close(fd);
    std::uint32_t err = 0;
    EXPECT_EQ(InstanceClaim(&err), InstanceResult::kFirst) << err;
    InstanceRelease();
}

TEST_F(Instances, StrayConnectionsAreNotStopRequests) {
    std::uint32_t err = 0;
    ASSERT_EQ(InstanceClaim(&err), InstanceResult::kFirst);
    EXPECT_EQ(InstanceClaim(&err), InstanceResult::kFirst); // claiming again is harmless
    int token = 0;
    EXPECT_FALSE(InstancePollStop(&token));
    // No other kind of request stops us; a raise of SIGTERM does, and is
    // remembered as the reason.
    ::raise(SIGTERM);
    ASSERT_TRUE(InstancePollStop(&token));
    EXPECT_EQ(InstanceLastStop().cause, StopCause::kSignal);
    EXPECT_EQ(InstanceLastStop().signal, SIGTERM);
    InstanceFinishStop(token);
    EXPECT_FALSE(InstancePollStop(&token));
    InstanceRelease();
}

TEST_F(Instances, ASlowMonitorLosesLinesAndIsToldHowManyWithoutHoldingAnythingUp) {
    std::uint32_t err = 0;
    ASSERT_EQ(InstanceClaim(&err), InstanceResult::kFirst);
    const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::snprintf(addr.sun_path, sizeof addr.sun_path, "%s", kInstanceSocket);
    ASSERT_EQ(::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    ASSERT_EQ(::send(fd, "M", 1, 0), 1);
    int token = 0;
    for (int i = 0; i < 100 && InstanceMonitorCount() == 0; ++i) {
        EXPECT_FALSE(InstancePollStop(&token));
        ::usleep(1000);
    }
    ASSERT_EQ(InstanceMonitorCount(), 1);
    // 5,000 lines of 100 bytes, nobody reading: the publisher never waits.
    const auto begin = std::chrono::steady_clock::now();
    char line[128];
    for (int i = 0; i < 5000; ++i) {
        const int n =
            std::snprintf(line, sizeof line, "line %04d %s", i, std::string(88, 'x').c_str());
        InstanceMonitorPublish(line, static_cast<std::size_t>(n));
    }
    EXPECT_LT(std::chrono::steady_clock::now() - begin, std::chrono::seconds(2));
    std::string got;
    for (int i = 0; i < 2000 && got.find("line 4999") == std::string::npos; ++i) {
        InstanceMonitorFlush();
        char chunk[65536];
        const ssize_t r = ::recv(fd, chunk, sizeof chunk, MSG_DONTWAIT);
        if (r > 0)
            got.append(chunk, static_cast<std::size_t>(r));
        else
            ::usleep(1000);
    }
    EXPECT_EQ(got.rfind("wtalvoc: monitoring;", 0), 0u);
    // Every line arrives whole: the lines sent plus those lost make 5,000.
    long lines = 0, lost = 0;
    for (std::size_t at = 0, end; (end = got.find('\n', at)) != std::string::npos; at = end + 1) {
        const std::string one = got.substr(at, end - at);
        if (one.rfind("line ", 0) == 0 && one.size() == 98) ++lines;
        if (one.find(" lost (this monitor reads too slowly)") != std::string::npos)
            lost += std::atol(one.c_str() + 9);
    }
    EXPECT_GT(lost, 0);
    EXPECT_EQ(lines + lost, 5000) << got.substr(0, 300);
    EXPECT_NE(got.find("line 4999 "), std::string::npos);
    // A monitor that goes away is dropped.
    ::close(fd);
    InstanceMonitorPublish("after", 5);
    InstanceMonitorFlush();
    EXPECT_EQ(InstanceMonitorCount(), 0);
    InstanceRelease();
}

} // namespace
