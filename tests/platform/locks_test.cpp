// Byte-range locks: overlap refused through the same handle, another handle
// and another process; classic record locks of other programs conflict; an
// unlock frees exactly its region; closing drops the locks.
#include "platform/errors.h"
#include "platform/files.h"
#include "platform/locks.h"
#include "tests/platform/scratch_dir.h"

#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <string>
#include <sys/file.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace plat;

namespace {

constexpr std::uint64_t kBase = 1'000'000'000ull;

class Locks : public testing_support::ScratchDir {
  protected:
    void SetUp() override {
        ScratchDir::SetUp();
        WriteFile("TABELA.DBF", std::string(100, 'x'));
        ASSERT_EQ(FileOpen("TABELA.DBF", kAccessReadWrite, FileCreate::kOpenExisting, &h_), 0u);
    }
    void TearDown() override {
        FileClose(h_);
        ScratchDir::TearDown();
    }

    // What another process sees: it opens the file itself and tries a
    // classic record lock (F_SETLK) on the region. 0 = granted, 1 = refused.
    int OtherProcessTries(std::uint64_t offset, std::uint64_t length, short type = F_WRLCK) {
        pid_t pid = ::fork();
        if (pid == 0) {
            int fd = ::open((dir_ / "TABELA.DBF").c_str(), O_RDWR);
            struct flock fl {};
            fl.l_type = type;
            fl.l_whence = SEEK_SET;
            fl.l_start = static_cast<off_t>(offset);
            fl.l_len = static_cast<off_t>(length);
            ::_exit(fd >= 0 && ::fcntl(fd, F_SETLK, &fl) == 0 ? 0 : 1);
        }
        int status = 0;
        ::waitpid(pid, &status, 0);
        return WIFEXITED(status) ? WEXITSTATUS(status) : 2;
    }

