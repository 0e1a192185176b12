// Pseudo-terminal pairs: raw both ways, the published link and its
// replacement rules, and its removal only while it is still ours.
#include "platform/pty.h"
#include "tests/talvoterm/fake_pc.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <string>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

namespace {

using talvoterm::testing::Bytes;
using talvoterm::testing::FakePc;

struct ScratchDir {
    std::string path;
    ScratchDir() {
        char tmpl[] = "/tmp/talvoterm-pty-XXXXXX";
        const char* p = ::mkdtemp(tmpl);
        path = p != nullptr ? p : "";
    }
    ~ScratchDir() {
        std::error_code ec;
        if (!path.empty()) std::filesystem::remove_all(path, ec);
    }
};

std::string LinkTarget(const std::string& link) {
    char buf[PATH_MAX];
    ssize_t n = ::readlink(link.c_str(), buf, sizeof(buf) - 1);
    if (n < 0) return "";
    buf[n] = '\0';
    return buf;
}

bool Exists(const std::string& path) {
    struct stat st {};
    return ::lstat(path.c_str(), &st) == 0;
}

TEST(Pty, BytesPassUnchangedBothWaysThroughTheLink) {
    ScratchDir dir;
    ASSERT_FALSE(dir.path.empty());
    std::string link = dir.path + "/COM1";
    platform::PtyPair pair;
    ASSERT_EQ(platform::pty_create(pair, link.c_str()), 0);
    EXPECT_EQ(LinkTarget(link), pair.slave_name);
    EXPECT_STREQ(pair.link_name, link.c_str());

    // A second opener of the link (the PC side) gets the same line.
    int pc = ::open(link.c_str(), O_RDWR | O_NOCTTY);
    ASSERT_GE(pc, 0);
    termios t{};
    ASSERT_EQ(::tcgetattr(pc, &t), 0);
    EXPECT_EQ(t.c_lflag & (ECHO | ICANON), 0u);
    EXPECT_EQ(::cfgetospeed(&t), static_cast<speed_t>(B57600));

    // Every byte value, CR, NL and control characters included, passes
    // unchanged and without echo.
    Bytes all(256);
    for (int i = 0; i < 256; ++i) all[static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(i);
    FakePc master(pair.master);
    FakePc slave(pc);
    ASSERT_TRUE(master.send(all));
    EXPECT_EQ(slave.read_n(all.size()), all);
    ASSERT_TRUE(slave.send(all));
    EXPECT_EQ(master.read_n(all.size()), all);
    EXPECT_TRUE(master.read_for(100).empty());
    EXPECT_TRUE(slave.read_for(100).empty());

    // The PC side may close and open again; the pair lives on.
    ::close(pc);
    pc = ::open(link.c_str(), O_RDWR | O_NOCTTY);
    ASSERT_GE(pc, 0);
    FakePc again(pc);
    ASSERT_TRUE(master.send({0x10, 0x02}));
    EXPECT_EQ(again.read_n(2), (Bytes{0x10, 0x02}));
    ::close(pc);

    platform::pty_release(pair);
    EXPECT_FALSE(Exists(link));
    EXPECT_EQ(pair.master, -1);
    EXPECT_EQ(pair.slave, -1);
    platform::pty_release(pair); // twice is harmless
}

TEST(Pty, LinkRules) {
    ScratchDir dir;
    ASSERT_FALSE(dir.path.empty());
    std::string link = dir.path + "/COM2";

    // A stale link (left by a killed run) is replaced.
    ASSERT_EQ(::symlink("/dev/pts/nonexistent", link.c_str()), 0);
    platform::PtyPair a;
    ASSERT_EQ(platform::pty_create(a, link.c_str()), 0);
    EXPECT_EQ(LinkTarget(link), a.slave_name);

    // A link taken over by another pair is left to it when the first goes.
    platform::PtyPair b;
    ASSERT_EQ(platform::pty_create(b, link.c_str()), 0);
    EXPECT_EQ(LinkTarget(link), b.slave_name);
    platform::pty_release(a);
    EXPECT_EQ(LinkTarget(link), b.slave_name);
    platform::pty_release(b);
    EXPECT_FALSE(Exists(link));

    // Any other file of that name is left alone and the call fails.
    std::string file = dir.path + "/COM3";
    int fd = ::open(file.c_str(), O_CREAT | O_WRONLY, 0644);
    ASSERT_GE(fd, 0);
    ::close(fd);
    platform::PtyPair c;
    EXPECT_EQ(platform::pty_create(c, file.c_str()), EEXIST);
    EXPECT_EQ(c.master, -1);
    struct stat st {};
    ASSERT_EQ(::lstat(file.c_str(), &st), 0);
    EXPECT_TRUE(S_ISREG(st.st_mode));

    // A link in a missing directory fails and leaves nothing open.
    platform::PtyPair d;
    EXPECT_EQ(platform::pty_create(d, (dir.path + "/no/such/COM1").c_str()), ENOENT);
    EXPECT_EQ(d.master, -1);
    EXPECT_EQ(d.slave, -1);

    // Without a name no link is made.
    platform::PtyPair e;
    ASSERT_EQ(platform::pty_create(e, nullptr), 0);
    EXPECT_STREQ(e.link_name, "");
    EXPECT_GE(e.master, 0);
    platform::pty_release(e);
}

TEST(Pty, DeviceOpenRefusesWhatIsNotALine) {
    int fd = 5;
    EXPECT_EQ(platform::pty_open_device("/dev/null", fd), ENOTTY);
    EXPECT_EQ(fd, -1);
    EXPECT_EQ(platform::pty_open_device("/no/such/device", fd), ENOENT);
    platform::PtyPair pair;
    ASSERT_EQ(platform::pty_create(pair, nullptr), 0);
    ASSERT_EQ(platform::pty_open_device(pair.slave_name, fd), 0);
    EXPECT_GE(fd, 0);
    platform::pty_close_device(fd);
    EXPECT_EQ(fd, -1);
    platform::pty_release(pair);
}

} // namespace
