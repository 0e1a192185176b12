// wtalvoc.conf as read (good files and refusals with their line number) and
// UUCP locks (free, our own, stale, live).
#include "platform/errors.h"
#include "platform/linesettings.h"
#include "platform/uucplock.h"
#include "tests/platform/scratch_dir.h"

#include <gtest/gtest.h>

#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace plat;

namespace {

class LineFiles : public testing_support::ScratchDir {};

TEST(LineSettingsFile, KeysValuesAndRefusals) {
    struct Case {
        const char* text;
        const char* refusal; // start of the reason, "" = accepted
    };
    const Case cases[] = {
        {"", ""},
        {"# none\n\n  direction = rts-send  \r\nturnaround=500\necho = yes # adapter\n"
         "low_latency = no\nlock_file = no\n",
         ""},
        {"direction = kernel\n", ""},
        {"echo = yes\nspeed = 9600\n", "wtalvoc.conf:2: not a known `key = value` line"},
        {"direction = auto\n", "wtalvoc.conf:1: bad value for direction; allowed: rts-listen"},
        {"\n\nturnaround = 100001\n", "wtalvoc.conf:3: bad value for turnaround"},
        {"turnaround = -5\n", "wtalvoc.conf:1: bad value for turnaround"},
        {"echo = 1\n", "wtalvoc.conf:1: bad value for echo; allowed: yes or no"},
        {"direction\n", "wtalvoc.conf:1: not a known"},
    };
    for (const Case& c : cases) {
        LineSettings s;
        char why[300] = "";
        const std::uint32_t rc =
            ParseLineSettings(c.text, std::string(c.text).size(), &s, why, sizeof why);
        EXPECT_EQ(rc == 0, c.refusal[0] == 0) << c.text << why;
        EXPECT_EQ(std::string(why).rfind(c.refusal, 0), 0u) << c.text << why;
    }
    LineSettings s;
    char why[300];
    const char* full = "direction = rts-send\nturnaround=500\necho = yes\nlow_latency = no\n"
                       "lock_file = no\n";
    ASSERT_EQ(ParseLineSettings(full, std::string(full).size(), &s, why, sizeof why), 0u);
    EXPECT_EQ(s.direction, Direction::kRtsSend);
    EXPECT_EQ(s.turnaroundUs, 500u);
    EXPECT_TRUE(s.echo);
    EXPECT_FALSE(s.lowLatency);
    EXPECT_EQ(s.lockFile, 0);
}

TEST_F(LineFiles, NoFileIsTheDefaults) {
    LineSettings s;
    char why[300];
    ASSERT_EQ(LoadLineSettings(&s, why, sizeof why), 0u);
    EXPECT_FALSE(s.fromFile);
    EXPECT_EQ(s.direction, Direction::kRtsListen);
    EXPECT_EQ(s.turnaroundUs, kCharTimeUs);
    EXPECT_TRUE(s.lowLatency);
}

TEST_F(LineFiles, UucpLockFreeOwnStaleAndLive) {
    char lock[300];
    ASSERT_EQ(UucpLockPath(".", "/dev/ttyUSB7", lock, sizeof lock), 0u);
    EXPECT_STREQ(lock, "./LCK..ttyUSB7");
    std::int32_t holder = -1;
    EXPECT_EQ(UucpLockTake(lock, &holder), 0u);
    EXPECT_EQ(ReadFile(lock), std::string(10 - std::to_string(getpid()).size(), ' ') +
                                  std::to_string(getpid()) + "\n");
    EXPECT_EQ(UucpLockTake(lock, &holder), 0u); // ours already (a reopen)
    UucpLockRelease(lock);
    EXPECT_FALSE(std::filesystem::exists(lock));

    // A process that has ended left its lock: stale, taken over.
    const pid_t gone = fork();
    if (gone == 0) _exit(0);
    ASSERT_GT(gone, 0);
    waitpid(gone, nullptr, 0);
    WriteFile(lock, "     " + std::to_string(gone) + "\n");
    EXPECT_EQ(UucpLockTake(lock, &holder), 0u);
    UucpLockRelease(lock);

    // A live one (process 1) is refused and named.
    WriteFile(lock, "         1\n");
    EXPECT_EQ(UucpLockTake(lock, &holder), kErrBusy);
    EXPECT_EQ(holder, 1);
    UucpLockRelease(lock); // not ours: stays
    EXPECT_TRUE(std::filesystem::exists(lock));
}

// root's lock left in the sticky lock directory by a killed program: another
// user cannot remove it, and is told so with the ended PID instead of "busy".
TEST_F(LineFiles, AnotherUsersStaleLockIsNamedNotBusy) {
    if (getuid() != 0) GTEST_SKIP() << "needs root to make another user's lock";
    char dir[] = "/tmp/uucp-XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    ASSERT_EQ(chmod(dir, 01777), 0);
    const std::string lock = std::string(dir) + "/LCK..ttyUSB7";
    const pid_t gone = fork();
    if (gone == 0) _exit(0);
    waitpid(gone, nullptr, 0);
    WriteFile(lock, "     " + std::to_string(gone) + "\n");
    const pid_t child = fork();
    if (child == 0) {
        std::int32_t holder = 0;
        const bool told = setgid(65534) == 0 && setuid(65534) == 0 &&
                          UucpLockTake(lock.c_str(), &holder) == kErrAccessDenied && holder == gone;
        _exit(told ? 0 : 1);
    }
    int status = -1;
    waitpid(child, &status, 0);
    EXPECT_EQ(status, 0);
    EXPECT_TRUE(std::filesystem::exists(lock));
    std::filesystem::remove_all(dir);
}

} // namespace
