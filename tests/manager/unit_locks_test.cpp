// Record and whole-file locks at the level of the routines, on an open table
// and a text file, with another process holding a record lock of its own.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include "manager/requests/locks.h"
#include "platform/errors.h"
#include "platform/files.h"
#include "platform/locks.h"
#include "tests/manager/support.h"
#include "tests/manager/table_fixture.h"

namespace {

constexpr int A = 2;
constexpr int B = 9;

class LockTest : public mtest::TableFixture {
  protected:
    void SetUp() override {
        TableFixture::SetUp();
        OnTable(A, 5);
        OnTable(B, 5);
    }
    // Lock request `code` (36 record, 37 whole file) for slot at its record.
    char Ask(int slot, int code) {
        At(slot);
        link.sent.clear();
        LockRequest(0x100 + slot, FrameBuffer, slot, code == 37);
        EXPECT_EQ(link.sent.size(), 1u);
        if (link.sent.size() != 1 || link.sent[0].data.size() != 2) return '?';
        EXPECT_EQ(link.sent[0].code, code);
        EXPECT_EQ(link.sent[0].data[1], 0);
        return static_cast<char>(link.sent[0].data[0]);
    }
    int Unlock(int slot) {
        link.sent.clear();
        UnlockRequest(0x100 + slot, slot);
        return link.sent.size() == 1 ? link.sent[0].code : -1;
    }
    mtest::FakeLink link;
};

TEST_F(LockTest, RecordLockKeepsOthersOffUntilTheHolderMoves) {
    EXPECT_EQ(Ask(A, 36), 'T');
    EXPECT_EQ(locks->record[A], 5u);
    At(B);
    EXPECT_EQ(ProbeLock(locks, B), kLockElsewhere);
    At(A);
    EXPECT_EQ(ProbeLock(locks, A), kLockMyRecord);
    EXPECT_EQ(Ask(B, 36), 'F');
    // A moves to record 6: its lock on 5 goes.
    At(A);
    ASSERT_EQ(d4goto_record(6), 0);
    ReleaseIfMoved(A);
    EXPECT_EQ(locks->record[A], 0u);
    EXPECT_EQ(Ask(B, 36), 'T');
}

TEST_F(LockTest, SameRecordTwiceIsGrantedTwice) {
    EXPECT_EQ(Ask(A, 36), 'T');
    EXPECT_EQ(Ask(A, 36), 'T');
    EXPECT_EQ(locks->record[A], 5u);
}

TEST_F(LockTest, WholeFileLockKeepsEveryoneElseOut) {
    EXPECT_EQ(Ask(A, 37), 'T');
    EXPECT_EQ(locks->holder, static_cast<std::uint32_t>(A));
    EXPECT_EQ(ProbeLock(locks, A), kLockMyFile);
    EXPECT_EQ(ProbeLock(locks, B), kLockElsewhere);
    EXPECT_EQ(Ask(B, 36), 'F');
    EXPECT_EQ(Ask(B, 37), 'F');
    EXPECT_EQ(Ask(A, 37), 'T'); // already held
    // A's record lock gives up its whole-file lock.
    EXPECT_EQ(Ask(A, 36), 'T');
    EXPECT_EQ(locks->holder, kNoHolder);
    EXPECT_EQ(locks->record[A], 5u);
}

TEST_F(LockTest, WholeFileRefusedWhileAnyRecordIsLocked) {
    EXPECT_EQ(Ask(A, 36), 'T');
    TerminalRecord[B] = 8; // B's own record is free
    At(B);
    EXPECT_EQ(ProbeLock(locks, B), kLockFree);
    EXPECT_EQ(Ask(B, 37), 'F');
    EXPECT_EQ(locks->holder, kNoHolder);
}

TEST_F(LockTest, ReleaseAnswersFifteenAndFreesTheRegion) {
    EXPECT_EQ(Ask(A, 36), 'T');
    EXPECT_EQ(Unlock(A), 15);
    EXPECT_EQ(locks->record[A], 0u);
    // Nothing left to release: done as well.
    EXPECT_EQ(Unlock(A), 15);
    // The byte-range lock is gone: a handle of its own may take it.
    plat::FileHandle other = plat::kNoFile;
    ASSERT_EQ(plat::FileOpen(dir.file("ITEMS.DBF").c_str(), plat::kAccessReadWrite,
                             plat::FileCreate::kOpenExisting, &other),
              0u);
    EXPECT_EQ(plat::LockRegion(other, kLockBase + 5, 1), 0u);
    plat::UnlockRegion(other, kLockBase + 5, 1);
    plat::FileClose(other);
}

TEST_F(LockTest, UnlockTheSystemRefusesKeepsTheEntryAndAnswersFourteen) {
    EXPECT_EQ(Ask(A, 36), 'T');
    // Take the region away behind the lock table's back.
    ASSERT_EQ(plat::UnlockRegion(handle()->file, kLockBase + 5, 1), 0u);
    EXPECT_EQ(Unlock(A), 14);
    EXPECT_EQ(locks->record[A], 5u);
}

TEST_F(LockTest, ReleaseIfMovedLeavesALockOnTheNewRecordAndWholeFileLocks) {
    EXPECT_EQ(Ask(A, 37), 'T');
    At(A);
    ASSERT_EQ(d4goto_record(7), 0);
    ReleaseIfMoved(A);
    EXPECT_EQ(locks->holder, static_cast<std::uint32_t>(A));
    // Starting from record 0 (no record yet) does not take a whole-file lock away.
    TerminalRecord[A] = 0;
    ReleaseIfMoved(A);
    EXPECT_EQ(locks->holder, static_cast<std::uint32_t>(A));
}

TEST_F(LockTest, NoLockTableMeansRefusedAndNothingToRelease) {
    TerminalLocks[A] = nullptr;
    EXPECT_EQ(Ask(A, 36), 'F');
    EXPECT_EQ(Ask(A, 37), 'F');
    EXPECT_EQ(ReleaseLocks(nullptr, A), 0);
    EXPECT_EQ(Unlock(A), 15);
}

// Another program holds record 5 through an ordinary record lock.
TEST_F(LockTest, RecordHeldByAnotherProgramIsRefused) {
    int ready[2];
    int release[2];
    ASSERT_EQ(::pipe(ready), 0);
    ASSERT_EQ(::pipe(release), 0);
    const std::string path = dir.file("ITEMS.DBF");
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        ::close(release[1]);
        ::close(ready[0]);
        const int fd = ::open(path.c_str(), O_RDWR);
        struct flock fl {};
        fl.l_type = F_WRLCK;
        fl.l_whence = SEEK_SET;
        fl.l_start = kLockBase + 5;
        fl.l_len = 1;
        const char ok = (fd >= 0 && ::fcntl(fd, F_SETLK, &fl) == 0) ? 'y' : 'n';
        if (::write(ready[1], &ok, 1) != 1) ::_exit(2);
        char c;
        while (::read(release[0], &c, 1) > 0) {
        }
        ::_exit(0);
    }
    ::close(ready[1]);
    ::close(release[0]);
    char ok = 0;
    ASSERT_EQ(::read(ready[0], &ok, 1), 1);
    ASSERT_EQ(ok, 'y');
    At(A);
    EXPECT_EQ(ProbeLock(locks, A), kLockElsewhere);
    EXPECT_EQ(Ask(A, 36), 'F');
    EXPECT_EQ(Ask(A, 37), 'F');
    EXPECT_EQ(locks->record[A], 0u);
    // Another record is free all the same.
    TerminalRecord[A] = 6;
    EXPECT_EQ(Ask(A, 36), 'T');
    ::close(release[1]);
    int status = 0;
    ::waitpid(child, &status, 0);
    ::close(ready[0]);
    TerminalRecord[B] = 5;
    EXPECT_EQ(Ask(B, 36), 'T');
}

