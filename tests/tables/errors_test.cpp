// Error reports: the layout, codes outside the table, the last error number
// and last report, the hook, no waiting for a key, fatal codes.
#include <gtest/gtest.h>

#include <set>
#include <string>

#include "manager/tablestore/store.h"
#include "manager/tablestore/store_errors.h"

namespace {

TEST(ErrorReport, LayoutOfAWriteFailureWithThreeTexts) {
    ::testing::internal::CaptureStderr();
    const int key = e4error_report(160, "T.DBF", "Record Number:", "5", nullptr);
    const std::string written = ::testing::internal::GetCapturedStderr();
    const std::string expected = "\nError Number: \n       160\n\nWriting to File\nT.DBF\n"
                                 "Record Number:\n5\nPress a key ...";
    EXPECT_EQ(written, expected);
    EXPECT_EQ(std::string(e4last_report()), expected);
    EXPECT_EQ(e4last_error(), 160);
    EXPECT_EQ(key, -1) << "no key is waited for unless interactive";
}

TEST(ErrorReport, CodeOutsideTheTableHasNoMessageLine) {
    ::testing::internal::CaptureStderr();
    e4error_report(999, "x", nullptr);
    EXPECT_EQ(::testing::internal::GetCapturedStderr(),
              "\nError Number: \n       999\n\nx\nPress a key ...");
    EXPECT_EQ(e4last_error(), 999);
}

TEST(ErrorReport, WideCodesAndNoTexts) {
    ::testing::internal::CaptureStderr();
    e4error_report(-1234567890, nullptr);
    EXPECT_EQ(::testing::internal::GetCapturedStderr(),
              "\nError Number: \n-1234567890\n\nPress a key ...");
}

TEST(ErrorReport, OverlongTextsAreCutNotOverrun) {
    const std::string big(5000, 'x');
    ::testing::internal::CaptureStderr();
    e4error_report(140, big.c_str(), big.c_str(), nullptr);
    const std::string written = ::testing::internal::GetCapturedStderr();
    EXPECT_LT(written.size(), 4096u);
    EXPECT_EQ(written.rfind("\nError Number: \n       140\n\nReading from File\nxxx", 0), 0u);
}

TEST(ErrorReport, HookSeesEveryReport) {
    static int seen_code = 0;
    static std::string seen_text;
    e4set_report_hook([](int code, const char* text) {
        seen_code = code;
        seen_text = text;
    });
    ::testing::internal::CaptureStderr();
    e4error_report(240, nullptr);
    ::testing::internal::GetCapturedStderr();
    e4set_report_hook(nullptr);
    EXPECT_EQ(seen_code, 240);
    EXPECT_EQ(seen_text, "\nError Number: \n       240\n\nNo Open Database\nPress a key ...");
}

TEST(ErrorReport, KeyWaitOnlyWhenInteractive) {
    EXPECT_EQ(e4interactive(), 0);
    EXPECT_EQ(e4read_key(), -1);
    e4set_interactive(1);
    // Standard input of a test may be anything; with it closed the wait ends.
    std::FILE* saved = stdin;
    stdin = std::fopen("/dev/null", "r");
    EXPECT_EQ(e4read_key(), -1);
    std::fclose(stdin);
    stdin = saved;
    e4set_interactive(0);
}

TEST(ErrorTable, FortyEightEntriesInOrderWithDistinctCodes) {
    std::set<int> codes;
    for (const ErrorEntry& e : e4error_table) {
        codes.insert(e.code);
        ASSERT_NE(e.message, nullptr);
    }
    EXPECT_EQ(codes.size(), 48u);
    EXPECT_EQ(e4error_table[0].code, 100);
    EXPECT_EQ(e4error_table[21].code, 595) << "595 sits between 380 and 400";
    EXPECT_EQ(e4error_table[28].code, 515);
    EXPECT_EQ(e4error_table[47].code, 1010);
    EXPECT_STREQ(e4error_message(520), "Expecting \",\" or \")\" while Evaluating Expression");
    EXPECT_STREQ(e4error_message(200), "File is not a Database:");
    EXPECT_EQ(e4error_message(999), nullptr);
}

TEST(ErrorTable, InitialisingClearsTheLastError) {
    d4reset_store();
    e4set_last_error(77);
    ASSERT_EQ(d4initialize(1, 1, 25, 256, 0), 0);
    EXPECT_EQ(e4last_error(), 0);
    EXPECT_EQ(d4initialize(1, 1, 25, 256, 0), -1) << "acts once";
    d4reset_store();
}

TEST(ErrorReportDeathTest, FatalCodesEndTheProgramWithStatusOne) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(e4error_report(900, nullptr), ::testing::ExitedWithCode(1), "Out of Memory");
    EXPECT_EXIT(e4error_report(920, "h4create()", nullptr), ::testing::ExitedWithCode(1),
                "Memory Allocation Error");
    EXPECT_EXIT(e4error_report(950, "d4changed()", nullptr), ::testing::ExitedWithCode(1),
                "Overwritten Memory\nd4changed");
}

} // namespace
