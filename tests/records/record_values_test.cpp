// The conversions of logical and date values that terminals send: which
// texts a field takes and the form it stores.
#include "manager/requests/record_requests.h"

#include <gtest/gtest.h>

#include <string>

namespace {

TEST(LogicalValue, FirstLetterDecides) {
    EXPECT_EQ(LogicalValue("T"), 'T');
    EXPECT_EQ(LogicalValue("y"), 'T');
    EXPECT_EQ(LogicalValue("Yes"), 'T');
    EXPECT_EQ(LogicalValue("f"), 'F');
    EXPECT_EQ(LogicalValue("N"), 'F');
    EXPECT_EQ(LogicalValue("no"), 'F');
    // s upper-cased is S: none of T, Y, F, N.
    EXPECT_EQ(LogicalValue("s"), 0);
    EXPECT_EQ(LogicalValue(""), 0);
    EXPECT_EQ(LogicalValue(" T"), 0) << "only the first character counts";
    EXPECT_EQ(LogicalValue("\xFF"), 0) << "a high byte is no letter";
}

std::string Date(const char* value, int size = 32) {
    char out[32] = "untouched";
    if (!DateValue(value, out, size)) return "<refused>";
    return out;
}

TEST(DateValue, BlanksCountAsZeroAndAreStoredAsZero) {
    EXPECT_EQ(Date("20260107"), "20260107");
    EXPECT_EQ(Date("2026 1 7"), "20260107");
    EXPECT_EQ(Date("        "), "00000000");
    EXPECT_EQ(Date("20261231"), "20261231");
    EXPECT_EQ(Date("20260031"), "20260031") << "a month of 0 is at most 12";
    // What follows the first 8 characters is not checked and is kept (the
    // field's width cuts it when stored).
    EXPECT_EQ(Date("20260107 x"), "20260107 x");
}

TEST(DateValue, RefusesWhatIsNoDate) {
    EXPECT_EQ(Date("20261307"), "<refused>") << "month 13";
    EXPECT_EQ(Date("20260132"), "<refused>") << "day 32";
    EXPECT_EQ(Date("2026010"), "<refused>") << "seven characters";
    EXPECT_EQ(Date(""), "<refused>");
    EXPECT_EQ(Date("2026-1-7"), "<refused>");
    EXPECT_EQ(Date("2026010a"), "<refused>");
}

TEST(DateValue, NeverWritesPastItsOutput) {
    char out[5] = {'x', 'x', 'x', 'x', 'x'};
    ASSERT_TRUE(DateValue("20260107", out, 4));
    EXPECT_EQ(std::string(out), "202");
    EXPECT_EQ(out[4], 'x');
    EXPECT_FALSE(DateValue("20260107", out, 0));
}

} // namespace