    FileHandle h_ = kNoFile;
};

TEST_F(Locks, OverlapRefusedThroughTheSameHandle) {
    ASSERT_EQ(LockRegion(h_, kBase + 5, 1), 0u);
    EXPECT_EQ(LockRegion(h_, kBase + 5, 1), kErrLockViolation);
    EXPECT_EQ(LastError(), kErrLockViolation);
    // The whole table overlaps every record.
    EXPECT_EQ(LockRegion(h_, kBase, kBase), kErrLockViolation);
    // Neighbours are free.
    EXPECT_EQ(LockRegion(h_, kBase + 4, 1), 0u);
    EXPECT_EQ(LockRegion(h_, kBase + 6, 1), 0u);

    ASSERT_EQ(UnlockRegion(h_, kBase + 4, 1), 0u);
    ASSERT_EQ(UnlockRegion(h_, kBase + 5, 1), 0u);
    ASSERT_EQ(UnlockRegion(h_, kBase + 6, 1), 0u);
    ASSERT_EQ(LockRegion(h_, kBase, kBase), 0u);
    // Record locks fail while the whole table is locked.
    EXPECT_EQ(LockRegion(h_, kBase + 1, 1), kErrLockViolation);
    EXPECT_EQ(LockRegion(h_, 2 * kBase - 1, 1), kErrLockViolation);
    EXPECT_EQ(LockRegion(h_, 2 * kBase, 1), 0u); // just past it
}

TEST_F(Locks, UnlockFreesExactlyItsRegion) {
    ASSERT_EQ(LockRegion(h_, kBase + 10, 1), 0u);
    ASSERT_EQ(LockRegion(h_, kBase + 11, 1), 0u);
    // A region never locked as such is not unlocked, not even a part.
    EXPECT_EQ(UnlockRegion(h_, kBase + 10, 2), kErrNotLocked);
    EXPECT_EQ(UnlockRegion(h_, kBase + 12, 1), kErrNotLocked);
    EXPECT_EQ(UnlockRegion(h_, kBase + 10, 1), 0u);
    EXPECT_EQ(UnlockRegion(h_, kBase + 10, 1), kErrNotLocked);
    // The adjacent region the kernel may have merged stays locked for others.
    EXPECT_EQ(OtherProcessTries(kBase + 11, 1), 1);
    EXPECT_EQ(OtherProcessTries(kBase + 10, 1), 0);
}

TEST_F(Locks, APairIsUnlockedInOneCallUnlessTheHandleHoldsARegionBetween) {
    // An append's lock and its record's, a terminal's record lock between.
    for (std::uint64_t at : {kBase, kBase + 5, kBase + 9}) ASSERT_EQ(LockRegion(h_, at, 1), 0u);
    long calls = LockCallCount();
    EXPECT_EQ(UnlockRegionPair(h_, kBase, 1, kBase + 9, 1), 0u);
    EXPECT_EQ(LockCallCount() - calls, 2);
    EXPECT_EQ(OtherProcessTries(kBase + 5, 1), 1);
    EXPECT_EQ(OtherProcessTries(kBase, 1), 0);
    EXPECT_EQ(OtherProcessTries(kBase + 9, 1), 0);

    ASSERT_EQ(UnlockRegion(h_, kBase + 5, 1), 0u);
    for (std::uint64_t at : {kBase, kBase + 9}) ASSERT_EQ(LockRegion(h_, at, 1), 0u);
    calls = LockCallCount();
    EXPECT_EQ(UnlockRegionPair(h_, kBase + 9, 1, kBase, 1), 0u);
    EXPECT_EQ(LockCallCount() - calls, 1);
    EXPECT_EQ(OtherProcessTries(kBase, 10), 0);
    EXPECT_EQ(UnlockRegion(h_, kBase, 1), kErrNotLocked); // gone from the table too

    // A region not held is reported; the other one still goes.
    ASSERT_EQ(LockRegion(h_, kBase, 1), 0u);
    EXPECT_EQ(UnlockRegionPair(h_, kBase, 1, kBase + 3, 1), kErrNotLocked);
    EXPECT_EQ(OtherProcessTries(kBase, 1), 0);
}

TEST_F(Locks, OtherHandlesAndOtherProcessesConflict) {
    FileHandle second;
    ASSERT_EQ(FileOpen("tabela.dbf", kAccessReadWrite, FileCreate::kOpenExisting, &second), 0u);
    ASSERT_EQ(LockRegion(h_, 0, 1), 0u);
    EXPECT_EQ(LockRegion(second, 0, 1), kErrLockViolation);
    EXPECT_EQ(OtherProcessTries(0, 1), 1);
    EXPECT_EQ(OtherProcessTries(0, 0), 1); // "to the end of the file" covers it
    EXPECT_EQ(OtherProcessTries(1, 1), 0);

    // Closing the other handle does not drop our locks (classic record locks
    // would all go with any close in the process).
    FileClose(second);
    EXPECT_EQ(OtherProcessTries(0, 1), 1);

    // Closing our handle drops its locks, here and for others.
    FileClose(h_);
    ASSERT_EQ(FileOpen("TABELA.DBF", kAccessReadWrite, FileCreate::kOpenExisting, &h_), 0u);
    EXPECT_EQ(OtherProcessTries(0, 1), 0);
    EXPECT_EQ(LockRegion(h_, 0, 1), 0u);
}

TEST_F(Locks, ALockHeldByAnotherProgramIsRefusedAtOnce) {
    int ready[2], release[2];
    ASSERT_EQ(::pipe(ready), 0);
    ASSERT_EQ(::pipe(release), 0);
    pid_t pid = ::fork();
    if (pid == 0) {
        int fd = ::open((dir_ / "TABELA.DBF").c_str(), O_RDWR);
        struct flock fl {};
        fl.l_type = F_WRLCK;
        fl.l_whence = SEEK_SET;
        fl.l_start = static_cast<off_t>(kBase + 7);
        fl.l_len = 1;
        char c = ::fcntl(fd, F_SETLK, &fl) == 0 ? 'y' : 'n';
        (void)!::write(ready[1], &c, 1);
        (void)!::read(release[0], &c, 1);
        ::_exit(0);
    }
    char c = 0;
    ASSERT_EQ(::read(ready[0], &c, 1), 1);
    ASSERT_EQ(c, 'y');
    EXPECT_EQ(LockRegion(h_, kBase + 7, 1), kErrLockViolation);
    EXPECT_EQ(LockRegion(h_, kBase, kBase), kErrLockViolation);
    EXPECT_EQ(LockRegion(h_, kBase + 8, 1), 0u);
    (void)!::write(release[1], "x", 1);
    int status;
    ::waitpid(pid, &status, 0);
    EXPECT_EQ(LockRegion(h_, kBase + 7, 1), 0u); // released when it ended
    for (int fd : {ready[0], ready[1], release[0], release[1]}) ::close(fd);
}

TEST_F(Locks, SharedLocksModeChangesAndOwnerTags) {
    ASSERT_EQ(LockRegionAs(h_, kBase, 1, LockMode::kShared, 7, 0), 0u);
    EXPECT_EQ(OtherProcessTries(kBase, 1, F_RDLCK), 0) << "readers share";
    EXPECT_EQ(OtherProcessTries(kBase, 1), 1);
    EXPECT_EQ(RegionOwner(h_, kBase, 1), 7);
    EXPECT_EQ(RegionOwner(h_, 0, kBase), -1);
    // Within the process even shared regions do not overlap.
    EXPECT_EQ(LockRegionAs(h_, kBase, 2, LockMode::kShared, 7, 0), kErrLockViolation);
    // The same region changes its mode, both ways, in one step.
    ASSERT_EQ(LockRegionAs(h_, kBase, 1, LockMode::kExclusive, 7, 0), 0u);
    EXPECT_EQ(OtherProcessTries(kBase, 1, F_RDLCK), 1);
    EXPECT_EQ(LockRegionAs(h_, kBase, 1, LockMode::kExclusive, 7, 0), kErrLockViolation);
    ASSERT_EQ(LockRegionAs(h_, kBase, 1, LockMode::kShared, 7, 0), 0u);
    EXPECT_EQ(OtherProcessTries(kBase, 1, F_RDLCK), 0);
    ASSERT_EQ(LockRegionAs(h_, kBase + 5, 1, LockMode::kExclusive, 3, 0), 0u);
    EXPECT_EQ(RegionOwner(h_, kBase, 10), -2) << "two owners";
    EXPECT_EQ(UnlockRegion(h_, kBase, 1), 0u);
    EXPECT_EQ(RegionOwner(h_, kBase, 10), 3);
}

TEST_F(Locks, BoundedWaitsEndWhenTheOtherProgramLetsGoOrTimeRunsOut) {
    // Another program holding record 20 for hold_ms.
    auto hold = [&](int hold_ms) {
        int ready[2];
        EXPECT_EQ(::pipe(ready), 0);
        const pid_t pid = ::fork();
        if (pid == 0) {
            int fd = ::open((dir_ / "TABELA.DBF").c_str(), O_RDWR);
            struct flock fl {};
            fl.l_type = F_WRLCK;
            fl.l_whence = SEEK_SET;
            fl.l_start = static_cast<off_t>(kBase + 20);
            fl.l_len = 1;
            char c = ::fcntl(fd, F_SETLK, &fl) == 0 ? 'y' : 'n';
            (void)!::write(ready[1], &c, 1);
            ::usleep(static_cast<useconds_t>(hold_ms) * 1000);
            ::_exit(0);
        }
        char c = 0;
        EXPECT_EQ(::read(ready[0], &c, 1), 1);
        EXPECT_EQ(c, 'y');
        ::close(ready[0]);
        ::close(ready[1]);
        return pid;
    };
    using Clock = std::chrono::steady_clock;
    pid_t pid = hold(300);
    auto start = Clock::now();
    EXPECT_EQ(LockRegionAs(h_, kBase + 20, 1, LockMode::kExclusive, 0, 5000), 0u);
    EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(200));
    ::waitpid(pid, nullptr, 0);
    ASSERT_EQ(UnlockRegion(h_, kBase + 20, 1), 0u);

