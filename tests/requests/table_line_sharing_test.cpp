// Two terminals and other programs on one table over the line: record and
// whole-file locks as terminals and other programs see them, locks given up
// by moving, a terminal at end of file losing its whole-file lock, a table
// that another program appends to or cuts short, and refusals that carry
// nothing of another terminal's answer.
#include "tests/requests/table_line_common.h"

#include <sys/stat.h>

namespace linetest {
namespace {

constexpr std::uint16_t kA = 5;
constexpr std::uint16_t kB = 6;
const std::vector<std::uint8_t> kYes = {'T', 0};
const std::vector<std::uint8_t> kNo = {'F', 0};

class SharingLine : public TableLine {
  protected:
    void SetUp() override {
        std::vector<std::string> records;
        for (int i = 1; i <= 10; ++i) records.push_back("R" + std::to_string(i));
        WriteTable(line.path("SHARED.DBF"), {{"CODE", 'C', 4}}, records);
        started_ = Start({kA, kB}, {{"SHARED.DBF", 'D'}});
        if (started_) {
            EXPECT_EQ(line.ask(kA, 16, Args(0, 0, "SHARED")).code, 16);
            EXPECT_EQ(line.ask(kB, 16, Args(0, 0, "SHARED")).code, 16);
        }
    }
    void Go(std::uint16_t t, int r) {
        EXPECT_EQ(line.ask(t, 22, Args(0, 0, std::to_string(r))).code, 22);
    }
    std::vector<std::uint8_t> Lock(std::uint16_t t, std::uint8_t code) {
        const Answer a = line.ask(t, code, "");
        EXPECT_EQ(a.code, code) << a.note;
        return a.data;
    }
    bool FileLockFree() {
        const int fd = ::open(line.path("SHARED.DBF").c_str(), O_RDWR);
        struct flock fl {};
        fl.l_type = F_WRLCK;
        fl.l_whence = SEEK_SET;
        fl.l_start = 1000000000L;
        fl.l_len = 1000000000L;
        const bool free = fd >= 0 && ::fcntl(fd, F_SETLK, &fl) == 0;
        if (fd >= 0) ::close(fd);
        return free;
    }
    bool started_ = false;
};

TEST_F(SharingLine, RecordLocksBetweenTwoTerminals) {
    ASSERT_TRUE(started_);
    Go(kA, 5);
    EXPECT_EQ(Lock(kA, 36), kYes);
    EXPECT_EQ(Lock(kA, 36), kYes) << "asked twice on the same record";
    EXPECT_FALSE(RecordLockFree(line.path("SHARED.DBF"), 5));
    Go(kB, 5);
    EXPECT_EQ(Lock(kB, 36), kNo);
    Go(kA, 6); // moving off the record gives its lock up
    EXPECT_TRUE(RecordLockFree(line.path("SHARED.DBF"), 5));
    EXPECT_EQ(Lock(kB, 36), kYes);
    // While any record is locked, nobody gets the whole table, even a
    // terminal whose own record is free.
    EXPECT_EQ(Lock(kA, 37), kNo);
    EXPECT_EQ(line.ask(kB, 38, "").code, 15);
    EXPECT_TRUE(RecordLockFree(line.path("SHARED.DBF"), 5));

    // A skip moves off the record too.
    Go(kA, 3);
    EXPECT_EQ(Lock(kA, 36), kYes);
    EXPECT_EQ(line.ask(kA, 25, Args(0, 0, "1")).code, 25);
    EXPECT_TRUE(RecordLockFree(line.path("SHARED.DBF"), 3));
    // A skip of 0 stays, and so does the lock.
    EXPECT_EQ(Lock(kA, 36), kYes);
    EXPECT_EQ(line.ask(kA, 25, Args(0, 0, "0")).code, 25);
    EXPECT_FALSE(RecordLockFree(line.path("SHARED.DBF"), 4));
    // Another program's lock on a record refuses the terminal.
    EXPECT_EQ(line.ask(kA, 38, "").code, 15);
    {
        const int fd = ::open(line.path("SHARED.DBF").c_str(), O_RDWR);
        ASSERT_GE(fd, 0);
        struct flock fl {};
        fl.l_type = F_WRLCK;
        fl.l_whence = SEEK_SET;
        fl.l_start = 1000000000L + 4;
        fl.l_len = 1;
        ASSERT_EQ(::fcntl(fd, F_SETLK, &fl), 0);
        EXPECT_EQ(Lock(kA, 36), kNo);
        ::close(fd);
    }
    EXPECT_EQ(Lock(kA, 36), kYes);
}

TEST_F(SharingLine, WholeFileLocks) {
    ASSERT_TRUE(started_);
    Go(kA, 2);
    Go(kB, 2);
    EXPECT_EQ(Lock(kA, 37), kYes);
    EXPECT_FALSE(FileLockFree());
    EXPECT_EQ(Lock(kB, 36), kNo);
    EXPECT_EQ(Lock(kB, 37), kNo);
    // A's record lock gives its whole-file lock up.
    EXPECT_EQ(Lock(kA, 36), kYes);
    EXPECT_FALSE(RecordLockFree(line.path("SHARED.DBF"), 2));
    EXPECT_EQ(Lock(kB, 37), kNo);
    EXPECT_EQ(line.ask(kA, 38, "").code, 15);
    EXPECT_TRUE(FileLockFree());
    EXPECT_EQ(Lock(kB, 37), kYes);
    EXPECT_EQ(line.ask(kB, 41, "").code, 41) << "closing gives the lock up";
    EXPECT_TRUE(FileLockFree());
}

TEST_F(SharingLine, TerminalAtEndOfFileLosesItsWholeFileLock) {
    ASSERT_TRUE(started_);
    Go(kA, 99);
    EXPECT_EQ(Lock(kA, 37), kYes);
    EXPECT_EQ(Lock(kB, 37), kNo);
    // A's next table request finds it past the count again and releases.
    EXPECT_EQ(Text(line.ask(kA, 39, "")), "10");
    EXPECT_TRUE(FileLockFree());
    EXPECT_EQ(Lock(kB, 37), kYes);
}

// A refusal's six bytes are zeros: right after B's record image, A's short
// requests would otherwise carry what the buffer still holds of it.
TEST_F(SharingLine, RefusalsCarryNothingOfAnotherTerminalsAnswer) {
    ASSERT_TRUE(started_);
    struct Refused {
        std::uint8_t code;
        std::vector<std::uint8_t> data;
    };
    const Refused cases[] = {
        {26, {}},                       // the table has no index
        {16, {0, 0, 'N', 'O'}},         // no table of that name
        {42, Args2("SHARED", "NOIDX")}, // no index of that name
    };
    for (const Refused& c : cases) {
        Go(kB, 5); // B's record image, "R5", now sits in the buffer
        const Answer a = line.ask(kA, c.code, c.data);
        EXPECT_EQ(a.code, 14) << int(c.code);
        EXPECT_EQ(a.data, std::vector<std::uint8_t>(6, 0)) << int(c.code);
    }
}

TEST_F(SharingLine, AnotherProgramAppendsAndTruncates) {
    ASSERT_TRUE(started_);
    const std::string path = line.path("SHARED.DBF");
    TableFile t;
    ASSERT_TRUE(t.load(path));
    EXPECT_EQ(Text(line.ask(kA, 39, "")), "10");

    // Append one record the way another program does: record, 0x1A, count.
    {
        const int fd = ::open(path.c_str(), O_RDWR);
        ASSERT_GE(fd, 0);
        const char rec[] = " R11 \x1A";
        ASSERT_EQ(::pwrite(fd, rec, 6, t.header + 10L * t.width), 6);
        const std::uint8_t count[4] = {11, 0, 0, 0};
        ASSERT_EQ(::pwrite(fd, count, 4, 4), 4);
        ::close(fd);
    }
    EXPECT_EQ(Text(line.ask(kA, 39, "")), "11");
    Go(kA, 11);
    EXPECT_EQ(ReadImage(line.ask(kA, 25, Args(0, 0, "0")), {4}).values,
              (std::vector<std::string>{"R11 "}));

    // A stands on record 8 with its lock; the table is cut to 5 records.
    Go(kA, 8);
    EXPECT_EQ(Lock(kA, 36), kYes);
    EXPECT_FALSE(RecordLockFree(path, 8));
    {
        const int fd = ::open(path.c_str(), O_RDWR);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(::ftruncate(fd, t.header + 5L * t.width), 0);
        const std::uint8_t count[4] = {5, 0, 0, 0};
        ASSERT_EQ(::pwrite(fd, count, 4, 4), 4);
        ::close(fd);
    }
    EXPECT_EQ(Text(line.ask(kA, 40, "")), "6") << "at end of file: count + 1";
    EXPECT_TRUE(RecordLockFree(path, 8)) << "the lock went when the record did";
    const Image im = ReadImage(line.ask(kA, 25, Args(0, 0, "0")), {4});
    ASSERT_TRUE(im.ok);
    EXPECT_EQ(im.at_end, 1);
    EXPECT_EQ(Text(line.ask(kA, 39, "")), "5");
    // B, on record 1 all along, is not disturbed.
    EXPECT_EQ(Text(line.ask(kB, 40, "")), "1");
}

} // namespace
} // namespace linetest
