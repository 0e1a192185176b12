// CommErrors.txt and excecoes.txt byte for byte, with a fixed clock.
#include "linkdriver/close.h"
#include "linkdriver/frame.h"
#include "linkdriver/guard.h"
#include "linkdriver/logqueue.h"
#include "linkdriver/logs.h"
#include "linkdriver/portstate.h"
#include "platform/clock.h"
#include "platform/serial.h"
#include "platform/ui.h"

#include "tests/linkdriver/line_fixture.h"

#include <gtest/gtest.h>

#include <filesystem>

using namespace serilo;

namespace {

// Mon Jul 05 16:43:16 2005
constexpr plat::LocalTime kWhen{2005, 7, 1, 5, 16, 43, 16, 250};
const std::string kStamp = "Mon Jul 05 16:43:16 2005";

class Logs : public ::testing::Test {
  protected:
    void SetUp() override {
        plat::SetTestLocalTime(kWhen);
        g_port.pollingList[0] = 5;
        g_port.pollingList[1] = 12;
        g_port.pollingCursor = 0;
        g_port.errorLogged.store(0);
        g_port.reapplySettings = 0;
        SetActivity("na leitura do header 2");
    }
    void TearDown() override { plat::ClearTestLocalTime(); }
    linktest::ScratchDir dir;
};

} // namespace

TEST(Timestamp, TwentyFourCharactersEnglishNamesLeadingZeros) {
    char out[26];
    FormatTimestamp(kWhen, out);
    EXPECT_EQ(std::string(out), kStamp + "\n");
    FormatTimestamp(plat::LocalTime{1999, 12, 0, 31, 0, 0, 9, 0}, out);
    EXPECT_EQ(std::string(out), "Sun Dec 31 00:00:09 1999\n");
    FormatTimestamp(plat::LocalTime{2026, 1, 6, 1, 9, 5, 0, 0}, out);
    EXPECT_EQ(std::string(out), "Sat Jan 01 09:05:00 2026\n");
}

TEST(PutLFTest, TurnsTheLfBeforeTheNulIntoCrLf) {
    char a[] = "abc\n\0\0";
    PutLF(a, sizeof a);
    EXPECT_EQ(std::string(a), "abc\r\n");
    // Only the first LF followed by the NUL; earlier LFs stay.
    char b[] = "a\nb\n\0Codigo\r\n";
    PutLF(b, sizeof b);
    EXPECT_EQ(std::string(b), "a\nb\r\nCodigo\r\n");
    // No LF before the NUL: unchanged; an LF at the buffer's very end: no room.
    char c[] = "abc";
    PutLF(c, sizeof c);
    EXPECT_EQ(std::string(c), "abc");
    char d[3] = {'x', '\n', 0};
    PutLF(d, sizeof d);
    EXPECT_EQ(d[1], '\n');
    EXPECT_EQ(d[2], 0);
    EXPECT_STREQ(g_port.activity, "em grava erro");
}

TEST_F(Logs, ErrorEntryForBreakAndOverrunOnTerminal5) {
    GravaErro(18);
    EXPECT_EQ(dir.Read("CommErrors.txt"),
              "Terminal: 00005 - " + kStamp + "\r\nCodigo: 18\r\nCE_BREAK\r\nCE_OVERRUN\r\n");
    EXPECT_EQ(g_port.errorLogged.load(), 1);
    EXPECT_EQ(g_port.reapplySettings, 1);
    EXPECT_STREQ(g_port.activity, "na leitura do header 2");
}

TEST_F(Logs, ErrorEntriesAppendInBitOrder) {
    g_port.pollingCursor = 1;
    GravaErro(0x0410);
    const std::string first =
        "Terminal: 00012 - " + kStamp + "\r\nCodigo: 1040\r\nCE_BREAK\r\nCE_IOE\r\n";
    EXPECT_EQ(dir.Read("CommErrors.txt"), first);
    // Parity alone shows only in the number.
    GravaErro(4);
    const std::string second = "Terminal: 00012 - " + kStamp + "\r\nCodigo: 4\r\n";
    EXPECT_EQ(dir.Read("CommErrors.txt"), first + second);
    // Every named bit, in the fixed order whatever the bit values.
    GravaErro(0x041F);
    EXPECT_EQ(
        dir.Read("CommErrors.txt"),
        first + second + "Terminal: 00012 - " + kStamp +
            "\r\nCodigo: 1055\r\nCE_BREAK\r\nCE_OVERRUN\r\nCE_FRAME\r\nCE_RXOVER\r\nCE_IOE\r\n");
}