    pid = hold(4000);
    start = Clock::now();
    EXPECT_EQ(LockRegionAs(h_, kBase + 20, 1, LockMode::kExclusive, 0, 300), kErrLockViolation);
    const auto waited = Clock::now() - start;
    EXPECT_GE(waited, std::chrono::milliseconds(290));
    EXPECT_LT(waited, std::chrono::milliseconds(3000));
    ::kill(pid, SIGKILL);
    ::waitpid(pid, nullptr, 0);
}

TEST_F(Locks, BadArguments) {
    EXPECT_EQ(LockRegion(kNoFile, 0, 1), kErrInvalidHandle);
    EXPECT_EQ(LockRegion(h_, 0, 0), kErrInvalidParameter);
    EXPECT_EQ(LockRegion(h_, 0xFFFFFFFFFFFFFFF0ull, 1), kErrInvalidParameter);
    EXPECT_EQ(LockRegion(h_, 10, 0x7FFFFFFFFFFFFFFFull), kErrInvalidParameter);
    EXPECT_EQ(UnlockRegion(kNoFile, 0, 1), kErrInvalidHandle);
    EXPECT_EQ(UnlockRegion(98765, 0, 1), kErrInvalidHandle);

    // A read-only handle can lock too.
    FileHandle ro;
    ASSERT_EQ(FileOpen("TABELA.DBF", kAccessRead, FileCreate::kOpenExisting, &ro), 0u);
    EXPECT_EQ(LockRegion(ro, 50, 1), 0u);
    EXPECT_EQ(LockRegion(h_, 50, 1), kErrLockViolation);
    EXPECT_EQ(UnlockRegion(ro, 50, 1), 0u);
    FileClose(ro);
}

} // namespace