class TextLockTest : public LockTest {
  protected:
    void SetUp() override {
        LockTest::SetUp();
        mtest::WriteFile(dir.file("NOTES.TXT"), "line\r\n");
        ASSERT_EQ(plat::FileOpen(dir.file("NOTES.TXT").c_str(), plat::kAccessReadWrite,
                                 plat::FileCreate::kOpenExisting, &text),
                  0u);
        text_locks = AllocateLockTable(1);
        for (int slot : {A, B}) {
            TerminalFile[slot] = text;
            TerminalFileKind[slot] = kKindText;
            TerminalLocks[slot] = text_locks;
        }
    }
    void TearDown() override {
        plat::FileClose(text);
        LockTest::TearDown();
    }
    plat::FileHandle text = plat::kNoFile;
    LockTable* text_locks = nullptr;
};

TEST_F(TextLockTest, NoRecordLocksButTheWholeFileLocksByteZero) {
    EXPECT_EQ(ProbeLock(text_locks, A), kLockFree);
    EXPECT_EQ(LockRecord(text_locks, A), -1);
    EXPECT_EQ(LockWholeFile(text_locks, A), 0);
    EXPECT_EQ(text_locks->holder, static_cast<std::uint32_t>(A));
    EXPECT_EQ(ProbeLock(text_locks, B), kLockElsewhere);
    EXPECT_EQ(LockWholeFile(text_locks, B), -1);
    plat::FileHandle other = plat::kNoFile;
    ASSERT_EQ(plat::FileOpen(dir.file("NOTES.TXT").c_str(), plat::kAccessReadWrite,
                             plat::FileCreate::kOpenExisting, &other),
              0u);
    EXPECT_EQ(plat::LockRegion(other, 0, 1), plat::kErrLockViolation);
    EXPECT_EQ(ReleaseLocks(text_locks, A), 0);
    EXPECT_EQ(text_locks->holder, kNoHolder);
    EXPECT_EQ(plat::LockRegion(other, 0, 1), 0u);
    // Held by another program now.
    EXPECT_EQ(ProbeLock(text_locks, B), kLockElsewhere);
    EXPECT_EQ(LockWholeFile(text_locks, B), -1);
    plat::FileClose(other);
    EXPECT_EQ(LockWholeFile(text_locks, B), 0);
}

} // namespace