TEST_F(Logs, ErrorLogThatCannotBeOpenedIsSkippedButTheErrorIsReported) {
    std::filesystem::create_directory("CommErrors.txt");
    GravaErro(2);
    EXPECT_EQ(g_port.errorLogged.load(), 1);
    EXPECT_EQ(g_port.reapplySettings, 1);
    EXPECT_STREQ(g_port.activity, "na leitura do header 2");
}

TEST_F(Logs, CloseWaitOutcomes) {
    plat::StartRecordingBoxes();
    SetActivity("na leitura da area de dados");
    ReportCloseWait(CloseWait::kTimedOut);
    const std::string timedOut = "IOThread nao respondeu apos 15s ao evento de finalizacao na "
                                 "leitura da area de dados - " +
                                 kStamp + "\r\n";
    EXPECT_EQ(dir.Read("excecoes.txt"), timedOut);
    ReportCloseWait(CloseWait::kAbandoned);
    const std::string abandoned =
        "WAIT_ABANDONED esperando finalizacao da IOThread - " + kStamp + "\r\n";
    EXPECT_EQ(dir.Read("excecoes.txt"), timedOut + abandoned);
    ReportCloseWait(CloseWait::kFailed);
    EXPECT_EQ(dir.Read("excecoes.txt"), timedOut + abandoned +
                                            "WAIT_FAILED esperando finalizacao da IOThread - " +
                                            kStamp + "\r\n");
    // A box for the abandoned and the failed wait, none for the time-out.
    plat::StopRecordingBoxes();
    ASSERT_EQ(plat::RecordedBoxCount(), 2);
    EXPECT_STREQ(plat::RecordedBoxAt(0)->text, "WAIT_ABANDONED esperando finalizacao da IOThread");
    EXPECT_STREQ(plat::RecordedBoxAt(0)->caption, "");
    EXPECT_EQ(plat::RecordedBoxAt(0)->style & plat::kMbSystemModal, plat::kMbSystemModal);
    EXPECT_STREQ(plat::RecordedBoxAt(1)->text, "WAIT_FAILED esperando finalizacao da IOThread");
}

TEST_F(Logs, ExceptionLineWithoutTheLockCarriesItsPrefix) {
    EXPECT_EQ(GravaExcecoes("abc"), 0u);
    plat::LockClose(&g_port.logLock);
    EXPECT_EQ(GravaExcecoes("def"), 6u);
    plat::LockCreate(&g_port.logLock);
    EXPECT_EQ(dir.Read("excecoes.txt"),
              "abc - " + kStamp + "\r\nEspera falhou: def - " + kStamp + "\r\n");
    // The lock was given back: a third writer gets it at once.
    EXPECT_EQ(GravaExcecoes("ghi"), 0u);
}

TEST(FaultNumbers, KnownCodesMapOthersPrintThemselves) {
    EXPECT_EQ(FaultNumber(0xC0000005), 1u);
    EXPECT_EQ(FaultNumber(0x80000002), 2u);
    EXPECT_EQ(FaultNumber(0x80000004), 3u);
    EXPECT_EQ(FaultNumber(0xC000008C), 4u);
    EXPECT_EQ(FaultNumber(0xC0000093), 11u);
    EXPECT_EQ(FaultNumber(0xC0000094), 12u);
    EXPECT_EQ(FaultNumber(0xC0000096), 14u);
    EXPECT_EQ(FaultNumber(0xC0000025), 15u);
    EXPECT_EQ(FaultNumber(0xC00000FD), 3221225725u);
    EXPECT_EQ(FaultNumber(0x80000003), 0x80000003u); // breakpoint is not in the table
}

TEST_F(Logs, FatalFaultLogsAndEndsWithExitCode1) {
    GTEST_FLAG_SET(death_test_style, "fast"); // the child writes in this directory
    EXPECT_EXIT(ExcecaoFatal(0xC00000FD, "EscrevePorta"), ::testing::ExitedWithCode(1),
                "Dravo.dll: Excecao Fatal: Excecao n\xC2\xBA"
                "3221225725 em EscrevePorta");
    EXPECT_EQ(dir.Read("excecoes.txt"), "Excecao n\xBA"
                                        "3221225725 em EscrevePorta - " +
                                            kStamp + "\r\n");
}

