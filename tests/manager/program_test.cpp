// The real wtalvoc program in a scratch directory, its port a pseudo-terminal
// published there as COM1 (or COM3), with simulated terminals on the other
// side: start-up and its failures, serving the line, stopping in order.
#include <gtest/gtest.h>

#include <algorithm>

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <fstream>
#include <sstream>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "platform/pty.h"
#include "tests/manager/program_support.h"
#include "tests/manager/support.h"
#include "tools/talvoterm/terminal.h"

namespace {

constexpr int kAnswerWaitMs = 20000;

// A line: a pseudo-terminal published as `port` in the directory, and
// terminals on its master side.
class ProgramTest : public ::testing::Test {
  protected:
    ~ProgramTest() override {
        term.stop();
        platform::pty_release(pty);
    }
    void Line(const std::vector<std::uint16_t>& addresses, const char* port = "COM1") {
        ASSERT_EQ(platform::pty_create(pty, dir.file(port).c_str()), 0);
        ASSERT_EQ(term.start(pty.master, addresses), 0);
    }
    void Table() {
        mtest::WriteTable(dir.file("ITEMS.DBF"), {{"NAME", 10}}, {"ANA", "BIA", "CAIO"});
    }
    // Sends a request and waits for its exchange to end.
    talvoterm::Exchange Ask(std::uint16_t address, std::uint8_t code, const std::string& data = "",
                            talvoterm::Expect expect = talvoterm::Expect::automatic) {
        talvoterm::Request r;
        r.address = address;
        r.code = code;
        r.data.assign(data.begin(), data.end());
        const std::uint64_t id = term.submit(r, expect);
        talvoterm::Exchange ex;
        EXPECT_EQ(term.wait(id, ex, kAnswerWaitMs + 20000), 0) << "code " << int(code);
        return ex;
    }
    // The one answer of an exchange: its code, or -1 when it did not end so.
    static int AnswerCode(const talvoterm::Exchange& ex) {
        if (!ex.ok || ex.answers.size() != 1) return -1;
        return ex.answers[0].code;
    }
    static std::string AnswerText(const talvoterm::Exchange& ex) {
        if (ex.answers.size() != 1) return "?";
        return std::string(ex.answers[0].data.begin(), ex.answers[0].data.end());
    }
    mtest::ScratchDir dir{false};
    platform::PtyPair pty;
    talvoterm::Terminal term;
    mtest::Background manager;
};

TEST_F(ProgramTest, ServesTheLineAndStopsInOrderOnSigterm) {
    Table();
    mtest::WriteConfig(dir.path(), mtest::MakeConfig({5, 6}, {{"ITEMS.DBF", 'D'}}));
    Line({5, 6});
    manager.start(dir.path(), {});

    const auto date = Ask(5, 28);
    ASSERT_EQ(AnswerCode(date), 28) << date.note << manager.log();
    const std::string d = AnswerText(date);
    ASSERT_EQ(d.size(), 8u);
    for (char c : d) EXPECT_TRUE(c >= '0' && c <= '9') << d;
    const auto time = Ask(6, 27);
    ASSERT_EQ(AnswerCode(time), 27);
    const std::string t = AnswerText(time);
    ASSERT_EQ(t.size(), 8u);
    EXPECT_TRUE(t[0] == ' ' || (t[0] >= '1' && t[0] <= '2')) << t;
    EXPECT_EQ(t[2], ':');
    EXPECT_EQ(t[5], ':');

    // Codes nobody serves: 7 without data.
    for (int code : {1, 3, 4, 6, 7, 8, 12, 13, 15, 32}) {
        const auto ex = Ask(5, static_cast<std::uint8_t>(code));
        EXPECT_EQ(AnswerCode(ex), 7) << code << " " << ex.note;
        if (!ex.answers.empty()) {
            EXPECT_TRUE(ex.answers[0].data.empty()) << code;
        }
    }
    // Codes 0 and above 50 never reach the manager: the link refuses them.
    EXPECT_EQ(Ask(5, 0).reply, talvoterm::Reply::nack);
    EXPECT_EQ(Ask(5, 51).reply, talvoterm::Reply::nack);
    // 14 is answered 14; 9 gets no answer at all.
    const auto fourteen = Ask(6, 14);
    EXPECT_EQ(AnswerCode(fourteen), 14);
    EXPECT_TRUE(fourteen.answers.empty() || fourteen.answers[0].data.empty());
    const auto nine = Ask(6, 9);
    EXPECT_TRUE(nine.ok) << nine.note;
    EXPECT_TRUE(nine.answers.empty());
    // A table request without a table: 14 without data.
    for (int code : {22, 36, 37, 38, 39, 40}) {
        const auto ex = Ask(5, static_cast<std::uint8_t>(code), "1");
        EXPECT_EQ(AnswerCode(ex), 14) << code;
        EXPECT_TRUE(ex.answers.empty() || ex.answers[0].data.empty()) << code;
    }
    // Still served after all that.
    EXPECT_EQ(AnswerCode(Ask(6, 28)), 28);

    EXPECT_EQ(manager.stop(), 0) << manager.log();
    // Shutdown stamped the table with today's date (it was made in 2000).
    const std::string bytes = mtest::ReadFile(dir.file("ITEMS.DBF"));
    ASSERT_GE(bytes.size(), 8u);
    EXPECT_GE(static_cast<unsigned char>(bytes[1]), 126);
}

TEST_F(ProgramTest, SecondCopyStopsTheRunningOneAndExitsOne) {
    Table();
    mtest::WriteConfig(dir.path(), mtest::MakeConfig({5}, {{"ITEMS.DBF", 'D'}}));
    Line({5});
    manager.start(dir.path(), {});
    ASSERT_EQ(AnswerCode(Ask(5, 28)), 28) << manager.log();

    mtest::Background second;
    second.start(dir.path(), {}, dir.file("second.log"));
    EXPECT_EQ(second.stop(0, 90), 1);
    // The running copy shut down in order.
    EXPECT_EQ(manager.stop(0), 0) << manager.log();
    EXPECT_GE(static_cast<unsigned char>(mtest::ReadFile(dir.file("ITEMS.DBF"))[1]), 126);
    // The new copy opened nothing and said only which copy it stopped.
    const std::string said = second.log();
    EXPECT_EQ(said.rfind("wtalvoc: stopped the copy running in " + dir.path(), 0), 0u) << said;
    EXPECT_EQ(std::count(said.begin(), said.end(), '\n'), 1) << said;

    // With nobody running, a new copy serves again.
    mtest::Background third;
    third.start(dir.path(), {}, dir.file("third.log"));
    EXPECT_EQ(AnswerCode(Ask(5, 27)), 27) << third.log();
    EXPECT_EQ(third.stop(), 0);
}

TEST_F(ProgramTest, CommandLineMinusOneServesAndOthersAreRefused) {
    mtest::WriteConfig(dir.path(), mtest::MakeConfig({5}, {}));
    Line({5});
    manager.start(dir.path(), {"-1"});
    EXPECT_EQ(AnswerCode(Ask(5, 28)), 28) << manager.log();
    EXPECT_EQ(manager.stop(), 0);
    mtest::Background other;
    other.start(dir.path(), {" -1"}, dir.file("other.log"));
    EXPECT_EQ(other.stop(0), 2) << other.log();
}

TEST_F(ProgramTest, TwoPortsEnabledOpensTheLast) {
    ConfigRecord r = mtest::MakeConfig({5}, {});
    r.PortEnabled[0] = 1;
    r.PortEnabled[2] = 1;
    r.PortBaseAddress[2] = 0x3E8;
    mtest::WriteConfig(dir.path(), r);
    // Only COM3 exists here; opening COM1 would fail.
    Line({5}, "COM3");
    manager.start(dir.path(), {});
    EXPECT_EQ(AnswerCode(Ask(5, 28)), 28) << manager.log();
    EXPECT_EQ(manager.stop(), 0);
}

TEST_F(ProgramTest, NoPortEnabledFailsWithTheOpenMessage) {
    ConfigRecord r = mtest::MakeConfig({5}, {});
    r.PortEnabled[0] = 0;
    mtest::WriteConfig(dir.path(), r);
    manager.start(dir.path(), {});
    EXPECT_EQ(manager.stop(0), 1);
    const std::string log = manager.log();
    EXPECT_NE(log.find("Erro "), std::string::npos) << log;
    EXPECT_NE(log.find(" na Abertura da Porta de Comunicacao"), std::string::npos) << log;
    // The whole text: "Erro " + the driver's number in decimal + the rest.
    const std::size_t at = log.find("Erro ");
    ASSERT_NE(at, std::string::npos);
    std::size_t digits = at + 5;
    while (digits < log.size() && log[digits] >= '0' && log[digits] <= '9') ++digits;
    EXPECT_GT(digits, at + 5) << log;
    const std::string rest = " na Abertura da Porta de Comunicacao\n";
    EXPECT_EQ(log.compare(digits, rest.size(), rest), 0) << log;
    // And the operator's line after it.
    EXPECT_NE(log.find("wtalvoc: (no port) -> ?: no port is enabled in talvo.cfg\n"),
              std::string::npos)
        << log;
}

TEST_F(ProgramTest, LargeCommErrorsWarnsAtStartAndTheManagerStillServes) {
    mtest::WriteConfig(dir.path(), mtest::MakeConfig({5}, {}));
    mtest::WriteFile(dir.file("CommErrors.txt"), std::string(3000001, 'x'));
    Line({5});
    manager.start(dir.path(), {});
    EXPECT_EQ(AnswerCode(Ask(5, 28)), 28) << manager.log();
    EXPECT_EQ(manager.stop(), 0);
    // The box (caption "Aviso"); the text shown as UTF-8 on this side.
    const std::string log = manager.log();
    EXPECT_NE(log.find("Aviso"), std::string::npos) << log;
    EXPECT_NE(log.find("O Arquivo CommErrors.txt esta com mais de 3 Megabytes, o que pode indicar"),
              std::string::npos)
        << log;
    EXPECT_NE(log.find("Este arquivo registra erros detectados pela porta serial do PC."),
              std::string::npos)
        << log;
    // The manager never shortens the file.
    EXPECT_EQ(mtest::ReadFile(dir.file("CommErrors.txt")).size(), 3000001u);
}

TEST_F(ProgramTest, StartUpFailuresShowTheirTextAndExitOne) {
    manager.start(dir.path(), {});
    EXPECT_EQ(manager.stop(0), 1);
    EXPECT_NE(manager.log().find("Nao Existe o Arquivo de Configuracao 'TALVO.CFG'!"),
              std::string::npos)
        << manager.log();

    mtest::WriteConfig(dir.path(), mtest::MakeConfig({5}, {{"ITEMS.DBF", 'D'}}));
    mtest::Background missing;
    missing.start(dir.path(), {}, dir.file("missing.log"));
    EXPECT_EQ(missing.stop(0), 1);
    EXPECT_NE(missing.log().find("Erro ao Abrir Arquivo ITEMS.DBF"), std::string::npos)
        << missing.log();

    // A line settings file with a bad line is refused by its number.
    mtest::WriteFile(dir.file("wtalvoc.conf"), "echo = yes\ndirection = both\n");
    mtest::Background conf;
    conf.start(dir.path(), {}, dir.file("conf.log"));
    EXPECT_EQ(conf.stop(0), 1);
    EXPECT_NE(conf.log().find("wtalvoc.conf:2: bad value for direction"), std::string::npos)
        << conf.log();
}

TEST_F(ProgramTest, TerminalsInSlotsThreeSevenAndTwentyKeepTheirOwnContexts) {
    Table();
    std::vector<std::uint16_t> addresses(32, 0);
    addresses[3] = 30;
    addresses[7] = 70;
    addresses[20] = 200;
    // Entries that do not start with a letter are never opened (these files
    // do not exist), and the index entry before its table is opened with it.
    mtest::WriteTable(dir.file("CODES.DBF"), {{"CODE", 4}}, {"0001", "0002"});
    mtest::WriteIndex(dir.file("CODES.NTX"), "CODE", {"0001", "0002"});
    mtest::WriteConfig(dir.path(), mtest::MakeConfig(addresses, {{"CODES.NTX", 'I', 5},
                                                                 {"1GONE.DBF", 'D'},
                                                                 {" GONE.TXT", 'A'},
                                                                 {"ITEMS.DBF", 'D'},
                                                                 {"CODES.DBF", 'D'}}));
    Line({30, 70, 200});
    manager.start(dir.path(), {});
    for (std::uint16_t a : {30, 70, 200}) EXPECT_EQ(AnswerCode(Ask(a, 28)), 28) << a;
    // The terminal of slot 7 opens the table; slot 3's terminal still has none.
    const auto open = Ask(70, 16, std::string("\0\0ITEMS", 7));
    EXPECT_EQ(AnswerCode(open), 16) << open.note << manager.log();
    EXPECT_EQ(AnswerCode(Ask(70, 40)), 40);
    EXPECT_EQ(AnswerCode(Ask(30, 40)), 14);
    EXPECT_EQ(AnswerCode(Ask(200, 40)), 14);
    // The index listed before its table was opened with it.
    const auto indexed = Ask(200, 42, std::string("\0\0CODES\0CODES", 13));
    EXPECT_EQ(AnswerCode(indexed), 42) << indexed.note << manager.log();
    EXPECT_EQ(AnswerCode(Ask(200, 23)), 23);
    // Slot 7 locks its record; nobody else can.
    const auto lock = Ask(70, 36);
    EXPECT_EQ(AnswerCode(lock), 36);
    EXPECT_EQ(AnswerText(lock), std::string("T\0", 2));
    EXPECT_EQ(manager.stop(), 0) << manager.log();
}

} // namespace

