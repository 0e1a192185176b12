// The operator's commands against the real wtalvoc: --check on a sound
// directory and on each fault, the second copy and --stop saying what they
// stopped (and the stopped copy saying who), Permission denied named with
// the path, --monitor beside a manager that serves, and the claim of the
// directory that nobody else can block.
#include <gtest/gtest.h>

#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <functional>
#include <pwd.h>
#include <regex>
#include <string>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include "tests/manager/program_support.h"

namespace {

namespace fs = std::filesystem;
using mtest::Ran;
using mtest::RunWtalvoc;
constexpr int kNobody = 65534;

class OperatorTest : public mtest::ProgramTest {
  public:
    // A directory the manager would serve: a table with an index, a text
    // file, the images, talvo.cfg 0640 and the directory 0750.
    void Sound(std::vector<std::uint16_t> addresses = {5, 6}) {
        mtest::WriteTable(dir.file("ITEMS.DBF"), {{"NAME", 4}}, {"ANA", "BIA"});
        mtest::WriteIndex(dir.file("ITEMS.NTX"), "NAME", {"ANA ", "BIA "});
        mtest::WriteFile(dir.file("DADOS.TXT"), "x");
        for (std::size_t i = 0; i < addresses.size(); ++i)
            mtest::WriteFile(dir.file("APP0" + std::to_string(i) + ".BIN"), "image");
        config = mtest::MakeConfig(addresses,
                                   {{"ITEMS.DBF", 'D'}, {"ITEMS.NTX", 'I', 1}, {"DADOS.TXT", 'A'}});
        mtest::WriteConfig(dir.path(), config);
        ::chmod(dir.file("talvo.cfg").c_str(), 0640);
        ::chmod(dir.path().c_str(), 0750);
    }
    // Hands the directory and its files to uid.
    void GiveTo(int uid) {
        for (const auto& e : fs::directory_iterator(dir.path()))
            EXPECT_EQ(::lchown(e.path().c_str(), uid, uid), 0) << e.path();
        EXPECT_EQ(::chown(dir.path().c_str(), uid, uid), 0);
    }
    void Rewrite() { mtest::WriteConfig(dir.path(), config); }
    ConfigRecord config{};
};

TEST_F(OperatorTest, CheckPassesASoundDirectoryAndNamesEachFault) {
    Sound();
    const std::string files =
        mtest::ReadFile(dir.file("ITEMS.DBF")) + mtest::ReadFile(dir.file("ITEMS.NTX"));
    const Ran sound = RunWtalvoc("/", {"--check", "-C", dir.path()});
    EXPECT_EQ(mtest::ReadFile(dir.file("ITEMS.DBF")) + mtest::ReadFile(dir.file("ITEMS.NTX")),
              files);
    EXPECT_EQ(sound.status, 0) << sound.out << sound.err;
    EXPECT_NE(sound.out.find(dir.path() + ": ready to serve\n"), std::string::npos) << sound.out;

    struct Fault {
        const char* what;
        std::function<void(OperatorTest&)> make;
        std::string expected; // in the output, after the directory's path
    };
    // A talvo.cfg with one setting changed.
    const auto config_change = [](void (*change)(ConfigRecord&)) {
        return [change](OperatorTest& t) {
            change(t.config);
            t.Rewrite();
        };
    };
    const std::vector<Fault> faults = {
        {"address 1", config_change([](ConfigRecord& c) { c.TerminalAddress[1] = 1; }),
         "/talvo.cfg: slot 1: address 1 is the PC's own address on the line; fix: "},
        {"repeated address", config_change([](ConfigRecord& c) { c.TerminalAddress[1] = 5; }),
         "/talvo.cfg: slot 1: address 5 is also slot 0's"},
        {"index of no table", config_change([](ConfigRecord& c) { c.DataFileTable[1] = 3; }),
         "/talvo.cfg: data file 2 (ITEMS.NTX): an index of data file 3, which is no table"},
        {"control character",
         config_change([](ConfigRecord& c) { c.TerminalApplication[0][2] = '\x07'; }),
         "/talvo.cfg: slot 0: the application name holds control characters"},
        {"no port", config_change([](ConfigRecord& c) { c.PortEnabled[0] = 0; }),
         "/talvo.cfg: no port is enabled"},
        {"garbage",
         [](OperatorTest& t) {
             std::string bytes(sizeof(ConfigRecord), '\0');
             unsigned seed = 7;
             for (char& c : bytes)
                 c = static_cast<char>((seed = seed * 1103515245u + 12345u) >> 16);
             std::memcpy(&t.config, bytes.data(), bytes.size());
             t.Rewrite();
         },
         "/talvo.cfg: not a configuration record ("},
        {"short file", [](OperatorTest& t) { mtest::WriteFile(t.dir.file("talvo.cfg"), "x"); },
         "/talvo.cfg: 1 bytes, a configuration has 4125"},
        {"missing table", [](OperatorTest& t) { fs::remove(t.dir.file("ITEMS.DBF")); },
         "/ITEMS.DBF: No such file or directory; fix: "},
        {"damaged index",
         [](OperatorTest& t) {
             std::string ntx = mtest::ReadFile(t.dir.file("ITEMS.NTX"));
             ntx[4] = '\x7f'; // the root page's offset, past the end
             mtest::WriteFile(t.dir.file("ITEMS.NTX"), ntx);
         },
         "/ITEMS.NTX: damaged: the root page offset 1151 is not a page inside the file of 2048 "
         "bytes; fix: rebuild it: dbftool index --force ITEMS.DBF ITEMS.NTX 'NAME'\n"},
        {"missing text file", [](OperatorTest& t) { fs::remove(t.dir.file("DADOS.TXT")); },
         "/DADOS.TXT: No such file or directory"},
        {"config writable by others",
         [](OperatorTest& t) { ::chmod(t.dir.file("talvo.cfg").c_str(), 0666); },
         "/talvo.cfg: can be written by other users"},
        {"directory writable by others",
         [](OperatorTest& t) { ::chmod(t.dir.path().c_str(), 0777); },
         ": can be written by other users (they would choose what terminals reach); fix: chmod"},
        {"journal writable by others",
         [](OperatorTest& t) {
             mtest::WriteFile(t.dir.file("talvo.jnl"), "");
             ::chmod(t.dir.file("talvo.jnl").c_str(), 0666);
         },
         "/talvo.jnl: can be written by other users (its undo records are written back at "
         "start); fix: chmod 0600"},
    };
    for (const Fault& f : faults) {
        Sound();
        f.make(*this);
        const Ran r = RunWtalvoc(dir.path(), {"--check"});
        EXPECT_EQ(r.status, 1) << f.what << "\n" << r.out;
        EXPECT_NE(r.out.find(f.expected), std::string::npos) << f.what << "\n" << r.out;
        EXPECT_NE(r.out.find(" the manager would not serve as configured\n"), std::string::npos);
        fs::remove(dir.file("talvo.jnl"));
    }
    // Nothing was written by the check.
    EXPECT_FALSE(fs::exists(dir.file("TableErrors.txt")));
    EXPECT_FALSE(fs::exists(dir.file(".wtalvoc.sock")));
}

TEST_F(OperatorTest, PermissionDeniedNamesThePathForTableIndexAndJournal) {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root to act as a second user";
    const std::vector<std::string> files = {"ITEMS.DBF", "ITEMS.NTX", "talvo.jnl"};
    for (const std::string& file : files) {
        Sound();
        mtest::WriteFile(dir.file("talvo.jnl"), "");
        GiveTo(kNobody);
        // One file left to root, readable by nobody else.
        ASSERT_EQ(::chown(dir.file(file).c_str(), 0, 0), 0);
        ASSERT_EQ(::chmod(dir.file(file).c_str(), 0600), 0);
        const Ran start = RunWtalvoc(dir.path(), {"--headless"}, kNobody);
        EXPECT_EQ(start.status, 1) << file;
        EXPECT_NE(start.err.find(file + " -> " + dir.file(file) + ": Permission denied\n"),
                  std::string::npos)
            << file << "\n"
            << start.err;
        const Ran check = RunWtalvoc(dir.path(), {"--check"}, kNobody);
        EXPECT_EQ(check.status, 1) << file;
        EXPECT_NE(check.out.find(dir.file(file) + ": Permission denied"), std::string::npos)
            << file << "\n"
            << check.out;
        GiveTo(0);
        fs::remove(dir.file("talvo.jnl"));
    }
    // A directory the user cannot write: the lock file named, the reason.
    Sound();
    fs::remove(dir.file(".wtalvoc.lock"));
    GiveTo(kNobody);
    ASSERT_EQ(::chown(dir.path().c_str(), 0, 0), 0);
    ASSERT_EQ(::chmod(dir.path().c_str(), 0755), 0);
    const Ran start = RunWtalvoc(dir.path(), {"--headless"}, kNobody);
    EXPECT_EQ(start.status, 1);
    EXPECT_NE(start.err.find(dir.file(".wtalvoc.lock") +
                             ": cannot open the lock file: Permission denied\n"),
              std::string::npos)
        << start.err;
}

TEST_F(OperatorTest, ARootLockFileAStartAfterAKillAndARefusedRealTimePriority) {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root to act as a second user";
    Sound({5});
    Line({5});
    GiveTo(kNobody);
    ASSERT_EQ(::chmod(pty.slave_name, 0666), 0);
    // A lock file left by a copy run as root is replaced, not obeyed.
    mtest::WriteFile(dir.file(".wtalvoc.lock"), "");
    ASSERT_EQ(::chmod(dir.file(".wtalvoc.lock").c_str(), 0600), 0);
    manager.start(dir.path(), {"--headless"}, dir.file("first.log"), kNobody);
    Ask(5, 28);
    const std::string first = manager.log();
    EXPECT_EQ(manager.stop(SIGKILL), 128 + SIGKILL);
    ::ioctl(pty.slave, TIOCNXCL); // the killed copy left the line exclusive
    manager.start(dir.path(), {"--headless"}, dir.file("second.log"), kNobody);
    Ask(5, 28);
    EXPECT_EQ(manager.stop(), 0);
    const std::string second = manager.log();
    for (const auto& [log, line] : std::vector<std::pair<std::string, std::string>>{
             {first, dir.file(".wtalvoc.lock") + " belonged to uid 0; replaced\n"},
             {first, " wtalvoc: real-time priority was refused for the line thread; it runs at "
                     "normal priority (more time-outs on a loaded PC). Fix: LimitRTPRIO=3 in the "
                     "service unit, or an rtprio limit"},
             {second, " wtalvoc: the last stop was not in order (killed, or the power failed): "
                      "the journal held no unfinished change; every index gets the full check "
                      "as it opens\n"}})
        EXPECT_NE(log.find(line), std::string::npos) << line << "\n" << log;
}

TEST_F(OperatorTest, SecondCopyAndStopSayWhatTheyStopped) {
    Sound({5});
    Line({5});
    manager.start(dir.path(), {"--headless"});
    Ask(5, 28);
    // --check beside the running copy leaves it alone.
    const Ran beside = RunWtalvoc(dir.path(), {"--check"});
    EXPECT_EQ(beside.status, 0) << beside.out;
    Ask(5, 27);
    EXPECT_TRUE(manager.running());
    const Ran second = RunWtalvoc(dir.path(), {"--headless"});
    EXPECT_EQ(second.status, 1);
    EXPECT_NE(second.err.find("wtalvoc: stopped the copy running in " + dir.path() + " (pid "),
              std::string::npos)
        << second.err;
    EXPECT_NE(second.err.find("use --check to try a configuration"), std::string::npos);
    EXPECT_EQ(manager.stop(0), 0);
    std::string log = manager.log();
    EXPECT_NE(log.find("wtalvoc: version 1.6.1 started in " + dir.path() + " (pid "),
              std::string::npos)
        << log;
    EXPECT_NE(
        log.find("wtalvoc: stopped in order in " + dir.path() + ": asked by another copy (pid "),
        std::string::npos)
        << log;

    manager.start(dir.path(), {"--headless"});
    Ask(5, 28);
    const Ran stop = RunWtalvoc(dir.path(), {"--stop"});
    EXPECT_EQ(stop.status, 0) << stop.err;
    EXPECT_NE(stop.out.find("wtalvoc: stopped the copy running in " + dir.path()),
              std::string::npos);
    EXPECT_EQ(manager.stop(0), 0);
    EXPECT_EQ(RunWtalvoc(dir.path(), {"--stop"}).status, 3);

    manager.start(dir.path(), {"--headless"});
    Ask(5, 28);
    EXPECT_EQ(manager.stop(SIGTERM), 0);
    log = manager.log();
    EXPECT_NE(log.find(": signal SIGTERM\n"), std::string::npos) << log;
    // Every line of ours in one style: a date first.
    EXPECT_EQ(log.find("\nwtalvoc:"), std::string::npos) << log;
}

TEST_F(OperatorTest, OurLinesCarryJournalPrioritiesOnlyWhenStandardErrorIsTheJournal) {
    mtest::WriteConfig(dir.path(), mtest::MakeConfig({5}, {{"ITEMS.DBF", 'D'}}));
    const std::string err = dir.file(".run.err"); // RunWtalvoc keeps its inode
    for (const bool journal : {true, false}) {
        mtest::WriteFile(err, "");
        struct stat st {};
        ASSERT_EQ(::stat(err.c_str(), &st), 0);
        const std::string stream =
            std::to_string(st.st_dev) + ":" + std::to_string(journal ? st.st_ino : st.st_ino + 1);
        ::setenv("JOURNAL_STREAM", stream.c_str(), 1);
        const Ran r = RunWtalvoc(dir.path(), {"--headless"});
        ::unsetenv("JOURNAL_STREAM");
        const std::size_t at = r.err.find("wtalvoc: ITEMS.DBF -> ");
        ASSERT_NE(at, std::string::npos) << r.err;
        const std::size_t start =
            r.err.rfind('\n', at) == std::string::npos ? 0 : r.err.rfind('\n', at) + 1;
        const std::string prefix = r.err.substr(start, at - start);
        if (journal) {
            EXPECT_EQ(prefix, "<3>") << r.err;
            // The table store's report too: a priority, no date of its own.
            EXPECT_FALSE(std::regex_search(r.err, std::regex("wtalvoc: [0-9]{2}/[0-9]{2}/")))
                << r.err;
            EXPECT_NE(r.err.find("<3>wtalvoc: "), std::string::npos) << r.err;
        } else
            EXPECT_EQ(prefix.size(), 20u) << prefix; // "dd/mm/yyyy hh:mm:ss "
    }
}

TEST_F(OperatorTest, MonitorsSeeRequestsAndRefusalsWhileTheManagerServes) {
    Sound({5});
    Line({5});
    manager.start(dir.path(), {"--headless"});
    Ask(5, 28);
    mtest::Background monitors[2];
    const std::string outs[2] = {dir.file("mon0.out"), dir.file("mon1.out")};
    for (int m = 0; m < 2; ++m) monitors[m].start(dir.path(), {"--monitor"}, outs[m]);
    // A monitor is in place once it got the greeting.
    for (int i = 0;
         i < 500 && (mtest::ReadFile(outs[0]).empty() || mtest::ReadFile(outs[1]).empty()); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    Ask(5, 28);
    Ask(5, 16, std::string("\0\0ITEMS", 7));
    Ask(5, 28, "", talvoterm::Fault::bad_checksum);
    Ask(5, 27);
    EXPECT_EQ(manager.stop(), 0) << manager.log();
    for (int m = 0; m < 2; ++m) {
        EXPECT_EQ(monitors[m].stop(0), 0);
        const std::string out = mtest::ReadFile(outs[m]);
        for (const char* expected :
             {"wtalvoc: monitoring;", " 5 slot 0: 28 date \"\" -> answer 28 date \"",
              " 5 slot 0: 16 open table \"\\x00\\x00ITEMS\" -> answer 16 open table",
              " line: frame refused: bad checksum x1 from 5 slot 0\n",
              " 5 slot 0: 27 time \"\" -> answer 27 time"})
            EXPECT_NE(out.find(expected), std::string::npos) << expected << "\n" << out;
        EXPECT_NE(out.find(" us\n"), std::string::npos) << out;
    }
}

TEST_F(OperatorTest, NobodyElseCanBlockTheClaim) {
    Sound({5});
    Line({5});
    if (::geteuid() == 0) {
        // Another user locks the directory itself: no effect on the start.
        ::chmod(dir.path().c_str(), 0755);
        const pid_t locker = ::fork();
        if (locker == 0) {
            if (::setgid(kNobody) != 0 || ::setuid(kNobody) != 0) ::_exit(1);
            const int fd = ::open(dir.path().c_str(), O_RDONLY | O_DIRECTORY);
            if (fd < 0 || ::flock(fd, LOCK_EX) != 0) ::_exit(1);
            ::pause();
            ::_exit(0);
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        manager.start(dir.path(), {"--headless"});
        Ask(5, 28);
        EXPECT_EQ(manager.stop(), 0);
        ::kill(locker, SIGKILL);
        ::waitpid(locker, nullptr, 0);
    }
    // A process that holds the private lock file: a clear refusal within
    // seconds.
    const int fd = ::open(dir.file(".wtalvoc.lock").c_str(), O_RDWR | O_CREAT, 0600);
    ASSERT_GE(fd, 0);
    struct flock whole {};
    whole.l_type = F_WRLCK;
    whole.l_whence = SEEK_SET;
    const pid_t holder = ::fork();
    if (holder == 0) {
        if (::fcntl(fd, F_SETLK, &whole) != 0) ::_exit(1);
        ::pause();
        ::_exit(0);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    const auto begin = std::chrono::steady_clock::now();
    const Ran refused = RunWtalvoc(dir.path(), {"--headless"});
    EXPECT_LT(std::chrono::steady_clock::now() - begin, std::chrono::seconds(10));
    EXPECT_EQ(refused.status, 1);
    EXPECT_NE(refused.err.find("wtalvoc: cannot claim " + dir.path() +
                               " for one copy: " + dir.file(".wtalvoc.lock") + ": held by pid " +
                               std::to_string(holder) + " (" + ::getpwuid(::geteuid())->pw_name +
                               ") for more than 3 s: "),
              std::string::npos)
        << refused.err;
    ::kill(holder, SIGKILL);
    ::waitpid(holder, nullptr, 0);
    ::close(fd);
}

} // namespace