namespace {

// Share modes: a handle of this process holding the file in one mode, an
// open asking another; flock locks of two handles conflict as two
// programs' do. kCreateAlways empties a file only once its lock is granted.
TEST_F(Locks, ShareModesMatrixAndEmptyingOnlyUnderTheLock) {
    struct Case {
        FileShare held, asked;
        FileCreate create;
        std::uint32_t result;
    };
    const Case cases[] = {
        {FileShare::kShared, FileShare::kShared, FileCreate::kOpenExisting, 0},
        {FileShare::kShared, FileShare::kExclusive, FileCreate::kOpenExisting,
         kErrSharingViolation},
        {FileShare::kShared, FileShare::kExclusive, FileCreate::kCreateAlways,
         kErrSharingViolation},
        {FileShare::kExclusive, FileShare::kShared, FileCreate::kOpenExisting,
         kErrSharingViolation},
        {FileShare::kExclusive, FileShare::kNone, FileCreate::kOpenExisting, 0},
        {FileShare::kNone, FileShare::kExclusive, FileCreate::kCreateAlways, 0},
    };
    for (const Case& c : cases) {
        WriteFile("T.NTX", "page");
        FileHandle held = kNoFile, asked = kNoFile;
        ASSERT_EQ(FileOpen("T.NTX", kAccessRead, FileCreate::kOpenExisting, &held, c.held), 0u);
        EXPECT_EQ(FileOpen("T.NTX", kAccessReadWrite, c.create, &asked, c.asked), c.result)
            << int(c.held) << " " << int(c.asked);
        EXPECT_EQ(asked == kNoFile, c.result != 0);
        const bool emptied = c.create == FileCreate::kCreateAlways && c.result == 0;
        EXPECT_EQ(ReadFile("T.NTX"), emptied ? "" : "page");
        if (asked != kNoFile) FileClose(asked);
        FileClose(held);
    }
}

TEST_F(Locks, TheExclusiveHolderIsNamedByItsPid) {
    int ready[2];
    ASSERT_EQ(::pipe(ready), 0);
    const pid_t pid = ::fork();
    if (pid == 0) {
        const int fd = ::open((dir_ / "TABELA.DBF").c_str(), O_RDONLY);
        const char ok = fd >= 0 && ::flock(fd, LOCK_EX) == 0 ? 'y' : 'n';
        if (::write(ready[1], &ok, 1) != 1) ::_exit(1);
        ::pause();
        ::_exit(0);
    }
    char ok = 0;
    ASSERT_EQ(::read(ready[0], &ok, 1), 1);
    ASSERT_EQ(ok, 'y');
    FileHandle other = kNoFile;
    EXPECT_EQ(FileOpen("TABELA.DBF", kAccessReadWrite, FileCreate::kOpenExisting, &other,
                       FileShare::kShared),
              kErrSharingViolation);
    EXPECT_EQ(ShareHolder(h_), pid);
    char text[128];
    EXPECT_STREQ(
        ShareHolderText(h_, text, sizeof text),
        ("another program has it open exclusively (PID " + std::to_string(pid) + ")").c_str());
    ::kill(pid, SIGKILL);
    ::waitpid(pid, nullptr, 0);
    EXPECT_EQ(ShareHolderText(h_, text, sizeof text), nullptr);
    ::close(ready[0]);
    ::close(ready[1]);
}

} // namespace

// A handle's file is noted at the open: a handle number that comes back for
// another file after a close is that other file's, for locks and owners.
TEST_F(Locks, AReusedHandleNumberLocksTheFileNowOpen) {
    WriteFile("OUTRA.DBF", std::string(100, 'y'));
    FileHandle a = kNoFile;
    ASSERT_EQ(FileOpen("OUTRA.DBF", kAccessReadWrite, FileCreate::kOpenExisting, &a), 0u);
    ASSERT_EQ(LockRegion(a, kBase + 1, 1), 0u);
    ASSERT_EQ(FileClose(a), 0u);
    FileHandle b = kNoFile;
    ASSERT_EQ(FileOpen("TABELA.DBF", kAccessReadWrite, FileCreate::kOpenExisting, &b), 0u);
    ASSERT_EQ(b, a); // the lowest free number again
    ASSERT_EQ(LockRegionAs(b, kBase + 2, 1, LockMode::kExclusive, 7, 0), 0u);
    EXPECT_EQ(RegionOwner(h_, kBase + 2, 1), 7); // TABELA.DBF through h_
    EXPECT_EQ(LockRegion(h_, kBase + 2, 1), kErrLockViolation);
    FileHandle c = kNoFile;
    ASSERT_EQ(FileOpen("OUTRA.DBF", kAccessReadWrite, FileCreate::kOpenExisting, &c), 0u);
    EXPECT_EQ(RegionOwner(c, kBase + 2, 1), -1);
    EXPECT_EQ(LockRegion(c, kBase + 2, 1), 0u);
    FileClose(c);
    FileClose(b);
}