namespace {

// Whether another program finds [start, start + length) of the file held,
// asked from a process of its own with an ordinary record-lock query.
bool HeldForAnotherProgram(const std::string& path, std::int64_t start, std::int64_t length) {
    const pid_t child = ::fork();
    if (child < 0) return false;
    if (child == 0) {
        const int fd = ::open(path.c_str(), O_RDWR);
        if (fd < 0) ::_exit(2);
        struct flock fl {};
        fl.l_type = F_WRLCK;
        fl.l_whence = SEEK_SET;
        fl.l_start = start;
        fl.l_len = length;
        if (::fcntl(fd, F_GETLK, &fl) != 0) ::_exit(2);
        ::_exit(fl.l_type == F_UNLCK ? 0 : 1);
    }
    int status = 0;
    ::waitpid(child, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) != 2);
    return WIFEXITED(status) && WEXITSTATUS(status) == 1;
}

// The regions other programs see: exactly 1,000,000,000 + r for record r,
// and exactly 1,000,000,000 bytes from 1,000,000,000 for the whole table.
TEST_F(LockTest, OtherProgramsSeeExactlyTheLockedRegions) {
    const std::string path = dir.file("ITEMS.DBF");
    EXPECT_FALSE(HeldForAnotherProgram(path, kLockBase + 5, 1));
    ASSERT_EQ(Ask(A, 36), 'T');
    EXPECT_TRUE(HeldForAnotherProgram(path, kLockBase + 5, 1));
    EXPECT_FALSE(HeldForAnotherProgram(path, kLockBase + 4, 1));
    EXPECT_FALSE(HeldForAnotherProgram(path, kLockBase + 6, 1));
    EXPECT_FALSE(HeldForAnotherProgram(path, 5, 1));
    ASSERT_EQ(Unlock(A), 15);
    EXPECT_FALSE(HeldForAnotherProgram(path, kLockBase + 5, 1));

    ASSERT_EQ(Ask(A, 37), 'T');
    EXPECT_TRUE(HeldForAnotherProgram(path, kLockBase, 1));
    EXPECT_TRUE(HeldForAnotherProgram(path, 2 * kLockBase - 1, 1));
    EXPECT_FALSE(HeldForAnotherProgram(path, kLockBase - 1, 1));
    EXPECT_FALSE(HeldForAnotherProgram(path, 2 * kLockBase, 1));
    EXPECT_FALSE(HeldForAnotherProgram(path, 0, 1));
    // Taking a record lock gives the whole table back to others.
    ASSERT_EQ(Ask(A, 36), 'T');
    EXPECT_FALSE(HeldForAnotherProgram(path, kLockBase + 7, 1));
    EXPECT_TRUE(HeldForAnotherProgram(path, kLockBase + 5, 1));
    // At shutdown every terminal's lock goes.
    ASSERT_EQ(ReleaseLocks(locks, A), 0);
    EXPECT_FALSE(HeldForAnotherProgram(path, kLockBase, kLockBase));
}

} // namespace
