// The real wtalvoc as an operator meets it: the command line, the lines on
// standard error at start-up, --status against a running manager with
// terminals on a pseudo-terminal, and the single-instance socket refusing
// another user.
#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <filesystem>
#include <grp.h>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "platform/pty.h"
#include "tests/manager/program_support.h"
#include "tests/manager/support.h"
#include "tools/talvoterm/terminal.h"

namespace {

namespace fs = std::filesystem;

using mtest::Background;
using mtest::Ran;
using mtest::RunWtalvoc;

class OpsTest : public mtest::ProgramTest {};

TEST_F(OpsTest, HelpVersionAndRefusedOptionsOpenNothing) {
    mtest::WriteConfig(dir.path(), mtest::MakeConfig({5}, {{"ITEMS.DBF", 'D'}}));
    const Ran help = RunWtalvoc(dir.path(), {"--help"});
    EXPECT_EQ(help.status, 0);
    EXPECT_EQ(help.out.rfind("Usage: wtalvoc", 0), 0u) << help.out;
    EXPECT_NE(help.out.find("--status"), std::string::npos);
    EXPECT_EQ(help.err, "");
    const Ran version = RunWtalvoc(dir.path(), {"--version"});
    EXPECT_EQ(version.status, 0);
    EXPECT_EQ(version.out, "wtalvoc 1.6.1\n");
    for (const std::vector<std::string>& bad :
         {std::vector<std::string>{"-x"}, {"/srv/dados"}, {"--bogus"}, {" -1"}, {"-C"}}) {
        const Ran r = RunWtalvoc(dir.path(), bad);
        EXPECT_EQ(r.status, 2) << bad[0];
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err.rfind("wtalvoc: ", 0), 0u) << r.err;
    }
    // Nothing was opened: the missing table was never looked for, no log,
    // no socket.
    EXPECT_EQ(Files(), std::vector<std::string>{"talvo.cfg"});
    const Ran none = RunWtalvoc(dir.path(), {"--status"});
    EXPECT_EQ(none.status, 3);
    EXPECT_NE(none.err.find("no manager is running"), std::string::npos) << none.err;
}

TEST_F(OpsTest, StartUpLinesNameTheFileOrPortItsPathAndTheReason) {
    // No configuration.
    Ran r = RunWtalvoc(dir.path(), {});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("Nao Existe o Arquivo de Configuracao 'TALVO.CFG'!"), std::string::npos);
    EXPECT_NE(r.err.find("wtalvoc: talvo.cfg -> " + dir.file("talvo.cfg") +
                         ": No such file or directory\n"),
              std::string::npos)
        << r.err;
    // A table named in lower case that is not there: the box, the operator's
    // line, and the store's report as one line with the name as written.
    mtest::WriteConfig(dir.path(), mtest::MakeConfig({5}, {{"items.dbf", 'D'}}));
    r = RunWtalvoc(dir.path(), {});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("Erro ao Abrir Arquivo items.dbf"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("wtalvoc: items.dbf -> " + dir.file("items.dbf") +
                         ": No such file or directory\n"),
              std::string::npos)
        << r.err;
    EXPECT_EQ(r.err.find("Error Number: \n"), std::string::npos) << "no block: " << r.err;
    EXPECT_NE(r.err.find("Error Number: | 120 | Opening File | items.dbf\n"), std::string::npos)
        << r.err;
    const std::string log = mtest::ReadFile(dir.file("TableErrors.txt"));
    EXPECT_NE(log.find(" Error Number: | 120 | Opening File | items.dbf\r\n"), std::string::npos)
        << log;
    // A port that is no terminal line.
    mtest::WriteConfig(dir.path(), mtest::MakeConfig({5}, {}));
    mtest::WriteFile(dir.file("plain"), "x");
    fs::create_symlink(dir.file("plain"), dir.file("COM1"));
    r = RunWtalvoc(dir.path(), {});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find(" na Abertura da Porta de Comunicacao"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("wtalvoc: COM1 -> " + dir.file("plain") + ": not a terminal device\n"),
              std::string::npos)
        << r.err;
    // A link to nothing.
    fs::remove(dir.file("COM1"));
    fs::create_symlink("/nonexistent/ttyUSB9", dir.file("COM1"));
    r = RunWtalvoc(dir.path(), {});
    EXPECT_NE(r.err.find("wtalvoc: COM1 -> /nonexistent/ttyUSB9: No such file or directory\n"),
              std::string::npos)
        << r.err;
    // No socket is left behind by a failed start.
    EXPECT_FALSE(fs::exists(dir.file(".wtalvoc.sock")));
}