// The line goes away (the pseudo-terminal's other side closes, its name with
// it) and a new one is later published under the same name: the loss is
// logged once, the manager uses next to no processor time meanwhile, and it
// serves the new line - with link-error recovery and with "-1" alike.
TEST_F(ProgramTest, LostLineIsLoggedOnceAndTheNewLineUnderItsNameServed) {
    mtest::WriteConfig(dir.path(), mtest::MakeConfig({5}, {}));
    for (const char* args : {"", "-1"}) {
        SCOPED_TRACE(args);
        std::remove(dir.file("CommErrors.txt").c_str());
        Line({5});
        manager.start(dir.path(),
                      *args ? std::vector<std::string>{args} : std::vector<std::string>{});
        ASSERT_EQ(AnswerCode(Ask(5, 28)), 28) << manager.log();
        term.stop();
        // The other side closes; the name stays, leading nowhere (as the
        // by-id link of an unplugged adapter does).
        platform::PtyPair old = pty;
        pty = platform::PtyPair{};
        ::close(old.master);
        old.master = -1;
        for (int i = 0; i < 200 && manager.log().find("perdida") == std::string::npos; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        const long before = manager.cpu_ms();
        std::this_thread::sleep_for(std::chrono::seconds(3));
        EXPECT_LT(manager.cpu_ms() - before, 200) << "spinning while the line is lost";

        Line({5});
        platform::pty_release(old);
        EXPECT_EQ(AnswerCode(Ask(5, 27)), 27) << manager.log();
        const std::string log = manager.log();
        const std::size_t lost =
            log.find("Linha de comunicacao perdida (porta desligada, codigo 1167): COM1");
        EXPECT_NE(lost, std::string::npos) << log;
        EXPECT_EQ(lost, log.rfind("Linha de comunicacao perdida")) << log;
        EXPECT_NE(log.find("Porta de Comunicacao COM1 reaberta: /dev/pts/"), std::string::npos)
            << log;
        const std::string errors = mtest::ReadFile(dir.file("CommErrors.txt"));
        EXPECT_EQ(errors.find("CE_IOE\r\n"), errors.rfind("CE_IOE\r\n")) << errors;
        EXPECT_NE(errors.find("Codigo: 1024\r\nCE_IOE\r\n"), std::string::npos) << errors;
        EXPECT_EQ(manager.stop(), 0) << log;
        term.stop();
        platform::pty_release(pty);
    }
}
