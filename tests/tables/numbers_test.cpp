// Number-to-text (against a reference written from the rules over many
// random values, widths and decimals), decimal text reading, day numbers.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>
#include <random>
#include <string>

#include "manager/tablestore/numbers.h"

namespace {

std::string text_of(double v, int w, int d) {
    char out[200];
    std::memset(out, '#', sizeof out);
    const int n = n4number_text(v, w, d, out);
    EXPECT_EQ(out[n], '#') << "wrote past the width";
    return std::string(out, static_cast<std::size_t>(n));
}

// The same rules by another road: printf's fixed notation of the magnitude
// (ties taken away from zero),
// the sign put in front, blank-padded on the left; when that does not fit,
// the lone leading zero goes, and when it still does not fit, asterisks.
std::string reference(double v, int w, int d) {
    if (w > 128) w = 128;
    if (w <= 0) return "";
    const bool point = d >= 1;
    if (point)
        d = std::min({d, 15, w - 1});
    else
        d = 0;
    if (!std::isfinite(v)) return std::string(static_cast<std::size_t>(w), '*');
    // printf rounds a value exactly half-way to the even neighbour; the store
    // rounds it away from zero: a tie is its exact digits cut after the d-th
    // decimal, plus one in the last place.
    char exact[512];
    std::snprintf(exact, sizeof exact, "%.*f", 80, std::fabs(v));
    const char* dot = std::strchr(exact, '.');
    const bool tie = dot[d + 1] == '5' && std::strspn(dot + d + 2, "0") == std::strlen(dot + d + 2);
    char digits[512];
    std::snprintf(digits, sizeof digits, "%.*f", d, std::fabs(v));
    if (tie) {
        std::string cut =
            "0" + std::string(exact, static_cast<std::size_t>(dot - exact) +
                                         (d > 0 ? static_cast<std::size_t>(d) + 1 : 0));
        for (std::size_t i = cut.size(); i-- > 0;) {
            if (cut[i] == '.') continue;
            if (cut[i] < '9') {
                ++cut[i];
                break;
            }
            cut[i] = '0';
        }
        if (cut[0] == '0') cut.erase(0, 1);
        std::snprintf(digits, sizeof digits, "%s", cut.c_str());
    }
    std::string body = digits;
    if (point && d == 0) body += '.'; // width 1: the point stays, no fraction
    if (v < 0) body.insert(0, "-");
    if (static_cast<int>(body.size()) <= w)
        return std::string(static_cast<std::size_t>(w) - body.size(), ' ') + body;
    const std::size_t zero = v < 0 ? 1 : 0;
    const bool lone_zero = body[zero] == '0' && (zero + 1 == body.size() || body[zero + 1] == '.');
    if (lone_zero && static_cast<int>(body.size()) - 1 == w) return body.erase(zero, 1);
    return std::string(static_cast<std::size_t>(w), '*');
}

TEST(NumberText, ExamplesOfNumericFields) {
    EXPECT_EQ(text_of(3.14159, 6, 2), "  3.14");
    EXPECT_EQ(text_of(-0.5, 5, 1), " -0.5");
    EXPECT_EQ(text_of(12345, 3, 0), "***");
    EXPECT_EQ(text_of(0, 5, 2), " 0.00");
    EXPECT_EQ(text_of(0.05, 5, 2), " 0.05");
    EXPECT_EQ(text_of(-5, 6, 2), " -5.00");
    EXPECT_EQ(text_of(-36.25, 8, 2), "  -36.25");
    EXPECT_EQ(text_of(999.995, 6, 2), "******") << "rounding carries into a new digit";
    EXPECT_EQ(text_of(99.995, 6, 2), "100.00");
    EXPECT_EQ(text_of(-99.5, 3, 0), "***") << "no room for the sign";
    EXPECT_EQ(text_of(-9.5, 3, 0), "-10");
    EXPECT_EQ(text_of(-0.5, 3, 1), "-.5") << "the sign takes the leading zero's place";
    EXPECT_EQ(text_of(0.5, 2, 1), ".5");
    EXPECT_EQ(text_of(-0.5, 2, 1), "**");
    EXPECT_EQ(text_of(42, 5, 0), "   42");
    EXPECT_EQ(text_of(0.4, 3, 0), "  0");
}

TEST(NumberText, ExactHalvesRoundAwayFromZero) {
    EXPECT_EQ(text_of(2.5, 3, 0), "  3");
    EXPECT_EQ(text_of(0.5, 3, 0), "  1");
    EXPECT_EQ(text_of(-2.5, 3, 0), " -3");
    EXPECT_EQ(text_of(12.5, 10, 0), "        13");
    EXPECT_EQ(text_of(0.125, 5, 2), " 0.13");
    EXPECT_EQ(text_of(-0.125, 6, 2), " -0.13");
    EXPECT_EQ(text_of(1.0625, 6, 3), " 1.063");
    EXPECT_EQ(text_of(9.5, 1, 0), "*") << "the carry makes a new digit";
    EXPECT_EQ(text_of(99.5, 4, 0), " 100");
    EXPECT_EQ(text_of(0.9995, 6, 3), " 1.000");
    // Just below a half stays below, also when the next decimal shows a 5.
    EXPECT_EQ(text_of(2.675, 5, 2), " 2.67") << "2.675 is stored as 2.67499999...";
    EXPECT_EQ(text_of(1.005, 5, 2), " 1.00");
    EXPECT_EQ(text_of(std::nextafter(2.5, 0.0), 3, 0), "  2");
    EXPECT_EQ(text_of(std::nextafter(0.125, 0.0), 5, 2), " 0.12");
    EXPECT_EQ(text_of(std::ldexp(1.0, -16), 20, 15), "   0.000015258789063");
}

TEST(NumberText, WidthAndDecimalCaps) {
    EXPECT_EQ(text_of(1, 200, 0).size(), 128u);
    EXPECT_EQ(text_of(1, 200, 0).back(), '1');
    EXPECT_EQ(text_of(1.5, 20, 18), "   1.500000000000000") << "at most 15 decimals";
    EXPECT_EQ(text_of(7, 3, 5), "***") << "decimals capped at width - 1: point at 0";
    EXPECT_EQ(text_of(0.25, 3, 5), ".25");
    EXPECT_EQ(text_of(5, 0, 0), "");
    EXPECT_EQ(text_of(5, -3, 2), "");
    EXPECT_EQ(text_of(0.3, 1, 1), ".");
    EXPECT_EQ(text_of(0.6, 1, 1), "*");
}

TEST(NumberText, NotANumberAndHugeValuesGiveAsterisks) {
    EXPECT_EQ(text_of(std::numeric_limits<double>::quiet_NaN(), 4, 1), "****");
    EXPECT_EQ(text_of(std::numeric_limits<double>::infinity(), 4, 0), "****");
    EXPECT_EQ(text_of(-std::numeric_limits<double>::infinity(), 4, 0), "****");
    EXPECT_EQ(text_of(1e308, 20, 15), std::string(20, '*'));
    EXPECT_EQ(text_of(-1e300, 128, 15), std::string(128, '*'));
    EXPECT_EQ(text_of(1e-300, 6, 2), "  0.00");
}

TEST(NumberText, MatchesTheReferenceOverRandomValuesWidthsAndDecimals) {
    std::mt19937_64 random(20261208);
    std::uniform_int_distribution<int> width(-2, 40);
    std::uniform_int_distribution<int> decimals(-2, 18);
    std::uniform_int_distribution<int> exponent(-8, 14);
    std::uniform_real_distribution<double> mantissa(0.0, 10.0);
    std::uniform_int_distribution<int> kind(0, 9);
    int compared = 0;
    for (int i = 0; i < 60000; ++i) {
        const int w = width(random);
        const int d = decimals(random);
        double v = 0;
        switch (kind(random)) {
        case 0: // halves and other short binary fractions at the rounding digit
            v = std::ldexp(static_cast<double>(random() % 100000),
                           -static_cast<int>(random() % 12));
            break;
        case 1: // integers
            v = static_cast<double>(static_cast<std::int64_t>(random() % 2000000000) - 1000000000);
            break;
        case 2: // money-like values with two decimals
            v = static_cast<double>(static_cast<std::int64_t>(random() % 10000000) - 5000000) /
                100.0;
            break;
        default: v = mantissa(random) * std::pow(10.0, exponent(random)); break;
        }
        if (random() % 2 == 0) v = -v;
        if (v == 0) v = 0; // no negative zero
        ASSERT_EQ(text_of(v, w, d), reference(v, w, d))
            << "value " << v << " width " << w << " decimals " << d;
        ++compared;
    }
    EXPECT_EQ(compared, 60000);
}

TEST(TextNumber, ReadsTheLeadingDecimalNumber) {
    EXPECT_DOUBLE_EQ(n4text_number("  12.50xyz", 10), 12.5);
    EXPECT_DOUBLE_EQ(n4text_number("   -36.25", 9), -36.25);
    EXPECT_DOUBLE_EQ(n4text_number("+7", 2), 7);
    EXPECT_DOUBLE_EQ(n4text_number("   .5", 5), 0.5);
    EXPECT_DOUBLE_EQ(n4text_number("5.", 2), 5);
    EXPECT_DOUBLE_EQ(n4text_number("1e3", 3), 1000);
    EXPECT_DOUBLE_EQ(n4text_number("2E-2", 4), 0.02);
    EXPECT_DOUBLE_EQ(n4text_number("3e", 2), 3) << "an exponent without digits is not read";
    EXPECT_DOUBLE_EQ(n4text_number("4e+x", 4), 4);
    EXPECT_DOUBLE_EQ(n4text_number("12 34", 5), 12);
    EXPECT_DOUBLE_EQ(n4text_number("123456", 3), 123) << "only the field's width is read";
}

TEST(TextNumber, NoDigitsGiveZero) {
    EXPECT_EQ(n4text_number("", 0), 0);
    EXPECT_EQ(n4text_number("        ", 8), 0);
    EXPECT_EQ(n4text_number("abc", 3), 0);
    EXPECT_EQ(n4text_number("-", 1), 0);
    EXPECT_EQ(n4text_number(".", 1), 0);
    EXPECT_EQ(n4text_number("*****", 5), 0);
    EXPECT_EQ(n4text_number(nullptr, 4), 0);
}

TEST(TextNumber, AtMostFortyNineCharactersAndNoOverflowTrap) {
    const std::string sixty = "1" + std::string(59, '0');
    EXPECT_DOUBLE_EQ(n4text_number(sixty.c_str(), 60), 1e48);
    EXPECT_TRUE(std::isinf(n4text_number("1e999", 5)));
    EXPECT_EQ(n4text_number("1e-999", 6), 0);
    EXPECT_TRUE(std::isinf(n4text_number("-9e9999", 7)));
}

// An independent day count: the civil calendar of the standard library.
std::int64_t civil_day(int y, unsigned m, unsigned d) {
    using namespace std::chrono;
    return sys_days{year{y} / month{m} / day{d}}.time_since_epoch().count() + 2440588;
}

TEST(DayNumbers, KnownDaysAndTheCivilCalendar) {
    EXPECT_EQ(n4day_number(2000, 1, 1), 2451545);
    EXPECT_EQ(n4day_number(1, 1, 1), 1721426);
    EXPECT_EQ(n4day_number(9999, 12, 31), 5373484);
    std::mt19937 random(7);
    for (int i = 0; i < 20000; ++i) {
        const int y = 1 + static_cast<int>(random() % 9999);
        const unsigned m = 1 + random() % 12;
        const unsigned d = 1 + random() % 28;
        ASSERT_EQ(n4day_number(y, static_cast<int>(m), static_cast<int>(d)), civil_day(y, m, d))
            << y << "-" << m << "-" << d;
    }
}

std::string date_text(double n) {
    char out[9] = {};
    n4date_text(n, out);
    return out;
}

TEST(DayNumbers, BackToTextEveryDayOfManyYears) {
    // Every day from 1899 to 2101 and the ends of the range, both ways.
    for (std::int32_t n = n4day_number(1899, 1, 1); n <= n4day_number(2101, 12, 31); ++n) {
        const std::string text = date_text(n);
        double back = 0;
        ASSERT_EQ(n4parse_date(text.c_str(), &back), 0) << text;
        ASSERT_EQ(back, n) << text;
    }
    EXPECT_EQ(date_text(2451545), "20000101");
    EXPECT_EQ(date_text(2451545.9), "20000101");
    EXPECT_EQ(date_text(5373484), "99991231");
    EXPECT_EQ(date_text(1721426), "00010101");
    EXPECT_EQ(date_text(1721425), "00001231");
    EXPECT_EQ(date_text(1721424), "        ");
    EXPECT_EQ(date_text(5373485), "        ");
    EXPECT_EQ(date_text(n4empty_date), "        ");
    EXPECT_EQ(date_text(-1), "        ");
    EXPECT_EQ(date_text(std::numeric_limits<double>::quiet_NaN()), "        ");
}

TEST(DayNumbers, ParsingDates) {
    double n = -7;
    EXPECT_EQ(n4parse_date("20000229", &n), 0);
    EXPECT_EQ(n, n4day_number(2000, 2, 29));
    n = -7;
    EXPECT_EQ(n4parse_date("19000229", &n), -1) << "1900 is no leap year";
    EXPECT_EQ(n4parse_date("20231301", &n), -1);
    EXPECT_EQ(n4parse_date("20230001", &n), -1);
    EXPECT_EQ(n4parse_date("20230431", &n), -1);
    EXPECT_EQ(n4parse_date("20230400", &n), -1);
    EXPECT_EQ(n4parse_date("-0010101", &n), -1);
    EXPECT_EQ(n, -7) << "an invalid date leaves the number alone";
    EXPECT_EQ(n4parse_date("        ", &n), 1);
    EXPECT_EQ(n, n4empty_date);
    EXPECT_EQ(n4parse_date("ABCDEFGH", &n), 1) << "a year part that reads 0 is the empty date";
    EXPECT_EQ(n4date_number("        "), n4empty_date);
    EXPECT_EQ(n4date_number("2000XX01"), 0) << "neither a date nor empty";
    EXPECT_EQ(n4date_number("2000 1 1"), n4day_number(2000, 1, 1));
}

} // namespace