// Pulls "key value" numbers out of a JSON document with python3.
std::string JsonFields(const std::string& json, const std::string& expression) {
    const std::string file = "/tmp/wtalvoc-status-" + std::to_string(::getpid()) + ".json";
    mtest::WriteFile(file, json);
    const std::string command = "python3 -c 'import json,sys; d=json.load(open(sys.argv[1])); "
                                "print(" +
                                expression + ")' " + file + " 2>&1";
    std::string out;
    if (std::FILE* p = ::popen(command.c_str(), "r")) {
        char buffer[4096];
        std::size_t n;
        while ((n = std::fread(buffer, 1, sizeof buffer, p)) > 0) out.append(buffer, n);
        ::pclose(p);
    }
    ::unlink(file.c_str());
    return out;
}

TEST_F(OpsTest, StatusCountsWhatTheTerminalsSent) {
    mtest::WriteTable(dir.file("ITEMS.DBF"), {{"NAME", 10}}, {"ANA", "BIA"});
    mtest::WriteConfig(dir.path(), mtest::MakeConfig({5, 0, 6}, {{"ITEMS.DBF", 'D'}}));
    Line({5, 6});
    // Started from elsewhere with -C.
    manager.start("/", {"-C", dir.path()});
    for (int i = 0; i < 3; ++i) Ask(5, 28);
    Ask(6, 27);
    Ask(6, 16, std::string("\0\0ITEMS", 7));
    Ask(6, 36);
    Ask(6, 13); // served by nobody: answered 7
    using talvoterm::Fault;
    Ask(5, 28, "", Fault::bad_checksum);
    Ask(5, 28, "", Fault::bad_source);
    Ask(5, 28, "", Fault::pause_data);
    Ask(5, 0);
    Ask(6, 28, "", Fault::bad_length);
    EXPECT_NE(manager.log().find(": COM1 -> /dev/pts/"), std::string::npos) << manager.log();
    EXPECT_NE(manager.log().find(" open, polling 2 terminals: 5 (slot 0) 6 (slot 2)\n"),
              std::string::npos)
        << manager.log();

    const Ran text = RunWtalvoc("/", {"--status", "-C", dir.path()});
    ASSERT_EQ(text.status, 0) << text.err;
    const std::string& s = text.out;
    EXPECT_NE(s.find("port: COM1 -> /dev/pts/"), std::string::npos) << s;
    EXPECT_NE(s.find("requests: 7, 1 of them not served"), std::string::npos) << s;
    for (const char* line :
         {"  code 13: 1\n", "  code 16: 1\n", "  code 27: 1\n", "  code 28: 3\n", "  code 36: 1\n",
          "frames refused: checksum 1, length 1, source 1, code 1, timeout 1\n",
          "  address 5, slot 0: last request 28, ", "; requests 3, refused 4; no file\n",
          "  address 6, slot 2: last request 13, ",
          "; requests 4, refused 1; table ITEMS.DBF record 1, record 1 locked\n"})
        EXPECT_NE(s.find(line), std::string::npos) << line << "\n" << s;

    const Ran json = RunWtalvoc(dir.path(), {"--status", "--json"});
    ASSERT_EQ(json.status, 0) << json.err;
    EXPECT_EQ(JsonFields(json.out,
                         "d[\"port\"], d[\"requests\"][\"by_code\"][\"28\"], d[\"refused\"], "
                         "[(t[\"address\"], t[\"slot\"], t[\"requests\"], t[\"refused\"], "
                         "t[\"last_code\"], t[\"locked_record\"]) for t in d[\"terminals\"]], "
                         "d[\"terminals\"][1][\"file\"][\"name\"], d[\"polls\"] > 0"),
              "COM1 3 {'checksum': 1, 'length': 1, 'source': 1, 'code': 1, 'timeout': 1} "
              "[(5, 0, 3, 4, 28, 0), (6, 2, 4, 1, 13, 1)] ITEMS.DBF True\n")
        << json.out;
    EXPECT_EQ(manager.stop(SIGHUP), 0) << "SIGHUP stops in order: " << manager.log();
    EXPECT_FALSE(fs::exists(dir.file(".wtalvoc.sock")));
}