TEST_F(Logs, FaultOnTheLineThreadNamesItsStepAndTheChecksumItsOwn) {
    GTEST_FLAG_SET(death_test_style, "fast"); // the child writes in this directory
    EXPECT_EXIT(
        {
            EnsureFaultHandler();
            FaultScope io(kIoThreadWhere);
            SetActivity("na leitura da area de dados");
            *reinterpret_cast<volatile std::uint8_t*>(linktest::UnmappedPage()) = 1;
            std::_Exit(5);
        },
        ::testing::ExitedWithCode(1),
        "Excecao n\xC2\xBA"
        "1 em IOThread na leitura da area de dados");
    EXPECT_EXIT(
        {
            EnsureFaultHandler();
            FaultScope io(kIoThreadWhere);
            std::_Exit(CheckSum(linktest::UnmappedPage(), 4) == 0 ? 5 : 6);
        },
        ::testing::ExitedWithCode(1),
        "Excecao n\xC2\xBA"
        "1 em CheckSum");
    EXPECT_EQ(dir.Read("excecoes.txt"), "Excecao n\xBA"
                                        "1 em IOThread na leitura da area de dados - " +
                                            kStamp + "\r\nExcecao n\xBA" + "1 em CheckSum - " +
                                            kStamp + "\r\n");
}

TEST_F(Logs, ExceptionLogThatCannotBeOpenedIsSkippedAndTheLockGivenBack) {
    std::filesystem::create_directory("excecoes.txt");
    EXPECT_EQ(GravaExcecoes("abc"), 0u);
    EXPECT_EQ(GravaExcecoes("def"), 0u);
    EXPECT_TRUE(std::filesystem::is_directory("excecoes.txt"));
}

// Queued entries merge repeats into one entry with the count, in each
// file's format; a log past 8 MiB moves to NAME.1 (an older .1 replaced)
// and a new one starts.
TEST_F(Logs, RepeatsMergeAndFullLogsMoveToDotOne) {
    for (int i = 0; i < 50; ++i) QueueCommError(12, 0x0018, false);
    QueueCommError(5, 0x0002, false);
    for (int i = 0; i < 3; ++i) QueueException("Linha presa", false);
    LogQueueFlush();
    EXPECT_EQ(dir.Read("CommErrors.txt"),
              "Terminal: 00012 - " + kStamp +
                  "\r\nCodigo: 24\r\nCE_BREAK\r\nCE_FRAME\r\nRepeticoes: 50\r\n"
                  "Terminal: 00005 - " +
                  kStamp + "\r\nCodigo: 2\r\nCE_OVERRUN\r\n");
    EXPECT_EQ(dir.Read("excecoes.txt"), "Linha presa (3 vezes) - " + kStamp + "\r\n");

    for (const char* name : {"CommErrors.txt", "excecoes.txt"}) {
        std::filesystem::resize_file(name, std::uintmax_t(kLogCap));
        std::filesystem::resize_file(name, std::uintmax_t(kLogCap) - 1); // under the cap
    }
    QueueCommError(5, 0x0002, false);
    LogQueueFlush();
    EXPECT_FALSE(std::filesystem::exists("CommErrors.txt.1"));
    {
        std::FILE* old = std::fopen("CommErrors.txt.1", "wb");
        std::fclose(old);
    }
    GravaExcecoes("IOThread nao respondeu"); // passes the cap with this line
    QueueCommError(5, 0x0002, false);
    QueueException("Outra", false);
    LogQueueFlush();
    EXPECT_GE(std::filesystem::file_size("CommErrors.txt.1"), std::uintmax_t(kLogCap));
    EXPECT_EQ(dir.Read("CommErrors.txt"),
              "Terminal: 00005 - " + kStamp + "\r\nCodigo: 2\r\nCE_OVERRUN\r\n");
    EXPECT_GE(std::filesystem::file_size("excecoes.txt.1"), std::uintmax_t(kLogCap));
    EXPECT_EQ(dir.Read("excecoes.txt"), "Outra - " + kStamp + "\r\n");
}
