// What the journal keeps across a restart and what start-up refuses: the
// terminals' sequence bytes, indexes damaged on disk, and the failures of a
// full disk and of an index that cannot be written while open.
#include "tests/journal/journal_fixture.h"

#include <csignal>
#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

#include "manager/runtime.h"
#include "manager/startup.h"
#include "manager/tablestore/indexes.h"
#include "platform/files.h"

namespace jtest {
namespace {

// The root page's offset in an index file, and the offset of its item 0.
std::size_t Root(const std::string& f) {
    return static_cast<unsigned char>(f[4]) | static_cast<unsigned char>(f[5]) << 8 |
           static_cast<unsigned char>(f[6]) << 16;
}
std::size_t Item0(const std::string& f) {
    const std::size_t root = Root(f);
    return root +
           (static_cast<unsigned char>(f[root + 2]) | static_cast<unsigned char>(f[root + 3]) << 8);
}

class Start : public JournalDir {
  protected:
    // The record count the table's size gives.
    int Count() {
        const std::string t = mtest::ReadFile(dir.file("ITEM.DBF"));
        const int header = static_cast<unsigned char>(t[8]) | static_cast<unsigned char>(t[9]) << 8;
        return static_cast<int>((t.size() - header) / 22);
    }
    // Serves r in a child killed at its nth write from the files as Reset
    // leaves them (reset first unless told not to): 0 when it ended before.
    int KilledAt(const Request& r, int n, bool reset = true) {
        if (reset) Reset();
        return InChild([&] {
            return Serve({r}, nullptr, true,
                         [&] { plat::FileFaultSet(n, plat::WriteFault::kKill); })
                       ? 0
                       : 1;
        });
    }
    const Request append{43, Pairs({0, 0}, {{"NOME", "N999"}, {"QTD", "77"}, {"COD", "Z00001"}})};
};

// A finished request's records stay in the journal (only the header's
// generation retires them): a kill after two finished changes undoes
// neither, and a kill in the middle of a shorter one, with the older
// records still behind its own, undoes exactly that one.
TEST_F(Start, RecordsOfFinishedRequestsAreNeverUndone) {
    const Request keys{19, Pairs({0, 0}, {{"NOME", "AAB"}, {"QTD", "3"}, {"COD", "C99999"}})};
    ASSERT_EQ(InChild([&] {
                  std::vector<Answer> a;
                  if (!Serve({append, keys}, &a, false)) return 1;
                  ::kill(::getpid(), SIGKILL);
                  return 2;
              }),
              128 + SIGKILL);
    EXPECT_GT(mtest::ReadFile(dir.file("talvo.jnl")).size(), 64u);
    ASSERT_EQ(Restart(), 0);
    EXPECT_EQ(Count(), 121);
    const std::string after_two = State();
    EXPECT_NE(after_two.find("AAB"), std::string::npos);
    const Request mark{20, {0, 0}};
    ASSERT_EQ(KilledAt(mark, 3, false), 128 + SIGKILL);
    ASSERT_EQ(Restart(), 0);
    EXPECT_EQ(State(), after_two);
    EXPECT_EQ(Check(), 0);
}

TEST_F(Start, ARepeatedSequenceByteAfterAKillAppendsNothing) {
    ASSERT_EQ(InChild([] {
                  std::vector<Answer> a;
                  if (!Serve({{46, {7, 0}}}, &a, false) || a.at(0).code != 18) return 1;
                  ::kill(::getpid(), SIGKILL); // answered, then killed
                  return 2;
              }),
              128 + SIGKILL);
    EXPECT_EQ(Count(), 121);
    ASSERT_EQ(InChild([] {
                  std::vector<Answer> a;
                  if (!Serve({{46, {7, 0}}, {46, {8, 0}}}, &a)) return 1;
                  return a.at(0).code == 46 && a.at(1).code == 18 ? 0 : 2;
              }),
              0);
    EXPECT_EQ(Count(), 122);
    EXPECT_EQ(Check(), 0);
}

TEST_F(Start, DamagedIndexesAreRefusedWithTheirName) {
    struct Damage {
        const char* what;
        bool after_kill; // found only by the full check after a stop not in order
        std::function<void(std::string&)> apply;
    };
    const std::vector<Damage> damages = {
        {"cut to its header", false, [](std::string& f) { f.resize(1024); }},
        {"cut in half", false, [](std::string& f) { f.resize(f.size() / 2 / 1024 * 1024); }},
        {"bad root", false, [](std::string& f) { f[4] = 0x39; }},
        {"root page key count", false, [](std::string& f) { f[Root(f)] = 0x7F; }},
        {"flipped key bits", true, [](std::string& f) { f[Item0(f) + 8] ^= 0x21; }},
        {"record past the table", true, [](std::string& f) { f[Item0(f) + 7] = 0x7F; }},
    };
    for (const Damage& d : damages) {
        Reset();
        if (d.after_kill) { // leaves the journal saying the manager is running
            ASSERT_EQ(InChild([] { return Serve({}, nullptr, false) ? 0 : 1; }), 0);
        }
        std::string bytes = mtest::ReadFile(dir.file("ITQTD.NTX"));
        d.apply(bytes);
        mtest::WriteFile(dir.file("ITQTD.NTX"), bytes);
        EXPECT_EQ(StartUp(), "Erro ao Abrir Arquivo ITQTD.NTX") << d.what;
        const std::string log = mtest::ReadFile(dir.file("TableErrors.txt"));
        EXPECT_NE(log.find("ITQTD.NTX"), std::string::npos) << d.what;
        EXPECT_NE(log.find("dbftool index rebuilds it"), std::string::npos) << d.what;
        EXPECT_EQ(mtest::ReadFile(dir.file("ITQTD.NTX")), bytes) << d.what << ": left as found";
    }
    // The full check runs only after a stop that was not in order.
    Reset();
    ASSERT_EQ(StartUp(), "");
    std::string bytes = mtest::ReadFile(dir.file("ITQTD.NTX"));
    bytes[Item0(bytes) + 8] ^= 0x21;
    mtest::WriteFile(dir.file("ITQTD.NTX"), bytes);
    EXPECT_EQ(StartUp(), "");
}

TEST_F(Start, AFullDiskOrAReadOnlyIndexFailsTheChangeUntilTheFaultIsGone) {
    const std::string before = State();
    const long table_size = static_cast<long>(mtest::ReadFile(dir.file("ITEM.DBF")).size());
    ASSERT_EQ(InChild([&] { return Serve({append}, nullptr) ? 0 : 1; }), 0);
    const std::string after = State();
    for (const bool full_disk : {true, false}) {
        Reset();
        const std::string state_file = dir.file("failed.txt");
        ASSERT_EQ(InChild([&] {
                      std::vector<Answer> a;
                      int rw = -1;
                      int index_file = -1;
                      rlimit old{};
                      ::getrlimit(RLIMIT_FSIZE, &old);
                      if (!Serve({append}, &a, false, [&] {
                              if (full_disk) {
                                  std::signal(SIGXFSZ, SIG_IGN);
                                  rlimit small = old;
                                  small.rlim_cur = static_cast<rlim_t>(table_size);
                                  ::setrlimit(RLIMIT_FSIZE, &small);
                              } else {
                                  // The index's handle now allows reading only.
                                  index_file = i4index(i4find_index("ITQTD.NTX"))->file;
                                  rw = ::dup(index_file);
                                  const int ro = ::open("ITQTD.NTX", O_RDONLY);
                                  ::dup2(ro, index_file);
                                  ::close(ro);
                              }
                          }))
                          return 1;
                      if (a.at(0).code != 43 || a.at(0).status != 1) return 2;
                      // A move still answers a real record: the last one.
                      if (Ask(23, {0, 0}).status != 0) return 3;
                      mtest::WriteFile(state_file, "x");
                      ::setrlimit(RLIMIT_FSIZE, &old);
                      if (!full_disk) ::dup2(rw, index_file);
                      // The fault is gone: the index is used again.
                      Ask(22, {0, 0, '5'});
                      const Answer b = Ask(append.code, append.data);
                      Shutdown();
                      return b.code == 43 && b.status == 0 ? 0 : 4;
                  }),
                  0)
            << (full_disk ? "full disk" : "read-only index");
        EXPECT_EQ(State(), after);
        EXPECT_EQ(Check(), 0);
        const std::string log = mtest::ReadFile(dir.file("TableErrors.txt"));
        EXPECT_NE(log.find("Writing to File"), std::string::npos);
        EXPECT_NE(log.find("failed"), std::string::npos);
    }
}

// Another program that changes a file between the kill and the restart (the
// service restarts the manager seconds later) keeps its change: the repair
// leaves that file as found and says so, and undoes the others.
TEST_F(Start, AFileAnotherProgramChangedAfterAKillIsLeftAsFound) {
    const Request keys{19, Pairs({0, 0}, {{"NOME", "AAB"}, {"QTD", "3"}, {"COD", "C99999"}})};
    int seen = 0;
    for (int n = 1; n < 300; ++n) {
        const int r = KilledAt(keys, n);
        if (r == 0) break;
        ASSERT_EQ(r, 128 + SIGKILL) << "write " << n;
        const std::string index = dir.file("ITNOME.NTX");
        std::string f = mtest::ReadFile(index);
        if (mtest::ReadFile(dir.file("talvo.jnl")).size() <= 64) continue;
        // The other program's change: its counter moved on by 100.
        const unsigned v =
            (static_cast<unsigned char>(f[2]) | static_cast<unsigned char>(f[3]) << 8) + 100;
        f[2] = static_cast<char>(v & 0xFF);
        f[3] = static_cast<char>(v >> 8 & 0xFF);
        mtest::WriteFile(index, f);
        Restart();
        const std::string now = mtest::ReadFile(index);
        const std::string log = mtest::ReadFile(dir.file("TableErrors.txt"));
        if (log.find("ITNOME.NTX was changed by another program") == std::string::npos) continue;
        ++seen;
        EXPECT_EQ(now.substr(0, 4), f.substr(0, 4)) << "write " << n;
    }
    EXPECT_GT(seen, 0) << "no kill left a change of ITNOME.NTX in the journal";
}

// A record another program appended after the kill of an update survives
// the repair: undoing a write inside the table puts its bytes back and never
// cuts the file to the size it had before.
TEST_F(Start, ARecordAnotherProgramAppendedAfterAKillSurvivesTheRepair) {
    const Request keys{19, Pairs({0, 0}, {{"NOME", "AAB"}, {"QTD", "3"}, {"COD", "C99999"}})};
    const std::string peer(22, 'P');
    int seen = 0;
    for (int n = 1; n < 300; ++n) {
        Reset();
        const int before = Count();
        const int r = KilledAt(keys, n, false);
        if (r == 0) break;
        ASSERT_EQ(r, 128 + SIGKILL) << "write " << n;
        if (mtest::ReadFile(dir.file("talvo.jnl")).size() <= 64) continue;
        std::string t = mtest::ReadFile(dir.file("ITEM.DBF"));
        const std::size_t header =
            static_cast<unsigned char>(t[8]) | static_cast<unsigned char>(t[9]) << 8;
        t.resize(header + static_cast<std::size_t>(before) * 22);
        t += peer + "\x1A";
        t[4] = static_cast<char>(before + 1);
        t[5] = static_cast<char>((before + 1) >> 8);
        mtest::WriteFile(dir.file("ITEM.DBF"), t);
        Restart();
        ++seen;
        const std::string now = mtest::ReadFile(dir.file("ITEM.DBF"));
        EXPECT_EQ(Count(), before + 1) << "write " << n;
        EXPECT_EQ(now.substr(header + static_cast<std::size_t>(before) * 22, 22), peer)
            << "write " << n;
    }
    EXPECT_GT(seen, 0) << "no kill left an update in the journal";
}

} // namespace
} // namespace jtest