TEST_F(OpsTest, AnotherUserCanNeitherStopNorQuery) {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root to act as a second user";
    mtest::WriteConfig(dir.path(), mtest::MakeConfig({5}, {}));
    Line({5});
    manager.start(dir.path(), {});
    Ask(5, 28);
    // Let the second user reach the socket at all, so that the manager's own
    // check is what refuses it.
    ASSERT_EQ(::chmod(dir.path().c_str(), 0755), 0);
    ASSERT_EQ(::chmod(dir.file(".wtalvoc.sock").c_str(), 0666), 0);
    constexpr int kNobody = 65534;
    const Ran query = RunWtalvoc(dir.path(), {"--status"}, kNobody);
    EXPECT_EQ(query.status, 1) << query.out << query.err;
    EXPECT_EQ(query.out, "");
    const Ran second = RunWtalvoc(dir.path(), {}, kNobody);
    EXPECT_EQ(second.status, 1) << second.err;
    // Still running and serving; the refusals are in its log.
    Ask(5, 27);
    EXPECT_TRUE(manager.running());
    const std::string log = manager.log();
    EXPECT_NE(log.find("refused a request on .wtalvoc.sock from uid 65534"), std::string::npos)
        << log;
    // Its own user still may.
    EXPECT_EQ(RunWtalvoc(dir.path(), {"--status"}).status, 0);
    EXPECT_EQ(manager.stop(), 0);
}

} // namespace

// --check, the line's part: the port resolved and described, a setting the
// port cannot do refused with its fix, a port held by the copy running
// here left alone; --status shows the settings in force.
TEST_F(OpsTest, CheckAndStatusShowTheLine) {
    mtest::WriteTable(dir.file("ITEMS.DBF"), {{"NAME", 10}}, {"ANA"});
    mtest::WriteConfig(dir.path(), mtest::MakeConfig({5}, {{"ITEMS.DBF", 'D'}}));
    Line({5});
    mtest::WriteFile(dir.file("wtalvoc.conf"), "direction = kernel\nlock_file = no\n");
    const Ran kernel = RunWtalvoc(dir.path(), {"--check"});
    EXPECT_EQ(kernel.status, 1) << kernel.out;
    EXPECT_NE(kernel.out.find("line: COM1 -> /dev/pts/"), std::string::npos) << kernel.out;
    EXPECT_NE(kernel.out.find(": direction = kernel but the driver has no RS-485 mode; "),
              std::string::npos)
        << kernel.out;

    mtest::WriteFile(dir.file("wtalvoc.conf"), "direction = rts-send\nlock_file = no\n");
    manager.start(dir.path(), {});
    Ask(5, 28);
    const Ran running = RunWtalvoc(dir.path(), {"--check"});
    EXPECT_NE(running.out.find("COM1 is in use by the copy running in this directory"),
              std::string::npos)
        << running.out;
    const Ran status = RunWtalvoc(dir.path(), {"--status"});
    EXPECT_NE(status.out.find("line settings (wtalvoc.conf): direction rts-send, turnaround "
                              "174 us, echo no, low_latency yes, lock_file no\n"),
              std::string::npos)
        << status.out;
    EXPECT_NE(status.out.find("line errors (reads that met one): frame 0,"), std::string::npos)
        << status.out;
}
