// The manager's log of table-store errors: one dated line per report.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

#include "manager/config.h"
#include "manager/status.h"
#include "manager/store_log.h"
#include "manager/tablestore/store_errors.h"
#include "platform/clock.h"
#include "tests/manager/support.h"

namespace {

class StoreLogTest : public ::testing::Test {
  protected:
    void SetUp() override { plat::SetTestLocalTime({2026, 12, 1, 7, 9, 5, 3, 0}); }
    void TearDown() override {
        e4set_report_hook(nullptr);
        e4set_report_to_stderr(1);
        StartActivity();
        Config = ConfigRecord{};
        plat::ClearTestLocalTime();
    }
    mtest::ScratchDir dir;
};

TEST_F(StoreLogTest, OneLinePerReportWithoutTheKeyPrompt) {
    char line[256];
    FormatStoreLogLine("\nError Number: \n       140\n\nReading File\nITEMS.DBF\nPress a key ...",
                       line, sizeof line);
    EXPECT_STREQ(line, "07/12/2026 09:05:03 Error Number: | 140 | Reading File | ITEMS.DBF\r\n");
}

TEST_F(StoreLogTest, LongReportIsCutAndTerminated) {
    char line[40];
    const std::string report = "\n" + std::string(500, 'x');
    const std::size_t n = FormatStoreLogLine(report.c_str(), line, sizeof line);
    EXPECT_EQ(n, 39u);
    EXPECT_EQ(std::string(line).substr(37), "\r\n");
    EXPECT_EQ(FormatStoreLogLine(nullptr, line, sizeof line), 21u);
}

TEST_F(StoreLogTest, ReportsOfTheStoreAreAppendedToTheLog) {
    StartStoreLog();
    ::testing::internal::CaptureStderr();
    e4error_report(err4read, "ITEMS.DBF", nullptr);
    e4error_report(err4write, "ITEMS.NTX", nullptr);
    const std::string err = ::testing::internal::GetCapturedStderr();
    const std::string log = mtest::ReadFile(dir.file(kStoreLogFile));
    EXPECT_NE(log.find("140"), std::string::npos) << log;
    EXPECT_NE(log.find("ITEMS.DBF\r\n07/12/2026 09:05:03"), std::string::npos) << log;
    EXPECT_NE(log.find("ITEMS.NTX\r\n"), std::string::npos) << log;
    // Standard error has the same lines, one each, and no block.
    EXPECT_EQ(err, "wtalvoc: 07/12/2026 09:05:03 Error Number: | 140 | Reading from File | "
                   "ITEMS.DBF\nwtalvoc: 07/12/2026 09:05:03 Error Number: | 160 | Writing to "
                   "File | ITEMS.NTX\n");
}

TEST_F(StoreLogTest, NamesTheRequestAndSpellsFilesAsConfigured) {
    Config = mtest::MakeConfig({5}, {{"/srv/dados/clientes.dbf", 'D'}, {"clientes", 'I', 1}});
    StartStoreLog();
    NoteRequestStart(0, 5, 22);
    ::testing::internal::CaptureStderr();
    e4error_report(err4read, "/SRV/DADOS/CLIENTES.DBF", "Record: ", "7", nullptr);
    e4error_report(err4index_file, "CLIENTES.NTX", nullptr);
    NoteRequestEnd(true);
    e4error_report(err4read, "OTHER.DBF", nullptr);
    ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(mtest::ReadFile(dir.file(kStoreLogFile)),
              "07/12/2026 09:05:03 terminal 5 request 22: Error Number: | 140 | Reading from "
              "File | /srv/dados/clientes.dbf | Record: | 7\r\n"
              "07/12/2026 09:05:03 terminal 5 request 22: Error Number: | 320 | File is not an "
              "Index File | clientes\r\n"
              "07/12/2026 09:05:03 Error Number: | 140 | Reading from File | OTHER.DBF\r\n");
}

TEST_F(StoreLogTest, RepeatsAreCountedAndAFullLogIsRenamedAside) {
    // 300 reports of the same request within a second of each other, then
    // another: the first line, one line with the count, the other.
    const mode_t mask = ::umask(0);
    plat::SetTestTick(1000);
    StartStoreLog();
    NoteRequestStart(0, 5, 19);
    ::testing::internal::CaptureStderr();
    for (int i = 0; i < 300; ++i) {
        e4error_report(err4field_name, "NOSUCH", nullptr);
        plat::AdvanceTestTick(50);
    }
    StoreLogIdle(false); // the last repeat is 50 ms old: the run goes on
    plat::AdvanceTestTick(1000);
    StoreLogIdle(false);
    NoteRequestEnd(true);
    e4error_report(err4read, "ITEMS.DBF", nullptr);
    const std::string err = ::testing::internal::GetCapturedStderr();
    const std::string log = mtest::ReadFile(dir.file(kStoreLogFile));
    const std::string first = "07/12/2026 09:05:03 terminal 5 request 19: Error Number: | 270 | "
                              "Unrecognized Field | NOSUCH";
    EXPECT_EQ(log, first + "\r\n" + first + " (repeated 299 times)\r\n" +
                       "07/12/2026 09:05:03 Error Number: | 140 | Reading from File | "
                       "ITEMS.DBF\r\n");
    EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 3) << err;
    struct stat st {};
    ASSERT_EQ(::stat(dir.file(kStoreLogFile).c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0640u) << "whatever the umask";

    // A line that would take the log past its cap: the log becomes the
    // older one (replacing it) and a new one starts with that line.
    mtest::WriteFile(dir.file(kStoreLogOlder), "older");
    ASSERT_EQ(::truncate(dir.file(kStoreLogFile).c_str(), kStoreLogCap - 10), 0);
    ::testing::internal::CaptureStderr();
    e4error_report(err4write, "ITEMS.NTX", nullptr);
    ::testing::internal::GetCapturedStderr();
    ASSERT_EQ(::stat(dir.file(kStoreLogOlder).c_str(), &st), 0);
    EXPECT_EQ(st.st_size, kStoreLogCap - 10);
    EXPECT_EQ(mtest::ReadFile(dir.file(kStoreLogFile)),
              "07/12/2026 09:05:03 Error Number: | 160 | Writing to File | ITEMS.NTX\r\n");
    plat::ClearTestTick();
    ::umask(mask);
}

} // namespace
