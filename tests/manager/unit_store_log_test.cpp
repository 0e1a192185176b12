// The manager's log of table-store errors: one dated line per report.
#include <gtest/gtest.h>

#include <string>

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
    e4error_report(err4read, "ITEMS.DBF", nullptr);
    e4error_report(err4write, "ITEMS.NTX", nullptr);
    const std::string log = mtest::ReadFile(dir.file(kStoreLogFile));
    EXPECT_NE(log.find("140"), std::string::npos) << log;
    EXPECT_NE(log.find("ITEMS.DBF\r\n07/12/2026 09:05:03"), std::string::npos) << log;
    EXPECT_NE(log.find("ITEMS.NTX\r\n"), std::string::npos) << log;
}

} // namespace
