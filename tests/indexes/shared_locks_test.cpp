// The store's locks as other programs see them and meet them: the regions
// held during an append, a record change and an index read, seen from
// another process with classic (F_GETLK) and open-file-description
// (F_OFD_GETLK) queries; bounded waits for locks another process holds; and
// the rules for terminals' locks held in this same process.
#include <chrono>
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include "manager/tablestore/fileio.h"
#include "platform/locks.h"
#include "tests/indexes/index_support.h"

namespace {

using namespace itest;
using Clock = std::chrono::steady_clock;

constexpr std::int64_t kBase = 1000000000;
enum Seen { kFree = 0, kWrite = 1, kRead = 2, kError = 3 };

// The lock record of [offset, offset + length) with the type given.
struct flock Range(short type, std::int64_t offset, std::int64_t length) {
    struct flock fl {};
    fl.l_type = type;
    fl.l_whence = SEEK_SET;
    fl.l_start = offset;
    fl.l_len = length;
    return fl;
}

// What another process's query finds on [offset, offset + length).
Seen SeenBy(const std::string& path, std::int64_t offset, std::int64_t length, int cmd) {
    const pid_t pid = ::fork();
    if (pid == 0) {
        const int fd = ::open(path.c_str(), O_RDWR);
        struct flock fl = Range(F_WRLCK, offset, length);
        if (fd < 0 || ::fcntl(fd, cmd, &fl) != 0) ::_exit(kError);
        ::_exit(fl.l_type == F_UNLCK ? kFree : fl.l_type == F_WRLCK ? kWrite : kRead);
    }
    int status = 0;
    ::waitpid(pid, &status, 0);
    return WIFEXITED(status) ? static_cast<Seen>(WEXITSTATUS(status)) : kError;
}

// Both queries must agree.
Seen Seen2(const std::string& path, std::int64_t offset, std::int64_t length = 1) {
    const Seen classic = SeenBy(path, offset, length, F_GETLK);
    const Seen ofd = SeenBy(path, offset, length, F_OFD_GETLK);
    return classic == ofd ? classic : kError;
}

// Another program holding a classic lock for a while.
struct Holder {
    pid_t pid = -1;
    Holder(const std::string& path, std::int64_t offset, std::int64_t length, short type, int ms) {
        int p[2];
        if (::pipe(p) != 0) return;
        pid = ::fork();
        if (pid == 0) {
            const int fd = ::open(path.c_str(), O_RDWR);
            struct flock fl = Range(type, offset, length);
            const char ok = fd >= 0 && ::fcntl(fd, F_SETLK, &fl) == 0 ? 'y' : 'n';
            (void)!::write(p[1], &ok, 1);
            ::usleep(static_cast<useconds_t>(ms) * 1000);
            ::_exit(0);
        }
        char ok = 'n';
        (void)!::read(p[0], &ok, 1);
        ::close(p[0]);
        ::close(p[1]);
        EXPECT_EQ(ok, 'y');
    }
    ~Holder() {
        if (pid > 0) ::waitpid(pid, nullptr, 0);
    }
};

double SecondsOf(const std::function<void()>& f) {
    const auto start = Clock::now();
    f();
    return std::chrono::duration<double>(Clock::now() - start).count();
}

struct SharedLocks : StoreTest {
    std::string dbf, ntx;
    void SetUp() override {
        StoreTest::SetUp();
        dbf = make_table("T.DBF", {"NOME:C:10", "QTD:N:5"});
        ntx = dir / "TNOME.NTX";
        ASSERT_GE(make_index(dbf, "TNOME.NTX", "NOME"), 0);
        for (const char* n : {"ANA", "BIA", "CAIO"}) ASSERT_EQ(append({n, "1"}), 0);
        ASSERT_EQ(d4unlock_all(), 0);
    }
    void TearDown() override {
        u4set_lock_owner(u4no_terminal);
        StoreTest::TearDown();
    }
    int change(int r, const char* nome) {
        if (d4goto_record(r) != 0) return -9;
        f4put_text(f4ref("NOME"), nome);
        return d4write_record(r);
    }
};

TEST_F(SharedLocks, OtherProcessesSeeTheRegionsUntilTheRequestEnds) {
    ASSERT_EQ(append({"DORA", "4"}), 0);
    EXPECT_EQ(Seen2(dbf, kBase), kWrite) << "append byte";
    EXPECT_EQ(Seen2(dbf, kBase + 4), kWrite) << "the new record";
    EXPECT_EQ(Seen2(dbf, kBase + 3), kFree);
    EXPECT_EQ(Seen2(ntx, kBase), kWrite) << "index being changed";
    const std::vector<char> file = read_file(dbf);
    EXPECT_EQ(b4get32(reinterpret_cast<const std::uint8_t*>(file.data()) + 4), 4u)
        << "the header's count is written under the append lock";
    ASSERT_EQ(d4unlock_all(), 0);
    for (std::int64_t at : {kBase, kBase + 4}) EXPECT_EQ(Seen2(dbf, at), kFree);
    EXPECT_EQ(Seen2(ntx, kBase), kFree);

    ASSERT_EQ(change(2, "BETE"), 0);
    EXPECT_EQ(Seen2(dbf, kBase + 2), kWrite);
    EXPECT_EQ(Seen2(dbf, kBase), kFree) << "a change takes no append lock";
    EXPECT_EQ(Seen2(ntx, kBase), kWrite);
    ASSERT_EQ(d4unlock_all(), 0);

    // (A seek that goes on to read its record releases the index there.)
    ASSERT_EQ(i4find_key(i4find_index(ntx.c_str()), "BETE"), 1); // a prefix of the key
    EXPECT_EQ(Seen2(ntx, kBase), kRead) << "reading pages: shared";
    EXPECT_EQ(Seen2(dbf, kBase + 2), kFree) << "reading takes no record lock";
    ASSERT_EQ(d4unlock_all(), 0);
    EXPECT_EQ(Seen2(ntx, kBase), kFree);
}

TEST_F(SharedLocks, LocksOfOtherProgramsAreWaitedForABoundedTime) {
    {
        Holder held(dbf, kBase + 2, 1, F_WRLCK, 4000);
        double s = SecondsOf([&] { EXPECT_EQ(change(2, "BETE"), -1); });
        EXPECT_EQ(e4last_error(), err4lock);
        EXPECT_GE(s, 0.9);
        EXPECT_LT(s, 3.5);
        d4unlock_all();
    }
    {
        // The whole file the way other programs lock it: no append gets through.
        Holder whole(dbf, kBase + 1, kBase, F_WRLCK, 2500);
        EXPECT_EQ(append({"EVA", "5"}), -1);
        d4unlock_all();
    }
    EXPECT_EQ(d4record_count(), 3);
    {
        Holder held(dbf, kBase, 1, F_WRLCK, 300);
        double s = SecondsOf([&] { EXPECT_EQ(append({"EVA", "5"}), 0); });
        EXPECT_GE(s, 0.2) << "waited for the other appender";
        d4unlock_all();
    }
    {
        // Another reader of the index: reading goes on, a change waits in vain.
        Holder reader(ntx, kBase, 1, F_RDLCK, 2500);
        EXPECT_EQ(i4seek_text("ANA"), 1);
        d4unlock_all();
        EXPECT_EQ(change(1, "ALMA"), -1);
        d4unlock_all();
    }
    EXPECT_EQ(change(1, "ALMA"), 0);
    ASSERT_EQ(d4unlock_all(), 0);
    int notes = 0;
    EXPECT_EQ(check_faults_lenient(i4find_index(ntx.c_str()), &notes), 0);
    EXPECT_EQ(walk_forward().size(), 4u);
}

TEST_F(SharedLocks, TerminalLocksOfThisProcessCountForTheirOwnerOnly) {
    const int file = d4current_table()->file;
    const int slot = 2;
    ASSERT_EQ(plat::LockRegionAs(file, kBase + 1, 1, plat::LockMode::kExclusive,
                                 u4owner_of_slot(slot), 0),
              0u);
    struct Case {
        int owner;
        int result;
    };
    for (const Case c : {Case{u4owner_of_slot(slot), 0}, Case{u4owner_of_slot(slot + 1), -1},
                         Case{u4no_terminal, -1}, Case{u4any_terminal, 0}}) {
        SCOPED_TRACE(c.owner);
        u4set_lock_owner(c.owner);
        double s =
            SecondsOf([&] { EXPECT_EQ(change(1, c.result == 0 ? "ALMA" : "XX"), c.result); });
        EXPECT_LT(s, 0.5) << "no wait on this process's own locks";
        EXPECT_EQ(d4unlock_all(), 0);
        EXPECT_EQ(Seen2(dbf, kBase + 1), kWrite) << "the terminal's lock stays";
    }
    ASSERT_EQ(plat::UnlockRegion(file, kBase + 1, 1), 0u);

    // A terminal's whole-file lock: its own appends pass, nobody else's.
    ASSERT_EQ(plat::LockRegionAs(file, kBase, kBase, plat::LockMode::kExclusive,
                                 u4owner_of_slot(slot), 0),
              0u);
    u4set_lock_owner(u4owner_of_slot(slot + 1));
    EXPECT_EQ(append({"EVA", "5"}), -1);
    d4unlock_all();
    u4set_lock_owner(u4owner_of_slot(slot));
    EXPECT_EQ(append({"EVA", "5"}), 0);
    EXPECT_EQ(d4unlock_all(), 0);
    ASSERT_EQ(plat::UnlockRegion(file, kBase, kBase), 0u);
    EXPECT_EQ(d4record_count(), 4);
}

} // namespace
